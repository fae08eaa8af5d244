#!/usr/bin/env python3
"""Fill the five cadastral layer tables with a plausible demo fabric around Abuja.

Six LGAs (the Federal Capital Territory's area councils) in a 3 x 2 layout, four districts in
each, nine cadastral zones in each district, and plots tiling the zones in blocks of 6 x 2
separated by road reserves, with a beacon at every plot corner (shared corners share one
beacon). Plot corners wander by a few metres, the same for every plot that shares them, so
the fabric stays gap-free. Everything is built inside PostGIS, one statement per zone (its plots
and their beacons), with the indexes dropped during the load and built afterwards.

Zones fill in order. Every zone's fabric depends only on the zone's number (its seed) and the
zone size, so with a fixed --zone-plots the same area holds the same plots at any total size:
a 10,000-plot load is the first zones of a 1,000,000-plot load, plot for plot.

    python scripts/demo_cadastre.py --plots 200000
    python scripts/demo_cadastre.py --plots 10000 --zone-plots 4630    # laid out like 1,000,000
    python scripts/demo_cadastre.py --if-empty          # keep existing data

The database is DATABASE_URL (SQLAlchemy form accepted) or the project's own PostGIS.
"""

from __future__ import annotations

import argparse
import asyncio
import math
import sys
import time
from pathlib import Path

import asyncpg
from project import database_dsn

# Web Mercator origin of the fabric: south-west corner, a little south-west of central Abuja
# (about 8.93 N, 7.32 E).
ORIGIN_X = 815_000.0
ORIGIN_Y = 998_000.0

LGAS = ["Abuja Municipal", "Bwari", "Gwagwalada", "Kuje", "Kwali", "Abaji"]
DISTRICTS = [
    "Garki", "Wuse", "Maitama", "Asokoro",
    "Kubwa", "Dutse", "Ushafa", "Byazhin",
    "Dobi", "Zuba", "Paiko", "Ibwa",
    "Gudu", "Chika", "Rubochi", "Gaube",
    "Yangoji", "Kilankwa", "Pai", "Dafa",
    "Yaba", "Rimba", "Gawu", "Naharati",
]
ZONE_LETTERS = "ABCDEFGHJKLMNPQRSTUVWXYZ"

PLOT_W = 30.0  # map units along x (EPSG:3857 metres; about 29.6 m on the ground here)
PLOT_H = 40.0
ROAD = 15.0  # road reserve between blocks
MARGIN = 20.0  # reserve along zone edges
JITTER = 2.5  # corner wander, each axis

SETUP_SQL = """
CREATE OR REPLACE FUNCTION pg_temp.wander(zone int, gx int, gy int, axis int) RETURNS float8
LANGUAGE sql IMMUTABLE AS $$
    SELECT (((abs(hashint4(zone * 1000003 + gx * 7919 + gy * 104729 + axis)) % 10000) / 10000.0) - 0.5)
           * 2 * {jitter}
$$;
"""

