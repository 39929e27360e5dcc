// Cost of the telemetry callbacks on the game's thread, next to a bare
// lock/unlock of a std::mutex measured in the same run. The "allocs" counter
// is the number of heap allocations per call; the per-frame and per-sample
// paths must show 0.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#include "configuration_cases.h"
#include "detect/servers.h"
#include "plugin/session_state.h"
#include "telemetry/callbacks.h"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

// Kept out of line so that the compiler does not pair the replaced operators
// with malloc and free and warn about a mismatch that is not there.
__attribute__((noinline)) void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

void setGate(bool open) {
  std::lock_guard<std::mutex> lock(stateMutex);
  sessionState.serverId = open ? knownServers[4] : "";  // the last one costs the most compares
  sessionState.cargoLoaded = true;
}

// Counts the allocations made inside the timed loop only.
class AllocationCounter {
 public:
  explicit AllocationCounter(benchmark::State& state) : state_(state), start_(allocations.load()) {}
  ~AllocationCounter() {
    state_.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations.load() - start_),
                                                   benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& state_;
  std::size_t start_;
};

void BM_MutexLockUnlock(benchmark::State& state) {
  std::mutex mutex;
  AllocationCounter counter(state);
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
}
BENCHMARK(BM_MutexLockUnlock);

// 60 frames a second: every step is counted (one lock, the gate, the sums).
void frameSteps(benchmark::State& state, bool gateOpen, std::uint64_t stepMicroseconds) {
  resetSessionStateForTests();
  setGate(gateOpen);
  scs_telemetry_frame_start_t frame{};
  onFrameStart(SCS_TELEMETRY_EVENT_frame_start, &frame, nullptr);
  AllocationCounter counter(state);
  for (auto _ : state) {
    frame.paused_simulation_time += stepMicroseconds;
    onFrameStart(SCS_TELEMETRY_EVENT_frame_start, &frame, nullptr);
    benchmark::ClobberMemory();
  }
}
void BM_FrameStartCounted(benchmark::State& state) { frameSteps(state, true, 16667); }
void BM_FrameStartGateClosed(benchmark::State& state) { frameSteps(state, false, 16667); }
void BM_FrameStartPaused(benchmark::State& state) { frameSteps(state, true, 0); }
void BM_FrameStartStepTooLong(benchmark::State& state) { frameSteps(state, true, 3000000); }
BENCHMARK(BM_FrameStartCounted);
BENCHMARK(BM_FrameStartGateClosed);
BENCHMARK(BM_FrameStartPaused);
BENCHMARK(BM_FrameStartStepTooLong);

// About 100 km/h sampled at 60 Hz; the odometer is wound back now and then so
// that float resolution never turns the steps into standstills.
void odometerSamples(benchmark::State& state, bool gateOpen) {
  resetSessionStateForTests();
  setGate(gateOpen);
  scs_value_t value{};
  value.type = SCS_VALUE_TYPE_float;
  AllocationCounter counter(state);
  int sample = 0;
  for (auto _ : state) {
    value.value_float.value = 1000.0f + 0.0005f * static_cast<float>(sample);
    sample = sample == 100000 ? 0 : sample + 1;
    onOdometer("truck.odometer", SCS_U32_NIL, &value, nullptr);
    benchmark::ClobberMemory();
  }
}
void BM_OdometerCounted(benchmark::State& state) { odometerSamples(state, true); }
void BM_OdometerGateClosed(benchmark::State& state) { odometerSamples(state, false); }
BENCHMARK(BM_OdometerCounted);
BENCHMARK(BM_OdometerGateClosed);

void BM_Speed(benchmark::State& state) {
  scs_value_t value{};
  value.type = SCS_VALUE_TYPE_float;
  value.value_float.value = 25.0f;
  AllocationCounter counter(state);
  for (auto _ : state) {
    onSpeed("truck.speed", SCS_U32_NIL, &value, nullptr);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Speed);

// Configurations arrive rarely (load, trailer change, job); measured for
// completeness. A name longer than the short-string buffer allocates once.
void BM_ConfigurationTruck(benchmark::State& state) {
  resetSessionStateForTests();
  const TruckConfiguration truck;
  AllocationCounter counter(state);
  for (auto _ : state) {
    onConfiguration(SCS_TELEMETRY_EVENT_configuration, &truck.configuration, nullptr);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ConfigurationTruck);

void BM_ConfigurationJob(benchmark::State& state) {
  resetSessionStateForTests();
  JobConfiguration job;
  AllocationCounter counter(state);
  for (auto _ : state) {
    job.flipCargo();
    onConfiguration(SCS_TELEMETRY_EVENT_configuration, &job.configuration, nullptr);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ConfigurationJob);

}  // namespace

BENCHMARK_MAIN();
