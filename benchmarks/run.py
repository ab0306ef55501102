"""Benchmarks of the cirrova clients against plain-Python and bare-httpx baselines.

    python benchmarks/run.py            # full run, a few minutes
    python benchmarks/run.py --quick    # seconds-long smoke pass (small objects, few rounds)
    python benchmarks/run.py --only sign,request

Every figure is a ratio of two measurements taken side by side in this run. The table of a full
run says whether each target is met; the quick pass prints figures only. The exit status is 0 whatever the timings, and 1 only when a
benchmark failed outright or a client computed something different from its baseline.
"""

import argparse
import contextlib
import functools
import inspect
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import common  # noqa: E402  (puts the source tree's build first when there is one)
import httpx  # noqa: E402
import reference  # noqa: E402
import timing  # noqa: E402

MiB = common.MiB
SECTIONS = ("sign", "request", "download", "listing", "upload", "transfer", "native", "engine", "fsspec")


class Table:
    """The rows of a run. With `verdicts` off (the quick pass, whose few rounds on small objects say
    nothing about the targets) a row shows its figure and detail only; a failure still shows."""

    def __init__(self, verdicts=True):
        self.rows = []
        self.failures = 0
        self.verdicts = verdicts

    def add(self, what, figure, target, met, detail=""):
        if met == "FAILED":
            self.failures += 1
        if not self.verdicts:
            status = met if met in ("FAILED", "skipped") else ""
            self.rows.append((what, figure, status, detail))
            print("  %-44s %-9s %-7s %s" % (what, figure, status, detail), flush=True)
            return
        self.rows.append((what, figure, target, met, detail))
        print("  %-44s %-9s %-8s %-7s %s" % (what, figure, target, met, detail), flush=True)

    def skip(self, what, target, why):
        self.add(what, "-", target, "skipped", why)

    def fail(self, what, target, why):
        self.add(what, "-", target, "FAILED", why)

    def render(self):
        head = ("measured", "figure", "target", "met", "detail") if self.verdicts else \
            ("measured", "figure", "status", "detail")
        widths = [max(len(str(r[i])) for r in self.rows + [head]) for i in range(len(head) - 1)]
        lines = []
        fmt = "  ".join("%%-%ds" % w for w in widths) + "  %s"
        lines.append(fmt % head)
        lines.append("  ".join("-" * w for w in widths) + "  " + "-" * 6)
        for r in self.rows:
            lines.append(fmt % r)
        return "\n".join(lines)


def _us(seconds):
    return "%.1f µs" % (seconds * 1e6) if seconds < 1e-3 else "%.2f ms" % (seconds * 1e3)


def _at_least(value, target):
    return "yes" if value >= target else "NO"


def _at_most(value, target):
    return "yes" if value <= target else "NO"


@contextlib.contextmanager
def _quiet():
    """The UFile client prints the URL of every request; send that to the null device."""
    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        yield


# --- 1. signing ------------------------------------------------------------------------------

def _put_request(vendor):
    """Headers and query parameters of a realistic part upload: PUT with Content-Type, Content-MD5,
    three vendor headers beside the date and payload headers that dispatch adds, two query parameters."""
    headers = {
        "Content-Type": "image/jpeg",
        "Content-MD5": "1B2M2Y8AsgTpgAmY7PhCfg==",
    }
    if vendor == "amz":
        headers.update({"Host": "s3.eu-west-1.amazonaws.com", "x-amz-acl": "private",
                        "x-amz-meta-owner": "benchmarks", "x-amz-storage-class": "STANDARD_IA",
                        "x-amz-date": "20240611T083000Z", "x-amz-content-sha256": "UNSIGNED-PAYLOAD"})
    elif vendor == "amz2":
        headers.update({"Host": "s3.eu-west-1.amazonaws.com", "x-amz-acl": "private",
                        "x-amz-meta-owner": "benchmarks", "x-amz-storage-class": "STANDARD_IA",
                        "Date": "Tue, 11 Jun 2024 08:30:00 GMT"})
    elif vendor == "oss":
        headers.update({"Host": "bench-bucket.oss-cn-hangzhou.aliyuncs.com", "x-oss-object-acl": "private",
                        "x-oss-meta-owner": "benchmarks", "x-oss-storage-class": "IA",
                        "x-oss-date": "20240611T083000Z", "x-oss-content-sha256": "UNSIGNED-PAYLOAD"})
    else:
        headers.update({"X-UCloud-Meta-Owner": "benchmarks", "x-ucloud-storage-class": "IA",
                        "x-ucloud-acl": "private"})
    query = {"uploadId": "2~iCw7PGm2wLvgKQbEnPvW/k0e+Ku=", "partNumber": "7"}
    return headers, query


