"""Runs the real plug-in library inside tools/gamehost, the way the game does.

Every system test module imports this and is run by ctest once per platform.
The environment, set by ctest (tests/CMakeLists.txt), says which:

  VORN_PLATFORM          native | wine | asan | tsan
  VORN_BUILD_DIR         build tree holding the plug-in, gamehost and fakesteam
                         for that platform (build/windows for wine)
  VORN_NATIVE_BUILD_DIR  the native build tree (it holds tools/collector)
  WINEPREFIX             the Wine prefix kept alive for the test run (wine only)

A test makes a GameFolder: a scratch plug-in folder with a copy of the library
and its ini, so that the plug-in's log lands there. It then either runs a
whole scenario (GameFolder.run) or drives gamehost line by line
(GameFolder.start, HostSession.send / expect). Paths handed to the plug-in's
side go through GameFolder.host_path, which turns them into Windows paths
under Wine.
"""

import os
import pathlib
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

PLATFORM = os.environ.get("VORN_PLATFORM", "native")
IS_WINE = PLATFORM == "wine"
BUILD_DIR = pathlib.Path(os.environ.get("VORN_BUILD_DIR", "build/native")).resolve()
NATIVE_BUILD_DIR = pathlib.Path(os.environ.get("VORN_NATIVE_BUILD_DIR", "build/native")).resolve()
SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]

PLUGIN_FILE = "VORN_Davida_Client.dll" if IS_WINE else "VORN_Davida_Client.so"
STEAM_FILE = "steam_api64.dll" if IS_WINE else "libsteam_api.so"
GAMEHOST = BUILD_DIR / "tools" / ("gamehost.exe" if IS_WINE else "gamehost")
LOG_FILE = "VORN_Davida_Client.log"
INI_FILE = "VORN_Davida_Client.ini"
LINE_END = b"\r\n" if IS_WINE else b"\n"

API_KEY = "test-key-7f3a"
# A collector URL that refuses at once: tests that post start their own collector.
UNREACHABLE_URL = "http://127.0.0.1:1/api/v1/telemetry"
VALID_INI = (
    "PlayerName=Night Owl\n"
    f"ApiKey={API_KEY}\n"
    f"CollectorURL={UNREACHABLE_URL}\n"
    "SendIntervalSeconds=10\n"
)


def ini_with_url(url):
    """VALID_INI reporting to `url`."""
    lines = [l for l in VALID_INI.splitlines() if not l.startswith("CollectorURL=")]
    return "\n".join(lines + [f"CollectorURL={url}"]) + "\n"

# Server identifiers of the default deployment options (cmake/DeploymentOptions.cmake).
KNOWN_SERVERS = [
    "90071992547409921/101",
    "90112233445566772/101",
    "90223344556677883/101",
    "90334455667788994/101",
    "90445566778899005/101",
]
ENDPOINT_ADDRESS_A = "192.0.2.10"
ENDPOINT_ADDRESS_B = "198.51.100.20"

START_LINE = "VORN Davida Client v7.3 CONNECT FALLBACK initialized."
GAME_START_LINE = "VORN Davida Client v7.2 IN-GAME ODOMETER initialized"
SETTINGS_WARNING = "VORN Davida Client: edit VORN_Davida_Client.ini (PlayerName and ApiKey)"
REGISTRATION_WARNING = "VORN Davida Client: unable to register telemetry event callbacks"

LOG_LINE = re.compile(rb"^([0-2][0-9]):([0-5][0-9]):([0-5][0-9])  (.*)$", re.S)


def sanitizer_env():
    """Options that make a sanitizer finding fail the test run."""
    return {
        "ASAN_OPTIONS": "abort_on_error=0:halt_on_error=1:detect_leaks=1:exitcode=66",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1:exitcode=66",
        "TSAN_OPTIONS": "halt_on_error=1:exitcode=66:second_deadlock_stack=1",
    }


