#include "http/listener.h"

#include <cerrno>
#include <iostream>

namespace collector {

Listener::Listener(std::shared_ptr<Front> front, tcp::acceptor acceptor, ssl::context* tls)
    : front_(std::move(front)),
      acceptor_(std::move(acceptor)),
      retry_(acceptor_.get_executor()),
      tls_(tls) {}

void Listener::accept() {
  next_ = (next_ + 1) % front_->loops.size();
  net::io_context& loop = *front_->loops[next_];
  acceptor_.async_accept(
      loop, [self = shared_from_this(), &loop](beast::error_code error, tcp::socket socket) {
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

void Listener::stop() {
  net::dispatch(acceptor_.get_executor(), [self = shared_from_this()] {
    beast::error_code ignored;
    self->acceptor_.close(ignored);
    self->retry_.cancel();
  });
}

}  // namespace collector
