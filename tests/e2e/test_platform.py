"""What the Linux platform does itself: signals and their close reasons, the one-instance lock,
service mode, and the live window in a real terminal (tmux)."""

import os
import re
import shutil
import signal
import subprocess
import unittest

from harness import STARTED, RelayTestCase, read, wait_until


SHUTDOWN = ["Corbelwynford is shutting down, reason: %d", "Corbelwynford was shutdown"]


class PlatformTest(RelayTestCase):
    def test_signals_close_with_their_reasons(self):
        # In service mode (the stored flag) SIGTERM is the service manager's stop, reason 1.
        def check(row):
            _, sig, reason, mode = row
            relay = self.relay()
            os.makedirs(relay.path("root/var/lib/corbelwynford"))
            with open(relay.path("root/var/lib/corbelwynford/service.ini"), "w") as f:
                f.write("[Parameters]\nRunAsService=%d\n" % (mode == "service"))
            relay.start().wait_for("Corbelwynford started ok as " + mode)
            relay.send(sig)
            self.assertEqual(relay.wait_exit(), 0)
            self.assertEqual(relay.entries()[-2:], [SHUTDOWN[0] % reason, SHUTDOWN[1]])

        self.run_rows([("SIGINT", signal.SIGINT, 0, "application"),
                       ("SIGTERM", signal.SIGTERM, 3, "application"),
                       ("SIGHUP", signal.SIGHUP, 2, "application"),
                       ("service stop", signal.SIGTERM, 1, "service")], check)

    def test_one_instance_per_program_until_it_is_killed(self):
        first = self.relay().start()
        first.wait_for(STARTED)
        second = self.relay(first.folder)
        self.assertNotEqual(second.start("/I").wait_exit(), 0)
        self.assertEqual(second.entries(), [])
        # Every box carries the program's title; the stop style shows inside it.
        self.assertEqual(second.stderr, b"Corbelwynford: (X) Corbelwynford is already started!\n")
        self.assertFalse(os.path.exists(first.path("root/etc")))  # nothing installed
        first.send(signal.SIGKILL)
        first.wait_exit()
        second.start().wait_for(STARTED)
        self.assertEqual(second.stop(), 0)

    def test_command_lines(self):
        # --help and --version only as the whole command line, and a switch anywhere in it; an
        # error that escapes start-up ("/I" registers the unit, then a file in its folder's place
        # keeps the mode from being stored) ends with its reason on standard error and status 1.
        rows = [("version", ["--version"], 0, os.environ["CORBELWYNFORD_VERSION"].encode(), b""),
                ("help", ["--help"], 0, b"Usage: corbelwynford [--help", b""),
                ("switch beside help and version", ["--help", "/U", "--version"], 1,
                 b"Corbelwynford service failed to uninstall", b"failed to uninstall as service"),
                ("escaping error", ["/I"], 1, b"Run-time error: Cannot create folder",
                 b"Corbelwynford: Run-time error: Cannot create folder")]

        def check(row):
            _, args, status, out, err = row
            relay = self.relay()
            os.makedirs(relay.path("root/var"))
            open(relay.path("root/var/lib"), "w").close()
            self.assertEqual(relay.start(*args).wait_exit(), status)
            self.assertIn(err, relay.stderr)
            self.assertIn(out, b"\n".join(relay.lines))

        self.run_rows(rows, check)

    @unittest.skipIf(shutil.which("tmux") is None, "no tmux")
    def test_window_in_a_terminal_refits_shows_the_newest_and_closes_on_q(self):
        relay = self.relay()
        done = relay.path("exit.txt")
        # Closing the tmux server hangs the window up; a relay that ignored that would stay until
        # its time-out.
        server = ["tmux", "-L", "cw-test-%d" % os.getpid()]
        self.addCleanup(subprocess.run, server + ["kill-server"], stderr=subprocess.DEVNULL)

        def tmux(*args):
            return subprocess.run(server + list(args), check=True, capture_output=True,
                                  timeout=10).stdout.decode("utf-8", "replace")

        tmux("-f", "/dev/null", "new-session", "-d", "-s", "s", "-x", "90", "-y", "14", "sh", "-c",
             "env TERM=xterm CORBELWYNFORD_ROOT=%s timeout --foreground 60 %s; echo $? > %s; "
             "sleep 30" % (relay.path("root"), relay.binary, done))
        screen = lambda: tmux("capture-pane", "-p", "-t", "s").split("\n")  # noqa: E731
        wait_until(lambda: "started ok as application" in str(screen()), 15, "the log on screen")
        lines = screen()
        self.assertIn("-" * 60, lines[0])
        self.assertRegex(lines[13], r"\d\d/\d\d/\d\d.*\d\d:\d\d\s*$")  # the status bar
        # Two rows for three entries: the newest two, cut at the window's edge.
        tmux("resize-window", "-t", "s", "-x", "50", "-y", "3")
        wait_until(lambda: len(screen()) >= 3 and re.search(r"\d\d:\d\d\s*$", screen()[2]), 15,
                   "the status bar on the last row")
        lines = screen()
        self.assertIn("version", lines[0])
        self.assertIn("started ok", lines[1])
        self.assertTrue(all(len(line.rstrip()) <= 50 for line in lines))
        tmux("send-keys", "-t", "s", "q")
        wait_until(lambda: os.path.exists(done) and os.path.getsize(done), 15, "the exit")
        self.assertEqual(read(done).strip(), b"0")


if __name__ == "__main__":
    unittest.main()
