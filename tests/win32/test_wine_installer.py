"""The set-up program's life, with the installed program as a service: a silent install with
/SERVICE=1, the service started (it relays a message) and stopped, "/U" and "/I" answering in
their boxes, a second install over the edited settings, a silent uninstall. The steps build on
each other."""

import glob
import os
import shutil
import unittest

from winehelp import BUILD_DIR, WineTestCase, probe, service_state, wine
from harness import LOG_FILE, OK, ini, read  # noqa: E402

SETUP = (glob.glob(os.path.join(BUILD_DIR, "corbelwynford-*-setup.exe")) or ["no set-up"])[0]
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corbelwynford"
WIN_FOLDER = r"C:\Program Files\Corbelwynford"
PARAMETERS = r"HKLM\SYSTEM\CurrentControlSet\Services\Corbelwynford\Parameters"


class InstallerTest(WineTestCase):
    def test_install_run_as_service_upgrade_uninstall(self):
        # A service left behind would turn every later start of the program into service mode.
        self.addCleanup(wine, "reg", "add", PARAMETERS, "/v", "RunAsService", "/d", "0", "/f")
        self.addCleanup(wine, "sc", "delete", "Corbelwynford")
        self.addCleanup(wine, "net", "stop", "Corbelwynford")
        drive_c = os.path.join(os.environ["WINEPREFIX"], "drive_c")
        folder = os.path.join(drive_c, "Program Files", "Corbelwynford")
        self.assertEqual(wine(SETUP, "/S", "/SERVICE=1")[0], 0)
        # The log file is the one "/I /Q" wrote.
        self.assertEqual(sorted(os.listdir(folder)),
                         ["Corbelwynford.INI", LOG_FILE, "corbelwynford.exe", "uninstall.exe"])
        self.assertIn('"%s\\uninstall.exe"' % WIN_FOLDER, wine("reg", "query", UNINSTALL_KEY)[1])
        self.assertEqual(service_state(), "STOPPED")

        server = self.server()
        relay = self.relay(folder)
        relay.write_ini(ini(server.url()))
        self.assertEqual(wine("net", "start", "Corbelwynford")[0], 0)
        relay.drop(b"from the service")
        self.assertEqual(relay.wait_outcomes(1, timeout=40), [OK])
        self.assertEqual(server.bodies(), [b"from the service"])
        relay.wait_gone()
        self.assertEqual(wine("net", "stop", "Corbelwynford")[0], 0)
        self.assertEqual(relay.wait_for("Corbelwynford was shutdown")[-2:], [
            "Corbelwynford is shutting down, reason: 1", "Corbelwynford was shutdown"])

        for switch, text, state in (
                ("/U", "Corbelwynford service uninstalled successfully", None),
                ("/I", "Corbelwynford service installation succeeded", "STOPPED")):
            relay.start(switch)  # answers in a box, which the probe reads and confirms
            self.assertEqual(probe("box").get("text"), text)
            self.assertEqual(relay.wait_exit(timeout=30), 0)
            self.assertEqual(service_state(), state)

        edited = read(relay.path("Corbelwynford.INI"))
        self.assertEqual(wine(SETUP, "/S")[0], 0)
        self.assertEqual(read(relay.path("Corbelwynford.INI")), edited)

        # Run in place from a copy, as the uninstaller itself would, to get its exit status;
        # "_?=" takes the rest of the line unquoted.
        shutil.copy2(relay.path("uninstall.exe"), os.path.join(drive_c, "cw-uninstall.exe"))
        self.assertEqual(wine("cmd", "/c", r"C:\cw-uninstall.exe /S _?=" + WIN_FOLDER)[0], 0)
        self.assertIsNone(service_state())
        self.assertNotEqual(wine("reg", "query", UNINSTALL_KEY)[0], 0)
        self.assertEqual(sorted(os.listdir(folder)), ["Corbelwynford.INI", LOG_FILE])
        self.assertEqual(read(relay.path("Corbelwynford.INI")), edited)


if __name__ == "__main__":
    unittest.main()
