#!/usr/bin/env python3
"""A bulk update: how soon one UPDATE of many plots reaches the cached tiles, and what it costs Redis.

    python bench/bulk_update.py                                                    # the full run
    python bench/bulk_update.py --plots 20000 --bulk 10000 --users 8 --views 3     # a quick check

On the host of lib/freshness.py, the cache warmed by one pass of the replay (lib/replay.py), one
UPDATE sets the STATUS of `--bulk` plots (the lowest IDs). Printed: the seconds from COMMIT until
the plots layer's version changed and until each of `--samples` cached tiles holding updated
plots shows them all; the Redis commands sent meanwhile (INFO commandstats before and after)
and the listener's log line. About 1.5 minutes on 2 cores.
"""

from __future__ import annotations

import asyncio
import random
import re
import secrets
import sys
import time
from collections import Counter
from datetime import datetime
from pathlib import Path

import asyncpg
import httpx
import mapbox_vector_tile
import redis.asyncio as aioredis

from lib.cadastre import Tile
from lib.clients import address, client
from lib.freshness import (SAMPLE_BLOCK, STREAM_BLOCK, Decoder, Setting, VersionStream, changes_applied, committed_edit,
                           listener_active, ms, parsed, parser, prepared, seconds_line, tile_body, tile_name, tile_path)
from lib.replay import Plan, http_replay, viewport_plan
from lib.tile_module import tile_module

SAMPLE_POLL_S = 0.1  # each sample tile's polling interval
# The listener's line about the plots layer, after LOG_CONFIG's time stamp, process and logger.
LISTENER_LINE = re.compile(r"^(\S+ \S+) \d+ \S+ INFO (Tile change listener: \d+ changes? to plots.*)$", re.M)
BULK_CUT_SQL = 'SELECT "ID" FROM "GIS"."PLOT" ORDER BY "ID" OFFSET $1 - 1 LIMIT 1'
BULK_ORIGINALS_SQL = 'SELECT "ID", "STATUS" FROM "GIS"."PLOT" WHERE "ID" <= $1'
BULK_SQL = 'UPDATE "GIS"."PLOT" SET "STATUS" = $1 WHERE "ID" <= $2'
BULK_RESTORE_SQL = """
    UPDATE "GIS"."PLOT" AS p SET "STATUS" = o.status
    FROM unnest($1::int[], $2::text[]) AS o (id, status) WHERE p."ID" = o.id
"""


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


async def bulk(setting: Setting) -> None:
    args, pool, redis, decoder = setting.args, setting.pool, setting.redis, setting.decoder
    plan = viewport_plan(setting.extent, args.users, args.views, args.seed)
    print(f"\nbulk update: the STATUS of {args.bulk:,} plots (the lowest IDs) in one UPDATE, after the cache was "
          f"warmed by one pass of the replay ({sum(map(len, plan))} requests); {args.samples} sample tiles polled "
          f"every {int(SAMPLE_POLL_S * 1000)} ms; limit {args.limit} s", flush=True)
    namespace = tile_module().cache.namespace
    cut = await pool.fetchval(BULK_CUT_SQL, args.bulk)
    marker = f"Bulk {secrets.token_hex(3)}"
    originals = await pool.fetch(BULK_ORIGINALS_SQL, cut)
    host = setting.new_host(info_log=True)
    async with host.server() as server:
        host.describe(server)
        await listener_active(server)
        await redis.flushdb()
        await http_replay("warm-up (from an empty cache)", server, plan)
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
    print(f"  sample tiles showing the update: {len(fresh)}/{len(samples)}, {seconds_line(fresh)}")
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


async def bulk_samples(plan: Plan, cut: int, count: int, namespace: str, redis: aioredis.Redis,
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


async def main() -> int:
    options = parser(__doc__)
    options.add_argument("--users", type=int, default=32, help="map users of the replay")
    options.add_argument("--views", type=int, default=12, help="views per user and plan")
    options.add_argument("--limit", type=float, default=10.0, help="seconds the update may take to show")
    options.add_argument("--bulk", type=int, default=100_000, help="plots of the bulk update")
    options.add_argument("--samples", type=int, default=40, help="sample tiles checked after the bulk update")
    args = parsed(options, "users", "views", "bulk", "samples")
    if args.bulk > args.plots:
        options.error("--bulk must not exceed --plots")
    async with prepared(args) as setting:
        await bulk(setting)
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
