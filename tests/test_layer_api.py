"""Bounding-box tiles, layer information, health and cache invalidation, on the real servers."""

from __future__ import annotations

import asyncio
import time

import mapbox_vector_tile
import pytest
import services
from demo_tiles import plot_centre
from pyproj import Transformer

pytestmark = pytest.mark.usefixtures("demo_cadastre")

ADMIN = {"Authorization": f"Bearer {services.ADMIN_TOKEN}"}
TO_3857 = Transformer.from_crs(4326, 3857, always_xy=True)
WEB_MERCATOR_RANGE = ("Invalid Web Mercator values: coordinates must lie between -20037508.342789244 and "
                      "20037508.342789244 metres")


@pytest.fixture(scope="module")
async def plot_lonlat() -> tuple[float, float]:
    lat, lon = await plot_centre(300)
    return lon, lat


def bbox_params(lon, lat, d=0.002, **extra):
    return {"minx": lon - d, "miny": lat - d, "maxx": lon + d, "maxy": lat + d, **extra}


# --- bounding-box tiles ---------------------------------------------------------------------


async def test_degree_box_miss_then_hit(client_for, raw_redis, plot_lonlat):
    client = client_for()
    params = bbox_params(*plot_lonlat)
    miss = await client.get("/gis/plots/bbox/", params=params)
    assert miss.status_code == 200 and miss.headers["x-cache"] == "MISS"
    assert miss.headers["cache-control"] == "public, max-age=1800"
    assert miss.headers["content-type"] == "application/vnd.mapbox-vector-tile"
    tile = mapbox_vector_tile.decode(miss.content)
    assert list(tile) == ["plots"] and tile["plots"]["extent"] == 4096 and tile["plots"]["features"]
    (key,) = [k.decode() for k in raw_redis.keys("mvt_v8:bbox:*")]
    x0, y0 = TO_3857.transform(params["minx"], params["miny"])
    x1, y1 = TO_3857.transform(params["maxx"], params["maxy"])
    assert key == f"mvt_v8:bbox:plots:{x0:.0f}:{y0:.0f}:{x1:.0f}:{y1:.0f}:5000:True"
    assert 1790 <= raw_redis.ttl(key) <= 1800
    hit = await client.get("/gis/plots/bbox/", params=params)
    assert hit.headers["x-cache"] == "HIT" and hit.content == miss.content


async def test_web_mercator_box_and_key_variants(client_for, raw_redis, plot_lonlat):
    client = client_for()
    x, y = TO_3857.transform(*plot_lonlat)
    box = {"minx": x - 150.4, "miny": y - 150.6, "maxx": x + 150, "maxy": y + 150, "srid": 3857}
    response = await client.get("/gis/beacons/bbox/", params=box)
    assert response.status_code == 200 and mapbox_vector_tile.decode(response.content)["beacons"]["features"]
    await client.get("/gis/beacons/bbox/", params={**box, "simplify": "false", "max_features": 20000})
    keys = sorted(k.decode() for k in raw_redis.keys("mvt_v8:bbox:*"))
    head = f"mvt_v8:bbox:beacons:{x - 150.4:.0f}:{y - 150.6:.0f}:{x + 150:.0f}:{y + 150:.0f}"
    assert keys == [head + ":15000:False", head + ":5000:True"]


