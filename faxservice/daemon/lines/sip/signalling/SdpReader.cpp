#include "faxservice/daemon/lines/sip/signalling/SdpReader.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <charconv>

namespace brevant::sip {
namespace {

// A fax call's description is a few hundred bytes; a far end that sends
// more is refused before anything is read.
constexpr size_t kMaxSize = 16384;
constexpr size_t kMaxStreams = 16;
constexpr size_t kMaxFormats = 64;

bool Same(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The characters of an SDP token: visible ASCII but for separators.
bool TokenChar(char c) {
  return c > 0x20 && c < 0x7f && std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
}

bool Token(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), TokenChar);
}

// A decimal number of at most 9 digits in [low, high].
bool Number(std::string_view s, int low, int high, int* v) {
  if (s.empty() || s.size() > 9 ||
      !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  std::from_chars(s.data(), s.data() + s.size(), *v);
  return *v >= low && *v <= high;
}

bool Digits(std::string_view s) {
  return !s.empty() && s.size() <= 20 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Splits at single spaces; false when there are not min to max fields or a
// field is empty (two spaces in a row).
bool Fields(std::string_view s, size_t min, size_t max, std::vector<std::string_view>* out) {
  out->clear();
  for (size_t at = 0;;) {
    size_t space = s.find(' ', at);
    std::string_view f = s.substr(at, space == std::string_view::npos ? std::string_view::npos : space - at);
    if (f.empty() || out->size() == max) return false;
    out->push_back(f);
    if (space == std::string_view::npos) break;
    at = space + 1;
  }
  return out->size() >= min;
}

bool Direction(std::string_view name) {
  return name == "sendrecv" || name == "sendonly" || name == "recvonly" || name == "inactive";
}

// The stream being read, with what only its end settles.
struct Reading {
  SdpStream stream;
  std::vector<int> payloads;                   // the formats of an RTP line
  std::vector<std::pair<int, Codec>> rtpmaps;  // G.711 payloads named by a=rtpmap
  std::vector<int> mapped;                     // every payload named by a=rtpmap
  bool hasAddress = false, hasDirection = false;
};

class Reader {
 public:
  explicit Reader(std::string* why) : why_(why) {}

  std::optional<std::vector<SdpStream>> Read(std::string_view text) {
    if (text.size() > kMaxSize) return Refuse("longer than " + std::to_string(kMaxSize) + " bytes");
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      std::string_view line =
          text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
      start = end == std::string_view::npos ? text.size() : end + 1;
      ++lineNumber_;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
      if (line.empty()) continue;
      if (!Line(line)) return std::nullopt;
    }
    lineNumber_ = 0;
    if (stage_ < Stage::kSession) return Refuse("no v=, o= and s= lines at the start");
    if (!timed_) return Refuse("no t= line");
    if (stage_ != Stage::kMedia) return Refuse("no media");
    Finish();
    for (SdpStream& s : streams_)
      if (s.address.empty()) s.address = sessionAddress_;
    return std::move(streams_);
  }

 private:
  enum class Stage { kVersion, kOrigin, kName, kSession, kMedia };

  std::nullopt_t Refuse(const std::string& what) {
    *why_ = "unreadable session description: " +
            (lineNumber_ ? "line " + std::to_string(lineNumber_) + ": " : std::string()) + what;
    return std::nullopt;
  }

  bool Line(std::string_view line) {
    for (char c : line)
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
        return Refuse("control character"), false;
    if (line.size() < 2 || line[1] != '=' || line[0] < 'a' || line[0] > 'z')
      return Refuse("not a <type>=<value> line"), false;
    const char type = line[0];
    const std::string_view value = line.substr(2);
    std::vector<std::string_view> f;
    switch (stage_) {
      case Stage::kVersion:
        if (type != 'v' || value != "0") return Refuse("does not start with v=0"), false;
        stage_ = Stage::kOrigin;
        return true;
      case Stage::kOrigin:
        if (type != 'o') return Refuse("o= line expected"), false;
        if (!Fields(value, 6, 6, &f) || !Digits(f[1]) || !Digits(f[2]) || f[3] != "IN")
          return Refuse("bad o= line"), false;
        stage_ = Stage::kName;
        return true;
      case Stage::kName:
        if (type != 's') return Refuse("s= line expected"), false;
        stage_ = Stage::kSession;
        return true;
      case Stage::kSession:
      case Stage::kMedia:
        break;
    }
    const bool media = stage_ == Stage::kMedia;
    switch (type) {
      case 'm':
        if (!timed_) return Refuse("m= line before the t= line"), false;
        return MediaLine(value);
      case 'c':
        return Connection(value, media ? &current_.stream.address : &sessionAddress_,
                          media ? &current_.hasAddress : &sessionHasAddress_);
      case 'a':
        return Attribute(value);
      case 'i':
      case 'b':
      case 'k':
        return true;
      case 't':
        if (media) return Refuse("t= line among the media"), false;
        if (!Fields(value, 2, 2, &f) || !Digits(f[0]) || !Digits(f[1])) return Refuse("bad t= line"), false;
        timed_ = true;
        return true;
      case 'v':
      case 'o':
      case 's':
        return Refuse(std::string("a second ") + type + "= line"), false;
      case 'u':
      case 'e':
      case 'p':
      case 'r':
      case 'z':
        if (media) return Refuse(std::string(1, type) + "= line among the media"), false;
        return true;
      default:
        return Refuse(std::string("unknown line type ") + type + "="), false;
    }
  }

  // "m=<media> <port>[/<count>] <proto> <format> ..."
  bool MediaLine(std::string_view value) {
    if (stage_ == Stage::kMedia) Finish();
    stage_ = Stage::kMedia;
    if (streams_.size() == kMaxStreams)
      return Refuse("more than " + std::to_string(kMaxStreams) + " media lines"), false;
    std::vector<std::string_view> f;
    if (!Fields(value, 4, 3 + kMaxFormats, &f)) return Refuse("bad m= line"), false;
    current_ = Reading{};
    SdpStream& s = current_.stream;
    std::string_view port = f[1].substr(0, f[1].find('/'));
    int count = 1;
    if (!Token(f[0]) || !Number(port, 0, 65535, &s.port) ||
        (port.size() < f[1].size() && !Number(f[1].substr(port.size() + 1), 1, 65535, &count)))
      return Refuse("bad m= line"), false;
    if (count != 1) return Refuse("a media line of several ports"), false;
    // A protocol is tokens joined by "/": "RTP/AVP", "udptl".
    if (f[2].front() == '/' || f[2].back() == '/' || f[2].find("//") != std::string_view::npos ||
        !std::all_of(f[2].begin(), f[2].end(), [](char c) { return c == '/' || TokenChar(c); }))
      return Refuse("bad m= protocol"), false;
    s.media = f[0];
    s.proto = f[2];
    const bool rtp = f[2] == "RTP/AVP";
    bool t38 = false;
    for (size_t i = 3; i < f.size(); ++i) {
      int pt = 0;
      if (!Token(f[i]) || (rtp && !Number(f[i], 0, 127, &pt))) return Refuse("bad m= format"), false;
      if (rtp) current_.payloads.push_back(pt);
      t38 = t38 || Same(f[i], "t38");
      s.formats += (i > 3 ? " " : "") + std::string(f[i]);
    }
    if (s.media == "audio" && rtp)
      s.kind = MediaKind::kAudio;
    else if (s.media == "image" && Same(s.proto, "udptl") && t38)
      s.kind = MediaKind::kT38;
    s.t38.errorCorrection = T38ErrorCorrection::kNone;
    return true;
  }

  // "c=IN IP4 <address>": the one address family the media takes.
  bool Connection(std::string_view value, std::string* address, bool* seen) {
    std::vector<std::string_view> f;
    if (*seen) return Refuse("a second c= line"), false;
    *seen = true;
    if (!Fields(value, 3, 3, &f) || f[0] != "IN") return Refuse("bad c= line"), false;
    std::string text(f[2]);
    in_addr ignored{};
    if (f[1] != "IP4" || inet_pton(AF_INET, text.c_str(), &ignored) != 1)
      return Refuse("connection address is not an IPv4 address"), false;
    *address = text;
    return true;
  }

  bool Attribute(std::string_view value) {
    size_t colon = value.find(':');
    std::string_view name = value.substr(0, colon);
    std::string_view v = colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);
    if (!Token(name)) return Refuse("bad a= line"), false;
    const bool media = stage_ == Stage::kMedia;
    if (Direction(name)) {
      bool& seen = media ? current_.hasDirection : sessionHasDirection_;
      if (seen) return Refuse("a second direction attribute"), false;
      seen = true;
      (media ? current_.stream.direction : sessionDirection_) = name;
      return true;
    }
    if (!media) return true;  // session-wide attributes a fax call uses are only the direction
    SdpStream& s = current_.stream;
    T38Params& t = s.t38;
    int n = 0;
    auto number = [&](const char* what, int low, int high, int* to) {
      if (!Number(v, low, high, &n)) return Refuse(std::string("bad ") + what), false;
      *to = n;
      return true;
    };
    if (name == "rtpmap") return Rtpmap(v);
    if (name == "ptime") return number("ptime", 10, 200, &s.ptime);
    if (Same(name, "T38FaxVersion")) return number("T38FaxVersion", 0, 255, &t.version);
    if (Same(name, "T38MaxBitRate")) return number("T38MaxBitRate", 2400, 33600, &t.maxBitRate);
    if (Same(name, "T38FaxMaxBuffer")) return number("T38FaxMaxBuffer", 1, 1 << 24, &t.maxBuffer);
    if (Same(name, "T38FaxMaxDatagram")) return number("T38FaxMaxDatagram", 1, 65535, &t.maxDatagram);
    if (Same(name, "T38FaxRateManagement")) {
      if (!Same(v, "transferredTCF") && !Same(v, "localTCF"))
        return Refuse("bad T38FaxRateManagement"), false;
      t.transferredTcf = Same(v, "transferredTCF");
      return true;
    }
    if (Same(name, "T38FaxUdpEC")) {
      // Any other scheme is one this side does not do: none.
      t.errorCorrection = Same(v, "t38UDPRedundancy") ? T38ErrorCorrection::kRedundancy
                          : Same(v, "t38UDPFEC")      ? T38ErrorCorrection::kFec
                                                      : T38ErrorCorrection::kNone;
      return true;
    }
    return true;  // attributes a fax call has no use for
  }

  // "a=rtpmap:<payload> <encoding>/<rate>[/<channels>]"
  bool Rtpmap(std::string_view v) {
    std::vector<std::string_view> f;
    int pt = 0, rate = 0, channels = 1;
    if (!Fields(v, 2, 2, &f) || !Number(f[0], 0, 127, &pt)) return Refuse("bad rtpmap"), false;
    std::string_view encoding = f[1].substr(0, f[1].find('/'));
    std::string_view rest = f[1].substr(std::min(f[1].size(), encoding.size() + 1));
    std::string_view rateText = rest.substr(0, rest.find('/'));
    if (!Token(encoding) || !Number(rateText, 1, 1000000, &rate) ||
        (rateText.size() < rest.size() && !Number(rest.substr(rateText.size() + 1), 1, 255, &channels)))
      return Refuse("bad rtpmap"), false;
    if (std::count(current_.mapped.begin(), current_.mapped.end(), pt))
      return Refuse("payload mapped twice"), false;
    current_.mapped.push_back(pt);
    if (rate == 8000 && channels == 1 && (Same(encoding, "PCMA") || Same(encoding, "PCMU")))
      current_.rtpmaps.emplace_back(pt, Same(encoding, "PCMA") ? Codec::kPcma : Codec::kPcmu);
    return true;
  }

  // The stream read so far is complete: its G.711 payloads in the order of
  // its formats, a static type (0, 8) counting where no rtpmap renames it.
  void Finish() {
    SdpStream& s = current_.stream;
    for (int pt : current_.payloads) {
      auto named = std::find_if(current_.rtpmaps.begin(), current_.rtpmaps.end(),
                                [&](const auto& r) { return r.first == pt; });
      bool renamed = std::count(current_.mapped.begin(), current_.mapped.end(), pt) > 0;
      if (named != current_.rtpmaps.end())
        s.codecs.push_back(*named);
      else if (!renamed && (pt == 0 || pt == 8))
        s.codecs.emplace_back(pt, static_cast<Codec>(pt));
    }
    if (!current_.hasDirection) s.direction = sessionDirection_;
    streams_.push_back(std::move(s));
  }

  std::string* why_;
  Stage stage_ = Stage::kVersion;
  size_t lineNumber_ = 0;
  bool timed_ = false;
  std::string sessionAddress_, sessionDirection_ = "sendrecv";
  bool sessionHasAddress_ = false, sessionHasDirection_ = false;
  Reading current_;
  std::vector<SdpStream> streams_;
};

}  // namespace

std::optional<std::vector<SdpStream>> ReadSdp(std::string_view text, std::string* why) {
  return Reader(why).Read(text);
}

}  // namespace brevant::sip
