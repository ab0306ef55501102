"""`cp -r --scheduler ADDRESS`: a tree copied between services by cirrova.bulk on a Dask cluster."""

from .errors import CommandError, UsageError, one_line
from .profiles import tree_prefix


def cp_on_cluster(ctx, src, dst):
    args = ctx.args
    if not (args.recursive and src.remote and dst.remote):
        raise UsageError("--scheduler copies a tree between two remote locations: use -r with two URLs")
    try:
        from distributed import Client
    except ImportError:
        raise UsageError('--scheduler needs Dask: pip install "cirrova[dask]"') from None
    from cirrova import bulk

    options = []
    for location, profile in ((src, args.src_profile), (dst, args.dst_profile)):
        if not location.bucket:
            raise UsageError(f"{location.scheme}:// needs a bucket: {location.scheme}://BUCKET/KEY")
        options.append({**ctx.settings(location, profile), "concurrency": args.concurrency,
                        "part_size": args.part_size})
    urls = [f"{loc.scheme}://{loc.bucket}/{tree_prefix(loc.key)}" for loc in (src, dst)]

    def progress(summary, listed):
        if ctx.bars:
            ctx.err.write(f"\r{summary.done} of {listed} listed objects done ({len(summary.failures)} failed)")
            ctx.err.flush()

    try:
        client = Client(args.scheduler, timeout=30)
    except (OSError, TimeoutError) as exc:
        raise CommandError(f"cannot reach the scheduler {args.scheduler}: {one_line(exc)}") from None
    with client:
        summary = bulk.copy_tree(*urls, client=client, concurrency=args.concurrency, src_options=options[0],
                                 dst_options=options[1], progress=progress)
    if ctx.bars:
        ctx.err.write("\n")
    ctx.print(f"{summary}")
    for key, reason in summary.failures[:20]:
        ctx.print(f"failed: {key}: {reason}")
    if summary.failures:
        raise CommandError(f"{len(summary.failures)} objects failed; first {summary.failures[0][0]}: "
                           f"{summary.failures[0][1]}")
