// The leaderboard's totals on a real SQLite file, kept as reports arrive and
// built when a database of the first schema (players and reports only) opens.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "store/store.h"

namespace {

using namespace collector;

constexpr std::int64_t day0 = 20000 * msPerDay;
const std::int64_t never = Period{}.untilMs;

const struct {
  const char *player, *server;
  std::int64_t ms;
  double miles;
  std::int64_t seconds;
  const char* truck;
  bool flagged;
} reports[] = {
    {"Ann", "s1", day0 + msPerDay - 1, 10, 600, "T1", false},  // 23:59:59.999
    {"Ann", "s2", day0 + msPerDay, 5, 300, "T2", false},       // 00:00:00.000 the day after
    {"Ann", "s1", day0 + msPerDay + 5000, 100, 1, "T3", true},
    {"Bob", "s1", day0 + msPerDay + 43200000, 15, 900, "T4", false},  // ties with Ann
    {"Cy", "s2", day0 + 3 * msPerDay, 1, 10, "T5", true},
};

std::string describe(const std::vector<LeaderboardRow>& rows) {
  std::string text;
  for (const LeaderboardRow& row : rows) {
    char line[160];
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

// Reports stored through the store, in two batches.
std::unique_ptr<Store> arrived(const std::string& path) {
  std::string error;
  auto store = openStore("sqlite:" + path, error);
  for (const char* name : {"Ann", "Bob", "Cy"}) store->addPlayer(name, name, 0, error);
  std::vector<IncomingReport> batches[2];
  for (const auto& r : reports) {
    IncomingReport report;
    static_cast<ReportBody&>(report) = {r.player, r.server, r.miles, r.seconds, r.truck, "R"};
    report.keyHash = r.player;
    report.receivedMs = r.ms;
    report.flag = r.flagged ? flagSpeed : "";
    report.checkWallTime = false;
    batches[&r - reports < 2].push_back(report);
  }
  std::vector<AddOutcome> outcomes;
  for (const auto& batch : {batches[1], batches[0]})
    EXPECT_TRUE(store->addReports(batch, outcomes, error)) << error;
  return store;
}

// The same reports written with SQL into the first schema, then opened.
std::unique_ptr<Store> upgraded(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  std::string sql =
      "CREATE TABLE players(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, key_hash TEXT NOT "
      "NULL UNIQUE, created_ms INTEGER NOT NULL, revoked_ms INTEGER);"
      "CREATE TABLE reports(id INTEGER PRIMARY KEY, player_id INTEGER NOT NULL REFERENCES "
      "players(id), received_ms INTEGER NOT NULL, server_id TEXT NOT NULL, miles REAL NOT NULL, "
      "seconds INTEGER NOT NULL, truck TEXT NOT NULL, trailer TEXT NOT NULL, flag TEXT NOT NULL);"
      "INSERT INTO players(name, key_hash, created_ms) "
      "VALUES('Ann','a',0),('Bob','b',0),('Cy','c',0);";
  for (const auto& r : reports) {
    sql +=
        "INSERT INTO reports(player_id, received_ms, server_id, miles, seconds, truck, trailer, "
        "flag) SELECT id, " +
        std::to_string(r.ms) + ", '" + r.server + "', " + std::to_string(r.miles) + ", " +
        std::to_string(r.seconds) + ", '" + r.truck + "', 'R', '" + (r.flagged ? "speed" : "") +
        "' FROM players WHERE name = '" + r.player + "';";
  }
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  std::string error;
  auto store = openStore("sqlite:" + path, error);
  EXPECT_TRUE(store) << error;
  return store;
}

TEST(CollectorTotals, BoardsDaysAndPlayersAsReportsArriveAndAfterAnUpgrade) {
  const struct {
    const char* name;
    Period period;
    const char* board;
  } boards[] = {
      {"all time", {}, "1 Ann 15/900 2+1 s1:10 s2:5 T3|2 Bob 15/900 1+0 s1:15 T4|3 Cy 0/0 0+1 T5"},
      {"the day ending at 23:59:59.999", {day0, day0 + msPerDay}, "1 Ann 10/600 1+0 s1:10 T1"},
      {"the day after",
       {day0 + msPerDay, day0 + 2 * msPerDay},
       "1 Bob 15/900 1+0 s1:15 T4|2 Ann 5/300 1+1 s2:5 T3"},
      {"a day with no report", {day0 + 2 * msPerDay, day0 + 3 * msPerDay}, ""},
      {"from the day after on",
       {day0 + msPerDay, never},
       "1 Bob 15/900 1+0 s1:15 T4|2 Ann 5/300 1+1 s2:5 T3|3 Cy 0/0 0+1 T5"},
  };
  for (auto open : {arrived, upgraded}) {
    const std::string path =
        testing::TempDir() + "vorn-totals-" + std::to_string(open == arrived) + ".db";
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    auto store = open(path);
    ASSERT_TRUE(store);
    const std::string how = open == arrived ? "arrived: " : "upgraded: ";
    std::string error;
    for (const auto& expected : boards) {
      std::vector<LeaderboardRow> rows;
      ASSERT_TRUE(store->leaderboard(expected.period, rows, error)) << error;
      EXPECT_EQ(describe(rows), expected.board) << how << expected.name;
    }
    Board page;
    std::vector<LeaderboardRow> all;
    ASSERT_TRUE(store->leaderboard({}, all, error));
    sliceBoard(all, {{}, 1, 1, ""}, page);
    EXPECT_EQ(page.totalPlayers, 3);
    EXPECT_EQ(describe(page.rows), "2 Bob 15/900 1+0 s1:15 T4") << how;
    ASSERT_TRUE(store->leaderboard({day0, day0 + msPerDay}, all, error));
    sliceBoard(all, {{day0, day0 + msPerDay}, 100, 0, "Bob"}, page);
    EXPECT_EQ(page.totalPlayers * 100 + page.rows.size(), 100)
        << how << "Bob has no report that day";
    std::vector<DayTotals> days;
    ASSERT_TRUE(store->communityDays({}, days, error));
    EXPECT_EQ(describe(days), "0: 10/1|1: 20/2") << how;  // a day of flagged reports only is none
    PlayerView view;
    bool found = false;
    ASSERT_TRUE(store->playerActivity("Ann", {}, view, found, error));
    ASSERT_TRUE(store->leaderboard({day0 + msPerDay, never}, all, error));
    sliceBoard(all, {{}, 1, 0, "Ann"}, page);
    EXPECT_EQ(describe(page.rows) + " " + describe(view.days),
              "2 Ann 5/300 1+1 s2:5 T3 0: 10/1|1: 5/1")
        << how;
    std::string trucks;
    for (const StoredReport& report : view.lastReports) trucks += report.truck;
    EXPECT_EQ(trucks, "T3T2T1") << how;

    // Reviewed: Ann's flagged report counts, Cy's stays out; a rebuild of the
    // totals from the reports agrees with the totals kept by the review.
    ASSERT_TRUE(store->reviewFlags({3}, true, 1, error)) << how << error;
    ASSERT_TRUE(store->reviewFlags({5}, false, 1, error)) << how << error;
    for (int rebuilt = 0; rebuilt < 2; ++rebuilt) {
      std::vector<LeaderboardRow> rows;
      ASSERT_TRUE(store->leaderboard({}, rows, error)) << error;
      EXPECT_EQ(describe(rows),
                "1 Ann 115/901 3+0 s1:110 s2:5 T3|2 Bob 15/900 1+0 s1:15 T4|3 Cy 0/0 0+0 T5")
          << how << rebuilt;
      store.reset();
      sqlite3* db = nullptr;
      sqlite3_open(path.c_str(), &db);
      sqlite3_exec(db, "PRAGMA user_version = 0", nullptr, nullptr, nullptr);
      sqlite3_close(db);
      store = openStore("sqlite:" + path, error);
      ASSERT_TRUE(store) << error;
    }
    EXPECT_FALSE(store->playerActivity("Nobody", {}, view, found, error) || found);
    EXPECT_EQ(error, "no player named 'Nobody'");
  }
}

}  // namespace
