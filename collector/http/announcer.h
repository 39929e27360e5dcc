// The sender of announcements to the community's chat webhooks, on a thread of
// its own: it records each ended week's and event's results (milestones are
// recorded by the store with the reports that reach them) and posts what the
// store holds for each webhook, with libcurl. Nothing of it is on the path of
// a report: a slow or failing webhook delays no answer.
//
// A webhook's URL is a secret (whoever has it may post to the channel): it
// is never logged, counted or put into an error message. The log names a
// webhook by its number in the order given and its host; the store knows it
// by the SHA-256 of its URL.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/log_limit.h"
#include "http/metrics.h"
#include "store/store.h"

namespace collector {

struct Webhook {
  std::string url;
  std::string hash;  // SHA-256 of the URL, lower-case hex: the store's name for it
  std::string name;  // "webhook 2 (chat.example)" for the log
};

// Checks the `number`-th webhook URL: http:// or https:// with a host. The
// problem, when there is one, names the webhook by its number, never by its URL.
bool checkWebhook(const std::string& url, int number, Webhook& webhook, std::string& problem);

class Announcer {
 public:
  // Time limits of one post.
  static constexpr long connectMs = 5000;
  static constexpr long requestMs = 10000;

  Announcer(Store& store, std::vector<Webhook> webhooks, Metrics& metrics);
  // Stops the thread: a post under way is cut off, so this returns within a
  // store call's time.
  ~Announcer();
  Announcer(const Announcer&) = delete;
  Announcer& operator=(const Announcer&) = delete;

 private:
  void run();
  // Records the results of the last ended week and of events ended lately.
  void recordResults(std::int64_t nowMs);
  // Posts one due delivery of the webhook; true when there was one.
  bool deliver(const Webhook& webhook, std::int64_t nowMs);
  void countWaiting();

  Store& store_;
  const std::vector<Webhook> webhooks_;
  Metrics& metrics_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::atomic<bool> cutOff_{false};  // read by a post under way
  LogLimiter failureLog_{60000};     // a line per webhook and minute at most
  std::thread thread_;
};

}  // namespace collector
