// The PostgreSQL store's link to its server: connections with deadlines,
// pooled, and the conversion of values to and from libpq's text format.
//
// A server that stops answering (hung, or its host gone) must not hold a
// caller: every call has a deadline, from the wait for a pooled connection
// through connecting (to each host in turn) and each statement's answer. A connection whose answer
// is late is cut and never reused; later calls connect afresh, so the store recovers by itself once
// the server answers again.
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

// A statement prepared on a connection under its name, in the round trip
// that first runs it there (none when its `sql` is null).
struct Prepared {
  const char* name;
  const char* sql;
};

// One statement of a round trip: a prepared one by its index, with its
// values, or else plain SQL (BEGIN, COMMIT) with none.
struct Step {
  int statement = -1;
  std::vector<std::string> params;
  const char* sql = nullptr;
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

// No deadline: a call at start-up (connecting then takes at most 10 s).
constexpr Clock::time_point noDeadline = Clock::time_point::max();

// A connection taken from a pool for one call, within the call's deadline
// (now + `budget`); it goes back afterwards unless it broke, so a store whose
// server went away reconnects on a later call once the server is back.
class Lease {
 public:
  Lease(Link& link, Pool& pool, std::string& error, Clock::duration budget);
  ~Lease();
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  explicit operator bool() const { return connection != nullptr; }

  // Runs a prepared statement (by its index) or plain SQL on the connection.
  Result run(int statement, const std::vector<std::string>& params);
  // Sends every step at once and reads their answers: one round trip, in
  // which each statement not yet prepared on the connection is prepared too.
  // `results` has one per step, null for a step that did not run (after an
  // earlier step's error) or whose answer did not come by the deadline; true
  // only when every step succeeded, else the first failure is in `error`.
  bool exchange(const std::vector<Step>& steps, std::vector<Result>& results, std::string& error);
  bool simple(const char* sql, std::string& error);
  // In place of a connection that broke: a new one, by the deadline.
  bool renew(std::string& error);
  // Starts a transaction. A pooled connection that died unnoticed fails
  // here before anything was done, so it starts again once on a new one.
  bool begin(const char* sql, std::string& error);

  Link& link;
  Pool& pool;
  // Every wait of the call ends by then: for the pool, connecting, each
  // answer. A call may bring it nearer (a batch's work before its commit).
  Clock::time_point deadline;
  PGconn* connection = nullptr;
};

class Link {
 public:
  Link(std::string url, const Prepared* statements, std::size_t count);
  ~Link();

  // A new connection by `deadline`: its handshake and nothing more (its
  // statements are prepared as they are first run). Of several hosts in the
  // URL each is tried in turn with an equal share of the time left.
  PGconn* connect(Clock::time_point deadline, std::string& error);
  // Takes a connection made for another purpose (the schema's check at
  // start) into the main pool, idle, so that the first call finds it ready.
  void adopt(PGconn* connection);

  // What became of the transaction `txid` whose COMMIT was sent on the
  // session of backend `pid` and whose answer was lost: asked on a fresh
  // connection by `deadline`; a session still holding the transaction open
  // is ended first.
  enum class Settled { committed, rolledBack, unknown };
  Settled settle(const std::string& txid, int pid, Clock::time_point deadline);

  // True when the server takes writes to the tables a batch writes (the
  // write probe of sql.h) within probeTime, on an idle connection of the main
  // pool borrowed and given back, else on a connection of its own (never
  // waiting for one of the pools'); else false with the reason in `why`.
  bool probe(std::string& why);
  const Prepared& statement(int index) const { return statements_[index]; }

  // Eight connections per collector: the batch committer, players, export
  // and health on six; boards on two, so that they never hold up the intake
  // or the health probe.
  Pool main{6};
  Pool boards{2};

 private:
  friend class Lease;
  PGconn* take(Pool& pool, Clock::time_point deadline, std::string& error);
  // An idle connection of the main pool, taken out of it until adopt()
  // gives it back; or null.
  PGconn* spare();
  void giveBack(Pool& pool, PGconn* connection);

  std::string url_;
  const Prepared* statements_;
  std::size_t count_;
  std::mutex probeMutex_;
  PGconn* probeConnection_ = nullptr;
};

// --- Time limits, chosen together ---------------------------------------
//
// A report is answered within 10 s whatever the URL lists: it waits for at
// most the batch under way and its own, each of which ends within
// batchBudget, connecting (to every host the URL names, in turn) and
// reconnecting included.
constexpr auto batchBudget = std::chrono::milliseconds(4500);
// Of that budget the batch's statements and its COMMIT take at most this; the
// rest settles a COMMIT whose answer was lost.
constexpr auto workBudget = std::chrono::milliseconds(3000);
// Other calls: players, flags, export, boards.
constexpr auto callTime = std::chrono::seconds(7);
// The health probe, on a connection of its own.
constexpr auto probeTime = std::chrono::seconds(2);
// Each session's server settings (`options`). A session of this store sits
// idle inside a transaction only for the round trip between two statements
// of one batch, so a partitioned collector's transaction ends (its row locks
// with it) 2 s after its last statement. Another collector's batch waits for
// a row lock a little longer than that, so it outlasts a dead peer's
// transaction, and less than workBudget, so the wait ends in an error before
// its own deadline. No statement runs past workBudget. Over TCP the server
// also drops a client that vanished: idle, after 2 s plus 2 probes 1 s apart
// (Linux counts these in whole seconds); with data unacknowledged (when
// keep-alives are not sent), after tcp_user_timeout.
constexpr const char* sessionOptions =
    "-c idle_in_transaction_session_timeout=2000 -c lock_timeout=2500 "
    "-c statement_timeout=3000 -c tcp_keepalives_idle=2 -c tcp_keepalives_interval=1 "
    "-c tcp_keepalives_count=2 -c tcp_user_timeout=3000";
// The same keep-alives and user timeout on the collector's end, where an idle
// pooled connection to a vanished server is found dead within 4 s.
constexpr const char* clientKeepalives[][2] = {{"keepalives", "1"},
                                               {"keepalives_idle", "2"},
                                               {"keepalives_interval", "1"},
                                               {"keepalives_count", "2"},
                                               {"tcp_user_timeout", "3000"}};

// Waits for the whole answer of the query just sent, until `deadline`.
Result awaitResult(PGconn* connection, Clock::time_point deadline);
bool simple(PGconn* connection, const char* sql, Clock::time_point deadline, std::string& error);

}  // namespace pg
}  // namespace collector
