"""What /proc tells of a running relay, for the bench scripts' figures."""

import os


def figures(pid):
    """Resident memory, its peak and the open descriptors of process pid."""
    with open("/proc/%d/status" % pid) as f:
        kb = {line.split(":")[0]: int(line.split()[1]) for line in f if line.startswith("Vm")}
    fds = len(os.listdir("/proc/%d/fd" % pid))
    return "RSS %6d kB, peak %6d kB, %d descriptors" % (kb["VmRSS"], kb["VmHWM"], fds)
