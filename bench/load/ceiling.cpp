// The load run's yardsticks. Without arguments beyond the port: the
// collector's own HTTP front with a route that stores nothing; every POST to
// the report path is answered 200 at once, as the collector answers a stored
// report, anything else 404. What the collector takes per second against
// what this takes is the cost of its routes and store. With `--routes`: the
// collector's own routes and committer over a store that keeps nothing and
// answers every report "stored", which splits that cost in two: the routes'
// (the body's checks, the key's hash, the hand-offs to the committer and
// back) and the store's.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "http/metrics.h"
#include "http/server.h"
#include "store/joined.h"

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

// Every report stored at once and nothing kept: the store's other roles
// are those of a store that holds nothing (boards, players and announcements
// all empty).
class KeepsNothing : public IntakeStore {
 public:
  bool addReports(const std::vector<IncomingReport>& batch, std::vector<AddOutcome>& outcomes,
                  std::string&) override {
    outcomes.assign(batch.size(), AddOutcome::stored);
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  ServeOptions options;
  options.port = 0;
  options.maxConnectionsPerAddress = 0;
  bool routes = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--routes") == 0) {
      routes = true;
    } else {
      options.port = std::atoi(argv[i]);  // else a free port
    }
  }
  if (routes) {
    // As the load run starts the collector: no per-key or wall-time limits.
    options.wallTimeCheck = false;
    options.maxReportsPerMinute = 0;
    KeepsNothing keepsNothing;
    StoreRoles roles;
    roles.intake = &keepsNothing;
    JoinedStore store(roles);
    return serve(store, options);
  }
  return serve([](Metrics& metrics) { return std::make_unique<StoresNothing>(metrics); }, options);
}
