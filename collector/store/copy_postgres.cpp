// The PostgreSQL end of a copy between stores: the schema from
// information_schema and pg_constraint, rows through COPY in text format
// both ways (streamed, a buffer at a time), ids kept through setval.
#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

#include "store/copy_side.h"
#include "store/postgres_link.h"

namespace collector {
namespace copying {

namespace {

// COPY's rows are sent in pieces of about this many bytes.
constexpr std::size_t copyPiece = 1 << 20;

// The copy may take minutes: no statement limit; no float rounded.
constexpr const char* sessionSetup =
    "SET statement_timeout = 0; SET idle_in_transaction_session_timeout = 0; "
    "SET lock_timeout = '30s'; SET client_encoding = 'UTF8'; SET extra_float_digits = 3; "
    "SET client_min_messages = warning";

constexpr const char* tablesSql = R"sql(
SELECT c.table_name, c.column_name, c.data_type,
  coalesce(pg_get_serial_sequence(quote_ident(c.table_name), c.column_name), '')
FROM information_schema.columns c JOIN information_schema.tables t
  ON t.table_schema = c.table_schema AND t.table_name = c.table_name
WHERE c.table_schema = current_schema() AND t.table_type = 'BASE TABLE'
  AND c.table_name <> 'schema_version'
ORDER BY c.table_name, c.ordinal_position)sql";

constexpr const char* parentsSql = R"sql(
SELECT DISTINCT child.relname, parent.relname FROM pg_constraint k
JOIN pg_class child ON child.oid = k.conrelid JOIN pg_class parent ON parent.oid = k.confrelid
WHERE k.contype = 'f' AND child.relnamespace = current_schema()::regnamespace)sql";

// COPY's text format: a value with backslash, tab, newline and return escaped.
bool appendCopyText(std::string& line, const std::string& text, std::string& error) {
  for (const char c : text) {
    switch (c) {
      case '\\':
        line += "\\\\";
        break;
      case '\t':
        line += "\\t";
        break;
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      case '\0':
        error = "a text holds a NUL character, which PostgreSQL's text cannot";
        return false;
      default:
        line += c;
    }
  }
  return true;
}

// One field of a row COPY sent, unescaped; nullopt for \N.
Value copyField(const char* from, const char* to) {
  if (to - from == 2 && from[0] == '\\' && from[1] == 'N') return std::nullopt;
  std::string text;
  text.reserve(static_cast<std::size_t>(to - from));
  for (const char* at = from; at < to; ++at) {
    if (*at != '\\' || at + 1 == to) {
      text += *at;
      continue;
    }
    const char c = *++at;
    const char* plain = "btnvfr";
    const char* escaped = "\b\t\n\v\f\r";
    if (const char* found = std::strchr(plain, c); found && c) {
      text += escaped[found - plain];
    } else if (c >= '0' && c <= '7') {  // up to three octal digits
      int code = 0;
      for (int n = 0; n < 3 && at < to && *at >= '0' && *at <= '7'; ++n)
        code = code * 8 + (*at++ - '0');
      text += static_cast<char>(code);
      --at;
    } else if (c == 'x' && at + 1 < to && std::isxdigit(static_cast<unsigned char>(at[1]))) {
      int code = 0;
      for (int n = 0; n < 2 && at + 1 < to && std::isxdigit(static_cast<unsigned char>(at[1]));
           ++n) {
        code = code * 16 + std::stoi(std::string(1, *++at), nullptr, 16);
      }
      text += static_cast<char>(code);
    } else {
      text += c;
    }
  }
  return text;
}

// A value as PostgreSQL printed it, in the canonical form of `kind`.
void canonical(Value& value, Kind kind) {
  if (!value) return;
  if (kind == Kind::real) value = canonicalReal(std::strtod(value->c_str(), nullptr));
  // A truth value held as an integer prints as one already.
  if (kind == Kind::boolean && (*value == "t" || *value == "f")) value = *value == "t" ? "1" : "0";
}

class PostgresWriter : public RowWriter {
 public:
  PostgresWriter(PGconn* connection, const std::vector<Column>& columns)
      : connection_(connection), columns_(columns) {}

