"""cirrova.fs: fsspec's own abstract suite on the four filesystems (S3 against s3rver, COS, OSS and UFile against
fakes), what that suite leaves out (listings, ranges, multipart writes, copies, settings, pickling, silence,
registration), and pandas and pyarrow reading and writing through URLs."""

import importlib
import importlib.metadata
import os
import pickle
import posixpath
import re
import subprocess
import sys
import tomllib
import uuid

import httpx
import pytest

fsspec = pytest.importorskip("fsspec", reason="fsspec is not installed (cirrova[fsspec])")
from fsspec.tests.abstract import AbstractCopyTests, AbstractFixtures, AbstractGetTests, AbstractOpenTests  # noqa: E402
from fsspec.tests.abstract import AbstractPipeTests, AbstractPutTests  # noqa: E402

import cirrova.fs  # noqa: E402
from fs_fakes import BUCKETS, CREDENTIALS, ServiceFake, mock_client  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVICES = ["s3", "cos", "oss", "ufile"]
MiB = 1024 * 1024


class Service:
    """One filesystem under test, with its bucket and (for the fakes) the fake behind it."""

    def __init__(self, name, fs, bucket, fake=None):
        self.name, self.fs, self.bucket, self.fake = name, fs, bucket, fake

    def path(self, *parts):
        return "/".join((self.bucket, *parts))


@pytest.fixture(scope="module")
def s3_bucket(s3_server):
    fs = cirrova.fs.S3FileSystem(access_key="S3RVER", secret_key="S3RVER", endpoint=s3_server.endpoint,
                                 skip_instance_cache=True)
    bucket = "fs-" + uuid.uuid4().hex[:10]
    fs.mkdir(bucket)
    return s3_server.endpoint, bucket


def make_service(name, s3_bucket):
    if name == "s3":
        endpoint, bucket = s3_bucket
        fs = cirrova.fs.S3FileSystem(access_key="S3RVER", secret_key="S3RVER", endpoint=endpoint,
                                     skip_instance_cache=True)
        return Service(name, fs, bucket)
    fake = ServiceFake(name)
    fs = cirrova.fs.FILESYSTEMS[name](**CREDENTIALS[name], http_client_factory=lambda: mock_client(fake),
                                      skip_instance_cache=True)
    return Service(name, fs, BUCKETS[name], fake)


@pytest.fixture(params=SERVICES)
def service(request, s3_bucket):
    made = make_service(request.param, s3_bucket)
    yield made
    if made.name == "s3":
        made.fs.rm(made.path(""), recursive=True)


# fsspec's abstract suite ------------------------------------------------------------------------------------

class Fixtures(AbstractFixtures):
    @pytest.fixture(params=SERVICES)
    def service(self, request, s3_bucket):
        return make_service(request.param, s3_bucket)

    @pytest.fixture
    def fs(self, service):
        return service.fs

    @pytest.fixture
    def fs_path(self, service):
        return service.path("abstract-" + uuid.uuid4().hex[:8])

    @pytest.fixture
    def fs_join(self):
        return posixpath.join

    @pytest.fixture
    def supports_empty_directories(self):
        return False  # folders exist through the objects below them


class TestCopy(Fixtures, AbstractCopyTests):
    pass


class TestGet(Fixtures, AbstractGetTests):
    pass


class TestPut(Fixtures, AbstractPutTests):
    pass


class TestPipe(Fixtures, AbstractPipeTests):
    pass


class TestOpen(Fixtures, AbstractOpenTests):
    pass


# What the abstract suite leaves out -------------------------------------------------------------------------

TREE = {"t/a.txt": b"alpha", "t/sub/b.bin": b"b" * 1000, "t/sub/deep/c": b"", "t/subway": b"not in sub"}


def put_tree(service):
    for key, data in TREE.items():
        service.fs.pipe(service.path(key), data)


