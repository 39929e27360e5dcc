// board/, between the store and the pages: reads the store only through
// store/store.h. The cache (cache.h) is thread-safe, bounded in memory and
// owns its threads, joined when it is destroyed; every callback runs exactly
// once (on the caller's thread when all is at hand, else on the cache's),
// with `failed` when the store failed and `busy` when too much waits or the
// cache goes, never with an exception.
//
// The leaderboard as the routes serve it, whatever the HTTP library: the
// query's parameters and the JSON (the cache of computed boards: cache.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "board/rows.h"
#include "core/calendar.h"
#include "store/store.h"

namespace collector {

// Reads one query parameter: true, with `value` set, when the request has it.
using ParamReader = std::function<bool(const std::string& name, std::string& value)>;

// The period of ?since=&until= (calendar.h) and ?limit= (1..1000, default
// 100), ?offset= (0 or more) and ?player=NAME. False with a reason for a 400
// when malformed.
bool parseBoardQuery(const ParamReader& param, std::int64_t today, BoardQuery& query,
                     PeriodChoice& period, std::string& error);

// {"players":[{... "rank"}], "total_players", "nothing_counted_yet":[{...}]},
// one line: the placed players of the page and their count, and those who
// reported in the period with nothing counted yet, with no rank.
std::string boardJson(const Board& board);
// The player's row as on the board, with "days" and "last_reports", one line.
std::string playerJson(const std::string& name, const PlayerView& view);

}  // namespace collector
