"""The relay on the real program against the loopback server. Each table runs its rows at once,
one program and one server per row."""

import unittest

from harness import FAILED, OK, RelayTestCase, ini

EVERY_BYTE = bytes(b for b in range(256) if b != 13)


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

    def test_header_lines_as_configured(self):
        server, relay = self.server(), self.relay()
        relay.write_ini(ini(server.url(), protocol="Header=X-A: 1\\r\\nX-B: two words\\nX-C: 3"))
        relay.start()
        relay.drop(b"x")
        relay.wait_outcomes(1)
        head = server.requests()[0][0]
        self.assertIn(b"\r\nX-A: 1\r\nX-B: two words\r\nX-C: 3\r\n", head)
        self.assertTrue(head.startswith(b"POST /ok HTTP/1.1\r\n"))
        self.assertNotIn(b"\r\nExpect:", head)

    def test_outcomes(self):
        # (name, URL from the row's server, outcome, Rx text, requests that reach the server)
        # Each row first posts to the same server's /ok, so the message of the row goes over a
        # kept connection: one the server then closes must not take the message twice.
        rows = [
            ("2xx", lambda s: s.url("/status/201"), OK, "Status 201", 1),
            ("3xx not followed", lambda s: s.url("/redirect"), FAILED, "Moved", 1),
            ("4xx", lambda s: s.url("/status/404"), FAILED, "Status 404", 1),
            ("5xx", lambda s: s.url("/status/503"), FAILED, "Status 503", 1),
            ("closed without answer", lambda s: s.url("/close"), FAILED, None, 1),
            ("half an answer", lambda s: s.url("/half"), FAILED, None, 1),
            ("garbage", lambda s: s.url("/garbage"), FAILED, None, 1),
            ("stalls after the head", lambda s: s.url("/headers-then-stall"), FAILED, None, 1),
            ("silent", lambda s: s.url("/never"), FAILED, None, 1),
            ("refused", lambda s: "http://127.0.0.1:%d/ok" % self.closed_port(), FAILED, None, 0),
            ("https trusted", lambda s: s.url(), OK, "OK", 1),
            ("https untrusted", lambda s: s.url(), FAILED, None, 0),
        ]

        def check(row):
            name, target, outcome, rx, reached = row
            tls = name.startswith("https")
            server = self.server(tls)
            good = self.server() if tls else server
            relay = self.relay(env={"SSL_CERT_FILE": server.cert} if name == "https trusted" else {})
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

    def closed_port(self):
        server = self.server()
        port = server.port
        server.stop()
        return port


if __name__ == "__main__":
    unittest.main()
