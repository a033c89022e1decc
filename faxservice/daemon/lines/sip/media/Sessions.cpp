// The T.30 sessions of the media engine: SpanDSP's T.38 terminal over
// UDPTL, and SpanDSP's fax modems over G.711 RTP.
#include "faxservice/daemon/lines/sip/media/Session_p.h"

// SpanDSP's headers need the C math and TIFF declarations first, and under
// C++ define lrint/lrintf as truncating macros: keep SpanDSP to this file.
// clang-format off
#include <tiffio.h>
#include <spandsp.h>
#undef lrint
#undef lrintf
// clang-format on

#include <algorithm>
#include <cstring>
#include <random>

#include "faxservice/daemon/lines/sip/media/Rtp.h"

namespace brevant::faxmedia {

const char* ToneName(FaxTone tone) {
  switch (tone) {
    case FaxTone::kCng:
      return "CNG";
    case FaxTone::kCed:
      return "CED";
    case FaxTone::kV21Preamble:
      return "V.21 preamble";
  }
  return "";
}

namespace detail {

bool CheckJob(const FaxJob& job, int* pagesToSend, std::string* why) {
  *pagesToSend = 0;
  if (job.sendFile.empty()) {
    if (job.receiveFile.empty()) return *why = "Neither a document to send nor a file to receive into", false;
    return true;
  }
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFF* tif = TIFFOpen(job.sendFile.c_str(), "r");
  if (!tif) return *why = "Cannot read the fax document " + job.sendFile, false;
  const int pages = TIFFNumberOfDirectories(tif);
  TIFFClose(tif);
  if (job.firstPage < 1 || job.firstPage > pages)
    return *why = "The fax document has no page " + std::to_string(job.firstPage), false;
  *pagesToSend = pages - job.firstPage + 1;
  return true;
}

namespace {

int Modems(int maxBitRate) {
  int m = T30_SUPPORT_V27TER;
  if (maxBitRate >= 9600) m |= T30_SUPPORT_V29;
  if (maxBitRate >= 14400) m |= T30_SUPPORT_V17;
  return m;
}

// What both kinds share: the T.30 session, its pages and its end.
class T30Session : public Session {
 public:
  T30Session(const SessionContext& ctx, const FaxJob& job, int pagesToSend)
      : ctx_(ctx), job_(job), pagesToSend_(pagesToSend), receivedBefore_(ctx.report->pagesReceived) {}

  bool Done() const override { return done_; }

  void Stop(const std::string& why) override {
    if (done_) return;
    t30_terminate(t30_);
    if (!done_) PhaseE(t30_, this, T30_ERR_CALLDROPPED);
    ctx_.report->result = why;
    ctx_.report->delivered = false;
  }

 protected:
  void SetupT30(t30_state_t* t30) {
    t30_ = t30;
    t30_set_tx_ident(t30, job_.localIdent.substr(0, 20).c_str());
    t30_set_supported_modems(t30, Modems(job_.maxBitRate));
    t30_set_ecm_capability(t30, job_.ecm ? 1 : 0);
    if (!job_.sendFile.empty()) {
      // SpanDSP counts pages from 0.
      t30_set_tx_file(t30, job_.sendFile.c_str(), job_.firstPage - 1, -1);
    } else {
      t30_set_rx_file(t30, job_.receiveFile.c_str(), -1);
    }
    t30_set_phase_d_handler(t30, PhaseD, this);
    t30_set_phase_e_handler(t30, PhaseE, this);
    span_log_set_level(t30_get_logging_state(t30), SPAN_LOG_NONE);
  }

  // 20 ms passed; true when the far end has now been silent too long.
  bool Silent(bool farEndMayBeQuiet) {
    samples_ += kTickSamples;
    silent_ += kTickSamples;
    ctx_.report->lineSeconds = double(samples_) / 8000;
    return !done_ && !farEndMayBeQuiet && ctx_.silenceLimitSamples > 0 && silent_ >= ctx_.silenceLimitSamples;
  }
  void Heard() { silent_ = 0; }
  void EndSilent() {
    Stop("The far end sent nothing for " + std::to_string(ctx_.silenceLimitSamples / 8000) + " s");
  }

