"""The XYZ tile endpoint end to end: the host app over the project's PostGIS and Redis."""

from __future__ import annotations

import asyncio
import time
from types import SimpleNamespace

import asyncpg
import mapbox_vector_tile
import pytest
import services
from demo_tiles import tile_at
from fastapi import HTTPException
from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine

pytestmark = pytest.mark.usefixtures("demo_cadastre")

MVT = "application/vnd.mapbox-vector-tile"


def decode(content: bytes) -> dict:
    return mapbox_vector_tile.decode(content, default_options={"y_coord_down": True})


def coordinates(geometry) -> list[tuple[float, float]]:
    out: list[tuple[float, float]] = []

    def walk(c):
        if isinstance(c[0], (int, float)):
            out.append((c[0], c[1]))
        else:
            for part in c:
                walk(part)

    walk(geometry["coordinates"])
    return out


@pytest.mark.parametrize(
    ("layer", "z", "properties", "buffer"),
    [
        ("plots", 16, {"ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no"}, 16),
        ("beacons", 17, {"ID", "BEACON_NO", "STATUS", "REMARK"}, 8),
        ("cadzones", 12, {"id", "name", "district_id"}, 256),
        ("districts", 9, {"id", "name", "lga_id"}, 256),
        ("lgas", 5, {"id", "name"}, 256),
    ],
)
async def test_tiles_decode_with_an_independent_decoder(client_for, raw_redis, plot_point, layer, z, properties, buffer):
    z, x, y = tile_at(plot_point, z)
    response = await client_for().get(f"/gis/{layer}/{z}/{x}/{y}.pbf")
    assert response.status_code == 200, response.text
    assert response.headers["content-type"] == MVT
    tile = decode(response.content)
    assert list(tile) == [layer]
    assert tile[layer]["extent"] == 4096
    features = tile[layer]["features"]
    assert features
    seen: set[str] = set()
    id_col = "ID" if "ID" in properties else "id"
    for feature in features:
        props = feature["properties"]
        assert set(props) <= properties | {"feature_id"}  # NULL attributes are left out by the encoder
        seen |= set(props)
        assert props["feature_id"] == props[id_col]
        for px, py in coordinates(feature["geometry"]):
            assert -buffer <= px <= 4096 + buffer and -buffer <= py <= 4096 + buffer
    assert seen == properties | {"feature_id"}


async def test_plot_attributes_are_those_in_the_database(client_for, raw_redis, plot_point):
    z, x, y = tile_at(plot_point, 18)
    response = await client_for().get(f"/gis/plots/{z}/{x}/{y}.pbf")
    feature = decode(response.content)["plots"]["features"][0]
    conn = await asyncpg.connect(services.PG_DSN)
    try:
        row = await conn.fetchrow('SELECT * FROM "GIS"."PLOT" WHERE "ID" = $1', feature["properties"]["ID"])
    finally:
        await conn.close()
    assert feature["properties"]["PLOT_NO"] == row["PLOT_NO"]
    assert feature["properties"]["GENERAL_LU"] == row["GENERAL_LU"]
    assert feature["properties"]["AREA_SYSTEM"] == pytest.approx(row["AREA_SYSTEM"])


async def test_second_request_is_a_cache_hit(client_for, raw_redis, plot_point):
    z, x, y = tile_at(plot_point, 15)
    client = client_for()
    miss = await client.get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert miss.status_code == 200
    assert "x-cache" not in miss.headers and "cache-control" not in miss.headers
    key = f"mvt_v8:plots:{z}:{x}:{y}"
    assert raw_redis.get(key) == miss.content
    assert 1790 <= raw_redis.ttl(key) <= 1800
    hit = await client.get(f"/gis/plots/{z}/{x}/{y}.pbf")
    assert hit.status_code == 200 and hit.content == miss.content
    assert hit.headers["x-cache"] == "HIT"
    assert hit.headers["cache-control"] == "public, max-age=1800"
    assert hit.headers["content-type"] == MVT
    low = tile_at(plot_point, 9)
    await client.get("/gis/plots/%d/%d/%d.pbf" % low)
    assert (await client.get("/gis/plots/%d/%d/%d.pbf" % low)).headers["cache-control"] == "public, max-age=7200"


