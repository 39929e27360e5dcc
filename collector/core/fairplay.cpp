#include "core/fairplay.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/servers.h"
#include "core/text.h"

namespace collector {

double SpeedLimits::forServer(const std::string& serverId) const {
  auto found = serverMph.find(serverId);
  return found == serverMph.end() ? everyServerMph : found->second;
}

bool addServerLimit(const std::string& value, SpeedLimits& limits, std::string& message) {
  const auto any = [](const std::string&) { return true; };
  ServerOption option;
  if (!parseServerOption("--server-max-mph", "ID=MPH", value, any, option, message)) return false;
  double mph = 0.0;
  const std::string problem = numberProblem(option.value, speedLimitRange, mph);
  if (!problem.empty()) {
    message = "--server-max-mph " + option.id + ": " + problem;
    return false;
  }
  if (!limits.serverMph.emplace(option.id, mph).second) {
    message = "--server-max-mph: '" + option.id + "' is given twice";
    return false;
  }
  return true;
}

std::string flagExplanation(const FlagFacts& facts) {
  const std::string seconds = groupedNumber(static_cast<double>(facts.seconds), 0) + " s";
  if (facts.flag == "speed") {
    std::string words = groupedNumber(facts.miles, 1) + " miles in " + seconds;
    if (facts.seconds > 0) {
      words += ": " + groupedNumber(facts.miles * 3600.0 / static_cast<double>(facts.seconds), 0) +
               " mph";
    } else {
      words += " of driving";
    }
    return words + (facts.limit > 0.0
                        ? ", above this server's " + shortestNumber(facts.limit) + " mph"
                        : ", above the speed limit");
  }
  if (facts.flag == "wall_time") {
    const std::string since =
        facts.sincePlayerAdded ? "since the player was added" : "since the previous report";
    if (facts.limit <= 0.0) return seconds + " of driving, more than had passed " + since;
    return seconds + " of driving " + groupedNumber(std::floor(facts.limit), 0) + " s " +
           (facts.sincePlayerAdded ? since : "after the previous report");
  }
  return terminalSafe(facts.flag);
}

std::string reviewText(const std::string& review) {
  if (review == "accepted") return "counted after review";
  if (review == "rejected") return "kept out after review";
  return "waiting for review";
}

}  // namespace collector
