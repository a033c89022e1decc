// The SIP accounts of the fax service over sofia-sip's user agent (nua).
//
// The user agent runs with its own media handling switched off: session
// descriptions are made and read by SdpSession (T.38 needs attribute
// negotiation the library's offer/answer engine does not do) and carried
// as message bodies. The library does the rest: transactions, digest
// authentication, registration refresh, dialogs, session timers (refreshed
// by UPDATE where the far end allows it, so no description is repeated).
#include "faxservice/daemon/lines/sip/signalling/SipAccount.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sofia-sip/msg_header.h>
#include <sofia-sip/nta_tag.h>
#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/su_log.h>
#include <sofia-sip/su_tag.h>
#include <sofia-sip/su_wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace brevant::sip {

// ---------------------------------------------------------------------------
// The signalling thread.

class SipStackImpl {
 public:
  SipStackImpl() {
    std::mutex m;
    std::condition_variable cv;
    bool ready = false;
    thread_ = std::thread([&] {
      su_init();
      // Every failure reaches the owner through the API; the library's own
      // diagnostics would only clutter the service's output.
      su_log_set_level(nullptr, 0);
      su_root_t* root = su_root_create(nullptr);
      {
        std::lock_guard<std::mutex> lock(m);
        root_ = root;
        ready = true;
      }
      cv.notify_one();
      if (root) {
        su_root_run(root);
        su_root_destroy(root);
      }
      su_deinit();
    });
    threadId_ = thread_.get_id();
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return ready; });
  }

  ~SipStackImpl() {
    if (root_) Run([this] { su_root_break(root_); });
    thread_.join();
  }

  // Runs fn on the signalling thread and waits for it to finish.
  void Run(const std::function<void()>& fn) {
    if (OnThread() || !root_) {
      if (root_) fn();
      return;
    }
    auto exec = [](void* arg) -> int {
      (*static_cast<const std::function<void()>*>(arg))();
      return 0;
    };
    su_task_execute(su_root_task(root_), exec, const_cast<std::function<void()>*>(&fn), nullptr);
  }

  bool OnThread() const { return std::this_thread::get_id() == threadId_; }
  su_root_t* Root() const { return root_; }
  int NextCallId() { return ++callIds_; }

 private:
  std::thread thread_;
  std::thread::id threadId_;
  su_root_t* root_ = nullptr;
  std::atomic<int> callIds_{0};
};

SipStack::SipStack() : impl_(std::make_unique<SipStackImpl>()) {}
SipStack::~SipStack() = default;

namespace {

std::string StatusText(int status, const char* phrase) {
  return std::to_string(status) + " " + (phrase ? phrase : "");
}

// What went wrong with a request, in words: the far end's status line, or
// for answers this side made up itself (no message came) what happened.
std::string Why(int status, const char* phrase, const sip_t* sip) {
  if (!sip && status == 408) return "timeout";
  if (!sip && status == 503) return "unreachable";
  return StatusText(status, phrase);
}

// The digits of a number as a SIP URI user part: dial separators and
// modifiers dropped.
std::string UriNumber(const std::string& number) {
  std::string out;
  for (char c : number)
    if ((c >= '0' && c <= '9') || c == '+' || c == '*') out += c;
  return out;
}

// host[:port] of "sip:host:port", "host:port" or "host".
std::string HostPort(std::string uri) {
  if (uri.rfind("sip:", 0) == 0) uri.erase(0, 4);
  if (auto at = uri.find('@'); at != std::string::npos) uri.erase(0, at + 1);
  if (auto semi = uri.find(';'); semi != std::string::npos) uri.erase(semi);
  return uri;
}

// The local address the system would send from towards host:port.
std::string AddressTowards(const std::string& hostPort) {
  std::string host = hostPort, port = "5060";
  if (auto colon = hostPort.rfind(':'); colon != std::string::npos) {
    host = hostPort.substr(0, colon);
    port = hostPort.substr(colon + 1);
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) return "";
  std::string out;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &local.sin_addr, text, sizeof text)) out = text;
  }
  if (fd >= 0) close(fd);
  freeaddrinfo(res);
  return out;
}

