"""Real SMS daemons feeding the real program through corbelwynford-feed, as the README sets them
up: Gammu's gammu-smsd with its dummy phone and files service (RunOnReceive), smstools' received
files as its event handler gets them (RECEIVED <file>), and standard input through
"corbelwynford --feed". Every message arrives at the loopback server as exactly one POST, with the
expected bytes, in both FeedCharset modes. smstools' own daemon starts with the feed as its event
handler."""

import os
import shutil
import subprocess
import unittest

from harness import RelayTestCase, ini, read, wait_until, write_atomic

THREE_PARTS = "".join(chr(65 + i % 26) for i in range(400))
# (name, how it reaches the relay, the text, the body in ISO-8859-1, the body in UTF-8; None: the
# text in that encoding)
ROWS = [
    ("ASCII", "gammu", "Hello world", None, None),
    ("Latin-1 letters", "gammu", "caf\u00e9 \u00c6r\u00f8 \u00df", None, None),
    ("euro, GSM's extension", "gammu", "5 \u20ac", b"5 EUR", None),
    ("Cyrillic and an emoji", "gammu-unicode", "\u041f\u0440\u0438\u0432\u0435\u0442 \U0001F600",
     b"?????? ?", None),
    ("three parts", "gammu", THREE_PARTS, None, None),
    ("CR LF inside", "gammu", "one\r\ntwo", b"one\ntwo", b"one\ntwo"),
    ("markup", "gammu", 'a < b & "c"', None, None),
    ("smstools ISO", "ISO", "5 \u20ac \u0160 \u00e9", b"5 EUR S \xe9", None),
    ("smstools UTF-8", "UTF-8", "\u00e9t\u00e9 \u2013 ok", b"\xe9t\xe9 - ok", None),
    ("smstools UCS2", "UCS2", "\u041f \U0001F600 \u00e9", b"? ? \xe9", None),
    ("standard input", "stdin", "line\r\n", b"line", b"line"),
]
SMSTOOLS_CODECS = {"ISO": "iso8859_15", "UTF-8": "utf-8", "UCS2": "utf-16-be"}


