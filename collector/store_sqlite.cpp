#include "store_sqlite.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <mutex>

#include "report.h"

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
  flag TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS reports_player_time ON reports(player_id, received_ms);
CREATE INDEX IF NOT EXISTS reports_time ON reports(received_ms);
)";

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
  Statement& bind(int index, double value) { return check(sqlite3_bind_double(stmt_, index, value)); }
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

sqlite3* openConnection(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
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

class SqliteStore : public Store {
 public:
  SqliteStore(sqlite3* writer, sqlite3* reader) : writer_(writer), reader_(reader) {}
  ~SqliteStore() override {
    sqlite3_close(writer_);
    sqlite3_close(reader_);
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
    }
    if (good && execute(writer_, "COMMIT", error)) return true;
    if (error.empty()) error = sqlite3_errmsg(writer_);
    std::string ignored;
    execute(writer_, "ROLLBACK", ignored);
    return false;
  }

  bool leaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                   std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    rows.clear();
    if (!execute(reader_, "BEGIN", error)) return false;
    const bool done = readLeaderboard(period, rows, error);
    std::string ignored;
    execute(reader_, "COMMIT", ignored);
    return done;
  }

  bool exportReports(const std::function<void(const StoredReport&)>& each,
                     std::string& error) override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement select(reader_,
                     "SELECT r.id, r.received_ms, p.name, r.server_id, r.miles, r.seconds, "
                     "r.truck, r.trailer, r.flag FROM reports r JOIN players p ON p.id = "
                     "r.player_id ORDER BY r.id");
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
      each({{select.text(2), select.text(3), select.real(4), select.integer(5), select.text(6),
             select.text(7)},
            select.integer(0),
            select.integer(1),
            select.text(8)});
    }
    return finished(select, rc, error);
  }

  bool healthy() override {
    std::lock_guard<std::mutex> lock(readMutex_);
    Statement probe(reader_, "SELECT COUNT(*) FROM players");
    return probe.step() == SQLITE_ROW;
  }

 private:
  static bool finished(const Statement& statement, int rc, std::string& error) {
    if (rc == SQLITE_DONE) return true;
    error = statement.failure();
    return false;
  }

  // Reads inside one read transaction, so totals and last reports agree.
  bool readLeaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                       std::string& error) {
    Statement totals(reader_,
                     "SELECT p.id, p.name, r.server_id, "
                     "SUM(CASE WHEN r.flag = '' THEN r.miles ELSE 0 END), "
                     "SUM(CASE WHEN r.flag = '' THEN r.seconds ELSE 0 END), "
                     "SUM(CASE WHEN r.flag = '' THEN 1 ELSE 0 END), "
                     "SUM(CASE WHEN r.flag = '' THEN 0 ELSE 1 END) "
                     "FROM reports r JOIN players p ON p.id = r.player_id "
                     "WHERE r.received_ms >= ? AND r.received_ms < ? "
                     "GROUP BY p.id, p.name, r.server_id ORDER BY p.id");
    Statement last(reader_,
                   "SELECT truck, trailer, received_ms FROM reports WHERE player_id = ? AND "
                   "received_ms >= ? AND received_ms < ? ORDER BY received_ms DESC, id DESC "
                   "LIMIT 1");
    totals.bind(1, period.fromMs).bind(2, period.untilMs);
    std::vector<std::int64_t> ids;
    int rc;
    while ((rc = totals.step()) == SQLITE_ROW) {
      if (ids.empty() || ids.back() != totals.integer(0)) {
        ids.push_back(totals.integer(0));
        rows.emplace_back();
        rows.back().playerName = totals.text(1);
      }
      LeaderboardRow& row = rows.back();
      const std::int64_t counted = totals.integer(5);
      row.miles += totals.real(3);
      row.seconds += totals.integer(4);
      row.reports += counted;
      row.flaggedReports += totals.integer(6);
      if (counted > 0) row.servers[totals.text(2)] = {totals.real(3), totals.integer(4)};
    }
    if (!finished(totals, rc, error)) return false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      last.reset();
      last.bind(1, ids[i]).bind(2, period.fromMs).bind(3, period.untilMs);
      if (last.step() != SQLITE_ROW) {
        error = last.failure();
        return false;
      }
      rows[i].lastTruck = last.text(0);
      rows[i].lastTrailer = last.text(1);
      rows[i].lastSeenMs = last.integer(2);
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const LeaderboardRow& a, const LeaderboardRow& b) {
                       return a.miles != b.miles ? a.miles > b.miles : a.playerName < b.playerName;
                     });
    return true;
  }

  sqlite3* writer_;
  sqlite3* reader_;
  std::mutex writeMutex_;
  std::mutex readMutex_;
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "sqlite: needs a file path, as in sqlite:vorn-collector.db";
    return nullptr;
  }
  sqlite3* writer = openConnection(path, error);
  if (!writer) return nullptr;
  if (!execute(writer, schemaSql, error)) {
    error = path + ": " + error;
    sqlite3_close(writer);
    return nullptr;
  }
  sqlite3* reader = openConnection(path, error);
  if (!reader) {
    sqlite3_close(writer);
    return nullptr;
  }
  return std::make_unique<SqliteStore>(writer, reader);
}

}  // namespace collector
