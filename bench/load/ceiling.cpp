// The load run's yardstick: the collector's own HTTP front with a route that
// stores nothing. Every POST to the report path is answered 200 at once, as
// the collector answers a stored report; anything else 404. What the
// collector takes per second against what this takes is the cost of its
// routes and store.
#include <cstdlib>
#include <memory>
#include <string>

#include "http/metrics.h"
#include "http/server.h"

namespace {

using namespace collector;

class StoresNothing : public Handler {
 public:
  explicit StoresNothing(Metrics& metrics) : metrics_(metrics) {}
  void handle(const HttpRequest& request, Reply reply) override {
    const bool report = request.method == "POST" && request.path == "/api/v1/telemetry";
    metrics_.reportAnswered(report ? 200 : 404);
    reply(report ? jsonAnswer(200, "stored") : jsonAnswer(404, "no such page"));
  }
  void refusedAtFront(const std::string&, int status, const std::string&) override {
    metrics_.reportAnswered(status);
  }
  std::string metricsText() override { return metrics_.render({}); }

 private:
  Metrics& metrics_;
};

}  // namespace

int main(int argc, char** argv) {
  ServeOptions options;
  options.port = 0;
  options.maxConnectionsPerAddress = 0;
  if (argc > 1) options.port = std::atoi(argv[1]);  // else a free port
  return serve([](Metrics& metrics) { return std::make_unique<StoresNothing>(metrics); }, options);
}
