// A session reads one request: it waits for the first byte, reads the head
// within the request's time, checks the head (head_check.h) and reads the
// body only when the head allows it.
#include <limits>

#include "http/session.h"

namespace collector {

// Waits up to the idle time for the first byte of the next request.
void Session::awaitRequest() {
  if (stopping_) return close();
  if (buffer_.size() > 0) return readHead();
  tcpStream().expires_after(idleTime);
  withStream([this](auto& stream) {
    stream.async_read_some(buffer_.prepare(1024),
                           [self = shared_from_this()](beast::error_code error, std::size_t n) {
                             self->buffer_.commit(n);
                             if (error || n == 0) return self->close();
                             self->readHead();
                           });
  });
}

void Session::readHead() {
  tcpStream().expires_after(requestTime);
  parser_.emplace();
  parser_->header_limit(maxHeadBytes);
  // The body's limit is decided once the head is known.
  parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
  withStream([this](auto& stream) {
    http::async_read_header(
        stream, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, std::size_t) { self->onHead(error); });
  });
}

void Session::onHead(beast::error_code error) {
  if (error && error != http::error::header_limit) return refuseOrClose(error);
  RequestHead head;
  head.headTooLong = error == http::error::header_limit;
  if (!head.headTooLong) {
    const auto& req = parser_->get();
    head.post = req.method() == http::verb::post;
    head.contentCoded = req.find(http::field::content_encoding) != req.end();
    head.chunked = req.chunked();
    if (const auto length = parser_->content_length()) head.contentLength = *length;
    head.http11 = req.version() >= 11;
    head.hostFields = req.count(http::field::host);
  }
  if (const auto refusal = checkHead(head)) return refuse(*refusal);
  parser_->body_limit(maxBodyBytes);
  const auto& req = parser_->get();
  if (!parser_->is_done() && beast::iequals(req[http::field::expect], "100-continue")) {
    auto proceed =
        std::make_shared<http::response<http::empty_body>>(http::status::continue_, req.version());
    return withStream([this, proceed](auto& stream) {
      http::async_write(stream, *proceed,
                        [self = shared_from_this(), proceed](beast::error_code error, std::size_t) {
                          if (error) return self->close();
                          self->readBody();
                        });
    });
  }
  readBody();
}

void Session::readBody() {
  withStream([this](auto& stream) {
    http::async_read(stream, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       if (error == http::error::body_limit) return self->refuse(bodyTooLong());
                       if (error) return self->refuseOrClose(error);
                       self->dispatchRequest();
                     });
  });
}

// A malformed request gets its 400; a time-out or a lost connection ends it.
void Session::refuseOrClose(beast::error_code error) {
  if (error != http::error::end_of_stream && error != http::error::partial_message &&
      error.category() == http::make_error_code(http::error::bad_target).category()) {
    return refuse({400, "malformed request"});
  }
  close();
}

}  // namespace collector
