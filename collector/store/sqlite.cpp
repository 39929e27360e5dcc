#include "store/sqlite.h"

#include <sqlite3.h>

#include <algorithm>
#include <condition_variable>
#include <iostream>
#include <limits>
#include <mutex>
#include <utility>

#include "core/report.h"

namespace collector {

namespace {

const char* const schemaSql = R"(
CREATE TABLE IF NOT EXISTS players(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  key_hash TEXT NOT NULL UNIQUE,
  created_ms INTEGER NOT NULL,
  revoked_ms INTEGER);
CREATE TABLE IF NOT EXISTS reports(
  id INTEGER PRIMARY KEY,
  player_id INTEGER NOT NULL REFERENCES players(id),
  received_ms INTEGER NOT NULL,
  server_id TEXT NOT NULL,
  miles REAL NOT NULL,
  seconds INTEGER NOT NULL,
  truck TEXT NOT NULL,
  trailer TEXT NOT NULL,
  flag TEXT NOT NULL,
  review TEXT NOT NULL DEFAULT '',
  reviewed_ms INTEGER);
CREATE INDEX IF NOT EXISTS reports_player_time ON reports(player_id, received_ms);
CREATE INDEX IF NOT EXISTS reports_time ON reports(received_ms);
CREATE TABLE IF NOT EXISTS player_days(
  player_id INTEGER NOT NULL REFERENCES players(id),
  day INTEGER NOT NULL,
  server_id TEXT NOT NULL,
  miles REAL NOT NULL,
  seconds INTEGER NOT NULL,
  reports INTEGER NOT NULL,
  flagged INTEGER NOT NULL,
  last_ms INTEGER NOT NULL,
  last_truck TEXT NOT NULL,
  last_trailer TEXT NOT NULL,
  PRIMARY KEY(day, player_id, server_id)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS player_days_player ON player_days(player_id, day);
CREATE TABLE IF NOT EXISTS player_totals(
  player_id INTEGER NOT NULL REFERENCES players(id),
  server_id TEXT NOT NULL,
  miles REAL NOT NULL,
  seconds INTEGER NOT NULL,
  reports INTEGER NOT NULL,
  flagged INTEGER NOT NULL,
  last_ms INTEGER NOT NULL,
  last_truck TEXT NOT NULL,
  last_trailer TEXT NOT NULL,
  PRIMARY KEY(player_id, server_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS events(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  start_ms INTEGER NOT NULL,
  end_ms INTEGER NOT NULL,
  servers TEXT NOT NULL,
  description TEXT NOT NULL,
  created_ms INTEGER NOT NULL);
)";

// A database made before flags could be reviewed gets the review columns.
const char* const reviewSql = R"(
ALTER TABLE reports ADD COLUMN review TEXT NOT NULL DEFAULT '';
ALTER TABLE reports ADD COLUMN reviewed_ms INTEGER;
)";
const char* const unreviewedIndexSql =
    "CREATE INDEX IF NOT EXISTS reports_unreviewed ON reports(id) "
    "WHERE flag <> '' AND review = ''";
// Adds a batch's TotalsRow to its stored row, or stores it as the first.
const char* const addDaySql =
    "INSERT INTO player_days(player_id, day, server_id, miles, seconds, reports, flagged, "
    "last_ms, last_truck, last_trailer) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) "
    "ON CONFLICT(day, player_id, server_id) DO UPDATE SET " COLLECTOR_TOTALS_UPDATE("player_days");
const char* const addTotalSql =
    "INSERT INTO player_totals(player_id, server_id, miles, seconds, reports, flagged, "
    "last_ms, last_truck, last_trailer) VALUES(?1, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) "
    "ON CONFLICT(player_id, server_id) DO UPDATE SET " COLLECTOR_TOTALS_UPDATE("player_totals");

// One prepared statement; values are only ever bound, never pasted.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
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

bool execute(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

// `flags` may add SQLITE_OPEN_NOMUTEX for a connection that only one thread
// at a time uses.
sqlite3* openConnection(const std::string& path, std::string& error, int flags = 0) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | flags,
                      nullptr) != SQLITE_OK) {
    error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
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

// Adds a batch's totals to player_days and player_totals.
bool writeTotals(sqlite3* db, const TotalsDelta& totals) {
  Statement addDay(db, addDaySql);
  Statement addTotal(db, addTotalSql);
  for (const auto& entry : totals) {
    const TotalsRow& row = entry.second;
    Statement& add = row.day == allTimeDay ? addTotal : addDay;
    add.reset();
    add.bind(1, row.playerId).bind(2, row.day).bind(3, row.serverId).bind(4, row.miles);
    add.bind(5, row.seconds).bind(6, row.reports).bind(7, row.flagged).bind(8, row.lastMs);
    add.bind(9, row.lastTruck).bind(10, row.lastTrailer);
    if (!add.run()) return false;
  }
  return true;
}

// Brings a database of an earlier schema version up to this one: the totals
// are built from `reports`, in one transaction with the new version number,
// so an upgrade cut short leaves the database as it was.
bool upgrade(sqlite3* db, const std::string& path, std::string& error) {
  if (!execute(db, "BEGIN IMMEDIATE", error)) return false;
  const auto fail = [&] {
    if (error.empty()) error = sqlite3_errmsg(db);
    std::string ignored;
    execute(db, "ROLLBACK", ignored);
    return false;
  };
  Statement version(db, "PRAGMA user_version");
  if (version.step() != SQLITE_ROW) return fail();
  const std::int64_t found = version.integer(0);
  version.reset();
  if (found > schemaVersion) {
    error = path + " has schema version " + std::to_string(found) +
            ", newer than this collector's " + std::to_string(schemaVersion);
    return fail();
  }
  if (found == schemaVersion) return execute(db, "COMMIT", error);
  // Version 3 adds the review columns, which a new database has already.
  if (!Statement(db, "SELECT review FROM reports").ok() && !execute(db, reviewSql, error)) {
    return fail();
  }
  if (!execute(db, unreviewedIndexSql, error)) return fail();
  // Version 4 adds the events, which the schema above creates.
  if (found >= 2) {
    return execute(db, ("PRAGMA user_version = " + std::to_string(schemaVersion)).c_str(), error) &&
                   execute(db, "COMMIT", error)
               ? true
               : fail();
  }
  Statement count(db, "SELECT COUNT(*) FROM reports");
  if (count.step() != SQLITE_ROW) return fail();
  const std::int64_t total = count.integer(0);
  if (total > 0) {
    std::cerr << "upgrading " << path << ": building the totals of " << total << " reports"
              << std::endl;
  }
  TotalsDelta totals;
  std::string ignored;
  execute(db, "PRAGMA cache_size = -262144", ignored);  // 256 MiB while the totals are written
  Statement each(db,
                 "SELECT player_id, received_ms, server_id, miles, seconds, truck, trailer, flag, "
                 "review FROM reports ORDER BY id");
  std::int64_t done = 0;
  int rc;
  while ((rc = each.step()) == SQLITE_ROW) {
    const ReportBody report{"",           each.text(2), each.real(3), each.integer(4),
                            each.text(5), each.text(6)};
    const std::string review = each.text(8);
    addToTotals(totals, each.integer(0), each.integer(1), report,
                each.text(7).empty() || review == "accepted", review.empty());
    if (++done % 1000000 == 0) {
      std::cerr << "upgrading " << path << ": " << done << " of " << total << " reports"
                << std::endl;
    }
  }
  if (rc != SQLITE_DONE ||
      !execute(db, "DELETE FROM player_days; DELETE FROM player_totals", error) ||
      !writeTotals(db, totals) ||
      !execute(db, ("PRAGMA user_version = " + std::to_string(schemaVersion)).c_str(), error)) {
    return fail();
  }
  if (!execute(db, "COMMIT", error)) return fail();
  execute(db, "PRAGMA cache_size = -2000", ignored);
  if (total > 0) std::cerr << "upgrading " << path << ": done" << std::endl;
  return true;
}

class SqliteStore : public Store {
 public:
  SqliteStore(std::string path, sqlite3* writer, sqlite3* reader)
      : path_(std::move(path)), writer_(writer), reader_(reader) {}
  ~SqliteStore() override {
    sqlite3_close(writer_);
    sqlite3_close(reader_);
    for (sqlite3* db : idleReaders_) sqlite3_close(db);
  }

  bool addPlayer(const std::string& name, const std::string& keyHash, std::int64_t nowMs,
                 std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement insert(writer_, "INSERT INTO players(name, key_hash, created_ms) VALUES(?, ?, ?)");
    insert.bind(1, name).bind(2, keyHash).bind(3, nowMs);
    if (insert.run()) return true;
    error = sqlite3_extended_errcode(writer_) == SQLITE_CONSTRAINT_UNIQUE
                ? "a player named '" + name + "' exists already"
                : insert.failure();
    return false;
  }

  bool listPlayers(std::vector<PlayerInfo>& players, std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_, "SELECT name, created_ms, revoked_ms FROM players ORDER BY name");
    players.clear();
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
      players.push_back({select.text(0), select.integer(1), select.integer(2)});
    }
    return finished(select, rc, error);
  }

