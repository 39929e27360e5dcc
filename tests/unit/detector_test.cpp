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

using Entries = std::vector<std::pair<std::string, std::string>>;

const std::uint64_t selfId = 76561198000000001ull;
const std::string server1 = deployment::knownServerIds[0];
const std::string server2 = deployment::knownServerIds[1];
const std::string server3 = deployment::knownServerIds[2];
const std::string server4 = deployment::knownServerIds[3];
const std::string server5 = deployment::knownServerIds[4];
const std::uint32_t addressA = deployment::endpointAddressA;
const std::uint32_t addressB = deployment::endpointAddressB;
const std::string ipA = std::to_string(addressA);

const GamePlayedInfo noGame{};
GamePlayedInfo atsOn(std::uint32_t address, std::uint16_t gamePort,
                           std::uint16_t queryPort) {
  return GamePlayedInfo{270880, address, gamePort, queryPort, 109775241000000000ull};
}

struct CycleCase {
  const char* name;
  std::uint64_t self;
  std::uint8_t gamePlayed;
  GamePlayedInfo game;
  Entries presence;
  std::string expectedLine;
  std::string expectedServer;
};
void PrintTo(const CycleCase& c, std::ostream* os) { *os << c.name; }

class DetectionCycle : public ::testing::TestWithParam<CycleCase> {};

TEST_P(DetectionCycle, DecidesAndReportsFieldByField) {
  const CycleCase& c = GetParam();
  fakesteam::reset();
  fakesteam::state.selfId = c.self;
  fakesteam::state.gamePlayedResult = c.gamePlayed;
  fakesteam::state.game = c.game;
  fakesteam::setPresence(c.presence);

  const DetectionResult result = detectOnce(fakesteam::binding());

  EXPECT_EQ(buildStatusLine(result), c.expectedLine);
  EXPECT_EQ(result.server, c.expectedServer);
  EXPECT_EQ(fakesteam::state.foreignCalls, 0);
  if (c.self == 0) {
    EXPECT_EQ(fakesteam::state.gamePlayedCalls, 0);
    EXPECT_TRUE(fakesteam::state.valueReads.empty());
  }
}

