"""Hostile input never crashes the process: every public method either works or raises."""

import inspect
import os
import random

import httpx
import pytest

from cirrova.bellwyn import BellwynClient
from cirrova.dramlet import DramletFileClient
from cirrova.korvex import KorvexClient
from cirrova.pelorin import PelorinOSSClient


# More seeds for a longer hunt: CIRROVA_FUZZ_SEEDS=200
SEEDS = int(os.environ.get("CIRROVA_FUZZ_SEEDS", 3))


class Weird:
    def __str__(self):
        raise RuntimeError("no str")

    def __len__(self):
        raise RuntimeError("no len")

    def __index__(self):
        raise RuntimeError("no index")

    def read(self):
        raise OSError("unreadable")


class BadMapping(dict):
    def __iter__(self):
        raise RuntimeError("no iteration")

    def keys(self):
        raise RuntimeError("no keys")


WEIRD = [None, 0, -1, 2**80, 1.5, float("nan"), "", "k", "a/../b?c#d%", "\udcff", "ü" * 300, b"", b"\xff" * 10,
         [], ["e1", 3], {}, {"X-Amz-Date": 5}, {"k": "v", 1: 2}, {"Range": "bytes=0-1"}, BadMapping(a="b"),
         Weird(), object(), (1, 2), True, lambda *a: None]

BODIES = [b"", b"not xml", b"<a>", b"{}", b'{"DataSet": [{"FileName": 5}], "NextMarker": 3}',
          b"<R xmlns='u'><Contents><Key>k</Key><Size>x</Size></Contents></R>",
          b"<R><Deleted><Key/></Deleted><Error/><UploadId>u</UploadId></R>", b"\x00\xff" * 8]


def handler_for(rng):
    def handler(request):
        status = rng.choice([200, 200, 206, 204, 403, 404, 500])
        headers = {"Content-Length": str(rng.choice([0, 4, 10, -3])), "ETag": rng.choice(['"e"', ""])}
        if rng.random() < 0.05:
            raise httpx.ConnectError("down", request=request)
        return httpx.Response(status, headers=headers, content=rng.choice(BODIES))
    return handler


def clients(rng):
    http = httpx.Client(transport=httpx.MockTransport(handler_for(rng)))
    return [
        KorvexClient("AK", "SK", "bkt", http_client=http),
        KorvexClient("AK", "SK", "bkt", http_client=http, signature_version="korvex", addressing_style="virtual"),
        BellwynClient("id", "key", "bkt-1250000000", "ap-x", http_client=http),
        DramletFileClient("pub", "priv", "bkt", http_client=http),
        PelorinOSSClient("id", "secret", "bkt", http_client=http),
    ]


def public_methods(cls):
    for klass in cls.__mro__:
        for name, value in vars(klass).items():
            if type(value).__name__ == "function" and type(value).__module__ != "builtins":
                yield name, value
            elif isinstance(value, property):
                yield name, value


@pytest.mark.parametrize("seed", range(SEEDS))
def test_random_arguments_and_replies_never_crash(seed, tmp_path, monkeypatch, capsys):
    import time

    monkeypatch.setattr(time, "sleep", lambda s: None)
    monkeypatch.chdir(tmp_path)  # relative paths among the arguments land here
    rng = random.Random(seed)
    calls = 0
    for client in clients(rng):
        client._retry_backoff = (0,)
        for name, func in public_methods(type(client)):
            if name == "__init__" or isinstance(func, property):
                continue
            params = list(inspect.signature(func).parameters.values())[1:]
            for _ in range(12):
                args = {}
                for p in params:
                    if p.kind is p.VAR_KEYWORD:
                        continue
                    if p.name in ("local_path", "file_path") and rng.random() < 0.7:
                        args[p.name] = str(tmp_path / f"f{rng.randrange(3)}")
                    elif p.name in ("part_size", "chunk_size") and rng.random() < 0.7:
                        args[p.name] = rng.choice([1, 3, 4, 8 << 20])
                    elif p.default is not p.empty and rng.random() < 0.3:
                        continue
                    else:
                        args[p.name] = rng.choice(WEIRD)
                calls += 1
                try:
                    getattr(client, name)(**args)
                except Exception:
                    pass
    capsys.readouterr()
    assert calls > 300


def test_method_objects_reject_misuse():
    f = KorvexClient.__dict__["head"]
    with pytest.raises(TypeError):
        f.__name__ = 5
    with pytest.raises(TypeError):
        f.__annotations__ = []
    with pytest.raises((TypeError, AttributeError)):
        f.__defaults__ = ("x",)
    doc = f.__doc__
    f.__doc__ = None  # writable like a Python function's
    f.__doc__ = doc
    f.custom = 1
    assert f.__dict__ == {"custom": 1}
    del f.custom
    with pytest.raises(AttributeError):
        KorvexClient.head(object(), "k")


def attribute_cases():
    http = httpx.Client(transport=httpx.MockTransport(lambda r: httpx.Response(200)))
    korvex = lambda **kw: KorvexClient("AK", "SK", "bkt", http_client=http, **kw)  # noqa: E731
    dramlet = lambda: DramletFileClient("pub", "priv", "bkt", http_client=http)  # noqa: E731
    pelorin = lambda: PelorinOSSClient("id", "secret", "bkt", http_client=http)  # noqa: E731
    head = lambda c: c.head("k")  # noqa: E731
    for name in ("bucket", "endpoint", "access_key", "secret_key", "region"):
        yield "korvex", korvex, name, head
        yield "korvex-presign", korvex, name, lambda c: c.get_shared_url("k")
    for name in ("bucket", "endpoint", "access_key", "secret_key"):
        yield "korvex-v2", lambda: korvex(signature_version="korvex"), name, head
    yield "korvex-create-bucket", korvex, "region", lambda c: c.create_bucket()
    yield "korvex-bucket-exists", korvex, "bucket", lambda c: c.bucket_exists()
    for name in ("bucket", "public_key", "private_key", "host"):
        yield "dramlet", dramlet, name, lambda c: c.upload("k", b"x")
    for name in ("public_key", "private_key"):
        yield "dramlet-shared", dramlet, name, lambda c: c.get_shared_url("k")
    for name in ("bucket", "access_key_id", "access_key_secret", "region"):
        yield "pelorin", pelorin, name, head


@pytest.mark.parametrize("value", [5, b"bkt"])
def test_attribute_of_the_wrong_type_names_itself(value):
    for label, make, name, call in attribute_cases():
        client = make()
        setattr(client, name, value)
        with pytest.raises(TypeError) as info:
            call(client)
        message = str(info.value)
        assert f"'{name}'" in message and type(value).__name__ in message, (label, name, message)
