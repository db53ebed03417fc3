"""The scan of the incoming file on the real program: a claim file left over goes first, also
after a crash in the middle of a message; settings are read on every scan, the interval included;
a watched folder."""

import os
import signal
import time
import unittest

from harness import STARTED, RelayTestCase, ini, wait_until


class ScanTest(RelayTestCase):
    def test_claim_file_goes_first_and_again_after_a_crash(self):
        server, relay = self.server(), self.relay()
        relay.write_ini(ini(server.url("/never"), wait=60))
        relay.drop(b"a1\ra2")
        relay.start()
        wait_until(lambda: server.bodies() == [b"a1"], 15, "the first request")
        relay.send(signal.SIGKILL)  # in the middle of a message
        relay.wait_exit()
        relay.drop(b"b1")  # waits behind the claim file left over
        relay.write_ini(ini(server.url()))
        relay.start()
        relay.wait_outcomes(3)
        relay.wait_gone()
        self.assertEqual(server.bodies(), [b"a1", b"a1", b"a2", b"b1"])

    def test_settings_read_on_each_scan_and_the_interval(self):
        server, relay = self.server(), self.relay()
        # An interval of 0 counts as one second: the next scan still comes.
        relay.write_ini(ini(server.url(), xml="v1:[Message]", interval=0))
        relay.start()
        relay.drop(b"x")
        relay.wait_outcomes(1)
        relay.write_ini(ini(server.url(), xml="v2:[Message]", general="FileToScan=in/sms.txt",
                            interval=60))
        os.mkdir(relay.path("in"))
        relay.drop(b"y", "in/sms.txt")
        relay.wait_outcomes(2)
        relay.wait_gone("in/sms.txt.$$$")
        self.assertEqual(server.bodies(), [b"v1:x", b"v2:y"])
        # From now on the scan comes every 60 s.
        relay.drop(b"z", "in/sms.txt")
        time.sleep(4)
        self.assertTrue(os.path.exists(relay.path("in/sms.txt")))

    def test_a_watched_folder_is_claimed_from_at_once_and_followed(self):
        server, relay = self.server(), self.relay()
        settings = lambda name: ini(server.url(), general="WatchFile=1\r\nFileToScan=" + name,
                                    interval=60)
        relay.write_ini(settings("in/sms.txt"))
        relay.start().wait_for(STARTED)
        time.sleep(3.5)  # scans every second, until a file is done, with the folder missing
        os.mkdir(relay.path("in"))
        for n, data in enumerate([b"first", b"next", b"next"], 1):
            relay.drop(data, "in/sms.txt")  # the first by a scan, the others long before the next
            relay.wait_outcomes(n, timeout=10)
            relay.wait_gone("in/sms.txt.$$$")
        # The next cycle, which a file in the old folder starts, watches the new one.
        relay.write_ini(settings("InComingSMS.txt"))
        relay.drop(b"stays", "in/sms.txt")
        time.sleep(1)
        relay.drop(b"moved")
        relay.wait_outcomes(4, timeout=10)
        self.assertEqual(server.bodies(), [b"first", b"next", b"next", b"moved"])
        line = ("Corbelwynford cannot watch %s/: No such file or directory; scanning every "
                "ScanInterval" % relay.path("in"))
        self.assertEqual("".join(relay.entries()).count(line), 1)  # in entries of 100 bytes


if __name__ == "__main__":
    unittest.main()
