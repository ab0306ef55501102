"""The command line driven in-process: profiles, locations, exit codes, output, and the COS, OSS and UFile
services through in-memory fakes."""

import argparse
import io
import json
import os
import xml.etree.ElementTree as ET

import httpx
import pytest

from cirrova import __version__
from cirrova.cli import commands, main, parse_size
from cirrova.cli.errors import one_line
from cirrova.cli.profiles import parse_location, tree_prefix

from cli_fakes import FakeStore, Hosts

SECRET = "zz-Very-Secret-Key-9f3a"
UFILE_SECRET = "uu-Private-Key-c41d"

PROFILES = f"""
[profiles.default]
service = "s3"
access_key = "AKIATEST"
secret_key = "{SECRET}"
endpoint = "http://s3.test"

[profiles.cos]
service = "cos"
access_key = "AKIDCOS"
secret_key = "{SECRET}"
region = "ap-beijing"

[profiles.oss]
service = "oss"
access_key = "LTAIOSS"
secret_key = "{SECRET}"

[profiles.ufile]
service = "ufile"
public_key = "pub-ufile"
private_key = "{UFILE_SECRET}"
region = "cn-bj"
"""


@pytest.fixture
def config(tmp_path, monkeypatch):
    path = tmp_path / "config.toml"
    path.write_text(PROFILES)
    path.chmod(0o600)
    monkeypatch.setenv("CIRROVA_CONFIG", str(path))
    return path


def run(capsysbinary, argv, transport=None):
    """Runs one command; returns (status, stdout bytes, stderr text), with no secret in either stream."""
    status = main(argv, transport=transport)
    captured = capsysbinary.readouterr()
    for secret in (SECRET, UFILE_SECRET):
        assert secret.encode() not in captured.out and secret.encode() not in captured.err
    return status, captured.out, captured.err.decode()


def mock(fake):
    return httpx.MockTransport(fake)


# --- locations, sizes and messages ---------------------------------------------------------------------------

def test_locations_sizes_and_human_units():
    assert parse_location("s3://b/a/b c.txt") == parse_location("S3://b/a/b c.txt")
    loc = parse_location("cos://photos-125000/x/")
    assert (loc.scheme, loc.bucket, loc.key, loc.remote) == ("cos", "photos-125000", "x/", True)
    assert str(parse_location("ufile://b")) == "ufile://b" and str(parse_location("oss://b/k")) == "oss://b/k"
    local = parse_location("./dir/file")
    assert not local.remote and local.path == "./dir/file"
    assert tree_prefix("") == "" and tree_prefix("dir") == "dir/" and tree_prefix("dir/") == "dir/"
    assert [parse_size(s) for s in ("5242880", "64KiB", "8M", "1.5GiB", "16mb")] == [
        5242880, 65536, 8 << 20, 3 << 29, 16 << 20]
    for bad in ("", "8X", "-1M", "0", "MiB"):
        with pytest.raises(argparse.ArgumentTypeError):
            parse_size(bad)
    assert [commands.human(n) for n in (0, 1023, 1024, 1536, 5 << 20, 3 << 40)] == [
        "0 B", "1023 B", "1.0 KiB", "1.5 KiB", "5.0 MiB", "3.0 TiB"]


def test_client_failures_become_one_line():
    body = "<?xml version='1.0'?>\n<Error>\n <Code>BucketNotEmpty</Code>\n <Message>not empty</Message>\n</Error>"
    assert one_line(Exception("删除存储桶失败: 409 " + body)) == "删除存储桶失败: 409 BucketNotEmpty: not empty"
    assert one_line(httpx.ConnectError("refused\nfor good")) == "ConnectError: refused for good"
    assert one_line(KeyError()) == "KeyError"


# --- usage errors and exit codes ------------------------------------------------------------------------------

