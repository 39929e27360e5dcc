// The HTTP front on Boost.Beast over Asio: a few event loops per core, each on
// its own thread, run the reads and writes of their share of the connections,
// so slow or idle clients cost a socket and a little memory each, never a
// thread. A connection stays on its loop from accept to close, so its steps
// never wait for another thread to wake, except for the commit of a report.
// Every request is bounded before the routes see it (session.h, head_check.h).
// This file sets the front up (TLS, addresses, loops) and stops it.
#include "http/server.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/threads.h"
#include "http/listener.h"
#include "http/routes.h"
#include "http/session.h"

namespace collector {

namespace {

// How long the open connections have to finish once a stop is asked for.
constexpr auto stopTime = std::chrono::milliseconds(1500);
// Open files the collector asks for: connections plus its own.
constexpr rlim_t wantedOpenFiles = 65536;
constexpr rlim_t neededOpenFiles = 10240;

// Raises the open-file limit as far as allowed, and says so when that is too
// little for the connections the collector is meant to hold.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur >= wantedOpenFiles) return;
  rlimit wanted = limit;
  wanted.rlim_cur = wanted.rlim_max = std::max<rlim_t>(limit.rlim_max, wantedOpenFiles);
  if (setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
    wanted.rlim_cur = wanted.rlim_max = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &wanted) != 0) wanted = limit;
  }
  if (wanted.rlim_cur < neededOpenFiles) {
    std::cerr << "open-file limit " << wanted.rlim_cur << " (hard " << limit.rlim_max
              << "): fewer than " << neededOpenFiles
              << " connections can be held at once; raise LimitNOFILE\n";
  }
}

