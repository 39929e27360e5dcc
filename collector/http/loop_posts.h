// Tasks handed to the event loops from another thread (the committer's
// answers). Posted one by one, each wakes its loop; while a LoopPosts lives
// on the posting thread, the tasks are gathered instead and each loop gets
// its share as one task when it goes: one hand-off per loop and batch, not
// one per report.
#pragma once

#include <boost/asio/io_context.hpp>
#include <functional>
#include <utility>
#include <vector>

namespace collector {

class LoopPosts {
 public:
  LoopPosts();
  ~LoopPosts();  // posts what was gathered
  LoopPosts(const LoopPosts&) = delete;
  LoopPosts& operator=(const LoopPosts&) = delete;

  // Runs `task` on `loop`: posted now, or gathered while a LoopPosts lives on
  // this thread.
  static void post(boost::asio::io_context& loop, std::function<void()> task);

 private:
  std::vector<std::pair<boost::asio::io_context*, std::vector<std::function<void()>>>> gathered_;
  LoopPosts* outer_;
};

}  // namespace collector
