#include "announce/sender.h"

#include <chrono>

#include "announce/results.h"
#include "announce/retry.h"
#include "core/calendar.h"
#include "core/clock.h"
#include "core/text.h"
#include "core/threads.h"

namespace collector {

namespace {

// How often the sender looks for due deliveries, and for ended results.
constexpr std::int64_t pollMs = 1000;
constexpr std::int64_t resultsEveryMs = 60000;
// A claimed delivery is taken again by anyone after this long: longer than a
// post and a store call together, so a live claimer has always settled it.
constexpr std::int64_t leaseMs = 30000;
// Announcements are kept this long, then pruned once an hour.
constexpr std::int64_t keepMs = 30 * msPerDay;
constexpr std::int64_t pruneEveryMs = 3600000;

LogLimiter& storeLog() {
  static LogLimiter limiter(60000);
  return limiter;
}

}  // namespace

Announcer::Announcer(Store& store, std::vector<Webhook> webhooks, Counts counts)
    : store_(store), webhooks_(std::move(webhooks)), counts_(std::move(counts)) {
  startWebhooks();  // before the thread: it is the only user of libcurl
  thread_ = std::thread([this] { run(); });
}

Announcer::~Announcer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cutOff_ = true;
  wake_.notify_all();
  thread_.join();
}

void Announcer::run() {
  nameThisThread("vorn-announce");
  std::int64_t nextResults = steadyClockMs(), nextPrune = nextResults;
  for (;;) {
    bool busy = false;
    const std::int64_t steady = steadyClockMs();
    if (steady >= nextResults) {
      std::string problem;
      if (!recordResults(store_, wallClockMs(), problem)) {
        storeLog().write("results", "announcements: " + problem);
      }
      nextResults = steady + resultsEveryMs;
    }
    if (steady >= nextPrune) {
      std::string error;
      if (!store_.pruneAnnouncements(wallClockMs() - keepMs, error)) {
        storeLog().write("prune", "announcements: cannot prune the old ones: " + error);
      }
      nextPrune = steady + pruneEveryMs;
    }
    for (const Webhook& webhook : webhooks_) {
      if (cutOff_) return;
      busy = deliver(webhook, wallClockMs()) || busy;
    }
    countWaiting();
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::milliseconds(busy ? 0 : pollMs),
                       [this] { return stopping_; })) {
      return;
    }
  }
}

bool Announcer::deliver(const Webhook& webhook, std::int64_t nowMs) {
  ClaimedAnnouncement claimed;
  bool found = false;
  std::string error;
  if (!store_.claimAnnouncement(webhook.hash, nowMs - giveUpAfterMs, nowMs, nowMs + leaseMs,
                                claimed, found, error)) {
    storeLog().write("claim", "announcements: cannot read the store: " + error);
    return false;
  }
  if (!found) return false;
  const PostResult result = postWebhook(webhook.url, claimed.body, cutOff_);
  const std::int64_t doneMs = wallClockMs();
  Delivery outcome = Delivery::sent;
  std::int64_t atMs = doneMs;
  if (result.cutOff) {
    // Cut off by the stop: whether it arrived is unknown, so it is due again
    // at once (the next start posts it) rather than after the lease.
    outcome = Delivery::retry;
  } else if (!result.failure.empty() || result.status < 200 || result.status > 299) {
    if (counts_.failed) counts_.failed();
    std::string why =
        !result.failure.empty() ? result.failure : "HTTP " + std::to_string(result.status);
    std::int64_t retryAfterMs = 0;
    if (result.status == 429 && parseRetryAfter(result.retryAfter, retryAfterMs)) {
      why += ", Retry-After " + std::to_string(retryAfterMs) + " ms";
    }
    if (nextTry(claimed.createdMs, claimed.attempts, doneMs, retryAfterMs, atMs)) {
      outcome = Delivery::retry;
      failureLog_.write(webhook.name + " failed",
                        webhook.name + ": a post failed (" + why +
                            "); it is tried again, with growing pauses, for a day");
    } else {
      outcome = Delivery::givenUp;
      atMs = doneMs;
      failureLog_.write(webhook.name + " gave up", webhook.name +
                                                       ": an announcement was given up after " +
                                                       counted(claimed.attempts, "attempt") +
                                                       " over a day (last: " + why + ")");
    }
  } else if (counts_.sent) {
    counts_.sent();
  }
  if (!store_.settleAnnouncement(claimed, outcome, atMs, error)) {
    storeLog().write("settle", "announcements: cannot record a delivery: " + error);
  }
  return true;
}

void Announcer::countWaiting() {
  std::int64_t all = 0;
  for (const Webhook& webhook : webhooks_) {
    std::int64_t count = 0;
    std::string error;
    if (!store_.announcementsWaiting(webhook.hash, count, error)) return;
    all += count;
  }
  if (counts_.waiting) counts_.waiting(all);
}

}  // namespace collector
