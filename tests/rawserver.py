"""A loopback HTTP/1.1 server on raw sockets that records the bytes of every request it receives.

    with RawServer(lambda req: b"HTTP/1.1 204 No Content\\r\\n\\r\\n") as srv:
        httpx.get(srv.url("/x"))
        srv.requests[0].head     # request line and header block, exactly as received
        srv.connections          # connections accepted

`reply(request)` returns the bytes to send, or a callable taking the socket that answers itself (and
may hang up or stay silent). The answer carrying "Connection: close" ends the connection. An answer to
HEAD goes without its body, as from a real server.
"""

import hashlib
import socket
import threading
from dataclasses import dataclass


#: The largest body kept whole: a few multipart parts of the smallest size, whose Content-MD5 the fakes check.
KEPT = 16 << 20


@dataclass
class Received:
    connection: int
    head: bytes        # request line and headers, without the blank line
    body: bytes        # the decoded body (chunked framing removed); empty past KEPT bytes
    body_len: int
    body_sha256: str
    chunked: bool

    @property
    def method(self):
        return self.head.split(b" ", 1)[0]


class _Conn:
    def __init__(self, sock):
        self.sock, self.buf = sock, b""

    def fill(self):
        data = self.sock.recv(1 << 20)
        if not data:
            raise EOFError
        self.buf += data

    def until(self, sep):
        while sep not in self.buf:
            self.fill()
        out, _, self.buf = self.buf.partition(sep)
        return out

    def take(self, n, sink):
        while n:
            if not self.buf:
                self.fill()
            piece, self.buf = self.buf[:n], self.buf[n:]
            sink(piece)
            n -= len(piece)


def _read_request(conn, index):
    head = conn.until(b"\r\n\r\n")
    fields = {}
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        fields[name.strip().lower()] = value.strip()
    digest, kept, total = hashlib.sha256(), [], [0]

    def sink(piece):
        digest.update(piece)
        total[0] += len(piece)
        if total[0] <= KEPT:
            kept.append(piece)

    chunked = b"chunked" in fields.get(b"transfer-encoding", b"").lower()
    if chunked:
        while True:
            size = int(conn.until(b"\r\n").split(b";")[0], 16)
            if size == 0:
                conn.until(b"\r\n")
                break
            conn.take(size, sink)
            conn.until(b"\r\n")
    elif b"content-length" in fields:
        conn.take(int(fields[b"content-length"]), sink)
    return Received(index, head, b"".join(kept) if total[0] <= KEPT else b"", total[0], digest.hexdigest(), chunked)


class RawServer:
    def __init__(self, reply, read_requests=True):
        self.reply = reply
        self.read_requests = read_requests
        self.requests = []
        self.connections = 0
        self._socks = []
        self._lock = threading.Lock()
        self.sock = socket.create_server(("127.0.0.1", 0), backlog=64)
        self.port = self.sock.getsockname()[1]
        self._closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self, path="/", scheme="http"):
        return f"{scheme}://127.0.0.1:{self.port}{path}"

    def _accept(self):
        while True:
            try:
                sock, _ = self.sock.accept()
            except OSError:
                return
            with self._lock:
                self.connections += 1
                index = self.connections
                self._socks.append(sock)
            threading.Thread(target=self._serve, args=(sock, index), daemon=True).start()

    def _serve(self, sock, index):
        conn = _Conn(sock)
        try:
            if not self.read_requests:  # accepts and never reads: the client's writes stall
                while not self._closed:
                    threading.Event().wait(0.05)
                return
            while True:
                req = _read_request(conn, index)
                with self._lock:
                    self.requests.append(req)
                out = self.reply(req)
                if callable(out):
                    out(sock)
                    return
                if req.method == b"HEAD":
                    out = out.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
                sock.sendall(out)
                if b"connection: close" in out.split(b"\r\n\r\n")[0].lower():
                    return
        except (EOFError, OSError):
            pass
        finally:
            sock.close()

    def close(self):
        self._closed = True
        self.sock.close()
        with self._lock:
            for s in self._socks:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def response(status=200, reason="OK", headers=(), body=b"", length=True):
    """The bytes of a response; Content-Length is added unless `length` is False."""
    lines = [f"HTTP/1.1 {status} {reason}".encode()]
    lines += [f"{k}: {v}".encode() for k, v in headers]
    if length:
        lines.append(b"Content-Length: %d" % len(body))
    return b"\r\n".join(lines) + b"\r\n\r\n" + body


def silent(sock):
    """Reads and never answers, until the client hangs up."""
    try:
        while sock.recv(65536):
            pass
    except OSError:
        pass


def connection_last(head):
    """A request head as NativeTransport sends the one httpx built: its Connection headers joined into one
    line, last (libcurl 8 writes that header after all others)."""
    lines, tokens = [], []
    for line in head.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if lines and name.lower() == b"connection":
            if value.strip():
                tokens.append(value.strip())
        else:
            lines.append(line)
    if tokens:
        lines.append(b"Connection: " + b", ".join(tokens))
    return b"\r\n".join(lines)


def trickle(head, arrived=None, every=0.05, limit=600.0):
    """An answer that sends `head` (status line and headers), then one body byte every `every` seconds until
    the client hangs up (or `limit` seconds pass); `arrived` (an Event) is set once the head is out."""
    def answer(sock):
        try:
            sock.sendall(head)
            if arrived is not None:
                arrived.set()
            for _ in range(int(limit / every)):
                sock.sendall(b"x")
                threading.Event().wait(every)
        except OSError:
            pass
    return answer


def held(arrived=None):
    """An answer that says nothing until the client hangs up; `arrived` is set when the request is in."""
    def answer(sock):
        if arrived is not None:
            arrived.set()
        silent(sock)
    return answer


class StoredObject:
    """Replies for one object `data`, at any path: HEAD gives its size, GET the asked range (206) or all of it
    (200). `headers` go with every reply (a Content-Encoding, say); `ignore_range` answers every GET with the
    whole object; `fault(req, index)` may return an answer of its own for the `index`-th GET (from 0)."""

    def __init__(self, data, headers=(), ignore_range=False, fault=None):
        self.data, self.headers, self.ignore_range, self.fault = data, list(headers), ignore_range, fault
        self.etag = '"' + hashlib.md5(data).hexdigest() + '"'
        self.gets = []
        self._lock = threading.Lock()

    def __call__(self, req):
        fields = dict(line.split(b": ", 1) for line in req.head.split(b"\r\n")[1:] if b": " in line)
        fields = {k.lower().decode(): v.decode() for k, v in fields.items()}
        common = self.headers + [("ETag", self.etag)]
        if req.method == b"HEAD":
            return response(headers=common + [("Content-Length", len(self.data))], length=False)
        with self._lock:
            index = len(self.gets)
            self.gets.append(fields)
        if self.fault is not None:
            answer = self.fault(fields, index)
            if answer is not None:
                return answer
        rng = fields.get("range")
        if rng is None or self.ignore_range:
            return response(headers=common, body=self.data)
        start, end = (int(x) for x in rng.removeprefix("bytes=").split("-"))
        end = min(end, len(self.data) - 1)
        return response(206, "Partial Content", common + [("Content-Range", f"bytes {start}-{end}/{len(self.data)}")],
                        self.data[start:end + 1])
