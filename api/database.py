"""Database access for the host: an async SQLAlchemy engine over asyncpg for sessions, and a
plain asyncpg pool for the host's own read-only statements.

The tile router takes a session per request (get_db). The plan, PDF and search routes run a few
read-only statements of their own and need none of a session's machinery: they borrow a
connection of `read_pool()`, which skips the session, the liveness ping at every checkout and
the reset statement at every return (a round trip each). A broken connection is replaced by the
pool on its next use.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import weakref
from collections.abc import AsyncIterator

import asyncpg
from sqlalchemy.engine import make_url
from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession, async_sessionmaker, create_async_engine

# The project's own PostGIS (scripts/services.sh) when DATABASE_URL names no other.
DEFAULT_DATABASE_URL = f"postgresql+asyncpg://postgres@127.0.0.1:{os.getenv('VEXA_PG_PORT', '55432')}/vexa"
DATABASE_URL = os.getenv("DATABASE_URL", DEFAULT_DATABASE_URL)
READ_POOL_SIZE = 10
ACQUIRE_TIMEOUT_S = 10.0
# The host's read-only statements take milliseconds; one that runs away (a plan for an odd plot,
# a server under load) is stopped, in the server and in the client, rather than hold a
# connection and its request for ever.
READ_STATEMENT_TIMEOUT_S = 10.0
# What a failed read looks like: the database unreachable or failing, or no connection free in time.
READ_FAILURES = (OSError, asyncpg.PostgresError, asyncpg.InterfaceError, TimeoutError)

engine: AsyncEngine = create_async_engine(DATABASE_URL, pool_size=10, max_overflow=20, pool_pre_ping=True)
SessionLocal = async_sessionmaker(engine, expire_on_commit=False)


async def get_db() -> AsyncIterator[AsyncSession]:
    """One session per request, closed when the request ends."""
    async with SessionLocal() as session:
        yield session


def asyncpg_dsn(url: str) -> str:
    """The DSN asyncpg takes for a SQLAlchemy URL of the asyncpg dialect."""
    return make_url(url).set(drivername="postgresql").render_as_string(hide_password=False)


async def _no_reset(connection: asyncpg.Connection) -> None:
    """Nothing to reset: statements on this pool set no session state, take no advisory locks
    and listen to nothing (asyncpg still rolls back a transaction a cancelled request left open)."""


# One pool per event loop: a pool's connections belong to the loop they were opened on.
_pools: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, asyncio.Task[asyncpg.Pool]] = weakref.WeakKeyDictionary()


async def read_pool() -> asyncpg.Pool:
    """The running loop's pool of connections for read-only statements (opened on first use)."""
    loop = asyncio.get_running_loop()
    opening = _pools.get(loop)
    if opening is None or (opening.done() and opening.exception() is not None):
        opening = _pools[loop] = loop.create_task(_open_pool())
    return await asyncio.shield(opening)


async def _open_pool() -> asyncpg.Pool:
    return await asyncpg.create_pool(asyncpg_dsn(DATABASE_URL), min_size=1, max_size=READ_POOL_SIZE,
                                     reset=_no_reset, command_timeout=READ_STATEMENT_TIMEOUT_S,
                                     server_settings={"statement_timeout": f"{round(READ_STATEMENT_TIMEOUT_S * 1000)}"})


async def change_connection() -> asyncpg.Connection:
    """A connection of its own for the tile module's change listener: it holds an advisory lock
    and listens for notifications for as long as it lives."""
    return await asyncpg.connect(asyncpg_dsn(DATABASE_URL))


@contextlib.asynccontextmanager
async def read_connection() -> AsyncIterator[asyncpg.Connection]:
    """A connection of the read pool for the block; TimeoutError when none is free in 10 s."""
    pool = await read_pool()
    async with pool.acquire(timeout=ACQUIRE_TIMEOUT_S) as connection:
        yield connection
