"""Starts the built velloc directly as a web server starts a CGI script: a POST of
form fields on standard input, a working directory holding VELLOC.ini, and an
environment of CGI variables plus whatever the caller adds (ODBC settings)."""

import os
import subprocess
import urllib.parse
from pathlib import Path

VELLOC_BINARY = os.environ.get("VELLOC_BINARY", "velloc")
PASSED_THROUGH = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def write_settings(directory, settings):
    """A whole new VELLOC.ini renamed over the old one, so that a persistent velloc takes
    it at its next request (one rewritten in place, once left alone for a second)."""
    lines = ["[Velloc]"] + [f"{key}={value}" for key, value in settings.items()]
    staged = Path(directory, "VELLOC.ini.new")
    staged.write_text("\n".join(lines) + "\n")
    os.replace(staged, Path(directory, "VELLOC.ini"))


def cgi_environment(body, extra=None):
    env = {"REQUEST_METHOD": "POST", "GATEWAY_INTERFACE": "CGI/1.1", "SERVER_NAME": "127.0.0.1",
           "CONTENT_TYPE": "application/x-www-form-urlencoded",
           "CONTENT_LENGTH": str(len(body)), "PATH": "/usr/bin:/bin"}
    env.update({k: os.environ[k] for k in PASSED_THROUGH if k in os.environ})
    env.update(extra or {})
    return env


def start_velloc(directory, fields, extra_env=None):
    """Starts one run; returns the Popen with the body already written."""
    body = urllib.parse.urlencode(fields).encode()
    process = subprocess.Popen([VELLOC_BINARY], cwd=directory, env=cgi_environment(body, extra_env),
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    # A request refused before its body is read (over MaxRequestSize) may end the
    # program before the body is all written.
    for write in (lambda: process.stdin.write(body), process.stdin.close):
        try:
            write()
        except BrokenPipeError:
            pass
    process.stdin = None  # so that communicate() only collects the output
    return process


def run_velloc(directory, fields, extra_env=None, timeout=120):
    """One run to its end: (exit status, standard output, standard error)."""
    return finish_velloc(start_velloc(directory, fields, extra_env), timeout)


def finish_velloc(process, timeout=120):
    """Waits for a started run: (exit status, standard output, standard error)."""
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
    return process.returncode, out, err
