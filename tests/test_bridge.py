"""The C++/asyncio bridge: coroutine functions, coroutine objects, errors, cancellation, leaks."""

from __future__ import annotations

import asyncio
import contextlib
import gc
import inspect
import subprocess
import sys
import textwrap
import traceback

import psutil
import pytest
import services
from python_twins import PythonBinaryRedisCache, future_state

ASYNC_OPERATIONS = [
    "safe_cache_get",
    "safe_cache_set",
    "_invalidate_layer_cache_task",
    "_invalidate_all_cache_task",
    "_invalidate_cache_by_pattern_task",
    "get_tile_xyz",
]
CACHE_METHODS = ["get", "set", "delete"]


class StubRedis:
    """Stands in for the Redis client where the test is about the bridge, not about Redis."""

    def __init__(self) -> None:
        self.waiting: asyncio.Future | None = None
        self.store: dict[str, bytes] = {}

    async def get(self, key):
        if key.endswith(":boom"):
            raise LookupError("no such tile " + key)
        if key.endswith(":hang") or key.endswith(":ends"):
            self.waiting = asyncio.get_running_loop().create_future()
            await self.waiting
            if key.endswith(":ends"):
                return self.store.get(key)
        await asyncio.sleep(0)
        return self.store.get(key)

    async def set(self, key, value, ex=None):
        self.store[key] = value

    async def delete(self, key):
        self.store.pop(key, None)


@pytest.mark.parametrize("name", ASYNC_OPERATIONS)
def test_operations_are_coroutine_functions(hub, name):
    fn = getattr(hub, name)
    assert inspect.iscoroutinefunction(fn)
    assert asyncio.iscoroutinefunction(fn)
    assert fn.__name__ == name and fn.__qualname__ == name
    assert fn.__module__ == "vexa.maptile_hub"
    assert fn.__doc__


@pytest.mark.parametrize("name", CACHE_METHODS)
def test_cache_methods_are_coroutine_methods(hub, name):
    assert inspect.iscoroutinefunction(getattr(hub.BinaryRedisCache, name))
    assert inspect.iscoroutinefunction(getattr(hub.cache, name))  # bound method
    assert getattr(hub.BinaryRedisCache, name).__qualname__ == "BinaryRedisCache." + name


def test_plain_functions_are_not_coroutine_functions(hub):
    for name in ["get_zoom_config", "generate_mvt_sql", "validate_tile_coords", "invalidate_layer_cache"]:
        assert not inspect.iscoroutinefunction(getattr(hub, name))


def test_signatures_carry_annotations_and_defaults(hub):
    sig = inspect.signature(hub.safe_cache_get)
    assert list(sig.parameters) == ["key", "timeout"]
    assert sig.parameters["key"].annotation is str
    assert sig.parameters["timeout"].default == 1.0 and sig.parameters["timeout"].annotation is float
    assert inspect.signature(hub.safe_cache_set).parameters["ttl"].default is inspect.Parameter.empty
    bound = inspect.signature(hub.cache.set)
    assert list(bound.parameters) == ["key", "value", "ttl"] and bound.parameters["ttl"].default == 3600
    xyz = inspect.signature(hub.get_tile_xyz)
    assert list(xyz.parameters) == ["layer_name", "z", "x", "y", "request", "db"]
    assert xyz.parameters["z"].annotation is int
    assert xyz.parameters["db"].default.dependency is hub.get_db
    assert hub.safe_cache_get.__defaults__ == (1.0,)


def test_arguments_bind_as_in_python(hub):
    with pytest.raises(TypeError, match=r"safe_cache_get\(\) missing 1 required positional argument: 'key'"):
        hub.safe_cache_get()
    with pytest.raises(TypeError, match="unexpected keyword argument 'nope'"):
        hub.safe_cache_get("k", nope=1)
    with pytest.raises(TypeError, match="got multiple values for argument 'key'"):
        hub.safe_cache_get("k", key="k")
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        hub.safe_cache_get("k", 1.0, 3)


async def test_coroutine_protocol(hub):
    cache = hub.BinaryRedisCache(StubRedis(), namespace="t")
    await cache.set("a", b"\x00\xff")
    coro = cache.get("a")
    assert asyncio.iscoroutine(coro)
    assert {"send", "throw", "close", "__await__"} <= set(dir(coro))
    assert await coro == b"\x00\xff"
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        await coro
    task = asyncio.create_task(cache.get("a"))
    assert await task == b"\x00\xff"
    assert await asyncio.wait_for(cache.get("a"), 1) == b"\x00\xff"


@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_event_loops_drive_the_coroutine(hub, loop):
    import uvloop

    stub = StubRedis()
    cache = hub.BinaryRedisCache(stub, namespace="t")

    async def steps() -> bool:
        await cache.set("a", b"\x00\xff")
        assert await cache.get("a") == b"\x00\xff" and await cache.get("missing") is None
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(cache.get("hang"), 0.05)
        return stub.waiting.cancelled()

    assert (uvloop.run if loop == "uvloop" else asyncio.run)(steps())


async def test_errors_keep_type_and_traceback(hub):
    cache = hub.BinaryRedisCache(StubRedis(), namespace="t")
    with pytest.raises(LookupError, match="no such tile t:boom") as info:
        await cache.get("boom")
    frames = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "get" in frames  # StubRedis.get, where it was raised


