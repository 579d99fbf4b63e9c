"""500 submissions, 50 at a time, through lighttpd on loopback with velloc as its CGI
script: every submission gets its own receipt number (1 to 500, each once), one mail
at the SMTP sink, one row in SQLite through ODBC and one CSV record in a text
export; no page is a failure page and lighttpd's error log holds nothing but its
routine lines."""

import concurrent.futures
import os
import re
import shutil
import sqlite3
import sys
import tempfile
import time
import unittest
from pathlib import Path

from harness import Site
from system_support import (eventually, mail_names, odbc_environment, parse_mail,
                            sqlite_odbc_driver, unexpected_lighttpd_lines,
                            without_server_lines, MailSink)

SUBMISSIONS = 500
AT_ONCE = 50
TIME_LIMIT_SECONDS = 240
PAGE = re.compile(r"<p>Receipt (\d+) for visitor(\d+)</p>")
TEMPLATES = {
    "mail.txt": "Receipt: %RECEIPT_NUMBER%\nVisitor: %NAME%\n",
    "thanks.htm": "<html><body><p>Receipt %RECEIPT_NUMBER% for %NAME%</p></body></html>\n",
    "db.ini": "[DATABASE]\nDSN=LoadTest\nTABLE=Submissions\n"
              "[Submissions]\nFIELDS=Receipt, Name\nReceipt=RECEIPT_NUMBER\nName=NAME\n",
    "csv.ini": "[TEMPLATES]\nDETAIL=row.csv\nDESTINATION={root}/submissions.csv\n",
    "row.csv": "%RECEIPT_NUMBER%,%NAME%\n",
}


def form(i):
    return [("RECEIPT_NUMBER", "next"), ("NAME", f"visitor{i}"), ("EMAIL", f"v{i}@example.test"),
            ("SUBJECT", "Load"), ("TEMPLATE_MAIL", "mail.txt"), ("TEMPLATE_WEB", "thanks.htm"),
            ("TEMPLATE_DATABASE", "db.ini"), ("TEMPLATE_TEXTFILE", "csv.ini")]


class LoggingSite(Site):
    """The harness's site, with the CGI's standard error kept in a log of lighttpd's
    own (it would otherwise go to lighttpd's standard error)."""

    def _config(self):
        return super()._config() + f'server.breakagelog = "{self.root}/cgi-error.log"\n'


@unittest.skipUnless(sqlite_odbc_driver(), "the SQLite ODBC driver is not installed")
class LoadTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-load-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        templates = self.root / "templates"
        templates.mkdir()
        for name, text in TEMPLATES.items():
            (templates / name).write_text(text.format(root=self.root))
        self.database = self.root / "load.db"
        with sqlite3.connect(self.database) as db:
            db.execute("CREATE TABLE Submissions (Receipt INTEGER, Name TEXT)")
        # Concurrent writers wait for each other through the data source's busy timeout.
        self.odbc = odbc_environment(self.root / "odbc", {"LoadTest": {
            "Driver": "SQLite3", "Database": self.database, "Timeout": 60000}})
        # Under AddressSanitizer the leak check at the end of a run costs a third of its
        # time; the single-run tests check these paths for leaks.
        asan_options = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
        self.cgi_env = dict(self.odbc, ASAN_OPTIONS=asan_options)
        self.temp = self.root / "tmp"
        self.temp.mkdir()
        self.templates = templates

    def test_five_hundred_submissions_fifty_at_a_time(self):
        with MailSink(self.root / "mails") as sink, LoggingSite(
                settings={"SMTP": f"127.0.0.1:{sink.port}", "TEMP": f"{self.temp}/",
                          "LOG_LEVEL": "1", "TEMPLATE_DIR": "templates/",
                          "DefaultRecipient": "owner@example.test", "ReceiptNumber": "1"},
                templates=self.templates, cgi_env=self.cgi_env) as site:
            started = time.monotonic()
            with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
                pages = list(pool.map(lambda i: site.post("/cgi-bin/velloc", form(i)),
                                      range(SUBMISSIONS)))
            elapsed = time.monotonic() - started
            print(f"{SUBMISSIONS} submissions in {elapsed:.1f} s", file=sys.stderr)
            self.assertLess(elapsed, TIME_LIMIT_SECONDS)
            log = site.log
            receipts = self.receipts_of_pages(pages)
            self.assertTrue(eventually(lambda: len(mail_names(sink.folder)) >= SUBMISSIONS, 10))
            mails = [parse_mail(sink.folder / name) for name in mail_names(sink.folder)]
            unexpected = (unexpected_lighttpd_lines(site.root / "error.log") +
                          unexpected_lighttpd_lines(site.root / "cgi-error.log"))

        self.assertEqual("", without_server_lines(log))
        self.assertEqual([], unexpected)
        self.assertEqual([], list(self.temp.iterdir()))
        # Each visitor's number, as its page showed it, is the one of its mail, row and record.
        self.assertEqual(set(range(1, SUBMISSIONS + 1)), set(receipts.values()))
        expected = sorted((number, f"visitor{i}") for i, number in receipts.items())
        self.assertEqual(expected, sorted(self.mail_records(mails)))
        with sqlite3.connect(self.database) as db:
            rows = db.execute("SELECT Receipt, Name FROM Submissions").fetchall()
        self.assertEqual(expected, sorted(rows))
        csv_lines = (self.root / "submissions.csv").read_text().splitlines()
        self.assertEqual(sorted(f"{number},{name}" for number, name in expected),
                         sorted(csv_lines))

    def receipts_of_pages(self, pages):
        receipts = {}
        for i, (status, _, body) in enumerate(pages):
            text = body.decode("latin-1")
            self.assertEqual(200, status, text)
            self.assertNotIn("Not Processed", text)
            match = PAGE.search(text)
            self.assertTrue(match and int(match.group(2)) == i, text)
            receipts[i] = int(match.group(1))
        return receipts

    def mail_records(self, mails):
        records = []
        for mail in mails:
            self.assertEqual("owner@example.test", mail["X-Envelope-To"])
            fields = dict(re.findall(r"^(\w+): (.*?)\r?$", mail.get_body().get_content(), re.M))
            records.append((int(fields["Receipt"]), fields["Visitor"]))
        return records


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
