"""Support shared by the browser, load and fault tests: bounded waits, the mails of
a sink folder parsed by the email package, a SQLite data source for unixODBC, the
mail sink as a process of its own, ./demo.sh run on free ports, throwaway
certificates for the TLS servers and a loopback HTTP(S) server that keeps its calls."""

import email
import email.policy
import glob
import http.server
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
from pathlib import Path

from harness import MODE, SOURCE_DIR, free_port

BUILD_DIR = os.environ.get("BUILD_DIR") or os.path.dirname(
    os.environ.get("VELLOC_BINARY", str(SOURCE_DIR / "build/release/velloc")))
START_SECONDS = 60
STOP_SECONDS = 20
# Lines lighttpd writes to its error log on every start and stop.
LIGHTTPD_ROUTINE_LINES = ("server started", "server stopped", "graceful shutdown")
# The lines a persistent velloc logs of its own start and stop, with or without the
# time and process columns.
SERVER_LINE = re.compile(r"(\[[^]]*\] )?velloc (\S+ started( anew)?: .*|stopped)$")


def without_server_lines(log):
    """velloc's log without the persistent server's own start and stop lines."""
    return "".join(line for line in log.splitlines(keepends=True)
                   if not SERVER_LINE.match(line.rstrip("\r\n")))


CONNECTION_LINE = re.compile(r"(?:\[[^\]]*\] )?(Connecting to Mail Server|Connected!|"
                             r"Sending: HELO|MS - 22[01] )")
HELLO_REPLY = re.compile(r"(?:\[[^\]]*\] )?MS - 250")


def without_connection_lines(lines):
    """A mail's log lines without those of opening and ending its SMTP connection, which
    a persistent worker keeps for the next mail."""
    kept, after_hello = [], False
    for line in lines:
        opening = CONNECTION_LINE.match(line)
        if not opening and not (after_hello and HELLO_REPLY.match(line)):
            kept.append(line)
        after_hello = bool(opening) and "Sending: HELO" in line
    return kept


def scratch_folder(test, prefix):
    """A new folder under the temporary directory, removed when `test` ends."""
    folder = Path(tempfile.mkdtemp(prefix=prefix))
    test.addCleanup(shutil.rmtree, folder, ignore_errors=True)
    return folder


def eventually(predicate, seconds, interval=0.05):
    """Whether `predicate` comes true within `seconds`. A look that fails because a file
    is being written or replaced right then counts as "not yet"."""
    deadline = time.monotonic() + seconds
    while not holds(predicate):
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def holds(predicate):
    try:
        return predicate()
    except OSError:
        return False


def distinct_free_ports(count):
    ports = []
    for _ in range(100 * count):
        port = free_port()
        if port not in ports:
            ports.append(port)
        if len(ports) == count:
            return ports
    raise RuntimeError(f"no {count} distinct free ports")


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def mail_names(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".eml"))


def parse_mail(path):
    with open(path, "rb") as stored:
        return email.message_from_binary_file(stored, policy=email.policy.default)


def parsed_mails(folder, names=None):
    return [parse_mail(Path(folder) / name) for name in (names or mail_names(folder))]


def sqlite_odbc_driver():
    found = sorted(glob.glob("/usr/lib/*/odbc/libsqlite3odbc.so"))
    return found[0] if found else None


def odbc_environment(folder, sources):
    """Writes odbcinst.ini and odbc.ini into `folder` and returns the environment that
    points unixODBC at them. `sources` maps a data source name to its keys; the
    drivers are "SQLite3" and "PostgreSQL"."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    drivers = {"SQLite3": sqlite_odbc_driver(),
               "PostgreSQL": next(iter(sorted(glob.glob("/usr/lib/*/odbc/psqlodbcw.so"))), "")}
    (folder / "odbcinst.ini").write_text(
        "".join(f"[{name}]\nDriver={path}\n" for name, path in drivers.items()))
    (folder / "odbc.ini").write_text("".join(
        f"[{name}]\n" + "".join(f"{key}={value}\n" for key, value in keys.items())
        for name, keys in sources.items()))
    return {"ODBCSYSINI": str(folder), "ODBCINI": str(folder / "odbc.ini")}


def unexpected_lighttpd_lines(error_log):
    """The lines of lighttpd's error log that are not its routine start and stop."""
    text = Path(error_log).read_text(errors="replace") if Path(error_log).exists() else ""
    return [line for line in text.splitlines()
            if line.strip() and not any(routine in line for routine in LIGHTTPD_ROUTINE_LINES)]