@pytest.mark.parametrize("argv, fragment", [
    (["ls", "gs://bucket/x"], "unsupported location scheme 'gs'"),
    (["--profile", "nope", "ls", "s3://b"], "no profile 'nope'"),
    (["ls", "s3://b", "--profile", "oss"], "profile 'oss' is for oss, not for a s3:// location"),
    (["ls", "/tmp"], "is not a remote location"),
    (["stat", "s3://b/dir/"], "names no object"),
    (["mb", "oss://b"], "s3:// and cos://"),
    (["mb", "s3://b/key"], "names an object"),
    (["ls", "oss://"], "listing buckets needs s3:// or cos://"),
    (["cp", "a", "b"], "needs a remote SRC or DST"),
    (["cp", "s3://b/k", "-"], "cirrova cat"),
    (["cp", "x", "s3://b/k", "--part-size", "1MiB"], "at least 5MiB"),
    (["cp", "s3://b/dir/", "out"], "add --recursive"),
    (["cp", "x", "s3://b/k", "--part-size", "inf"], "argument --part-size: not a size: 'inf'"),
    (["cp", "x", "s3://b/k", "--part-size", "1e400"], "argument --part-size: not a size: '1e400'"),
    (["cp", "x", "s3://b/k", "--part-size", "6GiB"], "argument --part-size: must be at most 5GiB"),
    (["cp", "x", "s3://b/k", "--concurrency", "99999999999999999999"], "argument --concurrency: must be at most"),
    (["cp", "x", "s3://b/k", "--concurrency", "0"], "argument --concurrency: must be at least 1"),
    (["presign", "s3://b/k", "--expires", "0"], "presign: argument --expires: must be at least 1"),
    (["frobnicate"], "argument COMMAND: invalid choice: 'frobnicate'"),
    (["sync", "a", "b"], "sync needs a remote SRC or DST"),
    (["sync", "s3://b/p", "-"], "not standard input or output"),
    (["sync", "--delete", "s3://b/p", "s3://b/q"], "--delete needs --yes when standard input is not a terminal"),
    (["mv", "-", "s3://b/k"], "mv cannot move standard input"),
])
def test_usage_errors_exit_2_with_one_line(config, capsysbinary, argv, fragment):
    status, out, err = run(capsysbinary, argv)
    assert status == 2 and out == b""
    assert fragment in err and err.startswith("cirrova: usage: ") and err.count("\n") == 1


