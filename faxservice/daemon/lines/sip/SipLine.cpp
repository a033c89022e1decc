// A fax line on a SIP account (kind "sip"): the line registers at the
// provider or office PBX, places each fax as a SIP call and answers the
// calls that come in for its number. Faxes travel as T.38 where both ends
// and the provider take it, else as G.711 audio; the line remembers for
// each number it called which of the two worked and starts the next call
// to it that way.
//
// Its settings (the device row's "config"): registrar, user, auth_user,
// number (the DID it answers; the user when not given), codecs (PCMA,PCMU
// in order of preference), t38 (on/off), ports (the media port range,
// 40000-40999), sip_port (5060; 0 any free one), outbound_proxy,
// local_address, keepalive (seconds between the line's checks that its
// registrar is there, and its waits before registering again after a
// failure; 30), ecm, max_rate, pace (line time per wall time: only for
// two lines of this service faxing each other in a test). The password is
// in the service's secret store (LineSecrets.h), never in the row.
//
// Threads: the SIP stack's thread tells the line of registrations and
// calls, the media engine's loop thread of pages and fax tones; both only
// note what happened under the line's mutex and wake the line's own
// thread (the line worker's), which drives the call and talks to the
// service. Nothing the line's thread holds is waited for by the others.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "faxservice/daemon/lines/Line.h"
#include "faxservice/daemon/lines/sip/LineSecrets.h"
#include "faxservice/daemon/lines/sip/media/FaxMedia.h"
#include "faxservice/daemon/lines/sip/signalling/SipAccount.h"

