// brevant-faxd's modem line and a HylaFAX server on the other modem of the
// emulated telephone line: the service files what HylaFAX sends in its
// store, answered by hand ("recv"), pixel for pixel as HylaFAX sent it.
// Without error correction over V.29, at twice real time at most, so that
// faxgetty keeps its modem fed on a busy machine (with error correction
// HylaFAX meets our driver both ways in modem_hylafax_service_tests; the
// service's line sends to efax in modem_service_tests).
#include <algorithm>

#include <gtest/gtest.h>

#include "tests/modem/ServiceLineFixture.h"

using brevant::faxsvc::Message;
using namespace brevant;
using namespace brevant::test;

namespace {

class ServiceHylaFax : public ServiceLine {
 protected:
  bool FarEndInstalled(std::string* why) override { return HylaFax::Available(why); }
};

}  // namespace

TEST_F(ServiceHylaFax, SendsThreeNormalPagesThatRecvAnswersAndTheStoreFiles) {
  // HylaFAX on modem A; the service's line on B answers by hand only.
  auto pair = Pair("h", {"--pace", std::to_string(std::min(Pace(), 2.0))});
  HylaFax hylafax(pair->A());  // stops before its line goes
  ASSERT_TRUE(hylafax.Running()) << hylafax.Why();
  ASSERT_TRUE(HylaFax::WaitIdle(60)) << "faxgetty: " << HylaFax::ModemState();
  std::string line =
      AddLine(Link("h", 'B'), Message("line_add").Set("max_rate", "9600").Set("ecm", "off").Set("receive", "manual"));
  auto pages = TestPages(3, false);
  std::string out;
  ASSERT_TRUE(hylafax.Send(Doc("three.tif", pages), false, &out)) << out;

  // The call rings on the line and waits for someone to answer it.
  auto ringing = [&] {
    for (const Message& d : daemon_.Call(Message("devices")).Items())
      if (d.Get("id") == line) return d.GetInt("ringing") != 0;
    return false;
  };
  ASSERT_TRUE(WaitFor(ringing, 60)) << "faxgetty: " << HylaFax::ModemState();
  EXPECT_TRUE(Archive("in").empty());
  SetWindowsVersion("5.1");
  EXPECT_EQ(world_.RunTool("brevant", "recv").exitCode, 0);

  ASSERT_TRUE(WaitFor([&] { return Archive("in").size() == 1; }, 120)) << ModemLog(line);
  Message in = Archive("in")[0];
  EXPECT_EQ(in.Get("result"), "OK");
  EXPECT_EQ(in.Get("tsid"), HylaFax::Station());
  EXPECT_EQ(in.GetInt("pages"), 3);
  EXPECT_EQ(in.GetInt("bitrate"), 9600);
  EXPECT_EQ(in.Get("modem"), "spandsp on " + Link("h", 'B'));
  EXPECT_TRUE(SamePages(pages, ReadPages(in.Get("path"))));
  EXPECT_TRUE(hylafax.WaitJobsDone(30));
}
