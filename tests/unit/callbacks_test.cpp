#include "telemetry/callbacks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "configured_player.h"
#include "detect/servers.h"

namespace {

const double mile = 0.621371192237334;  // miles per kilometre

// Runs a script of space-separated steps:
//   f2.5 / F2.5   frame start at 2.5 s of the paused clock / with timer restart
//   u123          frame start at 123 microseconds
//   o100.5        odometer 100.5 km (also onan)
//   j0 / j1       "job" configuration with cargo.loaded false / true
//   s3 / s0 / sb  server 3 detected / no server / server 2's bare form
//   d             a detector cycle that finds server 3 (clears the frame baseline)
//   r0.5 / p7     preset secondsRemainder / pendingSeconds
void run(const std::string& script) {
  std::istringstream steps(script);
  for (std::string step; steps >> step;) {
    const char kind = step[0];
    const std::string arg = step.substr(1);
    ASSERT_NE(std::string("fFuojsdrp").find(kind), std::string::npos) << step;
    if (kind == 'f' || kind == 'F')
      frameAt(static_cast<std::uint64_t>(std::stod(arg) * 1e6 + 0.5), kind == 'F');
    if (kind == 'u') frameAt(std::stoull(arg));
    if (kind == 'o') odometerAt(std::strtof(arg.c_str(), nullptr));
    if (kind == 'j') Configuration("job", "cargo.loaded=bool:" + arg).deliver();
    if (std::string("sdrp").find(kind) == std::string::npos) continue;
    std::lock_guard<std::mutex> lock(stateMutex);
    if (kind == 's')
      sessionState.serverId = arg == "0"   ? ""
                              : arg == "b" ? std::string(knownServers[1], 17)
                                           : knownServers[std::stoul(arg) - 1];
    if (kind == 'd')
      sessionState.serverId = knownServers[2], sessionState.frameBaselineValid = false;
    if (kind == 'r') sessionState.secondsRemainder = std::stod(arg);
    if (kind == 'p') sessionState.pendingSeconds = std::stoi(arg);
  }
}

class Callbacks : public ::testing::Test {
 protected:
  // Every case starts on server 2 with the cargo loaded: the gate is open.
  void SetUp() override {
    resetSessionStateForTests();
    run("s2 j1");
  }
  void TearDown() override { resetSessionStateForTests(); }
};

TEST_F(Callbacks, CountingFollowsClockOdometerAndGate) {
  const struct {
    const char *name, *script;
    std::int32_t seconds;
    double remainder, miles;
  } cases[] = {
      {"first frame only primes", "f1.5", 0, 0, 0},
      {"three 0.4 s steps", "f0 f.4 f.8 f1.2", 1, .2, 0},
      {"2.5 s step dropped, next measured from it", "f0 f2.5 f3", 0, .5, 0},
      {"exactly 2.0 s counts", "f0 f2", 2, 0, 0},
      {"a microsecond over 2.0 s is dropped", "u0 u2000001", 0, 0, 0},
      {"a restart only re-primes, then counting resumes", "f0 F1 F1.5 f2.5", 1, 0, 0},
      {"clock went back", "f10 f5 f6", 1, 0, 0},
      {"remainder carries into a whole second", "r.9 f0 f.2", 1, .1, 0},
      {"late clock values", "u18446744073708551615 u18446744073709551615", 1, 0, 0},
      {"pending seconds saturate", "p2147483646 f0 f2", 2147483647, 0, 0},
      {"a bare form is no server", "r.7 sb f0 f1", 0, .7, 0},
      {"a detector cycle re-primes the frame clock", "f0 f1 d f2 f3", 2, 0, 0},
      {"time without a server is never counted later", "f0 s0 f1.5 d f2 f2.5", 0, .5, 0},
      {"the remainder survives a closed stretch", "f0 f.6 j0 f1.6 j1 f2.2", 1, .2, 0},
      {"first sample only primes", "o10", 0, 0, 0},
      {"half a kilometre", "o100 o100.5", 0, 0, 0.310685596118667},
      {"29.5 km jump dropped, next measured from it", "o100.5 o130 o130.5", 0, 0, .5 * mile},
      {"going back dropped", "o130 o129 o129.5", 0, 0, .5 * mile},
      {"exactly 25 km counts", "o100 o125", 0, 0, 25 * mile},
      {"just over 25 km dropped", "o100 o125.5", 0, 0, 0},
      {"not-a-number sample", "o100 onan o100.5 o101", 0, 0, .5 * mile},
      {"distance without cargo", "j0 o100 o100.5", 0, 0, 0},
      {"loading the cargo re-primes the odometer", "j0 o100 j1 o100.5 o101", 0, 0, .5 * mile},
      {"a repeated cargo state keeps the baseline", "o100 j1 o100.5", 0, 0, .5 * mile},
      {"unloading and reloading re-primes", "o100 j0 j1 o100.5 o101", 0, 0, .5 * mile},
      {"distance off-server is never counted later", "o100 s0 o105 s5 o110 o110.5", 0, 0,
       .5 * mile},
      {"moving between known servers keeps the baseline", "o100 s4 o100.5", 0, 0, .5 * mile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.script);
    SetUp();
    run(c.script);
    std::lock_guard<std::mutex> lock(stateMutex);
    EXPECT_EQ(sessionState.pendingSeconds, c.seconds);
    EXPECT_NEAR(sessionState.secondsRemainder, c.remainder, 1e-9);
    EXPECT_NEAR(sessionState.pendingMiles, c.miles, 1e-12);
  }
}

TEST_F(Callbacks, ConfigurationsRecordNamesAndCargo) {
  const struct {
    const char *id, *attributes;
    bool cargoBefore;
    std::string truck, trailer;
    bool cargo;
  } cases[] = {
      {"truck", "brand=string:x; name=string:Scania R", 0, "Scania R", "R0", 0},
      {"truck", "brand=string:Scania", 0, "Unknown", "R0", 0},
      {"truck", "name=s32:7; name=string:Scania R", 0, "Scania R", "R0", 0},
      {"truck", "name=null:; name=string:Scania R", 0, "Scania R", "R0", 0},
      {"truck", "name=string:Scania R; name=string:Volvo", 0, "Scania R", "R0", 0},
      {"truck", "name=string:; name=string:Volvo", 0, "Unknown", "R0", 0},
      {"truck", "@end=string:x; name=string:Volvo", 0, "Unknown", "R0", 0},
      {"truck", "name=string:Scania R; cargo.loaded=bool:1", 0, "Scania R", "R0", 0},
      {"Truck", "name=string:Scania R", 0, "T0", "R0", 0},
      {"truck.0", "name=string:Scania R", 0, "T0", "R0", 0},
      {"trailer", "name=string:Flatbed", 0, "T0", "Flatbed", 0},
      {"trailer.0", "name=string:Reefer", 0, "T0", "Reefer", 0},
      {"trailer.1", "name=string:Dolly", 0, "T0", "R0", 0},
      {"trailer", "@end=bool:0", 1, "T0", "None", 1},
      {"job", "cargo.loaded=bool:0", 1, "T0", "R0", 0},
      {"job", "cargo.loaded=bool:2", 0, "T0", "R0", 1},
      {"job", "@end=bool:1", 1, "T0", "R0", 0},
      {"job", "cargo.loaded=s32:1", 1, "T0", "R0", 0},
      {"job", "cargo.loaded=s32:0; cargo.loaded=bool:1; cargo.loaded=bool:0", 0, "T0", "R0", 1},
      {"job", "name=string:Scania R; cargo.loaded=bool:1", 0, "T0", "R0", 1},
      {"", "name=string:Scania R; cargo.loaded=bool:0", 1, "T0", "R0", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.id) + ": " + c.attributes);
    Configuration("truck", "name=string:T0").deliver();
    Configuration("trailer", "name=string:R0").deliver();
    run(c.cargoBefore ? "j1" : "j0");
    Configuration(c.id, c.attributes).deliver();
    std::lock_guard<std::mutex> lock(stateMutex);
    EXPECT_EQ(sessionState.truckName.str() + "|" + sessionState.trailerName.str(),
              c.truck + "|" + c.trailer);
    EXPECT_EQ(sessionState.cargoLoaded, c.cargo);
  }
}

