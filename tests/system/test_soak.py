"""Nothing lost, nothing doubled: one long game session through the real
library, with every kind of trouble the plug-in has to ride out.

The detector's answer moves between known servers (by endpoint and by
connect text), an unknown server and no server at all; the cargo is loaded
and delivered again and again; the truck pauses, restarts its timer, and its
clock and odometer make implausible jumps; the collector refuses about a
third of the reports (500, 301, 401, a dropped connection) and answers some
slowly while the truck keeps driving. At the end the collector accepts
everything until nothing is pending, and then what it accepted must add up
to what the counting rules give for everything gamehost delivered.

`Counting` is that arithmetic, done a second time from the inputs: gamehost's
clock and float odometer, the frame and odometer baselines, the counting
gate. Only one thing cannot be replayed: a detector cycle on a known server
makes the next frame re-prime the frame clock, which drops that frame's step.
Every batch of frames therefore starts with a zero step (a re-prime there
costs nothing) and is timed: in a batch of W seconds at most W/2 + 1 cycles
can fall, each costing at most one step of that batch.
"""
# ctest: timeout=600

import math
import struct
import sys
import time
import unittest

from collector import Collector
from harness import (ENDPOINT_ADDRESS_A, ENDPOINT_ADDRESS_B, KNOWN_SERVERS, VALID_INI, GameFolder,
                     PluginTestCase)

KM_TO_MILES = 0.621371192237334
SELF = 76561198000000001
LOBBY = 109775241000000000
DETECTOR = "Steam auto-server detector v7.3: "
# The detector waits twenty 100 ms steps after every cycle.
DETECTOR_PERIOD = 2.0
SEND_INTERVAL = 10

# What the collector answers, request by request; 200 for every later one.
# Refused: 500, a dropped connection (after the request was read, so a
# collector that books on receipt would count it twice), 301 and 401.
ANSWERS = [200, 500, "200@2500", "drop@1000", 200, 301, "200@1500", 200, 401, "200@2000",
           "drop", 200]

# Where the player is, as (Steam script parts, what the detector must conclude).
PLACES = {
    "server 2 by endpoint": ((ENDPOINT_ADDRESS_A, 27027, 27026), [("status", "Hauling")],
                             "ENDPOINT", KNOWN_SERVERS[1]),
    "server 5 by endpoint": ((ENDPOINT_ADDRESS_B, 27015, 27016), [], "ENDPOINT", KNOWN_SERVERS[4]),
    "server 3 by connect id": (None, [("connect", f"+connect 203.0.113.9:27015 {KNOWN_SERVERS[2]}")],
                               "CONNECT", KNOWN_SERVERS[2]),
    # An endpoint that matches no row falls back to the connect text's ports.
    "server 1 by connect ports": ((ENDPOINT_ADDRESS_A, 27030, 27031),
                                  [("connect", f"+connect {ENDPOINT_ADDRESS_A}:27021 +query 27022")],
                                  "CONNECT", KNOWN_SERVERS[0]),
    "unknown server": (("203.0.113.50", 27015, 27016),
                       [("connect", "+connect 203.0.113.50:27015 12345678901234567/101")],
                       "NONE", None),
    "no server": (None, [], "NONE", None),
}


def float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def steam_script(place, phase):
    """The fakesteam script for a place; the phase marks the status line it causes."""
    game, presence, _, _ = PLACES[place]
    lines = [f"steam_id {SELF}"]
    if game is not None:
        address, game_port, query_port = game
        lines += ["game_played 1", "game_id 270880", f"address {address}",
                  f"game_port {game_port}", f"query_port {query_port}", f"lobby {LOBBY}"]
    lines += [f"rp phase={phase}"] + [f"rp {key}={value}" for key, value in presence]
    return "\n".join(lines) + "\n"


def ini(url):
    lines = [l for l in VALID_INI.splitlines()
             if not l.startswith(("CollectorURL=", "SendIntervalSeconds="))]
    return "\n".join(lines + [f"CollectorURL={url}", f"SendIntervalSeconds={SEND_INTERVAL}"]) + "\n"


