// The three threads of the plug-in on the shared record at once, each in a
// tight loop: the game's callbacks, the detector's cycle against a stand-in
// Steam library and the sender's cycle against a stand-in collector. The
// totals must balance (accepted + pending == counted) and nobody may hold
// stateMutex while talking to Steam, the log or the collector, nor allocate
// or free under it. Under the thread sanitizer build this is also the race
// check of the whole record.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "config/settings.h"
#include "configured_player.h"
#include "detect/detector.h"
#include "detect/servers.h"
#include "plugin/plugin.h"
#include "plugin/session_state.h"
#include "telemetry/callbacks.h"
#include "upload/sender.h"
#include "vorn_deployment.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::chrono::milliseconds hammerTime(2000);
const std::uint64_t selfId = 76561198000000001ull;

// --- is stateMutex free for this thread? -------------------------------------

std::atomic<int> heldAcrossIo{0};

// The other threads hold the lock for a few instructions at a time, so a
// lock that stays busy for seconds can only be one this thread kept.
bool stateMutexFreeEventually() {
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  do {
    if (stateMutex.try_lock()) {
      stateMutex.unlock();
      return true;
    }
    std::this_thread::yield();
  } while (Clock::now() < deadline);
  return false;
}

// Without other threads the lock must be free at the first attempt.
bool stateMutexFreeAtOnce() {
  if (!stateMutex.try_lock()) return false;
  stateMutex.unlock();
  return true;
}

bool (*stateMutexFree)() = &stateMutexFreeEventually;

// Heap traffic while the lock is busy, counted only while a single-threaded
// check watches: then a busy lock can only be this thread's own.
std::atomic<bool> watchHeap{false};
std::atomic<int> heapUnderLock{0};

void noteHeapUse() {
  if (!watchHeap.load(std::memory_order_relaxed)) return;
  if (stateMutex.try_lock())
    stateMutex.unlock();
  else
    heapUnderLock.fetch_add(1);
}

}  // namespace

// Out of line, so that the compiler does not pair them with malloc and free.
__attribute__((noinline)) void* operator new(std::size_t size) {
  noteHeapUse();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
  if (p != nullptr) noteHeapUse();
  std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
  operator delete(p);
}

