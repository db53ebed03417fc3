#!/usr/bin/env python3
"""A receiver that goes away while messages arrive, with the relay keeping failed messages and
sending them again on its own (FailedFile=failed.txt, RetryAfter): what gets through, and when.

A measurement on the real program, not a test: it prints figures and fails nothing (exit status 0
for a finished run, non-zero only when the script itself fails).

Two scenarios, side by side, each with a relay and a loopback server of its own:
- outage:   the receiver is up; messages start; after --lead seconds it goes down for --outage
            seconds while messages keep arriving; then it is back for good.
- flapping: the receiver goes down and up every --flap seconds for --flap-for seconds while
            messages arrive (up first, up at the end); then it is back for good.
In both, messages keep arriving for --tail seconds after the receiver's return and then stop.
"Down" is the server process ended (the relay's connection is refused); "up" is a new server on
the same loopback port. Every server keeps its own record of what it got; the figures are taken
from all of them together.

The messages arrive as an SMS daemon hands them over: one `corbelwynford --feed` per message
(the relay folder's copy, the message on standard input), one every --interval seconds on a fixed
schedule, each unique ("outage-1-0007", "flapping-2-0031"). The relay runs with WatchFile=1,
ScanInterval=1, WaitForAnswer=2, FailedFile=failed.txt and RetryAfter=--retry-after. It posts
about one message every two seconds, so at the default --interval of 2 s about as many arrive as
it can post.

After the last message is fed, the script waits until every fed message has arrived at least
once and the relay is idle (no incoming file, no claim file, an empty or absent failed file), or
until no new POST has come for --stall seconds, bounded by a timeout that grows with the count.

What it prints, one row per scenario:
  fed       messages whose feed exited 0 (a feed that failed is counted as refused, not as fed)
  POSTs     requests all servers of the scenario got
  deliv     fed messages that arrived at least once
  lost      fed messages that never arrived (none should be)
  dup       fed messages that arrived more than once (possible by design: a wait that ran out
            does not prove the server did not get the message)
  failed    "Sending failed" outcomes in the relay's log
  rounds    retry rounds (the relay sends its failed file again)
  backlog   seconds from the receiver's (last) return to the first arrival of the last message
            that had been fed before that return
  last      seconds from the receiver's (last) return to the last first arrival of any message
Below the table, for a scenario that lost anything, the ids and what the relay's log said about
each (every entry naming it and the few after), and where the message still is.

Usage: python3 bench/retry_outage.py [--interval 2] [--retry-after 5] [--lead 10] [--outage 60]
       [--flap 10] [--flap-for 120] [--tail 20] [--stall 300] [--scenarios outage,flapping]
       [--log-dir DIR]
(CORBELWYNFORD_BINARY picks the binary; build/corbelwynford by default. --log-dir keeps each
relay's log as DIR/<scenario>.log. The defaults take about four minutes.)
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import FAILED, OK, STARTED, Server, ini  # noqa: E402
from scratch_relay import relay_and_server, side_by_side  # noqa: E402

INCOMING = "InComingSMS.txt"
CLAIM = INCOMING + ".$$$"
KEPT = "failed.txt"
AGAIN = "Corbelwynford sends the messages kept in "
SCENARIOS = ("outage", "flapping")
SHOWN = 8  # lost messages detailed per scenario
PROGRESS_SECONDS = 30
say_lock = threading.Lock()


def say(text):
    """One progress line; the scenarios run side by side, so a line is written in one piece."""
    with say_lock:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()


def timeline(name, args):
    """[(seconds after the first feed, "down" or "up")] and the second of the receiver's last
    return."""
    if name == "outage":
        events = [(args.lead, "down"), (args.lead + args.outage, "up")]
    else:
        events, state, k = [], "up", 1
        while k * args.flap <= args.flap_for + 1e-9:
            state = "down" if state == "up" else "up"
            events.append((k * args.flap, state))
            k += 1
        if state == "down":
            events.append((args.flap_for, "up"))
    return events, events[-1][0]


def start_server(parent, port):
    """A new loopback server on port, in a record folder of its own. The port was ours a moment
    ago; should anything hold it for an instant, try again a few times."""
    for attempt in range(40):
        try:
            return Server(tempfile.mkdtemp(dir=parent), port=port)
        except ValueError:  # the server could not bind and printed no port
            if attempt == 39:
                raise
            time.sleep(0.25)


def feed(relay, text):
    try:
        done = subprocess.run([relay.binary, "--feed"], input=text, env=relay.env,
                              cwd=relay.folder, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=60)
        return done.returncode, done.stderr
    except (OSError, subprocess.SubprocessError) as e:
        return -1, str(e).encode()


def feeder(relay, name, number, args, t0, feed_end, fed, refused, lock):
    """Feeds one message every args.interval seconds from t0 (monotonic) until feed_end;
    fed gets {message: wall time of its feed}."""
    n = 0
    while True:
        due = t0 + n * args.interval
        if due - t0 >= feed_end:
            return
        time.sleep(max(0.0, due - time.monotonic()))
        text = b"%s-%d-%04d" % (name.encode(), number, n)
        fed_at = time.time()
        code, error = feed(relay, text)
        with lock:
            if code == 0:
                fed[text] = fed_at
            else:
                refused.append((text, code, error.strip()[-200:]))
        n += 1


def receipts(servers):
    """[(arrival wall time, body)] of every request any of the servers got, in arrival order."""
    got = []
    for server in servers:
        got.extend(zip(server.arrivals(), server.bodies()))
    got.sort(key=lambda pair: pair[0])
    return got


def post_count(servers):
    return sum(sum(1 for n in os.listdir(s.record) if n.endswith(".head")) for s in servers)


def idle(relay):
    kept = relay.path(KEPT)
    return not (os.path.lexists(relay.path(INCOMING)) or os.path.lexists(relay.path(CLAIM))
                or (os.path.exists(kept) and os.path.getsize(kept) > 0))


def delivered_set(servers, fed):
    return {body for server in servers for body in server.bodies() if body in fed}


def holders(relay, text):
    """The relay's files that still hold text."""
    out = []
    for name in (INCOMING, CLAIM, KEPT):
        try:
            with open(relay.path(name), "rb") as f:
                if text in f.read().split(b"\r\n"):
                    out.append(name)
        except OSError:
            pass
    return out


