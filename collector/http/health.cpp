#include "http/health.h"

#include <chrono>
#include <iostream>

#include "core/clock.h"
#include "core/threads.h"

namespace collector {

namespace {

std::string commitCause(const std::string& error) { return "the latest commit failed: " + error; }

}  // namespace

Health::Health(Store& store) : store_(store), thread_([this] { probeLoop(); }) {}

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
  if (failure_.empty()) return;
  failure_.clear();
  setCause(lock, "");
}

void Health::commitFailed(const std::string& error) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++failures_;
  failure_ = error.empty() ? "no reason given" : error;
  setCause(lock, commitCause(failure_));
}

std::string Health::problem() {
  const std::string standing = store_.cannotStore();
  std::unique_lock<std::mutex> lock(mutex_);
  std::string cause = standing;
  if (cause.empty() && !failure_.empty()) {
    const bool answered = probedAfter_ == failures_ && steadyClockMs() - probedMs_ < probeKeptMs;
    if (!answered && !probing_ && !probeWanted_) {
      probeWanted_ = true;
      wake_.notify_all();
    }
    cause = commitCause(failure_);
  }
  setCause(lock, cause);
  return cause;
}

void Health::setCause(std::unique_lock<std::mutex>&, const std::string& cause) {
  if (cause == told_) return;
  std::cerr << (cause.empty() ? "health: the store takes commits again\n"
                              : "health: /healthz answers 503: " + cause + "\n")
            << std::flush;
  told_ = cause;
}

void Health::probeLoop() {
  nameThisThread("vorn-health");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || probeWanted_; });
    if (stopping_) return;
    probeWanted_ = false;
    probing_ = true;
    const std::uint64_t after = failures_;
    lock.unlock();
    const bool healthy = store_.healthy();
    lock.lock();
    probing_ = false;
    probedAfter_ = after;
    probedMs_ = steadyClockMs();
    // A commit that failed while the probe ran has the last word.
    if (healthy && after == failures_ && !failure_.empty()) {
      failure_.clear();
      setCause(lock, "");
    }
  }
}

}  // namespace collector
