#include "app/Init.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/WindowsModule.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "common/MailSessions.h"
#include "delivery/Delivery.h"
#include "delivery/FaxTransport.h"
#include "maintenance/BugReport.h"
#include "maintenance/Scan.h"
#include "platform/env/Environment.h"
#include "platform/process/Process.h"
#include "platform/ui/Ui.h"
#include "platform/ui/WindowRaise.h"
#include "receive/FaxImport.h"
#include "receive/QueueControl.h"
#include "render/Pipeline.h"

namespace brevant {
namespace {

// Another copy of this program in this session: same user, same executable
// name, and the same runtime folder (where the named events live), so that
// separate sessions and private test worlds do not block each other.
bool OtherInstanceInSession() {
  if (!platform::OtherInstanceRunning()) return false;
  const std::string mine = platform::env::Get(platform::env::Var::RuntimeDir);
  std::string me = platform::ExecutableName();
  for (const platform::ProcessEntry& p : platform::ListProcesses()) {
    std::string name = p.name;
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0)
      name.resize(name.size() - 4);
    if (p.pid == int(::getpid()) || p.uid != int(::getuid()) || strcasecmp(name.c_str(), me.c_str()) != 0)
      continue;
    std::ifstream in("/proc/" + std::to_string(p.pid) + "/environ", std::ios::binary);
    std::string var, theirs;
    const std::string prefix = std::string(platform::env::Name(platform::env::Var::RuntimeDir)) + "=";
    bool found = false;
    while (std::getline(in, var, '\0'))
      if (var.rfind(prefix, 0) == 0) {
        theirs = var.substr(prefix.size());
        found = !theirs.empty();
      }
    if (found == !mine.empty() && (!found || theirs == mine)) return true;
  }
  return false;
}

Init::InstanceTest g_instanceTest = &OtherInstanceInSession;

bool AnotherInstance() {
  return g_instanceTest && g_instanceTest();
}

// The window operations leave the window to the copy of the program that
// runs already: it is asked to bring its window (the one titled title, or
// whichever it shows) to the front, and this copy opens nothing.
bool StepAside(const std::string& title = "") {
  if (!AnotherInstance()) return false;
  ui::AskToRaise(title);
  return true;
}

// A document named on the command line: the quotes a caller put around it
// (or around part of it) are dropped, but a quote that is part of the file's
// own name (Linux names may hold them) stays: the first of these that names
// an existing file wins, every quote removed first.
std::string FileArgument(const std::string& given) {
  std::string bare = given;
  std::erase(bare, '"');
  if (bare == given) return bare;
  std::string unwrapped = given;
  if (unwrapped.size() >= 2 && unwrapped.front() == '"' && unwrapped.back() == '"')
    unwrapped = unwrapped.substr(1, unwrapped.size() - 2);
  std::error_code ec;
  const std::string* candidates[] = {&bare, &unwrapped, &given};
  for (const std::string* c : candidates)
    if (std::filesystem::exists(*c, ec)) return *c;
  return bare;
}

// A named document that is not there would be left out of the fax without a
// word: the user is told which, and the error log keeps it.
void ReportMissingFiles(const char* source) {
  const FaxJobRecord& job = FaxJob();
  for (std::size_t k = 1; k <= job.g_arrFiles.Count(); ++k) {
    const std::string& f = job.g_arrFiles[k];
    std::error_code ec;
    if (f.empty() || std::filesystem::exists(f, ec)) continue;
    WriteErrorLog(kErrFileNotFound, "File not found: " + f, source);
    ui::MsgBox("The file \"" + f + "\" cannot be found and is not part of the fax.", "Pelorin");
  }
}

// The one-shot cover page request: "SetCoverPage" = "1" with the subject
// and note stored beside it. keepStored: a request another component made
// before this run ("new" mode 3) keeps its subject and note.
void RequestCoverPage(bool keepStored) {
  CWinReg reg;
  if (!reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true)) return;
  if (keepStored) {
    std::string previous = reg.GetString("SetCoverPage");
    reg.SetString("SetCoverPage", "1");
    if (previous != "0" && !previous.empty()) return;
  } else {
    reg.SetString("SetCoverPage", "1");
  }
  reg.SetString("CoverPageNote", "");
  reg.SetString("CoverPageSubject", "");
}

}  // namespace

