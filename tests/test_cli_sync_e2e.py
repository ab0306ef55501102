"""sync, mv, patterns, checksums and credentials from the environment, end to end against s3rver."""

import base64
import hashlib
import json
import os
import uuid

import pytest

from cirrova.cli import main
from cirrova.korvex import KorvexClient

from test_cli_e2e import cli, config, server  # noqa: F401  (fixtures)

MiB = 1024 * 1024


@pytest.fixture
def bucket(config, capsysbinary):  # noqa: F811
    name = "sync-" + uuid.uuid4().hex[:12]
    assert cli(capsysbinary, config, "mb", f"s3://{name}")[0] == 0
    return f"s3://{name}"


def write_tree(root, files):
    for rel, data in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def read_tree(root):
    return {str(p.relative_to(root)).replace(os.sep, "/"): p.read_bytes()
            for p in sorted(root.rglob("*")) if p.is_file()}


def summary(out):
    return out.decode().strip().splitlines()[-1]


TREE = {"ab": b"after the folder a", "a/b/c.bin": os.urandom(6 * MiB + 5), "a/x.txt": b"x" * 1000, "empty": b"", "z z.txt": b"zz"}


def test_sync_both_ways_repeats_as_no_op_and_compares_content_on_request(config, bucket, capsysbinary, tmp_path):  # noqa: F811
    src, back = tmp_path / "src", tmp_path / "back"
    write_tree(src, TREE)
    sync = lambda *a: cli(capsysbinary, config, "sync", "--part-size", "5MiB", *a)  # noqa: E731
    status, out, err = sync(str(src), bucket + "/t")
    assert (status, summary(out), err) == (0, "5 copied, 0 deleted, 0 skipped, 0 failed", "")
    # The multipart object carries the checksum metadata of its whole content.
    status, out, _ = cli(capsysbinary, config, "stat", "--json", bucket + "/t/a/b/c.bin")
    assert json.loads(out)["metadata"]["cirrova-md5"] == base64.b64encode(hashlib.md5(TREE["a/b/c.bin"]).digest()).decode()

    for direction in ((str(src), bucket + "/t"), (bucket + "/t", str(back)), (bucket + "/t", bucket + "/copy")):
        status, out, err = sync(*direction)
        assert status == 0, err
        if direction[1] != bucket + "/t":
            assert summary(out) == "5 copied, 0 deleted, 0 skipped, 0 failed"
        for extra in ([], ["--checksum"]):
            status, out, _ = sync(*extra, *direction)
            assert (status, summary(out)) == (0, "0 copied, 0 deleted, 5 skipped, 0 failed"), (direction, extra)
    assert read_tree(back) == TREE
    status, out, _ = cli(capsysbinary, config, "cat", bucket + "/copy/a/b/c.bin")
    assert out == TREE["a/b/c.bin"]

    # Same size, other content: only --checksum sees it, for a single-request and a multipart object alike.
    changed = {"a/x.txt": b"y" * 1000, "a/b/c.bin": os.urandom(6 * MiB + 5)}
    write_tree(src, changed)
    assert summary(sync(str(src), bucket + "/t")[1]) == "0 copied, 0 deleted, 5 skipped, 0 failed"
    assert summary(sync("--checksum", str(src), bucket + "/t")[1]) == "2 copied, 0 deleted, 3 skipped, 0 failed"
    assert summary(sync("--checksum", bucket + "/t", str(back))[1]) == "2 copied, 0 deleted, 3 skipped, 0 failed"
    assert read_tree(back) == {**TREE, **changed}


