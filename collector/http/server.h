// The collector's HTTP service: report intake with group commit, the
// leaderboard as JSON and as a page, and the health probe.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "http/message.h"
#include "http/serve_options.h"
#include "store/store.h"

namespace collector {

// Serves until SIGTERM or SIGINT, finishing the requests under way. Prints
// "listening on http://HOST:PORT" (or https) on standard output once bound.
// Returns the process exit status.
int serve(Store& store, const ServeOptions& options);
// The same front with the handler `makeHandler` gives once the address is bound.
int serve(const std::function<std::unique_ptr<Handler>()>& makeHandler,
          const ServeOptions& options);

}  // namespace collector
