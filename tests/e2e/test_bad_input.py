"""Bad input against the real program: incoming files that are binary, hold NUL bytes, a 50 MB
line, a million empty lines or invalid sequences in every byte range; settings that are binary,
empty, a folder, 100 MB, without sections or with absurd numbers; an incoming-message path that
is a folder, a dangling link, a FIFO or a file the program may not read.

For each: the program keeps running (still alive, SIGINT still gives the two shutdown lines), logs
what it can, and loses nothing it could have sent. The cases run at once, each with a relay and a
server of its own; each test method reports its case.
"""

import concurrent.futures
import hashlib
import os
import random
import shutil
import tempfile
import time
import traceback
import unittest

from harness import visible
from proof_util import (FAILED, OK, STARTED, CertServer, TimedRelay, ini, message_text,
                        proc_status, report, sanitized_build, split_messages, write_atomic)

START_LINES = 3  # separator, version line, "started ok"
QUIET_SECONDS = 3.5  # a few scan ticks with the bad input in place
FIFTY_MB = 50 * 1024 * 1024
MILLION = 1000000

# Invalid or odd sequences, one line per byte range; the last one is cut short by the end of
# the file, without a line end.
INVALID_LINES = [
    bytes(b for b in range(1, 32) if b != 13) + b"\x7f",  # C0 controls (CR ends a line), DEL
    bytes(range(0x80, 0xC0)),  # continuation bytes with no lead byte
    b"\xc0\x80\xc1\xbf\xe0\x80\x80\xf0\x80\x80\x80",  # overlong forms
    b"\xed\xa0\x80\xed\xbf\xbf",  # UTF-16 surrogates
    b"\xf4\x90\x80\x80" + bytes(range(0xF5, 0x100)),  # beyond U+10FFFF, never-valid bytes
    b"\xc2 \xe2\x82 \xf0\x9f\x98 x",  # lead bytes cut short inside the line
    b"\xef\xbb\xbf\xfe\xff\xff\xfe",  # byte-order marks in the middle of a line
    b"\xe2\x82",  # cut short by the end of the file
]


def tx_text(body):
    """The Tx text of a body as the log shows it: escaped by the traffic log, then rendered."""
    escaped = "".join(chr(b) if 32 <= b <= 127 else "<%d>" % b for b in body)
    return visible(escaped.encode("latin-1"))


def messages_of(relay, since=0):
    """(joined Tx text, outcome) per message among the log entries from index since."""
    out = []
    tx = None
    for entry in relay.entries()[since:]:
        if entry.startswith(" Tx: "):
            tx = (tx or "") + entry[5:]
        elif entry in (OK, FAILED):
            out.append((tx, entry))
            tx = None
    return out


class Scenario:
    """One case: a folder, a server, a relay; the case's own steps and assertions."""

    def __init__(self, root, name):
        self.name = name
        self.folder = tempfile.mkdtemp(prefix=name + "-", dir=root)
        self.server = CertServer(tempfile.mkdtemp(dir=root))
        self.relay = TimedRelay(self.folder)
        self.url = self.server.url("/ok")
        self.figures = ""
        self.t = unittest.TestCase()

    def close(self):
        self.relay.kill()
        if self.relay.process is not None:
            self.relay.process.stdout.close()
            self.relay.process.stderr.close()
        self.server.stop()

    def path(self, name):
        return self.relay.path(name)

    def drop(self, data, name="InComingSMS.txt"):
        write_atomic(self.path(name), data)

    def good_ini(self, **kwargs):
        kwargs.setdefault("wait", 3)
        write_atomic(self.path("Corbelwynford.INI"), ini(self.url, **kwargs))

    def start(self):
        self.relay.start()
        self.relay.wait_for(STARTED)

    def quiet_and_alive(self):
        """A few ticks with the bad input in place: still running, nothing logged."""
        time.sleep(QUIET_SECONDS)
        self.t.assertIsNone(self.relay.process.poll(), "the relay died")
        self.t.assertEqual(len(self.relay.entries()), START_LINES, self.relay.entries())

    def deliver(self, lines, since_outcomes=0, timeout=60, name="InComingSMS.txt"):
        """Drops a file of lines and waits for all of them to be delivered and the claim gone."""
        self.drop(b"\r\n".join(lines), name)
        self.relay.wait_outcomes(since_outcomes + len(lines), timeout=timeout)
        self.t.assertTrue(self.relay.wait_gone(name + ".$$$"))
        self.t.assertFalse(os.path.lexists(self.path(name)))

    def bodies(self):
        return self.server.bodies()

    def stop(self):
        self.relay.stop_cleanly(self.t)


# --- Incoming files ---------------------------------------------------------------------------

