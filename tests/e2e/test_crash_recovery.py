"""Crash recovery: the real program relays a file of 30 numbered messages while the test kills it
with SIGKILL at random moments (fixed seed) and starts it again each time.

At the end every message has arrived, nothing is left on disk, and every duplicate is explained by
the one rule that makes them: a claim file left by an interrupted run is processed again from its
first line. So the server's requests, in order, are prefixes of the file's lines laid end to end,
each starting over at the first line, and the last one is the whole file.
"""

import os
import random
import signal
import time
import unittest

from harness import RelayTestCase
from proof_util import OK, STARTED, TimedRelay, ini, report, write_atomic

MESSAGES = 30
KILLS = 12
SEED = 20261206
# Kill moments after each start: the first scan comes about a second after start, then a message
# every two seconds, so these hit start-up, the claim, requests in flight and the pauses.
KILL_AFTER = (0.05, 6.5)


def split_into_runs(bodies, lines):
    """Cuts the request sequence wherever it starts over at the first line; raises when a piece
    is not a prefix of the file's lines."""
    runs = []
    for body in bodies:
        if body == lines[0]:
            runs.append([])
        elif not runs:
            raise AssertionError("the first request is not the first line: %r" % body)
        runs[-1].append(body)
        if runs[-1] != lines[:len(runs[-1])]:
            raise AssertionError("run %d is not a prefix of the file: %r" % (len(runs), runs[-1]))
    return runs


class CrashRecoveryTest(RelayTestCase):
    def test_sigkill_at_random_moments_loses_nothing(self):
        server = self.server()
        relay = TimedRelay(self.folder)
        self.relays.append(relay)
        lines = [b"message %02d of %d" % (i, MESSAGES) for i in range(1, MESSAGES + 1)]
        write_atomic(relay.path("Corbelwynford.INI"), ini(server.url("/ok"), wait=2))
        write_atomic(relay.path("InComingSMS.txt"), b"\r\n".join(lines) + b"\r\n")

        rng = random.Random(SEED)
        delivered_per_run = []  # outcomes each killed run logged before it died
        requests_per_run = []  # what the server had taken when the run was killed
        moments = []
        for _ in range(KILLS):
            relay.start()
            moment = rng.uniform(*KILL_AFTER)
            moments.append(moment)
            time.sleep(moment)
            self.assertIsNone(relay.process.poll(), "the relay ended by itself")
            relay.process.send_signal(signal.SIGKILL)
            relay.wait_exit()
            delivered_per_run.append(relay.entries().count(OK))
            requests_per_run.append(len(server.requests()))
            # Only the file and its claim are ever on disk; the killed run leaves either one.
            left = {"InComingSMS.txt", "InComingSMS.txt.$$$"} & set(os.listdir(self.folder))
            self.assertEqual(len(left), 1, left)

        # The last run goes undisturbed: it works through the claim file from its first line.
        relay.start()
        relay.wait_for(STARTED)
        relay.wait_for(OK, count=MESSAGES, timeout=MESSAGES * 2 + 60)
        self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
        relay.stop_cleanly(self)

        bodies = server.bodies()
        runs = split_into_runs(bodies, lines)
        self.assertEqual(runs[-1], lines, "the last run is not complete")
        self.assertLessEqual(len(runs), KILLS + 1)
        # A killed run may have posted a message it did not live to log, never the other way.
        self.assertLessEqual(sum(delivered_per_run), len(bodies) - MESSAGES)
        losses = sorted(set(lines) - set(bodies))
        duplicates = len(bodies) - len(set(bodies))
        self.assertEqual(losses, [])
        # Nothing is left on disk but the program and its settings.
        left = set(os.listdir(self.folder)) - {os.path.basename(os.path.dirname(server.record))}
        self.assertEqual(left, {"corbelwynford", "Corbelwynford.INI"})

        report("crash recovery (seed %d)" % SEED, [
            "messages %d, kills %d, requests %d, duplicates %d, losses %d" % (
                MESSAGES, KILLS, len(bodies), duplicates, len(losses)),
            "kill moments after start (s): %s" % ", ".join("%.2f" % m for m in moments),
            "outcomes logged per killed run: %s" % delivered_per_run,
            "requests taken by the server at each kill: %s" % requests_per_run,
            "requests per run (each from line 1): %s" % [len(r) for r in runs],
        ])


if __name__ == "__main__":
    unittest.main()
