#!/usr/bin/python3
"""An SMTP server on 127.0.0.1 that requires STARTTLS and a login and discards
what it receives, for the benchmark row of mail through a provider's submission
port. Prints "port N" when it listens and "messages N" when stopped (SIGTERM)."""
import argparse
import signal
import ssl
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


class Counting:
    def __init__(self):
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        return "250 accepted"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    args = parser.parse_args()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    handler = Counting()
    expected = (args.user.encode(), args.password.encode())
    controller = Controller(
        handler, hostname="127.0.0.1", port=args.port, tls_context=context,
        require_starttls=True, auth_required=True, auth_require_tls=True,
        authenticator=lambda server, session, envelope, mechanism, data: AuthResult(
            success=(data.login, data.password) == expected, handled=False))
    controller.start()
    print(f"port {controller.port}", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    stop.wait()
    controller.stop()
    print(f"messages {handler.count}", flush=True)


if __name__ == "__main__":
    main()
