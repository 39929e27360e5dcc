"""The release package of one build tree holds what the player's guide says it
holds, and its settings template works with the packaged plug-in: as shipped
it makes the plug-in ask for an edit, and with the two placeholders filled in
the plug-in starts. SHA256SUMS beside it holds the right sums, and the DLL
carries the project's version.

With VORN_SECOND_BUILD_DIR set, the class SecondBuild configures and builds the
Windows release again in that folder, signed with a certificate made on the
spot, and compares it with BUILD_DIR's.

usage: check_packages.py BUILD_DIR [CLASS]   (a windows tree runs under Wine)
"""

import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
BUILD_DIR = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else "build/native").resolve()
SECOND_BUILD_DIR = os.environ.get("VORN_SECOND_BUILD_DIR")

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
SIGNED_PACKAGE = PACKAGE + "-signed"
NEWLINE = b"\r\n" if IS_WINDOWS else b"\n"


def host_path(path):
    path = str(pathlib.Path(path).resolve())
    return "Z:" + path.replace("/", "\\") if IS_WINDOWS else path


class ReleasePackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._temp = tempfile.TemporaryDirectory(prefix="vorn-package-")
        cls.temp = pathlib.Path(cls._temp.name)
        run(["cpack", "--config", BUILD_DIR / "CPackConfig.cmake", "-B", cls.temp])
        cls.files = unpack(cls.temp / ARCHIVE)

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
        run([sys.executable, HERE / "check_dll_tables.py", self.temp / PACKAGE / PLUGIN])

    def test_checksums_list_the_archive_and_the_library_in_it(self):
        self.assertEqual(verified_checksums(self.temp), [ARCHIVE, f"{PACKAGE}/{PLUGIN}"])

    @unittest.skipUnless(IS_WINDOWS, "the DLL's version resource")
    def test_dll_carries_the_projects_version(self):
        resource = run(["x86_64-w64-mingw32-windres", "-J", "coff", "-O", "rc",
                        "-i", self.temp / PACKAGE / PLUGIN]).stdout
        numbers = ", ".join(VERSION.split(".") + ["0"])
        for line in (f"FILEVERSION {numbers}", f"PRODUCTVERSION {numbers}",
                     f'VALUE "FileVersion", "{VERSION}"', f'VALUE "ProductVersion", "{VERSION}"',
                     'VALUE "ProductName", "VORN Davida Client"',
                     'VALUE "FileDescription", "VORN Davida Client telemetry plug-in for American'):
            with self.subTest(line):
                self.assertIn(line, resource)

    def test_template_with_plugin_in_the_game_folder(self):
        template = self.member("VORN_Davida_Client.ini")
        cases = [
            ("as shipped", template, "init -> -7", f"gamelog 2 {SETTINGS_WARNING}", None),
            ("filled in", filled_in(template), "init -> 0", f"gamelog 0 {GAME_START_LINE}",
             START_LINE),
        ]
        for name, ini, result, gamelog, own_log in cases:
            with self.subTest(name):
                lines, log = start_in_game_folder(self.temp / name.replace(" ", "-"),
                                                  self.member(PLUGIN), ini)
                self.assertIn(result, lines)
                self.assertIn(gamelog, lines)
                if own_log is None:
                    self.assertFalse(log.exists())
                else:
                    self.assertIn(own_log, log.read_bytes().decode())


