"""The release package of one build tree holds what the player's guide says it
holds, and its settings template works with the packaged plug-in: as shipped
it makes the plug-in ask for an edit, and with the two placeholders filled in
the plug-in starts.

usage: check_packages.py BUILD_DIR   (a windows tree runs its checks under Wine)
"""

import os
import pathlib
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
BUILD_DIR = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else "build/native").resolve()

START_LINE = "VORN Davida Client v7.3 CONNECT FALLBACK initialized."
GAME_START_LINE = "VORN Davida Client v7.2 IN-GAME ODOMETER initialized"
SETTINGS_WARNING = "VORN Davida Client: edit VORN_Davida_Client.ini (PlayerName and ApiKey)"


def cache_value(name):
    for line in (BUILD_DIR / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    raise KeyError(name)


IS_WINDOWS = (BUILD_DIR / "VORN_Davida_Client.dll").exists()
VERSION = cache_value("CMAKE_PROJECT_VERSION")
PLUGIN = "VORN_Davida_Client.dll" if IS_WINDOWS else "VORN_Davida_Client.so"
PLUGIN_FOLDER = "bin/win_x64/plugins" if IS_WINDOWS else "bin/linux_x64/plugins"
PACKAGE = f"VORN_Davida_Client-{VERSION}-{'win64' if IS_WINDOWS else 'linux64'}"
ARCHIVE = PACKAGE + (".zip" if IS_WINDOWS else ".tar.gz")
NEWLINE = b"\r\n" if IS_WINDOWS else b"\n"


def host_path(path):
    path = str(pathlib.Path(path).resolve())
    return "Z:" + path.replace("/", "\\") if IS_WINDOWS else path


class ReleasePackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._temp = tempfile.TemporaryDirectory(prefix="vorn-package-")
        cls.temp = pathlib.Path(cls._temp.name)
        made = subprocess.run(["cpack", "--config", str(BUILD_DIR / "CPackConfig.cmake"),
                               "-B", str(cls.temp)], capture_output=True, text=True)
        if made.returncode != 0:
            raise AssertionError(f"cpack failed:\n{made.stdout}\n{made.stderr}")
        archive = cls.temp / ARCHIVE
        if IS_WINDOWS:
            with zipfile.ZipFile(archive) as package:
                cls.files = {name: package.read(name) for name in package.namelist()}
        else:
            with tarfile.open(archive) as package:
                cls.files = {member.name: package.extractfile(member).read()
                             for member in package.getmembers() if member.isfile()}

    @classmethod
    def tearDownClass(cls):
        cls._temp.cleanup()

    def member(self, name):
        return self.files[f"{PACKAGE}/{name}"]

    def test_holds_the_three_files_the_guide_lists(self):
        self.assertEqual(sorted(self.files),
                         sorted(f"{PACKAGE}/{name}" for name in
                                (PLUGIN, "VORN_Davida_Client.ini", "PLAYERS_GUIDE.txt")))
        guide = self.member("PLAYERS_GUIDE.txt").decode("ascii")
        for name in (PLUGIN, "VORN_Davida_Client.ini", "PLAYERS_GUIDE.txt"):
            self.assertIn(name, guide)

    def test_guide_names_this_platform_and_the_exact_log_texts(self):
        guide = self.member("PLAYERS_GUIDE.txt").decode("ascii")
        for text in (VERSION, PLUGIN_FOLDER, GAME_START_LINE, SETTINGS_WARNING, START_LINE,
                     "Steam auto-server detector v7.3: ", " detect_source=", " VORN_server=",
                     "Steam active-session probe: required exports unavailable."):
            with self.subTest(text=text):
                self.assertIn(text, guide)
        self.assertNotIn("@", guide, "a template placeholder was left unreplaced")

    def test_texts_use_the_platforms_line_ends(self):
        for name in ("VORN_Davida_Client.ini", "PLAYERS_GUIDE.txt"):
            with self.subTest(name=name):
                data = self.member(name)
                self.assertTrue(data.endswith(NEWLINE))
                self.assertEqual(data.count(b"\n"), data.count(NEWLINE))

    def test_settings_template_sets_the_four_keys_with_their_defaults(self):
        lines = self.member("VORN_Davida_Client.ini").decode("ascii").splitlines()
        settings = [line for line in lines if line.strip() and line.strip()[0] not in "#;"]
        self.assertEqual(settings, [
            "PlayerName=CHANGE_ME",
            "ApiKey=PASTE_API_KEY_HERE",
            f"CollectorURL=http://{cache_value('VORN_DEFAULT_COLLECTOR_HOST')}:8787/api/v1/telemetry",
            "SendIntervalSeconds=60",
        ])

    @unittest.skipUnless(IS_WINDOWS, "the DLL's tables")
    def test_packaged_dll_keeps_its_export_and_import_tables(self):
        dll = self.temp / PLUGIN
        dll.write_bytes(self.member(PLUGIN))
        checked = subprocess.run([sys.executable, str(HERE / "check_dll_tables.py"), str(dll)],
                                 capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_template_with_plugin_in_the_game_folder(self):
        template = self.member("VORN_Davida_Client.ini")
        filled = template.replace(b"PlayerName=CHANGE_ME", b"PlayerName=Night Owl") \
                         .replace(b"ApiKey=PASTE_API_KEY_HERE", b"ApiKey=key-from-operator")
        cases = [
            ("as shipped", template, "init -> -7", f"gamelog 2 {SETTINGS_WARNING}", None),
            ("filled in", filled, "init -> 0", f"gamelog 0 {GAME_START_LINE}", START_LINE),
        ]
        for name, ini, result, gamelog, own_log in cases:
            with self.subTest(name):
                plugins = self.temp / name.replace(" ", "-") / PLUGIN_FOLDER
                plugins.mkdir(parents=True)
                (plugins / PLUGIN).write_bytes(self.member(PLUGIN))
                (plugins / "VORN_Davida_Client.ini").write_bytes(ini)
                lines = run_gamehost(plugins / PLUGIN, "init\nshutdown\n")
                self.assertIn(result, lines)
                self.assertIn(gamelog, lines)
                log = plugins / "VORN_Davida_Client.log"
                if own_log is None:
                    self.assertFalse(log.exists())
                else:
                    self.assertIn(own_log, log.read_bytes().decode())


def run_gamehost(plugin, scenario):
    folder = plugin.parent
    (folder / "scenario.txt").write_text(scenario)
    gamehost = BUILD_DIR / "tools" / ("gamehost.exe" if IS_WINDOWS else "gamehost")
    argv = [str(gamehost), "--plugin", host_path(plugin), host_path(folder / "scenario.txt")]
    env = dict(os.environ)
    if IS_WINDOWS:
        argv.insert(0, "wine")
        env.update({"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="})
    # Output into a file: a helper process of Wine's could hold a pipe open.
    with open(folder / "gamehost.out", "wb") as out:
        subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                       env=env, timeout=120)
    return (folder / "gamehost.out").read_bytes().decode("utf-8", "replace") \
        .replace("\r\n", "\n").splitlines()


if __name__ == "__main__":
    unittest.main(verbosity=2)
