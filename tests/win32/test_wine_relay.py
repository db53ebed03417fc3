"""One relay run of the Windows program under Wine, through WinHTTP, on the Linux tests' harness:
configured header lines as written and nothing of the library's own but what HTTP needs, every
body byte; then a failing server with the failed-message file and XML escaping; then the folder
watch claiming a file long before the scan timer would. A failed message that goes out again on
its own once the receiver is back. A file of two names is left alone; a crash in the middle of a
file sends again at most the message in flight. And 24 feeds from four feeders while the relay claims
(each start of a Windows program under Wine costs about a second), each delivered once."""

import concurrent.futures
import os
import unittest

from winehelp import WineTestCase, wine
from harness import FAILED, OK, ini, read, wait_until  # noqa: E402

# A message holds any byte but CR; the relay drops brackets and backslashes from it, so the
# template brings those.
EVERY_BYTE = bytes(b for b in range(256) if b not in b"\r[]\\{}")
HTTP_OWN = (b"host:", b"content-length:", b"connection:")


class WineRelayTest(WineTestCase):
    def test_relay_run(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url(), xml="<m>[MESSAGE]</m>\\r[]{}\\",
                            protocol="Header=X-A: 1\\r\\nX-Empty:"))
        relay.start()
        relay.drop(EVERY_BYTE)
        self.assertEqual(relay.wait_outcomes(1, timeout=40), [OK])
        head, body = server.requests()[0]
        self.assertEqual(body, b"<m>" + EVERY_BYTE + b"</m>\r[]{}\\")
        # WinHTTP writes an empty value as "Name: " (the space is HTTP's optional whitespace).
        lines = [line.rstrip(b" ") for line in head.split(b"\r\n")[1:]]
        self.assertEqual([line for line in lines if line and not line.lower().startswith(HTTP_OWN)],
                         [b"X-A: 1", b"X-Empty:"])
        relay.wait_gone()

        relay.write_ini(ini(server.url("/status/503"), "<sms>[Message]</sms>", 5, interval=60,
                            general="WatchFile=1\r\nFailedFile=failed.txt", protocol="Escape=XML"))
        relay.drop(b'a<b&"c')
        self.assertEqual(relay.wait_outcomes(2, timeout=40), [OK, FAILED])
        self.assertEqual(server.bodies()[1], b"<sms>a&lt;b&amp;&quot;c</sms>")
        relay.wait_gone()
        self.assertEqual(read(relay.path("failed.txt")), b'a<b&"c\r\n')

        # The scan timer now ticks every 60 s: only the watch claims this file in time.
        relay.drop(b"watched")
        wait_until(lambda: len(server.bodies()) == 3, 15, "the watched file's request")

    def test_a_failed_message_goes_out_again_on_its_own(self):
        port = self.closed_port()  # the receiver is down
        relay = self.relay()
        relay.write_ini(ini("http://127.0.0.1:%d/ok" % port, wait=2,
                            general="FailedFile=failed.txt\r\nRetryAfter=3"))
        relay.start()
        relay.drop(b"again")
        self.assertEqual(relay.wait_outcomes(1, timeout=40), [FAILED])
        server = self.server(port=port)  # back: nobody touches a file
        self.assertEqual(relay.wait_outcomes(2, timeout=60), [FAILED, OK])
        self.assertEqual(server.bodies(), [b"again"])

    def test_a_file_of_two_names_is_left_alone(self):
        server, relay = self.server(), self.relay()
        relay.write_ini(ini(server.url()))
        relay.drop(b"elsewhere", "other.txt")
        os.link(relay.path("other.txt"), relay.path("InComingSMS.txt"))
        fed = wine(relay.binary, "--feed", input=b"x", timeout=60)[0]
        relay.start()
        said = "InComingSMS.txt is a file of 2 names (hard links)"
        wait_until(lambda: said in "".join(relay.entries()), 30, said)
        os.unlink(relay.path("InComingSMS.txt"))
        relay.drop(b"next")
        self.assertEqual(relay.wait_outcomes(1, timeout=40), [OK])
        self.assertEqual((fed, server.bodies()), (1, [b"next"]))
        self.assertEqual(read(relay.path("other.txt")), b"elsewhere")

    def test_a_crash_in_a_file_sends_again_at_most_the_message_in_flight(self):
        server, relay = self.server(), self.relay()
        relay.write_ini(ini(server.url()))
        messages = [b"w%d" % n for n in range(5)]
        relay.drop(b"\r\n".join(messages))
        relay.start()
        wait_until(lambda: len(server.bodies()) >= 2, 60, "two requests")
        relay.kill()  # the program ends on the spot, as in a crash
        relay.start()
        wait_until(lambda: set(messages) <= set(server.bodies()), 90, "every message")
        self.assertLessEqual(len(server.bodies()), len(messages) + 1)

    def test_feeds_while_the_relay_claims(self):
        server, relay = self.server(), self.relay()
        relay.write_ini(ini(server.url(), general="WatchFile=1"))
        relay.start()
        messages = ["feeder %d message %d" % (f, n) for f in range(4) for n in range(6)]

        def feed(feeder):
            for text in messages[feeder::4]:
                status = wine(relay.binary, "--feed", input=text.encode(), timeout=60)[0]
                self.assertEqual(status, 0, text)

        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            list(pool.map(feed, range(4)))
        wait_until(lambda: len(server.bodies()) >= len(messages), 600, "every fed message")
        self.assertEqual(sorted(server.bodies()), sorted(m.encode() for m in messages))


if __name__ == "__main__":
    unittest.main()
