"""`cp`: uploads, downloads and service-to-service copies through cirrova.transfer, with progress bars."""

import os
import posixpath
import stat
import sys
from dataclasses import dataclass

from cirrova import transfer

from .errors import CommandError, UsageError, one_line
from .listing import objects
from .profiles import parse_location, tree_prefix
from .progress import Bars
from .select import Filters, Glob, has_magic

_MIN_PART = 5 * 1024 * 1024  # the S3, COS and OSS floor for every part but the last


@dataclass
class Job:
    source: object  # local path, file object, or key
    target: str  # key or local path
    size: int  # -1 when unknown (standard input)
    label: str


def cp(ctx):
    plan, run, _ = copy_plan(ctx, "cp")
    raise_failures(ctx, run, plan)


def raise_failures(ctx, run, plan):
    if run is not None and run.failed:
        label, exc = run.failed[0]
        raise CommandError(f"{len(run.failed)} of {len(plan)} copies failed; first {label}: {one_line(exc)}")
    if ctx.skipped:
        raise CommandError(f"{ctx.skipped} entries of {ctx.args.src} skipped: not regular files")


def copy_plan(ctx, verb):
    """Plans and runs the copies of `cp` or `mv`; returns (plan, the run or None when there was nothing to
    copy, the source client)."""
    args = ctx.args
    src, dst = parse_location(args.src), parse_location(args.dst)
    if not src.remote and not dst.remote:
        raise UsageError(f"{verb} needs a remote SRC or DST (s3://, cos://, oss:// or ufile://)")
    if not dst.remote and dst.path == "-":
        raise UsageError("to write an object to standard output use `cirrova cat`")
    if dst.remote and dst.scheme != "ufile" and args.part_size < _MIN_PART:
        raise UsageError(f"--part-size must be at least 5MiB for {dst.scheme}:// uploads")
    if args.recursive and not src.remote and src.path == "-":
        raise UsageError("--recursive cannot read standard input")
    if getattr(args, "scheduler", None):
        from .cluster import cp_on_cluster

        cp_on_cluster(ctx, src, dst)  # reports and raises by itself
        return [], None, None
    src_client = ctx.client(src, args.src_profile) if src.remote else None
    dst_client = ctx.client(dst, args.dst_profile) if dst.remote else None
    kind = "copy" if src.remote and dst.remote else "download" if src.remote else "upload"
    # A wildcard in the key part selects from the listing, as a shell selects paths, without --recursive.
    glob = Glob(src.key) if src.remote and has_magic(src.key) else None
    several = args.recursive or glob is not None
    plan = _tree(ctx, kind, src, dst, src_client, glob) if several else [_single(kind, src, dst, src_client)]
    if not plan:
        ctx.print(f"nothing to copy under {src}" if args.recursive else f"nothing matches {src}")
        if ctx.skipped:
            raise CommandError(f"{ctx.skipped} entries of {src.path} skipped: not regular files")
        return plan, None, src_client
    run = _Run(ctx, kind, src_client, dst_client)
    with Bars(ctx.err, ctx.bars) as bars:
        run.go(bars, plan, total_bar=several)
    return plan, run, src_client


def _single(kind, src, dst, src_client):
    if kind == "upload":
        if src.path == "-":
            return Job(sys.stdin.buffer, _dst_key(dst, ""), -1, f"- -> {dst}")
        if os.path.isdir(src.path):
            raise UsageError(f"{src.path} is a folder: add --recursive")
        try:
            size = os.path.getsize(src.path)
        except OSError as exc:
            raise CommandError(f"cannot read {src.path}: {exc.strerror}") from None
        key = _dst_key(dst, os.path.basename(src.path))
        return Job(src.path, key, size, f"{src.path} -> {dst.child(key)}")
    if not src.key or src.key.endswith("/"):
        raise UsageError(f"{src} names no object: add --recursive to copy a prefix")
    size = _size(src_client, src)
    if kind == "download":
        path = dst.path
        if path.endswith(("/", os.sep)) or os.path.isdir(path):
            path = os.path.join(path, posixpath.basename(src.key))
        return Job(src.key, path, size, f"{src} -> {path}")
    key = _dst_key(dst, posixpath.basename(src.key))
    return Job(src.key, key, size, f"{src} -> {dst.child(key)}")


def _dst_key(dst, name):
    """The key for a file called `name`: DST itself, or `name` inside DST when DST ends in "/" or is a bucket."""
    if dst.key and not dst.key.endswith("/"):
        return dst.key
    if not name:
        raise UsageError(f"{dst} needs an object key for this source")
    return dst.key + name


def _size(client, location):
    response = client.head(location.key)
    if response.status_code == 404:
        raise CommandError(f"no such object: {location}")
    if response.status_code != 200:
        raise CommandError(f"cannot read {location}: {response.status_code} {response.reason_phrase}".strip())
    return int(response.headers.get("Content-Length", -1))


_KINDS = ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"))


