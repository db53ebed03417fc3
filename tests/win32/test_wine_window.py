"""The main window under Wine and Xvfb: the list above the status bar, refitted on resize, and
the close reason of each of the window's own close requests."""

import unittest

from winehelp import WineTestCase, probe, sizes
from harness import STARTED  # noqa: E402


class WindowTest(WineTestCase):
    def assert_list_fits(self, window):
        """The status bar along the bottom, the list filling the rest of the client area."""
        width, height = sizes(window["client"])
        _, top, bar_width, bar_height = sizes(window["status"])
        self.assertEqual([top + bar_height, bar_width], [height, width])
        self.assertEqual(sizes(window["list"]), [0, 0, width, height - bar_height])

    def test_window_and_close_reasons(self):
        relay = self.relay()
        rows = (("close-person", 0), ("close-other", 3), ("end-session", 2))
        for runs, (command, reason) in enumerate(rows, 1):
            with self.subTest(command):
                relay.start()
                relay.wait_for(STARTED, count=runs)  # the log file grows over the runs
                if reason == 0:
                    window = probe("window")
                    self.assertEqual(window["count"], "3")  # the start-up entries
                    self.assert_list_fits(window)
                    bigger = probe("resize", "640", "400")
                    self.assertGreater(sizes(bigger["client"])[0], sizes(window["client"])[0])
                    self.assert_list_fits(bigger)
                self.assertNotEqual(probe(command).get("answer"), "0")  # a session end is allowed
                self.assertEqual(relay.wait_exit(), 0)
                self.assertEqual(relay.entries()[-2:], [
                    "Corbelwynford is shutting down, reason: %d" % reason,
                    "Corbelwynford was shutdown"])


if __name__ == "__main__":
    unittest.main()
