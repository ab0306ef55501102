"""Temporary credentials: the security token of the S3, COS and OSS clients, signed where each protocol
says, checked against the test's own computation from the published algorithms."""

import base64
import hashlib
import inspect
import hmac
from urllib.parse import parse_qsl, quote, urlsplit

import httpx
import pytest

from cirrova.bellwyn import BellwynClient
from cirrova.dramlet import DramletFileClient
from cirrova.korvex import KorvexClient
from cirrova.pelorin import PelorinOSSClient

FROZEN = 1700000000.0  # 2023-11-14T22:13:20Z
TS, DAY, HTTP_DATE = "20231114T221320Z", "20231114", "Tue, 14 Nov 2023 22:13:20 GMT"
AK, SK = "AKIDEXAMPLE", "wJalr/K7+MDENG=="
TOKEN = "FwoGZXIvYXdzEJr//////////wEaDM+token=="


@pytest.fixture(autouse=True)
def frozen(monkeypatch):
    monkeypatch.setattr("time.time", lambda: FROZEN)


def sigv4(canonical_request, region, secret=SK):
    scope = f"{DAY}/{region}/s3/aws4_request"
    key = ("AWS4" + secret).encode()
    for part in (DAY, region, "s3", "aws4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    to_sign = f"AWS4-HMAC-SHA256\n{TS}\n{scope}\n{hashlib.sha256(canonical_request.encode()).hexdigest()}"
    return scope, hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()


def aws_quote(text):
    return quote(text, safe="-_.~")


class Capture:
    def __init__(self):
        self.requests = []

    def __call__(self, request):
        self.requests.append(request)
        return httpx.Response(200, headers={"Content-Length": "0"})

    def http(self):
        return httpx.Client(transport=httpx.MockTransport(self))


# (client factory, host and path of a HEAD of key "k" as sent, region of the signature)
S3_LIKE = {
    "s3": (lambda http, **kw: KorvexClient(AK, SK, "bkt", endpoint="http://s3.test", http_client=http, **kw),
           "s3.test", "/bkt/k", "us-east-1"),
    "cos": (lambda http, **kw: BellwynClient(AK, SK, "bkt-1250000000", "ap-beijing", http_client=http, **kw),
            "bkt-1250000000.cos.ap-beijing.myqcloud.com", "/k", "ap-beijing"),
}


@pytest.mark.parametrize("flavour", sorted(S3_LIKE))
def test_sigv4_header_and_presigned_url_sign_the_token(flavour):
    make, host, path, region = S3_LIKE[flavour]
    capture = Capture()
    make(capture.http(), session_token=TOKEN).head("k")
    sent = capture.requests[-1].headers
    assert sent["x-amz-security-token"] == TOKEN
    canonical = (f"HEAD\n{path}\n\nhost:{host}\nx-amz-content-sha256:UNSIGNED-PAYLOAD\nx-amz-date:{TS}\n"
                 f"x-amz-security-token:{TOKEN}\n\nhost;x-amz-content-sha256;x-amz-date;x-amz-security-token\n"
                 "UNSIGNED-PAYLOAD")
    scope, signature = sigv4(canonical, region)
    assert sent["authorization"] == (f"AWS4-HMAC-SHA256 Credential={AK}/{scope}, SignedHeaders=host;"
                                     f"x-amz-content-sha256;x-amz-date;x-amz-security-token, Signature={signature}")

    url = urlsplit(make(capture.http(), session_token=TOKEN).get_shared_url("k", 60))
    params = dict(parse_qsl(url.query, keep_blank_values=True))
    assert params["X-Amz-Security-Token"] == TOKEN
    query = "&".join(f"{aws_quote(n)}={aws_quote(v)}" for n, v in sorted(params.items()) if n != "X-Amz-Signature")
    _, signature = sigv4(f"GET\n{path}\n{query}\nhost:{host}\n\nhost\nUNSIGNED-PAYLOAD", region)
    assert params["X-Amz-Signature"] == signature and url.query.endswith("&X-Amz-Signature=" + signature)


def test_sigv2_signs_the_token_among_the_amz_headers():
    capture = Capture()
    KorvexClient(AK, SK, "bkt", endpoint="http://s3.test", signature_version="v2", http_client=capture.http(),
                 session_token=TOKEN).head("k")
    sent = capture.requests[-1].headers
    to_sign = f"HEAD\n\n\n{HTTP_DATE}\nx-amz-security-token:{TOKEN}\n/bkt/k"
    expected = base64.b64encode(hmac.new(SK.encode(), to_sign.encode(), hashlib.sha1).digest()).decode()
    assert sent["x-amz-security-token"] == TOKEN and sent["authorization"] == f"AWS {AK}:{expected}"


def test_oss_v4_header_and_shared_url_sign_the_token():
    capture = Capture()
    client = PelorinOSSClient(AK, SK, "photos", http_client=capture.http(), session_token=TOKEN)
    client.head("dir/a b")
    sent = capture.requests[-1].headers
    assert sent["x-oss-security-token"] == TOKEN
    canonical = (f"HEAD\n/photos/dir/a%20b\n\nx-oss-content-sha256:UNSIGNED-PAYLOAD\nx-oss-date:{TS}\n"
                 f"x-oss-security-token:{TOKEN}\n\n\nUNSIGNED-PAYLOAD")
    scope = f"{DAY}/cn-hangzhou/oss/aliyun_v4_request"
    to_sign = f"OSS4-HMAC-SHA256\n{TS}\n{scope}\n{hashlib.sha256(canonical.encode()).hexdigest()}"
    key = ("aliyun_v4" + SK).encode()
    for part in (DAY, "cn-hangzhou", "oss", "aliyun_v4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    signature = hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()
    assert sent["authorization"] == f"OSS4-HMAC-SHA256 Credential={AK}/{scope},Signature={signature}"

    url = client.get_shared_url("dir/a b", 60)
    expires = int(FROZEN) + 60
    # The token is a sub-resource of the signed resource.
    to_sign = f"GET\n\n\n{expires}\n/photos/dir/a b?security-token={TOKEN}"
    signature = base64.b64encode(hmac.new(SK.encode(), to_sign.encode(), hashlib.sha1).digest()).decode()
    assert url == (f"https://photos.oss-cn-hangzhou.aliyuncs.com/dir/a%20b?OSSAccessKeyId={AK}&Expires={expires}"
                   f"&Signature={quote(signature, safe='')}&security-token={quote(TOKEN, safe='')}")


OPERATIONS = [
    lambda c: c.upload("k", b"data"), lambda c: c._download("k"), lambda c: c.head("k"), lambda c: c.delete("k"),
    lambda c: c.list(), lambda c: c.initiate_multipart_upload("k"), lambda c: c.upload_part("k", "u", 1, b"x"),
    lambda c: c.finish_multipart_upload("k", "u", ['"e"']), lambda c: c.abort_multipart_upload("k", "u"),
]
CLIENTS = {
    "s3-v4": lambda http, **kw: KorvexClient(AK, SK, "bkt", endpoint="http://s3.test", http_client=http, **kw),
    "s3-v2": lambda http, **kw: KorvexClient(AK, SK, "bkt", endpoint="http://s3.test", signature_version="v2",
                                             http_client=http, **kw),
    "cos": lambda http, **kw: BellwynClient(AK, SK, "bkt-1250000000", http_client=http, **kw),
    "oss": lambda http, **kw: PelorinOSSClient(AK, SK, "photos", http_client=http, **kw),
}
TOKEN_HEADER = {"oss": "x-oss-security-token"}
TOKEN_PARAM = {"oss": "security-token"}


@pytest.mark.parametrize("flavour", sorted(CLIENTS))
@pytest.mark.parametrize("token", [TOKEN, None])
def test_every_request_and_shared_url_carries_the_token_only_when_given(flavour, token):
    capture = Capture()
    client = CLIENTS[flavour](capture.http(), session_token=token)
    for operation in OPERATIONS:
        try:
            operation(client)
        except Exception:
            pass  # an empty reply is no valid listing or multipart answer; the request went out all the same
    if flavour in ("s3-v4", "s3-v2", "cos"):
        client.bucket_exists()
        with pytest.raises(Exception):
            client.list_buckets()  # the empty reply is no bucket list; the request went out
    header = TOKEN_HEADER.get(flavour, "x-amz-security-token")
    assert len(capture.requests) >= len(OPERATIONS)
    assert all(r.headers.get(header) == token for r in capture.requests)
    params = dict(parse_qsl(urlsplit(client.get_shared_url("k", 60)).query))
    assert params.get(TOKEN_PARAM.get(flavour, "X-Amz-Security-Token")) == token


def test_the_token_is_keyword_only():
    with pytest.raises(TypeError, match="positional"):
        KorvexClient(AK, SK, "b", "us-east-1", False, None, None, None, None, "v4", "path", TOKEN)
    with pytest.raises(TypeError, match="incorrect type"):
        PelorinOSSClient(AK, SK, "b", session_token=7)
    assert "session_token" not in inspect.signature(DramletFileClient.__init__).parameters
