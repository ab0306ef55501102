"""Connection settings shared by `cirrova.fs` and `cirrova.bulk`: the command line's profiles (or the same
settings as keywords), and the quiet clients they make.

Settings are a plain dict of picklable values, so a filesystem or a bulk-copy task rebuilds its clients in
another process from them alone; a profile is read once, where the settings are resolved.
"""

import threading
import urllib.parse

import httpx

from cirrova.cli.errors import UsageError
from cirrova.cli.profiles import SCHEMES, config_path, load_profiles, make_client, resolve_profile
from cirrova import transfer
from cirrova.transfer._engine import retried
from cirrova.dramlet import DramletFileClient
from cirrova.korvex import KorvexClient
from cirrova.pelorin import PelorinOSSClient

#: Settings that shape how cirrova moves data rather than which service it talks to.
TUNING = {"concurrency": 8, "part_size": 8 * 1024 * 1024, "http_client_factory": None}


class QuietDramletFileClient(DramletFileClient):
    """The UFile client without its printout of every request URL: the same request, sent silently.

    Everything the client sends goes through `_request`, so overriding it here keeps the library quiet for
    this client alone; nothing else in the process changes.
    """

    def _request(self, method, key, query_params=None, base_url=None, **kwargs):
        url = (base_url if base_url is not None else self.host)
        if key:
            url += "/" + _quote_key(key)
        headers = kwargs.pop("headers", None)
        headers = {} if headers is None else headers
        headers["Authorization"] = self._build_auth_header(
            key, method, content_md5=_header(headers, "Content-MD5"), content_type=_header(headers, "Content-Type"),
            headers=headers)
        if query_params:
            url += "?" + "&".join(
                f"{name}={urllib.parse.quote(str(value), safe='')}" if value != "" else str(name)
                for name, value in query_params.items())
        if kwargs.get("timeout") is None:
            kwargs.pop("timeout", None)
            if self.default_timeout is not None:
                kwargs["timeout"] = self.default_timeout
        body = kwargs.get("data")
        if body is not None and not isinstance(body, dict) and "content" not in kwargs:
            kwargs["content"] = bytes(kwargs.pop("data")) if isinstance(body, (bytearray, memoryview)) else \
                kwargs.pop("data")
        return self._client.request(method, url, headers=headers, **kwargs)


def _header(headers, name):
    if name in headers:
        return headers[name]
    lower = name.lower()
    return next((v for k, v in headers.items() if k.lower() == lower), "")


def _quote_key(key):
    """The key as the client puts it in a path: UTF-8 percent-encoding with "/" kept, and "." and ".."
    segments escaped so that no URL normalisation can move the request to another key."""
    quoted = urllib.parse.quote(key, safe="/")
    if "." not in quoted:
        return quoted
    return "/".join({".": "%2E", "..": "%2E%2E"}.get(seg, seg) for seg in quoted.split("/"))


def resolve(scheme, profile=None, config=None, **keywords):
    """The checked settings for `scheme`: profile `profile` of the command line's configuration file (`config`,
    else $CIRROVA_CONFIG, else ~/.config/cirrova/config.toml) with `keywords` over it, or `keywords` alone.
    Raises ValueError for settings the command line would refuse."""
    if scheme not in SCHEMES:
        raise ValueError(f"unknown service {scheme!r} (use one of {', '.join(SCHEMES)})")
    tuning = {name: keywords.pop(name, default) for name, default in TUNING.items()}
    service = keywords.pop("service", scheme)
    try:
        if profile is not None:
            profiles = load_profiles(config_path(config))
            settings = resolve_profile(profiles, profile, scheme, keywords)
            # Keywords go through the same checks as the profile's own settings.
            settings = resolve_profile({profile: settings}, profile, scheme, {})
        else:
            settings = resolve_profile({"(keywords)": {"service": service, **keywords}}, "(keywords)", scheme, {})
    except UsageError as exc:
        raise ValueError(str(exc)) from None
    _check_tuning(tuning)
    settings.update(tuning)
    return settings


def _check_tuning(tuning):
    for name in ("concurrency", "part_size"):
        value = tuning[name]
        if isinstance(value, bool) or not isinstance(value, int) or value < 1:
            raise ValueError(f"{name} must be a positive integer, not {value!r}")
    factory = tuning["http_client_factory"]
    if factory is not None and not callable(factory):
        raise ValueError("http_client_factory must be a callable returning an httpx.Client")


def http_client(settings):
    """An httpx.Client for these settings: the factory's, else one on the native transport (when built)."""
    factory = settings.get("http_client_factory")
    if factory is not None:
        return factory()
    wanted = max(settings.get("concurrency", 8), 16)
    limits = httpx.Limits(max_connections=max(100, wanted), max_keepalive_connections=wanted)
    try:
        from cirrova.transport import NativeTransport
    except ImportError:
        transport = None
    else:
        transport = NativeTransport(limits=limits)
    return httpx.Client(transport=transport, limits=limits, timeout=httpx.Timeout(60.0, connect=10.0),
                        follow_redirects=False)


def client_for(settings, bucket, http):
    """A client of the settings' service for `bucket`; UFile's is the quiet one."""
    if settings["service"] != "ufile":
        return make_client(settings, bucket, http)
    optional = {k: settings[k] for k in ("region", "timeout") if k in settings}
    return QuietDramletFileClient(settings["public_key"], settings["private_key"], bucket,
                                  internal=bool(settings.get("internal", False)), http_client=http,
                                  scheme=settings.get("scheme", "https"), **optional)


class Clients:
    """Clients by bucket over one httpx.Client, made on first use; safe to share between threads."""

    def __init__(self, settings):
        self.settings = settings
        self._lock = threading.Lock()
        self._http = None
        self._by_bucket = {}

    def get(self, bucket):
        with self._lock:
            client = self._by_bucket.get(bucket)
            if client is None:
                if self._http is None:
                    self._http = http_client(self.settings)
                client = self._by_bucket[bucket] = client_for(self.settings, bucket, self._http)
            return client

    def close(self):
        with self._lock:
            if self._http is not None:
                self._http.close()
            self._http = None
            self._by_bucket.clear()


def service_copy(src_client, src_bucket, src_key, dst_client, dst_key, *, same, part_size, concurrency,
                 headers=None):
    """One object copied: by the service itself when `same` (both clients of one account of one service)
    and the service copies (S3, COS, OSS), else streamed through memory by transfer.copy."""
    if same and isinstance(dst_client, KorvexClient):
        retried(lambda: dst_client.copy_object(src_key, dst_key, src_bucket=src_bucket))
        return
    if same and isinstance(dst_client, PelorinOSSClient):
        source = f"/{src_bucket}/{urllib.parse.quote(src_key, safe='/')}"
        retried(lambda: raise_for(dst_client.upload(dst_key, b"", headers={"x-oss-copy-source": source}),
                                  f"{src_bucket}/{src_key}"))
        return
    transfer.copy(src_client, src_key, dst_client, dst_key, part_size=part_size, concurrency=concurrency,
                  headers=headers)


def raise_for(response, what, ok=(200,)):
    status = response.status_code
    if status in ok:
        return
    text = response.text[:300] if response.content else ""
    if status == 404:
        raise FileNotFoundError(what)
    if status == 403:
        raise PermissionError(f"{what}: {text}")
    error = OSError(f"{what}: {status} {text}".rstrip())
    error.status_code = status  # type: ignore[attr-defined]
    raise error
