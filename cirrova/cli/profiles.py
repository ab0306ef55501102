"""Locations (`s3://bucket/key` or a local path), profiles from the TOML file, and the client for a location."""

import os
import re
import stat
import tomllib
from dataclasses import dataclass

from .errors import UsageError

SCHEMES = ("s3", "cos", "oss", "ufile")
_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://(.*)$", re.S)

# Settings a profile may hold, per service; anything else is a typo worth stopping for.
_COMMON = {"service", "endpoint", "region", "timeout", "internal"}
_ALLOWED = {
    "s3": _COMMON | {"access_key", "secret_key", "session_token", "signature_version", "addressing_style"},
    "cos": _COMMON | {"access_key", "secret_key", "session_token"},
    "oss": _COMMON | {"access_key", "secret_key", "session_token"},
    "ufile": _COMMON | {"public_key", "private_key", "scheme"},
}
_CREDENTIALS = {"ufile": ("public_key", "private_key")}
_SECRET_NAMES = ("secret_key", "private_key", "session_token")

# Settings from the environment, per service: (setting, variables tried in order). S3 takes the names its
# ecosystem already uses; the others one family, CIRROVA_<SERVICE>_<SETTING>.
_ENVIRONMENT = {
    "s3": (("access_key", ("AWS_ACCESS_KEY_ID",)), ("secret_key", ("AWS_SECRET_ACCESS_KEY",)),
           ("session_token", ("AWS_SESSION_TOKEN",)), ("endpoint", ("AWS_ENDPOINT_URL",)),
           ("region", ("AWS_REGION", "AWS_DEFAULT_REGION"))),
    "cos": (("access_key", ("CIRROVA_COS_ACCESS_KEY",)), ("secret_key", ("CIRROVA_COS_SECRET_KEY",)),
            ("session_token", ("CIRROVA_COS_SESSION_TOKEN",)), ("region", ("CIRROVA_COS_REGION",)),
            ("endpoint", ("CIRROVA_COS_ENDPOINT",))),
    "oss": (("access_key", ("CIRROVA_OSS_ACCESS_KEY",)), ("secret_key", ("CIRROVA_OSS_SECRET_KEY",)),
            ("session_token", ("CIRROVA_OSS_SESSION_TOKEN",)), ("region", ("CIRROVA_OSS_REGION",))),
    "ufile": (("public_key", ("CIRROVA_UFILE_ACCESS_KEY",)), ("private_key", ("CIRROVA_UFILE_SECRET_KEY",)),
              ("region", ("CIRROVA_UFILE_REGION",))),
}


@dataclass(frozen=True)
class Location:
    scheme: str  # "" for a local path
    bucket: str = ""
    key: str = ""
    path: str = ""

    @property
    def remote(self):
        return bool(self.scheme)

    def child(self, key):
        return Location(self.scheme, self.bucket, key)

    def __str__(self):
        if not self.remote:
            return self.path
        return f"{self.scheme}://{self.bucket}/{self.key}" if self.key else f"{self.scheme}://{self.bucket}"


def parse_location(text):
    match = _URL.match(text)
    if not match:
        return Location("", path=text)
    scheme, rest = match.group(1).lower(), match.group(2)
    if scheme not in SCHEMES:
        raise UsageError(f"unsupported location scheme {scheme!r} in {text!r} (use s3, cos, oss or ufile)")
    bucket, _, key = rest.partition("/")
    return Location(scheme, bucket, key)


def tree_prefix(key):
    """The key prefix of everything below a location taken as a folder: "dir" covers "dir/…", not "dirty"."""
    return key if not key or key.endswith("/") else key + "/"


def config_path(option):
    if option:
        return option
    env = os.environ.get("CIRROVA_CONFIG")
    if env:
        return env
    return os.path.join(os.path.expanduser("~"), ".config", "cirrova", "config.toml")


def load_profiles(path):
    try:
        with open(path, "rb") as f:
            document = tomllib.load(f)
    except FileNotFoundError:
        raise UsageError(f"no configuration file at {path} (give --config PATH or set CIRROVA_CONFIG)") from None
    except OSError as exc:
        raise UsageError(f"cannot read the configuration file {path}: {exc.strerror}") from None
    except tomllib.TOMLDecodeError as exc:
        raise UsageError(f"configuration file {path} is not valid TOML: {exc}") from None
    profiles = document.get("profiles", {})
    if not isinstance(profiles, dict):
        raise UsageError(f"configuration file {path}: [profiles] must be a table")
    return profiles


