#include "server.h"

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

namespace collector {

namespace {

constexpr std::size_t maxBodyBytes = 16 * 1024;

HttpRequest fromLibrary(const httplib::Request& req) {
  HttpRequest request;
  request.method = req.method;
  request.path = req.path;
  for (const auto& [name, value] : req.params) request.query.emplace(name, value);
  for (const auto& [name, value] : req.headers) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    request.headers.emplace(lower, value);
  }
  request.body = req.body;
  request.clientAddress = req.remote_addr;
  return request;
}

void toLibrary(const HttpAnswer& answer, httplib::Response& res) {
  res.status = answer.status;
  for (const auto& [name, value] : answer.headers) res.set_header(name, value);
  res.set_content(answer.body, answer.contentType);
}

void installRoutes(httplib::Server& server, Routes& routes) {
  server.set_payload_max_length(maxBodyBytes);
  // An oversized declared body is refused before any of it is read.
  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "POST" &&
        std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > maxBodyBytes) {
      toLibrary(jsonAnswer(413, "report body above 16 KiB"), res);
      res.set_header("Connection", "close");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // Each request waits on its library thread until the routes answer it.
  auto handler = [&routes](const httplib::Request& req, httplib::Response& res) {
    std::promise<HttpAnswer> answered;
    routes.handle(fromLibrary(req),
                  [&answered](HttpAnswer answer) { answered.set_value(std::move(answer)); });
    toLibrary(answered.get_future().get(), res);
  };
  server.Post(".*", handler);
  server.Get(".*", handler);
}

}  // namespace

int serve(Store& store, const ServeOptions& options) {
  // SIGTERM and SIGINT are taken by one waiting thread; every other thread,
  // created after this, has them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const bool tls = !options.tlsCert.empty();
  std::unique_ptr<httplib::Server> server;
  if (tls) {
    auto secure =
        std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str());
    if (!secure->is_valid()) {
      std::cerr << "cannot load the TLS certificate " << options.tlsCert << " and key "
                << options.tlsKey << "\n";
      return 1;
    }
    server = std::move(secure);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  // Every report comes on its own connection and waits for a commit, so many
  // requests are under way at once.
  server->new_task_queue = [] { return new httplib::ThreadPool(64); };
  Routes routes(store, options);
  installRoutes(*server, routes);

  // The library's default would set SO_REUSEPORT, letting a second collector
  // bind the same port and silently take half of the reports; SO_REUSEADDR
  // alone still allows a restart while old connections linger.
  int listener = -1;
  // TCP_NODELAY (inherited by the accepted sockets): an answer written in
  // two parts would otherwise wait for the client's delayed acknowledgement,
  // 40 ms on Linux, before its second part goes out.
  server->set_socket_options([&listener](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    listener = sock;
  });

  int port = options.port;
  if (port == 0) {
    port = server->bind_to_any_port(options.host);
  } else if (!server->bind_to_port(options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::cerr << "cannot listen on " << options.host << ":" << options.port << "\n";
    return 1;
  }
  // The library listens with a backlog of 5, which refuses bursts of new
  // connections (every report comes on one); listen again with the system's.
  ::listen(listener, SOMAXCONN);
  const std::string shownHost =
      options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  std::cout << "listening on " << (tls ? "https" : "http") << "://" << shownHost << ":" << port
            << std::endl;

  std::atomic<bool> listening{true};
  std::thread stopper([&server, &listening, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    // A signal that comes before the server runs its loop waits for it: a stop
    // before that would be lost.
    while (listening && !server->is_running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server->stop();
  });
  const bool listened = server->listen_after_bind();
  listening = false;
  // When listen ended on its own, the waiting thread is woken by a signal of
  // its own; after a stop signal it has ended already.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  std::cout << "stopped" << std::endl;
  return listened ? 0 : 1;
}

}  // namespace collector
