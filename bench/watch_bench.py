#!/usr/bin/env python3
"""How fast the relay claims a new incoming file, and what it costs while idle.

A measurement on the real program, not a test: it prints figures and fails nothing.

Run (a few minutes; the binary is not built here):
  nice python3 bench/watch_bench.py [BINARY]        (default build/corbelwynford)
Options: --watch-files 50 --scan-files 10 --ref-files 50 --idle-seconds 60 --strace-seconds 10.
Needs inotifywait (Debian: apt-get install inotify-tools) and curl for the reference row, and
strace (apt-get install strace) for the system-call counts; a missing tool skips its part.

What it prints:
- Latency, one row each, ms from the rename of x.tmp to InComingSMS.txt to the sight of the
  request's .head file in the loopback server's record folder (polled every 1 ms; the server
  writes it once the whole request is in, so this is the first byte plus the request's own
  transfer and a poll step). Each file is dropped only after the previous one was processed (its
  request recorded and the claim file gone). Rows: WatchFile=1 with ScanInterval=60; WatchFile=0
  with ScanInterval=10 (the file is dropped just after a cycle ended, so nearly the full interval
  is waited; the first file comes under the one-second ticks before any file was processed); and
  `inotifywait -m -e moved_to,close_write` + `curl --data-binary @file` on the same folder and
  server. p50, p90 and p99 by nearest rank (with 50 files or fewer, p99 is the slowest one).
- Idle cost, WatchFile=1 and WatchFile=0 with ScanInterval=10, each in two states: "fresh" (no
  file processed yet, so the scan timer ticks every second) and "after a file" (ScanInterval in
  force): CPU ms a minute from utime+stime in /proc/PID/stat (clock ticks, 10 ms steps) and from
  /proc/PID/task/*/schedstat (ns), and wake-ups a second (voluntary context switches of all the
  process's threads / seconds). Then strace -f -c for a few seconds: system calls per scan tick and
  the most frequent calls.
- The machine's own share: bench/wake_floor (built with the benchmarks) measured the same way,
  waking once a second with nothing to do, then with the idle scan's four checks (the settings
  file twice, the incoming and the claim file). On a virtual machine a wake-up after a second's
  sleep finds cold caches, so these rows move with the load; the relay's own share is its row
  less the floor's.
"""

import argparse
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER_SCRIPT = os.path.join(SOURCE_DIR, "tests", "servers", "http_server.py")
TICKS = os.sysconf("SC_CLK_TCK")
SCAN_NAME = "InComingSMS.txt"
CLAIM_NAME = SCAN_NAME + ".$$$"


def wait_until(condition, timeout, step=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def end_process(process, group=False):
    """Ends a process this script started (or its own process group), by its id."""
    if process is None or process.poll() is not None:
        return
    send = (lambda sig: os.killpg(process.pid, sig)) if group else process.send_signal
    try:
        send(signal.SIGTERM)
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        send(signal.SIGKILL)
        process.wait(timeout=10)
    except ProcessLookupError:
        pass


class Server:
    """tests/servers/http_server.py recording into a folder of its own."""

    def __init__(self, record):
        self.record = record
        self.process = subprocess.Popen([sys.executable, SERVER_SCRIPT, "--record", record],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], 15)
        line = self.process.stdout.readline() if ready else b""
        if not line:
            raise RuntimeError("the loopback server did not start")
        self.url = "http://127.0.0.1:%d/ok" % int(line)
        self.count = 0  # requests seen so far; request i leaves %06d.head

    def head(self, index):
        return os.path.join(self.record, "%06d.head" % index)

    def body(self, index):
        with open(os.path.join(self.record, "%06d.body" % index), "rb") as f:
            return f.read()


class Relay:
    """The program from a copy of the binary in a folder of its own, log to a file."""

    def __init__(self, scratch, name, binary, url, watch, interval):
        self.folder = os.path.join(scratch, name)
        os.makedirs(os.path.join(self.folder, "root"))
        shutil.copy2(binary, os.path.join(self.folder, "corbelwynford"))
        with open(os.path.join(self.folder, "Corbelwynford.INI"), "wb") as f:
            f.write(("[General]\r\nScanInterval=%d\r\nFileToScan=%s\r\nWatchFile=%d\r\n"
                     "[Protocol]\r\nURL=%s\r\nWaitForAnswer=20\r\n"
                     "Header=Content-Type: text/plain\r\nXML=[Message]\r\nProtocol=4\r\n"
                     % (interval, SCAN_NAME, watch, url)).encode())
        self.log_path = os.path.join(self.folder, "relay.log")
        self.process = None
        self.watch = watch

    def path(self, name):
        return os.path.join(self.folder, name)

    def start(self):
        env = dict(os.environ, LC_ALL="C", LANG="C", TERM="dumb",
                   CORBELWYNFORD_ROOT=self.path("root"))  # no system service settings
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen([self.path("corbelwynford")], stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=subprocess.STDOUT, env=env,
                                            cwd=self.folder)
        if not wait_until(lambda: self.log().count("started ok as application"), 15):
            raise RuntimeError("the relay did not start:\n" + self.log())
        # The first scan (one second after start) sets the watch up.
        if self.watch and not wait_until(self.watching, 10):
            raise RuntimeError("the relay set no inotify watch:\n" + self.log())

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def watching(self):
        fds = "/proc/%d/fd" % self.process.pid
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)) != "anon_inode:inotify":
                    continue
                with open("/proc/%d/fdinfo/%s" % (self.process.pid, fd)) as f:
                    if "inotify wd:" in f.read():
                        return True
            except OSError:
                pass
        return False

    def processed(self):
        return not os.path.lexists(self.path(CLAIM_NAME)) and \
            not os.path.lexists(self.path(SCAN_NAME))

    def stop(self):
        end_process(self.process)


