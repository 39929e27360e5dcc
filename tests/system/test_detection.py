"""Server detection through the Steam client, with the real library in gamehost
and tools/fakesteam standing in for Steam: the binding's probe lines and their
retry, the status line of each detection source, logging on change only, and
how quickly shutdown ends the detector."""

import time
import unittest

from collector import Collector
from harness import (ENDPOINT_ADDRESS_A, ENDPOINT_ADDRESS_B, IS_WINE, KNOWN_SERVERS,
                     START_LINE, PluginTestCase, ini_with_url)

DETECTOR = "Steam auto-server detector v7.3: "
PROBE_BOUND = "Steam active-session probe: SteamUser + SteamFriends loaded."
PROBE_MISSING = "Steam active-session probe: required exports unavailable."
PROBE_NULL = "Steam active-session probe: interfaces unavailable."

SELF = 76561198000000001
LOBBY = 109775241000000000
NO_USER_LINE = ("self=0 game_ok=false rp_count=0 [connect=<missing>] detect_source=NONE "
                "VORN_server=NONE")

# Shutdown joins the detector first and then the sender, which sleeps in 1 s
# steps: a detector that honours the stop flag adds at most one 100 ms step,
# one that sits out its 2 s wait shows up well above this.
SHUTDOWN_LIMIT_MS = 1500


def ip_number(dotted):
    first, second, third, fourth = (int(part) for part in dotted.split("."))
    return first << 24 | second << 16 | third << 8 | fourth


def steam_script(steam_id=SELF, game=None, presence=(), extra=""):
    """game: (address, game_port, query_port) when the user is in a game."""
    lines = [f"steam_id {steam_id}"]
    if game is not None:
        address, game_port, query_port = game
        lines += ["game_played 1", "game_id 270880", f"address {address}",
                  f"game_port {game_port}", f"query_port {query_port}", f"lobby {LOBBY}"]
    lines += [f"rp {key}={value}" for key, value in presence]
    return "\n".join(lines) + "\n" + extra


def in_game(dotted, game_port, query_port):
    return (f"self={SELF} game_ok=true game_id=270880 lobby={LOBBY} ip={ip_number(dotted)} "
            f"game_port={game_port} query_port={query_port}")


