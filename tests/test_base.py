import httpx
import pytest

from cirrova import base
from cirrova.base import BaseStorageClient

OPERATIONS = [
    "_request", "get_path_url", "get_shared_url", "upload", "_download", "head", "delete", "list",
    "initiate_multipart_upload", "upload_part", "finish_multipart_upload", "abort_multipart_upload",
    "multipart_download",
]


def make_subclass(pages=None, part_results=None):
    """A client implementing exactly the common operations, with scripted replies."""
    calls = {"list": [], "upload_part": []}

    def op(self, *a, **k):
        raise NotImplementedError

    ns = {name: op for name in OPERATIONS}

    def list_(self, prefix="", marker="", limit=20):
        calls["list"].append((prefix, marker, limit))
        return pages[len(calls["list"]) - 1]

    def upload_part(self, key, upload_id, part_number, data, content_type="x", headers=None):
        calls["upload_part"].append((key, upload_id, part_number, data, content_type, headers))
        result = part_results.pop(0)
        if isinstance(result, Exception):
            raise result
        return result

    ns["list"] = list_
    ns["upload_part"] = upload_part
    cls = type(BaseStorageClient)("Client", (BaseStorageClient,), ns)
    client = cls()
    client._retry_backoff = (0,)
    return client, calls


def test_abstract_operations_are_exactly_the_common_interface():
    assert set(BaseStorageClient.__abstractmethods__) == set(OPERATIONS)
    with pytest.raises(TypeError):
        BaseStorageClient()
    partial = type(BaseStorageClient)("P", (BaseStorageClient,), {n: lambda self: 0 for n in OPERATIONS[:-1]})
    with pytest.raises(TypeError):
        partial()
    client, _ = make_subclass()
    assert isinstance(client, BaseStorageClient)


def test_iter_objects_walks_pages():
    pages = [
        {"objects": [{"key": "a", "size": 1}], "is_truncated": True, "next_marker": "a"},
        {"objects": [{"key": "b", "size": 2}], "is_truncated": True, "next_marker": "b"},
        {"objects": [{"key": "c", "size": 3}], "is_truncated": False},
        {"objects": [{"key": "never"}], "is_truncated": False},
    ]
    client, calls = make_subclass(pages=pages)
    assert [o["key"] for o in client.iter_objects()] == ["a", "b", "c"]
    assert calls["list"] == [("", "", 1000), ("", "a", 1000), ("", "b", 1000)]

    client, calls = make_subclass(pages=[{"objects": [{"key": "x"}], "is_truncated": False}])
    assert list(client.iter_objects()) == [{"key": "x"}]


def page(key, marker):
    return {"objects": [{"key": key}], "is_truncated": True, "next_marker": marker}


# A truncated page that gives no way on, or a marker leading back (to itself, or 1, 2, 1, 2, ...), fails after
# yielding what was listed: ending quietly would present part of the listing as all of it.
@pytest.mark.parametrize("pages, walked, match", [
    ([{"objects": [], "is_truncated": True}], [], "被截断却没有给出后续标记"),
    ([page("a", "m1"), {"objects": [{"key": "b"}], "is_truncated": True, "next_marker": ""}], ["a", "b"],
     "被截断却没有给出后续标记: 前缀 'p/'，本页 1 个对象"),
    ([page("a", "m1"), {"objects": [{"key": "b"}], "is_truncated": True, "next_marker": None}], ["a", "b"],
     "被截断却没有给出后续标记"),
    ([page("a", "m1"), page("b", "m1")] + [page("never", "m2")] * 5, ["a", "b"], "列举标记重复出现: 'm1'"),
    ([page("a", "m1"), page("b", "m2"), page("c", "m1")] + [page("never", "m2")] * 5, ["a", "b", "c"],
     "列举标记重复出现: 'm1'"),
])
def test_iter_objects_fails_when_the_listing_cannot_go_on(pages, walked, match):
    client, calls = make_subclass(pages=pages)
    seen = []
    with pytest.raises(Exception, match=match) as ei:
        for obj in client.iter_objects("p/"):
            seen.append(obj["key"])
    assert type(ei.value) is Exception and seen == walked
    assert len(calls["list"]) == max(len(walked), 1)


S3_PAGE = ("<ListBucketResult xmlns='http://s3.amazonaws.com/doc/2006-03-01/'><Contents><Key>p/a</Key><Size>1</Size>"
           "</Contents><IsTruncated>true</IsTruncated></ListBucketResult>")
