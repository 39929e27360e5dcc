#!/usr/bin/env python3
"""The demo drive: the whole system. vorn-collector on a fresh SQLite file
listens on 127.0.0.1:8787, the demo player is added and its key written into
the plug-in's ini, and the real plug-in in tools/gamehost (Steam played by
tools/fakesteam) drives a scenario file in real time with a live progress
line. At the end it sets the collector's leaderboard beside what the script
drove, and leaves the leaderboard page and the player's page as HTML files
(and, where Chromium is installed, as PNGs 1280 and 360 pixels wide). Exit
status: 0 when they agree, 1 when they do not, 2 when the demo could not run.

Scenario commands, one a line (blank lines and # comments are skipped):

  timelapse N            game seconds per wall-clock second from here on
  steam join N           Steam reports a game session on server N's endpoint
                         (1, 2 or 5: the servers that have one)
  steam leave            Steam reports no game session
  init | shutdown        the game starts or stops the plug-in
  wait-server N|none     wait until the detector's status line names server N
                         (or none)
  config ID [ATTRS]      a configuration event, as gamehost takes it; a "job"
                         configuration sets the cargo state the script counts by
  drive SECONDS KMH      drive SECONDS of game time at KMH, a frame every 0.1 s
  pause SECONDS          the game is paused for SECONDS of wall-clock time: frames
                         go on, the game's clock and the truck stand still
  restart                the next frame carries the timer-restart flag and the
                         game's clock starts again from zero
  wait-reports           wait until the leaderboard holds all that was driven

Every drive of the script is on a known server with the cargo loaded, so what
the script drives is what the plug-in counts and the leaderboard must show.
"""

import argparse
import ctypes
import dataclasses
import json
import os
import pathlib
import shutil
import signal
import struct
import subprocess
import sys
import time
import urllib.parse
import urllib.request

KM_TO_MILES = 0.621371192237334
FRAME_STEP_US = 100_000
# The detector waits twenty 100 ms steps after every cycle.
DETECTOR_PERIOD_SECONDS = 2.0
# A report's miles are written with six decimals.
MILES_ROUNDING = 0.5e-6
COLLECTOR_HOST = "127.0.0.1"
COLLECTOR_PORT = 8787
COLLECTOR_PATH = "/api/v1/telemetry"
PLUGIN_INI = "VORN_Davida_Client.ini"
PLUGIN_LOG = "VORN_Davida_Client.log"
STATUS_PREFIX = "Steam auto-server detector v7.3: "
START_ODOMETER_KM = 1234.5
# What the demo's collector calls the five servers on its pages.
SERVER_NAMES = ["Coast to Coast", "Desert Run", "Night Convoy", "Mountain Pass", "Harbour Haul"]

# Game-session endpoints by server number: (address key, game port, query port).
ENDPOINTS = {1: ("A", 27021, 27022), 2: ("A", 27027, 27026), 5: ("B", 27015, 27016)}
STEAM_ID = 76561198000000001
GAME_ID = 270880
LOBBY_ID = 109775241000000000


class DemoError(Exception):
    """The demo could not run (as opposed to totals that disagree)."""


def float32(value):
    """The value as the SDK hands it over: a 32-bit float."""
    return struct.unpack("f", struct.pack("f", value))[0]


def read_ini(path):
    """key -> value by the plug-in's own rules: whole-line comments, first '=' splits,
    the last occurrence wins."""
    values = {}
    for raw in pathlib.Path(path).read_bytes().decode("latin-1").split("\n"):
        line = raw.strip(" \t\r\n")
        if not line or line[0] in "#;[" or "=" not in line:
            continue
        key, value = line.split("=", 1)
        values[key.strip(" \t\r\n")] = value.strip(" \t\r\n")
    return values


def send_interval(ini):
    text = ini.get("SendIntervalSeconds", "60")
    digits = ""
    for ch in text.lstrip(" \t"):
        if ch.isdigit() or (not digits and ch in "+-"):
            digits += ch
        else:
            break
    try:
        return max(10, int(digits))
    except ValueError:
        return 60


