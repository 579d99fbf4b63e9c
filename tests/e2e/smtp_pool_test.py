"""Kept SMTP connections through the web server: a persistent velloc sends the next
mail over the connection of an earlier one (fewer connections than mails, no QUIT
until it stops), a CGI run opens and ends one per mail; a relay that hangs up or says
421 between two mails still gets each mail once; a connection opened again resumes
the TLS session of the last."""

import re
import ssl
import sys
import tempfile
import unittest

from aiosmtpd.controller import Controller
from attack_test import RawSmtpSink
from harness import MODE, Site, free_port
from smtp_tls_test import Storing, make_certificates

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

    @unittest.skipIf(MODE == "cgi", "a CGI run keeps no connection")
    def test_a_connection_opened_again_resumes_the_tls_session(self):
        certificates = tempfile.mkdtemp(prefix="velloc-tls-")
        make_certificates(certificates)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(f"{certificates}/server.pem", f"{certificates}/server.key")
        store = Storing()
        relay = Controller(store, hostname="127.0.0.1", port=free_port(), ssl_context=context)
        relay.start()
        try:
            # One mail a connection: more mails than workers, so some worker connects again.
            with Site(settings={"SMTP": f"127.0.0.1:{relay.port}", "SMTP_TLS": "tls",
                                "SMTP_CA_FILE": f"{certificates}/ca.pem",
                                "DefaultRecipient": OWNER,
                                "SmtpMessagesPerConnection": "1"}) as site:
                for number in range(POSTS):
                    _, _, page = site.post("/cgi-bin/velloc", {"EMAIL": "ann@visitor.test",
                                                                "SUBJECT": f"Post {number}"})
                    self.assertIn(b"Form Sent Successfully", page)
                log = site.log
        finally:
            relay.stop()
        self.assertEqual(POSTS, len(store.messages))
        self.assertIn("] TLS Started (Session Resumed).\n", log)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
