"""The relay on the real program against the loopback server. Each table runs its rows at once,
one program and one server per row."""

import json
import time
import unittest

from harness import FAILED, OK, RelayTestCase, ini

EVERY_BYTE = bytes(b for b in range(256) if b != 13)
GOT = "Corbelwynford got HTTP status "
SEND = "Corbelwynford could not send: "
SILENT = "Corbelwynford got no answer within 2 seconds"
# The first 1024 bytes of the server's /body/N answer (byte i is i % 251) as the Rx entries show
# them on standard output: bytes 32 to 126 as they are, 127 as "^?", every other one as "<n>".
ANSWER_START = "".join(chr(b) if 32 <= b < 127 else "^?" if b == 127 else "<%d>" % b
                       for b in (i % 251 for i in range(1024)))


class RelayTest(RelayTestCase):
    def test_messages(self):
        # (name, settings, incoming file, bodies posted, or what parse finds in them)
        every = bytes(b for b in range(1, 256) if b != 13)
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
            # Escaping touches the message only, never the template's own markup.
            ("XML escaped", dict(xml="<sms>[Message]</sms>", protocol="Escape=xml"),
             b"</sms><x>\r&amp;\r\"'\ra\x01\tb\nc",
             [b"<sms>&lt;/sms&gt;&lt;x&gt;</sms>", b"<sms>&amp;amp;</sms>",
              b"<sms>&quot;&apos;</sms>", b"<sms>a?\tb\nc</sms>"]),
            ("JSON escaped", dict(xml='{"t":"[Message]"}', protocol="ISOtoUTF8=1\r\nEscape=json"),
             every, [every.translate(None, b"[]\\{}").decode("latin-1")],
             lambda body: json.loads(body)["t"]),
        ]

        def check(row):
            _, settings, data, bodies, *parse = row
            server, relay = self.server(), self.relay()
            relay.write_ini(ini(server.url(), **settings))
            relay.start()
            relay.drop(data)
            self.assertEqual(relay.wait_outcomes(len(bodies)), [OK] * len(bodies))
            relay.wait_gone()
            self.assertEqual([parse[0](body) for body in server.bodies()] if parse else
                             server.bodies(), bodies)
            # Each message takes a pause in the wait for its answer and one after it.
            times = server.arrivals()
            for earlier, later in zip(times, times[1:]):
                self.assertGreater(later - earlier, 1.5)
            self.assertEqual(relay.stop(), 0)

        self.run_rows(rows, check)

    def test_outcomes(self):
        # (name, path on the row's server, outcome, Rx text, requests that reach the server, the
        # reason logged). Each row first posts to the same server's /ok, so the message of the row
        # goes over a kept connection: one the server then closes must not take the message twice.
        rows = [
            ("2xx", "/status/201", OK, "Status 201", 1, None),
            ("long answer, its start kept", "/body/5000", OK, ANSWER_START, 1, None),
            ("3xx not followed", "/redirect", FAILED, "Moved", 1, GOT + "301"),
            ("4xx", "/status/404", FAILED, "Status 404", 1, GOT + "404"),
            ("5xx", "/status/503", FAILED, "Status 503", 1, GOT + "503"),
            ("closed without answer", "/close", FAILED, None, 1, SEND),
            ("half an answer", "/half", FAILED, None, 1, SEND),
            ("garbage", "/garbage", FAILED, None, 1, SEND),
            ("stalls after the head", "/headers-then-stall", FAILED, None, 1, SILENT),
            ("silent", "/never", FAILED, None, 1, SILENT),
            ("refused", None, FAILED, None, 0, SEND + "Failed to connect to 127.0.0.1 port"),
            ("https trusted", "/ok", OK, "OK", 1, None),
            ("https untrusted", "/ok", FAILED, None, 0,
             SEND + "SSL certificate problem: self-signed certificate"),
            ("https trusted, for another name", "/ok", FAILED, None, 0,
             SEND + "SSL: no alternative certificate subject name matches target host name "
             "'127.0.0.1'"),
        ]

        def check(row):
            name, path, outcome, rx, reached, reason = row
            tls = name.startswith("https")
            server = self.server(tls, "DNS:localhost" if "another name" in name else None)
            good = self.server() if tls else server
            trusted = name.startswith("https trusted")
            relay = self.relay(env={"SSL_CERT_FILE": server.cert} if trusted else {})
            relay.write_ini(ini(good.url(), wait=2))
            relay.start()
            relay.drop(b"warm-up")
            relay.wait_outcomes(1)
            relay.wait_gone()
            # A failed message is kept, and without RetryAfter never sent again on its own.
            relay.write_ini(ini(server.url(path) if path else "http://127.0.0.1:%d/ok" %
                                self.closed_port(), wait=2, general="FailedFile=failed.txt"))
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
            rx_entries = [e[5:] for e in entries if e.startswith(" Rx: ")]
            self.assertEqual("".join(rx_entries) if rx_entries else None, rx)
            # The program goes on: the next message, to a good server, is delivered.
            relay.write_ini(ini(good.url(), wait=2, general="FailedFile=failed.txt"))
            relay.drop(b"after")
            self.assertEqual(relay.wait_outcomes(3, timeout=20)[-1], OK)
            time.sleep(3)
            bodies = good.bodies()[:1] + server.bodies() + good.bodies()[1:] if tls else \
                server.bodies()
            self.assertEqual(bodies, [b"warm-up"] + [b"hostile"] * reached + [b"after"])
            self.assertEqual(relay.stop(), 0)

        self.run_rows(rows, check)


if __name__ == "__main__":
    unittest.main()
