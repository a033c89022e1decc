#include "faxservice/daemon/Requests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "faxservice/daemon/CoverPage.h"
#include "faxservice/daemon/lines/Line.h"
#include "faxservice/protocol/FaxTiff.h"
#include "faxservice/protocol/Service.h"
#include "platform/fs/Files.h"

namespace brevant::faxd {

namespace fs = std::filesystem;
using faxsvc::kErrNoDocument;
using faxsvc::kErrNoRoom;
using faxsvc::kErrNotFaxDocument;
using faxsvc::kErrNotOffered;
using faxsvc::kErrRefused;
using faxsvc::kErrServiceFiles;
using faxsvc::Message;

namespace {

constexpr int kMaxDigits = 40;
// Fields a client sets are bounded, so that no job's record can grow past
// what a list of jobs can carry: the cover page note, and every other text.
constexpr std::size_t kMaxNote = 8192;
constexpr std::size_t kMaxText = 512;
// A list reply holds at most this many rows and about this many bytes; the
// rest follows in further pages ("more", "next").
constexpr long long kPageRows = 500;
constexpr std::size_t kPageBytes = 512 * 1024;
// A single field longer than this (a record of an older installation) is
// cut in lists; the item says "truncated=1".
constexpr std::size_t kListField = 16384;

// Accepts what people write in fax numbers (digits, blanks, + - ( ) . /)
// and the dial modifiers (p pulse dialling, w and d wait for dial tone, ","
// pause), and refuses letters and numbers no exchange would dial. A modem
// line dials the modifiers; the loopback line ignores them.
void CheckNumber(const std::string& number) {
  int digits = 0;
  for (unsigned char c : number) {
    if (std::isdigit(c))
      ++digits;
    else if (!std::strchr(" +-()./pPwWd,", c))
      throw Refused(kErrRefused,
                    "Invalid fax number \"" + number.substr(0, 64) +
                        "\": only digits, blanks, + - ( ) . / and the dial characters p w d , are allowed");
  }
  if (digits == 0)
    throw Refused(kErrRefused, "Invalid fax number \"" + number.substr(0, 64) + "\": it has no digits");
  if (digits > kMaxDigits)
    throw Refused(kErrRefused, "Invalid fax number: it has " + std::to_string(digits) + " digits, at most " +
                                   std::to_string(kMaxDigits) + " are dialled");
}

bool EndsWithTxt(std::string name) {
  for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name.size() >= 4 && name.compare(name.size() - 4, 4, ".txt") == 0;
}

// Rows of a list (ordered by id, fetched with one more than kPageRows) as a
// reply page: as many as fit, each long field cut, and where to go on.
Message Page(std::vector<Message> rows, const std::function<void(Message&)>& decorate = {}) {
  Message r = Ok();
  std::size_t bytes = 0;
  int count = 0;
  bool more = rows.size() > static_cast<std::size_t>(kPageRows);
  if (more) rows.resize(static_cast<std::size_t>(kPageRows));
  std::string last;
  for (Message& row : rows) {
    if (decorate) decorate(row);
    Message item;
    for (auto& [k, v] : row.Fields()) {
      if (v.size() > kListField) {
        item.Set(k, v.substr(0, kListField));
        item.Set("truncated", "1");
      } else {
        item.Set(k, v);
      }
    }
    std::size_t size = item.Encode().size() + item.Size() * 6;
    if (count > 0 && bytes + size > kPageBytes) {
      more = true;
      break;
    }
    bytes += size;
    r.AddItem(++count, item);
    last = row.Get("id");
  }
  r.Set("count", count);
  if (more && !last.empty()) r.Set("more", "1").Set("next", last);
  return r;
}

long long After(const Message& req) {
  return req.GetInt("after", req.GetInt("since", 0));
}

// The size of what a client handed over (0 for anything but a regular
// file, which the copy refuses anyway), and of a queue copy.
long long DocumentSize(int fd) {
  struct stat st {};
  return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : 0;
}
long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

constexpr long long kMiB = 1ll << 20;

// A document on its way into the queue, for the owner's share of the queue
// (quota_jobs faxes waiting, quota_mb MiB of documents with the finished
// faxes' copies; fax administrators have no share) and the disk's room:
// checked when it is made, and counted, like the jobs already queued, until
// it goes (with the lock held: it is made and ends in the locked scope of a
// request, whatever the request let go of meanwhile).
class QueueClaim {
 public:
  QueueClaim(State& state, bool administrator, long long owner, long long bytes)
      : state_(state), owner_(owner), bytes_(bytes) {
    auto it = state_.claimed.find(owner_);
    if (!administrator)
      CheckShare(it == state_.claimed.end() ? 0 : it->second.first,
                 it == state_.claimed.end() ? 0 : it->second.second);
    state_.CheckRoom(bytes_);
    auto& [jobs, held] = state_.claimed[owner_];
    ++jobs;
    held += bytes_;
    state_.claimedBytes += bytes_;
  }
  ~QueueClaim() {
    auto it = state_.claimed.find(owner_);
    state_.claimedBytes -= bytes_;
    if (--it->second.first == 0)
      state_.claimed.erase(it);
    else
      it->second.second -= bytes_;
  }
  QueueClaim(const QueueClaim&) = delete;
  QueueClaim& operator=(const QueueClaim&) = delete;

