#pragma once
// mInstallation: checks the suite's components in the program folder,
// registers its libraries again and writes the keys that make the office
// programs load the suite's add-ins.
#include <functional>
#include <string>
#include <vector>

namespace brevant::mInstallation {

// Whether an office program is present. On this platform the mail client is
// Brevant's own mail layer and Word and Excel are LibreOffice's Writer and
// Calc.
bool IsOutlookInstalled();
bool IsWordInstalled();
bool IsExcelInstalled();

// Tests and other callers may replace the three probes; an empty function
// restores the real ones.
struct OfficeProbes {
  std::function<bool()> outlook, word, excel;
};
void SetOfficeProbes(OfficeProbes probes);

// The system folder: where "Redemption.dll" and the shared controls live.
// "SystemDir" of "Software\Norvane\Pelorin" (local machine), else
// /usr/lib/brevant.
std::string GetSystemFolder();

// Where the suite's components are: beside the programs (the package ships
// them in lib/brevant with the executables), or BREVANT_COMPONENT_DIR when
// set (another copy of the suite).
std::string GetComponentFolder();

// The file in folder whose name equals name without regard to case; "" when
// there is none.
std::string FindFileNoCase(const std::string& folder, const std::string& name);

struct Component {
  std::string file;
  bool checked;
  bool systemFolder;
  enum class Needs { Always, Outlook, Word, Excel } needs;
};
// The suite's components in the order they are checked and registered.
const std::vector<Component>& SuiteComponents();

// True when every checked component whose condition holds is in folder.
bool CheckFiles(const std::string& folder);
// Registers every registered component whose condition holds; each failure
// gets a message box and an error record, and the others still run.
bool RegDll(const std::string& folder);
// Writes the office add-in keys (local machine).
bool RegisterAddin();

// Loads the library at path in a child process ("brevant-regsvr" beside the
// executable) and calls its "DllRegisterServer" (register) or
// "DllUnregisterServer" entry; true when the entry returned 0. A library that
// does not load, lacks the entry, crashes or does not return within
// timeoutMs is a failure, and the calling process is unharmed.
bool RegisterServerDll(const std::string& path, bool registerIt, long timeoutMs = 10000);
// The office add-ins register through LibreOffice's extension manager,
// which takes its own start-up: they get longer.
inline constexpr long kOfficeAddinTimeoutMs = 120000;

// Outcome codes of the registration helper's exit status.
enum RegsvrExit : int {
  kRegsvrOk = 0,
  kRegsvrEntryFailed = 1,
  kRegsvrNotLoaded = 2,
  kRegsvrNoEntry = 3,
  kRegsvrUsage = 4,
};
// The helper's body: load, find, call, unload. Returns a RegsvrExit code.
int RunRegistrationEntry(const std::string& path, bool registerIt, std::string* detail);

}  // namespace brevant::mInstallation
