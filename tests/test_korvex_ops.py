"""Listing, multipart upload and download, bucket, copy and batch-delete
operations of KorvexClient, checked through httpx.MockTransport."""

import base64
import hashlib
import io
import os
import stat
import tracemalloc
import xml.etree.ElementTree as ET

import httpx
import pytest

from cirrova.korvex import KorvexClient

ENDPOINT = "https://s3.example.com"
NS = "http://s3.amazonaws.com/doc/2006-03-01/"
MiB = 1024 * 1024


def make_client(handler, **kw):
    kw.setdefault("endpoint", ENDPOINT)
    http = httpx.Client(transport=httpx.MockTransport(handler))
    return KorvexClient("AKID", "SECRET", kw.pop("bucket", "bkt"), http_client=http, **kw)


class Recorder:
    """Answers every request with `reply` (a Response, or a callable taking the
    request) and keeps the requests."""

    def __init__(self, reply=None):
        self.requests = []
        self.reply = reply if reply is not None else httpx.Response(200)

    def __call__(self, request):
        self.requests.append(request)
        r = self.reply(request) if callable(self.reply) else self.reply
        return r

    @property
    def last(self):
        return self.requests[-1]


def doc(body, ns=True):
    """An XML reply document, with or without the default namespace."""
    root, rest = body.split(">", 1)
    if ns:
        closed = root.endswith("/")
        root = root.rstrip("/") + f' xmlns="{NS}"' + ("/" if closed else "")
    return f'<?xml version="1.0" encoding="UTF-8"?>\n{root}>{rest}'


def timeouts(request):
    return request.extensions["timeout"]


def signed_headers(request):
    auth = request.headers["authorization"]
    return auth.split("SignedHeaders=")[1].split(",")[0].split(";")


def open_fds_to(path):
    real = os.path.realpath(path)
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == real:
                found.append(fd)
        except OSError:
            pass
    return found


# ---------------------------------------------------------------- listing

LISTING = """<ListBucketResult><Name>bkt</Name><Prefix></Prefix><KeyCount>3</KeyCount>
<Contents><Key>a.txt</Key><LastModified>2024-01-02T03:04:05.000Z</LastModified>
<ETag>"9e107d9d372bb6826bd81d3542a419d6"</ETag><Size>43</Size></Contents>
<Contents><Key>b/c d.bin</Key><LastModified>2024-01-03T00:00:00.000Z</LastModified>
<ETag>""x""</ETag><Size>0</Size></Contents>
<Contents><Key>no-size</Key><ETag></ETag></Contents>
<IsTruncated>true</IsTruncated><NextContinuationToken>tok/2==</NextContinuationToken>
</ListBucketResult>"""

LISTED = [
    {"key": "a.txt", "size": 43, "last_modified": "2024-01-02T03:04:05.000Z",
     "etag": "9e107d9d372bb6826bd81d3542a419d6"},
    {"key": "b/c d.bin", "size": 0, "last_modified": "2024-01-03T00:00:00.000Z", "etag": "x"},
    {"key": "no-size", "size": 0, "last_modified": "", "etag": ""},
]


def test_list_query_parameters_and_headers():
    rec = Recorder(httpx.Response(200, text=doc("<ListBucketResult></ListBucketResult>")))
    c = make_client(rec)
    assert c.list() == {"objects": [], "is_truncated": False}
    req = rec.last
    assert req.method == "GET" and str(req.url).split("?")[0] == ENDPOINT + "/bkt/"
    assert req.url.params.multi_items() == [("list-type", "2"), ("prefix", ""), ("max-keys", "20")]

    hdrs = {"X-Trace": "1"}
    c.list(prefix="photos/", marker="tok/2==", limit=1000, headers=hdrs, timeout=4)
    req = rec.last
    assert req.url.params.multi_items() == [("list-type", "2"), ("prefix", "photos/"), ("max-keys", "1000"),
                                            ("continuation-token", "tok/2==")]
    assert req.headers["x-trace"] == "1" and hdrs == {"X-Trace": "1"}
    assert timeouts(req)["read"] == 4
    c.list(limit=5.9)
    assert rec.last.url.params["max-keys"] == "5"

    n = len(rec.requests)
    with pytest.raises(TypeError, match="Argument 'marker' has incorrect type"):
        c.list(marker=None)
    with pytest.raises(TypeError, match="Argument 'prefix' has incorrect type"):
        c.list(prefix=b"x")
    assert len(rec.requests) == n


@pytest.mark.parametrize("ns", [True, False])
def test_list_reads_replies_with_and_without_namespace(ns):
    c = make_client(Recorder(httpx.Response(200, text=doc(LISTING, ns))))
    page = c.list()
    assert page == {"objects": LISTED, "is_truncated": True, "next_marker": "tok/2=="}
    assert [list(o) for o in page["objects"]] == [["key", "size", "last_modified", "etag"]] * 3


