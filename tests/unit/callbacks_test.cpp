#include "telemetry/callbacks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "detect/servers.h"
#include "plugin/session_state.h"

namespace {

// --- Building the game's payloads ------------------------------------------------

constexpr std::uint64_t us(double seconds) {
  return static_cast<std::uint64_t>(seconds * 1000000.0 + 0.5);
}

void frameAt(std::uint64_t microseconds, bool restart = false) {
  scs_telemetry_frame_start_t frame{};
  frame.flags = restart ? SCS_TELEMETRY_FRAME_START_FLAG_timer_restart : 0u;
  frame.render_time = 1;  // unused clocks carry values that must not matter
  frame.simulation_time = 2;
  frame.paused_simulation_time = microseconds;
  onFrameStart(SCS_TELEMETRY_EVENT_frame_start, &frame, nullptr);
}

scs_value_t valueOf(scs_value_type_t type) {
  scs_value_t value{};
  value.type = type;
  return value;
}
scs_value_t floatValue(float f) {
  scs_value_t value = valueOf(SCS_VALUE_TYPE_float);
  value.value_float.value = f;
  return value;
}
scs_value_t doubleValue(double d) {
  scs_value_t value = valueOf(SCS_VALUE_TYPE_double);
  value.value_double.value = d;
  return value;
}
scs_value_t boolValue(std::uint8_t b) {
  scs_value_t value = valueOf(SCS_VALUE_TYPE_bool);
  value.value_bool.value = b;
  return value;
}
scs_value_t s32Value(std::int32_t i) {
  scs_value_t value = valueOf(SCS_VALUE_TYPE_s32);
  value.value_s32.value = i;
  return value;
}
scs_value_t stringValue(const char* s) {
  scs_value_t value = valueOf(SCS_VALUE_TYPE_string);
  value.value_string.value = s;
  return value;
}

void odometer(float km) {
  const scs_value_t value = floatValue(km);
  onOdometer("truck.odometer", SCS_U32_NIL, &value, nullptr);
}

scs_named_value_t attr(const char* name, scs_value_t value) {
  scs_named_value_t a{};
  a.name = name;
  a.index = SCS_U32_NIL;
  a.value = value;
  return a;
}
// A null name ends the list; entries after it must not be read.
const scs_named_value_t terminator = attr(nullptr, stringValue("after the end"));

using Attributes = std::vector<scs_named_value_t>;

void configure(const char* id, Attributes attributes) {
  attributes.push_back(terminator);
  const scs_telemetry_configuration_t configuration{id, attributes.data()};
  onConfiguration(SCS_TELEMETRY_EVENT_configuration, &configuration, nullptr);
}

// --- Session state -----------------------------------------------------------

enum class Gate { open, noServer, bareServerForm, cargoNotLoaded };

void setGate(Gate gate) {
  std::lock_guard<std::mutex> lock(stateMutex);
  sessionState.serverId = gate == Gate::noServer ? ""
                          : gate == Gate::bareServerForm
                              ? std::string(knownServers[1]).substr(0, 17)
                              : knownServers[1];
  sessionState.cargoLoaded = gate != Gate::cargoNotLoaded;
}

struct Totals {
  std::int32_t seconds;
  double remainder;
  double miles;
};

Totals totals() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return {sessionState.pendingSeconds, sessionState.secondsRemainder, sessionState.pendingMiles};
}

class Callbacks : public ::testing::Test {
 protected:
  void SetUp() override { resetSessionStateForTests(); }
  void TearDown() override { resetSessionStateForTests(); }
};

// --- Driving time ------------------------------------------------------------

struct Frame {
  std::uint64_t time;
  bool restart;
};

struct FrameCase {
  const char* name;
  Gate gate;
  double remainderBefore;
  std::int32_t secondsBefore;
  std::vector<Frame> frames;
  std::int32_t seconds;
  double remainder;
};

