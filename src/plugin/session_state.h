// What the game's callbacks, the detector thread and the sender thread share.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct SessionState {
  // Guarded by stateMutex.
  std::string serverId;
  std::string truckName = "Unknown";
  std::string trailerName = "None";
  bool cargoLoaded = false;
  bool odometerBaselineValid = false;
  float lastOdometerKm = 0.0f;
  std::int32_t pendingSeconds = 0;
  double pendingMiles = 0.0;
  double secondsRemainder = 0.0;

  // Owned by the frame-start callback and used without stateMutex. The
  // detector clears frameBaselineValid from its own thread, so it is atomic.
  std::uint64_t lastFrameTime = 0;
  std::atomic<bool> frameBaselineValid{false};
};

extern SessionState sessionState;
extern std::mutex stateMutex;

// Takes an accepted report's amounts off the pending totals, clamped at zero.
// The caller holds stateMutex.
void subtractReported(SessionState& state, double milesSent, std::int32_t secondsSent);

// Puts every field back to its load-time value; for tests that share one process.
void resetSessionStateForTests();
