"""cirrova.transfer against loopback servers that misbehave, through httpx's transport and the native one:
ranges ignored, gzip-stored objects, replies that trickle or never come while a transfer is interrupted or
has already failed, and targets that are devices, pipes or long names."""

import gzip
import json
import os
import re
import signal
import stat
import subprocess
import sys
import threading
import time

import httpx
import pytest

from cirrova import transfer
from cirrova.korvex import KorvexClient
from rawserver import RawServer, StoredObject, held, response, trickle
from sigint import default_in_child
from transfer_fakes import FakeStore, MiB

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TRANSPORTS = ["httpx", "native"]


def make_transport(kind):
    if kind == "native":
        from cirrova.transport import NativeTransport

        return NativeTransport()
    return httpx.HTTPTransport()


def client_of(srv, kind, timeout=30.0):
    http = httpx.Client(transport=make_transport(kind), timeout=timeout)
    return KorvexClient("ak", "sk", "bkt", endpoint=f"http://127.0.0.1:{srv.port}", http_client=http)


def transfer_threads():
    return [t for t in threading.enumerate() if t.name.startswith("cirrova-transfer")]


def leftovers(folder):
    return sorted(os.listdir(folder))


@pytest.fixture(autouse=True)
def no_sleep(monkeypatch):
    """Back-off pauses between attempts are skipped."""
    from cirrova.transfer import _engine

    monkeypatch.setattr(_engine, "pause", lambda delay, cancel: None)


def child_env():
    """A child's environment: the source tree on its path unless the package is installed. Children run in
    the tests folder, so an installed package is never shadowed by the source tree."""
    env = dict(os.environ)
    if os.environ.get("CIRROVA_INSTALLED") != "1":
        env["PYTHONPATH"] = ROOT + os.pathsep + env.get("PYTHONPATH", "")
    if "ASAN_OPTIONS" in env:
        # Under the sanitizer build: a worker abandoned in a request at exit never runs its thread-local
        # destructors, so what those hold is not a leak.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def arrived_or_died(arrived, child):
    """Waits for the server to see the child's request; fails at once, with its stderr, if the child ends first."""
    deadline = time.monotonic() + 60
    while not arrived.wait(0.1):
        if child.poll() is not None:
            pytest.fail(child.stderr.read().decode()[-2000:] or f"the child exited with {child.returncode}")
        if time.monotonic() > deadline:
            pytest.fail("no request reached the server")


# --- a server that ignores Range: the memory bound holds ---------------------------------------------------------

CHILD_PRELUDE = """
import json, os, sys, httpx
from cirrova import transfer
from cirrova.korvex import KorvexClient

def make_transport(kind):
    if kind == "native":
        from cirrova.transport import NativeTransport
        return NativeTransport()
    return httpx.HTTPTransport()
"""

CHILD_MEMORY = CHILD_PRELUDE + """
from transfer_fakes import FakeStore

def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024

port, kind, op, target = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
http = httpx.Client(transport=make_transport(kind), timeout=60)
client = KorvexClient("ak", "sk", "bkt", endpoint="http://127.0.0.1:" + port, http_client=http)
client.head("warm-up")
dest = FakeStore("s3").client()
before = hwm()
options = dict(part_size=8 * 1024 * 1024, concurrency=4)
try:
    if op == "download":
        outcome = transfer.download(client, "k", target, **options)
    elif op == "download_many":
        [result] = transfer.download_many(client, [("k", target)], **options)
        outcome = result.value if result.ok else repr(result.value)
    else:
        outcome = transfer.copy(client, "k", dest, "k2", **options)
except Exception as exc:
    outcome = repr(exc)
print(json.dumps({"grew": hwm() - before, "outcome": outcome}))
"""


@pytest.mark.parametrize("op", ["download", "download_many", "copy"])
@pytest.mark.parametrize("kind", TRANSPORTS)
def test_a_server_ignoring_range_cannot_blow_the_memory_bound(kind, op, tmp_path):
    if "ASAN_OPTIONS" in os.environ:
        pytest.skip("the sanitizer's shadow memory and quarantine inflate the peak RSS this measures")
    data = os.urandom(96 * MiB)
    target = tmp_path / "out.bin"
    with RawServer(StoredObject(data, ignore_range=True)) as srv:
        done = subprocess.run([sys.executable, "-c", CHILD_MEMORY, str(srv.port), kind, op, str(target)],
                              capture_output=True, env=child_env(), cwd=HERE, timeout=300)
    assert done.returncode == 0, done.stderr.decode()[-2000:]
    report = json.loads(done.stdout)
    # concurrency x part_size + 16 MiB; reading the replies whole took several times the object.
    assert report["grew"] < 48 * MiB, report
    if op == "download_many":  # a 200 to the first range is the whole object, taken as it streams
        assert report["outcome"] == len(data) and target.read_bytes() == data
    else:  # a 200 to a range of part of the object is refused before its body is read
        assert re.fullmatch(r"TransferError\('下载 k 的字节 \d+-\d+ 失败: 200'\)", report["outcome"]), report
        assert not target.exists()
    assert leftovers(tmp_path) == (["out.bin"] if op == "download_many" else [])


