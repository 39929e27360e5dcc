// Statements and connections of the SQLite store, and the totals upsert.
#include "store/sqlite_db.h"

#include <cstring>

#include "store/sql.h"

namespace collector {

Statement::Statement(sqlite3* db, const char* sql) : db_(db) {
  std::string text = sql;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '$' && text[i + 1] >= '0' && text[i + 1] <= '9') text[i] = '?';
  }
  if (sqlite3_prepare_v2(db, text.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
}

bool execute(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

sqlite3* openConnection(const std::string& path, std::string& error, int flags) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | flags,
                      nullptr) != SQLITE_OK) {
    error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    // SQLite's own text ("unable to open database file") says not why: the
    // system's does (no such folder, permission denied).
    if (db && sqlite3_system_errno(db) != 0) {
      error += " (" + std::string(std::strerror(sqlite3_system_errno(db))) + ")";
    }
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 10000);
  // WAL with full sync: a committed transaction survives a crash or a power cut.
  if (!execute(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;",
               error)) {
    error = path + ": " + error;
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

bool writeTotals(sqlite3* db, const TotalsDelta& totals) {
  Statement addDay(db, sql::textOf(sql::Query::addDays).sqlite);
  Statement addTotal(db, sql::textOf(sql::Query::addTotals).sqlite);
  bool good = true;
  for (auto entry = totals.begin(); good && entry != totals.end(); ++entry) {
    const TotalsRow& row = entry->second;
    Statement& add = row.day == allTimeDay ? addTotal : addDay;
    add.reset();
    add.bind(1, row.playerId).bind(2, row.day).bind(3, row.serverId).bind(4, row.miles);
    add.bind(5, row.seconds).bind(6, row.reports).bind(7, row.flagged).bind(8, row.lastMs);
    add.bind(9, row.lastTruck).bind(10, row.lastTrailer);
    good = add.run();
  }
  return good;
}

}  // namespace collector
