# The real program in a folder of its own against the loopback test server, with bounded waits on
# its log: standard output on Linux, under Wine (wine=True) the file CORBELWYNFORD_LOG_FILE names.
# Every process a test starts is ended by its own id.

import concurrent.futures
import errno
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SERVER = os.path.join(SOURCE_DIR, "tests", "servers", "http_server.py")
BINARY = os.environ.get("CORBELWYNFORD_BINARY", os.path.join(SOURCE_DIR, "build", "corbelwynford"))
FEED_BINARY = os.environ.get("CORBELWYNFORD_FEED_BINARY", BINARY + "-feed")
LOG_FILE = os.environ.get("CORBELWYNFORD_LOG_FILE", "corbelwynford-log.txt")

OK = "Sending completed successfully"
FAILED = "Sending failed"
STARTED = "Corbelwynford started ok as application"
# The date and time in front of an entry: "12/06/26 20:58:01 " on Linux (C locale), "12/6/2026
# 9:35:18 PM " or "06/12/2026 21:35:18 " under Wine.
ENTRY = re.compile(r"^\S+ \d{1,2}[:.]\d\d[:.]\d\d(?: ?[AaPp]\.?[Mm]\.?)? (.*)$", re.S)


def ini(url, xml="[Message]", wait=3, general="", protocol="", interval=1):
    """Settings that scan every `interval` s and post to url; general, protocol: extra lines."""
    return ("[General]\r\nScanInterval=%s\r\n%s\r\n[Protocol]\r\nURL=%s\r\nWaitForAnswer=%s\r\n"
            "XML=%s\r\n%s\r\n" % (interval, general, url, wait, xml, protocol))


def write_atomic(path, data):
    with open(path + ".tmp", "wb") as out:
        out.write(data.encode("latin-1") if isinstance(data, str) else data)
    os.rename(path + ".tmp", path)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wait_until(predicate, timeout, what):
    """Waits until predicate() holds; what names it, or is a function that does at the end."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + (what() if callable(what) else what))
        time.sleep(0.05)


class Server:

    def __init__(self, folder, tls=False, names=None, port=0):
        self.record = os.path.join(folder, "record")
        args = [sys.executable, SERVER, "--record", self.record, "--port", str(port)]
        self.cert = None
        if tls:
            # A throwaway self-signed certificate for names (a subjectAltName), valid two days;
            # the relay trusts it when self.cert is its CA file (SSL_CERT_FILE).
            self.cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                            key, "-out", self.cert, "-days", "2", "-subj", "/CN=localhost",
                            "-addext", "subjectAltName=" + (names or "DNS:localhost,IP:127.0.0.1")],
                           check=True, timeout=60, stderr=subprocess.DEVNULL)
            args += ["--tls", self.cert, key]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.port = int(self.process.stdout.readline())

    def url(self, path="/ok"):
        return "%s://127.0.0.1:%d%s" % ("https" if self.cert else "http", self.port, path)

    def heads(self):
        """The paths of every request's .head file, in arrival order."""
        return [os.path.join(self.record, name) for name in sorted(os.listdir(self.record))
                if name.endswith(".head")]

    def requests(self):
        """[(head, body)] of every request in arrival order, as bytes."""
        return [(read(head), read(head[:-5] + ".body")) for head in self.heads()]

    def bodies(self):
        return [body for _, body in self.requests()]

    def arrivals(self):
        return [os.stat(head).st_mtime for head in self.heads()]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=10)
        self.process.stdout.close()


