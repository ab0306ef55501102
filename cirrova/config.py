"""Shared keyword arguments for the ``httpx.Client`` objects that clients create."""

from typing import Any

import httpx

HTTP_CLIENT_CONFIG: dict[str, Any] = {
    "timeout": httpx.Timeout(60.0, connect=10.0),
    "limits": httpx.Limits(max_connections=100, max_keepalive_connections=20),
    "follow_redirects": False,
    "verify": True,
}