TEST_F(Callbacks, FrameStepsCountDrivingTime) {
  const std::uint64_t late = std::numeric_limits<std::uint64_t>::max() - us(5);
  const std::int32_t nearMax = std::numeric_limits<std::int32_t>::max() - 1;
  const std::vector<FrameCase> cases = {
      {"first frame only primes", Gate::open, 0, 0, {{us(5), false}}, 0, 0},
      {"three 0.4 s steps",
       Gate::open,
       0,
       0,
       {{0, false}, {us(0.4), false}, {us(0.8), false}, {us(1.2), false}},
       1,
       0.2},
      {"2.5 s step dropped, next measured from it",
       Gate::open,
       0,
       0,
       {{0, false}, {us(2.5), false}, {us(3.0), false}},
       0,
       0.5},
      {"exactly 2.0 s counts", Gate::open, 0, 0, {{0, false}, {us(2.0), false}}, 2, 0},
      {"one microsecond over 2.0 s dropped",
       Gate::open,
       0,
       0,
       {{0, false}, {us(2) + 1, false}},
       0,
       0},
      {"timer restart only re-primes",
       Gate::open,
       0,
       0,
       {{0, false}, {us(1), true}, {us(1.5), true}},
       0,
       0},
      {"counting resumes after a restart",
       Gate::open,
       0,
       0,
       {{0, false}, {us(1), true}, {us(2.5), false}},
       1,
       0.5},
      {"restart on the very first frame", Gate::open, 0, 0, {{us(3), true}, {us(4), false}}, 1, 0},
      {"paused clock counts nothing",
       Gate::open,
       0,
       0,
       {{us(1), false}, {us(1), false}, {us(1), false}, {us(1.5), false}},
       0,
       0.5},
      {"clock went back",
       Gate::open,
       0,
       0,
       {{us(10), false}, {us(5), false}, {us(6), false}},
       1,
       0},
      {"remainder carries into a whole second",
       Gate::open,
       0.9,
       0,
       {{0, false}, {us(0.2), false}},
       1,
       0.1},
      {"one microsecond step", Gate::open, 0, 4, {{0, false}, {1, false}}, 4, 1e-6},
      {"late clock values", Gate::open, 0, 0, {{late, false}, {late + us(1), false}}, 1, 0},
      {"no server",
       Gate::noServer,
       0.7,
       3,
       {{0, false}, {us(0.5), false}, {us(1.0), false}},
       3,
       0.7},
      {"bare server form is no server",
       Gate::bareServerForm,
       0.7,
       3,
       {{0, false}, {us(1.0), false}},
       3,
       0.7},
      {"cargo not loaded", Gate::cargoNotLoaded, 0.7, 3, {{0, false}, {us(1.0), false}}, 3, 0.7},
      {"pending seconds saturate",
       Gate::open,
       0,
       nearMax,
       {{0, false}, {us(2.0), false}},
       std::numeric_limits<std::int32_t>::max(),
       0},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    resetSessionStateForTests();
    setGate(c.gate);
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      sessionState.secondsRemainder = c.remainderBefore;
      sessionState.pendingSeconds = c.secondsBefore;
    }
    for (const Frame& f : c.frames) frameAt(f.time, f.restart);
    const Totals t = totals();
    EXPECT_EQ(t.seconds, c.seconds);
    EXPECT_NEAR(t.remainder, c.remainder, 1e-9);
    EXPECT_GE(t.remainder, 0.0);
    EXPECT_LT(t.remainder, 1.0);
    EXPECT_EQ(sessionState.lastFrameTime, c.frames.back().time);
    EXPECT_TRUE(sessionState.frameBaselineValid.load());
  }
}

// --- Distance ----------------------------------------------------------------

struct OdometerCase {
  const char* name;
  Gate gate;
  std::vector<float> samples;
  double kilometres;  // expected distance counted
  bool baselineValid;
};

TEST_F(Callbacks, OdometerStepsCountMiles) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<OdometerCase> cases = {
      {"first sample only primes", Gate::open, {100.0f}, 0, true},
      {"half a kilometre", Gate::open, {100.0f, 100.5f}, 0.5, true},
      {"29.5 km jump dropped, next measured from it",
       Gate::open,
       {100.5f, 130.0f, 130.5f},
       0.5,
       true},
      {"going back dropped", Gate::open, {130.0f, 129.0f, 129.5f}, 0.5, true},
      {"exactly 25 km counts", Gate::open, {100.0f, 125.0f}, 25.0, true},
      {"just over 25 km dropped", Gate::open, {100.0f, 125.5f}, 0, true},
      {"standstill", Gate::open, {100.0f, 100.0f, 100.0f}, 0, true},
      {"not-a-number sample", Gate::open, {100.0f, nan, 100.5f, 101.0f}, 0.5, true},
      {"infinite sample", Gate::open, {100.0f, inf, 100.5f, 101.0f}, 0.5, true},
      {"no server", Gate::noServer, {100.0f, 100.5f, 101.0f}, 0, false},
      {"bare server form is no server", Gate::bareServerForm, {100.0f, 100.5f}, 0, false},
      {"cargo not loaded", Gate::cargoNotLoaded, {100.0f, 100.5f}, 0, false},
  };
  for (const OdometerCase& c : cases) {
    SCOPED_TRACE(c.name);
    resetSessionStateForTests();
    setGate(c.gate);
    for (float km : c.samples) odometer(km);
    EXPECT_NEAR(totals().miles, c.kilometres * KM_TO_MILES, 1e-12);
    EXPECT_EQ(sessionState.odometerBaselineValid, c.baselineValid);
    EXPECT_EQ(sessionState.lastOdometerKm, c.samples.back());
  }
}

