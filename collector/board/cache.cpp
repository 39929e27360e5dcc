#include "board/cache.h"

#include <algorithm>

#include "board/bytes.h"
#include "core/clock.h"
#include "core/gzip.h"
#include "core/log_limit.h"
#include "core/threads.h"

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
  int remaining = 0;
  bool abandoned = false;  // answered already (busy)
  BoardAnswer worst = BoardAnswer::ok;
  std::array<Value, 3> values;  // board, days, player

  Sources sources() const {
    return {std::static_pointer_cast<const std::vector<LeaderboardRow>>(values[0].data),
            std::static_pointer_cast<const std::vector<DayTotals>>(values[1].data),
            std::static_pointer_cast<const PlayerActivity>(values[2].data)};
  }
};

BoardCache::BoardCache(Store& store, Limits limits)
    : store_(store), limits_(std::move(limits)), sums_(store, *this, limits_.maxDays) {
  for (std::size_t i = 0; i < limits_.threads; ++i) threads_.emplace_back([this] { work(); });
  threads_.emplace_back([this] { answer(); });
}

BoardCache::~BoardCache() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  pending_.notify_all();
  answersPending_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  for (auto* queues : {&answers_, &computations_}) {
    for (auto& jobs : *queues) {
      for (const Job& job : jobs) {
        if (job.task) job.task(true);
      }
    }
  }
  for (auto& [key, entry] : entries_) {
    for (const Waiter& waiter : entry.waiters) waiter(BoardAnswer::busy, {});
  }
}

std::int64_t BoardCache::nowMs() const { return limits_.now ? limits_.now() : wallClockMs(); }

BoardCache::Room BoardCache::limit(Share share) const {
  // The tabs are few but large; player pages many and small.
  static constexpr std::size_t entryQuarters[] = {1, 2, 1}, byteQuarters[] = {2, 1, 1};
  const auto index = static_cast<std::size_t>(share);
  return {limits_.maxEntries * entryQuarters[index] / 4,
          limits_.maxBytes / 4 * byteQuarters[index]};
}

BoardCache::Room BoardCache::room(Share share) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pools_[static_cast<std::size_t>(share)].room;
}

std::size_t BoardCache::closedDays() const { return sums_.closedDays(); }

void BoardCache::view(ViewRequest request, Render render, Done done) {
  auto gather = std::make_shared<Gather>();
  gather->request = std::move(request);
  gather->render = std::move(render);
  gather->done = std::move(done);
  const ViewRequest& asked = gather->request;
  const Share periodShare = asked.tabPeriod ? Share::tabs : Share::others;
  const Clock::time_point now = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  // Values of closed days are computed no more; reviews are looked for here.
  if (!checkQueued_ && !stopping_ && (!checked_ || now - checkedAt_ >= limits_.reuse)) {
    checkQueued_ = true;
    computations_[0].push_front({Key{Kind::answer, 0, 0, {}}, now, [this](bool late) {
                                   if (!late) checkReviews(true);
                                   std::lock_guard<std::mutex> lock(mutex_);
                                   checkQueued_ = false;
                                 }});
    pending_.notify_one();
  }
  std::vector<std::pair<Key, Share>> wanted;
  if (asked.board)
    wanted.push_back({{Kind::board, asked.board->fromMs, asked.board->untilMs, {}}, periodShare});
  if (asked.days)
    wanted.push_back({{Kind::days, asked.days->fromMs, asked.days->untilMs, {}}, periodShare});
  if (asked.player) {
    wanted.push_back(
        {{Kind::player, asked.playerDays.fromMs, asked.playerDays.untilMs, *asked.player},
         Share::players});
  }
  int waiting = 0;
  {
    std::lock_guard<std::mutex> gathering(gather->mutex);
    gather->remaining = 1 << 20;  // until every value is asked for
  }
  for (const auto& [key, share] : wanted) {
    const std::size_t slot = sharesOf(key.kind);
    bool busy = false;
    Value value;
    const bool atHand = get(
        key, share, value,
        [this, gather, slot](BoardAnswer answer, const Value& computed) {
          {
            std::lock_guard<std::mutex> gathering(gather->mutex);
            if (gather->abandoned) return;
            if (answer != BoardAnswer::ok) gather->worst = answer;
            gather->values[slot] = computed;
            if (--gather->remaining > 0) return;
          }
          finish(gather, true);
        },
        now, busy);
    if (busy) {
      {
        std::lock_guard<std::mutex> gathering(gather->mutex);
        gather->abandoned = true;
      }
      lock.unlock();
      return gather->done(BoardAnswer::busy, nullptr);
    }
    if (atHand) {
      std::lock_guard<std::mutex> gathering(gather->mutex);
      gather->values[slot] = value;
    } else {
      ++waiting;
    }
  }
  {
    std::lock_guard<std::mutex> gathering(gather->mutex);
    gather->remaining = waiting;
  }
  lock.unlock();
  if (waiting == 0) finish(gather, false);
}

