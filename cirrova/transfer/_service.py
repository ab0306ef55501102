"""What a transfer needs from one client, over the client's own public methods.

Three protocols: the S3 one (KorvexClient and its COS preset BellwynClient), OSS and UFile. They differ in
part numbering, the minimum part size, conditional reads and the shape of the multipart replies.
"""

import json
import re
import xml.etree.ElementTree as ET

from cirrova.dramlet import DramletFileClient
from cirrova.korvex import KorvexClient
from cirrova.pelorin import PelorinOSSClient

from . import _stream
from ._engine import TransferError, check_status, excerpt, release

MiB = 1024 * 1024
#: Transfers move the stored bytes: an object stored gzip-encoded is copied as it is, never decoded.
_IDENTITY = {"Accept-Encoding": "identity"}
_CONTENT_RANGE = re.compile(r"bytes\s+(\d+)-(\d+)/(\d+|\*)\s*$")


def _xml_text(response, name, what):
    """The text of the first element called `name` (any namespace) in an XML reply."""
    try:
        root = ET.fromstring(response.content)
    except ET.ParseError as exc:
        raise TransferError(f"{what} 的回复不是 XML: {exc}", response.status_code) from None
    for element in root.iter():
        if element.tag.rsplit("}", 1)[-1] == name and element.text:
            return element.text
    return None


class Service:
    """One client seen through its protocol's rules."""

    #: Every part but the last must hold at least this many bytes (upload and copy).
    min_part_size = 5 * MiB
    #: Part numbers sent to the service start here.
    first_part = 1
    #: The most parts one upload may have; None where the service sets no limit.
    max_parts: int | None = 10000
    #: Ranged reads carry If-Match with the ETag that head returned.
    conditional_reads = True

    def __init__(self, client):
        self.client = client

    @staticmethod
    def of(client):
        if isinstance(client, DramletFileClient):
            return UFileService(client)
        if isinstance(client, (KorvexClient, PelorinOSSClient)):
            return Service(client)
        raise TypeError(f"client 必须是 cirrova 的存储客户端, 而不是 {type(client).__name__}")

    # Reads -----------------------------------------------------------------------------------------

    def head(self, key, timeout):
        response = self.client.head(key, headers=dict(_IDENTITY), timeout=timeout)
        check_status(response, (200,), f"获取 {key} 的信息")
        length = response.headers.get("Content-Length")
        if length is None or not length.isdigit():
            raise TransferError(f"获取 {key} 的信息失败: 回复没有 Content-Length", response.status_code)
        return int(length), response.headers.get("ETag"), response.headers.get("Content-Type")

    def get(self, key, start, end, etag, timeout, expect):
        """GET of bytes start..end (inclusive), or of the whole object when start is None; `expect` (an
        _stream.Expect) checks the reply before its body is read and takes the body as it arrives."""
        headers = dict(_IDENTITY)
        if start is not None:
            headers["Range"] = f"bytes={start}-{end}"
        if etag and self.conditional_reads:
            headers["If-Match"] = etag
        return release(_stream.read(self.client, lambda: self._download(key, headers, timeout), expect))

    def _download(self, key, headers, timeout):
        return self.client._download(key, headers=headers, timeout=timeout)

    @staticmethod
    def content_range(response):
        """(start, end, total) of a 206 reply's Content-Range; total is None for "*"; None when unreadable."""
        match = _CONTENT_RANGE.match(response.headers.get("Content-Range", "").strip())
        if not match:
            return None
        start, end, total = match.groups()
        return int(start), int(end), None if total == "*" else int(total)

    # Writes ----------------------------------------------------------------------------------------

    def put(self, key, data, content_type, content_md5, headers, timeout):
        response = self.client.upload(key, data, content_type=content_type, content_md5=content_md5,
                                      headers=dict(headers) if headers else None, timeout=timeout)
        check_status(response, (200,), f"上传 {key}")
        return strip_etag(response.headers.get("ETag", ""))

    def initiate(self, key, content_type, headers, timeout):
        """Opens a multipart upload; returns (upload id, the part size the service demands or None)."""
        response = self.client.initiate_multipart_upload(key, content_type=content_type,
                                                         headers=dict(headers) if headers else None,
                                                         timeout=timeout)
        check_status(response, (200,), f"初始化 {key} 的分片上传")
        upload_id = _xml_text(response, "UploadId", "初始化分片上传")
        if not upload_id:
            raise TransferError(f"初始化 {key} 的分片上传失败: 回复没有 UploadId", response.status_code)
        return upload_id, None

    def upload_part(self, key, upload_id, index, data, content_type, content_md5, timeout):
        """Sends part `index` (counted from 0); returns the ETag to hand to finish."""
        headers = {"Content-MD5": content_md5} if content_md5 else None
        response = self._upload_part(key, upload_id, self.first_part + index, data, content_type, headers, timeout)
        check_status(response, (200,), f"上传 {key} 的分片 {index + 1}")
        etag = response.headers.get("ETag")
        if not etag:
            raise TransferError(f"上传 {key} 的分片 {index + 1} 失败: 回复没有 ETag", response.status_code)
        return etag

    def _upload_part(self, key, upload_id, number, data, content_type, headers, timeout):
        return self.client.upload_part(key, upload_id, number, data, headers=headers, timeout=timeout)

    def finish(self, key, upload_id, etags, timeout):
        """Completes the upload; returns the object's ETag."""
        response = self.client.finish_multipart_upload(key, upload_id, list(etags), timeout=timeout)
        check_status(response, (200,), f"完成 {key} 的分片上传")
        # The S3 protocol may answer 200 and still report an error in the body.
        if response.content and _xml_text(response, "Code", "完成分片上传") is not None:
            raise TransferError(f"完成 {key} 的分片上传失败: {excerpt(response)}", response.status_code)
        etag = response.headers.get("ETag") or (
            _xml_text(response, "ETag", "完成分片上传") if response.content else None)
        return strip_etag(etag or "")

    def abort(self, key, upload_id, timeout):
        response = self.client.abort_multipart_upload(key, upload_id, timeout=timeout)
        check_status(response, (200, 204), f"放弃 {key} 的分片上传")


