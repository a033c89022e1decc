#include "tools/brevant-faxd/Requests.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "platform/faxservice/FaxService.h"
#include "platform/faxservice/FaxTiff.h"
#include "faxservice/daemon/lines/sip/LineSecrets.h"
#include "tools/brevant-faxd/CoverPage.h"
#include "tools/brevant-faxd/Line.h"

namespace brevant::faxd {

namespace fs = std::filesystem;
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

Message Ok() { return Message().Set("ok", "1"); }

Message Error(long number, const std::string& text) {
  return Message().Set("ok", "0").Set("errno", static_cast<long long>(number)).Set("error", text);
}

// Accepts what people write in fax numbers (digits, blanks, + - ( ) . /)
// and the dial modifiers (p pulse dialling, w and d wait for dial tone, ","
// pause), and refuses letters and numbers no exchange would dial. A modem
// line dials the modifiers; the loopback line ignores them.
void CheckNumber(const std::string& number) {
  int digits = 0;
  for (unsigned char c : number) {
    if (std::isdigit(c)) ++digits;
    else if (!std::strchr(" +-()./pPwWd,", c))
      throw Refused(5, "Invalid fax number \"" + number.substr(0, 64) +
                           "\": only digits, blanks, + - ( ) . / and the dial characters p w d , are allowed");
  }
  if (digits == 0) throw Refused(5, "Invalid fax number \"" + number.substr(0, 64) + "\": it has no digits");
  if (digits > kMaxDigits)
    throw Refused(5, "Invalid fax number: it has " + std::to_string(digits) + " digits, at most " +
                         std::to_string(kMaxDigits) + " are dialled");
}

void CheckLengths(const Message& req) {
  for (auto& [k, v] : req.Fields()) {
    std::size_t limit = k == "note" ? kMaxNote : kMaxText;
    if (v.size() > limit)
      throw Refused(5, "the field \"" + k.substr(0, 32) + "\" is longer than " + std::to_string(limit) +
                           " characters");
  }
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

long long After(const Message& req) { return req.GetInt("after", req.GetInt("since", 0)); }

std::string UserOf(long long uid) {
  std::vector<char> buf(16384);
  passwd pw{}, *found = nullptr;
  if (uid >= 0 && ::getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &found) == 0 && found)
    return pw.pw_name;
  return "";
}

// The settings every line has, kept in the device row's own columns; the
// others of a line request are the line's kind's own ("config").
bool CommonLineSetting(const std::string& key) {
  for (const char* k : {"op", "id", "kind", "name", "station_id", "tsid", "csid", "rings", "receive",
                        "send_enabled", "priority"})
    if (key == k) return true;
  return false;
}

// A line's password goes to the service's secret store, never into the
// device row that "lines" shows.
bool LineSecretSetting(const std::string& kind, const std::string& key) { return kind == "sip" && key == "password"; }

// What the SIP lines learnt of the numbers they called: "5552002 T.38,
// 5553003 G.711" (the numbers called are the administrators' to see).
std::string T38Memory(State& state) {
  std::string memory;
  for (Message& m : state.db.Query("SELECT key, value FROM settings WHERE key LIKE 'sip_t38:%' ORDER BY key"))
    memory += (memory.empty() ? "" : ", ") + m.Get("key").substr(8) + " " + m.Get("value");
  return memory;
}

void PutSecrets(const std::string& stateDir, const std::string& kind, long long id, const Message& req) {
  std::string why;
  if (LineSecretSetting(kind, "password") && req.Has("password") &&
      !PutLineSecret(stateDir, id, req.Get("password"), &why))
    throw Refused(5, "the line's password was not kept: " + why);
}

// "receive" as people write it: off, auto (on), manual, or the number.
long long ReceiveModeOf(const std::string& v) {
  if (v == "off" || v == "0" || v == "no") return faxsvc::kReceiveOff;
  if (v == "auto" || v == "on" || v == "1" || v == "yes") return faxsvc::kReceiveAuto;
  if (v == "manual" || v == "2") return faxsvc::kReceiveManual;
  throw Refused(5, "receive must be off, auto or manual");
}

// The device row's columns a line request sets (name, station ids, rings,
// receive mode, sending, priority), checked.
std::vector<std::pair<std::string, DbValue>> CommonColumns(const Message& req) {
  std::vector<std::pair<std::string, DbValue>> cols;
  if (req.Has("name")) {
    if (req.Get("name").empty()) throw Refused(5, "a line's name may not be empty");
    cols.emplace_back("name", req.Get("name").substr(0, 64));
  }
  if (req.Has("station_id")) {
    cols.emplace_back("tsid", req.Get("station_id").substr(0, 20));
    cols.emplace_back("csid", req.Get("station_id").substr(0, 20));
  }
  for (const char* k : {"tsid", "csid"})
    if (req.Has(k)) cols.emplace_back(k, req.Get(k).substr(0, 20));
  if (req.Has("rings")) {
    long long rings = req.GetInt("rings", -1);
    if (rings < 0 || rings > 99 || req.Get("rings").find_first_not_of("0123456789") != std::string::npos)
      throw Refused(5, "rings must be 0 to 99");
    cols.emplace_back("rings", rings);
  }
  if (req.Has("receive")) cols.emplace_back("receive_mode", ReceiveModeOf(req.Get("receive")));
  if (req.Has("send_enabled")) {
    const std::string v = req.Get("send_enabled");
    if (v != "0" && v != "1" && v != "on" && v != "off") throw Refused(5, "send_enabled must be on or off");
    cols.emplace_back("send_enabled", v == "1" || v == "on" ? 1LL : 0LL);
  }
  if (req.Has("priority")) cols.emplace_back("priority", req.GetInt("priority", 1));
  return cols;
}

// A line's device as a path that names the same thing for every line
// ("" when none).
std::string SameDevice(const std::string& path) {
  if (path.empty()) return "";
  std::error_code ec;
  fs::path p = fs::weakly_canonical(path, ec);
  return ec ? path : p.string();
}

struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};

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
    if (--it->second.first == 0) state_.claimed.erase(it);
    else it->second.second -= bytes_;
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
        claimedJobs + state_.db.QueryInt("SELECT COUNT(*) FROM jobs WHERE queue='out' AND owner_uid=? AND"
                                         " status IN (?, ?, ?, ?, ?)",
                                         waitingArgs);
    if (maxJobs > 0 && waiting >= maxJobs)
      throw Refused(61, "too many faxes in the queue: you have " + std::to_string(waiting) +
                            " waiting to be sent, and each user may have " + std::to_string(maxJobs) +
                            " (the fax service's quota_jobs)");
    if (maxBytes <= 0) return;
    long long held = claimedBytes + state_.db.QueryInt("SELECT COALESCE(SUM(size), 0) FROM jobs"
                                                       " WHERE queue='out' AND owner_uid=? AND size>0",
                                                       {owner_});
    // The user's own finished faxes give up their copies first.
    if (held + bytes_ > maxBytes) held -= state_.FreeFinishedCopies(owner_, held + bytes_ - maxBytes);
    if (held + bytes_ > maxBytes)
      throw Refused(61, "not enough room in the queue: your faxes there would take " +
                            std::to_string((held + bytes_ + kMiB - 1) / kMiB) +
                            " MiB, and each user may keep " + std::to_string(maxBytes / kMiB) +
                            " MiB (the fax service's quota_mb)");
  }

  State& state_;
  long long owner_, bytes_;
};

}  // namespace

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
    Grant grant = CheckAccess(caller, req, [this](const std::string& kind, long long id) { return OwnerOf(kind, id); });
    // The service never opens a file a client names: documents come as
    // descriptors. A request naming one is refused the same way whatever
    // the name, so nothing can be learnt about files through the service.
    if (req.Has("file")) throw Refused(53, "no document: hand the document over as an open file");
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
      return {Ok()
                  .Set("paused", state_.Setting("paused"))
                  .Set("free_mb", disk.free / kMiB)
                  .Set("reserve_mb", disk.reserve / kMiB)
                  .Set("disk_low", disk.Low() ? 1 : 0)};
    }
    if (op == "queue_set") {
      std::string p = req.Get("paused") == "1" ? "1" : "0";
      state_.PutSetting("paused", p);
      state_.Event(p == "1" ? "paused" : "resumed", 0, p == "1" ? "outgoing queue paused" : "outgoing queue resumed");
      state_.Changed();
      return {Ok().Set("paused", p)};
    }
    if (op == "archive") return {ListArchive(grant, req)};
    if (op == "farend") return {ListFarEnd(req)};
    if (op == "events") return {ListEvents(grant, req)};
    if (op == "fax_open") return OpenFax(req);
    if (op == "folders")
      return {Ok().Set("store", archive_.StoreFolder()).Set("archive", archive_.ArchiveFolder()).Set("state", state_.Dir())};
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
      Message r = op == "line_add" ? AddLine(req, lk) : op == "line_update" ? UpdateLine(req, lk) : RemoveLine(req);
      if (lk.owns_lock()) lk.unlock();
      if (linesChanged_) linesChanged_();
      return {r};
    }
    if (op == "shutdown") {
      state_.Event("stop", 0, "stop requested by " + (caller.name.empty() ? std::to_string(caller.uid) : caller.name));
      stopService_();
      return {Ok()};
    }
    return {Error(438, "unknown request \"" + op.substr(0, 64) + "\"")};
  } catch (const Refused& e) {
    return {Error(e.Number(), e.what())};
  } catch (const fs::filesystem_error& e) {
    return {Error(75, e.what())};
  } catch (const std::exception& e) {
    return {Error(5, e.what())};
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

Message Requests::Devices(const Caller& caller) {
  Message r = Ok();
  auto rows = state_.db.Query("SELECT * FROM devices ORDER BY priority, id");
  int n = 0;
  for (Message& row : rows) {
    Message d;
    for (const char* k : {"id", "name", "description", "kind", "tsid", "csid", "receive_mode", "rings", "powered_off",
                          "send_enabled", "priority"})
      d.Set(k, row.Get(k));
    d.Set("status", row.Get("line_status").empty() ? "ready" : row.Get("line_status"));
    d.Set("receive_enabled", row.GetInt("receive_mode") != faxsvc::kReceiveOff ? 1 : 0);
    // Who may change the device: the administrators.
    d.Set("can_modify", caller.admin ? 1 : 0);
    d.Set("ringing", state_.db.QueryInt("SELECT COUNT(*) FROM jobs WHERE queue='in' AND status=? AND device_id=?",
                                        {static_cast<long long>(faxsvc::kJobPending), row.GetInt("id")}));
    if (caller.admin) d.Set("route_to", UserOf(row.GetInt("route_uid", -1)));
    if (caller.admin && row.Get("kind") == "sip") d.Set("t38_memory", T38Memory(state_));
    r.AddItem(++n, d);
  }
  return r.Set("count", n);
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
          throw Refused(75, "cannot queue the fax: " + why);
      } else if (!faxsvc::CheckFaxTiff(queued, &pageCount, &why)) {
        throw Refused(13, (document.empty() ? std::string("the document") : document) +
                              " is not a fax document: " + why);
      }
    } catch (...) {
      ::unlink(queued.c_str());
      throw;
    }
    // A fax that asks for the service's own cover page and has no pages of
    // its own (the blank stand-in) gets it in front of the blank page (page
    // by page, a row at a time); without Ghostscript it goes without one,
    // and says so. A fax image brings its cover page as its first page
    // already: a second one in front of it is never added.
    if (req.GetInt("server_cover") == 1 && EndsWithTxt(document)) {
      std::string cover = archive_.NewQueueFile("cover-");
      if (MakeCoverPage(req, pageCount, cover, &why) && faxsvc::ConcatFaxTiffs({cover, queued}, queued, &why))
        ++pageCount;
      else coverNote = why;
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
    bool inside = start > end ? (tm.tm_hour >= start || tm.tm_hour < end) : (tm.tm_hour >= start && tm.tm_hour < end);
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
         req.Get("display_name").empty() ? req.Get("subject") : req.Get("display_name"), req.GetInt("priority", 1),
         req.Get("sender_name"), req.Get("sender_fax"), props.Encode(), static_cast<long long>(caller.uid),
         caller.name, FileSize(queued)});
  } catch (...) {
    ::unlink(queued.c_str());
    throw;
  }
  long long id = state_.db.LastInsertId();
  state_.Event("submitted", id, "fax to " + number + " (" + req.Get("name") + "), " + std::to_string(pageCount) + " page(s)");
  if (!coverNote.empty()) state_.Event("error", id, "sent without its cover page: " + coverNote);
  state_.Changed();
  return Ok().Set("id", id).Set("pages", static_cast<long long>(pageCount));
}