namespace brevant::faxd {

namespace {

using faxsvc::Message;
using Clock = std::chrono::steady_clock;
namespace fm = brevant::faxmedia;

// A line that could not start its account or media tries again after this.
constexpr auto kRetryStart = std::chrono::seconds(5);
// After the far end hung up, a fax session gets this long to finish by
// itself (the DCN it just received) before it is cut off.
constexpr auto kFinishAfterHangUp = std::chrono::seconds(3);

constexpr LineSetting kKeys[] = {{"registrar", ""},
                                 {"user", ""},
                                 {"auth_user", ""},
                                 {"number", ""},
                                 {"codecs", "PCMA,PCMU"},
                                 {"t38", "1"},
                                 {"ports", "40000-40999"},
                                 {"sip_port", "5060"},
                                 {"outbound_proxy", ""},
                                 {"local_address", ""},
                                 {"ecm", "1"},
                                 {"max_rate", "14400"},
                                 {"pace", "1"},
                                 {"keepalive", "30"}};

bool Digits(const std::string& s) {
  return !s.empty() && s.size() < 7 && s.find_first_not_of("0123456789") == std::string::npos;
}

// A value that goes into a SIP URI or header: printable, no blanks.
bool Plain(const std::string& s) {
  for (unsigned char c : s)
    if (c <= 0x20 || c >= 0x7f || c == '<' || c == '>' || c == '"') return false;
  return s.size() <= 128;
}

// The line's settings as the SIP account and the media engine take them.
struct SipSettings {
  sip::AccountSettings account;
  fm::EngineOptions media;
  bool ecm = true;
  int maxRate = 14400;
};

bool ParsePorts(const std::string& v, int* first, int* last) {
  auto dash = v.find('-');
  if (dash == std::string::npos || !Digits(v.substr(0, dash)) || !Digits(v.substr(dash + 1))) return false;
  *first = std::atoi(v.substr(0, dash).c_str());
  *last = std::atoi(v.substr(dash + 1).c_str());
  return *first >= 1024 && *last <= 65535 && *last > *first;
}

SipSettings SettingsOf(const Message& config) {
  auto get = [&](const char* key) {
    for (const LineSetting& k : kKeys)
      if (std::string(k.name) == key) return config.Has(key) ? config.Get(key) : std::string(k.fallback);
    return config.Get(key);
  };
  SipSettings s;
  sip::AccountSettings& a = s.account;
  a.registrar = get("registrar");
  a.user = get("user");
  a.authUser = get("auth_user");
  a.number = get("number").empty() ? a.user : get("number");
  a.outboundProxy = get("outbound_proxy");
  a.localAddress = get("local_address");
  a.t38 = get("t38") != "0";
  a.sipPort = std::atoi(get("sip_port").c_str());
  a.keepAliveSeconds = a.retrySeconds = std::atoi(get("keepalive").c_str());
  // The session timer the provider sets is taken however short: refusing
  // it (422) would fail the call, and a refresh costs a fax nothing.
  a.minSessionSeconds = 2;
  a.codecs.clear();
  const std::string codecs = get("codecs") + ",";
  for (std::size_t at = 0, comma; (comma = codecs.find(',', at)) != std::string::npos; at = comma + 1) {
    const std::string c = codecs.substr(at, comma - at);
    if (c == "PCMA") a.codecs.push_back(sip::Codec::kPcma);
    if (c == "PCMU") a.codecs.push_back(sip::Codec::kPcmu);
  }
  ParsePorts(get("ports"), &a.mediaPortFirst, &a.mediaPortLast);
  s.media.address = a.localAddress.empty() ? "0.0.0.0" : a.localAddress;
  s.media.firstPort = a.mediaPortFirst;
  s.media.lastPort = a.mediaPortLast;
  s.media.pace = std::atof(get("pace").c_str());
  if (s.media.pace <= 0) s.media.pace = 1;
  s.ecm = get("ecm") != "0";
  s.maxRate = std::atoi(get("max_rate").c_str());
  return s;
}

// The line's check of its settings: the keys it knows, with their defaults
// filled in. Nothing is asked of the provider here: the line registers
// once it runs, and its status says how that went.
bool CheckSipLine(Message& config, bool, Message* report, std::string* why) {
  Message full;
  if (!FillLineSettings(config, kKeys, "SIP line", {"password"}, &full, why)) return false;
  if (full.Get("registrar").empty() || full.Get("user").empty()) {
    *why = "a SIP line needs its registrar and user (registrar=sip.example.net user=5551234)";
    return false;
  }
  for (const char* key : {"registrar", "user", "auth_user", "number", "outbound_proxy", "local_address"})
    if (!Plain(full.Get(key))) {
      *why = std::string(key) + " may hold printable characters only, without blanks";
      return false;
    }
  if (!OnOffSettings(full, {"t38", "ecm"}, why)) return false;
  SipSettings s = SettingsOf(full);
  const std::string codecs = full.Get("codecs");
  if (s.account.codecs.empty() || codecs.size() > 9 ||
      std::count(codecs.begin(), codecs.end(), ',') + 1 != static_cast<long>(s.account.codecs.size())) {
    *why = "codecs must be PCMA, PCMU or both in the order wanted (PCMA,PCMU)";
    return false;
  }
  int first = 0, last = 0;
  if (!ParsePorts(full.Get("ports"), &first, &last)) {
    *why = "ports must be a range of at least two UDP ports from 1024 up (40000-40999)";
    return false;
  }
  if (!Digits(full.Get("sip_port")) || s.account.sipPort > 65535) {
    *why = "sip_port must be a UDP port (5060), or 0 for any free one";
    return false;
  }
  if (!Digits(full.Get("keepalive")) || s.account.keepAliveSeconds < 1 || s.account.keepAliveSeconds > 3600) {
    *why = "keepalive must be a number of seconds from 1 to 3600 (30)";
    return false;
  }
  if (full.Get("max_rate") != "4800" && full.Get("max_rate") != "9600" && full.Get("max_rate") != "14400") {
    *why = "max_rate must be 4800, 9600 or 14400";
    return false;
  }
  const double pace = std::atof(full.Get("pace").c_str());
  if (!(pace >= 1 && pace <= 16)) {
    *why = "pace must be between 1 (real time) and 16";
    return false;
  }
  config = full;
  const std::string who = s.account.user + "@" + s.account.registrar;
  report->Set("name", "SIP line " + who)
      .Set("description", "SIP line " + who + " answering " + s.account.number + ", " + codecs +
                              (s.account.t38 ? ", T.38" : ", no T.38") + ", media ports " +
                              full.Get("ports"));
  return true;
}

// The number as the provider takes it: digits, with + * # kept and the
// separators and dial modifiers of a telephone number dropped. Empty when
// something else is in it.
std::string DialString(const std::string& number) {
  std::string out;
  for (char c : number) {
    if ((c >= '0' && c <= '9') || c == '+' || c == '*' || c == '#')
      out += c;
    else if (std::string(" -/().pPwWdD,").find(c) == std::string::npos)
      return "";
  }
  return out;
}

std::string PageList(const std::vector<int>& pages) {
  if (pages.empty()) return "none";
  std::string out;
  for (std::size_t i = 0; i < pages.size();) {
    std::size_t j = i;
    while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1) ++j;
    out +=
        (out.empty() ? "" : ",") + std::to_string(pages[i]) + (j > i ? "-" + std::to_string(pages[j]) : "");
    i = j + 1;
  }
  return out;
}

// One call on the line. The SIP and media threads note what happens here
// under the line's mutex; the line's thread acts on it.
struct Call final : fm::SessionEvents {
  Call(std::mutex& m, std::condition_variable& c) : mu(m), cv(c) {}
  std::mutex& mu;
  std::condition_variable& cv;

