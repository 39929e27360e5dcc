// What the front decides from a request's head alone, before it reads a byte
// of the body: a pure function of what the head declared, so that every
// limit can be tried on both of its sides without a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace collector {

// The most a request's head and its body may hold.
constexpr std::size_t maxHeadBytes = 16 * 1024;
constexpr std::size_t maxBodyBytes = 16 * 1024;

// What the head said, as far as the front's checks care.
struct RequestHead {
  bool headTooLong = false;  // the head went on past maxHeadBytes
  bool post = false;
  bool contentCoded = false;  // a Content-Encoding field
  bool chunked = false;       // Transfer-Encoding: chunked
  std::optional<std::uint64_t> contentLength;
  bool http11 = true;          // HTTP/1.1, which needs exactly one Host field (RFC 9112)
  std::size_t hostFields = 1;  // how many it had
};

// A refusal's status (400, 411, 413, 415 or 431) and the message of its answer.
struct HeadRefusal {
  int status;
  const char* message;
};

// The refusal the head earns, or nothing when its body may be read.
std::optional<HeadRefusal> checkHead(const RequestHead& head);

// The refusal of a body that went on past maxBodyBytes without declaring it.
HeadRefusal bodyTooLong();

}  // namespace collector
