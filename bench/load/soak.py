#!/usr/bin/env python3
"""The collector's soak: minutes of honest reports from many keys with readers,
a flag reviewed and an event added every minute, four webhooks of which three
never answer (one takes each post and stays silent, one answers with a body that
never ends, one sends its head a byte at a time), and the collector's wall clock
stepped an hour back and then forward again in the middle (faketime's library,
the steady clock untouched). The step back comes a quarter of an hour past a
UTC midnight on the collector's clock, so that it lands on a day the boards
hold as closed.

    bench/load/soak.py                        # 10 minutes at 400 reports/s from 100 keys
    bench/load/soak.py --minutes 2 --rate 100 # shorter

Each key's first report carries nearly 1,000 miles (its wall time runs from
its key's creation, hours back on the collector's clock), staggered so that
the keys pass their 1,000-mile milestone one after another through the run.
Posting pauses for each check: the flagged reports must be only the speeding
ones sent on purpose, and every board (all-time and each day's) must equal the
stored counted miles. It prints one line a check and a summary: each
milestone's time from the report that passed it to its arrival at the
answering webhook, every announcement delivered there once, and the
collector's memory, descriptors and SQLite WAL over the run. Exits non-zero when a check
fails.
"""

import argparse
import json
import contextlib
import http.client
import os
import pathlib
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "system"))

from harness import FAKETIME  # noqa: E402
from test_collector import SlowWebhook, Webhook, body  # noqa: E402

HOUR = 3600
AHEAD = 11 * HOUR  # the collector's clock at least this far ahead: keys made hours before
MILES_PER_REPORT = 0.03   # in 1 s: 108 mph, under the 110 allowed
READ_PATHS = ("/api/v1/leaderboard", "/", "/events")


class Cleanups:
    """What the tests' stand-ins expect of a test case: somewhere to leave their cleanups."""

    def __init__(self):
        self.calls = []

    def addCleanup(self, call, *args):  # noqa: N802 (unittest's name)
        self.calls.append((call, args))

    def run(self):
        for call, args in reversed(self.calls):
            call(*args)


