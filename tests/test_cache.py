"""The binary tile cache against the project's own Redis: bytes, keys, lifetimes, failures."""

from __future__ import annotations

import time

import pytest
import redis
import services

NOT_UTF8 = bytes(range(256)) + b"\xff\xfe\x00\x80\xc3\x28"


async def test_bytes_round_trip_under_the_namespace(hub, raw_redis):
    await hub.cache.set("plots:14:9472:7936", NOT_UTF8)
    assert raw_redis.get("mvt_v8:plots:14:9472:7936") == NOT_UTF8
    assert 3590 <= raw_redis.ttl("mvt_v8:plots:14:9472:7936") <= 3600
    assert await hub.cache.get("plots:14:9472:7936") == NOT_UTF8
    assert await hub.safe_cache_get("plots:14:9472:7936") == NOT_UTF8
    await hub.cache.delete("plots:14:9472:7936")
    assert not raw_redis.exists("mvt_v8:plots:14:9472:7936")


async def test_default_namespace_missing_and_empty_values(hub, raw_redis):
    plain = hub.BinaryRedisCache(hub.redis_client)
    assert plain.namespace == "mvt" and plain._make_key("plots:1:0:0") == "mvt:plots:1:0:0"
    assert await plain.get("nothing") is None
    await plain.set("empty", b"", 60)
    assert await plain.get("empty") == b""
    assert 50 <= raw_redis.ttl("mvt:empty") <= 60


async def test_safe_set_passes_the_callers_lifetime(hub, raw_redis, hub_log):
    await hub.safe_cache_set("lgas:2:1:1", b"\x1a\x00", 1800)
    assert 1790 <= raw_redis.ttl("mvt_v8:lgas:2:1:1") <= 1800
    assert hub_log.messages("WARNING") == []


async def test_unanswering_redis_makes_a_read_a_miss_after_its_limit(hub, raw_redis, hub_log, fresh_pool):
    raw_redis.set("mvt_v8:slow", b"x")
    with services.redis_paused():
        started = time.monotonic()
        assert await hub.safe_cache_get("slow") is None
        elapsed = time.monotonic() - started
    assert 0.9 <= elapsed < 2.0
    assert hub_log.messages("WARNING") == [
        "Cache get failed for slow: ",
        "Circuit breaker open for the tile cache: Redis is skipped for 1 s after TimeoutError"]


async def test_stopped_redis_is_absorbed_by_the_safe_functions(hub, hub_log, fresh_pool):
    with services.redis_stopped():
        await hub.redis_client.connection_pool.disconnect()
        await hub.safe_cache_set("plots:9:1:1", b"tile", 1800)  # returns normally
        hub.cache = hub.BinaryRedisCache(hub.redis_client, "mvt_v8")  # its breaker is closed again
        assert await hub.safe_cache_get("plots:9:1:1") is None
        assert await hub.safe_cache_get("plots:9:1:1") is None  # skipped: the breaker is open
        with pytest.raises(redis.ConnectionError):
            await hub.cache.get("plots:9:1:1")  # the class itself absorbs nothing
    set_warning, opened, get_warning, opened_again = hub_log.messages("WARNING")
    assert set_warning.startswith("Cache set failed for plots:9:1:1: ") and len(set_warning) > 36
    assert get_warning.startswith("Cache get failed for plots:9:1:1: ")
    assert opened == opened_again and opened.startswith(
        "Circuit breaker open for the tile cache: Redis is skipped for 1 s after ConnectionError: ")
