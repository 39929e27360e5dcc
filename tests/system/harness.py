"""Runs the real plug-in library inside tools/gamehost, the way the game does,
on the platform ctest names in VORN_PLATFORM (native, wine, asan, tsan) from
the build tree in VORN_BUILD_DIR. A GameFolder is a scratch plug-in folder
driven line by line (GameFolder.start, HostSession.send / call); a Road is a
session on the second known server with the cargo loaded, reporting to a
loopback Collector. Every folder checks at cleanup that the key is in no log."""

import contextlib
import faulthandler
import os
import pathlib
import queue
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "loopback_collector"))
from loopback_collector import Collector, Request, read_request  # noqa: E402

# A case still running after this long has hung: it fails at once, with every
# thread's stack and its child processes killed, rather than at ctest's limit.
CASE_LIMIT_SECONDS = float(os.environ.get("VORN_CASE_LIMIT_SECONDS", "150"))


def _children(pid):
    found = []
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        with contextlib.suppress(OSError, ValueError, IndexError):
            if int(stat.read_text().rsplit(")", 1)[1].split()[1]) == pid:
                child = int(stat.parent.name)
                found += [child] + _children(child)
    return found


def _hung(case):
    sys.stderr.write(f"\n{case.id()} still running after {CASE_LIMIT_SECONDS:.0f} s: hung\n")
    faulthandler.dump_traceback(all_threads=True)
    for child in _children(os.getpid()):
        with contextlib.suppress(OSError):
            os.kill(child, signal.SIGKILL)
    os._exit(3)


def _bounded(run):
    def run_within_the_case_limit(self, result=None):
        watchdog = threading.Timer(CASE_LIMIT_SECONDS, _hung, (self,))
        watchdog.daemon = True
        watchdog.start()
        try:
            return run(self, result)
        finally:
            watchdog.cancel()
    return run_within_the_case_limit


unittest.TestCase.run = _bounded(unittest.TestCase.run)

PLATFORM = os.environ.get("VORN_PLATFORM", "native")
IS_WINE = PLATFORM == "wine"
BUILD_DIR = pathlib.Path(os.environ.get("VORN_BUILD_DIR", "build/native")).resolve()
PLUGIN_FILE = "VORN_Davida_Client.dll" if IS_WINE else "VORN_Davida_Client.so"
STEAM_FILE = "steam_api64.dll" if IS_WINE else "libsteam_api.so"
GAMEHOST = BUILD_DIR / "tools" / ("gamehost.exe" if IS_WINE else "gamehost")
# The tests load the build's quick library (quick/ in the tree) where it has one:
# every wait of it (report intervals, the post deadline, shutdown's grace) is
# TIME_DIVISOR times shorter than the shipped library's; what it counts is the
# same. A test of the shipped timing itself asks for the shipped library.
QUICK_DIR = BUILD_DIR / "quick"
TIME_DIVISOR = (int((QUICK_DIR / "time-divisor").read_text())
                if (QUICK_DIR / "time-divisor").exists() else 1)
LINE_END = b"\r\n" if IS_WINE else b"\n"
LOG_LINE = re.compile(rb"^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]  (.*)$", re.S)

API_KEY = "test-key-7f3a"
# The second known server and its endpoint address, as the default deployment options set them.
SERVER, ENDPOINT_ADDRESS_A = "90112233445566772/101", "192.0.2.10"
SELF, LOBBY = 76561198000000001, 109775241000000000
# fakesteam's script: in a game on the second known server, found by its endpoint.
ON_SERVER = (f"steam_id {SELF}\ngame_played 1\ngame_id 270880\naddress {ENDPOINT_ADDRESS_A}\n"
             f"game_port 27027\nquery_port 27026\nlobby {LOBBY}\n")
KM_TO_MILES = 0.621371192237334
START_LINE = "VORN Davida Client v7.3 CONNECT FALLBACK initialized."
GAME_START_LINE = "VORN Davida Client v7.2 IN-GAME ODOMETER initialized"


# The collector is the same program whatever the plug-in's platform: its own
# behaviour is tested on its own builds (native, asan, tsan), not again beside the DLL.
collector_alone = unittest.skipIf(IS_WINE, "the collector's own behaviour, on its own builds")
# Work on one thread (a command that runs alone): nothing for TSan to see.
one_thread = unittest.skipIf(PLATFORM == "tsan", "one thread: nothing for TSan to see")
# What a row counts (round trips, a latency) on code that other rows already run under
# both sanitizers: the native build alone.
counted_natively = unittest.skipIf(PLATFORM != "native",
                                   "code the other rows run under the sanitizers")

