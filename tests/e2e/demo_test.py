"""./demo.sh end to end, on free ports with a folder of its own and the built
distribution, which it installs into that folder: the contact and order forms of
the sample site, posted with the hidden fields their pages carry, leave a form mail
and a receipt each in the mail folder (the contact receipt with its attachment), a
database row and an entry on the order list; SIGINT then stops the demo and
everything it started. A second start installs over the first and keeps the mails,
the database and the order list. The front page links the site owner's inbox, which
lighttpd serves only to the demo user the demo prints, with the submission just made. The demo runs velloc as $VELLOC_E2E_MODE says: cgi,
or persistent (fastcgi, the demo's default)."""

import base64
import email
import email.policy
import glob
import http.client
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import urllib.request
from pathlib import Path

from altcha_solver import fetch_and_solve
from harness import MODE, SAMPLES, SOURCE_DIR
from system_support import distinct_free_ports, eventually, listening, mail_names

BIN_DIR = os.environ.get("BUILD_DIR") or os.path.dirname(os.environ.get("VELLOC_BINARY", ""))
SITE = SAMPLES / "site"
TEMPLATE_DIR = SAMPLES / "templates" / "Brannic" / "Templates"
CGI = "/cgi-bin/VLPro/velloc"
INBOX = CGI + "/inbox"
START_SECONDS = 60
STOP_SECONDS = 20


def form_fields(page, visible):
    """The hidden fields of the sample page, then the visible ones given."""
    html = (SITE / page).read_text()
    hidden = re.findall(r'<input type="hidden" name="([^"]+)" value="([^"]*)">', html)
    return hidden + list(visible.items())


def live_processes_of_group(pgid):
    found = []
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            fields = Path(stat).read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            found.append(stat.split("/")[2])
    return found


def processes_running(program):
    """The processes whose program is the file `program`."""
    found = []
    for exe in glob.glob("/proc/[0-9]*/exe"):
        try:
            if os.path.samefile(exe, program):
                found.append(exe.split("/")[2])
        except OSError:
            continue
    return found


def sqlite_driver_installed():
    return bool(glob.glob("/usr/lib/*/odbc/libsqlite3odbc.so"))


