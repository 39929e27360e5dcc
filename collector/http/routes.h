// The collector's routes, apart from the HTTP library that carries them. The
// front turns each complete request into an HttpRequest, hands it to
// Routes::handle and sends whatever HttpAnswer comes back through the reply,
// which may be called later and on another thread (a report waits for the
// commit of its batch).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "board/cache.h"
#include "board/events.h"
#include "core/calendar.h"
#include "http/message.h"
#include "http/metrics.h"
#include "http/refusal_log.h"
#include "http/serve_options.h"
#include "store/store.h"

namespace collector {

class RateLimit;
class Committer;
class Health;
class Announcer;

class Routes : public Handler {
 public:
  // `metrics` outlives the routes: connections dropped after them still count.
  Routes(Store& store, const ServeOptions& options, Metrics& metrics);
  ~Routes();  // after every request has been answered; stops the committer
  Routes(const Routes&) = delete;
  Routes& operator=(const Routes&) = delete;

  // Answers one request; `reply` is called exactly once.
  void handle(const HttpRequest& request, Reply reply) override;

  // A report request that the front refused before it reached the routes
  // (its head or declared body): counted and logged like the others.
  void refusedAtFront(const std::string& clientAddress, int status,
                      const std::string& reason) override;

  Metrics& metrics() { return metrics_; }
  // GET /metrics: the counters and the store's gauges.
  std::string metricsText() override { return metrics_.render(store_.gauges()); }

 private:
  void report(const HttpRequest& request, Reply reply);
  void board(const HttpRequest& request, bool page, Reply reply);
  void player(const HttpRequest& request, const std::string& name, bool page, Reply reply);
  // The player's answer from `view`; a page lists `places`.
  void playerView(ViewRequest view, bool page, std::int64_t today, const std::string& name,
                  const PeriodChoice& choice, const DaySpan& span,
                  std::shared_ptr<const std::vector<EventPlace>> places, BoardCache::Done done);
  void events(bool page, Reply reply);
  void event(const HttpRequest& request, const std::string& id, bool page, Reply reply);

  // Counts the answer to a report and logs it when it refused the report.
  // (With a Retry-After header of that many seconds, when not empty.)
  void finishReport(const Reply& reply, int status, const std::string& message,
                    const std::string& player, const std::string& keyHash,
                    const std::string& address, const std::string& retryAfter = "");

  Store& store_;
  ServeOptions options_;
  Metrics& metrics_;
  RefusalLog refusals_;
  std::unique_ptr<RateLimit> rate_;
  std::unique_ptr<Health> health_;  // before the committer, which tells it
  std::unique_ptr<Committer> committer_;
  std::unique_ptr<BoardCache> boards_;
  std::unique_ptr<EventBoards> events_;
  std::unique_ptr<Announcer> announcer_;  // stopped first, when webhooks are given
};

}  // namespace collector
