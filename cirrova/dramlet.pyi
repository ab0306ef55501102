from typing import Any, BinaryIO, Callable, Dict, List, Optional, Tuple, Union

import httpx

from .base import BaseStorageClient
from .results import FileListing, MultipartUploadResult

#: Keyword arguments of the httpx.Client that a client creates when it is given none.
HTTP_CLIENT_CONFIG: Dict[str, Any]

# A number of seconds, a (connect, read, write, pool) tuple or an httpx.Timeout.
_Timeout = Union[float, Tuple[Optional[float], ...], httpx.Timeout]

class DramletFileClient(BaseStorageClient):
    public_key: str
    private_key: str
    bucket: str
    region: str
    internal: bool
    default_timeout: Optional[_Timeout]
    external_url: str
    intranet_url: str
    host: str
    _api_host: str
    _custom_domain: bool
    domain_url: str
    _client: httpx.Client

    def __init__(
        self,
        public_key: str,
        private_key: str,
        bucket: str,
        region: str = "cn-wlcb",
        internal: bool = False,
        domain_url: Optional[str] = None,
        timeout: Optional[_Timeout] = None,
        http_client: Optional[httpx.Client] = None,
        scheme: str = "https",
        verify: bool = False,
        **kwargs: Any,
    ) -> None: ...
    def _key_sort(self, params: Dict[str, Any]) -> Dict[str, Any]: ...
    def _canonicalized_resource(self, key: str) -> str: ...
    def _canonicalized_dramlet_headers(self, headers: Dict[str, str]) -> str: ...
    def _sign(self, string_to_sign: str) -> str: ...
    def _make_authorization(
        self,
        key: str,
        expires: str,
        method: str = "GET",
        content_md5: str = "",
        content_type: str = "",
        headers: Optional[Dict[str, str]] = None,
    ) -> str: ...
    def _build_auth_header(
        self,
        key: str,
        method: str,
        content_md5: str = "",
        content_type: str = "",
        headers: Optional[Dict[str, str]] = None,
    ) -> str: ...
    def _request(
        self,
        method: str,
        key: str,
        query_params: Optional[Dict[str, str]] = None,
        base_url: Optional[str] = None,
        **kwargs: Any,
    ) -> httpx.Response: ...
    def get_path_url(self, key: str) -> str: ...
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
    def upload_file(
        self,
        key: str,
        local_path: str,
        content_type: Optional[str] = None,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> bool: ...
    def upload_with_retry(
        self,
        key: str,
        data: Union[bytes, bytearray, memoryview, str, BinaryIO],
        content_type: Optional[str] = None,
        content_md5: Optional[str] = None,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
        retries: int = 3,
    ) -> bool: ...
    def _download(self, key: str, headers: Optional[Dict[str, str]] = None) -> httpx.Response: ...
    def get_content(self, key: str, as_text: bool = False, encoding: str = "utf-8") -> Union[bytes, str]: ...
    def download(
        self,
        key: str,
        local_path: str,
        chunk_size: Optional[int] = None,
        timeout: Optional[_Timeout] = None,
    ) -> bool: ...
    def multipart_download(
        self,
        key: str,
        local_path: str,
        part_size: int = 8388608,
        callback: Optional[Callable[[int, int, int, int], None]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> bool: ...
    def head(
        self,
        key: str,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = 10,
    ) -> httpx.Response: ...
    def is_exists(self, key: str) -> bool: ...
    def delete(self, key: str, headers: Optional[Dict[str, str]] = None) -> httpx.Response: ...
    def delete_file(self, key: str) -> bool: ...
    def list(
        self,
        prefix: str = "",
        marker: str = "",
        limit: int = 20,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> FileListing: ...
    def initiate_multipart_upload(
        self,
        key: str,
        content_type: Optional[str] = None,
        headers: Optional[Dict[str, str]] = None,
    ) -> httpx.Response: ...
    def upload_part(
        self,
        key: str,
        upload_id: str,
        part_number: int,
        data: bytes,
        content_type: str = "application/octet-stream",
        headers: Optional[Dict[str, str]] = None,
    ) -> httpx.Response: ...
    def finish_multipart_upload(
        self,
        key: str,
        upload_id: str,
        etags: List[str],
        new_object: Optional[str] = None,
        headers: Optional[Dict[str, str]] = None,
    ) -> httpx.Response: ...
    def abort_multipart_upload(
        self,
        key: str,
        upload_id: str,
        headers: Optional[Dict[str, str]] = None,
    ) -> httpx.Response: ...
    def multipart_upload(
        self,
        key: str,
        file_path: str,
        content_type: Optional[str] = None,
        part_size: Optional[int] = None,
        headers: Optional[Dict[str, str]] = None,
        callback: Optional[Callable[[int, int, int, int], None]] = None,
        retries: int = 3,
    ) -> MultipartUploadResult: ...
    def multipart_upload_bytes(
        self,
        key: str,
        data: bytes,
        content_type: Optional[str] = None,
        part_size: Optional[int] = None,
        headers: Optional[Dict[str, str]] = None,
        callback: Optional[Callable[[int, int, int, int], None]] = None,
        retries: int = 3,
    ) -> MultipartUploadResult: ...
