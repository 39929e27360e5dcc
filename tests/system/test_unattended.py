"""vorn-collector as it must be after months without a restart: a SQLite WAL that stays
small and names the reader that holds it up, /healthz that fails with its cause as soon
as the store cannot write, names that stay distinct and amounts that stay finite."""
# ctest: platforms=native asan timeout=300

import concurrent.futures
import contextlib
import http.client
import json
import os
import pathlib
import re
import resource
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from harness import FAKETIME, faked_clock
from test_collector import (COLLECTOR, Service, assert_503_while_commits_fail, body,
                            metric_samples, report_counts)

MB = 1024 * 1024


def metrics(service):
    with urllib.request.urlopen(service.metrics_url, timeout=60) as answer:
        return {s.name: s.value for family in text_string_to_metric_families(
            answer.read().decode()) for s in family.samples}


def post_many(service, name, key, count):
    """`count` reports of `name`, one a request, on one kept-alive connection."""
    connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=60)
    with contextlib.closing(connection):
        data = body(name, 0.01, 1)
        for _ in range(count):
            connection.request("POST", "/api/v1/telemetry", data,
                               {"Content-Type": "application/json", "X-VORN-Key": key})
            answer = connection.getresponse()
            answer.read()
            assert answer.status == 200, answer.status


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


