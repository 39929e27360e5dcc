// Connections to PostgreSQL: deadlines, the pool, values in text format.
#include "store/postgres_link.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <thread>

#include "core/log_limit.h"
#include "core/text.h"
#include "store/sql.h"

namespace collector {
namespace pg {

namespace {

// The time a connection attempt may take outside any call (at start-up).
constexpr auto startupConnectTime = std::chrono::seconds(10);

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = text.find(',', from);
    items.push_back(text.substr(from, comma - from));
    if (comma == std::string::npos) return items;
    from = comma + 1;
  }
}

long long millisecondsUntil(Clock::time_point until) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
}

// libpq's notices, a FATAL that the server sends an idle session it ends
// among them, go to the log at most once per message and 10 s.
void noticeToLog(void*, const char* message) {
  static LogLimiter limiter;
  const std::string line = firstLine(message);
  limiter.write(line, "PostgreSQL: " + line);
}

// One connection attempt with these parameters, given up at `until`.
PGconn* attempt(const std::map<std::string, std::string>& params, Clock::time_point until,
                std::string& error) {
  std::vector<const char*> keys, values;
  for (const auto& [key, value] : params) {
    keys.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PGconn* connection = PQconnectStartParams(keys.data(), values.data(), 0);
  if (connection) PQsetNoticeProcessor(connection, noticeToLog, nullptr);
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (connection && PQstatus(connection) != CONNECTION_BAD && state != PGRES_POLLING_OK &&
         state != PGRES_POLLING_FAILED) {
    const long long left = millisecondsUntil(until);
    if (left <= 0) {
      error = "PostgreSQL unavailable: no answer to the connection in time";
      PQfinish(connection);
      return nullptr;
    }
    pollfd wait{PQsocket(connection),
                static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    if (::poll(&wait, 1, static_cast<int>(std::min(left, 1000LL))) == 0) continue;
    state = PQconnectPoll(connection);
  }
  if (connection && PQstatus(connection) == CONNECTION_OK) return connection;
  error = "PostgreSQL unavailable: " +
          (connection ? firstLine(PQerrorMessage(connection)) : std::string("out of memory"));
  PQfinish(connection);
  return nullptr;
}

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
Result awaitResult(PGconn* connection, Clock::time_point deadline) {
  Result kept(nullptr, &PQclear);
  for (;;) {
    while (PQisBusy(connection)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
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

bool simple(PGconn* connection, const char* sql, Clock::time_point deadline, std::string& error) {
  Result result =
      PQsendQuery(connection, sql) ? awaitResult(connection, deadline) : Result(nullptr, &PQclear);
  return check(result, error);
}

Lease::Lease(Link& link, Pool& pool, std::string& error, Clock::duration budget)
    : link(link), pool(pool), deadline(Clock::now() + budget) {
  connection = link.take(pool, deadline, error);
}

Lease::~Lease() {
  if (connection) link.giveBack(pool, connection);
}

bool Lease::simple(const char* sql, std::string& error) {
  return pg::simple(connection, sql, deadline, error);
}

bool Lease::begin(const char* sql, std::string& error) {
  if (simple(sql, error)) return true;
  return PQstatus(connection) != CONNECTION_OK && renew(error) && simple(sql, error);
}

bool Lease::renew(std::string& error) {
  PQfinish(connection);
  connection = link.connect(deadline, error);
  if (!connection) link.giveBack(pool, nullptr);
  return connection != nullptr;
}

Link::Link(std::string url, const Prepared* statements, std::size_t count)
    : url_(std::move(url)), statements_(statements), count_(count) {}

Link::~Link() {
  if (probeConnection_) PQfinish(probeConnection_);
  for (Pool* pool : {&main, &boards}) {
    for (PGconn* connection : pool->idle) PQfinish(connection);
  }
}

PGconn* Link::take(Pool& pool, Clock::time_point deadline, std::string& error) {
  PGconn* connection = nullptr;
  {
    std::unique_lock<std::mutex> lock(pool.mutex);
    if (!pool.available.wait_until(
            lock, deadline, [&pool] { return !pool.idle.empty() || pool.open < pool.size; })) {
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
  if (!connection) connection = connect(deadline, error);
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

void Link::adopt(PGconn* connection) {
  if (PQstatus(connection) != CONNECTION_OK || PQtransactionStatus(connection) != PQTRANS_IDLE) {
    PQfinish(connection);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(main.mutex);
    if (main.open < main.size) {
      ++main.open;
      main.idle.push_back(connection);
      connection = nullptr;
    }
  }
  if (connection) PQfinish(connection);
  main.available.notify_one();
}

// An idle connection of the main pool, for a probe to borrow; or null.
PGconn* Link::spare() {
  PGconn* connection = nullptr;
  {
    std::lock_guard<std::mutex> lock(main.mutex);
    if (main.idle.empty()) return nullptr;
    connection = main.idle.back();
    main.idle.pop_back();
    --main.open;
  }
  main.available.notify_one();
  return connection;
}

PGconn* Link::connect(Clock::time_point deadline, std::string& error) {
  // The URL's own parameters over these, except that texts always travel as
  // UTF-8, which is what the report bodies hold, and the session's settings
  // come before the URL's own `options`.
  char* parseError = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(url_.c_str(), &parseError);
  if (!parsed) {
    error = "PostgreSQL URL: " + firstLine(parseError);
    PQfreemem(parseError);
    return nullptr;
  }
  std::map<std::string, std::string> params;
  for (const auto& keepalive : clientKeepalives) params[keepalive[0]] = keepalive[1];
  params["options"] = sessionOptions;
  for (const PQconninfoOption* option = parsed; option->keyword; ++option) {
    if (!option->val) continue;
    const std::string key = option->keyword;
    if (key == "options") {
      params[key] += std::string(" ") + option->val;
    } else {
      params[key] = option->val;
    }
  }
  PQconninfoFree(parsed);
  params["client_encoding"] = "UTF8";
  // Several hosts: each in turn, with an equal share of the time left.
  const std::vector<std::string> hosts = splitList(params["host"]),
                                 addresses = splitList(params["hostaddr"]),
                                 ports = splitList(params["port"]);
  const std::size_t count = std::max<std::size_t>({hosts.size(), addresses.size(), 1});
  const Clock::time_point until =
      deadline == noDeadline ? Clock::now() + startupConnectTime : deadline;
  PGconn* connection = nullptr;
  error = "PostgreSQL unavailable: no time left to connect";
  for (std::size_t i = 0; !connection && i < count && Clock::now() < until; ++i) {
    if (count > 1) {
      if (i < hosts.size()) params["host"] = hosts[i];
      if (i < addresses.size()) params["hostaddr"] = addresses[i];
      if (ports.size() > 1 && i < ports.size()) params["port"] = ports[i];
    }
    connection = attempt(params, Clock::now() + (until - Clock::now()) / (count - i), error);
  }
  return connection;
}

Link::Settled Link::settle(const std::string& txid, int pid, Clock::time_point deadline) {
  const std::string backend = std::to_string(pid);
  while (millisecondsUntil(deadline) > 0) {
    std::string error;
    PGconn* connection = connect(deadline, error);
    if (!connection) {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::clamp(millisecondsUntil(deadline), 0LL, 100LL)));
      continue;
    }
    for (;;) {
      const char* values[] = {txid.c_str(), backend.c_str()};
      Result status(nullptr, &PQclear);
      if (PQsendQueryParams(connection, "SELECT txid_status($1::bigint)", 1, nullptr, values,
                            nullptr, nullptr, 0)) {
        status = awaitResult(connection, deadline);
      }
      if (!succeeded(status) || PQntuples(status.get()) != 1) break;
      const std::string answer = Row{status.get(), 0}.text(0);
      if (answer == "committed" || answer == "aborted" || PQgetisnull(status.get(), 0, 0)) {
        PQfinish(connection);
        return answer == "committed" ? Settled::committed
               : answer == "aborted" ? Settled::rolledBack
                                     : Settled::unknown;
      }
      // Still in progress: its session is alive on the server (it may not
      // have read the COMMIT yet). Ending it settles the transaction.
      Result ended(nullptr, &PQclear);
      if (PQsendQueryParams(connection,
                            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid = "
                            "$2::integer AND backend_xid::text = ($1::bigint % 4294967296)::text",
                            2, nullptr, values, nullptr, nullptr, 0)) {
        ended = awaitResult(connection, deadline);
      }
      if (!succeeded(ended)) break;
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::clamp(millisecondsUntil(deadline), 0LL, 50LL)));
    }
    PQfinish(connection);
  }
  return Settled::unknown;
}

namespace {

// Whether the session takes writes, by `deadline`: one round trip when it
// does; when it does not, a second says why in the operator's words.
bool writable(PGconn* connection, Clock::time_point deadline, std::string& why) {
  if (simple(connection, sql::postgresWriteProbe, deadline, why)) return true;
  Result state(nullptr, &PQclear);
  if (PQstatus(connection) != CONNECTION_OK || !PQsendQuery(connection, sql::postgresWritable)) {
    return false;
  }
  state = awaitResult(connection, deadline);
  if (!succeeded(state)) return false;  // the write's own reason stands
  if (Row{state.get(), 0}.text(0) == "t") {
    why = "the server is a standby (in recovery) and takes no writes: point the collector at "
          "the primary";
  } else if (Row{state.get(), 0}.text(1) == "t") {
    why = "the server's sessions are read-only (default_transaction_read_only is on): no "
          "report can be stored";
  }
  return false;
}

}  // namespace

bool Link::probe(std::string& why) {
  std::lock_guard<std::mutex> lock(probeMutex_);
  const Clock::time_point deadline = Clock::now() + probeTime;
  std::string& error = why;
  if (probeConnection_ && PQstatus(probeConnection_) != CONNECTION_OK) {
    PQfinish(probeConnection_);
    probeConnection_ = nullptr;
  }
  // An idle connection of the main pool (at the start, the schema check's) is
  // borrowed and given back, so that no call pays for a set-up the probe
  // could do without. A kept connection may have died with a restart of the
  // server: then once more on a new one, within the same time.
  bool answered = false;
  for (int tries = 0; tries < 2 && !answered; ++tries) {
    PGconn* const borrowed = !probeConnection_ && tries == 0 ? spare() : nullptr;
    if (!borrowed && !probeConnection_) probeConnection_ = connect(deadline, error);
    PGconn* const connection = borrowed ? borrowed : probeConnection_;
    if (!connection) break;
    answered = writable(connection, deadline, error);
    const bool alive = PQstatus(connection) == CONNECTION_OK;
    if (borrowed) {
      if (alive) adopt(borrowed); else PQfinish(borrowed);
    } else if (!alive) {
      PQfinish(probeConnection_);
      probeConnection_ = nullptr;
    }
    // An answer that refuses the write ends the probe; a lost one is tried
    // once more.
    if (!answered && alive) return false;
  }
  return answered;
}

}  // namespace pg
}  // namespace collector
