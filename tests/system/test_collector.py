"""vorn-collector, the real service on a real SQLite file: its answers to raw requests,
durability under kill -9 with group commit and the page in headless Chromium. Its Service
also runs the collector for test_postgres (under Wine the native one, for the DLL)."""
# ctest: platforms=native asan tsan timeout=300

import concurrent.futures
import contextlib
import csv
import datetime
import email.utils
import gzip
import hashlib
import http.client
import http.server
import io
import json
import os
import pathlib
import re
import secrets
import select
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from harness import BUILD_DIR, FAKETIME, IS_WINE, SERVER, Road, faked_clock, report_body

COLLECTOR = (BUILD_DIR.parent / "native" if IS_WINE else BUILD_DIR) / "collector" / "vorn-collector"


class Service:
    """vorn-collector on `db` (default: a SQLite file in a scratch folder), on a free port."""

    def __init__(self, test, db=None):
        self.test = test
        folder = tempfile.TemporaryDirectory(prefix="vorn-collector-")
        test.addCleanup(folder.cleanup)
        self.path = pathlib.Path(folder.name) / "reports.db"
        logs = tempfile.TemporaryDirectory(prefix="vorn-collector-log-")  # kept if the db's goes
        test.addCleanup(logs.cleanup)
        self.stderr = pathlib.Path(logs.name) / "stderr.txt"
        self.db = db or f"sqlite:{self.path}"
        self.process = None

    def cli(self, *args, status=0, env=None):
        done = subprocess.run([str(COLLECTOR), *args, "--db", self.db], capture_output=True,
                              text=True, timeout=60, env=dict(os.environ, **(env or {})))
        self.test.assertEqual(done.returncode, status, done.stderr)
        return done.stdout

    def add_player(self, name):
        return self.cli("player", "add", name).splitlines()[-1]

    def start(self, *options, reuse_ms=0, prefix=(), env=None):  # by default each read sees
        if self.db == f"sqlite:{self.path}" and not self.path.exists():  # the reports before it
            self.cli("init")  # serve makes none
        with self.stderr.open("ab") as stderr:
            self.process = subprocess.Popen(
                [*prefix, str(COLLECTOR), "serve", "--db", self.db, "--listen", "127.0.0.1:0",
                 "--board-reuse-ms", str(reuse_ms), *options],
                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, stderr=stderr, env=dict(
                    os.environ, **(env or {}), TSAN_OPTIONS=(
                        f"suppressions={pathlib.Path(__file__).parent / 'collector.tsan.supp'}")))
        self.test.addCleanup(self.stop)
        line = self.process.stdout.readline().decode()
        match = re.fullmatch(r"listening on http://127\.0\.0\.1:(\d+)\n", line)
        self.test.assertTrue(match, line)
        self.port = int(match.group(1))
        self.url = f"http://127.0.0.1:{self.port}"
        if "--metrics-listen" in options:
            self.metrics_url = self.process.stdout.readline().decode().split()[-1]
        return self

    def log(self):
        return self.stderr.read_text(errors="replace")

    def stop(self, sig=signal.SIGTERM):  # after SIGTERM it must end cleanly, sanitizers too
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)
            code = self.process.wait(timeout=60)
            self.process.stdout.close()
            if sig == signal.SIGTERM:
                self.test.assertEqual(code, 0, self.log()[:8000])  # a sanitizer report begins the log

    def request(self, method, path, body=None, headers=None):
        with contextlib.closing(http.client.HTTPConnection("127.0.0.1", self.port,
                                                           timeout=60)) as connection:
            connection.request(method, path, body=body, headers=headers or {})
            answer = connection.getresponse()
            self.headers = answer.headers
            return answer.status, answer.read()

    def post(self, body, key):
        headers = {"Content-Type": "application/json", "Connection": "close",
                   **({} if key is None else {"X-VORN-Key": key})}
        return self.request("POST", "/api/v1/telemetry", body, headers)[0]

    def leaderboard(self, query=""):
        status, body = self.request("GET", "/api/v1/leaderboard" + query)
        self.test.assertEqual(status, 200, body)
        return json.loads(body)["players"]


def body(name, miles, seconds, truck="Raw", server=SERVER):
    """A report as any client may send it; the plug-in's own bytes are report_body's."""
    return json.dumps({"player_name": name, "server_id": server, "miles_delta": miles,
                       "seconds_delta": seconds, "truck": truck, "trailer": "None"}).encode()


def metric_samples(service):
    """The samples of the service's metrics address, by name and label values."""
    with urllib.request.urlopen(service.metrics_url, timeout=60) as answer:
        return {(s.name, tuple(s.labels.values())): s.value for family in
                text_string_to_metric_families(answer.read().decode()) for s in family.samples}


def await_settled(test, service, ready, why="the deliveries are not all settled"):
    """Waits until `service` has no delivery waiting and `ready(sent)` holds of the posts its
    webhooks answered 2xx; returns that count."""
    deadline = time.monotonic() + 30
    while True:
        samples = metric_samples(service)
        sent = samples["vorn_announcements_sent_total", ()]
        if samples["vorn_announcements_waiting", ()] == 0 and ready(sent):
            return sent
        test.assertLess(time.monotonic(), deadline, why)
        time.sleep(0.05)


def report_counts(service, *codes):
    samples = metric_samples(service)
    return {code: samples["vorn_reports_total", (code,)] for code in codes}


# Reports from the players Night Owl (`key`), Other, Gone (revoked), New and Late, in order,
# to a collector that takes four a minute from a key: what each is answered.
REPORT_ROWS = [
    ("first report, 10 s since the player was added: stored", "key", report_body(10, 0.1), 200),
    ("an hour at once: stored, flagged by wall time", "key", report_body(3600, 50), 200),
    ("above the speed limit: stored, flagged", "key", report_body(10, 5.0), 200),
    ("a new key's first report claims years: flagged", "new", body("New", 10000, 2**31 - 1), 200),
    ("256-byte truck and trailer: stored, flagged", "key",
     report_body(60, 0.1, "T" * 256, "R" * 256), 200),
    ("a fifth report within a minute", "key", report_body(10, 0.1), 429),
    ("257-byte truck", "late", body("Late", 0.1, 10, "T" * 257), 400),
    ("escape in a truck", "late", body("Late", 0.1, 10, "\x1b[2J"), 400),
    ("no key", None, report_body(10, 0.1), 401),
    ("unknown key", "not-a-key", report_body(10, 0.1), 401),
    ("unknown key again: no second log line", "not-a-key", report_body(10, 0.1), 401),
    ("revoked key", "gone", body("Gone", 1.0, 60), 401),
    ("another player's name", "other", report_body(10, 0.1), 403),
    ("not a report", "key", b'{"player_name":"Night Owl"}', 400),
    ("a name in Latin-1: an ini saved as ANSI", "key",
     report_body(10, 0.1).replace(b"Night Owl", b"M\xfcller"), 400),
    ("unknown server", "key", body("Night Owl", 1.0, 60, server="9" * 17 + "/101"), 422),
]


