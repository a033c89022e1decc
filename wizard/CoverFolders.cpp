#include "wizard/CoverFolders.h"

#include <algorithm>

#include "common/OsCheck.h"
#include "common/CWinReg.h"

namespace brevant::wizard {
namespace {

constexpr const char* kShellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr const char* kFaxSetup = "Software\\Microsoft\\Fax\\Setup";

std::string Read(std::uint32_t root, const char* key, const char* value) {
  CWinReg reg;
  if (!reg.InitForRead(root, key)) return "";
  return reg.GetString(value);
}

std::string Join(std::string a, const std::string& b) {
  std::string out = a + "/" + b;
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

}  // namespace

std::string CommonCoverFolder() {
  if (mCommon::CheckXP() == "XP")
    return Join(Read(CWinReg::HKEY_LOCAL_MACHINE, kShellFolders, "Common AppData"),
                Read(CWinReg::HKEY_LOCAL_MACHINE, kFaxSetup, "ServerCoverPageDir"));
  return Join(Read(CWinReg::HKEY_LOCAL_MACHINE, kShellFolders, "Common Documents"),
              "My Faxes/Common Coverpages");
}

std::string PersonalCoverFolder() {
  return Join(Read(CWinReg::HKEY_CURRENT_USER, kShellFolders, "Personal"),
              Read(CWinReg::HKEY_CURRENT_USER, kFaxSetup, "CoverPageDir"));
}

}  // namespace brevant::wizard
