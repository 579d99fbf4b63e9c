"""Deliveries with the archive on, through the web server: mail that cannot be sent
now is kept and the visitor gets the normal answer; one velloc --deliver later sends
each kept mail once; a run killed mid-send leaves its mail pending; a webhook that
answers 503 is called again on the retry schedule until it answers 200; a call given
up, in its run or by --deliver, notifies the owner, raises one alert and marks its
submission failed; a submission whose run was killed before its deliveries is sent by
--deliver; releases started together send once; persistent, the server sends what
falls due itself, the relay down and then back, and a delivery it gives up raises an
alert, posted signed and given to a command. Run in both delivery modes
(VELLOC_E2E_DELIVERY=direct or queue); in queue mode a burst reaches a slow relay that
goes down and comes back, each mail once."""

import base64
import datetime
import collections
import email
import email.policy
import hashlib
import hmac
import json
import os
import re
import signal
import socket
import sqlite3
import subprocess
import sys
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.environ.get("SOURCE_DIR", "."), "tools"))
import mail_sink  # noqa: E402
from attack_test import HeldSmtpServer  # noqa: E402
from harness import MODE, VELLOC_BINARY, Site, free_port  # noqa: E402
from postgres_insert_test import (DRIVER_GLOBS, PASSWORD, PG_BIN_GLOB,  # noqa: E402
                                  PostgresServer, find_first)
from system_support import LoopbackHttpServer, odbc_environment, scratch_folder  # noqa: E402

# "direct": the run sends at once; "queue": the delivery work or --deliver sends.
QUEUE = os.environ.get("VELLOC_E2E_DELIVERY", "direct") == "queue"
# Queue mode served persistently: the server's senders try each delivery at once.
SERVER_SENDS = QUEUE and MODE != "cgi"
WAIT_SECONDS = 30
SHARED_DELIVERIES = 200
PAUSED = "the mail relay cannot be reached: mails wait"
POSTERS = 4
OWNER = "owner@example.com"
BOUNDARY = "deliveryboundary"


def iso(milliseconds):
    stamp = datetime.datetime.fromtimestamp(milliseconds / 1000, datetime.timezone.utc)
    return stamp.strftime("%Y-%m-%dT%H:%M:%SZ")


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT_SECONDS
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class FlakyReceiver(LoopbackHttpServer):
    """Answers 503 to its first `failures` calls, then 200."""

    def __init__(self, failures):
        self.failures = failures
        super().__init__()

    def answer(self, path, body):
        return 503 if len(self.calls) <= self.failures else 200, {}, b""

    def signed_with(self, call, secret):
        _, headers, body = self.calls[call]
        stamp = headers.get("X-Velloc-Timestamp", "")
        expected = hmac.new(secret.encode(), stamp.encode() + b"." + body,
                            hashlib.sha256).hexdigest()
        return hmac.compare_digest(headers.get("X-Velloc-Signature", ""), "sha256=" + expected)


class SlowRelay:
    """A loopback SMTP relay that holds each reply back by `delay` seconds and keeps the
    Message-ID of every message it accepts; while down it answers new connections 421, and
    the next mail on an open one too, and closes it."""

    def __init__(self, delay):
        self.delay, self.down, self.accepted = delay, False, []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            thread = threading.Thread(target=self._converse, args=(connection,), daemon=True)
            thread.start()

    def _converse(self, connection):
        with connection, connection.makefile("rb") as lines:
            def reply(text):
                time.sleep(self.delay)
                connection.sendall(text.encode() + b"\r\n")
            if self.down:
                return reply("421 4.3.2 down for now")
            reply("220 slow relay")
            for line in lines:
                verb = line[:4].upper()
                if verb == b"MAIL" and self.down:
                    return reply("421 4.3.2 down for now")
                if verb == b"DATA":
                    reply("354 go on")
                    message = b"".join(iter(lines.readline, b".\r\n"))
                    found = re.search(rb"^Message-ID: *(\S+)", message, re.M | re.I)
                    with self.lock:
                        self.accepted.append(found.group(1).decode() if found else "")
                    reply("250 2.0.0 queued")
                elif verb == b"QUIT":
                    return reply("221 bye")
                else:
                    reply("250 ok")

    def close(self):
        self.listener.close()


