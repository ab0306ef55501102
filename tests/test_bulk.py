"""cirrova.bulk.copy_tree on a two-process Dask LocalCluster (one per module) and on local threads, between two
s3rver buckets and from s3rver to a fake OSS served on loopback; dask.dataframe reading Parquet through
cirrova.fs on the same cluster; and `cirrova cp -r --scheduler`."""

import functools
import hashlib
import os
import uuid

import httpx
import pytest

pytest.importorskip("fsspec", reason="fsspec is not installed (cirrova[fsspec])")
distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed (cirrova[dask])")

import cirrova.fs  # noqa: E402
from cirrova import bulk, transfer  # noqa: E402
from cirrova.cli import main  # noqa: E402
from fs_fakes import CREDENTIALS, LoopbackServer, ServiceFake, loopback_factory  # noqa: E402

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
COUNT = 240


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes; they import cirrova and the fakes from where this run does."""
    paths = [TESTS] + ([ROOT] if os.environ.get("CIRROVA_INSTALLED") != "1" else [])
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(paths + ([saved] if saved else []))
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True, dashboard_address=None,
                                      worker_dashboard_address=None) as local, distributed.Client(local) as client:
            yield client
    finally:
        if saved is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = saved


def s3_options(endpoint):
    return {"access_key": "S3RVER", "secret_key": "S3RVER", "endpoint": endpoint}


def body(i):
    return hashlib.sha256(str(i).encode()).digest() * (i % 7)  # sizes 0 to 192 bytes


@pytest.fixture(scope="module")
def source(s3_server):
    """A bucket with COUNT objects under tree/ (some empty, some in sub-folders) and a decoy beside it."""
    fs = cirrova.fs.S3FileSystem(**s3_options(s3_server.endpoint))
    bucket = "bulk-" + uuid.uuid4().hex[:10]
    fs.mkdir(bucket)
    client = fs.client(bucket)
    items = [(body(i), f"tree/{i % 5}/obj-{i:04d}") for i in range(COUNT)] + [(b"decoy", "treetop")]
    for _, ok, value in transfer.upload_many(client, items, concurrency=16):
        assert ok, value
    return bucket, {key: data for data, key in items if key.startswith("tree/")}


def s3_tree(endpoint, bucket, prefix):
    fs = cirrova.fs.S3FileSystem(**s3_options(endpoint), skip_instance_cache=True)
    names = fs.find(f"{bucket}/{prefix}")
    return {name.split("/", 1)[1]: data for name, data in fs.cat(names).items()} if names else {}


@pytest.mark.parametrize("where", ["cluster", "threads"])
def test_between_two_buckets_then_nothing_left(s3_server, source, cluster, where):
    src_bucket, expected = source
    endpoint = s3_server.endpoint
    dst_bucket = "bulk-dst-" + uuid.uuid4().hex[:8]
    cirrova.fs.S3FileSystem(**s3_options(endpoint)).mkdir(dst_bucket)
    seen = []
    run = functools.partial(bulk.copy_tree, f"s3://{src_bucket}/tree", f"s3://{dst_bucket}/copy/",
                            client=cluster if where == "cluster" else None, batch=50,
                            src_options=s3_options(endpoint), dst_options=s3_options(endpoint))
    first = run(progress=lambda summary, listed: seen.append((summary.done, listed)))
    assert (first.copied, first.skipped, first.failures) == (COUNT, 0, [])
    assert first.copied_bytes == sum(map(len, expected.values()))
    assert seen[-1] == (COUNT, COUNT) and all(done <= listed for done, listed in seen)
    got = s3_tree(endpoint, dst_bucket, "copy")
    assert got == {"copy/" + k[len("tree/"):]: v for k, v in expected.items()}
    second = run()
    assert (second.copied, second.skipped, second.failures) == (0, COUNT, [])


class Interrupt(Exception):
    pass


def test_interrupted_then_resumed(s3_server, source, cluster):
    src_bucket, expected = source
    endpoint = s3_server.endpoint
    dst_bucket = "bulk-int-" + uuid.uuid4().hex[:8]
    cirrova.fs.S3FileSystem(**s3_options(endpoint)).mkdir(dst_bucket)

    def stop_after_first_batch(summary, listed):
        raise Interrupt(summary.done)

    run = functools.partial(bulk.copy_tree, f"s3://{src_bucket}/tree/", f"s3://{dst_bucket}/tree/", client=cluster,
                            batch=40, src_options=s3_options(endpoint), dst_options=s3_options(endpoint))
    with pytest.raises(Interrupt) as stopped:
        run(progress=stop_after_first_batch)
    done_before = stopped.value.args[0]
    assert 0 < done_before < COUNT
    resumed = run()
    assert resumed.failures == [] and resumed.copied + resumed.skipped == COUNT
    assert resumed.skipped >= done_before  # what the first run finished is not copied again
    assert s3_tree(endpoint, dst_bucket, "tree") == expected


def test_across_services_with_one_object_that_always_fails(s3_server, source, cluster):
    """S3 to OSS streams through transfer.copy on the workers; the refused object is reported, the rest copy.
    The destination's ETags are no MD5s (as a multipart upload's are not): the rerun knows the copies by the
    source ETag they carry as metadata."""
    src_bucket, expected = source
    fake = ServiceFake("oss", opaque_etags=True)
    bad = "mirror/3/obj-0003"
    fake.refuse.add(bad)
    with LoopbackServer(fake) as server:
        oss = {**CREDENTIALS["oss"], "http_client_factory": loopback_factory(server.port)}
        run = functools.partial(bulk.copy_tree, f"s3://{src_bucket}/tree", "oss://bkt/mirror", client=cluster,
                                batch=64, src_options=s3_options(s3_server.endpoint), dst_options=oss)
        first = run()
        assert first.copied == COUNT - 1 and [key for key, _ in first.failures] == ["tree/3/obj-0003"]
        assert "403" in first.failures[0][1]
        assert fake.objects == {"mirror/" + k[5:]: v for k, v in expected.items() if k != "tree/3/obj-0003"}
        assert all(fake.meta[k]["x-oss-meta-cirrova-source-etag"] == hashlib.md5(v).hexdigest()
                   for k, v in fake.objects.items())
        second = run()
        assert (second.copied, second.skipped, len(second.failures)) == (0, COUNT - 1, 1)


def test_dask_dataframe_reads_parquet_through_the_filesystem(s3_server, cluster):
    pd = pytest.importorskip("pandas", reason="pandas is not installed")
    dd = pytest.importorskip("dask.dataframe", reason="dask.dataframe is not installed")
    pytest.importorskip("pyarrow", reason="pyarrow is not installed")
    fs = cirrova.fs.S3FileSystem(**s3_options(s3_server.endpoint))
    bucket = "ddf-" + uuid.uuid4().hex[:8]
    fs.mkdir(bucket)
    frames = [pd.DataFrame({"k": range(i * 100, i * 100 + 100), "v": [float(i)] * 100}) for i in range(4)]
    for i, frame in enumerate(frames):
        with fs.open(f"{bucket}/t/part-{i}.parquet", "wb") as f:
            frame.to_parquet(f)
    ddf = dd.read_parquet(f"s3://{bucket}/t/", filesystem=fs)
    assert ddf.npartitions == 4
    total = ddf.v.sum().compute()  # the tasks run on the worker processes, which rebuild fs from its pickle
    assert total == sum(100.0 * i for i in range(4)) and len(ddf.k.compute()) == 400


def test_cli_copy_on_a_scheduler(s3_server, source, cluster, tmp_path, capsys):
    src_bucket, expected = source
    dst_bucket = "bulk-cli-" + uuid.uuid4().hex[:8]
    cirrova.fs.S3FileSystem(**s3_options(s3_server.endpoint)).mkdir(dst_bucket)
    config = tmp_path / "config.toml"
    config.write_text(f'[profiles.default]\nservice = "s3"\naccess_key = "S3RVER"\nsecret_key = "S3RVER"\n'
                      f'endpoint = "{s3_server.endpoint}"\n')
    address = cluster.scheduler_info()["address"]
    status = main(["--config", str(config), "cp", "-r", "--scheduler", address, f"s3://{src_bucket}/tree",
                   f"s3://{dst_bucket}/t"])
    out, err = capsys.readouterr()
    assert status == 0 and f"{COUNT} copied" in out, err
    assert len(s3_tree(s3_server.endpoint, dst_bucket, "t")) == COUNT
    status = main(["--config", str(config), "cp", "--scheduler", address, f"s3://{src_bucket}/tree", "x"])
    assert status == 2 and "--scheduler copies a tree" in capsys.readouterr().err


@pytest.mark.parametrize("statuses, copied", [([500, 200], True), ([503, 503, 200], True), ([403], False)])
def test_service_copy_retries_what_a_busy_service_may_take_back(statuses, copied, monkeypatch):
    from cirrova import _connect
    from cirrova.korvex import KorvexClient
    from cirrova.transfer import _engine

    monkeypatch.setattr(_engine, "pause", lambda delay, cancel: None)
    answers, seen = list(statuses), []

    def handler(request):
        seen.append(request.headers.get("x-amz-copy-source"))
        status = answers.pop(0)
        body = b"<CopyObjectResult><ETag>\"e\"</ETag></CopyObjectResult>" if status == 200 else \
            b"<Error><Code>InternalError</Code></Error>"
        return httpx.Response(status, content=body)

    http = httpx.Client(transport=httpx.MockTransport(handler))
    client = KorvexClient("ak", "sk", "dst", endpoint="http://127.0.0.1:9", http_client=http)
    copy = lambda: _connect.service_copy(client, "src", "a b", client, "c", same=True, part_size=5 << 20,  # noqa: E731
                                         concurrency=1)
    if copied:
        copy()
    else:
        with pytest.raises(Exception, match="403"):
            copy()
    assert len(seen) == len(statuses) and set(seen) == {"/src/a%20b"}
