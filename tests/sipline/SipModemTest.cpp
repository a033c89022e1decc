// A SIP line of brevant-faxd faxing efax, an independent fax program, both
// ways: our line -> Kamailio -> a SIP peer whose stream is modem-pair's
// RTP side -> the emulated line -> efax's modem. The peer takes no T.38, so
// each call also proves the fall-back to G.711.
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

// The far end's SIP side: answers every call and places one on request,
// always describing modem-pair's RTP port as its stream.
struct BridgePeer : sip::SipListener {
  BridgePeer(const SipWorld& provider, int rtpPort) {
    sip::AccountSettings s;
    s.registrar = provider.Registrar();
    s.user = "bob";
    s.password = "secretB";
    s.number = "5552002";
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

TEST(SipLineEfax, OurLineAndEfaxFaxEachOtherOverG711AfterT38IsRefused) {
  if (!std::filesystem::exists("/usr/bin/efax")) GTEST_SKIP() << "efax is not installed";
  TestWorld world;
  const std::string dir = world.Root();
  SipWorld provider(dir, {{"alice", "secretA", {"5551001"}}, {"bob", "secretB", {"5552002"}}}, {});
  ASSERT_TRUE(provider.Running()) << provider.Log();
  // Our line has two media ports, so its call's stream is on the first.
  const int ours = 31000 + (getpid() % 400) * 4;
  ModemPair line(dir, {"--rtp", std::to_string(ours)});
  ASSERT_TRUE(line.Started()) << line.Trace();
  BridgePeer peer(provider, std::atoi(line.B().substr(line.B().rfind(':') + 1).c_str()));
  ASSERT_TRUE(WaitFor(
      [&] { return peer.account->CurrentRegistration().state == sip::RegistrationState::kRegistered; }, 10));

  FaxDaemon daemon(world);
  ASSERT_TRUE(daemon.Start());
  daemon.Call(Message("line_remove").Set("id", 1));
  daemon.Call(Message("line_set").Set("retries", "0").Set("ring_seconds", "1"));
  Message added = daemon.Call(Message("line_add")
                                  .Set("kind", "sip")
                                  .Set("registrar", provider.Registrar())
                                  .Set("user", "alice")
                                  .Set("password", "secretA")
                                  .Set("number", "5551001")
                                  .Set("sip_port", "0")
                                  .Set("local_address", "127.0.0.1")
                                  .Set("rings", "1")
                                  .Set("pace", std::to_string(Pace()))
                                  .Set("ports", std::to_string(ours) + "-" + std::to_string(ours + 1)));
  ASSERT_EQ(added.Get("ok"), "1") << added.Get("error");
  ASSERT_TRUE(
      WaitFor([&] { return daemon.Call(Message("lines")).Get("1.status").rfind("ready:", 0) == 0; }, 15));
  const auto pages = TestPages(2, true);

  {  // our line sends to efax, which answers at the first ring
    auto efax = EfaxReceiver(line.A(), dir, "+1 555 0177");
    std::string doc = dir + "/doc.tif", why;
    ASSERT_TRUE(faxsvc::WriteFaxTiff(doc, pages, "", &why)) << why;
    const std::string id = daemon.Call(Message("submit").Set("file", doc).Set("number", "5552002")).Get("id");
    ASSERT_TRUE(daemon.WaitJob(id, faxsvc::kJobCompleted, 240))
        << daemon.Job(id).Get("error") << efax->Output();
    efax->Wait(30);
    EXPECT_TRUE(SamePages(pages, EfaxPages(dir + "/got")));
    const Message sent = daemon.Archive("out").Item(1);
    EXPECT_EQ(sent.Get("csid"), "+1 555 0177");
    EXPECT_NE(sent.Get("modem").find("(G.711 PCMA"), std::string::npos) << sent.Get("modem");
  }
  {  // efax dials and sends; the peer calls our line, which answers and stores
    std::vector<std::string> argv = {"efax", "-d", line.A(), "-o1", "-l", "+1 555 0123", "-t", "5551001"};
    for (std::size_t p = 0; p < pages.size(); ++p) {
      argv.push_back(dir + "/page" + std::to_string(p + 1) + ".tif");
      ASSERT_TRUE(WriteG3Tiff(argv.back(), {pages[p]}));
    }
    Program efax(argv, dir, dir + "/efax-send.log");
    ASSERT_TRUE(WaitFor([&] { return line.Trace().find("A dials") != std::string::npos; }, 30))
        << line.Trace();
    auto call = peer.account->Dial("5551001", false);
    EXPECT_EQ(efax.Wait(240), 0) << efax.Output();
    ASSERT_TRUE(WaitFor([&] { return daemon.Archive("in").Get("count") == "1"; }, 30));
    const Message in = daemon.Archive("in").Item(1);
    EXPECT_EQ(in.Get("tsid"), "+1 555 0123");
    EXPECT_TRUE(SamePages(pages, ReadPages(in.Get("path")), 32));  // below efax's header band
  }
}

}  // namespace
