#include "board/value_cache.h"

#include <algorithm>

#include "core/threads.h"

namespace collector {

bool runNextJob(ShareQueues& queues, std::unique_lock<std::mutex>& lock,
                std::chrono::milliseconds deadline) {
  auto queue = std::find_if(queues.begin(), queues.end(),
                            [](const std::deque<ShareJob>& jobs) { return !jobs.empty(); });
  if (queue == queues.end()) return false;
  const ShareJob job = std::move(queue->front());
  queue->pop_front();
  lock.unlock();
  // A job that waited too long for its thread is not begun: its readers
  // have been waiting that long already.
  job.task(std::chrono::steady_clock::now() - job.queuedAt > deadline);
  lock.lock();
  return true;
}

void runLate(ShareQueues& queues) {
  for (auto& jobs : queues) {
    for (const ShareJob& job : jobs) job.task(true);
    jobs.clear();
  }
}

ValueCache::ValueCache(Limits limits, Compute compute, std::function<std::uint64_t()> generation)
    : limits_(std::move(limits)), compute_(std::move(compute)), generation_(std::move(generation)) {
  for (std::size_t i = 0; i < limits_.threads; ++i) threads_.emplace_back([this] { work(); });
}

ValueCache::~ValueCache() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  pending_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  runLate(computations_);
  for (auto& [key, entry] : entries_) {
    for (const Waiter& waiter : entry.waiters) waiter(BoardAnswer::busy, {});
  }
}

ValueCache::Room ValueCache::room(Share share) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pools_[static_cast<std::size_t>(share)].room;
}

ValueCache::Lookup ValueCache::get(const CacheKey& key, Share share, CachedValue& value,
                                   Waiter waiter) {
  const Clock::time_point now = this->now();
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& entry = entries_[key];
  if (entry.state == State::none) entry.share = share;
  if (entry.value.data && serve(key, entry, now)) {
    markRead(entry, now);
    value = entry.value;
    return Lookup::atHand;
  }
  // Never computed, or too old to be served: the reader waits.
  if (!computing(entry) && !queueComputation(key, entry, false)) {
    if (!entry.value.data && entry.waiters.empty()) entries_.erase(key);
    return Lookup::busy;
  }
  entry.waiters.push_back(std::move(waiter));
  return Lookup::waiting;
}

bool ValueCache::serve(const CacheKey& key, Entry& entry, Clock::time_point now) {
  if (entry.state == State::kept || now - entry.startedAt < limits_.reuse) {
    if (entry.state == State::timed) {
      // Read while fresh: its successor is computed when the reuse time is up.
      entry.state = State::due;
      timers_.emplace(entry.startedAt + limits_.reuse, key);
      pending_.notify_one();
    }
    return true;
  }
  // However its successor fares, a value is never served past the bound: the
  // reuse time, a wait in the queue and one computation within that deadline.
  if (now - entry.startedAt >= limits_.reuse + 2 * limits_.deadline) return false;
  if (entry.state == State::refreshing) return true;
  if (entry.state == State::expired) return false;
  // Its successor is due (or a review touched it): this value stays within
  // the freshness bound until that one comes.
  if (entry.state == State::due || (entry.touched && !limits_.touchedWaits)) {
    return queueComputation(key, entry, true);
  }
  return false;
}

bool ValueCache::queueComputation(const CacheKey& key, Entry& entry, bool onTime) {
  auto& queue = computations_[static_cast<std::size_t>(entry.share)];
  if (stopping_ || queue.size() >= limits_.maxPending) return false;
  entry.state = !entry.value.data ? State::computing : onTime ? State::refreshing : State::expired;
  queue.push_back({Clock::now(), [this, key](bool late) { compute(key, late); }});
  pending_.notify_one();
  return true;
}

bool ValueCache::runFirst(std::function<void(bool late)> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    computations_[0].push_front({Clock::now(), std::move(task)});
  }
  pending_.notify_one();
  return true;
}

void ValueCache::markRead(Entry& entry, Clock::time_point now) {
  entry.readAt = now;
  Pool& pool = pools_[static_cast<std::size_t>(entry.share)];
  if (entry.value.data) pool.lru.splice(pool.lru.begin(), pool.lru, entry.lru);
}

bool ValueCache::put(const CacheKey& key, Share share, std::shared_ptr<const void> data,
                     std::size_t bytes, bool closed, std::uint64_t generation) {
  const Clock::time_point now = this->now();
  std::lock_guard<std::mutex> lock(mutex_);
  // Kept unless a review came meanwhile, or its own readers compute it.
  if (closed && generation != generation_()) return false;
  auto found = entries_.find(key);
  if (found == entries_.end()) {
    found = entries_.emplace(key, Entry()).first;
    found->second.share = share;
  }
  Entry& entry = found->second;
  if (computing(entry) || !entry.waiters.empty() || entry.share != share) return false;
  entry.startedAt = now;
  entry.readAt = now;
  entry.state = closed ? State::kept : State::timed;
  entry.touched = false;
  return keep(key, entry, {std::move(data), nextVersion_++},
              bytes + sizeof(Entry) + key.name.size());
}

