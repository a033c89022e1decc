// Our Class 1 driver against a HylaFAX server (faxgetty on the other modem
// of the emulated line, faxq and hfaxd beside it), both ways, with and
// without error correction: the pages each side received, pixel for pixel.
// HylaFAX's spool is system-wide, so these tests take turns (RESOURCE_LOCK).
#include <algorithm>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "tests/modem/ModemTestSupport.h"
#include "tests/support/TestWorld.h"
#include "tools/brevant-faxd/ModemLine.h"

using namespace brevant::faxd;
using namespace brevant::test;

namespace {

constexpr const char* kOurId = "+49 30 1234";

class HylaFaxLine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!HylaFax::Available(&why)) GTEST_SKIP() << why;
  }
  // The line and HylaFAX on its modem A; `line` shapes the line.
  ::testing::AssertionResult Start(const std::vector<std::string>& line = {}) {
    pair_ = std::make_unique<ModemPair>(world_.Root(), line);
    if (!pair_->Started()) return ::testing::AssertionFailure() << "modem-pair did not start";
    hylafax_ = std::make_unique<HylaFax>(pair_->A());
    if (!hylafax_->Running()) return ::testing::AssertionFailure() << hylafax_->Why();
    before_ = hylafax_->Received();
    return ::testing::AssertionSuccess();
  }
  void TearDown() override {
    // The faxes this test made HylaFAX receive go again; its servers stop
    // while the line still exists.
    if (hylafax_ && hylafax_->Running()) hylafax_->RemoveReceivedSince(before_);
    hylafax_.reset();
    pair_.reset();
  }
  ModemSettings Ours() {
    ModemSettings s;
    s.device = pair_->B();
    s.stationId = kOurId;
    return s;
  }
  // HylaFAX sends `pages` to us; our answer and what we stored.
  ModemCallResult Receive(const ModemSettings& line, const std::vector<brevant::faxsvc::FaxPage>& pages,
                          bool fine, std::string* got) {
    std::string doc = world_.Root() + "/doc.tif";
    *got = world_.Root() + "/got.tif";
    EXPECT_TRUE(WriteG3Tiff(doc, pages));
    ModemCallResult r;
    std::thread rx([&] { r = ReceiveFax(line, *got, 120); });
    std::string out;
    EXPECT_TRUE(hylafax_->Send(doc, fine, &out)) << out;
    rx.join();
    // HylaFAX files its job as done after the call; the line must last that long.
    EXPECT_TRUE(hylafax_->WaitJobsDone(30));
    return r;
  }
  TestWorld world_;
  std::unique_ptr<ModemPair> pair_;
  std::unique_ptr<HylaFax> hylafax_;
  std::vector<std::string> before_;
};

}  // namespace

TEST_F(HylaFaxLine, ReceivesWhatWeSendWithErrorCorrectionOverV17) {
  ASSERT_TRUE(Start());
  auto pages = TestPages(1, true);
  std::string doc = world_.Root() + "/doc.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));
  ModemCallResult r = SendFax(Ours(), "5550200", doc);
  EXPECT_TRUE(r.ok) << r.result << "; faxgetty: " << HylaFax::ModemState();
  EXPECT_EQ(r.pagesSent, 1);
  EXPECT_EQ(r.bitRate, 14400);
  EXPECT_EQ(r.remoteIdent, HylaFax::Station());
  std::string file = hylafax_->WaitReceived(before_, 1, 30);
  ASSERT_FALSE(file.empty());
  EXPECT_TRUE(SamePages(pages, ReadPages(file)));
  // Our partial page signal (PPS) went out: the pages travelled in ECM frames.
  EXPECT_NE(pair_->Trace().find("B -> <FF><13><BF>"), std::string::npos);
}

TEST_F(HylaFaxLine, ReceivesWhatWeSendWithoutErrorCorrectionOverV29) {
  ASSERT_TRUE(Start());
  auto pages = TestPages(2, false);
  std::string doc = world_.Root() + "/doc.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));
  ModemSettings line = Ours();
  line.ecm = false;
  line.maxRate = 9600;
  ModemCallResult r = SendFax(line, "5550200", doc);
  EXPECT_TRUE(r.ok) << r.result << "; faxgetty: " << HylaFax::ModemState();
  EXPECT_EQ(r.pagesSent, 2);
  EXPECT_EQ(r.bitRate, 9600);
  std::string file = hylafax_->WaitReceived(before_, 2, 30);
  ASSERT_FALSE(file.empty());
  EXPECT_TRUE(SamePages(pages, ReadPages(file)));
  EXPECT_EQ(pair_->Trace().find("B -> <FF><13><BF>"), std::string::npos);
}

TEST_F(HylaFaxLine, SendsUsOnePageWithErrorCorrection) {
  ASSERT_TRUE(Start());
  auto pages = TestPages(1, true);
  std::string got;
  ModemCallResult r = Receive(Ours(), pages, true, &got);
  EXPECT_TRUE(r.ok) << r.result;
  EXPECT_EQ(r.pagesReceived, 1);
  EXPECT_EQ(r.bitRate, 14400);
  EXPECT_EQ(r.callerIdent, HylaFax::Station());
  EXPECT_TRUE(SamePages(pages, ReadPages(got)));
  EXPECT_NE(pair_->Trace().find("A -> <FF><13><BF>"), std::string::npos);
}

TEST_F(HylaFaxLine, SendsUsFivePagesWithoutErrorCorrectionOverV29) {
  // Without error correction a page has no second chance: at twice real
  // time at most, so that HylaFAX keeps its modem fed on a busy machine.
  ASSERT_TRUE(Start({"--pace", std::to_string(std::min(Pace(), 2.0))}));
  auto pages = TestPages(5, false);
  ModemSettings line = Ours();
  line.ecm = false;
  line.maxRate = 9600;
  std::string got;
  ModemCallResult r = Receive(line, pages, false, &got);
  EXPECT_TRUE(r.ok) << r.result;
  EXPECT_EQ(r.pagesReceived, 5);
  EXPECT_EQ(r.bitRate, 9600);
  EXPECT_TRUE(SamePages(pages, ReadPages(got)));
}
