// The collector's HTTP service: report intake with group commit, the
// leaderboard as JSON and as a page, and the health probe.
#pragma once

#include <string>

#include "store.h"

namespace collector {

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 8787;      // 0 picks a free port
  std::string tlsCert;  // both set: HTTPS
  std::string tlsKey;
  double maxMph = 110.0;
  bool wallTimeCheck = true;
  int boardReuseMs = 2000;  // how long a computed board is served again
};

// Serves until SIGTERM or SIGINT, finishing the requests under way. Prints
// "listening on http://HOST:PORT" (or https) on standard output once bound.
// Returns the process exit status.
int serve(Store& store, const ServeOptions& options);

}  // namespace collector
