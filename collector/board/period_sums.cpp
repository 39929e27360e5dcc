#include "board/period_sums.h"

#include <algorithm>

#include "board/movement.h"
#include "board/rows.h"

namespace collector {

PeriodSums::PeriodSums(BoardStore& store, KeptBoards& kept, std::size_t maxDays)
    : store_(store), kept_(kept), maxDays_(maxDays) {}

std::size_t PeriodSums::closedDays() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closedDays_.size();
}

bool PeriodSums::board(const Period& period, const SumsAt& at, Rows& rows, std::string& error) {
  if (!isAllTime(period)) return periodBoard(period, at, rows, error);
  // The all-time board with each player's movement since seven days ago: the
  // kept boards of their closed days, each joined with the open days read
  // once, so that both hold the same reports.
  const std::int64_t cut = at.firstOpen * msPerDay;
  const Period latest{(dayOf(at.nowMs) - movementDays) * msPerDay, cut};
  Rows open;
  if (!store_.leaderboard({cut, period.untilMs}, open, error)) return false;
  const auto closedLatest = closedBoard(latest, dayOf(latest.fromMs), at, error);
  if (!closedLatest) return false;
  const auto closedAll = closedBoard({period.fromMs, cut}, dayOf(period.fromMs), at, error);
  if (!closedAll) return false;
  rows = joinBoards(*closedAll, open);
  setRanksThen(rows, joinBoards(*closedLatest, open));
  return true;
}

bool PeriodSums::periodBoard(const Period& period, const SumsAt& at, Rows& rows,
                             std::string& error) {
  std::int64_t fromDay = 0, untilDay = 0;
  daysOf(period, fromDay, untilDay);
  if (fromDay >= at.firstOpen || untilDay <= at.firstOpen) {
    return store_.leaderboard(period, rows, error);
  }
  // Closed days and open ones: the closed days' board kept, the open days
  // read afresh.
  const std::int64_t cut = at.firstOpen * msPerDay;
  const auto closed = closedBoard({period.fromMs, cut}, fromDay, at, error);
  Rows open;
  if (!closed || !store_.leaderboard({cut, period.untilMs}, open, error)) return false;
  rows = joinBoards(*closed, open);
  return true;
}

std::shared_ptr<const Rows> PeriodSums::closedBoard(const Period& period, std::int64_t fromDay,
                                                    const SumsAt& at, std::string& error) {
  if (auto board = kept_.keptBoard(period)) return board;
  // The same board a day shorter, when kept: then only its last day is read.
  const std::int64_t lastDay = period.untilMs / msPerDay - 1;
  const Period shorter{period.fromMs, lastDay * msPerDay};
  const auto before = fromDay < lastDay ? kept_.keptBoard(shorter) : nullptr;
  auto rows = std::make_shared<Rows>();
  if (before) {
    Rows last;
    if (!store_.leaderboard({lastDay * msPerDay, period.untilMs}, last, error)) return nullptr;
    *rows = joinBoards(*before, last);
  } else if (!store_.leaderboard(period, *rows, error)) {
    return nullptr;
  }
  kept_.keepBoard(period, rows, at.share, at.generation, before ? &shorter : nullptr);
  return rows;
}

bool PeriodSums::days(const Period& period, const SumsAt& at, std::vector<DayTotals>& days,
                      std::string& error) {
  std::int64_t fromDay = 0, untilDay = 0;
  daysOf(period, fromDay, untilDay);
  if (untilDay - fromDay > static_cast<std::int64_t>(maxDays_)) {
    return store_.communityDays(period, days, error);  // no chart spans that much
  }
  // Closed days from memory, those not yet there read in one range; then the
  // open days, afresh.
  std::map<std::int64_t, DayTotals> closed;
  std::int64_t missingFrom = 0, missingUntil = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::int64_t day = fromDay; day < std::min(untilDay, at.firstOpen); ++day) {
      auto found = closedDays_.find(day);
      if (found != closedDays_.end()) {
        closed.emplace(day, found->second);
      } else {
        if (missingFrom == missingUntil) missingFrom = day;
        missingUntil = day + 1;
      }
    }
  }
  if (missingFrom < missingUntil) {
    std::vector<DayTotals> read;
    if (!store_.communityDays({missingFrom * msPerDay, missingUntil * msPerDay}, read, error)) {
      return false;
    }
    for (DayTotals& day : read) closed[day.day] = std::move(day);
    keepDays(missingFrom, missingUntil, closed, at.generation);
  }
  days.clear();
  for (auto& [day, totals] : closed) {
    if (totals.reports > 0) days.push_back(std::move(totals));
  }
  const std::int64_t openFrom = std::max(fromDay, at.firstOpen);
  if (openFrom < untilDay) {
    std::vector<DayTotals> open;
    const Period openPeriod{openFrom * msPerDay, period.untilMs};
    if (!store_.communityDays(openPeriod, open, error)) return false;
    days.insert(days.end(), open.begin(), open.end());
  }
  return true;
}

void PeriodSums::keepDays(std::int64_t fromDay, std::int64_t untilDay,
                          const std::map<std::int64_t, DayTotals>& read, std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::int64_t day = fromDay; generation == generation_ && day < untilDay; ++day) {
    if (closedDays_.size() >= maxDays_) {
      // The most recent days are the ones charts show most.
      if (closedDays_.begin()->first >= day) continue;
      closedDays_.erase(closedDays_.begin());
    }
    auto found = read.find(day);
    DayTotals& kept = closedDays_[day];
    if (found != read.end()) {
      kept = found->second;
    } else {
      kept.day = day;
    }
  }
}

void PeriodSums::forget(const std::vector<std::int64_t>* days, std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  generation_ = generation;
  if (!days) return closedDays_.clear();
  for (std::int64_t day : *days) closedDays_.erase(day);
}

}  // namespace collector
