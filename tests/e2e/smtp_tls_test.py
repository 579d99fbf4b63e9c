#!/usr/bin/python3
"""Mail through servers that demand TLS and a login: aiosmtpd with STARTTLS and
AUTH required, aiosmtpd with TLS from the first byte, refused certificates and a
refused password, and Postfix as a real MTA delivering to a Maildir. Every
delivered message is parsed by the email package."""
import os
import pwd
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from aiosmtpd.controller import Controller  # noqa: E402
from aiosmtpd.smtp import AuthResult  # noqa: E402

from cgi_process import run_velloc, write_settings  # noqa: E402
from harness import free_port  # noqa: E402
from system_support import eventually, listening, make_certificates, parse_mail  # noqa: E402

USER = "forms@site.test"
PASSWORD = "pässword with spaces"
SUBJECT = "Grüße from the site"
NAME = "José Grüßer"
WAIT_SECONDS = 30


class Storing:
    def __init__(self):
        self.messages = []
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.messages.append((envelope.mail_from, envelope.original_content))
        return "250 stored"


def check_password(server, session, envelope, mechanism, auth_data):
    good = auth_data.login == USER.encode() and auth_data.password == PASSWORD.encode()
    return AuthResult(success=good, handled=False)


class InjectingServer:
    """One connection: its go-ahead for STARTTLS carries a forged reply in the same
    segment, as a machine in the middle would add it; then TLS, AUTH PLAIN and a
    plain delivery. Keeps the command lines received under TLS."""

    def __init__(self, context):
        self.context = context
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(WAIT_SECONDS)
        self.port = self.listener.getsockname()[1]
        self.commands = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @staticmethod
    def _line(stream):
        line = b""
        while not line.endswith(b"\n") and len(line) < 100_000:
            byte = stream.recv(1)
            if not byte:
                break
            line += byte
        return line

    def _serve(self):
        connection, _ = self.listener.accept()
        connection.settimeout(WAIT_SECONDS)
        connection.sendall(b"220 ready\r\n")
        self._line(connection)
        connection.sendall(b"250-hi\r\n250 STARTTLS\r\n")
        self._line(connection)
        connection.sendall(b"220 go ahead\r\n250 injected\r\n")
        with self.context.wrap_socket(connection, server_side=True) as tls:
            answers = {b"EHLO": b"250-hi\r\n250 AUTH PLAIN\r\n", b"AUTH": b"235 ok\r\n",
                       b"DATA": b"354 go\r\n", b"QUIT": b"221 bye\r\n"}
            while True:
                line = self._line(tls)
                self.commands.append(line)
                if not line:
                    return
                if line.startswith(b"DATA"):
                    tls.sendall(answers[b"DATA"])
                    while self._line(tls) not in (b".\r\n", b""):
                        pass
                    tls.sendall(b"250 stored\r\n")
                    continue
                tls.sendall(answers.get(line[:4], b"250 ok\r\n"))
                if line.startswith(b"QUIT"):
                    return

    def close(self):
        self.thread.join(timeout=WAIT_SECONDS)
        self.listener.close()


class SmtpTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="velloc-tls-")
        make_certificates(cls.certs)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velloc-e2e-")
        self.controllers = []
        Path(self.dir, "password").write_text(PASSWORD + "\n")
        os.chmod(Path(self.dir, "password"), 0o600)

    def tearDown(self):
        for controller in self.controllers:
            controller.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def context(self, certificate):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(f"{self.certs}/{certificate}.pem", f"{self.certs}/{certificate}.key")
        return context

    def start_server(self, implicit=False, certificate="server", **options):
        store = Storing()
        context = self.context(certificate)
        # With TLS from the first byte aiosmtpd does not know the session is
        # secure, so its own "AUTH only under TLS" check is left off there.
        tls = {"ssl_context": context, "auth_require_tls": False} if implicit else {
            "tls_context": context, "require_starttls": True, "auth_require_tls": True}
        controller = Controller(store, hostname="127.0.0.1", port=free_port(), auth_required=True,
                                authenticator=check_password, **tls, **options)
        controller.start()
        self.controllers.append(controller)
        return store, controller.port

    def send(self, port, tls, **settings):
        base = {"SMTP": f"127.0.0.1:{port}", "SMTP_TLS": tls, "SMTP_CA_FILE": f"{self.certs}/ca.pem",
                "SMTP_USER": USER, "SMTP_PASSWORD_FILE": f"{self.dir}/password",
                "TEMP": self.dir + "/", "LOGFILE": f"{self.dir}/velloc.log", "LOG_LEVEL": "15",
                "DEFAULTSENDER": "forms@site.test", "DefaultRecipient": "owner@example.test"}
        base.update(settings)
        write_settings(self.dir, base)
        Path(self.dir, "velloc.log").unlink(missing_ok=True)
        fields = {"EMAIL": "jose@example.test", "RECIPIENT": "owner@example.test",
                  "SUBJECT": SUBJECT, "NAME": NAME, "SORTORDER": "NAME"}
        status, out, err = run_velloc(self.dir, fields)
        self.assertEqual(b"", err)
        return out.decode("utf-8", "replace")

    def log(self):
        return Path(self.dir, "velloc.log").read_bytes().decode("utf-8", "replace")

    def check_delivered(self, raw):
        message = parse_mail_bytes(raw)
        self.assertEqual([], [d for part in message.walk() for d in part.defects])
        self.assertEqual(SUBJECT, message["Subject"])
        self.assertIn(f"NAME:  {NAME}\n", message.get_body(("plain",)).get_content())
        self.assertIsNotNone(message["Date"].datetime)
        self.assertRegex(message["Message-ID"], r"^<[0-9a-f]{32}@[^>]+>$")
        return message

    def test_starttls_and_login_deliver_the_exact_text(self):
        store, port = self.start_server()
        page = self.send(port, "starttls", CHARSET="UTF-8", VisitorReplyTo="1")
        self.assertIn("Content-Type: text/html; charset=UTF-8\n", page)
        self.assertTrue(eventually(lambda: len(store.messages) == 1, WAIT_SECONDS), self.log())
        envelope_sender, raw = store.messages[0]
        self.assertEqual("forms@site.test", envelope_sender)
        message = self.check_delivered(raw)
        self.assertEqual("forms@site.test", message["From"])
        self.assertEqual("jose@example.test", message["Reply-To"])
        log = self.log()
        self.assertIn("Sending: AUTH PLAIN ***\n", log)
        self.assertNotIn("pässword", log)

    def test_tls_from_the_first_byte_with_login_mechanism(self):
        store, port = self.start_server(implicit=True, auth_exclude_mechanism=["PLAIN"])
        self.send(port, "tls")
        self.assertTrue(eventually(lambda: len(store.messages) == 1, WAIT_SECONDS), self.log())
        message = self.check_delivered(store.messages[0][1])
        self.assertEqual("jose@example.test", message["From"])
        self.assertIn("Sending: AUTH LOGIN\n", self.log())

    def test_refusals_end_the_mail_step(self):
        store, port = self.start_server(certificate="wrong")
        page = self.send(port, "starttls")
        self.assertIn("Form Was Not Processed", page)
        self.assertRegex(self.log(), r"TLS handshake with 127\.0\.0\.1 failed: certificate verify "
                                     r"failed: [^\n]*mismatch")
        self.send(port, "starttls", SMTP_TLS_VERIFY="0")
        self.assertTrue(eventually(lambda: len(store.messages) == 1, WAIT_SECONDS), self.log())

        store, port = self.start_server()
        Path(self.dir, "password").write_text("wrong\n")
        page = self.send(port, "starttls")
        self.assertIn("Form Was Not Processed", page)
        self.assertRegex(self.log(), r"Mail Server Refused the Login: 535")
        self.assertNotIn("wrong\n", self.log().replace("wrong.example", ""))

        page = self.send(port, "none")
        self.assertIn("Credentials are sent only over TLS", self.log())
        self.assertEqual([], store.messages)

    def test_replies_sent_before_tls_are_never_read_under_tls(self):
        server = InjectingServer(self.context("server"))
        page = self.send(server.port, "starttls")
        server.close()
        self.assertIn("Form Sent Successfully", page, self.log())
        self.assertNotIn("injected", self.log())
        self.assertIn("] Data Sent Before TLS Was Dropped.\n", self.log())
        self.assertEqual([b"EHLO", b"AUTH", b"MAIL", b"RCPT", b"DATA", b"QUIT"],
                         [line[:4] for line in server.commands])


POSTFIX_MAIN_CF = """compatibility_level = 3.6
queue_directory = {dir}/queue
data_directory = {dir}/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
mail_owner = postfix
setgid_group = postdrop
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = mx.test
mydestination =
mynetworks = 127.0.0.0/8
smtpd_tls_security_level = may
smtpd_tls_cert_file = {certs}/server.pem
smtpd_tls_key_file = {certs}/server.key
smtpd_tls_received_header = yes
virtual_mailbox_domains = example.test
virtual_mailbox_base = {dir}/mail
virtual_mailbox_maps = texthash:{dir}/etc/mailboxes
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
alias_maps =
alias_database =
maillog_file = {dir}/maillog
maillog_file_prefixes = {dir}
smtputf8_enable = no
"""


