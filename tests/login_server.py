#!/usr/bin/env python3
"""Test login servers for the test network, scripted by the request path.

Each --listen ADDRESS:PORT:MODE[:CERT] starts one server:
  https    the scripted login server over TLS with CERT (CERT.pem, CERT.key);
           https:CERT:old speaks only TLS 1.0 and 1.1, https:CERT:tls13 only
           TLS 1.3, https:CERT:weak serves a key below OpenSSL's default
           security level
  http     the same server in the clear, only there to record a login that
           should never have come
  alert    answers the TLS handshake with a fatal alert
  close    accepts and closes at once, before sending anything
  silent   accepts, reads, and never answers
  tunnel   an HTTP proxy that tunnels CONNECT to port 443 for real and
           records each request head it gets in RECORDS/proxy-ADDRESS
  refuse:ANSWER
           an HTTP proxy that answers every CONNECT itself with ANSWER
           (see PROXY_ANSWERS), recording the head the same way

The https server takes the scenario from the path's first segment and the
record's name from its last; the scenarios are those of tests/scenarios.rows,
as tests/rows.py reads them (and "demo", the bundled demo account). A POST
to /ok/row7 answers as "ok" and writes what it received to RECORDS/row7
(method, path, version, each header line in order, the body in hex), one
block per request.
"""

import argparse
import os
import socket
import ssl
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import rows

MIB = 1024 * 1024


# What a refusing proxy answers a CONNECT with: its own status and body,
# never the login server's. Two of them look like a login reply.
FORGED = b"SESSION-ID=forged:by-the-proxy\n"
PROXY_ANSWERS = {
    "forged-502": (b"502 Bad Gateway", [], FORGED),
    "forged-407": (b"407 Proxy Authentication Required",
                   [b'Proxy-Authenticate: Basic realm="kesta"'], FORGED),
    "error-page": (b"403 Forbidden", [b"Content-Type: text/html"],
                   b"<html><body><h1>403 Forbidden</h1>Access denied by policy.</body></html>\n"),
    # Says yes, then speaks plain HTTP where the server's TLS should start.
    "plain-200": (b"200 Connection established", [], None),
}