@pytest.mark.parametrize("body, expected", [
    # truncated without a token
    ("<R><IsTruncated>true</IsTruncated></R>", {"objects": [], "is_truncated": True, "next_marker": ""}),
    # only exact "true" counts
    ("<R><IsTruncated>True</IsTruncated><NextContinuationToken>t</NextContinuationToken></R>",
     {"objects": [], "is_truncated": False}),
    ("<R><IsTruncated>1</IsTruncated></R>", {"objects": [], "is_truncated": False}),
    # Contents found at any depth, IsTruncated only under the root
    ("<R><Deep><Contents><Key>k</Key><Size>5</Size></Contents><IsTruncated>true</IsTruncated></Deep></R>",
     {"objects": [{"key": "k", "size": 5, "last_modified": "", "etag": ""}], "is_truncated": False}),
    # missing and empty elements
    ("<R><Contents><Size>1</Size><LastModified/></Contents><Contents><Key/><ETag/></Contents></R>",
     {"objects": [{"key": "", "size": 1, "last_modified": None, "etag": ""},
                  {"key": None, "size": 0, "last_modified": "", "etag": ""}], "is_truncated": False}),
])
@pytest.mark.parametrize("ns", [True, False])
def test_list_edge_replies(body, expected, ns):
    c = make_client(Recorder(httpx.Response(200, text=doc(body, ns))))
    assert c.list() == expected


def test_list_error_reply_raises_instead_of_reading_as_empty():
    body = "<Error><Code>NoSuchBucket</Code><Message>gone</Message></Error>"
    c = make_client(Recorder(httpx.Response(404, text=body)))
    with pytest.raises(Exception) as info:
        c.list()
    assert type(info.value) is Exception
    assert str(info.value) == "列出对象失败: 404 " + body
    with pytest.raises(Exception, match="列出对象失败: 404"):
        c.get_bucket_stats()


def test_list_bad_replies_raise():
    for body, exc in [("", ET.ParseError), ("not xml", ET.ParseError),
                      ("<R><Contents><Size>x</Size></Contents></R>", ValueError),
                      ("<R><Contents><Size/></Contents></R>", TypeError)]:
        c = make_client(Recorder(httpx.Response(200, text=body)))
        with pytest.raises(exc):
            c.list()


# ---------------------------------------------------------- multipart upload

def test_initiate_and_upload_part_requests():
    rec = Recorder()
    c = make_client(rec)
    c.initiate_multipart_upload("big/file.bin")
    req = rec.last
    assert req.method == "POST" and req.url.path == "/bkt/big/file.bin"
    assert req.url.query == b"uploads="
    assert "content-type" not in req.headers

    hdrs = {"x-amz-meta-a": "1"}
    c.initiate_multipart_upload("k", content_type="video/mp4", headers=hdrs, timeout=9)
    assert rec.last.headers["content-type"] == "video/mp4" and rec.last.headers["x-amz-meta-a"] == "1"
    assert hdrs == {"x-amz-meta-a": "1"} and timeouts(rec.last)["connect"] == 9

    c.upload_part("k", "UP/1", 3.7, b"part-bytes")
    req = rec.last
    assert req.method == "PUT"
    assert req.url.params.multi_items() == [("partNumber", "3"), ("uploadId", "UP/1")]
    assert req.content == b"part-bytes" and req.headers["content-type"] == "application/octet-stream"

    c.upload_part("k", "U", 1, b"x", content_type="")
    assert "content-type" not in rec.last.headers
    stream = io.BytesIO(b"0123456789")
    stream.seek(4)
    c.upload_part("k", "U", 2, stream, "text/plain")
    assert rec.last.content == b"456789" and rec.last.headers["content-type"] == "text/plain"

    n = len(rec.requests)
    with pytest.raises(TypeError, match="Argument 'content_type' has incorrect type"):
        c.upload_part("k", "U", 1, b"x", None)
    with pytest.raises(TypeError, match="Argument 'upload_id' has incorrect type"):
        c.upload_part("k", 5, 1, b"x")

    class Failing:
        def read(self):
            raise OSError("disk gone")
    with pytest.raises(OSError, match="disk gone"):
        c.upload_part("k", "U", 1, Failing())
    assert len(rec.requests) == n


