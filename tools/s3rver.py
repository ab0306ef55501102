"""Installs (once) and runs a local s3rver, an S3-protocol server, on loopback.

    with S3rver() as server:
        server.endpoint   # "http://127.0.0.1:PORT"

    python tools/s3rver.py    # runs one until SIGTERM or SIGINT; prints its endpoint on the first line

The npm package is installed into <repo>/.s3rver on first use.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREFIX = os.path.join(ROOT, ".s3rver")
VERSION = "3.7.1"
BIN = os.path.join(PREFIX, "node_modules", "s3rver", "bin", "s3rver.js")
# Keeps keys with "." and ".." segments apart in s3rver's file store.
KEYS = os.path.join(ROOT, "tools", "s3rver_keys.js")


def install():
    if not os.path.exists(BIN):
        os.makedirs(PREFIX, exist_ok=True)
        subprocess.run(
            ["npm", "install", "--no-audit", "--no-fund", "--loglevel=error", "--prefix", PREFIX, f"s3rver@{VERSION}"],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    return BIN


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class S3rver:
    def __init__(self, port=None):
        self.port = port or free_port()
        self.endpoint = f"http://127.0.0.1:{self.port}"
        self.directory = None
        self.process = None

    def start(self):
        script = install()
        self.directory = tempfile.mkdtemp(prefix="s3rver-")
        env = dict(os.environ, NODE_OPTIONS="--openssl-legacy-provider")
        self.process = subprocess.Popen(
            ["node", "-r", KEYS, script, "--address", "127.0.0.1", "--port", str(self.port), "--directory", self.directory,
             "--silent", "--allow-mismatched-signatures"],
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("s3rver exited: " + self.process.stderr.read().decode(errors="replace"))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return self
            except OSError:
                time.sleep(0.1)
        self.stop()
        raise RuntimeError("s3rver did not start within 30 s")

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
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main():
    # SIGTERM becomes SystemExit, so the finally-clause stops node and removes the directory even mid-start.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server = S3rver()
    try:
        server.start()
        print(server.endpoint, flush=True)
        while True:
            signal.pause()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()


if __name__ == "__main__":
    main()
