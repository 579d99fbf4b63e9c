"""Hostile visitors through lighttpd: an open-relay attempt, recipients hidden behind
a NUL byte, MIME parts smuggled in with a boundary line and terminal controls aimed
at whoever reads the log. A raw SMTP sink records
every byte velloc sends, so the test sees exactly what reached the mail server."""

import email
import email.policy
import os
import signal
import socket
import sys
import tempfile
import threading
import unittest
import urllib.parse
from pathlib import Path

from cgi_process import finish_velloc, start_velloc, write_settings
from harness import SAMPLES, Site
from system_support import scratch_folder

WAIT_SECONDS = 30
OWNER = "owner@example.test"
FORM = {"NAME": "Ann", "EMAIL": "ann@visitor.test", "SUBJECT": "Hello"}


class RawSmtpSink:
    """An SMTP server on a free loopback port, one thread a connection, that keeps every
    byte received: in `log`, in order, and one transcript per connection. It answers
    every command positively; with `close_after`, it hangs up at the MAIL FROM that
    follows that many messages of a connection, with `closing` (e.g. b"421 bye\r\n")
    sent first. It counts `connections` and `messages`."""

    def __init__(self, close_after=0, closing=b""):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(WAIT_SECONDS)
        self.port = self.listener.getsockname()[1]
        self.close_after, self.closing = close_after, closing
        self.transcripts = []
        self.log = bytearray()
        self.connections = self.messages = 0
        self.lock = threading.Lock()
        self.closed = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.closed:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._converse, args=(connection,), daemon=True).start()

    def _converse(self, connection):
        with connection:
            connection.settimeout(WAIT_SECONDS)
            received = bytearray()
            with self.lock:
                self.transcripts.append(received)
            connection.sendall(b"220 sink ready\r\n")
            self._answer_lines(connection, received)

    def _record(self, received, line):
        with self.lock:
            received += line
            self.log += line

    def _answer_lines(self, connection, received):
        buffered, in_data, sent = b"", False, 0
        while True:
            if b"\n" not in buffered:
                try:
                    chunk = connection.recv(65536)
                except OSError:
                    return
                if not chunk:
                    return
                buffered += chunk
                continue
            line, buffered = buffered.split(b"\n", 1)
            line += b"\n"
            self._record(received, line)
            command = line.upper()
            if in_data:
                if line == b".\r\n":
                    in_data = False
                    sent += 1
                    with self.lock:
                        self.messages += 1
                    connection.sendall(b"250 stored\r\n")
                continue
            if command.startswith(b"MAIL") and self.close_after and sent >= self.close_after:
                connection.sendall(self.closing)
                return
            reply = self._reply(command)
            in_data = command.startswith(b"DATA") and reply.startswith(b"354")
            try:
                connection.sendall(reply)
            except OSError:  # a client that wrote QUIT and went
                return

    @staticmethod
    def _reply(command):
        if command.startswith(b"DATA"):
            return b"354 go ahead\r\n"
        if command.startswith(b"QUIT"):
            return b"221 bye\r\n"
        return b"250 ok\r\n"

    def wire(self):
        with self.lock:
            return bytes(self.log)

    def close(self):
        self.closed = True
        with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_SECONDS) as wake:
            wake.sendall(b"QUIT\r\n")
        self.thread.join(timeout=WAIT_SECONDS)
        self.listener.close()


def recipients(transcript):
    return [line[len(b"RCPT TO: "):] for line in transcript.split(b"\r\n")
            if line.startswith(b"RCPT TO: ")]


def message_of(transcript):
    data = transcript.split(b"DATA\r\n", 1)[1].rsplit(b"\r\n.\r\n", 1)[0]
    return email.message_from_bytes(data, policy=email.policy.default)


class AttackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sink = RawSmtpSink()
        cls.site = Site(settings={"SMTP": f"127.0.0.1:{cls.sink.port}", "DefaultRecipient": OWNER,
                                  "AllowedRecipients": "@example.test"})
        cls.site.start()

    @classmethod
    def tearDownClass(cls):
        cls.site.stop()
        cls.sink.close()

    def submit(self, body):
        """Posts the raw form data; returns the page and what reached the sink for it (its
        mails are sent before the page is answered)."""
        before = len(self.sink.wire())
        status, _, page = self.site.request(
            "POST", "/cgi-bin/velloc", body,
            {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(200, status)
        return page, self.sink.wire()[before:]

    def form(self, **fields):
        pairs = dict(FORM, **fields)
        return "&".join(f"{name}={value}" for name, value in pairs.items()).encode()

    def test_relay_through_the_recipient_field_is_refused(self):
        page, wire = self.submit(self.form(RECIPIENT="spam1%40evil.test%2Cspam2%40evil.test"))
        self.assertIn(b"Recipient Not Allowed!", page)
        self.assertEqual(b"", wire)
        self.assertIn("] Recipient not allowed: spam1@evil.test\n", self.site.log)

    def test_recipients_hidden_behind_a_nul_never_reach_the_envelope(self):
        for hidden in (b"%00%2Ch1%40evil.test", b"\0,h2@evil.test"):
            with self.subTest(hidden=hidden):
                page, wire = self.submit(self.form(RECIPIENT="owner%40example.test") + hidden)
                self.assertIn(b"Form Sent Successfully", page)
                self.assertEqual([b"<" + OWNER.encode() + b">"], recipients(wire))
                self.assertNotIn(b"evil.test", wire)
                self.assertEqual(OWNER, message_of(wire)["To"])

    def test_a_field_cannot_add_mime_parts(self):
        smuggled = ("--divider%0D%0AContent-Type:+text/html%0D%0A%0D%0A<b>x</b>%0D%0A"
                    "--divider%0D%0AContent-Disposition:+attachment;+filename%3Dinvoice.pdf.exe"
                    "%0D%0A%0D%0AMZ%0D%0A--divider--")
        page, wire = self.submit(self.form(MESSAGE=smuggled, DO_RECEIPT="1"))
        self.assertIn(b"Form Sent Successfully", page)
        self.assertEqual([b"<" + OWNER.encode() + b">", b"<ann@visitor.test>"], recipients(wire))
        boundaries = set()
        for transcript in wire.split(b"\r\n.\r\n")[:2]:
            message = message_of(transcript)
            parts = list(message.iter_parts())
            self.assertEqual(["text/plain"], [part.get_content_type() for part in parts])
            self.assertIn("invoice.pdf.exe", parts[0].get_content())
            boundaries.add(message.get_boundary())
        self.assertEqual(2, len(boundaries))
        self.assertNotIn("divider", boundaries)

    def test_redirect_to_another_host_is_not_followed(self):
        for target in ("https://evil.example/login", "/%5Cevil.example"):
            with self.subTest(target=target):
                page, wire = self.submit(self.form(REDIRECT=target))
                self.assertIn(b"Form Sent Successfully", page)
                self.assertEqual([b"<" + OWNER.encode() + b">"], recipients(wire))
                shown = urllib.parse.unquote(target)
                self.assertIn(f"] Redirect not allowed: {shown}\n", self.site.log)

    def test_terminal_controls_reach_the_log_escaped(self):
        controls = "%1B%5B2J%1B%5D0%3Bpwned%07%0B%C2%85%E2%80%A8%E2%80%AE"
        page, _ = self.submit(self.form(NAME="Ann" + controls + "x", SUBJECT="Hi" + controls))
        self.assertIn(b"Form Sent Successfully", page)
        log = self.site.log
        shown = "\\x1b[2J\\x1b]0;pwned\\x07\\x0b\\u0085\\u2028\\u202e"
        self.assertIn(f"] NAME:  Ann{shown}x\n", log)
        self.assertIn(f"] Subject: Hi{shown}\n", log)
        for raw in ("\x1b", "\x07", "\x0b", "\x85", "\u2028", "\u202e"):
            self.assertNotIn(raw, log)

    def test_an_address_too_long_for_smtp_is_passed_over_never_split(self):
        long_address = "a" * 998 + "@example.test"  # 1,011 characters, in an allowed domain
        page, wire = self.submit(self.form(RECIPIENT=long_address))
        self.assertIn(b"Form Sent Successfully", page)
        self.assertEqual([b"<" + OWNER.encode() + b">"], recipients(wire))
        self.assertNotIn(b"a" * 65, wire)
        self.assertIn("] RECIPIENT: Address too long for mail, passed over (1011 octets): ",
                      self.site.log)

    def test_no_line_over_the_mail_limits(self):
        subject = " ".join(["word"] * 400)[:1989]  # with "Subject: ", 1,998 octets
        message = "x" * 100_010
        field_name = "N" * 2_000
        addresses = [f"u{number}@example.test" for number in range(100)]
        page, wire = self.submit(self.form(
            SUBJECT=subject.replace(" ", "+"), MESSAGE=message, **{field_name: "v"},
            RECIPIENT="%2C".join(address.replace("@", "%40") for address in addresses),
            EMAIL="b" * 1_990 + "%40visitor.test"))
        self.assertIn(b"Form Sent Successfully", page)
        commands, data = wire.split(b"DATA\r\n", 1)
        self.assertLessEqual(max(len(line) for line in commands.split(b"\r\n")), 510)
        self.assertLessEqual(max(len(line) for line in data.split(b"\r\n")), 998)
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""))
        mail = message_of(wire)
        self.assertEqual(subject, mail["Subject"])
        self.assertEqual(addresses, [str(a.addr_spec) for a in mail["To"].addresses])
        body = next(mail.iter_parts())
        self.assertEqual("quoted-printable", body["Content-Transfer-Encoding"])
        listing = body.get_content().replace("\r\n", "\n")
        self.assertTrue(f"MESSAGE:  {message}\n" in listing)
        self.assertTrue(f"{field_name}:  v\n" in listing)
        self.assertIn("] EMAIL: Address too long for mail, passed over (2003 octets): ",
                      self.site.log)


