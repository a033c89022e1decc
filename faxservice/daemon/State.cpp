#include "faxservice/daemon/State.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "faxservice/protocol/Service.h"
#include "platform/fs/Files.h"

namespace brevant::faxd {

namespace {

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT)",
    "CREATE TABLE IF NOT EXISTS devices(id INTEGER PRIMARY KEY, name TEXT, tsid TEXT, csid TEXT,"
    " receive_mode INTEGER, rings INTEGER)",
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
    // What the loopback line's far-end station received: one record per
    // call (a fax resumed after the service stopped arrives in two).
    "CREATE TABLE IF NOT EXISTS farend_calls(id INTEGER PRIMARY KEY, job_id INTEGER, number TEXT,"
    " path TEXT UNIQUE, first_page INTEGER, pages INTEGER, complete INTEGER, caller TEXT, received REAL)",
    "CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY, time REAL, kind TEXT, job_id INTEGER,"
    " text TEXT)",
};

struct Default {
  const char* key;
  const char* value;
};
// The line's and the queue's settings; line_set changes them.
const Default kDefaults[] = {
    {"paused", "0"},
    {"retries", "3"},
    {"retry_interval", "60"},
    {"pace", "0"},
    {"ring_seconds", "6"},
    {"ring_timeout", "60"},
    {"busy_count", "0"},
    {"hangup_after", "0"},
    {"modems", "7"},
    {"ecm", "0"},
    {"discount_start", "20"},
    {"discount_end", "7"},
    {"station_id", "Brevant Fax"},
    {"notify", "1"},
    // What one user may keep in the outgoing queue (faxes waiting to go,
    // and MiB of documents with their finished faxes' copies; 0: no limit),
    // and the MiB of free space the service keeps for its records.
    {"quota_jobs", "500"},
    {"quota_mb", "512"},
    {"reserve_mb", "64"},
};

constexpr long long kMiB = 1ll << 20;
// The disk is looked at this often (seconds) by KeepReserve.
constexpr double kDiskCheck = 2;

}  // namespace

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

int OperationsFor(int status, bool incoming, bool document) {
  using namespace faxsvc;
  if (incoming) return (status == kJobPending || status == kJobInProgress) ? kOpView | kOpDelete : kOpView;
  const int again = document ? kOpRestart : 0;  // a completed fax goes again from the archive
  switch (status) {
    case kJobPending:
    case kJobInProgress:
    case kJobRetrying:
      return kOpView | kOpPause | kOpDelete;
    case kJobPaused:
      return kOpView | kOpResume | kOpDelete;
    case kJobFailed:
    case kJobRetriesExceeded:
    case kJobNoLine:
      return kOpView | again | kOpDelete;
    case kJobCompleted:
      return kOpView | kOpRestart;
    case kJobCanceled:
      return kOpView | again;
    default:
      return kOpView;
  }
}

std::string Disk::Text() const {
  std::string text = std::to_string(free / kMiB) + " MiB free";
  if (Low())
    text += ", under the " + std::to_string(reserve / kMiB) + " MiB the fax service keeps for its records";
  return text;
}

bool State::Open(std::string* why) {
  // The database holds every job's fields (notes, billing codes): it is the
  // service's alone, whatever mode an older installation left it with. Its
  // write-ahead log and index files follow the process's umask (0077).
  std::string path = dir_ + "/faxd.db";
  if (platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)); fd) {
    ::fchmod(fd.get(), 0600);
  } else {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  for (const char* extra : {"-wal", "-shm"}) ::chmod((path + extra).c_str(), 0600);
  // On a full disk the reserve goes first: the database may need a little
  // room to open.
  struct stat st {};
  reserveHeld_ = ::lstat((dir_ + "/reserve").c_str(), &st) == 0;
  struct statvfs vfs {};
  if (::statvfs(dir_.c_str(), &vfs) == 0 &&
      static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize) < kReserveFile)
    ReleaseReserve();
  if (!db.Open(path, why)) return false;
  db.SetFullHandler([this] { return ReleaseReserve(); });
  try {
    CreateSchema();
  } catch (const DbFull& e) {
    // An older database that needs new columns cannot get them now.
    *why = std::string(e.what()) + " (" + DiskSpace().Text() + " in " + dir_ + ")";
    return false;
  } catch (const std::exception& e) {
    *why = e.what();
    return false;
  }
  KeepReserve();
  return true;
}

Disk State::DiskSpace() {
  Disk d;
  struct statvfs vfs {};
  if (::statvfs(dir_.c_str(), &vfs) == 0)
    d.free = static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize);
  d.reserve = std::max(0ll, static_cast<long long>(SettingReal("reserve_mb"))) * kMiB;
  return d;
}

