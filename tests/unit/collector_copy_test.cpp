// The pairing of a copy's tables: parents first, kinds agreed, and what
// cannot be carried named.
#include <gtest/gtest.h>

#include "store/copy_side.h"

namespace {

using collector::copying::Carried;
using collector::copying::Column;
using collector::copying::Kind;
using collector::copying::Table;

Table table(const std::string& name, std::vector<std::string> parents,
            std::vector<Column> columns = {{"id", "INTEGER", Kind::integer}}) {
  return {name, std::move(columns), std::move(parents), "id"};
}

TEST(CollectorCopy, TablesArePairedParentsFirstAndWhatCannotBeCarriedIsNamed) {
  const Column whole{"away", "INTEGER", Kind::integer}, truth{"away", "boolean", Kind::boolean},
      text{"away", "text", Kind::text}, blob{"away", "BLOB", Kind::unknown};
  struct Row {
    const char* what;
    std::vector<Table> source, target;
    std::string order;  // the plan's tables, or the error's start
  } rows[] = {
      {"a child listed before its parent, a grandchild first",
       {table("c", {"b"}), table("b", {"a"}), table("a", {})},
       {table("a", {}), table("b", {"a"}), table("c", {"b"})},
       "a b c"},
      {"a table that refers to itself", {table("a", {"a"})}, {table("a", {"a"})}, "a"},
      {"two tables that refer to each other",
       {table("a", {"b"}), table("b", {"a"})},
       {table("a", {"b"}), table("b", {"a"})},
       "the tables a and those it refers to refer to each other"},
      {"a table the target lacks",
       {table("a", {}), table("b", {})},
       {table("a", {})},
       "table b of the source has no place in the target"},
      {"a table the source lacks",
       {table("a", {})},
       {table("a", {}), table("b", {})},
       "table b of the target is not in the source"},
      {"a column the target lacks",
       {table("a", {}, {whole})},
       {table("a", {}, {})},
       "table a: the target has no column away"},
      {"a column the source lacks",
       {table("a", {}, {})},
       {table("a", {}, {whole})},
       "table a: the source has no column away"},
      {"a truth value SQLite holds as an integer",
       {table("a", {}, {whole})},
       {table("a", {}, {truth})},
       "a"},
      {"text against a whole number",
       {table("a", {}, {whole})},
       {table("a", {}, {text})},
       "table a, column away: its types (INTEGER in the source, text in the target)"},
      {"a type neither kind",
       {table("a", {}, {blob})},
       {table("a", {}, {blob})},
       "table a, column away: its types (BLOB in the source, BLOB in the target)"},
  };
  for (const Row& row : rows) {
    std::vector<Carried> plan;
    std::string error, order;
    if (collector::copying::planCopy(row.source, row.target, plan, error)) {
      for (const Carried& pair : plan) order += (order.empty() ? "" : " ") + pair.source.name;
    }
    EXPECT_EQ((error.empty() ? order : error).substr(0, row.order.size()), row.order) << row.what;
  }
  std::vector<Carried> plan;
  std::string error;
  ASSERT_TRUE(collector::copying::planCopy({table("a", {}, {whole})}, {table("a", {}, {truth})},
                                           plan, error));
  EXPECT_EQ(plan[0].columns[0].kind, Kind::boolean);
}

// SQLite's own affinity rules, in their order ("FLOATING POINT" names an
// integer), a truth value beside them; a double's text the same from either
// store, whatever sign its zero has.
TEST(CollectorCopy, DeclaredTypesAreReadAsSqliteReadsThemAndDoublesPrintOneWay) {
  using collector::copying::sqliteKind;
  const std::pair<const char*, Kind> rows[] = {
      {"INTEGER", Kind::integer},  {"FLOATING POINT", Kind::integer},
      {"VARCHAR(20)", Kind::text}, {"DOUBLE PRECISION", Kind::real},
      {"BOOLEAN", Kind::boolean},  {"BLOB", Kind::unknown},
      {"", Kind::unknown}};
  for (const auto& [declared, kind] : rows) EXPECT_EQ(sqliteKind(declared), kind) << declared;
  EXPECT_EQ(collector::copying::canonicalReal(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(collector::copying::canonicalReal(-0.0), "0");
}

}  // namespace
