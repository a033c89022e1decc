#include "tools/brevant-faxd/FaxLine.h"

// SpanDSP's headers need the C math and TIFF declarations first, and under
// C++ define lrint/lrintf as truncating macros: keep SpanDSP to this file.
#include <tiffio.h>
#include <spandsp.h>
#undef lrint
#undef lrintf

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace brevant::faxd {

namespace {

constexpr int kBlock = 160;             // 20 ms at 8 kHz
constexpr long kMaxSamples = 8000L * 60 * 30;  // a call longer than 30 minutes is dead

struct Side {
  fax_state_t* fax = nullptr;
  t30_state_t* t30 = nullptr;
  bool done = false;
  int completion = -1;
};

struct CallState {
  Side caller, answerer;
  const LineOptions* opts = nullptr;
  int pagesConfirmed = 0;
  int pagesArrived = 0;
  bool hungUp = false;
};

void PhaseE(t30_state_t*, void* user, int completion) {
  auto* side = static_cast<Side*>(user);
  side->done = true;
  side->completion = completion;
}

int CallerPhaseD(t30_state_t* t, void* user, int) {
  auto* cs = static_cast<CallState*>(user);
  t30_stats_t st;
  t30_get_transfer_statistics(t, &st);
  if (st.pages_tx != cs->pagesConfirmed) {
    cs->pagesConfirmed = st.pages_tx;
    if (cs->opts->onPage) cs->opts->onPage(st.pages_tx);
  }
  return T30_ERR_OK;
}

int AnswererPhaseD(t30_state_t* t, void* user, int) {
  auto* cs = static_cast<CallState*>(user);
  t30_stats_t st;
  t30_get_transfer_statistics(t, &st);
  cs->pagesArrived = st.pages_rx;
  if (cs->opts->hangupAfterPages > 0 && st.pages_rx >= cs->opts->hangupAfterPages) cs->hungUp = true;
  return T30_ERR_OK;
}

void Setup(Side& side, bool calling, const std::string& ident, const LineOptions& o) {
  side.fax = fax_init(nullptr, calling ? 1 : 0);
  side.t30 = fax_get_t30_state(side.fax);
  fax_set_transmit_on_idle(side.fax, 1);
  t30_set_tx_ident(side.t30, ident.substr(0, 20).c_str());
  int modems = 0;
  if (o.modems & kV27ter) modems |= T30_SUPPORT_V27TER;
  if (o.modems & kV29) modems |= T30_SUPPORT_V29;
  if (o.modems & kV17) modems |= T30_SUPPORT_V17;
  t30_set_supported_modems(side.t30, modems);
  t30_set_ecm_capability(side.t30, o.ecm ? 1 : 0);
  t30_set_phase_e_handler(side.t30, PhaseE, &side);
  // Library diagnostics would go to stderr; results are reported instead.
  span_log_set_level(t30_get_logging_state(side.t30), SPAN_LOG_NONE);
  span_log_set_level(fax_get_logging_state(side.fax), SPAN_LOG_NONE);
}

}  // namespace

CallResult RunCall(const std::string& txFile, const std::string& rxFile, const LineOptions& opts) {
  auto wallStart = std::chrono::steady_clock::now();
  CallResult r;
  CallState cs;
  cs.opts = &opts;
  Setup(cs.caller, true, opts.callerIdent, opts);
  Setup(cs.answerer, false, opts.answerIdent, opts);
  t30_set_tx_file(cs.caller.t30, txFile.c_str(), -1, -1);
  t30_set_rx_file(cs.answerer.t30, rxFile.c_str(), -1);
  t30_set_phase_d_handler(cs.caller.t30, CallerPhaseD, &cs);
  t30_set_phase_d_handler(cs.answerer.t30, AnswererPhaseD, &cs);

  int16_t toAnswerer[kBlock], toCaller[kBlock];
  long samples = 0;
  bool answererGone = false;
  while (samples < kMaxSamples) {
    if (opts.cancel && opts.cancel->load()) {
      r.canceled = true;
      break;
    }
    int n = fax_tx(cs.caller.fax, toAnswerer, kBlock);
    if (n < kBlock) std::memset(toAnswerer + n, 0, sizeof(int16_t) * (kBlock - n));
    if (!answererGone) {
      n = fax_tx(cs.answerer.fax, toCaller, kBlock);
      if (n < kBlock) std::memset(toCaller + n, 0, sizeof(int16_t) * (kBlock - n));
      fax_rx(cs.answerer.fax, toAnswerer, kBlock);
    } else {
      std::memset(toCaller, 0, sizeof toCaller);  // a dead line after the far end hung up
    }
    fax_rx(cs.caller.fax, toCaller, kBlock);
    samples += kBlock;
    if (cs.hungUp && !answererGone) {
      // The far end put the receiver down: it closes what it has and the
      // caller hears silence until its own timers give up.
      answererGone = true;
      r.farEndHungUp = true;
      t30_terminate(cs.answerer.t30);
    }
    if (cs.caller.done && (cs.answerer.done || answererGone)) break;
    if (opts.pace > 0 && samples % (kBlock * 10) == 0) {
      auto due = wallStart + std::chrono::duration<double>(samples / 8000.0 / opts.pace);
      std::this_thread::sleep_until(due);
    }
  }
  if (!cs.caller.done) t30_terminate(cs.caller.t30);
  if (!cs.answerer.done && !answererGone) t30_terminate(cs.answerer.t30);

  t30_stats_t st;
  t30_get_transfer_statistics(cs.caller.t30, &st);
  r.pagesSent = st.pages_tx;
  r.bitRate = st.bit_rate;
  t30_stats_t rst;
  t30_get_transfer_statistics(cs.answerer.t30, &rst);
  r.pagesReceived = rst.pages_rx;
  if (const char* id = t30_get_rx_ident(cs.caller.t30)) r.remoteIdent = id;
  if (const char* id = t30_get_rx_ident(cs.answerer.t30)) r.callerIdent = id;
  r.completionCode = cs.caller.completion;
  r.audioSeconds = samples / 8000.0;
  if (r.canceled) {
    r.result = "Cancelled during transmission";
  } else if (samples >= kMaxSamples) {
    r.result = "The call did not end";
  } else if (cs.caller.completion == T30_ERR_OK && !r.farEndHungUp) {
    r.ok = true;
    r.result = "OK";
  } else {
    r.result = r.farEndHungUp ? std::string("The far end hung up after page ") + std::to_string(cs.pagesArrived) + " (" +
                                    t30_completion_code_to_str(cs.caller.completion) + ")"
                              : t30_completion_code_to_str(cs.caller.completion);
  }
  fax_free(cs.caller.fax);
  fax_free(cs.answerer.fax);
  if (r.pagesReceived == 0) std::remove(rxFile.c_str());
  r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  return r;
}

}  // namespace brevant::faxd
