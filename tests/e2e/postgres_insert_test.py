"""The database insert against a real PostgreSQL server through Debian's ODBC driver:
a server started on loopback in a temporary folder (as the unprivileged postgres
user when run as root, since the server refuses to run as root), a data source in a
temporary odbc.ini, and the same kind of database template the SQLite tests use."""

import glob
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from cgi_process import run_velloc, write_settings
from harness import free_port

PG_BIN_GLOB = "/usr/lib/postgresql/*/bin"
DRIVER_GLOBS = ("/usr/lib/*/odbc/psqlodbcw.so", "/usr/lib/odbc/psqlodbcw.so",
                "/usr/lib64/psqlodbcw.so")
PASSWORD = "s3cret pw"
COMMAND_SECONDS = 60


def find_first(patterns):
    for pattern in patterns:
        found = sorted(glob.glob(pattern))
        if found:
            return found[-1]
    return None


class PostgresServer:
    """A throw-away cluster on 127.0.0.1 whose superuser "velloc" logs in over TCP with
    a password and over the cluster's own Unix socket without one."""

    def __init__(self, root):
        self.bin = Path(find_first([PG_BIN_GLOB]))
        self.root = Path(root)
        self.root.mkdir()
        self.data = self.root / "data"
        self.port = free_port()
        self.as_user = []
        if os.geteuid() == 0:
            account = pwd.getpwnam("postgres")
            os.chown(self.root, account.pw_uid, account.pw_gid)
            self.as_user = ["runuser", "-u", "postgres", "--"]

    def _run(self, *command):
        subprocess.run(self.as_user + [str(c) for c in command], check=True,
                       timeout=COMMAND_SECONDS, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def start(self):
        password_file = self.root / "pw"
        password_file.write_text(PASSWORD + "\n")
        if self.as_user:
            shutil.chown(password_file, "postgres")
        self._run(self.bin / "initdb", "-D", self.data, "-U", "velloc", "-E", "UTF8",
                  "--locale=C", "--auth-local=trust", "--auth-host=scram-sha-256",
                  f"--pwfile={password_file}", "--no-sync")
        # The free port may be taken by another test before the server binds it: a
        # start that fails is tried again on another, at most three times.
        for attempt in range(3):
            options = f"-p {self.port} -k {self.root} -c listen_addresses=127.0.0.1 -c fsync=off"
            try:
                self._run(self.bin / "pg_ctl", "-D", self.data, "-o", options,
                          "-l", self.root / "server.log", "-w", "-t", "30", "start")
                return
            except subprocess.CalledProcessError:
                log = self.root / "server.log"
                if attempt == 2:
                    raise RuntimeError("PostgreSQL did not start: " +
                                       (log.read_text(errors="replace") if log.exists() else ""))
                self.port = free_port()

    def stop(self):
        if (self.data / "postmaster.pid").exists():
            subprocess.run(self.as_user + [str(self.bin / "pg_ctl"), "-D", str(self.data),
                                           "-m", "immediate", "-w", "-t", "30", "stop"],
                           timeout=COMMAND_SECONDS, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    def sql(self, statement):
        result = subprocess.run(
            self.as_user + [str(self.bin / "psql"), "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1",
                            "-h", str(self.root), "-p", str(self.port), "-U", "velloc",
                            "-d", "postgres", "-c", statement],
            check=True, timeout=COMMAND_SECONDS, stdout=subprocess.PIPE, text=True)
        return result.stdout


@unittest.skipUnless(find_first([PG_BIN_GLOB]) and find_first(DRIVER_GLOBS),
                     "PostgreSQL server or its ODBC driver is not installed")
class PostgresInsertTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="velloc-pg-")
        os.chmod(cls.root, 0o755)
        cls.server = PostgresServer(Path(cls.root) / "server")
        try:
            cls.server.start()
            cls.server.sql("CREATE TABLE orders (custname text, qty integer, "
                           "colour varchar(40), note text)")
        except Exception:
            cls.server.stop()
            shutil.rmtree(cls.root, ignore_errors=True)
            raise
        cls.work = Path(cls.root) / "site"
        (cls.work / "templates").mkdir(parents=True)
        driver = find_first(DRIVER_GLOBS)
        (cls.work / "odbcinst.ini").write_text(f"[PostgreSQL Unicode]\nDriver={driver}\n")
        (cls.work / "odbc.ini").write_text(
            "[velloc_pg]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\n"
            f"Port={cls.server.port}\nDatabase=postgres\n")
        cls.odbc_env = {"ODBCSYSINI": str(cls.work), "ODBCINI": str(cls.work / "odbc.ini")}
        write_settings(cls.work, {"LOGFILE": str(cls.work / "velloc.log"), "LOG_LEVEL": "15",
                                  "TEMPLATE_DIR": str(cls.work / "templates") + "/"})

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.server.sql("TRUNCATE orders")
        log = self.work / "velloc.log"
        if log.exists():
            log.unlink()

    def write_template(self, password):
        (self.work / "templates" / "pg.ini").write_text(
            "[DATABASE]\nDSN=velloc_pg\nUSER=velloc\n"
            f"PASSWORD={password}\nTABLE=orders\n"
            "[orders]\nFIELDS=custname, qty, colour, note\n"
            "custname=NAME\nqty=QTY\ncolour=COLOUR\nnote=NOTE\n")

    def submit(self):
        return run_velloc(self.work, [
            ("TEMPLATE_DATABASE", "pg.ini"), ("NAME", "O'Brien; DROP TABLE orders"),
            ("QTY", "3"), ("COLOUR", "red"), ("COLOUR", "blue"),
            ("DISABLE_MAIL", "1"), ("REDIRECT", "http://127.0.0.1/thanks.html")],
            self.odbc_env)

    def test_the_template_inserts_a_row(self):
        self.write_template(PASSWORD)
        status, out, err = self.submit()
        log = (self.work / "velloc.log").read_text()
        self.assertEqual(1, status, err)
        self.assertIn(b"Location: http://127.0.0.1/thanks.html", out)
        self.assertEqual("O'Brien; DROP TABLE orders|3|red, blue|\n",
                         self.server.sql("SELECT custname, qty, colour, note FROM orders"),
                         log)
        self.assertIn('VLSQL: Forming Statement: "INSERT INTO orders (custname, qty, colour, '
                      'note) VALUES ( ?,  ?,  ?,  ?)"\n', log)
        self.assertIn("VLSQL: Freeing Environment Handle..\n", log)
        self.assertNotIn("Database Error:", log)

    def test_a_wrong_password_is_logged_and_the_run_goes_on(self):
        self.write_template("not the password")
        status, out, err = self.submit()
        log = (self.work / "velloc.log").read_text()
        self.assertEqual(1, status, err)
        self.assertIn(b"Location: http://127.0.0.1/thanks.html", out)
        self.assertIn("Database Error:", log)
        self.assertIn("password authentication failed", log)
        self.assertEqual("", self.server.sql("SELECT * FROM orders"))


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
