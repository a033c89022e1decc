#include "maintenance/Installation.h"

#include <dirent.h>
#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "platform/env/Environment.h"
#include "platform/process/Process.h"
#include "platform/ui/Ui.h"

namespace brevant::mInstallation {
namespace {

OfficeProbes g_probes;

bool Exists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// LibreOffice keeps each application in its own library; the package that
// provides Writer or Calc installs it.
bool LibreOfficeHas(const char* library) {
  for (const char* dir : {"/usr/lib/libreoffice/program/", "/opt/libreoffice/program/"}) {
    if (Exists(std::string(dir) + library)) return true;
  }
  return false;
}

bool ConditionHolds(Component::Needs needs) {
  switch (needs) {
    case Component::Needs::Always:
      return true;
    case Component::Needs::Outlook:
      return IsOutlookInstalled();
    case Component::Needs::Word:
      return IsWordInstalled();
    case Component::Needs::Excel:
      return IsExcelInstalled();
  }
  return false;
}

std::string PathIn(const std::string& folder, const std::string& file) {
  std::string found = FindFileNoCase(folder, file);
  return found.empty() ? folder + "/" + file : found;
}

struct AddinKey {
  const char* key;
  const char* friendlyName;
  Component::Needs needs;
};
constexpr AddinKey kAddinKeys[] = {
    {"Software\\Microsoft\\Office\\Word\\Addins\\QuorWordAddin.ConnectWord", "Outlook Word",
     Component::Needs::Word},
    {"Software\\Microsoft\\Office\\Outlook\\Addins\\PelorinAddin.ConnectOutlook", "Outlook Fax",
     Component::Needs::Always},
    {"Software\\Microsoft\\Office\\Excel\\Addins\\QuorExcelAddin.ConnectExcel", "Excel Fax",
     Component::Needs::Always},
};

}  // namespace

bool IsOutlookInstalled() {
  return g_probes.outlook ? g_probes.outlook() : true;
}
bool IsWordInstalled() {
  return g_probes.word ? g_probes.word() : LibreOfficeHas("libswlo.so");
}
bool IsExcelInstalled() {
  return g_probes.excel ? g_probes.excel() : LibreOfficeHas("libsclo.so");
}

void SetOfficeProbes(OfficeProbes probes) {
  g_probes = std::move(probes);
}

std::string GetSystemFolder() {
  std::string dir;
  try {
    CWinReg reg;
    // "SystemDir" is a setting of our own that installations rarely make.
    if (reg.InitForReadIfPresent(CWinReg::HKEY_LOCAL_MACHINE, kPelorinKey)) dir = reg.GetString("SystemDir");
  } catch (...) {
    dir.clear();
  }
  if (dir.empty()) dir = "/usr/lib/brevant";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string GetComponentFolder() {
  if (std::string d = platform::env::Get(platform::env::Var::ComponentDir); !d.empty()) return d;
  return GetExecutableFolder();
}

std::string FindFileNoCase(const std::string& folder, const std::string& name) {
  if (Exists(folder + "/" + name)) return folder + "/" + name;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return "";
  std::string found;
  while (dirent* e = ::readdir(d)) {
    if (::strcasecmp(e->d_name, name.c_str()) == 0) {
      found = folder + "/" + e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

const std::vector<Component>& SuiteComponents() {
  using N = Component::Needs;
  static const std::vector<Component> kList = {
      {"QuorSendTo.dll", true, false, N::Always},  {"QuorIE.dll", true, false, N::Always},
      {"Pelorin.dll", true, false, N::Always},     {"PelorinAddin.dll", true, false, N::Outlook},
      {"QuorWordAddin.dll", true, false, N::Word}, {"QuorExcelAddin.dll", true, false, N::Excel},
      {"Redemption.dll", false, true, N::Always},
  };
  return kList;
}

bool CheckFiles(const std::string& folder) {
  bool all = true;
  for (const auto& c : SuiteComponents()) {
    if (!c.checked || !ConditionHolds(c.needs)) continue;
    if (FindFileNoCase(folder, c.file).empty()) {
      all = false;
      try {
        WriteTraceLog("mInstallation.CheckFiles", folder + "/" + c.file + " is missing");
      } catch (...) {
      }
    }
  }
  return all;
}

bool RegDll(const std::string& folder) {
  bool all = true;
  for (const auto& c : SuiteComponents()) {
    if (!ConditionHolds(c.needs)) continue;
    std::string path = PathIn(c.systemFolder ? GetSystemFolder() : folder, c.file);
    bool office = c.needs == Component::Needs::Word || c.needs == Component::Needs::Excel;
    if (!RegisterServerDll(path, true, office ? kOfficeAddinTimeoutMs : 10000)) {
      ui::MsgBox(path + " - registration unsuccessful.");
      WriteErrorLog(124, "Cannot registrate:" + path, "RegDll");
      all = false;
    }
  }
  return all;
}

bool RegisterAddin() {
  PendingError pending;
  for (const auto& a : kAddinKeys) {
    if (!ConditionHolds(a.needs)) continue;
    pending.Step([&] {
      // A key that already holds these values needs no writing: an ordinary
      // user's repair of a sound installation succeeds without the rights
      // the local machine's keys need.
      {
        CWinReg current;
        if (current.InitForRead(CWinReg::HKEY_LOCAL_MACHINE, a.key) &&
            current.GetDword("CommandLineSafe") == 0 && current.GetDword("LoadBehavior") == 3 &&
            current.GetString("Description") == "Add-In Orlimex" &&
            current.GetString("FriendlyName") == a.friendlyName)
          return;
      }
      CWinReg reg;
      if (!reg.InitForWrite(CWinReg::HKEY_LOCAL_MACHINE, a.key, true)) {
        throw VbError(kErrPermission, std::string("The key ") + a.key + " cannot be written.");
      }
      bool ok = reg.SetDword("CommandLineSafe", 0) && reg.SetDword("LoadBehavior", 3) &&
                reg.SetString("Description", "Add-In Orlimex") &&
                reg.SetString("FriendlyName", a.friendlyName);
      reg.CloseKey();
      if (!ok) throw VbError(kErrPermission, std::string("The values of ") + a.key + " cannot be written.");
    });
  }
  if (pending.Any()) {
    ui::MsgBox("Cannot register Outlook addin. Try install with admin rights.");
    WriteErrorLog(123, "Cannot register Outlook addin." + pending.Get().description, "RegisterAddin");
    return false;
  }
  return true;
}

bool RegisterServerDll(const std::string& path, bool registerIt, long timeoutMs) {
  std::string helper = GetExecutableFolder() + "/brevant-regsvr";
  std::vector<std::string> argv = {helper};
  if (!registerIt) argv.push_back("/u");
  argv.push_back(path);
  auto r = platform::Spawn(argv, "", true, timeoutMs);
  std::string why;
  if (!r.started)
    why = "the registration helper did not start: " + r.error;
  else if (r.timedOut)
    why = "the library did not return within " + std::to_string(timeoutMs / 1000) + " s";
  else if (r.exitCode == kRegsvrNotLoaded)
    why = "the library cannot be loaded";
  else if (r.exitCode == kRegsvrNoEntry)
    why = "the library has no registration entry";
  else if (r.exitCode == kRegsvrEntryFailed)
    why = "the registration entry reported a failure";
  else if (r.exitCode >= 128)
    why = "the library crashed (signal " + std::to_string(r.exitCode - 128) + ")";
  else if (r.exitCode != kRegsvrOk)
    why = "the registration helper ended with " + std::to_string(r.exitCode);
  if (why.empty()) return true;
  // The caller's record (124, "Cannot registrate:") is the one error record;
  // why the library failed goes to the trace log beside it.
  try {
    WriteTraceLog("mInstallation.RegisterServerDll", path + ": " + why);
  } catch (...) {
  }
  return false;
}

int RunRegistrationEntry(const std::string& path, bool registerIt, std::string* detail) {
  void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    if (detail) *detail = ::dlerror();
    return kRegsvrNotLoaded;
  }
  using Entry = long (*)();
  const char* name = registerIt ? "DllRegisterServer" : "DllUnregisterServer";
  void* sym = ::dlsym(lib, name);
  if (!sym) {
    if (detail) *detail = std::string("no entry ") + name;
    ::dlclose(lib);
    return kRegsvrNoEntry;
  }
  long result = reinterpret_cast<Entry>(sym)();
  ::dlclose(lib);
  if (detail) *detail = name + std::string(" returned ") + std::to_string(result);
  return result == 0 ? kRegsvrOk : kRegsvrEntryFailed;
}

}  // namespace brevant::mInstallation
