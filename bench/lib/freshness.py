"""What the freshness benchmarks share: the host app with or without the change listener, of this
checkout or of a baseline checkout (the code before the feature); edits committed and undone; the
versions stream as a map holds it; tiles decoded in a process of their own; the run's heading.

The host runs under uvicorn with `--workers` processes (2) on the project's servers, Redis
database 6, on a demo cadastre of `--plots` plots in a database of its own (vexa_scale_200k at the
defaults, loaded once). Every edit is undone at the end (the undo is an edit too, left to the
listener). Servers' logs: bench/.peers/logs/freshness-*.log.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import math
import multiprocessing
import os
import secrets
import subprocess
import sys
import time
from collections.abc import AsyncIterator, Awaitable, Callable
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import asyncpg
import httpx
import mapbox_vector_tile
import redis.asyncio as aioredis
from settings import LOOPBACK, PG_PORT, REDIS_PORT

from lib import ROOT
from lib.cadastre import Tile, cadastre_database, pg_url, plot_extent
from lib.clients import client, redis_client
from lib.latency import latency_line
from lib.servers import TILE_PATH, Server, host
from lib.tile_module import tile_module
from lib.yardsticks import LOGS

REDIS_DB = 6
LISTENER_ACTIVE = "Tile change listener: active"
# Source addresses (lib.clients.address(block, n)) of the checking clients, clear of the replay's
# (127.0.40.1 and on) and of one another's.
VERSION_BLOCK, POLL_BLOCK, STREAM_BLOCK, RACE_BLOCK, SAMPLE_BLOCK = 60, 70, 80, 85, 90

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
PENDING_CHANGES_SQL = 'SELECT count(*) FROM "GIS".tile_changes'

LOG_CONFIG = {
    "version": 1,
    "disable_existing_loggers": False,
    "formatters": {"plain": {"format": "%(asctime)s %(process)d %(name)s %(levelname)s %(message)s"}},
    "handlers": {"stderr": {"class": "logging.StreamHandler", "formatter": "plain", "stream": "ext://sys.stderr"}},
    "loggers": {"vexa": {"level": "INFO", "handlers": ["stderr"], "propagate": False}},
    "root": {"level": "WARNING", "handlers": ["stderr"]},
}


# Tiles and their decoding ------------------------------------------------------------------------

def tile_path(tile: Tile, version: str | None = None) -> str:
    path = TILE_PATH.format(z=tile[0], x=tile[1], y=tile[2])
    return path if version is None else f"{path}?v={version}"


def tile_name(tile: Tile) -> str:
    return "/".join(map(str, tile))


def plot_feature(body: bytes | None, plot: int) -> dict | None:
    """The decoded feature of `plot` in a tile (properties and geometry), or None."""
    if not body:
        return None
    for layer in mapbox_vector_tile.decode(body).values():
        for feature in layer["features"]:
            if feature["properties"].get("ID") == plot:
                return {"properties": feature["properties"], "geometry": feature["geometry"]}
    return None


def tile_body(response: httpx.Response) -> bytes | None:
    """The tile of an answer (b"" for 204 No Content); None for an answer that is no tile."""
    return response.content if response.status_code in (200, 204) else None


def answer_note(response: httpx.Response) -> str:
    return f"HTTP {response.status_code}, X-Cache {response.headers.get('x-cache', 'none')}"


class Decoder:
    """Tile decoding in a process of its own, so that the event loop (and every time it takes) is
    never held up by a large tile's decoding."""

    def __init__(self) -> None:
        self.pool = ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn"))

    async def __call__(self, function: Callable[..., Any], *args: object) -> Any:
        return await asyncio.get_running_loop().run_in_executor(self.pool, function, *args)

    def close(self) -> None:
        self.pool.shutdown(cancel_futures=True)


def ms(seconds: float | None) -> str:
    """Seconds as whole milliseconds ("-" for none)."""
    return "-" if seconds is None or math.isnan(seconds) else f"{1000 * seconds:.0f} ms"


def seconds_line(values: list[float]) -> str:
    """p50, p99 and max of latencies in seconds."""
    return latency_line([1000 * value for value in values], 0, 0, ", ", with_max=True)


# The host under uvicorn ---------------------------------------------------------------------------

@dataclass
class Host:
    """The host app of one checkout (this one, or another under its own .venv's python) on the
    benchmark's database and Redis database, `workers` processes, with or without the change listener."""

    name: str
    checkout: Path
    database: str
    workers: int
    token: str
    listener: bool = True  # runs the change listener (VEXA_CHANGE_LISTENER)
    info_log: bool = False  # the tile module's INFO lines (the listener's) into the log
    baseline: bool = False  # code from before the change listener and the checked write

    def server(self) -> Server:
        env = {"VEXA_ADMIN_TOKEN": self.token, "VEXA_CHANGE_LISTENER": "1" if self.listener else "0"}
        log_config = None
        if self.info_log:
            LOGS.mkdir(parents=True, exist_ok=True)
            log_config = LOGS / "freshness-logging.json"
            log_config.write_text(json.dumps(LOG_CONFIG, indent=1))
        return host(self.database, REDIS_DB, self.workers, name=self.name, checkout=self.checkout, env=env,
                    log_path=LOGS / f"{self.name}.log", log_config=log_config)

    def describe(self, server: Server) -> None:
        print(f"  server: {' '.join(map(str, server.process.args))}\n"
              f"    in {self.checkout / 'api'}, DATABASE_URL={pg_url(self.database)} (asyncpg), "
              f"REDIS_PORT={REDIS_PORT} REDIS_DB={REDIS_DB}, "
              f"{'no change listener in this code' if self.baseline else f'VEXA_CHANGE_LISTENER={int(self.listener)}'}; "
              f"log {server.log_path}", flush=True)


