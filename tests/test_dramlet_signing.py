"""DramletFileClient: the UFile signature, construction, URLs and request shapes."""

import base64
import hashlib
import hmac
import json
from urllib.parse import quote

import httpx
import pytest

import cirrova.config
from cirrova.dramlet import DramletFileClient

PUB, PRIV, BUCKET = "pub-key", "priv-key", "bk"


def expected_signature(method, key, md5="", ctype="", date="", vendor=None, bucket=BUCKET, secret=PRIV):
    """The UFile signature written out from the protocol definition."""
    lines = "".join(f"{k}:{v}\n" for k, v in sorted((vendor or {}).items()))
    sts = f"{method}\n{md5}\n{ctype}\n{date}\n{lines}/{bucket}/{key}"
    return base64.b64encode(hmac.new(secret.encode(), sts.encode(), hashlib.sha1).digest()).decode()


class Recorder:
    def __init__(self, status=200, body=b"{}", headers=None):
        self.requests = []
        self.status, self.body, self.headers = status, body, headers or {}

    def __call__(self, request):
        request.read()
        self.requests.append(request)
        return httpx.Response(self.status, content=self.body, headers=self.headers)


def make(recorder=None, **kw):
    recorder = recorder or Recorder()
    client = DramletFileClient(PUB, PRIV, BUCKET, http_client=httpx.Client(transport=httpx.MockTransport(recorder)), **kw)
    return client, recorder


