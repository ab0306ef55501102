"""The native engine's Python side: whether a call may run on it, and its outcome in the Python path's terms.

A call runs natively only when the engine sends exactly what the client's own methods would send:
- the client is one of the four, or a subclass overriding none of the methods the engine stands in for;
- its httpx.Client routes the object URLs to a NativeTransport;
- that httpx.Client adds nothing of its own (event hooks other than ones marked `transfer_neutral`, auth,
  cookies, parameters, redirects, headers beyond httpx's defaults).
Every other call takes the Python path unchanged, so MockTransport and overrides still see every request.
"""

import base64
import hashlib
import importlib
import os
import stat
import threading
from urllib.parse import quote, urlsplit

import httpx

from cirrova.bellwyn import BellwynClient
from cirrova.dramlet import DramletFileClient
from cirrova.korvex import KorvexClient
from cirrova.pelorin import PelorinOSSClient
from cirrova.transport import NativeTransport

# The engine's entry points are private to the package and have no stubs: looked up on the module.
_transport = importlib.import_module("cirrova.transport")
_native_download, _native_upload = _transport._native_download, _transport._native_upload
_native_upload_parts, _native_copy = _transport._native_upload_parts, _transport._native_copy

from . import _engine, _stream
from ._engine import EXCERPT, TransferError
from ._service import strip_etag

_S3 = ("_request", "_download", "head", "_sign_request", "_sign_request_v2")
#: Per client class: the methods whose work the engine does itself.
STANDS_IN = {
    BellwynClient: _S3,
    KorvexClient: _S3,
    PelorinOSSClient: ("_request", "_download", "head", "_sign_request"),
    DramletFileClient: ("_request", "_download", "head", "_build_auth_header", "_make_authorization", "_sign",
                        "_canonicalized_resource", "_canonicalized_dramlet_headers", "_key_sort"),
}

_defaults_lock = threading.Lock()
_default_headers = None


def default_headers():
    """The headers a plain httpx.Client sends (its User-Agent names the installed httpx)."""
    global _default_headers
    with _defaults_lock:
        if _default_headers is None:
            with httpx.Client(transport=httpx.MockTransport(lambda request: httpx.Response(204))) as probe:
                _default_headers = [(k.decode("latin-1"), v.decode("latin-1")) for k, v in probe.headers.raw]
        return _default_headers


def _own_methods(client):
    cls = type(client)
    base = next((c for c in cls.__mro__ if c in STANDS_IN), None)
    if base is None:
        return False
    own = getattr(client, "__dict__", {})
    return all(name not in own and getattr(cls, name, None) is getattr(base, name, None) for name in STANDS_IN[base])


def _plain_http(http):
    hooks = http.event_hooks if isinstance(http, httpx.Client) else {}
    # The Python path's own response hook (it reads ranged replies as they arrive) is no user's hook, nor is
    # one that declares it does nothing while transfers run (the command line's listing check).
    return (isinstance(http, httpx.Client) and not http.is_closed and http.auth is None
            and not hooks["request"] and all(hook is _stream._on_response or getattr(hook, "transfer_neutral", False)
                                             for hook in hooks["response"])
            and not http.cookies and not http.params
            and not http.follow_redirects
            and [(k.decode("latin-1"), v.decode("latin-1")) for k, v in http.headers.raw] == default_headers())


def _signer(client):
    """(kind, URL prefix, upload URL prefix, Host, signed-URI prefix, access, secret, region, bucket) of the
    client's object requests."""
    if isinstance(client, KorvexClient):
        endpoint, bucket = client.endpoint, client.bucket
        host = endpoint.replace("https://", "").replace("http://", "")
        v2 = client.signature_version in ("korvex", "v2")
        if client.addressing_style == "virtual":
            prefix = f"{urlsplit(endpoint).scheme}://{bucket}.{host}/"
            host = f"{bucket}.{host}"
            uri = f"/{bucket}/" if v2 else "/"
        else:
            prefix, uri = f"{endpoint}/{bucket}/", f"/{bucket}/"
        return ("s3v2" if v2 else "s3v4", prefix, prefix, host, uri, client.access_key, client.secret_key,
                client.region, bucket)
    if isinstance(client, PelorinOSSClient):
        return ("oss", client.host + "/", client.host + "/", client.host.replace("https://", ""), "",
                client.access_key_id, client.access_key_secret, client.region, client.bucket)
    return ("ufile", client._api_host + "/", client.host + "/", "", "", client.public_key, client.private_key, "",
            client.bucket)


def _timeouts(client, timeout, http, honoured):
    if not honoured and isinstance(client, DramletFileClient):
        timeout = None  # its _download and upload_part take none: the client's default applies
    if timeout is None:
        timeout = client.default_timeout
    t = http.timeout if timeout is None else httpx.Timeout(timeout)
    return t.connect, t.read, t.write, t.pool


