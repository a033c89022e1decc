#include "faxservice/daemon/LineWorker.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>

#include "faxservice/protocol/Service.h"
#include "platform/ui/Ui.h"

namespace brevant::faxd {

namespace fs = std::filesystem;
using faxsvc::Message;

namespace {

// A time in local time: "%Y%m%d-%H%M%S" names archive files ("20261206-
// 031502"), "%Y-%m-%d %H:%M:%S" goes into their descriptions.
std::string LocalTime(double t, const char* format) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}
std::string Stamp(double t) {
  return LocalTime(t, "%Y%m%d-%H%M%S");
}
std::string IsoTime(double t) {
  return LocalTime(t, "%Y-%m-%d %H:%M:%S");
}

// A transmission's progress for whoever reads the service's stderr in an
// unattended run (BREVANT_UNATTENDED=1): a line as each page starts and one
// with the outcome, "Sending fax to 5551234: page 2 of 3". One write per
// line, so lines of the line workers never mix with others.
void TransmissionLine(const std::string& number, const std::string& text) {
  if (!ui::Unattended()) return;
  std::string line = "Sending fax to " + number + ": " + text + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

std::string PagesSent(long long sent, long long pages) {
  return std::to_string(sent) + " of " + std::to_string(pages) + " pages sent";
}

// The job's list of which pages went in which attempt ("attempt 1: page 1;
// attempt 2: pages 2-3") with the pages first..last of this attempt added;
// an attempt that got no page confirmed adds nothing.
std::string WithAttemptPages(const std::string& list, long long attempt, long long first, long long last) {
  if (last < first) return list;
  std::string pages = first == last ? "page " + std::to_string(first)
                                    : "pages " + std::to_string(first) + "-" + std::to_string(last);
  return list + (list.empty() ? "" : "; ") + "attempt " + std::to_string(attempt) + ": " + pages;
}

// A line that hears rings itself: a ring this long after the last one
// belongs to a new call; a waiting call without rings for this long was
// given up by its caller.
constexpr double kRingGap = 10;

// What the sent record says about the call that completed a fax.
struct Completion {
  std::string localIdent, remoteIdent, result, modem, attemptPages;
  long long pages = 0, bitRate = 0, attempts = 0;
  double started = 0, ended = 0, duration = 0;
};

// Files a delivered fax: the archive copy (with the station ids in its
// description), the sent record and the job's completion. With lk, the
// lock is let go while the copy is written. A copy that cannot be written
// (a full disk, an unusable folder) loses nothing: the queue keeps its
// copy and the report says why. Records that cannot be written throw, and
// leave no archive copy behind (the fax is filed again later).
void FileDelivered(State& state, const Archive& archive, std::unique_lock<std::mutex>* lk, const Message& job,
                   const Completion& c) {
  const long long id = job.GetInt("id");
  std::string description = "TSID=" + c.localIdent + "\nCSID=" + c.remoteIdent +
                            "\nRecipientName=" + job.Get("name") + "\nRecipientNumber=" + job.Get("number") +
                            "\nSenderName=" + job.Get("sender_name") + "\nSubject=" + job.Get("subject") +
                            "\nTime=" + IsoTime(c.ended);
  std::string archived, archiveError;
  {
    std::optional<Unlocked> unlocked;
    if (lk) unlocked.emplace(*lk);
    if (!archive.File(true, job.Get("file"), Stamp(c.ended) + "-" + std::to_string(id) + ".tif", description,
                      &archived, &archiveError))
      archived.clear();
  }
  try {
    state.db.Transaction([&] {
      state.db.Exec(
          "INSERT OR REPLACE INTO sent(job_id, path, number, name, subject, priority, sender_name,"
          " sender_fax, tsid, csid, pages, submitted, scheduled, started, ended, duration, bitrate, result,"
          " status, attempts, archive_error, owner_uid, modem)"
          " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
          {id,
           archived,
           job.Get("number"),
           job.Get("name"),
           job.Get("subject"),
           job.GetInt("priority", 1),
           job.Get("sender_name"),
           job.Get("sender_fax"),
           c.localIdent,
           c.remoteIdent,
           c.pages,
           job.GetReal("submitted"),
           job.GetReal("scheduled"),
           c.started,
           c.ended,
           c.duration,
           c.bitRate,
           c.result,
           static_cast<long long>(faxsvc::kJobCompleted),
           c.attempts,
           archiveError,
           job.GetInt("owner_uid"),
           c.modem});
      state.db.Exec(
          "UPDATE jobs SET status=?, error=?, ended=?, pages_sent=?, bitrate=?, remote_id=?, duration=?,"
          " resume_from=1, attempt_pages=?, size=? WHERE id=?",
          {static_cast<long long>(faxsvc::kJobCompleted),
           archiveError.empty() ? std::string() : "not archived: " + archiveError, c.ended, c.pages,
           c.bitRate, c.remoteIdent, c.duration, c.attemptPages, archived.empty() ? job.GetInt("size") : 0LL,
           id});
      state.Event("sent", id,
                  "fax to " + job.Get("number") + ": " + std::to_string(c.pages) + " page(s) at " +
                      std::to_string(c.bitRate) + " bit/s");
      // The sender's desktop is told of this event (and of "failed") by the
      // sender's own session, which follows the events of its faxes.
      if (!archiveError.empty())
        state.Event("not_archived", id, "fax sent but not archived: " + archiveError);
    });
  } catch (...) {
    if (!archived.empty()) ::unlink(archived.c_str());
    throw;
  }
  if (!archived.empty()) ::unlink(job.Get("file").c_str());
}

// How a fax's call came to end without being filed, for its report: the
// service stopped, or an error of the service (why) came between.
struct CutOff {
  std::string interrupted;  // "Transmission interrupted when the fax service stopped"
  std::string during;       // "The fax service stopped during the call"
  std::string before;       // "before the fax service stopped"
};

CutOff ServiceStopped() {
  return {"Transmission interrupted when the fax service stopped", "The fax service stopped during the call",
          "before the fax service stopped"};
}

CutOff ServiceError(const std::string& why) {
  const std::string error = "an error of the fax service (" + why + ")";
  return {"Transmission interrupted by " + error, "An error of the fax service (" + why + ") ended the call",
          "before " + error};
}

// Files a fax whose call was cut off: as sent when the far end had
// confirmed every page (`known` pages, or more the job recorded); as
// cancelled when a cancel was under way; otherwise it goes again from the
// first page the far end did not confirm (the cut-off attempt does not
// count), and its event says the far end may already have that page.
void FileCutOff(State& state, const Archive& archive, std::unique_lock<std::mutex>* lk, long long id,
                long long known, const CutOff& how) {
  using namespace faxsvc;
  Message job = state.JobRow(id);
  long long pages = job.GetInt("pages"), confirmed = std::max(known, job.GetInt("pages_sent"));
  if (confirmed >= pages && pages > 0) {
    Completion c;
    auto dev = state.db.Query("SELECT tsid FROM devices WHERE id=?", {job.GetInt("device_id")});
    c.localIdent = dev.empty() ? "" : dev[0].Get("tsid");
    c.remoteIdent = job.Get("number");
    c.result = "OK (the far end confirmed every page " + how.before + ")";
    c.pages = pages;
    c.attempts = job.GetInt("attempts");
    c.attemptPages = job.Get("attempt_pages");
    c.started = job.GetReal("started");
    c.ended = Now();
    state.Event("recovered", id, "the far end had confirmed every page: filed as sent");
    FileDelivered(state, archive, lk, job, c);
  } else if (job.GetInt("status") == kJobCanceling) {
    // A cancel that was under way when the call was cut off is complete.
    state.db.Exec("UPDATE jobs SET status=?, error='Cancelled during transmission' WHERE id=?",
                  {static_cast<long long>(kJobCanceled), id});
  } else {
    const std::string next = std::to_string(confirmed + 1);
    std::string why = confirmed == 0
                          ? how.interrupted + "; sending again"
                          : how.during + " after the far end confirmed " + std::to_string(confirmed) +
                                " of " + std::to_string(pages) + " pages; sending page " + next +
                                " onwards (the far end may already have received page " + next + ")";
    state.db.Transaction([&] {
      state.db.Exec(
          "UPDATE jobs SET status=?, attempts=MAX(attempts-1,0), next_attempt=0, resume_from=?,"
          " attempt_pages=?, error=? WHERE id=?",
          {static_cast<long long>(kJobPending), confirmed + 1,
           WithAttemptPages(job.Get("attempt_pages"), job.GetInt("attempts"), job.GetInt("resume_from", 1),
                            confirmed),
           why, id});
      state.Event("recovered", id, why);
    });
  }
}

// A call registered for the requests (cancel, pause) while it runs: made
// and ended with the state's lock held, in the scope around the one that
// lets go of the lock for the call.
class ActiveEntry {
 public:
  ActiveEntry(State& state, long long job, ActiveCall* call) : state_(state), job_(job) {
    state_.active[job] = call;
  }
  ~ActiveEntry() { state_.active.erase(job_); }
  ActiveEntry(const ActiveEntry&) = delete;
  ActiveEntry& operator=(const ActiveEntry&) = delete;

 private:
  State& state_;
  long long job_;
};

// The service's side of one call on this worker's line.
class Events : public CallEvents {
 public:
  // *confirmed follows the pages as they are confirmed (or received), so
  // that the worker knows them also when the record could not be written.
  Events(State& state, long long job, const ActiveCall& active, int pagesBefore, int pages,
         std::string number, bool outgoing, long long* confirmed)
      : state_(state),
        job_(job),
        active_(active),
        before_(pagesBefore),
        pages_(pages),
        number_(std::move(number)),
        outgoing_(outgoing),
        confirmed_(confirmed) {}
  void Connected() noexcept override {
    if (outgoing_)
      TransmissionLine(number_, "page " + std::to_string(before_ + 1) + " of " + std::to_string(pages_));
  }
  void PageConfirmed(int sent) noexcept override {
    // Committed before the call goes on: this row is what a restarted
    // service believes about the pages that arrived.
    int total = before_ + sent;
    *confirmed_ = total;
    Record(total, total >= pages_ ? "the far end confirmed the last page" : "");
    if (total < pages_)
      TransmissionLine(number_, "page " + std::to_string(total + 1) + " of " + std::to_string(pages_));
  }
  void PageReceived(int received) noexcept override {
    *confirmed_ = received;
    Record(received, "");
  }
  bool Cancelled() const noexcept override { return active_.cancel.load(); }

 private:
  // The call goes on whatever becomes of the record: the worker files what
  // *confirmed_ says when the call ends.
  void Record(long long pages, const std::string& event) noexcept {
    try {
      std::lock_guard g(state_.mu);
      state_.db.Exec("UPDATE jobs SET pages_sent=? WHERE id=?", {pages, job_});
      if (!event.empty()) state_.Event("confirmed", job_, event);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "brevant-faxd: page %lld of job %lld not recorded: %s\n", pages, job_, e.what());
    }
  }

  State& state_;
  long long job_;
  const ActiveCall& active_;
  int before_, pages_;
  std::string number_;
  bool outgoing_;
  long long* confirmed_;
};

}  // namespace