// Whether a UDP port on address is free now.
bool PortFree(const std::string& address, int port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

bool T38Refusal(int status) {
  return status == 488 || status == 415 || status == 606;
}

class Account;

// ---------------------------------------------------------------------------
// One call.

class Call : public SipCall, public std::enable_shared_from_this<Call> {
 public:
  Call(Account* account, int id, bool incoming, std::string remote, int port, const std::string& address);
  ~Call() override;

  int Id() const override { return id_; }
  bool Incoming() const override { return incoming_; }
  std::string RemoteNumber() const override { return remote_; }
  CallState State() const override;
  Media CurrentMedia() const override;
  void Ring() override;
  void Answer() override;
  void Reject(int status) override;
  void HangUp() override;
  void OfferT38() override;

  // On the signalling thread:
  void Invite(nua_handle_t* nh, MediaKind kind);
  void Offered(nua_handle_t* nh, const sip_t* sip);
  void InviteAnswered(int status, const char* phrase, const sip_t* sip);
  void ReInvited(const sip_t* sip);
  void Acked(const sip_t* sip);
  void End(CallEndReason reason, const std::string& text);
  void Terminated(const char* phrase);
  void Detach();  // the account is going: no more signalling, no more listener calls

  Account* account_;
  nua_handle_t* nh_ = nullptr;
  int port_;

 private:
  void StartTimer(int ms, void (*fire)(Call*));
  void StopTimer();
  void ReportMedia(const Media& m);

  const int id_;
  const bool incoming_;
  std::string remote_;
  CallState state_;
  Media media_;
  SdpSession sdp_;
  MediaKind offered_ = MediaKind::kNone;  // the kind of the INVITE in flight
  std::optional<Media> pending_;          // an incoming call's answer, ready to send
  std::string pendingSdp_;
  int authTries_ = 0;
  bool reinviting_ = false;  // our re-INVITE is in flight
  bool cancelled_ = false;   // this side cancelled the ringing call
  bool ringTimedOut_ = false;
  bool ended_ = false;
  su_timer_t* timer_ = nullptr;
  void (*fire_)(Call*) = nullptr;

  friend class Account;
};

// ---------------------------------------------------------------------------
// One account.

class Account : public SipAccount {
 public:
  Account(SipStackImpl& stack, const AccountSettings& s, SipListener& listener)
      : stack_(stack), s_(s), listener_(listener) {
    policy_.codecs = s.codecs;
    policy_.t38 = s.t38;
  }
  ~Account() override;

  bool Start(std::string* error);
  Registration CurrentRegistration() const override {
    Registration r;
    stack_.Run([&] { r = reg_; });
    return r;
  }
  std::shared_ptr<SipCall> Dial(const std::string& number, bool t38First) override;
  int LocalSipPort() const override { return sipPort_; }

  // Used by calls, on the signalling thread.
  SipListener* Listener() { return quiet_ ? nullptr : &listener_; }
  const MediaPolicy& Policy() const { return policy_; }
  const AccountSettings& Settings() const { return s_; }
  SipStackImpl& Stack() { return stack_; }
  nua_t* Nua() { return nua_; }
  void Authenticate(nua_handle_t* nh, const sip_t* sip);
  void FreePort(const Call& call);
  void Release(Call* call);
  std::string Target(const std::string& number) const { return "sip:" + UriNumber(number) + "@" + domain_; }

 private:
  static void OnEvent(nua_event_t event, int status, const char* phrase, nua_t* nua, nua_magic_t* magic,
                      nua_handle_t* nh, nua_hmagic_t* hmagic, const sip_t* sip, tagi_t tags[]);
  void Event(nua_event_t event, int status, const char* phrase, nua_handle_t* nh, Call* call,
             const sip_t* sip, tagi_t tags[]);
  void Register();
  void Registered(int status, const char* phrase, const sip_t* sip);
  void RetryLater(void (*what)(Account*), int seconds);
  void KeepAlive();
  void KeptAlive(int status);
  void SetRegistration(RegistrationState state, const std::string& reason);
  void IncomingInvite(nua_handle_t* nh, const sip_t* sip);
  int AllocatePort();

  SipStackImpl& stack_;
  AccountSettings s_;
  SipListener& listener_;
  MediaPolicy policy_;
  std::string domain_, address_, aor_;
  int sipPort_ = 0;
  nua_t* nua_ = nullptr;
  nua_handle_t* regHandle_ = nullptr;
  Registration reg_;
  int regAuthTries_ = 0;
  void (*next_)(Account*) = nullptr;  // what retry_ does when it fires
  su_timer_t* retry_ = nullptr;       // the next registration or keep-alive
  std::string registrarUrl_;
  std::map<int, std::shared_ptr<Call>> calls_;
  std::map<int, int> ports_;  // media port -> call id
  int portCursor_ = 0;
  bool quiet_ = false;
  std::atomic<bool> shutDown_{false};
  std::mutex shutMutex_;
  std::condition_variable shutCv_;
  std::mt19937 random_{std::random_device{}()};

  friend class Call;
};

// ---------------------------------------------------------------------------

Call::Call(Account* account, int id, bool incoming, std::string remote, int port, const std::string& address)
    : account_(account),
      port_(port),
      id_(id),
      incoming_(incoming),
      remote_(std::move(remote)),
      state_(incoming ? CallState::kOffered : CallState::kCalling),
      sdp_(address,
           static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count() / 1000000) +
               static_cast<uint64_t>(id)) {}

