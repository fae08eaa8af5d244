"""The XYZ tile grid that map clients use: Web Mercator, origin top-left, rows southward."""

from __future__ import annotations

import math

EARTH_RADIUS = 6378137.0
ORIGIN_SHIFT = math.pi * EARTH_RADIUS  # half the width of the world in EPSG:3857 metres
MAX_LATITUDE = 85.0511287798066


def xyz_to_bbox_web_mercator(z: int, x: int, y: int) -> dict[str, float]:
    """Extent of tile (z, x, y) in EPSG:3857 metres."""
    tile_size = 2 * ORIGIN_SHIFT / (1 << z)
    minx = -ORIGIN_SHIFT + x * tile_size
    maxy = ORIGIN_SHIFT - y * tile_size
    return {"minx": minx, "miny": maxy - tile_size, "maxx": minx + tile_size, "maxy": maxy}


def latlon_to_xyz(lat: float, lon: float, zoom: int) -> dict[str, int]:
    """The tile that holds the WGS84 point (lat, lon) at `zoom`."""
    lat = max(-MAX_LATITUDE, min(MAX_LATITUDE, lat))
    n = 1 << zoom
    x = int((lon + 180.0) / 360.0 * n)
    lat_rad = math.radians(lat)
    y = int((1.0 - math.asinh(math.tan(lat_rad)) / math.pi) / 2.0 * n)
    return {"z": zoom, "x": min(max(x, 0), n - 1), "y": min(max(y, 0), n - 1)}
