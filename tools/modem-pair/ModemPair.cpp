// modem-pair: two Class 1 fax modems joined by a telephone line, for tests,
// benchmarks and the modem demo.
//
// Each modem is SpanDSP's T.31 emulator served on a pseudo-terminal, so any
// fax program that drives a Class 1 modem (ours, efax, HylaFAX's faxgetty)
// can use it as a device. The two modems' audio feeds each other in 20 ms
// blocks of 8 kHz samples, in real time or at a chosen pace, with a delay
// each way as on a real line. Dialling on one side rings the other (RING
// every few seconds of line time); answering connects the two; hanging up
// is passed on. The line can be made busy, without dial tone, hung up by
// the called side after it has confirmed a number of pages, or garbled:
// --garble N:FROM:MS puts MS ms of noise instead of the signal FROM ms into
// the Nth fast carrier of a call (the training check is the first, then
// the pages). Options: see Usage. It prints "A <pty>" and "B <pty>", then
// "ready", and runs until killed.
//
// With --rtp PORT the far end of modem A's line is not modem B but a G.711
// RTP peer on 127.0.0.1:PORT (a SIP line's audio session): A's line audio
// goes there as 20 ms PCMA packets (PCMU with --pcmu) and what comes back
// is played to A. Dialling on A connects at once; RTP arriving while the
// line is idle rings A (after a second of quiet: the stream of a call just
// ended rings nothing); RTP that stops for 3 s of line time hangs A up. It
// prints "B 127.0.0.1:<its own port>" for the peer to send to. Its audio
// goes where the peer's packets come from (symmetric RTP, as a relay such
// as a provider's media gateway expects); with --rtp 0 nothing is sent in
// a call until the first packet has come, and the line waits 10 s of line
// time for it instead of 3.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The AT interpreter's receive mode tells which bytes from a program are
// HDLC frames; that state is only reachable through the internal structures.
// clang-format off
#define SPANDSP_EXPOSE_INTERNAL_STRUCTURES
#include <tiffio.h>
#include <spandsp.h>
#undef lrint
#undef lrintf
// clang-format on

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "faxservice/daemon/lines/sip/media/Rtp.h"

namespace {

constexpr int kBlock = 160;  // 20 ms at 8 kHz
constexpr int kRate = 8000;
constexpr uint8_t kDle = 0x10, kEtx = 0x03;
constexpr uint8_t kMcf = 0x8C;  // message confirmation, as it stands in a frame
constexpr int kDelayMs = 160;   // each way, as on a real line
constexpr int kNoise = 8000;    // amplitude of the noise that garbles a carrier

struct Options {
  std::string link[2];
  double pace = 1.0;
  double ringSeconds = 6;
  int maxRings = 10;
  int busy = 0;
  int noDialTone = 0;
  int hangupAfter = 0;
  int garbleCarrier = 0;
  int garbleFromMs = 0;
  int garbleMs = 0;
  bool trace = false;
  bool rtp = false;  // modem B replaced by an RTP peer
  int rtpPeer = 0;   // its port, 0 until its first packet
  bool pcmu = false;
};

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

struct Line;

struct Modem {
  int index = 0;
  Line* line = nullptr;
  int master = -1;
  int slave = -1;  // held open so reads before a program opens the device do not fail
  std::string path;
  t31_state_t* t31 = nullptr;
  bool cts = true;
  std::deque<int16_t> heard;  // the far side's audio on its way down the line
  // Frames written by the program while the modem sends HDLC.
  std::vector<uint8_t> frame;
  bool dle = false;
  bool fastTx = false;      // sending image data (or the training check)
  std::deque<uint8_t> out;  // to the program, not yet taken
  char Name() const { return static_cast<char>('A' + index); }
};

// A call event delivered to a modem after some line time has passed.
struct Event {
  long at;
  int modem;
  int event;
};

// The RTP side of modem A's line (--rtp).
struct RtpSide {
  int fd = -1;
  int port = 0;
  sockaddr_in peer{};
  brevant::faxmedia::RtpHeader tx;
  std::unique_ptr<brevant::faxmedia::Playout> playout;
  g711_state_t *enc = nullptr, *dec = nullptr;
  long lastHeard = -2L * kRate;  // long ago
};

struct Line {
  Options opt;
  Modem modem[2];
  RtpSide rtp;
  int Modems() const { return opt.rtp ? 1 : 2; }
  enum State { kIdle, kRinging, kConnected } state = kIdle;
  int caller = -1;
  long now = 0;  // samples of line time
  long nextRing = 0;
  int rings = 0;
  int confirmed = 0;  // pages the called side confirmed in this call
  long hangupAt = -1;
  int fastCarriers = 0;  // in this call, both ways
  int garbled = -1;      // the modem whose signal is garbled
  long garbleFrom = 0, garbleUntil = 0;
  unsigned noise = 1;
  std::vector<Event> events;