Message Requests::PlaceCall(const Message& req, int fd, std::unique_lock<std::mutex>& lk) {
  long long device = req.GetInt("device", 1);
  if (state_.db.QueryInt("SELECT COUNT(*) FROM devices WHERE id=?", {device}) == 0)
    throw Refused(5, "no fax device " + std::to_string(device));
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
      throw Refused(13, (document.empty() ? std::string("the document") : document) +
                            " is not a fax document: " + why);
    }
  }
  std::string from = req.Get("from").empty() ? "Unknown" : req.Get("from");
  long long owner = state_.db.QueryInt("SELECT route_uid FROM devices WHERE id=?", {device}, -1);
  state_.db.Exec("INSERT INTO jobs(queue, status, device_id, number, from_number, file, pages, submitted, started,"
                 " owner_uid) VALUES('in', ?, ?, '', ?, ?, ?, ?, ?, ?)",
                 {static_cast<long long>(faxsvc::kJobPending), device, from, copy, static_cast<long long>(pageCount),
                  Now(), Now(), owner >= 0 ? owner : 0});
  long long id = state_.db.LastInsertId();
  state_.Event("ringing", id, "incoming call from " + from + " ringing");
  state_.Changed();
  return Ok().Set("id", id);
}

Message Requests::ListJobs(const Grant& grant, const Message& req) {
  std::string sql = "SELECT * FROM jobs WHERE queue=? AND id>?";
  if (req.Get("all") != "1") sql += req.Get("queue") == "in" ? " AND status IN (1, 2)" : " AND status NOT IN (256, 512)";
  std::vector<DbValue> args{req.Get("queue") == "in" ? std::string("in") : std::string("out"), After(req)};
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
  std::string sql = std::string("SELECT * FROM ") + (req.Get("folder") == "in" ? "received" : "sent") + " WHERE id>?";
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
  return Page(state_.db.Query("SELECT * FROM farend_calls WHERE id>? ORDER BY id LIMIT " + std::to_string(kPageRows + 1),
                              {After(req)}));
}