class Relay:

    def __init__(self, folder, env=None, wine=False):
        self.folder, self.wine = folder, wine
        self.binary = os.path.join(folder, "corbelwynford.exe" if wine else "corbelwynford")
        if not os.path.exists(self.binary):
            shutil.copy2(os.environ["CW_WINE_EXE"] if wine else BINARY, self.binary)
        # The feed on its own, beside the relay, as the package installs it.
        self.feed = None if wine else os.path.join(folder, "corbelwynford-feed")
        if self.feed and not os.path.exists(self.feed):
            shutil.copy2(FEED_BINARY, self.feed)
        # Wine keeps the host's locale: it picks the Windows code page from it.
        self.env = dict(os.environ) if wine else dict(
            os.environ, LC_ALL="C", LANG="C", TERM="dumb",
            CORBELWYNFORD_ROOT=os.path.join(folder, "root"))
        self.env.update(env or {})
        self.process, self.lines, self.parsed, self.stderr = None, [], [], b""
        self.output_ended = threading.Event()

    def path(self, name):
        return os.path.join(self.folder, name)

    def write_ini(self, text):
        write_atomic(self.path("Corbelwynford.INI"), text)

    def drop(self, data, name="InComingSMS.txt"):
        write_atomic(self.path(name), data)

    def start(self, *args):
        self.close()
        self.lines, self.parsed, self.output_ended = [], [], threading.Event()
        pipe = subprocess.DEVNULL if self.wine else subprocess.PIPE
        for attempt in range(50):
            try:
                self.process = subprocess.Popen(["wine"] * self.wine + [self.binary, *args],
                                                env=self.env, cwd=self.folder, stdout=pipe,
                                                stdin=subprocess.DEVNULL, stderr=pipe)
                break
            except OSError as error:
                # Another thread's child may hold a copied executable open for an instant after
                # its fork ("text file busy").
                if error.errno != errno.ETXTBSY or attempt == 49:
                    raise
                time.sleep(0.1)
        if not self.wine:
            threading.Thread(target=self._read, args=(self.process.stdout, self.lines,
                                                      self.output_ended), daemon=True).start()
        return self

    @staticmethod
    def _read(stream, lines, ended):
        for raw in iter(stream.readline, b""):
            lines.append(raw.rstrip(b"\n"))
        ended.set()

    def entries(self):
        """The log entries' texts after date and time (latin-1)."""
        if self.wine:
            log = self.path(LOG_FILE)
            return [self._entry(line) for line in read(log).split(b"\r\n")[:-1]
                    ] if os.path.exists(log) else []
        lines, parsed = self.lines, self.parsed
        parsed.extend(self._entry(line) for line in lines[len(parsed):len(lines)])
        return list(parsed)

    @staticmethod
    def _entry(line):
        m = ENTRY.match(line.decode("latin-1"))
        return m.group(1) if m else "?" + line.decode("latin-1")

    def outcomes(self):
        return [e for e in self.entries() if e in (OK, FAILED)]

    def wait_for(self, text, count=1, timeout=30):
        """Waits until text is among the entries count times; returns the entries."""
        what = lambda: "%r x%d in %r" % (text, count, self.entries()[-12:])  # noqa: E731
        wait_until(lambda: self.entries().count(text) >= count or (
            self.output_ended.is_set() and not self.wine), timeout, what)
        if self.entries().count(text) < count:
            raise AssertionError("no " + what())
        return self.entries()

    def wait_outcomes(self, count, timeout=30):
        wait_until(lambda: len(self.outcomes()) >= count, timeout,
                   lambda: "%d outcomes in %r" % (count, self.entries()[-12:]))
        return self.outcomes()

    def wait_gone(self, name="InComingSMS.txt.$$$", timeout=15):
        wait_until(lambda: not os.path.lexists(self.path(name)), timeout, name + " to go")

    def send(self, sig):
        self.process.send_signal(sig)

    def wait_exit(self, timeout=None):
        # Wine ends a Windows program slowly while the test command builds beside it.
        timeout = timeout or (60 if self.wine else 20)
        try:
            code = self.process.wait(timeout=timeout)
        finally:
            self.kill()
        if not self.wine:
            self.output_ended.wait(5)
            self.stderr = self.process.stderr.read()
        return code

    def stop(self):
        """Ends the program with SIGINT (Linux) and returns its exit status."""
        self.send(signal.SIGINT)
        return self.wait_exit()

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=20)

    def close(self):
        self.kill()
        if self.process is not None and not self.wine:
            self.output_ended.wait(5)
            self.process.stdout.close()
            self.process.stderr.close()


class RelayTestCase(unittest.TestCase):
    """A temporary folder per test; whatever a test starts is ended after it."""

    wine = False

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="cw-e2e-")
        self.started = []

    def tearDown(self):
        for thing in reversed(self.started):
            (thing.close if isinstance(thing, Relay) else thing.stop)()
        shutil.rmtree(self.folder, ignore_errors=True)

    def relay(self, folder=None, env=None):
        relay = Relay(folder or tempfile.mkdtemp(dir=self.folder), env, self.wine)
        self.started.append(relay)
        return relay

    def server(self, tls=False, names=None, port=0):
        server = Server(tempfile.mkdtemp(dir=self.folder), tls, names, port)
        self.started.append(server)
        return server

    def closed_port(self):
        """A loopback port where a server of this test listened a moment ago."""
        server = self.server()
        server.stop()
        return server.port

    def run_rows(self, rows, check):
        """Runs check(row) for every row at once (each with a program of its own); a failing row
        is reported as a subtest named after its first field."""
        with concurrent.futures.ThreadPoolExecutor(len(rows)) as pool:
            futures = [(row, pool.submit(check, row)) for row in rows]
        for row, future in futures:
            with self.subTest(row[0]):
                future.result()