def test_finish_and_abort_requests():
    rec = Recorder(httpx.Response(500, text="oops"))
    c = make_client(rec)
    resp = c.finish_multipart_upload("k", "U1", ['"A"', "B"], headers={"Content-Type": "text/plain"})
    assert resp.status_code == 500 and resp.text == "oops"  # the reply is not examined
    req = rec.last
    assert req.method == "POST" and req.url.params.multi_items() == [("uploadId", "U1")]
    assert req.headers.get_list("content-type") == ["application/xml"]
    assert req.content == (b'<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>"A"</ETag></Part>'
                           b"<Part><PartNumber>2</PartNumber><ETag>B</ETag></Part></CompleteMultipartUpload>")
    c.finish_multipart_upload("k", "U1", [], new_object="elsewhere")
    assert rec.last.content == b"<CompleteMultipartUpload></CompleteMultipartUpload>"
    assert rec.last.url.path == "/bkt/k"
    c.finish_multipart_upload("k", "U1", [7])
    assert b"<ETag>7</ETag>" in rec.last.content
    with pytest.raises(TypeError, match="Argument 'etags' has incorrect type"):
        c.finish_multipart_upload("k", "U1", ("A",))

    hdrs = {"x-amz-request-payer": "requester"}
    c.abort_multipart_upload("k", "U1", headers=hdrs)
    assert rec.last.method == "DELETE" and rec.last.url.params.multi_items() == [("uploadId", "U1")]
    assert "Authorization" in hdrs and "x-amz-date" in hdrs  # the caller's mapping is used itself
    c.abort_multipart_upload("k", "U2")
    assert rec.last.url.params["uploadId"] == "U2"


# ---------------------------------------------------------- ranged download

class ObjectServer:
    """Serves one object: HEAD with its length, ranged GET with 206."""

    def __init__(self, data, fail=None):
        self.data = data
        self.requests = []
        self.fail = fail or {}  # GET index (from 0) -> Response, exception or callable

    def __call__(self, request):
        self.requests.append(request)
        if request.method == "HEAD":
            return httpx.Response(200, headers={"Content-Length": str(len(self.data))})
        gets = [r for r in self.requests if r.method == "GET"]
        action = self.fail.get(len(gets) - 1)
        if isinstance(action, Exception):
            raise action
        if callable(action):
            return action(request, self.data)
        if action is not None:
            return action
        start, end = request.headers["range"].removeprefix("bytes=").split("-")
        return httpx.Response(206, content=self.data[int(start):int(end) + 1],
                              headers={"Content-Range": f"bytes {start}-{end}/{len(self.data)}"})

    def ranges(self):
        return [r.headers["range"] for r in self.requests if r.method == "GET"]


def pattern(n):
    block = bytes(range(251)) * 4177  # a period that no part size divides
    whole, rest = divmod(n, len(block))
    return block * whole + block[:rest]


def test_download_in_ranges_with_progress(tmp_path):
    data = pattern(20 * MiB)
    srv = ObjectServer(data)
    c = make_client(srv)
    calls = []
    path = tmp_path / "deep" / "er" / "out.bin"
    assert c.multipart_download("obj", str(path), callback=lambda *a: calls.append(a)) is True
    assert path.read_bytes() == data
    assert srv.ranges() == ["bytes=0-8388607", "bytes=8388608-16777215", "bytes=16777216-20971519"]
    assert calls == [(0, 3, 8388608, 20971520), (1, 3, 16777216, 20971520), (2, 3, 20971520, 20971520)]
    head = srv.requests[0]
    assert head.method == "HEAD" and "range" not in head.headers
    assert open_fds_to(path) == []


@pytest.mark.parametrize("size, part, ranges", [
    (100, 100, ["bytes=0-99"]),
    (1, 8 * MiB, ["bytes=0-0"]),
    (10, 4.5, ["bytes=0-3", "bytes=4-7", "bytes=8-9"]),
    (5, 10 ** 30, ["bytes=0-4"]),
])
def test_download_part_boundaries(tmp_path, monkeypatch, size, part, ranges):
    monkeypatch.chdir(tmp_path)
    data = pattern(size)
    srv = ObjectServer(data)
    calls = []
    assert make_client(srv).multipart_download("o", "plain.bin", part, lambda *a: calls.append(a)) is True
    assert srv.ranges() == ranges
    assert (tmp_path / "plain.bin").read_bytes() == data
    assert os.listdir(tmp_path) == ["plain.bin"]  # no directory made
    n = len(ranges)
    assert [c[:2] for c in calls] == [(i, n) for i in range(n)] and calls[-1][2:] == (size, size)


def test_download_timeouts_and_falsy_callbacks(tmp_path):
    srv = ObjectServer(b"abc")
    c = make_client(srv)

    class Falsy:
        called = False

        def __bool__(self):
            return False

        def __call__(self, *a):
            Falsy.called = True

    for cb in (None, 0, "", Falsy()):
        assert c.multipart_download("o", str(tmp_path / "f"), 2, cb, timeout=3) is True
    assert not Falsy.called
    assert all(timeouts(r)["read"] == 3 for r in srv.requests)
    # No time-out of the call or the client object: head's own default does not
    # apply, the httpx.Client's does.
    c = KorvexClient("a", "s", "bkt", endpoint=ENDPOINT,
                     http_client=httpx.Client(transport=httpx.MockTransport(srv), timeout=4))
    srv.requests.clear()
    c.multipart_download("o", str(tmp_path / "f"))
    assert [timeouts(r)["read"] for r in srv.requests] == [4, 4]
    with_default = make_client(srv, timeout=21)
    srv.requests.clear()
    with_default.multipart_download("o", str(tmp_path / "f"))
    assert [timeouts(r)["read"] for r in srv.requests] == [21, 21]


