// The one interface between the collector's rules and its database, split by
// role (players, intake, boards, reviews, events, outbox, health). Everything
// else (intake, leaderboard, page, command line) talks to a Store or one of
// its roles; a Store is opened from a URL by openStore and knows nothing
// about HTTP.
//
// Guarantees every implementation gives:
// - Every call may come from any thread at any time; the implementation
//   serialises what must be serialised. Calls never throw: they answer false
//   (and set `error` to a one-line reason) or an outcome.
// - Every SQL statement is prepared and its values bound; nothing from a
//   request or a command line is ever pasted into SQL text.
// - addReports commits all of a batch in one transaction, or none of it. It
//   returns true only after the commit is durable (SQLite: WAL with
//   synchronous=FULL; PostgreSQL: the commit returned), so an answer of 200
//   sent after it survives a kill -9 of the collector and a power cut; and
//   false only when nothing of the batch was stored (PostgreSQL: a COMMIT
//   whose answer was lost is settled first on a fresh connection; one that
//   cannot be settled in time is logged with its transaction id and counted).
//   PostgreSQL answers within 4.5 s, connecting to every listed host included.
// - The wall-time plausibility rule (exceedsWallTime in report.h) is decided
//   inside that transaction, per key, against the `received_ms` of that key's
//   previous stored report, counting reports stored earlier in the same batch;
//   for a key with no stored report yet, against the player's `created_ms`.
// - One report that cannot be stored (a value the database refuses) is
//   answered `failed` alone and leaves the others of its batch untouched.
//   Several collectors sharing one database must see each other's reports, so
//   the decision is serialised per player in the database (SQLite: the write
//   transaction; PostgreSQL: lock the player's row, SELECT ... FOR UPDATE).
// - Keys are known to the store only by their SHA-256 (lower-case hex); a key
//   itself is never stored, logged or passed in.
// - Flagged reports are stored but left out of `miles` and `seconds` of the
//   leaderboard; they are counted in `flaggedReports`.
//
// Schema (the same on every backend; `*_ms` are milliseconds since the Unix
// epoch, UTC):
//   players(id integer primary key, name text not null unique,
//           key_hash text not null unique, created_ms integer not null,
//           revoked_ms integer null)            -- null while the key is valid
//   reports(id integer primary key, player_id integer not null references players,
//           received_ms integer not null, server_id text not null,
//           miles real not null, seconds integer not null,
//           truck text not null, trailer text not null,
//           flag text not null,                 -- "" counted, else a flag name
//           review text not null default '',    -- of a flagged report: '', 'accepted'
//           reviewed_ms integer null,           --   (counted after all) or 'rejected'
//           flag_limit real not null default 0) -- what the flag was decided against:
//             a speed flag's mph, a wall_time flag's seconds since the previous report
// A report counts when flag = '' or review = 'accepted'; it is a flagged
// report awaiting review when flag <> '' and review = ''.
//   indexes reports(player_id, received_ms), reports(received_ms),
//           reports(id) of the flagged reports awaiting review,
//           reports(player_id, received_ms) of the flagged reports
//           reports(reviewed_ms) of the reviewed ones
// and the totals, kept in the transaction that stores each report (`day` is
// days since 1970-01-01 of received_ms, UTC; miles, seconds and reports count
// counted reports only, flagged those awaiting review; last_* is the latest report of
// the row, flagged or not, the later stored one on equal times):
//   player_days(player_id, day, server_id, miles, seconds, reports, flagged,
//               last_ms, last_truck, last_trailer)  -- key (day, player_id, server_id)
//   player_totals(player_id, server_id, ...the same)  -- all time, key (player_id, server_id)
//   index player_days(player_id, day)
// and the community's events (servers: ids joined by commas, "" for all; an id is never
// given twice, so that a removed event's announcement names no other):
//   events(id integer primary key, name text not null, start_ms integer not null,
//          end_ms integer not null, servers text not null, description text not null,
//          created_ms integer not null)
// and what is posted to the chat webhooks: each announcement once, by a key
// (its subject) that names it ("milestone/PLAYER_ID/MILES", "week/2026-W49", "event/ID"),
// with the JSON body to post ("": nothing to post), and its delivery to each
// webhook (known by the SHA-256 of its URL, never the URL itself):
//   announcements(id integer primary key, subject text not null unique, body text not null,
//                 created_ms integer not null)   -- index (created_ms)
//   announcement_deliveries(id integer primary key, announcement_id integer not null,
//       webhook text not null, state text not null,  -- 'waiting', 'sent', 'given_up'
//       attempts integer not null, created_ms integer not null,
//       next_ms integer not null,    -- not tried again before
//       lease_ms integer not null,   -- claimed by a sender until then
//       done_ms integer not null,    -- sent or given up then, else 0
//       unique (announcement_id, webhook))  -- index (webhook, next_ms) of the waiting ones
// and the players' leave (UTC days, both included; periods kept as given, any
// number of them, overlapping ones too):
//   player_leave(id integer primary key, player_id integer not null references players,
//                from_day integer not null, to_day integer not null,
//                created_ms integer not null)   -- index (player_id)
// A milestone is recorded in the transaction that adds the miles reaching it
// (a batch of reports, or the acceptance of flagged ones).
// Every total is derivable from `reports`, which stays the record of truth. The
// schema has a version (SQLite: user_version; PostgreSQL: schema_version); a
// database of an earlier version is upgraded when it is opened, the totals
// built from `reports` in one transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "core/events.h"
#include "core/report.h"
#include "store/staff_store.h"

