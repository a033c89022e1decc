// brevant-faxd's modem lines on the emulated telephone line: managed, sending
// to efax and receiving from it, a modem unplugged or a service killed in a
// call, two lines at once; the far end's pages compared pixel for pixel.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardItemModel>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "faxservice/client/FaxService.h"
#include "faxservice/daemon/lines/class1/ModemLine.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/modem/ModemTestSupport.h"
#include "tests/support/QtApp.h"
#include "tools/brevant-faxmon/FaxMonitor.h"

namespace fs = std::filesystem;
using brevant::faxsvc::Message;
using namespace brevant;
using namespace brevant::faxd;
using namespace brevant::test;

namespace {

constexpr const char* kEfaxId = "+1 555 0300";
constexpr const char* kOurId = "+49 30 1234";

// A pseudo-terminal nobody answers on: a serial port with no modem behind
// it, a modem device of root and the dialout group as the system makes one,
// or with `owner` a terminal of that user. What is written to it stays to
// be read from `master` (Heard).
struct SilentPort {
  explicit SilentPort(uid_t owner = 0) : master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    ::grantpt(master);
    ::unlockpt(master);
    path = ::ptsname(master);
    slave = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    const group* g = ::getgrnam(owner == 0 ? "dialout" : "tty");
    EXPECT_EQ(::chown(path.c_str(), owner, g ? g->gr_gid : 0), 0);
    EXPECT_EQ(::chmod(path.c_str(), owner == 0 ? 0660 : 0620), 0);
  }
  ~SilentPort() {
    ::close(slave);
    ::close(master);
  }
  std::string Heard() const {
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    return got;
  }
  int master, slave;
  std::string path;
};

// A Class 1 fax modem as far as the fax service's probe goes, which on
// request sends without end and never ends a line.
class FakeModem {
 public:
  FakeModem() : thread_([this] { Run(); }) {}
  ~FakeModem() {
    stop_ = true;
    thread_.join();
  }
  const std::string& Path() const { return port_.path; }
  std::atomic<bool> flood{false};

