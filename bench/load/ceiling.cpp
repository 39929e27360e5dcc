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
#include "store/store.h"

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

// Every report stored at once and nothing kept: the boards, players and
// announcements are all empty.
class KeepsNothing : public Store {
 public:
  bool addPlayer(const std::string&, const std::string&, std::int64_t, std::string&) override {
    return true;
  }
  bool listPlayers(std::vector<PlayerInfo>&, std::string&) override { return true; }
  bool revokePlayer(const std::string&, const std::function<std::int64_t()>&,
                    std::string&) override {
    return true;
  }
  bool addReports(const std::vector<IncomingReport>& batch, std::vector<AddOutcome>& outcomes,
                  std::string&) override {
    outcomes.assign(batch.size(), AddOutcome::stored);
    return true;
  }
  bool leaderboard(const Period&, std::vector<LeaderboardRow>&, std::string&) override {
    return true;
  }
  bool communityDays(const Period&, std::vector<DayTotals>&, std::string&) override { return true; }
  bool playerActivity(const std::string& name, const Period&, PlayerView&, bool& found,
                      std::string& error) override {
    found = false;
    error = "no player named '" + name + "'";
    return false;
  }
  bool exportReports(const std::function<void(const StoredReport&)>&, std::string&) override {
    return true;
  }
  bool unreviewedFlags(std::int64_t, const std::string&, std::vector<StoredReport>&,
                       std::string&) override {
    return true;
  }
  bool reviewFlags(const std::vector<std::int64_t>&, bool, std::int64_t, std::string&) override {
    return true;
  }
  bool reviewMark(ReviewMark&, std::string&) override { return true; }
  bool reviewedSince(std::int64_t, std::vector<ReviewedReport>&, std::string&) override {
    return true;
  }
  bool addEvent(Event&, std::int64_t, std::string&) override { return true; }
  bool listEvents(std::vector<Event>&, std::string&) override { return true; }
  bool removeEvent(std::int64_t, std::string&) override { return true; }
  bool eventBoard(const Event&, std::vector<LeaderboardRow>&, std::string&) override {
    return true;
  }
  bool addAnnouncement(const std::string&, const std::string&, std::int64_t, bool& added,
                       std::string&) override {
    added = false;
    return true;
  }
  bool hasAnnouncement(const std::string&, bool& found, std::string&) override {
    found = false;
    return true;
  }
  bool claimAnnouncement(const std::string&, std::int64_t, std::int64_t, std::int64_t,
                         ClaimedAnnouncement&, bool& found, std::string&) override {
    found = false;
    return true;
  }
  bool settleAnnouncement(std::int64_t, Delivery, std::int64_t, std::string&) override {
    return true;
  }
  bool announcementsWaiting(const std::string&, std::int64_t& count, std::string&) override {
    count = 0;
    return true;
  }
  bool pruneAnnouncements(std::int64_t, std::string&) override { return true; }
  bool healthy() override { return true; }
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
    KeepsNothing store;
    return serve(store, options);
  }
  return serve([](Metrics& metrics) { return std::make_unique<StoresNothing>(metrics); }, options);
}
