#include "platform/registry/RegFile.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/secret/Secrets.h"

namespace brevant::reg {
namespace {

// UTF-8 bytes <-> UTF-16 code units. Bytes that are not valid UTF-8 map to
// U+DC80..U+DCFF and back, so any 8-bit string survives the trip.
std::u16string ToUtf16(const std::string& s) {
  std::u16string out;
  std::size_t i = 0;
  auto raw = [&](unsigned char b) {
    out.push_back(char16_t(0xDC00 + b));
    ++i;
  };
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
      if (c < 0x80) {
        out.push_back(c);
        ++i;
      } else
        raw(c);
      continue;
    }
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d >> 6) != 2) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (d & 0x3F);
    }
    static const char32_t minCp[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < minCp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      raw(c);
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
    i += len;
  }
  return out;
}

std::string FromUtf16(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xDC80 && cp <= 0xDCFF) {
      out.push_back(char(cp - 0xDC00));
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80)
      out.push_back(char(cp));
    else if (cp < 0x800) {
      out.push_back(char(0xC0 | (cp >> 6)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(char(0xE0 | (cp >> 12)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(char(0xF0 | (cp >> 18)));
      out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string Utf16Bytes(const std::string& s, bool terminate) {
  std::u16string u = ToUtf16(s);
  if (terminate) u.push_back(0);
  std::string out;
  for (char16_t c : u) {
    out.push_back(char(c & 0xFF));
    out.push_back(char(c >> 8));
  }
  return out;
}

std::string BytesFromUtf16(const std::string& b) {
  std::u16string u;
  for (std::size_t i = 0; i + 1 < b.size(); i += 2)
    u.push_back(char16_t(static_cast<unsigned char>(b[i]) | (static_cast<unsigned char>(b[i + 1]) << 8)));
  return FromUtf16(u);
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A plain "..." string can carry only printable UTF-8 text without line
// breaks or zero bytes; anything else is written as hex(1) to stay exact.
bool Printable(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return false;
  std::u16string u = ToUtf16(s);
  for (std::size_t i = 0; i < u.size(); ++i) {
    if (u[i] >= 0xD800 && u[i] <= 0xDBFF) {
      ++i;
      continue;
    }
    if (u[i] >= 0xDC00 && u[i] <= 0xDFFF) return false;  // a byte that is not UTF-8
  }
  return true;
}

void HexLine(std::ostringstream& os, const std::string& head, const std::string& bytes) {
  std::string line = head;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(bytes[i]));
    line += buf;
    if (i + 1 < bytes.size()) {
      line += ',';
      if (line.size() > 76) {
        os << line << "\\\r\n";
        line = "  ";
      }
    }
  }
  os << line << "\r\n";
}

void WriteValue(std::ostringstream& os, const Value& v) {
  std::string head = v.name.empty() ? "@=" : Quote(v.name) + "=";
  // A password is never written out, whatever its type.
  if (reg::IsSecretValueName(v.name)) {
    os << head << Quote(platform::secrets::kMask) << "\r\n";
    return;
  }
  switch (v.type) {
    case REG_SZ:
      if (Printable(v.data)) {
        os << head << Quote(v.data) << "\r\n";
        return;
      }
      HexLine(os, head + "hex(1):", Utf16Bytes(v.data, true));
      return;
    case REG_DWORD:
      if (v.data.size() == 4) {
        unsigned d = 0;
        std::memcpy(&d, v.data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        os << head << buf << "\r\n";
        return;
      }
      break;
    case REG_EXPAND_SZ:
      HexLine(os, head + "hex(2):", Utf16Bytes(v.data, true));
      return;
    case REG_MULTI_SZ:
      // Stored as zero-separated strings with a final extra zero, 8-bit.
      HexLine(os, head + "hex(7):", Utf16Bytes(v.data, false));
      return;
    case REG_BINARY:
      HexLine(os, head + "hex:", v.data);
      return;
  }
  char buf[24];
  std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
  HexLine(os, head + buf, v.data);
}

bool ExportTree(HKEY root, const std::string& path, std::ostringstream& os, std::string* error) {
  HKEY k = 0;
  long rc = OpenKey(root, path, kKeyRead, &k);
  if (rc != kOk) {
    *error = "cannot open " + RootName(root) + (path.empty() ? "" : "\\" + path) +
             (LastErrorText().empty() ? "" : ": " + LastErrorText());
    return false;
  }
  std::string stored = KeyPath(k);
  std::vector<Value> values;
  std::vector<std::string> subs;
  rc = EnumValues(k, &values);
  if (rc == kOk) rc = EnumSubKeys(k, &subs);
  CloseKey(k);
  if (rc != kOk) {
    *error = LastErrorText();
    return false;
  }
  os << "[" << RootName(root) << (stored.empty() ? "" : "\\" + stored) << "]\r\n";
  for (const Value& v : values) WriteValue(os, v);
  os << "\r\n";
  for (const std::string& s : subs)
    if (!ExportTree(root, stored.empty() ? s : stored + "\\" + s, os, error)) return false;
  return true;
}

bool ParseQuoted(const std::string& line, std::size_t* pos, std::string* out) {
  if (*pos >= line.size() || line[*pos] != '"') return false;
  out->clear();
  for (std::size_t i = *pos + 1; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      *out += line[++i];
      continue;
    }
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    *out += c;
  }
  return false;
}

bool ParseHex(const std::string& s, std::string* out) {
  out->clear();
  std::string digits;
  for (char c : s) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!digits.empty()) {
        if (digits.size() > 2) return false;
        out->push_back(char(std::stoi(digits, nullptr, 16)));
        digits.clear();
      }
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (!digits.empty()) {
    if (digits.size() > 2) return false;
    out->push_back(char(std::stoi(digits, nullptr, 16)));
  }
  return true;
}

}  // namespace

bool SplitFullKey(const std::string& fullKey, unsigned* root, std::string* path) {
  std::size_t cut = fullKey.find('\\');
  HKEY r;
  if (!ParseRoot(fullKey.substr(0, cut), &r)) return false;
  *root = r;
  *path = cut == std::string::npos ? "" : fullKey.substr(cut + 1);
  return true;
}

bool ExportKey(const std::string& fullKey, std::string* text, std::string* error) {
  unsigned root;
  std::string path;
  if (!SplitFullKey(fullKey, &root, &path)) {
    *error = "not a registry key: " + fullKey;
    return false;
  }
  std::ostringstream os;
  os << "Windows Registry Editor Version 5.00\r\n\r\n";
  if (!ExportTree(root, path, os, error)) return false;
  *text = os.str();
  return true;
}

bool ImportText(const std::string& textIn, std::string* error) {
  std::string text = textIn;
  if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  // Join continuation lines ("\" at the end of a line).
  std::vector<std::pair<int, std::string>> lines;
  {
    std::istringstream is(text);
    std::string raw, acc;
    int no = 0, startNo = 0;
    while (std::getline(is, raw)) {
      ++no;
      if (!raw.empty() && raw.back() == '\r') raw.pop_back();
      if (acc.empty()) startNo = no;
      std::string trimmed = raw;
      if (!acc.empty()) {
        std::size_t f = raw.find_first_not_of(" \t");
        trimmed = f == std::string::npos ? "" : raw.substr(f);
      }
      if (!trimmed.empty() && trimmed.back() == '\\') {  // hex data goes on
        acc += trimmed.substr(0, trimmed.size() - 1);
        continue;
      }
      lines.emplace_back(startNo, acc + trimmed);
      acc.clear();
    }
    if (!acc.empty()) lines.emplace_back(startNo, acc);
  }
  auto bad = [&](int no, const std::string& why) {
    *error = "line " + std::to_string(no) + ": " + why;
    return false;
  };
  bool sawHeader = false;
  HKEY cur = 0;
  auto closeCur = [&] {
    if (cur) {
      CloseKey(cur);
      cur = 0;
    }
  };
  bool skipping = false;  // inside a deleted key's section
  for (auto& [no, line] : lines) {
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';') continue;
    std::string l = line.substr(first);
    if (!sawHeader) {
      if (l != "Windows Registry Editor Version 5.00" && l != "REGEDIT4") {
        closeCur();
        return bad(no, "not a registry file (missing \"Windows Registry Editor Version 5.00\")");
      }
      sawHeader = true;
      continue;
    }
    if (l[0] == '[') {
      closeCur();
      std::size_t end = l.rfind(']');
      if (end == std::string::npos) return bad(no, "key line without ']'");
      std::string name = l.substr(1, end - 1);
      bool del = !name.empty() && name[0] == '-';
      if (del) name.erase(0, 1);
      unsigned root;
      std::string path;
      if (!SplitFullKey(name, &root, &path)) return bad(no, "unknown root in [" + name + "]");
      if (del) {
        long rc = DeleteKeyTree(root, path);
        if (rc != kOk && rc != kFileNotFound) return bad(no, "cannot delete key: " + LastErrorText());
        skipping = true;
        continue;
      }
      skipping = false;
      if (CreateKey(root, path, kKeyWrite, &cur) != kOk)
        return bad(no, "cannot create key " + (name.size() > 120 ? name.substr(0, 120) + "..." : name) +
                           ": " + LastErrorText());
      continue;
    }
    if (skipping) continue;
    if (!cur) {
      closeCur();
      return bad(no, "value outside of a key section");
    }
    std::string vname;
    std::size_t pos = 0;
    if (l[0] == '@')
      pos = 1;
    else if (!ParseQuoted(l, &pos, &vname)) {
      closeCur();
      return bad(no, "malformed value name");
    }
    while (pos < l.size() && (l[pos] == ' ' || l[pos] == '\t')) ++pos;
    if (pos >= l.size() || l[pos] != '=') {
      closeCur();
      return bad(no, "missing '=' after value name");
    }
    ++pos;
    while (pos < l.size() && (l[pos] == ' ' || l[pos] == '\t')) ++pos;
    std::string rest = l.substr(pos);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.pop_back();
    long rc = kOk;
    if (rest == "-") {
      rc = DeleteValue(cur, vname);
      if (rc == kFileNotFound) rc = kOk;
    } else if (!rest.empty() && rest[0] == '"') {
      std::string data;
      std::size_t p = 0;
      if (!ParseQuoted(rest, &p, &data) || p != rest.size()) {
        closeCur();
        return bad(no, "malformed string value");
      }
      rc = SetValue(cur, vname, REG_SZ, data.data(), std::uint32_t(data.size()));
    } else if (rest.rfind("dword:", 0) == 0) {
      std::string hex = rest.substr(6);
      if (hex.empty() || hex.size() > 8 ||
          hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        closeCur();
        return bad(no, "malformed dword value");
      }
      unsigned d = unsigned(std::stoul(hex, nullptr, 16));
      rc = SetValue(cur, vname, REG_DWORD, &d, 4);
    } else if (rest.rfind("hex", 0) == 0) {
      std::uint32_t type = REG_BINARY;
      std::size_t colon = rest.find(':');
      if (colon == std::string::npos) {
        closeCur();
        return bad(no, "malformed hex value");
      }
      std::string spec = rest.substr(3, colon - 3);
      if (!spec.empty()) {
        if (spec.size() < 3 || spec.front() != '(' || spec.back() != ')') {
          closeCur();
          return bad(no, "malformed hex type");
        }
        try {
          type = std::uint32_t(std::stoul(spec.substr(1, spec.size() - 2), nullptr, 16));
        } catch (...) {
          closeCur();
          return bad(no, "malformed hex type");
        }
      }
      std::string bytes;
      if (!ParseHex(rest.substr(colon + 1), &bytes)) {
        closeCur();
        return bad(no, "malformed hex data");
      }
      std::string data = bytes;
      if (type == REG_SZ || type == REG_EXPAND_SZ) {
        data = BytesFromUtf16(bytes);
        if (!data.empty() && data.back() == '\0') data.pop_back();
      } else if (type == REG_MULTI_SZ) {
        data = BytesFromUtf16(bytes);
      }
      rc = SetValue(cur, vname, type, data.data(), std::uint32_t(data.size()));
    } else {
      closeCur();
      return bad(no, "unknown value form: " + rest.substr(0, 40));
    }
    if (rc != kOk) {
      closeCur();
      return bad(no, "cannot set value: " + LastErrorText());
    }
  }
  closeCur();
  if (!sawHeader) {
    *error = "empty registry file";
    return false;
  }
  return true;
}

}  // namespace brevant::reg
