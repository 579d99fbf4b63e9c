"""The installer's terminal dialogs, driven in tmux like a person at a terminal: a whole
installation from a small distribution folder made here (the built installer beside two
cabinets), through every page, the folder browser, the progress window and the settings
page, to the README handed to $VISUAL. Every wait polls the screen for a bounded time.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("SOURCE_DIR", Path(__file__).resolve().parents[2]))
INSTALLER_BINARY = os.environ.get("INSTALLER_BINARY",
                                  str(SOURCE_DIR / "build/release/installer"))
SCREEN_SECONDS = 30  # sanitizer builds draw slowly

VIEWER = """#!/bin/sh
printf '%s\\n' "$@" > "$(dirname "$0")/viewed"
"""


def make_distribution(root):
    """The installer and its two cabinets, one data block each, in root/dist."""
    stage = root / "stage"
    (stage / "Brannic/Templates/Mailer").mkdir(parents=True)
    (stage / "README.TXT").write_text("Velloc README\n")
    (stage / "Brannic/Templates/Mailer/x.txt").write_text("mail template\n")
    (stage / "form.htm").write_text("<form></form>\n")
    dist = root / "dist"
    dist.mkdir()
    for cabinet, names in (("VLProDB.CAB", ["README.TXT", "Brannic/Templates/Mailer/x.txt"]),
                           ("Samples.cab", ["form.htm"])):
        subprocess.run(["gcab", "-c", "-z", str(dist / cabinet), *names], cwd=stage, check=True)
    shutil.copy2(INSTALLER_BINARY, dist / "installer")
    return dist


class Terminal:
    """One tmux server of our own with a 100 x 35 window running a command."""

    def __init__(self, command, cwd):
        self.socket = f"installer-newt-{os.getpid()}"
        self._tmux("new-session", "-d", "-s", "setup", "-x", "100", "-y", "35", "-c", str(cwd),
                   command)

    def _tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], check=True,
                              capture_output=True, text=True, timeout=10).stdout

    def screen(self):
        try:
            return self._tmux("capture-pane", "-p", "-t", "setup")
        except subprocess.CalledProcessError:
            return ""  # the program has ended and its window with it

    def keys(self, *keys):
        self._tmux("send-keys", "-t", "setup", *keys)

    def type(self, text):
        self._tmux("send-keys", "-t", "setup", "-l", text)

    def wait_for(self, *texts, timeout=SCREEN_SECONDS):
        deadline = time.monotonic() + timeout
        while True:
            screen = self.screen()
            if all(text in screen for text in texts):
                return screen
            if time.monotonic() > deadline:
                raise AssertionError(f"{texts} not on the screen:\n{screen}")
            time.sleep(0.1)

    def wait_until_gone(self, text, timeout=SCREEN_SECONDS):
        deadline = time.monotonic() + timeout
        while text in self.screen():
            if time.monotonic() > deadline:
                raise AssertionError(f"{text} stays on the screen:\n{self.screen()}")
            time.sleep(0.1)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True,
                       timeout=10)
        folder = Path(os.environ.get("TMUX_TMPDIR", "/tmp")) / f"tmux-{os.getuid()}"
        (folder / self.socket).unlink(missing_ok=True)


def wait_for_file(path, timeout=SCREEN_SECONDS):
    """The file's text once it is there and ends its line; a file that is still being
    created or replaced counts as not yet written."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            text = path.read_text()
            if text.endswith("\n"):
                return text
        except OSError:
            pass
        if time.monotonic() > deadline:
            raise AssertionError(f"{path} never written")
        time.sleep(0.1)


class InstallerNewtTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="installer-newt-"))
        self.dist = make_distribution(self.root)
        self.viewer = self.root / "viewer.sh"
        self.viewer.write_text(VIEWER)
        self.viewer.chmod(0o755)
        self.site = self.root / "site"
        (self.site / "cgi-bin").mkdir(parents=True)
        (self.site / "htdocs").mkdir()
        self.status = self.root / "status"
        self.stderr = self.root / "stderr"
        # Scrolling a newt text box leaks a few buffers inside libnewt itself; sanitizer
        # builds still report every leak of our own.
        suppressions = self.root / "lsan.supp"
        suppressions.write_text("leak:libnewt.so\n")
        command = (f"cd '{self.site}' && env TERM=xterm VISUAL='{self.viewer}' "
                   f"LSAN_OPTIONS=suppressions='{suppressions}' "
                   f"TMP='{self.root / 'tmp'}' '{self.dist / 'installer'}' 2> '{self.stderr}'; "
                   f"echo $? > '{self.status}'")
        self.terminal = Terminal(command, self.site)  # tmux runs it with sh -c

    def tearDown(self):
        self.terminal.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def choose_folder(self, folder):
        t = self.terminal
        t.wait_for("Browse for Folder", "Please choose a location for installation.")
        t.keys("Tab")
        t.type(str(folder))
        t.wait_for(f"Folder: {folder}")
        t.keys("Tab", "Enter")

    def test_whole_installation(self):
        t = self.terminal
        t.wait_for("Velloc Pro DB Installation", "Do you wish to unarchive Velloc Pro DB now?",
                   "<Yes>", "<No>")
        t.keys("Enter")

        t.wait_for("Velloc Pro DB License Agreement", "SOFTWARE LICENSE AGREEMENT",
               "Please read the following license agreement.", "<Yes>")
        t.keys("PageDown")
        t.wait_until_gone("SOFTWARE LICENSE AGREEMENT")
        t.keys("Enter")

        t.wait_for("Velloc Pro DB 1.01", "Executables/Documentation Directory:",
                   "Samples Directory:", "<Continue>", "<Exit>")
        t.keys("Enter")
        self.choose_folder(self.site / "cgi-bin")
        t.wait_for(f"{self.site}/cgi-bin/VLPro")
        t.keys("BTab", "Enter")
        self.choose_folder(self.site / "htdocs")
        t.wait_for(f"{self.site}/htdocs/Samples", f"{self.site}/cgi-bin/VLPro")
        t.keys("Enter")

        t.wait_for("Extract", "<Cancel>")
        t.wait_for("SMTP Server", "Default Receipient's E-Mail Address",
                   "This is the name of your SMTP")
        # OK is disabled while the fields are empty: the Enter is ignored, so the text
        # typed after it (keys arrive in order) still lands in the server field.
        t.keys("Enter")
        t.type(" mail.example.org:2525")
        t.wait_for("SMTP Server", "mail.example.org:2525")
        t.keys("Tab")
        t.wait_for("This is the default e-mail address")
        t.type("forms@example.org")
        t.wait_for("forms@example.org")
        t.keys("Enter")

        t.wait_for("Installation has been successfully completed! Click OK to view the",
                   "<OK>")
        t.keys("Enter")

        self.assertEqual("0\n", wait_for_file(self.status), self.stderr.read_text())
        program = self.site / "cgi-bin/VLPro"
        self.assertEqual(f"{program}/README.TXT\n", (self.root / "viewed").read_text())
        self.assertEqual(b"[Velloc]\nSMTP= mail.example.org:2525\n"
                         b"DefaultRecipient=forms@example.org\n",
                         (program / "VELLOC.INI").read_bytes())
        self.assertEqual("Velloc README\n", (program / "README.TXT").read_text())
        self.assertEqual("mail template\n",
                         (program / "Brannic/Templates/Mailer/x.txt").read_text())
        self.assertTrue((program / "Brannic/Templates/SendFile").is_dir())
        self.assertEqual("<form></form>\n",
                         (self.site / "htdocs/Samples/form.htm").read_text())
        self.assertTrue((self.root / "tmp").is_dir())

    def test_escape_leaves_the_directory_page_after_confirmation(self):
        t = self.terminal
        t.wait_for("Do you wish to unarchive Velloc Pro DB now?")
        t.keys("y")
        t.wait_for("SOFTWARE LICENSE AGREEMENT")
        t.keys("y")
        t.wait_for("Executables/Documentation Directory:")
        t.keys("Escape")
        t.wait_for("Exit Setup", "Setup is not complete.  Are you sure you want to cancel?")
        t.keys("n")
        t.wait_until_gone("Exit Setup")
        t.wait_for("Executables/Documentation Directory:")
        t.keys("Escape")
        t.wait_for("Exit Setup")
        t.keys("Enter")
        self.assertEqual("1\n", wait_for_file(self.status), self.stderr.read_text())
        self.assertEqual([], sorted(p.name for p in (self.site / "cgi-bin").iterdir()))
        self.assertFalse((self.root / "viewed").exists())


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