std::string gameFields(const std::string& ip, const char* ports) {
  return " game_id=270880 lobby=109775241000000000 ip=" + ip + ports;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectionCycle,
    ::testing::Values(
        CycleCase{"NoUser", 0, 1, atsOn(addressA, 27027, 27026), {{"connect", server1}},
                  "self=0 game_ok=false rp_count=0 [connect=<missing>] detect_source=NONE "
                  "VORN_server=NONE",
                  ""},
        // Any non-zero low byte of the answer means playing.
        CycleCase{"Endpoint", selfId, 2, atsOn(addressA, 27027, 27026), {{"status", "Driving"}},
                  "self=76561198000000001 game_ok=true" +
                      gameFields(ipA, " game_port=27027 query_port=27026") +
                      " rp_count=1 [status=Driving] [connect=<missing>] detect_source=ENDPOINT "
                      "VORN_server=" + server2,
                  server2},
        CycleCase{"EndpointWinsOverConnect", selfId, 1, atsOn(addressB, 27015, 27016),
                  {{"connect", "+connect x:27021 27022"}},
                  "self=76561198000000001 game_ok=true" +
                      gameFields(std::to_string(addressB), " game_port=27015 query_port=27016") +
                      " rp_count=1 [connect=+connect x:27021 27022] detect_source=ENDPOINT "
                      "VORN_server=" + server5,
                  server5},
        CycleCase{"UnmatchedEndpointFallsBackToConnect", selfId, 1, atsOn(addressA, 27015, 27016),
                  {{"connect", "+connect 192.0.2.10:27021 -q 27022"}},
                  "self=76561198000000001 game_ok=true" +
                      gameFields(ipA, " game_port=27015 query_port=27016") +
                      " rp_count=1 [connect=+connect 192.0.2.10:27021 -q 27022] "
                      "detect_source=CONNECT VORN_server=" + server1,
                  server1},
        CycleCase{"NotPlayingIgnoresTheRecord", selfId, 0, atsOn(addressA, 27027, 27026), {},
                  "self=76561198000000001 game_ok=false rp_count=0 [connect=<missing>] "
                  "detect_source=NONE VORN_server=NONE",
                  ""},
        CycleCase{"EmptyConnect", selfId, 0, noGame, {{"connect", ""}},
                  "self=76561198000000001 game_ok=false rp_count=1 [connect=] [connect=<empty>] "
                  "detect_source=NONE VORN_server=NONE",
                  ""},
        CycleCase{"CapitalConnectIsAnotherKey", selfId, 0, noGame,
                  {{"Connect", "+connect 27021 27022"}},
                  "self=76561198000000001 game_ok=false rp_count=1 [Connect=+connect 27021 27022] "
                  "[connect=<missing>] detect_source=NONE VORN_server=NONE",
                  ""},
        CycleCase{"ConnectWithBareForm", selfId, 0, noGame,
                  {{"connect", "+connect " + server4.substr(0, 17)}},
                  "self=76561198000000001 game_ok=false rp_count=1 [connect=+connect " +
                      server4.substr(0, 17) + "] detect_source=CONNECT VORN_server=" + server4,
                  server4},
        // The reader stops at the identifier in "status", but only "connect"
        // decides.
        CycleCase{"IdentifierOutsideConnectDecidesNothing", selfId, 0, noGame,
                  {{"status", "on " + server3}, {"connect", "+connect " + server1}},
                  "self=76561198000000001 game_ok=false rp_count=1 [status=on " + server3 +
                      "] [connect=<missing>] detect_source=NONE VORN_server=NONE",
                  ""},
        // Byte-wise with unsigned bytes: 0xC3 sorts after ASCII, a prefix first.
        CycleCase{"EntriesInUnsignedByteOrder", selfId, 0, noGame,
                  {{"\xc3\xa9tat", "1"}, {"ab", "4"}, {"a", "2"}, {"Z", "3"}},
                  "self=76561198000000001 game_ok=false rp_count=4 [Z=3] [a=2] [ab=4] "
                  "[\xc3\xa9tat=1] [connect=<missing>] detect_source=NONE VORN_server=NONE",
                  ""},
        CycleCase{"LargestNumbersInPlainDecimal", 18446744073709551615ull, 1,
                  GamePlayedInfo{18446744073709551615ull, 4294967295u, 65535, 65535,
                                 18446744073709551615ull},
                  {},
                  "self=18446744073709551615 game_ok=true game_id=18446744073709551615 "
                  "lobby=18446744073709551615 ip=4294967295 game_port=65535 query_port=65535 "
                  "rp_count=0 [connect=<missing>] detect_source=NONE VORN_server=NONE",
                  ""}),
    [](const ::testing::TestParamInfo<CycleCase>& info) { return std::string(info.param.name); });

// --- The loop, driven through its environment ------------------------------

struct LoopFake {
  int failingBinds = 0;
  int binds = 0;
  std::vector<int> bindAfterSleeps;
  int sleeps = 0;
  std::vector<unsigned> sleepDurations;
  std::vector<std::string> log;
  std::function<void(int sleep)> onSleep;
};
LoopFake loop;

bool fakeBind(SteamBinding& binding) {
  loop.bindAfterSleeps.push_back(loop.sleeps);
  if (++loop.binds <= loop.failingBinds) return false;
  binding = fakesteam::binding();
  return true;
}

void fakeSleep(unsigned milliseconds) {
  ++loop.sleeps;
  loop.sleepDurations.push_back(milliseconds);
  if (loop.onSleep) loop.onSleep(loop.sleeps);
}

void recordLog(const std::string& message) { loop.log.push_back(message); }

const DetectorEnvironment fakeEnvironment{&fakeBind, &fakeSleep, &recordLog};