def _regular_size(ctx, path):
    """The size of a regular file (links followed) in a source tree; None, with one line on stderr, for
    anything else: reading a pipe or a device could block forever or never end."""
    try:
        mode = os.stat(path)
    except OSError as exc:
        what = f"cannot read it ({exc.strerror})"
    else:
        if stat.S_ISREG(mode.st_mode):
            return mode.st_size
        what = next((name for test, name in _KINDS if test(mode.st_mode)), "not a regular file")
    ctx.err.write(f"cirrova: skipped {path}: {what}\n")
    ctx.skipped += 1
    return None


def _tree(ctx, kind, src, dst, src_client, glob=None):
    filters = Filters(getattr(ctx.args, "filters", None))
    if kind == "upload":
        if not os.path.isdir(src.path):
            raise UsageError(f"{src.path} is not a folder")
        base = tree_prefix(dst.key)
        jobs = []
        for folder, dirs, files in os.walk(src.path):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, src.path).replace(os.sep, "/")
                if not filters.included(rel):
                    continue
                size = _regular_size(ctx, path)
                if size is not None:
                    jobs.append(Job(path, base + rel, size, f"{rel}"))
        return jobs
    prefix = glob.prefix if glob else tree_prefix(src.key)
    base = glob.base if glob else prefix
    jobs = []
    for entry in objects(ctx, src_client, src, prefix):
        key = entry["key"]
        rel = key[len(base):]
        if not rel or rel.endswith("/"):
            continue  # folder markers hold no data
        if (glob and not glob.match(key)) or not filters.included(rel):
            continue
        size = int(entry.get("size") or 0)
        if kind == "copy":
            jobs.append(Job(key, tree_prefix(dst.key) + rel, size, rel))
            continue
        parts = rel.split("/")
        # A key is not trusted to stay inside the target folder.
        if any(p in ("", ".", "..") for p in parts) or (os.sep != "/" and any(os.sep in p for p in parts)):
            raise CommandError(f"refusing key {key!r}: it does not map to a path inside {dst.path}")
        jobs.append(Job(key, os.path.join(dst.path, *parts), size, rel))
    return jobs


class _Run:
    """Runs a plan: large files one after another, each in parallel parts, and files smaller than one part
    in one parallel batch; every file has a bar while it moves, and a tree has a total bar."""

    def __init__(self, ctx, kind, src_client, dst_client):
        self.args = ctx.args
        self.kind = kind
        self.src_client = src_client
        self.dst_client = dst_client
        self.checksum = not getattr(ctx.args, "no_checksum", False)
        self.failed = []
        self.moved = []  # the jobs that completed

    def go(self, bars, plan, total_bar):
        self.single = not total_bar
        total = bars.add(f"total ({len(plan)} files)", sum(max(j.size, 0) for j in plan)) if total_bar else None
        part_size = self.args.part_size
        # Empty objects go alone: the batch reads each object's first range, and a range of an empty object
        # is answered differently by different servers (416, or a broken reply), where a lone download
        # asks for the size first.
        batch = [j for j in plan if 0 < j.size < part_size] if self.kind != "copy" and len(plan) > 1 else []
        batched = {id(j) for j in batch}
        done = self._batch(bars, batch, total) if batch else 0
        for job in plan:
            if id(job) not in batched:
                done += self._one(bars, job, total, done)
        if total is not None:
            bars.done(total, done)

    def _one(self, bars, job, total, base):
        handle = bars.add(job.label, job.size if job.size >= 0 else None)
        options = {"part_size": self.args.part_size, "concurrency": self.args.concurrency,
                   "callback": bars.callback(handle, total, base), "checksum": self.checksum}
        try:
            if self.kind == "upload":
                transfer.upload(self.dst_client, job.source, job.target, **options)
            elif self.kind == "download":
                _make_parent(job.target)
                transfer.download(self.src_client, job.source, job.target, **options)
            else:
                transfer.copy(self.src_client, job.source, self.dst_client, job.target, **options)
        except Exception as exc:
            if self.single:
                raise  # a single copy reports its own failure
            bars.remove(handle)
            self.failed.append((job.label, exc))
            return 0
        self.moved.append(job)
        if self.single:
            bars.done(handle, max(job.size, 0))
        else:
            bars.remove(handle)  # in a tree only the total stays, and the bars of files still moving
        return max(job.size, 0)

    def _batch(self, bars, jobs, total):
        callback, finish = bars.batch_callback([j.label for j in jobs], [j.size for j in jobs], total)
        if self.kind == "upload":
            results = transfer.upload_many(self.dst_client, [(j.source, j.target) for j in jobs],
                                                concurrency=self.args.concurrency, callback=callback,
                                                part_size=self.args.part_size, checksum=self.checksum)
        else:
            for job in jobs:
                _make_parent(job.target)
            results = transfer.download_many(self.src_client, [(j.source, j.target) for j in jobs],
                                                  concurrency=self.args.concurrency, callback=callback,
                                                  part_size=self.args.part_size, checksum=self.checksum)
        finish()
        moved = 0
        for job, (_, ok, value) in zip(jobs, results):
            if ok:
                moved += job.size
                self.moved.append(job)
            else:
                self.failed.append((job.label, value))
        return moved


def _make_parent(path):
    parent = os.path.dirname(os.path.abspath(path))
    os.makedirs(parent, exist_ok=True)
