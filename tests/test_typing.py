"""The stubs agree with the modules, and a user's script over every client type-checks strictly and runs."""

import json
import os
import subprocess
import sys
import sysconfig

import httpx
import pytest

import cirrova

pytest.importorskip("mypy")

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(cirrova.__file__)))


def run_mypy(tmp_path, *args):
    # An installed package is found through the interpreter's site-packages; a source tree
    # (the in-place build) through MYPYPATH, which must not name site-packages, and PYTHONPATH.
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if os.path.realpath(PACKAGE_PARENT) != os.path.realpath(sysconfig.get_paths()["purelib"]):
        env["MYPYPATH"] = PACKAGE_PARENT
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_PARENT, env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=600)


def test_stubtest_finds_nothing(tmp_path):
    done = run_mypy(tmp_path, "mypy.stubtest", "cirrova", "--allowlist", os.path.join(HERE, "stubtest_allowlist.txt"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_user_script_passes_strict_mypy(tmp_path):
    script = os.path.join(HERE, "typed_usage.py")
    done = run_mypy(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), script)
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_sees_the_real_types(tmp_path):
    # Mistakes a user makes must be reported: the stubs are in effect, not Any.
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from cirrova.korvex import KorvexClient\n"
        "from cirrova.dramlet import DramletFileClient\n"
        "c = KorvexClient('a', 's', 'b')\n"
        "c.upload(1, b'x')\n"
        "n: str = c.list()['is_truncated']\n"
        "c.get_bucket_stats()['objects']\n"
        "DramletFileClient('p', 'k', 'b').list()['objects'][0]['last_modified']\n")
    done = run_mypy(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(bad))
    assert done.returncode == 1
    for line in (4, 5, 6, 7):
        assert f"bad.py:{line}: error" in done.stdout, done.stdout


def test_user_script_runs(capsys):
    sys.path.insert(0, HERE)
    try:
        import typed_usage
    finally:
        sys.path.remove(HERE)

    listing_xml = ("<ListBucketResult><IsTruncated>false</IsTruncated>"
                   "<Contents><Key>a/b.txt</Key><Size>5</Size><ETag>\"e\"</ETag></Contents>"
                   "<Deleted><Key>a/b.txt</Key></Deleted></ListBucketResult>")
    files = {"DataSet": [{"FileName": "a/b.txt", "Size": 5, "ModifyTime": 1, "MimeType": "text/plain",
                          "Etag": "e"}]}

    def service(request):
        if request.url.host.endswith("ufileos.com"):
            return httpx.Response(200, content=json.dumps(files).encode())
        return httpx.Response(200, headers={"Content-Type": "application/xml"}, text=listing_xml)

    typed_usage.main(httpx.Client(transport=httpx.MockTransport(service)))
    out = capsys.readouterr().out
    assert "'object_count': 1, 'total_size': 5" in out
    assert "{'deleted': ['a/b.txt'], 'errors': []}" in out
    assert "'1250000000'" in out
