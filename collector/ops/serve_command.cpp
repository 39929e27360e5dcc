#include "ops/serve_command.h"

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "announce/results.h"
#include "announce/webhook.h"
#include "core/fairplay.h"
#include "core/servers.h"
#include "core/text.h"
#include "http/server.h"
#include "ops/command.h"
#include "ops/database.h"
#include "ops/player_ini.h"
#include "ops/defaults.h"

namespace collector {

namespace {

// `flag`'s ADDR:PORT or [IPv6]:PORT; "" or what is wrong with it.
std::string splitListen(const char* flag, const std::string& listen, std::string& host, int& port) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    return std::string(flag) + " wants ADDR:PORT, got '" + listen + "'";
  }
  host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  double number = 0.0;
  const std::string problem = numberProblem(listen.substr(colon + 1), {0, 65535, true}, number);
  if (!problem.empty()) return std::string(flag) + ": the port " + problem;
  port = static_cast<int>(number);
  return "";
}

// serve's limits: speeds, connections, reports, the board cache's.
void addLimitOptions(CLI::App& command, ServeCommand& serve) {
  ServeOptions& options = serve.options;
  addNumberOption(command, "--max-mph", options.speedLimits.everyServerMph,
                  "flag reports whose average speed is above this many miles per hour, on "
                  "servers without a limit of their own",
                  speedLimitRange);
  addNumberOption(command, "--max-connections-per-address", options.maxConnectionsPerAddress,
                  "connections one client address may hold open at once (0: no limit)",
                  {0, 100000, true});
  addNumberOption(command, "--max-reports-per-minute", options.maxReportsPerMinute,
                  "reports one key may send within a minute; more get 429 (0: no limit)",
                  {0, 100000, true});
  addNumberOption(command, "--board-reuse-ms", options.boardReuseMs,
                  "serve a computed leaderboard again for this many milliseconds (0: compute "
                  "each one afresh; requests at the same time still share one)",
                  {0, 60000, true});
  addNumberOption(command, "--board-cache-entries", options.boardCacheEntries,
                  "boards, charts, player views and rendered answers kept in memory at most",
                  {16, 1000000, true});
  addNumberOption(command, "--board-cache-mb", options.boardCacheMb,
                  "megabytes those may take at most (estimated)", {4, 1000000, true});
  addNumberOption(command, "--event-retention-days", options.eventRetentionDays,
                  "prune the events that ended more than this many days ago, at start and "
                  "once an hour",
                  {1, 36500, true});
  command.add_flag("--no-wall-time-check", serve.noWallTimeCheck,
                   "do not flag reports that claim more time than has passed since the "
                   "key's previous report");
}

// What the pages call the servers and themselves, and where announcements go.
void addPageAndWebhookOptions(CLI::App& command, ServeCommand& serve) {
  ServeOptions& options = serve.options;
  command
      .add_option("--server-name", serve.serverNames,
                  "ID=NAME: the name the pages give the server ID, one of the build's five "
                  "(repeatable; default Server 1 to Server 5; also the ';'-separated ID=NAME "
                  "of $VORN_SERVER_NAMES, which may hold spaces)")
      ->type_name("ID=NAME");
  command
      .add_option("--server-max-mph", serve.serverLimits,
                  "ID=MPH: the speed limit of the server ID in place of --max-mph, one of the "
                  "build's five (repeatable; MPH " +
                      plainNumber(speedLimitRange.min) + " to " + plainNumber(speedLimitRange.max) +
                      ")")
      ->type_name("ID=MPH");
  command
      .add_option("--webhook", serve.webhooks,
                  "post announcements (weekly and event results, players' milestones) to this "
                  "chat webhook, https://, or http:// to this machine (repeatable; also the "
                  "whitespace-separated "
                  "URLs of $VORN_WEBHOOKS, which keeps them out of the process list)")
      ->type_name("URL");
  command
      .add_option("--public-url", serve.publicUrl,
                  "the address the pages are read at, as https://HOST[/PATH] (http:// only to a "
                  "loopback host): the chat posts link to the board, the event's page or the "
                  "player's page there (default: no links)")
      ->type_name("URL");
  command
      .add_option("--title", options.page.title,
                  "the title of the pages (default: " + options.page.title + ")")
      ->type_name("TEXT");
}

}  // namespace

