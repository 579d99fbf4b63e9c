"""Captcha=turnstile, hcaptcha and recaptcha through the web server, against a verifier
on loopback HTTPS (trusted through HTTP_CA_FILE) that answers in each provider's format:
a token accepted, a refused token, a low score, a verifier that is down or never answers
(refused; let through with CaptchaFailOpen=1). Nothing refused reaches the webhook."""

import json
import shutil
import sys
import tempfile
import time
import unittest
import urllib.parse

from harness import Site, free_port
from system_support import LoopbackHttpServer, server_context

SECRET = "e2e captcha secret & more"
JSON = {"Accept": "application/json"}
FIELDS = {"turnstile": "cf-turnstile-response", "hcaptcha": "h-captcha-response",
          "recaptcha": "g-recaptcha-response"}
VERIFY_SECONDS = 5


def provider_answer(provider, token):
    """What the provider's verification call answers for the token."""
    if token == "refused":
        codes = {"hcaptcha": ["invalid-or-already-seen-response"]}
        return {"success": False, "error-codes": codes.get(provider, ["invalid-input-response"])}
    answer = {"success": True, "challenge_ts": "2024-05-01T10:00:00Z", "hostname": "localhost"}
    if provider == "turnstile":
        answer.update({"error-codes": [], "action": "", "cdata": ""})
    elif provider == "recaptcha":
        answer.update({"score": 0.2 if token == "low" else 0.9, "action": "submit"})
    elif provider == "hcaptcha":
        answer.update({"score": 0.9 if token == "low" else 0.1, "score_reason": []})
    return answer


class Verifier(LoopbackHttpServer):
    """HTTPS on 127.0.0.1: /<provider> answers as that provider, /hang only once
    `released` is set, /huge a success padded past any answer's size, /hook (the
    webhook) 200."""

    def answer(self, path, body):
        if path == "/hang":
            self.released.wait(VERIFY_SECONDS * 4)
        provider = path.strip("/")
        answer = b""
        if provider == "huge":
            answer = json.dumps({"success": True, "pad": "x" * 100_000}).encode()
        if provider in FIELDS:
            token = urllib.parse.parse_qs(body.decode())["response"][0]
            answer = json.dumps(provider_answer(provider, token)).encode()
        return 200, {"Content-Type": "application/json"}, answer


class CaptchaTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="velloc-captcha-")
        cls.verifier = Verifier(server_context(cls.certs))

    @classmethod
    def tearDownClass(cls):
        cls.verifier.stop()
        shutil.rmtree(cls.certs, ignore_errors=True)

    def setUp(self):
        self.verifier.clear()

    def site(self, provider, verify_path=None, **extra):
        settings = {"Captcha": provider, "CaptchaSecret": SECRET,
                    "CaptchaVerifyURL": self.verifier.url(verify_path or f"/{provider}"),
                    "HTTP_CA_FILE": f"{self.certs}/ca.pem", "Webhook": self.verifier.url("/hook")}
        settings.update(extra)
        return Site(settings=settings)

    def submit(self, site, provider, token):
        fields = [("name", "Ann"), ("DISABLE_MAIL", "1")]
        if token is not None:
            fields.append((FIELDS[provider], token))
        status, _, body = site.post("/cgi-bin/velloc", fields, JSON)
        return status, json.loads(body)

    def paths(self):
        return [path for path, _, _ in self.verifier.calls]

    def test_each_provider(self):
        refused = (403, {"ok": False, "error": "challenge",
                         "message": "Please Confirm You Are Not a Robot!"})
        for provider in FIELDS:
            with self.subTest(provider=provider), self.site(provider) as site:
                self.verifier.calls.clear()
                self.assertEqual((200, {"ok": True}), self.submit(site, provider, "good token"))
                path, headers, body = self.verifier.calls[0]
                self.assertEqual(("/" + provider, "application/x-www-form-urlencoded"),
                                 (path, headers["Content-Type"]))
                self.assertEqual({"secret": [SECRET], "response": ["good token"],
                                  "remoteip": ["127.0.0.1"]}, urllib.parse.parse_qs(body.decode()))
                fields = json.loads(self.verifier.calls[1][2])["fields"]
                self.assertEqual("Ann", fields["NAME"])
                self.assertNotIn(FIELDS[provider].upper(), fields)  # the token left out

                self.verifier.calls.clear()
                self.assertEqual(refused, self.submit(site, provider, "refused"))
                self.assertEqual(refused, self.submit(site, provider, None))
                self.assertEqual(["/" + provider], self.paths())  # no call without a token
                if provider != "turnstile":
                    self.assertEqual(refused, self.submit(site, provider, "low"))
                log = site.log
                self.assertIn(f"Captcha refused ({provider}): token rejected (", log)
                self.assertIn(f"Captcha refused ({provider}): no token sent", log)
                low = {"recaptcha": "score 0.2 under 0.5", "hcaptcha": "risk score 0.9 over 0.5"}
                if provider in low:
                    self.assertIn(f"Captcha refused ({provider}): {low[provider]}", log)
                self.assertNotIn("/hook", self.paths())

    def test_min_score_setting(self):
        with self.site("recaptcha", CaptchaMinScore="0.1") as site:
            self.assertEqual(200, self.submit(site, "recaptcha", "low")[0])

    def test_verifier_down(self):
        down = f"https://127.0.0.1:{free_port()}/siteverify"
        with self.site("turnstile", CaptchaVerifyURL=down) as site:
            self.assertEqual(403, self.submit(site, "turnstile", "good token")[0])
            self.assertIn("Captcha refused (turnstile): verifier not reached: ", site.log)
        with self.site("turnstile", CaptchaVerifyURL=down, CaptchaFailOpen="1") as site:
            self.assertEqual((200, {"ok": True}), self.submit(site, "turnstile", "good token"))
            self.assertIn("Captcha not verified (turnstile), let through with CaptchaFailOpen=1: ",
                          site.log)
            self.assertEqual(["/hook"], self.paths())

    def test_verifier_that_never_answers(self):
        with self.site("hcaptcha", verify_path="/hang") as site:
            started = time.monotonic()
            self.assertEqual(403, self.submit(site, "hcaptcha", "good token")[0])
            self.assertLess(time.monotonic() - started, VERIFY_SECONDS + 5)
            self.verifier.released.set()
            self.assertIn("Captcha refused (hcaptcha): verifier not reached: timed out", site.log)

    def test_answer_over_the_bound(self):
        with self.site("turnstile", verify_path="/huge") as site:
            self.assertEqual(403, self.submit(site, "turnstile", "good token")[0])
            self.assertIn("Captcha refused (turnstile): answer too large", site.log)

    def test_refusal_page_and_settings_that_cannot_work(self):
        cases = (({"Captcha": "mystery"}, "(mystery): Captcha names no known provider"),
                 ({"CaptchaSecret": ""}, "(recaptcha): Captcha set without CaptchaSecret"),
                 ({"CaptchaVerifyURL": "http://127.0.0.1:1/"},
                  "(recaptcha): CaptchaVerifyURL is not an https address"))
        for extra, why in cases:
            line = "Captcha refused " + why
            with self.subTest(line=line), self.site("recaptcha", **extra) as site:
                _, _, body = site.post("/cgi-bin/velloc", [("name", "Ann"), ("DISABLE_MAIL", "1"),
                                                            ("g-recaptcha-response", "good")])
                self.assertIn(b"Please Confirm You Are Not a Robot!", body)
                self.assertIn(line, site.log)
        self.assertEqual([], self.verifier.calls)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