PLOTS_SQL = """
WITH p AS (
    SELECT k, k / 12 AS block, k % 12 AS within
    FROM generate_series(0, $2::int - 1) AS k
), g AS (
    SELECT k, block,
           (block % $5::int) AS bcol, (block / $5::int) AS brow,
           (within % 6) AS pc, (within / 6) AS pr
    FROM p
), c AS (
    SELECT k, block, bcol, brow, pc, pr,
           $3::float8 + {margin} + bcol * (6 * {w} + {road}) AS bx0,
           $4::float8 + {margin} + brow * (2 * {h} + {road}) AS by0,
           bcol * 7 + pc AS gx, brow * 3 + pr AS gy
    FROM g
), v AS (
    SELECT k, block,
           ARRAY[
             ST_MakePoint(bx0 + pc * {w} + pg_temp.wander($1, gx, gy, 0), by0 + pr * {h} + pg_temp.wander($1, gx, gy, 1)),
             ST_MakePoint(bx0 + (pc + 1) * {w} + pg_temp.wander($1, gx + 1, gy, 0), by0 + pr * {h} + pg_temp.wander($1, gx + 1, gy, 1)),
             ST_MakePoint(bx0 + (pc + 1) * {w} + pg_temp.wander($1, gx + 1, gy + 1, 0), by0 + (pr + 1) * {h} + pg_temp.wander($1, gx + 1, gy + 1, 1)),
             ST_MakePoint(bx0 + pc * {w} + pg_temp.wander($1, gx, gy + 1, 0), by0 + (pr + 1) * {h} + pg_temp.wander($1, gx, gy + 1, 1))
           ] AS pts
    FROM c
), lu AS (
    SELECT k, block, pts,
           (abs(hashint4(block * 7919 + $1::int)) % 100) AS lu_roll,
           (abs(hashint4(((k::bigint * 104729 + $1::int) % 2147483647)::int)) % 100) AS status_roll
    FROM v
)
, shaped AS (
    SELECT k, lu_roll, status_roll, ST_SetSRID(ST_MakePolygon(ST_MakeLine(pts || pts[1])), 3857) AS geom
    FROM lu
), plots AS (
INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no", "GEOMETRY")
SELECT $6::int + k,
       $7::text || '/' || lpad((k + 1)::text, 5, '0'),
       CASE WHEN status_roll < 55 THEN 'Allocated' WHEN status_roll < 80 THEN 'Developed'
            WHEN status_roll < 93 THEN 'Vacant' ELSE 'Under Review' END,
       round(ST_Area(ST_Transform(geom, 26332))::numeric, 2),
       CASE WHEN lu_roll < 62 THEN 'Residential' WHEN lu_roll < 77 THEN 'Commercial'
            WHEN lu_roll < 86 THEN 'Institutional' WHEN lu_roll < 93 THEN 'Recreational'
            WHEN lu_roll < 97 THEN 'Mixed Use' ELSE 'Industrial' END,
       $7::text,
       CASE WHEN lu_roll < 40 THEN 'Detached Housing' WHEN lu_roll < 62 THEN 'Terraced Housing'
            WHEN lu_roll < 70 THEN 'Retail' WHEN lu_roll < 77 THEN 'Offices'
            WHEN lu_roll < 82 THEN 'School' WHEN lu_roll < 86 THEN 'Health Centre'
            WHEN lu_roll < 90 THEN 'Park' WHEN lu_roll < 93 THEN 'Sports Ground'
            WHEN lu_roll < 97 THEN 'Shops with Flats' ELSE 'Light Industry' END,
       CASE WHEN status_roll < 80 THEN 'FCT/' || $8::text || '/' || lpad(($6::int + k)::text, 7, '0') END,
       geom
FROM shaped
RETURNING "GEOMETRY"
), corners AS (
    SELECT DISTINCT ST_SnapToGrid((ST_DumpPoints("GEOMETRY")).geom, 0.001) AS geom FROM plots
), numbered AS (
    SELECT geom, row_number() OVER (ORDER BY ST_Y(geom), ST_X(geom)) AS n FROM corners
), beacons AS (
INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "STATUS", "REMARK", "GEOMETRY")
SELECT $9::int + n - 1,
       'PB ' || $7::text || '-' || lpad(n::text, 5, '0'),
       CASE WHEN abs(hashint4(($9::int + n)::int)) % 100 < 88 THEN 'Found'
            WHEN abs(hashint4(($9::int + n)::int)) % 100 < 96 THEN 'Replaced' ELSE 'Missing' END,
       CASE WHEN abs(hashint4(($9::int + n)::int * 31)) % 100 < 6 THEN 'Disturbed, re-established' END,
       geom
FROM numbered
RETURNING 1
)
SELECT count(*) FROM beacons
"""

# Built after the load (one sort each instead of a million index insertions), together with
# the statistics and clustering that scripts/schema.sql keeps for the tile statements.
INDEXED_TABLES = ['"GIS"."PLOT"', '"GIS"."BEACON"']
SCHEMA_SQL = Path(__file__).with_name("schema.sql")
TILE_CHANGES_SQL = Path(__file__).with_name("tile_changes.sql")
LAYER_TABLES = {"plots": "PLOT", "beacons": "BEACON", "cadzones": "CadZones", "districts": "Districts", "lgas": "LGAs"}


def rectangle(x0: float, y0: float, x1: float, y1: float) -> str:
    return f"MULTIPOLYGON((({x0} {y0},{x1} {y0},{x1} {y1},{x0} {y1},{x0} {y0})))"


ZONES = len(LGAS) * 4 * 9