def test_download_failures_before_the_file(tmp_path):
    path = tmp_path / "d" / "out.bin"

    c = make_client(Recorder(httpx.Response(404, text="no such key")))
    with pytest.raises(Exception) as ei:
        c.multipart_download("o", str(path))
    assert type(ei.value) is Exception and str(ei.value) == "获取文件信息失败: 404 no such key"
    assert (tmp_path / "d").is_dir() and not path.exists()

    for headers in ({"Content-Length": "0"}, {}):
        rec = Recorder(httpx.Response(200, headers=headers))
        with pytest.raises(Exception, match="^文件大小为 0$"):
            make_client(rec).multipart_download("o", str(path))
        assert not path.exists() and len(rec.requests) == 1

    srv = ObjectServer(b"abc")
    with pytest.raises(ZeroDivisionError):
        make_client(srv).multipart_download("o", str(path), 0)
    assert not path.exists() and [r.method for r in srv.requests] == ["HEAD"]
    # A negative part size would make no part at all and report an empty file as done.
    with pytest.raises(ValueError):
        make_client(srv).multipart_download("o", str(path), -8)
    assert not path.exists()
    rec = Recorder(httpx.Response(200, headers={"Content-Length": "-5"}))
    with pytest.raises(Exception, match="^文件大小无效: -5$"):
        make_client(rec).multipart_download("o", str(path))
    assert not path.exists()

    def refuse(request):
        raise httpx.ConnectError("refused", request=request)
    with pytest.raises(httpx.ConnectError):
        make_client(refuse).multipart_download("o", str(path))
    assert not path.exists()

    with pytest.raises(TypeError, match="Argument 'local_path' has incorrect type"):
        make_client(srv).multipart_download("o", path)


def _first_part_then(tmp_path, fail, **kw):
    data = pattern(300)
    srv = ObjectServer(data, fail={1: fail})
    path = tmp_path / "out.bin"
    path.write_bytes(b"previous copy")
    calls = []
    with pytest.raises(Exception) as ei:
        make_client(srv).multipart_download("o", str(path), 128, kw.get("callback", lambda *a: calls.append(a)))
    # The earlier copy stays as it was; the parts written went into a file now removed.
    assert path.read_bytes() == b"previous copy" and os.listdir(tmp_path) == ["out.bin"]
    assert open_fds_to(path) == []
    return ei.value, srv, calls


def test_download_part_failures_keep_the_previous_file(tmp_path):
    err, srv, calls = _first_part_then(tmp_path, httpx.Response(503, text="slow down"))
    assert type(err) is Exception and str(err) == "下载分片 2 失败: 503 slow down"
    assert calls == [(0, 3, 128, 300)] and len(srv.ranges()) == 2

    boom = httpx.ReadTimeout("timed out")
    err, srv, calls = _first_part_then(tmp_path, boom)
    assert err is boom and calls == [(0, 3, 128, 300)]

    class Stop(RuntimeError):
        pass

    def callback(i, total, done, size):
        raise Stop(i)
    err, srv, calls = _first_part_then(tmp_path, None, callback=callback)
    assert type(err) is Stop and srv.ranges() == ["bytes=0-127"]


def test_download_rejects_bodies_that_do_not_fit_the_range(tmp_path):
    # A short 206 body would shift every later byte of the file.
    short = lambda req, data: httpx.Response(206, content=data[128:200])
    err, srv, calls = _first_part_then(tmp_path, short)
    assert type(err) is Exception and str(err).startswith("下载分片 2 失败: 206 ")
    assert calls == [(0, 3, 128, 300)]

    long = lambda req, data: httpx.Response(206, content=data[128:257])
    err, _, _ = _first_part_then(tmp_path, long)
    assert str(err).startswith("下载分片 2 失败: 206 ")

    # 200 with something that is neither the range nor the object
    odd = lambda req, data: httpx.Response(200, content=data[:50])
    err, _, _ = _first_part_then(tmp_path, odd)
    assert str(err).startswith("下载分片 2 失败: 200 ")


