"""The host's survey plan records: what `vexa.plots.generate_plot` is given for one plot.

Records come from PostGIS (a plot of the cadastre, its neighbours, the roads around it and its
corner beacons) or from a built-in sample. Bearings and distances of the boundary edges are
computed here, in the plan's grid EPSG:26332: the bearing clockwise from grid north in whole
degrees and minutes, the signs part of the stored texts ("123°", "07'").
"""

from __future__ import annotations

import json
import math
from typing import Any

from pyproj import Transformer

TO_GRID = Transformer.from_crs("EPSG:3857", "EPSG:26332", always_xy=True)
FROM_GRID = Transformer.from_crs("EPSG:26332", "EPSG:3857", always_xy=True)

NEIGHBOUR_RADIUS_M = 400.0  # beyond any view a typical plot is drawn at
MAX_NEIGHBOURS = 400

# The neighbours of plot $1 that a plan may show: those whose bounding box lies within $2 metres
# of the plot's, the $3 nearest by that box distance (ties by ID). Boxes, not exact distances: the
# plan clips its neighbours to its view anyway, and the box tests are read from the index and the
# rows' own boxes, where exact polygon distances would make this the dearest part of a repeated
# plan request. The records and their digest select them with this one statement.
NEIGHBOURS_SQL = """
    SELECT n."ID", n."GEOMETRY" FROM "GIS"."PLOT" n, "GIS"."PLOT" p
    WHERE p."ID" = $1 AND n."ID" <> p."ID" AND n."GEOMETRY" && ST_Expand(p."GEOMETRY", $2)
    ORDER BY n."GEOMETRY" <#> p."GEOMETRY", n."ID" LIMIT $3
"""


def bearing_and_distance(p: tuple[float, float], q: tuple[float, float]) -> tuple[str, str, float]:
    """Grid bearing (degrees text, minutes text) and distance in metres from p to q."""
    dx, dy = q[0] - p[0], q[1] - p[1]
    total_minutes = round((math.degrees(math.atan2(dx, dy)) % 360) * 60) % (360 * 60)
    degrees, minutes = divmod(total_minutes, 60)
    return f"{degrees}\u00b0", f"{minutes:02d}'", round(math.hypot(dx, dy), 2)


def beacon_records(corners_3857: list[tuple[float, float]], names: list[str]) -> list[dict[str, Any]]:
    """Beacon records of a boundary in order (not closed), each with the edge to the next."""
    grid = [TO_GRID.transform(x, y) for x, y in corners_3857]
    records = []
    for i, ((x, y), name) in enumerate(zip(corners_3857, names)):
        deg, minutes, distance = bearing_and_distance(grid[i], grid[(i + 1) % len(grid)])
        records.append({
            "geometry": {"type": "Point", "coordinates": (x, y)},
            "beacon_name": name,
            "bearing_deg_to_next": deg,
            "bearing_min_to_next": minutes,
            "distance_to_next": distance,
        })
    return records


class PlotNotFound(LookupError):
    pass


