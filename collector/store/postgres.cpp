// The PostgreSQL backend of the store. Every statement is prepared on a
// connection in the round trip that first runs it there, and run with bound
// values; text goes out and comes back in
// libpq's text format, numbers through std::to_chars / std::from_chars so
// that no locale touches them. A statement run for many rows is run once,
// its values as arrays.
//
// Several collectors may share the database. A batch locks the rows of the
// players it stores for (SELECT ... FOR UPDATE, in the order of their ids, so
// two batches never wait for each other in a circle) and only then reads each
// player's latest received_ms: a fresh statement after the lock sees every
// report that another instance committed before it, so the wall-time rule
// holds per key across instances.
#include "store/postgres.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#include "store/core.h"
#include "store/postgres_link.h"
#include "store/postgres_schema.h"

namespace collector {

using namespace seam;

namespace {

using pg::arrayOf;
using pg::check;
using pg::Lease;
using pg::number;
using pg::Result;
using sql::Query;

class PgRow final : public Row {
 public:
  PgRow(const PGresult* result, int row) : row_{result, row} {}
  std::int64_t integer(int column) const override { return row_.integer(column); }
  double real(int column) const override { return row_.real(column); }
  std::string text(int column) const override { return row_.text(column); }

 private:
  pg::Row row_;
};

// Each statement under its name, PostgreSQL's text (null where it needs none).
const std::vector<pg::Prepared>& prepared() {
  static const std::vector<pg::Prepared> statements = [] {
    std::vector<pg::Prepared> all;
    for (const sql::Text& text : sql::statements) all.push_back({text.name, text.postgres});
    return all;
  }();
  return statements;
}

std::string textOf(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return number(*integer);
  return number(std::get<double>(value));
}

// The calls of a session on one leased connection.
template <class Base>
class PgCalls : public Base {
 public:
  PgCalls(pg::Link& link, pg::Pool& pool, std::string& error, pg::Clock::duration budget)
      : lease(link, pool, error, budget) {}

  bool begin(std::string& error) override { return lease.begin("BEGIN", error); }
  bool commit(std::string& error) override { return lease.simple("COMMIT", error); }
  bool commitSettled(std::string& error) override;
  void rollBack() override {
    std::string ignored;
    if (lease) lease.simple("ROLLBACK", ignored);
  }
  bool snapshot(std::string&) override { return true; }  // each statement sees its own

  bool run(Query query, const std::vector<Value>& values, const EachRow& each,
           std::string& error) override {
    std::vector<std::string> params;
    for (const Value& value : values) params.push_back(textOf(value));
    return runTexts(query, params, each, error);
  }
  std::int64_t changed() const override { return changed_; }
  bool duplicate() const override { return duplicate_; }

  // Row by row, so that a large table never sits in memory at once.
  bool stream(Query query, const EachRow& each, std::string& error) override {
    PGconn* connection = lease.connection;
    if (!PQsendQueryParams(connection, sql::textOf(query).postgres, 0, nullptr, nullptr, nullptr,
                           nullptr, 0) ||
        !PQsetSingleRowMode(connection)) {
      error = pg::firstLine(PQerrorMessage(connection));
      return false;
    }
    bool ok = true;
    while (PGresult* raw = PQgetResult(connection)) {
      Result result(raw, &PQclear);
      const ExecStatusType status = PQresultStatus(raw);
      if (status == PGRES_SINGLE_TUPLE && ok) {
        each(PgRow(raw, 0));
      } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && ok) {
        error = pg::firstLine(PQresultErrorMessage(raw));
        ok = false;
      }
    }
    return ok;
  }

  Added add(Query query, std::vector<Value> values, const EachRow&, std::string&) override {
    if (sql::textOf(query).postgres) gathered_[query].push_back(std::move(values));
    return Added::ok;
  }

  // The gathered rows in one statement: each parameter marked in `arrays`
  // as the array of its rows' values, any other as the first row's value.
  bool flush(Query query, const EachRow& each, std::string& error) override {
    const auto rows = gathered_.find(query);
    if (rows == gathered_.end()) return true;
    std::vector<std::vector<std::string>> columns;
    for (const std::vector<Value>& row : rows->second) {
      columns.resize(std::max(columns.size(), row.size()));
      for (std::size_t i = 0; i < row.size(); ++i) columns[i].push_back(textOf(row[i]));
    }
    gathered_.erase(rows);
    const unsigned arrays = sql::textOf(query).arrays;
    std::vector<std::string> params;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      params.push_back((arrays >> i) & 1u ? arrayOf(columns[i]) : columns[i].front());
    }
    return runTexts(query, params, each, error);
  }

  Lease lease;

