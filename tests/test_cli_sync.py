"""sync, mv, checksums and environment credentials on the S3, COS, OSS and UFile protocols, through fakes."""

import base64
import hashlib
import os

import httpx
import pytest

from cli_fakes import FakeStore, Hosts
from test_cli import SERVICES, config, mock, run  # noqa: F401  (fixture)

# Keys that sort differently by name than a folder walk meets them: "a-b" and "a.txt" come before "a/…".
FILES = {"a-b": b"dash", "a.txt": b"dot" * 10, "a/b/c.bin": os.urandom(3000), "a/x": b"x", "empty": b""}
ALL = {**SERVICES, "s3": ("default", "s3://b", "s3.test", "AWS4-HMAC-SHA256")}


def fake_for(service):
    return FakeStore("s3" if service in ("s3", "cos") else service, path_style=service == "s3")


def write_tree(root, files):
    for rel, data in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(data)


def read_tree(root):
    return {str(p.relative_to(root)).replace(os.sep, "/"): p.read_bytes() for p in root.rglob("*") if p.is_file()}


def last_line(out):
    return out.decode().splitlines()[-1]


@pytest.mark.parametrize("service", sorted(ALL))
def test_sync_up_again_and_down_on_each_service(config, capsysbinary, tmp_path, service):  # noqa: F811
    profile, base, _, _ = ALL[service]
    fake = fake_for(service)
    fake.page = 2
    bucket = base.split("://")[1]
    write_tree(tmp_path / "src", FILES)
    sync = lambda *a: run(capsysbinary, ["--profile", profile, "sync", *a], mock(fake))  # noqa: E731
    status, out, err = sync(str(tmp_path / "src"), base + "/t")
    assert (status, last_line(out), err) == (0, "5 copied, 0 deleted, 0 skipped, 0 failed", "")
    assert {k: fake.objects[(bucket, k)] for k in fake.keys(bucket)} == {"t/" + k: v for k, v in FILES.items()}
    puts = [r for r in fake.requests if r.method == "PUT"]
    # Every upload carried its Content-MD5 and the checksum metadata.
    assert all("content-md5" in r.headers and any(n.endswith("-meta-cirrova-md5") for n in r.headers) for r in puts)
    for extra in ([], ["--checksum"]):
        del fake.requests[:]
        status, out, _ = sync(*extra, str(tmp_path / "src"), base + "/t")
        assert (status, last_line(out)) == (0, "0 copied, 0 deleted, 5 skipped, 0 failed")
        assert {r.method for r in fake.requests} <= {"GET", "HEAD"}
    status, out, _ = sync(base + "/t", str(tmp_path / "back"))
    assert status == 0 and read_tree(tmp_path / "back") == FILES
    (tmp_path / "back" / "a" / "x").write_bytes(b"y")  # same size, other bytes
    assert last_line(sync(base + "/t", str(tmp_path / "back"))[1]).startswith("0 copied")
    assert last_line(sync("--checksum", base + "/t", str(tmp_path / "back"))[1]).startswith("1 copied")
    assert read_tree(tmp_path / "back") == FILES


