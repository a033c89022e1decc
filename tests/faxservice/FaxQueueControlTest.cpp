// The commands "autorecv", "recv", "pause" and "stop" of the brevant
// program against a running daemon, in both editions the version selects.
#include <gtest/gtest.h>

#include "common/ClientConfig.h"
#include "faxservice/client/FaxService.h"
#include "platform/events/NamedEvent.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/support/RegValues.h"

namespace brevant {
namespace {

using faxsvc::Message;
using test::FaxDaemon;
using test::TestWorld;

class QueueControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon.Start());
    fax = test::MakeFaxTiff(world.TempDir() + "/in.tif", 3);
  }
  TestWorld::Result Brevant(const std::string& word) { return world.RunTool("brevant", word); }
  Message Device() { return daemon.Call(Message("devices")).Item(1); }
  // The device's answering: "receive mode/rings".
  std::string Answering() { return Device().Get("receive_mode") + "/" + Device().Get("rings"); }
  void SetAnswering(int mode, int rings) {
    daemon.Call(Message("device_set").Set("id", 1).Set("receive_mode", mode).Set("rings", rings));
  }
  std::string UserValue(const std::string& name) { return test::RegString(test::HKCU, kPelorinKey, name); }
  Message Job(const std::string& id) { return daemon.Job(id); }
  // A fax paced to 10 times real time: three pages take about 3.5 seconds.
  std::string SlowFaxOnTheLine() {
    daemon.Call(Message("line_set").Set("pace", "10"));
    std::string id = daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0300")).Get("id");
    EXPECT_TRUE(test::WaitFor([&] { return Job(id).GetInt("status") == faxsvc::kJobInProgress; }, 10));
    return id;
  }

  TestWorld world;
  FaxDaemon daemon{world};
  std::string fax;
};

// XP keeps the device's own answering to restore it; the older edition's
// port does not answer by itself ("IsReceive" 0). Stored values that are
// not numbers restore manual answering on XP and switch it on in the older
// edition, after 4 rings.
TEST_F(QueueControl, AutoRecvTogglesAndRestoresTheDeviceInBothEditions) {
  const std::string on = std::to_string(faxsvc::kReceiveAuto),
                    manual = std::to_string(faxsvc::kReceiveManual);
  const struct {
    const char* version;
    std::string stored, fromNonNumbers;
  } editions[] = {{"5.1", "23", manual + "/4"}, {"5.0", "03", on + "/4"}};
  for (const auto& e : editions) {
    SCOPED_TRACE(e.version);
    test::SetWindowsVersion(e.version);
    SetAnswering(faxsvc::kReceiveManual, 3);
    auto first = Brevant("autorecv");
    EXPECT_NE(first.err.find("Auto Receive ON"), std::string::npos) << first.err;
    EXPECT_EQ(Answering(), on + "/1");
    EXPECT_EQ(UserValue("IsReceive") + UserValue("Rings"), e.stored);
    auto second = Brevant("autorecv");
    EXPECT_NE(second.err.find("Auto Receive OFF"), std::string::npos) << second.err;
    EXPECT_EQ(Answering(), manual + "/3");
    EXPECT_EQ(UserValue("AutoReceive"), "0");
    // A device that does not answer at all comes back to that.
    SetAnswering(faxsvc::kReceiveOff, 2);
    Brevant("autorecv");
    EXPECT_EQ(Answering(), on + "/1");
    Brevant("autorecv");
    EXPECT_EQ(Answering(), std::to_string(faxsvc::kReceiveOff) + "/2");
    test::SetRegString(test::HKCU, kPelorinKey, "AutoReceive", "1");
    test::SetRegString(test::HKCU, kPelorinKey, "IsReceive", "");
    test::SetRegString(test::HKCU, kPelorinKey, "Rings", "abc");
    EXPECT_NE(Brevant("autorecv").err.find("Auto Receive OFF"), std::string::npos);
    EXPECT_EQ(Answering(), e.fromNonNumbers);
  }
}

