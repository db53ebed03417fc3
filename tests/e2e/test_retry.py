"""RetryAfter on the real program in service mode: messages that failed while the receiver was
down go out again on their own once it is back, a kill in the middle of that round loses none,
and systemd hears how the relay is doing after every message (a test socket as NOTIFY_SOCKET)."""

import os
import re
import signal
import socket
import threading
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
        # What the relay tells systemd, read as it comes.
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(relay.path("notify"))
        notify.settimeout(0.1)
        relay.env["NOTIFY_SOCKET"] = relay.path("notify")
        told, listening = [], threading.Event()
        listening.set()

        def listen():
            while listening.is_set():
                try:
                    told.append(notify.recv(4096).decode())
                except socket.timeout:
                    pass

        listener = threading.Thread(target=listen)
        listener.start()
        self.addCleanup(lambda: (listening.clear(), listener.join(), notify.close()))

        def status_told(pattern):
            return lambda: any(re.fullmatch("STATUS=" + pattern, s) for s in list(told))

        relay.write_ini(ini("http://127.0.0.1:%d/ok" % port, wait=2,
                            general="FailedFile=failed.txt\r\nRetryAfter=2"))
        relay.start().wait_for("Corbelwynford started ok as service")
        relay.drop(b"\r\n".join(MESSAGES))
        relay.wait_outcomes(20, timeout=90)
        kept = relay.path("failed.txt")
        # The status follows each message, its counts counting messages.
        for n in range(1, 21):
            self.assertTrue(status_told(r"Sending .*InComingSMS\.txt\.\$\$\$; 0 delivered, %d "
                                        r"failed since start; %d kept in .*failed\.txt.*" % (n, n)))
        # A first idle tick that comes late under load finds the retry due already.
        wait_until(status_told(r"Waiting for .*InComingSMS\.txt; 0 delivered, 20 failed since "
                               r"start; 20 kept in .*failed\.txt, to be sent again "
                               r"(at \d\d:\d\d:\d\d|once nothing new waits)"), 10,
                   "the status line after the outage")

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
