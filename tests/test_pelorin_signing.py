"""PelorinOSSClient signatures: the V4 Authorization header and the
query-string signature of shared URLs, against the test's own computation
from the protocols' definitions."""

import base64
import hashlib
import hmac
from urllib.parse import quote

import httpx
import pytest

from cirrova.pelorin import PelorinOSSClient

FROZEN = 1700000000.0  # 2023-11-14T22:13:20Z
TS = "20231114T221320Z"


def oss_v4_authorization(ak, sk, region, bucket, method, key, headers, query, timestamp, path=None):
    """OSS4-HMAC-SHA256 with an unsigned payload. `headers` is a list of
    (name, value) pairs as sent; `path` the key as written in the URL when
    it is not the key quoted."""
    sregion = region.replace("oss-", "") if region.startswith("oss-") else region
    cq = "&".join(quote(n, safe="") + ("=" + quote(v, safe="") if v else "")
                  for n, v in sorted(query.items()))
    lines = sorted((n.lower(), v.strip()) for n, v in headers
                   if n.lower().startswith("x-oss-") or n.lower() in ("content-type", "content-md5"))
    ch = "".join(f"{n}:{v}\n" for n, v in lines)
    creq = f"{method}\n/{bucket}/{path or quote(key, safe='/')}\n{cq}\n{ch}\n\nUNSIGNED-PAYLOAD"
    day = timestamp[:8]
    scope = f"{day}/{sregion}/oss/aliyun_v4_request"
    sts = f"OSS4-HMAC-SHA256\n{timestamp}\n{scope}\n{hashlib.sha256(creq.encode()).hexdigest()}"
    k = ("aliyun_v4" + sk).encode()
    for part in (day, sregion, "oss", "aliyun_v4_request"):
        k = hmac.new(k, part.encode(), hashlib.sha256).digest()
    sig = hmac.new(k, sts.encode(), hashlib.sha256).hexdigest()
    return f"OSS4-HMAC-SHA256 Credential={ak}/{scope},Signature={sig}"


def oss_query_signature(sk, expires, bucket, key):
    sts = f"GET\n\n\n{expires}\n/{bucket}/{key}"
    return base64.b64encode(hmac.new(sk.encode(), sts.encode(), hashlib.sha1).digest()).decode()


@pytest.fixture
def frozen(monkeypatch):
    monkeypatch.setattr("time.time", lambda: FROZEN)


def client(region="oss-cn-hangzhou", **kw):
    return PelorinOSSClient("LTAIexample", "s3cr3t/Key+", "photos", region, **kw)


def test_v4_header_signature_known_answers(frozen):
    c = client()
    headers = {"Content-Type": " text/plain ", "X-OSS-Meta-Note": "two  spaces", "Content-MD5": "1B2M2Y8AsgTpgAmY7PhCfg==",
               "x-oss-content-sha256": "UNSIGNED-PAYLOAD", "x-oss-date": TS, "Host": "ignored", "Range": "bytes=0-1"}
    query = {"uploadId": "a/b c", "partNumber": "3", "Zeta": "", "acl": ""}
    got = c._sign_request("PUT", "dir/a b+ü.txt", headers, query)
    assert got == oss_v4_authorization("LTAIexample", "s3cr3t/Key+", "oss-cn-hangzhou", "photos", "PUT",
                                       "dir/a b+ü.txt", headers.items(), query, TS)
    assert got.startswith("OSS4-HMAC-SHA256 Credential=LTAIexample/20231114/cn-hangzhou/oss/aliyun_v4_request,Signature=")
    # The signer reads its inputs only.
    assert list(headers) == ["Content-Type", "X-OSS-Meta-Note", "Content-MD5", "x-oss-content-sha256",
                             "x-oss-date", "Host", "Range"]
    # Bucket-level request, no query, no date header: the current time is signed.
    assert c._sign_request("GET", "", {}) == oss_v4_authorization(
        "LTAIexample", "s3cr3t/Key+", "oss-cn-hangzhou", "photos", "GET", "", [], {}, TS)


@pytest.mark.parametrize("region, scope_region", [
    ("oss-cn-hangzhou", "cn-hangzhou"), ("cn-beijing", "cn-beijing"), ("oss-eu-oss-1", "eu-1")])
def test_v4_signing_region(frozen, region, scope_region):
    got = client(region)._sign_request("GET", "k", {})
    assert f"/20231114/{scope_region}/oss/aliyun_v4_request," in got


def test_v4_headers_are_ordered_by_name(frozen):
    # Whole-line order would put "x-oss-meta-a-b:..." first; the service orders by name.
    headers = {"x-oss-meta-a-b": "1", "x-oss-meta-a": "2", "x-oss-date": TS}
    got = client()._sign_request("PUT", "k", headers)
    assert got == oss_v4_authorization("LTAIexample", "s3cr3t/Key+", "oss-cn-hangzhou", "photos", "PUT", "k",
                                       headers.items(), {}, TS)


