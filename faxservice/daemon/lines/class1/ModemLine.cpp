#include "faxservice/daemon/lines/class1/ModemLine.h"

// SpanDSP's headers need the C math and TIFF declarations first, and under
// C++ define lrint/lrintf as truncating macros: keep SpanDSP to this file.
// clang-format off
#include <tiffio.h>
#include <spandsp.h>
#undef lrint
#undef lrintf
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>
#include <vector>

#include "faxservice/daemon/lines/class1/Class1Modem.h"
#include "faxservice/protocol/FaxTiff.h"

namespace brevant::faxd {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// The Class 1 modulation code (+FTM/+FRM) for a T.30 modem choice.
int ModulationCode(int type, int bitRate, bool shortTrain) {
  switch (type) {
    case T30_MODEM_V27TER:
      return bitRate >= 4800 ? 48 : 24;
    case T30_MODEM_V29:
      return bitRate >= 9600 ? 96 : 72;
    case T30_MODEM_V17:
      switch (bitRate) {
        case 7200:
          return shortTrain ? 74 : 73;
        case 9600:
          return shortTrain ? 98 : 97;
        case 12000:
          return shortTrain ? 122 : 121;
        default:
          return shortTrain ? 146 : 145;
      }
    default:
      return 0;
  }
}

// The image modems T.30 may offer: what the line allows and the modem can
// do both ways. V.17 carries the rates above 9,600 bit/s.
int SupportedModems(const ModemSettings& line, const ModemInfo& info) {
  auto both = [&](std::initializer_list<int> codes) {
    for (int c : codes) {
      if (std::find(info.transmitRates.begin(), info.transmitRates.end(), c) == info.transmitRates.end() ||
          std::find(info.receiveRates.begin(), info.receiveRates.end(), c) == info.receiveRates.end())
        return false;
    }
    return true;
  };
  int modems = 0;
  if (both({24, 48})) modems |= T30_SUPPORT_V27TER;
  if (line.maxRate >= 7200 && both({72, 96})) modems |= T30_SUPPORT_V29;
  if (line.maxRate > 9600 && both({73, 74, 97, 98, 121, 122, 145, 146})) modems |= T30_SUPPORT_V17;
  return modems;
}

// SpanDSP's log has no user pointer: the call in progress on this thread
// receives it.
thread_local const CallHooks* t_traceHooks = nullptr;
void SpanTrace(int, const char* text) {
  if (t_traceHooks && t_traceHooks->trace) {
    std::string line = text;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    t_traceHooks->trace("T.30: " + line);
  }
}

// Why the modem failed the call: what it did wrong when it sent more than
// the driver takes, else that it stopped answering.
std::string ModemFault(const Class1Modem& modem, const std::string& device) {
  return modem.Problem().empty() ? "modem stopped answering on " + device : modem.Problem();
}

bool Cancelled(const CallHooks& hooks) {
  return (hooks.cancel && hooks.cancel->load()) || (hooks.cancelled && hooks.cancelled());
}

// One T.30 session over an answered call: the T.30 engine says what to send
// and what to listen for (its front-end hooks); this class does it with the
// modem's Class 1 commands and reports back (frames, data, carrier, the end
// of each transmission), keeping the engine's timers running on the clock.
class Session {
 public:
  Session(Class1Modem& modem, const ModemSettings& line, const ModemInfo& info, const CallHooks& hooks,
          bool calling)
      : modem_(modem), line_(line), info_(info), hooks_(hooks), calling_(calling) {}
  ~Session() {
    if (ecmTx_) hdlc_tx_free(ecmTx_);
    if (ecmRx_) hdlc_rx_free(ecmRx_);
    if (t30_) t30_free(t30_);
    t_traceHooks = nullptr;
  }

