"""NativeTransport over TLS with a certificate made here, and through a proxy on loopback."""

import http.server
import os
import shutil
import socket
import ssl
import subprocess
import threading

import httpx
import pytest

from cirrova.transport import NativeTransport
from rawserver import RawServer, response

pytestmark = pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")


@pytest.fixture(scope="module")
def cert(tmp_path_factory):
    d = tmp_path_factory.mktemp("tls")
    crt, key = str(d / "cert.pem"), str(d / "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", key, "-out", crt],
                   check=True, capture_output=True)
    return crt, key


class _Hello(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        body = b"hello over tls " + self.path.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def tls_server(cert):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Hello)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(*cert)
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"https://127.0.0.1:{server.server_address[1]}"
    server.shutdown()


def test_tls_verification(tls_server, cert, monkeypatch):
    crt, _ = cert
    for transport in (NativeTransport(), NativeTransport(trust_env=False)):
        with httpx.Client(transport=transport) as c, pytest.raises(httpx.ConnectError) as err:
            c.get(tls_server + "/x")
        assert err.value.request is not None
    with httpx.Client(transport=httpx.HTTPTransport()) as c, pytest.raises(httpx.ConnectError):
        c.get(tls_server + "/x")

    for transport in (NativeTransport(verify=False), NativeTransport(verify=crt),
                      NativeTransport(verify=crt, http2=True)):  # the server offers HTTP/1.1 only
        with httpx.Client(transport=transport) as c:
            r = c.get(tls_server + "/a")
            assert (r.status_code, r.content, r.http_version) == (200, b"hello over tls /a", "HTTP/1.1")
            assert c.get(tls_server + "/b").content == b"hello over tls /b"

    # The environment's CA bundle, when trusted, as httpx reads it.
    monkeypatch.setenv("SSL_CERT_FILE", crt)
    with httpx.Client(transport=NativeTransport()) as c:
        assert c.get(tls_server + "/env").status_code == 200
    with httpx.Client(transport=NativeTransport(trust_env=False)) as c, pytest.raises(httpx.ConnectError):
        c.get(tls_server + "/env")


def _tunnel(target):
    """A CONNECT proxy's answer: 200, then bytes piped both ways to `target`."""
    def run(sock):
        upstream = socket.create_connection(target)
        sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")

        def pipe(a, b):
            try:
                while data := a.recv(65536):
                    b.sendall(data)
            except OSError:
                pass
            finally:
                for s in (a, b):
                    try:
                        s.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass

        t = threading.Thread(target=pipe, args=(upstream, sock), daemon=True)
        t.start()
        pipe(sock, upstream)
        t.join()
    return run


def test_proxy(tls_server, cert):
    crt, _ = cert
    port = int(tls_server.rsplit(":", 1)[1])

    def reply(req):
        if req.method == b"CONNECT":
            if b"Proxy-Authorization" not in req.head:
                return response(407, "Proxy Authentication Required", headers=[("Connection", "close")])
            return _tunnel(("127.0.0.1", port))
        return response(body=b"via proxy")

    with RawServer(reply) as proxy:
        plain = proxy.url("").rstrip("/")
        with_auth = plain.replace("http://", "http://user:p%40ss@")
        # Plain HTTP is forwarded: the absolute URL goes to the proxy, as httpx sends it.
        heads = []
        for transport in (httpx.HTTPTransport(proxy=with_auth), NativeTransport(proxy=with_auth)):
            with httpx.Client(transport=transport) as c:
                assert c.get("http://origin.invalid/path?q=1").content == b"via proxy"
            heads.append(proxy.requests.pop().head)
        assert heads[0].split(b"\r\n")[0] == heads[1].split(b"\r\n")[0] == \
            b"GET http://origin.invalid/path?q=1 HTTP/1.1"
        assert sorted(heads[0].split(b"\r\n")) == sorted(heads[1].split(b"\r\n"))

        # HTTPS goes through a CONNECT tunnel; a refused CONNECT is a ProxyError.
        with httpx.Client(transport=NativeTransport(proxy=httpx.Proxy(with_auth), verify=crt)) as c:
            assert c.get(tls_server + "/tunnel").content == b"hello over tls /tunnel"
        for transport in (httpx.HTTPTransport(proxy=plain), NativeTransport(proxy=plain, verify=crt)):
            with httpx.Client(transport=transport) as c, pytest.raises(httpx.ProxyError):
                c.get(tls_server + "/refused")


def test_proxy_from_environment(monkeypatch):
    with RawServer(lambda req: response(body=b"via proxy")) as proxy, \
            RawServer(lambda req: response(body=b"direct")) as origin:
        monkeypatch.setenv("HTTP_PROXY", proxy.url("").rstrip("/"))
        monkeypatch.delenv("http_proxy", raising=False)
        monkeypatch.delenv("NO_PROXY", raising=False)
        monkeypatch.delenv("no_proxy", raising=False)
        # The client must not mount its own proxy transport: trust_env=False on the client.
        for transport, body in ((NativeTransport(), b"via proxy"), (NativeTransport(trust_env=False), b"direct")):
            with httpx.Client(transport=transport, trust_env=False) as c:
                assert c.get(origin.url("/x")).content == body
        monkeypatch.setenv("NO_PROXY", "127.0.0.1")
        with httpx.Client(transport=NativeTransport(), trust_env=False) as c:
            assert c.get(origin.url("/x")).content == b"direct"
        assert os.environ["HTTP_PROXY"]
