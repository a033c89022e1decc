#include "faxservice/daemon/lines/sip/signalling/Sdp.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>

#include <sofia-sip/sdp.h>
#include <sofia-sip/su_alloc.h>

namespace brevant::sip {
namespace {

constexpr int kPtime = 20;  // this side sends and asks for 20 ms packets

// One media line of a far end's description, as far as a fax call cares.
struct Line {
  MediaKind kind = MediaKind::kNone;  // kNone: a stream a fax call has no use for
  std::string type, proto, formats;   // to refuse it in an answer: "m=<type> 0 <proto> <formats>"
  int port = 0;
  std::string address;
  std::vector<std::pair<int, Codec>> codecs;  // G.711 payloads offered, in the far end's order
  int ptime = kPtime;
  T38Params t38;
};

const char* CodecName(Codec c) { return c == Codec::kPcma ? "PCMA" : "PCMU"; }

const char* EcName(T38ErrorCorrection ec) {
  return ec == T38ErrorCorrection::kFec ? "t38UDPFEC" : "t38UDPRedundancy";
}

bool Is(const char* a, const char* b) { return a && strcasecmp(a, b) == 0; }

// A number attribute in [low, high], else the default.
int Number(const char* text, int low, int high, int fallback) {
  if (!text) return fallback;
  std::string_view s(text);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || v < low || v > high) return fallback;
  return v;
}

// T.38 attributes of an image line. Attributes missing leave the defaults,
// except error correction: none stated means none.
T38Params ReadT38(const sdp_attribute_t* a) {
  T38Params p;
  p.errorCorrection = T38ErrorCorrection::kNone;
  for (; a; a = a->a_next) {
    const char* v = a->a_value;
    if (Is(a->a_name, "T38FaxVersion")) p.version = Number(v, 0, 255, 0);
    else if (Is(a->a_name, "T38MaxBitRate")) p.maxBitRate = Number(v, 2400, 33600, p.maxBitRate);
    else if (Is(a->a_name, "T38FaxRateManagement")) p.transferredTcf = !Is(v, "localTCF");
    else if (Is(a->a_name, "T38FaxMaxBuffer")) p.maxBuffer = Number(v, 1, 65535, p.maxBuffer);
    else if (Is(a->a_name, "T38FaxMaxDatagram")) p.maxDatagram = Number(v, 1, 65535, p.maxDatagram);
    else if (Is(a->a_name, "T38FaxUdpEC")) {
      p.errorCorrection = Is(v, "t38UDPRedundancy") ? T38ErrorCorrection::kRedundancy
                          : Is(v, "t38UDPFEC")      ? T38ErrorCorrection::kFec
                                                    : T38ErrorCorrection::kNone;
    }
  }
  return p;
}

// "<media> <port>[/<count>] <proto> <format> ...": printable words with
// single spaces, a port of digits, formats of letters and digits.
bool PlainMediaLine(std::string_view l) {
  std::vector<std::string_view> words;
  for (size_t at = 0; at <= l.size();) {
    size_t space = l.find(' ', at);
    if (space == std::string_view::npos) space = l.size();
    words.push_back(l.substr(at, space - at));
    at = space + 1;
  }
  if (words.size() < 4) return false;
  for (std::string_view w : words)
    if (w.empty() || std::any_of(w.begin(), w.end(), [](char c) { return c < 0x21 || c > 0x7e; })) return false;
  // Formats are payload numbers or names ("t38"): a format that starts
  // with anything else (":38") also sends the parser round in circles.
  for (size_t i = 3; i < words.size(); ++i)
    if (!std::all_of(words[i].begin(), words[i].end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_'; }))
      return false;
  std::string_view port = words[1].substr(0, words[1].find('/'));
  auto digits = [](std::string_view d) {
    return !d.empty() && d.size() <= 5 && std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return digits(port) && (port.size() == words[1].size() || digits(words[1].substr(port.size() + 1)));
}

// Reads every media line of a description; false and why when the text is
// no session description at all.
bool Parse(std::string_view text, std::vector<Line>* lines, std::string* why) {
  // The library's parser loops for ever on some malformed media lines (a
  // NUL, DEL or 0xCC among the formats, junk after the port): control bytes
  // are refused anywhere, and media lines must have the plain form
  // "m=<media> <port>[/<count>] <proto> <format> ..." before it sees them.
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    start = end == std::string_view::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; }))
      return *why = "unreadable session description: control characters", false;
    if (line.substr(0, 2) == "m=" && !PlainMediaLine(line.substr(2)))
      return *why = "unreadable session description: bad media line", false;
  }
  std::unique_ptr<su_home_t, void (*)(su_home_t*)> home(static_cast<su_home_t*>(su_home_new(sizeof(su_home_t))),
                                                         [](su_home_t* h) { su_home_unref(h); });
  if (!home) return *why = "out of memory", false;
  sdp_parser_t* parser = sdp_parse(home.get(), text.data(), static_cast<int>(text.size()), 0);
  sdp_session_t* session = sdp_session(parser);
  if (!session) {
    const char* e = sdp_parsing_error(parser);
    *why = std::string("unreadable session description") + (e && *e ? std::string(": ") + e : "");
    sdp_parser_free(parser);
    return false;
  }
  for (const sdp_media_t* m = session->sdp_media; m; m = m->m_next) {
    Line line;
    line.type = m->m_type_name ? m->m_type_name : "audio";
    line.proto = m->m_proto_name ? m->m_proto_name : "RTP/AVP";
    for (const sdp_list_t* f = m->m_format; f; f = f->l_next) {
      if (!f->l_text) continue;
      line.formats += (line.formats.empty() ? "" : " ") + std::string(f->l_text);
    }
    if (line.formats.empty()) line.formats = "0";
    line.port = m->m_port <= 65535 ? static_cast<int>(m->m_port) : 0;
    const sdp_connection_t* c = m->m_connections ? m->m_connections : session->sdp_connection;
    if (c && c->c_address) line.address = c->c_address;
    if (m->m_type == sdp_media_audio && m->m_proto == sdp_proto_rtp) {
      line.kind = MediaKind::kAudio;
      for (const sdp_rtpmap_t* r = m->m_rtpmaps; r; r = r->rm_next) {
        if (r->rm_rate != 8000) continue;
        if (Is(r->rm_encoding, "PCMA")) line.codecs.emplace_back(r->rm_pt, Codec::kPcma);
        else if (Is(r->rm_encoding, "PCMU")) line.codecs.emplace_back(r->rm_pt, Codec::kPcmu);
      }
      // Static payload types need no rtpmap line.
      for (const sdp_list_t* f = m->m_format; f; f = f->l_next) {
        for (Codec codec : {Codec::kPcmu, Codec::kPcma}) {
          int pt = static_cast<int>(codec);
          bool mapped = std::any_of(line.codecs.begin(), line.codecs.end(),
                                    [&](const auto& e) { return e.first == pt; });
          if (!mapped && f->l_text && std::string_view(f->l_text) == std::to_string(pt))
            line.codecs.emplace_back(pt, codec);
        }
      }
      if (const sdp_attribute_t* a = sdp_attribute_find(m->m_attributes, "ptime"))
        line.ptime = Number(a->a_value, 10, 200, kPtime);
    } else if (m->m_type == sdp_media_image && m->m_proto == sdp_proto_udptl) {
      bool t38 = false;
      for (const sdp_list_t* f = m->m_format; f; f = f->l_next) t38 = t38 || Is(f->l_text, "t38");
      if (t38) {
        line.kind = MediaKind::kT38;
        line.t38 = ReadT38(m->m_attributes);
      }
    }
    lines->push_back(std::move(line));
  }
  sdp_parser_free(parser);
  if (lines->empty()) return *why = "no media in session description", false;
  return true;
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

bool Usable(const Line& l, std::string* why) {
  if (l.port <= 0) return false;
  if (l.address.empty() || l.address == "0.0.0.0") return *why = "no connection address", false;
  return true;
}

}  // namespace