def test_listings_and_metadata(service):
    fs, p = service.fs, service.path
    put_tree(service)
    assert fs.ls(p("t"), detail=False) == [p("t/a.txt"), p("t/sub"), p("t/subway")]
    entries = {e["name"]: e for e in fs.ls(p("t/sub"))}
    assert entries[p("t/sub/deep")]["type"] == "directory"
    assert entries[p("t/sub/b.bin")]["size"] == 1000
    import hashlib
    info = fs.info(p("t/a.txt"))
    if service.name != "ufile":  # UFile's ETag is not the MD5
        assert info["ETag"].lower() == hashlib.md5(b"alpha").hexdigest()
    assert info["size"] == 5 and info["type"] == "file" and fs.modified(p("t/a.txt")).tzinfo is not None
    assert fs.info(p("t/sub"))["type"] == "directory"
    assert fs.find(p("t")) == sorted(p(k) for k in TREE)
    assert p("t/sub/deep") in fs.find(p("t"), withdirs=True)
    assert fs.glob(p("t/sub*")) == [p("t/sub"), p("t/subway")]
    assert fs.du(p("t")) == sum(len(v) for v in TREE.values())
    assert fs.exists(p("t/sub")) and fs.exists(p("t/a.txt")) and not fs.exists(p("t/nope"))
    assert [d for d, _, _ in fs.walk(p("t"))] == [p("t"), p("t/sub"), p("t/sub/deep")]
    assert fs.checksum(p("t/a.txt")) != fs.checksum(p("t/subway"))
    assert fs.ukey(p("t/a.txt")) == info["ETag"]
    with pytest.raises(FileNotFoundError):
        fs.info(p("t/nope"))
    if service.name == "s3":  # the account's buckets, where the protocol lists them (the COS fake does not)
        assert service.bucket in fs.ls("", detail=False)
    elif service.name != "cos":
        with pytest.raises(NotImplementedError):
            fs.ls("")


def test_listing_cache_follows_writes(service):
    fs, p = service.fs, service.path
    fs.pipe(p("c/one"), b"1")
    assert fs.ls(p("c"), detail=False) == [p("c/one")]
    fs.pipe(p("c/two"), b"2")
    with fs.open(p("c/three"), "wb") as f:
        f.write(b"3")
    fs.cp_file(p("c/one"), p("c/four"))
    assert fs.ls(p("c"), detail=False) == sorted(p("c/" + n) for n in ("one", "two", "three", "four"))
    fs.rm(p("c/two"))
    assert p("c/two") not in fs.ls(p("c"), detail=False)


DATA = bytes(range(256)) * 40  # 10240 bytes


@pytest.mark.parametrize("start, end, expected", [
    (None, None, DATA), (0, 10, DATA[:10]), (100, None, DATA[100:]), (-10, None, DATA[-10:]),
    (5, -5, DATA[5:-5]), (10240, None, b""), (20, 10, b""), (0, 20000, DATA),
])
def test_cat_file_ranges(service, start, end, expected):
    service.fs.pipe(service.path("r"), DATA)
    assert service.fs.cat_file(service.path("r"), start, end) == expected


def test_large_reads_and_writes(service):
    """open("wb") in parts, open("rb") with read-ahead and seeks, and a range spanning parallel requests."""
    fs, p = service.fs, service.path
    data = os.urandom(13 * MiB + 123)
    with fs.open(p("big"), "wb") as f:
        for at in range(0, len(data), 3 * MiB):
            f.write(data[at:at + 3 * MiB])
    if service.fake is not None:
        assert service.fake.count("part") >= 2
    with fs.open(p("big"), "rb", block_size=2 * MiB) as f:
        assert f.read(10) == data[:10]
        f.seek(9 * MiB)
        assert f.read(5 * MiB) == data[9 * MiB:14 * MiB]
    assert fs.cat_file(p("big"), 1, 12 * MiB) == data[1:12 * MiB]
    assert fs.cat(p("big")) == data


