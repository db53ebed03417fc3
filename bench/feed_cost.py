#!/usr/bin/env python3
"""What one feed costs, as a daemon pays it for every SMS: the wall time of `corbelwynford-feed`
and of `corbelwynford --feed`, each run from a shell with the message on standard input, against
lock_append_flush (the least a program can do: open, flock, append, fsync), run the same way.
The three take turns, so that a drifting machine moves all of them alike; medians are printed,
and each one's ratio to the yardstick.

  bench/feed_cost.py [--runs N] [--build DIR]   (default 200 runs, build/)
"""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="cw-feed-cost-")
    try:
        for name in ("corbelwynford", "corbelwynford-feed"):
            shutil.copy2(os.path.join(args.build, name), folder)
        with open(os.path.join(folder, "Corbelwynford.INI"), "w") as settings:
            settings.write("[General]\r\nFileToScan=%s/in.txt\r\n" % folder)
        yardstick = os.path.join(args.build, "bench", "lock_append_flush")
        commands = {
            "corbelwynford-feed": "exec %s/corbelwynford-feed" % folder,
            "corbelwynford --feed": "exec %s/corbelwynford --feed" % folder,
            "lock_append_flush": "exec %s %s/other.txt" % (yardstick, folder),
        }
        times = {name: [] for name in commands}
        for _ in range(args.runs):
            for name, command in commands.items():
                start = time.monotonic()
                subprocess.run(["sh", "-c", "echo a message | " + command], check=True)
                times[name].append(time.monotonic() - start)
        base = statistics.median(times["lock_append_flush"])
        for name, runs in times.items():
            median = statistics.median(runs)
            print("%-22s median %6.2f ms  %.2fx" % (name, median * 1000, median / base))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
