// SIP signalling against a real provider (Kamailio, rtpengine's T.38
// gateway): two accounts of ours register, call each other, move calls to
// T.38 and end them; SIPp plays a far end ours could not (491 and 488 on
// cue), and tshark reads what really went over the wire.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "faxservice/daemon/lines/sip/signalling/SipAccount.h"
#include "platform/process/ChildProcess.h"
#include "tests/support/SipWorld.h"
#include "tests/support/TestWorld.h"

namespace brevant::test {
namespace {

using namespace brevant::sip;

// Everything an account tells, one line per event. Each wait starts after
// the last event waited for: events are awaited in the order they come.
class Recorder : public SipListener {
 public:
  // What to do with an incoming call, and after each event (both on the
  // signalling thread).
  std::function<void(const std::shared_ptr<SipCall>&)> onIncoming = [](const std::shared_ptr<SipCall>& c) {
    c->Ring();
    c->Answer();
  };
  std::function<void(const std::string&)> onEvent = [](const std::string&) {};
  std::shared_ptr<SipCall> incoming;

  void RegistrationChanged(const Registration& r) override {
    Add(std::string("registration ") + Name(r.state) + (r.reason.empty() ? "" : ": " + r.reason));
  }
  void IncomingCall(const std::shared_ptr<SipCall>& call) override {
    incoming = call;
    Add("incoming from " + call->RemoteNumber());
    onIncoming(call);
  }
  void Ringing(SipCall&) override { Add("ringing"); }
  void MediaReady(SipCall&, const Media& m) override {
    Add(m.kind == MediaKind::kT38 ? "media t38"
        : m.codec == Codec::kPcma ? "media audio PCMA"
                                  : "media audio PCMU");
  }
  void T38Refused(SipCall&, const std::string& status) override { Add("t38 refused: " + status); }
  void CallEnded(SipCall&, const CallEnd& e) override {
    Add(std::string("ended ") + Name(e.reason) + ": " + e.text);
  }

  // Whether an event starting with `text` comes within the time ("": any).
  bool Wait(const std::string& text, double seconds = 5) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      auto it = std::find_if(events_.begin() + static_cast<long>(next_), events_.end(),
                             [&](const std::string& e) { return e.rfind(text, 0) == 0; });
      next_ = it == events_.end() ? next_ : static_cast<size_t>(it - events_.begin()) + 1;
      return it != events_.end();
    });
  }
  std::string Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& e : events_) all += e + "\n";
    return all;
  }

 private:
  void Add(const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(line);
    }
    cv_.notify_all();
    onEvent(line);
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
  size_t next_ = 0;
};

const std::vector<SipUser> kUsers = {{"alice", "secretA", {"5551001"}},
                                     {"bob", "secretB", {"5552002", "5552999"}}};

AccountSettings Settings(const SipWorld& provider, const SipUser& u) {
  // Each account its own media range, away from other tests running now.
  static int next = 20000 + (getpid() % 400) * 50;
  next += 50;
  return {.registrar = provider.Registrar(),
          .user = u.user,
          .authUser = "",
          .password = u.password,
          .number = u.numbers[0],
          .outboundProxy = "",
          .localAddress = "127.0.0.1",
          .sipPort = 0,
          .mediaPortFirst = next,
          .mediaPortLast = next + 39,
          .registerSeconds = 60,
          .retrySeconds = 1,
          .minSessionSeconds = 2,
          .requestTimeoutMs = 2000,
          .ringSeconds = 2};
}

// Two registered accounts of ours, alice (5551001) and bob (5552002), at
// one provider; adjust changes their settings first.
struct Pair {
  explicit Pair(SipWorld::Options options = {},
                const std::function<void(AccountSettings&, AccountSettings&)>& adjust = nullptr)
      : provider(world.TempDir(), kUsers, options) {
    AccountSettings sa = Settings(provider, kUsers[0]), sb = Settings(provider, kUsers[1]);
    if (adjust) adjust(sa, sb);
    std::string error;
    alice = SipAccount::Create(stack, sa, a, &error);
    bob = SipAccount::Create(stack, sb, b, &error);
    EXPECT_TRUE(alice && bob) << error;
    EXPECT_TRUE(a.Wait("registration registered") && b.Wait("registration registered"))
        << a.Events() << b.Events() << provider.Log();
  }
  // alice calls bob; both on audio when it returns.
  std::shared_ptr<SipCall> Connect() {
    auto call = alice->Dial("5552002", false);
    EXPECT_TRUE(a.Wait("media audio") && b.Wait("media audio")) << a.Events() << b.Events();
    return call;
  }
  TestWorld world;
  SipWorld provider;
  SipStack stack;
  Recorder a, b;
  std::unique_ptr<SipAccount> alice, bob;
};