def bench_sign(table, quick):
    rounds, batch = (3, 0.005) if quick else (15, 0.02)
    key = "photos/2024/06/holiday pic-001.jpg"
    target = ">= 10x"

    def row(what, client_fn, ref_fn, floor):
        try:
            mine, plain = client_fn(), ref_fn()
            if mine != plain:
                table.fail(what, target, "result differs from the plain version: %r vs %r" % (mine, plain))
                return
            ratio, t_c, t_r = timing.compare(client_fn, ref_fn, batch_seconds=batch, rounds=rounds)
            floor_ratio, t_f, _ = timing.compare(floor, ref_fn, batch_seconds=batch, rounds=rounds)
        except Exception as exc:  # noqa: BLE001
            table.fail(what, target, "%s: %s" % (type(exc).__name__, exc))
            return
        speedup = 1.0 / ratio
        table.add(what, "%.1fx" % speedup, target, _at_least(speedup, 10.0),
                  "%s vs plain Python %s; its digests through hashlib %s (bound %.1fx for hashlib)"
                  % (_us(t_c), _us(t_r), _us(t_f), 1.0 / floor_ratio))

    cls, why = common.load("korvex")
    if cls is None:
        table.skip("sign V4 (KorvexClient._sign_request)", target, why)
        table.skip("sign V2 (KorvexClient._sign_request_v2)", target, why)
    else:
        c = common.make_client("korvex", httpx.Client())
        ref = reference.S3Signer(c.access_key, c.secret_key, c.bucket, c.region, c.endpoint)
        h, q = _put_request("amz")
        row("sign V4 (KorvexClient._sign_request)", functools.partial(c._sign_request, "PUT", key, h, q),
            functools.partial(ref._sign_request, "PUT", key, h, q), reference.DigestFloor("sha256", 133, 477))
        h2, q2 = _put_request("amz2")
        row("sign V2 (KorvexClient._sign_request_v2)", functools.partial(c._sign_request_v2, "PUT", key, h2, q2),
            functools.partial(ref._sign_request_v2, "PUT", key, h2, q2), reference.DigestFloor("sha1", 251))

    cls, why = common.load("pelorin")
    if cls is None:
        table.skip("sign OSS V4 (PelorinOSSClient._sign_request)", target, why)
    else:
        c = common.make_client("pelorin", httpx.Client())
        ref = reference.OSSSigner(c.access_key_id, c.access_key_secret, c.bucket, c.region)
        h, q = _put_request("oss")
        row("sign OSS V4 (PelorinOSSClient._sign_request)", functools.partial(c._sign_request, "PUT", key, h, q),
            functools.partial(ref._sign_request, "PUT", key, h, q), reference.DigestFloor("sha256", 141, 335))

    cls, why = common.load("dramlet")
    if cls is None:
        table.skip("sign UFile (DramletFileClient._build_auth_header)", target, why)
    else:
        c = common.make_client("dramlet", httpx.Client())
        ref = reference.UFileSigner(c.public_key, c.private_key, c.bucket)
        h, _ = _put_request("ufile")
        kw = dict(content_md5=h["Content-MD5"], content_type=h["Content-Type"], headers=h)
        row("sign UFile (DramletFileClient._build_auth_header)",
            functools.partial(c._build_auth_header, key, "PUT", **kw),
            functools.partial(ref._build_auth_header, key, "PUT", **kw), reference.DigestFloor("sha1", 167))


# --- 2. whole-request overhead ---------------------------------------------------------------

def _instant(request):
    if request.method == "HEAD":
        return httpx.Response(200, headers={"Content-Length": "1024", "ETag": '"abc"',
                                            "Content-Type": "application/octet-stream"})
    return httpx.Response(200, headers={"ETag": '"d41d8cd98f00b204e9800998ecf8427e"'})


