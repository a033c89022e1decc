#pragma once
// SIP signalling of the fax service's SIP lines: one account at a SIP
// provider or office PBX that registers, places and answers calls, and
// moves a call between G.711 audio and T.38. Media is not handled here: each
// call hands its agreed stream (`Media`, Sdp.h) to the caller, who runs the
// fax on it.
//
//   SipStack stack;                                  // the signalling thread
//   auto account = SipAccount::Create(stack, settings, listener, &error);
//   auto call = account->Dial("5551234", /*t38First=*/false);
//   ... listener.MediaReady(call, media) -> start the fax on media
//   call->OfferT38();                                // fax tones heard
//   call->HangUp();
//
// Threads: a `SipStack` owns one thread that runs every account made on it.
// All listener calls come on that thread, one at a time; they must not
// block (start work elsewhere and return). Every public function may be
// called from any thread, including from inside a listener call; calls
// from other threads wait until the signalling thread has done them.
//
// Calls: an account runs any number of calls at once, each with its own
// media port from the account's range, given back as the call ends. A call
// object stays valid as long as someone holds it; once ended, its
// functions do nothing.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "faxservice/daemon/lines/sip/signalling/Sdp.h"

namespace brevant::sip {

struct AccountSettings {
  std::string registrar;      // "sip:provider.example" or "provider.example:5060": registrar and domain
  std::string user;           // the account's SIP user (address user@domain)
  std::string authUser;       // user name for digest authentication; empty: user
  std::string password;       // given by the caller, kept in memory only, never logged
  std::string number;         // the number (DID) this account answers
  std::string outboundProxy;  // optional "sip:host:port" every request goes through
  std::vector<Codec> codecs{Codec::kPcma, Codec::kPcmu};
  bool t38 = true;
  std::string localAddress;  // address to use; empty: the one that reaches the registrar
  int sipPort = 5060;        // 0: any free port
  int mediaPortFirst = 40000, mediaPortLast = 40999;  // RTP/UDPTL ports, one per call
  // When set, each call's media port comes from here instead of the range
  // (0: none free), already bound by whoever runs the media, and goes back
  // through releaseMediaPort as the call ends. Called on the stack's thread.
  std::function<int()> takeMediaPort;
  std::function<void(int)> releaseMediaPort;
  int registerSeconds = 600;     // registration lifetime asked for
  int retrySeconds = 30;         // wait after a failed registration before trying again
  int keepAliveSeconds = 30;     // while registered, an OPTIONS to the registrar this often (0: none)
  int sessionSeconds = 1800;     // session timer asked for (RFC 4028)
  int minSessionSeconds = 90;    // shortest session timer accepted
  int requestTimeoutMs = 32000;  // how long a request waits for its final answer
  int ringSeconds = 60;          // an outgoing call not answered by then ends as no answer
};

enum class RegistrationState { kUnregistered, kRegistering, kRegistered, kFailed };

struct Registration {
  RegistrationState state = RegistrationState::kUnregistered;
  // Why it failed, as the registrar said it ("403 Forbidden", "401
  // Unauthorized") or as this side saw it ("timeout", "cannot reach the
  // registrar").
  std::string reason;
};

enum class CallState { kOffered, kCalling, kRinging, kConnected, kEnded };

// How a call ended, as the line's retry rules see it.
enum class CallEndReason {
  kHungUpHere,   // this side ended a connected call
  kHungUpThere,  // the far end ended a connected call (BYE) or its ringing call (CANCEL)
  kBusy,         // 486, 600
  kNoAnswer,     // ring time over, 408, 480, 487
  kBadNumber,    // 404, 484: trying again would not help
  kProvider,     // 503 or the provider unreachable
  kAuthFailed,   // credentials refused
  kRejected,     // an incoming call this side refused
  kNoMediaPort,  // every media port of the range in use
  kFailed,       // anything else (the status text says what)
};

struct CallEnd {
  CallEndReason reason = CallEndReason::kFailed;
  std::string text;  // "486 Busy Here", "timeout", "BYE", ...
};

// Names for line status and logs: "registered", "no answer", ...
const char* Name(RegistrationState state);
const char* Name(CallEndReason reason);

class SipCall {
 public:
  virtual ~SipCall() = default;
  virtual int Id() const = 0;  // unique within the stack
  virtual bool Incoming() const = 0;
  virtual std::string RemoteNumber() const = 0;  // the number dialled, or the caller's
  virtual CallState State() const = 0;
  virtual Media CurrentMedia() const = 0;  // kind kNone until agreed

  // An incoming call: ring (180), answer (200 with the answer), refuse.
  virtual void Ring() = 0;
  virtual void Answer() = 0;
  virtual void Reject(int status = 486) = 0;
  // Ends the call: BYE when connected, CANCEL while ringing out, 480 when offered.
  virtual void HangUp() = 0;
  // Moves a connected audio call to T.38 by re-INVITE. The listener hears
  // MediaReady with the T.38 stream, or T38Refused (the call stays on
  // audio). Crossed re-INVITEs (491) are tried again after the random wait.
  virtual void OfferT38() = 0;
};

// What an account tells its owner. Called on the stack's thread.
class SipListener {
 public:
  virtual ~SipListener() = default;
  virtual void RegistrationChanged(const Registration&) {}
  // An INVITE for the account's number: Ring, Answer or Reject it, now or
  // later (the INVITE waits; the far end may CANCEL meanwhile). One that
  // comes while every media port is in use is answered 486 (busy) and not
  // offered.
  virtual void IncomingCall(const std::shared_ptr<SipCall>&) {}
  // 180 or 183 for an outgoing call.
  virtual void Ringing(SipCall&) {}
  // The call's stream: on answer, and again each time it changes (T.38
  // started by either side). Session refreshes never call it.
  virtual void MediaReady(SipCall&, const Media&) {}
  // The far end refused T.38 (488, 415, 606): the call goes on as it was.
  // For a call placed T.38 first this comes before the audio call's
  // MediaReady.
  virtual void T38Refused(SipCall&, const std::string& status) {}
  virtual void CallEnded(SipCall&, const CallEnd&) {}
};

class SipStackImpl;

// The signalling thread and everything that runs on it.
class SipStack {
 public:
  SipStack();
  ~SipStack();  // accounts must be gone first
  SipStack(const SipStack&) = delete;
  SipStack& operator=(const SipStack&) = delete;
  SipStackImpl& Impl() { return *impl_; }

 private:
  std::unique_ptr<SipStackImpl> impl_;
};

class SipAccount {
 public:
  // Binds the account's SIP port and starts registering. Nothing and
  // *error when the port cannot be had or a setting is unusable.
  static std::unique_ptr<SipAccount> Create(SipStack& stack, const AccountSettings& settings,
                                            SipListener& listener, std::string* error);
  virtual ~SipAccount() = default;  // ends its calls, unregisters, frees the port

  virtual Registration CurrentRegistration() const = 0;
  // Places a call to number, offering audio, or T.38 alone when t38First
  // (if the far end refuses T.38 the call is placed again with audio).
  // Ends at once (CallEnded, kNoMediaPort) when no media port is free.
  virtual std::shared_ptr<SipCall> Dial(const std::string& number, bool t38First) = 0;
  virtual int LocalSipPort() const = 0;
};

}  // namespace brevant::sip
