"""Ranged GETs read as their bytes arrive: the reply's status and framing checked before any of its body is
read, the body read raw (as stored, never decoded) and no further than expected, and dropped when the
transfer stops.

The request still goes through the client's own `_download`, so overrides and the client's httpx.Client see
it. A response hook on that httpx.Client does the reading while httpx would otherwise read the whole body
into memory: it acts only on the thread that is expecting a reply, and leaves every other response alone.
"""

import threading

import httpx

from ._engine import Cancelled, Retry, TransferError

_local = threading.local()
_EMPTY = httpx.ByteStream(b"")


class Expect:
    """What a reply must be, and where its body goes.

    check(response, expect) runs on the response before its body is read and raises for one not to be read;
    it may set `limit` (the most body bytes accepted; None for no limit) and `consume`. consume(offset,
    chunk) takes the body's bytes as they arrive, at their offset in the body.
    """

    def __init__(self, check, limit, consume, cancel):
        self.check, self.limit, self.consume, self.cancel = check, limit, consume, cancel
        self.seen = False
        self.received = 0
        self.body = None  # where a check that keeps the body in memory puts it


def _on_response(response):
    expect = getattr(_local, "expect", None)
    if expect is None or expect.seen:
        return
    expect.seen = True
    expect.check(response, expect)
    # The body is read here, raw from the transport's stream; httpx's own read then finds it empty.
    stream, response.stream = response.stream, _EMPTY
    try:
        for chunk in stream:
            take(expect, chunk)
    finally:
        stream.close()


def take(expect, chunk):
    if expect.cancel.is_set():
        raise Cancelled()
    if expect.limit is not None and expect.received + len(chunk) > expect.limit:
        raise Retry(TransferError(f"回复正文超过应有的 {expect.limit} 字节"))
    expect.consume(expect.received, chunk)
    expect.received += len(chunk)


def _hooks(client):
    """The response hooks of a client's httpx.Client, with ours among them; None where there are none."""
    http = getattr(client, "_client", None)
    hooks = getattr(http, "event_hooks", None)
    if not isinstance(hooks, dict):
        return None
    listed = hooks.get("response")
    if not isinstance(listed, list):
        return None
    if _on_response not in listed:
        listed.append(_on_response)
    return listed


def read(client, download, expect):
    """Runs download() (the client's `_download` call) with `expect` watching for its reply; returns the
    response, whose body `expect` has consumed."""
    _hooks(client)
    _local.expect = expect
    try:
        response = download()
    finally:
        _local.expect = None
    if not expect.seen:
        # A `_download` that did not go through its httpx.Client (an override answering itself): the body
        # is already in memory, and only the checks are left to make.
        expect.seen = True
        expect.check(response, expect)
        take(expect, response.content)
    return response
