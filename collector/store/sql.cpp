// Each statement's text for each database, in the order of sql::Query.
#include "store/sql.h"

namespace collector {
namespace sql {

namespace {

#define COLLECTOR_REPORT_VALUES                                                                    \
  "INSERT INTO reports (player_id, received_ms, server_id, miles, seconds, truck, trailer, flag, " \
  "flag_limit) "
#define COLLECTOR_TOTALS_ARRAYS                                                           \
  "SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::text[], $4::double precision[], " \
  "$5::bigint[], $6::bigint[], $7::bigint[], $8::bigint[], $9::text[], $10::text[])"
#define COLLECTOR_DAYS_INTO                                                                \
  "INSERT INTO player_days (player_id, day, server_id, miles, seconds, reports, flagged, " \
  "last_ms, last_truck, last_trailer) "
#define COLLECTOR_DAYS_CONFLICT \
  " ON CONFLICT (day, player_id, server_id) DO UPDATE SET " COLLECTOR_TOTALS_UPDATE("player_days")
#define COLLECTOR_TOTALS_INTO                                                           \
  "INSERT INTO player_totals (player_id, server_id, miles, seconds, reports, flagged, " \
  "last_ms, last_truck, last_trailer) "
#define COLLECTOR_TOTALS_CONFLICT                      \
  " ON CONFLICT (player_id, server_id) DO UPDATE SET " \
  "" COLLECTOR_TOTALS_UPDATE("player_totals")
#define COLLECTOR_REVIEW(which)                                   \
  "UPDATE reports SET review = $2, reviewed_ms = $3 WHERE " which \
  " AND " COLLECTOR_AWAITING_REVIEW                               \
  " RETURNING id, player_id, received_ms, server_id, miles, seconds"
// The latest of the report of an event's window, picked by each database.
#define COLLECTOR_LATEST(column) \
  "(array_agg(r." column " ORDER BY r.received_ms DESC, r.id DESC))[1]"

constexpr unsigned allArrays = ~0u;

}  // namespace

const Text statements[static_cast<int>(Query::count)] = {
    {"insert_player", insertPlayer, insertPlayer},
    {"select_players", selectPlayers, selectPlayers},
    // The player's row lock, which a batch with the player's reports holds
    // until it commits.
    {"lock_player_name", nullptr, "SELECT id FROM players WHERE name = $1 FOR UPDATE"},
    {"revoke", revokePlayer, revokePlayer},
    {"player_id", playerId, playerId},

    {"find_player",
     "SELECT id, name, revoked_ms IS NOT NULL, created_ms FROM players WHERE key_hash = $1",
     nullptr},
    {"last_received_one", "SELECT max(received_ms) FROM reports WHERE player_id = $1", nullptr},
    {"lock_players", nullptr,
     "SELECT id, key_hash, name, revoked_ms IS NOT NULL, created_ms, txid_current() FROM "
     "players WHERE key_hash = ANY($1::text[]) ORDER BY id FOR UPDATE"},
    // The players' latest reports (null: none), one step down the
    // (player_id, received_ms) index per player however many reports the
    // player has, and their counted all-time miles as player_miles sums them.
    {"last_received", nullptr,
     "SELECT p.id, (SELECT r.received_ms FROM reports r WHERE r.player_id = p.id "
     "ORDER BY r.received_ms DESC LIMIT 1), coalesce((SELECT sum(" COLLECTOR_MICRO_MILES(
         "t.miles") ") FROM player_totals t WHERE t.player_id = p.id), 0) / 1000000 "
     "FROM players p WHERE p.key_hash = ANY($1::text[])"},
    {"insert_reports", COLLECTOR_REPORT_VALUES "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
     COLLECTOR_REPORT_VALUES
     "SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::text[], $4::double precision[], "
     "$5::bigint[], $6::text[], $7::text[], $8::text[], $9::double precision[])",
     allArrays},

    // Adds a batch's TotalsRow to its stored row, or stores it as the first;
    // the all-time rows leave out the day ($2).
    {"add_days",
     COLLECTOR_DAYS_INTO "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)" COLLECTOR_DAYS_CONFLICT,
     COLLECTOR_DAYS_INTO COLLECTOR_TOTALS_ARRAYS COLLECTOR_DAYS_CONFLICT, allArrays},
    {"add_totals",
     COLLECTOR_TOTALS_INTO "VALUES ($1, $3, $4, $5, $6, $7, $8, $9, $10)" COLLECTOR_TOTALS_CONFLICT,
     COLLECTOR_TOTALS_INTO "SELECT a, c, d, e, f, g, h, i, j FROM (" COLLECTOR_TOTALS_ARRAYS
                           ") AS t(a, b, c, d, e, f, g, h, i, j)" COLLECTOR_TOTALS_CONFLICT,
     allArrays},
    {"player_miles", COLLECTOR_PLAYER_MILES "WHERE t.player_id = $1 GROUP BY t.player_id, p.name",
     COLLECTOR_PLAYER_MILES "WHERE t.player_id = ANY($1::bigint[]) GROUP BY t.player_id, p.name",
     allArrays},
    {"board_all_time", boardAllTime, boardAllTime},
    {"board_days", boardDays, boardDays},
    {"community_days", communityDays, communityDays},
    {"player_days", playerDays, playerDays},
    {"player_last", playerLast, playerLast},
    {"player_flags", playerFlags, playerFlags},
    {"review_mark", reviewMark, reviewMark},
    {"reviewed_since", reviewedSince, reviewedSince},

    {"export_all", exportAll, exportAll},
    {"unreviewed", unreviewed, unreviewed},
    // The players' rows of reports to review, locked in the order a batch
    // locks them, so that a review and a batch of another collector never
    // wait in a circle.
    {"lock_reviewed_players", nullptr,
     "SELECT id FROM players WHERE id IN (SELECT player_id FROM reports WHERE id = "
     "ANY($1::bigint[])) ORDER BY id FOR UPDATE",
     allArrays},
    {"review", COLLECTOR_REVIEW("id = $1"), COLLECTOR_REVIEW("id = ANY($1::bigint[])"), 1},

    {"insert_event", insertEvent, insertEvent},
    {"select_events", selectEvents, selectEvents},
    {"delete_event", deleteEvent, deleteEvent},
    {"prune_events", pruneEvents, pruneEvents},
    {"update_event", updateEvent, updateEvent},
    // SQLite takes a bare column from the row of max(received_ms).
    {"event_totals", COLLECTOR_EVENT_TOTALS("r.truck", "r.trailer", "max"),
     COLLECTOR_EVENT_TOTALS(COLLECTOR_LATEST("truck"), COLLECTOR_LATEST("trailer"), "greatest")},

    {"insert_announcement", insertAnnouncement, insertAnnouncement},
    {"find_announcement", findAnnouncement, findAnnouncement},
    {"add_deliveries", addDeliveries, addDeliveries},
    // SQLite is one machine: the collector's clock is the database's.
    {"claim_delivery", COLLECTOR_CLAIM_DELIVERY("$2", ""),
     COLLECTOR_CLAIM_DELIVERY("(extract(epoch FROM now()) * 1000)::bigint",
                              " FOR UPDATE SKIP LOCKED")},
    {"announcement_body", announcementBody, announcementBody},
    {"settle_delivery", settleDelivery, settleDelivery},
    {"waiting_deliveries", waitingDeliveries, waitingDeliveries},
    {"given_up_deliveries", givenUpDeliveries, givenUpDeliveries},
    {"prune_deliveries", pruneDeliveries, pruneDeliveries},
    {"prune_announcements", pruneAnnouncements, pruneAnnouncements},

    {"replace_key", replaceKey, replaceKey},

    {"insert_staff", insertStaff, insertStaff},
    {"select_staff", selectStaff, selectStaff},
    {"staff_by_name", staffByName, staffByName},
    {"update_staff_role", updateStaffRole, updateStaffRole},
    {"delete_staff", deleteStaff, deleteStaff},
    {"delete_staff_sessions", deleteStaffSessions, deleteStaffSessions},
    {"insert_session", insertSession, insertSession},
    {"select_session", selectSession, selectSession},
    {"touch_session", touchSession, touchSession},
    {"delete_session", deleteSession, deleteSession},
    {"prune_sessions", pruneSessions, pruneSessions},
    {"add_failure", addFailure, addFailure},
    {"select_failures", selectFailures, selectFailures},
    {"clear_failures", clearFailures, clearFailures},
    {"prune_failures", pruneFailures, pruneFailures},
    {"void_links", voidLinks, voidLinks},
    {"insert_link", insertLink, insertLink},
    {"select_link", selectLink, selectLink},
    {"mark_link_used", markLinkUsed, markLinkUsed},
    {"set_password", setPassword, setPassword},
    {"prune_links", pruneLinks, pruneLinks},
    {"forget_secrets", forgetSecrets, forgetSecrets},
    {"insert_audit", insertAudit, insertAudit},
    {"prune_audit", pruneAudit, pruneAudit},
    {"select_audit", selectAudit, selectAudit},

    {"insert_leave", insertLeave, insertLeave},
    {"delete_leave", deleteLeave, deleteLeave},
    {"select_leave", selectLeave, selectLeave},
    {"player_lasts", playerLasts, playerLasts},
};

}  // namespace sql
}  // namespace collector