 private:
  void CheckShare(long long claimedJobs, long long claimedBytes) {
    using namespace faxsvc;
    const long long maxJobs = static_cast<long long>(state_.SettingReal("quota_jobs"));
    const long long maxBytes = static_cast<long long>(state_.SettingReal("quota_mb")) * kMiB;
    const std::vector<DbValue> waitingArgs{owner_,
                                           static_cast<long long>(kJobPending),
                                           static_cast<long long>(kJobInProgress),
                                           static_cast<long long>(kJobPaused),
                                           static_cast<long long>(kJobRetrying),
                                           static_cast<long long>(kJobCanceling)};
    const long long waiting =
        claimedJobs + state_.db.QueryInt(
                          "SELECT COUNT(*) FROM jobs WHERE queue='out' AND owner_uid=? AND"
                          " status IN (?, ?, ?, ?, ?)",
                          waitingArgs);
    if (maxJobs > 0 && waiting >= maxJobs)
      throw Refused(kErrNoRoom, "too many faxes in the queue: you have " + std::to_string(waiting) +
                                    " waiting to be sent, and each user may have " + std::to_string(maxJobs) +
                                    " (the fax service's quota_jobs)");
    if (maxBytes <= 0) return;
    long long held = claimedBytes + state_.db.QueryInt(
                                        "SELECT COALESCE(SUM(size), 0) FROM jobs"
                                        " WHERE queue='out' AND owner_uid=? AND size>0",
                                        {owner_});
    // The user's own finished faxes give up their copies first.
    if (held + bytes_ > maxBytes) held -= state_.FreeFinishedCopies(owner_, held + bytes_ - maxBytes);
    if (held + bytes_ > maxBytes)
      throw Refused(kErrNoRoom, "not enough room in the queue: your faxes there would take " +
                                    std::to_string((held + bytes_ + kMiB - 1) / kMiB) +
                                    " MiB, and each user may keep " + std::to_string(maxBytes / kMiB) +
                                    " MiB (the fax service's quota_mb)");
  }

