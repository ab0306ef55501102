"""KorvexClient construction, addressing, request dispatch and the single
object operations, checked through httpx.MockTransport."""

import inspect
import io
from unittest import mock

import httpx
import pytest

from cirrova import korvex
from cirrova.base import BaseStorageClient
from cirrova.korvex import KorvexClient

T0 = 1369353600.0  # 2013-05-24T00:00:00Z, a Friday


class Recorder:
    def __init__(self, status=200):
        self.requests = []
        self.status = status

    def __call__(self, request):
        self.requests.append(request)
        return httpx.Response(self.status, text="reply")

    @property
    def last(self):
        return self.requests[-1]


def make(rec=None, **kw):
    rec = rec or Recorder()
    kw.setdefault("endpoint", "http://127.0.0.1:9000")
    c = KorvexClient("AK", "SK", kw.pop("bucket", "bkt"),
                     http_client=httpx.Client(transport=httpx.MockTransport(rec)), **kw)
    return c, rec


# --- construction and addressing ---------------------------------------------

def test_constructor_stores_configuration_in_order():
    http = httpx.Client()
    c = KorvexClient("AK", "SK", "bkt", "eu-west-1", 1, "https://minio.local:9000//", None, 30, http,
                     "KORVEX", "Virtual")
    assert list(vars(c)) == ["access_key", "secret_key", "bucket", "region", "internal", "default_timeout",
                             "signature_version", "addressing_style", "endpoint", "_custom_domain",
                             "domain_url", "_client", "session_token"]
    assert (c.internal, c.default_timeout, c.signature_version, c.addressing_style) == (True, 30, "korvex", "virtual")
    assert c.endpoint == "https://minio.local:9000" and c.domain_url == c.endpoint
    assert c._custom_domain is False and c._client is http
    assert isinstance(KorvexClient("a", "s", "b")._client, httpx.Client)
    assert isinstance(c, BaseStorageClient)


def test_default_endpoints():
    assert KorvexClient("a", "s", "b").endpoint == "https://s3.amazonaws.com"
    assert KorvexClient("a", "s", "b", region="ap-south-1", endpoint="").endpoint == \
        "https://s3.ap-south-1.amazonaws.com"
    c = KorvexClient("a", "s", "b")
    assert c._get_aws_endpoint("us-east-1", True) == "https://s3.amazonaws.com"
    assert c._get_aws_endpoint("eu-central-1") == "https://s3.eu-central-1.amazonaws.com"

    class Custom(KorvexClient):
        def _get_aws_endpoint(self, region, internal=False):
            return f"http://{region}.internal" if internal else "http://x"

    assert Custom("a", "s", "b", region="r9", internal=True).endpoint == "http://r9.internal"


def test_public_urls():
    key = "a b/c+ü"
    quoted = "a%20b/c%2B%C3%BC"
    assert KorvexClient("a", "s", "bkt", endpoint="http://h:1").get_path_url(key) == f"http://h:1/bkt/{quoted}"
    assert KorvexClient("a", "s", "bkt", endpoint="https://h", addressing_style="VIRTUAL").get_path_url(key) == \
        f"https://bkt.h/{quoted}"
    assert KorvexClient("a", "s", "bkt", domain_url="https://cdn.x//").get_path_url(key) == f"https://cdn.x/{quoted}"
    empty_domain = KorvexClient("a", "s", "bkt", endpoint="http://h", domain_url="")
    assert empty_domain._custom_domain is True and empty_domain.domain_url == "http://h"
    assert empty_domain.get_path_url("k") == "http://h/k"


