// A SIP line of brevant-faxd faxing independent fax programs (efax, the
// HylaFAX server) both ways: our line -> Kamailio -> a SIP peer whose
// stream is modem-pair's RTP side -> the emulated line -> the far end's
// modem. The peer takes no T.38: straight through the provider each call
// also proves the fall-back to G.711; behind the provider's gateway
// (rtpengine) our line faxes in T.38 and the far end in G.711 audio, the
// gateway converting in real time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "faxservice/client/FaxService.h"
#include "faxservice/daemon/lines/sip/signalling/SipAccount.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/modem/ModemTestSupport.h"
#include "tests/support/SipWorld.h"

using brevant::faxsvc::Message;
using namespace brevant;
using namespace brevant::test;

namespace {

constexpr const char* kOurNumber = "5551001";
constexpr const char* kFarNumber = "5552002";

// The far end's SIP side: answers every call and places one on request,
// always describing modem-pair's RTP port as its stream.
struct BridgePeer : sip::SipListener {
  BridgePeer(const SipWorld& provider, int rtpPort) {
    sip::AccountSettings s;
    s.registrar = provider.Registrar();
    s.user = "bob";
    s.password = "secretB";
    s.number = kFarNumber;
    s.t38 = false;
    s.localAddress = "127.0.0.1";
    s.sipPort = 0;
    s.takeMediaPort = [rtpPort] { return rtpPort; };
    s.releaseMediaPort = [](int) {};
    std::string why;
    account = sip::SipAccount::Create(stack, s, *this, &why);
    EXPECT_TRUE(account) << why;
  }
  void IncomingCall(const std::shared_ptr<sip::SipCall>& call) override { call->Answer(); }
  sip::SipStack stack;
  std::unique_ptr<sip::SipAccount> account;
};

// The provider, the emulated line behind the bridge peer, and the service
// with our SIP line (T.38 on). Through the gateway everything runs in real
// time, as rtpengine converts, and the pages go at normal resolution (half
// the line time); straight through at the emulator's pace, at fine.
class Chain {
 public:
  explicit Chain(bool gateway) : gateway_(gateway) {}

  void Start() {
    const double pace = gateway_ ? 1 : Pace();
    provider_ = std::make_unique<SipWorld>(
        dir, std::vector<SipUser>{{"alice", "secretA", {kOurNumber}}, {"bob", "secretB", {kFarNumber}}},
        SipWorld::Options{.t38Gateway = gateway_});
    ASSERT_TRUE(provider_->Running()) << provider_->Log();
    // The bridge sends where the far end's media comes from: our line's
    // port, or the gateway's relay port.
    line = std::make_unique<ModemPair>(
        dir, std::vector<std::string>{"--rtp", "0", "--pace", std::to_string(pace)});
    ASSERT_TRUE(line->Started()) << line->Trace();
    peer_ = std::make_unique<BridgePeer>(*provider_,
                                         std::atoi(line->B().substr(line->B().rfind(':') + 1).c_str()));
    ASSERT_TRUE(WaitFor(
        [&] { return peer_->account->CurrentRegistration().state == sip::RegistrationState::kRegistered; },
        10));

    ASSERT_TRUE(daemon.Start());
    daemon.Call(Message("line_remove").Set("id", 1));
    daemon.Call(Message("line_set").Set("retries", "0").Set("ring_seconds", "1"));
    const int ours = 31000 + (getpid() % 400) * 4;
    Message added = daemon.Call(Message("line_add")
                                    .Set("kind", "sip")
                                    .Set("registrar", provider_->Registrar())
                                    .Set("user", "alice")
                                    .Set("password", "secretA")
                                    .Set("number", kOurNumber)
                                    .Set("sip_port", "0")
                                    .Set("local_address", "127.0.0.1")
                                    .Set("rings", "1")
                                    .Set("pace", std::to_string(pace))
                                    .Set("ports", std::to_string(ours) + "-" + std::to_string(ours + 1)));
    ASSERT_EQ(added.Get("ok"), "1") << added.Get("error");
    ASSERT_TRUE(
        WaitFor([&] { return daemon.Call(Message("lines")).Get("1.status").rfind("ready:", 0) == 0; }, 15));
  }

  // Our line sends the pages to the far end's number; what the service
  // archived of the call. `farEnd`: the far end's log, for failures.
  Message Send(const std::vector<faxsvc::FaxPage>& pages, const std::function<std::string()>& farEnd) {
    std::string doc = dir + "/doc.tif", why;
    EXPECT_TRUE(faxsvc::WriteFaxTiff(doc, pages, "", &why)) << why;
    const std::string number = (gateway_ ? SipWorld::kDecodeT38 : "") + std::string(kFarNumber);
    const std::string id = daemon.Call(Message("submit").Set("file", doc).Set("number", number)).Get("id");
    EXPECT_TRUE(daemon.WaitJob(id, faxsvc::kJobCompleted, 240))
        << daemon.Job(id).Get("error") << farEnd() << line->Trace();
    const Message sent = daemon.Archive("out").Item(daemon.Archive("out").GetInt("count"));
    EXPECT_NE(sent.Get("modem").find(How()), std::string::npos) << sent.Get("modem");
    return sent;
  }

