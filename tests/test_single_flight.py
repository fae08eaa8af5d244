"""Concurrent misses of one tile share one database query and one cache write."""

from __future__ import annotations

import asyncio

import pytest
import sqlalchemy
from demo_tiles import tile_at
from starlette.requests import Request

pytestmark = pytest.mark.usefixtures("demo_cadastre")


@pytest.fixture
def counted(hub, monkeypatch):
    """Counts of the statements the tile module builds and of its cache writes."""
    counts = {"queries": 0, "writes": 0}
    real_text, real_set = hub.text, hub.safe_cache_set

    def text(sql):
        counts["queries"] += 1
        return real_text(sql)

    async def safe_cache_set(key, value, ttl):
        counts["writes"] += 1
        await real_set(key, value, ttl)

    monkeypatch.setattr(hub, "text", text)
    monkeypatch.setattr(hub, "safe_cache_set", safe_cache_set)
    return counts


async def test_overlapping_viewers_cost_one_query_per_tile(client_for, raw_redis, plot_point, counted):
    z, x, y = tile_at(plot_point, 14)
    addresses = [f"/gis/plots/{z}/{x + dx}/{y}.pbf" for dx in (0, 1)]
    viewers = [client_for() for _ in range(10)]
    responses = await asyncio.gather(*(v.get(path) for v in viewers for path in addresses))
    assert [r.status_code for r in responses] == [200] * 20
    assert all("x-cache" not in r.headers for r in responses)  # every one waited for the query
    for path in addresses:
        bodies = {r.content for r in responses if r.url.path == path}
        assert len(bodies) == 1
    assert counted == {"queries": 2, "writes": 2}  # one per tile, not one per viewer
    again = await client_for().get(addresses[0])
    assert again.headers["x-cache"] == "HIT" and counted["queries"] == 2


async def test_an_empty_tile_is_queried_once_per_generation_of_its_layer(hub, client_for, raw_redis, counted):
    empty = "/gis/plots/14/0/0.pbf"  # the far north-west: no plot there
    answers = [await client_for().get(empty) for _ in range(3)]
    assert [r.status_code for r in answers] == [204] * 3 and counted["queries"] == 1
    await hub._invalidate_layer_cache_task("plots")  # what every edit of the layer does first
    assert (await client_for().get(empty)).status_code == 204 and counted["queries"] == 2
    raw_redis.delete("tile_generation:mvt_v8:plots")  # a Redis that lost its data starts at generation 0 again
    assert (await client_for().get(empty)).status_code == 204 and counted["queries"] == 3


async def test_a_failed_query_fails_every_waiter_once_and_is_not_kept(hub, client_for, raw_redis, plot_point,
                                                                      counted, monkeypatch, hub_log):
    z, x, y = tile_at(plot_point, 13)
    real_text = hub.text
    monkeypatch.setattr(hub, "text", lambda sql: real_text("SELECT 1 / 0"))  # a real error of the server
    responses = await asyncio.gather(*(client_for().get(f"/gis/plots/{z}/{x}/{y}.pbf") for _ in range(6)))
    assert [(r.status_code, r.json()) for r in responses] == [(500, {"detail": "Database error"})] * 6
    assert counted["queries"] == 1 and counted["writes"] == 0
    assert len(hub_log.messages("ERROR")) == 6  # each request logs its own answer
    assert raw_redis.keys("mvt_v8:*") == []

    monkeypatch.setattr(hub, "text", real_text)  # the failure did not stick to the tile
    assert (await client_for().get(f"/gis/plots/{z}/{x}/{y}.pbf")).status_code == 200


async def test_waiter_takes_over_when_the_query_owner_is_cancelled(hub, app, raw_redis, plot_point, counted,
                                                                    monkeypatch):
    from database import SessionLocal

    z, x, y = tile_at(plot_point, 15)
    real_text, calls = hub.text, []

    def slow_first(sql):
        calls.append(sql)
        if len(calls) == 1:  # the owner's query lasts long enough to be cancelled in flight
            return real_text(sql.replace("FROM (", "FROM pg_sleep(2), (", 1))
        return real_text(sql)

    monkeypatch.setattr(hub, "text", slow_first)

    async def viewer(address: str):
        request = Request({"type": "http", "client": (address, 1), "headers": []})
        async with SessionLocal() as session:
            return await hub.get_tile_xyz("plots", z, x, y, request, session)

    async def cancel_one_of_two(owner_address: str, waiter_address: str, cancel_owner: bool):
        """The owner's query in flight, a waiter joined to it, one of the two cancelled: the other's answer."""
        owner = asyncio.create_task(viewer(owner_address))
        await asyncio.sleep(0.3)
        waiter = asyncio.create_task(viewer(waiter_address))
        await asyncio.sleep(0.2)
        cancelled, other = (owner, waiter) if cancel_owner else (waiter, owner)
        cancelled.cancel()
        with pytest.raises(asyncio.CancelledError):
            await cancelled
        return await asyncio.wait_for(other, 10)

    response = await cancel_one_of_two("10.250.0.1", "10.250.0.2", cancel_owner=True)
    assert response.status_code == 200 and response.body
    assert len(calls) == 2 and counted["writes"] == 1

    # A cancelled waiter leaves the owner's query alone.
    raw_redis.flushdb()
    calls.clear()
    assert (await cancel_one_of_two("10.250.0.3", "10.250.0.4", cancel_owner=False)).status_code == 200
    assert len(calls) == 1
