// CPU per fax call of the media engine against bare SpanDSP:
//
//   sipmedia_bench [T38_PAIRS [G711_PAIRS [PACE [THREADS]]]]   (default 50 20 1 2)
//
// The engine runs the pairs at once, each a call between two sessions of
// its own on real UDP sockets over 127.0.0.1, at PACE times real time; the
// reference runs one pair of SpanDSP's T.38 terminals (or fax modems) in
// memory, packets handed over directly. Both send the same 2-page letter.
// Figures are CPU seconds per second of line time per call (two ends), so
// 1 / figure / cores is how many calls the machine carries in real time.
#include <time.h>

// clang-format off
#include <tiffio.h>
#include <spandsp.h>
#undef lrint
#undef lrintf
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "faxservice/daemon/lines/sip/media/FaxMedia.h"

namespace {

using namespace brevant::faxmedia;

double Cpu(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct Figure {
  double cpu = 0, line = 0;
  int calls = 0, delivered = 0;
  double PerCall() const { return line > 0 ? cpu / line : 0; }
};

// Two T.38 terminals handing their IFPs to each other, 20 ms at a time.
struct Queue {
  std::vector<std::vector<std::uint8_t>> q;
};
int Keep(t38_core_state_t*, void* user, const std::uint8_t* buf, int len, int) {
  static_cast<Queue*>(user)->q.emplace_back(buf, buf + len);
  return 0;
}

void Setup(t30_state_t* t, const std::string& tx, const std::string& rx) {
  t30_set_supported_modems(t, T30_SUPPORT_V17 | T30_SUPPORT_V29 | T30_SUPPORT_V27TER);
  t30_set_ecm_capability(t, 1);
  if (!tx.empty()) t30_set_tx_file(t, tx.c_str(), -1, -1);
  if (!rx.empty()) t30_set_rx_file(t, rx.c_str(), -1);
  span_log_set_level(t30_get_logging_state(t), SPAN_LOG_NONE);
}

Figure BareT38(const std::string& doc, const std::string& rx) {
  Figure f;
  const double start = Cpu(CLOCK_THREAD_CPUTIME_ID);
  Queue qa, qb;
  t38_terminal_state_t* a = t38_terminal_init(nullptr, 1, Keep, &qa);
  t38_terminal_state_t* b = t38_terminal_init(nullptr, 0, Keep, &qb);
  Setup(t38_terminal_get_t30_state(a), doc, "");
  Setup(t38_terminal_get_t30_state(b), "", rx);
  std::uint16_t sa = 0, sb = 0;
  long ticks = 0;
  while (t30_call_active(t38_terminal_get_t30_state(a)) || t30_call_active(t38_terminal_get_t30_state(b))) {
    t38_terminal_send_timeout(a, 160);
    t38_terminal_send_timeout(b, 160);
    for (auto& p : qa.q)
      t38_core_rx_ifp_packet(t38_terminal_get_t38_core_state(b), p.data(), int(p.size()), sa++);
    for (auto& p : qb.q)
      t38_core_rx_ifp_packet(t38_terminal_get_t38_core_state(a), p.data(), int(p.size()), sb++);
    qa.q.clear();
    qb.q.clear();
    if (++ticks > 50 * 600) break;
  }
  t30_stats_t st;
  t30_get_transfer_statistics(t38_terminal_get_t30_state(a), &st);
  f.delivered = st.pages_tx > 0;
  t38_terminal_free(a);
  t38_terminal_free(b);
  f.cpu = Cpu(CLOCK_THREAD_CPUTIME_ID) - start;
  f.line = double(ticks) / 50;
  f.calls = 1;
  return f;
}

Figure BareAudio(const std::string& doc, const std::string& rx) {
  Figure f;
  const double start = Cpu(CLOCK_THREAD_CPUTIME_ID);
  fax_state_t* a = fax_init(nullptr, 1);
  fax_state_t* b = fax_init(nullptr, 0);
  fax_set_transmit_on_idle(a, 1);
  fax_set_transmit_on_idle(b, 1);
  Setup(fax_get_t30_state(a), doc, "");
  Setup(fax_get_t30_state(b), "", rx);
  std::int16_t ab[160], ba[160];
  long ticks = 0;
  while (t30_call_active(fax_get_t30_state(a)) || t30_call_active(fax_get_t30_state(b))) {
    int n = fax_tx(a, ab, 160);
    std::memset(ab + n, 0, sizeof(std::int16_t) * std::size_t(160 - n));
    n = fax_tx(b, ba, 160);
    std::memset(ba + n, 0, sizeof(std::int16_t) * std::size_t(160 - n));
    fax_rx(b, ab, 160);
    fax_rx(a, ba, 160);
    if (++ticks > 50 * 600) break;
  }
  fax_free(a);
  fax_free(b);
  f.cpu = Cpu(CLOCK_THREAD_CPUTIME_ID) - start;
  f.line = double(ticks) / 50;
  f.calls = 1;
  f.delivered = 1;
  return f;
}

Figure Engine(bool t38, int pairs, double pace, int threads, const std::string& doc, const std::string& dir) {
  Figure f;
  std::string why;
  EngineOptions o;
  o.pace = pace;
  o.threads = threads;
  o.firstPort = 43000;
  o.lastPort = 43000 + pairs * 4 + 200;
  auto engine = MediaEngine::Start(o, &why);
  if (!engine) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
  }
  std::vector<std::unique_ptr<MediaCall>> callers, answerers;
  for (int i = 0; i < pairs; ++i) {
    callers.push_back(engine->Open(&why));
    answerers.push_back(engine->Open(&why));
    if (!callers.back() || !answerers.back()) {
      std::fprintf(stderr, "%s\n", why.c_str());
      std::exit(1);
    }
  }
  const double start = Cpu(CLOCK_PROCESS_CPUTIME_ID);
  for (int i = 0; i < pairs; ++i) {
    FaxJob send, recv;
    send.sendFile = doc;
    recv.calling = false;
    recv.receiveFile = dir + "/rx-" + std::to_string(i) + ".tif";
    const Endpoint toA{"127.0.0.1", callers[std::size_t(i)]->LocalPort()};
    const Endpoint toB{"127.0.0.1", answerers[std::size_t(i)]->LocalPort()};
    if (t38) {
      answerers[std::size_t(i)]->StartT38(toA, T38Params{}, recv, nullptr, &why);
      callers[std::size_t(i)]->StartT38(toB, T38Params{}, send, nullptr, &why);
    } else {
      answerers[std::size_t(i)]->StartAudio(toA, AudioParams{}, recv, nullptr, &why);
      callers[std::size_t(i)]->StartAudio(toB, AudioParams{}, send, nullptr, &why);
    }
  }
  for (int i = 0; i < pairs; ++i) {
    callers[std::size_t(i)]->Wait(600'000);
    answerers[std::size_t(i)]->Wait(600'000);
    const FaxReport r = callers[std::size_t(i)]->Report();
    f.line += r.lineSeconds;
    f.delivered += r.delivered && answerers[std::size_t(i)]->Report().pagesReceived == 2;
  }
  f.cpu = Cpu(CLOCK_PROCESS_CPUTIME_ID) - start;
  f.calls = pairs;
  return f;
}

void Print(const char* what, const Figure& engine, const Figure& bare) {
  std::printf(
      "%-6s engine: %d calls, %d delivered whole, %.1f s line time each, %.3f ms CPU per call-second\n", what,
      engine.calls, engine.delivered, engine.line / std::max(engine.calls, 1), engine.PerCall() * 1000);
  std::printf("%-6s bare SpanDSP pair in memory: %.3f ms CPU per call-second; engine / bare = %.2f\n", what,
              bare.PerCall() * 1000, bare.PerCall() > 0 ? engine.PerCall() / bare.PerCall() : 0);
}

}  // namespace

int main(int argc, char** argv) {
  const int t38Pairs = argc > 1 ? std::atoi(argv[1]) : 50;
  const int audioPairs = argc > 2 ? std::atoi(argv[2]) : 20;
  const double pace = argc > 3 ? std::atof(argv[3]) : 1;
  const int threads = argc > 4 ? std::atoi(argv[4]) : 2;
  TIFFSetWarningHandler(nullptr);
  const std::string dir =
      std::filesystem::temp_directory_path() / ("sipmedia-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string doc = dir + "/letter.tif";
  const std::string gs =
      "gs -q -dNOPAUSE -dBATCH -sDEVICE=tiffg4 -r204x196 -sPAPERSIZE=a4 -dFIXEDMEDIA -dPDFFitPage "
      "-sOutputFile=" +
      doc + " " BREVANT_SOURCE_DIR "/samples/letter.pdf";
  if (std::system(gs.c_str()) != 0) return std::fprintf(stderr, "Ghostscript failed\n"), 1;

  Figure bareT38, bareAudio;
  for (int i = 0; i < 5; ++i) {
    const Figure t = BareT38(doc, dir + "/bare.tif"), a = BareAudio(doc, dir + "/bare.tif");
    bareT38.cpu += t.cpu, bareT38.line += t.line, bareT38.calls += 1;
    bareAudio.cpu += a.cpu, bareAudio.line += a.line, bareAudio.calls += 1;
  }
  std::printf("pace %.1f, %d loop threads\n", pace, threads);
  if (t38Pairs > 0) Print("T.38", Engine(true, t38Pairs, pace, threads, doc, dir), bareT38);
  if (audioPairs > 0) Print("G.711", Engine(false, audioPairs, pace, threads, doc, dir), bareAudio);
  std::filesystem::remove_all(dir);
  return 0;
}
