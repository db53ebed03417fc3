"""Real SMS daemons feeding the real program: Gammu's gammu-smsd with its dummy phone and files
service, RunOnReceive = corbelwynford --feed, and smstools' received files through --feed
RECEIVED <file>. Every message arrives at the loopback server as exactly one POST, with the
expected bytes, in both FeedCharset modes."""

import os
import shutil
import subprocess
import unittest

from harness import RelayTestCase, ini, wait_until, write_atomic

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
                    subprocess.run([relay.binary, "--feed", "RECEIVED", path], env=relay.env,
                                   check=True, timeout=30)
            wait_until(lambda: len(server.bodies()) >= len(ROWS), 120, "every message")
            self.assertEqual(sorted(server.bodies()), sorted(
                row[column] if row[column] is not None else row[2].encode(charset)
                for row in ROWS))

        self.run_rows([("ISO-8859-1", 3), ("UTF-8", 4)], check)

    def gammu(self, relay, messages):
        """Puts (how, text) messages into a dummy phone's inbox; Gammu's daemon hands each to the
        relay."""
        folders = {key: relay.path(key) for key in ("phone", "inbox", "outbox", "sent", "error")}
        for folder in folders.values():
            os.makedirs(folder)
        config = relay.path("smsdrc")
        with open(config, "w") as f:
            f.write("[gammu]\nmodel = dummy\nconnection = none\nport = %(phone)s/\n[smsd]\nservice "
                    "= files\nReceiveFrequency = 1\nCommTimeout = 1\ninboxpath = %(inbox)s/\n"
                    "outboxpath = %(outbox)s/\nsentsmspath = %(sent)s/\nerrorsmspath = %(error)s/\n"
                    % folders + "logfile = %s\nRunOnReceive = %s --feed\n" % (
                        relay.path("smsd.log"), relay.binary))
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        for how, text in messages:
            subprocess.run(["gammu", "-c", config, "savesms", "TEXT", "-folder", "1", "-unread",
                            "-sender", "+4912345", "-autolen", str(len(text))] +
                           ["-unicode"] * (how == "gammu-unicode") + ["-textutf8", text],
                           env=env, check=True, timeout=30, stdout=subprocess.DEVNULL)
        daemon = subprocess.Popen(["gammu-smsd", "-c", config], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (daemon.kill(), daemon.wait(timeout=20)))
        wait_until(lambda: len(os.listdir(folders["inbox"])) >= len(messages) + 2, 60,
                   "Gammu's daemon to receive every part")


if __name__ == "__main__":
    unittest.main()