class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "kesta-test"
    sys_version = ""

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        self.do_POST()

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        self.record(body)
        scenario = self.path.split("?")[0].strip("/").split("/")[0]
        if scenario == "demo":
            self.demo(body)
        elif scenario in self.server.scenarios:
            how, status, reply, location = self.server.scenarios[scenario]
            if location is not None:
                # Where a client that follows redirects would take the login
                # next: a request there is recorded under the same name.
                self.extra_headers = [("Location", location + self.record_name())]
            getattr(self, "send_" + how.replace("-", "_"))(body, status, reply)
        else:
            self.send(b"no such scenario\n", 404)

    # Header lines of the scenario's own (its Location), whichever way the
    # reply goes out.
    extra_headers = ()

    def end_headers(self):
        for name, value in self.extra_headers:
            self.send_header(name, value)
        super().end_headers()

    def record_name(self):
        return self.path.split("?")[0].rstrip("/").split("/")[-1]

    def record(self, body):
        name = self.record_name()
        if not name or "." in name:
            return
        lines = [
            "method " + self.command,
            "path " + self.path,
            "version " + self.request_version,
            # Which connection, and whether its TLS session was resumed:
            # nothing of one login may be kept for the next.
            "connection %d %s" % (self.client_address[1],
                                   getattr(self.connection, "session_reused", False)),
        ]
        lines += ["header %s: %s" % (k, v) for k, v in self.headers.items()]
        lines.append("body " + body.hex())
        with self.server.records_lock:
            # Bytes as they came: the request line is read as Latin-1.
            with open(os.path.join(self.server.records, name), "a", encoding="latin-1") as f:
                f.write("\n".join(lines) + "\n\n")

    def send(self, body, status=200, headers=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def head(self, status=200, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True

    # The ways a reply goes out, by the rows' "send": each gets the request's
    # body, the status and the reply.
    def send_whole(self, body, status, reply):
        self.send(reply, status)

    def send_keep_alive(self, body, status, reply):
        # The connection stays open for another request, as most servers
        # keep it, and a cookie is set: a client that kept connections
        # would use it again, one that kept cookies would send it back.
        self.send_response(status)
        self.send_header("Content-Length", str(len(reply)))
        self.send_header("Set-Cookie", "kept=1; Path=/")
        self.end_headers()
        self.wfile.write(reply)
        self.close_connection = False

    # A session per user, from the ID in the body, so that concurrent logins
    # can each check they got their own.
    def send_echo(self, body, status, reply):
        fields = dict(p.split(b"=", 1) for p in body.split(b"&") if b"=" in p)
        user = fields.get(b"ID", b"")
        self.send(b"SESSION-ID=UA-" + user + b":session-" + user + b"\n", status)

    def send_trickle(self, body, status, reply):
        self.head(status, [("Content-Length", str(len(reply)))])
        for i in range(0, len(reply), 8):
            self.wfile.write(reply[i : i + 8])
            self.wfile.flush()
            time.sleep(0.05)

    def send_chunked(self, body, status, reply):
        self.head(status, [("Transfer-Encoding", "chunked")])
        for i in range(0, len(reply), 8):
            piece = reply[i : i + 8]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.flush()
            time.sleep(0.05)
        self.wfile.write(b"0\r\n\r\n")

    def send_slow(self, body, status, reply):
        self.head(status, [("Content-Length", str(len(reply)))])
        for b in reply:
            self.wfile.write(bytes([b]))
            self.wfile.flush()
            time.sleep(0.1)

    def send_flood(self, body, status, reply):
        # 10 MiB, the reply and then filler, more than any client should take.
        self.head(status, [("Content-Length", str(10 * MIB))])
        piece = reply + b"f" * (64 * 1024 - len(reply))
        try:
            for _ in range(10 * MIB // len(piece)):
                self.wfile.write(piece)
                piece = b"f" * len(piece)
            self.wfile.write(b"f" * (10 * MIB % len(piece)))
        except OSError:
            pass

    def send_short(self, body, status, reply):
        # Promises 100 bytes, sends fewer, and closes properly.
        self.head(status, [("Content-Length", "100")])
        self.wfile.write(reply)

    def send_header_flood(self, body, status, reply):
        # Header lines without end, one after another.
        try:
            self.wfile.write(b"HTTP/1.1 %d OK\r\n" % status)
            for i in range(20000):
                self.wfile.write(b"X-Flood-%d: %s\r\n" % (i, b"h" * 100))
        except OSError:
            pass
        self.close_connection = True

    def send_drip_headers(self, body, status, reply):
        # A header line a second, for ten minutes: never silent for long.
        try:
            self.wfile.write(b"HTTP/1.1 %d OK\r\n" % status)
            for i in range(600):
                self.wfile.write(b"X-Drip-%d: d\r\n" % i)
                self.wfile.flush()
                time.sleep(1)
        except OSError:
            pass
        self.close_connection = True

    def send_drip_body(self, body, status, reply):
        # The body a byte a second, for ten minutes.
        self.head(status, [("Content-Length", "4096")])
        try:
            for _ in range(600):
                self.wfile.write(b"S")
                self.wfile.flush()
                time.sleep(1)
        except OSError:
            pass

    def send_stall(self, body, status, reply):
        # Reads the request and never answers.
        time.sleep(600)

    def send_reset(self, body, status, reply):
        # Headers, then a reset instead of the body they promise.
        self.head(status, [("Content-Length", "100")])
        self.reset_connection()

    def send_part_reset(self, body, status, reply):
        # Headers and part of the body, a pause, then a reset.
        self.head(status, [("Content-Length", "100")])
        self.wfile.write(reply)
        self.wfile.flush()
        time.sleep(0.3)
        self.reset_connection()

    def send_close(self, body, status, reply):
        self.close_connection = True
        self.reset_connection(graceful=True)

    # The bundled demo account: demo / demo gets a fresh session.
    def demo(self, body):
        if body == b"ID=demo&PW=demo":
            self.send(b"SESSION-ID=DemoUA:" + os.urandom(12).hex().encode() + b"\n")
        else:
            self.send(b"LOGIN REFUSED: unknown ID or wrong password\n", 403)

    def reset_connection(self, graceful=False):
        raw = self.connection
        try:
            if not graceful:
                raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raw.close()
        except OSError:
            pass
        self.close_connection = True
        self.wfile = open(os.devnull, "wb")


class LoginServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, context, records, scenarios):
        self.context = context
        self.records = records
        self.scenarios = scenarios
        self.records_lock = threading.Lock()
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so a client that
        # stalls in it holds up nobody else. The plain server has none.
        if self.context is not None:
            try:
                request.settimeout(60)
                request = self.context.wrap_socket(request, server_side=True)
            except (OSError, ssl.SSLError) as e:
                # Many rows fail handshakes on purpose; this line tells a
                # client's failure that no row asked for from the server's side.
                print(f"handshake with {client_address[0]}:{client_address[1]} failed: {e}",
                      file=sys.stderr, flush=True)
                return
        try:
            Handler(request, client_address, self)
        except (OSError, ssl.SSLError):
            pass

    def handle_error(self, request, client_address):
        pass


def serve_raw(address, mode):
    """The servers that misbehave below HTTP."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(address)
    sock.listen(64)
    held = []

    def handle(conn):
        try:
            if mode == "alert":
                conn.recv(4096)
                # A TLS 1.2 fatal alert: handshake_failure (40).
                conn.sendall(b"\x15\x03\x03\x00\x02\x02\x28")
                conn.close()
            elif mode == "close":
                conn.close()
            elif mode == "silent":
                held.append(conn)  # kept open, never answered
                while conn.recv(4096):
                    pass
        except OSError:
            pass

    def loop():
        while True:
            conn, _ = sock.accept()
            threading.Thread(target=handle, args=(conn,), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()


def read_head(conn):
    """The request head a proxy gets, up to its blank line (64 KiB at most)."""
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        piece = conn.recv(4096)
        if not piece:
            break
        data += piece
    return data.split(b"\r\n\r\n", 1)[0]


def serve_proxy(address, mode, records):
    """The test proxies: one that tunnels for real and records what it got,
    and ones that answer the CONNECT themselves."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(address)
    sock.listen(64)
    lock = threading.Lock()
    record = os.path.join(records, "proxy-" + address[0])

    def pipe(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def handle(conn):
        try:
            conn.settimeout(60)
            head = read_head(conn)
            with lock:
                with open(record, "a") as f:
                    f.write(head.decode("latin-1").replace("\r\n", "\n") + "\n\n")
            line = head.split(b"\r\n", 1)[0].split(b" ")
            if mode == "tunnel":
                host, _, port = line[1].rpartition(b":") if len(line) > 1 else (b"", b"", b"")
                if line[0] != b"CONNECT" or port != b"443":
                    conn.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                    return
                upstream = socket.create_connection((host.decode(), 443), 10)
                conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                conn.settimeout(None)
                threading.Thread(target=pipe, args=(upstream, conn), daemon=True).start()
                pipe(conn, upstream)
                return
            status, headers, body = PROXY_ANSWERS[mode.split(":", 1)[1]]
            if body is None:
                conn.sendall(b"HTTP/1.1 " + status + b"\r\n\r\n")
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(FORGED), FORGED))
            else:
                lines = [b"HTTP/1.1 " + status] + headers
                lines += [b"Content-Length: %d" % len(body), b"Connection: close"]
                conn.sendall(b"\r\n".join(lines) + b"\r\n\r\n" + body)
            time.sleep(0.2)
        except OSError:
            pass
        finally:
            conn.close()

    def loop():
        while True:
            conn, _ = sock.accept()
            threading.Thread(target=handle, args=(conn,), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", action="append", default=[], required=True)
    parser.add_argument("--records", required=True)
    parser.add_argument("--ready", help="file written once every server listens")
    parser.add_argument("--rows", default=rows.ROWS, help="the scenario rows (%(default)s)")
    args = parser.parse_args()
    # A rows file that breaks its rules stops the servers before they listen,
    # so that the suite fails naming the row instead of answering 404.
    try:
        _, scenarios = rows.read(args.rows)
    except rows.RowsError as e:
        print(f"login_server: {e}", file=sys.stderr)
        return 1
    os.makedirs(args.records, exist_ok=True)

    servers = []
    for listener in args.listen:
        host, port, mode, *rest = listener.split(":")
        address = (host, int(port))
        if mode in ("tunnel", "refuse"):
            serve_proxy(address, ":".join([mode] + rest), args.records)
        elif mode in ("https", "http"):
            context = None
            if mode == "https":
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                policy = rest[1] if len(rest) > 1 else ""
                if policy in ("old", "weak"):
                    # Old protocols and small keys are below the default level.
                    context.set_ciphers("DEFAULT:@SECLEVEL=0")
                if policy == "old":
                    context.minimum_version = ssl.TLSVersion.TLSv1
                    context.maximum_version = ssl.TLSVersion.TLSv1_1
                elif policy == "tls13":
                    context.minimum_version = ssl.TLSVersion.TLSv1_3
                context.load_cert_chain(rest[0] + ".pem", rest[0] + ".key")
            server = LoginServer(address, context, args.records, scenarios)
            servers.append(server)
            threading.Thread(target=server.serve_forever, daemon=True).start()
        else:
            serve_raw(address, mode)
    if args.ready:
        with open(args.ready, "w") as f:
            f.write("ready\n")
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
