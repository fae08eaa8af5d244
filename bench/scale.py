#!/usr/bin/env python3
"""Plot tiles at national scale: cold tile times and sizes at 10,000 and 1,000,000 plots.

    python bench/scale.py                       # 10k and 1M (each loaded once, kept)
    python bench/scale.py --sizes 10000,1000000,5000000

Each size lives in a database of its own on the project's PostgreSQL (vexa_scale_10k,
vexa_scale_1m, ...), loaded by scripts/demo_cadastre.py with the same --zone-plots at every
size, so zone 1 holds the same plots in all of them and a tile there is the same tile. A size
that 216 zones of that many plots cannot hold (5,000,000) gets larger zones of the same plots:
its low-zoom tiles are compared with the largest size laid out alike (slowest tile against
slowest tile).

For each size the host app runs under uvicorn (Redis database 3 of the project's Redis) and
every plot tile is requested cold (its cache entry deleted first, the database warm):

- zooms 8 to 12: every tile that covers the plots (the worst is what a user meets first);
- zooms 13 to 16: the tiles wholly inside zone 1, the same at every size (at zoom 13, wider
  than a zone, the one tile over its middle, which also shows neighbouring zones).

Printed per zoom: the median and the slowest cold time at each size, the raw and gzip sizes
(as served with and without Accept-Encoding: gzip), for zooms 13 to 16 the ratio of the
largest size to the smallest laid out alike, and for zooms 8 to 12 that of a size of larger zones. The
machine's speed is taken before and after (a fixed loop), since a shared machine's varies. Then, per zoom, the CPU one hit costs to compress (gzip level 1
and 6) against the digest lookup that the host's compressed-body table costs instead. Then a
replay of overlapping viewers with an empty cache counts the tile queries the database ran
against the distinct tiles asked for, with one and with two uvicorn workers.
"""

from __future__ import annotations

import argparse
import asyncio
import gzip
import statistics
import time

import asyncpg

from lib.cadastre import ZONE_PLOTS, cadastre_database, label, pg_url, zone_plots_for
from lib.clients import addresses, client, redis_client
from lib.servers import Server, host

from delivery.compression import CompressedBodies  # the host's modules: on the path once lib is imported
from helpers.utils import latlon_to_xyz

REDIS_DB = 3
SOURCE_ADDRESSES = addresses(20, 500)


