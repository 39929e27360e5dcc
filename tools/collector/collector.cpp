// A loopback stand-in for the collector service, for tests and the demo. It
// records every request it receives as one JSON line and answers each one as
// the test asked: a status, after a delay, or by dropping the connection.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const usage = R"(usage: collector [OPTIONS]

Listens on a loopback address, writes one JSON line per request it receives
(flushed at once) and answers as told. When it is ready it prints the port it
is bound to, alone on one line, on standard output (so --port 0 can be used).

Options:
  --host ADDR          IPv4 loopback address to bind (127.0.0.0/8; default 127.0.0.1)
  --port N             port to bind; 0 (the default) picks a free one
  --record FILE        append the JSON lines to FILE (default: none are kept)
  --key KEY            the expected X-VORN-Key; a request without it or with
                       another value is answered 401 in place of its listed
                       status (a drop still drops). Without --key, no check.
  --answers LIST       answers for the first requests, in arrival order,
                       separated by commas: ACTION[@DELAY_MS] where ACTION is a
                       status number (100 to 999) or "drop" (close the
                       connection without answering), e.g. 500,500,500,200@3000
  --default ACTION[@DELAY_MS]
                       answer for every request after the list (default 200)
  --location URL       a Location header with URL on every 3xx answer, for
                       checking that the client does not follow it
  --raw                raw-socket capture: read each request straight off the
                       socket and record the exact bytes received as well
                       (raw_base64); header order and spelling are kept
  --help               this text

Each JSON line holds: seq (1, 2, ...), mode ("http" or "raw"), method, target
(as on the request line), version, headers (a list of [name, value] pairs;
in http mode in the library's order, in raw mode in wire order), body (text,
invalid UTF-8 replaced), body_base64 (the exact body), answer (the status sent,
or "drop"), delay_ms, and in raw mode raw_base64 and chunked (whether the
request said Transfer-Encoding: chunked). A request is recorded when it has
been read, before the delay and the answer.
)";

struct Action {
  bool drop = false;
  int status = 200;
  int delayMs = 0;
};

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string recordPath;
  bool checkKey = false;
  std::string key;
  std::vector<Action> answers;
  Action fallback;
  bool raw = false;
  std::string location;
};

// What every request goes through, whichever mode read it.
struct Collector {
  Options options;
  std::mutex mutex;
  std::ofstream record;
  std::size_t received = 0;
};

struct Received {
  std::string method;
  std::string target;
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string raw;
  bool chunked = false;
};

bool parseNumber(const std::string& text, long low, long high, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return *end == '\0' && value >= low && value <= high;
}

bool parseAction(const std::string& text, Action& action) {
  const std::string::size_type at = text.find('@');
  const std::string what = text.substr(0, at);
  long number = 0;
  action = Action();
  if (what == "drop") {
    action.drop = true;
  } else if (parseNumber(what, 100, 999, number)) {
    action.status = static_cast<int>(number);
  } else {
    return false;
  }
  if (at != std::string::npos) {
    if (!parseNumber(text.substr(at + 1), 0, 3600000, number)) return false;
    action.delayMs = static_cast<int>(number);
  }
  return true;
}

bool parseActionList(const std::string& text, std::vector<Action>& actions) {
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    Action action;
    if (!parseAction(item, action)) return false;
    actions.push_back(action);
  }
  return true;
}

bool isLoopbackAddress(const std::string& text) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
  return (ntohl(address.s_addr) >> 24) == 127;
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long number = 0;
    if (arg == "--raw") {
      options.raw = true;
    } else if (arg == "--host" && hasValue) {
      options.host = argv[++i];
      if (!isLoopbackAddress(options.host)) {
        std::cerr << "collector: --host must be an IPv4 loopback address\n";
        return false;
      }
    } else if (arg == "--port" && hasValue && parseNumber(argv[i + 1], 0, 65535, number)) {
      options.port = static_cast<int>(number);
      ++i;
    } else if (arg == "--location" && hasValue) {
      options.location = argv[++i];
    } else if (arg == "--record" && hasValue) {
      options.recordPath = argv[++i];
    } else if (arg == "--key" && hasValue) {
      options.checkKey = true;
      options.key = argv[++i];
    } else if (arg == "--answers" && hasValue && parseActionList(argv[i + 1], options.answers)) {
      ++i;
    } else if (arg == "--default" && hasValue && parseAction(argv[i + 1], options.fallback)) {
      ++i;
    } else {
      std::cerr << "collector: bad argument " << arg << "\n" << usage;
      return false;
    }
  }
  return true;
}

