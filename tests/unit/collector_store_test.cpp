// The store contract, the same table run on a SQLite file and, when
// VORN_TEST_POSTGRES_URL names a server (test_postgres.py starts one and runs
// this), on PostgreSQL: decisions, totals, boards, flag reviews, the upgrade of
// a first-schema database and a rebuild of the totals from `reports`.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "collector_store_backends.h"
#include "collector_test_report.h"
#include "core/text.h"
#include "store/sqlite_upkeep.h"
#include "store/store.h"
#include "vorn_deployment.h"

namespace {

using namespace collector;

constexpr std::int64_t day0 = 20000 * msPerDay;
constexpr std::int64_t created = day0 - 2 * 3600000;  // every player's key
const std::int64_t never = Period{}.untilMs;

// The reports of the contract, in batches, on two instances of one database:
// what each becomes tells the decision; those stored make the totals.
const struct {
  int batch;  // odd on the first instance, even on the second
  const char *key, *player, *server;
  std::int64_t ms;
  double miles;
  std::int64_t seconds;
  const char* truck;
  bool speeding, checkWallTime;
  AddOutcome outcome;
} reports[] = {
    // Wall time from the key's creation before its first report: 10 s over is allowed ...
    {1, "ka", "Ann", "s1", created + 100000, 10, 110, "T1", false, true, AddOutcome::stored},
    // ... 11 s over is not.
    {1, "kb", "Bob", "s1", created + 100000, 2, 111, "T0", false, true, AddOutcome::storedFlagged},
    {1, "kx", "Ann", "s1", created + 100000, 1, 1, "T9", false, true, AddOutcome::unknownKey},
    {1, "kd", "Dee", "s1", created + 100000, 1, 1, "T9", false, true, AddOutcome::unknownKey},
    {1, "ka", "Bob", "s1", created + 100000, 1, 1, "T9", false, true, AddOutcome::wrongPlayer},
    // Against the report stored earlier in the same batch.
    {1, "ka", "Ann", "s1", created + 101000, 3, 12, "T2", false, true, AddOutcome::storedFlagged},
    // Against the other instance's latest report (not the creation).
    {2, "ka", "Ann", "s2", created + 200000, 4, 110, "T3", false, true, AddOutcome::storedFlagged},
    {2, "kc", "Cy", "s2", day0 + 3 * msPerDay, 1, 10, "T5", true, true, AddOutcome::storedFlagged},
    // The last millisecond of a day and the first of the next; no wall-time check.
    {3, "ka", "Ann", "s1", day0 - 1, 10, 600, "T4", false, false, AddOutcome::stored},
    {3, "ka", "Ann", "s2", day0, 5, 300, "T6", false, false, AddOutcome::stored},
    {4, "kb", "Bob", "s1", day0 + 43200000, 25, 911, R"(Rig "7" \ {a,b})", false, false,
     AddOutcome::stored},
    // Revoked by the other instance since the key's previous batch here.
    {5, "kb", "Bob", "s1", day0 + 43201000, 1, 1, "T9", false, true, AddOutcome::unknownKey},
};

std::string describe(const std::vector<LeaderboardRow>& rows) {
  std::string text;
  for (const LeaderboardRow& row : rows) {
    char line[200];
    std::snprintf(line, sizeof line, "%s%lld %s %g/%lld %lld+%lld", text.empty() ? "" : "|",
                  static_cast<long long>(row.rank), row.playerName.c_str(), row.miles,
                  static_cast<long long>(row.seconds), static_cast<long long>(row.reports),
                  static_cast<long long>(row.flaggedReports));
    text += line;
    for (const auto& [server, totals] : row.servers)
      text += " " + server + ":" + std::to_string(int(totals.miles));
    text += " " + row.lastTruck;
  }
  return text;
}

std::string describe(const std::vector<DayTotals>& days) {
  std::string text;
  for (const DayTotals& day : days) {
    text += (text.empty() ? "" : "|") + std::to_string(day.day - day0 / msPerDay) + ": " +
            std::to_string(int(day.miles)) + "/" + std::to_string(day.reports);
  }
  return text;
}

// Boards, days and a player's view, which every way to the same reports gives.
void expectTotals(Store& store, const std::string& how, const char* allTime) {
  const struct {
    const char* name;
    Period period;
    const char* board;
  } boards[] = {
      {"all time", {}, allTime},
      {"the day ending at 23:59:59.999",
       {day0 - msPerDay, day0},
       "1 Ann 20/710 2+2 s1:20 T4|0 Bob 0/0 0+1 T0"},
      {"the day after",
       {day0, day0 + msPerDay},
       "1 Bob 25/911 1+0 s1:25 "
       R"(Rig "7" \ {a,b})"
       "|2 Ann 5/300 1+0 s2:5 T6"},
      {"a day with no report", {day0 + msPerDay, day0 + 2 * msPerDay}, ""},
  };
  std::string error;
  for (const auto& expected : boards) {
    std::vector<LeaderboardRow> rows;
    ASSERT_TRUE(store.leaderboard(expected.period, rows, error)) << error;
    EXPECT_EQ(describe(rows), expected.board) << how << expected.name;
  }
  std::vector<DayTotals> days;
  ASSERT_TRUE(store.communityDays({}, days, error)) << error;
  EXPECT_EQ(describe(days), "-1: 20/2|0: 30/2") << how;  // a day of flagged reports only is none
  PlayerView view;
  bool found = false;
  ASSERT_TRUE(store.playerActivity("Ann", {day0, never}, view, found, error)) << error;
  std::string trucks;
  for (const StoredReport& report : view.lastReports) trucks += report.truck;
  trucks += " flagged ";
  for (const StoredReport& report : view.flags) trucks += report.truck;
  EXPECT_EQ(describe(view.days) + " " + trucks, "0: 5/1 T6T4T3T2T1 flagged T3T2") << how;
  EXPECT_FALSE(store.playerActivity("Nobody", {}, view, found, error) || found);
  EXPECT_EQ(error, "no player named 'Nobody'");
}

constexpr const char* arrivedBoard =
    "1 Ann 25/1010 3+2 s1:20 s2:5 T6|2 Bob 25/911 1+1 s1:25 "
    R"(Rig "7" \ {a,b})"
    "|0 Cy 0/0 0+1 T5";  // flagged only: no place

TEST(StoreContract, ATableOfReportsGivesTheSameDecisionsTotalsAndReviewsOnEveryStore) {
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto first = open(backend), second = open(backend);
    ASSERT_TRUE(first && second);
    std::string error;
    for (const char* name : {"Ann", "Bob", "Cy", "Dee"}) {
      const std::string key = std::string("k") + char(name[0] - 'A' + 'a');
      ASSERT_TRUE(first->addPlayer(name, key, created, error)) << error;
    }
    ASSERT_TRUE(second->revokePlayer(
        "Dee", [] { return created; }, error))
        << error;
    EXPECT_FALSE(second->addPlayer("Ann", "new", 0, error));
    EXPECT_EQ(error, "a player named 'Ann' or with that key exists already");
    EXPECT_FALSE(first->revokePlayer(
        "Dee", [] { return std::int64_t{0}; }, error));
    EXPECT_EQ(error, "no player named 'Dee' with a valid key");

    for (int batch = 1; batch <= 5; ++batch) {
      if (batch == 5) {
        ASSERT_TRUE(second->revokePlayer(
            "Bob", [] { return day0 + 43200500; }, error))
            << error;
      }
      std::vector<IncomingReport> incoming;
      std::vector<AddOutcome> expected, outcomes;
      for (const auto& r : reports) {
        if (r.batch != batch) continue;
        IncomingReport report;
        static_cast<ReportBody&>(report) = {r.player, r.server, r.miles, r.seconds, r.truck, "R"};
        report.keyHash = r.key;
        report.receivedMs = r.ms;
        report.flag = r.speeding ? flagSpeed : "";
        report.flagLimit = r.speeding ? 80.0 : 0.0;
        report.checkWallTime = r.checkWallTime;
        incoming.push_back(report);
        expected.push_back(r.outcome);
      }
      ASSERT_TRUE((batch % 2 ? first : second)->addReports(incoming, outcomes, error)) << error;
      EXPECT_EQ(outcomes, expected) << "batch " << batch;
    }
    std::string flags;
    ASSERT_TRUE(first->exportReports(
        [&](const StoredReport& report) {
          flags += report.flag +
                   (report.flag.empty() ? "" : " " + shortestNumber(report.flagLimit)) + ",";
        },
        error));
    // Each flag with what it was decided against: the wall time since the
    // previous report, or the speed limit.
    EXPECT_EQ(flags, ",wall_time 100,wall_time 1,wall_time 99,speed 80,,,,");
    expectTotals(*second, "arrived: ", arrivedBoard);

    // Reviews: all or none; an accepted report counts, a rejected one stays out.
    std::vector<StoredReport> waiting;
    ASSERT_TRUE(first->unreviewedFlags(0, "Ann", waiting, error)) << error;
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_FALSE(second->reviewFlags({waiting[0].id, 1}, true, 1, error));
    EXPECT_EQ(error, "report 1 is not a flagged report awaiting review");
    ASSERT_TRUE(second->reviewFlags({waiting[0].id, waiting[1].id}, true, 1, error)) << error;
    ASSERT_TRUE(first->unreviewedFlags(created + 100001, "", waiting, error)) << error;
    ASSERT_EQ(waiting.size(), 1u);  // Cy's; Bob's came before
    ASSERT_TRUE(first->reviewFlags({waiting[0].id}, false, 7, error)) << error;
    // The mark that tells other processes of reviews, and what they reviewed.
    ReviewMark mark;
    std::vector<ReviewedReport> since;
    ASSERT_TRUE(second->reviewMark(mark, error)) << error;
    ASSERT_TRUE(second->reviewedSince(2, since, error)) << error;
    EXPECT_EQ((std::vector<std::int64_t>{mark.count, mark.lastMs, std::int64_t(since.size()),
                                         since.empty() ? 0 : since[0].reviewedMs}),
              (std::vector<std::int64_t>{3, 7, 1, 7}));
    const char* reviewed =
        "1 Ann 32/1132 5+0 s1:23 s2:9 T6|2 Bob 25/911 1+1 s1:25 "
        R"(Rig "7" \ {a,b})"
        "|0 Cy 0/0 0+0 T5";
    std::vector<LeaderboardRow> rows;
    ASSERT_TRUE(second->leaderboard({}, rows, error)) << error;
    EXPECT_EQ(describe(rows), reviewed);

    // The totals rebuilt from `reports` equal the kept ones.
    first.reset();
    second.reset();
    ASSERT_TRUE(backend.execute(backend.name == "sqlite"
                                    ? "PRAGMA user_version = 0"
                                    : "UPDATE schema_version SET version = 1"));
    second = open(backend);
    ASSERT_TRUE(second);
    ASSERT_TRUE(second->leaderboard({}, rows, error)) << error;
    EXPECT_EQ(describe(rows), reviewed) << "rebuilt";
  }
}

