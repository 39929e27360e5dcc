#!/bin/bash
# Copies a vorn-collector SQLite database into a PostgreSQL database that has
# no players and no reports yet: every player with its key hash (so every
# player's key keeps working), its dates and its revocation, and every report
# with every column (id, time, amounts, texts, flag, the flag's limit, review
# and review time), all in one transaction. The collector then builds the
# totals of the leaderboard from the copied reports, and the copy is checked:
# per player, the reports, their seconds and miles, the flags by review state,
# the review times and the leaderboard's totals must be the same on both
# sides, else the script names each difference and exits with 1.
#
#   sqlite-to-postgres.sh vorn-collector.db postgresql:///vorn?host=/var/run/postgresql
#   sqlite-to-postgres.sh --check vorn-collector.db postgresql:///...   (the check alone)
#
# Stop the collectors that use the SQLite file first, and run it as the
# service's user (runuser -u vorn-collector -- ...), whose PostgreSQL role owns
# the database. The SQLite file is first brought up to this collector's schema,
# as any of its commands would. VORN_COLLECTOR names the vorn-collector program
# (default: the one on PATH); it creates the schema. Needs sqlite3 and psql.
set -euo pipefail
me=sqlite-to-postgres
check_only=false
if (($# == 3)) && [[ $1 == --check ]]; then
  check_only=true
  shift
fi
if (($# != 2)); then
  echo "usage: $0 [--check] SQLITE_FILE POSTGRESQL_URL" >&2
  exit 2
fi
sqlite_file=$1
url=$2
collector=${VORN_COLLECTOR:-vorn-collector}
for program in sqlite3 psql "$collector"; do
  if ! command -v "$program" >/dev/null; then
    echo "$me: $program is not installed (apt install sqlite3 postgresql-client)" >&2
    exit 1
  fi
done
if [[ ! -r $sqlite_file ]]; then
  echo "$me: cannot read $sqlite_file" >&2
  exit 1
fi
psql_run() { psql "$url" --quiet --no-psqlrc -v ON_ERROR_STOP=1 "$@"; }

# Per player, in the order of their ids: the same query on both sides, every
# value an integer but the two sums of miles (compared to a billionth of
# their size: the two databases may add the same numbers in another order).
summary_sql="SELECT p.name, p.key_hash, p.created_ms, coalesce(p.revoked_ms, -1),
  r.reports, r.seconds, r.unflagged, r.waiting, r.accepted, r.rejected, r.reviewed_ms,
  t.reports, t.flagged, t.seconds, r.miles, t.miles
FROM players p
JOIN (SELECT p2.id, count(x.id) AS reports, coalesce(sum(x.seconds), 0) AS seconds,
        count(x.id) FILTER (WHERE x.flag = '') AS unflagged,
        count(x.id) FILTER (WHERE x.flag <> '' AND x.review = '') AS waiting,
        count(x.id) FILTER (WHERE x.review = 'accepted') AS accepted,
        count(x.id) FILTER (WHERE x.review = 'rejected') AS rejected,
        coalesce(sum(x.reviewed_ms), 0) AS reviewed_ms, coalesce(sum(x.miles), 0) AS miles
      FROM players p2 LEFT JOIN reports x ON x.player_id = p2.id GROUP BY p2.id) r ON r.id = p.id
JOIN (SELECT p3.id, coalesce(sum(y.reports), 0) AS reports,
        coalesce(sum(y.flagged), 0) AS flagged, coalesce(sum(y.seconds), 0) AS seconds,
        coalesce(sum(y.miles), 0) AS miles
      FROM players p3 LEFT JOIN player_totals y ON y.player_id = p3.id GROUP BY p3.id) t
  ON t.id = p.id
ORDER BY p.id"
columns="name key_hash created_ms revoked_ms reports seconds unflagged_reports"
columns+=" flagged_awaiting_review accepted rejected sum_of_review_times board_reports"
columns+=" board_flagged board_seconds miles board_miles"

check() {
  sqlite3 -readonly -noheader -separator $'\t' "$sqlite_file" "$summary_sql" >"$scratch/old.tsv"
  psql_run --no-align --tuples-only --field-separator=$'\t' --command="$summary_sql" \
    >"$scratch/new.tsv"
  awk -F '\t' -v columns="$columns" -v me="$me" '
    BEGIN { split(columns, name, " ") }
    FNR == NR { old[FNR] = $0; olds = FNR; next }
    { new[FNR] = $0; news = FNR }
    END {
      if (olds != news) { printf "%s: %d players in SQLite, %d in PostgreSQL\n", me, olds, news; bad = 1 }
      for (i = 1; i <= olds && i <= news; i++) {
        n = split(old[i], a, "\t"); split(new[i], b, "\t")
        for (f = 1; f <= n; f++) {
          same = f <= 14 ? a[f] == b[f] : (a[f] - b[f] <= 1e-9 * (1 + a[f]) && b[f] - a[f] <= 1e-9 * (1 + a[f]))
          if (!same) { printf "%s: player %s: %s is %s in SQLite, %s in PostgreSQL\n", me, a[1], name[f], a[f], b[f]; bad = 1 }
        }
      }
      exit bad
    }' "$scratch/old.tsv" "$scratch/new.tsv" >&2 || {
    echo "$me: THE COPY DIFFERS from $sqlite_file: keep the collector on SQLite" >&2
    return 1
  }
  echo "checked $(wc -l <"$scratch/old.tsv") players: the same reports, reviews and totals on both sides"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$collector" player list --db "sqlite:$sqlite_file" >/dev/null
"$collector" player list --db "$url" >/dev/null
if $check_only; then
  check
  exit
fi

# Miles with 17 significant digits (SQLite's printf wants the ! for more than
# 15): the same double arrives.
sqlite3 -readonly -csv "$sqlite_file" \
  "SELECT id, name, key_hash, created_ms, revoked_ms FROM players ORDER BY id" >"$scratch/players.csv"
sqlite3 -readonly -csv "$sqlite_file" \
  "SELECT id, player_id, received_ms, server_id, printf('%!.17g', miles), seconds, truck, trailer,
          flag, printf('%!.17g', flag_limit), review, reviewed_ms FROM reports ORDER BY id" >"$scratch/reports.csv"
psql_run --output=/dev/null --single-transaction <<SQL
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
"$collector" player list --db "$url" >/dev/null
echo "built the totals"
check
