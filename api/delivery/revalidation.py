"""Conditional requests: answering If-None-Match with 304 when the client's copy is current."""

from __future__ import annotations


def weak_etag(digest: bytes) -> str:
    """The ETag of a body with `digest`; weak, so that its gzipped and its raw answer share it."""
    return 'W/"' + digest.hex() + '"'


def not_modified(if_none_match: str | None, tag: str) -> bool:
    """Whether an If-None-Match header names `tag` (compared weakly, as for GET) or is "*"."""
    if not if_none_match:
        return False
    wanted = tag.removeprefix("W/")
    for candidate in if_none_match.split(","):
        candidate = candidate.strip()
        if candidate == "*" or candidate.removeprefix("W/") == wanted:
            return True
    return False