  // Set by the line's thread before the call starts.
  bool incoming = false;
  fm::FaxJob job;
  // Set under mu.
  std::shared_ptr<sip::SipCall> sip;
  std::shared_ptr<fm::MediaCall> media;
  bool t38Allowed = true;  // a re-INVITE to T.38 on fax tones
  bool started = false, tone = false, finished = false, ended = false;
  sip::MediaKind kind = sip::MediaKind::kNone;
  std::string codec;       // "PCMA" or "PCMU" of the audio stream
  std::string t38Refused;  // the far end's answer when it refused T.38
  sip::CallEnd end;
  int confirmed = 0, received = 0;
  fm::FaxReport report;  // the session's, once finished
  unsigned changes = 0;

  void Note(const std::function<void()>& what) {
    {
      std::lock_guard lock(mu);
      what();
      ++changes;
    }
    cv.notify_all();
  }
  void PageConfirmed(int) override {
    Note([&] { ++confirmed; });
  }
  void PageReceived(int pages) override {
    Note([&] { received = pages; });
  }
  void ToneHeard(fm::FaxTone) override {
    Note([&] { tone = true; });
  }
  void Finished(const fm::FaxReport& r) override {
    Note([&] {
      finished = true;
      report = r;
    });
  }
};

class SipLine final : public Line, sip::SipListener {
 public:
  SipLine(LineEnv env, const Message& device) : env_(std::move(env)), id_(device.GetInt("id")) {}

  ~SipLine() override {
    // The account first: its calls end and no listener call comes after.
    account_.reset();
    std::lock_guard lock(mu_);
    ports_.clear();
  }

