"""The Debian package on this machine, as root: installed with apt-get, a submission
(with a profile of /etc/velloc/forms.d) through nginx and the package's socket mailed to a local SMTP server and archived
under /var/lib/velloc, a newer build installed over it keeping the edited settings
and the archive, then removed and purged. PID 1 need not be systemd: the service's
ExecStart runs under systemd-socket-activate on the socket unit's path.

    python3 tests/package/debian_package_test.py build/debian-package/velloc_1.0_amd64.deb

Skipped (saying why) when not run as root or where velloc is installed already."""

import json
import os
import pwd
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import urllib.request
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / "tests" / "e2e"))
sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mail_sink  # noqa: E402
from harness import free_port  # noqa: E402
from system_support import eventually, mail_names  # noqa: E402

PACKAGE = Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else None
SETTINGS = Path("/etc/velloc/VELLOC.INI")
UNITS = Path("/lib/systemd/system")
KEPT = (Path("/etc/velloc"), Path("/var/lib/velloc"))
PURGED = KEPT + (Path("/var/spool/velloc"),)


def apt_get(*arguments):
    subprocess.run(["apt-get", "-y", "-q", *arguments], check=True, stdin=subprocess.DEVNULL,
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def unit_value(unit, key):
    for line in (UNITS / unit).read_text().splitlines():
        if line.startswith(key + "="):
            return line.split("=", 1)[1]
    raise KeyError(f"{unit}: no {key}")


def installed():
    query = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "velloc"],
                           capture_output=True, text=True)
    return "install ok installed" in query.stdout


def newer_build(package, folder):
    """The package with a higher version: what an upgrade installs."""
    tree = folder / "newer"
    subprocess.run(["dpkg-deb", "-R", str(package), str(tree)], check=True)
    control = tree / "DEBIAN" / "control"
    lines = control.read_text().splitlines()
    control.write_text("".join(
        (line + "+1" if line.startswith("Version: ") else line) + "\n" for line in lines))
    newer = folder / "velloc_newer.deb"
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", str(tree), str(newer)], check=True,
                   stdout=subprocess.DEVNULL)
    return newer


