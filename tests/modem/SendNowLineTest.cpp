// "sendnow" as a user runs it, with the fax service's modem line in place
// of its loopback: the sample letter goes through the fax printer and the
// service's queue, out of a modem of the emulated telephone line, and efax
// on the other modem receives it as the fax printer drew it.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/arrival/ArrivalWorld.h"
#include "tests/arrival/Marks.h"
#include "tests/modem/ModemTestSupport.h"

namespace brevant::test {
namespace {

using faxsvc::Message;

TEST(SendNowOnAModemLine, TheSampleLetterReachesEfaxAsPrinted) {
  if (!std::filesystem::exists("/usr/bin/efax")) GTEST_SKIP() << "efax is not installed";
  ArrivalWorld w;
  if (!w.Problem().empty()) GTEST_SKIP() << w.Problem();
  FaxDaemon& daemon = w.Daemon();
  ModemPair pair(w.Dir());
  ASSERT_TRUE(pair.Started());
  ASSERT_EQ(daemon.Call(Message("line_remove").Set("id", 1)).Get("ok"), "1");
  Message added = daemon.Call(Message("line_add").Set("device", pair.A()).Set("station_id", "+49 30 1234"));
  ASSERT_EQ(added.Get("ok"), "1") << added.Get("error");
  auto ready = [&] { return daemon.Call(Message("lines")).Item(1).Get("status").rfind("ready", 0) == 0; };
  ASSERT_TRUE(WaitFor(ready, 20)) << daemon.Call(Message("lines")).Item(1).Get("status");
  std::string got = w.Dir() + "/efax";
  std::filesystem::create_directories(got);
  auto efax = EfaxReceiver(pair.B(), got, "+1 555 0300");

  const std::string letter = SourceDir() + "/samples/letter.pdf";
  auto r = w.Brevant("sendnow;;Ann Example#;5551234#;" + letter + "#");
  const long job = w.LastJob();
  ASSERT_GT(job, 0) << r.err;
  Arrival a = w.WaitArrival(job);
  EXPECT_EQ(a.status, faxsvc::kJobCompleted) << a.error;
  EXPECT_EQ(a.reportedPages, 2);
  EXPECT_EQ(efax->Wait(60), 0) << efax->Output();
  std::vector<faxsvc::FaxPage> made = FaxPagesOf(letter), received = EfaxPages(got + "/got");
  ASSERT_EQ(received.size(), made.size());
  for (std::size_t i = 0; i < made.size(); ++i) EXPECT_LT(Difference(received[i], made[i]), 0.01) << "page " << i + 1;
  Message sent = daemon.Call(Message("archive").Set("folder", "out")).Item(1);
  EXPECT_EQ(sent.Get("modem"), "spandsp on " + pair.A());
  EXPECT_EQ(sent.Get("csid"), "+1 555 0300");
}

}  // namespace
}  // namespace brevant::test
