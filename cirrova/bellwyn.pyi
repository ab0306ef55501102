from typing import Optional, Tuple, Union

import httpx

from .korvex import KorvexClient

# A number of seconds, a (connect, read, write, pool) tuple or an httpx.Timeout.
_Timeout = Union[float, Tuple[Optional[float], ...], httpx.Timeout]

class BellwynClient(KorvexClient):
    def __init__(
        self,
        secret_id: str,
        secret_key: str,
        bucket: str,
        region: str = "ap-guangzhou",
        domain_url: Optional[str] = None,
        timeout: Optional[_Timeout] = None,
        http_client: Optional[httpx.Client] = None,
        *,
        session_token: Optional[str] = None,
    ) -> None: ...
    @property
    def secret_id(self) -> str: ...
    @property
    def cos_bucket(self) -> str: ...
    @property
    def appid(self) -> str: ...
