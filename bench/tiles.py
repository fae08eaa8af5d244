#!/usr/bin/env python3
"""Tile serving speed through HTTP, beside its floors measured in the same run.

    python bench/tiles.py [--plots 200000] [--concurrency 8] [--hit-rounds 5]

Runs the host app under uvicorn on a free port and requests a fixed list of plot tiles at
zooms 8 to 18 inside the demo cadastre (loaded at the given size when smaller):

- misses: the tile cache emptied first, every tile requested once;
- hits: the same tiles again, several rounds;
- floor for misses: the same SQL statements run directly through asyncpg;
- floor for hits: a bare Redis GET of the same cached bytes.

Each is printed as tiles per second with p50/p99 latency, then as a ratio to its floor.
Requests come from many loopback source addresses so the per-address rate limit (40 per
second) is never what is measured.
"""

from __future__ import annotations

import argparse
import asyncio
from collections.abc import Awaitable, Callable

import asyncpg

from lib.cadastre import Tile, ensure_cadastre, fetch, pg_url
from lib.clients import addresses, client, redis_client
from lib.latency import summary, timed
from lib.servers import host
from lib.tile_module import tile_module, tile_statement

CENTRE_SQL = """
    SELECT ST_Y(c) AS lat, ST_X(c) AS lon
    FROM (SELECT ST_Transform(ST_SetSRID(ST_Centroid(ST_Extent("GEOMETRY")::geometry), 3857), 4326) AS c
          FROM "GIS"."PLOT" WHERE "CADZONE" LIKE 'A%') AS s
"""
SOURCE_ADDRESSES = addresses(10, 500)
Job = Callable[[], Awaitable[object]]


async def tile_list(per_zoom: int) -> list[Tile]:
    """A fixed spiral of tiles around the centre of the plots, `per_zoom` at each zoom 8..18."""
    from helpers.utils import latlon_to_xyz

    (row,) = await fetch(CENTRE_SQL)
    tiles = []
    for z in range(8, 19):
        centre = latlon_to_xyz(row["lat"], row["lon"], z)
        ring, seen = 0, []
        while len(seen) < per_zoom:
            for dx in range(-ring, ring + 1):
                for dy in range(-ring, ring + 1):
                    if max(abs(dx), abs(dy)) == ring and len(seen) < per_zoom:
                        seen.append((z, centre["x"] + dx, centre["y"] + dy))
            ring += 1
        tiles += seen
    return tiles


def tile_summary(name: str, wall: float, latencies: list[float]) -> dict[str, float]:
    return summary(name, wall, latencies, unit="tiles", width=34)


def ratio(label: str, measured: dict[str, float], floor: dict[str, float]) -> None:
    print(f"  {label:<34} throughput x{floor['rate'] / measured['rate']:.2f} below the floor, "
          f"p50 x{measured['p50'] / floor['p50']:.2f}, p99 x{measured['p99'] / floor['p99']:.2f}")


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plots", type=int, default=200_000)
    parser.add_argument("--per-zoom", type=int, default=24)
    parser.add_argument("--concurrency", type=int, default=8)
    parser.add_argument("--hit-rounds", type=int, default=5)
    args = parser.parse_args()

    plots = await ensure_cadastre(args.plots)
    tiles = await tile_list(args.per_zoom)
    tile_module()  # for its statements
    statements = {tile: tile_statement("plots", *tile) for tile in tiles}
    redis = redis_client()
    pg = await asyncpg.create_pool(pg_url(), min_size=args.concurrency, max_size=args.concurrency)
    async with host() as server:
        clients = [client(server.port, a, timeout=5.0) for a in SOURCE_ADDRESSES]
        counter = iter(range(10**9))

        def http_job(z: int, x: int, y: int) -> Job:
            async def job() -> None:
                http = clients[next(counter) % len(clients)]
                response = await http.get(f"/gis/plots/{z}/{x}/{y}.pbf")
                if response.status_code not in (200, 204):
                    raise RuntimeError(f"{response.status_code} for {z}/{x}/{y}: {response.text}")
            return job

        def sql_job(tile: Tile) -> Job:
            return lambda: pg.fetchval(*statements[tile])

        def get_job(key: str) -> Job:
            return lambda: redis.get(key)

        try:
            # Warm the database's buffers and the server's connections once, uncounted.
            await timed([sql_job(t) for t in tiles], args.concurrency)
            await redis.flushdb()
            await timed([http_job(*t) for t in tiles[:16]], args.concurrency)
            await redis.flushdb()

            print(f"{len(tiles)} plot tiles, zooms 8-18, on {plots:,} plots; concurrency {args.concurrency}")
            floor_sql = tile_summary("floor: same SQL through asyncpg",
                                     *await timed([sql_job(t) for t in tiles], args.concurrency))
            miss = tile_summary("HTTP, cache misses", *await timed([http_job(*t) for t in tiles], args.concurrency))
            cached = [f"mvt_v8:plots:{z}:{x}:{y}" for z, x, y in tiles]
            present = [k for k in cached if await redis.exists(k)]
            floor_get = tile_summary("floor: bare Redis GET",
                                     *await timed([get_job(k) for k in present * args.hit_rounds], args.concurrency))
            hit_tiles = [tuple(map(int, k.split(":")[2:])) for k in present] * args.hit_rounds
            hit = tile_summary("HTTP, cache hits", *await timed([http_job(*t) for t in hit_tiles], args.concurrency))
            print("ratios (1.00 = as fast as the floor):")
            ratio("misses vs direct SQL", miss, floor_sql)
            ratio("hits vs bare Redis GET", hit, floor_get)
        finally:
            for http in clients:
                await http.aclose()
            await pg.close()
            await redis.aclose()


if __name__ == "__main__":
    asyncio.run(main())
