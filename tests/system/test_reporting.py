"""Reports on the wire and from end to end, with the real library in gamehost,
tools/fakesteam putting the player on the second known server (found by its
endpoint) and tools/collector receiving the reports.

The sender reports at most every 10 seconds, so every scenario here is a
"road": one game session with its own collector, driven step by step. All
roads start together when the module starts and run side by side; each test
waits for its own road and checks what it saw. Amounts only become visible
through the collector, so a report's acceptance is read off the next report.
"""
# ctest: timeout=400

import contextlib
import json
import time
import unittest

from collector import (Collector, ConnectionCounter, ConnectProxy, TlsCollector,
                       fixed_port_lock, platform_loopback_address)
from harness import API_KEY, IS_WINE, PluginTestCase
from roads import OFF_SERVER, ON_SERVER, REPORT_WAIT, SERVER, Road, RoadPool

PATH = "/api/v1/telemetry"
USER_AGENT = "VORN-Davida-Client/1.0"
# Headers the plug-in sets, and those its HTTP client adds by itself; WinHTTP
# also announces keep-alive.
OWN_HEADERS = {"content-type", "x-vorn-key", "user-agent"}
CLIENT_HEADERS = {"host", "content-length"} | ({"connection"} if IS_WINE else set())

check = unittest.TestCase()
check.maxDiff = None


def expected_body(seconds, miles, server=SERVER):
    return ('{"player_name":"Night Owl","server_id":"%s","miles_delta":%.6f,"seconds_delta":%d,'
            '"truck":"Unknown","trailer":"None"}' % (server, miles, seconds)).encode()


def assert_wire_request(request, host_header, target, body):
    """The request as it went on the wire, from the raw capture."""
    check.assertEqual(request.method, "POST")
    check.assertEqual(request.target, target)
    check.assertEqual(request.version, "HTTP/1.1")
    check.assertEqual(set(request.header_names()), OWN_HEADERS | CLIENT_HEADERS)
    check.assertEqual(len(request.header_names()), len(OWN_HEADERS | CLIENT_HEADERS),
                      "a header appears twice")
    check.assertEqual(request.header("Host"), [host_header])
    check.assertEqual(request.header("Content-Type"), ["application/json"])
    check.assertEqual(request.header("User-Agent"), [USER_AGENT])
    check.assertEqual(request.header("Content-Length"), [str(len(body))])
    check.assertEqual(request.body, body)
    head, _, sent_body = request.raw.partition(b"\r\n\r\n")
    check.assertEqual(sent_body, body, "bytes after the head")
    lines = head.split(b"\r\n")
    check.assertEqual(lines[0], f"POST {target} HTTP/1.1".encode())
    # One space after the colon, the key byte for byte.
    check.assertIn(f"X-VORN-Key: {API_KEY}".encode(), lines[1:])


def seconds_of(request):
    return request.json()["seconds_delta"]


# --- roads ---------------------------------------------------------------------

@contextlib.contextmanager
def on_server(url_of=lambda collector: collector.url(), **collector_options):
    """A collector, and a road started on the server with its cargo loaded,
    reporting to url_of(collector); both are cleaned up afterwards."""
    collector = Collector(**collector_options)
    try:
        road = Road(url_of(collector))
        try:
            road.start()
            road.reach_server()
            yield collector, road
        finally:
            road.close()
    finally:
        collector.stop()


def status_road(first, second, url_of=lambda c: c.url(), **collector_options):
    """Three reports: the first answered `first`, the second `second`, the third
    200. Each report's seconds show whether the answer before it was accepted."""
    with on_server(url_of, answers=[first, second], **collector_options) as (collector, road):
        miles = road.drive(60, 5)
        collector.wait_for_requests(1, REPORT_WAIT)
        road.drive(7)
        collector.wait_for_requests(2, REPORT_WAIT)
        road.drive(5)
        reports = collector.wait_for_requests(3, REPORT_WAIT)[:3]
        road.finish()
        return {"seconds": [seconds_of(r) for r in reports], "reports": reports,
                "requests": len(collector.requests()), "miles": miles,
                "host": f"{collector.host}:{collector.port}"}


def default_port_road():
    """Port 80 from the scheme, "/" for a URL without a path, the host alone in Host."""
    host = platform_loopback_address()
    with fixed_port_lock(host, 80):
        return status_road(200, 300, lambda c: f"http://{host}", host=host, port=80)


def wire_road():
    """The typical road's report byte for byte off a raw socket; the URL's
    query and fragment stay off the request line; a 301 is not followed."""
    return status_road(201, 301, lambda c: c.url(PATH + "?x=1#frag"), raw=True,
                       location="http://127.0.0.1:9/moved")


