"""Fair shares of the host's expensive routes (survey plans, plot search, bounding-box tiles):
a request rate per client address, counted in Redis as the tile module counts tiles (and by the
process itself while Redis cannot count); the client's budget of work, in what its requests cost
(the tile module's admit_cost and settle_cost: one account per address for every worker and
host); a bound on each worker's concurrent work on them; and the host's slots of database work,
shared by all its workers (the tile module's enter_database_work), so that one client, or many,
cannot take the service from the others. Refusals say when to ask again: 429 (the client's rate
or budget) and 503 (the worker's or the host's work) carry Retry-After.

    app.include_router(router, dependencies=[Depends(FairShare("search", per_second=10, work=work, cost=True))])
    async with host_database_work():
        rows = await connection.fetch(...)
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import time
from collections.abc import AsyncIterator
from dataclasses import dataclass

import vexa.maptile_hub as hub
from fastapi import HTTPException, Request
from redis.exceptions import RedisError

from delivery.redis_pool import PoolShortage, pool_exhausted
from settings import RedisSettings

logger = logging.getLogger("vexa.fair_share")

REDIS_TIMEOUT_S = 0.3  # a count that takes longer is made by the process instead
REDIS_BACKOFF_S = 1.0  # after a failure, Redis is left alone this long
WINDOW_S = 1


class LocalWindows:
    """Per-key counts over fixed one-second windows, in this process: of requests, or of the
    distinct things asked for (a set per window)."""

    def __init__(self, max_keys: int = 100_000) -> None:
        self.max_keys = max_keys
        self._windows: dict[str, tuple[float, set[str]]] = {}
        self._serial = 0

    def admit(self, key: str, now: float, limit: int, member: str | None = None) -> bool:
        """Count `member` (or, without one, one more request) in `key`'s window: True while the
        window holds at most `limit`."""
        if member is None:
            self._serial += 1
            member = str(self._serial)
        opened, members = self._windows.get(key, (now - WINDOW_S, set()))
        if now - opened >= WINDOW_S:
            if key not in self._windows and len(self._windows) >= self.max_keys:
                self._sweep(now)
            opened, members = now, set()
            self._windows[key] = (opened, members)
        members.add(member)
        return len(members) <= limit

    def _sweep(self, now: float) -> None:
        self._windows = {k: w for k, w in self._windows.items() if now - w[0] < WINDOW_S}
        if len(self._windows) >= self.max_keys:
            self._windows.clear()


class RateCounter:
    """Counts requests per key in Redis (INCR, and EXPIRE at a window's first request); while Redis
    fails, for REDIS_BACKOFF_S after each failure, the process counts them. A call that finds
    the client's pool without a free connection is counted by the process too, but Redis is not
    left alone for it: the shortage is this process's, and the next call asks Redis again."""

    def __init__(self) -> None:
        self._client = None
        self._skip_until = 0.0
        self.local = LocalWindows()
        self.shortage = PoolShortage(logger, "the rate limit")

    @property
    def client(self):
        if self._client is None:
            self._client = RedisSettings.from_environment().client(REDIS_TIMEOUT_S, max_connections=64)
        return self._client

    async def admit(self, key: str, limit: int, member: str | None = None) -> bool:
        """One more request of `key`'s window, or, with `member`, one more of the distinct
        members asked for in it (the same member again counts once): True within `limit`."""
        now = time.monotonic()
        if now >= self._skip_until:
            try:
                async with asyncio.timeout(REDIS_TIMEOUT_S):
                    return await self._count_in_redis(key, limit, member)
            except (RedisError, OSError) as error:  # TimeoutError included; out of memory too
                if pool_exhausted(error):
                    self.shortage.note(self.client)
                else:
                    self._skip_until = now + REDIS_BACKOFF_S
                    logger.warning("rate limit of %s counted by this process: %r", key, error)
        return self.local.admit(key, now, limit, member)

    async def _count_in_redis(self, key: str, limit: int, member: str | None) -> bool:
        async with self.client.pipeline(transaction=False) as pipe:
            if member is None:
                pipe.incr(key)
            else:
                pipe.sadd(key, member)
                pipe.scard(key)
            pipe.expire(key, WINDOW_S, nx=True)  # the window opens with its first request
            counted = await pipe.execute()
        return counted[-2] <= limit


@dataclass
class Work:
    """A bound on this worker's concurrent work of one kind: a request waits at most `wait_s` for
    one of `slots`, or is refused."""

    name: str
    slots: int
    wait_s: float

    def __post_init__(self) -> None:
        self._free = asyncio.Semaphore(self.slots)

    async def enter(self) -> None:
        try:
            async with asyncio.timeout(self.wait_s):
                await self._free.acquire()
        except TimeoutError:
            raise HTTPException(status_code=503, detail=f"Too busy for {self.name} now. Please try again shortly.",
                                headers={"Retry-After": "1"}) from None

    def leave(self) -> None:
        self._free.release()


COUNTER = RateCounter()


def charge_work(request: Request | None, seconds: float) -> None:
    """Count `seconds` of work (database or drawing time) against the client of `request`: what
    its FairShare with `cost` settles when the request ends."""
    if request is not None:
        request.state.work_s = getattr(request.state, "work_s", 0.0) + seconds


@contextlib.asynccontextmanager
async def host_database_work(request: Request | None = None) -> AsyncIterator[None]:
    """One of the host's slots of expensive database work for the block (503 when none comes in
    time): the tile module's, so that its boxes and the host's statements share one bound. The
    time the block holds it is charged to the client of `request`."""
    slot = await hub.enter_database_work()
    started = time.monotonic()
    try:
        yield
    finally:
        hub.leave_database_work(slot)
        charge_work(request, time.monotonic() - started)


class FairShare:
    """A route dependency: the client's rate (`per_second` requests a second, when given), its
    budget of work (with `cost`: admitted by it, and charged at the request's end with the work
    the route counted with charge_work), then a slot of `work` (when given) for as long as the
    request runs."""

    def __init__(self, name: str, per_second: int | None = None, work: Work | None = None, cost: bool = False) -> None:
        self.name, self.per_second, self.work, self.cost = name, per_second, work, cost
        self.__name__ = f"fair_share_{name}"  # how the framework names the dependency

    async def __call__(self, request: Request) -> AsyncIterator[None]:
        address = request.client.host if request.client else "unknown"
        if self.per_second is not None:
            if not await COUNTER.admit(f"rate_limit:{self.name}:{address}", self.per_second):
                raise HTTPException(status_code=429, detail=f"Too many {self.name} requests. Please slow down.",
                                    headers={"Retry-After": str(WINDOW_S)})
        if self.cost:
            await hub.admit_cost(address)
        try:
            if self.work is None:
                yield
                return
            await self.work.enter()
            try:
                yield
            finally:
                self.work.leave()
        finally:
            if self.cost:
                await hub.settle_cost(address, getattr(request.state, "work_s", 0.0))
