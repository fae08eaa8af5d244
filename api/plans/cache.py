"""Drawn survey plans cached in Redis and in memory, keyed by what they are drawn from.

A plan's key is made of its kind ("png", "pdf"), the identity of the code that draws it and the
digest of the records it is drawn from, so an edit to any of those records, or a new renderer,
gives a new key by itself and nothing ever has to be cleared. The key is also the plan's ETag.
Concurrent requests for one key draw it once: the first starts the drawing (in the render pool,
pool.py), the others wait for it; when every request waiting for a drawing has gone before it
started, it is not started. A drawing that fails is answered as a failure to every request
waiting for it and leaves nothing in the cache. Redis failures only cost the cache: they are
logged and the plan is drawn; a read or a write that finds the client's pool without a free
connection is the same miss or lost write, logged at most once a second.

Redis holds each plan for a day and at most VEXA_PLANS_IN_REDIS plans (200 by default) in all:
storing a plan records its key in a sorted set by time and deletes the oldest beyond the bound,
in one script, so a client walking every plot id can never crowd the tiles out of Redis.

Each process also keeps the plans it has lately read from or stored in Redis in memory (at most
VEXA_PLAN_MEMORY_MB, default 64, least recently used out first): reading a plan of a few hundred
kilobytes from Redis takes longer than the digest statement that finds its key. Keys name their
content, so a plan in memory is never stale; it holds only what Redis held, so a plan drawn
while Redis was down is drawn again once it is back, and stored. Both budgets are read by
plans/settings.py.
"""

from __future__ import annotations

import asyncio
import hashlib
import importlib.util
import json
import logging
import time
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from pathlib import Path

import redis.asyncio as aioredis
from redis.exceptions import NoPermissionError, RedisError, ResponseError
from starlette.requests import Request

from delivery import fair_share, metrics
from delivery.recent_bytes import RecentBytes
from delivery.redis_pool import PoolShortage, pool_exhausted
from plans import pool as render_pool
from plans import settings as plan_settings
from plans.jobs import Drawn
from settings import RedisSettings

logger = logging.getLogger("vexa.plans")

NAMESPACE = "survey_plan"
STORED = "survey_plans_stored"  # the keys of the plans in Redis, scored by the time they were stored
TTL_S = 24 * 3600  # keys never go stale; the lifetime only bounds the memory they hold
REDIS_TIMEOUT_S = 2.0
SCRIPT_PROBE_S = 300  # while Redis refuses scripts, how long before they are asked for again

# Store one plan (KEYS[1]) for ARGV[3] seconds and keep at most ARGV[4] plans: the set of stored
# keys (KEYS[2]) forgets those that expired by themselves, then the oldest beyond the bound are
# deleted. Redis's clock, so that every app node trims by the same time.
STORE_PLAN = """
local now = redis.call('TIME')
local t = tonumber(now[1]) + tonumber(now[2]) / 1000000
local ttl = tonumber(ARGV[3])
redis.call('HSET', KEYS[1], 'body', ARGV[1], 'headers', ARGV[2])
redis.call('EXPIRE', KEYS[1], ttl)
redis.call('ZADD', KEYS[2], t, KEYS[1])
redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', t - ttl)
local excess = redis.call('ZCARD', KEYS[2]) - tonumber(ARGV[4])
while excess > 0 do
    local oldest = redis.call('ZRANGE', KEYS[2], 0, math.min(excess, 1000) - 1)
    redis.call('DEL', unpack(oldest))
    redis.call('ZREM', KEYS[2], unpack(oldest))
    excess = excess - #oldest
end
redis.call('EXPIRE', KEYS[2], ttl)
return redis.call('ZCARD', KEYS[2])
"""


def command_refused(error: RedisError) -> bool:
    """Whether Redis (or a proxy, or a test double) refused the command itself: unknown to it,
    or not permitted to this user."""
    return isinstance(error, NoPermissionError) or (
        isinstance(error, ResponseError) and "unknown command" in str(error))


