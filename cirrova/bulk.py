"""Copying a tree of objects, on a Dask cluster or on local threads.

    from cirrova import bulk
    summary = bulk.copy_tree("s3://src/logs/", "oss://dst/logs/", src_options={"profile": "default"},
                             dst_options={"profile": "oss"}, client=dask_client)

The driver lists the source page by page and sends batches of keys to the workers as tasks, with at most a
few batches in flight, so the listing is never held whole. Within one service account the service copies;
across services the bytes stream through `transfer.copy`. An object already at the destination with the same
size and ETag (or the source ETag an earlier run left in its metadata) is skipped, so a second run copies
nothing and a run after a crash resumes. One
object's failure is recorded and the run goes on. Dask is needed only with `client`: `pip install "cirrova[dask]"`.
"""

import base64
import concurrent.futures
import re
import threading
import uuid
from dataclasses import dataclass, field

from cirrova import _connect
from cirrova._listing import iter_pages
from cirrova.dramlet import DramletFileClient
from cirrova.pelorin import PelorinOSSClient

__all__ = ["copy_tree", "CopySummary", "parse_url"]

_MD5_HEX = re.compile(r"^[0-9a-f]{32}$")


@dataclass
class CopySummary:
    """What a copy_tree run did; `failures` holds (source key, reason) pairs."""

    copied: int = 0
    copied_bytes: int = 0
    skipped: int = 0
    skipped_bytes: int = 0
    failures: list = field(default_factory=list)

    @property
    def done(self):
        return self.copied + self.skipped + len(self.failures)

    def add(self, other):
        self.copied += other["copied"]
        self.copied_bytes += other["copied_bytes"]
        self.skipped += other["skipped"]
        self.skipped_bytes += other["skipped_bytes"]
        self.failures.extend(tuple(f) for f in other["failures"])

    def __str__(self):
        return (f"{self.copied} copied ({self.copied_bytes} bytes), {self.skipped} skipped "
                f"({self.skipped_bytes} bytes), {len(self.failures)} failed")


def parse_url(url):
    """(scheme, bucket, prefix) of "scheme://bucket/prefix"; the prefix covers a folder ("dir" means "dir/")."""
    scheme, sep, rest = url.partition("://")
    if not sep or scheme not in ("s3", "cos", "oss", "ufile"):
        raise ValueError(f"{url!r} is not an s3://, cos://, oss:// or ufile:// URL")
    bucket, _, prefix = rest.partition("/")
    if not bucket:
        raise ValueError(f"{url!r} names no bucket")
    if prefix and not prefix.endswith("/"):
        prefix += "/"
    return scheme, bucket, prefix


def copy_tree(src_url, dst_url, *, client=None, batch=1000, concurrency=16, src_options=None, dst_options=None,
              progress=None, in_flight=None):
    """Copies every object under `src_url` to the same relative key under `dst_url`; returns a CopySummary.

    `src_options`/`dst_options` are the settings of each side as for cirrova.fs (`profile="name"`, or keywords).
    `client`: a dask.distributed.Client to run the batches on; None runs them on local threads. `batch`: keys
    per task; `concurrency`: objects copied at once within a task. `progress(summary, listed)` runs on the
    calling thread after every finished batch. `in_flight`: batches submitted ahead (default: two per worker
    thread of the cluster, two locally).
    """
    src_scheme, src_bucket, src_prefix = parse_url(src_url)
    dst_scheme, dst_bucket, dst_prefix = parse_url(dst_url)
    src = _connect.resolve(src_scheme, **dict(src_options or {}))
    dst = _connect.resolve(dst_scheme, **dict(dst_options or {}))
    if batch < 1 or concurrency < 1:
        raise ValueError("batch and concurrency must be positive")
    job = Job(src, src_bucket, src_prefix, dst, dst_bucket, dst_prefix, concurrency)
    runner = _DaskRunner(client) if client is not None else _ThreadRunner()
    limit = in_flight or runner.default_in_flight()
    summary = CopySummary()
    listed = 0
    lister = _connect.Clients(src)
    try:
        pending = set()
        for items in _batches(lister.get(src_bucket), src_prefix, batch):
            listed += len(items)
            pending.add(runner.submit(job, items))
            while len(pending) >= limit:
                pending = _collect(runner, pending, summary, progress, listed)
        while pending:
            pending = _collect(runner, pending, summary, progress, listed)
    except BaseException:
        runner.cancel()
        raise
    finally:
        lister.close()
        runner.close()
    return summary


def _batches(client, prefix, size):
    items = []
    for page in iter_pages(client, prefix):
        for entry in page:
            if entry.key.endswith("/"):
                continue  # folder markers hold no data
            items.append((entry.key, entry.size, entry.etag))
            if len(items) == size:
                yield items
                items = []
    if items:
        yield items


def _collect(runner, pending, summary, progress, listed):
    done, rest = runner.wait(pending)
    for future in done:
        summary.add(runner.result(future))
        if progress is not None:
            progress(summary, listed)
    return rest