  // After ATD's CONNECT the modem already delivers the answerer's frames;
  // after ATA's CONNECT it waits for our first frame.
  void Start(const std::string& txFile, int firstPage, const std::string& rxFile) {
    rxConnected_ = calling_;
    hdlcReady_ = !calling_;
    t30_ = t30_init(nullptr, calling_, OnSetRx, this, OnSetTx, this, OnSendHdlc, this);
    t30_set_tx_ident(t30_, line_.stationId.substr(0, 20).c_str());
    t30_set_supported_modems(t30_, SupportedModems(line_, info_));
    t30_set_ecm_capability(t30_, line_.ecm ? 1 : 0);
    if (line_.ecm)
      t30_set_supported_compressions(
          t30_, T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION | T30_SUPPORT_T6_COMPRESSION);
    t30_set_phase_d_handler(t30_, OnPhaseD, this);
    t30_set_phase_e_handler(t30_, OnPhaseE, this);
    logging_state_t* log = t30_get_logging_state(t30_);
    if (hooks_.trace) {
      t_traceHooks = &hooks_;
      span_log_set_message_handler(log, SpanTrace);
      span_log_set_level(log, static_cast<int>(SPAN_LOG_FLOW) | static_cast<int>(SPAN_LOG_SHOW_TAG));
    } else {
      span_log_set_level(log, SPAN_LOG_NONE);
    }
    // SpanDSP counts pages from 0.
    if (!txFile.empty()) t30_set_tx_file(t30_, txFile.c_str(), firstPage > 1 ? firstPage - 1 : -1, -1);
    if (!rxFile.empty()) t30_set_rx_file(t30_, rxFile.c_str(), -1);
    timerBase_ = Clock::now();
  }

  void Run() {
    Converse();
    // A modem waiting for our next frame would take any command as frame
    // data: a disconnect frame ends its carrier and the call.
    if (hdlcReady_ && !modem_.Gone()) {
      const uint8_t dcn[] = {0xFF, 0x13, T30_DCN};
      if (modem_.WriteData(dcn, sizeof dcn, 2) && modem_.EndData(2)) modem_.WaitReply(5);
      hdlcReady_ = false;
    }
  }

  // What the call came to.
  int Completion() const { return completion_; }
  LineFailure Failure() const { return failure_; }
  t30_state_t* T30() const { return t30_; }

 private:
  struct Mode {
    int type = T30_MODEM_NONE;
    int bitRate = 0;
    int shortTrain = 0;  // for a pause: its length in ms
    bool hdlc = false;
    int gen = 0;  // counts the engine's requests
  };

  // The engine's requests, one after the other, until the call is over.
  void Converse() {
    while (Tick()) {
      switch (tx_.type) {
        case T30_MODEM_V21:
          SendFrames();
          continue;
        case T30_MODEM_V27TER:
        case T30_MODEM_V29:
        case T30_MODEM_V17:
          SendImage();
          continue;
        case T30_MODEM_PAUSE:
          Pause();
          continue;
        case T30_MODEM_CED:
          // ATA has sent the answer tone already.
          tx_.type = T30_MODEM_NONE;
          StepComplete();
          continue;
        default:
          break;  // nothing to send (CNG went out with ATD)
      }
      switch (rx_.type) {
        case T30_MODEM_V21:
          ReceiveFrames(false);
          break;
        case T30_MODEM_V27TER:
        case T30_MODEM_V29:
        case T30_MODEM_V17:
          ReceiveImage();
          break;
        default:
          modem_.Wait(0.02);
          break;
      }
    }
  }

  static void OnSetRx(void* user, int type, int bitRate, int shortTrain, int hdlc) {
    auto* s = static_cast<Session*>(user);
    s->rx_ = {type, bitRate, shortTrain, hdlc != 0, s->rx_.gen + 1};
  }
  static void OnSetTx(void* user, int type, int bitRate, int shortTrain, int hdlc) {
    auto* s = static_cast<Session*>(user);
    s->tx_ = {type, bitRate, shortTrain, hdlc != 0, s->tx_.gen + 1};
    if (type == T30_MODEM_DONE) s->finished_ = true;
  }
  static void OnSendHdlc(void* user, const uint8_t* msg, int len) {
    auto* s = static_cast<Session*>(user);
    if (len > 0) {
      s->frames_.emplace_back(msg, msg + len);
    } else if (len == 0) {
      s->shutdown_ = true;  // end the carrier once the frames have gone
    } else {
      s->frames_.clear();  // frames queued for a phase that was left
      s->shutdown_ = false;
    }
  }
  static int OnPhaseD(t30_state_t* t, void* user, int) {
    auto* s = static_cast<Session*>(user);
    t30_stats_t st;
    t30_get_transfer_statistics(t, &st);
    int pages = s->calling_ ? st.pages_tx : st.pages_rx;
    if (pages != s->pages_) {
      s->pages_ = pages;
      if (s->hooks_.onPage) s->hooks_.onPage(pages);
    }
    return T30_ERR_OK;
  }
  static void OnPhaseE(t30_state_t*, void* user, int completion) {
    static_cast<Session*>(user)->completion_ = completion;
  }
  static void OnUnderflow(void* user) { static_cast<Session*>(user)->needFrame_ = true; }
  static void OnEcmFrame(void* user, const uint8_t* msg, int len, int ok) {
    t30_hdlc_accept(static_cast<Session*>(user)->t30_, msg, len, ok);
  }

