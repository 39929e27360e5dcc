// The PostgreSQL store's queries. Every statement is prepared once per
// connection and run with bound values; text goes out and comes back in
// libpq's text format, numbers through std::to_chars / std::from_chars so
// that no locale touches them.
//
// Several collectors may share the database. A batch locks the rows of the
// players it stores for (SELECT ... FOR UPDATE, in the order of their ids, so
// two batches never wait for each other in a circle) and only then reads each
// player's latest received_ms: a fresh statement after the lock sees every
// report that another instance committed before it, so the wall-time rule
// holds per key across instances.
#include "store/postgres.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <utility>

#include "store/postgres_link.h"
#include "store/postgres_schema.h"
#include "store/sql.h"

namespace collector {

namespace {

using pg::arrayOf;
using pg::check;
using pg::Lease;
using pg::number;
using pg::Result;
using pg::Row;

// The prepared statements, in the order of `statements`.
enum StatementId {
  lockPlayers,
  lastReceived,
  insertReports,
  insertPlayer,
  selectPlayers,
  revoke,
  addDays,
  addTotals,
  boardAllTime,
  boardDays,
  communityDayTotals,
  playerId,
  playerDays,
  playerLast,
  playerFlags,
  exportAll,
  unreviewed,
  review,
  lockReviewedPlayers,
  reviewMarkNow,
  reviewedAfter,
  insertEvent,
  selectEvents,
  deleteEvent,
  eventTotals,
  lockPlayerName,
  playerMiles,
  insertAnnouncement,
  findAnnouncement,
  addDeliveries,
  claimDelivery,
  announcementBody,
  settleDelivery,
  waitingDeliveries,
  pruneOldDeliveries,
  pruneOldAnnouncements,
};

#define TOTALS_ARRAYS                                                                     \
  "SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::text[], $4::double precision[], " \
  "$5::bigint[], $6::bigint[], $7::bigint[], $8::bigint[], $9::text[], $10::text[])"

const pg::Prepared statements[] = {
    {"lock_players",
     "SELECT id, key_hash, name, revoked_ms IS NOT NULL, created_ms, txid_current() FROM "
     "players WHERE key_hash = ANY($1::text[]) ORDER BY id FOR UPDATE"},
    {"last_received",
     // One step down the (player_id, received_ms) index per player, however
     // many reports the player has.
     "SELECT p.id, l.received_ms FROM unnest($1::bigint[]) AS p(id) "
     "CROSS JOIN LATERAL (SELECT received_ms FROM reports r WHERE r.player_id = p.id "
     "ORDER BY r.received_ms DESC LIMIT 1) l"},
    {"insert_reports",
     "INSERT INTO reports (player_id, received_ms, server_id, miles, seconds, truck, trailer, "
     "flag, flag_limit) SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::text[], "
     "$4::double precision[], $5::bigint[], $6::text[], $7::text[], $8::text[], "
     "$9::double precision[])"},
    {"insert_player", sql::insertPlayer},
    {"select_players", sql::selectPlayers},
    {"revoke", sql::revokePlayer},
    {"add_days",
     "INSERT INTO player_days (player_id, day, server_id, miles, seconds, reports, flagged, "
     "last_ms, last_truck, last_trailer) " TOTALS_ARRAYS
     " ON CONFLICT (day, player_id, server_id) DO UPDATE SET " COLLECTOR_TOTALS_UPDATE(
         "player_days")},
    {"add_totals",
     "INSERT INTO player_totals (player_id, server_id, miles, seconds, reports, flagged, "
     "last_ms, last_truck, last_trailer) SELECT a, c, d, e, f, g, h, i, j FROM (" TOTALS_ARRAYS
     ") AS t(a, b, c, d, e, f, g, h, i, j) ON CONFLICT (player_id, server_id) DO UPDATE "
     "SET " COLLECTOR_TOTALS_UPDATE("player_totals")},
    {"board_all_time", sql::boardAllTime},
    {"board_days", sql::boardDays},
    {"community_days", sql::communityDays},
    {"player_id", sql::playerId},
    {"player_days", sql::playerDays},
    {"player_last", sql::playerLast},
    {"player_flags", sql::playerFlags},
    {"export_all", sql::exportAll},
    {"unreviewed", sql::unreviewed},
    {"review",
     "UPDATE reports SET review = $2, reviewed_ms = $3 WHERE id = ANY($1::bigint[]) AND "
     "" COLLECTOR_AWAITING_REVIEW
     " RETURNING id, player_id, received_ms, server_id, miles, seconds"},
    {"lock_reviewed_players",
     "SELECT id FROM players WHERE id IN (SELECT player_id FROM reports WHERE id = "
     "ANY($1::bigint[])) ORDER BY id FOR UPDATE"},
    {"review_mark", sql::reviewMark},
    {"reviewed_since", sql::reviewedSince},
    {"insert_event", sql::insertEvent},
    {"select_events", sql::selectEvents},
    {"delete_event", sql::deleteEvent},
    {"event_totals",
     COLLECTOR_EVENT_TOTALS("(array_agg(r.truck ORDER BY r.received_ms DESC, r.id DESC))[1]",
                            "(array_agg(r.trailer ORDER BY r.received_ms DESC, r.id DESC))[1]")},
    {"lock_player_name", "SELECT id FROM players WHERE name = $1 FOR UPDATE"},
    {"player_miles",
     COLLECTOR_PLAYER_MILES "WHERE t.player_id = ANY($1::bigint[]) GROUP BY t.player_id, p.name"},
    {"insert_announcement", sql::insertAnnouncement},
    {"find_announcement", sql::findAnnouncement},
    {"add_deliveries", sql::addDeliveries},
    {"claim_delivery", COLLECTOR_CLAIM_DELIVERY(" FOR UPDATE SKIP LOCKED")},
    {"announcement_body", sql::announcementBody},
    {"settle_delivery", sql::settleDelivery},
    {"waiting_deliveries", sql::waitingDeliveries},
    {"prune_deliveries", sql::pruneDeliveries},
    {"prune_announcements", sql::pruneAnnouncements},
};

template <class Read>
auto rowsOf(const Result& result, Read read) {
  std::vector<decltype(read(Row{nullptr, 0}))> rows;
  for (int row = 0; row < PQntuples(result.get()); ++row)
    rows.push_back(read(Row{result.get(), row}));
  return rows;
}

std::vector<std::string> dayBounds(const Period& period) {
  std::int64_t fromDay = 0, untilDay = 0;
  daysOf(period, fromDay, untilDay);
  return {number(fromDay), number(untilDay)};
}

class PostgresStore : public Store {
 public:
  explicit PostgresStore(std::string url)
      : link_(std::move(url), statements, sizeof statements / sizeof statements[0]) {}