def refused_url_road(bad_url_of, observer=None):
    """Init with a URL that must fail before any connection, drive, let a
    report cycle pass, then init again with a working URL: the report there
    carries everything, so nothing was taken off."""
    try:
        with on_server(lambda c: bad_url_of(observer)) as (collector, road):
            miles = road.drive(60, 5)
            if isinstance(observer, TlsCollector):
                deadline = time.monotonic() + REPORT_WAIT
                while observer.hellos == 0 and time.monotonic() < deadline:
                    time.sleep(0.1)
                time.sleep(1.0)
            else:
                road.sleep_until(12.5)
            road.restart(collector.url())
            road.drive(2)
            reports = collector.wait_for_requests(1, REPORT_WAIT)
            road.finish()
            return {"body": reports[0].body, "expected": expected_body(62, miles),
                    "observer": observer}
    finally:
        if observer is not None:
            observer.stop()


def https_road():
    host = platform_loopback_address()
    with fixed_port_lock(host, 443):
        return refused_url_road(lambda o: f"https://{host}{PATH}", TlsCollector(host, 443))


def typical_road_then_shutdown():
    """One report with the exact body; then shutdown sends nothing, and what
    was still pending goes out after the next init."""
    with on_server() as (collector, road):
        miles = road.drive(60, 5)
        first = collector.wait_for_requests(1, REPORT_WAIT)
        road.drive(3)
        road.shutdown()
        time.sleep(1.5)
        after_shutdown = len(collector.requests())
        road.start()
        later = collector.wait_for_requests(2, REPORT_WAIT)
        road.finish()
        return first[0].body, expected_body(60, miles), after_shutdown, later[1].body


def three_failures_road():
    with on_server(answers=[500, 500, 500, 200]) as (collector, road):
        seconds = miles = 0
        expected = []
        for k, (s, km) in enumerate([(60, 5), (4, 1), (6, 2), (8, 0.5)]):
            miles += road.drive(s, km)
            seconds += s
            expected.append(expected_body(seconds, miles))
            collector.wait_for_requests(k + 1, REPORT_WAIT)
        road.drive(2)
        expected.append(expected_body(2, 0.0))
        reports = collector.wait_for_requests(5, REPORT_WAIT)
        road.finish()
        return [r.body for r in reports[:5]], expected


def in_flight_road():
    """The first report is answered after 3 s while 9 s and 1 km are driven:
    those go out next. The second is answered after 0.7 s with shutdown
    already called: within its second of grace, so its success is applied."""
    with on_server(answers=["200@3000", "200@700"]) as (collector, road):
        road.drive(60, 5)
        collector.wait_for_requests(1, REPORT_WAIT)
        during_first = road.drive(9, 1)
        second = collector.wait_for_requests(2, REPORT_WAIT)[1]
        shutdown_ms = road.shutdown()
        road.start()
        road.drive(1)
        third = collector.wait_for_requests(3, REPORT_WAIT)[2]
        road.finish()
        return (second.body, expected_body(9, during_first), shutdown_ms, third.body,
                expected_body(1, 0.0))


def off_server_road():
    """Amounts pend on the server, the player leaves it before the first
    report: no request while no known server is detected; back on it, the
    report carries everything."""
    with on_server() as (collector, road):
        miles = road.drive(60, 5)
        road.folder.write_steam_script(OFF_SERVER)
        road.folder.wait_for_log("VORN_server=NONE")
        road.sleep_until(13.0)
        while_off = len(collector.requests())
        road.folder.write_steam_script(ON_SERVER)
        first = collector.wait_for_requests(1, REPORT_WAIT)
        road.finish()
        return while_off, first[0].body, expected_body(60, miles)


def https_proxy_road():
    """https through a CONNECT proxy to a TLS collector whose certificate the
    plug-in is told to trust: the collector's own answers decide."""
    collector, proxy = TlsCollector("127.0.0.1", 0), ConnectProxy()
    env = {"https_proxy": f"http://127.0.0.1:{proxy.port}", "no_proxy": "", "NO_PROXY": "",
           "SSL_CERT_FILE": str(collector.cert)}
    road = Road(collector.url(PATH, scheme="https"), env=env)
    try:
        road.start()
        road.reach_server()
        road.drive(60, 5)
        collector.wait_for_requests(1, REPORT_WAIT)
        road.drive(7)
        requests = collector.wait_for_requests(2, REPORT_WAIT)
        road.finish()
        return {"seconds": [json.loads(body)["seconds_delta"] for _, _, body in requests],
                "tunnels": proxy.targets, "collector": f"127.0.0.1:{collector.port}"}
    finally:
        road.close()
        proxy.stop()
        collector.stop()