@pytest.mark.parametrize("direction", ["up", "down"])
def test_delete_dry_run_then_for_real(config, bucket, capsysbinary, tmp_path, direction):  # noqa: F811
    local = tmp_path / "tree"
    write_tree(local, {"keep": b"k", "sub/also": b"a"})
    assert cli(capsysbinary, config, "sync", str(local), bucket + "/d")[0] == 0
    if direction == "up":  # SRC local lacks "sub/also": the object goes
        (local / "sub" / "also").unlink()
        args, gone = [str(local), bucket + "/d"], bucket + "/d/sub/also"
    else:  # SRC remote lacks "extra": the file goes
        (local / "extra").write_bytes(b"e")
        args, gone = [bucket + "/d", str(local)], str(local / "extra")
    kept = 1 if direction == "up" else 2
    status, out, _ = cli(capsysbinary, config, "sync", "--delete", "--dry-run", *args)
    assert (status, summary(out)) == (0, f"dry run: 0 copied, 1 deleted, {kept} skipped, 0 failed")
    assert f"would delete {gone}" in out.decode()
    status, _, err = cli(capsysbinary, config, "sync", "--delete", *args)  # standard input is no terminal
    assert status == 2 and "--yes" in err
    status, out, _ = cli(capsysbinary, config, "sync", "--delete", "--yes", *args)
    assert status == 0 and f"deleted {gone}" in out.decode()
    status, out, _ = cli(capsysbinary, config, "du", "--json", bucket + "/d")
    assert json.loads(out)["objects"] == kept and len(read_tree(local)) == kept and "extra" not in read_tree(local)
    assert summary(cli(capsysbinary, config, "sync", "--delete", "--yes", *args)[1]) == \
        f"0 copied, 0 deleted, {kept} skipped, 0 failed"


def test_patterns_select_for_cp_rm_sync_and_glob_sources(config, bucket, capsysbinary, tmp_path):  # noqa: F811
    write_tree(tmp_path / "logs", {"2024-01.gz": b"1", "2024-02.gz": b"2", "2023-12.gz": b"0",
                                   "old/2024-03.gz": b"3", "app.log": b"l", "keep.log": b"k"})
    # The last matching rule decides; "*" crosses "/" in filters.
    assert cli(capsysbinary, config, "cp", "-r", "--exclude", "*.log", "--include", "keep.log",
               "--exclude", "old/*", str(tmp_path / "logs"), bucket + "/logs")[0] == 0
    status, out, _ = cli(capsysbinary, config, "ls", "-r", "--json", bucket + "/logs/")
    assert sorted(json.loads(line)["key"] for line in out.decode().splitlines()) == [
        "logs/2023-12.gz", "logs/2024-01.gz", "logs/2024-02.gz", "logs/keep.log"]
    assert summary(cli(capsysbinary, config, "sync", "--exclude", "*", "--include", "old/*",
                       str(tmp_path / "logs"), bucket + "/logs")[1]) == "1 copied, 0 deleted, 0 skipped, 0 failed"

    # A glob source needs no -r, and "*" stays within one segment as in a shell.
    status, out, _ = cli(capsysbinary, config, "cp", bucket + "/logs/2024-*.gz", str(tmp_path / "got") + os.sep)
    assert status == 0 and read_tree(tmp_path / "got") == {"2024-01.gz": b"1", "2024-02.gz": b"2"}
    status, _, _ = cli(capsysbinary, config, "cp", bucket + "/logs/*/2024-0[3-9].gz", str(tmp_path / "nested"))
    assert status == 0 and read_tree(tmp_path / "nested") == {"old/2024-03.gz": b"3"}

    status, out, _ = cli(capsysbinary, config, "rm", "-r", "--yes", "--exclude", "*.gz", bucket + "/logs")
    assert status == 0 and b"deleted 1 objects" in out
    status, out, _ = cli(capsysbinary, config, "rm", "--yes", bucket + "/logs/*[13].gz")  # not old/2024-03.gz
    assert status == 0 and b"deleted 1 objects" in out
    status, out, _ = cli(capsysbinary, config, "ls", "-r", "--json", bucket + "/logs/")
    assert sorted(json.loads(line)["key"] for line in out.decode().splitlines()) == [
        "logs/2023-12.gz", "logs/2024-02.gz", "logs/old/2024-03.gz"]


