#pragma once
// The fax media engine of SIP lines: what moves a fax once signalling has
// agreed where to send it. A call gets a MediaCall (one UDP socket on a
// port from the engine's range); signalling puts the port in its SDP, and
// when the far end's address is known starts a session on it:
//
//   - T.38: SpanDSP's T.38 terminal over UDPTL (Udptl.h), with the
//     parameters the SDP negotiated;
//   - G.711 audio: RTP with PCMA or PCMU, 20 ms packets, SpanDSP's fax
//     modems behind it. No silence suppression, no echo canceller, and a
//     small fixed play-out that fills gaps with silence in time order. Fax
//     tones heard in the audio are reported, so signalling can re-INVITE
//     to T.38 and then call StartT38 on the same MediaCall: the T.30
//     session starts again, cleanly, over T.38, from the first page not
//     yet confirmed.
//
// Threading: the engine runs one or a few event-loop threads (epoll and a
// 20 ms tick); every session lives on one of them. MediaCall's methods may
// be called from any thread and never wait for the loop, except Wait.
// SessionEvents are called on the session's loop thread and must not
// block; they may call MediaCall's methods other than Wait, and destroy
// the MediaCall.
//
// Honest results: a sending session is "delivered" only when the far end
// confirmed every page and the T.30 session ended well; the report lists
// which pages were confirmed.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "faxservice/daemon/lines/sip/media/Udptl.h"

namespace brevant::faxmedia {

// What the T.30 session does and with which document.
struct FaxJob {
  bool calling = true;      // we placed the call (CNG) or answered it (CED)
  std::string sendFile;     // fax TIFF to send; "" to receive
  int firstPage = 1;        // first page of sendFile to send (1-based)
  std::string receiveFile;  // where received pages go (receiving)
  std::string localIdent;   // our station id (up to 20 characters)
  bool ecm = true;          // offer error correction mode
  int maxBitRate = 14400;   // fastest image modem: 14400 (V.17), 9600 (V.29), 4800 (V.27ter)
};

// The T.38 session as the SDP negotiated it, and how we protect what we
// send.
struct T38Params {
  int version = 0;              // T38FaxVersion
  int maxBitRate = 14400;       // T38MaxBitRate
  bool transferredTcf = true;   // T38FaxRateManagement: transferredTCF (else localTCF)
  int maxDatagram = 400;        // the far end's T38FaxMaxDatagram
  bool fillBitRemoval = false;  // T38FaxFillBitRemoval
  UdptlSendOptions udptl;       // redundancy depths or parity (T38FaxUdpEC); maxDatagram is set from above
};

enum class Codec { kPcmu, kPcma };

struct AudioParams {
  Codec codec = Codec::kPcma;
  int payloadType = -1;  // -1: the codec's static type (0 PCMU, 8 PCMA)
};

enum class FaxTone { kCng, kCed, kV21Preamble };
const char* ToneName(FaxTone tone);

enum class Transport { kNone, kT38, kAudio };

struct RtpStats {
  std::uint64_t sent = 0, received = 0, late = 0, lost = 0, foreign = 0;
};

// How a session went. A switch from audio to T.38 keeps one report: the
// pages confirmed before the switch stay in it.
struct FaxReport {
  Transport transport = Transport::kNone;  // of the last session on the call
  bool finished = false;
  bool delivered = false;  // sending: every page confirmed; receiving: pages received, call ended well
  std::vector<int> pagesConfirmed;  // page numbers of sendFile the far end confirmed (MCF)
  int pagesReceived = 0;
  int bitRate = 0;
  bool ecm = false;
  std::string remoteIdent;
  int completion = -1;  // SpanDSP's T.30 completion code (-1: none)
  std::string result;   // "OK", the completion code named, or why the engine ended it
  double lineSeconds = 0;
  UdptlStats udptl;
  RtpStats rtp;
};

class SessionEvents {
 public:
  virtual ~SessionEvents() = default;
  virtual void PageConfirmed(int page) {}  // a page number of sendFile
  virtual void PageReceived(int pages) {}  // pages received so far
  virtual void ToneHeard(FaxTone tone) {}  // audio sessions, once per kind
  virtual void Finished(const FaxReport& report) {}
};

struct Endpoint {
  std::string host;  // numeric IPv4 or IPv6 address
  int port = 0;
};

struct EngineOptions {
  std::string address = "127.0.0.1";  // where media sockets are bound
  int firstPort = 40000;              // the range media ports come from (even ports)
  int lastPort = 40999;
  int threads = 1;
  double pace = 1.0;           // line time per wall time (tests run faster)
  int silenceLimitMs = 30000;  // line time the far end may stay silent
  // Received audio held before it is played, in wall time: it absorbs the
  // network's jitter and the loop threads' own on a loaded machine.
  int playoutMs = 100;
};

class MediaEngine;

class MediaCall {
 public:
  ~MediaCall();  // ends any session (no Finished event) and frees the port
  int LocalPort() const;
  bool StartT38(const Endpoint& remote, const T38Params& params, const FaxJob& job, SessionEvents* events,
                std::string* why);
  bool StartAudio(const Endpoint& remote, const AudioParams& params, const FaxJob& job, SessionEvents* events,
                  std::string* why);
  // Ends the session: its report says "Cancelled".
  void Cancel();
  // True once the session finished (false after ms milliseconds).
  bool Wait(int ms) const;
  FaxReport Report() const;

  struct State;

 private:
  friend class MediaEngine;
  explicit MediaCall(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

class MediaEngine {
 public:
  // Null with the reason when the threads or their epoll cannot be made.
  static std::unique_ptr<MediaEngine> Start(const EngineOptions& options, std::string* why);
  ~MediaEngine();  // ends every session and the threads
  // A socket on the next free port of the range; null with the reason when
  // none is free.
  std::unique_ptr<MediaCall> Open(std::string* why);

  struct Impl;

 private:
  explicit MediaEngine(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace brevant::faxmedia
