#!/usr/bin/env python3
"""How fresh the map stays as users meet it: edits reaching the map, the race of a slow tile
against an edit, what keeping the cache fresh costs, and a bulk update.

    python bench/freshness.py --baseline /work/wt-fresh-base          # the full run
    python bench/freshness.py --plots 20000 --edits 6 --rounds 3 --bulk 10000 --users 8 --views 3 \\
        --cost-rounds 1 --baseline /work/wt-fresh-base               # a quick check that every part works
    python bench/freshness.py --only latency,race                    # some of the parts

Every part runs the host app (api/main.py) under uvicorn with `--workers` processes (2) on the
project's own servers (VEXA_PG_PORT, VEXA_REDIS_PORT), Redis database 6, on a demo cadastre of
`--plots` plots in a database of its own (vexa_scale_200k at the defaults, loaded once). Map
users are peers.py's viewport replay: each user opens a view of 6 x 4 tiles at a zoom of 14 to
18, 4 requests in flight, looks at it for `--pause` seconds, then pans or zooms; their requests
come from about 256 loopback addresses, so the limit of 40 tiles a second per address is not
what is measured.

- latency: `--edits` edits (a STATUS, a GENERAL_LU or a move of the plot by 3 to 6 m, in turn), one
  every `--interval` seconds, each of a plot in a tile the users look at, while `--users` users
  pan and zoom. Each edit's tile is asked for just before the edit (the map's copy, and the
  cache's), the edit commits, and from the moment COMMIT returns two clients wait for the edit:
  (a) a map on /gis/tile-versions: at each new version of the plots layer it asks for the tile
  with ?v=<version>; (b) a client polling the plain URL every 50 ms. A tile shows the edit when
  its feature of the plot, decoded (mapbox_vector_tile), equals the feature the tile statement
  gives inside the edit's transaction (properties and geometry). Printed: p50, p99 and max of
  each, and the edits not shown within `--limit` seconds (goal: p99 <= 1 s, none).
- race: `--rounds` rounds, once with the change listener off (VEXA_CHANGE_LISTENER=0: only the
  invalidation route and the checked write act), once with it on, and with `--baseline` once
  more against that code (no checked write: the control, which should show stale tiles). A
  round asks for an uncached plot tile of zoom 8, 9 or 10 (its key deleted first; the tiles in
  turn), commits an edit of the tile's largest plot (its STATUS) 20 ms after the tile's
  statement shows as running in pg_stat_activity, then POSTs /gis/cache/invalidate/plots and
  waits for its answer; 1.5 s after the tile's answer it reads the tile again: stale when the
  plot's STATUS is not the committed one (goal: none). Counted too: the rounds whose tile was
  made before the edit (its answer shows the old STATUS), the ones that test the checked write.
- cost: `--cost-rounds` rounds of the replay (`--users` users, `--views` views, no pauses), cold
  (Redis emptied) then warm, with this checkout and with `--baseline` (a checkout of the code
  before the freshness feature: its api/ under its .venv's python, on the same servers), in
  alternating order; tiles/s, p50 and p99 of each run, then the medians and new / baseline.
- bulk: the cache warmed by one pass of the replay, then one UPDATE of the STATUS of `--bulk`
  plots (the lowest IDs): seconds from COMMIT until the plots layer's version changed and until
  each of `--samples` cached tiles holding updated plots (zooms 14 to 18) shows them all; the
  Redis commands issued meanwhile (INFO commandstats before and after) and the listener's log line.

Every edit is undone at the end of its part (the undo is an edit too, left to the listener).
Servers' logs: bench/.peers/logs/freshness-*.log. Run it on a machine with nothing else running:
the edits' latency includes the time the users' own tiles wait (printed beside it). On a 2-core
machine a full run takes about 15 minutes (the first load of 200,000 plots about 30 s; latency
about 1.5 minutes, race about 2 per setting, 6 with --baseline, cost about 5 at 3 rounds, bulk
about 1.5); the quick check above takes about 1.5 to 2 minutes.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
from datetime import datetime
import logging
import math
import multiprocessing
import os
import random
import re
import secrets
import statistics
import subprocess
import sys
import time
from collections import Counter, deque
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import asyncpg
import httpx
import mapbox_vector_tile
import redis.asyncio as aioredis

import peers
from common import (PG_PORT, REDIS_PORT, ROOT, cadastre_database, host_environment, percentile, pg_url,
                    tile_module, tile_statement, uvicorn, zone_plots_for)
from peer_servers import LOGS, TileServer

Tile = tuple[int, int, int]

REDIS_DB = 6
TILE_PATH = "/gis/plots/{z}/{x}/{y}.pbf"
VIEW_SIZE = peers.VIEW_TILES[0] * peers.VIEW_TILES[1]
POLL_S = 0.05  # the plain URL's polling interval (latency)
SAMPLE_POLL_S = 0.1  # each sample tile's polling interval (bulk)
RACE_ZOOMS = (8, 9, 10)
RACE_READ_AFTER_S = 1.5
# From seeing the tile's statement in pg_stat_activity to the COMMIT: the statement shows as
# running from its Parse on, and its snapshot is taken later, at its execution.
RACE_COMMIT_DELAY_S = 0.02
LISTENER_ACTIVE = "Tile change listener: active"
# The listener's line about the plots layer, after LOG_CONFIG's time stamp, process and logger.
LISTENER_LINE = re.compile(r"^(\S+ \S+) \d+ \S+ INFO (Tile change listener: \d+ changes? to plots.*)$", re.M)
WORLD = peers.WORLD
# Source addresses (127.0.<block + n // 250>.<1 + n % 250>) of the checking clients, clear of
# the replay's (127.0.40.1 and on) and of one another's.
VERSION_BLOCK, POLL_BLOCK, STREAM_BLOCK, RACE_BLOCK, SAMPLE_BLOCK = 60, 70, 80, 85, 90

PLOT_IN_TILE_SQL = """
    SELECT "ID" FROM "GIS"."PLOT"
    WHERE "GEOMETRY" && ST_MakeEnvelope($1, $2, $3, $4, 3857)
      AND ST_Within(ST_PointOnSurface("GEOMETRY"), ST_MakeEnvelope($1, $2, $3, $4, 3857))
      AND "ID" <> ALL($5::int[])
    ORDER BY hashint4("ID" + $6)
    LIMIT 1
"""
ORIGINALS_SQL = """
    SELECT "ID", "STATUS", "GENERAL_LU", ST_AsEWKB("GEOMETRY") AS geometry
    FROM "GIS"."PLOT" WHERE "ID" = ANY($1::int[])
