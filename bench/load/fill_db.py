#!/usr/bin/env python3
"""Makes a SQLite database of N reports and P players in the collector's first
schema (players and reports, no totals), directly through SQL: the collector
that opens it next builds the totals, as it would for a database it wrote
itself before the totals existed.

    bench/load/fill_db.py DB --reports 10000000 --players 10000 --keys keys.txt

The reports are spread evenly over the last --days days up to now, one a
player at a time in turn; a player drives on one server a week, the next
server the week after. Every 97th report is flagged. The players' keys are
written to --keys as "NAME KEY" lines, for the load run's posting.
"""

import argparse
import hashlib
import pathlib
import sqlite3
import sys
import time

FIRST_SCHEMA = """
CREATE TABLE players(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,
  key_hash TEXT NOT NULL UNIQUE, created_ms INTEGER NOT NULL, revoked_ms INTEGER);
CREATE TABLE reports(id INTEGER PRIMARY KEY, player_id INTEGER NOT NULL REFERENCES players(id),
  received_ms INTEGER NOT NULL, server_id TEXT NOT NULL, miles REAL NOT NULL,
  seconds INTEGER NOT NULL, truck TEXT NOT NULL, trailer TEXT NOT NULL, flag TEXT NOT NULL);
"""
INDEXES = """
CREATE INDEX reports_player_time ON reports(player_id, received_ms);
CREATE INDEX reports_time ON reports(received_ms);
"""
DAY_MS = 86400000


def fill(path, reports, players, days, servers, keys_file):
    db = sqlite3.connect(path)
    db.executescript("PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;" + FIRST_SCHEMA)
    now = int(time.time() * 1000)
    keys = [(f"load-{n:05d}", f"bench-key-{n:05d}") for n in range(players)]
    db.executemany("INSERT INTO players(id, name, key_hash, created_ms) VALUES(?, ?, ?, ?)",
                   [(n + 1, name, hashlib.sha256(key.encode()).hexdigest(), now - days * DAY_MS)
                    for n, (name, key) in enumerate(keys)])
    keys_file.write_text("".join(f"{name} {key}\n" for name, key in keys))
    db.execute("CREATE TEMP TABLE servers(n INTEGER PRIMARY KEY, id TEXT)")
    db.executemany("INSERT INTO servers VALUES(?, ?)", list(enumerate(servers)))
    span = days * DAY_MS
    start = now - span
    # Indexes afterwards: building them once is faster than keeping them up.
    db.execute(f"""
        WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < {reports} - 1),
        r(i, player, ms) AS (SELECT i, i % {players}, {start} + i * {span} / {reports} FROM n)
        INSERT INTO reports(player_id, received_ms, server_id, miles, seconds, truck, trailer, flag)
        SELECT player + 1, ms, (SELECT id FROM servers WHERE n = (player + ms / {DAY_MS} / 7)
          % {len(servers)}), (i % 100) / 50.0, 60, 'Truck ' || (player % 7), 'Trailer',
          CASE WHEN i % 97 = 0 THEN 'speed' ELSE '' END FROM r""")
    db.commit()
    db.executescript(INDEXES)
    db.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("db", help="the SQLite file to make (must not exist)")
    parser.add_argument("--reports", type=int, default=1000000)
    parser.add_argument("--players", type=int, default=10000)
    parser.add_argument("--days", type=int, default=90)
    parser.add_argument("--server", action="append", help="server identifiers (default: five)")
    parser.add_argument("--keys", type=pathlib.Path, required=True)
    args = parser.parse_args()
    if pathlib.Path(args.db).exists():
        sys.exit(f"{args.db} exists already")
    servers = args.server or ["90071992547409921/101"] + [f"bench/{n}" for n in range(2, 6)]
    started = time.monotonic()
    fill(args.db, args.reports, args.players, args.days, servers, args.keys)
    print(f"filled {args.db}: {args.reports} reports, {args.players} players "
          f"in {time.monotonic() - started:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
