#pragma once
// Contacts kept as vCard files (a folder of ".vcf" files, one or more cards
// each, as common contact tools keep them). Versions 2.1, 3.0 and 4.0 are
// read: folded lines, quoted-printable values, escaped texts. Distribution
// lists are group cards (KIND:group, or the X-ADDRESSBOOKSERVER- form) whose
// MEMBER lines name other cards by UID or by "mailto:".
#include <string>
#include <vector>

namespace brevant::mail {

struct Contact {
  std::string uid;
  std::string name;                            // FN, else N put together
  std::string email;                           // first EMAIL
  std::string businessFax, homeFax, otherFax;  // TEL of type FAX (with WORK, HOME, neither)
  bool isGroup = false;
  std::vector<std::string> members;  // MEMBER values as written
  std::string file;                  // the .vcf it came from
};

// Every card of one text. Lines that cannot be read are skipped; each one
// adds a line to problems (when given).
std::vector<Contact> ParseVCards(const std::string& text, std::vector<std::string>* problems = nullptr);

// Every card of every ".vcf" file in folder (not recursive), files in name
// order. A missing folder gives no contacts and one problem.
std::vector<Contact> ReadContactFolder(const std::string& folder,
                                       std::vector<std::string>* problems = nullptr);

}  // namespace brevant::mail
