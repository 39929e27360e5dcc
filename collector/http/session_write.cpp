// A session writes an answer, then reads the next request, or closes: after
// a refusal it lingers a moment so that the client reads the answer before
// the connection goes.
#include <array>
#include <string_view>

#include "http/session.h"

namespace collector {

void Session::refuse(const HeadRefusal& refusal) {
  // Refusals of a request's head or declared body (411, 413, 415, 431) are
  // counted and logged as report answers; a request malformed beyond
  // reading (400) is not taken for a report.
  if (!front_->metricsOnly && refusal.status != 400) {
    front_->routes.refusedAtFront(peerText_, refusal.status, refusal.message);
  }
  version_ = parser_ && parser_->is_header_done() ? parser_->get().version() : 11;
  answerHeadOnly_ = false;
  send(jsonAnswer(refusal.status, refusal.message), true);
}

namespace {

// An answer's status line and fields, written directly: beast's serializer
// of a whole message costs a cached page's reader more than the rest of its
// request together.
void writeHead(std::string& head, unsigned version, const HttpAnswer& answer, std::size_t length,
               bool keep) {
  head.clear();
  head += version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
  head += std::to_string(answer.status);
  head += ' ';
  const auto reason = http::obsolete_reason(static_cast<http::status>(answer.status));
  head.append(reason.data(), reason.size());
  head += "\r\n";
  const auto field = [&head](std::string_view name, std::string_view value) {
    head.append(name).append(": ").append(value).append("\r\n");
  };
  if (!answer.contentType.empty()) field("Content-Type", answer.contentType);
  for (const auto& [name, value] : answer.headers) field(name, value);
  // HTTP/1.1 keeps a connection unless told; HTTP/1.0 closes it unless told.
  if (version == 10 && keep) field("Connection", "keep-alive");
  if (version != 10 && !keep) field("Connection", "close");
  field("Content-Length", std::to_string(length));
  head += "\r\n";
}

}  // namespace

void Session::send(HttpAnswer answer, bool thenClose) {
  const bool keep = keepAlive_ && !thenClose && !stopping_;
  sharedBody_ = std::move(answer.sharedBody);
  ownBody_ = sharedBody_ ? std::string() : std::move(answer.body);
  const std::string& body = sharedBody_ ? *sharedBody_ : ownBody_;
  writeHead(head_, version_, answer, body.size(), keep);
  const std::array<net::const_buffer, 2> message{
      net::buffer(head_), answerHeadOnly_ ? net::const_buffer() : net::buffer(body)};
  tcpStream().expires_after(stopping_ ? stopWriteTime : writeTime);
  writing_ = true;
  withStream([this, message, keep, thenClose](auto& stream) {
    net::async_write(
        stream, message,
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
