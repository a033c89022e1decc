#pragma once
// The work of one fax line: its thread takes the next due fax of the
// outgoing queue (by priority, then age) or the call ringing on its
// device, runs the call on the line (Line.h) and files the outcome. Every
// page the far end confirms is recorded the moment it is confirmed; a
// service that ends in the middle of a call (even killed) knows at its
// next start which pages arrived: a fax whose last page was confirmed is
// filed as sent, any other resumes at its first unconfirmed page.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/brevant-faxd/Archive.h"
#include "tools/brevant-faxd/Line.h"
#include "tools/brevant-faxd/State.h"

namespace brevant::faxd {

class LineWorker {
 public:
  LineWorker(State& state, const Archive& archive, const faxsvc::Message& device, std::unique_ptr<Line> line);
  ~LineWorker();
  void Start();
  // Ends the worker of a line that was removed (the service goes on).
  void RequestStop();
  // Waits for the thread; set state.stopping (and Changed), or call
  // RequestStop, first.
  void Join();
  long long Device() const { return device_; }

  // Before any line runs: finishes what a stopped service left on the
  // lines, from what the far ends confirmed.
  static void RecoverAfterRestart(State& state, const Archive& archive);

 private:
  void Loop();
  bool RunIncoming(std::unique_lock<std::mutex>& lk, double now, double* wake);
  bool RunOutgoing(std::unique_lock<std::mutex>& lk, double now, double* wake);

  State& state_;
  const Archive& archive_;
  long long device_;
  std::unique_ptr<Line> line_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  // The call the line's last ring belonged to, and when that ring came
  // (guarded by state.mu): rings a few seconds apart are one call.
  long long ringCall_ = 0;
  double lastRing_ = 0;
};

}  // namespace brevant::faxd
