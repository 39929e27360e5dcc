// The HTTP front on Boost.Beast over Asio: a few event loops per core, each on
// its own thread, run the reads and writes of their share of the connections,
// so slow or idle clients cost a socket and a little memory each, never a
// thread. A connection stays on its loop from accept to close, so its steps
// never wait for another thread to wake, except for the commit of a report.
// Every request is bounded before the routes see it: its head and body must
// arrive within 10 s of its first byte, the head is at most 16 KiB, a POST
// declares its length (no chunks, no content coding) and that length is at
// most 16 KiB.
#include "http/server.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "http/routes.h"

namespace collector {

namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t maxHeadBytes = 16 * 1024;
constexpr std::size_t maxBodyBytes = 16 * 1024;
constexpr auto requestTime = std::chrono::seconds(10);  // from a request's first byte
constexpr auto idleTime = std::chrono::seconds(5);      // waiting for a request's first byte
constexpr auto writeTime = std::chrono::seconds(10);
constexpr auto lingerTime = std::chrono::seconds(1);  // reading what follows a refusal
constexpr auto stopTime = std::chrono::milliseconds(1500);
// Open files the collector asks for: connections plus its own.
constexpr rlim_t wantedOpenFiles = 65536;
constexpr rlim_t neededOpenFiles = 10240;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding; in a query '+' is a space too.
std::string decode(beast::string_view text, bool query) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += query && c == '+' ? ' ' : c;
    }
  }
  return out;
}

HttpRequest fromBeast(http::request<http::string_body>&& req, const std::string& peer) {
  HttpRequest request;
  request.method = std::string(req.method_string());
  const beast::string_view target = req.target();
  const auto question = target.find('?');
  request.path = decode(target.substr(0, question), false);
  if (question != beast::string_view::npos) {
    beast::string_view rest = target.substr(question + 1);
    while (!rest.empty()) {
      const auto amp = rest.find('&');
      const beast::string_view pair = rest.substr(0, amp);
      const auto eq = pair.find('=');
      if (!pair.empty()) {
        request.query.emplace(
            decode(pair.substr(0, eq), true),
            eq == beast::string_view::npos ? "" : decode(pair.substr(eq + 1), true));
      }
      if (amp == beast::string_view::npos) break;
      rest = rest.substr(amp + 1);
    }
  }
  for (const auto& field : req) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    request.headers.emplace(std::move(name), std::string(field.value()));
  }
  request.body = std::move(req.body());
  request.clientAddress = peer;
  return request;
}

class Session;

// What every connection shares: the routes, the per-address counts and the
// list of live connections that a stop closes.
struct Front {
  Front(std::vector<std::unique_ptr<net::io_context>>& loops, Routes& routes,
        const ServeOptions& options, bool metricsOnly = false)
      : loops(loops), routes(routes), options(options), metricsOnly(metricsOnly) {}
  std::vector<std::unique_ptr<net::io_context>>& loops;
  Routes& routes;
  const ServeOptions& options;
  // The metrics address: GET /metrics and nothing else, not counted in them.
  const bool metricsOnly;
  std::mutex mutex;
  std::map<net::ip::address, int> perAddress;
  std::unordered_map<Session*, std::weak_ptr<Session>> live;
  bool stopping = false;

  // False when the address has its most connections open already.
  bool admit(const net::ip::address& address) {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return false;
    int& open = perAddress[address];
    if (options.maxConnectionsPerAddress > 0 && open >= options.maxConnectionsPerAddress) {
      if (open == 0) perAddress.erase(address);
      return false;
    }
    ++open;
    return true;
  }
  void release(const net::ip::address& address) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = perAddress.find(address);
    if (found != perAddress.end() && --found->second <= 0) perAddress.erase(found);
  }
};

