#include "faxservice/daemon/lines/loopback/LoopbackLine.h"

// SpanDSP's headers need the C math and TIFF declarations first, and under
// C++ define lrint/lrintf as truncating macros: keep SpanDSP to this file.
#include <fcntl.h>
#include <unistd.h>
// clang-format off
#include <tiffio.h>
#include <spandsp.h>
#undef lrint
#undef lrintf
// clang-format on

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/fs/Files.h"

namespace brevant::faxd {

namespace {

constexpr int kBlock = 160;                    // 20 ms at 8 kHz
constexpr long kMaxSamples = 8000L * 60 * 30;  // a call longer than 30 minutes is dead

enum Modem : int { kV27ter = 1, kV29 = 2, kV17 = 4 };

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Options {
  int modems = kV27ter | kV29 | kV17;
  bool ecm = false;
  double pace = 0;
  int hangupAfterPages = 0;
};

Options Read(const LineEnv& env) {
  Options o;
  o.modems = std::atoi(env.setting("modems").c_str());
  o.ecm = env.setting("ecm") == "1";
  o.pace = std::atof(env.setting("pace").c_str());
  o.hangupAfterPages = std::atoi(env.setting("hangup_after").c_str());
  return o;
}

struct Side {
  fax_state_t* fax = nullptr;
  t30_state_t* t30 = nullptr;
  bool done = false;
  int completion = -1;
};

// One back-to-back call. The caller side sends txFile (from firstPage),
// the answering side writes rxFile.
struct Call {
  Side caller, answerer;
  Options opts;
  std::function<void(int)> callerPage;    // pages the answering side confirmed
  std::function<void(int)> answererPage;  // pages the answering side stored
  int pagesArrived = 0;
  int lastConfirmed = 0;
  bool hungUp = false;
};

void PhaseE(t30_state_t*, void* user, int completion) {
  auto* side = static_cast<Side*>(user);
  side->done = true;
  side->completion = completion;
}

int CallerPhaseD(t30_state_t* t, void* user, int) {
  auto* c = static_cast<Call*>(user);
  t30_stats_t st;
  t30_get_transfer_statistics(t, &st);
  if (st.pages_tx != c->lastConfirmed) {
    c->lastConfirmed = st.pages_tx;
    if (c->callerPage) c->callerPage(st.pages_tx);
  }
  return T30_ERR_OK;
}

int AnswererPhaseD(t30_state_t* t, void* user, int) {
  auto* c = static_cast<Call*>(user);
  t30_stats_t st;
  t30_get_transfer_statistics(t, &st);
  if (st.pages_rx != c->pagesArrived) {
    c->pagesArrived = st.pages_rx;
    if (c->answererPage) c->answererPage(st.pages_rx);
  }
  if (c->opts.hangupAfterPages > 0 && st.pages_rx >= c->opts.hangupAfterPages) c->hungUp = true;
  return T30_ERR_OK;
}

void Setup(Side& side, bool calling, const std::string& ident, const Options& o) {
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

struct Result {
  bool ok = false, canceled = false, farEndHungUp = false, timedOut = false;
  std::string failure;
  int pagesSent = 0, pagesReceived = 0, bitRate = 0;
  std::string remoteIdent, callerIdent;
  double seconds = 0;
  bool answererOk = false;
};

// Runs the whole call.
Result RunCall(Call& c, const std::string& callerIdent, const std::string& answerIdent,
               const std::string& txFile, int firstPage, const std::string& rxFile,
               const CallEvents& events) {
  auto wallStart = std::chrono::steady_clock::now();
  Result r;
  Setup(c.caller, true, callerIdent, c.opts);
  Setup(c.answerer, false, answerIdent, c.opts);
  // SpanDSP counts pages from 0.
  t30_set_tx_file(c.caller.t30, txFile.c_str(), firstPage > 1 ? firstPage - 1 : -1, -1);
  t30_set_rx_file(c.answerer.t30, rxFile.c_str(), -1);
  t30_set_phase_d_handler(c.caller.t30, CallerPhaseD, &c);
  t30_set_phase_d_handler(c.answerer.t30, AnswererPhaseD, &c);

  int16_t toAnswerer[kBlock], toCaller[kBlock];
  long samples = 0;
  bool answererGone = false;
  while (samples < kMaxSamples) {
    if (samples % (kBlock * 10) == 0 && events.Cancelled()) {
      r.canceled = true;
      break;
    }
    int n = fax_tx(c.caller.fax, toAnswerer, kBlock);
    if (n < kBlock) std::memset(toAnswerer + n, 0, sizeof(int16_t) * (kBlock - n));
    if (!answererGone) {
      n = fax_tx(c.answerer.fax, toCaller, kBlock);
      if (n < kBlock) std::memset(toCaller + n, 0, sizeof(int16_t) * (kBlock - n));
      fax_rx(c.answerer.fax, toAnswerer, kBlock);
    } else {
      std::memset(toCaller, 0, sizeof toCaller);  // a dead line after the far end hung up
    }
    fax_rx(c.caller.fax, toCaller, kBlock);
    samples += kBlock;
    if (c.hungUp && !answererGone) {
      // The far end put the receiver down: it closes what it has and the
      // caller hears silence until its own timers give up.
      answererGone = true;
      r.farEndHungUp = true;
      t30_terminate(c.answerer.t30);
    }
    if (c.caller.done && (c.answerer.done || answererGone)) break;
    if (c.opts.pace > 0 && samples % (kBlock * 10) == 0) {
      auto due = wallStart + std::chrono::duration<double>(samples / 8000.0 / c.opts.pace);
      std::this_thread::sleep_until(due);
    }
  }
  if (!c.caller.done) t30_terminate(c.caller.t30);
  if (!c.answerer.done && !answererGone) t30_terminate(c.answerer.t30);

  t30_stats_t st;
  t30_get_transfer_statistics(c.caller.t30, &st);
  r.pagesSent = st.pages_tx;
  r.bitRate = st.bit_rate;
  t30_stats_t rst;
  t30_get_transfer_statistics(c.answerer.t30, &rst);
  r.pagesReceived = rst.pages_rx;
  if (const char* id = t30_get_rx_ident(c.caller.t30)) r.remoteIdent = id;
  if (const char* id = t30_get_rx_ident(c.answerer.t30)) r.callerIdent = id;
  r.seconds = samples / 8000.0;
  r.answererOk = c.answerer.completion == T30_ERR_OK && !r.farEndHungUp;
  if (r.canceled) {
    r.failure = "Cancelled during transmission";
  } else if (samples >= kMaxSamples) {
    r.timedOut = true;
    r.failure = "The call did not end";
  } else if (c.caller.completion == T30_ERR_OK && !r.farEndHungUp) {
    r.ok = true;
  } else {
    r.failure = r.farEndHungUp
                    ? std::string("The far end hung up after page ") + std::to_string(c.pagesArrived) + " (" +
                          t30_completion_code_to_str(c.caller.completion) + ")"
                    : t30_completion_code_to_str(c.caller.completion);
  }
  fax_free(c.caller.fax);
  fax_free(c.answerer.fax);
  return r;
}

// A new, empty file in folder named stem-N.tif (the first N free), made
// exclusively; "" when none can be made.
std::string NewFile(const std::string& folder, const std::string& stem) {
  for (int n = 1; n < 10000; ++n) {
    std::string path = folder + "/" + stem + "-" + std::to_string(n) + ".tif";
    if (platform::UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)))
      return path;
    if (errno != EEXIST) return "";
  }
  return "";
}

}  // namespace

