// core/, the collector's lowest layer: the report rules (here), API keys,
// players' names, UTC days and periods, text, the clocks (clock.h), and the
// limit on repeated log lines. Pure: no I/O but the system's random source (keys.cpp), no state
// kept between calls but the log limit's own, behind its lock, so every
// function may be called from any thread at once. Failures are answers
// (BodyCheck, false, an empty key), never exceptions. Includes no other
// folder of the collector.
//
// One report body: parsing, validation and the plausibility rules. Pure
// functions, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace collector {

// The six members of a report body, as the plug-in sends them.
struct ReportBody {
  std::string playerName;
  std::string serverId;
  double miles = 0.0;
  std::int64_t seconds = 0;
  std::string truck;
  std::string trailer;
};

// The most bytes of player_name, truck and trailer.
inline constexpr std::size_t maxTextBytes = 256;

// The most miles one report may carry: at the game's top speed a day of
// driving is about 3,000 miles, and the plug-in sends every minute. Above it
// a report is refused (400), so that no sum of accepted reports can overflow.
inline constexpr double maxMilesDelta = 10000.0;

enum class BodyCheck {
  ok,
  malformed,      // not a JSON object of exactly the six members with their types,
                  // a negative amount, or a text member above maxTextBytes or with a
                  // control character (U+0000-U+001F, U+007F) (400)
  unknownServer,  // server_id is not one of the build's five (422)
  tooManyMiles,   // miles_delta above maxMilesDelta (400)
  notUtf8,        // the body is not UTF-8, most often a name from an ini saved as ANSI (400)
};

// Parses and checks `text`; fills `body` when the answer is ok.
BodyCheck parseReportBody(const std::string& text, ReportBody& body);

// True when `text` is well-formed UTF-8 (no overlong form, surrogate or code
// point above U+10FFFF).
bool isUtf8(const std::string& text);

// The bytes of a JSON string member as they stand in `text`, up to its closing
// quote or `maxBytes`, escapes not undone: the name of a body that is not even
// UTF-8, for the log. Empty when the member is not found.
std::string rawStringMember(const std::string& text, const char* name, std::size_t maxBytes);

// True when the amounts imply an average speed above maxMph. Miles reported
// with no seconds count as such beyond a small allowance.
bool exceedsSpeed(double miles, std::int64_t seconds, double maxMph);

// True when a report claims more driving time than the wall time since the
// key's previous stored report allows: by more than 10 s and more than 10 %.
bool exceedsWallTime(std::int64_t seconds, std::int64_t wallMs);

}  // namespace collector