  SessionContext ctx_;
  FaxJob job_;
  t30_state_t* t30_ = nullptr;

 private:
  static int PhaseD(t30_state_t* t, void* user, int) {
    auto* self = static_cast<T30Session*>(user);
    t30_stats_t st;
    t30_get_transfer_statistics(t, &st);
    FaxReport& r = *self->ctx_.report;
    for (; self->confirmed_ < st.pages_tx; ++self->confirmed_) {
      const int page = self->job_.firstPage + self->confirmed_;
      r.pagesConfirmed.push_back(page);
      if (self->ctx_.events) self->ctx_.events->PageConfirmed(page);
    }
    if (self->received_ < st.pages_rx) {
      self->received_ = st.pages_rx;
      r.pagesReceived = self->receivedBefore_ + st.pages_rx;
      if (self->ctx_.events) self->ctx_.events->PageReceived(r.pagesReceived);
    }
    return T30_ERR_OK;
  }

  static void PhaseE(t30_state_t* t, void* user, int completion) {
    auto* self = static_cast<T30Session*>(user);
    PhaseD(t, user, 0);
    t30_stats_t st;
    t30_get_transfer_statistics(t, &st);
    FaxReport& r = *self->ctx_.report;
    r.completion = completion;
    r.bitRate = st.bit_rate;
    r.ecm = st.error_correcting_mode != 0;
    if (const char* id = t30_get_rx_ident(t)) r.remoteIdent = id;
    r.result = t30_completion_code_to_str(completion);
    const bool ok = completion == T30_ERR_OK;
    if (!self->job_.sendFile.empty()) {
      r.delivered = ok && self->pagesToSend_ > 0 && self->confirmed_ == self->pagesToSend_;
      if (ok && !r.delivered)
        r.result = "Only " + std::to_string(self->confirmed_) + " of " + std::to_string(self->pagesToSend_) +
                   " pages were confirmed";
    } else {
      r.delivered = ok && r.pagesReceived > 0;
      if (ok && !r.delivered) r.result = "No pages were received";
    }
    self->done_ = true;
  }

  int pagesToSend_;
  int receivedBefore_;
  int confirmed_ = 0, received_ = 0;
  bool done_ = false;
  long samples_ = 0, silent_ = 0;
};

class T38Session final : public T30Session {
 public:
  T38Session(const SessionContext& ctx, const T38Params& p, const FaxJob& job, int pagesToSend)
      : T30Session(ctx, job, pagesToSend), sender_(p.udptl), receiver_(p.version) {
    UdptlSendOptions o = p.udptl;
    o.maxDatagram = p.maxDatagram;
    sender_ = UdptlSender(o);
    term_ = t38_terminal_init(nullptr, job.calling ? 1 : 0, TxPacket, this);
    t38_core_state_t* core = t38_terminal_get_t38_core_state(term_);
    t38_set_t38_version(core, p.version);
    t38_set_data_rate_management_method(core, p.transferredTcf ? T38_DATA_RATE_MANAGEMENT_TRANSFERRED_TCF
                                                               : T38_DATA_RATE_MANAGEMENT_LOCAL_TCF);
    t38_set_max_datagram_size(core, p.maxDatagram);
    t38_set_fastest_image_data_rate(core, std::min(p.maxBitRate, job.maxBitRate));
    t38_set_fill_bit_removal(core, p.fillBitRemoval ? 1 : 0);
    // Repeats of the same datagram (the far end drops the copies): for what
    // ends a burst, no later datagram may come soon to carry it.
    t38_set_redundancy_control(core, T38_PACKET_CATEGORY_INDICATOR, 3);
    t38_set_redundancy_control(core, T38_PACKET_CATEGORY_CONTROL_DATA, 1);
    t38_set_redundancy_control(core, T38_PACKET_CATEGORY_CONTROL_DATA_END, 3);
    t38_set_redundancy_control(core, T38_PACKET_CATEGORY_IMAGE_DATA, 1);
    t38_set_redundancy_control(core, T38_PACKET_CATEGORY_IMAGE_DATA_END, 3);
    t38_terminal_set_tep_mode(term_, 0);
    span_log_set_level(t38_terminal_get_logging_state(term_), SPAN_LOG_NONE);
    span_log_set_level(t38_core_get_logging_state(core), SPAN_LOG_NONE);
    SetupT30(t38_terminal_get_t30_state(term_));
  }
  ~T38Session() override { t38_terminal_free(term_); }

