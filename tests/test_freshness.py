"""Edits reach the tile cache by themselves, and no tile computed before an invalidation is stored
after it: the database's change log and triggers, the change listener (its election, its
failover, its resumption after the listener or Redis was down, its merging of bulk edits, its end
when cancelled), the checked cache write, TileJSON with versioned tile URLs, the versions stream
and tile ETags."""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import json
import math
import os
import signal
import sys
import time
from collections.abc import AsyncIterator, Callable

import asyncpg
import httpx
import mapbox_vector_tile
import pytest
import services
from demo_tiles import tile_at

ADMIN = {"Authorization": f"Bearer {services.ADMIN_TOKEN}"}
SCRATCH = "vexa_changes"  # a database of its own: the listener tests edit and empty its tables
HALF = math.pi * 6378137.0
LAYERS = {  # layer: (table, geometry column, id column, its minimum zoom)
    "plots": ('"GIS"."PLOT"', '"GEOMETRY"', '"ID"', 8),
    "beacons": ('"GIS"."BEACON"', '"GEOMETRY"', '"ID"', 12),
    "cadzones": ('"GIS"."CadZones"', "geometry", "id", 4),
    "districts": ('"GIS"."Districts"', "geometry", "id", 3),
    "lgas": ('"GIS"."LGAs"', "geometry", "id", 2),
}
INSERTS = {
    "plots": 'INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "GEOMETRY") VALUES (1, \'T1\', \'New\', {square})',
    "beacons": 'INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "GEOMETRY") VALUES (1, \'B1\', {point})',
    "cadzones": 'INSERT INTO "GIS"."CadZones" (id, name, geometry) VALUES (1, \'Z1\', ST_Multi({square}))',
    "districts": 'INSERT INTO "GIS"."Districts" (id, name, geometry) VALUES (1, \'D1\', ST_Multi({square}))',
    "lgas": 'INSERT INTO "GIS"."LGAs" (id, name, geometry) VALUES (1, \'L1\', ST_Multi({square}))',
}