void Init::SetInstanceTest(InstanceTest test) {
  g_instanceTest = test;
}

Init::~Init() {
  mCommon::Dispose();
}

void CopyListsToFaxJob(const StringList& names, const StringList& numbers, const StringList& files) {
  FaxJobRecord& job = FaxJob();
  if (!names.empty()) {
    job.g_arrFaxName.Resize(names.size() - 1);
    job.g_arrFaxNumber.Resize(names.size() - 1);
  }
  if (!files.empty()) job.g_arrFiles.Resize(files.size() - 1);
  for (std::size_t k = 1; k <= job.g_arrFaxNumber.Count(); ++k) {
    job.g_arrFaxNumber[k] = numbers.at(k - 1);
    job.g_arrFaxName[k] = names.at(k - 1);
  }
  for (std::size_t k = 1; k <= job.g_arrFiles.Count(); ++k) job.g_arrFiles[k] = FileArgument(files.at(k - 1));
}

void Init::ShowFaxNew(const StringList& names, const StringList& numbers, const StringList& files,
                      bool useStoredCover) {
  try {
    if (StepAside()) return;
    if (brevant::Config().ProgramType == 1 && brevant::Config().EmailFax.empty()) {
      ui::MsgBox("You should set Fax Mail in Setup for using Pelorin.");
      return;
    }
    ClearFaxJob();
    RequestCoverPage(useStoredCover);
    CopyListsToFaxJob(names, numbers, files);
    ReportMissingFiles("Init.ShowFaxNew");
    wizard::Windows* w = AppWindows();
    if (!w) return;
    w->LoadFaxNew(Run().SpoolPages);
    WriteTraceLog("ShowFaxNew", "before frmNew.Show(vbModal)");
    w->ShowFaxNewModal();
    WriteTraceLog("ShowFaxNew", "after  frmNew.Show(vbModal)");
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.ShowFaxNew");
  }
}

void Init::ShowWarning(const std::string& message) {
  try {
    if (StepAside()) return;
    if (wizard::Windows* w = AppWindows()) w->ShowWarning(message.c_str());
    exitApp(0);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.ShowWarning");
  }
}

void Init::Config() {
  try {
    // The running copy brings its configuration dialog to the front.
    if (StepAside("Pelorin Configure")) return;
    if (wizard::Windows* w = AppWindows()) w->ShowConfig();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.Config");
  }
}

void Init::AutoRecv() {
  brevant::AutoRecv();
}
void Init::FaxPause() {
  brevant::FaxPause();
}
void Init::FaxStop() {
  brevant::FaxStop();
}

void Init::FaxFolder() {
  // The result is ignored: a missing file manager only means nothing opens.
  platform::ShellExecute("explore", brevant::Config().InboxPath);
}

void Init::scan() {
  try {
    StartScan([](const std::string& message) {
      if (wizard::Windows* w = AppWindows()) w->ShowWarning(message.c_str());
    });
    exitApp(0);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.scan");
  }
}

void Init::ShowFaxCover(const StringList& names, const StringList& numbers) {
  try {
    if (StepAside()) return;
    ClearFaxJob();
    RequestCoverPage(false);
    // Every entry counts here: "cover" lists do not end with an empty one.
    // A name without its number is an error (subscript out of range) and
    // opens no page.
    FaxJobRecord& job = FaxJob();
    job.g_arrFaxName.Resize(names.size());
    job.g_arrFaxNumber.Resize(names.size());
    for (std::size_t k = 1; k <= names.size(); ++k) {
      job.g_arrFaxName[k] = names[k - 1];
      job.g_arrFaxNumber[k] = numbers.at(k - 1);
    }
    if (wizard::Windows* w = AppWindows()) w->ShowFaxCover();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.ShowFaxCover");
  }
}

void Init::FaxImport() {
  try {
    if (StepAside()) return;
    if (!FaxDeviceInstalled()) ShowWarning("");
    if (wizard::Windows* w = AppWindows()) w->ShowImport();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.FaxImport");
  }
}

