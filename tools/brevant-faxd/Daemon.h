#pragma once
// brevant-faxd's service: the state database, the socket that clients talk
// to, and the line worker that places and answers calls. One instance per
// machine (a lock file in the state folder and the socket both say so).
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/faxservice/Protocol.h"
#include "tools/brevant-faxd/Db.h"

namespace brevant::faxd {

struct DaemonOptions {
  std::string stateDir;
  std::string socketPath;
};

// The state folder: BREVANT_FAXD_STATE, else /var/lib/brevant/faxd when
// writable, else $XDG_STATE_HOME (or ~/.local/state) + /brevant/faxd.
std::string DefaultStateDir();

class Daemon {
 public:
  explicit Daemon(DaemonOptions options);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Opens the state and listens on the socket; false with *why when another
  // daemon already serves this machine or the state cannot be opened.
  bool Start(std::string* why);
  // Serves clients and runs the line until RequestStop.
  void Serve();
  // Safe from a signal handler.
  void RequestStop();

  // One request, as a client's frame would carry it (also used in-process).
  faxsvc::Message Handle(const faxsvc::Message& request);

 private:
  // Requests.
  faxsvc::Message Submit(const faxsvc::Message& req);
  faxsvc::Message PlaceCall(const faxsvc::Message& req);
  faxsvc::Message JobOp(const faxsvc::Message& req);
  faxsvc::Message Resend(const faxsvc::Message& req);
  faxsvc::Message ListJobs(const faxsvc::Message& req);
  faxsvc::Message SetDevice(const faxsvc::Message& req);
  faxsvc::Message Answer(const faxsvc::Message& req);
  faxsvc::Message SetLine(const faxsvc::Message& req);

  // State.
  void CreateSchema();
  void RecoverAfterRestart();
  std::string Setting(const std::string& key);
  double SettingReal(const std::string& key);
  void PutSetting(const std::string& key, const std::string& value);
  void Event(const std::string& kind, long long jobId, const std::string& text);
  faxsvc::Message JobRow(long long id);
  std::string StoreFolder();
  std::string ArchiveFolder();
  std::string NewQueueFile(const std::string& prefix);

  // The line.
  void WorkerLoop();
  bool RunIncoming(std::unique_lock<std::mutex>& lk, double now, double* wake);
  bool RunOutgoing(std::unique_lock<std::mutex>& lk, double now, double* wake);
  void Notify(const std::string& title, const std::string& text);

  // Clients.
  void ClientLoop(int fd);

  DaemonOptions opt_;
  Db db_;
  std::mutex mu_;  // guards db_ and the fields below
  std::condition_variable cv_;
  long long currentJob_ = 0;
  std::string currentAction_;  // what a cancel of the running call is for
  std::atomic<bool> cancelCall_{false};
  std::atomic<bool> stopping_{false};
  std::thread worker_;

  int listenFd_ = -1;
  int lockFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::mutex clientsMu_;
  std::condition_variable clientsCv_;
  std::set<int> clients_;
};

}  // namespace brevant::faxd
