// A session writes an answer, then reads the next request, or closes: after
// a refusal it lingers a moment so that the client reads the answer before
// the connection goes.
#include "http/session.h"

namespace collector {

void Session::refuse(const HeadRefusal& refusal) {
  // Refusals of a request's head or declared body (411, 413, 415, 431) are
  // counted and logged as report answers; a request malformed beyond
  // reading (400) is not taken for a report.
  if (!front_->metricsOnly && refusal.status != 400) {
    front_->routes.refusedAtFront(peer_.to_string(), refusal.status, refusal.message);
  }
  version_ = parser_ && parser_->is_header_done() ? parser_->get().version() : 11;
  answerHeadOnly_ = false;
  send(jsonAnswer(refusal.status, refusal.message), true);
}

void Session::send(HttpAnswer answer, bool thenClose) {
  const bool keep = keepAlive_ && !thenClose && !stopping_;
  response_ = {};
  response_.version(version_);
  response_.result(static_cast<unsigned>(answer.status));
  if (!answer.contentType.empty()) response_.set(http::field::content_type, answer.contentType);
  for (const auto& [name, value] : answer.headers) response_.set(name, value);
  response_.keep_alive(keep);
  sharedBody_ = std::move(answer.sharedBody);
  ownBody_ = sharedBody_ ? std::string() : std::move(answer.body);
  const std::string& body = sharedBody_ ? *sharedBody_ : ownBody_;
  response_.content_length(body.size());
  if (!answerHeadOnly_) response_.body() = {body.data(), body.size()};
  tcpStream().expires_after(stopping_ ? stopWriteTime : writeTime);
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
void Session::finish(bool linger) {
  // The connection no longer counts against its address: a client may open
  // its next one as soon as it has read this answer.
  releaseAddress();
  beast::error_code error;
  tcpStream().socket().shutdown(tcp::socket::shutdown_send, error);
  if (!linger || stopping_ || error) return close();
  tcpStream().expires_after(lingerTime);
  drain();
}

void Session::drain() {
  tcpStream().socket().async_read_some(
      net::buffer(discard_), [self = shared_from_this()](beast::error_code error, std::size_t) {
        if (error) return self->close();
        self->drain();
      });
}

void Session::close() {
  beast::error_code error;
  tcpStream().socket().close(error);
}

void Session::releaseAddress() {
  if (holdsAddressSlot_) front_->release(peer_);
  holdsAddressSlot_ = false;
}

}  // namespace collector
