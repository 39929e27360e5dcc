#include "upload/sender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "plugin/session_state.h"

namespace {

const char* const knownId = "90112233445566772/101";

// The stand-in collector: records what would have gone on the wire, answers
// as told, and can play the game's thread while the post is "in flight".
struct StandInPost {
  struct Call {
    std::string url;
    std::string apiKey;
    std::string body;
  };
  std::vector<Call> calls;
  bool accept = true;
  std::function<void()> whileInFlight;
};
StandInPost standIn;

bool standInPost(const std::string& url, const std::string& apiKey, const std::string& body) {
  standIn.calls.push_back({url, apiKey, body});
  if (standIn.whileInFlight) standIn.whileInFlight();
  return standIn.accept;
}

void setPending(const std::string& serverId, double miles, std::int32_t seconds) {
  std::lock_guard<std::mutex> lock(stateMutex);
  sessionState.serverId = serverId;
  sessionState.pendingMiles = miles;
  sessionState.pendingSeconds = seconds;
}

// What the game's callbacks do: add under the lock.
void drive(double miles, std::int32_t seconds) {
  std::lock_guard<std::mutex> lock(stateMutex);
  sessionState.pendingMiles += miles;
  sessionState.pendingSeconds += seconds;
}

double pendingMiles() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return sessionState.pendingMiles;
}

std::int32_t pendingSeconds() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return sessionState.pendingSeconds;
}

class SenderCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    resetSessionStateForTests();
    settings = defaultSettings();
    settings.PlayerName = "Night Owl";
    settings.ApiKey = "key-123";
    settings.CollectorURL = "http://127.0.0.1:8787/api/v1/telemetry";
    standIn = StandInPost();
  }
  void TearDown() override {
    standIn = StandInPost();
    resetSessionStateForTests();
    settings = defaultSettings();
  }
};

struct SkipCase {
  const char* name;
  const char* serverId;
  double miles;
  std::int32_t seconds;
};

class SenderSkips : public SenderCycle, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(SenderSkips, NoPostAndNothingChanges) {
  const SkipCase& c = GetParam();
  setPending(c.serverId, c.miles, c.seconds);
  EXPECT_FALSE(senderCycle(&standInPost));
  EXPECT_TRUE(standIn.calls.empty());
  EXPECT_EQ(pendingMiles(), c.miles);
  EXPECT_EQ(pendingSeconds(), c.seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SenderSkips,
    ::testing::Values(SkipCase{"no_server", "", 3.0, 120},
                      SkipCase{"unknown_server", "90000000000000000/101", 3.0, 120},
                      SkipCase{"nothing_pending", knownId, 0.0, 0}),
    [](const ::testing::TestParamInfo<SkipCase>& info) { return std::string(info.param.name); });

TEST_F(SenderCycle, PostsSettingsAndSnapshotBody) {
  setPending(knownId, 5 * 0.621371192237334, 60);
  EXPECT_TRUE(senderCycle(&standInPost));
  ASSERT_EQ(standIn.calls.size(), 1u);
  EXPECT_EQ(standIn.calls[0].url, settings.CollectorURL);
  EXPECT_EQ(standIn.calls[0].apiKey, "key-123");
  EXPECT_EQ(standIn.calls[0].body,
            "{\"player_name\":\"Night Owl\",\"server_id\":\"90112233445566772/101\","
            "\"miles_delta\":3.106856,\"seconds_delta\":60,\"truck\":\"Unknown\","
            "\"trailer\":\"None\"}");
  EXPECT_EQ(pendingMiles(), 0.0);
  EXPECT_EQ(pendingSeconds(), 0);
}

struct OneSidedCase {
  const char* name;
  double miles;
  std::int32_t seconds;
  const char* numbers;
};

class SenderOneSided : public SenderCycle, public ::testing::WithParamInterface<OneSidedCase> {};

// Either amount alone is worth a report; on success exactly it is taken off,
// even when it is too small to show in six decimals.
TEST_P(SenderOneSided, ReportsAndClearsWhatWasSent) {
  const OneSidedCase& c = GetParam();
  setPending(knownId, c.miles, c.seconds);
  EXPECT_TRUE(senderCycle(&standInPost));
  ASSERT_EQ(standIn.calls.size(), 1u);
  EXPECT_NE(standIn.calls[0].body.find(c.numbers), std::string::npos) << standIn.calls[0].body;
  EXPECT_EQ(pendingMiles(), 0.0);
  EXPECT_EQ(pendingSeconds(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SenderOneSided,
    ::testing::Values(OneSidedCase{"seconds_only", 0.0, 7,
                                   "\"miles_delta\":0.000000,\"seconds_delta\":7,"},
                      OneSidedCase{"tiny_miles_only", 0.0000004, 0,
                                   "\"miles_delta\":0.000000,\"seconds_delta\":0,"}),
    [](const ::testing::TestParamInfo<OneSidedCase>& info) {
      return std::string(info.param.name);
    });

struct InFlightCase {
  const char* name;
  bool accepted;
  double milesAfter;
  std::int32_t secondsAfter;
};

class SenderInFlight : public SenderCycle, public ::testing::WithParamInterface<InFlightCase> {};

// The callbacks add 0.5 miles and 2 seconds while a report of 3.0 miles and
// 120 seconds is on the wire: only the sent amounts may come off, and only
// when the collector accepted them.
TEST_P(SenderInFlight, AdditionsDuringPostStayPending) {
  const InFlightCase& c = GetParam();
  setPending(knownId, 3.0, 120);
  standIn.accept = c.accepted;
  standIn.whileInFlight = [] { drive(0.5, 2); };
  EXPECT_EQ(senderCycle(&standInPost), c.accepted);
  EXPECT_DOUBLE_EQ(pendingMiles(), c.milesAfter);
  EXPECT_EQ(pendingSeconds(), c.secondsAfter);
}

INSTANTIATE_TEST_SUITE_P(Table, SenderInFlight,
                         ::testing::Values(InFlightCase{"accepted", true, 0.5, 2},
                                           InFlightCase{"refused", false, 3.5, 122}),
                         [](const ::testing::TestParamInfo<InFlightCase>& info) {
                           return std::string(info.param.name);
                         });

// The game's thread keeps adding while the sender reports over and over:
// every second driven is either still pending or was sent exactly once.
TEST_F(SenderCycle, NothingLostOrCountedTwiceUnderConcurrentDriving) {
  setPending(knownId, 0.0, 0);
  const int steps = 20000;
  std::atomic<bool> driving{true};
  std::thread game([&] {
    for (int i = 0; i < steps; ++i) drive(0.125, 1);
    driving = false;
  });
  std::int64_t secondsSent = 0;
  int rounds = 0;
  standIn.accept = true;
  standIn.whileInFlight = [] { std::this_thread::yield(); };
  while (driving.load() || pendingSeconds() > 0) {
    const std::int32_t before = static_cast<std::int32_t>(standIn.calls.size());
    if (senderCycle(&standInPost)) {
      const std::string& body = standIn.calls[static_cast<std::size_t>(before)].body;
      const std::string::size_type at = body.find("\"seconds_delta\":") + 16;
      secondsSent += std::stoll(body.substr(at));
    }
    // Refuse every third report so that failures interleave too.
    standIn.accept = (++rounds % 3) != 0;
  }
  game.join();
  EXPECT_EQ(secondsSent, steps);
  EXPECT_EQ(pendingSeconds(), 0);
  EXPECT_EQ(pendingMiles(), 0.0);
}

}  // namespace
