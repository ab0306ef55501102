"""Files of the filesystems: reads ahead in parallel, writes as one PUT or a multipart upload."""

import io

from fsspec.spec import AbstractBufferedFile  # type: ignore[import-untyped]

from cirrova.transfer._service import Service


def require_key(key, path):
    if not key:
        raise ValueError(f"{path!r} names a bucket, not an object")


class ObjectFile(AbstractBufferedFile):
    """open("rb"): blocks read ahead in parallel while reads are sequential (ReadAhead), or fsspec's cache
    named by `cache_type`;
    open("wb"): one PUT for a small file, else a multipart upload that an error aborts."""

    def __init__(self, fs, path, mode="rb", read_ahead=False, **kwargs):
        if mode not in ("rb", "wb", "xb"):
            raise NotImplementedError(f"mode {mode!r} (objects are read, or written whole)")
        bucket, key = fs.split_path(path)
        require_key(key, path)
        if mode == "xb" and fs._head(bucket, key) is not None:
            raise FileExistsError(path)
        self.service = Service.of(fs.client(bucket))
        self.key = key
        self.upload_id = None
        self.etags = []
        super().__init__(fs, path, mode, **kwargs)
        self.read_ahead = None
        if mode == "rb" and read_ahead:
            # One request per block: the block's fetch runs in the ranges pool and must not wait on it.
            def fetch(start, end):
                return fs._get(bucket, key, (start, end))

            self.read_ahead = ReadAhead(fetch, self.size, fs._executor("ranges"),
                                        self.blocksize, 2 * fs.settings["concurrency"])
        if mode != "rb":
            # Every part but the last must reach the service's minimum.
            self.blocksize = max(self.blocksize, self.service.min_part_size)

    def _fetch_range(self, start, end):
        if self.read_ahead is not None:
            return self.read_ahead.read(start, end)
        return self.fs.cat_file(self.path, start=start, end=end)

    def close(self):
        if self.read_ahead is not None:
            self.read_ahead.blocks.clear()
        super().close()

    def _initiate_upload(self):
        pass  # deferred: a file that fits one block is sent as one PUT on close

    def _upload_chunk(self, final=False):
        self.buffer.seek(0)
        data = self.buffer.read()
        if final and self.upload_id is None:
            self.service.put(self.key, data, None, None, None, None)
            return True
        try:
            if self.upload_id is None:
                self.upload_id, demanded = self.service.initiate(self.key, None, None, None)
                self.part_size = demanded or self.blocksize
            size = self.part_size
            sent = 0
            while len(data) - sent >= size or (final and sent < len(data)):
                chunk = data[sent:sent + size]
                self.etags.append(self.service.upload_part(self.key, self.upload_id, len(self.etags), chunk,
                                                           None, None, None))
                sent += len(chunk)
            if final:
                self.service.finish(self.key, self.upload_id, self.etags, None)
                self.upload_id = None
        except BaseException:
            self._abort()
            raise
        # Bytes short of a whole part (UFile fixes the part size) wait for the next block.
        self.offset += sent
        self.buffer = io.BytesIO(data[sent:])
        self.buffer.seek(0, 2)
        return False

    def _abort(self):
        upload_id, self.upload_id = self.upload_id, None
        if upload_id is not None:
            try:
                self.service.abort(self.key, upload_id, None)
            except Exception:
                pass  # the original failure is the one to report

    def discard(self):
        self._abort()
        self.buffer = io.BytesIO()
        self.forced = True

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None and self.mode != "rb" and not self.closed:
            # A failed `with` block publishes nothing: the upload is aborted, not completed.
            self.discard()
            self.closed = True
            return None
        return super().__exit__(exc_type, exc, tb)


class ReadAhead:
    """Blocks of one object fetched ahead of a sequential reader: while reads follow each other, the next
    `window` blocks are in flight in the pool; a seek elsewhere drops them and fetches only what is asked
    until reads run in sequence again. Blocks behind the reader are let go, so memory stays at about
    `window` blocks."""

    def __init__(self, fetch, size, pool, block, window):
        self.fetch, self.size, self.pool, self.block, self.window = fetch, size, pool, block, window
        self.blocks = {}  # index -> future of its bytes
        self.next_start = 0

    def read(self, start, end):
        end = min(end, self.size)
        if start >= end:
            return b""
        block = self.block
        first, last = start // block, (end - 1) // block
        sequential = start == self.next_start or first in self.blocks
        if not sequential:
            self.blocks.clear()
        ahead = self.window if sequential else 0
        for index in range(first, min(last + 1 + ahead, (self.size - 1) // block + 1)):
            if index not in self.blocks:
                at = index * block
                self.blocks[index] = self.pool.submit(self.fetch, at, min(at + block, self.size))
        parts = [self.blocks[index].result() for index in range(first, last + 1)]
        for index in [i for i in self.blocks if i < last or (i == last and (last + 1) * block <= end)]:
            del self.blocks[index]
        self.next_start = end
        offset = start - first * block
        if len(parts) == 1:
            return parts[0][offset:offset + end - start]
        parts[0] = memoryview(parts[0])[offset:]
        parts[-1] = memoryview(parts[-1])[:end - last * block]
        return b"".join(parts)
