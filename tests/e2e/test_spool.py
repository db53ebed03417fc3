"""The relay and its feed touch nothing that is not their own, on the real program: a FailedFile
that names the settings file is ignored, a failed-message file that is a link to the incoming file
is never written through, a feed refuses a dangling link at once and a settings file it cannot
read, and a last line without its line end stays a message of its own."""

import os
import subprocess
import time
import unittest

from harness import STARTED, RelayTestCase, ini, wait_until


class SpoolTest(RelayTestCase):
    def test_the_relay_keeps_to_files_of_its_own(self):
        def settings_as_failed_file(server, relay):
            relay.write_ini(ini(server.url(), general="FailedFile=./Corbelwynford.INI\r\n"
                                "RetryAfter=1"))
            relay.start().wait_for(STARTED)
            time.sleep(3)  # idle scans, each with the settings file past RetryAfter
            relay.drop(b"m")
            relay.wait_outcomes(1)
            self.assertTrue(os.path.exists(relay.path("Corbelwynford.INI")))
            return ["Corbelwynford keeps no failed message in %s/./Corbelwynford.INI: it is the "
                    "settings file, and FailedFile must name a file of its own" % relay.folder]

        def failed_file_linked_to_the_incoming_file(server, relay):
            relay.write_ini(ini(server.url("/status/500"), general="FailedFile=failed.txt\r\n"
                                "RetryAfter=1"))
            os.symlink("InComingSMS.txt", relay.path("failed.txt"))
            relay.start()
            relay.drop(b"m")
            relay.wait_outcomes(1)
            time.sleep(4)  # retries would come every second
            self.assertTrue(os.path.islink(relay.path("failed.txt")))
            return ["Corbelwynford cannot send %s again (%s is a symbolic link); it is left alone"
                    % ((relay.path("failed.txt"),) * 2)]

        def check(row):
            server, relay = self.server(), self.relay()
            said = row[1](server, relay)
            self.assertEqual(server.bodies(), [b"m"])
            self.assertEqual("".join(relay.entries()).count(said[0]), 1)

        self.run_rows([("settings file", settings_as_failed_file),
                       ("link", failed_file_linked_to_the_incoming_file)], check)

    def test_a_feed_writes_only_where_the_relay_reads(self):
        def feed(relay, as_nobody=False):
            command = [relay.binary, "--feed"]
            if as_nobody and os.geteuid() == 0:
                command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + command
            # Bounded well below the feed's own 10 s wait for a lock: a refusal comes at once.
            return subprocess.run(command, input=b"fed", env=relay.env, capture_output=True,
                                  timeout=5)

        def dangling_link(relay):
            os.symlink("nowhere", relay.path("InComingSMS.txt"))
            return feed(relay), relay.path("InComingSMS.txt") + " is a symbolic link"

        def unreadable_settings(relay):
            # Through a link, as the package's /opt/corbelwynford names /etc/corbelwynford's.
            os.makedirs(relay.path("etc"))
            os.replace(relay.path("Corbelwynford.INI"), relay.path("etc/Corbelwynford.INI"))
            os.symlink(relay.path("etc/Corbelwynford.INI"), relay.path("Corbelwynford.INI"))
            os.chmod(relay.path("etc/Corbelwynford.INI"), 0o600 if os.geteuid() == 0 else 0)
            for folder in (self.folder, relay.folder):
                os.chmod(folder, 0o755)
            return feed(relay, True), "cannot read %s: Permission denied" % relay.path(
                "etc/Corbelwynford.INI")

        def check(row):
            relay = self.relay()
            relay.write_ini(ini("http://127.0.0.1:9/"))
            done, reason = row[1](relay)
            self.assertEqual(done.returncode, 1)
            self.assertIn(reason, done.stderr.decode())
            self.assertFalse(os.path.isfile(relay.path("InComingSMS.txt")))

        self.run_rows([("dangling link", dangling_link), ("unreadable", unreadable_settings)],
                      check)

    def test_a_last_line_without_its_line_end_stays_a_message_of_its_own(self):
        server, relay = self.server(), self.relay()
        relay.write_ini(ini(server.url()))
        relay.drop(b"by hand")
        subprocess.run([relay.binary, "--feed"], input=b"fed", env=relay.env, check=True,
                       timeout=30)
        relay.start()
        wait_until(lambda: len(server.bodies()) >= 2, 15, "two requests")
        self.assertEqual(server.bodies(), [b"by hand", b"fed"])


if __name__ == "__main__":
    unittest.main()
