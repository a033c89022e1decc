#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace fs = std::filesystem;

#include "platform/env/Environment.h"
#include "platform/fs/Files.h"
#include "platform/fs/SafeFiles.h"
#include "platform/text/Escapes.h"

namespace brevant::reg {
namespace {

thread_local std::string t_lastError;

struct Hive {
  sqlite3* db = nullptr;
  bool readOnly = false;
  std::string file;
  std::map<std::string, sqlite3_stmt*> stmts;

  ~Hive() {
    for (auto& [sql, st] : stmts) sqlite3_finalize(st);
    if (db) sqlite3_close(db);
  }
};

struct OpenHandle {
  HKEY root;
  std::string path;  // normalised, in the case the key was first created
  std::uint32_t access;
};

std::mutex g_mutex;
std::map<HKEY, std::unique_ptr<Hive>> g_hives;
std::map<HKEY, OpenHandle> g_handles;
HKEY g_nextHandle = 0x100;

bool IsRoot(HKEY k) {
  return k == kClassesRoot || k == kCurrentUser || k == kLocalMachine;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : fallback;
}

// Backslash-separated, no empty segments: "\A\\B\" names the same key as "A\B".
std::string Normalise(std::string_view path) {
  std::string out;
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = path.find('\\', i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) {
      if (!out.empty()) out += '\\';
      out.append(path.substr(i, j - i));
    }
    i = j + 1;
  }
  return out;
}

long Fail(long code, const std::string& text) {
  t_lastError = text;
  return code;
}

long FromSqlite(Hive& h, int rc) {
  std::string msg = std::string(sqlite3_errstr(rc)) + " (" + h.file + ")";
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Fail(kBusy, "registry store is locked: " + msg);
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return Fail(kBadDb, "registry store is damaged: " + msg);
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH:
      return Fail(kAccessDenied, "registry store is not writable: " + msg);
    case SQLITE_FULL:
    case SQLITE_IOERR:
      return Fail(kCantWrite, "registry store cannot be written: " + msg);
    default:
      return Fail(kBadDb, "registry store error: " + msg);
  }
}

sqlite3_stmt* Prepare(Hive& h, const char* sql, int* rc) {
  auto it = h.stmts.find(sql);
  if (it != h.stmts.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    *rc = SQLITE_OK;
    return it->second;
  }
  sqlite3_stmt* st = nullptr;
  *rc = sqlite3_prepare_v3(h.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
  if (*rc != SQLITE_OK) return nullptr;
  h.stmts.emplace(sql, st);
  return st;
}

int Exec(Hive& h, const char* sql) {
  return sqlite3_exec(h.db, sql, nullptr, nullptr, nullptr);
}

// True when the schema of a read-only hive can be read as it is opened.
bool ReadableAsIs(Hive& h) {
  return sqlite3_exec(h.db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The user's hive is the user's alone: its database (and SQLite's journal
// files beside it, which take the database's mode) 0600, and its own folder
// 0700 unless every hive shares one folder (BREVANT_REGISTRY_DIR), where
// the local machine's hive must stay readable by all. Files an earlier
// version made with looser modes are tightened as they are opened.
void KeepPrivate(const std::string& file, bool forWrite) {
  if (platform::env::Get(platform::env::Var::RegistryDir).empty()) {
    const std::string dir = fs::path(file).parent_path().string();
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 077))
      ::chmod(dir.c_str(), 0700);
  }
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const std::string path = file + suffix;
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    // The database itself is made here, so that SQLite never makes it with
    // the umask's mode.
    if (*suffix == '\0' && forWrite) flags |= O_CREAT;
    platform::UniqueFd fd(::open(path.c_str(), flags, 0600));
    if (!fd) continue;
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077))
      ::fchmod(fd.get(), 0600);
  }
}

