"""Runs the large-transfer benchmarks in a process of their own, so its peak memory is theirs alone.

    python memory_child.py download CLIENT PORT SIZE LOCAL_PATH ROUNDS
    python memory_child.py upload CLIENT DRIVER FILE_PATH ROUNDS

Prints one JSON object on the last line of standard output.
"""

import contextlib
import gc
import inspect
import json
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402
import httpx  # noqa: E402


def _measure(fn):
    """(seconds, peak growth in bytes over the RSS at the start, result, exact) of one call of fn;
    the page faults it took are left in _measure.faults."""
    gc.collect()
    exact = common.reset_peak()
    rss0, hwm0 = common.memory()
    base = rss0 if exact else max(rss0, hwm0)
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    t0 = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - t0
    _, hwm1 = common.memory()
    _measure.faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    return seconds, max(0, hwm1 - base), result, exact


def download(client_name, port, size, local_path, rounds):
    transport = common.LoopbackTransport(port)
    http = httpx.Client(transport=transport, timeout=60.0)
    client = common.make_client(client_name, http, endpoint="http://127.0.0.1:%d" % port)
    key = "bench/object.bin"
    part_size = inspect.signature(type(client).multipart_download).parameters["part_size"].default
    recorded = []

    def run_client():
        ok = client.multipart_download(key, local_path)
        return ok

    def run_bare():
        # The same requests the client sent, replayed through the same httpx client.
        with open(local_path, "wb") as f:
            for method, url, headers in recorded:
                resp = http.request(method, url, headers=headers)
                if method == "GET":
                    f.write(resp.content)
        return True

    out = {"client": [], "bare": [], "client_growth": [], "bare_growth": [], "client_faults": [], "bare_faults": [],
           "ok": True, "exact_peak": True,
           "parts": (size + part_size - 1) // part_size, "part_size": part_size}
    with contextlib.redirect_stdout(open(os.devnull, "w")):
        for r in range(rounds):
            order = ("client", "bare") if r % 2 == 0 else ("bare", "client")
            for side in order:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(local_path)
                if side == "client":
                    if not recorded:
                        transport.log = recorded
                    secs, growth, ok, exact = _measure(run_client)
                    transport.log = None
                    out["ok"] = out["ok"] and ok is True and os.path.getsize(local_path) == size
                else:
                    secs, growth, _, exact = _measure(run_bare)
                out[side].append(secs)
                out[side + "_faults"].append(_measure.faults)
                out[side + "_growth"].append(growth)
                out["exact_peak"] = out["exact_peak"] and exact
    out["requests"] = len(recorded)
    with contextlib.suppress(FileNotFoundError):
        os.unlink(local_path)
    return out


def upload(client_name, driver, file_path, rounds):
    size = os.path.getsize(file_path)
    blk = 4 * 1024 * 1024
    received = [0]

    def handler(request):
        q = request.url.params
        if request.method == "POST" and "uploads" in q:
            return httpx.Response(200, json={"UploadId": "bench-upload", "BlkSize": blk, "Bucket": "bench-bucket",
                                             "Key": "big.bin"})
        if request.method == "PUT" and "uploadId" in q:
            received[0] += len(request.content)
            return httpx.Response(200, headers={"ETag": '"etag-%s"' % q["partNumber"]},
                                  json={"PartNumber": int(q["partNumber"])})
        if request.method == "POST" and "uploadId" in q:
            return httpx.Response(200, json={"Bucket": "bench-bucket", "Key": "big.bin", "FileSize": received[0]})
        return httpx.Response(204)

    http = httpx.Client(transport=httpx.MockTransport(handler))
    client = common.make_client(client_name, http)
    data = None
    if driver == "bytes":
        with open(file_path, "rb") as f:
            data = f.read()

    def run():
        received[0] = 0
        if driver == "bytes":
            return client.multipart_upload_bytes("big.bin", data)
        return client.multipart_upload("big.bin", file_path)

    out = {"times": [], "growth": [], "ok": True, "exact_peak": True, "part_size": blk,
           "parts": (size + blk - 1) // blk}
    with contextlib.redirect_stdout(open(os.devnull, "w")):
        for _ in range(rounds):
            secs, growth, result, exact = _measure(run)
            out["times"].append(secs)
            out["growth"].append(growth)
            out["exact_peak"] = out["exact_peak"] and exact
            out["ok"] = (out["ok"] and isinstance(result, dict) and received[0] == size
                         and len(result.get("etags", ())) == out["parts"])
    return out


def main():
    mode = sys.argv[1]
    if mode == "download":
        _, _, name, port, size, path, rounds = sys.argv
        out = download(name, int(port), int(size), path, int(rounds))
    else:
        _, _, name, driver, path, rounds = sys.argv
        out = upload(name, driver, path, int(rounds))
    sys.stdout.write(json.dumps(out) + "\n")


if __name__ == "__main__":
    main()
