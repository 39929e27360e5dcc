#!/usr/bin/env python3
"""The collector's load run: wrk posts valid reports under many players' keys,
each on a new connection, to a fresh vorn-collector; afterwards the stored
totals must equal what wrk's 2xx answers add up to, not one report more or
less.

    bench/load/run_load.py                       # SQLite, 30 s at full rate
    bench/load/run_load.py --store postgres      # a scratch PostgreSQL server
    bench/load/run_load.py --db postgresql://... # a scratch database (gets 200 players)
    bench/load/run_load.py --rate 1000           # paced near 1,000 reports/s
    bench/load/run_load.py --smoke               # a few seconds, totals only
    bench/load/run_load.py --slow-clients 10000  # while 10,000 slow clients hold connections

It prints one line: the store, accepted reports per second, p50 and p99
latency, and the totals check; it exits non-zero when the totals differ.
"""

import argparse
import json
import pathlib
import resource
import selectors
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "system"))

# The first server identifier of the default deployment options.
DEFAULT_SERVER = "90071992547409921/101"
# wrk runs this much longer than the posting, so every request gets its answer
# (shorter than the collector's 5 s idle time-out, which would cut the paused
# connections).
DRAIN_SECONDS = 3


def add_players(collector, db, count, keys_file):
    lines = []
    for n in range(count):
        name = f"load-{n:04d}"
        done = subprocess.run([collector, "player", "add", name, "--db", db],
                              capture_output=True, text=True, check=True)
        lines.append(f"{name} {done.stdout.strip().splitlines()[-1]}\n")
    keys_file.write_text("".join(lines))


class SlowClients:
    """Holds `count` connections to the collector from 127.1.x.y, 50 from each
    address, half silent and half inside a request's head that never ends; each
    one the collector closes is opened again at once."""

    def __init__(self, port, count):
        self.port, self.count, self.opened, self.fewest = port, count, 0, count
        self.selector, self.stop = selectors.DefaultSelector(), threading.Event()
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        for slot in range(count):
            self.open(slot)
        self.thread = threading.Thread(target=self.hold)
        self.thread.start()

    def open(self, slot):
        n = slot // 50
        s = socket.socket()
        s.setblocking(False)
        s.bind((f"127.1.{n // 250}.{n % 250 + 1}", 0))
        s.connect_ex(("127.0.0.1", self.port))
        # The trickling half sends its head's first line once connected.
        self.selector.register(s, selectors.EVENT_READ | (selectors.EVENT_WRITE if slot % 2 else 0),
                               slot)
        self.opened += 1

    def hold(self):
        while not self.stop.is_set():
            for key, events in self.selector.select(0.2):
                if events & selectors.EVENT_WRITE:
                    self.selector.modify(key.fileobj, selectors.EVENT_READ, key.data)
                    try:
                        key.fileobj.send(b"POST /api/v1/telemetry HTTP/1.1\r\n")
                    except OSError:
                        pass  # refused: the read below notices
                    continue
                try:
                    data = key.fileobj.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()
                    self.open(key.data)
            self.fewest = min(self.fewest, len(self.selector.get_map()))

    def close(self):
        self.stop.set()
        self.thread.join()
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()


def stored_totals(url):
    with urllib.request.urlopen(url + "/api/v1/leaderboard", timeout=60) as answer:
        players = json.load(answer)["players"]
    return (sum(p["reports"] + p["flagged_reports"] for p in players),
            sum(p["miles"] for p in players))


