// The store's calls of players, boards, reviews and events, written once
// over the seam.
#include "store/core.h"

#include <set>

namespace collector {

using namespace seam;

namespace {

using sql::Query;

std::vector<Value> dayBounds(const Period& period) {
  std::int64_t fromDay = 0, untilDay = 0;
  daysOf(period, fromDay, untilDay);
  return {fromDay, untilDay};
}

TotalsRow boardRow(const Row& row) { return sql::totalsRow(row, false); }

// Commits, or rolls back and fails.
bool settle(Session& session, bool done, std::string& error) {
  if (done && session.commit(error)) return true;
  session.rollBack();
  return false;
}

}  // namespace

bool CoreStore::addPlayer(const std::string& name, const std::string& keyHash, std::int64_t nowMs,
                          std::string& error) {
  auto session = backend_->session(Use::players, error);
  if (!session) return false;
  if (session->run(Query::insertPlayer, {name, keyHash, nowMs}, {}, error)) return true;
  if (session->duplicate()) error = duplicatePlayerError(name);
  return false;
}

bool CoreStore::listPlayers(std::vector<PlayerInfo>& players, std::string& error) {
  auto session = backend_->session(Use::read, error);
  if (!session ||
      !readAll(*session, Query::selectPlayers, {}, players, sql::playerInfo<Row>, error)) {
    return false;
  }
  sql::sortPlayers(players);
  return true;
}

bool CoreStore::revokePlayer(const std::string& name, const std::function<std::int64_t()>& nowMs,
                             std::string& error) {
  auto session = backend_->session(Use::players, error);
  if (!session || !session->begin(error)) return false;
  // The time is read once the player's row is locked: no batch of its
  // reports is under way then.
  bool done = session->run(Query::lockPlayerName, {name}, {}, error) &&
              session->run(Query::revokePlayer, {name, nowMs()}, {}, error);
  const std::int64_t changed = done ? session->changed() : 0;
  // A join link made before holds the revoked key: void.
  done = done && session->run(Query::voidLinks, {std::string("join"), name}, {}, error);
  if (done && changed != 1) {
    error = noValidKeyError(name);
    done = false;
  }
  return settle(*session, done, error);
}

bool CoreStore::leaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                            std::string& error) {
  auto session = backend_->session(Use::boards, error);
  if (!session || !session->snapshot(error)) return false;
  // All time from player_totals, any other period from its days' player_days.
  const bool allTime = isAllTime(period);
  BoardBuilder builder;
  if (!session->run(
          allTime ? Query::boardAllTime : Query::boardDays,
          allTime ? std::vector<Value>() : dayBounds(period),
          [&builder](const Row& row) { builder.add(boardRow(row)); }, error)) {
    return false;
  }
  rows = builder.finish();
  return true;
}

bool CoreStore::communityDays(const Period& period, std::vector<DayTotals>& days,
                              std::string& error) {
  auto session = backend_->session(Use::boards, error);
  std::vector<TotalsRow> rows;
  if (!session || !readAll(*session, Query::communityDays, dayBounds(period), rows,
                           sql::communityRow<Row>, error)) {
    return false;
  }
  days = sumDays(rows);
  return true;
}

bool CoreStore::playerActivity(const std::string& name, const Period& daysPeriod, PlayerView& view,
                               bool& found, std::string& error) {
  found = true;  // false only once the database said so
  auto session = backend_->session(Use::boards, error);
  if (!session || !session->snapshot(error)) return false;
  std::int64_t playerId = 0;
  bool known = false;
  if (!session->run(
          Query::playerId, {name},
          [&](const Row& row) {
            playerId = row.integer(0);
            known = true;
          },
          error)) {
    return false;
  }
  if (!known) {
    found = false;
    error = noSuchPlayerError(name);
    return false;
  }
  view = PlayerView();
  view.totals.playerName = name;
  std::vector<Value> days = dayBounds(daysPeriod);
  days.insert(days.begin(), playerId);
  std::vector<TotalsRow> dayRows;
  if (!readAll(
          *session, Query::playerDays, days, dayRows,
          [](const Row& row) { return sql::totalsRow(row, true); }, error) ||
      !readAll(*session, Query::playerLast, {playerId}, view.lastReports, sql::toldReport<Row>,
               error) ||
      !readAll(*session, Query::playerFlags, {playerId}, view.flags, sql::toldReport<Row>,
               error)) {
    return false;
  }
  view.days = sumDays(dayRows);
  return true;
}

bool CoreStore::reviewMark(ReviewMark& mark, std::string& error) {
  auto session = backend_->session(Use::boards, error);
  return session && session->run(
                        Query::reviewMark, {},
                        [&mark](const Row& row) {
                          mark = {row.integer(0), row.integer(1)};
                        },
                        error);
}

