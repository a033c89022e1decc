// The Class 1 driver on the emulated telephone line: what a probe reports,
// how dial strings reach the modem, calls between two of our own ends, and
// every way a call can fail (the line refusing, a cancel, a modem that
// goes away, no call at all).
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/modem/ModemTestSupport.h"
#include "tests/support/TestWorld.h"
#include "tools/brevant-faxd/ModemLine.h"

namespace fs = std::filesystem;
using namespace brevant::faxd;
using namespace brevant::test;

namespace {

ModemSettings Line(const std::string& device, const std::string& id) {
  ModemSettings s;
  s.device = device;
  s.stationId = id;
  return s;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A receiving end running beside the test.
struct Receiver {
  Receiver(const ModemSettings& line, const std::string& tiff, double wait, const CallHooks& hooks = {})
      : thread([=, this] { result = ReceiveFax(line, tiff, wait, hooks); }) {}
  ModemCallResult Join() {
    thread.join();
    return result;
  }
  ModemCallResult result;
  std::thread thread;
};

}  // namespace

TEST(ModemProbe, ReportsTheModemAndRefusesDevicesThatAreNoFaxModem) {
  TestWorld world;
  ModemPair pair(world.Root());
  ASSERT_TRUE(pair.Started());
  ModemInfo info;
  std::string why;
  ASSERT_TRUE(ProbeDevice(Line(pair.A(), ""), &info, &why)) << why;
  EXPECT_EQ(info.Name(), "spandsp");
  EXPECT_TRUE(info.class1);
  EXPECT_EQ(info.MaxBitRate(), 14400);
  for (int code : {24, 48, 72, 96, 145, 146}) {
    EXPECT_NE(std::find(info.transmitRates.begin(), info.transmitRates.end(), code), info.transmitRates.end()) << code;
    EXPECT_NE(std::find(info.receiveRates.begin(), info.receiveRates.end(), code), info.receiveRates.end()) << code;
  }
  // The command-line probe shows the same.
  auto probe = world.RunArgs("modem-fax", {"probe", pair.B()});
  EXPECT_EQ(probe.exitCode, 0) << probe.err;
  EXPECT_NE(probe.out.find("max_rate=14400"), std::string::npos) << probe.out;

  // A port another program has locked the UUCP way (faxgetty, efax -x) is
  // left alone.
  std::string name = pair.B().substr(5);  // without "/dev/"
  std::replace(name.begin(), name.end(), '/', '_');
  std::string lock = "/var/lock/LCK.." + name;
  if (::access("/var/lock", W_OK) == 0) {
    TestWorld::WriteFile(lock, std::to_string(::getppid()) + "\n");
    EXPECT_FALSE(ProbeDevice(Line(pair.B(), ""), &info, &why));
    EXPECT_EQ(why, pair.B() + " is in use by process " + std::to_string(::getppid()) + " (" + lock + ")");
    ::unlink(lock.c_str());
  }

  EXPECT_FALSE(ProbeDevice(Line("/dev/null", ""), &info, &why));
  EXPECT_EQ(why, "/dev/null is not a serial port: Inappropriate ioctl for device");

  // A serial port with nothing behind it: every command times out.
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ::grantpt(master);
  ::unlockpt(master);
  std::string silent = ::ptsname(master);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ProbeDevice(Line(silent, ""), &info, &why));
  EXPECT_EQ(why, "modem stopped answering on " + silent);
  EXPECT_LT(Seconds(start), 15);
  auto cli = world.RunArgs("modem-fax", {"probe", silent});
  EXPECT_EQ(cli.exitCode, 1);
  EXPECT_EQ(cli.err, "modem-fax: modem stopped answering on " + silent + "\n");
  ::close(master);

  // A data modem: it answers every command but has no fax class 1.
  master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ::grantpt(master);
  ::unlockpt(master);
  std::string dataModem = ::ptsname(master);
  std::atomic<bool> stop{false};
  std::thread answering([&] {
    std::string line;
    char c;
    while (!stop) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0 || ::read(master, &c, 1) != 1) continue;
      if (c != '\r') {
        line += c;
        continue;
      }
      std::string reply = line.find("+FCLASS") != std::string::npos ? "\r\nERROR\r\n" : "\r\nOK\r\n";
      line.clear();
      if (::write(master, reply.data(), reply.size()) < 0) break;
    }
  });
  EXPECT_FALSE(ProbeDevice(Line(dataModem, ""), &info, &why));
  EXPECT_EQ(why, dataModem + " does not answer as a Class 1 fax modem (AT+FCLASS=1 refused)");
  stop = true;
  answering.join();
  ::close(master);
}

