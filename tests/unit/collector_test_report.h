// A report as the collector's unit tests store it straight through a Store.
#pragma once

#include <cstdint>
#include <string>

#include "core/report.h"
#include "store/store.h"

// `miles` in 60 s of `player`, whose key hash is the player's name, on
// `server`, received at `ms`: counted, or flagged for speed; the wall-time
// rule left out.
inline collector::IncomingReport testReport(const std::string& player, double miles,
                                            std::int64_t ms, bool flagged = false,
                                            const std::string& server = "s1") {
  collector::IncomingReport report;
  static_cast<collector::ReportBody&>(report) = {player, server, miles, 60, "Truck", "None"};
  report.keyHash = player;
  report.receivedMs = ms;
  report.flag = flagged ? collector::flagSpeed : "";
  report.checkWallTime = false;
  return report;
}
