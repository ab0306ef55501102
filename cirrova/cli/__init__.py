"""The `cirrova` command line: list, copy, delete and sign objects on the four services.

`main(argv, transport=...)` runs one command in-process; tests hand it an httpx transport (a MockTransport, say)
that every client of the command then sends through.
"""

import argparse
import contextlib
import io
import os
import sys
import threading
import traceback

import httpx

from cirrova import __version__

from . import commands, copy, move, sync
from .errors import CommandError, UsageError, one_line, response_error
from .select import add_filter_options
from .profiles import (config_path, credential_variables, environment_settings, exposed_secrets, load_profiles,
                       make_client, resolve_profile, secrets_of)

__all__ = ["main", "build_parser"]


class Context:
    """What a command needs: the parsed arguments, the output streams, clients and the progress switch."""

    def __init__(self, args, out, err, transport):
        self.args = args
        self.out = out
        self.err = err
        self._transport = transport
        self._http = None
        self._profiles = None
        self._sources = set()  # (scheme, source) already told under --debug
        self.secrets = set()
        # What this thread is listing while a listing runs: a sync's copies on other threads meanwhile
        # keep their own replies.
        self._local = threading.local()
        self.bars = not args.quiet and _is_terminal(err)
        self.skipped = 0  # source entries left out (not regular files): the command fails at its end

    @property
    def profiles(self):
        if self._profiles is None:
            path = config_path(self.args.config)
            self._profiles = load_profiles(path)
            self.secrets |= secrets_of(self._profiles)
            mode = exposed_secrets(path, self._profiles)
            if mode is not None:
                # As ssh does for a private key: say so once, and go on.
                self.err.write(f"cirrova: warning: permissions {mode:04o} for {path!r} are too open: it holds "
                               f"secrets that other users can read (chmod 600 {path})\n")
        return self._profiles

    def http(self):
        if self._http is None:
            wanted = max(getattr(self.args, "concurrency", None) or 16, 16)
            limits = httpx.Limits(max_connections=max(100, wanted), max_keepalive_connections=wanted)
            # A transport given to httpx.Client brings its own pool, so it gets the limits itself.
            transport = self._transport if self._transport is not None else _native_transport(limits)
            self._http = httpx.Client(transport=transport, limits=limits, timeout=httpx.Timeout(60.0, connect=10.0),
                                      follow_redirects=False, event_hooks={"response": [self._check_listing]})
        return self._http

    @contextlib.contextmanager
    def listing(self, what):
        """Within this block a reply other than success fails the command: the clients' listings read an
        error reply as an empty page, which would show a refused listing as an empty one."""
        self._local.listing = what
        try:
            yield
        finally:
            self._local.listing = None

    def _check_listing(self, response):
        listing = getattr(self._local, "listing", None)
        if listing is not None and not 200 <= response.status_code < 300:
            response.read()
            raise response_error(f"cannot list {listing}", response)

    # It acts only inside listing(), where no transfer runs: transfers may take the native engine, which
    # sends its requests without the httpx.Client's hooks.
    _check_listing.transfer_neutral = True  # type: ignore[attr-defined]

    def client(self, location, profile=None):
        """A client for the bucket of a remote `location`, from `profile` or the command's --profile."""
        if not location.bucket:
            raise UsageError(f"{location.scheme}:// needs a bucket: {location.scheme}://BUCKET/KEY")
        return make_client(self.settings(location, profile), location.bucket, self.http())

    def settings(self, location, profile=None):
        """The settings for `location`: the named profile; else the default profile where it is for this
        service; else the environment's; else the default profile's (and its complaint)."""
        overrides = {"endpoint": self.args.endpoint, "region": self.args.region}
        scheme = location.scheme
        name = profile or self.args.profile
        if name is None:
            path = config_path(self.args.config)
            default = self.profiles.get("default") if os.path.exists(path) else None
            found = environment_settings(scheme)
            if found is not None and not (isinstance(default, dict) and default.get("service") == scheme):
                settings, variables = found
                self.secrets |= secrets_of({"environment": settings})
                self._tell_source(scheme, f"the environment ({', '.join(variables)})")
                return resolve_profile({"environment": settings}, "environment", scheme, overrides)
            if default is None and not os.path.exists(path):
                names = " and ".join(credential_variables(scheme))
                raise UsageError(f"no configuration file at {path} and no {names} in the environment "
                                 f"(give --config PATH or set CIRROVA_CONFIG)")
            name = "default"
        settings = resolve_profile(self.profiles, name, scheme, overrides)
        self._tell_source(scheme, f"profile {name!r} of {config_path(self.args.config)}")
        return settings

    def _tell_source(self, scheme, source):
        if self.args.debug and (scheme, source) not in self._sources:
            self._sources.add((scheme, source))
            self.err.write(f"cirrova: {scheme}:// settings from {source}\n")

    def print(self, text=""):
        self.out.write(text + "\n")

    def close(self):
        if self._http is not None:
            self._http.close()

    def scrub(self, text):
        for secret in self.secrets:
            text = text.replace(secret, "***")
        return text


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _native_transport(limits):
    """The package's native transport where it is built, else None: httpx's own."""
    try:
        from cirrova.transport import NativeTransport
    except ImportError:
        return None
    return NativeTransport(limits=limits)


