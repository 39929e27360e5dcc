// The comparison of a copy's two ends, table by table and both ways.
//
// Each table's rows are counted and summed as digests (SHA-256 of the row's
// canonical values, added up lane by lane), which is the same on both ends
// exactly when they hold the same rows, in any order, each as many times.
// Only a table whose sums differ is read again to name its rows: those of
// the source with no equal row in the target, and those of the target with
// none in the source.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/text.h"
#include "store/copy_side.h"

namespace collector {
namespace copying {

namespace {

using Digest = std::array<std::uint64_t, 4>;

// Rows named per table and direction, at most.
constexpr std::size_t namedRows = 3;

Digest rowDigest(const Row& row) {
  std::string bytes;
  for (const Value& value : row) {
    if (!value) {
      bytes += 'N';
      continue;
    }
    bytes += 'V' + std::to_string(value->size()) + ':';
    bytes += *value;
  }
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  Digest digest{};
  if (sha256 && EVP_Digest(bytes.data(), bytes.size(), hash, &size, sha256, nullptr) == 1) {
    std::memcpy(digest.data(), hash, sizeof digest);
  }
  return digest;
}

struct Sum {
  std::int64_t rows = 0;
  Digest digest{};
  bool operator==(const Sum& other) const { return rows == other.rows && digest == other.digest; }
};

bool sumOf(Side& side, const Carried& pair, const Table& table, Sum& sum, std::string& error) {
  return side.read(
      table, pair.columns,
      [&](const Row& row, std::string&) {
        const Digest digest = rowDigest(row);
        for (std::size_t lane = 0; lane < digest.size(); ++lane) sum.digest[lane] += digest[lane];
        ++sum.rows;
        return true;
      },
      error);
}

// A row as a message names it: its first column's value.
std::string label(const Carried& pair, const Row& row) {
  std::string value = row.empty() || !row[0] ? "NULL" : *row[0];
  if (value.size() > 40) {  // cut between two UTF-8 characters
    std::size_t cut = 40;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
    value = value.substr(0, cut) + "...";
  }
  value = terminalSafe(value);
  return pair.columns.empty() ? "" : pair.columns[0].name + " " + value;
}

struct Unmatched {
  std::int64_t count = 0;
  std::vector<std::string> labels;
  void add(const Carried& pair, const Row& row) {
    if (++count <= static_cast<std::int64_t>(namedRows)) labels.push_back(label(pair, row));
  }
  std::string said(const std::string& table, const char* where, const char* notWhere) const {
    std::string text = "table " + table + ": " + counted(count, "row") + " in " + where +
                       " with no equal row in " + notWhere + " (";
    for (std::size_t i = 0; i < labels.size(); ++i) text += (i ? ", " : "") + labels[i];
    return text + (count > static_cast<std::int64_t>(labels.size()) ? ", ...)" : ")");
  }
};

// One multiset of digests, each taken once: a row with no unused equal
// entry is unmatched.
struct Taken {
  std::vector<Digest> digests;
  std::vector<bool> used;
  bool take(const Digest& digest) {
    auto at = std::lower_bound(digests.begin(), digests.end(), digest);
    for (; at != digests.end() && *at == digest; ++at) {
      const auto index = static_cast<std::size_t>(at - digests.begin());
      if (!used[index]) return used[index] = true;
    }
    return false;
  }
};

// Names the rows of a table whose sums differ, both ways: the source's
// digests kept (32 bytes a row), the target's rows taken from them, then
// the source's rows read again to name those left.
bool nameDifferences(Side& source, Side& target, const Carried& pair,
                     std::vector<std::string>& differences, std::string& error) {
  Taken fromSource, leftInSource;
  if (!source.read(
          pair.source, pair.columns,
          [&](const Row& row, std::string&) {
            fromSource.digests.push_back(rowDigest(row));
            return true;
          },
          error)) {
    return false;
  }
  std::sort(fromSource.digests.begin(), fromSource.digests.end());
  fromSource.used.assign(fromSource.digests.size(), false);
  Unmatched onlyTarget, onlySource;
  if (!target.read(
          pair.target, pair.columns,
          [&](const Row& row, std::string&) {
            if (!fromSource.take(rowDigest(row))) onlyTarget.add(pair, row);
            return true;
          },
          error)) {
    return false;
  }
  // What the target did not take, each row once.
  for (std::size_t i = 0; i < fromSource.digests.size(); ++i) {
    if (!fromSource.used[i]) leftInSource.digests.push_back(fromSource.digests[i]);
  }
  leftInSource.used.assign(leftInSource.digests.size(), false);
  if (!leftInSource.digests.empty() && !source.read(
                                           pair.source, pair.columns,
                                           [&](const Row& row, std::string&) {
                                             if (leftInSource.take(rowDigest(row)))
                                               onlySource.add(pair, row);
                                             return true;
                                           },
                                           error)) {
    return false;
  }
  if (onlySource.count > 0) {
    differences.push_back(onlySource.said(pair.source.name, "the source", "the target"));
  }
  if (onlyTarget.count > 0) {
    differences.push_back(onlyTarget.said(pair.source.name, "the target", "the source"));
  }
  return true;
}

// The ids the target gives next are past every id the source gave, where
// the target's store keeps them so.
bool compareIds(Side& source, Side& target, const Carried& pair,
                std::vector<std::string>& differences, std::string& error) {
  if (pair.source.idColumn.empty() || pair.target.idColumn.empty()) return true;
  std::int64_t given = 0, kept = 0;
  bool sourceKeeps = false, targetKeeps = false;
  if (!source.highestId(pair.source, given, sourceKeeps, error) ||
      !target.highestId(pair.target, kept, targetKeeps, error)) {
    return false;
  }
  if (targetKeeps && kept < given) {
    differences.push_back("table " + pair.source.name + ": the source gave ids up to " +
                          std::to_string(given) + ", the target gives " + std::to_string(kept + 1) +
                          " next");
  }
  return true;
}

}  // namespace

bool compareTables(Side& source, Side& target, const std::vector<Carried>& plan,
                   std::vector<std::string>& differences, std::int64_t& rows, std::string& error) {
  for (const Carried& pair : plan) {
    Sum there, here;
    const std::size_t before = differences.size();
    if (!sumOf(source, pair, pair.source, there, error) ||
        !sumOf(target, pair, pair.target, here, error) ||
        (!(there == here) && !nameDifferences(source, target, pair, differences, error)) ||
        !compareIds(source, target, pair, differences, error)) {
      error = "comparing table " + pair.source.name + ": " + error;
      return false;
    }
    if (!(there == here) && differences.size() == before) {
      differences.push_back("table " + pair.source.name + ": the rows differ");
    }
    rows += there.rows;
  }
  return true;
}

}  // namespace copying
}  // namespace collector
