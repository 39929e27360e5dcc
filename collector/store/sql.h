// The SQL text both stores run, with PostgreSQL's numbered placeholders ($1;
// the SQLite store reads them as ?1), and the records their rows are read
// into. A `Row` is a backend's view of one result row with integer(i),
// real(i) and text(i); each reader names the columns its statement lists.
//
// Every statement has a name (the store's core runs it by its Query) and
// its text for each database: one text where the dialects agree; a null
// text where a database needs no such statement (SQLite's write transaction
// locks what PostgreSQL locks row by row), which then does nothing. A
// statement run for many rows at once is run by SQLite once per row and by
// PostgreSQL once, its parameters marked in `arrays` sent as arrays.
#pragma once

#include <algorithm>
#include <vector>

#include "store/shared.h"
#include "store/sql_staff.h"

namespace collector {
namespace sql {

enum class Query {
  // players and keys
  insertPlayer,
  selectPlayers,
  lockPlayerName,
  revokePlayer,
  playerId,
  // the intake: the key holders (each database its own way), the reports
  findPlayer,
  lastReceivedOne,
  lockPlayers,
  lastReceived,
  insertReport,
  // totals and boards
  addDays,
  addTotals,
  playerMiles,
  boardAllTime,
  boardDays,
  communityDays,
  playerDays,
  playerLast,
  playerFlags,
  reviewMark,
  reviewedSince,
  // stored reports and their review
  exportAll,
  unreviewed,
  lockReviewedPlayers,
  review,
  // events
  insertEvent,
  selectEvents,
  deleteEvent,
  pruneEvents,
  updateEvent,
  eventTotals,
  // the outbox
  insertAnnouncement,
  findAnnouncement,
  addDeliveries,
  claimDelivery,
  announcementBody,
  settleDelivery,
  waitingDeliveries,
  givenUpDeliveries,
  pruneDeliveries,
  pruneAnnouncements,
  // players' keys given again
  replaceKey,
  // the staff console
  insertStaff,
  selectStaff,
  staffByName,
  updateStaffRole,
  deleteStaff,
  deleteStaffSessions,
  insertSession,
  selectSession,
  touchSession,
  deleteSession,
  pruneSessions,
  addFailure,
  selectFailures,
  clearFailures,
  pruneFailures,
  voidLinks,
  insertLink,
  selectLink,
  markLinkUsed,
  setPassword,
  pruneLinks,
  forgetSecrets,
  insertAudit,
  pruneAudit,
  selectAudit,
  // players' leave and latest reports
  insertLeave,
  deleteLeave,
  selectLeave,
  playerLasts,
  count
};

struct Text {
  const char* name;      // PostgreSQL's prepared statement
  const char* sqlite;    // null: SQLite needs none
  const char* postgres;  // null: PostgreSQL needs none
  unsigned arrays = 0;   // run for many rows: bit i set, $i+1 is an array
};
// Indexed by Query.
extern const Text statements[static_cast<int>(Query::count)];
inline const Text& textOf(Query query) { return statements[static_cast<int>(query)]; }

constexpr const char* insertPlayer =
    "INSERT INTO players (name, key_hash, created_ms) VALUES ($1, $2, $3)";
constexpr const char* selectPlayers =
    "SELECT name, created_ms, coalesce(revoked_ms, 0) FROM players";
constexpr const char* revokePlayer =
    "UPDATE players SET revoked_ms = $2 WHERE name = $1 AND revoked_ms IS NULL";
constexpr const char* playerId = "SELECT id FROM players WHERE name = $1";

// A board's totals rows, then (playerDays) the day.
#define COLLECTOR_TOTALS_COLUMNS                                                            \
  "d.player_id, p.name, d.server_id, d.miles, d.seconds, d.reports, d.flagged, d.last_ms, " \
  "d.last_truck, d.last_trailer"
constexpr const char* boardAllTime =
    "SELECT " COLLECTOR_TOTALS_COLUMNS " FROM player_totals d JOIN players p ON p.id = d.player_id";
constexpr const char* boardDays = "SELECT " COLLECTOR_TOTALS_COLUMNS
                                  " FROM player_days d JOIN players p ON p.id = d.player_id "
                                  "WHERE d.day >= $1 AND d.day < $2";
constexpr const char* playerDays = "SELECT " COLLECTOR_TOTALS_COLUMNS
                                   ", d.day FROM player_days d JOIN players p ON p.id = "
                                   "d.player_id WHERE d.player_id = $1 AND d.day >= $2 AND "
                                   "d.day < $3";
constexpr const char* communityDays =
    "SELECT day, server_id, sum(" COLLECTOR_MICRO_MILES("miles") ") / 1000000, sum(seconds), "
    "sum(reports) FROM player_days "
    "WHERE day >= $1 AND day < $2 AND reports > 0 GROUP BY day, server_id";

// Stored reports with their player's name; those read to be told also
// whether a wall_time flag's limit counts from the player's creation: no
// report of the player was stored before it (an index step, the player's
// oldest report being the first in its range).
#define COLLECTOR_REPORT_FIELDS                                                        \
  "r.id, r.received_ms, p.name, r.server_id, r.miles, r.seconds, r.truck, r.trailer, " \
  "r.flag, r.flag_limit, r.review, r.reviewed_ms"
#define COLLECTOR_REPORT_FROM " FROM reports r JOIN players p ON p.id = r.player_id"
#define COLLECTOR_REPORT_COLUMNS COLLECTOR_REPORT_FIELDS COLLECTOR_REPORT_FROM
#define COLLECTOR_TOLD_COLUMNS                                                       \
  COLLECTOR_REPORT_FIELDS ", CASE WHEN r.flag <> 'wall_time' THEN 0 WHEN EXISTS "    \
                          "(SELECT 1 FROM reports q WHERE q.player_id = r.player_id " \
                          "AND q.id < r.id) THEN 0 ELSE 1 END" COLLECTOR_REPORT_FROM
constexpr const char* exportAll = "SELECT " COLLECTOR_REPORT_COLUMNS " ORDER BY r.id";
constexpr const char* unreviewed = "SELECT " COLLECTOR_TOLD_COLUMNS
                                   " WHERE r.flag <> '' AND r.review = '' AND "
                                   "r.received_ms >= $1 AND ($2 = '' OR p.name = $2) ORDER BY r.id";
constexpr const char* playerLast = "SELECT " COLLECTOR_TOLD_COLUMNS
                                   " WHERE r.player_id = $1 ORDER BY r.received_ms DESC, r.id DESC "
                                   "LIMIT 20";
// A player's latest flagged reports, reviewed or not (the index of the
// flagged reports by player and time finds them without the others).
constexpr const char* playerFlags =
    "SELECT " COLLECTOR_TOLD_COLUMNS
    " WHERE r.player_id = $1 AND r.flag <> '' ORDER BY r.received_ms DESC, r.id DESC LIMIT 20";
// The review mark, and the reports reviewed since a time (the partial index
// reports_reviewed serves both).
constexpr const char* reviewMark =
    "SELECT count(*), coalesce(max(reviewed_ms), 0) FROM reports WHERE reviewed_ms IS NOT NULL";
constexpr const char* reviewedSince =
    "SELECT reviewed_ms, received_ms FROM reports WHERE reviewed_ms >= $1";

constexpr const char* insertEvent =
    "INSERT INTO events (name, start_ms, end_ms, servers, description, created_ms) "
    "VALUES ($1, $2, $3, $4, $5, $6) RETURNING id";
constexpr const char* selectEvents =
    "SELECT id, name, start_ms, end_ms, servers, description FROM events "
    "ORDER BY start_ms DESC, id DESC";
constexpr const char* deleteEvent = "DELETE FROM events WHERE id = $1";
constexpr const char* pruneEvents = "DELETE FROM events WHERE end_ms < $1";
constexpr const char* updateEvent =
    "UPDATE events SET name = $2, start_ms = $3, end_ms = $4, servers = $5, description = $6 "
    "WHERE id = $1";
// The reports of an event's window summed per player and server as totals
// rows (miles in whole millionths, as the totals add them), along the
// received_ms index; then the last truck and trailer, which each backend
// picks in its own way. A report counts for the event no more than the
// window allows: one whose seconds exceed the wall time since the window
// opened, or since the player's previous report when that came later (by
// the rule of the intake's wall_time flag, exceedsWallTime), is flagged for
// the event.
#define COLLECTOR_EVENT_WALL_MS(greatest)                                                    \
  "(r.received_ms - " greatest "($1, coalesce((SELECT max(q.received_ms) FROM reports q " \
  "WHERE q.player_id = r.player_id AND q.received_ms < r.received_ms), $1)))"
#define COLLECTOR_EVENT_BEYOND \
  "(r.seconds * 1000 - r.wall_ms > 10000 AND (r.seconds * 1000 - r.wall_ms) * 10 > r.wall_ms)"
#define COLLECTOR_EVENT_COUNTED "(" COLLECTOR_COUNTED " AND NOT " COLLECTOR_EVENT_BEYOND ")"
#define COLLECTOR_EVENT_TOTALS(lastTruck, lastTrailer, greatest)                                 \
  "SELECT r.player_id, p.name, r.server_id, "                                                      \
  "coalesce(sum(CASE WHEN " COLLECTOR_EVENT_COUNTED                                                \
  " THEN " COLLECTOR_MICRO_MILES("r.miles") " ELSE 0 END), 0) / 1000000, "                         \
  "coalesce(sum(CASE WHEN " COLLECTOR_EVENT_COUNTED " THEN r.seconds ELSE 0 END), 0), "            \
  "sum(CASE WHEN " COLLECTOR_EVENT_COUNTED " THEN 1 ELSE 0 END), "                                 \
  "sum(CASE WHEN " COLLECTOR_AWAITING_REVIEW " OR (" COLLECTOR_COUNTED " AND " COLLECTOR_EVENT_BEYOND \
  ") THEN 1 ELSE 0 END), max(r.received_ms), " lastTruck ", " lastTrailer                          \
  " FROM (SELECT r.*, " COLLECTOR_EVENT_WALL_MS(greatest) " AS wall_ms FROM reports r "           \
  "WHERE r.received_ms >= $1 AND r.received_ms < $2) r JOIN players p ON p.id = r.player_id "      \
  "GROUP BY r.player_id, p.name, r.server_id"

// A player's counted all-time miles, in whole millionths as the totals add
// them, and name.
#define COLLECTOR_PLAYER_MILES \
  "SELECT t.player_id, p.name, sum(" COLLECTOR_MICRO_MILES("t.miles") ") / 1000000 FROM " \
  "player_totals t JOIN players p ON p.id = t.player_id "
constexpr const char* insertAnnouncement =
    "INSERT INTO announcements (subject, body, created_ms) VALUES ($1, $2, $3) "
    "ON CONFLICT (subject) DO NOTHING";
constexpr const char* findAnnouncement = "SELECT 1 FROM announcements WHERE subject = $1";
// The deliveries a webhook lacks, of the announcements with something to post.
constexpr const char* addDeliveries =
    "INSERT INTO announcement_deliveries (announcement_id, webhook, state, attempts, created_ms, "
    "next_ms, lease_ms, done_ms) SELECT a.id, $1, 'waiting', 0, $3, $3, 0, 0 FROM announcements a "
    "WHERE a.created_ms >= $2 AND a.body <> '' AND NOT EXISTS (SELECT 1 FROM "
    "announcement_deliveries d WHERE d.announcement_id = a.id AND d.webhook = $1) "
    "ON CONFLICT (announcement_id, webhook) DO NOTHING";
// Claims the delivery of webhook $1 due earliest at $2 for $3 ms of the
// database's clock `now`, by which every lease is judged, so that collectors
// whose clocks differ never take each other's; the claim's attempt number is
// its token. `lock` keeps two claimers of PostgreSQL off one row.
#define COLLECTOR_CLAIM_DELIVERY(now, lock)                                                    \
  "UPDATE announcement_deliveries SET lease_ms = " now " + $3, attempts = attempts + 1 "      \
  "WHERE id = (SELECT id FROM announcement_deliveries WHERE webhook = $1 AND state = "        \
  "'waiting' AND next_ms <= $2 AND lease_ms <= " now " ORDER BY next_ms, id LIMIT 1" lock     \
  ") AND state = 'waiting' AND lease_ms <= " now " RETURNING id, announcement_id, attempts, " \
  "created_ms"
constexpr const char* announcementBody = "SELECT body FROM announcements WHERE id = $1";
// Only while the claim whose attempt is $5 holds: a claimant whose lease
// ended and whose delivery another took since changes nothing.
constexpr const char* settleDelivery =
    "UPDATE announcement_deliveries SET state = $2, next_ms = $3, done_ms = $4, lease_ms = 0 "
    "WHERE id = $1 AND attempts = $5 AND state = 'waiting'";
constexpr const char* waitingDeliveries =
    "SELECT count(*) FROM announcements a WHERE a.created_ms >= $2 AND a.body <> '' AND NOT "
    "EXISTS (SELECT 1 FROM announcement_deliveries d WHERE d.announcement_id = a.id AND "
    "d.webhook = $1 AND d.state <> 'waiting')";
constexpr const char* givenUpDeliveries =
    "SELECT count(*) FROM announcement_deliveries WHERE webhook = $1 AND state = 'given_up' "
    "AND done_ms >= $2";
constexpr const char* pruneDeliveries =
    "DELETE FROM announcement_deliveries WHERE announcement_id IN (SELECT id FROM announcements "
    "WHERE created_ms < $1)";
constexpr const char* pruneAnnouncements = "DELETE FROM announcements WHERE created_ms < $1";

// PostgreSQL's health probe, on a connection of its own: each table a batch
// writes, written as a batch writes it but with no row, so that a read-only
// session or server and a right the role lacks fail it and nothing is
// stored; when it fails, whether the server takes writes at all says why.
constexpr const char* postgresWritable =
    "SELECT pg_is_in_recovery(), current_setting('transaction_read_only') = 'on'";
constexpr const char* postgresWriteProbe =
    "INSERT INTO reports SELECT * FROM reports WHERE false; "
    "INSERT INTO player_days SELECT * FROM player_days WHERE false "
    "ON CONFLICT (day, player_id, server_id) DO UPDATE SET miles = excluded.miles; "
    "INSERT INTO player_totals SELECT * FROM player_totals WHERE false "
    "ON CONFLICT (player_id, server_id) DO UPDATE SET miles = excluded.miles; "
    "INSERT INTO announcements SELECT * FROM announcements WHERE false "
    "ON CONFLICT (subject) DO NOTHING";

// The state column of a settled delivery and its next_ms and done_ms.
struct SettledDelivery {
  const char* state;
  std::int64_t nextMs, doneMs;
};
inline SettledDelivery settled(Delivery outcome, std::int64_t atMs) {
  switch (outcome) {
    case Delivery::sent:
      return {"sent", atMs, atMs};
    case Delivery::givenUp:
      return {"given_up", atMs, atMs};
    case Delivery::retry:
      break;
  }
  return {"waiting", atMs, 0};
}

template <class Row>
Event event(const Row& row) {
  enum { id, name, startMs, endMs, servers, description };
  return {row.integer(id),
          row.text(name),
          row.integer(startMs),
          row.integer(endMs),
          splitServers(row.text(servers)),
          row.text(description)};
}

template <class Row>
PlayerInfo playerInfo(const Row& row) {
  enum { name, createdMs, revokedMs };
  return {row.text(name), row.integer(createdMs), row.integer(revokedMs)};
}

// Players by name, byte for byte, as both databases' binary collation.
inline void sortPlayers(std::vector<PlayerInfo>& players) {
  std::sort(players.begin(), players.end(),
            [](const PlayerInfo& a, const PlayerInfo& b) { return a.name < b.name; });
}

template <class Row>
TotalsRow totalsRow(const Row& row, bool withDay) {
  enum { playerId, name, serverId, miles, seconds, reports, flagged, lastMs, truck, trailer, day };
  TotalsRow out;
  out.playerId = row.integer(playerId);
  out.playerName = row.text(name);
  out.serverId = row.text(serverId);
  out.miles = row.real(miles);
  out.seconds = row.integer(seconds);
  out.reports = row.integer(reports);
  out.flagged = row.integer(flagged);
  out.lastMs = row.integer(lastMs);
  out.lastTruck = row.text(truck);
  out.lastTrailer = row.text(trailer);
  if (withDay) out.day = row.integer(day);
  return out;
}

template <class Row>
TotalsRow communityRow(const Row& row) {
  enum { day, serverId, miles, seconds, reports };
  TotalsRow out;
  out.day = row.integer(day);
  out.serverId = row.text(serverId);
  out.miles = row.real(miles);
  out.seconds = row.integer(seconds);
  out.reports = row.integer(reports);
  return out;
}

template <class Row>
StoredReport storedReport(const Row& row) {
  enum {
    id,
    receivedMs,
    name,
    serverId,
    miles,
    seconds,
    truck,
    trailer,
    flag,
    flagLimit,
    review,
    reviewedMs
  };
  StoredReport out;
  static_cast<ReportBody&>(out) = {row.text(name),       row.text(serverId), row.real(miles),
                                   row.integer(seconds), row.text(truck),    row.text(trailer)};
  out.id = row.integer(id);
  out.receivedMs = row.integer(receivedMs);
  out.flag = row.text(flag);
  out.flagLimit = row.real(flagLimit);
  out.review = row.text(review);
  out.reviewedMs = row.integer(reviewedMs);
  return out;
}

// A stored report read with COLLECTOR_TOLD_COLUMNS.
template <class Row>
StoredReport toldReport(const Row& row) {
  StoredReport out = storedReport(row);
  out.sincePlayerAdded = row.integer(12) != 0;
  return out;
}

}  // namespace sql
}  // namespace collector