@pytest.mark.parametrize("at", [0, 1])
def test_download_accepts_a_whole_object_reply(tmp_path, at):
    data = pattern(300)
    whole = lambda req, d: httpx.Response(200, content=d)
    srv = ObjectServer(data, fail={at: whole})
    calls = []
    path = tmp_path / "out.bin"
    path.write_bytes(b"x" * 1000)  # truncated by the download
    assert make_client(srv).multipart_download("o", str(path), 128, lambda *a: calls.append(a)) is True
    assert path.read_bytes() == data
    assert len(srv.ranges()) == at + 1
    assert calls[-1] == (2, 3, 300, 300) and len(calls) == at + 1


def test_download_through_a_link_or_into_a_device(tmp_path):
    data = pattern(300)
    real = tmp_path / "real.bin"
    real.write_bytes(b"old")
    link = tmp_path / "link.bin"
    link.symlink_to(real)
    assert make_client(ObjectServer(data)).multipart_download("o", str(link), 128) is True
    # The file the link names is replaced; the link stays a link.
    assert link.is_symlink() and real.read_bytes() == data
    assert sorted(os.listdir(tmp_path)) == ["link.bin", "real.bin"]
    # A device is written in place, never renamed over.
    assert make_client(ObjectServer(data)).multipart_download("o", os.devnull, 128) is True
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_download_memory_stays_within_two_parts(tmp_path):
    data = pattern(256 * MiB)
    srv = ObjectServer(data)
    c = make_client(srv)
    path = tmp_path / "big.bin"
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        assert c.multipart_download("o", str(path), 8 * MiB) is True
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    assert peak < 2 * 8 * MiB + 16 * MiB, peak
    assert os.path.getsize(path) == len(data)
    with open(path, "rb") as f:
        assert hashlib.md5(f.read()).digest() == hashlib.md5(data).digest()


@pytest.mark.parametrize("part, most_held", [(8 * MiB, 1), (17 * MiB, 0)])
def test_download_holds_an_earlier_reply_only_while_it_fits_the_budget(part, most_held):
    # Reading a reply costs two bodies; a third (the previous reply, kept to spare the
    # allocator) fits within two parts and 16 MiB only for parts up to 16 MiB.
    import types
    import weakref
    zeros = memoryview(bytes(part))
    size = 2 * part + 1
    refs, held = [], []

    class Reply:
        status_code = 206
        text = ""

        def __init__(self, start, end):
            self.content = zeros[:end - start + 1]
            self.headers = {"Content-Range": f"bytes {start}-{end}/{size}"}

    class Probe(KorvexClient):
        def head(self, key, headers=None, timeout=10):
            return types.SimpleNamespace(status_code=200, headers={"Content-Length": str(size)}, text="")

        def _request(self, method, key, query_params=None, **kwargs):
            start, end = map(int, kwargs["headers"]["Range"][len("bytes="):].split("-"))
            held.append(sum(r() is not None for r in refs))
            reply = Reply(start, end)
            refs.append(weakref.ref(reply))
            return reply

    c = Probe("a", "s", "b", endpoint="http://h")
    assert c.multipart_download("k", os.devnull, part) is True
    assert len(held) == 3 and max(held) == most_held
    assert all(r() is None for r in refs)


# ------------------------------------------------------------------ buckets

BUCKETS = """<ListAllMyBucketsResult><Owner><ID>1</ID></Owner><Buckets>
<Bucket><Name>alpha</Name><CreationDate>2024-05-06T07:08:09.000Z</CreationDate></Bucket>
<Bucket><Name>beta</Name></Bucket></Buckets></ListAllMyBucketsResult>"""


@pytest.mark.parametrize("style, url, host", [
    ("path", "https://s3.example.com:8443/other/", "s3.example.com:8443"),
    ("virtual", "https://other.s3.example.com:8443/", "other.s3.example.com:8443"),
])
def test_bucket_request_addressing(style, url, host):
    rec = Recorder()
    c = make_client(rec, endpoint="https://s3.example.com:8443/", addressing_style=style)
    hdrs = {"Host": "ignored", "X-Extra": "1"}
    c._bucket_request("GET", "other", query_params={}, headers=hdrs)
    req = rec.last
    assert str(req.url) == url and req.headers.get_list("host") == [host]
    assert req.headers["x-extra"] == "1" and hdrs == {"Host": "ignored", "X-Extra": "1"}
    assert req.headers["x-amz-content-sha256"] == "UNSIGNED-PAYLOAD"
    assert req.headers["authorization"].startswith("AWS4-HMAC-SHA256 Credential=AKID/")
    c._bucket_request("POST", query_params={"acl": ""}, data=b"<x/>")
    assert rec.last.url.params.multi_items() == [("acl", "")] and rec.last.content == b"<x/>"
    assert ("/bkt/" in str(rec.last.url)) == (style == "path")
    with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
        c._bucket_request("PUT", data="text")


