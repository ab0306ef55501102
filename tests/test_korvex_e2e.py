"""KorvexClient against a local s3rver on loopback (installed on first use).

CIRROVA_S3_ENDPOINT names a running server to use instead, e.g. one on the host when these tests run in a chroot
that has no Node.js.
"""

import hashlib
import os
import random
import uuid
import xml.etree.ElementTree as ET

import httpx
import pytest

from cirrova.korvex import KorvexClient

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MiB = 1024 * 1024



class CountingTransport(httpx.BaseTransport):
    def __init__(self, inner):
        self.inner = inner
        self.seen = []

    def handle_request(self, request):
        self.seen.append((request.method, request.url.query.decode()))
        return self.inner.handle_request(request)

    def close(self):
        self.inner.close()


def _native():
    from cirrova.transport import NativeTransport

    return NativeTransport()


@pytest.fixture(scope="module")
def server(s3_server):
    return s3_server


# The whole suite runs over httpx's own transport and again over the native one.
@pytest.fixture(scope="module", params=["httpx", "native"])
def transport(request):
    return CountingTransport(httpx.HTTPTransport() if request.param == "httpx" else _native())


@pytest.fixture(scope="module")
def http(transport):
    with httpx.Client(transport=transport, timeout=60) as c:
        yield c


def new_bucket(server, http):
    name = "e2e-" + uuid.uuid4().hex[:16]
    assert http.put(f"{server.endpoint}/{name}/").status_code == 200  # anonymous, outside the client
    return name


@pytest.fixture
def client(server, http):
    return KorvexClient("S3RVER", "S3RVER", new_bucket(server, http), endpoint=server.endpoint, http_client=http)


def fill(client, keys, size=lambda i: i):
    data = {}
    for i, k in enumerate(keys):
        data[k] = random.Random(k).randbytes(size(i))
        assert client.upload(k, data[k]).status_code == 200
    return data


def test_listing_pages(client):
    data = fill(client, [f"page-{i:02d}" for i in range(34)] + ["other"])
    pages, marker = [], ""
    while True:
        page = client.list(prefix="page-", marker=marker, limit=8)
        pages.append(page)
        if not page["is_truncated"]:
            break
        marker = page["next_marker"]
        assert marker
    assert [len(p["objects"]) for p in pages] == [8, 8, 8, 8, 2]
    entries = [o for p in pages for o in p["objects"]]
    assert [o["key"] for o in entries] == sorted(k for k in data if k.startswith("page-"))
    for o in entries:
        assert o["size"] == len(data[o["key"]])
        assert o["etag"] == hashlib.md5(data[o["key"]]).hexdigest()
        assert o["last_modified"].endswith("Z")
    assert "next_marker" not in pages[-1]
    assert sorted(o["key"] for o in client.iter_objects()) == sorted(data)


def test_multipart_upload_completed_and_aborted(client):
    parts = [random.randbytes(5 * MiB), random.randbytes(5 * MiB), random.randbytes(1234)]
    resp = client.initiate_multipart_upload("mp-big.bin", content_type="application/x-test")
    assert resp.status_code == 200
    upload_id = ET.fromstring(resp.text).findtext("{*}UploadId")
    assert upload_id
    etags = []
    for n, chunk in enumerate(parts, 1):
        r = client.upload_part("mp-big.bin", upload_id, n, chunk)
        assert r.status_code == 200
        etags.append(r.headers["ETag"])
    done = client.finish_multipart_upload("mp-big.bin", upload_id, etags)
    assert done.status_code == 200, done.text
    got = client._download("mp-big.bin")
    assert got.status_code == 200 and got.content == b"".join(parts)
    assert client.head("mp-big.bin").headers["Content-Length"] == str(sum(map(len, parts)))

    upload_id = ET.fromstring(client.initiate_multipart_upload("mp-dropped.bin").text).findtext("{*}UploadId")
    assert client.upload_part("mp-dropped.bin", upload_id, 1, b"abandoned").status_code == 200
    r = client.abort_multipart_upload("mp-dropped.bin", upload_id)
    # s3rver 3.7.1 recognises the abort but does not implement it (405 on the upload resource).
    assert r.status_code == 204 or (r.status_code == 405 and "UPLOADID" in r.text), r.text
    assert client.head("mp-dropped.bin").status_code == 404
    assert [o["key"] for o in client.list(prefix="mp-")["objects"]] == ["mp-big.bin"]


def test_ranged_download(client, tmp_path):
    data = random.randbytes(20 * MiB + 4321)
    assert client.upload("dl/big object.bin", data).status_code == 200
    calls = []
    path = tmp_path / "nested" / "copy.bin"
    assert client.multipart_download("dl/big object.bin", str(path), 8 * MiB, lambda *a: calls.append(a)) is True
    assert path.read_bytes() == data
    size = len(data)
    assert calls == [(0, 3, 8 * MiB, size), (1, 3, 16 * MiB, size), (2, 3, size, size)]

    with pytest.raises(Exception, match="^获取文件信息失败: 404"):
        client.multipart_download("dl/missing", str(tmp_path / "none.bin"))
    assert not (tmp_path / "none.bin").exists()