TEST_F(QueueControl, RecvAnswersTheRingingCallOnlyOnXP) {
  test::SetWindowsVersion("5.1");
  Message call = daemon.Call(Message("call").Set("file", fax).Set("from", "0044 20 7946 0000"));
  ASSERT_EQ(call.Get("ok"), "1") << call.Get("error");
  EXPECT_EQ(Device().GetInt("ringing"), 1);
  EXPECT_EQ(daemon.Archive("in").GetInt("count"), 0);  // manual: waits
  auto r = Brevant("recv");
  EXPECT_EQ(r.exitCode, 0);
  ASSERT_TRUE(daemon.WaitJob(call.Get("id"), faxsvc::kJobCompleted, 20));
  Message in = daemon.Archive("in");
  ASSERT_EQ(in.GetInt("count"), 1);
  EXPECT_EQ(in.Item(1).Get("tsid"), "0044 20 7946 0000");
  auto sent = test::ReadPages(fax), got = test::ReadPages(in.Item(1).Get("path"));
  ASSERT_EQ(got.size(), 3u);
  for (std::size_t p = 0; p < 3; ++p) EXPECT_LT(faxsvc::PixelDifference(sent[p], got[p]), 0.01);

  // Nothing ringing: the failure is logged, nothing else happens.
  Brevant("recv");
  EXPECT_NE(world.Errors().find("Init.FaxRecv"), std::string::npos);

  test::SetWindowsVersion("5.0");
  EXPECT_NE(Brevant("recv").err.find("This feature is only supported in Windows XP."), std::string::npos);
}

TEST_F(QueueControl, PauseTogglesTheServerQueueOnTheOlderEdition) {
  test::SetWindowsVersion("5.0");
  {  // while another "pause" holds the command's event, this one does nothing
    auto running = platform::NamedEvent::Create("QuorPause", false, true);
    ASSERT_TRUE(running);
    EXPECT_EQ(Brevant("pause").err, "");
    EXPECT_EQ(daemon.Call(Message("queue_get")).Get("paused"), "0");
  }
  auto first = Brevant("pause");
  EXPECT_NE(first.err.find("Fax stopped."), std::string::npos) << first.err;
  EXPECT_EQ(daemon.Call(Message("queue_get")).Get("paused"), "1");
  // A paused queue keeps its faxes.
  std::string id = daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0301")).Get("id");
  ASSERT_TRUE(daemon.WaitForLineRound(fax));
  EXPECT_EQ(Job(id).GetInt("status"), faxsvc::kJobPending);
  // "stop" leaves pending faxes alone and says nothing.
  auto stop = Brevant("stop");
  EXPECT_EQ(stop.err.find("Fax stopped."), std::string::npos);
  EXPECT_EQ(Job(id).GetInt("status"), faxsvc::kJobPending);

  auto second = Brevant("pause");
  EXPECT_NE(second.err.find("Fax resumes."), std::string::npos) << second.err;
  EXPECT_TRUE(daemon.WaitJob(id, faxsvc::kJobCompleted, 20));
}

TEST_F(QueueControl, PauseAndResumeTheFaxOnTheLineOnXP) {
  test::SetWindowsVersion("5.1");
  EXPECT_EQ(Brevant("pause").err, "");  // an empty queue: nothing to say
  std::string id = SlowFaxOnTheLine();
  auto pause = Brevant("pause");
  EXPECT_NE(pause.err.find("Fax stopped."), std::string::npos) << pause.err;
  ASSERT_TRUE(daemon.WaitJob(id, faxsvc::kJobPaused, 10));
  EXPECT_EQ(daemon.Call(Message("farend")).GetInt("count"), 0);
  daemon.Call(Message("line_set").Set("pace", "0"));
  auto resume = Brevant("pause");
  EXPECT_NE(resume.err.find("Fax resume."), std::string::npos) << resume.err;
  ASSERT_TRUE(daemon.WaitJob(id, faxsvc::kJobCompleted, 20));
  EXPECT_EQ(daemon.Call(Message("farend")).GetInt("count"), 1);
}

