"""The Wine side of tests/e2e/harness.py: the Windows program's tests share its relay, server
and folders; win_probe.exe looks at and drives the program's window."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.append(os.path.join(os.path.dirname(HERE), "e2e"))

import harness  # noqa: E402

BUILD_DIR = os.environ.get("CW_WIN32_BUILD", os.path.join(harness.SOURCE_DIR, "build-win32"))
os.environ.setdefault("CW_WINE_EXE", os.path.join(BUILD_DIR, "corbelwynford.exe"))
PROBE = os.path.join(BUILD_DIR, "platform", "win32", "win_probe.exe")
PLATFORM_TEST = os.path.join(BUILD_DIR, "platform", "win32", "win32_platform_test.exe")
SHOT_DIR = os.environ.get("CW_SCREENSHOT_DIR", os.path.join(BUILD_DIR, "screenshots"))


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


def run_with_box(relay, *args):
    """Starts the program with args, reads and confirms its message box, waits for its end.
    Returns (exit status, box)."""
    relay.start(*args)
    box = probe("box")
    return relay.wait_exit(timeout=30), box


class WineTestCase(harness.RelayTestCase):
    wine = True
