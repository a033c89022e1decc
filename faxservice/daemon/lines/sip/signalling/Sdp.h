#pragma once
// Session descriptions of a fax call: what this side offers (G.711 audio
// over RTP, or T.38 over UDPTL), how it answers a far end's offer, and what
// a far end's answer agreed to. The result of every exchange is a plain
// `Media`: the one stream the fax runs on.
//
// One `SdpSession` describes this side for the whole of one call. It keeps
// the origin line's session id and raises the version only when what this
// side describes changes, so a session refresh that repeats the same
// description carries the same version, as offer/answer requires.
//
// A far end's descriptions are read by our own reader (SdpReader.h), never
// by the SIP library, and nothing in them is trusted: a description this
// side cannot use gives a reason text instead of a `Media`, and the caller
// refuses with 488.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevant::sip {

// G.711 codecs by their static RTP payload type.
enum class Codec { kPcmu = 0, kPcma = 8 };

enum class MediaKind { kNone, kAudio, kT38 };

enum class T38ErrorCorrection { kNone, kRedundancy, kFec };

// The T.38 session parameters (T38Fax* attributes).
struct T38Params {
  int version = 0;
  int maxBitRate = 14400;
  bool transferredTcf = true;  // T38FaxRateManagement: transferredTCF; false: localTCF
  int maxBuffer = 1800;        // T38FaxMaxBuffer
  int maxDatagram = 400;       // T38FaxMaxDatagram
  T38ErrorCorrection errorCorrection = T38ErrorCorrection::kRedundancy;
  bool operator==(const T38Params&) const = default;
};

// The stream both sides agreed on.
struct Media {
  MediaKind kind = MediaKind::kNone;
  int localPort = 0;          // where this side receives
  std::string remoteAddress;  // where to send
  int remotePort = 0;
  // Audio: the codec, its payload type as the far end numbered it (0 PCMU,
  // 8 PCMA unless the far end mapped a dynamic type) and the packet time.
  Codec codec = Codec::kPcma;
  int payloadType = -1;
  int ptime = 20;
  // T.38: version, bit rate, rate management and error correction as
  // agreed; maxBuffer and maxDatagram are the far end's, the most it takes
  // in, which bounds what this side sends.
  T38Params t38;
  bool operator==(const Media&) const = default;
};

// What this side accepts and offers.
struct MediaPolicy {
  std::vector<Codec> codecs{Codec::kPcma, Codec::kPcmu};  // in order of preference
  bool t38 = true;
  bool t38Fec = false;  // answer FEC when a far end offers it (else redundancy)
  T38Params t38Local;   // this side's own T.38 values (its buffer and datagram sizes)
};

class SdpSession {
 public:
  // address: the IPv4 address this side receives media on.
  SdpSession(std::string address, uint64_t sessionId);

  // This side's offer of one stream of `kind` on localPort.
  std::string Offer(MediaKind kind, int localPort, const MediaPolicy& policy);

  // The far end's answer to the last offer: the agreed media, or nothing
  // and the reason ("T.38 refused", "no connection address", ...).
  std::optional<Media> ReadAnswer(std::string_view sdp, std::string* why) const;

  // Answers a far end's offer: the agreed media, with the description to
  // send back in *answer, or nothing and the reason when no stream of the
  // offer is acceptable (the caller refuses with 488). T.38 is preferred
  // over audio when both are offered and the policy allows it.
  std::optional<Media> Answer(std::string_view offer, int localPort, const MediaPolicy& policy,
                              std::string* answer, std::string* why);

  // This side's description of the media now running (the offer in the
  // answer to a re-INVITE that carries none): unchanged media, same version.
  std::string Describe(const Media& media, const MediaPolicy& policy);

 private:
  std::string Render(const std::string& media);

  std::string address_;
  uint64_t id_;
  uint64_t version_;
  std::string lastMedia_;  // the media part of the last description
  std::string last_;
  MediaKind offered_ = MediaKind::kNone;
  int offeredPort_ = 0;
  MediaPolicy offeredPolicy_;
};

}  // namespace brevant::sip