  State& state_;
  long long owner_, bytes_;
};

}  // namespace

Message Ok() {
  return Message().Set("ok", "1");
}

Message Refusal(long number, const std::string& text) {
  return Message().Set("ok", "0").Set("errno", static_cast<long long>(number)).Set("error", text);
}

void CheckLengths(const Message& req) {
  for (auto& [k, v] : req.Fields()) {
    std::size_t limit = k == "note" ? kMaxNote : kMaxText;
    if (v.size() > limit)
      throw Refused(kErrRefused, "the field \"" + k.substr(0, 32) + "\" is longer than " +
                                     std::to_string(limit) + " characters");
  }
}

void RecordFarEnd(State& state, const Message& record) {
  std::lock_guard g(state.mu);
  state.db.Exec(
      "INSERT INTO farend_calls(job_id, number, path, first_page, pages, complete, caller, received)"
      " VALUES(?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT(path) DO UPDATE SET pages=excluded.pages,"
      " complete=excluded.complete, received=excluded.received",
      {record.GetInt("job_id"), record.Get("number"), record.Get("path"), record.GetInt("first_page", 1),
       record.GetInt("pages"), record.GetInt("complete"), record.Get("caller"), record.GetReal("received")});
}

std::optional<long long> Requests::OwnerOf(const std::string& kind, long long id) {
  const char* sql = kind == "job"        ? "SELECT owner_uid FROM jobs WHERE id=?"
                    : kind == "sent"     ? "SELECT owner_uid FROM sent WHERE id=?"
                    : kind == "sent_job" ? "SELECT owner_uid FROM sent WHERE job_id=?"
                                         : "SELECT owner_uid FROM received WHERE id=?";
  auto rows = state_.db.Query(sql, {id});
  if (rows.empty()) return std::nullopt;
  return rows[0].GetInt("owner_uid");
}

Reply Requests::Handle(const Caller& caller, const Message& req, int documentFd) {
  const std::string op = req.Get("op");
  try {
    std::unique_lock lk(state_.mu);
    Grant grant =
        CheckAccess(caller, req, [this](const std::string& kind, long long id) { return OwnerOf(kind, id); });
    // The service never opens a file a client names: documents come as
    // descriptors. A request naming one is refused the same way whatever
    // the name, so nothing can be learnt about files through the service.
    if (req.Has("file")) throw Refused(kErrNoDocument, "no document: hand the document over as an open file");
    if (op == "hello") return {Hello(caller)};
    if (op == "devices") return {Devices(caller)};
    if (op == "submit") return {Submit(caller, req, documentFd, lk)};
    if (op == "call") return {PlaceCall(req, documentFd, lk)};
    if (op == "device_set") return {SetDevice(req)};
    if (op == "answer") return {Answer(req)};
    if (op == "jobs") return {ListJobs(grant, req)};
    if (op == "job") {
      Message r = Ok().Set("count", 1);
      r.AddItem(1, state_.JobRow(req.GetInt("id")));
      return {r};
    }
    if (op == "job_op") return {JobOp(caller, req, lk)};
    if (op == "resend") return {Resend(caller, req, lk)};
    if (op == "queue_get") {
      // With the room on the service's disk, so that everybody sees why new
      // faxes are refused.
      Disk disk = state_.DiskSpace();
      return {Ok().Set("paused", state_.Setting("paused"))
                  .Set("free_mb", disk.free / kMiB)
                  .Set("reserve_mb", disk.reserve / kMiB)
                  .Set("disk_low", disk.Low() ? 1 : 0)};
    }
    if (op == "queue_set") {
      std::string p = req.Get("paused") == "1" ? "1" : "0";
      state_.PutSetting("paused", p);
      state_.Event(p == "1" ? "paused" : "resumed", 0,
                   p == "1" ? "outgoing queue paused" : "outgoing queue resumed");
      state_.Changed();
      return {Ok().Set("paused", p)};
    }
    if (op == "archive") return {ListArchive(grant, req)};
    if (op == "farend") return {ListFarEnd(req)};
    if (op == "events") return {ListEvents(grant, req)};
    if (op == "fax_open") return OpenFax(req);
    if (op == "folders")
      return {Ok().Set("store", archive_.StoreFolder())
                  .Set("archive", archive_.ArchiveFolder())
                  .Set("state", state_.Dir())};
    if (op == "line_get") {
      Message r = Ok();
      for (auto& row : state_.db.Query("SELECT key, value FROM settings ORDER BY key"))
        if (State::KnownSetting(row.Get("key"))) r.Set(row.Get("key"), row.Get("value"));
      return {r};
    }
    if (op == "line_set") return {SetLine(req)};
    if (op == "lines") return {ListLines()};
    if (op == "modem_probe") return {ProbeModem(req, lk)};
    if (op == "line_add" || op == "line_update" || op == "line_remove") {
      Message r = op == "line_add"      ? AddLine(req, lk)
                  : op == "line_update" ? UpdateLine(req, lk)
                                        : RemoveLine(req);
      if (lk.owns_lock()) lk.unlock();
      if (linesChanged_) linesChanged_();
      return {r};
    }
    if (op == "shutdown") {
      state_.Event("stop", 0,
                   "stop requested by " + (caller.name.empty() ? std::to_string(caller.uid) : caller.name));
      stopService_();
      return {Ok()};
    }
    return {Refusal(kErrNotOffered, "unknown request \"" + op.substr(0, 64) + "\"")};
  } catch (const Refused& e) {
    return {Refusal(e.Number(), e.what())};
  } catch (const fs::filesystem_error& e) {
    return {Refusal(kErrServiceFiles, e.what())};
  } catch (const std::exception& e) {
    return {Refusal(kErrRefused, e.what())};
  }
}

Message Requests::Hello(const Caller& caller) {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return Ok()
      .Set("server", host)
      .Set("version", "2")
      .Set("state", state_.Dir())
      .Set("uid", static_cast<long long>(caller.uid))
      .Set("user", caller.name)
      .Set("admin", caller.admin ? 1 : 0)
      .Set("granted_rights", caller.Rights())
      .Set("idle_timeout_ms", static_cast<long long>(idleTimeoutMs_));
}

Message Requests::Submit(const Caller& caller, const Message& req, int fd, std::unique_lock<std::mutex>& lk) {
  const std::string number = req.Get("number");
  CheckNumber(number);
  CheckLengths(req);
  const std::string document = req.Get("document");
  // The user's share of the queue and the disk's room are checked before a
  // byte is copied, and held for this document until its job holds it.
  const long long size = DocumentSize(fd);
  QueueClaim claim(state_, caller.admin, static_cast<long long>(caller.uid), size);
  std::string queued, why, coverNote;
  int pageCount = 0;
  {
    Unlocked unlocked(lk);
    // The queue keeps its own copy, read from the descriptor the sender
    // opened, so the sender may remove its spool files at once. A text
    // document (the blank stand-in of a fax that is only its cover page)
    // becomes one white page.
    queued = archive_.TakeDocument(fd, "out-", size);
    try {
      if (EndsWithTxt(document)) {
        pageCount = 1;
        if (!faxsvc::WriteFaxTiff(queued, std::vector<faxsvc::FaxPage>{faxsvc::BlankPage()}, "", &why))
          throw Refused(kErrServiceFiles, "cannot queue the fax: " + why);
      } else if (!faxsvc::CheckFaxTiff(queued, &pageCount, &why)) {
        throw Refused(kErrNotFaxDocument, (document.empty() ? std::string("the document") : document) +
                                              " is not a fax document: " + why);
      }
    } catch (...) {
      ::unlink(queued.c_str());
      throw;
    }
    // A fax that asks for the service's own cover page and has no pages of
    // its own (the blank stand-in) gets it in front of the blank page (page
    // by page, a row at a time); one that cannot be drawn is left out, and
    // the job's history says why. A fax image brings its cover page as its first page
    // already: a second one in front of it is never added.
    if (req.GetInt("server_cover") == 1 && EndsWithTxt(document)) {
      std::string cover = archive_.NewQueueFile("cover-");
      if (MakeCoverPage(req, pageCount, cover, &why) && faxsvc::ConcatFaxTiffs({cover, queued}, queued, &why))
        ++pageCount;
      else
        coverNote = why;
      ::unlink(cover.c_str());
    }
  }
  // Everything the document carries besides the recipient goes with the job
  // to the sent archive.
  Message props;
  for (auto& [k, v] : req.Fields())
    if (k != "op" && k != "document") props.Set(k, v);
  double now = Now();
  double due = 0;
  if (req.GetInt("discount") == 1) {
    // Discount rates run from discount_start to discount_end (local hours).
    int start = static_cast<int>(state_.SettingReal("discount_start")),
        end = static_cast<int>(state_.SettingReal("discount_end"));
    std::time_t tt = static_cast<std::time_t>(now);
    std::tm tm{};
    localtime_r(&tt, &tm);
    bool inside =
        start > end ? (tm.tm_hour >= start || tm.tm_hour < end) : (tm.tm_hour >= start && tm.tm_hour < end);
    if (!inside) {
      tm.tm_hour = start;
      tm.tm_min = tm.tm_sec = 0;
      due = static_cast<double>(std::mktime(&tm));
      if (due <= now) due += 86400;
    }
  }
  try {
    state_.db.Exec(
        "INSERT INTO jobs(queue, status, device_id, number, name, file, pages, submitted, scheduled,"
        " next_attempt, subject, priority, sender_name, sender_fax, props, owner_uid, owner_name, size)"
        " VALUES('out', ?, 0, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        {static_cast<long long>(faxsvc::kJobPending), number, req.Get("name"), queued,
         static_cast<long long>(pageCount), now, due, due,
         req.Get("display_name").empty() ? req.Get("subject") : req.Get("display_name"),
         req.GetInt("priority", 1), req.Get("sender_name"), req.Get("sender_fax"), props.Encode(),
         static_cast<long long>(caller.uid), caller.name, FileSize(queued)});
  } catch (...) {
    ::unlink(queued.c_str());
    throw;
  }
  long long id = state_.db.LastInsertId();
  state_.Event("submitted", id,
               "fax to " + number + " (" + req.Get("name") + "), " + std::to_string(pageCount) + " page(s)");
  if (!coverNote.empty()) state_.Event("error", id, "sent without its cover page: " + coverNote);
  state_.Changed();
  return Ok().Set("id", id).Set("pages", static_cast<long long>(pageCount));
}