  // The engine's clock, the cancel flag and the device; false once the
  // call is over.
  bool Tick() {
    auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - timerBase_).count();
    int samples = static_cast<int>(elapsed * 8 / 1000);
    if (samples > 0) {
      timerBase_ += std::chrono::microseconds(static_cast<long>(samples) * 1000 / 8);
      t30_timer_update(t30_, samples);
    }
    if (!finished_ && Cancelled(hooks_)) End(LineFailure::kCancelled);
    if (!finished_ && modem_.Gone()) End(LineFailure::kModem);
    return !finished_;
  }

  void End(LineFailure why) {
    if (failure_ == LineFailure::kNone) failure_ = why;
    if (!finished_) t30_terminate(t30_);
    finished_ = true;
  }

  // A modem answer that does not fit the call at this point.
  void Failed(Reply r) {
    switch (r) {
      case Reply::kAborted:
        return;  // cancelled: Tick has ended the call
      case Reply::kTimeout:
      case Reply::kGone:
      case Reply::kOverflow:
        End(LineFailure::kModem);
        return;
      case Reply::kError:  // Class 1 commands fail once the line is on hook
      case Reply::kNoCarrier:
        End(LineFailure::kFarEndHungUp);
        return;
      default:
        End(LineFailure::kProtocol);
        return;
    }
  }

  void StepComplete() { t30_front_end_status(t30_, T30_FRONT_END_SEND_STEP_COMPLETE); }

  bool Transmitting() const {
    switch (tx_.type) {
      case T30_MODEM_V21:
      case T30_MODEM_V27TER:
      case T30_MODEM_V29:
      case T30_MODEM_V17:
      case T30_MODEM_PAUSE:
      case T30_MODEM_CED:
        return true;
      default:
        return false;
    }
  }

  void CarrierUp() {
    if (carrier_) return;
    carrier_ = true;
    t30_hdlc_accept(t30_, nullptr, SIG_STATUS_CARRIER_UP, true);
    t30_hdlc_accept(t30_, nullptr, SIG_STATUS_FRAMING_OK, true);
  }
  void CarrierDown() {
    if (!carrier_) return;
    carrier_ = false;
    t30_hdlc_accept(t30_, nullptr, SIG_STATUS_CARRIER_DOWN, true);
  }

  // The far end must hear silence before we start sending after it.
  void Turnaround() {
    if (lastWasReceive_) std::this_thread::sleep_for(std::chrono::milliseconds(75));
    lastWasReceive_ = false;
  }

  // V.21 control frames: AT+FTH=3, then each frame; the modem says CONNECT
  // when it is ready for the next one and OK after the final one, when its
  // carrier is off.
  void SendFrames() {
    const int gen = tx_.gen;
    auto tick = [this] { return Tick(); };
    while (Tick() && tx_.gen == gen) {
      if (frames_.empty()) {
        if (shutdown_) {
          shutdown_ = false;
          StepComplete();
        } else {
          modem_.Wait(0.01);  // the engine's next frame comes with its timers
        }
        continue;
      }
      if (!hdlcReady_) {
        Turnaround();
        Reply r = modem_.Command("+FTH=3", 5, nullptr, tick);
        if (r != Reply::kConnect) return Failed(r);
        hdlcReady_ = true;
      }
      std::vector<uint8_t> frame = std::move(frames_.front());
      frames_.pop_front();
      bool final = frame.size() >= 2 && (frame[1] & 0x10);
      if (!modem_.WriteData(frame.data(), frame.size(), 5) || !modem_.EndData(5))
        return End(LineFailure::kModem);
      double air = static_cast<double>(frame.size() + 40) * 8 / 300;  // the frame and a second of flags
      Reply r = modem_.WaitReply(5 + air, [this] {
        Tick();
        return true;  // a frame on its way is finished even when the call ends meanwhile
      });
      hdlcReady_ = r == Reply::kConnect;
      if (r == Reply::kOk || r == Reply::kConnect) {
        if ((r == Reply::kOk) != final) return End(LineFailure::kProtocol);
      } else {
        return Failed(r);
      }
      StepComplete();
    }
  }

