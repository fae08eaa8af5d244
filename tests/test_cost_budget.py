"""Each client's budget of expensive work, and the host's slots of database work shared by its
workers, on the real servers."""

from __future__ import annotations

import asyncio
import contextlib
import fcntl
import os
from collections.abc import Iterator

import pytest
import services
from demo_tiles import plot_centre, tile_at
from fastapi import HTTPException

pytestmark = pytest.mark.usefixtures("demo_cadastre")


@pytest.fixture(scope="module")
async def plot_lonlat() -> tuple[float, float]:
    lat, lon = await plot_centre(500)
    return lon, lat


def box(lon: float, lat: float, d: float = 0.003) -> dict[str, float]:
    return {"minx": lon - d, "miny": lat - d, "maxx": lon + d, "maxy": lat + d}


def debt(raw_redis, address: str) -> float:
    return float(raw_redis.hget(f"cost_budget:{address}", "debt") or 0)


@contextlib.contextmanager
def host_slots_held(hub, count: int) -> Iterator[None]:
    """Every one of the host's `count` slots held by another holder (as another worker would hold
    them: a lock of its own on each slot's file)."""
    held = []
    try:
        for i in range(count):
            fd = os.open(os.path.join(hub.HOST_SLOTS_DIR, f"database-{i}.lock"), os.O_RDWR | os.O_CREAT)
            held.append(fd)
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        yield
    finally:
        for fd in held:
            os.close(fd)


@pytest.fixture
def one_host_slot(hub, monkeypatch, tmp_path):
    (tmp_path / "slots").mkdir()
    monkeypatch.setattr(hub, "HOST_SLOTS_DIR", str(tmp_path / "slots"))
    monkeypatch.setattr(hub, "HOST_DATABASE_SLOTS", 1)
    monkeypatch.setattr(hub, "HOST_DATABASE_WAIT_S", 0.3)


async def test_work_past_the_burst_is_refused_until_paid_off_and_shared_by_every_worker(hub, raw_redis, monkeypatch):
    monkeypatch.setattr(hub, "COST_BUDGET_MS", 1000.0)
    monkeypatch.setattr(hub, "COST_BURST_MS", 500.0)
    await hub.admit_cost("10.77.0.1")
    await hub.settle_cost("10.77.0.1", 2.0)  # two seconds of work: 1.5 s past the burst
    assert 1950 <= debt(raw_redis, "10.77.0.1") <= 2000
    # The account is in Redis: a second worker's view is the same (the module's own script, run
    # here by a client of its own, stands for one).
    with pytest.raises(HTTPException) as refused:
        await hub.admit_cost("10.77.0.1")
    assert refused.value.status_code == 429 and refused.value.headers == {"Retry-After": "2"}
    assert refused.value.detail == "Too much work asked from this address. Please slow down."
    await hub.admit_cost("10.77.0.2")  # each address its own account
    assert 0 < raw_redis.pttl("cost_budget:10.77.0.1") <= 3000  # gone once paid off
    await asyncio.sleep(1.6)
    await hub.admit_cost("10.77.0.1")


async def test_while_redis_is_down_each_process_keeps_the_accounts(hub, raw_redis, monkeypatch, fresh_pool, hub_log):
    monkeypatch.setattr(hub, "COST_BURST_MS", 500.0)
    with services.redis_stopped():
        await hub.admit_cost("10.77.1.1")
        await hub.settle_cost("10.77.1.1", 1.0)
        with pytest.raises(HTTPException) as refused:
            await hub.admit_cost("10.77.1.1")
    assert refused.value.status_code == 429
    assert any(m.startswith("Cost budget check failed: ") for m in hub_log.messages("WARNING"))


async def test_uncached_boxes_cost_their_statements_and_cached_ones_nothing(client_for, hub, raw_redis, plot_lonlat,
                                                                            monkeypatch):
    address = "10.77.2.1"
    monkeypatch.setattr(hub, "COST_BUDGET_MS", 0.01)  # the debt stays, however slow the machine
    client = client_for(address)
    first = await client.get("/gis/plots/bbox/", params=box(*plot_lonlat))
    assert first.status_code == 200 and first.headers["x-cache"] == "MISS"
    charged = debt(raw_redis, address)
    assert charged > 0
    monkeypatch.setattr(hub, "COST_BURST_MS", charged / 10)  # the client is now past its burst
    again = await client.get("/gis/plots/bbox/", params=box(*plot_lonlat))
    assert again.status_code == 200 and again.headers["x-cache"] == "HIT"
    assert debt(raw_redis, address) <= charged  # a cached box is never charged, nor refused
    other = await client.get("/gis/plots/bbox/", params=box(*plot_lonlat, d=0.004))
    assert other.status_code == 429 and int(other.headers["retry-after"]) >= 1


async def test_the_all_layers_tile_is_charged_only_for_what_it_generates(client_for, raw_redis, plot_point):
    address = "10.77.3.1"
    client = client_for(address)
    z, x, y = tile_at(plot_point, 15)
    assert (await client.get(f"/gis/all/{z}/{x}/{y}.pbf")).status_code == 200
    charged = debt(raw_redis, address)
    assert charged > 0
    raw_redis.delete(f"cost_budget:{address}")
    assert (await client.get(f"/gis/all/{z}/{x}/{y}.pbf")).headers["x-cache"] == "HIT"
    assert debt(raw_redis, address) == 0


async def test_the_hosts_slots_bound_expensive_work_of_every_worker_but_never_cached_tiles(
        client_for, hub, raw_redis, plot_lonlat, plot_point, one_host_slot):
    client = client_for()
    z, x, y = tile_at(plot_point, 16)
    assert (await client.get(f"/gis/plots/{z}/{x}/{y}.pbf")).status_code == 200  # cached now
    with host_slots_held(hub, 1):
        busy = await client.get("/gis/plots/bbox/", params=box(*plot_lonlat, d=0.0025))
        assert busy.status_code == 503 and busy.headers["retry-after"] == "1"
        assert busy.json() == {"detail": "Too busy for database work now. Please try again shortly."}
        search = await client.get("/plots/search", params={"q": "1"})
        assert search.status_code == 503  # the host's own statements share the bound
        cached = await client.get(f"/gis/plots/{z}/{x}/{y}.pbf")
        assert cached.status_code == 200 and cached.headers["x-cache"] == "HIT"
    assert (await client.get("/gis/plots/bbox/", params=box(*plot_lonlat, d=0.0025))).status_code == 200
    # Requests of one process share the slots too: one at a time, all answered.
    answers = await asyncio.gather(*(client_for().get("/gis/plots/bbox/", params=box(*plot_lonlat, d=0.001 * k))
                                     for k in range(1, 5)))
    assert [a.status_code for a in answers] == [200] * 4
