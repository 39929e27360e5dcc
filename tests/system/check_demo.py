"""The demo's own reckoning and its verdict: a demo that passes with totals
that disagree, or fails with totals that agree, would show nothing."""

import importlib.util
import pathlib
import unittest

DEMO_PATH = pathlib.Path(__file__).resolve().parents[2] / "tools" / "demo" / "demo.py"
_spec = importlib.util.spec_from_file_location("demo", DEMO_PATH)
demo = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(demo)

MILES = demo.KM_TO_MILES


def reckon(events):
    """Plays (what, *arguments) events on a fresh Reckoning; times are wall seconds."""
    reckoning = demo.Reckoning()
    for what, *arguments in events:
        if what == "server":
            reckoning.set_server(arguments[0], arguments[1] if len(arguments) > 1 else 0.0)
        elif what == "cargo":
            reckoning.set_cargo(arguments[0], arguments[1] if len(arguments) > 1 else 0.0)
        elif what == "frame":
            reckoning.frame(arguments[0], len(arguments) > 1 and arguments[1] == "restart")
        elif what == "odometer":
            reckoning.odometer(arguments[0])
    return reckoning


OPEN = [("server", True), ("cargo", True)]


class ReckoningFollowsThePluginsRules(unittest.TestCase):
    def test_driving_time(self):
        cases = [
            ("the first frame only primes", OPEN + [("frame", 0), ("frame", 100_000)], 100_000),
            ("a timer restart re-primes", OPEN + [("frame", 0), ("frame", 100_000),
                                                  ("frame", 0, "restart"), ("frame", 100_000)],
             200_000),
            ("a paused clock adds nothing", OPEN + [("frame", 0), ("frame", 100_000),
                                                    ("frame", 100_000), ("frame", 200_000)],
             200_000),
            ("2 s counts, 2.5 s is dropped", OPEN + [("frame", 0), ("frame", 2_000_000),
                                                     ("frame", 4_500_000)], 2_000_000),
            ("frames move the clock while the gate is closed",
             [("server", True), ("frame", 0), ("frame", 100_000), ("cargo", True),
              ("frame", 200_000)], 100_000),
            ("nothing counts off a known server",
             [("cargo", True), ("frame", 0), ("frame", 100_000)], 0),
        ]
        for name, events, counted_us in cases:
            with self.subTest(name):
                self.assertEqual(reckon(events).counted_us, counted_us)

    def test_distance(self):
        cases = [
            ("the first sample primes, steps add",
             OPEN + [("odometer", 100.0), ("odometer", 100.5), ("odometer", 101.0)], 1.0),
            ("a jump above 25 km and a step back are dropped, the baseline moves",
             OPEN + [("odometer", 100.0), ("odometer", 130.0), ("odometer", 131.0),
                     ("odometer", 130.5), ("odometer", 131.5)], 2.0),
            ("a cargo change re-primes",
             OPEN + [("odometer", 100.0), ("odometer", 101.0), ("cargo", False),
                     ("odometer", 105.0), ("cargo", True), ("odometer", 106.0),
                     ("odometer", 107.0)], 2.0),
            ("leaving the server stops counting",
             OPEN + [("odometer", 100.0), ("odometer", 101.0), ("server", False),
                     ("odometer", 102.0)], 1.0),
        ]
        for name, events, km in cases:
            with self.subTest(name):
                self.assertAlmostEqual(reckon(events).counted_miles, km * MILES, places=12)

    def test_wall_time_with_the_gate_open_sums_each_open_stretch(self):
        reckoning = reckon([("server", True, 0.0), ("cargo", True, 10.0), ("cargo", False, 30.0),
                            ("cargo", True, 40.0), ("server", False, 45.0)])
        self.assertEqual(reckoning.gate_wall_seconds(100.0), 25.0)
        reckoning.set_server(True, 50.0)
        self.assertEqual(reckoning.gate_wall_seconds(52.0), 27.0)


class VerdictAllowsOnlyRoundingAndReprimedFrames(unittest.TestCase):
    def test_table(self):
        # 46 s with the gate open: at most 25 detector cycles, 2.5 s of frame steps.
        cases = [
            ("equal", 1.234567, 3, 1.234567, 119, True),
            ("within the rounding of three reports", 1.234567, 3, 1.2345685, 119, True),
            ("beyond the rounding of three reports", 1.234567, 3, 1.2345690, 119, False),
            ("a report counted twice", 1.234567, 3, 1.6, 150, False),
            ("a report lost", 1.234567, 2, 0.9, 90, False),
            ("seconds at the lower bound", 1.234567, 3, 1.234567, 117, True),
            ("seconds below the bound", 1.234567, 3, 1.234567, 116, False),
            ("more seconds than were driven", 1.234567, 3, 1.234567, 120, False),
            ("nothing accepted", 0.0, 0, 0.0, 0, False),
        ]
        for name, counted_miles, reports, miles, seconds, agree in cases:
            with self.subTest(name):
                verdict = demo.judge(119_900_000, counted_miles, reports, miles, seconds, 46.0)
                self.assertEqual(verdict.agree, agree)


if __name__ == "__main__":
    unittest.main(verbosity=2)
