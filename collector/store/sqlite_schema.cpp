// The SQLite store's schema, and the upgrade of a database of an earlier
// version.
#include <iostream>

#include "core/text.h"
#include "store/sqlite_db.h"

namespace collector {

namespace {

// The events' columns, in the schema and in the upgrade that made their ids
// AUTOINCREMENT.
#define COLLECTOR_EVENTS_COLUMNS                                              \
  "(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL, "               \
  "start_ms INTEGER NOT NULL, end_ms INTEGER NOT NULL, servers TEXT NOT NULL, " \
  "description TEXT NOT NULL, created_ms INTEGER NOT NULL);"

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
  reviewed_ms INTEGER,
  flag_limit REAL NOT NULL DEFAULT 0);
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
CREATE TABLE IF NOT EXISTS events)" COLLECTOR_EVENTS_COLUMNS R"(
CREATE TABLE IF NOT EXISTS announcements(
  id INTEGER PRIMARY KEY,
  subject TEXT NOT NULL UNIQUE,
  body TEXT NOT NULL,
  created_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS announcements_created ON announcements(created_ms);
CREATE TABLE IF NOT EXISTS announcement_deliveries(
  id INTEGER PRIMARY KEY,
  announcement_id INTEGER NOT NULL REFERENCES announcements(id),
  webhook TEXT NOT NULL,
  state TEXT NOT NULL,
  attempts INTEGER NOT NULL,
  created_ms INTEGER NOT NULL,
  next_ms INTEGER NOT NULL,
  lease_ms INTEGER NOT NULL,
  done_ms INTEGER NOT NULL,
  UNIQUE(announcement_id, webhook));
CREATE INDEX IF NOT EXISTS announcement_deliveries_waiting
  ON announcement_deliveries(webhook, next_ms) WHERE state = 'waiting';
CREATE TABLE IF NOT EXISTS staff(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  role TEXT NOT NULL,
  password_hash TEXT NOT NULL DEFAULT '',
  created_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS staff_sessions(
  token_hash TEXT PRIMARY KEY,
  staff_id INTEGER NOT NULL REFERENCES staff(id),
  created_ms INTEGER NOT NULL,
  seen_ms INTEGER NOT NULL) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS staff_sessions_staff ON staff_sessions(staff_id);
CREATE TABLE IF NOT EXISTS signin_failures(
  subject TEXT PRIMARY KEY,
  failures INTEGER NOT NULL,
  last_ms INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS one_time_links(
  token_hash TEXT PRIMARY KEY,
  kind TEXT NOT NULL,
  subject TEXT NOT NULL,
  secret TEXT NOT NULL,
  created_ms INTEGER NOT NULL,
  expires_ms INTEGER NOT NULL,
  used_ms INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS audit(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  at_ms INTEGER NOT NULL,
  who TEXT NOT NULL,
  address TEXT NOT NULL,
  kind TEXT NOT NULL,
  what TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS audit_time ON audit(at_ms);
CREATE TABLE IF NOT EXISTS player_leave(
  id INTEGER PRIMARY KEY,
  player_id INTEGER NOT NULL REFERENCES players(id),
  from_day INTEGER NOT NULL,
  to_day INTEGER NOT NULL,
  created_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS player_leave_player ON player_leave(player_id);
)";

// A database made before flags could be reviewed gets the review columns.
const char* const reviewSql = R"(
ALTER TABLE reports ADD COLUMN review TEXT NOT NULL DEFAULT '';
ALTER TABLE reports ADD COLUMN reviewed_ms INTEGER;
)";
// Version 4: the limit each flag was decided against, and the flagged
// reports by player and time, for the player's page.
const char* const flagLimitSql =
    "ALTER TABLE reports ADD COLUMN flag_limit REAL NOT NULL DEFAULT 0";
const char* const flaggedIndexSql =
    "CREATE INDEX IF NOT EXISTS reports_flagged ON reports(player_id, received_ms) "
    "WHERE flag <> ''";
const char* const unreviewedIndexSql =
    "CREATE INDEX IF NOT EXISTS reports_unreviewed ON reports(id) "
    "WHERE " COLLECTOR_AWAITING_REVIEW;

// Version 7: an event's id is never given again once it was removed (its
// announcement `event/ID` would keep the new event's results from being
// posted): the table made again with AUTOINCREMENT, its sequence past every
// id it held, announced ones among them.
const char* const eventIdsSql = R"(
CREATE TABLE events_kept)" COLLECTOR_EVENTS_COLUMNS R"(
INSERT INTO events_kept SELECT id, name, start_ms, end_ms, servers, description, created_ms
  FROM events;
DROP TABLE events;
ALTER TABLE events_kept RENAME TO events;
DELETE FROM sqlite_sequence WHERE name IN ('events', 'events_kept');
INSERT INTO sqlite_sequence(name, seq) SELECT 'events', max(
  (SELECT coalesce(max(id), 0) FROM events),
  (SELECT coalesce(max(CAST(substr(subject, 7) AS INTEGER)), 0) FROM announcements
     WHERE subject LIKE 'event/%'));
)";

// Reviewed reports by time, for the readers that keep past days (made after
// the review columns, so on every open).
const char* const reviewedIndexSql =
    "CREATE INDEX IF NOT EXISTS reports_reviewed ON reports(reviewed_ms) "
    "WHERE reviewed_ms IS NOT NULL";

// Every report, for the totals built afresh.
const char* const everyReportSql =
    "SELECT player_id, received_ms, server_id, miles, seconds, truck, trailer, " COLLECTOR_COUNTED
    ", " COLLECTOR_AWAITING_REVIEW " FROM reports ORDER BY id";

// The totals of every stored report, told on the way for a large table.
bool sumReports(sqlite3* db, const std::string& path, TotalsDelta& totals, std::int64_t& total) {
  Statement count(db, "SELECT COUNT(*) FROM reports");
  if (count.step() != SQLITE_ROW) return false;
  total = count.integer(0);
  if (total > 0) {
    std::cerr << "upgrading " << path << ": building the totals of " << counted(total, "report")
              << std::endl;
  }
  Statement each(db, everyReportSql);
  enum { playerId, receivedMs, serverId, miles, seconds, truck, trailer, counted, awaiting };
  std::int64_t done = 0;
  int rc;
  while ((rc = each.step()) == SQLITE_ROW) {
    const ReportBody report{"",
                            each.text(serverId),
                            each.real(miles),
                            each.integer(seconds),
                            each.text(truck),
                            each.text(trailer)};
    addToTotals(totals, each.integer(playerId), each.integer(receivedMs), report,
                each.integer(counted) != 0, each.integer(awaiting) != 0);
    if (++done % 1000000 == 0) {
      std::cerr << "upgrading " << path << ": " << done << " of " << total << " reports"
                << std::endl;
    }
  }
  return rc == SQLITE_DONE;
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
    error = newerSchemaError(path, found);
    return fail();
  }
  if (found == schemaVersion) return execute(db, "COMMIT", error);
  // Version 3 adds the review columns, which a new database has already.
  if (!Statement(db, "SELECT review FROM reports").ok() && !execute(db, reviewSql, error)) {
    return fail();
  }
  if (!execute(db, unreviewedIndexSql, error)) return fail();
  // Version 4 adds the flags' limit, which a new database has already.
  if (!Statement(db, "SELECT flag_limit FROM reports").ok() && !execute(db, flagLimitSql, error)) {
    return fail();
  }
  if (!execute(db, flaggedIndexSql, error)) return fail();
  Statement events(db, "SELECT sql LIKE '%AUTOINCREMENT%' FROM sqlite_master WHERE name = 'events'");
  if (events.step() != SQLITE_ROW) return fail();
  const bool eventIdsKept = events.integer(0) != 0;
  events.reset();
  if (!eventIdsKept && !execute(db, eventIdsSql, error)) return fail();
  const std::string record = "PRAGMA user_version = " + std::to_string(schemaVersion);
  // From version 2 on the totals stand as they are; version 5 adds the
  // events, version 6 the announcements, version 8 the staff console's
  // tables and version 9 the players' leave, which the schema above creates.
  if (found >= 2 && found < schemaVersion) {
    return execute(db, record.c_str(), error) && execute(db, "COMMIT", error) ? true : fail();
  }
  TotalsDelta totals;
  std::int64_t total = 0;
  std::string ignored;
  execute(db, "PRAGMA cache_size = -262144", ignored);  // 256 MiB while the totals are written
  if (!sumReports(db, path, totals, total) ||
      !execute(db, "DELETE FROM player_days; DELETE FROM player_totals", error) ||
      !writeTotals(db, totals) || !execute(db, record.c_str(), error)) {
    return fail();
  }
  if (!execute(db, "COMMIT", error)) return fail();
  execute(db, "PRAGMA cache_size = -2000", ignored);
  if (total > 0) std::cerr << "upgrading " << path << ": done" << std::endl;
  return true;
}

}  // namespace

bool createSchema(sqlite3* db, const std::string& path, std::string& error) {
  return execute(db, schemaSql, error) && upgrade(db, path, error) &&
         execute(db, reviewedIndexSql, error);
}

}  // namespace collector