TEST_F(Callbacks, HalfAKilometreIsTheExpectedMiles) {
  setGate(Gate::open);
  odometer(100.0f);
  odometer(100.5f);
  EXPECT_NEAR(totals().miles, 0.310685596118667, 1e-15);
}

// --- The gate changing between samples ------------------------------------------

enum class Do { frame, odometer, job, server, noServer, detectorCycle };

struct Step {
  Do what;
  double value = 0;  // seconds for frame, km for odometer, 0/1 for job
};

struct ScenarioCase {
  const char* name;
  std::vector<Step> steps;
  std::int32_t seconds;
  double remainder;
  double kilometres;
};

void run(const Step& step) {
  switch (step.what) {
    case Do::frame:
      frameAt(us(step.value));
      break;
    case Do::odometer:
      odometer(static_cast<float>(step.value));
      break;
    case Do::job:
      configure("job", {attr("cargo.loaded", boolValue(step.value != 0 ? 1 : 0))});
      break;
    case Do::server: {
      std::lock_guard<std::mutex> lock(stateMutex);
      sessionState.serverId = knownServers[static_cast<std::size_t>(step.value)];
      break;
    }
    case Do::noServer: {
      std::lock_guard<std::mutex> lock(stateMutex);
      sessionState.serverId.clear();
      break;
    }
    case Do::detectorCycle: {
      // What the detector does on a cycle that finds a server.
      std::lock_guard<std::mutex> lock(stateMutex);
      sessionState.serverId = knownServers[2];
      sessionState.frameBaselineValid = false;
      break;
    }
  }
}

TEST_F(Callbacks, CountingFollowsTheGate) {
  const std::vector<ScenarioCase> cases = {
      {"loading the cargo re-primes the odometer",
       {{Do::job, 0},
        {Do::odometer, 100},
        {Do::job, 1},
        {Do::odometer, 100.5},
        {Do::odometer, 101}},
       0,
       0,
       0.5},
      {"a repeated cargo state keeps the baseline",
       {{Do::odometer, 100}, {Do::job, 1}, {Do::odometer, 100.5}},
       0,
       0,
       0.5},
      {"unloading and reloading between samples re-primes",
       {{Do::odometer, 100},
        {Do::job, 0},
        {Do::job, 1},
        {Do::odometer, 100.5},
        {Do::odometer, 101}},
       0,
       0,
       0.5},
      {"distance without a server is never counted",
       {{Do::odometer, 100},
        {Do::noServer},
        {Do::odometer, 105},
        {Do::server, 4},
        {Do::odometer, 110},
        {Do::odometer, 110.5}},
       0,
       0,
       0.5},
      {"moving between known servers keeps the odometer baseline",
       {{Do::odometer, 100}, {Do::server, 3}, {Do::odometer, 100.5}},
       0,
       0,
       0.5},
      {"a detector cycle re-primes the frame clock",
       {{Do::frame, 0}, {Do::frame, 1}, {Do::detectorCycle}, {Do::frame, 2}, {Do::frame, 3}},
       2,
       0,
       0},
      {"time without a server is never counted",
       {{Do::frame, 0},
        {Do::noServer},
        {Do::frame, 1.5},
        {Do::detectorCycle},
        {Do::frame, 2},
        {Do::frame, 2.5}},
       0,
       0.5,
       0},
      {"the remainder survives a closed stretch",
       {{Do::frame, 0},
        {Do::frame, 0.6},
        {Do::job, 0},
        {Do::frame, 1.6},
        {Do::job, 1},
        {Do::frame, 2.2}},
       1,
       0.2,
       0},
  };
  for (const ScenarioCase& c : cases) {
    SCOPED_TRACE(c.name);
    resetSessionStateForTests();
    setGate(Gate::open);
    for (const Step& step : c.steps) run(step);
    const Totals t = totals();
    EXPECT_EQ(t.seconds, c.seconds);
    EXPECT_NEAR(t.remainder, c.remainder, 1e-9);
    EXPECT_NEAR(t.miles, c.kilometres * KM_TO_MILES, 1e-9);
  }
}

