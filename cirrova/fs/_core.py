"""The filesystem over one service: paths are "bucket/key", folders are key prefixes ending in "/"."""

import concurrent.futures
import contextlib
import hashlib
import os
import threading

from fsspec.spec import AbstractFileSystem  # type: ignore[import-untyped]

from cirrova import _connect, transfer
from cirrova._connect import raise_for as _raise_for, service_copy
from cirrova._listing import iter_pages, list_level, parse_time
from cirrova.korvex import KorvexClient
from cirrova.transfer._engine import retried
from cirrova.transfer._service import Service

from ._file import ObjectFile, require_key

MiB = 1024 * 1024
#: A ranged read larger than this is split into parallel requests of this size.
_READ_SPAN = 4 * MiB


def _make(cls, settings):
    return cls(**settings)


class ObjectFileSystem(AbstractFileSystem):
    """Base of the four filesystems. Construct with `profile="name"` (the command line's configuration file,
    `config=PATH` to name another) and/or the profile settings as keywords, plus `concurrency`, `part_size`
    and `http_client_factory` (a picklable callable returning the httpx.Client to send through)."""

    protocol: tuple[str, ...] = ()
    root_marker = ""
    scheme = ""
    #: open("rb") reads ahead in blocks of this size: while reads are sequential, 2 x `concurrency` blocks are
    #: asked for, so that the pool's threads always have the next request queued.
    default_block_size = _READ_SPAN

    def __init__(self, profile=None, *, config=None, **settings):
        resolved_already = settings.pop("_resolved", False)
        options = {k: settings.pop(k) for k in ("use_listings_cache", "listings_expiry_time", "max_paths",
                                                "skip_instance_cache", "asynchronous", "loop") if k in settings}
        super().__init__(**options)
        self.settings = dict(settings) if resolved_already else _connect.resolve(self.scheme, profile, config,
                                                                                 **settings)
        self._clients = _connect.Clients(self.settings)
        self._pool_lock = threading.Lock()
        self._pools = {}
        self._pairs = threading.local()  # the (source, target) pairs that get or put is collecting

    # Pickling carries the resolved settings, so a worker needs no configuration file.
    def __reduce__(self):
        return _make, (type(self), {**self.settings, "_resolved": True})

    # Paths ---------------------------------------------------------------------------------------------

    @classmethod
    def _strip_protocol(cls, path):
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        path = str(path)
        for proto in cls.protocol:
            if path.startswith(proto + "://"):
                path = path[len(proto) + 3:]
                break
        return path.lstrip("/").rstrip("/")

    @staticmethod
    def _get_kwargs_from_urls(path):
        return {}

    def split_path(self, path):
        path = self._strip_protocol(path)
        bucket, _, key = path.partition("/")
        return bucket, key

    def client(self, bucket):
        if not bucket:
            raise ValueError("a path needs a bucket: BUCKET/KEY")
        return self._clients.get(bucket)

    def _service(self, bucket):
        return Service.of(self.client(bucket))

    def _executor(self, kind):
        """The thread pool for whole objects ("objects") or for the ranges of one read ("ranges"): two pools,
        so that an object's task never waits on ranges queued behind other objects' tasks."""
        with self._pool_lock:
            pool = self._pools.get(kind)
            if pool is None:
                pool = self._pools[kind] = concurrent.futures.ThreadPoolExecutor(
                    self.settings["concurrency"], thread_name_prefix=f"cirrova-fs-{kind}")
            return pool

    def _options(self):
        return {"part_size": self.settings["part_size"], "concurrency": self.settings["concurrency"]}

    # Listing -------------------------------------------------------------------------------------------

    def _file_info(self, bucket, entry):
        return {"name": f"{bucket}/{entry.key}", "size": entry.size, "type": "file", "ETag": entry.etag,
                "LastModified": entry.modified}

    @staticmethod
    def _dir_info(name):
        return {"name": name, "size": 0, "type": "directory"}

    def ls(self, path, detail=True, refresh=False, **kwargs):
        path = self._strip_protocol(path)
        if not path:
            entries = self._buckets()
        else:
            entries = None if refresh else self.dircache.get(path)
            if entries is None:
                entries = self._list(path)
                self.dircache[path] = entries
        return entries if detail else sorted(e["name"] for e in entries)

    def _list(self, path):
        bucket, key = self.split_path(path)
        prefix = key + "/" if key else ""
        files, folders = list_level(self.client(bucket), prefix)
        entries = [self._dir_info(f"{bucket}/{f.rstrip('/')}") for f in folders]
        entries += [self._file_info(bucket, e) for e in files if e.key != prefix]
        if not entries and key:
            info = self._head(bucket, key)
            if info is None:
                raise FileNotFoundError(path)
            return [info]
        if not entries and not key and not self._bucket_exists(bucket):
            raise FileNotFoundError(path)
        return sorted(entries, key=lambda e: e["name"])

    def _buckets(self):
        client = self._clients.get("")  # a bucket-less client lists the account's buckets
        if not isinstance(client, KorvexClient):
            raise NotImplementedError(f"{self.scheme}:// cannot list buckets")
        return [self._dir_info(b["name"]) for b in client.list_buckets()]

    def _bucket_exists(self, bucket):
        client = self.client(bucket)
        if isinstance(client, KorvexClient):
            return client.bucket_exists(bucket)
        try:
            client.list(prefix="", limit=1)
        except Exception:
            return False
        return True

    def _head(self, bucket, key):
        response = self.client(bucket).head(key)
        if response.status_code == 404:
            return None
        _raise_for(response, f"{bucket}/{key}")
        headers = response.headers
        return {"name": f"{bucket}/{key}", "size": int(headers.get("Content-Length", 0)), "type": "file",
                "ETag": headers.get("ETag", "").strip('"'), "LastModified": parse_time(headers.get("Last-Modified")),
                "ContentType": headers.get("Content-Type")}

    def info(self, path, **kwargs):
        path = self._strip_protocol(path)
        if not path:
            return self._dir_info("")
        bucket, key = self.split_path(path)
        if not key:
            if self._bucket_exists(bucket):
                return self._dir_info(bucket)
            raise FileNotFoundError(path)
        cached = self.dircache.get(self._parent(path))
        if cached is not None:
            for entry in cached:
                if entry["name"] == path:
                    return entry
            raise FileNotFoundError(path)
        found = self._head(bucket, key)
        if found is not None:
            return found
        files, folders = list_level(self.client(bucket), key + "/")
        if files or folders:
            return self._dir_info(path)
        raise FileNotFoundError(path)

    def find(self, path, maxdepth=None, withdirs=False, detail=False, **kwargs):
        if maxdepth is not None:
            return super().find(path, maxdepth=maxdepth, withdirs=withdirs, detail=detail, **kwargs)
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        prefix = key + "/" if key else ""
        out = {}
        for page in iter_pages(self.client(bucket), prefix):
            for entry in page:
                if entry.key.endswith("/"):
                    continue  # a folder marker
                name = f"{bucket}/{entry.key}"
                out[name] = self._file_info(bucket, entry)
                if withdirs:
                    parent = self._parent(name)
                    while len(parent) > len(path) and parent not in out:
                        out[parent] = self._dir_info(parent)
                        parent = self._parent(parent)
        if not out and key:
            info = self._head(bucket, key)
            if info is not None:
                out[path] = info
        elif withdirs and out and path:
            out[path] = self._dir_info(path)
        if getattr(self._pairs, "list", None) is not None:
            self._pairs.sizes.update((n, i["size"]) for n, i in out.items() if i["type"] == "file")
        names = sorted(out)
        return {n: out[n] for n in names} if detail else names

    def modified(self, path):
        return self.info(path)["LastModified"]

    def ukey(self, path):
        return self.info(path)["ETag"]

    def checksum(self, path):
        return int(hashlib.md5(self.ukey(path).encode()).hexdigest(), 16)

    def sign(self, path, expiration=3600, **kwargs):
        bucket, key = self.split_path(path)
        return self.client(bucket).get_shared_url(key, int(expiration))

    def invalidate_cache(self, path=None):
        if path is None:
            self.dircache.clear()
            return
        path = self._strip_protocol(path)
        self.dircache.pop(path, None)
        while path:
            path = self._parent(path)
            self.dircache.pop(path, None)

    # Reads ---------------------------------------------------------------------------------------------

    def cat_file(self, path, start=None, end=None, **kwargs):
        bucket, key = self.split_path(path)
        if (start is not None and start < 0) or (end is not None and end < 0):
            size = self.info(path)["size"]
            start = size + start if start is not None and start < 0 else start
            end = size + end if end is not None and end < 0 else end
        if start is None and end is None:
            return self._get(bucket, key, None)
        start = max(start or 0, 0)
        if end is not None and end <= start:
            return b""
        if end is not None and end - start > _READ_SPAN:
            return self._get_parallel(bucket, key, start, end)
        return self._get(bucket, key, (start, end))

    def _get(self, bucket, key, span):
        headers = {}
        if span is not None:
            start, end = span
            headers["Range"] = f"bytes={start}-{'' if end is None else end - 1}"
        response = self.client(bucket)._download(key, headers=headers)
        if response.status_code == 416:
            return b""
        _raise_for(response, f"{bucket}/{key}", (200, 206))
        body = response.content
        if span is not None and response.status_code == 200:
            start, end = span  # a server that ignores Range sends the whole object
            body = body[start:end]
        return body

    def _get_parallel(self, bucket, key, start, end):
        spans = [(s, min(s + _READ_SPAN, end)) for s in range(start, end, _READ_SPAN)]
        parts = list(self._executor("ranges").map(lambda span: self._get(bucket, key, span), spans))
        return b"".join(parts)

    def cat(self, path, recursive=False, on_error="raise", **kwargs):
        """Many objects fetched side by side (`concurrency` at once); one path returns its bytes."""
        paths = self.expand_path(path, recursive=recursive)
        if len(paths) == 1 and not isinstance(path, list) and paths[0] == self._strip_protocol(path):
            return self.cat_file(paths[0], **kwargs)

        def one(p):
            try:
                return self.cat_file(p, **kwargs)
            except Exception as exc:
                if on_error == "raise":
                    raise
                return exc

        results = dict(zip(paths, self._executor("objects").map(one, paths)))
        if on_error == "omit":
            return {p: v for p, v in results.items() if not isinstance(v, Exception)}
        return results

    # get and put let fsspec work out the pairs of paths, collect them from get_file/put_file, and move the
    # files side by side with download_many/upload_many; whatever the batch cannot take (folders, empty
    # objects on some servers, failures) then goes one by one, so that errors are get_file's and put_file's.

    def get(self, rpath, lpath, recursive=False, callback=None, maxdepth=None, **kwargs):
        with self._collecting() as pairs:
            super().get(rpath, lpath, recursive=recursive, maxdepth=maxdepth, **kwargs)
        # The batch takes the objects the listing showed with data: folders are no downloads, and a ranged
        # read of an empty object is answered differently by different servers.
        sizes = self._pairs.sizes
        files = [(rp, lp) for rp, lp in pairs if sizes.get(self._strip_protocol(rp), 0) > 0 and not os.path.isdir(lp)]
        rest = [pair for pair in pairs if pair not in files]
        for rp, lp in self._batch(files, self._download_many) + rest:
            self.get_file(rp, lp)

    def put(self, lpath, rpath, recursive=False, callback=None, maxdepth=None, **kwargs):
        if kwargs.get("mode") == "create":
            return super().put(lpath, rpath, recursive=recursive, maxdepth=maxdepth, **kwargs)
        with self._collecting() as pairs:
            super().put(lpath, rpath, recursive=recursive, maxdepth=maxdepth, **kwargs)
        for lp, rp in self._batch(pairs, self._upload_many):
            self.put_file(lp, rp)

    @contextlib.contextmanager
    def _collecting(self):
        pairs = self._pairs.list = []
        self._pairs.sizes = {}  # object sizes from the listings made meanwhile
        try:
            yield pairs
        finally:
            self._pairs.list = None

    def _collected(self, pair):
        pairs = getattr(self._pairs, "list", None)
        if pairs is None:
            return False
        pairs.append(pair)
        return True

    def _batch(self, pairs, run):
        """The pairs `run` did not move."""
        if len(pairs) < 2:
            return pairs
        return [pair for pair, (_, ok, _) in zip(pairs, run(pairs)) if not ok]

    def _download_many(self, pairs):
        results = []
        for bucket, group in _by_bucket(pairs, lambda pair: pair[0]):
            for _, lpath in group:
                os.makedirs(os.path.dirname(os.path.abspath(lpath)), exist_ok=True)
            items = [(self.split_path(rp)[1], lp) for rp, lp in group]
            results += transfer.download_many(self.client(bucket), items, concurrency=self.settings["concurrency"],
                                              part_size=self.settings["part_size"])
        return results

    def _upload_many(self, pairs):
        results = []
        for bucket, group in _by_bucket(pairs, lambda pair: pair[1]):
            items = [(lp, self.split_path(rp)[1]) for lp, rp in group]
            results += transfer.upload_many(self.client(bucket), items, concurrency=self.settings["concurrency"],
                                            part_size=self.settings["part_size"])
            for _, rp in group:
                self.invalidate_cache(rp)
        return results

    def get_file(self, rpath, lpath, callback=None, outfile=None, **kwargs):
        if self._collected((rpath, lpath)):
            return
        bucket, key = self.split_path(rpath)
        if os.path.isdir(lpath):
            if self.isdir(rpath):
                return  # a folder onto an existing local folder
            raise IsADirectoryError(lpath)
        try:
            transfer.download(self.client(bucket), key, lpath, **self._options())
        except transfer.TransferError as exc:
            if exc.status_code == 404 and self.isdir(rpath):
                os.makedirs(lpath, exist_ok=True)
                return
            if exc.status_code == 404:
                raise FileNotFoundError(rpath) from exc
            raise

    def _open(self, path, mode="rb", block_size=None, autocommit=True, cache_options=None, cache_type=None,
              **kwargs):
        default = self.default_block_size if mode == "rb" else self.settings["part_size"]
        # Without a cache of fsspec's, reads go to ObjectFile's own read-ahead, which overlaps the requests
        # with the reader's work; a cache_type given by the caller replaces it.
        return ObjectFile(self, path, mode, block_size=block_size or default, autocommit=autocommit,
                          cache_options=cache_options, cache_type=cache_type or "none",
                          read_ahead=cache_type is None, **kwargs)

    # Writes --------------------------------------------------------------------------------------------

    def pipe_file(self, path, value, mode="overwrite", **kwargs):
        bucket, key = self.split_path(path)
        require_key(key, path)
        if mode == "create" and self._head(bucket, key) is not None:
            raise FileExistsError(path)
        transfer.upload(self.client(bucket), bytes(value), key, content_type=kwargs.get("content_type"),
                        **self._options())
        self.invalidate_cache(path)

    def put_file(self, lpath, rpath, callback=None, mode="overwrite", **kwargs):
        if os.path.isdir(lpath):
            return  # object stores keep no empty folders
        bucket, key = self.split_path(rpath)
        require_key(key, rpath)
        if mode == "create" and self._head(bucket, key) is not None:
            raise FileExistsError(rpath)
        if self._collected((lpath, rpath)):
            return
        transfer.upload(self.client(bucket), lpath, key, **self._options())
        self.invalidate_cache(rpath)

    def cp_file(self, path1, path2, **kwargs):
        src_bucket, src_key = self.split_path(path1)
        dst_bucket, dst_key = self.split_path(path2)
        require_key(dst_key, path2)
        if self.isdir(path1):
            return  # folders come with their objects
        service_copy(self.client(src_bucket), src_bucket, src_key, self.client(dst_bucket), dst_key, same=True,
                     **self._options())
        self.invalidate_cache(path2)

    def rm_file(self, path):
        bucket, key = self.split_path(path)
        client = self.client(bucket)
        retried(lambda: _raise_for(client.delete(key), path, (200, 204, 404)))
        self.invalidate_cache(path)

    def rm(self, path, recursive=False, maxdepth=None):
        if maxdepth is not None:
            return super().rm(path, recursive=recursive, maxdepth=maxdepth)
        by_bucket = {}
        for top in self.expand_path(path):  # globs only: the objects below come from one flat listing each
            bucket, key = self.split_path(top)
            keys = by_bucket.setdefault(bucket, [])
            if key:
                keys.append(key)  # the path itself, where it is an object; a missing key deletes nothing
            if recursive:
                keys += [e.key for page in iter_pages(self.client(bucket), key + "/" if key else "") for e in page]
        for bucket, keys in by_bucket.items():
            client = self.client(bucket)
            if isinstance(client, KorvexClient) and self._batch_delete(client, bucket, keys):
                continue
            list(self._executor("objects").map(lambda k: self.rm_file(f"{bucket}/{k}"), keys))
        self.invalidate_cache()

    @staticmethod
    def _batch_delete(client, bucket, keys):
        """The S3 batch delete; False when the server refuses the request as a whole (some S3-protocol servers
        and gateways do, after the retries a busy service gets), so that the keys go one by one instead."""
        try:
            result = retried(lambda: client.delete_objects(keys))
        except Exception:
            return False
        if result["errors"]:
            first = result["errors"][0]
            raise OSError(f"cannot delete {bucket}/{first['key']}: {first['code']} {first['message']}")
        return True

    def _rm(self, path):
        self.rm_file(path)

    def mkdir(self, path, create_parents=True, **kwargs):
        bucket, key = self.split_path(path)
        if key:
            return  # folders exist through the objects below them
        client = self.client(bucket)
        if not isinstance(client, KorvexClient):
            raise NotImplementedError(f"{self.scheme}:// buckets are created in the service's console")
        if not client.bucket_exists(bucket):
            client.create_bucket(bucket)
        self.invalidate_cache("")

    def makedirs(self, path, exist_ok=False):
        bucket, key = self.split_path(path)
        if not key:
            exists = self._bucket_exists(bucket)
            if exists and not exist_ok:
                raise FileExistsError(path)
            if not exists:
                self.mkdir(bucket)

    def rmdir(self, path):
        bucket, key = self.split_path(path)
        if key:
            return
        client = self.client(bucket)
        if not isinstance(client, KorvexClient):
            raise NotImplementedError(f"{self.scheme}:// buckets are deleted in the service's console")
        client.delete_bucket(bucket)
        self.invalidate_cache("")


def _by_bucket(pairs, remote):
    groups = {}
    for pair in pairs:
        groups.setdefault(remote(pair).split("/", 1)[0], []).append(pair)
    return groups.items()
