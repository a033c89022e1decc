// A HylaFAX server as Brevant's fax service: Brevant's commands run against
// a real hfaxd and faxq on one modem of the emulated line; our Class 1 driver
// is the far station. One server, with the suite's users, serves the suite.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardItemModel>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "common/CWinReg.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/FaxServerConfig.h"
#include "delivery/Delivery.h"
#include "delivery/FaxTransport.h"
#include "faxservice/client/FaxService.h"
#include "faxservice/client/HylaFax.h"
#include "faxservice/daemon/lines/class1/ModemLine.h"
#include "tests/mail/FaxWorld.h"
#include "tests/modem/ModemTestSupport.h"
#include "tests/support/QtApp.h"
#include "tests/support/UiRecorder.h"
#include "tools/brevant-faxmon/FaxMonitor.h"
#include "tools/brevant-printagent/FaxNotices.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;
using faxsvc::Message;
using test::TestWorld;

constexpr const char* kAccessList = "/var/spool/hylafax/etc/hosts.hfaxd";
constexpr const char* kFarEnd = "5550100";
constexpr const char* kFarId = "+1 555 0100";

// The suite's line and server, and the access list the server had before.
std::string g_dir, g_accessBefore;
std::unique_ptr<test::ModemPair> g_pair;
std::unique_ptr<test::HylaFax> g_hylafax;

// The rows of a Fax Monitor list whose column holds text.
int Rows(QStandardItemModel* model, int column, const std::string& text) {
  return static_cast<int>(model->findItems(QString::fromStdString(text), Qt::MatchExactly, column).size());
}

std::string Crypt(const std::string& password) {
  return crypt(password.c_str(), "$6$brevanttest$");
}

class HylaFaxService : public test::FaxWorld {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/brevant-hfx-XXXXXX";
    g_dir = ::mkdtemp(tmpl);
    g_pair = std::make_unique<test::ModemPair>(g_dir);
    if (!g_pair->Started()) return;
    g_hylafax = std::make_unique<test::HylaFax>(g_pair->A());
    // Two users and an administrator (ADMIN with the same password), written
    // once the server runs (its start copies the list anew).
    g_accessBefore = TestWorld::ReadFile(kAccessList);
    std::ofstream(kAccessList, std::ios::trunc)
        << "^bvalice@localhost$:60201:" << Crypt("alice-pw") << "\n"
        << "^bvbob@localhost$:60202:" << Crypt("bob-pw") << "\n"
        << "^bvadmin@localhost$:60203:" << Crypt("admin-pw") << ":" << Crypt("admin-pw") << "\n"
        << g_accessBefore;
  }
  static void TearDownTestSuite() {
    if (!g_accessBefore.empty()) std::ofstream(kAccessList, std::ios::trunc) << g_accessBefore;
    g_hylafax.reset();
    g_pair.reset();
    if (!g_dir.empty()) fs::remove_all(g_dir);
  }
  void SetUp() override {
    ASSERT_TRUE(g_pair && g_pair->Started()) << "modem-pair did not start";
    ASSERT_TRUE(g_hylafax->Running()) << g_hylafax->Why();
    FaxWorld::SetUp();
    test::SetWindowsVersion("5.1");
  }

  // This world's Brevant uses the server as `user`.
  void UseServer(const std::string& user, const std::string& password, int port = 4559) {
    CWinReg reg;
    ASSERT_TRUE(reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, faxsvc::kFaxServerKey, true));
    reg.SetString("Service", "HylaFAX");
    reg.SetString("Server", "localhost");
    reg.SetDword("Port", port);
    reg.SetString("User", user);
    reg.SetDword("Timeout", 20);
    std::string why;
    ASSERT_TRUE(faxsvc::StoreFaxServerPassword(password, &why)) << why;
    ResetFaxServerForTests();
  }
  std::shared_ptr<faxsvc::FaxServer> Connect() {
    auto s = std::make_shared<faxsvc::FaxServer>(faxsvc::ProgramFaxClient());
    s->Connect("");
    return s;
  }
  // The state letter faxstat shows for a job ("id priority state ..."), ""
  // when the job is not in that queue.
  static std::string ServerState(const std::string& id, bool done = false) {
    std::string out;
    test::Run({"faxstat", "-h", "localhost", done ? "-d" : "-s"}, 20, &out);
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string jid, pri, state;
      if (fields >> jid >> pri >> state && jid == id) return state;
    }
    return "";
  }
  TestWorld::Result Brevant(const std::string& args) { return world.RunArgs("brevant", {args}); }
  void TearDown() override {
    // Unfinished jobs of the suite's users would go to the next test's far end.
    if (g_hylafax && g_hylafax->Running()) {
      UseServer("bvadmin", "admin-pw");
      try {
        auto jobs = Connect()->Folders().OutgoingQueue.GetJobs();
        for (auto& job : jobs.Items())
          if (job.Fields().Get("owner_name").rfind("bv", 0) == 0) job.Cancel();
      } catch (const faxsvc::FaxError& e) {
        ADD_FAILURE() << "jobs left on the server: " << e.what();
      }
    }
    ResetFaxServerForTests();
    FaxWorld::TearDown();
  }

  // The fax job as the wizard and "sendnow" leave it for the delivery.
  void QueueFax(const std::string& fax) {
    ClearFaxJob();
    FaxJob().g_arrFiles.Append(fax);
    FaxJob().g_arrFaxName.Append("Far End");
    FaxJob().g_arrFaxNumber.Append(kFarEnd);
  }
};