// Leave is kept as recorded and read by the days it shares with a period; the
// latest counted report passes over flagged ones, reviewed or not.
TEST(StoreContract, LeaveAndTheLatestCountedReport) {
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto store = open(backend);
    ASSERT_TRUE(store);
    std::string error;
    for (const char* name : {"Ann", "Bob", "Cy"}) {
      ASSERT_TRUE(store->addPlayer(name, name, created, error)) << error;
    }
    std::vector<AddOutcome> outcomes;
    ASSERT_TRUE(store->addReports({testReport("Ann", 5, day0), testReport("Ann", 9, day0 + 2, true),
                                   testReport("Bob", 5, day0), testReport("Bob", 9, day0 + 3, true)},
                                  outcomes, error))
        << error;
    std::vector<StoredReport> waiting;
    ASSERT_TRUE(store->unreviewedFlags(0, "Ann", waiting, error) && waiting.size() == 1) << error;
    ASSERT_TRUE(store->reviewFlags({waiting[0].id}, false, day0 + 9, error)) << error;
    const auto lasts = [&] {
      std::vector<PlayerLasts> rows;
      EXPECT_TRUE(store->playerLasts(rows, error)) << error;
      std::sort(rows.begin(), rows.end(),
                [](const PlayerLasts& a, const PlayerLasts& b) { return a.name < b.name; });
      std::string text;
      for (const PlayerLasts& row : rows) {
        text += row.name + " " + std::to_string(row.countedMs ? row.countedMs - day0 : -1) + " " +
                std::to_string(row.anyMs ? row.anyMs - day0 : -1) + "|";
      }
      return text;
    };
    EXPECT_EQ(lasts(), "Ann 0 2|Bob 0 3|Cy -1 -1|");  // rejected, awaiting review, none
    ASSERT_TRUE(store->unreviewedFlags(0, "Bob", waiting, error) && waiting.size() == 1) << error;
    ASSERT_TRUE(store->reviewFlags({waiting[0].id}, true, day0 + 9, error)) << error;
    EXPECT_EQ(lasts(), "Ann 0 2|Bob 3 3|Cy -1 -1|");

    EXPECT_TRUE(store->addLeave("Ann", 10, 12, 1, error) &&
                store->addLeave("Ann", 11, 20, 1, error) &&
                store->addLeave("Bob", 30, 30, 1, error))
        << error;
    EXPECT_FALSE(store->addLeave("Nobody", 1, 2, 1, error));
    EXPECT_EQ(error, "no player named 'Nobody'");
    const auto leave = [&](std::int64_t fromDay, std::int64_t untilDay) {
      std::vector<PlayerLeave> rows;
      EXPECT_TRUE(store->listLeave(fromDay, untilDay, rows, error)) << error;
      std::sort(rows.begin(), rows.end(), [](const PlayerLeave& a, const PlayerLeave& b) {
        return a.name + std::to_string(a.fromDay) < b.name + std::to_string(b.fromDay);
      });
      std::string text;
      for (const PlayerLeave& row : rows) {
        text += row.name + " " + std::to_string(row.fromDay) + "-" + std::to_string(row.toDay) + "|";
      }
      return text;
    };
    EXPECT_EQ(leave(12, 30), "Ann 10-12|Ann 11-20|");  // the last day of one, not the first of the other
    EXPECT_EQ(leave(13, 31), "Ann 11-20|Bob 30-30|");
    std::int64_t removed = 0;
    EXPECT_TRUE(store->clearLeave("Ann", removed, error)) << error;
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(leave(0, 100), "Bob 30-30|");
    EXPECT_FALSE(store->clearLeave("Nobody", removed, error));
    EXPECT_EQ(error, "no player named 'Nobody'");
  }
}

