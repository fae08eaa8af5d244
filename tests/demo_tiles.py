"""Where the tests ask the demo cadastre for tiles: the offline area, and the tile over a point."""

from __future__ import annotations

from helpers.utils import latlon_to_xyz

OFFLINE_AREA = "7.335,8.935,7.345,8.942"  # a corner of the demo cadastre: minlon,minlat,maxlon,maxlat (WGS84)
_MINLON, _MINLAT, _MAXLON, _MAXLAT = map(float, OFFLINE_AREA.split(","))
OFFLINE_CENTRE = ((_MINLAT + _MAXLAT) / 2, (_MINLON + _MAXLON) / 2)  # latitude, longitude


def tile_at(point: tuple[float, float], z: int) -> tuple[int, int, int]:
    """The address (z, x, y) of the tile of zoom `z` over a (latitude, longitude) point."""
    t = latlon_to_xyz(point[0], point[1], z)
    return t["z"], t["x"], t["y"]
