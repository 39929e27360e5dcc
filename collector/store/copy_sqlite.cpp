// The SQLite end of a copy between stores: the schema from sqlite_master,
// rows through prepared statements, ids kept through sqlite_sequence.
#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "store/copy_side.h"
#include "store/sqlite_db.h"

namespace collector {
namespace copying {

namespace {

// The canonical text of column `at` of the statement's row, as `column`'s kind.
bool readValue(const Statement& row, int at, const Column& column, Value& value,
               std::string& error) {
  const int type = row.type(at);
  if (type == SQLITE_NULL) {
    value.reset();
    return true;
  }
  const bool number = type == SQLITE_INTEGER || type == SQLITE_FLOAT;
  switch (column.kind) {
    case Kind::integer:
    case Kind::boolean:
      if (type != SQLITE_INTEGER ||
          (column.kind == Kind::boolean && row.integer(at) != 0 && row.integer(at) != 1)) {
        break;
      }
      value = std::to_string(row.integer(at));
      return true;
    case Kind::real:
      if (!number) break;
      value = canonicalReal(row.real(at));
      return true;
    case Kind::text:
      if (type != SQLITE_TEXT) break;
      value = row.text(at);
      return true;
    case Kind::unknown:
      break;
  }
  const char* held = type == SQLITE_INTEGER ? "a whole number"
                     : type == SQLITE_FLOAT ? "a fraction"
                     : type == SQLITE_TEXT  ? "a text"
                                            : "bytes";
  error = "column " + column.name + " holds " + held + " in a row, which its type " + column.type +
          " cannot carry";
  return false;
}

class SqliteWriter : public RowWriter {
 public:
  SqliteWriter(sqlite3* db, const std::string& sql, const std::vector<Column>& columns)
      : insert_(db, sql.c_str()), columns_(columns) {}
  bool ok() const { return insert_.ok(); }

  bool add(const Row& row, std::string& error) override {
    insert_.reset();
    for (std::size_t i = 0; i < row.size(); ++i) {
      const int at = static_cast<int>(i) + 1;
      if (!row[i]) continue;  // left NULL
      const std::string& text = *row[i];
      if (columns_[i].kind == Kind::real) {
        insert_.bind(at, std::strtod(text.c_str(), nullptr));
      } else if (columns_[i].kind == Kind::text) {
        insert_.bind(at, text);
      } else {
        std::int64_t whole = 0;
        std::from_chars(text.data(), text.data() + text.size(), whole);
        insert_.bind(at, whole);
      }
    }
    if (insert_.run()) return true;
    error = insert_.failure();
    return false;
  }
  bool finish(std::string&) override { return true; }

 private:
  Statement insert_;
  std::vector<Column> columns_;
};

class SqliteSide : public Side {
 public:
  SqliteSide(std::string path, sqlite3* db) : path_(std::move(path)), db_(db) {}
  ~SqliteSide() override {
    rollBack();
    sqlite3_close(db_);
  }

  bool tables(std::vector<Table>& tables, std::string& error) override {
    Statement each(db_,
                   "SELECT name, sql LIKE '%AUTOINCREMENT%' FROM sqlite_master WHERE type = "
                   "'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name");
    int rc;
    while ((rc = each.step()) == SQLITE_ROW) {
      Table table;
      table.name = each.text(0);
      if (each.integer(1) != 0) autoincrement_.push_back(table.name);
      if (!describe(table, error)) return false;
      tables.push_back(std::move(table));
    }
    return rc == SQLITE_DONE || failed(error);
  }

  bool beginRead(std::string& error) override {
    rollBack();
    // The snapshot is taken by the first read, and held until the next begin.
    open_ = execute(db_, "BEGIN", error) && execute(db_, "SELECT 1 FROM sqlite_master", error);
    return open_;
  }

  bool read(const Table& table, const std::vector<Column>& columns, const RowSink& each,
            std::string& error) override {
    Statement rows(db_,
                   ("SELECT " + columnList(columns) + " FROM " + quotedName(table.name)).c_str());
    Row row(columns.size());
    int rc;
    while ((rc = rows.step()) == SQLITE_ROW) {
      for (std::size_t i = 0; i < columns.size(); ++i) {
        if (!readValue(rows, static_cast<int>(i), columns[i], row[i], error)) return false;
      }
      if (!each(row, error)) return false;
    }
    if (rc == SQLITE_DONE) return true;
    error = rows.failure();
    return false;
  }

  bool beginWrite(const std::vector<Table>&, std::string& error) override {
    rollBack();
    std::string ignored;
    execute(db_, "PRAGMA cache_size = -262144", ignored);  // 256 MiB while the indexes grow
    open_ = execute(db_, "BEGIN IMMEDIATE", error);
    return open_ && execute(db_, "PRAGMA defer_foreign_keys = ON", error);
  }