LineWorker::LineWorker(State& state, const Archive& archive, const Message& device,
                       std::unique_ptr<Line> line)
    : state_(state), archive_(archive), device_(device.GetInt("id")), line_(std::move(line)) {}

LineWorker::~LineWorker() {
  Join();
}

void LineWorker::Start() {
  thread_ = std::thread([this] { Loop(); });
}

void LineWorker::RequestStop() {
  stop_ = true;
  std::lock_guard lk(state_.mu);
  state_.Changed();
}

void LineWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

void LineWorker::RecoverAfterRestart(State& state, const Archive& archive) {
  using namespace faxsvc;
  // Faxes that were on a line when the service ended. The far end's
  // confirmations were recorded page by page: a fax whose every page was
  // confirmed reached the far end and is filed as sent, not sent again.
  auto cut = state.db.Query("SELECT id FROM jobs WHERE queue='out' AND status IN (?, ?)",
                            {static_cast<long long>(kJobInProgress), static_cast<long long>(kJobCanceling)});
  for (auto& row : cut) FileCutOff(state, archive, nullptr, row.GetInt("id"), 0, ServiceStopped());
  // The event history keeps its newest 10,000 entries.
  state.db.Exec("DELETE FROM events WHERE id <= (SELECT MAX(id) FROM events) - 10000");
  // An incoming call does not survive: the caller has hung up.
  auto calls = state.db.Query("SELECT id FROM jobs WHERE queue='in' AND status IN (?, ?)",
                              {static_cast<long long>(kJobPending), static_cast<long long>(kJobInProgress)});
  for (auto& row : calls) {
    state.db.Exec("UPDATE jobs SET status=?, error='The call ended when the fax service stopped' WHERE id=?",
                  {static_cast<long long>(kJobFailed), row.GetInt("id")});
    state.Event("failed", row.GetInt("id"), "incoming call lost when the fax service stopped");
  }
  std::error_code ec;
  for (auto& e : fs::directory_iterator(state.Dir() + "/incoming", ec))
    if (e.path().filename().string().rfind("rx-", 0) == 0) fs::remove(e.path(), ec);
}

