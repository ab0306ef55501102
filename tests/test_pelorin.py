"""PelorinOSSClient against a stateful fake of the OSS service that checks
every request's signature, plus request shapes and failure paths."""

import hashlib
import io
import os
import re
import uuid
import xml.etree.ElementTree as ET
from urllib.parse import unquote

import httpx
import pytest

from cirrova.pelorin import PelorinOSSClient
from test_pelorin_signing import FROZEN, TS, oss_query_signature, oss_v4_authorization

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

AK, SK, BUCKET = "LTAIfake", "fake/secret+", "bkt"
HOST = "bkt.oss-cn-hangzhou.aliyuncs.com"
OSS_NS = "http://doc.oss-cn-hangzhou.aliyuncs.com"
MiB = 1024 * 1024


def xml_reply(status, body, ns=False, **headers):
    if ns:
        body = re.sub(r"^<(\w+)", rf'<\1 xmlns="{OSS_NS}"', body, count=1)
    return httpx.Response(status, headers={"Content-Type": "application/xml", **headers},
                          content=('<?xml version="1.0" encoding="UTF-8"?>\n' + body).encode())


def error(status, code):
    return xml_reply(status, f"<Error><Code>{code}</Code><Message>{code}</Message>"
                             f"<RequestId>5C3D</RequestId><HostId>{HOST}</HostId></Error>")


def etag_of(data):
    return '"' + hashlib.md5(data).hexdigest().upper() + '"'


class FakeOSS:
    """Objects and multipart uploads of one bucket; answers like the service."""

    def __init__(self, namespace=False):
        self.namespace = namespace
        self.objects = {}
        self.uploads = {}
        self.requests = []
        self.hook = None          # request -> Response or None, before anything else
        self.ignore_range = False
        self.short_part = None    # part start offset whose body comes back one byte short

    def __call__(self, request):
        self.requests.append(request)
        if self.hook and (r := self.hook(request)) is not None:
            return r
        assert request.url.host == HOST
        key = unquote(request.url.raw_path.decode().split("?")[0])[1:]
        q = dict(request.url.params)
        if "Signature" in q:
            expected = oss_query_signature(SK, q["Expires"], BUCKET, key)
            if q["OSSAccessKeyId"] != AK or q["Signature"] != expected:
                return error(403, "SignatureDoesNotMatch")
        else:
            h = request.headers
            expected = oss_v4_authorization(AK, SK, "oss-cn-hangzhou", BUCKET, request.method, key,
                                            [(k.decode(), v.decode()) for k, v in h.raw], q, h["x-oss-date"])
            if h.get("authorization") != expected or h["host"] != HOST or h["x-oss-content-sha256"] != "UNSIGNED-PAYLOAD":
                return error(403, "SignatureDoesNotMatch")
        return getattr(self, request.method.lower())(request, key, q)

    def put(self, request, key, q):
        if "uploadId" in q:
            up = self.uploads.get(q["uploadId"])
            if up is None:
                return error(404, "NoSuchUpload")
            up["parts"][int(q["partNumber"])] = request.content
            return httpx.Response(200, headers={"ETag": etag_of(request.content)})
        self.objects[key] = request.content
        return httpx.Response(200, headers={"ETag": etag_of(request.content)})

    def post(self, request, key, q):
        if "uploads" in q:
            uid = uuid.uuid4().hex.upper()
            self.uploads[uid] = {"key": key, "parts": {}, "type": request.headers.get("content-type")}
            return xml_reply(200, f"<InitiateMultipartUploadResult><Bucket>{BUCKET}</Bucket><Key>{key}</Key>"
                                  f"<UploadId>{uid}</UploadId></InitiateMultipartUploadResult>", self.namespace)
        up = self.uploads.pop(q["uploadId"], None)
        if up is None:
            return error(404, "NoSuchUpload")
        parts = ET.fromstring(request.content).findall("Part")
        data = b""
        for n, p in enumerate(parts, 1):
            number, tag = int(p.findtext("PartNumber")), p.findtext("ETag")
            if number != n or up["parts"].get(number) is None or etag_of(up["parts"][number]) != tag:
                return error(400, "InvalidPart")
            data += up["parts"][number]
        self.objects[key] = data
        return xml_reply(200, f"<CompleteMultipartUploadResult><Key>{key}</Key><ETag>{etag_of(data)}</ETag>"
                              "</CompleteMultipartUploadResult>", self.namespace)

    def get(self, request, key, q):
        if key == "":
            return self.list_objects(q)
        if key not in self.objects:
            return error(404, "NoSuchKey")
        data = self.objects[key]
        rng = request.headers.get("range")
        if rng and not self.ignore_range:
            a, b = map(int, rng[len("bytes="):].split("-"))
            body = data[a:b + 1]
            if a == self.short_part:
                body = body[:-1]
            return httpx.Response(206, content=body,
                                  headers={"Content-Range": f"bytes {a}-{b}/{len(data)}", "ETag": etag_of(data)})
        return httpx.Response(200, content=data, headers={"ETag": etag_of(data)})

    def head(self, request, key, q):
        if key not in self.objects:
            return httpx.Response(404)
        data = self.objects[key]
        return httpx.Response(200, headers={"Content-Length": str(len(data)), "ETag": etag_of(data)})

    def delete(self, request, key, q):
        if "uploadId" in q:
            return httpx.Response(204) if self.uploads.pop(q["uploadId"], None) else error(404, "NoSuchUpload")
        self.objects.pop(key, None)
        return httpx.Response(204)

    def list_objects(self, q):
        limit = int(q["max-keys"])
        keys = sorted(k for k in self.objects if k.startswith(q["prefix"]) and k > q["marker"])
        page, truncated = keys[:limit], len(keys) > limit
        contents = "".join(
            f"<Contents><Key>{k}</Key><LastModified>2023-11-14T22:13:20.000Z</LastModified>"
            f"<ETag>{etag_of(self.objects[k])}</ETag><Type>Normal</Type><Size>{len(self.objects[k])}</Size>"
            "<StorageClass>Standard</StorageClass></Contents>" for k in page)
        nxt = f"<NextMarker>{page[-1]}</NextMarker>" if truncated else ""
        return xml_reply(200, f"<ListBucketResult><Name>{BUCKET}</Name><Prefix>{q['prefix']}</Prefix>"
                              f"<Marker>{q['marker']}</Marker><MaxKeys>{limit}</MaxKeys>"
                              f"<IsTruncated>{'true' if truncated else 'false'}</IsTruncated>{nxt}"
                              f"{contents}</ListBucketResult>", self.namespace)


