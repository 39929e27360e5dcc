// The report body: one line of JSON with six members in a fixed order, built
// by concatenation so that its bytes never depend on a library's choices.
#pragma once

#include <cstdint>
#include <string>

// One report's values, copied out of the session state under its lock so that
// the lock is not held while the body is built or sent.
struct ReportSnapshot {
  std::string serverId;
  double milesDelta = 0.0;
  std::int32_t secondsDelta = 0;
  std::string truckName;
  std::string trailerName;
};

// JSON string-literal content (without the quotes). Bytes from 0x20 up pass
// through untouched, so UTF-8 stays as it is and nothing is ever repaired.
std::string escapeJsonString(const std::string& text);

// {"player_name":..,"server_id":..,"miles_delta":..,"seconds_delta":..,"truck":..,"trailer":..}
std::string buildReportBody(const std::string& playerName, const ReportSnapshot& snapshot);
