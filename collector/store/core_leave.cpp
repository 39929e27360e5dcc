// The store's calls of players' leave and latest reports, written once over
// the seam.
#include "store/core.h"

namespace collector {

using namespace seam;
using sql::Query;

bool CoreStore::addLeave(const std::string& name, std::int64_t fromDay, std::int64_t toDay,
                         std::int64_t nowMs, std::string& error) {
  auto session = backend_->session(Use::players, error);
  if (!session || !session->run(Query::insertLeave, {name, fromDay, toDay, nowMs}, {}, error)) {
    return false;
  }
  if (session->changed() == 1) return true;
  error = noSuchPlayerError(name);
  return false;
}

bool CoreStore::clearLeave(const std::string& name, std::int64_t& removed, std::string& error) {
  removed = 0;
  auto session = backend_->session(Use::players, error);
  if (!session || !session->begin(error)) return false;
  std::int64_t playerId = 0;
  bool known = false;
  bool done = session->run(
      Query::playerId, {name},
      [&](const Row& row) {
        playerId = row.integer(0);
        known = true;
      },
      error);
  if (done && !known) {
    error = noSuchPlayerError(name);
    done = false;
  }
  done = done && session->run(Query::deleteLeave, {playerId}, {}, error);
  if (done) removed = session->changed();
  if (done && session->commit(error)) return true;
  session->rollBack();
  return false;
}

bool CoreStore::listLeave(std::int64_t fromDay, std::int64_t untilDay,
                          std::vector<PlayerLeave>& leave, std::string& error) {
  auto session = backend_->session(Use::read, error);
  return session && readAll(
                        *session, Query::selectLeave, {fromDay, untilDay}, leave,
                        [](const Row& row) {
                          return PlayerLeave{row.text(0), row.integer(1), row.integer(2)};
                        },
                        error);
}

bool CoreStore::playerLasts(std::vector<PlayerLasts>& lasts, std::string& error) {
  auto session = backend_->session(Use::read, error);
  return session && session->snapshot(error) &&
         readAll(
             *session, Query::playerLasts, {}, lasts,
             [](const Row& row) {
               return PlayerLasts{row.text(0), row.integer(1), row.integer(2)};
             },
             error);
}

}  // namespace collector