async def test_empty_tiles_are_204_and_never_cached(client_for, raw_redis, hub_log):
    client = client_for()
    for _ in range(2):
        response = await client.get("/gis/plots/16/0/0.pbf")
        assert response.status_code == 204 and response.content == b""
    assert raw_redis.keys("mvt_v8:*") == []
    empty = [m for m in hub_log.messages("INFO") if m.startswith("Empty tile generated for plots/16/0/0 - bbox: {")]
    assert len(empty) == 2 and "'minx': -20037508.34" in empty[0]


async def test_zoom_below_a_layers_minimum(client_for, hub_log):
    client = client_for()
    response = await client.get("/gis/plots/5/16/15.pbf")
    assert response.status_code == 204 and response.content == b""
    assert hub_log.messages("INFO") == [
        "Layer plots not available at zoom 5: Layer plots not available at zoom level 5",
        "Try these layers at zoom 5: ['cadzones', 'districts', 'lgas']",
    ]
    hub_log.records.clear()
    assert (await client.get("/gis/beacons/7/66/60.pbf")).status_code == 204
    assert hub_log.messages("INFO") == ["Layer beacons not available at zoom 7: Layer beacons not available at zoom level 7"]
    hub_log.records.clear()
    assert (await client.get("/gis/lgas/1/1/0.pbf")).status_code == 204
    assert hub_log.messages("INFO") == ["Layer lgas not available at zoom 1: Layer lgas not available at zoom level 1"]


@pytest.mark.parametrize(
    ("path", "status", "detail"),
    [
        ("/gis/roads/3/9/1.pbf", 404, "Layer 'roads' not found"),
        ("/gis/Plots/14/1/1.pbf", 404, "Layer 'Plots' not found"),
        ("/gis/roads/0/99/1.pbf", 404, "Layer 'roads' not found"),
        ("/gis/lgas/3/9/1.pbf", 400, "Invalid tile coordinates: z=3, x=9, y=1"),
        ("/gis/lgas/0/0/0.pbf", 400, "Invalid tile coordinates: z=0, x=0, y=0"),
        ("/gis/lgas/21/0/0.pbf", 400, "Invalid tile coordinates: z=21, x=0, y=0"),
        ("/gis/lgas/2/-1/0.pbf", 400, "Invalid tile coordinates: z=2, x=-1, y=0"),
        ("/gis/lgas/" + "9" * 40 + "/0/0.pbf", 400, "Invalid tile coordinates: z=" + "9" * 40 + ", x=0, y=0"),
        ("/gis/lgas/4/" + "7" * 30 + "/0.pbf", 400, "Invalid tile coordinates: z=4, x=" + "7" * 30 + ", y=0"),
    ],
)
async def test_layer_and_address_checks(client_for, path, status, detail):
    response = await client_for().get(path)
    assert response.status_code == status
    assert response.json() == {"detail": detail}


@pytest.mark.parametrize("path", ["/gis/plots/5/x/3.pbf", "/gis/plots/5/1/3.5.pbf", "/gis/plots/z/1/3.pbf"])
async def test_non_integer_addresses_are_rejected_before_the_handler(client_for, path):
    assert (await client_for().get(path)).status_code == 422


async def test_rate_limit_window(client_for, raw_redis):
    client = client_for("10.200.0.1")
    started = time.monotonic()
    statuses = [(await client.get("/gis/roads/1/0/0.pbf")).status_code for _ in range(41)]
    assert time.monotonic() - started < 1.0, "the burst must fit in one window"
    assert statuses[:40] == [404] * 40  # counted before the layer check
    refused = await client.get("/gis/lgas/2/2/1.pbf")
    assert refused.status_code == 429
    assert refused.json() == {"detail": "Too many map requests. Please slow down panning."}
    assert refused.headers["retry-after"] == "1"  # the window's length: a client need not ask at once
    assert 0 <= raw_redis.ttl("rate_limit:gis:10.200.0.1") <= 1
    await asyncio.sleep(1.1)
    assert (await client.get("/gis/roads/1/0/0.pbf")).status_code == 404
    assert raw_redis.get("rate_limit:gis:10.200.0.1") == b"1"


