"""Fair shares of the expensive routes: a client's rate of searches and plan requests (in Redis,
and in the process while Redis cannot count), each worker's bound on concurrent database
work, which cached tiles never wait for, and its bounds on open versions streams."""

from __future__ import annotations

import asyncio
import time

import httpx
import pytest
import redis.asyncio as redis_module
import services
from delivery import fair_share
from demo_tiles import tile_at
from fastapi import HTTPException
from served_app import uvicorn_app

pytestmark = pytest.mark.usefixtures("demo_cadastre")


@pytest.mark.parametrize("redis", ["up", "stopped", "pool exhausted"])
@pytest.mark.parametrize("path, params, answer, name", [
    ("/plots/search", {"q": "A01"}, 200, "search"),
    # a plot that does not exist: each answer before the limit reads the database (404), the one
    # past it is refused before anything is read
    ("/plans/2147483000.png", {}, 404, "survey plan"),
], ids=["search", "plans"])
async def test_a_clients_requests_are_held_to_their_rate(client_for, raw_redis, monkeypatch, caplog, redis, path,
                                                         params, answer, name, fresh_pool):
    client, other = client_for(), client_for()

    async def burst() -> list:
        started = time.monotonic()
        answers = [await client.get(path, params=params) for _ in range(11)]
        assert time.monotonic() - started < 1.0, "the burst must fit in one window"
        return answers

    if redis == "up":
        answers = await burst()
    elif redis == "stopped":
        with services.redis_stopped():
            answers = await burst()
    else:  # the counter's one connection held out on another call: each count finds none free
        pool = redis_module.ConnectionPool(host=services.LOOPBACK, port=services.REDIS_PORT, max_connections=1)
        counter = fair_share.RateCounter()  # not backing off from an earlier test's Redis
        counter._client = redis_module.Redis(connection_pool=pool)
        monkeypatch.setattr(fair_share, "COUNTER", counter)
        held = await pool.get_connection()
        try:
            answers = await burst()
        finally:
            await pool.release(held)
        # One line for the burst (within one second), not one a request.
        (warning,) = [r.getMessage() for r in caplog.records if r.name == "vexa.fair_share"]
        assert warning.startswith("Redis connection pool exhausted for the rate limit: 1 call(s) since the last such "
                                  "line found all 1 connections of this process's pool in use")
    assert [a.status_code for a in answers] == [answer] * 10 + [429]
    assert answers[-1].headers["retry-after"] == "1"
    assert answers[-1].json() == {"detail": f"Too many {name} requests. Please slow down."}
    assert (await other.get(path, params=params)).status_code == answer  # each address its own
    if redis == "pool exhausted":  # Redis was never left alone for it: the next count is made there
        assert raw_redis.get(f"rate_limit:{name}:{other._transport.client[0]}") == b"1"


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
        hit = await client.get(tile)
        assert (hit.status_code, hit.headers["x-cache"]) == (200, "HIT")
    finally:
        for _ in range(work.slots):
            work.leave()
    assert (await client.get("/plots/search", params={"q": "A01"})).status_code == 200


async def test_busy_bounding_boxes_are_refused_after_their_rate(hub, client_for, raw_redis, monkeypatch):
    """The tile module bounds its bounding-box queries itself, after the client's rate: a client
    past its rate is told so (429), not that the worker is busy."""
    monkeypatch.setattr(hub, "BBOX_QUERY_SLOTS", 0)  # every slot taken
    monkeypatch.setattr(hub, "BBOX_QUERY_WAIT_S", 0.01)
    client = client_for()
    params = {"minx": 7.33, "miny": 8.93, "maxx": 7.34, "maxy": 8.94}
    # All at once, so that they fall in one rate window however loaded the machine is.
    answers = await asyncio.gather(*(client.get("/gis/plots/bbox/", params=params) for _ in range(21)))
    assert sorted(a.status_code for a in answers) == [429] + [503] * 20
    busy = next(a for a in answers if a.status_code == 503)
    assert busy.json() == {"detail": "Too busy for bounding-box tiles now. Please try again shortly."}
    assert {a.headers["retry-after"] for a in answers} == {"1"}
    monkeypatch.setattr(hub, "BBOX_QUERY_SLOTS", 6)
    assert (await client_for().get("/gis/plots/bbox/", params=params)).status_code in (200, 204)


async def test_bounding_box_slots_are_given_back_however_their_requests_end(hub, client_for, raw_redis, monkeypatch):
    monkeypatch.setattr(hub, "BBOX_QUERY_SLOTS", 1)
    monkeypatch.setattr(hub, "BBOX_QUERY_WAIT_S", 0.05)
    boxes = [{"minx": 7.33 + i / 1000, "miny": 8.93, "maxx": 7.34 + i / 1000, "maxy": 8.94} for i in range(12)]
    answers = await asyncio.gather(*(client_for().get("/gis/plots/bbox/", params=box) for box in boxes),
                                   client_for().get("/gis/plots/bbox/", params={**boxes[0], "srid": 2100}),
                                   client_for().get("/gis/plots/bbox/", params={**boxes[0], "minx": 7.5}))
    statuses = [a.status_code for a in answers]
    assert set(statuses) <= {200, 204, 400, 503} and statuses.count(503) > 0  # one at a time, the rest refused
    for box in boxes:  # every slot came back: one request at a time always finds one
        assert (await client_for().get("/gis/plots/bbox/", params=box)).status_code in (200, 204)