# faketime's library in a process: it and a sanitizer's runtime both take over the
# clock and thread calls, and a process that has both can hang at its start. A clock
# that faketime moves is the collector's logic alone, which the native build tests.
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
faked_clock = unittest.skipIf(PLATFORM != "native", "faketime beside a sanitizer's runtime")


def plugin_seconds(seconds, shipped=False):
    """How long a wait that takes `seconds` in the shipped library takes in the one loaded."""
    return seconds if shipped else seconds / TIME_DIVISOR


def plugin_answer(answer, shipped=False):
    """A loopback collector's answer ("STATUS@MS" held MS milliseconds) in the loaded library's time."""
    status, held, delay = str(answer).partition("@")
    return answer if not held else f"{status}@{round(plugin_seconds(int(delay), shipped))}"


def ini_with_url(url, interval=10):
    return (f"PlayerName=Night Owl\nApiKey={API_KEY}\nCollectorURL={url}\n"
            f"SendIntervalSeconds={interval}\n")


def float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def host_path(path):
    """A path as the plug-in's side sees it: a Z: path under Wine."""
    path = str(pathlib.Path(path).resolve())
    return "Z:" + path.replace("/", "\\") if IS_WINE else path


class HostSession:
    """A gamehost process fed one scenario line at a time on its standard input.
    A helper process Wine starts may hold the output pipe open, so the end of
    the output is never waited for, only gamehost's exit."""

    def __init__(self, argv, env, cwd):
        self.lines, self._queue, self.syncs = [], queue.Queue(), 0
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, env=env, cwd=cwd)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            self.lines.append(line)
            self._queue.put(line)
        self._queue.put(None)

    def send(self, *commands):
        self.process.stdin.write("".join(c + "\n" for c in commands).encode())
        self.process.stdin.flush()

    def expect(self, prefix, timeout=60.0):  # the next line that starts with prefix
        while True:
            try:
                line = self._queue.get(timeout=timeout)
            except queue.Empty:
                line = None
            if line is None:
                raise AssertionError(f"no line {prefix!r} from gamehost: {self.lines}")
            if line.startswith(prefix):
                return line

    def call(self, command, prefix, timeout=60.0):
        self.send(command)
        return self.expect(prefix, timeout)

    def init(self):
        return int(self.call("init", "init -> ").split("->")[1])

    def shutdown(self):
        """Runs shutdown and returns how long it took, in milliseconds."""
        return int(self.call("shutdown", "shutdown ").split()[1])

    def sync(self):  # returns once gamehost has handled every line sent before
        self.syncs += 1
        self.call(f"echo sync-{self.syncs}", f"sync-{self.syncs}")

    def close(self):
        """Ends the scenario; checks that gamehost ended cleanly, sanitizers included."""
        self.process.stdin.close()
        try:
            code = self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        self._reader.join(timeout=5)
        if not self._reader.is_alive():
            self.process.stdout.close()
        output = "\n".join(self.lines)
        assert code == 0, f"gamehost ended with {code}: {output}"
        for fault in ("Sanitizer", "runtime error", "\nerror "):
            assert fault not in "\n" + output, output