// A shell block of the user guide's server set-up, marked there as checked
// by this suite under `name`; the office's names and addresses become this
// machine's.
std::string GuideBlock(const std::string& name) {
  const std::string guide = TestWorld::ReadFile(test::SourceDir() + "/docs/user-guide.md");
  const std::string marker = "<!-- checked by tests/modem/HylaFaxServiceTest.cpp: " + name + " -->\n```\n";
  const auto at = guide.find(marker);
  if (at == std::string::npos) return "";
  const auto from = at + marker.size();
  std::string block = guide.substr(from, guide.find("```", from) - from);
  for (auto [office, here] : {std::pair<std::string, std::string>{"/etc/hylafax/hosts.hfaxd", kAccessList},
                              {"desktop1\\.office\\.lan|192\\.168\\.1\\.23", "localhost|127\\.0\\.0\\.1"},
                              {"192\\.168\\.1\\.24", "localhost"},
                              {"faxserver.office.lan", "localhost"}})
    for (std::size_t p; (p = block.find(office)) != std::string::npos;) block.replace(p, office.size(), here);
  return block;
}

// The port a PASV of a logged-in user is answered with; 0 when none.
int PassivePort(const std::string& user, const std::string& password) {
  std::string out;
  test::Run({"bash", "-c",
             "exec 3<>/dev/tcp/127.0.0.1/4559; printf 'USER " + user + "\\r\\nPASS " + password +
                 "\\r\\nPASV\\r\\nQUIT\\r\\n' >&3; timeout 10 cat <&3"},
            15, &out);
  std::smatch m;
  if (!std::regex_search(out, m, std::regex("227 .*\\(\\d+,\\d+,\\d+,\\d+,(\\d+),(\\d+)\\)"))) return 0;
  return std::stoi(m[1]) * 256 + std::stoi(m[2]);
}

