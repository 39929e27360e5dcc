#include "server.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "board.h"
#include "keys.h"
#include "page.h"
#include "report.h"

namespace collector {

namespace {

constexpr std::size_t maxBodyBytes = 16 * 1024;
constexpr std::size_t maxBatch = 1024;
const char* const reportPath = "/api/v1/telemetry";

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Group commit: request threads queue their reports and wait; one committer
// thread stores everything queued so far in one transaction and then wakes
// them all with their outcomes. While a commit is under way the next batch
// gathers, so no request waits for a timer.
class Committer {
 public:
  explicit Committer(Store& store) : store_(store), thread_([this] { run(); }) {}
  ~Committer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  // Blocks until the report's batch has been committed or has failed; false
  // when the store failed (nothing of the batch was stored).
  bool add(IncomingReport report, AddOutcome& outcome) {
    auto waiter = std::make_shared<Waiter>();
    waiter->report = std::move(report);
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(waiter);
    wake_.notify_all();
    done_.wait(lock, [&] { return waiter->finished; });
    outcome = waiter->outcome;
    return waiter->stored;
  }

 private:
  struct Waiter {
    IncomingReport report;
    bool finished = false;
    bool stored = false;
    AddOutcome outcome = AddOutcome::unknownKey;
  };

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::vector<std::shared_ptr<Waiter>> batch;
      while (!queue_.empty() && batch.size() < maxBatch) {
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
      lock.unlock();
      std::vector<IncomingReport> reports;
      reports.reserve(batch.size());
      for (const auto& waiter : batch) reports.push_back(waiter->report);
      std::vector<AddOutcome> outcomes;
      std::string error;
      const bool stored = store_.addReports(reports, outcomes, error);
      if (!stored)
        std::cerr << "store failed, " << batch.size() << " reports refused: " << error << "\n";
      lock.lock();
      for (std::size_t i = 0; i < batch.size(); ++i) {
        batch[i]->stored = stored;
        if (stored) batch[i]->outcome = outcomes[i];
        batch[i]->finished = true;
      }
      done_.notify_all();
    }
  }

  Store& store_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<std::shared_ptr<Waiter>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

void answer(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(nlohmann::json{{status < 300 ? "status" : "error", message}}.dump() + "\n",
                  "application/json");
}

void installRoutes(httplib::Server& server, Store& store, Committer& committer, BoardCache& boards,
                   const ServeOptions& options) {
  server.set_payload_max_length(maxBodyBytes);
  // An oversized declared body is refused before any of it is read.
  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "POST" &&
        std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > maxBodyBytes) {
      answer(res, 413, "report body above 16 KiB");
      res.set_header("Connection", "close");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.Post(reportPath,
              [&committer, options](const httplib::Request& req, httplib::Response& res) {
                IncomingReport report;
                report.receivedMs = nowMs();
                const std::string key = req.get_header_value("X-VORN-Key");
                if (key.empty()) return answer(res, 401, "missing X-VORN-Key");
                switch (parseReportBody(req.body, report)) {
                  case BodyCheck::malformed:
                    return answer(res, 400, "body is not a valid report");
                  case BodyCheck::unknownServer:
                    return answer(res, 422, "server_id is not a known server");
                  case BodyCheck::ok:
                    break;
                }
                report.keyHash = hashKey(key);
                if (exceedsSpeed(report.miles, report.seconds, options.maxMph))
                  report.flag = flagSpeed;
                report.checkWallTime = options.wallTimeCheck;
                AddOutcome outcome;
                if (!committer.add(std::move(report), outcome))
                  return answer(res, 503, "store unavailable");
                switch (outcome) {
                  case AddOutcome::stored:
                    return answer(res, 200, "stored");
                  case AddOutcome::storedFlagged:
                    return answer(res, 200, "stored, flagged as implausible");
                  case AddOutcome::unknownKey:
                    return answer(res, 401, "unknown or revoked key");
                  case AddOutcome::wrongPlayer:
                    return answer(res, 403, "player_name does not belong to this key");
                }
              });

  auto board = [&boards](const httplib::Request& req, httplib::Response& res, bool page) {
    BoardQuery query;
    std::string periodText, periodParams, error;
    const ParamReader param = [&req](const std::string& name, std::string& value) {
      if (!req.has_param(name)) return false;
      value = req.get_param_value(name);
      return true;
    };
    if (!parseBoardQuery(param, query, periodText, periodParams, error)) {
      return answer(res, 400, error);
    }
    Board board;
    if (boards.board(query, board) != BoardAnswer::ok) return answer(res, 503, "board unavailable");
    if (page) {
      res.set_content(renderLeaderboardPage(board, query, periodText, periodParams),
                      "text/html; charset=utf-8");
    } else {
      res.set_content(boardJson(board), "application/json");
    }
  };
  server.Get("/api/v1/leaderboard", [board](const httplib::Request& req, httplib::Response& res) {
    board(req, res, false);
  });
  server.Get(
      "/", [board](const httplib::Request& req, httplib::Response& res) { board(req, res, true); });
  server.Get("/healthz", [&store](const httplib::Request&, httplib::Response& res) {
    if (store.healthy()) return answer(res, 200, "ok");
    answer(res, 503, "store unavailable");
  });
}

}  // namespace

int serve(Store& store, const ServeOptions& options) {
  // SIGTERM and SIGINT are taken by one waiting thread; every other thread,
  // created after this, has them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const bool tls = !options.tlsCert.empty();
  std::unique_ptr<httplib::Server> server;
  if (tls) {
    auto secure =
        std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str());
    if (!secure->is_valid()) {
      std::cerr << "cannot load the TLS certificate " << options.tlsCert << " and key "
                << options.tlsKey << "\n";
      return 1;
    }
    server = std::move(secure);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  // Every report comes on its own connection and waits for a commit, so many
  // requests are under way at once.
  server->new_task_queue = [] { return new httplib::ThreadPool(64); };
  Committer committer(store);
  BoardCache::Limits limits;
  limits.reuse = std::chrono::milliseconds(options.boardReuseMs);
  BoardCache boards(store, limits);
  installRoutes(*server, store, committer, boards, options);

  // The library's default would set SO_REUSEPORT, letting a second collector
  // bind the same port and silently take half of the reports; SO_REUSEADDR
  // alone still allows a restart while old connections linger.
  int listener = -1;
  server->set_socket_options([&listener](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listener = sock;
  });

  int port = options.port;
  if (port == 0) {
    port = server->bind_to_any_port(options.host);
  } else if (!server->bind_to_port(options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::cerr << "cannot listen on " << options.host << ":" << options.port << "\n";
    return 1;
  }
  // The library listens with a backlog of 5, which refuses bursts of new
  // connections (every report comes on one); listen again with the system's.
  ::listen(listener, SOMAXCONN);
  const std::string shownHost =
      options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  std::cout << "listening on " << (tls ? "https" : "http") << "://" << shownHost << ":" << port
            << std::endl;

  std::atomic<bool> listening{true};
  std::thread stopper([&server, &listening, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    // A signal that comes before the server runs its loop waits for it: a stop
    // before that would be lost.
    while (listening && !server->is_running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server->stop();
  });
  const bool listened = server->listen_after_bind();
  listening = false;
  // When listen ended on its own, the waiting thread is woken by a signal of
  // its own; after a stop signal it has ended already.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  std::cout << "stopped" << std::endl;
  return listened ? 0 : 1;
}

}  // namespace collector
