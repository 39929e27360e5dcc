"""The real library's three threads at full rate for a bounded time: gamehost
calls the frame and odometer callbacks in a tight loop while the detector
keeps cycling (its Steam answer switching between two known servers every
second) and the sender posts to a collector that accepts at once. Under the
tsan platform any race in the shared record fails the run. Afterwards:
shutdown right out of the hammering ends within its bounds, nothing was lost
(a second init in the same process reports what was still pending, and the
accepted totals match what was driven), and the threads really overlapped.
"""
# ctest: timeout=300

import math
import sys
import time
import unittest

from collector import Collector
from harness import KNOWN_SERVERS, PluginTestCase
from test_soak import DETECTOR, DETECTOR_PERIOD, Counting, Road, accepted, settle, steam_script

HAMMER_SECONDS = 25
# One chunk: back to 1000 km (a step that is dropped), then 2000 frames of
# 0.25 s with an odometer sample after each. Every chunk counts the same.
CHUNK = ["odometer 1000", "drive 500 50 0.25"]
CHUNK_SECONDS = 500
CHUNK_STEPS = 2000
CHUNKS_PER_SYNC = 10
# Shutdown joins the detector (at most one 100 ms step and its cycle) and the
# sender (at most one 1 s step, or the post under way to a collector that
# answers at once).
SHUTDOWN_LIMIT_MS = 1500
PLACES = ("server 2 by endpoint", "server 5 by endpoint")


def chunk_miles():
    """The miles of one chunk, by the counting rules, from a primed odometer at 1000 km."""
    counting = Counting()
    counting.known_server = counting.cargo = True
    counting.set_odometer(1000)
    for _ in range(2):
        before = counting.miles
        counting.set_odometer(1000)
        counting.drive(CHUNK_SECONDS, 50, 0.25)
        miles = counting.miles - before
    return miles


def statuses(road):
    return [m for m in road.folder.log_messages_lenient() if m.startswith(DETECTOR)]


def hammer(collector):
    road = Road(collector)
    try:
        road.start()
        road.go(PLACES[0])
        road.session.send("config job cargo.loaded=bool:1", "odometer 1000", "advance 0")
        road.session.call("echo primed", "primed")
        requests_before = len(collector.requests())
        statuses_before = len(statuses(road))

        chunks = syncs = 0
        swapped_at = began = time.monotonic()
        while time.monotonic() - began < HAMMER_SECONDS:
            road.session.send(*(CHUNK * CHUNKS_PER_SYNC))
            chunks += CHUNKS_PER_SYNC
            syncs += 1
            road.session.call(f"echo hammer-{syncs}", f"hammer-{syncs}", timeout=120)
            if time.monotonic() - swapped_at >= 1.0:
                road.phase += 1
                road.folder.write_steam_script(steam_script(PLACES[road.phase % 2], road.phase))
                swapped_at = time.monotonic()
        hammered = time.monotonic() - began
        requests_during = len(collector.requests()) - requests_before
        statuses_during = len(statuses(road)) - statuses_before

        shutdown_under_load = road.session.shutdown(timeout=60)
        # What was still pending is reported after the next init.
        if road.session.init() != 0:
            raise AssertionError("second init refused")
        requests = settle(collector)
        final_shutdown, run = road.finish()
        return {"chunks": chunks, "hammered": hammered, "requests": requests,
                "requests_during": requests_during, "statuses_during": statuses_during,
                "shutdown_under_load": shutdown_under_load, "final_shutdown": final_shutdown,
                "run": run}
    finally:
        road.close()


_result = None


def setUpModule():
    global _result
    with Collector() as collector:
        _result = hammer(collector)
    reports = [r.json() for r in _result["requests"] if accepted(r)]
    print(f"\nstress: {_result['chunks'] * CHUNK_STEPS} frames and odometer samples in "
          f"{_result['hammered']:.1f} s, {_result['statuses_during']} status lines and "
          f"{_result['requests_during']} reports meanwhile; accepted "
          f"{sum(r['seconds_delta'] for r in reports)} s of {_result['chunks'] * CHUNK_SECONDS}; "
          f"shutdown {_result['shutdown_under_load']} ms under load, "
          f"{_result['final_shutdown']} ms at the end", file=sys.stderr)


class ThreeThreadsAtFullRate(PluginTestCase):
    def setUp(self):
        self.accepted = [r.json() for r in _result["requests"] if accepted(r)]

    def test_clean_run_and_shutdown_within_bounds(self):
        self.assertCleanRun(_result["run"])
        self.assertLess(_result["shutdown_under_load"], SHUTDOWN_LIMIT_MS)
        self.assertLess(_result["final_shutdown"], SHUTDOWN_LIMIT_MS)

    def test_all_three_threads_ran_side_by_side(self):
        self.assertGreater(_result["chunks"], 0)
        # A report about every 10 s and a new status line about every second.
        self.assertGreaterEqual(_result["requests_during"], HAMMER_SECONDS // 12)
        self.assertGreaterEqual(_result["statuses_during"], HAMMER_SECONDS // 4)

    def test_accepted_distance_is_all_that_was_driven(self):
        driven = _result["chunks"] * chunk_miles()
        steps = _result["chunks"] * CHUNK_STEPS
        # Six decimals per report, and the running sum's rounding per step.
        tolerance = len(self.accepted) * 5e-7 + steps * math.ulp(driven) * 2
        self.assertAlmostEqual(sum(r["miles_delta"] for r in self.accepted), driven,
                               delta=tolerance)

    def test_accepted_time_is_all_that_was_driven_but_for_re_primes(self):
        driven = _result["chunks"] * CHUNK_SECONDS
        # Each detector cycle during the hammering can take one 0.25 s step.
        cycles = math.floor(_result["hammered"] / DETECTOR_PERIOD) + 1
        seconds = sum(r["seconds_delta"] for r in self.accepted)
        self.assertLessEqual(seconds, driven)
        self.assertGreaterEqual(seconds, math.floor(driven - cycles * 0.25))

    def test_reports_name_only_the_two_servers_of_the_run(self):
        self.assertEqual({r["server_id"] for r in self.accepted} - {KNOWN_SERVERS[1],
                                                                    KNOWN_SERVERS[4]}, set())


if __name__ == "__main__":
    unittest.main()
