// Connections to PostgreSQL: deadlines, the pool, values in text format.
#include "store/postgres_link.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "core/text.h"

namespace collector {
namespace pg {

namespace {

// The deadline of the call under way on this thread (set by its Lease).
thread_local Clock::time_point callDeadline = Clock::time_point::max();

}  // namespace

std::string firstLine(const char* message) {
  std::string text = message ? message : "";
  text = text.substr(0, text.find('\n'));
  return text.empty() ? "PostgreSQL gave no reason" : text;
}

std::string number(std::int64_t value) { return std::to_string(value); }

std::string number(double value) { return shortestNumber(value); }

// Every element quoted, with its quotation marks and backslashes escaped.
std::string arrayOf(const std::vector<std::string>& elements) {
  std::string out = "{";
  for (const std::string& element : elements) {
    if (out.size() > 1) out += ',';
    out += '"';
    for (char c : element) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

std::int64_t Row::integer(int column) const {
  const char* text = PQgetvalue(result, row, column);
  std::int64_t value = 0;
  std::from_chars(text, text + std::strlen(text), value);
  return value;
}

double Row::real(int column) const {
  const char* text = PQgetvalue(result, row, column);
  double value = 0.0;
  std::from_chars(text, text + std::strlen(text), value);
  return value;
}

std::string Row::text(int column) const {
  return std::string(PQgetvalue(result, row, column),
                     static_cast<std::size_t>(PQgetlength(result, row, column)));
}

bool succeeded(const Result& result) {
  const ExecStatusType status = PQresultStatus(result.get());
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

bool check(const Result& result, std::string& error) {
  if (succeeded(result)) return true;
  error = result ? firstLine(PQresultErrorMessage(result.get()))
                 : "PostgreSQL did not answer in time, or the connection broke";
  return false;
}

// Null when the answer did not come by the deadline (then the connection is
// cut) or the connection broke. Of several results (a script) the first
// error, else the last one, is kept.
Result awaitResult(PGconn* connection) {
  Result kept(nullptr, &PQclear);
  for (;;) {
    while (PQisBusy(connection)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(callDeadline - Clock::now());
      if (left.count() <= 0) {
        ::shutdown(PQsocket(connection), SHUT_RDWR);
        PQconsumeInput(connection);  // notices the cut: the connection is bad now
        return Result(nullptr, &PQclear);
      }
      pollfd wait{PQsocket(connection), POLLIN, 0};
      if (::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 1000))) == 0) {
        continue;
      }
      if (!PQconsumeInput(connection)) return Result(nullptr, &PQclear);
    }
    PGresult* next = PQgetResult(connection);
    if (!next) return kept;
    const ExecStatusType status = PQresultStatus(next);
    if (kept && PQresultStatus(kept.get()) == PGRES_FATAL_ERROR) {
      PQclear(next);
    } else {
      kept.reset(next);
    }
    if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT) return kept;
  }
}

bool simple(PGconn* connection, const char* sql, std::string& error) {
  Result result =
      PQsendQuery(connection, sql) ? awaitResult(connection) : Result(nullptr, &PQclear);
  return check(result, error);
}

Lease::Lease(Link& link, Pool& pool, std::string& error, Clock::duration budget)
    : link(link), pool(pool) {
  callDeadline = Clock::now() + budget;
  connection = link.take(pool, error);
}

Lease::~Lease() {
  if (connection) link.giveBack(pool, connection);
  callDeadline = Clock::time_point::max();
}

Result Lease::run(int statement, const std::vector<std::string>& params) {
  std::vector<const char*> values;
  for (const std::string& param : params) values.push_back(param.c_str());
  if (!PQsendQueryPrepared(connection, link.statement(statement).name,
                           static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0)) {
    return Result(nullptr, &PQclear);
  }
  return awaitResult(connection);
}

bool Lease::simple(const char* sql, std::string& error) {
  return pg::simple(connection, sql, error);
}

bool Lease::begin(const char* sql, std::string& error) {
  if (simple(sql, error)) return true;
  if (PQstatus(connection) == CONNECTION_OK) return false;
  PQfinish(connection);
  connection = link.connect(error);
  if (!connection) link.giveBack(pool, nullptr);
  return connection && simple(sql, error);
}

Link::Link(std::string url, const Prepared* statements, std::size_t count)
    : url_(std::move(url)), statements_(statements), count_(count) {}

Link::~Link() {
  for (Pool* pool : {&main, &boards}) {
    for (PGconn* connection : pool->idle) PQfinish(connection);
  }
}

PGconn* Link::take(Pool& pool, std::string& error) {
  PGconn* connection = nullptr;
  {
    std::unique_lock<std::mutex> lock(pool.mutex);
    if (!pool.available.wait_until(
            lock, callDeadline, [&pool] { return !pool.idle.empty() || pool.open < pool.size; })) {
      error = "PostgreSQL unavailable: every connection is busy";
      return nullptr;
    }
    if (pool.idle.empty()) {
      ++pool.open;
    } else {
      connection = pool.idle.back();
      pool.idle.pop_back();
    }
  }
  // Reading what is waiting notices a server that closed the connection
  // while it sat idle (a restart, a shutdown): first its farewell message,
  // which PQisBusy takes in, then the closed stream.
  if (connection && !(PQconsumeInput(connection) && !PQisBusy(connection) &&
                      PQconsumeInput(connection) && PQstatus(connection) == CONNECTION_OK)) {
    PQfinish(connection);
    connection = nullptr;
  }
  if (!connection) connection = connect(error);
  if (!connection) giveBack(pool, nullptr);
  return connection;
}

// Puts a connection back for the next call, or frees its place when it
// broke or never came about (null).
void Link::giveBack(Pool& pool, PGconn* connection) {
  if (connection &&
      (PQstatus(connection) != CONNECTION_OK || PQtransactionStatus(connection) != PQTRANS_IDLE)) {
    PQfinish(connection);
    connection = nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (connection) {
      pool.idle.push_back(connection);
    } else {
      --pool.open;
    }
  }
  pool.available.notify_one();
}

PGconn* Link::connect(std::string& error, bool prepare) {
  // A connect time-out within the call's deadline and keep-alives, unless
  // the URL sets its own; texts always travel as UTF-8, which is what the
  // report bodies hold; the server ends a statement after 10 s.
  const auto left =
      std::chrono::duration_cast<std::chrono::seconds>(callDeadline - Clock::now()).count();
  const std::string connectTimeout = std::to_string(std::clamp<long long>(left, 2, 10));
  const char* keys[] = {"connect_timeout",
                        "keepalives",
                        "keepalives_idle",
                        "keepalives_interval",
                        "keepalives_count",
                        "options",
                        "dbname",
                        "client_encoding",
                        nullptr};
  const char* values[] = {connectTimeout.c_str(),       "1",          "10",   "5",    "3",
                          "-c statement_timeout=10000", url_.c_str(), "UTF8", nullptr};
  PGconn* connection = PQconnectdbParams(keys, values, 1);
  if (PQstatus(connection) != CONNECTION_OK) {
    error = "PostgreSQL unavailable: " + firstLine(PQerrorMessage(connection));
    PQfinish(connection);
    return nullptr;
  }
  for (std::size_t i = 0; prepare && i < count_; ++i) {
    const bool sent =
        PQsendPrepare(connection, statements_[i].name, statements_[i].sql, 0, nullptr);
    Result result = sent ? awaitResult(connection) : Result(nullptr, &PQclear);
    if (!check(result, error)) {
      PQfinish(connection);
      return nullptr;
    }
  }
  return connection;
}

}  // namespace pg
}  // namespace collector
