// The bug report: its body laid out from real registry values, processes and
// files, and the mail delivered to a real SMTP server (aiosmtpd) or handed
// to the shell as a "mailto:" link.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>

#include "Version.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "maintenance/BugReport.h"
#include "tests/maintenance/FakeShell.h"
#include "tests/maintenance/HttpServer.h"
#include "tests/maintenance/SmtpServer.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
namespace fs = std::filesystem;

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

void SetValue(std::uint32_t root, const std::string& key, const std::string& name, const std::string& value) {
  CWinReg reg;
  ASSERT_TRUE(reg.InitForWrite(root, key, true));
  ASSERT_TRUE(reg.SetString(name, value));
}

// A complete installation: every suite file, the shared control, the spool
// document's print command, a running print helper.
std::string CompleteInstallation(const test::TestWorld& w) {
  for (const char* f : {"Pelorin.dll", "PelorinAddin.dll", "QuorIE.dll", "QuorSendTo.dll", "QuorWordAddin.dll",
                        "quorrender", "QuorPrint.exe"}) {
    test::TestWorld::WriteFile(w.ProgramDir() + "/" + f, "x");
  }
  std::string sys = w.Root() + "/system";
  test::TestWorld::WriteFile(sys + "/RICHTX32.OCX", "x");
  SetValue(CWinReg::HKEY_LOCAL_MACHINE, kPelorinKey, "SystemDir", sys);
  SetValue(CWinReg::HKEY_CLASSES_ROOT, ".pnx", "", "Pelorin.Spool");
  SetValue(CWinReg::HKEY_CLASSES_ROOT, "Pelorin.Spool\\shell\\printto\\command", "",
           "\"/opt/pelorin/QuorPlot.exe\" \"%1\" \"%2\"");
  return sys;
}