std::size_t BoardCache::sharesOf(Kind kind) {
  return kind == Kind::board ? 0 : kind == Kind::days ? 1 : 2;
}

bool BoardCache::get(const Key& key, Share share, Value& value, Waiter waiter,
                     Clock::time_point now, bool& busy) {
  Entry& entry = entries_[key];
  if (!entry.value.data && !entry.queued && entry.waiters.empty()) entry.share = share;
  if (entry.value.data) {
    const auto age = now - entry.startedAt;
    bool serve = (entry.closed && !entry.stale) || age < limits_.reuse;
    if (serve && !entry.closed && !entry.hot && !entry.queued) {
      // Read while fresh: its successor is computed when the reuse time is up.
      entry.hot = true;
      timers_.emplace(entry.startedAt + limits_.reuse, key);
      pending_.notify_one();
    }
    if (!serve && entry.queued) {
      serve = entry.onTime;
    } else if (!serve && (entry.hot || entry.stale)) {
      // Its successor is due (or a review touched it): this value stays
      // within the freshness bound until that one comes.
      serve = queueComputation(key, entry, now, true);
    }
    if (serve) {
      entry.readAt = now;
      Pool& pool = pools_[static_cast<std::size_t>(entry.share)];
      if (entry.listed) pool.lru.splice(pool.lru.begin(), pool.lru, entry.lru);
      value = entry.value;
      return true;
    }
  }
  // Never computed, or too old to be served: the reader waits.
  if (!entry.queued && !queueComputation(key, entry, now, false)) {
    if (!entry.value.data && entry.waiters.empty()) entries_.erase(key);
    busy = true;
    return false;
  }
  entry.waiters.push_back(std::move(waiter));
  return false;
}

bool BoardCache::queueComputation(const Key& key, Entry& entry, Clock::time_point now,
                                  bool onTime) {
  auto& queue = computations_[static_cast<std::size_t>(entry.share)];
  if (stopping_ || queue.size() >= limits_.maxPending) return false;
  entry.queued = true;
  entry.onTime = onTime;
  queue.push_back({key, now, nullptr});
  pending_.notify_one();
  return true;
}