def run_scenario(name, number, args, result):
    """Runs one scenario and puts its figures into result."""
    events, last_return = timeline(name, args)
    feed_end = last_return + args.tail
    with relay_and_server("cw-retry-%s-" % name) as (relay, first_server):
        parent = os.path.dirname(relay.folder)
        port = first_server.port
        servers = [first_server]
        try:
            relay.write_ini(ini(first_server.url(), wait=2, general="FailedFile=%s\r\nRetryAfter=%d"
                                "\r\nWatchFile=1" % (KEPT, args.retry_after)))
            relay.start().wait_for(STARTED)
            fed, refused, lock = {}, [], threading.Lock()
            t0 = time.monotonic()
            started_wall = time.time()
            thread = threading.Thread(target=feeder, args=(relay, name, number, args, t0,
                                                           feed_end, fed, refused, lock))
            thread.start()

            # The receiver's timeline, on the same clock as the feeds.
            changes = []  # (wall time, "down"/"up"), taken once the change is complete
            next_report = t0 + PROGRESS_SECONDS
            for at, change in events:
                while time.monotonic() < t0 + at:
                    time.sleep(min(0.2, max(0.0, t0 + at - time.monotonic())))
                    if time.monotonic() >= next_report:
                        next_report += PROGRESS_SECONDS
                        with lock:
                            count = len(fed)
                        say("%s: %3.0f s, %d fed, %d POSTs, receiver %s" % (
                            name, time.monotonic() - t0, count, post_count(servers),
                            changes[-1][1] if changes else "up"))
                if change == "down":
                    servers[-1].stop()
                else:
                    servers.append(start_server(parent, port))
                changes.append((time.time(), change))
            return_wall = changes[-1][0]
            thread.join()
            feed_seconds = time.monotonic() - t0
            with lock:
                fed = dict(fed)
            fed_before_return = {t for t, at in fed.items() if at < return_wall}
            say("%s: %d fed in %.0f s (%d refused), receiver back for good %.0f s in; "
                "waiting for the relay" % (name, len(fed), feed_seconds, len(refused),
                                           return_wall - started_wall))

            # Until everything fed has arrived and the relay has nothing left to send, or until
            # nothing has arrived for a long while.
            deadline = time.monotonic() + max(600, 8 * len(fed) * args.interval)
            seen, steady_since = -1, time.monotonic()
            stalled = timed_out = False
            while True:
                now = time.monotonic()
                count = post_count(servers)
                if count != seen:
                    seen, steady_since = count, now
                if len(delivered_set(servers, fed)) == len(fed) and idle(relay):
                    break
                if now - steady_since >= args.stall:
                    stalled = True
                    break
                if now > deadline:
                    timed_out = True
                    break
                if now >= next_report:
                    next_report += PROGRESS_SECONDS
                    say("%s: %3.0f s, %d of %d delivered, %d POSTs" % (
                        name, now - t0, len(delivered_set(servers, fed)), len(fed), count))
                time.sleep(1)

            got = receipts(servers)
            entries = relay.entries()
            ended = relay.process.poll()
            lost = sorted(set(fed) - {body for _, body in got})
            where = {t: holders(relay, t) for t in lost}
            if ended is None:
                relay.stop()
        finally:
            for server in servers:
                server.stop()

    first, times = {}, {}
    for at, body in got:
        first.setdefault(body, at)
        times[body] = times.get(body, 0) + 1
    delivered = [t for t in fed if t in first]
    backlog = [first[t] for t in fed_before_return if t in first]
    result.update(
        fed=len(fed), refused=refused, posts=len(got), delivered=len(delivered), lost=lost,
        dup=sorted(t for t in fed if times.get(t, 0) > 1),
        unknown=sum(1 for _, body in got if body not in fed),
        failed=entries.count(FAILED), ok=entries.count(OK),
        rounds=sum(1 for e in entries if e.startswith(AGAIN)),
        backlog=(max(backlog) - return_wall) if backlog else float("nan"),
        last=(max(first[t] for t in delivered) - return_wall) if delivered else float("nan"),
        wall=time.time() - started_wall, changes=len(changes), stalled=stalled,
        timed_out=timed_out, ended=ended, entries=entries, where=where, times=times)