  // Image data (or T.30's training check) at a fast modulation; in error
  // correction mode our own HDLC framing, since the modem only carries bits.
  void SendImage() {
    const Mode want = tx_;
    auto tick = [this] { return Tick(); };
    Reply r = modem_.Command("+FTS=8", 3, nullptr, tick);  // the 75 ms of silence before training
    if (r != Reply::kOk) return Failed(r);
    lastWasReceive_ = false;
    r = modem_.Command("+FTM=" + std::to_string(ModulationCode(want.type, want.bitRate, want.shortTrain)), 5,
                       nullptr, tick);
    if (r != Reply::kConnect) return Failed(r);
    hdlcReady_ = false;
    size_t sent = 0;
    bool whole = want.hdlc ? PumpFrames(want, &sent) : PumpImage(want, &sent);
    if (!whole) {
      modem_.DiscardOutput();  // cancelled or failed: the rest of the page is not wanted
      modem_.EndData(2);
      modem_.WaitReply(5);
      return;
    }
    if (!modem_.EndData(5)) return End(LineFailure::kModem);
    // The modem says OK once everything buffered has gone down the line.
    r = modem_.WaitReply(20 + static_cast<double>(sent) * 8 / std::max(2400, want.bitRate), tick);
    if (r != Reply::kOk) return Failed(r);
    StepComplete();
  }

  bool WriteChunk(const uint8_t* data, size_t len, size_t* sent) {
    if (!modem_.WriteData(data, len, 30, [this] { return Tick(); })) {
      if (!finished_) End(LineFailure::kModem);
      return false;
    }
    *sent += len;
    return true;
  }

  bool PumpImage(const Mode& want, size_t* sent) {
    const int chunk = std::max(64, want.bitRate / 80);  // a tenth of a second
    std::vector<uint8_t> buf(static_cast<size_t>(chunk));
    for (;;) {
      int n = t30_non_ecm_get_chunk(t30_, buf.data(), chunk);
      if (n > 0 && !WriteChunk(buf.data(), static_cast<size_t>(n), sent)) return false;
      if (n < chunk) return true;
      if (!Tick()) return false;
    }
  }

  bool PumpFrames(const Mode& want, size_t* sent) {
    ecmTx_ = hdlc_tx_init(nullptr, 0, 1, 0, OnUnderflow, this);
    hdlc_tx_flags(ecmTx_, want.bitRate / (8 * 5));  // 200 ms of flags before the first frame
    needFrame_ = false;
    bool ending = false;
    const int chunk = std::max(64, want.bitRate / 80);
    std::vector<uint8_t> buf(static_cast<size_t>(chunk));
    bool whole = false;
    while (Tick()) {
      if (needFrame_ && frames_.empty() && !shutdown_) {
        needFrame_ = false;
        StepComplete();  // the engine hands over its next frame, or ends the burst
      }
      if (!frames_.empty() && hdlc_tx_frame(ecmTx_, frames_.front().data(), frames_.front().size()) == 0)
        frames_.pop_front();
      if (shutdown_ && frames_.empty() && !ending) {
        shutdown_ = false;
        ending = true;
        hdlc_tx_frame(ecmTx_, nullptr, 0);
      }
      int n = hdlc_tx_get(ecmTx_, buf.data(), static_cast<size_t>(chunk));
      // SpanDSP puts the first bit on the line in the top of a byte; a Class 1
      // modem sends the bottom bit first.
      for (int i = 0; i < n; ++i) buf[static_cast<size_t>(i)] = bit_reverse8(buf[static_cast<size_t>(i)]);
      if (n > 0 && !WriteChunk(buf.data(), static_cast<size_t>(n), sent)) break;
      if (n < chunk) {
        whole = true;  // the closing flags have gone
        break;
      }
    }
    hdlc_tx_free(ecmTx_);
    ecmTx_ = nullptr;
    return whole;
  }

  void Pause() {
    const int gen = tx_.gen;
    auto until = Clock::now() + std::chrono::milliseconds(std::clamp(tx_.shortTrain, 0, 3000));
    while (Tick() && tx_.gen == gen && Clock::now() < until) modem_.Wait(0.02);
    if (!finished_ && tx_.gen == gen) {
      tx_.type = T30_MODEM_NONE;
      StepComplete();
    }
  }

