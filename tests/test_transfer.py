"""cirrova.transfer against fakes of the services: request shapes, sources, copies, progress and failures."""

import os
import random
import threading

import httpx
import pytest

from cirrova import transfer
from cirrova.transfer import _engine
from sigint import python_handler
from transfer_fakes import FakeStore, MiB, etag_of

DIALECTS = ["s3", "cos", "oss", "ufile"]


@pytest.fixture(autouse=True)
def no_sleep(monkeypatch):
    """Back-off pauses are recorded instead of slept."""
    pauses = []
    monkeypatch.setattr(_engine, "pause", lambda delay, cancel: pauses.append(delay))
    return pauses


def data_of(size, seed=1):
    return random.Random(seed).randbytes(size)


def transfer_threads():
    return [t for t in threading.enumerate() if t.name.startswith("cirrova-transfer")]


class Recorder:
    """A progress callback that records its calls and the thread they run on."""

    def __init__(self):
        self.calls, self.threads = [], set()

    def __call__(self, *args):
        self.calls.append(args)
        self.threads.add(threading.get_ident())

    def check(self, total_parts, total_bytes):
        done = [c[2] for c in self.calls]
        assert done == sorted(done) and done[-1] == total_bytes
        assert self.calls[-1][1:] == (total_parts, total_bytes, total_bytes)
        assert sorted(c[0] for c in self.calls) == list(range(total_parts))
        assert self.threads == {threading.get_ident()}


@pytest.mark.parametrize("dialect", DIALECTS)
def test_round_trip_request_shapes_and_progress(dialect, tmp_path):
    store = FakeStore(dialect)
    client = store.client()
    data = data_of(13 * MiB + 5)
    up = Recorder()
    etag = transfer.upload(client, data, "dir/obj.bin", part_size=5 * MiB, concurrency=3, callback=up,
                           content_type="video/mp4")
    assert store.objects["dir/obj.bin"] == data and etag == etag_of(data).strip('"')
    parts = sorted(entry[2] for entry in store.log if entry[0] == "part")
    # UFile numbers its parts from 0 and sizes them by the block size it answered (4 MiB).
    assert parts == ([0, 1, 2, 3] if dialect == "ufile" else [1, 2, 3])
    up.check(len(parts), len(data))
    initiate = next(e for e in store.log if e[0] == "initiate")
    assert initiate[3]["content-type"] == "video/mp4"

    down = Recorder()
    target = tmp_path / "out.bin"
    assert transfer.download(client, "dir/obj.bin", target, part_size=4 * MiB, concurrency=4, callback=down) == len(data)
    assert target.read_bytes() == data and os.listdir(tmp_path) == ["out.bin"]
    down.check(4, len(data))
    gets = [e for e in store.log if e[0] == "get"]
    # Each part goes as two requests of half its size: the HTTP client holds a body twice while joining it.
    assert sorted(e[3]["range"] for e in gets) == sorted(
        f"bytes={s}-{min(s + 2 * MiB, len(data)) - 1}" for s in range(0, len(data), 2 * MiB))
    # Only the protocols with conditional reads send If-Match, with head's ETag.
    assert all(e[3].get("if-match") == (None if dialect == "ufile" else etag_of(data)) for e in gets)
    assert not transfer_threads()


@pytest.mark.parametrize("size", [0, 1, 5 * MiB])
def test_small_sources_go_in_one_request(size, tmp_path):
    store = FakeStore("s3")
    client = store.client()
    rec = Recorder()
    data = data_of(size)
    md5 = transfer.upload(client, data, "k", part_size=5 * MiB, callback=rec, checksum=True)
    assert [e[0] for e in store.log] == ["put"] and store.objects["k"] == data
    assert md5 == etag_of(data).strip('"') and "content-md5" in store.log[0][3]
    rec.check(1, size)
    assert transfer.download(client, "k", tmp_path / "k") == size and (tmp_path / "k").read_bytes() == data


def test_path_source_and_file_read_from_its_position(tmp_path):
    store = FakeStore("oss")
    client = store.client()
    data = data_of(11 * MiB)
    path = tmp_path / "src.bin"
    path.write_bytes(data)
    transfer.upload(client, str(path), "from-path", part_size=5 * MiB)
    assert store.objects["from-path"] == data
    assert not any("content-md5" in e[3] for e in store.log)
    del store.log[:]
    with open(path, "rb") as f:
        f.seek(1000)
        transfer.upload(client, f, "from-file", part_size=5 * MiB, checksum=True)
        assert f.tell() == len(data)
    assert store.objects["from-file"] == data[1000:]
    assert all("content-md5" in e[3] for e in store.log if e[0] == "part")


