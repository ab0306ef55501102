"""The C++ methods behave like Python functions: binding, introspection, checks."""

import gc
import os
import inspect
import weakref

import httpx
import pytest

from cirrova.base import BaseStorageClient
from cirrova.korvex import KorvexClient


def client(**kw):
    return KorvexClient("AK", "SK", "bkt", http_client=httpx.Client(transport=httpx.MockTransport(
        lambda r: httpx.Response(200))), **kw)


def test_class_is_an_ordinary_class_of_the_base_metaclass():
    assert type(KorvexClient) is type(BaseStorageClient)
    assert KorvexClient.__bases__ == (BaseStorageClient,)
    assert KorvexClient.__module__ == "cirrova.korvex"
    assert KorvexClient.__qualname__ == "KorvexClient"
    assert "PutObject" in KorvexClient.__doc__
    c = client()
    assert c.__dict__["bucket"] == "bkt"
    c.extra = 1  # instances take new attributes like any Python object
    assert vars(c)["extra"] == 1
    names = [n for n in KorvexClient.__dict__ if not n.startswith("__") or n == "__init__"]
    assert names[:6] == ["__init__", "_get_aws_endpoint", "_sign_request", "_sign_request_v2", "_presign_url",
                         "_request"]


def test_methods_carry_function_metadata():
    f = KorvexClient.upload
    assert f.__name__ == "upload"
    assert f.__qualname__ == "KorvexClient.upload"
    assert f.__module__ == "cirrova.korvex"
    assert any("\u4e00" <= ch <= "\u9fff" for ch in f.__doc__)
    assert f.__annotations__ == {
        "key": "str", "data": "Union[bytes, str, BinaryIO]", "content_type": "Optional[str]",
        "content_md5": "Optional[str]", "headers": "Optional[Dict[str, str]]",
        "timeout": "Optional[Union[float, tuple]]", "return": "httpx.Response"}
    assert f.__defaults__ == (None, None, None, None)
    assert "return" not in KorvexClient.__init__.__annotations__
    assert KorvexClient.head.__defaults__ == (None, 10)
    assert repr(f).startswith("<function KorvexClient.upload at ")


def test_inspect_signature_of_functions_and_bound_methods():
    sig = inspect.signature(KorvexClient.__init__)
    assert list(sig.parameters)[:4] == ["self", "access_key", "secret_key", "bucket"]
    assert sig.parameters["region"].default == "us-east-1"
    assert sig.parameters["region"].annotation == "str"
    assert sig.parameters["signature_version"].default == "v4"
    bound = inspect.signature(client()._request)
    assert str(bound) == ("(method: 'str', key: 'str', query_params: 'Optional[Dict[str, str]]' = None, **kwargs)"
                          " -> 'httpx.Response'")
    assert inspect.signature(client().get_path_url).return_annotation == "str"