async def records_from_database(conn, plot_id: int) -> tuple[list[dict], int, list[dict]]:
    """(parcel_data, selected parcel number, road_data) for plot `plot_id`; `conn` is asyncpg.
    Their geometries are GeoJSON texts, as PostGIS gives them: `drawable` parses them where the
    plan is drawn. Parsing a plot's few hundred neighbours takes milliseconds, which a web
    worker's loop would spend with every other request of the moment waiting."""
    plot = await conn.fetchrow(
        'SELECT "ID", "PLOT_NO", "AREA_SYSTEM", ST_AsGeoJSON("GEOMETRY") AS geojson FROM "GIS"."PLOT" WHERE "ID" = $1',
        plot_id)
    if plot is None:
        raise PlotNotFound(plot_id)
    neighbours = await conn.fetch(
        f'SELECT "ID", ST_AsGeoJSON("GEOMETRY") AS geojson FROM ({NEIGHBOURS_SQL}) AS n',
        plot_id, NEIGHBOUR_RADIUS_M, MAX_NEIGHBOURS)
    roads = await conn.fetch(
        'SELECT ST_AsGeoJSON(r.geometry) AS geojson FROM "GIS"."ROADS" r, "GIS"."PLOT" p '
        'WHERE p."ID" = $1 AND ST_DWithin(r.geometry, p."GEOMETRY", $2) ORDER BY r.id', plot_id, NEIGHBOUR_RADIUS_M)
    corners = await conn.fetch(
        """
        WITH ring AS (
            SELECT (dp).path[2] AS n, (dp).geom AS g
            FROM (SELECT ST_DumpPoints(ST_ExteriorRing("GEOMETRY")) AS dp FROM "GIS"."PLOT" WHERE "ID" = $1) AS s
        )
        SELECT ring.n, ST_X(ring.g) AS x, ST_Y(ring.g) AS y, b."BEACON_NO"
        FROM ring LEFT JOIN LATERAL (
            SELECT "BEACON_NO" FROM "GIS"."BEACON" WHERE ST_DWithin("GEOMETRY", ring.g, 0.01)
            ORDER BY "GEOMETRY" <-> ring.g LIMIT 1
        ) AS b ON true
        ORDER BY ring.n
        """, plot_id)
    corners = corners[:-1]  # the ring repeats its first corner
    boundary = beacon_records([(c["x"], c["y"]) for c in corners],
                              [c["BEACON_NO"] or f"B{c['n']}" for c in corners])
    parcels = [{
        "parcel_number": plot["ID"],
        "geometry": plot["geojson"],
        "name": f"Plot {plot['PLOT_NO']}",
        "area": plot["AREA_SYSTEM"],
        "boundary": boundary,
    }]
    parcels += [{"parcel_number": n["ID"], "geometry": n["geojson"]} for n in neighbours]
    return parcels, plot["ID"], [{"geometry": r["geojson"]} for r in roads]


def drawable(records: tuple[list[dict], Any, list[dict]]) -> tuple[list[dict], Any, list[dict]]:
    """`records` as `generate_plot` takes them: geometries given as GeoJSON texts parsed."""
    def parsed(record: dict) -> dict:
        geometry = record.get("geometry")
        return {**record, "geometry": json.loads(geometry)} if isinstance(geometry, str) else record

    parcels, selected, roads = records
    return [parsed(p) for p in parcels], selected, None if roads is None else [parsed(r) for r in roads]


RECORDS_DIGEST_SQL = f"""
WITH p AS (
    SELECT "ID", "PLOT_NO", "AREA_SYSTEM", "GEOMETRY" FROM "GIS"."PLOT" WHERE "ID" = $1
), neighbours AS ({NEIGHBOURS_SQL}), roads AS (
    SELECT r.id, r.geometry FROM "GIS"."ROADS" r, p WHERE ST_DWithin(r.geometry, p."GEOMETRY", $2)
), beacons AS (  -- every beacon on the boundary: those named at its corners among them
    SELECT b."ID", b."BEACON_NO", b."GEOMETRY" FROM "GIS"."BEACON" b, p
    WHERE ST_DWithin(b."GEOMETRY", ST_Boundary(p."GEOMETRY"), 0.01)
)
SELECT md5(concat_ws('|',
    (SELECT concat_ws(',', "ID", "PLOT_NO", "AREA_SYSTEM", encode(ST_AsEWKB("GEOMETRY"), 'hex')) FROM p),
    (SELECT string_agg(concat_ws(',', "ID", encode(ST_AsEWKB("GEOMETRY"), 'hex')), ';' ORDER BY "ID") FROM neighbours),
    (SELECT string_agg(concat_ws(',', id, encode(ST_AsEWKB(geometry), 'hex')), ';' ORDER BY id) FROM roads),
    (SELECT string_agg(concat_ws(',', "ID", "BEACON_NO", encode(ST_AsEWKB("GEOMETRY"), 'hex')), ';' ORDER BY "ID")
     FROM beacons)
)) AS digest
FROM p
"""


