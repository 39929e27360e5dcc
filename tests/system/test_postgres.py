"""Two vorn-collector instances on one real PostgreSQL server, taking reports
for the same players side by side from the real plug-in and raw requests; the
copy of a SQLite database into PostgreSQL."""
# ctest: timeout=900

import json
import os
import pathlib
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

from harness import API_KEY, BUILD_DIR, IS_WINE, KNOWN_SERVERS, NATIVE_BUILD_DIR, SOURCE_DIR
from harness import ini_with_url, sanitizer_env
from pgserver import ScratchPostgres
from roads import REPORT_WAIT, Road

COLLECTOR = str((NATIVE_BUILD_DIR if IS_WINE else BUILD_DIR) / "collector" / "vorn-collector")
ENV = {**os.environ, **sanitizer_env()}
ENV["TSAN_OPTIONS"] += f":suppressions={pathlib.Path(__file__).parent / 'collector.tsan.supp'}"
RAW_MILES = 0.03125  # a binary fraction: any number of them adds up exactly


class Instance:
    """One `vorn-collector serve` on a loopback port of its own choosing."""

    def __init__(self, db):
        self.process = subprocess.Popen(
            [COLLECTOR, "serve", "--db", db, "--listen", "127.0.0.1:0"], text=True,
            stdout=subprocess.PIPE, env=ENV)
        self.url = self.process.stdout.readline().split()[-1]

    def request(self, path, body=None, key=None):
        headers = {"Content-Type": "application/json", "X-VORN-Key": key} if body else {}
        try:
            with urllib.request.urlopen(urllib.request.Request(
                    self.url + path, body, headers), timeout=60) as answer:
                return answer.status, answer.read()
        except urllib.error.HTTPError as answer:
            return answer.code, answer.read()

    def post(self, key, name, miles, seconds, truck="Raw"):
        body = json.dumps({"player_name": name, "server_id": KNOWN_SERVERS[0],
                           "miles_delta": miles, "seconds_delta": seconds,
                           "truck": truck, "trailer": "None"}).encode()
        return self.request("/api/v1/telemetry", body, key)[0]

    def board(self):
        status, data = self.request("/api/v1/leaderboard")
        assert status == 200, status
        return {row["player_name"]: row for row in json.loads(data)["players"]}

    def stop(self):
        self.process.terminate()
        code = self.process.wait(timeout=60)
        self.process.stdout.close()
        assert code == 0, f"vorn-collector ended with {code} (its stderr is above)"


def collector(db, *command):
    return subprocess.run([COLLECTOR, *command, "--db", db], check=True, capture_output=True,
                          text=True, env=ENV).stdout


def add_player(db, name):
    return collector(db, "player", "add", name).strip().splitlines()[-1]


def setUpModule():
    global server, first, second
    server = ScratchPostgres()
    unittest.addModuleCleanup(server.close)
    first = Instance(server.url)
    unittest.addModuleCleanup(first.stop)
    second = Instance(server.url)
    unittest.addModuleCleanup(second.stop)