def plan(client, timeout, paths=(), timeout_honoured=False, modes=None):
    """(transport, signer config, time-outs, max connections) when the native engine may run this call, else None.
    `modes` are the st_mode of `paths` (None: absent) when the caller has them."""
    if os.environ.get("CIRROVA_NATIVE_TRANSFER", "1") == "0" or not _own_methods(client):
        return None
    http = getattr(client, "_client", None)
    if not _plain_http(http):
        return None
    try:
        config = _signer(client)
        urls = [httpx.URL(config[1] + "x"), httpx.URL(config[2] + "x")]
    except Exception:  # an attribute the engine cannot read: the client's own methods decide
        return None
    transport = http._transport_for_url(urls[0])
    for url in urls:
        if http._transport_for_url(url) is not transport or url.scheme not in ("http", "https"):
            return None
    if not isinstance(transport, NativeTransport):
        return None
    if modes is None:
        modes = []
        for path in paths:
            try:
                modes.append(os.stat(path).st_mode)
            except OSError:
                modes.append(None)
    if any(mode is not None and not stat.S_ISREG(mode) for mode in modes):
        return None  # devices and pipes are written through by the Python path
    config = (config[0], str(urls[0])[:-1], str(urls[1])[:-1]) + config[3:] + (default_headers(),)
    return transport, config, _timeouts(client, timeout, http, timeout_honoured)


#: A header value the engine replaces with the request body's Base64 MD5, taken in C++ as it reads the body.
MD5_SLOT = "\0md5"