TEST(SipUa, FarEndDescriptionsAreReadStrictly) {
  const std::string head = "v=0\r\no=- 1 1 IN IP4 10.0.0.2\r\ns=-\r\nc=IN IP4 10.0.0.2\r\nt=0 0\r\n";
  const std::string t38 = "m=image 4002 udptl t38\r\na=T38FaxVersion:1\r\n";
  const std::pair<std::string, std::string> cases[] = {
      // description, the stream taken or the reason for 488
      // Our codec order decides, an rtpmap renames a payload type, the far end's ptime is kept;
      // T.38 wins over audio; a stream's own address goes before the session's.
      {head + "m=audio 4000 RTP/AVP 0 96\r\na=rtpmap:96 PCMA/8000\r\na=ptime:30\r\n",
       "audio 96 10.0.0.2:4000 30"},
      {head + "m=audio 4000 RTP/AVP 8 0\r\na=rtpmap:8 G729/8000\r\n", "audio 0 10.0.0.2:4000 20"},
      {head + "m=audio 4000 RTP/AVP 8\r\n" + t38 + "c=IN IP4 10.0.0.4\r\na=T38FaxUdpEC:t38UDPRedundancy\r\n",
       "t38 v0 ec1 10.0.0.4:4002"},
      {head + "a=inactive\r\nm=audio 4000 RTP/AVP 8\r\n", "stream is inactive"},
      {head + "m=audio 0 RTP/AVP 8\r\nm=audio 4000 RTP/SAVP 8\r\nm=video 4002 RTP/AVP 8\r\n",
       "no acceptable media"},
      {head + t38 + "a=T38FaxRateManagement:localTCF\r\n", "T.38 with local TCF is not supported"},
      {head + "m=audio 4000 RTP/AVP 8\r\na=ptime:2\r\n", "line 7: bad ptime"},
      {head + "m=audio 4000 RTP/AVP :8\r\n", "line 6: bad m= format"},
      {head + "m=image 4000 udptl t\x01"
              "38\r\n",
       "line 6: control character"},
      {head.substr(0, head.find("t=")) + "m=audio 4000 RTP/AVP 8\r\n", "line 5: m= line before the t= line"},
      {"v=0\no=- 1 1 IN IP4 x\ns=-\nc=IN IP6 ::1\n", "line 4: connection address is not an IPv4 address"},
  };
  for (const auto& [sdp, expected] : cases) {
    SdpSession ours("127.0.0.1", 7);
    std::string answer, agreed;
    auto m = ours.Answer(sdp, 30000, MediaPolicy{}, &answer, &agreed);
    if (m && m->kind == MediaKind::kAudio)
      agreed = "audio " + std::to_string(m->payloadType) + " " + m->remoteAddress + ":" +
               std::to_string(m->remotePort) + " " + std::to_string(m->ptime);
    else if (m)
      agreed = "t38 v" + std::to_string(m->t38.version) + " ec" +
               std::to_string(static_cast<int>(m->t38.errorCorrection)) + " " + m->remoteAddress + ":" +
               std::to_string(m->remotePort);
    EXPECT_EQ(agreed, (expected.rfind("line ", 0) ? "" : "unreadable session description: ") + expected)
        << sdp;
  }
}

TEST(SipUa, RegistrationFailsWithTheRegistrarsReasonAndComesBackWithTheRegistrar) {
  // alice registers for 2 s at a time, so refreshes come quickly.
  Pair p({}, [](AccountSettings& a, AccountSettings&) { a.registerSeconds = 2; });
  Recorder bad;
  std::string error;
  auto mallory =
      SipAccount::Create(p.stack, Settings(p.provider, {"bob", "wrong", {"5552002"}}), bad, &error);
  ASSERT_TRUE(mallory) << error;
  EXPECT_TRUE(bad.Wait("registration failed: 401 Unauthorized")) << bad.Events();
  EXPECT_EQ(mallory->CurrentRegistration().reason, "401 Unauthorized");
  // A second account on a SIP port already taken is refused at once.
  AccountSettings clash = Settings(p.provider, kUsers[0]);
  clash.sipPort = p.alice->LocalSipPort();
  EXPECT_FALSE(SipAccount::Create(p.stack, clash, bad, &error));
  EXPECT_NE(error.find("cannot use SIP port"), std::string::npos) << error;
  // The registrar goes away: the next refresh fails and says why; once it
  // is back the account registers again by itself.
  p.provider.Stop();
  EXPECT_TRUE(p.a.Wait("registration failed: ", 10)) << p.a.Events();
  ASSERT_TRUE(p.provider.Start());
  EXPECT_TRUE(p.a.Wait("registration registered", 10)) << p.a.Events();
}

