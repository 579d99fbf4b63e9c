"""A form posted through lighttpd reaches velloc as a CGI script and gets one
well-formed answer: the debug listing here, whatever the later steps do."""

import sys
import unittest

from harness import Site


class CgiBasicsTest(unittest.TestCase):
    def test_debug_listing_through_the_web_server(self):
        with Site() as site:
            status, headers, body = site.post(
                "/cgi-bin/velloc", [("name", "Ann <b>"), ("DEBUG_VARIABLES", "1")])
        self.assertEqual(200, status)
        self.assertEqual("text/html", {k.lower(): v for k, v in headers.items()}["content-type"])
        self.assertTrue(body.startswith(b"<PRE>\nForm Data\n---------------------\n"), body)
        self.assertIn(b"\t[NAME] = Ann &lt;b&gt;\n", body)
        self.assertIn(b"Environment Variables\n", body)
        self.assertIn(b"\t[QUERY_STRING] = name=Ann+%3Cb%3E&amp;DEBUG_VARIABLES=1\n", body)
        self.assertTrue(body.endswith(b"</PRE>\n"))

    def test_redirect_becomes_an_http_redirect(self):
        with Site() as site:
            status, headers, _ = site.post(
                "/cgi-bin/velloc", {"REDIRECT": "http://127.0.0.1/thanks.html",
                                    "DISABLE_MAIL": "1"})
        self.assertEqual(302, status)
        self.assertEqual("http://127.0.0.1/thanks.html", headers["Location"])


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