Call::~Call() {
  StopTimer();
}

CallState Call::State() const {
  CallState s = CallState::kEnded;
  if (account_) account_->Stack().Run([&] { s = state_; });
  return account_ ? s : CallState::kEnded;
}

Media Call::CurrentMedia() const {
  Media m;
  if (account_) account_->Stack().Run([&] { m = media_; });
  return m;
}

void Call::StartTimer(int ms, void (*fire)(Call*)) {
  StopTimer();
  timer_ = su_timer_create(su_root_task(account_->Stack().Root()), 0);
  if (!timer_) return;
  fire_ = fire;
  // The timer goes with the call, so the call is alive whenever it fires.
  su_timer_set_interval(
      timer_,
      [](su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg) {
        static_cast<Call*>(arg)->fire_(static_cast<Call*>(arg));
      },
      this, ms);
}

void Call::StopTimer() {
  if (timer_) su_timer_destroy(timer_);
  timer_ = nullptr;
}

void Call::ReportMedia(const Media& m) {
  if (m == media_) return;
  media_ = m;
  if (SipListener* l = account_->Listener()) l->MediaReady(*this, media_);
}

void Call::Invite(nua_handle_t* nh, MediaKind kind) {
  nh_ = nh;
  offered_ = kind;
  authTries_ = 0;
  std::string offer = sdp_.Offer(kind, port_, account_->Policy());
  nua_invite(nh_, SIPTAG_CONTENT_TYPE_STR("application/sdp"), SIPTAG_PAYLOAD_STR(offer.c_str()), TAG_END());
}

void Call::Offered(nua_handle_t* nh, const sip_t* sip) {
  nh_ = nh;
  std::string why;
  if (sip->sip_payload && sip->sip_payload->pl_data) {
    std::string_view offer(sip->sip_payload->pl_data, sip->sip_payload->pl_len);
    pending_ = sdp_.Answer(offer, port_, account_->Policy(), &pendingSdp_, &why);
  } else {
    // No offer in the INVITE: ours goes into the 200, the answer comes with the ACK.
    pendingSdp_ = sdp_.Offer(MediaKind::kAudio, port_, account_->Policy());
    offered_ = MediaKind::kAudio;
    pending_ = Media{};
  }
  if (!pending_) {
    nua_respond(nh_, 488, sip_status_phrase(488), SIPTAG_WARNING_STR(("399 brevant \"" + why + "\"").c_str()),
                TAG_END());
    End(CallEndReason::kRejected, "488 " + why);
  }
}

void Call::Ring() {
  if (!account_) return;
  account_->Stack().Run([&] {
    if (state_ == CallState::kOffered) nua_respond(nh_, SIP_180_RINGING, TAG_END());
  });
}

void Call::Answer() {
  if (!account_) return;
  account_->Stack().Run([&] {
    if (state_ != CallState::kOffered || !pending_) return;
    nua_respond(nh_, SIP_200_OK, SIPTAG_CONTENT_TYPE_STR("application/sdp"),
                SIPTAG_PAYLOAD_STR(pendingSdp_.c_str()), TAG_END());
    state_ = CallState::kConnected;
    if (pending_->kind != MediaKind::kNone) ReportMedia(*pending_);
  });
}

void Call::Reject(int status) {
  if (!account_) return;
  account_->Stack().Run([&] {
    if (state_ != CallState::kOffered) return;
    if (status < 300 || status > 699) status = 486;
    nua_respond(nh_, status, sip_status_phrase(status), TAG_END());
    End(CallEndReason::kRejected, StatusText(status, sip_status_phrase(status)));
  });
}

void Call::HangUp() {
  if (!account_) return;
  account_->Stack().Run([&] {
    switch (state_) {
      case CallState::kOffered:
        nua_respond(nh_, SIP_480_TEMPORARILY_UNAVAILABLE, TAG_END());
        End(CallEndReason::kRejected, "480 Temporarily Unavailable");
        break;
      case CallState::kCalling:
      case CallState::kRinging:
        cancelled_ = true;
        nua_cancel(nh_, TAG_END());
        break;
      case CallState::kConnected:
        nua_bye(nh_, TAG_END());
        End(CallEndReason::kHungUpHere, "BYE");
        break;
      case CallState::kEnded:
        break;
    }
  });
}