async def test_a_web_mercator_box_is_simplified_and_cached_as_its_degree_twin(hub, client_for, raw_redis,
                                                                               monkeypatch):
    """A box in metres is the degree box it covers: simplified past 0.01 square degrees, answered
    with the same tile, under the same entry, as are boxes within the key's rounding of it."""
    statements = []
    text = hub.text
    monkeypatch.setattr(hub, "text", lambda sql: statements.append(sql) or text(sql))
    client = client_for()
    degrees = {"minx": 7.30, "miny": 8.90, "maxx": 7.45, "maxy": 9.05}  # 0.0225 square degrees
    (x0, x1), (y0, y1) = TO_3857.transform((degrees["minx"], degrees["maxx"]), (degrees["miny"], degrees["maxy"]))
    metres = {"minx": x0, "miny": y0, "maxx": x1, "maxy": y1, "srid": 3857}
    twin = await client.get("/gis/cadzones/bbox/", params=degrees)
    (key,) = raw_redis.keys("mvt_v8:bbox:*")
    raw_redis.delete(key)
    statements.clear()
    box = await client.get("/gis/cadzones/bbox/", params=metres)
    assert (box.status_code, box.headers["x-cache"]) == (200, "MISS") and box.content == twin.content
    assert [s for s in statements if "ST_SimplifyPreserveTopology" in s]
    assert raw_redis.keys("mvt_v8:bbox:*") == [key]
    assert (await client.get("/gis/cadzones/bbox/", params=degrees)).headers["x-cache"] == "HIT"
    for shift in (-0.4, 0.4):  # 0.8 m apart, each within the key's metre of the box
        near = {**metres, **{side: round(metres[side]) + shift for side in ("minx", "miny", "maxx", "maxy")}}
        answer = await client.get("/gis/cadzones/bbox/", params=near)
        assert (answer.headers["x-cache"], answer.content) == ("HIT", box.content)
    statements.clear()
    small = {**metres, "maxx": x0 + 5000, "maxy": y0 + 5000}  # about 0.002 square degrees
    assert (await client.get("/gis/cadzones/bbox/", params=small)).status_code in (200, 204)
    assert statements and not [s for s in statements if "ST_SimplifyPreserveTopology" in s]


async def test_empty_box_is_204_and_not_cached(client_for, raw_redis):
    response = await client_for().get("/gis/plots/bbox/", params={"minx": 3, "miny": 6, "maxx": 3.01, "maxy": 6.01})
    assert response.status_code == 204 and response.content == b""
    assert raw_redis.keys("mvt_v8:*") == []


@pytest.mark.parametrize(
    ("path", "params", "status", "detail"),
    [
        ("/gis/roads/bbox/", {"srid": 2100}, 404, "Layer 'roads' not found"),
        ("/gis/plots/bbox/", {"srid": 2100}, 400, "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"),
        ("/gis/plots/bbox/", {"srid": -(10**40)}, 400, "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"),
        ("/gis/plots/bbox/", {"minx": -181}, 400, "Invalid longitude values"),
        ("/gis/plots/bbox/", {"maxy": 90.5}, 400, "Invalid latitude values"),
        ("/gis/plots/bbox/", {"minx": 7, "maxx": 8.5, "miny": 8.0}, 400, "Bounding box too large. Maximum area: 1.0 square degrees"),
        ("/gis/plots/bbox/", {"minx": "nan"}, 400, "Invalid longitude values"),
        ("/gis/plots/bbox/", {"srid": 3857, "minx": "nan"}, 400, "Bounding box values must be finite numbers"),
        ("/gis/plots/bbox/", {"srid": 3857, "maxy": "inf"}, 400, "Bounding box values must be finite numbers"),
        ("/gis/plots/bbox/", {"srid": 3857, "minx": -20037508.35}, 400, WEB_MERCATOR_RANGE),
        ("/gis/plots/bbox/", {"srid": 3857, "maxy": 1e300}, 400, WEB_MERCATOR_RANGE),
        # 200 km by 210 km near Abuja: about 1.8 by 1.9 degrees
        ("/gis/plots/bbox/", {"srid": 3857, "minx": 7e5, "miny": 8.9e5, "maxx": 9e5, "maxy": 1.1e6}, 400,
         "Bounding box too large. Maximum area: 1.0 square degrees"),
        ("/gis/plots/bbox/", {"max_features": 0}, 400, "max_features must be a positive integer"),
        ("/gis/plots/bbox/", {"max_features": -5}, 400, "max_features must be a positive integer"),
    ],
)
async def test_bbox_checks(client_for, raw_redis, path, params, status, detail):
    query = {"minx": 7.0, "miny": 8.9, "maxx": 7.5, "maxy": 9.0, **params}
    response = await client_for().get(path, params=query)
    assert (response.status_code, response.json()) == (status, {"detail": detail})
    assert raw_redis.keys("mvt_v8:*") == []


