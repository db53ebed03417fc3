#!/usr/bin/env python3
"""Measures the relay's pacing and its idle cost on the real program.

1. 20 messages against a loopback server that answers at once: the time per message, from the
   first request to the twentieth (19 message cycles), and its ratio to 2.0 s (each message costs one pause
   in the wait and one pause after it).
2. A minute of idling with no incoming file: CPU time and resident memory of the process.

Usage: python3 bench/relay_pacing.py [--idle-seconds N]   (CORBELWYNFORD_BINARY picks the binary)
"""

import argparse
import os
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import Relay, Server, wait_until  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--messages", type=int, default=20)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="cw-bench-")
    server = Server(tempfile.mkdtemp(dir=folder))
    relay = Relay(tempfile.mkdtemp(dir=folder))
    try:
        relay.write_ini("[General]\r\nScanInterval=1\r\n[Protocol]\r\nURL=%s\r\n"
                        "WaitForAnswer=20\r\nXML=[Message]\r\n" % server.url("/ok"))
        relay.start()
        relay.wait_for("Corbelwynford started ok as application")
        # Idle first: no file, the scan timer ticking every second.
        time.sleep(2)
        cpu0, t0 = cpu_seconds(relay.process.pid), time.monotonic()
        rss0 = rss_kib(relay.process.pid)
        time.sleep(args.idle_seconds)
        cpu1, t1 = cpu_seconds(relay.process.pid), time.monotonic()
        rss1 = rss_kib(relay.process.pid)
        print("idle: %.1f s, CPU %.3f s (%.3f%%), RSS %d KiB -> %d KiB"
              % (t1 - t0, cpu1 - cpu0, 100 * (cpu1 - cpu0) / (t1 - t0), rss0, rss1))

        data = b"".join(b"message %d\r\n" % i for i in range(args.messages))
        with open(relay.path("InComingSMS.txt.tmp"), "wb") as f:
            f.write(data)
        os.rename(relay.path("InComingSMS.txt.tmp"), relay.path("InComingSMS.txt"))
        # From the first request to the last: one full message cycle per interval.
        wait_until(lambda: server.requests(), 30, "the first request")
        start = time.monotonic()
        wait_until(lambda: len(server.requests()) >= args.messages, 10 * args.messages,
                   "every request")
        per_message = (time.monotonic() - start) / (args.messages - 1)
        relay.wait_for("Sending completed successfully", count=args.messages, timeout=30)
        print("pacing: %d messages, %.3f s per message, ratio to 2.0 s: %.3f"
              % (args.messages, per_message, per_message / 2.0))
        print("after the messages: RSS %d KiB" % rss_kib(relay.process.pid))
        relay.send(signal.SIGINT)
        relay.wait_exit()
    finally:
        relay.close()
        server.stop()


if __name__ == "__main__":
    main()
