"""NativeTransport against httpx's own transport: the same requests to a loopback server that records the
raw bytes; what the server received and what the caller got must agree."""

import hashlib
import os
import socket
import threading

import httpx
import pytest

from cirrova.transport import NativeTransport
from rawserver import RawServer, connection_last, response, silent

MiB = 1024 * 1024


def both(fn, **kw):
    """fn(client) through httpx's transport and through NativeTransport."""
    out = []
    for transport in (httpx.HTTPTransport(**kw), NativeTransport(**kw)):
        with httpx.Client(transport=transport) as client:
            out.append(fn(client))
    return out


def seen(server, clear=True):
    got = list(server.requests)
    if clear:
        server.requests.clear()
    return got


def view(r):
    return (r.status_code, r.headers.raw, r.http_version, r.reason_phrase, r.content)


def test_request_head_is_sent_exactly_as_httpx_built_it():
    headers = [("X-Zeta", "1"), ("x-lower", "a"), ("X-Empty", ""), ("X-Rep", "1"), ("x-rep", "2"),
               ("Accept", "text/plain"), ("User-Agent", "cirrova-test")]
    with RawServer(lambda req: response(body=b"ok")) as srv:
        url = srv.url("/a%2Fb/%2E%2E/./c/../d?x=%2F&y=1 2")
        theirs, mine = both(lambda c: (c.get(url, headers=headers).content, seen(srv)[0].head))
        # libcurl writes an empty value without the optional space after the colon.
        assert mine == (theirs[0], connection_last(theirs[1]).replace(b"X-Empty: \r\n", b"X-Empty:\r\n"))
        assert mine[1].startswith(b"GET /a%2Fb/%2E%2E/d?x=%2F&y=1%202 HTTP/1.1\r\n")  # httpx drops dot segments

        # Without caller headers: httpx's defaults only, nothing of libcurl's own.
        theirs, mine = both(lambda c: seen(srv)[0].head if c.request("DELETE", url) else None)
        assert mine == connection_last(theirs)

        # Repeated Connection headers in any letter case go as one line, last, every token kept.
        headers = [("connection", "keep-alive"), ("X-A", "1"), ("Connection", "x-a"), ("CONNECTION", "")]
        theirs, mine = both(lambda c: seen(srv)[0].head if c.get(url, headers=headers) else None)
        assert mine == connection_last(theirs)
        assert mine.endswith(b"\r\nX-A: 1\r\nConnection: keep-alive, x-a") and mine.lower().count(b"connection") == 1


@pytest.mark.parametrize("content", [
    lambda: b"",
    lambda: b"0123456789" * 1000,
    lambda: iter([b"first ", b"", b"second ", b"third"]),
], ids=["empty", "bytes", "iterator"])
def test_request_bodies(content):
    with RawServer(lambda req: response(body=req.body_sha256.encode())) as srv:
        got = []
        for transport in (httpx.HTTPTransport(), NativeTransport()):
            with httpx.Client(transport=transport) as c:
                r = c.post(srv.url("/up"), content=content())
            [req] = seen(srv)
            got.append((req.head, req.body, req.chunked))
            assert r.content.decode() == req.body_sha256
        assert (connection_last(got[0][0]), *got[0][1:]) == got[1]


def test_large_body_both_ways():
    data = os.urandom(MiB) * 100
    digest = hashlib.sha256(data).hexdigest()

    def reply(req):
        if req.method == b"PUT":
            return response(body=f"{req.body_len} {req.body_sha256}".encode())
        return response(body=data)

    with RawServer(reply) as srv, httpx.Client(transport=NativeTransport()) as c:
        assert c.put(srv.url("/big"), content=data).content == f"{len(data)} {digest}".encode()
        got = c.get(srv.url("/big")).content
        assert len(got) == len(data) and hashlib.sha256(got).hexdigest() == digest
        with c.stream("GET", srv.url("/big")) as r:
            sizes = [len(chunk) for chunk in r.iter_raw()]
        assert sum(sizes) == len(data) and max(sizes) < len(data)  # streamed, never held whole
        assert srv.connections == 1


@pytest.mark.parametrize("reply", [
    response(200, headers=[("Content-Type", "text/plain"), ("Set-Cookie", "a=1"), ("set-cookie", "b=2")],
             body=b"hello"),
    response(204, "No Content", length=False),
    response(304, "Not Modified", headers=[("ETag", '"x"')], length=False),
    response(404, "Nope", body=b"missing"),
    response(200, headers=[("Transfer-Encoding", "chunked")], length=False)
    + b"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
    response(200, headers=[("Connection", "close")], length=False) + b"until the end",
    response(200, headers=[("Transfer-Encoding", "chunked")], length=False)
    + b"".join(b"%x\r\n%s\r\n" % (6000 + i, bytes([i]) * (6000 + i)) for i in range(100)) + b"0\r\n\r\n",
    b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok",
    response(200, headers=[("Content-Encoding", "gzip")], body=b"not really gzip"),
], ids=["headers", "204", "304", "404", "chunked", "close-delimited", "chunked-600k", "http1.0", "no-decoding"])
def test_responses(reply):
    with RawServer(lambda req: reply) as srv:
        def get(c):
            with c.stream("GET", srv.url("/r")) as r:
                return r.status_code, r.headers.raw, r.http_version, r.reason_phrase, b"".join(r.iter_raw())

        theirs, mine = both(get)
        assert mine == theirs


