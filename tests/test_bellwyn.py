import inspect
import os
import subprocess
import sys
import textwrap

import httpx
import pytest

import cirrova
from cirrova.bellwyn import BellwynClient
from cirrova.korvex import KorvexClient

FROZEN = 1700000000.0  # 2023-11-14T22:13:20Z


def recording_client(**kw):
    sent = []

    def handler(request):
        sent.append(request)
        return httpx.Response(200, content=b"")

    http = httpx.Client(transport=httpx.MockTransport(handler))
    return BellwynClient("AKIDEXAMPLE", "secret", kw.pop("bucket", "photos-1250000000"),
                         http_client=http, **kw), sent


def test_defaults_fill_the_cos_endpoint_v4_and_virtual_hosts():
    c = BellwynClient("AKIDEXAMPLE", "secret", "photos-1250000000")
    assert isinstance(c, KorvexClient)
    assert BellwynClient.__bases__ == (KorvexClient,)
    assert c.endpoint == "https://cos.ap-guangzhou.myqcloud.com"
    assert c.region == "ap-guangzhou"
    assert c.signature_version == "v4"
    assert c.addressing_style == "virtual"
    assert (c.access_key, c.secret_key, c.bucket) == ("AKIDEXAMPLE", "secret", "photos-1250000000")
    assert c.internal is False and c.default_timeout is None
    assert c._custom_domain is False and c.domain_url == c.endpoint
    assert isinstance(c._client, httpx.Client)
    assert [n for n in vars(BellwynClient) if not n.startswith("_")] == ["secret_id", "cos_bucket", "appid"]


def test_region_timeout_client_and_domain_are_passed_on():
    http = httpx.Client()
    c = BellwynClient("id", "key", "b-1", "ap-beijing", "https://cdn.example.com//", 12.5, http)
    assert c.endpoint == "https://cos.ap-beijing.myqcloud.com"
    assert c.region == "ap-beijing"
    assert c.default_timeout == 12.5
    assert c._client is http
    assert c._custom_domain is True and c.domain_url == "https://cdn.example.com"
    assert c.get_path_url("a b/c.txt") == "https://cdn.example.com/a%20b/c.txt"
    # Without a custom domain the public URL is the virtual host.
    plain = BellwynClient("id", "key", "b-1", region="ap-shanghai")
    assert plain.get_path_url("x/y") == "https://b-1.cos.ap-shanghai.myqcloud.com/x/y"


def test_requests_go_to_the_virtual_host_signed_v4_for_the_region(monkeypatch):
    monkeypatch.setattr("time.time", lambda: FROZEN)
    c, sent = recording_client(region="ap-beijing", timeout=7)
    c.upload("dir/a b.txt", b"hello")
    (req,) = sent
    assert req.method == "PUT"
    assert str(req.url) == "https://photos-1250000000.cos.ap-beijing.myqcloud.com/dir/a%20b.txt"
    assert req.headers["host"] == "photos-1250000000.cos.ap-beijing.myqcloud.com"
    assert req.headers["x-amz-date"] == "20231114T221320Z"
    auth = req.headers["authorization"]
    assert auth.startswith("AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20231114/ap-beijing/s3/aws4_request, ")
    assert req.content == b"hello"


def test_constructor_signature_and_argument_checks():
    sig = inspect.signature(BellwynClient.__init__)
    assert list(sig.parameters) == ["self", "secret_id", "secret_key", "bucket", "region",
                                    "domain_url", "timeout", "http_client", "session_token"]
    assert sig.parameters["session_token"].kind is inspect.Parameter.KEYWORD_ONLY
    assert sig.parameters["region"].default == "ap-guangzhou"
    assert all(sig.parameters[n].default is None for n in ("domain_url", "timeout", "http_client"))
    assert BellwynClient.__init__.__annotations__ == {
        "secret_id": "str", "secret_key": "str", "bucket": "str", "region": "str",
        "domain_url": "Optional[str]", "timeout": "Optional[Union[float, tuple]]",
        "http_client": "Optional[httpx.Client]", "session_token": "Optional[str]",
    }
    with pytest.raises(TypeError, match=r"^Argument 'secret_id' has incorrect type \(expected str, got int\)$"):
        BellwynClient(1, "k", "b")
    with pytest.raises(TypeError, match="Argument 'region' has incorrect type"):
        BellwynClient("i", "k", "b", None)
    with pytest.raises(TypeError, match="Argument 'domain_url' has incorrect type"):
        BellwynClient("i", "k", "b", domain_url=b"x")
    for extra in ("endpoint", "signature_version", "addressing_style", "internal"):
        with pytest.raises(TypeError):
            BellwynClient("i", "k", "b", **{extra: "v2"})


@pytest.mark.parametrize("bucket, appid", [
    ("photos-1250000000", "1250000000"),
    ("my-photo-bucket-125", "125"),
    ("nodash", ""),
    ("trailing-", ""),
    ("-lead", "lead"),
])
def test_properties(bucket, appid):
    c = BellwynClient("AKIDEXAMPLE", "secret", bucket)
    assert c.secret_id == "AKIDEXAMPLE"
    assert c.cos_bucket == bucket
    assert c.appid == appid


def test_properties_are_read_only_and_check_their_result():
    c = BellwynClient("AKIDEXAMPLE", "secret", "photos-1250000000")
    for name in ("secret_id", "cos_bucket", "appid"):
        with pytest.raises(AttributeError):
            setattr(c, name, "x")
        assert BellwynClient.__dict__[name].fget.__annotations__ == {"return": "str"}
    assert isinstance(BellwynClient.__dict__["appid"].__doc__, str)
    # The properties read the instance attributes each time.
    c.access_key = "other"
    c.bucket = "files-42"
    assert (c.secret_id, c.cos_bucket, c.appid) == ("other", "files-42", "42")
    c.access_key = 5
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        c.secret_id
    c.bucket = b"raw-1"
    with pytest.raises(TypeError, match=r"^Expected str, got bytes$"):
        c.cos_bucket
    with pytest.raises(TypeError):
        c.appid
    c.bucket = None
    assert c.cos_bucket is None
    with pytest.raises(AttributeError):
        c.appid
    del c.__dict__["access_key"]
    with pytest.raises(AttributeError):
        c.secret_id


def test_subclass_constructor_reaches_korvex_through_super():
    calls = []

    class Traced(BellwynClient):
        def __init__(self, *a, **kw):
            calls.append("traced")
            super().__init__(*a, **kw)

    t = Traced("i", "k", "b-7", region="ap-chengdu")
    assert calls == ["traced"]
    assert t.endpoint == "https://cos.ap-chengdu.myqcloud.com" and t.appid == "7"


@pytest.mark.parametrize("blocker, expected", [
    ("raise RuntimeError('korvex is broken')", "RuntimeError: korvex is broken"),
    ("raise ImportError('no korvex here')", "ImportError: no korvex here"),
])
def test_a_broken_korvex_fails_the_import(blocker, expected):
    root = os.path.dirname(os.path.dirname(os.path.abspath(cirrova.__file__)))
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {root!r})
        import cirrova

        class Blocker:
            def find_spec(self, name, path=None, target=None):
                if name == "cirrova.korvex":
                    {blocker}
                return None

        sys.meta_path.insert(0, Blocker())
        try:
            import cirrova.bellwyn
        except BaseException as e:
            print(type(e).__name__ + ": " + str(e))
        else:
            print("imported")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == expected, out.stderr
