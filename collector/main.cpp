// vorn-collector: the command line. Everything it does is in the other files.
#include <CLI/CLI.hpp>
#include <charconv>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>

#include "core/keys.h"
#include "core/text.h"
#include "http/server.h"
#include "ops/events.h"
#include "ops/flags.h"
#include "ops/player_ini.h"
#include "page/page.h"
#include "store/store.h"
#include "vorn_deployment.h"

namespace {

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::unique_ptr<collector::Store> open(const std::string& url) {
  std::string error;
  auto store = collector::openStore(url, error);
  if (!store) std::cerr << "vorn-collector: " << error << "\n";
  return store;
}

// ADDR:PORT or [IPv6]:PORT.
bool splitListen(const std::string& listen, std::string& host, int& port) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string digits = listen.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535) {
    return false;
  }
  port = std::stoi(digits);
  return true;
}

// --server-name ID=NAME, for one of the build's servers; the message says why not.
bool nameServers(const std::vector<std::string>& values, collector::PageSettings& page,
                 std::string& message) {
  for (const std::string& value : values) {
    const auto equals = value.find('=');
    const std::string id = value.substr(0, equals);
    bool known = false;
    std::string servers;
    for (const char* server : deployment::knownServerIds) {
      known = known || id == server;
      servers += (servers.empty() ? "" : ", ") + std::string(server);
    }
    if (equals == std::string::npos || equals + 1 == value.size()) {
      message = "--server-name wants ID=NAME, got '" + value + "'";
    } else if (!known) {
      message = "--server-name: '" + id + "' is not one of this build's servers (" + servers + ")";
    } else if (!page.serverNames.emplace(id, value.substr(equals + 1)).second) {
      message = "--server-name: '" + id + "' is named twice";
    } else {
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "vorn-collector: receives the VORN Davida plug-in's reports, stores them and "
      "ranks the players"};
  app.require_subcommand(1);
  std::string db = "sqlite:vorn-collector.db";
  const char* dbHelp = "database URL: sqlite:PATH or postgresql://...";

  auto* serveCommand = app.add_subcommand("serve", "take reports and serve the leaderboard");
  std::string listen = "127.0.0.1:8787";
  collector::ServeOptions options;
  bool noWallTimeCheck = false;
  serveCommand->add_option("--db", db, dbHelp)->capture_default_str();
  serveCommand->add_option("--listen", listen, "address and port, ADDR:PORT or [IPv6]:PORT")
      ->capture_default_str();
  std::string metricsListen;
  serveCommand->add_option("--metrics-listen", metricsListen,
                           "serve GET /metrics (Prometheus text format) on this ADDR:PORT, apart "
                           "from the public one (default: off)");
  auto* cert =
      serveCommand->add_option("--tls-cert", options.tlsCert, "PEM certificate: serve HTTPS");
  auto* key =
      serveCommand->add_option("--tls-key", options.tlsKey, "PEM private key of --tls-cert");
  cert->needs(key);
  key->needs(cert);
  serveCommand
      ->add_option("--max-mph", options.maxMph,
                   "flag reports whose average speed is above this many miles per hour")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  serveCommand
      ->add_option("--max-connections-per-address", options.maxConnectionsPerAddress,
                   "connections one client address may hold open at once (0: no limit)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  serveCommand
      ->add_option("--max-reports-per-minute", options.maxReportsPerMinute,
                   "reports one key may send within a minute; more get 429 (0: no limit)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  serveCommand
      ->add_option("--board-reuse-ms", options.boardReuseMs,
                   "serve a computed leaderboard again for this many milliseconds (0: compute "
                   "each one afresh; requests at the same time still share one)")
      ->capture_default_str()
      ->check(CLI::Range(0, 60000));
  serveCommand->add_flag("--no-wall-time-check", noWallTimeCheck,
                         "do not flag reports that claim more time than has passed since the "
                         "key's previous report");
  std::vector<std::string> serverNames;
  serveCommand->add_option(
      "--server-name", serverNames,
      "ID=NAME: the name the pages give the server ID, one of the build's five "
      "(repeatable; default Server 1 to Server 5)");
  serveCommand->add_option("--title", options.page.title, "the title of the pages")
      ->capture_default_str();

  auto* playerCommand = app.add_subcommand("player", "add, list and revoke players");
  playerCommand->require_subcommand(1);
  std::string name;
  auto* addCommand = playerCommand->add_subcommand(
      "add", "create a player and print its new API key alone on the last line");
  addCommand->add_option("NAME", name, "the player's name, exactly as in its ini")->required();
  addCommand->add_option("--db", db, dbHelp)->capture_default_str();
  std::string iniPath;
  std::string iniUrl;
  addCommand->add_option("--ini", iniPath,
                         "also write the player's complete VORN_Davida_Client.ini to this new "
                         "file, ready to go beside the DLL");
  addCommand
      ->add_option("--collector-url", iniUrl,
                   "the CollectorURL of that ini (default: the plug-in's built-in URL)")
      ->needs(addCommand->get_option("--ini"));
  auto* listCommand = playerCommand->add_subcommand("list", "list the players");
  listCommand->add_option("--db", db, dbHelp)->capture_default_str();
  auto* revokeCommand =
      playerCommand->add_subcommand("revoke", "revoke a player's key; its reports stay");
  revokeCommand->add_option("NAME", name, "the player's name")->required();
  revokeCommand->add_option("--db", db, dbHelp)->capture_default_str();

  auto* exportCommand = app.add_subcommand("export", "every stored report as CSV");
  exportCommand->add_option("--db", db, dbHelp)->capture_default_str();

  collector::FlagCommands flags;
  collector::addFlagCommands(app, flags, db, dbHelp);
  collector::EventCommands events;
  collector::addEventCommands(app, events, db, dbHelp);

  CLI11_PARSE(app, argc, argv);

  const auto badListen = [](const char* name, const std::string& value) {
    std::cerr << "vorn-collector: " << name << " wants ADDR:PORT, got '" << value << "'\n";
    return 2;
  };
  if (*serveCommand && !splitListen(listen, options.host, options.port)) {
    return badListen("--listen", listen);
  }
  if (*serveCommand && !metricsListen.empty() &&
      !splitListen(metricsListen, options.metricsHost, options.metricsPort)) {
    return badListen("--metrics-listen", metricsListen);
  }
  std::string message;
  if (*serveCommand && !nameServers(serverNames, options.page, message)) {
    std::cerr << "vorn-collector: " << message << "\n";
    return 2;
  }
  auto store = open(db);
  if (!store) return 1;
  std::string error;

  if (collector::flagCommandGiven(flags)) return collector::runFlagCommand(*store, flags);
  if (collector::eventCommandGiven(events)) return collector::runEventCommand(*store, events);
  if (*serveCommand) {
    options.wallTimeCheck = !noWallTimeCheck;
    return collector::serve(*store, options);
  }
  if (*addCommand) {
    if (name.empty()) {
      std::cerr << "vorn-collector: a player needs a name\n";
      return 2;
    }
    std::optional<collector::NewFile> ini;
    if (!iniPath.empty()) {
      std::string problem = collector::playerIniProblem(name, iniUrl);
      if (problem.empty()) problem = ini.emplace(iniPath).error();
      if (!problem.empty()) {
        std::cerr << "vorn-collector: no player added: " << problem << "\n";
        return 2;
      }
    }
    const std::string apiKey = collector::generateKey();
    if (apiKey.empty()) {
      std::cerr << "vorn-collector: the random source failed\n";
      return 1;
    }
    if (!store->addPlayer(name, collector::hashKey(apiKey), nowMs(), error)) {
      std::cerr << "vorn-collector: " << error << "\n";
      return 1;
    }
    std::cout << "added player " << name << "; its API key (shown only now):\n"
              << apiKey << std::endl;
    if (ini && !ini->write(collector::playerIni(name, apiKey, iniUrl))) {
      std::cerr << "vorn-collector: the player is added, but its ini is not written: "
                << ini->error() << "\n";
      return 1;
    }
    return 0;
  }
  if (*listCommand) {
    std::vector<collector::PlayerInfo> players;
    if (!store->listPlayers(players, error)) {
      std::cerr << "vorn-collector: " << error << "\n";
      return 1;
    }
    for (const auto& player : players) {
      std::cout << player.name << "\tadded " << collector::isoTime(player.createdMs)
                << (player.revokedMs ? "\trevoked " + collector::isoTime(player.revokedMs) : "")
                << "\n";
    }
    return 0;
  }
  if (*revokeCommand) {
    if (!store->revokePlayer(name, nowMs(), error)) {
      std::cerr << "vorn-collector: " << error << "\n";
      return 1;
    }
    std::cout << "revoked player " << name << "\n";
    return 0;
  }
  std::cout << "id,received,received_ms,player_name,server_id,miles_delta,seconds_delta,truck,"
               "trailer,flag\n";
  const bool exported = store->exportReports(
      [](const collector::StoredReport& r) {
        const std::string miles = collector::shortestNumber(r.miles);
        std::cout << r.id << ',' << collector::isoTime(r.receivedMs) << ',' << r.receivedMs << ','
                  << collector::csvField(r.playerName) << ',' << collector::csvField(r.serverId)
                  << ',' << miles << ',' << r.seconds << ',' << collector::csvField(r.truck) << ','
                  << collector::csvField(r.trailer) << ',' << r.flag << '\n';
      },
      error);
  if (!exported) std::cerr << "vorn-collector: " << error << "\n";
  return exported ? 0 : 1;
}
