"""The sample site, served by lighttpd, answers its own forms: the contact form
with its response and missing-fields templates, the order form with its computed
totals, the sign-up form with its redirects and the survey with the built-in page.
The forms send mail, so a mail sink stands in for the site's SMTP server. The site
is laid out as installed (VLPro/ with the template tree, Samples/ as document root)
and velloc finds the templates through its default template directory."""

import re
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

from altcha_solver import fetch_and_solve
from harness import SAMPLES, SOURCE_DIR, Site

sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mail_sink  # noqa: E402

SITE = SAMPLES / "site"
PROGRAM_TREE = SAMPLES / "templates"
TEMPLATE_DIR = PROGRAM_TREE / "Brannic" / "Templates"
CGI = "/cgi-bin/VLPro/velloc"


PROFILES = SAMPLES / "demo" / "profiles.ini"


def form_profiles():
    """The [Form NAME] sections of the demo's profiles as {name: {KEY: value}}."""
    profiles, current = {}, None
    for line in PROFILES.read_text().splitlines():
        if line.startswith("[Form "):
            current = profiles.setdefault(line[6:-1].lower(), {})
        elif current is not None and "=" in line and not line.startswith(";"):
            key, _, value = line.partition("=")
            current[key.strip().upper()] = value.strip()
    return profiles


def hidden_fields(page):
    """The hidden inputs of the sample page `page` as (name, value) pairs."""
    html = (SITE / page).read_text()
    return re.findall(r'<input type="hidden" name="([^"]+)" value="([^"]*)">', html)


class SamplesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.mails = tempfile.mkdtemp(prefix="velloc-mails-")
        cls.sink = mail_sink.start_sink(cls.mails)
        cls.site = Site(settings={"DefaultRecipient": "owner@x.test",
                                  "SMTP": f"127.0.0.1:{cls.sink.port}",
                                  "ProfilesOnly": "1", "HoneypotField": "website",
                                  "ChallengeKey": "samples challenge key"},
                        templates=PROGRAM_TREE, www=SITE, installed=True)
        cls.site.start()
        with open(cls.site.cgi_bin / "VELLOC.ini", "a") as settings:
            settings.write(PROFILES.read_text())

    @classmethod
    def tearDownClass(cls):
        cls.site.stop()
        cls.sink.stop()
        shutil.rmtree(cls.mails, ignore_errors=True)

    def post_form(self, page, fields):
        fields = list(fields.items()) if isinstance(fields, dict) else fields
        if page == "contact.html":  # its profile sets a challenge, which the widget solves
            fields = fields + [("altcha", fetch_and_solve(
                self.site.get, CGI + "/challenge?FORM_PROFILE=contact"))]
        status, headers, body = self.site.post(CGI, hidden_fields(page) + fields)
        headers = {name.lower(): value for name, value in headers.items()}
        return status, headers, body.decode("utf-8")

    def test_every_form_names_a_profile_whose_templates_exist(self):
        profiles = form_profiles()
        for page in SITE.glob("*.html"):
            for name, value in hidden_fields(page.name):
                self.assertEqual("FORM_PROFILE", name, page.name)
                self.assertIn(value, profiles, page.name)
            for action in re.findall(r'<form [^>]*action="([^"]*)"', page.read_text()):
                self.assertEqual(CGI, action, page.name)

        for name, profile in profiles.items():
            for key, value in profile.items():
                if key.startswith("TEMPLATE_"):
                    path = TEMPLATE_DIR / value.replace("\\", "/")
                    self.assertTrue(path.is_file(), f"{name}: {value}")

    def test_includes_and_attachments_name_files_of_the_tree(self):
        # Both are taken relative to velloc's working directory, the VLPro folder.
        named = []
        for template in TEMPLATE_DIR.rglob("*"):
            if template.is_file():
                found = re.findall(r"[+*](Brannic\\[^+*]+)[+*]", template.read_text())
                named += [(template.name, path) for path in found]
        self.assertGreater(len(named), 10)
        for template, path in named:
            self.assertTrue((PROGRAM_TREE / path.replace("\\", "/")).is_file(),
                            f"{template}: {path}")

    def test_index_lists_the_forms(self):
        status, _, body = self.site.get("/")
        self.assertEqual(200, status)
        for page in ("contact.html", "order.html", "redirect.html", "signup.html", "survey.html",
                     "orders.htm", "signups.csv"):
            self.assertIn(f'href="/{page}"'.encode(), body)

    def test_contact_form_answer(self):
        status, headers, page = self.post_form("contact.html", {
            "name": "Ann", "email": "ann@example.test", "topic": "order",
            "message": "Where is my tea?", "callback": "yes", "phone": "555 0100"})
        self.assertEqual(200, status)
        self.assertEqual("text/html", headers["content-type"])
        self.assertTrue(page.startswith("<!DOCTYPE html>\n"), page)
        self.assertIn("<h1>Thank you, Ann</h1>\n", page)
        self.assertIn("We will reply to ann@example.test within two working days.", page)
        self.assertIn("please keep your order confirmation at hand", page)
        self.assertNotIn("wholesale team", page)
        self.assertIn("We will also call you on 555 0100.", page)
        self.assertIn("sent from 127.0.0.1</div></footer>\n</body>\n</html>\n", page)

    def test_filled_trap_field_gets_the_same_page_and_sends_nothing(self):
        before = len(list(Path(self.mails).iterdir()))
        status, _, page = self.post_form("contact.html", {
            "name": "Bot", "email": "bot@example.test", "message": "Buy now",
            "website": "http://spam.example"})
        self.assertEqual(200, status)
        self.assertIn("<h1>Thank you, Bot</h1>\n", page)
        self.assertEqual(before, len(list(Path(self.mails).iterdir())))

    def test_contact_form_with_fields_missing(self):
        status, _, page = self.post_form("contact.html", {
            "name": "Ann", "email": "", "topic": "other", "message": ""})
        self.assertEqual(200, status)
        self.assertIn("<ul class=\"missing\">\n\n<li>your e-mail address</li>\n"
                      "<li>your message</li>\n</ul>\n", page)
        self.assertNotIn("Thank you", page)

    def test_order_confirmation_computes_the_totals(self):
        status, _, page = self.post_form("order.html", {
            "qty_sencha": "2", "qty_assam": "0", "qty_oolong": "3",
            "name": "Bo", "email": "bo@x.test", "address": "1 Leaf Lane", "gift": "yes"})
        self.assertEqual(200, status)
        self.assertIn('<tr><td>Sencha Green</td><td class="num">2</td>'
                      '<td class="num">$9.00</td></tr>\n\n', page)
        self.assertNotIn("Assam Breakfast", page)
        self.assertIn('<td class="num">$23.40</td>', page)
        self.assertIn('Items</td><td class="num">$32.40</td>', page)
        self.assertIn('Shipping (free)</td><td class="num">$0.00</td>', page)
        self.assertIn('Total</td><td class="num">$32.40</td>', page)
        self.assertIn("Your tins will be gift wrapped.", page)

    def test_small_order_pays_shipping(self):
        _, _, page = self.post_form("order.html", {
            "qty_sencha": "1", "qty_assam": "1", "qty_oolong": "0",
            "name": "Bo", "email": "bo@x.test", "address": "1 Leaf Lane"})
        self.assertIn('Items</td><td class="num">$9.75</td>', page)
        self.assertIn('Shipping</td><td class="num">$4.95</td>', page)
        self.assertIn('Total</td><td class="num">$14.70</td>', page)
        self.assertIn("Orders of $30.00 or more ship free.", page)

    def test_empty_order(self):
        _, _, page = self.post_form("order.html", {
            "qty_sencha": "0", "qty_assam": "0", "qty_oolong": "0",
            "name": "Bo", "email": "bo@x.test", "address": "1 Leaf Lane"})
        self.assertIn("<h1>Your basket is empty</h1>", page)
        self.assertNotIn("<table", page)

    def test_order_without_address(self):
        _, _, page = self.post_form("order.html", {"qty_sencha": "1", "name": "Bo"})
        self.assertIn("<li>your e-mail address</li>\n<li>the delivery address</li>", page)
        self.assertNotIn("<li>your name</li>", page)

    def test_signup_redirects(self):
        status, headers, _ = self.post_form("redirect.html", {"email": "ann@example.test"})
        self.assertEqual(302, status)
        self.assertTrue(headers["location"].endswith("/subscribed.html"), headers)
        status, headers, _ = self.post_form("redirect.html", {"email": ""})
        self.assertEqual(302, status)
        self.assertTrue(headers["location"].endswith("/signup_missing.html"), headers)

    def test_signup_adds_a_line_to_the_csv(self):
        status, _, page = self.post_form("signup.html", [
            ("name", "Cy"), ("email", "cy@x.test"), ("topics", "news"), ("topics", "events")])
        self.assertEqual(200, status)
        self.assertIn('<A HREF="/signups.csv">See every sign-up so far</A>', page)
        self.assertEqual('"Cy","cy@x.test","news, events"\n',
                         (self.site.www / "signups.csv").read_text())

    def test_survey_gets_the_built_in_page(self):
        status, _, page = self.post_form("survey.html", {
            "favourite": "Milk Oolong", "strength": "strong", "comments": "<more>"})
        self.assertEqual(200, status)
        self.assertTrue(page.startswith('<HTML>\n<BODY BGCOLOR="#f7f5ef">\n'
                                        "<H1>Form Sent Successfully</H1>\n"), page)
        self.assertIn("<TR><TD VALIGN=TOP><B>favourite</B></TD><TD>Milk Oolong</TD></TR>\n"
                      "<TR><TD VALIGN=TOP><B>strength</B></TD><TD>strong</TD></TR>\n"
                      "<TR><TD VALIGN=TOP><B>milk</B></TD><TD></TD></TR>\n"
                      "<TR><TD VALIGN=TOP><B>comments</B></TD><TD>&lt;more&gt;</TD></TR>\n"
                      "</TABLE>", page)
        self.assertTrue(page.endswith('<A HREF="/">Back to the sample forms</A>\n'
                                      "</BODY>\n</HTML>"), page)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
