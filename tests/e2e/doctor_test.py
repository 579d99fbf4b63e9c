#!/usr/bin/python3
"""`velloc doctor` against zones this test writes: a dnsmasq on a loopback address
(reached through DnsServer) serves a correct sender domain and one domain per fault,
and an SMTP server on 127.0.0.2 (named relay.test, with reverse DNS) and on 127.0.0.3
(bare.test, without) takes the test mail."""
import base64
import json
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from aiosmtpd.controller import Controller  # noqa: E402
from aiosmtpd.smtp import AuthResult  # noqa: E402
from harness import VELLOC_BINARY, free_port  # noqa: E402
from system_support import eventually, make_certificates, scratch_folder  # noqa: E402

DNSMASQ = shutil.which("dnsmasq") or "/usr/sbin/dnsmasq"
DNS_ADDRESS = f"127.84.{os.getpid() % 250 + 1}.53"
RELAY, BARE = "127.0.0.2", "127.0.0.3"
READY_SECONDS = 10


def answers(port):
    """Whether the DNS server answers a query for relay.test."""
    query = struct.pack(">HHHHHH", 0x5e1b, 0x0100, 1, 0, 0, 0)
    query += b"".join(bytes([len(label)]) + label for label in (b"relay", b"test")) + b"\0"
    query += struct.pack(">HH", 1, 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.settimeout(0.2)
        probe.sendto(query, (DNS_ADDRESS, port))
        try:
            return probe.recv(512)[:2] == query[:2]
        except socket.timeout:
            return False


def txt(name, text):
    """A dnsmasq TXT record, split into strings of at most 200 characters (on its
    command line a comma separates them, and quotes would be taken as text)."""
    parts = [text[i:i + 200] for i in range(0, len(text), 200)]
    return f"--txt-record={name}," + ",".join(parts)


class Mailbox:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope)
        return "250 2.0.0 kept"