void addServeCommand(CLI::App& app, ServeCommand& serve, std::string& db) {
  CLI::App* command = serve.command =
      app.add_subcommand("serve", "take reports and serve the leaderboard");
  ServeOptions& options = serve.options;
  addDatabaseOption(*command, db);
  command->add_option("--listen", serve.listen, "address and port, ADDR:PORT or [IPv6]:PORT")
      ->type_name("ADDR:PORT")
      ->capture_default_str();
  command
      ->add_option("--metrics-listen", serve.metricsListen,
                   "serve GET /metrics (Prometheus text format) on this ADDR:PORT, apart "
                   "from the public one (default: off)")
      ->type_name("ADDR:PORT");
  auto* cert = command->add_option("--tls-cert", options.tlsCert, "PEM certificate: serve HTTPS")
                   ->type_name("FILE");
  auto* key = command->add_option("--tls-key", options.tlsKey, "PEM private key of --tls-cert")
                  ->type_name("FILE");
  cert->needs(key);
  key->needs(cert);
  addLimitOptions(*command, serve);
  addPageAndWebhookOptions(*command, serve);
}

bool serveCommandGiven(const ServeCommand& serve) {
  return serve.command && serve.command->parsed();
}

int prepareServeCommand(ServeCommand& serve) {
  ServeOptions& options = serve.options;
  std::string message = splitListen("--listen", serve.listen, options.host, options.port);
  if (message.empty() && !serve.metricsListen.empty()) {
    message = splitListen("--metrics-listen", serve.metricsListen, options.metricsHost,
                          options.metricsPort);
  }
  if (!message.empty()) return failure(2, terminalSafe(message));
  // Names with spaces come in VORN_SERVER_NAMES: systemd splits the options at every space.
  for (const std::string& name : serve.serverNames) {
    if (!quotedWordProblem(name).empty()) return failure(2, quotedWordProblem(name));
  }
  std::vector<std::string> names = serve.serverNames;
  if (const char* listed = std::getenv("VORN_SERVER_NAMES")) {
    for (const std::string& entry : serverNameEntries(listed)) names.push_back(entry);
  }
  if (!addServerNames(names, options.page.serverNames, message)) {
    return failure(2, terminalSafe(message));
  }
  for (const std::string& limit : serve.serverLimits) {
    if (!addServerLimit(limit, options.speedLimits, message)) return failure(2, message);
  }
  if (!serve.publicUrl.empty()) {
    options.publicUrl = withoutTrailingSlashes(serve.publicUrl);
    const std::string problem = publicUrlProblem(options.publicUrl);
    if (!problem.empty()) return failure(2, "--public-url: " + problem);
  }
  options.wallTimeCheck = !serve.noWallTimeCheck;
  // A join link's ini, as `player add --ini` writes it with the built-in URL.
  options.playerIni = [](const std::string& name, const std::string& key) {
    return playerIni(name, key, "");
  };
  // The webhooks' URLs are secrets: a problem names a webhook by its number.
  std::vector<std::string> urls = serve.webhooks;
  if (const char* listed = std::getenv("VORN_WEBHOOKS")) {
    std::istringstream words(listed);
    for (std::string url; words >> url;) urls.push_back(url);
  }
  for (std::size_t i = 0; i < urls.size(); ++i) {
    Webhook webhook;
    if (!checkWebhook(urls[i], static_cast<int>(i + 1), webhook, message)) {
      return failure(2, message);
    }
    for (const Webhook& earlier : options.webhooks) {
      if (earlier.hash == webhook.hash) {
        return failure(2, "webhook " + std::to_string(i + 1) + " is the same URL as " +
                              earlier.name.substr(0, earlier.name.find(" (")));
      }
    }
    options.webhooks.push_back(webhook);
  }
  return 0;
}

int runServeCommand(Store& store, const ServeCommand& serve, const std::string& database) {
  std::vector<PlayerInfo> players;
  std::string error;
  if (!store.listPlayers(players, error)) return failure(1, "cannot read the players: " + error);
  std::cerr << "the database: " << shownDatabase(database) << ", "
            << counted(static_cast<std::int64_t>(players.size()), "player") << std::endl;
  store.linkPostsTo(serve.options.publicUrl);  // a milestone links to the player's page
  return collector::serve(store, serve.options);
}

}  // namespace collector