@unittest.skipUnless(sqlite_driver_installed(), "the SQLite ODBC driver is not installed")
class DemoTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-demo-"))
        self.demo_dir = self.root / "demo-run"
        self.http_port, self.partner_port, self.smtp_port = distinct_free_ports(3)
        self.demo = None
        self.output = None
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.start_demo()

    def start_demo(self):
        # The ports are picked free before the demo binds them, and another program may
        # take one in between; the demo then stops at once and is started on others.
        for attempt in range(3):
            if self.launch_demo():
                return
            if attempt == 2 or "already in use" not in self.demo_output():
                break
            self.http_port, self.partner_port, self.smtp_port = distinct_free_ports(3)
        self.fail(self.demo_output())

    def launch_demo(self):
        """Whether the demo started and serves."""
        self.output = open(self.root / "demo.out", "w+")
        env = dict(os.environ, DEMO_HTTP_PORT=str(self.http_port),
                   DEMO_PARTNER_PORT=str(self.partner_port),
                   DEMO_SMTP_PORT=str(self.smtp_port), DEMO_DIR=str(self.demo_dir),
                   DEMO_BIN_DIR=BIN_DIR, DEMO_MODE="cgi" if MODE == "cgi" else "fastcgi")
        # Its own process group, so that the test can see (and at worst end) all of it;
        # SIGINT at its default, as from a terminal.
        self.demo = subprocess.Popen(
            ["bash", str(SOURCE_DIR / "demo.sh")], env=env, stdin=subprocess.DEVNULL,
            stdout=self.output, stderr=subprocess.STDOUT, start_new_session=True,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.addCleanup(self.clean_up, self.demo, self.output)
        started = eventually(lambda: self.demo.poll() is not None or listening(self.http_port),
                             START_SECONDS)
        return started and self.demo.poll() is None

    def stop_demo(self):
        os.kill(self.demo.pid, signal.SIGINT)
        self.assertEqual(130, self.demo.wait(timeout=STOP_SECONDS))
        self.assertTrue(self.demo_output().endswith("Demo stopped.\n"), self.demo_output())
        self.assertTrue(eventually(lambda: not live_processes_of_group(self.demo.pid), 10),
                        live_processes_of_group(self.demo.pid))
        for port in (self.http_port, self.partner_port, self.smtp_port):
            self.assertFalse(listening(port), port)
        velloc = self.demo_dir / "VLPro" / "velloc"
        self.assertTrue(eventually(lambda: not processes_running(velloc), STOP_SECONDS),
                        processes_running(velloc))

    @staticmethod
    def clean_up(demo, output):
        if live_processes_of_group(demo.pid):
            os.killpg(demo.pid, signal.SIGKILL)
        demo.wait(timeout=STOP_SECONDS)
        output.close()

    def demo_output(self):
        self.output.seek(0)
        return self.output.read()

    def post(self, page, visible):
        referer = f"http://127.0.0.1:{self.http_port}/{page}"
        if page == "contact.html":  # its profile sets a challenge, which the widget solves
            visible = dict(visible, altcha=fetch_and_solve(
                lambda path: self.get_from(path, referer), CGI + "/challenge?FORM_PROFILE=contact"))
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=60)
        try:
            connection.request("POST", CGI,
                               urllib.parse.urlencode(form_fields(page, visible)),
                               {"Content-Type": "application/x-www-form-urlencoded",
                                "Referer": referer})
            response = connection.getresponse()
            return response.status, response.read().decode()
        finally:
            connection.close()

    def get_from(self, path, referer):
        request = urllib.request.Request(f"http://127.0.0.1:{self.http_port}{path}",
                                         headers={"Referer": referer})
        with urllib.request.urlopen(request, timeout=60) as r:
            return r.status, dict(r.headers), r.read()

    def get(self, path):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}{path}", timeout=60) as r:
            return r.read().decode()

    def get_as(self, path, login):
        """Status and body of GET `path` with the basic login `login` ("user:password",
        or None for none)."""
        headers = {}
        if login:
            headers["Authorization"] = "Basic " + base64.b64encode(login.encode()).decode()
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=60)
        try:
            connection.request("GET", path, headers=headers)
            response = connection.getresponse()
            return response.status, response.read().decode(errors="replace")
        finally:
            connection.close()

    def demo_login(self):
        """The inbox's user and password as the demo prints them."""
        # The demo prints it once all its servers run, which may be after the site answers.
        def printed():
            return re.search(r"^Inbox: .*\(user (\S+), password (\S+)\)$", self.demo_output(),
                             re.M)
        self.assertTrue(eventually(printed, STOP_SECONDS), self.demo_output())
        found = printed()
        return f"{found[1]}:{found[2]}"

    def new_mails(self, seen, count):
        """The `count` mails stored since `seen` (a set of names, updated), by envelope
        recipient, once the mail sink has stored them all."""
        folder = self.demo_dir / "mail"
        eventually(lambda: len(set(mail_names(folder)) - seen) >= count, STOP_SECONDS)
        names = sorted(set(mail_names(folder)) - seen)
        seen.update(names)
        mails = {}
        for name in names:
            with open(folder / name, "rb") as stored:
                message = email.message_from_binary_file(stored, policy=email.policy.default)
            mails[message["X-Envelope-To"]] = message
        return mails

    def test_forms_mails_database_list_and_stop(self):
        seen = set()
        status, page = self.post("contact.html", {
            "name": "Ann", "email": "ann@example.test", "topic": "wholesale",
            "message": "Do you sell to cafes?", "phone": ""})
        self.assertEqual(200, status)
        self.assertIn("<h1>Thank you, Ann</h1>", page)
        mails = self.new_mails(seen, 2)
        self.assertEqual({"owner@example.test", "ann@example.test"}, set(mails))
        form_mail, receipt = mails["owner@example.test"], mails["ann@example.test"]
        self.assertEqual("Contact form message", form_mail["Subject"])
        self.assertIn("Topic:      wholesale\n", form_mail.get_body().get_content())
        self.assertEqual("tea@example.test", receipt["From"])
        self.assertTrue(receipt.get_body().get_content().startswith("Dear Ann,\n"))
        (attachment,) = receipt.iter_attachments()
        self.assertEqual("tea-guide.txt", attachment.get_filename())
        self.assertEqual((TEMPLATE_DIR / "SendFile" / "tea-guide.txt").read_bytes(),
                         attachment.get_payload(decode=True))

        status, page = self.post("order.html", {
            "qty_sencha": "2", "qty_assam": "0", "qty_oolong": "3", "name": "Bo",
            "email": "bo@example.test", "address": "1 Leaf Lane", "gift": "yes",
            "comments": "Before Friday"})
        self.assertEqual(200, status)
        self.assertIn('Total</td><td class="num">$32.40</td>', page)
        mails = self.new_mails(seen, 2)
        self.assertEqual({"owner@example.test", "bo@example.test"}, set(mails))
        self.assertIn("QTY_OOLONG:  3\n", mails["owner@example.test"].get_body().get_content())
        self.assertIn("  Total: $32.40\n", mails["bo@example.test"].get_body().get_content())
        with sqlite3.connect(self.demo_dir / "data" / "orders.db") as db:
            rows = db.execute("SELECT CustName, Email, Address, Sencha, Assam, Oolong, GiftWrap,"
                              " Comments FROM Orders").fetchall()
        self.assertEqual([("Bo", "bo@example.test", "1 Leaf Lane", 2, 0, 3, "yes",
                           "Before Friday")], rows)
        order_list = self.get("/orders.htm")
        self.assertIn('<tr><td>Bo</td><td class="num">2</td><td class="num">0</td>'
                      '<td class="num">3</td><td>yes</td><td>Before Friday</td></tr>\n',
                      order_list)
        self.stop_demo()

        self.start_demo()
        settings = (self.demo_dir / "VLPro" / "VELLOC.INI").read_text()
        self.assertTrue(settings.startswith(
            f"[Velloc]\nSMTP=127.0.0.1:{self.smtp_port}\nDefaultRecipient=owner@example.test\n"
            "DEFAULTSENDER="), settings)
        self.assertEqual(1, settings.count("LOGFILE="), settings)
        self.assertEqual(order_list, self.get("/orders.htm"))
        self.assertEqual(4, len(os.listdir(self.demo_dir / "mail")))
        with sqlite3.connect(self.demo_dir / "data" / "orders.db") as db:
            self.assertEqual(1, db.execute("SELECT COUNT(*) FROM Orders").fetchone()[0])
        self.stop_demo()

    def test_inbox_behind_the_login(self):
        self.assertIn(f'<a href="{INBOX}"', self.get("/"))
        status, _ = self.post("redirect.html", {"email": "cy.inbox@example.test"})
        self.assertEqual(302, status)
        login = self.demo_login()
        # The installed settings, the profiles and the templates they name pass the check.
        self.assertIn("Settings check (velloc --check):\n0 errors, 0 warnings\n",
                      self.demo_output())
        user = login.split(":")[0]
        query = INBOX + "?" + urllib.parse.urlencode({"q": "cy.inbox@example.test"})
        for case, credentials, expected in (
                ("no login", None, 401), ("wrong password", user + ":wrong", 401),
                ("unknown user", "nobody:" + login.split(":")[1], 401),
                ("the demo user", login, 200)):
            with self.subTest(case):
                status, page = self.get_as(query, credentials)
                self.assertEqual(expected, status, page)
                self.assertEqual(expected == 200, "cy.inbox@example.test" in page, page)
        rows = re.findall(r'<tr class="submission">.*?</tr>', page, re.S)
        self.assertEqual(1, len(rows), page)
        self.assertIn("newsletter", rows[0])
        # The forms themselves need no login.
        status, _ = self.get_as(CGI + "/challenge?FORM_PROFILE=contact", None)
        self.assertNotEqual(401, status)
        self.stop_demo()


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