UFILE_PAGE = '{"DataSet": [{"FileName": "p/a", "Size": 1}], "NextMarker": "p/a"}'


def korvex(http):
    from cirrova.korvex import KorvexClient
    return KorvexClient("ak", "sk", "bkt", endpoint="http://s3.test", http_client=http)


def bellwyn(http):
    from cirrova.bellwyn import BellwynClient
    return BellwynClient("ak", "sk", "photos-1250000000", http_client=http)


def pelorin(http):
    from cirrova.pelorin import PelorinOSSClient
    return PelorinOSSClient("ak", "sk", "bkt", http_client=http)


def dramlet(http):
    from cirrova.dramlet import DramletFileClient
    return DramletFileClient("pub", "priv", "bkt", http_client=http)


# Each service's own way of going wrong: S3-protocol and OSS pages that say "truncated" with no token or marker,
# and a UFile page whose NextMarker is the marker just sent (the next page would be the same page).
@pytest.mark.parametrize("make, reply, match", [
    (korvex, S3_PAGE, "被截断却没有给出后续标记"),
    (bellwyn, S3_PAGE, "被截断却没有给出后续标记"),
    (pelorin, S3_PAGE.replace(" xmlns='http://s3.amazonaws.com/doc/2006-03-01/'", ""), "被截断却没有给出后续标记"),
    (dramlet, UFILE_PAGE, "列举标记重复出现: 'p/a'"),
])
def test_each_client_fails_a_listing_that_cannot_go_on(make, reply, match, capsys):
    sent = []

    def serve(request):
        sent.append(request)
        return httpx.Response(200, content=reply.encode())

    client = make(httpx.Client(transport=httpx.MockTransport(serve)))
    seen = []
    with pytest.raises(Exception, match=match) as ei:
        for obj in client.iter_objects("p/"):
            seen.append(obj["key"])
    assert type(ei.value) is Exception and seen[0] == "p/a" and len(sent) <= 2


def response(status, text=""):
    return httpx.Response(status, text=text, headers={"ETag": '"e"'})


def test_upload_part_with_retry_retries_then_succeeds():
    ok = response(200)
    client, calls = make_subclass(part_results=[response(500, "busy"), httpx.ConnectError("down"), ok])
    assert client._upload_part_with_retry("k", "u", 0, b"d", content_type="t", headers=None, retries=3) is ok
    assert len(calls["upload_part"]) == 3
    assert calls["upload_part"][0] == ("k", "u", 0, b"d", "t", None)


def test_upload_part_with_retry_gives_up_with_status_and_text():
    client, calls = make_subclass(part_results=[response(500, "a"), response(503, "slow down")])
    with pytest.raises(Exception) as info:
        client._upload_part_with_retry("k", "u", 4, b"d", content_type="t", headers={}, retries=2)
    assert type(info.value) is Exception
    assert "4" in str(info.value) and "503" in str(info.value) and "slow down" in str(info.value)
    assert len(calls["upload_part"]) == 2


def test_upload_part_with_retry_chains_the_last_transport_error():
    err = httpx.ReadTimeout("late")
    client, calls = make_subclass(part_results=[response(500), err])
    with pytest.raises(Exception) as info:
        client._upload_part_with_retry("k", "u", 1, b"d", retries=2)
    assert info.value.__cause__ is err


def test_upload_part_with_retry_does_not_retry_programming_errors():
    client, calls = make_subclass(part_results=[TypeError("bad"), response(200)])
    with pytest.raises(TypeError):
        client._upload_part_with_retry("k", "u", 1, b"d", retries=3)
    assert len(calls["upload_part"]) == 1


def test_upload_part_with_retry_pauses_between_attempts(monkeypatch):
    pauses = []
    monkeypatch.setattr(base.time, "sleep", pauses.append)
    client, _ = make_subclass(part_results=[response(500), response(500), response(200)])
    del client._retry_backoff
    client._upload_part_with_retry("k", "u", 1, b"d", retries=3)
    assert len(pauses) == 2 and all(0 < p <= 2 for p in pauses)


def test_http_client_config_is_a_mapping_of_client_arguments():
    from cirrova.config import HTTP_CLIENT_CONFIG

    with httpx.Client(**HTTP_CLIENT_CONFIG) as client:
        assert client.timeout.read is not None
