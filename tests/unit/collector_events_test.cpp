// Events: their times and rules, and their boards on a real SQLite file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/events.h"
#include "store/store.h"
#include "vorn_deployment.h"

namespace {

using namespace collector;

const std::string s1 = deployment::knownServerIds[0];
const std::string s2 = deployment::knownServerIds[1];
const std::string s3 = deployment::knownServerIds[2];

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
      {"Backwards", 0, {}, "", "ends before it starts"},
      {"Twice", 1000, {s1, s1}, "", "named twice"},
      {"Unknown", 1000, {"1/101"}, "", "not one of this build's servers"},
      {"", 1000, {}, "", "needs a name"},
      {" Padded", 1000, {}, "", "space"},
      {"Bell\a", 1000, {}, "", "control character"},
      {std::string(maxTextBytes, 'n'), 1000, {}, "", ""},
      {std::string(maxTextBytes + 1, 'n'), 1000, {}, "", "longer than"},
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

// Boards of events over reports at their edges, on several servers, flagged
// and reviewed.
TEST(CollectorEvents, BoardsReadTheWindowOfArrivalOnTheEventsServers) {
  const std::string path = ::testing::TempDir() + "events_board.db";
  std::remove(path.c_str());
  std::string error;
  auto store = openStore("sqlite:" + path, error);
  ASSERT_TRUE(store) << error;
  for (const char* name : {"Ann", "Bob", "Cy"}) ASSERT_TRUE(store->addPlayer(name, name, 0, error));
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
  std::vector<IncomingReport> batch;
  for (const auto& r : reports) {
    IncomingReport report;
    static_cast<ReportBody&>(report) = {r.player, r.server, r.miles, 60, "Truck", "None"};
    report.keyHash = r.player;
    report.receivedMs = r.ms;
    report.flag = r.flagged ? flagSpeed : "";
    report.checkWallTime = false;
    batch.push_back(report);
  }
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
      {{s1}, t, t + 3600000, "1 Bob 20+0|2 Ann 10+0|3 Cy 0+1"},
      {{s1, s2}, t, t + 3600000, "1 Bob 20+0|2 Ann 15+0|3 Cy 0+1"},
      {{s2}, t + 1001, t + 3600000, ""},  // an event with no report
      {{}, t + 3600000, t + 3600001, "1 Bob 1000+0"},
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
}

}  // namespace