// --- Configurations ----------------------------------------------------------

struct ConfigurationCase {
  const char* name;
  const char* id;
  Attributes attributes;
  bool cargoBefore;
  const char* truck;
  const char* trailer;
  bool cargo;
};

TEST_F(Callbacks, ConfigurationsRecordNamesAndCargo) {
  const char* const oldTruck = "old truck";
  const char* const oldTrailer = "old trailer";
  const scs_named_value_t scania = attr("name", stringValue("Scania R"));
  const scs_named_value_t loaded = attr("cargo.loaded", boolValue(1));
  const std::vector<ConfigurationCase> cases = {
      {"truck name",
       "truck",
       {attr("brand", stringValue("x")), scania},
       false,
       "Scania R",
       oldTrailer,
       false},
      {"truck without a name",
       "truck",
       {attr("brand", stringValue("Scania"))},
       false,
       "Unknown",
       oldTrailer,
       false},
      {"truck without attributes", "truck", {}, false, "Unknown", oldTrailer, false},
      {"empty truck name",
       "truck",
       {attr("name", stringValue(""))},
       false,
       "Unknown",
       oldTrailer,
       false},
      {"name of another type is skipped",
       "truck",
       {attr("name", s32Value(7)), scania},
       false,
       "Scania R",
       oldTrailer,
       false},
      {"null name text is skipped",
       "truck",
       {attr("name", stringValue(nullptr)), scania},
       false,
       "Scania R",
       oldTrailer,
       false},
      {"first usable name wins",
       "truck",
       {scania, attr("name", stringValue("Volvo"))},
       false,
       "Scania R",
       oldTrailer,
       false},
      {"empty name is not skipped",
       "truck",
       {attr("name", stringValue("")), scania},
       false,
       "Unknown",
       oldTrailer,
       false},
      {"nothing after the terminator is read",
       "truck",
       {terminator, scania},
       false,
       "Unknown",
       oldTrailer,
       false},
      {"ids are case-sensitive", "Truck", {scania}, false, oldTruck, oldTrailer, false},
      {"ids are compared whole", "truck.0", {scania}, false, oldTruck, oldTrailer, false},
      {"trailer name",
       "trailer",
       {attr("name", stringValue("Flatbed"))},
       false,
       oldTruck,
       "Flatbed",
       false},
      {"trailer.0 name",
       "trailer.0",
       {attr("name", stringValue("Reefer"))},
       false,
       oldTruck,
       "Reefer",
       false},
      {"further trailers are ignored",
       "trailer.1",
       {attr("name", stringValue("Dolly"))},
       false,
       oldTruck,
       oldTrailer,
       false},
      {"no trailer attached", "trailer", {}, true, oldTruck, "None", true},
      {"cargo loaded", "job", {loaded}, false, oldTruck, oldTrailer, true},
      {"cargo not loaded",
       "job",
       {attr("cargo.loaded", boolValue(0))},
       true,
       oldTruck,
       oldTrailer,
       false},
      {"any non-zero byte is true",
       "job",
       {attr("cargo.loaded", boolValue(2))},
       false,
       oldTruck,
       oldTrailer,
       true},
      {"job without attributes", "job", {}, true, oldTruck, oldTrailer, false},
      {"cargo state of another type is ignored",
       "job",
       {attr("cargo.loaded", s32Value(1))},
       true,
       oldTruck,
       oldTrailer,
       false},
      {"cargo state as text is ignored",
       "job",
       {attr("cargo.loaded", stringValue("true"))},
       true,
       oldTruck,
       oldTrailer,
       false},
      {"first boolean cargo state decides",
       "job",
       {attr("cargo.loaded", s32Value(0)), loaded, attr("cargo.loaded", boolValue(0))},
       false,
       oldTruck,
       oldTrailer,
       true},
      {"a job's name is not the truck's",
       "job",
       {scania, loaded},
       false,
       oldTruck,
       oldTrailer,
       true},
      {"a truck's cargo state is not the job's",
       "truck",
       {scania, loaded},
       false,
       "Scania R",
       oldTrailer,
       false},
      {"other configurations are ignored",
       "controls",
       {scania, loaded},
       false,
       oldTruck,
       oldTrailer,
       false},
      {"empty id", "", {scania, loaded}, true, oldTruck, oldTrailer, true},
  };
  for (const ConfigurationCase& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      sessionState.truckName = oldTruck;
      sessionState.trailerName = oldTrailer;
      sessionState.cargoLoaded = c.cargoBefore;
    }
    configure(c.id, c.attributes);
    EXPECT_EQ(sessionState.truckName, c.truck);
    EXPECT_EQ(sessionState.trailerName, c.trailer);
    EXPECT_EQ(sessionState.cargoLoaded, c.cargo);
  }
}

