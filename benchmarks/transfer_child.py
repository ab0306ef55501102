"""One large transfer in a process of its own, so its peak memory is the transfer's alone.

    python transfer_child.py download ENDPOINT KEY LOCAL_PATH PART_SIZE CONCURRENCY
    python transfer_child.py upload ENDPOINT KEY SOURCE_PATH PART_SIZE CONCURRENCY

Prints one JSON object on the last line of standard output.
"""

import gc
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402
import transfer_bench  # noqa: E402


def main(op, endpoint, key, path, part_size, concurrency):
    from cirrova import transfer

    part_size, concurrency = int(part_size), int(concurrency)
    with transfer_bench.http_client() as http:
        client = transfer_bench.s3_client(endpoint, http)
        client.head(key)  # connections, imports and first-use allocations before the measurement
        gc.collect()
        exact = common.reset_peak()
        rss0, hwm0 = common.memory()
        base = rss0 if exact else max(rss0, hwm0)
        t0 = time.perf_counter()
        if op == "download":
            transfer.download(client, key, path, part_size=part_size, concurrency=concurrency)
        else:
            transfer.upload(client, path, key, part_size=part_size, concurrency=concurrency)
        seconds = time.perf_counter() - t0
        _, hwm1 = common.memory()
    print(json.dumps({"growth": max(0, hwm1 - base), "seconds": seconds, "exact_peak": exact}))


if __name__ == "__main__":
    main(*sys.argv[1:])