async def test_bbox_parameters_and_limits(client_for):
    client = client_for()
    assert (await client.get("/gis/plots/bbox/", params={"minx": 1, "miny": 2, "maxx": 3})).status_code == 422
    exactly_one = await client.get("/gis/lgas/bbox/", params={"minx": 3, "miny": 5, "maxx": 4, "maxy": 6})
    assert exactly_one.status_code == 204  # 1.0 square degree passes (and holds nothing)
    assert (await client.get("/gis/lgas/bbox/", params={"minx": 3, "miny": 5, "maxx": 4, "maxy": 6,
                                                          "srid": 3857})).status_code == 204
    # The world's corner, as far as Web Mercator goes, and a feature count past any integer type.
    edge = 20037508.342789244
    corner = await client.get("/gis/lgas/bbox/", params={"minx": edge - 1000, "miny": edge - 1000, "maxx": edge,
                                                          "maxy": edge, "srid": 3857, "max_features": 10**30})
    assert corner.status_code == 204


async def test_a_box_whose_database_is_out_of_reach_is_503_not_400(app, client_for, raw_redis, hub_log):
    """The box's transformation fails for want of a database: not the client's fault."""
    from database import get_db
    from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine

    engine = create_async_engine(services.database_url(port=1))  # nothing listens

    async def unreachable():
        async with async_sessionmaker(engine)() as session:
            yield session

    app.dependency_overrides[get_db] = unreachable
    try:
        response = await client_for().get("/gis/plots/bbox/", params={"minx": 7.33, "miny": 8.93, "maxx": 7.34, "maxy": 8.94})
    finally:
        del app.dependency_overrides[get_db]
        await engine.dispose()
    assert (response.status_code, response.json(), response.headers["retry-after"]) == (
        503, {"detail": "Database unavailable"}, "5")
    assert [m for m in hub_log.messages("ERROR") if m.startswith("Coordinate transformation error: ")]


async def test_bbox_rate_limit_is_its_own(client_for, raw_redis, plot_lonlat):
    client = client_for("10.201.0.1")
    params = {"minx": 3, "miny": 6, "maxx": 3.01, "maxy": 6.01}
    statuses = [(await client.get("/gis/plots/bbox/", params=params)).status_code for _ in range(21)]
    assert statuses[:20] == [204] * 20
    assert statuses[20] == 429
    refused = await client.get("/gis/plots/bbox/", params=params)
    assert refused.json() == {"detail": "Too many bbox requests."} and refused.headers["retry-after"] == "1"
    assert (await client.get("/gis/roads/1/0/0.pbf")).status_code == 404  # XYZ requests are counted apart
    assert raw_redis.get("rate_limit:gis:1") is None and raw_redis.get("rate_limit:gis:10.201.0.1") == b"1"


# --- layer information ----------------------------------------------------------------------


@pytest.mark.parametrize("layer", ["plots", "beacons", "cadzones", "districts", "lgas"])
async def test_zoom_information(hub, client_for, layer):
    body = (await client_for().get(f"/gis/{layer}/zoom-info/")).json()
    assert body["status_code"] == 200
    data = body["data"]
    minimum = hub.LAYER_CONFIG[layer]["min_zoom"]
    assert data["layer"] == layer and data["min_zoom"] == minimum
    levels = data["zoom_levels"]
    assert list(levels) == [str(z) for z in range(1, 21)]
    words = {1000: "heavy", 500: "moderate", 250: "moderate", 100: "light", 50: "light", 10: "light", 0: "none"}
    for z in range(1, 21):
        level = levels[str(z)]
        if z < minimum:
            assert level == {"available": False}
        else:
            config = hub.get_zoom_config(z, layer)
            assert level == {"available": True, "tolerance": config["tolerance"],
                             "feature_limit": config["feature_limit"], "simplification": words[config["tolerance"]]}
    assert data["recommendations"]["precise_view"] == "Use 'beacons' for zoom 12+"


