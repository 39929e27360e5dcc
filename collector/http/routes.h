// The collector's routes, apart from the HTTP library that carries them. The
// front turns each complete request into an HttpRequest, hands it to
// Routes::handle and sends whatever HttpAnswer comes back through the reply,
// which may be called later and on another thread (a report waits for the
// commit of its batch).
//
// Routes only dispatch, by method and path, to the intake (intake.h) and the
// read routes (reads.h); the workers they answer with belong to the service
// (service.h), which the routes hold for as long as they serve.
#pragma once

#include <string>

#include "http/console.h"
#include "http/message.h"
#include "http/metrics.h"
#include "http/serve_options.h"
#include "http/service.h"
#include "store/store.h"

namespace collector {

class Routes : public Handler {
 public:
  // `metrics` outlives the routes: connections dropped after them still count.
  Routes(Store& store, const ServeOptions& options, Metrics& metrics);
  // After every request has been answered; stops the service's workers.
  ~Routes() override = default;
  Routes(const Routes&) = delete;
  Routes& operator=(const Routes&) = delete;

  // Answers one request; `reply` is called exactly once.
  void handle(const HttpRequest& request, Reply reply) override;

  // A report request that the front refused before it reached the routes
  // (its head or declared body): counted and logged like the others.
  void refusedAtFront(const std::string& clientAddress, int status,
                      const std::string& reason) override;

  // GET /metrics: the counters and the store's gauges.
  std::string metricsText() override;

 private:
  // Answers by method and path.
  void dispatch(const HttpRequest& request, Reply reply);

  Service service_;
  Console console_;  // stopped before the service
};

}  // namespace collector