  bool holdsRows(const Table& table, bool& holds, std::string& error) override {
    Statement any(db_, ("SELECT EXISTS (SELECT 1 FROM " + quotedName(table.name) + ")").c_str());
    if (any.step() != SQLITE_ROW) return failed(error);
    holds = any.integer(0) != 0;
    return true;
  }

  std::unique_ptr<RowWriter> writer(const Table& table, const std::vector<Column>& columns,
                                    std::string& error) override {
    std::string places;
    for (std::size_t i = 1; i <= columns.size(); ++i) {
      places += (i > 1 ? ", ?" : "?") + std::to_string(i);
    }
    auto writer =
        std::make_unique<SqliteWriter>(db_,
                                       "INSERT INTO " + quotedName(table.name) + " (" +
                                           columnList(columns) + ") VALUES (" + places + ")",
                                       columns);
    if (writer->ok()) return writer;
    failed(error);
    return nullptr;
  }

  bool highestId(const Table& table, std::int64_t& highest, bool& kept,
                 std::string& error) override {
    kept = autoincrements(table);
    return highestOf(table, highest, error);
  }

  bool keepIdsPast(const Table& table, std::int64_t highest, std::string& error) override {
    if (!autoincrements(table) || highest <= 0) return true;
    Statement raise(db_, "UPDATE sqlite_sequence SET seq = max(seq, ?1) WHERE name = ?2");
    if (!raise.bind(1, highest).bind(2, table.name).run()) return failed(error);
    if (sqlite3_changes(db_) > 0) return true;
    Statement add(db_, "INSERT INTO sqlite_sequence (name, seq) VALUES (?1, ?2)");
    return add.bind(1, table.name).bind(2, highest).run() || failed(error);
  }

  bool commit(std::string& error) override {
    if (!execute(db_, "COMMIT", error)) return false;
    open_ = false;
    return true;
  }

  void rollBack() override {
    std::string ignored;
    if (open_) execute(db_, "ROLLBACK", ignored);
    open_ = false;
  }

 private:
  bool failed(std::string& error) const {
    error = sqlite3_errmsg(db_);
    return false;
  }

  bool autoincrements(const Table& table) const {
    for (const std::string& name : autoincrement_) {
      if (name == table.name) return true;
    }
    return false;
  }

  // The highest stored id, or sqlite_sequence's when it is higher.
  bool highestOf(const Table& table, std::int64_t& highest, std::string& error) {
    Statement stored(db_, ("SELECT coalesce(max(" + quotedName(table.idColumn) + "), 0) FROM " +
                           quotedName(table.name))
                              .c_str());
    if (stored.step() != SQLITE_ROW) return failed(error);
    highest = stored.integer(0);
    if (!autoincrements(table)) return true;
    Statement sequence(db_, "SELECT coalesce(max(seq), 0) FROM sqlite_sequence WHERE name = ?1");
    if (sequence.bind(1, table.name).step() != SQLITE_ROW) return failed(error);
    highest = std::max(highest, sequence.integer(0));
    return true;
  }

  // The columns, the id column (the INTEGER PRIMARY KEY) and the parents.
  bool describe(Table& table, std::string& error) {
    Statement columns(db_, "SELECT name, type, pk FROM pragma_table_info(?1) ORDER BY cid");
    columns.bind(1, table.name);
    int keys = 0;
    int rc;
    while ((rc = columns.step()) == SQLITE_ROW) {
      const Column column{columns.text(0), columns.text(1), sqliteKind(columns.text(1))};
      if (columns.integer(2) > 0) {
        ++keys;
        if (column.kind == Kind::integer) table.idColumn = column.name;
      }
      table.columns.push_back(column);
    }
    if (rc != SQLITE_DONE) return failed(error);
    if (keys != 1) table.idColumn.clear();  // a key of several columns gives no ids
    Statement parents(db_, "SELECT DISTINCT \"table\" FROM pragma_foreign_key_list(?1)");
    parents.bind(1, table.name);
    while ((rc = parents.step()) == SQLITE_ROW) table.parents.push_back(parents.text(0));
    return rc == SQLITE_DONE || failed(error);
  }

  std::string path_;
  sqlite3* db_;
  bool open_ = false;
  std::vector<std::string> autoincrement_;
};

}  // namespace

std::unique_ptr<Side> openSqliteSide(const std::string& path, std::string& error) {
  sqlite3* db = openConnection(path, error, SQLITE_OPEN_NOMUTEX);
  if (!db) return nullptr;
  return std::make_unique<SqliteSide>(path, db);
}

}  // namespace copying
}  // namespace collector
