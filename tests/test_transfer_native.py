"""The native transfer engine against the Python path: same requests, byte for byte, same files, results and
exceptions, for every service and fault; and every condition that must keep a call on the Python path."""

import base64
import hashlib
import os
import time

import httpx
import pytest

from native_server import StoreServer
from transfer_fakes import FakeStore

from cirrova import transfer
from cirrova.korvex import KorvexClient
from cirrova.transfer import _engine, _native
from cirrova.transport import NativeTransport

PART = 256
SPAN = PART // 2
OBJECTS = {"big": bytes(range(256)) * 3 + b"tail" * 25 + b"!!!", "empty": b"", "small": b"s" * 100,
           "dir/k\u00fc y": b"q" * 300}

#: service -> (fake dialect, client keywords, attributes that point it at plain HTTP)
SERVICES = {
    "s3": ("s3", {}, {}),
    "s3v2": ("s3", {"signature_version": "v2"}, {}),
    "s3virtual": ("cos", {"addressing_style": "virtual", "endpoint": "http://s3.test"}, {}),
    "cos": ("cos", {}, {"endpoint": "http://cos.ap-guangzhou.myqcloud.com"}),
    "oss": ("oss", {}, {"host": "http://bkt.oss-cn-hangzhou.aliyuncs.com"}),
    "ufile": ("ufile", {}, {"_api_host": "http://bk.cn-wlcb.ufileos.com", "host": "http://bk.cn-wlcb.ufileos.com"}),
}


META_PREFIX = {"s3": "x-amz-meta-", "cos": "x-amz-meta-", "oss": "x-oss-meta-", "ufile": "X-Ufile-Meta-"}


def _md5_metadata(store, of, mislabel=False):
    """Every object states the MD5 of `of(its bytes)` as checksum metadata (and, with `mislabel`, an ETag that
    is the MD5 of other bytes, which the metadata overrides)."""
    store.mislabel = mislabel
    name = META_PREFIX[store.dialect] + "cirrova-md5"
    store.metadata = {key: {name: base64.b64encode(hashlib.md5(of(data)).digest()).decode()}
                      for key, data in store.objects.items()}


def _retry_after_zero(store):
    store.fail("get", SPAN, (503, {"Retry-After": "0"}))


#: fault -> how it is set up on a fresh store (downloads)
FAULTS = {
    "clean": lambda store: None,
    "retried_503": _retry_after_zero,
    "persistent_500": lambda store: store.fail("get", SPAN, 500, 500, 500, 500),
    "not_found": lambda store: store.fail("get", 0, 404),
    "short_body": lambda store: store.short_at.update({SPAN: 4}),
    "short_once": lambda store: store.short_at.update({SPAN: 1}),
    "wrong_content_range": lambda store: setattr(store, "bad_range_at", SPAN),
    "etag_change": lambda store: setattr(store, "replace_after", (2, b"n" * len(OBJECTS["big"]))),
    "ignores_range": lambda store: setattr(store, "ignore_range", True),
    "hang_up": lambda store: store.fail("get", SPAN, *[httpx.ReadError("gone")] * 4),
    "digest_mismatch": lambda store: setattr(store, "mislabel", True),
    "metadata_mismatch": lambda store: _md5_metadata(store, lambda data: data + b"x"),
    "metadata_over_etag": lambda store: _md5_metadata(store, lambda data: data, mislabel=True),
}

