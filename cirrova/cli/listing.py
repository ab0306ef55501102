"""Listings the command line can act on: every page is checked before a command sees any of it."""

from .errors import CommandError

_PAGE = 1000


def pages(ctx, client, location, prefix):
    """Yields each page of the objects under `prefix` as a list of entries (entries without a key left out).

    A page is checked whole before it is yielded, so a command acting page by page never acts on a bad one:
    a key outside `prefix` (a server or proxy that ignored the prefix) and a page that says it is truncated
    but gives no way on (a listing that would end early and look complete) both raise CommandError, as does
    a continuation marker that leads back to an earlier page. A refused listing fails through `ctx.listing`.
    """
    marker = ""
    seen = {marker}
    while True:
        # Only the listing request itself: the caller's own requests between pages keep their replies.
        with ctx.listing(location):
            page = client.list(prefix=prefix, marker=marker, limit=_PAGE)
        entries = [entry for entry in page.get("objects") or () if entry.get("key")]
        for entry in entries:
            key = entry["key"]
            if not isinstance(key, str) or not key.startswith(prefix):
                raise CommandError(f"listing {location} returned {key!r}, outside the prefix {prefix!r}: "
                                   f"stopped before acting on that page")
        truncated = bool(page.get("is_truncated"))
        next_marker = (page.get("next_marker") or "") if truncated else ""
        if truncated and not next_marker:
            raise CommandError(f"listing {location} is incomplete: a page says more follow but gives "
                               f"no continuation marker")
        if truncated and next_marker in seen:
            raise CommandError(f"listing {location} is incomplete: the continuation marker "
                               f"{next_marker!r} leads back to an earlier page")
        yield entries
        if not truncated:
            return
        seen.add(next_marker)
        marker = next_marker


def objects(ctx, client, location, prefix):
    """Every object under `prefix`, from checked pages."""
    for page in pages(ctx, client, location, prefix):
        yield from page