"""
RESTORE_SQL = """
    UPDATE "GIS"."PLOT" AS p
    SET "STATUS" = o.status, "GENERAL_LU" = o.general_lu, "GEOMETRY" = ST_GeomFromEWKB(o.geometry)
    FROM unnest($1::int[], $2::text[], $3::text[], $4::bytea[]) AS o (id, status, general_lu, geometry)
    WHERE p."ID" = o.id
"""
EDIT_SQL = {
    "STATUS": 'UPDATE "GIS"."PLOT" SET "STATUS" = $2 WHERE "ID" = $1',
    "GENERAL_LU": 'UPDATE "GIS"."PLOT" SET "GENERAL_LU" = $2 WHERE "ID" = $1',
    "move": 'UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_Translate("GEOMETRY", $2, $3) WHERE "ID" = $1',
}
LARGEST_SQL = """
    SELECT "ID" FROM "GIS"."PLOT" WHERE "ID" = ANY($1::int[]) ORDER BY ST_Area("GEOMETRY") DESC LIMIT 1
"""
TILE_QUERY_RUNNING_SQL = """
    SELECT count(*) FROM pg_stat_activity
    WHERE datname = current_database() AND state = 'active' AND pid <> pg_backend_pid()
      AND query LIKE '%ST_AsMVT(mvt_data, ''plots''%'
"""
PENDING_CHANGES_SQL = 'SELECT count(*) FROM "GIS".tile_changes'
BULK_CUT_SQL = 'SELECT "ID" FROM "GIS"."PLOT" ORDER BY "ID" OFFSET $1 - 1 LIMIT 1'
BULK_ORIGINALS_SQL = 'SELECT "ID", "STATUS" FROM "GIS"."PLOT" WHERE "ID" <= $1'
BULK_SQL = 'UPDATE "GIS"."PLOT" SET "STATUS" = $1 WHERE "ID" <= $2'
BULK_RESTORE_SQL = """
    UPDATE "GIS"."PLOT" AS p SET "STATUS" = o.status
    FROM unnest($1::int[], $2::text[]) AS o (id, status) WHERE p."ID" = o.id
"""

LOG_CONFIG = {
    "version": 1,
    "disable_existing_loggers": False,
    "formatters": {"plain": {"format": "%(asctime)s %(process)d %(name)s %(levelname)s %(message)s"}},
    "handlers": {"stderr": {"class": "logging.StreamHandler", "formatter": "plain", "stream": "ext://sys.stderr"}},
    "loggers": {"vexa": {"level": "INFO", "handlers": ["stderr"], "propagate": False}},
    "root": {"level": "WARNING", "handlers": ["stderr"]},
}


# Tiles, addresses, decoding ------------------------------------------------------------------------

def address(block: int, n: int) -> str:
    return f"127.0.{block + n // 250}.{1 + n % 250}"


def tile_path(tile: Tile, version: str | None = None) -> str:
    path = TILE_PATH.format(z=tile[0], x=tile[1], y=tile[2])
    return path if version is None else f"{path}?v={version}"


def tile_name(tile: Tile) -> str:
    return "/".join(map(str, tile))


def tile_bounds(tile: Tile) -> tuple[float, float, float, float]:
    z, x, y = tile
    size = 2 * WORLD / 2**z
    return -WORLD + x * size, WORLD - (y + 1) * size, -WORLD + (x + 1) * size, WORLD - y * size


def tiles_over(extent: tuple[float, float, float, float], z: int) -> list[Tile]:
    """The tiles of zoom z over an extent in EPSG:3857 metres."""
    west, south, east, north = extent
    n = 2**z

    def column(mx: float) -> int:
        return min(n - 1, int((mx + WORLD) / (2 * WORLD) * n))

    def row(my: float) -> int:
        return min(n - 1, int((WORLD - my) / (2 * WORLD) * n))

    return [(z, x, y) for x in range(column(west), column(east) + 1) for y in range(row(north), row(south) + 1)]


def plot_feature(body: bytes | None, plot: int) -> dict | None:
    """The decoded feature of `plot` in a tile (properties and geometry), or None."""
    if not body:
        return None
    for layer in mapbox_vector_tile.decode(body).values():
        for feature in layer["features"]:
            if feature["properties"].get("ID") == plot:
                return {"properties": feature["properties"], "geometry": feature["geometry"]}
    return None


def shows(body: bytes | None, plot: int, expected: dict | None) -> bool:
    return plot_feature(body, plot) == expected


def statuses_in(body: bytes | None, last_plot: int) -> dict[int, str]:
    """The STATUS of every plot of a tile with an ID up to `last_plot`."""
    if not body:
        return {}
    found = {}
    for layer in mapbox_vector_tile.decode(body).values():
        for feature in layer["features"]:
            plot = feature["properties"].get("ID")
            if plot is not None and plot <= last_plot:
                found[plot] = feature["properties"].get("STATUS")
    return found


class Decoder:
    """Tile decoding in a process of its own, so that the event loop (and every time it takes) is
    never held up by a large tile's decoding."""

    def __init__(self) -> None:
        self.pool = ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn"))

    async def __call__(self, function, *args):
        return await asyncio.get_running_loop().run_in_executor(self.pool, function, *args)

    def close(self) -> None:
        self.pool.shutdown(cancel_futures=True)


def client(port: int, source: str, timeout: float = 30) -> httpx.AsyncClient:
    """An HTTP client from one loopback source address (gzip accepted, as a browser asks). Plain
    HTTP: no TLS context, whose making (tens of milliseconds) would hold up the event loop."""
    return httpx.AsyncClient(base_url=f"http://127.0.0.1:{port}", timeout=timeout,
                             transport=httpx.AsyncHTTPTransport(local_address=source, verify=False))


def ms(seconds: float | None) -> str:
    return "-" if seconds is None or math.isnan(seconds) else f"{1000 * seconds:.0f} ms"


def spread(values: list[float]) -> str:
    """p50, p99 and max of latencies in seconds."""
    if not values:
        return "no values"
    return f"p50 {ms(statistics.median(values))}, p99 {ms(percentile(values, 99))}, max {ms(max(values))}"


# The host under uvicorn ---------------------------------------------------------------------------

