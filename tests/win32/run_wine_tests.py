#!/usr/bin/env python3
"""Runs the Wine tests of the Windows program in a fresh Wine prefix, on the display that
xvfb-run provides (scripts/test-windows.sh starts it under xvfb-run).

The prefix lives for this run only. A persistent wineserver is held for the whole run: without
it a service process dies when the last ordinary Wine process ends. The environment is set
before the prefix starts; the services get CORBELWYNFORD_LOG_FILE from the system environment in
the registry. Prints "N passed, M failed" last; exit status 0 only when all pass.
  run_wine_tests.py [NAME...]   NAME: a test module, class or method (default: all)
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
AEDEBUG = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"
SYSTEM_ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
LOG_NAME = "corbelwynford-log.txt"


def main():
    if not os.environ.get("DISPLAY"):
        print("no display: run under xvfb-run", file=sys.stderr)
        return 2
    prefix = tempfile.mkdtemp(prefix="cw-wine-")
    os.environ.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        # No Mono or Gecko installer prompts while the prefix is made.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "CORBELWYNFORD_LOG_FILE": LOG_NAME,
        "PYTHONDONTWRITEBYTECODE": "1",
    })
    # WinHTTP would send loopback requests to a proxy named in the environment.
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                 "ALL_PROXY"):
        os.environ.pop(name, None)
    result = None
    try:
        started = time.monotonic()
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "timeout": 300}
        subprocess.run(["wine", "wineboot", "--init"], check=True, **quiet)
        # A crashing program just ends; the debugger would wait for someone forever.
        for value, data in (("Debugger", ""), ("Auto", "1")):
            subprocess.run(["wine", "reg", "add", AEDEBUG, "/v", value, "/d", data, "/f"],
                           check=True, **quiet)
        # A service's environment is the system's, from the registry, as the service manager
        # read it when it started, so this comes before the restart below.
        subprocess.run(["wine", "reg", "add", SYSTEM_ENVIRONMENT, "/v", "CORBELWYNFORD_LOG_FILE",
                        "/d", LOG_NAME, "/f"], check=True, **quiet)
        # Making the prefix leaves two service managers behind on one server, and each request
        # reaches either; a fresh persistent server then starts exactly one.
        subprocess.run(["wineserver", "-k"], **quiet)
        subprocess.run(["wineserver", "-w"], **quiet)
        subprocess.run(["wineserver", "-p"], check=True, **quiet)
        subprocess.run(["wine", "wineboot"], check=True, **quiet)
        print("Wine prefix ready in %.1f s" % (time.monotonic() - started), flush=True)
        sys.path.insert(0, HERE)
        loader = unittest.defaultTestLoader
        if len(sys.argv) > 1:  # names of modules, classes or tests to run alone
            suite = loader.loadTestsFromNames(sys.argv[1:])
        else:
            suite = loader.discover(HERE, pattern="test_wine_*.py", top_level_dir=HERE)
        result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    finally:
        subprocess.run(["wineserver", "-k"], timeout=60)
        subprocess.run(["wineserver", "-w"], timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)
    if result is None:
        passed, failed = 0, 1
    else:
        # A test counts once, however many of its subtests failed.
        failed = len({getattr(test, "test_case", test).id()
                      for test, _ in result.failures + result.errors})
        passed = result.testsRun - failed - len(result.skipped)
    print("%d passed, %d failed" % (passed, failed), flush=True)
    return 0 if result is not None and result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
