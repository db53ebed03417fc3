"""The program entry on the real binary: an error that escapes start-up, the service switches
beside --help and --version, and the title of the critical message box on a terminal and without
one. Each case runs a copy of the binary in a folder of its own; every wait is bounded and every
process is ended by its own id."""

import os
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

BINARY = os.environ["CORBELWYNFORD_BINARY"]
VERSION = os.environ["CORBELWYNFORD_VERSION"].encode()


class EntryTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="cw_entry_")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.binary = os.path.join(self.folder, "corbelwynford")
        shutil.copy2(BINARY, self.binary)
        self.env = dict(os.environ, CORBELWYNFORD_ROOT=os.path.join(self.folder, "root"),
                        LC_ALL="C", TERM="xterm")

    def run_program(self, *args):
        return subprocess.run([self.binary, *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)

    def test_command_lines(self):
        # A store folder that cannot be made: "/I" registers the unit, then saving the flag fails.
        os.makedirs(os.path.join(self.folder, "root", "var"))
        with open(os.path.join(self.folder, "root", "var", "lib"), "w") as f:
            f.write("a file where the folder should be")
        rows = [
            # arguments, exit status, text on standard output, text on standard error
            (["--version"], 0, VERSION + b"\n", b""),
            (["/U", "--version"], 1, b"Corbelwynford service failed to uninstall",
             b"Corbelwynford failed to uninstall as service"),
            (["--help"], 0, b"--version", b""),
            (["/I"], 1, b"Run-time error: Cannot create folder", b"Cannot create folder"),
        ]
        for args, status, out, err in rows:
            with self.subTest(args=args):
                result = self.run_program(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(out, result.stdout)
                self.assertIn(err, result.stderr)

    def test_critical_box_carries_the_program_title(self):
        first = subprocess.Popen([self.binary], env=self.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(first.stdout.close)
        self.addCleanup(first.wait, 20)
        self.addCleanup(first.send_signal, signal.SIGKILL)
        self.assertIn(b"started ok", read_until(first.stdout.fileno(), b"started ok"))

        second = self.run_program()
        self.assertEqual(second.returncode, 1)
        self.assertEqual(second.stderr, b"Corbelwynford: (X) Corbelwynford is already started!\n")

        # On a terminal: the box is drawn, titled as every box, and OK closes it.
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        drawn = subprocess.Popen([self.binary], env=self.env, stdin=slave, stdout=slave,
                                 stderr=slave)
        os.close(slave)
        self.addCleanup(drawn.wait, 20)
        self.addCleanup(drawn.send_signal, signal.SIGKILL)
        screen = read_until(master, b"[ OK ]")
        self.assertIn(b" Corbelwynford ", screen)
        self.assertIn(b"(X) Corbelwynford is already started!", screen)
        self.assertNotIn(b"(stop)", screen)
        os.write(master, b"\r")
        self.assertEqual(drawn.wait(20), 1)


def read_until(fd, text, timeout=20):
    """Bytes read from fd until they hold text, the stream ends or the time is up."""
    data = b""
    end = time.monotonic() + timeout
    while text not in data and time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], max(end - time.monotonic(), 0))
        if not ready:
            break
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


if __name__ == "__main__":
    unittest.main()
