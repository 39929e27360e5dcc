// What /healthz says: the store's truth, told without waiting on the store.
// 503 with its cause from the first failed commit until a commit succeeds, or
// until a probe of the store (Store::healthy) does: after a failed commit the
// first /healthz starts one, one at a time on a thread of its own, and its
// answer is kept for a second, so health recovers without waiting for a
// report and no server thread ever waits for the database. Also 503 while the
// store knows that it cannot store anything (Store::cannotStore: its file
// removed or not writable). Each change of the answer is one log line.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "store/store.h"

namespace collector {

class Health {
 public:
  // How long a probe's answer stands.
  static constexpr std::int64_t probeKeptMs = 1000;

  explicit Health(Store& store);
  ~Health();  // waits for a probe under way (each is bounded)
  Health(const Health&) = delete;
  Health& operator=(const Health&) = delete;

  void commitSucceeded();
  void commitFailed(const std::string& error);

  // "" while healthy, else the cause of the 503. Returns at once.
  std::string problem();

 private:
  void probeLoop();
  void setCause(std::unique_lock<std::mutex>& lock, const std::string& cause);

  Store& store_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string failure_;            // of the latest commit, "" once one succeeded
  std::uint64_t failures_ = 0;     // failed commits so far
  std::uint64_t probedAfter_ = 0;  // failures_ when the latest probe began
  std::int64_t probedMs_ = 0;      // when it ended
  bool probeWanted_ = false;
  bool probing_ = false;
  bool stopping_ = false;
  std::string told_;  // the cause the log last named, "" when healthy
  std::thread thread_;
};

}  // namespace collector
