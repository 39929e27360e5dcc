"""The store contract (tests/unit/collector_store_test.cpp) on a real PostgreSQL
server; two vorn-collector instances on it, taking reports for the same players
side by side from the real plug-in and raw requests; the copy of a SQLite
database into PostgreSQL. Beside the DLL under Wine only the plug-in's way
into a real collector runs: the collector itself is the native one."""
# ctest: platforms=native wine asan tsan timeout=600

import contextlib
import csv
import datetime
import io
import json
import os
import pathlib
import shutil
import signal
import sqlite3
import subprocess
import threading
import time
import unittest

import test_collector  # its Service runs vorn-collector (its tests stay in their module)
from test_collector import body
from harness import (API_KEY, FAKETIME, PLATFORM, SERVER, Road, collector_alone,
                     counted_natively, ini_with_url, one_thread)
from pgserver import BIN, PORT, ScratchPostgres
from tcp_proxy import COMMIT, Proxy

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
RAW_MILES = 0.03125  # a binary fraction: any number of them adds up exactly


def board(instance):
    return {row["player_name"]: row for row in instance.leaderboard()}


def setUpModule():
    global server
    server = ScratchPostgres()
    unittest.addModuleCleanup(server.close)


@collector_alone
class StoreContractTest(unittest.TestCase):
    def test_the_store_contract_holds_on_postgresql(self):
        unit_tests = test_collector.COLLECTOR.parents[1] / "tests" / "vorn_unit_tests"
        done = subprocess.run([unit_tests, "--gtest_filter=StoreContract.*"], capture_output=True,
                              text=True, timeout=300,
                              env=dict(os.environ, VORN_TEST_POSTGRES_URL=server.url))
        self.assertEqual(done.returncode, 0, done.stdout[-6000:])


def psql(sql, db="vorn"):  # what it printed, unaligned
    done = subprocess.run([BIN / "psql", "-qAt", "-v", "ON_ERROR_STOP=1", "-h", server.dir, "-p",
                           str(PORT), "-U", "postgres", "-d", db, "-c", sql],
                          capture_output=True, text=True, check=True)
    return done.stdout.strip()


def stored_trucks(player):
    query = ("SELECT truck FROM reports JOIN players p ON p.id = player_id "
             f"WHERE p.name = '{player}'")
    return set(psql(query).split())