  CallReport Send(const OutgoingCall& out, CallEvents& events) override {
    Connect();
    PublishStatus();
    CallReport report;
    report.modem = Who();
    if (!Ready()) {
      report.outcome = CallOutcome::kLineFault;
      report.result = status_;
      return report;
    }
    const std::string number = DialString(out.number);
    if (number.empty()) {
      report.outcome = CallOutcome::kBadNumber;
      report.result = "\"" + out.number.substr(0, 40) + "\" is not a number a SIP call can dial";
      return report;
    }
    // T.38 first unless it did not work with this number before.
    const bool t38 = settings_.account.t38 && env_.setting(MemoryKey(number)) != "G.711";
    if (settings_.account.t38 && !t38 && env_.note)
      env_.note(number + " did not fax over T.38 before: calling it with G.711 audio");
    auto call = NewCall(false);
    call->job.sendFile = out.document;
    call->job.firstPage = out.firstPage;
    call->job.localIdent = out.localIdent;
    call->t38Allowed = t38;
    auto sipCall = account_->Dial(number, t38);
    {
      std::lock_guard lock(mu_);
      if (!call->sip) call->sip = sipCall;
    }
    report = Run(call, events, out.pages - out.firstPage + 1);
    // What worked is remembered for the next call to the number: T.38
    // once a page went over it; G.711 when T.38 was refused, or taken but
    // no page got through on it (a gateway that agrees to T.38 and then
    // fails is a common fault between vendors).
    bool refused, onT38;
    {
      std::lock_guard lock(mu_);
      refused = !call->t38Refused.empty();
      onT38 = call->kind == sip::MediaKind::kT38;
    }
    if (onT38 && report.pagesSent > 0)
      env_.putSetting(MemoryKey(number), "T.38");
    else if (refused || (onT38 && report.outcome == CallOutcome::kFailed))
      env_.putSetting(MemoryKey(number), "G.711");
    return report;
  }

  CallReport Receive(const faxd::IncomingCall& in, CallEvents& events) override {
    std::shared_ptr<sip::SipCall> ringing;
    {
      std::lock_guard lock(mu_);
      ringing = std::exchange(ringing_, nullptr);
    }
    CallReport report;
    report.modem = Who();
    if (!ringing || ringing->State() == sip::CallState::kEnded) {
      report.outcome = CallOutcome::kNoCarrier;
      report.result = "The caller hung up before the call was answered";
      return report;
    }
    auto call = NewCall(true);
    call->job.calling = false;
    call->job.receiveFile = in.receiveFile;
    call->job.localIdent = in.localIdent;
    {
      std::lock_guard lock(mu_);
      call->sip = ringing;
    }
    ringing->Answer();
    return Run(call, events, 0);
  }

