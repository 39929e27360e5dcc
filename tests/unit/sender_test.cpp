#include "upload/sender.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "configured_player.h"
#include "plugin/session_state.h"

namespace {

const char* const knownId = "90112233445566772/101";

// The stand-in collector: records what would have gone on the wire, answers
// as told, and can play the game's thread while the post is "in flight".
struct StandInPost {
  struct Call {
    std::string url, apiKey, body;
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

std::pair<double, std::int32_t> pending() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return {sessionState.pendingMiles, sessionState.pendingSeconds};
}

class SenderCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    resetToConfiguredPlayer();
    standIn = StandInPost();
  }
  void TearDown() override {
    resetSessionStateForTests();
    settings = defaultSettings();
  }
};

// Either amount alone is worth a report, and on success exactly the amounts
// sent come off, even one too small to show in six decimals. What the game's
// thread adds while a report is on the wire stays pending either way.
TEST_F(SenderCycle, SkipsOrSubtractsOnlyWhatWasSentAndAccepted) {
  const struct {
    const char* name;
    const char* serverId;
    double miles;
    std::int32_t seconds;
    bool accept, addInFlight;
    const char* numbers;  // in the body; null: no post at all
    double milesAfter;
    std::int32_t secondsAfter;
  } cases[] = {
      {"no server", "", 3.0, 120, true, false, nullptr, 3.0, 120},
      {"unknown server", "90000000000000000/101", 3.0, 120, true, false, nullptr, 3.0, 120},
      {"nothing pending", knownId, 0.0, 0, true, false, nullptr, 0.0, 0},
      {"seconds only", knownId, 0.0, 7, true, false,
       "\"miles_delta\":0.000000,\"seconds_delta\":7,", 0.0, 0},
      {"tiny miles only", knownId, 0.0000004, 0, true, false,
       "\"miles_delta\":0.000000,\"seconds_delta\":0,", 0.0, 0},
      {"accepted while driving", knownId, 3.0, 120, true, true,
       "\"miles_delta\":3.000000,\"seconds_delta\":120,", 0.5, 2},
      {"refused while driving", knownId, 3.0, 120, false, true,
       "\"miles_delta\":3.000000,\"seconds_delta\":120,", 3.5, 122},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    setPending(c.serverId, c.miles, c.seconds);
    standIn.accept = c.accept;
    if (c.addInFlight)
      standIn.whileInFlight = [] {
        std::lock_guard<std::mutex> lock(stateMutex);  // as the game's callbacks add
        sessionState.pendingMiles += 0.5;
        sessionState.pendingSeconds += 2;
      };
    EXPECT_EQ(senderCycle(&standInPost), c.numbers != nullptr && c.accept);
    ASSERT_EQ(standIn.calls.size(), c.numbers ? 1u : 0u);
    if (c.numbers) {
      EXPECT_EQ(standIn.calls[0].url, settings.CollectorURL);
      EXPECT_EQ(standIn.calls[0].apiKey, "key-123");
      EXPECT_NE(standIn.calls[0].body.find(c.numbers), std::string::npos) << standIn.calls[0].body;
    }
    EXPECT_EQ(pending(), std::make_pair(c.milesAfter, c.secondsAfter));  // exact
  }
}

}  // namespace