async def test_requests_without_client_information_share_one_counter(hub, raw_redis):
    request = SimpleNamespace(client=None)
    with pytest.raises(HTTPException) as info:
        await hub.get_tile_xyz("roads", 1, 0, 0, request, None)
    assert info.value.status_code == 404
    assert raw_redis.get("rate_limit:gis:unknown") == b"1"


async def test_counter_that_lost_its_expiry_heals_itself(client_for, raw_redis):
    raw_redis.set("rate_limit:gis:10.200.0.2", 500)  # no expiry, as after a lost EXPIRE
    client = client_for("10.200.0.2")
    response = await client.get("/gis/lgas/2/2/1.pbf")
    assert response.status_code in (200, 204)
    assert raw_redis.get("rate_limit:gis:10.200.0.2") == b"1"
    assert 0 <= raw_redis.ttl("rate_limit:gis:10.200.0.2") <= 1
    raw_redis.set("rate_limit:gis:10.200.0.3", 500, ex=30)  # a live window still refuses
    assert (await client_for("10.200.0.3").get("/gis/lgas/2/2/1.pbf")).status_code == 429


async def test_stopped_redis_never_blocks_tiles(client_for, hub, hub_log, plot_point, fresh_pool):
    z, x, y = tile_at(plot_point, 14)
    client = client_for()
    with services.redis_stopped():
        await hub.redis_client.connection_pool.disconnect()
        for _ in range(3):
            response = await client.get(f"/gis/plots/{z}/{x}/{y}.pbf")
            assert response.status_code == 200 and "x-cache" not in response.headers
    # The first request finds Redis down and opens both breakers; the others skip Redis.
    warnings = hub_log.messages("WARNING")
    assert len([w for w in warnings if w.startswith("Rate limit check failed: ")]) == 1
    assert len([w for w in warnings if w.startswith(f"Cache get failed for plots:{z}:{x}:{y}: ")]) == 1
    assert not [w for w in warnings if w.startswith("Cache set failed for ")]
    assert len([w for w in warnings if w.startswith("Circuit breaker open for the rate limit: ")]) == 1
    assert len([w for w in warnings if w.startswith("Circuit breaker open for the tile cache: ")]) == 1


async def test_query_past_its_time_limit_is_408(client_for, raw_redis, hub_log):
    blocker = await asyncpg.connect(services.PG_DSN)
    try:
        locked = blocker.transaction()
        await locked.start()
        await blocker.execute('LOCK TABLE "GIS"."LGAs" IN ACCESS EXCLUSIVE MODE')
        started = time.monotonic()
        response = await client_for().get("/gis/lgas/6/33/31.pbf")
        elapsed = time.monotonic() - started
        await locked.rollback()
    finally:
        await blocker.close()
    assert response.status_code == 408
    assert response.json() == {"detail": "Tile generation timeout at zoom 6"}
    assert 9.5 <= elapsed < 13
    assert hub_log.messages("ERROR") == ["Timeout generating tile lgas/6/33/31"]
    assert raw_redis.keys("mvt_v8:*") == []


@pytest.fixture(scope="module")
async def locked_out_role() -> str:
    """A database role that may log in but not read the layer tables."""
    conn = await asyncpg.connect(services.PG_DSN)
    try:
        exists = await conn.fetchval("SELECT 1 FROM pg_roles WHERE rolname = 'vexa_locked_out'")
        if not exists:
            await conn.execute("CREATE ROLE vexa_locked_out LOGIN")
        await conn.execute('REVOKE ALL ON SCHEMA "GIS" FROM vexa_locked_out')
    finally:
        await conn.close()
    return services.database_url(user="vexa_locked_out")


def session_provider(url: str):
    engine = create_async_engine(url, poolclass=None)
    sessions = async_sessionmaker(engine, expire_on_commit=False)

    async def provide():
        async with sessions() as session:
            yield session

    return provide, engine


