"""Spam through the web server and a real spamd on loopback: the GTUBE message is judged
spam, kept as such, and delivered once released; link-stuffed messages and blocked words
are spam too; a normal message is delivered with its score; a filter that cannot be
reached lets the submission through. Spam gets the answer of an accepted submission."""

import json
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from harness import VELLOC_BINARY, Site, free_port
from system_support import (MailSink, eventually, listening, mail_names, odbc_environment,
                            parse_mail)

SPAMD = "/usr/sbin/spamd"
SPAMD_START_SECONDS = 120
MAIL_SECONDS = 30
OWNER = "owner@example.com"
GTUBE = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"


class Spamd:
    """spamd on a free loopback port, local tests only, until the test class ends."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.port = free_port()
        self.process = None

    def __enter__(self):
        self.folder.mkdir(parents=True, exist_ok=True)
        self.process = subprocess.Popen(
            [SPAMD, "--local", "--listen", f"127.0.0.1:{self.port}", "--nouser-config",
             "--username", "nobody", "--max-children", "1", "--syslog", "stderr",
             "--pidfile", str(self.folder / "spamd.pid")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not eventually(lambda: self.process.poll() is not None or listening(self.port),
                          SPAMD_START_SECONDS) or self.process.poll() is not None:
            raise RuntimeError("spamd did not start")
        # Its first scan loads the rules: done here, so that the runs see a ready filter.
        self.check(b"Subject: warm up\n\nhello\n")
        return self

    def check(self, message):
        with socket.create_connection(("127.0.0.1", self.port),
                                      timeout=SPAMD_START_SECONDS) as connection:
            connection.sendall(b"CHECK SPAMC/1.5\r\nContent-length: %d\r\n\r\n%s" %
                               (len(message), message))
            connection.shutdown(socket.SHUT_WR)
            reply = b""
            while chunk := connection.recv(4096):
                reply += chunk
        if not reply.startswith(b"SPAMD/"):
            raise RuntimeError(f"spamd answered {reply!r}")

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@unittest.skipUnless(Path(SPAMD).exists(), "spamd is not installed")
class SpamFilterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Path(tempfile.mkdtemp(prefix="velloc-spam-"))
        cls.odbc = odbc_environment(cls.scratch / "odbc", {})
        cls.spamd = Spamd(cls.scratch / "spamd").__enter__()
        cls.sink = MailSink(cls.scratch / "mail").__enter__()
        blocked = cls.scratch / "blocked.txt"
        blocked.write_text("# words no customer of ours writes\ncasino\nfree money\nÖlpreis\n"
                           "казино\n")
        cls.site = Site(settings={
            "SMTP": f"127.0.0.1:{cls.sink.port}", "DefaultRecipient": OWNER,
            "AllowedRecipients": OWNER, "Archive": "1", "MaxLinks": "3",
            "BlockedWords": str(blocked), "SpamCheck": f"spamd:127.0.0.1:{cls.spamd.port}"},
            cgi_env=cls.odbc).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.site.__exit__(None, None, None)
        cls.sink.__exit__(None, None, None)
        cls.spamd.__exit__(None, None, None)
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def velloc(self, *arguments, expect=0):
        result = subprocess.run(
            [VELLOC_BINARY, *arguments, "--settings", str(self.site.cgi_bin / "VELLOC.ini")],
            capture_output=True, text=True, env=dict(self.odbc, PATH="/usr/bin:/bin"), timeout=120)
        self.assertEqual(expect, result.returncode, result.stderr)
        return result.stdout

    def mails_to(self, subject):
        return [mail for mail in (parse_mail(self.sink.folder / name)
                                  for name in mail_names(self.sink.folder))
                if mail["Subject"] == subject]

    def submit(self, subject, message, headers=None):
        return self.site.post("/cgi-bin/velloc", [
            ("SUBJECT", subject), ("EMAIL", "visitor@example.com"), ("MESSAGE", message),
            ("DO_RECEIPT", "1"), ("RECEIPT_SUBJECT", "Thanks " + subject),
            ("RECEIPT_FROM", OWNER)], headers)

    def spam_ids(self):
        return [line.split()[0] for line in self.velloc("--list", "--status", "spam").splitlines()]

    def test_normal_message_is_delivered_with_its_score(self):
        status, _, body = self.submit("normal", "Could you send me your price list? Thanks, Ann")
        self.assertEqual(200, status, body)
        self.assertTrue(eventually(lambda: self.mails_to("normal"), MAIL_SECONDS), self.site.log)
        score = self.mails_to("normal")[0]["X-Spam-Score"]
        self.assertRegex(str(score), r"^-?\d+\.\d$")
        self.assertLess(float(score), 5.0)

    def test_gtube_is_spam_until_released(self):
        before = set(self.spam_ids())
        status, _, body = self.submit("gtube", f"Hello\n{GTUBE}\n")
        self.assertEqual(200, status)
        self.assertNotIn(b"Error", body)
        self.assertRegex(self.site.log, r"Spam \(score \d+\.\d, threshold 5\.0\); nothing done")
        new = [found for found in self.spam_ids() if found not in before]
        self.assertEqual(1, len(new), new)
        self.assertEqual(f"released {new[0]}\n", self.velloc("--release", new[0]))
        self.assertTrue(eventually(lambda: self.mails_to("gtube"), MAIL_SECONDS), self.site.log)
        self.assertTrue(eventually(lambda: self.mails_to("Thanks gtube"), MAIL_SECONDS))
        shown = self.velloc("--show", new[0])
        self.assertIn("Status: accepted\n", shown)
        self.assertIn("form_mail", shown)
        self.assertNotIn(new[0], self.spam_ids())
        # Released once: a second release finds nothing to release.
        self.velloc("--release", new[0], expect=1)

    def test_content_rules_make_spam_answered_as_accepted(self):
        links = " ".join(f"http://shop{i}.example" for i in range(4))
        cases = [("links", links, r"Spam \(4 links, at most 3 allowed\)"),
                 ("word", "Win at the CASINO today", r'Spam \(blocked word "casino" in MESSAGE\)'),
                 ("phrase", "get free, money!", r'Spam \(blocked word "free money" in MESSAGE\)'),
                 ("umlaut", "Der ÖLPREIS fällt", r'Spam \(blocked word "Ölpreis" in MESSAGE\)'),
                 ("cyrillic", "ДЁШЕВЫЕ КАЗИНО", r'Spam \(blocked word "казино" in MESSAGE\)'),
                 ("padded", f"Hello\n{GTUBE}\n" + "\n" * 600000,
                  r"Form mail of \d+ bytes; its first 512000 scored")]
        for subject, message, logged in cases:
            with self.subTest(subject):
                before = len(self.spam_ids())
                status, _, body = self.submit(subject, message)
                self.assertEqual(200, status)
                self.assertNotIn(b"Error", body)
                self.assertRegex(self.site.log, logged)
                self.assertEqual(before + 1, len(self.spam_ids()))
        status, headers, body = self.submit("json", "casino", {"Accept": "application/json"})
        self.assertEqual(200, status)
        self.assertTrue(json.loads(body)["ok"], body)
        # The normal message sent after them all arrives; none of the spam has.
        self.submit("after", "Nothing to see here.")
        self.assertTrue(eventually(lambda: self.mails_to("after"), MAIL_SECONDS), self.site.log)
        for subject, _, _ in cases:
            self.assertEqual([], self.mails_to(subject) + self.mails_to("Thanks " + subject))


class UnreachableFilterTest(unittest.TestCase):
    def test_submission_goes_through_unscored(self):
        scratch = Path(tempfile.mkdtemp(prefix="velloc-spam-"))
        with MailSink(scratch / "mail") as sink, Site(settings={
                "SMTP": f"127.0.0.1:{sink.port}", "DefaultRecipient": OWNER,
                "SpamCheck": f"spamd:127.0.0.1:{free_port()}"}) as site:
            started = time.monotonic()
            status, _, _ = site.post("/cgi-bin/velloc", [("SUBJECT", "unscored"),
                                                        ("MESSAGE", "hello")])
            self.assertEqual(200, status)
            self.assertLess(time.monotonic() - started, 20)
            self.assertTrue(eventually(lambda: mail_names(sink.folder), MAIL_SECONDS))
            mail = parse_mail(sink.folder / mail_names(sink.folder)[0])
            self.assertIsNone(mail["X-Spam-Score"])
            self.assertIn("Spam filter not reached, let through unscored: cannot connect to",
                          site.log)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
