// `vorn-collector serve`: its options, read into the front's ServeOptions.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "http/serve_options.h"
#include "store/store.h"

namespace collector {

struct ServeCommand {
  CLI::App* command = nullptr;
  std::string listen = "127.0.0.1:8787";
  std::string metricsListen;
  std::vector<std::string> serverNames;
  std::vector<std::string> serverLimits;  // --server-max-mph ID=MPH
  bool noWallTimeCheck = false;
  std::vector<std::string> webhooks;  // --webhook URL
  std::string publicUrl;              // --public-url URL
  ServeOptions options;
};

// Adds `serve` to the command line; `db` is the --db value.
void addServeCommand(CLI::App& app, ServeCommand& serve, std::string& db);

bool serveCommandGiven(const ServeCommand& serve);

// Reads the addresses and server names into serve.options, before the store
// is opened: 0, or the exit status after saying what is wrong.
int prepareServeCommand(ServeCommand& serve);

// Names the database (`database`, its URL) and its player count on standard
// error, then serves until a stop signal; the exit status.
int runServeCommand(Store& store, const ServeCommand& serve, const std::string& database);

}  // namespace collector
