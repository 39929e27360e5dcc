#include "detect/detector.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "fake_steam.h"
#include "plugin/plugin.h"
#include "plugin/session_state.h"
#include "vorn_deployment.h"

namespace {

const std::uint64_t selfId = 76561198000000001ull;
std::string server(int number) {  // 0: none
  return number ? deployment::knownServerIds[number - 1] : "";
}
const std::uint32_t addressA = deployment::endpointAddressA;
const std::string ipA = std::to_string(addressA);
const GamePlayedInfo noGame{};
const GamePlayedInfo largest{UINT64_MAX, UINT32_MAX, 65535, 65535, UINT64_MAX};

GamePlayedInfo atsOn(std::uint32_t address, std::uint16_t gamePort, std::uint16_t queryPort) {
  return GamePlayedInfo{270880, address, gamePort, queryPort, 109775241000000000ull};
}
std::string playing(const std::string& ip, const char* ports) {
  return "self=76561198000000001 game_ok=true game_id=270880 lobby=109775241000000000 ip=" + ip +
         ports;
}
const std::string notPlaying = "self=76561198000000001 game_ok=false";

// Each case names the line up to its decision, which follows from the
// expected source and server.
TEST(DetectionCycle, DecidesAndReportsFieldByField) {
  const struct {
    const char* name;
    std::uint64_t self;
    std::uint8_t gamePlayed;
    GamePlayedInfo game;
    std::string presence, line;
    const char* source;
    int server;
  } cases[] = {
      {"no user", 0, 1, atsOn(addressA, 27027, 27026), "connect=" + server(1),
       "self=0 game_ok=false rp_count=0 [connect=<missing>]", "NONE", 0},
      // Any non-zero low byte of the answer means playing.
      {"endpoint", selfId, 2, atsOn(addressA, 27027, 27026), "status=Driving",
       playing(ipA, " game_port=27027 query_port=27026") +
           " rp_count=1 [status=Driving] [connect=<missing>]",
       "ENDPOINT", 2},
      {"endpoint wins over connect", selfId, 1, atsOn(deployment::endpointAddressB, 27015, 27016),
       "connect=+connect x:27021 27022",
       playing(std::to_string(deployment::endpointAddressB), " game_port=27015 query_port=27016") +
           " rp_count=1 [connect=+connect x:27021 27022]",
       "ENDPOINT", 5},
      {"unmatched endpoint falls back to connect", selfId, 1, atsOn(addressA, 27015, 27016),
       "connect=+connect 192.0.2.10:27021 -q 27022",
       playing(ipA, " game_port=27015 query_port=27016") +
           " rp_count=1 [connect=+connect 192.0.2.10:27021 -q 27022]",
       "CONNECT", 1},
      {"not playing ignores the record", selfId, 0, atsOn(addressA, 27027, 27026), "",
       notPlaying + " rp_count=0 [connect=<missing>]", "NONE", 0},
      {"empty connect", selfId, 0, noGame,
       "connect=", notPlaying + " rp_count=1 [connect=] [connect=<empty>]", "NONE", 0},
      {"capital Connect is another key", selfId, 0, noGame, "Connect=+connect 27021 27022",
       notPlaying + " rp_count=1 [Connect=+connect 27021 27022] [connect=<missing>]", "NONE", 0},
      {"connect with a bare form", selfId, 0, noGame, "connect=+connect " + server(4).substr(0, 17),
       notPlaying + " rp_count=1 [connect=+connect " + server(4).substr(0, 17) + "]", "CONNECT", 4},
      // The reader stops at the identifier in "status", but only "connect" decides.
      {"identifier outside connect decides nothing", selfId, 0, noGame,
       "status=on " + server(3) + ";connect=+connect " + server(1),
       notPlaying + " rp_count=1 [status=on " + server(3) + "] [connect=<missing>]", "NONE", 0},
      // Byte-wise with unsigned bytes: 0xC3 sorts after ASCII, a prefix first.
      {"entries in unsigned byte order", selfId, 0, noGame, "\xc3\xa9tat=1;ab=4;a=2;Z=3",
       notPlaying + " rp_count=4 [Z=3] [a=2] [ab=4] [\xc3\xa9tat=1] [connect=<missing>]", "NONE",
       0},
      {"largest numbers in plain decimal", UINT64_MAX, 1, largest, "",
       "self=18446744073709551615 game_ok=true game_id=18446744073709551615 "
       "lobby=18446744073709551615 ip=4294967295 game_port=65535 query_port=65535 rp_count=0 "
       "[connect=<missing>]",
       "NONE", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fakesteam::reset();
    fakesteam::state.selfId = c.self;
    fakesteam::state.gamePlayedResult = c.gamePlayed;
    fakesteam::state.game = c.game;
    fakesteam::setPresence(c.presence);

    const DetectionResult result = detectOnce(fakesteam::binding());

    EXPECT_EQ(buildStatusLine(result), c.line + " detect_source=" + c.source + " VORN_server=" +
                                           (c.server ? server(c.server) : "NONE"));
    EXPECT_EQ(result.server, server(c.server));
    EXPECT_EQ(fakesteam::state.foreignCalls, 0);
    if (c.self == 0) {
      EXPECT_EQ(fakesteam::state.gamePlayedCalls, 0);
      EXPECT_TRUE(fakesteam::state.valueReads.empty());
    }
  }
}

// --- The loop, driven through its environment ------------------------------

struct LoopFake {
  int failingBinds = 0;
  std::vector<int> bindAfterSleeps;  // one entry a binding attempt
  std::vector<unsigned> sleeps;      // one entry a sleep, its milliseconds
  std::vector<std::string> log;
  std::function<void(int sleep)> onSleep;
};
LoopFake loop;

bool fakeBind(SteamBinding& binding) {
  loop.bindAfterSleeps.push_back(static_cast<int>(loop.sleeps.size()));
  if (static_cast<int>(loop.bindAfterSleeps.size()) <= loop.failingBinds) return false;
  binding = fakesteam::binding();
  return true;
}

void fakeSleep(unsigned milliseconds) {
  loop.sleeps.push_back(milliseconds);
  if (loop.onSleep) loop.onSleep(static_cast<int>(loop.sleeps.size()));
}

const DetectorEnvironment fakeEnvironment{
    &fakeBind, &fakeSleep, [](const std::string& message) { loop.log.push_back(message); }};

class DetectorLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    loop = LoopFake{};
    fakesteam::reset();
    resetSessionStateForTests();
    running = true;
  }
  void TearDown() override { SetUp(), running = false; }
};

