#!/usr/bin/env python3
"""The real program with very large data: a 100 MB answer (only its first 1024 bytes are kept)
and a 50 MB incoming line (posted whole, logged in chunks). Prints seconds, memory and open
descriptors before and after each, and whether the next message still goes.

Usage: python3 bench/big_transfers.py   (CORBELWYNFORD_BINARY picks the binary)
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import STARTED, ini  # noqa: E402
from scratch_relay import figures, relay_and_server  # noqa: E402


def main():
    with relay_and_server("cw-big-") as (relay, server):
        relay.write_ini(ini(server.url(), wait=60))
        relay.start().wait_for(STARTED)
        relay.drop(b"warm-up")
        relay.wait_outcomes(1)
        relay.wait_gone()
        print("%-22s %s" % ("start", figures(relay)))
        line = b"0123456789abcdef" * (50 * 1024 * 1024 // 16)
        for name, url, data in (("100 MB answer", server.url("/body/%d" % (100 << 20)), b"x"),
                                ("50 MB line", server.url(), line)):
            relay.write_ini(ini(url, wait=60))
            done = len(relay.outcomes()) + 1
            started = time.monotonic()
            relay.drop(data)
            outcome = relay.wait_outcomes(done, timeout=300)[-1]
            seconds = time.monotonic() - started
            relay.wait_gone(timeout=60)
            relay.write_ini(ini(server.url(), wait=5))
            relay.drop(b"next")
            after = relay.wait_outcomes(done + 1, timeout=60)[-1]
            relay.wait_gone()
            print("%-22s %s; %.1f s; %s; next message: %s" % (name, figures(relay), seconds,
                                                             outcome, after))


if __name__ == "__main__":
    main()