class Collector:
    def __init__(self, binary, folder, webhooks, offset):
        self.binary, self.db = binary, f"sqlite:{folder}/soak.db"
        self.path = pathlib.Path(folder, "soak.db")
        self.offset_file = pathlib.Path(folder, "offset")
        self.offset = offset
        self.offset_file.write_text(f"+{self.offset}\n")
        self.command("init")
        self.webhooks = webhooks

    def command(self, *args):
        return subprocess.run([self.binary, *args, "--db", self.db], capture_output=True,
                              text=True, check=True).stdout

    def start(self):
        env = {**os.environ, "LD_PRELOAD": FAKETIME, "DONT_FAKE_MONOTONIC": "1",
               "FAKETIME_TIMESTAMP_FILE": str(self.offset_file), "FAKETIME_NO_CACHE": "1"}
        hooks = [arg for url in self.webhooks for arg in ("--webhook", url)]
        self.process = subprocess.Popen(
            [self.binary, "serve", "--db", self.db, "--listen", "127.0.0.1:0",
             "--max-reports-per-minute", "0", "--max-connections-per-address", "0", *hooks],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        line = self.process.stdout.readline()
        if not line.startswith("listening on "):
            raise SystemExit("vorn-collector did not start")
        self.port = int(line.split(":")[-1])

    def step(self, seconds):
        self.offset += seconds
        self.offset_file.write_text(f"+{self.offset}\n")

    def now(self):
        return time.time() + self.offset

    def sample(self):
        """The collector's resident memory (KiB), open descriptors and WAL (bytes)."""
        status = pathlib.Path(f"/proc/{self.process.pid}/status").read_text()
        rss = next(int(line.split()[1]) for line in status.splitlines()
                   if line.startswith("VmRSS:"))
        wal = pathlib.Path(f"{self.path}-wal")
        return (rss, len(os.listdir(f"/proc/{self.process.pid}/fd")),
                wal.stat().st_size if wal.exists() else 0)

    def connection(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)


def ask(connection, method, path, data=None, headers=None):
    connection.request(method, path, data, headers or {})
    answer = connection.getresponse()
    return answer.status, answer.read()


class Posting:
    """`threads` posters pacing the keys' reports at `rate` a second; pause() holds them
    between two reports. Keeps the monotonic time each milestone-passing report was
    answered."""

    def __init__(self, collector, keys, start_miles, rate, threads):
        self.collector, self.keys, self.rate = collector, keys, rate
        self.miles = dict(start_miles)
        self.passed, self.sent, self.failures = {}, 0, []
        self.go, self.idle, self.done = threading.Event(), threading.Semaphore(0), False
        self.go.set()
        names = sorted(keys)
        self.threads = [threading.Thread(target=self.post, args=(names[n::threads], threads))
                        for n in range(threads)]
        for thread in self.threads:
            thread.start()

    def post(self, names, threads):
        interval = threads / self.rate
        with contextlib.closing(self.collector.connection()) as connection:
            due = time.monotonic()
            while not self.done:
                for name in names:
                    if not self.go.is_set():
                        self.idle.release()
                        self.go.wait()
                        due = time.monotonic()
                    if self.done:
                        return
                    status, _ = ask(connection, "POST", "/api/v1/telemetry",
                                    body(name, MILES_PER_REPORT, 1),
                                    {"Content-Type": "application/json",
                                     "X-VORN-Key": self.keys[name]})
                    if status != 200:
                        self.failures.append(status)
                    before = self.miles[name]
                    self.miles[name] += MILES_PER_REPORT
                    if before < 1000 <= self.miles[name]:
                        self.passed[name] = time.monotonic()
                    self.sent += 1
                    due += interval
                    time.sleep(max(0.0, due - time.monotonic()))

    def pause(self):
        self.go.clear()
        for _ in self.threads:
            self.idle.acquire()

    def resume(self):
        self.go.set()

    def stop(self):
        self.done = True
        self.go.set()
        for thread in self.threads:
            thread.join()


def read_forever(collector, stop, counts):
    with contextlib.closing(collector.connection()) as connection:
        while not stop.is_set():
            for path in READ_PATHS:
                status, _ = ask(connection, "GET", path)
                counts[status] = counts.get(status, 0) + 1
            stop.wait(0.05)


def stored(collector):
    """Counted miles per (player, day) and the flagged reports by rule."""
    with contextlib.closing(sqlite3.connect(collector.path, timeout=60)) as db:
        days = db.execute(
            "SELECT p.name, date(r.received_ms / 1000, 'unixepoch'), sum(r.miles) FROM reports r "
            "JOIN players p ON p.id = r.player_id WHERE r.flag = '' OR r.review = 'accepted' "
            "GROUP BY 1, 2").fetchall()
        flags = dict(db.execute("SELECT flag, count(*) FROM reports WHERE flag <> '' "
                                "GROUP BY flag").fetchall())
    return days, flags


def boards_equal_stored(collector):
    """Whether the all-time board and each day's equal the stored counted miles, read
    until they do (boards are reused for 2 s) or 15 s passed."""
    days, _ = stored(collector)
    expected = {}
    for name, day, miles in days:
        expected[(name, day)] = round(miles, 6)
        expected[(name, None)] = round(expected.get((name, None), 0) + miles, 6)
    deadline = time.monotonic() + 15
    with contextlib.closing(collector.connection()) as connection:
        while True:
            board = {}
            for day in [None] + sorted({day for _, day, _ in days}):
                query = "?limit=1000" + (f"&since={day}&until={day}" if day else "")
                status, data = ask(connection, "GET", "/api/v1/leaderboard" + query)
                for row in json.loads(data)["players"] if status == 200 else []:
                    if row["miles"]:
                        board[(row["player_name"], day)] = round(row["miles"], 6)
            if all(abs(board.get(k, 0) - v) < 1e-4 for k, v in expected.items()) and \
                    set(board) <= set(expected):
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--collector",
                        default=str(SOURCE / "build" / "native" / "collector" / "vorn-collector"))
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--rate", type=int, default=400, help="reports a second")
    parser.add_argument("--keys", type=int, default=100)
    parser.add_argument("--threads", type=int, default=8)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="vorn-soak-")
    cleanups = Cleanups()
    ok = True
    posting = stop_reading = None
    try:
        answering = Webhook(cleanups)
        silent = [SlowWebhook(cleanups, m) for m in ("silent", "endless", "trickle")]
        total = args.minutes * 60
        # A quarter past the first UTC midnight at least AHEAD on, when a third has run.
        at_step = time.time() + total / 3
        midnight = (int(at_step + AHEAD) // 86400 + 1) * 86400
        offset = int(midnight + 900 - at_step)
        collector = Collector(args.collector, folder, [answering.url] + [h.url for h in silent],
                              offset)
        speeder = collector.command("player", "add", "Speeder").strip().splitlines()[-1]
        names = [f"soak-{n:03d}" for n in range(args.keys)]
        keys = {name: collector.command("player", "add", name).strip().splitlines()[-1]
                for name in names}
        collector.start()
        # Each key's share of the run's miles, and a start below 1,000 by a staggered part
        # of it: one milestone after another through the run.
        run_miles = args.minutes * 60 * args.rate / args.keys * MILES_PER_REPORT
        start_miles = {name: 1000 - run_miles * (n + 1) / (args.keys + 1)
                       for n, name in enumerate(names)}
        with contextlib.closing(collector.connection()) as connection:
            for name, miles in start_miles.items():
                seconds = int(miles / 100 * HOUR) + 1  # 100 mph, within the hours since its key
                status, _ = ask(connection, "POST", "/api/v1/telemetry", body(name, miles, seconds),
                                {"Content-Type": "application/json", "X-VORN-Key": keys[name]})
                assert status == 200, status
        posting = Posting(collector, keys, start_miles, args.rate, args.threads)
        stop_reading, reads = threading.Event(), {}
        readers = [threading.Thread(target=read_forever, args=(collector, stop_reading, reads))
                   for _ in range(3)]
        for reader in readers:
            reader.start()
        samples, speeding = [], 0
        started = time.monotonic()
        steps = {total / 3: -HOUR, 2 * total / 3: HOUR}  # back onto the hour before, then forward
        minute = 0
        while time.monotonic() - started < total:
            elapsed = time.monotonic() - started
            samples.append((elapsed, *collector.sample()))
            if elapsed >= minute * 60:
                minute += 1
                with contextlib.closing(collector.connection()) as connection:
                    ask(connection, "POST", "/api/v1/telemetry", body("Speeder", 0.2, 1),
                        {"Content-Type": "application/json", "X-VORN-Key": speeder})
                speeding += 1
                for line in collector.command("flags", "list").splitlines():
                    if line.split("\t")[0].isdigit():  # below the header
                        collector.command("flags", "accept", line.split("\t")[0])
                now = collector.now()
                stamp = lambda t: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(t))  # noqa
                collector.command("event", "add", f"Convoy {minute}", "--start",
                                  stamp(now - 600), "--end", stamp(now + 60))
            for at in [at for at in steps if elapsed >= at]:
                posting.pause()
                _, flags = stored(collector)
                equal = boards_equal_stored(collector)
                print(f"before a step of {steps[at]:+d} s at {elapsed:.0f} s: boards equal the "
                      f"stored totals: {equal}; flags {flags}", flush=True)
                ok &= equal and flags == {"speed": speeding}
                collector.step(steps.pop(at))
                posting.resume()
            time.sleep(1)
        posting.pause()
        stop_reading.set()
        for reader in readers:
            reader.join()
        _, flags = stored(collector)
        equal = boards_equal_stored(collector)
        print(f"at the end: boards equal the stored totals: {equal}; flags {flags}; "
              f"reports sent {posting.sent}, not 200: {len(posting.failures)}; reads {reads}")
        ok &= equal and flags == {"speed": speeding} and not posting.failures
        ok &= summary(collector, answering, posting, samples)
    finally:
        if posting:
            posting.stop()
        if stop_reading:
            stop_reading.set()
        if "collector" in locals() and hasattr(collector, "process"):
            collector.process.terminate()
            collector.process.wait(60)
        cleanups.run()
        shutil.rmtree(folder, True)
    return 0 if ok else 1


