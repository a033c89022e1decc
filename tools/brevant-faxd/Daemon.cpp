#include "tools/brevant-faxd/Daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "platform/faxservice/FaxService.h"
#include "platform/faxservice/FaxTiff.h"
#include "platform/process/Process.h"
#include "platform/registry/Registry.h"
#include "platform/ui/Ui.h"
#include "tools/brevant-faxd/CoverPage.h"
#include "tools/brevant-faxd/FaxLine.h"

namespace brevant::faxd {

namespace fs = std::filesystem;
using faxsvc::Message;

namespace {

constexpr int kMaxClients = 64;
constexpr int kMaxDigits = 40;

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// "20261206-031502" in local time, for archive file names.
std::string Stamp(double t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

std::string IsoTime(double t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

class Refused : public std::runtime_error {
 public:
  Refused(long number, const std::string& what) : std::runtime_error(what), number_(number) {}
  long Number() const { return number_; }

 private:
  long number_;
};

Message Ok() { return Message().Set("ok", "1"); }

Message Error(long number, const std::string& text) {
  return Message().Set("ok", "0").Set("errno", static_cast<long long>(number)).Set("error", text);
}

// Operations a client may ask for, by the job's status and queue.
int OperationsFor(int status, bool incoming) {
  using namespace faxsvc;
  if (incoming) return (status == kJobPending || status == kJobInProgress) ? kOpView | kOpDelete : kOpView;
  switch (status) {
    case kJobPending:
    case kJobInProgress:
    case kJobRetrying: return kOpView | kOpPause | kOpDelete;
    case kJobPaused: return kOpView | kOpResume | kOpDelete;
    case kJobFailed:
    case kJobRetriesExceeded:
    case kJobNoLine: return kOpView | kOpRestart | kOpDelete;
    case kJobCompleted:
    case kJobCanceled: return kOpView | kOpRestart;
    default: return kOpView;
  }
}

// Accepts what people write in fax numbers (digits, blanks, + - ( ) . /)
// and refuses letters and numbers no exchange would dial.
void CheckNumber(const std::string& number) {
  int digits = 0;
  for (unsigned char c : number) {
    if (std::isdigit(c)) ++digits;
    else if (!std::strchr(" +-()./", c))
      throw Refused(5, "Invalid fax number \"" + number + "\": only digits, blanks and + - ( ) . / are allowed");
  }
  if (digits == 0) throw Refused(5, "Invalid fax number \"" + number + "\": it has no digits");
  if (digits > kMaxDigits)
    throw Refused(5, "Invalid fax number: it has " + std::to_string(digits) + " digits, at most " +
                         std::to_string(kMaxDigits) + " are dialled");
}

std::string ReadRegistryString(const char* key, const char* value) {
  reg::HKEY h = 0;
  if (reg::OpenKey(reg::kLocalMachine, key, reg::kKeyRead, &h) != reg::kOk) return "";
  std::uint32_t type = 0, size = 0;
  std::string out;
  if (reg::QueryValue(h, value, &type, nullptr, &size) == reg::kOk && size > 0) {
    out.resize(size);
    if (reg::QueryValue(h, value, &type, out.data(), &size) != reg::kOk) out.clear();
    while (!out.empty() && out.back() == '\0') out.pop_back();
  }
  reg::CloseKey(h);
  return out;
}

// A transmission's progress for whoever reads the service's stderr in an
// unattended run (BREVANT_UNATTENDED=1): a line as each page starts and one
// with the outcome, "Sending fax to 5551234: page 2 of 3". One write per
// line, so lines of the line worker never mix with others.
void TransmissionLine(const std::string& number, const std::string& text) {
  if (!ui::Unattended()) return;
  std::string line = "Sending fax to " + number + ": " + text + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

std::string PagesSent(long long sent, long long pages) {
  return std::to_string(sent) + " of " + std::to_string(pages) + " pages sent";
}

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT)",
    "CREATE TABLE IF NOT EXISTS devices(id INTEGER PRIMARY KEY, name TEXT, tsid TEXT, csid TEXT,"
    " receive_mode INTEGER, rings INTEGER, can_modify INTEGER DEFAULT 1)",
    "CREATE TABLE IF NOT EXISTS jobs(id INTEGER PRIMARY KEY, queue TEXT, status INTEGER, device_id INTEGER,"
    " number TEXT, name TEXT, file TEXT, pages INTEGER, pages_sent INTEGER DEFAULT 0,"
    " attempts INTEGER DEFAULT 0, next_attempt REAL DEFAULT 0, submitted REAL, scheduled REAL DEFAULT 0,"
    " started REAL DEFAULT 0, ended REAL DEFAULT 0, error TEXT DEFAULT '', subject TEXT DEFAULT '',"
    " priority INTEGER DEFAULT 1, sender_name TEXT DEFAULT '', sender_fax TEXT DEFAULT '',"
    " from_number TEXT DEFAULT '', props TEXT DEFAULT '', bitrate INTEGER DEFAULT 0,"
    " remote_id TEXT DEFAULT '', duration REAL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS sent(id INTEGER PRIMARY KEY, job_id INTEGER UNIQUE, path TEXT, number TEXT,"
    " name TEXT, subject TEXT, priority INTEGER, sender_name TEXT, sender_fax TEXT, tsid TEXT, csid TEXT,"
    " pages INTEGER, submitted REAL, scheduled REAL, started REAL, ended REAL, duration REAL,"
    " bitrate INTEGER, result TEXT, status INTEGER, attempts INTEGER, archive_error TEXT DEFAULT '')",
    "CREATE TABLE IF NOT EXISTS received(id INTEGER PRIMARY KEY, job_id INTEGER UNIQUE, device_id INTEGER,"
    " path TEXT, tsid TEXT, csid TEXT, pages INTEGER, started REAL, ended REAL, duration REAL,"
    " bitrate INTEGER, result TEXT, status INTEGER)",
    "CREATE TABLE IF NOT EXISTS farend(id INTEGER PRIMARY KEY, job_id INTEGER UNIQUE, number TEXT,"
    " path TEXT, pages INTEGER, complete INTEGER, caller TEXT, received REAL)",
    "CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY, time REAL, kind TEXT, job_id INTEGER,"
    " text TEXT)",
};

struct Default {
  const char* key;
  const char* value;
};
// The line's and the queue's settings; line_set changes them.
const Default kDefaults[] = {
    {"paused", "0"},          {"retries", "3"},        {"retry_interval", "60"},
    {"pace", "0"},            {"ring_seconds", "6"},   {"ring_timeout", "60"},
    {"busy_count", "0"},      {"hangup_after", "0"},   {"modems", "7"},
    {"ecm", "0"},             {"discount_start", "20"}, {"discount_end", "7"},
    {"station_id", "Brevant Fax"}, {"notify", "1"},
};

}  // namespace

std::string DefaultStateDir() {
  if (const char* s = std::getenv("BREVANT_FAXD_STATE"); s && *s) return s;
  if (::access("/var/lib/brevant", W_OK) == 0 || (::access("/var/lib", W_OK) == 0 && ::geteuid() == 0))
    return "/var/lib/brevant/faxd";
  std::string base;
  if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) base = x;
  else if (const char* h = std::getenv("HOME"); h && *h) base = std::string(h) + "/.local/state";
  else base = "/tmp";
  return base + "/brevant/faxd";
}

Daemon::Daemon(DaemonOptions options) : opt_(std::move(options)) {}

Daemon::~Daemon() {
  RequestStop();
  if (worker_.joinable()) worker_.join();
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    ::unlink(opt_.socketPath.c_str());
  }
  for (int fd : wakePipe_)
    if (fd >= 0) ::close(fd);
  db_.Close();
  if (lockFd_ >= 0) ::close(lockFd_);
}

