"""Tile traffic while the real Redis is paused, stopped and restarted, and while one address floods."""

from __future__ import annotations

import asyncio
import time

import pytest
import redis.asyncio
import services
from demo_tiles import tile_at

pytestmark = pytest.mark.usefixtures("demo_cadastre")


def count(messages: list[str], prefix: str) -> int:
    return len([m for m in messages if m.startswith(prefix)])


async def until_served_from_cache(client, path: str, seconds: float) -> bool:
    """Request `path` every 0.2 s until it is answered from the cache, at most `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        response = await client.get(path)
        assert response.status_code == 200
        if response.headers.get("x-cache") == "HIT":
            return True
        await asyncio.sleep(0.2)
    return False


async def test_paused_redis_is_skipped_until_it_answers_again(hub, client_for, raw_redis, hub_log, plot_point,
                                                              fresh_pool):
    path = "/gis/plots/%d/%d/%d.pbf" % tile_at(plot_point, 15)
    assert (await client_for().get(path)).status_code == 200  # now cached
    with services.redis_paused():
        started = time.monotonic()
        first = await asyncio.gather(*(client_for().get(path) for _ in range(8)))
        first_wave = time.monotonic() - started
        assert [r.status_code for r in first] == [200] * 8
        assert not [r for r in first if "x-cache" in r.headers]  # from PostGIS
        assert hub.redis_breaker_state() in ("open", "half_open")
        started = time.monotonic()
        for _ in range(10):
            assert (await client_for().get(path)).status_code == 200
        skipping = time.monotonic() - started
        health = (await client_for().get("/gis/health/")).json()
    # Each request used to wait for the client's 5 s socket time-out, twice.
    assert first_wave < 4 and skipping < 10
    assert health["cache_status"] == "unhealthy"
    assert await until_served_from_cache(client_for(), path, 20)
    assert hub.redis_breaker_state() == "closed"
    warnings = hub_log.messages("WARNING")
    assert count(warnings, "Circuit breaker open for the rate limit: Redis is skipped for 1 s after ") == 1
    assert count(warnings, "Circuit breaker open for the tile cache: Redis is skipped for 1 s after ") == 1
    assert 1 <= count(warnings, "Rate limit check failed: ") < 8 + 5  # the first wave and a few probes
    assert {"Circuit breaker closed for the rate limit: Redis answers again",
            "Circuit breaker closed for the tile cache: Redis answers again"} <= set(hub_log.messages("INFO"))


async def test_stopped_redis_then_restarted(hub, client_for, raw_redis, hub_log, plot_point, fresh_pool):
    z, x, y = tile_at(plot_point, 16)
    path = f"/gis/plots/{z}/{x}/{y}.pbf"
    client = client_for("10.201.0.1")
    with services.redis_stopped():
        await hub.redis_client.connection_pool.disconnect()
        for _ in range(5):
            assert (await client.get(path)).status_code == 200
        assert hub.redis_breaker_state() in ("open", "half_open")
        # The breaker belongs to the client: a replaced client starts closed, and reaches Redis.
        previous = hub.redis_client
        hub.redis_client = redis.asyncio.Redis(connection_pool=previous.connection_pool)
        assert hub.redis_breaker_state() == "closed"
        failed_checks = count(hub_log.messages("WARNING"), "Rate limit check failed: ")
        assert (await client.get(path)).status_code == 200
        assert count(hub_log.messages("WARNING"), "Rate limit check failed: ") == failed_checks + 1
        hub.redis_client = previous
        assert hub.redis_breaker_state() != "closed"
    # Started again, empty: a probe closes the breakers, and both the cache and the limit work.
    assert await until_served_from_cache(client, path, 20)
    assert hub.redis_breaker_state() == "closed"
    assert raw_redis.exists(f"mvt_v8:plots:{z}:{x}:{y}")
    assert int(raw_redis.get("rate_limit:gis:10.201.0.1")) >= 1


async def test_a_flood_from_one_address_is_held_to_the_limit(hub, client_for, raw_redis, hub_log, plot_point):
    path = "/gis/plots/%d/%d/%d.pbf" % tile_at(plot_point, 14)
    assert (await client_for().get(path)).status_code == 200
    # The pool opened in full first, as on a server that has run a while: opening 128 connections
    # at once is not what this test is about, and under a loaded machine it outlasts the pool's wait.
    await asyncio.gather(*(hub.redis_client.ping() for _ in range(hub.redis_client.connection_pool.max_connections)))
    flood = client_for()
    started = time.monotonic()
    responses = await asyncio.gather(*(flood.get(path) for _ in range(160)))
    windows = int(time.monotonic() - started) + 1
    statuses = [r.status_code for r in responses]
    assert set(statuses) <= {200, 429} and statuses.count(429) >= 160 - 40 * windows
    # 160 requests at once need more connections than the pool holds; they wait for one.
    assert not [w for w in hub_log.messages("WARNING") if "failed" in w]


class ExhaustedPool:
    """The module's client and cache (or its cache alone) on a pool of two connections
    (blocking, as the module's own, waiting `wait` seconds for one; or plain, failing at once),
    both held out on calls of their own, as one address's flood would hold every one:
    `release()` gives them back."""

    def __init__(self, hub, monkeypatch, kind: str = "blocking", wait: float = 0.05, cache_only: bool = False) -> None:
        address = {"host": services.LOOPBACK, "port": services.REDIS_PORT, "max_connections": 2}
        self.pool = (redis.asyncio.BlockingConnectionPool(timeout=wait, **address) if kind == "blocking"
                     else redis.asyncio.ConnectionPool(**address))
        self.client = redis.asyncio.Redis(connection_pool=self.pool)
        if not cache_only:
            monkeypatch.setattr(hub, "redis_client", self.client)
        monkeypatch.setattr(hub, "cache", hub.BinaryRedisCache(self.client, "mvt_v8"))
        self.held = []

    async def __aenter__(self) -> ExhaustedPool:
        self.held = [await self.pool.get_connection() for _ in range(self.pool.max_connections)]
        return self

    async def __aexit__(self, *exc) -> None:
        await self.release()

    async def release(self) -> None:
        while self.held:
            await self.pool.release(self.held.pop())


@pytest.mark.parametrize("kind", ["blocking", "plain"])
async def test_an_exhausted_pool_is_the_processs_saturation_not_a_redis_fault(hub, monkeypatch, client_for, raw_redis,
                                                                             hub_log, plot_point, kind):
    """No free connection in the pool is not Redis failing: tiles and boxes are answered from
    PostGIS (the read a miss, the write dropped), the breakers stay closed, one WARNING a second
    for each use says so, and once connections come back the tiles are cached again."""
    tile = "/gis/plots/%d/%d/%d.pbf" % tile_at(plot_point, 17)
    lat, lon = plot_point
    box = {"minx": lon - 0.001, "miny": lat - 0.001, "maxx": lon + 0.001, "maxy": lat + 0.001}
    viewer = client_for()
    async with ExhaustedPool(hub, monkeypatch, kind) as exhausted:
        started, answers = time.monotonic(), []
        # Longer than the log's interval, so that each use has had its line whenever its last was.
        while time.monotonic() - started < 1.2:
            answers += [await client_for().get(tile), await client_for().get("/gis/plots/bbox/", params=box)]
        seconds = time.monotonic() - started
        assert {a.status_code for a in answers} == {200}
        assert [a.headers.get("x-cache") for a in answers] == [None, "MISS"] * (len(answers) // 2)
        assert hub.redis_breaker_state() == "closed"
        await exhausted.release()
        assert (await viewer.get(tile)).headers.get("x-cache") is None  # generated, and stored this time
        assert (await viewer.get(tile)).headers["x-cache"] == "HIT"
        assert (await viewer.get("/gis/plots/bbox/", params=box)).headers["x-cache"] == "MISS"
        assert (await viewer.get("/gis/plots/bbox/", params=box)).headers["x-cache"] == "HIT"
    assert raw_redis.keys("mvt_v8:plots:*") and raw_redis.keys("mvt_v8:bbox:plots:*")
    warnings = hub_log.messages("WARNING")
    assert not [w for w in warnings if w.startswith(("Circuit breaker", "Rate limit check failed", "Cache get failed"))]
    for use in ("the rate limit", "the tile cache"):
        lines = [w for w in warnings if w.startswith(f"Redis connection pool exhausted for {use}: ")]
        assert 1 <= len(lines) <= seconds + 1 < len(answers), warnings  # once a second at most
        assert "(REDIS_MAX_CONNECTIONS)" in lines[0]
    await exhausted.client.aclose()


async def test_a_time_limit_spent_waiting_for_a_connection_is_the_pools(hub, monkeypatch, client_for, raw_redis,
                                                                       hub_log, plot_point):
    """The module's pool waits as long for a connection as a cache call may take (1 s), so the
    call's own time limit runs out first. While Redis answers the module's other calls (here
    the rate limit's, on a client of their own), that time-out is the pool's: no breaker opens.
    While Redis answers nothing, it counts against Redis as before."""
    z, x, y = tile_at(plot_point, 18)
    stop = asyncio.Event()

    async def answered_meanwhile() -> None:  # rate counts of other addresses, which Redis answers
        while not stop.is_set():
            assert (await client_for().get("/gis/roads/1/0/0.pbf")).status_code == 404
            await asyncio.sleep(0.02)

    def opened() -> list[str]:
        return [w for w in hub_log.messages("WARNING") if w.startswith("Circuit breaker open for the tile cache")]

    async with ExhaustedPool(hub, monkeypatch, wait=5.0, cache_only=True) as exhausted:
        others = asyncio.create_task(answered_meanwhile())
        try:
            answer = await client_for().get(f"/gis/plots/{z}/{x}/{y}.pbf")
        finally:
            stop.set()
            await others
        assert answer.status_code == 200 and "x-cache" not in answer.headers
        assert not opened()
        assert [w for w in hub_log.messages("WARNING") if w.startswith("Redis connection pool exhausted for the tile "
                                                                         "cache: ")]
        assert (await client_for().get(f"/gis/plots/{z}/{x + 1}/{y}.pbf")).status_code == 200
        assert opened() == ["Circuit breaker open for the tile cache: Redis is skipped for 1 s after TimeoutError"]
    await exhausted.client.aclose()


@pytest.mark.parametrize("fault", ["stopped", "out of memory", "pool exhausted"])
async def test_the_limit_holds_while_redis_cannot_count(hub, monkeypatch, client_for, raw_redis, hub_log, fresh_pool,
                                                        fault):
    """While Redis cannot count (out of reach, its breaker open, or refusing writes for want of
    memory), or this process has no free connection to it, the process counts each address
    itself: a flood is still held to the limit."""
    path = "/gis/roads/1/0/0.pbf"  # counted before the layer check: the burst costs no query
    flood, other = client_for(), client_for()

    async def burst() -> list[int]:
        started = time.monotonic()
        statuses = [(await flood.get(path)).status_code for _ in range(45)]
        assert time.monotonic() - started < 1.0, "the burst must fit in one window"
        return statuses

    if fault == "stopped":
        with services.redis_stopped():
            statuses = await burst()
            assert (await other.get(path)).status_code == 404  # each address its own window
    elif fault == "pool exhausted":
        async with ExhaustedPool(hub, monkeypatch, wait=0.001):
            statuses = await burst()
            assert (await other.get(path)).status_code == 404
        assert hub.redis_breaker_state() == "closed"
    else:
        settings = {name: raw_redis.config_get(name)[name] for name in ("maxmemory", "maxmemory-policy")}
        raw_redis.config_set("maxmemory-policy", "noeviction")
        raw_redis.config_set("maxmemory", "1")  # every write refused: "OOM command not allowed"
        try:
            statuses = await burst()
            assert (await other.get(path)).status_code == 404
        finally:
            for name, value in settings.items():
                raw_redis.config_set(name, value)
        assert any("used memory > 'maxmemory'" in w for w in hub_log.messages("WARNING"))
    assert statuses[:40] == [404] * 40 and statuses[40:] == [429] * 5


def test_a_full_redis_evicts_entries_that_expire_and_keeps_the_generations(raw_redis):
    """The project's Redis is bounded, and what makes room is what expires (tiles, plans, rate
    counts), about the least recently used first; the layers' generations, which a stale write is
    checked against, never expire and are never evicted."""
    bound = int(raw_redis.config_get("maxmemory")["maxmemory"])
    assert bound > 0 and raw_redis.config_get("maxmemory-policy")["maxmemory-policy"] == "volatile-lru"
    raw_redis.config_set("maxmemory", str(raw_redis.info("memory")["used_memory"] + 8 * 2**20))
    try:
        raw_redis.set("tile_generation:mvt_v8:plots", 7)
        for n in range(48):  # a walk over plans: far more than the room left
            raw_redis.set(f"survey_plan:png:x:{n}", b"\0" * 2**20, ex=86400)
        assert raw_redis.info("memory")["used_memory"] <= int(raw_redis.config_get("maxmemory")["maxmemory"])
        assert raw_redis.get("tile_generation:mvt_v8:plots") == b"7"
        assert 0 < len(raw_redis.keys("survey_plan:*")) < 48
    finally:
        raw_redis.config_set("maxmemory", str(bound))