  void Datagram(std::span<const std::uint8_t> data) override {
    if (Done()) return;
    t38_core_state_t* core = t38_terminal_get_t38_core_state(term_);
    receiver_.Receive(data, [&](std::uint16_t seq, std::span<const std::uint8_t> ifp) {
      Heard();
      t38_core_rx_ifp_packet(core, ifp.data(), int(ifp.size()), seq);
    });
    ctx_.report->udptl = receiver_.Stats();
  }

  void Tick() override {
    if (Done()) return;
    t38_terminal_send_timeout(term_, kTickSamples);
    sinceImage_ += kTickSamples;
    // While we send a page the far end has nothing to say; T.30's own
    // timers judge its silence after the page.
    if (Silent(sinceImage_ < 8000)) EndSilent();
  }

 private:
  static int TxPacket(t38_core_state_t*, void* user, const std::uint8_t* buf, int len, int count) {
    auto* self = static_cast<T38Session*>(user);
    // Indicators and V.21 control data (T.30 frames) matter most: redundancy
    // carries them further. Image data is anything else.
    const bool indicator = len > 0 && (buf[0] & 0x40) == 0;
    const bool v21 = len > 0 && (buf[0] & 0x40) && (buf[0] & 0x20) == 0 && ((buf[0] >> 1) & 0x0F) == 0;
    if (len > 0 && !indicator && !v21) self->sinceImage_ = 0;
    const Bytes& d = self->sender_.Next({buf, std::size_t(std::max(len, 0))}, indicator || v21);
    self->ctx_.send(d, std::clamp(count, 1, 8));
    return 0;
  }

  t38_terminal_state_t* term_ = nullptr;
  UdptlSender sender_;
  UdptlReceiver receiver_;
  long sinceImage_ = 1 << 20;
};

class AudioSession final : public T30Session {
 public:
  AudioSession(const SessionContext& ctx, const AudioParams& p, const FaxJob& job, int pagesToSend, int delay)
      : T30Session(ctx, job, pagesToSend), playout_(delay), delay_(delay) {
    const bool alaw = p.codec == Codec::kPcma;
    payloadType_ = p.payloadType >= 0 ? p.payloadType : alaw ? 8 : 0;
    enc_ = g711_init(nullptr, alaw ? G711_ALAW : G711_ULAW);
    dec_ = g711_init(nullptr, alaw ? G711_ALAW : G711_ULAW);
    std::random_device rd;
    tx_.ssrc = rd();
    tx_.seq = std::uint16_t(rd());
    tx_.timestamp = rd();
    tx_.marker = true;
    tx_.payloadType = payloadType_;
    fax_ = fax_init(nullptr, job.calling ? 1 : 0);
    fax_set_transmit_on_idle(fax_, 1);
    fax_set_tep_mode(fax_, 0);
    span_log_set_level(fax_get_logging_state(fax_), SPAN_LOG_NONE);
    SetupT30(fax_get_t30_state(fax_));
    // Once T.30 has its first frame the tones have done their work: the
    // detectors stop (they cost as much as a modem's receiver).
    t30_set_phase_b_handler(t30_, PhaseB, this);
    // A caller listens for the answerer's CED or V.21 preamble; an answerer
    // for the caller's CNG, and for V.21 from a caller that sends no CNG.
    if (job.calling) {
      tones_[0] = modem_connect_tones_rx_init(nullptr, MODEM_CONNECT_TONES_FAX_CED_OR_PREAMBLE, Tone, this);
    } else {
      tones_[0] = modem_connect_tones_rx_init(nullptr, MODEM_CONNECT_TONES_FAX_CNG, Tone, this);
      tones_[1] = modem_connect_tones_rx_init(nullptr, MODEM_CONNECT_TONES_FAX_PREAMBLE, Tone, this);
    }
  }
  ~AudioSession() override {
    for (auto* t : tones_)
      if (t) modem_connect_tones_rx_free(t);
    fax_free(fax_);
    g711_free(enc_);
    g711_free(dec_);
  }