def run(args, db, work):
    keys = work / "keys.txt"
    add_players(args.collector, db, args.players, keys)
    # Every key reports many times a second and all of wrk's connections come
    # from one address: the limits for those are off here.
    serve = subprocess.Popen([args.collector, "serve", "--db", db, "--listen", "127.0.0.1:0",
                              "--no-wall-time-check", "--max-reports-per-minute", "0",
                              "--max-connections-per-address", "0"],
                             stdout=subprocess.PIPE, text=True, cwd=work)
    try:
        line = serve.stdout.readline()
        if not line.startswith("listening on "):
            raise SystemExit("vorn-collector did not start")
        url = line.split()[-1]
        # wrk has no rate limit: at a rate, each connection pauses between requests.
        pause_ms = round(args.connections * 1000 / args.rate) if args.rate else 0
        slow = args.slow_clients and SlowClients(int(url.rsplit(":", 1)[1]), args.slow_clients)
        try:
            done = subprocess.run(
            ["wrk", "-t", str(args.threads), "-c", str(args.connections),
             "-d", f"{args.duration + DRAIN_SECONDS}s", "--timeout", f"{DRAIN_SECONDS}s",
             "-s", str(HERE / "post_reports.lua"), url,
             "--", str(keys), args.server_id, str(pause_ms), str(args.duration)],
            capture_output=True, text=True, check=True)
        finally:
            if slow:
                slow.close()
        result = json.loads(done.stdout.strip().splitlines()[-1])
        stored, miles = stored_totals(url)
    finally:
        serve.terminate()
        serve.wait(timeout=60)
    accepted = result["accepted"]
    # wrk calls request() once more than it sends, to check the script.
    unanswered = result["sent"] - 1 - result["answered"]
    failures = {k: v for k, v in result.items() if k.endswith(("errors", "timeouts")) and v}
    store = db.split(":", 1)[0]
    print(f"{store}: {accepted * 1000 / max(result['posting_ms'], 1):.0f} accepted reports/s, "
          f"p50 {result['p50_us'] / 1000:.1f} ms, p99 {result['p99_us'] / 1000:.1f} ms, "
          f"max {result['max_us'] / 1000:.1f} ms over {result['posting_ms'] / 1000:.1f} s with "
          f"{args.connections} connections{f' paced for {args.rate}/s' if args.rate else ''}; "
          f"2xx {accepted}, unanswered {unanswered}; "
          f"stored {stored} reports, {miles:g} miles; {failures or 'no socket errors'}" +
          (f"; slow clients: {slow.count} connections (never fewer than {slow.fewest} open), "
           f"{slow.opened - slow.count} opened again after the collector closed them"
           if slow else ""))
    # Every report carries 1 mile: the totals are exact only if both match.
    return accepted > 0 and stored == accepted and miles == accepted


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--collector",
                        default=str(SOURCE / "build" / "native" / "collector" / "vorn-collector"))
    parser.add_argument("--db", help="database URL (default: a fresh SQLite file)")
    parser.add_argument("--store", choices=("sqlite", "postgres"), default="sqlite",
                        help="without --db: a fresh SQLite file or a scratch PostgreSQL server")
    parser.add_argument("--players", type=int, default=200)
    parser.add_argument("--duration", type=int, default=30, help="seconds")
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rate", type=int, default=0, help="reports/s to pace at (0: full rate)")
    parser.add_argument("--server-id", default=DEFAULT_SERVER)
    parser.add_argument("--slow-clients", type=int, default=0,
                        help="connections held meanwhile by silent and trickling clients")
    parser.add_argument("--smoke", action="store_true", help="3 s, 20 players, 8 connections")
    args = parser.parse_args()
    args.collector = str(pathlib.Path(args.collector).resolve())
    if args.smoke:
        args.duration, args.players, args.connections = 3, 20, 8
    with tempfile.TemporaryDirectory(prefix="vorn-load-") as scratch:
        work = pathlib.Path(scratch)
        if args.store == "postgres" and not args.db:
            from pgserver import ScratchPostgres
            with ScratchPostgres() as server:
                exact = run(args, server.url, work)
        else:
            exact = run(args, args.db or f"sqlite:{work / 'load.db'}", work)
    if not exact:
        raise SystemExit("stored totals differ from the 2xx answers")


if __name__ == "__main__":
    main()