  void Trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void Later(double seconds, int m, int event) {
    events.push_back({now + static_cast<long>(seconds * kRate), m, event});
  }
  // The audio already on its way still arrives after the call ends. A
  // peer learnt from its packets is learnt again in the next call.
  void EndCall() {
    state = kIdle;
    if (!opt.rtpPeer) rtp.peer.sin_port = 0;
    caller = -1;
    hangupAt = -1;
  }
};

void Line::Trace(const char* fmt, ...) {
  if (!opt.trace) return;
  std::fprintf(stderr, "[%8.3f] ", static_cast<double>(now) / kRate);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
}

std::string Printable(const uint8_t* buf, size_t len) {
  std::string out;
  for (size_t i = 0; i < len && out.size() < 160; ++i) {
    if (buf[i] >= 0x20 && buf[i] < 0x7F) {
      out += static_cast<char>(buf[i]);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", buf[i]);
      out += hex;
    }
  }
  return out;
}

// What the modem says to its program: queued, and written as the program
// reads, so a program slowed down (a loaded machine, a fast pace) loses
// nothing.
int ToProgram(at_state_t*, void* user, const uint8_t* buf, size_t len) {
  auto* m = static_cast<Modem*>(user);
  m->line->Trace("%c <- %s", m->Name(), Printable(buf, len).c_str());
  m->out.insert(m->out.end(), buf, buf + len);
  return 0;
}

void WriteProgram(Modem& m) {
  while (!m.out.empty()) {
    uint8_t buf[1024];
    size_t len = std::min(m.out.size(), sizeof buf);
    std::copy(m.out.begin(), m.out.begin() + static_cast<std::ptrdiff_t>(len), buf);
    ssize_t n = ::write(m.master, buf, len);
    if (n <= 0) break;
    m.out.erase(m.out.begin(), m.out.begin() + n);
  }
  if (m.out.size() > (1u << 20)) m.out.clear();  // nobody reads the device at all
}

// Counts the pages the called side confirms (final MCF frames its program
// sends) so the line can be hung up after a number of them.
void WatchFrames(Modem& m, const uint8_t* buf, size_t len) {
  Line& l = *m.line;
  for (size_t i = 0; i < len; ++i) {
    uint8_t c = buf[i];
    if (m.dle) {
      m.dle = false;
      if (c == kEtx) {
        if (m.frame.size() >= 3 && m.frame[0] == 0xFF && (m.frame[1] & 0x10) && (m.frame[2] & 0xFE) == kMcf &&
            l.state == Line::kConnected && m.index != l.caller) {
          ++l.confirmed;
          l.Trace("%c confirmed page %d", m.Name(), l.confirmed);
          if (l.opt.hangupAfter > 0 && l.confirmed == l.opt.hangupAfter && l.hangupAt < 0)
            l.hangupAt = l.now + static_cast<long>(1.5 * kRate);  // once the MCF has been heard
        }
        m.frame.clear();
        continue;
      }
    } else if (c == kDle) {
      m.dle = true;
      continue;
    }
    if (m.frame.size() < 300) m.frame.push_back(c);
  }
}

int Control(t31_state_t*, void* user, int op, const char* num) {
  auto* m = static_cast<Modem*>(user);
  Line& l = *m->line;
  int other = 1 - m->index;
  switch (op) {
    case AT_MODEM_CONTROL_CALL:
      l.Trace("%c dials %s", m->Name(), num ? num : "");
      if (l.opt.noDialTone > 0) {
        --l.opt.noDialTone;
        l.Later(1, m->index, AT_CALL_EVENT_NO_DIALTONE);
      } else if (l.opt.busy > 0 || l.state != Line::kIdle) {
        if (l.opt.busy > 0) --l.opt.busy;
        l.Later(2, m->index, AT_CALL_EVENT_BUSY);
      } else if (l.opt.rtp) {
        // The RTP peer is a session that already runs: it answers at once.
        l.state = Line::kConnected;
        l.caller = m->index;
        l.rtp.lastHeard = l.now + (l.rtp.peer.sin_port ? 0 : 7L * kRate);
        l.Later(1, m->index, AT_CALL_EVENT_CONNECTED);
      } else {
        l.state = Line::kRinging;
        l.caller = m->index;
        l.rings = 0;
        l.confirmed = 0;
        l.nextRing = l.now + kRate;  // the first ring after a second of dialling
      }
      break;
    case AT_MODEM_CONTROL_ANSWER:
      if (l.state == Line::kRinging && m->index != l.caller) {
        l.Trace("%c answers", m->Name());
        l.state = Line::kConnected;
        l.fastCarriers = 0;
        for (auto& side : l.modem) side.heard.clear();
        l.Later(0, m->index, AT_CALL_EVENT_ANSWERED);
        if (other < l.Modems()) l.Later(0, other, AT_CALL_EVENT_CONNECTED);
        l.rtp.lastHeard = l.now;
      } else {
        l.Later(1, m->index, AT_CALL_EVENT_HANGUP);  // nothing to answer
      }
      break;
    case AT_MODEM_CONTROL_HANGUP:
      if (l.state == Line::kConnected || (l.state == Line::kRinging && m->index == l.caller)) {
        l.Trace("%c hangs up", m->Name());
        if (l.state == Line::kConnected && other < l.Modems())
          l.Later(kDelayMs / 1000.0 + 0.3, other, AT_CALL_EVENT_HANGUP);
        l.EndCall();
      }
      break;
    case AT_MODEM_CONTROL_CTS:
      m->cts = num != nullptr;
      break;
    default:
      break;
  }
  return 0;
}

bool OpenPty(Modem& m) {
  m.master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (m.master < 0 || ::grantpt(m.master) != 0 || ::unlockpt(m.master) != 0) return false;
  const char* name = ::ptsname(m.master);
  if (!name) return false;
  m.path = name;
  m.slave = ::open(name, O_RDWR | O_NOCTTY);
  if (m.slave < 0) return false;
  // A modem device as the system makes one: root's, group dialout, 0660
  // (a fax service opens no terminal a user owns).
  if (::geteuid() == 0) {
    const group* dialout = ::getgrnam("dialout");
    const gid_t gid = dialout ? dialout->gr_gid : 0;
    if (::fchown(m.slave, 0, gid) != 0 || ::fchmod(m.slave, 0660) != 0) return false;
  }
  termios t{};
  ::tcgetattr(m.slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(m.slave, TCSANOW, &t);
  ::fcntl(m.master, F_SETFL, ::fcntl(m.master, F_GETFL) | O_NONBLOCK);
  return true;
}

// Bytes from the program, as far as the modem takes them (CTS).
void ReadProgram(Modem& m) {
  uint8_t buf[256];
  for (int rounds = 0; rounds < 8 && m.cts; ++rounds) {
    ssize_t n = ::read(m.master, buf, sizeof buf);
    if (n <= 0) return;
    bool hdlc = m.t31->at_state.at_rx_mode == AT_MODE_HDLC;
    if (hdlc) WatchFrames(m, buf, static_cast<size_t>(n));
    m.line->Trace("%c -> %s", m.Name(),
                  hdlc || n < 64 ? Printable(buf, static_cast<size_t>(n)).c_str() : "(data)");
    t31_at_rx(m.t31, reinterpret_cast<const char*>(buf), static_cast<int>(n));
  }
}

// Packets from the RTP peer: they ring an idle line and are played to
// modem A while connected; a peer gone quiet hangs A up.
void ReceiveRtp(Line& l) {
  using namespace brevant::faxmedia;
  std::uint8_t buf[2048];
  ssize_t n;
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  while ((n = ::recvfrom(l.rtp.fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                         &fromLen)) > 0) {
    RtpHeader h;
    std::span<const std::uint8_t> payload;
    if (!ParseRtp({buf, std::size_t(n)}, &h, &payload) || payload.size() > 1024) continue;
    if (from.sin_port != l.rtp.peer.sin_port)
      l.Trace("RTP from 127.0.0.1:%d: the line's audio goes there", ntohs(from.sin_port));
    l.rtp.peer = from;
    std::int16_t pcm[1024];
    const int got = g711_decode(l.rtp.dec, pcm, payload.data(), int(payload.size()));
    l.rtp.playout->Put(h.timestamp, {pcm, std::size_t(got)});
    // A stream that goes on after its call ended (the peer hangs up a
    // moment later) rings nothing; a new one starts after a pause.
    const bool resumed = l.now - l.rtp.lastHeard > kRate;
    l.rtp.lastHeard = l.now;
    if (l.state == Line::kIdle && resumed) {
      l.Trace("RTP from the peer: the line rings");
      l.state = Line::kRinging;
      l.caller = 1;
      l.rings = 0;
      l.confirmed = 0;
      l.nextRing = l.now;
    }
  }
  if (l.state != Line::kIdle && l.now - l.rtp.lastHeard > 3L * kRate) {
    l.Trace("the RTP peer went quiet: A hangs up");
    t31_call_event(l.modem[0].t31, AT_CALL_EVENT_HANGUP);
    l.EndCall();
  }
}

void SendRtp(Line& l, const int16_t* samples) {
  if (!l.rtp.peer.sin_port) return;  // not heard from yet
  std::uint8_t g711[kBlock];
  g711_encode(l.rtp.enc, g711, samples, kBlock);
  const auto packet = brevant::faxmedia::BuildRtp(l.rtp.tx, g711);
  ::sendto(l.rtp.fd, packet.data(), packet.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&l.rtp.peer),
           sizeof l.rtp.peer);
  l.rtp.tx.marker = false;
  ++l.rtp.tx.seq;
  l.rtp.tx.timestamp += kBlock;
}

void Tick(Line& l) {
  for (int i = 0; i < l.Modems(); ++i) {
    WriteProgram(l.modem[i]);
    ReadProgram(l.modem[i]);
  }
  if (l.opt.rtp) ReceiveRtp(l);

  for (auto it = l.events.begin(); it != l.events.end();) {
    if (it->at <= l.now) {
      Event e = *it;
      it = l.events.erase(it);
      l.Trace("%c event %d", l.modem[e.modem].Name(), e.event);
      t31_call_event(l.modem[e.modem].t31, e.event);
    } else {
      ++it;
    }
  }

  if (l.state == Line::kRinging && l.now >= l.nextRing) {
    int callee = 1 - l.caller;
    if (l.rings >= l.opt.maxRings) {
      l.Trace("no answer after %d rings", l.rings);
      if (l.caller < l.Modems()) t31_call_event(l.modem[l.caller].t31, AT_CALL_EVENT_NO_ANSWER);
      l.EndCall();
    } else {
      ++l.rings;
      l.nextRing = l.now + static_cast<long>(l.opt.ringSeconds * kRate);
      t31_call_event(l.modem[callee].t31, AT_CALL_EVENT_ALERTING);
    }
  }
  if (l.hangupAt >= 0 && l.now >= l.hangupAt) {
    l.Trace("the called side hangs up after page %d", l.confirmed);
    for (int i = 0; i < l.Modems(); ++i) t31_call_event(l.modem[i].t31, AT_CALL_EVENT_HANGUP);
    l.EndCall();
  }

  // One block of audio each way; the line delay is a queue of samples.
  std::array<std::array<int16_t, kBlock>, 2> out{};
  if (l.opt.rtp) l.rtp.playout->Take(out[1]);
  for (int i = 0; i < l.Modems(); ++i) {
    Modem& m = l.modem[i];
    int n = t31_tx(m.t31, out[i].data(), kBlock);
    if (n < kBlock) std::memset(out[i].data() + n, 0, sizeof(int16_t) * (kBlock - n));
    int kind = m.t31->modem;
    bool fast = kind == FAX_MODEM_V17_TX || kind == FAX_MODEM_V27TER_TX || kind == FAX_MODEM_V29_TX;
    if (fast && !m.fastTx && l.state == Line::kConnected && ++l.fastCarriers == l.opt.garbleCarrier) {
      l.garbled = i;
      l.garbleFrom = l.now + static_cast<long>(l.opt.garbleFromMs) * kRate / 1000;
      l.garbleUntil = l.garbleFrom + static_cast<long>(l.opt.garbleMs) * kRate / 1000;
      l.Trace("%c: %d ms of fast carrier %d will be noise", m.Name(), l.opt.garbleMs, l.fastCarriers);
    }
    m.fastTx = fast;
    if (i == l.garbled && l.now >= l.garbleFrom && l.now < l.garbleUntil)
      for (auto& sample : out[i]) {
        l.noise = l.noise * 1103515245u + 12345u;
        sample = static_cast<int16_t>(static_cast<int>((l.noise >> 16) % (2 * kNoise + 1)) - kNoise);
      }
  }
  if (l.opt.rtp && l.state == Line::kConnected) SendRtp(l, out[0].data());
  size_t delay = static_cast<size_t>(kDelayMs) * kRate / 1000;
  for (int i = 0; i < l.Modems(); ++i) {
    Modem& m = l.modem[i];
    if (l.state == Line::kConnected)
      m.heard.insert(m.heard.end(), out[1 - i].begin(), out[1 - i].end());
    else
      m.heard.insert(m.heard.end(), kBlock, 0);
    std::array<int16_t, kBlock> in{};
    if (m.heard.size() >= delay + kBlock) {
      std::copy(m.heard.begin(), m.heard.begin() + kBlock, in.begin());
      m.heard.erase(m.heard.begin(), m.heard.begin() + kBlock);
    }
    t31_rx(m.t31, in.data(), kBlock);
    WriteProgram(m);
  }
  l.now += kBlock;
}

const char* const Usage =
    "usage: modem-pair [--link-a PATH] [--link-b PATH] [--pace X] [--ring-seconds S]\n"
    "                  [--rings N] [--busy N] [--no-dialtone N] [--hangup-after PAGES]\n"
    "                  [--garble N:FROM:MS] [--rtp PORT [--pcmu]] [--trace]\n";

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--trace" || a == "--pcmu") {
      (a == "--trace" ? o->trace : o->pcmu) = true;
      continue;
    }
    if (!(v = value())) return false;
    if (a == "--link-a")
      o->link[0] = v;
    else if (a == "--link-b")
      o->link[1] = v;
    else if (a == "--pace")
      o->pace = std::atof(v);
    else if (a == "--ring-seconds")
      o->ringSeconds = std::atof(v);
    else if (a == "--rings")
      o->maxRings = std::atoi(v);
    else if (a == "--busy")
      o->busy = std::atoi(v);
    else if (a == "--no-dialtone")
      o->noDialTone = std::atoi(v);
    else if (a == "--hangup-after")
      o->hangupAfter = std::atoi(v);
    else if (a == "--rtp") {
      o->rtp = true;
      o->rtpPeer = std::atoi(v);
    } else if (a != "--garble" ||
               std::sscanf(v, "%d:%d:%d", &o->garbleCarrier, &o->garbleFromMs, &o->garbleMs) != 3)
      return false;
  }
  return o->pace > 0 && o->ringSeconds > 0;
}

