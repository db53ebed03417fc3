#!/usr/bin/env python3
"""Loopback HTTP(S) server for the tests: records every request as plain files, answers by path.

  python3 http_server.py --record DIR [--tls CERT KEY] [--port N] [--port-file PF]

Binds 127.0.0.1 on port N (default: a free one), printed as stdout's first line (and written to
PF atomically);
exits 0 on SIGTERM or SIGINT. tests/e2e/harness.py makes a key pair for --tls. Request i
leaves DIR/NNNNNN.body (its body) and DIR/NNNNNN.head (its request line and header lines, each
name and value as parsed), before the answer; .head is renamed into place last, so a reader that
sees it sees the request.

Answers by path (query ignored), text/plain, each answer in one write:
  /ok, unknown paths   200 "OK"             /status/N   status N, "Status N"
  /body/N              200, N bytes, byte i = i % 251, streamed
  /never               no answer until the client goes or the server stops
  /close               closes without an answer
  /headers-then-stall  status and headers (Content-Length 1000), then nothing
  /half                Content-Length 1000, 10 bytes, close
  /garbage             non-HTTP bytes, close
  /redirect            301, Location /ok
"""

import argparse
import http.server
import os
import select
import signal
import socketserver
import ssl
import sys
import threading

stop = threading.Event()
PATTERN = bytes(i % 251 for i in range(65536 + 251))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 120

    def setup(self):
        if self.server.tls:
            self.request.settimeout(10)
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def log_message(self, *args):
        pass

    def send(self, status, body=b"", extra=b"", length=None):
        head = b"HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n" % (
            status, self.responses.get(status, ("Status",))[0].encode(),
            len(body) if length is None else length)
        head += extra + (b"Connection: close\r\n" if self.close_connection else b"")
        self.wfile.write(head + b"\r\n" + body)

    def handle_request(self):
        head = "".join(["%s\r\n" % self.requestline] + ["%s: %s\r\n" % header
                                                          for header in self.headers.items()])
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with self.server.lock:
            number, self.server.count = self.server.count, self.server.count + 1
        base = os.path.join(self.server.record, "%06d" % number)
        with open(base + ".body", "wb") as out:
            out.write(body)
        with open(base + ".head.tmp", "wb") as out:
            out.write(head.encode("latin-1"))
        os.replace(base + ".head.tmp", base + ".head")
        self.answer(self.path.split("?", 1)[0])

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = handle_request

    def answer(self, route):
        name, _, arg = route[1:].partition("/")
        if name == "status":
            self.send(int(arg), b"Status " + arg.encode())
        elif name == "body":
            count = int(arg)
            self.send(200, PATTERN[:min(count, 65536)], length=count)
            for offset in range(65536, count, 65536):
                start = offset % 251
                self.wfile.write(PATTERN[start:start + min(65536, count - offset)])
        elif name in ("never", "headers-then-stall"):
            self.close_connection = True
            if name != "never":
                self.send(200, length=1000)
            while not stop.is_set():  # until the client goes: its close, or an error here
                if select.select([self.connection], [], [], 0.25)[0] and \
                        not self.connection.recv(65536):
                    return
        elif name in ("close", "garbage", "half"):
            self.close_connection = True
            if name == "garbage":
                self.wfile.write(b"\x00\x01this is not HTTP at all\r\n\xff\xfe\r\n\r\n")
            elif name == "half":
                self.send(200, PATTERN[:10], length=1000)
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
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())

    os.makedirs(args.record, exist_ok=True)
    server = Server(("127.0.0.1", args.port), Handler)
    server.record, server.count, server.lock = args.record, 0, threading.Lock()
    server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER) if args.tls else None
    if args.tls:
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