void Call::OfferT38() {
  if (!account_) return;
  account_->Stack().Run([&] {
    if (state_ != CallState::kConnected || reinviting_ || media_.kind != MediaKind::kAudio ||
        !account_->Policy().t38)
      return;
    reinviting_ = true;
    offered_ = MediaKind::kT38;
    std::string offer = sdp_.Offer(MediaKind::kT38, port_, account_->Policy());
    nua_invite(nh_, SIPTAG_CONTENT_TYPE_STR("application/sdp"), SIPTAG_PAYLOAD_STR(offer.c_str()), TAG_END());
  });
}

void Call::InviteAnswered(int status, const char* phrase, const sip_t* sip) {
  if (status < 200) {
    if ((status == 180 || status == 183) && state_ == CallState::kCalling) {
      state_ = CallState::kRinging;
      if (SipListener* l = account_->Listener()) l->Ringing(*this);
    }
    return;
  }
  if ((status == 401 || status == 407) && authTries_++ < 2 && sip) {
    account_->Authenticate(nh_, sip);
    return;
  }
  std::string why;
  std::optional<Media> answered;
  if (status < 300 && sip && sip->sip_payload && sip->sip_payload->pl_data)
    answered = sdp_.ReadAnswer(std::string_view(sip->sip_payload->pl_data, sip->sip_payload->pl_len), &why);

  if (state_ == CallState::kConnected) {
    // The answer to our re-INVITE (only T.38 is ever offered mid-call).
    if (!reinviting_) return;
    reinviting_ = false;
    if (status < 300 && answered) {
      ReportMedia(*answered);
    } else if (status == 491) {
      // Crossed re-INVITEs: the call's owner (the caller) waits 2.1-4 s, the other side 0-2 s.
      int ms = incoming_ ? std::uniform_int_distribution<int>(0, 200)(account_->random_) * 10
                         : std::uniform_int_distribution<int>(210, 400)(account_->random_) * 10;
      StartTimer(ms, [](Call* c) { c->OfferT38(); });
    } else if (status < 300) {
      // Accepted, but with nothing usable: put the call back on audio.
      if (SipListener* l = account_->Listener()) l->T38Refused(*this, why);
      reinviting_ = true;
      offered_ = MediaKind::kAudio;
      std::string offer = sdp_.Offer(MediaKind::kAudio, port_, account_->Policy());
      nua_invite(nh_, SIPTAG_CONTENT_TYPE_STR("application/sdp"), SIPTAG_PAYLOAD_STR(offer.c_str()),
                 TAG_END());
    } else if (status == 408 || status == 481) {
      nua_bye(nh_, TAG_END());
      End(CallEndReason::kFailed, Why(status, phrase, sip));
    } else if (offered_ == MediaKind::kT38) {
      if (SipListener* l = account_->Listener()) l->T38Refused(*this, Why(status, phrase, sip));
    }
    return;
  }
  if (state_ != CallState::kCalling && state_ != CallState::kRinging) return;
  StopTimer();
  if (status < 300) {
    if (cancelled_ || !answered) {
      nua_bye(nh_, TAG_END());
      if (cancelled_)
        End(CallEndReason::kHungUpHere, "cancelled");
      else
        End(CallEndReason::kFailed, "unusable answer: " + why);
      return;
    }
    state_ = CallState::kConnected;
    ReportMedia(*answered);
    return;
  }
  if (offered_ == MediaKind::kT38 && T38Refusal(status)) {
    // Placed T.38 first and refused: place it again as audio, in a new dialog.
    if (SipListener* l = account_->Listener()) l->T38Refused(*this, Why(status, phrase, sip));
    if (ended_) return;
    nua_handle_t* old = nh_;
    nua_handle_t* nh =
        nua_handle(account_->Nua(), this, SIPTAG_TO_STR(account_->Target(remote_).c_str()), TAG_END());
    nua_handle_destroy(old);
    state_ = CallState::kCalling;
    Invite(nh, MediaKind::kAudio);
    StartTimer(account_->Settings().ringSeconds * 1000, [](Call* c) {
      c->ringTimedOut_ = true;
      nua_cancel(c->nh_, TAG_END());
    });
    return;
  }
  std::string text = Why(status, phrase, sip);
  CallEndReason reason = CallEndReason::kFailed;
  if (cancelled_)
    reason = CallEndReason::kHungUpHere, text = "cancelled";
  else if (ringTimedOut_)
    reason = CallEndReason::kNoAnswer, text = "no answer";
  else if (status == 486 || status == 600)
    reason = CallEndReason::kBusy;
  else if (status == 408 || status == 480 || status == 487)
    reason = CallEndReason::kNoAnswer;
  else if (status == 404 || status == 484 || status == 604)
    reason = CallEndReason::kBadNumber;
  else if (status == 503)
    reason = CallEndReason::kProvider;
  else if (status == 401 || status == 407 || status == 403)
    reason = CallEndReason::kAuthFailed;
  End(reason, text);
}

