// The bug report: its body laid out from real registry values, processes,
// files and a real fax service, the report filed in the mail store's Outbox
// and handed to the mail program as an unsent .eml, or to the shell as a
// "mailto:" link.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>

#include "Version.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/MailAccount.h"
#include "common/MailSessions.h"
#include "faxservice/client/FaxService.h"
#include "maintenance/BugReport.h"
#include "platform/mail/MailStore.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/maintenance/FakeShell.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
namespace fs = std::filesystem;
using test::HKCU;
using test::HKLM;
using test::SetRegString;
using test::TestWorld;

namespace {

// Runs a copy of sleep under another name, so the process list shows it.
struct NamedProcess {
  NamedProcess(const TestWorld& w, const std::string& name) {
    std::string exe = w.Root() + "/p" + std::to_string(++serial) + "/" + name;
    fs::create_directories(fs::path(exe).parent_path());
    fs::copy_file("/bin/sleep", exe);
    if ((pid = ::fork()) == 0) {
      ::execl(exe.c_str(), name.c_str(), "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Until the kernel shows the new program.
    test::WaitFor([&] { return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == exe; }, 2);
  }
  ~NamedProcess() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  pid_t pid = -1;
  std::error_code ec;
  static inline int serial = 0;
};

BugReportProbes FixedProbes(bool mail) {
  BugReportProbes p;
  p.mailProgram = [mail] { return mail ? MailProgram{"TestMail", "3.1", {"true"}} : MailProgram{}; };
  p.mailStore = [] { return true; };
  p.cdoSession = [] { return true; };
  p.osDescription = [] { return "TestOS 1.2"; };
  p.xpCheck = [] { return "XP"; };
  p.printers = [] {
    return std::vector<PrinterRecord>{{"Vestrel", "Generic PDF Printer", "winprint", "RAW"},
                                      {"Office", "HP LaserJet", "winprint", "NT EMF 1.008"}};
  };
  return p;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<mail::MailItem> Outbox() {
  mail::Items items = mail::Store().GetDefaultFolder(mail::olFolderOutbox).AllItems();
  std::vector<mail::MailItem> out;
  for (std::size_t i = 1; i <= items.Count(); ++i) out.push_back(items.Item(i));
  return out;
}

// An executable script in the world's fakebin folder.
std::string Script(const TestWorld& w, const std::string& name, const std::string& body) {
  std::string path = w.Root() + "/fakebin/" + name;
  TestWorld::WriteFile(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
  return path;
}

}  // namespace

TEST(BugReport, BodyOfACompleteInstallationAndTheLinesOfMissingPieces) {
  TestWorld w;
  ::setenv("BREVANT_COMPONENT_DIR", w.ProgramDir().c_str(), 1);
  const char* suite[] = {"Pelorin.dll",       "PelorinAddin.dll", "QuorIE.dll",   "QuorSendTo.dll",
                         "QuorWordAddin.dll", "quorrender",       "QuorPrint.exe"};
  for (const char* f : suite) TestWorld::WriteFile(w.ProgramDir() + "/" + f, "x");
  std::string sys = w.Root() + "/system";
  TestWorld::WriteFile(sys + "/RICHTX32.OCX", "x");
  SetRegString(HKLM, kPelorinKey, "SystemDir", sys);
  SetRegString(CWinReg::HKEY_CLASSES_ROOT, ".pnx", "", "Pelorin.Spool");
  SetRegString(CWinReg::HKEY_CLASSES_ROOT, "Pelorin.Spool\\shell\\printto\\command", "",
               "\"/opt/pelorin/QuorPlot.exe\" \"%1\" \"%2\"");
  ClientConfig& c = Config();
  c = ClientConfig{};
  c.ProgramType = 7;
  c.FaxDevice = GetLocalComputerName();
  for (auto& ch : c.FaxDevice) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  c.InboxPath = "/home/u/Faxes/Inbox";
  c.SentPath = "/home/u/Faxes/Sent";
  c.MSInboxPath = "/var/spool/fax/inbox";
  c.MSSentPath = "/var/spool/fax/sent";
  BugReportText r;
  {
    NamedProcess printHelper(w, "QuorPrint.exe"), a(w, "brevant"),
        b(w, "Brevant.exe");  // found by name, any case
    r = BuildBugReport(FixedProbes(false));
  }
  std::smatch m;
  const std::regex copies("Warning: running ([0-9]+) instances of Brevant.exe\r\n");
  ASSERT_TRUE(std::regex_search(r.body, m, copies)) << r.body;
  EXPECT_GE(std::stoi(m[1]), 2);
  EXPECT_EQ(
      std::regex_replace(r.body, copies, ""),
      "\r\n\r\n\r\n-- Please type bug description above this line. Thank you --\r\n\r\n"
      "Brevant version: " BREVANT_VERSION_TEXT
      "\r\nOS:TestOS 1.2\r\nOutlook version: Not installed\r\n"
      "MAPI:No\r\n"
      "The creation of 'FaxComEx.FaxServer' was failed. No fax service client.\r\n\r\nErrors log not found."
      "\r\n---------------- config ----------------\r\nUsing = Invalid - 7\r\nLocalFaxServer = yes\r\n"
      "ForwardEmail = no\r\nInboxPath = /home/u/Faxes/Inbox\r\nSentPath = /home/u/Faxes/Sent\r\n"
      "MSSentPath = /var/spool/fax/sent\r\nMSInboxPath = /var/spool/fax/inbox\r\n"
      "---------------- modems ----------------\r\n---------------- printers ----------------\r\n"
      "PrinterName = 'Vestrel'\r\n\tDriverName = 'Generic PDF Printer'\r\n\tPrintProcessor = winprint\r\n"
      "\tDatatype = RAW\r\nPrinterName = 'Office'\r\n\tDriverName = 'HP LaserJet'\r\n"
      "\tPrintProcessor = winprint\r\n\tDatatype = NT EMF 1.008\r\n\r\n");
  EXPECT_FALSE(r.withMailItem);
  EXPECT_TRUE(r.attachments.empty());

  // Product version, the other program types, a forward address, a device
  // that is not this computer, a mail program.
  SetRegString(HKLM, kPelorinKey, "Version", "1.0.17");
  c.FaxDevice = "faxhost";
  c.ForwardEmail = "boss@example.org";
  for (auto [type, name] : {std::pair<int, const char*>{1, "QuorGroup"}, {2, "EFax"}, {0, "MSFAX"}}) {
    c.ProgramType = static_cast<std::int16_t>(type);
    std::string body = BuildBugReport(FixedProbes(true)).body;
    EXPECT_TRUE(Has(body, "Using = " + std::string(name) + "\r\n"));
    EXPECT_TRUE(Has(body, "\r\n\r\nProduct version: 1.0.17\r\nBrevant version: "));
    EXPECT_TRUE(Has(body, "Outlook version:TestMail 3.1\r\nMAPI:Ok\r\nThe creation"));
    EXPECT_TRUE(Has(body, "LocalFaxServer = no\r\nForwardEmail = yes\r\n"));
  }

  // Each missing piece adds its line; names ignore case; without a mail
  // client the error log's text follows unchanged.
  c = ClientConfig{};
  for (const char* f : suite) fs::remove(w.ProgramDir() + "/" + std::string(f));
  TestWorld::WriteFile(w.ProgramDir() + "/quorie.DLL", "x");
  fs::remove(sys + "/RICHTX32.OCX");
  SetRegString(CWinReg::HKEY_CLASSES_ROOT, ".pnx", "", "Other.Doc");
  SetRegString(CWinReg::HKEY_CLASSES_ROOT, "Other.Doc\\shell\\printto\\command", "", "lp \"%1\"");
  TestWorld::WriteFile(ErrorLogPath(), "#2026# 5 Boom Init.ShowFaxNew\r\n");
  std::string body = std::regex_replace(BuildBugReport(FixedProbes(false)).body, copies, "");
  std::string quorrender = fs::exists(test::BinDir() + "/quorrender") ? "" : "\\quorrender.exe not exist\r\n";
  EXPECT_TRUE(Has(body,
                  "Error: No QuorPrint.exe in processes\r\n"
                  "Error: shell command 'printto' is not registered for .pnx document\r\n"
                  "RICHTX32.OCX not exists!!!!!\r\nPelorin.dll not exist\r\nPelorinAddin.dll not exist\r\n"
                  "QuorSendTo.dll not exist\r\nQuorWordAddin.dll not exist\r\n" +
                      quorrender +
                      "\\QuorPrint.exe not exist\r\n#2026# 5 Boom Init.ShowFaxNew\r\n"
                      "\r\n---------------- config ----------------\r\n"))
      << body;
}

// The fax service lines and device records of both editions, as the running
// service reports its device; a stopped service is a failed connection.
TEST(BugReport, FaxServiceLinesAndDeviceRecordsFromTheRunningService) {
  TestWorld w;
  Config() = ClientConfig{};
  test::FaxDaemon daemon(w);
  ASSERT_TRUE(daemon.Start());
  // Sending off, receiving on: the records must not mix the two up.
  daemon.Call(faxsvc::Message("device_set")
                  .Set("id", 1)
                  .Set("send_enabled", 0)
                  .Set("receive_mode", faxsvc::kReceiveAuto)
                  .Set("rings", 4)
                  .Set("tsid", "+49 30 1")
                  .Set("csid", "+49 30 2"));
  faxsvc::Message devices = daemon.Call(faxsvc::Message("devices")), d = devices.Item(1);
  ASSERT_EQ(devices.GetInt("count"), 1);
  faxsvc::Message hello = daemon.Call(faxsvc::Message("hello"));
  char rights[32] = "";
  if (hello.Has("granted_rights"))
    std::snprintf(rights, sizeof rights, "%llX", hello.GetInt("granted_rights"));
  const std::string modems = "---------------- modems ----------------\r\n";
  BugReportProbes p = FixedProbes(false);
  p.faxService = DefaultBugReportProbes().faxService;
  std::string body = BuildBugReport(p).body;
  EXPECT_TRUE(Has(body,
                  "MAPI:No\r\nFaxComEx.FaxServer(local): OK\r\nFaxComEx.FaxServer(local): access rights "
                  "granted to the user = 0x" +
                      std::string(rights) + "\r\n"))
      << body;
  EXPECT_TRUE(Has(body, modems + "DeviceName = " + d.Get("name") +
                            "\r\n\tDescription = " + d.Get("description") +
                            "\r\n\tPoweredOff = False\r\n\tReceiveMode = 1\r\n\tRingsBeforeAnswer = 4\r\n\t"
                            "SendEnabled = False\r\n\tCSID = +49 30 2\r\n\tTSID = +49 30 1\r\n---"))
      << body;
  p.xpCheck = [] { return ""; };
  body = BuildBugReport(p).body;
  EXPECT_TRUE(Has(body, "MAPI:No\r\nFaxServer.FaxServer(local): OK\r\nError")) << body;
  EXPECT_FALSE(Has(body, "access rights"));
  EXPECT_TRUE(Has(body, modems + "\tCanModify = " + d.Get("can_modify") +
                            "\r\n\tSend = False\r\n\tReceive = True\r\n"
                            "\tRings = 4\r\n\tPriority = " +
                            d.Get("priority") +
                            "\r\n\tTsid = +49 30 1\r\n\t"
                            "Csid = +49 30 2\r\n\tDeviceId = 1\r\n---"))
      << body;
  // A SIP line follows the devices with its registration state (the
  // registrar's answer) and what its calls learnt, never its password.
  ASSERT_NE(test::AddSipLineWithoutRegistrar(daemon), "");
  body = BuildBugReport(p).body;
  EXPECT_TRUE(Has(body,
                  "\r\nSipLine = SIP line alice@127.0.0.1:9\r\n\tStatus = registration at 127.0.0.1:9 as "
                  "alice failed: "))
      << body;
  EXPECT_TRUE(Has(body, "\r\n\tT38Memory = 5552002 T.38, 5553003 G.711\r\n---")) << body;
  EXPECT_FALSE(Has(body, "not-for-reports"));
  daemon.Stop();
  EXPECT_TRUE(Has(BuildBugReport(p).body, "MAPI:No\r\nThe connection to FaxServer was failed.\r\n"));
}

TEST(BugReport, ReportGoesToTheMailProgramAsAnOutboxItemOrElseAsAMailtoLink) {
  TestWorld w;
  Config() = ClientConfig{};
  ::setenv("BREVANT_MAILDIR", (w.Root() + "/Maildir").c_str(), 1);
  mCommon::Dispose();  // the store and the account are opened once per run
  test::FakeShell shell(w);
  // The configured mail program records the file it was given and says its version.
  std::string seen = w.Root() + "/seen.eml";
  std::string program = Script(w, "fakemail",
                               "if [ \"$1\" = --version ]; then echo 'FakeMail 9.9'; exit 0; fi\n"
                               "cp \"$1\" '" +
                                   seen + ".part' && mv '" + seen + ".part' '" + seen + "'\n");
  SetRegString(HKCU, mail::kAccountKey, "MailProgram", program);
  SetRegString(HKCU, mail::kAccountKey, "SmtpServer", "smtp.example.org");
  SetRegString(HKCU, mail::kAccountKey, "SenderAddress", "ann@example.org");
  TestWorld::WriteFile(ErrorLogPath(), "#2026# 91 Object not set frmNew.Form_Load\r\n");
  TestWorld::WriteFile(DebugLogPath(), "debug line\r\n");
  TestWorld::WriteFile(w.ProgramDir() + "/FaxGroup.xml", "<Groups/>");

  MakeBugReport();
  auto outbox = Outbox();
  ASSERT_EQ(outbox.size(), 1u);
  const mail::MailItem& item = outbox[0];
  EXPECT_EQ(item.To, "support@norvane.com");
  EXPECT_EQ(item.Subject, "Pelorin Bug Report");
  EXPECT_EQ(item.Importance, 2);
  EXPECT_EQ(item.Body.rfind("\n\n\n-- Please type bug description above this line. Thank you --\n", 0), 0u);
  EXPECT_TRUE(Has(item.Body, "Outlook version:fakemail FakeMail 9.9\nMAPI:Ok\n")) << item.Body;
  EXPECT_FALSE(Has(item.Body, "Object not set frmNew")) << "the error log is attached";
  std::map<std::string, std::string> attached;
  for (const auto& a : item.Attachments) attached[a.fileName] = a.data;
  EXPECT_EQ(attached["Errors.log"].rfind("#2026# 91 Object not set frmNew.Form_Load\r\n", 0), 0u);
  EXPECT_EQ(attached["Debug.log"], "debug line\r\n");
  EXPECT_TRUE(attached.count(fs::path(TraceLogPath()).filename()));
  // Saved with them, the logs are gone from the folder; other files stay.
  for (const auto& e : fs::directory_iterator(w.ProgramDir()))
    EXPECT_NE(e.path().extension(), ".log") << e.path();
  EXPECT_TRUE(fs::exists(w.ProgramDir() + "/FaxGroup.xml"));
  // The mail program got the same message as an unsent one, without the
  // store's own headers.
  ASSERT_TRUE(test::WaitFor([&] { return fs::exists(seen); }, 5));
  std::string eml = TestWorld::ReadFile(seen);
  EXPECT_EQ(eml.rfind("X-Unsent: 1\r\n", 0), 0u);
  EXPECT_FALSE(Has(eml, "X-Brevant-"));
  EXPECT_TRUE(Has(eml, "ann@example.org")) << "from the account's sender";
  mail::MailItem shown = mail::FromMime(eml);
  EXPECT_EQ(shown.Subject, "Pelorin Bug Report");
  EXPECT_EQ(shown.Body, item.Body);
  EXPECT_EQ(shown.Attachments.size(), item.Attachments.size());

  // No program configured: the desktop's program for mail messages gets the
  // file through the shell. With no mail account the session is still made
  // (its logon fails and is recorded), so "MAPI:" says Ok.
  SetRegString(HKCU, mail::kAccountKey, "MailProgram", "");
  SetRegString(HKCU, mail::kAccountKey, "SmtpServer", "");
  ::setenv("XDG_DATA_HOME", (w.Root() + "/data").c_str(), 1);
  TestWorld::WriteFile(w.Root() + "/data/applications/fakemail.desktop",
                       "[Desktop Entry]\nName=Fake Mail\nExec=" + w.Root() + "/fakebin/fm %u\n");
  Script(w, "fm", "echo 'Fake Mail 2.0'\n");
  std::string answer = w.Root() + "/mime-answer";
  Script(w, "xdg-mime", "cat '" + answer + "' 2>/dev/null\n");
  TestWorld::WriteFile(answer, "fakemail.desktop\n");
  mCommon::Dispose();
  MakeBugReport();
  EXPECT_EQ(shell.Opened(), mCommon::GetTempDir() + kBugReportFile);
  eml = TestWorld::ReadFile(shell.Opened());
  EXPECT_TRUE(Has(eml, "Outlook version:Fake Mail Fake Mail 2.0"));
  EXPECT_TRUE(Has(mail::FromMime(eml).Body, "\nMAPI:Ok\n"));
  EXPECT_EQ(Outbox().size(), 2u);

  // No mail program at all: the link, the error log in its body and gone,
  // the other logs kept.
  fs::remove(w.Root() + "/shell.log");
  TestWorld::WriteFile(answer, "");
  TestWorld::WriteFile(ErrorLogPath(), "#2026# 53 File not found sendNow\r\n");
  TestWorld::WriteFile(DebugLogPath(), "debug line\r\n");
  MakeBugReport();
  std::string link = shell.Opened();
  ASSERT_EQ(link.rfind("mailto:support@norvane.com?subject=Pelorin Bug Report&body=\r\n\r\n\r\n-- Please", 0),
            0u)
      << link;
  EXPECT_EQ(link.back(), ';');
  EXPECT_TRUE(Has(link, "Outlook version: Not installed\r\nMAPI:No\r\n"));
  EXPECT_TRUE(Has(link, "#2026# 53 File not found sendNow\r\n"));
  EXPECT_FALSE(fs::exists(ErrorLogPath()));
  EXPECT_EQ(TestWorld::ReadFile(DebugLogPath()), "debug line\r\n");
  EXPECT_EQ(Outbox().size(), 2u);
  // Nothing failed since: the report's own probes record nothing, so it says
  // so; its system line is the version record's description.
  fs::remove(w.Root() + "/shell.log");
  MakeBugReport();
  link = shell.Opened();
  EXPECT_TRUE(Has(link, "\r\nOS:Windows NT Win version: 5.1 Build:  2600\r\n")) << link;
  EXPECT_TRUE(Has(link, "not exist\r\n\r\nErrors log not found.\r\n---------------- config")) << link;

  // A program but a store the item cannot be saved in: the logs stay, the
  // link goes out.
  fs::remove(w.Root() + "/shell.log");
  SetRegString(HKCU, mail::kAccountKey, "MailProgram", program);
  TestWorld::WriteFile(w.Root() + "/plainfile", "x");
  ::setenv("BREVANT_MAILDIR", (w.Root() + "/plainfile").c_str(), 1);
  mCommon::Dispose();
  MakeBugReport();
  EXPECT_EQ(shell.Opened().rfind("mailto:support@norvane.com?subject=Pelorin Bug Report&body=", 0), 0u);
  EXPECT_EQ(TestWorld::ReadFile(DebugLogPath()), "debug line\r\n");
  mCommon::Dispose();
}
