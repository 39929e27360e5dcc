#include "ops/command.h"

#include <chrono>
#include <iostream>

namespace collector {

void addDatabaseOption(CLI::App& command, std::string& url) {
  command
      .add_option("--db", url,
                  "database URL: sqlite:PATH or postgresql://... (default: $VORN_COLLECTOR_DB, "
                  "else the one /etc/default/vorn-collector names, else sqlite:vorn-collector.db "
                  "for serve and player add)")
      ->type_name("URL");
}

int failure(int status, const std::string& message) {
  std::cerr << "vorn-collector: " << message << "\n";
  return status;
}

}  // namespace collector