@pytest.fixture
def fake():
    return FakeOSS()


def make(handler, **kw):
    return PelorinOSSClient(AK, SK, BUCKET, http_client=httpx.Client(transport=httpx.MockTransport(handler)), **kw)


def timeout_of(request):
    return request.extensions["timeout"]["read"]


def open_fds_to(path):
    real = os.path.realpath(path)
    return [fd for fd in os.listdir("/proc/self/fd")
            if os.path.realpath(os.path.join("/proc/self/fd", fd)) == real]


# --- construction and dispatch -------------------------------------------

def test_construction_hosts_and_public_urls():
    c = PelorinOSSClient(AK, SK, BUCKET)
    assert (c.external_url, c.intranet_url, c.host) == (
        f"https://{HOST}", "https://bkt.oss-cn-hangzhou-internal.aliyuncs.com", f"https://{HOST}")
    assert c._custom_domain is False and c.domain_url == c.host and isinstance(c._client, httpx.Client)
    assert c.get_path_url("a b/c") == f"https://{HOST}/a%20b/c"
    i = PelorinOSSClient(AK, SK, BUCKET, internal=1)
    assert i.internal is True and i.host == i.intranet_url and i.get_path_url("k") == i.intranet_url + "/k"
    d = PelorinOSSClient(AK, SK, BUCKET, domain_url="https://cdn.example.com//")
    assert d._custom_domain is True and d.get_path_url("k") == "https://cdn.example.com/k"
    e = PelorinOSSClient(AK, SK, BUCKET, "cn-beijing", True, "")
    assert e._custom_domain is True and e.domain_url == "https://bkt.cn-beijing-internal.aliyuncs.com"
    with pytest.raises(TypeError, match="Argument 'region' has incorrect type"):
        PelorinOSSClient(AK, SK, BUCKET, region=None)