 protected:
  virtual bool runTexts(Query query, const std::vector<std::string>& params, const EachRow& each,
                        std::string& error) {
    changed_ = 0;
    duplicate_ = false;
    if (!sql::textOf(query).postgres) return true;
    Result result = lease.run(static_cast<int>(query), params);
    if (!check(result, error)) {
      const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
      duplicate_ = state && std::strcmp(state, "23505") == 0;
      return false;
    }
    changed_ = std::atoll(PQcmdTuples(result.get()));
    for (int row = 0; each && row < PQntuples(result.get()); ++row) each(PgRow(result.get(), row));
    return true;
  }

 private:
  std::map<Query, std::vector<std::vector<Value>>> gathered_;
  std::int64_t changed_ = 0;
  bool duplicate_ = false;
};

template <class Base>
bool PgCalls<Base>::commitSettled(std::string& error) {
  Result id(nullptr, &PQclear);
  if (PQsendQuery(lease.connection, "SELECT txid_current()")) {
    id = pg::awaitResult(lease.connection, lease.deadline);
  }
  if (!check(id, error)) return false;
  const std::string txid = pg::Row{id.get(), 0}.text(0);
  const int backend = PQbackendPID(lease.connection);
  if (commit(error)) return true;
  // An error the server answered (the session lives on) rolled it back.
  if (PQstatus(lease.connection) == CONNECTION_OK) return false;
  // At least the time a batch keeps for it, should the call's own be spent.
  const pg::Clock::time_point settleBy = std::max(
      lease.deadline, pg::Clock::now() + (pg::batchBudget - pg::workBudget));
  switch (lease.link.settle(txid, backend, settleBy)) {
    case pg::Link::Settled::committed:
      error.clear();
      return true;
    case pg::Link::Settled::rolledBack:
      error += " (not committed)";
      return false;
    case pg::Link::Settled::unknown:
      break;
  }
  error += "; the answer to its COMMIT was lost and transaction " + txid +
           " could not be looked up in time: " + mayBeStored + " (SELECT txid_status(" + txid +
           ") tells)";
  return false;
}

using PgSession = PgCalls<Session>;

class PostgresBackend;

// A batch: within batchBudget in all, in two round trips. The first begins
// the transaction and reads what decides the batch (`holders`); the second
// sends every write of the batch, which no later step of it reads, and the
// COMMIT (`commitBatch`). When the answer to COMMIT is lost, the batch is
// settled before anyone is answered: true only when it committed.
class PgIntake final : public PgCalls<IntakeSession> {
 public:
  PgIntake(PostgresBackend& backend, pg::Link& link, std::string& error)
      : PgCalls(link, link.main, error, pg::batchBudget), backend_(backend), link_(link) {}

  // The set-up of a new connection, if the lease made one, is behind; the
  // work has its own time from now on.
  bool start() {
    if (!lease) return false;
    settleBy_ = lease.deadline;
    lease.deadline = std::min(settleBy_, pg::Clock::now() + pg::workBudget);
    return true;
  }

  bool holders(const std::vector<std::string>& keyHashes, std::map<std::string, KeyHolder>& holders,
               std::map<std::int64_t, double>& miles, std::string& error) override;
  bool commitBatch(const std::map<std::string, KeyHolder>& holders, std::size_t reports,
                   std::string& error) override;

 protected:
  // The batch's writes wait for its COMMIT.
  bool runTexts(Query query, const std::vector<std::string>& params, const EachRow& each,
                std::string& error) override {
    if (each || !sql::textOf(query).postgres) return PgCalls::runTexts(query, params, each, error);
    writes_.push_back({static_cast<int>(query), params});
    return true;
  }

 private:
  bool readHolders(const std::vector<std::string>& keyHashes, std::vector<Result>& results,
                   std::string& error);
  bool settle(int backend, std::size_t reports, std::string& error);

  PostgresBackend& backend_;
  pg::Link& link_;
  pg::Clock::time_point settleBy_;
  std::string txid_;  // of the batch's transaction, once it locked a player
  std::vector<pg::Step> writes_;
};

class PostgresBackend final : public Backend {
 public:
  explicit PostgresBackend(std::string url)
      : link_(std::move(url), prepared().data(), prepared().size()) {}

  bool open(std::string& error) { return pg::createSchema(link_, error); }

  std::unique_ptr<Session> session(Use use, std::string& error) override {
    auto session = std::make_unique<PgSession>(
        link_, use == Use::boards ? link_.boards : link_.main, error, pg::callTime);
    if (!session->lease) return nullptr;
    return session;
  }

  std::unique_ptr<IntakeSession> intake(std::string& error) override {
    auto session = std::make_unique<PgIntake>(*this, link_, error);
    if (!session->start()) return nullptr;
    return session;
  }

  bool healthy(std::string& why) override { return link_.probe(why); }

