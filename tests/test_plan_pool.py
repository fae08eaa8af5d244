"""The render pool behind the plan routes: a bounded queue answered 503 when full, drawings given
up when nobody waits for them any more, a dead drawing process replaced, drawing processes that
end with their web worker, Redis holding a bounded number of plans."""

from __future__ import annotations

import asyncio
import functools
import os
import signal
import subprocess
import sys
import time

import psutil
import pytest
import services
from metrics_scrape import scrape
from plan_jobs import cycle_freed, cycle_left, held, started

from plans import cache as plan_cache
from plans import jobs
from plans import pool as render_pool
from plans import routes as plan_routes
from plans import settings as plan_settings
from settings import RedisSettings

pytestmark = [pytest.mark.usefixtures("demo_cadastre"), pytest.mark.filterwarnings("ignore::DeprecationWarning")]

A, B, C = 6101, 6102, 6103  # plots of the demo cadastre no other test draws


@pytest.fixture
async def pool_of_one(tmp_path, raw_redis, monkeypatch):
    """One drawing process with `waiting` places behind it (`make(waiting)`), the plan job
    replaced by `held` on `tmp_path`, a plan cache of its own (nothing in memory), the hold on."""
    pools = []

    def make(waiting: int) -> render_pool.RenderPool:
        pools.append(render_pool.RenderPool(1, waiting))
        monkeypatch.setattr(render_pool, "_pool", pools[-1])
        return pools[-1]

    monkeypatch.setattr(jobs, "png_plan", functools.partial(held, str(tmp_path)))
    # What these tests measure is the pool: one client asks for plans faster than a client may.
    monkeypatch.setattr(plan_routes, "DRAWINGS_PER_SECOND", 1000)
    cache = plan_cache.PlanCache(RedisSettings.from_environment().client(plan_cache.REDIS_TIMEOUT_S))
    monkeypatch.setattr(plan_cache, "_cache", cache)
    (tmp_path / "hold").touch()
    yield make
    (tmp_path / "hold").unlink(missing_ok=True)
    for pool in pools:
        pool.shutdown()
    await cache.client.aclose()


async def until(condition, what: str, seconds: float = 30.0) -> None:
    for _ in range(int(seconds / 0.02)):
        if condition():
            return
        await asyncio.sleep(0.02)
    raise AssertionError(f"never: {what}")


async def test_a_full_queue_answers_503_with_retry_after(pool_of_one, client_for, tmp_path, monkeypatch):
    pool = pool_of_one(waiting=1)
    monkeypatch.setattr(render_pool, "PLACE_WAIT_S", 0.3)
    async with client_for() as client:
        before = await scrape(client)
        first = asyncio.create_task(client.get(f"/plans/{A}.png"))
        await until(lambda: [plot for plot, _ in started(tmp_path)] == [A], "the first plan drawn")
        second = asyncio.create_task(client.get(f"/plans/{B}.png"))
        await until(lambda: pool.queued == 2, "the second plan queued")
        refused = await asyncio.wait_for(client.get(f"/plans/{C}.png"), 10)
        assert (refused.status_code, refused.headers["Retry-After"]) == (503, str(render_pool.RETRY_AFTER_S))
        assert refused.json()["detail"] == f"Survey plans are busy; try again in {render_pool.RETRY_AFTER_S} s"
        (tmp_path / "hold").unlink()
        assert [(await t).content for t in (first, second)] == [f"plan of plot {p}".encode() for p in (A, B)]
        after = await scrape(client)
    counted = {outcome: after.get(("vexa_plans_total", (("format", "png"), ("outcome", outcome))), 0)
               - before.get(("vexa_plans_total", (("format", "png"), ("outcome", outcome))), 0)
               for outcome in ("busy", "rendered")}
    assert counted == {"busy": 1, "rendered": 2}