@pytest.mark.parametrize("fault, fragment", [
    ("error with a huge body", "403 <Error>"),
    ("longer than its Content-Range", "Content-Length"),
    ("body beyond its Content-Length", "回复正文超过"),
])
@pytest.mark.parametrize("kind", TRANSPORTS)
def test_replies_are_judged_before_their_body_and_quoted_briefly(kind, fault, fragment, tmp_path):
    data = os.urandom(3 * MiB)

    def bad(fields, index):
        if fault == "error with a huge body":
            return response(403, "Forbidden", body=b"<Error>" + b"x" * (8 * MiB))
        if fault == "longer than its Content-Range":
            return response(206, "Partial Content", [("Content-Range", f"bytes 0-{MiB - 1}/{len(data)}")],
                            data[:2 * MiB])
        # chunked, so the transport cannot cut it at a length: only the reader's bound stops it
        return response(206, "Partial Content", [("Content-Range", f"bytes 0-{MiB - 1}/{len(data)}"),
                                                 ("Transfer-Encoding", "chunked")],
                        b"%x\r\n" % (2 * MiB) + data[:2 * MiB] + b"\r\n0\r\n\r\n", length=False)

    with RawServer(StoredObject(data, fault=bad)) as srv:
        client = client_of(srv, kind)
        with pytest.raises(transfer.TransferError) as ei:
            transfer.download(client, "k", tmp_path / "out", part_size=2 * MiB, concurrency=1)
    assert fragment in str(ei.value) and len(str(ei.value)) < 1000
    assert leftovers(tmp_path) == []


# --- stored bytes as stored -----------------------------------------------------------------------------------

