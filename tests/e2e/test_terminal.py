"""The live log window under a real terminal (tmux): the list and the status bar, a refit after a
resize, and q closing with reason 0."""

import os
import shutil
import subprocess
import time
import unittest

from harness import RelayTestCase


class TerminalTest(RelayTestCase):
    def setUp(self):
        super().setUp()
        self.socket = "cw-test-%d" % os.getpid()
        self.tmux_started = False

    def tearDown(self):
        if self.tmux_started:
            subprocess.run(["tmux", "-L", self.socket, "kill-server"], timeout=10,
                           stderr=subprocess.DEVNULL)
        super().tearDown()

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], capture_output=True,
                              timeout=10, check=True).stdout.decode("utf-8", "replace")

    def screen(self):
        return self.tmux("capture-pane", "-p", "-t", "s").split("\n")

    def wait_screen(self, predicate, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            lines = self.screen()
            if predicate(lines):
                return lines
            time.sleep(0.1)
        self.fail("screen never matched:\n" + "\n".join(self.screen()))

    def test_window_draws_refits_and_closes_on_q(self):
        if shutil.which("tmux") is None:
            self.fail("tmux is not installed")
        relay = self.relay()
        out = os.path.join(self.folder, "after.txt")
        # The program runs in the pane; what it leaves on exit is kept by the shell around it.
        command = "env LC_ALL=C TERM=xterm CORBELWYNFORD_ROOT=%s %s; echo exit=$? > %s; sleep 30" % (
            os.path.join(self.folder, "root"), relay.binary, out)
        self.tmux("-f", "/dev/null", "new-session", "-d", "-s", "s", "-x", "90", "-y", "14",
                  "sh", "-c", command)
        self.tmux_started = True
        lines = self.wait_screen(lambda l: any("started ok as application" in x for x in l))
        self.assertIn("-" * 60, lines[0])
        self.assertIn("Corbelwynford - version 1.0.02 is starting...", lines[1])
        status = lines[13]
        self.assertRegex(status, r"\d\d/\d\d/\d\d")
        self.assertRegex(status, r"\d\d:\d\d\s*$")

        self.tmux("resize-window", "-t", "s", "-x", "50", "-y", "8")
        lines = self.wait_screen(lambda l: len(l) >= 8 and "/" in l[7] and ":" in l[7])
        self.assertLessEqual(len(lines[0].rstrip()), 50)
        self.assertRegex(lines[7], r"\d\d:\d\d\s*$")

        self.tmux("send-keys", "-t", "s", "q")
        deadline = time.monotonic() + 15
        while not os.path.exists(out) and time.monotonic() < deadline:
            time.sleep(0.1)
        with open(out) as f:
            self.assertEqual(f.read().strip(), "exit=0")


if __name__ == "__main__":
    unittest.main()