  void Idle(int ms, const IdleHooks& hooks) override {
    Connect();
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      PublishStatus();
      std::string caller;
      bool ring = false;
      {
        std::lock_guard lock(mu_);
        if (ringing_ && Clock::now() >= nextRing_) {
          // A SIP call rings once; the service counts rings, so the line
          // gives one each ring_seconds while the caller waits.
          double every = std::clamp(std::atof(env_.setting("ring_seconds").c_str()), 1.0, 8.0);
          nextRing_ = Clock::now() + std::chrono::milliseconds(static_cast<int>(every * 1000));
          caller = ringing_->RemoteNumber();
          ring = true;
        }
      }
      if (ring) hooks.ring(caller);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || hooks.workPending()) return;
      hooks.wait(static_cast<int>(std::min<long long>(left, 100)));
    }
  }

  bool Ready() const override {
    std::lock_guard lock(mu_);
    return registration_.state == sip::RegistrationState::kRegistered;
  }

 private:
  static std::string MemoryKey(const std::string& number) { return "sip_t38:" + number; }

  std::string Who() const { return "SIP " + settings_.account.user + "@" + settings_.account.registrar; }

  std::shared_ptr<Call> NewCall(bool incoming) {
    auto call = std::make_shared<Call>(mu_, cv_);
    call->incoming = incoming;
    call->t38Allowed = settings_.account.t38;
    call->job.ecm = settings_.ecm;
    call->job.maxBitRate = settings_.maxRate;
    std::lock_guard lock(mu_);
    // A call's media may still report for a moment after it ended: ended
    // calls are kept a while before they go.
    const auto now = Clock::now();
    while (!retired_.empty() && now - retired_.front().first > std::chrono::seconds(10)) retired_.pop_front();
    current_ = call;
    return call;
  }

  // Drives the call on the line's thread until its fax is done, it ends
  // or the service abandons it; `pages` is what a sending call must have
  // confirmed.
  CallReport Run(const std::shared_ptr<Call>& c, CallEvents& events, int pages) {
    bool connected = false, offered = false, cancelled = false;
    int confirmed = 0, received = 0;
    unsigned seen = ~0u;
    std::optional<Clock::time_point> hungUpAt;
    const auto ringLimit = Clock::now() + std::chrono::seconds(settings_.account.ringSeconds + 10);
    for (;;) {
      std::unique_lock lock(mu_);
      cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return c->changes != seen; });
      seen = c->changes;
      const bool started = c->started, finished = c->finished, ended = c->ended;
      const bool offerT38 =
          c->tone && c->t38Allowed && c->t38Refused.empty() && c->kind == sip::MediaKind::kAudio;
      const int nowConfirmed = c->confirmed, nowReceived = c->received;
      auto sipCall = c->sip;
      auto media = c->media;
      lock.unlock();

      if (started && !connected) {
        connected = true;
        events.Connected();
      }
      while (confirmed < nowConfirmed) events.PageConfirmed(++confirmed);
      if (nowReceived != received) events.PageReceived(received = nowReceived);
      if (finished) break;
      if (offerT38 && !offered && sipCall) {
        offered = true;
        sipCall->OfferT38();
      }
      if (events.Cancelled()) {
        cancelled = true;
        break;
      }
      if (ended) {
        if (!media || !started) break;
        if (!hungUpAt) hungUpAt = Clock::now();
        if (Clock::now() - *hungUpAt > kFinishAfterHangUp) break;
      }
      // Once connected, a far end that goes quiet is ended by the media
      // engine's silence limit (line time), however slow the pages are.
      if (!started && Clock::now() > ringLimit) break;
    }
    std::shared_ptr<fm::MediaCall> media;
    std::shared_ptr<sip::SipCall> sipCall;
    bool finished;
    {
      std::lock_guard lock(mu_);
      media = c->media;
      sipCall = c->sip;
      finished = c->finished;
    }
    if (media && !finished) {
      media->Cancel();
      media->Wait(2000);
    }
    if (sipCall) sipCall->HangUp();
    fm::FaxReport r = media ? media->Report() : fm::FaxReport{};
    Call last(mu_, cv_);
    {
      std::lock_guard lock(mu_);
      if (!media || (!c->report.finished && !c->report.result.empty())) r = c->report;
      last.incoming = c->incoming;
      last.started = c->started;
      last.ended = c->ended;
      last.end = c->end;
      last.kind = c->kind;
      last.codec = c->codec;
      last.confirmed = c->confirmed;
      last.received = c->received;
      c->media.reset();
      retired_.emplace_back(Clock::now(), c);
      current_.reset();
    }
    // Pages confirmed or received since the last look.
    while (confirmed < last.confirmed) events.PageConfirmed(++confirmed);
    if (last.received != received) events.PageReceived(last.received);
    return ReportOf(last, r, pages, cancelled);
  }

  CallReport ReportOf(const Call& c, const fm::FaxReport& r, int pages, bool cancelled) const {
    CallReport out;
    out.pagesSent = static_cast<int>(r.pagesConfirmed.size());
    out.pagesReceived = r.pagesReceived;
    out.bitRate = r.bitRate;
    out.remoteIdent = r.remoteIdent;
    out.lineSeconds = r.lineSeconds;
    // How the fax travelled, for the transmission report.
    std::string how = c.kind == sip::MediaKind::kT38     ? "T.38"
                      : c.kind == sip::MediaKind::kAudio ? "G.711 " + c.codec
                                                         : "";
    if (!how.empty())
      how += (r.bitRate ? ", " + std::to_string(r.bitRate) + " bit/s" : std::string()) +
             (r.ecm ? ", ECM" : ", no ECM");
    out.modem = Who() + (how.empty() ? "" : " (" + how + ")");
    const bool done = c.incoming ? r.delivered : r.delivered && out.pagesSent >= pages && pages > 0;
    if (done) {
      out.outcome = CallOutcome::kDelivered;
      out.result = "OK";
      return out;
    }
    if (cancelled) {
      out.outcome = CallOutcome::kCancelled;
      out.result = "Cancelled";
      return out;
    }
    if (!c.started) {
      using R = sip::CallEndReason;
      switch (c.ended ? c.end.reason : R::kNoAnswer) {
        case R::kBusy:
          out.outcome = CallOutcome::kBusy;
          break;
        case R::kNoAnswer:
          out.outcome = CallOutcome::kNoAnswer;
          break;
        case R::kBadNumber:
          out.outcome = CallOutcome::kBadNumber;
          break;
        case R::kAuthFailed:
          out.outcome = CallOutcome::kLineFault;
          break;
        default:
          out.outcome = CallOutcome::kFailed;
      }
      out.result = c.ended ? std::string(sip::Name(c.end.reason)) + ": " + c.end.text : "no answer";
      if (c.ended && c.end.reason == sip::CallEndReason::kNoMediaPort)
        out.result = "no free media port in " + std::to_string(settings_.media.firstPort) + "-" +
                     std::to_string(settings_.media.lastPort);
      return out;
    }
    out.outcome = CallOutcome::kFailed;
    std::string why = r.result.empty() || r.result == "Cancelled" ? "the fax did not finish" : r.result;
    if (c.ended && c.end.reason == sip::CallEndReason::kHungUpThere)
      why = "the far end hung up (" + c.end.text + ")";
    out.result = c.incoming ? why + " after " + std::to_string(r.pagesReceived) + " page(s)"
                            : why + "; pages confirmed: " + PageList(r.pagesConfirmed);
    return out;
  }

  // (Re)starts the account and the media engine when the line's settings
  // or password changed, or after a failed start.
  void Connect() {
    Message config;
    Message::Decode(env_.device().Get("config"), &config);
    SipSettings s = SettingsOf(config);
    s.account.password = LineSecret(env_.stateDir, id_);
    const std::string print = config.Encode() + "\n" + s.account.password;
    if (print == print_ && (account_ || Clock::now() < retryAt_)) return;
    account_.reset();
    {
      std::lock_guard lock(mu_);
      ports_.clear();
      registration_ = {};
    }
    print_ = print;
    settings_ = s;
    std::string why;
    engine_.reset();
    engine_ = fm::MediaEngine::Start(s.media, &why);
    if (engine_) {
      s.account.takeMediaPort = [this] {
        std::string whyNot;
        std::unique_ptr<fm::MediaCall> media = engine_->Open(&whyNot);
        if (!media) return 0;
        const int port = media->LocalPort();
        std::lock_guard lock(mu_);
        ports_[port] = std::move(media);
        return port;
      };
      s.account.releaseMediaPort = [this](int port) {
        std::lock_guard lock(mu_);
        ports_.erase(port);
      };
      account_ = sip::SipAccount::Create(stack_, s.account, *this, &why);
    }
    if (!account_) {
      retryAt_ = Clock::now() + kRetryStart;
      Status("cannot start the SIP line: " + why);
    }
  }

  void PublishStatus() {
    sip::Registration r;
    {
      std::lock_guard lock(mu_);
      if (!account_) return;
      r = registration_;
    }
    const sip::AccountSettings& a = settings_.account;
    const std::string where = a.registrar + " as " + a.user;
    switch (r.state) {
      case sip::RegistrationState::kRegistered:
        Status("ready: registered at " + where + ", answering " + a.number);
        break;
      case sip::RegistrationState::kRegistering:
        Status("registering at " + where);
        break;
      case sip::RegistrationState::kFailed:
        Status("registration at " + where + " failed: " + r.reason);
        break;
      case sip::RegistrationState::kUnregistered:
        Status("not registered at " + where);
        break;
    }
  }

  void Status(const std::string& text) {
    if (text == status_) return;
    status_ = text;
    if (env_.status) env_.status(text);
  }

  // The call of a listener event, when it is the line's current one.
  std::shared_ptr<Call> Match(const sip::SipCall& call) {
    if (!current_) return nullptr;
    if (current_->sip ? current_->sip->Id() == call.Id() : !call.Incoming()) return current_;
    return nullptr;
  }

  // Listener calls, on the SIP stack's thread.
  void RegistrationChanged(const sip::Registration& r) override {
    std::lock_guard lock(mu_);
    registration_ = r;
  }

  void IncomingCall(const std::shared_ptr<sip::SipCall>& call) override {
    bool busy;
    {
      std::lock_guard lock(mu_);
      busy = current_ || ringing_;
      if (!busy) {
        ringing_ = call;
        nextRing_ = Clock::now();
      }
    }
    if (busy)
      call->Reject(486);
    else
      call->Ring();
  }

  void MediaReady(sip::SipCall& call, const sip::Media& m) override {
    std::shared_ptr<Call> c;
    std::shared_ptr<fm::MediaCall> media;
    {
      std::lock_guard lock(mu_);
      c = Match(call);
      if (!c) return;
      if (!c->media) {
        auto it = ports_.find(m.localPort);
        if (it != ports_.end()) c->media = it->second;
      }
      media = c->media;
    }
    std::string why = "no media socket for port " + std::to_string(m.localPort);
    bool ok = false;
    if (media) {
      const fm::Endpoint remote{m.remoteAddress, m.remotePort};
      if (m.kind == sip::MediaKind::kT38) {
        fm::T38Params p;
        p.version = m.t38.version;
        p.maxBitRate = m.t38.maxBitRate;
        p.transferredTcf = m.t38.transferredTcf;
        p.maxDatagram = m.t38.maxDatagram;
        p.udptl.fec = m.t38.errorCorrection == sip::T38ErrorCorrection::kFec;
        ok = media->StartT38(remote, p, c->job, c.get(), &why);
      } else {
        fm::AudioParams p{m.codec == sip::Codec::kPcmu ? fm::Codec::kPcmu : fm::Codec::kPcma, m.payloadType};
        ok = media->StartAudio(remote, p, c->job, c.get(), &why);
      }
    }
    c->Note([&] {
      c->started = true;
      c->kind = m.kind;
      c->codec = m.codec == sip::Codec::kPcmu ? "PCMU" : "PCMA";
      if (!ok) {
        c->finished = true;
        c->report.result = why;
      }
    });
  }

  void T38Refused(sip::SipCall& call, const std::string& status) override {
    std::lock_guard lock(mu_);
    if (auto c = Match(call)) {
      c->t38Refused = status.empty() ? "refused" : status;
      ++c->changes;
    }
    cv_.notify_all();
  }

  void CallEnded(sip::SipCall& call, const sip::CallEnd& e) override {
    std::lock_guard lock(mu_);
    if (ringing_ && ringing_->Id() == call.Id()) ringing_.reset();
    if (auto c = Match(call)) {
      c->ended = true;
      c->end = e;
      ++c->changes;
    }
    cv_.notify_all();
  }

  LineEnv env_;
  long long id_;
  // The SIP thread goes last, after the account and every media call.
  sip::SipStack stack_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<Clock::time_point, std::shared_ptr<Call>>> retired_;  // guarded by mu_
  std::unique_ptr<fm::MediaEngine> engine_;
  std::map<int, std::shared_ptr<fm::MediaCall>> ports_;  // guarded by mu_: media port -> its socket
  std::shared_ptr<Call> current_;                        // guarded by mu_
  std::shared_ptr<sip::SipCall> ringing_;                // guarded by mu_: the call waiting to be answered
  Clock::time_point nextRing_{};                         // guarded by mu_
  sip::Registration registration_;                       // guarded by mu_
  std::unique_ptr<sip::SipAccount> account_;
  SipSettings settings_;
  std::string print_, status_;
  Clock::time_point retryAt_{};
};

[[maybe_unused]] const bool kRegistered = RegisterLineKind(
    "sip", [](const LineEnv& env, const Message& device) { return std::make_unique<SipLine>(env, device); },
    CheckSipLine);

}  // namespace

}  // namespace brevant::faxd
