"""Tile address and box checks, and db_transaction on real sessions of the project's PostGIS."""

from __future__ import annotations

import asyncio
from types import SimpleNamespace

import pytest
import services
from fastapi import HTTPException
from sqlalchemy import text
from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine


# The address rules themselves are the C++ tests' (tile_rules_test.cpp); these are what the
# Python function adds: a bool, integers of any size, and a TypeError for what is no integer.
@pytest.mark.parametrize(
    ("z", "x", "y", "valid"),
    [
        (1, 1, 1, True),
        (1, 2, 0, False),
        (10**30, 0, 0, False),
        (3, 10**30, 0, False),
        (3, 0, -(10**30), False),
        (-(2**70), 0, 0, False),
    ],
)
def test_tile_addresses(hub, z, x, y, valid):
    assert hub.validate_tile_coords(z, x, y) is valid


def test_tile_address_needs_integers(hub):
    with pytest.raises(TypeError):
        hub.validate_tile_coords(1.5, 0, 0)


def test_bbox_area_takes_integers_and_answers_a_float(hub):
    area = hub.calculate_bbox_area_degrees(0, 0, 2, 3)
    assert area == 6.0 and type(area) is float


@pytest.fixture
async def scratch():
    """Sessions of their own, with transactions (the host's tile sessions only read, in
    autocommit): what db_transaction commits and rolls back."""
    engine = create_async_engine(services.DATABASE_URL, pool_size=4)
    sessions = SimpleNamespace(engine=engine, SessionLocal=async_sessionmaker(engine, expire_on_commit=False))
    async with engine.begin() as conn:
        await conn.execute(text("CREATE TABLE IF NOT EXISTS tx_probe (id int PRIMARY KEY, "
                                "ref int REFERENCES tx_probe(id) DEFERRABLE INITIALLY DEFERRED)"))
        await conn.execute(text("TRUNCATE tx_probe"))
    yield sessions
    async with engine.begin() as conn:
        await conn.execute(text("DROP TABLE IF EXISTS tx_probe"))
    await engine.dispose()


async def rows(database) -> list[int]:
    async with database.SessionLocal() as other:
        return list((await other.execute(text("SELECT id FROM tx_probe ORDER BY id"))).scalars())


async def test_commit_is_visible_to_another_session_and_session_is_closed(hub, scratch):
    session = scratch.SessionLocal()
    async with hub.db_transaction(session) as db:
        assert db is session
        await db.execute(text("INSERT INTO tx_probe VALUES (1, NULL)"))
    assert await rows(scratch) == [1]
    assert not session.in_transaction()
    assert scratch.engine.pool.checkedout() == 0


async def test_body_error_rolls_back_and_comes_out_unchanged(hub, scratch):
    session = scratch.SessionLocal()
    raised = HTTPException(status_code=418, detail="teapot")
    with pytest.raises(HTTPException) as info:
        async with hub.db_transaction(session) as db:
            await db.execute(text("INSERT INTO tx_probe VALUES (2, NULL)"))
            raise raised
    assert info.value is raised
    assert await rows(scratch) == []
    assert scratch.engine.pool.checkedout() == 0


async def test_failing_commit_rolls_back_and_its_error_propagates(hub, scratch):
    from sqlalchemy.exc import IntegrityError

    session = scratch.SessionLocal()
    with pytest.raises(IntegrityError):
        async with hub.db_transaction(session) as db:
            await db.execute(text("INSERT INTO tx_probe VALUES (3, 99)"))  # checked at commit
    assert await rows(scratch) == []
    assert scratch.engine.pool.checkedout() == 0


class RecordingSession:
    def __init__(self, fail: str | None = None) -> None:
        self.calls: list[str] = []
        self.fail = fail

    async def _step(self, name):
        self.calls.append(name)
        if name == self.fail:
            raise RuntimeError(name + " failed")

    async def commit(self):
        await self._step("commit")

    async def rollback(self):
        await self._step("rollback")

    async def close(self):
        await self._step("close")


async def test_call_order_on_each_path(hub):
    ok = RecordingSession()
    async with hub.db_transaction(ok):
        pass
    assert ok.calls == ["commit", "close"]

    bad_rollback = RecordingSession(fail="rollback")
    with pytest.raises(RuntimeError, match="rollback failed"):
        async with hub.db_transaction(bad_rollback):
            raise KeyError("body")
    assert bad_rollback.calls == ["rollback", "close"]

    bad_close = RecordingSession(fail="close")
    with pytest.raises(RuntimeError, match="close failed"):
        async with hub.db_transaction(bad_close):
            pass
    assert bad_close.calls == ["commit", "close"]


async def test_cancellation_skips_rollback_but_closes(hub):
    session = RecordingSession()
    started = asyncio.Event()

    async def body():
        async with hub.db_transaction(session):
            started.set()
            await asyncio.sleep(30)

    task = asyncio.create_task(body())
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert session.calls == ["close"]