def drop(folder, data):
    """Writes x.tmp and renames it into place; returns the time just before the rename."""
    tmp = os.path.join(folder, "x.tmp")
    with open(tmp, "wb") as f:
        f.write(data)
    start = time.perf_counter()
    os.rename(tmp, os.path.join(folder, SCAN_NAME))
    return start


def drop_files(server, folder, count, label, arrive_timeout, processed):
    """Latencies in ms of count files dropped one at a time; raises when one does not arrive."""
    latencies = []
    for i in range(count):
        marker = b"%s %d" % (label.encode(), i)
        head = server.head(server.count)
        start = drop(folder, marker + b"\r\n")
        deadline = start + arrive_timeout
        while not os.path.exists(head):
            if time.perf_counter() > deadline:
                raise RuntimeError("%s: file %d did not arrive within %d s"
                                   % (label, i, arrive_timeout))
            time.sleep(0.001)
        latencies.append((time.perf_counter() - start) * 1000)
        if marker not in server.body(server.count):
            raise RuntimeError("%s: request %d is not file %d" % (label, server.count, i))
        server.count += 1
        if not wait_until(processed, 30, step=0.005):
            raise RuntimeError("%s: file %d was not processed within 30 s" % (label, i))
    return latencies


def percentile(values, p):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100 * len(ordered)) - 1)]


def print_latency(label, values):
    print("  %-32s n=%3d  p50 %8.1f ms  p90 %8.1f  p99 %8.1f  min %8.1f  max %8.1f"
          % (label, len(values), percentile(values, 50), percentile(values, 90),
             percentile(values, 99), min(values), max(values)), flush=True)


def relay_latency(scratch, binary, server, watch, interval, count):
    relay = Relay(scratch, "latency-watch%d" % watch, binary, server.url, watch, interval)
    try:
        relay.start()
        values = drop_files(server, relay.folder, count, "watch%d" % watch, interval + 20,
                            relay.processed)
        delivered = relay.log().count("Sending completed successfully")
        if delivered != count:
            raise RuntimeError("%d of %d files delivered:\n%s" % (delivered, count, relay.log()))
        return values
    finally:
        relay.stop()


# The reference: a shell watcher posting the file with curl, then removing it.
REFERENCE = r"""
inotifywait -m -e moved_to,close_write --format %f "$1" 2>"$3" |
while IFS= read -r name; do
  if [ "$name" = "$4" ]; then
    curl -s -o /dev/null --data-binary @"$1/$4" "$2"
    rm -f -- "$1/$4"
  fi
done
"""