def test_head_with_content_length_has_no_body():
    with RawServer(lambda req: response(headers=[("Content-Length", "12345")], length=False)) as srv:
        theirs, mine = both(lambda c: view(c.head(srv.url("/h"))))
        assert mine == theirs and mine[4] == b""


def test_keep_alive_reuses_one_connection_and_close_ends_it():
    with RawServer(lambda req: response(body=b"x" * 100)) as srv:
        with httpx.Client(transport=NativeTransport()) as c:
            for _ in range(5):
                assert c.get(srv.url()).content == b"x" * 100
            c.head(srv.url())
            c.put(srv.url(), content=b"abc")
            with c.stream("GET", srv.url()) as r:
                pass  # closed unread: this connection is not reused
            c.get(srv.url())
            c._transport.close()  # frees the idle connection: the next request opens another
            c.get(srv.url())
        assert srv.connections == 3
        assert [r.connection for r in srv.requests] == [1] * 8 + [2, 3]


def test_keep_alive_limit_closes_extra_idle_connections():
    with RawServer(lambda req: response(body=b"ok")) as srv:
        limits = httpx.Limits(max_connections=4, max_keepalive_connections=1)
        with httpx.Client(transport=NativeTransport(limits=limits)) as c:
            held = [c.send(c.build_request("GET", srv.url()), stream=True) for _ in range(3)]
            for r in held:
                r.read()
                r.close()
            c.get(srv.url())
            c.get(srv.url())
        assert srv.connections == 3  # one of the three kept alive, the next two requests on it


@pytest.mark.parametrize("reply", [
    response(headers=[("Content-Length", "1000")], length=False) + b"short",
    response(headers=[("Transfer-Encoding", "chunked")], length=False) + b"5\r\nhello\r\n",
    b"HTTP/1.1 200 OK\r\nContent-Le",
    b"",
], ids=["content-length", "chunked", "in-head", "nothing"])
def test_server_hanging_up(reply):
    def answer(req):
        def hang_up(sock):
            sock.sendall(reply)
            sock.shutdown(socket.SHUT_RDWR)
        return hang_up

    with RawServer(answer) as srv:
        for transport in (httpx.HTTPTransport(), NativeTransport()):
            with httpx.Client(transport=transport) as c, pytest.raises(httpx.RemoteProtocolError) as err:
                c.get(srv.url("/bye"))
            assert err.value.request.url == srv.url("/bye")


def test_time_outs():
    with RawServer(lambda req: silent) as srv:
        for transport in (httpx.HTTPTransport(), NativeTransport()):
            with httpx.Client(transport=transport, timeout=httpx.Timeout(5, read=0.3)) as c:
                with pytest.raises(httpx.ReadTimeout) as err:
                    c.get(srv.url("/slow"))
                assert err.value.request.method == "GET"

    # The head arrives, then the body stalls.
    def stall(sock):
        sock.sendall(response(headers=[("Content-Length", "10")], length=False) + b"abc")
        silent(sock)

    with RawServer(lambda req: stall) as srv:
        for transport in (httpx.HTTPTransport(), NativeTransport()):
            with httpx.Client(transport=transport, timeout=httpx.Timeout(5, read=0.3)) as c:
                with pytest.raises(httpx.ReadTimeout):
                    c.get(srv.url("/slow"))

    with RawServer(None, read_requests=False) as srv:
        for transport in (httpx.HTTPTransport(), NativeTransport()):
            with httpx.Client(transport=transport, timeout=httpx.Timeout(5, write=0.3)) as c:
                with pytest.raises(httpx.WriteTimeout):
                    c.put(srv.url("/stuck"), content=b"x" * (64 * MiB))
        # A TLS handshake that never gets an answer is part of connecting.
        for transport in (httpx.HTTPTransport(), NativeTransport()):
            with httpx.Client(transport=transport, timeout=httpx.Timeout(5, connect=0.3)) as c:
                with pytest.raises(httpx.ConnectTimeout):
                    c.get(srv.url("/", scheme="https"))


def test_pool_time_out_and_limits():
    with RawServer(lambda req: response(body=b"ok")) as srv:
        limits = httpx.Limits(max_connections=1)
        for transport in (httpx.HTTPTransport(limits=limits), NativeTransport(limits=limits)):
            with httpx.Client(transport=transport, timeout=httpx.Timeout(5, pool=0.2)) as c:
                held = c.send(c.build_request("GET", srv.url()), stream=True)
                with pytest.raises(httpx.PoolTimeout):
                    c.get(srv.url())
                held.close()
                assert c.get(srv.url()).content == b"ok"


