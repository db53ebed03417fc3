"""RetryAfter on the real program in service mode: messages that failed while the receiver was
down go out again on their own once it is back, a kill in the middle of that round loses none,
and systemd hears how the relay is doing (a test socket as NOTIFY_SOCKET)."""

import os
import re
import signal
import socket
import unittest

from harness import OK, RelayTestCase, ini, wait_until

MESSAGES = [b"message %02d" % n for n in range(20)]


class RetryTest(RelayTestCase):
    def test_failed_messages_go_out_again_once_the_receiver_is_back(self):
        port = self.closed_port()  # the receiver is down
        relay = self.relay()
        os.makedirs(relay.path("root/var/lib/corbelwynford"))
        with open(relay.path("root/var/lib/corbelwynford/service.ini"), "w") as f:
            f.write("[Parameters]\nRunAsService=1\n")
        # What the relay tells systemd, read only while the test waits for it: the few datagrams
        # before that fit in the socket's queue, and the relay's later ones find it closed.
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(relay.path("notify"))
        notify.setblocking(False)
        self.addCleanup(notify.close)
        relay.env["NOTIFY_SOCKET"] = relay.path("notify")
        told = []

        def told_after_the_outage():
            while True:
                try:
                    told.append(notify.recv(4096).decode())
                except BlockingIOError:
                    return any(re.fullmatch(
                        r"STATUS=Waiting for .*InComingSMS\.txt; 0 delivered, 20 failed since "
                        r"start; 20 kept in .*failed\.txt, to be sent again at \d\d:\d\d:\d\d", s)
                        for s in told)

        relay.write_ini(ini("http://127.0.0.1:%d/ok" % port, wait=2,
                            general="FailedFile=failed.txt\r\nRetryAfter=2"))
        relay.start().wait_for("Corbelwynford started ok as service")
        relay.drop(b"\r\n".join(MESSAGES))
        relay.wait_outcomes(20, timeout=90)
        kept = relay.path("failed.txt")
        wait_until(told_after_the_outage, 10, "the status line after the outage")
        notify.close()

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
