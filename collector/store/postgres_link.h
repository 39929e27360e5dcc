// The PostgreSQL store's link to its server: connections with deadlines,
// pooled, and the conversion of values to and from libpq's text format.
//
// A server that stops answering (hung, or its host gone) must not hold a
// caller: every call has a deadline, from the wait for a pooled connection
// through each statement's answer. A connection whose answer is late is cut
// and never reused; later calls connect afresh, so the store recovers by
// itself once the server answers again.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace collector {
namespace pg {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;
using Clock = std::chrono::steady_clock;

// A statement prepared on every connection under its name.
struct Prepared {
  const char* name;
  const char* sql;
};

std::string firstLine(const char* message);
std::string number(std::int64_t value);
std::string number(double value);
// A PostgreSQL array value (sent as a bound parameter, never as SQL).
std::string arrayOf(const std::vector<std::string>& elements);

// One row of a result, read by column.
struct Row {
  const PGresult* result;
  int row;
  std::int64_t integer(int column) const;
  double real(int column) const;
  std::string text(int column) const;
};

bool succeeded(const Result& result);
// True when the result succeeded, else false with its reason in `error`.
bool check(const Result& result, std::string& error);

class Link;

// At most `size` connections, whatever the number of calls under way:
// further calls wait for one to come back.
struct Pool {
  explicit Pool(std::size_t size) : size(size) {}
  const std::size_t size;
  std::mutex mutex;
  std::condition_variable available;
  std::vector<PGconn*> idle;
  std::size_t open = 0;  // idle and taken
};

// A connection taken from a pool for one call, within the call's deadline;
// it goes back afterwards unless it broke, so a store whose server went away
// reconnects on a later call once the server is back.
class Lease {
 public:
  Lease(Link& link, Pool& pool, std::string& error, Clock::duration budget);
  ~Lease();
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  explicit operator bool() const { return connection != nullptr; }

  // Runs a prepared statement (by its index) or plain SQL on the connection.
  Result run(int statement, const std::vector<std::string>& params);
  bool simple(const char* sql, std::string& error);
  // Starts a transaction. A pooled connection that died unnoticed fails
  // here before anything was done, so it starts again once on a new one.
  bool begin(const char* sql, std::string& error);

  Link& link;
  Pool& pool;
  PGconn* connection = nullptr;
};

class Link {
 public:
  Link(std::string url, const Prepared* statements, std::size_t count);
  ~Link();

  // A new connection, its statements prepared unless `prepare` is false.
  PGconn* connect(std::string& error, bool prepare = true);
  const Prepared& statement(int index) const { return statements_[index]; }

  // Eight connections per collector: the batch committer, players, export
  // and health on six; boards on two, so that they never hold up the intake
  // or the health probe.
  Pool main{6};
  Pool boards{2};

 private:
  friend class Lease;
  PGconn* take(Pool& pool, std::string& error);
  void giveBack(Pool& pool, PGconn* connection);

  std::string url_;
  const Prepared* statements_;
  std::size_t count_;
};

// How long one call may take in all: a report waits for at most the batch
// under way and its own, so its answer comes within 15 s.
constexpr auto callTime = std::chrono::seconds(7);
constexpr auto probeTime = std::chrono::seconds(2);  // /healthz

// Waits for the whole answer of the query just sent, within the deadline
// of the call under way on this thread.
Result awaitResult(PGconn* connection);
bool simple(PGconn* connection, const char* sql, std::string& error);

}  // namespace pg
}  // namespace collector
