// One client connection of the front, and what all connections share. A
// session's handlers run on its own loop's thread, one at a time; the only
// other thread that touches it is the committer's, through a post. Every
// step has a deadline, so no client can hold a session past it.
#pragma once

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "http/head_check.h"
#include "http/routes.h"

namespace collector {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

class Session;

// What every connection of one listening address shares: the routes, the
// per-address counts and the list of live connections that a stop closes.
struct Front {
  Front(std::vector<std::unique_ptr<net::io_context>>& loops, Handler& routes, Metrics& metrics,
        const ServeOptions& options, bool metricsOnly = false)
      : loops(loops),
        routes(routes),
        metrics(metrics),
        options(options),
        metricsOnly(metricsOnly) {}
  std::vector<std::unique_ptr<net::io_context>>& loops;
  Handler& routes;   // only while the loops run
  Metrics& metrics;  // also when a connection is dropped with the loops
  const ServeOptions& options;
  // The metrics address: GET /metrics and nothing else, not counted in them.
  const bool metricsOnly;
  std::mutex mutex;
  std::map<net::ip::address, int> openPerAddress;
  std::unordered_map<Session*, std::weak_ptr<Session>> live;
  bool stopping = false;

  // False when the address has its most connections open already.
  bool admit(const net::ip::address& address);
  void release(const net::ip::address& address);
};

// One connection, plain or TLS: reads a request (session_read.cpp), hands it
// to the routes, writes the answer (session_write.cpp), and again while the
// client keeps the connection alive.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(std::shared_ptr<Front> front, net::io_context& loop, tcp::socket socket,
          const net::ip::address& peer, ssl::context* tls);
  ~Session();

  void start();
  // On a stop: a connection that waits for a commit answers first, then closes.
  void stop();

 private:
  static constexpr auto requestTime = std::chrono::seconds(10);  // from a request's first byte
  static constexpr auto idleTime = std::chrono::seconds(5);      // waiting for that first byte
  static constexpr auto writeTime = std::chrono::seconds(10);
  static constexpr auto stopWriteTime = std::chrono::seconds(1);  // writing once stopping
  static constexpr auto lingerTime = std::chrono::seconds(1);     // reading after a refusal

  beast::tcp_stream& tcpStream() { return tls_ ? beast::get_lowest_layer(*tls_) : *plain_; }
  template <class Operation>
  void withStream(Operation&& operation) {
    if (tls_) {
      operation(*tls_);
    } else {
      operation(*plain_);
    }
  }

  // Reading (session_read.cpp).
  void awaitRequest();
  void readHead();
  void onHead(beast::error_code error);
  void readBody();
  void refuseOrClose(beast::error_code error);

  // Handing over to the routes (session.cpp).
  void dispatchRequest();

  // Writing (session_write.cpp).
  void refuse(const HeadRefusal& refusal);
  void send(HttpAnswer answer, bool thenClose);
  void finish(bool linger);
  void drain();
  void close();
  void releaseAddress();

  std::shared_ptr<Front> front_;
  net::io_context& loop_;
  net::ip::address peer_;
  std::string peerText_;  // peer_ as text, written once for all of the connection's requests
  bool holdsAddressSlot_ = false;  // counted in front_->openPerAddress
  std::optional<beast::tcp_stream> plain_;
  std::optional<beast::ssl_stream<beast::tcp_stream>> tls_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  // The answer being written: its head, and its body in `ownBody_` or
  // `sharedBody_`, which keep the bytes until the next answer.
  std::string head_;
  std::string ownBody_;
  std::shared_ptr<const std::string> sharedBody_;
  char discard_[1024];
  unsigned version_ = 11;
  bool keepAlive_ = false;
  bool answerHeadOnly_ = false;  // a HEAD request: the answer's head without its body
  bool awaitingReply_ = false;
  bool writing_ = false;
  bool stopping_ = false;
};

}  // namespace collector
