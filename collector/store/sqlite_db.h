// The SQLite store's plumbing: a prepared statement, opening a connection,
// the schema and its upgrade, the totals upsert.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <limits>
#include <string>

#include "store/shared.h"

namespace collector {

// One prepared statement; values are only ever bound, never pasted. Its SQL
// may number its placeholders as PostgreSQL does ($1), read as ?1.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  // Ready for new values: none of the previous ones stays bound.
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    bound_ = SQLITE_OK;
  }
  Statement& bind(int index, const std::string& text) {
    return check(text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())
                     ? SQLITE_TOOBIG
                     : sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                         SQLITE_TRANSIENT));
  }
  Statement& bind(int index, std::int64_t value) {
    return check(sqlite3_bind_int64(stmt_, index, value));
  }
  Statement& bind(int index, double value) {
    return check(sqlite3_bind_double(stmt_, index, value));
  }
  // SQLITE_ROW, SQLITE_DONE or an error code (also the first failed bind's,
  // and then the statement is not run).
  int step() {
    if (!stmt_) return SQLITE_ERROR;
    return bound_ != SQLITE_OK ? bound_ : sqlite3_step(stmt_);
  }
  bool run() { return step() == SQLITE_DONE; }
  std::string text(int column) const {
    const auto* bytes = sqlite3_column_text(stmt_, column);
    return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  double real(int column) const { return sqlite3_column_double(stmt_, column); }
  bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  int type(int column) const { return sqlite3_column_type(stmt_, column); }
  std::string failure() const {
    return bound_ != SQLITE_OK ? sqlite3_errstr(bound_) : sqlite3_errmsg(db_);
  }

 private:
  Statement& check(int result) {
    if (!stmt_) {
      bound_ = SQLITE_ERROR;
    } else if (bound_ == SQLITE_OK) {
      bound_ = result;
    }
    return *this;
  }

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  int bound_ = SQLITE_OK;
};

bool execute(sqlite3* db, const char* sql, std::string& error);

// `flags` may add SQLITE_OPEN_NOMUTEX for a connection that only one thread
// at a time uses.
sqlite3* openConnection(const std::string& path, std::string& error, int flags = 0);

// Creates the tables, or brings those of an earlier schema version up to
// this one.
bool createSchema(sqlite3* db, const std::string& path, std::string& error);

// Adds totals to player_days and player_totals, as the schema's upgrade
// builds them from the reports (the store's core writes a batch's through
// the seam).
bool writeTotals(sqlite3* db, const TotalsDelta& totals);

}  // namespace collector
