"""Listings the command line can act on: every page is checked before a command sees any of it."""

from .._listing import ListingError, checked_pages
from .errors import CommandError


def pages(ctx, client, location, prefix):
    """Yields each page of the objects under `prefix` as a list of entries (entries without a key left out).

    A page is checked whole before it is yielded, so a command acting page by page never acts on a bad one:
    a key outside `prefix`, a truncated page without a marker, or a marker leading back raise CommandError.
    A refused listing fails through `ctx.listing`, which wraps only the listing requests: the caller's own
    requests between pages keep their replies.
    """
    try:
        yield from checked_pages(client, prefix, where=str(location), around=lambda: ctx.listing(location))
    except ListingError as exc:
        raise CommandError(str(exc)) from None


def objects(ctx, client, location, prefix):
    """Every object under `prefix`, from checked pages."""
    for page in pages(ctx, client, location, prefix):
        yield from page