LoopbackLine::LoopbackLine(LineEnv env, const faxsvc::Message&) : env_(std::move(env)) {}

CallReport LoopbackLine::Send(const OutgoingCall& call, CallEvents& events) {
  CallReport report;
  long busy = std::atol(env_.setting("busy_count").c_str());
  if (busy > 0) {
    env_.putSetting("busy_count", std::to_string(busy - 1));
    report.outcome = CallOutcome::kBusy;
    report.result = "The line is busy";
    return report;
  }
  // The far-end station's copy: a file per call, in the state's farend/
  // folder (the service's own), kept after the call.
  std::string rx = NewFile(env_.stateDir + "/farend", "job-" + std::to_string(call.job));
  if (rx.empty()) {
    report.result = std::string("the far-end station cannot store a fax: ") + std::strerror(errno);
    return report;
  }
  Call c;
  c.opts = Read(env_);
  faxsvc::Message record;
  record.Set("job_id", call.job).Set("number", call.number).Set("path", rx).Set("caller", call.localIdent);
  record.Set("first_page", call.firstPage).Set("pages", 0).Set("complete", 0);
  c.callerPage = [&](int pages) { events.PageConfirmed(pages); };
  c.answererPage = [&](int pages) {
    // The far end files each page as it arrives: what it holds never
    // depends on how the call (or the calling service) ends.
    record.Set("pages", pages).SetReal("received", Now());
    if (env_.farEndRecord) env_.farEndRecord(record);
  };
  events.Connected();
  Result r = RunCall(c, call.localIdent, call.number, call.document, call.firstPage, rx, events);
  if (r.pagesReceived > 0) {
    record.Set("pages", r.pagesReceived).Set("complete", r.answererOk ? 1 : 0).SetReal("received", Now());
    if (env_.farEndRecord) env_.farEndRecord(record);
  } else {
    std::remove(rx.c_str());
  }
  report.pagesSent = r.pagesSent;
  report.bitRate = r.bitRate;
  report.remoteIdent = r.remoteIdent;
  report.lineSeconds = r.seconds;
  report.outcome = r.ok         ? CallOutcome::kDelivered
                   : r.canceled ? CallOutcome::kCancelled
                                : CallOutcome::kFailed;
  report.result = r.ok ? "OK" : r.failure;
  return report;
}

CallReport LoopbackLine::Receive(const IncomingCall& call, CallEvents& events) {
  Call c;
  c.opts = Read(env_);
  c.opts.hangupAfterPages = 0;
  c.answererPage = [&](int pages) { events.PageReceived(pages); };
  events.Connected();
  Result r = RunCall(c, call.callerNumber, call.localIdent, call.callerDocument, 1, call.receiveFile, events);
  CallReport report;
  report.pagesReceived = r.pagesReceived;
  report.bitRate = r.bitRate;
  report.remoteIdent = r.callerIdent;
  report.lineSeconds = r.seconds;
  report.outcome = r.answererOk ? CallOutcome::kDelivered
                   : r.canceled ? CallOutcome::kCancelled
                                : CallOutcome::kFailed;
  report.result = r.answererOk ? "OK" : r.failure.empty() ? "The call failed" : r.failure;
  return report;
}

namespace {
[[maybe_unused]] const bool kRegistered =
    RegisterLineKind("loopback", [](const LineEnv& env, const faxsvc::Message& device) {
      return std::make_unique<LoopbackLine>(env, device);
    });
}  // namespace

}  // namespace brevant::faxd