def test_bucket_lifecycle(server, http):
    c = KorvexClient("S3RVER", "S3RVER", "e2e-" + uuid.uuid4().hex[:16], endpoint=server.endpoint,
                     http_client=http)
    assert c.bucket_exists() is False
    assert c.create_bucket() is True
    assert c.bucket_exists() is True
    other = "e2e-" + uuid.uuid4().hex[:16]
    assert c.create_bucket(other) is True and c.bucket_exists(other) is True
    listed = {b["name"]: b["creation_date"] for b in c.list_buckets()}
    assert {c.bucket, other} <= set(listed) and listed[other]
    assert c.delete_bucket(other) is True
    assert c.bucket_exists(other) is False and other not in {b["name"] for b in c.list_buckets()}
    with pytest.raises(Exception, match="^删除存储桶失败: 404 "):
        c.delete_bucket(other)
    assert c.upload("keeps-it-busy", b"x").status_code == 200
    with pytest.raises(Exception, match="^删除存储桶失败: 409 "):
        c.delete_bucket()


def test_copy_within_and_between_buckets(client, server, http):
    body = random.randbytes(3000)
    assert client.upload("src file ü.txt", body).status_code == 200
    assert client.copy_object("src file ü.txt", "copy-here.txt") is True
    assert client._download("copy-here.txt").content == body

    dest = KorvexClient("S3RVER", "S3RVER", new_bucket(server, http), endpoint=server.endpoint, http_client=http)
    assert dest.copy_object("src file ü.txt", "from-other.txt", src_bucket=client.bucket) is True
    assert dest._download("from-other.txt").content == body
    with pytest.raises(Exception, match="^复制对象失败: 404 "):
        dest.copy_object("src file ü.txt", "nothing.txt")  # not in dest's own bucket


def test_delete_2500_keys_in_three_requests(client, transport):
    keys = [f"bulk-{i:04d}" for i in range(2500)]
    fill(client, keys, size=lambda i: 1)
    before = len(transport.seen)
    result = client.delete_objects(keys)
    sent = transport.seen[before:]
    assert sent == [("POST", "delete=")] * 3
    assert sorted(result["deleted"]) == keys and result["errors"] == []
    assert client.list(prefix="bulk-") == {"objects": [], "is_truncated": False}


def test_batch_delete_removes_keys_named_as_written(client):
    # Flat keys: s3rver fails a batch holding several keys under one folder.
    awkward = ["del a b", "del-日本 é", "del-R&D", "del-<q\"'>"]
    decoy = "del%20a%20b"  # what the first key would be called if it were sent percent-encoded
    fill(client, awkward + [decoy])
    result = client.delete_objects(awkward)
    assert sorted(result["deleted"]) == sorted(awkward) and result["errors"] == []
    assert [o["key"] for o in client.list(prefix="del")["objects"]] == [decoy]


def test_delete_by_prefix(client):
    fill(client, [f"dp-{i:02d}" for i in range(12)] + ["dp-a b", "dp-日本 é", "dp-R&D", "keep-1", "keep-2"])
    assert client.delete_by_prefix("dp-") == 15
    assert client.list(prefix="dp-")["objects"] == []
    assert [o["key"] for o in client.list()["objects"]] == ["keep-1", "keep-2"]
    assert client.delete_by_prefix("dp-") == 0
    assert client.delete_by_prefix("") == 2 and client.list()["objects"] == []


def test_bucket_stats(client):
    assert client.get_bucket_stats() == {"object_count": 0, "total_size": 0}
    fill(client, [f"st-{i}" for i in range(7)], size=lambda i: 100 * i)
    assert client.get_bucket_stats() == {"object_count": 7, "total_size": 2100}


@pytest.mark.parametrize("version", ["v4", "korvex"])
def test_object_round_trip_in_both_signature_versions(server, http, tmp_path, version):
    c = KorvexClient("S3RVER", "S3RVER", new_bucket(server, http), endpoint=server.endpoint, http_client=http,
                     signature_version=version)
    path = tmp_path / "f.bin"
    path.write_bytes(b"\x00file\xff")
    with open(path, "rb") as f:
        assert c.upload("dir/file obj.bin", f, content_type="application/x-test").status_code == 200
    assert c.upload("text ü.txt", "你好").status_code == 200
    assert c.upload("bytes", b"raw").status_code == 200

    head = c.head("text ü.txt")
    assert head.status_code == 200 and head.headers["Content-Length"] == str(len("你好".encode()))
    assert c._download("text ü.txt").content == "你好".encode()
    got = c._download("dir/file obj.bin")
    assert got.content == b"\x00file\xff" and got.headers["Content-Type"] == "application/x-test"
    assert c._download("bytes", headers={"Range": "bytes=1-2"}).content == b"aw"

    assert c.delete("bytes").status_code == 204
    assert c.head("bytes").status_code == 404


@pytest.mark.parametrize("version", ["v4", "korvex"])
def test_keys_with_dot_segments_are_objects_of_their_own(server, http, version):
    c = KorvexClient("S3RVER", "S3RVER", new_bucket(server, http), endpoint=server.endpoint, http_client=http,
                     signature_version=version)
    objects = {"a": b"plain", "dot/../a": b"parent", "dot/./a": b"self", "dot/a": b"child", ".": b"one", "..": b"two"}
    for key, body in objects.items():
        assert c.upload(key, body).status_code == 200
    for key, body in objects.items():
        reply = c._download(key)
        assert (reply.status_code, reply.content) == (200, body), key
    assert sorted(o["key"] for o in c.list()["objects"]) == sorted(objects)
    assert http.get(c.get_shared_url("dot/../a")).content == b"parent"
    assert c.delete("dot/../a").status_code == 204
    assert c._download("dot/../a").status_code == 404 and c._download("a").content == b"plain"