namespace collector {

// Why a stored report is left out of the totals.
inline constexpr const char* flagSpeed = "speed";
inline constexpr const char* flagWallTime = "wall_time";

// One report as the store receives it: its body already parsed and validated.
struct IncomingReport : ReportBody {
  std::string keyHash;          // SHA-256 of the X-VORN-Key header, lower-case hex
  std::int64_t receivedMs = 0;  // when the request arrived
  std::string flag;             // "" or flagSpeed, decided before the store
  // What the flag was decided against: a speed flag's limit in mph (the
  // server's own or the common one); the store sets a wall_time flag's seconds
  // of wall time since the key's previous report.
  double flagLimit = 0.0;
  bool checkWallTime = true;  // apply the wall-time rule (off: --no-wall-time-check)
};

// What became of one report of a batch.
enum class AddOutcome {
  stored,         // committed, counted in the totals
  storedFlagged,  // committed with a flag, not counted
  unknownKey,     // no player has this key hash, or its key is revoked (401)
  wrongPlayer,    // the key belongs to a player of another name (403)
  failed,         // this report alone could not be stored; the others of its batch were (503)
};

struct PlayerInfo {
  std::string name;
  std::int64_t createdMs = 0;
  std::int64_t revokedMs = 0;  // 0 while the key is valid
};

// A player's leave: the UTC days [fromDay, toDay], days since 1970-01-01.
struct PlayerLeave {
  std::string name;
  std::int64_t fromDay = 0;
  std::int64_t toDay = 0;
};

// A player's latest reports of all time; 0: none.
struct PlayerLasts {
  std::string name;
  std::int64_t countedMs = 0;  // the latest counted report
  std::int64_t anyMs = 0;      // the latest report of any kind (flagged, rejected too)
};

struct ServerTotals {
  double miles = 0.0;
  std::int64_t seconds = 0;
};

// One player's line on the leaderboard, over the reports of one period. Only
// players with at least one stored report (counted or flagged) in the period
// appear. The last_* values come from the player's latest report in the
// period, flagged or not.
struct LeaderboardRow {
  std::string playerName;
  double miles = 0.0;        // counted reports only
  std::int64_t seconds = 0;  // counted reports only
  std::int64_t reports = 0;  // counted reports
  std::int64_t flaggedReports = 0;
  std::map<std::string, ServerTotals> servers;  // by server_id, counted reports only
  std::string lastTruck;
  std::string lastTrailer;
  std::int64_t lastSeenMs = 0;
  // 1-based, by counted miles, ties by name; 0: no place, no counted miles
  // in the period (placed in ranking.h), the row listed after the placed ones.
  std::int64_t rank = 0;
  // On the all-time board only: the rank on it as it stood at 00:00 UTC seven
  // days earlier, 0 when the player had no place on it then; -1 on other boards.
  std::int64_t rankThen = -1;
};

// Counted totals of one UTC day (all players, or one player).
struct DayTotals {
  std::int64_t day = 0;  // days since 1970-01-01
  double miles = 0.0;
  std::int64_t seconds = 0;
  std::int64_t reports = 0;
  std::map<std::string, ServerTotals> servers;  // by server_id, counted only
};

// One row of the export, as stored.
struct StoredReport : ReportBody {
  std::int64_t id = 0;
  std::int64_t receivedMs = 0;
  std::string flag;
  double flagLimit = 0.0;       // what the flag was decided against (IncomingReport)
  std::string review;           // "accepted", "rejected", or "" (awaiting review, or no flag)
  std::int64_t reviewedMs = 0;  // 0: not reviewed
  // A wall_time flag's limit counts from the player's creation: the player's
  // first report (set by the reads that tell flags: unreviewedFlags,
  // playerActivity).
  bool sincePlayerAdded = false;
};

// One player's page.
struct PlayerView {
  LeaderboardRow totals;                  // the row and rank on a period's board
  std::vector<DayTotals> days;            // each day of `daysPeriod` that has a report, ascending
  std::vector<StoredReport> lastReports;  // latest 20 of all time, newest first (flagged too)
  std::vector<StoredReport> flags;  // latest 20 flagged of all time, newest first, reviewed too
};

// How many reports have been reviewed so far, and the latest review's time:
// a reader of totals learns from it that reviews (made by any process) have
// changed past days.
struct ReviewMark {
  std::int64_t count = 0;
  std::int64_t lastMs = 0;
  bool operator==(const ReviewMark& other) const {
    return count == other.count && lastMs == other.lastMs;
  }
};
// One delivery of an announcement to a webhook, claimed by a sender.
struct ClaimedAnnouncement {
  std::int64_t deliveryId = 0;
  std::string body;            // the JSON to post
  std::int64_t attempts = 0;   // this one included: the claim's token
  std::int64_t createdMs = 0;  // when the delivery was made
};
// What became of a claimed delivery.
enum class Delivery { sent, retry, givenUp };

struct ReviewedReport {
  std::int64_t reviewedMs = 0;
  std::int64_t receivedMs = 0;
};

// The store's roles, each a small interface of its own, so that a part of
// the collector (or a test's fake) names only the role it uses. `Store`
// combines them all; every backend is one.

// Players and their keys.
class PlayerStore {
 public:
  virtual ~PlayerStore() = default;
  // Creates a player with the given key hash. Fails when the name or the hash
  // is taken (revoked players keep their name).
  virtual bool addPlayer(const std::string& name, const std::string& keyHash, std::int64_t nowMs,
                         std::string& error) = 0;
  // All players, by name.
  virtual bool listPlayers(std::vector<PlayerInfo>& players, std::string& error) = 0;
  // Revokes the player's key from now on, and voids their unused join links;
  // its stored reports stay. Fails when
  // there is no such player or it is revoked already. `nowMs` is read once
  // the revoke holds the lock that a batch of the player's reports takes, so
  // no report stored before the revoke is received after its time.
  virtual bool revokePlayer(const std::string& name, const std::function<std::int64_t()>& nowMs,
                            std::string& error) = 0;
  // Gives the player a new key hash: the name, reports and place stay, the
  // old key is refused from the next batch on (its unused join links void),
  // and a revoked player holds a valid key again. Fails with noSuchPlayerError when there is none.
  virtual bool replaceKey(const std::string& name, const std::string& keyHash,
                          std::string& error) = 0;
  // Records the player's leave over the UTC days [fromDay, toDay] (fromDay
  // <= toDay, checked before), beside any leave recorded before. Fails with
  // noSuchPlayerError when there is no such player.
  virtual bool addLeave(const std::string& name, std::int64_t fromDay, std::int64_t toDay,
                        std::int64_t nowMs, std::string& error) = 0;
  // Removes all of the player's leave; `removed` tells how many periods.
  // Fails as addLeave does.
  virtual bool clearLeave(const std::string& name, std::int64_t& removed, std::string& error) = 0;
  // The leave periods that share a day with the days [fromDay, untilDay).
  virtual bool listLeave(std::int64_t fromDay, std::int64_t untilDay,
                         std::vector<PlayerLeave>& leave, std::string& error) = 0;
};

// The intake of reports.
class IntakeStore {
 public:
  virtual ~IntakeStore() = default;
  // Stores a batch in one transaction, in the given order; outcomes[i] is the
  // fate of batch[i]. False (nothing stored) when the store failed.
  virtual bool addReports(const std::vector<IncomingReport>& batch,
                          std::vector<AddOutcome>& outcomes, std::string& error) = 0;
};

// The totals, as the boards, charts and player pages read them, and the
// review mark that tells their readers when reviews changed past days.
class BoardStore {
 public:
  virtual ~BoardStore() = default;
  // The whole leaderboard over a period, ordered by counted miles, most first
  // (to a millionth of a mile; ties by name), rank set, read from the totals.
  // A period counts whole UTC days: a bound inside a day stands for the start
  // of the next one.
  virtual bool leaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                           std::string& error) = 0;
  // Days of `period` with counted reports, all players together, ascending.
  virtual bool communityDays(const Period& period, std::vector<DayTotals>& days,
                             std::string& error) = 0;
  // One player's days and latest reports; view.totals holds only the name
  // (the routes take the row and rank from a board they computed already).
  // False with error "no player named 'NAME'" when there is no such player
  // (the route answers 404 then); `found` tells the two failures apart.
  virtual bool playerActivity(const std::string& name, const Period& daysPeriod, PlayerView& view,
                              bool& found, std::string& error) = 0;
  // The review mark now (a few index steps, whatever the size of `reports`).
  virtual bool reviewMark(ReviewMark& mark, std::string& error) = 0;
  // The reports reviewed at or after `sinceMs`.
  virtual bool reviewedSince(std::int64_t sinceMs, std::vector<ReviewedReport>& reports,
                             std::string& error) = 0;
};

