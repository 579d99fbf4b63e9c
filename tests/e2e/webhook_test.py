#!/usr/bin/python3
"""Webhook calls from a submission to receivers on this machine: HTTPS with a test CA
trusted through HTTP_CA_FILE, the signature checked as the README's receiver does,
a template body, a 503 answer logged, a refused plain-HTTP address, a redirect not
followed, a certificate that is not trusted and the time all calls share."""
import hashlib
import hmac
import json
import os
import shutil
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cgi_process import run_velloc, write_settings  # noqa: E402
from system_support import LoopbackHttpServer, server_context  # noqa: E402

SECRET = "whsec_e2e secret"
NAME = 'José "Pepe" <b>Grüßer</b>'
MESSAGE = "Line one\nline two & three"


def velloc_call_is_genuine(secret: bytes, headers, body: bytes, tolerance=300):
    """The receiver's check as the README gives it."""
    stamp = headers.get("X-Velloc-Timestamp", "")
    given = headers.get("X-Velloc-Signature", "")
    if not stamp.isdigit() or abs(time.time() - int(stamp)) > tolerance:
        return False
    expected = hmac.new(secret, stamp.encode() + b"." + body, hashlib.sha256).hexdigest()
    return hmac.compare_digest(given, "sha256=" + expected)


class Receiver(LoopbackHttpServer):
    """Answers by path: /busy 503, /moved a redirect to /ok, /slow only once
    `released` is set (at most ten seconds later), anything else 200."""

    def answer(self, path, body):
        if path == "/slow":
            self.released.wait(10)
        status = {"/busy": 503, "/moved": 302}.get(path.split("?")[0], 200)
        return status, {"Location": "/ok"} if status == 302 else {}, b""


class WebhookTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="velloc-webhook-")
        cls.https = Receiver(server_context(cls.certs))
        cls.plain = Receiver()

    @classmethod
    def tearDownClass(cls):
        cls.https.stop()
        cls.plain.stop()
        shutil.rmtree(cls.certs, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velloc-e2e-")
        for receiver in (self.https, self.plain):
            receiver.clear()

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def url(self, path, receiver=None):
        return (receiver or self.https).url(path)

    def submit(self, **settings):
        base = {"TEMP": self.dir + "/", "LOGFILE": f"{self.dir}/velloc.log", "LOG_LEVEL": "15",
                "TEMPLATE_DIR": self.dir + "/", "HTTP_CA_FILE": f"{self.certs}/ca.pem",
                "DefaultRecipient": "owner@example.test"}
        base.update(settings)
        write_settings(self.dir, base)
        fields = {"DISABLE_MAIL": "1", "NAME": NAME, "MESSAGE": MESSAGE,
                  "SORTORDER": "NAME,MESSAGE", "RECEIPT_NUMBER": "1"}
        status, out, err = run_velloc(self.dir, fields)
        self.assertEqual(b"", err)
        page = out.decode("utf-8", "replace")
        self.assertNotIn("Not Processed", page)
        return page

    def log(self):
        return Path(self.dir, "velloc.log").read_text("utf-8", "replace")

    def test_signed_json_document_of_the_submission(self):
        before = int(time.time())
        self.submit(Webhook=self.url("/ok"), WebhookSecret=SECRET)
        self.assertEqual(1, len(self.https.calls), self.log())
        path, headers, body = self.https.calls[0]
        self.assertEqual("application/json", headers["Content-Type"])
        self.assertTrue(velloc_call_is_genuine(SECRET.encode(), headers, body))
        self.assertFalse(velloc_call_is_genuine(b"another secret", headers, body))
        self.assertFalse(velloc_call_is_genuine(SECRET.encode(), headers, body + b" "))
        self.assertGreaterEqual(int(headers["X-Velloc-Timestamp"]), before)
        document = json.loads(body)
        self.assertEqual({"NAME": NAME, "MESSAGE": MESSAGE}, document["fields"])
        self.assertEqual(["profile", "receipt", "time", "fields"], list(document))
        self.assertIsNone(document["profile"])
        self.assertRegex(document["receipt"], r"^\d+$")
        self.assertRegex(document["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertNotIn(b"<", body)
        self.assertIn(f"Webhook delivered ({self.url('/ok')}): HTTP 200\n", self.log())

    def test_template_body_and_unsigned_plain_call_to_this_machine(self):
        # Braces and backslashes are the template language's own: written escaped.
        Path(self.dir, "chat.json").write_text(
            r'\{"text": "From %NAME%:\\n%MESSAGE%", "agent": "^HTTP_USER_AGENT^"\}' + "\n")
        self.submit(Webhook=self.url("/hook", self.plain), WebhookTemplate="chat.json")
        self.assertEqual(1, len(self.plain.calls), self.log())
        _, headers, body = self.plain.calls[0]
        self.assertNotIn("X-Velloc-Signature", headers)
        self.assertEqual({"text": f"From {NAME}:\n{MESSAGE}", "agent": ""}, json.loads(body), body)

    def test_failed_calls_are_logged_and_change_nothing_for_the_visitor(self):
        self.submit(Webhook=self.url("/busy"),
                    Webhook1=f"https://user:pw@127.0.0.1:{self.https.port}/moved?token=abc",
                    Webhook2="http://example.com/hook", Webhook3=self.url("/slow"),
                    Webhook4=self.url("/ok"), WebhookTimeout="1")
        self.https.released.set()
        self.assertEqual(["/busy", "/moved?token=abc", "/slow", "/ok"],
                         [c[0] for c in self.https.calls])
        log = self.log()
        self.assertRegex(log, r"Webhook failed \(https://127.0.0.1:\d+/slow\): timed out: "
                              r".* \(temporary\)\n")
        self.assertIn(f"Webhook failed ({self.url('/busy')}): HTTP 503 (temporary)\n", log)
        # The redirect to /ok is not followed: /ok was called once, as Webhook4.
        self.assertIn(f"Webhook failed ({self.url('/moved')}?...): HTTP 302 (permanent)\n", log)
        self.assertIn("Webhook failed (http://example.com/hook): plain http is allowed only to "
                      "this machine (WebhookAllowPlain=1 allows it) (permanent)\n", log)
        self.assertNotIn("pw@", log)
        self.assertNotIn("token=abc", log)

    def test_the_calls_of_one_submission_share_webhook_total_timeout(self):
        self.submit(Webhook=self.url("/slow"), Webhook1=self.url("/ok"), WebhookTimeout="5",
                    WebhookTotalTimeout="1")
        self.https.released.set()
        self.assertEqual(["/slow"], [c[0] for c in self.https.calls])
        log = self.log()
        self.assertRegex(log, r"Webhook failed \(https://127.0.0.1:\d+/slow\): timed out: ")
        self.assertIn(f"Webhook failed ({self.url('/ok')}): timed out: no time left of "
                      "WebhookTotalTimeout (temporary)\n", log)

    def test_certificate_not_trusted(self):
        self.submit(Webhook=self.url("/ok"), HTTP_CA_FILE="", WebhookTimeout="5")
        self.assertEqual([], self.https.calls)
        log = self.log()
        self.assertIn(f"Webhook failed ({self.url('/ok')}): ", log)
        self.assertIn("(temporary)\n", log)


if __name__ == "__main__":
    unittest.main()
