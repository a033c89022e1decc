#include "delivery/AddressBook.h"

#include <strings.h>

#include <cstdlib>

#include "common/CWinReg.h"
#include "common/Logging.h"
#include "platform/mail/MailStore.h"

namespace brevant {

namespace {

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

bool ContainsFax(const std::string& name) {
  for (std::size_t i = 0; i + 3 <= name.size(); ++i)
    if (strncasecmp(name.c_str() + i, "fax", 3) == 0) return true;
  return false;
}

std::string AfterAt(const std::string& address) {
  auto at = address.find('@');
  return at == std::string::npos ? address : address.substr(at + 1);
}

// A MEMBER value to the card it names; a "mailto:" without a card becomes
// a bare address entry.
mail::Contact ResolveMember(const std::string& member, const std::vector<mail::Contact>& book, bool* found) {
  *found = true;
  std::string v = member;
  if (strncasecmp(v.c_str(), "mailto:", 7) == 0) {
    std::string addr = v.substr(7);
    for (const auto& c : book)
      if (strcasecmp(c.email.c_str(), addr.c_str()) == 0) return c;
    mail::Contact bare;
    bare.name = addr;
    bare.email = addr;
    return bare;
  }
  std::string bareId = strncasecmp(v.c_str(), "urn:uuid:", 9) == 0 ? v.substr(9) : v;
  for (const auto& c : book) {
    std::string cid = strncasecmp(c.uid.c_str(), "urn:uuid:", 9) == 0 ? c.uid.substr(9) : c.uid;
    if (!cid.empty() && strcasecmp(cid.c_str(), bareId.c_str()) == 0) return c;
  }
  *found = false;
  return {};
}

void Extract(const mail::Contact& entry, const std::vector<mail::Contact>& book, std::vector<RecipientRow>& rows,
             int depth) {
  if (entry.isGroup) {
    if (depth > 16) return;  // a list that contains itself
    for (const auto& m : entry.members) {
      bool found = false;
      mail::Contact member = ResolveMember(m, book, &found);
      if (found) Extract(member, book, rows, depth + 1);
    }
    return;
  }
  std::string number;
  if (ContainsFax(entry.name)) number = AfterAt(entry.email);
  else if (!entry.businessFax.empty()) number = entry.businessFax;
  else if (!entry.homeFax.empty()) number = entry.homeFax;
  else number = entry.otherFax;
  if (number.empty() || number == "SMTP") return;
  RecipientRow row{Trim(entry.name), Trim(number)};
  for (const auto& r : rows)
    if (r == row) return;
  rows.push_back(row);
}

}  // namespace

std::string ContactsFolder() {
  if (const char* d = std::getenv("BREVANT_CONTACTS_DIR"); d && *d) return d;
  CWinReg reg;
  std::string f;
  if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, mail::kAccountKey)) {
    f = reg.GetString("ContactsFolder");
    reg.CloseKey();
  }
  if (!f.empty()) return f;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.contacts";
}

std::vector<mail::Contact> ReadAddressBook() {
  std::vector<std::string> problems;
  std::vector<mail::Contact> book = mail::ReadContactFolder(ContactsFolder(), &problems);
  for (const auto& p : problems) WriteErrorLog(0, "Address book: " + p, "frmNew.cmdAddress");
  return book;
}

void ExtractMails(const mail::Contact& entry, const std::vector<mail::Contact>& book,
                  std::vector<RecipientRow>& rows) {
  Extract(entry, book, rows, 0);
}

std::size_t AddPickedEntries(const std::vector<std::string>& picked, const std::vector<mail::Contact>& book,
                             std::vector<RecipientRow>& rows) {
  std::size_t before = rows.size();
  for (const auto& key : picked)
    for (const auto& c : book)
      if ((!c.uid.empty() && c.uid == key) || (c.uid.empty() && c.name == key)) {
        ExtractMails(c, book, rows);
        break;
      }
  return rows.size() - before;
}

}  // namespace brevant
