"""What only the real library shows, on each platform: its registrations and
the exact bytes of both logs, the Steam binding through the loader, the
request as it goes on the wire through the platform's HTTP client, how that
client's answers are read, and how long shutdown takes."""
# ctest: platforms=native wine tsan timeout=300

import unittest

from harness import (API_KEY, ENDPOINT_ADDRESS_A, GAME_START_LINE, IS_WINE, LOBBY, SELF, SERVER,
                     START_LINE, GameFolder, Road, PluginTestCase, ini_with_url, report_body)

PATH = "/api/v1/telemetry"
REGISTRATIONS = ["register-event 1 -> 0", "register-event 5 -> 0",
                 "register-channel truck.speed 4294967295 5 0 -> 0",
                 "register-channel truck.odometer 4294967295 5 0 -> 0"]
PROBE_BOUND = "Steam active-session probe: SteamUser + SteamFriends loaded."
STATUS_LINE = (f"Steam auto-server detector v7.3: self={SELF} game_ok=true game_id=270880 "
               f"lobby={LOBBY} ip={(192 << 24) + (2 << 8) + 10} game_port=27027 query_port=27026 "
               f"rp_count=0 [connect=<missing>] detect_source=ENDPOINT VORN_server={SERVER}")
# Headers the plug-in sets and those its HTTP client adds; WinHTTP also
# announces keep-alive.
HEADERS = {"content-type", "x-vorn-key", "user-agent", "host", "content-length"} | (
    {"connection"} if IS_WINE else set())
# Shutdown joins the detector (100 ms steps) and the sender (1 s steps), and
# waits for a post in flight, here one answered after 3 s.
SHUTDOWN_LIMIT_MS = 1600
SHUTDOWN_IN_FLIGHT_LIMIT_MS = 3000 + 4000
assert ENDPOINT_ADDRESS_A == "192.0.2.10"


class Library(PluginTestCase):
    def test_start_registrations_both_logs_and_shutdown(self):
        for unwritable_log in (False, True):
            with self.subTest(unwritable_log=unwritable_log):
                folder = GameFolder(ini_with_url("http://127.0.0.1:1/"))
                self.addCleanup(folder.cleanup)
                if unwritable_log:  # root ignores permission bits; a directory it cannot open
                    (folder.path / "VORN_Davida_Client.log").mkdir()
                session = folder.start()
                self.assertEqual(session.init(), 0)
                took = session.shutdown()  # no Steam: the detector is in its binding wait
                session.close()
                self.assertLess(took, SHUTDOWN_LIMIT_MS)
                self.assertEqual([l for l in session.lines if l.startswith("register-")],
                                 REGISTRATIONS)
                self.assertEqual([l for l in session.lines if l.startswith("gamelog")],
                                 ["gamelog 0 " + GAME_START_LINE])
                self.assertEqual(folder.log_messages(), [] if unwritable_log else [START_LINE])

    def test_reports_on_the_wire_their_answers_and_a_post_in_flight_at_shutdown(self):
        collector = self.collector(answers=[500, "201@3000"])
        road = Road(self, collector.url(PATH + "?x=1#frag"))
        road.start()
        miles = road.drive(60, 5)
        first = collector.wait_for(1)[0]
        self.assertEqual(first.body, report_body(60, miles))
        head = first.raw.partition(b"\r\n\r\n")[0].split(b"\r\n")
        self.assertEqual(head[0], f"POST {PATH} HTTP/1.1".encode())
        self.assertEqual(sorted(k.lower() for k, _ in first.headers), sorted(HEADERS))
        self.assertIn(f"X-VORN-Key: {API_KEY}".encode(), head)
        self.assertEqual(first.header("Host"), [f"127.0.0.1:{collector.port}"])
        self.assertEqual(first.header("Content-Type"), ["application/json"])
        self.assertEqual(first.header("User-Agent"), ["VORN-Davida-Client/1.0"])
        self.assertEqual(first.header("Content-Length"), [str(len(first.body))])

        # Refused, so the next report carries it again; that one is answered
        # slowly while more is driven, and shutdown waits for its answer.
        road.drive(7)
        self.assertEqual(collector.wait_for(2)[1].body, report_body(67, miles))
        in_flight = road.drive(9, 1)
        before = len(collector.requests)
        self.assertLess(road.session.shutdown(), SHUTDOWN_IN_FLIGHT_LIMIT_MS)
        self.assertEqual(len(collector.requests), before, "shutdown posted what was pending")
        self.assertEqual(road.session.init(), 0)
        self.assertEqual(collector.wait_for(3)[2].body, report_body(9, in_flight))
        road.session.shutdown()
        road.session.close()
        messages = road.folder.log_messages()
        # The start line and the detector's first lines come from two threads.
        self.assertCountEqual(messages[:3], [START_LINE, PROBE_BOUND, STATUS_LINE])
        self.assertLess(messages.index(PROBE_BOUND), messages.index(STATUS_LINE))
        self.assertLessEqual(set(messages), {START_LINE, PROBE_BOUND, STATUS_LINE})


if __name__ == "__main__":
    unittest.main()
