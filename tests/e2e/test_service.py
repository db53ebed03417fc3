"""The service switches on the real program, with every system path under a temporary root and
the real systemctl working offline (--root)."""

import os
import signal
import unittest

from harness import RelayTestCase

UNIT = "etc/systemd/system/corbelwynford.service"
WANTS = "etc/systemd/system/multi-user.target.wants/corbelwynford.service"
STORE = "var/lib/corbelwynford/service.ini"


class ServiceTest(RelayTestCase):
    def root(self, path):
        return os.path.join(self.folder, "root", path)

    def stored_flag(self):
        with open(self.root(STORE), "rb") as f:
            return f.read()

    def test_install_runs_as_service_until_uninstalled(self):
        relay = self.relay()
        self.assertEqual(relay.run("/i"), 0)
        self.assertIn(b"Corbelwynford service installation succeeded", relay.stderr)
        self.assertEqual(relay.entries()[-1], "Corbelwynford service was successfully installed")
        with open(self.root(UNIT)) as f:
            unit = f.read()
        self.assertIn("Type=notify", unit)
        self.assertIn('ExecStart="%s"' % relay.binary, unit)
        self.assertTrue(os.path.islink(self.root(WANTS)))
        self.assertIn(b"RunAsService=1", self.stored_flag())

        # Every start without switches now runs in service mode, also from a shell.
        relay.start()
        relay.wait_for("Corbelwynford started ok as service")
        relay.send(signal.SIGTERM)
        self.assertEqual(relay.wait_exit(), 0)
        self.assertEqual(relay.entries()[-2:], ["Corbelwynford is shutting down, reason: 1",
                                                "Corbelwynford was shutdown"])

        self.assertEqual(relay.run("x/Uninstall"), 0)
        self.assertIn(b"Corbelwynford service uninstalled successfully", relay.stderr)
        self.assertFalse(os.path.exists(self.root(UNIT)))
        self.assertFalse(os.path.lexists(self.root(WANTS)))
        self.assertIn(b"RunAsService=0", self.stored_flag())
        relay.start()
        relay.wait_for("Corbelwynford started ok as application")
        relay.send(signal.SIGTERM)
        self.assertEqual(relay.wait_exit(), 0)
        self.assertEqual(relay.entries()[-2], "Corbelwynford is shutting down, reason: 3")

    def test_failed_install_and_uninstall_keep_the_mode(self):
        relay = self.relay(env={"CORBELWYNFORD_SYSTEMCTL": "/bin/false"})
        self.assertNotEqual(relay.run("/I"), 0)
        self.assertIn(b"Corbelwynford failed to install as service", relay.stderr)
        self.assertEqual(relay.entries()[-1], "Corbelwynford service failed to install")
        self.assertFalse(os.path.exists(self.root(UNIT)))
        relay.start()
        relay.wait_for("Corbelwynford started ok as application")
        relay.send(signal.SIGINT)
        relay.wait_exit()

        installer = self.relay()
        self.assertEqual(installer.run("/I"), 0)
        relay.env["CORBELWYNFORD_SYSTEMCTL"] = "/bin/false"
        self.assertNotEqual(relay.run("/U"), 0)
        self.assertEqual(relay.entries()[-1], "Corbelwynford service failed to uninstall")
        self.assertIn(b"Corbelwynford failed to uninstall as service", relay.stderr)
        self.assertTrue(os.path.exists(self.root(UNIT)))
        self.assertIn(b"RunAsService=1", self.stored_flag())

    def test_second_instance_installs_and_removes_nothing(self):
        first = self.relay().start()
        first.wait_for("Corbelwynford started ok as application")
        second = self.relay()
        self.assertNotEqual(second.run("/I"), 0)
        self.assertFalse(os.path.exists(self.root(UNIT)))
        self.assertFalse(os.path.exists(self.root(STORE)))
        first.send(signal.SIGINT)
        first.wait_exit()


if __name__ == "__main__":
    unittest.main()