async def test_unknown_layer_on_information_paths(client_for):
    client = client_for()
    for path in ["/gis/roads/zoom-info/", "/gis/roads/"]:
        response = await client.get(path)
        assert (response.status_code, response.json()) == (404, {"detail": "Layer 'roads' not found"})


class UnusableSession:
    async def execute(self, *args, **kwargs):
        raise AssertionError("the database was queried")

    async def commit(self): ...
    async def rollback(self): ...
    async def close(self): ...


async def test_centroid_answer_cached_and_recomputed(app, hub, client_for, raw_redis, hub_log):
    client = client_for()
    body = (await client.get("/gis/plots/")).json()
    data = body["data"]
    assert list(data) == ["layer", "centroid_wgs84", "extent_web_mercator", "suggested_tile", "suggested_tile_bbox",
                          "tile_url", "layer_config"]
    tile = data["suggested_tile"]
    assert data["tile_url"] == f"/gis/plots/{tile['z']}/{tile['x']}/{tile['y']}.pbf" and tile["z"] == 16
    assert data["layer_config"] == {"min_zoom": 8, "properties": hub.LAYER_CONFIG["plots"]["properties"]}
    assert 8.9 < data["centroid_wgs84"]["latitude"] < 9.1 and 7.3 < data["centroid_wgs84"]["longitude"] < 7.5
    tile_response = await client.get(data["tile_url"])
    assert tile_response.status_code == 200 and mapbox_vector_tile.decode(tile_response.content)["plots"]["features"]
    assert 14390 <= raw_redis.ttl("mvt_v8:centroid:plots") <= 14400

    async def no_database():
        yield UnusableSession()

    app.dependency_overrides[hub.get_db] = no_database
    again = await client.get("/gis/plots/")
    assert again.status_code == 200 and again.json() == body  # from the cache: no query
    raw_redis.set("mvt_v8:centroid:plots", b"\xff{not json")
    fallen_through = await client.get("/gis/plots/")  # a corrupt entry falls through to the query
    assert fallen_through.status_code == 500
    assert hub_log.messages("ERROR") == ["Error calculating centroid for plots: the database was queried"]
    app.dependency_overrides.clear()
    assert (await client.get("/gis/plots/")).json() == body
    assert raw_redis.get("mvt_v8:centroid:plots").startswith(b"{")


async def test_layer_list_and_route_precedence(client_for):
    body = (await client_for().get("/gis/layers/")).json()
    data = body["data"]
    assert data["total_layers"] == 5 == len(data["layers"])
    assert list(data["layers"]) == ["plots", "beacons", "cadzones", "districts", "lgas"]
    assert data["layers"]["plots"]["endpoints"] == {"xyz": "/gis/plots/{z}/{x}/{y}.pbf", "bbox": "/gis/plots/bbox/",
                                                    "info": "/gis/plots/", "zoom_info": "/gis/plots/zoom-info/"}
    assert data["layers"]["lgas"]["table"] == '"GIS"."LGAs"'
    assert data["usage_guide"]["detail_zoom_12_20"] == "Use 'beacons' layer"


