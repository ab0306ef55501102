"""A misbehaving HTTP server on loopback, written on raw sockets.

    with HostileServer(handler) as srv:
        srv.url        # "http://127.0.0.1:PORT"
        srv.requests   # [(method, target, headers)] in arrival order
        srv.hung_up    # per SILENT request: True when the client closed first

`handler(method, target, headers, index)` returns what to do with the request
(`index` counts requests from 0):

    bytes    sent as they are, then the connection is closed
    SILENT   nothing is sent; the connection is held until the client gives up
             or HOLD seconds have passed
    RESET    the connection is reset (RST) without a reply

Every wait is bounded: accept and reads time out, a silent connection is
dropped after HOLD seconds, and the server thread is joined on exit.
"""

import http.client
import socket
import struct
import threading
import time

SILENT = "silent"
RESET = "reset"
HOLD = 5.0


def reply(status, body=b"", headers=None, length=None):
    """A raw response. `length` overrides Content-Length (a short body when larger)."""
    reason = http.client.responses.get(status, "Status")
    head = {"Content-Length": str(len(body) if length is None else length), "Connection": "close"}
    head.update(headers or {})
    lines = [f"HTTP/1.1 {status} {reason}"] + [f"{k}: {v}" for k, v in head.items()]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


class HostileServer:
    def __init__(self, handler):
        self.handler = handler
        self.requests = []
        self.hung_up = []
        self._stop = threading.Event()
        self._idle = threading.Event()
        self._idle.set()
        self._sock = socket.create_server(("127.0.0.1", 0))
        self._sock.settimeout(0.1)
        self.url = "http://127.0.0.1:%d" % self._sock.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._idle.wait(HOLD + 1)  # lets the connection in hand finish first
        self._stop.set()
        self._thread.join(HOLD + 5)
        self._sock.close()

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except TimeoutError:
                continue
            self._idle.clear()
            try:
                with conn:
                    self._answer(conn)
            except OSError:
                pass
            finally:
                self._idle.set()

    def _answer(self, conn):
        conn.settimeout(HOLD)
        f = conn.makefile("rb")
        line = f.readline(65536).decode("latin-1").split()
        if len(line) < 2:
            return
        headers = http.client.parse_headers(f)
        length = int(headers.get("Content-Length") or 0)
        if length:
            f.read(length)
        index = len(self.requests)
        self.requests.append((line[0], line[1], headers))
        action = self.handler(line[0], line[1], headers, index)
        if action == SILENT:
            deadline = time.monotonic() + HOLD
            conn.settimeout(0.1)
            while time.monotonic() < deadline and not self._stop.is_set():
                try:
                    if not conn.recv(1):
                        self.hung_up.append(True)
                        return
                except TimeoutError:
                    continue
                except ConnectionResetError:
                    self.hung_up.append(True)
                    return
            self.hung_up.append(False)
            return
        if action == RESET:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        conn.sendall(action)
