"""The engine section: cirrova.transfer's native engine against curl on one nginx on loopback, with the Python path
(CIRROVA_NATIVE_TRANSFER=0) printed beside it in every row.

Throughput is wall-clock, best of the rounds; client CPU is `time.process_time()` of this process (all its threads)
for cirrova and the children's user + system time for curl.
"""

import contextlib
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import common  # noqa: E402
import nginx  # noqa: E402
import transfer_bench  # noqa: E402

MiB = common.MiB
BUCKET = transfer_bench.BUCKET


@contextlib.contextmanager
def python_path(on):
    """The Python path when `on` (the engine steps aside for the whole process while it holds)."""
    old = os.environ.get("CIRROVA_NATIVE_TRANSFER")
    if on:
        os.environ["CIRROVA_NATIVE_TRANSFER"] = "0"
    try:
        yield
    finally:
        if old is None:
            os.environ.pop("CIRROVA_NATIVE_TRANSFER", None)
        else:
            os.environ["CIRROVA_NATIVE_TRANSFER"] = old


def _children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def _measure(fn, rounds, before=None):
    """(best wall seconds, client CPU seconds of that round) of fn."""
    best = None
    for _ in range(rounds):
        if before:
            before()
        c0, t0 = time.process_time(), time.perf_counter()
        fn()
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
        if best is None or wall < best[0]:
            best = (wall, cpu)
    return best


