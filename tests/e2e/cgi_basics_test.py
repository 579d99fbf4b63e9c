"""A form posted through lighttpd reaches velloc as a CGI script and gets one
well-formed answer: the debug listing here, whatever the later steps do."""

import json
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

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

    def test_cross_origin_requests(self):
        """Preflights and posts from a page of another origin, through lighttpd and,
        since it handles OPTIONS in a way of its own, nginx."""
        allowed, evil = "http://localhost:1313", "http://evil.example"
        preflight = {"Access-Control-Request-Method": "POST",
                     "Access-Control-Request-Headers": "content-type,x-other"}
        form = {"name": "Ann", "DISABLE_MAIL": "1"}
        for mode in (None, "nginx"):
            with self.subTest(mode=mode), Site(mode=mode, settings={
                    "AllowedOrigins": allowed, "Referers": "localhost:1313"}) as site:
                status, headers, body = site.request(
                    "OPTIONS", "/cgi-bin/velloc", headers=dict(preflight, Origin=allowed))
                self.assertEqual((204, b""), (status, body))
                self.assertEqual(allowed, headers["Access-Control-Allow-Origin"])
                self.assertEqual("POST", headers["Access-Control-Allow-Methods"])
                self.assertEqual("content-type", headers["Access-Control-Allow-Headers"])
                self.assertEqual("600", headers["Access-Control-Max-Age"])
                self.assertEqual("Origin", headers["Vary"])

                status, headers, _ = site.request(
                    "OPTIONS", "/cgi-bin/velloc", headers=dict(preflight, Origin=evil))
                self.assertEqual(403, status)
                self.assertFalse([k for k in headers if k.lower().startswith("access-control")])

                # No Referer: the allowed Origin stands for the page and may read the answer.
                status, headers, body = site.post("/cgi-bin/velloc", form, {"Origin": allowed})
                self.assertEqual(200, status)
                self.assertEqual(allowed, headers["Access-Control-Allow-Origin"])
                self.assertIn(b"Form Sent Successfully", body)

                status, headers, body = site.post("/cgi-bin/velloc", form, {
                    "Origin": evil, "Referer": allowed + "/contact/"})
                self.assertIn(b"Origin Not Allowed!", body)
                self.assertNotIn("Access-Control-Allow-Origin", headers)
                self.assertIn("] Origin not allowed: http://evil.example\n", site.log)

                # The site's own origin needs no entry, but is no listed referer.
                own = f"http://127.0.0.1:{site.port}"
                _, headers, body = site.post("/cgi-bin/velloc", form, {"Origin": own})
                self.assertIn(b"Insufficent Permissions", body)
                self.assertNotIn("Access-Control-Allow-Origin", headers)
                self.assertEqual(1, site.log.count("Origin not allowed"), site.log)

    def test_a_script_gets_the_refusal_as_json_with_its_status(self):
        with Site() as site:
            status, headers, body = site.post(
                "/cgi-bin/velloc", {"REQUIRED": "name,email", "name": "", "DISABLE_MAIL": "1",
                                    "REDIR_MISSING": "/missing.html"},
                headers={"Accept": "application/json"})
            log = site.log
        self.assertEqual(422, status)
        self.assertEqual("application/json; charset=utf-8",
                         {k.lower(): v for k, v in headers.items()}["content-type"])
        answer = json.loads(body)
        self.assertEqual("missing_fields", answer["error"])
        self.assertEqual([{"field": "name", "code": "required"},
                          {"field": "email", "code": "required"}], answer["errors"])
        self.assertEqual("Form entry not complete, the following required fields are "
                         "incomplete:\nname\nemail", answer["message"])
        self.assertIn("Velloc Failed: <P>Form entry not complete", log)

    def test_an_unknown_form_is_404_for_a_script_preferring_json(self):
        with Site() as site:
            status, _, body = site.post(
                "/cgi-bin/velloc", {"FORM_PROFILE": "missing"},
                headers={"Accept": "text/html;q=0.5, application/json"})
        self.assertEqual(404, status)
        self.assertEqual({"ok": False, "error": "unknown_form", "message": "Unknown Form!"},
                         json.loads(body))

    def test_an_accepted_submission_carries_its_receipt_and_page(self):
        with tempfile.TemporaryDirectory() as templates:
            Path(templates, "thanks.htm").write_text("<p>Thanks, %NAME% & co</p>\n")
            with Site(settings={"TEMPLATE_DIR": "templates/", "ReceiptNumber": "41",
                                "Response": "json"}, templates=templates) as site:
                status, _, body = site.post(
                    "/cgi-bin/velloc", {"name": "Ann", "DISABLE_MAIL": "1",
                                        "RECEIPT_NUMBER": "1", "TEMPLATE_WEB": "thanks.htm"})
        self.assertEqual(200, status)
        self.assertEqual({"ok": True, "receipt": "41", "html": "<p>Thanks, Ann & co</p>\n"},
                         json.loads(body))
        self.assertIn(b"\\u003cp\\u003e", body)

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