  bool add(const Row& row, std::string& error) override {
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i > 0) buffer_ += '\t';
      if (!row[i]) {
        buffer_ += "\\N";
      } else if (columns_[i].kind != Kind::text) {
        buffer_ += *row[i];  // digits, a double as canonicalReal prints it, 0 or 1
      } else if (!appendCopyText(buffer_, *row[i], error)) {
        error = "column " + columns_[i].name + ": " + error;
        return abort(error);
      }
    }
    buffer_ += '\n';
    return buffer_.size() < copyPiece || send(error);
  }

  bool finish(std::string& error) override {
    if (!send(error)) return false;
    if (PQputCopyEnd(connection_, nullptr) != 1) return failed(error);
    return ended(error);
  }

 private:
  bool send(std::string& error) {
    if (!buffer_.empty() &&
        PQputCopyData(connection_, buffer_.data(), static_cast<int>(buffer_.size())) != 1) {
      return failed(error);
    }
    buffer_.clear();
    return true;
  }
  bool abort(std::string& error) {
    PQputCopyEnd(connection_, error.c_str());
    std::string ignored;
    ended(ignored);
    return false;
  }
  bool ended(std::string& error) {
    bool good = true;
    while (PGresult* result = PQgetResult(connection_)) {
      if (good && PQresultStatus(result) != PGRES_COMMAND_OK) {
        error = pg::firstLine(PQresultErrorMessage(result));
        good = false;
      }
      PQclear(result);
    }
    return good;
  }
  bool failed(std::string& error) {
    error = pg::firstLine(PQerrorMessage(connection_));
    return false;
  }

  PGconn* connection_;
  std::vector<Column> columns_;
  std::string buffer_;
};

class PostgresSide : public Side {
 public:
  explicit PostgresSide(PGconn* connection) : connection_(connection) {}
  ~PostgresSide() override {
    rollBack();
    PQfinish(connection_);
  }

  bool tables(std::vector<Table>& tables, std::string& error) override {
    pg::Result columns = exec(tablesSql);
    if (!pg::check(columns, error)) return false;
    for (int i = 0; i < PQntuples(columns.get()); ++i) {
      const pg::Row row{columns.get(), i};
      if (tables.empty() || tables.back().name != row.text(0))
        tables.push_back({row.text(0), {}, {}, ""});
      tables.back().columns.push_back({row.text(1), row.text(2), postgresKind(row.text(2))});
      if (!row.text(3).empty()) {
        tables.back().idColumn = row.text(1);
        sequences_[row.text(0)] = row.text(3);
      }
    }
    pg::Result parents = exec(parentsSql);
    if (!pg::check(parents, error)) return false;
    for (int i = 0; i < PQntuples(parents.get()); ++i) {
      const pg::Row row{parents.get(), i};
      for (Table& table : tables) {
        if (table.name == row.text(0)) table.parents.push_back(row.text(1));
      }
    }
    return true;
  }

  bool beginRead(std::string& error) override {
    rollBack();
    open_ = simple("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY", error);
    return open_;
  }

  bool read(const Table& table, const std::vector<Column>& columns, const RowSink& each,
            std::string& error) override {
    const std::string sql =
        "COPY (SELECT " + columnList(columns) + " FROM " + quotedName(table.name) + ") TO STDOUT";
    pg::Result started = exec(sql.c_str());
    if (PQresultStatus(started.get()) != PGRES_COPY_OUT) {
      if (pg::check(started, error)) error = "the server sent no rows for COPY";
      return false;
    }
    Row row(columns.size());
    bool good = true;
    char* line = nullptr;
    int size;
    while ((size = PQgetCopyData(connection_, &line, 0)) > 0) {
      if (good)
        good = split(line, static_cast<std::size_t>(size), columns, row, error) && each(row, error);
      PQfreemem(line);
    }
    if (size == -2) {
      error = pg::firstLine(PQerrorMessage(connection_));
      return false;
    }
    pg::Result ended(PQgetResult(connection_), &PQclear);
    while (PGresult* rest = PQgetResult(connection_)) PQclear(rest);
    return pg::check(ended, error) && good;
  }

