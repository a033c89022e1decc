#pragma once
// The address book of the recipients page over the user's contacts kept as
// vCard files. Picking entries adds recipients the way the page does for
// entries of the mail system's address book: a distribution list adds each
// member; an entry whose name contains "Fax" takes its number from the part
// of its address after "@"; any other takes its business, else home, else
// other fax number; an entry without a number adds nothing; a row equal in
// name and number to an existing row is not added again.
#include <string>
#include <vector>

#include "platform/mail/VCard.h"

namespace brevant {

struct RecipientRow {
  std::string name;
  std::string number;
  bool operator==(const RecipientRow&) const = default;
};

// BREVANT_CONTACTS_DIR when set, else "ContactsFolder" of
// "Software\Norvane\Pelorin\Mail" (current user), else ~/.contacts.
std::string ContactsFolder();

// Every contact and list of the contacts folder; unreadable lines and files
// are written to the error log ("frmNew.cmdAddress") and skipped.
std::vector<mail::Contact> ReadAddressBook();

// One picked entry into the rows (the recipients list in its order).
void ExtractMails(const mail::Contact& entry, const std::vector<mail::Contact>& book,
                  std::vector<RecipientRow>& rows);

// The entries the user picked (by UID, or by name when a card has no UID),
// in order, into the rows. Returns how many rows were added.
std::size_t AddPickedEntries(const std::vector<std::string>& picked, const std::vector<mail::Contact>& book,
                             std::vector<RecipientRow>& rows);

}  // namespace brevant
