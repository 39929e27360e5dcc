// The move between stores: the tables paired, the rows carried, the ids kept.
#include "store/copy.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "store/copy_side.h"

namespace collector {

namespace copying {

Kind sqliteKind(const std::string& declared) {
  std::string type;
  for (const char c : declared)
    type += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto has = [&](const char* part) { return type.find(part) != std::string::npos; };
  if (has("BOOL")) return Kind::boolean;
  if (has("INT")) return Kind::integer;
  if (has("CHAR") || has("CLOB") || has("TEXT")) return Kind::text;
  if (has("REAL") || has("FLOA") || has("DOUB")) return Kind::real;
  return Kind::unknown;
}

Kind postgresKind(const std::string& dataType) {
  if (dataType == "bigint" || dataType == "integer" || dataType == "smallint") return Kind::integer;
  if (dataType == "double precision" || dataType == "real") return Kind::real;
  if (dataType == "text" || dataType == "character varying" || dataType == "character") {
    return Kind::text;
  }
  if (dataType == "boolean") return Kind::boolean;
  return Kind::unknown;
}

std::string canonicalReal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0) return "0";  // SQLite keeps no sign of a zero it stores
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string quotedName(const std::string& name) {
  std::string quoted = "\"";
  for (const char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string columnList(const std::vector<Column>& columns) {
  std::string list;
  for (const Column& column : columns) list += (list.empty() ? "" : ", ") + quotedName(column.name);
  return list;
}

namespace {

const Table* named(const std::vector<Table>& tables, const std::string& name) {
  for (const Table& table : tables) {
    if (table.name == name) return &table;
  }
  return nullptr;
}

// The kind both ends' types agree on: the same, or a truth value that
// SQLite holds as an integer.
Kind agreed(Kind a, Kind b) {
  if (a == b) return a;
  if ((a == Kind::boolean && b == Kind::integer) || (a == Kind::integer && b == Kind::boolean)) {
    return Kind::boolean;
  }
  return Kind::unknown;
}

bool pairColumns(Carried& pair, std::string& error) {
  const std::string& table = pair.source.name;
  for (const Column& from : pair.source.columns) {
    const auto to = std::find_if(pair.target.columns.begin(), pair.target.columns.end(),
                                 [&](const Column& c) { return c.name == from.name; });
    if (to == pair.target.columns.end()) {
      error = "table " + table + ": the target has no column " + from.name;
      return false;
    }
    const Kind kind = agreed(from.kind, to->kind);
    if (kind == Kind::unknown) {
      error = "table " + table + ", column " + from.name + ": its types (" + from.type +
              " in the source, " + to->type + " in the target) cannot be carried";
      return false;
    }
    pair.columns.push_back({from.name, to->type, kind});
  }
  for (const Column& to : pair.target.columns) {
    if (!std::any_of(pair.source.columns.begin(), pair.source.columns.end(),
                     [&](const Column& c) { return c.name == to.name; })) {
      error = "table " + table + ": the source has no column " + to.name;
      return false;
    }
  }
  return true;
}

// `plan` in an order where each table comes after the tables it refers to.
bool parentsFirst(std::vector<Carried>& plan, std::string& error) {
  std::vector<Carried> ordered;
  while (!plan.empty()) {
    const auto ready = std::find_if(plan.begin(), plan.end(), [&](const Carried& pair) {
      return std::all_of(
          pair.target.parents.begin(), pair.target.parents.end(), [&](const std::string& parent) {
            return parent == pair.target.name ||
                   std::none_of(plan.begin(), plan.end(),
                                [&](const Carried& p) { return p.target.name == parent; });
          });
    });
    if (ready == plan.end()) {
      error = "the tables " + plan.front().target.name +
              " and those it refers to refer to each other: no order carries them";
      return false;
    }
    ordered.push_back(std::move(*ready));
    plan.erase(ready);
  }
  plan = std::move(ordered);
  return true;
}

}  // namespace

bool planCopy(const std::vector<Table>& source, const std::vector<Table>& target,
              std::vector<Carried>& plan, std::string& error) {
  for (const Table& table : source) {
    const Table* there = named(target, table.name);
    if (!there) {
      error = "table " + table.name +
              " of the source has no place in the target (is the target "
              "of an older schema?): it cannot be carried";
      return false;
    }
    plan.push_back({table, *there, {}});
    if (!pairColumns(plan.back(), error)) return false;
  }
  for (const Table& table : target) {
    if (!named(source, table.name)) {
      error = "table " + table.name +
              " of the target is not in the source: the two databases "
              "are of different schemas";
      return false;
    }
  }
  return parentsFirst(plan, error);
}

namespace {

using Told = std::function<void(const std::string&)>;

// A long table's copy is told on the way, every this many rows.
constexpr std::int64_t progressRows = 1000000;

// Every row of each table from the source's snapshot into the target's
// transaction, then the ids kept past the source's.
bool carry(Side& source, Side& target, const std::vector<Carried>& plan, const Told& told,
           std::int64_t& rows, std::string& error) {
  for (const Carried& pair : plan) {
    bool holds = false;
    if (!target.holdsRows(pair.target, holds, error)) return false;
    if (holds) {
      error = "the target's table " + pair.target.name +
              " holds rows already: the copy goes into a database that holds none";
      return false;
    }
  }
  for (const Carried& pair : plan) {
    const auto writer = target.writer(pair.target, pair.columns, error);
    std::int64_t count = 0;
    const bool copied =
        writer &&
        source.read(
            pair.source, pair.columns,
            [&](const Row& row, std::string& why) {
              if (++count % progressRows == 0) {
                told("copying " + pair.source.name + ": " + std::to_string(count) + " rows");
              }
              return writer->add(row, why);
            },
            error) &&
        writer->finish(error);
    if (!copied) {
      error = "table " + pair.source.name + ": " + error;
      return false;
    }
    rows += count;
    told("copied " + std::to_string(count) + (count == 1 ? " row of " : " rows of ") +
         pair.source.name);
    if (pair.source.idColumn.empty() || pair.target.idColumn.empty()) continue;
    std::int64_t highest = 0;
    bool kept = false;
    if (!source.highestId(pair.source, highest, kept, error) ||
        !target.keepIdsPast(pair.target, highest, error)) {
      error = "table " + pair.source.name + ", its ids: " + error;
      return false;
    }
  }
  return true;
}

std::unique_ptr<Side> openSide(const std::string& url, std::string& error) {
  const std::string sqlitePrefix = "sqlite:";
  if (url.compare(0, sqlitePrefix.size(), sqlitePrefix) == 0) {
    return openSqliteSide(url.substr(sqlitePrefix.size()), error);
  }
  return openPostgresSide(url, error);
}

// Both ends open, their schemas read and paired; the source's snapshot
// taken, and the target's write transaction begun when `write`.
bool prepare(const std::string& fromUrl, const std::string& toUrl, bool write,
             std::unique_ptr<Side>& source, std::unique_ptr<Side>& target,
             std::vector<Carried>& plan, std::string& error) {
  std::vector<Table> from, to;
  if (!(source = openSide(fromUrl, error))) return (error = "the source: " + error), false;
  if (!(target = openSide(toUrl, error))) return (error = "the target: " + error), false;
  if (!source->beginRead(error) || !source->tables(from, error)) {
    return (error = "the source: " + error), false;
  }
  if (!(write ? target->beginWrite({}, error) : target->beginRead(error)) ||
      !target->tables(to, error)) {
    return (error = "the target: " + error), false;
  }
  if (!planCopy(from, to, plan, error)) return false;
  if (!write) return true;
  // Locked now that the tables are known.
  target->rollBack();
  if (!target->beginWrite(to, error)) return (error = "the target: " + error), false;
  return true;
}

}  // namespace
}  // namespace copying

CopyResult copyDatabase(const std::string& fromUrl, const std::string& toUrl,
                        const std::function<void(const std::string&)>& told) {
  using namespace copying;
  CopyResult result;
  std::unique_ptr<Side> source, target;
  std::vector<Carried> plan;
  if (!prepare(fromUrl, toUrl, true, source, target, plan, result.error) ||
      !carry(*source, *target, plan, told, result.rows, result.error)) {
    return result;
  }
  std::int64_t compared = 0;
  if (!compareTables(*source, *target, plan, result.differences, compared, result.error)) {
    return result;
  }
  result.tables = static_cast<std::int64_t>(plan.size());
  if (!result.differences.empty()) {
    target->rollBack();
    result.outcome = CopyResult::Outcome::differs;
    return result;
  }
  if (!target->commit(result.error)) {
    result.error = "the target's COMMIT: " + result.error;
    return result;
  }
  result.outcome = CopyResult::Outcome::same;
  return result;
}

CopyResult compareDatabases(const std::string& fromUrl, const std::string& toUrl) {
  using namespace copying;
  CopyResult result;
  std::unique_ptr<Side> source, target;
  std::vector<Carried> plan;
  if (!prepare(fromUrl, toUrl, false, source, target, plan, result.error) ||
      !compareTables(*source, *target, plan, result.differences, result.rows, result.error)) {
    return result;
  }
  result.tables = static_cast<std::int64_t>(plan.size());
  result.outcome =
      result.differences.empty() ? CopyResult::Outcome::same : CopyResult::Outcome::differs;
  return result;
}

}  // namespace collector