// Twelve reports of 30.31 miles in all, in batches of 1, 3, 4 and 4, the last
// one flagged and then accepted: added up in the order they came, or per batch,
// they make 30.310000000000002 or 30.309999999999995; the totals, kept or
// rebuilt, are 30.31 exactly.
TEST(StoreContract, TheTotalsRebuiltFromTheReportsAreTheKeptOnesExactly) {
  const double miles[] = {1.36, 4.24, 1.1, 1.73, 4.45, 3.82, 1.53, 0.61, 4.31, 3.02, 1.45, 2.69};
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto store = open(backend);
    ASSERT_TRUE(store);
    std::string error;
    ASSERT_TRUE(store->addPlayer("Eve", "ke", created, error)) << error;
    std::size_t next = 0;
    for (const std::size_t size : {1, 3, 4, 4}) {
      std::vector<IncomingReport> batch(size);
      std::vector<AddOutcome> outcomes;
      for (IncomingReport& report : batch) {
        static_cast<ReportBody&>(report) = {"Eve", "s1", miles[next], 60, "T", "R"};
        report.keyHash = "ke";
        report.receivedMs = day0 + static_cast<std::int64_t>(next++) * 60000;
        report.flag = next == 12 ? flagSpeed : "";
      }
      ASSERT_TRUE(store->addReports(batch, outcomes, error)) << error;
    }
    std::vector<StoredReport> waiting;
    ASSERT_TRUE(store->unreviewedFlags(0, "", waiting, error) && waiting.size() == 1) << error;
    ASSERT_TRUE(store->reviewFlags({waiting[0].id}, true, day0 + msPerDay, error)) << error;
    const auto totals = [&](Store& from) {
      std::vector<double> all;
      for (const Period& period : {Period{}, Period{day0, day0 + msPerDay}}) {
        std::vector<LeaderboardRow> rows;
        EXPECT_TRUE(from.leaderboard(period, rows, error) && rows.size() == 1) << error;
        if (rows.size() == 1) all.insert(all.end(), {rows[0].miles, rows[0].servers["s1"].miles});
      }
      std::vector<DayTotals> days;
      EXPECT_TRUE(from.communityDays({}, days, error) && days.size() == 1) << error;
      if (days.size() == 1) all.push_back(days[0].miles);
      return all;
    };
    const std::vector<double> kept = totals(*store);
    EXPECT_EQ(kept, std::vector<double>(5, 30.31));
    EXPECT_EQ(shortestNumber(kept.at(0)), "30.31");
    store.reset();
    ASSERT_TRUE(backend.execute(backend.name == "sqlite"
                                    ? "PRAGMA user_version = 0"
                                    : "UPDATE schema_version SET version = 1"));
    store = open(backend);
    ASSERT_TRUE(store);
    EXPECT_EQ(totals(*store), kept) << "rebuilt";
  }
}