Message Requests::PlaceCall(const Message& req, int fd, std::unique_lock<std::mutex>& lk) {
  long long device = req.GetInt("device", 1);
  if (state_.db.QueryInt("SELECT COUNT(*) FROM devices WHERE id=?", {device}) == 0)
    throw Refused(kErrRefused, "no fax device " + std::to_string(device));
  CheckLengths(req);
  const long long size = DocumentSize(fd);
  state_.CheckRoom(size);
  std::string copy;
  int pageCount = 0;
  {
    Unlocked unlocked(lk);
    copy = archive_.TakeDocument(fd, "call-", size);
    std::string why;
    if (!faxsvc::CheckFaxTiff(copy, &pageCount, &why)) {
      ::unlink(copy.c_str());
      std::string document = req.Get("document");
      throw Refused(kErrNotFaxDocument, (document.empty() ? std::string("the document") : document) +
                                            " is not a fax document: " + why);
    }
  }
  std::string from = req.Get("from").empty() ? "Unknown" : req.Get("from");
  long long owner = state_.db.QueryInt("SELECT route_uid FROM devices WHERE id=?", {device}, -1);
  state_.db.Exec(
      "INSERT INTO jobs(queue, status, device_id, number, from_number, file, pages, submitted, started,"
      " owner_uid) VALUES('in', ?, ?, '', ?, ?, ?, ?, ?, ?)",
      {static_cast<long long>(faxsvc::kJobPending), device, from, copy, static_cast<long long>(pageCount),
       Now(), Now(), owner >= 0 ? owner : 0});
  long long id = state_.db.LastInsertId();
  state_.Event("ringing", id, "incoming call from " + from + " ringing");
  state_.Changed();
  return Ok().Set("id", id);
}