class Answers(unittest.TestCase):
    def reported(self, rows=REPORT_ROWS):
        """A collector with the five players that has been sent `rows`."""
        service = Service(self)
        keys = {name.lower(): service.add_player(name)
                for name in ("Night Owl", "Other", "Gone", "New", "Late")}
        keys["key"] = keys.pop("night owl")
        service.cli("player", "revoke", "Gone")
        service.start("--max-reports-per-minute", "4", "--metrics-listen", "127.0.0.1:0")
        for name, who, data, status in rows:
            with self.subTest(name):
                self.assertEqual(service.post(data, keys.get(who, who)), status)
                if status == 429:
                    self.assertTrue(0 < int(service.headers["Retry-After"]) <= 60)
        return service, keys

    def test_status_metrics_and_log_of_each_kind_of_report(self):
        service, keys = self.reported()
        self.assertEqual(report_counts(service, "200", "400", "401", "403", "422", "429"), {
            "200": 5, "400": 4, "401": 4, "403": 1, "422": 1, "429": 1})
        samples = metric_samples(service)
        self.assertEqual((samples["vorn_reports_flagged_total", ("speed",)],
                          samples["vorn_reports_flagged_total", ("wall_time",)],
                          samples["vorn_commit_batch_reports_count", ()] >= 5), (1, 3, True))
        log = service.log()
        self.assertEqual(log.count("unknown or revoked key"), 2)  # not-a-key once, Gone once
        self.assertIn('refused 403 player="Night Owl" from 127.0.0.1: player_name does not', log)
        self.assertIn('refused 400 player="M\\ufffdller" from 127.0.0.1: body is not UTF-8 '
                      '(player_name "M\\xFCller"): a player\'s ini saved in another encoding', log)
        version = subprocess.run([COLLECTOR, "--version"], capture_output=True, text=True).stdout
        self.assertEqual(samples["vorn_build_info", (version.split()[-1],)], 1)
        for secret in keys.values():
            self.assertNotIn(secret, log)

    def test_board_of_a_day_and_the_review_of_its_flags(self):
        service, _ = self.reported(REPORT_ROWS[:5])
        day = datetime.date.fromisoformat(service.leaderboard()[0]["last_seen"][:10])
        whole = lambda query="": json.loads(service.request("GET", "/api/v1/leaderboard" + query)[1])
        board = whole(f"?since={day}&until={day}")
        # New has only a flagged report: no place, listed apart so that nobody disappears.
        owl, new = board["players"][0], board["nothing_counted_yet"][0]
        self.assertEqual((owl["miles"], owl["seconds"], owl["reports"], owl["flagged_reports"],
                          owl["servers"], owl["last_truck"], owl["last_trailer"], owl["rank"],
                          board["total_players"], len(board["players"]), new["player_name"],
                          new["flagged_reports"], "rank" in new),
                         (0.1, 10, 1, 3, {SERVER: {"miles": 0.1, "seconds": 10}}, "T" * 256,
                          "R" * 256, 1, 1, 1, "New", 1, False))
        page = service.request("GET", "/")[1].decode()
        self.assertIn('Reported, nothing counted yet</h3>\n<ul id="unplaced"><li>'
                      '<a href="/players/New">New</a> (1 flagged report awaiting review)', page)
        self.assertIn("Reported in this period, nothing counted yet (1 flagged report awaiting "
                      "review), so no place", service.request("GET", "/players/New")[1].decode())
        one_day = datetime.timedelta(days=1)
        for query, players in ((f"?until={day}", 2), (f"?until={day - one_day}", 0),
                               (f"?since={day}", 2), (f"?since={day + one_day}", 0)):
            with self.subTest(query):
                board = whole(query)
                self.assertEqual(len(board["players"] + board["nothing_counted_yet"]), players)
        self.assertEqual(service.request("GET", "/api/v1/leaderboard?since=today")[0], 400)

        # A wall-time flag accepted counts, the speed flag rejected stays out; a report is
        # reviewed once, and a failed review changes nothing.
        flagged = [line.split("\t") for line in
                   service.cli("flags", "list", "--player", "Night Owl").splitlines()[1:]]
        self.assertEqual([(f[4], f[8]) for f in flagged],
                         [("50.000", "wall_time"), ("5.000", "speed"), ("0.100", "wall_time")])
        service.cli("flags", "accept", flagged[0][0])
        service.cli("flags", "reject", flagged[1][0], flagged[0][0], status=1)
        service.cli("flags", "reject", flagged[1][0])
        waiting = [line.split("\t") for line in service.cli("flags", "list").splitlines()[1:]]
        self.assertEqual(len(waiting), 2)  # New's, Owl's last
        # A first report's wall time is told from the player's creation, a later one's from
        # the report before it.
        self.assertEqual([(f[2], f[9].split(" s ", 2)[-1]) for f in waiting],
                         [("New", "since the player was added"),
                          ("Night Owl", "after the previous report")])
        for name, told in (("New", "since the player was added"),
                           ("Night Owl", "after the previous report")):  # the player's JSON too
            answer = service.request("GET", "/api/v1/players/" + name.replace(" ", "%20"))
            flags = json.loads(answer[1])["flags"]
            self.assertEqual([f["explanation"].split(" s ", 2)[-1] for f in flags
                              if f["flag"] == "wall_time" and f["review"] == "waiting"], [told])
        owl = {p["player_name"]: p for p in service.leaderboard()}["Night Owl"]
        self.assertEqual((owl["miles"], owl["reports"], owl["flagged_reports"]), (50.1, 2, 1))
        service.cli("flags", "accept", waiting[0][0])  # New's one report counts: a place
        self.assertEqual([(p["player_name"], p["rank"]) for p in whole()["players"]],
                         [("New", 1), ("Night Owl", 2)])
        self.assertEqual(whole()["nothing_counted_yet"], [])
        exported = [(r["flag"], r["review"], r["reviewed"][:2]) for r in csv.DictReader(
            io.StringIO(service.cli("export"))) if r["player_name"] == "Night Owl"]
        self.assertEqual(exported, [("", "", ""), ("wall_time", "accepted", "20"),
                                    ("speed", "rejected", "20"), ("wall_time", "", "")])

    def test_refusals_from_the_head_alone_on_each_side_of_the_limits(self):
        service, keys = self.reported([])
        post = b"POST /api/v1/telemetry HTTP/1.1\r\nHost: x\r\nX-VORN-Key: %s\r\n" % (
            keys["key"].encode())
        report = report_body(10, 0.1)
        get = b"GET /healthz HTTP/1.1\r\nHost: x\r\nX-Pad: "

        def sized(length):  # a body of `length` bytes: the report, then spaces
            return b"Content-Length: %d\r\n\r\n" % length + report.ljust(length)

        rows = [
            ("a body of 16 KiB", post + sized(16384), 200),
            ("a body of a byte more", post + sized(16385), 413),
            ("chunked", post + b"Transfer-Encoding: chunked\r\n\r\n", 411),
            ("no length", post + b"\r\n", 411),
            ("content-coded", post + b"Content-Encoding: br\r\nContent-Length: 9\r\n\r\n", 415),
            # Beast counts the fields a little past the first bytes it reads: 16 KiB in all
            # is below its edge, 16 KiB in one field above it.
            ("a head of 16 KiB in all", get + b"p" * (16384 - len(get) - 4) + b"\r\n\r\n", 200),
            ("a field of 16 KiB", post + b"X-Pad: " + b"p" * 16384 + b"\r\n\r\n", 431),
        ]
        for name, request, status in rows:
            with self.subTest(name), socket.create_connection(("127.0.0.1", service.port),
                                                              timeout=60) as raw:
                raw.sendall(request)
                self.assertRegex(raw.recv(200), rb"^HTTP/1\.1 %d " % status)
        self.assertEqual(report_counts(service, "200", "411", "413", "415", "431"), {
            "200": 1, "411": 2, "413": 1, "415": 1, "431": 1})
        self.assertIn("refused 431 player=- from 127.0.0.1", service.log())

    def test_a_report_posted_to_another_path_is_logged_with_the_path(self):
        service, keys = self.reported([])
        owl = body("Night Owl", 0.1, 10)
        rows = [  # method, path, key, status, the log line's end (None: no line)
            ("POST", "/", keys["key"], 405,
             'player="Night Owl" from 127.0.0.1 to "/": a report is posted to /api/v1/telemetry'),
            ("POST", "/api/v1/telemetri", keys["key"], 404, None),  # the same sender, within
            ("POST", "/api/v1/telemetri", None, 404,              # the minute; by address
             'player="Night Owl" from 127.0.0.1 to "/api/v1/telemetri": a report is posted'),
            ("GET", "/api/v1/telemetri", None, 404, None),  # not a report
            ("POST", "/api/v1/telemetry", keys["key"], 200, None),
        ]
        for method, path, key, status, line in rows:
            with self.subTest(path):
                before = service.log().count(" refused ")
                self.assertEqual(service.request(method, path, owl, {
                    "Connection": "close", **({"X-VORN-Key": key} if key else {})})[0], status)
                log = service.log()
                self.assertEqual(log.count(" refused "), before + (line is not None), log)
                if line:
                    self.assertIn(f"refused {status} {line}", log)
        self.assertNotIn(keys["key"], service.log())


def assert_503_while_commits_fail(test, service, report, key):
    """/healthz polled every 100 ms: 503 within 5 s of the fault, then not one 200 over 6 s
    (longer than an outcome stands and a probe takes), while reports posted one after
    another meanwhile all get 503. Returns their statuses."""
    faulted = time.monotonic()
    while service.request("GET", "/healthz")[0] != 503:
        test.assertLess(time.monotonic() - faulted, 5)
        time.sleep(0.1)
    statuses, polls, done = [], [], threading.Event()

    def post():
        while not done.wait(0.2):
            statuses.append(service.post(report, key))

    poster = threading.Thread(target=post)
    poster.start()
    try:
        until = time.monotonic() + 6
        while time.monotonic() < until:
            polls.append(service.request("GET", "/healthz")[0])
            time.sleep(0.1)
    finally:
        done.set()
        poster.join()
    test.assertEqual(set(polls), {503})
    test.assertEqual(set(statuses), {503})
    return statuses


