"""NativeTransport under faults: cancel tokens, servers that misbehave on idle or reused connections,
broken framing both ways, and bodies that trickle. httpx's own transport is the reference wherever both
apply."""

import fcntl
import socket
import termios
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


def stream_then_read(c, url):
    with c.stream("GET", url) as r:
        r.read()


def hold_then_get(c, url):
    c.send(c.build_request("GET", url), stream=True)
    c.get(url)  # waits for the transport's one connection


# Where the request waits when its token is cancelled: what the worker thread runs, and the server's reply.
PHASES = {
    "first byte": (lambda c, url: c.get(url), lambda req: silent),
    "body": (stream_then_read, lambda req: stalled_body),
    "send": (lambda c, url: c.put(url, content=b"x" * (256 * MiB)), None),
    "free connection": (hold_then_get, lambda req: stalled_body),
}


def wait_for(condition):
    for _ in range(1000):
        if condition():
            return
        threading.Event().wait(0.01)
    pytest.fail("the request never reached the server")


@pytest.mark.parametrize("phase", list(PHASES))
def test_cancel_ends_the_wait_of_a_request_on_another_thread(phase):
    start, reply = PHASES[phase]
    limits = httpx.Limits(max_connections=1)
    with RawServer(reply, read_requests=reply is not None) as srv, \
            httpx.Client(transport=NativeTransport(limits=limits), timeout=PATIENCE) as c:
        token, errors = CancelToken(), []

        def run():
            try:
                with token:
                    start(c, srv.url("/x"))
            except Exception as exc:  # noqa: BLE001
                errors.append(exc)

        t = threading.Thread(target=run)
        t.start()
        wait_for(lambda: srv.requests if reply else srv.connections)  # the request waits from here on
        token.cancel()
        token.cancel()  # idempotent
        t.join(20)
        assert not t.is_alive() and token.cancelled
        assert [type(e) for e in errors] == [RequestCancelled]
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
        with pytest.raises(httpx.StreamClosed):
            next(iter(r.stream))  # never read as a body that ended
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


def delivered(sock):
    """Waits until the peer's kernel has acknowledged everything sent on `sock`, its end included."""
    for _ in range(500):
        if fcntl.ioctl(sock, termios.TIOCOUTQ, b"\0\0\0\0") == b"\0\0\0\0":
            return
        threading.Event().wait(0.01)


@pytest.mark.parametrize("fault", list(IDLE_FAULTS))
@pytest.mark.parametrize("method", ["GET", "PUT"])
def test_a_pooled_connection_with_unread_bytes_or_closed_is_never_reused(client, fault, method):
    idle, written = threading.Event(), threading.Event()

    def reply(req):
        if req.connection > 1:
            return response(body=req.head.split(b" ")[1])

        def first_then_fault(sock):
            sock.sendall(response(body=b"first"))
            if idle.wait(10):
                IDLE_FAULTS[fault](sock)
                delivered(sock)
            written.set()
            silent(sock)
        return first_then_fault

    with RawServer(reply) as srv:
        assert client.get(srv.url("/1")).content == b"first"
        idle.set()  # the reply is read: its connection waits in the pool
        assert written.wait(10)
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
     "Content-Length"),  # libcurl 8 refuses them itself, in its own words
    (response(headers=[("Content-Length", "5, 10")], length=False, body=b"0123456789"), "Content-Length"),
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
