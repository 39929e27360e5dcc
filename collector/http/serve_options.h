// What `serve` is told on its command line, in one record that the front, the
// routes and the command all read.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "announce/webhook.h"
#include "core/fairplay.h"
#include "page/page.h"

namespace collector {

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 8787;      // 0 picks a free port
  std::string tlsCert;  // both set: HTTPS
  std::string tlsKey;
  SpeedLimits speedLimits;  // --max-mph, --server-max-mph
  bool wallTimeCheck = true;
  int maxConnectionsPerAddress = 64;  // 0: no limit
  int maxReportsPerMinute = 12;       // per key; 0: no limit
  int boardReuseMs = 2000;            // how long a computed board is served again
  int boardCacheEntries = 1024;       // boards, charts, players and answers kept at most
  int boardCacheMb = 256;             //   and their size at most
  int eventRetentionDays = 730;       // events that ended longer ago are pruned
  std::string metricsHost;            // GET /metrics served here, apart from the public port,
  int metricsPort = -1;               //   unless the port is -1 (0 picks a free port)
  PageSettings page;                  // --title, --server-name
  std::vector<Webhook> webhooks;      // --webhook, VORN_WEBHOOKS: announcements posted there
  std::string publicUrl;              // --public-url, no '/' at its end: posts link to its pages
  // A player's complete ini with their name and key, for the join links.
  std::function<std::string(const std::string& name, const std::string& key)> playerIni;
};

}  // namespace collector