class DrawingFailed(Exception):
    """The renderer failed on a plan's records (the renderer's error is the cause)."""


def _renderer_identity() -> str:
    """A digest of the renderer's module and of the code that builds its records, draws them and
    makes their pages."""
    from plans import jobs, records

    # The PDF page's module by its file: importing it would load Pillow into the web worker.
    pdf = importlib.util.find_spec("plans.pdf").origin
    digest = hashlib.sha256()
    for path in (importlib.util.find_spec("vexa.plots").origin, records.__file__, jobs.__file__, pdf):
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


@dataclass
class Flight:
    """One drawing under way and the requests waiting for it (None: a caller without a client)."""

    task: asyncio.Task[Drawn] | None = None
    waiting: list[Request | None] = field(default_factory=list)
    started: bool = False
    seconds: float = 0.0  # the drawing's, once drawn
    charged: bool = False  # to the client of the first request it answered

    async def wanted(self) -> bool:
        """Whether a request still waits with its client connected; if so the drawing starts."""
        for request in list(self.waiting):
            if request is None or await connected(request):
                self.started = True
                return True
        return False


async def connected(request: Request) -> bool:
    """Whether the client of `request` is still there (True when the server cannot tell)."""
    try:
        return not await request.is_disconnected()
    except Exception as error:
        logger.debug("could not tell whether the client of %s is connected: %r", request.url.path, error)
        return True