class Durability(unittest.TestCase):
    def test_every_200_of_concurrent_requests_survives_kill_9(self):
        service = Service(self)
        keys = {f"Driver {i}": service.add_player(f"Driver {i}") for i in range(24)}
        service.start("--no-wall-time-check")
        posts = [(name, key, i + 1) for i, (name, key) in enumerate(keys.items())]
        posts += [(name, "wrong-" + key, 1000) for name, key in list(keys.items())[:12]]
        with concurrent.futures.ThreadPoolExecutor(len(posts)) as pool:
            statuses = list(pool.map(
                lambda p: service.post(body(p[0], p[2] / 8, 3600), p[1]), posts))
        service.stop(signal.SIGKILL)
        self.assertEqual(statuses, [200] * 24 + [401] * 12)

        rows = list(csv.DictReader(io.StringIO(service.cli("export"))))
        self.assertEqual(sorted((r["player_name"], float(r["miles_delta"])) for r in rows),
                         sorted((name, miles / 8) for name, _, miles in posts[:24]))


    def test_full_disk_answers_503_and_healthz_503_until_a_commit_succeeds(self):
        disk = tempfile.mkdtemp(prefix="vorn-full-")
        self.addCleanup(shutil.rmtree, disk, True)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", disk],
                          capture_output=True).returncode:
            self.skipTest("no tmpfs can be mounted here (it takes root)")
        self.addCleanup(subprocess.run, ["umount", "-l", disk])
        service = Service(self, f"sqlite:{disk}/reports.db")
        key = service.add_player("Night Owl")
        service.start()
        report = body("Night Owl", 0.1, 10)
        self.assertEqual(service.post(report, key), 200)
        filler = pathlib.Path(disk, "filler")
        with open(filler, "wb", buffering=0) as fill, contextlib.suppress(OSError):
            while True:
                fill.write(b"\0" * 65536)
                fill.flush()
        self.assertEqual([service.post(report, key), service.request("GET", "/healthz")[0]],
                         [503, 503])
        filler.unlink()
        self.assertEqual([service.post(report, key), service.request("GET", "/healthz")[0]],
                         [200, 200])

    def test_export_defuses_formulas_and_control_characters_and_keeps_numbers(self):
        service = Service(self)
        service.add_player("=cmd|' /C calc'!A0")  # as an older collector may have stored it
        cells = [("-2+3", "@SUM(A1)", 1e308), ("\tx", "\x1b[2J\u009b1m", 0.1 + 0.2),
                 ("a,\"b\"", "Box", 5e-324)]
        with contextlib.closing(sqlite3.connect(service.path)) as db, db:
            db.executemany("INSERT INTO reports(player_id, received_ms, server_id, miles, seconds,"
                           " truck, trailer, flag) VALUES(1, 0, 's', ?, 1, ?, ?, '')",
                           [(miles, truck, trailer) for truck, trailer, miles in cells])
        rows = list(csv.reader(io.StringIO(service.cli("export"))))[1:]
        self.assertEqual([(r[3], r[7], r[8], float(r[5])) for r in rows], [
            ("'=cmd|' /C calc'!A0", "'-2+3", "'@SUM(A1)", 1e308),
            ("'=cmd|' /C calc'!A0", "'\ufffdx", "\ufffd[2J\ufffd1m", 0.1 + 0.2),
            ("'=cmd|' /C calc'!A0", 'a,"b"', "Box", 5e-324)])


class Activity(unittest.TestCase):
    def test_a_months_activity_at_its_edges_with_leave(self):
        service = Service(self)
        ms = lambda text: round(datetime.datetime.fromisoformat(text).timestamp() * 1000)
        iso = lambda text: text.replace("+00:00", "Z")
        # January 2026, 31 days: a minimum of 310 miles is 10 a day.
        before = "2025-12-01T00:00"
        players = [("Regular", before, None), ("Late", "2026-01-31T12:00", None),
                   ("Leave", before, None), ("Rejected", before, None),
                   ("Gone", before, "2026-01-01T00:00"),
                   ("Gone Before", before, "2025-12-31T23:59:59.999")]
        for name, _, _ in players:
            service.add_player(name)
        service.cli("player", "leave", "Leave", "--from", "2026-01-01", "--to", "2026-01-15")
        service.cli("player", "leave", "Leave", "--from", "2026-01-10", "--to", "2026-01-20")
        service.cli("player", "leave", "Late", "--from", "2026-01-31", "--to", "2026-01-31")
        service.cli("player", "leave", "Rejected", "--from", "2026-01-01", "--to", "2026-01-31")
        self.assertEqual(service.cli("player", "leave", "Rejected", "--clear"),
                         "removed 1 leave period of Rejected\n")
        for wrong in (["Leave", "--from", "2026-02-30", "--to", "2026-03-01"],
                      ["Leave", "--from", "2026-01-02", "--to", "2026-01-01"],
                      ["Leave", "--from", "2026-01-02"], ["Nobody", "--clear"],
                      ["Nobody", "--from", "2026-01-01", "--to", "2026-01-01"]):
            service.cli("player", "leave", *wrong, status=2)
        reports = [("Regular", "2026-01-10T10:00:00+00:00", 600.0, ""),
                   ("Late", "2026-01-31T13:00:00+00:00", 9.0, ""),
                   ("Leave", "2026-01-25T10:00:00+00:00", 120.0, ""),
                   ("Rejected", "2026-01-05T10:00:00+00:00", 400.0, ""),
                   ("Rejected", "2026-01-20T10:00:00+00:00", 900.0, "speed")]
        with contextlib.closing(sqlite3.connect(service.path)) as db, db:
            for name, added, revoked in players:
                db.execute("UPDATE players SET created_ms = ?, revoked_ms = ? WHERE name = ?",
                           (ms(added + "+00:00"), revoked and ms(revoked + "+00:00"), name))
            db.executemany(
                "INSERT INTO reports(player_id, received_ms, server_id, miles, seconds, truck,"
                " trailer, flag, review) SELECT id, ?, ?, ?, 3600, 'T', 'R', ?, ? FROM players"
                " WHERE name = ?", [(ms(at), SERVER, miles, flag, flag and "rejected", name)
                                    for name, at, miles, flag in reports])
            db.execute("PRAGMA user_version = 0")  # the totals are built again from the reports
        table = [line.split("\t") for line in service.cli(
            "activity", "--month", "2026-01", "--min-miles", "310").splitlines()]
        silent = "no counted report in 30 days"
        self.assertEqual(table, [
            ["player", "added", "miles", "hours", "reports", "minimum", "last report",
             "latest of any kind", "marks"],
            ["Gone", "2025-12-01", "0.000", "0.00", "0", "10.000", "none", "",
             "revoked 2026-01-01, under the minimum, never reported"],
            ["Late", "2026-01-31", "9.000", "1.00", "1", "0.000", iso(reports[1][1]), "",
             "on leave 1 day, " + silent],  # added on the one day of its leave
            ["Leave", "2025-12-01", "120.000", "1.00", "1", "110.000", iso(reports[2][1]), "",
             "on leave 20 days, " + silent],
            ["Regular", "2025-12-01", "600.000", "1.00", "1", "310.000", iso(reports[0][1]), "",
             silent],
            ["Rejected", "2025-12-01", "400.000", "1.00", "1", "310.000", iso(reports[3][1]),
             iso(reports[4][1]), silent]])
        rows = list(csv.DictReader(io.StringIO(service.cli(
            "activity", "--month", "2026-01", "--min-miles", "310", "--csv"))))
        self.assertEqual([(r["player_name"], r["minimum"], r["latest_report_any_kind"],
                           r["under_minimum"], r["revoked"], r["leave_days"]) for r in rows], [
            ("Gone", "10.000", "", "yes", "2026-01-01T00:00:00Z", "0"),
            ("Late", "0.000", "", "", "", "1"),
            ("Leave", "110.000", "", "", "", "20"),
            ("Regular", "310.000", "", "", "", "0"),
            ("Rejected", "310.000", iso(reports[4][1]), "", "", "0")])
        service.cli("activity", "--month", "2026-13", status=2)

    def test_the_board_shows_movement(self):
        service = Service(self)
        for name in ("Regular", "Short", "Silent", "Never", "Gone"):
            service.add_player(name)
        service.cli("player", "revoke", "Gone")
        now = int(time.time() * 1000)
        day = 86_400_000
        recent, silent = now - 60_000, now - 31 * day
        reports = [("Regular", recent, 600.0), ("Regular", now - 20 * day, 100.0),
                   ("Short", recent, 10.0), ("Silent", silent, 150.0), ("Gone", recent, 5.0)]
        with contextlib.closing(sqlite3.connect(service.path)) as db, db:
            db.executemany(
                "INSERT INTO reports(player_id, received_ms, server_id, miles, seconds, truck,"
                " trailer, flag) SELECT id, ?, ?, ?, 3600, 'T', 'R', '' FROM players"
                " WHERE name = ?", [(ms, SERVER, miles, name) for name, ms, miles in reports])
            db.execute("PRAGMA user_version = 0")  # the totals are built again from the reports

        # The movement looks back to 00:00 UTC seven days ago: a report a minute before
        # that was on the board then, one a minute after it is new.
        cut = (now // day - 7) * day
        for name in ("Edge Then", "Edge Now"):
            service.add_player(name)
        with contextlib.closing(sqlite3.connect(service.path)) as db, db:
            db.executemany(
                "INSERT INTO reports(player_id, received_ms, server_id, miles, seconds, truck,"
                " trailer, flag) SELECT id, ?, ?, ?, 3600, 'T', 'R', '' FROM players"
                " WHERE name = ?", [(cut - 60_000, SERVER, 50.0, "Edge Then"),
                                    (cut + 60_000, SERVER, 40.0, "Edge Now")])
            db.execute("PRAGMA user_version = 0")
        # Seven days ago Silent led Regular; Short and Gone were not on the board.
        service.start()
        board = service.leaderboard()
        same_day = int(time.time() * 1000) // day == now // day  # else the cut moved meanwhile
        self.assertEqual([(p["player_name"], p["rank"], p["rank_change"]) for p in board
                          if same_day or not p["player_name"].startswith("Edge")],
                         [("Regular", 1, 1), ("Silent", 2, -1), ("Edge Then", 3, 0),
                          ("Edge Now", 4, "new"), ("Short", 5, "new"), ("Gone", 6, "new")]
                         if same_day else [("Regular", 1, 1), ("Silent", 2, -1),
                                           ("Short", 5, "new"), ("Gone", 6, "new")])
        self.assertNotIn("rank_change", service.leaderboard("?since=2000-01-01")[0])


class Browser:
    """Headless Chromium driven through its DevTools pipe (commands on fd 3, answers on fd 4)."""

    def __init__(self, test):
        profile = tempfile.TemporaryDirectory(prefix="vorn-chromium-")
        test.addCleanup(profile.cleanup)
        (self.input, its_out), (its_in, self.out) = os.pipe(), os.pipe()
        self.buffer, self.last_id = b"", 0
        self.process = subprocess.Popen(
            [shutil.which("chromium") or "chromium", "--headless", "--no-sandbox",
             "--disable-gpu", "--no-first-run", "--hide-scrollbars", "--disable-sync",
             "--disable-background-networking", "--disable-component-update",
             f"--user-data-dir={profile.name}", "--remote-debugging-pipe"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            close_fds=False, preexec_fn=lambda: self.pipes_at_3_and_4(its_in, its_out))
        os.close(its_in), os.close(its_out)
        test.addCleanup(self.close)
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]
        self.call("Page.enable", self.session)

    @staticmethod
    def pipes_at_3_and_4(its_in, its_out):
        """In the child: its ends of the pipes as fds 3 and 4, kept across exec. (Not with
        pass_fds=(3, 4), which fails with EBADF when fd 3 or 4 is closed at the fork, as a
        socket of another thread may just be; Python's other fds are closed at exec.)"""
        os.dup2(its_in, 3)  # its_out is never 3: the first pipe's read end is below it
        os.dup2(its_out, 4)
        os.set_inheritable(3, True)
        os.set_inheritable(4, True)  # dup2 onto itself keeps close-on-exec

    def close(self):  # Chromium's helpers end with it, leaving the profile alone
        self.call("Browser.close")
        self.process.wait(timeout=60)
        os.close(self.input), os.close(self.out)

    def next_message(self):
        while b"\0" not in self.buffer:
            ready = select.select([self.input], [], [], 60)[0]
            data = os.read(self.input, 1 << 16) if ready else b""
            assert data, "Chromium fell silent"
            self.buffer += data
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, session=None, **params):
        self.last_id += 1
        message = {"id": self.last_id, "method": method, "params": params}
        os.write(self.out, json.dumps(message | ({"sessionId": session} if session else {}))
                 .encode() + b"\0")
        while (message := self.next_message()).get("id") != self.last_id:
            pass
        assert "error" not in message, message
        return message["result"]

    def load(self, url, width):
        """The page at `url` in a window `width` CSS pixels wide; what the DOM shows of it."""
        self.call("Emulation.setDeviceMetricsOverride", self.session, width=width, height=900,
                  deviceScaleFactor=1, mobile=False)
        self.call("Page.navigate", self.session, url=url)
        while self.next_message().get("method") != "Page.loadEventFired":
            pass
        return self.call("Runtime.evaluate", self.session, returnByValue=True, expression="""({
            title: document.title, path: location.pathname + location.search,
            heading: document.querySelector('main h2').textContent,
            tabs: [...document.querySelectorAll('nav.tabs a')].map(
                a => [a.textContent, a.getAttribute('href'), a.matches('[aria-current=page]')]),
            servers: [...document.querySelectorAll('#leaderboard tr:nth-child(2) th')].map(
                th => [th.textContent, th.title]),
            players: [...document.querySelectorAll('#leaderboard td > a')].map(
                a => [a.textContent, a.getAttribute('href')]),
            bars: [...document.querySelectorAll('svg.chart rect')].reduce(
                (sum, bar) => sum + Number(bar.dataset.miles), 0),
            reports: document.querySelectorAll('#reports tbody tr').length,
            links: [...document.querySelectorAll('nav.pages a')].map(
                a => a.id + ' ' + a.getAttribute('href')),
            finds: document.querySelectorAll('input[name=player]').length,
            notice: [...document.querySelectorAll('#event-notice a')].map(
                a => a.getAttribute('href')),
            events: [...document.querySelectorAll('main table td:first-child a[href^="/events/"]')]
                .map(a => [a.closest('table').id, a.textContent]),
            board: [...document.querySelectorAll('#board tbody tr')].map(
                tr => [...tr.cells].slice(0, 3).map(td => td.textContent)),
            window: [...document.querySelectorAll('#window, #servers')].map(p => p.textContent),
            moves: [...document.querySelectorAll('#leaderboard td.move')].map(td => td.textContent),
            flags: [...document.querySelectorAll('#flags tbody tr')].map(
                tr => [...tr.cells].map(td => td.textContent)),
            sideways: document.documentElement.scrollWidth - innerWidth})""")["result"]["value"]