// One connection, plain or TLS. Its handlers run on its own strand.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(std::shared_ptr<Front> front, net::io_context& loop, tcp::socket socket,
          const net::ip::address& peer, ssl::context* tls)
      : front_(std::move(front)), loop_(loop), peer_(peer) {
    if (tls) {
      tls_.emplace(beast::tcp_stream(std::move(socket)), *tls);
    } else {
      plain_.emplace(std::move(socket));
    }
  }
  ~Session() {
    if (!front_->metricsOnly) front_->routes.metrics().connectionClosed();
    if (counted_) front_->release(peer_);
    std::lock_guard<std::mutex> lock(front_->mutex);
    front_->live.erase(this);
  }

  void start() {
    counted_ = true;
    if (!front_->metricsOnly) front_->routes.metrics().connectionOpened();
    {
      std::lock_guard<std::mutex> lock(front_->mutex);
      front_->live.emplace(this, weak_from_this());
    }
    net::dispatch(lowest().get_executor(), [self = shared_from_this()] {
      if (!self->tls_) return self->awaitRequest();
      self->lowest().expires_after(requestTime);
      self->tls_->async_handshake(ssl::stream_base::server, [self](beast::error_code error) {
        if (error) return self->close();
        self->awaitRequest();
      });
    });
  }

  // On a stop: a connection that waits for a commit answers first, then closes.
  void stop() {
    net::dispatch(lowest().get_executor(), [self = shared_from_this()] {
      self->stopping_ = true;
      if (!self->awaitingReply_ && !self->writing_) self->close();
    });
  }

 private:
  beast::tcp_stream& lowest() { return tls_ ? beast::get_lowest_layer(*tls_) : *plain_; }

  template <class Operation>
  void withStream(Operation&& operation) {
    if (tls_) {
      operation(*tls_);
    } else {
      operation(*plain_);
    }
  }

  // Waits up to the idle time for the first byte of the next request.
  void awaitRequest() {
    if (stopping_) return close();
    if (buffer_.size() > 0) return readHead();
    lowest().expires_after(idleTime);
    withStream([this](auto& stream) {
      stream.async_read_some(buffer_.prepare(1024),
                             [self = shared_from_this()](beast::error_code error, std::size_t n) {
                               self->buffer_.commit(n);
                               if (error || n == 0) return self->close();
                               self->readHead();
                             });
    });
  }

  void readHead() {
    lowest().expires_after(requestTime);
    parser_.emplace();
    parser_->header_limit(maxHeadBytes);
    // The body's limit is decided once the head is known.
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    withStream([this](auto& stream) {
      http::async_read_header(stream, buffer_, *parser_,
                              [self = shared_from_this()](beast::error_code error, std::size_t) {
                                self->onHead(error);
                              });
    });
  }

  void onHead(beast::error_code error) {
    if (error == http::error::header_limit) {
      return refuse(431, "request head above 16 KiB");
    }
    if (error) return refuseOrClose(error);
    const auto& req = parser_->get();
    if (req.method() == http::verb::post) {
      if (req.find(http::field::content_encoding) != req.end()) {
        return refuse(415, "report bodies are not content-coded");
      }
      if (req.chunked() || !parser_->content_length()) {
        return refuse(411, "a report needs a Content-Length");
      }
    }
    if (parser_->content_length() && *parser_->content_length() > maxBodyBytes) {
      return refuse(413, "request body above 16 KiB");
    }
    parser_->body_limit(maxBodyBytes);
    if (!parser_->is_done() && beast::iequals(req[http::field::expect], "100-continue")) {
      auto proceed = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                        req.version());
      return withStream([this, proceed](auto& stream) {
        http::async_write(
            stream, *proceed,
            [self = shared_from_this(), proceed](beast::error_code error, std::size_t) {
              if (error) return self->close();
              self->readBody();
            });
      });
    }
    readBody();
  }

  void readBody() {
    withStream([this](auto& stream) {
      http::async_read(stream, buffer_, *parser_,
                       [self = shared_from_this()](beast::error_code error, std::size_t) {
                         if (error == http::error::body_limit) {
                           return self->refuse(413, "request body above 16 KiB");
                         }
                         if (error) return self->refuseOrClose(error);
                         self->dispatchRequest();
                       });
    });
  }

  // A malformed request gets its 400; a time-out or a lost connection ends it.
  void refuseOrClose(beast::error_code error) {
    if (error != http::error::end_of_stream && error != http::error::partial_message &&
        error.category() == http::make_error_code(http::error::bad_target).category()) {
      return refuse(400, "malformed request");
    }
    close();
  }

  void dispatchRequest() {
    lowest().expires_never();
    auto& req = parser_->get();
    keepAlive_ = req.keep_alive();
    head_ = req.method() == http::verb::head;
    version_ = req.version();
    awaitingReply_ = true;
    // The reply may come from the committer thread; the work guard keeps the
    // loop running until it has been handed back to this connection.
    auto guard = std::make_shared<net::executor_work_guard<net::io_context::executor_type>>(
        loop_.get_executor());
    auto self = shared_from_this();
    if (front_->metricsOnly) {
      const bool found = req.target() == "/metrics" &&
                         (req.method() == http::verb::get || req.method() == http::verb::head);
      return send(found ? HttpAnswer{200,
                                     "text/plain; version=0.0.4; charset=utf-8",
                                     front_->routes.metrics().render(),
                                     {}}
                        : jsonAnswer(404, "only /metrics here"),
                  false);
    }
    front_->routes.handle(fromBeast(parser_->release(), peer_.to_string()), [self, guard](
                                                                                HttpAnswer answer) {
      net::post(self->lowest().get_executor(), [self, guard, answer = std::move(answer)]() mutable {
        self->awaitingReply_ = false;
        self->send(std::move(answer), false);
      });
    });
  }

  void refuse(int status, const char* message) {
    // Refusals of a request's head or declared body (411, 413, 415, 431) are
    // counted and logged as report answers; a request malformed beyond
    // reading (400) is not taken for a report.
    if (!front_->metricsOnly && status != 400) {
      front_->routes.refusedAtFront(peer_.to_string(), status, message);
    }
    version_ = parser_ && parser_->is_header_done() ? parser_->get().version() : 11;
    head_ = false;
    send(jsonAnswer(status, message), true);
  }

  void send(HttpAnswer answer, bool thenClose) {
    const bool keep = keepAlive_ && !thenClose && !stopping_;
    response_ = {};
    response_.version(version_);
    response_.result(static_cast<unsigned>(answer.status));
    if (!answer.contentType.empty()) response_.set(http::field::content_type, answer.contentType);
    for (const auto& [name, value] : answer.headers) response_.set(name, value);
    response_.keep_alive(keep);
    response_.content_length(answer.body.size());
    if (!head_) response_.body() = std::move(answer.body);
    lowest().expires_after(stopping_ ? std::chrono::seconds(1) : writeTime);
    writing_ = true;
    withStream([this, keep, thenClose](auto& stream) {
      http::async_write(
          stream, response_,
          [self = shared_from_this(), keep, thenClose](beast::error_code error, std::size_t) {
            self->writing_ = false;
            if (error) return self->close();
            if (keep) return self->awaitRequest();
            self->finish(thenClose);
          });
    });
  }

  // After the last answer: no more is sent; what the client still sends is
  // read and dropped for a moment, so that closing does not reset the
  // connection before the client has read a refusal.
  void finish(bool linger) {
    // The connection no longer counts against its address: a client may open
    // its next one as soon as it has read this answer.
    if (counted_) front_->release(peer_);
    counted_ = false;
    beast::error_code error;
    lowest().socket().shutdown(tcp::socket::shutdown_send, error);
    if (!linger || stopping_ || error) return close();
    lowest().expires_after(lingerTime);
    drain();
  }

  void drain() {
    lowest().socket().async_read_some(
        net::buffer(discard_), [self = shared_from_this()](beast::error_code error, std::size_t) {
          if (error) return self->close();
          self->drain();
        });
  }

  void close() {
    beast::error_code error;
    lowest().socket().close(error);
  }

  std::shared_ptr<Front> front_;
  net::io_context& loop_;
  net::ip::address peer_;
  bool counted_ = false;
  std::optional<beast::tcp_stream> plain_;
  std::optional<beast::ssl_stream<beast::tcp_stream>> tls_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  char discard_[1024];
  unsigned version_ = 11;
  bool keepAlive_ = false;
  bool head_ = false;
  bool awaitingReply_ = false;
  bool writing_ = false;
  bool stopping_ = false;
};

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(std::shared_ptr<Front> front, tcp::acceptor acceptor, ssl::context* tls)
      : front_(std::move(front)),
        acceptor_(std::move(acceptor)),
        retry_(acceptor_.get_executor()),
        tls_(tls) {}

  void accept() {
    next_ = (next_ + 1) % front_->loops.size();
    net::io_context& loop = *front_->loops[next_];
    acceptor_.async_accept(loop, [self = shared_from_this(), &loop](beast::error_code error,
                                                                    tcp::socket socket) {
      if (!self->acceptor_.is_open()) return;
      if (error) {
        // Out of open files (or another passing failure): try again shortly
        // instead of spinning; the connections in the backlog wait.
        if (!self->warned_ && (error == net::error::no_descriptors || error.value() == ENFILE)) {
          std::cerr << "out of open files: new connections wait (" << error.message() << ")\n";
          self->warned_ = true;
        }
        self->retry_.expires_after(std::chrono::milliseconds(50));
        self->retry_.async_wait([self](beast::error_code) { self->accept(); });
        return;
      }
      beast::error_code ignored;
      const auto peer = socket.remote_endpoint(ignored).address();
      // No waiting for the client's delayed acknowledgement between the parts
      // of an answer.
      if (!ignored) socket.set_option(tcp::no_delay(true), ignored);
      if (!ignored && self->front_->admit(peer)) {
        auto session =
            std::make_shared<Session>(self->front_, loop, std::move(socket), peer, self->tls_);
        session->start();
      } else {
        socket.close(ignored);
      }
      self->accept();
    });
  }

  void stop() {
    net::dispatch(acceptor_.get_executor(), [self = shared_from_this()] {
      beast::error_code ignored;
      self->acceptor_.close(ignored);
      self->retry_.cancel();
    });
  }

 private:
  std::shared_ptr<Front> front_;
  tcp::acceptor acceptor_;
  net::steady_timer retry_;
  ssl::context* tls_;
  std::size_t next_ = 0;  // the loop of the next connection
  bool warned_ = false;
};

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