class MailSink:
    """tools/mail_sink.py in a process of its own on a free port, so that storing
    mails never competes with the test's own threads."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.port = free_port()
        self.process = None

    def __enter__(self):
        self.folder.mkdir(parents=True, exist_ok=True)
        self.process = subprocess.Popen(
            ["/usr/bin/python3", str(SOURCE_DIR / "tools/mail_sink.py"), "--port", str(self.port),
             "--dir", str(self.folder)], stdout=subprocess.DEVNULL)
        if not eventually(lambda: self.process.poll() is not None or listening(self.port),
                          START_SECONDS) or self.process.poll() is not None:
            raise RuntimeError("the mail sink did not start")
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(timeout=STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class DemoSite:
    """./demo.sh on free ports with a folder of its own and the built programs (velloc
    as a CGI program when $VELLOC_E2E_MODE is cgi, else persistent); stopped
    with SIGINT as from a terminal (its process group is killed only if that fails)."""

    def __init__(self, root):
        self.root = Path(root)
        self.dir = self.root / "demo-run"
        self.http_port, self.partner_port, self.smtp_port = distinct_free_ports(3)
        self.url = f"http://127.0.0.1:{self.http_port}"
        # The stockist's page: another origin, which the demo's settings allow.
        self.partner_url = f"http://127.0.0.1:{self.partner_port}"
        self.mail_folder = self.dir / "mail"
        self.database = self.dir / "data" / "orders.db"
        self._output_path = self.root / "demo.out"
        self._process = None

    def __enter__(self):
        env = dict(os.environ, DEMO_HTTP_PORT=str(self.http_port),
                   DEMO_PARTNER_PORT=str(self.partner_port),
                   DEMO_SMTP_PORT=str(self.smtp_port), DEMO_DIR=str(self.dir),
                   DEMO_BIN_DIR=BUILD_DIR, DEMO_MODE="cgi" if MODE == "cgi" else "fastcgi")
        with open(self._output_path, "w") as output:
            self._process = subprocess.Popen(
                ["bash", str(SOURCE_DIR / "demo.sh")], env=env, stdin=subprocess.DEVNULL,
                stdout=output, stderr=subprocess.STDOUT, start_new_session=True,
                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        started = eventually(lambda: self._process.poll() is not None or
                             listening(self.http_port), START_SECONDS)
        if not started or self._process.poll() is not None:
            self.__exit__()
            raise RuntimeError("the demo did not start:\n" + self.output())
        return self

    def __exit__(self, *exc):
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGINT)
            try:
                self._process.wait(timeout=STOP_SECONDS)
            except subprocess.TimeoutExpired:
                os.killpg(self._process.pid, signal.SIGKILL)
                self._process.wait()

    def output(self):
        return self._output_path.read_text(errors="replace")


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def make_certificates(folder):
    """A throwaway CA, a server certificate for 127.0.0.1 and one for another host."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Test CA",
            "-keyout", "ca.key", "-out", "ca.pem", cwd=folder)
    for name, san in (("server", "IP:127.0.0.1,DNS:localhost"), ("wrong", "DNS:wrong.example.test")):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}", "-keyout",
                f"{name}.key", "-out", f"{name}.csr", cwd=folder)
        Path(folder, f"{name}.ext").write_text(f"subjectAltName={san}\n")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", "2", "-extfile", f"{name}.ext", "-out", f"{name}.pem",
                cwd=folder)


def server_context(folder):
    """Throwaway certificates made in `folder`; the TLS context of a server that
    presents the one for 127.0.0.1."""
    make_certificates(folder)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(f"{folder}/server.pem", f"{folder}/server.key")
    return context


class LoopbackHttpServer:
    """An HTTP server on 127.0.0.1 (HTTPS with `context`) from a thread of its own.
    Every POST is kept in `calls` as (path, headers, body) and answered with what
    answer() returns; an answer that waits waits for `released`, which stop() sets."""

    def __init__(self, context=None):
        self.calls = []
        self.released = threading.Event()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                owner.calls.append((self.path, self.headers, body))
                status, headers, data = owner.answer(self.path, body)
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.scheme = "https" if context else "http"
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if context:
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def answer(self, path, body):
        """(status, headers, body) for a call to `path`."""
        return 200, {}, b""

    def url(self, path):
        return f"{self.scheme}://127.0.0.1:{self.port}{path}"

    def clear(self):
        self.calls.clear()
        self.released.clear()

    def stop(self):
        self.released.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=10)
