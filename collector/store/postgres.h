// The PostgreSQL store: one shared database for several collector instances,
// reached through libpq with a small pool of connections.
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace collector {

// `url` is libpq's connection URI, "postgresql://..." or "postgres://...".
std::unique_ptr<Store> openPostgresStore(const std::string& url, std::string& error);

}  // namespace collector