@collector_alone
class AnnouncementsTest(unittest.TestCase):
    def test_two_collectors_post_each_milestone_once_to_their_common_webhook(self):
        # The second's clock in step, or a minute ahead: a claim's 30 s are the
        # database's, so neither takes the other's claim while its post waits
        # for the chat server's answer.
        ahead = {"LD_PRELOAD": FAKETIME, "FAKETIME": "+60s", "DONT_FAKE_MONOTONIC": "1"}
        # Debian's faketime, its library in the process itself, the wall clock only: the
        # steady clock the waits are measured on stays the kernel's, as the waits
        # themselves do. Beside a sanitizer's runtime only the clocks in step.
        for clock in ({}, ahead) if PLATFORM == "native" else ({},):
            with self.subTest(clock=clock):
                self.post_milestones_through_two_collectors(clock)

    def post_milestones_through_two_collectors(self, clock):
        hook = test_collector.Webhook(self, hold=2)
        first, second = (test_collector.Service(self, server.url).start(
            "--no-wall-time-check", "--max-reports-per-minute", "0", "--webhook", hook.url,
            env=env) for env in ({}, clock))
        names = [f"Milestone {n}{' ahead' if clock else ''}" for n in range(4)]
        keys = {name: first.add_player(name) for name in names}
        # Each passes 1,000 counted miles with its second report: half of the
        # players through the first collector, half through the second.
        for n, name in enumerate(names):
            for instance in (first, second) if n % 2 else (second, first):
                self.assertEqual(instance.post(body(name, 500.5, 36000), keys[name]), 200)
        unsettled = lambda: psql("SELECT count(*) FROM announcement_deliveries"
                                 " WHERE state <> 'sent'") != "0"
        ours = lambda: sorted(content for content in hook.delivered(0)
                              if any(name in content for name in names))
        expected = sorted(f"**{name}** has driven 1,000 counted miles." for name in names)
        deadline = time.monotonic() + 30
        while ours() != expected or unsettled():  # a late second post needs an unsettled one
            self.assertLess(time.monotonic(), deadline, ours())
            time.sleep(0.05)
        self.assertEqual(ours(), expected)
        everything = hook.delivered(0)  # the earlier row's milestones come to this webhook too
        self.assertEqual(sorted(set(everything)), everything)
        first.stop()
        second.stop()

    def test_a_claimant_frozen_past_its_lease_and_continued_changes_nothing(self):
        # The first post's answer is held back, and a failure when it comes; the first
        # collector freezes meanwhile, its claim good for 30 s of the database's clock. The
        # claim is aged in the database rather than waited out: a second lapsed, the second
        # collector posts it (the answer never reached the first within its claim: the one
        # repeat the guide allows); the first, continued, learns of a failure and would try
        # again, but its claim is gone: nothing is posted a third time.
        gate = threading.Event()
        hook = test_collector.Webhook(self, answers=[(500, {})], gate=gate)
        options = ("--no-wall-time-check", "--max-reports-per-minute", "0", "--webhook", hook.url)
        first = test_collector.Service(self, server.url).start(*options)
        key = first.add_player("Frozen Claim")
        for _ in range(2):
            self.assertEqual(first.post(body("Frozen Claim", 500.5, 36000), key), 200)
        self.assertTrue(hook.arrived.wait(30), "no post came")
        first.process.send_signal(signal.SIGSTOP)
        claim = ("FROM announcement_deliveries d JOIN announcements a ON a.id = d.announcement_id"
                 " WHERE a.body LIKE '%Frozen Claim%'")
        try:
            left = int(psql("SELECT d.lease_ms - (extract(epoch FROM clock_timestamp()) * 1000)"
                            f"::bigint {claim}"))
            self.assertTrue(25000 < left <= 30000, left)
            second = test_collector.Service(self, server.url).start(*options)
            psql(f"UPDATE announcement_deliveries SET lease_ms = lease_ms - {left + 1000} "
                 f"WHERE id = (SELECT d.id {claim})")
            milestone = "**Frozen Claim** has driven 1,000 counted miles."
            ours = lambda: [p["content"] for _, p in list(hook.posts) if "Frozen Claim" in
                            p["content"]]
            aged = time.monotonic()
            while len(ours()) < 2:
                self.assertLess(time.monotonic() - aged, 30, ours())
                time.sleep(0.2)
        finally:
            gate.set()
            first.process.send_signal(signal.SIGCONT)
        # The first's settle is refused, since its claim is gone: it tries nothing again.
        continued = time.monotonic()
        while "another sender claimed it since" not in first.log() or psql(
                "SELECT count(*) FROM announcement_deliveries WHERE state <> 'sent'") != "0":
            self.assertLess(time.monotonic() - continued, 30, first.log())
            time.sleep(0.1)
        self.assertEqual(ours(), [milestone, milestone])
        second.stop()