def test_configuration_problems_are_usage_errors(tmp_path, capsysbinary, monkeypatch):
    monkeypatch.delenv("CIRROVA_CONFIG", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    status, _, err = run(capsysbinary, ["ls", "s3://b"])
    assert status == 2 and os.path.join(str(tmp_path), ".config", "cirrova", "config.toml") in err
    bad = tmp_path / "bad.toml"
    cases = {
        "[profiles.default\n": "not valid TOML",
        '[profiles.default]\nservice = "gcs"\n': "service must be one of",
        f'[profiles.default]\nservice = "s3"\naccess_key = "a"\nsecret = "{SECRET}"\n': "unknown setting 'secret'",
        f'[profiles.default]\nservice = "s3"\naccess_key = "a"\nsecret_key = "{SECRET}"\ntimeout = -1\n': "timeout",
        f'[profiles.default]\nservice = "oss"\naccess_key = "a"\nsecret_key = "{SECRET}"\nendpoint = "http://x"\n':
            "takes no endpoint",
        '[profiles.default]\nservice = "ufile"\npublic_key = "p"\n': "private_key is missing",
    }
    for text, fragment in cases.items():
        bad.write_text(text)
        scheme = "oss" if "oss" in text else "ufile" if "ufile" in text else "s3"
        status, _, err = run(capsysbinary, ["--config", str(bad), "ls", f"{scheme}://b"])
        assert status == 2 and fragment in err, (text, err)


def test_version_help_and_argparse_errors(capsysbinary):
    status, out, _ = run(capsysbinary, ["--version"])
    assert status == 0 and out.decode().strip() == f"cirrova {__version__}"
    status, out, _ = run(capsysbinary, ["cp", "--help"])
    assert status == 0 and b"--part-size" in out and b"--concurrency" in out
    status, _, err = run(capsysbinary, ["presign", "s3://b/k", "--expires", "0"])
    assert status == 2 and "--expires" in err
    status, _, err = run(capsysbinary, ["frobnicate"])
    assert status == 2 and "invalid choice" in err


def test_global_options_before_or_after_the_command(config, capsysbinary, tmp_path):
    fake = FakeStore("s3", path_style=True)
    fake.put("b", "k", b"data")
    other = tmp_path / "other.toml"
    other.write_text(PROFILES.replace("http://s3.test", "http://elsewhere.test"))
    for argv in (["--config", str(other), "stat", "s3://b/k"], ["stat", "s3://b/k", "--config", str(other)]):
        assert run(capsysbinary, argv, mock(fake))[0] == 0
        assert fake.requests.pop().url.host == "elsewhere.test"
    # --endpoint overrides the profile on either side of the command too.
    assert run(capsysbinary, ["stat", "--endpoint", "http://third.test", "s3://b/k"], mock(fake))[0] == 0
    assert fake.requests.pop().url.host == "third.test"


# --- failures: exit 1, one line, no traceback unless --debug, no secret anywhere ------------------------------

def test_failures_exit_1_without_traceback_and_never_show_a_secret(config, capsysbinary):
    def leaky(request):
        # A reply echoing the credentials, and a transport error carrying them: both must be masked.
        if request.method == "HEAD":
            raise httpx.ConnectError(f"cannot connect with {SECRET}")
        return httpx.Response(403, content=f"<Error><Code>AccessDenied</Code><Message>key {SECRET} refused"
                                           f"</Message></Error>".encode())

    status, out, err = run(capsysbinary, ["stat", "s3://b/k"], mock(leaky))
    assert status == 1 and out == b""
    assert err == "cirrova: ConnectError: cannot connect with ***\n"
    status, _, err = run(capsysbinary, ["--debug", "stat", "s3://b/k"], mock(leaky))
    assert status == 1 and "Traceback" in err and "***" in err
    # The client reads a refused listing as an empty page; the command still reports the refusal.
    for command in ("ls", "du"):
        status, out, err = run(capsysbinary, [command, "s3://b"], mock(leaky))
        assert (status, out) == (1, b"") and err == "cirrova: cannot list s3://b: 403 Forbidden (AccessDenied: key *** refused)\n"
    status, _, err = run(capsysbinary, ["mb", "s3://b"], mock(leaky))
    assert status == 1 and "403" in err and "AccessDenied" in err and "***" in err and err.count("\n") == 1


def test_missing_object_and_error_replies(config, capsysbinary):
    fake = FakeStore("s3", path_style=True)
    status, _, err = run(capsysbinary, ["stat", "s3://b/none"], mock(fake))
    assert (status, err) == (1, "cirrova: no such object: s3://b/none\n")
    fake.put("b", "k", b"x")
    fake.fail = lambda r: httpx.Response(503, content=b"<Error><Code>SlowDown</Code><Message>later</Message></Error>")
    status, _, err = run(capsysbinary, ["cat", "s3://b/k"], mock(fake))
    assert status == 1 and err == "cirrova: cannot read s3://b/k: 503 Service Unavailable\n"


def test_ctrl_c_exits_130(config, capsysbinary):
    def interrupted(request):
        raise KeyboardInterrupt

    status, out, err = run(capsysbinary, ["ls", "s3://b"], mock(interrupted))
    assert (status, out, err) == (130, b"", "cirrova: interrupted\n")


# --- the three other services through fakes --------------------------------------------------------------------

SERVICES = {
    # profile, location, host the requests must reach, Authorization scheme
    "cos": ("cos", "cos://photos-1250000000", "photos-1250000000.cos.ap-beijing.myqcloud.com", "AWS4-HMAC-SHA256"),
    "oss": ("oss", "oss://media", "media.oss-cn-hangzhou.aliyuncs.com", "OSS4-HMAC-SHA256"),
    "ufile": ("ufile", "ufile://files", "files.cn-bj.ufileos.com", "UCloud pub-ufile:"),
}


@pytest.mark.parametrize("service", SERVICES)
def test_reading_commands_on_each_service(config, capsysbinary, service, monkeypatch):
    profile, base, host, auth = SERVICES[service]
    fake = FakeStore("s3" if service == "cos" else service)
    bucket = base.split("://")[1]
    blob = os.urandom(2500)
    fake.put(bucket, "docs/a b.bin", blob)
    fake.put(bucket, "docs/sub/c.txt", b"hello")
    fake.put(bucket, "top.txt", b"")
    fake.page = 2  # make listing walk pages
    cmd = lambda *a: run(capsysbinary, ["--profile", profile, *a], mock(fake))  # noqa: E731

    status, out, _ = cmd("ls", base + "/")
    assert status == 0
    lines = out.decode().splitlines()
    assert [line.split()[-1] for line in lines] == ["docs/", "top.txt"]
    status, out, _ = cmd("ls", "--json", "--recursive", base + "/docs")
    rows = [json.loads(line) for line in out.decode().splitlines()]
    assert [(r["key"], r["size"]) for r in rows] == [("docs/a b.bin", 2500), ("docs/sub/c.txt", 5)]
    assert rows[0]["url"] == f"{base}/docs/a b.bin" and rows[0]["modified"].startswith("2026-")
    status, out, _ = cmd("ls", "--json", base + "/docs/")
    assert [json.loads(line).get("prefix") for line in out.decode().splitlines()] == [None, "docs/sub/"]

    status, out, _ = cmd("stat", "--json", base + "/docs/a b.bin")
    info = json.loads(out)
    assert status == 0 and info["size"] == 2500 and info["metadata"] == {"owner": "tests"}
    assert info["etag"] and '"' not in info["etag"]

    monkeypatch.setattr(commands, "_CAT_PART", 1000)
    status, out, _ = cmd("cat", base + "/docs/a b.bin")
    assert status == 0 and out == blob
    ranges = [r.headers.get("Range") for r in fake.requests if r.method == "GET" and r.headers.get("Range")]
    assert ranges[-3:] == ["bytes=0-999", "bytes=1000-1999", "bytes=2000-2499"]
    status, out, _ = cmd("cat", base + "/top.txt")
    assert status == 0 and out == b""

    status, out, _ = cmd("du", "--json", base + "/docs")
    assert json.loads(out) == {"url": base + "/docs", "objects": 2, "bytes": 2505}

    status, out, _ = cmd("presign", "--expires", "600", base + "/docs/a b.bin")
    url = out.decode().strip()
    assert status == 0 and httpx.URL(url).host in (host, host.replace(bucket + ".", "")) and "a%20b.bin" in url

    status, out, _ = cmd("rm", "--dry-run", "-r", base + "/docs")
    assert status == 0 and b"2 objects would be deleted" in out and len(fake.keys(bucket)) == 3
    status, out, _ = cmd("rm", "-r", "--yes", base + "/docs")
    assert status == 0 and fake.keys(bucket) == ["top.txt"]
    status, out, _ = cmd("rm", base + "/top.txt")
    assert status == 0 and fake.keys(bucket) == []

    sent = [r for r in fake.requests if r.url.host == host]
    assert sent and all(r.headers.get("Authorization", "").startswith(auth) for r in sent
                        if r.method != "GET" or r.url.params.get("list") is None or service != "ufile")


def test_cat_refuses_a_short_or_replaced_object(config, capsysbinary, monkeypatch):
    monkeypatch.setattr(commands, "_CAT_PART", 1000)
    fake = FakeStore("oss")
    fake.put("media", "k", os.urandom(2500))

    def short(request):
        if request.headers.get("Range") == "bytes=1000-1999":
            return httpx.Response(206, content=b"x" * 10, headers={"Content-Range": "bytes 1000-1009/2500"})
        return None

    fake.fail = short
    status, _, err = run(capsysbinary, ["--profile", "oss", "cat", "oss://media/k"], mock(fake))
    assert status == 1 and "short reply at byte 1000 (10 of 1000 bytes)" in err

    # Every range carries the ETag from the first look, so a replaced object stops the output.
    def replace_after_first(request):
        if request.headers.get("Range") == "bytes=1000-1999":
            fake.put("media", "k", os.urandom(2500))
        return None

    fake.fail = replace_after_first
    status, out, err = run(capsysbinary, ["--profile", "oss", "cat", "oss://media/k"], mock(fake))
    assert status == 1 and len(out) == 1000 and "412" in err


def test_recursive_delete_needs_confirmation(config, capsysbinary, monkeypatch):
    fake = FakeStore("s3", path_style=True)
    for key in ("d/1", "d/2", "dirty"):
        fake.put("b", key, b"x")
    status, _, err = run(capsysbinary, ["rm", "-r", "s3://b/d"], mock(fake))
    assert status == 2 and "--yes" in err and len(fake.keys("b")) == 3

    class Terminal:
        def __init__(self, answer):
            self.answer = answer

        def isatty(self):
            return True

        def readline(self):
            return self.answer

    monkeypatch.setattr("sys.stdin", Terminal("n\n"))
    status, _, err = run(capsysbinary, ["rm", "-r", "s3://b/d"], mock(fake))
    assert status == 1 and "delete 2 objects under s3://b/d? [y/N]" in err and len(fake.keys("b")) == 3
    monkeypatch.setattr("sys.stdin", Terminal("y\n"))
    status, out, _ = run(capsysbinary, ["rm", "-r", "s3://b/d"], mock(fake))
    # "dirty" shares the text prefix but is not inside the folder.
    assert status == 0 and fake.keys("b") == ["dirty"] and b"deleted 2 objects" in out


def test_recursive_delete_sends_every_key_in_one_batch(config, capsysbinary):
    fake = FakeStore("s3", path_style=True)
    keys = ["t/plain.txt", "t/a b.txt", "t/数据.bin", "t/x&y", "t/<q\"'>"]
    for key in keys:
        fake.put("b", key, b"x")
    status, out, _ = run(capsysbinary, ["rm", "-r", "--yes", "s3://b/t"], mock(fake))
    assert status == 0 and fake.keys("b") == [] and b"deleted 5 objects" in out
    (batch,) = [r for r in fake.requests if r.method == "POST"]
    assert sorted(k.text for k in ET.fromstring(batch.content).iter("Key")) == sorted(keys)
    assert not [r for r in fake.requests if r.method == "DELETE"]


# --- listings the commands act on -------------------------------------------------------------------------------

LISTED = {"s3": ("default", "s3://b/d", "b"), "oss": ("oss", "oss://media/d", "media"),
          "ufile": ("ufile", "ufile://files/d", "files")}


def listing_reply(flavour, keys, marker):
    """One listing page of `keys`; `marker` None for the last page, "" for "truncated" with no way on."""
    if flavour == "ufile":
        return httpx.Response(200, json={"DataSet": [{"FileName": k, "Size": 1} for k in keys],
                                         "NextMarker": marker or ""})
    tag = "NextContinuationToken" if flavour == "s3" else "NextMarker"
    contents = "".join(f"<Contents><Key>{k}</Key><Size>1</Size></Contents>" for k in keys)
    more = f"<{tag}>{marker}</{tag}>" if marker else ""
    return httpx.Response(200, content=f"<ListBucketResult>{contents}<IsTruncated>{str(marker is not None).lower()}"
                                        f"</IsTruncated>{more}</ListBucketResult>".encode())


FAULTS = {
    # fault: (pages served in turn, fragment of the message)
    "foreign key": ([(["d/1", "other"], None)], "returned 'other', outside the prefix 'd"),
    "foreign key on page 2": ([(["d/1"], "d/1"), (["d/2", "e/1"], None)], "returned 'e/1', outside the prefix"),
    "truncated, no marker": ([(["d/1"], "")], "a page says more follow but gives no continuation marker"),
    "marker repeats": ([(["d/1"], "d/1")] * 3, "marker 'd/1' leads back to an earlier page"),
}
COMMANDS = {"rm": ["rm", "-r", "--yes"], "cp": ["cp", "-r"], "du": ["du"], "ls": ["ls", "-r"]}


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("flavour", LISTED)
def test_commands_stop_on_a_listing_they_cannot_trust(config, capsysbinary, tmp_path, flavour, fault, command):
    pages, fragment = FAULTS[fault]
    if flavour == "ufile" and fault.startswith("truncated"):
        pytest.skip("a UFile page is truncated exactly when it names a next marker")
    profile, url, bucket = LISTED[flavour]
    fake = FakeStore(flavour, path_style=flavour == "s3")
    for key in ("d/1", "d/2", "other", "e/1"):
        fake.put(bucket, key, b"x")
    served = iter(pages)
    fake.fail = lambda r: listing_reply(flavour, *next(served)) if r.method == "GET" and not r.url.path.strip(
        "/").removeprefix(bucket) else None
    argv = ["--profile", profile, *COMMANDS[command], url] + ([str(tmp_path / "out")] if command == "cp" else [])
    status, out, err = run(capsysbinary, argv, mock(fake))
    assert status == 1 and fragment in err and err.count("\n") == 1, err
    assert len(fake.keys(bucket)) == 4 and not (tmp_path / "out").exists()
    assert not [r for r in fake.requests if r.method in ("DELETE", "POST") or r.headers.get("Range")]
    # ls acts page by page: all it printed is the first page, where the fault is on the second.
    printed = [line.split()[-1] for line in out.decode().splitlines()]
    assert printed == (["d/1"] if command == "ls" and len(pages) > 1 else [])


def busy_reply(fake, bucket, request, fault):
    """What a busy service answers to a delete: the whole request refused, or a batch's first key."""
    if fault == "connection reset":
        raise httpx.ReadError("Connection reset by peer", request=request)
    if fault == "key InternalError":
        first, *others = [k.text for k in ET.fromstring(request.content).iter("Key")]
        for key in others:
            fake.objects.pop((bucket, key))
        return httpx.Response(200, content=f"<DeleteResult><Error><Key>{first}</Key><Code>InternalError</Code>"
                                           f"<Message>We encountered an internal error.</Message></Error>"
                                           f"</DeleteResult>".encode())
    status = {"500": 500, "503 SlowDown": 503, "429": 429, "403": 403}[fault]
    if fake.flavour == "ufile":
        return httpx.Response(status, json={"RetCode": -1, "ErrMsg": "busy"})
    return httpx.Response(status, content=b"<Error><Code>SlowDown</Code><Message>Reduce your request rate."
                                          b"</Message></Error>")


@pytest.mark.parametrize("fault, times", [("500", 3), ("503 SlowDown", 1), ("429", 1), ("connection reset", 2),
                                          ("key InternalError", 3), ("403", 0)])
@pytest.mark.parametrize("flavour", LISTED)
def test_recursive_delete_retries_a_busy_service(config, capsysbinary, monkeypatch, flavour, fault, times):
    if fault == "key InternalError" and flavour != "s3":
        pytest.skip("deleted one key per request")
    monkeypatch.setattr("cirrova.transfer._engine.BACKOFF_BASE", 0.0)
    profile, url, bucket = LISTED[flavour]
    fake = FakeStore(flavour, path_style=flavour == "s3")
    for key in ("d/1", "d/2", "e/1"):
        fake.put(bucket, key, b"x")
    failures = []
    deleting = {"DELETE", "POST"}

    def fail(request):
        # "403" is never retried: it fails the first time and every time after.
        if request.method in deleting and (fault == "403" or len(failures) < times):
            failures.append(request)
            return busy_reply(fake, bucket, request, fault)
        return None

    fake.fail = fail
    status, out, err = run(capsysbinary, ["--profile", profile, "rm", "-r", "--yes", url], mock(fake))
    sent = [r for r in fake.requests if r.method in deleting]
    if fault == "403":
        # One batch, or one request for each key.
        assert status == 1 and fake.keys(bucket) == ["d/1", "d/2", "e/1"] and "403" in err
        assert len(sent) == (1 if flavour == "s3" else 2)
    else:
        assert status == 0 and fake.keys(bucket) == ["e/1"] and b"deleted 2 objects" in out, err
        # A batch retried after one key's failure carries that key alone.
        if fault == "key InternalError":
            assert [[k.text for k in ET.fromstring(r.content).iter("Key")] for r in sent] == [["d/1", "d/2"]] + [
                ["d/1"]] * 3


def test_tree_upload_skips_what_is_not_a_regular_file(config, capsysbinary, tmp_path):
    import socket

    fake = FakeStore("s3", path_style=True)
    tree = tmp_path / "tree"
    tree.mkdir()
    (tree / "a.txt").write_bytes(b"a")
    os.mkfifo(tree / "pipe")
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(tree / "sock"))
    os.symlink("/dev/null", tree / "dev")
    os.symlink(tree / "missing", tree / "dangling")
    try:
        status, _, err = run(capsysbinary, ["cp", "-r", str(tree), "s3://b/up"], mock(fake))
    finally:
        sock.close()
    assert status == 1 and fake.keys("b") == ["up/a.txt"]
    lines = err.splitlines()
    assert lines[:4] == [f"cirrova: skipped {tree / 'dangling'}: cannot read it (No such file or directory)",
                         f"cirrova: skipped {tree / 'dev'}: a character device",
                         f"cirrova: skipped {tree / 'pipe'}: a named pipe",
                         f"cirrova: skipped {tree / 'sock'}: a socket"]
    assert lines[4:] == [f"cirrova: 4 entries of {tree} skipped: not regular files"]


