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

std::int64_t wallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int failure(int status, const std::string& message) {
  std::cerr << "vorn-collector: " << message << "\n";
  return status;
}

}  // namespace collector
