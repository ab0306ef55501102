"""The transfer fakes grown into whole services for the filesystem tests: listings (with a delimiter on the
S3 and OSS protocols), server-side copy and batch delete; and a loopback HTTP server that puts any fake (an
httpx handler) on a real socket, for Dask worker processes that cannot reach an in-process MockTransport."""

import functools
import http.server
import threading
from urllib.parse import parse_qsl, unquote
from xml.sax.saxutils import escape

import httpx

from transfer_fakes import FakeStore, etag_of

BUCKETS = {"cos": "bkt-1250000000", "oss": "bkt", "ufile": "bk"}
CREDENTIALS = {"cos": {"access_key": "id", "secret_key": "sk"}, "oss": {"access_key": "ak", "secret_key": "sk"},
               "ufile": {"public_key": "pub", "private_key": "priv"}}


class ServiceFake(FakeStore):
    """One bucket of a COS, OSS or UFile service. `refuse` holds keys whose uploads always fail with 403."""

    def __init__(self, dialect, opaque_etags=False):
        super().__init__(dialect)
        self.refuse = set()
        self.meta = {}  # key -> user metadata headers sent with its upload
        self.opaque_etags = opaque_etags  # ETags that are no MD5, as UFile's and multipart uploads' are

    def __call__(self, request):
        request.read()
        path = unquote(request.url.raw_path.split(b"?")[0].decode())[1:]
        query = dict(parse_qsl(request.url.query.decode(), keep_blank_values=True))
        method = request.method
        if method == "GET" and not path:
            with self.lock:
                self.log.append(("list", "", None, dict(request.headers)))
                return self.list(query)
        if method == "POST" and "delete" in query:
            with self.lock:
                self.log.append(("batch", "", None, dict(request.headers)))
                planned = self.faults.get(("batch", None))
                outcome = planned.pop(0) if planned else None
            if isinstance(outcome, Exception):
                raise outcome
            return self.batch_delete(request.content) if outcome is None else self.answer(request, "batch", "", query,
                                                                                          outcome)
        if method in ("PUT", "POST") and path in self.refuse:
            return httpx.Response(403, content=b"<Error><Code>AccessDenied</Code></Error>")
        if (method == "PUT" and "uploadId" not in query) or (method == "POST" and "uploads" in query):
            with self.lock:
                self.meta[path] = {k: v for k, v in request.headers.items() if "-meta-" in k.lower()}
        source = request.headers.get("x-amz-copy-source") or request.headers.get("x-oss-copy-source")
        if method == "PUT" and source and "uploadId" not in query:
            return self.copy(path, source)
        return super().__call__(request)

    def head(self, request, key, query):
        response = super().head(request, key, query)
        response.headers["Last-Modified"] = "Wed, 09 Dec 2026 01:00:00 GMT"
        if response.status_code == 200:
            response.headers.update(self.meta.get(key, {}))
            if self.opaque_etags:
                response.headers["ETag"] = '"opaque-' + etag_of(self.objects[key]).strip('"')[:8] + '"'
        return response

    def get(self, request, key, query):
        ranged = request.headers.get("range", "")
        if ranged.endswith("-") and key in self.objects:  # open-ended: to the last byte
            request.headers["range"] = ranged + str(max(len(self.objects[key]) - 1, 0))
        return super().get(request, key, query)

    def copy(self, key, source):
        src_key = unquote(source).lstrip("/").split("/", 1)[1]
        with self.lock:
            self.log.append(("copy", key, src_key, {}))
            if src_key not in self.objects:
                return httpx.Response(404, content=b"<Error><Code>NoSuchKey</Code></Error>")
            data = self.objects[key] = self.objects[src_key]
        return self.xml(200, f"<CopyObjectResult><ETag>{etag_of(data)}</ETag></CopyObjectResult>")

    def batch_delete(self, body):
        import xml.etree.ElementTree as ET

        done = []
        with self.lock:
            for element in ET.fromstring(body).iter():
                if element.tag.rsplit("}", 1)[-1] == "Key":
                    self.objects.pop(element.text, None)
                    done.append(f"<Deleted><Key>{escape(element.text)}</Key></Deleted>")
        return self.xml(200, f"<DeleteResult>{''.join(done)}</DeleteResult>")

    def list(self, query):
        prefix = query.get("prefix", "")
        delimiter = query.get("delimiter", "")
        start = query.get("continuation-token") or query.get("marker") or ""
        limit = int(query.get("max-keys") or query.get("limit") or 1000)
        rows = []  # (name, is_folder) in key order, folders once
        for key in sorted(self.objects):
            if not key.startswith(prefix) or key <= start:
                continue
            rest = key[len(prefix):]
            if delimiter and delimiter in rest:
                folder = prefix + rest.split(delimiter, 1)[0] + delimiter
                if folder > start and (not rows or rows[-1][0] != folder):
                    rows.append((folder, True))
                continue
            rows.append((key, False))
        page, more = rows[:limit], len(rows) > limit
        next_marker = page[-1][0] if more else ""
        if self.dialect == "ufile":
            data = [{"FileName": k, "Size": len(self.objects[k]), "ModifyTime": 1796778000, "Etag": etag_of(
                self.objects[k]).strip('"'), "MimeType": "application/octet-stream"} for k, _ in page]
            return httpx.Response(200, json={"DataSet": data, "NextMarker": next_marker})
        contents = "".join(
            f"<CommonPrefixes><Prefix>{escape(k)}</Prefix></CommonPrefixes>" if folder else
            f"<Contents><Key>{escape(k)}</Key><Size>{len(self.objects[k])}</Size><ETag>{etag_of(self.objects[k])}"
            f"</ETag><LastModified>2026-12-09T01:00:00.000Z</LastModified></Contents>" for k, folder in page)
        marker = "NextContinuationToken" if "list-type" in query else "NextMarker"
        tail = f"<{marker}>{escape(next_marker)}</{marker}>" if more else ""
        return self.xml(200, f"<ListBucketResult>{contents}<IsTruncated>{str(more).lower()}</IsTruncated>{tail}"
                             f"</ListBucketResult>")


