// What the store's core computes beside its statements (sql.h): the
// per-report decision, the arithmetic of the totals, events' boards and
// milestones; and the SQL fragments its statements share with the schemas.
// Nothing above store/ includes this.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "core/numbers.h"
#include "store/store.h"

// A report counts in the totals when it was never flagged or its flag was
// accepted on review; it awaits review while flagged and not yet reviewed.
#define COLLECTOR_COUNTED "(flag = '' OR review = 'accepted')"
#define COLLECTOR_AWAITING_REVIEW "(flag <> '' AND review = '')"

// Miles are added as whole millionths of a mile (the plug-in's precision):
// each amount rounded to its nearest millionth, the millionths added (whole
// numbers, exact in a double up to 9 billion miles), the sum divided again.
// So a total is the same double whichever order and batches its reports came
// in: the intake, a review, a rebuild from the reports and either database
// give the very same number. COLLECTOR_MICRO_MILES is that rounding in SQL,
// the same double arithmetic as microMiles() (the amounts are never negative).
#define COLLECTOR_MICRO_MILES(x) "floor((" x ") * 1000000 + 0.5)"

// The SET clause that adds `excluded` to a totals row; the later stored
// report is the latest on equal times.
// clang-format off
#define COLLECTOR_TOTALS_UPDATE(table)                                                          \
  "miles = (" COLLECTOR_MICRO_MILES(table ".miles") " + "                                       \
  COLLECTOR_MICRO_MILES("excluded.miles") ") / 1000000, "                                       \
  "seconds = " table ".seconds + excluded.seconds, "                                            \
  "reports = " table ".reports + excluded.reports, "                                            \
  "flagged = " table ".flagged + excluded.flagged, "                                            \
  "last_truck = CASE WHEN excluded.last_ms >= " table ".last_ms "                               \
  "THEN excluded.last_truck ELSE " table ".last_truck END, "                                    \
  "last_trailer = CASE WHEN excluded.last_ms >= " table ".last_ms "                             \
  "THEN excluded.last_trailer ELSE " table ".last_trailer END, "                                \
  "last_ms = CASE WHEN excluded.last_ms >= " table ".last_ms "                                  \
  "THEN excluded.last_ms ELSE " table ".last_ms END"
// clang-format on

namespace collector {

// 1: players and reports; 2: and the totals; 3: and the review of flagged
// reports; 4: and the limit each flag was decided against; 5: and the events;
// 6: and the announcements; 7: and event ids never given twice (SQLite);
// 8: and the staff console's tables (staff_store.h)
constexpr std::int64_t schemaVersion = 9;

// --- The decision on one report ------------------------------------------

// What a store read, inside a batch's transaction, of the player who holds a
// report's key.
struct KeyHolder {
  bool known = false;  // some player holds this key hash
  std::int64_t id = 0;
  std::string name;
  bool revoked = false;
  std::int64_t createdMs = 0;
  bool reported = false;            // lastReceivedMs is the player's latest stored report
  std::int64_t lastReceivedMs = 0;  //   (of any earlier batch, or earlier in this one)
};

struct ReportDecision {
  AddOutcome outcome = AddOutcome::unknownKey;
  std::string flag;  // of a stored report: "" counted, else why not
  // What a flag was decided against: a speed flag's limit in mph, a
  // wall_time flag's seconds of wall time since the previous report.
  double flagLimit = 0.0;
};

// Unknown or revoked key (401), a name that is not the key's player (403),
// else stored, flagged when the report claims more time than passed since
// the player's latest stored report, or since its creation before its first
// (never when the clock was set back past that time: how much passed is unknown).
ReportDecision decideReport(const IncomingReport& report, const KeyHolder& holder);
// Records a stored report as the latest for the later reports of its batch.
void noteStored(KeyHolder& holder, std::int64_t receivedMs);

// --- Errors worded once ---------------------------------------------------

std::string duplicatePlayerError(const std::string& name);
std::string noSuchPlayerError(const std::string& name);
std::string noValidKeyError(const std::string& name);
std::string notAwaitingReviewError(std::int64_t id);
std::string newerSchemaError(const std::string& database, std::int64_t found);
std::string noSuchStaffError(const std::string& name);
std::string duplicateStaffError(const std::string& name);

// --- Totals ---------------------------------------------------------------

// One row of player_days or player_totals; also what a batch adds to one.
struct TotalsRow {
  std::int64_t playerId = 0;
  std::string playerName;  // when read for a board
  std::int64_t day = 0;    // player_days only
  std::string serverId;
  double miles = 0.0;
  std::int64_t seconds = 0;
  std::int64_t reports = 0;
  std::int64_t flagged = 0;
  std::int64_t lastMs = 0;
  std::string lastTruck;
  std::string lastTrailer;
};

// The day of the all-time rows (player_totals) in a TotalsDelta.
constexpr std::int64_t allTimeDay = std::numeric_limits<std::int64_t>::min();

// What a batch adds to the totals, keyed by player, day (allTimeDay for
// player_totals) and server.
struct TotalsKey {
  std::int64_t playerId;
  std::int64_t day;
  std::string serverId;
  // In the order of player_days' primary key, which writes fastest.
  bool operator<(const TotalsKey& other) const {
    return day != other.day             ? day < other.day
           : playerId != other.playerId ? playerId < other.playerId
                                        : serverId < other.serverId;
  }
};
using TotalsDelta = std::map<TotalsKey, TotalsRow>;
// Adds one stored report to its day's row and its all-time row: to the
// counted amounts, or else to the flagged reports while it awaits review.
void addToTotals(TotalsDelta& delta, std::int64_t playerId, std::int64_t receivedMs,
                 const ReportBody& report, bool counted, bool awaitingReview = true);
// What the review of a flagged report changes in the same rows: it leaves
// the flagged reports and, accepted, counts. Written with the same upsert,
// the rows' last report stays as it was.
void addReviewToTotals(TotalsDelta& delta, std::int64_t playerId, std::int64_t receivedMs,
                       const ReportBody& report, bool accept);

// Builds the ranked board from totals rows in any order (several rows of one
// player are summed; the latest last_ms gives the last truck).
class BoardBuilder {
 public:
  void add(const TotalsRow& row);
  std::vector<LeaderboardRow> finish();

 private:
  std::map<std::int64_t, LeaderboardRow> rows_;
};

// Sums totals rows (of player_days) into days, ascending.
std::vector<DayTotals> sumDays(const std::vector<TotalsRow>& rows);

// --- Events ---------------------------------------------------------------

// The ranked board of an event from rows of its window's reports summed per
// player and server (all servers: those of other servers are left out here).
std::vector<LeaderboardRow> eventRows(const Event& event, const std::vector<TotalsRow>& rows);
std::string noSuchEventError(std::int64_t id);
std::string claimTakenError();

// --- Announcements --------------------------------------------------------

// A player's counted all-time miles, summed over servers after a write.
struct PlayerMiles {
  std::string name;
  double miles = 0.0;
};
// The players whose counted all-time miles a write of `delta` raises.
std::vector<std::int64_t> playersGainingMiles(const TotalsDelta& delta);
// The milestone announcements (key, body) that the write of `delta` reached,
// given each such player's miles after it, each linking to the player's page
// on `publicUrl` (none when "").
struct NewAnnouncement {
  std::string key;
  std::string body;
};
std::vector<NewAnnouncement> milestonesReached(const TotalsDelta& delta,
                                               const std::map<std::int64_t, PlayerMiles>& after,
                                               const std::string& publicUrl);

}  // namespace collector