def test_buckets_listed_made_and_removed(config, capsysbinary):
    seen = []

    def service(request):
        seen.append((request.method, request.url.path, request.url.host))
        if request.method == "GET":
            return httpx.Response(200, content=b"<ListAllMyBucketsResult><Buckets><Bucket><Name>one</Name>"
                                               b"<CreationDate>2026-01-02T03:04:05.000Z</CreationDate></Bucket>"
                                               b"</Buckets></ListAllMyBucketsResult>")
        if request.method == "DELETE":
            return httpx.Response(409, content=b"<Error><Code>BucketNotEmpty</Code><Message>The bucket you tried "
                                               b"to delete is not empty</Message></Error>")
        return httpx.Response(200)

    status, out, _ = run(capsysbinary, ["ls", "--json", "s3://"], mock(service))
    assert status == 0 and json.loads(out) == {"url": "s3://one", "bucket": "one",
                                               "created": "2026-01-02T03:04:05.000Z"}
    status, out, _ = run(capsysbinary, ["--profile", "cos", "mb", "cos://new-1250000000"], mock(service))
    assert status == 0 and seen[-1] == ("PUT", "/", "new-1250000000.cos.ap-beijing.myqcloud.com")
    status, _, err = run(capsysbinary, ["rb", "s3://full"], mock(service))
    assert status == 1 and err == "cirrova: 删除存储桶失败: 409 BucketNotEmpty: The bucket you tried to delete is not empty\n"