@dataclass(frozen=True)
class Job:
    """What every task needs besides its keys; plain data, pickled to the workers."""

    src: dict
    src_bucket: str
    src_prefix: str
    dst: dict
    dst_bucket: str
    dst_prefix: str
    concurrency: int

    @property
    def same_account(self):
        keys = ("service", "endpoint", "region", "access_key", "public_key", "internal")
        return all(self.src.get(k) == self.dst.get(k) for k in keys)


# Clients per process, reused by every task that comes with the same settings.
_clients_lock = threading.Lock()
_clients: dict[str, _connect.Clients] = {}


def _clients_of(settings):
    token = repr(sorted(settings.items(), key=lambda kv: kv[0]))
    with _clients_lock:
        found = _clients.get(token)
        if found is None:
            found = _clients[token] = _connect.Clients(settings)
        return found


def copy_batch(job, items):
    """One task: copies (key, size, etag) items, `job.concurrency` at once; returns counts and failures."""
    src = _clients_of(job.src).get(job.src_bucket)
    dst = _clients_of(job.dst).get(job.dst_bucket)
    result = {"copied": 0, "copied_bytes": 0, "skipped": 0, "skipped_bytes": 0, "failures": []}
    lock = threading.Lock()

    def one(item):
        key, size, etag = item
        target = job.dst_prefix + key[len(job.src_prefix):]
        try:
            skip = _already_there(dst, target, size, etag, job.same_account)
            if not skip:
                _copy_one(job, src, key, dst, target, etag)
        except Exception as exc:
            with lock:
                result["failures"].append((key, f"{type(exc).__name__}: {exc}"[:500]))
            return
        with lock:
            name = "skipped" if skip else "copied"
            result[name] += 1
            result[name + "_bytes"] += size

    with concurrent.futures.ThreadPoolExecutor(min(job.concurrency, len(items)) or 1) as pool:
        list(pool.map(one, items))
    return result


def _copy_one(job, src, key, dst, target, etag):
    # Across services the source's ETag goes along as metadata: the destination's own ETag (a multipart
    # upload's, or UFile's hash) cannot be compared with it on the next run.
    headers = {_source_etag_header(dst): etag} if etag and not job.same_account else None
    _connect.service_copy(src, job.src_bucket, key, dst, target, same=job.same_account,
                          part_size=job.dst.get("part_size", 8 * 1024 * 1024), concurrency=2, headers=headers)


def _source_etag_header(client):
    if isinstance(client, DramletFileClient):
        return "X-Ufile-Meta-Cirrova-Source-Etag"
    if isinstance(client, PelorinOSSClient):
        return "x-oss-meta-cirrova-source-etag"
    return "x-amz-meta-cirrova-source-etag"


def _already_there(dst, key, size, src_etag, same_account):
    """True when `key` exists with `size` bytes and the same content as far as the ETags (or MD5) tell."""
    response = dst.head(key)
    if response.status_code == 404:
        return False
    if response.status_code != 200:
        raise OSError(f"cannot check {key} at the destination: {response.status_code}")
    if int(response.headers.get("Content-Length", -1)) != size:
        return False
    mine = src_etag.strip('"').lower()
    theirs = response.headers.get("ETag", "").strip('"').lower()
    if mine and mine == theirs and (same_account or _MD5_HEX.match(mine)):
        return True
    if mine and response.headers.get(_source_etag_header(dst), "").lower() == mine:
        return True  # copied from this very source content by an earlier run
    # ETags of multipart uploads or of another service's scheme say nothing; Content-MD5 (OSS) may.
    md5 = response.headers.get("Content-MD5")
    if md5 and _MD5_HEX.match(mine):
        try:
            return base64.b64decode(md5).hex() == mine
        except ValueError:
            return False
    return False


class _ThreadRunner:
    def __init__(self):
        self.pool = concurrent.futures.ThreadPoolExecutor(2, thread_name_prefix="cirrova-bulk")

    @staticmethod
    def default_in_flight():
        return 2

    def submit(self, job, items):
        return self.pool.submit(copy_batch, job, items)

    @staticmethod
    def wait(pending):
        return concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)

    @staticmethod
    def result(future):
        return future.result()

    def cancel(self):
        self.pool.shutdown(wait=True, cancel_futures=True)

    def close(self):
        self.pool.shutdown(wait=True)


class _DaskRunner:
    def __init__(self, client):
        from distributed import wait  # noqa: PLC0415

        self.client = client
        self._wait = wait
        self.futures = set()

    def default_in_flight(self):
        threads = sum(self.client.nthreads().values()) or 1
        return 2 * threads

    def submit(self, job, items):
        future = self.client.submit(copy_batch, job, items, pure=False, key=f"cirrova-copy-{uuid.uuid4().hex}")
        self.futures.add(future)
        return future

    def wait(self, pending):
        done, rest = self._wait(list(pending), return_when="FIRST_COMPLETED")
        self.futures -= set(done)
        return done, set(rest)

    @staticmethod
    def result(future):
        return future.result()

    def cancel(self):
        if self.futures:
            self.client.cancel(list(self.futures))
        self.futures.clear()

    def close(self):
        self.futures.clear()
