"""Selecting objects and files by pattern: glob sources and the ordered --exclude/--include filters."""

import argparse
import re

_MAGIC = re.compile(r"[*?[]")


def has_magic(text):
    return _MAGIC.search(text) is not None


def _translate(pattern, star, one):
    """A regular expression for a glob pattern: `star` stands for "*", `one` for "?"; "[...]" and "[!...]"
    are character classes; an unclosed "[" is itself."""
    out, i, n = [], 0, len(pattern)
    while i < n:
        c = pattern[i]
        i += 1
        if c == "*":
            out.append(star)
        elif c == "?":
            out.append(one)
        elif c == "[":
            j = i
            if j < n and pattern[j] in "!^":
                j += 1
            if j < n and pattern[j] == "]":
                j += 1
            while j < n and pattern[j] != "]":
                j += 1
            if j >= n:
                out.append(re.escape(c))
                continue
            body = pattern[i:j]
            i = j + 1
            negate = body[:1] in ("!", "^")
            if negate:
                body = body[1:]
            body = body.replace("\\", "\\\\")
            # A class never matches "/" where "*" stops at it, as a shell's never matches a path separator.
            out.append(f"[^/{body}]" if negate and star != ".*" else f"[^{body}]" if negate else f"[{body}]")
        else:
            out.append(re.escape(c))
    return "".join(out)


class Glob:
    """A source pattern such as "logs/2024-*.gz", matched against keys as a shell matches paths: "*" and
    "?" stay within one "/"-separated segment.

    `prefix` is the literal text before the first wildcard (what to list), `base` the folder part before the
    segment holding it (what a match is named relative to).
    """

    def __init__(self, pattern):
        first = _MAGIC.search(pattern).start()
        self.prefix = pattern[:first]
        self.base = pattern[:pattern.rfind("/", 0, first) + 1]
        self._regex = re.compile(_translate(pattern, "[^/]*", "[^/]"), re.S)

    def match(self, key):
        return self._regex.fullmatch(key) is not None


class Filters:
    """Ordered --exclude/--include rules over paths relative to the source: everything is included until a
    rule says otherwise, and the last rule that matches decides. "*" matches across "/" here, so
    `--exclude '*.log'` leaves out logs at any depth."""

    def __init__(self, rules=()):
        self._rules = [(kind == "include", re.compile(_translate(p, ".*", "."), re.S)) for kind, p in rules or ()]

    def __bool__(self):
        return bool(self._rules)

    def included(self, relative):
        verdict = True
        for include, regex in self._rules:
            if regex.fullmatch(relative):
                verdict = include
        return verdict


class FilterAction(argparse.Action):
    """Collects --exclude and --include into one list in the order given."""

    def __call__(self, parser, namespace, values, option_string=None):
        rules = list(getattr(namespace, self.dest, None) or [])
        rules.append((option_string.lstrip("-"), values))
        setattr(namespace, self.dest, rules)


def add_filter_options(parser):
    parser.add_argument("--exclude", action=FilterAction, dest="filters", default=[], metavar="PATTERN",
                        help="leave out paths matching PATTERN (relative to the source; * crosses /)")
    parser.add_argument("--include", action=FilterAction, dest="filters", default=[], metavar="PATTERN",
                        help="take back paths matching PATTERN; the last matching rule decides")
