#include "http/health.h"

#include <chrono>
#include <iostream>

#include "core/clock.h"
#include "core/threads.h"

namespace collector {

namespace {

std::string commitCause(const std::string& error) {
  return "the latest commit failed: " + (error.empty() ? "no reason given" : error);
}

std::string probeCause(const std::string& why) {
  return "the store takes no write: " + (why.empty() ? "no reason given" : why);
}

}  // namespace

Health::Health(StoreHealth& store) : store_(store) {
  std::unique_lock<std::mutex> lock(mutex_);
  probe(lock);
  lock.unlock();
  thread_ = std::thread([this] { probeLoop(); });
}

Health::~Health() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Health::commitSucceeded() {
  std::unique_lock<std::mutex> lock(mutex_);
  ++commits_;
  setOutcome(lock, "");
}

void Health::commitFailed(const std::string& error) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++commits_;
  setOutcome(lock, commitCause(error));
}

std::string Health::problem() {
  const std::string standing = store_.cannotStore();
  std::unique_lock<std::mutex> lock(mutex_);
  if (stale(outcomeMs_, steadyClockMs()) && !probing_ && !probeWanted_) {
    probeWanted_ = true;
    wake_.notify_all();
  }
  const std::string cause = standing.empty() ? outcome_ : standing;
  tell(lock, cause);
  return cause;
}

void Health::setOutcome(std::unique_lock<std::mutex>& lock, const std::string& cause) {
  outcome_ = cause;
  outcomeMs_ = steadyClockMs();
  tell(lock, cause);
}

// A change is logged unless a line went out within logEveryMs (then it is
// counted); one held back is logged by the first call after that which still
// finds it so.
void Health::tell(std::unique_lock<std::mutex>&, const std::string& cause) {
  const std::int64_t now = steadyClockMs();
  const bool changed = cause != current_;
  current_ = cause;
  if (!changed && (cause == told_ || now - toldMs_ < logEveryMs)) return;
  const std::string out =
      log_.line("health",
                cause.empty() ? "health: the store takes commits again"
                              : "health: /healthz answers 503: " + cause,
                now);
  if (out.empty()) return;
  told_ = cause;
  toldMs_ = now;
  std::cerr << out << std::flush;
}

// Runs one probe with the lock released; a commit that ended meanwhile has
// the last word.
void Health::probe(std::unique_lock<std::mutex>& lock) {
  probing_ = true;
  const std::uint64_t after = commits_;
  lock.unlock();
  std::string why;
  const bool healthy = store_.healthy(why);
  lock.lock();
  probing_ = false;
  if (after == commits_) setOutcome(lock, healthy ? "" : probeCause(why));
}

void Health::probeLoop() {
  nameThisThread("vorn-health");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || probeWanted_; });
    if (stopping_) return;
    probeWanted_ = false;
    probe(lock);
  }
}

}  // namespace collector
