"""The four clients against a loopback server that misbehaves: silence, wrong
ranges, replaced objects, errors, resets and short bodies in the middle of a
download. Every failed download leaves the file on disk as it was."""

import os

import httpx
import pytest

from cirrova.bellwyn import BellwynClient
from cirrova.dramlet import DramletFileClient
from cirrova.korvex import KorvexClient
from cirrova.pelorin import PelorinOSSClient
from cirrova.transport import NativeTransport
from hostile_server import RESET, SILENT, HostileServer, reply

PREVIOUS = b"the user's previous copy"


def to_loopback(base):
    class ToLoopback(base):
        """Sends every request to the loopback server; the Host header stays the client's."""

        def __init__(self, url):
            super().__init__()
            self.port = httpx.URL(url).port

        def handle_request(self, request):
            request.url = request.url.copy_with(scheme="http", host="127.0.0.1", port=self.port)
            return super().handle_request(request)
    return ToLoopback


TRANSPORTS = {"httpx": to_loopback(httpx.HTTPTransport), "native": to_loopback(NativeTransport)}
via = ["httpx"]


@pytest.fixture(autouse=True, params=list(TRANSPORTS))
def transport(request):
    """Every case through httpx's transport and through NativeTransport."""
    via[0] = request.param
    yield request.param
    via[0] = "httpx"


MAKERS = {
    "korvex": lambda http: KorvexClient("AK", "SK", "bkt", endpoint="http://s3.test", http_client=http),
    "bellwyn": lambda http: BellwynClient("AKID", "SK", "photos-1250000000", http_client=http),
    "pelorin": lambda http: PelorinOSSClient("AK", "SK", "bkt", http_client=http),
    "dramlet": lambda http: DramletFileClient("PUB", "PRIV", "bkt", http_client=http),
}
ALL = list(MAKERS)
WITH_ETAG_CHECK = ["korvex", "bellwyn", "pelorin"]


def client(kind, srv, timeout=5.0):
    return MAKERS[kind](httpx.Client(transport=TRANSPORTS[via[0]](srv.url), timeout=timeout))


class Obj:
    """One object behind every URL: HEAD answers its size and ETag, GET its ranges.
    `override` maps the index of a GET (from 0) to an action or to a callable
    (start, end, headers) -> action."""

    def __init__(self, data, etag='"v1"', override=None):
        self.data, self.etag = data, etag
        self.override = override or {}
        self.gets = []

    def __call__(self, method, target, headers, index):
        if method == "HEAD":
            return reply(200, headers={"ETag": self.etag}, length=len(self.data))
        n = len(self.gets)
        self.gets.append(headers)
        rng = headers.get("Range")
        start, end = (0, len(self.data) - 1) if rng is None else map(int, rng[len("bytes="):].split("-"))
        action = self.override.get(n)
        if callable(action):
            return action(start, end, headers)
        if action is not None:
            return action
        if rng is None:
            return reply(200, self.data, {"ETag": self.etag})
        return reply(206, self.data[start:end + 1],
                     {"Content-Range": f"bytes {start}-{end}/{len(self.data)}", "ETag": self.etag})


@pytest.fixture
def target(tmp_path):
    path = tmp_path / "out.bin"
    path.write_bytes(PREVIOUS)
    return path


def assert_untouched(path):
    assert path.read_bytes() == PREVIOUS
    assert os.listdir(path.parent) == [path.name]  # no temporary file left behind


def download_failed(c, path, part):
    """multipart_download failed: raised (S3, COS, OSS) or returned False (UFile)."""
    try:
        return c.multipart_download("obj", str(path), part) is False
    except Exception:
        return True


# ------------------------------------------------------------------ time-outs

OPERATIONS = {
    "upload": lambda c, path: c.upload("obj", b"x"),
    "list": lambda c, path: c.list(),
    "download": lambda c, path: (c.download("obj", str(path), 4) if isinstance(c, DramletFileClient)
                                 else c._download("obj")),
    "multipart_download": lambda c, path: c.multipart_download("obj", str(path), 4),
}


@pytest.mark.parametrize("op", list(OPERATIONS))
@pytest.mark.parametrize("kind", ALL)
def test_no_time_out_of_the_call_leaves_the_http_clients_own(kind, op, target):
    def handler(method, path, headers, index):
        return reply(200, headers={"ETag": '"e"'}, length=8) if method == "HEAD" else SILENT

    with HostileServer(handler) as srv:
        c = client(kind, srv, timeout=0.3)
        try:
            result = OPERATIONS[op](c, target)
        except httpx.TimeoutException:
            pass
        else:
            assert result is False and kind == "dramlet"
    # The client gave up on its own time-out instead of waiting for the server.
    assert srv.hung_up == [True]
    assert_untouched(target)


@pytest.mark.parametrize("kind", WITH_ETAG_CHECK)
def test_no_time_out_of_the_call_holds_for_the_head_of_a_download(kind, target):
    with HostileServer(lambda *a: SILENT) as srv:
        with pytest.raises(httpx.TimeoutException):
            client(kind, srv, timeout=0.3).multipart_download("obj", str(target), 4)
    assert srv.hung_up == [True]
    assert_untouched(target)


# ------------------------------------------------------------ range replies

DATA = b"0123456789abcdef"


