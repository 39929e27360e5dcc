"""Hostile sizes and a hostile collector, through the real library in gamehost:
a 1 MiB player name or API key, a 16 MiB settings file with no line end, a
rich presence of 10,000 keys, rich-presence values holding CR and LF, and a
collector that trickles its answer, never ends it or never gives one. In every
case the plug-in stays within a bounded time and memory, or fails the way any
failed report fails (the amounts stay pending), and it never crashes.

Memory is the host process's peak resident set (VmHWM) read while it still
runs, against the peak of an ordinary session on the same platform: the
sanitizer builds and Wine have very different baselines, and only the growth
says something about the plug-in.

The scenarios that wait for reports (every report comes one interval after
init) start together when the module starts; each test waits for its own.
"""
# ctest: timeout=400

import json
import pathlib
import re
import threading
import time
import unittest

from collector import Collector, RawCollector, held_answer
from harness import (GAME_START_LINE, IS_WINE, LINE_END, PLATFORM, SETTINGS_WARNING, START_LINE,
                     VALID_INI, GameFolder, PluginTestCase)
from roads import REPORT_WAIT, SERVER, Road, RoadPool

MIB = 1024 * 1024
DETECTOR = "Steam auto-server detector v7.3: "
SELF = 76561198000000001
CONNECT_TO_SERVER = "+connect 192.0.2.10:27027 27026"  # server 2 by its port pair

check = unittest.TestCase()
check.maxDiff = 2000


# --- measuring -------------------------------------------------------------------

def peak_kib(session):
    """Peak resident memory of the running host process, in KiB. Under Wine
    the process is gamehost.exe itself."""
    status = pathlib.Path(f"/proc/{session.process.pid}/status").read_text()
    for line in status.splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    raise AssertionError("no VmHWM in " + status)


# A 16 MiB line costs about four copies of itself natively and under Wine;
# ASan keeps freed blocks in quarantine, TSan adds its shadow memory.
GROWTH_PER_BYTE = {"asan": 10, "tsan": 28}.get(PLATFORM, 6)

_baseline = None
_baseline_lock = threading.Lock()


def baseline_kib():
    """Peak of an ordinary session: init with Steam bound and detecting, then shutdown."""
    global _baseline
    with _baseline_lock:
        if _baseline is None:
            folder = GameFolder(steam="full", steam_script=f"steam_id {SELF}\n")
            try:
                session = folder.start()
                check.assertEqual(session.init(), 0)
                folder.wait_for_log(DETECTOR)
                _baseline = peak_kib(session)
                session.shutdown()
                session.close()
            finally:
                folder.cleanup()
        return _baseline


def assert_bounded_memory(peak, hostile_bytes, what):
    """The growth of a peak over an ordinary session's stays linear in the
    hostile input, with room for the copies a line or a body goes through and
    for the sanitizers' quarantine of freed memory."""
    growth = (peak - baseline_kib()) * 1024
    limit = GROWTH_PER_BYTE * hostile_bytes + 64 * MIB
    check.assertLess(growth, limit, f"{what}: peak grew by {growth // MIB} MiB")


# --- answers for RawCollector that misbehave on the wire --------------------------

def trickled_answer(seconds):
    """The status line and headers one byte at a time, over about `seconds`."""
    def answer(connection):
        response = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
        for i in range(len(response)):
            time.sleep(seconds / len(response))
            connection.sendall(response[i:i + 1])
    return answer


def endless_body(connection):
    """Complete headers at once, then a body that never ends."""
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                       b"Content-Length: 1000000000\r\n\r\n")
    while True:
        connection.sendall(b"x")  # fails once the client has hung up
        time.sleep(0.05)