def test_seekless_stream_of_unknown_size():
    store = FakeStore("s3")
    client = store.client()
    data = data_of(12 * MiB + 3)
    read_fd, write_fd = os.pipe()

    def feed():
        with os.fdopen(write_fd, "wb") as w:
            for i in range(0, len(data), 100_000):
                w.write(data[i:i + 100_000])

    feeder = threading.Thread(target=feed)
    feeder.start()
    rec = Recorder()
    with os.fdopen(read_fd, "rb") as pipe:
        transfer.upload(client, pipe, "piped", part_size=5 * MiB, concurrency=2, callback=rec)
    feeder.join()
    assert store.objects["piped"] == data
    # Sizes are unknown (-1) until the end of the pipe has been read.
    assert rec.calls[0][1:] in ((-1, 5 * MiB, -1), (3, 5 * MiB, len(data)))
    assert rec.calls[-1][1:] == (3, len(data), len(data))


class Generated:
    """A seekless stream that makes its bytes as they are read, so only the transfer holds any."""

    def __init__(self, size):
        self.left = size

    def read(self, n=-1):
        n = self.left if n < 0 else min(n, self.left)
        self.left -= n
        return os.urandom(n)


def test_memory_held_is_bounded_by_concurrency_times_part_size(tmp_path):
    import tracemalloc

    store = FakeStore("s3")
    store.keep_parts, store.latency = False, 0.01
    client = store.client()
    bound = 3 * 5 * MiB + 16 * MiB
    tracemalloc.start()
    try:
        transfer.upload(client, Generated(40 * MiB), "k", part_size=5 * MiB, concurrency=3)
        _, peak = tracemalloc.get_traced_memory()
        assert store.max_active <= 3 and 5 * MiB < peak <= bound
        store.objects["k"] = data_of(40 * MiB)
        tracemalloc.reset_peak()
        base, _ = tracemalloc.get_traced_memory()
        transfer.download(client, "k", tmp_path / "k", part_size=5 * MiB, concurrency=3)
        _, peak = tracemalloc.get_traced_memory()
        # The lower bound only shows that the bodies were traced: parts are fetched in halves, and
        # with little overlap between workers one half may be all that is held at a time.
        assert MiB < peak - base <= bound
    finally:
        tracemalloc.stop()


def test_copy_between_buckets_and_services():
    src, dst, oss = FakeStore("s3"), FakeStore("s3"), FakeStore("oss")
    data = data_of(16 * MiB + 1)
    src.objects["a"] = data
    rec = Recorder()
    etag = transfer.copy(src.client(), "a", dst.client(), "b", part_size=5 * MiB, concurrency=4, callback=rec)
    assert dst.objects["b"] == data and etag == etag_of(data).strip('"')
    rec.check(4, len(data))
    assert transfer.copy(src.client(), "a", oss.client(), "c/d", part_size=6 * MiB) and oss.objects["c/d"] == data
    assert all(e[3]["if-match"] == etag_of(data) for e in src.log if e[0] == "get")
    ufile = FakeStore("ufile")
    transfer.copy(src.client(), "a", ufile.client(), "e", part_size=5 * MiB)
    assert ufile.objects["e"] == data and ufile.count("part") == 5  # its own 4 MiB block size


def test_retry_succeeds_on_third_attempt_honouring_retry_after(no_sleep, tmp_path):
    store = FakeStore("s3")
    client = store.client()
    data = data_of(12 * MiB)
    store.fail("part", 2, (503, {"Retry-After": "3"}), httpx.ConnectError("reset"))
    transfer.upload(client, data, "k", part_size=5 * MiB)
    assert store.objects["k"] == data and store.count("part") == 5
    assert len(no_sleep) == 2 and no_sleep[0] >= 3 and no_sleep[1] < 3
    store.fail("get", 0, 500, 429)
    store.fail("head", None, 502)
    store.short_at = {5 * MiB: 1}  # a reply one byte short is asked for again
    assert transfer.download(client, "k", tmp_path / "k", part_size=10 * MiB) == len(data)
    assert (tmp_path / "k").read_bytes() == data and len(no_sleep) == 6
    assert [e[3]["range"] for e in store.log if e[0] == "get" and e[2] == 5 * MiB] == ["bytes=5242880-10485759"] * 2


def fail_download(store, tmp_path, **kw):
    target = tmp_path / "target"
    target.write_bytes(b"previous content")
    with pytest.raises(transfer.TransferError) as info:
        transfer.download(store.client(), "k", target, part_size=4 * MiB, concurrency=2, **kw)
    assert target.read_bytes() == b"previous content" and os.listdir(tmp_path) == ["target"]
    assert not transfer_threads()
    return info.value


