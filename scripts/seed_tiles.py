#!/usr/bin/env python3
"""Fill the tile cache for a layer, a zoom range and an area, through the tile module's own
handler, so that keys and lifetimes are exactly those of the served tiles.

    python scripts/seed_tiles.py --layer plots --zooms 8-12
    python scripts/seed_tiles.py --layer plots --zooms 8-10 --bbox 7.32,8.93,7.80,9.25 --refresh-below 3900

Every tile of the range is requested from `get_tile_xyz` as a map client would, one session
per tile from the host's `database.SessionLocal`. A tile already cached with more than
--refresh-below seconds left is kept (so an interrupted run resumes where it stopped, and a
rerun only renews what is about to expire); one with less is dropped and generated again,
which stores it for a full lifetime. Empty tiles (answered 204, never cached) are noted in a
state file so a resumed run does not ask for them again.

Requests go out at most --rate per second (default 30; the module allows 40 a second per client
address and counts the seeder as the address "seed_tiles") and at most --concurrency at a time.
A refused (429) tile waits for the next window and is asked again. The area defaults to the
extent of the layer's table. The servers are DATABASE_URL and REDIS_HOST / REDIS_PORT, as for
the host application.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import time
from pathlib import Path

from project import ROOT
from settings import LOOPBACK
from tile_ranges import Progress, bounding_box, tile_addresses, tile_count, zoom_range

SEEDER_ADDRESS = "seed_tiles"


class RateGate:
    """At most `rate` starts per second, evenly spaced."""

    def __init__(self, rate: float) -> None:
        self.interval = 1.0 / rate
        self.next_start = time.monotonic()
        self.lock = asyncio.Lock()

    async def wait(self) -> None:
        async with self.lock:
            now = time.monotonic()
            if self.next_start > now:
                await asyncio.sleep(self.next_start - now)
            self.next_start = max(self.next_start, now) + self.interval


class EmptyTiles:
    """The state file: tiles found empty, with when, one JSON line each (appended as found)."""

    def __init__(self, path: Path | None) -> None:
        self.path = path
        self.seen: dict[str, float] = {}
        if path and path.exists():
            for line in path.read_text().splitlines():
                try:
                    entry = json.loads(line)
                    self.seen[entry["tile"]] = float(entry["at"])
                except (ValueError, KeyError, TypeError):
                    continue  # a line cut short by an interruption
        self.file = open(path, "a") if path else None

    def fresh(self, tile: str, lifetime: float) -> bool:
        at = self.seen.get(tile)
        return at is not None and time.time() - at < lifetime

    def note(self, tile: str) -> None:
        if self.file:
            self.file.write(json.dumps({"tile": tile, "at": time.time()}) + "\n")
            self.file.flush()

    def close(self) -> None:
        if self.file:
            self.file.close()


async def layer_extent(hub, layer: str) -> tuple[float, float, float, float]:
    """The layer table's extent in degrees, through the host's database."""
    from database import SessionLocal
    from sqlalchemy import text

    record = hub.LAYER_CONFIG[layer]
    sql = (f"SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e) FROM (SELECT ST_Transform("
           f"ST_SetSRID(ST_Extent({record['geom_col']})::geometry, 3857), 4326) AS e FROM {record['table']}) AS s")
    async with SessionLocal() as session:
        row = (await session.execute(text(sql))).first()
    if row is None or row[0] is None:
        raise SystemExit(f"layer {layer} has no features to seed")
    return float(row[0]), float(row[1]), float(row[2]), float(row[3])


def request_for_seeding():
    from starlette.requests import Request

    return Request({"type": "http", "method": "GET", "path": "/seed", "headers": [], "query_string": b"",
                    "client": (SEEDER_ADDRESS, 0)})


async def seed(args: argparse.Namespace) -> int:
    from database import SessionLocal, engine
    from fastapi import HTTPException

    import vexa.maptile_hub as hub

    if args.layer not in hub.LAYER_CONFIG:
        raise SystemExit(f"unknown layer {args.layer!r}; the layers are {', '.join(hub.LAYER_CONFIG)}")
    min_zoom = hub.LAYER_CONFIG[args.layer].get("min_zoom", 0)
    zooms = range(max(args.zooms.start, min_zoom), args.zooms.stop)
    if not zooms:
        raise SystemExit(f"layer {args.layer} is served from zoom {min_zoom} only")
    bbox = args.bbox or await layer_extent(hub, args.layer)
    count = tile_count(zooms, bbox)
    if count > args.max_tiles:
        raise SystemExit(f"{count:,} tiles in that range and area, more than --max-tiles {args.max_tiles:,}")
    print(f"seeding {count:,} tiles of {args.layer}, zooms {zooms.start}-{zooms[-1]}, "
          f"area {', '.join(f'{v:.5f}' for v in bbox)}", file=sys.stderr)

    state = EmptyTiles(args.state)
    progress = Progress(count, ("stored", "kept", "empty", "failed"), free=("kept",))
    gate = RateGate(args.rate)
    slots = asyncio.Semaphore(args.concurrency)
    request = request_for_seeding()
    redis = hub.redis_client

    async def one(z: int, x: int, y: int) -> None:
        key = f"{args.layer}:{z}:{x}:{y}"
        lifetime = hub.get_zoom_config(z, args.layer)["cache_ttl"]
        async with slots:
            if state.fresh(key, lifetime):
                progress.add("kept")
                return
            stored = hub.cache._make_key(key)
            if await redis.ttl(stored) > args.refresh_below:
                progress.add("kept")
                return
            await redis.delete(stored)  # otherwise the handler answers from the cache unchanged
            for attempt in range(5):
                await gate.wait()
                try:
                    async with SessionLocal() as session:
                        response = await hub.get_tile_xyz(args.layer, z, x, y, request, session)
                except HTTPException as e:
                    if e.status_code == 429 and attempt < 4:
                        await asyncio.sleep(1.0)
                        continue
                    print(f"\n{key}: {e.status_code} {e.detail}", file=sys.stderr)
                    progress.add("failed")
                    return
                if response.status_code == 204:
                    state.note(key)
                    progress.add("empty")
                else:
                    progress.add("stored")
                return

    try:
        await asyncio.gather(*(one(*tile) for tile in tile_addresses(zooms, bbox)))
    finally:
        state.close()
        await engine.dispose()
    return 1 if progress.counts["failed"] else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--layer", required=True, help="plots, beacons, cadzones, districts or lgas")
    parser.add_argument("--zooms", type=zoom_range, required=True, help="zoom range within 1-20, e.g. 8-12 (or one zoom)")
    parser.add_argument("--bbox", type=bounding_box, default=None,
                        help="minlon,minlat,maxlon,maxlat in degrees (default: the layer's extent)")
    parser.add_argument("--refresh-below", type=int, default=0,
                        help="regenerate cached tiles with at most this many seconds left (default 0: keep all)")
    parser.add_argument("--rate", type=float, default=30.0, help="requests per second, below 40 (default 30)")
    parser.add_argument("--concurrency", type=int, default=2, help="tiles generated at once (default 2)")
    parser.add_argument("--state", type=Path, default=None,
                        help="file noting empty tiles, for resuming (default .local/seed-LAYER-ZMIN-ZMAX.state)")
    parser.add_argument("--max-tiles", type=int, default=200_000, help="refuse a larger job (default 200000)")
    args = parser.parse_args()
    if not 0 < args.rate < 40:
        parser.error("--rate must lie above 0 and below the module's 40 requests per second")
    if args.concurrency < 1:
        parser.error("--concurrency must be at least 1")
    if args.refresh_below < 0:
        parser.error("--refresh-below must not be negative")
    if args.state is None:
        (ROOT / ".local").mkdir(exist_ok=True)
        args.state = ROOT / ".local" / f"seed-{args.layer}-{args.zooms.start}-{args.zooms[-1]}.state"
    os.environ.setdefault("REDIS_HOST", LOOPBACK)
    try:
        return asyncio.run(seed(args))
    except KeyboardInterrupt:
        print("\ninterrupted: run the same command again to resume", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
