from typing import Any, BinaryIO, Callable, Dict, List, Optional, Tuple, Union

import httpx

from .base import BaseStorageClient
from .results import BucketEntry, BucketStats, DeleteResult, ObjectListing

# A number of seconds, a (connect, read, write, pool) tuple or an httpx.Timeout.
_Timeout = Union[float, Tuple[Optional[float], ...], httpx.Timeout]

class KorvexClient(BaseStorageClient):
    access_key: str
    secret_key: str
    bucket: str
    region: str
    internal: bool
    default_timeout: Optional[_Timeout]
    signature_version: str
    addressing_style: str
    endpoint: str
    _custom_domain: bool
    domain_url: str
    _client: httpx.Client

    def __init__(
        self,
        access_key: str,
        secret_key: str,
        bucket: str,
        region: str = "us-east-1",
        internal: bool = False,
        endpoint: Optional[str] = None,
        domain_url: Optional[str] = None,
        timeout: Optional[_Timeout] = None,
        http_client: Optional[httpx.Client] = None,
        signature_version: str = "v4",
        addressing_style: str = "path",
        *,
        session_token: Optional[str] = None,
    ) -> None: ...
    def _get_aws_endpoint(self, region: str, internal: bool = False) -> str: ...
    def _sign_request(
        self,
        method: str,
        key: str,
        headers: Dict[str, str],
        query_params: Optional[Dict[str, str]] = None,
        payload_hash: str = "UNSIGNED-PAYLOAD",
        service_level: bool = False,
        bucket: str = "",
    ) -> str: ...
    def _sign_request_v2(
        self,
        method: str,
        key: str,
        headers: Dict[str, str],
        query_params: Optional[Dict[str, str]] = None,
        service_level: bool = False,
        bucket: str = "",
    ) -> str: ...
    def _presign_url(
        self, method: str, key: str, expires: int = 3600, query_params: Optional[Dict[str, str]] = None
    ) -> str: ...
    def _request(
        self, method: str, key: str, query_params: Optional[Dict[str, str]] = None, **kwargs: Any
    ) -> httpx.Response: ...
    def get_path_url(self, key: str) -> str: ...
    def get_shared_url(self, key: str, expire_time: int = 3600) -> str: ...
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
    def _bucket_request(
        self,
        method: str,
        bucket_name: str = "",
        query_params: Optional[Dict[str, str]] = None,
        data: Optional[bytes] = None,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> httpx.Response: ...
    def create_bucket(self, bucket_name: str = "") -> bool: ...
    def delete_bucket(self, bucket_name: str = "") -> bool: ...
    def bucket_exists(self, bucket_name: str = "") -> bool: ...
    def list_buckets(self) -> List[BucketEntry]: ...
    def copy_object(
        self,
        src_key: str,
        dest_key: str,
        src_bucket: str = "",
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[_Timeout] = None,
    ) -> bool: ...
    def get_bucket_stats(self) -> BucketStats: ...
    def delete_objects(self, keys: List[str], timeout: Optional[_Timeout] = None) -> DeleteResult: ...
    def delete_by_prefix(self, prefix: str, timeout: Optional[_Timeout] = None) -> int: ...
