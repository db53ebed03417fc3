"""The scan of the incoming file on the real program: settings are read on every scan, the
interval included, and a watched folder is claimed from at once and followed. (A claim file left
over, going first after a crash, is tests/e2e/test_stop.py's.)"""

import os
import time
import unittest

from harness import STARTED, RelayTestCase, ini, wait_until


class ScanTest(RelayTestCase):
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
