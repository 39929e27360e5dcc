// The service's own counters, served in the Prometheus text format on the
// metrics address (never on the public one). Every method may be called from
// any thread; none blocks on I/O.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "store/store.h"

namespace collector {

// A cumulative histogram with fixed upper bounds.
class Histogram {
 public:
  explicit Histogram(std::vector<double> bounds);
  void observe(double value);
  // The lines of metric `name` (with its HELP and TYPE lines).
  std::string render(const std::string& name, const std::string& help) const;

 private:
  std::vector<double> bounds_;
  mutable std::mutex mutex_;
  std::vector<std::uint64_t> counts_;  // one per bound, then +Inf
  double sum_ = 0.0;
};

class Metrics {
 public:
  Metrics();

  // A report request got this answer (reports by status).
  void reportAnswered(int status);
  // A report was stored flagged by this rule ("speed", "wall_time").
  void reportFlagged(const std::string& rule);
  // One group commit: its number of reports and how long it took.
  void batchCommitted(std::size_t reports, double seconds);
  // The committer, busy, began to wait for its next batch to gather.
  void batchGathering();
  std::uint64_t batchesGathered() const { return gathers_.load(); }
  void storeFailed();
  void boardComputed(double seconds);
  void connectionOpened();
  void connectionClosed();
  // A post to a chat webhook was answered 2xx, or failed (any other answer,
  // or none); deliveries waiting for the webhooks now.
  void announcementSent();
  void announcementFailed();
  void announcementsWaiting(std::int64_t count);
  // A staff sign-in: done, refused (unknown name or wrong password), or
  // throttled (a name's pause or an address's limit) before any check.
  enum class SignIn { done, refused, throttled };
  void staffSignIn(SignIn outcome);

  // The text of every metric, the store's gauges after them.
  std::string render(const std::vector<Store::Gauge>& storeGauges = {}) const;

 private:
  // The answers a report can get, in the order they are rendered.
  static constexpr std::array<int, 11> statuses_ = {200, 400, 401, 403, 411, 413,
                                                    415, 422, 429, 431, 503};
  std::array<std::atomic<std::uint64_t>, statuses_.size() + 1> answers_{};  // last: others
  std::atomic<std::uint64_t> flaggedSpeed_{0};
  std::atomic<std::uint64_t> flaggedWallTime_{0};
  std::atomic<std::uint64_t> storeErrors_{0};
  std::atomic<std::uint64_t> gathers_{0};
  std::atomic<std::int64_t> openConnections_{0};
  std::atomic<std::uint64_t> announcementsSent_{0};
  std::atomic<std::uint64_t> announcementsFailed_{0};
  std::atomic<std::int64_t> announcementsWaiting_{0};
  std::array<std::atomic<std::uint64_t>, 3> signIns_{};
  Histogram batchSize_;
  Histogram commitSeconds_;
  Histogram boardSeconds_;
};

}  // namespace collector
