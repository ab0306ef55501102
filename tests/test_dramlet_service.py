"""DramletFileClient against a stateful, signature-checking fake of the UFile service."""

import base64
import hashlib
import hmac
import io
import json
import os
import time
from urllib.parse import parse_qsl, unquote

import httpx
import pytest

from cirrova.dramlet import DramletFileClient

PUB, PRIV, BUCKET = "pub-key", "priv-key", "bk"
HOSTS = {"bk.cn-wlcb.ufileos.com", "bk.internal-cn-wlcb.ufileos.com", "cdn.example.com"}


def signature(method, key, md5, ctype, date, headers):
    vendor = sorted((k.lower(), v) for k, v in headers.items() if k.lower().startswith("x-ucloud-"))
    sts = f"{method}\n{md5}\n{ctype}\n{date}\n" + "".join(f"{k}:{v}\n" for k, v in vendor) + f"/{BUCKET}/{key}"
    return base64.b64encode(hmac.new(PRIV.encode(), sts.encode(), hashlib.sha1).digest()).decode()


def reply(status, body=None, headers=None):
    content = json.dumps(body).encode() if isinstance(body, (dict, list)) else (body or b"")
    return httpx.Response(status, content=content, headers=headers)


class FakeUFile:
    """Objects and multipart uploads of one bucket, answering as the service does."""

    def __init__(self, blk_size=4):
        self.objects, self.uploads, self.log = {}, {}, []
        self.blk_size, self.ignore_range, self.short_parts = blk_size, False, False
        self.faults = {}  # operation -> list of statuses to answer first
        self.next_id = 0

    def __call__(self, request):
        request.read()
        assert request.url.host in HOSTS
        key = unquote(request.url.raw_path.split(b"?")[0].decode())[1:]
        query = dict(parse_qsl(request.url.query.decode(), keep_blank_values=True))
        op = self.operation(request.method, query)
        self.log.append((op, key, query))
        if not self.authorised(request, key, query):
            return reply(403, {"RetCode": -148653, "ErrMsg": "signature mismatch"})
        if self.faults.get(op):
            return reply(self.faults[op].pop(0), {"RetCode": -1, "ErrMsg": f"injected {op} failure"})
        return getattr(self, op)(request, key, query)

    @staticmethod
    def operation(method, query):
        if "list" in query:
            return "list"
        if "uploads" in query:
            return "initiate"
        if "uploadId" in query:
            return {"PUT": "part", "POST": "finish", "DELETE": "abort"}[method]
        return {"PUT": "put", "GET": "get", "HEAD": "head", "DELETE": "delete"}[method]

    def authorised(self, request, key, query):
        h = request.headers
        if "Signature" in query:
            if int(query["Expires"]) < time.time() or query["UCloudPublicKey"] != PUB:
                return False
            return query["Signature"] == signature("GET", key, "", "", query["Expires"], {})
        want = signature(request.method, key, h.get("content-md5", ""), h.get("content-type", ""), "", h)
        return h.get("authorization") == f"UCloud {PUB}:{want}"

    def put(self, request, key, query):
        self.objects[key] = (request.content, request.headers.get("content-type", ""))
        return reply(200, headers={"ETag": f'"{hashlib.md5(request.content).hexdigest()}"'})

    def get(self, request, key, query):
        if key not in self.objects:
            return reply(404, {"RetCode": -1, "ErrMsg": "file not exist"})
        body = self.objects[key][0]
        rng = request.headers.get("range")
        if not rng or self.ignore_range:  # sent in small pieces, as a network stream arrives
            return httpx.Response(200, content=iter([body[i:i + 3] for i in range(0, len(body), 3)]))
        start, end = (int(x) for x in rng.removeprefix("bytes=").split("-"))
        part = body[start:end + 1][:-1] if self.short_parts else body[start:end + 1]
        return reply(206, part, {"Content-Range": f"bytes {start}-{end}/{len(body)}"})

    def head(self, request, key, query):
        if key not in self.objects:
            return reply(404)
        body, ctype = self.objects[key]
        return httpx.Response(200, headers={"Content-Length": str(len(body)), "Content-Type": ctype})

    def delete(self, request, key, query):
        self.objects.pop(key, None)
        return reply(204)

    def list(self, request, key, query):
        names = sorted(k for k in self.objects if k.startswith(query["prefix"]) and k > query["marker"])
        page = names[:int(query["limit"])]
        more = len(names) > len(page)
        return reply(200, {"DataSet": [{"FileName": n, "Size": len(self.objects[n][0]), "MimeType": "m",
                                        "Etag": "e", "ModifyTime": 1} for n in page],
                           "NextMarker": page[-1] if more else ""})

    def initiate(self, request, key, query):
        self.next_id += 1
        upload_id = f"up/{self.next_id}="
        self.uploads[upload_id] = {"key": key, "parts": {}}
        body = {"UploadId": upload_id, "Bucket": BUCKET, "Key": key}
        if self.blk_size is not None:
            body["BlkSize"] = self.blk_size
        return reply(200, body)

    def part(self, request, key, query):
        upload = self.uploads.get(query["uploadId"])
        if upload is None:
            return reply(400, {"RetCode": -1, "ErrMsg": "no such upload"})
        n = int(query["partNumber"])
        upload["parts"][n] = request.content
        return reply(200, {"PartNumber": n}, {"ETag": f'"tag{n}"'})

    def finish(self, request, key, query):
        upload = self.uploads.pop(query["uploadId"])
        tags = request.content.decode().split(",") if request.content else []
        assert tags == [f"tag{n}" for n in sorted(upload["parts"])]
        data = b"".join(upload["parts"][n] for n in sorted(upload["parts"]))
        name = query.get("newObject", key)
        self.objects[name] = (data, request.headers.get("content-type", ""))
        return reply(200, {"Bucket": BUCKET, "Key": name, "FileSize": len(data)})

    def abort(self, request, key, query):
        self.uploads.pop(query["uploadId"], None)
        return reply(200)

    def count(self, op):
        return sum(1 for entry in self.log if entry[0] == op)


