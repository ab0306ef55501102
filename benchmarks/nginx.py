"""A throw-away nginx on 127.0.0.1 serving one directory, optionally with a per-connection rate cap and a
second server that takes any PUT and answers 200 with an ETag, and any POST with an upload id (a sink for upload
benchmarks, multipart ones included).

    with Nginx(root, limit_rate="16m", sink=True) as server:
        server.endpoint      # "http://127.0.0.1:PORT"; /a/b serves ROOT/a/b with Range, ETag and If-Match
        server.sink_endpoint # "http://127.0.0.1:PORT2"; PUT anything, 200

nginx itself comes from the system (tools/bench installs it when missing).
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time

CONF = """
{user}
worker_processes {workers};
pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
daemon off;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    keepalive_timeout 60s;
    default_type application/octet-stream;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    server {{
        listen 127.0.0.1:{port} reuseport;
        root {root};
        location / {{ {limit} }}
    }}
{sink}}}
"""

SINK = """    server {{
        listen 127.0.0.1:{port};
        client_max_body_size 0;
        location / {{
            # An ETag, as the services give every stored object and part.
            add_header ETag '"0123456789abcdef0123456789abcdef"' always;
            if ($request_method = PUT) {{ return 200; }}
            # Opening and completing a multipart upload: one reply fits both.
            if ($request_method = POST) {{
                return 200 '<Result><UploadId>sink</UploadId><ETag>"sink"</ETag></Result>';
            }}
        }}
    }}
"""


def binary():
    """The nginx executable (Debian's nginx-light installs it in /usr/sbin), or None."""
    return shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)


def available():
    return binary() is not None


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    def __init__(self, root, limit_rate=None, sink=False, workers=1):
        self.root, self.limit_rate, self.workers = os.path.abspath(root), limit_rate, workers
        self.port = _free_port()
        self.endpoint = f"http://127.0.0.1:{self.port}"
        self.sink_port = _free_port() if sink else None
        self.sink_endpoint = f"http://127.0.0.1:{self.sink_port}" if sink else None
        self.prefix = self.process = None

    def start(self):
        self.prefix = tempfile.mkdtemp(prefix="cirrova-nginx-")
        conf = os.path.join(self.prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write(CONF.format(user="user root;" if os.geteuid() == 0 else "", prefix=self.prefix, port=self.port,
                                root=self.root, limit=f"limit_rate {self.limit_rate};" if self.limit_rate else "",
                                workers=self.workers,
                                sink=SINK.format(port=self.sink_port) if self.sink_port else ""))
        self.process = subprocess.Popen([binary(), "-p", self.prefix, "-c", conf, "-e", os.path.join(self.prefix, "error.log")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("nginx exited: " + self.process.stderr.read().decode(errors="replace"))
            try:
                for port in filter(None, (self.port, self.sink_port)):
                    socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
                return self
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("nginx did not start within 10 s")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process and self.process.stderr:
            self.process.stderr.close()
        if self.prefix:
            shutil.rmtree(self.prefix, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
