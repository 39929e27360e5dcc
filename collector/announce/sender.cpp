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

// How often each webhook's thread looks for due deliveries, and the
// announcer counts those waiting: twice a second, so that a milestone
// recorded just after a look is posted within a second, post included.
constexpr std::int64_t pollMs = 500;
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

Announcer::Announcer(const ResultStores& stores, std::vector<Webhook> webhooks, Counts counts,
                     std::string publicUrl)
    : stores_(stores),
      webhooks_(std::move(webhooks)),
      publicUrl_(std::move(publicUrl)),
      counts_(std::move(counts)) {
  startWebhooks();  // before the threads that post
  thread_ = std::thread([this] { run(); });
  for (std::size_t i = 0; i < webhooks_.size(); ++i) {
    posters_.emplace_back([this, i] { post(webhooks_[i], static_cast<int>(i) + 1); });
  }
}

Announcer::~Announcer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cutOff_ = true;
  wake_.notify_all();
  settled_.notify_all();
  for (std::thread& poster : posters_) poster.join();
  thread_.join();
}

bool Announcer::waitOrStop(std::int64_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void Announcer::run() {
  nameThisThread("vorn-announce");
  std::int64_t nextResults = steadyClockMs(), nextPrune = nextResults;
  for (;;) {
    const std::int64_t steady = steadyClockMs();
    if (steady >= nextResults) {
      std::string problem;
      if (!recordResults(stores_, wallClockMs(), problem, publicUrl_)) {
        storeLog().write("results", "announcements: " + problem);
      }
      nextResults = steady + resultsEveryMs;
    }
    if (steady >= nextPrune) {
      std::string error;
      if (!stores_.outbox.pruneAnnouncements(wallClockMs() - keepMs, error)) {
        storeLog().write("prune", "announcements: cannot prune the old ones: " + error);
      }
      nextPrune = steady + pruneEveryMs;
    }
    countWaiting();
    // Counted again twice a second, and as soon as a delivery is settled.
    std::unique_lock<std::mutex> lock(mutex_);
    settled_.wait_for(lock, std::chrono::milliseconds(pollMs),
                      [this] { return stopping_ || recount_; });
    if (stopping_) return;
    recount_ = false;
  }
}

void Announcer::post(const Webhook& webhook, int number) {
  nameThisThread(("vorn-hook-" + std::to_string(number)).substr(0, 15).c_str());
  for (;;) {
    if (cutOff_) return;
    std::int64_t pauseMs = 0;
    const bool busy = deliver(webhook, wallClockMs(), pauseMs);
    if (busy) {
      std::lock_guard<std::mutex> lock(mutex_);
      recount_ = true;
      settled_.notify_one();
    }
    if (waitOrStop(pauseMs > 0 ? pauseMs : busy ? 0 : pollMs)) return;
  }
}

bool Announcer::deliver(const Webhook& webhook, std::int64_t nowMs, std::int64_t& pauseMs) {
  ClaimedAnnouncement claimed;
  bool found = false;
  std::string error;
  if (!stores_.outbox.claimAnnouncement(webhook.hash, nowMs - giveUpAfterMs, nowMs, nowMs + leaseMs,
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
    outcome = failed(webhook, claimed, result, doneMs, atMs, pauseMs);
  } else if (counts_.sent) {
    counts_.sent();
  }
  if (!stores_.outbox.settleAnnouncement(claimed, outcome, atMs, error)) {
    storeLog().write("settle", "announcements: cannot record a delivery: " + error);
  }
  return true;
}

Delivery Announcer::failed(const Webhook& webhook, const ClaimedAnnouncement& claimed,
                           const PostResult& result, std::int64_t doneMs, std::int64_t& atMs,
                           std::int64_t& pauseMs) {
  if (counts_.failed) counts_.failed();
  std::string why =
      !result.failure.empty() ? result.failure : "HTTP " + std::to_string(result.status);
  std::int64_t retryAfterMs = 0;
  if (result.status == 429 && parseRetryAfter(result.retryAfter, doneMs, retryAfterMs)) {
    why += ", Retry-After " + std::to_string(retryAfterMs) + " ms";
  }
  const bool gone = webhookGone(result.status);
  if (gone) why += ": the webhook's URL is probably wrong, or the webhook was deleted";
  Delivery outcome = Delivery::retry;
  if (nextTry(claimed.createdMs, claimed.attempts, doneMs, result.status, retryAfterMs, atMs)) {
    failureLog_.write(webhook.name + (gone ? " gone" : " failed"),
                      webhook.name + ": a post failed (" + why + "); it is tried again, " +
                          (gone ? counted(goneTries, "time") + " in all"
                                : std::string("with growing pauses, for a day")));
  } else {
    outcome = Delivery::givenUp;
    atMs = doneMs;
    // The line names the delivery whose row holds the attempts it counts.
    const std::string delivery = "delivery " + std::to_string(claimed.deliveryId);
    failureLog_.write(webhook.name + " gave up",
                      webhook.name + ": " + delivery + " of an announcement was given up after " +
                          counted(claimed.attempts, "attempt") + (gone ? "" : " over a day") +
                          " (last: " + why + ")");
  }
  // A 429 speaks for the webhook: none of its posts is made until then.
  if (result.status == 429) pauseMs = outcome == Delivery::retry ? atMs - doneMs : retryAfterMs;
  return outcome;
}

void Announcer::countWaiting() {
  std::int64_t all = 0;
  const std::int64_t sinceMs = wallClockMs() - giveUpAfterMs;  // as the deliveries are made
  for (const Webhook& webhook : webhooks_) {
    std::int64_t count = 0;
    std::string error;
    if (!stores_.outbox.announcementsWaiting(webhook.hash, sinceMs, count, error)) return;
    all += count;
  }
  if (counts_.waiting) counts_.waiting(all);
}

}  // namespace collector