def test_connection_refused_and_unsupported_protocol():
    s = socket.create_server(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    for transport in (httpx.HTTPTransport(), NativeTransport(), NativeTransport(retries=2)):
        with httpx.Client(transport=transport) as c:
            with pytest.raises(httpx.ConnectError) as err:
                c.get(f"http://127.0.0.1:{port}/")
            assert err.value.request.url.port == port
            with pytest.raises(httpx.UnsupportedProtocol):
                c.get("ftp://127.0.0.1/file")


def test_request_body_errors_reach_the_caller():
    def body():
        yield b"part"
        raise ValueError("the source failed")

    with RawServer(lambda req: response()) as srv, httpx.Client(transport=NativeTransport()) as c:
        with pytest.raises(ValueError, match="the source failed"):
            c.post(srv.url(), content=body())
        with pytest.raises(httpx.LocalProtocolError):  # fewer bytes than the declared length
            c.post(srv.url(), content=iter([b"abc"]), headers={"Content-Length": "10"})
        # The transport still works afterwards.
        assert c.get(srv.url()).status_code == 200


def test_constructor_arguments():
    import ssl

    with pytest.raises(TypeError, match="path"):
        NativeTransport(verify=ssl.create_default_context())
    with pytest.raises(ValueError):
        NativeTransport(cert=("a", "b", "c", "d"))
    with pytest.raises(TypeError):
        NativeTransport(limits=3)
    t = NativeTransport(verify=False, trust_env=False, retries=1, limits=httpx.Limits(max_connections=None))
    assert isinstance(t, httpx.BaseTransport)
    with t:
        pass


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")
def test_forked_child_opens_its_own_connection():
    with RawServer(lambda req: response(body=b"ok")) as srv:
        with httpx.Client(transport=NativeTransport()) as c:
            assert c.get(srv.url()).content == b"ok"
            pid = os.fork()
            if pid == 0:
                try:
                    ok = c.get(srv.url()).content == b"ok"
                finally:
                    os._exit(0 if ok else 1)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
            assert c.get(srv.url()).content == b"ok"
        assert srv.connections == 2
        assert [r.connection for r in srv.requests] == [1, 2, 1]


def test_sixteen_threads_share_one_transport():
    def reply(req):
        path = req.head.split(b" ")[1]
        return response(body=hashlib.sha256(path).hexdigest().encode() * 50)

    limits = httpx.Limits(max_connections=8, max_keepalive_connections=8)
    errors = []
    with RawServer(reply) as srv, httpx.Client(transport=NativeTransport(limits=limits)) as c:
        def worker(n):
            try:
                for i in range(25):
                    path = f"/t{n}/{i}"
                    r = c.get(srv.url(path))
                    assert r.content == hashlib.sha256(path.encode()).hexdigest().encode() * 50
            except Exception as exc:  # noqa: BLE001
                errors.append(exc)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors
        assert len(srv.requests) == 400
        assert srv.connections <= 8


@pytest.mark.parametrize("headers", [{"X-Bad": "a\r\nX-Injected: 1"}, {"X-Bad\r\nX-Injected": "1"}],
                         ids=["value", "name"])
def test_line_breaks_in_headers_are_refused(headers):
    with RawServer(lambda req: response()) as srv:
        for transport in (httpx.HTTPTransport(), NativeTransport()):
            with httpx.Client(transport=transport) as c, pytest.raises(httpx.LocalProtocolError):
                c.get(srv.url(), headers=headers)
        assert srv.requests == []


def test_other_threads_run_while_a_request_waits():
    def late(sock):
        threading.Event().wait(0.5)
        sock.sendall(response(body=b"late"))

    ticks, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    with RawServer(lambda req: late) as srv, httpx.Client(transport=NativeTransport()) as c:
        t = threading.Thread(target=count)
        t.start()
        try:
            before = ticks[0]
            assert c.get(srv.url()).content == b"late"
            during = ticks[0] - before
        finally:
            stop.set()
            t.join()
    # A transport holding the interpreter lock through the wait would leave the counter where it was.
    assert during > 10000


def test_closing_a_stream_that_another_thread_reads():
    def stall(sock):
        sock.sendall(response(headers=[("Content-Length", "100")], length=False) + b"abc")
        silent(sock)

    with RawServer(lambda req: stall) as srv, httpx.Client(transport=NativeTransport()) as c:
        r = c.send(c.build_request("GET", srv.url()), stream=True)
        errors = []

        def read():
            try:
                r.read()
            except Exception as exc:  # noqa: BLE001
                errors.append(exc)

        t = threading.Thread(target=read)
        t.start()
        t.join(0.3)
        r.close()  # the reader stops at its next wait
        t.join(5)
        assert not t.is_alive()
        assert isinstance(errors[0], httpx.ReadError) and errors[0].request is r.request