// The stored reports as they are: their export and the review of flagged ones.
class ReviewStore {
 public:
  virtual ~ReviewStore() = default;
  // Every stored report, by id, handed to `each` one at a time.
  virtual bool exportReports(const std::function<void(const StoredReport&)>& each,
                             std::string& error) = 0;
  // Flagged reports not yet reviewed, received at or after `sinceMs`, of the
  // named player only when `player` is not empty; by id.
  virtual bool unreviewedFlags(std::int64_t sinceMs, const std::string& player,
                               std::vector<StoredReport>& reports, std::string& error) = 0;
  // Reviews flagged reports at `nowMs`, in one transaction: accepted ones
  // count in every total from now on, rejected ones stay out; either way they
  // leave `flaggedReports`. All or none: fails naming the first id that is
  // not a flagged report awaiting review.
  virtual bool reviewFlags(const std::vector<std::int64_t>& ids, bool accept, std::int64_t nowMs,
                           std::string& error) = 0;
  // Every player's latest counted report and latest report of any kind (an
  // index step or a few per player), in no order.
  virtual bool playerLasts(std::vector<PlayerLasts>& lasts, std::string& error) = 0;
};

// The community's events.
class EventStore {
 public:
  virtual ~EventStore() = default;
  // Stores an event (checked with eventProblem first) and sets its id.
  virtual bool addEvent(Event& event, std::int64_t nowMs, std::string& error) = 0;
  // Every event, the latest start first.
  virtual bool listEvents(std::vector<Event>& events, std::string& error) = 0;
  // Fails with "no event with id N" when there is none.
  virtual bool removeEvent(std::int64_t id, std::string& error) = 0;
  // Removes the events that ended before `endedBeforeMs`; `removed` tells
  // how many.
  virtual bool pruneEvents(std::int64_t endedBeforeMs, std::int64_t& removed,
                           std::string& error) = 0;
  // Changes the event of `event.id` (checked with eventProblem first) to
  // `event`; fails as removeEvent does.
  virtual bool changeEvent(const Event& event, std::string& error) = 0;
  // The event's board: the reports that arrived within [start, end) on its
  // servers, summed per player (players with any such report, counted or
  // flagged), ranked as the leaderboard. Reads only the reports of the window.
  virtual bool eventBoard(const Event& event, std::vector<LeaderboardRow>& rows,
                          std::string& error) = 0;
};