class GameFolder:
    """A scratch plug-in folder: a copy of the library, its ini and its log,
    and fakesteam with its script, as `steam_file`, when `steam_script` is given."""

    def __init__(self, ini, steam_script=None, steam_file=STEAM_FILE, shipped=False):
        self._temp = tempfile.TemporaryDirectory(prefix=f"vorn-{PLATFORM}-")
        self.path = pathlib.Path(self._temp.name)
        library = BUILD_DIR if shipped or TIME_DIVISOR == 1 else QUICK_DIR
        shutil.copy2(library / PLUGIN_FILE, self.path / PLUGIN_FILE)
        self.sessions = []
        self.write_ini(ini)
        self.steam_script = steam_script
        self.steam = self.path / steam_file
        if steam_script is not None:
            (self.path / "fakesteam.txt").write_text(steam_script)
            shutil.copy2(BUILD_DIR / "tools" / "fakesteam" / "full" / STEAM_FILE, self.steam)

    def write_ini(self, text):
        (self.path / "VORN_Davida_Client.ini").write_text(text)

    def log_bytes(self):
        try:
            return (self.path / "VORN_Davida_Client.log").read_bytes()
        except OSError:  # none, or a test made it unopenable
            return b""

    def log_messages(self):
        """The log's messages; every line must be "HH:MM:SS  TEXT" and its line end."""
        data = self.log_bytes()
        assert data.endswith(LINE_END) or not data, data[-80:]
        lines = data[: -len(LINE_END)].split(LINE_END) if data else []
        assert all(LOG_LINE.match(l) for l in lines), data
        return [LOG_LINE.match(l).group(2).decode() for l in lines]

    def start(self, **extra_env):
        env = dict(os.environ, **extra_env, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   ASAN_OPTIONS="halt_on_error=1:detect_leaks=1",
                   UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1",
                   TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1",
                   FAKESTEAM_SCRIPT=host_path(self.path / "fakesteam.txt"))
        argv = (["wine"] if IS_WINE else []) + [str(GAMEHOST)]
        if self.steam_script is not None:
            argv += ["--steam", host_path(self.steam)]
        argv += ["--plugin", host_path(self.path / PLUGIN_FILE), "-"]
        session = HostSession(argv, env, self.path)
        self.sessions.append(session)
        session.expect("loaded ")
        return session

    def cleanup(self):
        """Checks that the key reached neither the plug-in's log nor the game's."""
        try:
            game_log = "\n".join(l for s in self.sessions for l in s.lines if "gamelog" in l)
            for where, text in (("plug-in log", self.log_bytes()), ("game log", game_log.encode())):
                assert API_KEY.encode() not in text, f"the API key is in the {where}"
        finally:
            for session in self.sessions:
                if session.process.poll() is None:
                    session.process.kill()
                    session.process.wait()
            self._temp.cleanup()


class Road:
    """One game session on the second known server with the cargo loaded,
    reporting to `url`; it keeps the float odometer the game would show."""

    def __init__(self, test, url, steam_file=STEAM_FILE, shipped=False, **extra_env):
        self.folder = GameFolder(ini_with_url(url), steam_script=ON_SERVER, steam_file=steam_file,
                                 shipped=shipped)
        test.addCleanup(self.folder.cleanup)
        self.odometer = 1000.0
        self.session = self.folder.start(**extra_env)

    def start(self):
        """Init, then the detector's first cycle on the server; the cargo is loaded."""
        assert self.session.init() == 0
        self.session.send("timeout 60000", f"wait-log VORN_server={SERVER}",
                          "config job cargo.loaded=bool:1", f"odometer {self.odometer}")
        self.session.sync()

    def drive(self, seconds, km=0.0):
        """Adds exactly `seconds` and the miles of `km`; returns those miles. The
        detector is parked in fakesteam meanwhile: a cycle that finds the
        server re-primes the frame clock, which would drop one step. The frame
        clock is primed first, since an earlier cycle may have reset it."""
        start = float32(self.odometer)
        self.odometer = float32(start + km)
        self.session.call("steam-hold", "steam-hold ok")
        self.session.send("advance 0", f"drive {seconds} {km} 1", "steam-release")
        self.session.sync()
        return (self.odometer - start) * KM_TO_MILES


def report_body(seconds, miles, truck="Unknown", trailer="None", server=SERVER):
    return ('{"player_name":"Night Owl","server_id":"%s","miles_delta":%.6f,"seconds_delta":%d,'
            '"truck":"%s","trailer":"%s"}' % (server, miles, seconds, truck, trailer)).encode()


class PluginTestCase(unittest.TestCase):
    maxDiff = None

    def collector(self, answers=(), shipped=False, **options):
        """A loopback collector whose answers are held in the loaded library's time."""
        collector = Collector(answers=[plugin_answer(a, shipped) for a in answers], **options)
        self.addCleanup(collector.stop)
        return collector


class ConnectProxy(Collector):
    """An https proxy on loopback that opens tunnels (CONNECT) to loopback
    addresses only, and records each tunnel's target."""

    def __init__(self):
        self.targets = []
        super().__init__()

    def _serve(self, client):
        with client, contextlib.suppress(OSError):
            request = read_request(client) or Request(b"")
            host, _, port = request.target.rpartition(":")
            if request.method != "CONNECT" or not host.startswith("127."):
                return
            self.targets.append(request.target)
            with socket.create_connection((host, int(port))) as upstream:
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                ends = {client: upstream, upstream: client}
                while True:  # until either side hangs up
                    for side in select.select(list(ends), [], [], 60)[0] or [None]:
                        data = side.recv(65536) if side else b""
                        if not data:
                            return
                        ends[side].sendall(data)
