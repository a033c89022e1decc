#pragma once
// The command front object: each operation prepares the fax job or the state
// it needs, then shows one window or acts at once.
#include "app/mMisc.h"

namespace brevant {

class Init {
 public:
  Init() = default;
  ~Init();  // releases the mail sessions
  Init(const Init&) = delete;
  Init& operator=(const Init&) = delete;

  void ShowFaxNew(const StringList& names, const StringList& numbers, const StringList& files,
                  bool useStoredCover);
  void ShowWarning(const std::string& message);
  void Config();
  void AutoRecv();
  void FaxPause();
  void FaxStop();
  void FaxFolder();
  void scan();
  void ShowFaxCover(const StringList& names, const StringList& numbers);
  void FaxImport();
  void FaxSender();
  void FaxConsole();
  void FaxAbout();
  void Repair();
  void FaxHelp();
  void FaxRecv();
  void SendNow(const StringList& names, const StringList& numbers, const StringList& files);
  void SetCoverPage();
  void BugReport();

  // The previous-instance test of the window operations: another process
  // of this program runs. Test programs, which are not `brevant`, replace it.
  using InstanceTest = bool (*)();
  static void SetInstanceTest(InstanceTest test);
};

// Copies the command-line recipient lists into the fax job the way "new"
// and "sendnow" do: the last entry of each list is not used.
void CopyListsToFaxJob(const StringList& names, const StringList& numbers, const StringList& files);

}  // namespace brevant
