"""Drawn survey plans cached in Redis, keyed by what they are drawn from.

A plan's key is made of its kind ("png", ...), the identity of the code that draws it and the
digest of the records it is drawn from, so an edit to any of those records, or a new renderer,
gives a new key by itself and nothing ever has to be cleared. The key is also the plan's ETag.
Concurrent requests for one key draw it once: the first starts the drawing, the others wait
for it. A drawing that fails is answered as a failure to every request waiting for it and
leaves nothing in the cache. Redis failures only cost the cache: they are logged and the plan
is drawn.

Each process also keeps the plans it has lately read from or stored in Redis in memory (at most
VEXA_PLAN_MEMORY_MB, default 64, least recently used out first): reading a plan of half a
megabyte from Redis takes longer than the digest statement that finds its key. Keys name their
content, so a plan in memory is never stale; it holds only what Redis held, so a plan drawn
while Redis was down is drawn again once it is back, and stored.
"""

from __future__ import annotations

import asyncio
import hashlib
import json
import logging
import os
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import redis.asyncio as aioredis
from starlette.concurrency import run_in_threadpool

import metrics
from recent_bytes import RecentBytes
from redis_settings import RedisSettings

logger = logging.getLogger("vexa.plans")

NAMESPACE = "survey_plan"
TTL_S = 7 * 24 * 3600  # keys never go stale; the lifetime only bounds the memory they hold
REDIS_TIMEOUT_S = 2.0
MEMORY_BYTES = int(float(os.getenv("VEXA_PLAN_MEMORY_MB", "64")) * 2**20)


@dataclass(frozen=True)
class Drawn:
    """A drawn plan: its bytes and the headers that describe it (its scale, ...)."""

    body: bytes
    headers: dict[str, str]


class DrawingFailed(Exception):
    """The renderer failed on a plan's records (the renderer's error is the cause)."""


def _renderer_identity() -> str:
    """A digest of the renderer's module and of the code that builds its records."""
    from vexa import plots

    from plans import records

    digest = hashlib.sha256()
    for path in (plots.__file__, records.__file__):
        digest.update(Path(path).read_bytes())
    return digest.hexdigest()[:16]


_identity: str | None = None


def plan_key(kind: str, records_digest: str) -> str:
    """The cache key (and ETag) of a plan of `kind` drawn from records with `records_digest`."""
    global _identity
    if _identity is None:
        _identity = _renderer_identity()
    return f"{NAMESPACE}:{kind}:{_identity}:{records_digest}"


def etag(key: str) -> str:
    return '"' + hashlib.sha256(key.encode()).hexdigest()[:32] + '"'


def recent_plans(capacity_bytes: int) -> RecentBytes[str, Drawn]:
    """Plans by key within `capacity_bytes` of their bodies, the least recently used out first."""
    return RecentBytes(capacity_bytes, size_of=lambda drawn: len(drawn.body))


class PlanCache:
    """Drawn plans in Redis, each drawn once however many requests want it at the same time."""

    def __init__(self, client: aioredis.Redis, memory_bytes: int = MEMORY_BYTES) -> None:
        self.client = client
        self.recent = recent_plans(memory_bytes)
        self._drawing: dict[str, asyncio.Task[Drawn]] = {}

    async def get(self, key: str) -> Drawn | None:
        """The plan of `key`: from memory, a drawing under way (its failure raised), or Redis."""
        if (drawn := self.recent.get(key)) is not None:
            return drawn
        if (drawing := self._drawing.get(key)) is not None:
            return await asyncio.shield(drawing)
        return await self._read(key)

    async def draw(self, key: str, draw: Callable[[], Drawn]) -> Drawn:
        """The plan of `key`, drawn by `draw` (in the thread pool) unless it is being drawn or is
        cached by now; stored in Redis once drawn. A failure of `draw` is raised to every waiter
        as DrawingFailed."""
        if (drawing := self._drawing.get(key)) is None:
            if (cached := await self._read(key)) is not None:  # drawn while the records were read
                return cached
            if (drawing := self._drawing.get(key)) is None:
                drawing = asyncio.get_running_loop().create_task(self._draw_and_store(key, draw))
                self._drawing[key] = drawing
                drawing.add_done_callback(lambda _: self._drawing.pop(key, None))
        return await asyncio.shield(drawing)

    async def _draw_and_store(self, key: str, draw: Callable[[], Drawn]) -> Drawn:
        try:
            drawn = await run_in_threadpool(draw)
        except Exception as error:
            raise DrawingFailed(type(error).__name__) from error
        metrics.PLAN_RENDERS.labels(key.split(":")[1]).inc()
        try:
            async with self.client.pipeline(transaction=True) as pipe:
                pipe.hset(key, mapping={"body": drawn.body, "headers": json.dumps(drawn.headers)})
                pipe.expire(key, TTL_S)
                await asyncio.wait_for(pipe.execute(), REDIS_TIMEOUT_S)
        except Exception as error:  # the plan is served all the same
            logger.warning("survey plan cache write failed for %s: %r", key, error)
        else:
            self.recent.put(key, drawn)
        return drawn

    async def _read(self, key: str) -> Drawn | None:
        try:
            body, headers = await asyncio.wait_for(self.client.hmget(key, ["body", "headers"]), REDIS_TIMEOUT_S)
        except Exception as error:
            logger.warning("survey plan cache read failed for %s: %r", key, error)
            return None
        if body is None or headers is None:
            return None
        drawn = Drawn(body=body, headers=json.loads(headers))
        self.recent.put(key, drawn)
        return drawn


_cache: PlanCache | None = None


def plan_cache() -> PlanCache:
    """The host's plan cache (made on first use, once the environment is loaded)."""
    global _cache
    if _cache is None:
        _cache = PlanCache(RedisSettings.from_environment().client(REDIS_TIMEOUT_S))
    return _cache