void Call::ReInvited(const sip_t* sip) {
  if (!sip->sip_payload || !sip->sip_payload->pl_data) {
    // A re-INVITE without offer (a refresh): offer what runs now, unchanged.
    std::string current = sdp_.Describe(media_, account_->Policy());
    nua_respond(nh_, SIP_200_OK, SIPTAG_CONTENT_TYPE_STR("application/sdp"),
                SIPTAG_PAYLOAD_STR(current.c_str()), TAG_END());
    return;
  }
  if (reinviting_) {
    nua_respond(nh_, SIP_491_REQUEST_PENDING, TAG_END());
    return;
  }
  std::string answer, why;
  std::optional<Media> m = sdp_.Answer(std::string_view(sip->sip_payload->pl_data, sip->sip_payload->pl_len),
                                       port_, account_->Policy(), &answer, &why);
  if (!m) {
    nua_respond(nh_, 488, sip_status_phrase(488), SIPTAG_WARNING_STR(("399 brevant \"" + why + "\"").c_str()),
                TAG_END());
    return;
  }
  nua_respond(nh_, SIP_200_OK, SIPTAG_CONTENT_TYPE_STR("application/sdp"), SIPTAG_PAYLOAD_STR(answer.c_str()),
              TAG_END());
  StopTimer();  // a T.38 re-INVITE of ours waiting out a 491 is moot now
  ReportMedia(*m);
}

// The ACK of an INVITE that came without offer carries the answer to ours.
void Call::Acked(const sip_t* sip) {
  if (!pending_ || pending_->kind != MediaKind::kNone || !sip || !sip->sip_payload ||
      !sip->sip_payload->pl_data)
    return;
  std::string why;
  if (auto m = sdp_.ReadAnswer(std::string_view(sip->sip_payload->pl_data, sip->sip_payload->pl_len), &why)) {
    pending_ = *m;
    ReportMedia(*m);
  }
}

void Call::End(CallEndReason reason, const std::string& text) {
  if (ended_) return;
  ended_ = true;
  state_ = CallState::kEnded;
  StopTimer();
  account_->FreePort(*this);  // the next call may have it at once
  if (SipListener* l = account_->Listener()) l->CallEnded(*this, CallEnd{reason, text});
}

void Call::Terminated(const char* phrase) {
  End(CallEndReason::kFailed, phrase ? phrase : "ended");
  account_->Release(this);
}

void Call::Detach() {
  StopTimer();
  state_ = CallState::kEnded;
  ended_ = true;
  account_ = nullptr;
}

// ---------------------------------------------------------------------------