def test_request_headers_query_and_timeouts(fake, monkeypatch):
    monkeypatch.setattr("time.time", lambda: FROZEN)
    c = make(fake)
    h = {"x-oss-meta-a-b": "1", "x-oss-meta-a": "2"}
    assert c._request("GET", "a b/c", {"prefix": "x y/", "marker": ""}, headers=h).status_code == 404
    req = fake.requests[-1]
    assert str(req.url) == f"https://{HOST}/a%20b/c?prefix=x+y%2F&marker="
    # A caller's params are sent as given while query_params are signed.
    c._request("GET", "k", {"marker": "m"}, params={"prefix": "p"})
    assert fake.requests[-1].url.query == b"prefix=p"
    assert fake.requests[-1].headers["authorization"] == oss_v4_authorization(
        AK, SK, "oss-cn-hangzhou", BUCKET, "GET", "k", fake.requests[-1].headers.multi_items(), {"marker": "m"}, TS)
    assert h["Host"] == HOST and h["x-oss-date"] == TS and h["x-oss-content-sha256"] == "UNSIGNED-PAYLOAD"
    assert h["Authorization"] == req.headers["authorization"]
    # No time-out of the call or the client object: the httpx.Client's own holds.
    own = PelorinOSSClient(AK, SK, BUCKET, http_client=httpx.Client(transport=httpx.MockTransport(fake), timeout=7))
    own._request("GET", "k", timeout=None)
    assert timeout_of(fake.requests[-1]) == 7
    # Caller's host, hash and date headers (any case) are kept, not doubled; the date is signed.
    h2 = {"HOST": HOST, "X-OSS-Content-Sha256": "UNSIGNED-PAYLOAD", "X-Oss-DATE": "20240102T030405Z"}
    assert c._request("HEAD", "k", headers=h2).status_code == 404
    assert sorted(h2) == ["Authorization", "HOST", "X-OSS-Content-Sha256", "X-Oss-DATE"]
    assert "/20240102/" in h2["Authorization"]
    t = make(fake, timeout=30)
    t._request("GET", "k")
    t._request("GET", "k", timeout=5)
    c._request("GET", "k", timeout=5)
    assert [timeout_of(q) for q in fake.requests[-3:]] == [30, 5, 5]
    with pytest.raises(TypeError):
        c._request("GET", "k", headers=httpx.Headers())
    assert len(fake.requests) == 7


# --- object operations through the fake ----------------------------------

def test_object_operations_round_trip(fake, tmp_path):
    c = make(fake, timeout=30)
    caller = {"x-oss-meta-owner": "me"}
    assert c.upload("dir/a b.txt", b"hello", "text/plain", "XUFAKrxLKna5cZ2REBfFkg==", caller).status_code == 200
    assert caller == {"x-oss-meta-owner": "me"}
    sent = fake.requests[-1].headers
    assert (sent["content-type"], sent["content-md5"], sent["x-oss-meta-owner"]) == (
        "text/plain", "XUFAKrxLKna5cZ2REBfFkg==", "me")
    c.upload("text", "你好")
    c.upload("empty-type", b"x", "")
    assert "content-type" not in fake.requests[-1].headers
    f = io.BytesIO(b"skip:rest")
    f.seek(5)
    c.upload("file", f)
    assert fake.objects == {"dir/a b.txt": b"hello", "text": "你好".encode(), "empty-type": b"x", "file": b"rest"}

    h = {"x-oss-meta-x": "y"}
    r = c.head("dir/a b.txt", h)
    assert r.headers["Content-Length"] == "5" and timeout_of(fake.requests[-1]) == 10
    assert set(h) == {"x-oss-meta-x", "Host", "x-oss-content-sha256", "x-oss-date", "Authorization"}
    c.head("file", None, None)
    assert timeout_of(fake.requests[-1]) == 30
    assert c._download("dir/a b.txt").content == b"hello"
    assert c._download("dir/a b.txt", {"Range": "bytes=1-2"}).content == b"el"
    assert c._download("missing").status_code == 404
    assert c.delete("file").status_code == 204 and "file" not in fake.objects
    assert c.delete("file").status_code == 204

    # A shared link is accepted by the service, which signs the decoded key.
    c.upload("sp ace/ü+.bin", b"shared")
    url = c.get_shared_url("sp ace/ü+.bin", 60)
    assert "/sp%20ace/%C3%BC%2B.bin?" in url
    assert c._client.get(url).content == b"shared"
    tampered = url.replace("Expires=", "Expires=1")
    assert c._client.get(tampered).status_code == 403


# --- listing --------------------------------------------------------------