Message Requests::ListJobs(const Grant& grant, const Message& req) {
  // Without "all", the calls still ringing or being received, and the
  // faxes not yet sent or cancelled.
  const bool incoming = req.Get("queue") == "in";
  std::string sql = "SELECT * FROM jobs WHERE queue=? AND id>?";
  std::vector<DbValue> args{incoming ? std::string("in") : std::string("out"), After(req)};
  if (req.Get("all") != "1") {
    sql += incoming ? " AND status IN (?, ?)" : " AND status NOT IN (?, ?)";
    args.emplace_back(static_cast<long long>(incoming ? faxsvc::kJobPending : faxsvc::kJobCompleted));
    args.emplace_back(static_cast<long long>(incoming ? faxsvc::kJobInProgress : faxsvc::kJobCanceled));
  }
  if (!grant.all) {
    sql += " AND owner_uid=?";
    args.push_back(grant.owner);
  }
  sql += " ORDER BY id LIMIT " + std::to_string(kPageRows + 1);
  return Page(state_.db.Query(sql, args), [](Message& m) {
    int status = static_cast<int>(m.GetInt("status"));
    m.Set("ops", OperationsFor(status, m.Get("queue") == "in", !m.Get("file").empty()));
    m.Set("queue_status", faxsvc::QueueStatusText(status));
  });
}

Message Requests::ListArchive(const Grant& grant, const Message& req) {
  std::string sql =
      std::string("SELECT * FROM ") + (req.Get("folder") == "in" ? "received" : "sent") + " WHERE id>?";
  std::vector<DbValue> args{After(req)};
  if (!grant.all) {
    sql += " AND owner_uid=?";
    args.push_back(grant.owner);
  }
  sql += " ORDER BY id LIMIT " + std::to_string(kPageRows + 1);
  return Page(state_.db.Query(sql, args));
}

