"""A handler's coroutine from creation to its end: closed mid-query, cancelled in bulk on a real
session, caught in a reference cycle, inspected, never awaited, failing with a traceback."""

from __future__ import annotations

import asyncio
import gc
import inspect
import itertools
import logging
import re
import traceback
import warnings
import weakref

import psutil
import pytest
import services
from fastapi import HTTPException
from python_twins import PythonBinaryRedisCache, future_state
from sqlalchemy import text
from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine


# A tile statement that fails in the database (division by zero), with the tile's parameters.
FAILING = ("SELECT 1 / 0 WHERE CAST(:min_x AS float8) < CAST(:max_x AS float8)"
           " AND CAST(:min_y AS float8) < CAST(:max_y AS float8)")


class Client:
    def __init__(self, host: str) -> None:
        self.host = host


class Request:
    """What a handler reads of a request: the client's address."""

    _hosts = itertools.count(1)

    def __init__(self) -> None:
        n = next(self._hosts)
        self.client = Client(f"10.{200 + n // 65536 % 50}.{n // 256 % 256}.{n % 256}")


def awaited_chain(coro) -> list[str]:
    """The names along cr_await / gi_yieldfrom: what the coroutine waits on, outermost first."""
    names, current = [], coro.cr_await
    while current is not None:
        names.append(getattr(current, "__qualname__", type(current).__name__))
        current = getattr(current, "cr_await", None) or getattr(current, "gi_yieldfrom", None)
    return names


def query_started(session) -> bool:
    """Whether `session` has been given its statement: a stand-in records it, a real session has
    begun its transaction."""
    calls = getattr(session, "calls", None)
    return "execute" in calls if calls is not None else session.in_transaction()


async def drive_until_query(coro, session) -> None:
    """Drive `coro` as a task would until it waits on its session's execute (not on the Redis
    reads before it), then give the query time to reach the server."""
    for _ in range(1000):
        yielded = coro.send(None)
        if yielded is None:
            await asyncio.sleep(0)
            continue
        yielded._asyncio_future_blocking = False
        while not yielded.done():
            if any(name.endswith(".execute") for name in awaited_chain(coro)) and query_started(session):
                await asyncio.sleep(0.1)
                return
            await asyncio.sleep(0.002)
    raise AssertionError("the coroutine never reached its query")


class CleanSession:
    """Answers as an AsyncSession does; its query waits until released, and commit, rollback and
    close finish without suspending."""

    def __init__(self) -> None:
        self.calls: list[str] = []
        self.release = asyncio.get_running_loop().create_future()

    async def execute(self, statement, params=None):
        self.calls.append("execute")
        await self.release

    async def commit(self):
        self.calls.append("commit")

    async def rollback(self):
        self.calls.append("rollback")

    async def close(self):
        self.calls.append("close")


async def test_closing_mid_query_runs_the_transaction_exit(hub, raw_redis, hub_log):
    session = CleanSession()
    coro = hub.get_central_tile_info("plots", session)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    await drive_until_query(coro, session)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
    # Native frames are awaited in place, its time limit too: the handler waits on the query itself.
    assert awaited_chain(coro)[0] == "CleanSession.execute"
    assert session.calls == ["execute"]
    assert coro.close() is None
    assert session.calls == ["execute", "close"]  # GeneratorExit is not an error: no rollback
    assert hub_log.messages("ERROR") == [] and hub_log.messages("WARNING") == []
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED and coro.cr_await is None
    session.release.set_result(None)
    await asyncio.sleep(0)


def _normalised(records: list[logging.LogRecord]) -> list[tuple[str, str, str]]:
    return [(r.name, r.levelname, re.sub(r"0x[0-9a-f]+", "0x…", r.getMessage())) for r in records
            if r.name.startswith(("vexa", "sqlalchemy"))]