 private:
  void Run() {
    std::string command;
    const std::string junk(1 << 16, 'A');
    while (!stop_) {
      pollfd p{port_.master, POLLIN, 0};
      ::poll(&p, 1, 10);
      char buf[512];
      for (ssize_t n; (n = ::read(port_.master, buf, sizeof buf)) > 0;)
        for (ssize_t i = 0; i < n; ++i) {
          if (buf[i] == '\r')
            Answer(std::exchange(command, ""));
          else if (buf[i] >= ' ')
            command += buf[i];
        }
      if (flood) {
        [[maybe_unused]] ssize_t w = ::write(port_.master, junk.data(), junk.size());
      }
    }
  }
  void Answer(const std::string& command) {
    std::string reply = command == "AT+FCLASS=?"                         ? "0,1\r\nOK"
                        : command == "AT+FTM=?" || command == "AT+FRM=?" ? "24,48,72,96\r\nOK"
                                                                         : "OK";
    reply = "\r\n" + reply + "\r\n";
    [[maybe_unused]] ssize_t w = ::write(port_.master, reply.data(), reply.size());
  }
  SilentPort port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The fax service with modem lines; the loopback line goes, so that every
// fax travels over a modem.
class ServiceLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists("/usr/bin/efax")) << "efax is not installed";
    ASSERT_TRUE(daemon_.Start());
    ASSERT_EQ(daemon_.Call(Message("line_remove").Set("id", 1)).Get("ok"), "1");
    daemon_.Call(Message("line_set").Set("retry_interval", "0").Set("retries", "1"));
  }
  // The two modems of a line, by links that outlive the modem-pair process.
  std::unique_ptr<ModemPair> Pair(const std::string& name, std::vector<std::string> options = {}) {
    options.insert(options.end(), {"--link-a", Link(name, 'A'), "--link-b", Link(name, 'B')});
    auto pair = std::make_unique<ModemPair>(world_.Root(), options);
    EXPECT_TRUE(pair->Started());
    return pair;
  }
  std::string Link(const std::string& name, char side) { return world_.Root() + "/" + name + side; }
  // A modem line on `device`, ready to take faxes; its id.
  std::string AddLine(const std::string& device, Message settings = Message("line_add")) {
    // The AT traffic of the line's calls goes to STATE/modem-ID.log.
    settings.Set("device", device).Set("station_id", kOurId).Set("trace", "on");
    Message r = daemon_.Call(settings);
    EXPECT_EQ(r.Get("ok"), "1") << r.Get("error");
    std::string id = r.Get("id");
    EXPECT_TRUE(WaitFor([&] { return LineStatus(id).rfind("ready: ", 0) == 0; }, 20)) << LineStatus(id);
    return id;
  }
  Message LineOf(const std::string& id) {
    for (const Message& line : daemon_.Call(Message("lines")).Items())
      if (line.Get("id") == id) return line;
    return Message();
  }
  std::string LineStatus(const std::string& id) { return LineOf(id).Get("status"); }
  std::string ModemLog(const std::string& id) {
    return TestWorld::ReadFile(daemon_.StateDir() + "/modem-" + id + ".log");
  }
  std::string Submit(const std::string& doc, const std::string& number) {
    Message r = daemon_.Call(Message("submit").Set("file", doc).Set("number", number).Set("name", "Eve Fax"));
    EXPECT_EQ(r.Get("ok"), "1") << r.Get("error");
    return r.Get("id");
  }
  Message Job(const std::string& id) { return daemon_.Call(Message("job").Set("id", id)).Item(1); }
  // The job once it is done, failed for good or cancelled.
  Message Settled(const std::string& id, double seconds = 120) {
    WaitFor(
        [&] {
          long long s = Job(id).GetInt("status");
          return s == faxsvc::kJobCompleted || s == faxsvc::kJobFailed || s == faxsvc::kJobRetriesExceeded ||
                 s == faxsvc::kJobCanceled;
        },
        seconds);
    return Job(id);
  }
  std::vector<Message> Archive(const char* folder) {
    return daemon_.Call(Message("archive").Set("folder", folder)).Items();
  }
  // A document in the fax service's own form, as the fax printer hands it
  // over (Group 4), or with `g3` as efax sends it.
  std::string Doc(const std::string& name, const std::vector<faxsvc::FaxPage>& pages, bool g3 = false) {
    std::string path = world_.Root() + "/" + name, why;
    EXPECT_TRUE(g3 ? WriteG3Tiff(path, pages) : faxsvc::WriteFaxTiff(path, pages, "", &why)) << why;
    return path;
  }
  std::string Dir(const std::string& name) {
    std::string dir = world_.Root() + "/" + name;
    fs::create_directories(dir);
    return dir;
  }
  TestWorld::Result Faxd(const std::vector<std::string>& args) {
    return world_.RunArgs("brevant-faxd", args);
  }

  TestWorld world_;
  FaxDaemon daemon_{world_};
};

}  // namespace