@dataclass
class Host:
    """The host app of one checkout (its api/ under `python`) on the benchmark's database and Redis
    database, `workers` processes, with or without the change listener."""

    name: str
    root: Path
    python: str
    database: str
    workers: int
    token: str
    listener: bool = True  # runs the change listener (VEXA_CHANGE_LISTENER)
    info_log: bool = False  # the tile module's INFO lines (the listener's) into the log
    baseline: bool = False  # code from before the change listener and the checked write

    def server(self) -> TileServer:
        env = {**host_environment(self.database, REDIS_DB), "VEXA_ADMIN_TOKEN": self.token,
               "VEXA_CHANGE_LISTENER": "1" if self.listener else "0"}
        log_config = None
        if self.info_log:
            LOGS.mkdir(parents=True, exist_ok=True)
            log_config = LOGS / "freshness-logging.json"
            log_config.write_text(json.dumps(LOG_CONFIG, indent=1))
        return TileServer(self.name, TILE_PATH,
                          lambda port, log: uvicorn(port, env, self.workers, log, cwd=self.root / "api",
                                                    python=self.python, log_config=log_config))

    def describe(self, server: TileServer) -> None:
        print(f"  server: {' '.join(map(str, server.process.args))}\n"
              f"    in {self.root / 'api'}, DATABASE_URL={pg_url(self.database)} (asyncpg), "
              f"REDIS_PORT={REDIS_PORT} REDIS_DB={REDIS_DB}, "
              f"{'no change listener in this code' if self.baseline else f'VEXA_CHANGE_LISTENER={int(self.listener)}'}; "
              f"log {server.log_path}", flush=True)


def new_host(args: argparse.Namespace, database: str, token: str, listener: bool = True,
             info_log: bool = False) -> Host:
    """This checkout's host app."""
    return Host("freshness-new", ROOT, sys.executable, database, args.workers, token, listener, info_log)


def baseline_host(args: argparse.Namespace, database: str, token: str, info_log: bool = False) -> Host:
    """The --baseline checkout's host app, under the python of its own .venv."""
    root = Path(args.baseline)
    return Host("freshness-baseline", root, str(root / ".venv" / "bin" / "python"), database, args.workers, token,
                listener=False, info_log=info_log, baseline=True)


async def listener_active(server: TileServer, timeout: float = 30) -> None:
    deadline = time.monotonic() + timeout
    while LISTENER_ACTIVE not in server.log_path.read_text(errors="replace"):
        if time.monotonic() > deadline:
            raise RuntimeError(f"the change listener did not become active within {timeout:.0f} s: see {server.log_path}")
        await asyncio.sleep(0.1)


async def changes_applied(pool: asyncpg.Pool, timeout: float = 120) -> int:
    """Wait until the change log is empty (the listener has applied every edit); the rows left."""
    deadline = time.monotonic() + timeout
    while (left := await pool.fetchval(PENDING_CHANGES_SQL)) and time.monotonic() < deadline:
        await asyncio.sleep(0.2)
    return left


# A map's view of the versions stream --------------------------------------------------------------

class VersionStream:
    """/gis/tile-versions as a map holds it open: the layers' latest versions, and each event's time.
    Reconnects after a second when the stream ends, as an EventSource does."""

    def __init__(self, port: int, source: str) -> None:
        self.http = client(port, source, timeout=None)
        self.versions: dict[str, str] = {}
        self.events: list[tuple[float, dict[str, str]]] = []
        self.changed = asyncio.Event()
        self.reconnects = 0
        self._task: asyncio.Task | None = None

    async def start(self) -> None:
        self._task = asyncio.create_task(self._follow())
        if await self.change_from(None, time.perf_counter() + 10) is None:
            raise RuntimeError("no event from /gis/tile-versions within 10 s")

    async def _follow(self) -> None:
        while True:
            try:
                async with self.http.stream("GET", "/gis/tile-versions") as response:
                    async for line in response.aiter_lines():
                        if line.startswith("data: "):
                            self.versions = json.loads(line[6:])
                            self.events.append((time.perf_counter(), self.versions))
                            changed, self.changed = self.changed, asyncio.Event()
                            changed.set()
            except httpx.HTTPError:
                pass
            self.reconnects += 1
            await asyncio.sleep(1.0)

    def plots(self) -> str | None:
        return self.versions.get("plots")

    async def change_from(self, version: str | None, deadline: float) -> str | None:
        """The plots version once it is not `version`; None when that has not happened by `deadline`."""
        while self.plots() == version:
            changed = self.changed
            remaining = deadline - time.perf_counter()
            if remaining <= 0:
                return None
            try:
                await asyncio.wait_for(changed.wait(), remaining)
            except TimeoutError:
                return None
        return self.plots()

    async def close(self) -> None:
        if self._task is not None:
            self._task.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._task
        await self.http.aclose()


# Map users ----------------------------------------------------------------------------------------

class LiveUsers:
    """Map users until stopped: each loads a view (peers.py's replay, IN_FLIGHT requests at a time),
    looks at it for `pause` seconds, then pans or zooms; the next plan (the next seed) when its
    views run out."""

    def __init__(self, server: TileServer, extent: tuple[float, float, float, float], users: int, views: int,
                 seed: int, pause: float) -> None:
        self.clients = peers.Clients(server, users)
        self.extent, self.users, self.views, self.seed, self.pause = extent, users, views, seed, pause
        self.latencies: list[float] = []
        self.statuses: Counter = Counter()
        self.wall = 0.0
        self._plans: dict[int, list[list[Tile]]] = {}
        self._stop = asyncio.Event()

    def plan(self, cycle: int) -> list[list[Tile]]:
        if cycle not in self._plans:
            self._plans[cycle] = peers.viewport_plan(self.extent, self.users, self.views, self.seed + cycle)
        return self._plans[cycle]

    async def run(self) -> None:
        started = time.perf_counter()
        try:
            await asyncio.gather(*(self._user(user) for user in range(self.users)))
        finally:
            self.wall = time.perf_counter() - started
            self.clients.close()

    def stop(self) -> None:
        self._stop.set()

    async def _user(self, user: int) -> None:
        cycle = 0
        while not self._stop.is_set():
            requests = self.plan(cycle)[user]
            for first in range(0, len(requests), VIEW_SIZE):
                queue = deque(requests[first:first + VIEW_SIZE])
                await asyncio.gather(*(self._lane(user, lane, queue) for lane in range(peers.IN_FLIGHT)))
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(self._stop.wait(), self.pause)
                if self._stop.is_set():
                    return
            cycle += 1

    async def _lane(self, user: int, lane: int, queue: deque) -> None:
        while queue:
            tile = queue.popleft()
            started = time.perf_counter()
            status = await self.clients.fetch(user, lane, tile)
            self.latencies.append((time.perf_counter() - started) * 1000)
            self.statuses[status] += 1

    def print(self) -> None:
        other = sum(n for status, n in self.statuses.items() if status not in (200, 204))
        n = len(self.latencies)
        print(f"  the users meanwhile: {n} tiles in {self.wall:.0f} s ({n / max(self.wall, 1e-9):.0f}/s), "
              f"p50 {percentile(self.latencies, 50):.1f} ms, p99 {percentile(self.latencies, 99):.1f} ms, "
              f"answers other than 200/204: {other}"
              + (f" ({dict(sorted(self.statuses.items()))})" if other else ""))


