#!/usr/bin/env python3
"""Concurrent writers against a relay that claims with WatchFile=1: what arrives of what was fed.

A measurement on the real program, not a test: it prints figures and fails nothing (exit status 0
for a finished run, non-zero only when the script itself fails).

Three ways of writing the incoming file, each against a relay and a loopback server of its own,
all three at the same time (the relay posts about one message every two seconds, so each variant
takes about 2 s a message and running them side by side keeps the whole run near that):
- feed:   one `corbelwynford --feed` per message (the relay folder's copy), the message on
          standard input. The feed and the claim take the same lock on the incoming file, so a
          claim never renames the file under a feed that is writing, and a feed that opened the
          file before a claim writes into the new one.
- printf: `sh -c 'printf "%s\\r\\n" "$1" >> InComingSMS.txt' sh MESSAGE` in the relay's folder,
          the shell glue an administrator writes.
- rename: the message and CR LF written to a file of its own in the relay's folder, then renamed
          over InComingSMS.txt (write under another name and rename it into place).
Each variant has --feeders threads feeding --messages / --feeders messages each, as fast as they
can with a random pause of 0 to --jitter-ms ms between two messages. A message reads
"f<feeder>-<nnnn>-" and then padding that repeats "<feeder>.<nnnn>_", so that a piece of it
still names it. After the feeders end, the script waits until the relay has posted all it will
(no incoming file, no claim file, the server's count unchanged for --settle seconds), bounded by
a timeout that grows with the count.

What it prints, one row per variant:
  fed       messages whose writer finished without an error (a feed that exits non-zero is
            counted as refused, not as fed: its writer knows)
  POSTs     requests the server got
  once      messages that arrived exactly once, whole, as a body of their own, and nowhere else
  lost      messages of which no byte arrived
  torn      POSTs whose body is not made of whole messages: a part of one, or one with other
            bytes in it
  merged    POSTs whose body holds two or more whole messages (glued by a lost line end)
  dup       messages that arrived whole more than once
  wall      seconds from the first write to the last POST
Below the table, for every variant that lost, tore, merged or duplicated anything, the message
ids concerned (the first few) and what the server got for them, and the relay's failed sends.

Usage: python3 bench/feed_race.py [--messages 2000] [--feeders 4] [--jitter-ms 5] [--seed 1]
       [--settle 10] [--variants feed,printf,rename]
(CORBELWYNFORD_BINARY picks the binary; build/corbelwynford by default. Copy it somewhere private
first when the build folder may be rebuilt during the run: 2,000 messages take about 70 minutes.)
"""

import argparse
import os
import random
import re
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import FAILED, OK, STARTED, ini  # noqa: E402
from scratch_relay import relay_and_server, side_by_side  # noqa: E402

INCOMING = "InComingSMS.txt"
CLAIM = INCOMING + ".$$$"
PRINTF = 'printf "%s\\r\\n" "$1" >> ' + INCOMING
START = re.compile(rb"f(\d+)-(\d{4})-")
TAG = re.compile(rb"(\d+)\.(\d{4})_")
SHOWN = 8  # ids listed per kind of damage