class Counting:
    """gamehost's clock and odometer and the plug-in's counting rules, replayed."""

    def __init__(self):
        self.clock = 0.0          # gamehost: seconds of paused simulation time
        self.odometer = 0.0       # gamehost: float kilometres
        self.frame_valid = False  # plug-in: frame baseline
        self.frame_last = 0
        self.odometer_valid = False
        self.odometer_last = 0.0
        self.known_server = False
        self.cargo = False
        self.seconds = 0.0        # every frame step that counts, exactly (quarter seconds)
        self.lost_bound = 0.0     # what detector re-primes can have taken off that
        self.miles = 0.0
        self.miles_steps = 0
        self.batch_steps = []

    @property
    def gate(self):
        return self.known_server and self.cargo

    # --- frames -------------------------------------------------------------
    def frame(self, microseconds, restart=False):
        if not self.frame_valid or restart:
            self.frame_last, self.frame_valid = microseconds, True
            return
        if microseconds <= self.frame_last:
            self.frame_last = microseconds
            return
        step = (microseconds - self.frame_last) / 1e6
        self.frame_last = microseconds
        if step > 2.0 or not self.gate:
            return
        assert (step * 4).is_integer(), f"step {step} would make the sums inexact"
        self.seconds += step
        self.batch_steps.append(step)

    def advance(self, seconds, restart=False):
        self.clock += seconds
        self.frame(int(self.clock * 1e6 + 0.5), restart)

    def set_clock(self, microseconds, restart=False):
        self.clock = microseconds / 1e6
        self.frame(microseconds, restart)

    # --- odometer -----------------------------------------------------------
    def sample(self, km):
        if not self.gate:
            self.odometer_valid, self.odometer_last = False, km
            return
        if not self.odometer_valid:
            self.odometer_valid, self.odometer_last = True, km
            return
        step = km - self.odometer_last
        self.odometer_last = km
        if 0.0 < step <= 25.0:
            self.miles += step * KM_TO_MILES
            self.miles_steps += 1

    def set_odometer(self, km):
        self.odometer = float32(km)
        self.sample(self.odometer)

    def drive(self, seconds, km, step):
        steps = int(seconds / step + 0.5)
        start = self.odometer
        for i in range(1, steps + 1):
            self.clock += step
            self.frame(int(self.clock * 1e6 + 0.5))
            self.odometer = float32(start + km * i / steps)
            self.sample(self.odometer)

    def set_cargo(self, loaded):
        if loaded != self.cargo:
            self.odometer_valid = False
        self.cargo = loaded

    def end_batch(self, wall_seconds):
        """Bounds what the detector can have dropped from this batch's steps."""
        if self.known_server:
            cycles = math.floor(wall_seconds / DETECTOR_PERIOD) + 1
            self.lost_bound += sum(sorted(self.batch_steps, reverse=True)[:cycles])
        self.batch_steps = []


class Road:
    """One gamehost session: every command goes to the plug-in and to `Counting`."""

    def __init__(self, collector):
        self.folder = GameFolder(ini=ini(collector.url()), steam="full",
                                 steam_script=steam_script("no server", 0))
        self.counting = Counting()
        self.session = None
        self.phase = 0
        self.place = "no server"
        self.commands = []
        self.syncs = 0
        self.trucks = {"Unknown"}
        self.trailers = {"None"}

    def start(self):
        self.session = self.folder.start()
        if self.session.init() != 0:
            raise AssertionError("init refused")
        self.wait_for_status()

    # --- where the player is ------------------------------------------------
    def go(self, place):
        """Moves the player and waits until the detector has published the place."""
        self.phase += 1
        self.place = place
        self.folder.write_steam_script(steam_script(place, self.phase))
        self.wait_for_status()
        self.counting.known_server = PLACES[place][3] is not None

    def wait_for_status(self, timeout=30.0):
        _, _, source, server = PLACES[self.place]
        marker = f"[phase={self.phase}]"
        ending = f" detect_source={source} VORN_server={server or 'NONE'}"
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for message in self.folder.log_messages_lenient():
                if message.startswith(DETECTOR) and marker in message and message.endswith(ending):
                    return
            time.sleep(0.05)
        raise AssertionError(f"the detector never reported {self.place} ({marker}...{ending}); "
                             f"log: {self.folder.log_messages_lenient()[-3:]}")

    # --- what the game delivers (queued until run) ----------------------------
    def advance(self, seconds, restart=False):
        self.commands.append(f"advance {seconds}" + (" restart" if restart else ""))
        self.counting.advance(seconds, restart)

    def frame(self, microseconds, restart=False):
        self.commands.append(f"frame {microseconds}" + (" restart" if restart else ""))
        self.counting.set_clock(microseconds, restart)

    def odometer(self, km):
        # A float's shortest text reads back as that float, so gamehost's
        # parse and the replay agree to the bit.
        km = float32(km)
        self.commands.append(f"odometer {km!r}")
        self.counting.set_odometer(km)

    def drive(self, seconds, km, step=1.0, realtime=False):
        self.commands.append(f"drive {seconds} {km} {step}" + (" realtime" if realtime else ""))
        self.counting.drive(seconds, km, step)

    def cargo(self, loaded):
        """True or False by the attribute; None for a job without attributes (delivered)."""
        self.commands.append("config job" if loaded is None else
                             f"config job cargo.loaded=bool:{int(loaded)}")
        self.counting.set_cargo(bool(loaded))

    def truck(self, name):
        self.commands.append(f"config truck name=string:{name}")
        self.trucks.add(name)

    def trailer(self, name):
        self.commands.append(f"config trailer name=string:{name}")
        self.trailers.add(name)

    def run(self):
        """Delivers the queued commands, led by a zero frame step, and times them."""
        self.counting.advance(0)
        commands, self.commands = ["advance 0"] + self.commands, []
        self.syncs += 1
        token = f"soak-sync-{self.syncs}"
        began = time.monotonic()
        self.session.send(*commands)
        self.session.call(f"echo {token}", token, timeout=60)
        self.counting.end_batch(time.monotonic() - began)

    def finish(self):
        took = self.session.shutdown(timeout=60)
        run = self.session.close()
        self.session = None
        return took, run

    def close(self):
        if self.session is not None:
            try:
                self.session.close(timeout=60)
            except AssertionError:
                pass
        self.folder.cleanup()


