from typing import Optional, Union

import httpx

from .korvex import KorvexClient

class BellwynClient(KorvexClient):
    def __init__(
        self,
        secret_id: str,
        secret_key: str,
        bucket: str,
        region: str = "ap-guangzhou",
        domain_url: Optional[str] = None,
        timeout: Optional[Union[float, tuple]] = None,
        http_client: Optional[httpx.Client] = None,
    ) -> None: ...
    @property
    def secret_id(self) -> str: ...
    @property
    def cos_bucket(self) -> str: ...
    @property
    def appid(self) -> str: ...