def mock_client(handler):
    return httpx.Client(transport=httpx.MockTransport(handler))


class _ToLoopback(httpx.HTTPTransport):
    """Sends every request to one loopback port over plain HTTP, keeping its Host header and path."""

    def __init__(self, port):
        super().__init__()
        self.port = port

    def handle_request(self, request):
        request.url = request.url.copy_with(scheme="http", host="127.0.0.1", port=self.port)
        return super().handle_request(request)


def loopback_client(port):
    return httpx.Client(transport=_ToLoopback(port), timeout=30)


def loopback_factory(port):
    """A picklable http_client_factory: Dask workers rebuild it and reach the fake's socket."""
    return functools.partial(loopback_client, port)


class LoopbackServer:
    """Serves an httpx handler (a fake) on 127.0.0.1 with a thread per connection."""

    def __init__(self, handler):
        fake = handler

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _serve(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                host = self.headers.get("Host", "fake")
                request = httpx.Request(self.command, f"http://{host}{self.path}",
                                        headers=list(self.headers.items()), content=body)
                response = fake(request)
                response.read()
                self.send_response(response.status_code)
                for name, value in response.headers.items():
                    if name.lower() not in ("content-length", "transfer-encoding", "connection"):
                        self.send_header(name, value)
                if self.command == "HEAD" and "content-length" in response.headers:
                    self.send_header("Content-Length", response.headers["content-length"])
                else:
                    self.send_header("Content-Length", str(len(response.content)))
                self.end_headers()
                if self.command != "HEAD":
                    self.wfile.write(response.content)

            do_GET = do_PUT = do_POST = do_DELETE = do_HEAD = _serve

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()