TEST_F(QueueControl, StopCancelsTheFaxInTransmission) {
  test::SetWindowsVersion("5.1");
  std::string id = SlowFaxOnTheLine();
  auto r = Brevant("stop");
  EXPECT_NE(r.err.find("Fax stopped."), std::string::npos) << r.err;
  ASSERT_TRUE(daemon.WaitJob(id, faxsvc::kJobCanceled, 10));
  EXPECT_EQ(Job(id).Get("error"), "Cancelled during transmission");
  EXPECT_EQ(daemon.Call(Message("farend")).GetInt("count"), 0);
  EXPECT_EQ(daemon.Archive("out").GetInt("count"), 0);
  // Older edition: the first job that is not pending is cancelled.
  test::SetWindowsVersion("5.0");
  std::string second = SlowFaxOnTheLine();
  EXPECT_NE(Brevant("stop").err.find("Fax stopped."), std::string::npos);
  ASSERT_TRUE(daemon.WaitJob(second, faxsvc::kJobCanceled, 10));
}

TEST(QueueControlWithoutDaemon, EachCommandSaysWhatItSaysWithoutAFaxServer) {
  TestWorld world;
  {
    FaxDaemon daemon(world);  // the service ran and stopped
    ASSERT_TRUE(daemon.Start());
  }
  for (const char* version : {"5.1", "5.0"}) {
    SCOPED_TRACE(version);
    test::SetWindowsVersion(version);
    auto autorecv = world.RunTool("brevant", "autorecv");
    EXPECT_NE(autorecv.err.find("This method is not supported."), std::string::npos) << autorecv.err;
    EXPECT_EQ(autorecv.err.find("Cannot connect to fax."), std::string::npos) << autorecv.err;
    EXPECT_NE(world.RunTool("brevant", "stop").err.find("Fax stopped."), std::string::npos);
    EXPECT_EQ(world.RunTool("brevant", "pause").err, "");
    auto recv = world.RunTool("brevant", "recv");
    EXPECT_NE(recv.err.find("This method is not supported."), std::string::npos) << recv.err;
  }
  // Nothing was switched on: "autorecv" stored nothing.
  const std::string stored = test::RegString(test::HKCU, kPelorinKey, "AutoReceive");
  EXPECT_TRUE(stored == "" || stored == "<no key>") << stored;
  // "recv" looked for a device first and logged why there was none, and
  // showed no fax-modem warning for it.
  std::string errors = world.Errors();
  EXPECT_NE(errors.find("mCommon.GetFaxName"), std::string::npos) << errors;
  // The fax server settings key most users never make is read quietly.
  EXPECT_EQ(errors.find("Pelorin\\FaxServer"), std::string::npos) << errors;
  EXPECT_EQ(test::TestWorld::ReadFile(world.ProgramDir() + "/brevant.log").find("frmWarning"),
            std::string::npos);
}

using QueueControlAsUsers = test::FaxUsers;

TEST_F(QueueControlAsUsers, OnlyAFaxAdministratorMayToggleAutomaticAnswering) {
  ASSERT_TRUE(daemon.Start());
  daemon.Call(Message("device_set").Set("id", 1).Set("receive_mode", 2).Set("rings", 3));
  std::string bin = test::BinDir();
  auto autorecv = [&](const test::TestUser& user) {
    test::UserHome home(user, shared.Path(), daemon.Socket());
    return home.Run(bin + "/brevant-reg add 'HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion'" +
                    " -v CurrentVersion -d 5.0 -f >/dev/null && " + bin + "/brevant autorecv; " + bin +
                    "/brevant-reg query 'HKCU\\Software\\Norvane\\Pelorin' -v AutoReceive");
  };
  // The service says an ordinary user may not change the port.
  std::string refused = autorecv(alice);
  EXPECT_NE(refused.find("You have no rights to change Fax Properties."), std::string::npos) << refused;
  EXPECT_EQ(refused.find("Auto Receive"), std::string::npos) << refused;
  EXPECT_EQ(refused.find("REG_SZ"), std::string::npos) << "nothing was stored: " << refused;
  Message device = daemon.Call(Message("devices")).Item(1);
  EXPECT_EQ(device.Get("receive_mode") + "/" + device.Get("rings"),
            std::to_string(faxsvc::kReceiveManual) + "/3");
  // An administrator may.
  std::string done = autorecv(boss);
  EXPECT_NE(done.find("Auto Receive ON"), std::string::npos) << done;
  EXPECT_NE(done.find("REG_SZ"), std::string::npos) << done;
  EXPECT_EQ(daemon.Call(Message("devices")).Item(1).GetInt("receive_mode"), faxsvc::kReceiveAuto);
}

}  // namespace
}  // namespace brevant