class Freshness(unittest.TestCase):
    def test_reports_and_reviews_of_past_days_show_within_the_reuse_time_and_a_computation(self):
        service, reuse = Service(self), 1.0
        key = service.add_player("Past")
        self.assertEqual(service.start().post(body("Past", 500, 10), key), 200)  # flagged: speed
        service.stop()
        # Two days back; the totals are built again from the reports when the store opens.
        with contextlib.closing(sqlite3.connect(service.path)) as db:
            db.execute("UPDATE reports SET received_ms = received_ms - 2 * 86400000")
            db.execute("PRAGMA user_version = 0")
            db.commit()
        service.start(reuse_ms=int(reuse * 1000))
        past = datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=2)
        query = f"?since={past}&until={past}"

        def seen_within(bound, check):
            started = time.monotonic()
            while not check():
                self.assertLess(time.monotonic() - started, bound)
                time.sleep(0.02)

        unplaced = lambda query="": json.loads(service.request(
            "GET", "/api/v1/leaderboard" + query)[1])["nothing_counted_yet"]
        self.assertEqual(unplaced(query)[0]["miles"], 0)  # flagged only: no place
        self.assertNotIn(b"500.00 miles", service.request("GET", "/" + query)[1])
        self.assertEqual(unplaced()[0]["miles"], 0)  # its closed days kept
        service.cli("flags", "accept", service.cli("flags", "list").splitlines()[1].split("\t")[0])
        # A computation of this tiny board takes milliseconds; a second covers a busy machine.
        miles = lambda query="": [p["miles"] for p in service.leaderboard(query)]
        seen_within(reuse + 1, lambda: miles(query) == [500])
        seen_within(reuse + 1, lambda: b"500.00 miles" in service.request("GET", "/" + query)[1])
        seen_within(reuse + 1, lambda: miles() == [500])
        self.assertEqual(service.post(body("Past", 1, 60), key), 200)
        seen_within(reuse + 1, lambda: service.leaderboard()[0]["miles"] == 501)


