"""Database access for the host: an async SQLAlchemy engine over asyncpg for sessions, and a
plain asyncpg pool for the host's own read-only statements.

The tile router takes a session per request (get_db). It only reads, one statement at a time,
so its sessions cost no more round trips than their statements:
- the session is made when the router first uses it: a tile answered from the cache makes none;
- its connections are in autocommit: no BEGIN before a statement, no COMMIT after it (the
  router's commit and rollback send nothing);
- a connection is checked for life when it is taken from the pool by asking the driver whether
  the server closed it (a restarted server closes them all), not by a ping to the server;
- the pool keeps all its connections open: under load it does not open and close extra ones.

Both pools open all their connections when the app starts (`open_pools`, in the background), and
every connection runs a coordinate transformation as it opens. A server process's first PostGIS
statement loads PostGIS, and its first transformation PROJ's database: some 30 ms of the
database's CPU for each new connection. Paid at the start of a flood, for twenty or more
connections at once, that took the cores from the workers answering cached tiles for half a
second; paid when the app starts, it costs nobody. A connection replaced later (the database
restarted) is warmed as it opens too.

The plan, PDF and search routes run a few read-only statements of their own and need none of a
session's machinery: they borrow a connection of `read_pool()`. A broken connection is replaced
by the pool on its next use.

Each web worker opens VEXA_TILE_POOL_SIZE (20) connections for the tile router, VEXA_READ_POOL_SIZE
(10) for the read pool and one for the change listener; as the app starts, the server's
max_connections is read and the start fails (TooManyConnections) when the host's workers
(VEXA_WORKERS) would need more than it admits (`check_connection_budget`).
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import weakref
from collections.abc import AsyncIterator

import asyncpg
from sqlalchemy import event
from sqlalchemy.engine import make_url
from sqlalchemy.exc import DisconnectionError
from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession, async_sessionmaker, create_async_engine

import serving
import settings

logger = logging.getLogger("vexa.database")

DATABASE_URL = settings.database_url()
READ_POOL_SIZE = serving.whole_setting("VEXA_READ_POOL_SIZE", 10)  # the read pool's connections per worker
ACQUIRE_TIMEOUT_S = 10.0
# The host's read-only statements take milliseconds; one that runs away (a plan for an odd plot,
# a server under load) is stopped, in the server and in the client, rather than hold a
# connection and its request for ever.
READ_STATEMENT_TIMEOUT_S = 10.0
# What a failed read looks like: the database unreachable or failing, or no connection free in time.
READ_FAILURES = (OSError, asyncpg.PostgresError, asyncpg.InterfaceError, TimeoutError)

POOL_SIZE = serving.whole_setting("VEXA_TILE_POOL_SIZE", 20)  # the tile router's connections per worker, all kept open
# Run by every new connection: PostGIS loaded, and PROJ with the transformations the statements
# make (the web map's 3857 to the 4326 of a search's boxes, and back for a bounding box's).
WARMING = "SELECT ST_Transform(ST_Transform(ST_SetSRID(ST_MakePoint(0, 0), 3857), 4326), 3857)"

engine: AsyncEngine = create_async_engine(DATABASE_URL, pool_size=POOL_SIZE, max_overflow=0,
                                          isolation_level="AUTOCOMMIT", pool_reset_on_return=None)
SessionLocal = async_sessionmaker(engine, expire_on_commit=False)


@event.listens_for(engine.sync_engine, "connect")
def _warmed(dbapi_connection, record) -> None:
    """A new connection warmed; one that cannot be is used as it is (its connection is in
    autocommit: a failed statement leaves nothing to roll back)."""
    try:
        cursor = dbapi_connection.cursor()
        try:
            cursor.execute(WARMING)
        finally:
            cursor.close()
    except Exception as error:  # the connection's own use will tell whether it is broken
        logger.info("a tile connection not warmed: %r", error)


@event.listens_for(engine.sync_engine, "checkout")
def _alive(dbapi_connection, record, proxy) -> None:
    """A connection the server has closed (a restart, an administrator's termination) is not
    handed out: the pool replaces it. The driver knows without asking the server."""
    if dbapi_connection.driver_connection.is_closed():
        raise DisconnectionError("the server closed this connection")


class LazySession:
    """The request's session, made when first used: a request answered from the cache never
    makes one. It takes the calls the tile router makes of a session (execute, commit, rollback,
    close) and hands anything else to the session."""

    __slots__ = ("_session",)

    def __init__(self) -> None:
        self._session: AsyncSession | None = None

    @property
    def session(self) -> AsyncSession:
        if self._session is None:
            self._session = SessionLocal()
        return self._session

    async def execute(self, *args, **kwargs):
        return await self.session.execute(*args, **kwargs)

    async def commit(self) -> None:
        if self._session is not None:
            await self._session.commit()

    async def rollback(self) -> None:
        if self._session is not None:
            await self._session.rollback()

    async def close(self) -> None:
        if self._session is not None:
            await self._session.close()

    def __getattr__(self, name: str):
        return getattr(self.session, name)


async def get_db() -> AsyncIterator[AsyncSession]:
    """One session per request, made when the request first uses it, closed when it ends."""
    session = LazySession()
    try:
        yield session  # type: ignore[misc]  (it answers as an AsyncSession)
    finally:
        await session.close()


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
                                     max_inactive_connection_lifetime=0, init=_warm, reset=_no_reset,
                                     command_timeout=READ_STATEMENT_TIMEOUT_S,
                                     server_settings={"statement_timeout": f"{round(READ_STATEMENT_TIMEOUT_S * 1000)}"})


async def _warm(connection: asyncpg.Connection) -> None:
    try:
        await connection.execute(WARMING)
    except READ_FAILURES as error:  # used as it is; its own use will tell whether it is broken
        logger.info("a read connection not warmed: %r", error)


async def open_pools() -> None:
    """Both pools opened whole now, every connection warmed, rather than at the first requests
    that need them. What cannot be opened (the database out of reach, out of connections) is
    logged, not raised: the pools open as requests need them, as ever."""
    held = asyncio.Barrier(POOL_SIZE + READ_POOL_SIZE)  # each connection held until all are open

    async def opened(connection: contextlib.AbstractAsyncContextManager) -> None:
        try:
            async with connection:
                await held.wait()
        except BaseException:
            await held.abort()
            raise

    connections = [engine.connect() for _ in range(POOL_SIZE)] + [read_connection() for _ in range(READ_POOL_SIZE)]
    outcomes = await asyncio.gather(*map(opened, connections), return_exceptions=True)
    failures = [o for o in outcomes if isinstance(o, Exception) and not isinstance(o, asyncio.BrokenBarrierError)]
    if failures:
        logger.warning("database pools not opened whole at start (they open as requests need them): %r", failures[0])


class TooManyConnections(RuntimeError):
    """The host's web workers would open more connections than the database server admits."""


# What the server admits: max_connections, less the connections reserved for superusers and (from
# PostgreSQL 16) for the roles granted pg_use_reserved_connections.
ADMITTED = """
SELECT current_setting('max_connections')::int AS most,
       current_setting('superuser_reserved_connections')::int AS superuser_reserved,
       coalesce(current_setting('reserved_connections', true), '0')::int AS reserved
"""
BUDGET_TIMEOUT_S = 5.0  # to connect and read it; a server that does not answer by then is not checked


def connections_per_worker(listener: bool) -> int:
    """The most one web worker opens: the tile router's pool, the read pool (the plan, PDF and
    search routes share it; the drawing processes open none), and the change listener's own
    connection when it runs."""
    return POOL_SIZE + READ_POOL_SIZE + (1 if listener else 0)


async def check_connection_budget(workers: int, listener: bool) -> None:
    """TooManyConnections unless `workers` web workers, each with connections_per_worker(listener),
    fit the connections the server admits (ADMITTED, read now). A server out of reach is logged
    and not checked: the app starts, and its pools open as requests need them."""
    try:
        connection = await asyncpg.connect(asyncpg_dsn(DATABASE_URL), timeout=BUDGET_TIMEOUT_S)
        try:
            admits = await connection.fetchrow(ADMITTED, timeout=BUDGET_TIMEOUT_S)
        finally:
            await connection.close()
    except READ_FAILURES as error:
        logger.warning("the database's max_connections not read at start, the pools not checked against it: %r",
                       error)
        return
    admitted = admits["most"] - admits["superuser_reserved"] - admits["reserved"]
    each = connections_per_worker(listener)
    if workers * each <= admitted:
        return
    reserved = f"{admits['superuser_reserved']} superuser_reserved_connections"
    if admits["reserved"]:
        reserved += f" and {admits['reserved']} reserved_connections"
    raise TooManyConnections(
        f"{workers} web worker(s) (VEXA_WORKERS) x {each} database connections (VEXA_TILE_POOL_SIZE {POOL_SIZE} + "
        f"VEXA_READ_POOL_SIZE {READ_POOL_SIZE}{' + 1 for the change listener' if listener else ''}) = "
        f"{workers * each}, more than the {admitted} the database server admits (max_connections "
        f"{admits['most']} less {reserved}): lower VEXA_TILE_POOL_SIZE or VEXA_READ_POOL_SIZE (or VEXA_WORKERS), "
        f"or raise PostgreSQL's max_connections (or put PgBouncer in front)")


def check_before_serving() -> None:
    """check_connection_budget for the workers `scripts/dev.sh serve` is about to start, ending the
    process with its message (status 1) when they do not fit: uvicorn's supervisor, whose workers
    would each fail their start, ends with status 0."""
    try:
        asyncio.run(check_connection_budget(serving.WORKERS, listener=serving.follows_changes()))
    except TooManyConnections as error:
        raise SystemExit(f"serve: {error}") from None


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