TEST_F(ServiceLine, LinesAreProbedAddedChangedAndRemovedFromTheCommandLineAndTheMonitor) {
  auto pair = Pair("m");
  auto probe = Faxd({"modem", "probe", Link("m", 'A')});
  EXPECT_EQ(probe.exitCode, 0) << probe.err;
  EXPECT_NE(probe.out.find("modem=spandsp\n"), std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("max_rate=14400\n"), std::string::npos) << probe.out;

  // Devices that are no fax modem, or another program's, each refused with its reason.
  SilentPort silent, session;
  pid_t leader = ::fork();
  if (leader == 0) {  // a login on the terminal: its controlling terminal
    ::setsid();
    int fd = ::open(session.path.c_str(), O_RDWR);
    ::pause();
    ::_exit(fd < 0);
  }
  ASSERT_TRUE(WaitFor(
      [&] {
        return Faxd({"modem", "probe", session.path}).err.find("terminal of process") != std::string::npos;
      },
      5));
  std::vector<std::pair<std::string, std::string>> refused = {
      {"/dev/null", "brevant-faxd: /dev/null is not a serial port\n"},
      {"/dev/tty", "brevant-faxd: /dev/tty is not a serial port\n"},
      {"ttyS0",
       "brevant-faxd: the modem's device must be given as a full path (/dev/ttyUSB0), not \"ttyS0\"\n"},
      {world_.Root() + "/none",
       "brevant-faxd: cannot open " + world_.Root() + "/none: No such file or directory\n"},
      {silent.path, "brevant-faxd: modem stopped answering on " + silent.path + "\n"},
      {session.path, "brevant-faxd: " + session.path + " is the terminal of process " +
                         std::to_string(leader) + ", not a modem\n"},
  };
  for (const auto& [device, message] : refused) {
    auto r = Faxd({"lines", "add", device});
    EXPECT_EQ(r.exitCode, 1) << device;
    EXPECT_EQ(r.err, message);
  }
  ::kill(leader, SIGKILL);
  ::waitpid(leader, nullptr, 0);
  EXPECT_EQ(daemon_.Call(Message("devices")).GetInt("count"), 0);

  auto add = Faxd({"lines", "add", Link("m", 'A'), "station_id=+49 30 1234", "rings=3", "receive=manual",
                   "dial_prefix=0,", "max_rate=9600", "ecm=off"});
  ASSERT_EQ(add.exitCode, 0) << add.err;
  EXPECT_NE(add.out.find("line 2 added\nmodem=spandsp\n"), std::string::npos) << add.out;
  EXPECT_EQ(Faxd({"lines", "add", Link("m", 'A')}).err,
            "brevant-faxd: " + Link("m", 'A') + " is the device of line 2 already\n");
  ASSERT_TRUE(WaitFor([&] { return LineStatus("2") == "ready: spandsp, up to 9600 bit/s"; }, 20))
      << LineStatus("2");
  auto list = Faxd({"lines"}).out;
  for (const char* field : {"dial_prefix=0,\n", "max_rate=9600\n", "ecm=0\n", "rings=3\n", "receive_mode=2\n",
                            "tsid=+49 30 1234\n"})
    EXPECT_NE(list.find(field), std::string::npos) << field << " in\n" << list;
  // The modem belongs to the line now: nobody else opens it.
  EXPECT_NE(Faxd({"modem", "probe", Link("m", 'A')}).err.find("is the modem of line 2 (ready"),
            std::string::npos);
  ModemInfo info;
  std::string why;
  ModemSettings other;
  other.device = pair->A();
  EXPECT_FALSE(ProbeDevice(other, &info, &why));

  // Settings that make no sense are refused and change nothing.
  EXPECT_EQ(Faxd({"lines", "set", "2", "dial_mode=rotary"}).err,
            "brevant-faxd: dial_mode must be tone or pulse\n");
  EXPECT_NE(Faxd({"lines", "set", "2", "volume=9"}).err.find("unknown modem setting \"volume\""),
            std::string::npos);
  EXPECT_NE(Faxd({"lines", "set", "2", "init=Z\x01"}).err.find("printable characters only"),
            std::string::npos);
  EXPECT_EQ(Faxd({"lines", "set", "2", "send_enabled=maybe"}).err,
            "brevant-faxd: send_enabled must be on or off\n");
  EXPECT_EQ(Faxd({"lines", "set", "2", "dial_mode=pulse", "rings=4", "send_enabled=off"}).exitCode, 0);
  EXPECT_EQ(LineOf("2").Get("dial_mode") + LineOf("2").Get("send_enabled"), "pulse0");
  EXPECT_EQ(Faxd({"lines", "set", "2", "send_enabled=on"}).exitCode, 0);

  // The client library's device objects (the configuration dialog and
  // "autorecv" use them) show the line; their changes act on its calls
  // (EfaxCallsAndTheFaxIsAnsweredAndStored).
  faxsvc::FaxServer server;
  server.Connect("");
  auto devices = server.GetDevices();
  ASSERT_EQ(devices.Count(), 1);
  EXPECT_EQ(devices.Item(1).DeviceName(), "Fax modem on " + Link("m", 'A'));
  EXPECT_EQ(devices.Item(1).RingsBeforeAnswer(), 4);
  EXPECT_EQ(devices.Item(1).Fields().Get("status"), "ready: spandsp, up to 9600 bit/s");
  EXPECT_NE(Faxd({"status"}).out.find(", 4 rings, ready: spandsp, up to 9600 bit/s\n"), std::string::npos);

  // Removed, the line lets go of its modem.
  auto removed = Faxd({"lines", "remove", "2"});
  EXPECT_EQ(removed.out, "line 2 removed\n") << removed.err;
  EXPECT_TRUE(WaitFor([&] { return ProbeDevice(other, &info, &why); }, 10)) << why;
  EXPECT_EQ(Faxd({"lines", "remove", "2"}).err, "brevant-faxd: no fax line 2\n");

  // The same from the Fax Monitor's window.
  EnsureWidgetApplication();
  faxmon::FaxMonitor monitor;
  EXPECT_EQ(monitor.AddLine(QString::fromStdString(Link("m", 'A'))).toStdString(),
            "Line 3 added: spandsp on " + Link("m", 'A') + ", up to 14400 bit/s");
  ASSERT_TRUE(WaitFor(
      [&] {
        monitor.Refresh();
        return monitor.Devices()->rowCount() == 1 &&
               monitor.Devices()->item(0, 6)->text() == "ready: spandsp, up to 14400 bit/s";
      },
      20));
  EXPECT_EQ(monitor.RemoveLine(0).toStdString(), "Line 3 removed.");
  EXPECT_TRUE(daemon_.Call(Message("lines")).Items().empty());
}

