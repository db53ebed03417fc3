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


def wine(*args, timeout=120, input=b""):
    """Runs a Windows program to its end on input; (exit status, standard output)."""
    done = subprocess.run(["wine", *args], input=input, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=timeout)
    return done.returncode, done.stdout.decode("latin-1")


def probe(*args):
    """win_probe.exe's "name=value" lines as a dict."""
    return dict(line.partition("=")[::2] for line in wine(PROBE, *args, timeout=60)[1].splitlines())


def sizes(text):
    return [int(n) for n in text.split()]


def service_state():
    """The Corbelwynford service's state as sc shows it (RUNNING, ...), None when there is none."""
    lines = wine("sc", "query", "Corbelwynford")[1].splitlines()
    return next((line.split()[-1] for line in lines if "STATE" in line), None)



class WineTestCase(harness.RelayTestCase):
    wine = True