// alice has one media port: each case also proves the one before gave it back.
TEST(SipUa, FailedCallsEndWithTheReasonTheRetryRulesNeedAndGiveBackTheirPort) {
  Pair p({}, [](AccountSettings& a, AccountSettings&) { a.mediaPortLast = a.mediaPortFirst + 1; });
  using Bob = std::function<void(const std::shared_ptr<SipCall>&)>;  // null: bob is not called
  Bob reject = [](const std::shared_ptr<SipCall>& c) { c->Reject(486); };
  Bob ring = [](const std::shared_ptr<SipCall>& c) { c->Ring(); };
  const std::tuple<const char*, Bob, bool, const char*, const char*> cases[] = {
      // number, bob's answer, alice hangs up while it rings, what alice and bob see
      {"5552002", reject, false, "ended busy: 486 Busy Here", "ended rejected: 486 Busy Here"},
      {"5552002", ring, false, "ended no answer: no answer", "ended hung up there: CANCEL"},
      {"5552002", ring, true, "ended hung up here: cancelled", "ended hung up there: CANCEL"},
      {"5552999", nullptr, false, "ended bad number: 404 Not Found", nullptr},  // reaches bob, not his number
      {"5550503", nullptr, false, "ended provider: 503 Service Unavailable", nullptr},
  };
  for (const auto& [number, bob, hangUpRinging, caller, callee] : cases) {
    SCOPED_TRACE(caller);
    p.b.onIncoming = bob ? bob : [](const std::shared_ptr<SipCall>& call) { call->Answer(); };
    auto call = p.alice->Dial(number, false);
    if (hangUpRinging) {
      ASSERT_TRUE(p.a.Wait("ringing")) << p.a.Events();
      call->HangUp();
    }
    EXPECT_TRUE(p.a.Wait(caller)) << p.a.Events();
    EXPECT_TRUE(callee ? p.b.Wait(callee) : !p.b.Wait("incoming", 0.2)) << p.b.Events();
  }

  // The port in use: a second call of alice's ends at once, one for her is
  // turned away as busy; once the first ends, she calls again.
  p.b.onIncoming = [](const std::shared_ptr<SipCall>& c) { c->Answer(); };
  auto first = p.Connect();
  EXPECT_EQ(p.alice->Dial("5552002", false)->State(), CallState::kEnded);
  EXPECT_TRUE(p.a.Wait("ended no media port: no free media port", 0)) << p.a.Events();
  p.bob->Dial("5551001", false);
  EXPECT_TRUE(p.b.Wait("ended busy: 486 Busy Here") && !p.a.Wait("incoming", 0))
      << p.a.Events() << p.b.Events();
  first->HangUp();
  p.Connect();
}

// bob has no T.38: refused by re-INVITE, refused as the first offer (called again on audio), or reached
// through the provider's T.38 gateway, where each side sees its own kind of stream.
TEST(SipUa, AFarEndWithoutT38GetsAudioOrTheGatewaysT38) {
  Pair p({.t38Gateway = true}, [](AccountSettings&, AccountSettings& b) { b.t38 = false; });
  auto call = p.Connect();
  call->OfferT38();
  EXPECT_TRUE(p.a.Wait("t38 refused: 488 Not Acceptable Here")) << p.a.Events();
  EXPECT_EQ(call->CurrentMedia().kind, MediaKind::kAudio);
  call->HangUp();
  call = p.alice->Dial("5552002", /*t38First=*/true);
  EXPECT_TRUE(p.a.Wait("t38 refused: 488 Not Acceptable Here") && p.a.Wait("media audio PCMA") &&
              p.b.Wait("media audio"))
      << p.a.Events() << p.b.Events();
  call->HangUp();

  // decode: alice offers T.38 alone and bob gets audio; force: bob offers
  // audio and alice gets T.38. The called side hangs up.
  for (bool decode : {true, false}) {
    SCOPED_TRACE(decode ? "T.38=decode" : "T.38=force");
    call = decode ? p.alice->Dial(std::string(SipWorld::kDecodeT38) + "5552002", true)
                  : p.bob->Dial(std::string(SipWorld::kForceT38) + "5551001", false);
    ASSERT_TRUE(p.a.Wait("media t38") && p.b.Wait("media audio"))
        << p.a.Events() << p.b.Events() << p.provider.Log();
    Media t38 = (decode ? call : p.a.incoming)->CurrentMedia();
    Media audio = (decode ? p.b.incoming : call)->CurrentMedia();
    EXPECT_EQ(t38.kind, MediaKind::kT38);
    EXPECT_EQ(audio.kind, MediaKind::kAudio);
    EXPECT_NE(t38.remotePort, audio.localPort);  // each sends to the gateway, not to the other
    EXPECT_NE(audio.remotePort, t38.localPort);
    (decode ? p.b.incoming : p.a.incoming)->HangUp();
    EXPECT_TRUE(p.a.Wait("ended hung up") && p.b.Wait("ended hung up")) << p.a.Events() << p.b.Events();
  }
}

