"""NativeTransport under faults: cancel tokens, servers that misbehave on idle or reused connections,
broken framing both ways, and bodies that trickle. httpx's own transport is the reference wherever both
apply."""

import socket
import threading

import h11
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


def transports():
    return [httpx.HTTPTransport(), NativeTransport()]


TRANSPORT_IDS = ["httpx", "native"]


def native(client):
    return isinstance(client._transport, NativeTransport)


@pytest.fixture(params=[0, 1], ids=TRANSPORT_IDS)
def client(request):
    with httpx.Client(transport=transports()[request.param], timeout=PATIENCE) as c:
        yield c


# ------------------------------------------------- idle connections the server wrote to

def late_408(sock):
    sock.sendall(response(408, "Request Timeout", headers=[("Connection", "close")], body=b"stale"))
    sock.shutdown(socket.SHUT_WR)


def stray_reply(sock):
    sock.sendall(response(body=b"stale"))  # and the connection stays open


def hang_up(sock):
    sock.shutdown(socket.SHUT_RDWR)


IDLE_FAULTS = {"408 before closing": late_408, "stray reply": stray_reply, "closed": hang_up}


@pytest.mark.parametrize("fault", list(IDLE_FAULTS))
@pytest.mark.parametrize("method", ["GET", "PUT"])
def test_a_pooled_connection_with_unread_bytes_or_closed_is_never_reused(client, fault, method):
    written = threading.Event()

    def reply(req):
        if req.connection > 1:
            return response(body=req.head.split(b" ")[1])

        def first_then_fault(sock):
            sock.sendall(response(body=b"first"))
            threading.Event().wait(0.3)  # the reply above is read and its connection idle by then
            IDLE_FAULTS[fault](sock)
            written.set()
            silent(sock)
        return first_then_fault

    with RawServer(reply) as srv:
        assert client.get(srv.url("/1")).content == b"first"
        assert written.wait(10)
        threading.Event().wait(0.2)  # the fault's bytes cross loopback
        for path in ("/2", "/3"):
            r = client.request(method, srv.url(path), content=b"body" if method == "PUT" else None)
            assert (r.status_code, r.content) == (200, path.encode())
        assert [q.connection for q in srv.requests] == [1, 2, 2]


# ------------------------------------------------- a reused connection dropped on a request

@pytest.mark.parametrize("method, content", [
    ("POST", None), ("POST", b"form"), ("PUT", b"data"), ("PATCH", b"x"), ("PUT", iter([b"streamed"])),
], ids=["POST", "POST body", "PUT body", "PATCH", "PUT stream"])
def test_a_request_that_may_not_go_twice_is_not_resent_on_a_dropped_connection(client, method, content):
    def reply(req):
        if req.connection == 1 and not req.head.startswith(b"GET /warm"):
            return hang_up  # the kept-alive connection closes on receiving the request
        return response(body=b"ok")

    with RawServer(reply) as srv:
        assert client.get(srv.url("/warm")).content == b"ok"
        with pytest.raises(httpx.RemoteProtocolError, match="Server disconnected without sending a response"):
            client.request(method, srv.url("/x"), content=content)
        assert [q.method for q in srv.requests] == [b"GET", method.encode()]


def test_an_idempotent_request_without_body_is_resent_once_on_a_dropped_connection():
    def reply(req):
        if req.connection == 1 and not req.head.startswith(b"GET /warm"):
            return hang_up
        return response(body=b"fresh")

    with RawServer(reply) as srv, httpx.Client(transport=NativeTransport()) as c:
        c.get(srv.url("/warm"))
        assert c.get(srv.url("/x")).content == b"fresh"
        assert [(q.connection, q.head.split(b" ")[1]) for q in srv.requests] == [(1, b"/warm"), (1, b"/x"), (2, b"/x")]


# ------------------------------------------------- framing

@pytest.mark.parametrize("content, length", [
    (lambda: iter([b"abcdef"]), "3"),             # longer than declared
    (lambda: iter([b"abc", b"", b"d"]), "3"),     # one piece too many
    (lambda: b"abc", "x"),
    (lambda: b"abc", "-3"),
    (lambda: b"abc", "3 3"),
    (lambda: iter([b"ab"]), "3"),                 # shorter than declared
], ids=["long", "extra piece", "not a number", "negative", "two numbers", "short"])
def test_request_framing_errors_are_local_protocol_errors(client, content, length):
    # httpx's own transport lets h11's error out for a body past its length.
    expected = httpx.LocalProtocolError if native(client) else (httpx.LocalProtocolError, h11.LocalProtocolError)
    with RawServer(lambda req: response(body=b"ok")) as srv:
        with pytest.raises(expected):
            client.post(srv.url(), content=content(), headers={"Content-Length": length})
        assert client.get(srv.url()).content == b"ok"  # and the transport works on


@pytest.mark.parametrize("reply, message", [
    (response(headers=[("Content-Length", "10"), ("Content-Length", "5")], length=False, body=b"0123456789"),
     "onflicting"),
    (response(headers=[("Content-Length", "5, 10")], length=False, body=b"0123456789"), "onflicting"),
    (response(headers=[("X-Big", "a" * 200_000)], body=b"ok"), None),
], ids=["two lengths", "length list", "oversized head"])
def test_response_framing_errors_are_remote_protocol_errors(client, reply, message):
    with RawServer(lambda req: reply) as srv:
        with pytest.raises(httpx.RemoteProtocolError, match=message):
            client.get(srv.url())


def test_reading_a_closed_stream_raises_stream_closed():
    with RawServer(lambda req: stalled_body) as srv, httpx.Client(transport=NativeTransport()) as c:
        r = c.send(c.build_request("GET", srv.url()), stream=True)
        r.stream.close()
        with pytest.raises(httpx.StreamClosed):
            next(iter(r.stream))
        with pytest.raises(httpx.StreamClosed):
            r.read()


# ------------------------------------------------- streaming

def framed(kind, pieces):
    """Response head and body pieces for a body of known length, chunked or ended by closing."""
    total = sum(map(len, pieces))
    if kind == "length":
        return response(headers=[("Content-Length", str(total))], length=False), pieces
    if kind == "chunked":
        return (response(headers=[("Transfer-Encoding", "chunked")], length=False),
                [b"%x\r\n%s\r\n" % (len(p), p) for p in pieces] + [b"0\r\n\r\n"])
    return response(headers=[("Connection", "close")], length=False), pieces


@pytest.mark.parametrize("kind", ["length", "chunked", "close"])
def test_a_slow_stream_is_delivered_as_it_arrives(client, kind):
    lines = [b"event: one\n", b"event: two\n", b"event: three\n"]
    head, pieces = framed(kind, lines + [b"x" * 100_000])
    received = [threading.Event() for _ in lines]
    held_too_long = []

    def events(sock):
        sock.sendall(head + pieces[0])
        for i, piece in enumerate(pieces[1:]):
            if i < len(received) and not received[i].wait(10):
                held_too_long.append(i)  # the client sat on a line it had
            sock.sendall(piece)
        sock.shutdown(socket.SHUT_RDWR)

    with RawServer(lambda req: events) as srv:
        with client.stream("GET", srv.url()) as r:
            got = []
            for line in r.iter_lines():
                got.append(line)
                if len(got) <= len(received):
                    received[len(got) - 1].set()
        assert got[:3] == ["event: one", "event: two", "event: three"] and held_too_long == []