def test_download_failures_leave_the_target_as_it_was(tmp_path):
    store = FakeStore("s3")
    store.objects["k"] = data_of(10 * MiB)
    store.bad_range_at = 4 * MiB
    assert "Content-Range" in str(fail_download(store, tmp_path))

    store = FakeStore("s3")
    store.objects["k"] = data_of(10 * MiB)
    store.replace_after = (1, b"new content")
    assert fail_download(store, tmp_path).status_code == 412

    store = FakeStore("ufile")  # no If-Match: the ETag of the reply gives the replacement away
    store.objects["k"] = data_of(10 * MiB)
    store.replace_after = (1, data_of(10 * MiB, seed=2))
    assert "替换" in str(fail_download(store, tmp_path))

    store = FakeStore("oss")
    store.objects["k"] = data_of(10 * MiB)
    store.ignore_range = True  # 200 with the whole object is not a range
    assert fail_download(store, tmp_path).status_code == 200

    store = FakeStore("s3")
    store.objects["k"] = data_of(10 * MiB)
    store.fail("get", 8 * MiB, 500, 500, 500, 500)
    assert fail_download(store, tmp_path).status_code == 500
    assert sum(1 for e in store.log if e[0] == "get" and e[2] == 8 * MiB) == 4


@pytest.mark.parametrize("dialect", ["s3", "oss", "ufile"])
def test_failed_upload_aborts(dialect):
    store = FakeStore(dialect)
    store.fail("part", 1, 403)
    with pytest.raises(transfer.TransferError) as info:
        transfer.upload(store.client(), data_of(21 * MiB), "k", part_size=5 * MiB, concurrency=2)
    assert info.value.status_code == 403
    assert store.aborted == ["up-1"] and "k" not in store.objects and not store.uploads
    assert not transfer_threads()


def test_first_failure_raised_with_later_ones_as_notes():
    store = FakeStore("s3")
    both_sent = threading.Barrier(2)

    def part(request, key, query):  # both parts fail only once both are in flight
        store.lock.release()
        try:
            both_sent.wait(5)
        finally:
            store.lock.acquire()
        return httpx.Response({"1": 400, "2": 404}[query["partNumber"]])

    store.part = part
    with pytest.raises(transfer.TransferError) as info:
        transfer.upload(store.client(), data_of(10 * MiB), "k", part_size=5 * MiB, concurrency=2)
    assert info.value.status_code in (400, 404)
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == 1 and ("404" in notes[0]) == (info.value.status_code == 400)
    assert store.aborted == ["up-1"]


def test_finish_failure_and_failing_abort_both_reported():
    store = FakeStore("oss")
    store.fail("finish", None, 400)
    store.fail("abort", None, 403)
    with pytest.raises(transfer.TransferError) as info:
        transfer.upload(store.client(), data_of(11 * MiB), "k", part_size=5 * MiB)
    assert info.value.status_code == 400 and "up-1" in info.value.__notes__[0]


def test_bad_input_rejected_before_any_request(tmp_path):
    store = FakeStore("s3")
    client = store.client()
    huge = tmp_path.parent / (tmp_path.name + "-sparse")
    with open(huge, "wb") as f:  # more parts than the protocol allows, without the disk space
        f.truncate(10000 * 5 * MiB + 1)
    cases = [
        (ValueError, "concurrency", lambda: transfer.download(client, "k", tmp_path / "x", concurrency=0)),
        (ValueError, "part_size", lambda: transfer.upload(client, b"x", "k", part_size=5 * MiB - 1)),
        (ValueError, "part_size", lambda: transfer.copy(client, "a", client, "b", part_size=MiB)),
        (ValueError, "key", lambda: transfer.upload(client, b"x", "")),
        (ValueError, "dst_key", lambda: transfer.copy(client, "a", client, "")),
        (ValueError, "key", lambda: transfer.download_many(client, [("a", tmp_path / "a"), ("", tmp_path / "b")])),
        (IsADirectoryError, "目录", lambda: transfer.download(client, "k", tmp_path)),
        (ValueError, "part_size", lambda: transfer.upload(client, huge, "k", part_size=5 * MiB)),
        (TypeError, "client", lambda: transfer.download(object(), "k", tmp_path / "x")),
        (TypeError, "source", lambda: transfer.upload(client, 42, "k")),
        (FileNotFoundError, "missing", lambda: transfer.upload(client, tmp_path / "missing", "k")),
    ]
    for kind, word, call in cases:
        with pytest.raises(kind, match=word):
            call()
    assert store.log == [] and os.listdir(tmp_path) == []
    # UFile takes its part size from the service, so any size is accepted there.
    assert transfer.upload(FakeStore("ufile").client(), b"x", "k", part_size=1)