// The outbox of announcements and their deliveries to the webhooks.
class OutboxStore {
 public:
  virtual ~OutboxStore() = default;
  // Records an announcement under `key` unless one is there already
  // (`added` tells); `body` "" records that there is nothing to post.
  virtual bool addAnnouncement(const std::string& key, const std::string& body, std::int64_t nowMs,
                               bool& added, std::string& error) = 0;
  virtual bool hasAnnouncement(const std::string& key, bool& found, std::string& error) = 0;
  // For the webhook `webhook` (the SHA-256 of its URL): makes a waiting
  // delivery of every announcement with a body recorded at or after
  // `sinceMs` that it has none of, then claims the delivery due earliest
  // (next_ms at or before `nowMs`, and no lease standing) for
  // `leaseUntilMs - nowMs` of the database's own clock; a claim whose holder
  // does not settle it in that time is taken again after it. `found` false
  // when none is due. Several collectors on one database never claim the
  // same delivery at once, however their clocks differ (SQLite, one
  // machine: the collector's clock).
  virtual bool claimAnnouncement(const std::string& webhook, std::int64_t sinceMs,
                                 std::int64_t nowMs, std::int64_t leaseUntilMs,
                                 ClaimedAnnouncement& claimed, bool& found, std::string& error) = 0;
  // Settles a claimed delivery: sent or given up at `atMs`, or waiting again
  // until `atMs`; only while the claim holds (its attempt is the latest and
  // the delivery still waits): once another took it after the lease, this
  // fails (claimTakenError) and changes nothing.
  virtual bool settleAnnouncement(const ClaimedAnnouncement& claimed, Delivery outcome,
                                  std::int64_t atMs, std::string& error) = 0;
  // The announcements with a body recorded at or after `sinceMs` that the
  // webhook has not had (sent or given up) yet, whether or not its delivery
  // was made yet.
  virtual bool announcementsWaiting(const std::string& webhook, std::int64_t sinceMs,
                                    std::int64_t& count, std::string& error) = 0;
  // The deliveries to the webhook given up at or after `sinceMs`.
  virtual bool announcementsGivenUp(const std::string& webhook, std::int64_t sinceMs,
                                    std::int64_t& count, std::string& error) = 0;
  // Deletes the announcements recorded before `beforeMs` and their deliveries.
  virtual bool pruneAnnouncements(std::int64_t beforeMs, std::string& error) = 0;
  // The service's public URL (https://HOST, no slash at its end) that the
  // announcements the store words itself link to: a milestone to the
  // player's page. "", as before any call: no link. Called before the store
  // is shared between threads.
  virtual void linkPostsTo(const std::string& publicUrl) { (void)publicUrl; }
};

