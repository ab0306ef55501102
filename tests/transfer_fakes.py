"""Stateful fakes of the S3-protocol, OSS and UFile services for the transfer tests.

They store objects and multipart uploads, answer ranged GETs and If-Match like the services, and can be
told to fail chosen requests chosen times, to answer a range with a wrong Content-Range, or to replace an
object part-way through a download. Every request is logged; signatures are the clients' tests' business.
"""

import base64
import hashlib
import threading
import time
from urllib.parse import parse_qsl, unquote

import httpx

from cirrova.bellwyn import BellwynClient
from cirrova.dramlet import DramletFileClient
from cirrova.korvex import KorvexClient
from cirrova.pelorin import PelorinOSSClient

MiB = 1024 * 1024


def etag_of(data):
    return '"' + hashlib.md5(data).hexdigest() + '"'


class FakeStore:
    """One bucket. dialect: "s3" (path-style on http://s3.test/bkt), "cos", "oss" or "ufile"."""

    def __init__(self, dialect="s3"):
        self.dialect = dialect
        self.objects = {}     # key -> bytes
        self.uploads = {}     # upload id -> {"key", "parts": {number: bytes}}
        self.aborted, self.log = [], []
        self.faults = {}      # (op, detail) -> list of statuses or exceptions to answer first
        self.bad_range_at = None   # range start answered with a shifted Content-Range
        self.short_at = {}         # range start -> times its reply is cut short by a byte
        self.replace_after = None  # (n, new bytes): replace the object after n ranged GETs
        self.ignore_range = False
        self.mislabel = False      # True: HEAD and GET state an ETag that is the MD5 of other bytes
        self.metadata = {}         # key -> headers that HEAD and GET answer with (user metadata)
        self.latency = 0
        self.keep_parts = True     # False: parts are checked and counted, their bytes dropped
        self.active = self.max_active = 0  # part and ranged-GET requests being answered at once
        self.lock = threading.Lock()
        self.next_id = 0
        self.gets = 0

    # Plumbing ----------------------------------------------------------------------------------------

    def client(self, cls=None, **kw):
        http = httpx.Client(transport=httpx.MockTransport(self))
        if self.dialect == "ufile":
            return (cls or DramletFileClient)("pub", "priv", "bk", http_client=http, **kw)
        if self.dialect == "oss":
            return (cls or PelorinOSSClient)("ak", "sk", "bkt", http_client=http, **kw)
        if self.dialect == "cos":
            return (cls or BellwynClient)("id", "sk", "bkt-1250000000", http_client=http, **kw)
        return (cls or KorvexClient)("ak", "sk", "bkt", endpoint="http://s3.test", http_client=http, **kw)

    def fail(self, op, detail, *outcomes):
        """Answer the next requests of op ("get" by range start, "part" by number, others by None) so."""
        self.faults[(op, detail)] = list(outcomes)

    def count(self, op):
        return sum(1 for entry in self.log if entry[0] == op)

    def __call__(self, request):
        request.read()
        path = unquote(request.url.raw_path.split(b"?")[0].decode())[1:]
        key = path.split("/", 1)[1] if self.dialect == "s3" else path
        query = dict(parse_qsl(request.url.query.decode(), keep_blank_values=True))
        op = self.operation(request.method, query)
        detail = None
        if op == "get" and "range" in request.headers:
            detail = int(request.headers["range"].removeprefix("bytes=").split("-")[0])
        elif op == "part":
            detail = int(query["partNumber"])
        with self.lock:
            self.log.append((op, key, detail, dict(request.headers)))
            planned = self.faults.get((op, detail))
            outcome = planned.pop(0) if planned else None
        if isinstance(outcome, Exception):
            raise outcome
        if op in ("part", "get"):
            with self.lock:
                self.active += 1
                self.max_active = max(self.max_active, self.active)
            try:
                return self.answer(request, op, key, query, outcome)
            finally:
                with self.lock:
                    self.active -= 1
        return self.answer(request, op, key, query, outcome)

    def answer(self, request, op, key, query, outcome):
        if outcome is not None:
            status, headers = outcome if isinstance(outcome, tuple) else (outcome, {})
            return httpx.Response(status, headers=headers, content=b"<Error><Code>Injected</Code></Error>")
        if self.latency and op in ("part", "get"):
            time.sleep(self.latency)  # lets parallel requests overlap as on a network
        with self.lock:
            return getattr(self, op)(request, key, query)

    @staticmethod
    def operation(method, query):
        if "uploads" in query:
            return "initiate"
        if "uploadId" in query:
            return {"PUT": "part", "POST": "finish", "DELETE": "abort"}[method]
        return {"PUT": "put", "GET": "get", "HEAD": "head", "DELETE": "delete"}[method]

    def xml(self, status, body):
        return httpx.Response(status, content=body.encode(), headers={"Content-Type": "application/xml"})

    # Operations --------------------------------------------------------------------------------------

    def put(self, request, key, query):
        self.objects[key] = request.content
        return httpx.Response(200, headers={"ETag": etag_of(request.content)})

    def head(self, request, key, query):
        if key not in self.objects:
            return httpx.Response(404)
        body = self.objects[key]
        return httpx.Response(200, headers={"Content-Length": str(len(body)), "ETag": self.tag(body),
                                            **self.metadata.get(key, {})})

    def get(self, request, key, query):
        if key not in self.objects:
            return httpx.Response(404)
        body = self.objects[key]
        tag = self.tag(body)
        wanted = request.headers.get("if-match")
        if wanted is not None and self.dialect != "ufile" and wanted != tag:
            return httpx.Response(412, content=b"<Error><Code>PreconditionFailed</Code></Error>")
        rng = request.headers.get("range")
        if not rng or self.ignore_range:
            return httpx.Response(200, content=body, headers={"ETag": tag, **self.metadata.get(key, {})})
        start, end = (int(x) for x in rng.removeprefix("bytes=").split("-"))
        if start >= len(body):
            return httpx.Response(416)
        end = min(end, len(body) - 1)
        self.gets += 1
        if self.replace_after and self.gets == self.replace_after[0]:
            self.objects[key] = self.replace_after[1]
        shown = start + 1 if start == self.bad_range_at else start
        cut = 0
        if self.short_at.get(start):
            self.short_at[start] -= 1
            cut = 1
        return httpx.Response(206, content=body[start:end + 1 - cut], headers={
            "Content-Range": f"bytes {shown}-{end}/{len(body)}", "ETag": tag, **self.metadata.get(key, {})})

    def tag(self, body):
        return etag_of(body + b"?" if self.mislabel else body)

    def initiate(self, request, key, query):
        self.next_id += 1
        upload_id = f"up-{self.next_id}"
        self.uploads[upload_id] = {"key": key, "parts": {}, "type": request.headers.get("content-type")}
        if self.dialect == "ufile":
            return httpx.Response(200, json={"UploadId": upload_id, "BlkSize": 4 * MiB, "Bucket": "bk", "Key": key})
        return self.xml(200, f'<?xml version="1.0" encoding="UTF-8"?><InitiateMultipartUploadResult '
                             f'xmlns="http://s3.amazonaws.com/doc/2006-03-01/"><Bucket>bkt</Bucket><Key>{key}</Key>'
                             f'<UploadId>{upload_id}</UploadId></InitiateMultipartUploadResult>')

    def part(self, request, key, query):
        upload = self.uploads.get(query["uploadId"])
        if upload is None:
            return httpx.Response(404, content=b"<Error><Code>NoSuchUpload</Code></Error>")
        md5 = request.headers.get("content-md5")
        if md5 is not None:
            if base64.b64decode(md5) != hashlib.md5(request.content).digest():
                return httpx.Response(400, content=b"<Error><Code>BadDigest</Code></Error>")
        upload["parts"][int(query["partNumber"])] = request.content if self.keep_parts else b""
        return httpx.Response(200, headers={"ETag": etag_of(request.content)})

    def finish(self, request, key, query):
        upload = self.uploads.pop(query["uploadId"], None)
        if upload is None:
            return httpx.Response(404, content=b"<Error><Code>NoSuchUpload</Code></Error>")
        numbers = sorted(upload["parts"])
        first = 0 if self.dialect == "ufile" else 1
        assert numbers == list(range(first, first + len(numbers))), numbers
        if self.dialect == "ufile":
            tags = request.content.decode().split(",")
            assert tags == [etag_of(upload["parts"][n]).strip('"') for n in numbers]
        else:
            assert request.content.decode().count("<Part>") == len(numbers)
            for n in numbers if self.keep_parts else ():
                assert f"<PartNumber>{n}</PartNumber><ETag>{etag_of(upload['parts'][n])}</ETag>" in \
                    request.content.decode()
        data = b"".join(upload["parts"][n] for n in numbers)
        self.objects[key] = data
        if self.dialect == "ufile":
            return httpx.Response(200, json={"Bucket": "bk", "Key": key, "FileSize": len(data)},
                                  headers={"ETag": etag_of(data)})
        return self.xml(200, f"<CompleteMultipartUploadResult><Key>{key}</Key><ETag>{etag_of(data)}</ETag>"
                             f"</CompleteMultipartUploadResult>")

    def abort(self, request, key, query):
        self.aborted.append(query["uploadId"])
        self.uploads.pop(query["uploadId"], None)
        return httpx.Response(200 if self.dialect == "ufile" else 204)

    def delete(self, request, key, query):
        self.objects.pop(key, None)
        return httpx.Response(204)
