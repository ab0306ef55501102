"""Parallel transfers over any cirrova client: byte ranges and multipart parts moved by a pool of threads.

    from cirrova import transfer
    transfer.download(client, "big.bin", "/tmp/big.bin")               # -> bytes written
    transfer.upload(client, "/tmp/big.bin", "copy.bin")                # -> the object's ETag
    transfer.copy(s3_client, "a.bin", oss_client, "a.bin")             # no local file
    transfer.download_many(client, [("k1", "/tmp/k1"), ("k2", "/tmp/k2")])

Every request goes through the client's own methods (head, _download, upload and the multipart ones), so
subclass overrides and the client's httpx.Client see all of them. Each call starts a bounded pool of
worker threads and joins it before returning. A download appears at `local_path` only complete; a failed
or interrupted upload aborts its multipart upload. Each request gets up to 4 attempts on transport errors,
5xx and 429 replies. Progress callbacks run on the caller's thread. With `checksum=True` every part and
single request carries Content-MD5, uploads store the content's MD5 as metadata, and downloads check it.
"""

from ._engine import TransferError
from ._many import ItemResult, download_many, upload_many
from ._ops import copy, download, upload
from ._service import MD5_METADATA, Service


def known_md5(client, headers):
    """The hex MD5 of an object's content from a reply's headers (checksum metadata, else an ETag that is
    an MD5 on the client's protocol), or None."""
    return Service.of(client).known_md5(headers)


def etag_md5(client, etag):
    """The hex MD5 that an ETag from a listing stands for on the client's protocol, or None."""
    return Service.of(client).etag_md5(etag)


__all__ = ["TransferError", "ItemResult", "MD5_METADATA", "download", "upload", "copy", "download_many",
           "upload_many", "known_md5", "etag_md5"]