def check_file_delivered(s, data, wait=3, extra_protocol="", convert=lambda b: b):
    """Every message of data arrives, in order, converted as set, and the log shows each."""
    s.good_ini(wait=wait, extra_protocol=extra_protocol)
    s.start()
    expected = [convert(message_text(line)) for line in split_messages(data)]
    s.drop(data)
    s.relay.wait_outcomes(len(expected), timeout=4 * len(expected) + 30)
    s.t.assertTrue(s.relay.wait_gone("InComingSMS.txt.$$$"))
    s.t.assertEqual(s.bodies(), expected)
    s.t.assertEqual(messages_of(s.relay), [(tx_text(b) or None, OK) for b in expected])
    s.figures = "%d bytes, %d messages" % (len(data), len(expected))
    s.stop()


def case_binary_file(s):
    rng = random.Random(4711)
    check_file_delivered(s, bytes(rng.randrange(256) for _ in range(1500)))


def case_nul_bytes(s):
    check_file_delivered(s, b"\0\r\na\0b\r\0\0\0\r\n\0\n\0")


def case_invalid_sequences(s):
    check_file_delivered(s, b"\r\n".join(INVALID_LINES))


def case_invalid_sequences_as_utf8(s):
    # Each byte is taken as a Latin-1 character, so the result is valid UTF-8 whatever came in.
    check_file_delivered(s, b"\r\n".join(INVALID_LINES), extra_protocol="ISOtoUTF8=1\r\n",
                         convert=lambda b: b.decode("latin-1").encode("utf-8"))
    for body in s.bodies():
        body.decode("utf-8")


