#!/usr/bin/env python3
"""The plug-in's loopback collector, a stand-in for vorn-collector in the plug-in's
tests and benchmarks: keeps each request's exact bytes and answers request by
request, as listed.

An answer is a status or "drop" (close without answering), either with "@MS"
for a delay, and may follow an interim answer: "102+200" sends a 102 head
first; a request without the expected X-VORN-Key is answered 401. As a
program it prints its port and appends one JSON line per request to --record.
"""

import argparse
import base64
import json
import socket
import sys
import threading
import time


class Request:
    def __init__(self, raw):
        self.raw = raw
        head, _, self.body = raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.method, self.target, self.version = (lines[0].split(" ") + ["", ""])[:3]
        self.headers = [tuple(p.strip() for p in l.split(":", 1)) for l in lines[1:] if ":" in l]
        self.answer = None

    def header(self, name):
        return [v for k, v in self.headers if k.lower() == name.lower()]

    def __repr__(self):
        return f"Request({self.target} -> {self.answer}: {self.body!r})"


def read_request(connection):
    """One request, head and Content-Length body, or None when the peer went away."""
    data, end = b"", None
    while end is None or len(data) < end:
        chunk = connection.recv(65536)
        if not chunk or len(data) > 1 << 20:  # a megabyte at most
            return None
        data += chunk
        if end is None and b"\r\n\r\n" in data:
            length = Request(data).header("Content-Length")
            end = data.index(b"\r\n\r\n") + 4 + (int(length[0]) if length else 0)
    return Request(data[:end])


class Collector:
    def __init__(self, answers=(), default=200, key="test-key-7f3a", host="127.0.0.1", port=0,
                 record=None, tls=None, backlog=16, accepting=True):
        # tls: an ssl.SSLContext to serve https with; connections wait in the
        # listening socket's queue until `accepting` is set.
        self.answers, self.default, self.key, self.record = list(answers), default, key, record
        self.tls, self.accepting = tls, threading.Event()
        self.requests, self.connections = [], 0
        self._changed = threading.Condition()
        self._socket = socket.socket()
        self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._socket.bind((host, port))
        self._socket.listen(backlog)
        self.host, self.port = host, self._socket.getsockname()[1]
        if accepting:
            self.accepting.set()
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self, path="/api/v1/telemetry"):
        return f"http://{self.host}:{self.port}{path}"

    def _accept(self):
        self.accepting.wait()
        while True:
            try:
                connection, _ = self._socket.accept()
            except OSError:
                return
            with self._changed:
                self.connections += 1
                self._changed.notify_all()
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        if self.tls is not None:
            try:
                connection = self.tls.wrap_socket(connection, server_side=True)
            except OSError:
                return connection.close()
        with connection:
            request = read_request(connection)
            if request is None:
                return
            with self._changed:
                listed = self.answers[len(self.requests)] if len(self.requests) < len(
                    self.answers) else self.default
                action, _, delay = str(listed).partition("@")
                interim, _, action = action.rpartition("+")
                if action != "drop" and self.key is not None and request.header("X-VORN-Key") != [self.key]:
                    action = "401"
                request.answer = action if action == "drop" else int(action)
                self.requests.append(request)
                self._write_record(request)
                self._changed.notify_all()
            if interim:
                connection.sendall(f"HTTP/1.1 {interim} Interim\r\n\r\n".encode())
            time.sleep(int(delay or 0) / 1000)
            if action != "drop":
                connection.sendall(f"HTTP/1.1 {action} Answer\r\nContent-Length: 0\r\n"
                                   "Connection: close\r\n\r\n".encode())

    def _write_record(self, request):
        if self.record:
            with open(self.record, "a") as out:
                print(json.dumps({"seq": len(self.requests), "method": request.method,
                                  "target": request.target, "headers": request.headers,
                                  "body_base64": base64.b64encode(request.body).decode(),
                                  "answer": request.answer}), file=out)

    def wait_for(self, count, timeout=60.0):  # the first `count` requests
        return self.wait_until(lambda c: len(c.requests) >= count, timeout)[:count]

    def wait_until(self, condition, timeout=60.0):
        """Every request so far, once condition(collector) holds."""
        with self._changed:
            if not self._changed.wait_for(lambda: condition(self), timeout):
                raise AssertionError(f"collector waited in vain; it got {self.requests}")
            return list(self.requests)

    def stop(self):
        self._socket.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--key", help="the expected X-VORN-Key (default: no check)")
    parser.add_argument("--record")
    parser.add_argument("--answers", default="")
    options = parser.parse_args()
    if not options.host.startswith("127."):
        parser.error("--host must be a loopback address")
    try:
        collector = Collector([a for a in options.answers.split(",") if a], key=options.key,
                              host=options.host, port=options.port, record=options.record)
    except OSError as error:
        sys.exit(f"loopback-collector: {error}")
    print(collector.port, flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    main()
