// Our G.711 session against an independent fax program: efax on an
// emulated Class 1 modem whose line audio modem-pair carries as RTP
// (--rtp), both ways, at the emulated line's pace.
#include <gtest/gtest.h>

#include <thread>

#include "faxservice/daemon/lines/sip/media/FaxMedia.h"
#include "tests/modem/ModemTestSupport.h"
#include "tests/support/TestWorld.h"

namespace brevant::faxmedia {
namespace {

using test::ModemPair;
using test::Program;

// "127.0.0.1:PORT", as modem-pair names its RTP side.
Endpoint Bridge(const ModemPair& line) {
  const auto colon = line.B().rfind(':');
  return {line.B().substr(0, colon), std::atoi(line.B().c_str() + colon + 1)};
}

TEST(EfaxBridge, EfaxAndOurAudioSessionFaxEachOther) {
  test::TestWorld world;
  const std::string dir = world.Root();
  std::string why;
  EngineOptions o;
  o.pace = test::Pace();
  o.firstPort = 44000;
  o.lastPort = 44999;
  auto engine = MediaEngine::Start(o, &why);
  ASSERT_TRUE(engine) << why;
  const auto pages = test::TestPages(2, true);

  {  // efax calls and sends; our session answers (A-law)
    auto call = engine->Open(&why);
    ASSERT_TRUE(call) << why;
    ModemPair line(dir, {"--rtp", std::to_string(call->LocalPort())});
    ASSERT_TRUE(line.Started()) << line.Trace();
    std::vector<std::string> argv = {"efax", "-d", line.A(), "-o1", "-l", "+1 555 0123", "-t", "5550100"};
    for (std::size_t p = 0; p < pages.size(); ++p) {
      argv.push_back(dir + "/page" + std::to_string(p + 1) + ".tif");
      ASSERT_TRUE(test::WriteG3Tiff(argv.back(), {pages[p]}));
    }
    Program efax(argv, dir, dir + "/efax-send.log");
    // The far end answers when the call comes in, as a SIP peer would.
    for (int i = 0; i < 600 && line.Trace().find("A dials") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FaxJob recv;
    recv.calling = false;
    recv.receiveFile = dir + "/from-efax.tif";
    recv.localIdent = "+1 555 0100";
    ASSERT_TRUE(call->StartAudio(Bridge(line), AudioParams{}, recv, nullptr, &why)) << why;
    EXPECT_EQ(efax.Wait(180), 0) << efax.Output();
    ASSERT_TRUE(call->Wait(60'000));
    const FaxReport r = call->Report();
    EXPECT_TRUE(r.delivered) << r.result;
    EXPECT_EQ(r.pagesReceived, 2);
    EXPECT_EQ(r.remoteIdent, "+1 555 0123");
    std::vector<faxsvc::FaxPage> got;
    ASSERT_TRUE(faxsvc::ReadFaxPages(recv.receiveFile, &got, &why)) << why;
    EXPECT_TRUE(test::SamePages(pages, got, 32));  // below efax's header band
  }
  {  // our session calls (mu-law) and sends; efax answers at the first ring
    auto call = engine->Open(&why);
    ASSERT_TRUE(call) << why;
    ModemPair line(dir, {"--rtp", std::to_string(call->LocalPort()), "--pcmu"});
    ASSERT_TRUE(line.Started()) << line.Trace();
    auto efax = test::EfaxReceiver(line.A(), dir, "+1 555 0177");
    FaxJob send;
    send.sendFile = dir + "/to-efax.tif";
    send.localIdent = "+1 555 0100";
    ASSERT_TRUE(faxsvc::WriteFaxTiff(send.sendFile, pages, "", &why)) << why;
    ASSERT_TRUE(call->StartAudio(Bridge(line), AudioParams{Codec::kPcmu}, send, nullptr, &why)) << why;
    ASSERT_TRUE(call->Wait(180'000));
    const FaxReport r = call->Report();
    EXPECT_TRUE(r.delivered) << r.result << "\n" << efax->Output();
    EXPECT_EQ(r.pagesConfirmed, (std::vector<int>{1, 2}));
    EXPECT_EQ(r.remoteIdent, "+1 555 0177");
    efax->Wait(30);
    EXPECT_TRUE(test::SamePages(pages, test::EfaxPages(dir + "/got")));
  }
}

}  // namespace
}  // namespace brevant::faxmedia