@unittest.skipIf(shutil.which("gammu-smsd") is None, "no gammu-smsd")
class FeedTest(RelayTestCase):
    def test_daemons_feed_one_post_per_message_in_both_charsets(self):
        def check(row):
            charset, column = row
            server, relay = self.server(), self.relay()
            relay.write_ini(ini(server.url(), general="WatchFile=1\r\nFeedCharset=" + charset))
            relay.start()
            self.gammu(relay, [row[1:3] for row in ROWS if row[1].startswith("gammu")])
            for _, how, text, _, _ in ROWS:
                if how == "stdin":
                    subprocess.run([relay.binary, "--feed"], input=text.encode(), env=relay.env,
                                   check=True, timeout=30)
                elif how in SMSTOOLS_CODECS:
                    path = relay.path("GSM1." + how)
                    head = b"From: 4912345\nSent: 26-12-07 09:00:00\nAlphabet: %s\nUDH: false\n\n"
                    write_atomic(path, head % how.encode() + text.encode(SMSTOOLS_CODECS[how]))
                    subprocess.run([relay.feed, "RECEIVED", path], env=relay.env, check=True,
                                   timeout=30)
            wait_until(lambda: len(server.bodies()) >= len(ROWS), 120, "every message")
            self.assertEqual(sorted(server.bodies()), sorted(
                row[column] if row[column] is not None else row[2].encode(charset)
                for row in ROWS))

        self.run_rows([("ISO-8859-1", 3), ("UTF-8", 4)], check)

    def test_the_sender_and_the_time_in_the_administrators_format(self):
        server, relay = self.server(), self.relay()
        relay.write_ini(ini(server.url(), general="FeedFormat=[From];[Received];[Text]"))
        relay.start()
        self.gammu(relay, [("gammu", "from Gammu")], "+4917012345678")
        path = relay.path("GSM1.received")
        write_atomic(path, b"From: 4917012345678\nReceived: 26-12-07 09:00:05\nAlphabet: ISO\n\n"
                     b"from smstools")
        subprocess.run([relay.feed, "RECEIVED", path], env=relay.env, check=True, timeout=30)
        wait_until(lambda: len(server.bodies()) >= 2, 60, "both messages")
        offset = r"[+-]\d\d:\d\d"
        # Gammu's daemon may hand its message on after the smstools feed; "+" sorts first.
        gammu, smstools = sorted(body.decode() for body in server.bodies())
        self.assertRegex(gammu,
                         r"^\+4917012345678;\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d%s;from Gammu$" % offset)
        self.assertRegex(smstools, r"^4917012345678;2026-12-07T09:00:05%s;from smstools$" % offset)

    def gammu(self, relay, messages, sender="+4912345"):
        """Puts (how, text) messages from sender into a dummy phone's inbox; Gammu's daemon hands
        each to the relay."""
        folders = {key: relay.path(key) for key in ("phone", "inbox", "outbox", "sent", "error")}
        for folder in folders.values():
            os.makedirs(folder)
        config = relay.path("smsdrc")
        with open(config, "w") as f:
            f.write("[gammu]\nmodel = dummy\nconnection = none\nport = %(phone)s/\n[smsd]\nservice "
                    "= files\nReceiveFrequency = 1\nCommTimeout = 1\ninboxpath = %(inbox)s/\n"
                    "outboxpath = %(outbox)s/\nsentsmspath = %(sent)s/\nerrorsmspath = %(error)s/\n"
                    % folders + "logfile = %s\nRunOnReceive = %s\n" % (
                        relay.path("smsd.log"), relay.feed))
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        for how, text in messages:
            subprocess.run(["gammu", "-c", config, "savesms", "TEXT", "-folder", "1", "-unread",
                            "-sender", sender, "-autolen", str(len(text))] +
                           ["-unicode"] * (how == "gammu-unicode") + ["-textutf8", text],
                           env=env, check=True, timeout=30, stdout=subprocess.DEVNULL)
        daemon = subprocess.Popen(["gammu-smsd", "-c", config], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (daemon.kill(), daemon.wait(timeout=20)))
        parts = sum(1 if len(text) <= 160 else -(-len(text) // 153) for _, text in messages)
        wait_until(lambda: len(os.listdir(folders["inbox"])) >= parts, 60,
                   "Gammu's daemon to receive every part")


@unittest.skipIf(shutil.which("smsd") is None, "no smsd")
class SmstoolsTest(RelayTestCase):
    def test_smsd_takes_the_feed_as_its_event_handler(self):
        # smsd refuses to start unless its event handler is an executable file it may read.
        relay = self.relay()
        folders = ("outgoing", "checked", "incoming", "failed", "sent")
        for name in folders:
            os.makedirs(relay.path(name))
        with open(relay.path("smsd.conf"), "w") as f:
            f.write("devices = GSM1\neventhandler = %s\nloglevel = 7\n" % relay.feed +
                    "".join("%s = %s\n" % (name, relay.path(name)) for name in folders) +
                    "".join("%s = %s\n" % (name, relay.path("smsd." + name))
                            for name in ("logfile", "infofile", "pidfile")) +
                    "\n[GSM1]\ndevice = /dev/null\n")
        daemon = subprocess.Popen(["smsd", "-t", "-c", relay.path("smsd.conf")],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
        # Its main process ends the modem handler and the file checker it started on SIGTERM.
        self.addCleanup(lambda: (daemon.terminate(), daemon.wait(timeout=30), daemon.stdout.close()))
        log = relay.path("smsd.logfile")
        # It goes on to its modem (which /dev/null is not) once its checks have passed.
        wait_until(lambda: os.path.exists(log) and b"Checking if modem is ready" in read(log), 30,
                   lambda: "smsd to start: %r" % (read(log) if os.path.exists(log) else b""))
        self.assertNotIn(b"cannot be read", read(log))


if __name__ == "__main__":
    unittest.main()
