#include "common/OsCheck.h"

#include <sys/utsname.h>

#include <fstream>

#include "common/CWinReg.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "platform/registry/Registry.h"

namespace brevant {

namespace {

// Decimal digits only, fitting 32 bits unsigned.
bool ParseNumber(const std::string& s, std::uint32_t* out) {
  if (s.empty() || s.size() > 10) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + std::uint64_t(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  *out = std::uint32_t(v);
  return true;
}

}  // namespace

bool QueryOsVersion(OsVersionInfo* info) {
  *info = OsVersionInfo();
  // The key is absent on most installations and that is no failure: the
  // defaults stand. A value that is there but unusable (not a string, not
  // "major.minor", not a number) is a version query that failed; the
  // callers then answer "" without a record of their own.
  CWinReg reg;
  if (!reg.InitForReadIfPresent(CWinReg::HKEY_LOCAL_MACHINE, kWindowsVersionKey)) return true;
  auto read = [&](const char* name, std::string* text) {
    *text = reg.GetString(name);
    return !text->empty() || reg.ValueType(name) == 0;
  };
  std::string version, build;
  bool ok = read("CurrentVersion", &version) && read("CurrentBuildNumber", &build);
  reg.CloseKey();
  if (!ok) return false;
  if (!version.empty()) {
    auto dot = version.find('.');
    if (dot == std::string::npos || !ParseNumber(version.substr(0, dot), &info->major) ||
        !ParseNumber(version.substr(dot + 1), &info->minor))
      return false;
  }
  return build.empty() || ParseNumber(build, &info->build);
}

namespace mCommon {

std::string CheckXP() {
  try {
    OsVersionInfo v;
    if (!QueryOsVersion(&v)) return "";
    return std::to_string(v.major) == "5" && std::to_string(v.minor) > "0" ? "XP" : "";
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.CheckXP");
    return "";
  }
}

std::string GetOSDescription() {
  try {
    OsVersionInfo v;
    if (!QueryOsVersion(&v)) return "";
    std::string platform;
    switch (v.platformId) {
      case 0:
        platform = "Windows 32s";
        break;
      case 1:
        platform = "Windows 95/98";
        break;
      case 2:
        platform = "Windows NT";
        break;
      default:
        break;
    }
    return platform + " Win version:" + " " + std::to_string(v.major) + "." + std::to_string(v.minor) +
           " Build: " + " " + std::to_string(v.build);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.GetOSDescription");
    return "";
  }
}

std::string GetSystemDescription() {
  std::string pretty;
  std::ifstream in("/etc/os-release");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    pretty = line.substr(12);
    if (pretty.size() >= 2 && (pretty.front() == '"' || pretty.front() == '\'') &&
        pretty.back() == pretty.front())
      pretty = pretty.substr(1, pretty.size() - 2);
    break;
  }
  struct utsname u {};
  std::string kernel;
  if (::uname(&u) == 0) kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
  if (pretty.empty()) return kernel;
  return kernel.empty() ? pretty : pretty + ", " + kernel;
}

}  // namespace mCommon
}  // namespace brevant