bool State::ReleaseReserve() {
  if (!reserveHeld_) return false;
  reserveHeld_ = false;
  ::unlink((dir_ + "/reserve").c_str());
  std::fprintf(stderr,
               "brevant-faxd: the disk of %s is full; the service gave up its reserve file"
               " to keep its records\n",
               dir_.c_str());
  return true;
}

void State::Announce(bool full, const Disk& disk) {
  if (full == full_) return;
  full_ = full;
  std::string text = "the disk of " + dir_ +
                     (full ? " is full (" + disk.Text() + "): new faxes are refused until space is freed"
                           : " has room again (" + disk.Text() + "): new faxes are taken");
  std::fprintf(stderr, "brevant-faxd: %s\n", text.c_str());
  try {
    Event("disk", 0, text);
  } catch (const std::exception&) {
  }
}

void State::KeepReserve() {
  const double now = Now();
  if (now < reserveChecked_ + kDiskCheck && now >= reserveChecked_) return;
  reserveChecked_ = now;
  Disk disk = DiskSpace();
  const long long file = std::min(kReserveFile, disk.reserve);
  if (disk.Low()) disk.free += FreeFinishedCopies(-1, disk.reserve - disk.free);
  if (!reserveHeld_ && file > 0 && disk.free >= disk.reserve + file) {
    platform::UniqueFd fd(
        ::open((dir_ + "/reserve").c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd && ::posix_fallocate(fd.get(), 0, file) == 0) reserveHeld_ = true;
    fd.reset();
    if (!reserveHeld_) ::unlink((dir_ + "/reserve").c_str());
  }
  Announce(disk.Low(), disk);
}

void State::CheckRoom(long long bytes) {
  Disk disk = DiskSpace();
  disk.free -= claimedBytes;
  if (disk.free - bytes >= disk.reserve) return;
  disk.free += FreeFinishedCopies(-1, disk.reserve + bytes - disk.free);
  if (disk.free - bytes >= disk.reserve) return;
  if (disk.Low()) Announce(true, disk);
  const std::string free = std::to_string(std::max(0ll, disk.free) / kMiB);
  throw Refused(faxsvc::kErrNoRoom, "no room for the fax on the fax service's disk: " + free +
                                        " MiB free, and the service keeps " +
                                        std::to_string(disk.reserve / kMiB) +
                                        " MiB for its records (a fax administrator must free space)");
}

long long State::FreeFinishedCopies(long long owner, long long bytes) {
  using namespace faxsvc;
  long long freed = 0;
  if (bytes <= 0) return 0;
  auto rows = db.Query(
      "SELECT id, file, size FROM jobs WHERE queue='out' AND size>0 AND file<>'' AND status IN (?, ?, ?, ?)"
      " AND (?<0 OR owner_uid=?) ORDER BY id LIMIT 1000",
      {static_cast<long long>(kJobFailed), static_cast<long long>(kJobRetriesExceeded),
       static_cast<long long>(kJobCanceled), static_cast<long long>(kJobNoLine), owner, owner});
  for (const auto& row : rows) {
    if (freed >= bytes) break;
    // The file goes first: on a full disk that is the room the record needs.
    if (::unlink(row.Get("file").c_str()) == 0) freed += row.GetInt("size");
    try {
      db.Exec("UPDATE jobs SET file='', size=0, error=error || ? WHERE id=?",
              {std::string(" (its document was removed from the queue to make room:"
                           " it cannot be sent again)"),
               row.GetInt("id")});
    } catch (const std::exception&) {
    }
  }
  return freed;
}

bool State::AddColumn(const std::string& table, const std::string& column, const std::string& declaration) {
  for (auto& row : db.Query("PRAGMA table_info(" + table + ")"))
    if (row.Get("name") == column) return false;
  db.Exec("ALTER TABLE " + table + " ADD COLUMN " + column + " " + declaration);
  return true;
}

void State::CreateSchema() {
  for (const char* sql : kSchema) db.Exec(sql);
  // Columns added since the first release; a database of an older
  // installation gets them with values that give every old job and fax to
  // the administrators (owner 0).
  AddColumn("devices", "kind", "TEXT DEFAULT 'loopback'");
  AddColumn("devices", "config", "TEXT DEFAULT ''");
  AddColumn("devices", "description", "TEXT DEFAULT ''");
  AddColumn("devices", "powered_off", "INTEGER DEFAULT 0");
  AddColumn("devices", "send_enabled", "INTEGER DEFAULT 1");
  AddColumn("devices", "priority", "INTEGER DEFAULT 1");
  AddColumn("devices", "route_uid", "INTEGER DEFAULT -1");
  AddColumn("devices", "idle_mode", "INTEGER DEFAULT 2");
  AddColumn("jobs", "owner_uid", "INTEGER DEFAULT 0");
  AddColumn("jobs", "owner_name", "TEXT DEFAULT ''");
  AddColumn("jobs", "resume_from", "INTEGER DEFAULT 1");
  AddColumn("jobs", "rings_heard", "INTEGER DEFAULT -1");
  // Which pages the far end confirmed in which attempt ("attempt 1: page 1;
  // attempt 2: pages 2-3"), for a fax that took more than one call.
  AddColumn("jobs", "attempt_pages", "TEXT DEFAULT ''");
  AddColumn("sent", "owner_uid", "INTEGER DEFAULT 0");
  AddColumn("received", "owner_uid", "INTEGER DEFAULT 0");
  // Lines: what each line says about itself, and the modem that carried a
  // fax in its transmission report.
  AddColumn("devices", "line_status", "TEXT DEFAULT ''");
  AddColumn("sent", "modem", "TEXT DEFAULT ''");
  AddColumn("received", "modem", "TEXT DEFAULT ''");
  // The bytes of each job's queue copy, for the users' quotas (0 once the
  // copy is gone); an older installation's copies are measured once.
  if (AddColumn("jobs", "size", "INTEGER DEFAULT 0")) {
    for (auto& row : db.Query("SELECT id, file FROM jobs WHERE queue='out' AND file<>''")) {
      struct stat st {};
      if (::stat(row.Get("file").c_str(), &st) == 0)
        db.Exec("UPDATE jobs SET size=? WHERE id=?", {static_cast<long long>(st.st_size), row.GetInt("id")});
    }
  }
  // A new service starts with the loopback line; lines an administrator
  // removed stay removed.
  bool fresh = db.QueryInt("SELECT COUNT(*) FROM settings") == 0;
  for (const Default& d : kDefaults)
    db.Exec("INSERT OR IGNORE INTO settings(key, value) VALUES(?, ?)",
            {std::string(d.key), std::string(d.value)});
  if (fresh && db.QueryInt("SELECT COUNT(*) FROM devices") == 0) {
    std::string station = Setting("station_id");
    db.Exec(
        "INSERT INTO devices(id, name, tsid, csid, receive_mode, rings, kind, description) VALUES(1, ?, ?, "
        "?, ?, 4,"
        " 'loopback', ?)",
        {std::string("Brevant Loopback Modem"), station, station,
         static_cast<long long>(faxsvc::kReceiveManual),
         std::string(
             "Loopback line: faxes go over T.30 (SpanDSP) to a far-end station inside the fax service")});
  }
  // The highest line number given so far (a removed line's is not given
  // again).
  db.Exec(
      "INSERT OR IGNORE INTO settings(key, value) SELECT 'last_line_id', COALESCE(MAX(id), 0) FROM devices");
  RememberIdleMode(0);
}

void State::RememberIdleMode(long long id) {
  // Rows that would not change are left alone: a start writes nothing it
  // does not have to (a full disk takes no writes).
  db.Exec(
      "UPDATE devices SET idle_mode=receive_mode"
      " WHERE (?=0 OR id=?) AND receive_mode<>? AND idle_mode<>receive_mode",
      {id, id, static_cast<long long>(faxsvc::kReceiveAuto)});
}

std::string State::Setting(const std::string& key) {
  auto rows = db.Query("SELECT value FROM settings WHERE key=?", {key});
  return rows.empty() ? "" : rows[0].Get("value");
}

double State::SettingReal(const std::string& key) {
  return std::atof(Setting(key).c_str());
}

void State::PutSetting(const std::string& key, const std::string& value) {
  db.Exec("INSERT OR REPLACE INTO settings(key, value) VALUES(?, ?)", {key, value});
}

bool State::KnownSetting(const std::string& key) {
  for (const Default& d : kDefaults)
    if (key == d.key) return true;
  return false;
}

void State::Event(const std::string& kind, long long jobId, const std::string& text) {
  try {
    db.Exec("INSERT INTO events(time, kind, job_id, text) VALUES(?, ?, ?, ?)", {Now(), kind, jobId, text});
  } catch (const DbFull&) {
    // The history may miss an entry on a full disk; what it tells of (a
    // cancel, a filed fax) must not fail for it. Inside a transaction the
    // whole goes again or fails together.
    if (db.InTransaction()) throw;
    std::fprintf(stderr, "brevant-faxd: not in the event history (the disk is full): %s\n", text.c_str());
  }
}

faxsvc::Message State::JobRow(long long id) {
  auto rows = db.Query("SELECT * FROM jobs WHERE id=?", {id});
  if (rows.empty()) throw Refused(faxsvc::kErrRefused, "no fax job " + std::to_string(id));
  faxsvc::Message& m = rows[0];
  int status = static_cast<int>(m.GetInt("status"));
  m.Set("ops", OperationsFor(status, m.Get("queue") == "in", !m.Get("file").empty()));
  m.Set("queue_status", faxsvc::QueueStatusText(status));
  return m;
}

}  // namespace brevant::faxd
