// Our Class 1 driver against efax, a fax program no one here wrote, on the
// other modem of the emulated line: the pages each side received, pixel for
// pixel, and what each side says about the call.
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/modem/ModemTestSupport.h"
#include "tests/support/TestWorld.h"
#include "tools/brevant-faxd/ModemLine.h"

namespace fs = std::filesystem;
using namespace brevant::faxd;
using namespace brevant::test;

namespace {

constexpr const char* kEfaxId = "+1 555 0300";
constexpr const char* kOurId = "+49 30 1234";

class Efax : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/bin/efax")) GTEST_SKIP() << "efax is not installed";
  }
  // efax answering on B, pages to got.NNN.
  std::unique_ptr<Program> Receive(const ModemPair& pair) { return EfaxReceiver(pair.B(), world_.Root(), kEfaxId); }
  ModemSettings Ours(const ModemPair& pair) {
    ModemSettings s;
    s.device = pair.A();
    s.stationId = kOurId;
    return s;
  }
  TestWorld world_;
};

}  // namespace

TEST_F(Efax, ReceivesOnePageWeSendAtFineResolutionOverV17) {
  ModemPair pair(world_.Root());
  ASSERT_TRUE(pair.Started());
  auto pages = TestPages(1, true);
  std::string doc = world_.Root() + "/doc.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));
  auto efax = Receive(pair);
  ModemCallResult r = SendFax(Ours(pair), "5550300", doc);
  EXPECT_EQ(efax->Wait(60), 0) << efax->Output();
  EXPECT_TRUE(r.ok) << r.result;
  EXPECT_EQ(r.pagesSent, 1);
  EXPECT_EQ(r.bitRate, 14400);
  EXPECT_EQ(r.remoteIdent, kEfaxId);
  EXPECT_TRUE(SamePages(pages, EfaxPages(world_.Root() + "/got")));
  // efax logs the caller's TSI as "remote ID ->" and the id, right-aligned.
  std::string log = efax->Output();
  size_t at = log.find("remote ID ->");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.substr(at, log.find('\n', at) - at).find(kOurId) != std::string::npos, true) << log;
}

TEST_F(Efax, ReceivesFivePagesWeSendAtNormalResolutionOverV29) {
  ModemPair pair(world_.Root());
  ASSERT_TRUE(pair.Started());
  auto pages = TestPages(5, false);
  std::string doc = world_.Root() + "/doc.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));
  auto efax = Receive(pair);
  ModemSettings line = Ours(pair);
  line.maxRate = 9600;
  ModemCallResult r = SendFax(line, "5550300", doc);
  EXPECT_EQ(efax->Wait(120), 0) << efax->Output();
  EXPECT_TRUE(r.ok) << r.result;
  EXPECT_EQ(r.pagesSent, 5);
  EXPECT_EQ(r.bitRate, 9600);
  EXPECT_TRUE(SamePages(pages, EfaxPages(world_.Root() + "/got")));
}

TEST_F(Efax, SendsTwoPagesWeStoreWithItsStationId) {
  ModemPair pair(world_.Root());
  ASSERT_TRUE(pair.Started());
  auto pages = TestPages(2, true);
  // efax takes one file per page.
  std::vector<std::string> argv = {"efax", "-d", pair.A(), "-o1", "-l", kEfaxId, "-t", "5550200"};
  for (size_t p = 0; p < pages.size(); ++p) {
    argv.push_back(world_.Root() + "/page" + std::to_string(p + 1) + ".tif");
    ASSERT_TRUE(WriteG3Tiff(argv.back(), {pages[p]}));
  }
  std::string got = world_.Root() + "/got.tif";
  ModemSettings line = Ours(pair);
  line.device = pair.B();
  ModemCallResult r;
  std::thread rx([&] { r = ReceiveFax(line, got, 90); });
  Program efax(argv, world_.Root(), world_.Root() + "/efax.log");
  int code = efax.Wait(90);
  rx.join();
  EXPECT_EQ(code, 0) << efax.Output();
  EXPECT_TRUE(r.ok) << r.result;
  EXPECT_EQ(r.pagesReceived, 2);
  EXPECT_EQ(r.callerIdent, kEfaxId);
  // efax puts a header band of its own (date, station, page) above each page.
  EXPECT_TRUE(SamePages(pages, ReadPages(got), 32));
}

TEST_F(Efax, HangingUpAfterThePageItConfirmedEndsOurCall) {
  ModemPair pair(world_.Root(), {"--hangup-after", "1"});
  ASSERT_TRUE(pair.Started());
  auto pages = TestPages(3, true);
  std::string doc = world_.Root() + "/doc.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));
  auto efax = Receive(pair);
  ModemCallResult r = SendFax(Ours(pair), "5550300", doc);
  efax->Wait(60);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.farEndHungUp);
  EXPECT_EQ(r.failure, LineFailure::kFarEndHungUp);
  EXPECT_EQ(r.pagesSent, 1);
  EXPECT_EQ(r.result.rfind("The far end hung up after page 1", 0), 0u) << r.result;
  EXPECT_TRUE(SamePages({pages[0]}, EfaxPages(world_.Root() + "/got")));
}
