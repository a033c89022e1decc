#pragma once
// The work of one fax line: its thread takes the next due fax of the
// outgoing queue (by priority, then age) or the call ringing on its
// device, runs the call on the line (Line.h) and files the outcome. Every
// page the far end confirms is recorded the moment it is confirmed; a
// service that ends in the middle of a call (even killed) knows at its
// next start which pages arrived: a fax whose last page was confirmed is
// filed as sent, any other resumes at its first unconfirmed page.
//
// The worker holds the state's lock except where it lets go of it for slow
// work (a call, a copy), always as a scope (Unlocked): an error anywhere
// (a full disk, a line that fails) comes back to the worker with the lock
// held and the call's registration gone, and the fax it was working on is
// kept in memory and filed once the state can be written again, never
// left "in progress".
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "faxservice/daemon/Archive.h"
#include "faxservice/daemon/State.h"
#include "faxservice/daemon/lines/Line.h"

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

  // A fax whose call ended without being filed (the state could not be
  // written, or the call failed with an error of the service): the worker
  // files it, from what the far end confirmed, as soon as it can.
  struct Unfiled {
    long long job = 0;
    bool incoming = false;
    long long confirmed = 0;  // pages the far end confirmed, as far as known
    std::string why;
  };

 private:
  void Loop();
  bool RunIncoming(std::unique_lock<std::mutex>& lk, double now, double* wake);
  bool RunOutgoing(std::unique_lock<std::mutex>& lk, double now, double* wake);
  // Files what is unfiled, as far as the state can be written (lock held).
  void FileUnfiled(std::unique_lock<std::mutex>& lk);

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
  // The fax on the line now (job 0: none), and those not yet filed; the
  // worker's thread alone uses them.
  Unfiled onLine_;
  std::vector<Unfiled> unfiled_;
};

}  // namespace brevant::faxd