std::string base64(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned n = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += alphabet[(n >> 6) & 63];
    out += alphabet[n & 63];
  }
  if (i < bytes.size()) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool sameNameIgnoringCase(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

const std::string* headerValue(const Received& request, const char* name) {
  for (const auto& header : request.headers)
    if (sameNameIgnoringCase(header.first, name)) return &header.second;
  return nullptr;
}

// Picks the answer for the next request and records the request; both under
// one lock so that the record's order is the order in which answers were given.
Action recordAndChoose(Collector& collector, const Received& request, bool rawMode) {
  std::lock_guard<std::mutex> lock(collector.mutex);
  const Options& options = collector.options;
  const std::size_t index = collector.received++;
  Action action = index < options.answers.size() ? options.answers[index] : options.fallback;
  if (options.checkKey && !action.drop) {
    const std::string* key = headerValue(request, "X-VORN-Key");
    if (key == nullptr || *key != options.key) action.status = 401;
  }
  if (collector.record.is_open()) {
    nlohmann::json line;
    line["seq"] = index + 1;
    line["mode"] = rawMode ? "raw" : "http";
    line["method"] = request.method;
    line["target"] = request.target;
    line["version"] = request.version;
    line["headers"] = nlohmann::json::array();
    for (const auto& header : request.headers)
      line["headers"].push_back({header.first, header.second});
    line["body"] = request.body;
    line["body_base64"] = base64(request.body);
    if (action.drop)
      line["answer"] = "drop";
    else
      line["answer"] = action.status;
    line["delay_ms"] = action.delayMs;
    if (rawMode) {
      line["raw_base64"] = base64(request.raw);
      line["chunked"] = request.chunked;
    }
    collector.record << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n'
                     << std::flush;
  }
  return action;
}

bool isRedirect(int status) { return status >= 300 && status <= 399; }

void waitFor(const Action& action) {
  if (action.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(action.delayMs));
}

// --- http mode: cpp-httplib -------------------------------------------------

int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return -1;
}

// The library gives a handler no access to its socket; a dropped answer finds
// the connection among the process's descriptors by its two ports and shuts it.
void dropConnection(int localPort, int remotePort) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
    if (portOf(local) == localPort && portOf(peer) == remotePort) shutdown(fd, SHUT_RDWR);
  }
}

// The library files the connection's addresses among the request headers.
bool isLibraryPseudoHeader(const std::string& name) {
  return name == "LOCAL_ADDR" || name == "LOCAL_PORT" || name == "REMOTE_ADDR" ||
         name == "REMOTE_PORT";
}

