"""Fair shares of the expensive routes: a client's rate of searches (in Redis, and in the process
while Redis cannot count), and each worker's bound on concurrent database work, which cached
tiles never wait for."""

from __future__ import annotations

import time

import pytest
import services
from demo_tiles import tile_at

pytestmark = pytest.mark.usefixtures("demo_cadastre")


@pytest.mark.parametrize("redis", ["up", "stopped"])
async def test_a_clients_searches_are_held_to_their_rate(client_for, raw_redis, redis):
    client, other = client_for(), client_for()

    async def burst() -> list:
        started = time.monotonic()
        answers = [await client.get("/plots/search", params={"q": "A01"}) for _ in range(11)]
        assert time.monotonic() - started < 1.0, "the burst must fit in one window"
        return answers

    if redis == "up":
        answers = await burst()
    else:
        with services.redis_stopped():
            answers = await burst()
    assert [a.status_code for a in answers] == [200] * 10 + [429]
    assert answers[-1].headers["retry-after"] == "1"
    assert answers[-1].json() == {"detail": "Too many search requests. Please slow down."}
    assert (await other.get("/plots/search", params={"q": "A01"})).status_code == 200  # each address its own


async def test_busy_database_work_is_refused_and_cached_tiles_are_not(client_for, raw_redis, plot_point):
    import main

    client = client_for()
    tile = "/gis/plots/%d/%d/%d.pbf" % tile_at(plot_point, 16)
    assert (await client.get(tile)).status_code == 200  # cached now
    work = main.DATABASE_WORK
    for _ in range(work.slots):  # every slot taken, as by long queries
        await work.enter()
    try:
        started = time.monotonic()
        refused = await client.get("/plots/search", params={"q": "A01"})
        waited = time.monotonic() - started
        assert (refused.status_code, refused.headers["retry-after"]) == (503, "1")
        assert refused.json() == {"detail": "Too busy for database queries now. Please try again shortly."}
        assert work.wait_s <= waited < work.wait_s + 1
        box = await client.get("/gis/plots/bbox/", params={"minx": 7.33, "miny": 8.93, "maxx": 7.34, "maxy": 8.94})
        assert box.status_code == 503
        hit = await client.get(tile)
        assert (hit.status_code, hit.headers["x-cache"]) == (200, "HIT")
    finally:
        for _ in range(work.slots):
            work.leave()
    assert (await client.get("/plots/search", params={"q": "A01"})).status_code == 200
