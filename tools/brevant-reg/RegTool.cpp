#include "tools/brevant-reg/RegTool.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/registry/RegFile.h"
#include "platform/registry/Registry.h"
#include "platform/secret/Secrets.h"

namespace brevant::regtool {
namespace {

const char* kUsage =
    "usage:\n"
    "  brevant-reg query  KEY [-v NAME | -ve] [-s]\n"
    "  brevant-reg add    KEY [-v NAME | -ve] [-t TYPE] [-d DATA] [-f]\n"
    "  brevant-reg delete KEY [-v NAME | -ve | -va] [-f]\n"
    "  brevant-reg export KEY FILE [-y]\n"
    "  brevant-reg import FILE\n"
    "KEY is ROOT\\path, ROOT one of HKCU, HKLM, HKCR (or their long names).\n"
    "TYPE is REG_SZ (default), REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ.\n"
    "REG_DWORD data is decimal or 0x-hex; REG_BINARY data is hex digits;\n"
    "REG_MULTI_SZ data separates its strings with \\0. Options may start with / too.\n";

struct Options {
  std::string command, key, file;
  bool hasName = false, defaultValue = false, allValues = false, recurse = false, force = false;
  std::string name, type = "REG_SZ", data;
  bool hasData = false;
};

std::string TypeName(std::uint32_t t) {
  switch (t) {
    case reg::REG_SZ:
      return "REG_SZ";
    case reg::REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case reg::REG_BINARY:
      return "REG_BINARY";
    case reg::REG_DWORD:
      return "REG_DWORD";
    case reg::REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case reg::REG_NONE:
      return "REG_NONE";
    default:
      return "REG_TYPE_" + std::to_string(t);
  }
}

std::string DataText(const reg::Value& v) {
  if (reg::IsSecretValueName(v.name)) return platform::secrets::kMask;
  std::ostringstream os;
  switch (v.type) {
    case reg::REG_SZ:
    case reg::REG_EXPAND_SZ:
      return v.data;
    case reg::REG_DWORD:
      if (v.data.size() == 4) {
        std::uint32_t d;
        std::memcpy(&d, v.data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", d);
        return buf;
      }
      break;
    case reg::REG_MULTI_SZ: {
      std::string s = v.data;
      while (!s.empty() && s.back() == '\0') s.pop_back();
      std::string out;
      for (char c : s) out += c == '\0' ? std::string("\\0") : std::string(1, c);
      return out;
    }
  }
  for (unsigned char c : v.data) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", c);
    os << buf;
  }
  return os.str();
}

bool ParseArgs(const std::vector<std::string>& args, Options* o, std::ostream& err) {
  if (args.empty()) return false;
  o->command = args[0];
  std::vector<std::string> positional;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string a = args[i];
    std::string opt = a.size() > 1 ? a.substr(1) : "";
    for (char& c : opt) c = char(std::tolower(static_cast<unsigned char>(c)));
    // "/v" is an option, "/home/x.reg" a file name.
    static const char* const kOptions[] = {"v", "ve", "va", "s", "f", "y", "t", "d"};
    bool isOpt = (a[0] == '-' || a[0] == '/') &&
                 std::find(std::begin(kOptions), std::end(kOptions), opt) != std::end(kOptions);
    if (!isOpt && a[0] == '-' && a.size() > 1) {
      err << "brevant-reg: unknown option " << a << "\n";
      return false;
    }
    if (!isOpt) {
      positional.push_back(a);
      continue;
    }
    auto next = [&](std::string* dst) {
      if (i + 1 >= args.size()) {
        err << "brevant-reg: " << a << " needs a value\n";
        return false;
      }
      *dst = args[++i];
      return true;
    };
    if (opt == "v") {
      o->hasName = true;
      if (!next(&o->name)) return false;
    } else if (opt == "ve") {
      o->hasName = true;
      o->defaultValue = true;
      o->name.clear();
    } else if (opt == "va")
      o->allValues = true;
    else if (opt == "s")
      o->recurse = true;
    else if (opt == "f" || opt == "y")
      o->force = true;
    else if (opt == "t") {
      if (!next(&o->type)) return false;
    } else if (opt == "d") {
      o->hasData = true;
      if (!next(&o->data)) return false;
    }
  }
  if (o->command == "import") {
    if (positional.size() != 1) return false;
    o->file = positional[0];
    return true;
  }
  if (positional.empty()) return false;
  o->key = positional[0];
  if (o->command == "export") {
    if (positional.size() != 2) return false;
    o->file = positional[1];
  } else if (positional.size() != 1) {
    return false;
  }
  return true;
}

void PrintKey(reg::HKEY root, const std::string& path, reg::HKEY k, const Options& o, std::ostream& out) {
  std::vector<reg::Value> values;
  reg::EnumValues(k, &values);
  out << reg::RootName(root) << (path.empty() ? "" : "\\" + path) << "\n";
  for (const reg::Value& v : values) {
    if (o.hasName && strcasecmp(v.name.c_str(), o.name.c_str()) != 0) continue;
    out << "    " << (v.name.empty() ? "(Default)" : v.name) << "    " << TypeName(v.type) << "    "
        << DataText(v) << "\n";
  }
  out << "\n";
  std::vector<std::string> subs;
  reg::EnumSubKeys(k, &subs);
  for (const std::string& s : subs) {
    std::string sub = path.empty() ? s : path + "\\" + s;
    if (!o.recurse) {
      if (!o.hasName) out << reg::RootName(root) << "\\" << sub << "\n";
      continue;
    }
    reg::HKEY sk = 0;
    if (reg::OpenKey(root, sub, reg::kKeyRead, &sk) == reg::kOk) {
      PrintKey(root, sub, sk, o, out);
      reg::CloseKey(sk);
    }
  }
}

int Query(const Options& o, std::ostream& out, std::ostream& err) {
  unsigned root;
  std::string path;
  if (!reg::SplitFullKey(o.key, &root, &path)) {
    err << "brevant-reg: not a registry key: " << o.key << "\n";
    return 1;
  }
  reg::HKEY k = 0;
  long rc = reg::OpenKey(root, path, reg::kKeyRead, &k);
  if (rc != reg::kOk) {
    err << "brevant-reg: "
        << (rc == reg::kFileNotFound ? "the key does not exist: " + o.key : reg::LastErrorText()) << "\n";
    return 1;
  }
  std::string stored = reg::KeyPath(k);
  if (o.hasName) {
    std::uint32_t size = 0, type = 0;
    rc = reg::QueryValue(k, o.name, &type, nullptr, &size);
    if (rc != reg::kOk) {
      reg::CloseKey(k);
      err << "brevant-reg: the value does not exist: " << (o.defaultValue ? "(Default)" : o.name) << "\n";
      return 1;
    }
  }
  PrintKey(root, stored, k, o, out);
  reg::CloseKey(k);
  return 0;
}

bool ParseData(const Options& o, std::uint32_t* type, std::string* bytes, std::ostream& err) {
  std::string t = o.type;
  for (char& c : t) c = char(std::toupper(static_cast<unsigned char>(c)));
  if (t == "REG_SZ") {
    *type = reg::REG_SZ;
    *bytes = o.data;
    return true;
  }
  if (t == "REG_EXPAND_SZ") {
    *type = reg::REG_EXPAND_SZ;
    *bytes = o.data;
    return true;
  }
  if (t == "REG_DWORD") {
    *type = reg::REG_DWORD;
    std::string d = o.hasData ? o.data : "0";
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(d.c_str(), &end, 0);
    if (d.empty() || *end != '\0' || errno || v < -2147483648LL || v > 4294967295LL) {
      err << "brevant-reg: not a DWORD number: " << d << "\n";
      return false;
    }
    std::uint32_t u = std::uint32_t(v);
    bytes->assign(reinterpret_cast<const char*>(&u), 4);
    return true;
  }
  if (t == "REG_BINARY") {
    *type = reg::REG_BINARY;
    std::string h = o.data;
    if (h.size() % 2 || h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      err << "brevant-reg: REG_BINARY data must be pairs of hex digits\n";
      return false;
    }
    bytes->clear();
    for (std::size_t i = 0; i < h.size(); i += 2)
      bytes->push_back(char(std::stoi(h.substr(i, 2), nullptr, 16)));
    return true;
  }
  if (t == "REG_MULTI_SZ") {
    *type = reg::REG_MULTI_SZ;
    bytes->clear();
    std::string s = o.data;
    std::size_t pos = 0;
    for (;;) {
      std::size_t cut = s.find("\\0", pos);
      bytes->append(s.substr(pos, cut == std::string::npos ? std::string::npos : cut - pos));
      bytes->push_back('\0');
      if (cut == std::string::npos) break;
      pos = cut + 2;
    }
    bytes->push_back('\0');
    return true;
  }
  err << "brevant-reg: unknown type " << o.type << "\n";
  return false;
}

int Add(const Options& o, std::ostream& out, std::ostream& err) {
  unsigned root;
  std::string path;
  if (!reg::SplitFullKey(o.key, &root, &path)) {
    err << "brevant-reg: not a registry key: " << o.key << "\n";
    return 1;
  }
  std::uint32_t type = reg::REG_SZ;
  std::string bytes;
  if (o.hasName && !ParseData(o, &type, &bytes, err)) return 1;
  reg::HKEY k = 0;
  if (reg::CreateKey(root, path, reg::kKeyWrite, &k) != reg::kOk) {
    err << "brevant-reg: cannot create " << o.key << ": " << reg::LastErrorText() << "\n";
    return 1;
  }
  long rc = reg::kOk;
  // A user's password goes to the secret store, never into the registry.
  const bool secret =
      o.hasName && root == reg::kCurrentUser && type == reg::REG_SZ && reg::IsSecretValueName(o.name);
  if (o.hasName && !secret) rc = reg::SetValue(k, o.name, type, bytes.data(), std::uint32_t(bytes.size()));
  reg::CloseKey(k);
  if (rc != reg::kOk) {
    err << "brevant-reg: cannot set the value: " << reg::LastErrorText() << "\n";
    return 1;
  }
  std::string why;
  if (secret && !platform::secrets::WriteRegistrySecret(root, path, o.name, bytes, &why)) {
    err << "brevant-reg: cannot store " << o.name << ": " << why << "\n";
    return 1;
  }
  out << "The operation completed successfully.\n";
  if (secret) out << o.name << " is kept in the secret store.\n";
  return 0;
}

int Delete(const Options& o, std::ostream& out, std::ostream& err) {
  unsigned root;
  std::string path;
  if (!reg::SplitFullKey(o.key, &root, &path)) {
    err << "brevant-reg: not a registry key: " << o.key << "\n";
    return 1;
  }
  long rc;
  if (o.hasName || o.allValues) {
    reg::HKEY k = 0;
    rc = reg::OpenKey(root, path, reg::kKeyWrite, &k);
    if (rc == reg::kOk) {
      if (o.allValues) {
        std::vector<reg::Value> values;
        reg::EnumValues(k, &values);
        for (const auto& v : values)
          if ((rc = reg::DeleteValue(k, v.name)) != reg::kOk) break;
      } else {
        rc = reg::DeleteValue(k, o.name);
      }
      reg::CloseKey(k);
    }
  } else {
    rc = reg::DeleteKeyTree(root, path);
  }
  if (rc == reg::kFileNotFound) {
    err << "brevant-reg: nothing to delete: " << o.key << (o.hasName ? " " + o.name : "") << "\n";
    return 1;
  }
  if (rc != reg::kOk) {
    err << "brevant-reg: " << reg::LastErrorText() << "\n";
    return 1;
  }
  out << "The operation completed successfully.\n";
  return 0;
}

int Export(const Options& o, std::ostream& out, std::ostream& err) {
  std::string text, error;
  if (!reg::ExportKey(o.key, &text, &error)) {
    err << "brevant-reg: " << error << "\n";
    return 1;
  }
  if (o.file == "-") {
    out << text;
    return 0;
  }
  std::ofstream f(o.file, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  if (!f) {
    err << "brevant-reg: cannot write " << o.file << "\n";
    return 1;
  }
  out << "The operation completed successfully.\n";
  return 0;
}

int Import(const Options& o, std::ostream& out, std::ostream& err) {
  std::ifstream f(o.file, std::ios::binary);
  if (!f) {
    err << "brevant-reg: cannot read " << o.file << "\n";
    return 1;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  std::string error;
  bool imported = reg::ImportText(ss.str(), &error);
  // Passwords the file brought in move on into the secret store.
  std::string why;
  if (!platform::secrets::MoveRegistrySecrets(reg::kCurrentUser, &why))
    err << "brevant-reg: a password stays in the registry: " << why << "\n";
  if (!imported) {
    err << "brevant-reg: " << o.file << ": " << error << "\n";
    return 1;
  }
  out << "The operation completed successfully.\n";
  return 0;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  if (!ParseArgs(args, &o, err)) {
    err << kUsage;
    return 1;
  }
  if (o.command == "query") return Query(o, out, err);
  if (o.command == "add") return Add(o, out, err);
  if (o.command == "delete") return Delete(o, out, err);
  if (o.command == "export") return Export(o, out, err);
  if (o.command == "import") return Import(o, out, err);
  err << "brevant-reg: unknown command " << o.command << "\n" << kUsage;
  return 1;
}

}  // namespace brevant::regtool
