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

    app.add_middleware(GzipTiles, compressor=Compressor())
"""

from __future__ import annotations

import functools
import gzip
import re

import anyio
import xxhash
from starlette.datastructures import MutableHeaders
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from delivery.recent_bytes import RecentBytes
from delivery.revalidation import not_modified, weak_etag

TILE_TYPE = "application/vnd.mapbox-vector-tile"
TILE_TYPE_BYTES = TILE_TYPE.encode()
COMPRESSIBLE_TYPES = frozenset({TILE_TYPE_BYTES, b"application/json"})
MINIMUM_SIZE = 1024  # below this, gzip's header and the CPU cost outweigh the saving
THREAD_SIZE = 64 * 1024  # bodies from this size are compressed off the event loop
GZIP_THREADS = 2  # threads of their own: compressing never waits behind the framework's thread pool
GZIP_LEVEL = 6
CACHE_BYTES = 64 * 1024 * 1024  # compressed bodies kept per process


@functools.lru_cache(maxsize=256)
def accepts_gzip(accept_encoding: str) -> bool:
    """True when an Accept-Encoding value allows gzip (or "*") with a non-zero quality. Clients
    send a handful of distinct values, so the answers are kept."""
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


def compressible(start: Message) -> bool:
    """Whether an answer that starts with `start` is of a compressible media type, not yet encoded."""
    media_type = b""
    for name, value in start["headers"]:  # ASGI header names are lower case
        if name == b"content-type":
            media_type = value.split(b";")[0].strip().lower()
        elif name == b"content-encoding":
            return False
    return media_type in COMPRESSIBLE_TYPES


def request_header(headers: list[tuple[bytes, bytes]], name: bytes) -> str | None:
    for key, value in headers:
        if key == name:
            return value.decode("latin-1")
    return None


class Compressor:
    """What an answer of a compressible media type becomes on its way out: its ETag (tiles), 304
    for a client that holds it, and gzip where the client accepts it. One per app, shared by
    every path a tile leaves by."""

    def __init__(self, minimum_size: int = MINIMUM_SIZE, level: int = GZIP_LEVEL,
                 cache_bytes: int = CACHE_BYTES) -> None:
        self.minimum_size = minimum_size
        self.bodies = CompressedBodies(cache_bytes, level)
        self.threads: anyio.CapacityLimiter | None = None

    async def finish(self, request_headers: list[tuple[bytes, bytes]], start: Message,
                     body: bytes) -> tuple[Message, bytes]:
        """The start and the body to send for a whole answer (one body message) of a compressible
        media type (compressible()) to a request with `request_headers` (the scope's); the header
        list of `start` is changed in place. This runs for every tile answered, so it reads and
        writes the raw header lists (whose names ASGI has in lower case) directly."""
        headers = start["headers"]
        vary = etag = length = None
        media_type = b""
        for n, (name, value) in enumerate(headers):
            if name == b"vary":
                vary = n
            elif name == b"content-type":
                media_type = value
            elif name == b"etag":
                etag = n
            elif name == b"content-length":
                length = n
        if vary is None:
            headers.append((b"vary", b"Accept-Encoding"))
        else:
            headers[vary] = (b"vary", headers[vary][1] + b", Accept-Encoding")
        if start["status"] == 200 and media_type.startswith(TILE_TYPE_BYTES):
            tag = weak_etag(self.bodies.digest(body))
            if etag is None:
                headers.append((b"etag", tag.encode("latin-1")))
            else:
                headers[etag] = (b"etag", tag.encode("latin-1"))
            if not_modified(request_header(request_headers, b"if-none-match"), tag):
                start["headers"] = [(name, value) for name, value in headers
                                    if name != b"content-type" and name != b"content-length"]
                return {**start, "status": 304}, b""
        if len(body) < self.minimum_size or not accepts_gzip(request_header(request_headers, b"accept-encoding") or ""):
            return start, body
        packed = await self.gzip(body)
        headers.append((b"content-encoding", b"gzip"))
        if length is None:
            headers.append((b"content-length", str(len(packed)).encode("latin-1")))
        else:
            headers[length] = (b"content-length", str(len(packed)).encode("latin-1"))
        return start, packed

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


class GzipTiles:
    """ASGI middleware: a Compressor over one-message answers of the compressible media types."""

    def __init__(self, app: ASGIApp, compressor: Compressor | None = None) -> None:
        self.app = app
        self.compressor = compressor or Compressor()

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        start: Message | None = None
        passing = False

        async def send_compressed(message: Message) -> None:
            nonlocal start, passing
            if passing:
                await send(message)
                return
            if message["type"] == "http.response.start":
                if compressible(message):
                    start = message  # held until the body shows whether it is worth compressing
                else:
                    passing = True
                    await send(message)
                return
            if message["type"] != "http.response.body" or start is None:
                await send(message)
                return
            response_start, start = start, None
            passing = True
            if message.get("more_body", False):  # streamed: sent as it comes
                MutableHeaders(raw=response_start["headers"]).add_vary_header("Accept-Encoding")
                await send(response_start)
                await send(message)
                return
            body = message.get("body", b"")
            response_start, finished = await self.compressor.finish(scope["headers"], response_start, body)
            await send(response_start)
            if finished is body:
                await send(message)
            else:
                await send({"type": "http.response.body", "body": finished, "more_body": False})

        await self.app(scope, receive, send_compressed)