async def test_a_drawing_whose_client_went_away_is_not_started(pool_of_one, client_for, app, tmp_path):
    pool = pool_of_one(waiting=2)
    gone = asyncio.Event()
    sent: list[dict] = []

    async def receive() -> dict:  # as uvicorn's: the request, then nothing until the client goes
        if not gone.is_set() and not sent:
            sent.append({"type": "request read"})
            return {"type": "http.request", "body": b"", "more_body": False}
        await gone.wait()
        return {"type": "http.disconnect"}

    async def send(message: dict) -> None:
        sent.append(message)

    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET", "scheme": "http",
             "path": f"/plans/{C}.png", "raw_path": f"/plans/{C}.png".encode(), "query_string": b"",
             "root_path": "", "headers": [(b"host", b"vexa.test")], "client": ("10.250.0.1", 40000),
             "server": ("vexa.test", 80)}
    async with client_for() as client:
        first = asyncio.create_task(client.get(f"/plans/{A}.png"))
        await until(lambda: started(tmp_path) != [], "the first plan drawn")
        cancelled = asyncio.create_task(client.get(f"/plans/{B}.png"))  # its request is cancelled
        await until(lambda: pool.queued == 2, "the second plan queued")
        disconnected = asyncio.create_task(app(scope, receive, send))  # its client disconnects
        await until(lambda: pool.queued == 3, "the third plan queued")
        cancelled.cancel()
        gone.set()
        with pytest.raises(asyncio.CancelledError):
            await cancelled
        await until(lambda: pool.queued == 2, "the cancelled plan out of the queue")
        (tmp_path / "hold").unlink()
        assert (await first).status_code == 200
        await disconnected
        assert [m["status"] for m in sent if m["type"] == "http.response.start"] == [499]
        assert [plot for plot, _ in started(tmp_path)] == [A]  # neither of the others was drawn
        assert (await client.get(f"/plans/{B}.png")).status_code == 200  # asked again, it is drawn
    assert [plot for plot, _ in started(tmp_path)] == [A, B] and pool.queued == 0


async def test_a_dead_drawing_process_answers_503_and_is_replaced(pool_of_one, client_for, tmp_path):
    pool_of_one(waiting=1)
    async with client_for() as client:
        first = asyncio.create_task(client.get(f"/plans/{A}.png"))
        await until(lambda: started(tmp_path) != [], "the plan drawn")
        ((_, pid),) = started(tmp_path)
        os.kill(pid, signal.SIGKILL)
        lost = await first
        assert (lost.status_code, lost.json()["detail"]) == (503, f"Survey plan of plot {A} could not be drawn now; try again")
        (tmp_path / "hold").unlink()
        again = await client.get(f"/plans/{A}.png")
        assert (again.status_code, again.content) == (200, f"plan of plot {A}".encode())
    ((_, dead), (_, replacement)) = started(tmp_path)
    assert replacement != dead


async def test_a_drawing_past_its_time_limit_is_abandoned_and_its_process_replaced(pool_of_one, client_for, tmp_path,
                                                                                 raw_redis):
    pool = pool_of_one(waiting=1)
    pool.draw_timeout_s = 0.5
    async with client_for() as client:
        late = await client.get(f"/plans/{B}.png")  # held: it never ends by itself
        assert (late.status_code, late.headers["retry-after"]) == (503, str(render_pool.RETRY_AFTER_S))
        assert late.json()["detail"] == f"Survey plan of plot {B} took too long to draw and was abandoned; try again later"
        ((_, killed),) = started(tmp_path)
        await until(lambda: not psutil.pid_exists(killed) or psutil.Process(killed).status() == psutil.STATUS_ZOMBIE,
                    "the late drawing's process ended")
        assert not raw_redis.keys("survey_plan:*")  # nothing of it kept
        await until(lambda: pool.queued == 0, "the late drawing's place given back")
        (tmp_path / "hold").unlink()
        again = await client.get(f"/plans/{B}.png")
        assert (again.status_code, again.content) == (200, f"plan of plot {B}".encode())
    ((_, _), (_, replacement)) = started(tmp_path)
    assert replacement != killed


async def test_redis_keeps_the_latest_plans_within_the_bound(pool_of_one, client_for, tmp_path, raw_redis, monkeypatch):
    pool_of_one(waiting=1)
    (tmp_path / "hold").unlink()
    monkeypatch.setattr(plan_settings, "MAX_IN_REDIS", 2)
    async with client_for() as client:
        tags = {}
        for plot in (A, B, C):
            answer = await client.get(f"/plans/{plot}.png")
            assert answer.status_code == 200
            tags[plot] = answer.headers["ETag"]
    keys = sorted(raw_redis.scan_iter("survey_plan:*"))
    assert len(keys) == 2 and sorted(raw_redis.zrange(plan_cache.STORED, 0, -1)) == keys
    assert {raw_redis.hget(key, "body") for key in keys} == {f"plan of plot {p}".encode() for p in (B, C)}
    assert all(plan_cache.TTL_S - 60 < raw_redis.ttl(key) <= plan_cache.TTL_S == 24 * 3600 for key in keys)
    assert 0 < raw_redis.ttl(plan_cache.STORED) <= plan_cache.TTL_S


