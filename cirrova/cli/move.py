"""`mv`: `cp`, then the source of each item that copied is deleted; an item that failed keeps its source."""

import os

from .commands import _delete_many
from .copy import copy_plan, raise_failures
from .errors import CommandError, UsageError
from .profiles import parse_location


def mv(ctx):
    if ctx.args.src == "-":
        raise UsageError("mv cannot move standard input: use cp")
    plan, run, src_client = copy_plan(ctx, "mv")
    if run is None:
        raise_failures(ctx, run, plan)
        return
    src, dst = parse_location(ctx.args.src), parse_location(ctx.args.dst)
    # An object moved onto itself (same bucket and profile, same key) was copied over itself: it stays.
    same_place = src.remote and dst.remote and (src.scheme, src.bucket, ctx.args.src_profile) == \
        (dst.scheme, dst.bucket, ctx.args.dst_profile)
    moved = [job for job in run.moved if not (same_place and job.source == job.target)]
    if src.remote:
        failed = _delete_many(src_client, src, [job.source for job in moved])
    else:
        failed = []
        for job in moved:
            try:
                os.unlink(job.source)
            except OSError as exc:
                failed.append((job.source, exc.strerror))
    if failed:
        where, reason = failed[0]
        raise CommandError(f"copied, but {len(failed)} sources could not be deleted; first {where}: {reason}")
    raise_failures(ctx, run, plan)