def test_recursive_download_refuses_keys_leaving_the_folder(config, capsysbinary, tmp_path):
    fake = FakeStore("oss")
    fake.put("media", "p/ok.txt", b"ok")
    fake.put("media", "p/../../escape.txt", b"bad")
    target = tmp_path / "out"
    status, _, err = run(capsysbinary, ["--profile", "oss", "cp", "-r", "oss://media/p", str(target)], mock(fake))
    assert status == 1 and "refusing key 'p/../../escape.txt'" in err
    assert not (tmp_path / "escape.txt").exists() and not target.exists()


def test_ufile_request_lines_stay_off_standard_output(config, capsysbinary):
    fake = FakeStore("ufile")
    fake.put("files", "k", b"payload")
    status, out, _ = run(capsysbinary, ["--profile", "ufile", "cat", "ufile://files/k"], mock(fake))
    assert status == 0 and out == b"payload"
    status, out, err = run(capsysbinary, ["--debug", "--profile", "ufile", "cat", "ufile://files/k"], mock(fake))
    assert out == b"payload" and "files.cn-bj.ufileos.com/k" in err


# --- cp through the fakes ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("service", SERVICES)
def test_tree_copied_up_and_back_on_each_service(config, capsysbinary, service, tmp_path):
    profile, base, host, auth = SERVICES[service]
    fake = FakeStore("s3" if service == "cos" else service)
    bucket = base.split("://")[1]
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    files = {"one.txt": b"1" * 10, "sub/two.bin": os.urandom(3000), "sub/three": b"3" * 7, "zero": b""}
    for rel, data in files.items():
        (tree / rel).write_bytes(data)
    status, out, err = run(capsysbinary, ["--profile", profile, "cp", "-r", str(tree), base + "/up"], mock(fake))
    assert (status, out, err) == (0, b"", "")
    assert {k: fake.objects[(bucket, k)] for k in fake.keys(bucket)} == {"up/" + r: d for r, d in files.items()}
    assert all(r.url.host == host and r.headers["Authorization"].startswith(auth)
               for r in fake.requests if r.method == "PUT")
    status, _, _ = run(capsysbinary, ["--profile", profile, "cp", "-r", base + "/up", str(tmp_path / "back")],
                       mock(fake))
    assert status == 0
    assert {str(p.relative_to(tmp_path / "back")): p.read_bytes()
            for p in (tmp_path / "back").rglob("*") if p.is_file()} == files


