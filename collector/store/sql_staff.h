// The statements of players' keys given again, their leave and latest reports,
// and of the staff console (staff_store.h), one text for both databases.
#pragma once

namespace collector {
namespace sql {

// A player's key given again: the name, reports and place stay, the old key
// is void, and a revoked player is a player again.
constexpr const char* replaceKey =
    "UPDATE players SET key_hash = $2, revoked_ms = NULL WHERE name = $1";

constexpr const char* insertStaff =
    "INSERT INTO staff (name, role, password_hash, created_ms) VALUES ($1, $2, '', $3)";
constexpr const char* selectStaff =
    "SELECT name, role, created_ms, CASE WHEN password_hash = '' THEN 0 ELSE 1 END FROM staff";
constexpr const char* staffByName = "SELECT id, password_hash, role FROM staff WHERE name = $1";
constexpr const char* updateStaffRole = "UPDATE staff SET role = $2 WHERE id = $1";
constexpr const char* deleteStaff = "DELETE FROM staff WHERE id = $1";
constexpr const char* deleteStaffSessions = "DELETE FROM staff_sessions WHERE staff_id = $1";

constexpr const char* insertSession =
    "INSERT INTO staff_sessions (token_hash, staff_id, created_ms, seen_ms) "
    "SELECT $1, id, $3, $3 FROM staff WHERE name = $2";
constexpr const char* selectSession =
    "SELECT s.created_ms, s.seen_ms, t.name, t.role FROM staff_sessions s "
    "JOIN staff t ON t.id = s.staff_id WHERE s.token_hash = $1";
constexpr const char* touchSession = "UPDATE staff_sessions SET seen_ms = $2 WHERE token_hash = $1";
constexpr const char* deleteSession = "DELETE FROM staff_sessions WHERE token_hash = $1";
constexpr const char* pruneSessions =
    "DELETE FROM staff_sessions WHERE seen_ms < $1 OR created_ms < $2";

// A failed sign-in counted; the count starts again after a quiet time ($3).
constexpr const char* addFailure =
    "INSERT INTO signin_failures (subject, failures, last_ms) VALUES ($1, 1, $2) "
    "ON CONFLICT (subject) DO UPDATE SET failures = CASE WHEN signin_failures.last_ms < $3 "
    "THEN 1 ELSE signin_failures.failures + 1 END, last_ms = $2 RETURNING failures";
constexpr const char* selectFailures =
    "SELECT failures, last_ms FROM signin_failures WHERE subject = $1 AND last_ms >= $2";
constexpr const char* clearFailures = "DELETE FROM signin_failures WHERE subject = $1";
// The subjects quiet for longer than the quiet time go: a name or address
// that fails once and never again keeps no row.
constexpr const char* pruneFailures = "DELETE FROM signin_failures WHERE last_ms < $1";

constexpr const char* voidLinks =
    "DELETE FROM one_time_links WHERE kind = $1 AND subject = $2 AND used_ms = 0";
constexpr const char* insertLink =
    "INSERT INTO one_time_links (token_hash, kind, subject, secret, created_ms, expires_ms, "
    "used_ms) VALUES ($1, $2, $3, $4, $5, $6, 0)";
constexpr const char* selectLink =
    "SELECT kind, subject, secret, expires_ms, used_ms FROM one_time_links WHERE token_hash = $1";
// Only once: of two collectors using one link at once, one changes it.
constexpr const char* markLinkUsed =
    "UPDATE one_time_links SET used_ms = $2, secret = '' WHERE token_hash = $1 AND used_ms = 0";
constexpr const char* setPassword = "UPDATE staff SET password_hash = $2 WHERE name = $1";
// Links kept a while past their end, so that they still say so.
constexpr const char* pruneLinks = "DELETE FROM one_time_links WHERE expires_ms < $1";
// The keys of join links that ended unused.
constexpr const char* forgetSecrets =
    "UPDATE one_time_links SET secret = '' WHERE expires_ms <= $1 AND secret <> ''";

constexpr const char* insertAudit =
    "INSERT INTO audit (at_ms, who, address, kind, what) VALUES ($1, $2, $3, $4, $5)";
constexpr const char* pruneAudit =
    "DELETE FROM audit WHERE at_ms < $1 OR id <= (SELECT max(id) FROM audit) - $2";
constexpr const char* selectAudit =
    "SELECT at_ms, who, address, kind, what FROM audit WHERE at_ms >= $1 AND at_ms < $2 "
    "AND ($3 = '' OR who = $3) AND ($4 = '' OR kind = $4) ORDER BY at_ms DESC, id DESC LIMIT $5";

// A player's leave, beside what was recorded before; none when there is no
// such player.
constexpr const char* insertLeave =
    "INSERT INTO player_leave (player_id, from_day, to_day, created_ms) "
    "SELECT id, $2, $3, $4 FROM players WHERE name = $1";
constexpr const char* deleteLeave = "DELETE FROM player_leave WHERE player_id = $1";
constexpr const char* selectLeave =
    "SELECT p.name, l.from_day, l.to_day FROM player_leave l JOIN players p ON "
    "p.id = l.player_id WHERE l.to_day >= $1 AND l.from_day < $2";
// Each player's latest counted report, a step back along the (player_id,
// received_ms) index past the flagged ones, and latest report of any kind,
// from the all-time totals.
constexpr const char* playerLasts =
    "SELECT p.name, coalesce((SELECT r.received_ms FROM reports r WHERE r.player_id = p.id AND "
    "(r.flag = '' OR r.review = 'accepted') ORDER BY r.received_ms DESC LIMIT 1), 0), "
    "coalesce((SELECT max(t.last_ms) FROM player_totals t WHERE t.player_id = p.id), 0) "
    "FROM players p";

}  // namespace sql
}  // namespace collector