class Page(unittest.TestCase):
    def test_browser_shows_tabs_servers_players_and_charts_and_names_as_text(self):
        service = Service(self)
        names = ["Gamma & Co", "<script>document.title='run'</script>", "Alpha"]
        service.start("--server-name", f"{SERVER}=Road <Kings>", "--title", 'Hub & "Co"',
                      "--no-wall-time-check",  # an hour each at once
                      "--server-max-mph", f"{SERVER}=80")
        keys = {name: service.add_player(name) for name in names}
        for miles, name in enumerate(names, 1):
            self.assertEqual(service.post(body(name, miles, 3600), keys[name]), 200)
        self.assertEqual(service.post(body("Alpha", 2.0, 60), keys["Alpha"]), 200)  # 120 mph
        page = json.loads(service.request("GET", "/api/v1/leaderboard?limit=1&offset=1")[1])
        self.assertEqual((page["total_players"], [(p["rank"], p["miles"]) for p in page["players"]]),
                         (3, [(2, 2.0)]))
        self.assertEqual([p["rank"] for p in service.leaderboard("?player=Gamma%20%26%20Co")], [3])
        for malformed in ("limit=0", "limit=1001", "offset=-1"):
            self.assertEqual(service.request("GET", "/api/v1/leaderboard?" + malformed)[0], 400)
        browser = Browser(self)
        by_miles = [("Alpha", "/players/Alpha"),
                    (names[1], "/players/%3Cscript%3Edocument.title%3D%27run%27%3C%2Fscript%3E"),
                    ("Gamma & Co", "/players/Gamma%20%26%20Co")]
        for width in (1280, 360):
            main = browser.load(service.url + "/", width)
            self.assertEqual((main["title"], [t[0] for t in main["tabs"]], main["sideways"]), (
                'Hub & "Co"', ["All time", "This week", "Last week", "This month", "Last month"], 0))
            this_week = browser.load(service.url + main["tabs"][1][1], width)
            self.assertEqual((main["moves"], this_week["moves"]), (["new"] * 3, []))
            for page, marked in ((main, 0), (this_week, 1)):
                self.assertEqual([t[2] for t in page["tabs"]], [i == marked for i in range(5)])
                self.assertEqual(page["players"], [[n, u + page["tabs"][marked][1][1:]]
                                                   for n, u in by_miles])
                self.assertAlmostEqual(page["bars"], 6.0)
            self.assertEqual(main["servers"][:2],
                             [["Server 1", main["servers"][0][1]], ["Road <Kings>", SERVER]])

            player = browser.load(service.url + by_miles[1][1] + "?since=1999-01-01", width)
            self.assertEqual((player["title"], player["heading"], player["path"],
                              player["reports"], player["bars"], player["sideways"]),
                             (f'{names[1]} | Hub & "Co"', names[1],
                              by_miles[1][1] + "?since=1999-01-01", 1, 2.0, 0))
            self.assertEqual([t[1] for t in player["tabs"]][:2],
                             [by_miles[1][1], by_miles[1][1] + this_week["tabs"][1][1][1:]])
        two = browser.load(service.url + "/?limit=2", 1280)  # a next link, no previous
        self.assertEqual((two["players"], two["links"], two["finds"]),
                         ([[n, u] for n, u in by_miles[:2]], ["next /?offset=2&limit=2"], 1))
        status, answer = service.request("GET", by_miles[1][1].replace("/", "/api/v1/", 1))
        self.assertEqual((status, json.loads(answer)["miles"]), (200, 2.0))

        # A reader that takes gzip gets the same bytes gzipped; a HEAD says the length a GET
        # sends; a JSON board too small to be worth it stays plain. (Before the review below,
        # which may reach a page between two of these reads.)
        for path, accept, gzipped in (("/", "gzip, deflate, br", True), ("/", "br", False),
                                      ("/players/Alpha", "gzip", True),
                                      ("/api/v1/leaderboard", "gzip", False)):
            with self.subTest(path=path, accept=accept):
                plain = service.request("GET", path)[1]
                status, answer = service.request("GET", path, headers={"Accept-Encoding": accept})
                self.assertEqual((status, service.headers["Content-Encoding"]),
                                 (200, "gzip" if gzipped else None))
                self.assertEqual(gzip.decompress(answer) if gzipped else answer, plain)
                self.assertEqual(service.headers["Vary"], "Accept-Encoding" if gzipped or
                                 len(plain) >= 1024 else None)
                service.request("HEAD", path, headers={"Accept-Encoding": accept})
                self.assertEqual(int(service.headers["Content-Length"]), len(answer))

        # Alpha's flagged report, explained on the page and in the JSON, before and after review.
        why = "2.0 miles in 60 s: 120 mph, above this server's 80 mph"
        # (The page after review at another URL: the browser may keep a page for 5 s.)
        for review, text, query in (("waiting", "waiting for review", ""),
                                    ("accepted", "counted after review", "?since=2000-01-01")):
            [flag] = json.loads(service.request("GET", "/api/v1/players/Alpha")[1])["flags"]
            self.assertEqual((flag["flag"], flag["limit_mph"], flag["explanation"],
                              flag["review"], flag["review_text"]),
                             ("speed", 80, why, review, text))
            self.assertEqual(browser.load(service.url + "/players/Alpha" + query, 1280)["flags"],
                             [[str(flag["id"]), flag["received"][:19].replace("T", " "),
                               "Road <Kings>", why, text]])
            if review == "waiting":  # the operator's list says it in the same words and names
                listed = service.cli("flags", "list", env={
                    "VORN_SERVER_NAMES": f"{SERVER}=Road <Kings>"}).splitlines()[1].split("\t")
                self.assertEqual((listed[3], listed[9]), ("Road <Kings>", why))
                service.cli("flags", "accept", str(flag["id"]))
        self.assertEqual(service.leaderboard("?player=Alpha")[0]["miles"], 5.0)
        self.assertEqual(service.request("GET", "/players/Nobody")[0], 404)
        served = service.request("GET", "/")[1]  # the bytes, before a browser re-serialises them
        for escaped in (b"Hub &amp; &quot;Co&quot;",
                        b"&lt;script&gt;document.title=&#39;run&#39;"):
            self.assertIn(escaped, served)

    def test_browser_shows_events_their_boards_and_refuses_malformed_ones(self):
        service = Service(self)
        servers = ("90071992547409921/101", SERVER)
        stamp = lambda hours: (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(
            hours=hours)).strftime("%Y-%m-%dT%H:%MZ")
        for args, message in (
                (("Backwards", "--start", stamp(1), "--end", stamp(0)), "ends before it starts"),
                (("No time", "--start", stamp(1), "--end", stamp(1)), "ends when it starts"),
                (("Unknown", "--start", stamp(0), "--end", stamp(1), "--server", "1/101"),
                 "not one of this build's servers"),
                (("Bell\a", "--start", stamp(0), "--end", stamp(1)), "control character"),
                (("Local", "--start", stamp(0)[:-1], "--end", stamp(1)), "UTC time in ISO 8601")):
            done = subprocess.run([str(COLLECTOR), "event", "add", *args, "--db", service.db],
                                  capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 2, done.stderr)
            self.assertIn(message, done.stderr)
        service.start("--no-wall-time-check",  # a name with spaces, as the service is given it
                      env={"VORN_SERVER_NAMES": f" {SERVER}=Road <Kings> ;"})
        name = "<script>document.title='run'</script>"
        running = service.cli("event", "add", name, "--start", stamp(-1), "--end", stamp(1),
                              "--server", servers[0], "--server", servers[1]).strip()
        service.cli("event", "add", "Past", "--start", stamp(-30), "--end", stamp(-20))
        service.cli("event", "add", "Next", "--start", stamp(3), "--end", stamp(4))
        for miles, player in enumerate(["Gamma & Co", "Alpha"], 1):
            self.assertEqual(service.post(body(player, miles, 3600), service.add_player(player)),
                             200)
        status, answer = service.request("GET", f"/api/v1/events/{running}?limit=1")
        event = json.loads(answer)
        self.assertEqual((status, event["event"]["state"], event["event"]["servers"],
                          event["total_players"], [p["player_name"] for p in event["players"]]),
                         (200, "running", list(servers), 2, ["Alpha"]))
        listed = json.loads(service.request("GET", "/api/v1/events")[1])["events"]
        self.assertEqual([(e["name"], e["state"]) for e in listed],
                         [("Next", "upcoming"), (name, "running"), ("Past", "ended")])
        paged = json.loads(service.request("GET", "/api/v1/events?limit=1&offset=1")[1])
        self.assertEqual(([e["name"] for e in paged["events"]], paged["total_events"]), ([name], 3))
        self.assertEqual(service.request("GET", "/events?limit=0")[0], 400)
        plain = service.request("GET", "/events?limit=2")[1]
        self.assertIn(b'<a id="next" href="/events?offset=2&amp;limit=2">', plain)
        answer = service.request("GET", "/events?limit=2", headers={"Accept-Encoding": "gzip"})[1]
        self.assertEqual((service.headers["Content-Encoding"], gzip.decompress(answer)),
                         ("gzip", plain))
        for args, lines, more in ((("--limit", "1"), ["Next"], "2 more events not listed"),
                                  (("--limit", "1000000"), ["Next", name, "Past"], ""),
                                  (("--since", stamp(-10)), ["Next", name], ""),
                                  (("--since", stamp(-21)), ["Next", name, "Past"], "")):
            done = subprocess.run([str(COLLECTOR), "event", "list", *args, "--db", service.db],
                                  capture_output=True, text=True, timeout=60)
            self.assertEqual([line.split("\t")[4] for line in done.stdout.splitlines()[1:]], lines)
            self.assertEqual(done.stderr.split(":")[0], more)
        for limit in ("0", "0x5", " 5", "1000001"):
            done = subprocess.run([str(COLLECTOR), "event", "list", "--limit", limit, "--db",
                                   service.db], capture_output=True, text=True, timeout=60)
            self.assertEqual((done.returncode, "--limit" in done.stderr), (2, True), limit)
        for missing in ("/events/0", "/events/99", "/events/x", "/api/v1/events/1x",
                        f"/events/0{running}", f"/api/v1/events/0{running}"):
            self.assertEqual(service.request("GET", missing)[0], 404, missing)
        browser = Browser(self)
        for width in (1280, 360):
            main = browser.load(service.url + "/", width)
            self.assertEqual(main["notice"], [f"/events/{running}", "/events"])
            events = browser.load(service.url + "/events", width)
            self.assertEqual((events["events"], events["sideways"]),
                             ([["running", name], ["upcoming", "Next"], ["past", "Past"]], 0))
            page = browser.load(service.url + f"/events/{running}", width)
            self.assertEqual((page["title"][:len(name)], page["heading"], page["sideways"]),
                             (name, name, 0))
            self.assertEqual(page["board"], [["1", "Alpha", "2.00"], ["2", "Gamma & Co", "1.00"]])
            self.assertRegex(page["window"][0], r"^\d{4}-\d\d-\d\d \d\d:\d\d to .* UTC, running$")
            self.assertEqual(page["window"][1], "Server 1, Road <Kings>")
            player = browser.load(service.url + "/players/Alpha", width)
            self.assertEqual((player["events"], player["sideways"]), ([["events", name]], 0))
        self.assertIn(b"&lt;script&gt;", service.request("GET", "/events")[1])