  bool open(std::string& error) { return pg::createSchema(link_, error); }

  bool addPlayer(const std::string& name, const std::string& keyHash, std::int64_t nowMs,
                 std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(insertPlayer, {name, keyHash, number(nowMs)});
    if (pg::succeeded(result)) return true;
    const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
    if (state && std::strcmp(state, "23505") == 0) {
      error = duplicatePlayerError(name);
      return false;
    }
    return check(result, error);
  }

  bool listPlayers(std::vector<PlayerInfo>& players, std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(selectPlayers, {});
    if (!check(result, error)) return false;
    players = rowsOf(result, sql::playerInfo<Row>);
    sql::sortPlayers(players);
    return true;
  }

  bool revokePlayer(const std::string& name, const std::function<std::int64_t()>& nowMs,
                    std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease || !lease.begin("BEGIN", error)) return false;
    // The player's row lock, which a batch with the player's reports holds
    // until it commits: the time is read once none is under way.
    bool done = check(lease.run(lockPlayerName, {name}), error);
    if (done) {
      Result result = lease.run(revoke, {name, number(nowMs())});
      done = check(result, error);
      if (done && std::strcmp(PQcmdTuples(result.get()), "0") == 0) {
        error = noValidKeyError(name);
        done = false;
      }
    }
    if (done && lease.simple("COMMIT", error)) return true;
    std::string ignored;
    lease.simple("ROLLBACK", ignored);
    return false;
  }

