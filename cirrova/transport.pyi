from typing import Optional, Union

import httpx

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
