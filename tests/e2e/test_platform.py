"""What the Linux platform does itself: signals and their close reasons, the one-instance lock,
service mode, and the live window in a real terminal (tmux)."""

import os
import shutil
import signal
import subprocess
import unittest

from harness import STARTED, RelayTestCase, wait_until


def end_if_running(pid, binary):
    """Kills pid while it is still the relay this test started."""
    try:
        if os.readlink("/proc/%d/exe" % pid).startswith(os.path.realpath(binary)):
            os.kill(pid, signal.SIGKILL)
    except OSError:
        pass  # ended already

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
        # --help and --version only as the whole command line; an error that escapes start-up
        # ("/I" registers the unit, then a file in its folder's place keeps the mode from being
        # stored) ends with its reason on standard error and status 1.
        rows = [("version", ["--version"], 0, os.environ["CORBELWYNFORD_VERSION"].encode(), b""),
                ("switch beside version", ["/U", "--version"], 1,
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
    def test_window_in_a_terminal_refits_and_closes_on_q(self):
        relay = self.relay()
        done = relay.path("exit.txt")
        tmux = ["tmux", "-L", "cw-test-%d" % os.getpid()]
        self.addCleanup(subprocess.run, tmux + ["kill-server"], stderr=subprocess.DEVNULL)

        def screen():
            return subprocess.run(tmux + ["capture-pane", "-p", "-t", "s"], capture_output=True,
                                  timeout=10, check=True).stdout.decode("utf-8", "replace")

        subprocess.run(tmux + ["-f", "/dev/null", "new-session", "-d", "-s", "s", "-x", "90", "-y",
                               "14", "sh", "-c", "env TERM=xterm CORBELWYNFORD_ROOT=%s %s; echo $? "
                               "> %s; sleep 30" % (relay.path("root"), relay.binary, done)],
                       check=True, timeout=10)
        wait_until(lambda: "started ok as application" in screen(), 15, "the log on screen")
        # Closing the tmux server hangs the window up; a relay that ignored that would stay.
        shell = subprocess.run(tmux + ["display-message", "-p", "-t", "s", "#{pane_pid}"],
                               capture_output=True, timeout=10, check=True).stdout.split()[0]
        with open(b"/proc/%s/task/%s/children" % (shell, shell), "rb") as f:
            self.addCleanup(end_if_running, int(f.read().split()[0]), relay.binary)
        lines = screen().split("\n")
        self.assertIn("-" * 60, lines[0])
        self.assertRegex(lines[13], r"\d\d/\d\d/\d\d.*\d\d:\d\d\s*$")  # the status bar
        subprocess.run(tmux + ["resize-window", "-t", "s", "-x", "50", "-y", "8"], check=True)
        wait_until(lambda: len(screen().split("\n")) >= 8 and
                   ":" in screen().split("\n")[7], 15, "the status bar on the last row")
        self.assertTrue(all(len(line.rstrip()) <= 50 for line in screen().split("\n")))
        subprocess.run(tmux + ["send-keys", "-t", "s", "q"], check=True)
        wait_until(lambda: os.path.exists(done) and os.path.getsize(done), 15, "the exit")
        with open(done) as f:
            self.assertEqual(f.read().strip(), "0")


if __name__ == "__main__":
    unittest.main()