  // Within batchBudget in all. When the answer to COMMIT is lost, the batch
  // is settled before anyone is answered: true only when it committed.
  bool addReports(const std::vector<IncomingReport>& batch, std::vector<AddOutcome>& outcomes,
                  std::string& error) override {
    Lease lease(link_, link_.main, error, pg::batchBudget);
    if (!lease) return false;
    const pg::Clock::time_point settleBy = lease.deadline;
    lease.deadline = std::min(settleBy, pg::Clock::now() + pg::workBudget);
    std::string txid;
    if (!lease.begin("BEGIN", error) || !storeBatch(lease, batch, outcomes, txid, error)) {
      std::string ignored;
      if (lease) lease.simple("ROLLBACK", ignored);
      outcomes.clear();
      return false;
    }
    const int backend = PQbackendPID(lease.connection);
    if (lease.simple("COMMIT", error)) return true;
    // An error the server answered (the session lives on) rolled it back;
    // so did a batch that wrote nothing, whatever became of it.
    if (txid.empty()) return true;
    if (PQstatus(lease.connection) == CONNECTION_OK) {
      outcomes.clear();
      return false;
    }
    const pg::Link::Settled settled = link_.settle(txid, backend, settleBy);
    if (settled == pg::Link::Settled::committed) {
      ++settledCommits_;
      return true;
    }
    outcomes.clear();
    if (settled == pg::Link::Settled::rolledBack) {
      ++settledCommits_;
      error += " (not committed)";
      return false;
    }
    ++unsettledCommits_;
    std::cerr << "PostgreSQL: the commit of transaction " << txid << " (" << batch.size()
              << " reports) lost its answer and could not be settled in time; answered 503; "
                 "SELECT txid_status("
              << txid << ") tells whether it was stored\n";
    error += " (commit not settled)";
    return false;
  }

  bool leaderboard(const Period& period, std::vector<LeaderboardRow>& rows,
                   std::string& error) override {
    Lease lease(link_, link_.boards, error, pg::callTime);
    if (!lease) return false;
    Result result =
        isAllTime(period) ? lease.run(boardAllTime, {}) : lease.run(boardDays, dayBounds(period));
    if (!check(result, error)) return false;
    BoardBuilder builder;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      builder.add(sql::totalsRow(Row{result.get(), row}, false));
    }
    rows = builder.finish();
    return true;
  }

