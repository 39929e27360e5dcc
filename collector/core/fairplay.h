// Fair play as players and the operator read it: the speed limit of each
// server and a flagged report's rule in words. Pure functions, no I/O.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/numbers.h"
// Standing and the boards' order, for the files that name this header for them.
#include "core/ranking.h"

namespace collector {

// The speed limits of `serve`: a server's own (--server-max-mph), else the one
// for every server (--max-mph).
struct SpeedLimits {
  double everyServerMph = 110.0;
  std::map<std::string, double> serverMph;  // by server id

  double forServer(const std::string& serverId) const;
};

// The speed limits --max-mph and --server-max-mph take, in miles per hour.
inline constexpr NumberRange speedLimitRange{1, 1000, false};

// Takes one --server-max-mph ID=MPH: ID one of the build's servers, named
// once, MPH a number within speedLimitRange. False with the message to print
// otherwise.
bool addServerLimit(const std::string& value, SpeedLimits& limits, std::string& message);

// What a flagged report is told by: its rule, amounts and the limit it was
// decided against (a speed flag's mph, a wall_time flag's seconds of wall
// time since the previous report; 0 when not known: flagged before the
// collector kept it).
struct FlagFacts {
  std::string flag;
  double miles = 0.0;
  std::int64_t seconds = 0;
  double limit = 0.0;
  bool sincePlayerAdded = false;  // a wall_time limit: the player's first report
};

// The rule in words and numbers: "50.0 miles in 60 s: 3,000 mph, above this
// server's 110 mph", "600 s of driving 12 s after the previous report", of a
// player's first report "600 s of driving 12 s since the player was added".
std::string flagExplanation(const FlagFacts& facts);

// A flagged report's review ("", "accepted", "rejected") in words: waiting
// for review, counted after review, kept out after review.
std::string reviewText(const std::string& review);

}  // namespace collector
