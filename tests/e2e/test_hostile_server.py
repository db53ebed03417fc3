"""Hostile servers against the real program: one that accepts and never reads, one that stalls
after its headers, one that closes mid-answer, a 100 MB answer, 301/404/500, garbage instead of
HTTP, and TLS that must not be trusted (expired certificate, wrong host name, plain HTTP on an
https URL).

Every case runs in a relay of its own, all at once: a warm-up message to a good server, two
messages to the hostile one, then (settings switched back) a message to the good server again.
Each case checks the outcome entries, that a hostile message takes no longer than WaitForAnswer
plus a margin, that the resident memory ends where it was after the warm-up, and that the next
message still goes.
"""

import concurrent.futures
import os
import shutil
import signal
import tempfile
import time
import traceback
import unittest

from harness import visible
from proof_util import (FAILED, OK, STARTED, CertServer, ProofCa, SilentServer, TimedRelay, ini,
                        load_server_module, openssl_date, report, sanitized_build, write_atomic)

WAIT = 3  # WaitForAnswer of the hostile messages
BIG_WAIT = 15  # for the 100 MB answer, which takes a while to read and drop
MARGIN = 6  # seconds on top of WaitForAnswer: pauses, event handling, a busy machine
RSS_GROWTH_KB = 8 * 1024
HUNDRED_MB = 100 * 1024 * 1024
BIG_LINE = 1024 * 1024  # far more than the silent server's window and our socket buffers


class Case:
    def __init__(self, name, target, outcome, rx=None, wait=WAIT, first_line=b"h1", tls=None,
                 warm_up=b"warm-up"):
        self.name = name
        self.target = target  # (servers) -> URL of the hostile server
        self.outcome = outcome
        self.rx = rx  # the Rx text the hostile answer must show, if any
        self.wait = wait
        self.first_line = first_line
        self.tls = tls  # the good server speaks TLS, with a certificate of the same CA
        # A warm-up message as large as the hostile one lets the allocator reach the size that
        # such a message needs anyway, so the memory figures show only what the exchange keeps.
        self.warm_up = warm_up


CASES = [
    Case("never_reads", lambda s: s["silent"].url(), FAILED, first_line=b"x" * BIG_LINE,
         warm_up=b"w" * BIG_LINE),
    Case("headers_then_stall", lambda s: s["plain"].url("/headers-then-stall"), FAILED),
    Case("closes_mid_answer", lambda s: s["plain"].url("/half"), FAILED),
    Case("closes_without_answer", lambda s: s["plain"].url("/close"), FAILED),
    Case("hundred_megabytes", lambda s: s["plain"].url("/body/%d" % HUNDRED_MB), OK,
         wait=BIG_WAIT),
    Case("status_301", lambda s: s["plain"].url("/redirect"), FAILED, rx="Moved"),
    Case("status_404", lambda s: s["plain"].url("/status/404"), FAILED, rx="Status 404"),
    Case("status_500", lambda s: s["plain"].url("/status/500"), FAILED, rx="Status 500"),
    Case("garbage", lambda s: s["plain"].url("/garbage"), FAILED),
    Case("tls_expired", lambda s: s["expired"].url("/ok"), FAILED, tls=True),
    Case("tls_wrong_host", lambda s: s["otherhost"].url("/ok"), FAILED, tls=True),
    Case("plain_http_on_https_url", lambda s: s["plain"].url("/ok", scheme="https"), FAILED,
         tls=True),
]


def traffic_text(entries, prefix):
    """The text of consecutive traffic entries of one direction, joined again."""
    return "".join(e[len(prefix):] for e in entries if e.startswith(prefix))


def exchanges(timed):
    """(first Tx time, entries, outcome time) per message, from the first Tx to its outcome."""
    out = []
    current = None
    for t, entry in timed:
        if entry.startswith(" Tx: ") and current is None:
            current = (t, [])
        if current is not None:
            current[1].append(entry)
            if entry in (OK, FAILED):
                out.append((current[0], current[1], t))
                current = None
    return out


