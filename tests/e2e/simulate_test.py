"""`velloc simulate` against a real run of the same submission: the form mail and the
receipt it shows are those the relay then receives (recipients, subject, body), the
simulation itself leaves no mail, log line or archive record behind, and its
refusal of a field that fails its check is the answer a real run gives."""

import json
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
from pathlib import Path

from harness import SOURCE_DIR, VELLOC_BINARY, Site
from system_support import eventually, mail_names, parse_mail

sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mail_sink  # noqa: E402

PROFILE = """[Form shop]
RECIPIENT=owner@shop.example
SUBJECT=Enquiry about %department%
TEMPLATE_MAIL=mail.txt
DO_RECEIPT=1
RECEIPT_FROM=shop@shop.example
RECEIPT_SUBJECT=Thank you
TEMPLATE_RECEIPT=receipt.txt
Route=department: sales -> sales@shop.example
Route1=message contains refund -> billing@shop.example
RouteFallback=office@shop.example
When=department: sales -> tag sales
Validate=quantity: integer 1..10
"""
TEMPLATES = {"mail.txt": "Department: %department%\nQuantity: %quantity%\nMessage: %message%\n",
             "receipt.txt": "Dear visitor, we got your %quantity% items.\n"}
FIELDS = [("department", "sales"), ("quantity", "3"), ("message", "a refund, please"),
          ("email", "ann@example.test")]


def split_mail(text):
    """The header lines of a simulated mail as a dict, and its body."""
    head, _, body = text.partition("\n\n")
    headers = dict(line.split(": ", 1) for line in head.splitlines())
    return headers, body


class SimulateTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-simulate-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        templates = self.root / "templates"
        templates.mkdir()
        for name, text in TEMPLATES.items():
            (templates / name).write_text(text)
        self.sink = mail_sink.start_sink(str(self.root / "mails"))
        self.addCleanup(self.sink.stop)
        self.site = Site(templates=templates, settings={
            "SMTP": f"127.0.0.1:{self.sink.port}", "AllowedRecipients": "@shop.example",
            "TEMPLATE_DIR": "templates/", "TEMP": f"{self.root}/"})
        self.site.start()
        self.addCleanup(self.site.stop)
        (self.site.cgi_bin / "forms.d").mkdir()
        (self.site.cgi_bin / "forms.d" / "shop.ini").write_text(PROFILE)

    def simulate(self, fields):
        result = subprocess.run(
            [VELLOC_BINARY, "simulate", "--profile", "shop", "--query",
             urllib.parse.urlencode(fields), "--settings",
             str(self.site.cgi_bin / "VELLOC.ini"), "--json"],
            capture_output=True, text=True, timeout=60)
        self.assertEqual("", result.stderr)
        return result.returncode, json.loads(result.stdout)

    def test_the_simulated_mails_are_those_a_real_run_sends(self):
        status, report = self.simulate(FIELDS)
        self.assertEqual(0, status)
        self.assertEqual([["Route", "department: sales -> sales@shop.example"],
                          ["Route1", "message contains refund -> billing@shop.example"],
                          ["When", "department: sales -> tag sales"]], report["rules"]["items"])
        self.assertEqual("sales@shop.example, billing@shop.example", report["recipients"])
        self.assertEqual("sales", report["tags"])
        self.assertFalse((self.root / "mails").exists() and mail_names(self.root / "mails"))
        self.assertEqual("", self.site.log)

        self.site.post("/cgi-bin/velloc", [("FORM_PROFILE", "shop")] + FIELDS)
        mails = self.root / "mails"
        self.assertTrue(eventually(lambda: len(mail_names(mails)) == 2, 30))
        sent = {}
        for name in mail_names(mails):
            message = parse_mail(mails / name)
            sent[message["To"]] = message
        for section, to in (("form mail", "sales@shop.example, billing@shop.example"),
                            ("receipt", "ann@example.test")):
            headers, body = split_mail(report[section])
            real = sent[to]
            self.assertEqual(headers["To"], real["To"])
            self.assertEqual(headers["From"], real["From"])
            self.assertEqual(headers["Subject"], real["Subject"])
            # The MIME framing ends the text part with line ends of its own.
            text = real.get_body(("plain",)).get_content().replace("\r\n", "\n")
            self.assertEqual(body.rstrip("\n"), text.rstrip("\n"))

    def test_a_refusal_is_the_answer_a_real_run_gives(self):
        fields = [("department", "sales"), ("quantity", "30")]
        status, report = self.simulate(fields)
        self.assertEqual(1, status)
        self.assertEqual([["quantity", "must be a whole number from 1 to 10"]],
                         report["validation"]["items"])
        _, _, page = self.site.post("/cgi-bin/velloc", [("FORM_PROFILE", "shop")] + fields)
        self.assertEqual(report["response"].partition("\n\n")[2].encode(), page)


if __name__ == "__main__":
    unittest.main()
