// Statements and connections of the SQLite store, and the totals upsert.
#include "store/sqlite_db.h"

#include <cstring>
#include <map>

#include "store/sql.h"

namespace collector {

namespace {

// Adds a batch's TotalsRow to its stored row, or stores it as the first.
const char* const addDaySql =
    "INSERT INTO player_days(player_id, day, server_id, miles, seconds, reports, flagged, "
    "last_ms, last_truck, last_trailer) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) "
    "ON CONFLICT(day, player_id, server_id) DO UPDATE SET " COLLECTOR_TOTALS_UPDATE("player_days");
const char* const addTotalSql =
    "INSERT INTO player_totals(player_id, server_id, miles, seconds, reports, flagged, "
    "last_ms, last_truck, last_trailer) VALUES($1, $3, $4, $5, $6, $7, $8, $9, $10) "
    "ON CONFLICT(player_id, server_id) DO UPDATE SET " COLLECTOR_TOTALS_UPDATE("player_totals");

}  // namespace

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

TotalsWriter::TotalsWriter(sqlite3* db) : addDay_(db, addDaySql), addTotal_(db, addTotalSql) {}

bool TotalsWriter::write(const TotalsDelta& totals) {
  bool good = true;
  for (auto entry = totals.begin(); good && entry != totals.end(); ++entry) {
    const TotalsRow& row = entry->second;
    Statement& add = row.day == allTimeDay ? addTotal_ : addDay_;
    add.reset();
    add.bind(1, row.playerId).bind(2, row.day).bind(3, row.serverId).bind(4, row.miles);
    add.bind(5, row.seconds).bind(6, row.reports).bind(7, row.flagged).bind(8, row.lastMs);
    add.bind(9, row.lastTruck).bind(10, row.lastTrailer);
    good = add.run();
  }
  // Reset, they hold no read of the database across the commit.
  addDay_.reset();
  addTotal_.reset();
  return good;
}

bool writeTotals(sqlite3* db, const TotalsDelta& totals) { return TotalsWriter(db).write(totals); }

MilestoneRecorder::MilestoneRecorder(sqlite3* db)
    : read_(db, COLLECTOR_PLAYER_MILES "WHERE t.player_id = $1 GROUP BY t.player_id, p.name"),
      insert_(db, sql::insertAnnouncement) {}

bool MilestoneRecorder::record(const TotalsDelta& totals, std::int64_t atMs) {
  const std::vector<std::int64_t> players = playersGainingMiles(totals);
  std::map<std::int64_t, PlayerMiles> after;
  bool good = true;
  for (auto player = players.begin(); good && player != players.end(); ++player) {
    read_.reset();
    read_.bind(1, *player);
    const int rc = read_.step();
    if (rc == SQLITE_ROW) {
      after[*player] = {read_.text(1), read_.real(2)};
    } else {
      good = rc == SQLITE_DONE;
    }
  }
  read_.reset();  // holds no read of the database across the commit
  if (!good) return false;
  for (const NewAnnouncement& reached : milestonesReached(totals, after)) {
    insert_.reset();
    insert_.bind(1, reached.key).bind(2, reached.body).bind(3, atMs);
    if (!insert_.run()) return false;
  }
  insert_.reset();
  return true;
}

bool recordMilestones(sqlite3* db, const TotalsDelta& totals, std::int64_t atMs) {
  return MilestoneRecorder(db).record(totals, atMs);
}

}  // namespace collector