namespace {

// After the first finding the check only counts, so that a lock kept across
// every call fails the test quickly instead of stalling all three threads.
void checkNoLockHeld() {
  if (heldAcrossIo.load() > 0 || !stateMutexFree()) heldAcrossIo.fetch_add(1);
}

// --- a Steam library whose endpoint alternates between two known servers -------

std::atomic<std::uint64_t> steamIdCalls{0};
std::atomic<int> logLines{0};
char userInterface;
char friendsInterface;

std::uint64_t steamId(void*) {
  checkNoLockHeld();
  steamIdCalls.fetch_add(1);
  return selfId;
}

std::uint8_t gamePlayed(void*, std::uint64_t, GamePlayedInfo* out) {
  checkNoLockHeld();
  // Server 2 on odd cycles, server 5 on even ones: every cycle publishes a
  // different identifier and writes a new status line.
  const bool odd = steamIdCalls.load() % 2 == 1;
  *out = odd ? GamePlayedInfo{270880, deployment::endpointAddressA, 27027, 27026, 1}
             : GamePlayedInfo{270880, deployment::endpointAddressB, 27015, 27016, 1};
  return 1;
}

std::int32_t keyCount(void*, std::uint64_t) { return 1; }
const char* keyByIndex(void*, std::uint64_t, std::int32_t) { return "status"; }
const char* presenceValue(void*, std::uint64_t, const char* key) {
  checkNoLockHeld();
  return std::string(key) == "status" ? "Hauling" : "";
}
void requestPresence(void*, std::uint64_t) { checkNoLockHeld(); }

bool bindStandIn(SteamBinding& binding) {
  binding.module = &userInterface;
  binding.user = &userInterface;
  binding.friends = &friendsInterface;
  binding.getSteamId = &steamId;
  binding.getFriendGamePlayed = &gamePlayed;
  binding.getRichPresenceKeyCount = &keyCount;
  binding.getRichPresenceKeyByIndex = &keyByIndex;
  binding.getRichPresence = &presenceValue;
  binding.requestRichPresence = &requestPresence;
  return true;
}

void noSleep(unsigned) {}

void countLogLine(const std::string&) {
  checkNoLockHeld();
  logLines.fetch_add(1);
}

// Stops the loop after its first cycle, for the single-threaded check.
void stopAtFirstSleep(unsigned) { running = false; }

// --- a collector that accepts two reports of three ------------------------------

struct Collected {
  long posts = 0;
  long accepted = 0;
  double miles = 0.0;  // as sent: six decimals
  std::int64_t seconds = 0;
  long unknownServer = 0;
};
Collected collected;  // written by the sender thread only, read after the join

std::string member(const std::string& body, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const std::string::size_type at = body.find(key);
  if (at == std::string::npos) return std::string();
  const std::string::size_type start = at + key.size();
  return body.substr(start, body.find_first_of(",}", start) - start);
}

bool standInPost(const std::string&, const std::string&, const std::string& body) {
  checkNoLockHeld();
  ++collected.posts;
  const std::string server = member(body, "server_id");
  if (server.size() < 2 || !isKnownServer(server.substr(1, server.size() - 2)))
    ++collected.unknownServer;
  if (collected.posts % 3 == 0) return false;
  ++collected.accepted;
  collected.miles += std::strtod(member(body, "miles_delta").c_str(), nullptr);
  collected.seconds += std::strtoll(member(body, "seconds_delta").c_str(), nullptr, 10);
  return true;
}

// --- the game's thread -----------------------------------------------------------

struct Driven {
  std::uint64_t frames = 0;         // frame steps of exactly one second after the priming one
  std::uint64_t odometerSteps = 0;  // steps of exactly 0.5 km with the gate open
};

void frameAt(std::uint64_t microseconds) {
  scs_telemetry_frame_start_t frame{};
  frame.paused_simulation_time = microseconds;
  onFrameStart(SCS_TELEMETRY_EVENT_frame_start, &frame, nullptr);
}

void odometerAt(float km) {
  scs_value_t value{};
  value.type = SCS_VALUE_TYPE_float;
  value.value_float.value = km;
  onOdometer("truck.odometer", SCS_U32_NIL, &value, nullptr);
}

void truckNamed(const char* name) {
  scs_named_value_t attributes[2]{};
  attributes[0].name = "name";
  attributes[0].index = SCS_U32_NIL;
  attributes[0].value.type = SCS_VALUE_TYPE_string;
  attributes[0].value.value_string.value = name;
  const scs_telemetry_configuration_t configuration{"truck", attributes};
  onConfiguration(SCS_TELEMETRY_EVENT_configuration, &configuration, nullptr);
}

void cargoLoaded() {
  scs_named_value_t attributes[2]{};
  attributes[0].name = "cargo.loaded";
  attributes[0].value.type = SCS_VALUE_TYPE_bool;
  attributes[0].value.value_bool.value = 1;
  const scs_telemetry_configuration_t configuration{"job", attributes};
  onConfiguration(SCS_TELEMETRY_EVENT_configuration, &configuration, nullptr);
}

// Whole-second frames and half-kilometre samples keep every sum exact; the
// odometer is wound back (a step that is dropped) before float resolution
// would start to round the half kilometres.
Driven hammerCallbacks(Clock::time_point until) {
  Driven driven;
  std::uint64_t now = 0;
  float km = 1000.0f;
  frameAt(now);
  odometerAt(km);
  while (Clock::now() < until) {
    for (int i = 0; i < 1000; ++i) {
      now += 1000000;
      frameAt(now);
      ++driven.frames;
      km += 0.5f;
      odometerAt(km);
      ++driven.odometerSteps;
    }
    truckNamed(driven.frames % 2000 == 0 ? "Scania R 2016 Highline" : "Volvo FH16 Globetrotter");
    if (km > 60000.0f) {
      km = 1000.0f;
      odometerAt(km);
    }
  }
  return driven;
}

class ThreeThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    resetToConfiguredPlayer();
    collected = Collected();
    steamIdCalls = 0;
    logLines = 0;
    heldAcrossIo = 0;
    heapUnderLock = 0;
  }
  void TearDown() override {
    running = false;
    stateMutexFree = &stateMutexFreeEventually;
    resetSessionStateForTests();
    settings = defaultSettings();
  }
};

