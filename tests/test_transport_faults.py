"""NativeTransport under faults: cancel tokens, servers that misbehave on idle or reused connections,
broken framing both ways, and bodies that trickle. httpx's own transport is the reference wherever both
apply."""

import socket
import threading

import httpx
import pytest

from cirrova.transport import CancelToken, NativeTransport, RequestCancelled
from rawserver import RawServer, response, silent

MiB = 1024 * 1024
# Bounds a broken transport would hit: the faults below otherwise wait for ever.
PATIENCE = httpx.Timeout(30)


# ------------------------------------------------------------------ cancel tokens

def stalled_body(sock):
    sock.sendall(response(headers=[("Content-Length", "100")], length=False) + b"abc")
    silent(sock)


class Phase:
    """Where a request waits when its token is cancelled: `start(client, url)` runs on a worker thread
    inside `with token:` and blocks there; `ready` is set by the server once the request waits."""

    def __init__(self, reply, start, read_requests=True):
        self.reply, self.start, self.read_requests = reply, start, read_requests


def stream_then_read(c, url):
    with c.stream("GET", url) as r:
        r.read()


PHASES = {
    "first byte": Phase(lambda ready: (ready.set(), silent)[1], lambda c, url: c.get(url)),
    "body": Phase(lambda ready: (ready.set(), stalled_body)[1], stream_then_read),
    "send": Phase(None, lambda c, url: c.put(url, content=b"x" * (256 * MiB)), read_requests=False),
}


@pytest.mark.parametrize("phase", list(PHASES))
def test_cancel_ends_the_wait_of_a_request_on_another_thread(phase):
    p, ready = PHASES[phase], threading.Event()
    reply = (lambda req: p.reply(ready)) if p.reply else None
    with RawServer(reply, read_requests=p.read_requests) as srv, \
            httpx.Client(transport=NativeTransport(), timeout=PATIENCE) as c:
        token, errors = CancelToken(), []

        def run():
            try:
                with token:
                    p.start(c, srv.url("/x"))
            except Exception as exc:  # noqa: BLE001
                errors.append(exc)

        t = threading.Thread(target=run)
        t.start()
        if p.read_requests:
            assert ready.wait(10)
        token.cancel()
        token.cancel()  # idempotent
        t.join(20)
        assert not t.is_alive() and token.cancelled
        assert len(errors) == 1 and isinstance(errors[0], RequestCancelled), errors
        assert isinstance(errors[0], httpx.TransportError) and errors[0].request.url == srv.url("/x")


def test_cancel_reaches_a_body_read_on_another_thread_and_the_connection_is_not_reused():
    ready = threading.Event()

    def reply(req):
        if req.head.startswith(b"GET /stall"):
            ready.set()
            return stalled_body
        return response(body=b"ok")

    with RawServer(reply) as srv, httpx.Client(transport=NativeTransport(), timeout=PATIENCE) as c:
        token = CancelToken()
        assert not token.cancelled
        with token:
            assert c.get(srv.url("/a")).content == b"ok"  # not cancelled: an ordinary request
            r = c.send(c.build_request("GET", srv.url("/stall")), stream=True)
        errors = []

        def read():  # unbound thread: the response stays tied to the token
            try:
                r.read()
            except Exception as exc:  # noqa: BLE001
                errors.append(exc)

        t = threading.Thread(target=read)
        t.start()
        assert ready.wait(10)
        token.cancel()
        t.join(20)
        assert not t.is_alive() and [type(e) for e in errors] == [RequestCancelled]
        assert c.get(srv.url("/b")).content == b"ok"
        assert [q.connection for q in srv.requests] == [1, 1, 2]  # the cancelled one's connection is not reused


def test_a_cancelled_token_sends_nothing_and_bindings_nest():
    with RawServer(lambda req: response(body=b"ok")) as srv, httpx.Client(transport=NativeTransport()) as c:
        outer, inner = CancelToken(), CancelToken()
        outer.cancel()
        with outer:
            with pytest.raises(RequestCancelled):
                c.get(srv.url())
            with inner as bound:
                assert bound is inner
                assert c.get(srv.url()).content == b"ok"  # the innermost token decides
            with pytest.raises(RequestCancelled):
                c.get(srv.url())  # the outer binding holds again
        assert c.get(srv.url()).content == b"ok"  # unbound
        assert len(srv.requests) == 2
        # cancel() needs no binding and no thread of the request; a pool wait ends too.
        limits = httpx.Limits(max_connections=1)
        with httpx.Client(transport=NativeTransport(limits=limits), timeout=PATIENCE) as c2:
            held = c2.send(c2.build_request("GET", srv.url()), stream=True)
            token, errors = CancelToken(), []

            def wait_for_pool():
                try:
                    with token:
                        c2.get(srv.url())
                except Exception as exc:  # noqa: BLE001
                    errors.append(exc)

            t = threading.Thread(target=wait_for_pool)
            t.start()
            token.cancel()
            t.join(20)
            held.close()
            assert [type(e) for e in errors] == [RequestCancelled]