BugReportProbes FixedProbes(bool mail) {
  BugReportProbes p;
  p.mailClient = [mail] { return mail; };
  p.mailClientVersion = [] { return "SMTP test"; };
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

std::string Base64Decode(const std::string& in) {
  std::string out;
  int val = 0, bits = -8;
  for (char c : in) {
    const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* p = std::strchr(abc, c);
    if (!p || c == 0) continue;
    val = (val << 6) + static_cast<int>(p - abc);
    bits += 6;
    if (bits >= 0) {
      out += static_cast<char>((val >> bits) & 0xFF);
      bits -= 8;
    }
  }
  return out;
}

// The decoded attachment of a delivered message by file name.
std::string Attachment(const std::string& message, const std::string& name) {
  auto at = message.find("filename=\"" + name + "\"");
  if (at == std::string::npos) return "<missing>";
  auto start = message.find("\n\n", at);
  auto end = message.find("--=_Brevant_", start);
  return Base64Decode(message.substr(start + 2, end - start - 2));
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
      "Brevant version: " BREVANT_VERSION_TEXT "\r\n"
      "OS:TestOS 1.2\r\n"
      "Outlook version: Not installed\r\n"
      "MAPI:No\r\n"
      "The creation of 'FaxComEx.FaxServer' was failed. The fax service is not available in this build.\r\n"
      "\r\nErrors log not found."
      "\r\n---------------- config ----------------\r\n"
      "Using = Invalid - 7\r\n"
      "LocalFaxServer = yes\r\n"
      "ForwardEmail = no\r\n"
      "InboxPath = /home/u/Faxes/Inbox\r\n"
      "SentPath = /home/u/Faxes/Sent\r\n"
      "MSSentPath = /var/spool/fax/sent\r\n"
      "MSInboxPath = /var/spool/fax/inbox\r\n"
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
  SetValue(CWinReg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvane\\Pelorin", "Version", "1.0.17");
  c.ProgramType = 1;
  c.FaxDevice = "faxhost";
  c.ForwardEmail = "boss@example.org";
  r = BuildBugReport(FixedProbes(true));
  EXPECT_NE(r.body.find("Brevant version: " BREVANT_VERSION_TEXT "\r\n"), std::string::npos);
  EXPECT_NE(r.body.find("\r\n\r\nProduct version: 1.0.17\r\nBrevant version: "), std::string::npos);
  EXPECT_NE(r.body.find("Outlook version:SMTP test\r\nMAPI:Ok\r\n"), std::string::npos);
  EXPECT_NE(r.body.find("Using = QuorGroup\r\nLocalFaxServer = no\r\nForwardEmail = yes\r\n"), std::string::npos);
  c.ProgramType = 2;
  EXPECT_NE(BuildBugReport(FixedProbes(true)).body.find("Using = EFax\r\n"), std::string::npos);
  c.ProgramType = 0;
  EXPECT_NE(BuildBugReport(FixedProbes(true)).body.find("Using = MSFAX\r\n"), std::string::npos);
  c = ClientConfig{};
}

TEST(BugReport, MissingPiecesEachAddTheirLine) {
  test::TestWorld w;
  Config() = ClientConfig{};
  std::string sys = w.Root() + "/emptysystem";
  fs::create_directories(sys);
  SetValue(CWinReg::HKEY_LOCAL_MACHINE, kPelorinKey, "SystemDir", sys);
  // ".pnx" names a class whose print command is another program's.
  SetValue(CWinReg::HKEY_CLASSES_ROOT, ".pnx", "", "Other.Doc");
  SetValue(CWinReg::HKEY_CLASSES_ROOT, "Other.Doc\\shell\\printto\\command", "", "lp \"%1\"");
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

TEST(BugReport, FaxServiceLinesAndDeviceRecords) {
  test::TestWorld w;
  Config() = ClientConfig{};
  BugReportProbes p = FixedProbes(false);
  p.faxService = [](bool xp, const std::string&) {
    FaxServiceReport f;
    f.created = true;
    f.connected = true;
    f.grantedRights = 0x3f0a;
    if (xp) {
      f.devices.push_back({"Loopback 1", "SpanDSP line", "False", "1", "2", "True", "4930 123", "4930 456"});
    } else {
      f.ports.push_back({"True", "1", "0", "3", "1", "TSID1", "CSID1", "7"});
    }
    return f;
  };
  std::string body = BuildBugReport(p).body;
  EXPECT_NE(body.find("MAPI:No\r\nFaxComEx.FaxServer(local): OK\r\n"
                      "FaxComEx.FaxServer(local): access rights granted to the user = 0x3F0A\r\n"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("---------------- modems ----------------\r\nDeviceName = Loopback 1\r\n"
                      "\tDescription = SpanDSP line\r\n\tPoweredOff = False\r\n\tReceiveMode = 1\r\n"
                      "\tRingsBeforeAnswer = 2\r\n\tSendEnabled = True\r\n\tCSID = 4930 123\r\n"
                      "\tTSID = 4930 456\r\n---------------- printers"),
            std::string::npos)
      << body;

  p.xpCheck = [] { return ""; };
  body = BuildBugReport(p).body;
  EXPECT_NE(body.find("FaxServer.FaxServer(local): OK\r\nError"), std::string::npos) << body;
  EXPECT_EQ(body.find("access rights"), std::string::npos);
  EXPECT_NE(body.find("---------------- modems ----------------\r\n\tCanModify = True\r\n\tSend = 1\r\n"
                      "\tReceive = 0\r\n\tRings = 3\r\n\tPriority = 1\r\n\tTsid = TSID1\r\n\tCsid = CSID1\r\n"
                      "\tDeviceId = 7\r\n---------------- printers"),
            std::string::npos)
      << body;

  p.faxService = [](bool, const std::string&) {
    FaxServiceReport f;
    f.created = true;
    return f;
  };
  EXPECT_NE(BuildBugReport(p).body.find("MAPI:No\r\nThe connection to FaxServer was failed.\r\n"), std::string::npos);
}

TEST(BugReport, TwoRunningCopiesOfTheProgramAreReported) {
  test::TestWorld w;
  NamedProcess a(w, "brevant", 1), b(w, "Brevant.exe", 2);
  std::string body = BuildBugReport(FixedProbes(false)).body;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(body, m, std::regex("Warning: running ([0-9]+) instances of Brevant.exe\r\n"))) << body;
  EXPECT_GE(std::stoi(m[1]), 2);
}

TEST(BugReport, MailedWithTheLogsThroughSmtp) {
  test::TestWorld w;
  Config() = ClientConfig{};
  test::SmtpServer smtp(w.Root() + "/maildir");
  ASSERT_TRUE(smtp.Ready());
  SetValue(CWinReg::HKEY_CURRENT_USER, kPelorinKey, "SmtpServer", smtp.Address());
  test::TestWorld::WriteFile(ErrorLogPath(), "#2026# 91 Object not set frmNew.Form_Load\r\n");
  test::TestWorld::WriteFile(DebugLogPath(), "debug line\r\n");
  test::TestWorld::WriteFile(TraceLogPath(), "trace line\r\n");
  test::TestWorld::WriteFile(w.ProgramDir() + "/FaxGroup.xml", "<Groups/>");

  MakeBugReport();

  auto messages = smtp.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const std::string& m = messages[0];
  EXPECT_NE(m.find("To: support@norvane.com"), std::string::npos);
  EXPECT_NE(m.find("X-RcptTo: support@norvane.com"), std::string::npos);
  EXPECT_NE(m.find("Subject: Pelorin Bug Report"), std::string::npos);
  EXPECT_NE(m.find("-- Please type bug description above this line. Thank you --"), std::string::npos);
  EXPECT_NE(m.find("Outlook version:SMTP " + smtp.Address()), std::string::npos);
  EXPECT_NE(m.find("MAPI:Ok"), std::string::npos);
  // The error log went as an attachment, not into the body.
  EXPECT_EQ(m.find("Object not set frmNew"), std::string::npos);
  // Records the report's own probes wrote (keys not present) may follow.
  EXPECT_EQ(Attachment(m, "Errors.log").rfind("#2026# 91 Object not set frmNew.Form_Load\r\n", 0), 0u);
  EXPECT_EQ(Attachment(m, "Debug.log"), "debug line\r\n");
  std::string traceName = fs::path(TraceLogPath()).filename();
  EXPECT_EQ(Attachment(m, traceName).rfind("trace line\r\n", 0), 0u);
  // The logs were consumed; other files stay.
  for (const auto& e : fs::directory_iterator(w.ProgramDir())) {
    EXPECT_NE(e.path().extension(), ".log") << e.path();
  }
  EXPECT_TRUE(fs::exists(w.ProgramDir() + "/FaxGroup.xml"));
}

TEST(BugReport, WithoutMailServerTheShellGetsAMailtoLink) {
  test::TestWorld w;
  Config() = ClientConfig{};
  test::FakeShell shell(w);
  SetValue(CWinReg::HKEY_CURRENT_USER, kPelorinKey, "SmtpServer", "127.0.0.1:" + std::to_string(test::FreePort()));
  test::TestWorld::WriteFile(ErrorLogPath(), "#2026# 53 File not found sendNow\r\n");
  test::TestWorld::WriteFile(DebugLogPath(), "debug line\r\n");

  MakeBugReport();

  std::string link = shell.Opened();
  ASSERT_EQ(link.rfind("mailto:support@norvane.com?subject=Pelorin Bug Report&body=\r\n\r\n\r\n-- Please", 0), 0u)
      << link;
  EXPECT_EQ(link.back(), ';');
  EXPECT_NE(link.find("Outlook version: Not installed\r\nMAPI:No\r\n"), std::string::npos);
  EXPECT_NE(link.find("#2026# 53 File not found sendNow\r\n"), std::string::npos);
  // The error log is consumed, the other logs stay.
  EXPECT_FALSE(fs::exists(ErrorLogPath()));
  EXPECT_EQ(test::TestWorld::ReadFile(DebugLogPath()), "debug line\r\n");
}

TEST(BugReport, AServerThatNeverGreetsCountsAsNoMailClient) {
  test::TestWorld w;
  Config() = ClientConfig{};
  test::FakeShell shell(w);
  test::HttpServer::Reply silent;
  silent.stall = true;  // takes the connection, never greets
  test::HttpServer server(silent);
  SetValue(CWinReg::HKEY_CURRENT_USER, kPelorinKey, "SmtpServer", server.Site().substr(7));
  test::TestWorld::WriteFile(DebugLogPath(), "debug line\r\n");

  auto t0 = std::chrono::steady_clock::now();
  MakeBugReport();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(12));
  // A server that does not greet counts as no mail client: the user gets
  // the report through the mail program, and the other logs stay.
  std::string link = shell.Opened();
  EXPECT_EQ(link.rfind("mailto:support@norvane.com?subject=Pelorin Bug Report&body=", 0), 0u);
  EXPECT_NE(link.find("MAPI:No\r\n"), std::string::npos);
  EXPECT_EQ(test::TestWorld::ReadFile(DebugLogPath()), "debug line\r\n");
}

TEST(BugReport, PrintersAreTheSpoolersQueues) {
  test::TestWorld w;
  // What the spooler's own tools list, one queue name per line.
  FILE* p = ::popen("lpstat -e 2>/dev/null | sort", "r");
  ASSERT_NE(p, nullptr);
  std::vector<std::string> expected;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (!s.empty()) expected.push_back(s);
  }
  ::pclose(p);
  if (expected.empty()) GTEST_SKIP() << "no CUPS queue on this machine";

  auto printers = DefaultBugReportProbes().printers();
  std::vector<std::string> names;
  for (const auto& r : printers) names.push_back(r.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, expected);
  for (const auto& r : printers) {
    std::string cmd = "lpoptions -p '" + r.name + "' 2>/dev/null";
    FILE* o = ::popen(cmd.c_str(), "r");
    std::string options;
    while (o && std::fgets(line, sizeof line, o)) options += line;
    if (o) ::pclose(o);
    // lpoptions quotes a value only when it holds blanks.
    bool listed = options.find("printer-make-and-model='" + r.driver + "'") != std::string::npos ||
                  options.find("printer-make-and-model=" + r.driver + " ") != std::string::npos ||
                  options.find("printer-make-and-model=" + r.driver + "\n") != std::string::npos;
    EXPECT_TRUE(listed) << r.driver << "\n" << options;
    EXPECT_FALSE(r.printProcessor.empty());
    EXPECT_FALSE(r.datatype.empty());
  }
}