def _recorded_call(name, op, response, **extra):
    """What the client passes to its httpx client for one call of op(client)."""
    rec = common.Recorder(response)
    client = common.make_client(name, rec, **extra)
    with _quiet():
        op(client)
    if len(rec.calls) != 1:
        raise RuntimeError("expected one request, saw %d" % len(rec.calls))
    return rec.calls[0]


# The digests each client's request signature needs: algorithm, string-to-sign length and,
# for the V4 schemes, the canonical request's length (approximate; the cost hardly depends on it).
_REQUEST_DIGESTS = {"KorvexClient V4": ("sha256", 133, 300), "KorvexClient V2": ("sha1", 120, 0),
                    "PelorinOSSClient": ("sha256", 141, 300), "DramletFileClient": ("sha1", 110, 0)}


def _least_client(fn, args, kwargs, floor):
    """The least any client could do around the same httpx call: a new URL string and header
    dict, a clock reading, the digests of its signature, and the call."""
    def call():
        a = list(args)
        a[-1] = a[-1][:-1] + a[-1][-1:]
        kw = dict(kwargs)
        if "headers" in kw:
            kw["headers"] = dict(kw["headers"])
        time.gmtime(time.time())
        floor()
        return fn(*a, **kw)
    return call


def bench_request(table, quick):
    rounds, batch = (3, 0.005) if quick else (31, 0.05)
    target = "<= 1.10x"
    key = "photos/2024/06/holiday pic-001.jpg"
    body = os.urandom(1024)
    ops = {
        "head": lambda c: c.head(key),
        "upload 1 KiB": lambda c: c.upload(key, body, content_type="application/octet-stream"),
    }
    setups = [("korvex", "KorvexClient V4", {}), ("korvex", "KorvexClient V2", {"signature_version": "korvex"}),
              ("pelorin", "PelorinOSSClient", {}), ("dramlet", "DramletFileClient", {})]
    for name, label, extra in setups:
        cls, why = common.load(name)
        for opname, op in ops.items():
            what = "%s %s vs bare httpx" % (opname, label)
            if cls is None:
                table.skip(what, target, why)
                continue
            try:
                http = httpx.Client(transport=httpx.MockTransport(_instant))
                client = common.make_client(name, http, **extra)
                kind, args, kwargs = _recorded_call(name, op, httpx.Response(200), **extra)
                bare = functools.partial(getattr(http, kind), *args, **kwargs)
                mine = functools.partial(op, client)
                least = _least_client(getattr(http, kind), args, kwargs,
                                      reference.DigestFloor(*_REQUEST_DIGESTS[label]))
                with _quiet():
                    ratio, t_c, t_b = timing.compare(mine, bare, batch_seconds=batch, rounds=rounds)
                    least_ratio, _, _ = timing.compare(least, bare, batch_seconds=batch, rounds=rounds)
            except Exception as exc:  # noqa: BLE001
                table.fail(what, target, "%s: %s" % (type(exc).__name__, exc))
                continue
            table.add(what, "%.3fx" % ratio, target, _at_most(ratio, 1.10),
                      "%s vs %s (+%s); new URL, headers and digests alone %.3fx%s"
                      % (_us(t_c), _us(t_b), _us(t_c - t_b), least_ratio,
                         ", URL print to /dev/null" if name == "dramlet" else ""))


# --- 4. listing ------------------------------------------------------------------------------

