"""The API key goes into the X-VORN-Key header of each request and nowhere
else: not into the request line, another header or the body, not into the
plug-in's log or the game's log, and into no file beside the plug-in but the
settings file it came from. The logs of every system test are also scanned for
the keys of their settings files when their folder is cleaned up (harness.py,
GameFolder.cleanup); the first test here makes sure that scan bites.
"""
# ctest: timeout=300

import secrets

from collector import Collector
from harness import INI_FILE, LOG_FILE, GameFolder, PluginTestCase
from roads import REPORT_WAIT, Road

KEY = "sekret-" + secrets.token_hex(12)


def settings(key=KEY, url="http://127.0.0.1:1/api/v1/telemetry", player="Night Owl"):
    return f"PlayerName={player}\nApiKey={key}\nCollectorURL={url}\nSendIntervalSeconds=10\n"


class KeyScan(PluginTestCase):
    def test_a_key_in_either_log_fails_the_cleanup(self):
        for where in ("plug-in log", "game log"):
            with self.subTest(where):
                folder = GameFolder(ini=settings())
                if where == "plug-in log":
                    (folder.path / LOG_FILE).write_text(f"12:00:00  key {KEY}\n")
                else:
                    folder.add_game_output([f"gamelog 0 key={KEY}"])
                with self.assertRaisesRegex(AssertionError, "API key .* is in the " + where):
                    folder.cleanup()
                self.assertFalse(folder.path.exists(), "the folder was not removed")


class KeyOnTheWire(PluginTestCase):
    def test_once_per_request_in_its_header_whether_accepted_or_refused(self):
        collector = Collector(answers=[401], key=None, raw=True)
        self.addCleanup(collector.stop)
        road = Road(collector.url())
        self.addCleanup(road.close)
        road.folder.write_ini(settings(url=collector.url()))
        road.start()
        road.reach_server()
        road.drive(60, 5)
        collector.wait_for_requests(1, REPORT_WAIT)
        road.drive(5)
        requests = collector.wait_for_requests(2, REPORT_WAIT)[:2]
        road.shutdown()
        files = {p.name: p.read_bytes() for p in road.folder.path.iterdir() if p.is_file()}
        road.finish()

        self.assertEqual([r.answer for r in requests], [401, 200])
        self.assertEqual(requests[1].json()["seconds_delta"], 65, "the refused report pended")
        for request in requests:
            head, _, body = request.raw.partition(b"\r\n\r\n")
            # The key, and even a telling piece of it, appears once: in its header.
            for piece in (KEY, KEY[:10], KEY[-10:]):
                self.assertEqual(request.raw.count(piece.encode()), 1, piece)
            self.assertIn(f"\r\nX-VORN-Key: {KEY}\r\n".encode(), head + b"\r\n")
            self.assertNotIn(KEY.encode(), body)
        # The plug-in's log is the only file it writes beside itself.
        leaking = [name for name, data in files.items() if KEY.encode() in data]
        self.assertEqual(leaking, [INI_FILE])
        self.assertIn(LOG_FILE, files)


class KeyOffTheLogs(PluginTestCase):
    def test_neither_log_holds_the_key_when_init_refuses_or_the_collector_is_away(self):
        cases = [
            # (what, settings, scenario, init results)
            ("player placeholder", settings(player="CHANGE_ME"), "init\nshutdown\n", [-7]),
            ("player empty", settings(player=""), "init\nshutdown\n", [-7]),
            ("unsupported version", settings(), "version 0x00010002\ninit\nshutdown\n", [-1]),
            ("running, unreachable collector", settings(), "init\nsleep 500\nshutdown\n", [0]),
        ]
        for what, ini, scenario, results in cases:
            with self.subTest(what):
                folder = self.folder(ini=ini)
                run = folder.run(scenario)
                self.assertCleanRun(run)
                self.assertEqual(run.init_results, results)
                self.assertKeyNotLogged(folder, KEY)
                self.assertNotIn(KEY, run.output)
                written = [p.name for p in folder.path.iterdir()
                           if p.is_file() and p.name != INI_FILE and KEY.encode() in p.read_bytes()]
                self.assertEqual(written, [])