class PlanCache:
    """Drawn plans in Redis, each drawn once however many requests want it at the same time."""

    def __init__(self, client: aioredis.Redis, memory_bytes: int = plan_settings.MEMORY_BYTES) -> None:
        self.client = client
        self.recent = recent_plans(memory_bytes)
        self._store = client.register_script(STORE_PLAN)
        self._scripts_refused_until = 0.0  # while Redis refuses scripts: when to ask again
        self._flights: dict[str, Flight] = {}
        self.shortage = PoolShortage(logger, "the survey plan cache")

    async def get(self, key: str) -> Drawn | None:
        """The plan of `key` from memory or Redis (a drawing under way is joined by `draw`)."""
        if (drawn := self.recent.get(key)) is not None:
            return drawn
        return await self._read(key)

    async def draw(self, key: str, job: Callable[[tuple], Drawn], records: tuple, request: Request | None = None,
                   before_drawing: Callable[[], Awaitable[None]] | None = None) -> tuple[Drawn, bool]:
        """(the plan of `key`, whether it was drawn for this call): drawn by `job(records)` in the
        render pool unless it is being drawn, which this call then waits for, or is cached by now;
        stored in Redis once drawn. `before_drawing` is awaited before a new drawing is started
        (not before joining one): it may refuse it by raising. A failure of `job` is raised to
        every waiter as DrawingFailed; the pool's PoolBusy, RendererLost and NotWanted as they
        are. The drawing is given up if every request waiting for it goes (is cancelled, or its
        client disconnects) before it starts."""
        if (flight := self._flight(key)) is None:
            if (cached := await self._read(key)) is not None:  # drawn while the records were read
                return cached, False
            if self._flight(key) is None and before_drawing is not None:
                await before_drawing()
            if (flight := self._flight(key)) is None:
                flight = self._flights[key] = Flight()
                flight.task = asyncio.get_running_loop().create_task(self._draw_and_store(key, job, records, flight))
                flight.task.add_done_callback(lambda _: self._forget(key, flight))
        drawn = await self._join(key, flight, request)
        if not flight.charged:  # one drawing, charged once, to the first it answers
            flight.charged = True
            fair_share.charge_work(request, flight.seconds)
        return drawn, True

    def drawing(self, key: str) -> bool:
        """Whether the plan of `key` is being drawn (a request for it joins that drawing)."""
        return self._flight(key) is not None

    def _flight(self, key: str) -> Flight | None:
        """The drawing of `key` a request may still join (one that has ended is over, whatever its end)."""
        flight = self._flights.get(key)
        return flight if flight is not None and not flight.task.done() else None

    def _forget(self, key: str, flight: Flight) -> None:
        if self._flights.get(key) is flight:
            del self._flights[key]

    async def _join(self, key: str, flight: Flight, request: Request | None) -> Drawn:
        flight.waiting.append(request)
        try:
            return await asyncio.shield(flight.task)
        finally:
            flight.waiting.remove(request)
            if not flight.waiting and not flight.started:  # the last one gone before it started
                self._forget(key, flight)
                flight.task.cancel()

    async def _draw_and_store(self, key: str, job: Callable[[tuple], Drawn], records: tuple,
                              flight: Flight) -> Drawn:
        try:
            drawing = await render_pool.pool().run(job, records, wanted=flight.wanted)
        except (render_pool.PoolBusy, render_pool.RendererLost, render_pool.NotWanted, render_pool.DrawingTimedOut):
            raise
        except Exception as error:
            raise DrawingFailed(type(error).__name__) from error
        flight.seconds = drawing.seconds
        kind = key.split(":")[1]
        metrics.PLAN_RENDERS.labels(kind).inc()
        logger.debug("survey plan %s drawn in %.0f ms by process %d (nice %d)",
                     key, drawing.seconds * 1000, drawing.pid, drawing.niceness)
        drawn = drawing.result
        try:
            async with asyncio.timeout(REDIS_TIMEOUT_S):
                await self._store_plan(key, drawn)
        except Exception as error:  # the plan is served all the same
            if pool_exhausted(error):
                self.shortage.note(self.client)
            else:
                logger.warning("survey plan cache write failed for %s: %r", key, error)
        else:
            self.recent.put(key, drawn)
        return drawn

    async def _store_plan(self, key: str, drawn: Drawn) -> None:
        """Store a plan and trim the stored ones to the bound: in one script where Redis runs
        scripts; with plain commands where it refuses them (a user without @scripting, a proxy or
        a test double without EVAL), where two stores at once may trim a plan more or less than
        the bound says."""
        headers = json.dumps(drawn.headers)
        if time.monotonic() >= self._scripts_refused_until:
            try:
                await self._store(keys=[key, STORED], args=[drawn.body, headers, TTL_S, plan_settings.MAX_IN_REDIS])
                self._scripts_refused_until = 0.0
                return
            except RedisError as error:
                if not command_refused(error):
                    raise
                if not self._scripts_refused_until:
                    logger.warning("Redis runs no scripts for the survey plan cache (%r): plans are stored and "
                                   "trimmed with plain commands; asking again in %d s", error, SCRIPT_PROBE_S)
                self._scripts_refused_until = time.monotonic() + SCRIPT_PROBE_S
        seconds, microseconds = await self.client.time()
        now = seconds + microseconds / 1e6
        async with self.client.pipeline(transaction=False) as pipe:
            pipe.hset(key, mapping={"body": drawn.body, "headers": headers})
            pipe.expire(key, TTL_S)
            pipe.zadd(STORED, {key: now})
            pipe.zremrangebyscore(STORED, "-inf", now - TTL_S)
            pipe.expire(STORED, TTL_S)
            pipe.zcard(STORED)
            *_, stored = await pipe.execute()
        if (excess := stored - plan_settings.MAX_IN_REDIS) > 0:
            oldest = await self.client.zrange(STORED, 0, excess - 1)
            if oldest:
                await self.client.delete(*oldest)
                await self.client.zrem(STORED, *oldest)

    async def _read(self, key: str) -> Drawn | None:
        try:
            async with asyncio.timeout(REDIS_TIMEOUT_S):
                body, headers = await self.client.hmget(key, ["body", "headers"])
        except Exception as error:
            if pool_exhausted(error):
                self.shortage.note(self.client)
            else:
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