#: the same for uploads
UPLOAD_FAULTS = {
    "clean": lambda store: None,
    "retried_503": lambda store: store.fail("put", None, (503, {"Retry-After": "0"})),
    "persistent_500": lambda store: store.fail("put", None, 500, 500, 500, 500),
    "refused_403": lambda store: store.fail("put", None, 403),
    "hang_up": lambda store: store.fail("put", None, *[httpx.ReadError("gone")] * 4),
}
#: the same for the parts of a multipart upload
PART_FAULTS = {
    "clean": lambda store: None,
    "retried_503": lambda store: store.fail("part", 2, (503, {"Retry-After": "0"})),
    "persistent_500": lambda store: store.fail("part", 2, 500, 500, 500, 500),
    "hang_up": lambda store: store.fail("part", 2, *[httpx.ReadError("gone")] * 4),
}
#: the same for copies (a ranged GET of each part, then its PUT)
COPY_FAULTS = {
    "clean": lambda store: None,
    "retried_503": lambda store: store.fail("get", 0, (503, {"Retry-After": "0"})),
    "persistent_500_part": lambda store: store.fail("part", 2, 500, 500, 500, 500),
    "short_body": lambda store: store.short_at.update({0: 4}),
    "etag_change": lambda store: setattr(store, "replace_after", (1, b"n" * 100)),
    "digest_mismatch": lambda store: setattr(store, "mislabel", True),
    "metadata_mismatch": lambda store: _md5_metadata(store, lambda data: data + b"x"),
    "metadata_over_etag": lambda store: _md5_metadata(store, lambda data: data, mislabel=True),
}
UPLOAD_PART = 5 * 1024 * 1024  # the smallest part size the S3 protocol allows
SOURCES = {"empty": b"", "small": b"s" * 100, "whole_part": bytes(range(256)) * (UPLOAD_PART // 256)}


@pytest.fixture(autouse=True)
def frozen(monkeypatch):
    monkeypatch.setattr(time, "time", lambda: 1700000000.0)
    monkeypatch.setattr(_engine, "pause", lambda delay, cancel: None)
    monkeypatch.setattr(_engine, "BACKOFF_BASE", 0.0)
    monkeypatch.setattr(_engine, "RETRY_AFTER_CAP", 0.0)


def _client(service, store, server):
    dialect, kw, attrs = SERVICES[service]
    client = store.client(KorvexClient if service == "s3virtual" else None, **kw)
    client._client = httpx.Client(transport=NativeTransport(proxy=server.url()))
    for name, value in attrs.items():
        setattr(client, name, value)
    return client


def _outcome(value):
    if isinstance(value, BaseException):
        return type(value).__name__, str(value), getattr(value, "status_code", None)
    return value


def _run_copy(service, fault, op, native, tmp_path, monkeypatch, checksum):
    monkeypatch.setenv("CIRROVA_NATIVE_TRANSFER", "1" if native else "0")
    calls = []
    real = _native._native_copy
    monkeypatch.setattr(_native, "_native_copy", lambda *a, **k: calls.append(1) or real(*a, **k))
    store = FakeStore(SERVICES[service][0])
    store.objects = {"small": OBJECTS["big"], "large": SOURCES["whole_part"] * 2 + b"L" * 1000}
    COPY_FAULTS[fault](store)
    progress = []
    with StoreServer(store) as server:
        client = _client(service, store, server)
        try:
            results = transfer.copy(client, "small" if op == "copy" else "large", client, "copied",
                                    part_size=UPLOAD_PART, concurrency=1, callback=lambda *a: progress.append(a),
                                    checksum=checksum)
        except Exception as exc:
            results = _outcome(exc)
        requests = sorted((r.head, r.body_sha256) for r in server.requests)
    return requests, results, (dict(store.objects), store.aborted), progress[-1:], len(calls)


def _run(service, fault, op, native, tmp_path, monkeypatch, checksum):
    if op.startswith("copy"):
        return _run_copy(service, fault, op, native, tmp_path, monkeypatch, checksum)
    if op.startswith("upload") or op == "multipart":
        return _run_upload(service, fault, op, native, tmp_path, monkeypatch, checksum)
    """One transfer on a fresh fake: (requests as sent, results, files left, last progress call, engine calls)."""
    monkeypatch.setenv("CIRROVA_NATIVE_TRANSFER", "1" if native else "0")
    calls = []
    real = _native._native_download
    monkeypatch.setattr(_native, "_native_download", lambda *a, **k: calls.append(1) or real(*a, **k))
    store = FakeStore(SERVICES[service][0])
    store.objects = dict(OBJECTS)
    FAULTS[fault](store)
    out = tmp_path / ("native" if native else "python")
    progress = []
    with StoreServer(store) as server:
        client = _client(service, store, server)
        concurrency = 1 if fault != "clean" else 3
        if op == "many":
            items = [(key, str(out / f"f{i}")) for i, key in enumerate([*OBJECTS, "missing"])]
            results = [(r.item[0], r.ok, _outcome(r.value)) for r in
                       transfer.download_many(client, items, concurrency=concurrency, part_size=PART,
                                              callback=lambda *a: progress.append(a), checksum=checksum)]
        else:
            try:
                results = transfer.download(client, "big", str(out / "big"), part_size=PART,
                                            concurrency=concurrency, callback=lambda *a: progress.append(a),
                                            checksum=checksum)
            except Exception as exc:
                results = _outcome(exc)
        requests = sorted(r.head for r in server.requests)
    files = {p.name: p.read_bytes() for p in out.iterdir()} if out.exists() else {}
    last = progress[-1:] if concurrency == 1 else [call[1:] for call in progress[-1:]]  # which part ends last is a race
    return requests, results, files, last, len(calls)


def _run_upload(service, fault, op, native, tmp_path, monkeypatch, checksum):
    monkeypatch.setenv("CIRROVA_NATIVE_TRANSFER", "1" if native else "0")
    calls = []
    name = "_native_upload_parts" if op == "multipart" else "_native_upload"
    real = getattr(_native, name)
    monkeypatch.setattr(_native, name, lambda *a, **k: calls.append(1) or real(*a, **k))
    store = FakeStore(SERVICES[service][0])
    (PART_FAULTS if op == "multipart" else UPLOAD_FAULTS)[fault](store)
    for name, data in SOURCES.items():
        (tmp_path / name).write_bytes(data)
    progress = []
    concurrency = 1 if fault != "clean" else 3
    with StoreServer(store) as server:
        client = _client(service, store, server)
        if op == "upload_many":
            items = [(str(tmp_path / name), f"up/{name} \u00e9") for name in SOURCES]
            results = [(r.item[1], r.ok, _outcome(r.value)) for r in
                       transfer.upload_many(client, items, concurrency=concurrency, part_size=UPLOAD_PART,
                                            content_type="text/plain", headers={"x-amz-meta-k": "v"},
                                            callback=lambda *a: progress.append(a), checksum=checksum)]
        else:
            source = "small"
            if op == "multipart":  # three parts (of 5 MiB, or UFile's 4 MiB blocks)
                source = tmp_path / "large"
                source.write_bytes(SOURCES["whole_part"] * 2 + b"L" * 1000)
            try:
                results = transfer.upload(client, tmp_path / source, "one", part_size=UPLOAD_PART,
                                          concurrency=concurrency, callback=lambda *a: progress.append(a),
                                          checksum=checksum)
            except Exception as exc:
                results = _outcome(exc)
        requests = sorted((r.head, r.body_sha256) for r in server.requests)
    last = progress[-1:] if concurrency == 1 else [call[1:] for call in progress[-1:]]
    return requests, results, (dict(store.objects), store.aborted), last, len(calls)


@pytest.mark.parametrize(("op", "fault"), [(op, fault) for op in ("many", "one") for fault in FAULTS] +
                         [(op, fault) for op in ("upload_many", "upload") for fault in UPLOAD_FAULTS] +
                         [("multipart", fault) for fault in PART_FAULTS] +
                         [(op, fault) for op in ("copy", "copy_multipart") for fault in COPY_FAULTS])
@pytest.mark.parametrize("service", list(SERVICES))
@pytest.mark.parametrize("checksum", [False, True], ids=["plain", "checksum"])
def test_native_and_python_paths_agree(service, fault, op, checksum, tmp_path, monkeypatch):
    """With checksum on, both send the same Content-MD5 and checksum metadata and check the same digests."""
    py = _run(service, fault, op, False, tmp_path, monkeypatch, checksum)
    nat = _run(service, fault, op, True, tmp_path, monkeypatch, checksum)
    assert py[4] == 0 and nat[4] == 1  # each path really ran
    assert nat[0] == py[0]  # the same requests, byte for byte
    assert nat[1] == py[1]
    assert nat[2] == py[2]  # the same files, and no temporary file on either side
    assert nat[3] == py[3]
    # A stated MD5 that the bytes do not have fails before the rename or the PUT (UFile states none; a
    # multipart copy passes the source's on without holding the whole).
    if checksum and op != "copy_multipart" and (fault == "metadata_mismatch" or
                                                (fault == "digest_mismatch" and service != "ufile")):
        failed = nat[1] if op != "many" else nat[1][0][2]
        assert "MD5" in failed[1], failed
        assert "copied" not in nat[2][0] if op.startswith("copy") else "big" not in nat[2] and "f0" not in nat[2]
    if fault == "clean" and op in ("many", "one"):
        assert nat[2]["big" if op == "one" else "f0"] == OBJECTS["big"]
    elif fault == "clean":
        assert nat[2][0] and not nat[2][1]


class _Hooked(KorvexClient):
    def _download(self, key, headers=None, timeout=None):
        return super()._download(key, headers=headers, timeout=timeout)


def _mounted(client, server):
    client._client = httpx.Client(transport=NativeTransport(proxy=server.url()),
                                  mounts={"http://s3.test": httpx.HTTPTransport(proxy=server.url())})


#: condition -> change to the client (and server) that must keep the call on the Python path
PYTHON_PATH = {
    "subclass_override": lambda client, server: None,
    "instance_override": lambda client, server: setattr(client, "_download", client._download),
    "other_transport": lambda client, server: setattr(
        client, "_client", httpx.Client(transport=httpx.HTTPTransport(proxy=server.url()))),
    "mounted_elsewhere": _mounted,
    "event_hook": lambda client, server: client._client.event_hooks["request"].append(lambda request: None),
    "auth": lambda client, server: setattr(client._client, "auth", ("user", "pass")),
    "default_header": lambda client, server: client._client.headers.update({"X-Extra": "1"}),
    "cookie": lambda client, server: client._client.cookies.set("c", "1"),
    "fifo_target": lambda client, server: None,
}


@pytest.mark.parametrize("condition", [None, *PYTHON_PATH])
def test_each_condition_keeps_the_python_path(condition, tmp_path, monkeypatch):
    calls = []
    real = _native._native_download
    monkeypatch.setattr(_native, "_native_download", lambda *a, **k: calls.append(1) or real(*a, **k))
    store = FakeStore("s3")
    store.objects = {"big": OBJECTS["big"]}
    target = tmp_path / "t"
    if condition == "fifo_target":
        os.mkfifo(target)
    with StoreServer(store) as server:
        client = store.client(_Hooked if condition == "subclass_override" else None)
        client._client = httpx.Client(transport=NativeTransport(proxy=server.url()))
        if condition is not None:
            PYTHON_PATH[condition](client, server)
        if condition == "fifo_target":
            assert _native.plan(client, None, [str(target)]) is None
            return
        [result] = transfer.download_many(client, [("big", str(target))], part_size=PART)
        assert result.ok, result.value
        assert target.read_bytes() == OBJECTS["big"]
        assert store.count("get") > 0
    assert calls == ([1] if condition is None else [])


@pytest.mark.parametrize("how", ["sigint", "token"])
@pytest.mark.parametrize("op", ["many", "one", "upload_many"])
def test_ctrl_c_stops_the_engine_and_leaves_no_temporary_file(op, how, tmp_path, monkeypatch):
    """A SIGINT, or the cancel of a CancelToken the caller is bound to, while the engine waits on a reply that
    the server holds until the interruption has landed."""
    import _thread
    import signal
    import threading

    from cirrova.transport import CancelToken, RequestCancelled

    previous = signal.signal(signal.SIGINT, signal.default_int_handler)  # the suite may run with SIGINT ignored
    token = CancelToken()

    calls = []
    for name in ("_native_download", "_native_upload"):
        real = getattr(_native, name)
        monkeypatch.setattr(_native, name, lambda *a, _real=real, **k: calls.append(1) or _real(*a, **k))
    store = FakeStore("s3")
    store.objects = {"big": OBJECTS["big"]}
    release = threading.Event()
    answer = store.answer
    fired = []  # one interruption only, whichever held request comes first

    def held(request, op_name, key, query, outcome):
        if op_name in ("get", "put"):
            with store.lock:
                first = not fired
                fired.append(1)
            if first:
                token.cancel() if how == "token" else _thread.interrupt_main()
            release.wait(60)  # set by the test once the interruption has reached it
        return answer(request, op_name, key, query, outcome)

    store.answer = held
    source = tmp_path / "src"
    source.write_bytes(b"data")
    out = tmp_path / "out"
    out.mkdir()
    with StoreServer(store) as server:
        client = _client("s3", store, server)
        try:
            with pytest.raises(RequestCancelled if how == "token" else KeyboardInterrupt), token:
                if op == "many":
                    transfer.download_many(client, [("big", str(out / "a")), ("big", str(out / "b"))], part_size=PART)
                elif op == "one":
                    transfer.download(client, "big", str(out / "a"), part_size=PART)
                else:
                    transfer.upload_many(client, [(str(source), "k1"), (str(source), "k2")])
        finally:
            release.set()
            signal.signal(signal.SIGINT, previous)
    assert calls == [1]
    assert os.listdir(out) == []


EXIT_INSIDE_ENGINE = r"""
import sys, tempfile, threading, time, httpx
from cirrova import transfer
from cirrova.korvex import KorvexClient
from cirrova.transport import NativeTransport
c = KorvexClient("ak", "sk", "b", endpoint=sys.argv[1],
                 http_client=httpx.Client(transport=NativeTransport(), timeout=None))
d = tempfile.mkdtemp()
def run():
    transfer.download_many(c, [("k%d" % i, "%s/k%d" % (d, i)) for i in range(4)], concurrency=4)
for _ in range(3):
    threading.Thread(target=run, daemon=True).start()
time.sleep(0.3)
"""


def test_interpreter_exit_while_daemon_threads_are_inside_the_engine():
    """Threads waiting in the engine's loop on a silent server when the interpreter exits."""
    from rawserver import RawServer, silent
    from test_reliability_process import child, finish

    with RawServer(lambda request: silent) as server:
        procs = [child(EXIT_INSIDE_ENGINE, server.url(), threads_left_at_exit=True) for _ in range(3)]
        for proc in procs:
            rc, out, err = finish(proc)
            assert rc == 0, err[-2000:]


LARGE = os.urandom(3 * 1024 * 1024 + 5) * 3

CLI_PROFILE = """
[profiles.default]
service = "s3"
access_key = "ak"
secret_key = "sk"
endpoint = "http://s3.test"
"""

#: name -> cp arguments (after the paths are filled in) and the engine entry it must reach
CLI_COPIES = {
    "upload": (["cp", "{src}/one", "s3://bkt/one"], "_native_upload"),
    "upload_tree": (["cp", "-r", "{src}", "s3://bkt/tree"], "_native_upload"),
    "multipart": (["cp", "--part-size", "5MiB", "{src}/large", "s3://bkt/large"], "_native_upload_parts"),
    "download": (["cp", "s3://bkt/big", "{out}/big"], "_native_download"),
    # ranges of megabytes: bodies written in batches, then read back for the digest
    "download_large": (["cp", "s3://bkt/large", "{out}/large"], "_native_download"),
}


def _run_cli(name, native, tmp_path, monkeypatch):
    from cirrova.cli import main

    argv, entry = CLI_COPIES[name]
    monkeypatch.setenv("CIRROVA_NATIVE_TRANSFER", "1" if native else "0")
    config = tmp_path / "config.toml"
    config.write_text(CLI_PROFILE)
    config.chmod(0o600)
    monkeypatch.setenv("CIRROVA_CONFIG", str(config))
    calls = []
    real = getattr(_native, entry)
    monkeypatch.setattr(_native, entry, lambda *a, **k: calls.append(1) or real(*a, **k))
    src, out = tmp_path / "src", tmp_path / ("native" if native else "python")
    src.mkdir(exist_ok=True)
    for name_, data in {"one": b"o" * 100, "two": b"t" * 300, "large": SOURCES["whole_part"] + b"L" * 1000}.items():
        (src / name_).write_bytes(data)
    store = FakeStore("s3")
    store.objects = {"big": OBJECTS["big"], "large": LARGE}
    with StoreServer(store) as server:
        status = main([arg.format(src=src, out=out) for arg in argv], transport=NativeTransport(proxy=server.url()))
        requests = sorted((r.head, r.body_sha256) for r in server.requests)
    files = sorted((str(p.relative_to(out)), p.read_bytes()) for p in out.rglob("*") if p.is_file()) \
        if out.exists() else []
    return status, requests, files, dict(store.objects), len(calls)


@pytest.mark.parametrize("name", list(CLI_COPIES))
def test_cli_cp_runs_on_the_engine_with_checksums(name, tmp_path, monkeypatch, capsys):
    """The command line's cp (checksums on by default) takes the engine and sends what the Python path sends."""
    py = _run_cli(name, False, tmp_path, monkeypatch)
    nat = _run_cli(name, True, tmp_path, monkeypatch)
    assert py[4] == 0 and nat[4] >= 1
    assert nat[0] == py[0] == 0
    assert nat[1] == py[1]
    assert nat[2] == py[2] and nat[3] == py[3]
    if name.startswith("download"):
        assert nat[2] == ([("large", LARGE)] if name == "download_large" else [("big", OBJECTS["big"])])
    else:
        sent = [head for head, _ in nat[1] if head.startswith((b"PUT", b"POST"))]
        assert all(b"\r\nContent-MD5: " in head for head in sent if head.startswith(b"PUT"))
        assert any(b"\r\nx-amz-meta-cirrova-md5: " in head for head in sent)
