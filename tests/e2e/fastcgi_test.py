"""velloc as a FastCGI server: each request answered, recorded, mailed and logged as
the CGI program does it for the same request and files; a worker that dies is replaced;
a settings change holds from the next request, while settings that went missing, empty
or cut short leave the last good ones in force; SIGHUP starts the program anew on the
socket it has, however it got it; SIGTERM lets the request in flight
finish, also one the worker accepted before its first byte came; malformed input ends
only its own request; a body cut short is no submission;
slow and idle clients hold a worker no longer than the limits allow; the service
manager hears that the server is ready, its status, its keep-alive, its reload and its
stop, and the log has its start and stop."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.parse
from pathlib import Path

import fastcgi_client as fcgi
from cgi_process import cgi_environment, run_velloc, write_settings
from system_support import (MailSink, SERVER_LINE, eventually, mail_names,
                            without_connection_lines, without_server_lines)

ROUNDS = int(os.environ.get("FASTCGI_ROUNDS", "1000"))
WAIT_SECONDS = 30
TEMPLATES = {
    "thanks.htm": "<html><body><p>Thanks, %NAME%, for %SUBJECT%.</p></body></html>\n",
    "mail_a.txt": "Order from %NAME% (%EMAIL%): %COLOR%\n",
    "mail_b.txt": "Question from %NAME%: %QUESTION%\n",
    "csv.ini": "[TEMPLATES]\nDETAIL=row.csv\nDESTINATION={root}/rows.csv\n",
    "row.csv": "%NAME%,%SUBJECT%,%COLOR%%QUESTION%\n",
}
# Two different submissions: a page, a row and a mail; a redirect, a row and a mail.
FORM_A = [("NAME", "Ann"), ("EMAIL", "ann@example.test"), ("SUBJECT", "Order"), ("COLOR", "red"),
          ("TEMPLATE_WEB", "thanks.htm"), ("TEMPLATE_MAIL", "mail_a.txt"),
          ("TEMPLATE_TEXTFILE", "csv.ini")]
FORM_B = [("NAME", "Bob"), ("EMAIL", "bob@example.test"), ("SUBJECT", "Question"),
          ("QUESTION", "why?"), ("REDIRECT", "http://127.0.0.1/thanks.html"),
          ("TEMPLATE_MAIL", "mail_b.txt"), ("TEMPLATE_TEXTFILE", "csv.ini")]
LOG_PREFIX = re.compile(r"^\[[^]]*\|(\d+)\] ", re.M)
# What is new for every submission, whichever mode answers it: the log lines' time and
# process, the mail's date, identity and MIME boundary, and the names of temporary files.
VARYING = [(re.compile(rb"^\[[^]]*\|\d+\] ", re.M), b""),
           (re.compile(rb"^Date: [^\r\n]*\r?\n|^Message-ID: [^\r\n]*\r?\n", re.M), b""),
           (re.compile(rb"velloc-[0-9a-f]{32}"), b"velloc-*"),
           (re.compile(rb"/[A-Za-z]{3}[A-Za-z0-9]{6}\.tmp"), b"/*.tmp")]


def normalized(data):
    for pattern, replacement in VARYING:
        data = pattern.sub(replacement, data)
    return data


def encoded(form):
    return urllib.parse.urlencode(form).encode()


def fastcgi_params(body, extra=None):
    params = cgi_environment(body, extra)
    for name in fcgi.PASSED_THROUGH:
        params.pop(name, None)
    return params


class FastCgiTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-fastcgi-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.site = self.root / "site"
        (self.site / "templates").mkdir(parents=True)
        for name, text in TEMPLATES.items():
            (self.site / "templates" / name).write_text(text.format(root=self.root))
        self.temp = self.root / "tmp"
        self.temp.mkdir()
        self.log = self.root / "velloc.log"
        self.settings = {"LOGFILE": str(self.log), "LOG_LEVEL": "15", "TEMP": f"{self.temp}/",
                         "TEMPLATE_DIR": "templates/", "DefaultRecipient": "owner@example.test",
                         "SMTP": "127.0.0.1:9"}
        write_settings(self.site, self.settings)

    def configure(self, **changes):
        self.settings.update(changes)
        write_settings(self.site, self.settings)

    def log_lines(self, server_lines=False):
        """The log without its time and process columns, and without the server's own
        start and stop lines unless `server_lines`."""
        text = self.log.read_bytes() if self.log.exists() else b""
        lines = normalized(text).decode(errors="replace").splitlines()
        return [line for line in lines if server_lines or not SERVER_LINE.match(line)]

    def mails(self, folder):
        return [normalized((folder / name).read_bytes()) for name in mail_names(folder)]

    def assertSameList(self, expected, actual):
        """assertEqual for long lists, naming the first difference only."""
        self.assertEqual(len(expected), len(actual))
        for index, (want, got) in enumerate(zip(expected, actual)):
            self.assertEqual(want, got, f"item {index}")

    def test_alternating_submissions_answer_record_mail_and_log_as_cgi_does(self):
        with MailSink(self.root / "mails") as sink:
            self.configure(SMTP=f"127.0.0.1:{sink.port}")
            expected = {}
            for name, form in (("a", FORM_A), ("b", FORM_B)):
                self.log.unlink(missing_ok=True)
                status, page, _ = run_velloc(self.site, form)
                self.assertTrue(eventually(lambda: len(mail_names(sink.folder)) == 1, WAIT_SECONDS))
                expected[name] = (page, self.log_lines(), self.mails(sink.folder),
                                  (self.root / "rows.csv").read_text())
                for path in [self.log, self.root / "rows.csv"] + list(sink.folder.iterdir()):
                    path.unlink()
            with fcgi.FastCgiServer(self.site, workers=1) as server:
                (worker,) = server.worker_pids()
                for _ in range(ROUNDS):
                    for name, form in (("a", FORM_A), ("b", FORM_B)):
                        body = encoded(form)
                        answer = server.request(fastcgi_params(body), body)
                        self.assertEqual(expected[name][0], answer.stdout)
                self.assertEqual([worker], server.worker_pids())
                self.assertTrue(eventually(
                    lambda: len(mail_names(sink.folder)) == 2 * ROUNDS, WAIT_SECONDS))
                self.assertEqual(0, server.stop())
        self.assertSameList(without_connection_lines(expected["a"][1] + expected["b"][1]) *
                            ROUNDS, without_connection_lines(self.log_lines()))
        self.assertTrue((expected["a"][3] + expected["b"][3]) * ROUNDS ==
                        (self.root / "rows.csv").read_text())
        self.assertSameList(sorted((expected["a"][2] + expected["b"][2]) * ROUNDS),
                            sorted(self.mails(sink.folder)))
        self.assertEqual([], list(self.temp.iterdir()))
        self.assertEqual({worker}, set(map(int, LOG_PREFIX.findall(
            without_server_lines(self.log.read_text())))))

    def test_a_socket_handed_to_velloc_is_served(self):
        form = [("NAME", "Ann"), ("DEBUG_VARIABLES", "1")]
        body = encoded(form)
        _, expected, _ = run_velloc(self.site, form)
        for handed in ("stdin", "systemd"):
            with self.subTest(handed), fcgi.FastCgiServer(self.site, workers=2,
                                                          handed=handed) as server:
                self.assertEqual(expected, server.request(fastcgi_params(body), body).stdout)
                self.assertEqual(0, server.stop())
            (self.site / "velloc.sock").unlink()

    def test_sighup_starts_the_program_anew_on_the_same_socket(self):
        form = [("NAME", "Ann"), ("DEBUG_VARIABLES", "1")]
        body = encoded(form)
        _, expected, _ = run_velloc(self.site, form)
        for handed in (None, "stdin", "systemd"):
            with self.subTest(handed), fcgi.FastCgiServer(self.site, workers=2,
                                                          handed=handed) as server:
                old = set(server.worker_pids())
                server.process.send_signal(signal.SIGHUP)
                self.assertTrue(eventually(lambda: len(server.worker_pids()) == 2 and
                                           not old & set(server.worker_pids()), WAIT_SECONDS))
                self.assertEqual(expected, server.request(fastcgi_params(body), body).stdout)
                # Once more: the program started anew waits for SIGHUP as well.
                server.process.send_signal(signal.SIGHUP)
                self.assertEqual(expected, server.request(fastcgi_params(body), body).stdout)
                self.assertEqual(0, server.stop())
            (self.site / "velloc.sock").unlink(missing_ok=True)
        self.assertEqual([], [line for line in self.log_lines() if "FastCGI" in line])

        # A program file that is gone: the server goes on as it was and says why.
        program = self.root / "velloc"
        shutil.copy2(fcgi.VELLOC_BINARY, program)
        with fcgi.FastCgiServer(self.site, workers=2, program=program) as server:
            program.unlink()
            server.process.send_signal(signal.SIGHUP)
            self.assertTrue(eventually(lambda: any("anew" in line for line in self.log_lines()),
                                       WAIT_SECONDS))
            self.assertEqual(expected, server.request(fastcgi_params(body), body).stdout)
            self.assertEqual(0, server.stop())
        self.assertEqual([f"FastCGI server cannot start {program} anew: No such file or directory"],
                         [line for line in self.log_lines() if "FastCGI" in line])

    def test_a_killed_worker_is_replaced_and_its_death_logged(self):
        body = encoded([("NAME", "Ann"), ("DEBUG_VARIABLES", "1")])
        _, expected, _ = run_velloc(self.site, [("NAME", "Ann"), ("DEBUG_VARIABLES", "1")])
        with fcgi.FastCgiServer(self.site, workers=2) as server:
            victim, survivor = server.worker_pids()
            os.kill(victim, signal.SIGKILL)
            self.assertTrue(eventually(lambda: len(server.worker_pids()) == 2 and
                                       victim not in server.worker_pids(), WAIT_SECONDS))
            self.assertIn(survivor, server.worker_pids())
            for _ in range(4):
                self.assertEqual(expected, server.request(fastcgi_params(body), body).stdout)
            self.assertEqual(0, server.stop())
        deaths = [line for line in self.log_lines() if "FastCGI worker" in line]
        self.assertEqual([f"FastCGI worker {victim} ended by signal 9; another takes its place"],
                         deaths)

    def test_a_worker_is_replaced_after_its_share_of_requests(self):
        body = encoded([("NAME", "Ann"), ("DEBUG_VARIABLES", "1")])
        with fcgi.FastCgiServer(self.site, workers=1, max_requests=3) as server:
            served_by = set()
            for _ in range(7):
                self.assertTrue(server.request(fastcgi_params(body), body).complete)
                self.assertTrue(eventually(lambda: len(server.worker_pids()) == 1, WAIT_SECONDS))
                served_by.update(server.worker_pids())
            self.assertEqual(0, server.stop())
        self.assertEqual(3, len(served_by))
        self.assertEqual([], [line for line in self.log_lines() if "FastCGI worker" in line])

    def test_a_settings_change_takes_effect_at_the_next_request(self):
        form = [("NAME", "Ann"), ("SUBJECT", "Order"), ("TEMPLATE_WEB", "thanks.htm"),
                ("DISABLE_MAIL", "1")]
        body = encoded(form)
        with fcgi.FastCgiServer(self.site, workers=1) as server:
            first = server.request(fastcgi_params(body), body).stdout
            self.configure(CHARSET="utf-8")
            (self.site / "templates" / "thanks.htm").write_text("<p>Changed for %NAME%</p>\n")
            second = server.request(fastcgi_params(body), body).stdout
        self.assertEqual(run_velloc(self.site, form)[1], second)
        self.assertIn(b"Thanks, Ann", first)
        self.assertIn(b"charset=utf-8", fcgi.split_cgi(second)[0])
        self.assertEqual(b"<p>Changed for Ann</p>\n", fcgi.split_cgi(second)[1])

    def test_settings_missing_emptied_or_cut_keep_the_last_good_ones(self):
        # The refusal of an outside recipient and the page's character set both come
        # from the settings; with the defaults the mail would be tried instead.
        self.configure(AllowedRecipients="owner@example.test", CHARSET="utf-8")
        form = [("NAME", "Ann"), ("RECIPIENT", "relay@elsewhere.test"), ("SUBJECT", "Order")]
        body = encoded(form)
        settings = self.site / "VELLOC.ini"
        good = settings.read_bytes()
        breaks = {"emptied": lambda: settings.write_bytes(b""),
                  "removed": settings.unlink,
                  "cut before its section": lambda: settings.write_bytes(b"; settings\n")}
        with fcgi.FastCgiServer(self.site, workers=1) as server:
            refused = server.request(fastcgi_params(body), body).stdout
            for name, broken in breaks.items():
                with self.subTest(name):
                    broken()
                    self.assertEqual(refused, server.request(fastcgi_params(body), body).stdout)
                    settings.write_bytes(good)
        self.assertIn(b"Recipient Not Allowed!", refused)
        self.assertIn(b"charset=utf-8", fcgi.split_cgi(refused)[0])

    def test_sigterm_lets_the_request_in_flight_finish(self):
        form = [("NAME", "Ann"), ("SUBJECT", "Order"), ("TEMPLATE_WEB", "thanks.htm"),
                ("DISABLE_MAIL", "1")]
        body = encoded(form)
        _, expected, _ = run_velloc(self.site, form)
        request = (fcgi.begin() + fcgi.stream(fcgi.PARAMS, fcgi.encode_params(fastcgi_params(body)))
                   + fcgi.record(fcgi.STDIN, body) + fcgi.record(fcgi.STDIN))
        # How much of the request is sent before SIGTERM: part of its body, or nothing yet
        # of a connection the worker accepted already (the web server is about to send it).
        for sent in (request.index(body) + 5, 0):
            with self.subTest(sent=sent):
                self.stop_during_request(request, sent, expected)

    def stop_during_request(self, request, sent, expected):
        server = fcgi.FastCgiServer(self.site, workers=1).__enter__()
        try:
            (worker,) = server.worker_pids()
            # The start-up probe's connection may still wait to be accepted; once a request
            # sent after it is answered, nothing but ours can come to the worker. Idle, the
            # worker holds its listening socket only.
            self.assertTrue(server.send(request).complete)
            idle_sockets = 1
            self.assertTrue(eventually(lambda: self.sockets_of(worker) == idle_sockets,
                                       WAIT_SECONDS))
            connection = fcgi.connect(server.socket)
            connection.sendall(request[:sent])
            # The worker has the request once it holds the connection.
            self.assertTrue(eventually(lambda: self.sockets_of(worker) > idle_sockets, WAIT_SECONDS))
            server.process.send_signal(signal.SIGTERM)
            self.assertTrue(eventually(lambda: not server._accepts(), WAIT_SECONDS))
            connection.sendall(request[sent:])
            answer = fcgi.read_answer(connection)
            connection.close()
            self.assertTrue(answer.complete)
            self.assertEqual(expected, answer.stdout)
            self.assertEqual(0, server.process.wait(timeout=fcgi.STOP_SECONDS))
        finally:
            server.stop()
        (self.site / "velloc.sock").unlink(missing_ok=True)

    def test_malformed_input_ends_only_its_own_request(self):
        good = encoded([("NAME", "Ann"), ("DEBUG_VARIABLES", "1")])
        _, expected, _ = run_velloc(self.site, [("NAME", "Ann"), ("DEBUG_VARIABLES", "1")])
        params = fcgi.encode_params(fastcgi_params(good))
        cases = {
            "not a record": b"GET / HTTP/1.0\r\n\r\n",
            "a version of its own": b"\x02" + fcgi.request_bytes(fastcgi_params(good), good)[1:],
            "an unknown role": fcgi.record(fcgi.BEGIN_REQUEST, b"\x00\x09" + bytes(6)),
            "lengths beyond any buffer": fcgi.begin() + fcgi.record(
                fcgi.PARAMS, b"\xff\xff\xff\xff\xff\xff\xff\xff" + b"x" * 64),
            "a parameter cut short": fcgi.begin() + fcgi.record(fcgi.PARAMS, b"\x05\x05abc"),
            "a hang-up within the parameters": fcgi.begin() + fcgi.record(fcgi.PARAMS, params)[:40],
            "a hang-up within the body": fcgi.begin() + fcgi.stream(fcgi.PARAMS, params) +
                                         fcgi.record(fcgi.STDIN, good[:4]),
            "an aborted request": fcgi.begin() + fcgi.stream(fcgi.PARAMS, params) +
                                  fcgi.record(fcgi.ABORT_REQUEST),
            "a second request on the connection": fcgi.begin() + fcgi.begin(2) +
                                                  fcgi.stream(fcgi.PARAMS, params),
            "a management record": fcgi.record(fcgi.GET_VALUES, b"\x0e\x00FCGI_MAX_CONNS" * 40,
                                               request_id=0),
        }
        with fcgi.FastCgiServer(self.site, workers=1) as server:
            (worker,) = server.worker_pids()
            for name, raw in cases.items():
                with self.subTest(name):
                    server.send(raw, timeout=fcgi.STOP_SECONDS)
                    answer = server.request(fastcgi_params(good), good)
                    self.assertEqual(expected, answer.stdout)
                    self.assertEqual([worker], server.worker_pids())
            # A client that hangs up before reading the answer.
            with fcgi.connect(server.socket) as connection:
                connection.sendall(fcgi.request_bytes(fastcgi_params(good), good))
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
            self.assertEqual(expected, server.request(fastcgi_params(good), good).stdout)
            self.assertEqual([worker], server.worker_pids())
            self.assertEqual(0, server.stop())

    def test_the_request_limits_hold_as_in_cgi_mode(self):
        self.configure(MaxRequestSize="2K", MaxFields="3")
        big = {"NAME": "x" * 4096}
        many = [("F%d" % i, "v") for i in range(5)]
        with fcgi.FastCgiServer(self.site, workers=1) as server:
            for form in (big, many):
                body = encoded(form)
                self.assertEqual(run_velloc(self.site, form)[1],
                                 server.request(fastcgi_params(body), body).stdout)
            huge = fastcgi_params(b"", {"HTTP_COOKIE": "c" * (256 * 1024)})
            head, _ = fcgi.split_cgi(server.request(huge).stdout)
            self.assertTrue(head.startswith(b"Status: 431 "), head)

    def test_a_body_cut_short_is_no_submission_in_either_mode(self):
        """Refused as a malformed request is (HTML or JSON); nothing mailed or stored."""
        with MailSink(self.root / "mails") as sink:
            self.configure(SMTP=f"127.0.0.1:{sink.port}")
            body = encoded(FORM_A)
            cut = body[:20]
            for accept in ("text/html", "application/json"):
                extra = {"CONTENT_LENGTH": str(len(body)), "HTTP_ACCEPT": accept}
                cgi_answer = self.run_cgi_cut(cut, extra)
                self.assertTrue(cgi_answer.startswith(b"Status: 400 "), cgi_answer[:80])
                self.assertIn(b"CGI Initialization Error" if accept == "text/html" else
                              b'"error": "bad_request", "message": "request body ends after 20 '
                              b'of %d bytes"' % len(body), cgi_answer)
                params = fcgi.encode_params(fastcgi_params(body, extra))
                opening = fcgi.begin() + fcgi.stream(fcgi.PARAMS, params) + fcgi.record(fcgi.STDIN,
                                                                                         cut)
                cases = {"the stream ended": opening + fcgi.record(fcgi.STDIN),
                         "aborted": opening + fcgi.record(fcgi.ABORT_REQUEST),
                         "hung up": opening}
                with fcgi.FastCgiServer(self.site, workers=1) as server:
                    for name, raw in cases.items():
                        with self.subTest(accept=accept, case=name):
                            self.assertEqual(cgi_answer, server.send(raw).stdout)
                    self.assertTrue(server.request(fastcgi_params(body), body).complete)
                    self.assertTrue(eventually(lambda: len(mail_names(sink.folder)) == 1,
                                               WAIT_SECONDS))
                for path in [self.root / "rows.csv"] + list(sink.folder.iterdir()):
                    path.unlink()
        self.assertEqual([], list(self.temp.iterdir()))

    def run_cgi_cut(self, cut, extra):
        """velloc as a CGI program given `cut` of a longer body; its answer, with nothing
        mailed or stored."""
        env = cgi_environment(cut, extra)
        result = subprocess.run([fcgi.VELLOC_BINARY], cwd=self.site, env=env, input=cut,
                                capture_output=True, timeout=WAIT_SECONDS)
        self.assertFalse((self.root / "rows.csv").exists())
        return result.stdout

    def test_the_service_manager_hears_the_server_and_the_log_has_its_start_and_stop(self):
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(manager.close)
        manager.bind(str(self.root / "notify.sock"))
        manager.setblocking(False)
        heard = []

        def hears(*lines):
            """Whether the manager has heard `lines` in this order, among others."""
            while True:
                try:
                    heard.extend(manager.recv(4096).decode().splitlines())
                except BlockingIOError:
                    rest = iter(heard)
                    return all(line in rest for line in lines)

        version = subprocess.run([fcgi.VELLOC_BINARY, "--version"], capture_output=True,
                                 text=True).stdout.split()[1]
        environment = {"NOTIFY_SOCKET": str(self.root / "notify.sock"), "WATCHDOG_USEC": "200000"}
        with fcgi.FastCgiServer(self.site, workers=2, extra_env=environment) as server:
            self.assertTrue(eventually(lambda: hears("READY=1", "STATUS=2 workers", "WATCHDOG=1"),
                                       WAIT_SECONDS), heard)
            # With the archive, the status shows the outbox as the server's deliveries see it.
            self.configure(Archive="1")
            self.assertTrue(eventually(lambda: hears("STATUS=2 workers, outbox empty"),
                                       WAIT_SECONDS), heard)
            # Executed anew, the program reports to the same manager.
            server.process.send_signal(signal.SIGHUP)
            self.assertTrue(eventually(lambda: hears("RELOADING=1", "READY=1", "WATCHDOG=1"),
                                       WAIT_SECONDS), heard)
            self.assertEqual(0, server.stop())
        self.assertTrue(hears("STOPPING=1"), heard)
        started = f"listening on unix:{self.site}/velloc.sock with 2 workers"
        self.assertEqual([f"velloc {version} started: {started}",
                          f"velloc {version} started anew: {started}", "velloc stopped"],
                         self.log_lines(server_lines=True))

    def test_a_json_log_is_one_object_a_line_without_the_visitors_values(self):
        """LogFormat=json at the default level: every line parses, each request has one
        "request" line with its outcome under its own id, and nothing the visitor sent
        is written."""
        secret = "Zelda-Quux-4711"
        here = {"HTTP_REFERER": "http://127.0.0.1/form.html"}
        forms = [  # (form, extra environment, outcome)
            ([("NAME", secret), ("FORM_PROFILE", "contact")], here, "accepted"),
            ([("NAME", secret)], {"HTTP_REFERER": "http://elsewhere.test/form.html"}, "referer"),
            ([("NAME", secret), ("REQUIRED", "EMAIL")], here, "missing_fields"),
            ([("NAME", secret), ("website", "http://spam.test/")], here, "spam"),
        ]
        with MailSink(self.root / "mails") as sink:
            self.configure(SMTP=f"127.0.0.1:{sink.port}", LogFormat="json", LOG_LEVEL="1",
                           Referers="127.0.0.1", HoneypotField="website")
            with (self.site / "VELLOC.ini").open("a") as settings:
                settings.write("[Form contact]\nTEMPLATE_WEB=thanks.htm\n")
            with fcgi.FastCgiServer(self.site, workers=1) as server:
                for form, extra, _ in forms:
                    body = encoded(form)
                    server.request(fastcgi_params(body, extra), body)
                self.assertEqual(0, server.stop())
        text = self.log.read_text()
        self.assertNotIn(secret, text)
        for sent in ("elsewhere", "spam.test"):
            self.assertNotIn(sent, text)
        lines = [json.loads(line) for line in text.splitlines()]
        for line in lines:
            self.assertLessEqual({"time", "level", "pid", "event"}, set(line), line)
            self.assertRegex(line["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")
            self.assertNotIn("message", line)
        (start,) = [line for line in lines if line["event"] == "server_start"]
        self.assertEqual((f"unix:{self.site}/velloc.sock", 1), (start["address"], start["workers"]))
        self.assertEqual("server_stop", lines[-1]["event"])
        requests = [line for line in lines if line["event"] == "request"]
        self.assertEqual([outcome for _, _, outcome in forms],
                         [line["outcome"] for line in requests])
        self.assertEqual(["contact", None, None, None], [line.get("form") for line in requests])
        self.assertEqual("honeypot", requests[3]["reason"])
        self.assertEqual(4, len({line["request_id"] for line in requests}))
        refused = [line for line in lines if line["event"] == "refused"]
        self.assertEqual([requests[1]["request_id"], requests[2]["request_id"]],
                         [line["request_id"] for line in refused])
        self.assertTrue(all(line["duration_ms"] >= 0 for line in requests))

    def test_slow_and_idle_clients_hold_a_worker_only_for_the_limits(self):
        good = encoded([("NAME", "Ann"), ("DEBUG_VARIABLES", "1")])
        _, expected, _ = run_velloc(self.site, [("NAME", "Ann"), ("DEBUG_VARIABLES", "1")])
        announced = fastcgi_params(b"x" * 100)
        stop = threading.Event()

        def dribble(connection):
            """One byte of the body at a time, until the server gives up or the test ends."""
            try:
                connection.sendall(fcgi.begin() + fcgi.stream(
                    fcgi.PARAMS, fcgi.encode_params(announced)) + fcgi.record(
                    fcgi.STDIN, b"x" * 100)[:8])
                while not stop.wait(0.2):
                    connection.sendall(b"x")
            except OSError:
                pass

        options = ("--request-timeout", "2", "--idle-timeout", "1")
        with fcgi.FastCgiServer(self.site, workers=2, options=options) as server:
            slow = [fcgi.connect(server.socket, WAIT_SECONDS) for _ in range(2)]
            idle = [fcgi.connect(server.socket, WAIT_SECONDS) for _ in range(2)]
            threads = [threading.Thread(target=dribble, args=(c,)) for c in slow]
            for thread in threads:
                thread.start()
            try:
                # Without the limits both workers would serve the dribbling bodies for as
                # long as they last, and this request would time out.
                answer = server.request(fastcgi_params(good), good, timeout=WAIT_SECONDS)
                self.assertEqual(expected, answer.stdout)
            finally:
                stop.set()
                for thread in threads:
                    thread.join()
            refused = self.run_cgi_cut(b"x", {"CONTENT_LENGTH": "100"})
            for connection in slow:
                cut = fcgi.read_answer(connection)  # the time ran out in the body
                self.assertTrue(cut.complete)
                self.assertEqual(refused, cut.stdout)
                connection.close()
            for connection in idle:
                self.assertEqual(b"", connection.recv(1))  # closed by the server
                connection.close()
            self.assertEqual(0, server.stop())

    def sockets_of(self, pid):
        count = 0
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                count += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
            except OSError:
                pass
        return count


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