  bool revokePlayer(const std::string& name, std::int64_t nowMs, std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement update(writer_,
                     "UPDATE players SET revoked_ms = ? WHERE name = ? AND revoked_ms IS NULL");
    update.bind(1, nowMs).bind(2, name);
    if (!update.run()) {
      error = update.failure();
      return false;
    }
    if (sqlite3_changes(writer_) != 1) {
      error = "no player named '" + name + "' with a valid key";
      return false;
    }
    return true;
  }

  bool addReports(const std::vector<IncomingReport>& batch, std::vector<AddOutcome>& outcomes,
                  std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    outcomes.assign(batch.size(), AddOutcome::unknownKey);
    if (!execute(writer_, "BEGIN IMMEDIATE", error)) return false;
    Statement findPlayer(writer_,
                         "SELECT id, name, revoked_ms, created_ms FROM players WHERE key_hash = ?");
    Statement previous(writer_, "SELECT MAX(received_ms) FROM reports WHERE player_id = ?");
    Statement insert(writer_,
                     "INSERT INTO reports(player_id, received_ms, server_id, miles, seconds, "
                     "truck, trailer, flag) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
    bool good = findPlayer.ok() && previous.ok() && insert.ok();
    // A statement that failed leaves the transaction open unless SQLite
    // rolled it back (disk full, I/O error): then the whole batch failed,
    // else only this report.
    auto failedAlone = [&](std::size_t i) {
      if (sqlite3_get_autocommit(writer_)) return good = false;
      outcomes[i] = AddOutcome::failed;
      return true;
    };
    TotalsDelta totals;
    for (std::size_t i = 0; good && i < batch.size(); ++i) {
      const IncomingReport& report = batch[i];
      findPlayer.reset();
      findPlayer.bind(1, report.keyHash);
      const int found = findPlayer.step();
      if (found == SQLITE_DONE || (found == SQLITE_ROW && !findPlayer.isNull(2))) continue;
      if (found != SQLITE_ROW) {
        if (failedAlone(i)) continue;
        break;
      }
      if (findPlayer.text(1) != report.playerName) {
        outcomes[i] = AddOutcome::wrongPlayer;
        continue;
      }
      const std::int64_t playerId = findPlayer.integer(0);
      std::string flag = report.flag;
      if (flag.empty() && report.checkWallTime) {
        const std::int64_t createdMs = findPlayer.integer(3);
        previous.reset();
        previous.bind(1, playerId);
        if (previous.step() != SQLITE_ROW) {
          if (failedAlone(i)) continue;
          break;
        }
        const std::int64_t sinceMs = previous.isNull(0) ? createdMs : previous.integer(0);
        if (exceedsWallTime(report.seconds, report.receivedMs - sinceMs)) flag = flagWallTime;
      }
      insert.reset();
      insert.bind(1, playerId).bind(2, report.receivedMs).bind(3, report.serverId);
      insert.bind(4, report.miles).bind(5, report.seconds).bind(6, report.truck);
      insert.bind(7, report.trailer).bind(8, flag);
      if (!insert.run()) {
        if (failedAlone(i)) continue;
        break;
      }
      outcomes[i] = flag.empty() ? AddOutcome::stored : AddOutcome::storedFlagged;
      addToTotals(totals, playerId, report.receivedMs, report, flag.empty());
    }
    good = good && writeTotals(writer_, totals);
    if (good && execute(writer_, "COMMIT", error)) return true;
    if (error.empty()) error = sqlite3_errmsg(writer_);
    std::string ignored;
    execute(writer_, "ROLLBACK", ignored);
    return false;
  }

  bool leaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                   std::string& error) override {
    Reader reader(*this, error);
    return reader && reader.begin(error) && readBoard(reader.db, period, rows, error);
  }