  // Waits for a CONNECT after a receive command while the engine wants to
  // keep listening; stops the command when it wants to send or listen for
  // something else.
  Reply AwaitCarrier(const Mode& want, bool burst) {
    auto start = Clock::now();
    Reply r = modem_.WaitReply(300, [&] {
      if (!Tick()) return false;
      // No further frame followed the last one: that carrier has gone.
      if (carrier_ && Since(start) > 0.5) CarrierDown();
      if (burst) return true;
      return !Transmitting() && rx_.type == want.type && rx_.bitRate == want.bitRate;
    });
    if (r == Reply::kAborted) {
      Reply a = modem_.Abort();
      if (!finished_ && a != Reply::kOk && a != Reply::kNoCarrier && a != Reply::kError) Failed(a);
    }
    return r;
  }

  // V.21 control frames: AT+FRH=3 and CONNECT, the frame up to DLE ETX,
  // then OK or ERROR for its check sequence. A burst is one carrier's worth
  // of frames heard while another carrier was expected (+FCERROR).
  void ReceiveFrames(bool burst) {
    const Mode want = rx_;
    for (;;) {
      if (!rxConnected_) {
        if (!modem_.Send("+FRH=3")) return End(LineFailure::kModem);
        Reply r = AwaitCarrier(want, burst);
        if (r == Reply::kAborted) return;
        if (r == Reply::kNoCarrier || r == Reply::kFcError) {
          CarrierDown();
          modem_.Wait(0.05);
          return;
        }
        if (r != Reply::kConnect) return Failed(r);
      }
      rxConnected_ = false;
      lastWasReceive_ = true;
      CarrierUp();
      std::vector<uint8_t> frame;
      Reply verdict = ReadFrame(&frame);
      if (verdict == Reply::kAborted) return;
      if (verdict == Reply::kGone) return End(LineFailure::kModem);
      if (frame.size() >= 2 && verdict != Reply::kTimeout) {
        t30_hdlc_accept(t30_, frame.data(), static_cast<int>(frame.size() - 2), verdict == Reply::kOk);
        if (verdict == Reply::kOk && (frame[1] & 0x10)) return CarrierDown();
      }
      if (verdict == Reply::kNoCarrier || verdict == Reply::kTimeout || finished_ || Transmitting() ||
          (!burst && rx_.type != want.type))
        return CarrierDown();
    }
  }

  Reply ReadFrame(std::vector<uint8_t>* frame) {
    auto start = Clock::now();
    bool end = false;
    while (!end) {
      if (!modem_.ReadData(frame, &end, 0.02)) return Reply::kGone;
      if (!Tick()) {
        modem_.Abort();
        return Reply::kAborted;
      }
      if (Since(start) > 5 || frame->size() > 400) {  // a control frame lasts under 3 s
        modem_.Abort();
        return Reply::kTimeout;
      }
    }
    return modem_.WaitReply(5, [this] { return Tick(); });
  }

  // Image data (or the training check) at a fast modulation. The modem
  // answers +FCERROR when it hears V.21 instead: the far end repeats a
  // command, so its frames are read.
  void ReceiveImage() {
    const Mode want = rx_;
    int code = ModulationCode(want.type, want.bitRate, want.shortTrain);
    if (!modem_.Send("+FRM=" + std::to_string(code))) return End(LineFailure::kModem);
    Reply r = AwaitCarrier(want, false);
    if (r == Reply::kAborted) return;
    if (r == Reply::kFcError) return ReceiveFrames(true);
    if (r == Reply::kNoCarrier) {
      modem_.Wait(0.05);
      return;
    }
    if (r != Reply::kConnect) return Failed(r);
    lastWasReceive_ = true;
    if (want.hdlc) {
      ecmRx_ = hdlc_rx_init(nullptr, 0, 1, 2, OnEcmFrame, this);
      t30_hdlc_accept(t30_, nullptr, SIG_STATUS_TRAINING_SUCCEEDED, true);
    } else {
      t30_non_ecm_put_bit(t30_, SIG_STATUS_TRAINING_SUCCEEDED);
    }
    std::vector<uint8_t> data;
    bool end = false;
    auto last = Clock::now();
    while (!end) {
      data.clear();
      if (!modem_.ReadData(&data, &end, 0.02)) return End(LineFailure::kModem);
      if (!data.empty()) {
        last = Clock::now();
        if (want.hdlc) {
          for (auto& b : data)
            b = bit_reverse8(b);  // bottom bit first on the line, top bit first for SpanDSP
          hdlc_rx_put(ecmRx_, data.data(), static_cast<int>(data.size()));
        } else {
          t30_non_ecm_put_chunk(t30_, data.data(), static_cast<int>(data.size()));
        }
      }
      if (!Tick()) {
        modem_.Abort();
        return;
      }
      if (Since(last) > 5) {  // a fast modem sends fill, never nothing
        modem_.Abort();
        break;
      }
    }
    if (end) {
      r = modem_.WaitReply(5, [this] { return Tick(); });  // NO CARRIER, as the carrier ended
      if (r == Reply::kTimeout || r == Reply::kGone || r == Reply::kOverflow) return End(LineFailure::kModem);
    }
    if (want.hdlc) {
      t30_hdlc_accept(t30_, nullptr, SIG_STATUS_CARRIER_DOWN, true);
      hdlc_rx_free(ecmRx_);
      ecmRx_ = nullptr;
    } else {
      t30_non_ecm_put_bit(t30_, SIG_STATUS_CARRIER_DOWN);
    }
  }