def _listing_body(n, next_name):
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n',
             '<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">',
             "<Name>bench-bucket</Name><Prefix></Prefix><MaxKeys>%d</MaxKeys>" % n]
    for i in range(n):
        parts.append(
            "<Contents><Key>photos/2024/06/img-%06d.jpg</Key><LastModified>2024-06-11T08:%02d:%02d.000Z"
            "</LastModified><ETag>&quot;%032x&quot;</ETag><Size>%d</Size><StorageClass>STANDARD</StorageClass>"
            "<Owner><ID>75aa57f09aa0c8caeab4f8c24e99d10f8e7faeebf76c078efc7c6caea54ba06a</ID>"
            "<DisplayName>bench</DisplayName></Owner></Contents>" % (i, i // 60 % 60, i % 60, i * 7919, 1000 + i * 37))
    parts.append("<IsTruncated>true</IsTruncated><%s>photos/2024/06/img-%06d.jpg</%s>"
                 % (next_name, n - 1, next_name))
    parts.append("</ListBucketResult>")
    return "".join(parts).encode("utf-8")


def bench_listing(table, quick):
    rounds, batch = (3, 0.02) if quick else (9, 0.1)
    target = "<= 1.20x"
    for name, label, next_name in (("korvex", "KorvexClient", "NextContinuationToken"),
                                   ("pelorin", "PelorinOSSClient", "NextMarker")):
        what = "list 1000 entries %s vs ET + dicts" % label
        cls, why = common.load(name)
        if cls is None:
            table.skip(what, target, why)
            continue
        body = _listing_body(1000, next_name)

        def answer(request, body=body):
            return httpx.Response(200, headers={"Content-Type": "application/xml"}, content=body)

        try:
            http = httpx.Client(transport=httpx.MockTransport(answer))
            client = common.make_client(name, http)
            kind, args, kwargs = _recorded_call(name, lambda c: c.list(limit=1000), answer(None))
            send = functools.partial(getattr(http, kind), *args, **kwargs)

            def bare(send=send, next_name=next_name):
                return reference.parse_listing(send().text, next_name)

            mine = functools.partial(client.list, limit=1000)
            if mine() != bare():
                table.fail(what, target, "result differs from the plain parse")
                continue
            ratio, t_c, t_b = timing.compare(mine, bare, batch_seconds=batch, rounds=rounds)
        except Exception as exc:  # noqa: BLE001
            table.fail(what, target, "%s: %s" % (type(exc).__name__, exc))
            continue
        table.add(what, "%.3fx" % ratio, target, _at_most(ratio, 1.20),
                  "%s vs %s (request + parse both)" % (_us(t_c), _us(t_b)))


# --- 3. ranged download and 5. multipart upload memory ----------------------------------------

def _make_object(path, size):
    block = os.urandom(MiB)
    with open(path, "wb") as f:
        for i in range(size // MiB):
            f.write(i.to_bytes(8, "big") + block[8:])
        f.write(block[: size % MiB])


def _child(args, timeout):
    proc = subprocess.run([sys.executable, os.path.join(HERE, "memory_child.py")] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError((proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1])
    return json.loads(proc.stdout.strip().splitlines()[-1])


def _child_result(table, what, target, args, not_ok):
    """The child's result for one row, or None after recording the row as failed."""
    try:
        res = _child(args, timeout=600)
    except Exception as exc:  # noqa: BLE001
        table.fail(what, target, "%s: %s" % (type(exc).__name__, exc))
        return None
    if not res["ok"]:
        table.fail(what, target, not_ok)
        return None
    return res


def _default_part_size(cls):
    return inspect.signature(cls.multipart_download).parameters["part_size"].default


def bench_download(table, quick, tmp):
    size = (48 if quick else 256) * MiB
    rounds = 1 if quick else 3
    src = os.path.join(tmp, "object.bin")
    dst = os.path.join(tmp, "download.bin")
    clients = [(n, l) for n, l in (("korvex", "KorvexClient"), ("pelorin", "PelorinOSSClient"),
                                    ("dramlet", "DramletFileClient"))]
    available = [(n, l) for n, l in clients if common.load(n)[0] is not None]
    for n, l in clients:
        if (n, l) not in available:
            why = common.load(n)[1]
            table.skip("multipart_download %s throughput" % l, ">= 0.90", why)
            table.skip("multipart_download %s peak memory" % l, "<= 1.00", why)
    if not available:
        return
    _make_object(src, size)
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "loopback_server.py"), src, "--idle", "60",
                               "--max", "900"], stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        for name, label in available:
            what_t = "multipart_download %s throughput" % label
            what_m = "multipart_download %s peak memory" % label
            part = _default_part_size(common.load(name)[0])
            res = _child_result(table, what_t, ">= 0.90", ["download", name, port, size, dst, rounds],
                                "download did not return True with the whole file")
            if res is None:
                continue
            t_c, t_b = min(res["client"]), min(res["bare"])
            ratio = t_b / t_c
            table.add(what_t, "%.3f" % ratio, ">= 0.90", _at_least(ratio, 0.90),
                      "%.0f vs %.0f MiB/s bare, %d MiB in %d parts of %d MiB, best of %d; page faults %d vs %d"
                      % (size / MiB / t_c, size / MiB / t_b, size // MiB, res["parts"], part // MiB, rounds,
                         min(res["client_faults"]), min(res["bare_faults"])))
            limit = 2 * part + 16 * MiB
            growth = max(res["client_growth"])
            note = "" if res["exact_peak"] else "; peak not resettable, figure is a lower bound"
            table.add(what_m, "%.2f" % (growth / limit), "<= 1.00", _at_most(growth, limit),
                      "grew %.1f MiB, limit %.0f MiB (bare loop %.1f MiB)%s"
                      % (growth / MiB, limit / MiB, max(res["bare_growth"]) / MiB, note))
    finally:
        server.terminate()
        server.wait(timeout=10)
        for p in (src, dst):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(p)


def bench_upload(table, quick, tmp):
    size = (40 if quick else 256) * MiB
    drivers = (("file", "multipart_upload"), ("bytes", "multipart_upload_bytes"))
    cls, why = common.load("dramlet")
    if cls is None:
        for _, method in drivers:
            table.skip("DramletFileClient.%s peak memory" % method, "<= 1.00", why)
        return
    src = os.path.join(tmp, "upload.bin")
    _make_object(src, size)
    try:
        for driver, method in drivers:
            what = "DramletFileClient.%s peak memory" % method
            res = _child_result(table, what, "<= 1.00", ["upload", "dramlet", driver, src, 1],
                                "upload did not send every part or returned no result")
            if res is None:
                continue
            limit = 2 * res["part_size"] + 16 * MiB
            growth = max(res["growth"])
            note = "" if res["exact_peak"] else "; peak not resettable, figure is a lower bound"
            extra = ", data held before the start" if driver == "bytes" else ""
            table.add(what, "%.2f" % (growth / limit), "<= 1.00", _at_most(growth, limit),
                      "grew %.1f MiB, limit %.0f MiB, %d MiB in %d parts%s%s"
                      % (growth / MiB, limit / MiB, size // MiB, res["parts"], extra, note))
    finally:
        os.unlink(src)


# --- 6. parallel transfers (cirrova.transfer) -----------------------------------------------------

def bench_transfer(table, quick, tmp):
    try:
        import transfer_bench
        from cirrova import transfer  # noqa: F401
    except Exception as exc:  # noqa: BLE001 - a missing or half-built module: the rows fail, the run goes on
        table.fail("cirrova.transfer", "-", "%s: %s" % (type(exc).__name__, exc))
        return
    transfer_bench.bench_transfer(table, quick, tmp)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="seconds-long smoke pass")
    ap.add_argument("--only", default="", help="comma-separated sections: " + ",".join(SECTIONS))
    args = ap.parse_args()
    only = [s for s in args.only.split(",") if s] or list(SECTIONS)
    unknown = set(only) - set(SECTIONS)
    if unknown:
        ap.error("unknown section(s): " + ", ".join(sorted(unknown)))

    import cirrova
    print("cirrova benchmarks%s — Python %s (%s), httpx %s, %s, load %.2f"
          % (" (quick)" if args.quick else "", platform.python_version(), platform.python_implementation(),
             httpx.__version__, os.path.dirname(cirrova.__file__), os.getloadavg()[0]), flush=True)
    table = Table(verdicts=not args.quick)
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="cirrova-bench-", dir="/tmp") as tmp:
        for section in SECTIONS:
            if section not in only:
                continue
            print("[%s]" % section, flush=True)
            if section == "sign":
                bench_sign(table, args.quick)
            elif section == "request":
                bench_request(table, args.quick)
            elif section == "download":
                bench_download(table, args.quick, tmp)
            elif section == "listing":
                bench_listing(table, args.quick)
            elif section == "transfer":
                bench_transfer(table, args.quick, tmp)
            elif section == "upload":
                bench_upload(table, args.quick, tmp)
            elif section == "engine":
                import engine_bench
                engine_bench.bench_engine(table, args.quick, tmp, _at_least)
            elif section == "fsspec":
                import fs_bench
                fs_bench.bench_fs(table, args.quick, tmp, _at_least)
            else:
                import native
                native.bench_native(table, args.quick, tmp, _at_least, _us)
    print()
    print(table.render())
    print("\nPython %s, %d rows, %d failed, %.0f s"
          % (platform.python_version(), len(table.rows), table.failures, time.perf_counter() - started))
    return 1 if table.failures else 0


if __name__ == "__main__":
    sys.exit(main())
