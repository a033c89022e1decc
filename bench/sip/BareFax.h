#pragma once
// The baseline of the SIP benchmarks: SpanDSP's bare T.38 terminal pair
// (and bare fax modem pair) in memory, the two ends handing each other
// their packets (or audio) directly, 20 ms at a time, with nothing between
// them: no sockets, no session layer. Figures are CPU seconds per second of
// line time per call (both ends).
#include <time.h>

// clang-format off
#include <tiffio.h>
#include <spandsp.h>
#undef lrint
#undef lrintf
// clang-format on

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace brevant::bench {

inline double Cpu(clockid_t clock) {
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
inline int Keep(t38_core_state_t*, void* user, const std::uint8_t* buf, int len, int) {
  static_cast<Queue*>(user)->q.emplace_back(buf, buf + len);
  return 0;
}

inline void Setup(t30_state_t* t, const std::string& tx, const std::string& rx) {
  t30_set_supported_modems(t, T30_SUPPORT_V17 | T30_SUPPORT_V29 | T30_SUPPORT_V27TER);
  t30_set_ecm_capability(t, 1);
  if (!tx.empty()) t30_set_tx_file(t, tx.c_str(), -1, -1);
  if (!rx.empty()) t30_set_rx_file(t, rx.c_str(), -1);
  span_log_set_level(t30_get_logging_state(t), SPAN_LOG_NONE);
}

inline Figure BareT38(const std::string& doc, const std::string& rx) {
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

inline Figure BareAudio(const std::string& doc, const std::string& rx) {
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

// The mean of `runs` bare calls of each kind on the letter.
inline void BareFigures(const std::string& doc, const std::string& rx, int runs, Figure* t38, Figure* audio) {
  for (int i = 0; i < runs; ++i) {
    const Figure t = BareT38(doc, rx), a = BareAudio(doc, rx);
    t38->cpu += t.cpu, t38->line += t.line, t38->calls += 1;
    audio->cpu += a.cpu, audio->line += a.line, audio->calls += 1;
  }
}

// The 2-page sample letter as a fax TIFF (G4, 204x196, A4), made by
// Ghostscript; false when it could not be made.
inline bool MakeLetter(const std::string& doc) {
  const std::string gs =
      "gs -q -dNOPAUSE -dBATCH -sDEVICE=tiffg4 -r204x196 -sPAPERSIZE=a4 -dFIXEDMEDIA -dPDFFitPage "
      "-sOutputFile=" +
      doc + " " BREVANT_SOURCE_DIR "/samples/letter.pdf";
  return std::system(gs.c_str()) == 0;
}

}  // namespace brevant::bench
