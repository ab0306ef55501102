"""A stateful fake service (transfer_fakes.FakeStore) behind a raw loopback server that records every request's bytes.

Clients reach it through NativeTransport(proxy=server.url()), so any host name works and the recorded request
line carries the absolute URL.
"""

import httpx

from rawserver import RawServer


def _reason(status):
    try:
        return httpx.codes(status).phrase
    except ValueError:
        return ""


class StoreServer(RawServer):
    def __init__(self, store):
        self.store = store
        super().__init__(self._answer)

    def _answer(self, received):
        lines = received.head.decode("latin-1").split("\r\n")
        method, target, _ = lines[0].split(" ", 2)
        headers = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:] if ":" in line]
        request = httpx.Request(method, target, headers=headers, content=received.body)
        try:
            response = self.store(request)
        except httpx.TransportError:
            return lambda sock: None  # hangs up without an answer
        body = response.content
        out = [f"HTTP/1.1 {response.status_code} {_reason(response.status_code)}"]
        out += [f"{k}: {v}" for k, v in response.headers.items() if k.lower() != "content-length"]
        out.append(f"Content-Length: {response.headers.get('content-length', len(body))}")
        return ("\r\n".join(out) + "\r\n\r\n").encode("latin-1") + (b"" if method == "HEAD" else body)
