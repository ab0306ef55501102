"""Threads, interpreter exit and module lifetime: Python code never crashes the process.

Each case runs in a child interpreter so that a crash fails the test instead of the run.
"""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import cirrova
from rawserver import RawServer, response, silent

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(cirrova.__file__)))

CLIENTS = {
    "korvex": "from cirrova.korvex import KorvexClient as C; args = ('AK', 'SK', 'b')",
    "bellwyn": "from cirrova.bellwyn import BellwynClient as C; args = ('id', 'key', 'b-1250000000', 'ap-x')",
    "dramlet": "from cirrova.dramlet import DramletFileClient as C; args = ('pub', 'priv', 'b')",
    "pelorin": "from cirrova.pelorin import PelorinOSSClient as C; args = ('id', 'secret', 'b')",
}


def child(code, *argv, threads_left_at_exit=False):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")])))
    if threads_left_at_exit and "ASAN_OPTIONS" in env:
        # Under the sanitizer build: threads ended or parked at exit never run their thread-local
        # destructors, so what those hold is not a leak.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return subprocess.Popen([sys.executable, "-c", code, *argv], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(proc, timeout=60):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"child hung: {err[-2000:]}")
    return proc.returncode, out, err


EXIT_DURING_CALLS = r"""
import contextlib, os, sys, tempfile, threading, time, httpx
{imports}
def reply(request):
    if request.method == "HEAD":
        return httpx.Response(200, headers={{"Content-Length": "8", "ETag": '"e"'}})
    return httpx.Response(206, content=b"data", headers={{"Content-Range": "bytes 0-3/8"}})
c = C(*args, http_client=httpx.Client(transport=httpx.MockTransport(reply)))
out = os.path.join(tempfile.mkdtemp(), "f")
def loop(call):
    while True:
        with contextlib.suppress(Exception):
            call()
calls = [lambda: c.head("k"), lambda: c.head("k"), lambda: c.multipart_download("k", out, part_size=4),
         lambda: c.list()]
for call in calls:
    threading.Thread(target=loop, args=(call,), daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.parametrize("name", sorted(CLIENTS))
def test_interpreter_exit_while_daemon_threads_are_inside_calls(name):
    # The interpreter ends such threads with a forced unwind through the C++
    # frames: it must pass through untouched and touch no Python object.
    code = EXIT_DURING_CALLS.format(imports=CLIENTS[name])
    procs = [child(code, threads_left_at_exit=True) for _ in range(6)]
    for proc in procs:
        rc, out, err = finish(proc)
        assert rc == 0, err[-2000:]


MODULE_DROPPED = r"""
import gc, sys, httpx
name = sys.argv[1]
page = (b"<ListBucketResult><IsTruncated>false</IsTruncated>"
        b"<Contents><Key>a</Key><Size>1</Size></Contents></ListBucketResult>")
http = httpx.Client(transport=httpx.MockTransport(lambda r: httpx.Response(200, content=page)))
if name == "korvex":
    import cirrova.korvex as m
    c = m.KorvexClient("AK", "SK", "b", http_client=http)
else:
    import cirrova.pelorin as m
    c = m.PelorinOSSClient("AK", "SK", "b", http_client=http)
import cirrova
full = m.__name__
del m, sys.modules[full]
delattr(cirrova, name)
gc.collect()
for _ in range(3):
    junk = [bytearray(64) for _ in range(2000)]  # reuse whatever memory was freed
    print([o["key"] for o in c.list()["objects"]])
"""


@pytest.mark.parametrize("name", ["korvex", "pelorin"])
def test_clients_outlive_their_module_dropped_from_sys_modules(name):
    rc, out, err = finish(child(MODULE_DROPPED, name))
    assert rc == 0, err[-2000:]
    assert out.split("\n")[:3] == ["['a']"] * 3


RECURSING_OVERRIDE = r"""
import sys, threading, httpx
{imports}
class Loop(C):
    def _request(self, *a, **k):
        return self.head("k")
results = []
def run():
    c = Loop(*args, http_client=httpx.Client(transport=httpx.MockTransport(lambda r: httpx.Response(200))))
    for _ in range(2):  # the error leaves the thread able to recurse again
        try:
            c.head("k")
        except RecursionError:
            results.append("RecursionError")
        except Exception as exc:
            results.append(type(exc).__name__)
        else:
            results.append("returned")
threading.stack_size(int(sys.argv[1]))
t = threading.Thread(target=run)
t.start()
t.join()
print(results)
"""


@pytest.mark.parametrize("stack", [256 << 10, 1 << 20])
@pytest.mark.parametrize("name", sorted(CLIENTS))
def test_recursing_override_raises_recursion_error_on_a_small_thread_stack(name, stack):
    rc, out, err = finish(child(RECURSING_OVERRIDE.format(imports=CLIENTS[name]), str(stack)))
    assert rc == 0, err[-2000:]
    assert out.strip() == "['RecursionError', 'RecursionError']"


MULTIPART_ABORT_AT_EXIT = r"""
import contextlib, sys, threading, time, httpx
from cirrova.dramlet import DramletFileClient as C
aborting = threading.Event()
def reply(request):
    if request.method == "POST" and "uploads" in request.url.params:
        return httpx.Response(200, json={"UploadId": "u", "BlkSize": 4})
    if request.method == "DELETE":
        aborting.set()
        time.sleep(0.01)  # gives up the lock inside the abort: the interpreter may end the thread here
        return httpx.Response(204)
    return httpx.Response(500, content=b"refused")