def test_bucket_request_keeps_caller_dates_and_timeouts():
    rec = Recorder()
    c = make_client(rec)
    c._bucket_request("GET", headers={"X-Amz-Date": "20200101T000000Z"})
    assert rec.last.headers.get_list("x-amz-date") == ["20200101T000000Z"]
    v2 = make_client(rec, signature_version="KORVEX")
    v2._bucket_request("GET", headers={"date": "Wed, 01 Jan 2020 00:00:00 GMT"})
    assert rec.last.headers.get_list("date") == ["Wed, 01 Jan 2020 00:00:00 GMT"]
    assert rec.last.headers["authorization"].startswith("AWS AKID:")

    c._bucket_request("GET")
    assert timeouts(rec.last)["read"] == 5.0  # the HTTP client's own default
    c._bucket_request("GET", timeout=2)
    assert timeouts(rec.last)["read"] == 2
    make_client(rec, timeout=30)._bucket_request("GET")
    assert timeouts(rec.last)["read"] == 30


def test_create_delete_and_exists():
    rec = Recorder()
    c = make_client(rec)
    assert c.create_bucket() is True
    req = rec.last
    assert req.method == "PUT" and req.url.path == "/bkt/" and req.content == b""
    assert "content-type" not in req.headers

    eu = make_client(rec, region="eu-west-1")
    assert eu.create_bucket("fresh") is True
    assert rec.last.url.path == "/fresh/"
    assert rec.last.content == (b"<CreateBucketConfiguration><LocationConstraint>eu-west-1"
                                b"</LocationConstraint></CreateBucketConfiguration>")
    assert rec.last.headers["content-type"] == "application/xml"

    rec.reply = httpx.Response(204)
    assert c.create_bucket() is True and c.delete_bucket("x") is True
    assert rec.last.method == "DELETE" and rec.last.url.path == "/x/"
    assert c.bucket_exists() is False  # only 200 means present
    rec.reply = httpx.Response(200)
    assert c.bucket_exists("y") is True and rec.last.method == "HEAD" and rec.last.url.path == "/y/"
    for status in (403, 404, 301):
        rec.reply = httpx.Response(status)
        assert c.bucket_exists() is False

    rec.reply = httpx.Response(409, text="BucketAlreadyExists")
    with pytest.raises(Exception) as ei:
        c.create_bucket()
    assert type(ei.value) is Exception and str(ei.value) == "创建存储桶失败: 409 BucketAlreadyExists"
    with pytest.raises(Exception, match="^删除存储桶失败: 409 BucketAlreadyExists$"):
        c.delete_bucket()


@pytest.mark.parametrize("ns", [True, False])
def test_list_buckets(ns):
    rec = Recorder(httpx.Response(200, text=doc(BUCKETS, ns)))
    c = make_client(rec, endpoint="http://127.0.0.1:9000", addressing_style="virtual")
    assert c.list_buckets() == [{"name": "alpha", "creation_date": "2024-05-06T07:08:09.000Z"},
                                {"name": "beta", "creation_date": ""}]
    req = rec.last
    assert str(req.url) == "http://127.0.0.1:9000/" and req.headers["host"] == "127.0.0.1:9000"
    assert req.method == "GET" and timeouts(req)["read"] == 5.0
    rec.reply = httpx.Response(200, text=doc("<ListAllMyBucketsResult/>", ns))
    assert c.list_buckets() == []
    rec.reply = httpx.Response(403, text="denied")
    with pytest.raises(Exception, match="^列出存储桶失败: 403 denied$"):
        c.list_buckets()
    rec.reply = httpx.Response(200, text="<oops")
    with pytest.raises(ET.ParseError):
        c.list_buckets()
    rec.reply = httpx.Response(200, text=doc(BUCKETS, ns))
    make_client(rec, timeout=8).list_buckets()
    assert timeouts(rec.last)["read"] == 8


def test_list_buckets_v2_is_signed_for_the_service():
    rec = Recorder(httpx.Response(200, text=doc(BUCKETS)))
    make_client(rec, signature_version="korvex").list_buckets()
    assert rec.last.headers["authorization"].startswith("AWS AKID:") and "date" in rec.last.headers


# ----------------------------------------------------------- copy and stats

