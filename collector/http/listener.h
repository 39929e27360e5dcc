// Accepts connections on one address and spreads them over the loops in turn;
// an address at its most connections, or a front that is stopping, gets its
// connection closed at once.
#pragma once

#include <cstddef>
#include <memory>

#include "http/session.h"

namespace collector {

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(std::shared_ptr<Front> front, tcp::acceptor acceptor, ssl::context* tls);

  void accept();
  void stop();

 private:
  std::shared_ptr<Front> front_;
  tcp::acceptor acceptor_;
  net::steady_timer retry_;
  ssl::context* tls_;
  std::size_t next_ = 0;  // the loop of the next connection
  bool warned_ = false;
};

}  // namespace collector