TEST_F(ServiceLine, ACancelledFaxEndsAtOnceAndTheNextGoesToEfaxWithDialModifiers) {
  auto pair = Pair("m");
  std::string line = AddLine(Link("m", 'A'), Message("line_add").Set("dial_prefix", "0,"));
  // Cancelled during its second page, a fax ends at once; the line is
  // ready for the next.
  auto first = EfaxReceiver(Link("m", 'B'), Dir("efax1"), kEfaxId);
  std::string cancelled = Submit(Doc("three.tif", TestPages(3, true)), "5550300");
  ASSERT_TRUE(WaitFor([&] { return Job(cancelled).GetInt("pages_sent") >= 1; }, 60));
  daemon_.Call(Message("job_op").Set("id", cancelled).Set("action", "cancel"));
  Message j = Settled(cancelled, 30);
  EXPECT_EQ(j.GetInt("status"), faxsvc::kJobCanceled);
  EXPECT_EQ(j.Get("error"), "Cancelled during transmission");
  first->Wait(60);
  EXPECT_TRUE(WaitFor([&] { return LineStatus(line).rfind("ready", 0) == 0; }, 20))
      << LineStatus(line) << "\n"
      << ModemLog(line);
  EXPECT_TRUE(Archive("out").empty());

  auto efax = EfaxReceiver(Link("m", 'B'), Dir("efax2"), kEfaxId);
  auto pages = TestPages(1, true);
  std::string job = Submit(Doc("one.tif", pages), "555 p0300w");
  j = Settled(job);
  EXPECT_EQ(j.GetInt("status"), faxsvc::kJobCompleted) << j.Get("error");
  EXPECT_EQ(efax->Wait(60), 0) << efax->Output();
  EXPECT_TRUE(SamePages(pages, EfaxPages(Dir("efax2") + "/got")));
  // efax logs the caller's station id as "remote ID -> ...".
  std::string log = efax->Output();
  size_t at = log.find("remote ID ->");
  EXPECT_NE(log.substr(std::min(at, log.size()), 80).find(kOurId), std::string::npos) << log;
  // The line's prefix, then the number with its dial characters as the
  // modem's modifiers.
  std::string trace = pair->Trace();
  EXPECT_NE(trace.find("A -> ATDT0,555P0300W<0D>"), std::string::npos)
      << trace.substr(std::min(trace.rfind("A -> ATD"), trace.size()), 80);
  // The transmission report.
  auto sent = Archive("out");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].GetInt("pages"), 1);
  EXPECT_EQ(sent[0].GetInt("bitrate"), 14400);
  EXPECT_EQ(sent[0].Get("csid"), kEfaxId);
  EXPECT_EQ(sent[0].Get("tsid"), kOurId);
  EXPECT_EQ(sent[0].Get("modem"), "spandsp on " + Link("m", 'A'));
  EXPECT_TRUE(SamePages(pages, ReadPages(sent[0].Get("path"))));
}