class TestSignature:
    def test_header_form_known_answers(self):
        c, _ = make()
        assert c._build_auth_header("a/b.txt", "PUT", content_type="text/plain") == \
            "UCloud " + PUB + ":" + expected_signature("PUT", "a/b.txt", ctype="text/plain")
        # Vendor headers: any letter case, ordered by lower-cased name, later duplicate wins,
        # values as text; other headers are not signed.
        headers = {"X-UCloud-Zeta": "z", "x-ucloud-alpha": 5, "X-UCLOUD-ALPHA": "last", "Content-Type": "ignored",
                   "X-Other": "no"}
        assert c._canonicalized_dramlet_headers(headers) == "x-ucloud-alpha:last\nx-ucloud-zeta:z\n"
        sig = c._make_authorization("k", "", method="POST", content_md5="bWQ1", headers=headers)
        assert sig == expected_signature("POST", "k", md5="bWQ1", vendor={"x-ucloud-alpha": "last", "x-ucloud-zeta": "z"})
        # The key is signed raw, never percent-encoded; None and {} headers sign alike.
        raw = "dir/a b?c#d%25/ü"
        assert c._make_authorization(raw, "", headers=None) == c._make_authorization(raw, "", headers={}) == \
            expected_signature("GET", raw)
        assert len(c._sign("anything")) == 28 and c._sign("x").endswith("=")
        assert list(c._key_sort({"b": 1, "a": 2, "B": 3})) == ["B", "a", "b"]
        assert c._canonicalized_resource("") == "/bk/"

    def test_vendor_headers_of_every_shape_sign_as_lowered_dict(self):
        # Plain str headers take a native path; anything else takes the general one. Both must
        # give what lower-casing into a dict and sorting it gives.
        class Name(str):
            pass

        def lowered(headers):
            vendor = {}
            for name, value in headers.items():
                if name.lower().startswith("x-ucloud-"):
                    vendor[name.lower()] = str(value)
            return vendor

        import random
        rnd = random.Random(7)
        names = ["X-UCloud-A", "x-ucloud-a", "X-UCLOUD-B", "x-ucloud-b-c", "x-ucloud-", "X-UCloud-Ä", "x-ucloud-\u212a",
                 "x-ucloud-\u0130", "X-UCLOUD", "x-uclou-d", "Content-Type", "\u212a-ucloud-x", Name("X-UCloud-Sub"),
                 "x-ucloud-z", "x-ucloud-Z"]
        values = ["v", "", " spaced ", "ü", "a:b\nc", 7]
        c, _ = make()
        for _ in range(300):
            headers = {rnd.choice(names): rnd.choice(values) for _ in range(rnd.randint(0, 7))}
            vendor = lowered(headers)
            assert c._canonicalized_dramlet_headers(headers) == "".join(f"{k}:{v}\n" for k, v in sorted(vendor.items()))
            assert c._build_auth_header("k", "PUT", headers=headers) == \
                "UCloud " + PUB + ":" + expected_signature("PUT", "k", vendor=vendor)
        # A value that cannot be encoded fails the same way on both paths.
        for headers in ({"x-ucloud-a": "\ud800"}, {"x-ucloud-a": "\ud800", "x-ucloud-b": 1}):
            with pytest.raises(UnicodeEncodeError):
                c._build_auth_header("k", "PUT", headers=headers)

    def test_shared_url_known_answer(self, monkeypatch):
        monkeypatch.setattr("time.time", lambda: 1700000000.75)
        c, _ = make(internal=True)
        url = c.get_shared_url("a b/c.txt", expire_time=60.9)
        sig = expected_signature("GET", "a b/c.txt", date="1700000060")
        assert url == ("https://bk.cn-wlcb.ufileos.com/a%20b/c.txt?UCloudPublicKey=pub-key"
                       f"&Signature={quote(sig, safe='')}&Expires=1700000060")
        c2, _ = make(domain_url="https://cdn.example.com/")
        assert c2.get_shared_url("k", 10).startswith("https://cdn.example.com/k?UCloudPublicKey=")
        with pytest.raises(TypeError):
            c.get_shared_url("k", "60")
        # A public key with characters a query parser reads otherwise stays one value.
        odd = DramletFileClient("a+b&c=@d", PRIV, BUCKET, http_client=c._client)
        assert "?UCloudPublicKey=a%2Bb%26c%3D@d&Signature=" in odd.get_shared_url("k")

    def test_every_step_of_the_signature_can_be_replaced(self):
        vendor = {"x-ucloud-b": "2", "X-UCloud-A": "1"}
        base = DramletFileClient(PUB, PRIV, BUCKET)
        plain = base._build_auth_header("k", "PUT", headers=vendor)

        class Resource(DramletFileClient):
            def _canonicalized_resource(self, key):
                return "/other/" + key

        class Lines(DramletFileClient):
            def _canonicalized_dramlet_headers(self, headers):
                return "x-ucloud-fixed:1\n"

        class Order(DramletFileClient):
            def _key_sort(self, params):
                return dict(sorted(params.items(), reverse=True))

        class Sign(DramletFileClient):
            def _sign(self, string_to_sign):
                return "S:" + string_to_sign.replace("\n", "|")

        class Whole(DramletFileClient):
            def _make_authorization(self, key, expires, method="GET", content_md5="", content_type="", headers=None):
                return "whole-" + method

        def auth(cls):
            return cls(PUB, PRIV, BUCKET)._build_auth_header("k", "PUT", headers=vendor)

        assert auth(Resource) == "UCloud %s:%s" % (PUB, expected_signature("PUT", "k", bucket="other", vendor={
            "x-ucloud-a": "1", "x-ucloud-b": "2"}))
        lines_sts = "PUT\n\n\n\nx-ucloud-fixed:1\n/bk/k"
        assert auth(Lines) == "UCloud %s:%s" % (PUB, base64.b64encode(
            hmac.new(PRIV.encode(), lines_sts.encode(), hashlib.sha1).digest()).decode())
        assert auth(Order) != plain and Order(PUB, PRIV, BUCKET)._canonicalized_dramlet_headers(vendor) == \
            "x-ucloud-b:2\nx-ucloud-a:1\n"
        assert auth(Sign) == "UCloud %s:S:PUT||||x-ucloud-a:1|x-ucloud-b:2|/bk/k" % PUB
        assert auth(Whole) == "UCloud %s:whole-PUT" % PUB
        # An attribute on the instance wins over the class's method too.
        c = DramletFileClient(PUB, PRIV, BUCKET)
        c._sign = lambda string_to_sign: "inst"
        assert c._build_auth_header("k", "PUT") == "UCloud %s:inst" % PUB
        assert DramletFileClient(PUB, PRIV, BUCKET)._build_auth_header("k", "PUT", headers=vendor) == plain
        # A replaced _sign is held to the str result of _make_authorization.
        c._sign = lambda string_to_sign: 7
        with pytest.raises(TypeError, match="Expected str, got int"):
            c._build_auth_header("k", "PUT")
        c._sign = lambda string_to_sign: None
        assert c._make_authorization("k", "") is None and c._build_auth_header("k", "PUT") == "UCloud %s:None" % PUB

    def test_signature_argument_types(self):
        c, _ = make()
        with pytest.raises(TypeError, match="Argument 'expires' has incorrect type"):
            c._make_authorization("k", 123)
        with pytest.raises(TypeError):
            c._key_sort({1: "a", "b": 2})