void Init::FaxSender() {
  try {
    if (StepAside()) return;
    if (wizard::Windows* w = AppWindows()) w->ShowSender();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.FaxSender");
  }
}

void Init::FaxConsole() {
  mCommon::RunFaxConsole();
}

void Init::FaxAbout() {
  try {
    if (StepAside()) return;
    if (wizard::Windows* w = AppWindows()) w->ShowAbout();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.FaxAbout");
  }
}

void Init::Repair() {
  try {
    if (StepAside()) return;
    if (wizard::Windows* w = AppWindows()) w->ShowRepair();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.Repair");
  }
}

void Init::FaxHelp() {
  ui::MsgBox("Help", "Pelorin");
}
void Init::FaxRecv() {
  brevant::FaxRecv();
  exitApp(0);
}
void Init::SendNow(const StringList& names, const StringList& numbers, const StringList& files) {
  ClientConfig& cfg = brevant::Config();
  Run().ExitStatus = kSendNothing;
  if (cfg.ProgramType == 1 && cfg.EmailFax.empty()) {
    ui::MsgBox("You should set Fax Mail in Setup for using Pelorin.");
    return;
  }
  ClearFaxJob();
  // The last entry of a list is never used, so a numbers field that is empty
  // or holds one entry names no number, whatever the names say: the user is
  // asked to dial one instead of the copy failing on the missing number.
  FaxJobRecord& job = FaxJob();
  if (numbers.size() > 1) CopyListsToFaxJob(names, numbers, files);
  if (job.g_arrFaxNumber.Empty()) {
    ui::MsgBox("Please dial a fax number.");
    return;
  }
  {
    CWinReg reg;
    if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kPelorinKey)) {
      job.UseCover = reg.GetString("SetCoverPage") != "0";
      job.FaxSubject = reg.GetString("CoverPageSubject");
      job.Note = reg.GetString("CoverPageNote");
      reg.CloseKey();
    }
  }
  {
    CWinReg reg;
    if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kUserInfoKey)) {
      std::string cover = reg.GetString("CoverPageFile");
      job.CoverIndex = 0;
      if (!cover.empty() && job.UseCover) {
        job.CoverPages.Clear();
        job.CoverPages.Append(cover);
        job.CoverIndex = 1;
      }
      reg.CloseKey();
    }
  }
  if (job.g_arrFiles.Empty() && !job.UseCover) {
    ui::MsgBox("You should add document and/or cover page to send fax.");
    return;
  }
  ReportMissingFiles("Init.SendNow");

  // From here on errors do not stop the steps. A fax the pipeline cannot
  // make ends the run from inside it, with this status.
  Run().ExitStatus = kSendNotMade;
  PendingError err;
  err.Step([&] {
    if (job.PreviewFile.empty()) PrintPreview(0, false);
  });
  const bool made = !job.FaxImageFile.empty();
  err.Step([&] {
    if (cfg.ProgramType != 2) {
      std::error_code ec;
      if (!job.FaxImageFile.empty() && std::filesystem::exists(job.FaxImageFile, ec)) {
        job.g_arrFiles.Clear();
        job.g_arrFiles.Append(job.FaxImageFile);
      } else {
        WriteErrorLog(123, "File not exist", "sendNow");
      }
    }
  });
  err.Step([&] {
    switch (cfg.ProgramType) {
      case 1:
        SendFaxMail();
        break;
      case 2:
        SendFaxEFax();
        break;
      default:
        SendFaxMSFax();
        break;
    }
  });
  if (err.Any()) {
    ui::MsgBox("Error Send Fax.");
    WriteErrorLog(err.Get().number, err.Get().description, "init.SendNow");
    err.Clear();
  }
  const bool went = Run().FaxesHandedOver >= job.g_arrFaxName.Count();
  Run().ExitStatus = went ? kSendHandedOver : made ? kSendRefused : kSendNotMade;
  exitApp(0);
}

void Init::SetCoverPage() {
  try {
    if (StepAside()) return;
    if (wizard::Windows* w = AppWindows()) w->ShowSetCover();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.SetCoverPage");
  }
}

void Init::BugReport() {
  if (StepAside()) return;
  MakeBugReport();
}

}  // namespace brevant