// Received faxes: answered after the rings, or by hand ("recv") while the
// call rings, and filed in the store (the mail tests import them).
TEST_F(ServiceLine, EfaxCallsAndTheFaxIsAnsweredAndStored) {
  auto pair = Pair("m");
  std::string line = AddLine(Link("m", 'A'), Message("line_add").Set("receive", "auto").Set("rings", "2"));
  ASSERT_EQ(daemon_.Call(Message("device_set").Set("id", line).Set("route_to", "nobody")).Get("ok"), "1");
  auto pages = TestPages(2, true);
  auto call = [&](const std::vector<faxsvc::FaxPage>& send, const std::string& name) {
    std::vector<std::string> argv = {"efax", "-d", Link("m", 'B'), "-o1", "-l", kEfaxId, "-t", "5550200"};
    for (size_t p = 0; p < send.size(); ++p)
      argv.push_back(Doc(name + std::to_string(p + 1) + ".tif", {send[p]}, true));
    return std::make_unique<Program>(argv, world_.Root(), world_.Root() + "/" + name + ".log");
  };
  auto efax = call(pages, "auto");
  EXPECT_EQ(efax->Wait(120), 0) << efax->Output();
  ASSERT_TRUE(WaitFor([&] { return Archive("in").size() == 1; }, 30));
  Message in = Archive("in")[0];
  EXPECT_EQ(in.Get("result"), "OK");
  EXPECT_EQ(in.Get("tsid"), kEfaxId);
  EXPECT_EQ(in.Get("csid"), kOurId);
  EXPECT_EQ(in.GetInt("pages"), 2);
  EXPECT_EQ(in.Get("modem"), "spandsp on " + Link("m", 'A'));
  EXPECT_EQ(in.GetInt("owner_uid"), 65534);  // routed to "nobody"
  EXPECT_EQ(fs::path(in.Get("path")).parent_path(), daemon_.StoreDir());
  // efax stamps a header band of its own above each page.
  EXPECT_TRUE(SamePages(pages, ReadPages(in.Get("path")), 32));
  EXPECT_EQ(Job(in.Get("job_id")).GetInt("rings_heard"), 2);

  // Answered by hand: the call rings until "recv" takes it.
  ASSERT_EQ(daemon_.Call(Message("device_set").Set("id", line).Set("receive_mode", 2)).Get("ok"), "1");
  efax = call({pages[1]}, "manual");
  auto ringing = [&] {
    for (const Message& d : daemon_.Call(Message("devices")).Items())
      if (d.Get("id") == line) return d.GetInt("ringing") != 0;
    return false;
  };
  ASSERT_TRUE(WaitFor(ringing, 60)) << efax->Output();
  EXPECT_EQ(Archive("in").size(), 1u);
  SetWindowsVersion("5.1");
  EXPECT_EQ(world_.RunTool("brevant", "recv").exitCode, 0);
  EXPECT_EQ(efax->Wait(120), 0) << efax->Output();
  ASSERT_TRUE(WaitFor([&] { return Archive("in").size() == 2; }, 30)) << ModemLog(line);
  for (const Message& m : Archive("in"))
    EXPECT_TRUE(m.GetInt("pages") == 2 || SamePages({pages[1]}, ReadPages(m.Get("path")), 32));
}

// A far end that hangs up after confirming page 1 (a busy line, retried,
// is the loopback line's case in the fax service tests).
TEST_F(ServiceLine, AHangUpAfterThePageOneIsReported) {
  auto pages = TestPages(3, true);
  std::string doc = Doc("three.tif", pages);
  auto pair = Pair("hangup", {"--hangup-after", "1"});
  AddLine(Link("hangup", 'A'));
  daemon_.Call(Message("line_set").Set("retries", "0"));
  auto efax = EfaxReceiver(Link("hangup", 'B'), Dir("efax"), kEfaxId);
  std::string job = Submit(doc, "5550300");
  Message j = Settled(job);
  efax->Wait(60);
  EXPECT_EQ(j.GetInt("status"), faxsvc::kJobRetriesExceeded);
  EXPECT_EQ(j.Get("error").rfind("The far end hung up after page 1", 0), 0u) << j.Get("error");
  EXPECT_EQ(j.GetInt("pages_sent"), 1);  // what the far end confirmed before it hung up
  EXPECT_TRUE(SamePages({pages[0]}, EfaxPages(Dir("efax") + "/got")));
  EXPECT_TRUE(Archive("out").empty());
}

