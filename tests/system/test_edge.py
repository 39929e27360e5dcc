"""vorn-collector as an attacker on loopback finds it: thousands of silent or
trickling clients from other addresses (127.0.0.2 and up) while honest reports
come from 127.0.0.1, the per-address limit, the per-request deadline, the idle
time-out, and a stop while they are all connected."""
# ctest: platforms=native asan tsan timeout=300

import http.client
import resource
import selectors
import signal
import socket
import threading
import time
import unittest

from harness import PLATFORM
from test_collector import Service, body

HELD = 2000 if PLATFORM == "tsan" else 10000
STOP_SECONDS = 6 if PLATFORM == "tsan" else 2
PARTIAL_HEAD = b"POST /api/v1/telemetry HTTP/1.1\r\nHost: x\r\n"


def open_quiet(port, count, first_address, per_address=50):
    """`count` connections, `per_address` from each of 127.1.x.y, connected."""
    sockets, selector = [], selectors.DefaultSelector()
    for i in range(count):
        n = first_address + i // per_address
        s = socket.socket()
        s.setblocking(False)
        s.bind((f"127.1.{n // 250}.{n % 250 + 1}", 0))
        s.connect_ex(("127.0.0.1", port))
        selector.register(s, selectors.EVENT_WRITE)
        sockets.append(s)
    pending, deadline = len(sockets), time.monotonic() + 120
    while pending and time.monotonic() < deadline:
        for key, _ in selector.select(1):
            selector.unregister(key.fileobj)
            pending -= 1
    selector.close()
    assert pending == 0, f"{pending} connections not made"
    return sockets


def wait_all_closed(sockets, seconds):
    """True when the collector closed every socket within `seconds`."""
    selector = selectors.DefaultSelector()
    for s in sockets:
        selector.register(s, selectors.EVENT_READ)
    open_count, deadline = len(sockets), time.monotonic() + seconds
    while open_count and time.monotonic() < deadline:
        for key, _ in selector.select(1):
            try:
                data = key.fileobj.recv(4096)
            except ConnectionError:
                data = b""
            if not data:
                selector.unregister(key.fileobj)
                open_count -= 1
    selector.close()
    return open_count == 0


def seconds_until_closed(connection):
    start = time.monotonic()
    try:
        while connection.recv(4096):
            pass
    except ConnectionError:
        pass
    return time.monotonic() - start


class Edge(unittest.TestCase):
    def setUp(self):
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        self.service = Service(self)
        self.key = self.service.add_player("Night Owl")

    def tearDown(self):
        for s in getattr(self, "sockets", []):
            s.close()

    def test_held_connections_stall_no_report_and_stop_is_prompt(self):
        service = self.service.start("--max-reports-per-minute", "0")
        self.sockets = open_quiet(service.port, HELD, 0)
        for s in self.sockets[::10]:  # a tenth are inside a request's head
            s.send(PARTIAL_HEAD)
        statuses = [service.post(body("Night Owl", 0.1, 10), self.key) for _ in range(20)]
        self.assertEqual(statuses, [200] * 20)
        self.assertTrue(wait_all_closed(self.sockets, 60), "held connections never closed")

        self.sockets += open_quiet(service.port, HELD // 4, 1000)
        for s in self.sockets[-HELD // 4:]:
            s.send(PARTIAL_HEAD)
        service.process.send_signal(signal.SIGTERM)
        self.assertEqual(service.process.wait(timeout=STOP_SECONDS), 0)

    def test_per_address_limit_request_deadline_and_idle_time_out(self):
        service = self.service.start("--max-connections-per-address", "4")
        self.sockets = open_quiet(service.port, 5, 2000, per_address=5)
        # The fifth of one address is closed at once, before any of the first four.
        self.sockets[4].settimeout(30)
        self.assertEqual(self.sockets[4].recv(1), b"")
        selector = selectors.DefaultSelector()
        for s in self.sockets[:4]:
            selector.register(s, selectors.EVENT_READ)
        self.assertEqual(selector.select(0), [])
        selector.close()
        self.assertEqual(service.post(body("Night Owl", 0.1, 10), self.key), 200)

        trickled = []

        def trickle():  # a byte a second: each comes in time, the request does not
            with socket.create_connection(("127.0.0.1", service.port), timeout=30,
                                          source_address=("127.0.0.2", 0)) as s:
                start = time.monotonic()
                for byte in PARTIAL_HEAD[:20]:
                    try:
                        s.send(bytes([byte]))
                        if s.recv(1, socket.MSG_DONTWAIT | socket.MSG_PEEK) == b"":
                            break
                    except BlockingIOError:
                        pass
                    except ConnectionError:
                        break
                    time.sleep(1)
                trickled.append(time.monotonic() - start)

        thread = threading.Thread(target=trickle)
        thread.start()
        idle = http.client.HTTPConnection("127.0.0.1", service.port, timeout=30,
                                          source_address=("127.0.0.3", 0))
        idle.request("GET", "/healthz")
        self.assertEqual(idle.getresponse().read(), b'{"status":"ok"}\n')
        idle_seconds = seconds_until_closed(idle.sock)
        idle.close()
        thread.join()
        self.assertTrue(4.5 < idle_seconds < 9, idle_seconds)
        self.assertTrue(9.5 < trickled[0] < 15, trickled)


if __name__ == "__main__":
    unittest.main(verbosity=2)