class HeldSmtpServer:
    """A loopback SMTP server that greets only when released, so that a run can be caught
    with its mail in progress."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(WAIT_SECONDS)
        self.port = self.listener.getsockname()[1]
        self.connected = threading.Event()
        self.release = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            connection, _ = self.listener.accept()
        except OSError:
            return
        with connection:
            self.connected.set()
            self.release.wait(WAIT_SECONDS)

    def close(self):
        self.release.set()
        self.thread.join(timeout=WAIT_SECONDS)
        self.listener.close()


class LinkPlantingTest(unittest.TestCase):
    """Someone who can write where the web server's user writes plants links; velloc
    must write neither through them nor through names swapped after it made a file."""

    def test_export_target_linked_to_the_settings_file_is_refused(self):
        site = Site(templates=SAMPLES / "templates", installed=True)
        with site:
            settings = site.cgi_bin / "VELLOC.ini"
            before = settings.read_bytes()
            target = site.www / "signups.csv"
            target.symlink_to(settings)
            status, _, _ = site.post(site.cgi_url + "velloc", {
                "TEMPLATE_TEXTFILE": "signups_csv.ini", "NAME": "Ann\nAllowedRecipients=*",
                "EMAIL": "ann@visitor.test", "DISABLE_MAIL": "1"})
            self.assertEqual(200, status)
            self.assertEqual(before, settings.read_bytes())
            self.assertTrue(target.is_symlink())
            self.assertIn("] VLTXT: Could not open WorkFile Template File: ", site.log)
            self.assertIn("signups.csv\n", site.log)

    def test_swapped_temporary_files_never_lead_the_mail_elsewhere(self):
        root = scratch_folder(self, "velloc-swap-")
        temp = root / "tmp"
        temp.mkdir()
        victim = root / "victim.txt"
        victim.write_bytes(b"secret of another file\n")
        sink = RawSmtpSink()
        write_settings(root, {"SMTP": f"127.0.0.1:{sink.port}", "DefaultRecipient": OWNER,
                              "TEMP": str(temp), "LOGFILE": str(root / "velloc.log")})
        stop = threading.Event()
        swapped = []

        def swap():
            # Replaces every new file of the runs by a link to the victim, as fast as it can.
            while not stop.is_set():
                for entry in os.scandir(temp):
                    if entry.is_symlink() or entry.name in swapped:
                        continue
                    try:
                        os.replace(self._link_beside(temp, victim), entry.path)
                        swapped.append(entry.name)
                    except OSError:
                        pass

        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            for _ in range(20):
                finish_velloc(start_velloc(root, dict(FORM, MESSAGE="the body")))
        finally:
            stop.set()
            swapper.join(timeout=WAIT_SECONDS)
            sink.close()
        self.assertNotEqual([], swapped)
        self.assertEqual(b"secret of another file\n", victim.read_bytes())
        self.assertNotIn(b"secret of another file", sink.wire())

    @staticmethod
    def _link_beside(folder, target):
        link = Path(tempfile.mktemp(dir=folder, prefix="link-"))
        link.symlink_to(target)
        return link


class InterruptedRunTest(unittest.TestCase):
    def test_sigterm_with_a_mail_in_progress_leaves_no_temporary_files(self):
        root = scratch_folder(self, "velloc-term-")
        temp = root / "tmp"
        temp.mkdir()
        server = HeldSmtpServer()
        write_settings(root, {"SMTP": f"127.0.0.1:{server.port}", "DefaultRecipient": OWNER,
                              "TEMP": str(temp), "LOGFILE": str(root / "velloc.log")})
        try:
            run = start_velloc(root, dict(FORM, DO_RECEIPT="1"))
            self.assertTrue(server.connected.wait(WAIT_SECONDS))
            self.assertNotEqual([], list(temp.iterdir()))
            run.send_signal(signal.SIGTERM)
            status, _, _ = finish_velloc(run)
        finally:
            server.close()
        self.assertEqual(-signal.SIGTERM, status)
        self.assertEqual([], list(temp.iterdir()))


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
