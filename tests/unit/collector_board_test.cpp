// The leaderboard's totals on a real SQLite file, kept as reports arrive and
// built when a database of the first schema (players and reports only) opens;
// the cache that computes boards for the routes.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "board/board.h"
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
    ASSERT_TRUE(store->board({{}, 1, 1, ""}, page, error));
    EXPECT_EQ(page.totalPlayers, 3);
    EXPECT_EQ(describe(page.rows), "2 Bob 15/900 1+0 s1:15 T4") << how;
    ASSERT_TRUE(store->board({{day0, day0 + msPerDay}, 100, 0, "Bob"}, page, error));
    EXPECT_EQ(page.totalPlayers * 100 + page.rows.size(), 100)
        << how << "Bob has no report that day";
    std::vector<DayTotals> days;
    ASSERT_TRUE(store->communityDays({}, days, error));
    EXPECT_EQ(describe(days), "0: 10/1|1: 20/2") << how;  // a day of flagged reports only is none
    PlayerView view;
    bool found = false;
    ASSERT_TRUE(store->player("Ann", {day0 + msPerDay, never}, {}, view, found, error));
    EXPECT_EQ(describe({view.totals}) + " " + describe(view.days),
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
    EXPECT_FALSE(store->player("Nobody", {}, {}, view, found, error) || found);
    EXPECT_EQ(error, "no player named 'Nobody'");
  }
}

// Boards of two players; each computation waits until the test lets it go.
class HeldStore : public Store {
 public:
  std::promise<void> started, release;
  std::shared_future<void> released = release.get_future().share();
  int calls = 0;  // read after the cache's threads have answered

  bool leaderboard(const Period&, std::vector<LeaderboardRow>& rows, std::string&) override {
    if (++calls == 1) started.set_value();
    released.wait();
    rows.resize(2);
    rows[0].rank = 1, rows[1].rank = 2;
    rows[0].playerName = "Ann", rows[1].playerName = "Bob";
    return true;
  }
  bool playerActivity(const std::string& name, const Period&, PlayerView& view, bool& found,
                      std::string&) override {
    view.days.resize(name == "Nobody" ? 0 : 1);
    return found = !view.days.empty();
  }
  bool addPlayer(const std::string&, const std::string&, std::int64_t, std::string&) override {
    return false;
  }
  bool listPlayers(std::vector<PlayerInfo>&, std::string&) override { return false; }
  bool revokePlayer(const std::string&, std::int64_t, std::string&) override { return false; }
  bool addReports(const std::vector<IncomingReport>&, std::vector<AddOutcome>&,
                  std::string&) override {
    return false;
  }
  bool unreviewedFlags(std::int64_t, const std::string&, std::vector<StoredReport>&,
                       std::string&) override {
    return false;
  }
  bool reviewFlags(const std::vector<std::int64_t>&, bool, std::int64_t, std::string&) override {
    return false;
  }
  bool communityDays(const Period&, std::vector<DayTotals>&, std::string&) override {
    return false;
  }
  bool player(const std::string&, const Period&, const Period&, PlayerView&, bool&,
              std::string&) override {
    return false;
  }
  bool exportReports(const std::function<void(const StoredReport&)>&, std::string&) override {
    return false;
  }
  bool addEvent(Event&, std::int64_t, std::string&) override { return false; }
  bool listEvents(std::vector<Event>&, std::string&) override { return false; }
  bool removeEvent(std::int64_t, std::string&) override { return false; }
  bool eventBoard(const Event&, std::vector<LeaderboardRow>&, std::string&) override {
    return false;
  }
  bool healthy() override { return true; }
};

TEST(BoardCache, ComputesAPeriodOnceForAllItsRequestsAndRefusesBeyondItsQueue) {
  HeldStore store;
  const std::chrono::minutes long_(1);
  BoardCache cache(store, {long_, long_, 1, 1, 1024, {}});  // one thread, one computation waiting
  std::mutex mutex;
  std::condition_variable answered;
  std::vector<std::string> answers;
  const auto ask = [&](Period period, std::int64_t offset) {
    cache.board({period, 1, offset, ""}, [&, offset](BoardAnswer answer, const Board& board) {
      std::lock_guard<std::mutex> lock(mutex);
      answers.push_back(answer == BoardAnswer::busy
                            ? "busy"
                            : std::to_string(offset) + ":" +
                                  std::to_string(board.rows.empty() ? 0 : board.rows[0].rank));
      answered.notify_all();
    });
  };
  ask({}, 0);
  store.started.get_future().wait();  // the thread computes all time; nothing waits
  ask({}, 1);                         // shares that computation
  ask({0, msPerDay}, 0);              // waits for the thread
  ask({0, 2 * msPerDay}, 0);          // one too many
  EXPECT_EQ(answers, std::vector<std::string>{"busy"});
  store.release.set_value();
  std::unique_lock<std::mutex> lock(mutex);
  answered.wait(lock, [&] { return answers.size() == 4; });
  lock.unlock();
  ask({}, 1);  // reused
  lock.lock();
  answered.wait(lock, [&] { return answers.size() == 5; });
  EXPECT_EQ(answers, (std::vector<std::string>{"busy", "0:1", "1:2", "0:1", "1:2"}));
  lock.unlock();
  EXPECT_EQ(store.calls, 2);
  for (const char* name : {"Bob", "Nobody"}) {  // the row of the board, the rest of the store
    std::promise<std::string> seen;
    cache.player(name, {}, {}, [&](BoardAnswer answer, bool found, const PlayerView& view) {
      seen.set_value(std::to_string(answer == BoardAnswer::ok) + std::to_string(found) +
                     std::to_string(view.totals.rank) + std::to_string(view.days.size()));
    });
    EXPECT_EQ(seen.get_future().get(), name == std::string("Bob") ? "1121" : "1000") << name;
  }
}

}  // namespace