class Wal(unittest.TestCase):
    def test_wal_stays_small_and_a_held_snapshot_is_named_until_it_lets_go(self):
        # On tmpfs when there is one: a commit's fsync costs nothing there, and the WAL's
        # frames, checkpoints and resets are SQLite's own on any file system.
        folder = tempfile.mkdtemp(prefix="vorn-wal-",
                                  dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.addCleanup(shutil.rmtree, folder, True)
        service = Service(self, f"sqlite:{folder}/reports.db")
        service.path = pathlib.Path(folder, "reports.db")
        wal = pathlib.Path(folder, "reports.db-wal")
        drivers = {f"Driver {i}": service.add_player(f"Driver {i}") for i in range(4)}
        service.start("--no-wall-time-check", "--max-reports-per-minute", "0",
                      "--metrics-listen", "127.0.0.1:0")
        # Readers of the boards and pages all the while: their snapshots are short, so
        # the WAL stays within the 16 MiB the guide gives; its size is sampled throughout.
        posting, sizes = threading.Event(), []

        def read(path):  # paced: the readers' snapshots, not their CPU, are the point
            while not posting.wait(0.02):
                service.request("GET", path)
                sizes.append(wal.stat().st_size if wal.exists() else 0)

        readers = [threading.Thread(target=read, args=(path,)) for path in
                   ("/api/v1/leaderboard", "/", "/players/Driver%200")]
        for reader in readers:
            reader.start()
        try:
            with concurrent.futures.ThreadPoolExecutor(len(drivers)) as pool:
                list(pool.map(lambda d: post_many(service, d[0], d[1], 5000), drivers.items()))
        finally:
            posting.set()
            for reader in readers:
                reader.join()
        self.assertGreater(len(sizes), 100)
        self.assertLess(max(sizes + [wal.stat().st_size]), 16 * MB)
        self.assertEqual(sum(p["reports"] for p in service.leaderboard()), 20000)
        self.assertEqual(metrics(service)["vorn_sqlite_wal_bytes"], wal.stat().st_size)

        # A reader in another process holds a snapshot: the WAL can only grow meanwhile.
        reader = subprocess.Popen(
            [sys.executable, "-c", "import sqlite3, sys\n"
             f"db = sqlite3.connect({str(service.path)!r}, isolation_level=None)\n"
             "db.execute('BEGIN'); db.execute('SELECT COUNT(*) FROM reports').fetchall()\n"
             "print('held', flush=True); sys.stdin.read()"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(reader.wait, 60)
        self.addCleanup(reader.stdin.close)
        self.addCleanup(reader.stdout.close)
        self.assertEqual(reader.stdout.readline(), "held\n")
        name, key = next(iter(drivers.items()))
        # Paced: the flag comes after a second of failed checkpoints, and the
        # WAL's growth in that second must not depend on the machine's speed.
        deadline = time.monotonic() + 10
        while metrics(service)["vorn_sqlite_checkpoint_blocked"] == 0:
            self.assertLess(time.monotonic(), deadline)
            self.assertLess(wal.stat().st_size, 32 * MB)
            post_many(service, name, key, 10)
            time.sleep(0.02)
        self.assertIn("another connection holds a read snapshot", service.log())
        self.assertGreater(metrics(service)["vorn_sqlite_checkpoint_frames_left"], 0)
        held = wal.stat().st_size
        reader.stdin.close()
        reader.wait(60)
        post_many(service, name, key, 1)  # the next commit's checkpoint finishes
        self.assertLess(wal.stat().st_size, min(held, 16 * MB))
        self.assertEqual(metrics(service)["vorn_sqlite_checkpoint_blocked"], 0)


class Health(unittest.TestCase):
    def assert_unhealthy(self, service, cause, seconds=5.0):
        """/healthz answers 503 naming `cause` within `seconds` of now."""
        start = time.monotonic()
        status, answer = service.request("GET", "/healthz")
        while status == 200 and time.monotonic() - start < seconds:
            time.sleep(0.05)
            status, answer = service.request("GET", "/healthz")
        self.assertLess(time.monotonic() - start, seconds)
        self.assertEqual(status, 503, answer)
        self.assertIn(cause, json.loads(answer)["error"])

    def test_healthz_is_503_while_no_write_can_be_stored_and_200_once_one_can(self):
        for fault in ("write lock held by another process", "a read-only file"):
            with self.subTest(fault):
                service = Service(self)
                key = service.add_player("Late")
                late = body("Late", 0.1, 10)
                options = ("--max-reports-per-minute", "0", "--metrics-listen", "127.0.0.1:0")
                if fault == "a read-only file":  # as the service's own user, not root
                    if os.geteuid() != 0 or not shutil.which("setpriv"):
                        self.skipTest("running the service as another user takes root and setpriv")
                    os.chmod(service.path.parent, 0o777)
                    service.path.chmod(0o444)
                    service.start(*options, prefix=("setpriv", "--reuid=nobody",
                                                    "--regid=nogroup", "--clear-groups"))
                    assert_503_while_commits_fail(self, service, late, key)
                    self.assertIn("health: /healthz answers 503: the store takes no write: the "
                                  f"database file {service.path} is not writable", service.log())
                    continue
                service.start(*options)
                self.assertEqual([service.post(late, key),
                                  service.request("GET", "/healthz")[0]], [200, 200])
                holder = sqlite3.connect(service.path, isolation_level=None)
                self.addCleanup(holder.close)  # which also ends its transaction
                holder.execute("BEGIN IMMEDIATE")
                statuses = assert_503_while_commits_fail(self, service, late, key)
                holder.execute("ROLLBACK")
                # Back without a report: the probe that /healthz started (it waits for
                # the lock as a commit does) or the next one writes.
                deadline = time.monotonic() + 10
                while service.request("GET", "/healthz")[0] != 200:
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.05)
                self.assertEqual(service.post(late, key), 200)
                self.assertEqual(service.request("GET", "/healthz")[0], 200)
                self.assertEqual((report_counts(service, "503"),
                                  metric_samples(service)["vorn_store_errors_total", ()]),
                                 ({"503": len(statuses)}, len(statuses)))
                # A change of the answer is one line, at most one every 10 s.
                lines = [line for line in service.log().splitlines() if "health: " in line]
                self.assertEqual(lines[0], "health: /healthz answers 503: the store takes no "
                                 "write: database is locked")
                self.assertLessEqual(len(lines), 2, lines)

    def test_a_removed_folder(self):
        service = Service(self)
        key = service.add_player("Night Owl")
        service.start()
        self.assertEqual(service.post(body("Night Owl", 0.1, 10), key), 200)
        shutil.rmtree(service.path.parent)
        self.addCleanup(service.path.parent.mkdir, exist_ok=True)  # for its own clean-up
        self.assert_unhealthy(service, "is gone")
        self.assertEqual(service.post(body("Night Owl", 0.1, 10), key), 503)
        self.assertIn("is gone", service.log())


class Front(unittest.TestCase):
    def test_requests_are_taken_as_written_and_sighup_stops_at_once(self):
        service = Service(self)
        service.add_player("AC/DC")
        service.start("--metrics-listen", "127.0.0.1:0")
        rows = [  # a request target and its headers: the answer's status
            (b"/healthz", b"Host: x\r\n", 200),
            (b"/healthz", b"", 400),  # HTTP/1.1 without Host
            (b"/healthz", b"Host: x\r\nHost: y\r\n", 400),
            (b"%2fhealthz", b"Host: x\r\n", 404),  # an encoded slash makes no route's path
            (b"/api%2Fv1%2Fleaderboard", b"Host: x\r\n", 404),
            (b"/players%2FAC%2FDC", b"Host: x\r\n", 404),
            (b"/api/v1/players/AC%2FDC", b"Host: x\r\n", 200),  # but may be in a name
        ]
        for target, headers, status in rows:
            with self.subTest(target=target, headers=headers), socket.create_connection(
                    ("127.0.0.1", service.port), timeout=60) as raw:
                raw.sendall(b"GET " + target + b" HTTP/1.1\r\n" + headers +
                            b"Connection: close\r\n\r\n")
                self.assertRegex(raw.recv(200), rb"^HTTP/1\.1 %d " % status)
        # The answer's head as each version and method asks: whether the connection
        # stays (a next request is answered on it) and whether a body follows.
        rows = [  # request, what the head says of the connection, body, stays open
            (b"GET /healthz HTTP/1.0\r\n\r\n", None, True, False),  # HTTP/1.0 needs no Host
            (b"GET /healthz HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", b"keep-alive", True,
             True),
            (b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n", None, True, True),
            (b"GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", b"close", True,
             False),
            (b"HEAD /healthz HTTP/1.1\r\nHost: x\r\n\r\n", None, False, True),
        ]
        for request, connection, has_body, stays in rows:
            with self.subTest(request=request), socket.create_connection(
                    ("127.0.0.1", service.port), timeout=60) as raw:
                raw.sendall(request)
                answer = b""
                while b"\r\n\r\n" not in answer:
                    answer += raw.recv(4096)
                head, _, rest = answer.partition(b"\r\n\r\n")
                version = re.search(rb"HTTP/1\.[01]", request).group()
                self.assertTrue(head.startswith(version + b" 200 OK\r\n"), head)
                fields = dict(line.lower().split(b": ", 1) for line in head.split(b"\r\n")[1:])
                self.assertEqual(fields.get(b"connection"), connection)
                length = int(fields[b"content-length"])
                self.assertGreater(length, 0)
                while has_body and len(rest) < length:
                    rest += raw.recv(4096)
                self.assertEqual(len(rest), length if has_body else 0)
                if stays:
                    raw.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
                    self.assertRegex(raw.recv(200), rb"^HTTP/1\.1 200 OK\r\n")
                else:
                    self.assertEqual(raw.recv(200), b"")

        # Every thread but the one waiting for them (the first) blocks the stop signals,
        # the store's among them, which start before the service's: a thread that let
        # one through would end the process at once, with no orderly stop.
        stops = sum(1 << (s - 1) for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP))
        for task in pathlib.Path(f"/proc/{service.process.pid}/task").iterdir():
            if task.name == str(service.process.pid):
                continue
            mask = re.search(r"^SigBlk:\s*(\w+)$", (task / "status").read_text(), re.M)
            self.assertEqual(int(mask.group(1), 16) & stops, stops, (task / "comm").read_text())

        # A scraper's kept-alive connection, idle, does not hold up a stop; nor does SIGHUP
        # kill the service: it stops as on SIGTERM.
        host, port = service.metrics_url.split("/")[2].split(":")
        scraper = http.client.HTTPConnection(host, int(port), timeout=60)
        self.addCleanup(scraper.close)
        scraper.request("GET", "/metrics")
        self.assertEqual(scraper.getresponse().read()[:1], b"#")
        started = time.monotonic()
        service.process.send_signal(signal.SIGHUP)
        self.assertEqual(service.process.wait(60), 0)
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertEqual(service.process.stdout.read().decode().splitlines()[-1], "stopped")
        service.process.stdout.close()

    def test_reports_are_committed_ahead_of_the_readers(self):
        # The committing thread alone runs 10 below the process's nice value (down to -20)
        # where CAP_SYS_NICE allows it; without it (and without an RLIMIT_NICE that reaches
        # that far) it keeps the process's and says so.
        if os.geteuid() != 0 or resource.getrlimit(resource.RLIMIT_NICE)[0] >= 30:
            self.skipTest("needs root, and an RLIMIT_NICE that does not allow -10 by itself")
        unprivileged = ("setpriv", "--bounding-set=-sys_nice", "--inh-caps=-sys_nice", "--")
        rows = [((), 0, -10), (("nice", "-n", "-9"), -9, -19), (("nice", "-n", "-10"), -10, -20),
                (("nice", "-n", "-11"), -11, -20), (unprivileged, 0, 0)]
        for prefix, loops, nice in rows:
            with self.subTest(prefix=prefix):
                service = Service(self)
                key = service.add_player("Alice")
                service.start(prefix=prefix)
                # The loops start after the listening line.
                wait_for(lambda: {"vorn-commit", "vorn-loop"} <= thread_nices(
                    service.process.pid).keys(), 10, "the committing thread and loops start")
                wait_for(lambda: thread_nices(service.process.pid)["vorn-commit"] == {nice} and (
                    nice < 0 or "keeps the normal priority" in service.log()), 10, service.log())
                self.assertEqual(thread_nices(service.process.pid)["vorn-loop"], {loops})
                self.assertEqual("LimitNICE=-10" in service.log(), nice == 0)
                self.assertEqual(service.post(body("Alice", 1, 60), key), 200)
                service.stop()


def thread_nices(pid):
    """The nice values of a process's threads, by thread name."""
    nices = {}
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        fields = (task / "stat").read_text().rsplit(")", 1)[1].split()
        nices.setdefault((task / "comm").read_text().strip(), set()).add(int(fields[16]))
    return nices


class ClockSteps(unittest.TestCase):
    @faked_clock
    def test_a_clock_stepped_back_and_forth_flags_no_honest_report_and_boards_keep_up(self):
        # The collector's wall clock from faketime's library, read from a file at every
        # call: first a quarter past a UTC midnight (so that the day before is closed
        # and its board kept), then an hour back onto that closed day, then forward
        # again, and an hour more. Its steady clock stays the kernel's.
        offset_file = pathlib.Path(tempfile.mkdtemp(prefix="vorn-clock-")) / "offset"
        self.addCleanup(shutil.rmtree, offset_file.parent)
        now = time.time()
        quarter_past = (int(now) // 86400 + 1) * 86400 + 900 - int(now)
        clock = {"LD_PRELOAD": FAKETIME,
                 "FAKETIME_TIMESTAMP_FILE": str(offset_file), "FAKETIME_NO_CACHE": "1",
                 "DONT_FAKE_MONOTONIC": "1"}
        offset_file.write_text(f"+{quarter_past}\n")
        service = Service(self)
        keys = {name: service.add_player(name) for name in ("Ann", "Bob")}
        service.start("--max-reports-per-minute", "0", env=clock)

        def stored():  # miles per player and day, and the flagged reports
            with contextlib.closing(sqlite3.connect(service.path)) as db:
                days = db.execute(
                    "SELECT p.name, date(r.received_ms / 1000, 'unixepoch'), sum(r.miles) FROM "
                    "reports r JOIN players p ON p.id = r.player_id GROUP BY 1, 2").fetchall()
                flagged = db.execute("SELECT count(*) FROM reports WHERE flag <> ''").fetchone()
            return days, flagged[0]

        def boards():  # the same from the boards: all-time, and each day's
            days, _ = stored()
            board = {(r["player_name"], None): r["miles"] for r in service.leaderboard()}
            for day in {day for _, day, _ in days}:
                for r in service.leaderboard(f"?since={day}&until={day}"):
                    board[(r["player_name"], day)] = r["miles"]
            return board

        for step, offset in enumerate((quarter_past, quarter_past - 3600, quarter_past,
                                       quarter_past + 3600)):
            offset_file.write_text(f"+{offset}\n")
            for n in range(4):  # two seconds at 28 mph, well within the time between
                for name, key in keys.items():
                    self.assertEqual(service.post(body(name, 0.015625 * (n + 1), 2), key), 200)
            boards()  # read: the cache keeps the closed days of the moment
            days, flagged = stored()
            self.assertEqual(flagged, 0, f"step {step}: {service.log()}")
            expected = {(name, day): round(miles, 6) for name, day, miles in days}
            for name in keys:
                expected[(name, None)] = round(sum(m for n, _, m in days if n == name), 6)
            wait_for(lambda: boards() == expected, 10, f"step {step}: {boards()} {expected}")
        self.assertEqual(len({day for _, day, _ in stored()[0]}), 2, "two days written")


class NamesAndAmounts(unittest.TestCase):
    def test_names_that_cannot_report_or_look_like_another_are_refused(self):
        service = Service(self)
        key = service.add_player("Alice")
        ini = service.path.parent / "player.ini"
        for name, reason in (("Ali\u200dce", "invisible format character (U+200D)"),
                             ("Jose\u0301", "composed form (NFC)"),
                             ("\u0410lice", "'Alice'")):
            done = subprocess.run([str(COLLECTOR), "player", "add", name, "--ini", str(ini),
                                   "--db", service.db], capture_output=True, text=True)
            self.assertEqual(done.returncode, 2, done.stderr)
            self.assertIn(reason, done.stderr)
            self.assertFalse(ini.exists())
        with contextlib.closing(sqlite3.connect(service.path)) as db, db:  # as stored before
            db.execute("INSERT INTO players(name, key_hash, created_ms) "
                       "VALUES('Eve\x1b[2J\u202e', 'h', 0)")
        self.assertEqual([line.split("\t")[0] for line in service.cli(
            "player", "list").splitlines()], ["Alice", "Eve\ufffd[2J\ufffd"])

        service.start()
        status, answer = service.request("POST", "/api/v1/telemetry",
                                         body("Alice", 10000.001, 60), {"X-VORN-Key": key})
        self.assertEqual((status, json.loads(answer)["error"]),
                         (400, "miles_delta is above the 10000 miles a report may carry"))
        self.assertEqual(service.post(body("Alice", 10000, 3600 * 100), key), 200)


if __name__ == "__main__":
    unittest.main(verbosity=2)
