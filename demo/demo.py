"""A short tour of KorvexClient against a local S3-protocol server.

Run through tools/demo, which builds the package and starts the server.
"""

import hashlib
import os
import sys
import tempfile

import xml.etree.ElementTree as ET

import httpx

from cirrova.korvex import KorvexClient


def main(endpoint):
    client = KorvexClient("S3RVER", "S3RVER", "demo-bucket", endpoint=endpoint, http_client=httpx.Client())
    print("create bucket:", client.create_bucket())

    r = client.upload("greetings/hello.txt", "你好，cirrova", content_type="text/plain; charset=utf-8")
    print("upload:", r.status_code)
    print("head: Content-Length =", client.head("greetings/hello.txt").headers["Content-Length"])
    print("download:", client._download("greetings/hello.txt").content.decode())

    data = os.urandom(12 * 1024 * 1024)
    reply = ET.fromstring(client.initiate_multipart_upload("big.bin").content)
    upload_id = next(e.text for e in reply.iter() if e.tag.endswith("UploadId"))
    etags = [client.upload_part("big.bin", upload_id, i + 1, data[i * 5 << 20:(i + 1) * 5 << 20]).headers["ETag"]
             for i in range(3)]
    print("multipart upload of 12 MiB in 3 parts:", client.finish_multipart_upload("big.bin", upload_id, etags).status_code)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.bin")

        def progress(index, total, done, size):
            print(f"  part {index + 1}/{total}: {done}/{size} bytes")

        client.multipart_download("big.bin", path, part_size=4 * 1024 * 1024, callback=progress)
        with open(path, "rb") as f:
            same = hashlib.sha256(f.read()).digest() == hashlib.sha256(data).digest()
        print("ranged download matches:", same)

    page = client.list(limit=10)
    print("listing:", [(o["key"], o["size"]) for o in page["objects"]])
    print("shared URL:", client.get_shared_url("greetings/hello.txt", 600)[:100] + "...")
    print("stats:", client.get_bucket_stats())
    print("deleted:", client.delete_by_prefix(""))
    print("delete bucket:", client.delete_bucket())


if __name__ == "__main__":
    main(sys.argv[1])
