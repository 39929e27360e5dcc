#!/usr/bin/env bash
# Copies a vorn-collector SQLite database into a PostgreSQL database that has
# no players and no reports yet: every player with its key hash (so every
# player's key keeps working), its dates and its revocation, and every report
# with its id, time, amounts, texts, flag, the flag's limit and its review, all
# in one transaction. The collector then builds the totals of the leaderboard
# from the copied reports. A SQLite file of an older collector is upgraded
# first, as the collector would when it opened it.
#
#   tools/sqlite-to-postgres.sh vorn-collector.db postgresql://vorn@db.example.org/vorn
#
# Stop the collectors that use the SQLite file first. VORN_COLLECTOR names the
# vorn-collector program (default: the one on PATH); it creates the schema.
set -euo pipefail
if (($# != 2)); then
  echo "usage: $0 SQLITE_FILE POSTGRESQL_URL" >&2
  exit 2
fi
sqlite_file=$1
url=$2
"${VORN_COLLECTOR:-vorn-collector}" player list --db "$url" >/dev/null
"${VORN_COLLECTOR:-vorn-collector}" player list --db "sqlite:$sqlite_file" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Miles with 17 significant digits (SQLite's printf wants the ! for more than
# 15): the same double arrives.
sqlite3 -readonly -csv "$sqlite_file" \
  "SELECT id, name, key_hash, created_ms, revoked_ms FROM players ORDER BY id" >"$scratch/players.csv"
sqlite3 -readonly -csv "$sqlite_file" \
  "SELECT id, player_id, received_ms, server_id, printf('%!.17g', miles), seconds, truck, trailer,
          flag, printf('%!.17g', flag_limit), review, reviewed_ms FROM reports ORDER BY id" \
  >"$scratch/reports.csv"
psql "$url" --quiet --no-psqlrc --output=/dev/null --single-transaction -v ON_ERROR_STOP=1 <<SQL
DO \$\$ BEGIN
  IF EXISTS (SELECT 1 FROM players) OR EXISTS (SELECT 1 FROM reports) THEN
    RAISE EXCEPTION 'the PostgreSQL database holds players or reports already';
  END IF;
END \$\$;
\copy players (id, name, key_hash, created_ms, revoked_ms) FROM '$scratch/players.csv' CSV
\copy reports (id, player_id, received_ms, server_id, miles, seconds, truck, trailer, flag, flag_limit, review, reviewed_ms) FROM '$scratch/reports.csv' CSV
SELECT setval(pg_get_serial_sequence('players', 'id'), coalesce(max(id), 0) + 1, false) FROM players;
SELECT setval(pg_get_serial_sequence('reports', 'id'), coalesce(max(id), 0) + 1, false) FROM reports;
DELETE FROM schema_version;
SQL
echo "copied the players and the reports"
# The database now counts as one of the first schema: opening it builds the totals.
"${VORN_COLLECTOR:-vorn-collector}" player list --db "$url" >/dev/null
echo "built the totals"
