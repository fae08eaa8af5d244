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
import math
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "api"))

SEEDER_ADDRESS = "seed_tiles"
MERCATOR_HALF = math.pi * 6378137.0


def parse_zooms(value: str) -> tuple[int, int]:
    low, _, high = value.partition("-")
    try:
        zmin, zmax = int(low), int(high or low)
    except ValueError:
        raise argparse.ArgumentTypeError(f"zoom range must read like 8-12, not {value!r}") from None
    if not 0 <= zmin <= zmax <= 20:
        raise argparse.ArgumentTypeError(f"zoom range must lie within 0-20 and ascend, not {value!r}")
    return zmin, zmax


def parse_bbox(value: str) -> tuple[float, float, float, float]:
    try:
        minx, miny, maxx, maxy = (float(v) for v in value.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"bbox must be minlon,minlat,maxlon,maxlat, not {value!r}") from None
    if not (-180 <= minx < maxx <= 180 and -85.06 <= miny < maxy <= 85.06):
        raise argparse.ArgumentTypeError(f"bbox must be minlon,minlat,maxlon,maxlat in degrees, not {value!r}")
    return minx, miny, maxx, maxy


def tiles_of(bbox: tuple[float, float, float, float], zmin: int, zmax: int) -> list[tuple[int, int, int]]:
    """Every tile of zooms zmin..zmax that touches the box, zoom by zoom, row by row."""
    from helpers.utils import latlon_to_xyz

    minx, miny, maxx, maxy = bbox
    tiles = []
    for z in range(zmin, zmax + 1):
        top_left, bottom_right = latlon_to_xyz(maxy, minx, z), latlon_to_xyz(miny, maxx, z)
        for y in range(top_left["y"], bottom_right["y"] + 1):
            for x in range(top_left["x"], bottom_right["x"] + 1):
                tiles.append((z, x, y))
    return tiles


class Progress:
    """One status line: a bar, counts, the rate and the time left."""

    def __init__(self, total: int, stream=sys.stderr) -> None:
        self.total, self.stream = total, stream
        self.counts = {"stored": 0, "kept": 0, "empty": 0, "failed": 0}
        self.started = time.monotonic()
        self.tty = stream.isatty()
        self.shown = 0.0

    @property
    def done(self) -> int:
        return sum(self.counts.values())

    def add(self, outcome: str) -> None:
        self.counts[outcome] += 1
        now = time.monotonic()
        if self.done == self.total or now - self.shown >= (0.2 if self.tty else 5.0):
            self.shown = now
            self.show(now)

    def line(self, now: float) -> str:
        elapsed = max(now - self.started, 1e-9)
        worked = self.done - self.counts["kept"]  # tiles that cost a request
        rate = worked / elapsed
        left = self.total - self.done
        eta = left / rate if rate > 0 else 0.0
        width = 30
        filled = width * self.done // max(self.total, 1)
        counts = ", ".join(f"{k} {v}" for k, v in self.counts.items())
        return (f"[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} "
                f"{100 * self.done / max(self.total, 1):5.1f} %  {rate:5.1f} tiles/s  "
                f"ETA {int(eta) // 60}m{int(eta) % 60:02d}s  ({counts})")

    def show(self, now: float) -> None:
        end = "\r" if self.tty and self.done < self.total else "\n"
        print(self.line(now).ljust(100 if self.tty else 0), end=end, file=self.stream, flush=True)


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
    zmin, zmax = args.zooms
    min_zoom = hub.LAYER_CONFIG[args.layer].get("min_zoom", 0)
    zmin = max(zmin, min_zoom)
    if zmin > zmax:
        raise SystemExit(f"layer {args.layer} is served from zoom {min_zoom} only")
    bbox = args.bbox or await layer_extent(hub, args.layer)
    tiles = tiles_of(bbox, zmin, zmax)
    if len(tiles) > args.max_tiles:
        raise SystemExit(f"{len(tiles):,} tiles in that range and area, more than --max-tiles {args.max_tiles:,}")
    print(f"seeding {len(tiles):,} tiles of {args.layer}, zooms {zmin}-{zmax}, "
          f"area {', '.join(f'{v:.5f}' for v in bbox)}", file=sys.stderr)

    state = EmptyTiles(args.state)
    progress = Progress(len(tiles))
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
        await asyncio.gather(*(one(*tile) for tile in tiles))
    finally:
        state.close()
        await engine.dispose()
    return 1 if progress.counts["failed"] else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--layer", required=True, help="plots, beacons, cadzones, districts or lgas")
    parser.add_argument("--zooms", type=parse_zooms, required=True, help="zoom range, e.g. 8-12 (or one zoom)")
    parser.add_argument("--bbox", type=parse_bbox, default=None,
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
        args.state = ROOT / ".local" / f"seed-{args.layer}-{args.zooms[0]}-{args.zooms[1]}.state"
    os.environ.setdefault("REDIS_HOST", "127.0.0.1")
    try:
        return asyncio.run(seed(args))
    except KeyboardInterrupt:
        print("\ninterrupted: run the same command again to resume", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