def summary(collector, answering, posting, samples):
    """The milestones' delivery times, each announcement delivered once, memory and
    descriptors: whether all is as it should be."""
    deadline = time.monotonic() + 30
    with contextlib.closing(sqlite3.connect(collector.path, timeout=60)) as db:
        while True:
            announced = [b for (b,) in db.execute("SELECT body FROM announcements WHERE body <> ''")]
            with answering.lock:
                delivered = [p["content"] for _, p in answering.posts]
            if len(delivered) >= len(announced) or time.monotonic() > deadline:
                break
            time.sleep(0.2)
    with answering.lock:
        arrivals = {p["content"]: t for (_, p), t in zip(answering.posts, answering.times)}
    late = []
    for name, answered in posting.passed.items():
        text = f"**{name}** has driven 1,000 counted miles."
        late.append(arrivals.get(text, float("inf")) - answered)
    late.sort()
    once = len(delivered) == len(set(delivered)) == len(announced)
    steady = [s for s in samples if s[0] >= 60] or samples
    rss = [s[1] for s in steady]
    fds = [s[2] for s in steady]
    wal = [s[3] for s in samples]
    print(f"milestones: {len(late)} passed, delivered after at most {late[-1]:.2f} s "
          f"(median {late[len(late) // 2]:.2f} s) while three webhooks never answer; "
          f"{len(announced)} announcements, {len(delivered)} posts, each once: {once}")
    minutes, wal_minutes = {}, {}
    for elapsed, kib, _, wal_bytes in samples:
        minutes.setdefault(int(elapsed // 60) + 1, kib)
        wal_minutes[int(elapsed // 60) + 1] = max(wal_minutes.get(int(elapsed // 60) + 1, 0),
                                                  wal_bytes)
    print(f"memory after the first minute: {rss[0] / 1024:.1f} MiB, at most "
          f"{max(rss) / 1024:.1f}, at the end {rss[-1] / 1024:.1f} (each minute's start: " +
          ", ".join(f"{kib / 1024:.1f}" for kib in minutes.values()) +
          f"); descriptors {fds[0]}, at most {max(fds)}, at the end {fds[-1]}")
    print(f"WAL: at most {max(wal) / 2**20:.1f} MiB, at the end {wal[-1] / 2**20:.1f} (each "
          "minute's most: " + ", ".join(f"{b / 2**20:.1f}" for b in wal_minutes.values()) + ")")
    return bool(late) and late[-1] <= 1.0 and once and max(fds) - fds[0] <= 8


if __name__ == "__main__":
    sys.exit(main())
