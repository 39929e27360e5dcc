#include "http/routes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_map>

#include "board/board.h"
#include "core/calendar.h"
#include "core/keys.h"
#include "core/report.h"
#include "page/page.h"

namespace collector {

namespace {

constexpr std::size_t maxBatch = 1024;
const char* const reportPath = "/api/v1/telemetry";

std::int64_t steadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A page or a JSON answer that a proxy in front may serve again for a few
// seconds, so that a burst of readers costs the store one read.
HttpAnswer cacheable(std::string contentType, std::string body) {
  return {200, std::move(contentType), std::move(body), {{"Cache-Control", "max-age=5"}}};
}

// The query's parameters, as the board reads them.
ParamReader paramsOf(const HttpRequest& request) {
  return [&request](const std::string& name, std::string& value) {
    const std::string* found = request.param(name);
    if (found) value = *found;
    return found != nullptr;
  };
}

}  // namespace

// Group commit: requests queue their reports; one committer thread stores
// everything queued so far in one transaction and then hands each its
// outcome. While a commit is under way the next batch gathers, so no request
// waits for a timer.
class Committer {
 public:
  // Called on the committer thread once the report's batch has been committed
  // or has failed; `stored` is false when the store failed (nothing of the
  // batch was stored).
  using Done = std::function<void(bool stored, AddOutcome outcome)>;

  Committer(Store& store, Metrics& metrics)
      : store_(store), metrics_(metrics), thread_([this] { run(); }) {}
  // False from a failed commit until the next one succeeds.
  bool lastCommitted() const { return lastCommitted_; }
  ~Committer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  void add(IncomingReport report, Done done) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({std::move(report), std::move(done)});
    wake_.notify_all();
  }

 private:
  struct Waiter {
    IncomingReport report;
    Done done;
  };

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::vector<Waiter> batch;
      while (!queue_.empty() && batch.size() < maxBatch) {
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
      lock.unlock();
      std::vector<IncomingReport> reports;
      reports.reserve(batch.size());
      for (const auto& waiter : batch) reports.push_back(waiter.report);
      std::vector<AddOutcome> outcomes;
      std::string error;
      const auto start = std::chrono::steady_clock::now();
      const bool stored = store_.addReports(reports, outcomes, error);
      lastCommitted_ = stored;
      if (stored) {
        metrics_.batchCommitted(
            batch.size(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      } else {
        metrics_.storeFailed();
        std::cerr << "store failed, " << batch.size() << " reports refused: " << error << "\n";
      }
      for (std::size_t i = 0; i < batch.size(); ++i) {
        batch[i].done(stored, stored ? outcomes[i] : AddOutcome::unknownKey);
      }
      lock.lock();
    }
  }

  Store& store_;
  Metrics& metrics_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Waiter> queue_;
  bool stopping_ = false;
  std::atomic<bool> lastCommitted_{true};
  std::thread thread_;
};

// Reports per key within the last minute: the times of those taken (a report
// whose key turns out unknown or whose store failed is given back, so only
// players' keys stay here, and a failure never costs a player its quota).
class RateLimit {
 public:
  explicit RateLimit(int perMinute) : perMinute_(static_cast<std::size_t>(perMinute)) {}

  // 0 when the report may go on (and is counted), else the seconds until it may.
  std::int64_t take(const std::string& keyHash, std::int64_t nowMs) {
    if (perMinute_ == 0) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (++calls_ % 4096 == 0) {
      for (auto it = taken_.begin(); it != taken_.end();) {
        expire(it->second, nowMs);
        it = it->second.empty() ? taken_.erase(it) : std::next(it);
      }
    }
    std::deque<std::int64_t>& times = taken_[keyHash];
    expire(times, nowMs);
    if (times.size() >= perMinute_) return (times.front() + windowMs - nowMs + 999) / 1000;
    times.push_back(nowMs);
    return 0;
  }

