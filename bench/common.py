"""What the benchmarks share: where the project lies (its host modules importable), its own
servers and the environment that points the host at them, demo cadastres (in the project's
database or in databases of their own, by size), the tile module's statement of a tile, the host
app (or another ASGI app) under uvicorn, timed concurrent jobs and the figures of a timed run.

The benchmarks drive the project's own servers (scripts/services.sh): PostgreSQL on 127.0.0.1
at VEXA_PG_PORT and Redis at VEXA_REDIS_PORT, as the tests do; the host they start is given
its DATABASE_URL from those.
"""

from __future__ import annotations

import asyncio
import contextlib
import io
import math
import os
import re
import socket
import statistics
import subprocess
import sys
import time
from collections.abc import Awaitable, Callable, Iterable, Sequence
from pathlib import Path
from types import ModuleType
from typing import IO

import asyncpg
import httpx

ROOT = Path(__file__).resolve().parents[1]
API = ROOT / "api"
if str(API) not in sys.path:
    sys.path.insert(0, str(API))  # the host's modules: database, helpers, plans, ...
from settings import PG_PORT, REDIS_PORT, project_database_url, project_environment  # noqa: E402
ZONES = 216  # cadastral zones of the demo cadastre
ZONE_PLOTS = 4630  # 216 zones of 4,630 plots hold 1,000,080
BOUND_HOLES = {"min_x": "$1", "min_y": "$2", "max_x": "$3", "max_y": "$4"}
Tile = tuple[int, int, int]  # z, x, y


def pg_url(database: str = "vexa") -> str:
    """A database of the project's PostgreSQL, as asyncpg takes it."""
    return project_database_url(database, driver="postgresql")


def host_environment(database: str = "vexa", redis_db: int = 0) -> dict[str, str]:
    """This process's environment with the host pointed at `database` and at Redis database
    `redis_db` of the project's servers."""
    return {**os.environ, **project_environment(database, redis_db)}


def loopback_addresses(third_octets: Sequence[int] = (10, 11)) -> list[str]:
    """Source addresses 127.0.N.1 to 127.0.N.250 for each N: requests spread over them never
    meet the per-address rate limit."""
    return [f"127.0.{n}.{last}" for n in third_octets for last in range(1, 251)]


def tile_module() -> ModuleType:
    """vexa.maptile_hub, without the lines it prints on standard output when first imported."""
    with contextlib.redirect_stdout(io.StringIO()):
        import vexa.maptile_hub as hub
    return hub


async def ensure_cadastre(plots: int, database: str = "vexa") -> int:
    """The plots in `database`: the demo cadastre is loaded at `plots` first when it holds fewer."""
    conn = await asyncpg.connect(pg_url(database))
    try:
        have = await conn.fetchval('SELECT count(*) FROM "GIS"."PLOT"')
    finally:
        await conn.close()
    if have >= plots:
        return have
    print(f"loading a demo cadastre of {plots:,} plots (have {have:,})", flush=True)
    subprocess.run([sys.executable, str(ROOT / "scripts" / "demo_cadastre.py"), "--plots", str(plots)],
                   check=True, env=host_environment(database))
    return plots


async def fetch(sql: str, *args: object, database: str = "vexa") -> list[asyncpg.Record]:
    """The rows of one statement, on a connection of its own."""
    conn = await asyncpg.connect(pg_url(database))
    try:
        return await conn.fetch(sql, *args)
    finally:
        await conn.close()


async def plot_tiles(zooms: range, per_zoom: int, database: str = "vexa") -> list[Tile]:
    """Distinct tiles that hold plots, `per_zoom` at each zoom, in a fixed order."""
    rows = await fetch('SELECT ST_X(c) AS lon, ST_Y(c) AS lat FROM (SELECT ST_Transform(ST_Centroid("GEOMETRY"), 4326) '
                       'AS c FROM "GIS"."PLOT" ORDER BY "ID") AS s', database=database)
    from helpers.utils import latlon_to_xyz

    tiles: list[Tile] = []
    for z in zooms:
        seen: dict[Tile, None] = {}
        for row in rows[::7]:
            t = latlon_to_xyz(row["lat"], row["lon"], z)
            seen[(z, t["x"], t["y"])] = None
            if len(seen) == per_zoom:
                break
        tiles += list(seen)
    return tiles


def label(size: int) -> str:
    """A plot count as a short name: 10k, 1m, 12345."""
    if size % 1_000_000 == 0:
        return f"{size // 1_000_000}m"
    return f"{size // 1000}k" if size % 1000 == 0 else str(size)


def zone_plots_for(size: int, zone_plots: int = ZONE_PLOTS) -> int:
    """Plots per zone for `size`: `zone_plots`, or as many as the zones must hold beyond that (a
    size of larger zones, whose tiles are no longer the same tiles as the others')."""
    return max(zone_plots, math.ceil(size / ZONES))