def _options(concurrency, part_size, conditional, timeouts, service=None, checksum=False):
    span = max(1, part_size // 2)  # request_span: the same ranges as the Python path
    return (concurrency, span, part_size, conditional, *timeouts, _engine.ATTEMPTS, _engine.BACKOFF_BASE,
            _engine.BACKOFF_CAP, _engine.RETRY_AFTER_CAP, checksum, service.md5_header if service else "",
            service.etag_is_md5 if service else True)


def error_of(error, key):
    """The exception the Python path raises for the failure the engine reports."""
    kind, what, status, text, cls, headers, body, header, a, b, c, err = error
    if kind == "status":
        shown = body[:EXCERPT].decode("utf-8", "replace") if status >= 300 else ""  # a success's body is data
        return TransferError(f"{what} 失败: {status} {shown}".rstrip(), status)
    if kind == "transport":
        return getattr(httpx, cls)(text)
    if kind == "short":
        return TransferError(f"{what} 失败: 收到 {a} 字节, 应为 {b} 字节", status)
    if kind == "range":
        return TransferError(f"{what} 失败: Content-Range 为 {header!r:.100}, 应为 bytes {a}-{b}/{c}", status)
    if kind == "first_range":
        return TransferError(f"{what} 失败: Content-Range {header!r:.100} 与 Content-Length {text} 不符", 206)
    if kind == "etag":
        return TransferError(f"{what} 失败: 对象在下载期间已被替换 (ETag {text:.100}, 原为 {header})", status)
    if kind == "length":
        return TransferError(f"{what} 失败: Content-Length 为 {text!r:.40}, 应为 {b}", status)
    if kind == "too_long":
        return TransferError(f"回复正文超过应有的 {a} 字节")
    if kind == "412":
        return TransferError(f"{what} 失败: 412 对象在下载期间已被替换 (If-Match {text})", 412)
    if kind == "no_etag":
        return TransferError(f"{what} 失败: 回复没有 ETag", status)
    if kind == "size_changed":
        return OSError(f"上传期间文件大小改变: 原为 {a} 字节, 读到 {b} 字节")
    if kind == "no_length":
        return TransferError(f"获取 {key} 的信息失败: 回复没有 Content-Length", status)
    if kind == "md5":
        return TransferError(f"下载 {key} 失败: 收到内容的 MD5 为 {text}, 而对象的 MD5 是 {header}; 目标文件未改动")
    if kind == "copy_md5":
        return TransferError(f"{what} 失败: 读到内容的 MD5 为 {text}, 而对象的 MD5 是 {header}")
    if kind == "empty_416":
        return TransferError(f"下载 {key} 失败: 416, 而对象有 {a} 字节", 416)
    return OSError(err, os.strerror(err), text)


def download(client, service, key, path, size, etag, part_size, concurrency, callback, timeout, md5=None):
    """transfer.download's ranges on the engine, checked against `md5` (hex) when given; None when the Python
    path must run."""
    found = plan(client, timeout, (path,))
    if found is None:
        return None
    transport, config, timeouts = found
    total_parts = max(1, -(-size // part_size))
    options = _options(concurrency, part_size, service.conditional_reads, timeouts, service, md5 is not None)
    results, called, reported, index, done = _native_download(
        transport, config, [(key, path, size, etag, md5)], options, callback, False, total_parts, size)
    ok, value = results[0]
    # The progress made before a failure is reported as the Python path reports it.
    if callback is not None and (reported != done or (ok and not called)):
        callback(index, total_parts, done, size)
    if not ok:
        raise error_of(value, key)
    return value


def download_many(client, service, plan_items, concurrency, callback, part_size, timeout, checksum=False, modes=None):
    """download_many's items on the engine: [(ok, value or exception)], or None when the Python path must run."""
    found = plan(client, timeout, [path for _, path in plan_items], modes=modes)
    if found is None:
        return None
    transport, config, timeouts = found
    options = _options(concurrency, part_size, service.conditional_reads, timeouts, service, checksum)
    count = len(plan_items)
    results, called, reported, index, done = _native_download(
        transport, config, list(plan_items), options, callback, True, count, -1)
    if callback is not None and count:
        if done != reported:
            callback(index, count, done, -1)
        callback(index, count, done, done)
    return [(True, value) if ok else (False, error_of(value, key)) for (key, _), (ok, value) in
            zip(plan_items, results)]


def _upload_headers(content_type, headers, service=None, checksum=False):
    """The headers of the client's upload, or None when only its own method can build them. With `checksum`
    they carry the content's MD5 as metadata (unless the caller set it) and as Content-MD5, where the
    client's upload puts them, as MD5_SLOT."""
    pairs = []
    for name, value in (headers or {}).items():
        if not isinstance(name, str) or not isinstance(value, str) or name.lower() in ("content-type", "content-md5") \
                or "\0" in value:
            return None
        pairs.append((name, value))
    if checksum and not any(name.lower() == service.md5_header.lower() for name, _ in pairs):
        pairs.append((service.md5_header, MD5_SLOT))
    if content_type:
        pairs.append(("Content-Type", content_type))
    if checksum:
        pairs.append(("Content-MD5", MD5_SLOT))
    return pairs


def _whole_files(sources, part_size):
    """The paths of sources that are regular files of at most one part, or None when any is not."""
    paths = []
    for source in sources:
        found = _file_of(source)
        if found is None or not stat.S_ISREG(found[1].st_mode) or found[1].st_size > part_size:
            return None
        paths.append(found[0])
    return paths


def _file_of(source):
    """(path, os.stat) of a source given by its path; None for other sources and paths that cannot be read."""
    if not isinstance(source, (str, os.PathLike)):
        return None
    path = os.fsdecode(os.fspath(source))
    try:
        return path, os.stat(path)
    except OSError:
        return None


def upload_many(client, service, items, part_size, concurrency, callback, content_type, headers, timeout, checksum,
                total):
    """upload_many on the engine when every source is a file of at most one part: [(ok, ETag or exception)],
    or None when the Python path must run."""
    pairs = _upload_headers(content_type, headers, service, checksum)
    paths = None if pairs is None else _whole_files([source for source, _ in items], part_size)
    found = None if paths is None else plan(client, timeout, timeout_honoured=True)
    if found is None:
        return None
    transport, config, timeouts = found
    options = _options(concurrency, part_size, True, timeouts)
    count = len(items)
    results, called, reported, index, done = _native_upload(
        transport, config, [(key, path) for (_, key), path in zip(items, paths)], options, callback, count, total,
        pairs)
    if callback is not None and count:
        if done != reported:
            callback(index, count, done, total)
        if total != done:
            callback(index, count, done, done)
    return [(True, strip_etag(value or "")) if ok else (False, error_of(value, key)) for (_, key), (ok, value) in
            zip(items, results)]


def upload(client, service, source, key, part_size, concurrency, callback, content_type, headers, timeout,
           checksum):
    """transfer.upload of a file on the engine: its ETag, or None for the Python path."""
    file = _file_of(source)
    if file is None or _upload_headers(content_type, headers) is None:
        return None
    path, info = file
    if stat.S_ISREG(info.st_mode) and info.st_size > part_size:
        return _multipart(client, service, path, info.st_size, key, part_size, concurrency, callback, content_type,
                          headers, timeout, checksum)
    found = upload_many(client, service, [(source, key)], part_size, 1, None, content_type, headers, timeout,
                        checksum, -1)
    if found is None:
        return None
    [(ok, value)] = found
    if not ok:
        raise value
    if callback is not None:
        size = os.stat(source).st_size
        callback(0, 1, size, size)
    return value


def _part_query(client, upload_id):
    """The query of a part upload as the client's upload_part sends it, "{n}" where the part number goes."""
    if isinstance(client, DramletFileClient):  # the client writes this query itself
        return (f"uploadId={quote(upload_id, safe='')}&partNumber={{n}}", [("uploadId", upload_id),
                                                                          ("partNumber", "")], "partNumber")
    encoded = httpx.URL("http://h/", params={"partNumber": "1", "uploadId": upload_id}).query.decode("ascii")
    return encoded.replace("partNumber=1", "partNumber={n}", 1), [("partNumber", ""), ("uploadId", upload_id)], \
        "partNumber"


def _multipart(client, service, path, size, key, part_size, concurrency, callback, content_type, headers, timeout,
               checksum):
    """A multipart upload whose parts the engine reads from the file and sends; opened, finished and aborted
    by the client's own methods, as on the Python path."""
    from ._ops import _CALLER, abort, check_part_count, with_md5_metadata
    from ._engine import attempt

    found = plan(client, timeout)
    if found is None:
        return None
    transport, config, timeouts = found
    check_part_count(service, size, part_size)
    if checksum:
        with open(path, "rb") as f:  # hashlib's MD5 is OpenSSL's and lets go of the interpreter lock
            headers = with_md5_metadata(service, headers, base64.b64encode(hashlib.file_digest(f, "md5").digest())
                                        .decode("ascii"))
    upload_id, blk_size = attempt(_CALLER, lambda: service.initiate(key, content_type, headers, timeout))
    try:
        part_size = blk_size or part_size
        total_parts = max(1, -(-size // part_size))
        # UFile parts carry the upload's Content-Type; the others the default of the client's upload_part.
        part_type = content_type if isinstance(client, DramletFileClient) else None
        query = _part_query(client, upload_id) + (service.first_part,)
        options = _options(concurrency, part_size, True, timeouts)
        outcome = _native_upload_parts(transport, config, (key, path, size, None), options, callback, total_parts,
                                       _part_headers(checksum, part_type), query)
        return _finish_parts(service, client, key, upload_id, outcome, callback, total_parts, size, timeout, key)
    except BaseException as exc:
        abort(service, key, upload_id, timeout, exc)
        raise


def _part_headers(checksum, content_type):
    # upload_part puts the caller's headers (the Content-MD5) before the Content-Type.
    return ([("Content-MD5", MD5_SLOT)] if checksum else []) + [("Content-Type",
                                                                  content_type or "application/octet-stream")]


def _finish_parts(service, client, key, upload_id, outcome, callback, total_parts, size, timeout, failed_key):
    """Completes a multipart upload whose parts the engine sent; raises the engine's failure, naming failed_key."""
    from ._engine import attempt
    from ._ops import _CALLER

    results, _, reported, index, done = outcome
    ok, value = results[0]
    if callback is not None and reported != done:
        callback(index, total_parts, done, size)
    if not ok:
        raise error_of(value, failed_key)
    etags = [strip_etag(tag) for tag in value] if isinstance(client, DramletFileClient) else value
    return attempt(_CALLER, lambda: service.finish(key, upload_id, etags, timeout))


def copy(src_client, src, src_key, dst_client, dst, dst_key, size, etag, content_type, part_size, concurrency,
         callback, timeout, checksum, src_md5=None):
    """transfer.copy on the engine once the source's head is known: the new ETag, or None for the Python path."""
    from ._engine import attempt
    from ._ops import _CALLER, abort, with_md5_metadata

    found, target = plan(src_client, timeout), plan(dst_client, timeout)
    if found is None or target is None:
        return None
    transport, config, timeouts = found
    dst_transport, dst_config, _ = target
    options = _options(concurrency, part_size, src.conditional_reads, timeouts, dst, checksum)
    known = src_md5 if checksum else None
    item = (src_key, dst_key, size, etag, known)
    if size <= part_size:  # one ranged GET, one PUT
        headers = _upload_headers(content_type, None, dst, checksum)
        results, *_ = _native_copy(transport, config, dst_transport, dst_config, item, options, None, 1, headers,
                                   None)
        ok, value = results[0]
        if not ok:
            raise error_of(value, src_key if value[1].startswith("下载") else dst_key)
        if callback is not None:
            callback(0, 1, size, size)
        return strip_etag(value or "")

    initiate_headers = with_md5_metadata(dst, None, base64.b64encode(bytes.fromhex(known)).decode()
                                         if known else None)
    upload_id, blk_size = attempt(_CALLER, lambda: dst.initiate(dst_key, content_type, initiate_headers, timeout))
    try:
        part_size = blk_size or part_size
        total_parts = -(-size // part_size)
        options = _options(concurrency, part_size, src.conditional_reads, timeouts, dst, checksum)
        query = _part_query(dst_client, upload_id) + (dst.first_part,)
        outcome = _native_copy(transport, config, dst_transport, dst_config, item, options, callback, total_parts,
                               _part_headers(checksum, None), query)
        return _finish_parts(dst, dst_client, dst_key, upload_id, outcome, callback, total_parts, size, timeout,
                             src_key)
    except BaseException as exc:
        abort(dst, dst_key, upload_id, timeout, exc)
        raise