def test_failed_write_publishes_nothing(service):
    fs, p = service.fs, service.path
    with pytest.raises(RuntimeError):
        with fs.open(p("half"), "wb") as f:
            f.write(os.urandom(11 * MiB))  # at least one part sent
            raise RuntimeError("the producer failed")
    assert not fs.exists(p("half"))
    if service.fake is not None:
        assert service.fake.aborted and not service.fake.uploads


def test_get_and_put_trees(service, tmp_path):
    fs, p = service.fs, service.path
    put_tree(service)
    if service.fake is not None:
        service.fake.log.clear()
    fs.get(p("t") + "/", str(tmp_path / "down"), recursive=True)
    if service.fake is not None:  # objects with data go as one batch, which asks for no HEAD first
        heads = {key for op, key, *_ in service.fake.log if op == "head"}
        assert not heads & {k for k, v in TREE.items() if v}
    for key, data in TREE.items():
        assert (tmp_path / "down" / key[2:]).read_bytes() == data
    fs.put(str(tmp_path / "down"), p("up"), recursive=True)
    assert fs.cat(p("up/sub/b.bin")) == TREE["t/sub/b.bin"]


@pytest.mark.parametrize("name", ["cos", "oss", "ufile"])
def test_copy_within_service(name, s3_bucket):
    """COS and OSS copy on the service; UFile, which has no copy here, streams through transfer.copy."""
    service = make_service(name, s3_bucket)
    service.fs.pipe(service.path("src"), b"payload")
    service.fake.log.clear()
    service.fs.cp_file(service.path("src"), service.path("dst"))
    ops = [entry[0] for entry in service.fake.log]
    assert service.fs.cat(service.path("dst")) == b"payload"
    assert ("copy" in ops) == (name != "ufile") and ("get" in ops) == (name == "ufile")


@pytest.mark.parametrize("outcome", [503, 429, "reset"])
@pytest.mark.parametrize("name", ["cos", "oss", "ufile"])
def test_rm_retries_a_busy_service(name, s3_bucket, outcome, monkeypatch):
    monkeypatch.setattr("cirrova.transfer._engine.BACKOFF_BASE", 0.0)
    service = make_service(name, s3_bucket)
    for key in ("d/a", "d/b"):
        service.fs.pipe(service.path(key), b"x")
    busy = httpx.ReadError("Connection reset by peer") if outcome == "reset" else outcome
    # COS deletes in one batch; OSS and UFile delete "d" (which might be an object), "d/a" and "d/b" one by one.
    op = "batch" if name == "cos" else "delete"
    service.fake.fail(op, None, busy, busy)
    service.fs.rm(service.path("d"), recursive=True)
    assert not service.fake.objects and service.fake.count(op) == (3 if name == "cos" else 5)


def prefix_ignored(fake, query):
    return ServiceFake.list(fake, {**query, "prefix": ""})


def truncated_without_marker(fake, query):
    reply = ServiceFake.list(fake, query)
    return fake.xml(200, reply.text.replace("<IsTruncated>false</IsTruncated>", "<IsTruncated>true</IsTruncated>"))


LISTING_FAULTS = {"prefix ignored": (prefix_ignored, "outside the prefix 'd/'"),
                  "truncated, no marker": (truncated_without_marker, "gives no continuation marker")}


@pytest.mark.parametrize("operation", ["ls", "find", "rm -r"])
@pytest.mark.parametrize("fault", LISTING_FAULTS)
@pytest.mark.parametrize("name", ["oss", "ufile"])
def test_listings_that_cannot_be_trusted_stop_before_acting(name, fault, operation, s3_bucket, monkeypatch):
    if name == "ufile" and fault.startswith("truncated"):
        pytest.skip("a UFile page is truncated exactly when it names a next marker")
    service = make_service(name, s3_bucket)
    for key in ("d/1", "d/2", "e/1"):
        service.fs.pipe(service.path(key), b"x")
    reply, fragment = LISTING_FAULTS[fault]
    monkeypatch.setattr(service.fake, "list", lambda query: reply(service.fake, query))
    run = {"ls": lambda: service.fs.ls(service.path("d"), detail=False),
           "find": lambda: service.fs.find(service.path("d")),
           "rm -r": lambda: service.fs.rm(service.path("d"), recursive=True)}[operation]
    with pytest.raises(OSError, match=re.escape(fragment)):
        run()
    assert sorted(service.fake.objects) == ["d/1", "d/2", "e/1"]