TEST(ModemDial, DialCharactersBecomeModifiersAfterThePrefix) {
  ModemSettings line;
  std::string cmd, why;
  ASSERT_TRUE(DialCommand(line, "+49 (30) 555-1234", &cmd, &why)) << why;
  EXPECT_EQ(cmd, "DT49305551234");
  line.dialPrefix = "0,";
  ASSERT_TRUE(DialCommand(line, "9w555p12,34d#", &cmd, &why)) << why;
  EXPECT_EQ(cmd, "DT0,9W555P12,34W#");
  line.pulse = true;
  ASSERT_TRUE(DialCommand(line, "555.0100", &cmd, &why)) << why;
  EXPECT_EQ(cmd, "DP0,5550100");

  EXPECT_FALSE(DialCommand(line, "555 CALL ME", &cmd, &why));
  EXPECT_EQ(why, "the fax number \"555 CALL ME\" holds 'C', which is not a dial character");
  EXPECT_FALSE(DialCommand(ModemSettings{}, "p, w", &cmd, &why));
  EXPECT_EQ(why, "the fax number \"p, w\" has no digits to dial");
  line.dialPrefix = "9;";
  EXPECT_FALSE(DialCommand(line, "5550100", &cmd, &why));
  EXPECT_EQ(why, "the dial prefix \"9;\" holds ';', which is not a dial character");
}

TEST(ModemCall, OurOwnEndsExchangePagesWithErrorCorrection) {
  TestWorld world;
  ModemPair pair(world.Root());
  ASSERT_TRUE(pair.Started());
  auto pages = TestPages(3, true);
  std::string doc = world.Root() + "/doc.tif", got = world.Root() + "/got.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));

  std::vector<int> received;
  CallHooks rxHooks;
  rxHooks.onPage = [&](int n) { received.push_back(n); };
  Receiver rx(Line(pair.B(), "+49 30 2222"), got, 60, rxHooks);
  std::vector<int> confirmed;
  CallHooks hooks;
  hooks.onPage = [&](int n) { confirmed.push_back(n); };
  ModemCallResult sent = SendFax(Line(pair.A(), "+49 30 1111"), "5550200", doc, hooks);
  ModemCallResult in = rx.Join();

  EXPECT_TRUE(sent.ok) << sent.result;
  EXPECT_EQ(sent.result, "OK");
  EXPECT_EQ(sent.pagesSent, 3);
  EXPECT_EQ(sent.bitRate, 14400);
  EXPECT_EQ(sent.remoteIdent, "+49 30 2222");
  EXPECT_EQ(sent.modem, "spandsp");
  EXPECT_EQ(confirmed, (std::vector<int>{1, 2, 3}));
  EXPECT_GT(sent.audioSeconds, 0);
  EXPECT_TRUE(in.ok) << in.result;
  EXPECT_EQ(in.pagesReceived, 3);
  EXPECT_EQ(in.callerIdent, "+49 30 1111");
  EXPECT_EQ(received, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(SamePages(pages, ReadPages(got)));
  // Partial page signals (PPS, sent by the caller with the X bit set) only
  // exist in error correction mode.
  EXPECT_NE(pair.Trace().find("A -> <FF><13><BF>"), std::string::npos);
}

TEST(ModemCall, ANoisyLineIsOvercomeByFallingBackOrByResendingFrames) {
  struct Noise {
    const char* garble;  // modem-pair's --garble
    int bitRate;         // the rate the pages went at
    const char* answer;  // what the receiver said about the noise
  } cases[] = {
      // Over the training check once the modems have trained: the receiver
      // answers FTT (failure to train) and the sender falls back a rate.
      {"1:1800:500", 12000, "B -> <FF><13>D"},
      // Over the first page's frames in error correction mode: the receiver
      // asks for the lost frames again (PPR, partial page request).
      {"2:300:400", 14400, "B -> <FF><13><BC>"},
  };
  TestWorld world;
  auto pages = TestPages(2, true);
  std::string doc = world.Root() + "/doc.tif", got = world.Root() + "/got.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.garble);
    ModemPair pair(world.Root(), {"--garble", c.garble});
    ASSERT_TRUE(pair.Started());
    Receiver rx(Line(pair.B(), ""), got, 60);
    ModemCallResult r = SendFax(Line(pair.A(), ""), "5550200", doc);
    EXPECT_TRUE(rx.Join().ok);
    EXPECT_TRUE(r.ok) << r.result;
    EXPECT_EQ(r.bitRate, c.bitRate);
    EXPECT_NE(pair.Trace().find(c.answer), std::string::npos);
    EXPECT_TRUE(SamePages(pages, ReadPages(got)));
  }
}

