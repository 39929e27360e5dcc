// The PostgreSQL store's schema and its upgrade.
#pragma once

#include <string>

#include "store/postgres_link.h"

namespace collector {
namespace pg {

// Creates the tables, or upgrades those of an earlier schema version: the
// totals are built from `reports` in the same transaction that records the
// new version, under a lock that other collectors starting at once wait for.
bool createSchema(Link& link, std::string& error);

}  // namespace pg
}  // namespace collector