Reply Requests::OpenFax(const Message& req) {
  bool incoming = req.Get("folder") == "in";
  auto rows = state_.db.Query(std::string("SELECT path") + (incoming ? "" : ", archive_error") + " FROM " +
                                  (incoming ? "received" : "sent") + " WHERE id=?",
                              {req.GetInt("id")});
  if (rows.empty()) throw Refused(5, "no fax " + req.Get("id") + " in this folder");
  std::string path = rows[0].Get("path");
  if (path.empty()) throw Refused(53, "the fax was not archived: " + rows[0].Get("archive_error"));
  std::string why;
  int fd = archive_.OpenStored(path, &why);
  if (fd < 0) throw Refused(53, why);
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
    state_.db.Exec("UPDATE jobs SET status=?, error=?, next_attempt=? WHERE id=?",
                   {static_cast<long long>(s), error, s == kJobPending ? Now() : job.GetReal("next_attempt"), id});
  };
  auto running = state_.active.find(id);
  bool onLine = status == kJobInProgress && running != state_.active.end();
  int ops = OperationsFor(status, incoming);
  if (action == "cancel") {
    if (!(ops & kOpDelete)) throw Refused(5, "The fax job cannot be cancelled in its state (" + QueueStatusText(status) + ")");
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
    state_.Event("cancelled", id, incoming ? "incoming call cancelled" : "fax to " + job.Get("number") + " cancelled");
  } else if (action == "pause") {
    if (!(ops & kOpPause)) throw Refused(5, "The fax job cannot be paused in its state (" + QueueStatusText(status) + ")");
    if (onLine) {
      running->second->action = "pause";
      running->second->cancel = true;
    } else {
      set(kJobPaused, job.Get("error"));
    }
    state_.Event("paused", id, "fax to " + job.Get("number") + " paused");
  } else if (action == "resume") {
    if (!(ops & kOpResume)) throw Refused(5, "The fax job is not paused");
    set(kJobPending, "");
    state_.Event("resumed", id, "fax to " + job.Get("number") + " resumed");
  } else if (action == "restart") {
    if (!(ops & kOpRestart)) throw Refused(5, "The fax job cannot be sent again in its state (" + QueueStatusText(status) + ")");
    if (status == kJobCompleted) return Resend(caller, Message("resend").Set("job", id), lk);
    state_.db.Exec("UPDATE jobs SET status=?, attempts=0, error='', pages_sent=0, next_attempt=0, resume_from=1 WHERE id=?",
                   {static_cast<long long>(kJobPending), id});
    state_.Event("restarted", id, "fax to " + job.Get("number") + " queued again");
  } else {
    throw Refused(5, "unknown job action \"" + action.substr(0, 32) + "\"");
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
  if (rows.empty()) throw Refused(5, "no sent fax to send again");
  Message s = rows[0];
  auto old = state_.db.Query("SELECT props, file, owner_name FROM jobs WHERE id=?", {s.GetInt("job_id")});
  std::string why;
  int fd = s.Get("path").empty() ? -1 : archive_.OpenStored(s.Get("path"), &why);
  // A fax that could not be archived still has its queue copy.
  if (fd < 0 && !old.empty() && !old[0].Get("file").empty())
    fd = archive_.Queue().OpenOwn(fs::path(old[0].Get("file")).filename().string(), &why);
  if (fd < 0) throw Refused(53, "the sent fax's document is missing: " + why);
  FdGuard guard{fd};
  const long long size = DocumentSize(fd);
  QueueClaim claim(state_, caller.admin, s.GetInt("owner_uid"), size);
  std::string queued;
  {
    Unlocked unlocked(lk);
    queued = archive_.TakeDocument(fd, "out-", size);
  }
  state_.db.Exec("INSERT INTO jobs(queue, status, device_id, number, name, file, pages, submitted, subject, priority,"
                 " sender_name, sender_fax, props, owner_uid, owner_name, size)"
                 " VALUES('out', ?, 0, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                 {static_cast<long long>(faxsvc::kJobPending), s.Get("number"), s.Get("name"), queued,
                  s.GetInt("pages"), Now(), s.Get("subject"), s.GetInt("priority", 1), s.Get("sender_name"),
                  s.Get("sender_fax"), old.empty() ? std::string() : old[0].Get("props"), s.GetInt("owner_uid"),
                  old.empty() ? std::string() : old[0].Get("owner_name"), FileSize(queued)});
  long long id = state_.db.LastInsertId();
  state_.Event("submitted", id, "fax to " + s.Get("number") + " sent again");
  state_.Changed();
  Message r = Ok().Set("id", id).Set("count", 1);
  r.AddItem(1, state_.JobRow(id));
  return r;
}