class DetectionTestCase(PluginTestCase):
    def messages(self, folder, prefix):
        return [m[len(prefix):] for m in folder.log_messages_lenient() if m.startswith(prefix)]

    def wait_for_count(self, folder, prefix, count, timeout=20.0):
        """Waits until the log holds `count` messages starting with prefix; returns them."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.messages(folder, prefix)
            if len(found) >= count:
                return found
            time.sleep(0.02)
        self.fail(f"log never held {count} lines starting with {prefix!r}: "
                  f"{folder.log_bytes()!r}")

    def start(self, folder):
        session = folder.start()
        self.assertEqual(session.init(), 0)
        return session

    def finish(self, session):
        """Shuts down, mostly just after a detector line, so at the start of
        the 2 s wait that shutdown must cut short."""
        took = session.shutdown()
        self.assertLess(took, SHUTDOWN_LIMIT_MS)
        self.assertCleanRun(session.close())


class Binding(DetectionTestCase):
    def test_without_a_steam_library_the_detector_is_silent(self):
        folder = self.folder(steam=None)
        # On Linux the loader's trace would show any search of the library
        # path for Steam: the idle detector must not touch the file system.
        trace = {} if IS_WINE else {"LD_DEBUG": "libs", "LD_DEBUG_OUTPUT": str(folder.path / "ld")}
        run = folder.run("init\nsleep 2600\nshutdown\n", extra_env=trace)
        self.assertCleanRun(run)
        self.assertEqual(folder.log_messages(), [START_LINE])
        traced = b"".join(path.read_bytes() for path in folder.path.glob("ld.*"))
        self.assertEqual(b"VORN_Davida_Client" in traced, not IS_WINE, "no loader trace")
        self.assertNotIn(b"libsteam_api", traced)

    def test_each_library_variant_binds_or_says_why_not(self):
        cases = [
            ("full", PROBE_BOUND),
            ("old-accessors", PROBE_BOUND),
            ("no-request", PROBE_BOUND),
            ("no-key-by-index", PROBE_MISSING),
        ]
        for variant, probe in cases:
            with self.subTest(variant=variant):
                folder = self.folder(steam=variant, steam_script=steam_script())
                session = self.start(folder)
                folder.wait_for_log(probe)
                if probe == PROBE_BOUND:
                    # Binding without the request still reads rich presence.
                    self.wait_for_count(folder, DETECTOR, 1)
                self.finish(session)
                self.assertEqual(self.messages(folder, "Steam active-session probe: "),
                                 [probe[len("Steam active-session probe: "):]])

    def test_missing_exports_are_retried_about_every_two_seconds(self):
        folder = self.folder(steam="no-key-by-index", steam_script=steam_script())
        session = self.start(folder)
        self.wait_for_count(folder, PROBE_MISSING, 1)
        first = time.monotonic()
        self.wait_for_count(folder, PROBE_MISSING, 2)
        gap = time.monotonic() - first
        # Stopped right after an attempt: the whole 2 s wait lies ahead.
        self.finish(session)
        self.assertGreater(gap, 1.5)
        self.assertLess(gap, 3.5)
        self.assertEqual(self.messages(folder, DETECTOR), [], "never bound, never detected")

    def test_null_interface_is_retried_until_steam_hands_one_out(self):
        folder = self.folder(steam="full", steam_script=steam_script(extra="null_user 1\n"))
        session = self.start(folder)
        self.wait_for_count(folder, PROBE_NULL, 2)
        folder.write_steam_script(steam_script())
        folder.wait_for_log(PROBE_BOUND)
        lines = self.wait_for_count(folder, DETECTOR, 1)
        self.finish(session)
        self.assertTrue(lines[0].startswith(f"self={SELF} "), lines)


class Sources(DetectionTestCase):
    def test_status_line_of_each_source(self):
        server1, server2, _, server4, server5 = KNOWN_SERVERS
        cases = [
            ("endpoint",
             steam_script(game=(ENDPOINT_ADDRESS_A, 27027, 27026), presence=[("status", "Driving")]),
             in_game(ENDPOINT_ADDRESS_A, 27027, 27026) +
             f" rp_count=1 [status=Driving] [connect=<missing>] detect_source=ENDPOINT "
             f"VORN_server={server2}"),
            ("endpoint wins over connect",
             steam_script(game=(ip_number(ENDPOINT_ADDRESS_B), 27015, 27016),
                          presence=[("connect", "+connect 203.0.113.7:27021 27022")]),
             in_game(ENDPOINT_ADDRESS_B, 27015, 27016) +
             " rp_count=1 [connect=+connect 203.0.113.7:27021 27022] detect_source=ENDPOINT "
             f"VORN_server={server5}"),
            ("connect ports",
             steam_script(presence=[("status", "Driving"),
                                    ("connect", "+connect 203.0.113.7:27021 -q 27022")]),
             f"self={SELF} game_ok=false rp_count=2 [connect=+connect 203.0.113.7:27021 -q 27022]"
             f" [status=Driving] detect_source=CONNECT VORN_server={server1}"),
            ("connect identifier, unknown endpoint",
             steam_script(game=("203.0.113.7", 27027, 27026),
                          presence=[("connect", f"+connect {server4[:17]}")]),
             in_game("203.0.113.7", 27027, 27026) +
             f" rp_count=1 [connect=+connect {server4[:17]}] detect_source=CONNECT "
             f"VORN_server={server4}"),
            ("empty connect",
             steam_script(presence=[("connect", "")]),
             f"self={SELF} game_ok=false rp_count=1 [connect=] [connect=<empty>] "
             "detect_source=NONE VORN_server=NONE"),
            ("nothing known",
             steam_script(game=(ENDPOINT_ADDRESS_A, 27022, 27021)),
             in_game(ENDPOINT_ADDRESS_A, 27022, 27021) +
             " rp_count=0 [connect=<missing>] detect_source=NONE VORN_server=NONE"),
            ("no user", steam_script(steam_id=0, presence=[("connect", "x")]), NO_USER_LINE),
        ]
        for name, script, line in cases:
            with self.subTest(name):
                folder = self.folder(steam="full", steam_script=script)
                session = self.start(folder)
                lines = self.wait_for_count(folder, DETECTOR, 1)
                self.finish(session)
                self.assertEqual(lines, [line])
                # Init writes its start line after starting the detector, so
                # only the probe line is sure to come first.
                messages = folder.log_messages()
                self.assertCountEqual(messages, [START_LINE, PROBE_BOUND, DETECTOR + line])
                self.assertLess(messages.index(PROBE_BOUND), messages.index(DETECTOR + line))


class Changes(DetectionTestCase):
    def test_a_line_is_written_only_when_it_changes(self):
        server2 = KNOWN_SERVERS[1]
        game = (ENDPOINT_ADDRESS_A, 27027, 27026)
        folder = self.folder(steam="full",
                             steam_script=steam_script(game=game, presence=[("status", "Driving")]))
        session = self.start(folder)
        self.wait_for_count(folder, DETECTOR, 1)
        time.sleep(4.5)  # two more cycles that read the same
        self.assertEqual(len(self.messages(folder, DETECTOR)), 1)

        folder.write_steam_script(steam_script(game=game, presence=[("status", "Parked")]))
        lines = self.wait_for_count(folder, DETECTOR, 2)
        folder.write_steam_script(steam_script(presence=[("status", "Parked")]))
        lines = self.wait_for_count(folder, DETECTOR, 3)
        self.finish(session)

        self.assertEqual(len(lines), 3, lines)
        self.assertTrue(lines[0].endswith(f"[status=Driving] [connect=<missing>] "
                                          f"detect_source=ENDPOINT VORN_server={server2}"), lines)
        self.assertTrue(lines[1].endswith(f"[status=Parked] [connect=<missing>] "
                                          f"detect_source=ENDPOINT VORN_server={server2}"), lines)
        self.assertEqual(lines[2], f"self={SELF} game_ok=false rp_count=1 [status=Parked] "
                                   "[connect=<missing>] detect_source=NONE VORN_server=NONE")


class Shutdown(DetectionTestCase):
    def test_shutdown_during_the_binding_wait(self):
        folder = self.folder(steam=None)
        run = folder.run("init\nsleep 300\nshutdown\n")
        self.assertCleanRun(run)
        self.assertLess(run.shutdown_ms[0], SHUTDOWN_LIMIT_MS)


def wait_for_reported_seconds(collector, seconds, timeout):
    """Waits until the reports add up to at least that many seconds; returns their bodies."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        reports = [request.json() for request in collector.requests()]
        if sum(report["seconds_delta"] for report in reports) >= seconds:
            return reports
        time.sleep(0.1)
    raise AssertionError(f"the reports never added up to {seconds} s: {collector.requests()}")


