#include "core/announce.h"

#include <date/date.h>
#include <date/iso_week.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/calendar.h"
#include "core/text.h"

namespace collector {

namespace {

// A zero-width space, U+200B.
constexpr const char* zeroWidthSpace = "\xE2\x80\x8B";

std::string standings(const std::vector<Standing>& top) {
  std::string text;
  for (std::size_t i = 0; i < top.size(); ++i) {
    text += "\n" + std::to_string(i + 1) + ". " + chatSafe(top[i].name) + ": " +
            groupedNumber(top[i].miles, 1) + " mi, " +
            groupedNumber(static_cast<double>(top[i].seconds) / 3600.0, 1) + " h";
  }
  return text;
}

}  // namespace

IsoWeek weekBefore(std::int64_t ms) {
  const date::sys_days day{date::days{dayOf(ms)}};
  const date::sys_days monday = day - (date::weekday{day} - date::Monday) - date::days{7};
  const iso_week::year_weeknum_weekday week{monday};
  return {static_cast<int>(week.year()), static_cast<int>(static_cast<unsigned>(week.weeknum())),
          monday.time_since_epoch().count()};
}

IsoWeek weekToAnnounce(std::int64_t nowMs) { return weekBefore(nowMs - resultsSettleMs); }

bool eventResultsDue(std::int64_t endMs, std::int64_t nowMs) {
  return endMs + resultsSettleMs <= nowMs && endMs >= nowMs - eventsLookBackMs;
}

std::vector<std::int64_t> milestonesPassed(double before, double after) {
  std::vector<std::int64_t> passed;
  const double from = std::floor(before * 1e6 + 0.5), to = std::floor(after * 1e6 + 0.5);
  for (const std::int64_t miles : milestoneMiles) {
    const double at = static_cast<double>(miles) * 1e6;
    if (from < at && at <= to) passed.push_back(miles);
  }
  return passed;
}

std::string chatSafe(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (std::size_t at = 0; at < text.size();) {
    if (const std::size_t control = controlCharacterBytes(text, at)) {
      at += control;
      continue;
    }
    const char c = text[at++];
    if (std::strchr("*_~`|>#[]()\\", c)) out += '\\';
    out += c;
    if (c == '@') out += zeroWidthSpace;
  }
  return out;
}

std::string milestoneMessage(const std::string& player, std::int64_t miles) {
  return "**" + chatSafe(player) + "** has driven " + groupedNumber(static_cast<double>(miles), 0) +
         " counted miles.";
}

std::string weekMessage(int isoYear, int week, std::int64_t firstDay,
                        const std::vector<Standing>& top) {
  return "**Week " + std::to_string(week) + " of " + std::to_string(isoYear) + "** (" +
         dayText(firstDay) + " to " + dayText(firstDay + 6) +
         "), the top drivers:" + standings(top);
}

std::string eventMessage(const std::string& event, std::int64_t drivers,
                         const std::vector<Standing>& top) {
  return "**" + chatSafe(event) + "** has ended: " + counted(drivers, "player") + " drove." +
         standings(top);
}

bool parseRetryAfter(const std::string& value, std::int64_t& ms) {
  const std::size_t point = value.find('.');
  const std::string whole = value.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : value.substr(point + 1);
  const auto digits = [](const std::string& text) {
    return text.find_first_not_of("0123456789") == std::string::npos;
  };
  if (whole.empty() || !digits(whole) || !digits(fraction) ||
      (point != std::string::npos && fraction.empty())) {
    return false;
  }
  // More than a few digits is beyond the cap anyway.
  if (whole.size() > 7) {
    ms = maxRetryAfterMs;
    return true;
  }
  std::int64_t total = std::stoll(whole) * 1000;
  const std::string thousandths = (fraction + "000").substr(0, 3);
  total += std::stoll(thousandths);
  if (fraction.size() > 3 && fraction.find_first_not_of('0', 3) != std::string::npos) ++total;
  ms = std::min(std::max(total, minRetryAfterMs), maxRetryAfterMs);
  return true;
}

bool nextTry(std::int64_t createdMs, std::int64_t attempts, std::int64_t nowMs,
             std::int64_t retryAfterMs, std::int64_t& nextMs) {
  std::int64_t pause = firstPauseMs;
  for (std::int64_t i = 1; i < attempts && pause < longestPauseMs; ++i) pause *= 2;
  pause = std::min(pause, longestPauseMs);
  if (retryAfterMs > 0) pause = retryAfterMs;
  nextMs = nowMs + pause;
  return nextMs <= createdMs + giveUpAfterMs;
}

std::string webhookBody(const std::string& content) {
  nlohmann::json body = {{"content", content},
                         {"allowed_mentions", {{"parse", nlohmann::json::array()}}}};
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace collector
