#!/usr/bin/env python3
"""Runs the Wine tests of the Windows program (tests/win32/test_wine_*.py) in a fresh Wine prefix
on the display that xvfb-run provides (scripts/test-windows.sh starts it so).

The prefix lives for this run only. A persistent wineserver is held for the whole run: without
it a service process dies when the last ordinary Wine process ends. Prints "N passed, M failed"
last; exit status 0 only when all pass.
  run_wine_tests.py [NAME...]   NAME: a test module, class or method (default: all)
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
AEDEBUG = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"
SYSTEM_ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
LOG_NAME = "corbelwynford-log.txt"


def make_prefix():
    def run(*args):
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)

    run("wine", "wineboot", "--init")
    # A crashing program just ends; the debugger would wait for someone forever.
    run("wine", "reg", "add", AEDEBUG, "/v", "Debugger", "/d", "", "/f")
    run("wine", "reg", "add", AEDEBUG, "/v", "Auto", "/d", "1", "/f")
    # A service's environment is the system's, read when the service manager starts: so this
    # comes before the restart below.
    run("wine", "reg", "add", SYSTEM_ENVIRONMENT, "/v", "CORBELWYNFORD_LOG_FILE", "/d", LOG_NAME,
        "/f")
    # Making the prefix leaves two service managers behind on one server, and each request
    # reaches either; a fresh persistent server starts exactly one.
    run("wineserver", "-k")
    run("wineserver", "-w")
    run("wineserver", "-p")
    run("wine", "wineboot")


def main():
    if not os.environ.get("DISPLAY"):
        print("no display: run under xvfb-run", file=sys.stderr)
        return 2
    prefix = tempfile.mkdtemp(prefix="cw-wine-")
    # No Mono or Gecko installer prompts while the prefix is made.
    os.environ.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all", "PYTHONDONTWRITEBYTECODE": "1",
                       "WINEDLLOVERRIDES": "mscoree,mshtml=", "CORBELWYNFORD_LOG_FILE": LOG_NAME})
    # WinHTTP would send loopback requests to a proxy named in the environment.
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                 "ALL_PROXY"):
        os.environ.pop(name, None)
    result = None
    try:
        make_prefix()
        sys.path.insert(0, HERE)
        loader = unittest.defaultTestLoader
        suite = (loader.loadTestsFromNames(sys.argv[1:]) if len(sys.argv) > 1 else
                 loader.discover(HERE, pattern="test_wine_*.py", top_level_dir=HERE))
        result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    finally:
        subprocess.run(["wineserver", "-k"], timeout=60)
        subprocess.run(["wineserver", "-w"], timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)
    # A test counts once, however many of its subtests failed.
    failed = 1 if result is None else len(
        {getattr(test, "test_case", test).id() for test, _ in result.failures + result.errors})
    passed = 0 if result is None else result.testsRun - failed - len(result.skipped)
    print("%d passed, %d failed" % (passed, failed), flush=True)
    return 0 if result is not None and result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
