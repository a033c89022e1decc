#pragma once
// brevant-faxd: the fax service of this machine, put together: its state
// (State.h), its files (Archive.h), one worker per fax line
// (LineWorker.h), the requests (Requests.h) behind the access check
// (Access.h), and the socket that clients talk to (Server.h). One instance
// per state folder (a lock file in it) and per socket.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "faxservice/daemon/Archive.h"
#include "faxservice/daemon/LineWorker.h"
#include "faxservice/daemon/Requests.h"
#include "faxservice/daemon/Server.h"
#include "faxservice/daemon/State.h"
#include "platform/fs/Files.h"

namespace brevant::faxd {

struct DaemonOptions {
  std::string stateDir;
  std::string socketPath;
  // Members of this group (and root) are the fax administrators.
  std::string adminGroup = "brevant-fax-admin";
  // A connection that sends no request for this long is closed.
  long idleTimeoutMs = faxsvc::kIdleTimeoutMs;
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
  // daemon already serves this state or socket, or a folder fails its
  // check.
  bool Start(std::string* why);
  // Serves clients and runs the lines until RequestStop.
  void Serve();
  // Safe from a signal handler.
  void RequestStop();

 private:
  // One worker per device row: starts the workers of lines added since,
  // ends those of lines removed. Called without the state's lock.
  void SyncLines();

  // faxd.lock, held while the service runs: let go of last.
  platform::UniqueFd lock_;
  DaemonOptions opt_;
  State state_;
  Archive archive_;
  Requests requests_;
  Server server_;
  std::mutex workersMu_;
  std::vector<std::unique_ptr<LineWorker>> workers_;
};

}  // namespace brevant::faxd