SdpSession::SdpSession(std::string address, uint64_t sessionId)
    : address_(std::move(address)), id_(sessionId), version_(sessionId) {}

std::string SdpSession::Render(const std::string& media) {
  if (!last_.empty() && media != lastMedia_) ++version_;
  lastMedia_ = media;
  last_ = "v=0\r\no=brevant " + std::to_string(id_) + " " + std::to_string(version_) + " IN IP4 " +
          address_ + "\r\ns=brevant\r\nc=IN IP4 " + address_ + "\r\nt=0 0\r\n" + media;
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
  if (media.kind == MediaKind::kAudio) return Render(AudioLine(media.localPort, {{media.payloadType, media.codec}}));
  return Offer(MediaKind::kAudio, media.localPort, policy);
}

std::optional<Media> SdpSession::ReadAnswer(std::string_view sdp, std::string* why) const {
  std::vector<Line> lines;
  if (!Parse(sdp, &lines, why)) return std::nullopt;
  const char* refused = offered_ == MediaKind::kT38 ? "T.38 refused" : "audio refused";
  auto it = std::find_if(lines.begin(), lines.end(), [&](const Line& l) { return l.kind == offered_; });
  if (it == lines.end() || it->port <= 0) return *why = refused, std::nullopt;
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
  std::vector<Line> lines;
  if (!Parse(offer, &lines, why)) return std::nullopt;
  // The stream to take: T.38 when allowed and offered, else audio with a
  // codec of ours (ours decide the order).
  std::optional<size_t> chosen;
  Media m;
  m.localPort = localPort;
  *why = "no acceptable media";
  for (size_t i = 0; i < lines.size() && !chosen && policy.t38; ++i) {
    const Line& l = lines[i];
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
      const Line& l = lines[i];
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
    if (!policy.t38 && std::any_of(lines.begin(), lines.end(),
                                   [](const Line& l) { return l.kind == MediaKind::kT38 && l.port > 0; }))
      *why = "T.38 is switched off";
    return std::nullopt;
  }
  const Line& l = lines[*chosen];
  m.remoteAddress = l.address;
  m.remotePort = l.port;
  // The answer keeps the offer's lines in order; those not taken get port 0.
  std::string body;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i != *chosen)
      body += "m=" + lines[i].type + " 0 " + lines[i].proto + " " + lines[i].formats + "\r\n";
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