def case_fifty_megabyte_line(s):
    line = (b"0123456789abcdef" * (FIFTY_MB // 16 + 1))[:FIFTY_MB - 2] + b"\nz"
    s.good_ini(wait=60)
    s.start()
    rss_start = s.relay.rss()
    s.drop(line + b"\r\nnext")
    s.relay.wait_outcomes(2, timeout=240)
    s.t.assertTrue(s.relay.wait_gone("InComingSMS.txt.$$$", timeout=30))
    # The line's buffers are gone with the cycle, and the log list never held its half a million
    # entries at once, so the relay is back near where it started (read a few times: a sample
    # can catch the kernel mid-way).
    deadline = time.monotonic() + 10
    while s.relay.rss() - rss_start > 16 * 1024 and time.monotonic() < deadline:
        time.sleep(0.5)
    rss_end, hwm = s.relay.rss(), s.relay.hwm()
    if not sanitized_build():
        s.t.assertLess(rss_end - rss_start, 16 * 1024)
    digests = s.server.digests()
    s.t.assertEqual([d[1:] for d in digests], [
        (len(line), hashlib.sha256(line).hexdigest()),
        (4, hashlib.sha256(b"next").hexdigest())])
    entries = s.relay.entries()
    tx = [e for e in entries if e.startswith(" Tx: ")]
    escaped_length = len(line) - 1 + len("<10>")
    s.t.assertEqual(len(tx), (escaped_length + 99) // 100 + 1)
    s.t.assertEqual(tx[0], " Tx: " + "0123456789abcdef" * 6 + "0123")
    last = tx_text(line[-200:])[-(escaped_length % 100 or 100):]
    s.t.assertEqual(tx[-2:], [" Tx: " + last, " Tx: next"])
    s.t.assertEqual([e for e in entries if e in (OK, FAILED)], [OK, OK])
    s.figures = "RSS %d kB at start, %d kB after; peak %d kB" % (rss_start, rss_end, hwm)
    s.stop()


def case_million_empty_lines(s):
    data = b"\r\n" * MILLION
    digest = hashlib.sha256(data).hexdigest()
    s.good_ini(wait=3, xml="<m>[Message]</m>")
    s.start()
    s.drop(data)
    s.relay.wait_outcomes(2, timeout=30)
    rss_2 = s.relay.rss()
    s.relay.wait_outcomes(7, timeout=40)
    rss_7 = s.relay.rss()
    s.stop()
    # Nothing is lost: the claim file is still there, whole, to be posted from its first line.
    claim = s.path("InComingSMS.txt.$$$")
    with open(claim, "rb") as f:
        s.t.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest)
    posted = len(s.bodies())
    s.t.assertGreaterEqual(posted, 7)
    s.t.assertEqual(set(s.bodies()), {b"<m></m>"})
    s.start()
    s.relay.wait_outcomes(2, timeout=30)
    s.t.assertEqual(messages_of(s.relay), [("<m></m>", OK)] * len(messages_of(s.relay)))
    s.stop()
    s.t.assertTrue(os.path.exists(claim))
    if not sanitized_build():
        s.t.assertLess(rss_7 - rss_2, 512)
    s.figures = "RSS %d kB after 2 messages, %d kB after 7; %d posted before SIGINT" % (
        rss_2, rss_7, posted)


# --- Settings ---------------------------------------------------------------------------------

def check_recovers_from_ini(s, put_bad, remove_bad=None):
    """With the bad settings the relay idles quietly; once they are good, a message goes."""
    put_bad()
    s.start()
    s.quiet_and_alive()
    rss = s.relay.rss()
    if remove_bad:
        remove_bad()
    s.good_ini()
    s.deliver([b"after the settings were mended"])
    s.t.assertEqual(s.bodies(), [b"after the settings were mended"])
    s.figures = "RSS %d kB with the bad settings" % rss
    s.stop()


def case_ini_binary(s):
    rng = random.Random(1234)
    data = bytes(rng.randrange(256) for _ in range(65536))
    check_recovers_from_ini(s, lambda: write_atomic(s.path("Corbelwynford.INI"), data))


def case_ini_empty(s):
    check_recovers_from_ini(s, lambda: write_atomic(s.path("Corbelwynford.INI"), b""))


def case_ini_folder(s):
    check_recovers_from_ini(s, lambda: os.mkdir(s.path("Corbelwynford.INI")),
                            lambda: os.rmdir(s.path("Corbelwynford.INI")))


def case_ini_missing_sections(s):
    text = ini(s.url, wait=3).replace("[General]\r\n", "").replace("[Protocol]\r\n", "")
    check_recovers_from_ini(s, lambda: write_atomic(s.path("Corbelwynford.INI"), text))


def case_ini_hundred_megabytes(s):
    # 100 MB of random bytes with no section header, then the real settings: every key is read
    # through all of it on every tick, and the relay still does its work.
    rng = random.Random(99)
    block = bytes(rng.randrange(256) for _ in range(1 << 20)).replace(b"[", b"(")
    with open(s.path("Corbelwynford.INI.writing"), "wb") as f:
        for _ in range(100):
            f.write(block)
        f.write(b"\r\n" + ini(s.url, wait=5).encode("latin-1"))
    os.rename(s.path("Corbelwynford.INI.writing"), s.path("Corbelwynford.INI"))
    s.start()
    rss_start = s.relay.rss()
    started = time.monotonic()
    s.deliver([b"one", b"two"], timeout=180)
    took = time.monotonic() - started
    s.t.assertEqual(s.bodies(), [b"one", b"two"])
    rss_end = s.relay.rss()
    if not sanitized_build():  # the settings are read in blocks, never held whole
        s.t.assertLess(rss_end - rss_start, 4096)
    s.figures = "2 messages in %.1f s; RSS %d kB before, %d kB after" % (took, rss_start, rss_end)
    s.stop()


def case_absurd_numbers_overflow(s):
    # ScanInterval beyond a double counts as 0 (1000 ms); WaitForAnswer beyond 16 bits as 0, so
    # each outcome is judged at once and is a failure although the request goes; Protocol -7 is
    # refused by the control, which keeps its previous protocol.
    write_atomic(s.path("Corbelwynford.INI"), ini(
        s.url, wait="99999999", extra_protocol="Protocol=-7\r\n").replace(
            "ScanInterval=1", "ScanInterval=1E400"))
    s.start()
    s.drop(b"one\r\ntwo")
    s.relay.wait_outcomes(2, timeout=30)
    s.t.assertEqual(messages_of(s.relay), [("one", FAILED), ("two", FAILED)])
    s.t.assertTrue(s.relay.wait_gone("InComingSMS.txt.$$$"))
    s.drop(b"three")  # claimed within about a second: the interval fell back to 1000 ms
    s.relay.wait_outcomes(3, timeout=15)
    s.server.wait_for_requests(3, timeout=15)  # sent in the pause after its outcome
    s.t.assertEqual(s.bodies(), [b"one", b"two", b"three"])
    s.stop()


def case_absurd_numbers_extremes(s):
    # A negative interval (1000 ms), the longest wait there is, a protocol of 65535 (does not fit:
    # 0), a switch set to a huge number (on: only "0" is off), an empty switch (on).
    write_atomic(s.path("Corbelwynford.INI"), ini(
        s.url, wait="32767", extra_protocol="Protocol=&HFFFF\r\nISOtoHTML=1E400\r\nISOtoUTF8=\r\n"
    ).replace("ScanInterval=1", "ScanInterval=-1E300"))
    s.start()
    s.drop(b"a b\xe9")
    s.relay.wait_outcomes(1, timeout=30)
    s.t.assertEqual(s.bodies(), [b"a%20b%C3%A9"])
    s.t.assertEqual(messages_of(s.relay), [("a%20b%C3%A9", OK)])
    s.stop()


# --- The incoming-message path ----------------------------------------------------------------

def check_path_not_claimed(s, put_bad, remove_bad, relay=None):
    """What cannot be read is left where it is and does not block the file that comes next."""
    s.good_ini()
    put_bad()
    s.start()
    s.quiet_and_alive()
    s.t.assertTrue(os.path.lexists(s.path("InComingSMS.txt")), "it was claimed")
    s.t.assertFalse(os.path.lexists(s.path("InComingSMS.txt.$$$")))
    remove_bad()
    s.deliver([b"the next file"])
    s.t.assertEqual(s.bodies(), [b"the next file"])
    s.stop()


def remove_path(s):
    path = s.path("InComingSMS.txt")
    if os.path.isdir(path) and not os.path.islink(path):
        os.rmdir(path)
    else:
        os.unlink(path)


def case_path_folder(s):
    check_path_not_claimed(s, lambda: os.mkdir(s.path("InComingSMS.txt")),
                           lambda: remove_path(s))


def case_path_dangling_link(s):
    check_path_not_claimed(s, lambda: os.symlink(s.path("nowhere"), s.path("InComingSMS.txt")),
                           lambda: remove_path(s))


def case_path_fifo(s):
    # Opening a FIFO for reading would wait for a writer; it must not stop the relay.
    check_path_not_claimed(s, lambda: os.mkfifo(s.path("InComingSMS.txt")),
                           lambda: remove_path(s))


def case_path_unreadable(s):
    # Root reads a file of mode 000 anyway, so as root the relay runs as nobody here; its folder
    # is writable for it, the incoming file is not readable.
    os.chmod(os.path.dirname(s.folder), 0o755)
    os.chmod(s.folder, 0o777)
    if os.geteuid() == 0:
        wrapper = s.path("as-nobody.sh")
        with open(wrapper, "w") as f:
            f.write('#!/bin/sh\nexec setpriv --reuid=65534 --regid=65534 --clear-groups "%s" "$@"\n'
                    % s.relay.binary)
        os.chmod(wrapper, 0o755)
        s.relay.binary = wrapper

    def put_bad():
        s.drop(b"secret")
        os.chmod(s.path("InComingSMS.txt"), 0)

    def replace_it():
        if os.geteuid() == 0:  # the relay really ran as nobody
            s.t.assertEqual(proc_status(s.relay.process.pid, "Uid"), 65534)
        # Only removed here: the next file is dropped by the check itself, and a second drop
        # racing with it could leave one unclaimed at the moment the check looks.
        os.unlink(s.path("InComingSMS.txt"))

    check_path_not_claimed(s, put_bad, replace_it)


CASES = [
    case_binary_file, case_nul_bytes, case_invalid_sequences, case_invalid_sequences_as_utf8,
    case_fifty_megabyte_line, case_million_empty_lines,
    case_ini_binary, case_ini_empty, case_ini_folder, case_ini_missing_sections,
    case_ini_hundred_megabytes, case_absurd_numbers_overflow, case_absurd_numbers_extremes,
    case_path_folder, case_path_dangling_link, case_path_fifo, case_path_unreadable,
]


def run(case, root):
    name = case.__name__[len("case_"):]
    scenario = None
    started = time.monotonic()
    try:
        scenario = Scenario(root, name)
        case(scenario)
        error = None
    except Exception:
        error = traceback.format_exc()
        if scenario is not None:
            error += "\nlog tail: %r" % scenario.relay.entries()[-10:]
    finally:
        if scenario is not None:
            scenario.close()
    return {"error": error, "seconds": time.monotonic() - started,
            "figures": scenario.figures if scenario else ""}


class BadInputTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="cw-bad-input-")
        started = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(len(CASES)) as pool:
            futures = {c.__name__[len("case_"):]: pool.submit(run, c, cls.root) for c in CASES}
            cls.results = {name: f.result() for name, f in futures.items()}
        rows = ["%-28s %6.1f s  %s%s" % (name, r["seconds"], "ERROR " if r["error"] else "",
                                         r["figures"]) for name, r in cls.results.items()]
        rows.append("all cases at once: %.1f s" % (time.monotonic() - started))
        report("bad input", rows)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def check(self, name):
        error = self.results[name]["error"]
        if error:
            self.fail(error)


def _add_test(name):
    setattr(BadInputTest, "test_" + name, lambda self: self.check(name))


for _case in CASES:
    _add_test(_case.__name__[len("case_"):])


if __name__ == "__main__":
    unittest.main()
