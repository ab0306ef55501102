"""In-memory object stores behind httpx.MockTransport, answering the way the S3/COS, OSS and UFile services do."""

import base64
import hashlib
import json
import urllib.parse
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

import httpx


class FakeStore:
    """One service's buckets; `flavour` is "s3" (S3 and COS protocol), "oss" or "ufile".

    Buckets are found from the host's first label (virtual hosts) or, for path-style S3, from the first path
    segment. Ranged reads, If-Match, listing pages and the S3 batch delete are served; every request is kept.
    A PUT whose body is not its Content-MD5 is refused (400 BadDigest); user metadata is kept and returned.
    """

    def __init__(self, flavour, path_style=False):
        self.flavour = flavour
        self.path_style = path_style
        self.objects = {}  # (bucket, key) -> bytes
        self.metadata = {}  # (bucket, key) -> {lower-case header: value}
        self.requests = []
        self.page = 1000
        self.fail = None  # a function(request) returning a Response to send instead, or None

    def put(self, bucket, key, data):
        self.objects[(bucket, key)] = bytes(data)

    def keys(self, bucket):
        return sorted(k for b, k in self.objects if b == bucket)

    def __call__(self, request):
        self.requests.append(request)
        if self.fail is not None:
            reply = self.fail(request)
            if reply is not None:
                return reply
        bucket, key = self._address(request)
        params = dict(request.url.params)
        method = request.method
        if method == "GET" and not key:
            return self._list(bucket, params)
        if method == "POST" and "delete" in params:
            return self._batch_delete(bucket, request.content)
        stored = self.objects.get((bucket, key))
        if method == "PUT":
            digest = request.headers.get("Content-MD5")
            if digest is not None and base64.b64decode(digest) != hashlib.md5(request.content).digest():
                return self._error(400, "BadDigest", "The Content-MD5 you specified did not match what we received.")
            self.objects[(bucket, key)] = request.content
            self.metadata[(bucket, key)] = {n: v for n, v in request.headers.items() if "-meta-" in n}
            return httpx.Response(200, headers={"ETag": self._etag(request.content)})
        if method == "DELETE":
            self.objects.pop((bucket, key), None)
            return httpx.Response(204)
        if stored is None:
            return self._error(404, "NoSuchKey", "The specified key does not exist.")
        etag = self._etag(stored)
        headers = {"ETag": etag, "Last-Modified": "Wed, 09 Dec 2026 01:00:00 GMT",
                   "Content-Type": "application/octet-stream", "x-amz-meta-owner": "tests",
                   **self.metadata.get((bucket, key), {})}
        if method == "HEAD":
            return httpx.Response(200, headers={**headers, "Content-Length": str(len(stored))})
        match = request.headers.get("If-Match")
        if match is not None and match != etag:
            return self._error(412, "PreconditionFailed", "At least one of the preconditions did not hold.")
        ranged = request.headers.get("Range")
        if ranged:
            first, last = (int(x) for x in ranged.removeprefix("bytes=").split("-"))
            last = min(last, len(stored) - 1)
            body = stored[first:last + 1]
            return httpx.Response(206, content=body,
                                  headers={**headers, "Content-Range": f"bytes {first}-{last}/{len(stored)}"})
        return httpx.Response(200, content=stored, headers=headers)

    def _etag(self, data):
        # UFile's ETag is its own hash of the content, no MD5.
        digest = hashlib.md5(data).hexdigest()
        return f'"{digest.upper()}"' if self.flavour == "oss" else \
            f'"uf-{digest[:16]}"' if self.flavour == "ufile" else f'"{digest}"'

    def _address(self, request):
        path = urllib.parse.unquote(request.url.path)
        if self.path_style:
            bucket, _, key = path[1:].partition("/")
            return bucket, key
        return request.url.host.split(".")[0], path[1:]

    def _error(self, status, code, message):
        if self.flavour == "ufile":
            return httpx.Response(status, json={"RetCode": -status, "ErrMsg": message})
        body = f"<?xml version='1.0'?><Error><Code>{code}</Code><Message>{message}</Message></Error>"
        return httpx.Response(status, content=body.encode(), headers={"Content-Type": "application/xml"})

    def _list(self, bucket, params):
        prefix = params.get("prefix", "")
        start = params.get("continuation-token") or params.get("marker") or ""
        keys = [k for k in self.keys(bucket) if k.startswith(prefix) and k > start]
        page, rest = keys[:self.page], keys[self.page:]
        if self.flavour == "ufile":
            data = {"DataSet": [{"FileName": k, "Size": len(self.objects[(bucket, k)]), "ModifyTime": 1796778000,
                                 "MimeType": "application/octet-stream",
                                 "Etag": self._etag(self.objects[(bucket, k)]).strip('"')} for k in page],
                    "NextMarker": page[-1] if rest else ""}
            return httpx.Response(200, json=data)
        contents = "".join(
            f"<Contents><Key>{escape(k)}</Key><Size>{len(self.objects[(bucket, k)])}</Size>"
            f"<LastModified>2026-12-09T01:00:00.000Z</LastModified>"
            f"<ETag>{self._etag(self.objects[(bucket, k)])}</ETag></Contents>" for k in page)
        marker = "NextContinuationToken" if self.flavour == "s3" else "NextMarker"
        more = f"<{marker}>{escape(page[-1])}</{marker}>" if rest else ""
        body = (f"<ListBucketResult><Name>{bucket}</Name>{contents}"
                f"<IsTruncated>{'true' if rest else 'false'}</IsTruncated>{more}</ListBucketResult>")
        return httpx.Response(200, content=body.encode())

    def _batch_delete(self, bucket, body):
        # The key text is taken as sent, as the real service does: it is not percent-decoded.
        root = ET.fromstring(body)
        done = []
        for el in root.iter("Key"):
            self.objects.pop((bucket, el.text), None)
            done.append(f"<Deleted><Key>{escape(el.text)}</Key></Deleted>")
        return httpx.Response(200, content=f"<DeleteResult>{''.join(done)}</DeleteResult>".encode())


class Hosts:
    """Sends each request to the fake whose host suffix matches, for commands that touch two services."""

    def __init__(self, **by_suffix):
        self.by_suffix = by_suffix

    def __call__(self, request):
        for suffix, fake in self.by_suffix.items():
            if request.url.host.endswith(suffix):
                return fake(request)
        return httpx.Response(599, content=json.dumps({"unrouted": str(request.url)}).encode())