def tile_of(x: float, y: float, z: int) -> tuple[int, int]:
    size = 2 * HALF / 2**z
    return int((x + HALF) // size), int((HALF - y) // size)


def centre_of(z: int, tx: int, ty: int) -> tuple[float, float]:
    size = 2 * HALF / 2**z
    return -HALF + (tx + 0.5) * size, HALF - (ty + 0.5) * size


# A point in the middle of a zoom-20 tile of the demo area: a 4 m square around it lies in that
# tile, and in the one tile of every lower zoom that holds it.
HERE = centre_of(20, *tile_of(815_500.0, 998_500.0, 20))
THERE = (HERE[0] + 2 * (2 * HALF / 2**20), HERE[1])  # two zoom-20 tiles east
FAR = "mvt_v8:{layer}:20:1:1"  # a tile on the other side of the world


def square(x: float, y: float) -> str:
    return f"ST_MakeEnvelope({x - 2}, {y - 2}, {x + 2}, {y + 2}, 3857)"


def covering_keys(layer: str, x: float, y: float) -> set[str]:
    """The cache keys of `layer`'s tiles over the point, at every zoom the layer is served."""
    return {f"mvt_v8:{layer}:{z}:{tx}:{ty}" for z in range(LAYERS[layer][3], 21) for tx, ty in [tile_of(x, y, z)]}


# Every connection of these tests gives up rather than wait for ever: on a lock (a listener left
# behind by an earlier test), on a statement, on the server.
LIMITS = {"timeout": 10, "command_timeout": 60, "server_settings": {"lock_timeout": "10s"}}
LOCK = 0x7665786174696C65  # the listener's advisory lock
LOCK_HOLDERS = """
    SELECT pid FROM pg_locks
    WHERE locktype = 'advisory' AND granted AND database = (SELECT oid FROM pg_database WHERE datname = current_database())
      AND (classid::bigint << 32 | objid::bigint) = $1"""


def connect(dsn: str):
    return asyncpg.connect(dsn, **LIMITS)


async def end_the_lock_holder(db: asyncpg.Connection) -> None:
    """Terminate the session holding the listener's lock in `db`'s database, if any."""
    await db.execute(f"SELECT pg_terminate_backend(pid) FROM ({LOCK_HOLDERS}) AS holders", LOCK)


async def release_the_lock(dsn: str) -> None:
    """No listener an earlier test left behind holds the lock."""
    db = await connect(dsn)
    try:
        await end_the_lock_holder(db)
    finally:
        await db.close()


@pytest.fixture(scope="module")
async def scratch(local_services) -> str:
    """The DSN of a database of the project's schema, its own tables (no demo data)."""
    admin = await connect(services.database_url(driver="postgresql").rsplit("/", 1)[0] + "/postgres")
    try:
        if not await admin.fetchval("SELECT 1 FROM pg_database WHERE datname = $1", SCRATCH):
            await admin.execute(f'CREATE DATABASE "{SCRATCH}"')
    finally:
        await admin.close()
    dsn = services.database_url(driver="postgresql").rsplit("/", 1)[0] + "/" + SCRATCH
    conn = await connect(dsn)
    try:
        for script in ("schema.sql", "tile_changes.sql"):
            await conn.execute((services.ROOT / "scripts" / script).read_text())
    finally:
        await conn.close()
    return dsn


@pytest.fixture
async def db(scratch) -> AsyncIterator[asyncpg.Connection]:
    """A connection to the scratch database, its layer tables and change log emptied first."""
    conn = await connect(scratch)
    await conn.execute('TRUNCATE "GIS"."BEACON", "GIS"."PLOT", "GIS"."CadZones", "GIS"."Districts", "GIS"."LGAs"')
    await conn.execute('DELETE FROM "GIS".tile_changes')
    yield conn
    await conn.close()


@contextlib.asynccontextmanager
async def listener(hub, dsn: str, log=None, connect_to: Callable[[], str] | None = None,
                   release: bool = True) -> AsyncIterator[asyncio.Task]:
    """The change listener as a task, on connections to `dsn` (or to what `connect_to()` names at
    each connection), once active when `log` is given; cancelled afterwards, and its connections
    terminated whatever it did, so that no lock outlives the block. Unless `release` is false,
    any session holding the lock (a listener an earlier test left) is ended first."""
    if release:
        await release_the_lock(dsn)
    opened: list[asyncpg.Connection] = []

    async def connecting() -> asyncpg.Connection:
        conn = await connect(connect_to() if connect_to else dsn)
        opened.append(conn)
        return conn

    def active() -> int:
        return log.messages("INFO").count("Tile change listener: active")

    before = active() if log is not None else 0
    task = asyncio.create_task(hub.listen_for_tile_changes(connecting))
    try:
        if log is not None:
            await until(lambda: active() > before, 20)
        yield task
    finally:
        task.cancel()
        await asyncio.wait([task], timeout=5)
        for conn in opened:
            conn.terminate()


async def until(condition: Callable[[], bool], seconds: float = 5.0) -> float:
    """Wait until `condition()` holds; the seconds it took (AssertionError when it never does)."""
    started = time.monotonic()
    while not condition():
        if time.monotonic() - started > seconds:
            raise AssertionError(f"not within {seconds} s")
        await asyncio.sleep(0.01)
    return time.monotonic() - started


# How the bounding-box entries of a layer are indexed: a sorted set of their keys by expiry (more
# entries than one page of it), a plain set as an older write kept it, or none (Redis evicted the
# index, and left its entries).
INDEXES = ("sorted", "legacy")


def cache_layer(raw_redis, layer: str, *points: tuple[float, float], index: str = "sorted") -> None:
    """Tiles of `layer` over the points, its centroid and its bbox entries (indexed as `index`
    says), a far tile, and the same tile of another layer."""
    writing = raw_redis.pipeline(transaction=False)
    for x, y in points:
        for key in covering_keys(layer, x, y):
            writing.set(key, b"tile")
    writing.set(FAR.format(layer=layer), b"far")
    writing.set(f"mvt_v8:centroid:{layer}", b"{}")
    boxes = [f"mvt_v8:bbox:{layer}:{n}:2:3:4:5000:True" for n in range(1500 if index == "sorted" else 1)]
    expiry = raw_redis.time()[0] + 3600
    for box in boxes:
        writing.set(box, b"box", ex=3600)
    if index == "sorted":
        writing.zadd(f"tile_bbox_index:mvt_v8:{layer}", {box: expiry for box in boxes})
    elif index == "legacy":
        writing.sadd(f"tile_bbox_index:mvt_v8:{layer}", *boxes)
    other = "lgas" if layer != "lgas" else "plots"
    writing.set(f"mvt_v8:{other}:20:1:1", b"other")
    writing.execute()


def cleared(raw_redis, layer: str, *points: tuple[float, float]) -> bool:
    keys = set().union(*(covering_keys(layer, x, y) for x, y in points))
    keys |= {f"mvt_v8:centroid:{layer}", f"tile_bbox_index:mvt_v8:{layer}"}
    return not any(raw_redis.exists(k) for k in keys) and not any(raw_redis.scan_iter(f"mvt_v8:bbox:{layer}:*", 1000))


async def test_every_edit_of_every_layer_clears_its_tiles_and_only_those(hub, raw_redis, db, scratch, hub_log):
    indexes = itertools.cycle(INDEXES)
    async with listener(hub, scratch, hub_log):
        for layer, (table, geom, id_col, _) in LAYERS.items():
            moves = {"square": square(*HERE), "point": f"ST_SetSRID(ST_MakePoint({HERE[0]}, {HERE[1]}), 3857)"}
            edits = [
                ("insert", INSERTS[layer].format(**moves), [HERE]),
                ("update of an attribute", f"UPDATE {table} SET {id_col} = {id_col} WHERE {id_col} = 1", [HERE]),
                ("update of the geometry",
                 f"UPDATE {table} SET {geom} = ST_Translate({geom}, {THERE[0] - HERE[0]}, 0) WHERE {id_col} = 1",
                 [HERE, THERE]),
                ("delete", f"DELETE FROM {table} WHERE {id_col} = 1", [THERE]),
            ]
            for what, statement, points in edits:
                cache_layer(raw_redis, layer, HERE, THERE, index=next(indexes))
                version = raw_redis.get(f"tile_version:mvt_v8:{layer}")
                await db.execute(statement)
                await until(lambda: cleared(raw_redis, layer, *points) and
                            raw_redis.get(f"tile_version:mvt_v8:{layer}") != version)
                kept = {FAR.format(layer=layer), "mvt_v8:" + ("lgas" if layer != "lgas" else "plots") + ":20:1:1"}
                untouched = {HERE, THERE} - set(points)
                for x, y in untouched:
                    kept |= covering_keys(layer, x, y) - set().union(*(covering_keys(layer, *p) for p in points))
                assert all(raw_redis.exists(k) for k in kept), (layer, what, [k for k in kept if not raw_redis.exists(k)])
        assert await db.fetchval('SELECT count(*) FROM "GIS".tile_changes') == 0  # pruned once applied


async def test_emptying_a_table_or_a_bulk_edit_clears_the_layer(hub, raw_redis, db, scratch, hub_log, monkeypatch):
    cache_layer(raw_redis, "plots", HERE)
    raw_redis.set("mvt_v8:beacons:18:5:5", b"other layer")
    async with listener(hub, scratch, hub_log):
        await db.execute('TRUNCATE "GIS"."PLOT"')
        # The layer is cleared page by page, and logged once it is.
        await until(lambda: any("1 change to plots (the table was emptied): the layer's cache is cleared" in m
                                for m in hub_log.messages("INFO")))
        assert not raw_redis.exists(FAR.format(layer="plots"))
        assert cleared(raw_redis, "plots", HERE) and raw_redis.exists("mvt_v8:beacons:18:5:5")

        # Six thousand plots in one statement: not followed tile by tile, the layer is cleared. An
        # edit whose change took its id before theirs commits while the layer is being cleared: it
        # is left for the next round (ids are given at insert, not at commit), not deleted unapplied.
        cache_layer(raw_redis, "plots", HERE)
        late = await connect(scratch)
        try:
            late_edit = late.transaction()
            await late_edit.start()
            await late.execute(f'INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "GEOMETRY") VALUES (7000, \'L\', {square(*THERE)})')
            scanning = CommitsDuringTheScan(hub.redis_client, late_edit.commit)
            monkeypatch.setattr(hub, "redis_client", scanning)
            await db.execute(f"""
                INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "GEOMETRY")
                SELECT n, 'P' || n, ST_MakeEnvelope({HERE[0]} + n * 40, {HERE[1]}, {HERE[0]} + n * 40 + 30, {HERE[1]} + 30, 3857)
                FROM generate_series(1, 6000) AS n""")
            await asyncio.wait_for(scanning.committed.wait(), 10)  # while the layer was being cleared
        finally:
            await late.close()
        await until(lambda: any(m.startswith("Tile change listener: 6000 changes to plots are more than 5000 to "
                                             "follow one by one: the layer's cache is cleared")
                                for m in hub_log.messages("INFO")), 10)
        assert not raw_redis.exists(FAR.format(layer="plots"))
        await until(lambda: any(m.startswith("Tile change listener: 1 change to plots: ") for m in hub_log.messages("INFO")))
        monkeypatch.undo()
        # One district-sized edit reaches too many tiles on its own.
        cache_layer(raw_redis, "plots", HERE)
        await db.execute(f'UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_MakeEnvelope({HERE[0]}, {HERE[1]}, '
                         f'{HERE[0] + 20000}, {HERE[1] + 20000}, 3857) WHERE "ID" = 1')
        # (two changes: the bounds before and after)
        await until(lambda: any("2 changes to plots reach too many tiles" in m for m in hub_log.messages("INFO")))
        assert not raw_redis.exists(FAR.format(layer="plots"))
        assert sum("2 changes to plots reach too many tiles" in m for m in hub_log.messages("INFO")) == 1


class Wrapped:
    """The tile module's Redis client, some of its calls replaced by a subclass."""

    def __init__(self, client) -> None:
        self.client = client

    def __getattr__(self, name: str):
        return getattr(self.client, name)


class CommitsDuringTheScan(Wrapped):
    """Its first SCAN commits another transaction (`commit`) before it scans: an edit that
    commits while the listener clears a layer, inside the listener's own call."""

    def __init__(self, client, commit) -> None:
        super().__init__(client)
        self.commit, self.committed = commit, asyncio.Event()

    async def scan(self, *args, **kwargs):
        if not self.committed.is_set():
            await self.commit()
            self.committed.set()
        return await self.client.scan(*args, **kwargs)


class UnlinkAnswersOddly(Wrapped):
    """Its UNLINK answers what no Redis answers (text, where Redis answers a count)."""

    async def unlink(self, *keys):
        await self.client.unlink(*keys)
        return "many"


class LosesACancellation(Wrapped):
    """The tile module's Redis client, but its INCR answers even when cancelled while it waits, as
    redis-py's asyncio client does when the cancellation comes as the answer arrives."""

    def __init__(self, client) -> None:
        super().__init__(client)
        self.waiting = asyncio.Event()

    async def incr(self, *args):
        self.waiting.set()
        try:
            await asyncio.sleep(1)
        except asyncio.CancelledError:
            pass  # lost: the task still counts it
        return await self.client.incr(*args)


async def test_the_listener_ends_when_cancelled_even_if_a_call_loses_the_cancellation(hub, raw_redis, db, scratch,
                                                                                       monkeypatch, hub_log):
    client = LosesACancellation(hub.redis_client)
    monkeypatch.setattr(hub, "redis_client", client)
    async with listener(hub, scratch, hub_log) as task:
        await db.execute(INSERTS["plots"].format(square=square(*HERE)))
        await asyncio.wait_for(client.waiting.wait(), 10)  # applying the change: advancing the generation
        task.cancel()
        done, _ = await asyncio.wait([task], timeout=5)
        assert done and task.cancelled()


async def test_edits_while_the_listener_is_down_are_applied_when_it_is_back(hub, raw_redis, db, scratch, hub_log,
                                                                            monkeypatch):
    # A backlog of 2,100 beacons placed around HERE, worked through in batches; and two changes
    # older than the retention asked for (a minute), one of them older than the longest cache
    # lifetime too (two hours' centroids, twice over), which is the least the log keeps.
    cache_layer(raw_redis, "beacons", HERE)
    cache_layer(raw_redis, "lgas", THERE)
    cache_layer(raw_redis, "districts", THERE)
    await db.execute(f"""
        INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "GEOMETRY")
        SELECT n, 'B', ST_SetSRID(ST_MakePoint({HERE[0]} + n % 50 * 0.2 - 5, {HERE[1]} + n / 50 * 0.2 - 4), 3857)
        FROM generate_series(0, 2099) AS n""")
    for layer, hours in (("lgas", 5), ("districts", 3)):
        await db.execute('INSERT INTO "GIS".tile_changes (layer, minx, miny, maxx, maxy, changed_at) '
                         f"VALUES ($1, $2, $3, $2, $3, clock_timestamp() - interval '{hours} hours')", layer, *THERE)
    assert await db.fetchval('SELECT count(*) FROM "GIS".tile_changes') == 2102
    monkeypatch.setattr(hub, "CHANGE_RETENTION_S", 60)
    async with listener(hub, scratch, hub_log):
        await until(lambda: sum(m.startswith(("Tile change listener: 100 changes to beacons: ",
                                              "Tile change listener: 1 change to districts: "))
                                for m in hub_log.messages("INFO")) == 2, 20)
    assert cleared(raw_redis, "beacons", HERE) and cleared(raw_redis, "districts", THERE)
    info = hub_log.messages("INFO")
    assert "Tile change listener: 1 change older than 14400 s purged from the change log (every tile cached before " \
           "them has expired)" in info
    assert [m.split(":")[1] for m in info if m.startswith("Tile change listener: ") and " to beacons:" in m] == [
        " 1000 changes to beacons", " 1000 changes to beacons", " 100 changes to beacons"]
    assert all(raw_redis.exists(k) for k in covering_keys("lgas", *THERE))  # purged, not applied
    assert await db.fetchval('SELECT count(*) FROM "GIS".tile_changes') == 0


async def test_edits_while_redis_does_not_answer_are_applied_when_it_does(hub, raw_redis, db, scratch, hub_log,
                                                                        fresh_pool):
    cache_layer(raw_redis, "lgas", HERE)
    async with listener(hub, scratch, hub_log):
        with services.redis_paused():
            await db.execute(INSERTS["lgas"].format(square=square(*HERE)))
            await until(lambda: any(m.startswith("Tile change listener: Redis failed while applying the changes to lgas")
                                    for m in hub_log.messages("WARNING")), 10)
            assert await db.fetchval('SELECT count(*) FROM "GIS".tile_changes') == 1  # kept for the retry
        await until(lambda: any(m.startswith("Tile change listener: 1 change to lgas: ") for m in hub_log.messages("INFO")), 15)
    assert cleared(raw_redis, "lgas", HERE)
    assert await db.fetchval('SELECT count(*) FROM "GIS".tile_changes') == 0


async def test_a_lock_holder_that_stops_moving_is_ended(hub, db, scratch, hub_log):
    # A session that holds the lock and changes state no more, without the time-outs of the
    # listener's own sessions: as one of a listener frozen amid a statement's exchange looks.
    holder = await connect(scratch)
    try:
        assert await holder.fetchval("SELECT pg_try_advisory_lock($1)", LOCK)
        async with listener(hub, scratch, release=False):
            moving_until = time.monotonic() + 10
            while time.monotonic() < moving_until:  # while it moves, it is left alone
                await holder.execute("SELECT 1")
                await asyncio.sleep(0.5)
            assert "Tile change listener: standing by (another process applies the changes)" in hub_log.messages("INFO")
            await until(lambda: "Tile change listener: active" in hub_log.messages("INFO"), 20)
            assert any(m.startswith("Tile change listener: the active listener's session (server process ")
                       and m.endswith(") has not moved for 8 s: it is ended") for m in hub_log.messages("WARNING"))
    finally:
        holder.terminate()


async def test_the_listener_says_why_it_cannot_follow_and_follows_once_it_can(hub, raw_redis, db, scratch, hub_log,
                                                                             monkeypatch):
    def warned(start: str) -> bool:
        return any(m.startswith("Tile change listener: " + start) for m in hub_log.messages("WARNING"))

    # First nothing answers at the address, then the database has no change log.
    addresses = iter([scratch.replace(f":{services.PG_PORT}/", ":1/")])
    await db.execute('ALTER TABLE "GIS".tile_changes RENAME TO tile_changes_away')
    renamed = True
    try:
        async with listener(hub, scratch, connect_to=lambda: next(addresses, scratch)) as task:
            await until(lambda: warned('the change log "GIS".tile_changes is missing: run scripts/tile_changes.sql on '
                                       "this database (UndefinedTableError: "), 20)
            assert hub_log.messages("WARNING")[0].startswith("Tile change listener: cannot connect to the database (")
            await db.execute('ALTER TABLE "GIS".tile_changes_away RENAME TO tile_changes')
            renamed = False

            # An error of the module's C++ (an answer it cannot read) is logged, and retried.
            monkeypatch.setattr(hub, "redis_client", UnlinkAnswersOddly(hub.redis_client))
            cache_layer(raw_redis, "plots", HERE)
            await db.execute(INSERTS["plots"].format(square=square(*HERE)))
            await until(lambda: warned("applying the changes to plots failed (they are kept and applied again): "
                                       "TypeError"), 20)
            assert await db.fetchval('SELECT count(*) FROM "GIS".tile_changes') == 1
            monkeypatch.undo()
            await until(lambda: any(m.startswith("Tile change listener: 1 change to plots: ")
                                    for m in hub_log.messages("INFO")), 15)
            assert cleared(raw_redis, "plots", HERE) and not task.done()
    finally:
        if renamed:
            await db.execute('ALTER TABLE "GIS".tile_changes_away RENAME TO tile_changes')


async def test_a_redis_at_its_memory_bound_still_loses_the_stale_tiles(hub, raw_redis, db, scratch, hub_log):
    def logged(level: str, start: str) -> bool:
        return any(m.startswith("Tile change listener: " + start) for m in hub_log.messages(level))

    config = raw_redis.config_get("maxmemory*")
    generation, version = "tile_generation:mvt_v8:plots", "tile_version:mvt_v8:plots"
    try:
        raw_redis.config_set("maxmemory-policy", "allkeys-lru")
        async with listener(hub, scratch, hub_log):
            assert logged("WARNING", "Redis may evict the layers' generations (maxmemory-policy allkeys-lru)")
            # Such a Redis may have evicted a box index too: entries without one are found by SCAN.
            cache_layer(raw_redis, "districts", HERE, index="missing")
            await db.execute(INSERTS["districts"].format(square=square(*HERE)))
            await until(lambda: logged("INFO", "1 change to districts: "))
            assert cleared(raw_redis, "districts", HERE)

        cache_layer(raw_redis, "plots", HERE)
        raw_redis.set(generation, 7)
        raw_redis.config_set("maxmemory-policy", "noeviction")
        raw_redis.config_set("maxmemory", 1)  # every write refused, deletions allowed
        async with listener(hub, scratch, hub_log):
            assert logged("WARNING", "Redis refuses writes at its memory bound (maxmemory-policy noeviction, maxmemory 1)")
            await db.execute(INSERTS["plots"].format(square=square(*HERE)))
            await until(lambda: logged("WARNING", "Redis failed while applying the changes to plots"), 15)
            assert logged("WARNING", "Redis is out of memory and refuses to advance the generation of plots")
            assert cleared(raw_redis, "plots", HERE)  # removed all the same, to make room
            assert raw_redis.get(generation) == b"7"  # not advanced yet: the change is kept
            assert await db.fetchval('SELECT count(*) FROM "GIS".tile_changes') == 1
            raw_redis.config_set("maxmemory", config["maxmemory"])
            await until(lambda: logged("INFO", "1 change to plots: "), 15)
            assert raw_redis.get(generation) == raw_redis.get(version) == b"8"
    finally:
        raw_redis.config_set("maxmemory", config["maxmemory"])
        raw_redis.config_set("maxmemory-policy", config["maxmemory-policy"])


async def test_the_host_starts_the_listener_again_unless_the_app_stops_it(hub, monkeypatch, caplog):
    import main

    calls = []

    async def listen(connect) -> None:  # a listener that fails, then returns, then runs until cancelled
        calls.append(connect)
        if len(calls) == 1:
            raise RuntimeError("a fault")
        if len(calls) == 3:
            await asyncio.Event().wait()

    monkeypatch.setattr(hub, "listen_for_tile_changes", listen)
    monkeypatch.setattr(main, "LISTENER_RESTART_S", 0.01)
    supervisor = main.ChangeListener()
    supervisor.start()
    await until(lambda: len(calls) == 3)
    running = supervisor.task
    await supervisor.stop()
    await asyncio.sleep(0.1)
    assert running.cancelled() and calls == [main.database.change_connection] * 3  # not started again
    assert [r.getMessage() for r in caplog.records if r.name == "vexa.main"] == [
        "the tile change listener ended (RuntimeError('a fault')); starting it again in 0.01 s",
        "the tile change listener ended (it returned); starting it again in 0.01 s"]


LISTENER_SCRIPT = """
import asyncio, logging, sys
import asyncpg
logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout, force=True)
import vexa.maptile_hub as hub
asyncio.run(hub.listen_for_tile_changes(lambda: asyncpg.connect(sys.argv[1])))
"""


@pytest.mark.parametrize("going", ["killed", "frozen", "disconnected"])
async def test_a_standby_takes_over_when_the_active_listener_goes(raw_redis, db, scratch, going):
    await release_the_lock(scratch)
    started: list[asyncio.subprocess.Process] = []

    async def start() -> tuple[asyncio.subprocess.Process, list[str]]:
        process = await asyncio.create_subprocess_exec(
            sys.executable, "-c", LISTENER_SCRIPT, scratch, cwd=services.ROOT / "api", env=dict(os.environ),
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT, preexec_fn=services.ends_with_its_parent)
        started.append(process)
        lines: list[str] = []

        async def read() -> None:
            while line := await process.stdout.readline():
                lines.append(line.decode().strip())

        asyncio.ensure_future(read())
        return process, lines

    try:
        first, first_lines = await start()
        await until(lambda: "Tile change listener: active" in first_lines, 20)
        second, second_lines = await start()
        await until(lambda: any("standing by" in line for line in second_lines), 20)
        cache_layer(raw_redis, "plots", HERE)
        await db.execute(INSERTS["plots"].format(square=square(*HERE)))
        await until(lambda: cleared(raw_redis, "plots", HERE))
        assert "Tile change listener: active" not in second_lines

        if going == "killed":  # its connection, and with it the lock, goes
            first.send_signal(signal.SIGKILL)
            await first.wait()
        elif going == "frozen":  # its session falls silent, and the server ends it
            first.send_signal(signal.SIGSTOP)
        else:
            await end_the_lock_holder(db)
        took = await until(lambda: "Tile change listener: active" in second_lines, 30)
        assert took < 15
        cache_layer(raw_redis, "plots", HERE)
        await db.execute('UPDATE "GIS"."PLOT" SET "STATUS" = \'Revoked\' WHERE "ID" = 1')
        await until(lambda: cleared(raw_redis, "plots", HERE))
        if going != "killed":  # going on, the first finds its connection gone, and stands by
            first.send_signal(signal.SIGCONT)
            await until(lambda: any("standing by" in line for line in first_lines), 15)
            assert any(line.startswith("Tile change listener: the database connection failed (") for line in first_lines)
    finally:
        for process in started:  # a listener left behind would hold the lock for the next tests
            if process.returncode is None:
                process.kill()
                await process.wait()


class Gated:
    """A session whose statements run, then hold their answer until the gate opens: a query that
    took its snapshot before whatever the test does meanwhile."""

    def __init__(self, session, gate: asyncio.Event) -> None:
        self.session, self.gate, self.answered = session, gate, asyncio.Event()

    async def execute(self, *args, **kwargs):
        result = await self.session.execute(*args, **kwargs)
        if "ST_AsMVT" in str(args[0]) or "layer_stats" in str(args[0]):
            self.answered.set()
            await self.gate.wait()
        return result

    async def commit(self):
        await self.session.commit()

    async def rollback(self):
        await self.session.rollback()

    async def close(self):
        await self.session.close()


class Client:
    host = "10.250.0.1"


class Request:
    client = Client()


@pytest.mark.parametrize("invalidation", ["route", "scheduler", "none"])
async def test_a_tile_computed_before_an_invalidation_is_not_stored_after_it(hub, raw_redis, demo_cadastre,
                                                                           plot_point, invalidation):
    import database

    z, x, y = tile_at(plot_point, 15)
    handlers = {
        f"mvt_v8:plots:{z}:{x}:{y}": lambda db: hub.get_tile_xyz("plots", z, x, y, Request(), db),
        "mvt_v8:centroid:plots": lambda db: hub.get_central_tile_info("plots", db),
    }
    for key, handler in handlers.items():
        raw_redis.delete(key)
        gate = asyncio.Event()
        async with database.SessionLocal() as session:
            gated = Gated(session, gate)
            answering = asyncio.create_task(handler(gated))
            await asyncio.wait_for(gated.answered.wait(), 30)  # its query has answered, from before...
            if invalidation == "route":
                async with httpx.AsyncClient(transport=httpx.ASGITransport(app=__import__("main").app),
                                             base_url="http://t") as client:
                    assert (await client.post("/gis/cache/invalidate/plots", headers=ADMIN)).status_code == 200
            elif invalidation == "scheduler":
                hub.invalidate_layer_cache("plots")
                await until(lambda: raw_redis.get("tile_version:mvt_v8:plots") ==
                            raw_redis.get("tile_generation:mvt_v8:plots"))
            if invalidation != "none" and "centroid" not in key:
                # A request after the invalidation does not join the query begun before it (that
                # one is held): it runs its own.
                async with database.SessionLocal() as other:
                    fresh = await asyncio.wait_for(hub.get_tile_xyz("plots", z, x, y, Request(), other), 10)
                assert fresh.status_code == 200 and fresh.body
                raw_redis.delete(key)  # its own write; what follows is the held query's
            gate.set()  # ... the invalidation, and is stored after it, or not
            response = await answering
        assert response.status_code == 200  # served all the same
        stored = raw_redis.exists(key)
        assert stored == (invalidation == "none"), (key, invalidation)


async def test_tilejson_documents_and_their_versions(hub, client_for, raw_redis, demo_cadastre, monkeypatch):
    client = client_for()
    plots = (await client.get("/gis/plots/tilejson.json")).json()
    assert plots["tilejson"] == "3.0.0" and (plots["minzoom"], plots["maxzoom"]) == (8, 20)
    url, version = plots["tiles"][0].split("?v=")
    assert url == "http://vexa.test/gis/plots/{z}/{x}/{y}.pbf"
    west, south, east, north = plots["bounds"]
    assert 7.3 < west < east < 7.5 and 8.9 < south < north < 9.1  # the demo cadastre near Abuja
    assert west <= plots["center"][0] <= east and south <= plots["center"][1] <= north
    (layer,) = plots["vector_layers"]
    assert layer["id"] == "plots" and layer["fields"]["PLOT_NO"] == "String"
    assert layer["fields"]["ID"] == layer["fields"]["feature_id"] == layer["fields"]["AREA_SYSTEM"] == "Number"
    beacons = (await client.get("/gis/beacons/tilejson.json")).json()

    assert (await client.post("/gis/cache/invalidate/plots", headers=ADMIN)).status_code == 200
    epoch, generation = version.split(".")
    plots_after = (await client.get("/gis/plots/tilejson.json")).json()
    assert plots_after["tiles"][0].split("?v=")[1] == f"{epoch}.{int(generation) + 1}"
    assert (await client.get("/gis/beacons/tilejson.json")).json()["tiles"] == beacons["tiles"]  # not this one
    # Of two invalidations, the one that finishes last never sets the version back.
    raw_redis.set("tile_version:mvt_v8:beacons", 99)
    assert (await client.post("/gis/cache/invalidate/beacons", headers=ADMIN)).status_code == 200
    assert raw_redis.get("tile_version:mvt_v8:beacons") == b"99"

    everything = (await client.get("/gis/tilejson.json")).json()
    assert [v["id"] for v in everything["vector_layers"]] == list(LAYERS)
    assert everything["minzoom"] == 2 and everything["tiles"][0].startswith("http://vexa.test/gis/all/{z}/{x}/{y}.pbf?v=")
    assert (await client.get("/gis/roads/tilejson.json")).status_code == 404

    # A Host that does not name the server is a client's word: the URLs name the server instead,
    # or the public address the host configured.
    forged = (await client.get("/gis/plots/tilejson.json", headers={"Host": "evil.example"})).json()
    assert forged["tiles"][0].startswith("http://vexa.test/gis/plots/{z}/{x}/{y}.pbf?v=")
    monkeypatch.setattr(hub, "PUBLIC_URL", "https://maps.example.gov/cadastre/")
    public = (await client.get("/gis/tilejson.json", headers={"Host": "evil.example"})).json()
    assert public["tiles"][0].startswith("https://maps.example.gov/cadastre/gis/all/{z}/{x}/{y}.pbf?v=")

    raw_redis.flushdb()  # a Redis that lost its data starts a new epoch: no version comes back
    fresh = (await client.get("/gis/plots/tilejson.json")).json()["tiles"][0].split("?v=")[1]
    assert not fresh.startswith(epoch + ".")


async def test_all_layers_in_one_tile(client_for, raw_redis, plot_point):
    client = client_for()
    z, x, y = tile_at(plot_point, 16)
    one = await client.get(f"/gis/all/{z}/{x}/{y}.pbf")
    assert one.status_code == 200 and "x-cache" not in one.headers
    layers = mapbox_vector_tile.decode(one.content)
    assert set(layers) == set(LAYERS)
    separate = [(await client.get(f"/gis/{layer}/{z}/{x}/{y}.pbf")).content for layer in LAYERS]
    assert one.content == b"".join(separate)
    again = await client.get(f"/gis/all/{z}/{x}/{y}.pbf")
    assert (again.content, again.headers["x-cache"], again.headers["cache-control"]) == (
        one.content, "HIT", "public, max-age=1800")
    assert (await client.get("/gis/all/1/0/0.pbf")).status_code == 204  # no layer is served at zoom 1
    assert (await client.get("/gis/all/3/9/1.pbf")).status_code == 400


async def test_tiles_carry_an_etag_that_revalidates(client_for, raw_redis, plot_point):
    client = client_for()
    path = "/gis/plots/%d/%d/%d.pbf" % tile_at(plot_point, 16)
    fresh = await client.get(path)
    tag = fresh.headers["etag"]
    assert tag.startswith('W/"')
    cached = await client.get(path, headers={"Accept-Encoding": "gzip"})
    assert cached.headers["etag"] == tag and cached.headers["content-encoding"] == "gzip"
    unchanged = await client.get(path, headers={"If-None-Match": tag})
    assert unchanged.status_code == 304 and unchanged.content == b"" and unchanged.headers["etag"] == tag
    assert (await client.get(path, headers={"If-None-Match": 'W/"other"'})).status_code == 200


async def test_the_versions_stream_tells_of_each_change(live_app, raw_redis):
    async with httpx.AsyncClient(base_url=live_app, timeout=10) as client:
        async with client.stream("GET", "/gis/tile-versions") as stream:
            assert stream.headers["content-type"].startswith("text/event-stream")
            events = stream.aiter_lines()

            async def next_versions() -> dict[str, str]:
                async for line in events:
                    if line.startswith("data: "):
                        return json.loads(line[len("data: "):])
                raise AssertionError("the stream ended")

            first = await next_versions()
            assert set(first) == set(LAYERS)
            assert (await client.post("/gis/cache/invalidate/beacons", headers=ADMIN)).status_code == 200
            started = time.monotonic()
            second = await asyncio.wait_for(next_versions(), 5)
            assert time.monotonic() - started < 1.5
            assert second["beacons"] != first["beacons"]
            assert {k: v for k, v in second.items() if k != "beacons"} == {k: v for k, v in first.items() if k != "beacons"}