async def test_what_a_drawing_leaves_is_freed_as_it_ends():
    """A drawn figure is a web of reference cycles: freed when its drawing ends, not when the
    collector gets round to it; what the first drawing leaves is set aside from the collector."""
    pool = render_pool.RenderPool(1, 0)
    try:
        await pool.run(cycle_left)
        freed, set_aside = (await pool.run(cycle_freed)).result
    finally:
        pool.shutdown()
    assert freed and set_aside > 10_000


def test_drawing_processes_end_with_their_web_worker():
    """A web worker killed (or ended by a signal) never closes its pool: the processes end by themselves."""
    script = ("import asyncio, os\n"
              "from plans import pool\n"
              "print(asyncio.run(pool.RenderPool(1, 0).run(os.getpid)).pid, flush=True)\n"
              "os._exit(0)\n")
    with subprocess.Popen([sys.executable, "-c", script], cwd=services.ROOT / "api", stdout=subprocess.PIPE,
                          text=True) as web_worker:
        worker = int(web_worker.stdout.readline())
        assert web_worker.wait(60) == 0
    deadline = time.monotonic() + 10 * render_pool.PARENT_CHECK_S
    while psutil.pid_exists(worker) and psutil.Process(worker).status() != psutil.STATUS_ZOMBIE:
        assert time.monotonic() < deadline, f"drawing process {worker} outlived its web worker"
        time.sleep(0.05)


async def test_a_client_has_two_distinct_plans_drawn_a_second(pool_of_one, client_for, tmp_path, monkeypatch):
    pool_of_one(waiting=8)
    monkeypatch.setattr(plan_routes, "DRAWINGS_PER_SECOND", 2)
    read = []  # the plots whose records were read: a refused drawing reads none
    records_of = plan_routes.records.records_from_database

    async def counted_records(conn, plot_id):
        read.append(plot_id)
        return await records_of(conn, plot_id)

    monkeypatch.setattr(plan_routes.records, "records_from_database", counted_records)
    (tmp_path / "hold").unlink()  # drawn at once
    async def admitted(plot: int) -> None:  # its records read: past the limit's count, drawing or drawn
        while plot not in read:
            await asyncio.sleep(0.005)

    async with client_for() as client, client_for() as other:
        # Each plan is asked for once the one before is admitted, not once it is drawn: however
        # long the drawings take, the three asks fall in one window.
        started_at = time.monotonic()
        same = asyncio.gather(*(client.get(f"/plans/{A}.png") for _ in range(3)))
        await asyncio.wait_for(admitted(A), 5)
        second = asyncio.ensure_future(client.get(f"/plans/{B}.png"))
        await asyncio.wait_for(admitted(B), 5)
        refused = await client.get(f"/plans/{C}.png")
        assert time.monotonic() - started_at < 1.0, "the three plans must be asked for in one window"
        assert [r.status_code for r in await same] == [200] * 3  # the same plan again is no new drawing
        assert (await second).status_code == 200
        assert refused.status_code == 429 and refused.headers["Retry-After"] == "1"
        assert refused.json() == {"detail": "Too many survey plans to draw. Please slow down."}
        assert B in read and C not in read  # the refused plan (C) read no records
        assert (await other.get(f"/plans/{C}.png")).status_code == 200  # another client is not held back


def test_the_drawing_processes_are_a_workers_share_of_the_cores():
    """Drawing processes per machine, not per web worker: each of VEXA_WORKERS workers starts its
    share of the cores, at least one; a worker alone (a plain uvicorn) all of them."""
    def processes(**env: str) -> int | str:
        environment = {k: v for k, v in os.environ.items() if k not in ("VEXA_WORKERS", "VEXA_RENDER_PROCESSES")}
        result = subprocess.run([sys.executable, "-c", "from plans import settings; print(settings.PROCESSES)"],
                                cwd=services.ROOT / "api", env={**environment, **env}, capture_output=True, text=True,
                                timeout=60)
        return int(result.stdout) if result.returncode == 0 else result.stderr

    cores = len(os.sched_getaffinity(0))
    assert processes() == cores
    assert processes(VEXA_WORKERS=str(cores * 3)) == 1
    assert processes(VEXA_WORKERS=str(cores * 3), VEXA_RENDER_PROCESSES="3") == 3  # the host's own number
    assert "VEXA_WORKERS must be a whole number of at least 1, not '0'" in processes(VEXA_WORKERS="0")
