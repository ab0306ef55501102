"""Batches: many objects at once, one worker per object, the parts of each object one after another."""

import os
from collections import namedtuple
from functools import partial

from . import _native
from ._checks import DEFAULT_PART_SIZE, check_callback, check_int, check_key, check_pair, check_upload_options
from ._engine import EXCERPT, Cancelled, Retry, TransferError, attempt, drive, run_inline, status_error
from ._files import Source, open_sink, target_path
from ._ops import check_part_count, fetch, request_span, send_source, verify
from ._service import Service
from ._stream import Expect

#: One result per item: the item as given, whether it succeeded, and the bytes or ETag, or the exception.
ItemResult = namedtuple("ItemResult", "item ok value")


class BatchProgress:
    """Bytes over all items: callback(item_index, item_count, bytes_done, total_bytes) on the caller's thread.

    total_bytes is -1 until every size is known; the last call has bytes_done == total_bytes (the bytes
    actually moved, when some item failed).
    """

    def __init__(self, callback, count, total_bytes=-1):
        self.callback, self.count, self.total_bytes = callback, count, total_bytes
        self.done, self.last = 0, 0

    def add(self, index, nbytes):
        self.done += nbytes
        self.last = index
        if self.callback:
            self.callback(index, self.count, self.done, self.total_bytes)

    def finish(self):
        if self.callback and self.count and self.total_bytes != self.done:
            self.total_bytes = self.done
            self.callback(self.last, self.count, self.done, self.done)


def _guarded(fn, job):
    """One item: its failure is its result, so the batch goes on; only cancellation stops the batch."""
    try:
        return True, fn(job)
    except Cancelled:
        raise
    except Exception as exc:
        return False, exc


def _download_item(service, key, path, part_size, timeout, checksum, job):
    # No head: the first range tells the size and the ETag, so a small object costs one request.
    span = request_span(part_size)
    with open_sink(path, job.cancel) as sink:
        first = attempt(job.cancel, partial(_first_range, service, key, span, timeout, sink, job.cancel))
        size, etag, have, md5 = first
        if size is None:  # a range of an empty object
            size, _, _, md5 = attempt(job.cancel, lambda: service.head(key, timeout))
            if size != 0:
                raise TransferError(f"下载 {key} 失败: 416, 而对象有 {size} 字节", 416)
            size = have = 0
        job.progress(have)
        for start in range(have, size, span):  # nothing left when the service sent the whole object
            end = min(start + span, size) - 1
            fetch(service, key, start, end, size, etag, timeout, job.cancel, sink)
            job.progress(end - start + 1)
        if checksum:
            verify(sink, key, md5)
        sink.commit()
    return size


def _first_range(service, key, span, timeout, sink, cancel):
    """The object's first `span` bytes into `sink`; returns (size, ETag, bytes written, the content's MD5 as
    the reply tells it or None), size None for a 416 (a range of an empty object). A 200 is the whole
    object, written as it arrives."""
    what = f"下载 {key}"
    found = {}

    def check(response, expect):
        status = response.status_code
        if status == 416:
            expect.limit, expect.consume = EXCERPT, _ignore
            return
        if status not in (200, 206):
            raise status_error(response, what)
        found["md5"] = service.known_md5(response.headers)
        length = response.headers.get("Content-Length")
        length = int(length) if length is not None and length.strip().isdigit() else None
        if status == 200:  # the service sent the whole object
            found["size"], expect.limit = length, length
            return
        got = service.content_range(response)
        if got is None or got[0] != 0 or got[2] is None or got[1] != min(span, got[2]) - 1 \
                or length not in (None, got[1] + 1):
            raise TransferError(f"{what} 失败: Content-Range {response.headers.get('Content-Range')!r:.100} "
                                f"与 Content-Length {length} 不符", 206)
        found["size"], found["etag"], expect.limit = got[2], response.headers.get("ETag"), got[1] + 1

    expect = Expect(check, span, sink.write_at, cancel)
    response = service.get(key, 0, span - 1, None, timeout, expect)
    if response.status_code == 416:
        return None, None, 0, None
    size = found["size"] if found["size"] is not None else expect.received
    if expect.received != (expect.limit if expect.limit is not None else size):
        raise Retry(TransferError(f"{what} 失败: 收到 {expect.received} 字节, 应为 {expect.limit} 字节",
                                  response.status_code))
    return size, found.get("etag"), expect.received, found.get("md5")