def test_single_copies_name_their_targets(config, capsysbinary, tmp_path):
    fake = FakeStore("s3", path_style=True)
    source = tmp_path / "report.csv"
    source.write_bytes(b"a,b\n")
    for dst, key in (("s3://b", "report.csv"), ("s3://b/dir/", "dir/report.csv"), ("s3://b/exact", "exact")):
        assert run(capsysbinary, ["cp", str(source), dst], mock(fake))[0] == 0
        assert fake.objects.pop(("b", key)) == b"a,b\n"
    fake.put("b", "dir/data.bin", b"payload")
    (tmp_path / "into").mkdir()
    assert run(capsysbinary, ["cp", "s3://b/dir/data.bin", str(tmp_path / "into")], mock(fake))[0] == 0
    assert (tmp_path / "into" / "data.bin").read_bytes() == b"payload"
    assert run(capsysbinary, ["cp", "s3://b/dir/data.bin", "s3://b/"], mock(fake))[0] == 0
    assert fake.objects[("b", "data.bin")] == b"payload"
    status, _, err = run(capsysbinary, ["cp", str(tmp_path / "nope"), "s3://b/"], mock(fake))
    assert status == 1 and "cannot read" in err and "No such file" in err
    status, _, err = run(capsysbinary, ["cp", "s3://b/none", str(tmp_path)], mock(fake))
    assert (status, err) == (1, "cirrova: no such object: s3://b/none\n")
    status, _, err = run(capsysbinary, ["cp", str(tmp_path), "s3://b/"], mock(fake))
    assert status == 2 and "add --recursive" in err


