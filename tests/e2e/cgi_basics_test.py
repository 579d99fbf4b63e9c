"""A form posted through lighttpd reaches velloc as a CGI script and gets one
well-formed answer: the debug listing here, whatever the later steps do."""

import json
import subprocess
import sys
import unittest

from harness import SAMPLES, VELLOC_BINARY, Site

# What a run may load at its start: the C library, its maths part, the loader and the
# kernel's vdso. The C++ run-time is linked in; the ODBC driver manager is loaded
# when a row is inserted.
START_LIBRARIES = {"linux-vdso.so.1", "libc.so.6", "libm.so.6"}


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

    def test_velloc_loads_no_library_but_the_c_library_at_its_start(self):
        listing = subprocess.run(["ldd", VELLOC_BINARY], capture_output=True, text=True,
                                 check=True).stdout
        libraries = {line.split()[0] for line in listing.splitlines() if line.strip()}
        if any("san.so" in name for name in libraries):
            self.skipTest("the sanitizers' run-time libraries bring the C++ library along")
        loaders = {name for name in libraries if "/ld-linux" in name}
        self.assertEqual(1, len(loaders), listing)
        self.assertLessEqual(libraries - loaders, START_LIBRARIES, listing)

    def test_redirect_becomes_an_http_redirect(self):
        with Site() as site:
            status, headers, _ = site.post(
                "/cgi-bin/velloc", {"REDIRECT": "http://127.0.0.1/thanks.html",
                                    "DISABLE_MAIL": "1"})
        self.assertEqual(302, status)
        self.assertEqual("http://127.0.0.1/thanks.html", headers["Location"])

    def test_json_body_fields_reach_the_export_file(self):
        body = json.dumps({"TEMPLATE_TEXTFILE": "signups_csv.ini", "name": "Cy",
                           "email": "cy@x.test", "topics": ["news", "events"],
                           "DISABLE_MAIL": True})
        with Site(templates=SAMPLES / "templates", installed=True) as site:
            status, _, _ = site.request("POST", site.cgi_url + "velloc", body,
                                        {"Content-Type": "application/json; charset=utf-8"})
            self.assertEqual(200, status)
            self.assertEqual('"Cy","cy@x.test","news, events"\n',
                             (site.www / "signups.csv").read_text())


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
