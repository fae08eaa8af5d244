"""gzip for the host's tile and JSON answers, compressed once per distinct body, and ETags on tiles.

Vector tiles leave the tile router as the raw bytes PostGIS encoded (that is what the Redis
cache holds); this middleware gzips them on the way out to clients whose Accept-Encoding allows
it, with "Content-Encoding: gzip" and "Vary: Accept-Encoding". A popular tile is answered from
the cache again and again with the same bytes, so compressed bodies are kept in a small
in-process table keyed by a digest of the raw body: hashing a tile costs a few per cent of
compressing it (bench/scale.py prints both), and an invalidated tile that comes back different
simply gets a new digest. Large bodies are compressed in a worker thread (zlib releases the
GIL), so one big tile does not hold up the event loop.

Every tile answer carries a weak ETag made of the same digest of its raw bytes, so a client that
revalidates its copy (If-None-Match) is answered 304 without a body while the tile is unchanged.

    app.add_middleware(GzipTiles)
"""

from __future__ import annotations

import gzip
import re

import anyio
import xxhash
from starlette.datastructures import Headers, MutableHeaders
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from delivery.recent_bytes import RecentBytes
from delivery.revalidation import not_modified, weak_etag

TILE_TYPE = "application/vnd.mapbox-vector-tile"
COMPRESSIBLE = frozenset({TILE_TYPE, "application/json"})
MINIMUM_SIZE = 1024  # below this, gzip's header and the CPU cost outweigh the saving
THREAD_SIZE = 64 * 1024  # bodies from this size are compressed off the event loop
GZIP_THREADS = 2  # threads of their own: compressing never waits behind the framework's thread pool
GZIP_LEVEL = 6
CACHE_BYTES = 64 * 1024 * 1024  # compressed bodies kept per process


def accepts_gzip(accept_encoding: str) -> bool:
    """True when an Accept-Encoding value allows gzip (or "*") with a non-zero quality."""
    allowed: dict[str, bool] = {}
    for part in accept_encoding.split(","):
        coding, _, params = part.strip().partition(";")
        coding = coding.strip().lower()
        if not coding:
            continue
        quality = re.search(r"q\s*=\s*([^;,\s]*)", params)
        try:
            allowed[coding] = float(quality.group(1)) > 0 if quality else True
        except ValueError:
            allowed[coding] = False
    if "gzip" in allowed:
        return allowed["gzip"]
    return allowed.get("*", False)


class CompressedBodies(RecentBytes[bytes, bytes]):
    """Gzip bytes by the digest of their raw body, within a byte budget (thread-safe)."""

    def __init__(self, capacity_bytes: int = CACHE_BYTES, level: int = GZIP_LEVEL) -> None:
        super().__init__(capacity_bytes)
        self.level = level

    # XXH3-128 names a body, it does not guard it: nobody chooses the bodies (PostGIS encodes
    # them) and an ETag only has to change when the bytes do. About 6 us for an 80 KB tile
    # here, against 65 for SHA-1, on every tile answer.
    digest = staticmethod(xxhash.xxh3_128_digest)

    def compress(self, key: bytes, body: bytes) -> bytes:
        packed = gzip.compress(body, compresslevel=self.level, mtime=0)
        self.put(key, packed)
        return packed


class GzipTiles:
    """ASGI middleware: gzip one-message answers of the compressible media types."""

    def __init__(self, app: ASGIApp, minimum_size: int = MINIMUM_SIZE, level: int = GZIP_LEVEL,
                 cache_bytes: int = CACHE_BYTES) -> None:
        self.app = app
        self.minimum_size = minimum_size
        self.bodies = CompressedBodies(cache_bytes, level)
        self.threads: anyio.CapacityLimiter | None = None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        request_headers = Headers(scope=scope)
        wants_gzip = accepts_gzip(request_headers.get("accept-encoding", ""))
        start: Message | None = None
        passing = False

        async def send_compressed(message: Message) -> None:
            nonlocal start, passing
            if passing:
                await send(message)
                return
            if message["type"] == "http.response.start":
                headers = Headers(raw=message["headers"])
                media_type = headers.get("content-type", "").split(";")[0].strip().lower()
                if media_type not in COMPRESSIBLE or "content-encoding" in headers:
                    passing = True
                    await send(message)
                else:
                    start = message  # held until the body shows whether it is worth compressing
                return
            if message["type"] != "http.response.body" or start is None:
                await send(message)
                return
            response_start, start = start, None
            passing = True
            headers = MutableHeaders(raw=response_start["headers"])
            headers.add_vary_header("Accept-Encoding")
            body = message.get("body", b"")
            whole = not message.get("more_body", False)
            if whole and response_start["status"] == 200 and headers.get("content-type", "").startswith(TILE_TYPE):
                tag = weak_etag(self.bodies.digest(body))
                headers["ETag"] = tag
                if not_modified(request_headers.get("if-none-match"), tag):
                    del headers["Content-Type"]
                    del headers["Content-Length"]
                    await send({**response_start, "status": 304})
                    await send({"type": "http.response.body", "body": b"", "more_body": False})
                    return
            if not wants_gzip or not whole or len(body) < self.minimum_size:
                await send(response_start)
                await send(message)
                return
            packed = await self.gzip(body)
            headers["Content-Encoding"] = "gzip"
            headers["Content-Length"] = str(len(packed))
            await send(response_start)
            await send({"type": "http.response.body", "body": packed, "more_body": False})

        await self.app(scope, receive, send_compressed)

    async def gzip(self, body: bytes) -> bytes:
        key = self.bodies.digest(body)
        packed = self.bodies.get(key)
        if packed is not None:
            return packed
        if len(body) >= THREAD_SIZE:
            if self.threads is None:  # made on the loop that runs the app
                self.threads = anyio.CapacityLimiter(GZIP_THREADS)
            return await anyio.to_thread.run_sync(self.bodies.compress, key, body, limiter=self.threads)
        return self.bodies.compress(key, body)
