// Lock discipline: nobody may hold stateMutex while calling out of the process
// (Steam, the log, the collector) nor use the heap under it, and the game's
// callbacks, the detector and the sender may run on the shared record at once.
// Under the thread sanitizer the three-thread case is the record's race check.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "configured_player.h"
#include "detect/detector.h"
#include "fake_steam.h"
#include "plugin/plugin.h"
#include "plugin/session_state.h"
#include "upload/sender.h"
#include "vorn_deployment.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> heldAcrossCalls{0}, calls{0};
bool aloneOnTheRecord = true;

// Alone, the lock must be free at the first attempt. With other threads, who
// hold it for a few instructions at a time, a lock that stays busy for a
// second can only be one this thread kept.
void checkNoLockHeld() {
  ++calls;
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  while (!stateMutex.try_lock()) {
    if (aloneOnTheRecord || heldAcrossCalls > 0 || Clock::now() > deadline) {
      ++heldAcrossCalls;
      return;
    }
    std::this_thread::yield();
  }
  stateMutex.unlock();
}

// Heap use while the lock is busy, counted only while the single-threaded
// case watches: then a busy lock can only be this thread's own.
std::atomic<bool> watchHeap{false};
std::atomic<int> heapUnderLock{0};

void noteHeapUse() {
  if (!watchHeap.load(std::memory_order_relaxed)) return;
  if (stateMutex.try_lock())
    stateMutex.unlock();
  else
    ++heapUnderLock;
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
// The standard library's temporary buffers (std::stable_partition's) take the
// nothrow form and give it back through the plain delete above.
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  noteHeapUse();
  return std::malloc(size == 0 ? 1 : size);
}
__attribute__((noinline)) void operator delete(void* p, const std::nothrow_t&) noexcept {
  operator delete(p);
}

namespace {

bool bindFake(SteamBinding& binding) {
  binding = fakesteam::binding();
  return true;
}
std::atomic<int> detectorSteps{0};
void countStep(unsigned) { ++detectorSteps; }
void stopAtFirstSleep(unsigned) { running = false; }
void checkedLog(const std::string&) { checkNoLockHeld(); }
bool checkedPost(const std::string&, const std::string&, const std::string&) {
  checkNoLockHeld();
  return calls % 3 != 0;
}

class LockDiscipline : public ::testing::Test {
 protected:
  void SetUp() override {
    resetToConfiguredPlayer();
    fakesteam::reset();
    fakesteam::onCall = &checkNoLockHeld;
    fakesteam::state.selfId = 76561198000000001ull;
    fakesteam::state.gamePlayedResult = 1;
    fakesteam::state.game = {270880, deployment::endpointAddressA, 27027, 27026, 1};
    fakesteam::setPresence("status=Hauling");
    heldAcrossCalls = calls = 0;
    Configuration("job", "cargo.loaded=bool:1").deliver();
  }
  void TearDown() override {
    running = false;
    aloneOnTheRecord = true;
    fakesteam::onCall = nullptr;
    resetSessionStateForTests();
  }
};

// Names longer than any in-place string, so that a copy under the lock would
// have to allocate.
TEST_F(LockDiscipline, NoLockIsHeldWhileCallingOutNorHeapUsedUnderIt) {
  running = true;
  watchHeap = true;
  heapUnderLock = 0;
  runDetector(DetectorEnvironment{&bindFake, &stopAtFirstSleep, &checkedLog});
  for (const char* name : {"Volvo FH16 Globetrotter XXL", "Scania R 2016 Highline Topline"})
    Configuration("truck", std::string("name=string:") + name).deliver();
  frameAt(0);
  frameAt(1000000);
  odometerAt(1.0f);
  odometerAt(2.0f);
  ASSERT_TRUE(senderCycle(&checkedPost));
  publishDetectedServer("");
  watchHeap = false;
  EXPECT_GE(calls.load(), 4) << "Steam, the log and the post were all called";
  EXPECT_EQ(heldAcrossCalls.load(), 0);
  EXPECT_EQ(heapUnderLock.load(), 0);
}

TEST_F(LockDiscipline, ThreeThreadsOnTheRecordAtOnce) {
  aloneOnTheRecord = false;
  running = true;
  detectorSteps = 0;
  std::thread detector([] { runDetector(DetectorEnvironment{&bindFake, &countStep, &checkedLog}); });
  std::thread sender([] {
    while (running) senderCycle(&checkedPost);
  });
  const Configuration trucks[] = {{"truck", "name=string:Scania R"},
                                  {"truck", "name=string:Volvo FH"}};
  // On until the detector has had twelve cycles of 20 steps, however scheduled.
  for (std::uint64_t i = 1; i <= 200000 || detectorSteps < 12 * 20; ++i) {
    frameAt(i * 500000);
    odometerAt(1000.0f + 0.01f * static_cast<float>(i % 1000));
    if (i % 1000 == 0) trucks[i % 2000 == 0].deliver();
  }
  running = false;
  detector.join();
  sender.join();
  EXPECT_GT(fakesteam::state.gamePlayedCalls, 10);
  EXPECT_EQ(heldAcrossCalls.load(), 0);
}

}  // namespace
