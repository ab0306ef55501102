"""A small HTTP/1.1 server on 127.0.0.1 that serves one file at every path, with Range support.

    python loopback_server.py FILE [--idle SECONDS] [--max SECONDS]

Prints the port it listens on as the first line of standard output. It stops by itself when no
request has come for --idle seconds, after --max seconds in all, or when its parent goes away.
"""

import argparse
import http.server
import os
import re
import socketserver
import sys
import threading
import time

_RANGE = re.compile(r"bytes=(\d+)-(\d*)$")


def make_handler(path, size, activity):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def _answer(self, send_body):
            activity[0] = time.monotonic()
            length = self.headers.get("Content-Length")
            if length:
                self.rfile.read(int(length))
            start, end, status = 0, size - 1, 200
            m = _RANGE.match(self.headers.get("Range", ""))
            if m:
                start = int(m.group(1))
                end = min(int(m.group(2)), size - 1) if m.group(2) else size - 1
                if start > end:
                    self.send_response(416)
                    self.send_header("Content-Range", "bytes */%d" % size)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                status = 206
            self.send_response(status)
            self.send_header("Content-Length", str(end - start + 1))
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("ETag", '"bench"')
            if status == 206:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
            self.end_headers()
            if not send_body:
                return
            self.wfile.flush()
            with open(path, "rb") as f:
                offset, left = start, end - start + 1
                while left > 0:
                    sent = os.sendfile(self.connection.fileno(), f.fileno(), offset, left)
                    if sent == 0:
                        break
                    offset += sent
                    left -= sent
            activity[0] = time.monotonic()

        def do_HEAD(self):
            self._answer(False)

        def do_GET(self):
            self._answer(True)

    return Handler


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--idle", type=float, default=30.0)
    ap.add_argument("--max", type=float, default=600.0)
    args = ap.parse_args()

    size = os.path.getsize(args.file)
    activity = [time.monotonic()]
    server = Server(("127.0.0.1", 0), make_handler(args.file, size, activity))
    parent = os.getppid()
    started = time.monotonic()

    def watchdog():
        while True:
            time.sleep(0.5)
            now = time.monotonic()
            if now - activity[0] > args.idle or now - started > args.max or os.getppid() != parent:
                os._exit(0)

    threading.Thread(target=watchdog, daemon=True).start()
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever(poll_interval=0.2)


if __name__ == "__main__":
    main()
