"""RetryAfter on the real program in service mode: messages that failed while the receiver was
down go out again on their own once it is back, a kill in the middle of that round loses none,
and systemd hears how the relay is doing (a test socket as NOTIFY_SOCKET)."""

import os
import re
import signal
import socket
import threading
import unittest

from harness import OK, RelayTestCase, ini, wait_until

MESSAGES = [b"message %02d" % n for n in range(20)]


class StatusSocket:
    """What the relay tells systemd, read from a datagram socket of the test's own."""

    def __init__(self, path):
        self.path, self.lines = path, []
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(path)
        self.socket.settimeout(0.2)
        self.open = True
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while self.open:
            try:
                self.lines.append(self.socket.recv(4096).decode())
            except (TimeoutError, OSError):
                continue

    def statuses(self):
        return [line[7:] for line in self.lines if line.startswith("STATUS=")]

    def stop(self):
        self.open = False
        self.socket.close()


class RetryTest(RelayTestCase):
    def test_failed_messages_go_out_again_once_the_receiver_is_back(self):
        port = self.server().port
        self.started[-1].stop()  # the receiver is down
        relay = self.relay()
        os.makedirs(relay.path("root/var/lib/corbelwynford"))
        with open(relay.path("root/var/lib/corbelwynford/service.ini"), "w") as f:
            f.write("[Parameters]\nRunAsService=1\n")
        status = StatusSocket(relay.path("notify"))
        self.addCleanup(status.stop)
        relay.env["NOTIFY_SOCKET"] = status.path
        relay.write_ini(ini("http://127.0.0.1:%d/ok" % port, wait=2,
                            general="FailedFile=failed.txt\r\nRetryAfter=2"))
        relay.start().wait_for("Corbelwynford started ok as service")
        relay.drop(b"\r\n".join(MESSAGES))
        relay.wait_outcomes(20, timeout=90)
        kept = relay.path("failed.txt")
        wait_until(lambda: any(re.fullmatch(
            r"Waiting for .*InComingSMS\.txt; 0 delivered, 20 failed since start; 20 kept in "
            r".*failed\.txt, to be sent again at \d\d:\d\d:\d\d", s) for s in status.statuses()),
            10, "the status line after the outage: %r" % status.statuses()[-3:])

        server = self.server(port=port)  # back: nobody touches a file
        again = "Corbelwynford sends the messages kept in %s again, from %s" % (
            kept, relay.path("InComingSMS.txt.$$$"))
        wait_until(lambda: again in "".join(relay.entries()), 10, "the retry round's first line")
        wait_until(lambda: len(server.bodies()) >= 5, 30, "the retry round")
        relay.send(signal.SIGKILL)  # in the middle of the round
        relay.wait_exit()
        relay.start()
        wait_until(lambda: set(MESSAGES) <= set(server.bodies()), 90, "every message delivered")
        relay.wait_gone()
        self.assertFalse(os.path.exists(kept) and os.path.getsize(kept))
        self.assertEqual(relay.outcomes()[-1], OK)


if __name__ == "__main__":
    unittest.main()