  bool communityDays(const Period& period, std::vector<DayTotals>& days,
                     std::string& error) override {
    Lease lease(link_, link_.boards, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(communityDayTotals, dayBounds(period));
    if (!check(result, error)) return false;
    days = sumDays(rowsOf(result, sql::communityRow<Row>));
    return true;
  }

  bool reviewMark(ReviewMark& mark, std::string& error) override {
    Lease lease(link_, link_.boards, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(reviewMarkNow, {});
    if (!check(result, error)) return false;
    const Row row{result.get(), 0};
    mark = {row.integer(0), row.integer(1)};
    return true;
  }

  bool reviewedSince(std::int64_t sinceMs, std::vector<ReviewedReport>& reports,
                     std::string& error) override {
    Lease lease(link_, link_.boards, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(reviewedAfter, {number(sinceMs)});
    if (!check(result, error)) return false;
    reports = rowsOf(result, [](const Row& row) {
      return ReviewedReport{row.integer(0), row.integer(1)};
    });
    return true;
  }

  bool playerActivity(const std::string& name, const Period& daysPeriod, PlayerView& view,
                      bool& found, std::string& error) override {
    found = true;  // false only once the database said so
    Lease lease(link_, link_.boards, error, pg::callTime);
    if (!lease) return false;
    Result who = lease.run(playerId, {name});
    if (!check(who, error)) return false;
    if (PQntuples(who.get()) == 0) {
      found = false;
      error = noSuchPlayerError(name);
      return false;
    }
    const std::string id = Row{who.get(), 0}.text(0);
    std::vector<std::string> params = dayBounds(daysPeriod);
    params.insert(params.begin(), id);
    Result days = lease.run(playerDays, params);
    Result last = lease.run(playerLast, {id});
    Result flags = lease.run(playerFlags, {id});
    if (!check(days, error) || !check(last, error) || !check(flags, error)) return false;
    view = PlayerView();
    view.totals.playerName = name;
    view.days = sumDays(rowsOf(days, [](const Row& row) { return sql::totalsRow(row, true); }));
    view.lastReports = rowsOf(last, sql::storedReport<Row>);
    view.flags = rowsOf(flags, sql::storedReport<Row>);
    return true;
  }

  bool exportReports(const std::function<void(const StoredReport&)>& each,
                     std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    PGconn* connection = lease.connection;
    // Row by row, so that a large table never sits in memory at once.
    if (!PQsendQueryPrepared(connection, statements[exportAll].name, 0, nullptr, nullptr, nullptr,
                             0) ||
        !PQsetSingleRowMode(connection)) {
      error = pg::firstLine(PQerrorMessage(connection));
      return false;
    }
    bool ok = true;
    while (PGresult* raw = PQgetResult(connection)) {
      Result result(raw, &PQclear);
      const ExecStatusType status = PQresultStatus(raw);
      if (status == PGRES_SINGLE_TUPLE && ok) {
        each(sql::storedReport(Row{raw, 0}));
      } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && ok) {
        error = pg::firstLine(PQresultErrorMessage(raw));
        ok = false;
      }
    }
    return ok;
  }

  bool unreviewedFlags(std::int64_t sinceMs, const std::string& player,
                       std::vector<StoredReport>& reports, std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(unreviewed, {number(sinceMs), player});
    if (!check(result, error)) return false;
    reports = rowsOf(result, sql::storedReport<Row>);
    return true;
  }

  bool reviewFlags(const std::vector<std::int64_t>& ids, bool accept, std::int64_t nowMs,
                   std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease || !lease.begin("BEGIN", error)) return false;
    std::vector<std::string> texts;
    for (std::int64_t id : ids) texts.push_back(number(id));
    // The players' rows are locked first, in the order a batch locks them, so
    // that a review and a batch of another collector never wait in a circle.
    if (!check(lease.run(lockReviewedPlayers, {arrayOf(texts)}), error)) return rollBack(lease);
    Result result =
        lease.run(review, {arrayOf(texts), accept ? "accepted" : "rejected", number(nowMs)});
    if (!check(result, error)) return rollBack(lease);
    TotalsDelta totals;
    std::set<std::int64_t> reviewed;
    enum { id, player, receivedMs, serverId, miles, seconds };
    for (int i = 0; i < PQntuples(result.get()); ++i) {
      const Row row{result.get(), i};
      reviewed.insert(row.integer(id));
      const ReportBody report{"", row.text(serverId), row.real(miles), row.integer(seconds), "",
                              ""};
      addReviewToTotals(totals, row.integer(player), row.integer(receivedMs), report, accept);
    }
    for (std::int64_t each : ids) {
      if (!reviewed.erase(each)) {
        error = notAwaitingReviewError(each);
        return rollBack(lease);
      }
    }
    if (writeTotals(lease, totals, error) && recordMilestones(lease, totals, nowMs, error) &&
        lease.simple("COMMIT", error)) {
      return true;
    }
    return rollBack(lease);
  }

  bool addAnnouncement(const std::string& key, const std::string& body, std::int64_t nowMs,
                       bool& added, std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(insertAnnouncement, {key, body, number(nowMs)});
    if (!check(result, error)) return false;
    added = std::strcmp(PQcmdTuples(result.get()), "1") == 0;
    return true;
  }

  bool hasAnnouncement(const std::string& key, bool& found, std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(findAnnouncement, {key});
    if (!check(result, error)) return false;
    found = PQntuples(result.get()) > 0;
    return true;
  }

  bool claimAnnouncement(const std::string& webhook, std::int64_t sinceMs, std::int64_t nowMs,
                         std::int64_t leaseUntilMs, ClaimedAnnouncement& claimed, bool& found,
                         std::string& error) override {
    found = false;
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    if (!check(lease.run(addDeliveries, {webhook, number(sinceMs), number(nowMs)}), error)) {
      return false;
    }
    Result claim = lease.run(claimDelivery, {webhook, number(nowMs), number(leaseUntilMs)});
    if (!check(claim, error)) return false;
    if (PQntuples(claim.get()) == 0) return true;
    const Row row{claim.get(), 0};
    enum { id, announcement, attempts, createdMs };
    claimed.deliveryId = row.integer(id);
    claimed.attempts = row.integer(attempts);
    claimed.createdMs = row.integer(createdMs);
    Result body = lease.run(announcementBody, {row.text(announcement)});
    if (!check(body, error)) return false;
    found = PQntuples(body.get()) > 0;
    if (found) claimed.body = Row{body.get(), 0}.text(0);
    return true;
  }

  bool settleAnnouncement(std::int64_t deliveryId, Delivery outcome, std::int64_t atMs,
                          std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    const sql::SettledDelivery settled = sql::settled(outcome, atMs);
    return check(lease.run(settleDelivery, {number(deliveryId), settled.state,
                                            number(settled.nextMs), number(settled.doneMs)}),
                 error);
  }

  bool announcementsWaiting(const std::string& webhook, std::int64_t& count,
                            std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(waitingDeliveries, {webhook});
    if (!check(result, error)) return false;
    count = Row{result.get(), 0}.integer(0);
    return true;
  }

  bool pruneAnnouncements(std::int64_t beforeMs, std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease || !lease.begin("BEGIN", error)) return false;
    if (check(lease.run(pruneOldDeliveries, {number(beforeMs)}), error) &&
        check(lease.run(pruneOldAnnouncements, {number(beforeMs)}), error) &&
        lease.simple("COMMIT", error)) {
      return true;
    }
    return rollBack(lease);
  }