def test_methods_are_defined_in_order_with_their_annotations():
    names = [n for n in vars(KorvexClient) if (not n.startswith("__") or n == "__init__") and n != "_abc_impl"]
    assert names == ["__init__", "_get_aws_endpoint", "_sign_request", "_sign_request_v2", "_presign_url",
                     "_request", "get_path_url", "get_shared_url", "upload", "_download", "head", "delete",
                     "list", "initiate_multipart_upload", "upload_part", "finish_multipart_upload",
                     "abort_multipart_upload", "multipart_download", "_bucket_request", "create_bucket",
                     "delete_bucket", "bucket_exists", "list_buckets", "copy_object", "get_bucket_stats",
                     "delete_objects", "delete_by_prefix"]
    assert KorvexClient.__init__.__annotations__["timeout"] == "Optional[Union[float, tuple]]"
    assert "return" not in KorvexClient.__init__.__annotations__
    assert KorvexClient._request.__annotations__ == {
        "method": "str", "key": "str", "query_params": "Optional[Dict[str, str]]", "return": "httpx.Response"}
    sig = inspect.signature(KorvexClient.head)
    assert str(sig) == ("(self, key: 'str', headers: 'Optional[Dict[str, str]]' = None, "
                        "timeout: 'Optional[Union[float, tuple]]' = 10) -> 'httpx.Response'")
    for name in ("hmac", "hashlib", "os", "base64", "httpx", "ET", "datetime", "Union", "Optional", "Dict",
                 "List", "Callable", "BinaryIO", "quote", "urlsplit", "BaseStorageClient"):
        assert hasattr(korvex, name), name
    assert korvex.ET.__name__ == "xml.etree.ElementTree" and korvex.datetime.__name__ == "datetime"


# --- request dispatch ---------------------------------------------------------

@pytest.mark.parametrize("style, key, url, host", [
    ("path", "a b/c", "http://127.0.0.1:9000/bkt/a%20b/c", "127.0.0.1:9000"),
    ("path", "", "http://127.0.0.1:9000/bkt/", "127.0.0.1:9000"),
    ("virtual", "a b/c", "http://bkt.127.0.0.1:9000/a%20b/c", "bkt.127.0.0.1:9000"),
    ("virtual", "", "http://bkt.127.0.0.1:9000/", "bkt.127.0.0.1:9000"),
])
def test_request_urls_and_host(style, key, url, host):
    c, rec = make(addressing_style=style)
    headers = {}
    with mock.patch("time.time", return_value=T0):
        resp = c._request("GET", key, headers=headers)
    assert resp.status_code == 200 and str(rec.last.url) == url
    assert headers["Host"] == host and headers["x-amz-date"] == "20130524T000000Z"
    assert headers["x-amz-content-sha256"] == "UNSIGNED-PAYLOAD"
    assert headers["Authorization"] == c._sign_request("GET", key, dict(headers))
    assert rec.last.headers["authorization"] == headers["Authorization"]


def test_caller_headers_stay_and_nothing_is_doubled():
    c, rec = make()
    headers = {"host": "127.0.0.1:9000", "X-Amz-Date": "20130524T000000Z", "X-AMZ-CONTENT-SHA256": "UNSIGNED-PAYLOAD",
               "Authorization": "old"}
    c._request("GET", "k", headers=headers)
    assert set(headers) == {"host", "X-Amz-Date", "X-AMZ-CONTENT-SHA256", "Authorization"}
    assert headers["Authorization"].startswith("AWS4-HMAC-SHA256 Credential=AK/20130524/")
    assert rec.last.headers.get_list("x-amz-date") == ["20130524T000000Z"]


def test_version_2_requests():
    c, rec = make(signature_version="korvex")
    headers = {}
    with mock.patch("time.time", return_value=T0 + 3723):
        c._request("PUT", "k", {"uploads": ""}, headers=headers)
    assert headers["Date"] == "Fri, 24 May 2013 01:02:03 GMT"
    assert "x-amz-date" not in headers
    assert headers["Authorization"] == c._sign_request_v2("PUT", "k", dict(headers), {"uploads": ""})
    assert headers["Authorization"].startswith("AWS AK:")
    own = {"date": "Thu, 01 Jan 2015 00:00:00 GMT"}
    c._request("GET", "k", headers=own)
    assert "Date" not in own and rec.last.headers["date"] == "Thu, 01 Jan 2015 00:00:00 GMT"


