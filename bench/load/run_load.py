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
    bench/load/run_load.py --fill 10000000 --players 10000 --db sqlite:big.db --duration 1
                                                 # fills big.db (keys in big.db.keys), times its upgrade
    bench/load/run_load.py --db sqlite:big.db --keys big.db.keys --rate 1000 --readers 4
                                                 # posts and reads on it
    bench/load/run_load.py --ceiling             # then the same posting at the ceiling
    bench/load/run_load.py --store postgres --delay-ms 50
                                                 # the database 50 ms away each way

It prints one line: the store, accepted reports per second, p50 and p99
latency, and the totals check; it exits non-zero when the totals differ.
With --fill N the SQLite database first gets N reports of --players players
(fill_db.py, in the first schema: the collector's upgrade of it is timed);
--keys names the keys of a database filled before. With --readers N that
many connections read each of the all-time board, the board of the last 7
days and the page (--read page: the page alone; --read player: one player's
page alone) while wrk posts, one line each. With --ceiling the same posting
goes next to the collector's own routes over a store that keeps nothing, then
to the ceiling (bench/load/ceiling.cpp: the collector's own HTTP front with a
route that stores nothing); the last line gives the collector's rate and the
routes' as fractions of the ceiling's: what lies between the two is the
store's. With --delay-ms N the collector reaches the scratch PostgreSQL server
through a loopback proxy that holds everything N ms each way
(tests/system/tcp_proxy.py), and a line first gives the fresh collector's
start and its first report's answer. Every line ends with the machine's load
average.
"""

import argparse
import datetime
import itertools
import json
import os
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
# What the readers take, as browsers send it.
ACCEPT_ENCODING = "gzip, deflate, br"
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
FRESH_PERIODS = itertools.count(1)


def stored_totals(url):
    # A period nobody asked for before is computed afresh, not served from
    # the collector's reuse of recent boards.
    since = f"since=1970-01-{next(FRESH_PERIODS):02d}"
    reports, miles, offset = 0, 0, 0
    while True:
        with urllib.request.urlopen(f"{url}/api/v1/leaderboard?{since}&limit=1000&"
                                    f"offset={offset}", timeout=60) as answer:
            board = json.load(answer)
        players = board["players"]
        reports += sum(p["reports"] + p["flagged_reports"] for p in players)
        if offset == 0:  # the players with nothing counted yet, the same on every page
            reports += sum(p["reports"] + p["flagged_reports"]
                           for p in board.get("nothing_counted_yet", []))
        miles += sum(p["miles"] for p in players)
        offset += 1000
        if len(players) < 1000:
            return reports, miles


def fill(args, db, keys):
    started = time.monotonic()
    subprocess.run([sys.executable, str(HERE / "fill_db.py"), db.split(":", 1)[1], "--reports",
                    str(args.fill), "--players", str(args.players), "--keys", str(keys)],
                   check=True)
    filled = time.monotonic()
    subprocess.run([args.collector, "player", "list", "--db", db], check=True,
                   stdout=subprocess.DEVNULL)
    print(f"filled in {filled - started:.0f} s; the collector's upgrade took "
          f"{time.monotonic() - filled:.1f} s", flush=True)


def readers(args, url, keys):
    """wrk processes that read boards while the posting runs."""
    week = (datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=6))
    targets = {"page": "/"} if args.read == "page" else {
        "player's page": "/players/" + keys.read_text().split()[0]} if args.read == "player" else {
        "all-time board": "/api/v1/leaderboard", "7-day board": f"/api/v1/leaderboard?since={week}",
        "page": "/"}
    # Each answer computed once before the clock starts: a collector that
    # has run for a while has them at hand, and only its first reader waits.
    for path in targets.values():
        urllib.request.urlopen(url + path, timeout=60).read()
    return {name: subprocess.Popen(
        ["wrk", "-t", "1", "-c", str(args.readers), "-d", f"{args.duration}s", "--timeout", "10s",
         "-H", f"Accept-Encoding: {ACCEPT_ENCODING}", "-s", str(HERE / "read_board.lua"), url + path],
        stdout=subprocess.PIPE, text=True) for name, path in targets.items()}


def load_average():
    return "load average " + " ".join(f"{n:.1f}" for n in os.getloadavg())


def post(args, url, keys):
    """wrk's posting to `url`; its JSON summary."""
    # wrk has no rate limit: at a rate, each connection pauses between requests.
    pause_ms = round(args.connections * 1000 / args.rate) if args.rate else 0
    done = subprocess.run(
        ["wrk", "-t", str(args.threads), "-c", str(args.connections),
         "-d", f"{args.duration + DRAIN_SECONDS}s", "--timeout", f"{DRAIN_SECONDS}s",
         "-s", str(HERE / "post_reports.lua"), url,
         "--", str(keys), args.server_id, str(pause_ms), str(args.duration)],
        capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def rate_line(args, result):
    """Accepted reports per second and the latencies of one posting."""
    return (f"{result['accepted'] * 1000 / max(result['posting_ms'], 1):.0f} accepted reports/s, "
            f"p50 {result['p50_us'] / 1000:.1f} ms, p99 {result['p99_us'] / 1000:.1f} ms, "
            f"max {result['max_us'] / 1000:.1f} ms over {result['posting_ms'] / 1000:.1f} s with "
            f"{args.connections} connections{f' paced for {args.rate}/s' if args.rate else ''}")


def yardstick(args, keys, flags=()):
    """The same posting to one of the ceiling program's servers; wrk's summary."""
    server = subprocess.Popen([args.ceiling, *flags], stdout=subprocess.PIPE, text=True)
    try:
        line = server.stdout.readline()
        if not line.startswith("listening on "):
            raise SystemExit("the ceiling server did not start")
        return post(args, line.split()[-1], keys)
    finally:
        server.terminate()
        server.wait(timeout=60)


def ceiling(args, keys, collector_result):
    """The same posting to the collector's routes over a store that keeps
    nothing, then to the front that stores nothing; the collector's share of
    each."""
    def rate(result):
        return result["accepted"] / max(result["posting_ms"], 1e-9)

    routes = yardstick(args, keys, ["--routes"])
    print(f"routes without a store: {rate_line(args, routes)}; {load_average()}")
    front = yardstick(args, keys)
    print(f"ceiling: {rate_line(args, front)}; {load_average()}")
    collector = rate(collector_result)
    print(f"the collector took {collector / max(rate(front), 1e-9):.2f} of the ceiling's rate "
          f"(its routes without a store {rate(routes) / max(rate(front), 1e-9):.2f})")


def thread_times(pid):
    """Each of a process's threads' time on a CPU and waiting for one (ns), by name."""
    times = {}
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            name = (task / "comm").read_text().strip()
            ran, waited = map(int, (task / "schedstat").read_text().split()[:2])
        except (OSError, ValueError):  # a thread that ended meanwhile
            continue
        total = times.setdefault(name, [0, 0, 0])
        total[0] += ran
        total[1] += waited
        total[2] += 1
    return times


def thread_line(before, after, seconds):
    """The collector's threads over the posting: % of one CPU used, % waiting for one."""
    parts = []
    for name, (ran, waited, count) in sorted(after.items(), key=lambda kv: -kv[1][0]):
        ran0, waited0, _ = before.get(name, (0, 0, 0))
        busy = (ran - ran0) / seconds / 1e7
        if busy >= 0.5:
            parts.append(f"{name}{f' x{count}' if count > 1 else ''} {busy:.0f} / "
                         f"{(waited - waited0) / seconds / 1e7:.0f}")
    return "collector threads, % of a CPU running / waiting for one: " + ", ".join(parts)


def settle(db):
    """Writes a SQLite file's pages still in memory (a fill's, a fresh copy's) to the disk
    before the clock starts: the kernel would write them back in the middle of the run,
    and every commit's sync would wait behind that gigabyte."""
    store, path = db.split(":", 1)
    for name in (path, path + "-wal") if store == "sqlite" else ():
        if os.path.exists(name):
            fd = os.open(name, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)


def first_report(url, keys, server_id):
    """One report of the first player; the seconds until its answer."""
    name, key = keys.read_text().split()[:2]
    body = json.dumps({"player_name": name, "server_id": server_id, "miles_delta": 1.0,
                       "seconds_delta": 60, "truck": "First", "trailer": "None"}).encode()
    sent = time.monotonic()
    request = urllib.request.Request(f"{url}/api/v1/telemetry", body, method="POST", headers={
        "Content-Type": "application/json", "X-VORN-Key": key, "Connection": "close"})
    with urllib.request.urlopen(request, timeout=60) as answer:
        if answer.status != 200:
            raise SystemExit(f"the first report was answered {answer.status}")
    return time.monotonic() - sent


def run(args, db, work, serve_db=None):
    keys = args.keys or work / "keys.txt"
    if args.fill:
        keys = pathlib.Path(db.split(":", 1)[1] + ".keys")
        fill(args, db, keys)
    elif not args.keys:
        add_players(args.collector, db, args.players, keys)
    settle(db)
    # Every key reports many times a second and all of wrk's connections come
    # from one address: the limits for those are off here.
    launched = time.monotonic()
    serve = subprocess.Popen([args.collector, "serve", "--db", serve_db or db,
                              "--listen", "127.0.0.1:0",
                              "--no-wall-time-check", "--max-reports-per-minute", "0",
                              "--max-connections-per-address", "0"],
                             stdout=subprocess.PIPE, text=True, cwd=work)
    try:
        line = serve.stdout.readline()
        if not line.startswith("listening on "):
            raise SystemExit("vorn-collector did not start")
        url = line.split()[-1]
        if serve_db:
            listening = time.monotonic() - launched
            first = first_report(url, keys, args.server_id)
            print(f"a fresh collector {args.delay_ms} ms from its database each way: listening "
                  f"after {listening * 1000:.0f} ms, its first report answered 200 after "
                  f"{first * 1000:.0f} ms; {load_average()}", flush=True)
        before = stored_totals(url) if args.fill or args.keys or serve_db else (0, 0)
        reading = readers(args, url, keys) if args.readers else {}
        slow = args.slow_clients and SlowClients(int(url.rsplit(":", 1)[1]), args.slow_clients)
        threads, started = thread_times(serve.pid), time.monotonic()
        try:
            result = post(args, url, keys)
        finally:
            if slow:
                slow.close()
        threads = thread_line(threads, thread_times(serve.pid), time.monotonic() - started)
        for name, reader in reading.items():
            read = json.loads(reader.communicate()[0].strip().splitlines()[-1])
            print(f"{name}: {read['requests'] / args.duration:.0f} reads/s, p50 "
                  f"{read['p50_us'] / 1000:.1f} ms, p99 {read['p99_us'] / 1000:.1f} ms, max "
                  f"{read['max_us'] / 1000:.1f} ms, {read['non2xx']} not 2xx, "
                  f"{read['errors']} socket errors, {args.readers} connections; "
                  f"{load_average()}")
        stored, miles = (now - then for now, then in zip(stored_totals(url), before))
    finally:
        serve.terminate()
        serve.wait(timeout=60)
    accepted = result["accepted"]
    # wrk calls request() once more than it sends, to check the script.
    unanswered = result["sent"] - 1 - result["answered"]
    failures = {k: v for k, v in result.items() if k.endswith(("errors", "timeouts")) and v}
    store = db.split(":", 1)[0]
    print(f"{store}: {rate_line(args, result)}; "
          f"2xx {accepted}, unanswered {unanswered}; "
          f"stored {stored} reports, {miles:g} miles; {failures or 'no socket errors'}" +
          (f"; slow clients: {slow.count} connections (never fewer than {slow.fewest} open), "
           f"{slow.opened - slow.count} opened again after the collector closed them"
           if slow else "") + f"; {load_average()}")
    print(threads)
    if args.ceiling:
        ceiling(args, keys, result)
    # Every report carries 1 mile: the totals are exact only if both match.
    return accepted > 0 and stored == accepted and abs(miles - accepted) < 1e-6 * max(before[1], 1)


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
    parser.add_argument("--fill", type=int, default=0,
                        help="reports to fill a new SQLite database with first")
    parser.add_argument("--keys", type=pathlib.Path,
                        help="the players' keys of a database filled before (--db)")
    parser.add_argument("--readers", type=int, default=0,
                        help="connections reading each board while wrk posts")
    parser.add_argument("--read", choices=("boards", "page", "player"), default="boards")
    parser.add_argument("--delay-ms", type=int, default=None,
                        help="with --store postgres: reach the server through a proxy that "
                             "holds everything this long each way")
    parser.add_argument("--ceiling", nargs="?", const="", default=None,
                        help="then post to the collector's routes without a store and to the "
                             "ceiling server (default: bench/vorn_load_ceiling of the "
                             "collector's build tree)")
    args = parser.parse_args()
    args.collector = str(pathlib.Path(args.collector).resolve())
    if args.ceiling == "":
        args.ceiling = str(pathlib.Path(args.collector).parents[1] / "bench" / "vorn_load_ceiling")
    if args.delay_ms is not None and (args.store != "postgres" or args.db):
        parser.error("--delay-ms needs --store postgres (the scratch server)")
    if args.smoke:
        args.duration, args.players, args.connections = 3, 20, 8
    with tempfile.TemporaryDirectory(prefix="vorn-load-") as scratch:
        work = pathlib.Path(scratch)
        if args.store == "postgres" and not args.db:
            from pgserver import PORT, ScratchPostgres
            with ScratchPostgres() as server:
                if args.delay_ms is None:
                    exact = run(args, server.url, work)
                else:
                    from tcp_proxy import Proxy
                    proxy = Proxy(server.dir / f".s.PGSQL.{PORT}", delay=args.delay_ms / 1000,
                                  record=False)
                    try:
                        exact = run(args, server.url, work,
                                    f"postgresql://postgres@127.0.0.1:{proxy.port}/vorn")
                    finally:
                        proxy.close()
        else:
            exact = run(args, args.db or f"sqlite:{work / 'load.db'}", work)
    if not exact:
        raise SystemExit("stored totals differ from the 2xx answers")


if __name__ == "__main__":
    main()