// Opens (or, with forWrite, creates) the hive's database. A read of a hive
// whose file does not exist yet sees an empty hive without creating it.
Hive* GetHive(HKEY root, bool forWrite, long* err) {
  auto it = g_hives.find(root);
  if (it != g_hives.end()) {
    if (forWrite && it->second->readOnly) {
      *err = Fail(kAccessDenied, "registry store is read-only: " + it->second->file);
      return nullptr;
    }
    return it->second.get();
  }
  std::string file = HiveFile(root);
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    if (!forWrite) {
      *err = Fail(kFileNotFound, "");
      return nullptr;
    }
    fs::create_directories(fs::path(file).parent_path(), ec);
  }
  if (root == kCurrentUser) KeepPrivate(file, forWrite);
  auto h = std::make_unique<Hive>();
  h->file = file;
  int rc = sqlite3_open_v2(file.c_str(), &h->db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    if (h->db) sqlite3_close(h->db);
    h->db = nullptr;
    if (forWrite) {
      *err = FromSqlite(*h, rc);
      return nullptr;
    }
    rc = sqlite3_open_v2(file.c_str(), &h->db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      *err = FromSqlite(*h, rc);
      return nullptr;
    }
    h->readOnly = true;
  }
  // SQLite opens a file the user may only read as read-only without
  // saying so: such a hive (the local machine's, for everyone but root) is
  // read, never set up.
  if (!h->readOnly && sqlite3_db_readonly(h->db, "main") == 1) {
    if (forWrite) {
      sqlite3_close(h->db);
      h->db = nullptr;
      *err = Fail(kAccessDenied, "registry store is read-only: " + file);
      return nullptr;
    }
    h->readOnly = true;
  }
  if (h->readOnly && !ReadableAsIs(*h)) {
    // A hive kept in WAL mode needs its shared-memory file, which a reader
    // without write access to the folder cannot create once the last writer
    // has gone: read the database file itself then.
    sqlite3_close(h->db);
    h->db = nullptr;
    std::string uri = "file:" + platform::HexEscape(file, "%?#") + "?immutable=1";
    rc = sqlite3_open_v2(uri.c_str(), &h->db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                         nullptr);
    if (rc != SQLITE_OK) {
      *err = FromSqlite(*h, rc);
      if (h->db) sqlite3_close(h->db);
      h->db = nullptr;
      return nullptr;
    }
  }
  sqlite3_busy_timeout(h->db, 10000);
  if (!h->readOnly) {
    // WAL lets readers and one writer work at once across processes.
    rc = Exec(*h, "PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK) rc = Exec(*h, "PRAGMA synchronous=NORMAL");
    // A value deleted (a secret moved out of the store) leaves no copy in
    // the file's free pages.
    if (rc == SQLITE_OK) rc = Exec(*h, "PRAGMA secure_delete=ON");
    if (rc == SQLITE_OK)
      rc = Exec(*h,
                "CREATE TABLE IF NOT EXISTS keys(path TEXT PRIMARY KEY COLLATE NOCASE) WITHOUT ROWID;"
                "CREATE TABLE IF NOT EXISTS vals(key TEXT NOT NULL COLLATE NOCASE,"
                " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,"
                " PRIMARY KEY(key, name)) WITHOUT ROWID;");
    if (rc != SQLITE_OK) {
      *err = FromSqlite(*h, rc);
      return nullptr;  // not cached: the next call tries again
    }
    // Every user reads the machine's hives: a password an earlier version
    // let in (no program reads one there) goes at the first change, with
    // no copy left in the journal.
    if (root != kCurrentUser && Exec(*h, "DELETE FROM vals WHERE name LIKE '%password'") == SQLITE_OK &&
        sqlite3_changes(h->db) > 0)
      sqlite3_wal_checkpoint_v2(h->db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
  Hive* raw = h.get();
  g_hives[root] = std::move(h);
  return raw;
}

// Looks a key up; on success *stored is its path as stored.
long FindKey(Hive& h, const std::string& path, std::string* stored) {
  if (path.empty()) {
    *stored = "";
    return kOk;
  }
  int rc;
  sqlite3_stmt* st = Prepare(h, "SELECT path FROM keys WHERE path = ?1", &rc);
  if (!st) return rc == SQLITE_ERROR ? Fail(kFileNotFound, "") : FromSqlite(h, rc);
  sqlite3_bind_text(st, 1, path.data(), int(path.size()), SQLITE_STATIC);
  rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    *stored = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_reset(st);
    return kOk;
  }
  sqlite3_reset(st);
  if (rc == SQLITE_DONE) return Fail(kFileNotFound, "");
  return FromSqlite(h, rc);
}

HKEY NewHandle(HKEY root, std::string path, std::uint32_t access) {
  HKEY k = g_nextHandle;
  g_nextHandle += 4;
  if (g_nextHandle >= 0x7ffffff0u) g_nextHandle = 0x100;
  g_handles[k] = OpenHandle{root, std::move(path), access};
  return k;
}

// A handle resolves to either a root (path "") or an opened key.
bool Resolve(HKEY key, OpenHandle* out) {
  if (IsRoot(key)) {
    *out = OpenHandle{key, "", kKeyAllAccess};
    return true;
  }
  auto it = g_handles.find(key);
  if (it == g_handles.end()) return false;
  *out = it->second;
  return true;
}

std::string LikePrefix(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '%' || c == '_' || c == '!') out += '!';
    out += c;
  }
  return out + "\\%";
}

}  // namespace

