// A request and its answer as the routes see them, apart from the HTTP
// library that carries them.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace collector {

struct HttpRequest {
  std::string method;
  std::string path;     // without the query, percent-decoded
  std::string rawPath;  // the same as sent, not decoded: the routes are matched on it
  std::multimap<std::string, std::string> query;  // names and values decoded
  std::map<std::string, std::string> headers;     // names in lower case
  std::string body;
  std::string clientAddress;

  // The first value of a query parameter or header; empty when absent.
  const std::string* param(const std::string& name) const;
  std::string header(const std::string& lowerName) const;
  // Whether Accept-Encoding takes gzip (or x-gzip, or *) at a weight above 0.
  bool acceptsGzip() const;
};

struct HttpAnswer {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Type
  // A body held once for many answers (a page or board the cache rendered),
  // sent instead of `body` without a copy of its own.
  std::shared_ptr<const std::string> sharedBody{};
};

// A JSON answer {"status": message} below 300, {"error": message} otherwise.
HttpAnswer jsonAnswer(int status, const std::string& message);

using Reply = std::function<void(HttpAnswer)>;

// What the front hands its requests to: the collector's routes, or in the
// load run's ceiling a route that stores nothing.
class Handler {
 public:
  virtual ~Handler() = default;
  // Answers one request; `reply` is called exactly once, now or later and on
  // any thread.
  virtual void handle(const HttpRequest& request, Reply reply) = 0;
  // A report request that the front refused before it reached the handler
  // (its head or declared body).
  virtual void refusedAtFront(const std::string& clientAddress, int status,
                              const std::string& reason) = 0;
  // What GET /metrics on the metrics address answers.
  virtual std::string metricsText() = 0;
};

}  // namespace collector
