"""velloc persistent behind lighttpd while its settings file is rewritten in place, a
few bytes at a time, 1,000 times between two versions with different allow-lists:
no submission fails and no mail goes to an address outside the allow-list of either
version. A version replaced by rename is taken at the next request, and one that is
not whole is passed over and logged once per worker, not once per request."""

import concurrent.futures
import itertools
import os
import re
import shutil
import tempfile
import threading
import unittest
from pathlib import Path

from harness import Site
from system_support import MailSink, eventually, mail_names, parse_mail

REWRITES = 1000
AT_ONCE = 6
WAIT_SECONDS = 30
# What a prefix of a version would allow that neither version does: an address of the
# request's own domain (no AllowedRecipients at all) and the cut of an allowed address.
RECIPIENTS = ["alpha@example.test", "beta@example.test", "intruder@127.0.0.1",
              "beta@example.te"]
ALLOWED = {"owner@example.test", "alpha@example.test", "beta@example.test"}
REFUSED = b"Recipient Not Allowed!"
LOG_PID = re.compile(r"^\[[^]]*\|(\d+)\] ", re.M)


def children(pid):
    """The processes whose parent is `pid`."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path("/proc", entry, "stat").read_text()
            except OSError:
                continue
            if int(stat[stat.rindex(")") + 2:].split()[1]) == pid:
                found.append(int(entry))
    return found


class ReloadTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-reload-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.temp = self.root / "tmp"
        self.temp.mkdir()

    def version(self, site, allowed, end="\n"):
        settings = dict(site.settings, AllowedRecipients=allowed)
        lines = ["[Velloc]"] + [f"{key}={value}" for key, value in settings.items()]
        return ("\n".join(lines) + end).encode()

    def submit(self, site, recipient):
        status, _, body = site.post("/cgi-bin/velloc", [
            ("RECIPIENT", recipient), ("SUBJECT", "Reload"), ("NAME", "Ann")])
        return status, body

    def worker_pids(self, site):
        return {worker for supervisor in children(site._process.pid)
                for worker in children(supervisor)}

    def warm_up(self, site):
        """Every worker has read the settings: a worker's first reading has no last
        good version to keep."""
        with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
            def served():
                list(pool.map(lambda _: self.submit(site, "alpha@example.test"), range(AT_ONCE)))
                workers = self.worker_pids(site)
                return workers and workers <= set(map(int, LOG_PID.findall(site.log)))
            self.assertTrue(eventually(served, WAIT_SECONDS))

    def errors(self, site):
        return "".join(path.read_text(errors="replace")
                       for path in (site.root / "error.log", site.root / "server.err")
                       if path.exists())

    def test_a_file_rewritten_in_place_is_never_taken_half_written(self):
        with MailSink(self.root / "mails") as sink:
            site = Site(mode="fastcgi", settings={
                "SMTP": f"127.0.0.1:{sink.port}", "TEMP": f"{self.temp}/",
                "DefaultRecipient": "owner@example.test"})
            with site:
                settings = site.cgi_bin / "VELLOC.ini"
                versions = [self.version(site, "alpha@example.test"),
                            self.version(site, "beta@example.test")]
                staged = site.cgi_bin / "VELLOC.ini.new"
                staged.write_bytes(versions[0])
                os.replace(staged, settings)
                self.warm_up(site)
                mails_before = len(mail_names(sink.folder))

                done = threading.Event()

                def rewrite():
                    try:
                        for i in range(REWRITES):
                            # Kept among the submissions, however fast either side runs.
                            if not eventually(lambda: len(answers) >= i // 8, WAIT_SECONDS,
                                              interval=0.001):
                                return
                            text = versions[(i + 1) % 2]
                            fd = os.open(settings, os.O_WRONLY | os.O_TRUNC)
                            try:
                                for start in range(0, len(text), 1 + i % 5):
                                    os.write(fd, text[start:start + 1 + i % 5])
                            finally:
                                os.close(fd)
                            rewritten.append(i)
                    finally:
                        written_at.append(len(answers))
                        done.set()

                answers = []
                written_at = []
                rewritten = []

                def submit_until_done(offset):
                    for recipient in itertools.islice(itertools.cycle(RECIPIENTS), offset, None):
                        if done.is_set() and len(answers) >= REWRITES // 10:
                            return
                        answers.append((recipient, *self.submit(site, recipient)))

                writer = threading.Thread(target=rewrite)
                writer.start()
                with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
                    list(pool.map(submit_until_done, range(AT_ONCE)))
                writer.join()
                self.assertEqual(REWRITES, len(rewritten))
                self.assertGreaterEqual(written_at[0], REWRITES // 8)  # they overlapped

                self.assertEqual({200}, {status for _, status, _ in answers})
                sent = [recipient for recipient, _, page in answers if REFUSED not in page]
                # Each submission taken is one mail: a half-written file would have lost
                # the mail server or sent beyond both allow-lists.
                eventually(lambda: len(mail_names(sink.folder)) - mails_before >= len(sent),
                           WAIT_SECONDS)
                received = sorted(
                    str(parse_mail(sink.folder / name)["To"])
                    for name in mail_names(sink.folder)[mails_before:])
                self.assertLessEqual(set(received), ALLOWED)
                self.assertEqual(sorted(sent), received)
                self.assertNotIn("Settings not reloaded", self.errors(site))

                # The last version rewritten in place is taken once left alone.
                last = "beta@example.test" if REWRITES % 2 else "alpha@example.test"
                self.assertTrue(eventually(lambda: REFUSED not in self.submit(site, last)[1],
                                           WAIT_SECONDS))

                # One replaced by rename is taken at the next request.
                other = "alpha@example.test" if REWRITES % 2 else "beta@example.test"
                staged.write_bytes(self.version(site, other))
                os.replace(staged, settings)
                self.assertNotIn(REFUSED, self.submit(site, other)[1])

                # One not whole is passed over, and logged once per worker.
                staged.write_bytes(self.version(site, "gamma@example.test", end=""))
                os.replace(staged, settings)
                requests = 4 * len(self.worker_pids(site))
                for _ in range(requests):
                    self.assertIn(REFUSED, self.submit(site, "gamma@example.test")[1])
                lines = [line for line in self.errors(site).splitlines()
                         if "Settings not reloaded" in line]
                line_count = len(versions[0].splitlines())
                self.assertEqual({f"Settings not reloaded: {settings}:{line_count}: "
                                  "the last line has no line end"},
                                 {line[line.index("Settings"):] for line in lines})
                self.assertLess(len(lines), requests)

                # One with an error that `velloc --check` reports is passed over too; one
                # with a warning only is taken, and the warning logged once by all the workers.
                staged.write_bytes(self.version(site, "gamma@example.test") + b"Archive=yes\n")
                os.replace(staged, settings)
                for _ in range(requests):
                    self.assertIn(REFUSED, self.submit(site, "gamma@example.test")[1])
                self.assertIn(f"Settings not reloaded: {settings}:{line_count + 1}: "
                              "Archive=yes: expected 0 or 1", self.errors(site))
                staged.write_bytes(self.version(site, "gamma@example.test") + b"SMPT=x\n")
                os.replace(staged, settings)
                for _ in range(requests):
                    self.assertNotIn(REFUSED, self.submit(site, "gamma@example.test")[1])
                warned = [line for line in site.log.splitlines()
                          if f"Settings problem: {settings}:{line_count + 1}: warning: SMPT" in line]
                self.assertEqual(1, len(warned), warned)


if __name__ == "__main__":
    unittest.main()