class PlayerIni(unittest.TestCase):
    def test_ini_from_player_add_gets_the_plugins_report_accepted(self):
        service = Service(self).start("--no-wall-time-check")  # it drives faster than real time
        ini = service.path.parent / "VORN_Davida_Client.ini"
        add = lambda name, path: subprocess.run(
            [str(COLLECTOR), "player", "add", name, "--ini", str(path), "--collector-url",
             service.url + "/api/v1/telemetry", "--db", service.db], capture_output=True)
        for name in (" Night Owl", "Night\nOwl", "CHANGE_ME"):  # the ini reader would change them
            self.assertEqual(add(name, ini).returncode, 2)
        self.assertEqual(add("Night Owl", ini).returncode, 0)
        taken = add("Night Owl", ini.with_suffix(".again"))  # no file is left behind
        self.assertEqual((taken.returncode, ini.with_suffix(".again").exists()), (1, False))
        data = ini.read_bytes()  # no byte-order mark, CR LF line ends only
        self.assertEqual((data[:1], b"\n" in data.replace(b"\r\n", b"")), (b"#", False))
        for placeholder in (b"CHANGE_ME", b"PASTE_API_KEY_HERE", b"Replace"):  # filled in, and
            self.assertNotIn(placeholder, data)  # its comments say so
        road = Road(self, service.url)  # the ini as written, but a report every 10 s, not 60
        road.folder.path.joinpath("VORN_Davida_Client.ini").write_bytes(
            data.replace(b"SendIntervalSeconds=60", b"SendIntervalSeconds=10"))
        road.start()
        miles = road.drive(20, 0.5)
        deadline = time.monotonic() + 60
        while sum(row["seconds"] for row in service.leaderboard()) < 20:
            self.assertLess(time.monotonic(), deadline, service.leaderboard())
            time.sleep(0.1)
        road.session.shutdown()
        road.session.close()
        [row] = service.leaderboard()
        self.assertEqual((row["player_name"], row["seconds"], round(row["miles"], 5)),
                         ("Night Owl", 20, round(miles, 5)))
        self.assertEqual(len(service.cli("player", "list").splitlines()), 1)
        # Into a folder: one folder a player, the file under the one name the plug-in reads.
        added = add("Day/Bird", service.path.parent)
        written = service.path.parent / "Day_Bird" / "VORN_Davida_Client.ini"
        self.assertEqual(added.stdout.decode().splitlines()[0].split(" (")[0], f"wrote {written}")
        self.assertIn(b"\r\nPlayerName=Day/Bird\r\n", written.read_bytes())
        self.assertEqual(add("Day/Bird", service.path.parent).returncode, 2)  # the file is there


def webhook_url(port):
    token = secrets.token_urlsafe(24)  # the secret part of the URL
    return token, f"http://127.0.0.1:{port}/api/webhooks/7/{token}"


class Webhook:
    """A chat webhook on loopback: answers each post with the next of `answers`
    ((status, headers)), then 204 as Discord does; keeps every post as (status, JSON) and
    the time it came, as it comes, and answers each `hold` seconds later; with a `gate`,
    answers the first post only once the gate is set (`arrived` is set when that post has
    come)."""

    def __init__(self, test, answers=(), hold=0, gate=None):
        self.answers, self.posts, self.lock = list(answers), [], threading.Lock()
        self.times = []
        self.arrived = threading.Event()
        self.refusals = len(self.answers)
        hook = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                posted = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                with hook.lock:
                    status, headers = hook.answers.pop(0) if hook.answers else (204, {})
                    hook.posts.append((status, posted))
                    hook.times.append(time.monotonic())
                    gated = gate is not None and not hook.arrived.is_set()
                    hook.arrived.set()
                if gated:
                    gate.wait(120)
                time.sleep(hold)  # a slow chat server: the post stays claimed meanwhile
                self.send_response(status)
                for name, value in {**headers, "Content-Length": "0"}.items():
                    self.send_header(name, value)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        test.addCleanup(self.server.server_close)
        test.addCleanup(self.server.shutdown)
        self.token, self.url = webhook_url(self.server.server_port)

    def delivered(self, count):
        """The contents answered 2xx, once `count` have come (a test that must see that no
        more come waits first for the collectors' outbox to hold nothing unsettled)."""
        deadline = time.monotonic() + 30
        while len(self.statuses()) < count + self.refusals and time.monotonic() < deadline:
            time.sleep(0.05)
        with self.lock:
            return sorted(posted["content"] for status, posted in self.posts if status == 204)

    def statuses(self):
        with self.lock:
            return [status for status, _ in self.posts]


class SlowWebhook:
    """A webhook on loopback that takes each post and then never answers ("silent"), answers
    with a body that never ends ("endless"), or sends its head a byte at a time ("trickle");
    counts the posts that came and those the collector hung up on, and keeps their times."""

    def __init__(self, test, manner):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.stopped, self.lock, self.came, self.ended = threading.Event(), threading.Lock(), 0, 0
        self.came_at, self.ended_at = [], []
        test.addCleanup(self.server.close)
        test.addCleanup(self.stopped.set)
        threading.Thread(target=self.accept, args=(manner,), daemon=True).start()
        self.token, self.url = webhook_url(self.server.getsockname()[1])

    def accept(self, manner):
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            with self.lock:
                self.came += 1
                self.came_at.append(time.monotonic())
            threading.Thread(target=self.serve, args=(connection, manner), daemon=True).start()

    def serve(self, connection, manner):
        head, sent = b"HTTP/1.1 200 OK\r\n", 0
        with connection, contextlib.suppress(OSError):
            if manner == "endless":
                connection.sendall(head + b"Content-Type: text/plain\r\n\r\n")
            while not self.stopped.is_set():  # the pace of what it sends
                if select.select([connection], [], [], 0.2)[0] and not connection.recv(65536):
                    break  # the collector hung up
                if manner == "endless":
                    connection.sendall(b"x" * 1024)
                elif manner == "trickle" and sent < len(head):
                    connection.sendall(head[sent:sent + 1])
                    sent += 1
        with self.lock:
            self.ended += 1
            self.ended_at.append(time.monotonic())

    def counts(self):
        with self.lock:
            return self.came, self.ended