ROADS = {
    "default_port": default_port_road,
    "wire": wire_road,
    "statuses_204_401": lambda: status_road(204, 401),
    "statuses_199_500": lambda: status_road(199, 500, raw=True),
    "https": https_road,
    "other_scheme": lambda: refused_url_road(lambda o: f"ftp://127.0.0.1:{o.port}{PATH}",
                                             ConnectionCounter()),
    "no_colon": lambda: refused_url_road(lambda o: f"http//127.0.0.1:{o.port}{PATH}",
                                         ConnectionCounter()),
    "open_bracket": lambda: refused_url_road(lambda o: f"http://[127.0.0.1:{o.port}{PATH}",
                                             ConnectionCounter()),
    "empty_url": lambda: refused_url_road(lambda o: ""),
    "typical": typical_road_then_shutdown,
    "three_failures": three_failures_road,
    "in_flight": in_flight_road,
    "off_server": off_server_road,
}
if not IS_WINE:  # WinHTTP takes its proxy from the system's settings
    ROADS["https_proxy"] = https_proxy_road
_roads = RoadPool(ROADS)


def setUpModule():
    _roads.start()


def tearDownModule():
    _roads.stop()


road_result = _roads.result


class Wire(PluginTestCase):
    def test_request_line_headers_and_body_byte_for_byte(self):
        road = road_result("wire")
        first = road["reports"][0]
        assert_wire_request(first, road["host"], PATH, expected_body(60, road["miles"]))
        self.assertFalse(first.record["chunked"])

    def test_query_and_fragment_stay_off_the_request_line(self):
        road = road_result("wire")
        self.assertEqual([r.target for r in road["reports"]], [PATH] * 3)

    def test_default_port_and_no_path(self):
        road = road_result("default_port")
        self.assertEqual([r.target for r in road["reports"]], ["/"] * 3)
        self.assertEqual([r.header("Host") for r in road["reports"]],
                         [[platform_loopback_address()]] * 3)
        self.assertEqual(road["reports"][0].body, expected_body(60, road["miles"]))


class Statuses(PluginTestCase):
    """Reports of 60 s, then 7 s, then 5 s driven: a refused report's seconds
    come back in the next one."""

    def test_accepted_and_refused_statuses(self):
        cases = {  # road: its two answers, and the seconds of its three reports
            "default_port": ((200, 300), [60, 7, 12]),
            "wire": ((201, 301), [60, 7, 12]),
            "statuses_204_401": ((204, 401), [60, 7, 12]),
            "statuses_199_500": ((199, 500), [60, 67, 72]),
        }
        for name, (answers, seconds) in cases.items():
            with self.subTest(road=name, answers=answers):
                road = road_result(name)
                self.assertEqual(road["seconds"], seconds)
                # One request a report: a 301 with a Location is not followed.
                self.assertEqual(road["requests"], 3)


class RefusedUrls(PluginTestCase):
    def test_no_connection_and_nothing_taken_off(self):
        for name in ("other_scheme", "no_colon", "open_bracket", "empty_url"):
            with self.subTest(road=name):
                road = road_result(name)
                if road["observer"] is not None:
                    self.assertEqual(road["observer"].connections, 0)
                self.assertEqual(road["body"], road["expected"])

    def test_https_with_an_untrusted_certificate_is_refused(self):
        road = road_result("https")
        self.assertGreaterEqual(road["observer"].hellos, 1, "no TLS connection to port 443")
        self.assertEqual(road["observer"].requests, [],
                         "the request went through an untrusted channel")
        self.assertEqual(road["body"], road["expected"])

    @unittest.skipIf(IS_WINE, "the proxy comes from libcurl's environment")
    def test_https_through_a_connect_proxy_is_decided_by_the_collector(self):
        road = road_result("https_proxy")
        self.assertEqual(road["seconds"], [60, 7], "the first report was not taken as accepted")
        self.assertEqual(road["tunnels"], [road["collector"]] * 2)


class EndToEnd(PluginTestCase):
    def test_typical_road_gives_one_exact_report_and_shutdown_sends_nothing(self):
        body, expected, after_shutdown, later = road_result("typical")
        self.assertEqual(body, expected)
        self.assertEqual(after_shutdown, 1)
        self.assertEqual(later, expected_body(3, 0.0))

    def test_three_failed_posts_then_one_carries_all_four_intervals(self):
        bodies, expected = road_result("three_failures")
        self.assertEqual(bodies, expected)

    def test_amounts_added_in_flight_go_out_next(self):
        second, expected_second, shutdown_ms, third, expected_third = road_result("in_flight")
        self.assertEqual(second, expected_second)
        self.assertLess(shutdown_ms, 1500)
        self.assertEqual(third, expected_third)

    def test_nothing_is_sent_off_a_known_server(self):
        while_off, body, expected = road_result("off_server")
        self.assertEqual(while_off, 0)
        self.assertEqual(body, expected)


if __name__ == "__main__":
    unittest.main()
