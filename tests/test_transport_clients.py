"""Every client over NativeTransport sends the very bytes it sends over httpx's transport and gets the same
results, against a small object store on loopback (raw sockets)."""

import re
import time

import httpx
import pytest

from cirrova.transport import NativeTransport
from rawserver import RawServer, connection_last, response

CLIENTS = {
    "korvex": ("cirrova.korvex", "KorvexClient", ("AKIDEXAMPLE", "secret", "bkt"), {"endpoint": "http://s3.test"}),
    "bellwyn": ("cirrova.bellwyn", "BellwynClient", ("AKIDEXAMPLE", "secret", "bkt-1250000000"), {}),
    "pelorin": ("cirrova.pelorin", "PelorinOSSClient", ("LTAIEXAMPLE", "secret", "bkt"), {}),
    "dramlet": ("cirrova.dramlet", "DramletFileClient", ("pub", "priv", "bkt"), {}),
}


class ToLoopback(httpx.BaseTransport):
    """Sends every request to the loopback server, whatever host its URL names (the Host header stays)."""

    def __init__(self, inner, port):
        self.inner, self.port = inner, port

    def handle_request(self, request):
        request.url = request.url.copy_with(scheme="http", host="127.0.0.1", port=self.port)
        return self.inner.handle_request(request)

    def close(self):
        self.inner.close()


class Store:
    """PUT, HEAD, ranged GET and DELETE of whole objects by path."""

    def __init__(self):
        self.objects = {}

    def __call__(self, req):
        method, target = req.head.split(b" ")[:2]
        path = target.split(b"?")[0]
        if method == b"PUT":
            self.objects[path] = req.body
            return response(headers=[("ETag", '"e"')])
        data = self.objects.get(path)
        if data is None:
            return response(404, "Not Found", body=b"<Error><Code>NoSuchKey</Code></Error>")
        if method == b"DELETE":
            del self.objects[path]
            return response(204, "No Content", length=False)
        if method == b"HEAD":
            return response(headers=[("Content-Length", str(len(data))), ("ETag", '"e"')], length=False)
        m = re.search(rb"\r\nrange: bytes=(\d+)-(\d+)", req.head, re.I)
        if m:
            start, stop = int(m.group(1)), int(m.group(2)) + 1
            return response(206, "Partial Content", headers=[("Content-Range", f"bytes {start}-{stop - 1}/{len(data)}")],
                            body=data[start:stop])
        return response(body=data)


@pytest.mark.parametrize("name", sorted(CLIENTS))
def test_client_over_native_transport_sends_the_same_bytes(name, tmp_path, monkeypatch, capsys):
    module, cls_name, args, kwargs = CLIENTS[name]
    cls = getattr(pytest.importorskip(module), cls_name)
    monkeypatch.setattr(time, "time", lambda: 1718094600.0)  # the same signatures both times
    data = bytes(range(256)) * 37

    runs = []
    for transport in (httpx.HTTPTransport(), NativeTransport()):
        with RawServer(Store()) as srv, httpx.Client(transport=ToLoopback(transport, srv.port)) as http:
            client = cls(*args, http_client=http, **kwargs)
            assert client.upload("dir/a b+c.bin", data).status_code == 200
            head = client.head("dir/a b+c.bin")
            out = tmp_path / f"{type(transport).__name__}.bin"
            client.multipart_download("dir/a b+c.bin", str(out), 4000)
            assert out.read_bytes() == data
            assert client.delete("dir/a b+c.bin").status_code == 204
            missing = client.head("dir/a b+c.bin")
            native = isinstance(transport, NativeTransport)
            heads = [r.head if native else connection_last(r.head) for r in srv.requests]
            runs.append((heads, head.status_code, head.headers.raw, missing.status_code))
    capsys.readouterr()  # the UFile client prints its URLs
    assert runs[0] == runs[1]
    assert len(runs[1][0]) == 8  # PUT, HEAD, HEAD and three ranged GETs, DELETE, HEAD
