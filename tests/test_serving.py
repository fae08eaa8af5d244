"""Production serving through `scripts/dev.sh serve`: worker processes that share the cache, the rate
limit and the metrics through Redis and one metrics directory, and client addresses taken from
X-Forwarded-For only when the connecting proxy is trusted; sized to the machine (the drawing
processes a share of its cores, every worker's connections within what the database admits);
stopped within its graceful time-out, open streams and all."""

from __future__ import annotations

import asyncio
import http.client
import os
import subprocess
import time
from collections.abc import Callable, Iterator

import asyncpg
import httpx
import psutil
import pytest
import services
from demo_tiles import OFFLINE_CENTRE, tile_at
from prometheus_client.parser import text_string_to_metric_families
from served_app import ARTIFACTS, free_port, uvicorn_app

REFUSED_PATH = "/gis/no_such_layer/1/0/0.pbf"  # rate-limited, then 404: no database work


def spawned(parent: psutil.Process) -> list[psutil.Process]:
    """The processes `parent` spawned through multiprocessing: uvicorn's workers, a worker's
    drawing processes (not multiprocessing's resource tracker)."""
    return [p for p in parent.children() if "spawn_main" in " ".join(p.cmdline())]


class Served:
    def __init__(self, process: subprocess.Popen, port: int, count: int) -> None:
        self.process, self.port, self.count = process, port, count

    def workers(self) -> list[psutil.Process]:
        main = psutil.Process(self.process.pid)
        if self.count == 1:  # the main process itself (its children draw plans)
            return [main]
        return spawned(main)

    def connection(self) -> http.client.HTTPConnection:
        """A kept-alive connection, already accepted by one worker."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        self.get(connection, "/gis/layers/")
        return connection

    def worker_of(self, connection: http.client.HTTPConnection) -> int | None:
        local = connection.sock.getsockname()[1]
        for worker in self.workers():
            if any(c.raddr and c.raddr.port == local for c in worker.net_connections("tcp")):
                return worker.pid
        return None

    @staticmethod
    def get(connection: http.client.HTTPConnection, path: str,
            headers: dict[str, str] | None = None) -> http.client.HTTPResponse:
        connection.request("GET", path, headers=headers or {})
        response = connection.getresponse()
        response.body = response.read()
        return response


@pytest.fixture
def serve(demo_cadastre, tmp_path) -> Iterator[Callable[..., Served]]:
    started: list[subprocess.Popen] = []

    def start(workers: int, *, ready: bool = True, **env: str) -> Served:
        """`serve` with `workers` workers and `env`, once it answers (at once unless `ready`)."""
        port = free_port()
        log = open(ARTIFACTS / f"serve-{port}.log", "wb")
        process = subprocess.Popen(
            [str(services.ROOT / "scripts" / "dev.sh"), "serve"], stdout=log, stderr=log,
            preexec_fn=services.ends_with_its_parent,
            env={**os.environ, "VEXA_PORT": str(port), "VEXA_WORKERS": str(workers),
                 "PROMETHEUS_MULTIPROC_DIR": str(tmp_path / f"metrics-{port}"), **env})
        started.append(process)
        served = Served(process, port, workers)
        if not ready:
            return served
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                if httpx.get(f"http://127.0.0.1:{port}/gis/health/", timeout=1).status_code == 200 and \
                        len(served.workers()) == workers:
                    return served
            except httpx.TransportError:
                pass
            time.sleep(0.2)
        raise AssertionError((ARTIFACTS / f"serve-{port}.log").read_text())

    ARTIFACTS.mkdir(exist_ok=True)
    yield start
    for process in started:
        process.terminate()
        process.wait(20)


def log_of(served: Served) -> str:
    return (ARTIFACTS / f"serve-{served.port}.log").read_text()


def connections_on_two_workers(served: Served) -> list[http.client.HTTPConnection]:
    """One connection per worker (the kernel hands connections to whichever worker accepts first)."""
    by_worker: dict[int, http.client.HTTPConnection] = {}
    for _ in range(40):
        connection = served.connection()
        by_worker.setdefault(served.worker_of(connection), connection)
        by_worker.pop(None, None)
        if len(by_worker) == 2:
            return list(by_worker.values())
    raise AssertionError("the second worker accepted none of 40 connections")


def in_one_window(raw_redis, key: str, send: Callable[[int], int], count: int) -> list[int]:
    """The statuses of `count` requests sent within one rate-limit window (up to three tries)."""
    for _ in range(3):
        raw_redis.delete(key)
        started = time.monotonic()
        statuses = [send(i) for i in range(count)]
        if time.monotonic() - started < 0.9:
            return statuses
        time.sleep(1.1)  # the machine was too slow for one window; once more in a fresh one
    raise AssertionError(f"{count} requests took over 0.9 s three times")


def sample(text: str, name: str, **labels: str) -> float:
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            if s.name == name and all(s.labels.get(k) == v for k, v in labels.items()):
                return s.value
    return 0.0


def test_two_workers_share_cache_rate_limit_and_metrics(serve, raw_redis):
    served = serve(2)
    a, b = connections_on_two_workers(served)

    # The 41st request of one second is refused, whichever worker each request reaches.
    seen: list[int] = []  # over every try, for the metrics

    def send(i: int) -> int:
        seen.append(served.get((a, b)[i % 2], REFUSED_PATH).status)
        return seen[-1]

    assert in_one_window(raw_redis, "rate_limit:gis:127.0.0.1", send, 44) == [404] * 40 + [429] * 4

    time.sleep(1.1)
    _, x, y = tile_at(OFFLINE_CENTRE, 16)
    path = f"/gis/plots/16/{x}/{y}.pbf"
    first, second = served.get(a, path), served.get(b, path)
    assert (first.status, first.getheader("X-Cache")) == (200, None)
    assert (second.status, second.getheader("X-Cache"), second.body) == (200, "HIT", first.body)

    # Either worker's /metrics counts the requests both workers answered.
    for connection in (a, b):
        text = served.get(connection, "/metrics").body.decode()
        assert sample(text, "vexa_rate_limit_refusals_total", endpoint="xyz") == seen.count(429)
        assert sample(text, "vexa_tiles_total", layer="unknown", zoom_band="1-6", outcome="4xx") == len(seen)
        assert sample(text, "vexa_tiles_total", layer="plots", zoom_band="15-16", outcome="miss") == 1
        assert sample(text, "vexa_tiles_total", layer="plots", zoom_band="15-16", outcome="hit") == 1
        assert sample(text, "vexa_tile_duration_seconds_count", layer="plots") == 2

    # Each worker draws plans in its share of the machine's cores.
    assert [len(spawned(worker)) for worker in served.workers()] == [max(1, len(os.sched_getaffinity(0)) // 2)] * 2

    # Stopped by a signal, as a service manager stops it: every worker closes its drawing
    # processes' queues itself, and multiprocessing finds nothing left to remove for it.
    main = psutil.Process(served.process.pid)
    trackers = [p for p in main.children() if "resource_tracker" in " ".join(p.cmdline())]
    served.process.terminate()
    assert served.process.wait(30) == 0
    psutil.wait_procs(trackers, timeout=30)  # what it warns of, it writes as it ends
    log = (ARTIFACTS / f"serve-{served.port}.log").read_text()
    assert "Application shutdown complete" in log and "leaked" not in log, log[-2000:]


def test_a_stop_ends_open_streams_and_runs_the_apps_shutdown(serve, raw_redis):
    """An open map's versions stream never ends by itself: at a stop it is ended once the
    graceful time-out has passed, and the app's shutdown runs (its drawing processes end)."""
    grace = 2
    served = serve(2, VEXA_GRACEFUL_SHUTDOWN_S=str(grace))
    for _ in range(300):  # the second worker may still be starting
        if all(spawned(worker) for worker in served.workers()):
            break
        time.sleep(0.1)
    drawing = [process for worker in served.workers() for process in spawned(worker)]
    assert len(drawing) >= 2
    # A read waits less than the stream's keep-alive (15 s): a stream the stop left open fails it.
    with httpx.Client(base_url=f"http://127.0.0.1:{served.port}", timeout=grace + 6) as client, \
            client.stream("GET", "/gis/tile-versions") as stream:
        lines = stream.iter_lines()  # kept: an iteration given up would close the connection
        assert next(lines) == "retry: 1000" and next(lines).startswith("data: {")
        began = time.monotonic()
        served.process.terminate()
        with pytest.raises(httpx.RemoteProtocolError):  # cut amid its answer
            for _ in lines:
                pass
        assert served.process.wait(grace + 6) == 0
        took = time.monotonic() - began
    assert grace <= took < grace + 6
    log = log_of(served)
    assert "timeout graceful shutdown exceeded" in log and "Application shutdown complete" in log, log[-2000:]
    assert psutil.wait_procs(drawing, timeout=5)[1] == []  # none left running