void BoardCache::finish(const std::shared_ptr<Gather>& gather, bool onCacheThread) {
  if (gather->worst != BoardAnswer::ok) return gather->done(gather->worst, nullptr);
  const Key key{Kind::answer, 0, 0, gather->request.key};
  std::array<std::uint64_t, 3> sources{};
  for (std::size_t i = 0; i < sources.size(); ++i) sources[i] = gather->values[i].version;
  std::unique_lock<std::mutex> lock(mutex_);
  auto found = entries_.find(key);
  if (found != entries_.end() && found->second.value.data && found->second.sources == sources) {
    Entry& entry = found->second;
    Pool& pool = pools_[static_cast<std::size_t>(entry.share)];
    if (entry.listed) pool.lru.splice(pool.lru.begin(), pool.lru, entry.lru);
    entry.readAt = Clock::now();
    auto rendered = std::static_pointer_cast<const Rendered>(entry.value.data);
    lock.unlock();
    return gather->done(BoardAnswer::ok, std::move(rendered));
  }
  // The readers that come while an answer renders from the same values wait
  // for that one rendering rather than queue one each.
  const auto under = rendering_.find(key);
  if (under != rendering_.end() && under->second.sources == sources) {
    under->second.waiters.push_back(std::move(gather->done));
    return;
  }
  auto& queue = answers_[static_cast<std::size_t>(gather->request.share)];
  if (!onCacheThread && (stopping_ || queue.size() >= limits_.maxAnswers)) {
    lock.unlock();
    return gather->done(BoardAnswer::busy, nullptr);
  }
  const bool shared = under == rendering_.end();
  if (shared) rendering_[key].sources = sources;
  const auto render = [this, gather, key, sources, shared](bool late) {
    std::shared_ptr<const Rendered> rendered;
    if (!late) {
      // Compressed once here, off the loops, for all the readers it is sent to.
      Rendered made = gather->render(gather->sources());
      made.gzipped = gzipped(made.body);
      rendered = std::make_shared<const Rendered>(std::move(made));
    }
    std::vector<Done> waiters;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (shared) {
        auto waiting = rendering_.find(key);
        waiters = std::move(waiting->second.waiters);
        rendering_.erase(waiting);
      }
      if (rendered) {
        auto at = entries_.find(key);
        if (at == entries_.end() || !at->second.value.data) {
          at = entries_.emplace(key, Entry()).first;
          at->second.share = gather->request.share;
        }
        Entry& entry = at->second;
        if (entry.share == gather->request.share) {
          entry.value = {rendered, 0};
          entry.sources = sources;
          entry.readAt = Clock::now();
          keep(key, entry,
               sizeof(Entry) + sizeof(Rendered) + textBytes(rendered->body) +
                   textBytes(rendered->gzipped) + key.name.size());
        }
      }
    }
    const BoardAnswer answer = rendered ? BoardAnswer::ok : BoardAnswer::busy;
    gather->done(answer, rendered);
    for (const Done& waiter : waiters) waiter(answer, rendered);
  };
  if (onCacheThread) {
    lock.unlock();
    return render(false);
  }
  // Rendering takes the cache's thread, not the caller's: however many read,
  // the reports keep the rest of the CPU.
  queue.push_back({key, Clock::now(), render});
  answersPending_.notify_one();
}

void BoardCache::keep(const Key& key, Entry& entry, std::size_t bytes) {
  Pool& pool = pools_[static_cast<std::size_t>(entry.share)];
  if (entry.listed) {
    pool.room.bytes -= entry.bytes;
    pool.room.entries -= 1;
    pool.lru.erase(entry.lru);
    entry.listed = false;
  }
  entry.bytes = bytes;
  if (!makeRoom(entry.share, key, bytes, Clock::now())) {
    // Answered, not kept.
    entry.value = {};
    if (!entry.queued && entry.waiters.empty()) entries_.erase(key);
    return;
  }
  pool.lru.push_front(key);
  entry.lru = pool.lru.begin();
  entry.listed = true;
  pool.room.bytes += bytes;
  pool.room.entries += 1;
}

bool BoardCache::makeRoom(Share share, const Key& self, std::size_t bytes, Clock::time_point now) {
  Pool& pool = pools_[static_cast<std::size_t>(share)];
  const Room most = limit(share);
  if (bytes > most.bytes || most.entries == 0) return false;
  auto victim = pool.lru.end();
  while (pool.room.entries + 1 > most.entries || pool.room.bytes + bytes > most.bytes) {
    if (victim == pool.lru.begin()) return false;
    --victim;
    Entry& entry = entries_.at(*victim);
    if (&*victim == &self || !(*victim < self || self < *victim) || entry.queued ||
        !entry.waiters.empty())
      continue;
    // Periods outside the tabs and players take the room only of values
    // nobody wanted lately: a crowd of them never churns the rest.
    if (share == Share::others && now - entry.readAt < limits_.reuse) return false;
    const Key gone = *victim;
    victim = std::next(victim);
    drop(gone);
  }
  return true;
}

void BoardCache::drop(const Key& key) {
  auto found = entries_.find(key);
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  if (entry.listed) {
    Pool& pool = pools_[static_cast<std::size_t>(entry.share)];
    pool.room.bytes -= entry.bytes;
    pool.room.entries -= 1;
    pool.lru.erase(entry.lru);
  }
  entries_.erase(found);
}

