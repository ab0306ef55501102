"""What the benchmark scripts share: where cirrova comes from, the clients, transports, memory figures."""

import glob
import importlib
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MiB = 1 << 20


def setup_path():
    """Use the modules built in the source tree when there are any, else the installed package
    (always the installed one with CIRROVA_INSTALLED=1)."""
    if os.environ.get("CIRROVA_INSTALLED") == "1":
        return
    if glob.glob(os.path.join(ROOT, "cirrova", "*.so")) and ROOT not in sys.path:
        sys.path.insert(0, ROOT)


setup_path()

import httpx  # noqa: E402

# client name -> (module, class)
CLIENTS = {
    "korvex": ("cirrova.korvex", "KorvexClient"),
    "pelorin": ("cirrova.pelorin", "PelorinOSSClient"),
    "dramlet": ("cirrova.dramlet", "DramletFileClient"),
}


def load(name):
    """(class, None) or (None, why it is not available)."""
    module, cls = CLIENTS[name]
    try:
        return getattr(importlib.import_module(module), cls), None
    except ImportError as exc:
        return None, "%s not built (%s)" % (module, exc.__class__.__name__)
    except Exception as exc:  # noqa: BLE001 - a half-written module fails in any way at import
        return None, "%s fails to import: %s" % (module, exc)


def make_client(name, http_client, endpoint="https://s3.eu-west-1.amazonaws.com", **extra):
    cls, why = load(name)
    if cls is None:
        raise RuntimeError(why)
    if name == "korvex":
        return cls("AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", "bench-bucket", region="eu-west-1",
                   endpoint=endpoint, http_client=http_client, **extra)
    if name == "pelorin":
        return cls("LTAI5tBenchKeyId", "BenchAccessKeySecretForOSS012345", "bench-bucket", region="oss-cn-hangzhou",
                   http_client=http_client)
    return cls("ucloudbench@example.com1234567890", "bench-private-key-0123456789abcdef", "bench-bucket",
               http_client=http_client)


class LoopbackTransport(httpx.HTTPTransport):
    """Sends every request to the benchmark's own server on 127.0.0.1, whatever host the URL names.

    While `log` is a list, the method, URL and headers of each request are appended to it.
    """

    def __init__(self, port, **kw):
        super().__init__(**kw)
        self.port = port
        self.log = None

    def handle_request(self, request):
        if self.log is not None:
            self.log.append((request.method, str(request.url), list(request.headers.raw)))
        request.url = request.url.copy_with(scheme="http", host="127.0.0.1", port=self.port)
        return super().handle_request(request)


class Recorder:
    """Stands in for httpx.Client: records each call, answers with a canned response."""

    def __init__(self, response):
        self.calls = []
        self.response = response

    def request(self, method, url, **kwargs):
        self.calls.append(("request", (method, url), kwargs))
        return self.response

    def get(self, url, **kwargs):
        self.calls.append(("get", (url,), kwargs))
        return self.response


def reset_peak():
    """Restart the resident-set high-water mark; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def memory():
    """(current RSS, peak RSS) in bytes."""
    try:
        with open("/proc/self/status") as f:
            text = f.read()
        rss = int(re.search(r"VmRSS:\s+(\d+)", text).group(1)) * 1024
        hwm = int(re.search(r"VmHWM:\s+(\d+)", text).group(1)) * 1024
        return rss, hwm
    except (OSError, AttributeError):
        import resource
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        return peak, peak