bool Daemon::Start(std::string* why) {
  std::error_code ec;
  for (const char* sub : {"", "/queue", "/farend", "/incoming"}) {
    fs::create_directories(opt_.stateDir + sub, ec);
    if (ec) {
      *why = "cannot create the state folder " + opt_.stateDir + sub + ": " + ec.message();
      return false;
    }
  }
  // One daemon per state: the lock is released by the kernel when the
  // holder dies, so a killed daemon never blocks its successor.
  lockFd_ = ::open((opt_.stateDir + "/faxd.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    *why = "another brevant-faxd already runs with the state folder " + opt_.stateDir;
    return false;
  }
  std::string probeError;
  int probe = faxsvc::ConnectSocket(opt_.socketPath, &probeError);
  if (probe >= 0) {
    ::close(probe);
    *why = "another brevant-faxd already listens on " + opt_.socketPath;
    return false;
  }
  if (!db_.Open(opt_.stateDir + "/faxd.db", why)) return false;
  try {
    CreateSchema();
    RecoverAfterRestart();
  } catch (const std::exception& e) {
    *why = e.what();
    return false;
  }
  fs::create_directories(fs::path(opt_.socketPath).parent_path(), ec);
  ::unlink(opt_.socketPath.c_str());  // a socket file left by a killed daemon
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (opt_.socketPath.size() >= sizeof addr.sun_path) {
    *why = "socket path too long: " + opt_.socketPath;
    return false;
  }
  std::memcpy(addr.sun_path, opt_.socketPath.c_str(), opt_.socketPath.size() + 1);
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 64) != 0) {
    *why = "cannot listen on " + opt_.socketPath + ": " + std::strerror(errno);
    return false;
  }
  // Every local user may submit faxes, as with the system's fax service.
  ::chmod(opt_.socketPath.c_str(), 0666);
  if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  worker_ = std::thread([this] { WorkerLoop(); });
  std::lock_guard lk(mu_);
  Event("start", 0, "brevant-faxd started (state " + opt_.stateDir + ")");
  return true;
}

void Daemon::RequestStop() {
  stopping_ = true;
  cancelCall_ = true;
  if (wakePipe_[1] >= 0) {
    char c = 1;
    [[maybe_unused]] ssize_t w = ::write(wakePipe_[1], &c, 1);
  }
}