def test_cross_service_multipart_copy(config, capsysbinary):
    from transfer_fakes import FakeStore as PartStore

    oss, ufile = PartStore("oss"), PartStore("ufile")
    blob = os.urandom(13 * 1024 * 1024)
    oss.objects["big/object.bin"] = blob
    routes = mock(Hosts(**{".aliyuncs.com": oss, ".ufileos.com": ufile}))
    argv = ["cp", "--src-profile", "oss", "--dst-profile", "ufile", "--part-size", "5MiB",
            "oss://media/big/object.bin", "ufile://files/copied/"]
    status, out, err = run(capsysbinary, argv, routes)
    assert (status, out, err) == (0, b"", "")
    assert ufile.objects["copied/object.bin"] == blob
    assert ufile.count("part") >= 2 and ufile.count("initiate") == 1
    # Each side was reached with its own profile's credentials.
    assert all(entry[3]["authorization"].startswith("OSS4-HMAC-SHA256 Credential=LTAIOSS/") for entry in oss.log)
    assert all(entry[3]["authorization"].startswith("UCloud pub-ufile:") for entry in ufile.log)
    status, _, err = run(capsysbinary, ["cp", "oss://media/big/object.bin", "ufile://files/x"], routes)
    assert status == 2 and "profile 'default' is for s3" in err


def test_one_failed_file_does_not_stop_a_recursive_copy(config, capsysbinary, tmp_path):
    from transfer_fakes import FakeStore as PartStore

    store = PartStore("oss")
    tree = tmp_path / "t"
    tree.mkdir()
    for name in ("a", "b", "c"):
        (tree / name).write_bytes(name.encode() * 100)
    (tree / "large").write_bytes(b"L" * (5 * 1024 * 1024 + 1))  # copied on its own, not in the batch
    (tree / "larger").write_bytes(b"M" * (5 * 1024 * 1024 + 2))

    def refuse_two(request):
        if request.method in ("PUT", "POST") and request.url.path in ("/t/b", "/t/large"):
            return httpx.Response(403, content=b"<Error><Code>AccessDenied</Code></Error>")
        return store(request)

    status, _, err = run(capsysbinary, ["--profile", "oss", "cp", "-r", "--part-size", "5MiB", str(tree),
                                        "oss://media/t"], mock(refuse_two))
    assert status == 1 and err.startswith("cirrova: 2 of 5 copies failed; first b: ") and err.count("\n") == 1
    assert "403 AccessDenied" in err
    assert sorted(store.objects) == ["t/a", "t/c", "t/larger"]