  void giveBack(const std::string& keyHash, std::int64_t atMs) {
    if (perMinute_ == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = taken_.find(keyHash);
    if (found == taken_.end()) return;
    auto& times = found->second;
    auto at = std::find(times.begin(), times.end(), atMs);
    if (at != times.end()) times.erase(at);
    if (times.empty()) taken_.erase(found);
  }

 private:
  static constexpr std::int64_t windowMs = 60000;
  static void expire(std::deque<std::int64_t>& times, std::int64_t nowMs) {
    while (!times.empty() && times.front() <= nowMs - windowMs) times.pop_front();
  }

  std::size_t perMinute_;
  std::mutex mutex_;
  std::uint64_t calls_ = 0;
  std::unordered_map<std::string, std::deque<std::int64_t>> taken_;
};

const std::string* HttpRequest::param(const std::string& name) const {
  auto found = query.find(name);
  return found == query.end() ? nullptr : &found->second;
}

std::string HttpRequest::header(const std::string& lowerName) const {
  auto found = headers.find(lowerName);
  return found == headers.end() ? std::string() : found->second;
}

HttpAnswer jsonAnswer(int status, const std::string& message) {
  return {status,
          "application/json",
          nlohmann::json{{status < 300 ? "status" : "error", message}}.dump(
              -1, ' ', false, nlohmann::json::error_handler_t::replace) +
              "\n",
          {}};
}

Routes::Routes(Store& store, const ServeOptions& options)
    : store_(store),
      options_(options),
      rate_(std::make_unique<RateLimit>(options.maxReportsPerMinute)),
      committer_(std::make_unique<Committer>(store, metrics_)) {
  BoardCache::Limits limits;
  limits.reuse = std::chrono::milliseconds(options.boardReuseMs);
  limits.computed = [this](double seconds, bool ok) {
    metrics_.boardComputed(seconds);
    if (!ok) metrics_.storeFailed();
  };
  boards_ = std::make_unique<BoardCache>(store, limits);
}

Routes::~Routes() = default;

void Routes::handle(const HttpRequest& request, Reply reply) {
  const bool read = request.method == "GET" || request.method == "HEAD";
  for (const char* prefix : {"/players/", "/api/v1/players/"}) {
    const std::string start = prefix;
    if (request.path.compare(0, start.size(), start) == 0 && request.path.size() > start.size()) {
      if (!read) return reply(jsonAnswer(405, "method not allowed"));
      return player(request, request.path.substr(start.size()), start[1] == 'p', std::move(reply));
    }
  }
  if (request.path == reportPath) {
    if (request.method == "POST") return report(request, std::move(reply));
  } else if (request.path == "/api/v1/leaderboard" || request.path == "/") {
    if (read) return board(request, request.path == "/", std::move(reply));
  } else if (request.path == "/healthz") {
    if (read) {
      return reply(committer_->lastCommitted() && store_.healthy()
                       ? jsonAnswer(200, "ok")
                       : jsonAnswer(503, "store unavailable"));
    }
  } else {
    return reply(jsonAnswer(404, "no such page"));
  }
  reply(jsonAnswer(405, "method not allowed"));
}

namespace {

// The body's player_name, when the body is JSON with one: it names the player
// in the log even when the rest of the body was refused.
std::string bodyPlayerName(const std::string& text) {
  const auto body = nlohmann::json::parse(text, nullptr, false);
  auto name = body.is_object() ? body.find("player_name") : body.end();
  return body.is_object() && name != body.end() && name->is_string() ? name->get<std::string>()
                                                                     : std::string();
}

}  // namespace

void Routes::report(const HttpRequest& request, Reply reply) {
  IncomingReport report;
  report.receivedMs = nowMs();
  const std::string& address = request.clientAddress;
  const std::string key = request.header("x-vorn-key");
  if (key.empty()) {
    return finishReport(reply, 401, "missing X-VORN-Key", bodyPlayerName(request.body), "",
                        address);
  }
  report.keyHash = hashKey(key);
  switch (parseReportBody(request.body, report)) {
    case BodyCheck::malformed:
      return finishReport(reply, 400, "body is not a valid report", bodyPlayerName(request.body),
                          report.keyHash, address);
    case BodyCheck::unknownServer:
      return finishReport(reply, 422, "server_id is not a known server",
                          bodyPlayerName(request.body), report.keyHash, address);
    case BodyCheck::ok:
      break;
  }
  const std::int64_t takenMs = steadyMs();
  if (const std::int64_t wait = rate_->take(report.keyHash, takenMs)) {
    return finishReport(reply, 429, "too many reports from this key", report.playerName,
                        report.keyHash, address, std::to_string(wait));
  }
  const double limit = options_.speedLimits.forServer(report.serverId);
  if (exceedsSpeed(report.miles, report.seconds, limit)) {
    report.flag = flagSpeed;
    report.flagLimit = limit;
  }
  report.checkWallTime = options_.wallTimeCheck;
  const bool speedFlag = !report.flag.empty();
  // What the answer's count and log line need once the committer calls back.
  const std::string keyHash = report.keyHash;
  const std::string player = report.playerName;
  committer_->add(std::move(report), [this, keyHash, player, address, takenMs, speedFlag,
                                      reply = std::move(reply)](bool stored, AddOutcome outcome) {
    if (!stored || (outcome != AddOutcome::stored && outcome != AddOutcome::storedFlagged)) {
      rate_->giveBack(keyHash, takenMs);
    }
    const auto finish = [&](int status, const char* message) {
      finishReport(reply, status, message, player, keyHash, address);
    };
    if (!stored) return finish(503, "store unavailable");
    switch (outcome) {
      case AddOutcome::stored:
        return finish(200, "stored");
      case AddOutcome::storedFlagged:
        metrics_.reportFlagged(speedFlag ? flagSpeed : flagWallTime);
        return finish(200, "stored, flagged as implausible");
      case AddOutcome::unknownKey:
        return finish(401, "unknown or revoked key");
      case AddOutcome::wrongPlayer:
        return finish(403, "player_name does not belong to this key");
      case AddOutcome::failed:
        return finish(503, "store unavailable");
    }
  });
}

void Routes::finishReport(const Reply& reply, int status, const std::string& message,
                          const std::string& player, const std::string& keyHash,
                          const std::string& address, const std::string& retryAfter) {
  metrics_.reportAnswered(status);
  if (status >= 400 && status != 503) {
    std::cerr << refusals_.refused(nowMs(), status, message, player, keyHash, address);
  }
  HttpAnswer answer = jsonAnswer(status, message);
  if (!retryAfter.empty()) answer.headers.emplace_back("Retry-After", retryAfter);
  reply(std::move(answer));
}

void Routes::refusedAtFront(const std::string& clientAddress, int status,
                            const std::string& reason) {
  metrics_.reportAnswered(status);
  std::cerr << refusals_.refused(nowMs(), status, reason, "", "", clientAddress);
}

void Routes::board(const HttpRequest& request, bool page, Reply reply) {
  const std::int64_t today = dayOf(nowMs());
  BoardQuery query;
  PeriodChoice choice;
  std::string error;
  if (!parseBoardQuery(paramsOf(request), today, query, choice, error)) {
    return reply(jsonAnswer(400, error));
  }
  boards_->board(query, [this, page, today, query, choice, reply = std::move(reply)](
                            BoardAnswer answer, const Board& board) {
    if (answer != BoardAnswer::ok) return reply(jsonAnswer(503, "board unavailable"));
    if (!page) return reply(cacheable("application/json", boardJson(board)));
    const DaySpan span = chartSpan(choice.period, today);
    boards_->communityDays(span.period(), [this, today, query, choice, span, board, reply](
                                              BoardAnswer days, const std::vector<DayTotals>& all) {
      if (days != BoardAnswer::ok) return reply(jsonAnswer(503, "board unavailable"));
      reply(
          cacheable("text/html; charset=utf-8",
                    renderLeaderboardPage(options_.page, choice, today, query, board, span, all)));
    });
  });
}

void Routes::player(const HttpRequest& request, const std::string& name, bool page, Reply reply) {
  const std::int64_t today = dayOf(nowMs());
  PeriodChoice choice;
  if (!choosePeriod(request.param("since"), request.param("until"), today, choice)) {
    return reply(jsonAnswer(400, "since and until are dates, YYYY-MM-DD"));
  }
  const DaySpan span = chartSpan(choice.period, today);
  boards_->player(
      name, choice.period, span.period(),
      [this, page, today, name, choice, span, reply = std::move(reply)](
          BoardAnswer answer, bool found, const PlayerView& view) {
        if (answer != BoardAnswer::ok) {
          return reply(jsonAnswer(503, "board unavailable"));
        }
        const std::string missing = "no player named '" + name + "'";
        if (!found && !page) return reply(jsonAnswer(404, missing));
        if (!found) {
          return reply(
              {404, "text/html; charset=utf-8", renderMissingPage(options_.page, missing), {}});
        }
        if (!page) return reply(cacheable("application/json", playerJson(name, view)));
        reply(cacheable("text/html; charset=utf-8",
                        renderPlayerPage(options_.page, choice, today, name, view, span)));
      });
}

}  // namespace collector