@pytest.mark.parametrize("namespace", [False, True])
def test_listing_pages_through_the_bucket(namespace):
    fake = FakeOSS(namespace)
    c = make(fake)
    for i in range(7):
        c.upload(f"logs/{i:02d}", b"x" * i)
    c.upload("other", b"")
    pages, marker = [], ""
    while True:
        page = c.list("logs/", marker, 3)
        pages.append([o["key"] for o in page["objects"]])
        if not page["is_truncated"]:
            assert "next_marker" not in page
            break
        marker = page["next_marker"]
    assert pages == [["logs/00", "logs/01", "logs/02"], ["logs/03", "logs/04", "logs/05"], ["logs/06"]]
    assert page["objects"][0] == {"key": "logs/06", "size": 6, "last_modified": "2023-11-14T22:13:20.000Z",
                                  "etag": hashlib.md5(b"xxxxxx").hexdigest().upper()}
    everything = c.list(limit=5.9)
    assert [o["key"] for o in everything["objects"]] == ["logs/00", "logs/01", "logs/02", "logs/03", "logs/04"]
    assert dict(fake.requests[-1].url.params) == {"prefix": "", "marker": "", "max-keys": "5"}
    with pytest.raises(TypeError, match="Argument 'marker'"):
        c.list(marker=None)


def test_listing_reads_sparse_documents_and_raises_on_errors():
    doc = ("<ListBucketResult><IsTruncated>true</IsTruncated><Contents><ETag></ETag></Contents>"
           "<Wrapper><Contents><Key>deep</Key><Size>3</Size><ETag>\"\"ab\"</ETag></Contents></Wrapper>"
           "<Wrapper><NextMarker>not-a-child</NextMarker></Wrapper></ListBucketResult>")
    reply = xml_reply(200, doc)
    c = make(lambda request: reply)
    assert c.list() == {"objects": [{"key": "", "size": 0, "last_modified": "", "etag": ""},
                                    {"key": "deep", "size": 3, "last_modified": "", "etag": "ab"}],
                        "is_truncated": True, "next_marker": ""}
    reply = xml_reply(200, "<ListBucketResult><IsTruncated>True</IsTruncated></ListBucketResult>")
    assert c.list() == {"objects": [], "is_truncated": False}
    reply = error(403, "AccessDenied")
    with pytest.raises(Exception, match="(?s)^列举文件失败: 403 .*AccessDenied") as info:
        c.list()
    assert type(info.value) is Exception
    reply = xml_reply(200, "<ListBucketResult><Contents><Size>x</Size></Contents></ListBucketResult>")
    with pytest.raises(ValueError):
        c.list()


# --- multipart upload -----------------------------------------------------

def test_multipart_upload_complete_and_abort(fake):
    c = make(fake)
    r = c.initiate_multipart_upload("big.bin", "video/mp4")
    uid = ET.fromstring(r.content).findtext("UploadId")
    assert fake.uploads[uid]["type"] == "video/mp4"
    assert dict(fake.requests[-1].url.params) == {"uploads": ""}
    chunks = [os.urandom(1000), os.urandom(1000), os.urandom(10)]
    etags = [c.upload_part("big.bin", uid, 1, chunks[0]).headers["ETag"]]
    stream = io.BytesIO(b"junk" + chunks[1])
    stream.seek(4)
    etags.append(c.upload_part("big.bin", uid, 2.0, stream, "").headers["ETag"])
    assert "content-type" not in fake.requests[-1].headers
    etags.append(c.upload_part("big.bin", uid, 3, chunks[2]).headers["ETag"])
    assert str(fake.requests[-1].url).endswith(f"?partNumber=3&uploadId={uid}")
    assert fake.requests[-1].headers["content-type"] == "application/octet-stream"
    with pytest.raises(TypeError, match="Argument 'content_type'"):
        c.upload_part("big.bin", uid, 4, b"", None)
    with pytest.raises(TypeError, match="Argument 'etags'"):
        c.finish_multipart_upload("big.bin", uid, tuple(etags))
    r = c.finish_multipart_upload("big.bin", uid, etags, headers={"Content-Type": "text/plain"})
    assert r.status_code == 200 and fake.objects["big.bin"] == b"".join(chunks)
    sent = fake.requests[-1]
    assert sent.headers["content-type"] == "application/xml"
    assert sent.content.decode() == "<CompleteMultipartUpload>" + "".join(
        f"<Part><PartNumber>{n}</PartNumber><ETag>{e}</ETag></Part>" for n, e in enumerate(etags, 1)
    ) + "</CompleteMultipartUpload>"

    # Entity tags are XML text: markup in one cannot add parts.
    uid2 = ET.fromstring(c.initiate_multipart_upload("gone").content).findtext("UploadId")
    c.finish_multipart_upload("x", "none", [])
    assert fake.requests[-1].content == b"<CompleteMultipartUpload></CompleteMultipartUpload>"
    c.finish_multipart_upload("x", "none", ['a&b</ETag></Part><Part>', 7])
    parts = ET.fromstring(fake.requests[-1].content).findall("Part")
    assert [(p.findtext("PartNumber"), p.findtext("ETag")) for p in parts] == [
        ("1", "a&b</ETag></Part><Part>"), ("2", "7")]
    h = {"x-oss-meta-k": "v"}
    assert c.abort_multipart_upload("gone", uid2, h).status_code == 204
    assert uid2 not in fake.uploads and "Authorization" in h
    assert c.abort_multipart_upload("gone", uid2).status_code == 404