async def test_health(client_for, hub, fresh_pool):
    client = client_for()
    healthy = await client.get("/gis/health/")
    # The body exactly, keys in their order: callers compare it as a whole.
    assert list(healthy.json().items()) == [
        ("status", "healthy"), ("cache_status", "healthy"),
        ("available_layers", ["plots", "beacons", "cadzones", "districts", "lgas"]),
        ("zoom_support", "1-20 with layer-specific minimums")]
    with services.redis_stopped():
        await hub.redis_client.connection_pool.disconnect()
        started = time.monotonic()
        response = await client.get("/gis/health/")
        assert time.monotonic() - started < 3
    assert response.status_code == 200 and response.json()["cache_status"] == "unhealthy"
    await hub.redis_client.connection_pool.disconnect()
    with services.redis_paused():
        started = time.monotonic()
        response = await client.get("/gis/health/")
        elapsed = time.monotonic() - started
    assert response.json()["cache_status"] == "unhealthy" and 1.9 <= elapsed < 3.5


# --- invalidation ---------------------------------------------------------------------------


def fill_cache(raw_redis):
    for key in ["mvt_v8:plots:14:1:1", "mvt_v8:plots:18:2:2", "mvt_v8:plots:18:3:3", "mvt_v8:bbox:plots:1:2:3:4:5000:True",
                "mvt_v8:centroid:plots", "mvt_v8:lgas:5:1:1", "other:plots:1"]:
        raw_redis.set(key, b"x")
    raw_redis.zadd("tile_bbox_index:mvt_v8:plots", {"mvt_v8:bbox:plots:1:2:3:4:5000:True": 2**31})


def keys(raw_redis) -> set[str]:
    return {k.decode() for k in raw_redis.keys("*")}


async def test_invalidate_a_layer_and_everything(client_for, raw_redis):
    fill_cache(raw_redis)
    client = client_for()
    response = await client.post("/gis/cache/invalidate/plots", headers=ADMIN)
    # The layer's tiles, its bounding-box tiles (and their index) and its centroid: they all show its data.
    assert response.json() == {"status_code": 200, "message": "Cache for layer 'plots' invalidated successfully. 6 keys deleted.",
                               "data": {"layer": "plots", "deleted_count": 6}}
    generation = {"tile_generation:mvt_v8:plots", "tile_version:mvt_v8:plots"}
    assert keys(raw_redis) == {"mvt_v8:lgas:5:1:1", "other:plots:1"} | generation
    response = await client.post("/gis/cache/invalidate/all", headers=ADMIN)
    assert response.json()["data"] == {"deleted_count": 1}
    assert response.json()["message"] == "All cache invalidated successfully. 1 keys deleted."
    generations = {f"tile_{kind}:mvt_v8:{layer}" for kind in ("generation", "version")
                   for layer in ("plots", "beacons", "cadzones", "districts", "lgas")}
    assert keys(raw_redis) == {"other:plots:1"} | generations
    assert raw_redis.get("tile_generation:mvt_v8:plots") == raw_redis.get("tile_version:mvt_v8:plots") == b"2"
    empty = await client.post("/gis/cache/invalidate/lgas", headers=ADMIN)
    assert empty.json()["data"]["deleted_count"] == 0
    wrong = await client.post("/gis/cache/invalidate/ALL", headers=ADMIN)
    assert (wrong.status_code, wrong.json()) == (404, {
        "detail": "Layer 'ALL' not found. Valid layers: ['plots', 'beacons', 'cadzones', 'districts', 'lgas']"})
    assert (await client.get("/gis/cache/invalidate/plots", headers=ADMIN)).status_code == 405


async def test_invalidation_needs_the_administrator_token(client_for, raw_redis):
    fill_cache(raw_redis)
    client = client_for()
    for headers in [{}, {"Authorization": "Bearer wrong"}, {"Authorization": "Basic " + services.ADMIN_TOKEN}]:
        response = await client.post("/gis/cache/invalidate/all", headers=headers)
        assert response.status_code == 401 and response.json() == {"detail": "Administrator token required"}
    assert len(keys(raw_redis)) == 8
    assert (await client.get("/gis/layers/")).status_code == 200  # the rest stays public