TEST(StoreContract, AFirstSchemaDatabaseIsUpgradedWithItsTotals) {
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    std::string sql = backend.firstSchema;
    for (const char* name : {"Ann", "Bob", "Cy"}) {
      sql += "INSERT INTO players(name, key_hash, created_ms) VALUES('" + std::string(name) +
             "', 'k" + name + "', 0);";
    }
    for (const auto& r : reports) {
      if (r.outcome == AddOutcome::stored || r.outcome == AddOutcome::storedFlagged) {
        const bool flagged = r.outcome == AddOutcome::storedFlagged;
        std::string truck = r.truck;
        sql +=
            "INSERT INTO reports(player_id, received_ms, server_id, miles, seconds, truck, "
            "trailer, flag) SELECT id, " +
            std::to_string(r.ms) + ", '" + r.server + "', " + std::to_string(r.miles) + ", " +
            std::to_string(r.seconds) + ", '" + truck + "', 'R', '" +
            (flagged ? (r.speeding ? "speed" : "wall_time") : "") +
            "' FROM players WHERE name = '" + r.player + "';";
      }
    }
    ASSERT_TRUE(backend.execute(sql));
    auto store = open(backend);
    ASSERT_TRUE(store);
    expectTotals(*store, "upgraded: ", arrivedBoard);
  }
}