  void Datagram(std::span<const std::uint8_t> data) override {
    if (Done()) return;
    RtpHeader h;
    std::span<const std::uint8_t> payload;
    RtpStats& st = ctx_.report->rtp;
    if (!ParseRtp(data, &h, &payload) || h.payloadType != payloadType_ || payload.size() > 1600) {
      ++st.foreign;  // not our audio: comfort noise, events, garbage
      return;
    }
    if (!havePeer_ || h.ssrc != peerSsrc_) {
      // A new source starts its own time axis.
      havePeer_ = true;
      peerSsrc_ = h.ssrc;
      playout_ = Playout(delay_);
      nextSeq_ = h.seq;
    }
    const auto gap = std::int16_t(std::uint16_t(h.seq - nextSeq_));
    if (gap > 0) st.lost += std::uint64_t(gap);
    if (gap >= 0) nextSeq_ = std::uint16_t(h.seq + 1);
    ++st.received;
    Heard();
    std::int16_t pcm[1600];
    const int n = g711_decode(dec_, pcm, payload.data(), int(payload.size()));
    if (!playout_.Put(h.timestamp, {pcm, std::size_t(n)})) ++st.late;
  }

  void Tick() override {
    if (Done()) return;
    std::int16_t pcm[kTickSamples];
    const int n = fax_tx(fax_, pcm, kTickSamples);
    std::fill(pcm + std::max(n, 0), pcm + kTickSamples, 0);
    std::uint8_t g711[kTickSamples];
    g711_encode(enc_, g711, pcm, kTickSamples);
    ctx_.send(BuildRtp(tx_, g711), 1);
    ++ctx_.report->rtp.sent;
    tx_.marker = false;
    ++tx_.seq;
    tx_.timestamp += kTickSamples;

    playout_.Take(pcm);
    if (listening_)
      for (auto* t : tones_)
        if (t) modem_connect_tones_rx(t, pcm, kTickSamples);
    fax_rx(fax_, pcm, kTickSamples);
    if (Silent(false)) EndSilent();
  }

 private:
  static int PhaseB(t30_state_t*, void* user, int) {
    static_cast<AudioSession*>(user)->listening_ = false;
    return T30_ERR_OK;
  }

  static void Tone(void* user, int code, int, int) {
    auto* self = static_cast<AudioSession*>(user);
    FaxTone tone;
    if (code == MODEM_CONNECT_TONES_FAX_CNG)
      tone = FaxTone::kCng;
    else if (code == MODEM_CONNECT_TONES_FAX_CED)
      tone = FaxTone::kCed;
    else if (code == MODEM_CONNECT_TONES_FAX_PREAMBLE)
      tone = FaxTone::kV21Preamble;
    else
      return;
    bool& heard = self->heard_[int(tone)];
    if (heard) return;
    heard = true;
    if (self->ctx_.events) self->ctx_.events->ToneHeard(tone);
  }

  fax_state_t* fax_ = nullptr;
  g711_state_t *enc_ = nullptr, *dec_ = nullptr;
  modem_connect_tones_rx_state_t* tones_[2] = {nullptr, nullptr};
  bool heard_[3] = {false, false, false};
  bool listening_ = true;
  int payloadType_ = 8;
  RtpHeader tx_;
  Playout playout_;
  int delay_;
  bool havePeer_ = false;
  std::uint32_t peerSsrc_ = 0;
  std::uint16_t nextSeq_ = 0;
};

}  // namespace

std::unique_ptr<Session> MakeT38Session(const SessionContext& ctx, const T38Params& params, const FaxJob& job,
                                        std::string* why) {
  int pages = 0;
  if (!CheckJob(job, &pages, why)) return nullptr;
  return std::make_unique<T38Session>(ctx, params, job, pages);
}

std::unique_ptr<Session> MakeAudioSession(const SessionContext& ctx, const AudioParams& params,
                                          const FaxJob& job, std::string* why) {
  int pages = 0;
  if (!CheckJob(job, &pages, why)) return nullptr;
  return std::make_unique<AudioSession>(ctx, params, job, pages, ctx.playoutDelay);
}

}  // namespace detail
}  // namespace brevant::faxmedia