@pytest.mark.parametrize("kind", ALL)
def test_download_writes_the_object_and_nothing_else(kind, target):
    target.chmod(0o600)
    with HostileServer(Obj(DATA)) as srv:
        assert client(kind, srv).multipart_download("obj", str(target), 4) is True
        ranges = [h["Range"] for m, _, h in srv.requests if m == "GET"]
    assert ranges == ["bytes=0-3", "bytes=4-7", "bytes=8-11", "bytes=12-15"]
    assert target.read_bytes() == DATA and os.listdir(target.parent) == [target.name]
    assert target.stat().st_mode & 0o777 == 0o600  # the replaced file's permissions stay


WRONG_PARTS = {
    # another range of the right length, honestly labelled
    "other range": lambda s, e, h: reply(206, DATA[8:12], {"Content-Range": "bytes 8-11/16"}),
    "no Content-Range": lambda s, e, h: reply(206, DATA[s:e + 1]),
    "other size": lambda s, e, h: reply(206, DATA[s:e + 1], {"Content-Range": f"bytes {s}-{e}/17"}),
    "unknown size": lambda s, e, h: reply(206, DATA[s:e + 1], {"Content-Range": f"bytes {s}-{e}/*"}),
    "other unit": lambda s, e, h: reply(206, DATA[s:e + 1], {"Content-Range": f"items {s}-{e}/16"}),
}


@pytest.mark.parametrize("wrong", list(WRONG_PARTS))
@pytest.mark.parametrize("kind", ALL)
def test_a_part_must_name_exactly_its_range(kind, wrong, target):
    with HostileServer(Obj(DATA, override={1: WRONG_PARTS[wrong]})) as srv:
        assert download_failed(client(kind, srv), target, 4)
    assert_untouched(target)


@pytest.mark.parametrize("kind", ALL)
def test_a_200_counts_only_as_the_whole_object(kind, target):
    # The object was replaced by one of a part's length: never written as a part.
    old = b"OLD!OLD!"
    with HostileServer(Obj(old, override={1: reply(200, b"NEW!")})) as srv:
        assert download_failed(client(kind, srv), target, 4)
    assert_untouched(target)
    # An object that grew since the head is not the object the head described.
    with HostileServer(Obj(old, override={0: reply(200, old + b"+")})) as srv:
        assert download_failed(client(kind, srv), target, 4)
    assert_untouched(target)
    # A service that ignores Range: the whole object of the size found, written once.
    with HostileServer(Obj(old, override={0: reply(200, old)})) as srv:
        assert client(kind, srv).multipart_download("obj", str(target), 4) is True
        assert len(srv.requests) == 2
    assert target.read_bytes() == old and os.listdir(target.parent) == [target.name]


@pytest.mark.parametrize("kind", WITH_ETAG_CHECK)
def test_ranges_ask_for_the_version_found_by_head(kind, target):
    with HostileServer(Obj(DATA, etag='"v1"')) as srv:
        assert client(kind, srv).multipart_download("obj", str(target), 4) is True
        assert [h.get("If-Match") for m, _, h in srv.requests if m == "GET"] == ['"v1"'] * 4
    target.write_bytes(PREVIOUS)

    # Replaced after the first part: the service refuses the rest instead of mixing versions.
    def replaced(s, e, h):
        if h.get("If-Match") != '"v2"':
            return reply(412, b"<Error><Code>PreconditionFailed</Code></Error>")
        return reply(206, b"NEW!", {"Content-Range": f"bytes {s}-{e}/16"})
    with HostileServer(Obj(DATA, etag='"v1"', override={i: replaced for i in (1, 2, 3)})) as srv:
        with pytest.raises(Exception, match="412"):
            client(kind, srv).multipart_download("obj", str(target), 4)
    assert_untouched(target)


# ------------------------------------------------------------ broken parts

BROKEN = {
    "503": reply(503, b"<Error><Code>SlowDown</Code></Error>"),
    "reset": RESET,
    "short body": reply(206, DATA[:2], {"Content-Range": "bytes 0-3/16"}, length=4),
    "silence": SILENT,
}


@pytest.mark.parametrize("at", [0, 2])
@pytest.mark.parametrize("broken", list(BROKEN))
@pytest.mark.parametrize("kind", ALL)
def test_a_failed_download_keeps_the_previous_file(kind, broken, at, target):
    action = BROKEN[broken]
    with HostileServer(Obj(DATA, override={at: action})) as srv:
        assert download_failed(client(kind, srv, timeout=0.3), target, 4)
    assert_untouched(target)


@pytest.mark.parametrize("broken", list(BROKEN))
def test_a_failed_streamed_download_keeps_the_previous_file(broken, target):
    action = BROKEN[broken]
    if broken == "short body":
        action = reply(200, DATA[:5], length=len(DATA))
    with HostileServer(Obj(DATA, override={0: action})) as srv:
        c = client("dramlet", srv, timeout=0.3)
        assert c.download("obj", str(target), chunk_size=4) is False
    assert_untouched(target)
    # The same download complete: the file is replaced whole.
    with HostileServer(Obj(DATA)) as srv:
        assert client("dramlet", srv).download("obj", str(target), chunk_size=4) is True
    assert target.read_bytes() == DATA and os.listdir(target.parent) == [target.name]
