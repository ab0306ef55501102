"""Listings over the four clients: flat pages of objects, and one folder level (objects and sub-folders).

S3, COS and OSS list one level with a delimiter request; UFile's file listing knows no delimiter, so its
folders are folded from the flat listing of the prefix.
"""

import contextlib
import datetime
import email.utils
import xml.etree.ElementTree as ET
from dataclasses import dataclass

from cirrova.dramlet import DramletFileClient
from cirrova.korvex import KorvexClient

PAGE = 1000


@dataclass
class Entry:
    key: str
    size: int
    etag: str
    modified: datetime.datetime | None


def parse_time(text):
    """ISO 8601 (listings), an HTTP date (HEAD replies) or epoch seconds (UFile) as an aware datetime."""
    if text is None or text == "":
        return None
    if isinstance(text, (int, float)):
        return datetime.datetime.fromtimestamp(text, datetime.timezone.utc)
    try:
        return datetime.datetime.fromisoformat(text)
    except ValueError:
        pass
    try:
        return email.utils.parsedate_to_datetime(text)
    except (TypeError, ValueError):
        return None


def _entry(obj):
    modified = obj.get("last_modified", obj.get("modify_time"))
    return Entry(obj["key"], int(obj.get("size") or 0), (obj.get("etag") or "").strip('"'), parse_time(modified))


class ListingError(OSError):
    """A listing that cannot be trusted: acting on it could touch objects outside the prefix, or miss some."""


def checked_pages(client, prefix, where=None, around=contextlib.nullcontext):
    """The raw object dicts under `prefix` (entries without a key left out), one page at a time, each page
    checked whole before it is yielded: a key outside `prefix` (a server or proxy that ignored the prefix), a
    page that says it is truncated but gives no way on, or a marker leading back to an earlier page raises
    ListingError. `where` names the listing in messages; `around()`, a context manager, wraps each request."""
    where = repr(prefix) if where is None else where
    marker, seen = "", {""}
    while True:
        with around():
            page = client.list(prefix=prefix, marker=marker, limit=PAGE)
        entries = [entry for entry in page.get("objects") or () if entry.get("key")]
        _check_keys(where, prefix, [entry["key"] for entry in entries])
        marker = _next_marker(where, bool(page.get("is_truncated")), page.get("next_marker") or "", seen)
        yield entries
        if marker is None:
            return


def _check_keys(where, prefix, keys):
    for key in keys:
        if not isinstance(key, str) or not key.startswith(prefix):
            raise ListingError(f"listing {where} returned {key!r}, outside the prefix {prefix!r}: "
                               f"stopped before acting on that page")


def _next_marker(where, truncated, marker, seen):
    """The marker of the next page, None after the last; raises for a walk that cannot go on."""
    if not truncated:
        return None
    if not marker:
        raise ListingError(f"listing {where} is incomplete: a page says more follow but gives no "
                           f"continuation marker")
    if marker in seen:
        raise ListingError(f"listing {where} is incomplete: the continuation marker {marker!r} leads "
                           f"back to an earlier page")
    seen.add(marker)
    return marker


def iter_pages(client, prefix):
    """The objects under `prefix`, one checked page (a list of Entry) at a time."""
    for page in checked_pages(client, prefix):
        if page:
            yield [_entry(o) for o in page]


def list_level(client, prefix):
    """(objects, folder prefixes) directly below `prefix` (which ends in "/" or is empty)."""
    if isinstance(client, DramletFileClient):
        return _fold(client, prefix)
    files, folders = [], []
    s3 = isinstance(client, KorvexClient)
    marker, seen = "", {""}
    while True:
        query = {"prefix": prefix, "delimiter": "/", "max-keys": str(PAGE)}
        if s3:
            query["list-type"] = "2"
            if marker:
                query["continuation-token"] = marker
        elif marker:
            query["marker"] = marker
        response = client._request("GET", "", query_params=query)
        if response.status_code != 200:
            raise _error(response, prefix)
        root = ET.fromstring(response.content)
        found, start, level = {}, len(files), len(folders)
        for element in root:
            name = element.tag.rsplit("}", 1)[-1]
            if name == "Contents":
                fields = {child.tag.rsplit("}", 1)[-1]: child.text or "" for child in element}
                files.append(Entry(fields.get("Key", ""), int(fields.get("Size") or 0),
                                   fields.get("ETag", "").strip('"'), parse_time(fields.get("LastModified"))))
            elif name == "CommonPrefixes":
                for child in element:
                    if child.tag.rsplit("}", 1)[-1] == "Prefix" and child.text:
                        folders.append(child.text)
            else:
                found[name] = element.text or ""
        _check_keys(repr(prefix), prefix, [entry.key for entry in files[start:]] + folders[level:])
        marker = _next_marker(repr(prefix), found.get("IsTruncated") == "true",
                              found.get("NextContinuationToken" if s3 else "NextMarker", ""), seen)
        if marker is None:
            return files, folders


def _fold(client, prefix):
    files, folders = [], {}
    for page in iter_pages(client, prefix):
        for entry in page:
            head, slash, _ = entry.key[len(prefix):].partition("/")
            if slash:
                folders[prefix + head + "/"] = None
            else:
                files.append(entry)
    return files, list(folders)


def _error(response, prefix):
    status = response.status_code
    text = response.text[:300]
    if status == 404:
        return FileNotFoundError(f"no such bucket (listing {prefix!r}): {text}")
    if status == 403:
        return PermissionError(f"listing {prefix!r} refused: {text}")
    return OSError(f"listing {prefix!r} failed: {status} {text}")