def test_many_objects_fetched_side_by_side(service):
    fs, p = service.fs, service.path
    for i in range(30):
        fs.pipe(p(f"m/{i:02d}"), str(i).encode())
    got = fs.cat([p(f"m/{i:02d}") for i in range(30)] + [p("m/missing")], on_error="return")
    assert [got[p(f"m/{i:02d}")] for i in range(30)] == [str(i).encode() for i in range(30)]
    assert isinstance(got[p("m/missing")], FileNotFoundError)
    assert p("m/missing") not in fs.cat([p("m/00"), p("m/missing")], on_error="omit")


# Settings, pickling, silence, registration ------------------------------------------------------------------

@pytest.fixture
def config_file(tmp_path, s3_bucket):
    endpoint, _ = s3_bucket
    path = tmp_path / "config.toml"
    path.write_text(f'[profiles.local]\nservice = "s3"\naccess_key = "S3RVER"\nsecret_key = "S3RVER"\n'
                    f'endpoint = "{endpoint}"\n[profiles.oss]\nservice = "oss"\naccess_key = "a"\n'
                    f'secret_key = "b"\nregion = "oss-cn-beijing"\n')
    return path


def test_profiles_keywords_and_pickling(config_file, s3_bucket):
    _, bucket = s3_bucket
    fs = cirrova.fs.S3FileSystem(profile="local", config=str(config_file), concurrency=4)
    fs.pipe(f"{bucket}/p/x", b"x")
    # The pickle carries the resolved settings: the configuration file is not needed to rebuild it.
    config_file.unlink()
    clone = pickle.loads(pickle.dumps(fs))
    assert clone.settings == fs.settings and clone.settings["concurrency"] == 4
    assert clone.cat(f"{bucket}/p/x") == b"x"


@pytest.mark.parametrize("kwargs, message", [
    ({"profile": "nope"}, "no profile 'nope'"),
    ({"profile": "oss"}, "is for oss"),
    ({"access_key": "a"}, "secret_key is missing"),
    ({"access_key": "a", "secret_key": "b", "colour": "red"}, "unknown setting 'colour'"),
    ({"access_key": "a", "secret_key": "b", "concurrency": 0}, "concurrency"),
])
def test_settings_refused(config_file, kwargs, message):
    with pytest.raises(ValueError, match=message):
        cirrova.fs.S3FileSystem(config=str(config_file), skip_instance_cache=True, **kwargs)


def test_profile_with_keyword_override(config_file):
    fs = cirrova.fs.OSSFileSystem(profile="oss", config=str(config_file), region="oss-cn-shanghai")
    assert fs.settings["region"] == "oss-cn-shanghai" and fs.settings["access_key"] == "a"
    assert "oss-cn-shanghai" in fs.client("b").host


def test_ufile_prints_nothing_and_sends_what_the_client_sends(capfd):
    """The quiet client's requests are byte for byte the plain client's, minus the printed URL."""
    from cirrova._connect import QuietDramletFileClient
    from cirrova.dramlet import DramletFileClient

    seen = {}

    def recorder(name):
        def handler(request):
            seen.setdefault(name, []).append((request.method, str(request.url), dict(request.headers),
                                              request.read()))
            return ServiceFake("ufile")(request)
        return handler

    for name, cls in (("plain", DramletFileClient), ("quiet", QuietDramletFileClient)):
        client = cls("pub", "priv", "bk", http_client=mock_client(recorder(name)))
        for key in ("a b/c.txt", "x/../y/./z", "中文/键", "q?&=#"):
            client.upload(key, b"data", content_type="text/plain")
            client.head(key)
            client._download(key, headers={"Range": "bytes=0-1"})
            client.delete(key)
        client.initiate_multipart_upload("m k")
        client.abort_multipart_upload("m k", "up-1")
    out = capfd.readouterr().out
    assert seen["plain"] == seen["quiet"] and len(seen["quiet"]) == 18
    assert out.count("\n") == 18  # every line from the plain client alone

    fake = ServiceFake("ufile")
    fs = cirrova.fs.UFileFileSystem(**CREDENTIALS["ufile"], http_client_factory=lambda: mock_client(fake))
    fs.pipe("bk/k", b"v" * (5 * MiB))
    fs.cat("bk/k"), fs.ls("bk"), fs.rm("bk/k")
    assert capfd.readouterr().out == ""