Message Requests::ListEvents(const Grant& grant, const Message& req) {
  // A user's view of the history is that of their own jobs; "own=1" asks
  // for that view whoever asks (an administrator's desktop is told of the
  // administrator's own faxes only). "latest" is the newest event of the
  // view, where someone who follows the history from now on starts.
  bool all = grant.all && req.Get("own") != "1";
  std::string from = all ? " FROM events e WHERE e.id>?"
                         : " FROM events e JOIN jobs j ON j.id=e.job_id WHERE e.id>? AND j.owner_uid=?";
  std::vector<DbValue> args{After(req)};
  if (!all) args.push_back(grant.owner);
  const std::string limit = " ORDER BY e.id LIMIT " + std::to_string(kPageRows + 1);
  Message r = Page(state_.db.Query("SELECT e.*" + from + limit, args));
  args[0] = 0LL;
  return r.Set("latest", state_.db.QueryInt("SELECT COALESCE(MAX(e.id), 0)" + from, args));
}

Message Requests::ListFarEnd(const Message& req) {
  return Page(state_.db.Query(
      "SELECT * FROM farend_calls WHERE id>? ORDER BY id LIMIT " + std::to_string(kPageRows + 1),
      {After(req)}));
}

Reply Requests::OpenFax(const Message& req) {
  bool incoming = req.Get("folder") == "in";
  auto rows = state_.db.Query(std::string("SELECT path") + (incoming ? "" : ", archive_error") + " FROM " +
                                  (incoming ? "received" : "sent") + " WHERE id=?",
                              {req.GetInt("id")});
  if (rows.empty()) throw Refused(kErrRefused, "no fax " + req.Get("id") + " in this folder");
  std::string path = rows[0].Get("path");
  if (path.empty())
    throw Refused(kErrNoDocument, "the fax was not archived: " + rows[0].Get("archive_error"));
  std::string why;
  int fd = archive_.OpenStored(path, &why);
  if (fd < 0) throw Refused(kErrNoDocument, why);
  return {Ok().Set("name", fs::path(path).filename().string()), fd};
}

Message Requests::JobOp(const Caller& caller, const Message& req, std::unique_lock<std::mutex>& lk) {
  using namespace faxsvc;
  long long id = req.GetInt("id");
  Message job = state_.JobRow(id);
  int status = static_cast<int>(job.GetInt("status"));
  bool incoming = job.Get("queue") == "in";
  const std::string action = req.Get("action");
  auto set = [&](int s, const std::string& error) {
    state_.db.Exec(
        "UPDATE jobs SET status=?, error=?, next_attempt=? WHERE id=?",
        {static_cast<long long>(s), error, s == kJobPending ? Now() : job.GetReal("next_attempt"), id});
  };
  auto running = state_.active.find(id);
  bool onLine = status == kJobInProgress && running != state_.active.end();
  int ops = OperationsFor(status, incoming);
  if (action == "cancel") {
    if (!(ops & kOpDelete))
      throw Refused(kErrRefused,
                    "The fax job cannot be cancelled in its state (" + QueueStatusText(status) + ")");
    if (onLine) {
      running->second->action = "cancel";
      running->second->cancel = true;
      state_.db.Exec("UPDATE jobs SET status=? WHERE id=?", {static_cast<long long>(kJobCanceling), id});
    } else if (!incoming && !job.Get("file").empty() && state_.DiskSpace().Low()) {
      // On a disk under the reserve the fax's copy goes first: it makes the
      // room this record needs, and a cancelled fax keeps its copy only
      // while there is room.
      ::unlink(job.Get("file").c_str());
      state_.db.Exec("UPDATE jobs SET status=?, error=?, file='', size=0 WHERE id=?",
                     {static_cast<long long>(kJobCanceled),
                      std::string("Cancelled by the user (its document was removed from the queue to make"
                                  " room: it cannot be sent again)"),
                      id});
    } else {
      set(kJobCanceled, incoming ? "Call rejected" : "Cancelled by the user");
    }
    state_.Event("cancelled", id,
                 incoming ? "incoming call cancelled" : "fax to " + job.Get("number") + " cancelled");
  } else if (action == "pause") {
    if (!(ops & kOpPause))
      throw Refused(kErrRefused,
                    "The fax job cannot be paused in its state (" + QueueStatusText(status) + ")");
    if (onLine) {
      running->second->action = "pause";
      running->second->cancel = true;
    } else {
      set(kJobPaused, job.Get("error"));
    }
    state_.Event("paused", id, "fax to " + job.Get("number") + " paused");
  } else if (action == "resume") {
    if (!(ops & kOpResume)) throw Refused(kErrRefused, "The fax job is not paused");
    set(kJobPending, "");
    state_.Event("resumed", id, "fax to " + job.Get("number") + " resumed");
  } else if (action == "restart") {
    if (!(ops & kOpRestart))
      throw Refused(kErrRefused,
                    "The fax job cannot be sent again in its state (" + QueueStatusText(status) + ")");
    if (status == kJobCompleted) return Resend(caller, Message("resend").Set("job", id), lk);
    state_.db.Exec(
        "UPDATE jobs SET status=?, attempts=0, error='', pages_sent=0, next_attempt=0, resume_from=1,"
        " attempt_pages='' WHERE id=?",
        {static_cast<long long>(kJobPending), id});
    state_.Event("restarted", id, "fax to " + job.Get("number") + " queued again");
  } else {
    throw Refused(kErrRefused, "unknown job action \"" + action.substr(0, 32) + "\"");
  }
  state_.Changed();
  Message r = Ok().Set("count", 1);
  r.AddItem(1, state_.JobRow(id));
  return r;
}

