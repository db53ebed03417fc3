#!/usr/bin/env python3
"""Loopback HTTP(S) server for the tests: records every request as plain files, answers by path.

  python3 http_server.py --record DIR [--tls CERT KEY] [--port N] [--port-file PF]

Binds 127.0.0.1 on port N (default: a free one), printed as stdout's first line (and written to
PF atomically);
exits 0 on SIGTERM or SIGINT. tests/servers/make_cert.sh makes a key pair for --tls. Request i
leaves DIR/NNNNNN.body (its body) and DIR/NNNNNN.head (its request and header lines as received),
before the answer; .head is renamed into place last, so a reader that sees it sees the request.

Answers by path (query ignored), text/plain, each answer in one write:
  /ok, unknown paths   200 "OK"             /status/N   status N, "Status N"
  /body/N              200, N bytes, byte i = i % 251, streamed
  /delay/S             200 "OK" after S seconds (float)
  /never               no answer until the client goes or the server stops
  /close               closes without an answer
  /headers-then-stall  status and headers (Content-Length 1000), then nothing
  /half                Content-Length 1000, 10 bytes, close
  /garbage             non-HTTP bytes, close
  /redirect            301, Location /ok
  /every-other         200 for the server's 1st, 3rd, 5th ... request, 503 for the others
"""

import argparse
import http.server
import os
import signal
import socketserver
import ssl
import sys
import threading

stop = threading.Event()
PATTERN = bytes(i % 251 for i in range(65536 + 251))


class TeeReader:
    """Passes reads through; keeps the lines read while `lines` is a list (the request head)."""

    def __init__(self, raw):
        self.raw, self.lines = raw, None

    def readline(self, limit=-1):
        line = self.raw.readline(limit)
        if self.lines is not None:
            self.lines.append(line)
        return line

    def __getattr__(self, name):
        return getattr(self.raw, name)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 120

    def setup(self):
        if self.server.tls:
            self.request.settimeout(10)
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()
        self.rfile = TeeReader(self.rfile)

    def handle_one_request(self):
        self.rfile.lines = []
        super().handle_one_request()

    def log_message(self, *args):
        pass

    def read_body(self):
        return self.rfile.read(int(self.headers.get("Content-Length", 0)))

    def record(self, head, body):
        with self.server.lock:
            number = self.server.count
            self.server.count += 1
        base = os.path.join(self.server.record, "%06d" % number)
        with open(base + ".body", "wb") as out:
            out.write(body)
        with open(base + ".head.tmp", "wb") as out:
            out.write(head)
        os.replace(base + ".head.tmp", base + ".head")
        self.number = number

    def send(self, status, body=b"", extra=b"", length=None):
        no_body = status in (204, 304)
        head = b"HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\n" % (
            status, self.responses.get(status, ("Status",))[0].encode())
        if not no_body:
            head += b"Content-Length: %d\r\n" % (len(body) if length is None else length)
        head += extra + (b"Connection: close\r\n" if self.close_connection else b"")
        self.wfile.write(head + b"\r\n" + (b"" if no_body else body))

    def handle_request(self):
        head_lines = self.rfile.lines[:-1]
        self.rfile.lines = None
        body = self.read_body()
        self.record(b"".join(head_lines), body)
        self.answer(self.path.split("?", 1)[0], body)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = handle_request

    def answer(self, route, body):
        name, _, arg = route[1:].partition("/")
        if name == "status":
            self.send(int(arg), b"Status " + arg.encode())
        elif name == "body":
            count = int(arg)
            self.send(200, PATTERN[:min(count, 65536)], length=count)
            for offset in range(65536, count, 65536):
                start = offset % 251
                self.wfile.write(PATTERN[start:start + min(65536, count - offset)])
        elif name == "delay":
            if not stop.wait(float(arg)):
                self.send(200, b"OK")
        elif name in ("never", "headers-then-stall"):
            self.close_connection = True
            if name != "never":
                self.send(200, length=1000)
            self.connection.settimeout(0.25)
            while not stop.is_set():
                try:
                    if not self.connection.recv(65536):
                        return
                except TimeoutError:
                    continue
                except OSError:
                    return
        elif name in ("close", "garbage", "half"):
            self.close_connection = True
            if name == "garbage":
                self.wfile.write(b"\x00\x01this is not HTTP at all\r\n\xff\xfe\r\n\r\n")
            elif name == "half":
                self.send(200, PATTERN[:10], length=1000)
        elif name == "every-other":  # the server's 1st, 3rd, ... request succeeds, the rest fail
            self.send(503 if self.number % 2 else 200, b"Every other")
        elif name == "redirect":
            self.send(301, b"Moved", extra=b"Location: /ok\r\n")
        else:
            self.send(200, b"OK")


class Server(http.server.ThreadingHTTPServer):
    block_on_close = False

    def server_bind(self):  # No reverse lookup of the host name.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        pass  # A client that goes away or fails the TLS handshake is a normal case here.


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", required=True)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())

    os.makedirs(args.record, exist_ok=True)
    server = Server(("127.0.0.1", args.port), Handler)
    server.record, server.count, server.lock = args.record, 0, threading.Lock()
    server.tls = None
    if args.tls:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(*args.tls)
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as out:
            out.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    print(port, flush=True)

    threading.Thread(target=server.serve_forever, args=(0.2,), daemon=True).start()
    while not stop.wait(0.5):
        pass
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
