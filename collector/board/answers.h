// Rendered answers: each rendered once from the values it is made of, for
// all the readers that ask for it, compressed once, and kept in the value
// cache (in the share of its request) until those values or its stamp
// change; the new answer takes the old one's place.
//
// Rendering takes a thread of the cache, never the caller's: a render queue
// per share (taken in the order of the shares) with one thread, or the
// computing thread that brought the last value in. Once an answer has been
// rendered, its readers do not wait for the next rendering: the previous one
// is served while the next renders, if it was rendered within the reuse time.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/value_cache.h"

namespace collector {

struct Rendered {
  int status = 200;
  std::string contentType;
  std::string body;
  std::string gzipped{};  // the body in gzip for the clients that take it; empty: none
};

class Answers {
 public:
  struct Limits {
    std::chrono::milliseconds deadline{3000};  // longest wait in a queue
    std::size_t maxAnswers = 64;               // answers waiting to be rendered, per share
    std::chrono::milliseconds reuse{0};        // how old a previous answer may be served
    // The steady clock of the answers' ages, unless set.
    std::function<std::chrono::steady_clock::time_point()> clock;
  };
  // The versions of the values an answer is rendered from.
  using Sources = std::array<std::uint64_t, 3>;
  using Render = std::function<Rendered()>;
  using Done = std::function<void(BoardAnswer, std::shared_ptr<const Rendered>)>;

  Answers(ValueCache& values, Limits limits);
  ~Answers();
  Answers(const Answers&) = delete;
  Answers& operator=(const Answers&) = delete;
  // Joins the render thread; the answers still queued are answered busy.
  void stop();

  // Hands `done` the answer named `key` rendered from `sources` as of
  // `stamp`: the one kept, the one under way, or one rendered now by
  // `render` (right here when `onCacheThread`, else on the render thread, or
  // busy when too many wait).
  void answer(const std::string& key, const std::string& stamp, Share share,
              const Sources& sources, Render render, Done done, bool onCacheThread);

 private:
  using Clock = std::chrono::steady_clock;
  struct Rendering {
    Sources sources{};
    std::string stamp;
    std::vector<Done> waiters;  // besides the reader that began it
  };

  void render(const std::string& key, const std::string& stamp, Share share,
              const Sources& sources, bool shared, const Render& render, const Done& done,
              bool late);
  Clock::time_point now() const { return limits_.clock ? limits_.clock() : Clock::now(); }
  void work();

  ValueCache& values_;
  const Limits limits_;
  std::mutex mutex_;
  std::condition_variable pending_;
  ShareQueues queues_;
  std::map<std::string, Rendering> rendering_;  // answers under way, by key
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace collector