class Counting(DetectionTestCase):
    def test_only_time_and_distance_on_a_known_server_with_cargo_loaded_are_reported(self):
        server2 = KNOWN_SERVERS[1]
        folder = self.folder(steam="full", steam_script=steam_script())
        collector = Collector()
        self.addCleanup(collector.stop)
        folder.write_ini(ini_with_url(collector.url()))
        session = self.start(folder)
        self.wait_for_count(folder, DETECTOR, 1)

        # No server detected: nothing counts, cargo or not.
        session.send("config job cargo.loaded=bool:1", "frame 1000000", "drive 10 1")
        session.call("echo no server", "no server")
        # On a known server without cargo: still nothing.
        folder.write_steam_script(steam_script(game=(ENDPOINT_ADDRESS_A, 27027, 27026)))
        folder.wait_for_log(f"VORN_server={server2}")
        session.send("config job cargo.loaded=bool:0", "drive 10 1")
        # Server and cargo: 2 km and 30.3 s of frames. The detector re-primes
        # the frame clock every cycle, which may cost a 0.1 s step or two.
        session.send("config job cargo.loaded=bool:1", "odometer 2", "drive 30.25 2")
        session.call("echo driven", "driven")

        # Normally one report; a send that falls amid the driving splits it.
        reports = wait_for_reported_seconds(collector, 30, timeout=30)
        self.finish(session)
        self.assertEqual({report["server_id"] for report in reports}, {server2})
        self.assertEqual(sum(report["seconds_delta"] for report in reports), 30, reports)
        self.assertAlmostEqual(sum(report["miles_delta"] for report in reports),
                               2 * 0.621371192237334, places=5)


if __name__ == "__main__":
    unittest.main()
