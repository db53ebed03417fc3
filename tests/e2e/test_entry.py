"""The program entry on the real binary: an error that escapes start-up, --help and --version
beside the service switches, and the title of the critical box with and without a terminal.
Each test runs a copy of the binary in a folder of its own; every wait is bounded."""

import os
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest


class EntryTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="cw_entry_")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.binary = shutil.copy2(os.environ["CORBELWYNFORD_BINARY"], self.folder)
        self.env = dict(os.environ, CORBELWYNFORD_ROOT=os.path.join(self.folder, "root"),
                        LC_ALL="C", TERM="xterm")

    def start(self, *args, **streams):
        process = subprocess.Popen([self.binary, *args], env=self.env, **streams)
        self.addCleanup(process.wait, 20)
        self.addCleanup(process.send_signal, signal.SIGKILL)
        return process

    def test_command_lines(self):
        # "/I" registers the unit, then the mode cannot be stored: a file holds its folder's place.
        os.makedirs(os.path.join(self.folder, "root", "var"))
        open(os.path.join(self.folder, "root", "var", "lib"), "w").close()
        version = os.environ["CORBELWYNFORD_VERSION"].encode()
        for args, status, out, err in [
                (["--version"], 0, version + b"\n", b""),
                (["--help"], 0, b"--version", b""),
                (["/U", "--version"], 1, b"Corbelwynford service failed to uninstall",
                 b"Corbelwynford failed to uninstall as service"),
                (["/I"], 1, b"Run-time error: Cannot create folder",
                 b"Corbelwynford: Run-time error: Cannot create folder")]:
            with self.subTest(args=args):
                result = subprocess.run([self.binary, *args], env=self.env, capture_output=True,
                                        stdin=subprocess.DEVNULL, timeout=60)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(out, result.stdout)
                self.assertIn(err, result.stderr)

    def test_critical_box_carries_the_program_title(self):
        first = self.start(stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(first.stdout.close)
        self.assertIn(b"started ok", read_until(first.stdout.fileno(), b"started ok"))

        second = self.start(stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.assertEqual(second.communicate(timeout=20)[1],
                         b"Corbelwynford: (X) Corbelwynford is already started!\n")
        self.assertEqual(second.returncode, 1)

        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        drawn = self.start(stdin=slave, stdout=slave, stderr=slave)
        os.close(slave)
        screen = read_until(master, b"[ OK ]")
        self.assertIn(b" Corbelwynford ", screen)
        self.assertIn(b"(X) Corbelwynford is already started!", screen)
        self.assertNotIn(b"(stop)", screen)
        os.write(master, b"\r")
        self.assertEqual(drawn.wait(20), 1)


def read_until(fd, text, timeout=20):
    """Bytes read from fd until they hold text, the stream ends or the time is up."""
    data, end = b"", time.monotonic() + timeout
    while text not in data and select.select([fd], [], [], max(end - time.monotonic(), 0))[0]:
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