  std::vector<Gauge> gauges() override {
    return {
        {"vorn_commits_settled",
         "PostgreSQL commits since the start whose answer was lost, looked up before answering.",
         static_cast<double>(settledCommits.load())},
        {"vorn_commits_unsettled",
         "PostgreSQL commits since the start whose answer was lost and could not be looked up "
         "in time (answered 503; the log names each transaction).",
         static_cast<double>(unsettledCommits.load())}};
  }

  std::atomic<std::uint64_t> settledCommits{0};
  std::atomic<std::uint64_t> unsettledCommits{0};

 private:
  pg::Link link_;
};

// The batch's first round trip: BEGIN, lock the players' rows, then read
// their latest reports and counted miles.
bool PgIntake::readHolders(const std::vector<std::string>& keyHashes,
                           std::vector<Result>& results, std::string& error) {
  const std::string keys = arrayOf(keyHashes);
  const std::vector<pg::Step> steps = {{-1, {}, "BEGIN"},
                                       {static_cast<int>(Query::lockPlayers), {keys}},
                                       {static_cast<int>(Query::lastReceived), {keys}}};
  if (lease.exchange(steps, results, error)) return true;
  // A pooled connection that died unnoticed fails before anything was
  // done: once more on a new one.
  return PQstatus(lease.connection) != CONNECTION_OK && lease.renew(error) &&
         lease.exchange(steps, results, error);
}

bool PgIntake::holders(const std::vector<std::string>& keyHashes,
                       std::map<std::string, KeyHolder>& holders,
                       std::map<std::int64_t, double>& miles, std::string& error) {
  std::vector<Result> results;
  if (!readHolders(keyHashes, results, error)) return false;
  const PGresult* locked = results[1].get();
  std::map<std::int64_t, KeyHolder*> byId;
  enum { id, keyHash, name, revoked, createdMs, transaction };
  for (int i = 0; i < PQntuples(locked); ++i) {
    const pg::Row row{locked, i};
    KeyHolder& holder = holders[row.text(keyHash)];
    holder.known = true;
    holder.id = row.integer(id);
    holder.name = row.text(name);
    holder.revoked = row.text(revoked) == "t";
    holder.createdMs = row.integer(createdMs);
    byId[holder.id] = &holder;
    txid_ = row.text(transaction);
  }
  // Read by a statement of its own after the locks: another collector's
  // report committed while this batch waited for a lock is seen.
  const PGresult* latest = results[2].get();
  for (int i = 0; i < PQntuples(latest); ++i) {
    const pg::Row row{latest, i};
    const auto holder = byId.find(row.integer(0));
    if (holder == byId.end()) continue;  // a key given after the lock: not this batch's
    if (!PQgetisnull(latest, i, 1)) {
      holder->second->reported = true;
      holder->second->lastReceivedMs = row.integer(1);
    }
    miles[holder->first] = row.real(2);
  }
  return true;
}

bool PgIntake::commitBatch(const std::map<std::string, KeyHolder>&, std::size_t reports,
                           std::string& error) {
  const int backend = PQbackendPID(lease.connection);
  writes_.push_back({-1, {}, "COMMIT"});
  std::vector<Result> results;
  const bool committed = lease.exchange(writes_, results, error);
  writes_.clear();
  if (committed) return true;
  // An error the server answered (the session lives on) rolled it back;
  // so did a batch that wrote nothing, whatever became of it.
  if (PQstatus(lease.connection) == CONNECTION_OK) {
    rollBack();
    return txid_.empty();
  }
  return txid_.empty() || settle(backend, reports, error);
}

// The COMMIT's answer was lost: what became of it, looked up by settleBy_.
bool PgIntake::settle(int backend, std::size_t reports, std::string& error) {
  const pg::Link::Settled settled = link_.settle(txid_, backend, settleBy_);
  if (settled == pg::Link::Settled::committed) {
    ++backend_.settledCommits;
    return true;
  }
  if (settled == pg::Link::Settled::rolledBack) {
    ++backend_.settledCommits;
    error += " (not committed)";
    return false;
  }
  ++backend_.unsettledCommits;
  std::cerr << "PostgreSQL: the commit of transaction " << txid_ << " (" << reports
            << " reports) lost its answer and could not be settled in time; answered 503; "
               "SELECT txid_status("
            << txid_ << ") tells whether it was stored\n";
  error += " (commit not settled)";
  return false;
}

}  // namespace

std::unique_ptr<Store> openPostgresStore(const std::string& url, std::string& error) {
  auto backend = std::make_unique<PostgresBackend>(url);
  if (!backend->open(error)) return nullptr;
  return std::make_unique<CoreStore>(std::move(backend));
}

}  // namespace collector
