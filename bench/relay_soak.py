#!/usr/bin/env python3
"""Long runs of the real program: a soak of many messages, then a kill storm (SIGKILL at random
moments, each followed by a restart), against the loopback server. Prints the program's memory
and open descriptors at start and end, requests, losses and duplicates (a claim file left by a
killed run is sent again from its first line, so duplicates are expected after kills; losses
never).

Usage: python3 bench/relay_soak.py [--messages 500] [--kills 30] [--seed 1]
(CORBELWYNFORD_BINARY picks the binary; build/corbelwynford by default)
"""

import argparse
import os
import random
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import STARTED, ini  # noqa: E402
from scratch_relay import figures, relay_and_server  # noqa: E402


def deliver(relay, server, lines, kills, rng):
    """Sends lines, killing the program kills times on the way; returns the seconds taken."""
    started = time.monotonic()
    relay.drop(b"\r\n".join(lines) + b"\r\n")
    for _ in range(kills):
        time.sleep(rng.uniform(0.05, 5.0))
        relay.send(signal.SIGKILL)
        relay.wait_exit()
        relay.start().wait_for(STARTED)
    deadline = time.monotonic() + 4 * len(lines) + 60
    while os.path.lexists(relay.path("InComingSMS.txt.$$$")) or os.path.lexists(
            relay.path("InComingSMS.txt")):
        if time.monotonic() > deadline:
            raise SystemExit("the relay did not finish")
        time.sleep(0.2)
    return time.monotonic() - started


def report(name, lines, bodies, seconds):
    sent = set(bodies)
    print("%s: %d messages in %.0f s, %d requests, %d lost, %d duplicates" % (
        name, len(lines), seconds, len(bodies), len(set(lines) - sent), len(bodies) - len(sent)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=500)
    parser.add_argument("--kills", type=int, default=30)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    with relay_and_server("cw-soak-") as (relay, server):
        relay.write_ini(ini(server.url(), wait=5))
        relay.start().wait_for(STARTED)
        print("start:", figures(relay))
        soak = [b"soak %05d" % i for i in range(args.messages)]
        seconds = deliver(relay, server, soak, 0, rng)
        report("soak", soak, server.bodies(), seconds)
        print("after the soak:", figures(relay))
        storm = [b"storm %05d" % i for i in range(max(args.kills, 1) * 3)]
        seconds = deliver(relay, server, storm, args.kills, rng)
        report("kill storm (%d kills)" % args.kills, storm,
               [b for b in server.bodies() if b.startswith(b"storm")], seconds)
        print("end:", figures(relay))


if __name__ == "__main__":
    main()
