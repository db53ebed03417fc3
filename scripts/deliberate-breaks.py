#!/usr/bin/env python3
"""Applies each deliberate fault of scripts/deliberate-breaks.txt to a scratch copy of the
tracked sources, one at a time, builds the release program and its tests there, and runs the
tests that the fault's pattern names. Prints one line per fault: caught or NOT CAUGHT, and exits
non-zero when any fault went uncaught.

  scripts/deliberate-breaks.py [--only NAME ...] [SCRATCH_DIR]   (default /tmp/cw-breaks)
"""

import argparse
import os
import shutil
import subprocess
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(command, log, **kwargs):
    with open(log, "a") as out:
        return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, **kwargs).returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scratch", nargs="?", default="/tmp/cw-breaks")
    parser.add_argument("--only", nargs="*")
    args = parser.parse_args()
    src, build = os.path.join(args.scratch, "src"), os.path.join(args.scratch, "build")
    shutil.rmtree(args.scratch, ignore_errors=True)
    tracked = subprocess.run(["git", "ls-files", "-z"], cwd=SOURCE, capture_output=True,
                             check=True).stdout.decode().split("\0")
    for name in filter(None, tracked):
        os.makedirs(os.path.dirname(os.path.join(src, name)) or src, exist_ok=True)
        shutil.copy2(os.path.join(SOURCE, name), os.path.join(src, name))
    log = os.path.join(args.scratch, "build.log")
    launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
    if run(["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DCW_BUILD_TESTS=ON",
            "-DCW_BUILD_BENCH=OFF"] + launcher, log) or \
            run(["cmake", "--build", build, "-j%d" % os.cpu_count()], log):
        sys.exit("the unbroken tree does not build: see " + log)

    uncaught = 0
    with open(os.path.join(SOURCE, "scripts", "deliberate-breaks.txt")) as listing:
        faults = [line.rstrip("\n").split(" | ") for line in listing
                  if line.strip() and not line.startswith("#")]
    for name, path, old, new, pattern in faults:
        if args.only and name not in args.only:
            continue
        target = os.path.join(src, path)
        with open(target) as f:
            original = f.read()
        old, new = old.replace("<LF>", "\n"), new.replace("<LF>", "\n")
        if old not in original:
            print("%s: the text to break is not in %s" % (name, path))
            uncaught += 1
            continue
        with open(target, "w") as f:
            f.write(original.replace(old, new, 1))
        fault_log = os.path.join(args.scratch, name + ".log")
        if run(["cmake", "--build", build, "-j%d" % os.cpu_count()], fault_log):
            result = "build failed (see %s)" % fault_log
            uncaught += 1
        elif not subprocess.run(["ctest", "--test-dir", build, "-N", "-R", pattern],
                                capture_output=True, text=True).stdout.count("Test #"):
            result = "no test matches " + pattern
            uncaught += 1
        elif run(["ctest", "--test-dir", build, "-R", pattern, "-j%d" % os.cpu_count(),
                  "--timeout", "300"], fault_log):
            result = "caught by " + pattern
        else:
            result = "NOT CAUGHT by " + pattern
            uncaught += 1
        shutil.copy2(os.path.join(SOURCE, path), target)
        os.utime(target)  # a fresh time stamp, so the next build compiles it again
        print("%s: %s" % (name, result), flush=True)
    sys.exit(1 if uncaught else 0)


if __name__ == "__main__":
    main()
