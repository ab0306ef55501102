"""`sync SRC DST`: make DST hold what SRC holds, copying only what is missing or different.

Both sides are read as streams in key order (a listing page by page, a local tree folder by folder in the
order its keys sort) and merged like two sorted files, so memory does not grow with the tree. Copies run on
a bounded pool while the merge goes on; deletions go in batches.
"""

import concurrent.futures
import hashlib
import os
import sys
from dataclasses import dataclass

from cirrova import transfer

from .commands import _delete_many
from .copy import _MIN_PART, _make_parent, _regular_size
from .errors import CommandError, UsageError, one_line
from .listing import objects
from .profiles import parse_location, tree_prefix
from .progress import Bars
from .select import Filters

_DELETE_BATCH = 1000


@dataclass
class Entry:
    rel: str  # the path below the synced folder or prefix, "/"-separated
    size: int
    ref: str  # local path or key
    etag: str = ""


class _Side:
    """One end of a sync: a local folder or a remote prefix, its entries in key order, and their MD5s."""

    def __init__(self, ctx, location, client, filters):
        self.ctx, self.location, self.client, self.filters = ctx, location, client, filters
        self.prefix = tree_prefix(location.key) if location.remote else ""

    def entries(self):
        source = self._listed() if self.location.remote else self._walked(self.location.path, "")
        last = None
        for entry in source:
            # The merge is only right over sorted streams: a listing out of order stops the command
            # before it copies or deletes on a wrong reading.
            if last is not None and entry.rel <= last:
                raise CommandError(f"listing {self.location} is not in key order ({entry.rel!r} after {last!r}): "
                                   f"cannot sync against it")
            last = entry.rel
            if self.filters.included(entry.rel):
                yield entry

    def _listed(self):
        for item in objects(self.ctx, self.client, self.location, self.prefix):
            key = item["key"]
            rel = key[len(self.prefix):]
            if rel and not rel.endswith("/"):  # folder markers hold no data
                yield Entry(rel, int(item.get("size") or 0), key, item.get("etag") or "")

    def _walked(self, folder, base):
        """Regular files below `folder` in the order of their keys: a folder's entries sorted with "/" after
        a folder's name, so "a-b" comes before "a/b" as it does in a listing."""
        try:
            with os.scandir(folder) as found:
                names = []
                for item in found:
                    if item.is_dir(follow_symlinks=False):
                        names.append((item.name + "/", item.path))
                    elif not (item.is_symlink() and item.is_dir()):  # links to folders are not followed
                        names.append((item.name, item.path))
        except FileNotFoundError:
            if folder == self.location.path:
                return  # a destination folder that does not exist yet
            raise
        for name, path in sorted(names):
            if name.endswith("/"):
                yield from self._walked(path, base + name)
                continue
            size = _regular_size(self.ctx, path)
            if size is not None:
                yield Entry(base + name, size, path)

    def md5(self, entry):
        """The hex MD5 of an entry's content, or None when the service cannot tell it."""
        if not self.location.remote:
            with open(entry.ref, "rb") as f:
                return hashlib.file_digest(f, "md5").hexdigest()
        listed = transfer.etag_md5(self.client, entry.etag)
        if listed:
            return listed
        response = self.client.head(entry.ref)
        return transfer.known_md5(self.client, response.headers) if response.status_code == 200 else None

    def target(self, rel):
        """Where an entry of the other side lands here: a key, or a path that must stay inside the folder."""
        if self.location.remote:
            return self.prefix + rel
        parts = rel.split("/")
        if any(p in ("", ".", "..") for p in parts) or (os.sep != "/" and any(os.sep in p for p in parts)):
            raise CommandError(f"refusing key {rel!r}: it does not map to a path inside {self.location.path}")
        return os.path.join(self.location.path, *parts)

    def show(self, ref):
        return str(self.location.child(ref)) if self.location.remote else ref


def _merged(src, dst):
    """(source entry or None, destination entry or None) for every path of either side, in key order."""
    s, d = next(src, None), next(dst, None)
    while s is not None or d is not None:
        if d is None or (s is not None and s.rel < d.rel):
            yield s, None
            s = next(src, None)
        elif s is None or d.rel < s.rel:
            yield None, d
            d = next(dst, None)
        else:
            yield s, d
            s, d = next(src, None), next(dst, None)


