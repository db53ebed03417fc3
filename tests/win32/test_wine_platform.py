"""The platform layer's own checks (win32_platform_test.exe) under Wine, against the loopback
test server: list, timers, close reasons, files, profile reader, WinHTTP."""

import subprocess
import unittest

from winehelp import PLATFORM_TEST, WineTestCase, windows_path


class PlatformTest(WineTestCase):
    def test_platform_checks(self):
        server = self.server()
        done = subprocess.run(["wine", PLATFORM_TEST, str(server.port), windows_path(self.folder),
                               windows_path(server.record)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=180)
        out = done.stdout.decode("latin-1")
        self.assertEqual(done.returncode, 0, out)
        self.assertRegex(out, r"(?m)^\d+ passed, 0 failed")


if __name__ == "__main__":
    unittest.main()
