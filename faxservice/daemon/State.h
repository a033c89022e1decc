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

#include "faxservice/daemon/Db.h"
#include "faxservice/protocol/Protocol.h"

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

// Lets go of a held lock for one scope and takes it again when the scope
// ends, also when it ends by an exception: code that gives up the state's
// lock for slow work (a call, a copy) never leaves it in the wrong state.
class Unlocked {
 public:
  explicit Unlocked(std::unique_lock<std::mutex>& lk) : lk_(lk) { lk_.unlock(); }
  ~Unlocked() { lk_.lock(); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  std::unique_lock<std::mutex>& lk_;
};

// The space on the disk of the state folder: the free bytes, and the bytes
// the service keeps free for its own records (the setting reserve_mb).
struct Disk {
  long long free = 0;
  long long reserve = 0;
  bool Low() const { return free < reserve; }
  // "12 MiB free, under the 64 MiB the fax service keeps for its records"
  std::string Text() const;
};

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
  // date; false with *why. A database on a full disk opens, and the
  // service runs on it: what it reads works, and writes go through once
  // room is made (the reserve file, finished faxes' copies).
  bool Open(std::string* why);
  const std::string& Dir() const { return dir_; }

  // The room the service keeps. New documents are refused before the free
  // space drops under the reserve; beyond it, up to kReserveFile bytes are
  // held as the file STATE/reserve, which the service gives up when the
  // disk fills anyway (its records must still be written: a cancel, a page
  // the far end confirmed) and takes again once there is room.
  static constexpr long long kReserveFile = 4ll << 20;
  Disk DiskSpace();
  // Throws Refused (kErrNoRoom) when `bytes` more would bring the free
  // space under the reserve, once the copies of finished faxes have made
  // what room they can.
  void CheckRoom(long long bytes);
  // Now and then (every few seconds; the line workers call it): takes the
  // reserve file again when there is room, and frees finished faxes' copies
  // while the disk is under the reserve. Says on stderr and in the event
  // history when the disk fills and when it has room again.
  void KeepReserve();
  // The queue copies of finished faxes (failed, retries exceeded,
  // cancelled; the owner's only when owner >= 0), oldest first, are
  // removed until `bytes` are freed: such a fax keeps its copy, to be sent
  // again, only while there is room. The bytes freed.
  long long FreeFinishedCopies(long long owner, long long bytes);

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
  // Documents being copied into the queue, not yet in a job's row: they
  // count towards their owner's quota and the disk's room meanwhile.
  std::map<long long, std::pair<long long, long long>> claimed;  // owner -> jobs, bytes
  long long claimedBytes = 0;
  // The faxes a stopped service left on its lines are still to be filed
  // (a start on a full disk could not): the line workers do it first.
  bool recoveryDue = false;

 private:
  void CreateSchema();
  // False when the table has the column already.
  bool AddColumn(const std::string& table, const std::string& column, const std::string& declaration);
  bool ReleaseReserve();
  void Announce(bool full, const Disk& disk);
  std::string dir_;
  bool reserveHeld_ = false;
  bool full_ = false;  // said that the disk is full, not yet that it has room again
  double reserveChecked_ = 0;
};

// Operations a client may ask for, by the job's status and queue, and
// whether the queue still holds its document (a finished fax's copy goes
// when room is needed, and it can no longer be sent again).
int OperationsFor(int status, bool incoming, bool document = true);

}  // namespace brevant::faxd