def test_forwarded_address_is_used_only_from_a_trusted_proxy(serve, raw_redis):
    trusting = serve(1)  # the default: a proxy on this machine (the loopback) is trusted
    connection = trusting.connection()
    trusting.get(connection, REFUSED_PATH, {"X-Forwarded-For": "203.0.113.7"})
    # A client's own X-Forwarded-For, which the proxy extends: the proxy's entry (the last) counts.
    trusting.get(connection, REFUSED_PATH, {"X-Forwarded-For": "198.51.100.1, 203.0.113.8"})
    assert raw_redis.exists("rate_limit:gis:203.0.113.7", "rate_limit:gis:203.0.113.8") == 2
    assert raw_redis.exists("rate_limit:gis:198.51.100.1", "rate_limit:gis:127.0.0.1") == 0
    trusting.process.terminate()
    trusting.process.wait(20)

    raw_redis.flushdb()
    distrusting = serve(1, FORWARDED_ALLOW_IPS="192.0.2.1")  # some other proxy; this client is not it
    connection = distrusting.connection()
    statuses = in_one_window(raw_redis, "rate_limit:gis:127.0.0.1", lambda i: distrusting.get(
        connection, REFUSED_PATH, {"X-Forwarded-For": f"203.0.113.{i}"}).status, 41)
    assert statuses == [404] * 40 + [429]
    assert raw_redis.exists("rate_limit:gis:127.0.0.1") and not raw_redis.keys("rate_limit:gis:203.0.113.*")


