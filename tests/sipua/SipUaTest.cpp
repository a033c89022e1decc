// SIP signalling against a real provider: two accounts of ours register at
// Kamailio, call each other through it, move calls to T.38 and end them;
// SIPp plays a far end our own second account could not (one that answers
// 491 and 488 on cue), and tshark reads what really went over the wire.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "faxservice/daemon/lines/sip/signalling/SipAccount.h"
#include "platform/process/ChildProcess.h"
#include "tests/support/SipWorld.h"
#include "tests/support/TestWorld.h"

namespace brevant::test {
namespace {

using namespace brevant::sip;
using Clock = std::chrono::steady_clock;

// Everything an account tells, one line per event, for the test to wait on.
class Recorder : public SipListener {
 public:
  // What to do with an incoming call (default: ring and answer).
  std::function<void(const std::shared_ptr<SipCall>&)> onIncoming = [](const std::shared_ptr<SipCall>& c) {
    c->Ring();
    c->Answer();
  };
  std::shared_ptr<SipCall> incoming;
  // Runs on the signalling thread after each event line.
  std::function<void(const std::string&)> onEvent = [](const std::string&) {};

  void RegistrationChanged(const Registration& r) override {
    static const char* names[] = {"unregistered", "registering", "registered", "failed"};
    Add(std::string("registration ") + names[static_cast<int>(r.state)] + (r.reason.empty() ? "" : ": " + r.reason));
  }
  void IncomingCall(const std::shared_ptr<SipCall>& call) override {
    incoming = call;
    Add("incoming from " + call->RemoteNumber());
    onIncoming(call);
  }
  void Ringing(SipCall&) override { Add("ringing"); }
  void MediaReady(SipCall&, const Media& m) override {
    std::lock_guard<std::mutex> lock(mutex_);
    media_ = m;
    AddLocked(m.kind == MediaKind::kT38
                  ? "media t38 v" + std::to_string(m.t38.version) + " " + std::to_string(m.t38.maxBitRate) +
                        (m.t38.errorCorrection == T38ErrorCorrection::kRedundancy ? " redundancy" : " other-ec")
                  : std::string("media audio ") + (m.codec == Codec::kPcma ? "PCMA" : "PCMU"));
  }
  void T38Refused(SipCall&, const std::string& status) override { Add("t38 refused: " + status); }
  void CallEnded(SipCall&, const CallEnd& e) override {
    static const char* names[] = {"hung up here", "hung up there", "busy",      "no answer", "bad number",
                                  "provider",     "auth failed",   "rejected",  "no port",   "failed"};
    Add(std::string("ended ") + names[static_cast<int>(e.reason)] + ": " + e.text);
  }

  // Waits until an event line starting with `text` came after line `from`.
  bool Wait(const std::string& text, double seconds = 5, size_t from = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      for (size_t i = from; i < events_.size(); ++i)
        if (events_[i].rfind(text, 0) == 0) return true;
      return false;
    });
  }
  size_t Mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }
  Media LastMedia() {
    std::lock_guard<std::mutex> lock(mutex_);
    return media_;
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
      AddLocked(line);
    }
    onEvent(line);
  }
  void AddLocked(const std::string& line) {
    events_.push_back(line);
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
  Media media_;
};

AccountSettings Settings(const SipWorld& provider, const std::string& user, const std::string& password,
                         const std::string& number) {
  AccountSettings s;
  s.registrar = provider.Registrar();
  s.user = user;
  s.password = password;
  s.number = number;
  s.localAddress = "127.0.0.1";
  s.sipPort = 0;
  // Each account its own media range, away from other tests running now.
  static int next = 20000 + (getpid() % 400) * 50;
  s.mediaPortFirst = next;
  s.mediaPortLast = next + 39;
  next += 50;
  s.registerSeconds = 60;
  s.retrySeconds = 1;
  s.requestTimeoutMs = 2000;
  s.ringSeconds = 10;
  s.minSessionSeconds = 2;
  return s;
}

const std::vector<SipUser> kUsers = {{"alice", "secretA", {"5551001"}}, {"bob", "secretB", {"5552002", "5552999"}}};

