"""Metrics=1 through nginx, scraped by a real Prometheus: after a known number of
submissions of each outcome its query API reads the same counts back, and the
counts never go backwards when a worker dies or the server executes its program
anew (SIGHUP)."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import unittest
import urllib.parse
import urllib.request
from pathlib import Path

from harness import Site, free_port
from system_support import eventually

WAIT_SECONDS = 60
FORM = "/cgi-bin/velloc"
# nginx hands every path below the handler to velloc with its PATH_INFO.
PATHS = """
    location /cgi-bin/velloc/ {{
      fastcgi_split_path_info ^(/cgi-bin/velloc)(/.*)$;
      include /etc/nginx/fastcgi_params;
      fastcgi_param PATH_INFO $fastcgi_path_info;
      fastcgi_pass unix:{socket};
    }}
"""
SETTINGS = {"Metrics": "1", "Health": "1", "SMTP": "127.0.0.1:1", "LOG_LEVEL": "1",
            "HoneypotField": "website", "Referers": "127.0.0.1",
            "DefaultRecipient": "owner@example.test"}
SUBMISSIONS = (  # fields, outcome, how many
    ({"REQUIRED": "NAME", "NAME": "Ann", "DISABLE_MAIL": "1"}, "accepted", 3),
    ({"REQUIRED": "NAME", "DISABLE_MAIL": "1"}, "missing_fields", 2),
    ({"NAME": "Bot", "website": "http://spam.example", "DISABLE_MAIL": "1"}, "spam", 1),
    ({"NAME": "Cy"}, "delivery_failed", 1),  # the relay refuses the connection
)


def children(pid):
    tasks = Path(f"/proc/{pid}/task")
    found = []
    for task in tasks.iterdir():
        text = (task / "children").read_text().split()
        found += [int(child) for child in text]
    return found


class Prometheus:
    """Debian's prometheus on loopback, scraping `target` every second."""

    def __init__(self, target, metrics_path):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-prometheus-"))
        self.port = free_port()
        (self.root / "prometheus.yml").write_text(
            "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
            "scrape_configs:\n  - job_name: velloc\n"
            f"    metrics_path: {metrics_path}\n"
            f"    static_configs:\n      - targets: ['{target}']\n")
        self.process = subprocess.Popen(
            ["prometheus", f"--config.file={self.root / 'prometheus.yml'}",
             f"--storage.tsdb.path={self.root / 'data'}",
             f"--web.listen-address=127.0.0.1:{self.port}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def query(self, expression):
        url = (f"http://127.0.0.1:{self.port}/api/v1/query?" +
               urllib.parse.urlencode({"query": expression}))
        try:
            with urllib.request.urlopen(url, timeout=5) as answer:
                result = json.load(answer)["data"]["result"]
        except OSError:
            return None
        return {tuple(sorted(series["metric"].items())): float(series["value"][1])
                for series in result}

    def value(self, expression):
        result = self.query(expression) or {}
        return sum(result.values()) if result else None

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        shutil.rmtree(self.root, ignore_errors=True)


@unittest.skipUnless(shutil.which("prometheus"), "needs Debian's prometheus")
class MetricsTest(unittest.TestCase):
    def test_prometheus_reads_the_counts_back_across_restarts(self):
        site = Site(settings=SETTINGS, mode="nginx")
        site._server_config = PATHS.format(socket=site.socket_path)
        with site:
            prometheus = Prometheus(f"127.0.0.1:{site.port}", FORM + "/metrics")
            self.addCleanup(prometheus.stop)
            for fields, outcome, count in SUBMISSIONS:
                for _ in range(count):
                    status, _, _ = site.post(FORM, fields, {"Referer": "http://127.0.0.1/f.html"})
                    self.assertEqual(200, status, outcome)
            status, headers, body = site.get(FORM + "/metrics")
            self.assertEqual(200, status)
            self.assertEqual("text/plain; version=0.0.4; charset=utf-8", headers["Content-Type"])
            status, _, _ = site.get(FORM + "/metrics", {"X-Forwarded-For": "10.0.0.1"})
            self.assertEqual(200, status)  # the address is nginx's peer, loopback

            def counted(outcome):
                return prometheus.value(
                    f'velloc_submissions_total{{form="none",outcome="{outcome}"}}')

            for _, outcome, count in SUBMISSIONS:
                self.assertTrue(eventually(lambda: counted(outcome) == count, WAIT_SECONDS),
                                f"{outcome}: {counted(outcome)}")

            # A worker that dies is replaced and counted; nothing it counted is lost.
            workers = children(site._velloc.pid)
            os.kill(workers[0], signal.SIGKILL)
            self.assertTrue(eventually(
                lambda: prometheus.value("velloc_worker_restarts_total") == 1, WAIT_SECONDS))
            # The program executed anew takes the counters over.
            site._velloc.send_signal(signal.SIGHUP)
            self.assertTrue(eventually(lambda: "started anew" in site.log, WAIT_SECONDS))
            status, _, _ = site.post(FORM, SUBMISSIONS[0][0], {"Referer": "http://127.0.0.1/f.html"})
            self.assertEqual(200, status, site.velloc_stderr + site.log[-3000:])
            self.assertTrue(eventually(lambda: counted("accepted") == 4, WAIT_SECONDS),
                            counted("accepted"))
            self.assertEqual(2, counted("missing_fields"))
            self.assertEqual(1, prometheus.value("velloc_worker_restarts_total"))
            self.assertEqual(0, prometheus.value(
                "sum(rate(velloc_submissions_total[1m]) < 0)") or 0)
            self.assertGreater(prometheus.value(
                'velloc_request_duration_seconds_count{route="form"}'), 0)
            self.assertEqual(1, prometheus.value("velloc_build_info"))
            self.assertEqual(1, prometheus.value(
                'velloc_deliveries_total{kind="form_mail",result="failed"}'))


if __name__ == "__main__":
    unittest.main()