@unittest.skipUnless(os.path.exists(DNSMASQ), "needs dnsmasq")
class Doctor(unittest.TestCase):
    def setUp(self):
        self.folder = scratch_folder(self, "velloc-doctor-")
        self.keys = {name: self.make_key(name) for name in ("site", "other")}
        self.keys["ed25519"] = self.make_key("ed25519", ["-algorithm", "ED25519"])
        self.dns_port = free_port()
        site_key, other_key = self.keys["site"][1], self.keys["other"][1]
        records = [
            "--host-record=relay.test,127.0.0.2", "--address=/bare.test/127.0.0.3",
            txt("good.test", "v=spf1 a:relay.test mx -all"), "--mx-host=good.test,bare.test",
            txt("norelay.test", "v=spf1 ip4:192.0.2.1 include:spf.other.test -all"),
            txt("spf.other.test", "v=spf1 ip4:198.51.100.0/24 ~all"),
            txt("badkey.test", "v=spf1 redirect=good.test"),
            txt("reject.test", "v=spf1 ip4:192.0.2.1 -all"),
        ]
        for domain, key in (("good", site_key), ("nospf", site_key), ("norelay", site_key),
                            ("badkey", other_key), ("signer", site_key)):
            records.append(txt(f"s1._domainkey.{domain}.test", f"v=DKIM1; k=rsa; p={key}"))
        records.append(txt("e1._domainkey.good.test",
                           f"v=DKIM1; k=ed25519; p={self.keys['ed25519'][1]}"))
        for domain in ("good", "nospf", "norelay", "badkey", "reject"):
            records.append(txt(f"_dmarc.{domain}.test", "v=DMARC1; p=reject"))
        log = open(self.folder / "dnsmasq.log", "w")
        self.addCleanup(log.close)
        dnsmasq = subprocess.Popen(
            [DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--pid-file=",
             f"--listen-address={DNS_ADDRESS}", "--bind-interfaces", f"--port={self.dns_port}",
             "--no-resolv", "--no-hosts", "--local=/test/", "--local=/in-addr.arpa/", *records],
            stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(dnsmasq.wait, 20)
        self.addCleanup(dnsmasq.terminate)
        self.assertTrue(eventually(lambda: answers(self.dns_port), READY_SECONDS),
                        (self.folder / "dnsmasq.log").read_text())
        self.smtp_port = free_port()
        self.mailbox = Mailbox()
        for host in (RELAY, BARE):
            controller = Controller(self.mailbox, hostname=host, port=self.smtp_port)
            controller.start()
            self.addCleanup(controller.stop)

    def make_key(self, name, algorithm=("-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048")):
        """A key file (mode 0600) and its public key as DNS publishes it: the whole
        SubjectPublicKeyInfo of an RSA key, the 32 bytes of an Ed25519 key."""
        path = self.folder / f"{name}.pem"
        subprocess.run(["openssl", "genpkey", *algorithm, "-out", str(path)], check=True,
                       capture_output=True)
        path.chmod(0o600)
        public = subprocess.run(["openssl", "pkey", "-in", str(path), "-pubout", "-outform", "DER"],
                                check=True, capture_output=True).stdout
        if "ED25519" in algorithm:
            public = public[-32:]
        return path, base64.b64encode(public).decode()

    def doctor(self, domain, relay="relay.test", dkim_domain=None, reply_to="1", send_to=None,
               port=None, extra=""):
        settings = self.folder / "V.ini"
        settings.write_text(
            f"[Velloc]\nSMTP={relay}:{port or self.smtp_port}\nDEFAULTSENDER=forms@{domain}\n"
            f"VisitorReplyTo={reply_to}\nDkimDomain={dkim_domain or domain}\nDkimSelector=s1\n"
            f"DkimKeyFile={self.keys['site'][0]}\nDnsServer={DNS_ADDRESS}:{self.dns_port}\n"
            + extra)
        command = [VELLOC_BINARY, "doctor", "--settings", str(settings), "--json"]
        if send_to:
            command += ["--send-to", send_to]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
        self.assertEqual("", result.stderr)
        verdicts = json.loads(result.stdout)
        return result.returncode, verdicts

    def test_verdicts_of_each_zone(self):
        for name, domain, relay, dkim_domain, failed in (
                ("correct", "good.test", "relay.test", "", set()),
                ("no SPF", "nospf.test", "relay.test", "", {"spf"}),
                ("SPF without the relay", "norelay.test", "relay.test", "", {"spf"}),
                ("wrong DKIM key", "badkey.test", "relay.test", "", {"dkim"}),
                ("DMARC p=reject without alignment", "reject.test", "relay.test", "signer.test",
                 {"spf", "dmarc"}),
                ("no PTR", "good.test", "bare.test", "", {"ptr"})):
            with self.subTest(name):
                status, verdicts = self.doctor(domain, relay, dkim_domain)
                statuses = {v["check"]: v["status"] for v in verdicts}
                self.assertEqual(["sender", "relay", "starttls", "auth", "spf", "dkim", "dmarc",
                                  "ptr"], [v["check"] for v in verdicts])
                self.assertEqual(failed, {c for c, s in statuses.items() if s == "fail"},
                                 verdicts)
                self.assertEqual(1 if failed else 0, status)
                self.assertEqual("warn", statuses["starttls"])  # the server offers no STARTTLS
        ed25519 = f"DkimSelectorEd25519=e1\nDkimKeyFileEd25519={self.keys['ed25519'][0]}\n"
        _, verdicts = self.doctor("good.test", extra=ed25519)
        self.assertEqual([("dkim", "pass")] * 2,
                         [(v["check"], v["status"]) for v in verdicts if v["check"] == "dkim"],
                         verdicts)
        _, verdicts = self.doctor("reject.test", dkim_domain="signer.test")
        self.assertIn("Outlook and Gmail will reject: neither SPF nor DKIM aligns with From: "
                      "reject.test", verdicts[6]["reason"])

    def test_test_mail_and_the_sender_warning(self):
        status, verdicts = self.doctor("good.test", reply_to="0", send_to="owner@good.test")
        self.assertEqual(0, status, verdicts)
        self.assertEqual(("sender", "warn"), (verdicts[0]["check"], verdicts[0]["status"]))
        self.assertIn("set VisitorReplyTo=1", verdicts[0]["reason"])
        self.assertEqual(("send", "pass"), (verdicts[-1]["check"], verdicts[-1]["status"]))
        self.assertEqual(1, len(self.mailbox.messages))
        mail = self.mailbox.messages[0]
        self.assertEqual(("forms@good.test", ["owner@good.test"]),
                         (mail.mail_from, mail.rcpt_tos))
        message_id = verdicts[-1]["reason"].split()[1]
        self.assertIn(f"Message-ID: {message_id}\r\n", mail.content.decode())
        # Signed as the site's mail is.
        self.assertTrue(mail.content.startswith(b"DKIM-Signature: v=1; a=rsa-sha256; "
                                                b"c=relaxed/relaxed; d=good.test; s=s1;"),
                        mail.content[:120])
        self.assertTrue(verdicts[-1]["reason"].endswith(": 250 2.0.0 kept"), verdicts[-1])

    def test_starttls_and_login(self):
        make_certificates(self.folder)

        def check_password(server, session, envelope, mechanism, auth_data):
            return AuthResult(success=auth_data.password == b"right", handled=False)

        login = (f"SMTP_TLS=starttls\nSMTP_CA_FILE={self.folder}/ca.pem\nSMTP_USER=forms\n"
                 "SMTP_PASSWORD=")
        for certificate, password, expected in (
                ("server", "right", {"starttls": "pass", "auth": "pass"}),
                ("server", "wrong", {"starttls": "pass", "auth": "fail"}),
                ("wrong", "right", {"starttls": "fail"})):
            with self.subTest(certificate=certificate, password=password):
                context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
                context.load_cert_chain(self.folder / f"{certificate}.pem",
                                        self.folder / f"{certificate}.key")
                controller = Controller(Mailbox(), hostname="127.0.0.1", port=free_port(),
                                        tls_context=context, require_starttls=True,
                                        auth_required=True, authenticator=check_password)
                controller.start()
                self.addCleanup(controller.stop)
                _, verdicts = self.doctor("good.test", "127.0.0.1", port=controller.port,
                                          extra=login + password + "\n")
                statuses = {v["check"]: v["status"] for v in verdicts
                            if v["check"] in ("starttls", "auth")}
                self.assertEqual(expected, statuses, verdicts)


if __name__ == "__main__":
    unittest.main()
