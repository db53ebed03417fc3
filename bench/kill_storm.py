#!/usr/bin/env python3
"""The kill storm: a file of 30 messages, and the relay killed (SIGKILL, or SIGTERM with --term)
10 times at random moments while it works through them, started again after each kill and left to
finish after the last. Prints the POSTs, the messages delivered at least once, those lost, and the
duplicates per kill. Run it against another build (--binary) to compare.

  bench/kill_storm.py [--binary PATH] [--term] [--seed N] [--kills N]
"""

import argparse
import os
import random
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
os.environ.setdefault("CORBELWYNFORD_BINARY", os.path.join(os.path.dirname(__file__), "..", "build",
                                                           "corbelwynford"))

import harness  # noqa: E402
from harness import ini, wait_until  # noqa: E402
from scratch_relay import relay_and_server  # noqa: E402

MESSAGES = [b"storm %02d" % n for n in range(30)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary")
    parser.add_argument("--term", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--kills", type=int, default=10)
    args = parser.parse_args()
    if args.binary:
        harness.BINARY = args.binary
    sig = signal.SIGTERM if args.term else signal.SIGKILL
    chance = random.Random(args.seed)
    with relay_and_server("cw-kill-storm-") as (relay, server):
        relay.write_ini(ini(server.url(), wait=5))
        relay.drop(b"\r\n".join(MESSAGES))
        for _ in range(args.kills):
            relay.start()
            time.sleep(chance.uniform(0.5, 4.0))
            relay.send(sig)
            relay.wait_exit()
        relay.start()
        wait_until(lambda: set(MESSAGES) <= set(server.bodies()), 120, "every message")
        relay.wait_gone()
        bodies = server.bodies()
    lost = len(set(MESSAGES) - set(bodies))
    duplicates = len(bodies) - len(set(bodies))
    print("%s, %d kills (%s): %d POSTs, %d delivered, %d lost, %d duplicates, %.2f per kill" % (
        os.path.basename(os.path.dirname(os.path.abspath(harness.BINARY))), args.kills,
        signal.Signals(sig).name, len(bodies), len(set(bodies)), lost, duplicates,
        duplicates / args.kills))


if __name__ == "__main__":
    main()
