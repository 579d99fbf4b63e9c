"""The distribution folder (dist/ of the build) as an administrator takes it to a
server: a copy of it installs unattended into fresh folders and leaves the programs,
the README, the settings file, the template tree and the sample pages. The installed
velloc, started as a web server starts a CGI script (in its own folder, with nothing
but the installer's settings), answers the installed forms and mails through the
server the installer was told. A second installation over the first refuses with
--existing stop and, with --existing continue, keeps the settings file, adding only the
answers it lacks. An upgrade under load through nginx replaces the program while the
persistent velloc serves and has it run the new one without a failed request."""

import email
import email.policy
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
from pathlib import Path

from altcha_solver import minted
from cgi_process import cgi_environment
from harness import SAMPLES, SOURCE_DIR, Site
from system_support import eventually

CHALLENGE_KEY = "distribution challenge key, thirty-two bytes or more"

sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mail_sink  # noqa: E402

BUILD_DIR = Path(os.environ.get("BUILD_DIR", SOURCE_DIR / "build" / "release"))
PROGRAM_TREE = SAMPLES / "templates"
INSTALL_SECONDS = 300
LOAD_SECONDS = 3
SWAP_SECONDS = 60
RUN_SECONDS = 60
MAIL_SECONDS = 10


def files_under(root):
    return {path.relative_to(root).as_posix() for path in root.rglob("*") if path.is_file()}


def install(dist, folder, smtp, recipient, existing=None):
    command = [str(dist / "installer"), "--unattended", "--accept-license",
               "--program-folder", str(folder), "--samples-folder", str(folder),
               "--smtp", smtp, "--recipient", recipient]
    if existing:
        command += ["--existing", existing]
    return subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=INSTALL_SECONDS)


def assert_programs_executable(program):
    """A cabinet stores no execute permission; the installer gives it to the programs."""
    for name in ("velloc", "pgp"):
        if not os.access(program / name, os.X_OK):
            raise AssertionError(f"installed {name} is not executable")


def form_fields(page, visible):
    """The hidden fields of an installed sample page, then the visible ones given."""
    html = page.read_text()
    hidden = re.findall(r'<input type="hidden" name="([^"]+)" value="([^"]*)">', html)
    return hidden + list(visible.items())


class DistributionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="velloc-dist-"))
        cls.dist = cls.root / "dist"
        shutil.copytree(BUILD_DIR / "dist", cls.dist)
        cls.mails = cls.root / "mails"
        cls.sink = mail_sink.start_sink(str(cls.mails))
        cls.smtp = f"127.0.0.1:{cls.sink.port}"
        cls.server = cls.root / "server"
        cls.server.mkdir()
        cls.installation = install(cls.dist, cls.server, cls.smtp, "owner@example.test")
        cls.program = cls.server / "VLPro"
        cls.samples = cls.server / "Samples"
        # As installed, before any run adds a log or an export.
        cls.program_tree = files_under(cls.program) if cls.program.is_dir() else set()
        cls.samples_tree = files_under(cls.samples) if cls.samples.is_dir() else set()
        if cls.installation.returncode == 0:
            assert_programs_executable(cls.program)

    @classmethod
    def tearDownClass(cls):
        cls.sink.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.assertEqual(0, self.installation.returncode,
                         self.installation.stdout + self.installation.stderr)

    def run_installed_velloc(self, fields):
        """Runs the installed velloc with the sample forms' profiles added to its settings,
        as README.TXT tells an administrator to, and the installed settings restored after."""
        settings = self.program / "VELLOC.INI"
        installed = settings.read_bytes()
        profiles = (SOURCE_DIR / "samples" / "demo" / "profiles.ini").read_bytes()
        # The contact form's profile sets a challenge, whose key goes to [Velloc].
        settings.write_bytes(installed + f"ChallengeKey={CHALLENGE_KEY}\n".encode() + profiles)
        try:
            return self.run_velloc_with(fields)
        finally:
            settings.write_bytes(installed)

    def run_velloc_with(self, fields):
        body = urllib.parse.urlencode(fields).encode()
        env = cgi_environment(body, {"REMOTE_ADDR": "127.0.0.1",
                                     "SCRIPT_NAME": "/cgi-bin/VLPro/velloc"})
        result = subprocess.run([str(self.program / "velloc")], cwd=self.program, env=env,
                                input=body, capture_output=True, timeout=RUN_SECONDS)
        return result.stdout.decode(), result.stderr.decode()

    def mails_to(self, recipients):
        """The stored mails, by envelope recipient, once all of `recipients` have one."""
        deadline = time.monotonic() + MAIL_SECONDS
        while True:
            mails = {}
            for path in sorted(self.mails.glob("*.eml")):
                with open(path, "rb") as stored:
                    message = email.message_from_binary_file(stored, policy=email.policy.default)
                mails[message["X-Envelope-To"]] = message
            if set(recipients) <= set(mails) or time.monotonic() > deadline:
                return mails
            time.sleep(0.05)

    def test_distribution_folder(self):
        man_pages = {path.name for path in (SOURCE_DIR / "man").glob("*.8")}
        self.assertEqual({"installer", "VLProDB.CAB", "Samples.cab"} |
                         {f"man/{name}" for name in man_pages}, files_under(self.dist))

    def test_installed_tree(self):
        self.assertIn(f"README: {self.program}/README.TXT", self.installation.stdout)
        man_pages = {path.name for path in (SOURCE_DIR / "man").glob("*.8")}
        templates = files_under(PROGRAM_TREE)
        units = {"velloc.socket", "velloc.service", "velloc-purge.service", "velloc-purge.timer",
                 "velloc-deliver.service", "velloc-deliver.timer"}
        self.assertEqual({"velloc", "pgp", "README.TXT", "VELLOC.INI"} | units | man_pages |
                         templates,
                         self.program_tree)
        for name in sorted(templates):
            self.assertEqual((PROGRAM_TREE / name).read_bytes(),
                             (self.program / name).read_bytes(), name)
        for name in ["README.TXT"] + sorted(units):
            self.assertEqual((SOURCE_DIR / "packaging" / name).read_bytes(),
                             (self.program / name).read_bytes(), name)
        pages = files_under(SAMPLES / "site")
        self.assertEqual(pages, self.samples_tree)
        for name in sorted(pages):
            self.assertEqual((SAMPLES / "site" / name).read_bytes(),
                             (self.samples / name).read_bytes(), name)

    def test_installer_ends_with_the_check_of_the_installed_settings(self):
        """The notes on standard error end with the installed velloc's report on the
        installed settings file; standard output keeps only the completion and README."""
        notes = self.installation.stderr.splitlines()
        header = (f"Checking the settings: {self.program}/velloc --check --settings "
                  f"{self.program}/VELLOC.INI")
        self.assertIn(header, notes)
        self.assertRegex(notes[-1], r"^\d+ errors?, \d+ warnings?$")
        self.assertNotIn("Checking the settings", self.installation.stdout)

    def test_settings_file_holds_the_answers_only(self):
        self.assertEqual(f"[Velloc]\nSMTP={self.smtp}\nDefaultRecipient=owner@example.test\n"
                         .encode(), (self.program / "VELLOC.INI").read_bytes())

    def test_installed_contact_form_mails_and_answers(self):
        page, errors = self.run_installed_velloc(form_fields(self.samples / "contact.html", {
            "name": "Ann", "email": "ann@example.test", "topic": "order",
            "message": "Where is my tea?", "phone": "",
            "altcha": minted(CHALLENGE_KEY, int(time.time()) + 600, form="contact")}))
        self.assertTrue(page.startswith("Content-type: text/html\n\n<!DOCTYPE html>\n"),
                        page + errors)
        self.assertIn("<h1>Thank you, Ann</h1>\n", page)
        self.assertIn("please keep your order confirmation at hand", page)
        self.assertNotIn("Could not include template", page)
        mails = self.mails_to({"owner@example.test", "ann@example.test"})
        form_mail = mails["owner@example.test"]
        self.assertEqual("Contact form message", form_mail["Subject"])
        self.assertIn("Where is my tea?", form_mail.get_body().get_content())
        (attachment,) = mails["ann@example.test"].iter_attachments()
        self.assertEqual("tea-guide.txt", attachment.get_filename())
        self.assertEqual(
            (self.program / "Brannic" / "Templates" / "SendFile" / "tea-guide.txt").read_bytes(),
            attachment.get_payload(decode=True))
        log = self.program / "BRANNIC.LOG"
        self.assertEqual("", log.read_text() if log.exists() else "")

    def test_installed_signup_form_exports_into_the_samples_folder(self):
        page, errors = self.run_installed_velloc(form_fields(self.samples / "signup.html", {
            "name": "Cy", "email": "cy@example.test", "topics": "news"}))
        self.assertIn('<A HREF="/signups.csv">See every sign-up so far</A>', page, errors)
        self.assertEqual('"Cy","cy@example.test","news"\n',
                         (self.samples / "signups.csv").read_text())

    def test_second_installation(self):
        folder = self.root / "again"
        folder.mkdir()
        first = install(self.dist, folder, "mail.example.test", "a@example.test")
        self.assertEqual(0, first.returncode, first.stdout + first.stderr)
        settings = folder / "VLPro" / "VELLOC.INI"
        settings.write_bytes(b"; the operator's\n[Profile x]\nKey=v\n"
                             b"[Velloc]\nSMTP=mail.example.test\nLOG_LEVEL=15\nReceiptNumber=7\n")
        kept = settings.read_bytes()
        cases = [  # (--existing, exit status, settings file afterwards, note)
            ("stop", 1, kept, ""),
            ("continue", 0, kept + b"DefaultRecipient=b@x=1%d\n",
             f"Settings file '{folder}/VLPro/VELLOC.INI' kept as it was; "
             "added: 'DefaultRecipient=b@x=1%d'.\n"),
        ]
        for existing, status, expected, note in cases:
            with self.subTest(existing=existing):
                again = install(self.dist, folder, " smtp.example.test:2525", "b@x=1%d", existing)
                self.assertEqual(status, again.returncode, again.stdout + again.stderr)
                self.assertEqual(expected, settings.read_bytes())
                self.assertIn(note, again.stderr)

    def test_upgrade_while_a_persistent_velloc_serves(self):
        """The installer run over a site whose persistent velloc serves through nginx at
        concurrency 8: no request fails, the server keeps its process, and its workers
        run the new program file."""
        templates = self.root / "load-templates" / "Brannic" / "Templates"
        templates.mkdir(parents=True)
        (templates / "ok.htm").write_text("<p>ok %NAME%</p>\n")
        with Site(mode="nginx", installed=True, templates=templates.parents[1],
                  settings={"LOG_LEVEL": "1"}) as site:
            server = site._velloc.pid
            program = site.cgi_bin / "velloc"
            page = "/cgi-bin/VLPro/velloc?DISABLE_MAIL=1&TEMPLATE_WEB=ok.htm&NAME="
            url = f"http://127.0.0.1:{site.port}{page}x"
            status, _, body = site.get(page + "x")
            self.assertEqual((200, b"<p>ok x</p>\n"), (status, body))
            load = subprocess.Popen(["ab", "-c", "8", "-t", str(LOAD_SECONDS), "-n", "1000000",
                                     url], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True)
            upgrade = install(self.dist, site.root, self.smtp, "owner@example.test", "continue")
            report = load.communicate(timeout=LOAD_SECONDS + SWAP_SECONDS)[0]
            self.assertEqual(0, upgrade.returncode, upgrade.stdout + upgrade.stderr)
            self.assertIn(f"Told the running velloc (process {server}) to start the new program.",
                          upgrade.stderr)
            self.assertRegex(report, r"Failed requests:\s+0\n", report)
            self.assertNotIn("Non-2xx", report)
            self.assertIsNone(site._velloc.poll())

            def workers_run_the_new_file():
                children = Path(f"/proc/{server}/task/{server}/children").read_text().split()
                programs = {os.readlink(f"/proc/{pid}/exe") for pid in children}
                return programs == {str(program)}
            self.assertTrue(eventually(workers_run_the_new_file, SWAP_SECONDS))
            self.assertEqual(str(program), os.readlink(f"/proc/{server}/exe"))
            self.assertEqual((200, b"<p>ok y</p>\n"), site.get(page + "y")[::2])


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