void BoardCache::work() {
  nameThisThread("vorn-board");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return;
    const Clock::time_point now = Clock::now();
    // Successors of values read while fresh.
    while (!timers_.empty() && timers_.begin()->first <= now) {
      const Key key = timers_.begin()->second;
      timers_.erase(timers_.begin());
      auto found = entries_.find(key);
      if (found != entries_.end() && found->second.hot && !found->second.queued) {
        queueComputation(key, found->second, now, true);
      }
    }
    auto queue = std::find_if(computations_.begin(), computations_.end(),
                              [](const std::deque<Job>& jobs) { return !jobs.empty(); });
    if (queue == computations_.end()) {
      if (timers_.empty()) {
        pending_.wait(lock);
      } else {
        // A copy: wait_until reads its deadline again after waking, when
        // another thread may have erased the timer it came from.
        const Clock::time_point until = timers_.begin()->first;
        pending_.wait_until(lock, until);
      }
      continue;
    }
    const Job job = std::move(queue->front());
    queue->pop_front();
    lock.unlock();
    compute(job);
    lock.lock();
  }
}

void BoardCache::answer() {
  nameThisThread("vorn-render");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    auto queue = std::find_if(answers_.begin(), answers_.end(),
                              [](const std::deque<Job>& jobs) { return !jobs.empty(); });
    if (stopping_) return;
    if (queue == answers_.end()) {
      answersPending_.wait(lock);
      continue;
    }
    const Job job = std::move(queue->front());
    queue->pop_front();
    lock.unlock();
    job.task(Clock::now() - job.queuedAt > limits_.deadline);
    lock.lock();
  }
}

void BoardCache::compute(const Job& job) {
  // A computation that waited too long for its thread is not begun: its
  // readers have been waiting that long already.
  const bool late = Clock::now() - job.queuedAt > limits_.deadline;
  if (job.task) return job.task(late);
  const Key& key = job.key;
  Value value;
  std::size_t bytes = 0;
  bool done = false, closed = false;
  const Clock::time_point started = Clock::now();
  std::uint64_t generation = 0;
  Share share = Share::others;
  if (!late) {
    checkReviews(false);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      generation = generation_;
      auto found = entries_.find(key);
      if (found != entries_.end()) found->second.hot = false;
      if (found != entries_.end()) share = found->second.share;
    }
    const std::int64_t nowMs = this->nowMs();
    const SumsAt at{nowMs, dayOf(nowMs - limits_.closeAfter.count()), generation, share};
    const Period period{key.fromMs, key.untilMs};
    std::int64_t fromDay = 0, untilDay = 0;
    daysOf(period, fromDay, untilDay);
    std::string error;
    if (key.kind == Kind::board) {
      auto rows = std::make_shared<std::vector<LeaderboardRow>>();
      done = sums_.board(period, at, *rows, error);
      bytes = bytesOf(*rows);
      value.data = std::move(rows);
      closed = untilDay <= at.firstOpen;
    } else if (key.kind == Kind::days) {
      auto days = std::make_shared<std::vector<DayTotals>>();
      done = sums_.days(period, at, *days, error);
      bytes = bytesOf(*days);
      value.data = std::move(days);
      closed = untilDay <= at.firstOpen;
    } else {
      auto activity = std::make_shared<PlayerActivity>();
      done = store_.playerActivity(key.name, period, activity->view, activity->found, error);
      // A player that does not exist is an answer too (a 404).
      if (!done && !activity->found) done = true, activity->view = PlayerView();
      bytes = sizeof(PlayerActivity) + bytesOf(activity->view);
      value.data = std::move(activity);
    }
    if (!done) storeFailures().write(error, "leaderboard failed: " + error);
    if (limits_.computed) {
      limits_.computed(std::chrono::duration<double>(Clock::now() - started).count(), done);
    }
  }
  std::vector<Waiter> waiters;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(key);
    if (found == entries_.end()) return;
    Entry& entry = found->second;
    entry.queued = false;
    waiters = std::move(entry.waiters);
    entry.waiters.clear();
    if (done) {
      value.version = nextVersion_++;
      entry.value = value;
      entry.startedAt = started;
      entry.readAt = Clock::now();
      // A review noticed meanwhile may have touched what was read.
      entry.closed = closed && generation == generation_;
      entry.stale = closed && !entry.closed;
      keep(key, entry, bytes + sizeof(Entry) + key.name.size());
    } else if (!entry.value.data) {
      entries_.erase(found);
    }
  }
  const BoardAnswer answer = done   ? BoardAnswer::ok
                             : late ? BoardAnswer::busy
                                    : BoardAnswer::failed;
  for (const Waiter& waiter : waiters) waiter(answer, value);
}

