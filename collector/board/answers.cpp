#include "board/answers.h"

#include <algorithm>

#include "board/bytes.h"
#include "core/gzip.h"
#include "core/threads.h"

namespace collector {

namespace {

constexpr int answerKind = -1;  // of the value cache's keys: the owner's kinds are 0 and up

// An answer as the value cache holds it: with the versions it was rendered from.
struct Kept {
  Rendered rendered;
  Answers::Sources sources{};
};

}  // namespace

Answers::Answers(ValueCache& values, Limits limits)
    : values_(values), limits_(limits), thread_([this] { work(); }) {}

Answers::~Answers() { stop(); }

void Answers::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  pending_.notify_all();
  thread_.join();
  runLate(queues_);
}

void Answers::answer(const std::string& key, Share share, const Sources& sources, Render render,
                     Done done, bool onCacheThread) {
  const CacheKey at{answerKind, 0, 0, key};
  const auto same = [&sources](const std::shared_ptr<const void>& data) {
    return static_cast<const Kept*>(data.get())->sources == sources;
  };
  if (auto kept = values_.read(at, false, same)) {
    const auto answer = std::static_pointer_cast<const Kept>(kept);
    return done(BoardAnswer::ok, std::shared_ptr<const Rendered>(answer, &answer->rendered));
  }
  std::unique_lock<std::mutex> lock(mutex_);
  // The readers that come while an answer renders from the same values wait
  // for that one rendering rather than queue one each.
  const auto under = rendering_.find(key);
  if (under != rendering_.end() && under->second.sources == sources) {
    under->second.waiters.push_back(std::move(done));
    return;
  }
  auto& queue = queues_[static_cast<std::size_t>(share)];
  if (!onCacheThread && (stopping_ || queue.size() >= limits_.maxAnswers)) {
    lock.unlock();
    return done(BoardAnswer::busy, nullptr);
  }
  const bool shared = under == rendering_.end();
  if (shared) rendering_[key].sources = sources;
  if (onCacheThread) {
    lock.unlock();
    return this->render(key, share, sources, shared, render, done, false);
  }
  // Rendering takes the cache's thread, not the caller's: however many read,
  // the reports keep the rest of the CPU.
  queue.push_back({Clock::now(), [this, key, share, sources, shared, render, done](bool late) {
                     this->render(key, share, sources, shared, render, done, late);
                   }});
  pending_.notify_one();
}

void Answers::render(const std::string& key, Share share, const Sources& sources, bool shared,
                     const Render& render, const Done& done, bool late) {
  std::shared_ptr<const Rendered> rendered;
  if (!late) {
    // Compressed once here, off the loops, for all the readers it is sent to.
    auto kept = std::make_shared<Kept>();
    kept->rendered = render();
    kept->rendered.gzipped = gzipped(kept->rendered.body);
    kept->sources = sources;
    values_.put(
        {answerKind, 0, 0, key}, share, kept,
        sizeof(Rendered) + textBytes(kept->rendered.body) + textBytes(kept->rendered.gzipped),
        false, 0);
    rendered = std::shared_ptr<const Rendered>(kept, &kept->rendered);
  }
  std::vector<Done> waiters;
  if (shared) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto waiting = rendering_.find(key);
    waiters = std::move(waiting->second.waiters);
    rendering_.erase(waiting);
  }
  const BoardAnswer answer = rendered ? BoardAnswer::ok : BoardAnswer::busy;
  done(answer, rendered);
  for (const Done& waiter : waiters) waiter(answer, rendered);
}

void Answers::work() {
  nameThisThread("vorn-render");
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (!runNextJob(queues_, lock, limits_.deadline)) pending_.wait(lock);
  }
}

}  // namespace collector