void Daemon::Serve() {
  while (!stopping_) {
    pollfd pfd[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    int pr = ::poll(pfd, 2, 1000);
    if (pr < 0 && errno != EINTR) break;
    if (pr <= 0 || !(pfd[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::unique_lock lk(clientsMu_);
    if (clients_.size() >= kMaxClients) {
      lk.unlock();
      faxsvc::WriteFrame(fd, Error(7, "too many clients of the fax service").Encode());
      ::close(fd);
      continue;
    }
    clients_.insert(fd);
    lk.unlock();
    std::thread([this, fd] { ClientLoop(fd); }).detach();
  }
  // Wake the line worker and every client, then wait for them to finish.
  stopping_ = true;
  cancelCall_ = true;
  cv_.notify_all();
  {
    std::unique_lock lk(clientsMu_);
    for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
    clientsCv_.wait_for(lk, std::chrono::seconds(10), [this] { return clients_.empty(); });
  }
  if (worker_.joinable()) worker_.join();
  std::lock_guard lk(mu_);
  try {
    Event("stop", 0, "brevant-faxd stopped");
  } catch (...) {
  }
}

void Daemon::ClientLoop(int fd) {
  for (;;) {
    std::string body;
    faxsvc::FrameResult r = faxsvc::ReadFrame(fd, &body, -1);
    if (r == faxsvc::FrameResult::Oversized) {
      faxsvc::WriteFrame(fd, Error(7, "message too large for the fax service (at most " +
                                          std::to_string(faxsvc::kMaxBody) + " bytes)")
                                 .Encode());
      break;
    }
    if (r == faxsvc::FrameResult::Truncated) {
      faxsvc::WriteFrame(fd, Error(5, "truncated message").Encode());
      break;
    }
    if (r != faxsvc::FrameResult::Ok) break;
    Message req;
    Message reply = Message::Decode(body, &req) ? Handle(req) : Error(5, "malformed message");
    if (!faxsvc::WriteFrame(fd, reply.Encode())) break;
  }
  ::close(fd);
  std::lock_guard lk(clientsMu_);
  clients_.erase(fd);
  clientsCv_.notify_all();
}

// State ----------------------------------------------------------------------

void Daemon::CreateSchema() {
  for (const char* sql : kSchema) db_.Exec(sql);
  for (const Default& d : kDefaults)
    db_.Exec("INSERT OR IGNORE INTO settings(key, value) VALUES(?, ?)", {std::string(d.key), std::string(d.value)});
  if (db_.QueryInt("SELECT COUNT(*) FROM devices") == 0) {
    std::string station = Setting("station_id");
    db_.Exec("INSERT INTO devices(id, name, tsid, csid, receive_mode, rings) VALUES(1, ?, ?, ?, ?, 4)",
             {std::string("Brevant Loopback Modem"), station, station,
              static_cast<long long>(faxsvc::kReceiveManual)});
  }
}

void Daemon::RecoverAfterRestart() {
  // A transmission cut off by the daemon's end was not confirmed by the far
  // end's store, so it is sent again; its interrupted attempt is not counted.
  auto cut = db_.Query("SELECT id FROM jobs WHERE queue='out' AND status=?",
                       {static_cast<long long>(faxsvc::kJobInProgress)});
  for (auto& row : cut) {
    long long id = row.GetInt("id");
    db_.Exec("UPDATE jobs SET status=?, attempts=MAX(attempts-1,0), next_attempt=0, pages_sent=0,"
             " error='Transmission interrupted when the fax service stopped; sending again' WHERE id=?",
             {static_cast<long long>(faxsvc::kJobPending), id});
    Event("recovered", id, "transmission interrupted by the end of the fax service; queued again");
  }
  // A cancel that was under way when the daemon ended is complete now.
  db_.Exec("UPDATE jobs SET status=?, error='Cancelled during transmission' WHERE status=?",
           {static_cast<long long>(faxsvc::kJobCanceled), static_cast<long long>(faxsvc::kJobCanceling)});
  // The event history keeps its newest 10,000 entries.
  db_.Exec("DELETE FROM events WHERE id <= (SELECT MAX(id) FROM events) - 10000");
  // An incoming call does not survive: the caller has hung up.
  auto calls = db_.Query("SELECT id FROM jobs WHERE queue='in' AND status IN (?, ?)",
                         {static_cast<long long>(faxsvc::kJobPending), static_cast<long long>(faxsvc::kJobInProgress)});
  for (auto& row : calls) {
    db_.Exec("UPDATE jobs SET status=?, error='The call ended when the fax service stopped' WHERE id=?",
             {static_cast<long long>(faxsvc::kJobFailed), row.GetInt("id")});
    Event("failed", row.GetInt("id"), "incoming call lost when the fax service stopped");
  }
  std::error_code ec;
  for (const char* sub : {"/farend", "/incoming"})
    for (auto& e : fs::directory_iterator(opt_.stateDir + sub, ec))
      if (e.path().filename().string().rfind("rx-", 0) == 0) fs::remove(e.path(), ec);
}

std::string Daemon::Setting(const std::string& key) {
  auto rows = db_.Query("SELECT value FROM settings WHERE key=?", {key});
  return rows.empty() ? "" : rows[0].Get("value");
}

double Daemon::SettingReal(const std::string& key) { return std::atof(Setting(key).c_str()); }

void Daemon::PutSetting(const std::string& key, const std::string& value) {
  db_.Exec("INSERT OR REPLACE INTO settings(key, value) VALUES(?, ?)", {key, value});
}

void Daemon::Event(const std::string& kind, long long jobId, const std::string& text) {
  db_.Exec("INSERT INTO events(time, kind, job_id, text) VALUES(?, ?, ?, ?)", {Now(), kind, jobId, text});
}

Message Daemon::JobRow(long long id) {
  auto rows = db_.Query("SELECT * FROM jobs WHERE id=?", {id});
  if (rows.empty()) throw Refused(5, "no fax job " + std::to_string(id));
  Message& m = rows[0];
  int status = static_cast<int>(m.GetInt("status"));
  m.Set("ops", OperationsFor(status, m.Get("queue") == "in"));
  m.Set("queue_status", faxsvc::QueueStatusText(status));
  return m;
}

std::string Daemon::StoreFolder() {
  std::string dir = ReadRegistryString("Software\\Microsoft\\Fax\\Setup\\Original Setup Data", "Store Directory");
  if (dir.empty()) dir = opt_.stateDir + "/Received";
  fs::create_directories(dir);
  return dir;
}

std::string Daemon::ArchiveFolder() {
  std::string dir = ReadRegistryString("Software\\Microsoft\\Fax", "ArchiveDirectory");
  if (dir.empty()) dir = opt_.stateDir + "/Sent";
  fs::create_directories(dir);
  return dir;
}

std::string Daemon::NewQueueFile(const std::string& prefix) {
  std::string tmpl = opt_.stateDir + "/queue/" + prefix + "XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = ::mkstemp(buf.data());
  if (fd < 0) throw Refused(75, "cannot create a file in " + opt_.stateDir + "/queue: " + std::strerror(errno));
  ::close(fd);
  std::string path(buf.data());
  fs::rename(path, path + ".tif");
  return path + ".tif";
}

void Daemon::Notify(const std::string& title, const std::string& text) {
  if (Setting("notify") != "1") return;
  // A desktop notification when the desktop's notifier is installed; the
  // monitor shows the failure in any case. Spawn reaps the child itself.
  platform::Spawn({"notify-send", "--app-name=Brevant Fax", title, text}, "", false);
}

// Requests ---------------------------------------------------------------------

Message Daemon::Handle(const Message& req) {
  const std::string op = req.Get("op");
  try {
    if (op == "hello") {
      char host[256] = {};
      ::gethostname(host, sizeof host - 1);
      return Ok().Set("server", host).Set("version", "1").Set("state", opt_.stateDir);
    }
    if (op == "submit") return Submit(req);
    if (op == "call") return PlaceCall(req);
    std::unique_lock lk(mu_);
    if (op == "devices") {
      Message r = Ok();
      auto rows = db_.Query("SELECT * FROM devices ORDER BY id");
      for (std::size_t i = 0; i < rows.size(); ++i) {
        auto ringing = db_.QueryInt("SELECT COUNT(*) FROM jobs WHERE queue='in' AND status=? AND device_id=?",
                                    {static_cast<long long>(faxsvc::kJobPending), rows[i].GetInt("id")});
        rows[i].Set("ringing", ringing);
        r.AddItem(static_cast<int>(i + 1), rows[i]);
      }
      return r.Set("count", static_cast<long long>(rows.size()));
    }
    if (op == "device_set") return SetDevice(req);
    if (op == "answer") return Answer(req);
    if (op == "jobs") return ListJobs(req);
    if (op == "job") {
      Message r = Ok().Set("count", 1);
      r.AddItem(1, JobRow(req.GetInt("id")));
      return r;
    }
    if (op == "job_op") return JobOp(req);
    if (op == "resend") return Resend(req);
    if (op == "queue_get") return Ok().Set("paused", Setting("paused"));
    if (op == "queue_set") {
      std::string p = req.Get("paused") == "1" ? "1" : "0";
      PutSetting("paused", p);
      Event(p == "1" ? "paused" : "resumed", 0, p == "1" ? "outgoing queue paused" : "outgoing queue resumed");
      cv_.notify_all();
      return Ok().Set("paused", p);
    }
    if (op == "archive" || op == "farend" || op == "events") {
      std::string sql;
      std::vector<DbValue> args;
      if (op == "archive")
        sql = req.Get("folder") == "in" ? "SELECT * FROM received ORDER BY id" : "SELECT * FROM sent ORDER BY id";
      else if (op == "farend")
        sql = "SELECT * FROM farend ORDER BY id";
      else {
        sql = "SELECT * FROM events WHERE id>? ORDER BY id LIMIT 500";
        args.push_back(req.GetInt("since"));
      }
      auto rows = db_.Query(sql, args);
      Message r = Ok().Set("count", static_cast<long long>(rows.size()));
      for (std::size_t i = 0; i < rows.size(); ++i) r.AddItem(static_cast<int>(i + 1), rows[i]);
      return r;
    }
    if (op == "folders") return Ok().Set("store", StoreFolder()).Set("archive", ArchiveFolder()).Set("state", opt_.stateDir);
    if (op == "line_get") {
      Message r = Ok();
      for (auto& row : db_.Query("SELECT key, value FROM settings ORDER BY key")) r.Set(row.Get("key"), row.Get("value"));
      return r;
    }
    if (op == "line_set") return SetLine(req);
    if (op == "shutdown") {
      RequestStop();
      return Ok();
    }
    return Error(438, "unknown request \"" + op + "\"");
  } catch (const Refused& e) {
    return Error(e.Number(), e.what());
  } catch (const fs::filesystem_error& e) {
    return Error(75, e.what());
  } catch (const std::exception& e) {
    return Error(5, e.what());
  }
}

Message Daemon::Submit(const Message& req) {
  const std::string number = req.Get("number");
  CheckNumber(number);
  const std::string file = req.Get("file");
  if (file.empty()) throw Refused(53, "no document to send");
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) throw Refused(53, "File not found: " + file);
  // The queue keeps its own copy, so the sender may remove its spool files
  // at once; a text document (the blank stand-in of a fax that is only its
  // cover page) becomes one white page.
  std::string why;
  int pageCount = 0;
  std::string queued = NewQueueFile("out-");
  // (".txt" alone is such a document: a name that is all extension.)
  std::string lower = file;
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".txt") == 0) {
    pageCount = 1;
    if (!faxsvc::WriteFaxTiff(queued, std::vector<faxsvc::FaxPage>{faxsvc::BlankPage()}, "", &why)) {
      fs::remove(queued, ec);
      throw Refused(75, "cannot queue the fax: " + why);
    }
  } else {
    if (!faxsvc::CheckFaxTiff(file, &pageCount, &why)) {
      fs::remove(queued, ec);
      throw Refused(13, file + " is not a fax document: " + why);
    }
    fs::copy_file(file, queued, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      fs::remove(queued, ec);
      throw Refused(75, "cannot queue the fax: " + ec.message());
    }
  }
  // A fax that asks for the service's cover page gets it in front of the
  // document; without Ghostscript it goes without one, and says so.
  std::string coverNote;
  if (!req.Get("cover").empty()) {
    std::string cover = NewQueueFile("cover-");
    std::vector<faxsvc::FaxPage> coverPages, docPages;
    if (MakeCoverPage(req, pageCount, cover, &why) && faxsvc::ReadFaxPages(cover, &coverPages, &why) &&
        faxsvc::ReadFaxPages(queued, &docPages, &why)) {
      coverPages.insert(coverPages.end(), docPages.begin(), docPages.end());
      if (faxsvc::WriteFaxTiff(queued, coverPages, "", &why)) pageCount = static_cast<int>(coverPages.size());
      else coverNote = why;
    } else {
      coverNote = why;
    }
    fs::remove(cover, ec);
  }
  // Everything the document carries besides the recipient goes with the job
  // to the sent archive.
  Message props;
  for (auto& [k, v] : req.Fields())
    if (k != "op" && k != "file") props.Set(k, v);
  std::unique_lock lk(mu_);
  double now = Now();
  double due = 0;
  if (req.GetInt("discount") == 1) {
    // Discount rates run from discount_start to discount_end (local hours).
    int start = static_cast<int>(SettingReal("discount_start")), end = static_cast<int>(SettingReal("discount_end"));
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
    db_.Exec("INSERT INTO jobs(queue, status, device_id, number, name, file, pages, submitted, scheduled,"
             " next_attempt, subject, priority, sender_name, sender_fax, props)"
             " VALUES('out', ?, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
             {static_cast<long long>(faxsvc::kJobPending), number, req.Get("name"), queued,
              static_cast<long long>(pageCount), now, due, due,
              req.Get("display_name").empty() ? req.Get("subject") : req.Get("display_name"),
              req.GetInt("priority", 1), req.Get("sender_name"), req.Get("sender_fax"), props.Encode()});
  } catch (...) {
    fs::remove(queued, ec);
    throw;
  }
  long long id = db_.LastInsertId();
  Event("submitted", id, "fax to " + number + " (" + req.Get("name") + "), " + std::to_string(pageCount) + " page(s)");
  if (!coverNote.empty()) Event("error", id, "sent without its cover page: " + coverNote);
  cv_.notify_all();
  return Ok().Set("id", id).Set("pages", static_cast<long long>(pageCount));
}

Message Daemon::PlaceCall(const Message& req) {
  const std::string file = req.Get("file");
  int pageCount = 0;
  std::string why;
  if (!faxsvc::CheckFaxTiff(file, &pageCount, &why)) throw Refused(13, file + " is not a fax document: " + why);
  std::string from = req.Get("from").empty() ? "Unknown" : req.Get("from");
  std::string copy = NewQueueFile("call-");
  fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
  std::unique_lock lk(mu_);
  long long device = req.GetInt("device", 1);
  if (db_.QueryInt("SELECT COUNT(*) FROM devices WHERE id=?", {device}) == 0) throw Refused(5, "no fax device " + std::to_string(device));
  db_.Exec("INSERT INTO jobs(queue, status, device_id, number, from_number, file, pages, submitted, started)"
           " VALUES('in', ?, ?, '', ?, ?, ?, ?, ?)",
           {static_cast<long long>(faxsvc::kJobPending), device, from, copy, static_cast<long long>(pageCount),
            Now(), Now()});
  long long id = db_.LastInsertId();
  Event("ringing", id, "incoming call from " + from + " ringing");
  cv_.notify_all();
  return Ok().Set("id", id);
}

Message Daemon::ListJobs(const Message& req) {
  std::string sql = "SELECT id FROM jobs WHERE queue=?";
  if (req.Get("all") != "1") {
    sql += req.Get("queue") == "in" ? " AND status IN (1, 2)" : " AND status NOT IN (256, 512)";
  }
  sql += " ORDER BY id";
  auto ids = db_.Query(sql, {req.Get("queue") == "in" ? std::string("in") : std::string("out")});
  Message r = Ok().Set("count", static_cast<long long>(ids.size()));
  for (std::size_t i = 0; i < ids.size(); ++i) r.AddItem(static_cast<int>(i + 1), JobRow(ids[i].GetInt("id")));
  return r;
}

Message Daemon::JobOp(const Message& req) {
  using namespace faxsvc;
  long long id = req.GetInt("id");
  Message job = JobRow(id);
  int status = static_cast<int>(job.GetInt("status"));
  bool incoming = job.Get("queue") == "in";
  const std::string action = req.Get("action");
  auto set = [&](int s, const std::string& error) {
    db_.Exec("UPDATE jobs SET status=?, error=?, next_attempt=? WHERE id=?",
             {static_cast<long long>(s), error, s == kJobPending ? Now() : job.GetReal("next_attempt"), id});
  };
  int ops = OperationsFor(status, incoming);
  if (action == "cancel") {
    if (!(ops & kOpDelete)) throw Refused(5, "The fax job cannot be cancelled in its state (" + QueueStatusText(status) + ")");
    if (status == kJobInProgress && currentJob_ == id) {
      currentAction_ = "cancel";
      cancelCall_ = true;
      db_.Exec("UPDATE jobs SET status=? WHERE id=?", {static_cast<long long>(kJobCanceling), id});
    } else {
      set(kJobCanceled, incoming ? "Call rejected" : "Cancelled by the user");
    }
    Event("cancelled", id, incoming ? "incoming call cancelled" : "fax to " + job.Get("number") + " cancelled");
  } else if (action == "pause") {
    if (!(ops & kOpPause)) throw Refused(5, "The fax job cannot be paused in its state (" + QueueStatusText(status) + ")");
    if (status == kJobInProgress && currentJob_ == id) {
      currentAction_ = "pause";
      cancelCall_ = true;
    } else {
      set(kJobPaused, job.Get("error"));
    }
    Event("paused", id, "fax to " + job.Get("number") + " paused");
  } else if (action == "resume") {
    if (!(ops & kOpResume)) throw Refused(5, "The fax job is not paused");
    set(kJobPending, "");
    Event("resumed", id, "fax to " + job.Get("number") + " resumed");
  } else if (action == "restart") {
    if (!(ops & kOpRestart)) throw Refused(5, "The fax job cannot be sent again in its state (" + QueueStatusText(status) + ")");
    if (status == kJobCompleted) return Resend(Message("resend").Set("job", id));
    db_.Exec("UPDATE jobs SET status=?, attempts=0, error='', pages_sent=0, next_attempt=0 WHERE id=?",
             {static_cast<long long>(kJobPending), id});
    Event("restarted", id, "fax to " + job.Get("number") + " queued again");
  } else {
    throw Refused(5, "unknown job action \"" + action + "\"");
  }
  cv_.notify_all();
  Message r = Ok().Set("count", 1);
  r.AddItem(1, JobRow(id));
  return r;
}

Message Daemon::Resend(const Message& req) {
  // A sent fax (by its archive id, or by the job that sent it) goes out
  // again as a new job with the same document and recipient.
  auto rows = req.Has("job") ? db_.Query("SELECT * FROM sent WHERE job_id=?", {req.GetInt("job")})
                             : db_.Query("SELECT * FROM sent WHERE id=?", {req.GetInt("id")});
  if (rows.empty()) throw Refused(5, "no sent fax to send again");
  Message& s = rows[0];
  std::string source = s.Get("path");
  std::error_code ec;
  auto old = db_.Query("SELECT props, file FROM jobs WHERE id=?", {s.GetInt("job_id")});
  // A fax that could not be archived still has its queue copy.
  if ((source.empty() || !fs::exists(source, ec)) && !old.empty()) source = old[0].Get("file");
  if (source.empty() || !fs::exists(source, ec)) throw Refused(53, "the sent fax's document is missing: " + source);
  std::string queued = NewQueueFile("out-");
  fs::copy_file(source, queued, fs::copy_options::overwrite_existing);
  db_.Exec("INSERT INTO jobs(queue, status, device_id, number, name, file, pages, submitted, subject, priority,"
           " sender_name, sender_fax, props) VALUES('out', ?, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
           {static_cast<long long>(faxsvc::kJobPending), s.Get("number"), s.Get("name"), queued, s.GetInt("pages"),
            Now(), s.Get("subject"), s.GetInt("priority", 1), s.Get("sender_name"), s.Get("sender_fax"),
            old.empty() ? std::string() : old[0].Get("props")});
  long long id = db_.LastInsertId();
  Event("submitted", id, "fax to " + s.Get("number") + " sent again");
  cv_.notify_all();
  Message r = Ok().Set("id", id).Set("count", 1);
  r.AddItem(1, JobRow(id));
  return r;
}

Message Daemon::SetDevice(const Message& req) {
  long long id = req.GetInt("id", 1);
  if (db_.QueryInt("SELECT COUNT(*) FROM devices WHERE id=?", {id}) == 0) throw Refused(5, "no fax device " + std::to_string(id));
  if (req.Has("receive_mode")) {
    long long mode = req.GetInt("receive_mode", -1);
    if (mode < 0 || mode > 2) throw Refused(5, "ReceiveMode must be 0, 1 or 2");
    db_.Exec("UPDATE devices SET receive_mode=? WHERE id=?", {mode, id});
  }
  if (req.Has("rings")) {
    long long rings = req.GetInt("rings", -1);
    if (rings < 0 || rings > 99) throw Refused(5, "rings must be 0 to 99");
    db_.Exec("UPDATE devices SET rings=? WHERE id=?", {rings, id});
  }
  for (const char* k : {"tsid", "csid"})
    if (req.Has(k)) db_.Exec(std::string("UPDATE devices SET ") + k + "=? WHERE id=?", {req.Get(k).substr(0, 20), id});
  auto row = db_.Query("SELECT * FROM devices WHERE id=?", {id});
  Event("device", 0, "device " + std::to_string(id) + ": receive mode " + row[0].Get("receive_mode") + ", " +
                         row[0].Get("rings") + " rings");
  cv_.notify_all();
  Message r = Ok().Set("count", 1);
  r.AddItem(1, row[0]);
  return r;
}

Message Daemon::Answer(const Message& req) {
  long long device = req.GetInt("id", 1);
  auto rows = db_.Query("SELECT id FROM jobs WHERE queue='in' AND status=? AND device_id=? ORDER BY id LIMIT 1",
                        {static_cast<long long>(faxsvc::kJobPending), device});
  if (rows.empty()) throw Refused(5, "No call is ringing on the fax device");
  long long id = rows[0].GetInt("id");
  db_.Exec("UPDATE jobs SET status=?, error='' WHERE id=?", {static_cast<long long>(faxsvc::kJobInProgress), id});
  Event("answered", id, "incoming call answered");
  cv_.notify_all();
  return Ok().Set("id", id);
}

Message Daemon::SetLine(const Message& req) {
  for (auto& [k, v] : req.Fields()) {
    if (k == "op") continue;
    bool known = false;
    for (const Default& d : kDefaults) known |= k == d.key;
    if (!known) throw Refused(5, "unknown line setting \"" + k + "\"");
    PutSetting(k, v);
  }
  cv_.notify_all();
  return Ok();
}

// The line ---------------------------------------------------------------------

void Daemon::WorkerLoop() {
  std::unique_lock lk(mu_);
  while (!stopping_) {
    double now = Now();
    double wake = now + 1.0;
    try {
      if (RunIncoming(lk, now, &wake)) continue;
      if (RunOutgoing(lk, now, &wake)) continue;
    } catch (const std::exception& e) {
      // A failing database must not end the service; the next round tries
      // again.
      try {
        Event("error", 0, e.what());
      } catch (...) {
      }
    }
    if (stopping_) break;
    double waitFor = std::max(0.01, std::min(wake - Now(), 1.0));
    cv_.wait_for(lk, std::chrono::duration<double>(waitFor));
  }
}

bool Daemon::RunIncoming(std::unique_lock<std::mutex>& lk, double now, double* wake) {
  using namespace faxsvc;
  long long ringSeconds = static_cast<long long>(SettingReal("ring_seconds"));
  double ringTimeout = SettingReal("ring_timeout");
  auto calls = db_.Query(
      "SELECT j.id, j.status, j.started, d.receive_mode, d.rings FROM jobs j JOIN devices d ON d.id=j.device_id"
      " WHERE j.queue='in' AND j.status IN (1, 2) ORDER BY j.id");
  long long answer = 0;
  for (auto& c : calls) {
    long long id = c.GetInt("id");
    if (c.GetInt("status") == kJobInProgress) {
      answer = id;
      break;
    }
    double started = c.GetReal("started");
    if (c.GetInt("receive_mode") == kReceiveAuto) {
      double at = started + static_cast<double>(c.GetInt("rings") * ringSeconds);
      if (now >= at) {
        db_.Exec("UPDATE jobs SET status=? WHERE id=?", {static_cast<long long>(kJobInProgress), id});
        Event("answered", id, "incoming call answered after " + c.Get("rings") + " rings");
        answer = id;
        break;
      }
      *wake = std::min(*wake, at);
    }
    if (now >= started + ringTimeout) {
      db_.Exec("UPDATE jobs SET status=?, error='Not answered', ended=? WHERE id=?",
               {static_cast<long long>(kJobFailed), now, id});
      Event("missed", id, "incoming call not answered");
    } else {
      *wake = std::min(*wake, started + ringTimeout);
    }
  }
  if (!answer) return false;

  Message job = JobRow(answer);
  auto dev = db_.Query("SELECT * FROM devices WHERE id=?", {job.GetInt("device_id")});
  LineOptions o;
  o.callerIdent = job.Get("from_number");
  o.answerIdent = dev.empty() ? "" : dev[0].Get("csid");
  o.modems = static_cast<int>(SettingReal("modems"));
  o.ecm = Setting("ecm") == "1";
  o.pace = SettingReal("pace");
  o.cancel = &cancelCall_;
  std::string rx = opt_.stateDir + "/incoming/rx-" + std::to_string(answer) + ".tif";
  currentJob_ = answer;
  currentAction_ = "cancel";
  cancelCall_ = stopping_.load();
  double started = Now();
  db_.Exec("UPDATE jobs SET started=? WHERE id=?", {started, answer});
  lk.unlock();
  CallResult r = RunCall(job.Get("file"), rx, o);
  lk.lock();
  currentJob_ = 0;
  double ended = Now();
  std::string stored, why;
  if (r.pagesReceived > 0) {
    // The store gets the fax with the station ids in its description, so a
    // reader of the file alone still knows who sent it.
    std::string description = "TSID=" + r.callerIdent + "\nCSID=" + o.answerIdent + "\nTime=" + IsoTime(ended);
    try {
      std::string target = StoreFolder() + "/" + Stamp(ended) + "-" + std::to_string(answer) + ".tif";
      std::error_code cec;
      fs::copy_file(rx, target, fs::copy_options::overwrite_existing, cec);
      if (cec) why = cec.message();
      else if (StampDescription(target, description, &why)) stored = target;
      if (stored.empty()) fs::remove(target, cec);
    } catch (const std::exception& e) {
      why = e.what();
    }
  }
  std::error_code ec;
  fs::remove(rx, ec);
  int status = r.ok ? kJobCompleted : (r.canceled && !stopping_ ? kJobCanceled : kJobFailed);
  std::string result = r.ok ? "OK" : r.result;
  if (r.pagesReceived > 0 && stored.empty()) result = "received but not stored: " + why;
  db_.Transaction([&] {
    if (!stored.empty())
      db_.Exec("INSERT OR REPLACE INTO received(job_id, device_id, path, tsid, csid, pages, started, ended, duration,"
               " bitrate, result, status) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
               {answer, job.GetInt("device_id"), stored, r.callerIdent, o.answerIdent,
                static_cast<long long>(r.pagesReceived), started, ended, r.audioSeconds,
                static_cast<long long>(r.bitRate), result, static_cast<long long>(status)});
    db_.Exec("UPDATE jobs SET status=?, error=?, ended=?, pages_sent=?, bitrate=?, remote_id=?, duration=? WHERE id=?",
             {static_cast<long long>(status), r.ok ? std::string() : result, ended,
              static_cast<long long>(r.pagesReceived), static_cast<long long>(r.bitRate), r.callerIdent,
              r.audioSeconds, answer});
    Event(r.ok ? "received" : "failed", answer,
          "fax from " + r.callerIdent + ": " + std::to_string(r.pagesReceived) + " page(s), " + result);
  });
  fs::remove(job.Get("file"), ec);
  if (!r.ok && !r.canceled) Notify("Fax reception failed", "Fax from " + r.callerIdent + ": " + result);
  return true;
}

bool Daemon::RunOutgoing(std::unique_lock<std::mutex>& lk, double now, double* wake) {
  using namespace faxsvc;
  if (Setting("paused") == "1") return false;
  auto due = db_.Query("SELECT id, next_attempt FROM jobs WHERE queue='out' AND status IN (1, 64)"
                       " ORDER BY priority DESC, id LIMIT 50");
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

  Message job = JobRow(id);
  auto dev = db_.Query("SELECT * FROM devices WHERE id=?", {job.GetInt("device_id")});
  LineOptions o;
  o.callerIdent = dev.empty() ? "" : dev[0].Get("tsid");
  o.answerIdent = job.Get("number");
  o.modems = static_cast<int>(SettingReal("modems"));
  o.ecm = Setting("ecm") == "1";
  o.pace = SettingReal("pace");
  o.hangupAfterPages = static_cast<int>(SettingReal("hangup_after"));
  o.cancel = &cancelCall_;
  const std::string number = job.Get("number");
  const long long pages = job.GetInt("pages");
  o.onPage = [this, id, number, pages](int sent) {
    {
      std::lock_guard g(mu_);
      db_.Exec("UPDATE jobs SET pages_sent=? WHERE id=?", {static_cast<long long>(sent), id});
    }
    if (sent < pages)
      TransmissionLine(number, "page " + std::to_string(sent + 1) + " of " + std::to_string(pages));
  };
  long long busy = static_cast<long long>(SettingReal("busy_count"));
  long long attempts = job.GetInt("attempts") + 1;
  double started = Now();
  db_.Exec("UPDATE jobs SET status=?, attempts=?, started=?, pages_sent=0 WHERE id=?",
           {static_cast<long long>(kJobInProgress), attempts, started, id});
  Event("sending", id, "calling " + job.Get("number") + " (attempt " + std::to_string(attempts) + ")");
  std::string rx = opt_.stateDir + "/farend/rx-" + std::to_string(id) + ".tif";
  CallResult r;
  if (busy > 0) {
    PutSetting("busy_count", std::to_string(busy - 1));
    r.result = "The line is busy";
  } else {
    currentJob_ = id;
    currentAction_.clear();
    cancelCall_ = stopping_.load();
    lk.unlock();
    TransmissionLine(number, "page 1 of " + std::to_string(pages));
    r = RunCall(job.Get("file"), rx, o);
    lk.lock();
    currentJob_ = 0;
  }
  double ended = Now();
  std::error_code ec;

  if (r.canceled) {
    fs::remove(rx, ec);
    if (currentAction_ == "pause") {
      db_.Exec("UPDATE jobs SET status=?, attempts=?, error='Paused during transmission', pages_sent=0 WHERE id=?",
               {static_cast<long long>(kJobPaused), attempts - 1, id});
      TransmissionLine(number, "Paused during transmission (" + PagesSent(r.pagesSent, pages) + ")");
    } else if (currentAction_ == "cancel") {
      db_.Exec("UPDATE jobs SET status=?, error='Cancelled during transmission', ended=? WHERE id=?",
               {static_cast<long long>(kJobCanceled), ended, id});
      TransmissionLine(number, "Cancelled during transmission (" + PagesSent(r.pagesSent, pages) + ")");
    } else {
      // The service is stopping: the job waits for the next start.
      db_.Exec("UPDATE jobs SET status=?, attempts=?, pages_sent=0,"
               " error='Transmission interrupted when the fax service stopped; sending again' WHERE id=?",
               {static_cast<long long>(kJobPending), attempts - 1, id});
      TransmissionLine(number, "Transmission interrupted when the fax service stopped; sending again");
    }
    return true;
  }

  // What the far end stored: the whole fax, or the pages before it hung up.
  std::string farFile;
  if (r.pagesReceived > 0) {
    farFile = opt_.stateDir + "/farend/job-" + std::to_string(id) + ".tif";
    fs::rename(rx, farFile, ec);
    if (ec) farFile.clear();
  }
  if (r.ok) {
    // The sent archive keeps the fax with its station ids; a failure to
    // write it (a full disk) loses nothing: the queue copy stays and the
    // report says why.
    std::string why, archived, archiveError;
    Message props;
    Message::Decode(job.Get("props"), &props);
    std::string description = "TSID=" + o.callerIdent + "\nCSID=" + r.remoteIdent + "\nRecipientName=" +
                              job.Get("name") + "\nRecipientNumber=" + job.Get("number") + "\nSenderName=" +
                              job.Get("sender_name") + "\nSubject=" + job.Get("subject") + "\nTime=" + IsoTime(ended);
    try {
      std::string target = ArchiveFolder() + "/" + Stamp(ended) + "-" + std::to_string(id) + ".tif";
      std::error_code cec;
      fs::copy_file(job.Get("file"), target, fs::copy_options::overwrite_existing, cec);
      if (cec) why = "cannot write " + target + ": " + cec.message();
      if (!cec && StampDescription(target, description, &why)) archived = target;
      else {
        archiveError = why;
        fs::remove(target, cec);
      }
    } catch (const std::exception& e) {
      archiveError = e.what();
    }
    db_.Transaction([&] {
      db_.Exec("INSERT OR REPLACE INTO farend(job_id, number, path, pages, complete, caller, received)"
               " VALUES(?, ?, ?, ?, 1, ?, ?)",
               {id, job.Get("number"), farFile, static_cast<long long>(r.pagesReceived), r.callerIdent, ended});
      db_.Exec("INSERT OR REPLACE INTO sent(job_id, path, number, name, subject, priority, sender_name, sender_fax,"
               " tsid, csid, pages, submitted, scheduled, started, ended, duration, bitrate, result, status,"
               " attempts, archive_error) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
               {id, archived, job.Get("number"), job.Get("name"), job.Get("subject"), job.GetInt("priority", 1),
                job.Get("sender_name"), job.Get("sender_fax"), o.callerIdent, r.remoteIdent,
                static_cast<long long>(r.pagesSent), job.GetReal("submitted"), job.GetReal("scheduled"), started,
                ended, r.audioSeconds, static_cast<long long>(r.bitRate), std::string("OK"),
                static_cast<long long>(kJobCompleted), attempts, archiveError});
      db_.Exec("UPDATE jobs SET status=?, error=?, ended=?, pages_sent=?, bitrate=?, remote_id=?, duration=? WHERE id=?",
               {static_cast<long long>(kJobCompleted), archiveError.empty() ? std::string() : "not archived: " + archiveError,
                ended, static_cast<long long>(r.pagesSent), static_cast<long long>(r.bitRate), r.remoteIdent,
                r.audioSeconds, id});
      Event("sent", id, "fax to " + job.Get("number") + ": " + std::to_string(r.pagesSent) + " page(s) at " +
                            std::to_string(r.bitRate) + " bit/s");
      if (!archiveError.empty()) Event("error", id, "fax sent but not archived: " + archiveError);
    });
    TransmissionLine(number, PagesSent(r.pagesSent, pages));
    if (!archived.empty()) fs::remove(job.Get("file"), ec);
    else Notify("Fax not archived", "Fax to " + job.Get("number") + " was sent but not archived: " + archiveError);
    return true;
  }

  long long retries = static_cast<long long>(SettingReal("retries"));
  bool giveUp = attempts > retries;
  int status = giveUp ? kJobRetriesExceeded : kJobRetrying;
  double next = ended + SettingReal("retry_interval");
  db_.Transaction([&] {
    if (!farFile.empty())
      db_.Exec("INSERT OR REPLACE INTO farend(job_id, number, path, pages, complete, caller, received)"
               " VALUES(?, ?, ?, ?, 0, ?, ?)",
               {id, job.Get("number"), farFile, static_cast<long long>(r.pagesReceived), r.callerIdent, ended});
    db_.Exec("UPDATE jobs SET status=?, error=?, next_attempt=?, ended=?, bitrate=?, remote_id=?, duration=? WHERE id=?",
             {static_cast<long long>(status), r.result, next, ended, static_cast<long long>(r.bitRate), r.remoteIdent,
              r.audioSeconds, id});
    Event(giveUp ? "failed" : "retrying", id,
          "fax to " + job.Get("number") + ": " + r.result +
              (giveUp ? " (no attempts left)" : " (attempt " + std::to_string(attempts) + ", trying again)"));
  });
  TransmissionLine(number,
                   r.result + " (" + PagesSent(r.pagesSent, pages) + (giveUp ? ")" : ", trying again)"));
  if (giveUp) Notify("Fax failed", "Fax to " + job.Get("number") + " failed: " + r.result);
  return true;
}

}  // namespace brevant::faxd
