"""The release package of one build tree: its files, the guide's texts, the
template's four lines, line ends, SHA256SUMS, and the DLL's version, its
exports (exactly the two entry points, by plain name) and imports (only
Windows system libraries). A Linux tree's Debian package of the collector:
lintian, then (as root) installed, its unit's ExecStart run with the
package's options and user, enabled, and purged with its enable link.
SecondBuild (with VORN_SECOND_BUILD_DIR) builds the Windows release again there,
signed with a certificate made on the spot, and compares it with BUILD_DIR's.

usage: check_packages.py BUILD_DIR [CLASS]
"""

import fcntl
import grp
import hashlib
import http.client
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import urllib.request
import zipfile

from harness import HostSession, ini_with_url, report_body

HERE = pathlib.Path(__file__).resolve().parent
BUILD_DIR = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else "build/native").resolve()
SECOND_BUILD_DIR = os.environ.get("VORN_SECOND_BUILD_DIR")


def cache_value(name):
    return re.search(f"^{name}:[^=]*=(.*)$", (BUILD_DIR / "CMakeCache.txt").read_text(), re.M)[1]


IS_WINDOWS = (BUILD_DIR / "VORN_Davida_Client.dll").exists()
FIRST_SERVER = cache_value("VORN_KNOWN_SERVERS").split(";")[0]  # the tree's own, not the default
VERSION = cache_value("CMAKE_PROJECT_VERSION")
PLUGIN = "VORN_Davida_Client.dll" if IS_WINDOWS else "VORN_Davida_Client.so"
PLUGIN_FOLDER = "bin/win_x64/plugins" if IS_WINDOWS else "bin/linux_x64/plugins"
PACKAGE = f"VORN_Davida_Client-{VERSION}-{'win64' if IS_WINDOWS else 'linux64'}"
ARCHIVE = PACKAGE + (".zip" if IS_WINDOWS else ".tar.gz")
SIGNED_PACKAGE = PACKAGE + "-signed"
DEB = f"vorn-collector_{VERSION}_amd64.deb"
NEWLINE = b"\r\n" if IS_WINDOWS else b"\n"
SYSTEM_LIBRARIES = {"kernel32.dll", "msvcrt.dll", "winhttp.dll", "advapi32.dll", "ws2_32.dll",
                    "user32.dll", "ntdll.dll", "bcrypt.dll"}


class ReleasePackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = pathlib.Path(tempfile.mkdtemp(prefix="vorn-package-"))
        cls.addClassCleanup(shutil.rmtree, cls.temp)
        run(["cpack", "--config", BUILD_DIR / "CPackConfig.cmake", "-B", cls.temp])
        cls.files = unpack(cls.temp / ARCHIVE)

    def member(self, name):
        return self.files[f"{PACKAGE}/{name}"]

    def test_holds_the_three_files_the_guide_lists_with_the_exact_log_texts_and_sums(self):
        names = (PLUGIN, "VORN_Davida_Client.ini", "PLAYERS_GUIDE.txt")
        self.assertEqual(sorted(self.files), sorted(f"{PACKAGE}/{name}" for name in names))
        guide = self.member("PLAYERS_GUIDE.txt").decode("ascii")
        for text in (*names, VERSION, PLUGIN_FOLDER,
                     "VORN Davida Client v7.2 IN-GAME ODOMETER initialized",
                     "VORN Davida Client: edit VORN_Davida_Client.ini (PlayerName and ApiKey)",
                     "VORN Davida Client v7.3 CONNECT FALLBACK initialized.",
                     "Steam auto-server detector v7.3: ", " detect_source=", " VORN_server=",
                     "Steam active-session probe: required exports unavailable."):
            with self.subTest(text=text):
                self.assertIn(text, guide)
        self.assertNotIn("@", guide, "a template placeholder was left unreplaced")
        self.assertEqual(verified_checksums(self.temp),
                         [ARCHIVE, f"{PACKAGE}/{PLUGIN}"] + [DEB] * (not IS_WINDOWS))

    def test_settings_template_sets_the_four_keys_and_texts_use_the_platforms_line_ends(self):
        for data in (self.member("VORN_Davida_Client.ini"), self.member("PLAYERS_GUIDE.txt")):
            self.assertTrue(data.endswith(NEWLINE))
            self.assertEqual(data.count(b"\n"), data.count(NEWLINE))
        lines = self.member("VORN_Davida_Client.ini").decode("ascii").splitlines()
        settings = [line for line in lines if line.strip() and line.strip()[0] not in "#;"]
        host = cache_value("VORN_DEFAULT_COLLECTOR_HOST")
        self.assertEqual(settings, ["PlayerName=CHANGE_ME", "ApiKey=PASTE_API_KEY_HERE",
                                    f"CollectorURL=http://{host}:8787/api/v1/telemetry",
                                    "SendIntervalSeconds=60"])

    @unittest.skipIf(IS_WINDOWS, "the collector's package is made by Linux trees")
    def test_debian_package_passes_lintian_serves_as_its_unit_says_and_purges_clean(self):
        deb = self.temp / DEB
        run(["lintian", "--fail-on", "error", deb])
        unpacked = self.temp / "deb"
        run(["dpkg-deb", "-x", deb, unpacked])
        docs = unpacked / "usr/share/doc/vorn-collector"
        for guide in docs.glob("*.md"):  # every link of the installed guides leads somewhere
            for target, anchor in re.findall(r"\]\(([\w.-]*)(?:#([\w-]+))?\)", guide.read_text()):
                linked = (docs / target) if target else guide
                self.assertTrue(linked.is_file(), f"{guide.name} links to {target}")
                if linked.suffix != ".md":
                    continue  # a picture
                headings = re.findall(r"^#+ (.*)$", linked.read_text(), re.M)
                slugs = {re.sub(r"[^\w -]", "", h).lower().replace(" ", "-") for h in headings}
                if anchor:
                    self.assertIn(anchor, slugs, f"{guide.name} links to {target}#{anchor}")
        self.assertTrue(os.access(unpacked / "usr/share/vorn-collector/sqlite-to-postgres.sh",
                                  os.X_OK))
        if os.geteuid() != 0:
            self.skipTest("dpkg -i needs root")
        lock = open("/run/lock/vorn-collector-package-test", "w")  # one such test on a machine
        self.addCleanup(lock.close)
        fcntl.flock(lock, fcntl.LOCK_EX)
        self.assertNotIn("installed", run(["dpkg-query", "-W", "-f=${Status}", "vorn-collector"],
                                          ok=(0, 1)).stdout, "purge vorn-collector first")
        self.addCleanup(run, ["dpkg", "--purge", "vorn-collector"])
        run(["dpkg", "-i", deb])
        unit = pathlib.Path("/lib/systemd/system/vorn-collector.service")
        if shutil.which("systemd-analyze"):
            run(["systemd-analyze", "verify", unit])
        fields = dict(re.findall(r"^(\w+)=(.*)$", unit.read_text(), re.M))
        settings = os.stat("/etc/default/vorn-collector")  # the webhooks' secret URLs are there
        self.assertEqual((settings.st_mode & 0o777, settings.st_uid,
                          grp.getgrgid(settings.st_gid).gr_name), (0o640, 0, fields["Group"]))
        self.assertEqual(run(["pgrep", "-u", fields["User"]], ok=(1,)).stdout, "")  # not started
        defaults = run(["sh", "-c", ". /etc/default/vorn-collector; "
                        'echo "$VORN_COLLECTOR_OPTS"; echo "$VORN_COLLECTOR_DB"']).stdout
        options, db = defaults.splitlines()
        argv = fields["ExecStart"].replace("$VORN_COLLECTOR_OPTS", options).split()
        for option, address in (("--listen", "127.0.0.1:8787"), ("--metrics-listen",
                                                                 "127.0.0.1:9787")):
            self.assertEqual(argv[argv.index(option) + 1], address)
            argv[argv.index(option) + 1] = "127.0.0.1:0"  # beside a demo on 8787
        self.assertEqual(db, "sqlite:/var/lib/vorn-collector/vorn-collector.db")
        # Installing made the service's database, its own: serve makes none.
        self.assertEqual(pathlib.Path(db[len("sqlite:"):]).owner(), fields["User"])
        # The commands find the service's database by themselves, from anywhere.
        as_user = dict(user=fields["User"], group=fields["Group"], extra_groups=[], cwd="/")
        key = subprocess.run(["vorn-collector", "player", "add", "Night Owl"],
                             capture_output=True, text=True, check=True, **as_user).stdout
        service = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True, **dict(
            as_user, cwd=fields["WorkingDirectory"], env={"VORN_COLLECTOR_DB": db}))
        try:
            port = int(re.fullmatch(r"listening on http://127\.0\.0\.1:(\d+)\n",
                                    service.stdout.readline())[1])
            post = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
            post.request("POST", "/api/v1/telemetry", report_body(60, 1.0, server=FIRST_SERVER),
                         {"X-VORN-Key": key.splitlines()[-1]})
            self.assertEqual(post.getresponse().status, 200)
            metrics = service.stdout.readline().split()[-1]
            self.assertIn('vorn_reports_total{code="200"} 1\n',
                          urllib.request.urlopen(metrics, timeout=60).read().decode())
        finally:
            service.terminate()
            self.assertEqual(service.wait(timeout=60), 0)
            service.stdout.close()
        files = [line.split(" ./", 1)[1] for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines()
                 if line.startswith("-")]
        # Enabled as an administrator does it: the purge takes the link too.
        link = "etc/systemd/system/multi-user.target.wants/vorn-collector.service"
        run(["systemctl", "enable", "vorn-collector.service"])
        self.addCleanup(lambda: os.path.lexists("/" + link) and os.unlink("/" + link))
        self.assertTrue(os.path.islink("/" + link))
        run(["dpkg", "--purge", "vorn-collector"])
        self.assertEqual([f for f in files + ["var/lib/vorn-collector", link]
                          if os.path.lexists("/" + f)], [])

    @unittest.skipIf(IS_WINDOWS, "the Linux release tree")
    def test_a_packages_only_tree_links_just_what_the_packages_ship(self):
        preset = next(p for p in json.loads((HERE.parents[1] / "CMakePresets.json").read_text())[
            "configurePresets"] if p["name"] == "linux-release")
        tree = self.temp / "linux-release"
        run(["cmake", "-S", HERE.parents[1], "-B", tree, "-G", "Ninja",
             *(f"-D{name}={value}" for name, value in preset["cacheVariables"].items())])
        commands = run(["ninja", "-C", tree, "-t", "commands", "all"]).stdout
        linked = {out for out in re.findall(r" -o (\S+)", commands)
                  if not re.search(r"\.(o|a|gch)$", out)}
        self.assertEqual(linked, {"VORN_Davida_Client.so", "collector/vorn-collector"})

    @unittest.skipUnless(IS_WINDOWS, "the DLL's tables")
    def test_dll_exports_the_two_entry_points_and_imports_only_system_libraries(self):
        dump = run(["x86_64-w64-mingw32-objdump", "-p", self.temp / PACKAGE / PLUGIN]).stdout
        imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
        names = dump.split("[Ordinal/Name Pointer] Table", 1)[1:]
        exports = set(re.findall(r"^\s+\[\s*\d+\] (\S+)$", names[0], re.M)) if names else set()
        self.assertEqual(exports, {"scs_telemetry_init", "scs_telemetry_shutdown"})
        self.assertIn("kernel32.dll", imports)  # always there: else the table was not read
        self.assertLessEqual(imports, SYSTEM_LIBRARIES)  # no C or C++ runtime to install

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


