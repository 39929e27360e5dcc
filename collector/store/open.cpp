// The one place that chooses a store implementation, from the database URL.
#include "store/postgres.h"
#include "store/sqlite.h"
#include "store/store.h"

namespace collector {

std::unique_ptr<Store> openStore(const std::string& url, std::string& error) {
  const std::string sqlitePrefix = "sqlite:";
  if (url.compare(0, sqlitePrefix.size(), sqlitePrefix) == 0) {
    return openSqliteStore(url.substr(sqlitePrefix.size()), error);
  }
  if (url.compare(0, 13, "postgresql://") == 0 || url.compare(0, 11, "postgres://") == 0) {
    return openPostgresStore(url, error);
  }
  error = "unknown database URL '" + url + "' (expected sqlite:PATH or postgresql://...)";
  return nullptr;
}

}  // namespace collector
