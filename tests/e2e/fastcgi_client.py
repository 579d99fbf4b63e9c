"""A small FastCGI client for the tests, and velloc started as a FastCGI server.

    with FastCgiServer(folder, workers=1) as server:
        answer = server.request(cgi_environment(body), body)
        headers, page = split_cgi(answer.stdout)

One request per connection: FCGI_BEGIN_REQUEST (responder), the parameters as
FCGI_PARAMS, the body as FCGI_STDIN; the answer's FCGI_STDOUT and FCGI_STDERR are
collected until FCGI_END_REQUEST or the end of the connection. `send` writes raw bytes,
for tests of malformed input. The server runs in `folder` (its working directory, as a
CGI program's is) on a Unix socket there."""

import os
import signal
import socket
import struct
import subprocess
import time
from pathlib import Path

VELLOC_BINARY = os.environ.get("VELLOC_BINARY", "velloc")
PASSED_THROUGH = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "ODBCINI", "ODBCSYSINI")
START_SECONDS = 30
STOP_SECONDS = 60

BEGIN_REQUEST, ABORT_REQUEST, END_REQUEST, PARAMS, STDIN, STDOUT, STDERR = 1, 2, 3, 4, 5, 6, 7
GET_VALUES = 9
RESPONDER = 1
MAX_CONTENT = 65535


def record(kind, content=b"", request_id=1, padding=0):
    header = struct.pack(">BBHHBB", 1, kind, request_id, len(content), padding, 0)
    return header + content + bytes(padding)


def stream(kind, data, request_id=1):
    """`data` as records of `kind`, closed by an empty one."""
    chunks = [data[i:i + MAX_CONTENT] for i in range(0, len(data), MAX_CONTENT)]
    return b"".join(record(kind, chunk, request_id) for chunk in chunks) + record(kind, b"", request_id)


def encode_length(length):
    return bytes([length]) if length < 128 else struct.pack(">I", length | 0x80000000)


def encode_params(params):
    out = b""
    for name, value in params.items():
        name, value = os.fsencode(name), os.fsencode(value)
        out += encode_length(len(name)) + encode_length(len(value)) + name + value
    return out


def begin(request_id=1, keep_connection=False):
    return record(BEGIN_REQUEST, struct.pack(">HB5x", RESPONDER, int(keep_connection)), request_id)


def request_bytes(params, body=b"", request_id=1):
    return begin(request_id) + stream(PARAMS, encode_params(params), request_id) + stream(
        STDIN, body, request_id)


class Answer:
    def __init__(self):
        self.stdout = b""
        self.stderr = b""
        self.app_status = None  # from FCGI_END_REQUEST; None when the connection just ended

    @property
    def complete(self):
        return self.app_status is not None


def read_exactly(connection, count):
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def read_answer(connection):
    answer = Answer()
    while True:
        header = read_exactly(connection, 8)
        if header is None:
            return answer
        _, kind, _, length, padding, _ = struct.unpack(">BBHHBB", header)
        content = read_exactly(connection, length + padding)
        if content is None:
            return answer
        content = content[:length]
        if kind == STDOUT:
            answer.stdout += content
        elif kind == STDERR:
            answer.stderr += content
        elif kind == END_REQUEST:
            answer.app_status = struct.unpack(">I", content[:4])[0]
            return answer


def connect(address, timeout=60):
    family = socket.AF_UNIX if isinstance(address, (str, Path)) else socket.AF_INET
    connection = socket.socket(family, socket.SOCK_STREAM)
    try:
        connection.settimeout(timeout)
        connection.connect(str(address) if family == socket.AF_UNIX else address)
    except OSError:
        connection.close()
        raise
    return connection


def send(address, raw, timeout=60):
    """Writes `raw`, ends the sending side (so that a request cut short reaches its end at
    once) and reads the answer (empty when the server just closes)."""
    with connect(address, timeout) as connection:
        try:
            connection.sendall(raw)
            connection.shutdown(socket.SHUT_WR)
            return read_answer(connection)
        except ConnectionError:
            return Answer()


def request(address, params, body=b"", timeout=60):
    return send(address, request_bytes(params, body), timeout)


def split_cgi(stdout):
    """(header block, body) of a CGI answer; the block keeps its line ends."""
    for separator in (b"\r\n\r\n", b"\n\n"):
        head, found, rest = stdout.partition(separator)
        if found:
            return head, rest
    return stdout, b""


class FastCgiServer:
    """`velloc --fastcgi unix:<folder>/velloc.sock` with its options, started in
    `folder` with a small environment (PATH, the sanitizers' and ODBC's settings,
    `extra_env`)."""

    def __init__(self, folder, workers=1, max_requests=None, extra_env=None, handed=None,
                 options=(), program=VELLOC_BINARY):
        """handed=None: velloc opens the socket itself; "stdin": velloc gets it listening on
        its standard input, "systemd": as fd 3 with LISTEN_PID and LISTEN_FDS. `options`
        are further command-line options ("--request-timeout", "2"); `program` the velloc
        started."""
        self.folder = Path(folder)
        self.socket = self.folder / "velloc.sock"
        self.handed = handed
        self.arguments = ["--workers", str(workers)]
        if handed is None:
            self.arguments += ["--fastcgi", f"unix:{self.socket}"]
        if max_requests:
            self.arguments += ["--max-requests", str(max_requests)]
        self.arguments += list(options)
        self.env = {"PATH": "/usr/bin:/bin"}
        self.env.update({k: os.environ[k] for k in PASSED_THROUGH if k in os.environ})
        self.env.update(extra_env or {})
        self.process = None
        self.workers = workers
        self.program = str(program)

    def __enter__(self):
        command, stdin, keep, prepare = [self.program] + self.arguments, subprocess.DEVNULL, (), None
        listener = None
        if self.handed:
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            listener.bind(str(self.socket))
            listener.listen(64)
        if self.handed == "stdin":
            stdin = listener
        elif self.handed == "systemd":
            keep = (3,)
            prepare = lambda: os.dup2(listener.fileno(), 3)
            command = ["/bin/sh", "-c", 'LISTEN_PID=$$ LISTEN_FDS=1 exec "$0" "$@"'] + command
        try:
            self.process = subprocess.Popen(command, cwd=self.folder, env=self.env, stdin=stdin,
                                            pass_fds=keep, preexec_fn=prepare,
                                            stderr=subprocess.PIPE)
        finally:
            if listener:
                listener.close()
        deadline = time.monotonic() + START_SECONDS
        while len(self.worker_pids()) < self.workers or not self._accepts():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("velloc did not start serving FastCGI")
            time.sleep(0.02)
        return self

    def __exit__(self, *exc):
        self.stop()

    def _accepts(self):
        try:
            with connect(self.socket, 1):
                return True
        except OSError:
            return False

    def request(self, params, body=b"", timeout=60):
        return request(self.socket, params, body, timeout)

    def send(self, raw, timeout=60):
        return send(self.socket, raw, timeout)

    def worker_pids(self):
        path = Path(f"/proc/{self.process.pid}/task/{self.process.pid}/children")
        try:
            return [int(pid) for pid in path.read_text().split()]
        except OSError:
            return []

    def stop(self):
        """SIGTERM and the exit status (None when it had to be killed)."""
        if self.process is None:
            return None
        status = self.process.poll()
        if status is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                status = self.process.wait(timeout=STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.stderr_text = self.process.stderr.read().decode(errors="replace")
        self.process.stderr.close()
        self.process = None
        return status
