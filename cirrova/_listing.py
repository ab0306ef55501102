"""Listings over the four clients: flat pages of objects, and one folder level (objects and sub-folders).

S3, COS and OSS list one level with a delimiter request; UFile's file listing knows no delimiter, so its
folders are folded from the flat listing of the prefix.
"""

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


def iter_pages(client, prefix):
    """The objects under `prefix`, one page (a list of Entry) at a time."""
    marker = ""
    while True:
        page = client.list(prefix=prefix, marker=marker, limit=PAGE)
        entries = [_entry(o) for o in page["objects"]]
        if entries:
            yield entries
        marker = page.get("next_marker", "")
        if not page["is_truncated"] or not marker:
            return


def list_level(client, prefix):
    """(objects, folder prefixes) directly below `prefix` (which ends in "/" or is empty)."""
    if isinstance(client, DramletFileClient):
        return _fold(client, prefix)
    files, folders = [], []
    s3 = isinstance(client, KorvexClient)
    marker = ""
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
        found = {}
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
        marker = found.get("NextContinuationToken" if s3 else "NextMarker", "")
        if found.get("IsTruncated") != "true" or not marker:
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
