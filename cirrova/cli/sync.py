"""`sync SRC DST`: make DST hold what SRC holds, copying only what is missing or different.

Both sides are read as streams in key order (a listing page by page, a local tree folder by folder in the
order its keys sort) and merged like two sorted files, so memory does not grow with the tree. Copies run on
a bounded pool while the merge goes on; deletions go in batches.
"""

import hashlib
import os
import sys
from dataclasses import dataclass
from functools import partial

from cirrova import transfer
from cirrova.transfer._engine import drive
from cirrova.transfer._many import _download_item, _guarded, _upload_item
from cirrova.transfer._service import Service

from .commands import _delete_many
from .copy import _MIN_PART, _regular_size
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
    """Runs the merge on the caller's thread as the job source of a bounded pool: objects smaller than a
    part move side by side on the pool, larger ones on the caller's thread with their parts in parallel.
    An interrupt reaches the large transfer directly and cancels the pool's items at their next request."""

    def __init__(self, ctx, src, dst, bars):
        self.ctx, self.args, self.src, self.dst = ctx, ctx.args, src, dst
        self.kind = "copy" if src.location.remote and dst.location.remote else \
            "download" if src.location.remote else "upload"
        self.copied = self.deleted = self.skipped = self.bytes = 0
        self.failed = []
        self.doomed = []  # destination keys waiting for a batch delete
        self.running = {}  # tag -> label of a copy on the pool
        self.bars = bars
        self.bar = bars.add("sync", None)
        # Lines for a terminal that also shows the bars go above them, or the bars would draw over them.
        self.above = _is_terminal(ctx.out)

    def _say(self, text):
        if not (self.above and self.bars.print_above(text)):
            self.ctx.print(text)

    def run(self):
        drive(self.args.concurrency, self._jobs(), on_progress=self._moved, on_done=self._done)
        self._flush_deletes()

    def _jobs(self):
        for tag, (s, d) in enumerate(_merged(self.src.entries(), self.dst.entries())):
            if s is None:
                self._delete(d)
            elif d is None or self._differs(s, d):
                job = self._copy(tag, s)
                if job is not None:
                    yield job
            else:
                self.skipped += 1

    def _differs(self, s, d):
        if s.size != d.size:
            return True
        if not self.args.checksum:
            return False
        ours = self.src.md5(s)
        return ours is None or ours != self.dst.md5(d)

    def _copy(self, tag, entry):
        """The pool job for a small copy; a large one runs here and now."""
        try:
            target = self.dst.target(entry.rel)
        except CommandError as exc:
            self._failed(f"{self.src.show(entry.ref)}", exc)
            return None
        label = f"{self.src.show(entry.ref)} -> {self.dst.show(target)}"
        if self.args.dry_run:
            self._say(f"would copy {label}")
            self.copied += 1
            return None
        if entry.size > self.args.part_size:
            try:
                self._large(entry, target)
            except Exception as exc:
                self._failed(label, exc)
            else:
                self._copied(label, entry.size)
            return None
        self.running[tag] = label
        return tag, partial(_guarded, partial(self._small, entry, target))

    def _large(self, entry, target):
        args = self.args
        options = {"part_size": args.part_size, "concurrency": args.concurrency, "checksum": not args.no_checksum}
        if self.kind == "upload":
            transfer.upload(self.dst.client, entry.ref, target, **options)
        elif self.kind == "download":
            transfer.download(self.src.client, entry.ref, target, **options)
        else:
            transfer.copy(self.src.client, entry.ref, self.dst.client, target, **options)

    def _small(self, entry, target, job):
        """One object of at most one part, on a pool worker, under the pool's cancel flag."""
        args = self.args
        checksum = not args.no_checksum
        if self.kind == "upload":
            _upload_item(Service.of(self.dst.client), entry.ref, target, args.part_size, None, None, None, checksum,
                         job)
        elif self.kind == "download" and entry.size == 0:
            # A range of an empty object is answered differently by different servers (416, or a broken
            # reply): a whole download asks for the size first.
            transfer.download(self.src.client, entry.ref, target, concurrency=1, checksum=checksum)
        elif self.kind == "download":
            _download_item(Service.of(self.src.client), entry.ref, target, args.part_size, None, checksum, job)
        else:
            transfer.copy(self.src.client, entry.ref, self.dst.client, target, part_size=args.part_size,
                          concurrency=1, checksum=checksum)
            job.progress(entry.size)

    def _moved(self, tag, nbytes):
        self.bytes += nbytes
        self.bars.show(self.bar, f"sync: {self.copied} copied", self.bytes)

    def _done(self, tag, outcome):
        ok, value = outcome
        label = self.running.pop(tag)
        if ok:
            self._copied(label, 0)
        else:
            self._failed(label, value)

    def _copied(self, label, size):
        self.copied += 1
        self.bytes += size
        self._say(f"copied {label}")
        self.bars.show(self.bar, f"sync: {self.copied} copied", self.bytes)

    def _failed(self, label, error):
        self.failed.append((label, error))
        self.ctx.err.write(f"cirrova: failed {label}: {one_line(error)}\n")

    def _delete(self, entry):
        shown = self.dst.show(entry.ref)
        if not self.args.delete:
            return
        if self.args.dry_run:
            self._say(f"would delete {shown}")
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
            self._failed(shown, exc)
            return
        self.deleted += 1
        self._say(f"deleted {shown}")

    def _flush_deletes(self):
        keys, self.doomed = self.doomed, []
        if not keys:
            return
        failed = dict(_delete_many(self.dst.client, self.dst.location, keys))
        for key in keys:
            if key in failed:
                self._failed(self.dst.show(key), CommandError(failed[key]))
            else:
                self.deleted += 1
                self._say(f"deleted {self.dst.show(key)}")


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
        raise CommandError(f"{ctx.skipped} local entries skipped: not regular files")


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


def _confirm(ctx, question):
    if not _is_terminal(sys.stdin):
        raise UsageError("--delete needs --yes when standard input is not a terminal")
    ctx.err.write(question + " [y/N] ")
    ctx.err.flush()
    if sys.stdin.readline().strip().lower() not in ("y", "yes"):
        raise CommandError("nothing done")