int runHttpMode(Collector& collector) {
  httplib::Server server;
  auto handle = [&collector](const httplib::Request& req, httplib::Response& res) {
    Received request;
    request.method = req.method;
    request.target = req.target;
    request.version = req.version;
    for (const auto& header : req.headers)
      if (!isLibraryPseudoHeader(header.first))
        request.headers.emplace_back(header.first, header.second);
    request.body = req.body;
    const Action action = recordAndChoose(collector, request, false);
    waitFor(action);
    if (action.drop) {
      dropConnection(req.local_port, req.remote_port);
      return;
    }
    res.status = action.status;
    if (isRedirect(action.status) && !collector.options.location.empty())
      res.set_header("Location", collector.options.location);
    res.set_content("", "text/plain");
  };
  const char* const anyPath = ".*";
  server.Post(anyPath, handle);
  server.Get(anyPath, handle);
  server.Put(anyPath, handle);
  server.Patch(anyPath, handle);
  server.Delete(anyPath, handle);
  server.Options(anyPath, handle);
  int port = collector.options.port;
  if (port == 0) {
    port = server.bind_to_any_port(collector.options.host);
  } else if (!server.bind_to_port(collector.options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::cerr << "collector: cannot bind " << collector.options.host << "\n";
    return 1;
  }
  std::cout << port << std::endl;
  return server.listen_after_bind() ? 0 : 1;
}

// --- raw mode: the bytes as they arrived --------------------------------------

const int rawReadTimeoutMs = 5000;
const std::size_t rawRequestLimit = 1 << 20;

// Reads more bytes into `data`; false on end, error or time-out.
bool readSome(int fd, std::string& data) {
  pollfd waiting{fd, POLLIN, 0};
  if (poll(&waiting, 1, rawReadTimeoutMs) <= 0) return false;
  char buffer[4096];
  const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  data.append(buffer, static_cast<std::size_t>(n));
  return data.size() <= rawRequestLimit;
}

std::string trimmed(const std::string& text) {
  const std::string::size_type first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const std::string::size_type last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

void parseHead(const std::string& head, Received& request) {
  std::string::size_type lineStart = 0;
  bool first = true;
  while (lineStart < head.size()) {
    std::string::size_type lineEnd = head.find("\r\n", lineStart);
    if (lineEnd == std::string::npos) lineEnd = head.size();
    const std::string line = head.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 2;
    if (first) {
      first = false;
      std::istringstream parts(line);
      parts >> request.method >> request.target >> request.version;
      continue;
    }
    const std::string::size_type colon = line.find(':');
    if (colon == std::string::npos) continue;
    request.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
  }
}

// Reads one request: the head, then Content-Length bytes, or for a chunked
// body up to its last chunk; whatever arrived is kept if the peer stops early.
Received readRawRequest(int fd) {
  Received request;
  std::string& data = request.raw;
  std::string::size_type headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos)
    if (!readSome(fd, data)) break;
  if (headEnd == std::string::npos) {
    parseHead(data, request);
    return request;
  }
  parseHead(data.substr(0, headEnd), request);
  const std::size_t bodyStart = headEnd + 4;
  const std::string* encoding = headerValue(request, "Transfer-Encoding");
  request.chunked = encoding != nullptr && strcasecmp(encoding->c_str(), "chunked") == 0;
  if (request.chunked) {
    while (data.find("0\r\n\r\n", bodyStart) == std::string::npos)
      if (!readSome(fd, data)) break;
  } else {
    long length = 0;
    const std::string* lengthText = headerValue(request, "Content-Length");
    if (lengthText != nullptr && parseNumber(*lengthText, 0, rawRequestLimit, length))
      while (data.size() < bodyStart + static_cast<std::size_t>(length))
        if (!readSome(fd, data)) break;
  }
  request.body = data.substr(bodyStart);
  return request;
}

void sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

void serveRawConnection(Collector& collector, int fd) {
  const Received request = readRawRequest(fd);
  if (!request.raw.empty()) {
    const Action action = recordAndChoose(collector, request, true);
    waitFor(action);
    if (!action.drop) {
      const bool bodyless = action.status < 200 || action.status == 204 || action.status == 304;
      std::string answer = "HTTP/1.1 " + std::to_string(action.status) + " Collector\r\n";
      if (!bodyless) answer += "Content-Length: 0\r\n";
      if (isRedirect(action.status) && !collector.options.location.empty())
        answer += "Location: " + collector.options.location + "\r\n";
      answer += "Connection: close\r\n\r\n";
      sendAll(fd, answer);
      shutdown(fd, SHUT_WR);
      // Let the client read the answer before the socket goes away.
      std::string rest;
      while (readSome(fd, rest) && rest.size() < 65536) {
      }
    }
  }
  close(fd);
}

int runRawMode(Collector& collector) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) return 1;
  const int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(collector.options.port));
  inet_pton(AF_INET, collector.options.host.c_str(), &address.sin_addr);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0) {
    std::cerr << "collector: cannot bind " << collector.options.host << ":"
              << collector.options.port << "\n";
    return 1;
  }
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::cout << ntohs(address.sin_port) << std::endl;
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread(serveRawConnection, std::ref(collector), fd).detach();
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << usage;
      return 0;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  Collector collector;
  if (!parseOptions(argc, argv, collector.options)) return 2;
  if (!collector.options.recordPath.empty()) {
    collector.record.open(collector.options.recordPath, std::ios::app | std::ios::binary);
    if (!collector.record) {
      std::cerr << "collector: cannot write " << collector.options.recordPath << "\n";
      return 2;
    }
  }
  return collector.options.raw ? runRawMode(collector) : runHttpMode(collector);
}