bool CoreStore::reviewedSince(std::int64_t sinceMs, std::vector<ReviewedReport>& reports,
                              std::string& error) {
  auto session = backend_->session(Use::boards, error);
  return session && readAll(
                        *session, Query::reviewedSince, {sinceMs}, reports,
                        [](const Row& row) {
                          return ReviewedReport{row.integer(0), row.integer(1)};
                        },
                        error);
}

bool CoreStore::exportReports(const std::function<void(const StoredReport&)>& each,
                              std::string& error) {
  auto session = backend_->session(Use::read, error);
  return session &&
         session->stream(
             Query::exportAll, [&each](const Row& row) { each(sql::storedReport(row)); }, error);
}

bool CoreStore::unreviewedFlags(std::int64_t sinceMs, const std::string& player,
                                std::vector<StoredReport>& reports, std::string& error) {
  auto session = backend_->session(Use::read, error);
  return session && readAll(*session, Query::unreviewed, {sinceMs, player}, reports,
                            sql::toldReport<Row>, error);
}

bool CoreStore::reviewFlags(const std::vector<std::int64_t>& ids, bool accept, std::int64_t nowMs,
                            std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->begin(error)) return false;
  const std::string review = accept ? "accepted" : "rejected";
  TotalsDelta totals;
  std::set<std::int64_t> reviewed;
  const EachRow each = [&](const Row& row) {
    enum { id, player, receivedMs, serverId, miles, seconds };
    reviewed.insert(row.integer(id));
    const ReportBody report{"", row.text(serverId), row.real(miles), row.integer(seconds), "", ""};
    addReviewToTotals(totals, row.integer(player), row.integer(receivedMs), report, accept);
  };
  bool done = true;
  // The players' rows first, in the order a batch locks them.
  for (std::size_t i = 0; done && i < ids.size(); ++i) {
    done = session->add(Query::lockReviewedPlayers, {ids[i]}, {}, error) == Added::ok;
  }
  done = done && session->flush(Query::lockReviewedPlayers, {}, error);
  for (std::size_t i = 0; done && i < ids.size(); ++i) {
    done = session->add(Query::review, {ids[i], review, nowMs}, each, error) == Added::ok;
  }
  done = done && session->flush(Query::review, each, error);
  for (std::size_t i = 0; done && i < ids.size(); ++i) {
    if (!reviewed.erase(ids[i])) {
      error = notAwaitingReviewError(ids[i]);
      done = false;
    }
  }
  // A COMMIT whose answer was lost is settled as the intake's is: the
  // reviews are told stored only when they were, and not stored only when
  // they were not.
  if (done && writeTotals(*session, totals, nowMs, publicUrl_, error) && session->commitSettled(error)) {
    return true;
  }
  session->rollBack();
  return false;
}

bool CoreStore::addEvent(Event& event, std::int64_t nowMs, std::string& error) {
  auto session = backend_->session(Use::write, error);
  return session && session->run(
                        Query::insertEvent,
                        {event.name, event.startMs, event.endMs, joinServers(event.servers),
                         event.description, nowMs},
                        [&event](const Row& row) { event.id = row.integer(0); }, error);
}

bool CoreStore::listEvents(std::vector<Event>& events, std::string& error) {
  auto session = backend_->session(Use::boards, error);
  return session && readAll(*session, Query::selectEvents, {}, events, sql::event<Row>, error);
}

bool CoreStore::pruneEvents(std::int64_t endedBeforeMs, std::int64_t& removed,
                            std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->run(Query::pruneEvents, {endedBeforeMs}, {}, error)) return false;
  removed = session->changed();
  return true;
}

bool CoreStore::removeEvent(std::int64_t id, std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->run(Query::deleteEvent, {id}, {}, error)) return false;
  if (session->changed() == 1) return true;
  error = noSuchEventError(id);
  return false;
}

bool CoreStore::changeEvent(const Event& event, std::string& error) {
  auto session = backend_->session(Use::write, error);
  if (!session || !session->run(Query::updateEvent,
                                {event.id, event.name, event.startMs, event.endMs,
                                 joinServers(event.servers), event.description},
                                {}, error)) {
    return false;
  }
  if (session->changed() == 1) return true;
  error = noSuchEventError(event.id);
  return false;
}

bool CoreStore::eventBoard(const Event& event, std::vector<LeaderboardRow>& rows,
                           std::string& error) {
  auto session = backend_->session(Use::boards, error);
  std::vector<TotalsRow> totals;
  if (!session || !readAll(*session, Query::eventTotals, {event.startMs, event.endMs}, totals,
                           boardRow, error)) {
    return false;
  }
  rows = eventRows(event, totals);
  return true;
}

}  // namespace collector
