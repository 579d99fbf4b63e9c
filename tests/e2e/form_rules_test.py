"""A form profile's rules through nginx and a persistent velloc: each department's
form mail reaches the department's address (several routes add up, the fallback
takes the rest), and a submission that fails the profile's field checks is refused,
in JSON with each field's message in the form's order and in HTML on the
missing-fields page, with nothing mailed. A sign-up that must be confirmed is held
until its mailed link is opened, runs its actions once, and is purged unconfirmed."""

import datetime
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from harness import SOURCE_DIR, VELLOC_BINARY, Site
from system_support import eventually, mail_names, odbc_environment, parse_mail

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

[Form signup]
RECIPIENT=lists@shop.example
SUBJECT=Sign-up
Archive=1
ConfirmField=email

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
        self.odbc = odbc_environment(self.root / "odbc", {})
        self.site = Site(mode="nginx", templates=templates, cgi_env=self.odbc, settings={
            "SMTP": f"127.0.0.1:{self.sink.port}", "AllowedRecipients": "@shop.example",
            "TEMP": f"{self.root}/", "TEMPLATE_DIR": "templates/"})
        # The confirmation link's path below the handler reaches it as PATH_INFO.
        self.site._server_config = f"""
    location /cgi-bin/velloc/ {{
      fastcgi_split_path_info ^(/cgi-bin/velloc)(/.*)$;
      include /etc/nginx/fastcgi_params;
      fastcgi_param PATH_INFO $fastcgi_path_info;
{"".join(f'      fastcgi_param {k} "{v}";{chr(10)}' for k, v in self.odbc.items())}\
      fastcgi_pass unix:{self.site.socket_path};
    }}
"""
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

    def mails_to(self, count):
        """The mails once there are `count`, oldest first."""
        folder = self.root / "mails"
        self.assertTrue(eventually(lambda: folder.exists() and len(mail_names(folder)) >= count,
                                   30))
        return [parse_mail(folder / name) for name in mail_names(folder)]

    def confirmation_link(self, mail):
        self.assertEqual("Please confirm your submission", mail["Subject"])
        return re.search(rf"http://127.0.0.1:{self.site.port}(/cgi-bin/velloc/confirm\?\S+)",
                         mail.get_body(("plain",)).get_content()).group(1)

    def test_a_sign_up_is_held_until_its_link_is_opened_once(self):
        status, _, body = self.submit([("FORM_PROFILE", "signup"), ("name", "Ann"),
                                       ("email", "ann@example.test")])
        self.assertEqual(200, status)
        self.assertIn(b"Please Check Your Mail", body)
        asking = self.mails_to(1)[0]
        self.assertEqual("ann@example.test", asking["X-Envelope-To"])
        link = self.confirmation_link(asking)
        forged = link[:-1] + ("1" if link.endswith("0") else "0")
        json = {"Accept": "application/json"}
        self.assertEqual(404, self.site.get(forged, json)[0])
        self.assertEqual((200, b'{"ok": true, "message": "Thank you: your submission is '
                               b'confirmed."}\n'), self.site.get(link, json)[::2])
        held = self.mails_to(2)[1]
        self.assertEqual(("lists@shop.example", "Sign-up"), (held["X-Envelope-To"], held["Subject"]))
        self.assertIn("Ann", held.get_body(("plain",)).get_content())
        status, _, body = self.site.get(link)
        self.assertEqual(409, status)
        self.assertIn(b"This submission was confirmed already.", body)

        # One never confirmed goes when its link expires; the link is refused then.
        self.submit([("FORM_PROFILE", "signup"), ("email", "bob@example.test")])
        link = self.confirmation_link(self.mails_to(3)[2])
        later = datetime.datetime.fromtimestamp(time.time() + 49 * 3600, datetime.timezone.utc)
        purged = self.velloc("--purge", "--now", later.strftime("%Y-%m-%dT%H:%M:%SZ"))
        self.assertEqual("purged 1 submissions\n", purged)
        self.assertEqual((410, b'{"ok": false, "error": "link_expired", "message": "This '
                               b'confirmation link has expired."}\n'), self.site.get(link, json)[::2])
        self.assertEqual(3, len(mail_names(self.root / "mails")))
        self.assertIn("== confirmation: held until cy@example.test opens the mailed link (valid 48 "
                      "hours)", self.velloc("simulate", "--profile", "signup", "--query",
                                            "email=cy@example.test"))

    def velloc(self, *arguments):
        done = subprocess.run(
            [VELLOC_BINARY, *arguments, "--settings", str(self.site.cgi_bin / "VELLOC.ini")],
            capture_output=True, text=True, env=dict(self.odbc, PATH="/usr/bin:/bin"), timeout=60)
        self.assertEqual(0, done.returncode, done.stderr)
        return done.stdout


if __name__ == "__main__":
    unittest.main()