// The store's own state, for the health check and the metrics.
class StoreHealth {
 public:
  virtual ~StoreHealth() = default;
  // True when the store could take a commit now, else false with the reason
  // in `why`: a probe that writes, bounded in time (a few seconds at most;
  // PostgreSQL: 2 s on a connection of its own, never one the intake waits
  // for), run apart from the server's threads. A probe that only reads
  // proves nothing: a read-only server, a role without the right to insert
  // or a write lock held elsewhere all answer reads.
  virtual bool healthy(std::string& why) = 0;
  // Why no commit can succeed now, known without a query (a few system calls:
  // the database file removed or not writable), or "".
  virtual std::string cannotStore() { return ""; }

  // Numbers about the store's own upkeep, for the metrics (gauges).
  struct Gauge {
    const char* name;  // a Prometheus metric name
    const char* help;
    double value;
  };
  virtual std::vector<Gauge> gauges() { return {}; }
};

// How the reason of a failed write ends when its COMMIT lost its answer and
// what became of it could not be found out in time: it may have been stored.
inline constexpr const char* mayBeStored = "it may have been stored";

// Every role at once (the staff console's: staff_store.h): what a backend is, and what the service and the
// command line are given.
class Store : public PlayerStore,
              public IntakeStore,
              public BoardStore,
              public ReviewStore,
              public EventStore,
              public OutboxStore,
              public StaffStore,
              public StoreHealth {};

// Opens (and on first use creates the schema of) the store named by `url`:
// "sqlite:PATH" or "postgresql://..." (libpq's connection URI). Null with
// `error` set when the URL is malformed or the database cannot be opened.
std::unique_ptr<Store> openStore(const std::string& url, std::string& error);

}  // namespace collector
