#!/usr/bin/env python3
"""Loopback HTTP/HTTPS server for the tests: records every request, answers by path.

Usage:
  python3 http_server.py --record FILE [--tls CERT KEY] [--port-file PF]

Start-up:
  Binds 127.0.0.1 on a free port (port 0), prints the port as the first line of standard output
  and flushes; with --port-file it also writes the port (plus a line end) to PF, atomically (a
  reader never sees a partial number). With --tls every connection is TLS with CERT/KEY (PEM);
  tests/servers/make_cert.sh makes a fitting pair for "localhost" and 127.0.0.1.
  Ends cleanly (exit status 0) on SIGTERM or SIGINT: it stops accepting, wakes every waiting
  connection and exits within about a second.

Recording:
  Each request is appended to FILE as one JSON line, flushed, BEFORE it is answered (a client
  that never gets an answer still leaves its request behind):
    {"method": "POST", "path": "/ok?x=1", "version": "HTTP/1.1",
     "headers": [["Host", "127.0.0.1:4711"], ["X-A", "1"], ...],
     "body_b64": "..."}
  "path" is the request target as sent (query included). "headers" are in wire order with the
  names as sent; a value is the text after the first ':' without the surrounding spaces and tabs.
  Lines are split only at CR LF, so a lone CR or LF a client let through stays inside the value
  where a test can see it. Header text is decoded as Latin-1: one character per byte, so every
  byte value survives. The body is the decoded body (Content-Length or chunked), base64.

Answers, chosen by the path (the query is ignored), all with Content-Type text/plain:
  /ok and any unknown path   200, body "OK"
  /status/N                  status N (200..599), short body "Status N" (none for 204 and 304)
  /body/N                    200 with N bytes; byte i has the value i % 251 (deterministic, not
                             a multiple of 256 so that shifted data is noticed); streamed in
                             64 KiB blocks, so a huge N costs the server no memory
  /echo                      200 with the request body as the answer
  /delay/S                   200 "OK" after S seconds (float, at most 3600)
  /never                     reads the request, never answers; holds the connection until the
                             client goes away or the server stops
  /close                     reads the request, closes the connection without answering
  /headers-then-stall        status line and headers (Content-Length: 1000), then stalls
  /half                      headers with Content-Length: 1000, 10 body bytes, then closes
  /garbage                   non-HTTP bytes, then closes
  /redirect                  301 with "Location: /redirect-target" (that path answers like /ok)
  /flaky/SEED/LATE           a flaky server: the answer is drawn from SEED and the request body
                             by flaky_choice() below, so a test that imports this file predicts
                             it: "ok" 200 at once, "slow" 200 after up to 0.6 s, "error" 500 or
                             503, "reset" a TCP reset instead of an answer, "close" closed without
                             an answer, "late" 200 after LATE seconds (float, at most 3600)
A request carrying "Expect: 100-continue" gets "100 Continue" before its body is read.
Connections are kept alive (HTTP/1.1) unless the client asks otherwise.

Bounds: request head 64 KiB and 200 header lines (431 and close when exceeded), body 64 MiB (413
and close), 120 s of silence from a client between or inside requests, 120 s of a client not
reading an answer. Each answer goes out in one write with TCP_NODELAY, so a keep-alive client
does not wait for Nagle and delayed ACK. Python 3 standard library only.
"""

import argparse
import base64
import hashlib
import json
import os
import signal
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time

MAX_HEAD = 64 * 1024
MAX_HEADER_LINES = 200
MAX_BODY = 64 * 1024 * 1024
IDLE_SECONDS = 120.0
TICK_SECONDS = 0.25  # How often a waiting connection looks at the stop flag.
BLOCK = 64 * 1024
PATTERN_PERIOD = 251
PATTERN = bytes(i % PATTERN_PERIOD for i in range(BLOCK + PATTERN_PERIOD))