  // Once the far end's modem has dialled the peer calls our line, which
  // answers and stores; the fax received.
  Message Receive(const std::function<std::string()>& farEnd) {
    const int before = daemon.Archive("in").GetInt("count");
    EXPECT_TRUE(WaitFor([&] { return line->Trace().find("A dials") != std::string::npos; }, 90))
        << farEnd() << line->Trace();
    auto call = peer_->account->Dial((gateway_ ? SipWorld::kForceT38 : "") + std::string(kOurNumber), false);
    EXPECT_TRUE(WaitFor([&] { return daemon.Archive("in").GetInt("count") > before; }, 240))
        << farEnd() << line->Trace();
    const Message in = daemon.Archive("in").Item(before + 1);
    EXPECT_NE(in.Get("modem").find(How()), std::string::npos) << in.Get("modem");
    return in;
  }

  TestWorld world;
  const std::string dir = world.Root();
  FaxDaemon daemon{world};
  std::unique_ptr<ModemPair> line;

 private:
  // How our line's calls go, as its reports say.
  const char* How() const { return gateway_ ? "(T.38" : "(G.711 PCMA"; }

  bool gateway_;
  std::unique_ptr<SipWorld> provider_;
  std::unique_ptr<BridgePeer> peer_;
};

// efax on the emulated modem receives from our line at its first ring, then
// dials and sends to our line.
void EfaxBothWays(bool gateway, int count) {
  if (!std::filesystem::exists("/usr/bin/efax")) GTEST_SKIP() << "efax is not installed";
  Chain chain(gateway);
  ASSERT_NO_FATAL_FAILURE(chain.Start());
  const std::string& dir = chain.dir;
  const auto pages = TestPages(count, !gateway);
  {
    auto efax = EfaxReceiver(chain.line->A(), dir, "+1 555 0177");
    const Message sent = chain.Send(pages, [&] { return efax->Output(); });
    efax->Wait(30);
    EXPECT_TRUE(SamePages(pages, EfaxPages(dir + "/got")));
    EXPECT_EQ(sent.Get("csid"), "+1 555 0177");
  }
  std::vector<std::string> argv = {"efax",        "-d", chain.line->A(), "-o1", "-l",
                                   "+1 555 0123", "-t", kOurNumber};
  for (std::size_t p = 0; p < pages.size(); ++p) {
    argv.push_back(dir + "/page" + std::to_string(p + 1) + ".tif");
    ASSERT_TRUE(WriteG3Tiff(argv.back(), {pages[p]}));
  }
  Program efax(argv, dir, dir + "/efax-send.log");
  const Message in = chain.Receive([&] { return efax.Output(); });
  EXPECT_EQ(efax.Wait(60), 0) << efax.Output();
  EXPECT_EQ(in.Get("tsid"), "+1 555 0123");
  EXPECT_TRUE(SamePages(pages, ReadPages(in.Get("path")), 32));  // below efax's header band
}

// The HylaFAX server's modem answers our line's call, then its queue sends
// a fax that the peer carries to our line.
void HylaFaxBothWays(bool gateway, int count) {
  Chain chain(gateway);
  ASSERT_NO_FATAL_FAILURE(chain.Start());
  HylaFax server(chain.line->A());
  ASSERT_TRUE(server.Running()) << server.Why();
  const auto pages = TestPages(count, !gateway);
  const Message sent = chain.Send(pages, HylaFax::ModemState);
  const std::string got = server.WaitReceived(count, 60);
  EXPECT_TRUE(SamePages(pages, ReadPages(got))) << got;
  EXPECT_EQ(sent.Get("csid"), "+1 555 0200");  // the server's station id (scripts/setup-hylafax)

  // After a call of its own the server's modem resets for a while. The
  // number it dials is the one its tests' jobs use (a job left behind by a
  // run cut short is removed as the server starts again).
  ASSERT_TRUE(HylaFax::WaitIdle(60)) << HylaFax::ModemState();
  const std::string doc = chain.dir + "/to-us.tif";
  ASSERT_TRUE(WriteG3Tiff(doc, pages));
  std::string out;
  ASSERT_EQ(Run({"sendfax", "-n", gateway ? "-l" : "-m", "-h", "localhost", "-d", "5550100", doc}, 30, &out),
            0)
      << out;
  const Message in = chain.Receive(HylaFax::ModemState);
  EXPECT_EQ(in.Get("tsid"), "+1 555 0200");
  EXPECT_TRUE(SamePages(pages, ReadPages(in.Get("path"))));
}

TEST(SipLineEfax, OurLineAndEfaxFaxEachOtherOverG711AfterT38IsRefused) {
  EfaxBothWays(false, 2);
}

TEST(SipLineEfax, OurLineFaxesInT38AndEfaxInAudioThroughTheProvidersGateway) {
  EfaxBothWays(true, 1);
}

TEST(SipLineHylaFax, OurLineAndTheServerFaxEachOtherOverG711) {
  HylaFaxBothWays(false, 1);
}

TEST(SipLineHylaFax, OurLineFaxesInT38AndTheServerInAudioThroughTheProvidersGateway) {
  HylaFaxBothWays(true, 1);
}

}  // namespace