class SharedDatabaseTest(unittest.TestCase):
    def wait_for_reports(self, name, count):
        deadline = time.monotonic() + REPORT_WAIT
        while time.monotonic() < deadline:
            row = first.board().get(name)
            if row and row["reports"] + row["flagged_reports"] >= count:
                return
            time.sleep(0.2)
        self.fail(f"{name} never had {count} reports: {first.board()}")

    def test_interleaved_plugin_and_raw_reports_add_up_exactly(self):
        owl_key = add_player(server.url, "Night Owl")
        raw_key = add_player(server.url, "Raw Racer")
        ini = lambda at: ini_with_url(at.url + "/api/v1/telemetry").replace(API_KEY, owl_key)
        statuses, road_done = [], threading.Event()

        def raw_stream(instance):  # for as long as the plug-in drives, side by side
            while not road_done.wait(0.005):
                statuses.append(instance.post(raw_key, "Raw Racer", RAW_MILES, 1))

        raw = [threading.Thread(target=raw_stream, args=(i,)) for i in (first, second)]
        road = Road(first.url)
        try:
            road.folder.write_ini(ini(first))
            road.start()
            road.reach_server()
            for thread in raw:
                thread.start()
            driven = road.drive(60, 1.5)
            self.wait_for_reports("Night Owl", 1)
            road.shutdown()
            road.folder.write_ini(ini(second))
            road.start()
            driven += road.drive(8, 0.2)
            self.wait_for_reports("Night Owl", 2)
            road.finish()
        finally:
            road_done.set()
            for thread in raw:
                if thread.is_alive():
                    thread.join()
            road.close()
        self.assertEqual(statuses, [200] * len(statuses))
        boards = first.board(), second.board()
        self.assertEqual(boards[0], boards[1])
        owl, racer = boards[0]["Night Owl"], boards[0]["Raw Racer"]
        self.assertEqual((owl["reports"], owl["flagged_reports"], owl["seconds"]), (2, 0, 68))
        self.assertAlmostEqual(owl["miles"], driven, delta=2e-6)  # six decimals a report
        raw_count = len(statuses)
        self.assertEqual((racer["reports"], racer["flagged_reports"], racer["seconds"],
                          racer["miles"]), (raw_count, 0, raw_count, raw_count * RAW_MILES))

    def test_wall_time_rule_holds_per_key_across_instances(self):
        key = add_player(server.url, "Twin")
        # Two hours claimed within moments, one on each instance: the second is flagged.
        truck = 'Rig "7" \\ {a,b} ÄÖ'
        self.assertEqual([first.post(key, "Twin", 60.0, 3600),
                          second.post(key, "Twin", 60.0, 3600, truck)], [200, 200])
        row = second.board()["Twin"]
        self.assertEqual((row["reports"], row["flagged_reports"], row["seconds"],
                          row["last_truck"]), (1, 1, 3600, truck))

    def test_store_answers_503_while_the_server_is_down_and_recovers(self):
        key = add_player(server.url, "Comeback")
        server.stop()
        try:
            self.assertEqual([first.post(key, "Comeback", RAW_MILES, 1),
                              first.request("/healthz")[0]], [503, 503])
        finally:
            server.start()
        # The second instance's connections went stale unnoticed: they must not cost a 503.
        self.assertEqual([second.post(key, "Comeback", RAW_MILES, 1),
                          first.post(key, "Comeback", RAW_MILES, 1),
                          second.request("/healthz")[0]], [200, 200, 200])
        self.assertEqual(first.board()["Comeback"]["reports"], 2)

    def test_copy_from_sqlite_keeps_reports_players_and_keys(self):
        with tempfile.TemporaryDirectory() as scratch, ScratchPostgres() as target:
            sqlite = f"sqlite:{scratch}/old.db"
            key = add_player(sqlite, "Mover")
            add_player(sqlite, "Gone")
            collector(sqlite, "player", "revoke", "Gone")
            old = Instance(sqlite)
            self.assertEqual([old.post(key, "Mover", 0.1 + 0.2, 3600, 'a "b",\nc'),
                              old.post(key, "Mover", 1.0, 3600)], [200, 200])
            board = old.board()
            old.stop()
            subprocess.run([SOURCE_DIR / "tools" / "sqlite-to-postgres.sh", f"{scratch}/old.db",
                            target.url], check=True, env=dict(ENV, VORN_COLLECTOR=COLLECTOR))
            for command in (["export"], ["player", "list"]):
                self.assertEqual(collector(target.url, *command), collector(sqlite, *command))
            new = Instance(target.url)
            self.assertEqual(new.board(), board)
            self.assertEqual(new.post(key, "Mover", RAW_MILES, 1), 200)
            new.stop()


if __name__ == "__main__":
    unittest.main()
