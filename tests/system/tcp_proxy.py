"""A loopback TCP proxy in front of a PostgreSQL server's unix socket, for the
collector's fault tests: it forwards every connection both ways until told to
fault at the next COMMIT a client sends (PostgreSQL's simple-query message):
`cut` forwards that COMMIT and then closes the client's side; `blackhole`
forwards nothing more on any connection, old or new, and closes none, as a
network partition does, until `heal`."""

import selectors
import socket
import threading
import time

COMMIT = b"Q\x00\x00\x00\x0bCOMMIT\x00"


class Proxy:
    def __init__(self, unix_path):
        self.unix_path = str(unix_path)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
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
            server = socket.socket(socket.AF_UNIX)
            server.connect(self.unix_path)
            with self.lock:
                self.sockets += [client, server]
            threading.Thread(target=self._pump, args=(client, server), daemon=True).start()

    def _pump(self, client, server):
        selector = selectors.DefaultSelector()
        selector.register(client, selectors.EVENT_READ, server)
        selector.register(server, selectors.EVENT_READ, client)
        tail = b""  # the end of what the client sent, for a COMMIT split across reads
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
                        seen, tail = COMMIT in tail + data, (tail + data)[-len(COMMIT):]
                        with self.lock:
                            fault = self.armed if seen else None
                            if fault and self.skip:
                                self.skip, fault = self.skip - 1, None
                            elif fault:
                                self.armed = None
                        if fault == "blackhole":
                            self.blackholed.set()
                            continue
                        key.data.sendall(data)
                        if fault == "cut":
                            self.cuts += 1
                            client.shutdown(socket.SHUT_RDWR)
                            return
                    else:
                        key.data.sendall(data)
        except OSError:
            return
        finally:
            selector.close()
            if not self.blackholed.is_set():
                client.close()
                server.close()