void LineWorker::Loop() {
  std::unique_lock lk(state_.mu);
  std::string lastError;
  // An error of a round (the state that cannot be written, a line that
  // fails) comes back here with the lock held, whatever the round let go
  // of: the fax on the line is filed once the state can be written, and
  // the service goes on.
  auto trap = [&](auto&& round) {
    try {
      round();
      return;
    } catch (const std::exception& e) {
      lastError = e.what();
    } catch (...) {
      lastError = "an unknown error";
    }
    if (onLine_.job) {
      onLine_.why = lastError;
      unfiled_.push_back(onLine_);
      onLine_ = {};
    }
    try {
      state_.Event("error", 0, "line " + std::to_string(device_) + ": " + lastError);
    } catch (...) {
    }
  };
  while (!state_.stopping && !stop_) {
    double now = Now();
    double wake = now + 1.0;
    bool worked = false;
    trap([&] {
      state_.KeepReserve();
      // A start on a full disk could not file what the last run left on
      // the lines; no line takes work before that is done.
      if (state_.recoveryDue) {
        RecoverAfterRestart(state_, archive_);
        state_.recoveryDue = false;
      }
      if (!unfiled_.empty()) FileUnfiled(lk);
      worked = RunIncoming(lk, now, &wake) || RunOutgoing(lk, now, &wake);
    });
    if (worked) continue;
    if (state_.stopping || stop_) break;
    int waitMs = static_cast<int>(std::clamp(wake - Now(), 0.01, 1.0) * 1000);
    unsigned long long seen = state_.changes;
    IdleHooks hooks;
    hooks.wait = [&](int ms) {
      std::unique_lock w(state_.mu);
      state_.cv.wait_for(w, std::chrono::milliseconds(ms),
                         [&] { return state_.changes != seen || state_.stopping.load(); });
    };
    hooks.workPending = [&] {
      std::lock_guard w(state_.mu);
      return state_.changes != seen || state_.stopping.load() || stop_.load();
    };
    hooks.ring = [&](const std::string& callerId) {
      // The first ring makes the incoming call; each one after counts, also
      // towards a call that was rejected or missed: its rings go on until
      // the caller gives up. A ring the state cannot record is lost; the
      // next one tries again.
      std::lock_guard w(state_.mu);
      trap([&] {
        double at = Now();
        bool sameCall = ringCall_ != 0 && at - lastRing_ < kRingGap;
        lastRing_ = at;
        if (sameCall) {
          state_.db.Exec("UPDATE jobs SET rings_heard=rings_heard+1 WHERE id=? AND status=?",
                         {ringCall_, static_cast<long long>(faxsvc::kJobPending)});
        } else {
          long long owner = state_.db.QueryInt("SELECT route_uid FROM devices WHERE id=?", {device_}, -1);
          state_.db.Exec(
              "INSERT INTO jobs(queue, status, device_id, number, from_number, file, pages,"
              " submitted, started, rings_heard, owner_uid)"
              " VALUES('in', ?, ?, '', ?, '', 0, ?, ?, 1, ?)",
              {static_cast<long long>(faxsvc::kJobPending), device_, callerId, Now(), Now(),
               owner >= 0 ? owner : 0});
          ringCall_ = state_.db.LastInsertId();
          const std::string from = callerId.empty() ? std::string() : " from " + callerId;
          state_.Event("ringing", ringCall_, "incoming call" + from + " ringing");
        }
        state_.Changed();
      });
    };
    trap([&] {
      Unlocked unlocked(lk);
      line_->Idle(waitMs, hooks);
    });
  }
}