async def listener_active(server: Server, timeout: float = 30) -> None:
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


# Edits --------------------------------------------------------------------------------------------

async def committed_edit(pool: asyncpg.Pool, change: Callable[[asyncpg.Connection], Awaitable[Any]]
                         ) -> tuple[Any, float, float]:
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


async def save_originals(pool: asyncpg.Pool, plots: list[int]) -> list:
    return await pool.fetch(ORIGINALS_SQL, plots)


async def restore(pool: asyncpg.Pool, originals: list) -> None:
    columns = list(zip(*[(r["ID"], r["STATUS"], r["GENERAL_LU"], r["geometry"]) for r in originals])) or [[]] * 4
    await pool.execute(RESTORE_SQL, *map(list, columns))


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


# The run ------------------------------------------------------------------------------------------

def git_commit(root: Path) -> str:
    done = subprocess.run(["git", "-C", str(root), "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    dirty = subprocess.run(["git", "-C", str(root), "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return (done.stdout.strip() or "not a git checkout") + (" with local changes" if dirty else "")


def parser(description: str, baseline: str | None = None) -> argparse.ArgumentParser:
    """The options every freshness benchmark takes; --baseline too when `baseline` says what for."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plots", type=int, default=200_000, help="plots of the demo cadastre")
    parser.add_argument("--workers", type=int, default=2, help="uvicorn worker processes")
    parser.add_argument("--seed", type=int, default=127)
    if baseline:
        parser.add_argument("--baseline", help=baseline)
    return parser


def parsed(parser: argparse.ArgumentParser, *counts: str) -> argparse.Namespace:
    """The options, each of `counts` (and --plots and --workers) at least 1 and --baseline, when given,
    a checkout with its .venv built."""
    args = parser.parse_args()
    if min(getattr(args, name) for name in ("plots", "workers", *counts)) < 1:
        parser.error("counts must be at least 1")
    if getattr(args, "baseline", None):
        python = Path(args.baseline) / ".venv" / "bin" / "python"
        if not (Path(args.baseline) / "api" / "main.py").exists() or not python.exists():
            parser.error(f"--baseline {args.baseline}: needs api/main.py and .venv/bin/python")
    return args


@dataclass
class Setting:
    """A freshness benchmark's servers and data: the options, the cadastre's database and extent, the
    administrator token its hosts take, a pool on the database, its Redis database, the decoder."""

    args: argparse.Namespace
    database: str
    extent: tuple[float, float, float, float]
    token: str
    pool: asyncpg.Pool
    redis: aioredis.Redis
    decoder: Decoder

    def new_host(self, listener: bool = True, info_log: bool = False) -> Host:
        """This checkout's host app."""
        return Host("freshness-new", ROOT, self.database, self.args.workers, self.token, listener, info_log)

    def baseline_host(self, info_log: bool = False) -> Host:
        """The --baseline checkout's host app."""
        return Host("freshness-baseline", Path(self.args.baseline).resolve(), self.database, self.args.workers,
                    self.token, listener=False, info_log=info_log, baseline=True)


@contextlib.asynccontextmanager
async def prepared(args: argparse.Namespace) -> AsyncIterator[Setting]:
    """The cadastre loaded, the run's heading printed, Redis emptied: the setting, closed afterwards."""
    tile_module(REDIS_DB)  # for its statements and cache namespace
    database = await cadastre_database(args.plots)
    extent = await plot_extent(database)
    baseline = getattr(args, "baseline", None)
    print(f"command: python {os.path.relpath(sys.argv[0], ROOT)} {' '.join(sys.argv[1:])}")
    print(f"settings: {', '.join(f'{k}={v}' for k, v in vars(args).items())}")
    print(f"code: {ROOT} at {git_commit(ROOT)}" + (f"; baseline {baseline} at {git_commit(Path(baseline))}"
                                                     if baseline else ""))
    print(f"servers: PostgreSQL {LOOPBACK}:{PG_PORT} database {database} ({args.plots:,} plots), "
          f"Redis {LOOPBACK}:{REDIS_PORT} database {REDIS_DB}; {args.workers} uvicorn workers", flush=True)
    pool = await asyncpg.create_pool(pg_url(database), min_size=2, max_size=8)
    redis = redis_client(REDIS_DB)
    decoder = Decoder()
    try:
        await redis.flushdb()
        yield Setting(args, database, extent, secrets.token_hex(16), pool, redis, decoder)
    finally:
        decoder.close()
        await redis.aclose()
        await pool.close()
