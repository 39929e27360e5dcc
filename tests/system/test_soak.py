"""Nothing lost, nothing doubled: one game session through the real library
while the collector refuses, drops and answers slowly. The detector is parked
during every drive, so exactly what is driven must be counted; the collector
then has to accept exactly that, however often it refused."""
# ctest: platforms=native timeout=600

import json
import unittest

from harness import PluginTestCase, Road

# Refused: 500, 301, 401 and dropped connections (one after the request was
# read, so a collector that booked on receipt would count it twice). Slow
# answers: the truck drives on while they are awaited.
ANSWERS = [500, "drop", "200@2500", 301, "drop@1000", 401, 204, "200@2000", 500, 200]
DRIVES = [(60, 5.0), (13, 0.7), (9, 1.25), (21, 2.5), (4, 0.0), (1, 3.3), (17, 0.4), (30, 1.0),
          (8, 0.25), (11, 0.5)]


def accepted(requests):
    bodies = [json.loads(r.body) for r in requests if r.answer in range(200, 300)]
    return sum(b["seconds_delta"] for b in bodies), sum(b["miles_delta"] for b in bodies)


class NothingLostNothingDoubled(PluginTestCase):
    def test_accepted_totals_are_what_was_driven(self):
        collector = self.collector(answers=ANSWERS)
        road = Road(self, collector.url())
        road.start()
        seconds, miles = sum(drive[0] for drive in DRIVES), 0.0
        for count, (drive_seconds, km) in enumerate(DRIVES, 1):
            miles += road.drive(drive_seconds, km)
            collector.wait_for(count)
        collector.wait_until(lambda c: accepted(c.requests)[0] >= seconds, 120)
        road.session.shutdown()
        road.session.close()
        requests = collector.requests
        self.assertEqual([r.answer for r in requests[:len(ANSWERS)]],
                         [int(str(a).split("@")[0]) if a != "drop" and "drop@" not in str(a)
                          else "drop" for a in ANSWERS])
        self.assertEqual(accepted(requests)[0], seconds)
        # Six decimals a report.
        self.assertAlmostEqual(accepted(requests)[1], miles, delta=len(requests) * 5e-7)
        for refused, after in zip(requests, requests[1:]):
            if refused.answer == "drop" or refused.answer >= 300:
                self.assertGreaterEqual(json.loads(after.body)["seconds_delta"],
                                        json.loads(refused.body)["seconds_delta"], requests)


if __name__ == "__main__":
    unittest.main()
