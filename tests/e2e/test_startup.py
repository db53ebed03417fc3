"""The real program without a terminal: start-up lines, the close reasons of the signals, the
one-instance rule, and a restart after SIGKILL."""

import os
import signal
import unittest

from harness import SEPARATOR, RelayTestCase

STARTED = ["Corbelwynford - version 1.0.02 is starting...", "Corbelwynford started ok as application"]


class StartupTest(RelayTestCase):
    def test_signals_close_with_their_reasons(self):
        for sig, reason in ((signal.SIGINT, 0), (signal.SIGTERM, 3), (signal.SIGHUP, 2)):
            with self.subTest(signal=sig):
                relay = self.relay().start()
                relay.wait_for(STARTED[1])
                relay.send(sig)
                self.assertEqual(relay.wait_exit(), 0)
                self.assertEqual(relay.entries(), [SEPARATOR] + STARTED + [
                    "Corbelwynford is shutting down, reason: %d" % reason,
                    "Corbelwynford was shutdown"])

    def test_second_instance_is_refused_until_the_first_is_killed(self):
        first = self.relay().start()
        first.wait_for(STARTED[1])
        second = self.relay()
        self.assertNotEqual(second.run("/I"), 0)
        self.assertEqual(second.lines, [])
        self.assertIn(b"Corbelwynford is already started!", second.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "root", "etc")))

        first.process.send_signal(signal.SIGKILL)
        first.wait_exit()
        third = self.relay().start()
        third.wait_for(STARTED[1])
        third.send(signal.SIGINT)
        self.assertEqual(third.wait_exit(), 0)

    def test_help_and_version(self):
        relay = self.relay()
        relay.start("--version")
        self.assertEqual(relay.wait_exit(), 0)
        self.assertEqual(relay.lines, [b"1.0.02"])
        relay.start("--help")
        self.assertEqual(relay.wait_exit(), 0)
        text = b"\n".join(relay.lines)
        self.assertNotIn(b"/I", text.upper())
        self.assertNotIn(b"/U", text.upper())
        self.assertIn(b"Corbelwynford.INI", text)


if __name__ == "__main__":
    unittest.main()