# Filled in after parsing: the global options' actions are shared with every sub-command's parser, so a
# default set on one of them would be a default of all and overwrite a value given before the command.
_GLOBAL_DEFAULTS = {"config": None, "profile": None, "endpoint": None, "region": None, "quiet": False,
                    "debug": False}


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as the command line's one line (see `main`), not argparse's usage block."""

    def error(self, message):
        command = self.prog.removeprefix("cirrova").strip()
        raise UsageError(f"{command}: {message}" if command else message)


def build_parser():
    # Global options are accepted before and after the command; SUPPRESS keeps a sub-command's unset copy
    # from overwriting a value given before the command.
    common = _Parser(add_help=False, argument_default=argparse.SUPPRESS)
    common.add_argument("--config", metavar="PATH", help="profile file (default: $CIRROVA_CONFIG, "
                                                          "else ~/.config/cirrova/config.toml)")
    common.add_argument("--profile", metavar="NAME", help='profile to use (default "default")')
    common.add_argument("--endpoint", metavar="URL", help="endpoint overriding the profile's")
    common.add_argument("--region", metavar="REGION", help="region overriding the profile's")
    common.add_argument("--quiet", "-q", action="store_true", help="no progress bars")
    common.add_argument("--debug", action="store_true", help="show tracebacks and the clients' own output")

    parser = _Parser(prog="cirrova", parents=[common],
                                     description="List, copy, delete and sign objects on S3, COS, OSS and UFile.")
    parser.add_argument("--version", action="version", version=f"cirrova {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, func, help_text):
        p = sub.add_parser(name, parents=[common], help=help_text, description=help_text)
        p.set_defaults(func=func)
        return p

    p = command("ls", commands.ls, "list buckets, objects and folders")
    p.add_argument("url", metavar="URL")
    p.add_argument("--recursive", "-r", action="store_true", default=False, help="every object under the prefix")
    p.add_argument("--json", action="store_true", default=False, help="one JSON object per line")

    p = command("cp", copy.cp, "copy files and objects, across services too")
    p.add_argument("src", metavar="SRC", help="URL (a key may hold * ? [...]), local path, or - for standard input")
    p.add_argument("dst", metavar="DST")
    p.add_argument("--recursive", "-r", action="store_true", default=False, help="copy a folder or prefix tree")
    _transfer_options(p)
    p.add_argument("--scheduler", metavar="ADDRESS", default=None,
                   help="with -r between two services: run the copy on this Dask scheduler (cirrova[dask])")

    p = command("mv", move.mv, "copy, then delete each source that copied")
    p.add_argument("src", metavar="SRC", help="URL (a key may hold * ? [...]) or local path")
    p.add_argument("dst", metavar="DST")
    p.add_argument("--recursive", "-r", action="store_true", default=False, help="move a folder or prefix tree")
    _transfer_options(p)

    p = command("sync", sync.sync, "copy what is missing or different from SRC to DST (folders or prefixes)")
    p.add_argument("src", metavar="SRC")
    p.add_argument("dst", metavar="DST")
    p.add_argument("--checksum", action="store_true", default=False,
                   help="compare content (MD5) where sizes are equal, not sizes alone")
    p.add_argument("--delete", action="store_true", default=False, help="delete what DST has and SRC lacks")
    p.add_argument("--yes", "-y", action="store_true", default=False, help="no confirmation for --delete")
    p.add_argument("--dry-run", action="store_true", default=False, help="print the plan, change nothing")
    _transfer_options(p)

    p = command("rm", commands.rm, "delete an object, or a prefix tree with --recursive")
    p.add_argument("url", metavar="URL")
    p.add_argument("--recursive", "-r", action="store_true", default=False)
    p.add_argument("--yes", "-y", action="store_true", default=False, help="no confirmation")
    p.add_argument("--dry-run", action="store_true", default=False, help="list what would be deleted")
    add_filter_options(p)

    p = command("stat", commands.stat, "an object's size, ETag, type and time")
    p.add_argument("url", metavar="URL")
    p.add_argument("--json", action="store_true", default=False)

    p = command("cat", commands.cat, "write an object to standard output")
    p.add_argument("url", metavar="URL")

    p = command("presign", commands.presign, "a time-limited URL that reads an object")
    p.add_argument("url", metavar="URL")
    p.add_argument("--expires", type=_positive_int, default=3600, metavar="SECONDS", help="lifetime (3600)")

    p = command("mb", commands.mb, "make a bucket (s3, cos)")
    p.add_argument("url", metavar="URL")

    p = command("rb", commands.rb, "remove an empty bucket (s3, cos)")
    p.add_argument("url", metavar="URL")

    p = command("du", commands.du, "object count and bytes under a prefix")
    p.add_argument("url", metavar="URL")
    p.add_argument("--json", action="store_true", default=False)
    return parser


# Each request in flight is a thread and a connection; a part is held in memory per request.
MAX_CONCURRENCY = 256
MAX_PART_SIZE = 5 << 30  # the S3, COS and OSS limit for one part


def _transfer_options(p):
    p.add_argument("--concurrency", type=_concurrency, default=8, metavar="N",
                   help=f"parallel requests, 1 to {MAX_CONCURRENCY} (8)")
    p.add_argument("--part-size", type=_part_size, default=8 * 1024 * 1024, metavar="SIZE",
                   help="bytes per part, e.g. 16MiB, at most 5GiB (8MiB)")
    p.add_argument("--src-profile", metavar="NAME", default=None, help="profile for SRC (default --profile)")
    p.add_argument("--dst-profile", metavar="NAME", default=None, help="profile for DST (default --profile)")
    p.add_argument("--no-checksum", action="store_true", default=False,
                   help="send no Content-MD5 and check no download (on by default)")
    add_filter_options(p)


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _concurrency(text):
    value = _positive_int(text)
    if value > MAX_CONCURRENCY:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_CONCURRENCY}: {text!r}")
    return value


def _part_size(text):
    value = parse_size(text)
    if value > MAX_PART_SIZE:
        raise argparse.ArgumentTypeError(f"must be at most 5GiB: {text!r}")
    return value


_UNITS = {"": 1, "b": 1, "k": 1 << 10, "kb": 1 << 10, "kib": 1 << 10, "m": 1 << 20, "mb": 1 << 20,
          "mib": 1 << 20, "g": 1 << 30, "gb": 1 << 30, "gib": 1 << 30}


def parse_size(text):
    """A byte count such as 5242880, 64KiB, 8M or 1.5GiB; every unit is a power of 1024."""
    stripped = text.strip().lower()
    number = stripped.rstrip("kmgib")
    unit = stripped[len(number):]
    try:
        value = float(number)
    except ValueError:
        value = -1
    # inf, nan and 1e400 (which reads as inf) are not sizes either.
    if unit not in _UNITS or not 0 < value < 1 << 62:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (say 8MiB, 16M or 5242880)")
    return int(value * _UNITS[unit])


def main(argv=None, *, transport=None):
    """Runs one command and returns its exit status: 0 done, 1 failed, 2 usage error, 130 interrupted."""
    out, err = sys.stdout, sys.stderr
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else 2
    except UsageError as exc:
        err.write(f"cirrova: usage: {exc}\n")
        err.flush()
        return 2
    for name, value in _GLOBAL_DEFAULTS.items():
        if not hasattr(args, name):
            setattr(args, name, value)
    ctx = Context(args, out, err, transport)
    # The UFile client prints every request URL; standard output belongs to the command's own results.
    chatter = err if args.debug else io.StringIO()
    try:
        with contextlib.redirect_stdout(chatter):
            args.func(ctx)
        return 0
    except UsageError as exc:
        _report(ctx, f"cirrova: usage: {exc}", exc)
        return 2
    except KeyboardInterrupt as exc:
        _report(ctx, "cirrova: interrupted", exc)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (`cirrova cat … | head`): nothing is left to say, and the
        # interpreter's final flush of what is still buffered must not fail again on the closed pipe.
        with contextlib.suppress(OSError, AttributeError, ValueError, io.UnsupportedOperation):
            os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        return 0
    except CommandError as exc:
        _report(ctx, f"cirrova: {exc}", exc)
        return 1
    except Exception as exc:  # a client's or the network's failure: one line unless --debug
        _report(ctx, f"cirrova: {one_line(exc)}", exc)
        return 1
    finally:
        ctx.close()


def _report(ctx, message, exc):
    if ctx.args.debug:
        ctx.err.write(ctx.scrub("".join(traceback.format_exception(exc))))
    ctx.err.write(ctx.scrub(message) + "\n")
    ctx.err.flush()
