#include "http/head_check.h"

namespace collector {

std::optional<HeadRefusal> checkHead(const RequestHead& head) {
  if (head.headTooLong) return HeadRefusal{431, "request head above 16 KiB"};
  if (head.http11 && head.hostFields != 1) {
    return HeadRefusal{400, "an HTTP/1.1 request needs exactly one Host field"};
  }
  if (head.post) {
    if (head.contentCoded) return HeadRefusal{415, "report bodies are not content-coded"};
    if (head.chunked || !head.contentLength) {
      return HeadRefusal{411, "a report needs a Content-Length"};
    }
  }
  if (head.contentLength && *head.contentLength > maxBodyBytes) return bodyTooLong();
  return std::nullopt;
}

HeadRefusal bodyTooLong() { return {413, "request body above 16 KiB"}; }

}  // namespace collector
