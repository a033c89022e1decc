#include "delivery/AddressBook.h"

#include <strings.h>

#include <cstdlib>

#include "common/CWinReg.h"
#include "common/Logging.h"
#include "common/MailAccount.h"
#include "platform/env/Environment.h"
#include "platform/fs/SafeFiles.h"
#include "platform/mail/MailStore.h"

namespace brevant {

namespace {

std::string WithoutUrn(const std::string& id) {
  return strncasecmp(id.c_str(), "urn:uuid:", 9) == 0 ? id.substr(9) : id;
}

// A MEMBER value to the card it names; a "mailto:" without a card becomes
// a bare address entry. False when nothing answers to it.
bool ResolveMember(const std::string& member, const std::vector<mail::Contact>& book, mail::Contact* out) {
  if (strncasecmp(member.c_str(), "mailto:", 7) == 0) {
    std::string addr = member.substr(7);
    for (const auto& c : book)
      if (strcasecmp(c.email.c_str(), addr.c_str()) == 0) {
        *out = c;
        return true;
      }
    *out = mail::Contact{};
    out->name = addr;
    out->email = addr;
    return true;
  }
  std::string id = WithoutUrn(member);
  for (const auto& c : book)
    if ((!c.uid.empty() && strcasecmp(WithoutUrn(c.uid).c_str(), id.c_str()) == 0) || c.name == member) {
      *out = c;
      return true;
    }
  return false;
}

AddressEntry Entry(const mail::Contact& c, const std::vector<mail::Contact>& book,
                   std::vector<const mail::Contact*>& open) {
  AddressEntry e{c.name, c.email, {}, {}};
  for (const std::string* n : {&c.businessFax, &c.homeFax, &c.otherFax})
    if (!n->empty()) e.faxNumbers.push_back(*n);
  if (!c.isGroup) return e;
  open.push_back(&c);
  for (const std::string& m : c.members) {
    mail::Contact member;
    if (!ResolveMember(m, book, &member)) continue;
    // A list met again inside itself is not opened a second time.
    bool inside = false;
    for (const mail::Contact* o : open)
      if (member.isGroup && o->uid == member.uid && o->name == member.name) inside = true;
    if (!inside) e.members.push_back(Entry(member, book, open));
  }
  open.pop_back();
  return e;
}

}  // namespace

std::string ContactsFolder() {
  if (std::string d = platform::env::Get(platform::env::Var::ContactsDir); !d.empty()) return d;
  CWinReg reg;
  std::string f;
  if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, mail::kAccountKey)) {
    f = reg.GetString("ContactsFolder");
    reg.CloseKey();
  }
  if (!f.empty()) return f;
  return platform::HomeFolder() + "/.contacts";
}

std::vector<mail::Contact> ReadAddressBook() {
  std::vector<std::string> problems;
  std::vector<mail::Contact> book = mail::ReadContactFolder(ContactsFolder(), &problems);
  for (const auto& p : problems) WriteErrorLog(0, "Address book: " + p, "frmNew.cmdAddress");
  return book;
}

AddressEntry EntryOf(const mail::Contact& contact, const std::vector<mail::Contact>& book) {
  std::vector<const mail::Contact*> open;
  return Entry(contact, book, open);
}

}  // namespace brevant
