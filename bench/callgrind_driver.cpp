// Calls one telemetry callback N times, for counting instructions with
// callgrind: run it as
//   valgrind --tool=callgrind --toggle-collect=vorn_measure vorn_callgrind_driver CASE N
// and divide the collected instructions by N. Only vorn_measure and what it
// calls is counted, so loading, setup and the valgrind start-up stay out.
// The cases are those of vorn_bench_callbacks, including the bare mutex.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "configuration_cases.h"
#include "detect/servers.h"
#include "plugin/session_state.h"
#include "telemetry/callbacks.h"

namespace {

std::mutex bareMutex;
scs_telemetry_frame_start_t frame{};
std::uint64_t frameStep = 0;
scs_value_t sample{};
int sampleIndex = 0;

TruckConfiguration truck;
JobConfiguration job;

void setGate(bool open) {
  std::lock_guard<std::mutex> lock(stateMutex);
  sessionState.serverId = open ? knownServers[4] : "";  // the last one costs the most compares
  sessionState.cargoLoaded = true;
}

void mutexLockUnlock() {
  bareMutex.lock();
  bareMutex.unlock();
}

void frameStart() {
  frame.paused_simulation_time += frameStep;
  onFrameStart(SCS_TELEMETRY_EVENT_frame_start, &frame, nullptr);
}

// About 100 km/h sampled at 60 Hz, wound back now and then so that float
// resolution never turns the steps into standstills.
void odometer() {
  sample.value_float.value = 1000.0f + 0.0005f * static_cast<float>(sampleIndex);
  sampleIndex = sampleIndex == 100000 ? 0 : sampleIndex + 1;
  onOdometer("truck.odometer", SCS_U32_NIL, &sample, nullptr);
}

void speed() { onSpeed("truck.speed", SCS_U32_NIL, &sample, nullptr); }

void configurationTruck() {
  onConfiguration(SCS_TELEMETRY_EVENT_configuration, &truck.configuration, nullptr);
}

void configurationJob() {
  job.flipCargo();
  onConfiguration(SCS_TELEMETRY_EVENT_configuration, &job.configuration, nullptr);
}

struct Case {
  const char* name;
  void (*prepare)();
  void (*call)();
};

void prepareFrames(bool gateOpen, std::uint64_t step) {
  resetSessionStateForTests();
  setGate(gateOpen);
  frameStep = step;
  onFrameStart(SCS_TELEMETRY_EVENT_frame_start, &frame, nullptr);  // primes the clock
}

void prepareOdometer(bool gateOpen) {
  resetSessionStateForTests();
  setGate(gateOpen);
  sample.type = SCS_VALUE_TYPE_float;
}

const Case cases[] = {
    {"MutexLockUnlock", [] {}, &mutexLockUnlock},
    {"FrameStartCounted", [] { prepareFrames(true, 16667); }, &frameStart},
    {"FrameStartGateClosed", [] { prepareFrames(false, 16667); }, &frameStart},
    {"FrameStartPaused", [] { prepareFrames(true, 0); }, &frameStart},
    {"FrameStartStepTooLong", [] { prepareFrames(true, 3000000); }, &frameStart},
    {"OdometerCounted", [] { prepareOdometer(true); }, &odometer},
    {"OdometerGateClosed", [] { prepareOdometer(false); }, &odometer},
    {"Speed",
     [] {
       sample.type = SCS_VALUE_TYPE_float;
       sample.value_float.value = 25.0f;
     },
     &speed},
    {"ConfigurationTruck", &resetSessionStateForTests, &configurationTruck},
    {"ConfigurationJob", &resetSessionStateForTests, &configurationJob},
};

}  // namespace

extern "C" __attribute__((noinline)) void vorn_measure(void (*call)(), long count) {
  for (long i = 0; i < count; ++i) call();
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vorn_callgrind_driver CASE COUNT\ncases:");
    for (const Case& c : cases) std::fprintf(stderr, " %s", c.name);
    std::fprintf(stderr, "\n");
    return 2;
  }
  const long count = std::strtol(argv[2], nullptr, 10);
  for (const Case& c : cases) {
    if (std::strcmp(c.name, argv[1]) != 0) continue;
    c.prepare();
    c.call();  // the first call of a case may take a first-use path
    vorn_measure(c.call, count);
    return 0;
  }
  std::fprintf(stderr, "vorn_callgrind_driver: no case %s\n", argv[1]);
  return 2;
}
