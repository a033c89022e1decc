// Two of our media engines fax each other over 127.0.0.1: T.38 and G.711,
// through a relay that can lose datagrams or vanish, and what arrives is
// compared pixel for pixel with what was sent.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "faxservice/daemon/lines/sip/media/FaxMedia.h"
#include "faxservice/protocol/FaxTiff.h"
#include "tests/arrival/Marks.h"
#include "tests/modem/ModemTestSupport.h"
#include "tests/support/TestWorld.h"

namespace brevant::faxmedia {
namespace {

constexpr double kPace = 8;  // line time runs eight times faster than the clock

// Carries datagrams between two ends on two ports of its own: a end sends
// to APort(), b to BPort(). It drops each datagram with probability `loss`
// (seeded, so a failure can be replayed) and can vanish: from a chosen
// moment it carries nothing more, either way.
class Relay {
 public:
  Relay(double loss, std::uint32_t seed) : loss_(loss), random_(seed) {
    for (int i = 0; i < 2; ++i) {
      fd_[i] = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::bind(fd_[i], reinterpret_cast<sockaddr*>(&a), sizeof a);
      socklen_t len = sizeof a;
      ::getsockname(fd_[i], reinterpret_cast<sockaddr*>(&a), &len);
      port_[i] = ntohs(a.sin_port);
    }
  }
  ~Relay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : fd_) ::close(fd);
  }
  int APort() const { return port_[0]; }
  int BPort() const { return port_[1]; }
  void Connect(int aPort, int bPort) {
    peer_[0] = aPort;
    peer_[1] = bPort;
    thread_ = std::thread([this] { Run(); });
  }
  // Carries `more` more T.38 image datagrams from a, then nothing at all.
  void VanishAfterImage(int more) { vanishAt_ = imageFromA_ + more; }

 private:
  void Run() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    std::uint8_t buf[65536];
    pollfd p[2] = {{fd_[0], POLLIN, 0}, {fd_[1], POLLIN, 0}};
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      if (::poll(p, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        const ssize_t n = ::recv(fd_[i], buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) continue;
        // A UDPTL primary of image data: an IFP of data (0x40) that is not
        // V.21 (type 0).
        const std::size_t at = buf[2] & 0x80 ? 4 : 3;
        if (i == 0 && std::size_t(n) > at && (buf[at] & 0x40) && ((buf[at] >> 1) & 0x0F) != 0) ++imageFromA_;
        if (vanishAt_ >= 0 && imageFromA_ > vanishAt_) continue;
        if (std::uniform_real_distribution<double>(0, 1)(random_) < loss_) continue;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(std::uint16_t(peer_[1 - i]));
        ::sendto(fd_[1 - i], buf, std::size_t(n), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      }
    }
  }

  double loss_;
  std::mt19937 random_;
  int fd_[2] = {-1, -1}, port_[2] = {0, 0}, peer_[2] = {0, 0};
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<long> imageFromA_{0}, vanishAt_{-1};
};

// Counts what a session reported, on its loop thread.
struct Recorder : SessionEvents {
  std::atomic<int> confirmed{0}, received{0};
  std::function<void(int)> onReceived;
  std::function<void(FaxTone)> onTone;
  void PageConfirmed(int) override { ++confirmed; }
  void PageReceived(int pages) override {
    received = pages;
    if (onReceived) onReceived(pages);
  }
  void ToneHeard(FaxTone tone) override {
    if (onTone) onTone(tone);
  }
};

struct Scenario {
  Transport transport = Transport::kT38;
  bool ecm = true;
  Codec codec = Codec::kPcma;
  double loss = 0;
  bool sendFromB = false;  // b's engine sends (and places the call) instead of a's
  int pages = 3;
  int vanishAfterPage = -1;  // the receiver vanishes this many image datagrams into the page after it
};

struct Outcome {
  FaxReport sent, received;
  std::vector<faxsvc::FaxPage> document, arrived;
};

class FaxMediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    EngineOptions o;
    o.pace = kPace;
    o.silenceLimitMs = 8000;
    o.firstPort = 41000;
    o.lastPort = 41999;
    a_ = MediaEngine::Start(o, &why);
    b_ = MediaEngine::Start(o, &why);
    ASSERT_TRUE(a_ && b_) << why;
  }

  std::string Document(int pages) {
    const std::string path = world_.Root() + "/send-" + std::to_string(pages) + ".tif";
    if (access(path.c_str(), R_OK) != 0) {
      EXPECT_EQ(test::MarkedTiff(path, pages), path);
    }
    return path;
  }

  Outcome Run(const Scenario& s) {
    Outcome out;
    std::string why;
    auto sendCall = (s.sendFromB ? b_ : a_)->Open(&why);
    auto recvCall = (s.sendFromB ? a_ : b_)->Open(&why);
    EXPECT_TRUE(sendCall && recvCall) << why;
    if (!sendCall || !recvCall) return out;
    Relay relay(s.loss, 4242);
    relay.Connect(sendCall->LocalPort(), recvCall->LocalPort());

    FaxJob send;
    send.sendFile = Document(s.pages);
    send.localIdent = "+1 555 0100";
    send.ecm = s.ecm;
    FaxJob recv;
    recv.calling = false;
    recv.receiveFile = world_.Root() + "/received-" + std::to_string(++runs_) + ".tif";
    recv.localIdent = "+1 555 0199";
    recv.ecm = s.ecm;
    Recorder sendEvents, recvEvents;
    if (s.vanishAfterPage >= 0) {
      if (s.vanishAfterPage == 0) relay.VanishAfterImage(110);
      recvEvents.onReceived = [&](int pages) {
        if (pages == s.vanishAfterPage) relay.VanishAfterImage(90);
      };
    }
    const Endpoint toRecv{"127.0.0.1", relay.APort()}, toSend{"127.0.0.1", relay.BPort()};
    if (s.transport == Transport::kT38) {
      T38Params p;
      EXPECT_TRUE(recvCall->StartT38(toSend, p, recv, &recvEvents, &why)) << why;
      EXPECT_TRUE(sendCall->StartT38(toRecv, p, send, &sendEvents, &why)) << why;
    } else {
      AudioParams p{s.codec};
      EXPECT_TRUE(recvCall->StartAudio(toSend, p, recv, &recvEvents, &why)) << why;
      EXPECT_TRUE(sendCall->StartAudio(toRecv, p, send, &sendEvents, &why)) << why;
    }
    EXPECT_TRUE(sendCall->Wait(120'000));
    EXPECT_TRUE(recvCall->Wait(120'000));
    out.sent = sendCall->Report();
    out.received = recvCall->Report();
    EXPECT_EQ(int(out.sent.pagesConfirmed.size()), sendEvents.confirmed.load());
    faxsvc::ReadFaxPages(send.sendFile, &out.document, &why);
    faxsvc::ReadFaxPages(recv.receiveFile, &out.arrived, &why);
    return out;
  }

  // The fax arrived whole: every page confirmed, each received page the
  // page sent, pixel for pixel.
  void ExpectWhole(const Outcome& o, int pages, const std::string& what) {
    EXPECT_TRUE(o.sent.delivered) << what << ": " << o.sent.result;
    EXPECT_EQ(o.sent.result, "OK") << what;
    std::vector<int> all;
    for (int p = 1; p <= pages; ++p) all.push_back(p);
    EXPECT_EQ(o.sent.pagesConfirmed, all) << what;
    EXPECT_TRUE(o.received.delivered) << what << ": " << o.received.result;
    EXPECT_EQ(o.received.pagesReceived, pages) << what;
    EXPECT_EQ(o.sent.remoteIdent, "+1 555 0199") << what;
    EXPECT_EQ(o.received.remoteIdent, "+1 555 0100") << what;
    ASSERT_EQ(o.arrived.size(), std::size_t(pages)) << what;
    ASSERT_EQ(o.document.size(), std::size_t(pages)) << what;
    for (int i = 0; i < pages; ++i)  // 1.0 when the sizes differ
      EXPECT_EQ(faxsvc::PixelDifference(o.arrived[i], o.document[i]), 0.0) << what << " page " << i + 1;
  }

  test::TestWorld world_;
  std::unique_ptr<MediaEngine> a_, b_;
  int runs_ = 0;
};

TEST_F(FaxMediaTest, FaxesArriveWholeOverT38AndG711BothWays) {
  struct Case {
    std::string what;
    Scenario setup;
  };
  const std::vector<Case> cases = {
      {"T.38 with ECM, a to b", {Transport::kT38, true}},
      {"T.38 without ECM, b to a", {Transport::kT38, false, Codec::kPcma, 0, true}},
      {"G.711 A-law with ECM, a to b", {Transport::kAudio, true, Codec::kPcma}},
      {"G.711 mu-law without ECM, b to a", {Transport::kAudio, false, Codec::kPcmu, 0, true}},
  };
  for (const auto& c : cases) {
    const Outcome o = Run(c.setup);
    ExpectWhole(o, c.setup.pages, c.what);
    EXPECT_EQ(o.sent.transport, c.setup.transport) << c.what;
    EXPECT_EQ(o.sent.ecm, c.setup.ecm) << c.what;
    EXPECT_EQ(o.sent.bitRate, 14400) << c.what;
    if (c.setup.transport == Transport::kAudio) {
      // Every 20 ms of the call went out as one packet; none was lost here.
      EXPECT_NEAR(double(o.sent.rtp.sent), o.sent.lineSeconds * 50, 2) << c.what;
      EXPECT_EQ(o.received.rtp.lost, 0u) << c.what;
    }
  }
}

TEST_F(FaxMediaTest, T38SurvivesTenPercentLossEachWay) {
  // ECM and non-ECM pages through a relay that loses one datagram in ten
  // in each direction: redundancy rebuilds what was lost.
  for (bool ecm : {true, false}) {
    Scenario s;
    s.ecm = ecm;
    s.loss = 0.10;
    const Outcome o = Run(s);
    const std::string what = ecm ? "ECM" : "no ECM";
    ExpectWhole(o, 3, what);
    EXPECT_GT(o.received.udptl.recovered, 20u) << what;
  }
}

TEST_F(FaxMediaTest, AFarEndThatVanishesEndsTheFaxUndelivered) {
  // Gone during page 1: nothing confirmed. Gone during page 2: page 1
  // stays confirmed, and only page 1.
  for (int afterPage : {0, 1}) {
    Scenario s;
    s.vanishAfterPage = afterPage;
    const auto started = std::chrono::steady_clock::now();
    const Outcome o = Run(s);
    const std::string what = "vanished after page " + std::to_string(afterPage);
    EXPECT_FALSE(o.sent.delivered) << what;
    EXPECT_TRUE(o.sent.finished) << what;
    EXPECT_EQ(o.sent.pagesConfirmed, afterPage ? std::vector<int>{1} : std::vector<int>{}) << what;
    EXPECT_NE(o.sent.result, "OK") << what;
    EXPECT_FALSE(o.sent.result.empty()) << what;
    EXPECT_FALSE(o.received.delivered) << what;
    // T.30's timers or the engine's silence limit end it, in line time.
    EXPECT_LT(o.sent.lineSeconds, 60) << what;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << what;
  }
}

TEST_F(FaxMediaTest, AudioCallSwitchesToT38WhenFaxTonesAreHeard) {
  // What signalling does: the answerer hears the caller's CNG, re-INVITEs,
  // and both ends go on in T.38 on the same ports.
  std::string why;
  auto caller = a_->Open(&why), answerer = b_->Open(&why);
  ASSERT_TRUE(caller && answerer) << why;
  FaxJob send;
  send.sendFile = Document(2);
  send.localIdent = "caller";
  FaxJob recv;
  recv.calling = false;
  recv.receiveFile = world_.Root() + "/switched.tif";
  recv.localIdent = "answerer";
  const Endpoint toAnswerer{"127.0.0.1", answerer->LocalPort()}, toCaller{"127.0.0.1", caller->LocalPort()};
  Recorder callerEvents, answererEvents;
  std::atomic<int> switched{0};
  std::vector<FaxTone> heard;
  answererEvents.onTone = [&](FaxTone tone) {
    heard.push_back(tone);
    if (tone != FaxTone::kCng || switched++) return;
    std::string w;
    EXPECT_TRUE(answerer->StartT38(toCaller, T38Params{}, recv, &answererEvents, &w)) << w;
    EXPECT_TRUE(caller->StartT38(toAnswerer, T38Params{}, send, &callerEvents, &w)) << w;
  };
  ASSERT_TRUE(answerer->StartAudio(toCaller, AudioParams{}, recv, &answererEvents, &why)) << why;
  ASSERT_TRUE(caller->StartAudio(toAnswerer, AudioParams{}, send, &callerEvents, &why)) << why;
  ASSERT_TRUE(caller->Wait(120'000));
  ASSERT_TRUE(answerer->Wait(120'000));
  const FaxReport r = caller->Report();
  EXPECT_EQ(switched.load(), 1);
  EXPECT_EQ(heard.front(), FaxTone::kCng);
  EXPECT_EQ(r.transport, Transport::kT38);
  EXPECT_TRUE(r.delivered) << r.result;
  EXPECT_EQ(r.pagesConfirmed, (std::vector<int>{1, 2}));
  std::vector<faxsvc::FaxPage> sent, arrived;
  ASSERT_TRUE(faxsvc::ReadFaxPages(send.sendFile, &sent, &why));
  ASSERT_TRUE(faxsvc::ReadFaxPages(recv.receiveFile, &arrived, &why)) << why;
  ASSERT_EQ(arrived.size(), 2u);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(faxsvc::PixelDifference(arrived[i], sent[i]), 0.0) << "page " << i + 1;
}

TEST_F(FaxMediaTest, PortsCancelAndBadRequestsEndClearly) {
  // A range of two ports: the third call finds none, and a port comes free
  // again when its call closes.
  std::string why;
  EngineOptions o;
  o.firstPort = 42100;
  o.lastPort = 42103;
  o.pace = kPace;
  auto engine = MediaEngine::Start(o, &why);
  ASSERT_TRUE(engine) << why;
  auto one = engine->Open(&why);
  auto two = engine->Open(&why);
  ASSERT_TRUE(one && two) << why;
  EXPECT_EQ(engine->Open(&why), nullptr);
  EXPECT_EQ(why, "No free media port in 42100-42103 (2 in use by fax calls)");
  const int freed = two->LocalPort();
  two.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the loop closes the socket
  auto again = engine->Open(&why);
  ASSERT_TRUE(again) << why;
  EXPECT_EQ(again->LocalPort(), freed);

  FaxJob job;
  job.sendFile = world_.Root() + "/missing.tif";
  EXPECT_FALSE(one->StartT38({"127.0.0.1", 9}, T38Params{}, job, nullptr, &why));
  EXPECT_EQ(why, "Cannot read the fax document " + job.sendFile);
  job.sendFile = Document(1);
  job.firstPage = 2;
  EXPECT_FALSE(one->StartT38({"127.0.0.1", 9}, T38Params{}, job, nullptr, &why));
  EXPECT_EQ(why, "The fax document has no page 2");
  job.firstPage = 1;
  EXPECT_FALSE(one->StartAudio({"fax.example", 9}, AudioParams{}, job, nullptr, &why));
  EXPECT_EQ(why, "The far end's media address fax.example:9 is not a numeric address and port");

  // A call nobody answers is cancelled: not delivered, and it says why.
  ASSERT_TRUE(one->StartT38({"127.0.0.1", again->LocalPort()}, T38Params{}, job, nullptr, &why)) << why;
  EXPECT_FALSE(one->Wait(300));
  one->Cancel();
  ASSERT_TRUE(one->Wait(5000));
  EXPECT_EQ(one->Report().result, "Cancelled");
  EXPECT_FALSE(one->Report().delivered);
  EXPECT_TRUE(one->Report().pagesConfirmed.empty());

  // One nobody answers and nobody cancels ends by itself.
  ASSERT_TRUE(again->StartAudio({"127.0.0.1", 9}, AudioParams{}, job, nullptr, &why)) << why;
  ASSERT_TRUE(again->Wait(60'000));
  EXPECT_EQ(again->Report().result, "The far end sent nothing for 30 s");
  EXPECT_FALSE(again->Report().delivered);
}

}  // namespace
}  // namespace brevant::faxmedia