async def test_failed_invalidation_is_not_reported_as_success(hub, client_for, hub_log, fresh_pool):
    client = client_for()
    with services.redis_stopped():
        await hub.redis_client.connection_pool.disconnect()
        response = await client.post("/gis/cache/invalidate/plots", headers=ADMIN)
        assert await hub._invalidate_all_cache_task() == 0  # the worker's own contract
    assert response.status_code == 503
    assert response.json()["detail"].startswith("Cache invalidation failed: ")
    errors = hub_log.messages("ERROR")
    assert errors[0].startswith("Background task failed to invalidate cache for layer 'plots': ")
    assert errors[1].startswith("Background task failed to invalidate all cache: ")


async def test_background_schedulers(hub, raw_redis, hub_log):
    fill_cache(raw_redis)
    hub.invalidate_cache_by_pattern("plots:18:*")
    hub.invalidate_layer_cache("roads")
    assert "Scheduled background cache invalidation for pattern 'plots:18:*'" in hub_log.messages("DEBUG")
    for _ in range(200):
        if len(hub_log.messages("INFO")) == 2:
            break
        await asyncio.sleep(0.01)
    assert sorted(hub_log.messages("INFO")) == [
        "Background task: Invalidated 0 cache entries for layer 'roads'",
        "Background task: Invalidated 2 cache entries matching pattern 'plots:18:*'"]
    assert "mvt_v8:plots:18:2:2" not in keys(raw_redis) and "mvt_v8:plots:14:1:1" in keys(raw_redis)
    hub.invalidate_all_cache()
    for _ in range(200):
        if not raw_redis.keys("mvt_v8:*"):
            break
        await asyncio.sleep(0.01)
    assert {k for k in keys(raw_redis) if not k.startswith(("tile_generation:", "tile_version:"))} == {"other:plots:1"}
    assert not raw_redis.keys("tile_*:mvt_v8:roads")  # a name outside the catalogue has no generation
    with pytest.raises(RuntimeError):
        await asyncio.to_thread(hub.invalidate_all_cache)  # no loop in that thread


async def test_openapi_describes_every_operation(client_for):
    document = (await client_for().get("/openapi.json")).json()
    operations = {(path, method): op for path, methods in document["paths"].items() for method, op in methods.items()}
    assert set(operations) == {
        ("/gis/{layer_name}/{z}/{x}/{y}.pbf", "get"), ("/gis/{layer_name}/zoom-info/", "get"),
        ("/gis/{layer_name}/bbox/", "get"), ("/gis/layers/", "get"), ("/gis/health/", "get"),
        ("/gis/{layer_name}/", "get"), ("/gis/cache/invalidate/{layer_name}", "post"),
        ("/gis/all/{z}/{x}/{y}.pbf", "get"), ("/gis/tilejson.json", "get"), ("/gis/{layer_name}/tilejson.json", "get"),
        ("/gis/tile-versions", "get"),
        ("/plans/{plot_id}.png", "get"), ("/plans/{plot_id}.pdf", "get"), ("/plots/search", "get")}  # the host's own
    assert all(op["description"] for op in operations.values())
    bbox = operations[("/gis/{layer_name}/bbox/", "get")]
    described = {p["name"]: (p.get("required", False), p.get("description")) for p in bbox["parameters"]}
    assert described == {"layer_name": (True, None), "minx": (True, "Bounding box minimum X"),
                         "miny": (True, "Bounding box minimum Y"), "maxx": (True, "Bounding box maximum X"),
                         "maxy": (True, "Bounding box maximum Y"), "srid": (False, "SRID of input bbox"),
                         "max_features": (False, "Maximum features to return"),
                         "simplify": (False, "Apply geometry simplification")}
    assert operations[("/gis/cache/invalidate/{layer_name}", "post")]["description"] == (
        "Manually invalidate cache for a specific layer.\nUseful after bulk data updates or for testing.")
    assert operations[("/gis/cache/invalidate/{layer_name}", "post")]["security"]
