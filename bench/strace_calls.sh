#!/usr/bin/env bash
# Counts the system calls of one full submission (template page, CSV record and form
# mail to the loopback SMTP sink) and prints strace's table. Uses the binaries of an
# existing build folder.
#
#   bench/strace_calls.sh [--fastcgi] [BUILD_DIR] [VELLOC]   (build/release; BUILD_DIR/velloc)
#
# Without --fastcgi, velloc runs as a CGI program under `strace -c -f`. With it, velloc
# serves FastCGI with one worker on a Unix socket in the scratch folder; once the site's
# files are a few seconds old (as on a site at rest) one submission warms the worker up,
# strace attaches to it (`strace -c -f -p`), one more submission is sent, and strace is
# stopped once the worker waits for the next connection: the calls of one submission
# to a warm worker.
#
# VELLOC_STRACE_OPTIONS replaces strace's "-c" (the table): "-e trace=newfstatat -k"
# prints each such call with its path and the stack it came from.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
source bench/bench_site.sh
mode=cgi
if [ "${1:-}" = --fastcgi ]; then
  mode=fastcgi
  shift
fi
options=${VELLOC_STRACE_OPTIONS:--c}
build=$(cd "${1:-build/release}" && pwd)
velloc=${2:-$build/velloc}

make_scratch strace

start_smtp_sink "$build" "$scratch/sink.out"
site=$scratch/site
make_bench_site "$site" "$velloc" "$port" "$scratch/velloc.log"
write_bench_bodies "$scratch"
body=$scratch/mail.body
if [ "$mode" = cgi ]; then
  (cd "$site" && env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST PATH=/usr/bin:/bin \
    CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH="$(stat -c %s "$body")" \
    REMOTE_ADDR=127.0.0.1 HTTP_REFERER=http://127.0.0.1/form.html \
    strace $options -f -o "$scratch/strace.out" ./velloc <"$body" >"$scratch/page") || true
  grep -q "Thank you, Jo Doe" "$scratch/page" || { echo "Unexpected answer:" >&2; cat "$scratch/page" >&2; exit 1; }
  cat "$scratch/strace.out"
  exit 0
fi

/usr/bin/python3 - "$site" "$body" "$scratch/strace.out" "$options" <<'PY'
import os, signal, subprocess, sys, time
from pathlib import Path

sys.path.insert(0, "tests/e2e")
import fastcgi_client as fcgi

site, body_path, out, options = sys.argv[1:5]
body = Path(body_path).read_bytes()
params = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST", "SERVER_NAME": "127.0.0.1",
          "CONTENT_TYPE": "application/x-www-form-urlencoded", "CONTENT_LENGTH": str(len(body)),
          "REMOTE_ADDR": "127.0.0.1", "HTTP_REFERER": "http://127.0.0.1/form.html"}


def wait_for(condition, what, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"Gave up waiting for {what}.")
        time.sleep(0.005)


def submit(server):
    answer = server.request(params, body)
    if b"Thank you, Jo Doe" not in answer.stdout:
        sys.exit(f"Unexpected answer: {answer.stdout[:500]!r} {answer.stderr[:500]!r}")


def syscall(pid):
    """What the worker waits in, as /proc tells it ("running" while it works)."""
    return Path(f"/proc/{pid}/syscall").read_text().strip()


def traced(pid):
    tasks = Path(f"/proc/{pid}/task").iterdir()
    return all("TracerPid:\t0\n" not in (task / "status").read_text() for task in tasks)


def settled():
    """Whether the settings and templates are older than the few seconds within which
    a worker reads a changed file again at every request start, as on a site at rest."""
    files = [Path(site, "VELLOC.ini"), *Path(site, "templates").rglob("*")]
    now = time.time()
    return all(now - max(f.stat().st_mtime, f.stat().st_ctime) > 3.5 for f in files)


wait_for(settled, "the site's files to settle")
with fcgi.FastCgiServer(site, workers=1, program=f"{site}/velloc") as server:
    worker = server.worker_pids()[0]
    submit(server)
    # Between submissions the worker waits for a connection, always in the same call.
    wait_for(lambda: syscall(worker) != "running", "the worker to wait")
    idle = syscall(worker)
    strace = subprocess.Popen(["strace", *options.split(), "-f", "-o", out, "-p", str(worker)],
                              stderr=subprocess.DEVNULL)
    wait_for(lambda: traced(worker), "strace to attach")
    submit(server)
    wait_for(lambda: syscall(worker) == idle, "the worker to finish the submission")
    strace.send_signal(signal.SIGINT)
    strace.wait(timeout=30)
PY
cat "$scratch/strace.out"