def lost_details(entries, text, where):
    """What the relay's log says about a lost message: every entry naming it and the next few."""
    lines = ["lost %s, still in: %s" % (text.decode(), ", ".join(where) or "none of the relay's "
                                        "files")]
    key = text.decode("latin-1")
    for i, entry in enumerate(entries):
        if key in entry:
            for following in entries[i:i + 4]:
                lines.append("    " + following[:160])
    if len(lines) == 1:
        lines.append("    (the relay's log never names it)")
    return lines


def details(name, r):
    lines = []
    if r["ended"] is not None:
        lines.append("the relay ended on its own (exit status %s)" % r["ended"])
    if r["timed_out"]:
        lines.append("the wait ran out before everything had arrived")
    if r["stalled"]:
        lines.append("stopped waiting: nothing arrived for the stall time")
    if r["refused"]:
        lines.append("%d feeds refused, e.g. %s" % (len(r["refused"]), r["refused"][:3]))
    if r["unknown"]:
        lines.append("%d POSTs with a body that was never fed" % r["unknown"])
    if r["dup"]:
        lines.append("duplicated: %s" % " ".join("%s x%d" % (t.decode(), r["times"][t])
                                                 for t in r["dup"][:SHOWN])
                     + (" ..." if len(r["dup"]) > SHOWN else ""))
    for text in r["lost"][:SHOWN]:
        lines.extend(lost_details(r["entries"], text, r["where"][text]))
    if len(r["lost"]) > SHOWN:
        lines.append("... %d more lost" % (len(r["lost"]) - SHOWN))
    if lines:
        print("%s:" % name)
        for line in lines:
            print("  " + line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--interval", type=float, default=2.0, help="seconds between two feeds")
    parser.add_argument("--retry-after", type=int, default=5, help="the relay's RetryAfter")
    parser.add_argument("--lead", type=float, default=10.0, help="outage: seconds up first")
    parser.add_argument("--outage", type=float, default=60.0, help="outage: seconds down")
    parser.add_argument("--flap", type=float, default=10.0, help="flapping: seconds per state")
    parser.add_argument("--flap-for", type=float, default=120.0, help="flapping: seconds in all")
    parser.add_argument("--tail", type=float, default=20.0,
                        help="seconds of feeding after the receiver's return")
    parser.add_argument("--stall", type=float, default=300.0,
                        help="stop waiting after this long without a POST")
    parser.add_argument("--scenarios", default=",".join(SCENARIOS))
    parser.add_argument("--log-dir")
    args = parser.parse_args()
    names = [n for n in args.scenarios.split(",") if n]
    if not names or any(n not in SCENARIOS for n in names) or args.interval <= 0 \
            or args.retry_after < 1 or args.flap <= 0 or args.flap_for < args.flap \
            or args.outage <= 0 or args.lead < 0 or args.tail < 0:
        parser.error("bad --scenarios or timing")
    results = {n: {} for n in names}
    started = time.monotonic()
    if not side_by_side(names, lambda name: run_scenario(name, SCENARIOS.index(name) + 1, args,
                                                         results[name])):
        return 1
    if args.log_dir:
        os.makedirs(args.log_dir, exist_ok=True)
        for name in names:
            with open(os.path.join(args.log_dir, name + ".log"), "w", encoding="latin-1") as f:
                f.writelines(e + "\n" for e in results[name]["entries"])
    print()
    print("one message every %g s; WaitForAnswer=2, ScanInterval=1, WatchFile=1, "
          "FailedFile=%s, RetryAfter=%d" % (args.interval, KEPT, args.retry_after))
    print("outage: up %g s, down %g s, up; flapping: down and up every %g s for %g s, then up; "
          "feeds stop %g s after the return" % (args.lead, args.outage, args.flap, args.flap_for,
                                               args.tail))
    print("%-9s %5s %6s %6s %5s %5s %7s %7s %9s %7s %7s" % (
        "scenario", "fed", "POSTs", "deliv", "lost", "dup", "failed", "rounds", "backlog s",
        "last s", "wall s"))
    for name in names:
        r = results[name]
        print("%-9s %5d %6d %6d %5d %5d %7d %7d %9.1f %7.1f %7.0f" % (
            name, r["fed"], r["posts"], r["delivered"], len(r["lost"]), len(r["dup"]),
            r["failed"], r["rounds"], r["backlog"], r["last"], r["wall"]))
    print("(backlog and last: seconds from the receiver's last return to the first arrival of "
          "the last message fed before it, and of any message)")
    print("total %.0f s" % (time.monotonic() - started))
    for name in names:
        details(name, results[name])
    return 0


if __name__ == "__main__":
    sys.exit(main())
