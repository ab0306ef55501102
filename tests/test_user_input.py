"""What a caller's first mistakes meet on every client: empty keys, impossible URL lifetimes, missing or
unusual bodies, headers named twice, the signature selector, and httpx's raw-body keyword."""

import warnings

import httpx
import pytest

from cirrova.bellwyn import BellwynClient
from cirrova.dramlet import DramletFileClient
from cirrova.korvex import KorvexClient
from cirrova.pelorin import PelorinOSSClient


class Recorder:
    def __init__(self):
        self.requests = []

    def __call__(self, request):
        self.requests.append(request)
        return httpx.Response(200, headers={"Content-Length": "4", "ETag": '"e"'}, text="<R/>")


def http(rec):
    return httpx.Client(transport=httpx.MockTransport(rec))


def korvex(rec, **kw):
    return KorvexClient("AK", "SK", "bkt", endpoint="http://127.0.0.1:9000", http_client=http(rec), **kw)


def bellwyn(rec):
    return BellwynClient("AKID", "SK", "photos-1250000000", http_client=http(rec))


def pelorin(rec):
    return PelorinOSSClient("id", "secret", "bkt", http_client=http(rec))


def dramlet(rec):
    return DramletFileClient("pub", "priv", "bkt", http_client=http(rec))


CLIENTS = {"korvex": korvex, "bellwyn": bellwyn, "pelorin": pelorin, "dramlet": dramlet}


@pytest.fixture(params=sorted(CLIENTS))
def client(request):
    rec = Recorder()
    return CLIENTS[request.param](rec), rec


# --- empty keys ---------------------------------------------------------------

COMMON_OPS = {
    "upload": lambda c, p: c.upload("", b"x"),
    "_download": lambda c, p: c._download(""),
    "head": lambda c, p: c.head(""),
    "delete": lambda c, p: c.delete(""),
    "initiate_multipart_upload": lambda c, p: c.initiate_multipart_upload(""),
    "upload_part": lambda c, p: c.upload_part("", "u", 1, b"x"),
    "finish_multipart_upload": lambda c, p: c.finish_multipart_upload("", "u", ["e"]),
    "abort_multipart_upload": lambda c, p: c.abort_multipart_upload("", "u"),
    "multipart_download": lambda c, p: c.multipart_download("", str(p / "out")),
    "get_path_url": lambda c, p: c.get_path_url(""),
    "get_shared_url": lambda c, p: c.get_shared_url(""),
}

KORVEX_OPS = {
    "copy_object source": lambda c, p: c.copy_object("", "dest"),
    "copy_object destination": lambda c, p: c.copy_object("src", ""),
}

DRAMLET_OPS = {
    "upload_file": lambda c, p: c.upload_file("", str(p / "in")),
    "upload_with_retry": lambda c, p: c.upload_with_retry("", b"x"),
    "get_content": lambda c, p: c.get_content(""),
    "download": lambda c, p: c.download("", str(p / "out")),
    "is_exists": lambda c, p: c.is_exists(""),
    "delete_file": lambda c, p: c.delete_file(""),
    "multipart_upload": lambda c, p: c.multipart_upload("", str(p / "in")),
    "multipart_upload_bytes": lambda c, p: c.multipart_upload_bytes("", b"x"),
}

EMPTY_KEY_CASES = ([(name, op, op_name) for name in CLIENTS for op_name, op in COMMON_OPS.items()]
                   + [(name, op, op_name) for name in ("korvex", "bellwyn") for op_name, op in KORVEX_OPS.items()]
                   + [("dramlet", op, op_name) for op_name, op in DRAMLET_OPS.items()])


@pytest.mark.parametrize("name,op,op_name", EMPTY_KEY_CASES, ids=[f"{n}-{o}" for n, _, o in EMPTY_KEY_CASES])
def test_an_empty_key_is_refused_before_any_request(name, op, op_name, tmp_path):
    (tmp_path / "in").write_bytes(b"local")
    rec = Recorder()
    c = CLIENTS[name](rec)
    with pytest.raises(ValueError):
        op(c, tmp_path)
    assert rec.requests == []
    assert not (tmp_path / "out").exists()


def test_bucket_level_requests_still_take_the_empty_key(client):
    c, rec = client
    c._request("GET", "", query_params={"prefix": "p"})
    assert len(rec.requests) == 1
    assert not rec.requests[0].url.path.rstrip("/").endswith("/p")


# --- signed URL lifetimes -------------------------------------------------------

@pytest.mark.parametrize("make", [korvex, bellwyn], ids=["korvex", "bellwyn"])
def test_presigned_lifetime_is_between_one_second_and_seven_days(make):
    c = make(Recorder())
    for bad in (0, -1, 0.5, 604801, 2**70):
        with pytest.raises(ValueError):
            c.get_shared_url("k", bad)
        with pytest.raises(ValueError):
            c._presign_url("PUT", "k", bad)
    assert "X-Amz-Expires=604800&" in c.get_shared_url("k", 604800)
    assert "X-Amz-Expires=1&" in c._presign_url("GET", "k", 1)