def environment_settings(scheme, environ=None):
    """The settings for `scheme` from the environment, with the variables they came from; None unless both
    credentials are there."""
    environ = os.environ if environ is None else environ
    settings, names = {"service": scheme}, []
    for field, variables in _ENVIRONMENT[scheme]:
        for variable in variables:
            if environ.get(variable):
                settings[field] = environ[variable]
                names.append(variable)
                break
    key, secret = _CREDENTIALS.get(scheme, ("access_key", "secret_key"))
    if key not in settings or secret not in settings:
        return None
    return settings, names


def credential_variables(scheme):
    """The names of the credential variables of `scheme`, for messages."""
    return [variables[0] for _, variables in _ENVIRONMENT[scheme][:2]]


def exposed_secrets(path, profiles):
    """The file's mode when it holds a secret and its group or others may read it, else None."""
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        return None
    return mode if mode & 0o044 and secrets_of(profiles) else None


def secrets_of(profiles):
    """Every secret value of the file, whatever profile a command uses, so that none reaches an output."""
    found = set()
    for profile in profiles.values():
        if isinstance(profile, dict):
            for name in _SECRET_NAMES:
                value = profile.get(name)
                if isinstance(value, str) and value:
                    found.add(value)
    return found


def resolve_profile(profiles, name, scheme, overrides):
    """The checked settings of profile `name` for a location of `scheme`, with command-line overrides."""
    profile = profiles.get(name)
    if not isinstance(profile, dict):
        raise UsageError(f"no profile {name!r} in the configuration file")
    service = profile.get("service")
    if service not in SCHEMES:
        raise UsageError(f"profile {name!r}: service must be one of {', '.join(SCHEMES)}")
    if service != scheme:
        raise UsageError(f"profile {name!r} is for {service}, not for a {scheme}:// location")
    unknown = sorted(set(profile) - _ALLOWED[service])
    if unknown:
        raise UsageError(f"profile {name!r}: unknown setting {unknown[0]!r} for {service}")
    settings = dict(profile)
    settings.update({k: v for k, v in overrides.items() if v is not None})
    if settings.get("session_token") is not None and not isinstance(settings["session_token"], str):
        raise UsageError(f"profile {name!r}: session_token must be a string")
    for field in _CREDENTIALS.get(service, ("access_key", "secret_key")):
        if not isinstance(settings.get(field), str) or not settings[field]:
            raise UsageError(f"profile {name!r}: {field} is missing")
    for field in ("endpoint", "region", "signature_version", "addressing_style", "scheme"):
        if field in settings and not isinstance(settings[field], str):
            raise UsageError(f"profile {name!r}: {field} must be a string")
    if "timeout" in settings and (isinstance(settings["timeout"], bool)
                                  or not isinstance(settings["timeout"], (int, float)) or settings["timeout"] <= 0):
        raise UsageError(f"profile {name!r}: timeout must be a positive number of seconds")
    if settings.get("endpoint") and service in ("oss", "ufile"):
        raise UsageError(f"profile {name!r}: the {service} service takes no endpoint; its host follows from the region")
    if service == "ufile" and settings.get("scheme", "https") not in ("http", "https"):
        raise UsageError(f"profile {name!r}: scheme must be http or https")
    return settings


def make_client(settings, bucket, http):
    """A client of the profile's service for `bucket`, sending through `http`."""
    service = settings["service"]
    optional = {k: settings[k] for k in ("region", "timeout") if k in settings}
    internal = bool(settings.get("internal", False))
    token = {"session_token": settings["session_token"]} if settings.get("session_token") else {}
    if service == "s3":
        from cirrova.korvex import KorvexClient

        return KorvexClient(settings["access_key"], settings["secret_key"], bucket, internal=internal,
                            endpoint=settings.get("endpoint") or None, http_client=http,
                            signature_version=settings.get("signature_version", "v4"),
                            addressing_style=settings.get("addressing_style", "path"), **optional, **token)
    if service == "cos":
        if settings.get("endpoint"):
            # The COS preset fixes its host; another endpoint (a gateway, a test server) gets the preset's
            # settings on the general S3-protocol client.
            from cirrova.korvex import KorvexClient

            return KorvexClient(settings["access_key"], settings["secret_key"], bucket,
                                region=settings.get("region", "ap-guangzhou"), endpoint=settings["endpoint"],
                                timeout=settings.get("timeout"), http_client=http, signature_version="v4",
                                addressing_style="virtual", **token)
        from cirrova.bellwyn import BellwynClient

        return BellwynClient(settings["access_key"], settings["secret_key"], bucket, http_client=http, **optional,
                             **token)
    if service == "oss":
        from cirrova.pelorin import PelorinOSSClient

        return PelorinOSSClient(settings["access_key"], settings["secret_key"], bucket, internal=internal,
                                http_client=http, **optional, **token)
    from cirrova.dramlet import DramletFileClient

    return DramletFileClient(settings["public_key"], settings["private_key"], bucket, internal=internal,
                             http_client=http, scheme=settings.get("scheme", "https"), **optional)