async def test_closing_mid_query_on_a_real_session_ends_as_python_does(hub, raw_redis, monkeypatch, caplog):
    sleeping = "SELECT pg_sleep(0.5) AS lat"
    monkeypatch.setattr(hub, "text", lambda _: text(sleeping))

    async def python_twin(layer_name, db):
        """get_central_tile_info up to its query, written in Python."""
        await hub.safe_cache_get("centroid:" + layer_name, timeout=2.0)
        try:
            async with hub.db_transaction(db):
                async with asyncio.timeout(15.0):
                    result = await db.execute(text(sleeping))
                return result.first()
        except asyncio.TimeoutError:
            hub.logger.error(f"Timeout calculating centroid for {layer_name}")
            raise HTTPException(status_code=408, detail="Centroid calculation timeout")
        except Exception as e:
            hub.logger.error(f"Error calculating centroid for {layer_name}: {e}")
            raise HTTPException(status_code=500, detail="Database error")

    async def closed_mid_query(make) -> dict:
        engine = create_async_engine(services.DATABASE_URL, pool_size=2, max_overflow=0)
        session = async_sessionmaker(engine)()
        caplog.clear()
        coro = make("plots", session)
        await drive_until_query(coro, session)
        try:
            coro.close()
            outcome = None
        except BaseException as e:  # what close() raises is part of what is compared
            outcome = (type(e), str(e))
        state = inspect.getcoroutinestate(coro)
        del coro
        gc.collect()
        await asyncio.sleep(0.8)  # the query ends on the server
        gc.collect()
        seen = {"close": outcome, "state": state, "log": _normalised(caplog.records),
                "checked out": engine.pool.checkedout()}
        await engine.dispose()
        return seen

    with caplog.at_level(logging.INFO):
        native = await closed_mid_query(hub.get_central_tile_info)
        python = await closed_mid_query(python_twin)
    assert native == python


def _rss() -> int:
    return psutil.Process().memory_info().rss


