"""Export the vector tiles of an area to one PMTiles v3 file, for field work without a network.

    python scripts/export_tiles.py --layers plots,beacons --zooms 14-16 \\
        --bbox 7.30,8.90,7.40,9.00 --output field.pmtiles

Each tile is made by the tile module's own SQL (generate_mvt_sql) on the database of DATABASE_URL,
as the XYZ endpoint makes it; the tiles of several layers at one address are joined into one
Mapbox Vector Tile (a tile is a sequence of layers), stored gzip-compressed. A layer not served at a
zoom, and an address where no layer has features, is left out. The web map opens the file with
"Open offline tiles…".
"""

from __future__ import annotations

import argparse
import asyncio
import gzip
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))  # its sibling modules, also when loaded by path

from tile_ranges import Box, Progress, bounding_box, tile_addresses, tile_count, zoom_range  # noqa: E402

MAX_TILES = 200_000
CONCURRENT_QUERIES = 4


async def make_tile(session_maker, layers: list[str], z: int, x: int, y: int) -> bytes:
    """The tile of every layer at (z, x, y), joined; empty when none has features here."""
    from sqlalchemy import text

    import vexa.maptile_hub as hub

    bounds = hub.xyz_to_bbox_web_mercator(z, x, y)
    params = {"min_x": bounds["minx"], "min_y": bounds["miny"], "max_x": bounds["maxx"], "max_y": bounds["maxy"]}
    parts = []
    async with session_maker() as session:
        for layer in layers:
            try:
                sql, _ = hub.generate_mvt_sql(layer, z)
            except ValueError:  # the layer is not served at this zoom
                continue
            tile = (await session.execute(text(sql), params)).scalar_one_or_none()
            if tile:
                parts.append(bytes(tile))
    return b"".join(parts)


def metadata(layers: list[str], zooms: range, bbox: Box) -> dict:
    import vexa.maptile_hub as hub

    vector_layers = []
    for layer in layers:
        record = hub.LAYER_CONFIG[layer]
        vector_layers.append({"id": layer, "fields": {name: "" for name in record["properties"]},
                              "minzoom": max(zooms.start, record.get("min_zoom", 0)), "maxzoom": zooms.stop - 1})
    return {"name": "vexa cadastre", "format": "pbf", "bounds": ",".join(map(str, bbox)),
            "vector_layers": vector_layers}


async def export(layers: list[str], zooms: range, bbox: Box, output: Path) -> int:
    """Write the archive; returns the number of tiles stored."""
    from pmtiles.tile import Compression, TileType, zxy_to_tileid
    from pmtiles.writer import Writer

    from database import SessionLocal, engine

    addresses = sorted(tile_addresses(zooms, bbox), key=lambda a: zxy_to_tileid(*a))
    progress = Progress(len(addresses), ("stored", "empty"))
    gate = asyncio.Semaphore(CONCURRENT_QUERIES)

    async def one(address: tuple[int, int, int]) -> bytes:
        async with gate:
            tile = await make_tile(SessionLocal, layers, *address)
        progress.add("stored" if tile else "empty")
        return tile

    try:
        tiles = await asyncio.gather(*(one(a) for a in addresses))
    finally:
        await engine.dispose()
    stored = [(zxy_to_tileid(*a), t) for a, t in zip(addresses, tiles) if t]
    if not stored:
        return 0
    output.parent.mkdir(parents=True, exist_ok=True)
    minlon, minlat, maxlon, maxlat = bbox
    header = {
        "tile_type": TileType.MVT, "tile_compression": Compression.GZIP,
        "min_lon_e7": int(minlon * 1e7), "min_lat_e7": int(minlat * 1e7),
        "max_lon_e7": int(maxlon * 1e7), "max_lat_e7": int(maxlat * 1e7),
        "center_zoom": zooms.start, "center_lon_e7": int((minlon + maxlon) / 2 * 1e7),
        "center_lat_e7": int((minlat + maxlat) / 2 * 1e7),
    }
    partial = output.with_name(output.name + ".part")
    with open(partial, "wb") as f:
        writer = Writer(f)
        for tile_id, tile in stored:
            writer.write_tile(tile_id, gzip.compress(tile, mtime=0))
        writer.finalize(header, metadata(layers, zooms, bbox))
    partial.replace(output)  # a reader never sees half a file
    return len(stored)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Export vector tiles of an area to a PMTiles v3 file.")
    parser.add_argument("--layers", required=True, help="comma-separated layer names, e.g. plots,beacons")
    parser.add_argument("--zooms", required=True, type=zoom_range, help="a zoom or a range, e.g. 14-16")
    parser.add_argument("--bbox", required=True, type=bounding_box, help="MINLON,MINLAT,MAXLON,MAXLAT (WGS84)")
    parser.add_argument("--output", required=True, type=Path, help="the .pmtiles file to write")
    args = parser.parse_args(argv)

    import vexa.maptile_hub as hub

    layers = [name.strip() for name in args.layers.split(",") if name.strip()]
    unknown = [name for name in layers if name not in hub.LAYER_CONFIG]
    if not layers or unknown:
        parser.error(f"unknown layers {unknown}; the layers are {list(hub.LAYER_CONFIG)}")
    count = tile_count(args.zooms, args.bbox)
    if count > MAX_TILES:
        parser.error(f"{count} tile addresses; at most {MAX_TILES}: choose a smaller area or fewer zooms")
    stored = asyncio.run(export(layers, args.zooms, args.bbox, args.output))
    if not stored:
        print("no layer has features in that area at those zooms; nothing written", file=sys.stderr)
        return 1
    print(f"{stored} tiles written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