@pytest.fixture
def service():
    return FakeUFile()


@pytest.fixture
def client(service, monkeypatch):
    monkeypatch.setattr("cirrova.base.BaseStorageClient._retry_backoff", (0,))
    http = httpx.Client(transport=httpx.MockTransport(service))
    yield DramletFileClient(PUB, PRIV, BUCKET, http_client=http)
    assert not http.is_closed  # the caller's HTTP client is never closed


ODD_KEY = "dir/a?b#c%41 ü/../x"


class TestObjects:
    def test_upload_forms_and_reads(self, client, service, tmp_path):
        headers = {"X-UCloud-Meta": "1"}
        assert client.upload("bytes", b"\x00\x01", content_type="application/x", headers=headers).status_code == 200
        assert headers == {"X-UCloud-Meta": "1"}
        client.upload("text", "héllo")
        client.upload("file", io.BytesIO(b"skip-rest")).raise_for_status()
        client.upload("lower", b"csv", headers={"content-type": "text/csv"}).raise_for_status()
        assert service.objects["text"][0] == "héllo".encode() and service.objects["file"][0] == b"skip-rest"
        assert service.objects["lower"] == (b"csv", "text/csv")
        assert client.get_content("text", as_text=True) == "héllo" and client.get_content("bytes") == b"\x00\x01"
        with pytest.raises(Exception, match="^下载失败: 404$"):
            client.get_content("missing")
        assert client.head("bytes").headers["Content-Type"] == "application/x"
        assert client.is_exists("bytes") and not client.is_exists("missing")
        assert client.delete_file("bytes") and not client.is_exists("bytes")

    def test_odd_keys_reach_their_own_object(self, client, service, tmp_path):
        for key in (ODD_KEY, "dir/a"):
            assert client.upload(key, key.encode()).status_code == 200
        assert set(service.objects) == {ODD_KEY, "dir/a"}
        assert client.get_content(ODD_KEY) == ODD_KEY.encode()
        assert client.download(ODD_KEY, str(tmp_path / "s.bin"), chunk_size=3)
        assert client.multipart_download(ODD_KEY, str(tmp_path / "m.bin"), part_size=4)
        assert (tmp_path / "s.bin").read_bytes() == (tmp_path / "m.bin").read_bytes() == ODD_KEY.encode()
        shared = client._client.get(client.get_shared_url(ODD_KEY))
        assert shared.status_code == 200 and shared.content == ODD_KEY.encode()

    def test_upload_file(self, client, service, tmp_path):
        (tmp_path / "x.txt").write_bytes(b"text")
        (tmp_path / "x.unknownext").write_bytes(b"?")
        assert client.upload_file("a", str(tmp_path / "x.txt"))
        assert client.upload_file("b", str(tmp_path / "x.unknownext"))
        assert service.objects["a"] == (b"text", "text/plain") and service.objects["b"] == (b"?", "")
        for bad in (tmp_path / "nope", tmp_path):
            with pytest.raises(FileNotFoundError, match="^文件不存在: "):
                client.upload_file("c", str(bad))
        service.faults["put"] = [201]
        assert client.upload_file("a", str(tmp_path / "x.txt")) is False

    def test_upload_with_retry(self, client, service, monkeypatch):
        pauses = []
        monkeypatch.setattr(time, "sleep", pauses.append)
        service.faults["put"] = [500, 503]
        assert client.upload_with_retry("k", io.BytesIO(b"same body"))
        assert service.count("put") == 3 and service.objects["k"][0] == b"same body"
        service.faults["put"] = [500] * 3
        assert client.upload_with_retry("k2", b"x") is False and service.count("put") == 6
        assert client.upload_with_retry("k3", b"x", retries=0) is False and service.count("put") == 6

        calls = []

        def flaky(request):
            calls.append(request)
            if len(calls) == 1:
                raise httpx.ConnectError("down")
            return service(request)
        client._client = httpx.Client(transport=httpx.MockTransport(flaky))
        assert client.upload_with_retry("k4", b"y") and len(calls) == 2

    def test_upload_with_retry_pauses_and_lets_wrong_arguments_through(self, client, service, monkeypatch):
        pauses = []
        monkeypatch.setattr(time, "sleep", pauses.append)
        # A failing service or network gets a short pause, growing up to a second, between attempts.
        service.faults["put"] = [500] * 8
        assert client.upload_with_retry("k", b"x", retries=8) is False and service.count("put") == 8
        assert pauses == [0.05, 0.1, 0.2, 0.4, 0.8, 1.0, 1.0]

        def down(request):
            raise httpx.ConnectError("down", request=request)
        client._client = httpx.Client(transport=httpx.MockTransport(down))
        pauses.clear()
        assert client.upload_with_retry("k", b"x") is False and pauses == [0.05, 0.1]

        # A wrong argument fails every attempt alike: raised at once, however many attempts were asked for.
        client._client = httpx.Client(transport=httpx.MockTransport(service))
        pauses.clear()
        with pytest.raises(TypeError):
            client.upload_with_retry("k", object(), retries=2**80)
        with pytest.raises(ValueError):
            client.upload_with_retry("k", b"x", headers={"X-Note": "\u20ac"}, retries=2**80)
        assert pauses == [] and service.count("put") == 8

    def test_listing_pages(self, client, service):
        for name in ("p/1", "p/2", "p/3", "q/1"):
            client.upload(name, b"12")
        page = client.list(prefix="p/", limit=2)
        assert [o["key"] for o in page["objects"]] == ["p/1", "p/2"] and page["is_truncated"]
        assert page["objects"][0] == {"key": "p/1", "size": 2, "modify_time": 1, "mime_type": "m", "etag": "e"}
        rest = client.list(prefix="p/", marker=page["next_marker"], limit=2)
        assert [o["key"] for o in rest["objects"]] == ["p/3"] and "next_marker" not in rest
        assert [o["key"] for o in client.iter_objects()] == ["p/1", "p/2", "p/3", "q/1"]
        service.faults["list"] = [403]
        with pytest.raises(Exception, match="^获取文件列表失败: 403 .*injected list failure"):
            client.list()