void LineWorker::FileUnfiled(std::unique_lock<std::mutex>& lk) {
  using namespace faxsvc;
  while (!unfiled_.empty()) {
    const Unfiled u = unfiled_.front();
    std::optional<Message> job;
    try {
      job = state_.JobRow(u.job);
    } catch (const Refused&) {
    }
    // Somebody else settled it meanwhile (a cancel), or it is gone.
    const long long status = job ? job->GetInt("status") : 0;
    if (status == kJobInProgress || status == kJobCanceling) {
      if (u.incoming) {
        state_.db.Transaction([&] {
          state_.db.Exec(
              "UPDATE jobs SET status=?, error=?, ended=?, pages_sent=? WHERE id=?",
              {static_cast<long long>(kJobFailed), "The call ended by an error of the fax service: " + u.why,
               Now(), u.confirmed, u.job});
          state_.Event("failed", u.job, "incoming call ended by an error of the fax service: " + u.why);
        });
      } else {
        FileCutOff(state_, archive_, &lk, u.job, u.confirmed, ServiceError(u.why));
      }
    }
    unfiled_.erase(unfiled_.begin());
    state_.Changed();
  }
}

bool LineWorker::RunIncoming(std::unique_lock<std::mutex>& lk, double now, double* wake) {
  using namespace faxsvc;
  long long ringSeconds = static_cast<long long>(state_.SettingReal("ring_seconds"));
  double ringTimeout = state_.SettingReal("ring_timeout");
  auto calls = state_.db.Query(
      "SELECT j.id, j.status, j.started, j.rings_heard, d.receive_mode, d.rings FROM jobs j"
      " JOIN devices d ON d.id=j.device_id"
      " WHERE j.queue='in' AND j.status IN (?, ?) AND j.device_id=? ORDER BY j.id",
      {static_cast<long long>(kJobPending), static_cast<long long>(kJobInProgress), device_});
  long long answer = 0;
  for (auto& c : calls) {
    long long id = c.GetInt("id");
    if (c.GetInt("status") == kJobInProgress) {
      answer = id;
      break;
    }
    double started = c.GetReal("started");
    if (c.GetInt("receive_mode") == kReceiveAuto) {
      // A line that hears rings counts them; the loopback's calls ring by
      // the clock (ring_seconds a ring).
      long long heard = c.GetInt("rings_heard", -1);
      double at = started + static_cast<double>(c.GetInt("rings") * ringSeconds);
      if (heard >= 0 ? heard >= c.GetInt("rings") : now >= at) {
        state_.db.Exec("UPDATE jobs SET status=? WHERE id=?", {static_cast<long long>(kJobInProgress), id});
        state_.Event("answered", id, "incoming call answered after " + c.Get("rings") + " rings");
        answer = id;
        break;
      }
      *wake = std::min(*wake, at);
    }
    if (id == ringCall_ && now >= lastRing_ + kRingGap) {
      state_.db.Exec(
          "UPDATE jobs SET status=?, error='The caller hung up before the call was answered', ended=?"
          " WHERE id=?",
          {static_cast<long long>(kJobFailed), now, id});
      state_.Event("missed", id, "incoming call not answered: the caller hung up");
    } else if (now >= started + ringTimeout) {
      state_.db.Exec("UPDATE jobs SET status=?, error='Not answered', ended=? WHERE id=?",
                     {static_cast<long long>(kJobFailed), now, id});
      state_.Event("missed", id, "incoming call not answered");
    } else {
      *wake = std::min(*wake, id == ringCall_ ? lastRing_ + kRingGap : started + ringTimeout);
    }
  }
  if (!answer) return false;

  Message job = state_.JobRow(answer);
  auto dev = state_.db.Query("SELECT * FROM devices WHERE id=?", {device_});
  IncomingCall call;
  call.job = answer;
  if (answer == ringCall_) ringCall_ = 0;  // the rings of the answered call are over
  call.localIdent = dev.empty() ? "" : dev[0].Get("csid");
  call.callerNumber = job.Get("from_number");
  call.callerDocument = job.Get("file");
  call.receiveFile = archive_.NewIncomingFile("rx-");
  long long owner = dev.empty() ? -1 : dev[0].GetInt("route_uid", -1);
  double started = Now();
  onLine_ = {answer, true, 0, ""};
  state_.db.Exec("UPDATE jobs SET started=? WHERE id=?", {started, answer});
  CallReport r;
  double ended = 0;
  std::string stored, why;
  {
    ActiveCall active;
    active.action = "cancel";
    active.cancel = state_.stopping.load();
    ActiveEntry registered(state_, answer, &active);
    Unlocked unlocked(lk);
    Events events(state_, answer, active, 0, 0, call.callerNumber, false, &onLine_.confirmed);
    r = line_->Receive(call, events);
    ended = Now();
    // The store gets the fax with the station ids in its description, so a
    // reader of the file alone still knows who sent it.
    if (r.pagesReceived > 0 &&
        !archive_.File(false, call.receiveFile, Stamp(ended) + "-" + std::to_string(answer) + ".tif",
                       "TSID=" + r.remoteIdent + "\nCSID=" + call.localIdent + "\nTime=" + IsoTime(ended),
                       &stored, &why))
      stored.clear();
    ::unlink(call.receiveFile.c_str());
  }
  bool cancelled = r.outcome == CallOutcome::kCancelled;
  int status = r.ok() ? kJobCompleted : (cancelled && !state_.stopping ? kJobCanceled : kJobFailed);
  std::string result = r.result;
  if (r.pagesReceived > 0 && stored.empty()) result = "received but not stored: " + why;
  state_.db.Transaction([&] {
    if (!stored.empty())
      state_.db.Exec(
          "INSERT OR REPLACE INTO received(job_id, device_id, path, tsid, csid, pages, started, ended, "
          "duration,"
          " bitrate, result, status, owner_uid, modem) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
          {answer, device_, stored, r.remoteIdent, call.localIdent, static_cast<long long>(r.pagesReceived),
           started, ended, r.lineSeconds, static_cast<long long>(r.bitRate), result,
           static_cast<long long>(status), owner >= 0 ? owner : 0,
           !r.modem.empty() || dev.empty() ? r.modem : dev[0].Get("name")});
    state_.db.Exec(
        "UPDATE jobs SET status=?, error=?, ended=?, pages_sent=?, bitrate=?, remote_id=?, duration=? WHERE "
        "id=?",
        {static_cast<long long>(status), r.ok() ? std::string() : result, ended,
         static_cast<long long>(r.pagesReceived), static_cast<long long>(r.bitRate), r.remoteIdent,
         r.lineSeconds, answer});
    state_.Event(
        r.ok()      ? "received"
        : cancelled ? "cancelled"
                    : "failed",
        answer, "fax from " + r.remoteIdent + ": " + std::to_string(r.pagesReceived) + " page(s), " + result);
  });
  onLine_ = {};
  if (!call.callerDocument.empty()) ::unlink(call.callerDocument.c_str());
  return true;
}

