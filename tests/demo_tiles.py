"""Where the tests ask the demo cadastre for tiles: the offline area, the centre of a plot, and
the tile over a point."""

from __future__ import annotations

import asyncpg
import services
from helpers.utils import latlon_to_xyz

OFFLINE_AREA = "7.335,8.935,7.345,8.942"  # a corner of the demo cadastre: minlon,minlat,maxlon,maxlat (WGS84)
_MINLON, _MINLAT, _MAXLON, _MAXLAT = map(float, OFFLINE_AREA.split(","))
OFFLINE_CENTRE = ((_MINLAT + _MAXLAT) / 2, (_MINLON + _MAXLON) / 2)  # latitude, longitude


async def plot_centre(offset: int) -> tuple[float, float]:
    """Latitude and longitude of the centre of the demo plot at `offset` in the order of IDs."""
    conn = await asyncpg.connect(services.PG_DSN)
    try:
        row = await conn.fetchrow(
            'SELECT ST_Y(c) AS lat, ST_X(c) AS lon FROM (SELECT ST_Transform(ST_Centroid("GEOMETRY"), 4326) AS c '
            'FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 1 OFFSET $1) AS s', offset)
    finally:
        await conn.close()
    return row["lat"], row["lon"]


def tile_at(point: tuple[float, float], z: int) -> tuple[int, int, int]:
    """The address (z, x, y) of the tile of zoom `z` over a (latitude, longitude) point."""
    t = latlon_to_xyz(point[0], point[1], z)
    return t["z"], t["x"], t["y"]