async def cadastre_database(size: int, zone_plots: int, reload: bool = False) -> str:
    """The database vexa_scale_<label> holding a demo cadastre of `size` plots, `zone_plots` to a
    zone: created and loaded (scripts/demo_cadastre.py) unless it already holds that many."""
    database = f"vexa_scale_{label(size)}"
    admin = await asyncpg.connect(pg_url("postgres"))
    try:
        if not await admin.fetchval("SELECT 1 FROM pg_database WHERE datname = $1", database):
            await admin.execute(f'CREATE DATABASE "{database}"')
    finally:
        await admin.close()
    conn = await asyncpg.connect(pg_url(database))
    try:
        for script in ("schema.sql", "tile_changes.sql"):
            await conn.execute((ROOT / "scripts" / script).read_text())
        have = await conn.fetchval('SELECT count(*) FROM "GIS"."PLOT"')
    finally:
        await conn.close()
    if reload or have != size:
        print(f"loading {size:,} plots into {database} (have {have:,})", flush=True)
        started = time.monotonic()
        subprocess.run([sys.executable, str(ROOT / "scripts" / "demo_cadastre.py"), "--plots", str(size),
                        "--zone-plots", str(zone_plots), "--quiet"],
                       check=True, env=host_environment(database))
        print(f"  loaded in {time.monotonic() - started:.0f} s", flush=True)
    return database


def tile_statement(layer: str, z: int, x: int, y: int) -> tuple[str, float, float, float, float]:
    """The tile module's own statement of one XYZ tile with its bounds, as asyncpg takes them ($1 to
    $4). Needs vexa.maptile_hub importable (its Redis settings in the environment)."""
    from helpers.utils import xyz_to_bbox_web_mercator

    sql, _ = tile_module().generate_mvt_sql(layer, z)
    sql = re.sub(r":(min_x|min_y|max_x|max_y)\b", lambda m: BOUND_HOLES[m.group(1)], sql)
    bounds = xyz_to_bbox_web_mercator(z, x, y)
    return sql, bounds["minx"], bounds["miny"], bounds["maxx"], bounds["maxy"]


def free_port() -> int:
    """A free loopback port of VEXA_BENCH_PORTS ("first-last"; any free port when unset)."""
    first, _, last = os.environ.get("VEXA_BENCH_PORTS", "0-0").partition("-")
    for port in range(int(first), int(last or first) + 1):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return s.getsockname()[1]
    raise RuntimeError(f"no free port in VEXA_BENCH_PORTS={os.environ['VEXA_BENCH_PORTS']}")


def uvicorn(port: int, env: dict[str, str], workers: int = 1, log: IO[bytes] | int = subprocess.DEVNULL,
            access_log: bool = False, app: str = "main:app", cwd: Path = API,
            python: str = sys.executable, log_config: Path | None = None) -> subprocess.Popen:
    """An ASGI app (the host app unless told) under uvicorn on 127.0.0.1:`port` with the environment `env`;
    `log_config` is a logging configuration file for uvicorn's --log-config."""
    command = [python, "-m", "uvicorn", app, "--host", "127.0.0.1", "--port", str(port),
               "--workers", str(workers), "--log-level", "warning"]
    command += ["--log-config", str(log_config)] if log_config else []
    return subprocess.Popen(command + ([] if access_log else ["--no-access-log"]), cwd=cwd, env=env,
                            stdout=log, stderr=log)


async def until_serving(client: httpx.AsyncClient, tries: int = 150, path: str = "/gis/layers/") -> None:
    """Wait (0.1 s a try) until the server behind `client` answers `path`; RuntimeError if it never does."""
    for _ in range(tries):
        try:
            await client.get(path)
            return
        except httpx.TransportError:
            await asyncio.sleep(0.1)
    raise RuntimeError("uvicorn did not start")


def stop(server: subprocess.Popen) -> None:
    """End a server started here: terminated, and killed if it has not ended after 10 s."""
    server.terminate()
    try:
        server.wait(10)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait()


async def timed(jobs: list[Callable[[], Awaitable[object]]], concurrency: int) -> tuple[float, list[float]]:
    """Run the jobs `concurrency` at a time; wall seconds and per-job latencies in ms."""
    latencies: list[float] = []
    queue = list(reversed(jobs))

    async def worker() -> None:
        while queue:
            job = queue.pop()
            started = time.perf_counter()
            await job()
            latencies.append((time.perf_counter() - started) * 1000)

    started = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(concurrency)))
    return time.perf_counter() - started, latencies


def percentile(values: Iterable[float], percent: float) -> float:
    """The nearest-rank percentile: the smallest of the values with at least `percent` % of them
    at or below it (nan when there are none)."""
    ordered = sorted(values)
    if not ordered:
        return math.nan
    rank = max(1, math.ceil(len(ordered) * percent / 100))
    return ordered[rank - 1]


def summary(name: str, wall: float, latencies: list[float], unit: str = "requests", width: int = 30) -> dict[str, float]:
    """Rate, p50 and p99 of a run of `wall` seconds, printed as one line."""
    figures = {"rate": len(latencies) / wall, "p50": statistics.median(latencies), "p99": percentile(latencies, 99)}
    print(f"  {name:<{width}} {figures['rate']:9.1f} {unit}/s   p50 {figures['p50']:7.2f} ms   p99 {figures['p99']:7.2f} ms")
    return figures
