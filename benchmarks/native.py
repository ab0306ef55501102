"""The native transport against curl, the limit on this machine, with nginx on loopback serving the files.

nginx-light comes from Debian's packages (`tools/bench` installs it when missing) and runs with a config
of its own: one worker, sendfile, one server for downloads and one PUT sink.
"""

import os
import shutil
import statistics
import subprocess
import threading
import time

import httpx

import common
from nginx import Nginx, binary as nginx_binary
import timing

MiB = common.MiB
def _write_file(root, name, size):
    """A file of `size` random bytes in the benchmark client's bucket; its path and its URL path."""
    os.makedirs(os.path.join(root, "bench-bucket"), exist_ok=True)
    path = os.path.join(root, "bench-bucket", name)
    with open(path, "wb") as f:
        block = os.urandom(MiB)
        for _ in range(size // MiB):
            f.write(block)
    return path, "/bench-bucket/" + name


def _best(fn, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def _curl(*args):
    subprocess.run(["curl", "-s", "-f", "--http1.1", *args], check=True, stdout=subprocess.DEVNULL)


def _runqueue_wait():
    """Seconds this thread has spent runnable but waiting for a core (0 where the kernel does not say)."""
    try:
        with open("/proc/thread-self/schedstat") as f:
            return int(f.read().split()[1]) / 1e9
    except (OSError, IndexError, ValueError):
        return 0.0


def _loop_rate(stop):
    """Iterations per second of a pure-Python loop until stop() holds: (over the wall time, over the wall
    time less the time the thread waited for a core). The second leaves out the other work on a shared
    machine and keeps what the interpreter lock costs: a thread waiting for the lock sleeps, it does not
    queue for a core."""
    n = 0
    w0 = _runqueue_wait()
    t0 = time.perf_counter()
    while not stop():
        for _ in range(2000):
            pass
        n += 1
    wall = time.perf_counter() - t0
    queued = _runqueue_wait() - w0
    return n / wall, n / max(wall - queued, 1e-9)


def _gil_figure(download, rounds):
    """Speed of a Python loop while another thread runs `download`, over its speed alone just before and
    just after: the median over the rounds, so that a burst of other work on the machine moves one round.
    Returns (wall-time figure, figure without the waits for a core)."""
    def solo():
        deadline = time.perf_counter() + 0.3
        return _loop_rate(lambda: time.perf_counter() >= deadline)

    walls, runs = [], []
    for _ in range(rounds):
        before = solo()
        done = threading.Event()
        errors = []

        def run():
            try:
                download()
            except Exception as exc:  # noqa: BLE001
                errors.append(exc)
            finally:
                done.set()

        t = threading.Thread(target=run)
        t.start()
        busy = _loop_rate(done.is_set)
        t.join()
        if errors:
            raise errors[0]
        after = solo()
        walls.append(busy[0] / ((before[0] + after[0]) / 2))
        runs.append(busy[1] / ((before[1] + after[1]) / 2))
    return statistics.median(walls), statistics.median(runs)


def bench_native(table, quick, tmp, at_least, us):
    what_dl = "download 256 MiB, NativeTransport vs curl"
    if quick:
        what_dl = "download 16 MiB, NativeTransport vs curl"
    mib = 16 if quick else 256
    rows = [what_dl, "head: client+NativeTransport vs bare httpx", "PUT %d MiB, NativeTransport vs curl -T" % mib,
            "GIL: Python loop during a download, native", "GIL: Python loop during a download, httpx"]
    missing = [tool for tool, found in (("nginx", nginx_binary()), ("curl", shutil.which("curl"))) if not found]
    try:
        from cirrova.transport import NativeTransport
    except ImportError as exc:
        missing.append("cirrova.transport (%s)" % exc.__class__.__name__)
    cls, why = common.load("korvex")
    if cls is None:
        missing.append(why)
    if missing:
        for what in rows:
            table.skip(what, "", "needs " + ", ".join(missing))
        return

    size = 16 * MiB if quick else 256 * MiB
    rounds = 1 if quick else 3
    www = os.path.join(tmp, "www")
    src, url_path = _write_file(www, "big.bin", size)
    server = Nginx(www, sink=True).start()
    try:
        url = server.endpoint + url_path
        endpoint = server.endpoint
        out = os.path.join(tmp, "out.bin")
        native = httpx.Client(transport=NativeTransport(), timeout=60)
        plain = httpx.Client(timeout=60)
        kc = common.make_client("korvex", native, endpoint=endpoint)
        kc_httpx = common.make_client("korvex", plain, endpoint=endpoint)

        def via(client):
            def download():
                client.multipart_download("big.bin", out)
                if os.path.getsize(out) != size:
                    raise RuntimeError("downloaded %d bytes of %d" % (os.path.getsize(out), size))
            return download

        # 1. download, one connection
        try:
            t_curl = _best(lambda: _curl("-o", out, url), rounds)
            t_native = _best(via(kc), rounds)
            t_httpx = _best(via(kc_httpx), 1)
            table.add(rows[0], "%.2fx" % (t_curl / t_native), ">= 0.7x", at_least(t_curl / t_native, 0.7),
                      "%.2f GB/s vs curl %.2f GB/s; httpx's transport %.2fx"
                      % (size / t_native / 1e9, size / t_curl / 1e9, t_curl / t_httpx))
        except Exception as exc:  # noqa: BLE001
            table.fail(rows[0], ">= 0.7x", "%s: %s" % (type(exc).__name__, exc))

        # 2. small requests: the client's head over our transport against a bare httpx head. The figure is
        # the calling thread's CPU time, as in the other request rows; wall time is in the detail.
        try:
            bare = httpx.Client()
            mine, theirs = (lambda: kc.head("big.bin")), (lambda: bare.head(url))
            ratio, t_mine, t_theirs = timing.compare(mine, theirs, batch_seconds=0.005 if quick else 0.02,
                                                     rounds=3 if quick else 15)
            n = 20 if quick else 200
            walls = []
            for r in range(3 if quick else 9):
                pair = []
                for fn in (mine, theirs) if r % 2 else (theirs, mine):
                    t0 = time.perf_counter()
                    for _ in range(n):
                        fn()
                    pair.append(time.perf_counter() - t0)
                walls.append(pair[0] / pair[1] if r % 2 else pair[1] / pair[0])
            table.add(rows[1], "%.2fx" % ratio, "<= 0.7x", "yes" if ratio <= 0.7 else "NO",
                      "%s vs %s CPU per request; wall time %.2fx" % (us(t_mine), us(t_theirs),
                                                                    statistics.median(walls)))
            bare.close()
        except Exception as exc:  # noqa: BLE001
            table.fail(rows[1], "<= 0.7x", "%s: %s" % (type(exc).__name__, exc))

        # 3. upload to the sink
        try:
            with open(src, "rb") as f:
                data = f.read()
            sink = server.sink_endpoint + "/sink/big.bin"

            def put():
                r = native.put(sink, content=data)
                if r.status_code != 200:
                    raise RuntimeError("PUT answered %d" % r.status_code)

            t_curl = _best(lambda: _curl("-T", src, sink), rounds)
            t_native = _best(put, rounds)
            del data
            table.add(rows[2], "%.2fx" % (t_curl / t_native), ">= 0.7x", at_least(t_curl / t_native, 0.7),
                      "%.2f GB/s vs curl %.2f GB/s" % (size / t_native / 1e9, size / t_curl / 1e9))
        except Exception as exc:  # noqa: BLE001
            table.fail(rows[2], ">= 0.7x", "%s: %s" % (type(exc).__name__, exc))

        # 4. the interpreter lock while another thread downloads. curl downloading in a process of its own
        # holds no lock at all: its figure is what the cores alone leave to the loop on this machine.
        lock_rounds = 1 if quick else 5
        try:
            limit = "; curl in a process of its own %.2f" % _gil_figure(lambda: _curl("-o", out, url), lock_rounds)[0]
        except Exception as exc:  # noqa: BLE001
            limit = "; curl alongside failed: %s" % exc
        for what, client, target in ((rows[3], kc, ">= 0.7"), (rows[4], kc_httpx, "none")):
            try:
                wall, running = _gil_figure(via(client), lock_rounds)
                table.add(what, "%.2f" % wall, target, at_least(wall, 0.7) if target != "none" else "-",
                          "loop speed with the download running / alone; %.2f leaving out waits for a core%s"
                          % (running, limit))
            except Exception as exc:  # noqa: BLE001
                table.fail(what, target, "%s: %s" % (type(exc).__name__, exc))
        native.close()
        plain.close()
    finally:
        server.stop()