async def test_timeout_cancels_the_awaited_object(hub):
    stub = StubRedis()
    cache = hub.BinaryRedisCache(stub, namespace="t")
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(cache.get("hang"), 0.05)
    assert stub.waiting is not None and stub.waiting.cancelled()


async def test_cancellation_is_not_swallowed_by_any_error_branches(hub, monkeypatch, hub_log):
    stub = StubRedis()
    monkeypatch.setattr(hub, "cache", hub.BinaryRedisCache(stub, namespace="t"))
    task = asyncio.create_task(hub.safe_cache_get("hang", timeout=30))
    while stub.waiting is None:
        await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelled() and stub.waiting.cancelled()
    assert hub_log.messages("WARNING") == []

    # A cancellation that comes as the read ends, a few loop steps either side: once accepted
    # (cancel() true), the call ends cancelled, never with the read's value.
    accepted = []
    for steps in range(4):
        stub.waiting = None
        task = asyncio.create_task(hub.safe_cache_get("ends", timeout=30))
        while stub.waiting is None:
            await asyncio.sleep(0)
        stub.waiting.set_result(None)
        for _ in range(steps):
            await asyncio.sleep(0)
        accepted.append(task.cancel())
        with contextlib.suppress(asyncio.CancelledError):
            await task
        assert task.cancelled() == accepted[-1], steps
    assert accepted[0]


async def test_close_and_throw(hub):
    def closed_while_waiting(cache_class) -> str:
        stub = StubRedis()
        coro = cache_class(stub, namespace="t").get("hang")
        future = coro.send(None)  # runs to the first real suspension: the stub's future
        assert future is stub.waiting
        coro.close()
        return future_state(stub.waiting)

    assert closed_while_waiting(hub.BinaryRedisCache) == closed_while_waiting(PythonBinaryRedisCache)
    cache = hub.BinaryRedisCache(StubRedis(), namespace="t")
    coro = cache.get("hang")
    coro.send(None)
    with pytest.raises(KeyError):
        coro.throw(KeyError("thrown in"))


async def test_class_behaves_as_a_python_class(hub):
    class Upper(hub.BinaryRedisCache):
        def _make_key(self, key):
            return "U:" + key.upper()

    stub = StubRedis()
    cache = Upper(stub, namespace="ignored")
    cache.note = "instances take attributes"
    await cache.set("abc", b"1")
    assert stub.store == {"U:ABC": b"1"}
    assert isinstance(cache, hub.BinaryRedisCache) and cache.note
    assert hub.BinaryRedisCache.__module__ == "vexa.maptile_hub"


async def test_module_names_are_bound_at_call_time(hub, monkeypatch):
    stub = StubRedis()
    stub.store["x:k"] = b"stub"
    monkeypatch.setattr(hub, "cache", hub.BinaryRedisCache(stub, namespace="x"))
    assert await hub.safe_cache_get("k") == b"stub"


def _rss() -> int:
    return psutil.Process().memory_info().rss


async def test_no_leaks_through_success_error_and_cancellation(hub, monkeypatch):
    stub = StubRedis()
    cache = hub.BinaryRedisCache(stub, namespace="t")
    await cache.set("a", b"tile")
    monkeypatch.setattr(hub, "cache", cache)

    async def round_of_calls(n: int) -> None:
        for _ in range(n):
            assert await cache.get("a") == b"tile"
            try:
                await cache.get("boom")
            except LookupError:
                pass
            try:
                await asyncio.wait_for(cache.get("hang"), 0)
            except TimeoutError:
                pass
            assert await hub.safe_cache_get("boom") is None  # logs, returns None
            task = asyncio.create_task(cache.get("hang"))
            await asyncio.sleep(0)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass

    logger = hub.logger
    monkeypatch.setattr(logger, "disabled", True)
    await round_of_calls(2000)
    gc.collect()
    objects_before, rss_before = len(gc.get_objects()), _rss()
    await round_of_calls(20000)
    gc.collect()
    objects_after, rss_after = len(gc.get_objects()), _rss()
    assert objects_after - objects_before < 200, (objects_before, objects_after)
    assert rss_after - rss_before < 4 * 1024 * 1024, (rss_before, rss_after)


def test_a_coroutine_outliving_its_function_stays_sound():
    """A coroutine reads its arguments by the names its function declared: it keeps that function
    alive until it is gone itself, even when nothing else refers to the function any more."""
    script = textwrap.dedent(
        """
        import asyncio, gc, weakref
        import vexa.maptile_hub as hub

        class Redis:
            async def get(self, key):
                await asyncio.sleep(0)
                return key.encode()

        async def main():
            cache = hub.BinaryRedisCache(Redis(), namespace="n")
            get = hub.BinaryRedisCache.__dict__["get"]
            del hub.BinaryRedisCache.get  # the class was the function's last other owner
            coro = get(cache, "k")
            function = weakref.ref(get)
            del get
            gc.collect()
            print("alive while its coroutine lives:", function() is not None)
            print("result:", await coro)
            del coro
            gc.collect()
            print("gone with its coroutine:", function() is None)

        asyncio.run(main())
        """
    )
    result = subprocess.run([sys.executable, "-c", script], cwd=services.ROOT / "api", capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-3:] == [
        "alive while its coroutine lives: True", "result: b'n:k'", "gone with its coroutine: True"]