  bool communityDays(const Period& period, std::vector<DayTotals>& days,
                     std::string& error) override {
    Reader reader(*this, error);
    if (!reader) return false;
    Statement select(reader.db,
                     "SELECT day, server_id, SUM(miles), SUM(seconds), SUM(reports) FROM "
                     "player_days WHERE day >= ? AND day < ? AND reports > 0 "
                     "GROUP BY day, server_id");
    std::int64_t fromDay = 0, untilDay = 0;
    daysOf(period, fromDay, untilDay);
    select.bind(1, fromDay).bind(2, untilDay);
    std::vector<TotalsRow> rows;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
      TotalsRow row;
      row.day = select.integer(0);
      row.serverId = select.text(1);
      row.miles = select.real(2);
      row.seconds = select.integer(3);
      row.reports = select.integer(4);
      rows.push_back(std::move(row));
    }
    days = sumDays(rows);
    return finished(select, rc, error);
  }

  bool player(const std::string& name, const Period& period, const Period& daysPeriod,
              PlayerView& view, bool& found, std::string& error) override {
    return readPlayer(name, &period, daysPeriod, view, found, error);
  }

  bool playerActivity(const std::string& name, const Period& daysPeriod, PlayerView& view,
                      bool& found, std::string& error) override {
    return readPlayer(name, nullptr, daysPeriod, view, found, error);
  }

