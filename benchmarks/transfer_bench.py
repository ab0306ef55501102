"""The transfer section: cirrova.transfer against nginx, s3rver and curl, all on loopback.

Every row compares two figures taken side by side in this run. The transfers use NativeTransport when
cirrova.transport provides it, httpx's own transport otherwise (the header line says which).
"""

import contextlib
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import common  # noqa: E402
import httpx  # noqa: E402
import nginx  # noqa: E402

MiB = common.MiB
BUCKET = "bench"


def transport_name():
    try:
        from cirrova.transport import NativeTransport  # noqa: F401
        return "NativeTransport"
    except ImportError:
        return None


def http_client(connections=64):
    limits = httpx.Limits(max_connections=connections, max_keepalive_connections=connections)
    try:
        from cirrova.transport import NativeTransport
        transport = NativeTransport(limits=limits)
    except ImportError:
        transport = httpx.HTTPTransport(limits=limits)
    return httpx.Client(transport=transport, timeout=600)


def s3_client(endpoint, http):
    from cirrova.korvex import KorvexClient
    return KorvexClient("S3RVER", "S3RVER", BUCKET, endpoint=endpoint, http_client=http)


def _best(fn, rounds, fresh=None):
    """The best time of fn over rounds; `fresh` is removed before each (a new file, not a replaced one)."""
    times = []
    for _ in range(rounds):
        if fresh:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(fresh)
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def _curl(*args, out="/dev/null"):
    done = subprocess.run(["curl", "-sS", "-o", out, "-w", "%{time_total}", *args],
                          capture_output=True, text=True, check=True)
    return float(done.stdout)


