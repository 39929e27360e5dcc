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

// Answers one report request; `reply` is called exactly once.
void takeReport(Service& service, const HttpRequest& request, Reply reply);

// A report request that the front refused before it reached the routes (its
// head or declared body): counted and logged like the others.
void reportRefusedAtFront(Service& service, const std::string& clientAddress, int status,
                          const std::string& reason);

}  // namespace collector