# --- ranged download ------------------------------------------------------

def test_ranged_download_parts_ranges_and_progress(fake, tmp_path):
    c = make(fake)
    data = os.urandom(20 * MiB)
    fake.objects["big"] = data
    calls = []
    target = tmp_path / "new" / "dir" / "big"
    assert c.multipart_download("big", str(target), callback=lambda *a: calls.append(a)) is True
    assert target.read_bytes() == data
    assert [q.headers["range"] for q in fake.requests[1:]] == [
        "bytes=0-8388607", "bytes=8388608-16777215", "bytes=16777216-20971519"]
    assert calls == [(0, 3, 8388608, 20971520), (1, 3, 16777216, 20971520), (2, 3, 20971520, 20971520)]

    fake.objects.update(one=b"1", exact=b"abcd")
    del fake.requests[:]
    assert c.multipart_download("one", str(tmp_path / "one"), 4, 0)
    assert c.multipart_download("exact", str(tmp_path / "exact"), 4)
    assert [q.headers.get("range") for q in fake.requests] == [None, "bytes=0-0", None, "bytes=0-3"]
    assert (tmp_path / "one").read_bytes() == b"1" and (tmp_path / "exact").read_bytes() == b"abcd"


def test_ranged_download_checks_part_lengths(fake, tmp_path):
    c = make(fake)
    fake.objects["obj"] = data = bytes(range(256)) * 40  # 10240 bytes
    # A service that ignores Range: the whole object, written once.
    fake.ignore_range = True
    calls = []
    assert c.multipart_download("obj", str(tmp_path / "whole"), 4096, lambda *a: calls.append(a)) is True
    assert (tmp_path / "whole").read_bytes() == data and calls == [(2, 3, 10240, 10240)]
    # A short part is an error, never a silently shortened file.
    fake.ignore_range, fake.short_part = False, 4096
    path = tmp_path / "short"
    with pytest.raises(Exception, match="^下载分片 2 失败: 206 ") as info:
        c.multipart_download("obj", str(path), 4096)
    assert type(info.value) is Exception
    assert not path.exists() and open_fds_to(path) == []


def test_ranged_download_failures(fake, tmp_path):
    c = make(fake)
    with pytest.raises(Exception, match="^获取文件信息失败: 404 "):
        c.multipart_download("missing", str(tmp_path / "d" / "f"))
    assert os.listdir(tmp_path / "d") == []
    fake.objects.update(empty=b"", obj=b"0123456789")
    with pytest.raises(Exception, match="^文件大小为 0$"):
        c.multipart_download("empty", str(tmp_path / "e"))
    del fake.requests[:]
    with pytest.raises(ZeroDivisionError):
        c.multipart_download("obj", str(tmp_path / "z"), 0)
    assert [q.method for q in fake.requests] == ["HEAD"] and not (tmp_path / "z").exists()

    ranged = []

    def fail_second_part(request):
        if "range" in request.headers:
            ranged.append(request)
            if len(ranged) == 2:
                return mode(request)
    fake.hook = fail_second_part
    for mode, expected in [(lambda r: error(500, "InternalError"), "(?s)^下载分片 2 失败: 500 .*InternalError"),
                           (lambda r: (_ for _ in ()).throw(httpx.ConnectError("reset", request=r)), "reset")]:
        del ranged[:]
        path = tmp_path / "part"
        path.write_bytes(b"earlier")
        with pytest.raises(Exception, match=expected):
            c.multipart_download("obj", str(path), 4)
        assert path.read_bytes() == b"earlier" and open_fds_to(path) == []
        assert not [n for n in os.listdir(tmp_path) if n.endswith(".part")]

    fake.hook = None

    def boom(*args):
        raise RuntimeError("callback failed")
    with pytest.raises(RuntimeError, match="callback failed"):
        c.multipart_download("obj", str(tmp_path / "cb"), 4, boom)
    assert not (tmp_path / "cb").exists() and open_fds_to(tmp_path / "cb") == []
