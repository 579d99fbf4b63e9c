"""Load and scale-out: two site folders stand for two web servers, each with its own
velloc, settings, lighttpd and mail server, sharing one throw-away PostgreSQL as the
state store. 400 submissions, 50 at a time, from many loopback addresses, must get
the receipt numbers 1..400 exactly once across both hosts' mails; then a RateLimit
of 100 lets exactly 100 submissions of one address through across both hosts, and
nobody else is refused. The same runs on one host with the embedded SQLite store.
Each setup's throughput is printed beside the same run without any store."""

import http.client
import os
import re
import shutil
import sys
import tempfile
import time
import unittest
import urllib.parse
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from harness import SOURCE_DIR, Site, write_settings
from postgres_insert_test import (DRIVER_GLOBS, PASSWORD, PG_BIN_GLOB, PostgresServer,
                                  find_first)

sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mail_sink  # noqa: E402

SUBMISSIONS = 400
PARALLEL = 50
CLIENTS = 20
LIMIT = 100
OVER_LIMIT = 150
MAIL_WAIT_SECONDS = 120
FORM = [("name", "Ann"), ("RECEIPT_NUMBER", "1"), ("SUBJECT", "Load")]
NUMBER_LINE = re.compile(rb"^RECEIPT_NUMBER:  (\d+)\r?$", re.M)
THROUGHPUT = []


def client_address(n):
    return f"127.0.{1 + n // 250}.{1 + n % 250}"


class Host:
    """One web server: a site folder with its own settings and mail sink."""

    def __init__(self, settings):
        self.mails = Path(tempfile.mkdtemp(prefix="velloc-scale-mail-"))
        self.sink = mail_sink.start_sink(str(self.mails))
        self.site = Site(settings={"SMTP": f"127.0.0.1:{self.sink.port}", "LOG_LEVEL": "1",
                                   "DefaultRecipient": "owner@example.test", **settings})
        self.site.start()

    def configure(self, **settings):
        self.site.settings.update(settings)
        write_settings(self.site.cgi_bin / "VELLOC.ini", self.site.settings)

    def post(self, source):
        body = urllib.parse.urlencode(FORM)
        connection = http.client.HTTPConnection("127.0.0.1", self.site.port, timeout=120,
                                                source_address=(source, 0))
        try:
            connection.request("POST", self.site.cgi_url + "velloc", body,
                               {"Content-Type": "application/x-www-form-urlencoded"})
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def mail_files(self):
        return [p for p in self.mails.iterdir() if p.suffix == ".eml"]

    def stop(self):
        self.site.stop()
        self.sink.stop()
        shutil.rmtree(self.mails, ignore_errors=True)


class ScaleOutTest(unittest.TestCase):
    def submit(self, hosts, sources):
        """Posts once per source, spread over the hosts, PARALLEL at a time; returns
        the statuses and the submissions per second."""
        jobs = [(hosts[i % len(hosts)], source) for i, source in enumerate(sources)]
        started = time.monotonic()
        with ThreadPoolExecutor(PARALLEL) as pool:
            results = list(pool.map(lambda job: job[0].post(job[1]), jobs))
        rate = len(jobs) / (time.monotonic() - started)
        for status, body in results:
            self.assertIn(status, (200, 429), body[:300])
        return [status for status, _ in results], rate

    def receipt_numbers(self, hosts, count):
        deadline = time.monotonic() + MAIL_WAIT_SECONDS
        while sum(len(h.mail_files()) for h in hosts) < count and time.monotonic() < deadline:
            time.sleep(0.1)
        numbers = []
        for host in hosts:
            for path in host.mail_files():
                numbers += [int(n) for n in NUMBER_LINE.findall(path.read_bytes())]
        return sorted(numbers)

    def clear_mails(self, hosts):
        for host in hosts:
            for path in host.mail_files():
                path.unlink()

    def run_setup(self, name, hosts, baseline_hosts):
        spread = [client_address(n % CLIENTS) for n in range(SUBMISSIONS)]
        _, baseline = self.submit(baseline_hosts, spread)
        statuses, rate = self.submit(hosts, spread)
        self.assertEqual([200] * SUBMISSIONS, statuses)
        self.assertEqual(list(range(1, SUBMISSIONS + 1)), self.receipt_numbers(hosts, SUBMISSIONS))
        THROUGHPUT.append((name, baseline, rate))

        self.clear_mails(hosts)
        for host in hosts:
            host.configure(RateLimit=f"{LIMIT}/3600")
        crowd = [client_address(CLIENTS + n % CLIENTS) for n in range(SUBMISSIONS - OVER_LIMIT)]
        one = ["127.0.9.9"] * OVER_LIMIT
        sources = [s for pair in zip(one, crowd) for s in pair] + crowd[len(one):]
        statuses, _ = self.submit(hosts, sources)
        self.assertEqual(OVER_LIMIT - LIMIT, statuses.count(429))
        self.assertTrue(all(status == 200 for status, source in zip(statuses, sources)
                            if source != "127.0.9.9"))
        self.assertEqual(SUBMISSIONS - (OVER_LIMIT - LIMIT),
                         len(self.receipt_numbers(hosts, SUBMISSIONS - (OVER_LIMIT - LIMIT))))
        log = "".join(host.site.log for host in hosts)
        self.assertEqual(OVER_LIMIT - LIMIT,
                         log.count("] Rate limit RateLimit=100/3600 exceeded by 127.0.9.9\n"))
        self.assertEqual(OVER_LIMIT - LIMIT, log.count("] Velloc Failed: "))
        self.assertNotIn("State store not available", log)

    @unittest.skipUnless(find_first([PG_BIN_GLOB]) and find_first(DRIVER_GLOBS),
                         "PostgreSQL server or its ODBC driver is not installed")
    def test_two_hosts_share_postgresql(self):
        root = Path(tempfile.mkdtemp(prefix="velloc-scale-pg-"))
        os.chmod(root, 0o755)
        server = PostgresServer(root / "server")
        hosts = []
        try:
            server.start()
            dsn = (f"DRIVER={{{find_first(DRIVER_GLOBS)}}};Servername=127.0.0.1;"
                   f"Port={server.port};Database=postgres;UID=velloc;PWD={{{PASSWORD}}}")
            hosts = [Host({"StateDSN": dsn, "ReceiptCounter": "state"}) for _ in range(2)]
            plain = [Host({}) for _ in range(2)]
            hosts += plain
            self.run_setup("2 hosts, PostgreSQL store", hosts[:2], plain)
            self.assertEqual("1\n", server.sql("SELECT count(*) FROM velloc_counters"))
        finally:
            for host in hosts:
                host.stop()
            server.stop()
            shutil.rmtree(root, ignore_errors=True)

    def test_one_host_with_the_embedded_store(self):
        hosts = []
        try:
            hosts = [Host({"ReceiptCounter": "state"}), Host({})]
            self.run_setup("1 host, embedded SQLite store", hosts[:1], hosts[1:])
            self.assertTrue((hosts[0].site.cgi_bin / "velloc-state.db").exists())
        finally:
            for host in hosts:
                host.stop()


def print_throughput():
    if not THROUGHPUT:
        return
    print("\nsetup                            without store   with store   (submissions/s)")
    for name, baseline, rate in THROUGHPUT:
        print(f"{name:<32} {baseline:13.1f} {rate:12.1f}")


if __name__ == "__main__":
    result = unittest.main(exit=False).result
    print_throughput()
    sys.exit(0 if result.wasSuccessful() else 1)