TEST_F(ServiceLine, AModemUnpluggedInACallIsReopenedAndTheFaxSentOnce) {
  auto pages = TestPages(3, true);
  auto pair = Pair("m");
  std::string line = AddLine(Link("m", 'A'));
  auto efax = EfaxReceiver(Link("m", 'B'), Dir("efax1"), kEfaxId);
  std::string doc = Doc("three.tif", pages);
  std::string job = Submit(doc, "5550300");
  ASSERT_TRUE(WaitFor([&] { return Job(job).GetInt("pages_sent") >= 1; }, 60));
  pair->Kill();  // both modems vanish
  ASSERT_TRUE(WaitFor([&] { return Job(job).GetInt("status") == faxsvc::kJobRetrying; }, 30));
  EXPECT_EQ(Job(job).Get("error"), "modem stopped answering on " + Link("m", 'A'));
  // While the modem is away the line says why and keeps the fax queued.
  EXPECT_TRUE(WaitFor(
      [&] {
        return LineStatus(line).find(Link("m", 'A')) != std::string::npos &&
               LineStatus(line).rfind("ready", 0) != 0;
      },
      10));
  ASSERT_TRUE(daemon_.WaitForLineRound(doc, line));
  EXPECT_EQ(Job(job).GetInt("status"), faxsvc::kJobRetrying);
  EXPECT_EQ(Job(job).GetInt("attempts"), 1);
  const long from = static_cast<long>(Job(job).GetInt("resume_from"));  // the first page not confirmed
  ASSERT_GE(from, 2);

  // Plugged in again: the line reopens it, and the pages not confirmed go
  // out once.
  efax->Wait(5);
  pair = Pair("m");
  auto again = EfaxReceiver(Link("m", 'B'), Dir("efax2"), kEfaxId);
  Message j = Settled(job);
  EXPECT_EQ(j.GetInt("status"), faxsvc::kJobCompleted) << j.Get("error");
  EXPECT_EQ(j.GetInt("attempts"), 2);
  EXPECT_EQ(again->Wait(60), 0);
  EXPECT_TRUE(SamePages({pages.begin() + from - 1, pages.end()}, EfaxPages(Dir("efax2") + "/got")));
  EXPECT_EQ(Archive("out").size(), 1u);
  EXPECT_EQ(LineStatus(line).rfind("ready", 0), 0u) << LineStatus(line);
}

TEST_F(ServiceLine, AServiceKilledInACallSendsOnlyThePagesNotConfirmed) {
  auto pages = TestPages(3, true);
  auto pair = Pair("m");
  AddLine(Link("m", 'A'), Message("line_add").Set("ecm", "off"));
  // Our own driver is the far end: it takes one call after the other.
  std::atomic<int> calls{0};
  std::thread far([&] {
    ModemSettings b;
    b.device = Link("m", 'B');
    b.stationId = kEfaxId;
    for (int n = 1; n <= 2; ++n) {
      ReceiveFax(b, world_.Root() + "/far" + std::to_string(n) + ".tif", 90);
      ++calls;
    }
  });
  std::string job = Submit(Doc("three.tif", pages), "5550300");
  bool confirmed = WaitFor([&] { return Job(job).GetInt("pages_sent") >= 1; }, 60);
  daemon_.Kill();
  // The far end notices the silence and hangs up; then the service comes back.
  bool hungUp = WaitFor([&] { return calls == 1; }, 90);
  ASSERT_TRUE(daemon_.Start());
  ASSERT_TRUE(confirmed);
  ASSERT_TRUE(hungUp);
  EXPECT_NE(Job(job).Get("error").find("sending page 2 onwards"), std::string::npos) << Job(job).Get("error");
  Message j = Settled(job);
  far.join();
  EXPECT_EQ(j.GetInt("status"), faxsvc::kJobCompleted) << j.Get("error");
  EXPECT_EQ(j.GetInt("attempts"), 1);
  // The first call brought page 1 (and page 2 when the far end had it before
  // the kill, which the service said it might); the second pages 2 and 3.
  auto first = ReadPages(world_.Root() + "/far1.tif"), second = ReadPages(world_.Root() + "/far2.tif");
  ASSERT_GE(first.size(), 1u);
  EXPECT_TRUE(SamePages({pages[0]}, {first[0]}));
  EXPECT_TRUE(SamePages({pages[1], pages[2]}, second));
  EXPECT_EQ(Archive("out").size(), 1u);
}