TEST_F(Callbacks, LongNamesAreCopiedWhole) {
  const std::string longName(5000, 'n');
  std::vector<char> buffer(longName.begin(), longName.end());
  buffer.push_back('\0');
  configure("truck", {attr("name", stringValue(buffer.data()))});
  buffer.assign(buffer.size(), 'x');  // the game may reuse its text at once
  EXPECT_EQ(sessionState.truckName, longName);
}

// --- Bad input -----------------------------------------------------------------

struct Snapshot {
  std::string serverId, truckName, trailerName;
  bool cargoLoaded, odometerBaselineValid, frameBaselineValid;
  float lastOdometerKm;
  std::int32_t pendingSeconds;
  double pendingMiles, secondsRemainder;
  std::uint64_t lastFrameTime;

  bool operator==(const Snapshot& o) const {
    return serverId == o.serverId && truckName == o.truckName && trailerName == o.trailerName &&
           cargoLoaded == o.cargoLoaded && odometerBaselineValid == o.odometerBaselineValid &&
           frameBaselineValid == o.frameBaselineValid && lastOdometerKm == o.lastOdometerKm &&
           pendingSeconds == o.pendingSeconds && pendingMiles == o.pendingMiles &&
           secondsRemainder == o.secondsRemainder && lastFrameTime == o.lastFrameTime;
  }
};

Snapshot snapshot() {
  std::lock_guard<std::mutex> lock(stateMutex);
  const SessionState& s = sessionState;
  return {s.serverId,
          s.truckName,
          s.trailerName,
          s.cargoLoaded,
          s.odometerBaselineValid,
          s.frameBaselineValid.load(),
          s.lastOdometerKm,
          s.pendingSeconds,
          s.pendingMiles,
          s.secondsRemainder,
          s.lastFrameTime};
}

void channel(void (*callback)(scs_string_t, scs_u32_t, const scs_value_t*, scs_context_t),
             const scs_value_t* value) {
  callback("truck.odometer", SCS_U32_NIL, value, nullptr);
}

struct BadInputCase {
  const char* name;
  std::function<void()> deliver;
};

TEST_F(Callbacks, BadInputChangesNothing) {
  static const scs_named_value_t named[] = {attr("name", stringValue("Scania R")),
                                            attr("cargo.loaded", boolValue(0)), terminator};
  static const scs_value_t values[] = {valueOf(SCS_VALUE_TYPE_INVALID),
                                       doubleValue(150.0),
                                       s32Value(150),
                                       boolValue(1),
                                       stringValue(nullptr),
                                       stringValue("150"),
                                       valueOf(SCS_VALUE_TYPE_u64),
                                       valueOf(SCS_VALUE_TYPE_fvector),
                                       valueOf(SCS_VALUE_TYPE_dplacement),
                                       valueOf(99)};
  std::vector<BadInputCase> cases = {
      {"frame start without information",
       [] { onFrameStart(SCS_TELEMETRY_EVENT_frame_start, nullptr, nullptr); }},
      {"configuration without information",
       [] { onConfiguration(SCS_TELEMETRY_EVENT_configuration, nullptr, nullptr); }},
      {"configuration with a null id",
       [] {
         const scs_telemetry_configuration_t c{nullptr, named};
         onConfiguration(SCS_TELEMETRY_EVENT_configuration, &c, nullptr);
       }},
      {"odometer without a value", [] { channel(onOdometer, nullptr); }},
      {"speed without a value", [] { channel(onSpeed, nullptr); }},
      {"speed as a float",
       [] {
         const scs_value_t v = floatValue(90.0f);
         channel(onSpeed, &v);
       }},
  };
  for (const char* id : {"truck", "trailer", "trailer.0", "job"})
    cases.push_back({"configuration with null attributes", [id] {
                       const scs_telemetry_configuration_t c{id, nullptr};
                       onConfiguration(SCS_TELEMETRY_EVENT_configuration, &c, nullptr);
                     }});
  for (const scs_value_t& v : values) {
    cases.push_back({"odometer of another type", [&v] { channel(onOdometer, &v); }});
    cases.push_back({"speed of another type", [&v] { channel(onSpeed, &v); }});
  }

  for (const BadInputCase& c : cases) {
    SCOPED_TRACE(c.name);
    resetSessionStateForTests();
    setGate(Gate::open);
    configure("truck", {attr("name", stringValue("Volvo FH"))});
    configure("trailer", {attr("name", stringValue("Tanker"))});
    frameAt(us(10));
    frameAt(us(11.5));
    odometer(100.0f);
    odometer(100.5f);
    const Snapshot before = snapshot();
    c.deliver();
    EXPECT_TRUE(snapshot() == before);
    // Counting goes on from the same baselines.
    frameAt(us(12));
    odometer(101.0f);
    EXPECT_EQ(totals().seconds, 2);
    EXPECT_NEAR(totals().miles, 1.0 * KM_TO_MILES, 1e-9);
  }
}