def answer_given(scripted):
    """What the collector records as its answer for an entry of ANSWERS."""
    action = str(scripted).split("@")[0]
    return action if action == "drop" else int(action)


def accepted(request):
    return isinstance(request.answer, int) and 200 <= request.answer <= 299


# --- the legs of one lap ---------------------------------------------------------

def load_and_drive(road):
    road.go("server 2 by endpoint")
    road.truck("Scania R 2016")
    road.trailer("Flatbed 40ft")
    road.cargo(True)
    road.odometer(road.counting.odometer)  # primes the odometer
    road.drive(60, 5)
    road.run()


def drive_across_detector_cycles(road):
    road.drive(3, 0.6, 0.25, realtime=True)
    road.run()


def pause_restart_and_jump(road):
    for _ in range(5):  # paused: the clock stands, the odometer too
        road.advance(0)
        road.odometer(road.counting.odometer)
    road.advance(1.5, restart=True)     # timer restart: only re-primes
    road.drive(10, 1, 0.5)
    road.frame(0, restart=True)          # the game restarted its clock from zero
    road.drive(8, 0.5, 0.5)
    road.frame(1000000)                  # the clock went back: only moves the baseline
    road.advance(2.5)                    # a frame step above 2 s is dropped
    road.advance(2)                      # exactly 2 s counts
    road.odometer(road.counting.odometer + 30)  # a 30 km jump is dropped
    road.drive(5, 0.4, 0.5)
    road.odometer(road.counting.odometer - 1)   # the odometer went back
    road.drive(4, 0.3)
    road.run()


def change_server_while_driving_on(road):
    road.go("server 5 by endpoint")
    road.truck("Volvo FH16")
    road.drive(20, 2, 0.5)
    road.run()


def drive_while_a_slow_answer_is_awaited(road, collector, in_flight):
    """Waits for the next request that is answered slowly and drives at once."""
    seen = len(collector.requests())
    slow = [n for n, answer in enumerate(ANSWERS, 1) if "@" in str(answer) and n > seen]
    if not slow:
        return
    deadline = time.monotonic() + (slow[0] - seen) * 15 + 15
    while len(collector.requests()) < slow[0]:
        if time.monotonic() > deadline:
            raise AssertionError(f"request {slow[0]} never came: {collector.requests()}")
        # Keeps distance pending, so that the sender keeps reporting; no
        # frames, so no frame step for a re-prime to take.
        road.odometer(road.counting.odometer + 0.05)
        road.run()
        time.sleep(0.05)
    seen_at = time.monotonic()
    arrived = collector.requests()
    road.drive(9, 1)
    road.run()
    delay = arrived[-1].record["delay_ms"] / 1000
    if len(arrived) == slow[0] and time.monotonic() - seen_at + 0.1 < delay:
        in_flight.append(slow[0])


def deliver_and_load_again(road):
    road.cargo(None)        # delivered: a job without attributes
    road.drive(10, 1)       # not counted
    road.cargo(True)        # the next sample only primes
    road.drive(12, 1.5)
    road.run()


def unknown_then_no_server(road):
    road.go("unknown server")
    road.drive(15, 2)
    road.run()
    road.go("no server")
    road.drive(10, 1)
    road.run()


def back_by_connect(road):
    road.go("server 3 by connect id")
    road.trailer("Reefer 3000")
    road.drive(30, 3, 0.5)
    road.run()
    road.go("server 1 by connect ports")
    road.drive(4, 1, 0.5, realtime=True)
    road.run()
    road.cargo(False)       # unloaded by the attribute
    road.drive(5, 0.5)
    road.cargo(True)
    road.drive(8, 0.8, 0.25)
    road.run()


