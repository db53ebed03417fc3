"""The main window under Wine and Xvfb: the list with the start-up lines above the status bar,
the resize handler, the close reasons, and the one-instance rule."""

import os
import subprocess
import unittest

from winehelp import SHOT_DIR, WineTestCase, probe, run_with_box, sizes
from harness import LOG_FILE  # noqa: E402

STARTED = "Corbelwynford started ok as application"
SEPARATOR = "-" * 100


def screenshot(name):
    os.makedirs(SHOT_DIR, exist_ok=True)
    path = os.path.join(SHOT_DIR, name)
    subprocess.run(["import", "-window", "root", path], check=True, timeout=60)
    return path


def mean_and_min(path, x, y, w, h):
    """The mean and the darkest grey level (0..1) of a rectangle of the screenshot."""
    out = subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "-colorspace",
                          "gray", "-format", "%[fx:mean] %[fx:minima]", "info:"],
                         stdout=subprocess.PIPE, check=True, timeout=60).stdout.split()
    return float(out[0]), float(out[1])


class WindowTest(WineTestCase):
    def assert_list_fits(self, window):
        client_w, client_h = sizes(window["client"])
        status = sizes(window["status"])
        self.assertEqual(status[1] + status[3], client_h)  # docked at the bottom
        self.assertEqual(status[2], client_w)              # over the full width
        self.assertEqual(sizes(window["list"]), [0, 0, client_w, client_h - status[3]])

    def test_list_status_bar_and_resize(self):
        relay = self.relay()
        relay.start()
        relay.wait_for(STARTED)
        window = probe("window")
        self.assertEqual(window["caption"], "Corbelwynford - version 1.0.02")
        self.assertEqual(window["visible"], "1")
        self.assert_list_fits(window)
        # The entries as the LISTBOX shows them, the newest selected.
        self.assertEqual(len(window["items"]), 3)
        self.assertTrue(window["items"][0].endswith(" " + SEPARATOR))
        self.assertTrue(window["items"][1].endswith(" Corbelwynford - version 1.0.02 is starting..."))
        self.assertTrue(window["items"][2].endswith(" " + STARTED))
        self.assertEqual(window["selected"], "2")
        # An empty panel, the short date and the time in hours and minutes.
        self.assertEqual(window["parts"], "3")
        self.assertEqual(window["part0_length"], "0")
        self.assertEqual(int(window["part1_length"]), len(window["expected_date"]))
        self.assertEqual(int(window["part2_length"]), len(window["expected_time"]))

        shot = screenshot("window.png")
        x, y = sizes(window["origin"])
        list_w, list_h = sizes(window["list"])[2:]
        mean, darkest = mean_and_min(shot, x + 4, y + 4, list_w - 24, list_h - 8)
        self.assertGreater(mean, 0.7)     # the list's white background ...
        self.assertLess(darkest, 0.4)     # ... with the log's text on it
        status = sizes(window["status"])
        mean, _ = mean_and_min(shot, x, y + status[1] + 2, status[2], status[3] - 4)
        self.assertGreater(mean, 0.5)     # the status bar, not the black screen

        bigger = probe("resize", "600", "420")
        self.assertGreater(sizes(bigger["client"])[0], sizes(window["client"])[0])
        self.assert_list_fits(bigger)
        screenshot("window-resized.png")

        # Lower than the status bar: the list keeps its height and takes the width.
        low = probe("resize", "300", "30")
        client_w, client_h = sizes(low["client"])
        self.assertLess(client_h, sizes(low["status"])[3])
        self.assertEqual(sizes(low["list"])[2:], [client_w, sizes(bigger["list"])[3]])

        # Minimised: the list takes the width of the minimised client area (0) and keeps its
        # height; restored, it fits again.
        probe("resize", "600", "420")
        small = probe("minimize")
        self.assertEqual(small["iconic"], "1")
        self.assertEqual(sizes(small["list"])[2:], [0, sizes(bigger["list"])[3]])
        self.assert_list_fits(probe("restore"))

        probe("close-person")
        self.assertEqual(relay.wait_exit(), 0)
        self.assertEqual(relay.entries()[-2:], ["Corbelwynford is shutting down, reason: 0",
                                                "Corbelwynford was shutdown"])

    def test_close_from_another_program_and_session_end(self):
        relay = self.relay()
        for command, reason in (("close-other", 3), ("end-session", 2)):
            with self.subTest(command):
                if os.path.exists(relay.path(LOG_FILE)):
                    os.remove(relay.path(LOG_FILE))
                relay.start()
                relay.wait_for(STARTED)
                out = probe(command)
                if command == "end-session":
                    self.assertEqual(out["query_end_session"], "1")  # never refused
                self.assertEqual(relay.wait_exit(), 0)
                self.assertEqual(relay.entries()[-2:], [
                    "Corbelwynford is shutting down, reason: %d" % reason,
                    "Corbelwynford was shutdown"])

    def test_second_instance_is_refused(self):
        first = self.relay()
        first.start()
        first.wait_for(STARTED)
        second = self.relay()
        status, box = run_with_box(second, "/I")
        self.assertEqual(box["text"], "Corbelwynford is already started!")
        self.assertEqual(box["icon"], "1")  # the critical-stop icon
        self.assertNotEqual(status, 0)
        self.assertEqual(second.entries(), [])  # nothing logged ...
        query = subprocess.run(["wine", "sc", "query", "Corbelwynford"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, timeout=60)
        self.assertNotIn(b"SERVICE_NAME", query.stdout)  # ... and nothing installed
        probe("close-person")
        self.assertEqual(first.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
