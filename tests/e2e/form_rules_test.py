"""A form profile's rules through nginx and a persistent velloc: each department's
form mail reaches the department's address (several routes add up, the fallback
takes the rest), and a submission that fails the profile's field checks is refused,
in JSON with each field's message in the form's order and in HTML on the
missing-fields page, with nothing mailed."""

import shutil
import sys
import tempfile
import unittest
from pathlib import Path

from harness import SOURCE_DIR, Site
from system_support import eventually, mail_names, parse_mail

sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mail_sink  # noqa: E402

PROFILE = """[Form shop]
RECIPIENT=owner@shop.example
SUBJECT=Enquiry
Route=department: sales -> sales@shop.example
Route1=department is one of support, returns -> help@shop.example
Route2=message contains refund -> billing@shop.example
RouteFallback=office@shop.example
When=department: support -> tag support
Validate=quantity: integer 1..10
Validate1=email: email
Validate2=size: one of S, M, L

[Form own-page]
TEMPLATE_MISSING=missing.htm
Validate=quantity: integer 1..10
"""
# department, message: the envelope recipients of its form mail.
ROUTES = (
    ("sales", "a quote, please", "sales@shop.example"),
    ("support", "a refund, please", "help@shop.example, billing@shop.example"),
    ("press", "an interview", "office@shop.example"),
)
INVALID = [("FORM_PROFILE", "shop"), ("size", "XL"), ("email", "ann@"), ("quantity", "12"),
           ("department", "sales")]


class FormRulesTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-rules-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.sink = mail_sink.start_sink(str(self.root / "mails"))
        self.addCleanup(self.sink.stop)
        templates = self.root / "templates"
        templates.mkdir()
        (templates / "missing.htm").write_text("<ul>%INVALID_FIELDS%</ul>\n")
        self.site = Site(mode="nginx", templates=templates, settings={
            "SMTP": f"127.0.0.1:{self.sink.port}", "AllowedRecipients": "@shop.example",
            "TEMP": f"{self.root}/", "TEMPLATE_DIR": "templates/"})
        self.site.start()
        self.addCleanup(self.site.stop)
        (self.site.cgi_bin / "forms.d").mkdir()
        (self.site.cgi_bin / "forms.d" / "shop.ini").write_text(PROFILE)

    def submit(self, fields, accept="text/html"):
        return self.site.post("/cgi-bin/velloc", fields, {"Accept": accept})

    def test_each_department_is_mailed_to_its_recipients(self):
        for department, message, _ in ROUTES:
            status, _, _ = self.submit([("FORM_PROFILE", "shop"), ("department", department),
                                        ("message", message), ("email", "ann@example.test")])
            self.assertEqual(200, status)
        mails = self.root / "mails"
        self.assertTrue(eventually(lambda: len(mail_names(mails)) == len(ROUTES), 30))
        envelopes = sorted(parse_mail(mails / name)["X-Envelope-To"] for name in mail_names(mails))
        self.assertEqual(sorted(route[2] for route in ROUTES), envelopes)

    def test_failed_checks_are_answered_in_both_formats_and_nothing_is_sent(self):
        status, headers, body = self.submit(INVALID, accept="application/json")
        self.assertEqual(422, status)
        self.assertEqual(
            b'{"ok": false, "error": "invalid_fields", "message": "Form entry not valid, the '
            b'following fields are not as expected:\\nsize: must be one of: S, M, L\\nemail: '
            b'must be an e-mail address\\nquantity: must be a whole number from 1 to 10", '
            b'"errors": {"size": "must be one of: S, M, L", "email": "must be an e-mail '
            b'address", "quantity": "must be a whole number from 1 to 10"}}\n', body)
        status, headers, body = self.submit(INVALID)
        self.assertIn(b"size: must be one of: S, M, L<BR>\nemail: must be an e-mail address<BR>\n"
                      b"quantity: must be a whole number from 1 to 10<BR>\n", body)
        status, headers, body = self.submit([("FORM_PROFILE", "own-page"), ("quantity", "0")])
        self.assertEqual(b"<ul>quantity: must be a whole number from 1 to 10\n</ul>\n", body)
        self.assertFalse((self.root / "mails").exists() and mail_names(self.root / "mails"))
        self.assertIn("Velloc Failed: <P>Form entry not valid", self.site.log)


if __name__ == "__main__":
    unittest.main()