TEST(ModemCall, TheLineRefusingIsReportedAsSuch) {
  TestWorld world;
  // The first call finds no dial tone, the second a busy line, the third
  // rings out: nobody answers on B.
  ModemPair pair(world.Root(), {"--no-dialtone", "1", "--busy", "1", "--rings", "2", "--ring-seconds", "2"});
  ASSERT_TRUE(pair.Started());
  std::string doc = world.Root() + "/doc.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, TestPages(1, true)));
  ModemSettings line = Line(pair.A(), "");

  ModemCallResult r = SendFax(line, "5550200", doc);
  EXPECT_EQ(r.failure, LineFailure::kNoDialTone);
  EXPECT_EQ(r.result, "No dial tone");
  r = SendFax(line, "5550200", doc);
  EXPECT_EQ(r.failure, LineFailure::kBusy);
  EXPECT_EQ(r.result, "The line is busy");
  r = SendFax(line, "5550200", doc);
  EXPECT_EQ(r.failure, LineFailure::kNoAnswer);
  EXPECT_EQ(r.result, "No answer");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.pagesSent, 0);
  EXPECT_NE(pair.Trace().find("B <- RING"), std::string::npos);

  r = SendFax(line, "555 CALL ME", doc);
  EXPECT_EQ(r.failure, LineFailure::kBadNumber);
}

TEST(ModemCall, CancelledCallEndsAndTheModemServesTheNextCall) {
  TestWorld world;
  ModemPair pair(world.Root());
  ASSERT_TRUE(pair.Started());
  auto pages = TestPages(4, true);
  std::string doc = world.Root() + "/doc.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));
  ModemSettings a = Line(pair.A(), "+49 30 1111"), b = Line(pair.B(), "+49 30 2222");

  std::atomic<bool> cancel{false};
  CallHooks hooks;
  hooks.cancel = &cancel;
  hooks.onPage = [&](int) { cancel = true; };
  Receiver first(b, world.Root() + "/first.tif", 60);
  ModemCallResult r = SendFax(a, "5550200", doc, hooks);
  first.Join();
  EXPECT_TRUE(r.canceled) << r.result << " after " << r.pagesSent << " pages";
  EXPECT_EQ(r.failure, LineFailure::kCancelled);
  EXPECT_EQ(r.result, "Cancelled during transmission");
  EXPECT_EQ(r.pagesSent, 1);

  // Both modems are back in command state: the next call goes through.
  std::string one = world.Root() + "/one.tif", got = world.Root() + "/second.tif";
  ASSERT_TRUE(WriteG3Tiff(one, {pages[2]}));
  Receiver second(b, got, 60);
  r = SendFax(a, "5550200", one);
  EXPECT_TRUE(r.ok) << r.result;
  EXPECT_TRUE(second.Join().ok);
  EXPECT_TRUE(SamePages({pages[2]}, ReadPages(got)));
}

TEST(ModemCall, AModemThatGoesAwayEndsTheCallWithItsDevice) {
  TestWorld world;
  ModemPair pair(world.Root());
  ASSERT_TRUE(pair.Started());
  std::string doc = world.Root() + "/doc.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, TestPages(4, false)));
  CallHooks hooks;
  hooks.onPage = [&](int) { pair.Kill(); };  // both modems vanish after the first page
  Receiver rx(Line(pair.B(), ""), world.Root() + "/got.tif", 60);
  auto start = std::chrono::steady_clock::now();
  ModemCallResult r = SendFax(Line(pair.A(), ""), "5550200", doc, hooks);
  ModemCallResult in = rx.Join();
  EXPECT_EQ(r.failure, LineFailure::kModem);
  EXPECT_EQ(r.result, "modem stopped answering on " + pair.A());
  EXPECT_EQ(r.pagesSent, 1);
  EXPECT_EQ(in.failure, LineFailure::kModem);
  EXPECT_EQ(in.result, "modem stopped answering on " + pair.B());
  EXPECT_LT(Seconds(start), 60);
}

TEST(ModemCall, NoCallStoresNothing) {
  TestWorld world;
  ModemPair pair(world.Root());
  ASSERT_TRUE(pair.Started());
  std::string got = world.Root() + "/got.tif";
  ModemCallResult r = ReceiveFax(Line(pair.B(), ""), got, 1.5);
  EXPECT_EQ(r.failure, LineFailure::kNoCall);
  EXPECT_EQ(r.result, "No call came in");
  EXPECT_FALSE(fs::exists(got));
}