@pytest.fixture
def fsspec_registry():
    registry = importlib.import_module("fsspec.registry")
    saved, known = dict(registry._registry), dict(registry.known_implementations)
    yield registry
    registry._registry.clear()
    registry._registry.update(saved)
    registry.known_implementations.clear()
    registry.known_implementations.update(known)


def test_registration(fsspec_registry):
    known = fsspec_registry.known_implementations
    ours = {f"cirrova.fs.{cls.__name__}" for cls in cirrova.fs.FILESYSTEMS.values()}
    taken = {s for s in cirrova.fs.FILESYSTEMS if s in known and known[s]["class"] not in ours}
    assert {"s3", "oss"} <= taken  # what fsspec's own table hands to other packages
    # The entry points claim only names that fsspec leaves free.
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        points = tomllib.load(f)["project"]["entry-points"]["fsspec.specs"]
    assert set(points) == {"cos", "ufile"} and not set(points) & taken
    try:
        dist = importlib.metadata.distribution("cirrova")
    except importlib.metadata.PackageNotFoundError:
        dist = None
    if dist is not None:  # installed: fsspec found them at import
        assert {ep.name for ep in dist.entry_points if ep.group == "fsspec.specs"} == {"cos", "ufile"}
        assert fsspec.get_filesystem_class("ufile") is cirrova.fs.UFileFileSystem
    with pytest.raises(ValueError, match="clobber=True"):
        cirrova.fs.register()
    assert "s3" not in fsspec_registry.registry or fsspec_registry.registry["s3"] is not cirrova.fs.S3FileSystem
    assert cirrova.fs.register(clobber=True) == SERVICES
    assert fsspec.get_filesystem_class("s3") is cirrova.fs.S3FileSystem
    assert fsspec.get_filesystem_class("oss") is cirrova.fs.OSSFileSystem


def test_package_imports_without_fsspec_and_dask():
    code = (
        "import sys\n"
        "class Block:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.split('.')[0] in ('fsspec', 'dask', 'distributed'):\n"
        "            raise ImportError('blocked ' + name)\n"
        "sys.meta_path.insert(0, Block())\n"
        "import cirrova, cirrova.bulk, cirrova.transfer, cirrova.cli\n"
        "try:\n"
        "    import cirrova.fs\n"
        "except ImportError as exc:\n"
        "    print(exc)\n"
    )
    env = dict(os.environ)
    if os.environ.get("CIRROVA_INSTALLED") != "1":
        env["PYTHONPATH"] = ROOT + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert 'pip install "cirrova[fsspec]"' in done.stdout


# pandas and pyarrow through URLs ------------------------------------------------------------------------------

@pytest.fixture
def registered(fsspec_registry):
    cirrova.fs.register(clobber=True)