# 1. Edit-to-map latency ---------------------------------------------------------------------------

@dataclass
class Edit:
    number: int
    kind: str  # STATUS, GENERAL_LU or move
    plot: int
    tile: Tile
    args: tuple
    cached_before: bool = False
    served_as_database: bool = True  # the served tile agreed with the statement before the edit
    visible: bool = True  # the edit changes the plot's feature in its tile
    commit_s: float = 0.0
    via_versions: float | None = None  # seconds from COMMIT
    polled: float | None = None
    version_answers_without: int = 0  # tiles at a new version that did not show it yet
    last_versions_answer: str = ""
    last_polled_answer: str = ""


async def choose_edits(pool: asyncpg.Pool, plan: list[list[Tile]], count: int, rng: random.Random,
                       tag: str) -> list[Edit]:
    """`count` edits of distinct plots, each in a tile the users look at (that tile is the one checked)."""
    tiles = sorted({tile for user in plan for tile in user})
    rng.shuffle(tiles)
    edits: list[Edit] = []
    salt = rng.randrange(1 << 30)
    for tile in tiles:
        if len(edits) == count:
            break
        plot = await pool.fetchval(PLOT_IN_TILE_SQL, *tile_bounds(tile), [e.plot for e in edits], salt)
        if plot is None:
            continue
        n = len(edits)
        kind = ("STATUS", "GENERAL_LU", "move")[n % 3]
        if kind == "move":
            args = tuple(rng.choice((-1, 1)) * round(rng.uniform(3, 6), 2) for _ in range(2))
        else:
            args = (f"{'Edited' if kind == 'STATUS' else 'Use'} {tag} {n}",)
        edits.append(Edit(n, kind, plot, tile, args))
    if len(edits) < count:
        raise SystemExit(f"only {len(edits)} of the users' tiles hold a plot: ask for fewer --edits or more --views")
    return edits


async def measure_edit(edit: Edit, pool: asyncpg.Pool, port: int, stream: VersionStream, limit: float,
                       decoder: Decoder) -> None:
    """Ask for the tile (the map's copy), commit the edit, then wait for it both ways at once."""
    statement = tile_statement("plots", *edit.tile)
    via, poll = client(port, address(VERSION_BLOCK, edit.number)), client(port, address(POLL_BLOCK, edit.number))
    try:
        before = await via.get(tile_path(edit.tile, stream.plots()))
        edit.cached_before = before.headers.get("x-cache") == "HIT"

        async def change(conn: asyncpg.Connection) -> tuple:
            database_before = await conn.fetchval(*statement)
            await conn.execute(EDIT_SQL[edit.kind], edit.plot, *edit.args)
            expected = await decoder(plot_feature, await conn.fetchval(*statement), edit.plot)
            return database_before, expected, stream.plots()

        (database_before, expected, seen), edit.commit_s, committed = await committed_edit(pool, change)
        deadline = committed + limit
        await asyncio.gather(wait_via_versions(edit, via, stream, seen, committed, deadline, expected, decoder),
                             wait_polling(edit, poll, committed, deadline, expected, decoder))
        served = await decoder(plot_feature, tile_body(before), edit.plot)
        edit.served_as_database = served == await decoder(plot_feature, database_before, edit.plot)
        edit.visible = served != expected
    finally:
        await via.aclose()
        await poll.aclose()


async def committed_edit(pool: asyncpg.Pool, change) -> tuple[object, float, float]:
    """`change(connection)` in a transaction, committed: its result, the COMMIT's seconds and when it returned."""
    async with pool.acquire() as conn:
        transaction = conn.transaction()
        await transaction.start()
        try:
            result = await change(conn)
            started = time.perf_counter()
            await transaction.commit()
        except BaseException:
            await transaction.rollback()
            raise
    committed = time.perf_counter()
    return result, committed - started, committed


def answer_note(response: httpx.Response) -> str:
    return f"HTTP {response.status_code}, X-Cache {response.headers.get('x-cache', 'none')}"


def tile_body(response: httpx.Response) -> bytes | None:
    """The tile of an answer (b"" for 204 No Content); None for an answer that is no tile."""
    return response.content if response.status_code in (200, 204) else None


async def wait_via_versions(edit: Edit, http: httpx.AsyncClient, stream: VersionStream, seen: str | None,
                            committed: float, deadline: float, expected: dict | None, decoder: Decoder) -> None:
    """A map: at each new version, the tile at that version's URL, until it shows the edit."""
    while (version := await stream.change_from(seen, deadline)) is not None:
        response = await http.get(tile_path(edit.tile, version))
        answered = time.perf_counter()
        edit.last_versions_answer = f"v={version}: {answer_note(response)}"
        if answered > deadline:
            return
        body = tile_body(response)
        if body is not None and await decoder(shows, body, edit.plot, expected):
            edit.via_versions = answered - committed
            return
        edit.version_answers_without += 1
        seen = version


async def wait_polling(edit: Edit, http: httpx.AsyncClient, committed: float, deadline: float,
                       expected: dict | None, decoder: Decoder) -> None:
    """A client asking for the plain URL every POLL_S until the answer shows the edit."""
    last_body = None
    while time.perf_counter() < deadline:
        response = await http.get(tile_path(edit.tile))
        answered = time.perf_counter()
        edit.last_polled_answer = answer_note(response)
        if answered > deadline:
            return
        body = tile_body(response)
        if body is not None and body != last_body:  # the same bytes as before cannot show it now
            if await decoder(shows, body, edit.plot, expected):
                edit.polled = answered - committed
                return
            last_body = body
        await asyncio.sleep(POLL_S)


async def save_originals(pool: asyncpg.Pool, plots: list[int]) -> list:
    return await pool.fetch(ORIGINALS_SQL, plots)


async def restore(pool: asyncpg.Pool, originals: list) -> None:
    columns = list(zip(*[(r["ID"], r["STATUS"], r["GENERAL_LU"], r["geometry"]) for r in originals])) or [[]] * 4
    await pool.execute(RESTORE_SQL, *map(list, columns))


