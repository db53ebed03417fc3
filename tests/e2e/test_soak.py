"""Soak: the real program relays many messages to a flaky loopback server (quick answers, slow
ones, late ones, 500 and 503, connection resets, connections closed without an answer; drawn with
a fixed seed) while the test samples its resident memory and open descriptors. Both must end
where they began, within a small margin; the suite prints the figures.

CW_SOAK_MESSAGES sets the number of messages (40 by default, which CI runs in about a minute and
a half; 500 take about twenty minutes). Each message must arrive exactly once, in order, and its
logged outcome must be the one its drawn answer calls for.
"""

import os
import threading
import time
import unittest

from harness import RelayTestCase
from proof_util import (FAILED, OK, STARTED, TimedRelay, ini, load_server_module, report,
                        sanitized_build, write_atomic)

MESSAGES = int(os.environ.get("CW_SOAK_MESSAGES", "40"))
SEED = 21
WAIT = 2  # WaitForAnswer; a "late" answer comes well after it
LATE = WAIT + 3
WARM_UP = 5  # messages before the starting figures are taken: libcurl sets itself up on first use
RSS_MARGIN_KB = 1024
FD_MARGIN = 1
SAMPLE_SECONDS = 2.0


def expected_outcome(kind):
    return OK if kind in ("ok", "slow") else FAILED


class SoakTest(RelayTestCase):
    def test_flaky_server_memory_and_descriptors_stay_flat(self):
        choice = load_server_module().flaky_choice
        server = self.server()
        relay = TimedRelay(self.folder)
        self.relays.append(relay)
        lines = [b"soak message %04d" % i for i in range(1, MESSAGES + 1)]
        kinds = [choice(SEED, line)[0] for line in lines]
        write_atomic(relay.path("Corbelwynford.INI"),
                     ini(server.url("/flaky/%d/%g" % (SEED, LATE)), wait=WAIT))
        relay.start()
        relay.wait_for(STARTED)
        at_start = (relay.rss(), relay.fds())
        write_atomic(relay.path("InComingSMS.txt"), b"\r\n".join(lines))

        samples = []  # (seconds, outcomes so far, RSS kB, descriptors)
        done = threading.Event()

        def sample():
            began = time.monotonic()
            while not done.wait(SAMPLE_SECONDS):
                rss, fds = relay.rss(), relay.fds()
                if rss is None:
                    return
                outcomes = sum(1 for _, e in relay.timed_entries() if e in (OK, FAILED))
                samples.append((time.monotonic() - began, outcomes, rss, fds))

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        try:
            relay.wait_outcomes(WARM_UP, timeout=120)
            began = (relay.rss(), relay.fds())
            relay.wait_outcomes(MESSAGES, timeout=MESSAGES * (2 * WAIT + 4) + 60)
            self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
            time.sleep(1)  # the cycle is over; what it held is released
            ended = (relay.rss(), relay.fds())
        finally:
            done.set()
            sampler.join(10)
        relay.stop_cleanly(self)

        # Every message arrived exactly once, in order: a failure is never sent again.
        self.assertEqual(server.bodies(), lines)
        outcomes = [e for e in relay.entries() if e in (OK, FAILED)]
        self.assertEqual(outcomes, [expected_outcome(k) for k in kinds])
        rx = [e for e in relay.entries() if e.startswith(" Rx: ")]
        self.assertEqual(rx, [" Rx: OK" if k in ("ok", "slow") else " Rx: Status %d" % v
                              for k, v in (choice(SEED, line) for line in lines)
                              if k in ("ok", "slow", "error")])

        peak_rss = max([s[2] for s in samples] + [ended[0]])
        peak_fds = max([s[3] for s in samples] + [ended[1]])
        counts = {k: kinds.count(k) for k in sorted(set(kinds))}
        rows = [
            "messages %d (seed %d): %s" % (MESSAGES, SEED, counts),
            "outcomes: %d ok, %d failed" % (outcomes.count(OK), outcomes.count(FAILED)),
            "at start-up:           RSS %6d kB, %d descriptors" % at_start,
            "after %d messages:      RSS %6d kB, %d descriptors" % ((WARM_UP,) + began),
            "after all:             RSS %6d kB, %d descriptors" % ended,
            "peak while running:    RSS %6d kB, %d descriptors" % (peak_rss, peak_fds),
            "samples every %.0f s (s, messages done, RSS kB, fds):" % SAMPLE_SECONDS,
        ] + ["  %6.0f %4d %6d %3d" % s for s in samples[::max(1, len(samples) // 12)]]
        report("soak", rows)
        if not sanitized_build():
            self.assertLessEqual(ended[0] - began[0], RSS_MARGIN_KB)
        self.assertLessEqual(abs(ended[1] - began[1]), FD_MARGIN)
        self.assertLessEqual(peak_fds, began[1] + 2)  # one request's connection at most


if __name__ == "__main__":
    unittest.main()
