"""Served tiles read by another client of the format: GDAL's MVT driver (Debian's gdal-bin)."""

from __future__ import annotations

import json
import re
import shutil
import subprocess

import asyncpg
import httpx
import pytest
import services
from demo_tiles import tile_at

WEB_MERCATOR_HALF = 20037508.342789244  # metres from the origin to an edge of the tile grid

# The IDs of a layer's features that the tile's envelope meets, as the database has them.
IDS_IN_TILE_SQL = """
    SELECT {id_col} AS id FROM {table}
    WHERE {geom_col} && ST_TileEnvelope($1, $2, $3) AND ST_Intersects({geom_col}, ST_TileEnvelope($1, $2, $3))
"""


def envelope(z: int, x: int, y: int) -> tuple[float, float, float, float]:
    """The tile's envelope in EPSG:3857 (min x, min y, max x, max y)."""
    size = 2 * WEB_MERCATOR_HALF / 2**z
    return (-WEB_MERCATOR_HALF + x * size, WEB_MERCATOR_HALF - (y + 1) * size,
            -WEB_MERCATOR_HALF + (x + 1) * size, WEB_MERCATOR_HALF - y * size)


def extent(geometry: dict) -> tuple[float, float, float, float]:
    points: list[list[float]] = []

    def walk(c):
        if isinstance(c[0], (int, float)):
            points.append(c)
        else:
            for part in c:
                walk(part)

    walk(geometry["coordinates"])
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return min(xs), min(ys), max(xs), max(ys)


def gdal(*args: str) -> str:
    result = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize(("layer", "z"), [("plots", 16), ("beacons", 18), ("cadzones", 13), ("districts", 11),
                                          ("lgas", 8)])
async def test_gdal_reads_a_tile_of_each_layer(live_app, hub, plot_point, tmp_path, layer, z):
    assert shutil.which("ogr2ogr") and shutil.which("ogrinfo"), "gdal-bin is installed by scripts/dev.sh"
    z, x, y = tile_at(plot_point, z)
    response = httpx.get(f"{live_app}/gis/{layer}/{z}/{x}/{y}.pbf", timeout=30)
    assert response.status_code == 200, response.text
    path = tmp_path / f"{layer}.pbf"
    path.write_bytes(response.content)
    address = ["-oo", f"X={x}", "-oo", f"Y={y}", "-oo", f"Z={z}"]  # the file's name does not say where it lies

    # Georeferenced by its address: the layer in Web Mercator.
    summary = gdal("ogrinfo", "-ro", "-so", "-al", *address, str(path))
    assert re.search(r"^Layer name: (\S+)$", summary, re.M).group(1) == layer
    assert 'ID["EPSG",3857]]\nData axis' in summary, summary
    count = int(re.search(r"^Feature Count: (\d+)$", summary, re.M).group(1))

    # Unclipped (CLIP=NO), as the tile holds them: the buffer beyond the tile's edges is kept.
    collection = json.loads(gdal("ogr2ogr", "-f", "GeoJSON", "/vsistdout/", *address, "-oo", "CLIP=NO", str(path)))
    assert collection["crs"]["properties"]["name"] == "urn:ogc:def:crs:EPSG::3857"
    features = collection["features"]
    assert len(features) == count > 0

    config = hub.LAYER_CONFIG[layer]
    conn = await asyncpg.connect(services.PG_DSN)
    try:
        rows = await conn.fetch(IDS_IN_TILE_SQL.format(**config), z, x, y)
    finally:
        await conn.close()
    ids = [f["properties"]["feature_id"] for f in features]
    assert len(ids) == len(set(ids))
    assert set(ids) == {row["id"] for row in rows}

    min_x, min_y, max_x, max_y = envelope(z, x, y)
    margin = hub.get_zoom_config(z, layer)["buffer"] * (max_x - min_x) / 4096 + 1e-6
    beyond = 0
    for feature in features:
        fx0, fy0, fx1, fy1 = extent(feature["geometry"])
        assert min_x - margin <= fx0 <= fx1 <= max_x + margin, (feature["properties"], (fx0, fx1), (min_x, max_x))
        assert min_y - margin <= fy0 <= fy1 <= max_y + margin, (feature["properties"], (fy0, fy1), (min_y, max_y))
        beyond += fx0 < min_x or fy0 < min_y or fx1 > max_x or fy1 > max_y
    if layer == "plots":  # plots cross the tile's edges: their buffered parts were read, not clipped away
        assert beyond > 0
