// The intake: POST /api/v1/telemetry. A report is checked (key, body,
// server, miles), held to its key's rate, flagged against its server's
// speed limit and handed to the group commit; its answer comes once its
// batch has been committed (2xx only then), on the committer's thread.
// Every answer is counted, and a refusal (but a 503) logged.
#pragma once

#include <string>

#include "http/message.h"
#include "http/service.h"

namespace collector {

// The report route's path.
inline constexpr const char* reportRoute = "/api/v1/telemetry";

// Answers one report request; `reply` is called exactly once.
void takeReport(Service& service, const HttpRequest& request, Reply reply);

// A report request that the front refused before it reached the routes (its
// head or declared body): counted and logged like the others.
void reportRefusedAtFront(Service& service, const std::string& clientAddress, int status,
                          const std::string& reason);

// A POST to another path than the report route (answered `status`, a 404 or
// 405), logged as a refused report with the path it went to: a driver's
// mistyped CollectorURL is found in the log.
void reportPostedElsewhere(Service& service, const HttpRequest& request, int status);

}  // namespace collector