class _Sync:
    def __init__(self, ctx, src, dst, bars):
        self.ctx, self.args, self.src, self.dst = ctx, ctx.args, src, dst
        self.kind = "copy" if src.location.remote and dst.location.remote else \
            "download" if src.location.remote else "upload"
        self.copied = self.deleted = self.skipped = self.bytes = 0
        self.failed = []
        self.doomed = []  # destination keys waiting for a batch delete
        self.bars = bars
        self.bar = bars.add("sync", None)
        workers = self.args.concurrency
        self.pool = concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="cirrova-sync")
        self.running = {}  # future -> (label, size)
        self.window = 2 * workers

    def run(self):
        try:
            for s, d in _merged(self.src.entries(), self.dst.entries()):
                if s is None:
                    self._delete(d)
                elif d is None or self._differs(s, d):
                    self._copy(s)
                else:
                    self.skipped += 1
            self._flush_deletes()
            self._drain(0)
        finally:
            self.pool.shutdown(wait=True, cancel_futures=True)

    def _differs(self, s, d):
        if s.size != d.size:
            return True
        if not self.args.checksum:
            return False
        ours = self.src.md5(s)
        return ours is None or ours != self.dst.md5(d)

    def _copy(self, entry):
        label = f"{self.src.show(entry.ref)} -> {self.dst.show(self.dst.prefix + entry.rel)}"
        try:
            target = self.dst.target(entry.rel)
        except CommandError as exc:
            self.failed.append((label, exc))
            return
        if self.args.dry_run:
            self.ctx.print(f"would copy {label}")
            self.copied += 1
            return
        self._drain(self.window - 1)
        future = self.pool.submit(self._transfer, entry, target)
        self.running[future] = (label, entry.size)

    def _transfer(self, entry, target):
        args = self.args
        options = {"part_size": args.part_size, "checksum": not args.no_checksum,
                   # Small objects run side by side on the pool; a large one also moves its parts in parallel.
                   "concurrency": args.concurrency if entry.size > args.part_size else 1}
        if self.kind == "upload":
            transfer.upload(self.dst.client, entry.ref, target, **options)
        elif self.kind == "download":
            _make_parent(target)
            transfer.download(self.src.client, entry.ref, target, **options)
        else:
            transfer.copy(self.src.client, entry.ref, self.dst.client, target, **options)

    def _drain(self, keep):
        """Waits until at most `keep` copies are running, counting those that ended."""
        while len(self.running) > keep:
            done, _ = concurrent.futures.wait(self.running, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                label, size = self.running.pop(future)
                error = future.exception()
                if error is not None:
                    self.failed.append((label, error))
                    self.ctx.err.write(f"cirrova: failed {label}: {one_line(error)}\n")
                    continue
                self.copied += 1
                self.bytes += size
                self.ctx.print(f"copied {label}")
                self.bars.show(self.bar, f"sync: {self.copied} copied", self.bytes)

    def _delete(self, entry):
        shown = self.dst.show(entry.ref)
        if not self.args.delete:
            return
        if self.args.dry_run:
            self.ctx.print(f"would delete {shown}")
            self.deleted += 1
            return
        if self.dst.location.remote:
            self.doomed.append(entry.ref)
            if len(self.doomed) >= _DELETE_BATCH:
                self._flush_deletes()
            return
        try:
            os.unlink(entry.ref)
        except OSError as exc:
            self.failed.append((shown, exc))
            return
        self.deleted += 1
        self.ctx.print(f"deleted {shown}")

    def _flush_deletes(self):
        keys, self.doomed = self.doomed, []
        if not keys:
            return
        failed = dict(_delete_many(self.dst.client, self.dst.location, keys))
        for key in keys:
            if key in failed:
                self.failed.append((self.dst.show(key), CommandError(failed[key])))
            else:
                self.deleted += 1
                self.ctx.print(f"deleted {self.dst.show(key)}")


def sync(ctx):
    args = ctx.args
    src, dst = parse_location(args.src), parse_location(args.dst)
    if not src.remote and not dst.remote:
        raise UsageError("sync needs a remote SRC or DST (s3://, cos://, oss:// or ufile://)")
    for side in (src, dst):
        if not side.remote and side.path == "-":
            raise UsageError("sync works on folders and prefixes, not standard input or output")
    if not src.remote and not os.path.isdir(src.path):
        raise UsageError(f"{src.path} is not a folder")
    if not dst.remote and os.path.exists(dst.path) and not os.path.isdir(dst.path):
        raise UsageError(f"{dst.path} is not a folder")
    if dst.remote and dst.scheme != "ufile" and args.part_size < _MIN_PART:
        raise UsageError(f"--part-size must be at least 5MiB for {dst.scheme}:// uploads")
    if args.delete and not args.dry_run and not args.yes:
        _confirm(ctx, f"delete what {dst} has and {src} lacks?")
    filters = Filters(args.filters)
    src_side = _Side(ctx, src, ctx.client(src, args.src_profile) if src.remote else None, filters)
    dst_side = _Side(ctx, dst, ctx.client(dst, args.dst_profile) if dst.remote else None, filters)
    with Bars(ctx.err, ctx.bars) as bars:
        run = _Sync(ctx, src_side, dst_side, bars)
        run.run()
    failed = len(run.failed) + ctx.skipped
    head = "dry run: " if args.dry_run else ""
    ctx.print(f"{head}{run.copied} copied, {run.deleted} deleted, {run.skipped} skipped, {failed} failed")
    if run.failed:
        label, exc = run.failed[0]
        raise CommandError(f"{failed} items failed; first {label}: {one_line(exc)}")
    if ctx.skipped:
        raise CommandError(f"{ctx.skipped} entries of {src.path} skipped: not regular files")


def _confirm(ctx, question):
    try:
        terminal = sys.stdin is not None and sys.stdin.isatty()
    except (AttributeError, ValueError, OSError):
        terminal = False
    if not terminal:
        raise UsageError("--delete needs --yes when standard input is not a terminal")
    ctx.err.write(question + " [y/N] ")
    ctx.err.flush()
    if sys.stdin.readline().strip().lower() not in ("y", "yes"):
        raise CommandError("nothing done")