@pytest.mark.parametrize("src, dst", [("oss", "ufile"), ("ufile", "cos"), ("cos", "s3")])
def test_sync_between_services_carries_the_checksum(config, capsysbinary, src, dst):  # noqa: F811
    (src_profile, src_base, src_host, _), (dst_profile, dst_base, dst_host, _) = ALL[src], ALL[dst]
    src_fake, dst_fake = fake_for(src), fake_for(dst)
    for key, data in FILES.items():
        src_fake.put(src_base.split("://")[1], "p/" + key, data)
        if src == "ufile":  # no ETag tells UFile's content MD5: the metadata our uploads write does
            src_fake.metadata[("files", "p/" + key)] = {
                "x-ufile-meta-cirrova-md5": base64.b64encode(hashlib.md5(data).digest()).decode()}
    routes = mock(Hosts(**{src_host: src_fake, dst_host: dst_fake}))
    argv = ["sync", "--src-profile", src_profile, "--dst-profile", dst_profile, src_base + "/p", dst_base + "/q"]
    status, out, err = run(capsysbinary, argv, routes)
    assert (status, last_line(out)) == (0, "5 copied, 0 deleted, 0 skipped, 0 failed"), err
    dst_bucket = dst_base.split("://")[1]
    assert {k: dst_fake.objects[(dst_bucket, k)] for k in dst_fake.keys(dst_bucket)} == {
        "q/" + k: v for k, v in FILES.items()}
    status, out, _ = run(capsysbinary, argv[:1] + ["--checksum"] + argv[1:], routes)
    assert (status, last_line(out)) == (0, "0 copied, 0 deleted, 5 skipped, 0 failed")