class UFileService(Service):
    """UFile: parts counted from 0 and sized by the service, no conditional reads, JSON replies."""

    min_part_size = 1
    first_part = 0
    max_parts = None
    conditional_reads = False

    def _download(self, key, headers, timeout):
        # The client's _download takes no time-out; its default time-out applies.
        return self.client._download(key, headers=headers)

    def initiate(self, key, content_type, headers, timeout):
        response = self.client.initiate_multipart_upload(key, content_type=content_type,
                                                         headers=dict(headers) if headers else None)
        check_status(response, (200,), f"初始化 {key} 的分片上传")
        try:
            reply = json.loads(response.content)
            upload_id, blk_size = reply["UploadId"], reply.get("BlkSize")
        except (ValueError, KeyError, TypeError):
            raise TransferError(f"初始化 {key} 的分片上传失败: 回复无法识别 {excerpt(response)}",
                                response.status_code) from None
        if not isinstance(upload_id, str) or not upload_id:
            raise TransferError(f"初始化 {key} 的分片上传失败: 回复没有 UploadId", response.status_code)
        if blk_size is not None and (not isinstance(blk_size, int) or blk_size < 1):
            raise TransferError(f"初始化 {key} 的分片上传失败: BlkSize {blk_size!r} 无效", response.status_code)
        return upload_id, blk_size

    def _upload_part(self, key, upload_id, number, data, content_type, headers, timeout):
        return self.client.upload_part(key, upload_id, number, bytes(data),
                                       content_type=content_type or "application/octet-stream", headers=headers)

    def upload_part(self, key, upload_id, index, data, content_type, content_md5, timeout):
        return strip_etag(super().upload_part(key, upload_id, index, data, content_type, content_md5, timeout))

    def finish(self, key, upload_id, etags, timeout):
        response = self.client.finish_multipart_upload(key, upload_id, list(etags))
        check_status(response, (200,), f"完成 {key} 的分片上传")
        etag = response.headers.get("ETag")
        if not etag:
            _, etag, _ = self.head(key, timeout)
        return strip_etag(etag or "")

    def abort(self, key, upload_id, timeout):
        response = self.client.abort_multipart_upload(key, upload_id)
        check_status(response, (200, 204), f"放弃 {key} 的分片上传")


def strip_etag(etag):
    return etag.strip().strip('"')
