#!/usr/bin/python3
"""End-to-end mail delivery: velloc run as a CGI script sends to a real SMTP server
(aiosmtpd) on loopback; the stored messages are parsed by real MIME parsers (the
email package and munpack), and encrypted bodies are decrypted with a throwaway
GnuPG key."""
import email
import email.policy
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.environ.get("SOURCE_DIR", "."), "tools"))
import mail_sink  # noqa: E402
from harness import free_port  # noqa: E402

VELLOC = os.environ["VELLOC_BINARY"]
PGP_DIRECTORY = os.path.dirname(os.environ["PGP_ADAPTER_BINARY"]) + "/"
WAIT_SECONDS = 15


class MailInteropTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velloc-e2e-")
        self.mails = os.path.join(self.dir, "mails")
        self.work = os.path.join(self.dir, "work")
        os.makedirs(self.work)
        os.makedirs(os.path.join(self.dir, "templates"))
        self.sink = mail_sink.start_sink(self.mails)
        with open(os.path.join(self.dir, "VELLOC.ini"), "w") as ini:
            ini.write("[Velloc]\n"
                      f"SMTP=127.0.0.1:{self.sink.port}\n"
                      f"TEMP={self.work}/\n"
                      f"LOGFILE={self.dir}/velloc.log\n"
                      "LOG_LEVEL=15\n"
                      f"TEMPLATE_DIR={self.dir}/templates/\n"
                      f"PGP_Path={PGP_DIRECTORY}\n"
                      "AllowedRecipients=@x.test\n")
        self.environment = {"PATH": "/usr/bin:/bin"}

    def tearDown(self):
        self.sink.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def post(self, fields, content_type="application/x-www-form-urlencoded", body=None):
        if body is None:
            body = urllib.parse.urlencode(fields).encode()
        environment = dict(self.environment, REQUEST_METHOD="POST", GATEWAY_INTERFACE="CGI/1.1",
                           CONTENT_LENGTH=str(len(body)), CONTENT_TYPE=content_type)
        result = subprocess.run([VELLOC], input=body, env=environment, cwd=self.dir,
                                capture_output=True, timeout=60)
        return result.stdout.decode("latin-1")

    def post_multipart(self, fields, files):
        """Posts `fields` and `files` ((field, file name, bytes) each) as a browser does."""
        boundary = "----velloc" + os.urandom(8).hex()
        body = b""
        for name, value in fields.items():
            body += (f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n'
                     f"{value}\r\n").encode()
        for name, filename, data in files:
            body += (f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"; '
                     f'filename="{filename}"\r\nContent-Type: application/octet-stream\r\n\r\n'
                     ).encode() + data + b"\r\n"
        body += f"--{boundary}--\r\n".encode()
        return self.post(None, f"multipart/form-data; boundary={boundary}", body)

    def received(self, count=1):
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            names = sorted(n for n in os.listdir(self.mails) if n.endswith(".eml"))
            if len(names) >= count:
                return [os.path.join(self.mails, n) for n in names]
            time.sleep(0.02)
        self.fail(f"expected {count} mail(s); log:\n{self.log()}")

    def log(self):
        try:
            with open(os.path.join(self.dir, "velloc.log"), errors="replace") as log:
                return log.read()
        except OSError:
            return ""

    @staticmethod
    def parse(path):
        with open(path, "rb") as mail:
            return email.message_from_binary_file(mail, policy=email.policy.default)

    def test_attachment_survives_a_real_mime_parser(self):
        original = os.urandom(300 * 1024 + 7)
        attachment = os.path.join(self.dir, "data.bin")
        with open(attachment, "wb") as out:
            out.write(original)
        with open(os.path.join(self.dir, "templates", "mail.txt"), "w") as template:
            template.write(f"Hello\n.\n.dot line\n\n*{attachment}*Bye\n")
        page = self.post({"EMAIL": "jo@x.test", "RECIPIENT": "owner@x.test, boss@x.test",
                          "SUBJECT": "Interop", "TEMPLATE_MAIL": "mail.txt"})
        self.assertNotIn("Form Was Not Processed", page)
        (path,) = self.received()
        message = self.parse(path)
        with open(path, "rb") as stored:
            self.assertEqual(b"X-Envelope-From: jo@x.test\r\n", stored.readline())
        self.assertEqual("owner@x.test, boss@x.test", message["To"])
        self.assertEqual("Interop", message["Subject"])
        self.assertEqual("multipart/mixed", message.get_content_type())
        body, part = list(message.iter_parts())
        self.assertEqual("Hello\n.\n.dot line\n\nBye\n\n", body.get_content())
        self.assertEqual("data.bin", part.get_filename())
        self.assertEqual(original, part.get_payload(decode=True))
        unpacked = os.path.join(self.dir, "unpacked")
        os.makedirs(unpacked)
        subprocess.run(["munpack", "-q", "-C", unpacked, path], check=True, capture_output=True)
        with open(os.path.join(unpacked, "data.bin"), "rb") as unpacked_file:
            self.assertEqual(original, unpacked_file.read())
        self.assertEqual([], os.listdir(self.work))

    def make_key(self):
        home = os.path.join(self.dir, "gnupg")
        os.makedirs(home, mode=0o700)
        self.environment["GNUPGHOME"] = home
        subprocess.run(["gpg", "--batch", "--passphrase", "", "--quick-gen-key",
                        "Form Owner <owner@x.test>", "future-default", "default", "never"],
                       env=self.environment, check=True, capture_output=True, timeout=60)

    def body_of(self, path):
        return list(self.parse(path).iter_parts())[0].get_content()

    def test_encrypted_body_decrypts_to_the_plain_body(self):
        self.make_key()
        fields = {"EMAIL": "jo@x.test", "RECIPIENT": "owner@x.test", "SUBJECT": "Secret",
                  "NAME": "Jo Doe", "MESSAGE": "line one"}
        self.post(fields)
        page = self.post(dict(fields, PGP_TARGET="owner@x.test"))
        self.assertNotIn("Form Was Not Processed", page, self.log())
        plain_path, encrypted_path = self.received(2)
        armoured = self.body_of(encrypted_path)
        self.assertTrue(armoured.startswith("-----BEGIN PGP MESSAGE-----"), armoured)
        decrypted = subprocess.run(["gpg", "--batch", "--decrypt"], input=armoured.encode(),
                                   env=self.environment, check=True, capture_output=True).stdout
        normalise = lambda text: text.replace("\r\n", "\n").rstrip("\n")
        listing = normalise(decrypted.decode()).replace("PGP_TARGET:  owner@x.test\n", "")
        self.assertEqual(normalise(self.body_of(plain_path)), listing)
        self.assertIn("NAME:  Jo Doe", decrypted.decode())
        self.assertEqual([], os.listdir(self.work))

    def test_target_never_reaches_a_shell(self):
        page = self.post({"EMAIL": "jo@x.test", "RECIPIENT": "owner@x.test",
                          "PGP_TARGET": "x; touch pwned"})
        self.assertIn("Form Was Not Processed", page)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "pwned")))
        self.assertFalse(os.path.exists(os.path.join(PGP_DIRECTORY, "pwned")))
        self.assertEqual([], os.listdir(self.mails))
        self.assertEqual([], os.listdir(self.work))

    def test_uploads_follow_the_template_attachment(self):
        template_file = os.path.join(self.dir, "guide.txt")
        with open(template_file, "w") as out:
            out.write("brewing guide\n")
        with open(os.path.join(self.dir, "templates", "mail.txt"), "w") as template:
            template.write(f"Photo: %PHOTO%\n*{template_file}*")
        photo = os.urandom(70 * 1024) + b"\r\n\r\r\n--"
        page = self.post_multipart(
            {"EMAIL": "jo@x.test", "RECIPIENT": "owner@x.test", "SUBJECT": "Files",
             "TEMPLATE_MAIL": "mail.txt", "DO_RECEIPT": "1", "RECEIPT_FROM": "shop@x.test"},
            [("cv", "C:\\Users\\jo\\Lebenslauf \u00e9t\u00e9.pdf", b"%PDF-1.4 cv"),
             ("photo", "me.png", photo)])
        self.assertNotIn("Form Was Not Processed", page, self.log())
        mails = [self.parse(path) for path in self.received(2)]
        form_mail = next(m for m in mails if m["To"] == "owner@x.test")
        receipt = next(m for m in mails if m["To"] == "jo@x.test")
        body, guide, cv, png = form_mail.iter_parts()
        self.assertTrue(body.get_content().startswith("Photo: me.png\n"))
        self.assertEqual(("guide.txt", "application/octet-stream"),
                         (guide.get_filename(), guide.get_content_type()))
        self.assertEqual(("Lebenslauf \u00e9t\u00e9.pdf", "application/pdf", b"%PDF-1.4 cv"),
                         (cv.get_filename(), cv.get_content_type(), cv.get_payload(decode=True)))
        self.assertEqual(("me.png", "image/png", photo),
                         (png.get_filename(), png.get_content_type(), png.get_payload(decode=True)))
        self.assertEqual(1, len(list(receipt.iter_parts())))
        self.assertEqual([], os.listdir(self.work))

    def test_encrypted_uploads_decrypt_to_their_bytes(self):
        self.make_key()
        data = bytes(range(256)) * 40 + b"\r\n\r"
        page = self.post_multipart({"EMAIL": "jo@x.test", "RECIPIENT": "owner@x.test",
                                    "PGP_TARGET": "owner@x.test"}, [("f", "scan.bin", data)])
        self.assertNotIn("Form Was Not Processed", page, self.log())
        (path,) = self.received()
        body, part = self.parse(path).iter_parts()
        self.assertTrue(body.get_content().startswith("-----BEGIN PGP MESSAGE-----"))
        self.assertEqual("scan.bin.asc", part.get_filename())
        decrypted = subprocess.run(["gpg", "--batch", "--decrypt"],
                                   input=part.get_payload(decode=True), env=self.environment,
                                   check=True, capture_output=True).stdout
        self.assertEqual(data, decrypted)
        self.assertEqual([], os.listdir(self.work))

    def test_refused_and_malformed_uploads_leave_nothing(self):
        fields = {"EMAIL": "jo@x.test", "RECIPIENT": "owner@x.test"}
        page = self.post_multipart(fields, [("f", "a.txt", b"ok"), ("g", "<b>.exe", b"MZ")])
        self.assertIn("File Not Accepted: b.exe", page)
        self.assertIn("Velloc Failed: File Not Accepted: b.exe (looks like a program)", self.log())
        page = self.post(None, "multipart/form-data; boundary=x",
                         b'--x\r\nContent-Disposition: form-data; name="f"; filename="a"\r\n\r\n'
                         + b"data without an end")
        self.assertIn("CGI Initialization Error", page)
        settings = os.path.join(self.dir, "VELLOC.ini")
        with open(settings) as ini:
            text = ini.read().replace(f"SMTP=127.0.0.1:{self.sink.port}",
                                      f"SMTP=127.0.0.1:{free_port()}")
        with open(settings, "w") as ini:
            ini.write(text)
        page = self.post_multipart(fields, [("f", "a.txt", b"ok")])
        self.assertIn("Error Sending Email!", page)
        self.assertEqual([], os.listdir(self.mails))
        self.assertEqual([], os.listdir(self.work))


if __name__ == "__main__":
    unittest.main(verbosity=2)
