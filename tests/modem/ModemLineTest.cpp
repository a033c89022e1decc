// The Class 1 driver on the emulated telephone line: dial strings, calls
// between two of our own ends (error correction, a noisy line) and the line
// refusing a call or no call coming.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <vector>

#include "faxservice/daemon/lines/class1/ModemLine.h"
#include "tests/modem/ModemTestSupport.h"
#include "tests/support/TestWorld.h"

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

}  // namespace

TEST(ModemDial, DialCharactersBecomeModifiersAfterThePrefixAndOthersAreRefused) {
  struct Case {
    const char *prefix, *number;
    bool pulse;
    const char* result;  // the dial command, or why the number is refused
  } cases[] = {
      {"", "+49 (30) 555-1234", false, "DT49305551234"},
      {"0,", "9w555p12,34d#", false, "DT0,9W555P12,34W#"},
      {"0,", "555.0100", true, "DP0,5550100"},
      {"", "555 CALL ME", false, "the fax number \"555 CALL ME\" holds 'C', which is not a dial character"},
      {"", "p, w", false, "the fax number \"p, w\" has no digits to dial"},
      {"9;", "5550100", false, "the dial prefix \"9;\" holds ';', which is not a dial character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    ModemSettings line;
    line.dialPrefix = c.prefix;
    line.pulse = c.pulse;
    std::string cmd, why;
    bool ok = DialCommand(line, c.number, &cmd, &why);
    EXPECT_EQ(ok ? cmd : why, c.result);
    EXPECT_EQ(ok, c.result[0] == 'D');
  }
}

// Pages between our own ends with error correction: on a clean line, and
// on a noisy one overcome by falling back or by resending frames.
TEST(ModemCall, OurOwnEndsExchangePagesOnCleanAndNoisyLines) {
  struct Noise {
    const char* garble;  // modem-pair's --garble
    int bitRate;         // the rate the pages went at
    const char* signal;  // a frame that shows on the line
  } cases[] = {
      // Partial page signals (PPS, the caller's with the X bit set) only
      // exist in error correction mode.
      {"", 14400, "A -> <FF><13><BF>"},
      // Over the training check once the modems have trained: the receiver
      // answers FTT (failure to train) and the sender falls back a rate.
      {"1:1800:500", 12000, "B -> <FF><13>D"},
      // Over the first page's frames: the receiver asks for the lost frames
      // again (PPR, partial page request).
      {"2:300:400", 14400, "B -> <FF><13><BC>"},
  };
  TestWorld world;
  auto pages = TestPages(3, true);
  std::string doc = world.Root() + "/doc.tif", got = world.Root() + "/got.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.garble);
    std::vector<std::string> options;
    if (*c.garble) options = {"--garble", c.garble};
    ModemPair pair(world.Root(), options);
    ASSERT_TRUE(pair.Started());
    std::vector<int> received, confirmed;
    CallHooks rxHooks, txHooks;
    rxHooks.onPage = [&](int n) { received.push_back(n); };
    txHooks.onPage = [&](int n) { confirmed.push_back(n); };
    auto rx = std::async(std::launch::async,
                         [&] { return ReceiveFax(Line(pair.B(), "+49 30 2222"), got, 60, rxHooks); });
    ModemCallResult sent = SendFax(Line(pair.A(), "+49 30 1111"), "5550200", doc, txHooks);
    ModemCallResult in = rx.get();
    EXPECT_TRUE(sent.ok && in.ok) << sent.result << " / " << in.result;
    EXPECT_EQ(sent.bitRate, c.bitRate);
    EXPECT_EQ(sent.remoteIdent, "+49 30 2222");
    EXPECT_EQ(in.callerIdent, "+49 30 1111");
    EXPECT_EQ(confirmed, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(received, (std::vector<int>{1, 2, 3}));
    EXPECT_NE(pair.Trace().find(c.signal), std::string::npos);
    EXPECT_TRUE(SamePages(pages, ReadPages(got)));
  }
}

TEST(ModemCall, TheLineRefusingOrNoCallIsReportedAsSuch) {
  TestWorld world;
  // The first call finds no dial tone, the second a busy line, the third
  // rings out: nobody answers on B.
  ModemPair pair(world.Root(), {"--no-dialtone", "1", "--busy", "1", "--rings", "2", "--ring-seconds", "2"});
  ASSERT_TRUE(pair.Started());
  std::string doc = world.Root() + "/doc.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, TestPages(1, true)));
  ModemSettings line = Line(pair.A(), "");

  ModemCallResult r;
  const std::pair<LineFailure, std::string> failures[] = {{LineFailure::kNoDialTone, "No dial tone"},
                                                          {LineFailure::kBusy, "The line is busy"},
                                                          {LineFailure::kNoAnswer, "No answer"}};
  for (const auto& [failure, result] : failures) {
    r = SendFax(line, "5550200", doc);
    EXPECT_EQ(r.failure, failure);
    EXPECT_EQ(r.result, result);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.pagesSent, 0);
  }
  EXPECT_NE(pair.Trace().find("B <- RING"), std::string::npos);

  r = SendFax(line, "555 CALL ME", doc);
  EXPECT_EQ(r.failure, LineFailure::kBadNumber);

  // Waiting for a call that does not come stores nothing.
  std::string got = world.Root() + "/got.tif";
  r = ReceiveFax(Line(pair.B(), ""), got, 1.5);
  EXPECT_EQ(r.failure, LineFailure::kNoCall);
  EXPECT_EQ(r.result, "No call came in");
  EXPECT_FALSE(fs::exists(got));
}
