#include "board/review_watch.h"

#include "core/log_limit.h"

namespace collector {

namespace {

// The review mark's read failures, one line per cause per 10 s in an outage.
LogLimiter& markFailures() {
  static LogLimiter limiter;
  return limiter;
}

}  // namespace

ReviewWatch::ReviewWatch(BoardStore& store) : store_(store) {}

int ReviewWatch::watch(Touched touched) {
  std::lock_guard<std::mutex> checking(checkMutex_);
  watchers_.emplace(nextId_, std::move(touched));
  return nextId_++;
}

void ReviewWatch::unwatch(int id) {
  std::lock_guard<std::mutex> checking(checkMutex_);
  watchers_.erase(id);
}

bool ReviewWatch::claimCheck(Clock::duration every) {
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (claimed_ || (checked_ && now - checkedAt_ < every)) return false;
  claimed_ = true;
  return true;
}

void ReviewWatch::queuedCheck(bool late) {
  if (!late) check(Clock::duration::zero());
  std::lock_guard<std::mutex> lock(mutex_);
  claimed_ = false;
}

void ReviewWatch::storedLate(const std::vector<std::int64_t>& receivedMs) {
  std::lock_guard<std::mutex> checking(checkMutex_);
  ++generation_;
  for (const auto& [id, touched] : watchers_) touched(&receivedMs);
}

void ReviewWatch::check(Clock::duration within) {
  std::lock_guard<std::mutex> checking(checkMutex_);
  ReviewMark before;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Recently enough for a computation: any review after that check changes
    // the mark, and the next check tells what it touched.
    if (checked_ && within > Clock::duration::zero() && Clock::now() - checkedAt_ < within) return;
    before = mark_;
  }
  const Clock::time_point at = Clock::now();
  ReviewMark mark;
  std::string error;
  if (!store_.reviewMark(mark, error)) {
    markFailures().write(error, "reading the flag reviews failed: " + error);
    return;
  }
  bool wasChecked = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wasChecked = checked_;
  }
  if (wasChecked && !(mark == before)) {
    std::vector<ReviewedReport> reviewed;
    std::vector<std::int64_t> receivedMs;
    std::int64_t after = 0;
    const bool read = store_.reviewedSince(before.lastMs, reviewed, error);
    for (const ReviewedReport& report : reviewed) {
      receivedMs.push_back(report.receivedMs);
      after += report.reviewedMs > before.lastMs;
    }
    // Reviews dated before the last mark (another machine's clock) cannot be
    // told apart: then every value of closed days goes.
    const bool known = read && after == mark.count - before.count;
    ++generation_;
    for (const auto& [id, touched] : watchers_) touched(known ? &receivedMs : nullptr);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  mark_ = mark;
  checked_ = true;
  checkedAt_ = at;
}

}  // namespace collector
