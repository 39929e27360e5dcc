// The staff console (/staff and below) and the players' join links
// (/join/TOKEN). Their requests are answered on a thread of their own, one
// at a time: a sign-in's Argon2id hash takes tens of milliseconds and 64 MiB,
// which the event loops must not wait for, and one at a time bounds both.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "http/message.h"
#include "http/metrics.h"
#include "http/serve_options.h"
#include "store/store.h"

namespace collector {

class Console {
 public:
  Console(Store& store, const ServeOptions& options, Metrics& metrics);
  ~Console();  // requests still waiting are answered 503
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Whether the request's path is the console's or a join link's.
  static bool owns(const HttpRequest& request);
  // Answers on the console's thread; 503 at once when too many wait.
  void handle(const HttpRequest& request, Reply reply);

 private:
  void work();

  Store& store_;
  const ServeOptions& options_;
  Metrics& metrics_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<HttpRequest, Reply>> waiting_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace collector
