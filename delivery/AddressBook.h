#pragma once
// The address book of the recipients page over the user's contacts kept as
// vCard files: the contacts, and the entries the page takes its recipients
// from (people, and distribution lists with their members resolved).
#include <string>
#include <vector>

#include "platform/mail/VCard.h"

namespace brevant {

// One entry of the address book as the recipients page reads it: a person,
// or a distribution list (with members, themselves entries). faxNumbers:
// the entry's fax numbers in the order they are tried (business, home,
// other).
struct AddressEntry {
  std::string name;
  std::string address;
  std::vector<std::string> faxNumbers;
  std::vector<AddressEntry> members;
};

// BREVANT_CONTACTS_DIR when set, else "ContactsFolder" of
// "Software\Norvane\Pelorin\Mail" (current user), else ~/.contacts.
std::string ContactsFolder();

// Every contact and list of the contacts folder; unreadable lines and files
// are written to the error log ("frmNew.cmdAddress") and skipped.
std::vector<mail::Contact> ReadAddressBook();

// A contact as an address book entry. The members of a list are found in
// the book by their UID ("urn:uuid:..." or bare) or name; a "mailto:"
// member is the card with that address, else an entry of the bare address.
// Lists inside lists are resolved too; a member that cannot be found, and a
// list met again inside itself, are left out.
AddressEntry EntryOf(const mail::Contact& contact, const std::vector<mail::Contact>& book);

}  // namespace brevant
