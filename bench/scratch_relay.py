"""A relay and a loopback server in a scratch folder, and what /proc tells of the relay, for the
bench scripts (which put tests/e2e on sys.path before importing this)."""

import contextlib
import os
import shutil
import sys
import tempfile
import threading

from harness import Relay, Server


@contextlib.contextmanager
def relay_and_server(prefix):
    """Yields (relay, server), the relay not started yet; both are ended and the folder removed
    afterwards."""
    folder = tempfile.mkdtemp(prefix=prefix)
    server = Server(tempfile.mkdtemp(dir=folder))
    relay = Relay(tempfile.mkdtemp(dir=folder))
    try:
        yield relay, server
    finally:
        relay.close()
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


def figures(relay):
    """Resident memory, its peak and the open descriptors of the running relay."""
    pid = relay.process.pid
    with open("/proc/%d/status" % pid) as f:
        kb = {line.split(":")[0]: int(line.split()[1]) for line in f if line.startswith("Vm")}
    fds = len(os.listdir("/proc/%d/fd" % pid))
    return "RSS %6d kB, peak %6d kB, %d descriptors" % (kb["VmRSS"], kb["VmHWM"], fds)


def side_by_side(names, run):
    """Runs run(name) for every name at once, a thread each. Returns True when all ran; where the
    script itself failed (not the relay), says so on standard error and returns False."""
    errors = []

    def guarded(name):
        try:
            run(name)
        except BaseException as error:  # noqa: B902 (a measurement reports every failure)
            errors.append((name, error))

    threads = [threading.Thread(target=guarded, args=(name,)) for name in names]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for name, error in errors:
        print("%s: the bench failed: %r" % (name, error), file=sys.stderr)
    return not errors
