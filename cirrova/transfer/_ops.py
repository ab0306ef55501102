"""download, upload and copy of one object: plan the parts, run them on the pool, clean up on failure."""

import base64
import hashlib
import os
from functools import partial

from . import _native
from ._checks import DEFAULT_PART_SIZE, check_callback, check_int, check_key, check_upload_options
from ._engine import NEVER, Retry, TransferError, attempt, drive, status_error
from ._files import PassThrough, Source, TempFile, open_sink, target_path
from ._service import Service
from ._stream import Expect

#: The cancel flag of requests made on the caller's thread (an interrupt reaches them directly).
_CALLER = NEVER


class Progress:
    """Calls callback(part_index, total_parts, bytes_done, total_bytes) on the caller's thread."""

    def __init__(self, callback, total_parts=-1, total_bytes=-1):
        self.callback, self.total_parts, self.total_bytes = callback, total_parts, total_bytes
        self.done, self.last, self.reported = 0, 0, None

    def set_totals(self, total_parts, total_bytes):
        self.total_parts, self.total_bytes = total_parts, total_bytes

    def add(self, index, nbytes):
        self.done += nbytes
        self.last = index
        if self.callback:
            self.reported = (self.total_parts, self.done, self.total_bytes)
            self.callback(index, self.total_parts, self.done, self.total_bytes)

    def finish(self):
        """Repeats the last call when the totals became known only after it (a stream's end)."""
        if self.callback and self.reported != (self.total_parts, self.done, self.total_bytes):
            self.reported = (self.total_parts, self.done, self.total_bytes)
            self.callback(self.last, self.total_parts, self.done, self.total_bytes)


def md5_base64(data):
    return base64.b64encode(hashlib.md5(data).digest()).decode("ascii")


def with_md5_metadata(service, headers, md5):
    """`headers` plus the checksum metadata carrying `md5` (Base64), unless the caller set it or md5 is None."""
    if not md5:
        return headers
    merged = dict(headers) if headers else {}
    name = service.md5_header
    if not any(k.lower() == name.lower() for k in merged):
        merged[name] = md5
    return merged


def verify(sink, key, expected, got=None):
    """Fails a download whose bytes are not the object's recorded MD5, before the rename: the target stays
    as it was. `got` is the MD5 already taken, else the file is read back; a device or pipe written through
    (no file to read back) is not checked."""
    if not expected or (got is None and not hasattr(sink, "md5")):
        return
    got = got if got is not None else sink.md5()
    if got != expected:
        raise TransferError(f"下载 {key} 失败: 收到内容的 MD5 为 {got}, 而对象的 MD5 是 {expected}; 目标文件未改动")


class PartsDigest:
    """The MD5 of a download taken on the caller's thread while the workers fetch: a part is read back from
    the temporary file as soon as it and every part before it are written, so the check leaves little to
    read after the last part arrives."""

    _CHUNK = 1024 * 1024

    def __init__(self, path, part_size):
        self.fd = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))
        self.part_size = part_size
        self.written, self.next = set(), 0
        self.md5 = hashlib.md5()

    def part_done(self, index, _result):
        self.written.add(index)
        while self.next in self.written:
            self.written.discard(self.next)
            offset, end = self.next * self.part_size, (self.next + 1) * self.part_size
            while offset < end:
                chunk = os.pread(self.fd, min(self._CHUNK, end - offset), offset)
                if not chunk:
                    break  # the last part ends before a whole part size
                self.md5.update(chunk)
                offset += len(chunk)
            self.next += 1

    def hexdigest(self):
        return self.md5.hexdigest()

    def close(self):
        fd, self.fd = self.fd, None
        if fd is not None:
            os.close(fd)


