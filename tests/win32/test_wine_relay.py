"""One relay run of the Windows program under Wine, through WinHTTP, on the Linux tests' harness:
configured header lines and nothing of the library's own but what HTTP needs, the template,
every byte, a failed answer, and HTTPS with a trusted certificate."""

import unittest

from winehelp import WineTestCase, probe, windows_path
from harness import FAILED, OK, ini  # noqa: E402

EVERY_BYTE = bytes(b for b in range(256) if b not in b"\r[]\\{}")


class WineRelayTest(WineTestCase):
    def test_relay_run(self):
        server = self.server()
        relay = self.relay()
        relay.write_ini(ini(server.url(), xml="<m>[MESSAGE]</m>",
                            protocol="Header=X-A: 1\\r\\nX-B: 2"))
        relay.start()
        relay.drop(EVERY_BYTE + b"\r\nx")
        self.assertEqual(relay.wait_outcomes(2, timeout=40), [OK, OK])
        self.assertEqual(server.bodies(), [b"<m>" + EVERY_BYTE + b"</m>", b"<m>x</m>"])
        head = server.requests()[0][0].split(b"\r\n")[:-1]
        self.assertEqual(head[:3], [b"POST /ok HTTP/1.1", b"X-A: 1", b"X-B: 2"])
        self.assertEqual(sorted(line.split(b":")[0].lower() for line in head[3:]),
                         [b"connection", b"content-length", b"host"])
        relay.wait_gone()

        relay.write_ini(ini(server.url("/status/500"), wait=2))
        relay.drop(b"y")
        self.assertEqual(relay.wait_outcomes(3, timeout=40)[-1], FAILED)
        self.assertIn(" Rx: Status 500", relay.entries())
        relay.wait_gone()

        secure = self.server(tls=True)
        self.assertEqual(probe("trust", windows_path(secure.cert))["trusted"], "1")
        # Wine matches certificates by DNS name only, not by IP address.
        relay.write_ini(ini(secure.url(host="localhost")))
        relay.drop(b"z")
        self.assertEqual(relay.wait_outcomes(4, timeout=40)[-1], OK)
        self.assertEqual(secure.bodies(), [b"z"])
        probe("close-person")
        self.assertEqual(relay.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
