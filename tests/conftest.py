"""Fixtures: the project's own servers, the tile module, raw clients to check what it did."""

from __future__ import annotations

import logging
from collections.abc import AsyncIterator, Iterator

import pytest
import redis
import services

services.configure_environment()


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
    client = redis.Redis(host="127.0.0.1", port=services.REDIS_PORT)
    client.flushdb()
    yield client
    try:
        client.flushdb()
    except redis.ConnectionError:
        services.start_redis()
    client.close()


@pytest.fixture
async def fresh_pool(hub) -> AsyncIterator[None]:
    """Drop the module client's pooled connections after a test that broke the server."""
    yield
    await hub.redis_client.connection_pool.disconnect()


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