def test_query_params_are_signed_and_sent_unless_the_caller_passes_params():
    c, rec = make()
    q = {"partNumber": "3", "uploadId": "a/b c"}
    c._request("PUT", "k", q)
    assert dict(rec.last.url.params) == q
    c._request("PUT", "k", q, params={"x": "1"})
    assert dict(rec.last.url.params) == {"x": "1"}
    # the signature still covers query_params
    h = {k: v for k, v in rec.last.headers.items() if k in ("host", "x-amz-date", "x-amz-content-sha256")}
    assert rec.last.headers["authorization"] == c._sign_request("PUT", "k", h, q)
    c._request("GET", "k", {})
    assert rec.last.url.query == b""


def test_timeout_rule():
    def sent(c, rec, **kw):
        c._request("GET", "k", **kw)
        return rec.last.extensions["timeout"]["read"]

    rec = Recorder()
    plain = KorvexClient("AK", "SK", "bkt", http_client=httpx.Client(transport=httpx.MockTransport(rec), timeout=7))
    # None everywhere: the keyword is left out, so the httpx.Client's own time-out holds.
    assert sent(plain, rec, timeout=None) == 7 and sent(plain, rec) == 7
    assert sent(plain, rec, timeout=5) == 5
    with_default, rec2 = make(timeout=30)
    assert sent(with_default, rec2, timeout=None) == 30
    assert sent(with_default, rec2) == 30
    assert sent(with_default, rec2, timeout=5) == 5


def test_request_goes_through_overridable_signers_and_client():
    calls = []

    class Traced(KorvexClient):
        def _sign_request(self, *args, **kwargs):
            calls.append(args)
            return "signed"

    rec = Recorder()
    c = Traced("AK", "SK", "b", endpoint="http://h", http_client=httpx.Client(transport=httpx.MockTransport(rec)))
    c._request("GET", "k", {"a": "1"}, headers={"X": "y"}, follow_redirects=True)
    assert rec.last.headers["authorization"] == "signed"
    assert calls[0][:2] == ("GET", "k") and calls[0][3] == {"a": "1"} and calls[0][2]["X"] == "y"
    with pytest.raises(TypeError):
        c._request("GET", "k", headers=42)


def test_transport_errors_propagate():
    def fail(request):
        raise httpx.ConnectError("refused")
    c = KorvexClient("a", "s", "b", endpoint="http://h", http_client=httpx.Client(transport=httpx.MockTransport(fail)))
    with pytest.raises(httpx.ConnectError):
        c.head("k")


# --- object operations --------------------------------------------------------

def test_upload_bodies():
    c, rec = make()
    c.upload("k", "你好")
    assert rec.last.content == "你好".encode() and rec.last.method == "PUT"
    assert "content-type" not in rec.last.headers
    c.upload("k", io.StringIO("ü text"))
    assert rec.last.content == "ü text".encode()
    f = io.BytesIO(b"0123456789")
    f.seek(4)
    c.upload("k", f)
    assert rec.last.content == b"456789"
    c.upload("k", b"\x00\xff", content_type="", content_md5="")
    assert rec.last.content == b"\x00\xff"
    assert "content-type" not in rec.last.headers and "content-md5" not in rec.last.headers


def test_upload_headers_are_copied_and_signed():
    c, rec = make()
    mine = {"x-amz-meta-a": "1"}
    c.upload("k", b"x", content_type="text/plain", content_md5="nhB9nTcrtoJr2B01QqQZ1g==", headers=mine)
    assert mine == {"x-amz-meta-a": "1"}
    sent = rec.last.headers
    assert sent["content-type"] == "text/plain" and sent["content-md5"] == "nhB9nTcrtoJr2B01QqQZ1g=="
    signed = sent["authorization"].split("SignedHeaders=")[1].split(",")[0]
    assert signed == "content-md5;content-type;host;x-amz-content-sha256;x-amz-date;x-amz-meta-a"

    class Failing:
        def read(self):
            raise OSError("disk")
    with pytest.raises(OSError):
        c.upload("k2", Failing())
    assert str(rec.last.url).endswith("/k")  # nothing sent


