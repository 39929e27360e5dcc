"""A loopback TCP proxy in front of a PostgreSQL server's unix socket, for the
collector's fault and latency tests and its latency benchmark.

It forwards every connection both ways, each way `delay` seconds late (a far
database), and records each connection's turns: what the client sent after
the server last answered, so that a test counts round trips. Told to, it
faults at the next COMMIT a client sends (as a simple query or in a
pipeline): `cut` forwards that COMMIT and then closes the client's side;
`blackhole` forwards nothing more on any connection, old or new, and closes
none, as a network partition does, until `heal`."""

import collections
import re
import selectors
import socket
import threading
import time

# COMMIT as a simple query, or parsed as the unnamed statement of a pipeline.
COMMIT = re.compile(rb"(Q\x00\x00\x00\x0b|P\x00\x00\x00\x0e\x00)COMMIT\x00")
COMMIT_LENGTH = 13
# A delayed connection holds at most this much on its way (then reads wait).
HELD_BYTES = 1 << 22


class Late:
    """Sends what it is given to `to`, each piece `delay` seconds after it came."""

    def __init__(self, to, delay):
        self.to, self.delay = to, delay
        self.pieces = collections.deque()
        self.held = threading.Semaphore(HELD_BYTES >> 16)  # in 64 KiB pieces
        self.ready = threading.Condition()
        threading.Thread(target=self._send, daemon=True).start()

    def put(self, data):
        self.held.acquire()
        with self.ready:
            self.pieces.append((time.monotonic() + self.delay, data))
            self.ready.notify()

    def close(self):
        self.put(None)

    def _send(self):
        while True:
            with self.ready:
                self.ready.wait_for(lambda: self.pieces)
                due, data = self.pieces.popleft()
            self.held.release()
            if data is None:  # the other way ended: so does this one, after what it holds
                self.to.close()
                return
            time.sleep(max(0.0, due - time.monotonic()))
            try:
                self.to.sendall(data)
            except OSError:
                return


class Proxy:
    def __init__(self, unix_path, delay=0.0, record=True):
        self.unix_path = str(unix_path)
        self.delay, self.record = delay, record
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.turns = []  # per connection, in the order they came: what the client sent per turn
        self.lock = threading.Lock()
        self.armed = None  # "cut" or "blackhole" at the next COMMIT
        self.skip = 0
        self.blackholed = threading.Event()
        self.cuts = 0
        self.sockets = []
        self.closing = False
        threading.Thread(target=self._accept, daemon=True).start()

    def arm(self, fault, skip=0):
        """Faults at the COMMIT after the next `skip` ones."""
        with self.lock:
            self.armed, self.skip = fault, skip

    def heal(self):
        """Forwards again; the black-holed connections are closed, as after a timeout."""
        with self.lock:
            self.armed = None
            self.blackholed.clear()
            stale, self.sockets = self.sockets, []
        for s in stale:
            s.close()

    def close(self):
        self.closing = True
        self.listener.close()
        self.heal()

    def _accept(self):
        while not self.closing:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            server = socket.socket(socket.AF_UNIX)
            server.connect(self.unix_path)
            with self.lock:
                self.sockets += [client, server]
                self.turns.append([])
                turns = self.turns[-1]
            threading.Thread(target=self._pump, args=(client, server, turns), daemon=True).start()

    @staticmethod
    def _forward(to, data):
        if isinstance(to, Late):
            to.put(data)
        else:
            to.sendall(data)

    def _pump(self, client, server, turns):
        selector = selectors.DefaultSelector()
        onward = {client: server, server: client}
        if self.delay:
            onward = {client: Late(server, self.delay), server: Late(client, self.delay)}
        selector.register(client, selectors.EVENT_READ, onward[client])
        selector.register(server, selectors.EVENT_READ, onward[server])
        tail = b""  # the end of what the client sent, for a COMMIT split across reads
        answered = True  # the server spoke last: the client's next bytes begin a turn
        try:
            while True:
                if self.blackholed.is_set():  # holds everything, until healed (closed)
                    if client.fileno() < 0 or self.closing:
                        return
                    time.sleep(0.05)
                    continue
                for key, _ in selector.select(0.1):
                    data = key.fileobj.recv(65536)
                    if not data:
                        return
                    if key.fileobj is client:
                        if self.record:
                            with self.lock:
                                if answered:
                                    turns.append(b"")
                                turns[-1] += data
                        answered = False
                        seen = any(match.end() > len(tail)  # a COMMIT not seen before
                                   for match in COMMIT.finditer(tail + data))
                        tail = (tail + data)[-COMMIT_LENGTH:]
                        with self.lock:
                            fault = self.armed if seen else None
                            if fault and self.skip:
                                self.skip, fault = self.skip - 1, None
                            elif fault:
                                self.armed = None
                        if fault == "blackhole":
                            self.blackholed.set()
                            continue
                        self._forward(key.data, data)
                        if fault == "cut":
                            self.cuts += 1
                            client.shutdown(socket.SHUT_RDWR)
                            return
                    else:
                        answered = True
                        self._forward(key.data, data)
        except OSError:
            return
        finally:
            selector.close()
            if self.delay:
                for late in onward.values():
                    late.close()
            elif not self.blackholed.is_set():
                client.close()
                server.close()
