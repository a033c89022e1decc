// The bug report: its body laid out from real registry values, processes,
// files and a real fax service, the report filed in the mail store's Outbox
// and handed to the mail program as an unsent .eml, or to the shell as a
// "mailto:" link.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <numeric>
#include <filesystem>
#include <regex>

#include "Version.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/MailSessions.h"
#include "maintenance/BugReport.h"
#include "platform/faxservice/FaxService.h"
#include "platform/mail/MailStore.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/maintenance/FakeShell.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
namespace fs = std::filesystem;
using test::SetRegString;
using test::HKCU;
using test::HKLM;

namespace {

// Runs a copy of sleep under another name, so the process list shows it.
class NamedProcess {
 public:
  NamedProcess(const test::TestWorld& w, const std::string& name, int n) {
    std::string dir = w.Root() + "/p" + std::to_string(n);
    fs::create_directories(dir);
    std::string exe = dir + "/" + name;
    fs::copy_file("/bin/sleep", exe);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(exe.c_str(), name.c_str(), "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Wait until the kernel shows the new program.
    for (int i = 0; i < 200; ++i) {
      char buf[4096];
      ssize_t len = ::readlink(("/proc/" + std::to_string(pid_) + "/exe").c_str(), buf, sizeof buf - 1);
      if (len > 0 && std::string(buf, static_cast<size_t>(len)) == exe) break;
      ::usleep(10000);
    }
  }
  ~NamedProcess() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

// A complete installation: every suite file, the shared control, the spool
// document's print command, a running print helper.
std::string CompleteInstallation(const test::TestWorld& w) {
  ::setenv("BREVANT_COMPONENT_DIR", w.ProgramDir().c_str(), 1);
  for (const char* f : {"Pelorin.dll", "PelorinAddin.dll", "QuorIE.dll", "QuorSendTo.dll", "QuorWordAddin.dll",
                        "quorrender", "QuorPrint.exe"}) {
    test::TestWorld::WriteFile(w.ProgramDir() + "/" + f, "x");
  }
  std::string sys = w.Root() + "/system";
  test::TestWorld::WriteFile(sys + "/RICHTX32.OCX", "x");
  SetRegString(HKLM, kPelorinKey, "SystemDir", sys);
  SetRegString(CWinReg::HKEY_CLASSES_ROOT, ".pnx", "", "Pelorin.Spool");
  SetRegString(CWinReg::HKEY_CLASSES_ROOT, "Pelorin.Spool\\shell\\printto\\command", "",
           "\"/opt/pelorin/QuorPlot.exe\" \"%1\" \"%2\"");
  return sys;
}

BugReportProbes FixedProbes(bool mail) {
  BugReportProbes p;
  p.mailProgram = [mail] { return mail ? MailProgram{"TestMail", "3.1", {"true"}} : MailProgram{}; };
  p.mailStore = [] { return true; };
  p.mailAccount = [mail] { return mail ? std::string("me@here via smtp.test:587 (starttls, login me)") : ""; };
  p.osDescription = [] { return "TestOS 1.2"; };
  p.xpCheck = [] { return "XP"; };
  p.printers = [] {
    return std::vector<PrinterRecord>{{"Vestrel", "Generic PDF Printer", "winprint", "RAW"},
                                      {"Office", "HP LaserJet", "winprint", "NT EMF 1.008"}};
  };
  return p;
}

// Other sessions on this machine may run their own copy of the program.
std::string WithoutInstanceWarning(const std::string& body) {
  return std::regex_replace(body, std::regex("Warning: running [0-9]+ instances of Brevant.exe\r\n"), "");
}

// The mail store of the world and the folder a report is filed in.
std::string UseMaildir(const test::TestWorld& w) {
  std::string dir = w.Root() + "/Maildir";
  ::setenv("BREVANT_MAILDIR", dir.c_str(), 1);
  mCommon::Dispose();  // the store and the account are opened once per run
  return dir;
}

std::vector<mail::MailItem> Outbox() {
  mail::Items items = mail::Store().GetDefaultFolder(mail::olFolderOutbox).AllItems();
  std::vector<mail::MailItem> out;
  for (std::size_t i = 1; i <= items.Count(); ++i) out.push_back(items.Item(i));
  return out;
}

const mail::Attachment* Attached(const mail::MailItem& item, const std::string& name) {
  for (const auto& a : item.Attachments)
    if (a.fileName == name) return &a;
  return nullptr;
}

// An executable script in the world's fakebin folder.
std::string Script(const test::TestWorld& w, const std::string& name, const std::string& body) {
  std::string path = w.Root() + "/fakebin/" + name;
  test::TestWorld::WriteFile(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
  return path;
}

}  // namespace

TEST(BugReport, BodyLayoutWithoutMailClient) {
  test::TestWorld w;
  CompleteInstallation(w);
  NamedProcess printHelper(w, "QuorPrint.exe", 1);  // found by name, any case
  ClientConfig& c = Config();
  c = ClientConfig{};
  c.ProgramType = 7;
  c.FaxDevice = GetLocalComputerName();
  for (auto& ch : c.FaxDevice) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  c.InboxPath = "/home/u/Faxes/Inbox";
  c.SentPath = "/home/u/Faxes/Sent";
  c.MSInboxPath = "/var/spool/fax/inbox";
  c.MSSentPath = "/var/spool/fax/sent";

  BugReportText r = BuildBugReport(FixedProbes(false));
  const std::string expected =
      "\r\n\r\n\r\n-- Please type bug description above this line. Thank you --\r\n\r\n"
      "Brevant version: " BREVANT_VERSION_TEXT "\r\nOS:TestOS 1.2\r\nOutlook version: Not installed\r\n"
      "MAPI:No\r\nMail account: not set up\r\n"
      "The creation of 'FaxComEx.FaxServer' was failed. No fax service client.\r\n\r\nErrors log not found."
      "\r\n---------------- config ----------------\r\nUsing = Invalid - 7\r\nLocalFaxServer = yes\r\n"
      "ForwardEmail = no\r\nInboxPath = /home/u/Faxes/Inbox\r\nSentPath = /home/u/Faxes/Sent\r\n"
      "MSSentPath = /var/spool/fax/sent\r\nMSInboxPath = /var/spool/fax/inbox\r\n"
      "---------------- modems ----------------\r\n"
      "---------------- printers ----------------\r\n"
      "PrinterName = 'Vestrel'\r\n\tDriverName = 'Generic PDF Printer'\r\n\tPrintProcessor = winprint\r\n\tDatatype = RAW\r\n"
      "PrinterName = 'Office'\r\n\tDriverName = 'HP LaserJet'\r\n\tPrintProcessor = winprint\r\n\tDatatype = NT EMF 1.008\r\n"
      "\r\n";
  EXPECT_EQ(WithoutInstanceWarning(r.body), expected);
  EXPECT_FALSE(r.withMailItem);
  EXPECT_TRUE(r.attachments.empty());

  // Product version, the other program types, a forward address, a device
  // that is not this computer.
  SetRegString(HKLM, "SOFTWARE\\Norvane\\Pelorin", "Version", "1.0.17");
  c.ProgramType = 1;
  c.FaxDevice = "faxhost";
  c.ForwardEmail = "boss@example.org";
  r = BuildBugReport(FixedProbes(true));
  EXPECT_NE(r.body.find("\r\n\r\nProduct version: 1.0.17\r\nBrevant version: "), std::string::npos);
  EXPECT_NE(r.body.find("Outlook version:TestMail 3.1\r\nMAPI:Ok\r\n"
                        "Mail account: me@here via smtp.test:587 (starttls, login me)\r\n"),
            std::string::npos);
  EXPECT_NE(r.body.find("LocalFaxServer = no\r\nForwardEmail = yes\r\n"), std::string::npos);
  for (auto [type, name] : {std::pair<int, const char*>{1, "QuorGroup"}, {2, "EFax"}, {0, "MSFAX"}}) {
    c.ProgramType = static_cast<std::int16_t>(type);
    EXPECT_NE(BuildBugReport(FixedProbes(true)).body.find("Using = " + std::string(name) + "\r\n"),
              std::string::npos);
  }
  c = ClientConfig{};
}

TEST(BugReport, MissingPiecesEachAddTheirLine) {
  test::TestWorld w;
  Config() = ClientConfig{};
  std::string sys = w.Root() + "/emptysystem";
  fs::create_directories(sys);
  SetRegString(HKLM, kPelorinKey, "SystemDir", sys);
  // ".pnx" names a class whose print command is another program's.
  SetRegString(CWinReg::HKEY_CLASSES_ROOT, ".pnx", "", "Other.Doc");
  SetRegString(CWinReg::HKEY_CLASSES_ROOT, "Other.Doc\\shell\\printto\\command", "", "lp \"%1\"");
  ::setenv("BREVANT_COMPONENT_DIR", w.ProgramDir().c_str(), 1);
  test::TestWorld::WriteFile(w.ProgramDir() + "/quorie.DLL", "x");  // present, other case
  test::TestWorld::WriteFile(ErrorLogPath(), "#2026# 5 Boom Init.ShowFaxNew\r\n");

  std::string body = BuildBugReport(FixedProbes(false)).body;
  std::string quorrenderLine = fs::exists(test::BinDir() + "/quorrender") ? "" : "\\quorrender.exe not exist\r\n";
  std::string files =
      "Error: No QuorPrint.exe in processes\r\n"
      "Error: shell command 'printto' is not registered for .pnx document\r\n"
      "RICHTX32.OCX not exists!!!!!\r\n"
      "Pelorin.dll not exist\r\nPelorinAddin.dll not exist\r\nQuorSendTo.dll not exist\r\n"
      "QuorWordAddin.dll not exist\r\n" +
      quorrenderLine + "\\QuorPrint.exe not exist\r\n" +
      // Without a mail client the error log's text follows unchanged.
      "#2026# 5 Boom Init.ShowFaxNew\r\n"
      "\r\n---------------- config ----------------\r\n";
  EXPECT_NE(WithoutInstanceWarning(body).find(files), std::string::npos) << body;
}

TEST(BugReport, TwoRunningCopiesOfTheProgramAreReported) {
  test::TestWorld w;
  NamedProcess a(w, "brevant", 1), b(w, "Brevant.exe", 2);
  std::string body = BuildBugReport(FixedProbes(false)).body;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(body, m, std::regex("Warning: running ([0-9]+) instances of Brevant.exe\r\n"))) << body;
  EXPECT_GE(std::stoi(m[1]), 2);
}

// The fax service lines and device records of both editions, as the running
// service reports its devices; a stopped service is a failed connection.
TEST(BugReport, FaxServiceLinesAndDeviceRecordsFromTheRunningService) {
  test::TestWorld w;
  Config() = ClientConfig{};
  test::FaxDaemon daemon(w);
  ASSERT_TRUE(daemon.Start());
  faxsvc::Message devices = daemon.Call(faxsvc::Message("devices"));
  faxsvc::Message hello = daemon.Call(faxsvc::Message("hello"));
  ASSERT_GE(devices.GetInt("count"), 1);
  auto get = [](const faxsvc::Message& m, const char* key) { return m.Has(key) ? m.Get(key) : std::string(); };
  auto yesNo = [](const faxsvc::Message& m, const char* key) {
    return m.Has(key) ? std::string(m.GetInt(key) ? "True" : "False") : std::string();
  };
  std::string xpRecords, portRecords;
  for (int i = 1; i <= devices.GetInt("count"); ++i) {
    faxsvc::Message d = devices.Item(i);
    xpRecords += "\r\nDeviceName = " + d.Get("name") + "\r\n\tDescription = " + get(d, "description") +
                 "\r\n\tPoweredOff = " + yesNo(d, "powered_off") + "\r\n\tReceiveMode = " + d.Get("receive_mode") +
                 "\r\n\tRingsBeforeAnswer = " + d.Get("rings") + "\r\n\tSendEnabled = " +
                 yesNo(d, "send_enabled") + "\r\n\tCSID = " + d.Get("csid") + "\r\n\tTSID = " + d.Get("tsid");
    portRecords += "\r\n\tCanModify = " + get(d, "can_modify") + "\r\n\tSend = " + yesNo(d, "send_enabled") +
                   "\r\n\tReceive = " + yesNo(d, "receive_enabled") + "\r\n\tRings = " + d.Get("rings") +
                   "\r\n\tPriority = " + get(d, "priority") + "\r\n\tTsid = " + d.Get("tsid") + "\r\n\tCsid = " +
                   d.Get("csid") + "\r\n\tDeviceId = " + d.Get("id");
  }
  char hex[32] = "";
  if (hello.Has("granted_rights")) std::snprintf(hex, sizeof hex, "%llX", hello.GetInt("granted_rights"));
  const std::string modems = "---------------- modems ----------------", printers = "\r\n---------------- printers";
  BugReportProbes p = FixedProbes(false);
  p.faxService = DefaultBugReportProbes().faxService;
  std::string body = BuildBugReport(p).body;
  EXPECT_NE(body.find("not set up\r\nFaxComEx.FaxServer(local): OK\r\nFaxComEx.FaxServer(local): access rights "
                      "granted to the user = 0x" + std::string(hex) + "\r\n"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find(modems + xpRecords + printers), std::string::npos) << body;

  p.xpCheck = [] { return ""; };
  body = BuildBugReport(p).body;
  EXPECT_NE(body.find("not set up\r\nFaxServer.FaxServer(local): OK\r\nError"), std::string::npos) << body;
  EXPECT_EQ(body.find("access rights"), std::string::npos);
  EXPECT_NE(body.find(modems + portRecords + printers), std::string::npos) << body;

  daemon.Stop();
  EXPECT_NE(BuildBugReport(p).body.find("not set up\r\nThe connection to FaxServer was failed.\r\n" ),
            std::string::npos);
}

TEST(BugReport, ReportIsAnOutboxItemWithTheLogsOpenedInTheConfiguredMailProgram) {
  test::TestWorld w;
  Config() = ClientConfig{};
  UseMaildir(w);
  // The mail program records the file it was given and says its version.
  std::string seen = w.Root() + "/seen.eml";
  std::string program = Script(w, "fakemail",
                               "if [ \"$1\" = --version ]; then echo 'FakeMail 9.9'; exit 0; fi\n"
                               "cp \"$1\" '" + seen + ".part' && mv '" + seen + ".part' '" + seen + "'\n");
  SetRegString(HKCU, mail::kAccountKey, "MailProgram", program);
  SetRegString(HKCU, mail::kAccountKey, "SmtpServer", "smtp.example.org");
  SetRegString(HKCU, mail::kAccountKey, "SenderAddress", "ann@example.org");
  test::TestWorld::WriteFile(ErrorLogPath(), "#2026# 91 Object not set frmNew.Form_Load\r\n");
  test::TestWorld::WriteFile(DebugLogPath(), "debug line\r\n");
  test::TestWorld::WriteFile(w.ProgramDir() + "/FaxGroup.xml", "<Groups/>");

  MakeBugReport();

  auto outbox = Outbox();
  ASSERT_EQ(outbox.size(), 1u);
  const mail::MailItem& item = outbox[0];
  EXPECT_EQ(item.To, "support@norvane.com");
  EXPECT_EQ(item.Subject, "Pelorin Bug Report");
  EXPECT_EQ(item.Importance, 2);
  EXPECT_EQ(item.Body.rfind("\n\n\n-- Please type bug description above this line. Thank you --\n", 0), 0u);
  EXPECT_NE(item.Body.find("Outlook version:fakemail FakeMail 9.9\nMAPI:Ok\n"
                           "Mail account: ann@example.org via smtp.example.org:25 (none, no login)\n"),
            std::string::npos)
      << item.Body;
  EXPECT_EQ(item.Body.find("Object not set frmNew"), std::string::npos) << "the error log is attached";
  ASSERT_NE(Attached(item, "Errors.log"), nullptr);
  EXPECT_EQ(Attached(item, "Errors.log")->data.rfind("#2026# 91 Object not set frmNew.Form_Load\r\n", 0), 0u);
  ASSERT_NE(Attached(item, "Debug.log"), nullptr);
  EXPECT_EQ(Attached(item, "Debug.log")->data, "debug line\r\n");
  ASSERT_NE(Attached(item, fs::path(TraceLogPath()).filename()), nullptr);
  // Saved with them, the logs are gone from the folder; other files stay.
  for (const auto& e : fs::directory_iterator(w.ProgramDir())) EXPECT_NE(e.path().extension(), ".log") << e.path();
  EXPECT_TRUE(fs::exists(w.ProgramDir() + "/FaxGroup.xml"));

  // The mail program got the same message as an unsent one, without the
  // store's own headers.
  ASSERT_TRUE(test::WaitFor([&] { return fs::exists(seen); }, 5));
  std::string eml = test::TestWorld::ReadFile(seen);
  EXPECT_EQ(eml.rfind("X-Unsent: 1\r\n", 0), 0u);
  EXPECT_EQ(eml.find("X-Brevant-"), std::string::npos);
  EXPECT_NE(eml.find("ann@example.org"), std::string::npos) << "from the account's sender";
  mail::MailItem shown = mail::FromMime(eml);
  EXPECT_EQ(shown.Subject, "Pelorin Bug Report");
  EXPECT_EQ(shown.Body, item.Body);
  EXPECT_EQ(shown.Attachments.size(), item.Attachments.size());

  // A store the item cannot be saved in: the logs stay, the link goes out.
  test::FakeShell shell(w);
  test::TestWorld::WriteFile(w.Root() + "/plainfile", "x");
  ::setenv("BREVANT_MAILDIR", (w.Root() + "/plainfile").c_str(), 1);
  mCommon::Dispose();
  test::TestWorld::WriteFile(DebugLogPath(), "kept\r\n");
  ShowBugReport(BuildBugReport(DefaultBugReportProbes()));
  EXPECT_EQ(shell.Opened().rfind("mailto:support@norvane.com?subject=Pelorin Bug Report&body=", 0), 0u);
  EXPECT_EQ(test::TestWorld::ReadFile(DebugLogPath()), "kept\r\n");
  ::unsetenv("BREVANT_MAILDIR");
  mCommon::Dispose();
}

TEST(BugReport, TheDesktopsMailProgramOrElseAMailtoLink) {
  test::TestWorld w;
  Config() = ClientConfig{};
  UseMaildir(w);
  test::FakeShell shell(w);
  // The desktop names a mail program for mail messages.
  std::string apps = w.Root() + "/data/applications";
  ::setenv("XDG_DATA_HOME", (w.Root() + "/data").c_str(), 1);
  test::TestWorld::WriteFile(apps + "/fakemail.desktop",
                             "[Desktop Entry]\nName=Fake Mail\nExec=" + w.Root() + "/fakebin/fm %u\n");
  Script(w, "fm", "echo 'Fake Mail 2.0'\n");
  std::string answer = w.Root() + "/mime-answer";
  Script(w, "xdg-mime", "cat '" + answer + "' 2>/dev/null\n");
  test::TestWorld::WriteFile(answer, "fakemail.desktop\n");
  test::TestWorld::WriteFile(DebugLogPath(), "debug line\r\n");

  MakeBugReport();
  std::string opened = shell.Opened();
  EXPECT_EQ(opened, mCommon::GetTempDir() + kBugReportFile);
  std::string eml = test::TestWorld::ReadFile(opened);
  EXPECT_EQ(eml.rfind("X-Unsent: 1\r\n", 0), 0u);
  EXPECT_NE(eml.find("Outlook version:Fake Mail Fake Mail 2.0"), std::string::npos);
  EXPECT_NE(eml.find("MAPI:No"), std::string::npos);
  EXPECT_NE(mail::FromMime(eml).Body.find("Mail account: not set up"), std::string::npos);
  EXPECT_EQ(Outbox().size(), 1u);
  EXPECT_FALSE(fs::exists(DebugLogPath()));

  // No mail program at all: the link, the error log in its body and gone,
  // the other logs kept.
  fs::remove(w.Root() + "/shell.log");
  test::TestWorld::WriteFile(answer, "");
  test::TestWorld::WriteFile(ErrorLogPath(), "#2026# 53 File not found sendNow\r\n");
  test::TestWorld::WriteFile(DebugLogPath(), "debug line\r\n");
  MakeBugReport();
  std::string link = shell.Opened();
  ASSERT_EQ(link.rfind("mailto:support@norvane.com?subject=Pelorin Bug Report&body=\r\n\r\n\r\n-- Please", 0), 0u)
      << link;
  EXPECT_EQ(link.back(), ';');
  EXPECT_NE(link.find("Outlook version: Not installed\r\nMAPI:No\r\n"), std::string::npos);
  EXPECT_NE(link.find("#2026# 53 File not found sendNow\r\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(ErrorLogPath()));
  EXPECT_EQ(test::TestWorld::ReadFile(DebugLogPath()), "debug line\r\n");
  EXPECT_EQ(Outbox().size(), 1u);
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("BREVANT_MAILDIR");
  mCommon::Dispose();
}

TEST(BugReport, PrintersAreTheSpoolersQueues) {
  test::TestWorld w;
  // What the spooler's own tools say.
  auto output = [](const std::string& cmd) {
    std::string text;
    char line[512];
    FILE* p = ::popen(cmd.c_str(), "r");
    while (p && std::fgets(line, sizeof line, p)) text += line;
    if (p) ::pclose(p);
    return text;
  };
  std::string expected = output("lpstat -e 2>/dev/null | sort");
  if (expected.empty()) GTEST_SKIP() << "no CUPS queue on this machine";
  auto printers = DefaultBugReportProbes().printers();
  std::vector<std::string> names;
  for (const auto& r : printers) names.push_back(r.name + "\n");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::accumulate(names.begin(), names.end(), std::string()), expected);
  for (const auto& r : printers) {
    std::string options = output("lpoptions -p '" + r.name + "' 2>/dev/null") + " ";
    // lpoptions quotes a value only when it holds blanks.
    bool listed = options.find("printer-make-and-model='" + r.driver + "'") != std::string::npos ||
                  options.find("printer-make-and-model=" + r.driver + " ") != std::string::npos ||
                  options.find("printer-make-and-model=" + r.driver + "\n") != std::string::npos;
    EXPECT_TRUE(listed) << r.driver << "\n" << options;
    EXPECT_FALSE(r.printProcessor.empty() || r.datatype.empty());
  }
}