def test_binding_reads_like_python():
    c = client()
    cases = [
        (lambda: c.get_path_url(), "KorvexClient.get_path_url() missing 1 required positional argument: 'key'"),
        (lambda: c.get_path_url("a", "b"), "KorvexClient.get_path_url() takes 2 positional arguments but 3 were given"),
        (lambda: c.head("k", None, 1, 2), "KorvexClient.head() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: c.head("k", key="k"), "KorvexClient.head() got multiple values for argument 'key'"),
        (lambda: c.head("k", nope=1), "KorvexClient.head() got an unexpected keyword argument 'nope'"),
        (lambda: KorvexClient(), "KorvexClient.__init__() missing 3 required positional arguments: "
                                 "'access_key', 'secret_key', and 'bucket'"),
        (lambda: KorvexClient.get_path_url(), "KorvexClient.get_path_url() missing 2 required positional "
                                              "arguments: 'self' and 'key'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert c.get_path_url(key="x") == c.get_path_url("x") == KorvexClient.get_path_url(c, "x")


def test_annotation_checks_and_conversions():
    c = client()
    for call, message in [
        (lambda: c.get_path_url(5), "Argument 'key' has incorrect type (expected str, got int)"),
        (lambda: c.head("k", headers=[]), "Argument 'headers' has incorrect type (expected dict, got list)"),
        (lambda: c._presign_url("GET", "k", "60"), "Argument 'expires' has incorrect type (expected int, got str)"),
        (lambda: KorvexClient("a", b"s", "b"), "Argument 'secret_key' has incorrect type (expected str, got bytes)"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    class Key(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got Key"):
        c.get_path_url(Key("k"))
    assert "X-Amz-Expires=60&" in c._presign_url("GET", "k", 60.9)
    assert client(internal=[1]).internal is True and client(internal="").internal is False


def test_subclasses_override_and_extend():
    sent = []

    class Traced(KorvexClient):
        def __init__(self, *a, **k):
            super().__init__(*a, **k)
            self.traced = True

        def _request(self, method, key, query_params=None, **kwargs):
            sent.append((method, key))
            return super()._request(method, key, query_params, **kwargs)

    t = Traced("AK", "SK", "bkt", http_client=httpx.Client(transport=httpx.MockTransport(
        lambda r: httpx.Response(204))))
    assert t.traced and t.bucket == "bkt"
    assert t.delete("gone").status_code == 204  # the C++ delete goes through the Python override
    assert sent == [("DELETE", "gone")]
    assert inspect.signature(Traced.head) == inspect.signature(KorvexClient.head)


def test_override_loops_fail_cleanly_and_objects_are_collected():
    class Loop(KorvexClient):
        _request = KorvexClient.head

    c = Loop("AK", "SK", "bkt", http_client=httpx.Client(transport=httpx.MockTransport(
        lambda r: httpx.Response(200))))
    with pytest.raises((RecursionError, TypeError)):
        c.head("k")
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None
    with pytest.raises(TypeError):
        type(KorvexClient.head)()


IMPORT_PROBE = r"""
import sys, importlib
sys.path[:0] = [p for p in sys.argv[2:] if p]
import cirrova
sys.modules[sys.argv[1]] = None          # the dependency cannot be imported
for name in ("cirrova.korvex", "cirrova.dramlet", "cirrova.pelorin"):
    try:
        importlib.import_module(name)
    except ImportError as exc:
        print(name, type(exc).__name__, exc.__cause__ is None, str(exc))
    else:
        print(name, "imported")
"""


@pytest.mark.parametrize("missing", ["cirrova.base", "httpx"])
def test_a_failing_import_fails_the_module_import_with_that_error(missing):
    import subprocess
    import sys

    import cirrova

    root = os.path.dirname(os.path.dirname(cirrova.__file__))
    out = subprocess.run([sys.executable, "-c", IMPORT_PROBE, missing, root], capture_output=True, text=True,
                         check=True).stdout.splitlines()
    assert len(out) == 3
    for line in out:
        name, kind, uncaused, message = line.split(" ", 3)
        assert kind == "ModuleNotFoundError", line
        assert uncaused == "True" and message == f"import of {missing} halted; None in sys.modules", line


def test_keywords_bind_by_value_and_reach_any_client_object_as_keywords():
    # Names built at run time are equal to the parameters' names but not the same objects.
    name = "".join(["ti", "meout"])
    seen = []

    class Plain:
        pass

    http = Plain()
    http.request = lambda method, url, **kw: seen.append((method, url, kw)) or httpx.Response(200)
    c = KorvexClient("AK", "SK", "bkt", endpoint="http://h", http_client=http)
    c.head(**{"key": "k", name: 3})
    assert seen[-1][0] == "HEAD" and seen[-1][2]["timeout"] == 3
    c._request("GET", "k", **{"".join(["follow_", "redirects"]): True, "extensions": {}})
    assert seen[-1][2]["follow_redirects"] is True and seen[-1][2]["extensions"] == {}
    assert set(seen[-1][2]) == {"headers", "follow_redirects", "extensions"}

    class Key(str):
        def __eq__(self, other):
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    c.head(**{Key("key"): "k2"})
    assert seen[-1][1].endswith("/bkt/k2")
    with pytest.raises(TypeError, match="unexpected keyword argument 'tmeout'"):
        c.head("k", **{"tmeout": 1})