  Class1Modem& modem_;
  const ModemSettings& line_;
  const ModemInfo& info_;
  const CallHooks& hooks_;
  bool calling_;
  t30_state_t* t30_ = nullptr;
  Mode tx_, rx_;
  std::deque<std::vector<uint8_t>> frames_;
  bool shutdown_ = false;
  bool hdlcReady_ = false;    // the modem waits for an HDLC frame from us
  bool rxConnected_ = false;  // the modem delivers a frame already
  bool carrier_ = false;      // the engine was told a V.21 carrier is present
  bool lastWasReceive_ = false;
  bool finished_ = false;
  bool needFrame_ = false;
  int completion_ = -1;
  int pages_ = 0;
  LineFailure failure_ = LineFailure::kNone;
  hdlc_tx_state_t* ecmTx_ = nullptr;
  hdlc_rx_state_t* ecmRx_ = nullptr;
  Clock::time_point timerBase_;
};

// Puts the modem back on hook; a modem that does not answer is reset, so
// the next call finds it in command state.
void HangUp(Class1Modem& modem, const ModemSettings& line) {
  if (!modem.IsOpen() || modem.Gone()) return;
  if (modem.Command("H0", 5) == Reply::kOk) return;
  modem.Abort(2);
  if (modem.Command("H0", 5) == Reply::kOk) return;
  std::string why;
  modem.Reset(line.init, &why);
  modem.Command("H0", 5);
}

bool DroppedMidCall(int completion) {
  switch (completion) {
    case T30_ERR_CALLDROPPED:
    case T30_ERR_TX_PHDDEAD:
    case T30_ERR_TX_BADPG:
    case T30_ERR_RX_DCNDATA:
    case T30_ERR_RX_DCNFAX:
    case T30_ERR_RX_DCNPHD:
    case T30_ERR_RX_NOCARRIER:
    case T30_ERR_RX_T2EXPMPS:
    case T30_ERR_RX_T2EXPFAX:
      return true;
    default:
      return false;
  }
}

// The outcome of a session in the call result.
void Report(const Session& s, const Class1Modem& modem, const std::string& device, bool calling,
            ModemCallResult* r) {
  t30_stats_t st;
  t30_get_transfer_statistics(s.T30(), &st);
  r->pagesSent = st.pages_tx;
  r->pagesReceived = st.pages_rx;
  r->bitRate = st.bit_rate;
  r->completionCode = s.Completion();
  if (const char* id = t30_get_rx_ident(s.T30())) (calling ? r->remoteIdent : r->callerIdent) = id;
  int pages = calling ? st.pages_tx : st.pages_rx;
  const char* t30Text = s.Completion() >= 0 ? t30_completion_code_to_str(s.Completion()) : "the call ended";
  switch (s.Failure()) {
    case LineFailure::kCancelled:
      r->canceled = true;
      r->failure = LineFailure::kCancelled;
      r->result = "Cancelled during transmission";
      return;
    case LineFailure::kModem:
      r->failure = LineFailure::kModem;
      r->result = ModemFault(modem, device);
      return;
    default:
      break;
  }
  if (s.Failure() == LineFailure::kNone && s.Completion() == T30_ERR_OK) {
    r->ok = true;
    r->result = "OK";
    return;
  }
  if (s.Failure() == LineFailure::kFarEndHungUp || (pages > 0 && DroppedMidCall(s.Completion()))) {
    r->farEndHungUp = true;
    r->failure = LineFailure::kFarEndHungUp;
    r->result = "The far end hung up after page " + std::to_string(pages) + " (" + t30Text + ")";
    return;
  }
  r->failure = LineFailure::kProtocol;
  r->result = t30Text;
}