std::shared_ptr<const Rows> BoardCache::keptBoard(const Period& period) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(Key{Kind::board, period.fromMs, period.untilMs, {}});
  if (found == entries_.end()) return nullptr;
  Entry& entry = found->second;
  if (!entry.value.data || !entry.closed || entry.stale) return nullptr;
  entry.readAt = Clock::now();
  Pool& pool = pools_[static_cast<std::size_t>(entry.share)];
  if (entry.listed) pool.lru.splice(pool.lru.begin(), pool.lru, entry.lru);
  return std::static_pointer_cast<const Rows>(entry.value.data);
}

void BoardCache::keepBoard(const Period& period, std::shared_ptr<const Rows> rows, Share share,
                           std::uint64_t generation, const Period* replaced) {
  const Key key{Kind::board, period.fromMs, period.untilMs, {}};
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  // Kept unless a review came meanwhile, or its own readers compute it.
  auto found = entries_.find(key);
  if (generation != generation_ ||
      (found != entries_.end() && (found->second.queued || !found->second.waiters.empty()))) {
    return;
  }
  if (found == entries_.end()) {
    found = entries_.emplace(key, Entry()).first;
    found->second.share = share;
  }
  Entry& entry = found->second;
  const std::size_t bytes = bytesOf(*rows) + sizeof(Entry);
  entry.value = {std::move(rows), nextVersion_++};
  entry.startedAt = now;
  entry.readAt = now;
  entry.closed = true;
  entry.stale = false;
  entry.hot = false;
  keep(key, entry, bytes);
  if (!replaced) return;
  // Read no more: its successor is kept.
  const Key shorter{Kind::board, replaced->fromMs, replaced->untilMs, {}};
  auto gone = entries_.find(shorter);
  if (gone != entries_.end() && !gone->second.queued && gone->second.waiters.empty()) {
    drop(shorter);
  }
}

void BoardCache::checkReviews(bool always) {
  std::lock_guard<std::mutex> checking(checkMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Recently enough for a computation: any review after that check changes
    // the mark, and the next check marks what it touched.
    if (checked_ && !always && Clock::now() - checkedAt_ < limits_.reuse / 4) return;
  }
  const Clock::time_point at = Clock::now();
  ReviewMark mark;
  std::string error;
  if (!store_.reviewMark(mark, error)) {
    storeFailures().write(error, "reading the flag reviews failed: " + error);
    return;
  }
  if (checked_ && !(mark == mark_)) {
    std::vector<ReviewedReport> reviewed;
    std::vector<std::int64_t> days;
    std::int64_t after = 0;
    const bool read = store_.reviewedSince(mark_.lastMs, reviewed, error);
    for (const ReviewedReport& report : reviewed) {
      days.push_back(dayOf(report.receivedMs));
      after += report.reviewedMs > mark_.lastMs;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // Reviews dated before the last mark (another machine's clock) cannot be
    // told apart: then every closed value goes.
    invalidate(read && after == mark.count - mark_.count ? &days : nullptr);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  mark_ = mark;
  checked_ = true;
  checkedAt_ = at;
}

void BoardCache::invalidate(const std::vector<std::int64_t>* days) {
  ++generation_;
  const auto touched = [&](std::int64_t fromDay, std::int64_t untilDay) {
    if (!days) return true;
    return std::any_of(days->begin(), days->end(),
                       [&](std::int64_t day) { return day >= fromDay && day < untilDay; });
  };
  sums_.forget(days, generation_);
  for (auto& [key, entry] : entries_) {
    if (key.kind != Kind::board && key.kind != Kind::days) continue;
    std::int64_t fromDay = 0, untilDay = 0;
    daysOf({key.fromMs, key.untilMs}, fromDay, untilDay);
    if (entry.value.data && touched(fromDay, untilDay)) {
      entry.closed = false;
      entry.stale = true;
    }
  }
}

}  // namespace collector
