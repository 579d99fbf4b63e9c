#!/usr/bin/python3
"""`velloc --check` looks the relay's name up through the system's resolver: a local
dnsmasq on a loopback address knows relay.test and nothing else under .test, and a
second loopback address takes queries and never answers. velloc runs in a private
mount namespace whose /etc/resolv.conf names one of the two (which takes root)."""
import os
import shutil
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import VELLOC_BINARY  # noqa: E402
from system_support import eventually, scratch_folder  # noqa: E402

DNSMASQ = shutil.which("dnsmasq") or "/usr/sbin/dnsmasq"
# Loopback addresses nothing else listens on, one pair per process.
ANSWERING = f"127.83.{os.getpid() % 250 + 1}.53"
SILENT = f"127.83.{os.getpid() % 250 + 1}.54"
READY_SECONDS = 10
# The check gives the lookup 5 s; a resolver left to itself waits 30 s on the silent
# server, so a check that ends well before that was cut short by its own bound.
RESOLVER_TIMEOUT_SECONDS = 30
CHECK_SECONDS = 20


def answers(address):
    """Whether the DNS server at `address` answers a query for relay.test."""
    query = struct.pack(">HHHHHH", 0x5e1a, 0x0100, 1, 0, 0, 0)
    query += b"".join(bytes([len(label)]) + label for label in (b"relay", b"test")) + b"\0"
    query += struct.pack(">HH", 1, 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.settimeout(0.2)
        probe.sendto(query, (address, 53))
        try:
            return probe.recv(512)[:2] == query[:2]
        except socket.timeout:
            return False


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists(DNSMASQ) and shutil.which("unshare"),
                     "needs root (a mount namespace, port 53), dnsmasq and unshare")
class RelayNameCheck(unittest.TestCase):
    def setUp(self):
        self.folder = scratch_folder(self, "velloc-relay-")
        log = open(self.folder / "dnsmasq.log", "w")
        self.addCleanup(log.close)
        dnsmasq = subprocess.Popen(
            [DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--pid-file=",
             "--user=root", f"--listen-address={ANSWERING}", "--bind-interfaces", "--port=53",
             "--no-resolv", "--no-hosts", "--local=/test/", "--address=/relay.test/127.0.0.1"],
            stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(dnsmasq.wait, 20)
        self.addCleanup(dnsmasq.terminate)
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(silent.close)
        silent.bind((SILENT, 53))
        self.assertTrue(eventually(lambda: answers(ANSWERING), READY_SECONDS),
                        (self.folder / "dnsmasq.log").read_text())

    def check(self, smtp, server):
        """The check's report on a settings file with SMTP=`smtp`, the resolver asking
        `server`, and how long it took."""
        resolv = self.folder / "resolv.conf"
        resolv.write_text(f"nameserver {server}\noptions timeout:{RESOLVER_TIMEOUT_SECONDS} "
                          "attempts:1\n")
        settings = self.folder / "V.ini"
        settings.write_text(f"[Velloc]\nSMTP={smtp}\nVisitorReplyTo=1\n")
        started = time.monotonic()
        result = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             'mount --bind "$0" /etc/resolv.conf && exec "$@"', str(resolv),
             VELLOC_BINARY, "--check", "--settings", str(settings)],
            capture_output=True, text=True, timeout=60)
        self.assertEqual("", result.stderr)
        return result.stdout.replace(str(self.folder) + "/", ""), time.monotonic() - started

    def test_relay_name_through_the_resolver(self):
        for smtp, server, expected in (
                ("relay.test:2525", ANSWERING, "0 errors, 0 warnings\n"),
                ("nowhere.test", ANSWERING,
                 "V.ini:2: warning: SMTP=nowhere.test: the relay's name does not resolve (Name "
                 "or service not known)\n0 errors, 1 warning\n"),
                ("relay.test", SILENT,
                 "V.ini:2: warning: SMTP=relay.test: the relay's name did not resolve within "
                 "5 s\n0 errors, 1 warning\n")):
            with self.subTest(smtp=smtp, server=server):
                report, seconds = self.check(smtp, server)
                self.assertEqual(expected, report)
                self.assertLess(seconds, CHECK_SECONDS)


if __name__ == "__main__":
    unittest.main()
