// The move between stores: every table of one database copied into another
// (SQLite into PostgreSQL and back), and checked.
//
// The tables are those the source's schema holds, found by walking it, so a
// table added to the schema later is carried with no change here; one the
// target lacks, or whose columns cannot be carried, stops the copy with its
// name. Values are read as the kinds the two ends' column types agree on.
// The source is read in one snapshot; the target is written in one
// transaction, parents before the tables that refer to them, ids as they
// are, and only into tables that hold no rows. The ids each table's store
// gives from then on are past every id the source ever gave (an event's id
// is never given twice). Before the commit, each table is compared both
// ways: its rows in the source that are not in the target, and those in the
// target that are not in the source; any difference rolls the copy back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace collector {

struct CopyResult {
  enum class Outcome { same, differs, failed } outcome = Outcome::failed;
  std::string error;                     // failed: why
  std::vector<std::string> differences;  // differs: per table, what
  std::int64_t tables = 0;               // carried (or compared)
  std::int64_t rows = 0;
};

// Both URLs as the store takes them (sqlite:PATH, postgresql://...), each
// database already of this build's schema. `told` hears each table copied.
CopyResult copyDatabase(const std::string& fromUrl, const std::string& toUrl,
                        const std::function<void(const std::string&)>& told);

// The comparison alone, of the two databases as they are.
CopyResult compareDatabases(const std::string& fromUrl, const std::string& toUrl);

}  // namespace collector