async def edit_latency(args: argparse.Namespace, database: str, extent: tuple, token: str, pool: asyncpg.Pool,
                       decoder: Decoder) -> None:
    print(f"\n1. edit-to-map latency: {args.edits} edits, one every {args.interval} s, under {args.users} live users "
          f"({args.views} views per plan, {args.pause} s looking at each view); limit {args.limit} s", flush=True)
    rng = random.Random(args.seed)
    tag = secrets.token_hex(3)
    host = new_host(args, database, token, info_log=True)
    async with host.server() as server:
        host.describe(server)
        users = LiveUsers(server, extent, args.users, args.views, args.seed, args.pause)
        edits = await choose_edits(pool, users.plan(0), args.edits, rng, tag)
        originals = await save_originals(pool, [e.plot for e in edits])
        await listener_active(server)
        stream = VersionStream(server.port, address(STREAM_BLOCK, 0))
        await stream.start()
        running = asyncio.create_task(users.run())
        measuring: list[asyncio.Task] = []
        try:
            await asyncio.sleep(args.warm)
            for edit in edits:
                measuring.append(asyncio.create_task(measure_edit(edit, pool, server.port, stream, args.limit, decoder)))
                await asyncio.sleep(args.interval)
            await asyncio.gather(*measuring)
        finally:
            for task in measuring:
                task.cancel()
            await asyncio.gather(*measuring, return_exceptions=True)
            users.stop()
            await running
            await stream.close()
            await restore(pool, originals)
            left = await changes_applied(pool)
            if left:
                print(f"  !!! {left} changes still in \"GIS\".tile_changes 120 s after the undo")
    report_latency(edits, args, users, stream)


def report_latency(edits: list[Edit], args: argparse.Namespace, users: LiveUsers, stream: VersionStream) -> None:
    kinds = Counter(e.kind for e in edits)
    print(f"  edits: {', '.join(f'{n} {k}' for k, n in kinds.items())}; tile zooms "
          f"{dict(sorted(Counter(e.tile[0] for e in edits).items()))}; the map's copy before the edit came from the "
          f"cache for {sum(e.cached_before for e in edits)}; COMMIT itself {spread([e.commit_s for e in edits])}")
    users.print()
    print(f"  versions stream: {len(stream.events)} events, {stream.reconnects} reconnections")
    unmeasurable = [e for e in edits if not e.visible]
    disagreeing = [e for e in edits if not e.served_as_database]
    for e in disagreeing:
        print(f"  !!! edit {e.number} ({e.kind} of plot {e.plot}): the tile {tile_name(e.tile)} served before the edit "
              f"differed from the tile statement's (the plot's feature); the cache held an older tile")
    for e in unmeasurable:
        print(f"  note: edit {e.number} ({e.kind} of plot {e.plot}) does not change its feature in {tile_name(e.tile)}")
    measured = [e for e in edits if e.visible]
    goal_met = True
    for label, attribute, note in (("(a) versions stream, then the tile at ?v=", "via_versions", "last_versions_answer"),
                                   (f"(b) plain URL polled every {int(POLL_S * 1000)} ms", "polled", "last_polled_answer")):
        shown = [getattr(e, attribute) for e in measured if getattr(e, attribute) is not None]
        never = [e for e in measured if getattr(e, attribute) is None]
        print(f"  {label:<42} {spread(shown)}; never shown within {args.limit:g} s: {len(never)}")
        for kind in ("STATUS", "GENERAL_LU", "move"):
            of_kind = [getattr(e, attribute) for e in measured if e.kind == kind and getattr(e, attribute) is not None]
            if of_kind:
                print(f"      {kind:<12} {spread(of_kind)}")
        for e in never:
            print(f"  !!! edit {e.number}: {e.kind} {e.args} of plot {e.plot} never shown in {tile_name(e.tile)} "
                  f"within {args.limit:g} s; last answer: {getattr(e, note) or 'none'}")
        goal_met = goal_met and not never and bool(shown) and percentile(shown, 99) <= 1.0
    late = sum(e.version_answers_without for e in measured)
    print(f"  tiles asked at a new version that did not show the edit yet (an earlier edit's version): {late}")
    print(f"  goal (p99 <= 1 s both ways, none never shown): {'met' if goal_met and not disagreeing else 'not met'}")


# 2. The race --------------------------------------------------------------------------------------

@dataclass
class Round:
    tile: Tile
    plot: int
    first_cache: str = ""
    tile_s: float = 0.0
    caught: bool = False  # the tile's statement was seen running before the COMMIT
    inside: bool = False  # ... and still running after it
    raced: bool = False  # the tile answered was made before the edit (the plot's old STATUS)
    invalidation_status: int = 0
    invalidated_first: bool = False  # the invalidation's answer came before the tile's
    read_cache: str = ""
    read_status: str = ""  # fresh, stale, missing (the plot not in the tile) or the answer's status
    read_note: str = ""

    def describe(self) -> str:
        return (f"tile {tile_name(self.tile)} read {RACE_READ_AFTER_S} s after its answer is {self.read_status} "
                f"({self.read_note}); the commit {'landed inside' if self.inside else 'was not seen inside'} the "
                f"tile query, whose answer {'did not show' if self.raced else 'showed'} the edit, the invalidation answered {self.invalidation_status} "
                f"{'before' if self.invalidated_first else 'after'} the tile")


async def race_tiles(pool: asyncpg.Pool, extent: tuple, decoder: Decoder) -> list[tuple[Tile, int]]:
    """The plot tiles of zooms 8 to 10 over the plots, each with its largest plot that the tile shows."""
    found = []
    for z in RACE_ZOOMS:
        for tile in tiles_over(extent, z):
            body = await pool.fetchval(*tile_statement("plots", *tile))
            plots = await decoder(peers.plot_ids, body or b"")
            if plots:
                found.append((tile, await pool.fetchval(LARGEST_SQL, list(plots))))
    return found


async def race(args: argparse.Namespace, label: str, host: Host, tiles: list[tuple[Tile, int]], pool: asyncpg.Pool,
               redis: aioredis.Redis, decoder: Decoder) -> list[Round]:
    namespace = tile_module().cache.namespace
    rounds: list[Round] = []
    tag = secrets.token_hex(3)
    originals = await save_originals(pool, sorted({plot for _, plot in tiles}))
    print(f"  {label}: {args.rounds} rounds", flush=True)
    async with host.server() as server:
        host.describe(server)
        if host.listener:
            await listener_active(server)
        editor, watcher = await asyncpg.connect(pg_url(host.database)), await asyncpg.connect(pg_url(host.database))
        asker, admin = client(server.port, address(RACE_BLOCK, 0)), client(server.port, address(RACE_BLOCK, 1))
        reader = client(server.port, address(RACE_BLOCK, 2))
        try:
            for n in range(args.rounds):
                tile, plot = tiles[n % len(tiles)]
                rounds.append(await race_round(n, tile, plot, f"Race {tag} {n}", namespace, host.token, editor,
                                               watcher, asker, admin, reader, redis, decoder))
                if rounds[-1].read_status != "fresh" and not host.baseline:
                    print(f"  !!! {label}, round {n}: {rounds[-1].describe()}", flush=True)
        finally:
            for http in (asker, admin, reader):
                await http.aclose()
            await editor.close()
            await watcher.close()
            await restore(pool, originals)
            if host.listener:
                await changes_applied(pool)
    return rounds