  std::vector<Gauge> gauges() override {
    return {
        {"vorn_commits_settled",
         "PostgreSQL commits since the start whose answer was lost, looked up before answering.",
         static_cast<double>(settledCommits_.load())},
        {"vorn_commits_unsettled",
         "PostgreSQL commits since the start whose answer was lost and could not be looked up "
         "in time (answered 503; the log names each transaction).",
         static_cast<double>(unsettledCommits_.load())}};
  }

  bool healthy() override { return link_.probe(); }

  bool addEvent(Event& event, std::int64_t nowMs, std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    Result result =
        lease.run(insertEvent, {event.name, number(event.startMs), number(event.endMs),
                                joinServers(event.servers), event.description, number(nowMs)});
    if (!check(result, error)) return false;
    event.id = Row{result.get(), 0}.integer(0);
    return true;
  }

  bool listEvents(std::vector<Event>& events, std::string& error) override {
    Lease lease(link_, link_.boards, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(selectEvents, {});
    if (!check(result, error)) return false;
    events = rowsOf(result, sql::event<Row>);
    return true;
  }

  bool removeEvent(std::int64_t id, std::string& error) override {
    Lease lease(link_, link_.main, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(deleteEvent, {number(id)});
    if (!check(result, error)) return false;
    if (std::strcmp(PQcmdTuples(result.get()), "1") != 0) {
      error = noSuchEventError(id);
      return false;
    }
    return true;
  }

  bool eventBoard(const Event& event, std::vector<LeaderboardRow>& rows,
                  std::string& error) override {
    Lease lease(link_, link_.boards, error, pg::callTime);
    if (!lease) return false;
    Result result = lease.run(eventTotals, {number(event.startMs), number(event.endMs)});
    if (!check(result, error)) return false;
    rows =
        eventRows(event, rowsOf(result, [](const Row& row) { return sql::totalsRow(row, false); }));
    return true;
  }

 private:
  static bool rollBack(Lease& lease) {
    std::string ignored;
    lease.simple("ROLLBACK", ignored);
    return false;
  }

  // Three statements for a whole batch, each with arrays as its values:
  // lock the players' rows, read their latest reports, insert the reports.
  bool storeBatch(Lease& lease, const std::vector<IncomingReport>& batch,
                  std::vector<AddOutcome>& outcomes, std::string& txid, std::string& error) {
    std::set<std::string> keyHashes;
    for (const IncomingReport& report : batch) keyHashes.insert(report.keyHash);
    Result locked = lease.run(
        lockPlayers, {arrayOf(std::vector<std::string>(keyHashes.begin(), keyHashes.end()))});
    if (!check(locked, error)) return false;
    std::map<std::string, KeyHolder> holders;  // by key hash
    std::map<std::int64_t, KeyHolder*> byId;
    std::vector<std::string> ids;
    enum { id, keyHash, name, revoked, createdMs, transaction };
    for (int i = 0; i < PQntuples(locked.get()); ++i) {
      const Row row{locked.get(), i};
      KeyHolder& holder = holders[row.text(keyHash)];
      holder.known = true;
      holder.id = row.integer(id);
      holder.name = row.text(name);
      holder.revoked = row.text(revoked) == "t";
      holder.createdMs = row.integer(createdMs);
      byId[holder.id] = &holder;
      txid = row.text(transaction);
      ids.push_back(number(holder.id));
    }
    // Read only now, after the locks: another collector's report committed
    // while this batch waited for a lock is seen here.
    Result latest = lease.run(lastReceived, {arrayOf(ids)});
    if (!check(latest, error)) return false;
    for (int i = 0; i < PQntuples(latest.get()); ++i) {
      const Row row{latest.get(), i};
      KeyHolder& holder = *byId[row.integer(0)];
      holder.reported = true;
      holder.lastReceivedMs = row.integer(1);
    }
    std::vector<std::string> columns[9];
    TotalsDelta totals;
    std::int64_t latestMs = 0;  // of the stored reports: when their milestones were reached
    outcomes.assign(batch.size(), AddOutcome::unknownKey);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const IncomingReport& report = batch[i];
      KeyHolder& holder = holders[report.keyHash];
      const ReportDecision decision = decideReport(report, holder);
      outcomes[i] = decision.outcome;
      if (decision.outcome != AddOutcome::stored && decision.outcome != AddOutcome::storedFlagged) {
        continue;
      }
      const std::string values[9] = {number(holder.id),
                                     number(report.receivedMs),
                                     report.serverId,
                                     number(report.miles),
                                     number(report.seconds),
                                     report.truck,
                                     report.trailer,
                                     decision.flag,
                                     number(decision.flagLimit)};
      for (int column = 0; column < 9; ++column) columns[column].push_back(values[column]);
      noteStored(holder, report.receivedMs);
      addToTotals(totals, holder.id, report.receivedMs, report, decision.flag.empty());
      latestMs = std::max(latestMs, report.receivedMs);
    }
    if (columns[0].empty()) return true;
    std::vector<std::string> arrays;
    for (const auto& column : columns) arrays.push_back(arrayOf(column));
    return check(lease.run(insertReports, arrays), error) && writeTotals(lease, totals, error) &&
           recordMilestones(lease, totals, latestMs, error);
  }

  // Records the milestones that the totals just written reached, at `atMs`
  // (in the same transaction, whose players' rows are locked).
  static bool recordMilestones(Lease& lease, const TotalsDelta& totals, std::int64_t atMs,
                               std::string& error) {
    std::vector<std::string> players;
    for (const std::int64_t player : playersGainingMiles(totals)) players.push_back(number(player));
    if (players.empty()) return true;
    Result read = lease.run(playerMiles, {arrayOf(players)});
    if (!check(read, error)) return false;
    std::map<std::int64_t, PlayerMiles> after;
    for (int i = 0; i < PQntuples(read.get()); ++i) {
      const Row row{read.get(), i};
      after[row.integer(0)] = {row.text(1), row.real(2)};
    }
    for (const NewAnnouncement& reached : milestonesReached(totals, after)) {
      if (!check(lease.run(insertAnnouncement, {reached.key, reached.body, number(atMs)}), error))
        return false;
    }
    return true;
  }

  // Adds a batch's totals, each row of it once (a batch is folded per row
  // first: one statement may not update a row twice).
  static bool writeTotals(Lease& lease, const TotalsDelta& totals, std::string& error) {
    std::vector<std::string> columns[2][10];
    for (const auto& entry : totals) {
      const TotalsRow& row = entry.second;
      const std::string values[10] = {
          number(row.playerId), number(row.day == allTimeDay ? 0 : row.day),
          row.serverId,         number(row.miles),
          number(row.seconds),  number(row.reports),
          number(row.flagged),  number(row.lastMs),
          row.lastTruck,        row.lastTrailer};
      auto& target = columns[row.day == allTimeDay ? 1 : 0];
      for (int column = 0; column < 10; ++column) target[column].push_back(values[column]);
    }
    for (int table = 0; table < 2; ++table) {
      std::vector<std::string> arrays;
      for (const auto& column : columns[table]) arrays.push_back(arrayOf(column));
      if (!check(lease.run(table == 0 ? addDays : addTotals, arrays), error)) return false;
    }
    return true;
  }

  pg::Link link_;
  std::atomic<std::uint64_t> settledCommits_{0};
  std::atomic<std::uint64_t> unsettledCommits_{0};
};

}  // namespace

std::unique_ptr<Store> openPostgresStore(const std::string& url, std::string& error) {
  auto store = std::make_unique<PostgresStore>(url);
  if (!store->open(error)) return nullptr;
  return store;
}

}  // namespace collector