TEST_F(ServiceLine, TwoLinesSendAtOnceAtTheirOwnRates) {
  auto one = Pair("one"), two = Pair("two");
  AddLine(Link("one", 'A'));
  AddLine(Link("two", 'A'), Message("line_add").Set("max_rate", "9600"));
  auto efax1 = EfaxReceiver(Link("one", 'B'), Dir("efax1"), kEfaxId);
  auto efax2 = EfaxReceiver(Link("two", 'B'), Dir("efax2"), "+1 555 0400");
  auto pages = TestPages(3, false);
  std::string doc = Doc("three.tif", pages);
  std::string a = Submit(doc, "5550300"), b = Submit(doc, "5550400");
  Message ja = Settled(a), jb = Settled(b);
  EXPECT_EQ(ja.GetInt("status"), faxsvc::kJobCompleted) << ja.Get("error");
  EXPECT_EQ(jb.GetInt("status"), faxsvc::kJobCompleted) << jb.Get("error");
  EXPECT_NE(ja.Get("device_id"), jb.Get("device_id"));
  EXPECT_LT(ja.GetReal("started"), jb.GetReal("ended"));  // the calls overlapped
  EXPECT_LT(jb.GetReal("started"), ja.GetReal("ended"));
  EXPECT_EQ(efax1->Wait(60), 0);
  EXPECT_EQ(efax2->Wait(60), 0);
  for (const char* dir : {"efax1", "efax2"})
    EXPECT_TRUE(SamePages(pages, EfaxPages(Dir(dir) + "/got"))) << dir;
  std::multiset<long long> rates;
  for (const Message& m : Archive("out")) rates.insert(m.GetInt("bitrate"));
  EXPECT_EQ(rates, (std::multiset<long long>{9600, 14400}));
}

TEST_F(ServiceLine, ALockFileHoldsAPortOnlyWhileAProgramThatMayUseModemsHasItOpen) {
  if (::access("/var/lock", W_OK) != 0) GTEST_SKIP() << "no UUCP lock folder";
  auto pair = Pair("m");
  std::string lock = "/var/lock/LCK.." + pair->A().substr(5);  // without "/dev/"
  std::replace(lock.begin() + 10, lock.end(), '/', '_');
  std::shared_ptr<void> removeLock(nullptr, [&](void*) {
    std::error_code ec;
    fs::remove_all(lock, ec);
  });
  // HDB: the pid in ten characters and a newline.
  auto lockText = [](pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return std::string(text);
  };
  auto writeLock = [&](pid_t pid) {
    ::unlink(lock.c_str());
    TestWorld::WriteFile(lock, lockText(pid));
    return std::string();
  };
  // A user plants a lock naming a process that lives (init): the line takes
  // its port all the same, and the history says which file it passed over.
  TestUser mallory;
  ASSERT_TRUE(mallory.Made()) << mallory.Problem();
  mallory.Run([&] { return writeLock(1); });
  std::string line = AddLine(Link("m", 'A'));
  bool told = false;
  for (const Message& e : daemon_.Call(Message("events")).Items())
    told |= e.Get("text") == "line " + line + ": " + lock + " was not honoured: it was written by user " +
                                 mallory.Name() + ", who may not use modems";
  EXPECT_TRUE(told);
  // The line's own lock is one efax and HylaFAX read: HDB text, 0644.
  EXPECT_EQ(TestWorld::Owner(lock), "0 644");
  EXPECT_EQ(TestWorld::ReadFile(lock), lockText(daemon_.Pid()));
  ASSERT_EQ(Faxd({"lines", "remove", line}).exitCode, 0);
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(lock); }, 10));

  // A program that has the port open and locked (as efax -x does) holds it.
  pid_t holder = ::fork();
  if (holder == 0) {
    int fd = ::open(pair->A().c_str(), O_RDWR | O_NOCTTY);
    writeLock(::getpid());
    ::pause();
    ::_exit(fd < 0);
  }
  ASSERT_TRUE(WaitFor([&] { return fs::exists(lock); }, 5));
  const std::string held = " is in use by process " + std::to_string(holder) + " (" + lock + ")\n";
  EXPECT_EQ(Faxd({"lines", "add", Link("m", 'A')}).err, "brevant-faxd: " + Link("m", 'A') + held);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  // A lock of root's for a process that lives but has not had the port open
  // for minutes holds nothing either.
  writeLock(::getpid());
  timeval old[2] = {{std::time(nullptr) - 120, 0}, {std::time(nullptr) - 120, 0}};
  ::utimes(lock.c_str(), old);
  line = AddLine(Link("m", 'A'));
  // Nor does a folder a user puts in the lock's place.
  ASSERT_EQ(Faxd({"lines", "remove", line}).exitCode, 0);
  ASSERT_TRUE(WaitFor([&] { return !fs::exists(lock); }, 10));
  mallory.Run(
      [&] { return std::to_string(::mkdir(lock.c_str(), 0755) + ::mkdir((lock + "/x").c_str(), 0755)); });
  AddLine(Link("m", 'A'));
}

