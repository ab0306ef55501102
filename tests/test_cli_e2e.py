"""The command line against a local s3rver, with a profile file the tests write: in-process for speed, as a
real process, and in a real terminal (tmux) for the progress bar."""

import importlib.metadata
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import uuid

import httpx
import pytest

from cirrova.cli import main
from sigint import default_in_child

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))



@pytest.fixture(scope="module")
def server(s3_server):
    return s3_server


@pytest.fixture(scope="module")
def config(server, tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "config.toml"
    path.write_text(f'[profiles.default]\nservice = "s3"\naccess_key = "S3RVER"\nsecret_key = "S3RVER"\n'
                    f'endpoint = "{server.endpoint}"\nregion = "us-east-1"\n')
    return str(path)


def _distribution_installed():
    try:
        importlib.metadata.distribution("cirrova")
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


def child_env():
    """The environment for a `python -m cirrova` child: the source tree unless the package is installed."""
    env = dict(os.environ)
    if os.environ.get("CIRROVA_INSTALLED") != "1":
        env["PYTHONPATH"] = ROOT + os.pathsep + env.get("PYTHONPATH", "")
    return env


def cli(capsysbinary, config, *argv):
    status = main(["--config", config, *argv])
    out = capsysbinary.readouterr()
    return status, out.out, out.err.decode()


def test_a_session_of_commands(server, config, capsysbinary, tmp_path):
    bucket = "cli-" + uuid.uuid4().hex[:12]
    url = f"s3://{bucket}"
    blob = os.urandom(11 * 1024 * 1024 + 123)  # three parts of 5 MiB
    (tmp_path / "blob.bin").write_bytes(blob)
    tree = tmp_path / "tree"
    (tree / "sub" / "deeper").mkdir(parents=True)
    files = {"a.txt": b"alpha", "sub/b b.txt": b"beta" * 1000, "sub/deeper/c.bin": os.urandom(6 * 1024 * 1024),
             "empty": b""}
    for rel, data in files.items():
        (tree / rel).write_bytes(data)

    assert cli(capsysbinary, config, "mb", url)[0] == 0
    status, _, err = cli(capsysbinary, config, "cp", "--part-size", "5MiB", str(tmp_path / "blob.bin"), url + "/in/")
    assert status == 0 and err == ""  # no bars: stderr is not a terminal
    status, out, _ = cli(capsysbinary, config, "cat", url + "/in/blob.bin")
    assert status == 0 and out == blob

    status, out, _ = cli(capsysbinary, config, "stat", "--json", url + "/in/blob.bin")
    info = json.loads(out)
    assert info["size"] == len(blob) and info["url"] == url + "/in/blob.bin" and re.fullmatch(r"[0-9a-f-]+", info["etag"])
    status, out, _ = cli(capsysbinary, config, "ls", "--json", url)
    assert [json.loads(line) for line in out.decode().splitlines()] == [{"url": url + "/in/", "prefix": "in/"}]
    status, out, _ = cli(capsysbinary, config, "ls", "--json", "-r", url)
    (row,) = [json.loads(line) for line in out.decode().splitlines()]
    assert (row["key"], row["size"], row["etag"]) == ("in/blob.bin", len(blob), info["etag"])

    status, _, _ = cli(capsysbinary, config, "cp", url + "/in/blob.bin", str(tmp_path / "down") + os.sep)
    assert status == 0 and (tmp_path / "down" / "blob.bin").read_bytes() == blob

    assert cli(capsysbinary, config, "cp", "-r", "--part-size", "5MiB", str(tree), url + "/tree")[0] == 0
    status, out, _ = cli(capsysbinary, config, "du", "--json", url + "/tree")
    assert json.loads(out)["objects"] == 4 and json.loads(out)["bytes"] == sum(map(len, files.values()))
    assert cli(capsysbinary, config, "cp", "-r", url + "/tree/", str(tmp_path / "back"))[0] == 0
    for rel, data in files.items():
        assert (tmp_path / "back" / rel).read_bytes() == data, rel
    # A server-side tree copy between two prefixes.
    assert cli(capsysbinary, config, "cp", "-r", url + "/tree", url + "/copy")[0] == 0
    status, out, _ = cli(capsysbinary, config, "cat", url + "/copy/sub/deeper/c.bin")
    assert out == files["sub/deeper/c.bin"]

    status, out, _ = cli(capsysbinary, config, "presign", "--expires", "300", url + "/tree/sub/b b.txt")
    shared = out.decode().strip()
    assert status == 0 and "X-Amz-Signature=" in shared
    assert httpx.get(shared).content == files["sub/b b.txt"]

    status, out, _ = cli(capsysbinary, config, "rm", "-r", "--dry-run", url)
    assert status == 0 and b"9 objects would be deleted" in out
    assert cli(capsysbinary, config, "du", "--json", url)[1].count(b'"objects": 9') == 1
    status, _, err = cli(capsysbinary, config, "rb", url)
    assert status == 1 and "BucketNotEmpty" in err
    status, out, _ = cli(capsysbinary, config, "rm", "-r", "--yes", url)
    assert status == 0 and b"deleted 9 objects" in out
    assert cli(capsysbinary, config, "rb", url)[0] == 0
    status, _, err = cli(capsysbinary, config, "ls", url)
    assert status == 1 and "NoSuchBucket" in err


def test_as_a_process(server, config, tmp_path):
    bucket = "proc-" + uuid.uuid4().hex[:12]
    source = tmp_path / "hello.txt"
    source.write_bytes(b"hello from a process")

    def cirrova(*argv, **kw):
        return subprocess.run([sys.executable, "-m", "cirrova", "--config", config, *argv], capture_output=True,
                              env=child_env(), timeout=120, **kw)

    assert cirrova("mb", f"s3://{bucket}").returncode == 0
    done = cirrova("cp", "-", f"s3://{bucket}/piped.txt", input=b"from standard input")
    assert done.returncode == 0 and done.stderr == b""
    done = cirrova("cp", str(source), f"s3://{bucket}/")
    assert done.returncode == 0
    done = cirrova("cat", f"s3://{bucket}/piped.txt")
    assert (done.returncode, done.stdout) == (0, b"from standard input")
    done = cirrova("ls", "--json", f"s3://{bucket}")
    assert [json.loads(line)["key"] for line in done.stdout.splitlines()] == ["hello.txt", "piped.txt"]
    done = cirrova("stat", f"s3://{bucket}/missing")
    assert done.returncode == 1 and done.stderr == f"cirrova: no such object: s3://{bucket}/missing\n".encode()
    done = cirrova("ls", "webdav://x")
    assert done.returncode == 2 and b"Traceback" not in done.stderr
    # Where the distribution is installed (a wheel, not the source tree or a staged copy), its console
    # script runs the same entry point.
    script = os.path.join(os.path.dirname(sys.executable), "cirrova")
    if _distribution_installed():
        done = subprocess.run([script, "--config", config, "cat", f"s3://{bucket}/hello.txt"], capture_output=True,
                              timeout=60)
        assert (done.returncode, done.stdout) == (0, b"hello from a process")


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "big.bin"
    with open(path, "wb") as f:
        for _ in range(24):
            f.write(os.urandom(4 * 1024 * 1024))
    return path


def test_ctrl_c_in_a_process_leaves_nothing_behind(server, config, big, tmp_path):
    bucket = "int-" + uuid.uuid4().hex[:12]
    assert main(["--config", config, "mb", f"s3://{bucket}"]) == 0
    assert main(["--config", config, "cp", str(big), f"s3://{bucket}/big.bin"]) == 0
    target = tmp_path / "out"
    target.mkdir()
    child = subprocess.Popen([sys.executable, "-m", "cirrova", "--config", config, "cp", "--concurrency", "1",
                              "--part-size", "1MiB", f"s3://{bucket}/big.bin", str(target / "big.bin")],
                             env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=default_in_child)  # Ctrl-C works even when the suite runs with it ignored
    # Interrupt once bytes are arriving in the download's temporary file.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not any(os.path.getsize(p) if p.exists() else 0 for p in target.iterdir()):
        time.sleep(0.01)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert (child.returncode, out, err) == (130, b"", b"cirrova: interrupted\n")
    assert os.listdir(target) == []


def test_progress_bar_moves_in_a_terminal(server, config, big, tmp_path):
    if shutil.which("tmux") is None:
        pytest.skip("tmux is not installed: the progress bar needs a real terminal (tools/test installs tmux)")
    bucket = "bar-" + uuid.uuid4().hex[:12]
    assert main(["--config", config, "mb", f"s3://{bucket}"]) == 0
    session = "cirrova-" + uuid.uuid4().hex[:8]
    done_file = tmp_path / "status"
    # One request at a time in small parts keeps the copy going long enough to watch.
    command = (f"{sys.executable} -m cirrova --config {config} cp --concurrency 1 --part-size 5MiB "
               f"{big} s3://{bucket}/big.bin; echo $? > {done_file}")
    # The tmux server keeps the environment it was started with; the child gets its own settings here.
    env_args = ["COLUMNS=160"] + ([f"PYTHONPATH={child_env()['PYTHONPATH']}"] if "PYTHONPATH" in child_env() else [])
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "160", "-y", "20",
                    "env", *env_args, "sh", "-c", command + "; sleep 30"], check=True)
    try:
        seen = []
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not done_file.exists():
            screen = subprocess.run(["tmux", "capture-pane", "-p", "-t", session], capture_output=True,
                                    text=True).stdout
            seen += re.findall(r"([\d.]+)/96\.0 MiB", screen)
            time.sleep(0.05)
        assert done_file.exists() and done_file.read_text().strip() == "0"
        final = subprocess.run(["tmux", "capture-pane", "-p", "-t", session], capture_output=True, text=True).stdout
    finally:
        subprocess.run(["tmux", "kill-session", "-t", session], capture_output=True)
    figures = sorted({float(x) for x in seen})
    # The bar showed at least two different amounts while it ran, and ended at the whole file.
    assert len(figures) >= 2, seen
    assert "96.0/96.0 MiB" in final and "big.bin" in final
    assert "MiB/s" in final or "MB/s" in final