std::string shownHost(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Binds and listens on HOST:PORT (0: a free port); says why on standard error
// when it cannot, and what to do about it.
bool bindAcceptor(tcp::acceptor& acceptor, const std::string& host, int port) {
  beast::error_code error;
  tcp::resolver resolver(acceptor.get_executor());
  const auto endpoints = resolver.resolve(
      host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, error);
  for (const auto& entry : endpoints) {
    acceptor.open(entry.endpoint().protocol(), error);
    // SO_REUSEADDR lets a restart bind while old connections linger; without
    // SO_REUSEPORT a second collector cannot take half of the port.
    if (!error) acceptor.set_option(net::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind(entry.endpoint(), error);
    if (!error) acceptor.listen(net::socket_base::max_listen_connections, error);
    if (!error) return true;
    beast::error_code ignored;
    acceptor.close(ignored);
  }
  std::string advice;
  if (error == beast::errc::permission_denied && port < 1024) {
    advice =
        "; a port below 1024 needs the capability CAP_NET_BIND_SERVICE (for the service: "
        "AmbientCapabilities=CAP_NET_BIND_SERVICE in a drop-in made with `systemctl edit "
        "vorn-collector`), or listen on a port from 1024 up behind a proxy";
  } else if (error == beast::errc::address_in_use) {
    advice = "; another program listens there (`ss -ltnp` shows which)";
  } else if (error == beast::errc::address_not_available) {
    advice = "; no network interface of this machine has that address";
  }
  std::cerr << "vorn-collector: cannot listen on " << shownHost(host) << ":" << port << ": "
            << (error ? error.message() : "the address resolves to nothing") << advice << "\n";
  return false;
}

// SIGTERM and SIGINT are taken by the calling thread alone; every thread
// created after this has them blocked. So is SIGHUP, a stop like the others:
// the terminal that ran the service is gone, and nobody reads what it says
// (it has nothing to reload; under systemd it comes only with SendSIGHUP).
// Started with SIGHUP ignored (nohup), it stays ignored.
sigset_t blockStopSignals() {
  sigset_t stopSignals = stopSignalSet();
  struct sigaction hangUp {};
  if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler == SIG_IGN) {
    sigdelset(&stopSignals, SIGHUP);
  }
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return stopSignals;
}

// The server's TLS context from the certificate and key files; false (and
// said on standard error) when they cannot be loaded.
bool loadTls(const ServeOptions& options, std::optional<ssl::context>& tls) {
  tls.emplace(ssl::context::tls_server);
  tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                   ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  beast::error_code error;
  tls->use_certificate_chain_file(options.tlsCert, error);
  if (!error) tls->use_private_key_file(options.tlsKey, ssl::context::pem, error);
  if (error) {
    std::cerr << "vorn-collector: cannot load the TLS certificate " << options.tlsCert
              << " and key " << options.tlsKey << ": " << error.message()
              << " (PEM files, readable by the user the collector runs as)\n";
    return false;
  }
  return true;
}

// The event loops and their threads: each thread runs one loop until the
// loop runs out of work or is stopped.
class Loops {
 public:
  // One loop per core, and two at least. Nothing a loop runs waits for the
  // store (boards and health come from threads of their own), so more loops
  // only add threads that wait for a core: with four per core, readers that
  // kept both cores of a machine busy waited half again as long at the 99th
  // percentile.
  Loops() : count_(std::max(2u, std::thread::hardware_concurrency())) {
    for (unsigned i = 0; i < count_; ++i) loops_.push_back(std::make_unique<net::io_context>(1));
  }

  std::vector<std::unique_ptr<net::io_context>>& all() { return loops_; }

  void run() {
    for (auto& loop : loops_) work_.push_back(net::make_work_guard(*loop));
    for (unsigned i = 0; i < count_; ++i) {
      threads_.emplace_back([this, i] {
        nameThisThread("vorn-loop");
        loops_[i]->run();
        std::lock_guard<std::mutex> lock(endedMutex_);
        ++ended_;
        endedChanged_.notify_all();
      });
    }
  }

  // Lets each loop end once its work is done; cuts off those still busy
  // after `grace`, then joins every thread.
  void finish(std::chrono::milliseconds grace) {
    work_.clear();
    {
      std::unique_lock<std::mutex> lock(endedMutex_);
      if (!endedChanged_.wait_for(lock, grace, [&] { return ended_ == count_; })) {
        for (auto& loop : loops_) loop->stop();
      }
    }
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  const unsigned count_;
  std::vector<std::unique_ptr<net::io_context>> loops_;
  std::vector<net::executor_work_guard<net::io_context::executor_type>> work_;
  std::vector<std::thread> threads_;
  std::mutex endedMutex_;
  std::condition_variable endedChanged_;
  unsigned ended_ = 0;
};

// The stop sequence: no new connections; the open ones close, those waiting
// for a commit after their answer.
void stopFronts(const std::vector<std::shared_ptr<Listener>>& listeners,
                const std::vector<std::shared_ptr<Front>>& fronts) {
  for (const auto& listener : listeners) listener->stop();
  std::vector<std::shared_ptr<Session>> sessions;
  for (const auto& front : fronts) {
    std::lock_guard<std::mutex> lock(front->mutex);
    front->stopping = true;
    for (auto& [raw, weak] : front->live) {
      if (auto session = weak.lock()) sessions.push_back(std::move(session));
    }
  }
  for (auto& session : sessions) session->stop();
}

}  // namespace

int serve(Store& store, const ServeOptions& options) {
  return serve([&](Metrics& metrics) { return std::make_unique<Routes>(store, options, metrics); },
               options);
}

int serve(const std::function<std::unique_ptr<Handler>(Metrics&)>& makeHandler,
          const ServeOptions& options) {
  sigset_t stopSignals = blockStopSignals();
  raiseOpenFileLimit();
  const bool secure = !options.tlsCert.empty();
  std::optional<ssl::context> tls;
  if (secure && !loadTls(options, tls)) return 1;

  // The counters outlive the loops, whose dropped connections count
  // themselves closed; the loops outlive the routes: replies that come after
  // the threads have stopped are posted into them and dropped with them.
  Metrics metrics;
  Loops loops;
  net::io_context& firstLoop = *loops.all()[0];
  tcp::acceptor acceptor(firstLoop);
  if (!bindAcceptor(acceptor, options.host, options.port)) return 1;
  std::optional<tcp::acceptor> metricsAcceptor;
  if (options.metricsPort >= 0) {
    metricsAcceptor.emplace(firstLoop);
    if (!bindAcceptor(*metricsAcceptor, options.metricsHost, options.metricsPort)) return 1;
  }
  // The routes start the workers (the store's first health probe among
  // them) before the service says it listens: a client that waits for that
  // line finds every request answered at once.
  const std::unique_ptr<Handler> handler = makeHandler(metrics);
  Handler& routes = *handler;
  std::cout << "listening on " << (secure ? "https" : "http") << "://" << shownHost(options.host)
            << ":" << acceptor.local_endpoint().port() << std::endl;
  if (metricsAcceptor) {
    std::cout << "metrics on http://" << shownHost(options.metricsHost) << ":"
              << metricsAcceptor->local_endpoint().port() << "/metrics" << std::endl;
  }
  // Shared with every connection: those still queued when the loops are cut
  // off at a stop end only with the loops, after this function's locals.
  std::vector<std::shared_ptr<Front>> fronts{
      std::make_shared<Front>(loops.all(), routes, metrics, options),
      std::make_shared<Front>(loops.all(), routes, metrics, options, /*metricsOnly=*/true)};
  std::vector<std::shared_ptr<Listener>> listeners{
      std::make_shared<Listener>(fronts[0], std::move(acceptor), tls ? &*tls : nullptr)};
  if (metricsAcceptor) {
    listeners.push_back(
        std::make_shared<Listener>(fronts[1], std::move(*metricsAcceptor), nullptr));
  }
  for (const auto& listener : listeners) listener->accept();
  loops.run();

  int signal = 0;
  sigwait(&stopSignals, &signal);
  stopFronts(listeners, fronts);
  loops.finish(stopTime);
  std::cout << "stopped" << std::endl;
  return 0;
}

}  // namespace collector
