// One end of a copy between stores (copy.h): the tables its schema holds,
// their rows read in one snapshot, rows written in one transaction, and the
// ids it keeps from being given again. Values travel in one canonical text
// form per kind of column, the same whichever store they come from, so that
// the two ends' rows compare byte for byte.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace collector {
namespace copying {

// What a column holds, as both stores can: a whole number, a double, text,
// or a truth value (an integer 0 or 1 in SQLite).
enum class Kind { integer, real, text, boolean, unknown };

// Kind of a declared SQLite column type (by SQLite's own affinity rules, a
// type naming BOOL a truth value) and of a PostgreSQL data_type.
Kind sqliteKind(const std::string& declared);
Kind postgresKind(const std::string& dataType);

// The canonical text of each kind: a whole number in decimal, a double as
// canonicalReal prints it, text as it is, a truth value as 0 or 1.
std::string canonicalReal(double value);

struct Column {
  std::string name;
  std::string type;  // as the store declares it
  Kind kind = Kind::unknown;
};

struct Table {
  std::string name;
  std::vector<Column> columns;
  std::vector<std::string> parents;  // the tables its foreign keys name
  // The column whose new values the store gives (an identity, SQLite's
  // INTEGER PRIMARY KEY), "" when none.
  std::string idColumn;
};

// A row: its values in the order of the columns asked for; nullopt is NULL.
using Value = std::optional<std::string>;
using Row = std::vector<Value>;
using RowSink = std::function<bool(const Row&, std::string& error)>;

// Takes one table's rows within the end's transaction; finish() sends what
// is buffered (PostgreSQL's COPY ends there).
class RowWriter {
 public:
  virtual ~RowWriter() = default;
  virtual bool add(const Row& row, std::string& error) = 0;
  virtual bool finish(std::string& error) = 0;
};

class Side {
 public:
  virtual ~Side() = default;
  // Every table of the collector's schema, the store's own bookkeeping
  // (SQLite's sqlite_ tables, PostgreSQL's schema_version) left out.
  virtual bool tables(std::vector<Table>& tables, std::string& error) = 0;
  // A read transaction: every read until the next begin sees one snapshot.
  virtual bool beginRead(std::string& error) = 0;
  // Each row of `columns` of `table`, in the canonical form of their kinds.
  virtual bool read(const Table& table, const std::vector<Column>& columns, const RowSink& each,
                    std::string& error) = 0;
  // A write transaction, with `tables` kept from other writers until it ends.
  virtual bool beginWrite(const std::vector<Table>& tables, std::string& error) = 0;
  virtual bool holdsRows(const Table& table, bool& holds, std::string& error) = 0;
  virtual std::unique_ptr<RowWriter> writer(const Table& table, const std::vector<Column>& columns,
                                            std::string& error) = 0;
  // The highest id the table's idColumn was ever given (by its sequence, or
  // as the highest stored), 0 for none; `kept` false when the store gives
  // ids past the highest stored only (SQLite without AUTOINCREMENT).
  virtual bool highestId(const Table& table, std::int64_t& highest, bool& kept,
                         std::string& error) = 0;
  // From now on the table's ids are given past `highest`.
  virtual bool keepIdsPast(const Table& table, std::int64_t highest, std::string& error) = 0;
  virtual bool commit(std::string& error) = 0;
  virtual void rollBack() = 0;
};

// A table as both ends hold it: `columns` named as both do, in the source's
// order, each of the kind both types agree on.
struct Carried {
  Table source;
  Table target;
  std::vector<Column> columns;
};

// Pairs the tables by name, parents first (as the target's foreign keys
// name them); false, with the table named in `error`, when a table or a
// column is on one end only or its types cannot be carried.
bool planCopy(const std::vector<Table>& source, const std::vector<Table>& target,
              std::vector<Carried>& plan, std::string& error);

// Compares each table's rows, both ways, and the ids each end gives next;
// each difference found, named by table, goes into `differences`.
bool compareTables(Side& source, Side& target, const std::vector<Carried>& plan,
                   std::vector<std::string>& differences, std::int64_t& rows, std::string& error);

// A name in SQL, double-quoted; names joined by commas.
std::string quotedName(const std::string& name);
std::string columnList(const std::vector<Column>& columns);

std::unique_ptr<Side> openSqliteSide(const std::string& path, std::string& error);
std::unique_ptr<Side> openPostgresSide(const std::string& url, std::string& error);

}  // namespace copying
}  // namespace collector
