"""The commands that read or change objects and buckets without a transfer: ls, stat, cat, rm, presign, mb, rb, du."""

import datetime
import json
import sys

from ..transfer import _engine
from ..transfer._engine import ATTEMPTS, NEVER, Retry, attempt, backoff, retried, transient
from .errors import CommandError, UsageError, response_error
from .listing import objects
from .profiles import make_client, parse_location, tree_prefix
from .select import Filters, Glob, has_magic

_CAT_PART = 8 * 1024 * 1024
_BATCH = 1000


def human(size):
    """Bytes in binary units with one decimal: 0 B, 999 B, 1.5 KiB, 12.0 MiB."""
    if size < 1024:
        return f"{size} B"
    value = float(size)
    for unit in ("KiB", "MiB", "GiB", "TiB", "PiB"):
        value /= 1024
        if value < 1024 or unit == "PiB":
            return f"{value:.1f} {unit}"


def _remote(text, *, key=None, bucket=True):
    """A remote location from a command argument; `key` True needs an object key, False forbids one."""
    location = parse_location(text)
    if not location.remote:
        raise UsageError(f"{text!r} is not a remote location (s3://, cos://, oss:// or ufile://)")
    if bucket and not location.bucket:
        raise UsageError(f"{text!r} names no bucket")
    if key is True and (not location.key or location.key.endswith("/")):
        raise UsageError(f"{text!r} names no object")
    if key is False and location.key:
        raise UsageError(f"{text!r} names an object, not a bucket")
    return location


def _modified(entry):
    """The listing's time as text: the S3 and OSS replies give ISO text, UFile seconds since the epoch."""
    value = entry.get("last_modified", entry.get("modify_time", ""))
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return datetime.datetime.fromtimestamp(value, datetime.UTC).strftime("%Y-%m-%dT%H:%M:%SZ")
    return value or ""


def ls(ctx):
    args = ctx.args
    location = _remote(args.url, bucket=False)
    if not location.bucket:
        return _list_buckets(ctx, location)
    client = ctx.client(location)
    prefix = location.key
    folders = set()
    for entry in objects(ctx, client, location, prefix):
        key = entry["key"]
        rest = key[len(prefix):]
        cut = rest.find("/")
        if not args.recursive and cut >= 0:
            folder = prefix + rest[:cut + 1]
            if folder not in folders:
                folders.add(folder)
                _print_folder(ctx, location, folder)
            continue
        url = str(location.child(key))
        size = int(entry.get("size") or 0)
        if args.json:
            ctx.print(json.dumps({"url": url, "key": key, "size": size, "modified": _modified(entry),
                                  "etag": entry.get("etag", "")}, ensure_ascii=False))
        else:
            ctx.print(f"{_modified(entry)[:19].replace('T', ' '):19}  {human(size):>10}  {key}")


def _print_folder(ctx, location, folder):
    if ctx.args.json:
        ctx.print(json.dumps({"url": str(location.child(folder)), "prefix": folder}, ensure_ascii=False))
    else:
        ctx.print(f"{'':19}  {'DIR':>10}  {folder}")


def _list_buckets(ctx, location):
    if location.scheme not in ("s3", "cos"):
        raise UsageError(f"listing buckets needs s3:// or cos://; give {location.scheme}://BUCKET")
    # Listing buckets is a request to the service, so the client is made for no bucket.
    client = make_client(ctx.settings(location), "", ctx.http())
    for bucket in client.list_buckets():
        if ctx.args.json:
            ctx.print(json.dumps({"url": f"{location.scheme}://{bucket['name']}", "bucket": bucket["name"],
                                  "created": bucket["creation_date"]}, ensure_ascii=False))
        else:
            ctx.print(f"{bucket['creation_date'][:19].replace('T', ' '):19}  {bucket['name']}")


def _head(client, location):
    response = client.head(location.key)
    if response.status_code == 404:
        raise CommandError(f"no such object: {location}")
    if response.status_code != 200:
        raise response_error(f"cannot read {location}", response)
    return response


_META_PREFIXES = ("x-amz-meta-", "x-oss-meta-", "x-cos-meta-", "x-ufile-meta-")


def stat(ctx):
    location = _remote(ctx.args.url, key=True)
    headers = _head(ctx.client(location), location).headers
    info = {
        "url": str(location),
        "key": location.key,
        "size": int(headers.get("Content-Length", 0)),
        "etag": headers.get("ETag", "").strip('"'),
        "last_modified": headers.get("Last-Modified", ""),
        "content_type": headers.get("Content-Type", ""),
        "metadata": {name[len(p):]: value for name, value in headers.items()
                     for p in _META_PREFIXES if name.lower().startswith(p)},
    }
    if ctx.args.json:
        ctx.print(json.dumps(info, ensure_ascii=False))
        return
    for name in ("url", "size", "etag", "last_modified", "content_type"):
        value = f"{info['size']} ({human(info['size'])})" if name == "size" else info[name]
        ctx.print(f"{name + ':':15} {value}")
    for name, value in info["metadata"].items():
        ctx.print(f"{'meta ' + name + ':':15} {value}")


