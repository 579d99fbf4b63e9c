"""Faults around a submission, with velloc started directly as a CGI script: the mail
server drops the connection in the middle of the message data, the mail server is
down, the database is down, the ODBC driver manager cannot be loaded, the export's
disk is full (a file-size limit on the CGI process) and the encryption program hangs.
Each run ends with the page and the log line that belong to it, leaves nothing in the
temporary folder, and no visitor is told that the form was sent when its mail was
not."""

import html
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
from pathlib import Path

from harness import SOURCE_DIR, VELLOC_BINARY, free_port
from system_support import eventually, mail_names, odbc_environment, parsed_mails

sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mail_sink  # noqa: E402

RUN_SECONDS = 60
SENT_PAGE = "Thank you, Ann: your message was sent."
FAILURE_PAGE = "<H1>Form Was Not Processed</H1><P>\n"
SEND_FAILED = "Velloc Failed: Error Sending Email!  Check log file for specific error!\n"
FORM = [("NAME", "Ann"), ("EMAIL", "ann@example.test"), ("SUBJECT", "Fault test"),
        ("TEMPLATE_MAIL", "mail.txt"), ("TEMPLATE_WEB", "thanks.htm"), ("DO_RECEIPT", "1"),
        ("RECEIPT_FROM", "shop@example.test"), ("RECEIPT_SUBJECT", "Receipt")]
TEMPLATES = {
    "mail.txt": "Name: %NAME%\n",
    "big_mail.txt": "Name: %NAME%\n*{root}/big.bin*\n",
    "long_mail.txt": "Name: %NAME%\n" + ("x" * 99 + "\n") * 1000,
    "thanks.htm": SENT_PAGE + "\n",
    "db.ini": "[DATABASE]\nDSN=Down\nUSER=velloc\nPASSWORD=secret\nTABLE=Orders\n"
              "[Orders]\nFIELDS=CustName\nCustName=NAME\n",
    "csv.ini": "[TEMPLATES]\nDETAIL=row.csv\nDESTINATION={root}/full/list.csv\n",
    "row.csv": '"%NAME%","%EMAIL%"\n',
}


def form_with(name, value):
    """The form with one field replaced (or added)."""
    return [pair for pair in FORM if pair[0] != name] + [(name, value)]


class DroppingSmtpServer:
    """Answers every command positively, then closes the connection once it has read
    `drop_after` bytes of the message data."""

    def __init__(self, drop_after):
        self.drop_after = drop_after
        self.data_bytes = 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(RUN_SECONDS)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve_one, daemon=True)
        self.thread.start()

    def _serve_one(self):
        try:
            connection, _ = self.listener.accept()
        except OSError:
            return
        with connection, connection.makefile("rb") as lines:
            connection.settimeout(RUN_SECONDS)
            connection.sendall(b"220 scripted ready\r\n")
            for line in lines:
                if line.upper().startswith(b"DATA"):
                    connection.sendall(b"354 go ahead\r\n")
                    while self.data_bytes < self.drop_after:
                        piece = lines.read1(65536)
                        if not piece:
                            break
                        self.data_bytes += len(piece)
                    return
                connection.sendall(b"250 ok\r\n")

    def close(self):
        self.listener.close()
        self.thread.join(timeout=RUN_SECONDS)


class FaultTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-fault-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.temp = self.root / "tmp"
        self.temp.mkdir()
        (self.root / "templates").mkdir()
        for name, text in TEMPLATES.items():
            (self.root / "templates" / name).write_text(text.format(root=self.root))
        self.mails = self.root / "mails"
        self.sink = mail_sink.start_sink(str(self.mails))
        self.addCleanup(self.sink.stop)
        self.settings = {"SMTP": f"127.0.0.1:{self.sink.port}", "TEMP": f"{self.temp}/",
                         "LOGFILE": str(self.root / "velloc.log"), "LOG_LEVEL": "1",
                         "TEMPLATE_DIR": f"{self.root}/templates/",
                         "DefaultRecipient": "owner@example.test"}

    def run_velloc(self, fields, extra_env=None, file_size_limit=None):
        """One CGI run; returns (exit status, page)."""
        lines = ["[Velloc]"] + [f"{key}={value}" for key, value in self.settings.items()]
        (self.root / "VELLOC.ini").write_text("\n".join(lines) + "\n")
        body = urllib.parse.urlencode(fields).encode()
        env = {"REQUEST_METHOD": "POST", "GATEWAY_INTERFACE": "CGI/1.1",
               "CONTENT_TYPE": "application/x-www-form-urlencoded",
               "CONTENT_LENGTH": str(len(body)), "PATH": "/usr/bin:/bin"}
        env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        env.update(extra_env or {})

        def limit_file_size():
            if file_size_limit is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

        result = subprocess.run([VELLOC_BINARY], input=body, env=env, cwd=self.root,
                                capture_output=True, timeout=RUN_SECONDS,
                                preexec_fn=limit_file_size)
        return result.returncode, result.stdout.decode("latin-1")

    def log(self):
        path = self.root / "velloc.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def assert_outcome(self, status, page, log_lines, mails):
        """The run ended by itself; the page tells the visitor the truth: sent exactly
        when the two mails went out; the log holds the lines; no temporary file is left."""
        self.assertEqual(1, status, f"velloc did not end by itself; page:\n{page}")
        if mails:
            self.assertIn(SENT_PAGE, page)
            self.assertNotIn("Not Processed", page)
            self.assertTrue(eventually(lambda: len(mail_names(self.mails)) >= 2, 10))
            self.assertEqual(["owner@example.test", "ann@example.test"],
                             [m["To"] for m in parsed_mails(self.mails)])
        else:
            self.assertIn(FAILURE_PAGE, page)
            self.assertNotIn(SENT_PAGE, page)
            self.assertEqual([], mail_names(self.mails))
        for line in log_lines:
            self.assertIn("] " + line, self.log())
            if line.startswith("Velloc Failed: "):
                self.assertIn(line.removeprefix("Velloc Failed: "), html.unescape(page))
        self.assertEqual([], os.listdir(self.temp))

    def test_server_drops_the_connection_in_the_middle_of_the_data(self):
        (self.root / "big.bin").write_bytes(os.urandom(4 * 1024 * 1024))
        server = DroppingSmtpServer(drop_after=256 * 1024)
        self.addCleanup(server.close)
        self.settings["SMTP"] = f"127.0.0.1:{server.port}"
        status, page = self.run_velloc(form_with("TEMPLATE_MAIL", "big_mail.txt"))
        self.assertLess(server.data_bytes, 4 * 1024 * 1024)
        self.assert_outcome(status, page, [SEND_FAILED], mails=False)
        self.assertTrue(any(line in self.log() for line in (
            "] Socket Error, Ending Thread\n",
            "] Mail Server Returned Error on EOM (End of Message).\n")), self.log())

    def test_server_is_down(self):
        port = free_port()
        self.settings["SMTP"] = f"127.0.0.1:{port}"
        status, page = self.run_velloc(FORM)
        self.assert_outcome(status, page, [
            f"Could not connect to server (127.0.0.1), port ({port}) -- ERROR 111\n",
            SEND_FAILED], mails=False)

    def test_database_is_down(self):
        port = free_port()
        env = odbc_environment(self.root / "odbc", {"Down": {
            "Driver": "PostgreSQL", "Servername": "127.0.0.1", "Port": port,
            "Database": "orders"}})
        status, page = self.run_velloc(form_with("TEMPLATE_DATABASE", "db.ini"), env)
        self.assert_outcome(status, page, ["Database Error:08001:  "], mails=True)
        self.assertNotIn("Velloc Failed", self.log())

    def test_driver_manager_cannot_be_loaded(self):
        """A libodbc.so.2 found first that is no library: the insert fails with the
        loader's own words and the run goes on."""
        shadow = self.root / "lib"
        shadow.mkdir()
        (shadow / "libodbc.so.2").write_text("not a library\n")
        status, page = self.run_velloc(form_with("TEMPLATE_DATABASE", "db.ini"),
                                       {"LD_LIBRARY_PATH": str(shadow)})
        self.assert_outcome(status, page, [
            f"VLSQL: ODBC driver manager not available ({shadow}/libodbc.so.2: "], mails=True)
        self.assertNotIn("Velloc Failed", self.log())

    def test_disk_is_full(self):
        """A file-size limit on the CGI process stands for a full disk: a lost export
        record is logged and the run goes on; a mail body that cannot be written in
        full is not mailed cut short."""
        limit = 64 * 1024
        destination = self.root / "full" / "list.csv"
        cases = [
            ("export", form_with("TEMPLATE_TEXTFILE", "csv.ini"),
             [f'VLTXT: Could not write to "{destination}"\n'], True),
            ("mail body", form_with("TEMPLATE_MAIL", "long_mail.txt"),
             ["Could not write message body file '",
              "Velloc Failed: Could Not Write Message Body File!"], False),
        ]
        destination.parent.mkdir()
        for name, fields, log_lines, mails in cases:
            with self.subTest(name):
                destination.write_bytes(b"x" * limit)
                (self.root / "velloc.log").unlink(missing_ok=True)
                for mail in mail_names(self.mails):
                    (self.mails / mail).unlink()
                status, page = self.run_velloc(fields, file_size_limit=limit)
                self.assertNotEqual(-signal.SIGXFSZ, status, "killed by the file-size limit")
                self.assert_outcome(status, page, log_lines, mails)
                self.assertEqual(limit, destination.stat().st_size)

    def test_encryption_program_hangs(self):
        pgp_dir = self.root / "pgp"
        pgp_dir.mkdir()
        pid_file = self.root / "pgp.pid"
        fake = pgp_dir / "pgp"
        fake.write_text(f"#!/bin/sh\necho $$ > {pid_file}\nexec sleep 120\n")
        fake.chmod(0o755)
        self.settings["PGP_Path"] = f"{pgp_dir}/"
        started = time.monotonic()
        status, page = self.run_velloc(form_with("PGP_TARGET", "ann<b>"))
        elapsed = time.monotonic() - started
        message = f"Encryption Did Not Finish In Time (15 seconds) ({pgp_dir}/pgp -feat ann"
        self.assertIn(message + "&lt;b&gt;)", page)
        self.assert_outcome(status, page, ["Velloc Failed: " + message + "<b>)"], mails=False)
        self.assertTrue(14 < elapsed < 30, elapsed)
        self.assertTrue(eventually(lambda: pid_file.exists() and
                                   pid_file.read_text().endswith("\n"), 10))
        pid = int(pid_file.read_text())
        self.assertFalse(Path(f"/proc/{pid}").exists(), "the encryption program still runs")


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
