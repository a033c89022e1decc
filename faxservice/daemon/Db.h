#pragma once
// A thin layer over one SQLite connection: statements with bound text or
// number parameters, rows returned as messages (column name -> text) so
// that they go to clients as they are.
#include <sqlite3.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "faxservice/protocol/Protocol.h"

namespace brevant::faxd {

using DbValue = std::variant<std::nullptr_t, long long, double, std::string>;

// A write that found no room on the disk (SQLITE_FULL).
class DbFull : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Db {
 public:
  Db() = default;
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  // Opens (creating) the database with WAL and a busy timeout; false with
  // *why on failure. The write-ahead log and its index stay on the disk
  // between runs, so that a database on a full disk still opens and reads.
  bool Open(const std::string& path, std::string* why);
  // Asked when a write finds the disk full; true when it made room, and the
  // write (or the whole transaction) is tried once more.
  void SetFullHandler(std::function<bool()> handler) { onFull_ = std::move(handler); }
  void Close();
  // Runs one statement; throws std::runtime_error on failure (DbFull for a
  // full disk).
  void Exec(const std::string& sql, const std::vector<DbValue>& args = {});
  std::vector<faxsvc::Message> Query(const std::string& sql, const std::vector<DbValue>& args = {});
  // First column of the first row, or fallback.
  long long QueryInt(const std::string& sql, const std::vector<DbValue>& args = {}, long long fallback = 0);
  long long LastInsertId() const;
  // Inside Transaction's body.
  bool InTransaction() const { return inTransaction_; }

  // Runs body inside one transaction, rolled back when it throws; run once
  // more when it found the disk full and room was made.
  template <class F>
  void Transaction(F&& body) {
    for (int attempt = 0;; ++attempt) {
      Exec("BEGIN IMMEDIATE");
      inTransaction_ = true;
      try {
        body();
        Exec("COMMIT");
        inTransaction_ = false;
        return;
      } catch (const DbFull&) {
        Rollback();
        if (attempt > 0 || !onFull_ || !onFull_()) throw;
      } catch (...) {
        Rollback();
        throw;
      }
    }
  }

 private:
  sqlite3_stmt* Prepare(const std::string& sql, const std::vector<DbValue>& args);
  // Steps a statement to its end (rows to *rows when given); once more
  // after the full-disk handler made room, outside transactions.
  void Run(const std::string& sql, const std::vector<DbValue>& args, std::vector<faxsvc::Message>* rows);
  void Rollback();
  sqlite3* db_ = nullptr;
  bool inTransaction_ = false;
  std::function<bool()> onFull_;
};

}  // namespace brevant::faxd