def soak():
    collector = Collector(answers=ANSWERS)
    road = Road(collector)
    in_flight = []
    began = time.monotonic()
    try:
        road.start()
        laps = 0
        while len(collector.requests()) < len(ANSWERS):
            if time.monotonic() - began > 400:
                raise AssertionError(f"only {len(collector.requests())} reports in 400 s")
            laps += 1
            load_and_drive(road)
            drive_across_detector_cycles(road)
            pause_restart_and_jump(road)
            change_server_while_driving_on(road)
            drive_while_a_slow_answer_is_awaited(road, collector, in_flight)
            deliver_and_load_again(road)
            unknown_then_no_server(road)
            back_by_connect(road)
        road.go("server 2 by endpoint")
        road.drive(6, 0.5)
        road.run()
        requests = settle(collector)
        took, run = road.finish()
        return {"requests": requests, "counting": road.counting, "run": run, "shutdown_ms": took,
                "laps": laps, "in_flight": in_flight, "trucks": road.trucks,
                "trailers": road.trailers, "seconds": time.monotonic() - began}
    finally:
        road.close()
        collector.stop()


def settle(collector, timeout=120.0):
    """Waits until the last report was accepted and a whole interval went by
    without another: then nothing is pending."""
    deadline = time.monotonic() + timeout
    count, changed = -1, time.monotonic()
    while time.monotonic() < deadline:
        requests = collector.requests()
        if len(requests) != count:
            count, changed = len(requests), time.monotonic()
        if requests and accepted(requests[-1]):
            quiet = SEND_INTERVAL + requests[-1].record["delay_ms"] / 1000 + 4
            if time.monotonic() - changed > quiet:
                return requests
        time.sleep(0.1)
    raise AssertionError(f"the collector never went quiet: {collector.requests()[-3:]}")


_result = None


def setUpModule():
    global _result
    _result = soak()
    requests, counting = _result["requests"], _result["counting"]
    drops = [r for r in requests if r.answer == "drop"]
    print(f"\nsoak: {_result['seconds']:.0f} s, {_result['laps']} laps, {len(requests)} reports "
          f"({sum(map(accepted, requests))} accepted, {len(drops)} dropped after reading: "
          f"{sum(r.json()['miles_delta'] for r in drops):.6f} miles and "
          f"{sum(r.json()['seconds_delta'] for r in drops)} s booked twice by a collector that "
          f"counts on receipt); counted {counting.miles:.6f} miles in {counting.miles_steps} "
          f"steps, {counting.seconds} s of which at most {counting.lost_bound} s re-primed "
          f"({math.floor(counting.seconds) - sum(r.json()['seconds_delta'] for r in requests if accepted(r))} s were)",
          file=sys.stderr)


class NothingLostNothingDoubled(PluginTestCase):
    def setUp(self):
        self.requests = _result["requests"]
        self.counting = _result["counting"]
        self.accepted = [r.json() for r in self.requests if accepted(r)]

    def test_the_run_met_every_kind_of_trouble(self):
        self.assertCleanRun(_result["run"])
        self.assertGreaterEqual(len(self.requests), len(ANSWERS))
        self.assertEqual([r.answer for r in self.requests[:len(ANSWERS)]],
                         [answer_given(a) for a in ANSWERS])
        self.assertTrue(_result["in_flight"], "no drive while an answer was awaited")

    def test_accepted_miles_add_up_to_the_distance_counted(self):
        # Six decimals per report; the running sums round far below that.
        tolerance = len(self.accepted) * 5e-7 + self.counting.miles_steps * 1e-12
        self.assertAlmostEqual(sum(r["miles_delta"] for r in self.accepted), self.counting.miles,
                               delta=tolerance)

    def test_accepted_seconds_add_up_but_for_re_primes(self):
        seconds = sum(r["seconds_delta"] for r in self.accepted)
        most = math.floor(self.counting.seconds)
        least = math.floor(self.counting.seconds - self.counting.lost_bound)
        self.assertGreaterEqual(seconds, least)
        self.assertLessEqual(seconds, most)

    def test_every_report_names_a_known_server_and_a_configured_vehicle(self):
        for request in self.requests:
            body = request.json()
            with self.subTest(seq=request.record["seq"]):
                self.assertIn(body["server_id"], KNOWN_SERVERS)
                self.assertIn(body["truck"], _result["trucks"])
                self.assertIn(body["trailer"], _result["trailers"])
                self.assertEqual(body["player_name"], "Night Owl")

    def test_a_refused_report_comes_back_whole_in_the_next(self):
        for refused, after in zip(self.requests, self.requests[1:]):
            if accepted(refused):
                continue
            with self.subTest(seq=refused.record["seq"], answer=refused.answer):
                self.assertGreaterEqual(after.json()["seconds_delta"],
                                        refused.json()["seconds_delta"])
                self.assertGreaterEqual(after.json()["miles_delta"],
                                        refused.json()["miles_delta"] - 1e-6)


if __name__ == "__main__":
    unittest.main()
