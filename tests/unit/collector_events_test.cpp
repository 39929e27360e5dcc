// Events: their times and rules (their boards: the store contract).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board/cache.h"
#include "board/events.h"
#include "collector_test_report.h"
#include "core/events.h"
#include "core/report.h"
#include "http/value_versions.h"
#include "vorn_deployment.h"

namespace {

using namespace collector;

const std::string s1 = deployment::knownServerIds[0];
const std::string s2 = deployment::knownServerIds[1];
const std::int64_t t = 1797015600000;  // the events' start

// A store on a SQLite file of its own, new.
std::unique_ptr<Store> newStore(const std::string& name, std::string& error) {
  const std::string path =
      ::testing::TempDir() + "vorn-events-" + name + "-" + std::to_string(getpid()) + ".db";
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  return openStore("sqlite:" + path, error);
}

TEST(CollectorEvents, TimesAndRules) {
  const struct {
    const char* text;
    long long ms;  // -1: refused
  } times[] = {
      {"2026-12-11T19:00Z", 1797015600000},
      {"2026-12-11T19:00:00Z", 1797015600000},
      {"2026-12-11 19:00:30.5+00:00", 1797015630500},
      {"2028-02-29T00:00Z", 1835395200000},
      {"2026-12-11T19:00", -1},
      {"2026-12-11T19:00+01:00", -1},
      {"2027-02-29T00:00Z", -1},
      {"2026-12-11T24:00Z", -1},
      {"2026-12-11T19:00:00.1234Z", -1},
  };
  for (const auto& row : times) {
    std::int64_t ms = 0;
    const bool parsed = parseUtcTime(row.text, ms);
    EXPECT_EQ(parsed, row.ms >= 0) << row.text;
    if (parsed) {
      EXPECT_EQ(ms, row.ms) << row.text;
    }
  }

  const std::int64_t start = 1797015600000;
  const struct {
    std::string name;
    std::int64_t lengthMs;
    std::vector<std::string> servers;
    std::string description;
    const char* problem;  // a part of the message, or "" for none
  } events[] = {
      {"Friday convoy", 3600000, {}, "", ""},
      {"Long", maxEventMs, {s1, s2}, std::string(maxDescriptionBytes, 'd'), ""},
      {"Long", maxEventMs + 1, {}, "", "at most 31 days"},
      {"Backwards", -1, {}, "", "ends before it starts"},
      {"No time", 0, {}, "", "ends when it starts: it would last no time"},
      {"A millisecond", 1, {}, "", ""},
      {"Twice", 1000, {s1, s1}, "", "named twice"},
      {"Unknown", 1000, {"1/101"}, "", "not one of this build's servers"},
      {"", 1000, {}, "", "empty"},
      {" Padded", 1000, {}, "", "space"},
      {"Bell\a", 1000, {}, "", "control character"},
      {"Right\xE2\x80\xAEto left", 1000, {}, "", "bidirectional"},
      {"Wordy", 1000, {}, std::string(maxDescriptionBytes + 1, 'd'), "longer than"},
      {"Tab", 1000, {}, "a\tb", "control character"},
  };
  for (const auto& row : events) {
    Event event{0, row.name, start, start + row.lengthMs, row.servers, row.description};
    const std::string problem = eventProblem(event);
    if (*row.problem == 0) {
      EXPECT_EQ(problem, "") << row.name;
    } else {
      EXPECT_NE(problem.find(row.problem), std::string::npos) << row.name << ": " << problem;
    }
  }

  const struct {
    const char *start, *end;
    bool taken;
  } years[] = {
      {"1999-12-31T23:59:59.999Z", "2000-01-01T01:00Z", false},
      {"2000-01-01T00:00Z", "2000-01-01T01:00Z", true},
      {"2200-12-31T23:00Z", "2200-12-31T23:59:59.999Z", true},
      {"2200-12-31T23:00Z", "2201-01-01T00:00Z", false},
      {"0000-01-01T00:00Z", "0000-01-01T01:00Z", false},
      {"9999-12-31T00:00Z", "9999-12-31T01:00Z", false},
  };
  for (const auto& row : years) {
    Event event{0, "Convoy", 0, 0, {}, ""};
    ASSERT_TRUE(parseUtcTime(row.start, event.startMs) && parseUtcTime(row.end, event.endMs));
    const std::string problem = eventProblem(event);
    if (row.taken) {
      EXPECT_EQ(problem, "") << row.start;
    } else {
      EXPECT_NE(problem.find("years 2000 to 2200"), std::string::npos) << row.start << problem;
    }
  }

  const Event friday{1, "F", start, start + 7200000, {}, ""};
  const struct {
    std::int64_t now;
    const char* text;
  } states[] = {
      {start - 7140001, "starts in 2 h"},
      {start - 7140000, "starts in 119 min"},
      {start - 60001, "starts in 2 min"},
      {start - 1, "starts in 1 min"},
      {start, "running"},
      {start + 7199999, "running"},
      {start + 7200000, "ended"},
      {start - 3 * 86400000, "starts in 3 d"},
  };
  for (const auto& row : states) EXPECT_EQ(eventStateText(friday, row.now), row.text) << row.now;
  EXPECT_EQ(splitServers(joinServers({s1, s2})), (std::vector<std::string>{s1, s2}));
  EXPECT_TRUE(splitServers(joinServers({})).empty());
}

// An ended event's board is read once and kept: a report stored in its window
// afterwards (as no client could, but a test may) stays off it, and so does a
// review outside the window, until a review touches one of its reports, even
// one stamped by a clock far behind (seen from the store's review mark).
TEST(CollectorEvents, AnEndedEventsBoardIsKeptUntilAReviewTouchesItsReports) {
  std::string error;
  auto store = newStore("kept", error);
  ASSERT_TRUE(store) << error;
  const auto add = [&](const char* player, std::int64_t ms, double miles, bool flagged) {
    std::vector<AddOutcome> outcomes;
    IncomingReport report = testReport(player, miles, ms, flagged, s1);
    report.seconds = 1;  // within the time since the window opened
    ASSERT_TRUE(store->addReports({report}, outcomes, error)) << error;
  };
  for (const char* name : {"Ann", "Bob", "Cy", "Dee", "Eve"}) {
    ASSERT_TRUE(store->addPlayer(name, name, 0, error));
  }
  add("Ann", t + 1000, 10, true);
  add("Bob", t - 1000, 20, true);
  add("Dee", t + 3000, 7, true);
  add("Eve", t + 4000, 3, true);
  Event event{0, "Done", t, t + 3600000, {}, ""};
  ASSERT_TRUE(store->addEvent(event, t, error));

  EventBoards::Limits limits;
  limits.reuse = std::chrono::milliseconds(0);  // a board that is not kept is read every time
  limits.now = [] { return t + 86400000; };
  EventBoards boards(*store, std::make_shared<ReviewWatch>(*store), limits);
  // "miles+flagged" of the player's line, or "-" when the player has none.
  const auto lineOn = [&](EventBoards& on, const std::string& player) {
    std::promise<std::string> answered;
    on.places(player, [&](BoardAnswer answer, const std::vector<EventPlace>& places) {
      EXPECT_EQ(answer, BoardAnswer::ok);
      answered.set_value(places.empty() ? "-"
                                        : std::to_string(int(places[0].row.miles)) + "+" +
                                              std::to_string(places[0].row.flaggedReports));
    });
    return answered.get_future().get();
  };
  const auto line = [&](const std::string& player) { return lineOn(boards, player); };
  std::vector<StoredReport> flagged;
  ASSERT_TRUE(store->unreviewedFlags(0, "", flagged, error));
  ASSERT_EQ(flagged.size(), 4u);  // Ann's, Bob's, Dee's, then Eve's
  EXPECT_EQ(line("Ann"), "0+1");
  add("Cy", t + 2000, 5, false);
  EXPECT_EQ(line("Cy"), "-");
  ASSERT_TRUE(store->reviewFlags({flagged[1].id}, true, t + 86400000, error));
  EXPECT_EQ(line("Cy"), "-");
  ASSERT_TRUE(store->reviewFlags({flagged[0].id}, true, t + 86400000, error));
  EXPECT_EQ(line("Ann"), "10+0");
  EXPECT_EQ(line("Cy"), "5+0");
  EXPECT_EQ(line("Dee"), "0+1");
  ASSERT_TRUE(store->reviewFlags({flagged[2].id}, true, t, error));  // a day behind
  EXPECT_EQ(line("Dee"), "7+0");

  // Sharing the leaderboard's watch, the boards hear of a review that the
  // leaderboard's cache read first.
  BoardCache::Limits boardLimits;
  boardLimits.reuse = std::chrono::milliseconds(0);  // the mark read for each computation
  BoardCache leaderboard(*store, boardLimits);
  EventBoards sharing(*store, leaderboard.reviews(), limits);
  EXPECT_EQ(lineOn(sharing, "Eve"), "0+1");
  ASSERT_TRUE(store->reviewFlags({flagged[3].id}, true, t + 86400000, error));
  std::promise<BoardAnswer> read;
  ViewRequest request;
  request.board = Period{};
  leaderboard.view(
      request, [](const Sources&) { return Rendered(); },
      [&read](BoardAnswer answer, const std::shared_ptr<const Rendered>&) {
        read.set_value(answer);
      });
  ASSERT_EQ(read.get_future().get(), BoardAnswer::ok);
  EXPECT_EQ(lineOn(sharing, "Eve"), "3+0");

  // With boards kept for a while, the first page waits for them on the
  // boards' thread; the next is answered from them on its own thread.
  limits.reuse = std::chrono::seconds(60);
  EventBoards kept(*store, std::make_shared<ReviewWatch>(*store), limits);
  for (const bool first : {true, false}) {
    std::promise<std::thread::id> answered;
    kept.places("Cy", [&](BoardAnswer answer, const std::vector<EventPlace>& places) {
      EXPECT_EQ(answer, BoardAnswer::ok);
      EXPECT_EQ(places.size(), 1u);
      answered.set_value(std::this_thread::get_id());
    });
    EXPECT_EQ(answered.get_future().get() == std::this_thread::get_id(), !first);
  }
}

// Only the list's events have boards: ids that name no event push no kept
// board out, and a removed event has none once the list is read again.
TEST(CollectorEvents, OnlyTheListsEventsHaveBoards) {
  std::string error;
  auto store = newStore("listed", error);
  ASSERT_TRUE(store) << error;
  std::vector<AddOutcome> outcomes;
  ASSERT_TRUE(store->addPlayer("Ann", "Ann", 0, error));
  ASSERT_TRUE(store->addReports({testReport("Ann", 10, t + 1000, false, s1)}, outcomes, error));
  Event event{0, "Done", t, t + 3600000, {}, ""};
  ASSERT_TRUE(store->addEvent(event, t, error)) << error;

  ValueCache::Clock::time_point steady{};
  EventBoards::Limits limits;
  limits.reuse = std::chrono::seconds(60);
  limits.maxKept = 1;
  limits.now = [] { return t + 86400000; };
  limits.clock = [&steady] { return steady; };
  EventBoards boards(*store, std::make_shared<ReviewWatch>(*store), limits);
  // "found" or "none", "at hand" when answered on the caller's thread.
  const auto read = [&](std::int64_t id) {
    std::promise<std::string> answered;
    const std::thread::id caller = std::this_thread::get_id();
    boards.board(id, [&](BoardAnswer answer, bool found, const Event&,
                         std::shared_ptr<const std::vector<LeaderboardRow>>) {
      EXPECT_EQ(answer, BoardAnswer::ok);
      answered.set_value(std::string(found ? "found" : "none") +
                         (std::this_thread::get_id() == caller ? " at hand" : ""));
    });
    return answered.get_future().get();
  };
  EXPECT_EQ(read(event.id), "found");
  EXPECT_EQ(read(event.id), "found at hand");
  for (std::int64_t unknown = event.id + 1; unknown < event.id + 100; ++unknown) {
    EXPECT_EQ(read(unknown), "none at hand");
  }
  EXPECT_EQ(read(event.id), "found at hand");  // still kept: the only room was never taken
  ASSERT_TRUE(store->removeEvent(event.id, error)) << error;
  EXPECT_EQ(read(event.id), "found at hand");  // the list as read within its reuse time
  // Once the reuse time is up the list is read again, its predecessor
  // served meanwhile.
  steady += limits.reuse;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (read(event.id) != "none at hand") {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
  }
}

// The cached answers of an event are named by the board they were rendered
// from: a new board, even one at a freed board's address, is never taken for
// the old one.
TEST(CollectorEvents, AnAnswerIsNamedByTheBoardItWasRenderedFrom) {
  ValueVersions versions;
  auto board = std::make_shared<const std::vector<LeaderboardRow>>();
  auto other = std::make_shared<const std::vector<LeaderboardRow>>();
  const std::uint64_t first = versions.of(7, board);
  EXPECT_EQ(versions.of(7, board), first);
  EXPECT_NE(versions.of(7, other), first);
  EXPECT_NE(versions.of(8, board), versions.of(7, other));  // each key its own
  const std::uint64_t ofOther = versions.of(7, other);
  other.reset();  // gone: whatever comes next is another board
  EXPECT_NE(versions.of(7, std::make_shared<const std::vector<LeaderboardRow>>()), ofOther);
  EXPECT_NE(versions.of(9, nullptr), versions.of(9, nullptr));

  // Past maxKeys, only the keys whose board is gone are forgotten.
  std::vector<std::shared_ptr<const std::vector<LeaderboardRow>>> held;
  std::vector<std::uint64_t> numbers;
  for (std::int64_t key = 100; key < 100 + std::int64_t{ValueVersions::maxKeys} + 1; ++key) {
    held.push_back(std::make_shared<const std::vector<LeaderboardRow>>());
    numbers.push_back(versions.of(key, held.back()));
  }
  for (std::size_t i = 0; i < held.size(); ++i) {
    EXPECT_EQ(versions.of(100 + static_cast<std::int64_t>(i), held[i]), numbers[i]) << i;
  }
}

}  // namespace
