// A session's life: admitted, started (with its TLS handshake), stopped, and
// the hand-over of each complete request to the routes.
#include "http/session.h"

#include "http/beast_request.h"
#include "http/loop_posts.h"

namespace collector {

bool Front::admit(const net::ip::address& address) {
  std::lock_guard<std::mutex> lock(mutex);
  if (stopping) return false;
  int& open = openPerAddress[address];
  if (options.maxConnectionsPerAddress > 0 && open >= options.maxConnectionsPerAddress) {
    if (open == 0) openPerAddress.erase(address);
    return false;
  }
  ++open;
  return true;
}

void Front::release(const net::ip::address& address) {
  std::lock_guard<std::mutex> lock(mutex);
  auto found = openPerAddress.find(address);
  if (found != openPerAddress.end() && --found->second <= 0) openPerAddress.erase(found);
}

Session::Session(std::shared_ptr<Front> front, net::io_context& loop, tcp::socket socket,
                 const net::ip::address& peer, ssl::context* tls)
    : front_(std::move(front)), loop_(loop), peer_(peer), peerText_(peer.to_string()) {
  if (tls) {
    tls_.emplace(beast::tcp_stream(std::move(socket)), *tls);
  } else {
    plain_.emplace(std::move(socket));
  }
}

Session::~Session() {
  if (!front_->metricsOnly) front_->metrics.connectionClosed();
  releaseAddress();
  std::lock_guard<std::mutex> lock(front_->mutex);
  front_->live.erase(this);
}

void Session::start() {
  holdsAddressSlot_ = true;
  if (!front_->metricsOnly) front_->metrics.connectionOpened();
  {
    std::lock_guard<std::mutex> lock(front_->mutex);
    front_->live.emplace(this, weak_from_this());
  }
  net::dispatch(tcpStream().get_executor(), [self = shared_from_this()] {
    if (!self->tls_) return self->awaitRequest();
    self->tcpStream().expires_after(requestTime);
    self->tls_->async_handshake(ssl::stream_base::server, [self](beast::error_code error) {
      if (error) return self->close();
      self->awaitRequest();
    });
  });
}

void Session::stop() {
  net::dispatch(tcpStream().get_executor(), [self = shared_from_this()] {
    self->stopping_ = true;
    if (!self->awaitingReply_ && !self->writing_) self->close();
  });
}

void Session::dispatchRequest() {
  tcpStream().expires_never();
  auto& req = parser_->get();
  keepAlive_ = req.keep_alive();
  answerHeadOnly_ = req.method() == http::verb::head;
  version_ = req.version();
  // The metrics are answered at once, so a scraper's kept-alive connection is
  // never taken for one that waits for its answer, which a stop would wait for.
  if (front_->metricsOnly) {
    const bool found = req.target() == "/metrics" &&
                       (req.method() == http::verb::get || req.method() == http::verb::head);
    return send(found ? HttpAnswer{200,
                                   "text/plain; version=0.0.4; charset=utf-8",
                                   front_->routes.metricsText(),
                                   {}}
                      : jsonAnswer(404, "only /metrics here"),
                false);
  }
  awaitingReply_ = true;
  // The reply may come from the committer thread; the work guard keeps the
  // loop running until it has been handed back to this connection.
  auto guard = std::make_shared<net::executor_work_guard<net::io_context::executor_type>>(
      loop_.get_executor());
  auto self = shared_from_this();
  front_->routes.handle(fromBeast(parser_->release(), peerText_), [self, guard](HttpAnswer answer) {
    LoopPosts::post(self->loop_, [self, guard, answer = std::move(answer)]() mutable {
      self->awaitingReply_ = false;
      self->send(std::move(answer), false);
    });
  });
}

}  // namespace collector