// --- Locking -------------------------------------------------------------------

// Frame steps not counted for reasons of the clock must not touch the lock:
// the test holds it while the step is delivered on another thread.
TEST_F(Callbacks, UncountedFrameStepsDoNotLock) {
  struct Case {
    const char* name;
    std::vector<Frame> primer;
    Frame last;
  };
  const std::vector<Case> cases = {
      {"first frame", {}, {us(1), false}},
      {"timer restart", {{us(1), false}}, {us(2), true}},
      {"standstill", {{us(1), false}}, {us(1), false}},
      {"clock went back", {{us(3), false}}, {us(1), false}},
      {"step above 2 s", {{us(1), false}}, {us(3.5), false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetSessionStateForTests();
    setGate(Gate::open);
    for (const Frame& f : c.primer) frameAt(f.time, f.restart);
    std::unique_lock<std::mutex> held(stateMutex);
    std::packaged_task<void()> task([&c] { frameAt(c.last.time, c.last.restart); });
    std::future<void> done = task.get_future();
    std::thread game(std::move(task));
    const bool finished = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    held.unlock();
    game.join();
    EXPECT_TRUE(finished) << "the frame start waited for stateMutex";
  }
}

// The game's thread runs the callbacks while the detector publishes servers and
// clears the frame baseline, and the sender takes and subtracts the totals.
// Run under the thread sanitizer, this must be free of data races.
TEST_F(Callbacks, CallbacksRaceWithDetectorAndSender) {
  const int rounds = 20000;
  std::atomic<bool> stop{false};

  std::thread detector([&stop] {
    for (std::size_t cycle = 0; !stop.load(); ++cycle) {
      std::lock_guard<std::mutex> lock(stateMutex);
      sessionState.serverId = cycle % 4 == 3 ? "" : knownServers[cycle % knownServerCount];
      if (!sessionState.serverId.empty()) sessionState.frameBaselineValid = false;
    }
  });
  std::thread sender([&stop] {
    while (!stop.load()) {
      double miles;
      std::int32_t seconds;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        miles = sessionState.pendingMiles;
        seconds = sessionState.pendingSeconds;
      }
      std::lock_guard<std::mutex> lock(stateMutex);
      subtractReported(sessionState, miles, seconds);
    }
  });

  for (int i = 0; i < rounds; ++i) {
    frameAt(us(0.5) * static_cast<std::uint64_t>(i), i % 1000 == 0);
    odometer(100.0f + 0.01f * static_cast<float>(i % 1000));
    const scs_value_t speed = floatValue(20.0f);
    onSpeed("truck.speed", SCS_U32_NIL, &speed, nullptr);
    if (i % 100 == 0) {
      configure("job", {attr("cargo.loaded", boolValue(i % 200 == 0 ? 1 : 0))});
      configure("truck", {attr("name", stringValue(i % 300 == 0 ? "Scania R" : ""))});
      configure("trailer.0", {});
    }
  }
  stop = true;
  detector.join();
  sender.join();

  const Snapshot end = snapshot();
  EXPECT_GE(end.pendingSeconds, 0);
  EXPECT_GE(end.pendingMiles, 0.0);
  EXPECT_FALSE(end.truckName.empty());
  EXPECT_EQ(end.trailerName, "None");
}

}  // namespace
