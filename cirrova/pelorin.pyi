from typing import Any, BinaryIO, Callable, Dict, List, Optional, Tuple, Union

import httpx

from .base import BaseStorageClient
from .results import ObjectListing

# A number of seconds, a (connect, read, write, pool) tuple or an httpx.Timeout.
_Timeout = Union[float, Tuple[Optional[float], ...], httpx.Timeout]

class PelorinOSSClient(BaseStorageClient):
    access_key_id: str
    access_key_secret: str
    bucket: str
    region: str
    internal: bool
    default_timeout: Optional[_Timeout]
    external_url: str
    intranet_url: str
    host: str
    _custom_domain: bool
    domain_url: str
    _client: httpx.Client

    def __init__(
        self,
        access_key_id: str,
        access_key_secret: str,
        bucket: str,
        region: str = "oss-cn-hangzhou",
        internal: bool = False,
        domain_url: Optional[str] = None,
        timeout: Optional[_Timeout] = None,
        http_client: Optional[httpx.Client] = None,
        *,
        session_token: Optional[str] = None,
    ) -> None: ...
    def get_path_url(self, key: str) -> str: ...
    def _request(
        self, method: str, key: str, query_params: Optional[Dict[str, str]] = None, **kwargs: Any
    ) -> httpx.Response: ...
    def _sign_request(
        self, method: str, key: str, headers: Dict[str, str], query_params: Optional[Dict[str, str]] = None
    ) -> str: ...
    def get_shared_url(self, key: str, expire_time: int = 1200) -> str: ...
    def upload(
        self,
        key: str,
        data: Union[bytes, bytearray, memoryview, str, BinaryIO],
        content_type: Optional[str] = None,
        content_md5: Optional[str] = None,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> httpx.Response: ...
    def _download(
        self, key: str, headers: Optional[Dict[str, str]] = None, timeout: Optional[_Timeout] = None
    ) -> httpx.Response: ...
    def head(
        self, key: str, headers: Optional[Dict[str, str]] = None, timeout: Optional[_Timeout] = 10
    ) -> httpx.Response: ...
    def delete(
        self, key: str, headers: Optional[Dict[str, str]] = None, timeout: Optional[_Timeout] = None
    ) -> httpx.Response: ...
    def list(
        self,
        prefix: str = "",
        marker: str = "",
        limit: int = 20,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> ObjectListing: ...
    def initiate_multipart_upload(
        self,
        key: str,
        content_type: Optional[str] = None,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> httpx.Response: ...
    def upload_part(
        self,
        key: str,
        upload_id: str,
        part_number: int,
        data: Union[bytes, BinaryIO],
        content_type: str = "application/octet-stream",
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> httpx.Response: ...
    def finish_multipart_upload(
        self,
        key: str,
        upload_id: str,
        etags: List[str],
        new_object: Optional[str] = None,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> httpx.Response: ...
    def abort_multipart_upload(
        self,
        key: str,
        upload_id: str,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> httpx.Response: ...
    def multipart_download(
        self,
        key: str,
        local_path: str,
        part_size: int = 8388608,
        callback: Optional[Callable[[int, int, int, int], None]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> bool: ...
