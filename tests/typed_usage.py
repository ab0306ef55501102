"""A user's script over every client, written against the stubs: it must pass `mypy --strict`.

test_typing.py checks it with mypy and also runs it against an in-memory service.
"""

from __future__ import annotations

import httpx

from cirrova.base import BaseStorageClient
from cirrova.bellwyn import BellwynClient
from cirrova.dramlet import HTTP_CLIENT_CONFIG, DramletFileClient
from cirrova.korvex import KorvexClient
from cirrova.pelorin import PelorinOSSClient
from cirrova.results import BucketStats, DeleteResult, FileListing, ObjectListing


def keys_of(page: ObjectListing) -> list[str]:
    return [entry["key"] for entry in page["objects"]]


def largest(page: FileListing) -> int:
    return max((entry["size"] for entry in page["objects"]), default=0)


def every_key(client: BaseStorageClient, prefix: str) -> list[str]:
    return [str(entry["key"]) for entry in client.iter_objects(prefix)]


def use_korvex(http: httpx.Client) -> tuple[int, str, list[str], BucketStats, DeleteResult]:
    client = KorvexClient("AK", "SK", "photos", endpoint="http://127.0.0.1:9000", http_client=http,
                          signature_version="v4", timeout=30)
    response: httpx.Response = client.upload("a/b.txt", b"hello", content_type="text/plain")
    url: str = client.get_shared_url("a/b.txt", 600)
    page = client.list(prefix="a/", limit=100)
    if page["is_truncated"]:
        print("more after", page.get("next_marker", ""))
    stats = client.get_bucket_stats()
    deleted = client.delete_objects(["a/b.txt"])
    for error in deleted["errors"]:
        print(error["key"], error["code"], error["message"])
    return response.status_code, url, keys_of(page), stats, deleted


def use_bellwyn(http: httpx.Client) -> tuple[str, bool]:
    client = BellwynClient("AKID", "SK", "photos-1250000000", region="ap-shanghai", http_client=http)
    response = client.head("a/b.txt", timeout=(5.0, 10.0, 10.0, 5.0))
    return client.appid, response.status_code == 200


def use_pelorin(http: httpx.Client) -> tuple[str, list[str]]:
    client = PelorinOSSClient("id", "secret", "photos", region="oss-cn-shanghai", http_client=http)
    client.upload("a/b.txt", "text", headers={"x-oss-meta-owner": "me"})
    parts = client.initiate_multipart_upload("big.bin")
    client.abort_multipart_upload("big.bin", "upload-id")
    return client.get_shared_url("a/b.txt", 1200), keys_of(client.list()) + [str(parts.status_code)]


def use_dramlet(http: httpx.Client) -> tuple[int, bool, dict[str, object]]:
    timeout: object = HTTP_CLIENT_CONFIG["timeout"]
    client = DramletFileClient("pub", "priv", "photos", http_client=http, timeout=httpx.Timeout(20.0))
    stored = client.upload_with_retry("a/b.txt", b"hello", retries=2)
    page = client.list(prefix="a/")
    return largest(page), stored, {"timeout": timeout, "keys": every_key(client, "a/")}


def main(http: httpx.Client) -> None:
    print(use_korvex(http), use_bellwyn(http), use_pelorin(http), use_dramlet(http))


if __name__ == "__main__":
    with httpx.Client() as http:
        main(http)