def test_interrupt_in_the_callers_thread_cleans_up(tmp_path):
    store = FakeStore("s3")
    client = store.client()

    def interrupt(index, *rest):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        transfer.upload(client, data_of(40 * MiB), "k", part_size=5 * MiB, concurrency=2, callback=interrupt)
    assert store.aborted == ["up-1"] and "k" not in store.objects and not transfer_threads()
    assert store.count("part") <= 4  # the workers stopped instead of sending all 8 parts

    store.objects["k"] = data_of(40 * MiB)
    with pytest.raises(KeyboardInterrupt):
        transfer.download(client, "k", tmp_path / "k", part_size=5 * MiB, concurrency=2, callback=interrupt)
    assert os.listdir(tmp_path) == [] and not transfer_threads()
    assert store.count("get") <= 4


def test_signal_interrupt_while_parts_are_in_flight(tmp_path):
    """A real SIGINT (Ctrl-C) reaches the caller's thread while workers wait on the service."""
    import _thread

    store = FakeStore("s3")
    store.objects["k"] = data_of(20 * MiB)
    release = threading.Event()
    original = store.get

    def get(request, key, query):
        if request.headers["range"].startswith("bytes=0-"):
            _thread.interrupt_main()
        store.lock.release()
        try:
            release.wait(1.0)  # the part takes a while; the interrupt lands meanwhile
        finally:
            store.lock.acquire()
        return original(request, key, query)

    store.get = get
    with python_handler(), pytest.raises(KeyboardInterrupt):
        transfer.download(store.client(), "k", tmp_path / "k", part_size=5 * MiB, concurrency=2)
    assert os.listdir(tmp_path) == []
    # A worker inside a request that cannot be aborted (a MockTransport handler) is left behind; once it
    # returns, it writes nothing and starts nothing.
    release.set()
    for thread in transfer_threads():
        thread.join(30)
    assert os.listdir(tmp_path) == [] and not transfer_threads()
    assert store.count("get") <= 2  # the parts in flight; no new one started


def test_batches_report_per_item_and_keep_going(tmp_path):
    store = FakeStore("oss")
    client = store.client()
    blobs = {f"o{i}": data_of(i * 70_000, seed=i) for i in range(12)}
    blobs["big"] = data_of(11 * MiB)
    rec = Recorder()
    items = [(data, key) for key, data in blobs.items()] + [(b"x", "denied")]
    original = store.put

    def put(request, key, query):
        return httpx.Response(403) if key == "denied" else original(request, key, query)

    store.put = put
    results = transfer.upload_many(client, items, concurrency=4, part_size=5 * MiB, callback=rec)
    assert [r.item for r in results] == items
    assert [r.ok for r in results] == [True] * 13 + [False]
    assert results[-1].value.status_code == 403 and results[0].value == etag_of(b"").strip('"')
    assert all(store.objects[k] == v for k, v in blobs.items())
    total = sum(map(len, blobs.values()))
    assert rec.calls[-1][1:] == (14, total, total) and rec.threads == {threading.get_ident()}

    wanted = [(key, tmp_path / key) for key in blobs] + [("missing", tmp_path / "missing")]
    rec = Recorder()
    results = transfer.download_many(client, wanted, concurrency=4, part_size=5 * MiB, callback=rec)
    assert [r.ok for r in results] == [True] * 13 + [False] and results[-1].value.status_code == 404
    assert all((tmp_path / k).read_bytes() == v for k, v in blobs.items())
    assert not (tmp_path / "missing").exists() and len(os.listdir(tmp_path)) == 13
    assert [r.value for r in results[:13]] == [len(v) for v in blobs.values()]
    assert rec.calls[-1][2:] == (total, total)
    # Small objects cost one ranged GET each, no head; the empty one a 416 and a head.
    assert store.count("head") == 1 and store.count("get") == 12 + 5 + 1  # 11 MiB in 2.5 MiB ranges


def test_batch_download_takes_a_whole_object_answer_once(tmp_path):
    store = FakeStore("s3")
    store.objects["big"] = data = data_of(7 * MiB)
    store.ignore_range = True  # a service that answers a range with 200 and the whole object
    [result] = transfer.download_many(store.client(), [("big", tmp_path / "big")], part_size=5 * MiB)
    assert result.ok and result.value == len(data) and (tmp_path / "big").read_bytes() == data
    assert store.count("get") == 1
    # The same from download: a range over the whole object may come back as 200.
    assert transfer.download(store.client(), "big", tmp_path / "one", part_size=20 * MiB) == len(data)
    assert (tmp_path / "one").read_bytes() == data
