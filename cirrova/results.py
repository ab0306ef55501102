"""The shapes of the plain dictionaries that composite operations return, for type checkers.

These are ordinary dictionaries at run time; the classes only name their keys and value types::

    from cirrova.results import ObjectListing

    def keys(page: ObjectListing) -> list[str]:
        return [o["key"] for o in page["objects"]]
"""

from typing import Any, NotRequired, TypedDict

__all__ = ["ObjectEntry", "ObjectListing", "FileEntry", "FileListing", "BucketEntry", "BucketStats",
           "DeleteError", "DeleteResult", "MultipartUploadResult"]


class ObjectEntry(TypedDict):
    """One object of a ``list`` page (``KorvexClient``, ``BellwynClient``, ``PelorinOSSClient``)."""

    key: str
    size: int
    last_modified: str
    etag: str


class ObjectListing(TypedDict):
    """A ``list`` page; ``next_marker`` is present only when ``is_truncated`` is true."""

    objects: list[ObjectEntry]
    is_truncated: bool
    next_marker: NotRequired[str]


class FileEntry(TypedDict):
    """One file of a ``DramletFileClient.list`` page, as the service describes it."""

    key: str
    size: int
    modify_time: int
    mime_type: str
    etag: str


class FileListing(TypedDict):
    """A ``DramletFileClient.list`` page; ``next_marker`` is present only when ``is_truncated`` is true."""

    objects: list[FileEntry]
    is_truncated: bool
    next_marker: NotRequired[str]


class BucketEntry(TypedDict):
    """One bucket of ``KorvexClient.list_buckets``."""

    name: str
    creation_date: str


class BucketStats(TypedDict):
    """``KorvexClient.get_bucket_stats``: the objects of the bucket and their total size in bytes."""

    object_count: int
    total_size: int


class DeleteError(TypedDict):
    """A key that ``KorvexClient.delete_objects`` could not delete, with the service's code and message."""

    key: str
    code: str
    message: str


class DeleteResult(TypedDict):
    """``KorvexClient.delete_objects``: the keys deleted and the keys refused."""

    deleted: list[str]
    errors: list[DeleteError]


class MultipartUploadResult(TypedDict):
    """``DramletFileClient.multipart_upload`` and ``multipart_upload_bytes``."""

    upload_id: str
    etags: list[str]
    result: Any  # the service's JSON reply to the completion
