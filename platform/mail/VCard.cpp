#include "platform/mail/VCard.h"

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/text/Escapes.h"

namespace brevant::mail {

namespace {

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// vCard text escapes: \n, \, \; \\ .
std::string Unescape(const std::string& v) {
  std::string o;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) {
      char n = v[++i];
      o += (n == 'n' || n == 'N') ? '\n' : n;
    } else {
      o += v[i];
    }
  }
  return o;
}

std::string DecodeQuotedPrintable(const std::string& v) {
  return platform::HexUnescape(v, '=');
}

// Physical lines joined into logical ones: a line starting with a blank or
// TAB continues the previous one; a quoted-printable value ending in "="
// continues on the next line.
std::vector<std::string> Unfold(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  bool qpSoft = false;
  // Whether the logical line's name part (before ":", its first 1024 bytes
  // at most) asks for quoted-printable; decided once per logical line, so a
  // long folded value costs no more than its length.
  bool nameKnown = false, quotedPrintable = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (qpSoft && !lines.empty()) {
      lines.back().pop_back();  // the soft break "="
      lines.back() += line;
    } else if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !lines.empty()) {
      lines.back() += line.substr(1);
    } else {
      lines.push_back(line);
      nameKnown = false;
    }
    const std::string& last = lines.back();
    if (!nameKnown) {
      std::size_t colon = last.find(':');
      nameKnown = colon != std::string::npos || last.size() > 1024;
      quotedPrintable = Upper(last.substr(0, std::min<std::size_t>(colon, 1024))).find("QUOTED-PRINTABLE") !=
                        std::string::npos;
    }
    qpSoft = quotedPrintable && !last.empty() && last.back() == '=';
  }
  return lines;
}

}  // namespace

std::vector<Contact> ParseVCards(const std::string& text, std::vector<std::string>* problems) {
  std::vector<Contact> out;
  Contact cur;
  bool inCard = false;
  std::string nField;
  int lineNo = 0;
  auto problem = [&](const std::string& p) {
    if (problems) problems->push_back(p);
  };
  auto finish = [&] {
    if (cur.name.empty() && !nField.empty()) {
      // N is "family;given;middle;prefix;suffix": shown as "given family".
      std::vector<std::string> parts;
      std::string part;
      for (std::size_t i = 0; i <= nField.size(); ++i) {
        if (i == nField.size() || (nField[i] == ';' && (i == 0 || nField[i - 1] != '\\'))) {
          parts.push_back(Unescape(part));
          part.clear();
        } else {
          part += nField[i];
        }
      }
      std::string given = parts.size() > 1 ? parts[1] : "";
      cur.name = Trim(given + (given.empty() ? "" : " ") + parts[0]);
    }
    out.push_back(std::move(cur));
    cur = Contact();
    nField.clear();
  };
  for (const std::string& raw : Unfold(text)) {
    ++lineNo;
    if (Trim(raw).empty()) continue;
    auto colon = raw.find(':');
    if (colon == std::string::npos) {
      problem("line " + std::to_string(lineNo) + " has no value: \"" + raw.substr(0, 60) + "\"");
      continue;
    }
    std::string head = raw.substr(0, colon);
    std::string value = raw.substr(colon + 1);
    // "group.NAME;PARAM=x;PARAM" - name and parameters.
    std::vector<std::string> params;
    std::string name;
    {
      std::size_t semi = head.find(';');
      name = Upper(head.substr(0, semi));
      if (auto dot = name.find('.'); dot != std::string::npos) name = name.substr(dot + 1);
      while (semi != std::string::npos) {
        std::size_t next = head.find(';', semi + 1);
        params.push_back(Upper(head.substr(semi + 1, next == std::string::npos ? next : next - semi - 1)));
        semi = next;
      }
    }
    std::string allParams;
    for (const auto& p : params) allParams += ";" + p;
    if (allParams.find("QUOTED-PRINTABLE") != std::string::npos) value = DecodeQuotedPrintable(value);
    if (name == "BEGIN" && Upper(Trim(value)) == "VCARD") {
      if (inCard) {
        problem("line " + std::to_string(lineNo) + ": a card without END:VCARD");
        finish();
      }
      inCard = true;
      continue;
    }
    if (!inCard) {
      problem("line " + std::to_string(lineNo) + " is outside a card");
      continue;
    }
    if (name == "END") {
      finish();
      inCard = false;
    } else if (name == "UID") {
      cur.uid = Trim(value);
    } else if (name == "FN") {
      cur.name = Trim(Unescape(value));
    } else if (name == "N") {
      nField = value;
    } else if (name == "EMAIL") {
      if (cur.email.empty()) cur.email = Trim(value);
    } else if (name == "KIND" || name == "X-ADDRESSBOOKSERVER-KIND") {
      cur.isGroup = Upper(Trim(value)) == "GROUP";
    } else if (name == "MEMBER" || name == "X-ADDRESSBOOKSERVER-MEMBER") {
      cur.members.push_back(Trim(value));
    } else if (name == "TEL") {
      // TYPE=FAX,WORK ; TYPE=fax;TYPE=work ; FAX;WORK (2.1) ; TYPE="fax,work" (4.0)
      std::string types = allParams;
      types.erase(std::remove(types.begin(), types.end(), '"'), types.end());
      if (types.find("FAX") == std::string::npos) continue;
      std::string number = Trim(value);
      if (number.compare(0, 4, "tel:") == 0) number = number.substr(4);
      if (types.find("WORK") != std::string::npos) {
        if (cur.businessFax.empty()) cur.businessFax = number;
      } else if (types.find("HOME") != std::string::npos) {
        if (cur.homeFax.empty()) cur.homeFax = number;
      } else if (cur.otherFax.empty()) {
        cur.otherFax = number;
      }
    }
  }
  if (inCard) {
    problem("the last card has no END:VCARD");
    finish();
  }
  return out;
}

std::vector<Contact> ReadContactFolder(const std::string& folder, std::vector<std::string>* problems) {
  std::vector<Contact> out;
  DIR* d = ::opendir(folder.c_str());
  if (!d) {
    if (problems) problems->push_back("cannot open the contacts folder " + folder);
    return out;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 4 && strcasecmp(n.c_str() + n.size() - 4, ".vcf") == 0) names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) {
    std::ifstream in(folder + "/" + n, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    std::vector<std::string> local;
    for (Contact& c : ParseVCards(ss.str(), &local)) {
      c.file = folder + "/" + n;
      out.push_back(std::move(c));
    }
    if (problems)
      for (auto& p : local) problems->push_back(n + ": " + p);
  }
  return out;
}

}  // namespace brevant::mail