def fetch(service, key, start, end, size, etag, timeout, cancel, sink=None):
    """Bytes start..end of the object (the whole of an empty one when start is None), checked against
    the status, Content-Range, length and ETag that a sound reply must have before its body is read;
    retried as attempt() says. With a `sink` the bytes are written to it at their offsets as they arrive
    and None is returned; without, they are returned."""
    what = f"下载 {key} 的字节 {start}-{end}" if start is not None else f"下载 {key}"
    expected = size if start is None else end - start + 1

    def check(response, expect):
        status = response.status_code
        if status == 412:
            raise TransferError(f"{what} 失败: 412 对象在下载期间已被替换 (If-Match {etag})", 412)
        whole = start is None or (start == 0 and end == size - 1 and status == 200)
        if status != (200 if whole else 206):
            raise status_error(response, what)
        if not whole:
            got = service.content_range(response)
            if got is None or got[:2] != (start, end) or got[2] not in (size, None):
                raise TransferError(f"{what} 失败: Content-Range 为 {response.headers.get('Content-Range')!r:.100}, "
                                    f"应为 bytes {start}-{end}/{size}", status)
        replied = response.headers.get("ETag")
        if etag and replied and replied.strip('" ') != etag.strip('" '):
            raise TransferError(f"{what} 失败: 对象在下载期间已被替换 (ETag {replied:.100}, 原为 {etag})", status)
        length = response.headers.get("Content-Length")
        if length is not None and length.strip() != str(expected):
            raise Retry(TransferError(f"{what} 失败: Content-Length 为 {length!r:.40}, 应为 {expected}", status))
        if sink is None:  # memory for the body only once the reply is known to be the one asked for
            expect.body = bytearray(expected)
            expect.consume = partial(_fill, expect.body)

    def send():
        base = 0 if start is None else start
        consume = None if sink is None else lambda offset, chunk: sink.write_at(base + offset, chunk)
        expect = Expect(check, expected, consume, cancel)
        response = service.get(key, start, end, etag, timeout, expect)
        if expect.received != expected:
            raise Retry(TransferError(f"{what} 失败: 收到 {expect.received} 字节, 应为 {expected} 字节",
                                      response.status_code))
        return expect.body

    return attempt(cancel, send)


def _fill(buffer, offset, chunk):
    buffer[offset:offset + len(chunk)] = chunk