def test_ctrl_c_during_a_download_leaves_no_file(config, capsysbinary, tmp_path):
    fake = FakeStore("s3", path_style=True)
    fake.put("b", "big", os.urandom(12 * 1024 * 1024))

    def interrupt_later_parts(request):
        if request.headers.get("Range", "").startswith("bytes=5242880"):
            raise KeyboardInterrupt
        return None

    fake.fail = interrupt_later_parts
    target = tmp_path / "big"
    status, _, err = run(capsysbinary, ["cp", "--part-size", "5MiB", "--concurrency", "1", "s3://b/big",
                                        str(target)], mock(fake))
    assert (status, err) == (130, "cirrova: interrupted\n")
    assert list(tmp_path.iterdir()) == [tmp_path / "config.toml"]


@pytest.mark.parametrize("target_kind", ["fifo", "device"])
def test_cp_onto_a_device_or_pipe_writes_through_it(config, capsysbinary, tmp_path, target_kind):
    import stat
    import threading

    from test_transfer_hostile import fifo_reader

    fake = FakeStore("s3", path_style=True)
    data = os.urandom(3 * 1024 * 1024)
    fake.put("b", "k", data)
    got = bytearray()
    reader = None
    if target_kind == "fifo":
        target = tmp_path / "pipe"
        os.mkfifo(target)
        reader = threading.Thread(target=fifo_reader, args=(target, len(data), got), daemon=True)
        reader.start()
    else:
        if os.geteuid() != 0:
            pytest.skip("making a device node needs root")
        target = tmp_path / "null"  # a node of /dev/null's own device
        os.mknod(target, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    status, _, err = run(capsysbinary, ["cp", "--part-size", "1MiB", "s3://b/k", str(target)], mock(fake))
    assert status == 0, err
    if reader is not None:
        reader.join(60)
        assert bytes(got) == data
    kind = stat.S_ISFIFO if target_kind == "fifo" else stat.S_ISCHR
    assert kind(os.stat(target).st_mode) and sorted(os.listdir(tmp_path)) == sorted(["config.toml", target.name])


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_bars_only_on_a_terminal_and_not_with_quiet(config, capsysbinary, tmp_path, monkeypatch):

    fake = FakeStore("s3", path_style=True)
    source = tmp_path / "file.bin"
    source.write_bytes(os.urandom(300_000))
    for argv, drawn in ((["cp"], True), (["--quiet", "cp"], False), (["cp", "-q"], False)):
        screen = Terminal()
        monkeypatch.setattr("sys.stderr", screen)
        assert main(argv + [str(source), "s3://b/"], transport=mock(fake)) == 0
        text = screen.getvalue()
        assert ("293.0/293.0 KiB" in text and "file.bin" in text) is drawn and (text == "") is not drawn, text


def test_native_transport_used_where_it_is_built(config, capsysbinary, monkeypatch):
    import sys
    import types

    fake = FakeStore("s3", path_style=True)
    fake.put("b", "k", b"through the native transport")
    made = []

    class NativeTransport(httpx.MockTransport):
        def __init__(self, limits):
            made.append(limits)
            super().__init__(fake)

    monkeypatch.setitem(sys.modules, "cirrova.transport", types.SimpleNamespace(NativeTransport=NativeTransport))
    status, out, _ = run(capsysbinary, ["cat", "s3://b/k"])
    assert (status, out) == (0, b"through the native transport")
    (limits,) = made
    assert limits.max_keepalive_connections >= 16 and limits.max_connections >= 100
    # Without it, httpx's own transport: the request goes to the network and fails to connect here.
    monkeypatch.setitem(sys.modules, "cirrova.transport", None)
    status, _, err = run(capsysbinary, ["--endpoint", "http://127.0.0.1:9", "cat", "s3://b/k"])
    assert status == 1 and err.startswith("cirrova: ConnectError: ")


def test_batch_bars_follow_each_item_and_the_total():
    from cirrova.cli.progress import Bars

    with Bars(Terminal(), True) as bars:
        rows = lambda: {t.description: t.completed for t in bars._progress.tasks}  # noqa: E731
        total = bars.add("total", 30)
        callback, finish = bars.batch_callback(["a", "b", "c"], [10, 10, 10], total)
        # The batch reports bytes over all items, with the index of the item that moved them.
        callback(1, 3, 4, 30)
        assert rows() == {"total": 4, "b": 4}
        callback(0, 3, 14, 30)  # "a" arrived whole in one report: no bar needed
        callback(2, 3, 17, 30)
        assert rows() == {"total": 17, "b": 4, "c": 3}
        callback(1, 3, 23, 30)  # "b" complete
        assert rows() == {"total": 23, "c": 3}
        finish()  # "c" failed: its bar goes
        assert rows() == {"total": 23}
    silent = Bars(Terminal(), False)
    with silent:
        assert silent.batch_callback(["a"], [1], None)[0] is None and silent.add("x", 1) is None
