"""The Windows service under Wine: /I registers it with the Service Control Manager, the
service manager starts and stops it, /U removes it; the mode flag lives in the registry.

Wine stores no event-log entry and never delivers the shutdown control, so neither is checked
here."""

import os
import subprocess
import time
import unittest

from winehelp import WineTestCase, run_with_box

PARAMETERS = r"HKLM\SYSTEM\CurrentControlSet\Services\Corbelwynford\Parameters"


def wine(*args, timeout=60):
    done = subprocess.run(["wine", *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          timeout=timeout)
    return done.returncode, done.stdout.decode("latin-1")


def service_state():
    _, out = wine("sc", "query", "Corbelwynford")
    for line in out.splitlines():
        if "STATE" in line:
            return line.split()[-1]
    return None


def stored_flag():
    _, out = wine("reg", "query", PARAMETERS, "/v", "RunAsService")
    for line in out.splitlines():
        parts = line.split()
        if parts[:2] == ["RunAsService", "REG_SZ"]:
            return parts[2] if len(parts) > 2 else ""
    return None


class ServiceTest(WineTestCase):
    def setUp(self):
        super().setUp()
        # Whatever a test leaves installed or running would turn every later start into service
        # mode, or refuse it as a second instance. Cleanups run last first.
        self.addCleanup(lambda: wine("reg", "add", PARAMETERS, "/v", "RunAsService", "/d", "0",
                                     "/f"))
        self.addCleanup(lambda: wine("sc", "delete", "Corbelwynford"))
        self.addCleanup(lambda: wine("net", "stop", "Corbelwynford"))

    def wait_state(self, state, timeout=30):
        deadline = time.monotonic() + timeout
        while service_state() != state:
            if time.monotonic() > deadline:
                raise AssertionError("service not %s but %s" % (state, service_state()))
            time.sleep(0.2)

    def test_install_start_stop_uninstall(self):
        relay = self.relay()
        status, box = run_with_box(relay, "/i")
        self.assertEqual(status, 0)
        self.assertEqual(box["text"], "Corbelwynford service installation succeeded")
        self.assertEqual(box["icon"], "0")
        self.assertEqual(relay.entries()[-1], "Corbelwynford service was successfully installed")
        self.assertEqual(service_state(), "STOPPED")
        self.assertEqual(stored_flag(), "1")

        code, out = wine("net", "start", "Corbelwynford")
        self.assertEqual(code, 0, out)
        self.wait_state("RUNNING")
        entries = relay.wait_for("Corbelwynford started ok as service")
        self.assertEqual(entries[-2], "Corbelwynford - version 1.0.02 is starting...")

        code, out = wine("net", "stop", "Corbelwynford")
        self.assertEqual(code, 0, out)
        self.wait_state("STOPPED")
        entries = relay.wait_for("Corbelwynford was shutdown")
        self.assertEqual(entries[-2:], ["Corbelwynford is shutting down, reason: 1",
                                        "Corbelwynford was shutdown"])

        status, box = run_with_box(relay, "x/Uninstall")
        self.assertEqual(status, 0)
        self.assertEqual(box["text"], "Corbelwynford service uninstalled successfully")
        self.assertEqual(relay.entries()[-1], "Corbelwynford service uninstalled successfully")
        self.assertIsNone(service_state())
        self.assertEqual(stored_flag(), "0")

        # A second removal finds nothing to remove and keeps the mode.
        status, box = run_with_box(relay, "/U")
        self.assertNotEqual(status, 0)
        self.assertEqual(box["text"], "Corbelwynford failed to uninstall as service")
        self.assertEqual(stored_flag(), "0")

    def test_second_install_fails_and_keeps_the_mode(self):
        relay = self.relay()
        self.assertEqual(run_with_box(relay, "/I")[0], 0)
        status, box = run_with_box(relay, "/I")
        self.assertNotEqual(status, 0)
        self.assertEqual(box["text"], "Corbelwynford failed to install as service")
        self.assertEqual(relay.entries()[-1], "Corbelwynford service failed to install")
        self.assertEqual(stored_flag(), "1")
        self.assertEqual(run_with_box(relay, "/U")[0], 0)


if __name__ == "__main__":
    unittest.main()
