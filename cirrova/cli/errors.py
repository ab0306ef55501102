"""The two kinds of failure the command line reports, and how a message is made fit for one line."""

import re
import xml.etree.ElementTree as ET


class UsageError(Exception):
    """The command cannot run as written (bad location, missing profile, wrong option): exit status 2."""


class CommandError(Exception):
    """The command ran and failed (missing object, refused request): exit status 1."""


_SPACE = re.compile(r"\s+")


def service_reason(text, limit=300):
    """The service's error code and message from an XML or JSON error body, else the text on one line."""
    text = text or ""
    start = text.find("<")
    if start >= 0:
        try:
            root = ET.fromstring(text[start:].strip())
        except ET.ParseError:
            pass
        else:
            found = {el.tag.rsplit("}", 1)[-1]: (el.text or "").strip() for el in root.iter()}
            parts = [found.get("Code", ""), found.get("Message", "")]
            joined = ": ".join(p for p in parts if p)
            if joined:
                return joined[:limit]
    flat = _SPACE.sub(" ", text).strip()
    return flat if len(flat) <= limit else flat[: limit - 1] + "…"


def response_error(what, response):
    """A CommandError for a reply that was not the expected success."""
    reason = service_reason(response.text) if response.request.method != "HEAD" else ""
    status = f"{response.status_code} {response.reason_phrase}".strip()
    return CommandError(f"{what}: {status}" + (f" ({reason})" if reason else ""))


def one_line(exc):
    """An exception as one line, with its type unless it is the clients' plain Exception."""
    text = str(exc)
    # The clients' composite operations raise "prefix: STATUS BODY" with the whole reply body.
    head, sep, rest = text.partition(": ")
    if sep and "<" in rest:
        status, _, body = rest.partition(" ")
        text = f"{head}: {status} {service_reason(body)}"
    else:
        text = service_reason(text, limit=500)
    name = type(exc).__name__
    if name == "Exception":
        return text or name
    return f"{name}: {text}" if text else name
