"""The staff console and the players' join links on a real vorn-collector: who may do what,
forged and replayed forms, sessions ended, the sign-in throttle, the same answer for an unknown
name and a wrong password, the headers, the console refused over plain HTTP off this machine,
a join link used once, a new key, the audit of each kind; and a week's work in Chromium."""
# ctest: platforms=native asan tsan timeout=300

import http.client
import os
import pathlib
import re
import socket
import sqlite3
import ssl
import subprocess
import tempfile
import unittest
import urllib.parse

from harness import SERVER
from test_collector import COLLECTOR, Browser, Service, body, metric_samples


class Console:
    """A staff member's side of the console: their cookie and the form token of each page."""

    def __init__(self, service, name, role, password="a long password"):
        self.service, self.name, self.cookie = service, name, ""
        link = service.cli("staff", "add", name, "--role", role).splitlines()[-1].split()[-1]
        self.origin = service.url
        status, _ = self.send("POST", link, {"password": password, "again": password})
        service.test.assertEqual(status, 303)
        status, _ = self.sign_in(password)
        service.test.assertEqual(status, 303)

    def send(self, method, path, fields=None, origin=None):
        headers = {"Cookie": self.cookie, "Origin": self.origin if origin is None else origin,
                   "Content-Type": "application/x-www-form-urlencoded"}
        data = urllib.parse.urlencode(fields) if fields is not None else None
        status, answer = self.service.request(method, path, data, {k: v for k, v in
                                                                   headers.items() if v})
        return status, answer.decode()

    def sign_in(self, password, name=None, next_path="/staff"):
        status, page = self.send("POST", "/staff/signin", {"name": name or self.name,
                                                           "password": password,
                                                           "next": next_path})
        for header in self.service.headers.get_all("Set-Cookie") or []:
            self.set_cookie = header
            self.cookie = header.split(";")[0]
        return status, page

    def token(self, path="/staff"):
        page = self.send("GET", path)[1]
        return re.search(r'name="csrf" value="([0-9a-f]+)"', page).group(1)


def audit_kinds(service):
    return [line.split(",")[3] for line in service.cli("audit", "--csv").splitlines()[1:]]