  // A player's view; its totals on the board of `period` unless that is null.
  bool readPlayer(const std::string& name, const Period* period, const Period& daysPeriod,
                  PlayerView& view, bool& found, std::string& error) {
    found = true;  // false only once the database said so
    Reader reader(*this, error);
    if (!reader || !reader.begin(error)) return false;
    Statement who(reader.db, "SELECT id FROM players WHERE name = ?");
    who.bind(1, name);
    const int rc = who.step();
    if (rc != SQLITE_ROW) {
      found = rc != SQLITE_DONE;
      error = found ? who.failure() : "no player named '" + name + "'";
      return false;
    }
    const std::int64_t playerId = who.integer(0);
    view = PlayerView();
    view.totals.playerName = name;
    std::vector<LeaderboardRow> rows;
    if (period && !readBoard(reader.db, *period, rows, error)) return false;
    for (const LeaderboardRow& row : rows) {
      if (row.playerName == name) view.totals = row;
    }
    Statement days(reader.db,
                   "SELECT d.player_id, '', d.server_id, d.miles, d.seconds, d.reports, d.flagged, "
                   "d.last_ms, d.last_truck, d.last_trailer, d.day FROM player_days d "
                   "WHERE d.player_id = ? AND d.day >= ? AND d.day < ?");
    std::int64_t fromDay = 0, untilDay = 0;
    daysOf(daysPeriod, fromDay, untilDay);
    days.bind(1, playerId).bind(2, fromDay).bind(3, untilDay);
    std::vector<TotalsRow> dayRows;
    if (!readTotals(days, dayRows, error)) return false;
    view.days = sumDays(dayRows);
    Statement last(reader.db,
                   "SELECT id, received_ms, server_id, miles, seconds, truck, trailer, flag "
                   "FROM reports WHERE player_id = ? ORDER BY received_ms DESC, id DESC LIMIT 20");
    last.bind(1, playerId);
    int step;
    while ((step = last.step()) == SQLITE_ROW) {
      view.lastReports.push_back(
          {{name, last.text(2), last.real(3), last.integer(4), last.text(5), last.text(6)},
           last.integer(0),
           last.integer(1),
           last.text(7)});
    }
    return finished(last, step, error);
  }