def stream_place_free(hub, address: str) -> bool:
    """Whether a versions stream of `address` finds a place (the stream made to ask is dropped at
    once, and gives its place back as it goes)."""
    try:
        hub.TileVersionStream(address)
    except HTTPException as refusal:
        assert refusal.status_code == 429
        return False
    return True


async def test_a_streams_place_is_given_back_however_the_stream_ends(hub, raw_redis, monkeypatch):
    monkeypatch.setattr(hub, "VERSION_STREAMS_PER_ADDRESS", 1)

    dropped = hub.TileVersionStream("198.51.100.1")  # made, never read
    assert not stream_place_free(hub, "198.51.100.1")
    assert not stream_place_free(hub, "198.51.100.1")  # a refused stream gave back no other's place
    del dropped
    assert stream_place_free(hub, "198.51.100.1")

    cancelled = hub.TileVersionStream("198.51.100.2")
    assert (await anext(cancelled)).startswith("retry: 1000\ndata: {")
    waiting = asyncio.ensure_future(anext(cancelled))  # no change comes: it waits
    await asyncio.sleep(0.05)
    waiting.cancel()  # as the server cancels it when its client goes
    with pytest.raises(asyncio.CancelledError):
        await waiting
    assert cancelled.address is None and stream_place_free(hub, "198.51.100.2")
    with pytest.raises(StopAsyncIteration):  # a stream that gave its place back has ended
        await anext(cancelled)

    class Unwritable:
        @staticmethod
        def dumps(value):
            raise TypeError("versions that cannot be written")

    failed = hub.TileVersionStream("198.51.100.3")
    monkeypatch.setattr(hub, "json", Unwritable)
    with pytest.raises(TypeError):
        await anext(failed)
    assert stream_place_free(hub, "198.51.100.3")


STREAM_BOUNDS = "import vexa.maptile_hub as hub\nhub.VERSION_STREAMS_PER_ADDRESS = 2\nhub.VERSION_STREAMS_PER_WORKER = 3"


@pytest.fixture(scope="module")
def bounded_streams_app():
    """The host app under uvicorn with the tile module's stream bounds set low (2 an address, 3 in all)."""
    with uvicorn_app("uvicorn-streams.log", setup=STREAM_BOUNDS) as base:
        yield base


class VersionStream:
    """One GET /gis/tile-versions on a connection of its own, from `address` (the loopback is
    a trusted proxy: uvicorn takes the client's address from X-Forwarded-For)."""

    def __init__(self, base: str, address: str) -> None:
        self.client = httpx.AsyncClient(base_url=base, timeout=10, headers={"X-Forwarded-For": address})

    async def open(self) -> httpx.Response:
        """The answer; of a stream, once its first event has come (its lines are kept: an
        iteration of them given up would close the connection)."""
        self.response = await self.client.send(self.client.build_request("GET", "/gis/tile-versions"), stream=True)
        if self.response.status_code == 200:
            self.lines = self.response.aiter_lines()
            while not (await anext(self.lines)).startswith("data: "):
                pass
        else:
            await self.response.aread()
        return self.response

    async def close(self) -> None:
        await self.response.aclose()
        await self.client.aclose()


async def test_open_streams_are_bounded_per_address_and_per_worker(bounded_streams_app, raw_redis):
    opened: list[VersionStream] = []

    async def stream(address: str) -> httpx.Response:
        opened.append(VersionStream(bounded_streams_app, address))
        return await opened[-1].open()

    try:
        assert [(await stream("203.0.113.1")).status_code for _ in range(2)] == [200, 200]
        refused = await stream("203.0.113.1")
        assert (refused.status_code, refused.headers["retry-after"]) == (429, "5")
        assert refused.json() == {"detail": "Too many open tile-versions streams from this address (at most 2 on "
                                            "this worker). Please try again in 5 s."}
        assert (await stream("203.0.113.2")).status_code == 200  # another address: the worker's third
        full = await stream("203.0.113.3")
        assert (full.status_code, full.headers["retry-after"]) == (503, "5")
        assert full.json() == {"detail": "Too many open tile-versions streams on this worker (at most 3). "
                                         "Please try again in 5 s."}

        await opened[0].close()  # a client goes: the server sees its connection end, and frees its place
        for _ in range(50):
            if (await stream("203.0.113.3")).status_code == 200:
                break
            await asyncio.sleep(0.1)
        else:
            raise AssertionError("the place of a closed stream was never given back")
    finally:
        for each in opened:
            await each.close()
    # Every stream gone, every place free again (the refused ones took none).
    fresh = [await stream(f"203.0.113.{n}") for n in (4, 5, 5)]
    assert [r.status_code for r in fresh] == [200] * 3
    for each in opened[-3:]:
        await each.close()
