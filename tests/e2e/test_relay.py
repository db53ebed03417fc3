"""The relay end to end: the real program in a program folder of its own posts the lines of its
incoming-message file to the loopback test server."""

import os
import signal
import time
import unittest

from harness import RelayTestCase, relay_ini as ini

OK = "Sending completed successfully"
FAILED = "Sending failed"


class RelayTest(RelayTestCase):
    def drop(self, relay, data, name="InComingSMS.txt"):
        tmp = relay.path(name + ".tmp")
        with open(tmp, "wb") as f:
            f.write(data)
        os.rename(tmp, relay.path(name))

    def stop(self, relay):
        relay.send(signal.SIGINT)
        self.assertEqual(relay.wait_exit(), 0)

    def test_three_lines_become_three_posts_and_the_file_goes(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url("/ok"), header="X-Relay: 1\\r\\nX-Two: 2"))
        relay.start()
        self.drop(relay, b"first\r\nsecond\r\n\r\n")
        relay.wait_for(OK, count=3)
        self.assertEqual(server.bodies(), [b"<sms>first</sms>", b"<sms>second</sms>", b"<sms></sms>"])
        request = server.requests()[0]
        self.assertEqual(request["method"], "POST")
        self.assertEqual(request["path"], "/ok")
        names = [h[0].lower() for h in request["headers"]]
        self.assertIn(["X-Relay", "1"], request["headers"])
        self.assertIn(["X-Two", "2"], request["headers"])
        self.assertNotIn("content-type", names)
        self.assertNotIn("expect", names)
        entries = relay.entries()
        self.assertIn(" Tx: <sms>first</sms>", entries)
        self.assertIn(" Rx: OK", entries)
        self.assertFalse(os.path.exists(relay.path("InComingSMS.txt")))
        self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
        self.stop(relay)

    def test_empty_file_and_no_file_log_nothing(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url()))
        relay.start()
        relay.wait_for("Corbelwynford started ok as application")
        time.sleep(2.5)
        self.drop(relay, b"")
        self.assertTrue(relay.wait_gone("InComingSMS.txt"))
        self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
        self.assertEqual(len(relay.entries()), 3)
        self.assertEqual(server.requests(), [])
        self.stop(relay)

    def test_placeholder_brackets_and_conversions(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url("/echo"), xml="a=[MESSAGE]&b=[message]",
                            extra="", wait=5) + "ISOtoDOS=\r\nISOtoUTF8=1\r\n")
        relay.start()
        # \xc4 -> 142 (DOS) -> C2 8E (UTF-8); brackets go; a lone LF stays in the message.
        self.drop(relay, b"x[y]z\\{w}\xc4\nnext\r")
        relay.wait_for(OK)
        self.assertEqual(server.bodies(), [b"a=xyzw\xc2\x8e\nnext&b=xyzw\xc2\x8e\nnext"])
        self.assertIn(" Tx: a=xyzw<194><142><10>next&b=xyzw<194><142><10>next", relay.entries())
        self.stop(relay)

    def test_each_conversion_switch_on_its_own(self):
        server = self.server()
        relay = self.relay()
        relay.start()
        cases = [
            # The 7-bit SMS alphabet: @ -> NUL, \ -> LF, e-acute -> 5, a-grave -> 127, c-cedilla -> *.
            ("ISOtoIA5=1", b"@\\\xe9\xe0\xe7x", b"\x00\n\x05\x7f*x"),
            ("ISOtoHTML=", b"a b%/\xe9~", b"a%20b%25%2F%E9~"),
            ("ISOtoUTF8=yes", b"\xe9\xff", b"\xc3\xa9\xc3\xbf"),
            ("ISOtoDOS=0\r\nISOtoIA5=0", b"\xe9", b"\xe9"),
        ]
        for count, (switch, line, expected) in enumerate(cases, start=1):
            relay.write_ini(ini(server.url("/ok"), xml="[Message]") + switch + "\r\n")
            self.drop(relay, line)
            relay.wait_for(OK, count=count)
            self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
            self.assertEqual(server.bodies()[-1], expected, switch)
        self.stop(relay)

    def test_every_byte_but_the_line_end_and_brackets_arrives(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url(), xml="[Message]"))
        relay.start()
        line = bytes(b for b in range(256) if b not in b"\r[]\\{}")
        self.drop(relay, line)
        relay.wait_for(OK)
        self.assertEqual(server.bodies(), [line])
        self.stop(relay)

    def test_error_status_refused_connection_and_silent_server(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url("/status/500"), wait=2))
        relay.start()
        self.drop(relay, b"one")
        entries = relay.wait_for(FAILED)
        self.assertIn(" Rx: Status 500", entries)
        self.assertEqual(entries[-1], FAILED)

        # A closed port refuses; a server that never answers lets the wait run out. The next
        # line still goes.
        relay.write_ini(ini(server.url("/never"), wait=2))
        self.drop(relay, b"two\rthree")
        relay.wait_for(FAILED, count=3)
        self.assertEqual(len(server.requests()), 3)
        closed = self.server()
        closed_url = closed.url("/ok")
        closed.stop()
        self.servers.remove(closed)
        relay.write_ini(ini(closed_url, wait=2))
        self.drop(relay, b"four")
        relay.wait_for(FAILED, count=4)
        self.stop(relay)

    def test_wait_of_zero_judges_at_once(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url(), wait=0))
        relay.start()
        self.drop(relay, b"x")
        relay.wait_for(FAILED)
        server.wait_for_requests(1)
        self.stop(relay)

    def test_claim_file_left_by_a_killed_run_goes_first(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url(), wait=5))
        relay.start()
        self.drop(relay, b"a1\ra2\ra3")
        relay.wait_for(OK)  # a1 delivered, the run is now pausing
        relay.process.send_signal(signal.SIGKILL)
        relay.wait_exit()
        self.assertTrue(os.path.exists(relay.path("InComingSMS.txt.$$$")))
        self.drop(relay, b"b1")  # arrives while the old claim file waits
        relay.start()
        relay.wait_for(OK, count=4, timeout=40)
        bodies = server.bodies()
        self.assertEqual(bodies[0], b"<sms>a1</sms>")
        # Processed again from its first line, then the new file.
        self.assertEqual(bodies[-4:], [b"<sms>a1</sms>", b"<sms>a2</sms>", b"<sms>a3</sms>",
                                       b"<sms>b1</sms>"])
        self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
        self.assertFalse(os.path.exists(relay.path("InComingSMS.txt")))
        self.stop(relay)

    def test_ini_edit_is_in_force_in_the_next_cycle(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url(), xml="v1:[Message]"))
        relay.start()
        self.drop(relay, b"x")
        relay.wait_for(OK)
        relay.write_ini(ini(server.url(), xml="v2:[Message]", extra="FileToScan=in/sms.txt"))
        os.mkdir(relay.path("in"))
        self.drop(relay, b"y", name="in/sms.txt")
        relay.wait_for(OK, count=2)
        self.assertEqual(server.bodies(), [b"v1:x", b"v2:y"])
        self.stop(relay)

    def test_https_with_a_trusted_certificate(self):
        server = self.server(tls=True)
        relay = self.relay(env={"SSL_CERT_FILE": server.cert})
        relay.write_ini(ini(server.url()))
        relay.start()
        self.drop(relay, b"secure")
        relay.wait_for(OK)
        self.assertEqual(server.bodies(), [b"<sms>secure</sms>"])
        self.stop(relay)

    def test_scan_interval_takes_effect_after_the_first_processed_file(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url(), wait=2).replace("ScanInterval=1", "ScanInterval=60"))
        relay.start()
        self.drop(relay, b"x")
        relay.wait_for(OK)  # claimed within about a second although 60 s are set
        self.assertTrue(relay.wait_gone("InComingSMS.txt.$$$"))
        self.drop(relay, b"y")
        time.sleep(4)
        self.assertTrue(os.path.exists(relay.path("InComingSMS.txt")))  # now every 60 s
        self.stop(relay)


if __name__ == "__main__":
    unittest.main()