  bool exportReports(const std::function<void(const StoredReport&)>& each,
                     std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_,
                     "SELECT r.id, r.received_ms, p.name, r.server_id, r.miles, r.seconds, "
                     "r.truck, r.trailer, r.flag FROM reports r JOIN players p ON p.id = "
                     "r.player_id ORDER BY r.id");
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) each(storedReport(select));
    return finished(select, rc, error);
  }

  bool unreviewedFlags(std::int64_t sinceMs, const std::string& player,
                       std::vector<StoredReport>& reports, std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_,
                     "SELECT r.id, r.received_ms, p.name, r.server_id, r.miles, r.seconds, "
                     "r.truck, r.trailer, r.flag FROM reports r JOIN players p ON p.id = "
                     "r.player_id WHERE r.flag <> '' AND r.review = '' AND r.received_ms >= ? "
                     "AND (? = '' OR p.name = ?) ORDER BY r.id");
    select.bind(1, sinceMs).bind(2, player).bind(3, player);
    reports.clear();
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) reports.push_back(storedReport(select));
    return finished(select, rc, error);
  }

  bool reviewFlags(const std::vector<std::int64_t>& ids, bool accept, std::int64_t nowMs,
                   std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (!execute(writer_, "BEGIN IMMEDIATE", error)) return false;
    Statement review(writer_,
                     "UPDATE reports SET review = ?, reviewed_ms = ? "
                     "WHERE id = ? AND flag <> '' AND review = '' "
                     "RETURNING player_id, received_ms, server_id, miles, seconds");
    bool good = review.ok();
    TotalsDelta totals;
    for (std::size_t i = 0; good && i < ids.size(); ++i) {
      review.reset();
      review.bind(1, std::string(accept ? "accepted" : "rejected")).bind(2, nowMs).bind(3, ids[i]);
      const int rc = review.step();
      if (rc == SQLITE_ROW) {
        const ReportBody report{"", review.text(2), review.real(3), review.integer(4), "", ""};
        addReviewToTotals(totals, review.integer(0), review.integer(1), report, accept);
        good = review.step() == SQLITE_DONE;
      } else {
        good = false;
        if (rc == SQLITE_DONE) {
          error = "report " + std::to_string(ids[i]) + " is not a flagged report awaiting review";
        }
      }
    }
    if (good && writeTotals(writer_, totals) && execute(writer_, "COMMIT", error)) return true;
    if (error.empty()) error = sqlite3_errmsg(writer_);
    std::string ignored;
    execute(writer_, "ROLLBACK", ignored);
    return false;
  }

  bool addEvent(Event& event, std::int64_t nowMs, std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement insert(writer_,
                     "INSERT INTO events(name, start_ms, end_ms, servers, description, "
                     "created_ms) VALUES(?, ?, ?, ?, ?, ?)");
    insert.bind(1, event.name).bind(2, event.startMs).bind(3, event.endMs);
    insert.bind(4, joinServers(event.servers)).bind(5, event.description).bind(6, nowMs);
    if (!insert.run()) {
      error = insert.failure();
      return false;
    }
    event.id = sqlite3_last_insert_rowid(writer_);
    return true;
  }

  bool listEvents(std::vector<Event>& events, std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_,
                     "SELECT id, name, start_ms, end_ms, servers, description FROM events "
                     "ORDER BY start_ms DESC, id DESC");
    events.clear();
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
      events.push_back({select.integer(0), select.text(1), select.integer(2), select.integer(3),
                        splitServers(select.text(4)), select.text(5)});
    }
    return finished(select, rc, error);
  }

  bool removeEvent(std::int64_t id, std::string& error) override {
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement remove(writer_, "DELETE FROM events WHERE id = ?");
    remove.bind(1, id);
    if (!remove.run()) {
      error = remove.failure();
      return false;
    }
    if (sqlite3_changes(writer_) != 1) {
      error = "no event with id " + std::to_string(id);
      return false;
    }
    return true;
  }

  bool eventBoard(const Event& event, std::vector<LeaderboardRow>& rows,
                  std::string& error) override {
    Reader reader(*this, error);
    if (!reader) return false;
    // Along the received_ms index; the truck and trailer are those of the
    // row of MAX(received_ms), as SQLite takes bare columns.
    Statement select(reader.db,
                     "SELECT r.player_id, p.name, r.server_id, "
                     "SUM(CASE WHEN r.flag = '' OR r.review = 'accepted' THEN r.miles ELSE 0 END), "
                     "SUM(CASE WHEN r.flag = '' OR r.review = 'accepted' THEN r.seconds ELSE 0 "
                     "END), SUM(r.flag = '' OR r.review = 'accepted'), "
                     "SUM(r.flag <> '' AND r.review = ''), MAX(r.received_ms), r.truck, r.trailer "
                     "FROM reports r JOIN players p ON p.id = r.player_id "
                     "WHERE r.received_ms >= ? AND r.received_ms < ? "
                     "GROUP BY r.player_id, r.server_id");
    select.bind(1, event.startMs).bind(2, event.endMs);
    std::vector<TotalsRow> totals;
    if (!readTotals(select, totals, error)) return false;
    rows = eventRows(event, totals);
    return true;
  }

  bool healthy() override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement probe(reader_, "SELECT COUNT(*) FROM players");
    return probe.step() == SQLITE_ROW;
  }

 private:
  // A row of id, received_ms, name, server_id, miles, seconds, truck, trailer, flag.
  static StoredReport storedReport(const Statement& row) {
    return {{row.text(2), row.text(3), row.real(4), row.integer(5), row.text(6), row.text(7)},
            row.integer(0),
            row.integer(1),
            row.text(8)};
  }

  static bool finished(const Statement& statement, int rc, std::string& error) {
    if (rc == SQLITE_DONE) return true;
    error = statement.failure();
    return false;
  }

  // The board of a period from the totals alone: all time from player_totals,
  // any other period from the player_days of its days.
  static bool readBoard(sqlite3* db, const Period& period, std::vector<LeaderboardRow>& rows,
                        std::string& error) {
    std::int64_t fromDay = 0, untilDay = 0;
    daysOf(period, fromDay, untilDay);
    const bool allTime = isAllTime(period);
    Statement select(db, allTime ? "SELECT d.player_id, p.name, d.server_id, d.miles, d.seconds, "
                                   "d.reports, d.flagged, d.last_ms, d.last_truck, d.last_trailer "
                                   "FROM player_totals d JOIN players p ON p.id = d.player_id"
                                 : "SELECT d.player_id, p.name, d.server_id, d.miles, d.seconds, "
                                   "d.reports, d.flagged, d.last_ms, d.last_truck, d.last_trailer "
                                   "FROM player_days d JOIN players p ON p.id = d.player_id "
                                   "WHERE d.day >= ? AND d.day < ?");
    if (!allTime) select.bind(1, fromDay).bind(2, untilDay);
    std::vector<TotalsRow> totals;
    if (!readTotals(select, totals, error)) return false;
    BoardBuilder builder;
    for (const TotalsRow& row : totals) builder.add(row);
    rows = builder.finish();
    return true;
  }

  // Rows of the ten board columns (and the day, when selected as an eleventh).
  static bool readTotals(Statement& select, std::vector<TotalsRow>& rows, std::string& error) {
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
      TotalsRow row;
      row.playerId = select.integer(0);
      row.playerName = select.text(1);
      row.serverId = select.text(2);
      row.miles = select.real(3);
      row.seconds = select.integer(4);
      row.reports = select.integer(5);
      row.flagged = select.integer(6);
      row.lastMs = select.integer(7);
      row.lastTruck = select.text(8);
      row.lastTrailer = select.text(9);
      row.day = select.integer(10);
      rows.push_back(std::move(row));
    }
    return finished(select, rc, error);
  }

  // A connection of its own for board reads, taken for one call inside one
  // read transaction, so its queries see one snapshot. The intake's writer and
  // the health probe's reader are never among them.
  struct Reader {
    Reader(SqliteStore& store, std::string& error) : store(store) { db = store.takeReader(error); }
    ~Reader() {
      if (!db) return;
      if (inTransaction) {
        std::string ignored;
        execute(db, "COMMIT", ignored);
      }
      store.giveBackReader(db);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    explicit operator bool() const { return db != nullptr; }
    bool begin(std::string& error) { return inTransaction = execute(db, "BEGIN", error); }

    SqliteStore& store;
    sqlite3* db = nullptr;
    bool inTransaction = false;
  };

  static constexpr std::size_t maxReaders = 4;

  sqlite3* takeReader(std::string& error) {
    {
      std::unique_lock<std::mutex> lock(readersMutex_);
      readerFree_.wait(lock, [this] { return !idleReaders_.empty() || openReaders_ < maxReaders; });
      if (!idleReaders_.empty()) {
        sqlite3* db = idleReaders_.back();
        idleReaders_.pop_back();
        return db;
      }
      ++openReaders_;
    }
    sqlite3* db = openConnection(path_, error, SQLITE_OPEN_NOMUTEX);  // one reader at a time
    if (!db) giveBackReader(nullptr);
    return db;
  }

  void giveBackReader(sqlite3* db) {
    {
      std::lock_guard<std::mutex> lock(readersMutex_);
      if (db) {
        idleReaders_.push_back(db);
      } else {
        --openReaders_;
      }
    }
    readerFree_.notify_one();
  }

  std::string path_;
  sqlite3* writer_;
  sqlite3* reader_;  // players, export and health
  std::mutex writeMutex_;
  std::mutex readMutex_;
  std::mutex readersMutex_;
  std::condition_variable readerFree_;
  std::vector<sqlite3*> idleReaders_;  // board reads
  std::size_t openReaders_ = 0;
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "sqlite: needs a file path, as in sqlite:vorn-collector.db";
    return nullptr;
  }
  sqlite3* writer = openConnection(path, error);
  if (!writer) return nullptr;
  if (!execute(writer, schemaSql, error) || !upgrade(writer, path, error)) {
    if (error.compare(0, path.size(), path) != 0) error = path + ": " + error;
    sqlite3_close(writer);
    return nullptr;
  }
  sqlite3* reader = openConnection(path, error);
  if (!reader) {
    sqlite3_close(writer);
    return nullptr;
  }
  return std::make_unique<SqliteStore>(path, writer, reader);
}

}  // namespace collector
