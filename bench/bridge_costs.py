#!/usr/bin/env python3
"""In-process cost of one XYZ tile through the C++ handler, beside its floors.

    python bench/bridge_costs.py [--rounds 3000] [--misses 400]

Calls vexa.maptile_hub.get_tile_xyz directly (no HTTP), on the project's own servers:

- hit: a cached z16 plot tile, again and again; floor: a bare GET of the same key through
  the module's own Redis client;
- miss: z16 plot tiles with the cache entry deleted before each call; floor: the same SQL
  statement through a session of the same engine;
- the checked write a miss makes (`set_if_current`: the layer's generation compared and the
  tile stored in one script) beside a plain `set` of the same bytes.

Each is printed as wall and CPU microseconds per call, then the handler's overhead over its
floor (what the bridge, the rate limit and the module's own work add).

    python bench/bridge_costs.py --in-memory [--rounds 20000]

measures the module's own work alone: the Redis client and the session are in-memory
stand-ins that answer at once, so no server and no other process is in the figures (the floor
is then a bare call of the stand-in).
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import statistics
import time

from lib.tile_module import tile_module


class Request:
    """What the handler reads of a request: its client address."""

    def __init__(self, host: str) -> None:
        self.client = type("Client", (), {"host": host})()


async def per_call(job, n: int, repeats: int = 5) -> tuple[float, float]:
    """Medians over `repeats` runs of the mean wall and CPU microseconds per call of `job` over
    `n` calls. The CPU time is this process's own work (the servers' is not in it), so it is
    what the handler costs in-process, and it moves less than the wall time on a busy machine."""
    walls, cpus = [], []
    for _ in range(repeats):
        wall, cpu = time.perf_counter(), time.process_time()
        for i in range(n):
            await job(i)
        walls.append((time.perf_counter() - wall) / n * 1e6)
        cpus.append((time.process_time() - cpu) / n * 1e6)
    return statistics.median(walls), statistics.median(cpus)


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3000)
    parser.add_argument("--misses", type=int, default=400)
    parser.add_argument("--in-memory", action="store_true")
    args = parser.parse_args()
    if args.in_memory:
        await in_memory(args.rounds)
        return

    hub = tile_module()  # first: the host's database module reads the environment it sets
    import database
    from helpers.utils import latlon_to_xyz, xyz_to_bbox_web_mercator
    from sqlalchemy import text

    logging.getLogger("vexa.maptile_hub").setLevel(logging.WARNING)
    async with database.SessionLocal() as session:
        row = (await session.execute(text(
            'SELECT ST_Y(c) AS lat, ST_X(c) AS lon FROM (SELECT ST_Transform(ST_SetSRID(ST_Centroid('
            'ST_Extent("GEOMETRY")::geometry), 3857), 4326) AS c FROM "GIS"."PLOT") AS s'))).first()
    centre = latlon_to_xyz(row.lat, row.lon, 16)
    tiles = [(16, centre["x"] + dx, centre["y"] + dy) for dx in range(-10, 10) for dy in range(-10, 10)]
    redis = hub.redis_client

    # The rate limit counts per address and second: give every call its own address.
    addresses = iter(range(10**9))

    def request() -> Request:
        n = next(addresses)
        return Request(f"10.{n // 65536 % 256}.{n // 256 % 256}.{n % 256}")

    async def tile(z: int, x: int, y: int):
        async with database.SessionLocal() as session:
            return await hub.get_tile_xyz("plots", z, x, y, request(), session)

    # A tile with content, cached.
    hit_tile = None
    for t in tiles:
        await redis.delete(f"mvt_v8:plots:{t[0]}:{t[1]}:{t[2]}")
        response = await tile(*t)
        if response.status_code == 200:
            hit_tile = t
            break
    assert hit_tile, "no tile with content near the centre of the plots"
    hit_key = f"mvt_v8:plots:{hit_tile[0]}:{hit_tile[1]}:{hit_tile[2]}"

    async def hit(_):
        response = await tile(*hit_tile)
        assert response.headers.get("X-Cache") == "HIT"

    async def bare_get(_):
        async with database.SessionLocal():
            await redis.get(hit_key)

    sql, _ = hub.generate_mvt_sql("plots", 16)
    statement = text(sql)

    async def miss(i):
        z, x, y = tiles[i % len(tiles)]
        await redis.delete(f"mvt_v8:plots:{z}:{x}:{y}")
        await tile(z, x, y)

    async def bare_sql(i):
        z, x, y = tiles[i % len(tiles)]
        await redis.delete(f"mvt_v8:plots:{z}:{x}:{y}")
        b = xyz_to_bbox_web_mercator(z, x, y)
        async with database.SessionLocal() as session:
            await session.execute(statement, {"min_x": b["minx"], "min_y": b["miny"], "max_x": b["maxx"], "max_y": b["maxy"]})
            await session.commit()

    # What a miss's write costs: the checked write (the layer's generation compared in a script)
    # beside a plain SET of the same bytes through the same cache object.
    body = await redis.get(hit_key)
    generation_key = "tile_generation:mvt_v8:plots"
    generation = await redis.get(generation_key) or b"0"
    written = f"bench:{hit_key}"

    async def checked_write(_):
        assert await hub.cache.set_if_current(written, body, 60, generation_key, generation)

    async def plain_set(_):
        await hub.cache.set(written, body, 60)

    await per_call(hit, 200, 1)
    await per_call(miss, 50, 1)
    results = {
        "hit": await per_call(hit, args.rounds),
        "floor: bare Redis GET": await per_call(bare_get, args.rounds),
        "miss, z16": await per_call(miss, args.misses),
        "floor: same SQL, same engine": await per_call(bare_sql, args.misses),
        f"checked write, {len(body) // 1024} KB": await per_call(checked_write, args.misses),
        f"plain SET, {len(body) // 1024} KB": await per_call(plain_set, args.misses),
    }
    await redis.delete(f"mvt_v8:{written}", written)
    print(f"  {'':<30} {'wall':>9}    {'CPU':>9}   (us per call)")
    for name, (wall, cpu) in results.items():
        print(f"  {name:<30} {wall:9.1f}    {cpu:9.1f}")
    checked, plain = (name for name in results if name.startswith(("checked write", "plain SET")))
    for name, floor in (("hit", "floor: bare Redis GET"), ("miss, z16", "floor: same SQL, same engine"),
                        (checked, plain)):
        (wall, cpu), (floor_wall, floor_cpu) = results[name], results[floor]
        print(f"  {name + ' over its floor':<30} {wall - floor_wall:9.1f}    {cpu - floor_cpu:9.1f}"
              f"   (CPU x{cpu / floor_cpu:.2f})")
    await redis.aclose()
    await database.engine.dispose()


class MemoryRedis:
    """Answers the commands the module sends, at once."""

    def __init__(self) -> None:
        self.store: dict[str, object] = {}

    async def get(self, key):
        return self.store.get(key)

    async def set(self, key, value, ex=None):
        self.store[key] = value

    async def incr(self, key):
        return 2

    async def expire(self, key, seconds):
        return True

    async def ttl(self, key):
        return 1


class MemoryResult:
    def scalar_one_or_none(self):
        return b"tile"


class MemorySession:
    async def execute(self, statement, params=None):
        return MemoryResult()

    async def commit(self):
        pass

    async def rollback(self):
        pass

    async def close(self):
        pass


async def in_memory(rounds: int) -> None:
    hub = tile_module()
    logging.getLogger("vexa.maptile_hub").setLevel(logging.WARNING)
    redis = MemoryRedis()
    hub.redis_client = redis
    hub.cache = hub.BinaryRedisCache(redis, namespace="mvt_v8")
    session, request = MemorySession(), Request("127.0.0.1")
    redis.store["mvt_v8:plots:16:1:1"] = b"cached"

    async def hit(_):
        await hub.get_tile_xyz("plots", 16, 1, 1, request, session)

    async def miss(_):
        redis.store.pop("mvt_v8:plots:16:2:2", None)
        await hub.get_tile_xyz("plots", 16, 2, 2, request, session)

    async def floor(_):
        await redis.get("mvt_v8:plots:16:1:1")

    await per_call(hit, 1000, 1)
    await per_call(miss, 1000, 1)
    results = {"hit": await per_call(hit, rounds), "miss, z16": await per_call(miss, rounds),
               "floor: the stand-in's GET": await per_call(floor, rounds)}
    print(f"  {'':<30} {'wall':>9}    {'CPU':>9}   (us per call)")
    for name, (wall, cpu) in results.items():
        print(f"  {name:<30} {wall:9.1f}    {cpu:9.1f}")


if __name__ == "__main__":
    asyncio.run(main())