def wait_for_log_bytes(folder, needle, timeout=20.0):
    """Like GameFolder.wait_for_log, for messages that span lines."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if needle in folder.log_bytes():
            return
        time.sleep(0.05)
    raise AssertionError(f"log never held {needle!r}; log: {folder.log_bytes()!r}")


def header_values(head, name):
    values = []
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.lower() == name.lower():
            values.append(value[1:] if value.startswith(b" ") else value)
    return values


# --- roads that wait for reports ---------------------------------------------------

def long_name_road():
    """A 1 MiB player name goes out whole in a well-formed body."""
    name = ("Night Owl " * (MIB // 10 + 1))[:MIB].strip()
    collector = Collector()
    road = Road(collector.url())
    try:
        road.folder.write_ini(VALID_INI + f"PlayerName={name}\n" +
                              f"CollectorURL={collector.url()}\n")
        road.start()
        road.reach_server()
        road.drive(60, 5)
        report = collector.wait_for_requests(1, REPORT_WAIT)[0]
        peak = peak_kib(road.session)
        road.finish()
        return {"name": name, "report": report.json(), "peak": peak}
    finally:
        road.close()
        collector.stop()


def long_key_road():
    """A 1 MiB API key. WinHTTP sends it whole in its header; libcurl refuses
    request heads above 1 MiB, so on Linux every post fails after connecting
    and the amounts stay pending: with a short key, the next report carries
    them all."""
    key = ("k3y-" * (MIB // 4))[:MIB]
    collector = RawCollector()
    road = Road(collector.url())
    try:
        road.folder.write_ini(f"PlayerName=Night Owl\nApiKey={key}\n"
                              f"CollectorURL={collector.url()}\nSendIntervalSeconds=10\n")
        road.start()
        road.reach_server()
        road.drive(60, 5)
        result = {"key": key}
        if IS_WINE:
            _, head, body = collector.wait_for_requests(1)[0]
            result.update(sent=header_values(head, b"X-VORN-Key"), body=body)
        else:
            road.sleep_until(13.0)
            result.update(connections=collector.connections, requests=len(collector.requests))
            road.restart(collector.url())
            road.drive(2)
            result["later"] = json.loads(collector.wait_for_requests(1)[0][2])
        result["peak"] = peak_kib(road.session)
        road.shutdown()
        result["log"] = road.folder.log_bytes()
        road.finish()
        return result
    finally:
        road.close()
        collector.stop()


def slow_answer_road(first_answer, shutdown_in_flight=False):
    """Two reports: the first answered by `first_answer`, the second at once.
    The second report's amounts tell whether the first was accepted; its
    arrival time, how long the first post took. With shutdown_in_flight the
    plug-in is shut down (and started again) while the first post waits."""
    collector = RawCollector([first_answer])
    road = Road(collector.url())
    try:
        road.start()
        road.reach_server()
        road.drive(60, 5)
        collector.wait_for_requests(1)
        if shutdown_in_flight:
            shutdown_ms = road.restart(collector.url())
        road.drive(7)
        requests = collector.wait_for_requests(2, REPORT_WAIT + 20)
        if not shutdown_in_flight:
            shutdown_ms = road.shutdown()
        road.finish()
        return {"bodies": [json.loads(r[2]) for r in requests[:2]],
                "gap": requests[1][0] - requests[0][0], "shutdown_ms": shutdown_ms}
    finally:
        road.close()
        collector.stop()


ROADS = {
    "long_name": long_name_road,
    "long_key": long_key_road,
    "trickled": lambda: slow_answer_road(trickled_answer(5.0)),
    "endless_body": lambda: slow_answer_road(endless_body),
    "never_answered": lambda: slow_answer_road(held_answer),
    "shutdown_during_held_answer": lambda: slow_answer_road(held_answer, shutdown_in_flight=True),
}
_roads = RoadPool(ROADS)


def setUpModule():
    baseline_kib()
    _roads.start()


def tearDownModule():
    _roads.stop()


road_result = _roads.result


# --- tests -----------------------------------------------------------------------------

class LongCredentials(PluginTestCase):
    def test_a_1_mib_player_name_goes_out_whole(self):
        road = road_result("long_name")
        report = road["report"]
        self.assertEqual(list(report), ["player_name", "server_id", "miles_delta",
                                        "seconds_delta", "truck", "trailer"])
        self.assertEqual(len(report["player_name"]), len(road["name"]))
        self.assertEqual(report["player_name"], road["name"])
        self.assertEqual((report["server_id"], report["seconds_delta"]), (SERVER, 60))
        assert_bounded_memory(road["peak"], len(road["name"]), "1 MiB name")

    def test_a_1_mib_api_key_goes_out_whole_or_the_amounts_stay_pending(self):
        road = road_result("long_key")
        if IS_WINE:
            self.assertEqual(road["sent"], [road["key"].encode()])
            self.assertNotIn(road["key"].encode(), road["body"])
        else:
            self.assertGreaterEqual(road["connections"], 1, "no post was attempted")
            self.assertEqual(road["requests"], 0)
            self.assertEqual(road["later"]["seconds_delta"], 62, "amounts were taken off")
        self.assertNotIn(road["key"][:64].encode(), road["log"])
        assert_bounded_memory(road["peak"], len(road["key"]), "1 MiB key")


class SlowCollector(PluginTestCase):
    def test_a_post_is_decided_by_its_headers_within_the_deadline_and_shutdown_is_prompt(self):
        # The next interval (10 s) counts from the end of the first post, so
        # the gap between the two reports shows how long that post took.
        cases = {  # road: seconds of both reports, least and most gap
            "trickled": ((60, 7), 10 + 4.0, 10 + 15.0),  # 5 s of trickle, read to the end
            "endless_body": ((60, 7), 10.0, 10 + 4.0),  # the body is not waited for
            "never_answered": ((60, 67), 10 + 14.0, 10 + 15.0 + 5.0),  # abandoned at 15 s
            # Shutdown gives the held post 1 s, then init starts a new interval.
            "shutdown_during_held_answer": ((60, 67), 10 + 1.0, 10 + 5.0),
        }
        for name, (seconds, least, most) in cases.items():
            with self.subTest(road=name):
                road = road_result(name)
                self.assertEqual(tuple(b["seconds_delta"] for b in road["bodies"]), seconds)
                self.assertGreater(road["gap"], least)
                self.assertLess(road["gap"], most)
                self.assertLess(road["shutdown_ms"], 1500)


class HugeSettingsFile(PluginTestCase):
    """A 16 MiB last line with no line end, after an otherwise valid file."""

    def test_a_16_mib_line_without_line_end(self):
        huge = 16 * MIB
        cases = [
            # (what, last line, init result)
            ("comment", "#" + "x" * huge, 0),
            ("no equals sign", "x" * huge, 0),
            ("interval of 16 MiB of digits", "SendIntervalSeconds=" + "9" * huge, 0),
            # Read to its very end and trimmed: the name is the placeholder again.
            ("placeholder name and 16 MiB of blanks", "PlayerName=CHANGE_ME" + " \t" * (huge // 2),
             -7),
        ]
        for what, last_line, result in cases:
            with self.subTest(what):
                folder = self.folder(ini=VALID_INI + last_line)
                session = folder.start()
                started = time.monotonic()
                self.assertEqual(session.init(), result)
                self.assertLess(time.monotonic() - started, 20.0, "init took too long")
                assert_bounded_memory(peak_kib(session), huge, what)
                session.shutdown()
                run = session.close()
                self.assertCleanRun(run)
                if result == 0:
                    self.assertEqual(run.gamelog, [(0, GAME_START_LINE)])
                    self.assertEqual(folder.log_messages(), [START_LINE])
                else:
                    self.assertEqual(run.gamelog, [(2, SETTINGS_WARNING)])
                    self.assertEqual(folder.log_bytes(), b"")


class HugeRichPresence(PluginTestCase):
    def test_ten_thousand_keys_are_read_logged_in_key_order_and_detected(self):
        # Enumerated in reverse, so that the logged order is the map's own.
        keys = [f"k{i:05d}" for i in range(10000)]
        presence = [(key, f"value of {key}") for key in reversed(keys)]
        presence.insert(5000, ("connect", CONNECT_TO_SERVER))
        script = f"steam_id {SELF}\n" + "".join(f"rp {k}={v}\n" for k, v in presence)
        folder = self.folder(steam="full", steam_script=script)
        session = folder.start()
        self.assertEqual(session.init(), 0)
        status = folder.wait_for_log("rp_count=", timeout=30)
        entries = "".join(f" [{k}={v}]" for k, v in sorted(presence))
        self.assertEqual(status, f"{DETECTOR}self={SELF} game_ok=false rp_count=10001{entries}"
                                 f" detect_source=CONNECT VORN_server={SERVER}")
        assert_bounded_memory(peak_kib(session), len(script), "10,000 keys")

        # The detector keeps cycling: leaving the server shows within a cycle or two.
        folder.write_steam_script(f"steam_id {SELF}\nrp status=Parked\n")
        folder.wait_for_log("rp_count=1 [status=Parked]", timeout=10)
        self.assertLess(session.shutdown(), 3000)
        self.assertCleanRun(session.close())


class LineBreaksInRichPresence(PluginTestCase):
    def test_a_status_line_with_cr_and_lf_spans_lines_and_the_next_one_is_whole(self):
        # fakesteam's rpx lines take \r and \n escapes.
        script = (f"steam_id {SELF}\n"
                  r"rpx status=Driving\r\nto Berlin" "\n"
                  r"rpx steam_display=a\rb\n\n" "\n"
                  r"rpx connect=+connect 192.0.2.10:27027\n27026" "\n")
        folder = self.folder(steam="full", steam_script=script)
        session = folder.start()
        self.assertEqual(session.init(), 0)
        wait_for_log_bytes(folder, b"VORN_server=")
        folder.write_steam_script(f"steam_id {SELF}\nrp status=Parked\n")
        folder.wait_for_log("rp_count=1 [status=Parked]", timeout=10)
        session.shutdown()
        self.assertCleanRun(session.close())

        broken = (f"{DETECTOR}self={SELF} game_ok=false rp_count=3"
                  " [connect=+connect 192.0.2.10:27027\n27026]"
                  " [status=Driving\r\nto Berlin] [steam_display=a\rb\n\n]"
                  f" detect_source=CONNECT VORN_server={SERVER}").encode()
        whole = (f"{DETECTOR}self={SELF} game_ok=false rp_count=1 [status=Parked]"
                 " [connect=<missing>] detect_source=NONE VORN_server=NONE").encode()
        log = folder.log_bytes()
        stamp = rb"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]  "
        # Each message as it was written: bytes as they are, the line end of
        # the platform's text mode after every LF, and one time at its start.
        for message in (broken, whole):
            written = message.replace(b"\n", LINE_END)
            self.assertRegex(log, rb"(^|" + re.escape(LINE_END) + rb")" + stamp +
                             re.escape(written) + re.escape(LINE_END),
                             f"not written whole: {message!r}")
        self.assertTrue(log.endswith(whole.replace(b"\n", LINE_END) + LINE_END))
        self.assertEqual(log.count(whole), 1)


if __name__ == "__main__":
    unittest.main()
