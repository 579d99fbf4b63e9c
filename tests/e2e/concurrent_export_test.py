"""Many submissions at once against the demo's own templates: every order becomes
one row in SQLite (through the ODBC driver) and one entry of the rebuilt order list,
every sign-up one line of the CSV; nothing interleaves and nothing is lost. The
folders are laid out as installed: VLPro/ with the template tree, Samples/ beside it."""

import glob
import os
import shutil
import sqlite3
import sys
import tempfile
import unittest
from pathlib import Path

from cgi_process import finish_velloc, start_velloc, write_settings

SOURCE_DIR = Path(os.environ.get("SOURCE_DIR", Path(__file__).resolve().parents[2]))
SAMPLES = SOURCE_DIR / "samples"
TEMPLATE_DIR = SAMPLES / "templates" / "Brannic" / "Templates"
SUBMISSIONS = 50


def sqlite_driver():
    found = sorted(glob.glob("/usr/lib/*/odbc/libsqlite3odbc.so"))
    return found[0] if found else None


@unittest.skipUnless(sqlite_driver(), "the SQLite ODBC driver is not installed")
class ConcurrentExportTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-load-"))
        for folder in ("Samples", "data", "odbc"):
            (self.root / folder).mkdir()
        self.cgi_bin = self.root / "VLPro"
        shutil.copytree(SAMPLES / "templates", self.cgi_bin)
        self.log = self.root / "velloc.log"
        write_settings(self.cgi_bin, {"LOGFILE": str(self.log), "LOG_LEVEL": "1"})
        self.database = self.root / "data" / "orders.db"
        with sqlite3.connect(self.database) as db:
            db.executescript((SAMPLES / "demo" / "create_orders.sql").read_text())
        odbc = self.root / "odbc"
        (odbc / "odbcinst.ini").write_text(f"[SQLite3]\nDriver={sqlite_driver()}\n")
        (odbc / "odbc.ini").write_text(
            f"[VellocDemo]\nDriver=SQLite3\nDatabase={self.database}\nTimeout=60000\n")
        self.env = {"ODBCSYSINI": str(odbc), "ODBCINI": str(odbc / "odbc.ini")}

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def order(self, i):
        return [("TEMPLATE_DATABASE", "orders_db.ini"), ("TEMPLATE_TEXTFILE", "orders_list.ini"),
                ("NAME", f"buyer{i}"), ("EMAIL", f"b{i}@example.test"), ("ADDRESS", "1 Leaf Lane"),
                ("QTY_SENCHA", str(i)), ("QTY_ASSAM", "1"), ("QTY_OOLONG", "0"),
                ("COMMENTS", "x" * (i * 20)),
                ("DISABLE_MAIL", "1"), ("REDIRECT", "http://127.0.0.1/thanks.html")]

    def signup(self, i):
        return [("TEMPLATE_TEXTFILE", "signups_csv.ini"), ("NAME", f"reader{i}"),
                ("EMAIL", f"r{i}@example.test"), ("TOPICS", "news"), ("TOPICS", "events"),
                ("DISABLE_MAIL", "1"), ("REDIRECT", "http://127.0.0.1/thanks.html")]

    def test_concurrent_submissions_lose_and_interleave_nothing(self):
        started = []
        for i in range(SUBMISSIONS):
            started.append(start_velloc(self.cgi_bin, self.order(i), self.env))
            started.append(start_velloc(self.cgi_bin, self.signup(i), self.env))
        for process in started:
            status, out, err = finish_velloc(process, timeout=300)
            self.assertEqual(1, status, err)
            self.assertIn(b"Location: http://127.0.0.1/thanks.html", out)
        log = self.log.read_text() if self.log.exists() else ""
        self.assertEqual("", log)

        with sqlite3.connect(self.database) as db:
            rows = db.execute("SELECT CustName, Sencha, Comments FROM Orders").fetchall()
        self.assertEqual(sorted((f"buyer{i}", i, "x" * (i * 20))
                                for i in range(SUBMISSIONS)), sorted(rows))

        csv_lines = (self.root / "Samples" / "signups.csv").read_text().splitlines()
        self.assertEqual(sorted(f'"reader{i}","r{i}@example.test","news, events"'
                                for i in range(SUBMISSIONS)), sorted(csv_lines))

        records = (self.cgi_bin / "Brannic" / "order_rows.txt").read_text()
        self.assertEqual(sorted(f'<tr><td>buyer{i}</td><td class="num">{i}</td>'
                                f'<td class="num">1</td><td class="num">0</td><td></td>'
                                f"<td>{'x' * (i * 20)}</td></tr>" for i in range(SUBMISSIONS)),
                         sorted(records.splitlines()))
        head = (TEMPLATE_DIR / "list_head.htm").read_text()
        foot = (TEMPLATE_DIR / "list_foot.htm").read_text()
        self.assertEqual(head + records + foot, (self.root / "Samples" / "orders.htm").read_text())


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
