"""Challenge=altcha through the web server: challenges handed out at PATH_INFO
/challenge, a solution accepted once, and scripted submissions without a solution,
with a replayed, an expired or a forged one all refused with nothing done."""

import json
import os
import shutil
import sqlite3
import sys
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from altcha_solver import minted, solve
from harness import Site
from postgres_insert_test import DRIVER_GLOBS, PASSWORD, PG_BIN_GLOB, PostgresServer, find_first

KEY = "e2e challenge key"
MAX_NUMBER = 1000
JSON = {"Accept": "application/json"}


class ChallengeTest(unittest.TestCase):
    def site(self, **extra):
        settings = {"Challenge": "altcha", "ChallengeKey": KEY,
                    "ChallengeMaxNumber": str(MAX_NUMBER)}
        settings.update(extra)
        return Site(settings=settings)

    def submit(self, site, solution=None):
        fields = [("name", "Ann"), ("DISABLE_MAIL", "1")]
        if solution is not None:
            fields.append(("altcha", solution))
        status, _, body = site.post("/cgi-bin/velloc", fields, JSON)
        return status, json.loads(body)

    def challenge(self, site, query=""):
        status, headers, body = site.get("/cgi-bin/velloc/challenge" + query)
        self.assertEqual(200, status, body)
        self.assertEqual("no-store", headers.get("Cache-Control"))
        self.assertTrue(headers.get("Content-Type", "").startswith("application/json"))
        return json.loads(body)

    def test_challenge_handed_out_and_solved(self):
        with self.site(Archive="1", ChallengeExpires="5") as site:
            before = int(time.time())
            challenge = self.challenge(site)
            self.assertEqual("SHA-256", challenge["algorithm"])
            self.assertEqual(MAX_NUMBER, challenge["maxnumber"])
            expires = int(challenge["salt"].split("?expires=")[1].split("&")[0])
            self.assertLessEqual(before + 10, expires)
            self.assertEqual((200, {"ok": True}), self.submit(site, solve(challenge)))
            self.assertNotIn("Challenge refused", site.log)
            self.assertIn("Challenge setting ChallengeExpires=5 is under 10; 10 used", site.log)
            # Through a profile too, with a challenge handed out for it; the solution has
            # served its purpose, and the archive keeps only the visitor's own fields.
            with open(site.cgi_bin / "VELLOC.ini", "a") as settings:
                settings.write("[Form quiz]\nSUBJECT=Quiz\n")
            status, _, body = site.post("/cgi-bin/velloc", [
                ("FORM_PROFILE", "quiz"), ("name", "Bo"), ("DISABLE_MAIL", "1"),
                ("altcha", solve(self.challenge(site, "?FORM_PROFILE=Quiz")))], JSON)
            self.assertEqual((200, {"ok": True}), (status, json.loads(body)))
            with sqlite3.connect(site.cgi_bin / "velloc-state.db") as database:
                names = {row[0].lower() for row in database.execute(
                    "SELECT field_name FROM velloc_submission_fields")}
            self.assertIn("name", names)
            self.assertNotIn("altcha", names)

    def test_scripted_submissions_refused(self):
        with self.site() as site:
            replayed = solve(self.challenge(site))
            self.assertEqual(200, self.submit(site, replayed)[0])
            now = int(time.time())
            kinds = {
                "no solution sent": lambda: None,
                "solution already used": lambda: replayed,
                "challenge expired": lambda: minted(KEY, now - 1),
                "signature does not match": lambda: minted("guessed key", now + 600),
                # Solved for an easy form that shares the key, or for an easier setting.
                "challenge made for another form":
                    lambda: minted(KEY, now + 600, form="easy", max_number=MAX_NUMBER),
                "challenge easier than the form's":
                    lambda: minted(KEY, now + 600, max_number=MAX_NUMBER - 1),
            }
            rounds = 40
            accepted = 0
            for i in range(rounds * len(kinds)):
                reason, make = list(kinds.items())[i % len(kinds)]
                status, answer = self.submit(site, make())
                if status != 403 or answer.get("error") != "challenge":
                    accepted += 1
            self.assertEqual(0, accepted)
            log = site.log
            for reason in kinds:
                self.assertEqual(rounds, log.count(f"Challenge refused: {reason}"), reason)

    def test_cannot_turn_on_without_key_or_store(self):
        for extra, why in (({"ChallengeKey": ""}, "Challenge set without ChallengeKey"),
                           ({"StateDSN": "DRIVER=NoSuchDriver"}, "state store not available")):
            with self.site(**extra) as site:
                status, answer = self.submit(site, minted(KEY, int(time.time()) + 600))
                self.assertEqual((403, "challenge"), (status, answer.get("error")))
                self.assertIn(f"Challenge refused: {why}", site.log)
                if not extra.get("ChallengeKey", KEY):
                    status, _, _ = site.get("/cgi-bin/velloc/challenge", JSON)
                    self.assertEqual(403, status)

    @unittest.skipUnless(find_first([PG_BIN_GLOB]) and find_first(DRIVER_GLOBS),
                         "PostgreSQL server or its ODBC driver is not installed")
    def test_one_use_across_hosts_sharing_postgresql(self):
        root = Path(tempfile.mkdtemp(prefix="velloc-challenge-pg-"))
        os.chmod(root, 0o755)
        server = PostgresServer(root / "server")
        try:
            server.start()
            dsn = (f"DRIVER={{{find_first(DRIVER_GLOBS)}}};Servername=127.0.0.1;"
                   f"Port={server.port};Database=postgres;UID=velloc;PWD={{{PASSWORD}}}")
            with self.site(StateDSN=dsn) as first, self.site(StateDSN=dsn) as second:
                solution = solve(self.challenge(first))
                # The same solution sent to both hosts at once: one use only.
                with ThreadPoolExecutor(8) as pool:
                    answers = list(pool.map(lambda i: self.submit((first, second)[i % 2],
                                                                  solution), range(16)))
                self.assertEqual(1, sum(status == 200 for status, _ in answers), answers)
                self.assertEqual("1\n", server.sql("SELECT count(*) FROM velloc_used_tokens"))
        finally:
            server.stop()
            shutil.rmtree(root, ignore_errors=True)

    def test_refusal_page(self):
        with self.site() as site:
            _, _, body = site.post("/cgi-bin/velloc", [("name", "Ann"), ("DISABLE_MAIL", "1")])
            self.assertIn(b"Please Confirm You Are Not a Robot!", body)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
