#include "http/metrics.h"

#include "core/text.h"
#include "vorn_deployment.h"

namespace collector {

namespace {

std::string header(const std::string& name, const std::string& help, const char* type) {
  return "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), counts_(bounds_.size() + 1, 0) {}

void Histogram::observe(double value) {
  std::size_t bucket = 0;
  while (bucket < bounds_.size() && value > bounds_[bucket]) ++bucket;
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_[bucket];
  sum_ += value;
}

std::string Histogram::render(const std::string& name, const std::string& help) const {
  std::string text = header(name, help, "histogram");
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < counts_.size(); ++i) {
    cumulative += counts_[i];
    const std::string bound = i < bounds_.size() ? shortestNumber(bounds_[i]) : "+Inf";
    text += name + "_bucket{le=\"" + bound + "\"} " + std::to_string(cumulative) + "\n";
  }
  text += name + "_sum " + shortestNumber(sum_) + "\n";
  text += name + "_count " + std::to_string(cumulative) + "\n";
  return text;
}

Metrics::Metrics()
    : batchSize_({1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024}),
      commitSeconds_({0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10}),
      boardSeconds_({0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10}) {}

void Metrics::reportAnswered(int status) {
  std::size_t slot = 0;
  while (slot < statuses_.size() && statuses_[slot] != status) ++slot;
  ++answers_[slot];
}

void Metrics::reportFlagged(const std::string& rule) {
  ++(rule == "speed" ? flaggedSpeed_ : flaggedWallTime_);
}

void Metrics::batchCommitted(std::size_t reports, double seconds) {
  batchSize_.observe(static_cast<double>(reports));
  commitSeconds_.observe(seconds);
}

void Metrics::batchGathering() { ++gathers_; }
void Metrics::storeFailed() { ++storeErrors_; }
void Metrics::boardComputed(double seconds) { boardSeconds_.observe(seconds); }
void Metrics::connectionOpened() { ++openConnections_; }
void Metrics::connectionClosed() { --openConnections_; }
void Metrics::announcementSent() { ++announcementsSent_; }
void Metrics::staffSignIn(SignIn outcome) { ++signIns_[static_cast<std::size_t>(outcome)]; }
void Metrics::announcementFailed() { ++announcementsFailed_; }
void Metrics::announcementsWaiting(std::int64_t count) { announcementsWaiting_ = count; }

std::string Metrics::render(const std::vector<Store::Gauge>& storeGauges) const {
  std::string text =
      header("vorn_reports_total", "Report requests by the status of their answer.", "counter");
  for (std::size_t i = 0; i <= statuses_.size(); ++i) {
    const std::string code = i < statuses_.size() ? std::to_string(statuses_[i]) : "other";
    text +=
        "vorn_reports_total{code=\"" + code + "\"} " + std::to_string(answers_[i].load()) + "\n";
  }
  text += header("vorn_reports_flagged_total", "Reports stored flagged, by rule.", "counter");
  text += "vorn_reports_flagged_total{rule=\"speed\"} " + std::to_string(flaggedSpeed_.load()) +
          "\nvorn_reports_flagged_total{rule=\"wall_time\"} " +
          std::to_string(flaggedWallTime_.load()) + "\n";
  text += batchSize_.render("vorn_commit_batch_reports", "Reports per group commit.");
  text += commitSeconds_.render("vorn_commit_seconds", "Time of each group commit.");
  text += header("vorn_commit_gathers_total",
                 "Batches the busy committer waited to gather before it committed them.",
                 "counter") +
          "vorn_commit_gathers_total " + std::to_string(gathers_.load()) + "\n";
  text += header("vorn_store_errors_total", "Store calls that failed.", "counter") +
          "vorn_store_errors_total " + std::to_string(storeErrors_.load()) + "\n";
  text += header("vorn_open_connections", "Client connections open now.", "gauge") +
          "vorn_open_connections " + std::to_string(openConnections_.load()) + "\n";
  text += boardSeconds_.render("vorn_board_seconds", "Time of each leaderboard computation.");
  text += header("vorn_announcements_sent_total",
                 "Posts of announcements to chat webhooks answered 2xx.", "counter") +
          "vorn_announcements_sent_total " + std::to_string(announcementsSent_.load()) + "\n";
  text += header("vorn_announcements_failed_total",
                 "Posts of announcements to chat webhooks that failed (tried again later, "
                 "for a day).",
                 "counter") +
          "vorn_announcements_failed_total " + std::to_string(announcementsFailed_.load()) + "\n";
  text += header("vorn_announcements_waiting",
                 "Deliveries of announcements waiting for this collector's webhooks.", "gauge") +
          "vorn_announcements_waiting " + std::to_string(announcementsWaiting_.load()) + "\n";
  text += header("vorn_staff_signins_total",
                 "Staff sign-ins to the console: done, refused, or throttled before any check.",
                 "counter");
  const char* const outcomes[] = {"done", "refused", "throttled"};
  for (std::size_t i = 0; i < signIns_.size(); ++i) {
    text += std::string("vorn_staff_signins_total{outcome=\"") + outcomes[i] + "\"} " +
            std::to_string(signIns_[i].load()) + "\n";
  }
  for (const Store::Gauge& gauge : storeGauges) {
    text += header(gauge.name, gauge.help, "gauge") + gauge.name + " " +
            shortestNumber(gauge.value) + "\n";
  }
  text += header("vorn_build_info", "The collector's version.", "gauge") +
          "vorn_build_info{version=\"" + deployment::version + "\"} 1\n";
  return text;
}

}  // namespace collector
