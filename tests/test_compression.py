"""gzip on the way out: tiles compressed for clients that accept it, the cache left raw."""

from __future__ import annotations

import httpx
import pytest
from delivery import compression
from demo_tiles import tile_at
from starlette.applications import Starlette
from starlette.responses import Response
from starlette.routing import Route

MVT = "application/vnd.mapbox-vector-tile"


@pytest.mark.usefixtures("demo_cadastre")
async def test_tiles_arrive_gzipped_while_the_cache_keeps_raw_bytes(client_for, raw_redis, plot_point):
    z, x, y = tile_at(plot_point, 14)
    path = f"/gis/plots/{z}/{x}/{y}.pbf"
    client = client_for()
    fresh = await client.get(path, headers={"Accept-Encoding": "gzip"})
    hit = await client.get(path, headers={"Accept-Encoding": "br;q=1.0, gzip;q=0.8"})
    plain = await client.get(path, headers={"Accept-Encoding": "identity"})
    refused = await client.get(path, headers={"Accept-Encoding": "gzip;q=0, *"})
    stored = raw_redis.get(f"mvt_v8:plots:{z}:{x}:{y}")
    assert stored and stored[:2] != b"\x1f\x8b"  # the module's entry is the tile itself
    for response in (fresh, hit):
        assert response.status_code == 200 and response.headers["content-type"] == MVT
        assert response.headers["content-encoding"] == "gzip"
        assert response.headers["vary"] == "Accept-Encoding"
        assert int(response.headers["content-length"]) < len(stored) // 2
        assert response.content == stored  # httpx undid the gzip
    assert hit.headers["x-cache"] == "HIT" and "x-cache" not in fresh.headers
    for response in (plain, refused):
        assert "content-encoding" not in response.headers and response.headers["vary"] == "Accept-Encoding"
        assert int(response.headers["content-length"]) == len(stored) and response.content == stored


async def test_small_and_other_answers_pass_unchanged(client_for):
    client = client_for()
    health = await client.get("/gis/health/", headers={"Accept-Encoding": "gzip"})
    assert health.status_code == 200 and "content-encoding" not in health.headers  # under 1 KiB
    page = await client.get("/", headers={"Accept-Encoding": "gzip"})
    assert page.status_code == 200 and "content-encoding" not in page.headers  # not a tile or JSON


def body_app(bodies: list[bytes]) -> Starlette:
    async def tile(request):
        return Response(bodies[int(request.path_params["n"])], media_type=MVT)

    return Starlette(routes=[Route("/{n}", tile)])


async def test_a_body_is_compressed_once_however_often_it_is_sent(monkeypatch):
    bodies = [bytes(range(256)) * 40, b"\x07" * 300_000]  # the second one goes to a worker thread
    compressed = []
    real = compression.gzip.compress

    def counting(data, compresslevel, mtime):
        compressed.append(len(data))
        return real(data, compresslevel=compresslevel, mtime=mtime)

    monkeypatch.setattr(compression.gzip, "compress", counting)
    app = compression.GzipTiles(body_app(bodies), compression.Compressor(cache_bytes=1024 * 1024))
    async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as client:
        for _ in range(3):
            for n, body in enumerate(bodies):
                response = await client.get(f"/{n}", headers={"Accept-Encoding": "gzip"})
                assert response.headers["content-encoding"] == "gzip" and response.content == body
    assert compressed == [len(bodies[0]), len(bodies[1])]
    assert (app.compressor.bodies.hits, app.compressor.bodies.misses) == (4, 2)


def test_the_table_stays_within_its_byte_budget():
    table = compression.CompressedBodies(capacity_bytes=3000, level=1)
    for n in range(50):
        body = bytes([n]) * 10_000 + bytes(range(256)) * 8  # about 2.1 KB compressed each... or less
        table.compress(table.digest(body), body)
    assert table.size <= 3000
    assert table.get(table.digest(bytes([49]) * 10_000 + bytes(range(256)) * 8)) is not None
    assert table.get(table.digest(bytes([0]) * 10_000 + bytes(range(256)) * 8)) is None


@pytest.mark.parametrize(("header", "accepted"), [
    ("gzip", True), ("GZIP", True), ("deflate, gzip;q=0.5", True), ("*", True), ("gzip;q=0", False),
    ("identity", False), ("", False), ("gzip;q=0.0, *;q=1", False), ("br, *;q=0", False), ("gzip;q=abc", False),
])
def test_accept_encoding_is_read_as_clients_mean_it(header, accepted):
    assert compression.accepts_gzip(header) is accepted
