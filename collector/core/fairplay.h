// Fair play as players and the operator read it: the speed limit of each
// server, a flagged report's rule in words, and a player's movement on the
// all-time board. Pure functions, no I/O.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace collector {

// The speed limits of `serve`: a server's own (--server-max-mph), else the one
// for every server (--max-mph).
struct SpeedLimits {
  double everyServerMph = 110.0;
  std::map<std::string, double> serverMph;  // by server id

  double forServer(const std::string& serverId) const;
};

// Takes one --server-max-mph ID=MPH: ID one of the build's servers, named
// once, MPH a positive number. False with the message to print otherwise.
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
};

// The rule in words and numbers: "50.0 miles in 60 s: 3,000 mph, above this
// server's 110 mph", "600 s of driving 12 s after the previous report".
std::string flagExplanation(const FlagFacts& facts);

// A flagged report's review ("", "accepted", "rejected") in words: waiting
// for review, counted after review, kept out after review.
std::string reviewText(const std::string& review);

// A player's standing on a board: what ranks it and whether it is on it.
struct Standing {
  std::string name;
  double miles = 0.0;        // counted
  std::int64_t reports = 0;  // counted and flagged: a player with none is not on the board
};

// The order of every board: more counted miles first, miles that agree to a
// millionth of a mile (the plug-in's precision) a tie, ties by name.
bool ranksAbove(const std::string& nameA, double milesA, const std::string& nameB, double milesB);

// For each player of the all-time board `now`, in its order, its rank on the
// board as it stood before the reports of `recent` (the board of the latest
// days) were made: the totals of `now` less those of `recent`. 0 for a player
// who was not on it then.
std::vector<std::int64_t> ranksBefore(const std::vector<Standing>& now,
                                      const std::vector<Standing>& recent);

}  // namespace collector