@collector_alone
class HealthTest(unittest.TestCase):
    """A collector whose role may lose its rights, on a database of its own."""

    def setUp(self):
        psql("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'vorn_writer') "
             "THEN CREATE ROLE vorn_writer LOGIN; END IF; END $$")
        psql("CREATE DATABASE vorn_health OWNER vorn_writer")
        self.addCleanup(psql, "DROP DATABASE vorn_health WITH (FORCE)")
        self.url = f"postgresql:///vorn_health?host={server.dir}&port={PORT}&user=vorn_writer"

    def test_healthz_is_503_while_no_write_can_be_stored_and_200_once_one_can(self):
        end_sessions = ("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                        "datname = 'vorn_health' AND pid <> pg_backend_pid()")
        read_only = "ALTER DATABASE vorn_health SET default_transaction_read_only = "
        rows = [  # the fault, the cause /healthz gives, the mend, where both are run
            ("INSERT revoked", ["REVOKE INSERT ON reports FROM vorn_writer"],
             "permission denied for table reports", ["GRANT INSERT ON reports TO vorn_writer"],
             "vorn_health"),
            ("a read-only database, as a standby is", [read_only + "on", end_sessions],
             "read-only", [read_only + "off", end_sessions], "vorn"),
        ]
        service = test_collector.Service(self, self.url).start(
            "--no-wall-time-check", "--max-reports-per-minute", "0")
        key = service.add_player("Watched")
        report = body("Watched", RAW_MILES, 1)
        for name, fault, cause, mend, db in rows:
            with self.subTest(name):
                self.assertEqual([service.post(report, key),
                                  service.request("GET", "/healthz")[0]], [200, 200])
                for sql in fault:
                    psql(sql, db)
                test_collector.assert_503_while_commits_fail(self, service, report, key)
                self.assertIn(cause, json.loads(service.request("GET", "/healthz")[1])["error"])
                if name.startswith("a read-only"):  # a collector started now says so at once
                    late = test_collector.Service(self, self.url).start()
                    self.assertEqual(late.request("GET", "/healthz")[0], 503)
                    self.assertIn(f"health: /healthz answers 503: the store takes no write: "
                                  f"the server's sessions are read-only", late.log())
                    late.stop()
                for sql in mend:
                    psql(sql, db)
                mended = time.monotonic()
                while service.request("GET", "/healthz")[0] != 200:
                    self.assertLess(time.monotonic() - mended, 5)
                    time.sleep(0.1)
        # The sessions ended twice: the server's farewell to each idle one is
        # logged once in 10 s at most.
        farewells = service.log().count("terminating connection due to administrator command")
        self.assertLessEqual(farewells, 2, service.log())

    def test_a_collector_on_a_standby_says_so_at_its_start_and_stores_nothing(self):
        key = test_collector.Service(self, self.url).add_player("Watched")  # the schema made
        standby = ScratchPostgres(primary=server)
        self.addCleanup(standby.close)
        service = test_collector.Service(
            self, self.url.replace(f"host={server.dir}", f"host={standby.dir}")).start()
        self.assertIn("health: /healthz answers 503: the store takes no write: the server is "
                      "a standby (in recovery)", service.log())
        self.assertEqual(service.request("GET", "/healthz")[0], 503)
        status, answer = service.request("POST", "/api/v1/telemetry", body("Watched", 1, 1),
                                         {"X-VORN-Key": key})
        self.assertEqual(status, 503, answer)


@collector_alone
class LinkFaultTest(unittest.TestCase):
    """A collector reaching PostgreSQL over TCP through a proxy that faults."""

    def setUp(self):
        self.proxy = Proxy(server.dir / f".s.PGSQL.{PORT}")
        self.addCleanup(self.proxy.close)
        url = f"postgresql://postgres@127.0.0.1:{self.proxy.port}/vorn"
        self.behind = test_collector.Service(self, url).start("--no-wall-time-check")

    def test_a_commit_whose_answer_is_lost_is_answered_by_what_happened(self):
        key = self.behind.add_player("Cut")
        statuses = {}
        for i in range(6):
            self.proxy.arm("cut")
            statuses[f"cut-{i}"] = self.behind.post(body("Cut", RAW_MILES, 1, f"cut-{i}"), key)
        self.assertEqual(self.proxy.cuts, 6)
        stored = stored_trucks("Cut")
        self.assertEqual({tag: status in (200, 503) and (status == 200) == (tag in stored)
                          for tag, status in statuses.items()}, dict.fromkeys(statuses, True),
                         statuses)
        # A COMMIT that cannot be settled within its budget (a busy machine) is
        # answered 503 and is absent, as checked above; most are settled.
        self.assertIn(200, statuses.values(), "a cut COMMIT was settled as stored")

    def test_a_review_whose_commit_answer_is_lost_is_told_by_what_happened(self):
        key = self.behind.add_player("Reviewed")
        for i in range(3):  # 500 miles in a second: flagged for speed
            self.assertEqual(self.behind.post(body("Reviewed", 500.0, 1, f"r{i}"), key), 200)
        waiting = [line.split("\t")[0]
                   for line in self.behind.cli("flags", "list").splitlines()[1:]]
        self.proxy.arm("cut", skip=1)  # the command's first COMMIT is its schema check's
        done = subprocess.run([str(test_collector.COLLECTOR), "flags", "accept", *waiting,
                               "--db", self.behind.db], capture_output=True, text=True, timeout=60)
        self.assertEqual(self.proxy.cuts, 1)
        # The COMMIT reached the server whole: the reviews are stored, and said so, or (past
        # the time to look it up) said to be perhaps; never "nothing was reviewed".
        query = ("SELECT count(*) FROM reports JOIN players p ON p.id = player_id "
                 "WHERE p.name = 'Reviewed' AND review = 'accepted'")
        accepted = subprocess.run([BIN / "psql", "-qAt", server.url, "-c", query],
                                  capture_output=True, text=True, check=True).stdout
        self.assertEqual(int(accepted), 3)
        if done.returncode == 0:
            self.assertEqual(done.stdout, "accepted 3 flagged reports\n")
        else:
            self.assertIn("it may have been stored", done.stderr)
            self.assertNotIn("nothing was reviewed", done.stderr)

    def test_a_partitioned_instance_holds_up_no_other(self):
        key = self.behind.add_player("Shared")
        direct = test_collector.Service(self, server.url).start("--no-wall-time-check")
        self.assertEqual(direct.post(body("Shared", RAW_MILES, 1, "before"), key), 200)
        self.proxy.arm("blackhole")  # after the batch's locks and inserts, its COMMIT is lost
        behind = []
        stuck = threading.Thread(target=lambda: behind.append(
            self.behind.post(body("Shared", RAW_MILES, 1, "partitioned"), key)))
        stuck.start()
        self.assertTrue(self.proxy.blackholed.wait(10))
        fault = time.monotonic()
        for i in range(5):
            self.assertEqual(direct.post(body("Shared", RAW_MILES, 1, f"direct-{i}"), key), 200)
            self.assertLess(time.monotonic() - fault, 4)
        stuck.join(15)
        self.assertLess(time.monotonic() - fault, 10)
        self.assertEqual(behind, [503])
        self.assertIn("could not be settled in time", self.behind.log())
        self.proxy.heal()
        self.assertEqual(self.behind.post(body("Shared", RAW_MILES, 1, "healed"), key), 200)
        self.assertEqual(stored_trucks("Shared"),
                         {"before", "healed"} | {f"direct-{i}" for i in range(5)})


    def test_a_silent_first_host_costs_a_report_less_than_its_bound(self):
        silent = Proxy(server.dir / f".s.PGSQL.{PORT}")
        self.addCleanup(silent.close)
        silent.blackholed.set()  # takes connections, never answers
        url = f"postgresql://postgres@127.0.0.1:{silent.port},127.0.0.1:{self.proxy.port}/vorn"
        key = self.behind.add_player("Failover")
        either = test_collector.Service(self, url).start("--no-wall-time-check")
        started = time.monotonic()
        self.assertEqual(either.post(body("Failover", RAW_MILES, 1), key), 200)
        self.assertLess(time.monotonic() - started, 10)


def batch_turns(turns):
    """Of a connection's turns (what its client sent each time the server had answered): how
    many came before its first batch, and how many that batch took, from the turn that locks
    its players to the one that commits."""
    start = next(i for i, turn in enumerate(turns) if b"lock_players" in turn)
    end = next(i for i in range(start, len(turns)) if COMMIT.search(turns[i]))
    return start, end + 1 - start


@collector_alone
@counted_natively
class FarDatabaseTest(unittest.TestCase):
    """A collector whose PostgreSQL is far: a batch costs two round trips, its reads and then
    its writes with the COMMIT, and a new connection two more for its set-up, none of its own
    for preparing statements."""

    def far(self, delay):
        proxy = Proxy(server.dir / f".s.PGSQL.{PORT}", delay=delay)
        self.addCleanup(proxy.close)
        url = f"postgresql://postgres@127.0.0.1:{proxy.port}/vorn"
        return proxy, test_collector.Service(self, url)

    def test_a_batch_takes_two_round_trips_and_a_new_connection_two_more(self):
        proxy, behind = self.far(0)
        key = behind.add_player("Counted")
        before = len(proxy.turns)
        behind.start("--no-wall-time-check")
        # The start's one connection serves the schema's check, the first health probe
        # (borrowed, then given back) and the first prune of events, all before the service
        # listens, then the first batch: a fresh collector's first report pays for no set-up.
        self.assertEqual(len(proxy.turns) - before, 1)
        self.assertIn(b"prune_events", b"".join(proxy.turns[before]))
        self.assertEqual(behind.post(body("Counted", RAW_MILES, 1, "warm"), key), 200)
        self.assertEqual(len(proxy.turns) - before, 1)
        warm = [batch_turns(turns) for turns in proxy.turns if b"lock_players" in b"".join(turns)]
        proxy.heal()  # closes every connection: the next batch makes a new one
        made = len(proxy.turns)
        self.assertEqual(behind.post(body("Counted", RAW_MILES, 1, "fresh"), key), 200)
        fresh = [batch_turns(turns) for turns in proxy.turns[made:]
                 if b"lock_players" in b"".join(turns)]
        self.assertEqual([trips for _, trips in warm], [2])
        self.assertEqual(fresh, [(2, 2)])  # the SSL request and the start-up, then the batch
        self.assertEqual(stored_trucks("Counted"), {"warm", "fresh"})

    def test_reports_through_a_link_of_50_ms_each_way_are_stored_within_a_second(self):
        proxy, behind = self.far(0.05)
        keys = [behind.add_player(f"Far {i}") for i in range(4)]
        behind.start("--no-wall-time-check", "--max-reports-per-minute", "0")
        started = time.monotonic()  # a fresh collector's first report
        self.assertEqual(behind.post(body("Far 0", RAW_MILES, 1, "first"), keys[0]), 200)
        self.assertLess(time.monotonic() - started, 1.0)
        latencies, statuses = [], []

        def client(i):  # 8 clients, each posting one report after the other
            for _ in range(25):
                sent = time.monotonic()
                statuses.append(behind.post(body(f"Far {i % 4}", RAW_MILES, 1), keys[i % 4]))
                latencies.append(time.monotonic() - sent)

        clients = [threading.Thread(target=client, args=(i,)) for i in range(8)]
        for thread in clients:
            thread.start()
        for thread in clients:
            thread.join()
        self.assertEqual(statuses, [200] * 200)
        p99 = sorted(latencies)[int(len(latencies) * 0.99) - 1]
        self.assertLessEqual(p99, 1.0, sorted(latencies)[-5:])
        self.assertEqual(int(psql("SELECT count(*) FROM reports r JOIN players p ON "
                                  "p.id = r.player_id WHERE p.name LIKE 'Far %'")), 201)


class SharedDatabaseTest(unittest.TestCase):
    def setUp(self):
        # Raw reports come faster than a player's; only one test is about wall time.
        options = ["--max-reports-per-minute", "0", "--no-wall-time-check"]
        self.first, self.second = (test_collector.Service(self, server.url).start(*options)
                                   for _ in range(2))

    def wait_for_reports(self, name, count):  # polls the leaderboard
        deadline = time.monotonic() + 90
        while True:
            row = board(self.first).get(name, {"reports": 0, "flagged_reports": 0})
            if row["reports"] + row["flagged_reports"] >= count:
                return
            self.assertLess(time.monotonic(), deadline, f"{count} reports of {name}: {row}")
            time.sleep(0.1)

    def test_interleaved_plugin_and_raw_reports_add_up_exactly(self):
        first, second = self.first, self.second
        owl_key = first.add_player("Night Owl")
        raw_key = first.add_player("Raw Racer")
        ini = lambda at: ini_with_url(at.url + "/api/v1/telemetry").replace(API_KEY, owl_key)
        statuses, road_done = [], threading.Event()

        def raw_stream(instance):  # for as long as the plug-in drives, side by side
            while not road_done.wait(0.005):
                statuses.append(instance.post(body("Raw Racer", RAW_MILES, 1), raw_key))

        raw = [threading.Thread(target=raw_stream, args=(i,)) for i in (first, second)]
        road = Road(self, first.url)
        try:
            road.folder.write_ini(ini(first))
            road.start()
            for thread in raw:
                thread.start()
            driven = road.drive(60, 1.5)
            self.wait_for_reports("Night Owl", 1)
            road.session.shutdown()
            road.folder.write_ini(ini(second))
            road.start()
            driven += road.drive(8, 0.2)
            self.wait_for_reports("Night Owl", 2)
            road.session.shutdown()
            road.session.close()
        finally:
            road_done.set()
            for thread in raw:
                if thread.is_alive():
                    thread.join()
        self.assertEqual(statuses, [200] * len(statuses))
        boards = board(first), board(second)
        self.assertEqual(boards[0], boards[1])
        owl, racer = boards[0]["Night Owl"], boards[0]["Raw Racer"]
        self.assertEqual((owl["reports"], owl["flagged_reports"], owl["seconds"]), (2, 0, 68))
        self.assertAlmostEqual(owl["miles"], driven, delta=2e-6)  # six decimals a report
        raw_count = len(statuses)
        self.assertEqual((racer["reports"], racer["flagged_reports"], racer["seconds"],
                          racer["miles"]), (raw_count, 0, raw_count, raw_count * RAW_MILES))
        exported = list(csv.DictReader(io.StringIO(first.cli("export"))))
        for name, row in boards[0].items():  # the totals are the sums over the stored reports
            mine = [r for r in exported if r["player_name"] == name and (
                not r["flag"] or r["review"] == "accepted")]  # the counted reports
            self.assertEqual(row["reports"], len(mine), name)
            self.assertAlmostEqual(row["miles"], sum(float(r["miles_delta"]) for r in mine), 5)

    @collector_alone
    def test_store_answers_503_while_the_server_is_down_and_recovers(self):
        key = self.first.add_player("Comeback")
        report = body("Comeback", RAW_MILES, 1)
        server.stop()
        try:
            self.assertEqual([self.first.post(report, key),
                              self.first.request("GET", "/healthz")[0]], [503, 503])
        finally:
            server.start()
        # The second instance's connections went stale unnoticed: they must not cost a 503.
        self.assertEqual([self.second.post(report, key), self.first.post(report, key),
                          self.second.request("GET", "/healthz")[0]], [200, 200, 200])
        self.assertEqual(board(self.first)["Comeback"]["reports"], 2)

    @collector_alone
    def test_hung_server_gives_503_in_time_and_the_collector_recovers(self):
        key = self.first.add_player("Frozen")
        report = body("Frozen", RAW_MILES, 1)
        self.assertEqual(self.first.post(report, key), 200)
        postmaster = int((server.data / "postmaster.pid").read_text().split()[0])
        children = subprocess.run(["ps", "-o", "pid=", "--ppid", str(postmaster)],
                                  capture_output=True, text=True).stdout.split()
        pids = [postmaster, *map(int, children)]
        for pid in pids:
            os.kill(pid, signal.SIGSTOP)
        try:
            started = time.monotonic()
            self.assertEqual([self.first.post(report, key),
                              self.first.request("GET", "/healthz")[0]], [503, 503])
            self.assertLess(time.monotonic() - started, 15)
        finally:
            for pid in pids:
                os.kill(pid, signal.SIGCONT)
        self.assertEqual([self.first.post(report, key),
                          self.first.request("GET", "/healthz")[0]], [200, 200])

    @collector_alone
    def test_healthz_recovers_after_a_restart_with_no_report_sent(self):
        key = self.first.add_player("Patient")
        server.stop()
        try:
            self.assertEqual(self.first.post(body("Patient", RAW_MILES, 1), key), 503)
        finally:
            server.start()
        restarted = time.monotonic()
        while self.first.request("GET", "/healthz")[0] != 200:
            self.assertLess(time.monotonic() - restarted, 5)
            time.sleep(0.1)


def fresh_database(name):  # an empty database on the module's server, its URL
    psql(f"CREATE DATABASE {name}")
    return server.url.replace("/vorn?", f"/{name}?")


def copy(test, *args, status=0):  # vorn-collector copy ARGS; what it said
    done = subprocess.run([str(test_collector.COLLECTOR), "copy", *args], capture_output=True,
                          text=True, timeout=300)
    test.assertEqual(done.returncode, status, done.stdout + done.stderr)
    return done.stdout + done.stderr


def comparable(rows):  # rows (dicts by column) in one order, the same from either store
    same = lambda v: int(v) if isinstance(v, bool) or (
        isinstance(v, float) and v.is_integer()) else v
    return sorted((tuple((k, same(v)) for k, v in sorted(row.items())) for row in rows), key=repr)


def sqlite_tables(path):  # every table of the schema, by name: its rows
    with contextlib.closing(sqlite3.connect(path)) as db:
        db.row_factory = sqlite3.Row
        names = [n for (n,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'"
                                          " AND name NOT LIKE 'sqlite%'")]
        return {n: comparable(map(dict, db.execute(f'SELECT * FROM "{n}"'))) for n in names}


def postgres_tables(db):  # every table but the store's own version mark, by name: its rows
    names = psql("SELECT table_name FROM information_schema.tables WHERE table_schema = 'public'"
                 " AND table_type = 'BASE TABLE' AND table_name <> 'schema_version'", db).split()
    rows = lambda n: json.loads(psql(f'SELECT coalesce(json_agg(t), \'[]\') FROM "{n}" t', db))
    return {n: comparable(rows(n)) for n in names}


# A value of each declared type that COPY, SQL and the digests each could get wrong.
AWKWARD = {"INT": -2**62, "REAL": 0.1 + 0.2, "BOOL": 1,
           "TEXT": "tab\tnew\nline \\N back\\slash 'q' \"dq\" \u00e9 \u2713"}


def fill_the_rest(path):
    """A row in each table still empty, made from the schema alone (a foreign key takes its
    parent's row): a table added to the schema is filled with no change here."""
    with contextlib.closing(sqlite3.connect(path)) as db, db:
        tables = [n for (n,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'"
                                           " AND name NOT LIKE 'sqlite%'")]
        rows = lambda n: db.execute(f'SELECT count(*) FROM "{n}"').fetchone()[0]
        for _ in tables:  # parents first, in as many rounds as it takes
            for name in (n for n in tables if rows(n) == 0):
                parents = {k[3]: (k[2], k[4])
                           for k in db.execute(f'PRAGMA foreign_key_list("{name}")')}
                if any(rows(parent) == 0 for parent, _ in parents.values()):
                    continue
                columns = list(db.execute(f'PRAGMA table_info("{name}")'))
                parent = lambda c: db.execute(
                    f'SELECT "{parents[c][1]}" FROM "{parents[c][0]}"').fetchone()[0]
                values = [parent(c[1]) if c[1] in parents else
                          next(v for t, v in AWKWARD.items() if t in c[2].upper()) for c in columns]
                db.execute(f'INSERT INTO "{name}" VALUES ({", ".join("?" * len(values))})', values)


@collector_alone
@one_thread
class MoveTest(unittest.TestCase):
    def test_every_table_of_the_schema_goes_to_postgresql_and_back_and_is_checked(self):
        source = test_collector.Service(self)
        source.cli("init")
        schema = sqlite_tables(source.path).keys()
        postgres = fresh_database("carried")
        subprocess.run([str(test_collector.COLLECTOR), "init", "--db", postgres], check=True,
                       capture_output=True)
        self.assertEqual(set(postgres_tables("carried")), set(schema))  # the two stores agree
        source.add_player("Ann")
        source.add_player("Gone")
        source.cli("player", "revoke", "Gone")
        window = ("--start", "2026-01-01T10:00:00Z", "--end", "2026-01-01T12:00:00Z")
        for name in ("Convoy", "Removed"):
            source.cli("event", "add", name, *window)
        source.cli("event", "remove", "2")  # its id is never given again
        source.cli("staff", "add", "amy", "--role", "owner")  # a join link, the audit
        with contextlib.closing(sqlite3.connect(source.path)) as db, db:
            for n in range(3):
                db.execute("INSERT INTO reports(player_id, received_ms, server_id, miles, seconds,"
                           " truck, trailer, flag) VALUES(1, ?, ?, ?, 60, ?, 'R', '')",
                           (1767261600000 + n, SERVER, AWKWARD["REAL"] * n, AWKWARD["TEXT"]))
            db.execute("PRAGMA user_version = 0")  # its totals built when the copy opens it
        source.cli("player", "list")
        fill_the_rest(source.path)
        carried = sqlite_tables(source.path)
        self.assertEqual([n for n, rows in carried.items() if not rows], [])
        self.assertIn("every table checked both ways",
                      copy(self, "--from", source.db, "--to", postgres))
        self.assertEqual(postgres_tables("carried"), carried)
        back = source.path.with_name("back.db")
        copy(self, "--from", postgres, "--to", f"sqlite:{back}")
        self.assertEqual(sqlite_tables(back), carried)
        # A difference either way is named by its table and row, and by the side it is on.
        for table, change, said in (
                ("reports", "UPDATE reports SET review = 'rejected' WHERE id = 2",
                 ["1 row in the source with no equal row in the target (id 2)",
                  "1 row in the target with no equal row in the source (id 2)"]),
                ("staff_sessions", "DELETE FROM staff_sessions",
                 ["1 row in the source with no equal row in the target"]),
                ("signin_failures", "INSERT INTO signin_failures VALUES ('x', 1, 1)",
                 ["1 row in the target with no equal row in the source (subject x)"])):
            with self.subTest(change=change):
                tampered = back.with_name("tampered.db")
                shutil.copyfile(back, tampered)
                subprocess.run(["sqlite3", tampered, change], check=True)
                checked = copy(self, "--check", "--from", source.db, "--to", f"sqlite:{tampered}",
                               status=1)
                for line in said:
                    self.assertIn(f"table {table}: {line}", checked)
                self.assertEqual(checked.count("table "), len(said))  # no other table named
                self.assertIn("THE COPY DIFFERS", checked)
        for db in (postgres, f"sqlite:{back}"):  # ids go on past the removed event's
            added = subprocess.run([str(test_collector.COLLECTOR), "event", "add", "Next", *window,
                                    "--db", db], capture_output=True, text=True, check=True)
            self.assertEqual(added.stdout.strip(), "3")

    def test_copy_from_sqlite_keeps_every_report_review_and_key_and_serves_them_alike(self):
        old = test_collector.Service(self)
        key = old.add_player("Mover")
        old.add_player("Gone")
        old.cli("player", "revoke", "Gone")
        old.start("--no-wall-time-check", "--server-max-mph", f"{SERVER}=80")
        reports = [body("Mover", 0.1 + 0.2, 3600, 'a "b", c'), body("Mover", 1.0, 3600)]
        reports += [body("Mover", 500.0 + i, 1) for i in range(3)]  # each flagged for speed
        self.assertEqual([old.post(report, key) for report in reports], [200] * 5)
        flagged = [line.split("\t")[0] for line in old.cli("flags", "list").splitlines()[1:]]
        self.assertEqual(len(flagged), 3)
        old.cli("flags", "accept", flagged[0])
        old.cli("flags", "reject", flagged[1])  # and the third waits
        before = board(old)
        flags = json.loads(old.request("GET", "/api/v1/players/Mover")[1])["flags"]
        self.assertEqual([(f["limit_mph"], f["review"]) for f in flags],
                         [(80, "waiting"), (80, "rejected"), (80, "accepted")])
        old.stop()
        target = fresh_database("served")
        self.assertIn("every table checked", copy(self, "--from", old.db, "--to", target))
        new = test_collector.Service(self, target).start()
        for command in (["export"], ["player", "list"], ["flags", "list"]):
            self.assertEqual(new.cli(*command), old.cli(*command))
        self.assertEqual(board(new), before)
        self.assertEqual(before["Mover"]["flagged_reports"], 1)
        self.assertEqual(json.loads(new.request("GET", "/api/v1/players/Mover")[1])["flags"],
                         flags)
        self.assertEqual(new.post(body("Mover", RAW_MILES, 1), key), 200)

    def test_columns_are_carried_by_the_kinds_both_types_agree_on_or_refused(self):
        source = test_collector.Service(self)
        source.add_player("Ann")
        full = fresh_database("filled")
        copy(self, "--from", source.db, "--to", full)
        away = "ALTER TABLE players ADD COLUMN away "
        for name, on_source, on_target, status, said in (
                ("filled", None, None, 1, "holds rows already: the copy goes into a database"
                                          " that holds none"),
                ("lacking", "CREATE TABLE extra(x INTEGER)", None, 1,
                 "table extra of the source has no place in the target"),
                ("typed", away + "BLOB", away + "bytea", 1, "table players, column away: its"
                 " types (BLOB in the source, bytea in the target) cannot be carried"),
                ("truth", away + "BOOLEAN; UPDATE players SET away = 1", away + "boolean", 0,
                 "every table checked both ways"),
                ("whole", away + "INTEGER; UPDATE players SET away = 1", away + "boolean", 0,
                 "every table checked both ways")):
            with self.subTest(name=name):
                changed = source.path.with_name(f"{name}.db")
                shutil.copyfile(source.path, changed)
                if on_source:
                    subprocess.run(["sqlite3", changed, on_source], check=True)
                target = full if name == "filled" else fresh_database(name)
                subprocess.run([str(test_collector.COLLECTOR), "init", "--db", target], check=True,
                               capture_output=True)
                if on_target:
                    psql(on_target, name)
                before = postgres_tables(name)
                self.assertIn(said, copy(self, "--from", f"sqlite:{changed}", "--to", target,
                                         status=status))
                if status:  # refused: the target as it was
                    self.assertEqual(postgres_tables(name), before)
                else:  # a truth value held as an integer by SQLite
                    self.assertEqual(psql("SELECT away FROM players", name), "t")

    def test_after_a_move_either_way_nothing_posted_is_posted_again(self):
        old = test_collector.Service(self)
        key = old.add_player("Mover")
        now = datetime.datetime.now(datetime.timezone.utc)
        stamp = lambda minutes: (now + datetime.timedelta(minutes=minutes)).strftime(
            "%Y-%m-%dT%H:%M:%SZ")
        window = ("--start", stamp(-60), "--end", stamp(-30))  # ended: its results are due
        old.cli("event", "add", "Convoy", *window)
        monday = now.date() - datetime.timedelta(days=now.weekday() + 7)  # last week's
        with contextlib.closing(sqlite3.connect(old.path)) as db, db:
            for at, miles in ((datetime.datetime(monday.year, monday.month, monday.day, 12,
                                                 tzinfo=datetime.timezone.utc), 999.5),
                              (now - datetime.timedelta(minutes=45), 0.4)):
                db.execute("INSERT INTO reports(player_id, received_ms, server_id, miles, seconds,"
                           " truck, trailer, flag) VALUES(1, ?, ?, ?, 600, 'T', 'R', '')",
                           (int(at.timestamp() * 1000), SERVER, miles))
            db.execute("PRAGMA user_version = 0")  # the totals are built from the reports
        hook = test_collector.Webhook(self)
        options = ("--no-wall-time-check", "--webhook", hook.url, "--metrics-listen", "127.0.0.1:0")

        def settled(service, before, at_least):  # `service` sent each post the hook got
            test_collector.await_settled(  # after its first `before`, at least that many
                self, service, lambda sent: sent >= at_least and
                sent == len(hook.statuses()) - before, hook.delivered(0))

        old.start(*options)  # (the hook got no post before)
        self.assertEqual(old.post(body("Mover", 1.0, 60), key), 200)  # the milestone
        settled(old, 0, 3)  # the week's, the event's, the milestone (and the month's, if due)
        posted = hook.delivered(0)
        old.stop()
        # To PostgreSQL and back to SQLite: each collector posts the event added after
        # the move (its window that of the first) and nothing it was told of before.
        moved = old
        for target in (fresh_database("posted"), "sqlite:" + str(old.path.with_name("back.db"))):
            copy(self, "--from", moved.db, "--to", target)
            moved = test_collector.Service(self, target)
            marker = f"Marker {len(posted)}"
            moved.cli("event", "add", marker, *window)
            before = len(hook.statuses())
            moved.start(*options)
            settled(moved, before, 1)
            delivered = hook.delivered(0)
            self.assertEqual(len(delivered), len(posted) + 1, delivered)
            self.assertTrue(any(p.startswith(f"**{marker}** has ended") for p in delivered))
            posted = hook.delivered(0)
            moved.stop()
            self.assertEqual(len(hook.statuses()), len(posted))

if __name__ == "__main__":
    unittest.main()
