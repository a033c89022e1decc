#include "common/Folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "platform/env/Environment.h"
#include "platform/fs/SafeFiles.h"
#include "platform/fs/TempFiles.h"
#include "platform/process/Process.h"

namespace fs = std::filesystem;

namespace brevant {

std::string GetExecutableFolder() {
  std::string exe = platform::ExecutablePath();
  auto cut = exe.find_last_of('/');
  return cut == std::string::npos ? std::string(".") : exe.substr(0, cut);
}

std::string GetProgramFolder() {
  if (std::string dir = platform::env::Get(platform::env::Var::ProgramDir); !dir.empty()) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    // A launcher may name a folder that a fresh account does not have yet.
    // No error record when it cannot be made: the logs live in this folder.
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
      std::error_code ec;
      fs::create_directories(dir, ec);
    }
    return dir;
  }
  std::string exeDir = GetExecutableFolder();
  if (::access(exeDir.c_str(), W_OK) == 0) return exeDir;
  // An installed copy in a read-only folder keeps its files per user.
  std::string data;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
    data = x;
  else
    data = platform::HomeFolder() + "/.local/share";
  std::string dir = data + "/brevant";
  std::error_code ec;
  fs::create_directories(dir, ec);
  return dir;
}

std::string GetInstallFolder() {
  try {
    CWinReg reg;
    std::string dest;
    if (reg.InitForRead(CWinReg::HKEY_LOCAL_MACHINE, kPelorinKey)) {
      dest = reg.GetString("DestDir");
      reg.CloseKey();
    }
    return dest;
  } catch (...) {
    return "";  // errors ignored
  }
}

std::string GetSpoolFolder() {
  // The spool folder stays where the installation says, so that the fax
  // printer and this program agree on it, whether or not it exists yet.
  std::string dest = GetInstallFolder();
  while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
  if (dest.empty()) return GetProgramFolder() + "/QuorSpool/";
  return dest + "/QuorSpool/";
}

std::string GetGroupFileFolder() {
  // An installed copy runs from <prefix>/lib/brevant, a folder its users
  // cannot write; a build tree or a portable copy runs from a folder of its
  // own, which is also its program folder.
  std::string exeDir = GetExecutableFolder();
  constexpr std::string_view kInstalled = "/lib/brevant";
  if (exeDir.size() <= kInstalled.size() || !exeDir.ends_with(kInstalled)) return GetProgramFolder();
  std::string prefix = exeDir.substr(0, exeDir.size() - kInstalled.size());
  if (prefix == "/usr" || prefix == "/usr/local") return "/etc/brevant";
  return prefix + "/etc/brevant";
}

std::string GetLocalComputerName() {
  static const std::string name = [] {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return std::string();
    std::string s = buf;
    auto b = s.find_first_not_of(' ');
    auto e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
  }();
  return name;
}

namespace mCommon {

std::string GetTempDir() {
  try {
    std::string why;
    std::string dir = platform::PrivateTempFolder(&why);
    // A refused runtime folder is worth a record even when a folder of the
    // run's own took its place: someone may have made it to get in the way.
    if (!why.empty()) WriteErrorLog(kErrPathFileAccess, why, "mCommon.GetTempDir");
    return dir;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.GetTempDir");
    return "";
  }
}

std::string GetTempFile() {
  try {
    std::string dir = GetTempDir();
    if (dir.empty()) throw VbError(kErrPathNotFound, "no temporary folder");
    std::string why;
    std::string file = platform::MakeUniqueFile(dir, "Fax", "", &why);
    if (file.empty()) throw VbError(kErrPathFileAccess, why);
    return file;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.GetTempFile");
    return "";
  }
}

}  // namespace mCommon
}  // namespace brevant