class TestConstruction:
    def test_hosts_and_domain(self):
        c, _ = make(region="r", scheme="http")
        assert (c.external_url, c.intranet_url) == ("http://bk.r.ufileos.com", "http://bk.internal-r.ufileos.com")
        assert c.host == c._api_host == c.domain_url == c.external_url and c._custom_domain is False
        c, _ = make(internal=1)
        assert c.internal is True and c.host == c._api_host == c.intranet_url
        c, _ = make(domain_url="https://cdn.x//", is_domain_upload=True, unrelated=1)
        assert (c.domain_url, c._custom_domain, c.host, c._api_host) == \
            ("https://cdn.x", True, "https://cdn.x", c.external_url)
        c, _ = make(domain_url="https://cdn.x", internal=True, is_domain_upload=True)
        assert c.host == c.intranet_url
        c, _ = make(domain_url="")
        assert c._custom_domain is True and c.domain_url == c.external_url
        assert c.get_path_url("a b/c") == c.external_url + "/a%20b/c"

    def test_rejections(self):
        with pytest.raises(ValueError, match=r"^scheme 只能为 'http' 或 'https'，当前: 'HTTPS'$"):
            DramletFileClient(PUB, PRIV, BUCKET, scheme="HTTPS")
        with pytest.raises(TypeError, match="Argument 'bucket'"):
            DramletFileClient(PUB, PRIV, b"bk")

    def test_http_client_config(self, monkeypatch):
        monkeypatch.setitem(cirrova.config.HTTP_CLIENT_CONFIG, "verify", "untouched")
        own = httpx.Client()
        c = DramletFileClient(PUB, PRIV, BUCKET, http_client=own, verify=True)
        assert c._client is own and cirrova.config.HTTP_CLIENT_CONFIG["verify"] == "untouched"
        created = []
        monkeypatch.setattr(httpx, "Client", lambda **kw: created.append(kw) or "client")
        c = DramletFileClient(PUB, PRIV, BUCKET, verify=1)
        assert c._client == "client" and cirrova.config.HTTP_CLIENT_CONFIG["verify"] is True
        assert created[0]["verify"] is True and "timeout" in created[0]
        DramletFileClient(PUB, PRIV, BUCKET)
        assert cirrova.config.HTTP_CLIENT_CONFIG["verify"] is False and created[1]["verify"] is False


class TestRequest:
    def test_url_query_signature_and_output(self, capsys):
        c, rec = make()
        c._request("PUT", "x", query_params={"uploadId": "a/b c", "partNumber": 3})
        c._request("POST", "x", query_params={"uploads": ""})
        c._request("GET", "", base_url="https://other.example")
        urls = [str(r.url) for r in rec.requests]
        assert urls == ["https://bk.cn-wlcb.ufileos.com/x?uploadId=a%2Fb%20c&partNumber=3",
                        "https://bk.cn-wlcb.ufileos.com/x?uploads", "https://other.example"]
        assert capsys.readouterr().out.splitlines() == \
            ["https://bk.cn-wlcb.ufileos.com/x", "https://bk.cn-wlcb.ufileos.com/x", "https://other.example"]
        # The query never enters the signature.
        assert rec.requests[0].headers["Authorization"] == "UCloud pub-key:" + expected_signature("PUT", "x")

    def test_raw_key_is_encoded_in_the_url_and_signed_raw(self):
        c, rec = make()
        key = "d/a?b#c%41 ü/../e"
        c._request("GET", key)
        r = rec.requests[0]
        assert r.url.raw_path == b"/d/a%3Fb%23c%2541%20%C3%BC/%2E%2E/e" and r.url.query == b""
        assert r.headers["Authorization"].endswith(expected_signature("GET", key))
        assert c.get_path_url(key) == c.domain_url + "/d/a%3Fb%23c%2541%20%C3%BC/%2E%2E/e"

    def test_content_headers_signed_in_any_letter_case(self):
        c, rec = make()
        headers = {"content-type": "text/csv", "CONTENT-MD5": "bWQ1"}
        c._request("PUT", "k", headers=headers, data=b"1")
        assert headers["Authorization"] == rec.requests[0].headers["Authorization"] == \
            "UCloud pub-key:" + expected_signature("PUT", "k", md5="bWQ1", ctype="text/csv")

    def test_timeouts(self):
        c, rec = make(timeout=30)
        c.head("k")
        c.head("k", timeout=None)
        c._request("GET", "k", timeout=5)
        plain = DramletFileClient(PUB, PRIV, BUCKET, http_client=httpx.Client(transport=httpx.MockTransport(rec),
                                                                              timeout=7))
        plain._request("GET", "k", timeout=None)
        reads = [r.extensions["timeout"]["read"] for r in rec.requests]
        # No time-out of its own: the httpx.Client's holds.
        assert reads == [10, 30, 5, 7]

    def test_list_request_shape(self):
        c, rec = make(Recorder(body=json.dumps({"DataSet": [{"FileName": "a"}], "NextMarker": ""}).encode()))
        caller = {"X-UCloud-Trace": "t"}
        out = c.list(headers=caller)
        r = rec.requests[0]
        assert str(r.url) == "https://bk.cn-wlcb.ufileos.com/?list=&prefix=&marker=&limit=20"
        assert r.headers["Authorization"] == \
            "UCloud pub-key:" + expected_signature("GET", "", vendor={"x-ucloud-trace": "t"})
        assert caller == {"X-UCloud-Trace": "t"}
        assert out == {"objects": [{"key": "a", "size": 0, "modify_time": "", "mime_type": "", "etag": ""}],
                       "is_truncated": False}