class TestDownloads:
    def test_whole_streamed_and_missing(self, client, service, tmp_path):
        client.upload("obj", bytes(range(256)) * 4)
        target = tmp_path / "a" / "b" / "c.bin"
        assert client.download("obj", str(target)) and target.read_bytes() == service.objects["obj"][0]
        for chunk_size in (0, 5, -3):
            assert client.download("obj", str(tmp_path / "s.bin"), chunk_size=chunk_size)
            assert (tmp_path / "s.bin").read_bytes() == service.objects["obj"][0]
        assert client.download("missing", str(tmp_path / "none.bin")) is False
        assert not (tmp_path / "none.bin").exists()

    def test_large_objects_are_streamed(self, client, service, tmp_path, monkeypatch):
        client.upload("big", b"0123456789")
        real = client._client
        streamed = []
        monkeypatch.setattr(real, "stream", lambda *a, **k: streamed.append(a) or httpx.Client.stream(real, *a, **k))
        huge = httpx.Response(200, headers={"Content-Length": str(5 * 1024 ** 3)})
        monkeypatch.setattr(DramletFileClient, "head", lambda self, key: huge)
        # HEAD reports 5 GiB: the download takes the streamed path.
        assert client.download("big", str(tmp_path / "big.bin")) and streamed
        assert (tmp_path / "big.bin").read_bytes() == b"0123456789"

    def test_ranged(self, client, service, tmp_path):
        client.upload("ten", b"0123456789")
        progress = []
        assert client.multipart_download("ten", str(tmp_path / "t"), part_size=4,
                                         callback=lambda *a: progress.append(a))
        assert (tmp_path / "t").read_bytes() == b"0123456789"
        assert progress == [(0, 3, 4, 10), (1, 3, 8, 10), (2, 3, 10, 10)]
        # A service that ignores Range: the whole object is written once.
        service.ignore_range = True
        assert client.multipart_download("ten", str(tmp_path / "w"), part_size=4)
        assert (tmp_path / "w").read_bytes() == b"0123456789"
        # A part shorter than its range is a failed download, not a corrupted success.
        service.ignore_range, service.short_parts = False, True
        assert client.multipart_download("ten", str(tmp_path / "s"), part_size=4) is False
        client.upload("empty", b"")
        assert client.multipart_download("empty", str(tmp_path / "e")) is False and not (tmp_path / "e").exists()
        assert client.multipart_download("ten", str(tmp_path / "n"), part_size=-4) is False
        service.short_parts = False
        assert client.multipart_download("ten", str(tmp_path / "r"), callback=lambda *a: 1 / 0) is False


