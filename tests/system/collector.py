"""Loopback stand-ins for the collector service, for the system tests.

Collector starts tools/collector (always the native build: under Wine the DLL
reaches it on 127.0.0.1 too), tells it how to answer, and reads back what it
recorded. ConnectionCounter and TlsCollector are plain sockets for the cases
where the question is whether a connection was made at all; RawCollector, for
answers that misbehave on the wire; ConnectProxy, an https proxy.

    with Collector(answers=[500, 200], raw=True) as collector:
        url = collector.url("/api/v1/telemetry")
        ...
        first = collector.wait_for_requests(1)[0]
        first.header("X-VORN-Key"), first.body, first.raw
"""

import base64
import contextlib
import fcntl
import json
import os
import pathlib
import select
import socket
import ssl
import subprocess
import tempfile
import threading
import time

from harness import API_KEY, NATIVE_BUILD_DIR, PLATFORM

COLLECTOR = NATIVE_BUILD_DIR / "tools" / "collector" / "collector"


def platform_loopback_address():
    """A loopback address of this platform's own, so that the platforms' test
    runs can bind the same fixed port (80, 443) side by side."""
    return {"native": "127.0.0.11", "wine": "127.0.0.12", "asan": "127.0.0.13",
            "tsan": "127.0.0.14"}.get(PLATFORM, "127.0.0.15")


@contextlib.contextmanager
def fixed_port_lock(host, port):
    """Serialises users of one fixed address and port across test processes."""
    path = pathlib.Path(tempfile.gettempdir()) / f"vorn-port-{host}-{port}.lock"
    with open(path, "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)


class Request:
    """One request as the collector recorded it."""

    def __init__(self, record):
        self.record = record
        self.method = record["method"]
        self.target = record["target"]
        self.version = record["version"]
        self.headers = [(name, value) for name, value in record["headers"]]
        self.body = base64.b64decode(record["body_base64"])
        self.raw = base64.b64decode(record["raw_base64"]) if "raw_base64" in record else None
        self.answer = record["answer"]

    def header(self, name):
        """Values of the header `name` (any letter case), in order."""
        return [value for key, value in self.headers if key.lower() == name.lower()]

    def header_names(self):
        return sorted(key.lower() for key, _ in self.headers)

    def json(self):
        return json.loads(self.body)

    def __repr__(self):
        return f"Request({self.method} {self.target} -> {self.answer}, body={self.body!r})"


def _action(answer):
    return answer if isinstance(answer, str) else str(answer)


class Collector:
    """tools/collector on a loopback port.

    answers:  per-request answers in arrival order: a status, "drop", or either
              with "@MS" for a delay ("200@3000"); then `default` for the rest.
    key:      the expected X-VORN-Key (401 otherwise); None for no check.
    raw:      record the exact bytes off the socket as well.
    location: a Location header for 3xx answers.
    """

    def __init__(self, answers=(), default=200, key=API_KEY, raw=False, host="127.0.0.1", port=0,
                 location=None):
        self.host = host
        self._dir = tempfile.TemporaryDirectory(prefix="vorn-collector-")
        self.record_path = pathlib.Path(self._dir.name) / "requests.jsonl"
        argv = [str(COLLECTOR), "--host", host, "--port", str(port), "--record",
                str(self.record_path), "--default", _action(default)]
        if answers:
            argv += ["--answers", ",".join(_action(a) for a in answers)]
        if key is not None:
            argv += ["--key", key]
        if raw:
            argv.append("--raw")
        if location is not None:
            argv += ["--location", location]
        # Started in its scratch folder: the tests run from the source tree, and
        # nothing the collector leaves behind (a core file) may land there.
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        cwd=self._dir.name)
        line = self.process.stdout.readline().decode().strip()
        if not line.isdigit():
            self.process.kill()
            self.process.wait()
            raise RuntimeError(f"collector did not start: {line!r} "
                               f"{self.process.stderr.read().decode()!r}")
        self.port = int(line)

    def url(self, path="/api/v1/telemetry", scheme="http"):
        return f"{scheme}://{self.host}:{self.port}{path}"

    def requests(self):
        """Every request recorded so far, in arrival order."""
        try:
            text = self.record_path.read_text()
        except FileNotFoundError:
            return []
        return [Request(json.loads(line)) for line in text.splitlines() if line.strip()]

    def wait_for_requests(self, count, timeout=30.0):
        """Waits until at least `count` requests have arrived; returns all of them."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.requests()
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                raise AssertionError(f"collector got {len(found)} requests, expected {count}: "
                                     f"{found}")
            time.sleep(0.05)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        self._dir.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class _Listener:
    """A loopback listening socket that counts its connections and serves each
    one with _serve: one by one on a thread of its own, or with `concurrent`
    each on a new thread. The connection is closed after _serve."""

    def __init__(self, host, port, concurrent=False):
        self._socket = socket.create_server((host, port))
        self.host = host
        self.port = self._socket.getsockname()[1]
        self.connections = 0
        self._concurrent = concurrent
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while True:
            try:
                connection, _ = self._socket.accept()
            except OSError:
                return
            self.connections += 1
            if self._concurrent:
                threading.Thread(target=self._serve_and_close, args=(connection,),
                                 daemon=True).start()
            else:
                self._serve_and_close(connection)

    def _serve_and_close(self, connection):
        with connection:
            self._serve(connection)

    def _serve(self, connection):
        raise NotImplementedError

    def stop(self):
        # Closing alone leaves the socket listening while the accept thread
        # still waits in it, so a fixed port would stay taken after its lock is
        # released; shutting it down wakes that thread first.
        try:
            self._socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._socket.close()


class ConnectionCounter(_Listener):
    """Only counts the connections made to it."""

    def __init__(self, host="127.0.0.1", port=0):
        super().__init__(host, port)

    def _serve(self, connection):
        pass


def answer_at_once(connection):
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")


def held_answer(connection):
    """No answer at all: holds the connection until the client hangs up."""
    connection.settimeout(300)
    connection.recv(1)


def read_request(connection):
    """(head, body) of one request read whole, or None if the peer hung up."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = connection.recv(65536)
        if not chunk:
            return None
        body += chunk
    return head, body