class Announcements(unittest.TestCase):
    def test_results_and_milestone_posted_once_per_webhook_through_a_kill_and_a_429(self):
        service = Service(self)
        name = "@everyone *Ann* [x](y) <@1>"
        key = service.add_player(name)
        # 999.5 miles in the week that ended last (ten minutes ago at least: results wait that
        # long), 0.4 in an event that ended half an hour ago
        now = datetime.datetime.now(datetime.timezone.utc)
        settled = now - datetime.timedelta(minutes=10)
        monday = datetime.datetime.combine(
            settled.date() - datetime.timedelta(days=settled.weekday() + 7), datetime.time(),
            datetime.timezone.utc)
        driven = now - datetime.timedelta(minutes=45)
        # and 0.06 on the first day of the month that ended last
        month_end = settled.date().replace(day=1)
        month = datetime.datetime.combine((month_end - datetime.timedelta(days=1)).replace(day=1),
                                          datetime.time(), datetime.timezone.utc)
        stamp = lambda minutes: (now + datetime.timedelta(minutes=minutes)).strftime(
            "%Y-%m-%dT%H:%M:%SZ")
        service.cli("event", "add", "Convoy #1", "--start", stamp(-60), "--end", stamp(-30))
        reports = ((monday + datetime.timedelta(hours=12), 999.5, 36000), (driven, 0.4, 600),
                   (month + datetime.timedelta(hours=12), 0.06, 360))
        in_month = [(m, s) for at, m, s in reports if month.date() <= at.date() < month_end]
        month_due = now <= datetime.datetime.combine(  # within a week of its end
            month_end, datetime.time(), datetime.timezone.utc) + datetime.timedelta(days=7)
        with contextlib.closing(sqlite3.connect(service.path)) as db, db:
            for at, miles, seconds in reports:
                db.execute("INSERT INTO reports(player_id, received_ms, server_id, miles, seconds,"
                           " truck, trailer, flag) VALUES(1, ?, ?, ?, ?, 'T', 'R', '')",
                           (int(at.timestamp() * 1000), SERVER, miles, seconds))
            db.execute("PRAGMA user_version = 0")  # the totals are built from the reports
        in_week = driven < monday + datetime.timedelta(days=7)  # just after Monday 00:00
        site = "https://vorn.example"  # the posts link to their pages there
        service.start("--no-wall-time-check", "--public-url", site)
        self.assertEqual(service.post(body(name, 1.0, 60), key), 200)  # 1,000.9 miles
        service.stop(signal.SIGKILL)  # the milestone is in the store alone

        # A 429's Retry-After in seconds, and as an HTTP date (a few seconds on: read
        # against any other clock than the wall's, it would be held at an hour)
        hook = Webhook(self, [(429, {"Retry-After": "1"})])
        other = Webhook(self, [(429, {"Retry-After": email.utils.formatdate(time.time() + 3,
                                                                           usegmt=True)})])
        service.start("--webhook", hook.url, "--metrics-listen", "127.0.0.1:0", "--public-url",
                      site, env={"VORN_WEBHOOKS": f" {other.url}\n"})
        safe = "@\u200beveryone \\*Ann\\* \\[x\\]\\(y\\) <@\u200b1\\>"
        year, week, _ = monday.isocalendar()
        expected = sorted([
            f"**{safe}** has driven 1,000 counted miles.\n"
            f"<{site}/players/{urllib.parse.quote(name, safe='')}>",
            f"**Week {week} of {year}** ({monday.date()} to "
            f"{monday.date() + datetime.timedelta(days=6)}), the top drivers:\n"
            f"1. {safe}: {'999.9 mi, 10.2 h' if in_week else '999.5 mi, 10.0 h'}\n"
            f"<{site}/?since={monday.date()}&until={monday.date() + datetime.timedelta(days=6)}>",
            f"**Convoy \\#1** has ended: 1 player drove.\n1. {safe}: 0.4 mi, 0.2 h\n"
            f"<{site}/events/1>"] + [
            f"**{month:%B %Y}** ({month.date()} to {month_end - datetime.timedelta(days=1)}), "
            f"the top drivers:\n1. {safe}: {sum(m for m, _ in in_month):,.1f} mi, "
            f"{sum(s for _, s in in_month) / 3600:.1f} h\n"
            f"<{site}/?since={month.date()}&until={month_end - datetime.timedelta(days=1)}>"]
            * month_due)
        posts = len(expected)
        # Every delivery settled (sent, none waiting): no post can come again after this.
        await_settled(self, service, lambda sent: sent == 2 * posts)
        self.assertEqual((hook.delivered(posts), other.delivered(posts)), (expected, expected))
        self.assertEqual((hook.statuses(), other.statuses()), ([429] + [204] * posts,) * 2)
        self.assertGreaterEqual(hook.times[1] - hook.times[0], 1)  # the 429 paused the webhook
        with hook.lock, other.lock:  # nothing pings anyone, whatever the text
            mentions = {json.dumps(p["allowed_mentions"]) for _, p in hook.posts + other.posts}
        self.assertEqual(mentions, {'{"parse": []}'})
        samples = metric_samples(service)
        self.assertEqual([samples[f"vorn_announcements_{metric}", ()] for metric in (
            "sent_total", "failed_total", "waiting")], [2 * posts, 2, 0])
        service.stop()

        # Started again beside a webhook that takes the post and never answers:
        # nothing is posted twice, and the stop cuts the hung post short.
        silent = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(silent.close)
        silent_token, silent_url = webhook_url(silent.getsockname()[1])
        service.start("--webhook", hook.url, "--webhook", silent_url)
        self.assertTrue(select.select([silent], [], [], 30)[0], "no post to the silent webhook")
        stopping = time.monotonic()
        service.stop()
        self.assertLess(time.monotonic() - stopping, 5)  # a post's own limit is 10 s
        self.assertEqual(len(hook.statuses()), 1 + posts)
        for token in (hook.token, other.token, silent_token):
            self.assertNotIn(token, service.log())

    @faked_clock
    def test_a_months_results_go_out_past_ten_past_midnight_on_the_first_once_across_a_restart(
            self):
        # The collector's wall clock a minute past the month's post being due, whatever
        # today's date: 00:11 UTC on the first of next month. A report this month.
        now = datetime.datetime.now(datetime.timezone.utc)
        first = (now.replace(day=1) + datetime.timedelta(days=32)).replace(
            day=1, hour=0, minute=11, second=0, microsecond=0)
        clock = {"LD_PRELOAD": FAKETIME, "FAKETIME": f"+{int((first - now).total_seconds())}",
                 "DONT_FAKE_MONOTONIC": "1"}
        service = Service(self)
        service.add_player("Ann")
        with contextlib.closing(sqlite3.connect(service.path)) as db, db:
            db.execute("INSERT INTO reports(player_id, received_ms, server_id, miles, seconds,"
                       " truck, trailer, flag) VALUES(1, ?, ?, 0.5, 360, 'T', 'R', '')",
                       (int(now.timestamp() * 1000), SERVER))
            db.execute("PRAGMA user_version = 0")  # the totals are built from the reports
        month = now.date().replace(day=1)
        expected = (f"**{now:%B %Y}** ({month} to {first.date() - datetime.timedelta(days=1)}),"
                    " the top drivers:\n1. Ann: 0.5 mi, 0.1 h")

        def settled(*hooks):  # every delivery of this run answered, none waiting
            posts = []

            def each_hook_has_them(sent):
                posts[:] = [hook.delivered(int(sent) // len(hooks)) for hook in hooks]
                return sent > 0 and sum(len(p) for p in posts) == sent
            await_settled(self, service, each_hook_has_them)
            return posts

        hook = Webhook(self, [])
        service.start("--webhook", hook.url, "--metrics-listen", "127.0.0.1:0", env=clock)
        [before] = settled(hook)
        self.assertIn(expected, before)  # the week's may go out too, if this one has ended
        service.stop()
        # Started again with a second webhook, which gets what was recorded: no post again.
        late = Webhook(self, [])
        service.start("--webhook", hook.url, "--webhook", late.url, "--metrics-listen",
                      "127.0.0.1:0", env=clock)
        self.assertEqual(settled(late), [before])
        service.stop()
        self.assertEqual(len(hook.statuses()), len(before))

    def test_events_that_ended_past_the_retention_are_pruned_at_start(self):
        service = Service(self)
        service.add_player("Ann")  # the database made
        now = datetime.datetime.now(datetime.timezone.utc)
        stamp = lambda hours: (now + datetime.timedelta(hours=hours)).strftime(
            "%Y-%m-%dT%H:%M:%SZ")
        for name, ended in (("Older", -25), ("Recent", -23)):  # a day's retention between
            service.cli("event", "add", name, "--start", stamp(ended - 1), "--end", stamp(ended))
        service.start("--event-retention-days", "1")
        deadline = time.monotonic() + 30
        while (names := [e["name"] for e in json.loads(
                service.request("GET", "/api/v1/events")[1])["events"]]) != ["Recent"]:
            self.assertLess(time.monotonic(), deadline, names)
            time.sleep(0.05)
        self.assertIn("events: 1 event that ended before ", service.log())

    def test_an_event_removed_and_added_again_gets_a_new_id_and_its_results_posted(self):
        service = Service(self)
        service.add_player("Ann")
        now = datetime.datetime.now(datetime.timezone.utc)
        stamp = lambda minutes: (now + datetime.timedelta(minutes=minutes)).strftime(
            "%Y-%m-%dT%H:%M:%SZ")
        window = ("--start", stamp(-60), "--end", stamp(-30))
        first = service.cli("event", "add", "Convoy", *window).strip()
        with contextlib.closing(sqlite3.connect(service.path)) as db, db:
            db.execute("INSERT INTO reports(player_id, received_ms, server_id, miles, seconds,"
                       " truck, trailer, flag) VALUES(1, ?, ?, 0.4, 600, 'T', 'R', '')",
                       (int((now - datetime.timedelta(minutes=45)).timestamp() * 1000), SERVER))
            db.execute("PRAGMA user_version = 0")  # the totals are built from the reports
        hook = Webhook(self)
        ended = "**Convoy** has ended: 1 player drove.\n1. Ann: 0.4 mi, 0.2 h"
        service.start("--webhook", hook.url)
        self.assertEqual(hook.delivered(1), [ended])
        self.assertEqual(service.request("GET", f"/api/v1/events/{first}")[0], 200)
        service.cli("event", "remove", first)  # gone at once for a collector running on
        self.assertEqual(service.request("GET", f"/api/v1/events/{first}")[0], 404)
        service.stop()
        second = service.cli("event", "add", "Convoy", *window).strip()
        self.assertGreater(int(second), int(first))
        service.start("--webhook", hook.url)  # the results are looked for at start
        self.assertEqual(hook.delivered(2), [ended, ended])


    def test_webhooks_that_hang_delay_no_other(self):
        service = Service(self)
        keys = [service.add_player(f"Driver {n}") for n in range(4)]
        slow = [SlowWebhook(self, manner) for manner in ("silent", "endless", "trickle")]
        healthy = Webhook(self)
        service.start("--no-wall-time-check",
                      *(option for hook in slow + [healthy] for option in ("--webhook", hook.url)))
        for n, key in enumerate(keys):  # a milestone each, at 60 mph
            self.assertEqual(service.post(body(f"Driver {n}", 1000.5, 60000), key), 200)
        deadline = time.monotonic() + 60
        while len(healthy.statuses()) < 4:
            self.assertLess(time.monotonic(), deadline, [hook.counts() for hook in slow])
            time.sleep(0.05)
        # All four came while no slow webhook's first post had ended (each lasts 10 s).
        self.assertEqual([hook.counts()[1] for hook in slow], [0, 0, 0])
        with healthy.lock:
            self.assertEqual(sorted(posted["content"] for _, posted in healthy.posts),
                             [f"**Driver {n}** has driven 1,000 counted miles." for n in range(4)])
        # Each slow post is given up at its 10 s limit (twice or a tenth of it fails), and
        # the next delivery is posted at once.
        while any(hook.counts()[0] < 2 for hook in slow):
            self.assertLess(time.monotonic(), deadline, [hook.counts() for hook in slow])
            time.sleep(0.05)
        for hook in slow:
            with hook.lock:
                lasted = hook.ended_at[0] - hook.came_at[0]
            self.assertTrue(9 <= lasted < 15, lasted)
        stopping = time.monotonic()
        service.stop()  # cuts the three hung posts short
        self.assertLess(time.monotonic() - stopping, 5)


    def test_a_delivery_given_up_after_a_day_or_three_tries_at_a_wrong_url_says_so(self):
        service = Service(self)
        service.add_player("Night Owl")  # the database, made
        now, day = int(time.time() * 1000), 86400000
        rows = [  # made, tries before, the answer; the row after, the log line
            (now - 2 * day, 1, 500, ("given_up", 2), "was given up after 2 attempts over a day "
             "(last: HTTP 500)"),
            (now, 2, 404, ("given_up", 3), "was given up after 3 attempts (last: HTTP 404: the "
             "webhook's URL is probably wrong, or the webhook was deleted)"),
            (now, 1, 401, ("waiting", 2), "a post failed (HTTP 401: the webhook's URL is "
             "probably wrong, or the webhook was deleted); it is tried again, 3 times in all"),
            (now, 2, 500, ("waiting", 3), "it is tried again, with growing pauses, for a day"),
        ]
        hooks = [Webhook(self, [(status, {})]) for _, _, status, _, _ in rows]
        with contextlib.closing(sqlite3.connect(service.path)) as db, db:
            db.execute("INSERT INTO announcements(id, subject, body, created_ms) VALUES(1, 'old',"
                       " ?, ?)", (json.dumps({"content": "late"}), now - 2 * day))
            for n, ((made, tries, _, _, _), hook) in enumerate(zip(rows, hooks)):
                db.execute("INSERT INTO announcement_deliveries(id, announcement_id, webhook,"
                           " state, attempts, created_ms, next_ms, lease_ms, done_ms) VALUES(?, 1,"
                           " ?, 'waiting', ?, ?, ?, 0, 0)",
                           (7 + n, hashlib.sha256(hook.url.encode()).hexdigest(), tries, made,
                            made))
        service.start(*(option for hook in hooks for option in ("--webhook", hook.url)))

        def logged(n, text):  # a line of the n-th webhook that says `text`
            return any(line.startswith(f"webhook {n + 1} (127.0.0.1): ") and text in line
                       for line in service.log().splitlines())

        deadline = time.monotonic() + 60
        while not all(logged(n, row[4]) for n, row in enumerate(rows)):
            self.assertLess(time.monotonic(), deadline, service.log())
            time.sleep(0.05)
        service.stop()
        with contextlib.closing(sqlite3.connect(service.path)) as db:
            states = db.execute("SELECT state, attempts FROM announcement_deliveries"
                                " ORDER BY id").fetchall()
        self.assertEqual(states, [after for _, _, _, after, _ in rows])
        for n, (_, _, status, after, _) in enumerate(rows):
            with self.subTest(status=status, after=after):
                self.assertEqual(hooks[n].statuses(), [status])
                if after[0] == "given_up":
                    self.assertTrue(logged(n, f"delivery {7 + n} of an announcement"))


    def test_a_plain_http_webhook_to_another_machine_stops_the_start(self):
        service = Service(self)
        service.add_player("Night Owl")  # the database, made
        token = secrets.token_urlsafe(24)
        done = subprocess.run(
            [str(COLLECTOR), "serve", "--db", service.db, "--listen", "127.0.0.1:0",
             "--webhook", f"https://chat.example/api/webhooks/7/{token}"],
            capture_output=True, text=True, timeout=60,
            env=dict(os.environ, VORN_WEBHOOKS=f"http://chat.example/api/webhooks/8/{token}"))
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("webhook 2 (chat.example) is a plain http:// URL to another machine: its "
                      "secret token would travel in clear", done.stderr)
        self.assertNotIn(token, done.stderr + done.stdout)


class Commands(unittest.TestCase):
    def test_commands_find_their_database_or_make_none_and_stop_with_a_cause(self):
        folder = tempfile.TemporaryDirectory(prefix="vorn-commands-")
        self.addCleanup(folder.cleanup)
        run = lambda *argv, **env: subprocess.run(
            [str(COLLECTOR), *argv], capture_output=True, text=True, cwd=folder.name, timeout=60,
            env={**{k: v for k, v in os.environ.items() if k != "VORN_COLLECTOR_DB"}, **env})
        for argv, env in ((["player", "list"], {}), (["player", "revoke", "X"], {}),
                          (["export"], {}), (["flags", "list"], {"VORN_COLLECTOR_DB": ""}),
                          (["serve", "--listen", "127.0.0.1:0"], {})):
            with self.subTest(argv=argv, env=env):  # an empty variable is one not set
                done = run(*argv, **env)
                self.assertEqual(done.returncode, 2)
                self.assertRegex(done.stderr, r"^vorn-collector: no database at vorn-collector\.db "
                                 r"\(No such file or directory\): no --db was given, "
                                 r"VORN_COLLECTOR_DB is not set.*`vorn-collector init` makes "
                                 r"a database.* --db sqlite:PATH")
        self.assertEqual(os.listdir(folder.name), [])
        # init and player add make one, and say so; init leaves one that is there.
        for argv, says in ((["init"], "created a new database at vorn-collector.db\n"),
                           (["init"], "the database vorn-collector.db is there already\n"),
                           (["player", "add", "Lark", "--db", "sqlite:lark.db"],
                            "created a new database at lark.db\n"),
                           (["player", "add", "Wren", "--db", "sqlite:lark.db"], "")):
            done = run(*argv)
            self.assertEqual((done.returncode, done.stderr), (0, says), argv)
        service = Service(self)
        service.add_player("Night Owl")
        service.start()
        self.assertIn(f"the database: {service.path}, 1 player\n", service.log())
        service.stop()
        self.assertEqual(run("player", "list", VORN_COLLECTOR_DB=service.db).stdout[:10],
                         "Night Owl\t")
        # The player's page, when the service's options give the public URL.
        for name, options, page in (
                ("Day Bird", "--public-url https://vorn.example/hub/",
                 ["the player's page: https://vorn.example/hub/players/Day%20Bird"]),
                ("Dawn", "--listen 127.0.0.1:8787", [])):
            added = service.cli("player", "add", name, env={
                "VORN_COLLECTOR_OPTS": options}).splitlines()
            self.assertEqual([line for line in added if "page" in line], page)
        # A listen address that another program holds: the program, the address, the cause.
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            done = run("serve", "--listen", f"127.0.0.1:{port}", VORN_COLLECTOR_DB=service.db)
        self.assertEqual((done.returncode, done.stderr), (1, (
            f"the database: {service.path}, 3 players\n"
            f"vorn-collector: cannot listen on 127.0.0.1:{port}: Address already in use; another "
            "program listens there (`ss -ltnp` shows which)\n")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
