#include "maintenance/About.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <vector>

#include "common/CWinReg.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "maintenance/BugReport.h"
#include "platform/process/Process.h"
#include "platform/ui/Ui.h"

namespace brevant {
namespace {

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return parts;
}

bool IsNumber(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

std::string AboutVersionText(int major, int minor, const std::string& productVersion) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Version %d.%02d", major, minor);
  std::string text = buf;
  auto parts = Split(productVersion, '.');
  if (parts.size() >= 3 && IsNumber(parts[0]) && IsNumber(parts[1]) && std::stoi(parts[0]) == major &&
      std::stoi(parts[1]) == minor) {
    if (IsNumber(parts[2])) {
      std::snprintf(buf, sizeof buf, ".%04d", std::stoi(parts[2]));
      text += buf;
    } else {
      text += "." + parts[2];
    }
  }
  return text;
}

std::string GetKeyValue(std::uint32_t root, const std::string& key, const std::string& valueName) {
  try {
    CWinReg reg;
    if (!reg.InitForRead(root, key)) return "";
    return reg.GetLongString(valueName);
  } catch (...) {
    WriteErrorLog(CurrentError().number, CurrentError().description, "frmAbout.GetKeyValue");
    return "";
  }
}

bool StartSysInfo() {
  std::string path =
      GetKeyValue(CWinReg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH");
  if (path.empty()) {
    std::string dir =
        GetKeyValue(CWinReg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Shared Tools Location", "MSINFO");
    if (!dir.empty()) path = dir + "/MSINFO32.EXE";
  }
  struct stat st {};
  if (!path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    auto r = platform::Spawn({path}, "", false);
    if (r.started) return true;
    WriteErrorLog(kErrFileNotFound, "Cannot start " + path + ": " + r.error, "frmAbout.StartSysInfo");
  }
  ui::MsgBox("System Information Is Unavailable At This Time");
  return false;
}

bool OpenProductWebPage() {
  return platform::ShellExecute("open", kProductWebPage);
}

bool OpenSupportMail() {
  return platform::ShellExecute("open", std::string("mailto:") + kSupportAddress);
}

}  // namespace brevant
