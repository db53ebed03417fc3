"""Stops and crashes in the middle of a file, on the real program: SIGTERM lets the message in
flight finish and the next run goes on after it, so every message arrives once; SIGKILL sends
again at most the message in flight. A claim file without a record, as an older version leaves
it, goes from its first line."""

import signal
import unittest

from harness import RelayTestCase, ini, wait_until

MESSAGES = [b"m%02d" % n for n in range(30)]


class StopTest(RelayTestCase):
    def test_stops_and_kills_in_the_middle_of_a_file(self):
        def check(row):
            name, sig = row
            server, relay = self.server(), self.relay()
            relay.write_ini(ini(server.url(), wait=5))
            relay.drop(b"old1\rold2", "InComingSMS.txt.$$$")
            relay.drop(b"\r\n".join(MESSAGES))
            stops, everything = 0, len(MESSAGES) + 2
            while len(set(server.bodies())) < everything:
                relay.start()
                # Right after a message has gone out, while its answer is still awaited.
                goal = min(len(set(server.bodies())) + 3, everything)
                wait_until(lambda: len(set(server.bodies())) >= goal, 30, name + " three more")
                relay.send(sig)
                relay.wait_exit()
                stops += 1
            bodies = server.bodies()
            self.assertEqual(set(bodies), set(MESSAGES) | {b"old1", b"old2"})
            self.assertEqual(bodies[:2], [b"old1", b"old2"])
            duplicates = len(bodies) - len(set(bodies))
            self.assertLessEqual(duplicates, 0 if sig == signal.SIGTERM else stops, name)

        self.run_rows([("SIGTERM", signal.SIGTERM), ("SIGKILL", signal.SIGKILL)], check)


if __name__ == "__main__":
    unittest.main()
