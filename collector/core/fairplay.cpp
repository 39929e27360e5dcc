#include "core/fairplay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <unordered_map>

#include "core/text.h"
#include "vorn_deployment.h"

namespace collector {

namespace {

// A number with `decimals` decimals and its thousands grouped: 3,000 and
// 1,234.5.
std::string grouped(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string digits = text;
  const std::size_t sign = digits[0] == '-' ? 1 : 0;
  const std::size_t point = std::min(digits.find('.'), digits.size());
  for (std::size_t at = point; at > sign + 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

}  // namespace

double SpeedLimits::forServer(const std::string& serverId) const {
  auto found = serverMph.find(serverId);
  return found == serverMph.end() ? everyServerMph : found->second;
}

bool addServerLimit(const std::string& value, SpeedLimits& limits, std::string& message) {
  const auto equals = value.find('=');
  const std::string id = value.substr(0, equals);
  const std::string number = equals == std::string::npos ? "" : value.substr(equals + 1);
  bool known = false;
  std::string servers;
  for (const char* server : deployment::knownServerIds) {
    known = known || id == server;
    servers += (servers.empty() ? "" : ", ") + std::string(server);
  }
  char* end = nullptr;
  const double mph = number.empty() ? 0.0 : std::strtod(number.c_str(), &end);
  if (number.empty() || end != number.c_str() + number.size() || !(mph > 0.0) ||
      !std::isfinite(mph)) {
    message = "--server-max-mph wants ID=MPH with MPH above 0, got '" + value + "'";
  } else if (!known) {
    message = "--server-max-mph: '" + id + "' is not one of this build's servers (" + servers + ")";
  } else if (!limits.serverMph.emplace(id, mph).second) {
    message = "--server-max-mph: '" + id + "' is given twice";
  } else {
    return true;
  }
  return false;
}

std::string flagExplanation(const FlagFacts& facts) {
  const std::string seconds = grouped(static_cast<double>(facts.seconds), 0) + " s";
  if (facts.flag == "speed") {
    std::string words = grouped(facts.miles, 1) + " miles in " + seconds;
    if (facts.seconds > 0) {
      words +=
          ": " + grouped(facts.miles * 3600.0 / static_cast<double>(facts.seconds), 0) + " mph";
    } else {
      words += " of driving";
    }
    return words + (facts.limit > 0.0
                        ? ", above this server's " + shortestNumber(facts.limit) + " mph"
                        : ", above the speed limit");
  }
  if (facts.flag == "wall_time") {
    return seconds + " of driving" +
           (facts.limit > 0.0
                ? " " + grouped(std::floor(facts.limit), 0) + " s after the previous report"
                : ", more than had passed since the previous report");
  }
  return terminalSafe(facts.flag);
}

std::string reviewText(const std::string& review) {
  if (review == "accepted") return "counted after review";
  if (review == "rejected") return "kept out after review";
  return "waiting for review";
}

bool ranksAbove(const std::string& nameA, double milesA, const std::string& nameB, double milesB) {
  const auto micro = [](double miles) { return std::llround(miles * 1e6); };
  return micro(milesA) != micro(milesB) ? micro(milesA) > micro(milesB) : nameA < nameB;
}

std::vector<std::int64_t> ranksBefore(const std::vector<Standing>& now,
                                      const std::vector<Standing>& recent) {
  std::unordered_map<std::string, const Standing*> latest;
  for (const Standing& standing : recent) latest.emplace(standing.name, &standing);
  std::vector<Standing> then;
  std::vector<std::size_t> whose;  // the index into `now` of each of `then`
  for (std::size_t i = 0; i < now.size(); ++i) {
    Standing earlier = now[i];
    auto found = latest.find(earlier.name);
    if (found != latest.end()) {
      earlier.miles -= found->second->miles;
      earlier.reports -= found->second->reports;
    }
    if (earlier.reports <= 0) continue;
    then.push_back(std::move(earlier));
    whose.push_back(i);
  }
  std::vector<std::size_t> order(then.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return ranksAbove(then[a].name, then[a].miles, then[b].name, then[b].miles);
  });
  std::vector<std::int64_t> ranks(now.size(), 0);
  for (std::size_t place = 0; place < order.size(); ++place) {
    ranks[whose[order[place]]] = static_cast<std::int64_t>(place) + 1;
  }
  return ranks;
}

}  // namespace collector
