// The seam between the store's one core (core.h) and each database. The
// core holds every rule of the store: which statements a call runs, in which
// transaction, and what it makes of their rows. A backend fills the seam, as
// SQLite's OS layer is filled by a VFS: its connections and their pools,
// which of them a call takes, its transactions, how a statement run for many
// rows is batched, its time limits, and how a batch's commit is settled.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "store/sql.h"

namespace collector {
namespace seam {

// A value bound to a statement.
using Value = std::variant<std::int64_t, double, std::string>;

// One row of a result, as a backend reads it.
class Row {
 public:
  virtual std::int64_t integer(int column) const = 0;
  virtual double real(int column) const = 0;
  virtual std::string text(int column) const = 0;

 protected:
  ~Row() = default;
};
using EachRow = std::function<void(const Row&)>;

// What became of a row added to a statement run for many rows.
enum class Added {
  ok,       // run, or gathered for the flush
  refused,  // a value of this row alone was refused (SQLite); the others go on
  failed,   // the statement failed: so does the transaction
};

// Which connection a call takes.
enum class Use {
  write,    // writes of reviews, events and the outbox
  players,  // writes of players and their keys
  read,     // reads of players, stored reports and the outbox
  boards,   // reads of totals and boards, apart from the intake's connection
};

// One call's hold on a connection, given back when it ends. Every failure
// leaves its reason in `error`.
class Session {
 public:
  virtual ~Session() = default;

  // A write transaction, committed, or rolled back (a failure is ignored).
  virtual bool begin(std::string& error) = 0;
  virtual bool commit(std::string& error) = 0;
  // Commits as `commit` does, but a COMMIT whose answer was lost (PostgreSQL:
  // the link cut while it was under way) is settled first: true only when
  // it committed; `error` ends with mayBeStored when that could not be found
  // out in time. PostgreSQL pays a round trip more, for the transaction's id.
  virtual bool commitSettled(std::string& error) { return commit(error); }
  virtual void rollBack() = 0;
  // The reads of this call see one state of the database, where a backend
  // offers that at no cost (SQLite: a read transaction).
  virtual bool snapshot(std::string& error) = 0;

  // Runs a statement once, each of its rows handed to `each`.
  virtual bool run(sql::Query query, const std::vector<Value>& values, const EachRow& each,
                   std::string& error) = 0;
  // Rows the latest run changed.
  virtual std::int64_t changed() const = 0;
  // The latest run failed on a unique key.
  virtual bool duplicate() const = 0;
  // The same, its rows handed over one at a time as they come (a large
  // result never sits in memory at once).
  virtual bool stream(sql::Query query, const EachRow& each, std::string& error) {
    return run(query, {}, each, error);
  }

  // A statement run for many rows: SQLite runs each row as it is added;
  // PostgreSQL gathers them and runs the statement once at `flush`, with
  // arrays. Rows come to `each` of the call that ran them.
  virtual Added add(sql::Query query, std::vector<Value> values, const EachRow& each,
                    std::string& error) = 0;
  virtual bool flush(sql::Query query, const EachRow& each, std::string& error) = 0;
};

// A batch of reports in its write transaction. Its reads come first, all in
// `holders`; then its writes: statements run (`run`, `flush`) with no
// `each`, which a backend may hold back and send with the COMMIT
// (PostgreSQL: the writes and the COMMIT in one round trip), a failure of
// one then failing `commitBatch`.
class IntakeSession : public Session {
 public:
  // Fills `holders` with the player who holds each of `keyHashes` (sorted,
  // each once) and that player's latest stored report, and `miles` with
  // each such player's counted all-time miles, as the batch's transaction
  // sees them: serialised with every other writer of the players' reports
  // and totals. A key nobody holds is left out.
  virtual bool holders(const std::vector<std::string>& keyHashes,
                       std::map<std::string, KeyHolder>& holders,
                       std::map<std::int64_t, double>& miles, std::string& error) = 0;
  // Commits the batch of `reports` reports: true only once it is durable,
  // false only when nothing of it was stored. `holders` as they stand after
  // it.
  virtual bool commitBatch(const std::map<std::string, KeyHolder>& holders, std::size_t reports,
                           std::string& error) = 0;
};

// What a database gives the core.
class Backend : public StoreHealth {
 public:
  // Null, with `error` set, when no connection could be had in time.
  virtual std::unique_ptr<Session> session(Use use, std::string& error) = 0;
  // Null when the batch's transaction could not begin.
  virtual std::unique_ptr<IntakeSession> intake(std::string& error) = 0;
};

}  // namespace seam
}  // namespace collector
