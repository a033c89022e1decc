#include "faxservice/daemon/Daemon.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/env/Environment.h"

namespace brevant::faxd {

std::string DefaultStateDir() {
  if (std::string s = platform::env::Get(platform::env::Var::FaxdState); !s.empty()) return s;
  if (::access("/var/lib/brevant", W_OK) == 0 || (::access("/var/lib", W_OK) == 0 && ::geteuid() == 0))
    return "/var/lib/brevant/faxd";
  std::string base;
  if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x)
    base = x;
  else if (const char* h = std::getenv("HOME"); h && *h)
    base = std::string(h) + "/.local/state";
  else
    base = "/tmp";
  return base + "/brevant/faxd";
}

Daemon::Daemon(DaemonOptions options)
    : opt_(std::move(options)),
      state_(opt_.stateDir),
      requests_(
          state_, archive_, opt_.idleTimeoutMs, [this] { RequestStop(); }, [this] { SyncLines(); }),
      server_(opt_.socketPath, opt_.adminGroup, opt_.idleTimeoutMs,
              [this](const Caller& caller, const faxsvc::Message& req, int fd) {
                return requests_.Handle(caller, req, fd);
              }) {}

Daemon::~Daemon() {
  RequestStop();
  {
    std::lock_guard lk(state_.mu);
    state_.Changed();
  }
  {
    std::lock_guard w(workersMu_);
    workers_.clear();  // joins
  }
  state_.db.Close();
}

bool Daemon::Start(std::string* why) {
  // Whatever the service writes is its own: the database, its journal,
  // queue copies, archived faxes.
  ::umask(077);
  if (!archive_.Start(opt_.stateDir, why)) return false;
  // One daemon per state: the lock is released by the kernel when the
  // holder dies, so a killed daemon never blocks its successor.
  lock_.reset(
      ::open((archive_.StateDir() + "/faxd.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock_ || ::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
    *why = "another brevant-faxd already runs with the state folder " + opt_.stateDir;
    return false;
  }
  if (!state_.Open(why)) return false;
  archive_.RegisterFolders();
  try {
    LineWorker::RecoverAfterRestart(state_, archive_);
  } catch (const DbFull&) {
    // On a full disk the service starts all the same, to serve status and
    // cancels while an administrator frees space; the lines file what was
    // left on them first, once they can.
    state_.recoveryDue = true;
  } catch (const std::exception& e) {
    *why = e.what();
    return false;
  }
  if (!server_.Listen(why)) return false;
  SyncLines();
  std::lock_guard lk(state_.mu);
  state_.Event("start", 0, "brevant-faxd started (state " + opt_.stateDir + ")");
  return true;
}

void Daemon::SyncLines() {
  std::vector<std::unique_ptr<LineWorker>> ended;
  {
    std::lock_guard w(workersMu_);
    std::lock_guard lk(state_.mu);
    if (state_.stopping) return;
    auto devices = state_.db.Query("SELECT * FROM devices ORDER BY id");
    auto listed = [&](long long id) {
      for (const auto& d : devices)
        if (d.GetInt("id") == id) return true;
      return false;
    };
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (listed((*it)->Device())) {
        ++it;
        continue;
      }
      ended.push_back(std::move(*it));
      it = workers_.erase(it);
    }
    for (const faxsvc::Message& device : devices) {
      const long long id = device.GetInt("id");
      bool running = false;
      for (const auto& worker : workers_) running |= worker->Device() == id;
      if (running) continue;
      LineEnv env;
      env.stateDir = archive_.StateDir();
      // None of these throws (Line.h): a record that cannot be written is
      // said on stderr, and what cannot be read is the last that could.
      auto failed = [id](const std::exception& e) {
        std::fprintf(stderr, "brevant-faxd: line %lld: %s\n", id, e.what());
      };
      env.setting = [this, failed](const std::string& key) {
        try {
          std::lock_guard g(state_.mu);
          return state_.Setting(key);
        } catch (const std::exception& e) {
          failed(e);
          return std::string();
        }
      };
      env.putSetting = [this, failed](const std::string& key, const std::string& value) {
        try {
          std::lock_guard g(state_.mu);
          state_.PutSetting(key, value);
        } catch (const std::exception& e) {
          failed(e);
        }
      };
      env.farEndRecord = [this, failed](const faxsvc::Message& record) {
        try {
          RecordFarEnd(state_, record);
        } catch (const std::exception& e) {
          failed(e);
        }
      };
      env.device = [this, id, failed, last = std::make_shared<faxsvc::Message>(device)] {
        try {
          std::lock_guard g(state_.mu);
          auto rows = state_.db.Query("SELECT * FROM devices WHERE id=?", {id});
          *last = rows.empty() ? faxsvc::Message() : rows[0];
        } catch (const std::exception& e) {
          failed(e);
        }
        return *last;
      };
      auto event = [this, id, failed](const std::string& text) {
        try {
          std::lock_guard g(state_.mu);
          state_.Event("line", 0, "line " + std::to_string(id) + ": " + text);
        } catch (const std::exception& e) {
          failed(e);
        }
      };
      env.status = [this, id, failed, event](const std::string& status) {
        try {
          std::lock_guard g(state_.mu);
          state_.db.Exec("UPDATE devices SET line_status=? WHERE id=?", {status, id});
        } catch (const std::exception& e) {
          failed(e);
        }
        event(status);
      };
      env.note = event;
      std::unique_ptr<Line> line = MakeLine(env, device);
      if (!line) {
        std::string why = "no line of kind \"" + device.Get("kind") + "\" in this fax service";
        state_.db.Exec("UPDATE devices SET line_status=? WHERE id=?", {why, id});
        state_.Event("error", 0, "device " + device.Get("id") + ": " + why);
        continue;
      }
      workers_.push_back(std::make_unique<LineWorker>(state_, archive_, device, std::move(line)));
      workers_.back()->Start();
    }
  }
  // A removed line's worker ends once it sees the change; its thread is
  // waited for without the state's lock, which it needs on its way out.
  for (auto& worker : ended) worker->RequestStop();
  ended.clear();
}

void Daemon::RequestStop() {
  state_.stopping = true;
  server_.Stop();
}

void Daemon::Serve() {
  server_.Serve();
  {
    // Every call on a line is abandoned; its fax waits for the next start.
    std::lock_guard lk(state_.mu);
    state_.stopping = true;
    for (auto& [job, call] : state_.active) call->cancel = true;
    state_.Changed();
  }
  {
    std::lock_guard w(workersMu_);
    for (auto& worker : workers_) worker->Join();
  }
  std::lock_guard lk(state_.mu);
  try {
    state_.Event("stop", 0, "brevant-faxd stopped");
  } catch (...) {
  }
}

}  // namespace brevant::faxd
