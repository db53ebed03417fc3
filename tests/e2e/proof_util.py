"""Pieces shared by the suites that prove the relay under faults, bad input and time: a relay that
notes when each log line arrived, the process's memory and descriptors from /proc, the line rule
of the incoming file as a model, certificates from a throwaway CA, and a raw server that accepts
and never reads.

Every process and thread started here is ended by its own handle; every wait is bounded.
"""

import base64
import fcntl
import hashlib
import importlib.machinery
import types
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time

from harness import BINARY, SERVER_SCRIPT, Relay, Server

OK = "Sending completed successfully"
FAILED = "Sending failed"
SHUTDOWN = ["Corbelwynford is shutting down, reason: 0", "Corbelwynford was shutdown"]
STARTED = "Corbelwynford started ok as application"


def load_server_module():
    """The loopback server's module, so a test predicts its flaky answers with its own code."""
    loader = importlib.machinery.SourceFileLoader("cw_http_server", SERVER_SCRIPT)
    module = types.ModuleType(loader.name)
    loader.exec_module(module)
    return module


def sanitized_build():
    """True for a binary built with AddressSanitizer: its quarantine keeps freed memory resident
    on purpose, so resident-memory bounds say nothing there (the figures are still printed)."""
    with open(BINARY, "rb") as f:
        data = f.read()
    return b"libasan" in data or b"__asan_init" in data


def proc_status(pid, field):
    """The first number of a /proc/PID/status line (kB for VmRSS and VmHWM, the real id for
    Uid), or None once the process is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def rss_kb(pid):
    return proc_status(pid, "VmRSS")


def fd_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


def write_atomic(path, data):
    """Writes a file under another name and renames it into place, as the writers of the incoming
    file and of the settings must, so a tick never reads half of it."""
    tmp = path + ".writing"
    with open(tmp, "wb") as f:
        f.write(data.encode("latin-1") if isinstance(data, str) else data)
    os.rename(tmp, path)


def ini(url, wait=3, xml="[Message]", scan_file=None, extra_general="", extra_protocol=""):
    general = "ScanInterval=1\r\n"
    if scan_file is not None:
        general += "FileToScan=%s\r\n" % scan_file
    return ("[General]\r\n%s%s[Protocol]\r\nURL=%s\r\nWaitForAnswer=%s\r\nXML=%s\r\n%s" %
            (general, extra_general, url, wait, xml, extra_protocol))


def split_messages(data):
    """The incoming file's messages: a line ends at CR, a LF right after the CR belongs to that
    line end, a LF elsewhere is part of the message, a line end at the very end adds nothing."""
    lines = []
    at = 0
    while at < len(data):
        cr = data.find(b"\r", at)
        if cr < 0:
            lines.append(data[at:])
            break
        lines.append(data[at:cr])
        at = cr + 1
        if data[at:at + 1] == b"\n":
            at += 1
    return lines


def message_text(line):
    """What a line becomes with no conversion switched on: the brackets and the backslash go."""
    return bytes(b for b in line if b not in b"[]\\{}")


class TimedRelay(Relay):
    """The harness's relay, noting the monotonic time at which each log line arrived."""

    def start(self, *args):
        self.stamps = []
        return super().start(*args)

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._cond:
                self.lines.append(raw.rstrip(b"\n"))
                self.stamps.append(time.monotonic())
                self._cond.notify_all()
        with self._cond:
            # Only the running program's output counts, not that of one ended by a restart.
            if stream is self.process.stdout:
                self._output_ended = True
            self._cond.notify_all()

    def timed_entries(self):
        with self._cond:
            count = len(self.stamps)
            texts = self.entries_locked()[:count]
            return list(zip(self.stamps[:count], texts))

    def line_count(self):
        with self._cond:
            return len(self.lines)

    def wait_outcomes(self, count, timeout=60):
        """Waits for count outcome entries (either kind); returns them as (time, text)."""
        deadline = time.monotonic() + timeout
        while True:
            found = [(t, e) for t, e in self.timed_entries() if e in (OK, FAILED)]
            if len(found) >= count:
                return found
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("expected %d outcomes, have %r" % (count, found))
            time.sleep(0.05)

    def rss(self):
        return rss_kb(self.process.pid)

    def hwm(self):
        return proc_status(self.process.pid, "VmHWM")

    def fds(self):
        return fd_count(self.process.pid)

    def stop_cleanly(self, test):
        """SIGINT must still be answered with the two shutdown lines and exit status 0."""
        test.assertIsNone(self.process.poll(), "the relay died: %r" % self.entries()[-5:])
        self.send(signal.SIGINT)
        test.assertEqual(self.wait_exit(timeout=60), 0)
        test.assertEqual(self.entries()[-2:], SHUTDOWN)


