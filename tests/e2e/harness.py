"""End-to-end support: a real web server on a free loopback port that runs the built
velloc, the way a site operator would set it up.

    with Site(settings={"LOG_LEVEL": "15"}, templates=SAMPLES / "templates") as site:
        status, headers, body = site.post("/cgi-bin/velloc", {"name": "Ann"})

The site lives in a temporary folder: www/ is the document root, cgi-bin/ holds
copies of velloc and pgp with a VELLOC.ini beside them (its [Velloc] section built
from `settings`), and cgi-bin/templates/ a copy of `templates` when given. The CGI
runs with cgi-bin/ as its working directory.

`mode` says how velloc runs behind the web server (default: $VELLOC_E2E_MODE, else cgi):
  cgi                lighttpd starts it for every request (mod_cgi);
  fastcgi            lighttpd's mod_fastcgi starts it once, its listening socket as stdin;
  nginx              nginx passes requests to `velloc --fastcgi unix:ROOT/velloc.sock`;
  socket-activation  nginx as above, velloc started by systemd-socket-activate on that socket.
In every mode velloc sees the same CGI variables beside those of the web server: the
`cgi_env` given (PATH and the sanitizer and ODBC settings by default). `server_config`,
when given, opens lighttpd's configuration (its modules come before the handler's) or
is added to nginx's `server` block.

With installed=True the site is laid out as the installer leaves it when both of
its folders are the same: the document root is Samples/, the program folder VLPro/
(served as /cgi-bin/VLPro/) and `templates` is copied into VLPro/ itself, so a tree
holding Brannic/Templates/ lands where the default template directory finds it.
"""

import http.client
import os
import random
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
STOP_SECONDS = 20
MODES = ("cgi", "fastcgi", "nginx", "socket-activation")
MODE = os.environ.get("VELLOC_E2E_MODE", "cgi")


def free_port():
    """A port nobody listens on now, below the kernel's range of ports for outgoing
    connections, so that no connection (a client's own, or one to itself while the
    server is not up yet) takes it before the server that is given it listens."""
    low, _ = (int(n) for n in Path("/proc/sys/net/ipv4/ip_local_port_range").read_text().split())
    ports = list(range(max(1024, low - 12000), low))
    random.shuffle(ports)
    for port in ports[:200]:
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write_settings(path, settings):
    """A whole new settings file renamed over `path`, taken by a persistent velloc at its
    next request."""
    lines = ["[Velloc]"] + [f"{key}={value}" for key, value in settings.items()]
    staged = Path(str(path) + ".new")
    staged.write_text("\n".join(lines) + "\n")
    os.replace(staged, path)


