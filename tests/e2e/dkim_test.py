#!/usr/bin/python3
"""DKIM signatures made by velloc, checked by real verifiers: Python's dkim package
(the public keys served by the test, no DNS) and Postfix with the opendkim milter in
verify mode (its Authentication-Results). One table of messages; one of keys that
must be refused; the receipt limit and the one-click unsubscribe lines."""
import base64
import email
import email.policy
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import dkim

sys.path.insert(0, os.path.join(os.environ.get("SOURCE_DIR", "."), "tools"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mail_sink  # noqa: E402
from cgi_process import run_velloc, write_settings  # noqa: E402
from harness import free_port  # noqa: E402
from smtp_tls_test import postfix_master_cf  # noqa: E402
from system_support import eventually, listening, odbc_environment  # noqa: E402

PGP_DIRECTORY = os.path.dirname(os.environ["PGP_ADAPTER_BINARY"]) + "/"
WAIT_SECONDS = 30
DOMAIN = "site.test"
FAILED = b"Form Was Not Processed"

# The messages each verifier must pass: (name, fields, settings, template text).
MATRIX = [
    ("8-bit text", {"NAME": "J\u00f6rg Gr\u00fc\u00dfe", "SUBJECT": "Gr\u00fc\u00dfe aus K\u00f6ln"},
     {"CHARSET": "UTF-8"}, None),
    ("quoted-printable", {"MESSAGE": "x" * 1200 + "\n.dot line\n=equals"}, {}, None),
    ("attachment", {"TEMPLATE_MAIL": "mail.txt"}, {}, "Hello\n.\n*{attachment}*Bye\n"),
    ("long folded headers",
     {"RECIPIENT": ", ".join(f"person{n}@example.test" for n in range(40)),
      "SUBJECT": "long " * 60}, {"AllowedRecipients": "@example.test"}, None),
    ("encrypted", {"PGP_TARGET": "owner@example.test", "MESSAGE": "secret"}, {}, None),
    ("archived, larger than a row", {"TEMPLATE_MAIL": "mail.txt"}, {"Archive": "1"},
     "Big\n*{big}*\n"),
    ("receipt with List-Unsubscribe", {"DO_RECEIPT": "1", "RECEIPT_FROM": f"forms@{DOMAIN}"},
     {"ReceiptUnsubscribeURL": "https://site.test/unsubscribe?to=%EMAIL%"}, None),
]

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
virtual_mailbox_domains = example.test
virtual_mailbox_base = {dir}/mail
virtual_mailbox_maps = static:owner/
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
alias_maps =
alias_database =
maillog_file = {dir}/maillog
maillog_file_prefixes = {dir}
smtputf8_enable = no
smtpd_milters = inet:127.0.0.1:{milter}
milter_default_action = tempfail
"""

OPENDKIM_CONF = """Mode v
Syslog no
Socket inet:{milter}@127.0.0.1
InternalHosts csl:192.0.2.1
AuthservID mx.test
TestPublicKeys {dir}/keys.txt
UserID {user}
"""


def make_keys(folder):
    """An RSA 2048 key as opendkim-genkey writes it (PKCS#1), an Ed25519 key as openssl
    genpkey does (PKCS#8), both mode 0600, and their DNS records."""
    rsa, ed = folder / "mail.private", folder / "ed25519.pem"
    subprocess.run(["opendkim-genkey", "-b", "2048", "-d", DOMAIN, "-s", "mail", "-D", folder],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", ed], check=True,
                   capture_output=True)
    records = {}
    for selector, path, kind in (("mail", rsa, "rsa"), ("mail-ed", ed, "ed25519")):
        os.chmod(path, 0o600)
        der = subprocess.run(["openssl", "pkey", "-in", path, "-pubout", "-outform", "DER"],
                             check=True, capture_output=True).stdout
        key = der[-32:] if kind == "ed25519" else der
        records[f"{selector}._domainkey.{DOMAIN}"] = \
            f"v=DKIM1; k={kind}; p={base64.b64encode(key).decode()}"
    return rsa, ed, records


def without_envelope(raw):
    """The message as velloc sent it: the sink's two envelope lines dropped."""
    lines = raw.split(b"\r\n")
    while lines and lines[0].startswith(b"X-Envelope-"):
        lines.pop(0)
    return b"\r\n".join(lines)


class DkimTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="velloc-dkim-"))
        os.chmod(self.dir, 0o755)
        self.site = self.dir / "site"
        self.mails = self.dir / "mails"
        (self.site / "templates").mkdir(parents=True)
        (self.site / "work").mkdir()
        self.rsa, self.ed, self.records = make_keys(self.dir)
        self.sink = mail_sink.start_sink(str(self.mails))
        self.env = dict(odbc_environment(self.dir / "odbc", {}), GNUPGHOME=str(self.dir / "gnupg"))
        attachment, big = self.dir / "data.bin", self.dir / "big.bin"
        attachment.write_bytes(os.urandom(50 * 1024) + b"\r\n.\r\n")
        big.write_bytes(os.urandom(400 * 1024))
        self.files = {"attachment": attachment, "big": big}

    def tearDown(self):
        self.sink.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def settings(self, port, extra=None):
        values = {"SMTP": f"127.0.0.1:{port}", "TEMP": f"{self.site}/work/",
                  "LOGFILE": f"{self.site}/velloc.log", "LOG_LEVEL": "1",
                  "TEMPLATE_DIR": f"{self.site}/templates/", "PGP_Path": PGP_DIRECTORY,
                  "DEFAULTSENDER": f"forms@{DOMAIN}", "VisitorReplyTo": "1",
                  "AllowedRecipients": "@example.test", "DkimDomain": DOMAIN,
                  "DkimSelector": "mail", "DkimKeyFile": self.rsa,
                  "DkimSelectorEd25519": "mail-ed", "DkimKeyFileEd25519": self.ed}
        values.update(extra or {})
        write_settings(self.site, {k: v for k, v in values.items() if v is not None})

    def log(self):
        path = self.site / "velloc.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def make_gpg_key(self):
        home = self.dir / "gnupg"
        if not home.exists():
            home.mkdir(mode=0o700)
            subprocess.run(["gpg", "--batch", "--passphrase", "", "--quick-gen-key",
                            "Owner <owner@example.test>", "future-default", "default", "never"],
                           env=dict(os.environ, GNUPGHOME=str(home)), check=True,
                           capture_output=True, timeout=60)

    def submit_row(self, port, fields, settings, template):
        if "PGP_TARGET" in fields:
            self.make_gpg_key()
        if template:
            (self.site / "templates" / "mail.txt").write_text(
                template.format(**{k: str(v) for k, v in self.files.items()}))
        self.settings(port, settings)
        fields = dict({"EMAIL": "visitor@example.test", "RECIPIENT": "owner@example.test",
                       "SUBJECT": "Signed"}, **fields)
        status, out, err = run_velloc(self.site, fields, self.env)
        self.assertNotIn(FAILED, out, self.log())

    def sunk(self, count):
        names = lambda: sorted(n for n in os.listdir(self.mails) if n.endswith(".eml"))
        self.assertTrue(eventually(lambda: len(names()) >= count, WAIT_SECONDS), self.log())
        return [without_envelope((self.mails / n).read_bytes()) for n in names()]

    def dns(self, name, timeout=5):
        name = name.decode() if isinstance(name, bytes) else name
        return self.records.get(name.rstrip("."), "").encode()

    def test_python_dkim_verifies_every_row(self):
        seen = 0
        for name, fields, settings, template in MATRIX:
            with self.subTest(name):
                self.submit_row(self.sink.port, fields, settings, template)
                mails = self.sunk(seen + 1)
                for raw in mails[seen:]:
                    for index in (0, 1):
                        self.assertTrue(dkim.DKIM(raw).verify(idx=index, dnsfunc=self.dns),
                                        f"{name}, signature {index}")
                seen = len(mails)
                message = email.message_from_bytes(mails[-1], policy=email.policy.default)
                signatures = message.get_all("DKIM-Signature")
                self.assertEqual(2, len(signatures))
                self.assertIn("a=rsa-sha256; c=relaxed/relaxed; d=site.test; s=mail;",
                              " ".join(signatures[0].split()))
                self.assertIn("a=ed25519-sha256", signatures[1])
                if "ReceiptUnsubscribeURL" in settings:
                    self.assertEqual("<https://site.test/unsubscribe?to=visitor%40example.test>",
                                     message["List-Unsubscribe"])
                    self.assertEqual("List-Unsubscribe=One-Click",
                                     message["List-Unsubscribe-Post"])
                    self.assertIn("List-Unsubscribe:List-Unsubscribe-Post",
                                  "".join(signatures[0].split()))

    def test_postfix_with_opendkim_passes_every_row(self):
        if os.geteuid() != 0 or not Path("/usr/sbin/postfix").exists() or \
                not Path("/usr/sbin/opendkim").exists():
            self.skipTest("needs root, postfix and opendkim")
        port = self.start_postfix()
        new = self.dir / "postfix/mail/owner/new"
        expected = 0
        for name, fields, settings, template in MATRIX:
            with self.subTest(name):
                fields = dict(fields, EMAIL="owner@example.test")
                self.submit_row(port, fields, settings, template)
                expected += fields.get("RECIPIENT", "x").count("@") or 1
                expected += 1 if "DO_RECEIPT" in fields else 0
                self.assertTrue(eventually(lambda: new.exists() and
                                           len(list(new.iterdir())) >= expected, WAIT_SECONDS),
                                self.log() + self.maillog())
        for path in sorted(new.iterdir()):
            message = email.message_from_bytes(path.read_bytes(), policy=email.policy.default)
            results = " ".join(str(h) for h in message.get_all("Authentication-Results", []))
            for signature in ("header.a=rsa-sha256 header.s=mail ",
                              "header.a=ed25519-sha256 header.s=mail-ed "):
                self.assertRegex(results, "dkim=pass[^;]* " + signature, message["Subject"])
            self.assertNotIn("dkim=fail", results)
        self.assertEqual(expected, len(list(new.iterdir())))

    def start_postfix(self):
        account = pwd.getpwnam("postfix")
        root = self.dir / "postfix"
        for name in ("etc", "queue", "data", "mail"):
            (root / name).mkdir(parents=True)
        for name in ("data", "mail"):
            os.chown(root / name, account.pw_uid, account.pw_gid)
        port, milter = free_port(), free_port()
        (root / "etc/main.cf").write_text(POSTFIX_MAIN_CF.format(
            dir=root, uid=account.pw_uid, gid=account.pw_gid, milter=milter))
        (root / "etc/master.cf").write_text(postfix_master_cf(port))
        (root / "keys.txt").write_text("".join(f"{n} {v}\n" for n, v in self.records.items()))
        (root / "opendkim.conf").write_text(OPENDKIM_CONF.format(dir=root, milter=milter,
                                                                 user="postfix"))
        self.opendkim = subprocess.Popen(["/usr/sbin/opendkim", "-f", "-x",
                                          str(root / "opendkim.conf")],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.opendkim.kill)
        self.assertTrue(eventually(lambda: listening(milter), WAIT_SECONDS))
        postfix = ["/usr/sbin/postfix", "-c", str(root / "etc")]
        subprocess.run(postfix + ["start"], capture_output=True, timeout=60, check=False)
        self.addCleanup(subprocess.run, postfix + ["stop"], capture_output=True, timeout=60)
        self.assertTrue(eventually(lambda: listening(port), WAIT_SECONDS), self.maillog())
        return port

    def maillog(self):
        path = self.dir / "postfix/maillog"
        return path.read_text(errors="replace") if path.exists() else ""

    def test_a_key_that_cannot_be_used_sends_nothing(self):
        weak = self.dir / "weak.pem"
        subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                        "rsa_keygen_bits:1024", "-out", weak], check=True, capture_output=True)
        os.chmod(weak, 0o600)
        shared = self.dir / "shared.pem"
        shutil.copy(self.rsa, shared)
        os.chmod(shared, 0o644)
        foreign = self.dir / "foreign.pem"
        shutil.copy(self.rsa, foreign)
        os.chown(foreign, 65534, 65534)
        refused = [
            ({"DkimKeyFile": weak}, f"the RSA key in {weak} has 1024 bits; at least 2048"),
            ({"DkimKeyFile": shared}, f"the DKIM key file {shared} may be read or changed by "
                                      "others (mode 0644): make it 0600 or 0400"),
            ({"DkimKeyFile": foreign}, f"the DKIM key file {foreign} belongs to user 65534"),
            ({"DkimKeyFile": self.ed}, f"the DKIM key file {self.ed} holds no RSA key"),
            ({"DkimKeyFile": self.dir / "none.pem"}, "cannot be opened: No such file"),
            ({"DkimSelector": None}, "DkimDomain, DkimSelector and DkimKeyFile must all be set"),
            ({"DkimKeyFileEd25519": self.rsa}, "holds no Ed25519 key"),
        ]
        for settings, reason in refused:
            with self.subTest(reason):
                for fields in ({}, {"Archive": "1"}):
                    self.settings(self.sink.port, dict(settings, **fields))
                    status, out, err = run_velloc(self.site, {
                        "EMAIL": "visitor@example.test", "RECIPIENT": "owner@example.test"},
                        self.env)
                    self.assertIn(FAILED, out)
                    self.assertRegex(self.log(), "DKIM signing failed: .*" + re.escape(reason))
                    self.assertEqual([], [n for n in os.listdir(self.mails)])

    def test_an_archived_mail_is_sent_later_with_the_bytes_signed_once(self):
        down = free_port()
        self.settings(down, {"Archive": "1"})
        status, out, err = run_velloc(self.site, {
            "EMAIL": "visitor@example.test", "RECIPIENT": "owner@example.test"}, self.env)
        self.assertNotIn(FAILED, out, self.log())
        self.assertIn("Mail queued for a later delivery (form_mail)", self.log())
        # The key can no longer be used: the later delivery must not need it.
        os.chmod(self.rsa, 0o644)
        sink = mail_sink.start_sink(str(self.dir / "later"), down)
        self.addCleanup(sink.stop)
        later = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 7200))
        result = subprocess.run([os.environ["VELLOC_BINARY"], "--deliver", "--now", later,
                                 "--settings", str(self.site / "VELLOC.ini")],
                                env=dict(self.env, PATH="/usr/bin:/bin"), capture_output=True,
                                text=True, timeout=120)
        self.assertIn(" form_mail delivered", result.stdout, result.stderr + self.log())
        (path,) = (self.dir / "later").glob("*.eml")
        raw = without_envelope(path.read_bytes())
        for index in (0, 1):
            self.assertTrue(dkim.DKIM(raw).verify(idx=index, dnsfunc=self.dns))

    def test_a_queued_mail_waits_for_a_key_that_can_be_used(self):
        os.chmod(self.rsa, 0o644)
        self.settings(self.sink.port, {"Archive": "1", "Delivery": "queue"})
        status, out, err = run_velloc(self.site, {
            "EMAIL": "visitor@example.test", "RECIPIENT": "owner@example.test"}, self.env)
        self.assertNotIn(FAILED, out, self.log())
        self.assertIn("The mail is kept, to be signed when it is sent.", self.log())
        env = dict(self.env, PATH="/usr/bin:/bin")
        # The attempt that cannot sign is a temporary failure: the next one, hours on, signs.
        for hours, mode, delivered in ((1, 0o644, False), (12, 0o600, True)):
            os.chmod(self.rsa, mode)
            now = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + hours * 3600))
            result = subprocess.run([os.environ["VELLOC_BINARY"], "--deliver", "--now", now,
                                     "--settings", str(self.site / "VELLOC.ini")],
                                    env=env, capture_output=True, text=True, timeout=120)
            self.assertEqual(delivered, " form_mail delivered" in result.stdout,
                             result.stdout + result.stderr)
        (path,) = list(self.mails.glob("*.eml"))
        raw = without_envelope(path.read_bytes())
        for index in (0, 1):
            self.assertTrue(dkim.DKIM(raw).verify(idx=index, dnsfunc=self.dns))

    def test_receipts_per_address_in_the_state_store(self):
        self.settings(self.sink.port, {"ReceiptsPerAddress": "2", "DkimDomain": None,
                                       "DkimSelector": None, "DkimKeyFile": None,
                                       "DkimSelectorEd25519": None, "DkimKeyFileEd25519": None})
        for email_field in ("Jo@Example.test", "jo@example.TEST", "jo@example.test",
                            "other@example.test"):
            status, out, err = run_velloc(self.site, {
                "EMAIL": email_field, "RECIPIENT": "owner@example.test", "DO_RECEIPT": "1",
                "RECEIPT_FROM": f"forms@{DOMAIN}"}, self.env)
            self.assertNotIn(FAILED, out, self.log())
        mails = [email.message_from_bytes(m) for m in self.sunk(7)]
        receipts = sorted(m["To"] for m in mails if m["To"] != "owner@example.test")
        self.assertEqual(["Jo@Example.test", "jo@example.TEST", "other@example.test"], receipts)
        self.assertIn("Receipt to jo@example.test skipped: ReceiptsPerAddress=2 reached",
                      self.log())
        self.assertEqual(7, len(os.listdir(self.mails)))


if __name__ == "__main__":
    unittest.main()
