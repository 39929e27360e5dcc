// Community events: a window of arrival times on some of the build's servers,
// the rules of adding one, and what a reader is told of its state. Pure
// functions, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace collector {

// The longest event: its board reads the reports of its whole window.
inline constexpr std::int64_t maxEventMs = 31LL * 86400000;
// An event's start and end lie in the years 2000 to 2200: from
// 2000-01-01T00:00Z, and before 2201-01-01T00:00Z.
inline constexpr std::int64_t firstEventMs = 946684800000;
inline constexpr std::int64_t lastEventEndMs = 7289654400000;
// The most bytes of an event's description.
inline constexpr std::size_t maxDescriptionBytes = 1000;

struct Event {
  std::int64_t id = 0;
  std::string name;
  std::int64_t startMs = 0;          // reports that arrived at or after this...
  std::int64_t endMs = 0;            // ...and before this count
  std::vector<std::string> servers;  // server ids; empty: all of the build's
  std::string description;
};

// A UTC time in ISO 8601, YYYY-MM-DDTHH:MM[:SS[.fff]] followed by Z or
// +00:00 (a space may stand for the T), of a date that exists.
bool parseUtcTime(const std::string& text, std::int64_t& ms);

// Why `event` cannot be added, or "" when it can: its name breaks the rules
// of a player's name (names.h), it ends when or before it starts, lasts longer
// than maxEventMs or lies outside the years 2000 to 2200, a server is not one
// of the build's (or named twice), or its description is too long or holds a
// control character.
std::string eventProblem(const Event& event);

// True when a report that arrived at `receivedMs` on `serverId` counts on the
// event's board.
bool eventCounts(const Event& event, std::int64_t receivedMs, const std::string& serverId);

enum class EventState { upcoming, running, ended };
EventState eventState(const Event& event, std::int64_t nowMs);
// "starts in 2 h" (or min, or d), "running" or "ended".
std::string eventStateText(const Event& event, std::int64_t nowMs);

// The servers as stored: ids joined by commas (no id holds one), and back.
std::string joinServers(const std::vector<std::string>& servers);
std::vector<std::string> splitServers(const std::string& text);

}  // namespace collector
