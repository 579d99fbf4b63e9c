"""End-to-end support: a real lighttpd on a free loopback port that runs the built
velloc as a CGI script, the way a site operator would set it up.

    with Site(settings={"LOG_LEVEL": "15"}, templates=SAMPLES / "templates") as site:
        status, headers, body = site.post("/cgi-bin/velloc", {"name": "Ann"})

The site lives in a temporary folder: www/ is the document root, cgi-bin/ holds
copies of velloc and pgp with a VELLOC.ini beside them (its [Velloc] section built
from `settings`), and cgi-bin/templates/ a copy of `templates` when given. The CGI
runs with cgi-bin/ as its working directory.

With installed=True the site is laid out as the installer leaves it when both of
its folders are the same: the document root is Samples/, the program folder VLPro/
(served as /cgi-bin/VLPro/) and `templates` is copied into VLPro/ itself, so a tree
holding Brannic/Templates/ lands where the default template directory finds it.
"""

import http.client
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.parse
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("SOURCE_DIR", Path(__file__).resolve().parents[2]))
VELLOC_BINARY = os.environ.get("VELLOC_BINARY", str(SOURCE_DIR / "build/release/velloc"))
PGP_ADAPTER_BINARY = os.environ.get("PGP_ADAPTER_BINARY", str(Path(VELLOC_BINARY).parent / "pgp"))
SAMPLES = SOURCE_DIR / "samples"

STARTUP_SECONDS = 10


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write_settings(path, settings):
    lines = ["[Velloc]"] + [f"{key}={value}" for key, value in settings.items()]
    Path(path).write_text("\n".join(lines) + "\n")


class Site:
    def __init__(self, settings=None, templates=None, www=None, cgi_env=None, installed=False):
        self.root = Path(tempfile.mkdtemp(prefix="velloc-site-"))
        self.installed = installed
        self.www = self.root / ("Samples" if installed else "www")
        self.cgi_bin = self.root / ("VLPro" if installed else "cgi-bin")
        self.cgi_url = "/cgi-bin/VLPro/" if installed else "/cgi-bin/"
        self.port = free_port()
        self.settings = {"LOGFILE": str(self.root / "velloc.log"), "LOG_LEVEL": "15"}
        self.settings.update(settings or {})
        self.cgi_env = {"PATH": "/usr/bin:/bin"}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "ODBCINI", "ODBCSYSINI", "GNUPGHOME"):
            if name in os.environ:
                self.cgi_env[name] = os.environ[name]
        self.cgi_env.update(cgi_env or {})
        self._templates = templates
        self._www_source = www
        self._process = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def log(self):
        path = Path(self.settings["LOGFILE"])
        return path.read_text(errors="replace") if path.exists() else ""

    def start(self):
        if self._www_source:
            shutil.copytree(self._www_source, self.www)
        else:
            self.www.mkdir(parents=True)
        self.cgi_bin.mkdir()
        shutil.copy2(VELLOC_BINARY, self.cgi_bin / "velloc")
        if Path(PGP_ADAPTER_BINARY).exists():
            shutil.copy2(PGP_ADAPTER_BINARY, self.cgi_bin / "pgp")
        if self._templates and self.installed:
            shutil.copytree(self._templates, self.cgi_bin, dirs_exist_ok=True)
        elif self._templates:
            shutil.copytree(self._templates, self.cgi_bin / "templates")
        write_settings(self.cgi_bin / "VELLOC.ini", self.settings)
        config = self.root / "lighttpd.conf"
        config.write_text(self._config())
        self._process = subprocess.Popen(
            ["lighttpd", "-D", "-f", str(config)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._wait_until_listening()

    def stop(self):
        if self._process and self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        if self._process and self._process.stderr:
            self._process.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def post(self, path, fields, headers=None):
        """Posts `fields` (a dict or a list of pairs) form-encoded."""
        body = urllib.parse.urlencode(fields)
        all_headers = {"Content-Type": "application/x-www-form-urlencoded"}
        all_headers.update(headers or {})
        return self.request("POST", path, body, all_headers)

    def get(self, path, headers=None):
        return self.request("GET", path, headers=headers)

    def _config(self):
        env = ", ".join(f'"{k}" => "{v}"' for k, v in self.cgi_env.items())
        return f"""
server.modules = ("mod_alias", "mod_cgi", "mod_setenv")
server.document-root = "{self.www}"
server.port = {self.port}
server.bind = "127.0.0.1"
server.errorlog = "{self.root}/error.log"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".htm" => "text/html", ".css" => "text/css",
                   ".csv" => "text/plain", ".txt" => "text/plain")
alias.url = ("{self.cgi_url}" => "{self.cgi_bin}/")
$HTTP["url"] =~ "^{self.cgi_url}" {{ cgi.assign = ("" => "") }}
setenv.add-environment = ({env})
"""

    def _wait_until_listening(self):
        deadline = time.monotonic() + STARTUP_SECONDS
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                raise RuntimeError("lighttpd exited: " + self._process.stderr.read().decode())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("lighttpd did not start listening")
