"""Roads: game sessions on a known server, driven step by step, for the system
tests that wait for reports.

The sender reports at most every 10 seconds, so a module that checks reports
runs each scenario as a road of its own (a function that drives one session
against its own collector and returns what it saw). RoadPool starts all of a
module's roads together when the module starts and runs them side by side;
each test waits for the result of its own road.

    ROADS = {"typical": typical_road, ...}
    _roads = RoadPool(ROADS)

    def setUpModule():
        _roads.start()

    def tearDownModule():
        _roads.stop()
"""

import concurrent.futures
import struct
import time
import unittest

from harness import ENDPOINT_ADDRESS_A, KNOWN_SERVERS, GameFolder, ini_with_url

SERVER = KNOWN_SERVERS[1]
SELF = 76561198000000001
# The second known server, found by its endpoint.
ON_SERVER = (f"steam_id {SELF}\ngame_played 1\ngame_id 270880\naddress {ENDPOINT_ADDRESS_A}\n"
             "game_port 27027\nquery_port 27026\nlobby 109775241000000000\n")
OFF_SERVER = f"steam_id {SELF}\n"
KM_TO_MILES = 0.621371192237334
# A report goes out 10 s after init; the first one of a road waits for that
# plus detection, later ones for one more interval and the post.
REPORT_WAIT = 30.0

check = unittest.TestCase()


def float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


class Road:
    """One game session on the second known server with a loaded trailer."""

    def __init__(self, url, steam_script=ON_SERVER, env=None):
        self.folder = GameFolder(ini=ini_with_url(url), steam="full", steam_script=steam_script)
        self.env = env  # added to gamehost's environment
        self.session = None
        self.odometer = 0.0
        self.syncs = 0

    def start(self):
        if self.session is None:
            self.session = self.folder.start(extra_env=self.env)
        result = self.session.init()
        check.assertEqual(result, 0, "init refused")
        self.started = time.monotonic()

    def reach_server(self):
        """Waits for the detector to publish the server, then loads the cargo."""
        self.folder.wait_for_log(f"detect_source=ENDPOINT VORN_server={SERVER}")
        self.session.send("config job cargo.loaded=bool:1", f"odometer {self.odometer}")
        self.sync()

    def drive(self, seconds, km=0.0):
        """Adds exactly `seconds` and the miles of `km`; returns those miles.
        The detector is parked in fakesteam meanwhile: a cycle that finds the
        server re-primes the frame clock, which would drop one step. The frame
        clock is primed first, since an earlier cycle may have reset it."""
        start = float32(self.odometer)
        self.odometer = float32(start + km)
        self.session.call("steam-hold", "steam-hold ok", timeout=20)
        self.session.send("advance 0", f"drive {seconds} {km} 1", "steam-release")
        self.sync()
        return (self.odometer - start) * KM_TO_MILES

    def sync(self):
        self.syncs += 1
        token = f"road-sync-{self.syncs}"
        self.session.call(f"echo {token}", token)

    def sleep_until(self, seconds_after_init):
        time.sleep(max(0.0, self.started + seconds_after_init - time.monotonic()))

    def shutdown(self):
        return self.session.shutdown(timeout=60)

    def restart(self, url):
        """Shutdown, a new settings file, init again: the session state carries over."""
        took = self.shutdown()
        self.folder.write_ini(ini_with_url(url))
        self.start()
        return took

    def finish(self):
        """Shuts down and ends gamehost; returns the Run."""
        try:
            if self.session is not None:
                self.session.shutdown(timeout=60)
                run = self.session.close()
                self._close_pipes()
                check.assertEqual(run.returncode, 0, run.output + run.stderr)
                check.assertNotIn("Sanitizer", run.stderr)
                check.assertNotIn("runtime error", run.stderr)
                return run
        finally:
            self.close()

    def close(self):
        if self.session is not None:
            try:
                self.session.close(timeout=60)
            except AssertionError:
                pass
            self._close_pipes()
        self.folder.cleanup()

    def _close_pipes(self):
        for pipe in (self.session.process.stdout, self.session.process.stderr):
            pipe.close()
        self.session = None


class RoadPool:
    """A module's roads (name: function), all running side by side."""

    def __init__(self, roads):
        self._roads = roads
        self._pool = None
        self._futures = {}

    def start(self):
        self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=len(self._roads))
        for name, road in self._roads.items():
            self._futures[name] = self._pool.submit(road)
            time.sleep(0.3)  # spread the process starts (Wine's are heavy)

    def stop(self):
        if self._pool is not None:
            self._pool.shutdown(wait=True)

    def result(self, name):
        """What the road returned; what it raised is raised here."""
        return self._futures[name].result(timeout=300)
