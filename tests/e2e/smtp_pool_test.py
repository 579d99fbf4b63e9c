"""Kept SMTP connections through the web server: a persistent velloc sends the next
mail over the connection of an earlier one (fewer connections than mails, no QUIT
until it stops), a CGI run opens and ends one per mail; a relay that hangs up or says
421 between two mails still gets each mail once."""

import re
import sys
import unittest

from attack_test import RawSmtpSink
from harness import MODE, Site

OWNER = "owner@example.test"
POSTS = 6


def subjects(wire):
    return re.findall(rb"\r\nSubject: (Post \d+)\r\n", wire)


class SmtpPoolTest(unittest.TestCase):
    def test_mails_share_kept_connections(self):
        persistent = MODE != "cgi"
        # sink options, then whether connections are kept (fewer than the mails)
        cases = [
            ("kept", {}, persistent),
            ("relay hangs up after each mail", {"close_after": 1}, False),
            ("relay says 421 after each mail",
             {"close_after": 1, "closing": b"421 closing\r\n"}, False),
        ]
        for name, options, kept in cases:
            with self.subTest(name):
                sink = RawSmtpSink(**options)
                try:
                    with Site(settings={"SMTP": f"127.0.0.1:{sink.port}",
                                        "DefaultRecipient": OWNER}) as site:
                        for number in range(POSTS):
                            status, _, page = site.post("/cgi-bin/velloc", {
                                "NAME": "Ann", "EMAIL": "ann@visitor.test",
                                "SUBJECT": f"Post {number}"})
                            self.assertEqual(200, status)
                            self.assertIn(b"Form Sent Successfully", page)
                        wire = sink.wire()
                        connections = sink.connections
                finally:
                    sink.close()
                self.assertEqual([f"Post {n}".encode() for n in range(POSTS)],
                                 sorted(subjects(wire)))
                self.assertEqual(POSTS, sink.messages)
                if kept:
                    self.assertLess(connections, POSTS)
                    self.assertNotIn(b"QUIT", wire)
                elif not persistent:
                    self.assertEqual(POSTS, wire.count(b"QUIT\r\n"))


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