TEST_F(DetectorLoop, RetriesTheBindingAfterTwentyStepsThenDetectsAtOnce) {
  loop.failingBinds = 2;
  loop.onSleep = [](int sleep) { running = sleep < 60; };
  runDetector(fakeEnvironment);
  EXPECT_EQ(loop.bindAfterSleeps, (std::vector<int>{0, 20, 40}));
  EXPECT_EQ(loop.sleeps, std::vector<unsigned>(60, 100));
  EXPECT_EQ(loop.log.size(), 1u) << "one status line, at the first cycle";
}

// Observed after each cycle: the server it published and whether the frame
// baseline, re-validated after every cycle, was cleared again.
using AfterCycle = std::pair<std::string, bool>;

std::vector<AfterCycle> runCycles(int cycles, const std::function<void(int cycle)>& beforeCycle) {
  std::vector<AfterCycle> seen;
  beforeCycle(1);
  loop.onSleep = [&](int sleep) {
    if (sleep % 20 != 1) return;
    std::lock_guard<std::mutex> lock(stateMutex);
    seen.push_back({sessionState.serverId, sessionState.frameBaselineValid.load()});
    sessionState.frameBaselineValid = true;
    running = static_cast<int>(seen.size()) < cycles;
    if (running) beforeCycle(static_cast<int>(seen.size()) + 1);
  };
  runDetector(fakeEnvironment);
  return seen;
}

TEST_F(DetectorLoop, PublishesEveryCycleAndClearsTheFrameBaselineWhileAServerIsFound) {
  fakesteam::state.selfId = selfId;
  const auto seen = runCycles(3, [](int cycle) {
    fakesteam::setPresence(cycle < 3 ? "connect=+connect 27021 27022" : "connect=+connect 1");
  });
  EXPECT_EQ(seen, (std::vector<AfterCycle>{{server(1), false}, {server(1), false}, {"", true}}));
  EXPECT_EQ(loop.log.size(), 2u) << "three cycles, one change of the status line";

  // A cycle that fails counts as finding nothing, and the loop goes on.
  SetUp();
  fakesteam::state.selfId = selfId;
  fakesteam::setPresence("connect=+connect 27027 27026");
  EXPECT_EQ(runCycles(3, [](int cycle) { fakesteam::state.failSteamId = cycle == 2; }),
            (std::vector<AfterCycle>{{server(2), false}, {"", true}, {server(2), false}}));
}

}  // namespace