def test_copy_object():
    rec = Recorder()
    c = make_client(rec)
    hdrs = {"x-amz-copy-source": "/wrong/one", "x-amz-metadata-directive": "COPY"}
    assert c.copy_object("a b/ü.txt", "dst/key", headers=hdrs) is True
    req = rec.last
    assert req.method == "PUT" and req.url.path == "/bkt/dst/key" and req.content == b""
    assert req.headers.get_list("x-amz-copy-source") == ["/bkt/a%20b/%C3%BC.txt"]
    assert "x-amz-copy-source" in signed_headers(req)
    assert hdrs["x-amz-copy-source"] == "/wrong/one"

    c.copy_object("k", "k2", src_bucket="other-bucket", timeout=6)
    assert rec.last.headers["x-amz-copy-source"] == "/other-bucket/k" and timeouts(rec.last)["read"] == 6

    for status in (204, 206, 404):
        rec.reply = httpx.Response(status, text="nope")
        with pytest.raises(Exception) as ei:
            c.copy_object("k", "k2")
        assert type(ei.value) is Exception and str(ei.value) == f"复制对象失败: {status} nope"

    # A copy that fails after its 200 status line: the body is an Error document.
    for ns in (True, False):
        body = doc("<Error><Code>InternalError</Code><Message>retry</Message></Error>", ns)
        rec.reply = httpx.Response(200, text=body)
        with pytest.raises(Exception) as ei:
            c.copy_object("k", "k2")
        assert type(ei.value) is Exception and str(ei.value) == "复制对象失败: 200 " + body
    for body in (doc("<CopyObjectResult><ETag>\"e\"</ETag></CopyObjectResult>"), "", "not xml"):
        rec.reply = httpx.Response(200, text=body)
        assert c.copy_object("k", "k2") is True


def test_bucket_stats():
    c = make_client(Recorder())
    c.iter_objects = lambda: iter([{"size": 3}, {"key": "no size"}, {"size": 40}])
    assert c.get_bucket_stats() == {"object_count": 3, "total_size": 43}
    c.iter_objects = lambda: iter(())
    assert c.get_bucket_stats() == {"object_count": 0, "total_size": 0}

    def broken():
        yield {"size": 1}
        raise RuntimeError("listing failed")
    c.iter_objects = broken
    with pytest.raises(RuntimeError, match="listing failed"):
        c.get_bucket_stats()


# ------------------------------------------------------------ batch delete

class FakeBucket:
    """A bucket that answers ListObjectsV2 and DeleteObjects like the service:
    keys sorted, pages of max-keys, deleted keys leave the listing. Keys in
    `refuse` come back as errors and stay."""

    def __init__(self, keys, refuse=(), ns=True, ignore_prefix=False):
        self.keys = set(keys)
        self.refuse = set(refuse)
        self.ns = ns
        self.ignore_prefix = ignore_prefix  # like a proxy that drops the query
        self.requests = []

    def __call__(self, request):
        self.requests.append(request)
        if request.method == "GET":
            p = request.url.params
            assert "continuation-token" not in p
            keys = sorted(k for k in self.keys if self.ignore_prefix or k.startswith(p["prefix"]))
            page = keys[:int(p["max-keys"])]
            body = "".join(f"<Contents><Key>{esc(k)}</Key><Size>1</Size></Contents>" for k in page)
            truncated = "true" if len(keys) > len(page) else "false"
            return httpx.Response(200, text=doc(f"<ListBucketResult>{body}<IsTruncated>{truncated}"
                                                f"</IsTruncated><NextContinuationToken>n</NextContinuationToken>"
                                                f"</ListBucketResult>", self.ns))
        assert request.method == "POST" and request.url.query == b"delete="
        keys = [o.findtext("Key") for o in ET.fromstring(request.content).iter("Object")]
        out = []
        for k in keys:
            if k in self.refuse:
                out.append(f"<Error><Key>{esc(k)}</Key><Code>AccessDenied</Code><Message>no</Message></Error>")
            else:
                self.keys.discard(k)
                out.append(f"<Deleted><Key>{esc(k)}</Key></Deleted>")
        return httpx.Response(200, text=doc("<DeleteResult>" + "".join(out) + "</DeleteResult>", self.ns))

    def deletes(self):
        return [r for r in self.requests if r.method == "POST"]

    def lists(self):
        return [r for r in self.requests if r.method == "GET"]


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def sent_keys(request):
    return [o.findtext("Key") for o in ET.fromstring(request.content).iter("Object")]


def test_delete_objects_batches_of_1000():
    keys = [f"k{i:04d}" for i in range(2500)]
    bucket = FakeBucket(keys)
    c = make_client(bucket)
    assert c.delete_objects([]) == {"deleted": [], "errors": []} and bucket.requests == []

    result = c.delete_objects(keys, timeout=11)
    reqs = bucket.deletes()
    assert [len(sent_keys(r)) for r in reqs] == [1000, 1000, 500]
    assert sum((sent_keys(r) for r in reqs), []) == keys
    assert result == {"deleted": keys, "errors": []} and bucket.keys == set()
    for r in reqs:
        assert str(r.url) == ENDPOINT + "/bkt/?delete="
        assert r.content.startswith(b"<Delete><Quiet>false</Quiet><Object><Key>k")
        assert r.content.endswith(b"</Key></Object></Delete>")
        assert r.headers["content-type"] == "application/xml"
        assert r.headers["content-md5"] == base64.b64encode(hashlib.md5(r.content).digest()).decode()
        assert {"content-md5", "content-type"} <= set(signed_headers(r))
        assert timeouts(r)["read"] == 11


