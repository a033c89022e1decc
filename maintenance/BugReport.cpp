#include "maintenance/BugReport.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/MailSessions.h"
#include "maintenance/Installation.h"
#include "platform/fs/TempFiles.h"
#include "platform/mail/MailStore.h"
#include "platform/process/Process.h"

namespace brevant {
namespace {

constexpr const char* kCrLf = "\r\n";

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Executable names compare without regard to case and a trailing ".exe".
std::string ProgramName(const std::string& name) {
  std::string l = Lower(name);
  if (l.size() > 4 && l.compare(l.size() - 4, 4, ".exe") == 0) l.resize(l.size() - 4);
  return l;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A suite executable is present in the program folder or beside this
// program, under its own name or its Linux one (lower case, no ".exe").
bool SuiteProgramPresent(const std::string& exe) {
  for (const auto& folder : {GetProgramFolder(), GetExecutableFolder()}) {
    if (!mInstallation::FindFileNoCase(folder, exe).empty()) return true;
    if (!mInstallation::FindFileNoCase(folder, ProgramName(exe)).empty()) return true;
  }
  return false;
}

// The spool document type prints through the plot helper when ".pnx" names
// a class whose printto command runs QuorPlot.
bool PnxPrintToRegistered() {
  // Keys that are not there are what this check reports, in its own line.
  CWinReg reg;
  if (!reg.InitForReadIfPresent(CWinReg::HKEY_CLASSES_ROOT, ".pnx")) return false;
  std::string cls = reg.GetString("");
  reg.CloseKey();
  if (cls.empty()) return false;
  if (!reg.InitForReadIfPresent(CWinReg::HKEY_CLASSES_ROOT, cls + "\\shell\\printto\\command")) return false;
  return Lower(reg.GetLongString("")).find("quorplot") != std::string::npos;
}

std::string FaxServiceLines(const BugReportProbes& probes, std::string& modems) {
  bool xp = probes.xpCheck && probes.xpCheck() == "XP";
  std::string cls = xp ? "FaxComEx.FaxServer" : "FaxServer.FaxServer";
  FaxServiceReport fax;
  if (probes.faxService) {
    fax = probes.faxService(xp, GetLocalComputerName());
  } else {
    fax.createError = "No fax service client.";
  }
  if (!fax.created) return "The creation of '" + cls + "' was failed. " + fax.createError + kCrLf;
  if (!fax.connected) return std::string("The connection to FaxServer was failed.") + kCrLf;
  std::string out = cls + "(local): OK" + kCrLf;
  if (xp) {
    out += cls + "(local): access rights granted to the user = 0x" + fax.grantedRights + kCrLf;
    for (const auto& d : fax.devices) {
      modems += std::string(kCrLf) + "DeviceName = " + d.DeviceName;
      modems += std::string(kCrLf) + "\tDescription = " + d.Description;
      modems += std::string(kCrLf) + "\tPoweredOff = " + d.PoweredOff;
      modems += std::string(kCrLf) + "\tReceiveMode = " + d.ReceiveMode;
      modems += std::string(kCrLf) + "\tRingsBeforeAnswer = " + d.RingsBeforeAnswer;
      modems += std::string(kCrLf) + "\tSendEnabled = " + d.SendEnabled;
      modems += std::string(kCrLf) + "\tCSID = " + d.CSID;
      modems += std::string(kCrLf) + "\tTSID = " + d.TSID;
    }
  } else {
    for (const auto& p : fax.ports) {
      modems += std::string(kCrLf) + "\tCanModify = " + p.CanModify;
      modems += std::string(kCrLf) + "\tSend = " + p.Send;
      modems += std::string(kCrLf) + "\tReceive = " + p.Receive;
      modems += std::string(kCrLf) + "\tRings = " + p.Rings;
      modems += std::string(kCrLf) + "\tPriority = " + p.Priority;
      modems += std::string(kCrLf) + "\tTsid = " + p.TSID;
      modems += std::string(kCrLf) + "\tCsid = " + p.CSID;
      modems += std::string(kCrLf) + "\tDeviceId = " + p.DeviceId;
    }
  }
  // SIP lines after the devices: whether each is registered (or the
  // registrar's reason), and how calls to each number go.
  for (const auto& l : fax.sipLines) {
    modems += std::string(kCrLf) + "SipLine = " + l.DeviceName;
    modems += std::string(kCrLf) + "\tStatus = " + l.Status;
    modems += std::string(kCrLf) + "\tT38Memory = " + l.T38Memory;
  }
  return out;
}

std::string ProcessLines() {
  int quorPrint = 0, brevant = 0;
  for (const auto& p : platform::ListProcesses()) {
    std::string n = ProgramName(p.name);
    if (n == "quorprint") ++quorPrint;
    if (n == "brevant") ++brevant;
  }
  std::string out;
  if (quorPrint == 0) out += std::string("Error: No QuorPrint.exe in processes") + kCrLf;
  if (brevant > 1) out += "Warning: running " + std::to_string(brevant) + " instances of Brevant.exe" + kCrLf;
  return out;
}

std::string ConfigLines() {
  const ClientConfig& c = Config();
  std::string using_;
  switch (c.ProgramType) {
    case 0:
      using_ = "MSFAX";
      break;
    case 1:
      using_ = "QuorGroup";
      break;
    case 2:
      using_ = "EFax";
      break;
    default:
      using_ = "Invalid - " + std::to_string(c.ProgramType);
      break;
  }
  std::string out = "Using = " + using_ + kCrLf;
  bool local = Lower(c.FaxDevice) == Lower(GetLocalComputerName());
  out += std::string("LocalFaxServer = ") + (local ? "yes" : "no") + kCrLf;
  out += std::string("ForwardEmail = ") + (c.ForwardEmail.empty() ? "no" : "yes") + kCrLf;
  out += "InboxPath = " + c.InboxPath + kCrLf;
  out += "SentPath = " + c.SentPath + kCrLf;
  out += "MSSentPath = " + c.MSSentPath + kCrLf;
  out += "MSInboxPath = " + c.MSInboxPath + kCrLf;
  return out;
}

// Every "*.log" file of the folder except the error log.
std::vector<std::string> OtherLogs(const std::string& folder, const std::string& errorLog) {
  std::vector<std::string> logs;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return logs;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    std::string path = folder + "/" + n;
    if (n.size() < 4 || Lower(n.substr(n.size() - 4)) != ".log") continue;
    if (path == errorLog || !FileExists(path)) continue;
    logs.push_back(path);
  }
  ::closedir(d);
  std::sort(logs.begin(), logs.end());
  return logs;
}

}  // namespace

std::string ProductVersion() {
  try {
    CWinReg reg;
    // A build tree or a portable copy has no product key: no version, no record.
    if (!reg.InitForReadIfPresent(CWinReg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvane\\Pelorin")) return "";
    return reg.GetString("Version");
  } catch (...) {
    WriteErrorLog(CurrentError().number, CurrentError().description, "mBug.ProductVersion");
    return "";
  }
}

BugReportText BuildBugReport(const BugReportProbes& probes) {
  BugReportText r;
  std::string& b = r.body;
  auto step = [&](const char* what, auto&& f) {
    try {
      f();
    } catch (...) {
      ErrInfo e = CurrentError();
      WriteErrorLog(e.number, std::string(what) + ": " + e.description, "mBug.BugReport");
    }
  };
  step("mail program", [&] {
    if (probes.mailProgram) r.program = probes.mailProgram();
    r.withMailItem = r.program.Present() && probes.mailStore && probes.mailStore();
  });

  b = std::string(kCrLf) + kCrLf + kCrLf + "-- Please type bug description above this line. Thank you --" +
      kCrLf + kCrLf;
  step("product version", [&] {
    std::string v = ProductVersion();
    if (!v.empty()) b += "Product version: " + v + kCrLf;
  });
  b += "Brevant version: " + ProgramVersion() + kCrLf;
  step("system",
       [&] { b += "OS:" + (probes.osDescription ? probes.osDescription() : std::string()) + kCrLf; });
  if (r.withMailItem) {
    b += "Outlook version:" + r.program.name + (r.program.version.empty() ? "" : " " + r.program.version) +
         kCrLf;
  } else {
    b += std::string("Outlook version: Not installed") + kCrLf;
  }
  bool session = false;
  // CDO comes with the mail program: without one there is no session to make.
  step("mail session", [&] { session = r.program.Present() && probes.cdoSession && probes.cdoSession(); });
  b += std::string("MAPI:") + (session ? "Ok" : "No") + kCrLf;

  std::string modems;
  step("fax service", [&] { b += FaxServiceLines(probes, modems); });
  step("processes", [&] { b += ProcessLines(); });
  step("spool document", [&] {
    if (!PnxPrintToRegistered()) {
      b += std::string("Error: shell command 'printto' is not registered for .pnx document") + kCrLf;
    }
  });
  step("shared controls", [&] {
    if (mInstallation::FindFileNoCase(mInstallation::GetSystemFolder(), "RICHTX32.OCX").empty()) {
      b += std::string("RICHTX32.OCX not exists!!!!!") + kCrLf;
    }
  });
  step("suite files", [&] {
    std::string folder = mInstallation::GetComponentFolder();
    for (const char* dll :
         {"Pelorin.dll", "PelorinAddin.dll", "QuorIE.dll", "QuorSendTo.dll", "QuorWordAddin.dll"}) {
      if (mInstallation::FindFileNoCase(folder, dll).empty()) b += std::string(dll) + " not exist" + kCrLf;
    }
    for (const char* exe : {"quorrender.exe", "QuorPrint.exe"}) {
      if (!SuiteProgramPresent(exe)) b += std::string("\\") + exe + " not exist" + kCrLf;
    }
  });

  std::string errorLog = ErrorLogPath();
  step("error log", [&] {
    std::string found = mInstallation::FindFileNoCase(GetProgramFolder(), "errors.log");
    if (!found.empty()) errorLog = found;
    if (found.empty()) {
      b += std::string(kCrLf) + "Errors log not found.";
    } else {
      if (r.withMailItem)
        r.attachments.push_back(found);
      else
        b += ReadWhole(found);
      r.consumedLogs.push_back(found);
    }
  });
  if (r.withMailItem) {
    step("logs", [&] {
      for (const auto& log : OtherLogs(GetProgramFolder(), errorLog)) {
        r.attachments.push_back(log);
        r.consumedLogs.push_back(log);
      }
    });
  }

  b += std::string(kCrLf) + "---------------- config ----------------" + kCrLf;
  step("configuration", [&] { b += ConfigLines(); });
  b += "---------------- modems ----------------" + modems + kCrLf;
  b += std::string("---------------- printers ----------------") + kCrLf;
  step("printers", [&] {
    if (!probes.printers) return;
    for (const auto& p : probes.printers()) {
      b += "PrinterName = '" + p.name + "'" + kCrLf;
      b += "\tDriverName = '" + p.driver + "'" + kCrLf;
      b += "\tPrintProcessor = " + p.printProcessor + kCrLf;
      b += "\tDatatype = " + p.datatype + kCrLf;
    }
  });
  b += kCrLf;
  return r;
}

namespace {

// Saves the report as a mail item of the Outbox; false when it could not be
// saved (an error record says why).
bool SaveReportItem(const BugReportText& report, mail::MailItem* item) {
  try {
    mail::Store* store = mCommon::GetMapiNamespace();
    if (!store) throw VbError(kErrObjectNotSet, "The mail store is not available");
    mail::Folder outbox = store->GetDefaultFolder(mail::olFolderOutbox);
    *item = mail::Store::CreateItem(mail::olMailItem);
    item->Importance = 2;
    item->To = kSupportAddress;
    item->Subject = kBugReportSubject;
    item->Body = report.body;
    // Each attachment goes to the front: the last log added is listed first.
    for (auto it = report.attachments.rbegin(); it != report.attachments.rend(); ++it)
      item->AddAttachmentFile(*it, "");
    outbox.Save(*item);
    return true;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, "The bug report was not saved: " + e.description, "mBug.BugReport");
    return false;
  }
}

// Hands the item to the mail program as an unsent message, the way mail
// programs open a draft from a file.
bool DisplayReportItem(const mail::MailItem& item, const MailProgram& program) {
  try {
    std::string eml = mCommon::GetTempDir() + kBugReportFile;
    std::string text =
        "X-Unsent: 1\r\n" + mail::ToMime(item, mCommon::SetCDOSession()->sender, mail::MimeForm::Outgoing);
    std::string why;
    if (!platform::WriteFreshFile(eml, text, 0600, &why)) throw VbError(kErrPathFileAccess, why);
    std::vector<std::string> argv = program.command;
    argv.push_back(eml);
    platform::SpawnResult started = platform::Spawn(argv, "", false);
    if (!started.started) throw VbError(kErrFileNotFound, "Cannot start " + argv[0] + ": " + started.error);
    return true;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mBug.BugReport");
    return false;
  }
}

}  // namespace

bool ShowBugReport(const BugReportText& report) {
  if (report.withMailItem) {
    mail::MailItem item;
    if (SaveReportItem(report, &item)) {
      // Saved with the logs in it: only now are they gone from the folder.
      for (const auto& log : report.consumedLogs) ::unlink(log.c_str());
      return DisplayReportItem(item, report.program);
    }
  }
  std::string link = std::string("mailto:") + kSupportAddress + "?subject=" + kBugReportSubject +
                     "&body=" + report.body + ";";
  bool shown = platform::ShellExecute("open", link);
  if (!shown) {
    WriteErrorLog(kErrFileNotFound, "No mail program could be started.", "mBug.BugReport");
  } else if (!report.withMailItem) {
    // The error log's text went into the link's body.
    for (const auto& log : report.consumedLogs) ::unlink(log.c_str());
  }
  return shown;
}

void MakeBugReport() {
  try {
    WriteTraceLog("mBug.BugReport", "start");
  } catch (...) {
  }
  ShowBugReport(BuildBugReport(DefaultBugReportProbes()));
}

}  // namespace brevant