def _curl_measure(args, rounds, before=None):
    best = None
    for _ in range(rounds):
        if before:
            before()
        c0, t0 = _children_cpu(), time.perf_counter()
        subprocess.run(["curl", "-sS", "--no-progress-meter", *args], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        wall, cpu = time.perf_counter() - t0, _children_cpu() - c0
        if best is None or wall < best[0]:
            best = (wall, cpu)
    return best


def _taking_turns(rounds, **runs):
    """The best (wall, CPU) of each of `runs` (functions of a round count), one round of each in turn after one
    unmeasured turn of each: creating files costs the kernel more for a while after many were deleted, so a tool
    measured in one block, or first on a fresh directory, would meet another file system than the others."""
    best = {}
    for turn in range(rounds + 1):
        for name, run in runs.items():
            m = run(1)
            if turn and (name not in best or m[0] < best[name][0]):
                best[name] = m
    return best


def _fresh(path):
    def clear():
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
    return clear


def _row_many(table, at_least, what, count, curl, native, python, per, info=False):
    """objects/s and CPU per object: native against curl, the Python path beside."""
    rate = lambda m: count / m[0]  # noqa: E731
    cpu = lambda m: m[1] / count * 1e3  # noqa: E731
    speed, cost = rate(native) / rate(curl), cpu(native) / cpu(curl)
    table.add(what + " objects/s", "%.2f" % speed, "info" if info else ">= 0.80",
              "-" if info else at_least(speed, 0.8),
              "native %.0f, Python path %.0f, curl %.0f objects/s; %s"
              % (rate(native), rate(python), rate(curl), per))
    table.add(what + " CPU per object", "%.2f" % cost, "info" if info else "<= 1.30",
              "-" if info else "yes" if cost <= 1.3 else "NO",
              "native %.2f ms, Python path %.2f ms, curl %.2f ms" % (cpu(native), cpu(python), cpu(curl)))


def _download_many_rows(table, at_least, client, server, keys, out, rounds, what, per, info=False):
    from cirrova import transfer

    config = out + "-curl.txt"
    with open(config, "w") as f:
        for key in keys:
            f.write('url = "%s/%s/%s"\noutput = "%s"\n' % (server.endpoint, BUCKET, key,
                                                           os.path.join(out, key.replace("/", "_"))))
    items = [(k, os.path.join(out, k.replace("/", "_"))) for k in keys]

    def many():
        assert all(r.ok for r in transfer.download_many(client, items, concurrency=16))

    def many_python(n):
        with python_path(True):
            return _measure(many, n, _fresh(out))

    turns = _taking_turns(
        rounds, curl=lambda n: _curl_measure(["--parallel", "--parallel-max", "16", "-K", config], n, _fresh(out)),
        native=lambda n: _measure(many, n, _fresh(out)), python=many_python)
    os.unlink(config)
    _row_many(table, at_least, what, len(keys), turns["curl"], turns["native"], turns["python"], per, info)


def bench_engine(table, quick, tmp, at_least):
    from cirrova import transfer

    if not (nginx.available() and shutil.which("curl")):
        table.skip("native engine", "-", "nginx or curl not installed")
        return
    rounds = 1 if quick else 2
    count = 200 if quick else 2000
    big = (32 if quick else 1024) * MiB
    root = os.path.join(tmp, "engine-www")
    blob = os.urandom(64 * 1024)
    keys = ["many/%04d" % i for i in range(count)]
    for key in keys:
        os.makedirs(os.path.join(root, BUCKET, "many"), exist_ok=True)
        with open(os.path.join(root, BUCKET, key), "wb") as f:
            f.write(blob)
    transfer_bench._write_object(os.path.join(root, BUCKET, "big.bin"), big)
    out = os.path.join(tmp, "engine-out")
    per = "%d x 64 KiB, concurrency 16" % count
    try:
        with nginx.Nginx(root, sink=True, workers=2) as server, transfer_bench.http_client() as http:
            client = transfer_bench.s3_client(server.endpoint, http)
            sink = transfer_bench.s3_client(server.sink_endpoint, http)
            client.head("big.bin")

            # download_many against one curl --parallel into files: on the disk (the target), and in memory
            # (information: without the file system's cost of creating files, the same for both clients)
            _download_many_rows(table, at_least, client, server, keys, out, rounds, "download_many", per)
            if os.path.isdir("/dev/shm"):
                in_memory = tempfile.mkdtemp(dir="/dev/shm")
                try:
                    _download_many_rows(table, at_least, client, server, keys, in_memory, rounds,
                                        "download_many on tmpfs", per, info=True)
                finally:
                    shutil.rmtree(in_memory, ignore_errors=True)

            # upload_many against one curl --parallel -T, both to the PUT sink
            config = os.path.join(tmp, "curl-up.txt")
            with open(config, "w") as f:
                for key in keys:
                    f.write('upload-file = "%s"\nurl = "%s/%s/%s"\noutput = "/dev/null"\n'
                            % (os.path.join(root, BUCKET, key), server.sink_endpoint, BUCKET, key))
            up_items = [(os.path.join(root, BUCKET, k), k) for k in keys]

            def up_many():
                assert all(r.ok for r in transfer.upload_many(sink, up_items, concurrency=16))

            m_curl = _curl_measure(["--parallel", "--parallel-max", "16", "-K", config], rounds)
            m_native = _measure(up_many, rounds)
            with python_path(True):
                m_python = _measure(up_many, rounds)
            _row_many(table, at_least, "upload_many", count, m_curl, m_native, m_python, per)
            shutil.rmtree(out, ignore_errors=True)

            # one large object: download, and CPU per GiB
            dst = os.path.join(tmp, "engine-big.bin")
            drop = lambda: os.path.exists(dst) and os.unlink(dst)  # noqa: E731
            url = "%s/%s/big.bin" % (server.endpoint, BUCKET)
            c_dl = _curl_measure(["-o", dst, url], rounds, drop)
            n_dl = _measure(lambda: transfer.download(client, "big.bin", dst, concurrency=8), rounds, drop)
            with python_path(True):
                p_dl = _measure(lambda: transfer.download(client, "big.bin", dst, concurrency=8), rounds, drop)
            gib = big / (1024 * MiB)
            ratio = c_dl[0] / n_dl[0]
            table.add("transfer.download %d MiB vs curl" % (big // MiB), "%.2f" % ratio, ">= 0.90",
                      at_least(ratio, 0.9), "native %.0f, Python path %.0f, curl %.0f MiB/s, 8 x 8 MiB"
                      % (big / MiB / n_dl[0], big / MiB / p_dl[0], big / MiB / c_dl[0]))
            cost = n_dl[1] / c_dl[1]
            table.add("CPU seconds per GiB downloaded", "%.2f" % cost, "<= 1.20", "yes" if cost <= 1.2 else "NO",
                      "native %.2f s, Python path %.2f s, curl %.2f s per GiB"
                      % (n_dl[1] / gib, p_dl[1] / gib, c_dl[1] / gib))
            drop()

            # one large upload: curl -T against transfer.upload, to the sink
            src = os.path.join(root, BUCKET, "big.bin")
            c_up = _curl_measure(["-T", src, "-o", "/dev/null", "%s/%s/up.bin" % (server.sink_endpoint, BUCKET)],
                                 rounds)
            n_up = _measure(lambda: transfer.upload(sink, src, "up.bin", concurrency=8), rounds)
            with python_path(True):
                p_up = _measure(lambda: transfer.upload(sink, src, "up.bin", concurrency=8), rounds)
            ratio = c_up[0] / n_up[0]
            table.add("transfer.upload %d MiB vs curl -T" % (big // MiB), "%.2f" % ratio, ">= 0.90",
                      at_least(ratio, 0.9), "native %.0f, Python path %.0f, curl %.0f MiB/s, 8 x 8 MiB"
                      % (big / MiB / n_up[0], big / MiB / p_up[0], big / MiB / c_up[0]))

            # peak memory of the large download, in a child process of its own, on both paths
            limit = 8 * 8 * MiB + 16 * MiB
            growth = {}
            for label, env in (("native", "1"), ("Python path", "0")):
                proc = subprocess.run([sys.executable, os.path.join(HERE, "transfer_child.py"), "download",
                                       server.endpoint, "big.bin", dst, str(8 * MiB), "8"],
                                      capture_output=True, text=True, timeout=900,
                                      env=dict(os.environ, CIRROVA_NATIVE_TRANSFER=env))
                if proc.returncode:
                    raise RuntimeError(proc.stderr.strip().splitlines()[-1])
                growth[label] = json.loads(proc.stdout.strip().splitlines()[-1])["growth"]
                drop()
            share = growth["native"] / limit
            table.add("engine download peak RSS growth", "%.2f" % share, "<= 1.00", "yes" if share <= 1 else "NO",
                      "native %.1f MiB, Python path %.1f MiB, bound 8 x 8 MiB + 16 MiB"
                      % (growth["native"] / MiB, growth["Python path"] / MiB))
    finally:
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(out, ignore_errors=True)
    if not quick:  # s3rver takes seconds to start: not in the quick pass
        _s3rver_row(table, tmp)


def _s3rver_row(table, tmp):
    """End to end against s3rver (a Node.js S3 server): information only, the server is the bottleneck."""
    from cirrova import transfer

    what = "engine end to end on s3rver"
    src = os.path.join(tmp, "engine-s3rver.bin")
    transfer_bench._write_object(src, 64 * MiB)
    dst = os.path.join(tmp, "engine-s3rver-out.bin")
    try:
        with transfer_bench.s3rver() as server, transfer_bench.http_client() as http:
            client = transfer_bench.s3_client(server.endpoint, http)
            up = lambda: transfer.upload(client, src, "big.bin", concurrency=8)  # noqa: E731
            down = lambda: transfer.download(client, "big.bin", dst, concurrency=8)  # noqa: E731
            n_up, n_down = _measure(up, 1), _measure(down, 1)
            with python_path(True):
                p_up, p_down = _measure(up, 1), _measure(down, 1)
            table.add(what, "%.2f" % (p_down[0] / n_down[0]), "info", "-",
                      "download native / Python path; 64 MiB download native %.0f, Python path %.0f MiB/s; "
                      "upload native %.0f, Python path %.0f MiB/s"
                      % (64 / n_down[0], 64 / p_down[0], 64 / n_up[0], 64 / p_up[0]))
    except Exception as exc:  # noqa: BLE001 - no node/npm, or s3rver failed: a failed row, not a crash
        table.fail(what, "info", "%s: %s" % (type(exc).__name__, exc))
    finally:
        for path in (src, dst):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
