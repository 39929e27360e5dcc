// What the game's callbacks, the detector thread and the sender thread share.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

// An immutable text held by handle. The game's thread waits on stateMutex, so
// its holders must not allocate, free or copy bytes by the name's length:
// a SharedText is built before the lock is taken, only its handle is copied
// or swapped under the lock, and the last reference to an old text is
// dropped after the lock is released.
class SharedText {
 public:
  SharedText() = default;
  SharedText(const std::string& text);
  SharedText(const char* text) : SharedText(std::string(text)) {}

  const std::string& str() const;
  operator const std::string&() const { return str(); }
  bool empty() const { return str().empty(); }
  void swap(SharedText& other) noexcept { text_.swap(other.text_); }

  friend bool operator==(const SharedText& a, const SharedText& b) { return a.str() == b.str(); }
  friend bool operator!=(const SharedText& a, const SharedText& b) { return !(a == b); }
  friend std::ostream& operator<<(std::ostream& out, const SharedText& text);

 private:
  std::shared_ptr<const std::string> text_;  // null for the empty text
};

struct SessionState {
  // Guarded by stateMutex.
  SharedText serverId;
  SharedText truckName = "Unknown";
  SharedText trailerName = "None";
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
