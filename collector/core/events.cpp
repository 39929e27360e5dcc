#include "core/events.h"

#include <date/date.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "core/names.h"
#include "core/servers.h"

namespace collector {

namespace {

bool hasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool digits(const std::string& text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

bool parseUtcTime(const std::string& text, std::int64_t& ms) {
  int year, month, day, hour, minute, second = 0, milli = 0;
  if (!digits(text, 0, 4, year) || text.size() < 17 || text[4] != '-' ||
      !digits(text, 5, 2, month) || text[7] != '-' || !digits(text, 8, 2, day) ||
      (text[10] != 'T' && text[10] != ' ') || !digits(text, 11, 2, hour) || text[13] != ':' ||
      !digits(text, 14, 2, minute)) {
    return false;
  }
  std::size_t at = 16;
  if (text[at] == ':') {
    if (!digits(text, at + 1, 2, second)) return false;
    at += 3;
    if (at < text.size() && text[at] == '.') {
      std::size_t end = at + 1;
      while (end < text.size() && end - at <= 3 && text[end] >= '0' && text[end] <= '9') ++end;
      if (end == at + 1 || !digits(text, at + 1, end - at - 1, milli)) return false;
      for (std::size_t n = end - at - 1; n < 3; ++n) milli *= 10;
      at = end;
    }
  }
  const std::string zone = text.substr(at);
  if (zone != "Z" && zone != "+00:00") return false;
  const date::year_month_day date{date::year(year), date::month(static_cast<unsigned>(month)),
                                  date::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return false;
  const auto time = date::sys_days(date) + std::chrono::hours(hour) + std::chrono::minutes(minute) +
                    std::chrono::seconds(second) + std::chrono::milliseconds(milli);
  ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  return true;
}

std::string eventProblem(const Event& event) {
  std::string problem = playerNameProblem(event.name);
  if (!problem.empty()) return problem;
  if (event.endMs == event.startMs) return "the event ends when it starts: it would last no time";
  if (event.endMs < event.startMs) return "the event ends before it starts";
  if (event.startMs < firstEventMs || event.endMs >= lastEventEndMs) {
    return "an event's start and end lie within the years 2000 to 2200, UTC";
  }
  if (event.endMs - event.startMs > maxEventMs) return "an event lasts at most 31 days";
  std::vector<std::string> seen;
  for (const std::string& server : event.servers) {
    if (!isKnownServer(server)) return unknownServerText(server);
    if (std::find(seen.begin(), seen.end(), server) != seen.end()) {
      return "the server " + server + " is named twice";
    }
    seen.push_back(server);
  }
  if (event.description.size() > maxDescriptionBytes) {
    return "the description is longer than " + std::to_string(maxDescriptionBytes) + " bytes";
  }
  if (hasControl(event.description)) return "the description holds a control character";
  return "";
}

bool eventCounts(const Event& event, std::int64_t receivedMs, const std::string& serverId) {
  if (receivedMs < event.startMs || receivedMs >= event.endMs) return false;
  return event.servers.empty() ||
         std::find(event.servers.begin(), event.servers.end(), serverId) != event.servers.end();
}

EventState eventState(const Event& event, std::int64_t nowMs) {
  return nowMs < event.startMs ? EventState::upcoming
         : nowMs < event.endMs ? EventState::running
                               : EventState::ended;
}

std::string eventStateText(const Event& event, std::int64_t nowMs) {
  switch (eventState(event, nowMs)) {
    case EventState::running:
      return "running";
    case EventState::ended:
      return "ended";
    case EventState::upcoming:
      break;
  }
  const std::int64_t minutes = (event.startMs - nowMs + 59999) / 60000;
  if (minutes < 120) return "starts in " + std::to_string(minutes) + " min";
  if (minutes < 48 * 60) return "starts in " + std::to_string(minutes / 60) + " h";
  return "starts in " + std::to_string(minutes / 1440) + " d";
}

std::string joinServers(const std::vector<std::string>& servers) {
  std::string text;
  for (const std::string& server : servers) text += (text.empty() ? "" : ",") + server;
  return text;
}

std::vector<std::string> splitServers(const std::string& text) {
  std::vector<std::string> servers;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t comma = std::min(text.find(',', from), text.size());
    servers.push_back(text.substr(from, comma - from));
    from = comma + 1;
  }
  return servers;
}

}  // namespace collector
