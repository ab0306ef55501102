"""cirrova.transfer against a local s3rver: large round trips and copies, compared byte for byte."""

import hashlib
import os
import uuid

import httpx
import pytest

from cirrova import transfer
from cirrova.korvex import KorvexClient

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MiB = 1024 * 1024


@pytest.fixture(scope="module")
def server(s3_server):
    return s3_server


@pytest.fixture(scope="module")
def http():
    with httpx.Client(timeout=120, limits=httpx.Limits(max_connections=32)) as c:
        yield c


def bucket_client(server, http):
    name = "tr-" + uuid.uuid4().hex[:16]
    assert http.put(f"{server.endpoint}/{name}/").status_code == 200
    return KorvexClient("S3RVER", "S3RVER", name, endpoint=server.endpoint, http_client=http)


def test_64_mib_round_trip_at_concurrency_8(server, http, tmp_path):
    client = bucket_client(server, http)
    data = os.urandom(64 * MiB)
    source = tmp_path / "source.bin"
    source.write_bytes(data)
    seen = []
    etag = transfer.upload(client, source, "big/object.bin", concurrency=8, checksum=True,
                           callback=lambda *a: seen.append(a))
    assert etag and etag == client.head("big/object.bin").headers["ETag"].strip('"')
    assert seen[-1][1:] == (8, len(data), len(data))
    target = tmp_path / "sub" / "copy.bin"
    assert transfer.download(client, "big/object.bin", target, concurrency=8) == len(data)
    assert target.read_bytes() == data
    assert sorted(os.listdir(tmp_path / "sub")) == ["copy.bin"]


def test_copy_between_buckets_and_a_stale_download(server, http, tmp_path):
    src, dst = bucket_client(server, http), bucket_client(server, http)
    data = os.urandom(11 * MiB + 17)
    transfer.upload(src, data, "a.bin", part_size=5 * MiB)
    transfer.copy(src, "a.bin", dst, "b.bin", part_size=5 * MiB, concurrency=3)
    assert hashlib.md5(dst._download("b.bin").content).digest() == hashlib.md5(data).digest()

    # The object replaced after head: every range carries If-Match, so the service refuses.
    original = src.head

    def head_then_replace(key, *args, **kw):
        response = original(key, *args, **kw)
        src.upload(key, b"replaced")
        return response

    src.head = head_then_replace
    with pytest.raises(transfer.TransferError):
        transfer.download(src, "a.bin", tmp_path / "stale.bin")
    assert os.listdir(tmp_path) == []


def test_batches(server, http, tmp_path):
    client = bucket_client(server, http)
    # From 1 byte: s3rver answers a range of an empty object with a 206 that never sends its body.
    blobs = {f"many/{i}": os.urandom(i * 1000) for i in range(1, 21)}
    results = transfer.upload_many(client, [(v, k) for k, v in blobs.items()], concurrency=8)
    assert all(r.ok for r in results), [r.value for r in results if not r.ok]
    results = transfer.download_many(client, [(k, tmp_path / k) for k in blobs], concurrency=8)
    assert all(r.ok for r in results), [r.value for r in results if not r.ok]
    assert all((tmp_path / k).read_bytes() == v for k, v in blobs.items())
