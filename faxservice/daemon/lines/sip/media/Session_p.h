#pragma once
// A fax session as the engine's loop drives it. Sessions are made and used
// on one loop thread only; SpanDSP stays inside Sessions.cpp.
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "faxservice/daemon/lines/sip/media/FaxMedia.h"

namespace brevant::faxmedia::detail {

constexpr int kTickSamples = 160;  // 20 ms at 8 kHz

struct SessionContext {
  // A datagram to the far end, sent `copies` times in one system call.
  std::function<void(std::span<const std::uint8_t>, int copies)> send;
  SessionEvents* events = nullptr;
  FaxReport* report = nullptr;  // the call's report, written as the session goes
  int silenceLimitSamples = 0;
  int playoutDelay = 480;  // samples of received audio held before playing
};

// Whether the job can run: its document is readable and has its first
// page; *pagesToSend counts the pages from there.
bool CheckJob(const FaxJob& job, int* pagesToSend, std::string* why);

class Session {
 public:
  virtual ~Session() = default;
  virtual void Datagram(std::span<const std::uint8_t> data) = 0;
  // 20 ms of line time.
  virtual void Tick() = 0;
  // True once the T.30 session ended; the report is complete then.
  virtual bool Done() const = 0;
  // Ends the T.30 session now; the report's result is `why`.
  virtual void Stop(const std::string& why) = 0;
};

// Null with the reason when the job cannot start (no such document, ...).
std::unique_ptr<Session> MakeT38Session(const SessionContext& ctx, const T38Params& params, const FaxJob& job,
                                        std::string* why);
std::unique_ptr<Session> MakeAudioSession(const SessionContext& ctx, const AudioParams& params,
                                          const FaxJob& job, std::string* why);

}  // namespace brevant::faxmedia::detail
