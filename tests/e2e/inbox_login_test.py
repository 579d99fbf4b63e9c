"""The inbox behind the web server's login, configured exactly as the README's
"The inbox" section shows it: lighttpd's mod_auth in front of velloc as a CGI program
and persistent, and nginx's auth_basic in front of `velloc --fastcgi`. Only the demo
user with the right password reaches the inbox and sees the submission just made;
the form handler's own address still takes posts without any login."""

import base64
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
from pathlib import Path

from harness import SOURCE_DIR, Site, free_port
from system_support import odbc_environment

SCRIPT = "/cgi-bin/VLPro/velloc"
USER, PASSWORD = "owner", "s3cret inbox"
# The names the README's snippets use for what the test puts elsewhere.
README_PASSWORD_FILE = "/etc/velloc/inbox.htpasswd"
README_SOCKET = "/run/velloc/velloc.sock"
# Each web server and how velloc runs behind it, with the README section that
# configures its login.
WAYS = (("cgi", "lighttpd (mod_auth)"), ("fastcgi", "lighttpd (mod_auth)"),
        ("nginx", "nginx (auth_basic)"))


def readme_snippet(heading):
    """The first indented block under `### heading` of the README's inbox section."""
    text = (SOURCE_DIR / "README.md").read_text()
    section = text.split("## The inbox", 1)[1].split("\n## ", 1)[0]
    part = section.split(f"### {heading}\n", 1)[1].split("\n### ", 1)[0]
    block = re.search(r"\n\n((?:    .*\n|\n)+)", part)[1]
    return "\n".join(line[4:] for line in block.splitlines()) + "\n"


def basic(user, password):
    return {"Authorization": "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()}


@unittest.skipUnless(shutil.which("htpasswd"), "htpasswd (apache2-utils) is not installed")
class InboxLoginTest(unittest.TestCase):
    def setUp(self):
        self.scratch = Path(tempfile.mkdtemp(prefix="velloc-inbox-login-"))
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        self.odbc = odbc_environment(self.scratch / "odbc", {})
        self.passwords = self.scratch / "inbox.htpasswd"
        # bcrypt, as the README makes it: lighttpd and nginx read the same file.
        hashed = subprocess.run(["htpasswd", "-nbB", USER, PASSWORD], check=True,
                                capture_output=True, text=True, timeout=60).stdout
        self.passwords.write_text(hashed)

    def site(self, mode, heading):
        config = readme_snippet(heading).replace(README_PASSWORD_FILE, str(self.passwords))
        site = Site(mode=mode, installed=True, cgi_env=self.odbc, settings={
            "Archive": "1", "Inbox": "1", "InboxUsers": USER, "InboxSecret": "0123456789abcdef",
            "SMTP": f"127.0.0.1:{free_port()}", "AllowedRecipients": "owner@example.com"})
        # nginx runs with a prefix of its own, not Debian's /etc/nginx.
        config = config.replace("include fastcgi_params;", "include /etc/nginx/fastcgi_params;")
        site._server_config = config.replace(README_SOCKET, str(site.socket_path))
        return site

    def test_only_the_listed_user_with_the_password_reaches_the_inbox(self):
        inbox = SCRIPT + "/inbox?" + urllib.parse.urlencode({"q": "Zoe Login"})
        for mode, heading in WAYS:
            with self.subTest(mode), self.site(mode, heading) as site:
                # Visitors post without any login.
                status, _, _ = site.post(SCRIPT, [("name", "Zoe Login"),
                                                  ("RECIPIENT", "owner@example.com")])
                self.assertEqual(200, status, site.log)
                for case, headers, expected in (
                        ("no login", {}, 401), ("wrong password", basic(USER, "wrong"), 401),
                        ("unknown user", basic("nobody", PASSWORD), 401),
                        ("the user", basic(USER, PASSWORD), 200)):
                    status, _, body = site.get(inbox, headers)
                    self.assertEqual(expected, status, (case, body[:300], site.log[-1500:]))
                    self.assertEqual(expected == 200, b"Zoe Login" in body, case)
                self.assertEqual(1, body.count(b'<tr class="submission">'), body)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
