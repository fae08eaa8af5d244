"""The benchmarks' clients: HTTP clients of a server on the loopback, each bound to a source
address of its own (the tile module limits each address to 40 tiles a second), and Redis clients
of the project's Redis."""

from __future__ import annotations

import httpx
import redis.asyncio as aioredis
from settings import LOOPBACK, REDIS_PORT


def address(block: int, n: int) -> str:
    """The `n`th loopback source address from 127.0.<block>.1 on: 127.0.<block + n // 250>.<1 + n % 250>
    (250 to each third octet)."""
    return f"127.0.{block + n // 250}.{1 + n % 250}"


def addresses(block: int, count: int) -> list[str]:
    """`count` source addresses from 127.0.<block>.1 on."""
    return [address(block, n) for n in range(count)]


def client(port: int, source: str | None = None, connections: int | None = None,
           timeout: float | None = 30.0) -> httpx.AsyncClient:
    """A client of 127.0.0.1:`port`, from `source` (any address when None), with at most
    `connections` connections (httpx's default when None). Plain HTTP: no TLS context, whose
    making (tens of milliseconds) would hold up the event loop."""
    limits = httpx.Limits(max_connections=connections, max_keepalive_connections=connections) if connections \
        else httpx.Limits()
    transport = httpx.AsyncHTTPTransport(local_address=source, limits=limits, verify=False)
    return httpx.AsyncClient(base_url=f"http://{LOOPBACK}:{port}", transport=transport, timeout=timeout)


def redis_client(db: int = 0) -> aioredis.Redis:
    """A client of Redis database `db` of the project's Redis."""
    return aioredis.Redis(host=LOOPBACK, port=REDIS_PORT, db=db)
