"""The Windows program under Wine, for the Wine tests (run by tests/win32/run_wine_tests.py,
which prepares the Wine prefix, the display and the environment).

The program is a GUI program without standard output; the tests read its log from the file that
CORBELWYNFORD_LOG_FILE names (one line per list entry, as the LISTBOX shows it), relative to the
program's folder, and look at its window with win_probe.exe. The loopback test server and the
temporary folders come from tests/e2e/harness.py.
"""

import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.append(os.path.join(SOURCE_DIR, "tests", "e2e"))

import harness  # noqa: E402  (the loopback server and the per-test folders)

BUILD_DIR = os.environ.get("CW_WIN32_BUILD", os.path.join(SOURCE_DIR, "build-win32"))
EXE = os.path.join(BUILD_DIR, "corbelwynford.exe")
PROBE = os.path.join(BUILD_DIR, "platform", "win32", "win_probe.exe")
PLATFORM_TEST = os.path.join(BUILD_DIR, "platform", "win32", "win32_platform_test.exe")
LOG_NAME = os.environ.get("CORBELWYNFORD_LOG_FILE", "corbelwynford-log.txt")
SHOT_DIR = os.environ.get("CW_SCREENSHOT_DIR", os.path.join(BUILD_DIR, "screenshots"))

# "12/6/2026 9:35:18 PM text" (en-US) or "06/12/2026 21:35:18 text": the date and time as the
# Wine prefix's locale writes them.
ENTRY = re.compile(r"^\S+ \d{1,2}[:.]\d\d[:.]\d\d(?: ?[AaPp]\.?[Mm]\.?)? (.*)$", re.S)


def windows_path(path):
    """The path as a Windows program under Wine names it (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def probe(*args, timeout=60):
    """Runs win_probe.exe; returns its "name=value" lines as a dict (item lines as a list)."""
    done = subprocess.run(["wine", PROBE, *args], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=timeout)
    out = {"items": [], "status": done.returncode}
    for raw in done.stdout.decode("latin-1").splitlines():
        name, _, value = raw.partition("=")
        if name == "item":
            out["items"].append(value)
        else:
            out[name] = value
    return out


def sizes(text):
    return [int(n) for n in text.split()]


class WineRelay:
    """The Windows program started under Wine from a copy of the executable in its own folder."""

    def __init__(self, folder):
        self.folder = folder
        self.binary = os.path.join(folder, "corbelwynford.exe")
        if not os.path.exists(self.binary):
            shutil.copy2(EXE, self.binary)
        self.process = None
        self.log_path = os.path.join(folder, LOG_NAME)

    def path(self, name):
        return os.path.join(self.folder, name)

    def write_ini(self, text):
        with open(self.path("Corbelwynford.INI"), "wb") as f:
            f.write(text.encode("latin-1") if isinstance(text, str) else text)

    def start(self, *args):
        self.kill()
        self.process = subprocess.Popen(["wine", self.binary, *args], cwd=self.folder,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        return self

    def entries(self):
        """The log entries' texts after date and time, as str (latin-1)."""
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path, "rb") as f:
            lines = f.read().decode("latin-1").split("\r\n")
        out = []
        for line in lines[:-1]:
            m = ENTRY.match(line)
            out.append(m.group(1) if m else "?" + line)
        return out

    def wait_for(self, text, count=1, timeout=40):
        """Waits until text is among the entries count times; returns the entries."""
        deadline = time.monotonic() + timeout
        while True:
            entries = self.entries()
            if entries.count(text) >= count:
                return entries
            if time.monotonic() > deadline:
                raise AssertionError("no %r x%d in %r" % (text, count, entries))
            time.sleep(0.1)

    def wait_gone(self, name, timeout=20):
        deadline = time.monotonic() + timeout
        while os.path.lexists(self.path(name)) and time.monotonic() < deadline:
            time.sleep(0.05)
        return not os.path.lexists(self.path(name))

    def wait_exit(self, timeout=30):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=20)

    def run_with_box(self, *args):
        """Starts the program with args, reads and confirms its message box, waits for its end.
        Returns (exit status, box)."""
        self.start(*args)
        box = probe("box")
        return self.wait_exit(), box


class WineTestCase(harness.RelayTestCase):
    """A temporary program folder per test, and cleanup of whatever was started."""

    def setUp(self):
        super().setUp()
        self.wine_relays = []

    def tearDown(self):
        for relay in self.wine_relays:
            relay.kill()
        super().tearDown()

    def wine_relay(self, folder=None):
        relay = WineRelay(folder or self.folder)
        self.wine_relays.append(relay)
        return relay