TEST_F(ServiceLine, OnlyModemDevicesAreOpenedNeverAUsersTerminalNorWhatALinkLeadsToLater) {
  auto pair = Pair("m");
  TestUser alice;
  ASSERT_TRUE(alice.Made()) << alice.Problem();
  SilentPort hers(alice.Uid());
  const std::string notHers =
      " belongs to user " + alice.Name() + ", not to root as a modem device does; it is not opened";
  for (const auto& [device, message] :
       std::vector<std::pair<std::string, std::string>>{{hers.path, hers.path + notHers},
                                                        {"/dev/console", "/dev/console is not a serial port"},
                                                        {"/dev/tty1", "/dev/tty1 is not a serial port"}}) {
    EXPECT_EQ(Faxd({"lines", "add", device}).err, "brevant-faxd: " + message + "\n");
    EXPECT_EQ(Faxd({"modem", "probe", device}).err, "brevant-faxd: " + message + "\n");
  }
  // Alice's link to a modem is a modem; once she points it at her terminal,
  // the line neither takes it as a new device nor opens it again.
  const std::string link = alice.Home() + "/modem";
  alice.Run([&] { return std::to_string(::symlink(pair->A().c_str(), link.c_str())); });
  std::string line = AddLine(link);
  alice.Run([&] {
    ::unlink(link.c_str());
    return std::to_string(::symlink(hers.path.c_str(), link.c_str()));
  });
  EXPECT_EQ(Faxd({"lines", "set", line, "device=" + hers.path}).err,
            "brevant-faxd: " + hers.path + notHers + "\n");
  pair->Kill();  // the line opens its device again
  EXPECT_TRUE(WaitFor([&] { return LineStatus(line) == link + notHers; }, 20)) << LineStatus(line);
  EXPECT_EQ(hers.Heard(), "");
}

TEST_F(ServiceLine, AModemThatNeverEndsALineIsLetGoWithinBoundedMemory) {
  FakeModem modem;
  std::string line = AddLine(modem.Path());
  const long before = PeakMemoryKb(daemon_.Pid());
  modem.flood = true;
  EXPECT_TRUE(WaitFor(
      [&] {
        const std::string said = "the modem on " + modem.Path() + " sent a line of more than 1024 characters";
        return LineStatus(line).rfind(said, 0) == 0;
      },
      20))
      << LineStatus(line);
  std::this_thread::sleep_for(std::chrono::seconds(8));  // and again when the line opens it again
  EXPECT_LT(PeakMemoryKb(daemon_.Pid()) - before, 4096) << "kB more at the daemon's peak";
  modem.flood = false;
  EXPECT_TRUE(WaitFor([&] { return LineStatus(line).rfind("ready", 0) == 0; }, 30)) << LineStatus(line);
}