Message Requests::SetDevice(const Message& req) {
  long long id = req.GetInt("id", 1);
  if (state_.db.QueryInt("SELECT COUNT(*) FROM devices WHERE id=?", {id}) == 0)
    throw Refused(5, "no fax device " + std::to_string(id));
  CheckLengths(req);
  long long mode = req.GetInt("receive_mode", -1), rings = req.GetInt("rings", -1);
  if (req.Has("receive_mode") && (mode < 0 || mode > 2)) throw Refused(5, "ReceiveMode must be 0, 1 or 2");
  const std::string autoAnswer = req.Has("auto_answer") ? req.Get("auto_answer") : "";
  if (req.Has("auto_answer") && (req.Has("receive_mode") || (autoAnswer != "0" && autoAnswer != "1")))
    throw Refused(5, "auto_answer is 0 or 1, and goes without receive_mode");
  if (req.Has("rings") && (rings < 0 || rings > 99)) throw Refused(5, "rings must be 0 to 99");
  long long route = -1;
  if (req.Has("route_to") && !req.Get("route_to").empty()) {
    std::vector<char> buf(16384);
    passwd pw{}, *found = nullptr;
    if (::getpwnam_r(req.Get("route_to").c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found)
      throw Refused(5, "no user \"" + req.Get("route_to") + "\" to route received faxes to");
    route = found->pw_uid;
  }
  if (req.Has("receive_mode")) state_.db.Exec("UPDATE devices SET receive_mode=? WHERE id=?", {mode, id});
  // Automatic answering as one switch (the older family's port): off again
  // returns the device to what it did before, off or answered by hand.
  const long long automatic = faxsvc::kReceiveAuto;
  if (autoAnswer == "1") state_.db.Exec("UPDATE devices SET receive_mode=? WHERE id=?", {automatic, id});
  if (autoAnswer == "0")
    state_.db.Exec("UPDATE devices SET receive_mode=idle_mode WHERE id=? AND receive_mode=?",
                   {id, automatic});
  state_.RememberIdleMode(id);
  if (req.Has("rings")) state_.db.Exec("UPDATE devices SET rings=? WHERE id=?", {rings, id});
  if (req.Has("route_to")) state_.db.Exec("UPDATE devices SET route_uid=? WHERE id=?", {route, id});
  if (req.Has("send_enabled"))
    state_.db.Exec("UPDATE devices SET send_enabled=? WHERE id=?", {req.GetInt("send_enabled") ? 1LL : 0LL, id});
  for (const char* k : {"tsid", "csid"})
    if (req.Has(k))
      state_.db.Exec(std::string("UPDATE devices SET ") + k + "=? WHERE id=?", {req.Get(k).substr(0, 20), id});
  auto row = state_.db.Query("SELECT * FROM devices WHERE id=?", {id});
  state_.Event("device", 0, "device " + std::to_string(id) + ": receive mode " + row[0].Get("receive_mode") + ", " +
                                row[0].Get("rings") + " rings");
  state_.Changed();
  Message r = Ok().Set("count", 1);
  r.AddItem(1, row[0]);
  return r;
}

Message Requests::Answer(const Message& req) {
  long long device = req.GetInt("id", 1);
  auto rows = state_.db.Query("SELECT id FROM jobs WHERE queue='in' AND status=? AND device_id=? ORDER BY id LIMIT 1",
                              {static_cast<long long>(faxsvc::kJobPending), device});
  if (rows.empty()) throw Refused(5, "No call is ringing on the fax device");
  long long id = rows[0].GetInt("id");
  state_.db.Exec("UPDATE jobs SET status=?, error='' WHERE id=?", {static_cast<long long>(faxsvc::kJobInProgress), id});
  state_.Event("answered", id, "incoming call answered");
  state_.Changed();
  return Ok().Set("id", id);
}

Message Requests::SetLine(const Message& req) {
  CheckLengths(req);
  for (auto& [k, v] : req.Fields()) {
    if (k != "op" && !State::KnownSetting(k)) throw Refused(5, "unknown line setting \"" + k.substr(0, 32) + "\"");
    if ((k == "quota_jobs" || k == "quota_mb" || k == "reserve_mb") &&
        (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos))
      throw Refused(5, k + " must be a whole number");
  }
  for (auto& [k, v] : req.Fields())
    if (k != "op") state_.PutSetting(k, v);
  state_.Changed();
  return Ok();
}

// The fax lines.

long long Requests::LineWithDevice(const std::string& device, long long except) {
  const std::string wanted = SameDevice(device);
  for (Message& row : state_.db.Query("SELECT id, config FROM devices WHERE id<>?", {except})) {
    Message config;
    Message::Decode(row.Get("config"), &config);
    if (!wanted.empty() && SameDevice(config.Get("device")) == wanted) return row.GetInt("id");
  }
  return 0;
}

Message Requests::ListLines() {
  Message r = Ok();
  int n = 0;
  for (Message& row : state_.db.Query("SELECT * FROM devices ORDER BY priority, id")) {
    Message line;
    for (const char* k : {"id", "name", "kind", "description", "tsid", "csid", "rings", "receive_mode", "priority",
                          "send_enabled"})
      line.Set(k, row.Get(k));
    line.Set("status", row.Get("line_status").empty() ? "ready" : row.Get("line_status"));
    Message config;
    Message::Decode(row.Get("config"), &config);
    for (auto& [k, v] : config.Fields()) line.Set(k, v);
    if (row.Get("kind") == "sip") {
      line.Set("password", LineSecret(state_.Dir(), row.GetInt("id")).empty() ? "not set" : "set");
      line.Set("t38_memory", T38Memory(state_));
    }
    r.AddItem(++n, line);
  }
  return r.Set("count", n);
}

Message Requests::ProbeModem(const Message& req, std::unique_lock<std::mutex>& lk) {
  LineCheck check;
  if (!FindLineKind("modem", &check) || !check) throw Refused(5, "this fax service has no modem lines");
  Message config;
  for (auto& [k, v] : req.Fields())
    if (k != "op") config.Set(k, v);
  // A modem a line holds is busy for anyone else, the service included.
  if (long long line = LineWithDevice(config.Get("device"), 0)) {
    auto rows = state_.db.Query("SELECT line_status FROM devices WHERE id=?", {line});
    throw Refused(5, config.Get("device") + " is the modem of line " + std::to_string(line) + " (" +
                         (rows.empty() ? std::string() : rows[0].Get("line_status")) + ")");
  }
  Message report;
  std::string why;
  bool ok;
  {
    Unlocked unlocked(lk);  // asking a modem takes seconds
    ok = check(config, true, &report, &why);
  }
  if (!ok) throw Refused(5, why);
  Message r = Ok();
  for (auto& [k, v] : report.Fields()) r.Set(k, v);
  return r.Set("device", config.Get("device"));
}

Message Requests::AddLine(const Message& req, std::unique_lock<std::mutex>& lk) {
  CheckLengths(req);
  const std::string kind = req.Get("kind").empty() ? "modem" : req.Get("kind");
  LineCheck check;
  if (!FindLineKind(kind, &check)) throw Refused(5, "no line of kind \"" + kind.substr(0, 32) + "\" in this fax service");
  auto cols = CommonColumns(req);
  Message config;
  for (auto& [k, v] : req.Fields())
    if (!CommonLineSetting(k) && !LineSecretSetting(kind, k)) config.Set(k, v);
  if (!check && config.Size() > 0)
    throw Refused(5, "unknown setting \"" + config.Fields()[0].first.substr(0, 32) + "\" of a " + kind + " line");
  if (long long other = LineWithDevice(config.Get("device"), 0))
    throw Refused(5, config.Get("device") + " is the device of line " + std::to_string(other) + " already");
  Message report;
  if (check) {
    // The modem is asked before the line is kept: a device that is no fax
    // modem is refused here, with the reason.
    std::string why;
    bool ok;
    {
      Unlocked unlocked(lk);
      ok = check(config, true, &report, &why);
    }
    if (!ok) throw Refused(5, why);
    if (long long other = LineWithDevice(config.Get("device"), 0))
      throw Refused(5, config.Get("device") + " is the device of line " + std::to_string(other) + " already");
  }
  const std::string station = state_.Setting("station_id");
  std::string name = report.Has("name")   ? report.Get("name")
                     : kind == "modem"     ? "Fax modem on " + config.Get("device")
                                           : "Brevant Loopback Modem";
  std::string description =
      report.Has("description") ? report.Get("description")
      : kind == "modem"         ? "Class 1 fax modem " + report.Get("modem") + " on " + config.Get("device") + ", up to " +
                            report.Get("max_rate") + " bit/s"
                      : "Loopback line: faxes go over T.30 (SpanDSP) to a far-end station inside the fax service";
  // A line's number is never given again: jobs and faxes name the line
  // that carried them.
  long long id = 1 + std::max(state_.db.QueryInt("SELECT MAX(id) FROM devices"),
                              static_cast<long long>(state_.SettingReal("last_line_id")));
  state_.PutSetting("last_line_id", std::to_string(id));
  PutSecrets(state_.Dir(), kind, id, req);
  state_.db.Exec("INSERT INTO devices(id, name, tsid, csid, receive_mode, rings, kind, config, description, priority)"
                 " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                 {id, name, station, station, static_cast<long long>(faxsvc::kReceiveAuto), 2LL, kind,
                  config.Size() ? config.Encode() : std::string(), description, 1LL});
  for (auto& [col, value] : cols) state_.db.Exec("UPDATE devices SET " + col + "=? WHERE id=?", {value, id});
  state_.RememberIdleMode(id);
  state_.Event("line", 0, "line " + std::to_string(id) + " added: " + description);
  if (report.Has("ignored_lock"))
    state_.Event("line", 0, "line " + std::to_string(id) + ": " + report.Get("ignored_lock"));
  state_.Changed();
  Message r = Ok().Set("id", id);
  for (auto& [k, v] : report.Fields()) r.Set(k, v);
  return r;
}