def test_v4_timestamp_from_date_header_of_any_case(frozen):
    other = "20240102T030405Z"
    headers = {"X-OSS-DATE": other}
    got = client()._sign_request("GET", "k", headers)
    assert "/20240102/cn-hangzhou/" in got
    assert got == oss_v4_authorization("LTAIexample", "s3cr3t/Key+", "oss-cn-hangzhou", "photos", "GET", "k",
                                       headers.items(), {}, other)


def test_v4_bad_input_raises_type_error():
    c = client()
    with pytest.raises(TypeError, match="headers"):
        c._sign_request("GET", "k", httpx.Headers({"a": "b"}))
    with pytest.raises(TypeError):
        c._sign_request("GET", "k", {"x-oss-meta-n": 5})
    with pytest.raises(TypeError):
        c._sign_request("GET", "k", {b"x-oss-meta-n": "5"})
    with pytest.raises(TypeError):
        c._sign_request("GET", "k", {}, {"partNumber": 1})
    # Unsigned headers are not looked at.
    assert c._sign_request("GET", "k", {"Range": 5})


def test_shared_url_known_answers(frozen):
    c = client()
    url = c.get_shared_url("dir/a b.txt")
    expires = int(FROZEN) + 1200
    sig = oss_query_signature("s3cr3t/Key+", expires, "photos", "dir/a b.txt")
    assert url == ("https://photos.oss-cn-hangzhou.aliyuncs.com/dir/a%20b.txt?OSSAccessKeyId=LTAIexample"
                   f"&Expires={expires}&Signature={quote(sig, safe='')}")
    assert c.get_shared_url("k", 60.9).split("Expires=")[1].startswith(f"{int(FROZEN) + 60}&")
    # Secrets whose Base64 signature holds "+", "/" or "=" are component-quoted.
    seen = ""
    for secret in ("a", "c"):
        shared = PelorinOSSClient("id/x", secret, "photos").get_shared_url("k")
        raw = oss_query_signature(secret, expires, "photos", "k")
        assert shared.endswith("&Signature=" + quote(raw, safe="")) and "OSSAccessKeyId=id%2Fx&" in shared
        seen += shared.split("Signature=")[1]
    assert "%2B" in seen and "%2F" in seen and "%3D" in seen


def test_shared_url_hosts(frozen):
    assert client(internal=True).get_shared_url("k").startswith("https://photos.oss-cn-hangzhou.aliyuncs.com/k?")
    # An empty custom domain makes the request host (here the internal one) the domain.
    assert client(internal=True, domain_url="").get_shared_url("k").startswith(
        "https://photos.oss-cn-hangzhou-internal.aliyuncs.com/k?")
    url = client(domain_url="https://cdn.example.com//").get_shared_url("a b")
    assert url.startswith("https://cdn.example.com/a%20b?")
    assert url.endswith(quote(oss_query_signature("s3cr3t/Key+", int(FROZEN) + 1200, "photos", "a b"), safe=""))


def test_v4_many_and_long_headers(frozen):
    headers = {"x-oss-meta-" + ("%03d" % i).ljust(40, "n"): "v%d" % i for i in range(30)}
    headers.update({"X-Oss-Date": TS, "Content-Type": "text/plain", "Accept": "a" * 600})
    got = client()._sign_request("PUT", "k", headers)
    assert got == oss_v4_authorization("LTAIexample", "s3cr3t/Key+", "oss-cn-hangzhou", "photos", "PUT", "k",
                                       headers.items(), {}, TS)


@pytest.mark.parametrize("key, quoted", [("dot/../a", "dot/%2E%2E/a"), ("dot/./a", "dot/%2E/a"), (".", "%2E"),
                                         ("..", "%2E%2E"), ("a./.b/.../d..", "a./.b/.../d..")])
def test_dot_segments_are_sent_signed_and_shared_as_written(frozen, key, quoted):
    # URL normalisation would turn "dot/../a" into "a": another object.
    seen = []
    http = httpx.Client(transport=httpx.MockTransport(lambda r: seen.append(r) or httpx.Response(200)))
    c = client(http_client=http)
    c.head(key)
    sent = seen[-1]
    assert sent.url.raw_path == f"/{quoted}".encode()
    assert sent.headers["authorization"] == oss_v4_authorization(
        "LTAIexample", "s3cr3t/Key+", "oss-cn-hangzhou", "photos", "HEAD", key, sent.headers.multi_items(), {}, TS,
        path=quoted)
    base = f"https://photos.oss-cn-hangzhou.aliyuncs.com/{quoted}"
    assert c.get_path_url(key) == base
    # The query signature names the key as the service decodes it from the path.
    sig = oss_query_signature("s3cr3t/Key+", int(FROZEN) + 1200, "photos", key)
    assert c.get_shared_url(key) == (f"{base}?OSSAccessKeyId=LTAIexample&Expires={int(FROZEN) + 1200}"
                                     f"&Signature={quote(sig, safe='')}")