def postfix_master_cf(port):
    """The system's service table with smtpd on the test port and nothing chrooted."""
    lines = []
    for line in Path("/etc/postfix/master.cf").read_text().splitlines():
        fields = line.split()
        if line[:1] not in ("#", " ", "\t") and len(fields) >= 8:
            if fields[:2] == ["smtp", "inet"]:
                fields[0] = f"127.0.0.1:{port}"
            fields[4] = "n"
            line = "  ".join(fields)
        lines.append(line)
    return "\n".join(lines) + "\n"


class PostfixTest(unittest.TestCase):
    """Postfix, started with a configuration folder of its own, takes the mail over
    STARTTLS and delivers it to a Maildir."""

    def setUp(self):
        if os.geteuid() != 0 or not Path("/usr/sbin/postfix").exists():
            self.skipTest("Postfix needs root and the postfix package")
        try:
            account = pwd.getpwnam("postfix")
        except KeyError:
            self.skipTest("no postfix user")
        self.dir = tempfile.mkdtemp(prefix="velloc-postfix-")
        os.chmod(self.dir, 0o755)
        self.certs = Path(self.dir, "certs")
        self.certs.mkdir()
        make_certificates(self.certs)
        for name in ("etc", "queue", "data", "mail", "site"):
            Path(self.dir, name).mkdir()
        for name in ("data", "mail"):
            os.chown(Path(self.dir, name), account.pw_uid, account.pw_gid)
        self.port = free_port()
        Path(self.dir, "etc/main.cf").write_text(POSTFIX_MAIN_CF.format(
            dir=self.dir, certs=self.certs, uid=account.pw_uid, gid=account.pw_gid))
        Path(self.dir, "etc/master.cf").write_text(postfix_master_cf(self.port))
        Path(self.dir, "etc/mailboxes").write_text("owner@example.test owner/\n")
        self.postfix("start")
        self.assertTrue(eventually(lambda: listening(self.port), WAIT_SECONDS), self.maillog())

    def tearDown(self):
        if hasattr(self, "port"):
            self.postfix("stop")
        if hasattr(self, "dir"):
            shutil.rmtree(self.dir, ignore_errors=True)

    def postfix(self, command):
        subprocess.run(["/usr/sbin/postfix", "-c", f"{self.dir}/etc", command],
                       capture_output=True, timeout=60, check=False)

    def maillog(self):
        path = Path(self.dir, "maillog")
        return path.read_text(errors="replace") if path.exists() else ""

    def delivered(self):
        new = Path(self.dir, "mail/owner/new")
        return sorted(new.iterdir()) if new.exists() else []

    def test_postfix_receives_over_starttls_and_delivers(self):
        site = Path(self.dir, "site")
        write_settings(site, {"SMTP": f"127.0.0.1:{self.port}", "SMTP_TLS": "starttls",
                              "SMTP_CA_FILE": f"{self.certs}/ca.pem", "TEMP": f"{site}/",
                              "LOGFILE": f"{site}/velloc.log", "LOG_LEVEL": "15",
                              "DEFAULTSENDER": "forms@site.test", "VisitorReplyTo": "1",
                              "DefaultRecipient": "owner@example.test"})
        fields = {"EMAIL": "jose@example.net", "RECIPIENT": "owner@example.test",
                  "SUBJECT": SUBJECT, "NAME": NAME, "SORTORDER": "NAME"}
        status, out, err = run_velloc(site, fields)
        self.assertIn(b"Form Sent Successfully", out, Path(site, "velloc.log").read_text())
        self.assertTrue(eventually(lambda: self.delivered(), WAIT_SECONDS), self.maillog())
        message = parse_mail(self.delivered()[0])
        self.assertEqual([], [d for part in message.walk() for d in part.defects])
        self.assertIn("using TLS", message["Received"])
        self.assertEqual(SUBJECT, message["Subject"])
        self.assertEqual("jose@example.net", message["Reply-To"])
        self.assertIn(f"NAME:  {NAME}\n", message.get_body(("plain",)).get_content())
        self.assertIsNotNone(message["Date"].datetime)
        self.assertRegex(message["Message-ID"], r"^<[0-9a-f]{32}@[^>]+>$")


def parse_mail_bytes(raw):
    with tempfile.NamedTemporaryFile(suffix=".eml") as stored:
        stored.write(raw)
        stored.flush()
        return parse_mail(stored.name)


if __name__ == "__main__":
    unittest.main()