def run_case(case, servers, ca_cert, root):
    """Runs one case; returns its figures and entries (the test methods judge them)."""
    folder = tempfile.mkdtemp(prefix="cw-hostile-%s-" % case.name, dir=root)
    good = servers["good_tls"] if case.tls else servers["plain"]
    good_url = good.url("/ok?case=" + case.name)
    relay = TimedRelay(folder, env={"SSL_CERT_FILE": ca_cert})
    result = {"case": case, "folder": folder}
    try:
        write_atomic(relay.path("Corbelwynford.INI"), ini(good_url, wait=WAIT))
        relay.start()
        relay.wait_for(STARTED)
        write_atomic(relay.path("InComingSMS.txt"), case.warm_up)
        relay.wait_outcomes(1)
        if not relay.wait_gone("InComingSMS.txt.$$$"):
            raise AssertionError("warm-up claim file left")
        result["rss_before"] = relay.rss()
        result["fds_before"] = relay.fds()
        seen = relay.line_count()

        write_atomic(relay.path("Corbelwynford.INI"), ini(case.target(servers), wait=case.wait))
        write_atomic(relay.path("InComingSMS.txt"), case.first_line + b"\rh2")
        started = time.monotonic()
        relay.wait_outcomes(3, timeout=4 * (case.wait + MARGIN))
        result["hostile_seconds"] = time.monotonic() - started
        # The settings of a running cycle are its own: switching back now is safe.
        write_atomic(relay.path("Corbelwynford.INI"), ini(good_url, wait=WAIT))
        if not relay.wait_gone("InComingSMS.txt.$$$", timeout=2 * case.wait + 30):
            raise AssertionError("hostile claim file left")
        write_atomic(relay.path("InComingSMS.txt"), b"after")
        relay.wait_outcomes(4, timeout=2 * (case.wait + MARGIN) + 10)
        relay.wait_gone("InComingSMS.txt.$$$")
        result["rss_after"] = relay.rss()
        result["hwm"] = relay.hwm()
        result["fds_after"] = relay.fds()
        if case.name == "never_reads":
            result["queued"] = servers["silent"].queued_bytes()
        result["timed"] = relay.timed_entries()[seen:]
        result["alive"] = relay.process.poll() is None
        result["exit"] = None
        relay.send(signal.SIGINT)
        result["exit"] = relay.wait_exit(timeout=60)
        result["last"] = relay.entries()[-2:]
    except Exception:  # judged by the case's test method
        result["error"] = traceback.format_exc() + "\nlog tail: %r" % relay.entries()[-12:]
    finally:
        relay.kill()
        if relay.process is not None:
            relay.process.stdout.close()
            relay.process.stderr.close()
    return result


class HostileServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="cw-hostile-")
        cls.servers = {}
        try:
            ca = ProofCa(os.path.join(cls.root, "ca"))
            cls.ca = ca
            day = 24 * 3600
            expired = ca.issue("expired", "DNS:localhost,IP:127.0.0.1", "20200101000000Z",
                               "20200201000000Z")
            other = ca.issue("otherhost", "DNS:otherhost", openssl_date(-day), openssl_date(day))
            good = ca.issue("good", "DNS:localhost,IP:127.0.0.1", openssl_date(-day),
                            openssl_date(day))
            for name, pair in (("plain", (None, None)), ("expired", expired),
                               ("otherhost", other), ("good_tls", good)):
                sub = tempfile.mkdtemp(dir=cls.root)
                cls.servers[name] = CertServer(sub, *pair)
            cls.servers["silent"] = SilentServer()
            started = time.monotonic()
            with concurrent.futures.ThreadPoolExecutor(len(CASES)) as pool:
                futures = [pool.submit(run_case, c, cls.servers, ca.cert, cls.root) for c in CASES]
                cls.results = {c.name: f.result() for c, f in zip(CASES, futures)}
            cls.elapsed = time.monotonic() - started
            cls.requests = {name: s.requests() for name, s in cls.servers.items()
                            if name != "silent"}
        finally:
            for server in cls.servers.values():
                server.stop()
        cls.print_figures()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def print_figures(cls):
        rows = ["%-24s %-7s %-11s %9s %9s %9s %8s %6s" % (
            "case", "outcome", "each s", "both s", "RSS kB<", "RSS kB>", "HWM kB", "fds")]
        for case in CASES:
            r = cls.results[case.name]
            if "error" in r:
                rows.append("%-24s ERROR" % case.name)
                continue
            hostile = exchanges(r["timed"])[:2]
            each = "/".join("%.1f" % (done - tx) for tx, _, done in hostile)
            rows.append("%-24s %-7s %-11s %9.1f %9s %9s %8s %3s>%-3s" % (
                case.name, "ok" if hostile[0][1][-1] == OK else "failed", each,
                r["hostile_seconds"], r["rss_before"], r["rss_after"], r["hwm"],
                r["fds_before"], r["fds_after"]))
        queued = cls.results["never_reads"].get("queued")
        rows.append("silent server: bytes queued unread per connection %s of a %d-byte body" %
                    (queued, BIG_LINE))
        rows.append("all cases at once: %.1f s" % cls.elapsed)
        rows.append("each s: first Tx to outcome per hostile message; both s: from dropping the "
                    "file to the second outcome (the second message first cancels a request still "
                    "running and waits up to WaitForAnswer for it)")
        report("hostile servers (WaitForAnswer %d s, %d s for 100 MB)" % (WAIT, BIG_WAIT), rows)

    # The judgement shared by every case.
    def judge(self, name):
        r = self.results[name]
        case = r["case"]
        self.assertNotIn("error", r, r.get("error"))
        timed = r["timed"]
        messages = exchanges(timed)
        self.assertEqual(len(messages), 3, timed)
        for index, (tx_time, entries, done) in enumerate(messages[:2]):
            with self.subTest(message=index + 1):
                self.assertEqual(entries[-1], case.outcome, entries[-8:])
                if case.rx is not None:
                    self.assertEqual(traffic_text(entries, " Rx: "), case.rx)
                elif case.outcome == FAILED:
                    self.assertFalse(any(e.startswith(" Rx: ") for e in entries), entries[-8:])
                self.assertLessEqual(done - tx_time, case.wait + MARGIN)
        # The first hostile message's Tx holds the whole line.
        self.assertEqual(len(traffic_text(messages[0][1], " Tx: ")), len(case.first_line))
        # The next message, to a good server, still goes.
        self.assertEqual(messages[2][1][-1], OK, messages[2][1])
        self.assertEqual(traffic_text(messages[2][1], " Tx: "), "after")
        self.assertTrue(r["alive"])
        self.assertEqual(r["exit"], 0)
        self.assertEqual(r["last"][-1], "Corbelwynford was shutdown")
        if not sanitized_build():
            self.assertLess(r["rss_after"] - r["rss_before"], RSS_GROWTH_KB)
        self.assertLessEqual(r["fds_after"], r["fds_before"])
        good = "good_tls" if case.tls else "plain"
        paths = [q["path"] for q in self.requests[good]]
        self.assertEqual(paths.count("/ok?case=" + name), 2)  # warm-up and after
        return messages

    def hostile_requests(self, server, path):
        return [q for q in self.requests[server] if q["path"] == path]

    def test_never_reads(self):
        self.judge("never_reads")
        r = self.results["never_reads"]
        # The 4 MB body could not be sent in full: the relay did not wait on the socket.
        self.assertTrue(r["queued"], "no connection reached the silent server")
        self.assertLess(r["queued"][0], BIG_LINE)

    def test_headers_then_stall(self):
        self.judge("headers_then_stall")
        self.assertEqual(len(self.hostile_requests("plain", "/headers-then-stall")), 2)

    def test_closes_mid_answer(self):
        self.judge("closes_mid_answer")
        self.assertEqual(len(self.hostile_requests("plain", "/half")), 2)

    def test_closes_without_answer(self):
        self.judge("closes_without_answer")
        self.assertEqual(len(self.hostile_requests("plain", "/close")), 2)

    def test_hundred_megabytes(self):
        messages = self.judge("hundred_megabytes")
        pattern = load_server_module().PATTERN[:1024]
        # Each answer shows its first 1024 bytes, escaped as the traffic log does.
        escaped = "".join(chr(b) if 32 <= b <= 127 else "<%d>" % b for b in pattern)
        for _, entries, _ in messages[:2]:
            self.assertEqual(traffic_text(entries, " Rx: "), visible(escaped.encode("latin-1")))

    def test_status_301_is_not_followed(self):
        self.judge("status_301")
        self.assertEqual(len(self.hostile_requests("plain", "/redirect")), 2)
        self.assertEqual(self.hostile_requests("plain", "/redirect-target"), [])

    def test_status_404(self):
        self.judge("status_404")

    def test_status_500(self):
        self.judge("status_500")

    def test_garbage(self):
        self.judge("garbage")
        self.assertEqual(len(self.hostile_requests("plain", "/garbage")), 2)

    def test_tls_expired_certificate(self):
        self.judge("tls_expired")
        self.assertEqual(self.requests["expired"], [])  # nothing went over the refused channel

    def test_tls_wrong_host_name(self):
        self.judge("tls_wrong_host")
        self.assertEqual(self.requests["otherhost"], [])

    def test_plain_http_on_https_url(self):
        self.judge("plain_http_on_https_url")
        self.assertEqual([q for q in self.requests["plain"] if q["path"] == "/ok"], [])


if __name__ == "__main__":
    unittest.main()