class CertServer(Server):
    """The loopback server with a certificate and key of the test's choosing."""

    def __init__(self, folder, cert=None, key=None):
        self.record = os.path.join(folder, "requests.jsonl")
        args = [sys.executable, SERVER_SCRIPT, "--record", self.record]
        self.cert = cert
        if cert:
            args += ["--tls", cert, key]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("test server did not start")
        self.port = int(line)

    def digests(self):
        """(path, body length, body sha256) per request, read line by line: a recorded 50 MB
        body is not parsed more than once."""
        out = []
        if not os.path.exists(self.record):
            return out
        with open(self.record, "rb") as f:
            for line in f:
                if line.strip():
                    r = json.loads(line)
                    body = base64.b64decode(r["body_b64"])
                    out.append((r["path"], len(body), hashlib.sha256(body).hexdigest()))
        return out


class ProofCa:
    """A throwaway CA and certificates it signs, with explicit validity dates (openssl ca)."""

    def __init__(self, folder):
        self.folder = folder
        self.cert = os.path.join(folder, "ca.pem")
        self.key = os.path.join(folder, "ca.key")
        db = os.path.join(folder, "db")
        os.makedirs(db)
        open(os.path.join(db, "index.txt"), "w").close()
        with open(os.path.join(db, "serial"), "w") as f:
            f.write("01\n")
        self.config = os.path.join(folder, "ca.cnf")
        with open(self.config, "w") as f:
            f.write("[ca]\ndefault_ca = proof\n[proof]\ndatabase = %s/index.txt\n"
                    "new_certs_dir = %s\nserial = %s/serial\ndefault_md = sha256\n"
                    "policy = anything\nunique_subject = no\ncopy_extensions = copy\n"
                    "[anything]\ncommonName = supplied\n" % (db, db, db))
        self._run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key,
                   "-out", self.cert, "-days", "2", "-subj", "/CN=Corbelwynford proof CA",
                   "-addext", "basicConstraints=critical,CA:TRUE",
                   "-addext", "keyUsage=critical,keyCertSign"])

    @staticmethod
    def _run(args):
        subprocess.run(args, check=True, timeout=60, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)

    def issue(self, name, names, start, end):
        """A certificate for the subjectAltName list names, valid from start to end (openssl's
        YYYYMMDDHHMMSSZ); returns (cert, key)."""
        key = os.path.join(self.folder, name + ".key")
        csr = os.path.join(self.folder, name + ".csr")
        cert = os.path.join(self.folder, name + ".pem")
        self._run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                   "-subj", "/CN=" + names.split(",")[0].split(":")[1],
                   "-addext", "subjectAltName=" + names])
        self._run(["openssl", "ca", "-batch", "-config", self.config, "-cert", self.cert,
                   "-keyfile", self.key, "-in", csr, "-out", cert, "-notext",
                   "-startdate", start, "-enddate", end])
        return cert, key


def openssl_date(seconds_from_now):
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + seconds_from_now))


class SilentServer:
    """Accepts connections and never reads from them: the client's request sits in a tiny receive
    buffer, and a large one cannot even be sent in full."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        # Set before listen, so accepted connections inherit the small window.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.held = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.held.append(conn)

    def url(self, path="/silent"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def queued_bytes(self):
        """Bytes waiting unread in each accepted connection (SIOCINQ), without reading them."""
        out = []
        for conn in list(self.held):
            try:
                out.append(struct.unpack("i", fcntl.ioctl(conn.fileno(), termios.FIONREAD,
                                                          b"\0\0\0\0"))[0])
            except OSError:
                out.append(-1)
        return out

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.sock.close()
        for conn in self.held:
            conn.close()


def report(title, rows):
    """Prints a figure table to standard error, where ctest's verbose output shows it."""
    sys.stderr.write("\n== %s\n" % title)
    for row in rows:
        sys.stderr.write("  %s\n" % row)
    sys.stderr.flush()