bool Account::Start(std::string* error) {
  std::string registrar = HostPort(s_.registrar);
  if (registrar.empty() || s_.user.empty()) return *error = "registrar and user are needed", false;
  domain_ = registrar;
  address_ = s_.localAddress.empty()
                 ? AddressTowards(HostPort(s_.outboundProxy.empty() ? registrar : s_.outboundProxy))
                 : s_.localAddress;
  if (address_.empty()) return *error = "no local address reaches " + registrar, false;
  if (s_.mediaPortFirst <= 0 || s_.mediaPortLast < s_.mediaPortFirst || s_.mediaPortLast > 65535)
    return *error = "bad media port range", false;
  sipPort_ = s_.sipPort;
  if (sipPort_ == 0) {
    // Any free port: the system picks one, the stack binds it right after.
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      sipPort_ = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
  }
  // A user agent that cannot bind its port fails to start and keeps a
  // reference to the signalling thread's event loop for good (it is never
  // freed): a port taken or an address not of this machine is found here,
  // before the user agent is made.
  if (sipPort_ <= 0 || !PortFree(address_, sipPort_))
    return *error = "cannot use SIP port " + std::to_string(sipPort_) + " on " + address_, false;
  std::string bindUrl = "sip:" + address_ + ":" + std::to_string(sipPort_) + ";transport=udp";
  std::string from = "sip:" + s_.user + "@" + domain_;
  std::string registrarUrl = "sip:" + registrar;
  std::string proxy = s_.outboundProxy.empty() ? "" : "sip:" + HostPort(s_.outboundProxy);
  bool ok = false;
  stack_.Run([&] {
    nua_ =
        nua_create(stack_.Root(), &Account::OnEvent, this, NUTAG_URL(bindUrl.c_str()), NUTAG_MEDIA_ENABLE(0),
                   NUTAG_AUTOALERT(0), NUTAG_AUTOANSWER(0), NUTAG_AUTOACK(1), NUTAG_ENABLEINVITE(1),
                   NUTAG_SESSION_TIMER(s_.sessionSeconds), NUTAG_MIN_SE(s_.minSessionSeconds),
                   NUTAG_SESSION_REFRESHER(nua_any_refresher), NUTAG_UPDATE_REFRESH(1), NUTAG_ALLOW("UPDATE"),
                   NUTAG_M_USERNAME(s_.user.c_str()), NUTAG_REGISTRAR(registrarUrl.c_str()),
                   SIPTAG_FROM_STR(from.c_str()), TAG_IF(!proxy.empty(), NUTAG_PROXY(proxy.c_str())),
                   NTATAG_SIP_T1X64(static_cast<unsigned>(s_.requestTimeoutMs)),
                   SIPTAG_USER_AGENT_STR("Brevant"), TAG_END());
    if (!nua_) return;
    retry_ = su_timer_create(su_root_task(stack_.Root()), 0);
    registrarUrl_ = registrarUrl;
    aor_ = from;
    regHandle_ = nua_handle(nua_, nullptr, SIPTAG_TO_STR(aor_.c_str()), TAG_END());
    Register();
    ok = true;
  });
  if (!ok) return *error = "the SIP user agent does not start on " + bindUrl, false;
  return true;
}

Account::~Account() {
  if (!nua_) return;
  stack_.Run([&] {
    quiet_ = true;
    regAuthTries_ = 0;
    for (auto& [id, call] : calls_) {
      if (call->state_ == CallState::kConnected) nua_bye(call->nh_, TAG_END());
      call->Detach();
    }
    if (retry_) su_timer_destroy(retry_);
    retry_ = nullptr;
    nua_shutdown(nua_);
  });
  // The stack unregisters and ends every dialog; wait for it, bounded.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s_.requestTimeoutMs + 2000);
  if (stack_.OnThread()) {
    while (!shutDown_ && std::chrono::steady_clock::now() < deadline) su_root_step(stack_.Root(), 50);
  } else {
    std::unique_lock<std::mutex> lock(shutMutex_);
    shutCv_.wait_until(lock, deadline, [&] { return shutDown_.load(); });
  }
  stack_.Run([&] {
    nua_destroy(nua_);
    calls_.clear();
  });
}

void Account::OnEvent(nua_event_t event, int status, const char* phrase, nua_t*, nua_magic_t* magic,
                      nua_handle_t* nh, nua_hmagic_t* hmagic, const sip_t* sip, tagi_t tags[]) {
  static_cast<Account*>(magic)->Event(event, status, phrase, nh, static_cast<Call*>(hmagic), sip, tags);
}

void Account::Event(nua_event_t event, int status, const char* phrase, nua_handle_t* nh, Call* call,
                    const sip_t* sip, tagi_t tags[]) {
  switch (event) {
    case nua_r_shutdown:
      if (status >= 200) {
        std::lock_guard<std::mutex> lock(shutMutex_);
        shutDown_ = true;
        shutCv_.notify_all();
      }
      return;
    case nua_r_register:
      if (!quiet_) Registered(status, phrase, sip);
      return;
    case nua_r_options:
      // Our keep-alive's final answer; its handle goes below.
      if (status < 200) return;
      if (!call && !quiet_) KeptAlive(status);
      break;
    case nua_r_unregister:
      // Leaving: the registrar may want credentials for that too.
      if ((status == 401 || status == 407) && sip && regAuthTries_++ < 1) Authenticate(nh, sip);
      return;
    case nua_i_invite:
      if (call && call->account_)
        call->ReInvited(sip);
      else if (!call && !quiet_)
        IncomingInvite(nh, sip);
      return;
    default:
      break;
  }
  if (!call) {
    // Requests outside our calls (OPTIONS, MESSAGE, ...): the stack has
    // answered them; their handles are not needed.
    if (nh && nh != regHandle_ && event != nua_i_state && event != nua_i_terminated) nua_handle_destroy(nh);
    return;
  }
  if (!call->account_) return;
  switch (event) {
    case nua_r_invite:
      call->InviteAnswered(status, phrase, sip);
      break;
    case nua_i_cancel:
      call->End(CallEndReason::kHungUpThere, "CANCEL");
      break;
    case nua_i_ack:
      call->Acked(sip);
      break;
    case nua_i_bye:
      call->End(CallEndReason::kHungUpThere, "BYE");
      break;
    case nua_i_state: {
      int state = nua_callstate_init;
      tl_gets(tags, NUTAG_CALLSTATE_REF(state), TAG_END());
      if (state == nua_callstate_terminated) call->Terminated(phrase);
      break;
    }
    default:
      break;
  }
}