class TestMultipartUpload:
    def test_file_and_bytes_drivers(self, client, service, tmp_path):
        src = tmp_path / "ten.bin"
        src.write_bytes(b"0123456789")
        progress = []
        out = client.multipart_upload("f", str(src), callback=lambda *a: progress.append(a))
        assert progress == [(0, 3, 4, 10), (1, 3, 8, 10), (2, 3, 10, 10)]
        assert out == {"upload_id": "up/1=", "etags": ["tag0", "tag1", "tag2"],
                       "result": {"Bucket": BUCKET, "Key": "f", "FileSize": 10}}
        assert service.objects["f"] == (b"0123456789", "text/plain")  # finish is sent as text/plain
        assert len(client.multipart_upload("one", str(src), part_size=1)["etags"]) == 10
        out = client.multipart_upload_bytes("b", b"abcdefghij", part_size=3, content_type="x/y")
        assert out["etags"] == ["tag0", "tag1", "tag2", "tag3"] and service.objects["b"][0] == b"abcdefghij"
        assert client.multipart_upload_bytes("e", b"")["etags"] == [] and service.objects["e"][0] == b""
        service.blk_size = None
        sizes = []
        client.multipart_upload_bytes("d", b"xy", callback=lambda *a: sizes.append(a))
        assert sizes == [(0, 1, 2, 2)]

    def test_initiate_failure(self, client, service, tmp_path):
        service.faults["initiate"] = [500]
        with pytest.raises(Exception, match=r"^初始化分片失败: 500 .*injected initiate"):
            client.multipart_upload_bytes("k", b"data")
        assert service.count("abort") == 0
        with pytest.raises(FileNotFoundError):
            client.multipart_upload("k", str(tmp_path / "missing"))
        assert len(service.log) == 1

    def test_part_retries_then_gives_up(self, client, service):
        service.faults["part"] = [500, 502]
        assert client.multipart_upload_bytes("k", b"abcdef", part_size=3, retries=3)["etags"] == ["tag0", "tag1"]
        assert service.count("part") == 4
        service.faults["part"] = [500] * 2
        with pytest.raises(Exception, match="^分片 0 上传失败: 500"):
            client.multipart_upload_bytes("k", b"abcdef", part_size=3, retries=2)
        assert service.count("abort") == 1 and not service.uploads

    def test_finish_failure_and_failing_abort(self, client, service):
        service.faults["finish"] = [400]
        with pytest.raises(Exception, match=r"^完成分片失败: 400 .*injected finish"):
            client.multipart_upload_bytes("k", b"abc")
        assert service.count("abort") == 1
        service.faults["finish"] = [400]
        service.faults["abort"] = [500]
        with pytest.raises(Exception, match="^完成分片失败: 400"):
            client.multipart_upload_bytes("k", b"abc")

        def broken_abort(*args, **kwargs):
            raise RuntimeError("abort broke")
        client.abort_multipart_upload = broken_abort
        service.faults["finish"] = [400]
        with pytest.raises(Exception, match="^完成分片失败: 400"):
            client.multipart_upload_bytes("k", b"abc")

    def test_completion_answered_200_stands_whatever_its_body(self, client, service):
        # Aborting here would throw away the object the service has just completed.
        stored = service.finish
        service.finish = lambda *args: (stored(*args), httpx.Response(200, text="<html>OK</html>"))[1]
        assert client.multipart_upload_bytes("k", b"abcdef", part_size=3) == \
            {"upload_id": "up/1=", "etags": ["tag0", "tag1"], "result": None}
        assert service.count("abort") == 0 and service.objects["k"][0] == b"abcdef"

    def test_a_part_answered_without_etag_fails_the_upload(self, client, service):
        stored = service.part
        service.part = lambda r, k, q: (stored(r, k, q), reply(200, {"PartNumber": int(q["partNumber"])}))[1]
        with pytest.raises(Exception, match="^分片 0 上传失败") as ei:
            client.multipart_upload_bytes("k", b"abcdef", part_size=3)
        assert type(ei.value) is Exception
        assert service.count("finish") == 0 and service.count("abort") == 1 and not service.uploads

    def test_raising_callback_aborts(self, client, service, tmp_path):
        src = tmp_path / "f"
        src.write_bytes(b"0123456789")

        stop = KeyError("stop")

        def callback(index, *rest):
            if index == 1:
                raise stop
        with pytest.raises(KeyError, match="stop") as ei:
            client.multipart_upload("k", str(src), callback=callback)
        assert service.count("part") == 2 and service.count("abort") == 1 and not service.uploads
        # The error raised after the abort is the callback's own, traceback and all.
        assert ei.value is stop and ei.traceback[-1].name == "callback"
        with pytest.raises(ValueError):
            client.multipart_upload("k", str(src), part_size=0)
        service.blk_size = 0
        with pytest.raises(Exception, match="^分片大小无效: 0"):
            client.multipart_upload("k", str(src))
        assert service.count("abort") == 2
