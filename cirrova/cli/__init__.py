"""The `cirrova` command line: list, copy, delete and sign objects on the four services.

`main(argv, transport=...)` runs one command in-process; tests hand it an httpx transport (a MockTransport, say)
that every client of the command then sends through.
"""

import argparse
import contextlib
import io
import os
import sys
import traceback

import httpx

from cirrova import __version__

from . import commands, copy
from .errors import CommandError, UsageError, one_line, response_error
from .profiles import config_path, load_profiles, make_client, resolve_profile, secrets_of

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
        self.secrets = set()
        self._listing = None  # what is being listed while a listing runs, else None
        self.bars = not args.quiet and _is_terminal(err)

    @property
    def profiles(self):
        if self._profiles is None:
            self._profiles = load_profiles(config_path(self.args.config))
            self.secrets = secrets_of(self._profiles)
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
        self._listing = what
        try:
            yield
        finally:
            self._listing = None

    def _check_listing(self, response):
        if self._listing is not None and not 200 <= response.status_code < 300:
            response.read()
            raise response_error(f"cannot list {self._listing}", response)

    def client(self, location, profile=None):
        """A client for the bucket of a remote `location`, from `profile` or the command's --profile."""
        if not location.bucket:
            raise UsageError(f"{location.scheme}:// needs a bucket: {location.scheme}://BUCKET/KEY")
        return make_client(self.settings(location, profile), location.bucket, self.http())

    def settings(self, location, profile=None):
        overrides = {"endpoint": self.args.endpoint, "region": self.args.region}
        return resolve_profile(self.profiles, profile or self.args.profile, location.scheme, overrides)

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
_GLOBAL_DEFAULTS = {"config": None, "profile": "default", "endpoint": None, "region": None, "quiet": False,
                    "debug": False}


def build_parser():
    # Global options are accepted before and after the command; SUPPRESS keeps a sub-command's unset copy
    # from overwriting a value given before the command.
    common = argparse.ArgumentParser(add_help=False, argument_default=argparse.SUPPRESS)
    common.add_argument("--config", metavar="PATH", help="profile file (default: $CIRROVA_CONFIG, "
                                                          "else ~/.config/cirrova/config.toml)")
    common.add_argument("--profile", metavar="NAME", help='profile to use (default "default")')
    common.add_argument("--endpoint", metavar="URL", help="endpoint overriding the profile's")
    common.add_argument("--region", metavar="REGION", help="region overriding the profile's")
    common.add_argument("--quiet", "-q", action="store_true", help="no progress bars")
    common.add_argument("--debug", action="store_true", help="show tracebacks and the clients' own output")

    parser = argparse.ArgumentParser(prog="cirrova", parents=[common],
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
    p.add_argument("src", metavar="SRC", help="URL, local path, or - for standard input")
    p.add_argument("dst", metavar="DST")
    p.add_argument("--recursive", "-r", action="store_true", default=False, help="copy a folder or prefix tree")
    p.add_argument("--concurrency", type=_positive_int, default=8, metavar="N", help="parallel requests (8)")
    p.add_argument("--part-size", type=parse_size, default=8 * 1024 * 1024, metavar="SIZE",
                   help="bytes per part, e.g. 16MiB (8MiB)")
    p.add_argument("--src-profile", metavar="NAME", default=None, help="profile for SRC (default --profile)")
    p.add_argument("--dst-profile", metavar="NAME", default=None, help="profile for DST (default --profile)")
    p.add_argument("--scheduler", metavar="ADDRESS", default=None,
                   help="with -r between two services: run the copy on this Dask scheduler (cirrova[dask])")

    p = command("rm", commands.rm, "delete an object, or a prefix tree with --recursive")
    p.add_argument("url", metavar="URL")
    p.add_argument("--recursive", "-r", action="store_true", default=False)
    p.add_argument("--yes", "-y", action="store_true", default=False, help="no confirmation")
    p.add_argument("--dry-run", action="store_true", default=False, help="list what would be deleted")

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


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
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
    if unit not in _UNITS or value <= 0:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (say 8MiB, 16M or 5242880)")
    return int(value * _UNITS[unit])


def main(argv=None, *, transport=None):
    """Runs one command and returns its exit status: 0 done, 1 failed, 2 usage error, 130 interrupted."""
    out, err = sys.stdout, sys.stderr
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and argparse's usage errors
        return exc.code if isinstance(exc.code, int) else 2
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