def cat(ctx):
    """Streams the object in ranged reads of one part each, so memory stays at one part whatever the size."""
    location = _remote(ctx.args.url, key=True)
    client = ctx.client(location)
    headers = _head(client, location).headers
    size = int(headers.get("Content-Length", -1))
    etag = headers.get("ETag", "")
    ctx.out.flush()
    sink = getattr(ctx.out, "buffer", ctx.out)
    if size < 0:
        response = client._download(location.key)
        if response.status_code != 200:
            raise response_error(f"cannot read {location}", response)
        sink.write(response.content)
        sink.flush()
        return
    offset = 0
    while offset < size:
        end = min(offset + _CAT_PART, size) - 1
        request_headers = {"Range": f"bytes={offset}-{end}"}
        if etag:
            # An object replaced between two reads fails instead of splicing two versions together.
            request_headers["If-Match"] = etag
        response = client._download(location.key, headers=request_headers)
        body = response.content
        if response.status_code == 200 and offset == 0 and len(body) == size:
            end = size - 1  # a server that ignores Range sent the whole object
        elif response.status_code != 206:
            raise response_error(f"cannot read {location}", response)
        if len(body) != end - offset + 1:
            raise CommandError(f"cannot read {location}: short reply at byte {offset} "
                               f"({len(body)} of {end - offset + 1} bytes)")
        sink.write(body)
        offset = end + 1
    sink.flush()


def presign(ctx):
    location = _remote(ctx.args.url, key=True)
    ctx.print(ctx.client(location).get_shared_url(location.key, ctx.args.expires))


def _bucket_client(ctx, verb):
    location = _remote(ctx.args.url, key=False)
    if location.scheme not in ("s3", "cos"):
        raise UsageError(f"{verb} works on s3:// and cos:// buckets only")
    return location, ctx.client(location)


def mb(ctx):
    location, client = _bucket_client(ctx, "mb")
    client.create_bucket(location.bucket)
    ctx.print(f"made {location}")


def rb(ctx):
    location, client = _bucket_client(ctx, "rb")
    client.delete_bucket(location.bucket)
    ctx.print(f"removed {location}")


def du(ctx):
    location = _remote(ctx.args.url)
    count = total = 0
    for entry in objects(ctx, ctx.client(location), location, tree_prefix(location.key)):
        count += 1
        total += int(entry.get("size") or 0)
    if ctx.args.json:
        ctx.print(json.dumps({"url": str(location), "objects": count, "bytes": total}, ensure_ascii=False))
    else:
        ctx.print(f"{count} objects  {total} bytes ({human(total)})  {location}")


def rm(ctx):
    args = ctx.args
    glob = Glob(parse_location(args.url).key) if has_magic(parse_location(args.url).key) else None
    if not args.recursive and glob is None:
        location = _remote(args.url, key=True)
        client = ctx.client(location)
        _head(client, location)
        if args.dry_run:
            ctx.print(f"would delete {location}")
            return
        _delete_one(client, location)
        ctx.print(f"deleted {location}")
        return
    location = _remote(args.url)
    client = ctx.client(location)
    # A wildcard key selects as a shell does, with or without -r; filters see the path below the folder part.
    prefix = glob.prefix if glob else tree_prefix(location.key)
    base = glob.base if glob else prefix
    chosen = Filters(args.filters)
    keys = [entry["key"] for entry in objects(ctx, client, location, prefix)
            if (glob is None or glob.match(entry["key"])) and chosen.included(entry["key"][len(base):])]
    if not keys:
        ctx.print(f"nothing to delete under {location}")
        return
    if args.dry_run:
        for key in keys:
            ctx.print(f"would delete {location.child(key)}")
        ctx.print(f"{len(keys)} objects would be deleted")
        return
    if not args.yes:
        _confirm(ctx, f"delete {len(keys)} objects under {location}?")
    failed = _delete_many(client, location, keys)
    if failed:
        raise CommandError(f"deleted {len(keys) - len(failed)} of {len(keys)} objects; "
                           f"{len(failed)} failed, first {location.child(failed[0][0])}: {failed[0][1]}")
    ctx.print(f"deleted {len(keys)} objects under {location}")


def _confirm(ctx, question):
    stdin = sys.stdin
    if stdin is None or not stdin.isatty():
        raise UsageError("a recursive delete needs --yes when standard input is not a terminal")
    ctx.err.write(question + " [y/N] ")
    ctx.err.flush()
    if stdin.readline().strip().lower() not in ("y", "yes"):
        raise CommandError("nothing deleted")


def _delete_one(client, location):
    def once():
        response = client.delete(location.key)
        if response.status_code not in (200, 204):
            error = response_error(f"cannot delete {location}", response)
            raise Retry(error) if transient(response.status_code) else error

    attempt(NEVER, once)


def _delete_many(client, location, keys):
    """Deletes `keys`, in batches where the client has them; returns (key, reason) for each failure. A busy
    service's failures (5xx, 429, transport errors, per-key "InternalError" and "SlowDown") are retried as
    transfers retry, which is safe: deleting an object that is gone succeeds."""
    if hasattr(client, "delete_objects"):
        return [failure for start in range(0, len(keys), _BATCH)
                for failure in _delete_batch(client, keys[start:start + _BATCH])]
    failed = []
    for key in keys:
        try:
            attempt(NEVER, lambda: _delete_key(client, key))
        except _Refused as exc:
            failed.append((key, exc.reason))
    return failed


_BUSY_CODES = frozenset({"InternalError", "SlowDown", "ServiceUnavailable"})


def _delete_batch(client, keys):
    pending, failed = keys, []
    for n in range(ATTEMPTS):
        errors = retried(lambda: client.delete_objects(pending))["errors"]
        busy = [] if n + 1 == ATTEMPTS else [e["key"] for e in errors if e["code"] in _BUSY_CODES and e["key"]]
        failed += [(e["key"] or "", f"{e['code'] or ''} {e['message'] or ''}".strip())
                   for e in errors if e["key"] not in busy]
        if not busy:
            break
        pending = busy
        _engine.pause(backoff(n), NEVER)
    return failed


class _Refused(Exception):
    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason


def _delete_key(client, key):
    response = client.delete(key)
    if response.status_code not in (200, 204):
        error = _Refused(f"{response.status_code} {response.reason_phrase}".strip())
        raise Retry(error) if transient(response.status_code) else error