async def records_digest(conn, plot_id: int) -> str | None:
    """A digest of every row the records of plot `plot_id` are made from (the plot, its
    neighbours, the roads around it, the beacons on its boundary): any edit to one of them
    changes it. None when there is no such plot."""
    return await conn.fetchval(RECORDS_DIGEST_SQL, plot_id, NEIGHBOUR_RADIUS_M, MAX_NEIGHBOURS)


def _polygon(points_grid: list[tuple[float, float]]) -> dict[str, Any]:
    ring = [FROM_GRID.transform(x, y) for x, y in points_grid]
    return {"type": "Polygon", "coordinates": [ring + ring[:1]]}


def sample_records() -> tuple[list[dict], str, list[dict]]:
    """A parcel of eight beacons (one boundary edge short enough for the schedule) among 30
    neighbours, with a road along its front, a service lane and a paved square."""
    e0, n0 = 326_800.0, 1_000_300.0  # near Abuja, EPSG:26332
    corners = [(0, 0), (34.6, -1.2), (36.1, 8.0), (35.4, 9.4), (38.2, 27.5), (24.0, 41.3), (3.1, 42.6), (-2.4, 20.1)]
    selected_grid = [(e0 + x, n0 + y) for x, y in corners]
    selected_3857 = [FROM_GRID.transform(x, y) for x, y in selected_grid]
    names = [f"PB {4711 + i}" for i in range(len(corners))]
    parcels = [{
        "parcel_number": "CZ-A05/0117",
        "geometry": _polygon(selected_grid),
        "name": "Plot 117, Cadastral Zone A05",
        "area": 1563.2,
        "boundary": beacon_records(selected_3857, names),
    }]
    for row in range(-2, 3):
        for col in range(-3, 3):
            if (row, col) in ((0, 0),):
                continue
            x0, y0 = e0 + col * 45.0 - 4.0, n0 + row * 48.0 - 2.0
            if (row, col) == (0, -1):
                x0 -= 1.5
            cell = [(x0, y0), (x0 + 44.0, y0), (x0 + 44.0, y0 + 47.0), (x0, y0 + 47.0)]
            if (row, col) in ((0, 1), (0, -1), (1, 0), (-1, 0)):
                continue  # the ring around the parcel is drawn below, hugging its boundary
            parcels.append({"parcel_number": f"CZ-A05/{200 + len(parcels)}", "geometry": _polygon(cell)})
    # The four direct neighbours share the selected parcel's edges.
    e, n = e0, n0
    hugging = [
        [(e - 48.5, n - 2.0), (e - 2.4, n + 20.1) , (e + 3.1, n + 42.6), (e - 48.5, n + 45.0)],
        [(e + 38.2, n + 27.5), (e + 85.0, n + 27.0), (e + 85.0, n + 45.0), (e + 24.0, n + 41.3)],
        [(e + 36.1, n + 8.0), (e + 85.0, n + 8.0), (e + 85.0, n + 27.0), (e + 38.2, n + 27.5), (e + 35.4, n + 9.4)],
        [(e + 34.6, n - 1.2), (e + 85.0, n - 2.0), (e + 85.0, n + 8.0), (e + 36.1, n + 8.0)],
    ]
    for ring in hugging:
        parcels.append({"parcel_number": f"CZ-A05/{200 + len(parcels)}", "geometry": _polygon(ring)})
    road_line = [FROM_GRID.transform(e0 - 200, n0 - 9.0), FROM_GRID.transform(e0 + 200, n0 - 10.0)]
    lane = [FROM_GRID.transform(e0 + 60.0, n0 + 200), FROM_GRID.transform(e0 + 60.5, n0 - 200)]
    square = _polygon([(e0 - 120, n0 + 60), (e0 - 70, n0 + 60), (e0 - 70, n0 + 100), (e0 - 120, n0 + 100)])
    roads = [
        {"geometry": {"type": "LineString", "coordinates": road_line}},
        {"geometry": {"type": "LineString", "coordinates": lane}},
        {"geometry": square},
    ]
    return parcels, "CZ-A05/0117", roads