@unittest.skipUnless(SECOND_BUILD_DIR and IS_WINDOWS, "VORN_SECOND_BUILD_DIR and a windows tree")
class SecondBuild(unittest.TestCase):
    def test_same_unsigned_bytes_listed_sums_and_a_signature_over_them(self):
        work = pathlib.Path(SECOND_BUILD_DIR)
        shutil.rmtree(work, ignore_errors=True)
        cert, key, p12, password = (work / n for n in ("cert.pem", "key.pem", "signer.p12", "pw"))
        work.mkdir(parents=True)
        password.write_text("throwaway-password\n")
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=VORN test signer", "-keyout", key, "-out", cert])
        run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", p12,
             "-passout", f"file:{password}"])
        same = [f"-D{name}={cache_value(name)}" for name in (
            "CMAKE_TOOLCHAIN_FILE", "CMAKE_BUILD_TYPE", "VORN_KNOWN_SERVERS",
            "VORN_ENDPOINT_ADDRESS_A", "VORN_ENDPOINT_ADDRESS_B", "VORN_DEFAULT_COLLECTOR_HOST")]
        # Without the tests' quick library: the release's bytes do not depend on it.
        run(["cmake", "-S", HERE.parents[1], "-B", work / "tree", "-G", "Ninja", *same,
             "-DVORN_TEST_LIBRARY=OFF", f"-DVORN_SIGN_PKCS12={p12}",
             f"-DVORN_SIGN_PASSWORD_FILE={password}"])
        run(["cmake", "--build", work / "tree", "-j2", "--target", "VORN_Davida_Client"])
        first, second = work / "first", work / "second"
        for tree, out in ((BUILD_DIR, first), (work / "tree", second)):
            run(["cpack", "--config", tree / "CPackConfig.cmake", "-B", out])
        for archive in (first / ARCHIVE, second / (SIGNED_PACKAGE + ".zip"), second / ARCHIVE):
            unpack(archive)
        for name in (ARCHIVE, f"{PACKAGE}/{PLUGIN}"):
            self.assertEqual(sha256(first / name), sha256(second / name), name)
        self.assertEqual(verified_checksums(second), [
            ARCHIVE, f"{PACKAGE}/{PLUGIN}", SIGNED_PACKAGE + ".zip", f"{SIGNED_PACKAGE}/{PLUGIN}"])
        signed = second / SIGNED_PACKAGE / PLUGIN
        run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed])
        run(["osslsigncode", "remove-signature", "-in", signed, "-out", second / "removed"])
        self.assertEqual(sha256(second / "removed"), sha256(second / PACKAGE / PLUGIN))
        # The signed DLL still loads in the game's place and starts.
        (signed.parent / "VORN_Davida_Client.ini").write_text(ini_with_url("http://127.0.0.1:1/"))
        session = HostSession(["wine", str(BUILD_DIR / "tools" / "gamehost.exe"), "--plugin",
                               "Z:" + str(signed).replace("/", "\\"), "-"],
                              dict(os.environ, WINEDEBUG="-all"), signed.parent)
        self.assertEqual(session.init(), 0)
        session.shutdown()
        session.close()


def run(argv, cwd=None, ok=(0,)):
    done = subprocess.run([str(a) for a in argv], capture_output=True, text=True, cwd=cwd)
    if done.returncode not in ok:
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