bool LineWorker::RunOutgoing(std::unique_lock<std::mutex>& lk, double now, double* wake) {
  using namespace faxsvc;
  if (state_.Setting("paused") == "1" || !line_->Ready()) return false;
  auto dev = state_.db.Query("SELECT * FROM devices WHERE id=?", {device_});
  if (dev.empty() || dev[0].GetInt("send_enabled", 1) == 0 || dev[0].GetInt("powered_off") != 0) return false;
  // Any line may take any fax, also one an earlier attempt made on another
  // line: a line whose modem fails leaves its faxes to the others.
  auto due = state_.db.Query(
      "SELECT id, next_attempt FROM jobs WHERE queue='out' AND status IN (?, ?)"
      " ORDER BY priority DESC, id LIMIT 50",
      {static_cast<long long>(kJobPending), static_cast<long long>(kJobRetrying)});
  long long id = 0;
  for (auto& d : due) {
    double at = d.GetReal("next_attempt");
    if (at <= now) {
      id = d.GetInt("id");
      break;
    }
    *wake = std::min(*wake, at);
  }
  if (!id) return false;

  Message job = state_.JobRow(id);
  const std::string number = job.Get("number");
  const long long pages = job.GetInt("pages");
  const long long firstPage = std::clamp<long long>(job.GetInt("resume_from", 1), 1, std::max(1LL, pages));
  const long long attempts = job.GetInt("attempts") + 1;
  const double started = Now();
  state_.db.Exec("UPDATE jobs SET status=?, attempts=?, started=?, pages_sent=?, device_id=? WHERE id=?",
                 {static_cast<long long>(kJobInProgress), attempts, started, firstPage - 1, device_, id});
  onLine_ = {id, false, firstPage - 1, ""};
  state_.Event("sending", id,
               "calling " + number + " (attempt " + std::to_string(attempts) +
                   (firstPage > 1 ? ", from page " + std::to_string(firstPage) : std::string()) + ")");
  OutgoingCall call;
  call.job = id;
  call.number = number;
  call.document = job.Get("file");
  call.firstPage = static_cast<int>(firstPage);
  call.pages = static_cast<int>(pages);
  call.localIdent = dev[0].Get("tsid");
  CallReport r;
  ActiveCall active;
  active.cancel = state_.stopping.load();
  {
    ActiveEntry registered(state_, id, &active);
    Unlocked unlocked(lk);
    Events events(state_, id, active, static_cast<int>(firstPage - 1), static_cast<int>(pages), number, true,
                  &onLine_.confirmed);
    r = line_->Send(call, events);
  }
  const double ended = Now();
  // The pages confirmed as the call went count too, should the line's
  // report know fewer (a modem that stopped answering).
  const long long confirmed = std::max<long long>(firstPage - 1 + r.pagesSent, onLine_.confirmed);
  onLine_.confirmed = confirmed;
  // Every later attempt goes on from the first page the far end did not
  // confirm: no page is sent twice. Only the user's "restart" starts over.
  const std::string attemptPages = WithAttemptPages(job.Get("attempt_pages"), attempts, firstPage, confirmed);

  if (r.ok() || (confirmed >= pages && pages > 0)) {
    Completion c;
    c.localIdent = call.localIdent;
    c.remoteIdent = r.remoteIdent;
    c.result = r.ok() ? "OK" : "OK (the far end confirmed every page; the call then ended: " + r.result + ")";
    // A fax that took several calls says which pages went in which.
    if (firstPage > 1) c.result += " (" + attemptPages + ")";
    c.attemptPages = attemptPages;
    c.pages = confirmed;
    c.attempts = attempts;
    c.started = started;
    c.ended = ended;
    c.duration = r.lineSeconds;
    c.bitRate = r.bitRate;
    c.modem = r.modem.empty() ? dev[0].Get("name") : r.modem;
    FileDelivered(state_, archive_, &lk, job, c);
    onLine_ = {};
    TransmissionLine(number, PagesSent(confirmed, pages));
    return true;
  }

  if (r.outcome == CallOutcome::kCancelled) {
    if (active.action == "pause") {
      state_.db.Exec(
          "UPDATE jobs SET status=?, attempts=?, error='Paused during transmission', resume_from=?,"
          " attempt_pages=? WHERE id=?",
          {static_cast<long long>(kJobPaused), attempts - 1, confirmed + 1, attemptPages, id});
      TransmissionLine(number, "Paused during transmission (" + PagesSent(confirmed, pages) + ")");
    } else if (active.action == "cancel") {
      state_.db.Exec("UPDATE jobs SET status=?, error='Cancelled during transmission', ended=? WHERE id=?",
                     {static_cast<long long>(kJobCanceled), ended, id});
      TransmissionLine(number, "Cancelled during transmission (" + PagesSent(confirmed, pages) + ")");
    } else {
      // The service is stopping: the job waits for the next start and goes
      // on from the first page the far end did not confirm.
      state_.db.Exec(
          "UPDATE jobs SET status=?, attempts=?, resume_from=?, attempt_pages=?,"
          " error='Transmission interrupted when the fax service stopped; sending again' WHERE id=?",
          {static_cast<long long>(kJobPending), attempts - 1, confirmed + 1, attemptPages, id});
      TransmissionLine(number, "Transmission interrupted when the fax service stopped; sending again");
    }
    onLine_ = {};
    return true;
  }

  // A number the line cannot dial fails at once: another attempt would
  // fail the same way.
  long long retries = static_cast<long long>(state_.SettingReal("retries"));
  bool badNumber = r.outcome == CallOutcome::kBadNumber;
  bool giveUp = attempts > retries || badNumber;
  int status = badNumber ? kJobFailed : giveUp ? kJobRetriesExceeded : kJobRetrying;
  double next = ended + state_.SettingReal("retry_interval");
  state_.db.Transaction([&] {
    state_.db.Exec(
        "UPDATE jobs SET status=?, error=?, next_attempt=?, ended=?, bitrate=?, remote_id=?, duration=?,"
        " resume_from=?, attempt_pages=? WHERE id=?",
        {static_cast<long long>(status), r.result, next, ended, static_cast<long long>(r.bitRate),
         r.remoteIdent, r.lineSeconds, std::min(confirmed + 1, pages), attemptPages, id});
    const std::string from = confirmed > 0 ? " from page " + std::to_string(confirmed + 1) : "";
    state_.Event(giveUp ? "failed" : "retrying", id,
                 "fax to " + number + ": " + r.result +
                     (badNumber ? ""
                      : giveUp  ? " (no attempts left)"
                                : " (attempt " + std::to_string(attempts) + ", trying again" + from + ")"));
  });
  onLine_ = {};
  TransmissionLine(number,
                   r.result + " (" + PagesSent(confirmed, pages) + (giveUp ? ")" : ", trying again)"));
  return true;
}

}  // namespace brevant::faxd
