// announce/, the announcements posted to the community's chat: the results
// worth posting (results.h), when a failed post is tried again (retry.h),
// the webhooks and one post (webhook.h), and the sender that delivers the
// store's outbox (here). Between the boards and the front: nothing of it is
// on the path of a report, and a slow or failing webhook delays no answer.
// Each delivery is posted at least once, and never twice while an answer
// came back; a webhook's URL is never logged.
//
// The sender: a thread that records each ended week's and event's results
// and counts what waits, and a thread for each webhook that posts what the
// store holds for it, one post at a time. A webhook that never answers, or
// answers slowly, holds up its own posts only; one that answers 429 pauses
// all its own posts for its Retry-After.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "announce/results.h"
#include "announce/webhook.h"
#include "core/log_limit.h"
#include "store/store.h"

namespace collector {

class Announcer {
 public:
  // What the sender tells of its work, for the metrics; each may be empty.
  struct Counts {
    std::function<void()> sent;
    std::function<void()> failed;
    std::function<void(std::int64_t waiting)> waiting;  // deliveries due or coming, all webhooks
  };

  // Results posts link to `publicUrl`'s pages when it is not "".
  Announcer(const ResultStores& stores, std::vector<Webhook> webhooks, Counts counts,
            std::string publicUrl = "");
  // Stops the threads: a post under way is cut off, so this returns within a
  // store call's time.
  ~Announcer();
  Announcer(const Announcer&) = delete;
  Announcer& operator=(const Announcer&) = delete;

 private:
  void run();
  // The thread of one webhook.
  void post(const Webhook& webhook, int number);
  // Posts one due delivery of the webhook; true when there was one. `pauseMs`
  // is set when the webhook asked for a pause (a 429) before any next post.
  bool deliver(const Webhook& webhook, std::int64_t nowMs, std::int64_t& pauseMs);
  // Counts a failed post and logs it; the delivery's outcome, with the time
  // of its next try in `atMs` and the webhook's pause in `pauseMs` (a 429's).
  Delivery failed(const Webhook& webhook, const ClaimedAnnouncement& claimed,
                  const PostResult& result, std::int64_t doneMs, std::int64_t& atMs,
                  std::int64_t& pauseMs);
  void countWaiting();
  // Waits `ms` or until the stop; true on the stop.
  bool waitOrStop(std::int64_t ms);

  const ResultStores stores_;
  const std::vector<Webhook> webhooks_;
  const std::string publicUrl_;
  const Counts counts_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable settled_;  // wakes the counting of what waits
  bool stopping_ = false;
  bool recount_ = false;             // a delivery was settled since the last count
  std::atomic<bool> cutOff_{false};  // read by a post under way
  LogLimiter failureLog_{60000};     // a line per webhook and minute at most
  std::thread thread_;
  std::vector<std::thread> posters_;  // one a webhook, in the order given
};

}  // namespace collector
