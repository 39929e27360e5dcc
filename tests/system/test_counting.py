"""The telemetry callbacks inside the real library. Whatever the game hands
them (null payloads, attributes of every type, null names and texts, channel
values of the wrong type, odd clocks), the plug-in neither crashes nor stops
working: init and shutdown stay clean, a second init works, and on a known
server the report still carries the names and the distance of the valid
input only."""

import time
import unittest

from collector import Collector
from harness import (ENDPOINT_ADDRESS_A, GAME_START_LINE, KNOWN_SERVERS, START_LINE,
                     PluginTestCase, ini_with_url)

KM_TO_MILES = 0.621371192237334

# Every value type gamehost can hand over, for attributes and channels alike.
VALUES = ["bool:1", "bool:0", "s32:-7", "u32:4000000000", "u64:18446744073709551615",
          "s64:-9223372036854775807", "float:2.5", "double:-1e300", "string:Volvo FH",
          "string:", "nullstring:", r"string:tab\there \xC3\xA9 \x01"]

HOSTILE_CONFIGURATIONS = [
    "config @null",
    "config @null-id name=string:Ghost",
    "config truck @null-attributes",
    "config trailer @null-attributes",
    "config trailer.0 @null-attributes",
    "config job @null-attributes",
    # A null name ends the list: the entries after it must not be read.
    "config truck @null=string:x; name=string:Behind The End",
    "config truck name=nullstring:",
    "config truck name=s32:5; name=nullstring:; name=double:1",
    "config trailer name=bool:1",
    "config trailer.0 name=string:",
    "config trailer.1 name=string:Second Trailer",
    "config job cargo.loaded=string:true",
    "config job cargo.loaded=nullstring:",
    "config job cargo.loaded=float:1",
    "config job cargo.loaded=u64:1; cargo.loaded=bool:255",
    "config job",
    "config Truck name=string:Wrong Case",
    "config controls shifter.type=string:arcade",
    "config substances id=string:dirt; @null=nullstring:",
    "config truck " + "; ".join(f"attr{i}={value}" for i, value in enumerate(VALUES)),
    "config truck name=string:" + "N" * 4000,
] + [f"config job cargo.loaded={value}" for value in VALUES]

HOSTILE_CHANNELS = [
    "channel truck.odometer @null",
    "channel truck.speed @null",
] + [f"channel truck.odometer {value.replace(':', ' ', 1)}" for value in VALUES
     if not value.startswith("float")] + [
    f"channel truck.speed {value.replace(':', ' ', 1)}" for value in VALUES] + [
    # Floats the odometer can take without any step between them counting.
    "odometer nan", "odometer inf", "odometer -inf", "odometer 1e30", "odometer -1e30",
    "odometer 0", "odometer 1000", "odometer 0",
]

HOSTILE_FRAMES = [
    "frame @null",
    "frame 0",
    "frame 0",
    "frame 5000000",
    "frame 1000000",
    "frame 18446744073709551615",
    "frame 18446744073709551615 restart",
    "frame 0 restart",
    "advance 0.5",
    "advance 0.5 restart",
    "advance 2.0",
    "advance 2.000001",
]

HOSTILE = HOSTILE_FRAMES + HOSTILE_CONFIGURATIONS + HOSTILE_CHANNELS + HOSTILE_FRAMES


class HostileInput(PluginTestCase):
    def test_hostile_telemetry_leaves_init_and_shutdown_clean(self):
        folder = self.folder()
        scenario = (["init"] + HOSTILE + ["drive 3 0.2", "shutdown",
                     "init"] + HOSTILE + ["shutdown"])
        run = folder.run("\n".join(scenario) + "\n")
        self.assertCleanRun(run)
        self.assertEqual(run.init_results, [0, 0], run.output)
        self.assertEqual([text for _, text in run.gamelog], [GAME_START_LINE] * 2, run.output)
        self.assertEqual(folder.log_messages().count(START_LINE), 2)


# The player's own game session is on server 2's endpoint.
STEAM_ON_SERVER_2 = ("steam_id 76561198000000001\ngame_played 1\ngame_id 270880\n"
                     f"address {ENDPOINT_ADDRESS_A}\ngame_port 27027\nquery_port 27026\n")


class CountingAfterHostileInput(PluginTestCase):
    def test_report_carries_only_the_valid_names_and_distance(self):
        server2 = KNOWN_SERVERS[1]
        folder = self.folder(steam="full", steam_script=STEAM_ON_SERVER_2)
        collector = Collector()
        self.addCleanup(collector.stop)
        folder.write_ini(ini_with_url(collector.url()))
        session = folder.start()
        self.assertEqual(session.init(), 0)
        folder.wait_for_log(f"VORN_server={server2}")

        session.send("config job cargo.loaded=bool:1", *HOSTILE)
        session.send(
            "config truck brand=string:Scania; name=s32:1; name=string:R 730 \\xC3\\xA9",
            "config trailer.0 name=nullstring:; name=string:Reefer",
            "config trailer.1 name=string:Second Trailer",
            "config job cargo.loaded=s32:0; cargo.loaded=bool:1",
            # 0 -> 500 is a jump; then 0.75 km twice, between values of other types.
            "odometer 500",
            "channel truck.odometer double 600",
            "channel truck.odometer @null",
            "odometer 500.75",
            "channel truck.odometer s32 7",
            "channel truck.odometer string 501",
            "odometer 501.5",
            "config controls shifter.type=string:arcade")
        session.call("echo delivered", "delivered")

        deadline = time.monotonic() + 40
        reports = []
        while (sum(r["miles_delta"] for r in reports) < 1.5 * KM_TO_MILES - 1e-5
               and time.monotonic() < deadline):
            time.sleep(0.1)
            reports = [request.json() for request in collector.requests()]
        session.shutdown()
        run = session.close()
        self.assertCleanRun(run)
        self.assertEqual({report["server_id"] for report in reports}, {server2})
        self.assertAlmostEqual(sum(report["miles_delta"] for report in reports),
                               1.5 * KM_TO_MILES, places=5)
        self.assertEqual(reports[-1]["truck"], "R 730 \u00e9")
        self.assertEqual(reports[-1]["trailer"], "Reefer")


if __name__ == "__main__":
    unittest.main()