async def race_round(n: int, tile: Tile, plot: int, value: str, namespace: str, token: str,
                     editor: asyncpg.Connection, watcher: asyncpg.Connection, asker: httpx.AsyncClient,
                     admin: httpx.AsyncClient, reader: httpx.AsyncClient, redis: aioredis.Redis,
                     decoder: Decoder) -> Round:
    result = Round(tile, plot)
    await redis.delete(f"{namespace}:plots:{tile[0]}:{tile[1]}:{tile[2]}")  # the tile uncached
    transaction = editor.transaction()
    await transaction.start()
    try:
        await editor.execute(EDIT_SQL["STATUS"], plot, value)
        asked = time.perf_counter()
        request = asyncio.create_task(asker.get(tile_path(tile)))
        while not request.done() and time.perf_counter() - asked < 30:
            if await watcher.fetchval(TILE_QUERY_RUNNING_SQL):
                result.caught = True
                await asyncio.sleep(RACE_COMMIT_DELAY_S)
                break
        await transaction.commit()
    except BaseException:
        await transaction.rollback()
        raise
    result.inside = result.caught and not request.done() and bool(await watcher.fetchval(TILE_QUERY_RUNNING_SQL))
    invalidation = await admin.post("/gis/cache/invalidate/plots", headers={"Authorization": f"Bearer {token}"})
    invalidated = time.perf_counter()
    result.invalidation_status = invalidation.status_code
    response = await request
    ended = time.perf_counter()
    result.tile_s = ended - asked
    result.first_cache = response.headers.get("x-cache", "MISS")
    result.invalidated_first = invalidated < ended
    answered = await decoder(plot_feature, tile_body(response), plot)
    result.raced = answered is not None and answered["properties"].get("STATUS") != value
    await asyncio.sleep(max(0.0, ended + RACE_READ_AFTER_S - time.perf_counter()))
    read = await reader.get(tile_path(tile))
    result.read_cache = read.headers.get("x-cache", "MISS")
    body = tile_body(read)
    feature = await decoder(plot_feature, body, plot)
    result.read_status = (f"HTTP {read.status_code}" if body is None else "missing" if feature is None else
                          "fresh" if feature["properties"].get("STATUS") == value else "stale")
    result.read_note = (f"{answer_note(read)}: plot {plot} has STATUS "
                        f"{feature and feature['properties'].get('STATUS')!r}, committed {value!r}")
    return result


def report_race(name: str, rounds: list[Round]) -> int:
    stale = sum(r.read_status == "stale" for r in rounds)
    other = Counter(r.read_status for r in rounds if r.read_status not in ("fresh", "stale"))
    print(f"  {name}: stale {stale}/{len(rounds)}" + (f", reads neither fresh nor stale {dict(other)}" if other else ""))
    print(f"      the tile made before the edit (its answer showed the old STATUS) {sum(r.raced for r in rounds)}, "
          f"of which the invalidation answered before the tile {sum(r.raced and r.invalidated_first for r in rounds)}; "
          f"the commit seen inside the tile query {sum(r.inside for r in rounds)}, the statement not seen running "
          f"before the commit {sum(not r.caught for r in rounds)}")
    print(f"      invalidation answers {dict(Counter(r.invalidation_status for r in rounds))}; tile request "
          f"{spread([r.tile_s for r in rounds])} (X-Cache {dict(Counter(r.first_cache for r in rounds))}); "
          f"the read after it: X-Cache {dict(Counter(r.read_cache for r in rounds))}")
    return stale + sum(other.values())


# 3. Cost ------------------------------------------------------------------------------------------

