"""The contract that every storage client of the package implements."""

import abc
import time
from collections.abc import Iterator, Mapping
from typing import Any, BinaryIO, Optional, Union

import httpx

__all__ = ["BaseStorageClient"]


class BaseStorageClient(abc.ABC):
    """对象存储客户端的公共接口。

    各客户端实现同名的操作：``_request``、``get_path_url``、``get_shared_url``、
    ``upload``、``_download``、``head``、``delete``、``list``、分片上传四步
    （``initiate_multipart_upload``、``upload_part``、``finish_multipart_upload``、
    ``abort_multipart_upload``）以及 ``multipart_download``。基类还提供
    ``iter_objects`` 与 ``_upload_part_with_retry``。
    """

    #: Pauses between attempts of ``_upload_part_with_retry``, in seconds.
    _retry_backoff: tuple[float, ...] = (0.2, 0.5, 1.0, 2.0)
    _page_size: int = 1000

    @abc.abstractmethod
    def _request(self, method: str, key: str, *args: Any, **kwargs: Any) -> httpx.Response:
        """发送一个针对对象的签名请求。"""

    @abc.abstractmethod
    def get_path_url(self, key: str) -> str:
        """对象的公开地址。"""

    @abc.abstractmethod
    def get_shared_url(self, key: str, *args: Any, **kwargs: Any) -> str:
        """对象的限时签名地址。"""

    @abc.abstractmethod
    def upload(self, key: str, data: Union[bytes, bytearray, memoryview, str, BinaryIO], *args: Any,
               **kwargs: Any) -> httpx.Response:
        """上传对象。"""

    @abc.abstractmethod
    def _download(self, key: str, *args: Any, **kwargs: Any) -> httpx.Response:
        """下载对象，返回原始响应。"""

    @abc.abstractmethod
    def head(self, key: str, *args: Any, **kwargs: Any) -> httpx.Response:
        """查询对象元数据。"""

    @abc.abstractmethod
    def delete(self, key: str, *args: Any, **kwargs: Any) -> httpx.Response:
        """删除对象。"""

    @abc.abstractmethod
    def list(self, *args: Any, **kwargs: Any) -> Mapping[str, Any]:
        """按前缀分页列出对象。"""

    @abc.abstractmethod
    def initiate_multipart_upload(self, key: str, *args: Any, **kwargs: Any) -> httpx.Response:
        """初始化分片上传。"""

    @abc.abstractmethod
    def upload_part(self, *args: Any, **kwargs: Any) -> httpx.Response:
        """上传一个分片。"""

    @abc.abstractmethod
    def finish_multipart_upload(self, *args: Any, **kwargs: Any) -> httpx.Response:
        """用各分片的 ETag 完成分片上传。"""

    @abc.abstractmethod
    def abort_multipart_upload(self, *args: Any, **kwargs: Any) -> httpx.Response:
        """放弃分片上传。"""

    @abc.abstractmethod
    def multipart_download(self, key: str, local_path: str, *args: Any, **kwargs: Any) -> bool:
        """按字节范围分片下载对象到本地文件。"""

    def iter_objects(self, prefix: str = "") -> Iterator[Mapping[str, Any]]:
        """遍历存储桶（或前缀下）的全部对象，逐页调用 ``list``，每页 1000 个。

        某页声称被截断却没有给出 ``next_marker`` 时抛出 ``Exception``（否则列举会悄悄地只剩一部分）；
        ``next_marker`` 与本次遍历中更早的某个标记相同（标记成环，含原地不动）时也抛出 ``Exception``。
        """
        marker = ""
        seen = {marker}
        while True:
            page = self.list(prefix=prefix, marker=marker, limit=self._page_size)
            yield from page.get("objects", ())
            if not page.get("is_truncated"):
                return
            next_marker = page.get("next_marker") or ""
            if not next_marker:
                # Ending here would present part of the listing as all of it.
                raise Exception(f"列举结果被截断却没有给出后续标记: 前缀 {prefix!r}，"
                                f"本页 {len(page.get('objects') or ())} 个对象")
            if next_marker in seen:
                # A listing that leads back to an earlier page would be walked forever.
                raise Exception(f"列举标记重复出现: {next_marker!r}")
            seen.add(next_marker)
            marker = next_marker

    def _upload_part_with_retry(self, key: str, upload_id: str, part_number: int, chunk: bytes,
                                content_type: str = "application/octet-stream",
                                headers: Optional[dict[str, str]] = None, retries: int = 3) -> httpx.Response:
        """上传一个分片，失败时短暂退避后重试，最多尝试 ``retries`` 次（至少一次）。

        成功（状态码 200）时返回 ``upload_part`` 的响应；全部失败时抛出 ``Exception``，
        消息包含分片号、最后的状态码与响应文本；若最后一次是传输错误则链接该异常。
        """
        attempts = max(1, int(retries))
        last_response: Optional[httpx.Response] = None
        last_error: Optional[httpx.TransportError] = None
        for attempt in range(attempts):
            if attempt:
                time.sleep(self._retry_backoff[min(attempt - 1, len(self._retry_backoff) - 1)])
            try:
                response = self.upload_part(key, upload_id, part_number, chunk, content_type=content_type,
                                            headers=headers)
            except httpx.TransportError as exc:
                last_error, last_response = exc, None
                continue
            if response.status_code == 200:
                return response
            last_error, last_response = None, response
        if last_response is not None:
            raise Exception(f"分片 {part_number} 上传失败: {last_response.status_code} {last_response.text}")
        raise Exception(f"分片 {part_number} 上传失败: {last_error!r}") from last_error