// The socket and codec of the RTP side; prints "B 127.0.0.1:<port>".
bool OpenRtp(Line& l) {
  RtpSide& r = l.rtp;
  r.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof me;
  if (r.fd < 0 || ::bind(r.fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0 ||
      ::getsockname(r.fd, reinterpret_cast<sockaddr*>(&me), &len) != 0)
    return false;
  r.port = ntohs(me.sin_port);
  r.peer.sin_family = AF_INET;
  r.peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  r.peer.sin_port = htons(static_cast<uint16_t>(l.opt.rtpPeer));
  r.enc = g711_init(nullptr, l.opt.pcmu ? G711_ULAW : G711_ALAW);
  r.dec = g711_init(nullptr, l.opt.pcmu ? G711_ULAW : G711_ALAW);
  r.tx.payloadType = l.opt.pcmu ? 0 : 8;
  r.tx.ssrc = 0x6d6f6465;
  r.tx.marker = true;
  // 100 ms of wall time in hand, as the media engine keeps.
  r.playout = std::make_unique<brevant::faxmedia::Playout>(static_cast<int>(800 * l.opt.pace));
  std::printf("B 127.0.0.1:%d\n", r.port);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  static Line line;
  if (!ParseArgs(argc, argv, &line.opt)) {
    std::fputs(Usage, stderr);
    return 2;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  for (int i = 0; i < line.Modems(); ++i) {
    Modem& m = line.modem[i];
    m.index = i;
    m.line = &line;
    if (!OpenPty(m)) {
      std::perror("modem-pair: pseudo-terminal");
      return 1;
    }
    m.t31 = t31_init(nullptr, ToProgram, &m, Control, &m, nullptr, nullptr);
    t31_set_transmit_on_idle(m.t31, 1);
    if (!line.opt.link[i].empty()) {
      ::unlink(line.opt.link[i].c_str());
      if (::symlink(m.path.c_str(), line.opt.link[i].c_str()) != 0) {
        std::perror(("modem-pair: " + line.opt.link[i]).c_str());
        return 1;
      }
    }
    std::printf("%c %s\n", m.Name(), m.path.c_str());
  }
  if (line.opt.rtp && !OpenRtp(line)) {
    std::perror("modem-pair: RTP socket");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  auto start = std::chrono::steady_clock::now();
  auto block = std::chrono::duration<double>(static_cast<double>(kBlock) / kRate / line.opt.pace);
  for (long ticks = 1; !g_stop; ++ticks) {
    Tick(line);
    std::this_thread::sleep_until(
        start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(block * ticks));
  }
  for (int i = 0; i < line.Modems(); ++i) {
    if (!line.opt.link[i].empty()) ::unlink(line.opt.link[i].c_str());
    t31_free(line.modem[i].t31);
  }
  return 0;
}
