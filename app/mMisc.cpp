#include "app/mMisc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "Version.h"
#include "app/Init.h"
#include "app/ServiceProbes.h"
#include "app/WindowsModule.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/MailSessions.h"
#include "common/SenderInfo.h"
#include "faxjob/CXmlGroups.h"
#include "maintenance/BugReport.h"
#include "platform/fs/TempFiles.h"
#include "platform/ui/Ui.h"
#include "printing/FaxPrinterSetup.h"
#include "render/Pipeline.h"

namespace fs = std::filesystem;

namespace brevant {
namespace {

bool ContainsEmf(std::string name) {
  for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
  return name.find(".emf") != std::string::npos;
}

// "new" modes 1 and 2: the pages the fax printer left in the spool folder,
// copied to the temporary folder, as a files list that ends with one empty
// entry (or the empty list when there is no page).
StringList CollectSpoolPages() {
  StringList files{""};
  std::string temp = mCommon::GetTempDir();
  // A spool folder that is not there holds no page.
  std::string spool = GetSpoolFolder();
  std::error_code missing;
  if (!fs::is_directory(spool, missing)) return {};
  if (temp.empty()) throw VbError(kErrPathNotFound, "There is no temporary folder for the printed pages");
  for (const fs::directory_entry& e : fs::directory_iterator(spool)) {
    std::string name = e.path().filename().string();
    if (!ContainsEmf(name)) continue;
    std::string copy = temp + name, why;
    if (!platform::CopyToFreshFile(e.path(), copy, 0600, &why)) throw VbError(kErrPathFileAccess, why);
    files.back() = copy;
    files.push_back("");
  }
  if (files.size() == 1) files.clear();
  return files;
}

// The program's help file: the user guide as HTML, beside the program in a
// build tree or a portable copy, in the package's documentation folder when
// installed (programs in <prefix>/lib/brevant/). The first that exists; the
// one beside the program when neither does (opening it then says so).
std::string HelpFilePath() {
  const std::string bin = GetExecutableFolder();
  const std::string beside = bin + "/Pelorin.html";
  std::error_code ec;
  for (const std::string& path : {beside, bin + "/../../share/doc/brevant/user-guide.html"})
    if (fs::is_regular_file(path, ec)) return fs::weakly_canonical(path, ec).string();
  return beside;
}

}  // namespace

void ClearSpoolFolder() {
  try {
    std::string spool = GetSpoolFolder();
    if (::mkdir(spool.c_str(), 0777) == 0 || errno != EEXIST) return;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(spool, ec)) {
      std::error_code ec2;
      if (e.is_directory(ec2)) continue;
      fs::remove(e.path(), ec2);  // read-only files go too: only the folder's mode matters
    }
  } catch (...) {
    // errors ignored
  }
}

void mMisc::DumpLoadedForms() {
  std::string names;
  for (const std::string& n : ui::LoadedForms()) {
    if (strcasecmp(n.c_str(), "frmCover") == 0) continue;
    if (!names.empty()) names += ";";
    names += n;
  }
  if (!names.empty()) WriteErrorLog(0, "Brevant.exe DumpedForms: " + names, "");
}

void UnloadAllForms() {
  try {
    ui::UnloadAllForms();
  } catch (...) {
    // errors ignored
  }
}

void exitApp(int code) {
  try {
    std::string head = "exitApp(" + std::to_string(code) + ")";
    WriteTraceLog(head, "");
    if (code == 0) {
      CWinReg reg;
      if (reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true)) reg.SetString("SetCoverPage", "0");
      reg.CloseKey();
    }
    if (Run().AcrobatOpen && Run().ClosePdfReaderWindow) {
      Run().ClosePdfReaderWindow();
      Run().AcrobatOpen = false;
    }
    ClearSpoolFolder();
    mMisc::DumpLoadedForms();
    UnloadAllForms();
    mMisc::DumpLoadedForms();
    mCommon::Dispose();
    WriteTraceLog(head + " - END", "");
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mMisc.exitApp");
  }
}