def wine_env():
    return {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def host_path(path):
    """A path as the plug-in's side sees it: a Z: path under Wine."""
    path = str(pathlib.Path(path).resolve())
    if IS_WINE:
        return "Z:" + path.replace("/", "\\")
    return path


def steam_library(variant="full"):
    """The fakesteam build of that variant: full, old-accessors, no-key-by-index, no-request."""
    return BUILD_DIR / "tools" / "fakesteam" / variant / STEAM_FILE


class Run:
    """What one gamehost run printed, parsed."""

    def __init__(self, returncode, lines, stderr=""):
        self.returncode = returncode
        self.lines = lines
        self.stderr = stderr

    @property
    def output(self):
        return "\n".join(self.lines)

    @property
    def gamelog(self):
        """(type, text) for every line the plug-in wrote to the game's log."""
        found = []
        for line in self.lines:
            m = re.match(r"^gamelog (-?\d+) (.*)$", line)
            if m:
                found.append((int(m.group(1)), m.group(2)))
        return found

    @property
    def registrations(self):
        return [l for l in self.lines if l.startswith("register-")]

    @property
    def init_results(self):
        return [int(l.split("->")[1]) for l in self.lines if l.startswith("init -> ")]

    @property
    def shutdown_ms(self):
        return [int(l.split()[1]) for l in self.lines if l.startswith("shutdown ")]

    @property
    def errors(self):
        return [l for l in self.lines if l.startswith("error ")]


class HostSession:
    """A gamehost process fed one scenario line at a time on its standard input."""

    def __init__(self, argv, env, cwd):
        self._lines = []
        self._queue = queue.Queue()
        self.process = subprocess.Popen(
            argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=env, cwd=cwd)
        self._stderr = []
        self._reader = threading.Thread(target=self._read_stdout, daemon=True)
        self._reader.start()
        self._err_reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._err_reader.start()

    def _read_stdout(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            self._lines.append(line)
            self._queue.put(line)
        self._queue.put(None)

    def _read_stderr(self):
        for raw in self.process.stderr:
            self._stderr.append(raw.decode("utf-8", "replace"))

    def send(self, *commands):
        for command in commands:
            self.process.stdin.write(command.encode("utf-8") + b"\n")
        self.process.stdin.flush()

    def expect(self, prefix, timeout=30.0):
        """Waits for the next output line that starts with prefix and returns it."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"gamehost printed no line starting with {prefix!r}; "
                                     f"output so far: {self._lines}")
            try:
                line = self._queue.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError(f"gamehost ended before printing {prefix!r}; output: "
                                     f"{self._lines}; stderr: {''.join(self._stderr)}")
            if line.startswith(prefix):
                return line

    def call(self, command, prefix, timeout=30.0):
        self.send(command)
        return self.expect(prefix, timeout)

    def init(self):
        """Runs init and returns its result code."""
        return int(self.call("init", "init -> ").split("->")[1])

    def shutdown(self, timeout=30.0):
        """Runs shutdown and returns how long it took, in milliseconds."""
        return int(self.call("shutdown", "shutdown ", timeout).split()[1])

    def close(self, timeout=60.0):
        """Ends the scenario (EOF) and returns the whole Run."""
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError(f"gamehost did not end; output: {self._lines}")
        self._reader.join(timeout=5)
        self._err_reader.join(timeout=5)
        self.process.stdout.close()
        self.process.stderr.close()
        return Run(self.process.returncode, list(self._lines), "".join(self._stderr))


def api_keys_in(ini):
    """The ApiKey values a settings file sets, trimmed as the plug-in trims
    them; placeholders and keys too short to search for are left out."""
    keys = set()
    for line in ini.split(b"\n"):
        name, equals, value = line.strip(b" \t\r").partition(b"=")
        value = value.strip(b" \t\r")
        if equals and name.strip(b" \t") == b"ApiKey" and len(value) >= 6 \
                and value != b"PASTE_API_KEY_HERE":
            keys.add(value)
    return keys


class GameFolder:
    """A scratch plug-in folder: a copy of the library, its ini, its log.

    ini:     text of VORN_Davida_Client.ini, or None for no file.
    steam:   fakesteam variant loaded before the plug-in, or None for no Steam.
    steam_script: initial text of the fakesteam script (see tools/fakesteam).
    """

    def __init__(self, ini=VALID_INI, steam=None, steam_script=None):
        self._temp = tempfile.TemporaryDirectory(prefix=f"vorn-{PLATFORM}-")
        self.path = pathlib.Path(self._temp.name)
        self.plugin = self.path / PLUGIN_FILE
        shutil.copy2(BUILD_DIR / PLUGIN_FILE, self.plugin)
        self.api_keys = set()
        self._game_logs = []  # output lines of every gamehost run in this folder
        if ini is not None:
            self.write_ini(ini)
        self.steam = steam
        self.steam_script_path = self.path / "fakesteam.txt"
        if steam_script is not None:
            self.write_steam_script(steam_script)

    def cleanup(self):
        # Every system test ends here, so each one also checks that no API
        # key of its settings files reached the plug-in's log or the game's.
        try:
            self.assert_no_key_leaked()
        finally:
            self._temp.cleanup()

    def assert_no_key_leaked(self):
        try:
            log = self.log_bytes()
        except OSError:  # a test made the log unopenable
            log = b""
        game_log = "\n".join(line for lines in self._game_logs for line in lines
                             if line.startswith("gamelog ")).encode("utf-8", "replace")
        for key in self.api_keys:
            for where, text in (("plug-in log", log), ("game log", game_log)):
                if key in text:
                    raise AssertionError(f"the API key {key[:16]!r}... is in the {where}")

    def add_game_output(self, lines):
        """Counts `lines` as output of a gamehost run in this folder: the key
        scan at cleanup reads them then, so a list still growing is fine."""
        self._game_logs.append(lines)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()

    def write_ini(self, text):
        data = text.encode("utf-8") if isinstance(text, str) else text
        self.api_keys |= api_keys_in(data)
        (self.path / INI_FILE).write_bytes(data)

    def write_steam_script(self, text):
        """Replaces the fakesteam script in one step, so a reader never sees half of it."""
        staging = self.path / "fakesteam.txt.new"
        staging.write_text(text)
        os.replace(staging, self.steam_script_path)

    def host_path(self, path):
        return host_path(path)

    # --- the plug-in's log ------------------------------------------------
    @property
    def log_path(self):
        return self.path / LOG_FILE

    def log_bytes(self):
        try:
            return self.log_path.read_bytes()
        except FileNotFoundError:
            return b""

    def log_lines(self):
        """Raw lines of the log without their line ends (checked to be CR LF under Wine)."""
        data = self.log_bytes()
        if not data:
            return []
        assert data.endswith(LINE_END), f"log does not end in {LINE_END!r}: {data[-40:]!r}"
        return data[: -len(LINE_END)].split(LINE_END)

    def log_messages(self):
        """The messages of the log, without the time stamp; checks every line's layout."""
        messages = []
        for line in self.log_lines():
            m = LOG_LINE.match(line)
            assert m, f"log line without HH:MM:SS and two spaces: {line!r}"
            assert int(m.group(1)) < 24, line
            messages.append(m.group(4).decode("utf-8", "replace"))
        return messages

    def wait_for_log(self, text, timeout=20.0):
        """Waits until a log message contains text; returns that message."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for message in self.log_messages_lenient():
                if text in message:
                    return message
            time.sleep(0.05)
        raise AssertionError(f"log never held {text!r}; log: {self.log_bytes()!r}")

    def log_messages_lenient(self):
        data = self.log_bytes()
        out = []
        for line in data.split(LINE_END):
            m = LOG_LINE.match(line)
            if m:
                out.append(m.group(4).decode("utf-8", "replace"))
        return out

    # --- running gamehost ---------------------------------------------------
    def _argv_env(self, extra_env):
        env = dict(os.environ)
        env.update(sanitizer_env())
        if self.steam is not None:
            env["FAKESTEAM_SCRIPT"] = self.host_path(self.steam_script_path)
        if IS_WINE:
            env.update(wine_env())
            argv = ["wine", str(GAMEHOST)]
        else:
            argv = [str(GAMEHOST)]
        if self.steam is not None:
            argv += ["--steam", self.host_path(steam_library(self.steam))]
        argv += ["--plugin", self.host_path(self.plugin)]
        if extra_env:
            env.update(extra_env)
        return argv, env

    def run(self, scenario, timeout=120.0, extra_env=None):
        """Runs a whole scenario (text, one command a line) and returns the Run."""
        script = self.path / "scenario.txt"
        script.write_text(scenario)
        argv, env = self._argv_env(extra_env)
        argv.append(self.host_path(script))
        # Output goes to files, not pipes: a helper process that Wine may start
        # would hold a pipe open after gamehost has ended.
        out_path, err_path = self.path / "gamehost.out", self.path / "gamehost.err"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  env=env, cwd=self.path, timeout=timeout)
        lines = out_path.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n")
        self.add_game_output(lines.splitlines())
        return Run(done.returncode, lines.splitlines(),
                   err_path.read_bytes().decode("utf-8", "replace"))

    def start(self, extra_env=None):
        """Starts gamehost reading its scenario from standard input; returns a HostSession."""
        argv, env = self._argv_env(extra_env)
        argv.append("-")
        session = HostSession(argv, env, self.path)
        self.add_game_output(session._lines)
        session.expect("loaded ")
        return session


class PluginTestCase(unittest.TestCase):
    """Base class: makes scratch folders that are cleaned up after each test and
    checks that gamehost ended cleanly (no sanitizer report, no crash)."""

    def folder(self, **kwargs):
        folder = GameFolder(**kwargs)
        self.addCleanup(folder.cleanup)
        return folder

    def assertCleanRun(self, run):
        self.assertEqual(run.returncode, 0,
                         f"gamehost failed ({run.returncode}); output:\n{run.output}\n"
                         f"stderr:\n{run.stderr}")
        self.assertEqual(run.errors, [], run.output)
        self.assertNotIn("Sanitizer", run.stderr)
        self.assertNotIn("runtime error", run.stderr)

    def assertKeyNotLogged(self, folder, key=API_KEY):
        """The API key goes into the request header and nowhere else."""
        self.assertNotIn(key.encode(), folder.log_bytes())