class Corrupting:
    """Flips one byte of every PUT body after the client computed its Content-MD5: a corruption on the way."""

    def __init__(self, fake):
        self.fake = fake

    def __call__(self, request):
        if request.method == "PUT" and request.content:
            body = bytearray(request.content)
            body[len(body) // 2] ^= 0xFF
            request = httpx.Request(request.method, request.url, headers=request.headers, content=bytes(body))
        return self.fake(request)


@pytest.mark.parametrize("service", sorted(ALL))
@pytest.mark.parametrize("command", ["cp", "sync", "mv"])
def test_a_corrupted_upload_is_refused_through_content_md5(config, capsysbinary, tmp_path, service,  # noqa: F811
                                                           command):
    profile, base, _, _ = ALL[service]
    fake = fake_for(service)
    write_tree(tmp_path / "d", {"f": b"payload" * 100})
    argv = ["--profile", profile, command, *(["-r"] if command != "sync" else []), str(tmp_path / "d"), base + "/d"]
    status, _, err = run(capsysbinary, argv, mock(Corrupting(fake)))
    assert status == 1 and "Content-MD5 you specified did not match" in err and fake.objects == {}
    assert (tmp_path / "d" / "f").exists()  # mv keeps a source that did not copy
    # Without the checksum the service cannot tell.
    assert run(capsysbinary, argv + ["--no-checksum"], mock(Corrupting(fake)))[0] == 0
    assert list(fake.objects.values()) != [b"payload" * 100] and len(fake.objects) == 1


def test_mv_keeps_the_sources_that_failed(config, capsysbinary, tmp_path):  # noqa: F811
    fake = fake_for("s3")
    for key in ("m/a", "m/b", "m/c"):
        fake.put("b", key, key.encode())
    fake.fail = lambda r: httpx.Response(503) if r.method == "GET" and r.url.path.endswith("/b") else None
    status, out, err = run(capsysbinary, ["mv", "s3://b/m/?", str(tmp_path / "o")], mock(fake))
    assert status == 1 and "1 of 3 copies failed" in err
    assert fake.keys("b") == ["m/b"] and read_tree(tmp_path / "o") == {"a": b"m/a", "c": b"m/c"}


def test_a_listing_out_of_key_order_stops_sync_before_any_delete(config, capsysbinary, tmp_path):  # noqa: F811
    fake = fake_for("s3")
    for key in ("t/a", "t/b", "t/c"):
        fake.put("b", key, b"1")
    write_tree(tmp_path / "src", {"a": b"1"})
    fake.keys = lambda bucket: ["t/b", "t/a", "t/c"]
    status, _, err = run(capsysbinary, ["sync", "--delete", "--yes", str(tmp_path / "src"), "s3://b/t"], mock(fake))
    assert status == 1 and "not in key order" in err
    assert not [r for r in fake.requests if r.method in ("DELETE", "POST")]


def test_sync_reports_each_failure_and_exits_1(config, capsysbinary, tmp_path):  # noqa: F811
    fake = fake_for("s3")
    write_tree(tmp_path / "src", {"good": b"1", "bad": b"2"})
    fake.fail = lambda r: httpx.Response(403) if r.method == "PUT" and r.url.path.endswith("/bad") else None
    status, out, err = run(capsysbinary, ["sync", str(tmp_path / "src"), "s3://b/t"], mock(fake))
    assert status == 1 and last_line(out) == "1 copied, 0 deleted, 0 skipped, 1 failed"
    assert "bad" in err and fake.keys("b") == ["t/good"]


@pytest.mark.parametrize("service", ["cos", "oss", "ufile"])
def test_credentials_from_the_cirrova_environment_family(capsysbinary, tmp_path, monkeypatch, service):
    _, base, host, auth = SERVICES[service]
    monkeypatch.delenv("CIRROVA_CONFIG", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    name = service.upper()
    monkeypatch.setenv(f"CIRROVA_{name}_ACCESS_KEY", "env-access")
    monkeypatch.setenv(f"CIRROVA_{name}_SECRET_KEY", "env-secret-value")
    monkeypatch.setenv(f"CIRROVA_{name}_REGION", {"cos": "ap-beijing", "oss": "oss-cn-hangzhou",
                                                  "ufile": "cn-bj"}[service])
    if service != "ufile":
        monkeypatch.setenv(f"CIRROVA_{name}_SESSION_TOKEN", "env-token")
    fake = fake_for(service)
    fake.put(base.split("://")[1], "k", b"v")
    status, out, err = run(capsysbinary, ["--debug", "cat", base + "/k"], mock(fake))
    assert (status, out) == (0, b"v") and f"{service}:// settings from the environment (CIRROVA_{name}_ACCESS_KEY" in err
    request = fake.requests[-1]
    assert request.url.host == host and "env-access" in request.headers["Authorization"]
    token = request.headers.get("x-oss-security-token" if service == "oss" else "x-amz-security-token")
    assert token == (None if service == "ufile" else "env-token")
    assert "env-secret-value" not in err


def test_no_profile_and_no_environment_names_both_ways(capsysbinary, tmp_path, monkeypatch):
    monkeypatch.delenv("CIRROVA_CONFIG", raising=False)
    monkeypatch.delenv("AWS_ACCESS_KEY_ID", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    status, _, err = run(capsysbinary, ["ls", "s3://b"])
    assert status == 2 and "AWS_ACCESS_KEY_ID" in err and "no configuration file" in err


def test_glob_and_filter_patterns_match_as_documented():
    from cirrova.cli.select import Filters, Glob

    glob = Glob("logs/2024-*/[a-c]?.gz")
    assert (glob.prefix, glob.base) == ("logs/2024-", "logs/")
    assert [k for k in ("logs/2024-01/ab.gz", "logs/2024-01/x/ab.gz", "logs/2024-01/db.gz", "logs/2024-/c1.gz")
            if glob.match(k)] == ["logs/2024-01/ab.gz", "logs/2024-/c1.gz"]
    assert Glob("d/[!x]").match("d/y") and not Glob("d/[!x]").match("d//")
    rules = Filters([("exclude", "*.log"), ("include", "keep/*"), ("exclude", "keep/secret*")])
    assert [p for p in ("a.log", "deep/b.log", "keep/c.log", "keep/secret.log", "x[1]") if rules.included(p)] == [
        "keep/c.log", "x[1]"]


def test_md5_of_a_multipart_local_file_is_stored_ahead(config, capsysbinary, tmp_path):  # noqa: F811
    from transfer_fakes import FakeStore as PartStore

    store = PartStore("oss")
    blob = os.urandom(11 * 1024 * 1024)
    (tmp_path / "big").write_bytes(blob)
    status, _, _ = run(capsysbinary, ["--profile", "oss", "cp", "--part-size", "5MiB", str(tmp_path / "big"),
                                      "oss://media/big"], mock(store))
    assert status == 0 and store.objects["big"] == blob
    (initiate,) = [entry for entry in store.log if entry[0] == "initiate"]
    assert base64.b64decode(initiate[3]["x-oss-meta-cirrova-md5"]) == hashlib.md5(blob).digest()
    assert all("content-md5" in entry[3] for entry in store.log if entry[0] == "part")


@pytest.mark.parametrize("size", [10, 6 * 1024 * 1024])  # on the pool, and on the caller's thread
def test_an_interrupt_stops_sync_and_leaves_no_worker(config, capsysbinary, tmp_path, size):  # noqa: F811
    import threading

    fake = fake_for("s3")
    write_tree(tmp_path / "src", {f"f{i:02}": os.urandom(size) for i in range(3 if size > 10 else 20)})

    def interrupted(request):
        if request.method in ("PUT", "POST"):
            raise KeyboardInterrupt

    fake.fail = interrupted
    argv = ["sync", "--part-size", "5MiB", str(tmp_path / "src"), "s3://b/t"]
    status, _, err = run(capsysbinary, argv, mock(fake))
    assert (status, err.splitlines()[-1]) == (130, "cirrova: interrupted")
    assert not [t for t in threading.enumerate() if t.name.startswith("cirrova-transfer")]


@pytest.mark.parametrize("service, header", [("s3", "x-amz-security-token"), ("cos", "x-amz-security-token"),
                                             ("oss", "x-oss-security-token")])
def test_a_profile_session_token_reaches_every_request(capsysbinary, tmp_path, monkeypatch, service, header):
    _, base, _, _ = ALL[service]
    region = {"s3": 'endpoint = "http://s3.test"', "cos": 'region = "ap-beijing"', "oss": ""}[service]
    config = tmp_path / "c.toml"
    config.write_text(f'[profiles.t]\nservice = "{service}"\naccess_key = "a"\nsecret_key = "s-secret"\n'
                      f'session_token = "tok-secret-1"\n{region}\n')
    config.chmod(0o600)
    fake = fake_for(service)
    fake.put(base.split("://")[1], "k", b"v")
    status, out, err = run(capsysbinary, ["--config", str(config), "--profile", "t", "--debug", "cp", base + "/k",
                                          str(tmp_path / "k")], mock(fake))
    assert status == 0 and fake.requests and all(r.headers.get(header) == "tok-secret-1" for r in fake.requests)
    assert "tok-secret-1" not in err


@pytest.mark.parametrize("recorded", ["right", "wrong"])
@pytest.mark.parametrize("size", [0, 3, 11 * 1024 * 1024 + 7])
def test_a_download_is_checked_against_the_recorded_md5_before_it_replaces_the_target(tmp_path, monkeypatch,
                                                                                      recorded, size):
    from cirrova import transfer
    from cirrova.transfer._service import Service
    from transfer_fakes import FakeStore as PartStore

    store = PartStore("oss")
    data = os.urandom(size)
    store.objects["k"] = data
    digest = hashlib.md5(data if recorded == "right" else data + b"!").hexdigest()
    monkeypatch.setattr(Service, "known_md5", lambda self, headers: digest)
    target = tmp_path / "t"
    target.write_bytes(b"before")
    for run_it in (lambda: transfer.download(store.client(), "k", target, part_size=5 * 1024 * 1024, concurrency=3,
                                             checksum=True),
                   lambda: transfer.download_many(store.client(), [("k", target)], checksum=True)[0].value):
        if recorded == "right":
            assert run_it() == size and target.read_bytes() == data
            target.write_bytes(b"before")
        else:
            outcome = None
            try:
                outcome = run_it()
            except transfer.TransferError as exc:
                outcome = exc
            assert isinstance(outcome, transfer.TransferError) and "MD5" in str(outcome)
            assert target.read_bytes() == b"before" and os.listdir(tmp_path) == ["t"]