// Two registered accounts of ours, alice (5551001) and bob (5552002), at
// one provider.
struct Pair {
  explicit Pair(SipWorld::Options options = {}, bool bobT38 = true)
      : provider(world.TempDir(), kUsers, options) {
    AccountSettings sa = Settings(provider, "alice", "secretA", "5551001");
    sa.ringSeconds = 2;
    AccountSettings sb = Settings(provider, "bob", "secretB", "5552002");
    sb.t38 = bobT38;
    std::string error;
    alice = SipAccount::Create(stack, sa, a, &error);
    bob = SipAccount::Create(stack, sb, b, &error);
    EXPECT_TRUE(alice && bob) << error;
    EXPECT_TRUE(a.Wait("registration registered") && b.Wait("registration registered"))
        << a.Events() << b.Events() << provider.Log();
  }
  // alice calls bob; both on audio when it returns true.
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

// The far end's stream and ours must point at each other.
void ExpectFacing(const Media& x, const Media& y) {
  EXPECT_EQ(x.kind, y.kind);
  EXPECT_EQ(x.remotePort, y.localPort);
  EXPECT_EQ(y.remotePort, x.localPort);
  EXPECT_EQ(x.remoteAddress, "127.0.0.1");
}

TEST(SipUa, RegistrationFailsWithTheRegistrarsReasonAndComesBackWithTheRegistrar) {
  TestWorld world;
  SipWorld provider(world.TempDir(), kUsers);
  ASSERT_TRUE(provider.Running()) << provider.Log();
  SipStack stack;
  Recorder good, bad;
  std::string error;
  // alice registers for 2 s at a time, so refreshes come quickly.
  AccountSettings quick = Settings(provider, "alice", "secretA", "5551001");
  quick.registerSeconds = 2;
  auto alice = SipAccount::Create(stack, quick, good, &error);
  auto mallory = SipAccount::Create(stack, Settings(provider, "bob", "wrong", "5552002"), bad, &error);
  ASSERT_TRUE(alice && mallory) << error;
  EXPECT_TRUE(good.Wait("registration registered")) << good.Events();
  EXPECT_TRUE(bad.Wait("registration failed: 401 Unauthorized")) << bad.Events();
  EXPECT_EQ(mallory->CurrentRegistration().state, RegistrationState::kFailed);
  EXPECT_EQ(mallory->CurrentRegistration().reason, "401 Unauthorized");
  // A second account on a SIP port already taken is refused at once.
  AccountSettings clash = Settings(provider, "alice", "secretA", "5551001");
  clash.sipPort = alice->LocalSipPort();
  EXPECT_FALSE(SipAccount::Create(stack, clash, bad, &error));
  EXPECT_NE(error.find("cannot use SIP port"), std::string::npos) << error;

  // The registrar goes away: the next refresh fails and says why; once it
  // is back the account registers again by itself.
  size_t mark = good.Mark();
  provider.Stop();
  EXPECT_TRUE(good.Wait("registration failed: ", 10, mark)) << good.Events();
  EXPECT_EQ(alice->CurrentRegistration().state, RegistrationState::kFailed);
  mark = good.Mark();
  ASSERT_TRUE(provider.Start());
  EXPECT_TRUE(good.Wait("registration registered", 10, mark)) << good.Events();
}

TEST(SipUa, CallsMoveToT38FromEitherSideAndEitherSideHangsUp) {
  for (bool callerStarts : {true, false}) {
    SCOPED_TRACE(callerStarts ? "caller starts T.38" : "callee starts T.38");
    Pair p;
    auto call = p.Connect();
    ASSERT_TRUE(p.b.incoming);
    EXPECT_TRUE(p.b.Wait("incoming from alice"));
    Media audio = p.a.LastMedia();
    EXPECT_EQ(audio.codec, Codec::kPcma);
    EXPECT_EQ(audio.payloadType, 8);
    ExpectFacing(audio, p.b.LastMedia());
    EXPECT_EQ(call->State(), CallState::kConnected);

    (callerStarts ? call : p.b.incoming)->OfferT38();
    ASSERT_TRUE(p.a.Wait("media t38 v0 14400 redundancy") && p.b.Wait("media t38 v0 14400 redundancy"))
        << p.a.Events() << p.b.Events();
    Media t38 = p.a.LastMedia();
    ExpectFacing(t38, p.b.LastMedia());
    EXPECT_EQ(t38.localPort, audio.localPort);  // the call keeps its one port
    EXPECT_EQ(t38.t38.maxDatagram, 400);
    EXPECT_EQ(call->CurrentMedia(), t38);

    // The side that did not start T.38 ends the call.
    (callerStarts ? p.b.incoming : call)->HangUp();
    Recorder& ender = callerStarts ? p.b : p.a;
    Recorder& other = callerStarts ? p.a : p.b;
    EXPECT_TRUE(ender.Wait("ended hung up here: BYE")) << ender.Events();
    EXPECT_TRUE(other.Wait("ended hung up there: BYE")) << other.Events();
    EXPECT_EQ(call->State(), CallState::kEnded);
  }
}

TEST(SipUa, FailedCallsEndWithTheReasonTheRetryRulesNeed) {
  Pair p;
  struct Case {
    const char* number;
    std::function<void(const std::shared_ptr<SipCall>&)> bob;  // null: bob is not called
    bool hangUpRinging;
    const char* caller;
    const char* callee;
  };
  auto reject = [](const std::shared_ptr<SipCall>& c) { c->Reject(486); };
  auto ring = [](const std::shared_ptr<SipCall>& c) { c->Ring(); };
  const Case cases[] = {
      {"5552002", reject, false, "ended busy: 486 Busy Here", "ended rejected: 486 Busy Here"},
      {"5552002", ring, false, "ended no answer: no answer", "ended hung up there: CANCEL"},
      {"5552002", ring, true, "ended hung up here: cancelled", "ended hung up there: CANCEL"},
      {"5552999", nullptr, false, "ended bad number: 404 Not Found", nullptr},  // bob's registration, not his number
      {"5559999", nullptr, false, "ended bad number: 404 Not Found", nullptr},  // nobody
      {"5550503", nullptr, false, "ended provider: 503 Service Unavailable", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caller);
    size_t ma = p.a.Mark(), mb = p.b.Mark();
    p.b.onIncoming = c.bob ? c.bob : [](const std::shared_ptr<SipCall>& call) { call->Answer(); };
    auto call = p.alice->Dial(c.number, false);
    if (c.hangUpRinging) {
      ASSERT_TRUE(p.a.Wait("ringing", 5, ma)) << p.a.Events();
      call->HangUp();
    }
    EXPECT_TRUE(p.a.Wait(c.caller, 5, ma)) << p.a.Events();
    if (c.callee) EXPECT_TRUE(p.b.Wait(c.callee, 5, mb)) << p.b.Events();
    else EXPECT_FALSE(p.b.Wait("incoming", 0.2, mb)) << p.b.Events();
  }
}

TEST(SipUa, AFarEndRefusingT38KeepsTheCallOnAudio) {
  Pair p({}, /*bobT38=*/false);
  auto call = p.Connect();
  size_t ma = p.a.Mark(), mb = p.b.Mark();
  call->OfferT38();
  EXPECT_TRUE(p.a.Wait("t38 refused: 488 Not Acceptable Here", 5, ma)) << p.a.Events();
  EXPECT_EQ(call->CurrentMedia().kind, MediaKind::kAudio);
  EXPECT_FALSE(p.b.Wait("media", 0.3, mb)) << p.b.Events();
  call->HangUp();
  EXPECT_TRUE(p.b.Wait("ended hung up there: BYE", 5, mb)) << p.b.Events();

  // Placed T.38 first (the way that worked last time) to the same far
  // end: refused, and placed again as audio.
  ma = p.a.Mark();
  call = p.alice->Dial("5552002", /*t38First=*/true);
  EXPECT_TRUE(p.a.Wait("t38 refused: 488 Not Acceptable Here", 5, ma)) << p.a.Events();
  EXPECT_TRUE(p.a.Wait("media audio PCMA", 5, ma)) << p.a.Events();
  EXPECT_EQ(call->State(), CallState::kConnected);
}

// Captures the provider's traffic with tshark until Fields() reads it back.
class Capture {
 public:
  Capture(const std::string& dir, int port) : file_(dir + "/sip.pcap") {
    tshark_.Start({"dumpcap", "-q", "-i", "lo", "-f", "udp port " + std::to_string(port), "-w", file_}, dir,
                  dir + "/tshark.log");
    for (int i = 0; i < 100 && TestWorld::ReadFile(dir + "/tshark.log").find("Capturing") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  // One line per SIP message: method or status, and the SDP media type.
  std::string Fields() {
    ::kill(-tshark_.Pid(), SIGINT);  // dumpcap writes out what it has and ends
    tshark_.Wait(5000);
    TestWorld w;
    return w.RunArgs("/usr/bin/tshark", {"-r", file_, "-Y", "sip", "-T", "fields", "-e", "sip.Method",
                                         "-e", "sip.Status-Code", "-e", "sdp.media.media"}).out;
  }

 private:
  std::string file_;
  platform::ChildProcess tshark_;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(SipUa, CrossedReInvitesSettleOnT38AndSessionRefreshesKeepIt) {
  Pair p({.sessionSeconds = 4});
  Capture wire(p.world.TempDir(), p.provider.Port());
  auto call = p.Connect();
  size_t ma = p.a.Mark(), mb = p.b.Mark();
  // Both sides offer T.38 in the same turn of the signalling thread, so the
  // two re-INVITEs cross for sure.
  p.a.onEvent = [&](const std::string& e) {
    if (e.rfind("ended bad number", 0) != 0) return;
    call->OfferT38();
    p.b.incoming->OfferT38();
  };
  p.alice->Dial("5559999", false);
  ASSERT_TRUE(p.a.Wait("media t38", 6, ma) && p.b.Wait("media t38", 6, mb)) << p.a.Events() << p.b.Events();
  Media t38 = call->CurrentMedia();
  // Two refresh periods and more: still the same call on the same stream.
  ma = p.a.Mark(), mb = p.b.Mark();
  std::this_thread::sleep_for(std::chrono::seconds(6));
  EXPECT_EQ(call->State(), CallState::kConnected);
  EXPECT_EQ(call->CurrentMedia(), t38);
  EXPECT_EQ(p.a.Mark(), ma) << p.a.Events();
  EXPECT_EQ(p.b.Mark(), mb) << p.b.Events();
  call->HangUp();
  EXPECT_TRUE(p.b.Wait("ended hung up there: BYE", 5, mb));
  // On the wire: the re-INVITEs did cross, the refreshes went out as
  // UPDATEs, and no description after the switch went back to audio.
  std::string fields = wire.Fields();
  EXPECT_GE(Count(fields, "\t491\t"), 1u) << fields;
  EXPECT_GE(Count(fields, "UPDATE\t\t"), 4u) << fields;  // each refresh twice: to and from the proxy
  size_t switched = fields.rfind("\t200\timage");
  ASSERT_NE(switched, std::string::npos) << fields;
  EXPECT_EQ(fields.find("audio", switched), std::string::npos) << fields;
}

TEST(SipUa, ACrossedReInviteIsTriedAgainAfterTheCallersWaitAndARefusalKeepsAudio) {
  TestWorld world;
  int farEnd = SipWorld::FreeUdpPort();
  SipWorld provider(world.TempDir(), kUsers, {.routes = {{"5557000", "127.0.0.1:" + std::to_string(farEnd)}}});
  platform::ChildProcess sipp;
  sipp.Start({"sipp", "-sf", SourceDir() + "/tests/sipua/reinvite-491-then-488.xml", "-i", "127.0.0.1", "-p",
              std::to_string(farEnd), "-m", "1", "-timeout", "20", "-nostdin"},
             world.TempDir(), world.TempDir() + "/sipp.log");
  ASSERT_TRUE(SipWorld::WaitUdpBound(farEnd, 5)) << TestWorld::ReadFile(world.TempDir() + "/sipp.log");
  SipStack stack;
  Recorder a;
  std::string error;
  auto alice = SipAccount::Create(stack, Settings(provider, "alice", "secretA", "5551001"), a, &error);
  ASSERT_TRUE(alice && a.Wait("registration registered")) << error << a.Events();
  auto call = alice->Dial("5557000", false);
  ASSERT_TRUE(a.Wait("media audio PCMA")) << a.Events();
  auto start = Clock::now();
  call->OfferT38();
  ASSERT_TRUE(a.Wait("t38 refused: 488 Not Acceptable Here", 8)) << a.Events();
  double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(waited, 2.1);  // the caller owns the call: 2.1 to 4 s
  EXPECT_LT(waited, 4.5);
  EXPECT_EQ(call->CurrentMedia().kind, MediaKind::kAudio);
  call->HangUp();
  EXPECT_TRUE(sipp.Wait(10000));
  EXPECT_EQ(sipp.ExitCode(), 0) << TestWorld::ReadFile(world.TempDir() + "/sipp.log");
}

}  // namespace
}  // namespace brevant::test
