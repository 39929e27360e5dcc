#include "http/service.h"

#include <chrono>

#include "announce/sender.h"
#include "http/committer.h"
#include "http/health.h"
#include "http/rate_limit.h"
#include "http/upkeep.h"

namespace collector {

Service::Service(Store& store, const ServeOptions& options, Metrics& metrics)
    : store_(store),
      options_(options),
      metrics_(metrics),
      rate_(std::make_unique<RateLimit>(options.maxReportsPerMinute)) {
  health_ = std::make_unique<Health>(store);
  BoardCache::Limits limits;
  limits.reuse = std::chrono::milliseconds(options.boardReuseMs);
  limits.maxEntries = static_cast<std::size_t>(options.boardCacheEntries);
  limits.maxBytes = static_cast<std::size_t>(options.boardCacheMb) << 20;
  limits.computed = [&metrics](double seconds, bool ok) {
    metrics.boardComputed(seconds);
    if (!ok) metrics.storeFailed();
  };
  boards_ = std::make_unique<BoardCache>(store, limits);
  EventBoards::Limits eventLimits;
  eventLimits.reuse = limits.reuse;
  eventLimits.computed = limits.computed;
  events_ = std::make_unique<EventBoards>(store, boards_->reviews(), eventLimits);
  committer_ = std::make_unique<Committer>(
      store, metrics, *health_, Committer::defaultGatherWindow,
      [boards = boards_.get()](const std::vector<std::int64_t>& receivedMs) {
        boards->stored(receivedMs);
      });
  upkeep_ = std::make_unique<Upkeep>(
      store, static_cast<std::int64_t>(options.eventRetentionDays) * 86400000);
  if (!options.webhooks.empty()) {
    Announcer::Counts counts;
    counts.sent = [&metrics] { metrics.announcementSent(); };
    counts.failed = [&metrics] { metrics.announcementFailed(); };
    counts.waiting = [&metrics](std::int64_t waiting) { metrics.announcementsWaiting(waiting); };
    announcer_ = std::make_unique<Announcer>(ResultStores{store, store, store}, options.webhooks, std::move(counts),
                                             options.publicUrl);
  }
}

Service::~Service() {
  announcer_.reset();
  upkeep_.reset();
  committer_.reset();  // tells the boards of what it stores
  events_.reset();
  boards_.reset();
  health_.reset();
}

}  // namespace collector