async def test_failing_database_is_500(app, hub, client_for, raw_redis, hub_log, locked_out_role):
    provide, engine = session_provider(locked_out_role)
    app.dependency_overrides[hub.get_db] = provide
    response = await client_for().get("/gis/lgas/6/33/31.pbf")
    await engine.dispose()
    assert response.status_code == 500 and response.json() == {"detail": "Database error"}
    (error,) = hub_log.messages("ERROR")
    assert error.startswith("Database error for tile lgas/6/33/31: ") and "permission denied" in error

    hub_log.records.clear()
    provide, engine = session_provider(services.database_url(port=1))  # nothing listens
    app.dependency_overrides[hub.get_db] = provide
    response = await client_for().get("/gis/lgas/6/33/31.pbf")
    await engine.dispose()
    assert response.status_code == 500 and response.json() == {"detail": "Internal server error"}
    (error,) = hub_log.messages("ERROR")
    assert error.startswith("Unexpected error for tile lgas/6/33/31: ")
    assert raw_redis.keys("mvt_v8:*") == []


async def database_sessions():
    """get_db's sessions, given through an override: the framework then answers every tile."""
    import database

    async for session in database.get_db():
        yield session


async def test_the_hosts_direct_route_answers_as_the_frameworks(app, hub, client_for, raw_redis, plot_point):
    """The host answers plain tile addresses ahead of the framework; overriding get_db sends every
    request the framework's way: both give the same answers, conditional and gzipped ones, the
    refusal of a client past its rate, and the same metrics."""
    z, x, y = tile_at(plot_point, 16)
    tile = f"/gis/plots/{z}/{x}/{y}.pbf"
    paths = [tile, "/gis/plots/16/0/0.pbf", "/gis/roads/3/0/0.pbf",
             "/gis/plots/3/9/1.pbf", "/gis/plots/7/50/50.pbf", "/gis/plots/16/-1/0.pbf", "/gis/plots/016/0/0.pbf"]
    etag = (await client_for().get(tile)).headers["etag"]  # the tile now cached: both ways answer it from the cache
    asked = [(path, {}) for path in paths] + [
        (tile, {"Accept-Encoding": "gzip"}), (tile, {"If-None-Match": etag}), (tile, {"If-None-Match": 'W/"other"'})]

    async def answers() -> list[tuple]:
        client = client_for()
        got = []
        for path, headers in asked:
            r = await client.get(path, headers=headers)
            got.append((path, r.status_code, r.content, {k: v for k, v in r.headers.items() if k != "content-length"}))
        flood = client_for()
        statuses = [(await flood.get(tile)).status_code for _ in range(41)]
        refused = await flood.get(tile)
        got.append((statuses.count(200), refused.status_code, refused.json(), refused.headers["retry-after"]))
        return got

    async def tile_counts() -> dict[str, float]:
        text = (await client_for().get("/metrics")).text
        return {outcome: sum(float(line.rsplit(" ", 1)[1]) for line in text.splitlines()
                             if line.startswith("vexa_tiles_total{") and f'outcome="{outcome}"' in line
                             and 'layer="plots"' in line)
                for outcome in ("hit", "not_modified", "empty", "4xx")}

    before = await tile_counts()
    direct = await answers()
    middle = await tile_counts()
    app.dependency_overrides[hub.get_db] = database_sessions
    try:
        framework = await answers()
    finally:
        del app.dependency_overrides[hub.get_db]
    after = await tile_counts()
    assert framework == direct
    assert [status for _, status, _, _ in direct[:len(asked)]] == [200, 204, 404, 400, 204, 400, 204, 200, 304, 200]
    assert direct[len(paths)][3]["content-encoding"] == "gzip" and direct[-1][:2] == (40, 429)
    counted = {outcome: middle[outcome] - before[outcome] for outcome in before}
    assert counted == {outcome: after[outcome] - middle[outcome] for outcome in before}
    assert counted["not_modified"] == 1 and counted["hit"] >= 42