async def cost(args: argparse.Namespace, database: str, extent: tuple, token: str, pool: asyncpg.Pool,
               redis: aioredis.Redis) -> None:
    baseline = Path(args.baseline)
    plan = peers.viewport_plan(extent, args.users, args.views, args.seed)
    distinct = sorted({tile for user in plan for tile in user})
    print(f"\n3. cost: {args.cost_rounds} round(s), each the replay cold (Redis emptied) then warm, with the "
          f"listener and the checked write (this checkout, {git_commit(ROOT)}) and without ({baseline}, "
          f"{git_commit(baseline)}), alternating; {args.users} users x {args.views} views = "
          f"{sum(map(len, plan))} requests for {len(distinct)} distinct tiles, {peers.IN_FLIGHT} in flight per user",
          flush=True)
    floor = peers.SqlFloor(pool, set(distinct))
    started = time.perf_counter()
    await asyncio.gather(*(floor.tile(t) for t in distinct))  # the database's pages into memory, uncounted
    print(f"  database warmed: {len(distinct)} tiles in {time.perf_counter() - started:.1f} s")
    hosts = {"new": new_host(args, database, token), "baseline": baseline_host(args, database, token)}
    runs: dict[tuple[str, str], list[peers.Run]] = {}
    samples = distinct[:: max(1, len(distinct) // 12)][:12]
    print(f"\n  {'':<34} {'tiles/s':>9} {'p50 ms':>9} {'p90 ms':>9} {'p99 ms':>9} {'not 200/204':>12} {'client %':>9}")
    for n in range(args.cost_rounds):
        for name in (("baseline", "new") if n % 2 == 0 else ("new", "baseline")):
            host = hosts[name]
            async with host.server() as server:
                if n == 0:
                    host.describe(server)
                await peers.warm_up(server, samples, args.users)
                await redis.flushdb()
                for phase in ("cold", "warm"):
                    run = await peers.http_replay(f"{name} {phase} (round {n + 1})", server, plan)
                    runs.setdefault((name, phase), []).append(run)
    print(f"\n  medians over the rounds (tiles/s, p50, p99), new / baseline:")
    for phase in ("cold", "warm"):
        figures = {}
        for name in ("new", "baseline"):
            rates = [r.rate for r in runs[name, phase]]
            figures[name] = (statistics.median(rates), statistics.median(r.p(0.5) for r in runs[name, phase]),
                             statistics.median(r.p(0.99) for r in runs[name, phase]))
            failed = sum(r.failed for r in runs[name, phase])
            print(f"    {phase} {name:<9} {figures[name][0]:8.1f}/s (rounds {min(rates):.1f} to {max(rates):.1f})   "
                  f"p50 {figures[name][1]:7.1f} ms   p99 {figures[name][2]:7.1f} ms"
                  + (f"   answers other than 200/204: {failed}" if failed else ""))
        new, old = figures["new"], figures["baseline"]
        print(f"    {phase} new / baseline: tiles/s x{new[0] / old[0]:.3f}, p50 x{new[1] / old[1]:.3f}, "
              f"p99 x{new[2] / old[2]:.3f}")


def git_commit(root: Path) -> str:
    done = subprocess.run(["git", "-C", str(root), "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    dirty = subprocess.run(["git", "-C", str(root), "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return (done.stdout.strip() or "not a git checkout") + (" with local changes" if dirty else "")


# 4. Bulk update -----------------------------------------------------------------------------------

async def bulk(args: argparse.Namespace, database: str, extent: tuple, token: str, pool: asyncpg.Pool,
               redis: aioredis.Redis, decoder: Decoder) -> None:
    plan = peers.viewport_plan(extent, args.users, args.views, args.seed)
    print(f"\n4. bulk update: the STATUS of {args.bulk:,} plots (the lowest IDs) in one UPDATE, after the cache was "
          f"warmed by one pass of the replay ({sum(map(len, plan))} requests); {args.samples} sample tiles polled "
          f"every {int(SAMPLE_POLL_S * 1000)} ms; limit {args.limit} s", flush=True)
    namespace = tile_module().cache.namespace
    cut = await pool.fetchval(BULK_CUT_SQL, args.bulk)
    marker = f"Bulk {secrets.token_hex(3)}"
    originals = await pool.fetch(BULK_ORIGINALS_SQL, cut)
    host = new_host(args, database, token, info_log=True)
    async with host.server() as server:
        host.describe(server)
        await listener_active(server)
        await redis.flushdb()
        await peers.http_replay("warm-up (from an empty cache)", server, plan)
        samples = await bulk_samples(plan, cut, args.samples, namespace, redis, decoder, args.seed)
        cached = sum([1 async for _ in redis.scan_iter(match=f"{namespace}:plots:*", count=1000)])
        print(f"  cached plot tiles before the update: {cached}; samples: {len(samples)} at zooms "
              f"{dict(sorted(Counter(t[0] for t, _ in samples).items()))}, holding "
              f"{sum(len(p) for _, p in samples)} updated plots")
        left = await changes_applied(pool)
        stream = VersionStream(server.port, address(STREAM_BLOCK, 1))
        await stream.start()
        version = stream.plots()
        log_start = server.log_path.stat().st_size
        before = await redis.info("commandstats")
        sample_requests = Counter()
        pollers = [client(server.port, address(SAMPLE_BLOCK, n)) for n in range(len(samples))]

        async def update(conn: asyncpg.Connection) -> tuple[str, float]:
            started = time.perf_counter()
            status = await conn.execute(BULK_SQL, marker, cut)
            return status, time.perf_counter() - started

        try:
            (updated, update_s), commit_s, committed = await committed_edit(pool, update)
            committed_at = time.time()
            deadline = committed + args.limit
            changed_s, shown = await asyncio.gather(
                version_change(stream, version, committed, deadline),
                asyncio.gather(*(sample_fresh(http, tile, plots, marker, committed, deadline, decoder, sample_requests)
                                 for http, (tile, plots) in zip(pollers, samples))))
            line = await listener_line(server.log_path, log_start, deadline + 5)
            after = await redis.info("commandstats")
        finally:
            await stream.close()
            for http in pollers:
                await http.aclose()
            await pool.execute(BULK_RESTORE_SQL, [r["ID"] for r in originals], [r["STATUS"] for r in originals])
            undone = await changes_applied(pool)
    print(f"  changes pending before the update: {left}; {updated}: the UPDATE took {ms(update_s)}, COMMIT {ms(commit_s)}")
    print(f"  from COMMIT: the plots layer's version changed after {ms(changed_s)}"
          + ("" if changed_s is not None else f" (not within {args.limit:g} s)"))
    fresh = [s for s in shown if s is not None]
    print(f"  sample tiles showing the update: {len(fresh)}/{len(samples)}, {spread(fresh)}")
    for (tile, _), s in zip(samples, shown):
        if s is None:
            print(f"  !!! sample tile {tile_name(tile)} did not show the update within {args.limit:g} s")
    if changed_s is not None and len(fresh) == len(samples):
        print(f"  the map fresh (version changed and every sample showing it) {ms(max([changed_s, *fresh]))} after COMMIT")
    if line:
        print(f"  the listener logged {ms(line[0] - committed_at)} after COMMIT (its log's clock, to the ms): {line[1]}")
    else:
        print(f"  the listener: no line about the plots layer in {server.log_path} within {args.limit + 5:g} s")
    print(f"  Redis commands meanwhile (INFO commandstats, after minus before; they include the {sum(sample_requests.values())} "
          f"sample tile requests, {len(stream.events)} version-stream events and the workers' version reads every 0.2 s):")
    deltas = command_deltas(before, after)
    print("    " + ", ".join(f"{name} {calls}" for name, calls in deltas) + f"; in all {sum(c for _, c in deltas)}")
    if undone:
        print(f"  !!! {undone} changes still in \"GIS\".tile_changes 120 s after the undo")


async def version_change(stream: VersionStream, version: str | None, committed: float,
                         deadline: float) -> float | None:
    """Seconds from COMMIT until the stream brought another plots version."""
    if await stream.change_from(version, deadline) is None:
        return None
    return time.perf_counter() - committed


async def bulk_samples(plan: list[list[Tile]], cut: int, count: int, namespace: str, redis: aioredis.Redis,
                       decoder: Decoder, seed: int) -> list[tuple[Tile, frozenset[int]]]:
    """Up to `count` cached tiles of the replay that hold plots to update, spread over the zooms."""
    by_zoom: dict[int, list[Tile]] = {}
    for tile in sorted({tile for user in plan for tile in user}):
        by_zoom.setdefault(tile[0], []).append(tile)
    rng = random.Random(seed)
    for tiles in by_zoom.values():
        rng.shuffle(tiles)
    samples: list[tuple[Tile, frozenset[int]]] = []
    while len(samples) < count and any(by_zoom.values()):
        for tiles in by_zoom.values():
            while tiles and len(samples) < count:
                tile = tiles.pop()
                cached = await redis.get(f"{namespace}:plots:{tile[0]}:{tile[1]}:{tile[2]}")
                plots = await decoder(statuses_in, cached, cut) if cached else {}
                if plots:
                    samples.append((tile, frozenset(plots)))
                    break
    return samples


async def sample_fresh(http: httpx.AsyncClient, tile: Tile, plots: frozenset[int], marker: str, committed: float,
                       deadline: float, decoder: Decoder, requests: Counter) -> float | None:
    """Seconds from COMMIT until the tile shows `marker` as the STATUS of every updated plot it holds."""
    last_body = None
    while time.perf_counter() < deadline:
        response = await http.get(tile_path(tile))
        answered = time.perf_counter()
        requests[response.status_code] += 1
        if answered > deadline:
            return None
        body = tile_body(response)
        if body is not None and body != last_body:
            statuses = await decoder(statuses_in, body, max(plots))
            if all(statuses.get(plot) == marker for plot in plots):
                return answered - committed
            last_body = body
        await asyncio.sleep(SAMPLE_POLL_S)
    return None


async def listener_line(log: Path, start: int, deadline: float) -> tuple[float, str] | None:
    """The listener's line about the plots layer logged after byte `start` of the log, and its
    time stamp (seconds since the epoch)."""
    while True:
        with open(log, "rb") as f:
            f.seek(start)
            found = LISTENER_LINE.search(f.read().decode(errors="replace"))
        if found:
            return datetime.strptime(found.group(1), "%Y-%m-%d %H:%M:%S,%f").timestamp(), found.group(2)
        if time.perf_counter() > deadline:
            return None
        await asyncio.sleep(0.2)


def command_deltas(before: dict, after: dict) -> list[tuple[str, int]]:
    deltas = []
    for key, stats in after.items():
        calls = stats["calls"] - before.get(key, {}).get("calls", 0)
        if calls and key != "cmdstat_info":
            deltas.append((key.removeprefix("cmdstat_"), calls))
    return sorted(deltas, key=lambda d: -d[1])


# Main ---------------------------------------------------------------------------------------------

PARTS = ("latency", "race", "cost", "bulk")


async def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plots", type=int, default=200_000, help="plots of the demo cadastre")
    parser.add_argument("--workers", type=int, default=2, help="uvicorn worker processes")
    parser.add_argument("--users", type=int, default=32, help="map users of the replay")
    parser.add_argument("--views", type=int, default=12, help="views per user and plan")
    parser.add_argument("--pause", type=float, default=1.0, help="seconds a live user looks at a view (latency)")
    parser.add_argument("--seed", type=int, default=127)
    parser.add_argument("--edits", type=int, default=100)
    parser.add_argument("--interval", type=float, default=0.5, help="seconds between edits")
    parser.add_argument("--warm", type=float, default=5.0, help="seconds of live users before the first edit")
    parser.add_argument("--limit", type=float, default=10.0, help="seconds an edit may take to show")
    parser.add_argument("--rounds", type=int, default=50, help="rounds of the race, per listener setting")
    parser.add_argument("--cost-rounds", type=int, default=3)
    parser.add_argument("--baseline", help="a checkout of the code before the feature, with its .venv built")
    parser.add_argument("--bulk", type=int, default=100_000, help="plots of the bulk update")
    parser.add_argument("--samples", type=int, default=40, help="sample tiles checked after the bulk update")
    parser.add_argument("--only", default=",".join(PARTS), help=f"parts to run, of {','.join(PARTS)}")
    args = parser.parse_args()
    parts = args.only.split(",")
    if unknown := set(parts) - set(PARTS):
        parser.error(f"unknown parts {sorted(unknown)}")
    if min(args.plots, args.workers, args.users, args.views, args.edits, args.rounds, args.cost_rounds, args.bulk,
           args.samples) < 1:
        parser.error("counts must be at least 1")
    if "bulk" in parts and args.bulk > args.plots:
        parser.error("--bulk must not exceed --plots")
    if "cost" in parts and not args.baseline:
        parser.error("the cost part needs --baseline (or leave it out with --only)")
    if args.baseline:
        python = Path(args.baseline) / ".venv" / "bin" / "python"
        if not (Path(args.baseline) / "api" / "main.py").exists() or not python.exists():
            parser.error(f"--baseline {args.baseline}: needs api/main.py and .venv/bin/python")

    os.environ.update(REDIS_HOST="127.0.0.1", REDIS_PORT=str(REDIS_PORT), REDIS_DB=str(REDIS_DB))
    tile_module()  # for its statements and cache namespace
    logging.getLogger("httpx").setLevel(logging.WARNING)  # the module logs at INFO, httpx with it
    database = await cadastre_database(args.plots, zone_plots_for(args.plots))
    extent = await peers.plot_extent(database)
    print(f"command: python bench/freshness.py {' '.join(sys.argv[1:])}")
    print(f"settings: {', '.join(f'{k}={v}' for k, v in vars(args).items())}")
    print(f"code: {ROOT} at {git_commit(ROOT)}" + (f"; baseline {args.baseline} at {git_commit(Path(args.baseline))}"
                                                     if args.baseline else ""))
    print(f"servers: PostgreSQL 127.0.0.1:{PG_PORT} database {database} ({args.plots:,} plots), "
          f"Redis 127.0.0.1:{REDIS_PORT} database {REDIS_DB}; {args.workers} uvicorn workers", flush=True)

    token = secrets.token_hex(16)
    pool = await asyncpg.create_pool(pg_url(database), min_size=2, max_size=8)
    redis = aioredis.Redis(host="127.0.0.1", port=REDIS_PORT, db=REDIS_DB)
    decoder = Decoder()
    try:
        await redis.flushdb()
        if "latency" in parts:
            await edit_latency(args, database, extent, token, pool, decoder)
        if "race" in parts:
            tiles = await race_tiles(pool, extent, decoder)
            print(f"\n2. the race: {args.rounds} rounds with the listener off, then on"
                  + (", then the baseline (no listener, no checked write: what the race catches)" if args.baseline else "")
                  + f"; the tiles in turn, each with its largest plot: "
                  + ", ".join(f"{tile_name(t)} plot {p}" for t, p in tiles), flush=True)
            results = {"listener off": await race(args, "listener off", new_host(args, database, token, False, True),
                                                  tiles, pool, redis, decoder),
                       "listener on": await race(args, "listener on", new_host(args, database, token, True, True),
                                                 tiles, pool, redis, decoder)}
            if args.baseline:
                results["baseline"] = await race(args, "baseline", baseline_host(args, database, token, True), tiles,
                                                 pool, redis, decoder)
            bad = sum(report_race(name, rounds) for name, rounds in results.items() if name != "baseline")
            if "baseline" in results:
                report_race("baseline", results["baseline"])
            print(f"  goal (no stale tile, listener off and on): {'met' if not bad else 'not met'}")
        if "cost" in parts:
            await cost(args, database, extent, token, pool, redis)
        if "bulk" in parts:
            await bulk(args, database, extent, token, pool, redis, decoder)
    finally:
        decoder.close()
        await redis.aclose()
        await pool.close()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
