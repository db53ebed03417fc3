#!/usr/bin/env python3
"""What the relay keeps resident after very long incoming lines: the real program against a
loopback server that answers at once, fed one large line per incoming file. A measurement, not a
test: it prints figures and fails nothing.

Rows (resident memory VmRSS and its peak VmHWM from /proc/<pid>/status, in kB):
  idle after start     a warm-up message posted, its claim file gone, a few seconds' rest
  after line N         line N posted, its claim file gone, a few seconds' rest
  idle 30 s later      thirty more seconds with nothing to do
Each line is ASCII letters and digits only (no CR, none of the bracket characters the relay
removes) and ends with CR LF, so it is one message whose body is the whole line. Then every
message's outcome (with the reason a failed one gives) and the size of the body the server got.

Usage: python3 bench/large_message_memory.py [--line-mb 16] [--lines 2]
(CORBELWYNFORD_BINARY picks the binary; build/corbelwynford by default)
"""

import argparse
import os
import string
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import FAILED, OK, STARTED, ini  # noqa: E402
from scratch_relay import relay_and_server  # noqa: E402

SETTLE_SECONDS = 5
IDLE_SECONDS = 30


def memory(relay):
    """(VmRSS, VmHWM) of the running relay in kB, read as scratch_relay.figures reads them."""
    if relay.process.poll() is not None:
        raise SystemExit("the relay ended (exit status %s); last entries: %r"
                         % (relay.process.returncode, relay.entries()[-12:]))
    with open("/proc/%d/status" % relay.process.pid) as f:
        kb = {line.split(":")[0]: int(line.split()[1]) for line in f if line.startswith("Vm")}
    return kb["VmRSS"], kb["VmHWM"]


def row(label, relay):
    rss, peak = memory(relay)
    print("%-20s %10d %10d" % (label, rss, peak), flush=True)


def large_line(size):
    """size bytes of letters and digits, varied so that no run of the line repeats quickly."""
    alphabet = (string.ascii_letters + string.digits).encode()
    block = bytes(alphabet[(i * 7 + i // 62) % 62] for i in range(62 * 62))
    return (block * (size // len(block) + 1))[:size]


def post(relay, data, timeout):
    """Drops data as the incoming file and waits until its message has an outcome and the claim
    file is gone."""
    done = len(relay.outcomes()) + 1
    relay.drop(data)
    relay.wait_outcomes(done, timeout=timeout)
    relay.wait_gone(timeout=timeout)


def outcomes_with_reasons(relay):
    """Every outcome, a failed one with the entry before it (the reason)."""
    entries = relay.entries()
    out = []
    for i, entry in enumerate(entries):
        if entry == OK:
            out.append(entry)
        elif entry == FAILED:
            out.append("%s (%s)" % (entry, entries[i - 1][:200] if i else "?"))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--line-mb", type=float, default=16)
    parser.add_argument("--lines", type=int, default=2)
    args = parser.parse_args()
    size = int(args.line_mb * 1024 * 1024)
    line = large_line(size)
    assert not any(c in line for c in b"\r\n[]\\{}")

    with relay_and_server("cw-large-") as (relay, server):
        relay.write_ini(ini(server.url(), wait=60))
        relay.start().wait_for(STARTED)
        post(relay, b"warm-up", timeout=30)
        time.sleep(SETTLE_SECONDS)
        print("line %d bytes (%.1f MB), %d lines; pid %d"
              % (size, size / 1048576, args.lines, relay.process.pid))
        print("%-20s %10s %10s" % ("point", "RSS kB", "peak kB"))
        row("idle after start", relay)
        for n in range(1, args.lines + 1):
            started = time.monotonic()
            post(relay, line + b"\r\n", timeout=300)
            seconds = time.monotonic() - started
            time.sleep(SETTLE_SECONDS)
            row("after line %d" % n, relay)
            print("%-20s (posted and claim file gone in %.1f s)" % ("", seconds))
        time.sleep(IDLE_SECONDS)
        row("idle %d s later" % IDLE_SECONDS, relay)

        print("outcomes:")
        for outcome in outcomes_with_reasons(relay):
            print("  " + outcome)
        sizes = [len(body) for body in server.bodies()]
        print("bodies the server got (bytes): %s" % ", ".join(str(s) for s in sizes))
        whole = sum(1 for s in sizes if s >= size)
        print("bodies holding a whole line: %d of %d" % (whole, args.lines))


if __name__ == "__main__":
    main()