void Finish(ModemCallResult* r, Clock::time_point start, Clock::time_point connected) {
  r->wallSeconds = Since(start);
  if (connected != Clock::time_point{}) r->audioSeconds = Since(connected);
}

}  // namespace

bool DialCommand(const ModemSettings& line, const std::string& number, std::string* command,
                 std::string* why) {
  std::string dial;
  auto add = [&](const std::string& text, bool isNumber) {
    for (char c : text) {
      switch (c) {
        case 'p':
        case 'P':
          dial += 'P';
          break;
        case 't':
        case 'T':
          dial += 'T';
          break;
        case 'w':
        case 'W':
        case 'd':
          dial += 'W';
          break;
        case ',':
          dial += ',';
          break;
        case ' ':
        case '-':
        case '/':
        case '(':
        case ')':
        case '.':
          break;
        case '*':
        case '#':
          dial += c;
          break;
        case '+':
          break;  // the international prefix belongs in the line's dial prefix
        default:
          if (c >= '0' && c <= '9') {
            dial += c;
          } else {
            *why = std::string(isNumber ? "the fax number \"" + number
                                        : "the dial prefix \"" + line.dialPrefix) +
                   "\" holds '" + c + "', which is not a dial character";
            return false;
          }
      }
    }
    return true;
  };
  if (!add(line.dialPrefix, false) || !add(number, true)) return false;
  if (dial.find_first_of("0123456789*#") == std::string::npos) {
    *why = "the fax number \"" + number + "\" has no digits to dial";
    return false;
  }
  *command = std::string("D") + (line.pulse ? "P" : "T") + dial;
  return true;
}

bool PrepareModem(Class1Modem& modem, const ModemSettings& line, const CallHooks& hooks, ModemInfo* info,
                  std::string* why) {
  modem.SetTrace(hooks.trace);
  if (!modem.Reset(line.init, why)) return false;
  return ProbeModem(modem, info, why);
}

bool ProbeDevice(const ModemSettings& line, ModemInfo* info, std::string* why) {
  Class1Modem modem(line.device, line.baud);
  return PrepareModem(modem, line, {}, info, why);
}

ModemCallResult SendFax(const ModemSettings& line, const std::string& number, const std::string& tiff,
                        const CallHooks& hooks) {
  auto start = Clock::now();
  Class1Modem modem(line.device, line.baud);
  ModemInfo info;
  std::string why;
  ModemCallResult r;
  if (!PrepareModem(modem, line, hooks, &info, &why)) {
    r.device = line.device;
    r.failure = LineFailure::kModem;
    r.result = why;
    return r;
  }
  r = SendOnModem(modem, info, line, number, tiff, 1, hooks);
  r.wallSeconds = Since(start);
  return r;
}

ModemCallResult SendOnModem(Class1Modem& modem, const ModemInfo& info, const ModemSettings& line,
                            const std::string& number, const std::string& tiff, int firstPage,
                            const CallHooks& hooks) {
  auto start = Clock::now();
  ModemCallResult r;
  r.device = line.device;
  r.modem = info.Name();
  std::string dial, why;
  int pages = 0;
  if (!DialCommand(line, number, &dial, &why)) {
    r.failure = LineFailure::kBadNumber;
    r.result = why;
    return r;
  }
  if (!faxsvc::CheckFaxTiff(tiff, &pages, &why) || firstPage < 1 || firstPage > pages) {
    r.failure = LineFailure::kProtocol;
    r.result =
        "cannot send " + tiff + (why.empty() ? ": it has no page " + std::to_string(firstPage) : ": " + why);
    return r;
  }
  modem.SetTrace(hooks.trace);
  auto dialling = Clock::now();
  Reply d = modem.Command(dial, 150, nullptr, [&] { return !Cancelled(hooks); });
  r.dialSeconds = Since(dialling);
  if (d != Reply::kConnect) {
    switch (d) {
      case Reply::kBusy:
        r.failure = LineFailure::kBusy;
        r.result = "The line is busy";
        break;
      case Reply::kNoAnswer:
        r.failure = LineFailure::kNoAnswer;
        r.result = "No answer";
        break;
      case Reply::kNoDialTone:
        r.failure = LineFailure::kNoDialTone;
        r.result = "No dial tone";
        break;
      case Reply::kNoCarrier:
        r.failure = LineFailure::kNoCarrier;
        r.result = "No carrier: no fax machine answered";
        break;
      case Reply::kAborted:
        modem.Abort();
        r.canceled = true;
        r.failure = LineFailure::kCancelled;
        r.result = "Cancelled during transmission";
        break;
      case Reply::kError:
        r.failure = LineFailure::kBadNumber;
        r.result = "the modem on " + line.device + " refused the dial command AT" + dial;
        break;
      default:
        r.failure = LineFailure::kModem;
        r.result = ModemFault(modem, line.device);
        break;
    }
    HangUp(modem, line);
    Finish(&r, start, {});
    return r;
  }
  auto connected = Clock::now();
  if (hooks.onConnect) hooks.onConnect();
  {
    Session s(modem, line, info, hooks, true);
    s.Start(tiff, firstPage, "");
    s.Run();
    Report(s, modem, line.device, true, &r);
  }
  HangUp(modem, line);
  Finish(&r, start, connected);
  return r;
}

