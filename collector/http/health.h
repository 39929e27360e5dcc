// What /healthz says: whether the store could take a commit now, told
// without waiting on the store. The answer is the outcome of the latest
// write: a commit of reports, or a probe that writes (Store::healthy) when
// no commit came for `freshMs`. A failure stands until a commit or a write
// probe succeeds; a read never clears it. The probe runs on a thread of its
// own, one at a time, started by a /healthz that finds the latest outcome
// stale, so no server thread ever waits for the database; the first one runs
// before the service starts, so a store that takes no writes (a read-only
// server) is named at start. Also 503 while the store knows that it cannot
// store anything (Store::cannotStore: its file removed or not writable).
// Changes of the answer are logged at most once per `logEveryMs`, the next
// line saying how many were held back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/log_limit.h"
#include "store/store.h"

namespace collector {

class Health {
 public:
  // How long the outcome of a commit or a probe stands without a probe.
  static constexpr std::int64_t freshMs = 2000;
  static constexpr std::int64_t logEveryMs = 10000;
  // Whether an outcome that came at `outcomeMs` is too old to stand at `nowMs`
  // (steady clock), so that a /healthz then starts a probe.
  static bool stale(std::int64_t outcomeMs, std::int64_t nowMs) {
    return nowMs - outcomeMs >= freshMs;
  }

  // Probes the store once before it returns (a bounded wait).
  explicit Health(StoreHealth& store);
  ~Health();  // waits for a probe under way (each is bounded)
  Health(const Health&) = delete;
  Health& operator=(const Health&) = delete;

  void commitSucceeded();
  void commitFailed(const std::string& error);

  // "" while healthy, else the cause of the 503. Returns at once.
  std::string problem();

 private:
  void probeLoop();
  void probe(std::unique_lock<std::mutex>& lock);
  void setOutcome(std::unique_lock<std::mutex>& lock, const std::string& cause);
  void tell(std::unique_lock<std::mutex>& lock, const std::string& cause);

  StoreHealth& store_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string outcome_;          // of the latest write, "" when it succeeded
  std::int64_t outcomeMs_ = 0;   // when it came (steady clock)
  std::uint64_t commits_ = 0;    // commits so far, failed or not
  bool probeWanted_ = false;
  bool probing_ = false;
  bool stopping_ = false;
  std::string current_;  // the latest answer
  std::string told_;     // the answer the log last named, "" when healthy
  std::int64_t toldMs_ = 0;
  LogLimiter log_{logEveryMs};
  std::thread thread_;
};

}  // namespace collector