std::shared_ptr<const void> ValueCache::read(
    const CacheKey& key, bool keptOnly,
    const std::function<bool(const std::shared_ptr<const void>&)>& accept) {
  const Clock::time_point now = this->now();
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(key);
  if (found == entries_.end()) return nullptr;
  Entry& entry = found->second;
  if (!entry.value.data || (keptOnly && entry.state != State::kept)) return nullptr;
  if (accept && !accept(entry.value.data)) return nullptr;
  markRead(entry, now);
  return entry.value.data;
}

void ValueCache::drop(const CacheKey& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(key);
  if (found != entries_.end() && !computing(found->second) && found->second.waiters.empty()) {
    erase(key);
  }
}

void ValueCache::touch(const std::function<bool(const CacheKey&, const void* data)>& touched) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [key, entry] : entries_) {
    if (!entry.value.data || !touched(key, entry.value.data.get())) continue;
    if (entry.state == State::kept) entry.state = State::timed;
    entry.touched = true;
  }
}

bool ValueCache::keep(const CacheKey& key, Entry& entry, CachedValue value, std::size_t bytes) {
  if (entry.value.data) unlist(entry);
  entry.value = {};
  entry.bytes = bytes;
  if (!makeRoom(entry.share, key, bytes, now())) {
    // Answered, not kept.
    if (!computing(entry) && entry.waiters.empty()) entries_.erase(key);
    return false;
  }
  entry.value = std::move(value);
  Pool& pool = pools_[static_cast<std::size_t>(entry.share)];
  pool.lru.push_front(key);
  entry.lru = pool.lru.begin();
  pool.room.bytes += bytes;
  pool.room.entries += 1;
  return true;
}

void ValueCache::unlist(Entry& entry) {
  Pool& pool = pools_[static_cast<std::size_t>(entry.share)];
  pool.room.bytes -= entry.bytes;
  pool.room.entries -= 1;
  pool.lru.erase(entry.lru);
}

void ValueCache::erase(const CacheKey& key) {
  auto found = entries_.find(key);
  if (found == entries_.end()) return;
  if (found->second.value.data) unlist(found->second);
  entries_.erase(found);
}

bool ValueCache::makeRoom(Share share, const CacheKey& self, std::size_t bytes,
                          Clock::time_point now) {
  Pool& pool = pools_[static_cast<std::size_t>(share)];
  const Room most = limit(share);
  if (bytes > most.bytes || most.entries == 0) return false;
  auto victim = pool.lru.end();
  while (pool.room.entries + 1 > most.entries || pool.room.bytes + bytes > most.bytes) {
    if (victim == pool.lru.begin()) return false;
    --victim;
    const Entry& entry = entries_.at(*victim);
    if (!(*victim < self || self < *victim) || computing(entry) || !entry.waiters.empty()) continue;
    // Periods outside the tabs and players take the room only of values
    // nobody wanted lately: a crowd of them never churns the rest.
    if (share == Share::others && now - entry.readAt < limits_.reuse) return false;
    const CacheKey gone = *victim;
    victim = std::next(victim);
    erase(gone);
  }
  return true;
}

void ValueCache::startTimers(Clock::time_point now) {
  while (!timers_.empty() && timers_.begin()->first <= now) {
    const CacheKey key = timers_.begin()->second;
    timers_.erase(timers_.begin());
    auto found = entries_.find(key);
    if (found != entries_.end() && found->second.state == State::due) {
      queueComputation(key, found->second, true);
    }
  }
}

void ValueCache::work() {
  nameThisThread(limits_.threadName);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return;
    const Clock::time_point now = this->now();
    startTimers(now);
    if (runNextJob(computations_, lock, limits_.deadline)) continue;
    if (timers_.empty()) {
      pending_.wait(lock);
    } else {
      // In the cache's own time, which tests may set: woken by any reader
      // that queues, the timers are looked at again then.
      const Clock::duration wait = timers_.begin()->first - now;
      pending_.wait_for(lock, wait);
    }
  }
}

void ValueCache::compute(const CacheKey& key, bool late) {
  const Clock::time_point started = now();
  Computed computed;
  if (!late) {
    Share share = Share::others;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = entries_.find(key);
      if (found != entries_.end()) share = found->second.share;
    }
    computed = compute_(key, share);
  }
  std::vector<Waiter> waiters;
  CachedValue value;
  settle(key, computed, started, waiters, value);
  const BoardAnswer answer = computed.data ? BoardAnswer::ok
                             : late        ? BoardAnswer::busy
                                           : BoardAnswer::failed;
  for (const Waiter& waiter : waiters) waiter(answer, value);
}

void ValueCache::settle(const CacheKey& key, const Computed& computed, Clock::time_point started,
                        std::vector<Waiter>& waiters, CachedValue& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(key);
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  waiters = std::move(entry.waiters);
  entry.waiters.clear();
  if (!computed.data) {
    entry.state = State::timed;
    if (!entry.value.data) entries_.erase(found);
    return;
  }
  value = {computed.data, nextVersion_++};
  entry.startedAt = started;
  entry.readAt = now();
  // A review noticed meanwhile may have touched what was read.
  const bool kept = computed.closed && computed.generation == generation_();
  entry.state = kept ? State::kept : State::timed;
  entry.touched = computed.closed && !kept;
  keep(key, entry, value, computed.bytes + sizeof(Entry) + key.name.size());
}

}  // namespace collector