@unittest.skipUnless(SECOND_BUILD_DIR and IS_WINDOWS, "VORN_SECOND_BUILD_DIR and a windows tree")
class SecondBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        work = pathlib.Path(SECOND_BUILD_DIR)
        shutil.rmtree(work, ignore_errors=True)
        cls.cert, key, p12, password = (work / n for n in ("cert.pem", "key.pem", "signer.p12", "pw"))
        work.mkdir(parents=True)
        password.write_text("throwaway-password\n")
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=VORN test signer", "-keyout", key, "-out", cls.cert])
        run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cls.cert, "-out", p12,
             "-passout", f"file:{password}"])
        same = [f"-D{name}={cache_value(name)}" for name in (
            "CMAKE_TOOLCHAIN_FILE", "CMAKE_BUILD_TYPE", "VORN_KNOWN_SERVERS",
            "VORN_ENDPOINT_ADDRESS_A", "VORN_ENDPOINT_ADDRESS_B", "VORN_DEFAULT_COLLECTOR_HOST")]
        run(["cmake", "-S", HERE.parents[1], "-B", work / "tree", "-G", "Unix Makefiles", *same,
             f"-DVORN_SIGN_PKCS12={p12}", f"-DVORN_SIGN_PASSWORD_FILE={password}"])
        run(["cmake", "--build", work / "tree", "-j2", "--target", "VORN_Davida_Client"])
        cls.first, cls.second = work / "first", work / "second"
        for tree, out in ((BUILD_DIR, cls.first), (work / "tree", cls.second)):
            run(["cpack", "--config", tree / "CPackConfig.cmake", "-B", out])
        unpack(cls.first / ARCHIVE)
        cls.signed = unpack(cls.second / (SIGNED_PACKAGE + ".zip"))
        unpack(cls.second / ARCHIVE)

    def test_unsigned_files_are_the_first_trees_bytes(self):
        for name in (ARCHIVE, f"{PACKAGE}/{PLUGIN}"):
            with self.subTest(name):
                self.assertEqual(sha256(self.first / name), sha256(self.second / name))

    def test_checksums_list_unsigned_and_signed_files(self):
        self.assertEqual(verified_checksums(self.second), [
            ARCHIVE, f"{PACKAGE}/{PLUGIN}", SIGNED_PACKAGE + ".zip", f"{SIGNED_PACKAGE}/{PLUGIN}"])

    def test_signed_dll_verifies_is_the_unsigned_one_plus_signature_and_starts(self):
        signed = self.second / SIGNED_PACKAGE / PLUGIN
        run(["osslsigncode", "verify", "-CAfile", self.cert, "-in", signed])
        run(["osslsigncode", "remove-signature", "-in", signed, "-out", self.second / "removed"])
        self.assertEqual(sha256(self.second / "removed"), sha256(self.second / PACKAGE / PLUGIN))
        ini = filled_in(self.signed[f"{SIGNED_PACKAGE}/VORN_Davida_Client.ini"])
        lines, log = start_in_game_folder(self.second / "game", signed.read_bytes(), ini)
        self.assertIn("init -> 0", lines)
        self.assertIn(START_LINE, log.read_bytes().decode())


def run(argv, cwd=None):
    done = subprocess.run([str(a) for a in argv], capture_output=True, text=True, cwd=cwd)
    if done.returncode != 0:
        raise AssertionError(f"{argv[0]} failed:\n{done.stdout}\n{done.stderr}")
    return done


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def unpack(archive):
    """The archive's files by name, also written out beside it as a player unpacks them."""
    if archive.name.endswith(".zip"):
        with zipfile.ZipFile(archive) as package:
            files = {name: package.read(name) for name in package.namelist()}
    else:
        with tarfile.open(archive) as package:
            files = {member.name: package.extractfile(member).read()
                     for member in package.getmembers() if member.isfile()}
    for name, data in files.items():
        (archive.parent / name).parent.mkdir(parents=True, exist_ok=True)
        (archive.parent / name).write_bytes(data)
    return files


def verified_checksums(folder):
    """The files that `sha256sum -c SHA256SUMS` finds right in folder; any wrong one fails."""
    checked = run(["sha256sum", "-c", "SHA256SUMS"], cwd=folder)
    return [line.rsplit(": ", 1)[0] for line in checked.stdout.splitlines()]


def filled_in(template):
    return template.replace(b"PlayerName=CHANGE_ME", b"PlayerName=Night Owl") \
                   .replace(b"ApiKey=PASTE_API_KEY_HERE", b"ApiKey=key-from-operator")


def start_in_game_folder(game, plugin, ini):
    """Starts and stops plugin in game's plug-in folder; gamehost's lines and the plug-in's log."""
    plugins = game / PLUGIN_FOLDER
    plugins.mkdir(parents=True)
    (plugins / PLUGIN).write_bytes(plugin)
    (plugins / "VORN_Davida_Client.ini").write_bytes(ini)
    return run_gamehost(plugins / PLUGIN, "init\nshutdown\n"), plugins / "VORN_Davida_Client.log"


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
