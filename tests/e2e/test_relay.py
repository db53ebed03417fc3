"""The relay on the real program against the loopback server. Each table runs its rows at once,
one program and one server per row."""

import json
import os
import time
import unittest
from xml.etree import ElementTree

from harness import FAILED, OK, RelayTestCase, ini

EVERY_BYTE = bytes(b for b in range(256) if b != 13)
GOT = "Corbelwynford got HTTP status "
SEND = "Corbelwynford could not send: "
SILENT = "Corbelwynford got no answer within 2 seconds"


class RelayTest(RelayTestCase):
    def test_messages(self):
        # (name, settings, incoming file, bodies posted)
        rows = [
            ("line ends", dict(xml="<m>[Message]</m>"),
             b"crlf\r\ncr\r\r\nlone\nlf\rlast",
             [b"<m>crlf</m>", b"<m>cr</m>", b"<m></m>", b"<m>lone\nlf</m>", b"<m>last</m>"]),
            ("template in any case", dict(xml="a=[MESSAGE]&b=[message]&c=[mEsSaGe]"),
             b"x", [b"a=x&b=x&c=x"]),
            ("every byte, brackets removed", {}, EVERY_BYTE,
             [bytes(b for b in EVERY_BYTE if b not in b"[]\\{}")]),
            ("conversions chained", dict(protocol="ISOtoDOS=1\r\nISOtoUTF8=1"), b"\xc4",
             [b"\xc2\x8e"]),
            ("brackets removed after the conversions", dict(protocol="ISOtoIA5=1"),
             b"a\xc4\\b", [b"a\nb"]),
        ]

        def check(row):
            _, settings, data, bodies = row
            server, relay = self.server(), self.relay()
            relay.write_ini(ini(server.url(), **settings))
            relay.start()
            relay.drop(data)
            self.assertEqual(relay.wait_outcomes(len(bodies)), [OK] * len(bodies))
            relay.wait_gone()
            self.assertEqual(server.bodies(), bodies)
            # Each message takes a pause in the wait for its answer and one after it.
            times = server.arrivals()
            for earlier, later in zip(times, times[1:]):
                self.assertGreater(later - earlier, 1.5)
            self.assertEqual(relay.stop(), 0)

        self.run_rows(rows, check)

    def test_outcomes(self):
        # (name, URL from the row's server, outcome, Rx text, requests that reach the server)
        # Each row first posts to the same server's /ok, so the message of the row goes over a
        # kept connection: one the server then closes must not take the message twice.
        rows = [
            ("2xx", lambda s: s.url("/status/201"), OK, "Status 201", 1, None),
            ("3xx not followed", lambda s: s.url("/redirect"), FAILED, "Moved", 1, GOT + "301"),
            ("4xx", lambda s: s.url("/status/404"), FAILED, "Status 404", 1, GOT + "404"),
            ("5xx", lambda s: s.url("/status/503"), FAILED, "Status 503", 1, GOT + "503"),
            ("closed without answer", lambda s: s.url("/close"), FAILED, None, 1, SEND),
            ("half an answer", lambda s: s.url("/half"), FAILED, None, 1, SEND),
            ("garbage", lambda s: s.url("/garbage"), FAILED, None, 1, SEND),
            ("stalls after the head", lambda s: s.url("/headers-then-stall"), FAILED, None, 1,
             SILENT),
            ("silent", lambda s: s.url("/never"), FAILED, None, 1, SILENT),
            ("refused", lambda s: "http://127.0.0.1:%d/ok" % self.closed_port(), FAILED, None, 0,
             SEND + "Failed to connect to 127.0.0.1 port"),
            ("https trusted", lambda s: s.url(), OK, "OK", 1, None),
            ("https untrusted", lambda s: s.url(), FAILED, None, 0,
             SEND + "SSL certificate problem: self-signed certificate"),
            ("https trusted, for another name", lambda s: s.url(), FAILED, None, 0,
             SEND + "SSL: no alternative certificate subject name matches target host name "
             "'127.0.0.1'"),
        ]

        def check(row):
            name, target, outcome, rx, reached, reason = row
            tls = name.startswith("https")
            server = self.server(tls, "DNS:localhost" if "another name" in name else None)
            good = self.server() if tls else server
            relay = self.relay(env={"SSL_CERT_FILE": server.cert} if name.startswith("https trusted")
                               else {})
            relay.write_ini(ini(good.url(), wait=2))
            relay.start()
            relay.drop(b"warm-up")
            relay.wait_outcomes(1)
            relay.wait_gone()
            relay.write_ini(ini(target(server), wait=2))
            before = len(relay.entries())
            relay.drop(b"hostile")
            relay.wait_outcomes(2, timeout=20)
            relay.wait_gone()
            entries = relay.entries()[before:]
            self.assertEqual(entries[-1], outcome, entries)
            # Why it failed, right before the outcome; a success gives no reason.
            reasons = [e for e in entries if e.startswith(("Corbelwynford got", SEND))]
            self.assertEqual(len(reasons), 1 if reason else 0, entries)
            if reason:  # an entry holds 100 bytes: a long reason goes on in the next
                self.assertTrue("".join(entries[entries.index(reasons[0]):-1]).startswith(reason),
                                entries)
            self.assertEqual([e[5:] for e in entries if e.startswith(" Rx: ")], [rx] if rx else [])
            # The program goes on: the next message, to a good server, is delivered.
            relay.write_ini(ini(good.url(), wait=2))
            relay.drop(b"after")
            self.assertEqual(relay.wait_outcomes(3, timeout=20)[-1], OK)
            hostile = [b"hostile"] * reached
            if tls:
                self.assertEqual((good.bodies(), server.bodies()),
                                 ([b"warm-up", b"after"], hostile))
            else:
                self.assertEqual(server.bodies(), [b"warm-up"] + hostile + [b"after"])
            self.assertEqual(relay.stop(), 0)

        self.run_rows(rows, check)

    def test_failed_messages_are_kept_as_read_and_replayed_by_renaming(self):
        lines = [b"ok 1", b"nul\x00 lone\nlf", b"ok 2", bytes(range(128, 256)), b"ok 3", b"[x]\xe9"]
        failed, server, relay = lines[1::2], self.server(), self.relay()
        keep = dict(general="FailedFile=failed.txt", protocol="ISOtoUTF8=1")
        relay.write_ini(ini(server.url("/every-other"), **keep))
        relay.start()
        relay.drop(b"\r\n".join(lines))
        self.assertEqual(relay.wait_outcomes(6), [OK, FAILED] * 3)
        relay.wait_gone()
        with open(relay.path("failed.txt"), "rb") as kept:
            self.assertEqual(kept.read(), b"".join(line + b"\r\n" for line in failed))
        relay.write_ini(ini(server.url(), **keep))  # the replay, to a healthy server
        os.rename(relay.path("failed.txt"), relay.path("InComingSMS.txt"))
        self.assertEqual(relay.wait_outcomes(9)[6:], [OK] * 3)
        self.assertEqual(server.bodies()[6:], [line.decode("latin-1").encode().translate(
            None, b"[]\\{}") for line in failed])
        self.assertFalse(os.path.exists(relay.path("failed.txt")))

    def test_a_kill_while_keeping_a_failed_message_loses_nothing_the_file_held(self):
        lines, relay = [bytes([65 + n]) * (n * 200_000 + 1) for n in range(6)], self.relay()
        relay.write_ini(ini("http://127.0.0.1:%d/ok" % self.closed_port(), wait=0,
                            general="FailedFile=failed.txt"))
        relay.drop(b"\r".join(lines))
        for pause in (0.7, 1.3, 1.9, 2.5):
            relay.start()
            time.sleep(pause)
            relay.kill()
        relay.start()
        relay.wait_gone("InComingSMS.txt", timeout=30)
        relay.wait_gone(timeout=30)
        with open(relay.path("failed.txt"), "rb") as kept:
            records = kept.read().split(b"\r\n")
        # A record that a kill cut short stays as a line of its own: each is a message or its start.
        self.assertEqual(records[-1], b"")
        self.assertTrue(all(any(line.startswith(r) for line in lines) for r in records[:-1]))
        self.assertEqual(records[-7:-1], lines)  # the last run kept them all, whole

    def test_escaped_messages_keep_json_and_xml_bodies_well_formed(self):
        every = bytes(b for b in range(1, 256) if b != 13)
        rows = [("JSON", '{"text":"[Message]"}', "ISOtoUTF8=1", [every],
                 lambda body: json.loads(body)["text"],
                 [every.translate(None, b"[]\\{}").decode("latin-1")]),
                ("XML", "<sms>[Message]</sms>", "", [b"</sms><x>", b"&amp;", b"\"'", b"a\x01\tb\nc"],
                 lambda body: ElementTree.fromstring(body).text,
                 ["</sms><x>", "&amp;", "\"'", "a?\tb\nc"])]

        def check(row):
            name, xml, protocol, messages, parse, texts = row
            server, relay = self.server(), self.relay()
            relay.write_ini(ini(server.url(), xml=xml, protocol="Escape=%s\r\n%s" % (
                name.lower(), protocol)))
            relay.start()
            relay.drop(b"\r".join(messages))
            relay.wait_outcomes(len(messages))
            self.assertEqual([parse(body) for body in server.bodies()], texts)

        self.run_rows(rows, check)

    def closed_port(self):
        server = self.server()
        port = server.port
        server.stop()
        return port


if __name__ == "__main__":
    unittest.main()