Message Requests::UpdateLine(const Message& req, std::unique_lock<std::mutex>& lk) {
  CheckLengths(req);
  const long long id = req.GetInt("id");
  auto rows = state_.db.Query("SELECT * FROM devices WHERE id=?", {id});
  if (rows.empty()) throw Refused(5, "no fax line " + req.Get("id").substr(0, 32));
  if (req.Has("kind") && req.Get("kind") != rows[0].Get("kind"))
    throw Refused(5, "a line's kind cannot change: remove the line and add another");
  auto cols = CommonColumns(req);
  Message config;
  Message::Decode(rows[0].Get("config"), &config);
  bool changed = false;
  PutSecrets(state_.Dir(), rows[0].Get("kind"), id, req);
  for (auto& [k, v] : req.Fields())
    if (!CommonLineSetting(k) && !LineSecretSetting(rows[0].Get("kind"), k)) {
      config.Set(k, v);
      changed = true;
    }
  LineCheck check;
  FindLineKind(rows[0].Get("kind"), &check);
  if (changed && !check) throw Refused(5, "a " + rows[0].Get("kind") + " line has no settings of its own");
  if (changed) {
    if (long long other = LineWithDevice(config.Get("device"), id))
      throw Refused(5, config.Get("device") + " is the device of line " + std::to_string(other) + " already");
    // A new device is asked before the line takes it; the line's own modem
    // is busy with the line, which opens it again with the new settings.
    Message old;
    Message::Decode(rows[0].Get("config"), &old);
    bool newDevice = SameDevice(old.Get("device")) != SameDevice(config.Get("device"));
    Message report;
    std::string why;
    bool ok;
    {
      Unlocked unlocked(lk);
      ok = check(config, newDevice, &report, &why);
    }
    if (!ok) throw Refused(5, why);
    state_.db.Exec("UPDATE devices SET config=? WHERE id=?", {config.Encode(), id});
    if (newDevice)
      state_.db.Exec("UPDATE devices SET description=? WHERE id=?",
                     {"Class 1 fax modem " + report.Get("modem") + " on " + config.Get("device") + ", up to " +
                          report.Get("max_rate") + " bit/s",
                      id});
  }
  for (auto& [col, value] : cols) state_.db.Exec("UPDATE devices SET " + col + "=? WHERE id=?", {value, id});
  state_.RememberIdleMode(id);
  state_.Event("line", 0, "line " + std::to_string(id) + " changed");
  state_.Changed();
  return Ok().Set("id", id);
}