def test_pandas_csv_and_parquet_through_urls(s3_bucket, registered):
    pd = pytest.importorskip("pandas", reason="pandas is not installed")
    pytest.importorskip("pyarrow", reason="pyarrow is not installed")
    endpoint, bucket = s3_bucket
    options = {"access_key": "S3RVER", "secret_key": "S3RVER", "endpoint": endpoint}
    frame = pd.DataFrame({"n": range(1000), "s": [f"row {i}" for i in range(1000)]})
    frame.to_csv(f"s3://{bucket}/pd/t.csv", index=False, storage_options=options)
    frame.to_parquet(f"s3://{bucket}/pd/t.parquet", storage_options=options)
    pd.testing.assert_frame_equal(pd.read_csv(f"s3://{bucket}/pd/t.csv", storage_options=options), frame)
    pd.testing.assert_frame_equal(pd.read_parquet(f"s3://{bucket}/pd/t.parquet", storage_options=options), frame)

    fake = ServiceFake("oss")
    oss = {**CREDENTIALS["oss"], "http_client_factory": lambda: mock_client(fake)}
    frame.to_parquet("oss://bkt/t.parquet", storage_options=oss)
    pd.testing.assert_frame_equal(pd.read_parquet("oss://bkt/t.parquet", storage_options=oss), frame)


def test_pyarrow_dataset_over_a_prefix(s3_bucket):
    pytest.importorskip("pyarrow", reason="pyarrow is not installed")
    import pyarrow as pa
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    endpoint, bucket = s3_bucket
    fs = cirrova.fs.S3FileSystem(access_key="S3RVER", secret_key="S3RVER", endpoint=endpoint)
    for part in range(3):
        table = pa.table({"v": list(range(part * 100, part * 100 + 100))})
        with fs.open(f"{bucket}/ds/part={part}/data.parquet", "wb") as f:
            pq.write_table(table, f)
    fs.pipe(f"{bucket}/dsx/other.parquet", b"not under the prefix")
    dataset = ds.dataset(f"{bucket}/ds/", filesystem=fs, format="parquet", partitioning="hive")
    table = dataset.to_table()
    assert table.num_rows == 300 and sorted(table.column("v").to_pylist()) == list(range(300))
    assert dataset.to_table(filter=ds.field("part") == 2).num_rows == 100


@pytest.mark.parametrize("reads", [
    [(0, 10), (10, 5000), (5000, 20000)],           # sequential, across blocks
    [(0, 100), (9000, 9100), (9100, 12000)],         # a seek, then sequential again
    [(15000, 20000), (0, 3), (3, 4096)],             # backwards
    [(0, 50000)],                                    # past the end
    [(16383, 16385), (16385, 16386)],                # the last bytes
])
def test_read_ahead_patterns(reads):
    import concurrent.futures

    from cirrova.fs._file import ReadAhead

    data = os.urandom(16386)
    asked = []

    def fetch(start, end):
        asked.append((start, end))
        return data[start:end]

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        ahead = ReadAhead(fetch, len(data), pool, 1024, 4)
        for start, end in reads:
            assert ahead.read(start, end) == data[start:end]
            assert len(ahead.blocks) <= 4 + (min(end, len(data)) - start) // 1024 + 1
    assert all(s % 1024 == 0 and e - s <= 1024 for s, e in asked)
    backwards = any(b[0] < a[1] for a, b in zip(reads, reads[1:]))
    if not backwards:  # a block is asked for once, unless the reader goes back to it
        assert len(asked) == len(set(asked))


def test_buckets_made_and_removed_where_the_service_allows(service):
    fs, name = service.fs, "made-" + uuid.uuid4().hex[:8]
    if service.name in ("oss", "ufile"):
        with pytest.raises(NotImplementedError):
            fs.mkdir(name)
        return
    if service.name == "cos":
        name += "-1250000000"
    fs.mkdir(name)
    fs.mkdir(f"{name}/any/folder")  # folders exist through their objects: nothing to do
    if service.name == "s3":
        assert fs.exists(name) and fs.ls(name) == []
        fs.rmdir(name)
        assert not fs.exists(name)
    else:  # the fake serves one bucket: what counts is that bucket requests (no key) went out
        fs.rmdir(name)
        assert [(op, key) for op, key, *_ in service.fake.log if op in ("put", "delete")] == [("put", ""),
                                                                                              ("delete", "")]