// The boards of events over reports at their edges, on several servers, flagged
// and reviewed.
TEST(StoreContract, AnEventsBoardReadsTheWindowOfArrivalOnTheEventsServers) {
  const std::string s1 = deployment::knownServerIds[0], s2 = deployment::knownServerIds[1],
                    s3 = deployment::knownServerIds[2];
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto store = open(backend);
    ASSERT_TRUE(store);
    std::string error;
    for (const char* name : {"Ann", "Bob", "Cy"})
      ASSERT_TRUE(store->addPlayer(name, name, 0, error));
    const std::int64_t t = 1797015600000;
    const struct {
      const char* player;
      const std::string& server;
      std::int64_t ms;
      double miles;
      bool flagged;
    } reports[] = {
        {"Ann", s1, t - 1, 1000, false},        // before the start
        {"Ann", s1, t, 10, false},              // at the start instant
        {"Ann", s2, t + 1000, 5, false},        // another server
        {"Bob", s1, t + 3599999, 20, false},    // the last instant
        {"Bob", s1, t + 3600000, 1000, false},  // at the end instant
        {"Cy", s3, t + 60000, 50, false},       // a server of no event but all-server ones
        {"Cy", s1, t + 120000, 70, true},       // flagged: listed, not counted until accepted
    };
    // A second window, a day on, for the driving time each report claims: it
    // fits in the time since the window opened, or since the player's report
    // before it when that came later, by the wall-time rule (10 s over, and a
    // tenth), else the report is flagged for the event.
    const std::int64_t t2 = t + 86400000;
    const struct {
      std::int64_t ms, seconds;
      double miles;
    } driven[] = {
        {t2 - 600000, 1, 100},     // before the window
        {t2 + 100000, 110, 1},     // 100 s since the window opened: 10 s over
        {t2 + 200000, 111, 2},     // 100 s since the report before: 11 s over
        {t2 + 360000, 36000, 1050},  // ten hours, six minutes after the one before
    };
    std::vector<IncomingReport> batch;
    for (const auto& r : reports) {
      batch.push_back(testReport(r.player, r.miles, r.ms, r.flagged, r.server));
      batch.back().seconds = 1;  // these test where the window's edges fall
    }
    for (const auto& r : driven) {
      batch.push_back(testReport("Dee", r.miles, r.ms, false, s3));
      batch.back().seconds = r.seconds;
    }
    ASSERT_TRUE(store->addPlayer("Dee", "Dee", 0, error));
    std::vector<AddOutcome> outcomes;
    ASSERT_TRUE(store->addReports(batch, outcomes, error)) << error;

    const auto board = [&](const Event& event) {
      std::vector<LeaderboardRow> rows;
      EXPECT_TRUE(store->eventBoard(event, rows, error)) << error;
      std::string text;
      for (const LeaderboardRow& row : rows) {
        char line[96];
        std::snprintf(line, sizeof line, "%s%lld %s %g+%lld", text.empty() ? "" : "|",
                      static_cast<long long>(row.rank), row.playerName.c_str(), row.miles,
                      static_cast<long long>(row.flaggedReports));
        text += line;
      }
      return text;
    };
    const struct {
      std::vector<std::string> servers;
      std::int64_t from, until;
      const char* board;
    } rows[] = {
        {{}, t, t + 3600000, "1 Cy 50+1|2 Bob 20+0|3 Ann 15+0"},
        {{s1}, t, t + 3600000, "1 Bob 20+0|2 Ann 10+0|0 Cy 0+1"},
        {{s1, s2}, t, t + 3600000, "1 Bob 20+0|2 Ann 15+0|0 Cy 0+1"},
        {{s2}, t + 1001, t + 3600000, ""},  // an event with no report
        {{}, t + 3600000, t + 3600001, "1 Bob 1000+0"},
        {{}, t2, t2 + 10800000, "1 Dee 1+2"},
    };
    for (const auto& row : rows) {
      EXPECT_EQ(board(Event{0, "E", row.from, row.until, row.servers, ""}), row.board)
          << joinServers(row.servers) << " from " << row.from - t;
    }
    std::vector<StoredReport> flagged;
    ASSERT_TRUE(store->unreviewedFlags(0, "", flagged, error));
    ASSERT_EQ(flagged.size(), 1u);
    ASSERT_TRUE(store->reviewFlags({flagged[0].id}, true, t + 7200000, error)) << error;
    EXPECT_EQ(board(Event{0, "E", t, t + 3600000, {s1}, ""}), "1 Cy 70+0|2 Bob 20+0|3 Ann 10+0");

    Event stored{0, "Friday", t, t + 3600000, {s1, s2}, "Meet at the depot"};
    ASSERT_TRUE(store->addEvent(stored, t, error)) << error;
    std::vector<Event> events;
    ASSERT_TRUE(store->listEvents(events, error));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, stored.id);
    EXPECT_EQ(events[0].servers, stored.servers);
    EXPECT_EQ(events[0].description, stored.description);
    EXPECT_TRUE(store->removeEvent(stored.id, error));
    EXPECT_FALSE(store->removeEvent(stored.id, error));
    EXPECT_EQ(error, "no event with id " + std::to_string(stored.id));
    // A removed event's id is never given again (its announcement names it).
    Event next = stored;
    ASSERT_TRUE(store->addEvent(next, t, error)) << error;
    EXPECT_EQ(next.id, stored.id + 1);
    // Pruned: the events that ended before the time given, not one that ended then.
    std::int64_t removed = -1;
    ASSERT_TRUE(store->pruneEvents(next.endMs, removed, error)) << error;
    EXPECT_EQ(removed, 0);
    ASSERT_TRUE(store->pruneEvents(next.endMs + 1, removed, error)) << error;
    EXPECT_EQ(removed, 1);
    ASSERT_TRUE(store->listEvents(events, error));
    EXPECT_TRUE(events.empty());
  }
}

// A database of version 6, whose events' ids SQLite gave again once the
// latest was removed, gives none of them again after its upgrade: neither
// one still held nor one that an announcement names.
TEST(SqliteStore, AnEventIdOnceGivenIsNotGivenAgainAfterTheUpgrade) {
  const Backend sqlite = backends().front();
  const struct {
    const char* announced;
    std::int64_t next;
  } rows[] = {{"", 3}, {"event/3", 4}, {"event/2", 3}, {"week/2026-W50", 3}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.announced);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::remove((sqlite.url.substr(7) + suffix).c_str());
    }
    std::string error;
    ASSERT_TRUE(open(sqlite));
    std::string sql =
        "DROP TABLE events; CREATE TABLE events(id INTEGER PRIMARY KEY, name TEXT NOT NULL, "
        "start_ms INTEGER NOT NULL, end_ms INTEGER NOT NULL, servers TEXT NOT NULL, description "
        "TEXT NOT NULL, created_ms INTEGER NOT NULL); INSERT INTO events VALUES (1, 'A', 0, 1, "
        "'', '', 0), (2, 'B', 0, 1, '', 'kept', 0); PRAGMA user_version = 6;";
    if (*row.announced) {
      sql += "INSERT INTO announcements(subject, body, created_ms) VALUES ('" +
             std::string(row.announced) + "', '', 0);";
    }
    ASSERT_TRUE(sqlite.execute(sql));
    auto store = open(sqlite);
    ASSERT_TRUE(store);
    Event event{0, "C", 0, 1, {}, ""};
    ASSERT_TRUE(store->addEvent(event, 0, error)) << error;
    EXPECT_EQ(event.id, row.next);
    std::vector<Event> events;
    ASSERT_TRUE(store->listEvents(events, error));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].description, "kept");  // the latest id first
  }
}