async def test_bulk_cancellation_mid_query_leaves_nothing_behind(hub, raw_redis, monkeypatch):
    """Ten thousand tile requests cancelled mid-query (Task.cancel, as a server does for a dropped
    client), mixed with time-outs and database errors, on real sessions."""
    engine = create_async_engine(services.DATABASE_URL, pool_size=40, max_overflow=0)
    sessions = async_sessionmaker(engine, expire_on_commit=False)
    sleeping = text("SELECT pg_sleep(1) WHERE CAST(:min_x AS float8) < CAST(:max_x AS float8)"
                    " AND CAST(:min_y AS float8) < CAST(:max_y AS float8)")
    failing = text(FAILING)
    statements = itertools.cycle([sleeping] * 5 + [failing])
    monkeypatch.setattr(hub, "text", lambda _: next(statements))
    monkeypatch.setattr(hub.logger, "disabled", True)
    # The driver reports connections it terminated after a cancellation ("Future exception was
    # never retrieved"); kept, those records would be the only thing that grows.
    monkeypatch.setattr(logging.getLogger("asyncio"), "disabled", True)
    counts = {"cancelled": 0, "timed out": 0, "failed": 0}

    async def request(i: int) -> None:
        async with sessions() as session:
            await hub.get_tile_xyz("plots", 16, 30000 + i % 50, 30000, Request(), session)

    async def timed_out(i: int) -> None:
        try:
            await asyncio.wait_for(request(i), 0.05)
        except TimeoutError:
            counts["timed out"] += 1
        except HTTPException as e:
            assert e.status_code == 500
            counts["failed"] += 1

    async def batch(start: int, size: int) -> None:
        tasks = [asyncio.create_task(request(start + i)) for i in range(size)]
        others = [asyncio.create_task(timed_out(start + i)) for i in range(size // 8)]
        for _ in range(100):  # until every request holds a connection: its query is running
            if engine.pool.checkedout() >= size or all(t.done() for t in tasks):
                break
            await asyncio.sleep(0.005)
        # The sleeping queries run for 1 s, longer than a batch on a busy machine takes until every
        # request holds its connection (at 0.2 s some finished first); the failing ones answer
        # within a few milliseconds of holding theirs, so give them that before cancelling the
        # rest mid-query.
        await asyncio.sleep(0.05)
        for t in tasks:
            t.cancel()
        for t in tasks:
            try:
                await t
            except asyncio.CancelledError:
                counts["cancelled"] += 1
            except HTTPException as e:
                assert e.status_code == 500  # the failing statement answered before the cancel
                counts["failed"] += 1
        await asyncio.gather(*others)

    async def rounds(total: int) -> None:
        for start in range(0, total, 32):
            await batch(start, 32)

    try:
        await rounds(320)
        await asyncio.sleep(0.3)
        gc.collect()
        objects_before, rss_before = len(gc.get_objects()), _rss()
        counts.update(cancelled=0)
        await rounds(10_240)
        await asyncio.sleep(0.5)
        gc.collect()
        objects_after, rss_after = len(gc.get_objects()), _rss()
        assert counts["cancelled"] >= 8000 and counts["timed out"] > 0 and counts["failed"] > 0, counts
        assert engine.pool.checkedout() == 0
        assert objects_after - objects_before < 1000, (objects_before, objects_after)
        assert rss_after - rss_before < 16 * 1024 * 1024, (rss_before, rss_after)
    finally:
        await engine.dispose()


class HangingRedis:
    def __init__(self) -> None:
        self.waiting = None

    async def get(self, key):
        self.waiting = asyncio.get_running_loop().create_future()
        return await self.waiting


async def test_a_cycle_through_a_suspended_coroutine_is_collected(hub):
    def dropped_in_a_cycle(cache_class) -> tuple[bool, str]:
        """Whether the coroutine was collected, and the state it left the awaited future in."""
        cache = cache_class(HangingRedis(), namespace="t")
        coro = cache.get("k")
        coro.send(None)
        assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED and coro.cr_suspended
        cache.pending = coro  # cache -> coroutine -> its argument self -> cache
        alive = weakref.ref(coro)
        waiting = cache.redis.waiting
        del cache, coro
        gc.collect()
        return alive() is None, future_state(waiting)

    native = dropped_in_a_cycle(hub.BinaryRedisCache)
    assert native[0]
    assert native == dropped_in_a_cycle(PythonBinaryRedisCache)


async def test_a_handler_never_awaited_warns(hub):
    with pytest.warns(RuntimeWarning, match="coroutine 'get_tile_xyz' was never awaited"):
        hub.get_tile_xyz("plots", 1, 0, 0, Request(), None)
        gc.collect()
    coro = hub.get_tile_xyz("plots", 1, 0, 0, Request(), None)
    coro.close()  # closed before it started: nothing to warn about
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del coro
        gc.collect()
    assert [w for w in caught if issubclass(w.category, RuntimeWarning)] == []


async def test_a_failing_tile_query_names_the_handler(hub, raw_redis, monkeypatch, hub_log):
    monkeypatch.setattr(hub, "text", lambda _: text(FAILING))
    engine = create_async_engine(services.DATABASE_URL, pool_size=1)
    try:
        async with async_sessionmaker(engine)() as session:
            with pytest.raises(HTTPException) as info:
                await hub.get_tile_xyz("plots", 16, 30001, 30001, Request(), session)
    finally:
        await engine.dispose()
    assert info.value.status_code == 500 and info.value.detail == "Database error"
    handler = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert handler[-1] == "get_tile_xyz"
    query = [f.name for f in traceback.extract_tb(info.value.__context__.__traceback__)]
    assert "execute" in query


async def test_a_session_referring_to_its_suspended_handler_is_collected(hub, raw_redis, monkeypatch):
    """session -> the handler's coroutine -> its query under the session's transaction -> session:
    once nothing else holds them, the collector frees the cycle, as it frees its Python twin's."""
    monkeypatch.setattr(hub, "safe_cache_get", lambda key, timeout=1.0: asyncio.sleep(0))

    async def python_twin(layer_name, db):
        await hub.safe_cache_get("centroid:" + layer_name, timeout=2.0)
        async with hub.db_transaction(db):
            async with asyncio.timeout(15.0):
                result = await db.execute(text("SELECT 1"))
            return result.first()

    collected = {}
    for name, make in (("python", python_twin), ("native", hub.get_central_tile_info)):
        session = CleanSession()
        coro = make("plots", session)
        await drive_until_query(coro, session)
        session.handler = coro
        handler, held = weakref.ref(coro), weakref.ref(session)
        del coro, session
        gc.collect()
        collected[name] = (handler() is None, held() is None)
    assert collected == {"python": (True, True), "native": (True, True)}
