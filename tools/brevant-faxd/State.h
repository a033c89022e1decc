#pragma once
// The service's state: the SQLite database (settings, devices, jobs, the
// sent and received records, the far end's records, events) behind one
// mutex, the condition the line workers wait on, and the calls running
// now. Requests and line workers share it.
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/faxservice/Protocol.h"
#include "tools/brevant-faxd/Db.h"

namespace brevant::faxd {

// A request the service refuses: the error number the client raises and
// the text it shows.
class Refused : public std::runtime_error {
 public:
  Refused(long number, const std::string& what) : std::runtime_error(what), number_(number) {}
  long Number() const { return number_; }

 private:
  long number_;
};

double Now();

// A call on a line, as requests see it: set cancel (with the action that
// asked, "cancel" or "pause") and the line abandons the call.
struct ActiveCall {
  std::atomic<bool> cancel{false};
  std::string action;  // guarded by State::mu
};

class State {
 public:
  explicit State(std::string dir) : dir_(std::move(dir)) {}
  // Opens (creating) STATE/faxd.db, mode 0600, and brings its tables up to
  // date; false with *why.
  bool Open(std::string* why);
  const std::string& Dir() const { return dir_; }

  // Everything below is called with mu held.
  std::string Setting(const std::string& key);
  double SettingReal(const std::string& key);
  void PutSetting(const std::string& key, const std::string& value);
  static bool KnownSetting(const std::string& key);
  void Event(const std::string& kind, long long jobId, const std::string& text);
  // A device that does not answer by itself keeps how it was left (off or
  // answered by hand), the mode it returns to when automatic answering,
  // switched on as one switch, is switched off again; all devices when id
  // is 0.
  void RememberIdleMode(long long id);
  // One job with its available operations and status text; Refused when
  // there is none.
  faxsvc::Message JobRow(long long id);

  // Tells the line workers that something changed (a job, a device, a
  // setting, the service stopping).
  void Changed() {
    ++changes;
    cv.notify_all();
  }

  Db db;
  std::mutex mu;
  std::condition_variable cv;
  unsigned long long changes = 0;
  std::atomic<bool> stopping{false};
  std::map<long long, ActiveCall*> active;  // job id -> its running call

 private:
  void CreateSchema();
  void AddColumn(const std::string& table, const std::string& column, const std::string& declaration);
  std::string dir_;
};

// Operations a client may ask for, by the job's status and queue.
int OperationsFor(int status, bool incoming);

}  // namespace brevant::faxd