async def test_the_app_starts_while_its_database_is_out_of_reach(monkeypatch, caplog):
    """The pools are opened as the app starts; a database out of reach then is told in the log
    and leaves the pools to open as requests need them, never failing the start."""
    import database
    from sqlalchemy.ext.asyncio import create_async_engine

    nowhere = services.database_url(port=free_port())
    monkeypatch.setattr(database, "DATABASE_URL", nowhere)
    monkeypatch.setattr(database, "engine", create_async_engine(nowhere, pool_size=database.POOL_SIZE))
    monkeypatch.setattr(database, "_pools", type(database._pools)())
    began = time.monotonic()
    await database.check_connection_budget(1000, listener=True)  # what it admits cannot be read: not checked
    await database.open_pools()
    assert time.monotonic() - began < 10
    assert "the database's max_connections not read at start" in caplog.text
    assert "database pools not opened whole at start" in caplog.text
    await database.engine.dispose()


async def test_a_connection_that_cannot_be_warmed_is_used_as_it_is(monkeypatch, caplog):
    import database

    caplog.set_level("INFO", "vexa.database")
    monkeypatch.setattr(database, "WARMING", "SELECT no_such_function()")
    monkeypatch.setattr(database, "_pools", type(database._pools)())
    async with database.read_connection() as connection:
        assert await connection.fetchval("SELECT 1") == 1
    assert "a read connection not warmed" in caplog.text
    await (await database.read_pool()).close()



async def admitted_connections() -> int:
    """What the project's PostgreSQL admits for ordinary sessions, as its settings say."""
    connection = await asyncpg.connect(services.PG_DSN)
    try:
        most = int(await connection.fetchval("SHOW max_connections"))
        return most - int(await connection.fetchval("SHOW superuser_reserved_connections"))
    finally:
        await connection.close()


@pytest.mark.parametrize("listener", [True, False], ids=["with the change listener", "without it"])
async def test_every_workers_connections_must_fit_the_database(monkeypatch, listener):
    import database

    admitted = await admitted_connections()
    # One worker whose pools take every connection the server admits: it starts; one more does not.
    monkeypatch.setattr(database, "POOL_SIZE", admitted - database.READ_POOL_SIZE - (1 if listener else 0))
    await database.check_connection_budget(1, listener=listener)
    monkeypatch.setattr(database, "POOL_SIZE", database.POOL_SIZE + 1)
    with pytest.raises(database.TooManyConnections) as refused:
        await database.check_connection_budget(1, listener=listener)
    for named in ("max_connections", "superuser_reserved_connections", "VEXA_TILE_POOL_SIZE", "VEXA_READ_POOL_SIZE"):
        assert named in str(refused.value)
    # The default pools, as many workers as fit, and one more.
    monkeypatch.undo()
    fitting = admitted // database.connections_per_worker(listener)
    await database.check_connection_budget(fitting, listener=listener)
    with pytest.raises(database.TooManyConnections):
        await database.check_connection_budget(fitting + 1, listener=listener)


async def test_workers_the_database_cannot_admit_are_not_started(serve, demo_cadastre, monkeypatch):
    """Pools one worker fits and two do not: `serve` with two workers ends before it starts them,
    with an error status and what to change; a plain uvicorn told of two workers on the machine
    fails its start."""
    import database

    pool = await admitted_connections() - database.READ_POOL_SIZE - 1
    served = serve(2, ready=False, VEXA_TILE_POOL_SIZE=str(pool))
    assert await asyncio.to_thread(served.process.wait, 60) == 1
    log = log_of(served)
    assert log.startswith(f"serve: 2 web worker(s) (VEXA_WORKERS) x {pool + 11} database connections") and \
        "raise PostgreSQL's max_connections" in log, log[-3000:]

    monkeypatch.setenv("VEXA_TILE_POOL_SIZE", str(pool))
    monkeypatch.setenv("VEXA_WORKERS", "2")
    with pytest.raises(RuntimeError, match="uvicorn ended with 3"):
        with uvicorn_app("uvicorn-too-many-connections.log"):
            pass
    log = (ARTIFACTS / "uvicorn-too-many-connections.log").read_text()
    assert "database.TooManyConnections: 2 web worker(s)" in log and "Application startup failed" in log, log[-3000:]