def _write_object(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    block = os.urandom(MiB)
    with open(path, "wb") as f:
        for i in range(size // MiB):
            f.write(i.to_bytes(8, "big") + block[8:])
        f.write(block[: size % MiB])


@contextlib.contextmanager
def s3rver():
    spec = importlib.util.spec_from_file_location("cirrova_s3rver", os.path.join(common.ROOT, "tools", "s3rver.py"))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    with mod.S3rver() as server:
        assert httpx.put(f"{server.endpoint}/{BUCKET}/").status_code == 200
        yield server


def _child(args):
    proc = subprocess.run([sys.executable, os.path.join(HERE, "transfer_child.py")] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=900)
    if proc.returncode != 0:
        raise RuntimeError((proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1])
    return json.loads(proc.stdout.strip().splitlines()[-1])


def at_least(value, target):
    return "yes" if value >= target else "NO"


def _guarded(table, rows, fn, *args):
    """Runs one benchmark; an error fails its rows instead of ending the run."""
    try:
        fn(*args)
    except Exception as exc:  # noqa: BLE001
        for what, target in rows:
            if not any(r[0] == what for r in table.rows):
                table.fail(what, target, "%s: %s" % (type(exc).__name__, exc))


def bench_transfer(table, quick, tmp):
    from cirrova import transfer

    name = transport_name()
    if name is None:
        print("  note: cirrova.transport.NativeTransport is not available; transfers use httpx's transport")
    via = name or "httpx transport"
    root = os.path.join(tmp, "www")
    big = (16 if quick else 128) * MiB
    _write_object(os.path.join(root, BUCKET, "big.bin"), big)
    dst = os.path.join(tmp, "got.bin")
    have_nginx, have_curl = nginx.available(), shutil.which("curl") is not None
    rounds = 1 if quick else 3

    if not (have_nginx and have_curl):
        why = "nginx not installed" if not have_nginx else "curl not installed"
        for what, target in (("transfer.download 8 x 16m cap", ">= 0.80"), ("transfer.download no cap", ">= 0.90"),
                             ("download_many 64 KiB objects", ">= 5.00")):
            table.skip(what, target, why)
    else:
        _guarded(table, (("transfer.download no cap", ">= 0.90"), ("download_many 64 KiB objects", ">= 5.00"),
                         ("transfer.download 8 x 16m cap", ">= 0.80")),
                 _nginx_rows, table, transfer, root, tmp, big, dst, rounds, quick, via)

    _upload(table, transfer, tmp, quick, have_curl, via)
    _memory(table, tmp, quick, root, have_nginx)


def _nginx_rows(table, transfer, root, tmp, big, dst, rounds, quick, via):
    with nginx.Nginx(root, workers=2) as server, http_client() as http:
        client = s3_client(server.endpoint, http)
        url = f"{server.endpoint}/{BUCKET}/big.bin"
        # curl writes a new file, as the download does; its rate into /dev/null is the network's alone.
        t_curl = _best(lambda: _curl(url, out=dst), rounds, dst)
        curl_rate = big / min(_curl(url) for _ in range(rounds))
        t_tr = _best(lambda: transfer.download(client, "big.bin", dst, concurrency=8), rounds, dst)
        ratio = t_curl / t_tr
        table.add("transfer.download no cap", "%.3f" % ratio, ">= 0.90", at_least(ratio, 0.90),
                  "%.0f vs %.0f MiB/s curl single stream into a new file (%.0f into /dev/null), %d MiB, 8 x 8 MiB, %s"
                  % (big / MiB / t_tr, big / MiB / t_curl, curl_rate / MiB, big // MiB, via))
        _many(table, transfer, client, root, tmp, quick, via)

    with nginx.Nginx(root, limit_rate="16m", workers=2) as server, http_client() as http:
        client = s3_client(server.endpoint, http)
        t_tr = _best(lambda: transfer.download(client, "big.bin", dst, concurrency=8), rounds, dst)
        t_own = _best(lambda: client.multipart_download("big.bin", dst), 1, dst)
        ceiling = min(8 * 16 * MiB, curl_rate)
        ratio = (big / t_tr) / ceiling
        table.add("transfer.download 8 x 16m cap", "%.3f" % ratio, ">= 0.80", at_least(ratio, 0.80),
                  "%.0f MiB/s vs min(8 x 16, curl %.0f) MiB/s; the client's multipart_download %.1f MiB/s; %s"
                  % (big / MiB / t_tr, curl_rate / MiB, big / MiB / t_own, via))


def _many(table, transfer, client, root, tmp, quick, via):
    count = 200 if quick else 2000
    blob = os.urandom(64 * 1024)
    for i in range(count):
        path = os.path.join(root, BUCKET, "many", "%04d" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(blob)
    keys = ["many/%04d" % i for i in range(count)]
    out = os.path.join(tmp, "many-out")

    def loop():
        for key in keys:
            with open(os.path.join(out, key.replace("/", "_")), "wb") as f:
                f.write(client._download(key).content)

    def batch():
        results = transfer.download_many(client, [(k, os.path.join(out, k.replace("/", "_"))) for k in keys],
                                         concurrency=16)
        assert all(r.ok for r in results)

    def timed(fn):
        # Both sides write new files: replacing existing ones costs a filesystem flush on rename.
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0

    # Creating files costs the file system more for a while after thousands were removed: after a warm-up
    # the two sides take turns, so neither always runs in the other's wake.
    if not quick:
        timed(loop), timed(batch)
    times = {loop: [], batch: []}
    for turn in range(1 if quick else 2):
        for fn in (loop, batch) if turn % 2 == 0 else (batch, loop):
            times[fn].append(timed(fn))
    t_loop, t_many = min(times[loop]), min(times[batch])
    ratio = t_loop / t_many
    table.add("download_many 64 KiB objects", "%.2f" % ratio, ">= 5.00", at_least(ratio, 5.0),
              "%d objects: %.0f vs %.0f objects/s, concurrency 16, %s" % (count, count / t_many, count / t_loop, via))
    shutil.rmtree(out, ignore_errors=True)


def _upload(table, transfer, tmp, quick, have_curl, via):
    size = (32 if quick else 256) * MiB
    what = "transfer.upload to s3rver vs curl -T"
    if not have_curl:
        table.skip(what, ">= 1.00", "curl not installed")
        return
    src = os.path.join(tmp, "up.bin")
    _write_object(src, size)
    try:
        with s3rver() as server, http_client() as http:
            client = s3_client(server.endpoint, http)
            rounds = 1 if quick else 2
            t_curl = min(_curl("-T", src, f"{server.endpoint}/{BUCKET}/curl.bin") for _ in range(rounds))
            t_tr = _best(lambda: transfer.upload(client, src, "tr.bin", concurrency=8), rounds)
            t_md5 = _best(lambda: transfer.upload(client, src, "md5.bin", concurrency=8, checksum=True), rounds)
            ratio = t_curl / t_tr
            table.add(what, "%.3f" % ratio, ">= 1.00", at_least(ratio, 1.0),
                      "%.0f vs %.0f MiB/s, %d MiB, 8 x 8 MiB; checksum=True takes %.2f x the time; %s"
                      % (size / MiB / t_tr, size / MiB / t_curl, size // MiB, t_md5 / t_tr, via))
            _cli_checksum(table, server, tmp, src, size, rounds)
    except Exception as exc:  # noqa: BLE001 - no node/npm, or s3rver failed: a failed row, not a crash
        table.fail(what, ">= 1.00", "%s: %s" % (type(exc).__name__, exc))
    finally:
        os.unlink(src)


def _cli_checksum(table, server, tmp, src, size, rounds):
    """What integrity by default costs the command line: `cp` up and back down with checksums (Content-MD5 on
    every part, the file's MD5 read ahead into metadata, the download read back and checked) against
    `--no-checksum`, in wall time and in this process's CPU time."""
    from cirrova.cli import main

    what = "cirrova cp up + down, checksums vs --no-checksum"
    config = os.path.join(tmp, "bench.toml")
    with open(config, "w") as f:
        f.write(f'[profiles.default]\nservice = "s3"\naccess_key = "S3RVER"\nsecret_key = "S3RVER"\n'
                f'endpoint = "{server.endpoint}"\n')
    os.chmod(config, 0o600)
    back = os.path.join(tmp, "back.bin")

    def both(*flags):
        def run():
            for argv in (["cp", *flags, src, f"s3://{BUCKET}/cli.bin"], ["cp", *flags, f"s3://{BUCKET}/cli.bin", back]):
                if main(["--config", config, "--quiet", *argv]) != 0:
                    raise RuntimeError("cirrova " + " ".join(argv) + " failed")
        return run

    # The two sides alternate, so that a drift of the shared machine weighs on both alike; best of each.
    wall, cpu = {"plain": [], "checked": []}, {"plain": [], "checked": []}
    for _ in range(max(rounds, 2)):
        for name, flags in (("plain", ("--no-checksum",)), ("checked", ())):
            cpu0, t0 = time.process_time(), time.perf_counter()
            both(*flags)()
            wall[name].append(time.perf_counter() - t0)
            cpu[name].append(time.process_time() - cpu0)
            os.unlink(back)
    t_plain, t_checked = min(wall["plain"]), min(wall["checked"])
    cpu_plain, cpu_checked = min(cpu["plain"]), min(cpu["checked"])
    table.add(what, "%.2fx" % (t_checked / t_plain), "report", "-",
              "%d MiB each way: %.2f s vs %.2f s wall; client CPU %.2f s vs %.2f s (%.2fx)"
              % (size // MiB, t_checked, t_plain, cpu_checked, cpu_plain, cpu_checked / cpu_plain))


def _memory(table, tmp, quick, root, have_nginx):
    size = (64 if quick else 1024) * MiB
    concurrency, part = 8, 8 * MiB
    limit = concurrency * part + 16 * MiB
    rows = (("download", "transfer.download %d MiB peak RSS growth" % (size // MiB)),
            ("upload", "transfer.upload %d MiB peak RSS growth" % (size // MiB)))
    src = os.path.join(root, BUCKET, "huge.bin")
    _write_object(src, size)
    try:
        for op, what in rows:
            try:
                if op == "download":
                    if not have_nginx:
                        table.skip(what, "<= 1.00", "nginx not installed")
                        continue
                    with nginx.Nginx(root, workers=2) as server:
                        res = _child([op, server.endpoint, "huge.bin", os.path.join(tmp, "huge-out.bin"), part,
                                      concurrency])
                else:
                    with s3rver() as server:
                        res = _child([op, server.endpoint, "huge.bin", src, part, concurrency])
            except Exception as exc:  # noqa: BLE001
                table.fail(what, "<= 1.00", "%s: %s" % (type(exc).__name__, exc))
                continue
            growth = res["growth"]
            note = "" if res["exact_peak"] else "; peak not resettable, figure is a lower bound"
            table.add(what, "%.2f" % (growth / limit), "<= 1.00", "yes" if growth <= limit else "NO",
                      "grew %.1f MiB, limit %d x %d MiB + 16 MiB = %d MiB, %.0f MiB/s%s"
                      % (growth / MiB, concurrency, part // MiB, limit // MiB, size / MiB / res["seconds"], note))
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(src)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(tmp, "huge-out.bin"))