def request_span(part_size):
    """Bytes asked for in one ranged GET: half a part. The HTTP client holds a body twice for a moment
    (the pieces that arrived and their join), so two requests per part keep a worker within one part."""
    return max(1, part_size // 2)


def _download_part(service, key, start, end, size, etag, timeout, part_size, sink, job):
    if start is None:  # an empty object
        fetch(service, key, None, None, 0, etag, timeout, job.cancel)
        job.progress(0)
        return 0
    span = request_span(part_size)
    for first in range(start, end + 1, span):
        fetch(service, key, first, min(first + span, end + 1) - 1, size, etag, timeout, job.cancel, sink)
    job.progress(end - start + 1)
    return end - start + 1


def download(client, key, local_path, *, part_size=DEFAULT_PART_SIZE, concurrency=8, callback=None, timeout=None,
             checksum=False):
    """Downloads `key` into `local_path` in parallel byte ranges; returns the number of bytes written.

    The bytes go into a temporary file beside `local_path`, renamed over it only when all are there. A
    `local_path` that is a device or a named pipe is written through instead, in order, one part at a time.
    `checksum` checks the file first against the object's MD5 (its ETag where that is one, else the checksum
    metadata that checksummed uploads write); a mismatch fails and leaves `local_path` untouched.
    """
    service = Service.of(client)
    check_key(key)
    check_int(part_size, "part_size", 1)
    check_int(concurrency, "concurrency", 1)
    check_callback(callback)
    path = target_path(local_path)

    size, etag, _, md5 = attempt(_CALLER, lambda: service.head(key, timeout))
    native = _native.download(client, service, key, path, size, etag, part_size, concurrency, callback, timeout,
                              md5 if checksum else None)
    if native is not None:
        return native
    total_parts = max(1, -(-size // part_size))
    progress = Progress(callback, total_parts, size)

    def jobs():
        if size == 0:
            yield 0, partial(_download_part, service, key, None, None, 0, etag, timeout, part_size, sink)
            return
        for index in range(total_parts):
            start = index * part_size
            end = min(start + part_size, size) - 1
            yield index, partial(_download_part, service, key, start, end, size, etag, timeout, part_size, sink)

    with open_sink(path) as sink:
        digest = PartsDigest(sink.temp, part_size) if checksum and md5 and isinstance(sink, TempFile) else None
        try:
            drive(1 if isinstance(sink, PassThrough) else concurrency, jobs(), on_progress=progress.add,
                  on_done=digest.part_done if digest else None)
            if digest is not None:
                verify(sink, key, md5, digest.hexdigest())
        finally:
            if digest is not None:
                digest.close()
        sink.commit()
    return size


def upload(client, source, key, *, part_size=DEFAULT_PART_SIZE, concurrency=8, callback=None, content_type=None,
           headers=None, timeout=None, checksum=False):
    """Uploads `source` (a path, a bytes-like object or a readable binary file, read from its current
    position without seeking) to `key`; returns the object's ETag without quotes.

    A source of at most one part goes up in one request; a larger one as a multipart upload with up to
    `concurrency` parts in flight, aborted if anything fails. `checksum` sends Content-MD5 with every request
    and stores the MD5 of the whole content as user metadata ("cirrova-md5"), where it is known before the
    upload starts (always for paths and bytes; a stream larger than one part goes without it).
    """
    service = Service.of(client)
    check_key(key)
    check_int(part_size, "part_size", service.min_part_size)
    check_int(concurrency, "concurrency", 1)
    check_callback(callback)
    check_upload_options(content_type, headers)
    native = _native.upload(client, service, source, key, part_size, concurrency, callback, content_type, headers,
                            timeout, checksum)
    if native is not None:
        return native
    src = Source(source)
    try:
        check_part_count(service, src.size, part_size)
        progress = Progress(callback)
        return send_source(service, src, key, part_size, partial(drive, concurrency), progress, _CALLER,
                           content_type, headers, timeout, checksum)
    finally:
        src.close()


def check_part_count(service, size, part_size):
    if size is not None and service.max_parts and -(-size // part_size) > service.max_parts:
        raise ValueError(f"part_size {part_size} 太小: {size} 字节需要超过 {service.max_parts} 个分片")


def send_source(service, src, key, part_size, run, progress, cancel, content_type, headers, timeout, checksum):
    """The upload of one source: one PUT, or a multipart upload whose parts `run` executes."""
    first = src.read(part_size)
    if len(first) < part_size or src.at_end():
        return _put_whole(service, key, first, progress, cancel, content_type, headers, timeout, checksum)
    if checksum:
        headers = with_md5_metadata(service, headers, src.whole_md5())
    upload_id, blk_size = attempt(cancel, lambda: service.initiate(key, content_type, headers, timeout))
    try:
        if blk_size and blk_size != part_size:
            src.unread(first)  # the service decides the part size
            part_size, first = blk_size, None
        pending, first = [first] if first is not None else [], None  # held by the job only, once sent
        etags = {}

        def jobs():
            index = 0
            while True:
                chunk = pending.pop() if pending else src.read(part_size)
                if not chunk and index:  # a stream that ended on a part boundary
                    progress.set_totals(index, src.read_bytes)
                    return
                if service.max_parts and index >= service.max_parts:
                    raise TransferError(f"上传 {key} 失败: 超过 {service.max_parts} 个分片, 请增大 part_size")
                last = len(chunk) < part_size or src.exhausted()
                if src.size is not None:
                    progress.set_totals(max(1, -(-src.size // part_size)), src.size)
                yield index, partial(_upload_part, service, key, upload_id, index, chunk, content_type, checksum,
                                     timeout)
                chunk = None  # at most `concurrency` parts are in memory
                if last:
                    return
                index += 1

        def on_done(index, etag):
            etags[index] = etag

        run(jobs(), on_progress=progress.add, on_done=on_done)
        progress.finish()
        return attempt(cancel, lambda: service.finish(key, upload_id, [etags[i] for i in range(len(etags))],
                                                      timeout))
    except BaseException as exc:
        abort(service, key, upload_id, timeout, exc)
        raise


def _put_whole(service, key, data, progress, cancel, content_type, headers, timeout, checksum):
    progress.set_totals(1, len(data))
    md5 = md5_base64(data) if checksum else None
    headers = with_md5_metadata(service, headers, md5)
    etag = attempt(cancel, lambda: service.put(key, data, content_type, md5, headers, timeout))
    progress.add(0, len(data))
    return etag


def _upload_part(service, key, upload_id, index, chunk, content_type, checksum, timeout, job):
    md5 = md5_base64(chunk) if checksum else None
    etag = attempt(job.cancel, lambda: service.upload_part(key, upload_id, index, chunk, content_type, md5, timeout))
    job.progress(len(chunk))
    return etag


def abort(service, key, upload_id, timeout, cause):
    """Aborts a multipart upload after a failure; a failing abort becomes a note on the cause."""
    try:
        attempt(_CALLER, lambda: service.abort(key, upload_id, timeout))
    except Exception as exc:
        cause.add_note(f"放弃分片上传 {upload_id} 也失败了: {exc!r}")


def copy(src_client, src_key, dst_client, dst_key, *, part_size=DEFAULT_PART_SIZE, concurrency=8, callback=None,
         timeout=None, checksum=False, headers=None):
    """Copies an object between any two clients through memory: each part is read as a byte range of
    the source and sent as a part of the destination, up to `concurrency` at once. Returns the new ETag.
    `headers` go with the destination's PUT or multipart initiation (metadata, for instance)."""
    src, dst = Service.of(src_client), Service.of(dst_client)
    check_key(src_key, "src_key")
    check_key(dst_key, "dst_key")
    check_int(part_size, "part_size", dst.min_part_size)
    check_int(concurrency, "concurrency", 1)
    check_callback(callback)
    check_upload_options(None, headers)

    size, etag, content_type, known = attempt(_CALLER, lambda: src.head(src_key, timeout))
    check_part_count(dst, size, part_size)
    # The engine sends no headers of the caller's.
    native = None if headers else _native.copy(src_client, src, src_key, dst_client, dst, dst_key, size, etag,
                                               content_type, part_size, concurrency, callback, timeout, checksum,
                                               known)
    if native is not None:
        return native
    progress = Progress(callback)
    if size <= part_size:
        body = fetch(src, src_key, 0 if size else None, size - 1 if size else None, size, etag, timeout, _CALLER)
        md5 = md5_base64(body) if checksum else None
        if md5 and known and base64.b64decode(md5).hex() != known:
            raise TransferError(f"复制 {src_key} 失败: 读到内容的 MD5 为 {base64.b64decode(md5).hex()}, "
                                f"而对象的 MD5 是 {known}")
        headers = with_md5_metadata(dst, headers, md5)
        new_etag = attempt(_CALLER, lambda: dst.put(dst_key, body, content_type, md5, headers, timeout))
        progress.set_totals(1, size)
        progress.add(0, size)
        return new_etag

    headers = with_md5_metadata(dst, headers, base64.b64encode(bytes.fromhex(known)).decode() if checksum and known
                                else None)
    upload_id, blk_size = attempt(_CALLER, lambda: dst.initiate(dst_key, content_type, headers, timeout))
    try:
        part_size = blk_size or part_size
        total_parts = -(-size // part_size)
        progress.set_totals(total_parts, size)
        etags = [None] * total_parts

        def move(index, job):
            start = index * part_size
            end = min(start + part_size, size) - 1
            body = fetch(src, src_key, start, end, size, etag, timeout, job.cancel)
            md5 = md5_base64(body) if checksum else None
            part_etag = attempt(job.cancel, lambda: dst.upload_part(dst_key, upload_id, index, body, None, md5,
                                                                    timeout))
            job.progress(len(body))
            return part_etag

        def on_done(index, part_etag):
            etags[index] = part_etag

        drive(concurrency, ((i, partial(move, i)) for i in range(total_parts)), on_progress=progress.add,
              on_done=on_done)
        return attempt(_CALLER, lambda: dst.finish(dst_key, upload_id, etags, timeout))
    except BaseException as exc:
        abort(dst, dst_key, upload_id, timeout, exc)
        raise