// Binds and listens on HOST:PORT (0: a free port); says why on standard error
// when it cannot.
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
  std::cerr << "cannot listen on " << host << ":" << port << "\n";
  return false;
}

std::string shownHost(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

int serve(Store& store, const ServeOptions& options) {
  // SIGTERM and SIGINT are taken by this thread alone; every other thread,
  // created after this, has them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  raiseOpenFileLimit();

  const bool secure = !options.tlsCert.empty();
  std::optional<ssl::context> tls;
  if (secure) {
    tls.emplace(ssl::context::tls_server);
    tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    beast::error_code error;
    tls->use_certificate_chain_file(options.tlsCert, error);
    if (!error) tls->use_private_key_file(options.tlsKey, ssl::context::pem, error);
    if (error) {
      std::cerr << "cannot load the TLS certificate " << options.tlsCert << " and key "
                << options.tlsKey << "\n";
      return 1;
    }
  }

  // Declared before the routes: replies that come after the threads have
  // stopped are posted into them and dropped with them.
  // Four loops per core: a busy machine shares its cores per thread, and a
  // leaderboard or health probe holds its loop while the database answers.
  const unsigned threadCount = std::max(8u, 4 * std::thread::hardware_concurrency());
  std::vector<std::unique_ptr<net::io_context>> loops;
  for (unsigned i = 0; i < threadCount; ++i) loops.push_back(std::make_unique<net::io_context>(1));
  tcp::acceptor acceptor(*loops[0]);
  if (!bindAcceptor(acceptor, options.host, options.port)) return 1;
  std::optional<tcp::acceptor> metricsAcceptor;
  if (options.metricsPort >= 0) {
    metricsAcceptor.emplace(*loops[0]);
    if (!bindAcceptor(*metricsAcceptor, options.metricsHost, options.metricsPort)) return 1;
  }
  const int port = acceptor.local_endpoint().port();
  std::cout << "listening on " << (secure ? "https" : "http") << "://" << shownHost(options.host)
            << ":" << port << std::endl;
  if (metricsAcceptor) {
    std::cout << "metrics on http://" << shownHost(options.metricsHost) << ":"
              << metricsAcceptor->local_endpoint().port() << "/metrics" << std::endl;
  }

  Routes routes(store, options);
  // Shared with every connection: those still queued when the loops are cut
  // off at a stop end only with the loops, after this function's locals.
  auto front = std::make_shared<Front>(loops, routes, options);
  auto listener = std::make_shared<Listener>(front, std::move(acceptor), tls ? &*tls : nullptr);
  listener->accept();
  auto metricsFront = std::make_shared<Front>(loops, routes, options, true);
  std::shared_ptr<Listener> metricsListener;
  if (metricsAcceptor) {
    metricsListener =
        std::make_shared<Listener>(metricsFront, std::move(*metricsAcceptor), nullptr);
    metricsListener->accept();
  }

  std::vector<net::executor_work_guard<net::io_context::executor_type>> work;
  for (auto& loop : loops) work.push_back(net::make_work_guard(*loop));
  std::mutex endedMutex;
  std::condition_variable endedChanged;
  unsigned ended = 0;
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < threadCount; ++i) {
    threads.emplace_back([&, i] {
      loops[i]->run();
      std::lock_guard<std::mutex> lock(endedMutex);
      ++ended;
      endedChanged.notify_all();
    });
  }

  int signal = 0;
  sigwait(&stopSignals, &signal);
  // No new connections; the open ones close, those waiting for a commit after
  // their answer. What is still not done after a moment is cut off.
  listener->stop();
  if (metricsListener) metricsListener->stop();
  std::vector<std::shared_ptr<Session>> sessions;
  for (Front* each : {front.get(), metricsFront.get()}) {
    std::lock_guard<std::mutex> lock(each->mutex);
    each->stopping = true;
    for (auto& [raw, weak] : each->live) {
      if (auto session = weak.lock()) sessions.push_back(std::move(session));
    }
  }
  for (auto& session : sessions) session->stop();
  sessions.clear();
  work.clear();
  {
    std::unique_lock<std::mutex> lock(endedMutex);
    if (!endedChanged.wait_for(lock, stopTime, [&] { return ended == threadCount; })) {
      for (auto& loop : loops) loop->stop();
    }
  }
  for (auto& thread : threads) thread.join();
  std::cout << "stopped" << std::endl;
  return 0;
}

}  // namespace collector
