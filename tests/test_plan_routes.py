"""The host's plan endpoint on the project's PostGIS and Redis: drawn in the render pool's
processes, cached by the digest of the records, revalidated by ETag, drawn once for concurrent
requests, failures never cached."""

from __future__ import annotations

import asyncio
import logging
import os

import asyncpg
import psutil
import pytest
import redis.asyncio
import services
from metrics_scrape import scrape

pytestmark = [pytest.mark.services, pytest.mark.filterwarnings("ignore::DeprecationWarning"),
              pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")]

BROKEN_PLOT = 2_000_000_001


def plan_keys(raw_redis) -> list[bytes]:
    return list(raw_redis.scan_iter("survey_plan:*"))


def drawings(caplog) -> list[logging.LogRecord]:
    """The plans drawn (in the render pool's processes), as the host logged them on their return."""
    return [r for r in caplog.records if r.name == "vexa.plans" and " drawn in " in r.getMessage()]


async def plan_renders(client) -> float:
    return (await scrape(client)).get(("vexa_plan_renders_total", (("format", "png"),)), 0)


async def first_plot() -> tuple[int, int]:
    """A plot of the demo cadastre and one of its neighbours."""
    conn = await asyncpg.connect(services.PG_DSN)
    try:
        row = await conn.fetchrow('SELECT p."ID" AS plot, n."ID" AS neighbour FROM "GIS"."PLOT" p, "GIS"."PLOT" n '
                                  'WHERE p."ID" = 5000 AND n."ID" <> p."ID" AND ST_Touches(n."GEOMETRY", p."GEOMETRY") '
                                  'LIMIT 1')
        return row["plot"], row["neighbour"]
    finally:
        await conn.close()


async def test_plans_are_cached_revalidated_and_follow_their_records(demo_cadastre, client_for, raw_redis, caplog):
    plot, neighbour = await first_plot()
    url = f"/plans/{plot}.png"
    caplog.set_level(logging.DEBUG, logger="vexa.plans")
    async with client_for() as client:
        renders_before = await plan_renders(client)
        answers = await asyncio.gather(*[client.get(url) for _ in range(4)])
        assert [a.status_code for a in answers] == [200] * 4
        (drawn,) = drawings(caplog)  # four at once, drawn once
        _, _, pid, niceness = drawn.args  # in a process of the render pool, below the web worker's priority
        assert pid != os.getpid() and pid in {child.pid for child in psutil.Process().children()}
        assert niceness == min(os.nice(0) + 10, 19) == psutil.Process(pid).nice()
        assert len({a.content for a in answers}) == 1 and answers[0].content[:8] == b"\x89PNG\r\n\x1a\n"
        tag = answers[0].headers["ETag"]
        assert answers[0].headers["X-Plan-Scale"] == "1:500" and answers[0].headers["Cache-Control"] == "no-cache"
        assert len(plan_keys(raw_redis)) == 1

        again = await client.get(url)
        assert (again.status_code, again.content, again.headers["ETag"]) == (200, answers[0].content, tag)
        assert len(drawings(caplog)) == 1  # from Redis
        async with client_for() as holder:  # another client that holds the plan revalidates it
            for header in (tag, f"W/{tag}", f'"other", {tag}', "*"):
                revalidated = await holder.get(url, headers={"If-None-Match": header})
                assert (revalidated.status_code, revalidated.content, revalidated.headers["ETag"]) == (304, b"", tag)
            assert (await holder.get(url, headers={"If-None-Match": '"other"'})).status_code == 200

        # An edit of a neighbour changes the plan's key by itself.
        conn = await asyncpg.connect(services.PG_DSN)
        try:
            await conn.execute('UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_Translate("GEOMETRY", 0.5, 0) WHERE "ID" = $1',
                               neighbour)
            edited = await client.get(url, headers={"If-None-Match": tag})
            assert edited.status_code == 200 and edited.headers["ETag"] != tag and edited.content != answers[0].content
            assert len(drawings(caplog)) == 2 and len(plan_keys(raw_redis)) == 2
        finally:
            await conn.execute('UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_Translate("GEOMETRY", -0.5, 0) WHERE "ID" = $1',
                               neighbour)
            await conn.close()
        restored = await client.get(url, headers={"If-None-Match": tag})
        assert restored.status_code == 304 and len(drawings(caplog)) == 2
        assert await plan_renders(client) - renders_before == 2  # the metric counts drawings, not answers


async def test_plan_that_cannot_be_drawn_is_a_clear_500_and_not_cached(demo_cadastre, client_for, raw_redis, caplog):
    conn = await asyncpg.connect(services.PG_DSN)
    try:
        # A corrupt plot: a corner without a number for its easting.
        await conn.execute('INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "GEOMETRY") VALUES ($1, \'X/1\', '
                           "ST_SetSRID(ST_MakePolygon(ST_MakeLine(ARRAY[ST_MakePoint(816000, 999000), "
                           "ST_MakePoint('NaN', 999000), ST_MakePoint(816010, 999010), ST_MakePoint(816000, 999000)])), "
                           "3857))", BROKEN_PLOT)
        async with client_for() as client:
            answers = await asyncio.gather(*[client.get(f"/plans/{BROKEN_PLOT}.png") for _ in range(3)])
            assert [a.status_code for a in answers] == [500] * 3
            assert answers[0].json()["detail"].startswith(f"Survey plan of plot {BROKEN_PLOT} could not be drawn (")
            assert plan_keys(raw_redis) == []
            assert (await client.get(f"/plans/{BROKEN_PLOT}.png")).status_code == 500  # tried again, not remembered
    finally:
        await conn.execute('DELETE FROM "GIS"."PLOT" WHERE "ID" = $1', BROKEN_PLOT)
        await conn.close()


@pytest.mark.parametrize("fault", ["stopped", "pool exhausted"])
async def test_plans_are_drawn_while_redis_is_down(demo_cadastre, client_for, raw_redis, monkeypatch, caplog, fault):
    """Drawn while Redis is out of reach, or while the plan cache's pool has no free connection
    (its reads misses, its write lost, one line a second for it), and cached once it is back."""
    from plans import cache as plan_cache

    plot, _ = await first_plot()
    async with client_for() as client:
        if fault == "stopped":
            with services.redis_stopped():
                answer = await client.get(f"/plans/{plot + 1}.png")
        else:
            pool = redis.asyncio.ConnectionPool(host=services.LOOPBACK, port=services.REDIS_PORT, max_connections=1)
            monkeypatch.setattr(plan_cache, "_cache", plan_cache.PlanCache(redis.asyncio.Redis(connection_pool=pool)))
            held = await pool.get_connection()
            try:
                answer = await client.get(f"/plans/{plot + 1}.png")
            finally:
                await pool.release(held)
            warnings = [r.getMessage() for r in caplog.records if r.name == "vexa.plans" and r.levelname == "WARNING"]
            assert warnings and all(w.startswith("Redis connection pool exhausted for the survey plan cache: ")
                                    for w in warnings), warnings
        assert answer.status_code == 200 and answer.content[:4] == b"\x89PNG"
        assert (await client.get(f"/plans/{plot + 1}.png")).content == answer.content  # drawn again, now cached
    assert len(plan_keys(raw_redis)) == 1


async def test_recent_plans_are_answered_from_memory_within_its_bound(demo_cadastre, client_for, raw_redis, caplog):
    plot, _ = await first_plot()
    url = f"/plans/{plot + 2}.png"
    caplog.set_level(logging.DEBUG, logger="vexa.plans")
    async with client_for() as client:
        first = await client.get(url)
        assert first.status_code == 200
        with services.redis_paused():  # a stalled Redis costs a plan in memory nothing
            started = asyncio.get_running_loop().time()
            again = await client.get(url)
            assert (again.status_code, again.content) == (200, first.content)
            assert asyncio.get_running_loop().time() - started < 1.0 and len(drawings(caplog)) == 1

    from plans import cache as plan_cache

    recent = plan_cache.recent_plans(10)
    for key, size in (("a", 4), ("b", 4), ("c", 11), ("d", 4)):
        recent.put(key, plan_cache.Drawn(b"x" * size, {}))
    assert recent.get("a") is None and recent.get("c") is None  # the oldest out; one too large never in
    assert [recent.get(k).body for k in ("b", "d")] == [b"xxxx", b"xxxx"] and recent.size == 8


async def test_records_that_cannot_be_read_are_a_503_and_the_pool_recovers(demo_cadastre, client_for, monkeypatch):
    import database

    plot, _ = await first_plot()
    unreachable = services.database_url(port=1)  # nothing listens on port 1
    async with client_for() as client:
        monkeypatch.setattr(database, "DATABASE_URL", unreachable)
        database._pools.pop(asyncio.get_running_loop(), None)
        for url, detail in ((f"/plans/{plot}.png", f"Records of plot {plot} could not be read"),
                            (f"/plans/{plot}.pdf", f"Records of plot {plot} could not be read"),
                            ("/plots/search?q=S0", "Plot search is unavailable")):
            answer = await client.get(url)
            assert (answer.status_code, answer.json()["detail"]) == (503, detail), url
        monkeypatch.setattr(database, "DATABASE_URL", services.DATABASE_URL)  # the failed opening is not kept
        assert (await client.get(f"/plans/{plot}.png")).status_code == 200