TEST(SipUa, CrossedReInvitesSettleOnT38AndSessionRefreshesKeepIt) {
  Pair p({.sessionSeconds = 4});
  WireCapture wire(p.world.TempDir(), "udp port " + std::to_string(p.provider.Port()));
  auto call = p.Connect();
  Media audio = call->CurrentMedia();
  EXPECT_EQ(std::pair(audio.codec, audio.payloadType), std::pair(Codec::kPcma, 8));
  // Both sides offer T.38 in the same turn of the signalling thread, so the
  // two re-INVITEs cross for sure.
  p.a.onEvent = [&](const std::string& e) {
    if (e.rfind("ended bad number", 0) != 0) return;
    call->OfferT38();
    p.b.incoming->OfferT38();
  };
  p.alice->Dial("5559999", false);
  ASSERT_TRUE(p.a.Wait("media t38", 6) && p.b.Wait("media t38", 6)) << p.a.Events() << p.b.Events();
  // Each end sends to the other, on the port the call had for audio.
  Media t38 = call->CurrentMedia(), far = p.b.incoming->CurrentMedia();
  EXPECT_EQ(std::tuple(t38.remotePort, far.remotePort, far.remoteAddress),
            std::tuple(far.localPort, t38.localPort, "127.0.0.1"));
  EXPECT_EQ(t38.localPort, audio.localPort);
  EXPECT_EQ(t38.t38, (T38Params{.version = 0, .maxBitRate = 14400, .maxBuffer = 1800, .maxDatagram = 400}));
  // Two refresh periods and more: still the same call on the same stream.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  EXPECT_EQ(call->State(), CallState::kConnected);
  EXPECT_EQ(call->CurrentMedia(), t38);
  EXPECT_FALSE(p.a.Wait("", 0) || p.b.Wait("", 0)) << p.a.Events() << p.b.Events();
  call->HangUp();
  EXPECT_TRUE(p.b.Wait("ended hung up there: BYE"));
  // On the wire: the re-INVITEs did cross, the refreshes went out as
  // UPDATEs (each twice: to and from the proxy), and no description after
  // the switch went back to audio.
  // One line per SIP message: method or status, and the SDP media type.
  std::string fields = wire.Read(
      {"-Y", "sip", "-T", "fields", "-e", "sip.Method", "-e", "sip.Status-Code", "-e", "sdp.media.media"});
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = fields.find(what); at != std::string::npos; at = fields.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_TRUE(count("\t491\t") >= 1 && count("UPDATE\t\t") >= 4) << fields;
  size_t switched = fields.rfind("\t200\timage");
  ASSERT_NE(switched, std::string::npos) << fields;
  EXPECT_EQ(fields.find("audio", switched), std::string::npos) << fields;
}

TEST(SipUa, ACrossedReInviteIsTriedAgainAfterTheCallersWaitAndARefusalKeepsAudio) {
  int farEnd = SipWorld::FreeUdpPort();
  Pair p({.routes = {{"5557000", "127.0.0.1:" + std::to_string(farEnd)}}});
  platform::ChildProcess sipp;
  sipp.Start({"sipp", "-sf", SourceDir() + "/tests/sipua/reinvite-491-then-488.xml", "-i", "127.0.0.1", "-p",
              std::to_string(farEnd), "-m", "1", "-timeout", "20", "-nostdin"},
             p.world.TempDir(), p.world.TempDir() + "/sipp.log");
  ASSERT_TRUE(SipWorld::WaitUdpBound(farEnd, 5)) << TestWorld::ReadFile(p.world.TempDir() + "/sipp.log");
  auto call = p.alice->Dial("5557000", false);
  ASSERT_TRUE(p.a.Wait("media audio PCMA")) << p.a.Events();
  auto start = std::chrono::steady_clock::now();
  call->OfferT38();
  ASSERT_TRUE(p.a.Wait("t38 refused: 488 Not Acceptable Here", 8)) << p.a.Events();
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 2.1);  // the caller owns the call: 2.1 to 4 s
  EXPECT_LT(waited, 4.5);
  EXPECT_EQ(call->CurrentMedia().kind, MediaKind::kAudio);
  call->HangUp();
  EXPECT_TRUE(sipp.Wait(10000));
  EXPECT_EQ(sipp.ExitCode(), 0) << TestWorld::ReadFile(p.world.TempDir() + "/sipp.log");
}

}  // namespace
}  // namespace brevant::test