async def drop_indexes(conn: asyncpg.Connection) -> None:
    """Drop the secondary indexes of the plot and beacon tables (rebuilt by build_indexes)."""
    for table in INDEXED_TABLES:
        schema, name = (part.strip('"') for part in table.split("."))
        names = await conn.fetch(
            "SELECT indexrelid::regclass::text AS idx FROM pg_index i JOIN pg_class c ON c.oid = i.indrelid "
            "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = $1 AND c.relname = $2 "
            "AND NOT i.indisprimary", schema, name)
        for row in names:
            await conn.execute(f"DROP INDEX {row['idx']}")


async def build_indexes(conn: asyncpg.Connection) -> None:
    """The schema script is idempotent: run again, it creates the missing indexes and statistics."""
    await conn.execute(SCHEMA_SQL.read_text())


async def record_the_load(conn: asyncpg.Connection) -> None:
    """A load replaces every layer: one change of each whole layer for the tile service's change
    listener (which then clears each layer's cached tiles once), rather than a change per plot
    recorded by the triggers, which the load keeps quiet."""
    await conn.executemany('INSERT INTO "GIS".tile_changes (layer) VALUES ($1)', [(layer,) for layer in LAYER_TABLES])
    await conn.execute("NOTIFY vexa_tile_changes")