def test_delete_objects_sends_keys_as_xml_text():
    awkward = ["a b", "R&D <draft> \"q\" 'x'.txt", "日本/ü ß", "plain/dir/x"]
    bucket = FakeBucket(awkward)
    result = make_client(bucket).delete_objects(awkward)
    (req,) = bucket.requests
    assert sent_keys(req) == awkward
    assert b"%20" not in req.content and b"R&amp;D &lt;draft&gt;" in req.content
    assert result == {"deleted": awkward, "errors": []} and bucket.keys == set()


@pytest.mark.parametrize("ns", [True, False])
def test_delete_objects_reply_parsing(ns):
    reply = doc("<DeleteResult><Deleted><Key>a%20b</Key></Deleted><Deleted><Key/></Deleted>"
                "<Deleted><VersionId>1</VersionId></Deleted>"
                "<Nested><Deleted><Key>deep</Key></Deleted><Error><Key>deep</Key></Error></Nested>"
                "<Error><Key>x</Key><Code>AccessDenied</Code></Error>"
                "<Error><Code/><Message>m</Message></Error></DeleteResult>", ns)
    c = make_client(Recorder(httpx.Response(200, text=reply)))
    assert c.delete_objects(["a b", "x"]) == {
        "deleted": ["a%20b"],
        "errors": [{"key": "x", "code": "AccessDenied", "message": ""},
                   {"key": "", "code": None, "message": "m"}],
    }


def test_delete_objects_failures():
    calls = []

    def second_fails(request):
        calls.append(request)
        if len(calls) == 2:
            return httpx.Response(500, text="InternalError")
        return httpx.Response(200, text=doc("<DeleteResult/>"))
    c = make_client(second_fails)
    with pytest.raises(Exception) as ei:
        c.delete_objects([f"k{i}" for i in range(2500)])
    assert type(ei.value) is Exception and str(ei.value) == "批量删除失败: 500 InternalError"
    assert len(calls) == 2
    with pytest.raises(ET.ParseError):
        make_client(Recorder(httpx.Response(200, text="not xml"))).delete_objects(["k"])
    with pytest.raises(TypeError, match="Argument 'keys' has incorrect type"):
        c.delete_objects(("k",))


def test_delete_by_prefix():
    keys = [f"p-{i:04d}" for i in range(2500)] + ["q-keep", "p-a b", "p-日本"]
    bucket = FakeBucket(keys, ns=False)
    c = make_client(bucket)
    assert c.delete_by_prefix("p-", timeout=13) == 2502
    assert bucket.keys == {"q-keep"}
    assert len(bucket.lists()) == 3 and len(bucket.deletes()) == 3
    for r in bucket.lists():
        assert r.url.params.multi_items() == [("list-type", "2"), ("prefix", "p-"), ("max-keys", "1000")]
    assert all(timeouts(r)["read"] == 13 for r in bucket.requests)

    bucket.requests.clear()
    assert c.delete_by_prefix("nothing-") == 0
    assert len(bucket.requests) == 1

    assert c.delete_by_prefix("") == 1 and bucket.keys == set()


def test_delete_by_prefix_deletes_nothing_outside_the_prefix():
    # A listing that ignores the prefix: the page holding another key is not deleted.
    bucket = FakeBucket(["logs/1", "logs/2", "photos/keep-me"], ignore_prefix=True)
    with pytest.raises(Exception, match="photos/keep-me") as ei:
        make_client(bucket).delete_by_prefix("logs/")
    assert type(ei.value) is Exception
    assert bucket.deletes() == [] and len(bucket.keys) == 3
    # Keys of the prefix sorted before any other: deleted page by page until the stranger shows.
    bucket = FakeBucket([f"a/{i:04d}" for i in range(1500)] + ["b"], ignore_prefix=True)
    with pytest.raises(Exception, match="b"):
        make_client(bucket).delete_by_prefix("a/")
    assert bucket.keys == {f"a/{i:04d}" for i in range(1000, 1500)} | {"b"}


def test_delete_by_prefix_ends_when_the_service_refuses():
    keys = [f"k{i:04d}" for i in range(1500)]
    # The whole first page is refused while the listing stays truncated.
    bucket = FakeBucket(keys, refuse=keys[:1000])
    assert make_client(bucket).delete_by_prefix("k") == 0
    assert len(bucket.lists()) == 1 and len(bucket.deletes()) == 1
    assert len(bucket.keys) == 1500

    # Some refused keys on every page: the rest still goes.
    keys = [f"k{i:04d}" for i in range(2500)]
    bucket = FakeBucket(keys, refuse=keys[:10])
    assert make_client(bucket).delete_by_prefix("k") == 2490
    assert len(bucket.lists()) == 3 and len(bucket.deletes()) == 3
    assert bucket.keys == set(keys[:10])