  bool beginWrite(const std::vector<Table>& tables, std::string& error) override {
    rollBack();
    std::string names;
    for (const Table& table : tables) names += (names.empty() ? "" : ", ") + quotedName(table.name);
    open_ = simple("BEGIN", error);
    // Collectors' writes wait (or fail) until the copy ends; reads go on.
    return open_ &&
           (names.empty() || simple(("LOCK TABLE " + names + " IN EXCLUSIVE MODE").c_str(), error));
  }

  bool holdsRows(const Table& table, bool& holds, std::string& error) override {
    pg::Result any = exec(("SELECT EXISTS (SELECT 1 FROM " + quotedName(table.name) + ")").c_str());
    if (!pg::check(any, error)) return false;
    holds = pg::Row{any.get(), 0}.text(0) == "t";
    return true;
  }

  std::unique_ptr<RowWriter> writer(const Table& table, const std::vector<Column>& columns,
                                    std::string& error) override {
    const std::string sql =
        "COPY " + quotedName(table.name) + " (" + columnList(columns) + ") FROM STDIN";
    pg::Result started = exec(sql.c_str());
    if (PQresultStatus(started.get()) == PGRES_COPY_IN) {
      return std::make_unique<PostgresWriter>(connection_, columns);
    }
    pg::check(started, error);
    return nullptr;
  }

  bool highestId(const Table& table, std::int64_t& highest, bool& kept,
                 std::string& error) override {
    kept = true;
    const std::string sql = "SELECT greatest((SELECT coalesce(max(" + quotedName(table.idColumn) +
                            "), 0) FROM " + quotedName(table.name) +
                            "), (SELECT CASE WHEN is_called THEN last_value ELSE 0 END FROM " +
                            sequence(table) + "))";
    pg::Result answer = exec(sql.c_str());
    if (!pg::check(answer, error)) return false;
    highest = pg::Row{answer.get(), 0}.integer(0);
    return true;
  }

  bool keepIdsPast(const Table& table, std::int64_t highest, std::string& error) override {
    if (highest <= 0) return true;
    const std::string sql =
        "SELECT setval('" + sequence(table) + "', " + std::to_string(highest) + ")";
    pg::Result set = exec(sql.c_str());
    return pg::check(set, error);
  }

  bool commit(std::string& error) override {
    open_ = false;
    return simple("COMMIT", error);
  }

  void rollBack() override {
    std::string ignored;
    if (open_) simple("ROLLBACK", ignored);
    open_ = false;
  }

 private:
  pg::Result exec(const char* sql) { return pg::Result(PQexec(connection_, sql), &PQclear); }
  bool simple(const char* sql, std::string& error) {
    pg::Result done = exec(sql);
    return pg::check(done, error);
  }
  // The sequence that gives the table's ids, quoted as SQL names it.
  std::string sequence(const Table& table) const {
    const auto found = sequences_.find(table.name);
    return found == sequences_.end() ? "" : found->second;
  }

  // A row as COPY sent it (ending in a newline), into `row`.
  static bool split(const char* line, std::size_t size, const std::vector<Column>& columns,
                    Row& row, std::string& error) {
    const char* end = line + size - (size > 0 && line[size - 1] == '\n' ? 1 : 0);
    const char* from = line;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const char* to = std::find(from, end, '\t');
      if (to == end && i + 1 < columns.size()) {
        error = "COPY sent a row of fewer columns than asked for";
        return false;
      }
      row[i] = copyField(from, to);
      canonical(row[i], columns[i].kind);
      from = to + 1;
    }
    return true;
  }

  PGconn* connection_;
  bool open_ = false;
  std::map<std::string, std::string> sequences_;  // table -> its id column's sequence
};

}  // namespace

std::unique_ptr<Side> openPostgresSide(const std::string& url, std::string& error) {
  PGconn* connection = PQconnectdb(url.c_str());
  if (PQstatus(connection) != CONNECTION_OK) {
    error = pg::firstLine(PQerrorMessage(connection));
    PQfinish(connection);
    return nullptr;
  }
  pg::Result setup(PQexec(connection, sessionSetup), &PQclear);
  if (!pg::check(setup, error)) {
    PQfinish(connection);
    return nullptr;
  }
  return std::make_unique<PostgresSide>(connection);
}

}  // namespace copying
}  // namespace collector
