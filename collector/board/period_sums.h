// The arithmetic of closed and open days: a period's board and community
// days summed from what closed days gave once and what the open days give now.
//
// A UTC day is open until `closeAfter` past its end (board/cache.h); after
// that only a flag review changes it. So the community's sums of a closed day
// are kept here, and the board of a period's closed days is kept by the cache
// (through KeptBoards), until a review touches one of their days; the open
// days are read afresh each time. Thread-safe: computations run on several
// threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board/value_cache.h"
#include "core/calendar.h"
#include "store/store.h"

namespace collector {

using Rows = std::vector<LeaderboardRow>;

// The boards of closed days as the cache keeps them.
class KeptBoards {
 public:
  virtual ~KeptBoards() = default;
  // The board of the closed days of `period`, when one is kept that no
  // review touched; it counts as read.
  virtual std::shared_ptr<const Rows> keptBoard(const Period& period) = 0;
  // Keeps the board of the closed days of `period`, in `share`, unless a
  // review was noticed after `generation` or its own readers compute it
  // meanwhile; once kept, the board `replaced` (a day shorter) goes.
  virtual void keepBoard(const Period& period, std::shared_ptr<const Rows> rows, Share share,
                         std::uint64_t generation, const Period* replaced) = 0;
};

// When a computation runs: the time, the first open day, the reviews noticed
// before it began, and the share its kept boards go to.
struct SumsAt {
  std::int64_t nowMs = 0;
  std::int64_t firstOpen = 0;  // days since 1970-01-01
  std::uint64_t generation = 0;
  Share share = Share::others;
};

class PeriodSums {
 public:
  // At most `maxDays` closed days' sums are kept, the latest.
  PeriodSums(BoardStore& store, KeptBoards& kept, std::size_t maxDays);

  // The whole ranked board of `period`; the all-time board with each
  // player's movement (board/movement.h).
  bool board(const Period& period, const SumsAt& at, Rows& rows, std::string& error);
  // The community's days of `period` that have a counted report, ascending.
  bool days(const Period& period, const SumsAt& at, std::vector<DayTotals>& days,
            std::string& error);
  // Reviews touched `days` (every day when null); `generation` counts the
  // reviews noticed so far.
  void forget(const std::vector<std::int64_t>* days, std::uint64_t generation);
  std::size_t closedDays() const;

 private:
  bool periodBoard(const Period& period, const SumsAt& at, Rows& rows, std::string& error);
  // The board of closed days [fromDay, period's end); null when the store failed.
  std::shared_ptr<const Rows> closedBoard(const Period& period, std::int64_t fromDay,
                                          const SumsAt& at, std::string& error);
  void keepDays(std::int64_t fromDay, std::int64_t untilDay,
                const std::map<std::int64_t, DayTotals>& read, std::uint64_t generation);

  BoardStore& store_;
  KeptBoards& kept_;
  const std::size_t maxDays_;
  mutable std::mutex mutex_;
  std::map<std::int64_t, DayTotals> closedDays_;  // reports == 0: a day without any
  std::uint64_t generation_ = 0;
};

}  // namespace collector
