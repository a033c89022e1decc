#include "faxservice/daemon/lines/sip/signalling/Sdp.h"

#include <algorithm>

#include "faxservice/daemon/lines/sip/signalling/SdpReader.h"

namespace brevant::sip {
namespace {

constexpr int kPtime = 20;  // this side sends and asks for 20 ms packets

const char* CodecName(Codec c) {
  return c == Codec::kPcma ? "PCMA" : "PCMU";
}

const char* EcName(T38ErrorCorrection ec) {
  return ec == T38ErrorCorrection::kFec ? "t38UDPFEC" : "t38UDPRedundancy";
}

std::string AudioLine(int port, const std::vector<std::pair<int, Codec>>& codecs) {
  std::string s = "m=audio " + std::to_string(port) + " RTP/AVP";
  for (const auto& [pt, codec] : codecs) s += " " + std::to_string(pt);
  s += "\r\n";
  for (const auto& [pt, codec] : codecs)
    s += "a=rtpmap:" + std::to_string(pt) + " " + CodecName(codec) + "/8000\r\n";
  return s + "a=ptime:" + std::to_string(kPtime) + "\r\na=sendrecv\r\n";
}

// An image line with this side's values: version, bit rate, rate
// management and error correction as given, buffer and datagram our own.
std::string T38Line(int port, const T38Params& p, const T38Params& local) {
  std::string s = "m=image " + std::to_string(port) + " udptl t38\r\n";
  s += "a=T38FaxVersion:" + std::to_string(p.version) + "\r\n";
  s += "a=T38MaxBitRate:" + std::to_string(p.maxBitRate) + "\r\n";
  s += std::string("a=T38FaxRateManagement:") + (p.transferredTcf ? "transferredTCF" : "localTCF") + "\r\n";
  s += "a=T38FaxMaxBuffer:" + std::to_string(local.maxBuffer) + "\r\n";
  s += "a=T38FaxMaxDatagram:" + std::to_string(local.maxDatagram) + "\r\n";
  if (p.errorCorrection != T38ErrorCorrection::kNone)
    s += std::string("a=T38FaxUdpEC:") + EcName(p.errorCorrection) + "\r\n";
  return s;
}

// Whether the fax can run on a stream: a port, an address, both ways.
bool Usable(const SdpStream& l, std::string* why) {
  if (l.port <= 0) return false;
  if (l.address.empty() || l.address == "0.0.0.0") return *why = "no connection address", false;
  if (l.direction != "sendrecv") return *why = "stream is " + l.direction, false;
  return true;
}

}  // namespace

SdpSession::SdpSession(std::string address, uint64_t sessionId)
    : address_(std::move(address)), id_(sessionId), version_(sessionId) {}

std::string SdpSession::Render(const std::string& media) {
  if (!last_.empty() && media != lastMedia_) ++version_;
  lastMedia_ = media;
  last_ = "v=0\r\no=brevant " + std::to_string(id_) + " " + std::to_string(version_) + " IN IP4 " + address_ +
          "\r\ns=brevant\r\nc=IN IP4 " + address_ + "\r\nt=0 0\r\n" + media;
  return last_;
}

std::string SdpSession::Offer(MediaKind kind, int localPort, const MediaPolicy& policy) {
  offered_ = kind;
  offeredPort_ = localPort;
  offeredPolicy_ = policy;
  if (kind == MediaKind::kT38) return Render(T38Line(localPort, policy.t38Local, policy.t38Local));
  std::vector<std::pair<int, Codec>> codecs;
  for (Codec c : policy.codecs) codecs.emplace_back(static_cast<int>(c), c);
  return Render(AudioLine(localPort, codecs));
}

std::string SdpSession::Describe(const Media& media, const MediaPolicy& policy) {
  if (media.kind == MediaKind::kT38) return Render(T38Line(media.localPort, media.t38, policy.t38Local));
  if (media.kind == MediaKind::kAudio)
    return Render(AudioLine(media.localPort, {{media.payloadType, media.codec}}));
  return Offer(MediaKind::kAudio, media.localPort, policy);
}

std::optional<Media> SdpSession::ReadAnswer(std::string_view sdp, std::string* why) const {
  auto lines = ReadSdp(sdp, why);
  if (!lines) return std::nullopt;
  // The answer's first media line answers the one stream offered.
  auto it = lines->begin();
  if (it->kind != offered_ || it->port <= 0)
    return *why = offered_ == MediaKind::kT38 ? "T.38 refused" : "audio refused", std::nullopt;
  if (!Usable(*it, why)) return std::nullopt;
  Media m;
  m.kind = offered_;
  m.localPort = offeredPort_;
  m.remoteAddress = it->address;
  m.remotePort = it->port;
  if (offered_ == MediaKind::kT38) {
    const T38Params& mine = offeredPolicy_.t38Local;
    m.t38 = it->t38;
    m.t38.version = std::min(it->t38.version, mine.version);
    m.t38.maxBitRate = std::min(it->t38.maxBitRate, mine.maxBitRate);
    if (!m.t38.transferredTcf) return *why = "T.38 answered with local TCF", std::nullopt;
    return m;
  }
  for (const auto& [pt, codec] : it->codecs) {
    const auto& ours = offeredPolicy_.codecs;
    if (std::find(ours.begin(), ours.end(), codec) == ours.end()) continue;
    m.codec = codec;
    m.payloadType = pt;
    m.ptime = it->ptime;
    return m;
  }
  return *why = "no common codec", std::nullopt;
}

std::optional<Media> SdpSession::Answer(std::string_view offer, int localPort, const MediaPolicy& policy,
                                        std::string* answer, std::string* why) {
  auto read = ReadSdp(offer, why);
  if (!read) return std::nullopt;
  const std::vector<SdpStream>& lines = *read;
  // The stream to take: T.38 when allowed and offered, else audio with a
  // codec of ours (ours decide the order).
  std::optional<size_t> chosen;
  Media m;
  m.localPort = localPort;
  *why = "no acceptable media";
  for (size_t i = 0; i < lines.size() && !chosen && policy.t38; ++i) {
    const SdpStream& l = lines[i];
    if (l.kind != MediaKind::kT38 || !Usable(l, why)) continue;
    if (!l.t38.transferredTcf) {
      *why = "T.38 with local TCF is not supported";
      continue;
    }
    m.kind = MediaKind::kT38;
    m.t38 = l.t38;
    m.t38.version = std::min(l.t38.version, policy.t38Local.version);
    m.t38.maxBitRate = std::min(l.t38.maxBitRate, policy.t38Local.maxBitRate);
    if (l.t38.errorCorrection == T38ErrorCorrection::kFec && !policy.t38Fec)
      m.t38.errorCorrection = T38ErrorCorrection::kRedundancy;
    chosen = i;
  }
  for (Codec want : policy.codecs) {
    for (size_t i = 0; i < lines.size() && !chosen; ++i) {
      const SdpStream& l = lines[i];
      if (l.kind != MediaKind::kAudio || !Usable(l, why)) continue;
      for (const auto& [pt, codec] : l.codecs) {
        if (codec != want || chosen) continue;
        m.kind = MediaKind::kAudio;
        m.codec = codec;
        m.payloadType = pt;
        m.ptime = l.ptime;
        chosen = i;
      }
    }
  }
  if (!chosen) {
    if (!policy.t38 && std::any_of(lines.begin(), lines.end(), [](const SdpStream& l) {
          return l.kind == MediaKind::kT38 && l.port > 0;
        }))
      *why = "T.38 is switched off";
    return std::nullopt;
  }
  const SdpStream& l = lines[*chosen];
  m.remoteAddress = l.address;
  m.remotePort = l.port;
  // The answer keeps the offer's lines in order; those not taken get port 0.
  std::string body;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i != *chosen)
      body += "m=" + lines[i].media + " 0 " + lines[i].proto + " " + lines[i].formats + "\r\n";
    else if (m.kind == MediaKind::kT38)
      body += T38Line(localPort, m.t38, policy.t38Local);
    else
      body += AudioLine(localPort, {{m.payloadType, m.codec}});
  }
  *answer = Render(body);
  why->clear();
  return m;
}

}  // namespace brevant::sip