def _ignore(offset, chunk):
    pass


def download_many(client, items, *, concurrency=16, callback=None, part_size=DEFAULT_PART_SIZE, timeout=None,
                  checksum=False):
    """Downloads (key, local_path) items, up to `concurrency` objects at once. Returns one ItemResult per
    item in the order given; a failed item does not stop the others. `checksum` checks each as download does."""
    service = Service.of(client)
    check_int(concurrency, "concurrency", 1)
    check_int(part_size, "part_size", 1)
    check_callback(callback)
    items = list(items)
    plan, modes = [], []
    for item in items:
        key, local_path = check_pair(item, "items")
        check_key(key)
        plan.append((key, target_path(local_path, modes)))

    native = _native.download_many(client, service, plan, concurrency, callback, part_size, timeout, checksum,
                                   modes)
    if native is not None:
        return [ItemResult(item, ok, value) for item, (ok, value) in zip(items, native)]
    results = [None] * len(items)
    progress = BatchProgress(callback, len(items))

    def on_done(index, outcome):
        results[index] = ItemResult(items[index], *outcome)

    jobs = ((i, partial(_guarded, partial(_download_item, service, key, path, part_size, timeout, checksum)))
            for i, (key, path) in enumerate(plan))
    drive(concurrency, jobs, on_progress=progress.add, on_done=on_done)
    progress.finish()
    return results


class _ItemProgress:
    """The progress of one item of a batch, forwarded to the batch as bytes."""

    def __init__(self, job):
        self.job = job

    def set_totals(self, total_parts, total_bytes):
        pass

    def finish(self):
        pass

    def add(self, index, nbytes):
        self.job.progress(nbytes)


def _upload_item(service, source, key, part_size, content_type, headers, timeout, checksum, job):
    src = Source(source)
    try:
        check_part_count(service, src.size, part_size)
        return send_source(service, src, key, part_size, partial(run_inline, job.cancel), _ItemProgress(job),
                           job.cancel, content_type, headers, timeout, checksum)
    finally:
        src.close()


def upload_many(client, items, *, concurrency=16, callback=None, part_size=DEFAULT_PART_SIZE, content_type=None,
                headers=None, timeout=None, checksum=False):
    """Uploads (source, key) items, up to `concurrency` objects at once. Returns one ItemResult per item
    in the order given (the value is the ETag); a failed item does not stop the others."""
    service = Service.of(client)
    check_int(concurrency, "concurrency", 1)
    check_int(part_size, "part_size", service.min_part_size)
    check_callback(callback)
    check_upload_options(content_type, headers)
    items = list(items)
    for item in items:
        source, key = check_pair(item, "items")
        Source.check(source)
        check_key(key)

    sizes = [_known_size(source) for source, _ in items]
    total = sum(sizes) if None not in sizes else -1
    native = _native.upload_many(client, service, items, part_size, concurrency, callback, content_type, headers,
                                 timeout, checksum, total)
    if native is not None:
        return [ItemResult(item, ok, value) for item, (ok, value) in zip(items, native)]
    results = [None] * len(items)
    progress = BatchProgress(callback, len(items), total)

    def on_done(index, outcome):
        results[index] = ItemResult(items[index], *outcome)

    jobs = ((i, partial(_guarded, partial(_upload_item, service, source, key, part_size, content_type, headers,
                                          timeout, checksum)))
            for i, (source, key) in enumerate(items))
    drive(concurrency, jobs, on_progress=progress.add, on_done=on_done)
    progress.finish()
    return results


def _known_size(source):
    if isinstance(source, (bytes, bytearray)):
        return len(source)
    if isinstance(source, memoryview):
        return source.nbytes
    if isinstance(source, (str, os.PathLike)):
        try:
            return os.stat(source).st_size
        except OSError:
            return None
    return None
