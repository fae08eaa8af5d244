"""Demo cadastres in the project's PostgreSQL: in its own database, or in databases of their own by
size, and the statements the benchmarks ask of them (a statement's rows, the plots' extent, tiles
that hold plots)."""

from __future__ import annotations

import math
import os
import subprocess
import sys
import time

import asyncpg
from settings import DATABASE, project_database_url, project_environment

from lib import ROOT

Tile = tuple[int, int, int]  # z, x, y
ZONES = 216  # cadastral zones of the demo cadastre
ZONE_PLOTS = 4630  # 216 zones of 4,630 plots hold 1,000,080
DEMO_CADASTRE = ROOT / "scripts" / "demo_cadastre.py"

EXTENT_SQL = """
    SELECT ST_XMin(e) AS w, ST_YMin(e) AS s, ST_XMax(e) AS e, ST_YMax(e) AS n
    FROM (SELECT ST_Extent("GEOMETRY") AS e FROM "GIS"."PLOT") AS x
"""
CENTROIDS_SQL = """
    SELECT ST_X(c) AS lon, ST_Y(c) AS lat
    FROM (SELECT ST_Transform(ST_Centroid("GEOMETRY"), 4326) AS c FROM "GIS"."PLOT" ORDER BY "ID") AS s
"""


def pg_url(database: str = DATABASE) -> str:
    """A database of the project's PostgreSQL, as asyncpg takes it."""
    return project_database_url(database, driver="postgresql")


async def fetch(sql: str, *args: object, database: str = DATABASE) -> list[asyncpg.Record]:
    """The rows of one statement, on a connection of its own."""
    conn = await asyncpg.connect(pg_url(database))
    try:
        return await conn.fetch(sql, *args)
    finally:
        await conn.close()


def host_environment(database: str = DATABASE, redis_db: int = 0) -> dict[str, str]:
    """This process's environment with the host pointed at `database` and at Redis database
    `redis_db` of the project's servers."""
    return {**os.environ, **project_environment(database, redis_db)}


def load(database: str, *options: str) -> None:
    """scripts/demo_cadastre.py run into `database` with `options`."""
    subprocess.run([sys.executable, str(DEMO_CADASTRE), *options], check=True, env=host_environment(database))


async def ensure_cadastre(plots: int, database: str = DATABASE) -> int:
    """The plots in `database`: the demo cadastre is loaded at `plots` first when it holds fewer."""
    (have,) = (await fetch('SELECT count(*) FROM "GIS"."PLOT"', database=database))[0]
    if have >= plots:
        return have
    print(f"loading a demo cadastre of {plots:,} plots (have {have:,})", flush=True)
    load(database, "--plots", str(plots))
    return plots


def label(size: int) -> str:
    """A plot count as a short name: 10k, 1m, 12345."""
    if size % 1_000_000 == 0:
        return f"{size // 1_000_000}m"
    return f"{size // 1000}k" if size % 1000 == 0 else str(size)


def zone_plots_for(size: int, zone_plots: int = ZONE_PLOTS) -> int:
    """Plots per zone for `size`: `zone_plots`, or as many as the zones must hold beyond that (a
    size of larger zones, whose tiles are no longer the same tiles as the others')."""
    return max(zone_plots, math.ceil(size / ZONES))


async def cadastre_database(size: int, zone_plots: int | None = None, reload: bool = False) -> str:
    """The database vexa_scale_<label> holding a demo cadastre of `size` plots, `zone_plots` to a
    zone (zone_plots_for(size) unless told): created and loaded unless it already holds that many."""
    database = f"vexa_scale_{label(size)}"
    if not await fetch("SELECT 1 FROM pg_database WHERE datname = $1", database, database="postgres"):
        await fetch(f'CREATE DATABASE "{database}"', database="postgres")
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
        load(database, "--plots", str(size), "--zone-plots", str(zone_plots or zone_plots_for(size)), "--quiet")
        print(f"  loaded in {time.monotonic() - started:.0f} s", flush=True)
    return database


async def plot_extent(database: str = DATABASE) -> tuple[float, float, float, float]:
    """West, south, east and north of the plots, in EPSG:3857 metres."""
    (box,) = await fetch(EXTENT_SQL, database=database)
    return box["w"], box["s"], box["e"], box["n"]


async def plot_tiles(zooms: range, per_zoom: int, database: str = DATABASE) -> list[Tile]:
    """Distinct tiles that hold plots, `per_zoom` at each zoom, in a fixed order."""
    from helpers.utils import latlon_to_xyz

    rows = await fetch(CENTROIDS_SQL, database=database)
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
