// brevant-faxd's modem line and a HylaFAX server on the other modem of the
// emulated telephone line: the service sends through its queue and files
// what HylaFAX sends in its store, answered by hand ("recv"). Pixel for
// pixel, as HylaFAX received or sent them. HylaFAX's spool is system-wide:
// these tests take turns with the driver's (RESOURCE_LOCK hylafax).
#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "tests/modem/ServiceLineFixture.h"

using brevant::faxsvc::Message;
using namespace brevant;
using namespace brevant::test;

namespace {

class ServiceHylaFax : public ServiceLine {
 protected:
  bool FarEndInstalled(std::string* why) override { return HylaFax::Available(why); }
  // The line (HylaFAX on modem A, the service on B); `options` shape it.
  ::testing::AssertionResult Start(const std::vector<std::string>& options = {}) {
    pair_ = Pair("h", options);
    if (!pair_->Started()) return ::testing::AssertionFailure() << "modem-pair did not start";
    hylafax_ = std::make_unique<HylaFax>(pair_->A());
    if (!hylafax_->Running()) return ::testing::AssertionFailure() << hylafax_->Why();
    before_ = hylafax_->Received();
    // faxgetty answers only once it has its modem ready.
    if (!WaitFor([] { return HylaFax::ModemState().find("idle") != std::string::npos; }, 60))
      return ::testing::AssertionFailure() << "faxgetty: " << HylaFax::ModemState();
    return ::testing::AssertionSuccess();
  }
  void TearDown() override {
    if (hylafax_ && hylafax_->Running()) hylafax_->RemoveReceivedSince(before_);
    hylafax_.reset();
    pair_.reset();
  }
  std::unique_ptr<ModemPair> pair_;
  std::unique_ptr<HylaFax> hylafax_;
  std::vector<std::string> before_;
};

}  // namespace

TEST_F(ServiceHylaFax, ReceivesFiveNormalPagesTheServiceSendsOverV29WithoutErrorCorrection) {
  // At twice real time at most: faxgetty answers the call in time and keeps
  // its modem fed without error correction on a busy machine.
  ASSERT_TRUE(Start({"--pace", std::to_string(std::min(Pace(), 2.0))}));
  Message settings("line_add");
  settings.Set("max_rate", "9600").Set("ecm", "off");
  AddLine(Link("h", 'B'), settings);
  auto pages = TestPages(5, false);
  std::string job = Submit(Doc("five.tif", pages), "+1 (555) 0200");
  Message j = Settled(job, 240);
  EXPECT_EQ(j.GetInt("status"), faxsvc::kJobCompleted) << j.Get("error") << "; faxgetty: " << HylaFax::ModemState();
  std::string file = hylafax_->WaitReceived(before_, 5, 30);
  ASSERT_FALSE(file.empty());
  EXPECT_TRUE(SamePages(pages, ReadPages(file)));
  auto sent = Archive("out");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].GetInt("pages"), 5);
  EXPECT_EQ(sent[0].GetInt("bitrate"), 9600);
  EXPECT_EQ(sent[0].Get("csid"), HylaFax::Station());
  // No partial page signal: the pages went without error correction.
  EXPECT_EQ(pair_->Trace().find("B -> <FF><13><BF>"), std::string::npos);
}

TEST_F(ServiceHylaFax, SendsAFinePageWithErrorCorrectionThatRecvAnswersAndTheStoreFiles) {
  ASSERT_TRUE(Start());
  Message settings("line_add");
  settings.Set("receive", "manual");
  std::string line = AddLine(Link("h", 'B'), settings);
  auto pages = TestPages(1, true);
  std::string out;
  ASSERT_TRUE(hylafax_->Send(Doc("one.tif", pages), true, &out)) << out;

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

  ASSERT_TRUE(WaitFor([&] { return Archive("in").size() == 1; }, 90)) << ModemLog(line);
  Message in = Archive("in")[0];
  EXPECT_EQ(in.Get("result"), "OK");
  EXPECT_EQ(in.Get("tsid"), HylaFax::Station());
  EXPECT_EQ(in.GetInt("pages"), 1);
  EXPECT_EQ(in.GetInt("bitrate"), 14400);
  EXPECT_EQ(in.Get("modem"), "spandsp on " + Link("h", 'B'));
  EXPECT_TRUE(SamePages(pages, ReadPages(in.Get("path"))));
  // HylaFAX's partial page signals: the page came in error correction frames.
  EXPECT_NE(pair_->Trace().find("A -> <FF><13><BF>"), std::string::npos);
  EXPECT_TRUE(hylafax_->WaitJobsDone(30));
}