void mMisc::Main(const std::string& commandLine) {
  Run().HelpFile = HelpFilePath();

  // Trace log housekeeping, errors ignored.
  {
    struct stat st {};
    std::string trace = TraceLogPath();
    if (::stat(trace.c_str(), &st) == 0 && st.st_size > 102400) ::unlink(trace.c_str());
  }

  try {
    for (int i = 0; i < 6; ++i) WriteTraceLog("", "");
    WriteTraceLog("Brevant.exe " + ProgramVersion(), "");
    WriteTraceLog("Main", "CommandLine = " + commandLine);

    StringList fields = SplitFields(commandLine, ';');
    if (fields.empty()) return;

    // An unattended run shows nobody a window, so it does not ask the
    // window system (a round trip to the display) for the owner.
    Run().OwnerWindow = ui::Unattended() ? 0 : ui::ForegroundWindow();
    ui::SetBackendLoader(&LoadWindowsForMessages);
    RegisterServiceProbes();
    // A fax that cannot be made ends the run from inside the pipeline.
    SetPipelineExitHandler([](int code) {
      exitApp(code);
      std::exit(Run().ExitStatus);
    });
    auto ci = std::make_unique<Init>();

    StringList names, numbers, files;
    if (fields.size() >= 4) {
      names = SplitFields(fields[2], '#');
      numbers = SplitFields(fields[3], '#');
    }
    if (fields.size() >= 5) files = ParseFilesArg(fields[4]);

    {
      CXmlGroups groups;
      groups.ReadCfgProps();
    }
    mCommon::GetSenderInfo();
    Run().SpoolPages = false;
    ReadClientPaths();

    const std::string& word = fields[0];
    if (word == "bug") {
      MakeBugReport();
    } else if (word == "new") {
      std::string m = fields.size() > 1 ? fields[1] : "";
      if (m == "2") {
        FaxJob().g_arrFiles.Resize(1);
        FaxJob().g_arrFiles[1] = files.at(0);
        ClearSpoolFolder();
        PrintWebPage(FaxJob().g_arrFiles[1]);
        Run().SpoolPages = true;
        files = CollectSpoolPages();
      } else if (m == "1") {
        Run().SpoolPages = true;
        Run().OwnerWindow = 0;
        files = CollectSpoolPages();
      } else if (fields.size() < 5) {
        files.clear();
      }
      WriteTraceLog("Main", "before ci.ShowFaxNew");
      ci->ShowFaxNew(names, numbers, files, m == "3");
      WriteTraceLog("Main", "after ci.ShowFaxNew");
    } else if (word == "sendnow") {
      ci->SendNow(names, numbers, files);
    } else if (word == "cover") {
      ci->ShowFaxCover(names, numbers);
    } else if (word == "import") {
      mCommon::Start(true);
      ci->FaxImport();
    } else if (word == "setcover") {
      ci->SetCoverPage();
    } else if (word == "config") {
      ConfigureFaxPrinterForConfig();
      ci->Config();
    } else if (word == "repair") {
      ci->Repair();
    } else if (word == "sender") {
      ci->FaxSender();
    } else if (word == "help") {
      ci->FaxHelp();
    } else if (word == "about") {
      ci->FaxAbout();
    } else if (word == "recv") {
      ci->FaxRecv();
    } else if (word == "autorecv") {
      ci->AutoRecv();
    } else if (word == "pause") {
      ci->FaxPause();
    } else if (word == "stop") {
      ci->FaxStop();
    } else if (word == "folder") {
      ci->FaxFolder();
    } else if (word == "scan") {
      ci->scan();
    } else if (word == "warning") {
      ci->ShowWarning("");
    }
    ci.reset();
    WriteTraceLog("Main - END", "");
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, commandLine + e.description, "Brevant.mMisc.Main");
  }
}

}  // namespace brevant