TEST_F(ThreeThreads, AtFullRateNothingIsLostOrDoubledAndNoLockIsHeldAcrossIo) {
  publishDetectedServer(deployment::knownServerIds[1]);
  cargoLoaded();
  running = true;
  std::thread detector([] {
    runDetector(DetectorEnvironment{&bindStandIn, &noSleep, &countLogLine});
  });
  std::thread sender([] {
    while (running.load()) senderCycle(&standInPost);
  });
  const Driven driven = hammerCallbacks(Clock::now() + hammerTime);
  running = false;
  detector.join();
  sender.join();

  double pendingMiles;
  std::int64_t pendingSeconds;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    pendingMiles = sessionState.pendingMiles;
    pendingSeconds = sessionState.pendingSeconds;
  }
  const std::uint64_t cycles = steamIdCalls.load();

  // The run was a real contest of all three threads.
  EXPECT_GT(cycles, 10u);
  EXPECT_GT(collected.accepted, 10);
  EXPECT_GT(collected.posts, collected.accepted);
  EXPECT_EQ(heldAcrossIo.load(), 0);
  EXPECT_EQ(collected.unknownServer, 0);
  EXPECT_GE(logLines.load(), 2);

  // Distance: the gate never closed and the detector never touches the
  // odometer, so every half kilometre counts. Each accepted report was
  // rounded to six decimals, and the running sums round a little per step.
  const double counted = static_cast<double>(driven.odometerSteps) * (0.5 * KM_TO_MILES);
  const double ulp = std::nextafter(counted, 2 * counted + 1) - counted;
  const double tolerance = static_cast<double>(collected.accepted) * 5e-7 +
                           static_cast<double>(driven.odometerSteps) * ulp * 2;
  EXPECT_NEAR(collected.miles + pendingMiles, counted, tolerance);

  // Time: each detector cycle may cost one frame step (its re-prime of the
  // frame clock), never more; nothing is ever counted twice.
  const std::int64_t reported = collected.seconds + pendingSeconds;
  const std::int64_t frames = static_cast<std::int64_t>(driven.frames);
  EXPECT_LE(reported, frames);
  EXPECT_GE(reported, frames - static_cast<std::int64_t>(cycles));
}

// Alone on the record, the lock must be free at the first attempt in every
// call that leaves the process: Steam, the log and the collector. And every
// holder, the callbacks with names longer than any in-place string included,
// leaves the heap alone.
TEST_F(ThreeThreads, NoLockIsHeldWhileCallingOutAndNoHeapUsedUnderIt) {
  stateMutexFree = &stateMutexFreeAtOnce;
  running = true;
  watchHeap = true;
  runDetector(DetectorEnvironment{&bindStandIn, &stopAtFirstSleep, &countLogLine});
  EXPECT_EQ(steamIdCalls.load(), 1u);
  EXPECT_EQ(logLines.load(), 1);

  cargoLoaded();
  truckNamed("Volvo FH16 Globetrotter XXL");
  truckNamed("Scania R 2016 Highline Topline");
  frameAt(0);
  frameAt(1000000);
  odometerAt(1.0f);
  odometerAt(2.0f);
  ASSERT_TRUE(senderCycle(&standInPost));
  publishDetectedServer("");
  watchHeap = false;
  EXPECT_EQ(collected.posts, 1);
  EXPECT_EQ(heldAcrossIo.load(), 0);
  EXPECT_EQ(heapUnderLock.load(), 0);
}

}  // namespace