class RawCollector(_Listener):
    """A loopback HTTP endpoint on a plain socket. It reads each request whole
    (heads of any size: tools/collector stops at 8 KiB), records it with the
    time it arrived, and answers it with the next of `answers` (functions of
    the connection; answer_at_once for the rest), serving connections side by
    side."""

    def __init__(self, answers=(), host="127.0.0.1", port=0):
        self._answers = list(answers)
        self.requests = []  # (arrival time, head bytes, body bytes)
        self.answered = []  # time each answer was complete or broken off
        self._lock = threading.Lock()
        super().__init__(host, port, concurrent=True)

    def url(self, path="/api/v1/telemetry", scheme="http"):
        return f"{scheme}://{self.host}:{self.port}{path}"

    def _serve(self, connection):
        connection.settimeout(60)
        try:
            request = read_request(connection)
            if request is None:
                return
            head, body = request
            with self._lock:
                self.requests.append((time.monotonic(), head, body))
                answer = self._answers.pop(0) if self._answers else answer_at_once
            answer(connection)
        except OSError:
            pass
        finally:
            with self._lock:
                self.answered.append(time.monotonic())

    def wait_for_requests(self, count, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.requests) >= count:
                    return list(self.requests)
            time.sleep(0.05)
        raise AssertionError(f"{len(self.requests)} requests arrived, expected {count}")


class TlsCollector(RawCollector):
    """RawCollector behind TLS, with a fresh self-signed certificate (the file
    `cert`) that only a client told to trust it may accept. It also counts
    TLS client hellos."""

    def __init__(self, host, port=443):
        self._dir = tempfile.TemporaryDirectory(prefix="vorn-tls-")
        cert = pathlib.Path(self._dir.name) / "cert.pem"
        key = pathlib.Path(self._dir.name) / "key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", str(key), "-out", str(cert), "-subj", f"/CN={host}",
                        "-addext", f"subjectAltName=IP:{host}"],
                       check=True, capture_output=True, cwd=self._dir.name)
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(str(cert), str(key))
        self.cert = cert
        self.hellos = 0
        super().__init__(host=host, port=port)

    def _serve(self, connection):
        connection.settimeout(10)
        try:
            if connection.recv(1, socket.MSG_PEEK) == b"\x16":  # a TLS handshake record
                self.hellos += 1
            with self._context.wrap_socket(connection, server_side=True) as tls:
                super()._serve(tls)
        except (OSError, ssl.SSLError):
            pass

    def stop(self):
        super().stop()
        self._dir.cleanup()


class ConnectProxy(_Listener):
    """An https proxy that only opens tunnels (CONNECT) to loopback addresses
    and records each tunnel's target."""

    def __init__(self):
        self.targets = []
        super().__init__("127.0.0.1", 0, concurrent=True)

    def _serve(self, connection):
        connection.settimeout(60)
        try:
            head, _ = read_request(connection) or (b"", b"")
            method, target = (head.split(b" ") + [b""])[:2]
            host, _, port = target.decode().rpartition(":")
            if method != b"CONNECT" or not host.startswith("127."):
                return
            self.targets.append(target.decode())
            with socket.create_connection((host, int(port))) as upstream:
                connection.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                ends = {connection: upstream, upstream: connection}
                while True:  # until either side hangs up or both stay silent a minute
                    ready = select.select(list(ends), [], [], 60)[0]
                    for side in ready:
                        data = side.recv(65536)
                        if not data:
                            return
                        ends[side].sendall(data)
                    if not ready:
                        return
        except OSError:
            pass
