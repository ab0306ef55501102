from types import TracebackType
from typing import Optional, Union

import httpx

class RequestCancelled(httpx.TransportError): ...

class CancelToken:
    def __init__(self) -> None: ...
    def cancel(self) -> None: ...
    @property
    def cancelled(self) -> bool: ...
    def __enter__(self) -> "CancelToken": ...
    def __exit__(
        self,
        exc_type: Optional[type[BaseException]] = None,
        exc: Optional[BaseException] = None,
        tb: Optional[TracebackType] = None,
    ) -> bool: ...

class NativeTransport(httpx.BaseTransport):
    def __init__(
        self,
        verify: Union[bool, str] = True,
        cert: Optional[Union[str, tuple]] = None,
        trust_env: bool = True,
        proxy: Optional[Union[str, httpx.URL, httpx.Proxy]] = None,
        limits: Optional[httpx.Limits] = None,
        retries: int = 0,
        http2: bool = False,
    ) -> None: ...
    def handle_request(self, request: httpx.Request) -> httpx.Response: ...
    def close(self) -> None: ...
