#include "http/loop_posts.h"

#include <boost/asio/post.hpp>

namespace collector {

namespace {

thread_local LoopPosts* gathering = nullptr;

}  // namespace

LoopPosts::LoopPosts() : outer_(gathering) { gathering = this; }

LoopPosts::~LoopPosts() {
  gathering = outer_;
  for (auto& [loop, tasks] : gathered_) {
    boost::asio::post(*loop, [tasks = std::move(tasks)] {
      for (const auto& task : tasks) task();
    });
  }
}

void LoopPosts::post(boost::asio::io_context& loop, std::function<void()> task) {
  if (!gathering) return boost::asio::post(loop, std::move(task));
  auto& gathered = gathering->gathered_;
  auto share = gathered.begin();
  while (share != gathered.end() && share->first != &loop) ++share;
  if (share == gathered.end()) share = gathered.insert(gathered.end(), {&loop, {}});
  share->second.push_back(std::move(task));
}

}  // namespace collector