const std::string noUserLine =
    "Steam auto-server detector v7.3: self=0 game_ok=false rp_count=0 [connect=<missing>] "
    "detect_source=NONE VORN_server=NONE";

class DetectorLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    loop = LoopFake{};
    fakesteam::reset();
    resetSessionStateForTests();
    running = true;
  }
  void TearDown() override {
    running = false;
    loop = LoopFake{};
    resetSessionStateForTests();
  }
  static void stopAtSleep(int last) {
    loop.onSleep = [last](int sleep) {
      if (sleep == last) running = false;
    };
  }
};

TEST_F(DetectorLoop, RetriesTheBindingAfterTwentyStepsThenDetectsAtOnce) {
  loop.failingBinds = 2;
  stopAtSleep(60);
  runDetector(fakeEnvironment);
  EXPECT_EQ(loop.bindAfterSleeps, (std::vector<int>{0, 20, 40}));
  EXPECT_EQ(loop.sleepDurations, std::vector<unsigned>(60, 100));
  EXPECT_EQ(loop.log, std::vector<std::string>{noUserLine});
}

TEST_F(DetectorLoop, StopDuringTheBindingWaitEndsAfterTheCurrentStep) {
  loop.failingBinds = 1000;
  stopAtSleep(7);
  runDetector(fakeEnvironment);
  EXPECT_EQ(loop.sleeps, 7);
  EXPECT_EQ(loop.binds, 1);
  EXPECT_TRUE(loop.log.empty());
}

TEST_F(DetectorLoop, StopDuringTheCycleWaitEndsAfterTheCurrentStep) {
  stopAtSleep(25);
  runDetector(fakeEnvironment);
  EXPECT_EQ(loop.sleeps, 25);
  EXPECT_EQ(loop.log.size(), 1u);
}

// Observed after each cycle: the server it published and whether the frame
// baseline, re-validated after every cycle, was cleared again.
struct AfterCycle {
  std::string serverId;
  bool frameBaselineValid;
  bool operator==(const AfterCycle& other) const {
    return serverId == other.serverId && frameBaselineValid == other.frameBaselineValid;
  }
};

std::vector<AfterCycle> runCycles(int cycles, const std::function<void(int cycle)>& beforeCycle) {
  std::vector<AfterCycle> seen;
  beforeCycle(1);
  loop.onSleep = [&](int sleep) {
    if (sleep % 20 != 1) return;
    std::lock_guard<std::mutex> lock(stateMutex);
    seen.push_back({sessionState.serverId, sessionState.frameBaselineValid.load()});
    sessionState.frameBaselineValid = true;
    const int next = static_cast<int>(seen.size()) + 1;
    if (next > cycles)
      running = false;
    else
      beforeCycle(next);
  };
  runDetector(fakeEnvironment);
  return seen;
}

TEST_F(DetectorLoop, PublishesEveryCycleAndClearsTheFrameBaselineWhileAServerIsFound) {
  fakesteam::state.selfId = selfId;
  const auto seen = runCycles(3, [](int cycle) {
    fakesteam::setPresence({{"connect", cycle < 3 ? "+connect 27021 27022" : "+connect 1"}});
  });
  EXPECT_EQ(seen, (std::vector<AfterCycle>{{server1, false}, {server1, false}, {"", true}}));
  EXPECT_EQ(loop.log.size(), 2u) << "three cycles, one change of the status line";
}

TEST_F(DetectorLoop, ACycleThatFailsCountsAsFindingNothingAndTheLoopGoesOn) {
  fakesteam::state.selfId = selfId;
  fakesteam::setPresence({{"connect", "+connect 27027 27026"}});
  const auto seen = runCycles(3, [](int cycle) { fakesteam::state.failSteamId = cycle == 2; });
  EXPECT_EQ(seen, (std::vector<AfterCycle>{{server2, false}, {"", true}, {server2, false}}));
}

}  // namespace