void Account::Register() {
  SetRegistration(RegistrationState::kRegistering, reg_.reason);
  regAuthTries_ = 0;
  std::string expires = std::to_string(s_.registerSeconds);
  nua_register(regHandle_, SIPTAG_EXPIRES_STR(expires.c_str()), TAG_END());
}

void Account::Registered(int status, const char* phrase, const sip_t* sip) {
  if (status < 200) return;
  if ((status == 401 || status == 407) && sip && regAuthTries_++ < 1) {
    Authenticate(regHandle_, sip);
    return;
  }
  regAuthTries_ = 0;
  if (status < 300) {
    SetRegistration(RegistrationState::kRegistered, "");
    if (s_.keepAliveSeconds > 0) RetryLater([](Account* a) { a->KeepAlive(); }, s_.keepAliveSeconds);
    return;
  }
  // sofia answers a request that found nobody at the registrar's address
  // (port closed, host unreachable) with a 503 of its own, which looks
  // like the registrar's; either way the registrar cannot be had.
  SetRegistration(RegistrationState::kFailed,
                  status == 503 ? "cannot reach the registrar (" + Why(status, phrase, sip) + ")"
                                : Why(status, phrase, sip));
  // A refused request stays open in the stack waiting for credentials:
  // start the next try on a fresh handle.
  nua_handle_destroy(regHandle_);
  regHandle_ = nua_handle(nua_, nullptr, SIPTAG_TO_STR(aor_.c_str()), TAG_END());
  RetryLater([](Account* a) { a->Register(); }, s_.retrySeconds);
}

void Account::RetryLater(void (*what)(Account*), int seconds) {
  // One timer serves both: next_ says what it does when it fires.
  next_ = what;
  su_timer_set_interval(
      retry_,
      [](su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg) {
        auto* a = static_cast<Account*>(arg);
        if (a->next_) a->next_(a);
      },
      this, std::max(1, seconds) * 1000);
}

void Account::KeepAlive() {
  if (quiet_ || reg_.state != RegistrationState::kRegistered) return;
  // A handle of its own each time: the answer's event frees it.
  nua_handle_t* nh = nua_handle(nua_, nullptr, NUTAG_URL(registrarUrl_.c_str()),
                                SIPTAG_TO_STR(registrarUrl_.c_str()), TAG_END());
  nua_options(nh, TAG_END());
}

void Account::KeptAlive(int status) {
  if (reg_.state != RegistrationState::kRegistered) return;
  if (status != 408 && status != 503) {
    // Whatever else the registrar answers, it is there.
    RetryLater([](Account* a) { a->KeepAlive(); }, s_.keepAliveSeconds);
    return;
  }
  // No answer (sofia makes up a 408 or 503 then): the registration is as
  // good as gone. Register again now; its answer says how things stand,
  // and a failure is tried again after retrySeconds.
  nua_handle_destroy(regHandle_);
  regHandle_ = nua_handle(nua_, nullptr, SIPTAG_TO_STR(aor_.c_str()), TAG_END());
  Register();
}

void Account::SetRegistration(RegistrationState state, const std::string& reason) {
  if (reg_.state == state && reg_.reason == reason) return;
  reg_.state = state;
  reg_.reason = reason;
  if (SipListener* l = Listener()) l->RegistrationChanged(reg_);
}

// Answers a 401/407 challenge with the account's credentials.
void Account::Authenticate(nua_handle_t* nh, const sip_t* sip) {
  const msg_auth_t* challenge =
      sip->sip_www_authenticate ? sip->sip_www_authenticate : sip->sip_proxy_authenticate;
  if (!challenge || !challenge->au_scheme) return;
  const char* realm = msg_params_find(challenge->au_params, "realm=");
  std::string quoted = realm ? realm : "\"\"";
  if (quoted.empty() || quoted.front() != '"') quoted = "\"" + quoted + "\"";
  std::string credentials = std::string(challenge->au_scheme) + ":" + quoted + ":" +
                            (s_.authUser.empty() ? s_.user : s_.authUser) + ":" + s_.password;
  nua_authenticate(nh, NUTAG_AUTH(credentials.c_str()), TAG_END());
  std::fill(credentials.begin(), credentials.end(), '\0');
}

