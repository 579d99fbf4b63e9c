"""Archive=1 through the web server: every accepted submission is kept in the state
store before any action runs, with each action's outcome; one that cannot be kept is
refused; a honeypot hit is kept as spam and released with its files; --erase and --purge
leave nothing behind."""

import base64
import email
import email.policy
import json
import sqlite3
import subprocess
import sys
import unittest

from harness import VELLOC_BINARY, Site, free_port
from system_support import odbc_environment, scratch_folder

TABLES = ("velloc_submissions", "velloc_submission_fields", "velloc_submission_uploads",
          "velloc_action_outcomes", "velloc_deliveries", "velloc_delivery_attempts")
BOUNDARY = "archiveboundary"


def multipart(fields, file_field, file_name, data):
    parts = [f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n{value}\r\n'
             .encode() for name, value in fields]
    parts.append(f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{file_field}"; '
                 f'filename="{file_name}"\r\nContent-Type: text/plain\r\n\r\n'.encode() + data +
                 b"\r\n")
    return b"".join(parts) + f"--{BOUNDARY}--\r\n".encode()


class ArchiveTest(unittest.TestCase):
    def setUp(self):
        self.scratch = scratch_folder(self, "velloc-archive-")
        self.odbc = odbc_environment(self.scratch / "odbc", {})
        self.files = self.scratch / "files"
        self.files.mkdir()
        # Nothing listens here: every mail is kept for later.
        self.settings = {"Archive": "1", "ArchiveFolder": str(self.files),
                         "SMTP": f"127.0.0.1:{free_port()}", "HoneypotField": "website",
                         "AllowedRecipients": "owner@example.com"}

    def site(self, **extra):
        settings = dict(self.settings, **extra)
        return Site(settings=settings, cgi_env=self.odbc)

    def velloc(self, site, *arguments, expect=0):
        result = subprocess.run(
            [VELLOC_BINARY, *arguments, "--settings", str(site.cgi_bin / "VELLOC.ini")],
            capture_output=True, text=True, env=dict(self.odbc, PATH="/usr/bin:/bin"), timeout=60)
        self.assertEqual(expect, result.returncode, result.stderr)
        return result.stdout

    def rows(self, site):
        with sqlite3.connect(site.cgi_bin / "velloc-state.db") as database:
            return {table: database.execute(f"SELECT COUNT(*) FROM {table}").fetchone()[0]
                    for table in TABLES}

    def test_kept_with_fields_and_outcomes(self):
        with self.site() as site:
            status, _, body = site.post("/cgi-bin/velloc", [
                ("name", "Ann"), ("EMAIL", "ann@example.com"), ("RECIPIENT", "owner@example.com")])
            # The mail that cannot be sent now is kept for a later delivery.
            self.assertIn(b"Form Sent Successfully", body)
            listed = json.loads(self.velloc(site, "--list", "--json"))
            self.assertEqual(1, len(listed), listed)
            self.assertEqual("accepted", listed[0]["status"])
            # Each delivery with the reply to its last attempt: why the mail waits.
            (delivery,) = listed[0]["deliveries"]
            self.assertEqual(("form_mail", "pending"), (delivery["kind"], delivery["status"]))
            self.assertNotEqual("", delivery["reply"])
            shown = json.loads(self.velloc(site, "--show", listed[0]["id"], "--json"))
            self.assertIn({"name": "NAME", "value": "Ann"}, shown["fields"])
            self.assertEqual([("form_mail", "done")],
                             [(o["action"], o["result"]) for o in shown["outcomes"]])
            self.assertEqual(listed, json.loads(self.velloc(site, "--list", "--status", "pending",
                                                            "--json")))
            self.assertEqual("", self.velloc(site, "--list", "--status", "spam"))
            csv = self.velloc(site, "--export", "csv", "--search", "ANN@example")
            self.assertIn('"ann@example.com"', csv)

    def test_kept_fields_are_the_visitors_in_the_order_sent(self):
        # No profile: the defaults of the settings (RECIPIENT, EMAIL) and the empty
        # honeypot field are no part of what the visitor sent.
        sent = [("zeta", "1"), ("message", "line one\r\nline two"), ("alpha", "\x1b[2J\u202e"),
                ("website", ""), ("DISABLE_MAIL", "1")]
        with self.site(DefaultRecipient="owner@example.com") as site:
            status, _, body = site.post("/cgi-bin/velloc", sent)
            self.assertEqual(200, status, body)
            (listed,) = json.loads(self.velloc(site, "--list", "--json"))
            shown = json.loads(self.velloc(site, "--show", listed["id"], "--json"))
            self.assertEqual([("ZETA", "1"), ("MESSAGE", "line one\r\nline two"),
                              ("ALPHA", "\x1b[2J\u202e"), ("DISABLE_MAIL", "1")],
                             [(f["name"], f["value"]) for f in shown["fields"]])
            text = self.velloc(site, "--show", listed["id"])
            self.assertIn("\n  ZETA: 1\n  MESSAGE: line one  line two\n"
                          "  ALPHA: \\x1b[2J\\u202e\n  DISABLE_MAIL: 1\n", text)

    def test_not_kept_means_not_processed(self):
        with self.site(StateDSN="DRIVER=NoSuchDriver") as site:
            _, _, body = site.post("/cgi-bin/velloc", [("name", "Ann"), ("DISABLE_MAIL", "1"),
                                                       ("REDIRECT", "http://127.0.0.1/")])
            self.assertIn(b"Submission Could Not Be Kept!", body)
            self.assertIn("Submission not archived, nothing done:", site.log)
            self.assertNotIn("Redirect", site.log)
            self.velloc(site, "--list", expect=1)

    def test_honeypot_hit_is_kept_as_spam_and_released_with_its_file(self):
        cv = bytes(range(256)) * 3
        with self.site() as site:
            body = multipart([("name", "Bot"), ("website", "x"), ("EMAIL", "bot@example.com"),
                              ("RECIPIENT", "owner@example.com")], "cv", "cv.txt", cv)
            status, _, answer = site.request(
                "POST", "/cgi-bin/velloc", body,
                {"Content-Type": f"multipart/form-data; boundary={BOUNDARY}"})
            self.assertEqual(200, status)
            self.assertNotIn(b"Error", answer)
            spam = self.velloc(site, "--list", "--status", "spam").splitlines()
            self.assertEqual(1, len(spam), spam)
            spam_id = spam[0].split()[0]
            shown = self.velloc(site, "--show", spam_id)
            self.assertIn("Status: spam\n", shown)
            self.assertTrue(shown.endswith("Outcomes:\n"), shown)  # no action ran

            # A copy changed since it was kept stops the release; the one kept goes.
            (copy,) = self.files.iterdir()
            copy.write_bytes(cv + b"!")
            self.velloc(site, "--release", spam_id, expect=1)
            self.assertIn("Status: spam\n", self.velloc(site, "--show", spam_id))
            copy.write_bytes(cv)
            self.assertEqual(f"released {spam_id}\n", self.velloc(site, "--release", spam_id))
            with sqlite3.connect(site.cgi_bin / "velloc-state.db") as database:
                (payload,), = database.execute(
                    "SELECT payload FROM velloc_deliveries WHERE kind = 'form_mail'").fetchall()
            # The kept bytes: the envelope, a blank line, then the message itself.
            message = base64.b64decode(payload).partition(b"\n\n")[2]
            mail = email.message_from_bytes(message, policy=email.policy.default)
            (attachment,) = mail.iter_attachments()
            self.assertEqual("cv.txt", attachment.get_filename())
            self.assertEqual(cv, attachment.get_payload(decode=True))

    def test_rules_tag_what_is_kept_and_route_what_is_released(self):
        with self.site(AllowedRecipients="@shop.example") as site:
            (site.cgi_bin / "forms.d").mkdir()
            (site.cgi_bin / "forms.d" / "shop.ini").write_text(
                "[Form shop]\nRECIPIENT=owner@shop.example\n"
                "Route=department: sales -> sales@shop.example\n"
                "When=department: sales -> tag sales; tag lead\n")
            for website in ("", "x"):  # the second is kept as spam
                site.post("/cgi-bin/velloc", [("FORM_PROFILE", "shop"), ("department", "sales"),
                                              ("website", website)])
            tagged = self.velloc(site, "--list", "--tag", "lead").splitlines()
            self.assertEqual(1, len(tagged), tagged)
            self.assertTrue(tagged[0].endswith("  [sales, lead]"), tagged[0])
            self.assertEqual("", self.velloc(site, "--list", "--tag", "lea"))
            spam_id = self.velloc(site, "--list", "--status", "spam").split()[0]
            self.assertEqual(f"released {spam_id}\n", self.velloc(site, "--release", spam_id))
            with sqlite3.connect(site.cgi_bin / "velloc-state.db") as database:
                targets = [target for (target,) in database.execute(
                    "SELECT target FROM velloc_deliveries WHERE kind = 'form_mail'")]
            self.assertEqual(["sales@shop.example"] * 2, targets)

    def test_erase_and_purge_leave_no_row_or_file(self):
        with self.site(KeepSubmissions="30") as site:
            for address in ("ann@example.com", "joann@example.com"):
                body = multipart([("EMAIL", address), ("DISABLE_MAIL", "1")], "cv", "cv.txt",
                                 b"my life\n")
                site.request("POST", "/cgi-bin/velloc", body,
                             {"Content-Type": f"multipart/form-data; boundary={BOUNDARY}"})
            self.assertEqual(2, len(list(self.files.iterdir())))
            erased = self.velloc(site, "--erase", "ANN@example.com")
            self.assertIn("erased 1 submissions holding ANN@example.com\n", erased)
            self.assertIn("1 uploads", erased)
            self.assertEqual(1, len(list(self.files.iterdir())))
            self.assertEqual("purged 0 submissions\n", self.velloc(site, "--purge"))
            with sqlite3.connect(site.cgi_bin / "velloc-state.db") as database:
                database.execute("UPDATE velloc_submissions SET keep_until = 1")
            self.assertEqual("purged 1 submissions\n", self.velloc(site, "--purge"))
            self.assertEqual([], list(self.files.iterdir()))
            self.assertEqual({table: 0 for table in TABLES}, self.rows(site))

    def test_erase_forgets_the_address_in_the_rate_limits(self):
        def keys(site):
            with sqlite3.connect(site.cgi_bin / "velloc-state.db") as database:
                return [sorted(key for (key,) in database.execute(f"SELECT event_key FROM {table}"))
                        for table in ("velloc_rate_keys", "velloc_rate_events")]

        with self.site(ReceiptRateLimit="5/3600") as site:
            for address in ("ann@example.com", "joann@example.com"):
                site.post("/cgi-bin/velloc", [("EMAIL", address), ("DO_RECEIPT", "1"),
                                              ("DISABLE_MAIL", "1")])
            both = ["receipt ann@example.com", "receipt joann@example.com",
                    "receipts to ann@example.com", "receipts to joann@example.com"]
            self.assertEqual([both, both], keys(site))
            erased = self.velloc(site, "--erase", "ANN@example.com")
            self.assertIn("erased 1 submissions holding ANN@example.com\n", erased)
            self.assertEqual([["receipt joann@example.com", "receipts to joann@example.com"]] * 2,
                             keys(site))

    def test_release_checks_the_recipients_as_the_settings_stand(self):
        with self.site() as site:
            site.post("/cgi-bin/velloc", [("name", "Bot"), ("website", "x"),
                                          ("RECIPIENT", "owner@example.com")])
            spam_id = self.velloc(site, "--list", "--status", "spam").split()[0]
            settings_file = site.cgi_bin / "VELLOC.ini"
            settings_file.write_text(settings_file.read_text().replace(
                "AllowedRecipients=owner@example.com", "AllowedRecipients=other@example.com"))
            result = subprocess.run(
                [VELLOC_BINARY, "--release", spam_id, "--settings", str(settings_file)],
                capture_output=True, text=True, env=dict(self.odbc, PATH="/usr/bin:/bin"),
                timeout=60)
            self.assertEqual((1, f"velloc: submission {spam_id} not released: recipient "
                                 "owner@example.com is not allowed\n"),
                             (result.returncode, result.stderr))
            self.assertIn("Status: spam\n", self.velloc(site, "--show", spam_id))


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