// The guide's server set-up, as far as a machine without a real modem and
// without systemd can follow it: the logins it writes let a desktop in
// (Brevant with the guide's desktop settings, and the guide's faxstat
// check), the administrator it makes is one, and the data ports are in
// the range it tells the firewall to open.
TEST_F(HylaFaxService, TheGuidesLoginsLetADesktopInOnThePortsItNames) {
  const std::string logins = GuideBlock("logins"), desktop = GuideBlock("desktop"),
                    check = GuideBlock("login test");
  ASSERT_NE(logins.find("openssl passwd"), std::string::npos) << logins;
  ASSERT_NE(desktop.find("brevant-reg add"), std::string::npos) << desktop;
  ASSERT_NE(check.find("faxstat"), std::string::npos) << check;
  // Debian's list lets anyone on the server itself in ("localhost"): here
  // the desktops are on the server, so that line goes for this test.
  const std::string before = TestWorld::ReadFile(kAccessList);
  std::ofstream(kAccessList, std::ios::trunc)
      << std::regex_replace(before, std::regex("(^|\n)(localhost[:\n])"), "$1#$2");
  std::string out;
  ASSERT_EQ(test::Run({"bash", "-ec", logins}, 20, &out), 0) << out;
  struct stat st {};
  ASSERT_EQ(::stat(kAccessList, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Anna's desktop, set up as the guide says.
  ASSERT_EQ(test::Run({"bash", "-ec", "PATH=" + test::BinDir() + ":$PATH\n" + desktop}, 20, &out), 0) << out;
  ResetFaxServerForTests();
  auto anna = Connect();
  auto devices = anna->GetDevices();
  ASSERT_GE(devices.Count(), 1) << world.Errors();
  EXPECT_EQ(devices.Item(1).DeviceName(), "ttyFAX0");
  EXPECT_EQ(anna->GrantedRights(), faxsvc::kUserRights);
  UseServer("ben", "Ben-pass-2");
  EXPECT_EQ(Connect()->GrantedRights(), faxsvc::kAdministratorRights);
  UseServer("anna", "Ben-pass-2");
  EXPECT_THROW(Connect(), faxsvc::FaxError) << "a wrong password is refused";

  // The guide's login test from the desktop: faxstat asks for the password
  // on its terminal, which drops what was typed before it asked, so the
  // password comes once a second until faxstat has ended.
  const std::string typing = "for i in $(seq 20); do sleep 1; echo Anna-pass-1 || exit 0; done";
  ASSERT_EQ(
      test::Run({"bash", "-c", "{ " + typing + "; } | script -qec '" + check + "' /dev/null"}, 30, &out), 0)
      << out;
  EXPECT_NE(out.find("Modem ttyFAX0 (5550200): "), std::string::npos) << out;

  // Passive data connections come to a port of the range the guide opens.
  int lo = 0, hi = 0;
  std::istringstream(TestWorld::ReadFile("/proc/sys/net/ipv4/ip_local_port_range")) >> lo >> hi;
  EXPECT_EQ(std::to_string(lo) + "-" + std::to_string(hi), "32768-60999") << "the range the guide names";
  const int port = PassivePort("anna", "Anna-pass-1");
  EXPECT_GE(port, lo);
  EXPECT_LE(port, hi);
  std::ofstream(kAccessList, std::ios::trunc) << before;
}

TEST_F(HylaFaxService, SendNowGoesThroughTheServerAndTheFarEndGetsThePagesInOrder) {
  UseServer("bvalice", "alice-pw");
  std::string fax = world.TempDir() + "/Fax.tif";
  const auto pages = test::TestPages(2, true);
  ASSERT_TRUE(test::WriteG3Tiff(fax, pages));
  QueueFax(fax);
  // Earlier runs' faxes stay in the server's done queue: this one's subject is its own.
  const std::string subject =
      "Two pages " + std::to_string(::getpid()) + "." + std::to_string(std::time(nullptr));
  FaxJob().FaxSubject = subject;
  // The far station answers the call.
  faxd::ModemSettings far;
  far.device = g_pair->B();
  far.stationId = kFarId;
  const std::string got = world.TempDir() + "/far.tif";
  faxd::ModemCallResult r;
  std::thread rx([&] { r = faxd::ReceiveFax(far, got, 120); });
  SendFaxMSFax();
  rx.join();
  ASSERT_TRUE(r.ok) << r.result << "\n" << world.Errors();
  EXPECT_EQ(r.callerIdent, "+1 555 0200");  // the server's station id (scripts/setup-hylafax)
  EXPECT_EQ(r.bitRate, 14400);
  EXPECT_TRUE(test::SamePages(pages, test::ReadPages(got)));
  EXPECT_NE(g_pair->Trace().find("A -> <FF><13><BF>"), std::string::npos);  // error correction

  // The user's newest job is done; the monitor's lists show it.
  auto s = Connect();
  Message job;
  ASSERT_TRUE(test::WaitFor(
      [&] {
        Message jobs = s->CallList(Message("jobs").Set("queue", "out").Set("all", "1"));
        if (jobs.GetInt("count") == 0) return false;
        job = jobs.Item(static_cast<int>(jobs.GetInt("count")));
        return job.GetInt("status") == faxsvc::kJobCompleted;
      },
      60));
  EXPECT_EQ(job.Get("owner_name"), "bvalice");
  EXPECT_EQ(job.Get("number"), kFarEnd);
  EXPECT_EQ(job.GetInt("pages"), 2);
  EXPECT_EQ(ServerState(job.Get("id"), true), "D");
  test::EnsureWidgetApplication();
  faxmon::FaxMonitor monitor;
  ASSERT_TRUE(monitor.Refresh());
  EXPECT_EQ(Rows(monitor.Sent(), 3, subject), 1);
  EXPECT_EQ(Rows(monitor.Queue(), 0, job.Get("id")), 0);
}

TEST_F(HylaFaxService, PauseAndStopActOnTheUsersJobOnTheServerAndOtherUsersSeeNone) {
  // A fax for the cheap hours, which begin in three hours: it waits on the server.
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  {
    CWinReg reg;
    ASSERT_TRUE(reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, faxsvc::kFaxServerKey, true));
    reg.SetDword("DiscountStart", (tm.tm_hour + 3) % 24);
    reg.SetDword("DiscountEnd", (tm.tm_hour + 4) % 24);
  }
  UseServer("bvalice", "alice-pw");
  std::string fax = test::MakeFaxTiff(world.TempDir() + "/Fax.tif", 1);
  std::string id;
  {
    auto s = Connect();
    auto doc = s->CreateDocument(fax);
    doc->FaxNumber = "5550199";
    doc->RecipientName = "Later";
    doc->DiscountSend = 1;
    id = std::to_string(doc->Send());
  }
  EXPECT_EQ(ServerState(id), "P");

  // Another user neither sees nor touches it; the administrator sees it.
  // Bob gives his password with brevant-reg: it goes to his secret store,
  // never into the registry.
  UseServer("bvbob", "");
  auto reg =
      world.RunTool("brevant-reg", "add 'HKCU\\Software\\Norvane\\Pelorin\\FaxServer' /v Password /d bob-pw");
  ASSERT_EQ(reg.exitCode, 0) << reg.err;
  {
    auto s = Connect();
    CWinReg key;
    ASSERT_TRUE(key.InitForRead(CWinReg::HKEY_CURRENT_USER, faxsvc::kFaxServerKey));
    EXPECT_EQ(key.ValueType("Password"), 0u);
    EXPECT_EQ(world.RunTool("brevant-reg", "query 'HKCU\\Software\\Norvane\\Pelorin\\FaxServer'")
                  .out.find("bob-pw"),
              std::string::npos);
    EXPECT_FALSE(s->Administrator());
    EXPECT_EQ(s->Folders().OutgoingQueue.GetJobs().Count(), 0);
    EXPECT_THROW(s->Call(Message("job_op").Set("id", id).Set("action", "cancel")), faxsvc::FaxError);
  }
  EXPECT_EQ(Brevant("stop").exitCode, 0);
  EXPECT_EQ(ServerState(id), "P");
  UseServer("bvadmin", "admin-pw");
  {
    auto s = Connect();
    EXPECT_TRUE(s->Administrator());
    auto jobs = s->Folders().OutgoingQueue.GetJobs();
    auto it = std::find_if(jobs.Items().begin(), jobs.Items().end(),
                           [&](const faxsvc::FaxJob& j) { return j.Id() == id; });
    ASSERT_NE(it, jobs.Items().end());
    EXPECT_EQ(it->Fields().Get("owner_name"), "bvalice");
  }
  // The older edition's pause holds the user's own jobs only, even the
  // administrator's.
  test::SetWindowsVersion("5.0");
  EXPECT_EQ(Brevant("pause").exitCode, 0);
  EXPECT_EQ(ServerState(id), "P");
  test::SetWindowsVersion("5.1");
  // Only the administrator changes how the server's modem answers:
  // "autorecv" there and back leaves it answering after one ring.
  auto on = Brevant("autorecv"), off = Brevant("autorecv");
  EXPECT_NE(on.err.find("Auto Receive ON"), std::string::npos) << on.err;
  EXPECT_NE(off.err.find("Auto Receive OFF"), std::string::npos) << off.err;
  EXPECT_EQ(world.Errors().find("Init.AutoRecv"), std::string::npos) << world.Errors();
  UseServer("bvbob", "bob-pw");
  Brevant("autorecv");
  EXPECT_NE(world.Errors().find("the fax server did not change ttyFAX0"), std::string::npos)
      << world.Errors();

  // The older edition's pause stops and restarts the user's queue on the
  // server; on XP, stop cancels the job that is not merely waiting.
  UseServer("bvalice", "alice-pw");
  test::SetWindowsVersion("5.0");
  EXPECT_EQ(Brevant("pause").exitCode, 0);
  EXPECT_EQ(ServerState(id), "T");
  EXPECT_EQ(Brevant("pause").exitCode, 0);
  EXPECT_EQ(ServerState(id), "P");
  EXPECT_EQ(Brevant("pause").exitCode, 0);
  EXPECT_EQ(ServerState(id), "T");
  test::EnsureWidgetApplication();
  {
    faxmon::FaxMonitor monitor;
    ASSERT_TRUE(monitor.Refresh());
    EXPECT_EQ(Rows(monitor.Queue(), 0, id), 1);
    EXPECT_EQ(Rows(monitor.Queue(), 3, "Paused"), 1);
  }
  test::SetWindowsVersion("5.1");
  EXPECT_EQ(Brevant("stop").exitCode, 0);
  EXPECT_TRUE(test::WaitFor([&] { return ServerState(id).empty(); }, 20));
  EXPECT_EQ(ServerState(id, true), "F");
  auto s = Connect();
  EXPECT_EQ(s->Call(Message("job").Set("id", id)).Item(1).GetInt("status"), faxsvc::kJobCanceled);
  {
    faxmon::FaxMonitor monitor;
    ASSERT_TRUE(monitor.Refresh());
    EXPECT_EQ(Rows(monitor.Queue(), 0, id), 0);
    EXPECT_EQ(Rows(monitor.Failures(), 0, id), 1);
  }
  // A cancelled fax is no failure the desktop is told of.
  Message events = s->Call(Message("events").Set("since", 0));
  for (int i = 1; i <= events.GetInt("count"); ++i) EXPECT_NE(events.Item(i).Get("job_id"), id);
}

TEST_F(HylaFaxService, AFaxTheServerReceivesIsImportedOnce) {
  std::string doc = world.TempDir() + "/in.tif";
  auto pages = test::TestPages(1, true);
  ASSERT_TRUE(test::WriteG3Tiff(doc, pages));
  // After a call of its own the server's modem resets for a while.
  ASSERT_TRUE(test::HylaFax::WaitIdle(60)) << test::HylaFax::ModemState();
  faxd::ModemSettings caller;
  caller.device = g_pair->B();
  caller.stationId = kFarId;
  faxd::ModemCallResult r = faxd::SendFax(caller, "5550200", doc);
  ASSERT_TRUE(r.ok) << r.result;
  std::string file = g_hylafax->WaitReceived(1, 60);
  ASSERT_FALSE(file.empty());
  EXPECT_TRUE(test::SamePages(pages, test::ReadPages(file)));  // with error correction over V.17
  EXPECT_NE(g_pair->Trace().find("B -> <FF><13><BF>"), std::string::npos);
  const std::string name = fs::path(file).filename().string();

  // The administrator reads the server's received faxes.
  UseServer("bvadmin", "admin-pw");
  auto s = Connect();
  auto in = s->Folders().IncomingArchive.GetMessages();
  auto m = std::find_if(in.Items().begin(), in.Items().end(), [&](auto& m) { return m.Id() == name; });
  ASSERT_NE(m, in.Items().end());
  EXPECT_EQ(m->TSID(), kFarId);
  EXPECT_EQ(m->Pages(), 1);
  test::EnsureWidgetApplication();
  faxmon::FaxMonitor monitor;
  ASSERT_TRUE(monitor.Refresh());
  EXPECT_GE(Rows(monitor.Received(), 1, kFarId), 1);

  ASSERT_EQ(Brevant("import").exitCode, 0);
  ASSERT_EQ(Brevant("import").exitCode, 0);
  std::map<std::string, int> ids;
  for (const auto& it : Items(mail::olFolderInbox))
    if (const auto* p = it.FindUserProperty("FaxID")) ++ids[p->value];
  EXPECT_EQ(ids[name], 1);
}

TEST_F(HylaFaxService, RefusedLoginsAndAStoppedServerSaySoAndAFailedFaxIsNews) {
  std::string fax = test::MakeFaxTiff(world.TempDir() + "/Fax.tif", 1);
  // A wrong password, and no server on the port: connecting says why, and
  // sending tells the user it cannot reach the fax service.
  struct Refusal {
    const char* password;
    int port;
    std::string error, logged;
  } refusals[] = {
      {"not-the-password", 4559, std::to_string(kErrPermission) + " ", "refused the login of bvalice"},
      {"alice-pw", 4558, "462 ", "localhost:4558 cannot be reached"}};
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.logged);
    UseServer("bvalice", r.password, r.port);
    try {
      Connect();
      ADD_FAILURE() << "connected";
    } catch (const faxsvc::FaxError& e) {
      const std::string told = std::to_string(e.Code()) + " " + e.what();
      EXPECT_EQ(told.rfind(r.error, 0), 0u) << told;
      EXPECT_NE(told.find(r.logged), std::string::npos) << told;
    }
    ResetFaxServerForTests();
    QueueFax(fax);
    test::UiRecorder shown;
    SendFaxMSFax();
    ASSERT_EQ(shown.messages.size(), 1u);
    EXPECT_EQ(shown.messages[0].rfind("Pelorin: Error connect to fax. Please reinstall fax server.\n", 0),
              0u);
    EXPECT_NE(shown.messages[0].find(r.logged), std::string::npos) << "why, on the message's second line";
    EXPECT_NE(world.Errors().find(r.logged), std::string::npos) << world.Errors();
  }

  // A fax that fails on the server (no answer, no retry) is news for the
  // sender's desktop, seen through data connections the server opens.
  UseServer("bvalice", "alice-pw");
  {
    CWinReg reg;
    ASSERT_TRUE(reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, faxsvc::kFaxServerKey, true));
    reg.SetDword("Retries", 0);
    reg.SetDword("PassiveMode", 0);
  }
  std::vector<printagent::Notice> told;
  printagent::FaxNotices notices(world.Root() + "/notices-seen",
                                 [&](const printagent::Notice& n, std::string*) {
                                   told.push_back(n);
                                   return true;
                                 });
  ASSERT_TRUE(notices.Poll());  // the first look: what failed before is no news
  ASSERT_TRUE(test::HylaFax::WaitIdle(60));
  auto s = Connect();
  auto doc = s->CreateDocument(fax);
  doc->FaxNumber = "5550111";
  const long long id = doc->Send();
  EXPECT_TRUE(test::WaitFor(
      [&] {
        notices.Poll();
        return !told.empty();
      },
      90));
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].summary, "Fax failed");
  EXPECT_EQ(told[0].body.rfind("Fax to 5550111 failed: ", 0), 0u) << told[0].body;
  EXPECT_GT(told[0].body.size(), std::string("Fax to 5550111 failed: ").size());
  notices.Poll();
  EXPECT_EQ(told.size(), 1u);  // told once
  EXPECT_EQ(ServerState(std::to_string(id), true), "F");
}

}  // namespace
}  // namespace brevant