async def tile_plan(database: str, zone_plots: int) -> dict[int, list[tuple[int, int, int]]]:
    """Zoom to tiles: all plot tiles at 8..12, the tiles around zone 1's middle at 13..16."""
    conn = await asyncpg.connect(pg_url(database))
    try:
        extent = await conn.fetchrow(
            'SELECT ST_XMin(e) AS w, ST_YMin(e) AS s, ST_XMax(e) AS e, ST_YMax(e) AS n FROM (SELECT ST_Transform('
            'ST_SetSRID(ST_Extent("GEOMETRY")::geometry, 3857), 4326) AS e FROM "GIS"."PLOT") AS x')
        middle = await conn.fetchrow(
            'SELECT ST_Y(c) AS lat, ST_X(c) AS lon FROM (SELECT ST_Transform(ST_Centroid("GEOMETRY"), 4326) AS c '
            'FROM "GIS"."PLOT" WHERE "ID" = $1) AS x', zone_plots // 2)
        zone = await conn.fetchrow('SELECT ST_XMin(geometry) AS w, ST_YMin(geometry) AS s, ST_XMax(geometry) AS e, '
                                   'ST_YMax(geometry) AS n FROM "GIS"."CadZones" WHERE id = 1')
    finally:
        await conn.close()
    from helpers.utils import xyz_to_bbox_web_mercator

    def inside_zone_1(z: int, x: int, y: int) -> bool:
        b = xyz_to_bbox_web_mercator(z, x, y)
        return zone["w"] <= b["minx"] and b["maxx"] <= zone["e"] and zone["s"] <= b["miny"] and b["maxy"] <= zone["n"]

    plan: dict[int, list[tuple[int, int, int]]] = {}
    for z in range(8, 13):
        nw, se = latlon_to_xyz(extent["n"], extent["w"], z), latlon_to_xyz(extent["s"], extent["e"], z)
        plan[z] = [(z, x, y) for y in range(nw["y"], se["y"] + 1) for x in range(nw["x"], se["x"] + 1)]
    for z in range(13, 17):
        # Tiles wholly inside zone 1 hold the same plots at every size; at zoom 13 (wider than
        # a zone) the tile over its middle also shows the neighbouring zones, filled or not.
        c = latlon_to_xyz(middle["lat"], middle["lon"], z)
        around = [(z, c["x"] + dx, c["y"] + dy) for dx in (-2, -1, 0, 1, 2) for dy in (-2, -1, 0, 1, 2)]
        plan[z] = [t for t in around if inside_zone_1(*t)] or [(z, c["x"], c["y"])]
    return plan


async def cold_times(server: Server, plan: dict[int, list[tuple[int, int, int]]], rounds: int) -> dict:
    """Per zoom: cold milliseconds of every tile (median of `rounds`), raw and gzip bytes."""
    redis = redis_client(REDIS_DB)
    clients = [client(server.port, a, timeout=60) for a in SOURCE_ADDRESSES[:40]]
    turn = 0
    results: dict[int, dict] = {}
    try:
        await redis.flushdb()
        for z, tiles in plan.items():
            per_tile, raw, packed = [], [], []
            for _, x, y in tiles:
                path, key = f"/gis/plots/{z}/{x}/{y}.pbf", f"mvt_v8:plots:{z}:{x}:{y}"
                times = []
                for _ in range(rounds):
                    await redis.delete(key)
                    http = clients[turn % len(clients)]
                    turn += 1
                    started = time.perf_counter()
                    response = await http.get(path, headers={"Accept-Encoding": "identity"})
                    times.append((time.perf_counter() - started) * 1000)
                    if response.status_code not in (200, 204):
                        raise RuntimeError(f"{response.status_code} for {path}: {response.text}")
                if response.status_code == 204:
                    continue
                per_tile.append(statistics.median(times))
                raw.append(len(response.content))
                hit = await clients[turn % len(clients)].get(path, headers={"Accept-Encoding": "gzip"})
                turn += 1
                assert hit.headers.get("content-encoding") == "gzip" and hit.content == response.content
                packed.append(int(hit.headers["content-length"]))
            results[z] = {"tiles": len(per_tile), "median": statistics.median(per_tile) if per_tile else 0.0,
                          "max": max(per_tile, default=0.0), "raw": max(raw, default=0),
                          "gzip": packed[raw.index(max(raw))] if raw else 0}
    finally:
        for http in clients:
            await http.aclose()
        await redis.aclose()
    return results


async def largest_tiles(plan: dict[int, list[tuple[int, int, int]]]) -> dict[int, bytes]:
    """The largest tile of each zoom, raw, from the cache the cold run filled."""
    redis = redis_client(REDIS_DB)
    try:
        out = {}
        for z, tiles in plan.items():
            bodies = [await redis.get(f"mvt_v8:plots:{z}:{x}:{y}") for _, x, y in tiles]
            bodies = [b for b in bodies if b]
            if bodies:
                out[z] = max(bodies, key=len)
        return out
    finally:
        await redis.aclose()


def cpu_ms(work, repeat: int = 5) -> float:
    best = float("inf")
    for _ in range(repeat):
        started = time.process_time()
        work()
        best = min(best, time.process_time() - started)
    return best * 1000


def compression_costs(tiles: dict[int, bytes]) -> None:
    print("\nCPU per hit, compressing each time vs the digest lookup of the compressed-body table:")
    print(f"  {'zoom':>4} {'raw KiB':>8} {'gz1 KiB':>8} {'gz1 ms':>7} {'gz6 KiB':>8} {'gz6 ms':>7} {'digest ms':>9}"
          f" {'saved by gz6':>12}")
    for z, body in tiles.items():
        g1 = gzip.compress(body, compresslevel=1, mtime=0)
        g6 = gzip.compress(body, compresslevel=6, mtime=0)
        t1 = cpu_ms(lambda: gzip.compress(body, compresslevel=1, mtime=0))
        t6 = cpu_ms(lambda: gzip.compress(body, compresslevel=6, mtime=0))
        th = cpu_ms(lambda: CompressedBodies.digest(body), repeat=20)
        print(f"  {z:>4} {len(body) / 1024:8.0f} {len(g1) / 1024:8.0f} {t1:7.2f} {len(g6) / 1024:8.0f} {t6:7.2f}"
              f" {th:9.3f} {100 * (1 - len(g6) / len(body)):11.0f} %")


async def cache_writes() -> int:
    """Redis SETs so far: the tile module writes each generated tile once, after its query."""
    redis = redis_client()
    try:
        return int((await redis.info("commandstats")).get("cmdstat_set", {}).get("calls", 0))
    finally:
        await redis.aclose()


async def replay(database: str, plan: dict[int, list[tuple[int, int, int]]], workers: int, viewers: int) -> None:
    """`viewers` users open the same view (9 tiles at zoom 14 and 9 at 15) at once, empty cache."""
    tiles = [(z, x + dx, y + dy) for z in (14, 15) for (_, x, y) in plan[z][:1] for dx in (-1, 0, 1)
             for dy in (-1, 0, 1)]
    redis = redis_client(REDIS_DB)
    async with host(database, REDIS_DB, workers) as server:
        clients = [client(server.port, a, timeout=60) for a in SOURCE_ADDRESSES[100:100 + viewers]]
        try:
            for http in clients:  # open every viewer's connections (spread over the workers)
                await http.get("/gis/layers/")
            await redis.flushdb()
            before = await cache_writes()
            started = time.perf_counter()
            responses = await asyncio.gather(*(c.get(f"/gis/plots/{z}/{x}/{y}.pbf") for c in clients
                                               for z, x, y in tiles))
            wall = time.perf_counter() - started
            queries = await cache_writes() - before
            distinct = len({r.url.path for r in responses if r.status_code == 200})
            statuses = sorted({r.status_code for r in responses})
            print(f"  {workers} worker(s), {viewers} viewers x {len(tiles)} tiles: {len(responses)} requests, "
                  f"statuses {statuses}, {queries} queries (= cache writes) for {distinct} tiles: "
                  f"{queries - distinct} duplicates, {wall:.2f} s")
        finally:
            for http in clients:
                await http.aclose()
            await redis.aclose()


def reference_ms() -> float:
    """The machine's speed now: CPU ms of a fixed loop (the shared machine's speed varies)."""
    started = time.process_time()
    total = 0
    for i in range(2_000_000):
        total += i
    return (time.process_time() - started) * 1000


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,1000000", help="plot counts, comma-separated")
    parser.add_argument("--zone-plots", type=int, default=ZONE_PLOTS)
    parser.add_argument("--rounds", type=int, default=3, help="cold requests per tile (median taken)")
    parser.add_argument("--reload", action="store_true", help="load every size again")
    parser.add_argument("--viewers", type=int, default=20)
    parser.add_argument("--replay-only", action="store_true", help="only the replay of overlapping viewers")
    args = parser.parse_args()
    sizes = sorted(int(s) for s in args.sizes.split(","))

    results, plans, databases = {}, {}, {}
    for size in sizes:
        databases[size] = await cadastre_database(size, zone_plots_for(size, args.zone_plots), args.reload)
        plans[size] = await tile_plan(databases[size], zone_plots_for(size, args.zone_plots))
    largest = sizes[-1]
    # Zooms 13 to 16 compare the same tiles: those of the sizes laid out alike.
    alike = [s for s in sizes if zone_plots_for(s, args.zone_plots) == args.zone_plots]
    larger = [s for s in sizes if s not in alike]
    speed_before = reference_ms()
    biggest_tiles: dict[int, bytes] = {}
    for size in [] if args.replay_only else sizes:
        async with host(databases[size], REDIS_DB) as server:
            results[size] = await cold_times(server, plans[size], args.rounds)
            if size == largest:
                biggest_tiles = await largest_tiles(plans[size])

    if args.replay_only:
        sizes = []
    speed_after = reference_ms()
    head = "".join(f" {label(s) + ' med':>9} {label(s) + ' max':>9} {label(s) + ' KiB':>8} {'gz KiB':>7}" for s in sizes)
    same = f"{label(alike[-1])}/{label(alike[0])}" if len(alike) > 1 else ""
    more = f"{label(larger[-1])}/{label(alike[-1])}" if larger and alike else ""
    print(f"\ncold plot tiles (ms; database warm, tile cache empty), per zoom:\n  {'zoom':>4} {'tiles':>5}{head}"
          f" {same:>7} {more:>7}")
    for z in range(8, 17) if sizes else []:
        cells = "".join(f" {results[s][z]['median']:9.0f} {results[s][z]['max']:9.0f} "
                        f"{results[s][z]['raw'] / 1024:8.0f} {results[s][z]['gzip'] / 1024:7.0f}" for s in sizes)
        ratio = larger_ratio = ""
        if z >= 13 and same and results[alike[0]][z]["median"]:  # the median of the same tiles
            ratio = f"{results[alike[-1]][z]['median'] / results[alike[0]][z]['median']:7.2f}"
        if z <= 12 and more and results[alike[-1]][z]["max"]:  # the slowest tile of each
            larger_ratio = f"{results[larger[-1]][z]['max'] / results[alike[-1]][z]['max']:7.2f}"
        print(f"  {z:>4} {results[largest][z]['tiles']:>5}{cells} {ratio:>7} {larger_ratio:>7}")
    if sizes:
        notes = [f"{same}: median of the same tiles at zooms 13-16"] if same else []
        notes += [f"{more}: slowest tile at zooms 8-12"] if more else []
        notes += [f"the machine's speed: a fixed loop took {speed_before:.0f} ms before and {speed_after:.0f} ms after"]
        print(f"  ({'; '.join(notes)})")

    if biggest_tiles:
        compression_costs(biggest_tiles)
    print("\nreplay of overlapping viewers, empty cache:")
    for workers in (1, 2):
        await replay(databases[largest], plans[largest], workers, args.viewers)


if __name__ == "__main__":
    asyncio.run(main())
