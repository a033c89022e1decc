#include "faxservice/daemon/Db.h"

#include <stdexcept>

namespace brevant::faxd {

Db::~Db() {
  Close();
}

bool Db::Open(const std::string& path, std::string* why) {
  Close();
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    *why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    Close();
    return false;
  }
  sqlite3_busy_timeout(db_, 5000);
  int persist = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  try {
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    Exec("PRAGMA temp_store=MEMORY");
  } catch (const std::exception& e) {
    *why = e.what();
    Close();
    return false;
  }
  return true;
}

void Db::Close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

sqlite3_stmt* Db::Prepare(const std::string& sql, const std::vector<DbValue>& args) {
  if (!db_) throw std::runtime_error("the fax service database is closed");
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
  for (std::size_t i = 0; i < args.size(); ++i) {
    int n = static_cast<int>(i + 1);
    const DbValue& v = args[i];
    if (std::holds_alternative<long long>(v))
      sqlite3_bind_int64(st, n, std::get<long long>(v));
    else if (std::holds_alternative<double>(v))
      sqlite3_bind_double(st, n, std::get<double>(v));
    else if (std::holds_alternative<std::string>(v))
      sqlite3_bind_text(st, n, std::get<std::string>(v).c_str(), -1, SQLITE_TRANSIENT);
    else
      sqlite3_bind_null(st, n);
  }
  return st;
}

void Db::Run(const std::string& sql, const std::vector<DbValue>& args, std::vector<faxsvc::Message>* rows) {
  for (int attempt = 0;; ++attempt) {
    sqlite3_stmt* st = Prepare(sql, args);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      if (!rows) continue;
      faxsvc::Message m;
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        const unsigned char* t = sqlite3_column_text(st, c);
        m.Set(sqlite3_column_name(st, c), t ? std::string(reinterpret_cast<const char*>(t)) : std::string());
      }
      rows->push_back(std::move(m));
    }
    sqlite3_finalize(st);
    if (rc == SQLITE_DONE) return;
    const std::string what = std::string("database: ") + sqlite3_errmsg(db_);
    if ((rc & 0xff) != SQLITE_FULL) throw std::runtime_error(what);
    // Inside a transaction the whole transaction goes again (Transaction).
    if (attempt > 0 || inTransaction_ || !onFull_ || !onFull_()) throw DbFull(what);
    if (rows) rows->clear();
  }
}

void Db::Rollback() {
  inTransaction_ = false;
  if (!db_ || sqlite3_get_autocommit(db_)) return;  // SQLite rolled it back itself
  try {
    Exec("ROLLBACK");
  } catch (...) {
  }
}

void Db::Exec(const std::string& sql, const std::vector<DbValue>& args) {
  Run(sql, args, nullptr);
}

std::vector<faxsvc::Message> Db::Query(const std::string& sql, const std::vector<DbValue>& args) {
  std::vector<faxsvc::Message> rows;
  Run(sql, args, &rows);
  return rows;
}

long long Db::QueryInt(const std::string& sql, const std::vector<DbValue>& args, long long fallback) {
  auto rows = Query(sql, args);
  if (rows.empty() || rows[0].Fields().empty()) return fallback;
  return rows[0].GetInt(rows[0].Fields()[0].first, fallback);
}

long long Db::LastInsertId() const {
  return sqlite3_last_insert_rowid(db_);
}

}  // namespace brevant::faxd