Message Requests::RemoveLine(const Message& req) {
  const long long id = req.GetInt("id");
  if (state_.db.QueryInt("SELECT COUNT(*) FROM devices WHERE id=?", {id}) == 0)
    throw Refused(5, "no fax line " + req.Get("id").substr(0, 32));
  // A call on the line is finished (or cancelled) first; a fax waiting
  // for the line goes on another.
  if (state_.db.QueryInt("SELECT COUNT(*) FROM jobs WHERE device_id=? AND status IN (?, ?)",
                         {id, static_cast<long long>(faxsvc::kJobInProgress),
                          static_cast<long long>(faxsvc::kJobCanceling)}) > 0)
    throw Refused(5, "line " + std::to_string(id) + " is on a call: cancel it or wait until it ends");
  state_.db.Transaction([&] {
    state_.db.Exec("DELETE FROM devices WHERE id=?", {id});
    state_.db.Exec("UPDATE jobs SET status=?, error='The line was removed while the call rang', ended=?"
                   " WHERE queue='in' AND device_id=? AND status=?",
                   {static_cast<long long>(faxsvc::kJobFailed), Now(), id, static_cast<long long>(faxsvc::kJobPending)});
    state_.Event("line", 0, "line " + std::to_string(id) + " removed");
  });
  RemoveLineSecret(state_.Dir(), id);
  state_.Changed();
  return Ok().Set("id", id);
}

}  // namespace brevant::faxd
