// The SQLite store: one database file, WAL journal with full sync.
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace collector {

std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error);

}  // namespace collector