async def fill(conn: asyncpg.Connection, plots: int, zone_plots: int | None, quiet: bool) -> tuple[int, int]:
    zones = ZONES
    per_zone = zone_plots or max(1, math.ceil(plots / zones))
    blocks = math.ceil(per_zone / 12)
    block_w, block_h = 6 * PLOT_W + ROAD, 2 * PLOT_H + ROAD
    # Lay the blocks out so that a zone comes out roughly square.
    bx = max(1, round(math.sqrt(blocks * block_h / block_w)))
    by = math.ceil(blocks / bx)
    zone_w = 2 * MARGIN + bx * block_w - ROAD
    zone_h = 2 * MARGIN + by * block_h - ROAD

    await conn.execute('TRUNCATE "GIS"."BEACON", "GIS"."PLOT", "GIS"."ROADS", "GIS"."CadZones", "GIS"."Districts", '
                       '"GIS"."LGAs"')
    await conn.execute(SETUP_SQL.replace("{jitter}", str(JITTER)))
    plots_stmt = await conn.prepare(PLOTS_SQL.format(margin=MARGIN, w=PLOT_W, h=PLOT_H, road=ROAD))

    started = time.monotonic()
    roads: list[tuple[int, str, float, str]] = []
    plot_id = beacon_id = 1
    zone_id = district_id = 0
    remaining = plots
    for lga_index, lga in enumerate(LGAS):
        lx, ly = lga_index % 3, lga_index // 3
        lga_x0 = ORIGIN_X + lx * 2 * 3 * zone_w
        lga_y0 = ORIGIN_Y + ly * 2 * 3 * zone_h
        await conn.execute(
            'INSERT INTO "GIS"."LGAs" (id, name, geometry) VALUES ($1, $2, ST_GeomFromText($3, 3857))',
            lga_index + 1, lga, rectangle(lga_x0, lga_y0, lga_x0 + 6 * zone_w, lga_y0 + 6 * zone_h))
        for d in range(4):
            district_id += 1
            dx0 = lga_x0 + (d % 2) * 3 * zone_w
            dy0 = lga_y0 + (d // 2) * 3 * zone_h
            district = DISTRICTS[district_id - 1]
            await conn.execute(
                'INSERT INTO "GIS"."Districts" (id, name, lga_id, geometry) VALUES ($1, $2, $3, ST_GeomFromText($4, 3857))',
                district_id, district, lga_index + 1, rectangle(dx0, dy0, dx0 + 3 * zone_w, dy0 + 3 * zone_h))
            for zi in range(9):
                zone_id += 1
                zx0 = dx0 + (zi % 3) * zone_w
                zy0 = dy0 + (zi // 3) * zone_h
                code = f"{ZONE_LETTERS[district_id - 1]}{zi + 1:02d}"
                await conn.execute(
                    'INSERT INTO "GIS"."CadZones" (id, name, district_id, geometry) VALUES ($1, $2, $3, ST_GeomFromText($4, 3857))',
                    zone_id, f"Cadastral Zone {code} ({district})", district_id,
                    rectangle(zx0, zy0, zx0 + zone_w, zy0 + zone_h))
                roads += zone_roads(len(roads) + 1, code, zx0, zy0, zone_w, zone_h, bx, by)
                count = min(per_zone, remaining)
                if count > 0:
                    beacons = await plots_stmt.fetchval(zone_id, count, zx0, zy0, bx, plot_id, code,
                                                        district[:3].upper(), beacon_id)
                    plot_id += count
                    beacon_id += beacons
                    remaining -= count
                if not quiet and (zone_id % 12 == 0 or zone_id == zones):
                    elapsed = time.monotonic() - started
                    print(f"  zones {zone_id}/{zones}, plots {plot_id - 1:,}, beacons {beacon_id - 1:,}, "
                          f"{elapsed:.0f} s", file=sys.stderr, flush=True)
    await conn.executemany(
        'INSERT INTO "GIS"."ROADS" (id, name, width_m, geometry) VALUES ($1, $2, $3, ST_GeomFromText($4, 3857))', roads)
    return plot_id - 1, beacon_id - 1


def zone_roads(first_id: int, code: str, zx0: float, zy0: float, zone_w: float, zone_h: float,
               bx: int, by: int) -> list[tuple[int, str, float, str]]:
    """Centrelines of a zone's road reserves: its west and south edge roads (shared with the
    neighbouring zone) and the streets between its blocks."""
    block_w, block_h = 6 * PLOT_W + ROAD, 2 * PLOT_H + ROAD
    lines = [(f"{code} Boundary Road West", 2 * MARGIN, zx0, zy0, zx0, zy0 + zone_h),
             (f"{code} Boundary Road South", 2 * MARGIN, zx0, zy0, zx0 + zone_w, zy0)]
    for c in range(1, bx):
        x = zx0 + MARGIN + c * block_w - ROAD / 2
        lines.append((f"{code} Street {c}", ROAD, x, zy0, x, zy0 + zone_h))
    for r in range(1, by):
        y = zy0 + MARGIN + r * block_h - ROAD / 2
        lines.append((f"{code} Close {r}", ROAD, zx0, y, zx0 + zone_w, y))
    return [(first_id + i, name, width, f"LINESTRING({x0} {y0},{x1} {y1})")
            for i, (name, width, x0, y0, x1, y1) in enumerate(lines)]


async def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plots", type=int, default=20000, help="number of plots (default 20000)")
    parser.add_argument("--zone-plots", type=int, default=None,
                        help="plots per cadastral zone, zones filled in order (default: --plots spread evenly)")
    parser.add_argument("--if-empty", action="store_true", help="do nothing when plots are already loaded")
    parser.add_argument("--quiet", action="store_true", help="no progress lines")
    args = parser.parse_args()
    if args.plots < 1:
        parser.error("--plots must be at least 1")
    if args.zone_plots is not None and args.zone_plots < 1:
        parser.error("--zone-plots must be at least 1")
    if args.zone_plots is not None and args.zone_plots * ZONES < args.plots:
        parser.error(f"--zone-plots {args.zone_plots} holds at most {args.zone_plots * ZONES:,} plots in {ZONES} zones")
    # JIT compiling each zone's statement costs seconds, far more than running it.
    conn = await asyncpg.connect(database_dsn(), server_settings={"jit": "off"})
    try:
        if args.if_empty and await conn.fetchval('SELECT EXISTS (SELECT 1 FROM "GIS"."PLOT")'):
            print("demo cadastre already loaded", file=sys.stderr)
            return 0
        started = time.monotonic()
        await conn.execute(TILE_CHANGES_SQL.read_text())
        async with conn.transaction():
            await conn.execute("SET LOCAL session_replication_role = replica")  # no trigger fires
            await drop_indexes(conn)
            plots, beacons = await fill(conn, args.plots, args.zone_plots, args.quiet)
            if not args.quiet:
                print(f"  building indexes, {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)
            await build_indexes(conn)
            await record_the_load(conn)
        await conn.execute("VACUUM ANALYZE")
        print(f"demo cadastre: {plots:,} plots, {beacons:,} beacons in {time.monotonic() - started:.1f} s",
              file=sys.stderr)
    finally:
        await conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