@pytest.mark.parametrize("make", [pelorin, dramlet], ids=["pelorin", "dramlet"])
def test_shared_url_lifetime_must_be_positive(make):
    c = make(Recorder())
    for bad in (0, -1, 0.9, -(2**70)):
        with pytest.raises(ValueError):
            c.get_shared_url("k", bad)
    # These services take links longer than a week.
    assert "Expires=" in c.get_shared_url("k", 30 * 86400)


# --- bodies -----------------------------------------------------------------------

def test_upload_of_none_is_a_type_error(client):
    c, rec = client
    with pytest.raises(TypeError):
        c.upload("k", None)

    class Empty:
        def read(self):
            return None

    with pytest.raises(TypeError):
        c.upload("k", Empty())
    if isinstance(c, DramletFileClient):
        with pytest.raises(TypeError):
            c.upload_with_retry("k", None)
    else:  # UFile's upload_part takes bytes only
        with pytest.raises(TypeError):
            c.upload_part("k", "u", 1, None)
    assert rec.requests == []


def test_bytearray_and_memoryview_are_sent_as_their_bytes(client):
    c, rec = client
    c.upload("k", bytearray(b"abc"))
    c.upload("k", memoryview(b"xyz0123")[1:4])
    c._request("PUT", "k", data=bytearray(b"raw"))
    assert [r.content for r in rec.requests] == [b"abc", b"yz0", b"raw"]
    assert [r.headers["Content-Length"] for r in rec.requests] == ["3", "3", "3"]


def test_bodies_reach_httpx_without_its_deprecation_warning(client):
    c, rec = client
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        c.upload("k", b"bytes")
        c.upload("k", "text")
        c.upload_part("k", "u", 1, b"part")
        c.finish_multipart_upload("k", "u", ["e1"])
        c._request("PUT", "k", data=b"direct")
    assert [r.content for r in rec.requests[:3]] == [b"bytes", b"text", b"part"]
    assert rec.requests[3].content  # the completion document
    assert rec.requests[4].content == b"direct"


def test_form_fields_stay_form_fields(client):
    c, rec = client
    c._request("POST", "k", data={"a": "1"})
    assert rec.requests[0].content == b"a=1"
    assert rec.requests[0].headers["Content-Type"] == "application/x-www-form-urlencoded"


# --- explicit arguments replace same-named headers ------------------------------------

def test_explicit_content_type_and_md5_replace_headers_in_any_case(client):
    c, rec = client
    caller = {"content-type": "text/b", "CONTENT-MD5": "old==", "X-Keep": "1"}
    c.upload("k", b"x", content_type="text/a", content_md5="new==", headers=caller)
    sent = rec.requests[0].headers
    assert sent.get_list("content-type") == ["text/a"]
    assert sent.get_list("content-md5") == ["new=="]
    assert sent["x-keep"] == "1"
    assert caller == {"content-type": "text/b", "CONTENT-MD5": "old==", "X-Keep": "1"}

    c.initiate_multipart_upload("k", content_type="text/a", headers={"Content-type": "text/b"})
    c.upload_part("k", "u", 1, b"x", content_type="text/a", headers={"CONTENT-TYPE": "text/b"})
    for r in rec.requests[1:]:
        assert r.headers.get_list("content-type") == ["text/a"]


def test_a_header_given_alone_is_kept(client):
    c, rec = client
    c.upload("k", b"x", headers={"content-type": "text/b"})
    assert rec.requests[0].headers.get_list("content-type") == ["text/b"]


def test_dramlet_signs_the_content_type_it_sends():
    rec = Recorder()
    c = dramlet(rec)
    c.upload("k", b"x", content_type="text/a", headers={"content-type": "text/b"})
    sent = rec.requests[0].headers
    expected = c._build_auth_header("k", "PUT", content_type="text/a", headers={"Content-Type": "text/a"})
    assert sent["Authorization"] == expected


# --- signature selector --------------------------------------------------------------

@pytest.mark.parametrize("selector", ["v2", "V2", "korvex", "KORVEX"])
def test_v2_in_any_case_selects_version_2(selector):
    rec = Recorder()
    c = korvex(rec, signature_version=selector)
    c.head("k")
    c.create_bucket()
    for r in rec.requests:
        assert r.headers["Authorization"].startswith("AWS AK:")
        assert "x-amz-date" not in r.headers


@pytest.mark.parametrize("selector", ["v4", "V4", "v3", "2"])
def test_other_selectors_keep_version_4(selector):
    rec = Recorder()
    korvex(rec, signature_version=selector).head("k")
    assert rec.requests[0].headers["Authorization"].startswith("AWS4-HMAC-SHA256 ")
