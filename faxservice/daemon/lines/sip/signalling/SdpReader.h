#pragma once
// Reads a far end's session description: the part of SDP a fax call needs
// (v, o, s, c, t and m lines; rtpmap, ptime, the direction attributes and
// the T38Fax* attributes), line by line in one pass over a bounded text.
//
// The reader is strict: a description that breaks the grammar where it
// matters (line order, a malformed media, connection or known attribute
// line, control bytes, an unknown line type) is refused as a whole, with
// the line and the reason, and the call answers 488. What the grammar
// allows but a fax call has no use for (video, SRTP, other codecs, unknown
// attributes) is read past: such a stream is there with kind kNone.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "faxservice/daemon/lines/sip/signalling/Sdp.h"

namespace brevant::sip {

// One media line of a description, with what applies to it from the
// session part (connection address, direction).
struct SdpStream {
  MediaKind kind = MediaKind::kNone;  // audio: RTP/AVP; T.38: image over UDPTL with format t38
  std::string media, proto,
      formats;          // as written, to refuse it in an answer ("m=<media> 0 <proto> <formats>")
  int port = 0;         // 0: a stream refused or switched off
  std::string address;  // IPv4 address to send to; empty when the description has none
  std::string direction = "sendrecv";         // or sendonly, recvonly, inactive
  std::vector<std::pair<int, Codec>> codecs;  // G.711 payloads, in the far end's order of preference
  int ptime = 20;
  T38Params t38;  // error correction kNone unless stated
};

// The media lines of a description in their order, or nothing and *why
// ("unreadable session description: line 4: ...").
std::optional<std::vector<SdpStream>> ReadSdp(std::string_view text, std::string* why);

}  // namespace brevant::sip
