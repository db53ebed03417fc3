"""The relay end to end with the Windows program under Wine: its incoming-message file is
posted through WinHTTP to the same loopback test server as the Linux tests use."""

import os
import time
import unittest

from winehelp import WineTestCase, probe, windows_path  # puts tests/e2e on the path
from harness import relay_ini as ini  # noqa: E402

OK = "Sending completed successfully"
FAILED = "Sending failed"


class WineRelayTest(WineTestCase):
    def drop(self, relay, data, name="InComingSMS.txt"):
        tmp = relay.path(name + ".tmp")
        with open(tmp, "wb") as f:
            f.write(data)
        os.rename(tmp, relay.path(name))

    def stop(self, relay):
        probe("close-person")
        self.assertEqual(relay.wait_exit(), 0)

    def test_three_lines_become_three_posts_and_the_file_goes(self):
        server = self.server()
        relay = self.wine_relay()
        relay.write_ini(ini(server.url("/ok"), header="X-Relay: 1\\r\\nX-Two: 2"))
        relay.start()
        self.drop(relay, b"first\r\nsecond\r\n\r\n")
        relay.wait_for(OK, count=3)
        self.assertEqual(server.bodies(), [b"<sms>first</sms>", b"<sms>second</sms>",
                                           b"<sms></sms>"])
        request = server.requests()[0]
        self.assertEqual((request["method"], request["path"]), ("POST", "/ok"))
        # The configured lines, and only what HTTP needs besides: no type, agent or Expect.
        self.assertEqual(request["headers"][:2], [["X-Relay", "1"], ["X-Two", "2"]])
        names = sorted(h[0].lower() for h in request["headers"][2:])
        self.assertEqual(names, ["connection", "content-length", "host"])
        entries = relay.entries()
        self.assertIn(" Tx: <sms>first</sms>", entries)
        self.assertIn(" Rx: OK", entries)
        self.assertFalse(os.path.exists(relay.path("InComingSMS.txt")))
        self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
        self.stop(relay)

    def test_conversion_and_every_byte(self):
        server = self.server()
        relay = self.wine_relay()
        relay.write_ini(ini(server.url("/echo"), xml="a=[MESSAGE]&b=[message]")
                        + "ISOtoDOS=1\r\nISOtoUTF8=1\r\n")
        relay.start()
        # \xc4 -> 142 (DOS) -> C2 8E (UTF-8); brackets go; a lone LF stays in the message.
        self.drop(relay, b"x[y]z\\{w}\xc4\nnext\r")
        relay.wait_for(OK)
        self.assertEqual(server.bodies(), [b"a=xyzw\xc2\x8e\nnext&b=xyzw\xc2\x8e\nnext"])
        self.assertIn(" Tx: a=xyzw<194><142><10>next&b=xyzw<194><142><10>next", relay.entries())

        # Without conversions every byte but the line end and the brackets arrives unchanged.
        relay.write_ini(ini(server.url("/ok"), xml="[Message]"))
        line = bytes(b for b in range(256) if b not in b"\r[]\\{}")
        self.drop(relay, line)
        relay.wait_for(OK, count=2)
        self.assertEqual(server.bodies()[-1], line)
        self.stop(relay)

    def test_error_status_silent_server_and_the_next_line(self):
        server = self.server()
        relay = self.wine_relay()
        relay.write_ini(ini(server.url("/status/500"), wait=2))
        relay.start()
        self.drop(relay, b"one")
        entries = relay.wait_for(FAILED)
        self.assertIn(" Rx: Status 500", entries)
        self.assertEqual(entries[-1], FAILED)
        self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))

        # A server that never answers lets the wait run out; the next line cancels that request
        # and goes through, and the cancelled one reports nothing.
        relay.write_ini(ini(server.url("/never"), wait=2))
        self.drop(relay, b"two")
        relay.wait_for(FAILED, count=2)
        self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
        relay.write_ini(ini(server.url("/ok"), wait=5))
        self.drop(relay, b"three")
        entries = relay.wait_for(OK)
        self.assertEqual(entries[-3:], [" Tx: <sms>three</sms>", " Rx: OK", OK])
        self.assertEqual(server.bodies(), [b"<sms>one</sms>", b"<sms>two</sms>",
                                           b"<sms>three</sms>"])
        self.stop(relay)

    def test_https_with_a_trusted_certificate(self):
        server = self.server(tls=True)
        self.assertEqual(probe("trust", windows_path(server.cert))["trusted"], "1")
        relay = self.wine_relay()
        # No scheme: protocol 5 (the default) makes it https. Wine does not match certificates
        # against IP addresses, so the server is named by its DNS name.
        relay.write_ini(ini("localhost:%d/ok" % server.port))
        relay.start()
        self.drop(relay, b"secure")
        relay.wait_for(OK)
        self.assertEqual(server.bodies(), [b"<sms>secure</sms>"])
        self.stop(relay)

    def test_claim_file_left_by_a_killed_run_goes_first(self):
        server = self.server()
        relay = self.wine_relay()
        relay.write_ini(ini(server.url(), wait=5))
        relay.start()
        self.drop(relay, b"a1\ra2\ra3")
        relay.wait_for(OK)  # a1 delivered, the run is now pausing
        relay.kill()
        self.assertTrue(os.path.exists(relay.path("InComingSMS.txt.$$$")))
        self.drop(relay, b"b1")  # arrives while the old claim file waits
        before = relay.entries().count(OK)  # the killed run's entries stay in the log file
        relay.start()
        relay.wait_for(OK, count=before + 4, timeout=60)
        bodies = server.bodies()
        self.assertEqual(bodies[0], b"<sms>a1</sms>")
        self.assertEqual(bodies[-4:], [b"<sms>a1</sms>", b"<sms>a2</sms>", b"<sms>a3</sms>",
                                       b"<sms>b1</sms>"])
        self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
        self.assertFalse(os.path.exists(relay.path("InComingSMS.txt")))
        self.stop(relay)


if __name__ == "__main__":
    unittest.main()