class Rights(unittest.TestCase):
    def test_each_role_may_do_its_part_and_forged_forms_change_nothing(self):
        service = Service(self).start("--metrics-listen", "127.0.0.1:0")
        people = {role: Console(service, f"m-{role}", role)
                  for role in ("owner", "reviewer", "events", "members")}
        owner = people["owner"]
        cases = [  # path, fields, the roles that may
            ("/staff/players", None, "owner members"),
            ("/staff/players/add", {"name": "Ann"}, "owner members"),
            ("/staff/flags", None, "owner reviewer"),
            ("/staff/flags/reject", {"id": "99", "note": ""}, "owner reviewer"),
            ("/staff/events", None, "owner events"),
            ("/staff/events/add", {"name": "Friday", "start": "2030-01-04T19:00Z",
                                   "end": "2030-01-04T21:00Z", "servers": "",
                                   "description": ""}, "owner events"),
            ("/staff/activity", None, "owner members"),
            ("/staff/staff", None, "owner"),
            ("/staff/staff/add", {"name": "new", "role": "members"}, "owner"),
            ("/staff/audit", None, "owner reviewer events members"),
        ]
        for path, fields, allowed in cases:
            for role, person in people.items():
                with self.subTest(path=path, role=role):
                    before = audit_kinds(service)
                    if fields is not None:
                        fields = dict(fields, csrf=person.token())
                    status, _ = person.send("POST" if fields else "GET", path, fields)
                    if role in allowed.split():
                        self.assertNotEqual(status, 403)
                    else:
                        self.assertEqual((status, audit_kinds(service)), (403, before))
        token, other = owner.token(), people["members"].token()
        forged = [({"name": "Cy"}, None), ({"name": "Cy", "csrf": "0" * 64}, None),
                  ({"name": "Cy", "csrf": other}, None),
                  ({"name": "Cy", "csrf": token}, "http://evil.example"),
                  ({"name": "Cy", "csrf": token}, "")]
        for fields, origin in forged:
            with self.subTest(fields=fields, origin=origin):
                before = audit_kinds(service)
                headers_origin = origin if origin is not None else None
                if origin == "":
                    owner.origin, saved = "", owner.origin
                status, _ = owner.send("POST", "/staff/players/add", fields, headers_origin)
                if origin == "":
                    owner.origin = saved
                self.assertEqual((status, audit_kinds(service)), (403, before))
        self.assertNotIn("Cy", service.cli("player", "list"))
        self.assertLessEqual({"staff_add", "password_set", "signin", "player_add", "event_add"},
                             set(audit_kinds(service)))
        # The headers of every console answer, and the cookie.
        owner.send("GET", "/staff")
        csp = service.headers["Content-Security-Policy"]
        self.assertIn("frame-ancestors 'none'", csp)
        self.assertNotIn("script", csp)
        self.assertEqual((service.headers["X-Content-Type-Options"],
                          service.headers["Cache-Control"]), ("nosniff", "no-store"))
        attributes = owner.set_cookie.split("; ")
        self.assertEqual(attributes[1:], ["Path=/", "HttpOnly", "SameSite=Strict"])
        self.assertRegex(attributes[0], r"^vorn_staff=[0-9a-f]{64}$")  # no __Host- on HTTP
        # Sessions end at sign-out, and when the person is removed or their role changes.
        for end in ("signout", "remove", "role"):
            person = Console(service, f"end-{end}", "reviewer")
            if end == "signout":
                self.assertEqual(person.send("POST", "/staff/signout",
                                             {"csrf": person.token()})[0], 303)
            else:
                service.cli("staff", *(("remove", person.name) if end == "remove"
                                       else ("role", person.name, "events")))
            self.assertEqual(person.send("GET", "/staff")[0], 303, end)
            self.assertTrue(service.headers["Location"].startswith("/staff/signin?next="))

    def test_throttle_enumeration_and_plain_http_off_this_machine(self):
        service = Service(self).start("--metrics-listen", "127.0.0.1:0")
        amy = Console(service, "amy", "owner")
        unknown = amy.sign_in("a wrong password", name="nobody")
        wrong = amy.sign_in("a wrong password")
        self.assertEqual(unknown, wrong)
        self.assertEqual(unknown[0], 401)
        for _ in range(2):  # four failures: a right password still signs in
            amy.sign_in("a wrong password")
        self.assertEqual(amy.sign_in("a long password")[0], 303)
        for _ in range(5):  # five failures: the name waits, a right password too
            self.assertEqual(amy.sign_in("a wrong password")[0], 401)
        self.assertEqual(amy.sign_in("a long password")[0], 429)
        self.assertEqual(service.headers["Retry-After"], "60")
        for i in range(21):  # the address's 30th failure, each of another name: still tried
            self.assertEqual(amy.sign_in("a wrong password", name=f"x{i}")[0], 401)
        self.assertEqual(amy.sign_in("a wrong password", name="y")[0], 429)
        samples = {labels[0]: value for (name, labels), value in metric_samples(service).items()
                   if name == "vorn_staff_signins_total"}
        self.assertEqual(samples, {"done": 2, "refused": 30, "throttled": 2})
        self.assertIn("staff sign-in throttled for 'amy' from 127.0.0.1", service.log())
        self.assertIn("staff sign-in refused for 'nobody'", service.log())
        # Reached at an address of this machine that is not its loopback, over plain HTTP.
        address = subprocess.run(["hostname", "-I"], capture_output=True, text=True).stdout
        address = next(a for a in address.split() if "." in a and not a.startswith("127."))
        other = Service(self)
        other.db = service.db
        with other.stderr.open("ab") as stderr:
            process = subprocess.Popen([str(COLLECTOR), "serve", "--db", service.db, "--listen",
                                        f"{address}:0"], stdout=subprocess.PIPE, stderr=stderr)
        other.process = process
        self.addCleanup(other.stop)
        other.port = int(process.stdout.readline().decode().rsplit(":", 1)[1])
        with socket.create_connection((address, other.port)) as connection:
            connection.sendall(b"GET /staff/signin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            answer = b"".join(iter(lambda: connection.recv(65536), b"")).decode()
        self.assertTrue(answer.startswith("HTTP/1.1 403"), answer[:200])
        self.assertIn("only over HTTPS", answer)
        self.assertNotIn("<form", answer)


    def test_over_https_the_cookie_is_secure_with_the_host_prefix(self):
        service = Service(self)
        folder = pathlib.Path(service.path).parent
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-keyout", folder / "key.pem", "-out",
                        folder / "cert.pem"], check=True, capture_output=True)
        service.add_player("Ann")  # makes the database
        link = service.cli("staff", "add", "amy", "--role", "owner").split()[-1]
        with service.stderr.open("ab") as stderr:
            service.process = subprocess.Popen(
                [str(COLLECTOR), "serve", "--db", service.db, "--listen", "127.0.0.1:0",
                 "--tls-cert", folder / "cert.pem", "--tls-key", folder / "key.pem"],
                stdout=subprocess.PIPE, stderr=stderr)
        self.addCleanup(service.stop)
        port = int(service.process.stdout.readline().decode().rsplit(":", 1)[1])
        origin = f"https://127.0.0.1:{port}"

        def send(path, fields):
            connection = http.client.HTTPSConnection(
                "127.0.0.1", port, timeout=60, context=ssl._create_unverified_context())
            connection.request("POST", path, urllib.parse.urlencode(fields), {
                "Origin": origin, "Content-Type": "application/x-www-form-urlencoded"})
            answer = connection.getresponse()
            answer.read()
            connection.close()
            return answer
        password = {"password": "a long password", "again": "a long password"}
        self.assertEqual(send(link, password).status, 303)
        answer = send("/staff/signin", {"name": "amy", **password})
        self.assertEqual(answer.status, 303)
        self.assertRegex(answer.getheader("Set-Cookie"), r"^__Host-vorn_staff=[0-9a-f]{64}; "
                         r"Path=/; HttpOnly; SameSite=Strict; Secure$")


    def test_bodies_return_addresses_refused_fields_and_names_as_text(self):
        service = Service(self).start()
        amy = Console(service, "amy", "owner")
        before = audit_kinds(service)
        for body_text, status in (("name=Cy&csrf=%zz", 400), ("name=Cy&name=Dee", 400),
                                  ("name=" + "C" * 17000, 413)):
            self.assertEqual(service.request("POST", "/staff/players/add", body_text, {
                "Cookie": amy.cookie, "Origin": amy.origin,
                "Content-Type": "application/x-www-form-urlencoded"})[0], status, body_text[:20])
        self.assertEqual(audit_kinds(service), before)
        for next_path, location in (("/staff/flags?x=1", "/staff/flags?x=1"),
                                    ("//evil.example/staff", "/staff"),
                                    ("https://evil.example/staff", "/staff"),
                                    ("/staffer", "/staff"), ("/staff/../x", "/staff"),
                                    ("/staff/%2e%2e/x", "/staff")):
            self.assertEqual(amy.sign_in("a long password", next_path=next_path)[0], 303)
            self.assertEqual(service.headers["Location"], location, next_path)
        # From loopback, a proxy that ends TLS passes the browser's https Origin on.
        amy.origin = amy.origin.replace("http://", "https://")
        self.assertEqual(amy.send("POST", "/staff/players/add", {
            "csrf": amy.token(), "name": "Via Proxy"})[0], 200)
        # Behind it, the address it names last is the client's, in the audit and the throttle.
        status, _ = service.request("POST", "/staff/signin", "name=amy&password=wrong+password", {
            "Origin": service.url, "X-Forwarded-For": "10.9.9.9, 203.0.113.7",
            "Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(status, 401)
        self.assertIn(",amy,203.0.113.7,signin_failed,", service.cli("audit", "--csv"))
        service.add_player("<b>Bold</b>")
        token = amy.token()
        page = amy.send("POST", "/staff/events/add", {
            "csrf": token, "name": "Friday <i>", "start": "2030-01-04T19:00Z",
            "end": "2030-01-04T19:00Z", "servers": "", "description": ""})[1]
        self.assertIn('value="Friday &lt;i&gt;"', page)  # shown again, with the reason
        self.assertIn("ends", page)
        self.assertNotIn("<b>Bold", amy.send("GET", "/staff/players")[1])
        self.assertIn("&lt;b&gt;Bold", amy.send("GET", "/staff/players")[1])


class JoinLinks(unittest.TestCase):
    def test_a_join_link_downloads_once_and_a_new_key_keeps_the_history(self):
        service = Service(self).start("--no-wall-time-check")
        amy = Console(service, "amy", "members")
        page = amy.send("POST", "/staff/players/add", {"name": "Ann",
                                                       "csrf": amy.token("/staff/players")})[1]
        link = re.search(r"http://[^/]+(/join/[0-9a-f]{64})", page).group(1)
        status, page = service.request("GET", link)
        self.assertEqual(status, 200)
        self.assertIn(b"bin/win_x64/plugins/", page)
        status, ini = service.request("POST", link, b"")
        key = re.search(r"^ApiKey=([0-9a-f]{64})\r$", ini.decode(), re.M).group(1)
        self.assertEqual((status, service.request("POST", link, b"")[0]), (200, 410))
        self.assertIn(b"ask your community", service.request("GET", link)[1])
        self.assertEqual(service.post(body("Ann", 5, 600), key), 200)
        # A new key from the shell: the old one stops at once, the name and miles stay.
        shell_link = service.cli("player", "key", "Ann", "--link").splitlines()[-1].split()[-1]
        self.assertEqual(service.post(body("Ann", 1, 10), key), 401)
        new_ini = service.request("POST", shell_link, b"")[1].decode()
        new_key = re.search(r"^ApiKey=([0-9a-f]{64})\r$", new_ini, re.M).group(1)
        self.assertEqual(service.post(body("Ann", 2, 240), new_key), 200)
        self.assertEqual([(p["player_name"], p["miles"]) for p in service.leaderboard()],
                         [("Ann", 7.0)])
        # An expired link says so.
        expiring = service.cli("player", "key", "Ann", "--link").splitlines()[-1].split()[-1]
        with sqlite3.connect(service.path) as db:
            db.execute("UPDATE one_time_links SET expires_ms = 1 WHERE used_ms = 0")
        status, page = service.request("GET", expiring)
        self.assertEqual(status, 410)
        self.assertIn(b"expired", page)
        # The audit: each kind, from the console and the shell; no key anywhere.
        rows = service.cli("audit", "--csv")
        self.assertEqual(audit_kinds(service), [
            "staff_add", "password_set", "signin", "player_add", "join_download", "player_key",
            "join_download", "player_key"])
        self.assertIn(",shell,,player_key,Ann", rows)
        self.assertIn(",amy,127.0.0.1,player_add,Ann", rows)
        self.assertEqual(service.cli("audit", "--csv", "--since", "2100-01-01"),
                         "time,who,address,kind,what\n")
        service.cli("audit", "--since", "2100-13-01", status=2)
        for secret in (key, new_key):
            self.assertNotIn(secret, rows + service.log())


class Activity(unittest.TestCase):
    def test_the_consoles_activity_is_the_commands(self):
        service = Service(self)
        service.add_player("Ann")
        with sqlite3.connect(service.path) as db:  # added before January 2026
            db.execute("UPDATE players SET created_ms = 1764547200000")
        service.cli("player", "leave", "Ann", "--from", "2026-01-01", "--to", "2026-01-10")
        owner = Console(service.start(), "amy", "owner")
        query = "?month=2026-01&min=310"
        self.assertEqual(owner.send("GET", "/staff/activity.csv" + query),
                         (200, service.cli("activity", "--month", "2026-01", "--min-miles", "310",
                                           "--csv")))
        page = owner.send("GET", "/staff/activity" + query)[1]
        self.assertIn("<td>Ann</td><td>2025-12-01</td><td class=\"num\">0.0</td>", page)
        self.assertIn("<td class=\"num\">210.0</td>", page)  # 310 for 21 of 31 days
        self.assertIn("on leave 10 days, under the minimum, never reported", page)
        self.assertEqual(owner.send("GET", "/staff/activity?month=2026-01&min=-1")[0], 400)


class Week(unittest.TestCase):
    def test_a_week_of_staff_work_in_chromium_at_1280_and_360(self):
        service = Service(self).start("--server-max-mph", f"{SERVER}=80")
        browser = Browser(self)
        downloads = tempfile.TemporaryDirectory(prefix="vorn-downloads-")
        self.addCleanup(downloads.cleanup)
        browser.call("Browser.setDownloadBehavior", behavior="allow",
                     downloadPath=downloads.name, eventsEnabled=True)
        for width, who in ((1280, "wide"), (360, "narrow")):
            link = service.cli("staff", "add", who, "--role", "owner").split()[-1]
            driver_key = service.add_player(f"Speedy {who}")
            self.assertEqual(service.post(body(f"Speedy {who}", 10, 60), driver_key), 200)
            page = browser.load(service.url + link, width)
            self.assertEqual((page["heading"], page["sideways"]), (f"Welcome, {who}", 0))
            page = self.submit(browser, {"password": "the owner's password",
                                         "again": "the owner's password"}, width)
            self.assertEqual(page["heading"], "Staff sign-in")
            page = self.submit(browser, {"name": who, "password": "the owner's password"}, width)
            self.assertEqual((page["heading"], page["sideways"]), ("What waits", 0))
            for path, form, fields, notice in (
                    ("/staff/flags", "form[action='/staff/flags/accept']", {"note": "ok"},
                     "Accepted report"),  # the form's first button
                    ("/staff/events", "main form", {
                        "name": f"Friday {who}", "start": "2030-01-04T19:00Z",
                        "end": "2030-01-04T21:00Z"}, "added"),
                    ("/staff/players", "form[action='/staff/players/add']",
                     {"name": f"New {who}"}, "join link")):
                page = self.submit(browser, fields, width, form, url=service.url + path)
                self.assertEqual(page["sideways"], 0, path)
                self.assertIn(notice, self.text(browser, "p.notice"))
            join = re.search(r"/join/[0-9a-f]{64}", self.text(browser, "p.notice")).group(0)
            page = browser.load(service.url + join, width)
            self.assertEqual((page["heading"], page["sideways"]), (f"Welcome, New {who}", 0))
            browser.call("Runtime.evaluate", browser.session,
                         expression="document.querySelector('main form').requestSubmit()")
            while (message := browser.next_message()).get("method") != "Browser.downloadProgress" \
                    or message["params"]["state"] != "completed":
                pass
            ini = (pathlib.Path(downloads.name) / "VORN_Davida_Client.ini").read_text()
            (pathlib.Path(downloads.name) / "VORN_Davida_Client.ini").unlink()
            key = re.search(r"^ApiKey=([0-9a-f]{64})$", ini, re.M).group(1)
            self.assertEqual(service.post(body(f"New {who}", 1, 60), key), 200)
            self.submit(browser, {}, width, "form[action='/staff/signout']",
                        url=service.url + "/staff")
            self.assertEqual(self.text(browser, "main h2"), "Staff sign-in")
        kinds = audit_kinds(service)
        self.assertEqual({kind: kinds.count(kind) for kind in ("flag_accept", "event_add",
                          "player_add", "join_download", "signout")}, {"flag_accept": 2,
                          "event_add": 2, "player_add": 4, "join_download": 2, "signout": 2})

    def text(self, browser, selector):
        return browser.call("Runtime.evaluate", browser.session, returnByValue=True,
                            expression=f"document.querySelector({selector!r}).textContent"
                            )["result"]["value"]

    def submit(self, browser, fields, width, form="main form", url=None):
        if url:
            browser.load(url, width)
        fill = "".join(f"f.elements[{k!r}].value = {v!r};" for k, v in fields.items())
        browser.call("Runtime.evaluate", browser.session,
                     expression=f"const f = document.querySelector({form!r}); {fill} "
                                "f.requestSubmit()")
        while browser.next_message().get("method") != "Page.loadEventFired":
            pass
        return browser.call("Runtime.evaluate", browser.session, returnByValue=True, expression=
                            "({heading: document.querySelector('main h2').textContent, "
                            "sideways: document.documentElement.scrollWidth - innerWidth})"
                            )["result"]["value"]


if __name__ == "__main__":
    unittest.main()