@pytest.mark.parametrize("op", ["download", "download_many", "copy"])
@pytest.mark.parametrize("kind", TRANSPORTS)
def test_a_gzip_stored_object_moves_byte_for_byte(kind, op, tmp_path):
    stored = gzip.compress(os.urandom(64 * 1024) * 40, mtime=0)  # compresses well: decoding would change it
    obj = StoredObject(stored, headers=[("Content-Encoding", "gzip"), ("Content-Type", "text/plain")])
    target = tmp_path / "out.gz"
    with RawServer(obj) as srv:
        client = client_of(srv, kind)
        options = dict(part_size=MiB // 2, concurrency=2)
        if op == "download":
            assert transfer.download(client, "k", target, **options) == len(stored)
            got = target.read_bytes()
        elif op == "download_many":
            [result] = transfer.download_many(client, [("k", target)], **options)
            assert result.ok, result.value
            got = target.read_bytes()
        else:
            store = FakeStore("s3")
            transfer.copy(client, "k", store.client(), "k", part_size=5 * MiB)
            got = store.objects["k"]
    assert got == stored
    assert obj.gets and all(g.get("accept-encoding") == "identity" for g in obj.gets)


# --- Ctrl-C and first failures reach requests in flight ----------------------------------------------------------

CHILD_INTERRUPTED = CHILD_PRELUDE + """
port, kind, op, target = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
http = httpx.Client(transport=make_transport(kind), timeout=None)  # nothing but Ctrl-C ends a silent reply
client = KorvexClient("ak", "sk", "bkt", endpoint="http://127.0.0.1:" + port, http_client=http)
try:
    if op == "download":
        transfer.download(client, "k", target, part_size=1024 * 1024, concurrency=2)
    else:
        transfer.download_many(client, [("k", target), ("k", target + "-2")], part_size=1024 * 1024)
except KeyboardInterrupt:
    sys.exit(130)
sys.exit(0)
"""


def stuck_reply(fault, arrived, data):
    """Every GET is answered by `fault`: the head of the range asked for, then one byte at a time, or
    nothing at all."""
    def answer(fields, index):
        if fault == "silent":
            return held(arrived)
        start, end = (int(x) for x in fields["range"].removeprefix("bytes=").split("-"))
        end = min(end, len(data) - 1)
        return trickle(response(206, "Partial Content", [("Content-Range", f"bytes {start}-{end}/{len(data)}"),
                                                          ("Content-Length", end - start + 1)], length=False),
                       arrived)
    return answer


@pytest.mark.parametrize("fault", ["trickle", "silent"])
@pytest.mark.parametrize("kind, op, interrupts", [
    ("httpx", "download", 1), ("native", "download", 1), ("httpx", "download_many", 1),
    ("native", "download_many", 1), ("native", "cli", 1),
    # A second Ctrl-C lands wherever the cleanup after the first has got to: nothing may stay behind.
    ("httpx", "download_many", 2), ("native", "cli", 2)])
def test_ctrl_c_stops_a_transfer_whose_replies_never_end(kind, op, interrupts, fault, tmp_path):
    data = os.urandom(4 * MiB)
    arrived = threading.Event()
    target = tmp_path / "out"
    target.mkdir()
    with RawServer(StoredObject(data, fault=stuck_reply(fault, arrived, data))) as srv:
        if op == "cli":
            config = tmp_path / "config.toml"
            config.write_text(f'[profiles.default]\nservice = "s3"\naccess_key = "a"\nsecret_key = "b"\n'
                              f'endpoint = "http://127.0.0.1:{srv.port}"\n')
            argv = [sys.executable, "-m", "cirrova", "--config", str(config), "cp", "--part-size", "1MiB",
                    "s3://bkt/k", str(target / "k")]
        else:
            argv = [sys.executable, "-c", CHILD_INTERRUPTED, str(srv.port), kind, op, str(target / "k")]
        child = subprocess.Popen(argv, env=child_env(), cwd=HERE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 preexec_fn=default_in_child)
        try:
            # The replies stay unfinished until the client hangs up: the interrupt lands inside them.
            arrived_or_died(arrived, child)
            for _ in range(interrupts):
                child.send_signal(signal.SIGINT)
            # Without cancellation the child would wait for the reply to end: never, with no time-out.
            _, err = child.communicate(timeout=30)
        finally:
            child.kill()
            child.wait()
    # A second interrupt may end the process by the signal itself, once the first has been handled.
    assert child.returncode in ((130,) if interrupts == 1 else (130, -signal.SIGINT)), err.decode()[-2000:]
    assert leftovers(target) == []


def first_failure(fault, arrived, data, part_size):
    """Part 1 is refused; part 0 never finishes."""
    stuck = stuck_reply(fault, arrived, data)

    def answer(fields, index):
        if fields.get("range", "").startswith(f"bytes={part_size}-"):
            arrived.wait(30)  # refused only once part 0 is surely in flight
            return response(403, "Forbidden", body=b"<Error><Code>AccessDenied</Code></Error>")
        return stuck(fields, index)
    return answer


@pytest.mark.parametrize("fault", ["trickle", "silent"])
@pytest.mark.parametrize("op", ["download", "copy"])
@pytest.mark.parametrize("kind", TRANSPORTS)
def test_a_first_failure_does_not_wait_for_replies_that_never_end(kind, op, fault, tmp_path):
    part_size = MiB if op == "download" else 5 * MiB  # 5 MiB: the smallest part of an S3 upload
    data = os.urandom(2 * part_size)
    arrived = threading.Event()
    store = FakeStore("s3")
    outcome = []

    def run():
        try:
            if op == "download":
                transfer.download(client, "k", tmp_path / "out", part_size=part_size, concurrency=2)
            else:
                transfer.copy(client, "k", store.client(), "k", part_size=part_size, concurrency=2)
        except BaseException as exc:
            outcome.append(exc)

    with RawServer(StoredObject(data, fault=first_failure(fault, arrived, data, part_size))) as srv:
        client = client_of(srv, kind, timeout=None)
        caller = threading.Thread(target=run)
        caller.start()
        caller.join(30)  # without cancellation: until part 0's reply ends, which is never
        finished = not caller.is_alive()
    caller.join(30)
    for thread in transfer_threads():
        thread.join(30)  # a worker left inside a request returns once the server has gone
    assert finished and not transfer_threads()
    [error] = outcome
    assert isinstance(error, transfer.TransferError) and error.status_code == 403
    assert leftovers(tmp_path) == []
    if op == "copy":
        assert store.aborted and "k" not in store.objects


# --- special targets and long names ---------------------------------------------------------------------------

def fifo_reader(path, want, got):
    """Reads a named pipe until `want` bytes came (or 60 s passed), without blocking its writer's open."""
    import select
    import time

    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    deadline = time.monotonic() + 60
    try:
        while len(got) < want and time.monotonic() < deadline:
            if select.select([fd], [], [], 0.1)[0]:
                got += os.read(fd, 1 << 20)
    finally:
        os.close(fd)


@pytest.mark.parametrize("op", ["download", "download_many"])
@pytest.mark.parametrize("target_kind", ["fifo", "device", "long ascii name", "long utf-8 name"])
def test_special_targets_and_long_names(target_kind, op, tmp_path):
    store = FakeStore("s3")
    data = os.urandom(3 * MiB + 7)
    store.objects["k"] = data
    reader = None
    got = bytearray()
    if target_kind == "fifo":
        target = tmp_path / "pipe"
        os.mkfifo(target)
        reader = threading.Thread(target=fifo_reader, args=(target, len(data), got), daemon=True)
        reader.start()
    elif target_kind == "device":
        if os.geteuid() != 0:
            pytest.skip("making a device node needs root")
        target = tmp_path / "null"
        os.mknod(target, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    else:
        target = tmp_path / ("n" * 250 if target_kind == "long ascii name" else "é" * 125)  # 250 bytes
    if op == "download":
        assert transfer.download(store.client(), "k", target, part_size=MiB, concurrency=3) == len(data)
    else:
        [result] = transfer.download_many(store.client(), [("k", target)], part_size=MiB)
        assert result.ok, result.value
    if reader is not None:
        reader.join(60)
        assert bytes(got) == data  # in order
    if target_kind == "fifo":
        assert stat.S_ISFIFO(os.stat(target).st_mode)
    elif target_kind == "device":
        assert stat.S_ISCHR(os.stat(target).st_mode)
    else:
        assert target.read_bytes() == data
    assert leftovers(tmp_path) == [target.name]
