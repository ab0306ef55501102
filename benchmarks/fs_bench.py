"""The fsspec section: cirrova.fs against plain cirrova.transfer on loopback nginx, and cirrova.bulk.copy_tree on a
two-worker Dask LocalCluster against local threads on s3rver.

Rows: a sequential read through fs.open("rb") against transfer.download of the same object to a new local file
(the read also written on to a file, by the reading thread, beside it); fs.cat of many small objects (fsspec's batch form, which cirrova.fs runs side by
side) against download_many; copy_tree objects/s on the cluster against local threads (information only).
"""

import os
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import common  # noqa: E402
import nginx  # noqa: E402
import transfer_bench  # noqa: E402

MiB = common.MiB
BUCKET = transfer_bench.BUCKET
ROWS = (("fs.open('rb') read vs transfer.download", ">= 0.80"), ("fs.cat small objects vs download_many", ">= 0.80"),
        ("copy_tree 2-worker cluster vs threads", "info"))


def bench_fs(table, quick, tmp, at_least):
    try:
        import cirrova.fs  # noqa: F401
        from cirrova import transfer  # noqa: F401
    except Exception as exc:  # noqa: BLE001 - fsspec or a module missing: the rows say so, the run goes on
        for what, target in ROWS:
            table.skip(what, target, "%s: %s" % (type(exc).__name__, exc))
        return
    if not (nginx.available()):
        for what, target in ROWS[:2]:
            table.skip(what, target, "nginx not installed")
    else:
        transfer_bench._guarded(table, ROWS[:2], _nginx_rows, table, tmp, quick, at_least)
    transfer_bench._guarded(table, ROWS[2:], _copy_tree, table, quick)


def _filesystem(endpoint, concurrency=8):
    import cirrova.fs
    return cirrova.fs.S3FileSystem(access_key="S3RVER", secret_key="S3RVER", endpoint=endpoint,
                                   concurrency=concurrency, skip_instance_cache=True)


def _nginx_rows(table, tmp, quick, at_least):
    from cirrova import transfer

    root = os.path.join(tmp, "fs-www")
    size = (16 if quick else 256) * MiB
    transfer_bench._write_object(os.path.join(root, BUCKET, "big.bin"), size)
    count = 200 if quick else 2000
    blob = os.urandom(16 * 1024)
    os.makedirs(os.path.join(root, BUCKET, "small"))
    for i in range(count):
        with open(os.path.join(root, BUCKET, "small", "%04d" % i), "wb") as f:
            f.write(blob)
    dst = os.path.join(tmp, "fs-got.bin")
    rounds = 1 if quick else 5
    via = transfer_bench.transport_name() or "httpx transport"
    with nginx.Nginx(root, workers=2) as server, transfer_bench.http_client() as http:
        client = transfer_bench.s3_client(server.endpoint, http)
        fs = _filesystem(server.endpoint)

        def read_sequentially():
            with fs.open(f"{BUCKET}/big.bin", "rb") as f:
                while f.read(8 * MiB):
                    pass

        def read_to_file():
            with fs.open(f"{BUCKET}/big.bin", "rb") as f, open(dst, "wb") as out:
                shutil.copyfileobj(f, out, 8 * MiB)

        def download():
            transfer.download(client, "big.bin", dst, concurrency=8)

        # Rounds alternate between the sides, so that a neighbour's load on a shared machine falls on both.
        best = {}
        for _ in range(rounds):
            for fn, fresh in ((download, dst), (read_sequentially, None), (read_to_file, dst)):
                best[fn] = min(best.get(fn, 1e9), transfer_bench._best(fn, 1, fresh))
        t_tr, t_fs, t_file = best[download], best[read_sequentially], best[read_to_file]
        ratio = t_tr / t_fs
        # The reader takes the bytes as a data library does; written on to a file by the one reading thread
        # (while transfer.download writes from all its threads) it is shown beside.
        table.add(ROWS[0][0], "%.2f" % ratio, ROWS[0][1], at_least(ratio, 0.8),
                  "%.0f vs %.0f MiB/s, %d MiB in 8 MiB reads, read-ahead of 16 x 4 MiB on 8 threads; "
                  "read and written to a file by the reader: %.2f; %s"
                  % (size / MiB / t_fs, size / MiB / t_tr, size // MiB, t_tr / t_file, via))

        keys = ["small/%04d" % i for i in range(count)]
        paths = [f"{BUCKET}/{k}" for k in keys]
        out = os.path.join(tmp, "fs-many")

        def many():
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            results = transfer.download_many(client, [(k, os.path.join(out, k[6:])) for k in keys], concurrency=16)
            assert all(r.ok for r in results)

        fs16 = _filesystem(server.endpoint, concurrency=16)

        def cat():
            got = fs16.cat(paths)
            assert len(got) == count and all(len(v) == len(blob) for v in got.values())

        def loop():
            for p in paths[:count // 4]:
                fs16.cat_file(p)

        t_many = transfer_bench._best(many, rounds)
        t_cat = transfer_bench._best(cat, rounds)
        t_loop = transfer_bench._best(loop, 1) * 4
        ratio = t_many / t_cat
        table.add(ROWS[1][0], "%.2f" % ratio, ROWS[1][1], at_least(ratio, 0.8),
                  "%d objects of 16 KiB: %.0f vs %.0f objects/s (one cat_file after another: %.0f/s), "
                  "concurrency 16, %s" % (count, count / t_cat, count / t_many, count / t_loop, via))
        shutil.rmtree(out, ignore_errors=True)


def _copy_tree(table, quick):
    try:
        import distributed
    except ImportError:
        table.skip(ROWS[2][0], ROWS[2][1], "dask.distributed not installed (cirrova[dask])")
        return
    from cirrova import bulk, transfer

    count = 200 if quick else 2000
    with transfer_bench.s3rver() as server:
        fs = _filesystem(server.endpoint)
        client = fs.client(BUCKET)
        results = transfer.upload_many(client, [(os.urandom(4096), "tree/%04d" % i) for i in range(count)],
                                       concurrency=16)
        assert all(r.ok for r in results)
        options = {"access_key": "S3RVER", "secret_key": "S3RVER", "endpoint": server.endpoint}
        # Workers are new processes: they import cirrova from where this run does.
        saved = os.environ.get("PYTHONPATH")
        if os.environ.get("CIRROVA_INSTALLED") != "1":
            os.environ["PYTHONPATH"] = os.pathsep.join([common.ROOT] + ([saved] if saved else []))
        try:
            with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True, dashboard_address=None,
                                          worker_dashboard_address=None) as cluster, \
                    distributed.Client(cluster) as dask_client:
                figures = {}
                for name, where in (("threads", None), ("cluster", dask_client)):
                    t0 = time.perf_counter()
                    summary = bulk.copy_tree(f"s3://{BUCKET}/tree", f"s3://{BUCKET}/{name}", client=where,
                                             batch=max(count // 8, 1), src_options=options, dst_options=options)
                    figures[name] = time.perf_counter() - t0
                    assert summary.copied == count and not summary.failures, summary
        finally:
            if saved is None:
                os.environ.pop("PYTHONPATH", None)
            else:
                os.environ["PYTHONPATH"] = saved
    ratio = figures["threads"] / figures["cluster"]
    table.add(ROWS[2][0], "%.2f" % ratio, ROWS[2][1], "info",
              "%d objects of 4 KiB, service copy: %.0f objects/s on 2 worker processes x 2 threads, %.0f on local "
              "threads (batches of %d, 16 at once per batch)"
              % (count, count / figures["cluster"], count / figures["threads"], max(count // 8, 1)))
