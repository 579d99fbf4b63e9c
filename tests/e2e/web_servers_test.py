"""One full submission (a template page, a CSV record and a templated form mail) through
each way a site can run velloc: lighttpd starting it as a CGI program or persistent
(mod_fastcgi, velloc on the socket lighttpd hands it as standard input), nginx passing
requests to `velloc --fastcgi unix:...`, and nginx with velloc started by
systemd-socket-activate. Every way gives the same page, record, mail and log line as
the CGI program; two visitors in a row through one persistent velloc get their own."""

import re
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

from harness import SOURCE_DIR, Site
from system_support import (eventually, mail_names, without_connection_lines,
                            without_server_lines)

sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mail_sink  # noqa: E402

MODES = ("cgi", "fastcgi", "nginx", "socket-activation")
TEMPLATES = {
    "thanks.htm": "<html><body><p>Thank you, %NAME% (%EMAIL%)</p></body></html>\n",
    "mail.txt": "Item: %ITEM% x %QTY%\nVisitor: %NAME%\n",
    "csv.ini": "[TEMPLATES]\nDETAIL=row.csv\nDESTINATION={root}/orders.csv\n",
    "row.csv": "%NAME%,%ITEM%,%QTY%\n",
}
VISITORS = ({"NAME": "Ann", "EMAIL": "ann@example.test", "ITEM": "Sencha", "QTY": "3"},
            {"NAME": "Bo", "EMAIL": "bo@example.test", "ITEM": "Assam", "QTY": "1"})
CONTROL = [("TEMPLATE_WEB", "thanks.htm"), ("TEMPLATE_MAIL", "mail.txt"),
           ("TEMPLATE_TEXTFILE", "csv.ini"), ("SUBJECT", "Order")]
# What differs between any two mails (the date, the message ID, the MIME boundary) and
# log lines (the time and the PID).
VARYING_HEADER = re.compile(rb"^(Date|Message-ID): .*\r?\n", re.M | re.I)
BOUNDARY = re.compile(rb"velloc-[0-9a-f]{32}")
LOG_STAMP = re.compile(r"^\[[^]]*\]", re.M)


def normalised_mail(path):
    return BOUNDARY.sub(b"velloc-", VARYING_HEADER.sub(b"", Path(path).read_bytes()))


class WebServersTest(unittest.TestCase):
    def submit_through(self, mode):
        """What two visitors' submissions through `mode` left: the pages (status,
        content type, body), the CSV file, the mails and the log."""
        root = Path(tempfile.mkdtemp(prefix=f"velloc-{mode}-"))
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        templates = root / "templates"
        templates.mkdir()
        for name, text in TEMPLATES.items():
            (templates / name).write_text(text.format(root=root))
        sink = mail_sink.start_sink(str(root / "mails"))
        self.addCleanup(sink.stop)
        pages = []
        with Site(mode=mode, templates=templates,
                  settings={"SMTP": f"127.0.0.1:{sink.port}", "TEMPLATE_DIR": "templates/",
                            "DefaultRecipient": "owner@example.test", "LOG_LEVEL": "5",
                            "TEMP": f"{root}/"}) as site:
            for visitor in VISITORS:
                status, headers, body = site.post("/cgi-bin/velloc",
                                                  list(visitor.items()) + CONTROL)
                content_type = {k.lower(): v for k, v in headers.items()}.get("content-type")
                pages.append((status, content_type, body))
            self.assertTrue(eventually(lambda: len(mail_names(root / "mails")) == 2, 30))
            # A persistent worker keeps its SMTP connection for the next mail.
            log = "".join(without_connection_lines(
                LOG_STAMP.sub("[]", without_server_lines(site.log)).replace(
                    f":{sink.port})", ":PORT)").splitlines(keepends=True)))
            leftovers = sorted(p.name for p in root.iterdir() if p.is_file())
        mails = sorted(normalised_mail(root / "mails" / name)
                       for name in mail_names(root / "mails"))
        return pages, (root / "orders.csv").read_text(), mails, log, leftovers

    def test_every_way_answers_as_the_cgi_program(self):
        expected = self.submit_through("cgi")
        pages, records, mails, log, leftovers = expected
        self.assertEqual((200, "text/html"), pages[0][:2])
        self.assertEqual(b"<html><body><p>Thank you, Ann (ann@example.test)</p></body></html>\n",
                         pages[0][2])
        self.assertEqual("Ann,Sencha,3\nBo,Assam,1\n", records)
        self.assertIn(b"Item: Assam x 1\r\nVisitor: Bo\r\n", mails[1])
        self.assertEqual(["orders.csv"], leftovers)
        for mode in MODES[1:]:
            with self.subTest(mode=mode):
                self.assertEqual(expected, self.submit_through(mode))


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