class Site:
    def __init__(self, settings=None, templates=None, www=None, cgi_env=None, installed=False,
                 mode=None, basic_auth=None, server_config=""):
        self.mode = mode or MODE
        if self.mode not in MODES:
            raise ValueError(f"unknown mode {self.mode!r}; one of {', '.join(MODES)}")
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
        # {user: password}: lighttpd asks for one of them below the CGI prefix.
        self._basic_auth = basic_auth
        self._server_config = server_config
        self._www_source = www
        self._process = None
        self._velloc = None

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
        if self.mode in ("cgi", "fastcgi"):
            config = self.root / "lighttpd.conf"
            config.write_text(self._config())
            command = ["lighttpd", "-D", "-f", str(config)]
        else:
            self._start_velloc()
            config = self.root / "nginx.conf"
            config.write_text(self._nginx_config())
            command = ["nginx", "-p", str(self.root), "-c", str(config),
                       "-e", str(self.root / "error.log")]
        # A file, not a pipe: a persistent velloc that lighttpd starts inherits it and
        # may hold it open longer than lighttpd.
        with open(self.root / "server.err", "wb") as errors:
            self._process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors)
        self._wait_until_listening()

    @property
    def socket_path(self):
        return self.root / "velloc.sock"

    @property
    def velloc_stderr(self):
        """What velloc wrote to its standard error when the harness started it."""
        path = self.root / "velloc.err"
        return path.read_text(errors="replace") if path.exists() else ""

    def stop(self):
        # The web server first, so that no request is in flight when velloc is asked
        # to end; lighttpd ends the velloc it started itself.
        stop_process(self._process)
        stop_process(self._velloc)
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

    def _start_velloc(self):
        command = [str(self.cgi_bin / "velloc")]
        if self.mode == "socket-activation":
            command = ["systemd-socket-activate", "-l", str(self.socket_path)] + [
                f"--setenv={key}={value}" for key, value in self.cgi_env.items()] + command
        else:
            command += ["--fastcgi", f"unix:{self.socket_path}"]
        with open(self.root / "velloc.err", "wb") as errors:
            self._velloc = subprocess.Popen(command, cwd=self.cgi_bin, env=self.cgi_env,
                                            stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=errors)
        deadline = time.monotonic() + STARTUP_SECONDS
        while not self.socket_path.exists():
            if self._velloc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("velloc did not start listening: " + self.velloc_stderr)
            time.sleep(0.02)

    def _auth_config(self):
        if not self._basic_auth:
            return ""
        users = self.root / "users"
        users.write_text("".join(f"{user}:{password}\n"
                                 for user, password in self._basic_auth.items()))
        return f"""server.modules += ("mod_auth", "mod_authn_file")
auth.backend = "plain"
auth.backend.plain.userfile = "{users}"
auth.require = ("{self.cgi_url}" => ("method" => "basic", "realm" => "velloc",
                                     "require" => "valid-user"))
"""

    def _config(self):
        env = ", ".join(f'"{k}" => "{v}"' for k, v in self.cgi_env.items())
        auth = self._auth_config()
        if self.mode == "fastcgi":
            handler = f"""server.modules += ("mod_fastcgi", "mod_setenv")
fastcgi.server = ("{self.cgi_url}velloc" => ((
  "socket" => "{self.socket_path}", "bin-path" => "{self.cgi_bin}/velloc",
  "bin-environment" => ({env}), "bin-copy-environment" => ("PATH"),
  "max-procs" => 1, "check-local" => "disable")))
"""
        else:
            handler = f"""server.modules += ("mod_alias", "mod_cgi", "mod_setenv")
alias.url = ("{self.cgi_url}" => "{self.cgi_bin}/")
$HTTP["url"] =~ "^{self.cgi_url}" {{ cgi.assign = ("" => "") }}
"""
        # mod_auth is loaded before the handlers, or it is not asked first.
        return self._server_config + auth + handler + f"""
server.document-root = "{self.www}"
server.port = {self.port}
server.bind = "127.0.0.1"
server.errorlog = "{self.root}/error.log"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".htm" => "text/html", ".css" => "text/css",
                   ".csv" => "text/plain", ".txt" => "text/plain")
setenv.add-environment = ({env})
"""

    def _nginx_config(self):
        user = "user root;\n" if os.geteuid() == 0 else ""
        params = "".join(f"      fastcgi_param {k} \"{v}\";\n" for k, v in self.cgi_env.items())
        temp = "".join(f"  {kind}_temp_path {self.root}/nginx-{kind};\n"
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        return f"""{user}daemon off;
worker_processes 1;
pid {self.root}/nginx.pid;
error_log {self.root}/error.log;
events {{ worker_connections 256; }}
http {{
  access_log off;
  client_max_body_size 0;
{temp}  types {{ text/html html htm; text/css css; text/plain csv txt; }}
  server {{
    listen 127.0.0.1:{self.port};
    root {self.www};
    index index.html;
    location = {self.cgi_url}velloc {{
      include /etc/nginx/fastcgi_params;
{params}      fastcgi_pass unix:{self.socket_path};
    }}
{self._server_config}
  }}
}}
"""

    def _wait_until_listening(self):
        deadline = time.monotonic() + STARTUP_SECONDS
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                raise RuntimeError("the web server exited: " + (self.root / "server.err")
                                   .read_text(errors="replace"))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("the web server did not start listening")


def stop_process(process):
    """Ends `process` with SIGTERM and waits for it, killing it if it outstays."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=STOP_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
