"""Runs the real program as a process in a program folder of its own, against the loopback test
server, and reads its log from standard output (the program has no terminal here, so it writes
every log entry as one line).

Every process a test starts is ended by its own id; every wait is bounded.
"""

import base64
import errno
import json
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
SERVER_SCRIPT = os.path.join(SOURCE_DIR, "tests", "servers", "http_server.py")
CERT_SCRIPT = os.path.join(SOURCE_DIR, "tests", "servers", "make_cert.sh")
BINARY = os.environ.get("CORBELWYNFORD_BINARY", os.path.join(SOURCE_DIR, "build", "corbelwynford"))

# "12/06/26 20:58:01 text" under the C locale.
ENTRY = re.compile(rb"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d (.*)$", re.S)
SEPARATOR = "-" * 100


def visible(data: bytes) -> str:
    """The program's visible rendering of an entry's bytes (as it writes them to a terminal)."""
    out = []
    for c in data:
        if 32 <= c < 127:
            out.append(chr(c))
        elif c < 32:
            out.append("^" + chr(c + 64))
        elif c == 127:
            out.append("^?")
        else:
            out.append("\\x%02X" % c)
    return "".join(out)


def relay_ini(url, xml="<sms>[Message]</sms>", wait=5, extra="", header=""):
    """A Corbelwynford.INI scanning every second and posting to url."""
    return ("; test settings\r\n[General]\r\nScanInterval=1\r\n%s\r\n[Protocol]\r\nURL=%s\r\n"
            "WaitForAnswer=%d\r\nXML=%s\r\nHeader=%s\r\n" % (extra, url, wait, xml, header))


class Server:
    """The loopback test server (tests/servers/http_server.py) in a process of its own."""

    def __init__(self, folder, tls=False):
        self.record = os.path.join(folder, "requests.jsonl")
        args = [sys.executable, SERVER_SCRIPT, "--record", self.record]
        self.cert = None
        if tls:
            subprocess.run(["sh", CERT_SCRIPT, folder], check=True, timeout=60)
            self.cert = os.path.join(folder, "cert.pem")
            args += ["--tls", self.cert, os.path.join(folder, "key.pem")]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("test server did not start")
        self.port = int(line)

    def url(self, path="/ok", host="127.0.0.1", scheme=None):
        scheme = scheme or ("https" if self.cert else "http")
        return "%s://%s:%d%s" % (scheme, host, self.port, path)

    def requests(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record, "rb") as f:
            return [json.loads(line) for line in f if line.strip()]

    def bodies(self):
        return [base64.b64decode(r["body_b64"]) for r in self.requests()]

    def wait_for_requests(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.requests()) >= count:
                return self.requests()
            time.sleep(0.05)
        raise AssertionError("expected %d requests, have %d" % (count, len(self.requests())))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.process.stdout.close()


class Relay:
    """The program started from a copy of the executable in its own folder."""

    def __init__(self, folder, env=None):
        self.folder = folder
        self.binary = os.path.join(folder, "corbelwynford")
        if not os.path.exists(self.binary):
            shutil.copy2(BINARY, self.binary)
        self.env = dict(os.environ)
        self.env.update({"LC_ALL": "C", "LANG": "C", "TERM": "dumb",
                         "CORBELWYNFORD_ROOT": os.path.join(folder, "root")})
        self.env.update(env or {})
        self.process = None
        self._output_ended = False
        self.lines = []
        self.stderr = b""
        self._cond = threading.Condition()

    def write_ini(self, text):
        with open(os.path.join(self.folder, "Corbelwynford.INI"), "wb") as f:
            f.write(text.encode("latin-1") if isinstance(text, str) else text)

    def path(self, name):
        return os.path.join(self.folder, name)

    def start(self, *args):
        if self.process is not None:
            self.kill()
            self.process.stdout.close()
            self.process.stderr.close()
        self.lines = []
        self._output_ended = False
        # A test that copies executables in several threads at once can have a child of another
        # thread still holding a copy open for writing for an instant after its fork: exec then
        # fails with "text file busy", so it is tried again for a moment.
        for attempt in range(50):
            try:
                self.process = subprocess.Popen([self.binary, *args], stdout=subprocess.PIPE,
                                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                                env=self.env, cwd="/")
                break
            except OSError as error:
                if error.errno != errno.ETXTBSY or attempt == 49:
                    raise
                time.sleep(0.1)
        threading.Thread(target=self._read, args=(self.process.stdout,), daemon=True).start()
        return self

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._cond:
                self.lines.append(raw.rstrip(b"\n"))
                self._cond.notify_all()
        with self._cond:
            # Only the running program's output counts, not that of one ended by a restart.
            if stream is self.process.stdout:
                self._output_ended = True
            self._cond.notify_all()

    def entries(self):
        """The log entries' texts after date and time, as str (latin-1)."""
        with self._cond:
            return self.entries_locked()

    def wait_for(self, text, count=1, timeout=30):
        """Waits until text is among the entries count times; returns the entries."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = self.entries_locked().count(text)
                if found >= count:
                    return self.entries_locked()
                left = deadline - time.monotonic()
                # Once the program's output has ended, no entry can come any more.
                if left <= 0 or self._output_ended:
                    raise AssertionError("no %r x%d in %r" % (text, count, self.entries_locked()))
                self._cond.wait(min(left, 0.2))

    def entries_locked(self):
        out = []
        for line in self.lines:
            m = ENTRY.match(line)
            out.append(m.group(1).decode("latin-1") if m else "?" + line.decode("latin-1"))
        return out

    def wait_gone(self, name, timeout=15):
        """Waits until the file name in the program folder is gone (the cycle's last pause)."""
        deadline = time.monotonic() + timeout
        while os.path.lexists(self.path(name)) and time.monotonic() < deadline:
            time.sleep(0.05)
        return not os.path.lexists(self.path(name))

    def send(self, sig):
        self.process.send_signal(sig)

    def wait_exit(self, timeout=20):
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        self.stderr = self.process.stderr.read()
        time.sleep(0.05)  # let the reader take the last lines
        return code

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)

    def run(self, *args, timeout=30):
        """Starts the program and waits for it to end by itself; returns its exit status."""
        self.start(*args)
        return self.wait_exit(timeout)


class RelayTestCase(unittest.TestCase):
    """A temporary program folder per test, and cleanup of whatever was started."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="cw-e2e-")
        self.relays = []
        self.servers = []

    def tearDown(self):
        for relay in self.relays:
            relay.kill()
            if relay.process:
                relay.process.stdout.close()
                relay.process.stderr.close()
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def relay(self, folder=None, env=None):
        r = Relay(folder or self.folder, env)
        self.relays.append(r)
        return r

    def server(self, tls=False):
        sub = tempfile.mkdtemp(dir=self.folder)
        s = Server(sub, tls)
        self.servers.append(s)
        return s