Message Requests::Resend(const Caller& caller, const Message& req, std::unique_lock<std::mutex>& lk) {
  // A sent fax (by its archive id, or by the job that sent it) goes out
  // again as a new job of its owner with the same document and recipient.
  auto rows = req.Has("job") ? state_.db.Query("SELECT * FROM sent WHERE job_id=?", {req.GetInt("job")})
                             : state_.db.Query("SELECT * FROM sent WHERE id=?", {req.GetInt("id")});
  if (rows.empty()) throw Refused(kErrRefused, "no sent fax to send again");
  Message s = rows[0];
  auto old = state_.db.Query("SELECT props, file, owner_name FROM jobs WHERE id=?", {s.GetInt("job_id")});
  std::string why;
  int fd = s.Get("path").empty() ? -1 : archive_.OpenStored(s.Get("path"), &why);
  // A fax that could not be archived still has its queue copy.
  if (fd < 0 && !old.empty() && !old[0].Get("file").empty())
    fd = archive_.Queue().OpenOwn(fs::path(old[0].Get("file")).filename().string(), &why);
  if (fd < 0) throw Refused(kErrNoDocument, "the sent fax's document is missing: " + why);
  platform::UniqueFd guard(fd);
  const long long size = DocumentSize(fd);
  QueueClaim claim(state_, caller.admin, s.GetInt("owner_uid"), size);
  std::string queued;
  {
    Unlocked unlocked(lk);
    queued = archive_.TakeDocument(fd, "out-", size);
  }
  state_.db.Exec(
      "INSERT INTO jobs(queue, status, device_id, number, name, file, pages, submitted, subject, priority,"
      " sender_name, sender_fax, props, owner_uid, owner_name, size)"
      " VALUES('out', ?, 0, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      {static_cast<long long>(faxsvc::kJobPending), s.Get("number"), s.Get("name"), queued, s.GetInt("pages"),
       Now(), s.Get("subject"), s.GetInt("priority", 1), s.Get("sender_name"), s.Get("sender_fax"),
       old.empty() ? std::string() : old[0].Get("props"), s.GetInt("owner_uid"),
       old.empty() ? std::string() : old[0].Get("owner_name"), FileSize(queued)});
  long long id = state_.db.LastInsertId();
  state_.Event("submitted", id, "fax to " + s.Get("number") + " sent again");
  state_.Changed();
  Message r = Ok().Set("id", id).Set("count", 1);
  r.AddItem(1, state_.JobRow(id));
  return r;
}

Message Requests::Answer(const Message& req) {
  long long device = req.GetInt("id", 1);
  auto rows =
      state_.db.Query("SELECT id FROM jobs WHERE queue='in' AND status=? AND device_id=? ORDER BY id LIMIT 1",
                      {static_cast<long long>(faxsvc::kJobPending), device});
  if (rows.empty()) throw Refused(kErrRefused, "No call is ringing on the fax device");
  long long id = rows[0].GetInt("id");
  state_.db.Exec("UPDATE jobs SET status=?, error='' WHERE id=?",
                 {static_cast<long long>(faxsvc::kJobInProgress), id});
  state_.Event("answered", id, "incoming call answered");
  state_.Changed();
  return Ok().Set("id", id);
}

}  // namespace brevant::faxd