std::string HiveFile(HKEY root) {
  std::string name = RootName(root) + ".db";
  std::string dir = platform::env::Get(platform::env::Var::RegistryDir);
  if (!dir.empty()) return dir + "/" + name;
  if (root == kCurrentUser) {
    std::string cfg = EnvOr("XDG_CONFIG_HOME", platform::HomeFolder() + "/.config");
    return cfg + "/brevant/registry/" + name;
  }
  return "/var/lib/brevant/registry/" + name;
}

std::string RootName(HKEY root) {
  switch (root) {
    case kClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case kCurrentUser:
      return "HKEY_CURRENT_USER";
    case kLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    default:
      return "";
  }
}

bool ParseRoot(std::string_view name, HKEY* root) {
  std::string up(name);
  for (char& c : up) c = char(std::toupper(static_cast<unsigned char>(c)));
  if (up == "HKEY_CLASSES_ROOT" || up == "HKCR")
    *root = kClassesRoot;
  else if (up == "HKEY_CURRENT_USER" || up == "HKCU")
    *root = kCurrentUser;
  else if (up == "HKEY_LOCAL_MACHINE" || up == "HKLM")
    *root = kLocalMachine;
  else
    return false;
  return true;
}

std::string LastErrorText() {
  return t_lastError;
}

bool IsSecretValueName(std::string_view valueName) {
  constexpr std::string_view kSuffix = "password";
  if (valueName.size() < kSuffix.size()) return false;
  std::string_view tail = valueName.substr(valueName.size() - kSuffix.size());
  for (std::size_t i = 0; i < kSuffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(tail[i])) != kSuffix[i]) return false;
  return true;
}

