"""Real SMS daemons feeding the real program: Gammu's gammu-smsd with its dummy phone and files
service, RunOnReceive = corbelwynford --feed, and smstools' received files through --feed
RECEIVED <file>. Every message arrives at the loopback server as exactly one POST, with the
expected bytes, in both FeedCharset modes."""

import os
import shutil
import subprocess
import unittest

from harness import RelayTestCase, ini, wait_until

THREE_PARTS = "".join(chr(65 + i % 26) for i in range(400))
# (name, how it reaches the relay, the text, the body in ISO-8859-1, the body in UTF-8)
ROWS = [
    ("ASCII", "gammu", "Hello world", b"Hello world", None),
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


def expected(row, charset):
    _, _, text, iso, utf8 = row
    given = iso if charset == "ISO-8859-1" else utf8
    return given if given is not None else text.encode(
        "latin-1" if charset == "ISO-8859-1" else "utf-8")


@unittest.skipIf(shutil.which("gammu-smsd") is None, "no gammu-smsd")
class FeedTest(RelayTestCase):
    def test_daemons_feed_one_post_per_message_in_both_charsets(self):
        def check(charset):
            server, relay = self.server(), self.relay()
            relay.write_ini(ini(server.url(), general="WatchFile=1\r\nFeedCharset=" + charset))
            relay.start()
            self.gammu(relay, [row for row in ROWS if row[1].startswith("gammu")])
            for row in ROWS:
                self.smstools_or_stdin(relay, row)
            wait_until(lambda: len(server.bodies()) >= len(ROWS), 120, "every message")
            self.assertEqual(sorted(server.bodies()), sorted(expected(row, charset)
                                                             for row in ROWS))

        self.run_rows([("ISO-8859-1",), ("UTF-8",)], lambda row: check(row[0]))

    def gammu(self, relay, rows):
        """Puts rows into a dummy phone's inbox; Gammu's daemon hands each to the relay."""
        phone = relay.path("phone")
        config = relay.path("smsdrc")
        folders = {name: relay.path(name) for name in ("inbox", "outbox", "sent", "error")}
        for folder in [phone, *folders.values()]:
            os.makedirs(folder, exist_ok=True)
        with open(config, "w") as f:
            f.write("[gammu]\nmodel = dummy\nconnection = none\nport = %s/\n\n[smsd]\n"
                    "service = files\nlogfile = %s\nReceiveFrequency = 1\nCommTimeout = 1\n"
                    "RunOnReceive = %s --feed\n" % (phone, relay.path("smsd.log"), relay.binary))
            for name, folder in folders.items():
                f.write("%spath = %s/\n" % ("errorsms" if name == "error" else
                                            "sentsms" if name == "sent" else name, folder))
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        for _, how, text, _, _ in rows:
            unicode = ["-unicode"] if how == "gammu-unicode" else []
            subprocess.run(["gammu", "-c", config, "savesms", "TEXT", "-folder", "1", "-unread",
                            "-sender", "+4912345", "-autolen", str(len(text))] + unicode +
                           ["-textutf8", text], env=env, check=True, timeout=30,
                           stdout=subprocess.DEVNULL)
        daemon = subprocess.Popen(["gammu-smsd", "-c", config], env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (daemon.kill(), daemon.wait(timeout=20)))
        wait_until(lambda: len(os.listdir(folders["inbox"])) >= len(rows) + 2, 60,
                   "Gammu's daemon to receive every part")

    def smstools_or_stdin(self, relay, row):
        _, how, text, _, _ = row
        if how == "stdin":
            subprocess.run([relay.binary, "--feed"], input=text.encode(), env=relay.env,
                           check=True, timeout=30)
        elif not how.startswith("gammu"):
            body = {"ISO": lambda t: t.encode("iso8859_15"), "UTF-8": lambda t: t.encode(),
                    "UCS2": lambda t: t.encode("utf-16-be")}[how](text)
            path = relay.path("GSM1.%s" % how)
            with open(path, "wb") as f:
                f.write(b"From: 4912345\nSent: 26-12-07 09:00:00\nAlphabet: %s\nUDH: false\n\n"
                        % how.encode() + body)
            subprocess.run([relay.binary, "--feed", "RECEIVED", path], env=relay.env,
                           check=True, timeout=30)


if __name__ == "__main__":
    unittest.main()