ModemCallResult ReceiveFax(const ModemSettings& line, const std::string& tiff, double waitSeconds,
                           const CallHooks& hooks) {
  auto start = Clock::now();
  ModemCallResult r;
  r.device = line.device;
  std::string why;
  Class1Modem modem(line.device, line.baud);
  ModemInfo info;
  if (!PrepareModem(modem, line, hooks, &info, &why) || modem.Command("S0=0", 5) != Reply::kOk) {
    r.failure = LineFailure::kModem;
    r.result = why.empty() ? "modem stopped answering on " + line.device : why;
    return r;
  }
  r.modem = info.Name();
  // RINGs come every few seconds while a call is waiting; a gap of more
  // than ten seconds means the caller gave up and a new call starts over.
  int rings = 0;
  auto lastRing = Clock::now();
  while (rings < std::max(1, line.rings)) {
    double left = waitSeconds - Since(start);
    if (left <= 0) {
      r.failure = LineFailure::kNoCall;
      r.result = "No call came in";
      Finish(&r, start, {});
      return r;
    }
    Reply w = modem.WaitReply(std::min(left, 1.0), [&] { return !Cancelled(hooks); });
    if (w == Reply::kRing) {
      if (rings > 0 && Since(lastRing) > 10) rings = 0;
      ++rings;
      lastRing = Clock::now();
    } else if (w == Reply::kAborted) {
      r.canceled = true;
      r.failure = LineFailure::kCancelled;
      r.result = "Cancelled while waiting for a call";
      Finish(&r, start, {});
      return r;
    } else if (w == Reply::kGone || w == Reply::kOverflow) {
      r.failure = LineFailure::kModem;
      r.result = ModemFault(modem, line.device);
      Finish(&r, start, {});
      return r;
    }
  }
  r = AnswerOnModem(modem, info, line, tiff, hooks);
  r.wallSeconds = Since(start);
  return r;
}

ModemCallResult AnswerOnModem(Class1Modem& modem, const ModemInfo& info, const ModemSettings& line,
                              const std::string& tiff, const CallHooks& hooks) {
  auto start = Clock::now();
  ModemCallResult r;
  r.device = line.device;
  r.modem = info.Name();
  modem.SetTrace(hooks.trace);
  auto answering = Clock::now();
  Reply a = modem.Command("A", 30, nullptr, [&] { return !Cancelled(hooks); });
  r.dialSeconds = Since(answering);
  if (a != Reply::kConnect) {
    r.failure = a == Reply::kTimeout || a == Reply::kGone || a == Reply::kOverflow ? LineFailure::kModem
                                                                                   : LineFailure::kNoCarrier;
    r.result = r.failure == LineFailure::kModem ? ModemFault(modem, line.device)
                                                : std::string("No fax machine called (") + ReplyText(a) + ")";
    if (a == Reply::kAborted) {
      r.canceled = true;
      r.failure = LineFailure::kCancelled;
      r.result = "Cancelled while answering";
    }
    HangUp(modem, line);
    Finish(&r, start, {});
    return r;
  }
  auto connected = Clock::now();
  if (hooks.onConnect) hooks.onConnect();
  {
    Session s(modem, line, info, hooks, false);
    s.Start("", 0, tiff);
    s.Run();
    Report(s, modem, line.device, false, &r);
  }
  HangUp(modem, line);
  if (r.pagesReceived == 0) std::remove(tiff.c_str());
  Finish(&r, start, connected);
  return r;
}

}  // namespace brevant::faxd