namespace {

// Opens a key; with create, a missing key is created with its parents.
long OpenOrCreateKey(HKEY parent, std::string_view subPath, std::uint32_t access, bool create, HKEY* result) {
  std::lock_guard lock(g_mutex);
  t_lastError.clear();
  *result = 0;
  OpenHandle base;
  if (!Resolve(parent, &base)) return Fail(kInvalidHandle, "invalid key handle");
  std::string path = Normalise(base.path + "\\" + std::string(subPath));
  long err = kOk;
  Hive* h = GetHive(base.root, create, &err);
  if (!h) return err;
  std::string stored;
  long rc = FindKey(*h, path, &stored);
  if (rc == kOk) {
    *result = NewHandle(base.root, stored, access);
    return kOk;
  }
  if (rc != kFileNotFound || !create) return rc;
  // Every level of a new key is a row holding its whole path, so a deep
  // path costs the square of its length: keys keep the registry's own
  // bounds.
  {
    std::size_t depth = 0, longest = 0;
    for (std::size_t i = 0; i <= path.size();) {
      std::size_t j = std::min(path.find('\\', i), path.size());
      ++depth;
      longest = std::max(longest, j - i);
      i = j + 1;
    }
    if (depth > kMaxKeyDepth)
      return Fail(kInvalidParameter, "the key path has " + std::to_string(depth) + " levels (at most " +
                                         std::to_string(kMaxKeyDepth) + ")");
    if (longest > kMaxKeyNameLength)
      return Fail(kInvalidParameter, "a key name has " + std::to_string(longest) + " characters (at most " +
                                         std::to_string(kMaxKeyNameLength) + ")");
  }
  int src = Exec(*h, "BEGIN IMMEDIATE");
  if (src != SQLITE_OK) return FromSqlite(*h, src);
  sqlite3_stmt* st = Prepare(*h, "INSERT OR IGNORE INTO keys(path) VALUES(?1)", &src);
  for (std::size_t pos = 0; st && src == SQLITE_OK;) {
    pos = path.find('\\', pos + 1);
    std::string prefix = path.substr(0, pos);
    sqlite3_reset(st);
    sqlite3_bind_text(st, 1, prefix.data(), int(prefix.size()), SQLITE_TRANSIENT);
    int s = sqlite3_step(st);
    if (s != SQLITE_DONE) src = s;
    if (pos == std::string::npos) break;
  }
  if (st) sqlite3_reset(st);
  if (src != SQLITE_OK) {
    Exec(*h, "ROLLBACK");
    return FromSqlite(*h, src);
  }
  src = Exec(*h, "COMMIT");
  if (src != SQLITE_OK) {
    Exec(*h, "ROLLBACK");
    return FromSqlite(*h, src);
  }
  rc = FindKey(*h, path, &stored);
  if (rc != kOk) return rc;
  *result = NewHandle(base.root, stored, access);
  return kOk;
}

}  // namespace

long OpenKey(HKEY parent, std::string_view subPath, std::uint32_t access, HKEY* result) {
  return OpenOrCreateKey(parent, subPath, access, false, result);
}

long CreateKey(HKEY parent, std::string_view subPath, std::uint32_t access, HKEY* result) {
  return OpenOrCreateKey(parent, subPath, access, true, result);
}

long CloseKey(HKEY key) {
  std::lock_guard lock(g_mutex);
  if (IsRoot(key)) return kOk;
  return g_handles.erase(key) ? kOk : kInvalidHandle;
}

long SetValue(HKEY key, std::string_view name, std::uint32_t type, const void* data, std::uint32_t size) {
  std::lock_guard lock(g_mutex);
  t_lastError.clear();
  OpenHandle k;
  if (!Resolve(key, &k)) return Fail(kInvalidHandle, "invalid key handle");
  if (!(k.access & kKeySetValue)) return Fail(kAccessDenied, "key not opened for writing");
  if (k.root != kCurrentUser && IsSecretValueName(name))
    return Fail(kAccessDenied, "a password (\"" + std::string(name) + "\") is not kept in " +
                                   RootName(k.root) +
                                   ", which every user of this computer may read, and no program reads one "
                                   "there: each user sets their own under HKEY_CURRENT_USER");
  long err = kOk;
  Hive* h = GetHive(k.root, true, &err);
  if (!h) return err;
  int rc;
  sqlite3_stmt* st =
      Prepare(*h, "INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)", &rc);
  if (!st) return FromSqlite(*h, rc);
  sqlite3_bind_text(st, 1, k.path.data(), int(k.path.size()), SQLITE_STATIC);
  sqlite3_bind_text(st, 2, name.data(), int(name.size()), SQLITE_STATIC);
  sqlite3_bind_int64(st, 3, type);
  sqlite3_bind_blob(st, 4, data ? data : "", int(size), SQLITE_STATIC);
  rc = sqlite3_step(st);
  sqlite3_reset(st);
  return rc == SQLITE_DONE ? kOk : FromSqlite(*h, rc);
}