TEST_F(Callbacks, BadInputChangesNothing) {
  std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"frame start without information", [] { onFrameStart(1, nullptr, nullptr); }},
      {"configuration without information", [] { onConfiguration(5, nullptr, nullptr); }},
      {"odometer without a value", [] { onOdometer("x", SCS_U32_NIL, nullptr, nullptr); }},
      {"configuration with a null id",
       [] { Configuration(nullptr, "name=string:Scania R; cargo.loaded=bool:0").deliver(); }},
  };
  for (const char* id : {"truck", "trailer", "job"})
    cases.push_back(
        {std::string(id) + " with null attributes", [=] { Configuration(id, "@none").deliver(); }});
  for (scs_value_type_t type = SCS_VALUE_TYPE_INVALID; type <= SCS_VALUE_TYPE_s64 + 1; ++type) {
    if (type == SCS_VALUE_TYPE_float) continue;
    cases.push_back({"odometer value of type " + std::to_string(type), [=] {
                       scs_value_t v{};
                       v.type = type;
                       v.value_double.value = 150.0;  // whatever the type, a plausible number
                       onOdometer("x", SCS_U32_NIL, &v, nullptr);
                     }});
  }
  // Counting goes on from the same baselines, remainder and totals.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    SetUp();
    Configuration("truck", "name=string:Volvo FH").deliver();
    Configuration("trailer", "name=string:Tanker").deliver();
    run("f10 f11.5 o100 o100.5");
    c.second();
    run("f12 o101");
    std::lock_guard<std::mutex> lock(stateMutex);
    EXPECT_EQ(sessionState.truckName.str() + "|" + sessionState.trailerName.str(),
              "Volvo FH|Tanker");
    EXPECT_EQ(sessionState.pendingSeconds, 2);
    EXPECT_NEAR(sessionState.secondsRemainder, 0.0, 1e-9);
    EXPECT_NEAR(sessionState.pendingMiles, mile, 1e-9);
  }
}

// Frame steps not counted for reasons of the clock must not touch the lock:
// the test holds it while the last step is delivered on another thread.
TEST_F(Callbacks, UncountedFrameStepsDoNotLock) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "f1"}, {"f1", "F2"}, {"f1", "f1"}, {"f3", "f1"}, {"f1", "f3.5"}, {"f1 d", "f2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " then " + c.second);
    SetUp();
    run(c.first);
    std::unique_lock<std::mutex> held(stateMutex);
    auto game = std::async(std::launch::async, [&c] { run(c.second); });
    EXPECT_EQ(game.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the frame start waited for stateMutex";
    held.unlock();
  }
}

}  // namespace
