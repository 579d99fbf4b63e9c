#!/usr/bin/python3
"""A mail sink for demonstrations and tests: an SMTP server on 127.0.0.1 that stores
every message it receives as <dir>/<timestamp>-<n>.eml and accepts every recipient.

    /usr/bin/python3 tools/mail_sink.py --port 2525 --dir /tmp/mails
"""
import argparse
import itertools
import os
import signal
import socket
import threading
import time

from aiosmtpd.controller import Controller

MAX_MESSAGE_BYTES = 200 * 1024 * 1024


class StoringHandler:
    """Writes each message, with the envelope in two leading header lines, to a file."""

    def __init__(self, directory):
        self.directory = directory
        self.counter = itertools.count(1)
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            number = next(self.counter)
        stamp = time.strftime("%Y%m%d-%H%M%S")
        path = os.path.join(self.directory, f"{stamp}-{number}.eml")
        envelope_lines = (f"X-Envelope-From: {envelope.mail_from}\r\n"
                          f"X-Envelope-To: {', '.join(envelope.rcpt_tos)}\r\n").encode()
        content = envelope.original_content or envelope.content
        if isinstance(content, str):
            content = content.encode("utf-8", "surrogateescape")
        partial = path + ".part"
        with open(partial, "wb") as out:
            out.write(envelope_lines + content)
        os.rename(partial, path)
        return "250 Message accepted for delivery"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_sink(directory, port=0):
    """Starts the sink in the background (port 0: a free one); returns the controller."""
    os.makedirs(directory, exist_ok=True)
    controller = Controller(StoringHandler(directory), hostname="127.0.0.1",
                            port=port or free_port(), data_size_limit=MAX_MESSAGE_BYTES)
    controller.start()
    return controller


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=2525)
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()
    controller = start_sink(args.dir, args.port)
    print(f"mail sink on 127.0.0.1:{controller.port}, storing into {args.dir}", flush=True)
    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
