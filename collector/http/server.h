// http/, the public service. serve() owns everything it starts (loops,
// listeners, routes, committer, board cache) and stops all of it before it
// returns. Every request is answered or its connection closed within its
// deadlines, however the client behaves; a store that fails costs a 503,
// never a thread or a crash. State shared between threads (the committer's
// queue, the rate, the counters, the refusal log, the per-address counts) is
// each behind its own lock; nothing else is shared.
//
// The collector's HTTP service: report intake with group commit, the
// leaderboard as JSON and as a page, and the health probe.
#pragma once

#include <string>

#include "http/serve_options.h"
#include "store/store.h"

namespace collector {

// Serves until SIGTERM or SIGINT, finishing the requests under way. Prints
// "listening on http://HOST:PORT" (or https) on standard output once bound.
// Returns the process exit status.
int serve(Store& store, const ServeOptions& options);

}  // namespace collector
