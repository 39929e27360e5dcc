#include "board/cache.h"

#include <algorithm>

#include "board/bytes.h"
#include "core/clock.h"
#include "core/log_limit.h"

namespace collector {

namespace {

// The board reads' failures, one line per cause per 10 s in an outage.
LogLimiter& storeFailures() {
  static LogLimiter limiter;
  return limiter;
}


}  // namespace

// One request's values as they come in, then its answer.
struct BoardCache::Gather {
  ViewRequest request;
  Render render;
  Done done;
  std::mutex mutex;  // for the fields below
  int remaining = allAsked;
  bool abandoned = false;  // answered already (busy)
  BoardAnswer worst = BoardAnswer::ok;
  std::array<CachedValue, 3> values;  // board, days, player

  Sources sources() const {
    return {std::static_pointer_cast<const std::vector<LeaderboardRow>>(values[0].data),
            std::static_pointer_cast<const std::vector<DayTotals>>(values[1].data),
            std::static_pointer_cast<const PlayerActivity>(values[2].data)};
  }
};

ValueCache::Limits BoardCache::valueLimits(const Limits& limits) {
  ValueCache::Limits values;
  values.reuse = limits.reuse;
  values.deadline = limits.deadline;
  values.threads = limits.threads;
  values.maxPending = limits.maxPending;
  values.clock = limits.steadyNow;
  // The tabs are few but large; player pages many and small.
  static constexpr std::size_t entryQuarters[] = {1, 2, 1}, byteQuarters[] = {2, 1, 1};
  for (std::size_t i = 0; i < values.rooms.size(); ++i) {
    values.rooms[i] = {limits.maxEntries * entryQuarters[i] / 4,
                       limits.maxBytes / 4 * byteQuarters[i]};
  }
  return values;
}

BoardCache::BoardCache(BoardStore& store, Limits limits)
    : store_(store),
      limits_(std::move(limits)),
      watch_(std::make_shared<ReviewWatch>(store)),
      sums_(store, *this, limits_.maxDays),
      answers_(values_, {limits_.deadline, limits_.maxAnswers, limits_.reuse, limits_.steadyNow}),
      values_(
          valueLimits(limits_),
          [this](const CacheKey& key, Share share) { return compute(key, share); },
          [watch = watch_.get()] { return watch->generation(); }),
      watchId_(watch_->watch(
          [this](const std::vector<std::int64_t>* receivedMs) { touched(receivedMs); })) {}

BoardCache::~BoardCache() {
  watch_->unwatch(watchId_);
  answers_.stop();
}

std::int64_t BoardCache::nowMs() const { return limits_.now ? limits_.now() : wallClockMs(); }

void BoardCache::view(ViewRequest request, Render render, Done done) {
  auto gather = std::make_shared<Gather>();
  gather->request = std::move(request);
  gather->render = std::move(render);
  gather->done = std::move(done);
  const ViewRequest& asked = gather->request;
  const Share periodShare = asked.tabPeriod ? Share::tabs : Share::others;
  int waiting = 0;
  const bool asking =
      (!asked.board || this->gather(gather, {board, asked.board->fromMs, asked.board->untilMs, {}},
                                    periodShare, waiting)) &&
      (!asked.days || this->gather(gather, {days, asked.days->fromMs, asked.days->untilMs, {}},
                                   periodShare, waiting)) &&
      (!asked.player ||
       this->gather(gather,
                    {player, asked.playerDays.fromMs, asked.playerDays.untilMs, *asked.player},
                    Share::players, waiting));
  // Values of closed days are computed no more; reviews are looked for here,
  // after the values asked for are looked up: what a review touches is
  // served while its successor computes, and a reader that asks after the
  // review is read gets the successor.
  if (watch_->claimCheck(limits_.reuse)) {
    const auto check = [watch = watch_](bool late) { watch->queuedCheck(late); };
    if (!values_.runFirst(check)) watch_->queuedCheck(true);
  }
  if (!asking) return gather->done(BoardAnswer::busy, nullptr);
  bool complete = false;
  {
    // The values computed meanwhile have counted down from allAsked already.
    std::lock_guard<std::mutex> gathering(gather->mutex);
    gather->remaining -= allAsked - waiting;
    complete = gather->remaining == 0;
  }
  if (complete) finish(gather, false);
}

bool BoardCache::gather(const std::shared_ptr<Gather>& gather, const CacheKey& key, Share share,
                        int& waiting) {
  const std::size_t slot = static_cast<std::size_t>(key.kind);
  CachedValue value;
  const auto lookup = values_.get(
      key, share, value, [this, gather, slot](BoardAnswer answer, const CachedValue& computed) {
        {
          std::lock_guard<std::mutex> gathering(gather->mutex);
          if (gather->abandoned) return;
          if (answer != BoardAnswer::ok) gather->worst = answer;
          gather->values[slot] = computed;
          if (--gather->remaining > 0) return;
        }
        finish(gather, true);
      });
  std::lock_guard<std::mutex> gathering(gather->mutex);
  if (lookup == ValueCache::Lookup::busy) {
    gather->abandoned = true;
    return false;
  }
  if (lookup == ValueCache::Lookup::atHand) gather->values[slot] = value;
  if (lookup == ValueCache::Lookup::waiting) ++waiting;
  return true;
}

void BoardCache::finish(const std::shared_ptr<Gather>& gather, bool onCacheThread) {
  if (gather->worst != BoardAnswer::ok) return gather->done(gather->worst, nullptr);
  Answers::Sources sources{};
  for (std::size_t i = 0; i < sources.size(); ++i) sources[i] = gather->values[i].version;
  answers_.answer(
      gather->request.key, gather->request.stamp, gather->request.share, sources,
      [gather] { return gather->render(gather->sources()); }, gather->done, onCacheThread);
}

ValueCache::Computed BoardCache::compute(const CacheKey& key, Share share) {
  const auto started = std::chrono::steady_clock::now();
  watch_->check(limits_.reuse / 4);
  ValueCache::Computed computed;
  computed.generation = watch_->generation();
  const std::int64_t nowMs = this->nowMs();
  const SumsAt at{nowMs, dayOf(nowMs - limits_.closeAfter.count()), computed.generation, share};
  for (std::int64_t seen = firstOpenSeen_.load();
       seen < at.firstOpen && !firstOpenSeen_.compare_exchange_weak(seen, at.firstOpen);) {
  }
  const Period period{key.fromMs, key.untilMs};
  std::int64_t fromDay = 0, untilDay = 0;
  daysOf(period, fromDay, untilDay);
  std::string error;
  bool done = false;
  if (key.kind == board) {
    auto rows = std::make_shared<std::vector<LeaderboardRow>>();
    done = sums_.board(period, at, *rows, error);
    computed.bytes = bytesOf(*rows);
    computed.data = std::move(rows);
    computed.closed = untilDay <= at.firstOpen;
  } else if (key.kind == days) {
    auto days = std::make_shared<std::vector<DayTotals>>();
    done = sums_.days(period, at, *days, error);
    computed.bytes = bytesOf(*days);
    computed.data = std::move(days);
    computed.closed = untilDay <= at.firstOpen;
  } else {
    auto activity = std::make_shared<PlayerActivity>();
    done = store_.playerActivity(key.name, period, activity->view, activity->found, error);
    // A player that does not exist is an answer too (a 404).
    if (!done && !activity->found) done = true, activity->view = PlayerView();
    computed.bytes = sizeof(PlayerActivity) + bytesOf(activity->view);
    computed.data = std::move(activity);
  }
  if (!done) {
    storeFailures().write(error, "leaderboard failed: " + error);
    computed.data = nullptr;
  }
  if (limits_.computed) {
    const auto took = std::chrono::steady_clock::now() - started;
    limits_.computed(std::chrono::duration<double>(took).count(), done);
  }
  return computed;
}

std::shared_ptr<const Rows> BoardCache::keptBoard(const Period& period) {
  return std::static_pointer_cast<const Rows>(
      values_.read({board, period.fromMs, period.untilMs, {}}, true));
}

void BoardCache::keepBoard(const Period& period, std::shared_ptr<const Rows> rows, Share share,
                           std::uint64_t generation, const Period* replaced) {
  const std::size_t bytes = bytesOf(*rows);
  const bool kept = values_.put({board, period.fromMs, period.untilMs, {}}, share, std::move(rows),
                                bytes, true, generation);
  // Read no more: its successor is kept.
  if (kept && replaced) values_.drop({board, replaced->fromMs, replaced->untilMs, {}});
}

void BoardCache::stored(const std::vector<std::int64_t>& receivedMs) {
  std::vector<std::int64_t> late;
  const std::int64_t firstOpen = firstOpenSeen_.load();
  for (const std::int64_t ms : receivedMs) {
    if (dayOf(ms) < firstOpen) late.push_back(ms);
  }
  if (!late.empty()) watch_->storedLate(late);
}

void BoardCache::touched(const std::vector<std::int64_t>* receivedMs) {
  std::vector<std::int64_t> reviewedDays;
  if (receivedMs) {
    for (const std::int64_t ms : *receivedMs) reviewedDays.push_back(dayOf(ms));
  }
  sums_.forget(receivedMs ? &reviewedDays : nullptr, watch_->generation());
  values_.touch([&](const CacheKey& key, const void*) {
    if (key.kind != board && key.kind != days) return false;
    if (!receivedMs) return true;
    std::int64_t fromDay = 0, untilDay = 0;
    daysOf({key.fromMs, key.untilMs}, fromDay, untilDay);
    return std::any_of(reviewedDays.begin(), reviewedDays.end(),
                       [&](std::int64_t day) { return day >= fromDay && day < untilDay; });
  });
}

}  // namespace collector