def test_mv_deletes_each_source_that_copied(config, bucket, capsysbinary, tmp_path):  # noqa: F811
    write_tree(tmp_path / "out", {"a": b"a", "b/c": b"c"})
    status, _, _ = cli(capsysbinary, config, "mv", "-r", str(tmp_path / "out"), bucket + "/moved")
    assert status == 0 and read_tree(tmp_path / "out") == {}
    status, _, _ = cli(capsysbinary, config, "mv", bucket + "/moved/b/*", bucket + "/again/")
    assert status == 0
    status, out, _ = cli(capsysbinary, config, "ls", "-r", "--json", bucket)
    assert sorted(json.loads(line)["key"] for line in out.decode().splitlines()) == ["again/c", "moved/a"]
    status, _, _ = cli(capsysbinary, config, "mv", bucket + "/moved/a", bucket + "/moved/")  # onto itself
    assert status == 0 and cli(capsysbinary, config, "stat", bucket + "/moved/a")[0] == 0
    status, _, _ = cli(capsysbinary, config, "mv", bucket + "/moved/a", str(tmp_path / "a"))
    assert status == 0 and (tmp_path / "a").read_bytes() == b"a"
    status, out, _ = cli(capsysbinary, config, "ls", "-r", "--json", bucket + "/moved/")
    assert out == b""


def test_credentials_from_the_environment_only(server, capsysbinary, tmp_path, monkeypatch):  # noqa: F811
    monkeypatch.delenv("CIRROVA_CONFIG", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))  # no configuration file there
    for name, value in {"AWS_ACCESS_KEY_ID": "S3RVER", "AWS_SECRET_ACCESS_KEY": "S3RVER",
                        "AWS_SESSION_TOKEN": "session-token-1", "AWS_ENDPOINT_URL": server.endpoint,
                        "AWS_REGION": "us-east-1"}.items():
        monkeypatch.setenv(name, value)
    url = "s3://env-" + uuid.uuid4().hex[:12]
    assert main(["mb", url]) == 0
    (tmp_path / "f").write_bytes(b"from the environment")
    assert main(["--debug", "cp", str(tmp_path / "f"), url + "/f"]) == 0
    status, out, err = main(["cat", url + "/f"]), *capsysbinary.readouterr()
    assert status == 0 and out.endswith(b"from the environment")
    assert b"s3:// settings from the environment (AWS_ACCESS_KEY_ID" in err
    assert b"session-token-1" not in err

    # A profile wins over the environment; a profile file others can read gets one warning, and runs.
    config = tmp_path / ".config" / "cirrova" / "config.toml"
    config.parent.mkdir(parents=True)
    config.write_text(f'[profiles.default]\nservice = "s3"\naccess_key = "S3RVER"\nsecret_key = "S3RVER"\n'
                      f'endpoint = "{server.endpoint}"\n')
    config.chmod(0o644)
    monkeypatch.setenv("AWS_ENDPOINT_URL", "http://127.0.0.1:9")  # nothing listens there
    status = main(["--debug", "cat", url + "/f"])
    out, err = capsysbinary.readouterr()
    assert status == 0 and out.endswith(b"from the environment")
    assert b"settings from profile 'default'" in err
    assert err.count(b"warning: permissions 0644") == 1 and b"chmod 600" in err
    config.chmod(0o600)
    assert main(["stat", url + "/f"]) == 0 and b"warning" not in capsysbinary.readouterr().err


def test_a_download_that_is_not_its_recorded_md5_fails_and_keeps_the_target(server, config, bucket,  # noqa: F811
                                                                             capsysbinary, tmp_path):
    data = os.urandom(1000)
    client = KorvexClient("S3RVER", "S3RVER", bucket[5:], endpoint=server.endpoint)
    recorded = base64.b64encode(hashlib.md5(data).digest()).decode()
    client.upload("g", data[::-1], headers={"x-amz-meta-cirrova-md5": recorded})
    target = tmp_path / "target"
    target.write_bytes(b"previous")
    for argv in (["cp", bucket + "/g", str(target)], ["sync", bucket, str(tmp_path)]):
        status, _, err = cli(capsysbinary, config, *argv)
        assert status == 1 and "MD5" in err and target.read_bytes() == b"previous"
        assert os.listdir(tmp_path) == ["target"]  # no temporary file left either
    status, _, _ = cli(capsysbinary, config, "cp", "--no-checksum", bucket + "/g", str(target))
    assert status == 0 and target.read_bytes() == data[::-1]
