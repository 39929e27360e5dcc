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
  std::string stamp;
  std::chrono::steady_clock::time_point renderedAt;
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

void Answers::answer(const std::string& key, const std::string& stamp, Share share,
                     const Sources& sources, Render render, Done done, bool onCacheThread) {
  // Of older values as of the same stamp, rendered within the reuse time: an
  // answer whose stamp moved on says what is no longer so, and is not served.
  std::shared_ptr<const Rendered> previous;
  if (auto kept = values_.read({answerKind, 0, 0, key}, false, nullptr)) {
    const auto answer = std::static_pointer_cast<const Kept>(kept);
    const std::shared_ptr<const Rendered> rendered(answer, &answer->rendered);
    if (answer->stamp == stamp) {
      if (answer->sources == sources) return done(BoardAnswer::ok, rendered);
      if (now() - answer->renderedAt < limits_.reuse) previous = rendered;
    }
  }
  std::unique_lock<std::mutex> lock(mutex_);
  // The readers that come while an answer renders from the same values wait
  // for that one rendering rather than queue one each.
  const auto under = rendering_.find(key);
  if (under != rendering_.end() && under->second.sources == sources &&
      under->second.stamp == stamp) {
    if (previous) {
      lock.unlock();
      return done(BoardAnswer::ok, previous);
    }
    under->second.waiters.push_back(std::move(done));
    return;
  }
  auto& queue = queues_[static_cast<std::size_t>(share)];
  if (!onCacheThread && (stopping_ || queue.size() >= limits_.maxAnswers)) {
    lock.unlock();
    return done(previous ? BoardAnswer::ok : BoardAnswer::busy, previous);
  }
  const bool shared = under == rendering_.end();
  if (shared) rendering_[key] = {sources, stamp, {}};
  if (onCacheThread) {
    lock.unlock();
    return this->render(key, stamp, share, sources, shared, render, done, false);
  }
  // Rendering takes the cache's thread, not the caller's: however many read,
  // the reports keep the rest of the CPU. A reader with the previous answer
  // at hand takes that one meanwhile.
  const Done then = previous ? Done() : done;
  queue.push_back(
      {Clock::now(), [this, key, stamp, share, sources, shared, render, then](bool late) {
         this->render(key, stamp, share, sources, shared, render, then, late);
       }});
  pending_.notify_one();
  if (previous) {
    lock.unlock();
    done(BoardAnswer::ok, previous);
  }
}

void Answers::render(const std::string& key, const std::string& stamp, Share share,
                     const Sources& sources, bool shared, const Render& render, const Done& done,
                     bool late) {
  std::shared_ptr<const Rendered> rendered;
  if (!late) {
    // Compressed once here, off the loops, for all the readers it is sent to.
    auto kept = std::make_shared<Kept>();
    kept->rendered = render();
    kept->rendered.gzipped = gzipped(kept->rendered.body);
    kept->rendered.body.shrink_to_fit();  // kept for long: its room is what it holds
    kept->sources = sources;
    kept->stamp = stamp;
    kept->renderedAt = now();
    values_.put(
        {answerKind, 0, 0, key}, share, kept,
        sizeof(Kept) + textBytes(kept->rendered.body) + textBytes(kept->rendered.gzipped) +
            textBytes(kept->stamp),
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
  if (done) done(answer, rendered);
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