def reference_latency(scratch, server, count):
    folder = os.path.join(scratch, "reference")
    os.makedirs(folder)
    errors = os.path.join(scratch, "inotifywait.err")
    shell = subprocess.Popen(["bash", "-c", REFERENCE, "bash", folder, server.url, errors,
                              SCAN_NAME], stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        def established():
            with open(errors, "rb") as f:
                return b"Watches established" in f.read()

        if not wait_until(lambda: os.path.exists(errors) and established(), 10):
            raise RuntimeError("inotifywait did not start")
        return drop_files(server, folder, count, "reference", 20,
                          lambda: not os.path.lexists(os.path.join(folder, SCAN_NAME)))
    finally:
        end_process(shell, group=True)


def tasks(pid):
    return ["/proc/%d/task/%s" % (pid, t) for t in os.listdir("/proc/%d/task" % pid)]


def usage(pid):
    """(CPU ticks of the process, CPU ns of its threads, voluntary switches of its threads)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    ns = switches = 0
    for task in tasks(pid):
        try:
            with open(task + "/schedstat") as f:
                ns += int(f.read().split()[0])
            with open(task + "/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        switches += int(line.split()[1])
        except OSError:
            pass  # a thread that just ended
    return ticks, ns, switches


def idle_cost(pid, seconds):
    t0, u0 = time.monotonic(), usage(pid)
    time.sleep(seconds)
    t1, u1 = time.monotonic(), usage(pid)
    per_minute = 60 / (t1 - t0)
    return ((u1[0] - u0[0]) * 1000 / TICKS * per_minute, (u1[1] - u0[1]) / 1e6 * per_minute,
            (u1[2] - u0[2]) / (t1 - t0))


def syscalls(scratch, pid, seconds):
    """strace -c of the process for seconds: (total calls, [(calls, name)] most first)."""
    out = os.path.join(scratch, "strace-%d-%d.txt" % (pid, time.monotonic_ns()))
    tracer = subprocess.Popen(["strace", "-f", "-c", "-o", out, "-p", str(pid)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        time.sleep(seconds)
        tracer.send_signal(signal.SIGINT)  # detaches and writes the summary
        tracer.wait(timeout=10)
    finally:
        end_process(tracer)
    calls, total = [], 0
    with open(out) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 5 or not parts[3].isdigit():
                continue
            if parts[-1] == "total":
                total = int(parts[3])
            else:
                calls.append((int(parts[3]), parts[-1]))
    return total, sorted(calls, reverse=True)


def idle_rows(scratch, binary, server, watch, args):
    relay = Relay(scratch, "idle-watch%d" % watch, binary, server.url, watch, 10)
    try:
        relay.start()
        time.sleep(2)
        for state, tick_s in (("fresh, scan every 1 s", 1), ("after a file, ScanInterval=10", 10)):
            if tick_s == 10:
                drop_files(server, relay.folder, 1, "idle%d" % watch, 30, relay.processed)
                time.sleep(2)
            cpu_ticks, cpu_ns, wakeups = idle_cost(relay.process.pid, args.idle_seconds)
            print("  WatchFile=%d %-30s CPU %5.0f ms/min (ticks), %6.2f ms/min (schedstat);"
                  " %.2f wake-ups/s" % (watch, state, cpu_ticks, cpu_ns, wakeups), flush=True)
            if args.strace_seconds > 0 and shutil.which("strace"):
                total, top = syscalls(scratch, relay.process.pid, args.strace_seconds)
                print("    strace %g s: %d calls, %.1f per scan tick; top: %s"
                      % (args.strace_seconds, total, total * tick_s / args.strace_seconds,
                         ", ".join("%s %d" % (name, n) for n, name in top[:8])), flush=True)
    finally:
        relay.stop()


def floor_rows(scratch, floor, args):
    """The same idle measure of wake_floor: once bare, once with the idle scan's four checks."""
    folder = os.path.join(scratch, "floor")
    os.makedirs(folder)
    settings = os.path.join(folder, "Corbelwynford.INI")
    with open(settings, "wb") as f:
        f.write(b"[General]\r\nWatchFile=1\r\n")
    checks = [settings, os.path.join(folder, SCAN_NAME), settings, os.path.join(folder, CLAIM_NAME)]
    for label, paths in (("bare", []), ("+ 4 stats", checks)):
        process = subprocess.Popen([floor] + paths, stdin=subprocess.DEVNULL)
        try:
            time.sleep(2)
            _, cpu_ns, wakeups = idle_cost(process.pid, args.idle_seconds)
        finally:
            end_process(process)
        print("  wake_floor %-30s         %6.2f ms/min (schedstat); %.2f wake-ups/s"
              % (label, cpu_ns, wakeups), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary", nargs="?", default=os.path.join(SOURCE_DIR, "build",
                                                                  "corbelwynford"))
    parser.add_argument("--watch-files", type=int, default=50)
    parser.add_argument("--scan-files", type=int, default=10)
    parser.add_argument("--ref-files", type=int, default=50)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--strace-seconds", type=float, default=10)
    parser.add_argument("--floor", help="the wake_floor program (default: bench/wake_floor "
                        "beside the binary; skipped when missing)")
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    floor = args.floor or os.path.join(os.path.dirname(binary), "bench", "wake_floor")
    if not os.access(binary, os.X_OK):
        sys.exit("no program at %s (build the corbelwynford target first)" % binary)

    scratch = tempfile.mkdtemp(prefix="cw-watch-bench-")
    server = None
    try:
        os.makedirs(os.path.join(scratch, "requests"))
        server = Server(os.path.join(scratch, "requests"))
        print("load average at start: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        print("latency, rename -> request at the server:", flush=True)
        if args.watch_files > 0:
            print_latency("WatchFile=1, ScanInterval=60",
                          relay_latency(scratch, binary, server, 1, 60, args.watch_files))
        if args.scan_files > 0:
            print_latency("WatchFile=0, ScanInterval=10",
                          relay_latency(scratch, binary, server, 0, 10, args.scan_files))
        if args.ref_files > 0:
            if shutil.which("inotifywait") and shutil.which("curl"):
                print_latency("reference: inotifywait + curl",
                              reference_latency(scratch, server, args.ref_files))
            else:
                print("  reference skipped: inotifywait (inotify-tools) or curl missing")
        if args.idle_seconds > 0:
            print("idle cost, ScanInterval=10 (%g s each):" % args.idle_seconds, flush=True)
            for watch in (1, 0):
                idle_rows(scratch, binary, server, watch, args)
            if os.access(floor, os.X_OK):
                floor_rows(scratch, floor, args)
            else:
                print("  wake_floor skipped: no program at %s" % floor)
        print("load average at end: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    finally:
        if server is not None:
            end_process(server.process)
            server.process.stdout.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