@pytest.mark.parametrize("op, method", [("_download", "GET"), ("head", "HEAD"), ("delete", "DELETE")])
def test_simple_operations_write_into_the_callers_headers(op, method):
    c, rec = make(Recorder(404))
    headers = {"Range": "bytes=0-1"}
    resp = getattr(c, op)("a/b", headers)
    assert resp.status_code == 404 and rec.last.method == method
    assert set(headers) == {"Range", "Host", "x-amz-date", "x-amz-content-sha256", "Authorization"}
    assert rec.last.headers["range"] == "bytes=0-1"


def test_head_timeout_and_reused_headers():
    c, rec = make(timeout=30)
    c.head("k")
    assert rec.last.extensions["timeout"]["read"] == 10
    c.head("k", timeout=None)
    assert rec.last.extensions["timeout"]["read"] == 30
    headers = {"x-amz-meta-a": "1"}
    with mock.patch("time.time", return_value=T0):
        c.head("k", headers)
    first = headers["Authorization"]
    with mock.patch("time.time", return_value=T0 + 86400 * 3):
        c.head("k", headers)
    assert headers["x-amz-date"] == "20130524T000000Z" and headers["Authorization"] == first


# --- argument checking and hostile input --------------------------------------

def test_argument_types_are_checked_before_anything_is_sent():
    c, rec = make()
    cases = [
        (lambda: c.upload(1, b"x"), "Argument 'key' has incorrect type (expected str, got int)"),
        (lambda: c.upload("k", b"x", content_type=b"t"), "Argument 'content_type' has incorrect type (expected str, got bytes)"),
        (lambda: c.head("k", [("a", "b")]), "Argument 'headers' has incorrect type (expected dict, got list)"),
        (lambda: c._request("GET", "k", [("a", "b")]), "Argument 'query_params' has incorrect type (expected dict, got list)"),
        (lambda: c._presign_url("GET", "k", None), "Argument 'expires' has incorrect type (expected int, got NoneType)"),
        (lambda: KorvexClient("a", "s", None), "Argument 'bucket' has incorrect type (expected str, got NoneType)"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message
    assert rec.requests == []
    assert KorvexClient("a", "s", "b", internal=[0]).internal is True
    assert KorvexClient("a", "s", "b", internal="").internal is False


def test_hostile_input_raises_instead_of_crashing():
    c, rec = make()
    with pytest.raises(TypeError):
        c.head("k", {"X-Bad": 5})
    with pytest.raises(TypeError):
        c._request("GET", "k", {"p": 1})
    with pytest.raises(UnicodeEncodeError):
        c.upload("\udcff", b"x")
    with pytest.raises(UnicodeEncodeError):
        c.upload("k", "\ud800")
    c.region = 5
    with pytest.raises(TypeError):
        c.head("k")
    c.region = "us-east-1"
    big = "ü/" * 200_000
    assert c.get_path_url(big).endswith("%C3%BC/" * 3)
    assert c._sign_request("GET", big, {}).startswith("AWS4-HMAC-SHA256 ")
    c._request("HEAD", "")
    assert str(rec.last.url) == "http://127.0.0.1:9000/bkt/"
    c.endpoint = "\x00"
    with pytest.raises(Exception):
        c.head("k")


def test_delete_by_prefix_stops_when_a_page_comes_back_unchanged():
    # The service reports every key deleted, yet the listing never changes.
    page = ('<ListBucketResult><IsTruncated>true</IsTruncated><NextContinuationToken>t</NextContinuationToken>'
            + "".join(f"<Contents><Key>k{i}</Key><Size>1</Size></Contents>" for i in range(3))
            + "</ListBucketResult>")
    done = "<DeleteResult>" + "".join(f"<Deleted><Key>k{i}</Key></Deleted>" for i in range(3)) + "</DeleteResult>"
    seen = []

    def stubborn(request):
        seen.append(request.method)
        return httpx.Response(200, text=page if request.method == "GET" else done)

    c = KorvexClient("a", "s", "b", endpoint="http://h", http_client=httpx.Client(transport=httpx.MockTransport(stubborn)))
    assert c.delete_by_prefix("k") == 3
    assert seen == ["GET", "POST", "GET"]