// Milestones are recorded in the transaction that reaches them (a batch of
// either instance, an acceptance), each once; each webhook gets its own
// deliveries, claimed by one instance at a time and taken again when a
// claim's lease has run out; old ones are pruned; a version-5 database gains
// the tables. A milestone links to the player's page when the store that
// records it knows the public URL.
TEST(StoreContract, AnnouncementsAreRecordedOnceAndEachDeliveryClaimedByOne) {
  for (const Backend& backend : backends()) {
    SCOPED_TRACE(backend.name);
    auto first = open(backend), second = open(backend);
    ASSERT_TRUE(first && second);
    second->linkPostsTo("https://vorn.example/hub");
    std::string error;
    for (const char* name : {"Ann", "Bob"}) ASSERT_TRUE(first->addPlayer(name, name, 0, error));
    const auto send = [&](Store& store, const char* player, double miles, std::int64_t ms,
                          bool flagged) {
      std::vector<AddOutcome> outcomes;
      ASSERT_TRUE(store.addReports({testReport(player, miles, ms, flagged)}, outcomes, error))
          << error;
    };
    send(*first, "Ann", 999.999999, 10, false);
    send(*second, "Ann", 0.000001, 11, false);  // 1,000
    send(*second, "Bob", 6000, 11, true);       // flagged: not yet
    send(*first, "Ann", 4000, 12, false);       // 5,000 exactly
    std::vector<StoredReport> flagged;
    ASSERT_TRUE(first->unreviewedFlags(0, "", flagged, error)) << error;
    ASSERT_TRUE(second->reviewFlags({flagged.at(0).id}, true, 13, error)) << error;  // both
    bool added = false, found = false;
    ASSERT_TRUE(first->addAnnouncement("week/2026-W49", "{}", 14, added, error) && added);
    ASSERT_TRUE(second->addAnnouncement("week/2026-W49", "{}", 14, added, error) && !added);
    ASSERT_TRUE(first->addAnnouncement("week/2026-W50", "", 14, added, error) && added);
    ASSERT_TRUE(second->hasAnnouncement("week/2026-W50", found, error) && found);
    ASSERT_TRUE(second->hasAnnouncement("week/2026-W51", found, error) && !found);

    // Webhook w1: every announcement with a body, once, in the order made.
    // A lease is judged by the database's clock (PostgreSQL's own): one of
    // `held` stands through the test, one of 0 ends at once.
    constexpr std::int64_t held = 1000000000;
    std::string claimedBodies;
    std::vector<ClaimedAnnouncement> w1;
    for (std::int64_t lease : {held, held, held, held, std::int64_t{0}}) {
      ClaimedAnnouncement claimed;
      ASSERT_TRUE(first->claimAnnouncement("w1", 0, 100, 100 + lease, claimed, found, error))
          << error;
      ASSERT_TRUE(found);
      w1.push_back(claimed);
      claimedBodies += claimed.body.substr(0, 2) + "|";
    }
    EXPECT_EQ(claimedBodies, R"({"|{"|{"|{"|{}|)");
    const std::string link = "counted miles.\\n<https://vorn.example/hub/players/";
    EXPECT_NE(w1[0].body.find("Ann** has driven 1,000 " + link + "Ann>"), std::string::npos)
        << w1[0].body;  // reached on the second, in a batch
    EXPECT_NE(w1[1].body.find("Ann** has driven 5,000 counted miles.\"}"), std::string::npos)
        << w1[1].body;  // on the first, which links to nothing
    EXPECT_NE(w1[3].body.find("Bob** has driven 5,000 " + link + "Bob>"), std::string::npos)
        << w1[3].body;  // on the second, in a review
    // The fifth's lease ended: another takes it, and the first's settle then
    // changes nothing, whatever it reports.
    ClaimedAnnouncement claimed;
    ASSERT_TRUE(second->claimAnnouncement("w1", 0, 100, 100 + held, claimed, found, error));
    ASSERT_TRUE(found);
    EXPECT_EQ(std::pair(claimed.deliveryId, claimed.attempts), std::pair(w1[4].deliveryId, std::int64_t{2}));
    for (const Delivery outcome : {Delivery::sent, Delivery::retry, Delivery::givenUp}) {
      EXPECT_FALSE(first->settleAnnouncement(w1[4], outcome, 150, error));
      EXPECT_EQ(error, "its lease ended and another sender claimed it since: the outcome is that "
                       "one's to record");
    }
    ASSERT_TRUE(second->claimAnnouncement("w1", 0, 199, 199 + held, claimed, found, error));
    EXPECT_FALSE(found) << "claimed while leased";
    ASSERT_TRUE(first->settleAnnouncement(w1[0], Delivery::sent, 150, error));
    ASSERT_TRUE(first->settleAnnouncement(w1[1], Delivery::givenUp, 150, error));
    ASSERT_TRUE(first->settleAnnouncement(w1[2], Delivery::retry, 500, error));
    ASSERT_TRUE(first->settleAnnouncement(w1[3], Delivery::retry, 200, error));
    // A settled claim settles no more: the fourth, due again at 200, is
    // another claim's.
    EXPECT_FALSE(first->settleAnnouncement(w1[0], Delivery::retry, 150, error));
    // At 200 the fourth is due again; the third at 500; the fifth stays
    // with its second claimant.
    std::vector<std::int64_t> taken;
    for (const std::int64_t now : {200, 200, 499, 500}) {
      ASSERT_TRUE(second->claimAnnouncement("w1", 0, now, now + held, claimed, found, error));
      taken.push_back(found ? claimed.deliveryId - w1[0].deliveryId + 10 * claimed.attempts : -1);
    }
    EXPECT_EQ(taken, (std::vector<std::int64_t>{23, -1, -1, 22}));
    // Waiting: those not sent or given up yet, delivery made or not, of those
    // recorded since the time given.
    const auto waiting = [&](const char* webhook, std::int64_t sinceMs) {
      std::int64_t count = -1;
      EXPECT_TRUE(first->announcementsWaiting(webhook, sinceMs, count, error)) << error;
      return count;
    };
    EXPECT_EQ(waiting("w1", 0), 3);
    EXPECT_EQ(waiting("w2", 0), 5) << "none delivered to it yet";
    EXPECT_EQ(waiting("w2", 14), 1);
    EXPECT_EQ(waiting("w2", 15), 0);
    std::int64_t givenUp = 0;
    ASSERT_TRUE(second->announcementsGivenUp("w1", 150, givenUp, error) && givenUp == 1);
    ASSERT_TRUE(second->announcementsGivenUp("w1", 151, givenUp, error) && givenUp == 0);
    // Another webhook has deliveries of its own; one made later sees only
    // what was recorded since the time given.
    ASSERT_TRUE(second->claimAnnouncement("w2", 0, 600, 600 + held, claimed, found, error) && found);
    EXPECT_EQ(claimed.body, w1[0].body);
    ASSERT_TRUE(second->claimAnnouncement("w3", 14, 600, 600 + held, claimed, found, error) && found);
    EXPECT_EQ(claimed.body, "{}");
    ASSERT_TRUE(second->claimAnnouncement("w3", 14, 600, 600 + held, claimed, found, error) &&
                !found);

    // Pruned: what was recorded before 14, with its deliveries.
    ASSERT_TRUE(first->pruneAnnouncements(14, error)) << error;
    EXPECT_EQ(waiting("w1", 0), 1);
    ASSERT_TRUE(first->hasAnnouncement("week/2026-W49", found, error) && found);
    ASSERT_TRUE(first->hasAnnouncement("milestone/1/1000", found, error) && !found);

    first.reset();
    second.reset();
    ASSERT_TRUE(backend.execute("DROP TABLE announcement_deliveries; DROP TABLE announcements;" +
                                std::string(backend.name == "sqlite"
                                                ? "PRAGMA user_version = 5"
                                                : "UPDATE schema_version SET version = 5")));
    first = open(backend);
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->addAnnouncement("week/2026-W49", "{}", 14, added, error) && added) << error;
    std::vector<LeaderboardRow> rows;
    ASSERT_TRUE(first->leaderboard({}, rows, error)) << error;
    EXPECT_EQ(describe(rows), "1 Bob 6000/60 1+0 s1:6000 Truck|2 Ann 5000/180 3+0 s1:5000 Truck");
  }
}

// The holders of the keys of recent batches are kept for the next ones, at
// most 65,536 of them: one more empties the room before it is kept.
TEST(SqliteStore, KeepsAtMostSoManyKeyHoldersBetweenBatches) {
  constexpr int bound = 65536;
  const Backend sqlite = backends().front();
  auto store = open(sqlite);
  ASSERT_TRUE(store);
  ASSERT_TRUE(sqlite.execute(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i <= " +
      std::to_string(bound) +
      ") INSERT INTO players(name, key_hash, created_ms) SELECT 'p' || i, 'k' || i, " +
      std::to_string(created) + " FROM n"));
  const auto kept = [&] {
    for (const Store::Gauge& gauge : store->gauges()) {
      if (std::string(gauge.name) == "vorn_sqlite_kept_key_holders") return gauge.value;
    }
    return -1.0;
  };
  const struct {
    int first, last;  // the players of one batch
    double kept;      // afterwards
  } rows[] = {{1, bound, bound}, {bound + 1, bound + 1, 1}};
  for (const auto& row : rows) {
    std::vector<IncomingReport> batch;
    for (int i = row.first; i <= row.last; ++i) {
      IncomingReport report;
      static_cast<ReportBody&>(report) = {"p" + std::to_string(i), "s1", 1, 60, "T", "R"};
      report.keyHash = "k" + std::to_string(i);
      report.receivedMs = day0;
      batch.push_back(report);
    }
    std::vector<AddOutcome> outcomes;
    std::string error;
    ASSERT_TRUE(store->addReports(batch, outcomes, error)) << error;
    EXPECT_EQ(outcomes.back(), AddOutcome::stored);
    EXPECT_EQ(kept(), row.kept) << row.last;
  }
}

// A report whose insert the database refuses (here a trigger's ABORT) is
// answered `failed` alone: the others of its batch are stored, and it counts
// neither in the totals nor as the key's latest report for the wall-time
// rule of the next one.
TEST(SqliteStore, AReportTheDatabaseRefusesFailsAlone) {
  const Backend sqlite = backends().front();
  auto store = open(sqlite);
  ASSERT_TRUE(store);
  std::string error;
  ASSERT_TRUE(store->addPlayer("Ann", "Ann", created, error)) << error;
  ASSERT_TRUE(
      sqlite.execute("CREATE TRIGGER refuse BEFORE INSERT ON reports WHEN NEW.truck = 'refused' "
                     "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
  const struct {
    std::int64_t ms, seconds;
    const char* truck;
    AddOutcome outcome;
  } rows[] = {
      {created + 100000, 60, "T1", AddOutcome::stored},
      {created + 200000, 60, "refused", AddOutcome::failed},
      // 100 s since the first report; none since the refused one.
      {created + 200000, 100, "T2", AddOutcome::stored},
  };
  std::vector<IncomingReport> batch;
  for (const auto& row : rows) {
    batch.push_back(testReport("Ann", 1, row.ms));
    batch.back().seconds = row.seconds;
    batch.back().truck = row.truck;
    batch.back().checkWallTime = true;
  }
  std::vector<AddOutcome> outcomes;
  ASSERT_TRUE(store->addReports(batch, outcomes, error)) << error;
  for (std::size_t i = 0; i < outcomes.size(); ++i) EXPECT_EQ(outcomes[i], rows[i].outcome) << i;
  std::vector<LeaderboardRow> board;
  ASSERT_TRUE(store->leaderboard(Period{}, board, error)) << error;
  ASSERT_EQ(board.size(), 1u);
  EXPECT_EQ(describe(board), "1 Ann 2/160 2+0 s1:2 T2");
}

// The writer's checkpoints, a row on each side of both thresholds, with the
// checkpointing thread and without it (its connection cannot open: the
// writer checkpoints on its own thread). Each commit rewrites one page, so
// the WAL grows by one frame a commit (its size tells the count); a reader
// holds a snapshot from before them all, so a checkpoint leaves frames
// behind (framesLeft) and a TRUNCATE fails at once.
class SqliteUpkeepTest : public testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(CheckpointingThread, SqliteUpkeepTest, testing::Bool());

TEST_P(SqliteUpkeepTest, CheckpointsPassivelyFromOneCountOfFramesAndTruncatesFromTheNext) {
  const std::string path = testing::TempDir() + "vorn-upkeep-" + std::to_string(getpid()) + ".db";
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  sqlite3* writer = nullptr;
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(writer, "PRAGMA journal_mode=WAL; CREATE TABLE t(n); INSERT INTO t VALUES(0)",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  ASSERT_EQ(
      sqlite3_wal_checkpoint_v2(writer, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_open(path.c_str(), &reader), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT n FROM t", nullptr, nullptr, nullptr), SQLITE_OK);
  {
    // An upkeep told of a file in no folder opens no connection of its own.
    SqliteUpkeep upkeep(GetParam() ? path : testing::TempDir() + "vorn-no-such-folder/x.db");
    upkeep.attach(writer);
    const auto frames = [&] {
      FILE* wal = std::fopen((path + "-wal").c_str(), "rb");
      if (!wal) return 0L;
      std::fseek(wal, 0, SEEK_END);
      const long size = std::ftell(wal);
      std::fclose(wal);
      return size <= 32 ? 0L : (size - 32) / (24 + 4096);  // header, then frames
    };
    const struct {
      int frames;
      bool checkpointed;
      int result;  // of the latest checkpoint
    } rows[] = {
        {SqliteUpkeep::passiveFrames - 1, false, SQLITE_OK},
        {SqliteUpkeep::passiveFrames, true, SQLITE_OK},
        {SqliteUpkeep::truncateFrames - 1, true, SQLITE_OK},
        {SqliteUpkeep::truncateFrames, true, SQLITE_BUSY},
    };
    for (const auto& row : rows) {
      while (frames() < row.frames) {
        ASSERT_EQ(sqlite3_exec(writer, "UPDATE t SET n = n + 1", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        upkeep.afterCommit(writer);
        upkeep.settle();
      }
      ASSERT_EQ(frames(), row.frames);
      EXPECT_EQ(upkeep.framesLeft() > 0, row.checkpointed) << row.frames;
      EXPECT_EQ(upkeep.lastResult(), row.result) << row.frames;
    }
  }
  sqlite3_close(reader);
  sqlite3_close(writer);
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

}  // namespace

#include "store/shared.h"

// The wall-time rule on each side of a clock set back: a report received
// "before" the one it follows says the clock went back, and how much time
// passed is unknown then, so it flags nobody; from the same moment on, the
// rule holds as ever. The same before a key's first report, from its creation.
TEST(StoreDecision, AClockSetBackFlagsNoHonestReport) {
  const std::int64_t hour = 3600000;
  const struct {
    const char* name;
    bool reported;
    std::int64_t receivedMs, seconds;
    const char* flag;
  } rows[] = {
      {"an hour back, a second of driving", true, 1000, 1, ""},
      {"a millisecond back, a minute of driving", true, hour - 1, 60, ""},
      {"at the same moment, a minute claimed", true, hour, 60, "wall_time"},
      {"a second on, a minute claimed", true, hour + 1000, 60, "wall_time"},
      {"a minute on, a minute claimed", true, hour + 60000, 60, ""},
      {"the first report, before the key was made", false, 1000, 60, ""},
      {"the first report, a second after the key was made", false, 2 * hour + 1000, 60,
       "wall_time"},
  };
  for (const auto& row : rows) {
    collector::KeyHolder holder;
    holder.known = true;
    holder.name = "Ann";
    holder.createdMs = 2 * hour;
    holder.reported = row.reported;
    holder.lastReceivedMs = hour;
    collector::IncomingReport report;
    report.playerName = "Ann";
    report.seconds = row.seconds;
    report.receivedMs = row.receivedMs;
    EXPECT_EQ(collector::decideReport(report, holder).flag, row.flag) << row.name;
  }
}