@unittest.skipUnless(os.geteuid() == 0, "installs a package: needs root")
@unittest.skipIf(installed(), "velloc is installed on this machine already")
class DebianPackageTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-package-"))
        self.root.chmod(0o755)
        self.user_existed = subprocess.run(["id", "velloc"], capture_output=True).returncode == 0
        self.addCleanup(self.clean_up)
        self.processes = []

    def clean_up(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(60)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        if installed() or Path("/etc/velloc").exists():
            subprocess.run(["dpkg", "--purge", "velloc"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL)
        if not self.user_existed:
            subprocess.run(["userdel", "velloc"], stderr=subprocess.DEVNULL)
            subprocess.run(["groupdel", "velloc"], stderr=subprocess.DEVNULL)
        shutil.rmtree("/run/velloc", ignore_errors=True)
        shutil.rmtree(self.root, ignore_errors=True)

    def start(self, command, log):
        with open(self.root / log, "wb") as output:
            process = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT,
                                       stdin=subprocess.DEVNULL, cwd=self.root)
        self.processes.append(process)
        return process

    def start_service(self):
        """velloc.service's ExecStart, as its user in its folder, on velloc.socket's path."""
        socket_path = Path(unit_value("velloc.socket", "ListenStream"))
        socket_path.parent.mkdir(exist_ok=True)
        socket_path.unlink(missing_ok=True)
        options = ""
        for line in Path("/etc/default/velloc").read_text().splitlines():
            if line.startswith("VELLOC_OPTIONS="):
                options = shlex.split(line.split("=", 1)[1])[0]
        command = unit_value("velloc.service", "ExecStart").replace("$VELLOC_OPTIONS", options)
        user = unit_value("velloc.service", "User")
        process = self.start(
            ["systemd-socket-activate", "-l", str(socket_path), "setpriv", f"--reuid={user}",
             f"--regid={user}", "--init-groups", "--", "/bin/sh", "-c",
             f"cd {unit_value('velloc.service', 'WorkingDirectory')} && exec {command}"],
            "velloc.log")
        self.assertTrue(eventually(socket_path.exists, 30))
        shutil.chown(socket_path, unit_value("velloc.socket", "SocketUser"),
                     unit_value("velloc.socket", "SocketGroup"))
        socket_path.chmod(int(unit_value("velloc.socket", "SocketMode"), 8))
        return process

    def start_nginx(self, port):
        """nginx with the README's snippet."""
        readme = (SOURCE_DIR / "README.md").read_text()
        self.assertIn("fastcgi_pass unix:/run/velloc/velloc.sock;", readme)
        temp = "".join(f"  {kind}_temp_path {self.root}/nginx-{kind};\n"
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        config = self.root / "nginx.conf"
        shutil.copy("/etc/nginx/fastcgi_params", self.root)
        config.write_text(f"""user www-data;
daemon off;
worker_processes 1;
pid {self.root}/nginx.pid;
error_log {self.root}/error.log;
events {{ worker_connections 64; }}
http {{
  access_log off;
{temp}  server {{
    listen 127.0.0.1:{port};
    location = /cgi-bin/velloc {{
        include fastcgi_params;
        fastcgi_pass unix:/run/velloc/velloc.sock;
    }}
  }}
}}
""")
        self.start(["nginx", "-p", str(self.root), "-c", str(config)], "nginx.log")

        def listening():
            with socket.create_connection(("127.0.0.1", port), timeout=5):
                return True

        self.assertTrue(eventually(listening, 30))

    def archived(self):
        listing = subprocess.run(
            ["setpriv", "--reuid=velloc", "--regid=velloc", "--init-groups", "/usr/bin/velloc",
             "--list", "--json"], capture_output=True, text=True, check=True, cwd="/")
        return json.loads(listing.stdout)

    def test_install_submit_upgrade_remove_purge(self):
        apt_get("install", str(PACKAGE))
        self.assertTrue(Path("/usr/bin/velloc").exists())
        self.assertEqual("velloc", pwd.getpwuid(os.stat("/var/lib/velloc").st_uid).pw_name)
        self.assertEqual("velloc", pwd.getpwuid(os.stat("/var/spool/velloc").st_uid).pw_name)
        check = subprocess.run(["/usr/bin/velloc", "--check"], capture_output=True, text=True,
                               cwd="/")
        self.assertEqual(0, check.returncode, check.stdout + check.stderr)

        sink = mail_sink.start_sink(str(self.root / "mails"))
        self.addCleanup(sink.stop)
        edited = SETTINGS.read_text().replace(
            "SMTP=localhost", f"SMTP=127.0.0.1:{sink.port}\nDefaultRecipient=owner@example.test")
        SETTINGS.write_text(edited)
        (SETTINGS.parent / "forms.d" / "contact.ini").write_text(
            "[Form contact]\nSUBJECT=Packaged contact\n")
        velloc = self.start_service()
        port = free_port()
        self.start_nginx(port)
        body = urllib.parse.urlencode({"NAME": "Ann", "EMAIL": "ann@example.test",
                                       "FORM_PROFILE": "contact"}).encode()
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/cgi-bin/velloc", body,
                                    timeout=60) as answer:
            self.assertEqual(200, answer.status)
        self.assertTrue(eventually(lambda: len(mail_names(self.root / "mails")) == 1, 60))
        mail = (self.root / "mails" / mail_names(self.root / "mails")[0]).read_bytes()
        self.assertIn(b"Ann", mail)
        self.assertIn(b"Subject: Packaged contact", mail)
        self.assertEqual(1, len(self.archived()))
        velloc.send_signal(signal.SIGTERM)
        velloc.wait(60)

        apt_get("install", str(newer_build(PACKAGE, self.root)))
        self.assertEqual(edited, SETTINGS.read_text())
        self.assertEqual(1, len(self.archived()))

        apt_get("remove", "velloc")
        self.assertFalse(Path("/usr/bin/velloc").exists())
        self.assertTrue(all(path.exists() for path in KEPT))
        apt_get("purge", "velloc")
        self.assertEqual([], [str(path) for path in PURGED if path.exists()])
        self.assertEqual(0, subprocess.run(["id", "velloc"], capture_output=True).returncode)


if __name__ == "__main__":
    if PACKAGE is None:
        sys.exit("usage: debian_package_test.py PACKAGE.deb")
    unittest.main(verbosity=2)