c = C("pub", "priv", "b", http_client=httpx.Client(transport=httpx.MockTransport(reply)))
def loop():
    while True:
        with contextlib.suppress(Exception):
            c.multipart_upload_bytes("k", b"x" * 8, part_size=4, retries=1)
for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
assert aborting.wait(10)
sys.stderr.write("aborting\n")
time.sleep(0.2)
"""


def test_interpreter_exit_while_the_multipart_driver_aborts_a_failed_upload():
    # After a failed part the driver calls abort_multipart_upload with the
    # error still to be raised: a thread ended inside that call must not take
    # the error's release (and the interpreter lock) down with it.
    procs = [child(MULTIPART_ABORT_AT_EXIT, threads_left_at_exit=True) for _ in range(4)]
    for proc in procs:
        rc, out, err = finish(proc)
        assert rc == 0 and "aborting" in err, err[-2000:]


# ------------------------------------------------------------------ NativeTransport

def _endless_body(sock):
    """A chunked body at full speed until the client goes away."""
    piece = b"%x\r\n%s\r\n" % (65536, b"z" * 65536)
    sock.sendall(response(headers=[("Transfer-Encoding", "chunked")], length=False))
    while True:
        sock.sendall(piece)


OBJECT_SIZE = 64 << 20


def _loopback_reply(req):
    line, *fields = req.head.decode().split("\r\n")
    if "/body" in line:
        return _endless_body
    if "/bkt/" not in line:
        return response(body=b"ok")
    if line.startswith("HEAD"):  # one object of OBJECT_SIZE bytes, its ranges served
        return response(headers=[("ETag", '"e"'), ("Content-Length", str(OBJECT_SIZE))], length=False)
    rng = next(v for k, _, v in (f.partition(": ") for f in fields) if k.lower() == "range")
    start, end = map(int, rng[len("bytes="):].split("-"))
    return response(206, "Partial Content", headers=[("ETag", '"e"'), ("Content-Range", f"bytes {start}-{end}/{OBJECT_SIZE}")],
                    body=b"d" * (end - start + 1))


def _loopback_server():
    return RawServer(_loopback_reply)


EXIT_INSIDE_TRANSPORT = r"""
import sys, threading, time, httpx
from cirrova.transport import NativeTransport
url, where = sys.argv[1], sys.argv[2]
c = httpx.Client(transport=NativeTransport(), timeout=None)
def request():
    c.get(url + "/fast")
def upload():  # the body is pulled from Python while libcurl sends
    c.put(url + "/fast", content=(b"u" * 65536 for _ in range(64)))
def transfer():
    import os, tempfile
    from cirrova import transfer
    from cirrova.korvex import KorvexClient
    client = KorvexClient("AK", "SK", "bkt", endpoint=url, http_client=c)
    transfer.download(client, "k", os.path.join(tempfile.mkdtemp(), "k"), part_size=1 << 20, concurrency=4)
def body():
    with c.stream("GET", url + "/body") as r:
        for _ in r.iter_raw():
            pass
def loop(call):
    while True:
        try:
            call()
        except Exception:
            pass
for _ in range(3):
    threading.Thread(target=loop, args=({"request": request, "upload": upload, "body": body, "transfer": transfer}[where],),
                     daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.parametrize("where", ["request", "upload", "body", "transfer"])
def test_interpreter_exit_while_daemon_threads_are_inside_the_native_transport(where):
    with _loopback_server() as srv:
        procs = [child(EXIT_INSIDE_TRANSPORT, srv.url(), where, threads_left_at_exit=True) for _ in range(4)]
        for proc in procs:
            rc, out, err = finish(proc)
            assert rc == 0, err[-2000:]


SIGINT_DURING_WAIT = r"""
import signal, sys, httpx
signal.signal(signal.SIGINT, signal.default_int_handler)  # the suite may run with SIGINT ignored
from cirrova.transport import NativeTransport
url, phase, kind = sys.argv[1:4]
limits = httpx.Limits(max_connections=1)
c = httpx.Client(transport=NativeTransport(limits=limits) if kind == "native" else httpx.HTTPTransport(limits=limits),
                 timeout=None)
try:
    if phase == "send":
        c.put(url, content=b"x" * (64 << 20))
    elif phase == "free connection":
        held = c.send(c.build_request("GET", url), stream=True)
        c.get(url)  # waits for the one connection, held above
    else:
        with c.stream("GET", url) as r:
            for _ in r.iter_raw():
                pass
except KeyboardInterrupt:
    print("interrupted")
"""


def _stalled_body(sock):
    sock.sendall(response(headers=[("Content-Length", "100")], length=False) + b"abc")
    silent(sock)


def _trickle(sock):
    sock.sendall(response(headers=[("Content-Length", "1000000")], length=False))
    while True:
        sock.sendall(b"t")
        threading.Event().wait(0.01)


WAITS = {"first byte": lambda req: silent, "body": lambda req: _stalled_body,
         "trickling body": lambda req: _trickle, "send": None, "free connection": lambda req: _stalled_body}


@pytest.mark.parametrize("kind", ["httpx", "native"])
@pytest.mark.parametrize("phase", list(WAITS))
def test_ctrl_c_ends_every_wait_of_a_request_on_the_main_thread(phase, kind):
    # Without a time-out every wait here lasts for ever: only the interrupt ends it.
    with RawServer(WAITS[phase], read_requests=phase != "send") as srv:
        proc = child(SIGINT_DURING_WAIT, srv.url("/x"), phase, kind)
        deadline = time.monotonic() + 30
        while not (srv.connections if phase == "send" else srv.requests):  # the request waits from here on
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        rc, out, err = finish(proc, timeout=30)
    assert (rc, out.strip()) == (0, "interrupted"), err[-2000:]