def read_cache(build_dir):
    """The deployment options a build tree was configured with."""
    cache = {}
    path = pathlib.Path(build_dir) / "CMakeCache.txt"
    if not path.exists():
        raise DemoError(f"{build_dir} is not a configured build tree (no CMakeCache.txt)")
    for line in path.read_text().splitlines():
        if line.startswith("VORN_") and "=" in line and ":" in line.split("=", 1)[0]:
            name_type, value = line.split("=", 1)
            cache[name_type.split(":", 1)[0]] = value
    return cache


# --- processes -------------------------------------------------------------------

def _die_with_parent():
    """Children end when the demo ends, however it ends (Linux)."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


class Processes:
    """Every process the demo starts; their ids are also written to a file that
    tools/demo.sh reads when it cleans up."""

    def __init__(self, pid_file):
        self.pid_file = pid_file
        self.running = []

    def start(self, argv, **kwargs):
        process = subprocess.Popen(argv, preexec_fn=_die_with_parent, **kwargs)
        self.running.append(process)
        with open(self.pid_file, "a") as out:
            out.write(f"{process.pid}\n")
        return process

    def stop_all(self):
        for process in reversed(self.running):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.running = []
        self.pid_file.unlink(missing_ok=True)


class Collector:
    """vorn-collector on a fresh SQLite file, on the plug-in's default collector
    address, with the demo player added."""

    def __init__(self, processes, binary, work, player, servers):
        self.url = f"http://{COLLECTOR_HOST}:{COLLECTOR_PORT}"
        db = f"sqlite:{work / 'vorn-collector.db'}"
        added = subprocess.run([str(binary), "player", "add", player, "--db", db],
                               capture_output=True, text=True)
        if added.returncode != 0:
            raise DemoError(f"vorn-collector player add failed: {added.stderr.strip()}")
        self.api_key = added.stdout.strip().splitlines()[-1]
        # The drive runs faster than real time, so the wall-time rule stays off;
        # each look at the leaderboard sees every report stored before it.
        self.process = processes.start(
            [str(binary), "serve", "--db", db, "--listen", f"{COLLECTOR_HOST}:{COLLECTOR_PORT}",
             "--no-wall-time-check", "--board-reuse-ms", "0",
             *(f"--server-name={server}={name}" for server, name in zip(servers, SERVER_NAMES))],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline().decode().strip()
        if line != f"listening on {self.url}":
            self.process.wait(timeout=5)
            raise DemoError(f"the collector could not listen on {COLLECTOR_HOST}:{COLLECTOR_PORT} "
                            f"(is another demo or collector running?): "
                            f"{self.process.stderr.read().decode().strip()}")

    def get(self, path):
        with urllib.request.urlopen(self.url + path, timeout=10) as answer:
            return answer.read()

    def totals(self):
        """(reports, miles, seconds) of the demo player on the leaderboard."""
        players = json.loads(self.get("/api/v1/leaderboard"))["players"]
        if not players:
            return 0, 0.0, 0
        return players[0]["reports"], players[0]["miles"], players[0]["seconds"]


class Game:
    """gamehost with the plug-in, fed one command a line. Its output goes to a
    file, not a pipe: a helper process that Wine starts could hold a pipe."""

    def __init__(self, processes, argv, env, cwd, out_path, err_path):
        self.out_path = out_path
        self._out = open(out_path, "wb")
        self._err = open(err_path, "wb")
        self.process = processes.start(argv, stdin=subprocess.PIPE, stdout=self._out,
                                       stderr=self._err, env=env, cwd=cwd)
        self.marks = 0
        self.initialised = False
        self.shut_down = False

    def lines(self):
        return self.out_path.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n") \
            .splitlines()

    def send(self, *commands):
        try:
            self.process.stdin.write("".join(c + "\n" for c in commands).encode())
            self.process.stdin.flush()
        except (BrokenPipeError, OSError):
            raise DemoError(f"gamehost ended early; its output:\n  " +
                            "\n  ".join(self.lines()))

    def wait_line(self, predicate, what, timeout=30.0):
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines():
                if predicate(line):
                    return line
            if self.process.poll() is not None:
                raise DemoError(f"gamehost ended before {what}; its output:\n  " +
                                "\n  ".join(self.lines()))
            if time.monotonic() > deadline:
                raise DemoError(f"gamehost did not get to {what} within {timeout:.0f} s")
            time.sleep(0.02)

    def sync(self):
        """Waits until gamehost has worked through everything sent so far."""
        self.marks += 1
        mark = f"demo-mark {self.marks}"
        self.send(f"echo {mark}")
        self.wait_line(lambda line: line == mark, "the end of the commands sent")

    def finish(self, timeout=60.0):
        if self.initialised and not self.shut_down and self.process.poll() is None:
            try:
                self.send("shutdown")
            except DemoError:
                pass
            self.shut_down = True
        try:
            self.process.stdin.close()
        except (BrokenPipeError, OSError):
            pass
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._out.close()
        self._err.close()


# --- the drive -------------------------------------------------------------------

class Demo:
    def __init__(self, args):
        self.args = args
        self.wine = args.platform == "wine"
        self.plugin_dir = pathlib.Path(args.windows_dir if self.wine else args.native_dir).resolve()
        self.native_dir = pathlib.Path(args.native_dir).resolve()
        self.work = pathlib.Path(args.work).resolve()
        self.scale = 1.0 / 3.0 if args.short else 1.0
        self.timelapse = 1.0
        self.clock_us = 0
        self.odometer_km = START_ODOMETER_KM
        self.driven_us = 0
        self.driven_miles = 0.0
        self.processes = Processes(self.work / "pids")
        self.live = sys.stdout.isatty()
        self.last_progress = 0.0
        self.progress_shown = False
        self.status_lines_seen = 0

    # --- setting up ---
    def prepare(self):
        cache = read_cache(self.plugin_dir)
        self.servers = cache["VORN_KNOWN_SERVERS"].split(";")
        self.addresses = {"A": cache["VORN_ENDPOINT_ADDRESS_A"], "B": cache["VORN_ENDPOINT_ADDRESS_B"]}
        default_host = cache.get("VORN_DEFAULT_COLLECTOR_HOST", COLLECTOR_HOST)

        plugin_file = "VORN_Davida_Client.dll" if self.wine else "VORN_Davida_Client.so"
        steam_file = "steam_api64.dll" if self.wine else "libsteam_api.so"
        gamehost = self.plugin_dir / "tools" / ("gamehost.exe" if self.wine else "gamehost")
        steam = self.plugin_dir / "tools" / "fakesteam" / "full" / steam_file
        self.collector_binary = self.native_dir / "collector" / "vorn-collector"
        for needed in (self.plugin_dir / plugin_file, gamehost, steam, self.collector_binary):
            if not needed.exists():
                raise DemoError(f"{needed} is missing: build it first (tools/demo.sh builds it)")

        if self.work.exists():
            shutil.rmtree(self.work)
        game_bin = self.work / "game" / "bin" / ("win_x64" if self.wine else "linux_x64")
        self.plugins = game_bin / "plugins"
        self.plugins.mkdir(parents=True)
        shutil.copy2(self.plugin_dir / plugin_file, self.plugins / plugin_file)
        shutil.copy2(steam, game_bin / steam_file)
        ini_text = pathlib.Path(self.args.ini).read_text()
        if default_host != COLLECTOR_HOST:
            # This build reports elsewhere by default; the demo keeps its reports local.
            ini_text += f"CollectorURL=http://{COLLECTOR_HOST}:{COLLECTOR_PORT}{COLLECTOR_PATH}\n"
            self.say(f"this build's default collector host is {default_host}: the demo ini "
                     f"points the plug-in at {COLLECTOR_HOST}:{COLLECTOR_PORT} instead")
        (self.plugins / PLUGIN_INI).write_text(ini_text)
        ini = read_ini(self.plugins / PLUGIN_INI)
        self.player = ini.get("PlayerName", "")
        self.interval = send_interval(ini)
        self.steam_script = self.work / "steam.txt"
        self.write_steam([f"steam_id {STEAM_ID}", "game_played 0"])

        env = dict(os.environ)
        env["FAKESTEAM_SCRIPT"] = self.host_path(self.steam_script)
        argv = [str(gamehost), "--steam", self.host_path(game_bin / steam_file),
                "--plugin", self.host_path(self.plugins / plugin_file), "-"]
        if self.wine:
            env.update({"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="})
            argv.insert(0, "wine")
        self.game_argv, self.game_env = argv, env
        self.say(f"game folder: {self.work / 'game'} ({'DLL under Wine' if self.wine else 'Linux .so'})")

    def host_path(self, path):
        path = str(pathlib.Path(path).resolve())
        return "Z:" + path.replace("/", "\\") if self.wine else path

    def write_steam(self, lines):
        staging = self.steam_script.with_suffix(".new")
        staging.write_text("\n".join(lines) + "\n")
        os.replace(staging, self.steam_script)

    # --- output ---
    def say(self, text):
        self.clear_progress()
        print(text, flush=True)

    def clear_progress(self):
        if self.progress_shown:
            sys.stdout.write("\r\033[K")
            self.progress_shown = False

    def progress_line(self):
        count, miles, seconds = self.collector.totals()
        clock = self.clock_us / 1e6
        return (f"  game clock {int(clock // 60)}:{clock % 60:04.1f}"
                f"  driven {self.driven_miles:.3f} mi {self.driven_us / 1e6:.0f} s"
                f"  | leaderboard {miles:.3f} mi {seconds} s ({count} reports)")

    def progress(self, force=False):
        """The live line on a terminal; elsewhere (a log) the caller prints it per step."""
        now = time.monotonic()
        if not self.live or (not force and now - self.last_progress < 0.25):
            return
        self.last_progress = now
        sys.stdout.write("\r\033[K" + self.progress_line())
        sys.stdout.flush()
        self.progress_shown = True

    def wait(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.progress()
            time.sleep(min(0.05, max(0.0, deadline - time.monotonic())))

    # --- the session ---
    def run(self):
        self.prepare()
        self.collector = Collector(self.processes, self.collector_binary, self.work, self.player,
                                   self.servers)
        ini_path = self.plugins / PLUGIN_INI
        ini_path.write_text(ini_path.read_text().replace("PASTE_API_KEY_HERE",
                                                         self.collector.api_key))
        self.say(f"collector: vorn-collector at {self.collector.url}, player {self.player!r} "
                 f"added and its new key written into {ini_path.name}; "
                 f"reports every {self.interval} s")
        self.game = Game(self.processes, self.game_argv, self.game_env, self.work,
                         self.work / "gamehost.out", self.work / "gamehost.err")
        try:
            self.game.wait_line(lambda line: line.startswith("loaded "), "loading the plug-in", 60)
            for number, command, words in load_scenario(self.args.scenario):
                try:
                    self.step(command, words)
                except DemoError as error:
                    raise DemoError(f"{self.args.scenario}:{number}: {error}")
        finally:
            self.clear_progress()
            self.game.finish()
        return self.report()

    def step(self, command, words):
        now = time.monotonic
        if command == "timelapse":
            self.timelapse = float(words[0])
        elif command == "steam":
            if words[0] == "join":
                number = int(words[1])
                address_key, game_port, query_port = ENDPOINTS[number]
                self.write_steam([f"steam_id {STEAM_ID}", "game_played 1", f"game_id {GAME_ID}",
                                  f"address {self.addresses[address_key]}",
                                  f"game_port {game_port}", f"query_port {query_port}",
                                  f"lobby {LOBBY_ID}", "rp status=Driving"])
                self.say(f"Steam: in a game session at {self.addresses[address_key]}:{game_port} "
                         f"(query port {query_port}), the endpoint of server {number}")
            else:
                self.write_steam([f"steam_id {STEAM_ID}", "game_played 0"])
                self.say("Steam: the player has left the server")
        elif command == "init":
            self.game.send("init")
            result = self.game.wait_line(lambda line: line.startswith("init -> "), "init")
            for line in self.game.lines():
                if line.startswith("gamelog "):
                    kind, _, text = line[len("gamelog "):].partition(" ")
                    self.say(f"game log ({'message' if kind == '0' else 'warning'}): {text}")
            if result != "init -> 0":
                raise DemoError(f"the plug-in refused to start ({result})")
            self.game.initialised = True
        elif command == "shutdown":
            self.game.send("shutdown")
            line = self.game.wait_line(lambda line: line.startswith("shutdown "), "shutdown", 60)
            self.game.shut_down = True
            self.say(f"game: plug-in shut down ({line.split()[1]} ms)")
        elif command == "wait-server":
            self.wait_server(None if words[0] == "none" else int(words[0]))
        elif command == "config":
            self.config(words)
        elif command == "drive":
            seconds, kmh = float(words[0]) * self.scale, float(words[1])
            self.say(f"drive {seconds:.0f} s at {kmh:.0f} km/h")
            self.frames(seconds, kmh)
            if not self.live:
                self.say(self.progress_line())
        elif command == "pause":
            seconds = float(words[0]) * self.scale
            self.say(f"pause {seconds:.0f} s: the game's clock stands still")
            self.frames(seconds * self.timelapse, 0.0, paused=True)
            if not self.live:
                self.say(self.progress_line())
        elif command == "restart":
            self.say("timer restart: the game's clock starts again from zero")
            self.clock_us = 0
            self.send_frame(restart=True)
        elif command == "wait-reports":
            self.wait_reports()

    def config(self, words):
        self.game.send("config " + " ".join(words))
        if words[0] == "job":
            attributes = [a.strip() for a in " ".join(words[1:]).split(";")]
            loaded = any(a.replace(" ", "").startswith("cargo.loaded=bool:") and
                         a.split(":", 1)[1].strip() not in ("0", "") for a in attributes)
            if loaded:
                # The first odometer sample with the cargo loaded is the baseline.
                self.game.send(f"odometer {float32(self.odometer_km):.9g}")
            self.game.sync()
            self.say("job: cargo loaded" if loaded else "job: cargo delivered, the job is over")
        else:
            shown = [a.split("=", 1)[0] + "=" + a.split(":", 1)[-1] for a in
                     " ".join(words[1:]).split(";") if "=" in a]
            self.say(f"{words[0]}: {', '.join(s.strip() for s in shown) or 'no attributes'}")

    def send_frame(self, restart=False, kmh=0.0):
        km = float32(self.odometer_km)
        self.game.send(f"frame {self.clock_us}{' restart' if restart else ''}",
                       f"channel truck.speed float {kmh / 3.6:.3f}",
                       f"odometer {km:.9g}")

    def frames(self, game_seconds, kmh, paused=False):
        """Frames every 0.1 s of game time, paced to the wall clock by the timelapse."""
        count = int(round(game_seconds * 1e6 / FRAME_STEP_US))
        wall_per_frame = FRAME_STEP_US / 1e6 / self.timelapse
        start = time.monotonic()
        for index in range(1, count + 1):
            due = start + index * wall_per_frame
            delay = due - time.monotonic()
            if delay > 0:
                self.progress()
                time.sleep(delay)
            if not paused:
                before = float32(self.odometer_km)
                self.clock_us += FRAME_STEP_US
                self.odometer_km += kmh * FRAME_STEP_US / 1e6 / 3600.0
                self.driven_us += FRAME_STEP_US
                self.driven_miles += (float32(self.odometer_km) - before) * KM_TO_MILES
            self.send_frame(kmh=kmh)
        self.game.sync()

    def status_lines(self):
        try:
            data = (self.plugins / PLUGIN_LOG).read_bytes().decode("utf-8", "replace")
        except FileNotFoundError:
            return []
        return [line.split(STATUS_PREFIX, 1)[1].rstrip("\r") for line in data.split("\n")
                if STATUS_PREFIX in line]

    def wait_server(self, number):
        wanted = "NONE" if number is None else self.servers[number - 1]
        deadline = time.monotonic() + 20
        while True:
            lines = self.status_lines()
            fresh = lines[self.status_lines_seen:]
            if fresh and fresh[-1].endswith(f" VORN_server={wanted}"):
                self.status_lines_seen = len(lines)
                source = fresh[-1].split(" detect_source=")[1].split()[0]
                self.say(f"detector: VORN_server={wanted} (detect_source={source})")
                return
            if time.monotonic() > deadline:
                raise DemoError(f"the detector never named {wanted}; status lines: {lines}")
            self.wait(0.05)

    def wait_reports(self):
        self.say("waiting for the leaderboard to hold everything driven")
        deadline = time.monotonic() + 2 * self.interval + 10
        while time.monotonic() < deadline:
            count, miles, _ = self.collector.totals()
            if abs(miles - self.driven_miles) <= miles_tolerance(count):
                self.progress(force=True)
                self.say(f"collector: all stored ({count} reports)")
                return
            self.wait(0.1)
        self.say("collector: not everything driven reached the leaderboard in time")

    def save_pages(self):
        """The leaderboard and the player's page as HTML and, where Chromium is installed, as
        PNGs 1280 and 360 pixels wide."""
        chromium = shutil.which("chromium")
        profile = self.work / "chromium-profile"
        print()
        pages = (("leaderboard", "/", 860, 1200),
                 ("player", "/players/" + urllib.parse.quote(self.player, safe=""), 1300, 2000))
        for name, path, height, narrow_height in pages:
            html = self.work / f"{name}.html"
            html.write_bytes(self.collector.get(path))
            shown = [html]
            for width, window_height in ((1280, height), (360, narrow_height)):
                png = self.work / f"{name}-{width}.png"
                if chromium:
                    subprocess.run(
                        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                         "--no-first-run", "--disable-background-networking", "--hide-scrollbars",
                         "--disable-component-update", "--disable-sync",
                         f"--user-data-dir={profile}", f"--window-size={width},{window_height}",
                         f"--screenshot={png}", self.collector.url + path],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
                if png.exists():
                    shown.append(png)
            print(f"The {name} page: " + "\n    ".join(str(file) for file in shown))
        shutil.rmtree(profile, ignore_errors=True)

    # --- the verdict ---
    def report(self):
        board = json.loads(self.collector.get("/api/v1/leaderboard"))
        print("\nThe leaderboard (GET /api/v1/leaderboard):")
        print(json.dumps(board, indent=2))
        count, miles, seconds = self.collector.totals()
        verdict = judge(self.driven_us, self.driven_miles, count, miles, seconds)
        rows = [("", "driven (script)", "leaderboard", "allowed", ""),
                ("miles", f"{self.driven_miles:.6f}", f"{miles:.6f}",
                 f"± {verdict.tolerance:.7f}", "ok" if verdict.miles_ok else "DIFFERENT"),
                ("seconds", f"{self.driven_us / 1e6:.1f}", f"{seconds}",
                 f"{verdict.least} to {verdict.most}", "ok" if verdict.seconds_ok else "DIFFERENT")]
        widths = [max(len(row[i]) for row in rows) for i in range(5)]
        print("\nOn a known server with the cargo loaded:")
        for row in rows:
            print("  " + "  ".join(cell.rjust(width) if i else cell.ljust(width)
                                   for i, (cell, width) in enumerate(zip(row, widths))))
        print(f"  miles: every stored report ({count}) rounds its miles to six decimals, "
              f"± 0.0000005 each.\n  seconds: whole seconds only, and each detector cycle that "
              f"finds the server\n  re-primes the frame clock, which may drop one 0.1 s step.")
        self.save_pages()

        print(f"\nThe plug-in's log ({self.plugins / PLUGIN_LOG}):")
        try:
            log = (self.plugins / PLUGIN_LOG).read_bytes().decode("utf-8", "replace")
        except FileNotFoundError:
            log = ""
        for line in log.replace("\r\n", "\n").splitlines():
            print(f"  {line}")

        print("\nThe totals agree." if verdict.agree else "\nTHE TOTALS DISAGREE.")
        return 0 if verdict.agree else 1


@dataclasses.dataclass
class Verdict:
    tolerance: float
    least: int
    most: int
    miles_ok: bool
    seconds_ok: bool
    agree: bool


def miles_tolerance(reports):
    return reports * MILES_ROUNDING + 1e-9


def judge(driven_us, driven_miles, reports, miles, seconds):
    """Miles may differ by the six-decimal rounding of each report; seconds are
    whole, and every detector cycle over the drive may drop one frame step."""
    tolerance = miles_tolerance(reports)
    driven = driven_us / 1e6
    cycles = int(driven // DETECTOR_PERIOD_SECONDS) + 2
    most = int(driven + 1e-6)
    least = max(0, int(driven - cycles * FRAME_STEP_US / 1e6 - 1e-6))
    miles_ok = abs(miles - driven_miles) <= tolerance
    seconds_ok = least <= seconds <= most
    return Verdict(tolerance=tolerance, least=least, most=most, miles_ok=miles_ok,
                   seconds_ok=seconds_ok, agree=miles_ok and seconds_ok and reports > 0)


def load_scenario(path):
    known = {"timelapse": 1, "steam": 1, "init": 0, "shutdown": 0, "wait-server": 1,
             "config": 1, "drive": 2, "pause": 1, "restart": 0, "wait-reports": 0}
    steps = []
    for number, raw in enumerate(pathlib.Path(path).read_text().splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        command, *words = line.split()
        if command not in known or len(words) < known[command] or \
                (command == "steam" and not (words[0] == "leave" or
                                             (words[0] == "join" and len(words) > 1 and
                                              words[1].isdigit() and int(words[1]) in ENDPOINTS))):
            raise DemoError(f"{path}:{number}: not a demo command: {line}")
        steps.append((number, command, words))
    return steps


def main():
    here = pathlib.Path(__file__).resolve().parent
    root = here.parents[1]
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--platform", choices=["wine", "native"], default="wine")
    parser.add_argument("--windows-dir", default=str(root / "build" / "windows"),
                        help="windows build tree: the DLL, gamehost.exe, fakesteam")
    parser.add_argument("--native-dir", default=str(root / "build" / "native"),
                        help="native build tree: the collector (and the .so with --platform native)")
    parser.add_argument("--work", default=None, help="scratch folder (emptied first)")
    parser.add_argument("--scenario", default=str(here / "drive.scenario"))
    parser.add_argument("--ini", default=str(here / PLUGIN_INI))
    parser.add_argument("--short", action="store_true", help="every drive and pause a third as long")
    args = parser.parse_args()
    if args.work is None:
        args.work = str(root / "build" / f"demo-run-{args.platform}")

    # Ends like Ctrl-C when tools/demo.sh or ctest stops it, so the children are stopped.
    def stop(signum, _frame):
        raise KeyboardInterrupt(f"signal {signum}")
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    _die_with_parent()

    demo = None
    try:
        demo = Demo(args)
        return demo.run()
    except (DemoError, OSError) as error:
        print(f"\ndemo: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("\ndemo: stopped", file=sys.stderr)
        return 130
    finally:
        if demo is not None:
            demo.processes.stop_all()


if __name__ == "__main__":
    sys.exit(main())
