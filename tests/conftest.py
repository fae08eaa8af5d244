"""Fixtures: the project's own servers, the tile module, raw clients to check what it did, the
demo cadastre and places in it, the host app over ASGI and under uvicorn, an offline export."""

from __future__ import annotations

import asyncio
import itertools
import logging
import subprocess
import sys
from collections.abc import AsyncIterator, Callable, Iterator

import httpx
import pytest
import redis
import redis.asyncio
import services
from demo_tiles import OFFLINE_AREA, plot_centre
from served_app import uvicorn_app

services.configure_environment()


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--uvloop", action="store_true",
                     help="run every test on uvloop's event loop, the loop production serving uses")


def pytest_configure(config: pytest.Config) -> None:
    if config.getoption("--uvloop"):
        import uvloop

        asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())


def pytest_report_header(config: pytest.Config) -> str:
    return "event loop policy: " + type(asyncio.get_event_loop_policy()).__module__


@pytest.fixture(scope="session", autouse=True)
def local_services() -> None:
    services.start()


@pytest.fixture(scope="session")
def hub():
    import vexa.maptile_hub as hub

    return hub


@pytest.fixture
def raw_redis() -> Iterator[redis.Redis]:
    """A plain synchronous client on the project's Redis, its test keys cleared around each test."""
    client = redis.Redis(host=services.LOOPBACK, port=services.REDIS_PORT)
    client.flushdb()
    yield client
    try:
        client.flushdb()
    except redis.ConnectionError:
        services.start_redis()
    client.close()


@pytest.fixture
async def fresh_pool(hub) -> AsyncIterator[None]:
    """After a test that broke the server: drop the pooled connections, and give the module a
    new client over the same pool and a new cache, whose circuit breakers start closed."""
    yield
    await hub.redis_client.connection_pool.disconnect()
    hub.redis_client = redis.asyncio.Redis(connection_pool=hub.redis_client.connection_pool)
    hub.cache = hub.BinaryRedisCache(hub.redis_client, "mvt_v8")


class Records(logging.Handler):
    """The records of one logger, as (level name, message) pairs."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[tuple[str, str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append((record.levelname, record.getMessage()))

    def messages(self, level: str | None = None) -> list[str]:
        return [m for lvl, m in self.records if level is None or lvl == level]


@pytest.fixture
def hub_log(hub) -> Iterator[Records]:
    handler = Records()
    logger = logging.getLogger("vexa.maptile_hub")
    previous = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)
    logger.setLevel(previous)


@pytest.fixture(scope="session")
def demo_cadastre(local_services) -> None:
    """The demo cadastre in the project's PostGIS (loaded once; an existing load is kept)."""
    subprocess.run(
        [sys.executable, str(services.ROOT / "scripts" / "demo_cadastre.py"), "--plots", "20000", "--if-empty", "--quiet"],
        check=True,
    )


@pytest.fixture(scope="module")
async def plot_point(demo_cadastre) -> tuple[float, float]:
    """Latitude and longitude of the centre of one demo plot."""
    return await plot_centre(40)


@pytest.fixture(scope="session")
def app(hub):
    import main

    return main.app


_addresses = itertools.count(1)


def fresh_address() -> str:
    """A client address no other test has used, so rate-limit windows never overlap."""
    n = next(_addresses)
    return f"10.{n // 65536 % 256}.{n // 256 % 256}.{n % 256}"


@pytest.fixture
def client_for(app) -> Iterator[Callable[..., httpx.AsyncClient]]:
    """Clients of the host app over ASGI, each from its own address unless one is given."""
    def make(address: str | None = None) -> httpx.AsyncClient:
        transport = httpx.ASGITransport(app=app, client=(address or fresh_address(), 40000))
        return httpx.AsyncClient(transport=transport, base_url="http://vexa.test")

    yield make
    app.dependency_overrides.clear()


@pytest.fixture(scope="session")
def live_app(demo_cadastre):
    """The host app under uvicorn on a free port of the loopback, on the project's servers."""
    with uvicorn_app() as base:
        yield base


@pytest.fixture(scope="session")
def offline_tiles(demo_cadastre, tmp_path_factory):
    """A PMTiles file of three layers at zooms 14-16 over OFFLINE_AREA, written by the export script."""
    output = tmp_path_factory.mktemp("offline") / "field.pmtiles"
    result = subprocess.run(
        [sys.executable, str(services.ROOT / "scripts" / "export_tiles.py"), "--layers", "plots,beacons,cadzones",
         "--zooms", "14-16", "--bbox", OFFLINE_AREA, "--output", str(output)],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return output, result