int Account::AllocatePort() {
  if (s_.takeMediaPort) return s_.takeMediaPort();
  int first = s_.mediaPortFirst + (s_.mediaPortFirst & 1);  // RTP takes even ports
  int count = (s_.mediaPortLast - first) / 2 + 1;
  for (int i = 0; i < count; ++i) {
    int port = first + 2 * ((portCursor_ + i) % count);
    if (ports_.count(port) || !PortFree(address_, port)) continue;
    portCursor_ = (portCursor_ + i + 1) % count;
    return port;
  }
  return 0;
}

void Account::FreePort(const Call& call) {
  auto it = ports_.find(call.port_);
  if (it == ports_.end() || it->second != call.Id()) return;
  ports_.erase(it);
  if (s_.releaseMediaPort) s_.releaseMediaPort(call.port_);
}

void Account::Release(Call* call) {
  FreePort(*call);
  if (call->nh_) nua_handle_destroy(call->nh_);
  call->nh_ = nullptr;
  auto keep = calls_[call->Id()];  // the call may be its last owner's only reference
  calls_.erase(call->Id());
  call->Detach();
}

std::shared_ptr<SipCall> Account::Dial(const std::string& number, bool t38First) {
  std::shared_ptr<Call> call;
  stack_.Run([&] {
    int port = AllocatePort();
    call = std::make_shared<Call>(this, stack_.NextCallId(), false, number, port, address_);
    if (!port) {
      call->End(CallEndReason::kNoMediaPort, "no free media port");
      call->Detach();
      return;
    }
    ports_[port] = call->Id();
    calls_[call->Id()] = call;
    nua_handle_t* nh = nua_handle(nua_, call.get(), SIPTAG_TO_STR(Target(number).c_str()), TAG_END());
    call->Invite(nh, t38First && policy_.t38 ? MediaKind::kT38 : MediaKind::kAudio);
    call->StartTimer(s_.ringSeconds * 1000, [](Call* c) {
      c->ringTimedOut_ = true;
      nua_cancel(c->nh_, TAG_END());
    });
  });
  return call;
}

void Account::IncomingInvite(nua_handle_t* nh, const sip_t* sip) {
  auto user = [](const sip_addr_t* a) {
    return a && a->a_url->url_user ? std::string(a->a_url->url_user) : "";
  };
  std::string requestUser =
      sip->sip_request && sip->sip_request->rq_url->url_user ? sip->sip_request->rq_url->url_user : "";
  std::string did = UriNumber(s_.number);
  if (did.empty() || (UriNumber(requestUser) != did && UriNumber(user(sip->sip_to)) != did)) {
    nua_respond(nh, SIP_404_NOT_FOUND, TAG_END());
    nua_handle_destroy(nh);
    return;
  }
  int port = AllocatePort();
  if (!port) {
    // Every port in use: to the caller the line is busy (a proxy would
    // turn a 503 into its own failure).
    nua_respond(nh, SIP_486_BUSY_HERE, SIPTAG_WARNING_STR("399 brevant \"no free media port\""), TAG_END());
    nua_handle_destroy(nh);
    return;
  }
  auto call = std::make_shared<Call>(this, stack_.NextCallId(), true, user(sip->sip_from), port, address_);
  nua_handle_bind(nh, call.get());
  ports_[port] = call->Id();
  calls_[call->Id()] = call;
  call->Offered(nh, sip);
  if (call->State() == CallState::kOffered)
    if (SipListener* l = Listener()) l->IncomingCall(call);
}

}  // namespace

const char* Name(RegistrationState state) {
  static const char* const names[] = {"unregistered", "registering", "registered", "failed"};
  return names[static_cast<int>(state)];
}

const char* Name(CallEndReason reason) {
  static const char* const names[] = {"hung up here",  "hung up there", "busy",        "no answer",
                                      "bad number",    "provider",      "auth failed", "rejected",
                                      "no media port", "failed"};
  return names[static_cast<int>(reason)];
}

std::unique_ptr<SipAccount> SipAccount::Create(SipStack& stack, const AccountSettings& settings,
                                               SipListener& listener, std::string* error) {
  auto account = std::make_unique<Account>(stack.Impl(), settings, listener);
  if (!account->Start(error)) return nullptr;
  return account;
}

}  // namespace brevant::sip