def message(feeder, number):
    """A unique, recognisable message of 40 to 200 bytes; ASCII without [ ] \\ { } CR LF."""
    head = b"f%d-%04d-" % (feeder, number)
    tag = b"%d.%04d_" % (feeder, number)
    size = 40 + (feeder * 7919 + number * 104729) % 161
    return (head + tag * (size // len(tag) + 1))[:size]


def write_feed(relay, text):
    done = subprocess.run([relay.binary, "--feed"], input=text, env=relay.env, cwd=relay.folder,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
    return done.returncode, done.stderr


def write_printf(relay, text):
    done = subprocess.run(["sh", "-c", PRINTF, "sh", text], cwd=relay.folder,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
    return done.returncode, done.stderr


def write_rename(relay, text):
    name = relay.path(".rename-%s.tmp" % START.match(text).group(0).decode())
    with open(name, "wb") as f:
        f.write(text + b"\r\n")
    os.rename(name, relay.path(INCOMING))
    return 0, b""


WRITERS = {"feed": write_feed, "printf": write_printf, "rename": write_rename}


def record_count(server):
    return sum(1 for n in os.listdir(server.record) if n.endswith(".head"))


def classify(fed, bodies):
    """Sorts the server's bodies against the fed messages (bytes -> id)."""
    whole, in_merged, in_torn = {}, {}, {}
    torn, merged = [], []
    for index, body in enumerate(bodies):
        if body in fed:
            whole.setdefault(fed[body], []).append(index)
            continue
        starts = [m.start() for m in START.finditer(body)]
        parts = [body[a:b] for a, b in zip(starts, starts[1:] + [len(body)])]
        # A lost CR leaves the LF of CR LF between two messages; a lost CR LF leaves nothing.
        parts = [p[:-1] if p.endswith(b"\n") else p for p in parts]
        if len(parts) >= 2 and starts[0] == 0 and all(p in fed for p in parts):
            merged.append(index)
            for p in parts:
                in_merged.setdefault(fed[p], []).append(index)
        else:
            torn.append(index)
            ids = {(int(m.group(1)), int(m.group(2))) for m in START.finditer(body)}
            ids |= {(int(m.group(1)), int(m.group(2))) for m in TAG.finditer(body)}
            for i in ids:
                in_torn.setdefault(i, []).append(index)
    ids = set(fed.values())
    once = [i for i in ids if len(whole.get(i, [])) == 1 and i not in in_merged
            and i not in in_torn]
    lost = sorted(i for i in ids if i not in whole and i not in in_merged and i not in in_torn)
    dup = sorted(i for i in ids if len(whole.get(i, [])) + len(in_merged.get(i, [])) > 1)
    return {"once": once, "lost": lost, "dup": dup, "torn": torn, "merged": merged,
            "whole": whole, "in_merged": in_merged, "in_torn": in_torn}


def run_variant(name, args, result):
    """Feeds, waits for the relay, and puts the figures into result."""
    with relay_and_server("cw-feed-race-%s-" % name) as (relay, server):
        relay.write_ini(ini(server.url(), wait=5, general="WatchFile=1"))
        relay.start().wait_for(STARTED)
        writer = WRITERS[name]
        per = args.messages // args.feeders
        extra = args.messages % args.feeders
        fed, refused, lock = {}, [], threading.Lock()
        first = []

        def feeder(number, count):
            rng = random.Random("%s-%d-%d" % (name, args.seed, number))
            for n in range(count):
                text = message(number, n)
                with lock:
                    if not first:
                        first.append(time.time())
                try:
                    code, error = writer(relay, text)
                except (OSError, subprocess.SubprocessError) as e:
                    code, error = -1, str(e).encode()
                with lock:
                    if code == 0:
                        fed[text] = (number, n)
                    else:
                        refused.append(((number, n), code, error.strip()[-200:]))
                if args.jitter_ms > 0:
                    time.sleep(rng.uniform(0, args.jitter_ms / 1000.0))

        threads = [threading.Thread(target=feeder, args=(f, per + (1 if f < extra else 0)))
                   for f in range(args.feeders)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        feed_seconds = time.time() - first[0] if first else 0.0
        print("%s: %d written in %.1f s (%d refused); waiting for the relay"
              % (name, len(fed), feed_seconds, len(refused)), flush=True)

        # Everything fed is in the incoming file or the claim file until it is posted.
        deadline = time.monotonic() + 4 * args.messages + 300
        seen, steady_since, last_report = -1, time.monotonic(), time.monotonic()
        timed_out = False
        while True:
            count = record_count(server)
            now = time.monotonic()
            if count != seen:
                seen, steady_since = count, now
            idle = not (os.path.lexists(relay.path(INCOMING)) or os.path.lexists(relay.path(CLAIM)))
            if idle and now - steady_since >= args.settle:
                break
            if now > deadline:
                timed_out = True
                break
            if now - last_report >= 300:
                print("%s: %d POSTs so far" % (name, count), flush=True)
                last_report = now
            time.sleep(1)
        bodies = server.bodies()
        arrivals = server.arrivals()
        outcomes = relay.outcomes()
        relay.stop()
        result.update(classify(fed, bodies))
        result.update(fed=len(fed), refused=refused, posts=len(bodies), bodies=bodies,
                      wall=(arrivals[-1] - first[0]) if arrivals and first else 0.0,
                      feed_seconds=feed_seconds, timed_out=timed_out,
                      ok=outcomes.count(OK), failed=outcomes.count(FAILED))


def show(body, width=90):
    text = repr(body)[2:-1]
    return text if len(text) <= width else text[:width] + "... (%d bytes)" % len(body)


def details(name, r):
    lines = []
    if r["timed_out"]:
        lines.append("the relay had not finished when the wait ran out")
    if r["refused"]:
        lines.append("%d writes refused, e.g. %s" % (len(r["refused"]), r["refused"][:3]))
    if r["failed"]:
        lines.append("%d sends failed in the relay's log (%d completed)" % (r["failed"], r["ok"]))
    if r["lost"]:
        lines.append("lost %d: %s" % (len(r["lost"]), " ".join(
            "f%d-%04d" % i for i in r["lost"][:SHOWN]) + (" ..." if len(r["lost"]) > SHOWN
                                                           else "")))
    for kind in ("merged", "torn"):
        for index in r[kind][:SHOWN]:
            lines.append("%s POST #%d: %s" % (kind, index, show(r["bodies"][index])))
        if len(r[kind]) > SHOWN:
            lines.append("... %d more %s POSTs" % (len(r[kind]) - SHOWN, kind))
    for i in r["dup"][:SHOWN]:
        lines.append("duplicated f%d-%04d: whole in POSTs %s, merged in %s" % (
            i + (r["whole"].get(i, []), r["in_merged"].get(i, []))))
    if lines:
        print("%s:" % name)
        for line in lines:
            print("  " + line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=2000, help="total per variant")
    parser.add_argument("--feeders", type=int, default=4)
    parser.add_argument("--jitter-ms", type=float, default=5.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--settle", type=float, default=10.0)
    parser.add_argument("--variants", default="feed,printf,rename")
    args = parser.parse_args()
    names = [n for n in args.variants.split(",") if n]
    if not names or any(n not in WRITERS for n in names) or args.feeders < 1 \
            or args.messages < args.feeders or args.messages // args.feeders > 9999:
        parser.error("bad --variants, --feeders or --messages")
    results = {n: {} for n in names}
    started = time.monotonic()
    if not side_by_side(names, lambda name: run_variant(name, args, results[name])):
        return 1
    print()
    print("%d messages per variant, %d feeders, 0-%g ms jitter, WatchFile=1, ScanInterval=1"
          % (args.messages, args.feeders, args.jitter_ms))
    print("%-8s %6s %6s %6s %6s %6s %7s %6s %9s" % (
        "variant", "fed", "POSTs", "once", "lost", "torn", "merged", "dup", "wall s"))
    for name in names:
        r = results[name]
        print("%-8s %6d %6d %6d %6d %6d %7d %6d %9.0f" % (
            name, r["fed"], r["posts"], len(r["once"]), len(r["lost"]), len(r["torn"]),
            len(r["merged"]), len(r["dup"]), r["wall"]))
    print("(torn and merged count POSTs; once, lost and dup count messages)")
    print("total %.0f s" % (time.monotonic() - started))
    for name in names:
        details(name, results[name])
    return 0


if __name__ == "__main__":
    sys.exit(main())