class DeliveryTest(unittest.TestCase):
    def setUp(self):
        self.scratch = scratch_folder(self, "velloc-delivery-")
        self.odbc = odbc_environment(self.scratch / "odbc", {})
        self.smtp_port = free_port()
        self.settings = {"Archive": "1", "SMTP": f"127.0.0.1:{self.smtp_port}",
                         "AllowedRecipients": OWNER, "DefaultRecipient": OWNER,
                         "Delivery": "queue" if QUEUE else "direct"}
        self.sink = None

    def tearDown(self):
        if self.sink:
            self.sink.stop()

    def command(self, site, *arguments):
        return [VELLOC_BINARY, *arguments, "--settings", str(site.cgi_bin / "VELLOC.ini")]

    def velloc(self, site, *arguments):
        result = subprocess.run(
            self.command(site, *arguments), capture_output=True, text=True,
            env=dict(self.odbc, PATH="/usr/bin:/bin"), timeout=WAIT_SECONDS * 10)
        self.assertEqual(0, result.returncode, result.stderr)
        return result.stdout

    def database(self, site):
        return sqlite3.connect(site.cgi_bin / "velloc-state.db")

    def deliveries(self, site):
        with self.database(site) as database:
            return database.execute(
                "SELECT status, attempts, claimed_by, created_at FROM velloc_deliveries").fetchall()

    def first_attempts(self, site):
        """Each delivery tried once, as a run tries it in direct mode, or by a --deliver
        now in queue mode; what that printed. The server's senders instead pause once
        the relay cannot be reached, leaving the rest untried (waited for)."""
        if SERVER_SENDS:
            wait_for(lambda: PAUSED in site.log or all(
                row[1] >= 1 or row[0] != "pending" for row in self.deliveries(site)),
                "the first attempts")
        return self.velloc(site, "--deliver") if QUEUE and MODE == "cgi" else ""

    def all_arrived(self, site, count):
        """Whether the sink has `count` mails. With the server's senders, a --deliver
        runs first: a mail the server had in hand when the last one ran, and failed
        while the relay was still down, falls due again at once."""
        if SERVER_SENDS:
            self.velloc(site, "--deliver", "--now", iso(time.time() * 1000 + 120_000))
        return len(self.mails()) >= count

    def tried_at_most_once(self, site):
        """The attempts of each pending delivery: one each, or none yet behind the
        server's pause."""
        attempts = {row[1] for row in self.deliveries(site) if row[0] == "pending"}
        return attempts <= {0, 1} if SERVER_SENDS else attempts == {1}

    def start_sink(self):
        self.sink = mail_sink.start_sink(str(self.scratch / "mails"), self.smtp_port)

    def mails(self):
        folder = self.scratch / "mails"
        return [email.message_from_bytes(path.read_bytes(), policy=email.policy.default)
                for path in sorted(folder.glob("*.eml"))]

    def post(self, site, number):
        return site.post("/cgi-bin/velloc", [("name", f"Visitor {number}"),
                                             ("EMAIL", f"v{number}@example.com"),
                                             ("RECIPIENT", OWNER),
                                             ("SUBJECT", f"Submission {number}")])

    def test_smtp_down_then_one_deliver_sends_each_once(self):
        with Site(settings=self.settings, cgi_env=self.odbc) as site:
            for number in range(100):
                status, _, body = self.post(site, number)
                self.assertEqual(200, status)
                self.assertNotIn(b"Error", body)
            queued = "the delivery work" if QUEUE else "a later delivery"
            self.assertEqual(100, site.log.count(f"Mail queued for {queued} (form_mail)"))
            self.first_attempts(site)
            self.assertEqual(100, len(self.deliveries(site)))
            self.assertTrue(self.tried_at_most_once(site), self.deliveries(site))
            self.start_sink()
            sent = self.velloc(site, "--deliver", "--now", iso(time.time() * 1000 + 120_000))
            # The server's senders may take some once their pause ends: each goes once.
            wait_for(lambda: self.all_arrived(site, 100), "every mail")
            self.assertEqual(100, len({mail["Message-ID"] for mail in self.mails()}))
            self.assertEqual(100, len(self.mails()))
            if not SERVER_SENDS:
                self.assertEqual(100, sent.count(" form_mail delivered"), sent)
            # The first attempt kept why it failed, the second the relay's acceptance.
            with self.database(site) as database:
                (submission,), = database.execute(
                    "SELECT submission_id FROM velloc_deliveries ORDER BY attempts DESC LIMIT 1")
            mail, = json.loads(self.velloc(site, "--show", submission, "--json"))["deliveries"]
            refused, accepted = [attempt["reply"] for attempt in mail["attempts"]]
            self.assertEqual(f"could not connect to 127.0.0.1 port {self.smtp_port}: "
                             "Connection refused", refused)
            self.assertTrue(accepted.startswith("250 "), accepted)
            mails = self.mails()
            self.assertEqual(100, len(mails))
            self.assertEqual({f"Submission {n}" for n in range(100)},
                             {mail["Subject"] for mail in mails})
            self.assertEqual(100, len({mail["Message-ID"] for mail in mails}))
            self.assertEqual("", self.velloc(site, "--deliver",
                                             "--now", iso(time.time() * 1000 + 7_200_000)))
            self.assertEqual("", self.velloc(site, "--list", "--status", "pending"))
            self.assertEqual(100, len(self.mails()))

    def test_mail_with_large_files_is_kept_in_parts_and_sent_whole(self):
        files = [("cv", "cv.bin", os.urandom(700 * 1024)), ("photo", "photo.bin", b"\0" * 5000)]
        parts = [f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n'
                 f'{value}\r\n'.encode() for name, value in
                 (("EMAIL", "v@example.com"), ("RECIPIENT", OWNER), ("SUBJECT", "Files"))]
        parts += [f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{field}"; '
                  f'filename="{name}"\r\nContent-Type: application/octet-stream\r\n\r\n'
                  .encode() + data + b"\r\n" for field, name, data in files]
        body = b"".join(parts) + f"--{BOUNDARY}--\r\n".encode()
        with Site(settings=self.settings, cgi_env=self.odbc) as site:
            status, _, answer = site.request(
                "POST", "/cgi-bin/velloc", body,
                {"Content-Type": f"multipart/form-data; boundary={BOUNDARY}"})
            self.assertEqual(200, status)
            self.assertNotIn(b"Error", answer)
            self.first_attempts(site)
            with self.database(site) as database:
                (payload,), = database.execute("SELECT payload FROM velloc_deliveries")
                (kept,), = database.execute("SELECT count(*) FROM velloc_delivery_parts")
            # The envelope and the message's header in the row; the files in parts.
            head = base64.b64decode(payload).partition(b"\n\n")[2]
            self.assertIn(b"Subject: Files", head)
            self.assertGreater(kept, 1)
            submission = self.velloc(site, "--list").split()[0]
            self.start_sink()
            sent = self.velloc(site, "--deliver", "--now", iso(time.time() * 1000 + 120_000))
            self.assertIn(" form_mail delivered", sent)
            self.assertIn(" form_mail delivered", self.velloc(site, "--resend", submission))
            mails = self.mails()
            self.assertEqual(2, len(mails))
            for mail in mails:
                self.assertEqual("Files", mail["Subject"])
                self.assertEqual([(name, data) for _, name, data in files],
                                 [(part.get_filename(), part.get_payload(decode=True))
                                  for part in mail.iter_attachments()])
            self.assertEqual(1, len({mail["Message-ID"] for mail in mails}))
            self.velloc(site, "--erase", "v@example.com")
            with self.database(site) as database:
                self.assertEqual((0,), database.execute(
                    "SELECT count(*) FROM velloc_delivery_parts").fetchone())

    @unittest.skipUnless(find_first([PG_BIN_GLOB]) and find_first(DRIVER_GLOBS),
                         "PostgreSQL server or its ODBC driver is not installed")
    def test_two_deliverers_on_a_shared_store_send_each_once(self):
        os.chmod(self.scratch, 0o755)
        server = PostgresServer(self.scratch / "server")
        try:
            server.start()
            dsn = (f"DRIVER={{{find_first(DRIVER_GLOBS)}}};Servername=127.0.0.1;"
                   f"Port={server.port};Database=postgres;UID=velloc;PWD={{{PASSWORD}}}")
            with Site(settings=dict(self.settings, StateDSN=dsn), cgi_env=self.odbc) as site:
                with ThreadPoolExecutor(POSTERS) as posters:
                    answers = list(posters.map(lambda n: self.post(site, n),
                                               range(SHARED_DELIVERIES)))
                self.assertEqual([200] * SHARED_DELIVERIES, [answer[0] for answer in answers])
                if SERVER_SENDS:
                    wait_for(lambda: PAUSED in site.log, "the senders' pause")
                self.assertEqual(f"pending|{SHARED_DELIVERIES}\n", server.sql(
                    "SELECT status, count(*) FROM velloc_deliveries GROUP BY status"))
                self.start_sink()
                due = iso(time.time() * 1000 + 120_000)
                command = [VELLOC_BINARY, "--deliver", "--now", due,
                           "--settings", str(site.cgi_bin / "VELLOC.ini")]
                deliverers = [subprocess.Popen(command, stdout=subprocess.PIPE,
                                               stderr=subprocess.PIPE, text=True,
                                               env=dict(self.odbc, PATH="/usr/bin:/bin"))
                              for _ in range(2)]
                outputs = [deliverer.communicate(timeout=WAIT_SECONDS * 10)
                           for deliverer in deliverers]
                for deliverer, (_, errors) in zip(deliverers, outputs):
                    self.assertEqual(0, deliverer.returncode, errors)
                sent = [line for output, _ in outputs for line in output.splitlines()]
                print("deliverers sent", [len(output.splitlines()) for output, _ in outputs],
                      file=sys.stderr)
                # The server's senders may take some once their pause ends.
                if not SERVER_SENDS:
                    self.assertEqual(SHARED_DELIVERIES, len(sent), sent)
                self.assertTrue(all(" form_mail delivered" in line for line in sent), sent)
                self.assertEqual(len(sent), len({line.split()[0] for line in sent}))
                wait_for(lambda: self.all_arrived(site, SHARED_DELIVERIES), "every mail")
                arrived = collections.Counter(mail["Message-ID"] for mail in self.mails())
                self.assertEqual(SHARED_DELIVERIES, len(arrived))
                self.assertEqual({1}, set(arrived.values()))
                # Each was tried by its run (or the server, unless it paused) and once
                # more by one of the two.
                tries = 1 if QUEUE and MODE == "cgi" else 2
                fewest = 1 if SERVER_SENDS else tries
                self.assertEqual(f"delivered|{SHARED_DELIVERIES}\n", server.sql(
                    "SELECT status, count(*) FROM velloc_deliveries WHERE attempts BETWEEN "
                    f"{fewest} AND {tries} GROUP BY status"))
        finally:
            server.stop()

    @unittest.skipIf(QUEUE, "in queue mode the run sends nothing itself")
    def test_killed_mid_send_leaves_the_mail_pending(self):
        held = HeldSmtpServer()
        settings = dict(self.settings, SMTP=f"127.0.0.1:{held.port}")
        try:
            with Site(settings=settings, cgi_env=self.odbc) as site:
                poster = threading.Thread(target=lambda: self._post_ignoring_errors(site))
                poster.start()
                wait_for(lambda: held.connected.is_set() and self.deliveries(site),
                         "the run to hold its mail")
                (status, attempts, claimed_by, created_at), = self.deliveries(site)
                self.assertEqual(("pending", 0), (status, attempts))
                os.kill(int(claimed_by.split()[2]), signal.SIGKILL)
                poster.join(WAIT_SECONDS)
                listed = self.velloc(site, "--list", "--status", "pending").splitlines()
                self.assertEqual(1, len(listed), listed)
                held.close()
                self.smtp_port = held.port
                self.start_sink()
                # Its hold (ten minutes) has to pass before anyone else may take it.
                self.assertEqual("", self.velloc(site, "--deliver"))
                sent = self.velloc(site, "--deliver", "--now", iso(created_at + 11 * 60_000))
                self.assertIn(" form_mail delivered", sent)
                self.assertEqual(["Submission 1"], [mail["Subject"] for mail in self.mails()])
        finally:
            held.close()

    def test_a_submission_kept_without_its_deliveries_is_sent_by_deliver(self):
        self.start_sink()
        with Site(settings=self.settings, cgi_env=self.odbc) as site:
            self.assertEqual(200, self.post(site, 1)[0])
            self.first_attempts(site)
            submission = self.velloc(site, "--list").split()[0]
            # As a run killed after keeping the submission, before its deliveries.
            with self.database(site) as database:
                for table in ("velloc_delivery_attempts", "velloc_deliveries",
                              "velloc_action_outcomes"):
                    database.execute(f"DELETE FROM {table}")
                database.execute("UPDATE velloc_submissions SET status = 'received'")
                received_at, = database.execute(
                    "SELECT received_at FROM velloc_submissions").fetchone()
            # Its run might still be going until a delivery's hold has passed.
            self.assertEqual("", self.velloc(site, "--deliver"))
            later = iso(received_at + 11 * 60_000)
            recovered = self.velloc(site, "--deliver", "--now", later)
            # Queued again by the recovery, sent by that --deliver or the server's senders.
            self.assertTrue(recovered.startswith(f"{submission} submission recovered\n"),
                            recovered)
            self.assertEqual(QUEUE, " form_mail delivered" in recovered or SERVER_SENDS)
            self.assertEqual("", self.velloc(site, "--deliver", "--now", later))
            wait_for(lambda: len(self.mails()) == 2, "both mails")
            self.assertEqual(["Submission 1"] * 2, [mail["Subject"] for mail in self.mails()])
            wait_for(lambda: "pending" not in self.velloc(site, "--show", submission),
                     "the delivery recorded")
            shown = json.loads(self.velloc(site, "--show", submission, "--json"))
            self.assertEqual("accepted", shown["status"])
            self.assertEqual([("recovery", "done"), ("form_mail", "done")],
                             [(o["action"], o["result"]) for o in shown["outcomes"]])
            self.assertEqual(["delivered"], [d["status"] for d in shown["deliveries"]])

    def _post_ignoring_errors(self, site):
        try:
            self.post(site, 1)
        except Exception:  # the run was killed: the web server may answer anything
            pass

    def test_webhook_retried_until_delivered(self):
        receiver = FlakyReceiver(failures=3)
        self.start_sink()
        settings = dict(self.settings, Webhook=f"http://127.0.0.1:{receiver.port}/hook")
        try:
            with Site(settings=settings, cgi_env=self.odbc) as site:
                status, _, body = self.post(site, 1)
                self.assertEqual(200, status)
                self.assertNotIn(b"Error", body)
                self.first_attempts(site)
                self.assertEqual(1, len(receiver.calls))
                queued = "the delivery work" if QUEUE else "a later delivery"
                self.assertIn(f"Webhook queued for {queued}", site.log)
                with self.database(site) as database:
                    created_at, = database.execute(
                        "SELECT created_at FROM velloc_deliveries WHERE kind = 'webhook'"
                    ).fetchone()
                # The schedule: 1, 5 and 15 minutes apart.
                for minutes, calls, outcome in ((2, 2, "pending"), (10, 3, "pending"),
                                                (30, 4, "delivered")):
                    sent = self.velloc(site, "--deliver",
                                       "--now", iso(created_at + minutes * 60_000))
                    self.assertIn(f" webhook {outcome}: ", sent)
                    self.assertEqual(calls, len(receiver.calls))
                self.assertEqual(1, len({body for _, _, body in receiver.calls}))
                submission = self.velloc(site, "--list").split()[0]
                shown = self.velloc(site, "--show", submission)
                self.assertIn("delivered", shown)
                # Each attempt keeps the receiver's status line.
                shown = json.loads(self.velloc(site, "--show", submission, "--json"))
                webhook, = [d for d in shown["deliveries"] if d["kind"] == "webhook"]
                self.assertEqual(["HTTP/1.0 503 Service Unavailable"] * 3 + ["HTTP/1.0 200 OK"],
                                 [attempt["reply"] for attempt in webhook["attempts"]])
        finally:
            receiver.stop()

    def test_webhook_retried_with_its_profiles_secret_of_now(self):
        receiver = FlakyReceiver(failures=1)
        self.start_sink()
        hook = f"http://127.0.0.1:{receiver.port}/hook"
        try:
            with Site(settings=dict(self.settings, WebhookSecret="site secret"),
                      cgi_env=self.odbc) as site:
                settings_file = site.cgi_bin / "VELLOC.ini"
                site_part = settings_file.read_text()

                def profile(secret):
                    settings_file.write_text(site_part + f"[Form contact]\nRECIPIENT={OWNER}\n"
                                             f"Webhook={hook}\nWebhookSecret={secret}\n")

                profile("first secret")
                status, _, _ = site.post("/cgi-bin/velloc",
                                         [("FORM_PROFILE", "contact"), ("name", "Ann")])
                self.assertEqual(200, status)
                self.first_attempts(site)
                self.assertTrue(receiver.signed_with(0, "first secret"))
                submission = self.velloc(site, "--list", "--form", "contact").split()
                self.assertEqual("contact", submission[3])
                # The secret changed after the attempt: the receiver checks the new one.
                profile("second secret")
                sent = self.velloc(site, "--deliver", "--now", iso(time.time() * 1000 + 120_000))
                self.assertIn(" webhook delivered: ", sent)
                self.assertEqual(2, len(receiver.calls))
                self.assertTrue(receiver.signed_with(1, "second secret"))
                self.assertFalse(receiver.signed_with(1, "site secret"))
        finally:
            receiver.stop()

    def test_spam_of_a_profile_released_under_its_profile(self):
        self.start_sink()
        settings = dict(self.settings, ProfilesOnly="1", HoneypotField="website")
        with Site(settings=settings, cgi_env=self.odbc) as site:
            with open(site.cgi_bin / "VELLOC.ini", "a") as settings_file:
                settings_file.write(f"[Form contact]\nRECIPIENT={OWNER}\nSUBJECT=Released\n")
            status, _, _ = site.post("/cgi-bin/velloc", [
                ("FORM_PROFILE", "contact"), ("name", "Ann"), ("website", "http://spam.test")])
            self.assertEqual(200, status)
            spam = self.velloc(site, "--list", "--status", "spam", "--form", "contact").split()
            # Kept as the visitor sent them: the profile's fields come from the settings.
            shown = json.loads(self.velloc(site, "--show", spam[0], "--json"))
            self.assertEqual([("NAME", "Ann"), ("WEBSITE", "http://spam.test")],
                             sorted((f["name"], f["value"]) for f in shown["fields"]))
            self.assertEqual(f"released {spam[0]}\n", self.velloc(site, "--release", spam[0]))
            self.first_attempts(site)
            wait_for(self.mails, "the mail")
            self.assertEqual(["Released"], [mail["Subject"] for mail in self.mails()])

    def test_releases_started_together_send_once(self):
        self.start_sink()
        with Site(settings=dict(self.settings, HoneypotField="website"),
                  cgi_env=self.odbc) as site:
            status, _, _ = site.post("/cgi-bin/velloc", [
                ("name", "Ann"), ("RECIPIENT", OWNER), ("SUBJECT", "Released once"),
                ("website", "http://spam.test")])
            self.assertEqual(200, status)
            spam = self.velloc(site, "--list", "--status", "spam").split()[0]
            releases = [subprocess.Popen(self.command(site, "--release", spam),
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         text=True, env=dict(self.odbc, PATH="/usr/bin:/bin"))
                        for _ in range(4)]
            ended = sorted((release.communicate(timeout=WAIT_SECONDS * 10), release.returncode)
                           for release in releases)
            already = (("", f"velloc: submission {spam} was released already\n"), 1)
            self.assertEqual([already] * 3 + [((f"released {spam}\n", ""), 0)], ended)
            self.first_attempts(site)
            wait_for(self.mails, "the mail")
            self.assertEqual(["Released once"], [mail["Subject"] for mail in self.mails()])

    def test_a_webhook_given_up_anywhere_notifies_the_owner(self):
        self.start_sink()
        busy = FlakyReceiver(failures=1000)
        refusing = f"http://127.0.0.1:{free_port()}/hook"
        busy_hook = f"http://127.0.0.1:{busy.port}/hook"
        # (where, DeliveryRetryHours, address, --deliver this many hours later or None)
        cases = [("in its run", "0", refusing, None), ("by --deliver", "1", busy_hook, 2)]
        alerts = LoopbackHttpServer()
        try:
            for where, hours, hook, deliver_after in cases:
                alerts.calls.clear()
                with self.subTest(where), Site(settings=dict(
                        self.settings, DeliveryRetryHours=hours, Webhook=hook,
                        AlertWebhook=alerts.url("/alert")), cgi_env=self.odbc) as site:
                    before = len(self.mails())
                    self.assertEqual(200, self.post(site, 1)[0])
                    self.first_attempts(site)
                    submission = self.velloc(site, "--list").split()[0]
                    if deliver_after:
                        # Each --deliver tries it once: the schedule's attempts, then it fails.
                        later = time.time() * 1000 + deliver_after * 3_600_000
                        sent = [self.velloc(site, "--deliver", "--now", iso(later + second * 1000))
                                for second in range(1, 8)]
                        self.assertEqual(1, sum(" webhook failed: " in out for out in sent), sent)
                    wait_for(lambda: len(self.mails()) == before + 2 and alerts.calls,
                             "the notice and the alert")
                    self.assertEqual([f"Delivery failed: submission {submission}",
                                      "Submission 1"],
                                     sorted(mail["Subject"] for mail in self.mails()[before:]))
                    self.assertEqual(submission,
                                     self.velloc(site, "--list", "--status", "failed").split()[0])
                    shown = json.loads(self.velloc(site, "--show", submission, "--json"))
                    self.assertEqual("failed", shown["status"])
                    self.assertEqual(("webhook", "failed"), (shown["outcomes"][-1]["action"],
                                                             shown["outcomes"][-1]["result"]))
                    self.assertEqual([("delivery_given_up", submission)],
                                     [(alert["event"], alert["submission"]) for alert in
                                      (json.loads(body) for _, _, body in alerts.calls)])
        finally:
            busy.stop()
            alerts.stop()

    @unittest.skipIf(MODE == "cgi", "the server's own deliveries need the persistent mode")
    def test_the_server_sends_what_falls_due_and_alerts_what_it_gives_up(self):
        alerts = LoopbackHttpServer()
        secret = "alert-secret-" + "x" * 32
        command, told = self.scratch / "alert.sh", self.scratch / "alert.env"
        command.write_text(f"#!/bin/sh\nenv | grep ^VELLOC_ALERT_ | sort > {told}.new\n"
                           f"mv {told}.new {told}\n")
        command.chmod(0o755)
        settings = dict(self.settings, AlertWebhook=alerts.url("/alert"),
                        AlertWebhookSecret=secret, AlertCommand=str(command))
        try:
            with Site(settings=settings, cgi_env=self.odbc) as site:
                for number in (1, 2):
                    self.assertEqual(200, self.post(site, number)[0])
                self.first_attempts(site)
                delivered, given_up = (line.split()[0] for line in
                                       self.velloc(site, "--list").splitlines())

                def fall_due(submission, attempts=1):
                    with self.database(site) as database:
                        database.execute(
                            "UPDATE velloc_deliveries SET next_attempt = ?, attempts = ? "
                            "WHERE submission_id = ?",
                            (int(time.time() * 1000), attempts, submission))

                # Its last attempt with the relay still down: given up by the server.
                fall_due(given_up, attempts=80)
                wait_for(lambda: told.exists() and alerts.calls, "the alert")
                (path, _, body), = alerts.calls
                self.assertEqual("/alert", path)
                self.assertTrue(FlakyReceiver.signed_with(alerts, 0, secret))
                alert = json.loads(body)
                self.assertEqual(["delivery", "event", "reason", "submission", "time"],
                                 sorted(alert))
                self.assertEqual(("delivery_given_up", given_up),
                                 (alert["event"], alert["submission"]))
                self.assertIn("could not connect", alert["reason"])
                self.assertEqual(f"VELLOC_ALERT_DELIVERY={alert['delivery']}\n"
                                 "VELLOC_ALERT_EVENT=delivery_given_up\n"
                                 f"VELLOC_ALERT_REASON={alert['reason']}\n"
                                 f"VELLOC_ALERT_SUBMISSION={given_up}\n"
                                 f"VELLOC_ALERT_TIME={alert['time']}\n", told.read_text())
                self.assertEqual(given_up,
                                 self.velloc(site, "--list", "--status", "failed").split()[0])
                # The relay back: no timer, no --deliver; the server sends it once due.
                self.start_sink()
                fall_due(delivered)
                wait_for(self.mails, "the mail")
                self.assertEqual(["Submission 2"], [mail["Subject"] for mail in self.mails()])
                shown = json.loads(self.velloc(site, "--show", delivered, "--json"))
                self.assertEqual(["delivered"], [d["status"] for d in shown["deliveries"]])
                self.assertEqual(1, len(alerts.calls))
        finally:
            alerts.stop()

    @unittest.skipUnless(QUEUE and MODE != "cgi", "the burst is sent by the server's senders")
    def test_a_burst_reaches_a_slow_relay_that_goes_down_and_comes_back(self):
        relay = SlowRelay(delay=0.02)
        settings = dict(self.settings, SMTP=f"127.0.0.1:{relay.port}", SmtpConnections="4")
        try:
            with Site(settings=settings, cgi_env=self.odbc) as site:
                with ThreadPoolExecutor(POSTERS) as posters:
                    answers = list(posters.map(lambda n: self.post(site, n), range(60)))
                    self.assertEqual([200] * 60, [answer[0] for answer in answers])
                    wait_for(lambda: relay.accepted, "the first mails")
                    relay.down = True
                    answers = list(posters.map(lambda n: self.post(site, n), range(60, 80)))
                    self.assertEqual([200] * 20, [answer[0] for answer in answers])
                self.assertNotIn(b"Error", b"".join(answer[2] for answer in answers))

                # Every delivery the relay did not take is kept for later, tried once at
                # most: the senders pause while it cannot be reached.
                wait_for(lambda: PAUSED in site.log and len(self.deliveries(site)) == 80
                         and self.tried_at_most_once(site), "the relay's refusals")
                relay.down = False

                def delivered():
                    # Time passes: a retry falls due at once, also one whose attempt was
                    # under way while the relay came back.
                    with self.database(site) as database:
                        database.execute("UPDATE velloc_deliveries SET next_attempt = ? "
                                         "WHERE status = 'pending' AND claimed_by = ''",
                                         (int(time.time() * 1000),))
                    return {row[0] for row in self.deliveries(site)} == {"delivered"}
                wait_for(delivered, "every delivery")
                self.assertEqual(80, len(relay.accepted))
                self.assertEqual(80, len(set(relay.accepted)))
        finally:
            relay.close()


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
