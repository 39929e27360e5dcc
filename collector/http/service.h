// The workers of `serve` and what the routes share, owned in one place. The
// constructor starts the workers in one order (health, the committer that
// tells it of every commit, the board cache, the event boards, the
// announcements' sender when webhooks are given); the destructor stops them
// in the reverse order, the sender first, the committer after every board
// and before the health it tells. The routes only dispatch to them.
#pragma once

#include <memory>

#include "board/cache.h"
#include "board/events.h"
#include "http/metrics.h"
#include "http/refusal_log.h"
#include "http/serve_options.h"
#include "http/value_versions.h"
#include "store/store.h"

namespace collector {

class Announcer;
class Committer;
class Upkeep;
class Health;
class RateLimit;

class Service {
 public:
  // `metrics` outlives the service: connections dropped after it still count.
  Service(Store& store, const ServeOptions& options, Metrics& metrics);
  ~Service();  // after every request has been answered
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  Store& store() { return store_; }
  const ServeOptions& options() const { return options_; }
  Metrics& metrics() { return metrics_; }
  RefusalLog& refusals() { return refusals_; }
  RateLimit& rate() { return *rate_; }
  Health& health() { return *health_; }
  Committer& committer() { return *committer_; }
  BoardCache& boards() { return *boards_; }
  EventBoards& events() { return *events_; }
  // The event boards' values as the board cache's answers name them.
  ValueVersions& eventVersions() { return eventVersions_; }

 private:
  Store& store_;
  const ServeOptions options_;
  Metrics& metrics_;
  RefusalLog refusals_;
  ValueVersions eventVersions_;
  std::unique_ptr<RateLimit> rate_;
  // The workers, in the order they start.
  std::unique_ptr<Health> health_;
  std::unique_ptr<Committer> committer_;
  std::unique_ptr<BoardCache> boards_;
  std::unique_ptr<EventBoards> events_;
  std::unique_ptr<Announcer> announcer_;  // when webhooks are given
  std::unique_ptr<Upkeep> upkeep_;
};

}  // namespace collector
