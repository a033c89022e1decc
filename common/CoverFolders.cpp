#include "common/CoverFolders.h"

#include <algorithm>
#include <cctype>

#include "common/CWinReg.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "common/OsCheck.h"

namespace brevant::mCommon {
namespace {

constexpr const char* kShellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr const char* kFaxSetup = "Software\\Microsoft\\Fax\\Setup";

std::string Read(std::uint32_t root, const char* key, const char* value) {
  CWinReg reg;
  if (!reg.InitForRead(root, key)) return "";
  return reg.GetString(value);
}

std::string Join(const std::string& a, const std::string& b) {
  std::string out = a + "/" + b;
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::string CommonCoverFolder() {
  // Without the machine's shared folder there is no common folder: "" (no
  // template is one of its), never "/" (every template would be).
  const bool xp = CheckXP() == "XP";
  std::string base =
      Read(CWinReg::HKEY_LOCAL_MACHINE, kShellFolders, xp ? "Common AppData" : "Common Documents");
  if (base.empty()) return "";
  return Join(base, xp ? Read(CWinReg::HKEY_LOCAL_MACHINE, kFaxSetup, "ServerCoverPageDir")
                       : "My Faxes/Common Coverpages");
}

std::string PersonalCoverFolder() {
  return Join(Read(CWinReg::HKEY_CURRENT_USER, kShellFolders, "Personal"),
              Read(CWinReg::HKEY_CURRENT_USER, kFaxSetup, "CoverPageDir"));
}

bool IsServerCoverPage(const std::string& templatePath) {
  try {
    std::string path = templatePath;
    std::replace(path.begin(), path.end(), '\\', '/');
    const std::string common = CommonCoverFolder();
    return !common.empty() && Lower(path).find(Lower(common)) != std::string::npos;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.IsServerCoverPage");
    return false;
  }
}

}  // namespace brevant::mCommon
