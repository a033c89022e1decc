#pragma once
// A thin layer over one SQLite connection: statements with bound text or
// number parameters, rows returned as messages (column name -> text) so
// that they go to clients as they are.
#include <sqlite3.h>

#include <string>
#include <variant>
#include <vector>

#include "platform/faxservice/Protocol.h"

namespace brevant::faxd {

using DbValue = std::variant<std::nullptr_t, long long, double, std::string>;

class Db {
 public:
  Db() = default;
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  // Opens (creating) the database with WAL and a busy timeout; false with
  // *why on failure.
  bool Open(const std::string& path, std::string* why);
  void Close();
  // Runs one statement; throws std::runtime_error on failure.
  void Exec(const std::string& sql, const std::vector<DbValue>& args = {});
  std::vector<faxsvc::Message> Query(const std::string& sql, const std::vector<DbValue>& args = {});
  // First column of the first row, or fallback.
  long long QueryInt(const std::string& sql, const std::vector<DbValue>& args = {}, long long fallback = 0);
  long long LastInsertId() const;

  // Runs body inside one transaction, rolled back when it throws.
  template <class F>
  void Transaction(F&& body) {
    Exec("BEGIN IMMEDIATE");
    try {
      body();
      Exec("COMMIT");
    } catch (...) {
      try {
        Exec("ROLLBACK");
      } catch (...) {
      }
      throw;
    }
  }

 private:
  sqlite3_stmt* Prepare(const std::string& sql, const std::vector<DbValue>& args);
  sqlite3* db_ = nullptr;
};

}  // namespace brevant::faxd