REASONS = {
    200: "OK", 201: "Created", 202: "Accepted", 204: "No Content", 301: "Moved Permanently",
    302: "Found", 304: "Not Modified", 400: "Bad Request", 401: "Unauthorized",
    403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed", 413: "Payload Too Large",
    429: "Too Many Requests", 431: "Request Header Fields Too Large",
    500: "Internal Server Error", 502: "Bad Gateway", 503: "Service Unavailable",
    504: "Gateway Timeout",
}

stop = threading.Event()


class Stopped(Exception):
    """The server is stopping or the client went silent: drop the connection."""


class ClientGone(Exception):
    """The client closed its side."""


class BadRequest(Exception):
    def __init__(self, status):
        super().__init__(status)
        self.status = status


class Recorder:
    def __init__(self, path):
        self._file = open(path, "a", encoding="ascii")
        self._lock = threading.Lock()

    def record(self, entry):
        line = json.dumps(entry, ensure_ascii=True) + "\n"
        with self._lock:
            if not self._file.closed:  # A late request while stopping is not recorded.
                self._file.write(line)
                self._file.flush()

    def close(self):
        with self._lock:
            self._file.close()


class Connection:
    """Buffered reading and bounded writing on one (possibly TLS) socket."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()
        sock.settimeout(TICK_SECONDS)

    def _fill(self):
        deadline = time.monotonic() + IDLE_SECONDS
        while True:
            if stop.is_set() or time.monotonic() > deadline:
                raise Stopped()
            try:
                data = self.sock.recv(BLOCK)
            except socket.timeout:
                continue
            if not data:
                raise ClientGone()
            self.buf += data
            return

    def read_head(self):
        # Something that does not start like a request line (a TLS hello on the plain server,
        # say) is refused at once rather than waited on until the head limit.
        while not self.buf:
            self._fill()
        if not 0x41 <= self.buf[0] <= 0x5A:
            raise BadRequest(400)
        return self.read_until(b"\r\n\r\n", MAX_HEAD)

    def read_until(self, marker, limit):
        start = 0
        while True:
            at = self.buf.find(marker, start)
            if at >= 0:
                end = at + len(marker)
                if end > limit:
                    raise BadRequest(431)
                out = bytes(self.buf[:end])
                del self.buf[:end]
                return out
            if len(self.buf) > limit:
                raise BadRequest(431)
            start = max(0, len(self.buf) - len(marker) + 1)
            self._fill()

    def read_exact(self, count):
        while len(self.buf) < count:
            self._fill()
        out = bytes(self.buf[:count])
        del self.buf[:count]
        return out

    def send_all(self, data):
        view = memoryview(data)
        deadline = time.monotonic() + IDLE_SECONDS
        while view:
            if stop.is_set() or time.monotonic() > deadline:
                raise Stopped()
            try:
                sent = self.sock.send(view[:BLOCK] if len(view) > BLOCK else view)
            except socket.timeout:
                continue
            deadline = time.monotonic() + IDLE_SECONDS
            view = view[sent:]

    def hold(self):
        """Waits, reading and dropping anything, until the client goes or the server stops."""
        deadline = time.monotonic() + 3600
        while not stop.is_set() and time.monotonic() < deadline:
            try:
                if not self.sock.recv(BLOCK):
                    return
            except socket.timeout:
                continue
            except OSError:
                return


def parse_head(head):
    lines = head[:-4].split(b"\r\n")
    parts = lines[0].split(b" ")
    if len(parts) != 3 or not parts[0] or not parts[1].strip():
        raise BadRequest(400)
    if len(lines) - 1 > MAX_HEADER_LINES:
        raise BadRequest(431)
    headers = []
    for line in lines[1:]:
        name, colon, value = line.partition(b":")
        if not colon:
            raise BadRequest(400)
        headers.append([name.decode("latin-1"), value.strip(b" \t").decode("latin-1")])
    return parts[0].decode("latin-1"), parts[1].decode("latin-1"), parts[2].decode("latin-1"), \
        headers


def header(headers, name):
    for key, value in headers:
        if key.lower() == name:
            return value
    return None


def read_body(conn, headers):
    coding = header(headers, "transfer-encoding")
    if coding is not None and coding.lower() != "identity":
        if coding.lower() != "chunked":
            raise BadRequest(400)
        body = bytearray()
        while True:
            size_line = conn.read_until(b"\r\n", 1024)
            try:
                size = int(size_line.split(b";")[0].strip(), 16)
            except ValueError:
                raise BadRequest(400)
            if size == 0:
                while conn.read_until(b"\r\n", MAX_HEAD) != b"\r\n":  # Trailers.
                    pass
                return bytes(body)
            if len(body) + size > MAX_BODY:
                raise BadRequest(413)
            body += conn.read_exact(size)
            if conn.read_exact(2) != b"\r\n":
                raise BadRequest(400)
    length = header(headers, "content-length")
    if length is None:
        return b""
    try:
        size = int(length)
    except ValueError:
        raise BadRequest(400)
    if size < 0:
        raise BadRequest(400)
    if size > MAX_BODY:
        raise BadRequest(413)
    return conn.read_exact(size)


def response_head(status, length, keep_alive, extra=()):
    lines = ["HTTP/1.1 %d %s" % (status, REASONS.get(status, "Status"))]
    lines.append("Content-Type: text/plain")
    if length is not None:
        lines.append("Content-Length: %d" % length)
    lines.extend(extra)
    lines.append("Connection: " + ("keep-alive" if keep_alive else "close"))
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def send_simple(conn, status, body, keep_alive, is_head, extra=()):
    no_body = status in (204, 304) or 100 <= status < 200
    head = response_head(status, None if no_body else len(body), keep_alive, extra)
    conn.send_all(head + (b"" if is_head or no_body else body))


def send_pattern(conn, count, keep_alive, is_head):
    first = min(count, BLOCK)
    conn.send_all(response_head(200, count, keep_alive) + (b"" if is_head else PATTERN[:first]))
    if is_head:
        return
    offset = first
    while offset < count:
        size = min(BLOCK, count - offset)
        start = offset % PATTERN_PERIOD
        conn.send_all(PATTERN[start:start + size])
        offset += size


# Shares of the flaky answers, in the order flaky_choice() lays them out on [0, 1).
FLAKY_SHARES = (("ok", 0.47), ("slow", 0.20), ("error", 0.13), ("reset", 0.08), ("close", 0.07),
                ("late", 0.05))


def flaky_choice(seed, body):
    """(kind, value) for a request body: value is the status of an "error" and the delay of a
    "slow" answer, else None. Only SEED and the body decide, not timing or request order."""
    digest = hashlib.sha256(b"%d:" % seed + body).digest()
    draw = int.from_bytes(digest[:8], "big") / 2.0 ** 64
    extra = digest[8] / 255.0
    for kind, share in FLAKY_SHARES:
        if draw < share:
            break
        draw -= share
    if kind == "slow":
        return kind, round(0.05 + 0.55 * extra, 3)
    if kind == "error":
        return kind, 500 if extra < 0.5 else 503
    return kind, None


def answer_flaky(conn, route, body, keep_alive, is_head):
    parts = route.split("/")
    try:
        seed, late = int(parts[2]), float(parts[3])
    except (IndexError, ValueError):
        send_simple(conn, 400, b"Bad flaky", keep_alive, is_head)
        return keep_alive
    kind, value = flaky_choice(seed, body)
    if kind == "error":
        send_simple(conn, value, b"Status %d" % value, keep_alive, is_head)
    elif kind == "reset":
        # Linger on with a zero time-out: close() sends RST instead of FIN.
        conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return False
    elif kind == "close":
        return False
    else:
        delay = {"slow": value, "late": min(max(late, 0.0), 3600.0)}.get(kind, 0)
        if delay and stop.wait(delay):
            return False
        send_simple(conn, 200, b"OK", keep_alive, is_head)
    return keep_alive


def number_after(path, prefix, kind):
    try:
        return kind(path[len(prefix):])
    except ValueError:
        return None


def answer(conn, method, path, body, keep_alive):
    """Answers one request; returns False when the connection must end."""
    route = path.split("?", 1)[0]
    is_head = method == "HEAD"
    if route.startswith("/status/"):
        status = number_after(route, "/status/", int)
        if status is None or not 200 <= status <= 599:
            send_simple(conn, 400, b"Bad status", keep_alive, is_head)
        else:
            send_simple(conn, status, b"Status %d" % status, keep_alive, is_head)
    elif route.startswith("/body/"):
        count = number_after(route, "/body/", int)
        if count is None or count < 0:
            send_simple(conn, 400, b"Bad size", keep_alive, is_head)
        else:
            send_pattern(conn, count, keep_alive, is_head)
    elif route == "/echo":
        send_simple(conn, 200, body, keep_alive, is_head)
    elif route.startswith("/delay/"):
        seconds = number_after(route, "/delay/", float)
        if seconds is None or not 0 <= seconds <= 3600:
            send_simple(conn, 400, b"Bad delay", keep_alive, is_head)
        else:
            if stop.wait(seconds):
                return False
            send_simple(conn, 200, b"OK", keep_alive, is_head)
    elif route == "/never":
        conn.hold()
        return False
    elif route == "/close":
        return False
    elif route == "/headers-then-stall":
        conn.send_all(response_head(200, 1000, keep_alive))
        conn.hold()
        return False
    elif route == "/half":
        conn.send_all(response_head(200, 1000, False) + PATTERN[:10])
        return False
    elif route == "/garbage":
        conn.send_all(b"\x00\x01this is not HTTP at all\r\n\xff\xfe\r\n\r\n")
        return False
    elif route.startswith("/flaky/"):
        return answer_flaky(conn, route, body, keep_alive, is_head)
    elif route == "/redirect":
        send_simple(conn, 301, b"Moved", keep_alive, is_head, ["Location: /redirect-target"])
    else:
        send_simple(conn, 200, b"OK", keep_alive, is_head)
    return keep_alive


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.server.tls is not None:
                sock.settimeout(10)
                sock = self.server.tls.wrap_socket(sock, server_side=True)
            self.serve(Connection(sock))
        except (Stopped, ClientGone, ssl.SSLError, OSError):
            pass
        finally:
            try:
                sock.close()
            except OSError:
                pass

    def serve(self, conn):
        while not stop.is_set():
            try:
                head = conn.read_head()
                method, path, version, headers = parse_head(head)
                expect = header(headers, "expect")
                if expect is not None and expect.lower() == "100-continue":
                    conn.send_all(b"HTTP/1.1 100 Continue\r\n\r\n")
                body = read_body(conn, headers)
            except BadRequest as error:
                send_simple(conn, error.status, b"Bad request", False, False)
                return
            self.server.recorder.record({
                "method": method, "path": path, "version": version, "headers": headers,
                "body_b64": base64.b64encode(body).decode("ascii"),
            })
            connection = (header(headers, "connection") or "").lower()
            keep_alive = version == "HTTP/1.1" and "close" not in connection
            if not answer(conn, method, path, body, keep_alive):
                return


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    request_queue_size = 64


def main():
    parser = argparse.ArgumentParser(description="Loopback HTTP test server (see the top).")
    parser.add_argument("--record", required=True, help="JSON lines file, appended to")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="serve HTTPS")
    parser.add_argument("--port-file", help="also write the port here")
    args = parser.parse_args()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    server = Server(("127.0.0.1", 0), Handler)
    server.recorder = Recorder(args.record)
    server.tls = None
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        server.tls = context
    port = server.server_address[1]
    if args.port_file:
        temporary = args.port_file + ".tmp"
        with open(temporary, "w") as out:
            out.write("%d\n" % port)
        os.replace(temporary, args.port_file)
    sys.stdout.write("%d\n" % port)
    sys.stdout.flush()

    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                              daemon=True)
    thread.start()
    while not stop.wait(0.5):
        pass
    server.shutdown()
    server.server_close()
    thread.join(5)
    server.recorder.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
