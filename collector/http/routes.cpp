#include "http/routes.h"

#include "http/health.h"
#include "http/intake.h"
#include "http/reads.h"

namespace collector {

namespace {

const char* const boardPath = "/api/v1/leaderboard";
const char* const boardPagePath = "/";
const char* const healthPath = "/healthz";
// A player's page and its JSON: the prefix, then the player's name.
const std::string playerPagePrefix = "/players/";
const std::string playerJsonPrefix = "/api/v1/players/";
// The events, and one event: the prefix, then its id.
const char* const eventsPagePath = "/events";
const char* const eventsJsonPath = "/api/v1/events";
const std::string eventPagePrefix = "/events/";
const std::string eventJsonPrefix = "/api/v1/events/";

// What follows `prefix` in the path, decoded, when the path as sent starts
// with it and goes on. (The prefix holds no '%', so it is the same decoded.)
bool nameAfterPrefix(const HttpRequest& request, const std::string& prefix, std::string& name) {
  const std::string& raw = request.rawPath;
  if (raw.size() <= prefix.size() || raw.compare(0, prefix.size(), prefix) != 0) return false;
  name = request.path.substr(prefix.size());
  return true;
}

}  // namespace

Routes::Routes(Store& store, const ServeOptions& options, Metrics& metrics)
    : service_(store, options, metrics), console_(store, service_.options(), metrics) {}

// A POST to any other path than the report route is a report sent to the
// wrong URL: its answer (a 404 or 405, given at once) is logged as a refusal.
void Routes::handle(const HttpRequest& request, Reply reply) {
  if (Console::owns(request)) return console_.handle(request, std::move(reply));
  if (request.method != "POST" || request.rawPath == reportRoute) {
    return dispatch(request, std::move(reply));
  }
  dispatch(request, [this, request, reply = std::move(reply)](HttpAnswer answer) {
    reportPostedElsewhere(service_, request, answer.status);
    reply(std::move(answer));
  });
}

// Routes are matched on the path as sent: an encoded character, a slash
// (%2F) above all, never makes another route's path; only a player's name,
// after its route's prefix, is decoded.
void Routes::dispatch(const HttpRequest& request, Reply reply) {
  const bool read = request.method == "GET" || request.method == "HEAD";
  std::string name;
  const bool playerPage = nameAfterPrefix(request, playerPagePrefix, name);
  if (playerPage || nameAfterPrefix(request, playerJsonPrefix, name)) {
    if (!read) return reply(jsonAnswer(405, "method not allowed"));
    return answerPlayer(service_, request, name, playerPage, std::move(reply));
  }
  const bool eventPage = nameAfterPrefix(request, eventPagePrefix, name);
  if (eventPage || nameAfterPrefix(request, eventJsonPrefix, name)) {
    if (!read) return reply(jsonAnswer(405, "method not allowed"));
    return answerEvent(service_, request, name, eventPage, std::move(reply));
  }
  const std::string& path = request.rawPath;
  if (path == eventsPagePath || path == eventsJsonPath) {
    if (!read) return reply(jsonAnswer(405, "method not allowed"));
    return answerEvents(service_, request, path == eventsPagePath, std::move(reply));
  }
  if (path == reportRoute) {
    if (request.method == "POST") return takeReport(service_, request, std::move(reply));
  } else if (path == boardPath || path == boardPagePath) {
    if (read) return answerBoard(service_, request, path == boardPagePath, std::move(reply));
  } else if (path == healthPath) {
    if (read) {
      const std::string problem = service_.health().problem();
      return reply(problem.empty() ? jsonAnswer(200, "ok") : jsonAnswer(503, problem));
    }
  } else {
    return reply(jsonAnswer(404, "no such page"));
  }
  reply(jsonAnswer(405, "method not allowed"));
}

void Routes::refusedAtFront(const std::string& clientAddress, int status,
                            const std::string& reason) {
  reportRefusedAtFront(service_, clientAddress, status, reason);
}

std::string Routes::metricsText() { return service_.metrics().render(service_.store().gauges()); }

}  // namespace collector