long QueryValue(HKEY key, std::string_view name, std::uint32_t* type, void* data, std::uint32_t* size) {
  std::lock_guard lock(g_mutex);
  t_lastError.clear();
  OpenHandle k;
  if (!Resolve(key, &k)) return Fail(kInvalidHandle, "invalid key handle");
  long err = kOk;
  Hive* h = GetHive(k.root, false, &err);
  if (!h) return err;
  int rc;
  sqlite3_stmt* st = Prepare(*h, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2", &rc);
  if (!st) return rc == SQLITE_ERROR ? Fail(kFileNotFound, "") : FromSqlite(*h, rc);
  sqlite3_bind_text(st, 1, k.path.data(), int(k.path.size()), SQLITE_STATIC);
  sqlite3_bind_text(st, 2, name.data(), int(name.size()), SQLITE_STATIC);
  rc = sqlite3_step(st);
  if (rc != SQLITE_ROW) {
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? Fail(kFileNotFound, "") : FromSqlite(*h, rc);
  }
  std::uint32_t t = std::uint32_t(sqlite3_column_int64(st, 0));
  const void* blob = sqlite3_column_blob(st, 1);
  std::uint32_t n = std::uint32_t(sqlite3_column_bytes(st, 1));
  bool addZero =
      (t == REG_SZ || t == REG_EXPAND_SZ) && (n == 0 || static_cast<const char*>(blob)[n - 1] != '\0');
  std::uint32_t need = n + (addZero ? 1 : 0);
  if (type) *type = t;
  long result = kOk;
  if (data) {
    if (*size < need) {
      result = kMoreData;
    } else {
      if (n) std::memcpy(data, blob, n);
      if (addZero) static_cast<char*>(data)[n] = '\0';
    }
  }
  *size = need;
  sqlite3_reset(st);
  return result;
}

long DeleteValue(HKEY key, std::string_view name) {
  std::lock_guard lock(g_mutex);
  t_lastError.clear();
  OpenHandle k;
  if (!Resolve(key, &k)) return Fail(kInvalidHandle, "invalid key handle");
  if (!(k.access & kKeySetValue)) return Fail(kAccessDenied, "key not opened for writing");
  long err = kOk;
  Hive* h = GetHive(k.root, true, &err);
  if (!h) return err;
  int rc;
  sqlite3_stmt* st = Prepare(*h, "DELETE FROM vals WHERE key = ?1 AND name = ?2", &rc);
  if (!st) return FromSqlite(*h, rc);
  sqlite3_bind_text(st, 1, k.path.data(), int(k.path.size()), SQLITE_STATIC);
  sqlite3_bind_text(st, 2, name.data(), int(name.size()), SQLITE_STATIC);
  rc = sqlite3_step(st);
  sqlite3_reset(st);
  if (rc != SQLITE_DONE) return FromSqlite(*h, rc);
  return sqlite3_changes(h->db) > 0 ? kOk : Fail(kFileNotFound, "");
}

long FlushKey(HKEY key) {
  std::lock_guard lock(g_mutex);
  OpenHandle k;
  if (!Resolve(key, &k)) return Fail(kInvalidHandle, "invalid key handle");
  auto it = g_hives.find(k.root);
  if (it == g_hives.end() || it->second->readOnly) return kOk;
  int rc = sqlite3_wal_checkpoint_v2(it->second->db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  return (rc == SQLITE_OK || rc == SQLITE_BUSY) ? kOk : FromSqlite(*it->second, rc);
}

long ScrubHive(HKEY root) {
  std::lock_guard lock(g_mutex);
  auto it = g_hives.find(root);
  if (it == g_hives.end() || it->second->readOnly) return kOk;
  int rc = sqlite3_wal_checkpoint_v2(it->second->db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  return rc == SQLITE_OK ? kOk : FromSqlite(*it->second, rc);
}

long DeleteKeyTree(HKEY root, std::string_view subPath) {
  std::lock_guard lock(g_mutex);
  t_lastError.clear();
  OpenHandle base;
  if (!Resolve(root, &base)) return Fail(kInvalidHandle, "invalid key handle");
  std::string path = Normalise(base.path + "\\" + std::string(subPath));
  if (path.empty()) return Fail(kAccessDenied, "a root key cannot be deleted");
  long err = kOk;
  Hive* h = GetHive(base.root, true, &err);
  if (!h) return err;
  std::string stored;
  long rc = FindKey(*h, path, &stored);
  if (rc != kOk) return rc;
  std::string like = LikePrefix(path);
  int src = Exec(*h, "BEGIN IMMEDIATE");
  if (src != SQLITE_OK) return FromSqlite(*h, src);
  for (const char* sql : {"DELETE FROM vals WHERE key = ?1 OR key LIKE ?2 ESCAPE '!'",
                          "DELETE FROM keys WHERE path = ?1 OR path LIKE ?2 ESCAPE '!'"}) {
    sqlite3_stmt* st = Prepare(*h, sql, &src);
    if (!st) break;
    sqlite3_bind_text(st, 1, path.data(), int(path.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 2, like.data(), int(like.size()), SQLITE_STATIC);
    int s = sqlite3_step(st);
    sqlite3_reset(st);
    if (s != SQLITE_DONE) {
      src = s;
      break;
    }
  }
  if (src != SQLITE_OK) {
    Exec(*h, "ROLLBACK");
    return FromSqlite(*h, src);
  }
  src = Exec(*h, "COMMIT");
  return src == SQLITE_OK ? kOk : FromSqlite(*h, src);
}

long EnumSubKeys(HKEY key, std::vector<std::string>* names) {
  std::lock_guard lock(g_mutex);
  t_lastError.clear();
  names->clear();
  OpenHandle k;
  if (!Resolve(key, &k)) return Fail(kInvalidHandle, "invalid key handle");
  long err = kOk;
  Hive* h = GetHive(k.root, false, &err);
  if (!h) return err == kFileNotFound ? kOk : err;
  int rc;
  sqlite3_stmt* st = Prepare(*h, "SELECT path FROM keys WHERE path LIKE ?1 ESCAPE '!' ORDER BY path", &rc);
  if (!st) return FromSqlite(*h, rc);
  std::string like = k.path.empty() ? std::string("%") : LikePrefix(k.path);
  sqlite3_bind_text(st, 1, like.data(), int(like.size()), SQLITE_TRANSIENT);
  std::size_t skip = k.path.empty() ? 0 : k.path.size() + 1;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    std::string p = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    std::string rest = p.substr(skip);
    if (!rest.empty() && rest.find('\\') == std::string::npos) names->push_back(rest);
  }
  sqlite3_reset(st);
  return rc == SQLITE_DONE ? kOk : FromSqlite(*h, rc);
}

long EnumValues(HKEY key, std::vector<Value>* values) {
  std::lock_guard lock(g_mutex);
  t_lastError.clear();
  values->clear();
  OpenHandle k;
  if (!Resolve(key, &k)) return Fail(kInvalidHandle, "invalid key handle");
  long err = kOk;
  Hive* h = GetHive(k.root, false, &err);
  if (!h) return err == kFileNotFound ? kOk : err;
  int rc;
  sqlite3_stmt* st =
      Prepare(*h, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY name COLLATE NOCASE", &rc);
  if (!st) return FromSqlite(*h, rc);
  sqlite3_bind_text(st, 1, k.path.data(), int(k.path.size()), SQLITE_TRANSIENT);
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    Value v;
    v.name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    v.type = std::uint32_t(sqlite3_column_int64(st, 1));
    const char* b = static_cast<const char*>(sqlite3_column_blob(st, 2));
    v.data.assign(b ? b : "", std::size_t(sqlite3_column_bytes(st, 2)));
    values->push_back(std::move(v));
  }
  sqlite3_reset(st);
  return rc == SQLITE_DONE ? kOk : FromSqlite(*h, rc);
}

std::string KeyPath(HKEY key) {
  std::lock_guard lock(g_mutex);
  OpenHandle k;
  return Resolve(key, &k) ? k.path : std::string();
}

HKEY KeyRoot(HKEY key) {
  std::lock_guard lock(g_mutex);
  OpenHandle k;
  return Resolve(key, &k) ? k.root : 0;
}

void ResetForTests() {
  std::lock_guard lock(g_mutex);
  g_hives.clear();
  g_handles.clear();
}

}  // namespace brevant::reg
