"""The cache, the rate limit and the checked tile write on a Redis that runs no scripts: a real
Redis user without @scripting (and without transactions too), and fakeredis without Lua."""

from __future__ import annotations

import asyncio

import fakeredis
import pytest
import redis
import redis.asyncio
import services
from demo_tiles import tile_at

pytestmark = pytest.mark.usefixtures("demo_cadastre")

PASSWORD = "plain-commands"
REFUSALS = {"scripts": "-@scripting", "transactions": "-@scripting -@transaction"}


@pytest.fixture
def redis_user(raw_redis):
    """A Redis user of the project's server refused what its name says: the module's client and
    cache over it, and the user removed afterwards."""
    made = []

    def make(refused: str) -> str:
        name = f"vexa-no-{refused}"
        raw_redis.execute_command("ACL", "SETUSER", name, "reset", "on", f">{PASSWORD}", "~*", "&*", "+@all",
                                  *REFUSALS[refused].split())
        made.append(name)
        return name

    yield make
    for name in made:
        raw_redis.execute_command("ACL", "DELUSER", name)


def module_client(kind: str, redis_user, client_class=redis.asyncio.Redis) -> redis.asyncio.Redis:
    if kind == "fakeredis":
        return fakeredis.FakeAsyncRedis()
    return client_class(host=services.LOOPBACK, port=services.REDIS_PORT, username=redis_user(kind), password=PASSWORD,
                        socket_timeout=5)


class CountsOnly:
    """A host's own client with only the calls the rate limit is documented to make."""

    def __init__(self, client: redis.asyncio.Redis) -> None:
        self._client = client

    async def incr(self, key):
        return await self._client.incr(key)

    async def expire(self, key, seconds):
        return await self._client.expire(key, seconds)


@pytest.fixture
def plain_module(hub, monkeypatch, redis_user):
    """The module on a client of the given kind: its redis_client and cache replaced (only its
    redis_client, by one that counts and does nothing else, for "counts only")."""
    def use(kind: str, client_class=redis.asyncio.Redis) -> redis.asyncio.Redis:
        if kind == "counts only":
            monkeypatch.setattr(hub, "redis_client", CountsOnly(hub.redis_client))
            return hub.cache.redis
        client = module_client(kind, redis_user, client_class)
        monkeypatch.setattr(hub, "redis_client", client)
        monkeypatch.setattr(hub, "cache", hub.BinaryRedisCache(client, "mvt_v8"))
        return client

    return use


@pytest.mark.parametrize("kind", ["scripts", "fakeredis", "counts only"])
async def test_tiles_are_cached_and_counted_without_scripts(plain_module, client_for, hub_log, plot_point, kind):
    client = plain_module(kind)
    viewer = client_for()
    # The address's window opened, by a request counted already, for long enough that the whole
    # burst falls in it however slow the machine: the count goes on from there.
    await client.set("rate_limit:gis:" + viewer._transport.client[0], 1, ex=30)
    path = "/gis/plots/%d/%d/%d.pbf" % tile_at(plot_point, 15)
    first = await viewer.get(path)
    assert first.status_code == 200 and "x-cache" not in first.headers
    statuses, caches = [], []
    for _ in range(44):  # 46 in the window: the limit is 40
        response = await viewer.get(path)
        statuses.append(response.status_code)
        caches.append(response.headers.get("x-cache"))
    assert statuses == [200] * 38 + [429] * 6 and caches[:38] == ["HIT"] * 38

    lon, lat = 7.34, 8.94
    box = f"/gis/plots/bbox/?minx={lon}&miny={lat}&maxx={lon + 0.004}&maxy={lat + 0.004}"
    assert (await viewer.get(box)).headers["x-cache"] == "MISS"
    assert (await client_for().get(box)).headers["x-cache"] == "HIT"
    (name, expires), = await client.zrange("tile_bbox_index:mvt_v8:plots", 0, -1, withscores=True)
    assert name.startswith(b"mvt_v8:bbox:plots:") and abs(expires - (await client.time())[0] - 1800) <= 2
    assert await client.ttl("tile_bbox_index:mvt_v8:plots") == -1  # never evicted by a volatile-* policy

    centroid = "/gis/plots/"
    assert (await viewer.get(centroid)).status_code == 200
    assert await client.exists("mvt_v8:centroid:plots")

    warnings = hub_log.messages("WARNING")
    assert [w for w in warnings if w.startswith("Redis runs no scripts for this client (")] == warnings[:1]
    assert len(warnings) == (kind != "counts only"), warnings  # no "Rate limit check failed", no "Cache get failed"


class InvalidatedDuringTheWrite(redis.asyncio.Redis):
    """A client whose first read of a layer's generation is followed, before the client's next
    command, by an invalidation that advances it (through another connection)."""

    raced = False

    def after(self, args: tuple) -> None:
        if not self.raced and args[0] == "GET" and str(args[1]).startswith("tile_generation:"):
            self.raced = True
            with redis.Redis(host=services.LOOPBACK, port=services.REDIS_PORT) as other:
                other.incr(args[1])

    async def execute_command(self, *args, **options):
        answer = await super().execute_command(*args, **options)
        self.after(args)
        return answer

    def pipeline(self, transaction: bool = True, shard_hint=None):
        pipe = super().pipeline(transaction, shard_hint)
        immediate = pipe.immediate_execute_command

        async def racing(*args, **options):
            answer = await immediate(*args, **options)
            self.after(args)
            return answer

        pipe.immediate_execute_command = racing
        return pipe


@pytest.mark.parametrize("kind", ["scripts", "transactions"])
async def test_the_write_without_scripts_never_keeps_a_tile_read_before_an_invalidation(
        hub, plain_module, raw_redis, hub_log, kind):
    """Without scripts the write is WATCH/MULTI/EXEC: an invalidation between its read of the
    generation and its EXEC aborts it. Without transactions either, it is single commands: the
    entry, SET after such an invalidation, is gone when the write returns."""
    client = plain_module(kind, InvalidatedDuringTheWrite)
    key, generation_key = "bbox:plots:1", "tile_generation:mvt_v8:plots"
    index = "tile_bbox_index:mvt_v8:plots"
    assert not await hub.cache.set_if_current(key, b"old", 60, generation_key, b"0", index)
    assert not raw_redis.exists("mvt_v8:" + key) and raw_redis.get(generation_key) == b"1"

    assert await hub.cache.set_if_current(key, b"new", 60, generation_key, b"1", index)  # no race this time
    assert raw_redis.get("mvt_v8:" + key) == b"new" and 55 < raw_redis.ttl("mvt_v8:" + key) <= 60
    assert raw_redis.zrange(index, 0, -1) == [b"mvt_v8:" + key.encode()]
    assert not await hub.cache.set_if_current(key, b"stale", 60, generation_key, b"0")
    assert raw_redis.get("mvt_v8:" + key) == b"new"
    # An index of an earlier version (a plain set) is left for the script to convert: no entry is
    # stored beside it, unindexed.
    raw_redis.delete(index, "mvt_v8:" + key)
    raw_redis.sadd(index, "mvt_v8:bbox:plots:an-earlier-entry")
    assert not await hub.cache.set_if_current(key, b"new", 60, generation_key, b"1", index)
    assert not raw_redis.exists("mvt_v8:" + key)
    refusals = [w for w in hub_log.messages("WARNING") if w.startswith("Redis runs no ")]
    assert len(refusals) == (1 if kind == "scripts" else 2), refusals
    await client.aclose()


async def test_the_script_keeps_the_index_to_live_entries_and_converts_an_earlier_one(hub, raw_redis):
    index, generation_key = "tile_bbox_index:mvt_v8:lgas", "tile_generation:mvt_v8:lgas"
    now = int(raw_redis.time()[0])
    raw_redis.zadd(index, {"mvt_v8:bbox:lgas:expired": now - 5, "mvt_v8:bbox:lgas:live": now + 500})
    assert await hub.cache.set_if_current("bbox:lgas:new", b"x", 60, generation_key, b"0", index)
    assert raw_redis.zrange(index, 0, -1) == [b"mvt_v8:bbox:lgas:new", b"mvt_v8:bbox:lgas:live"]
    raw_redis.delete(index)
    raw_redis.sadd(index, "mvt_v8:bbox:lgas:earlier")  # an index of an earlier version
    raw_redis.expire(index, 900)
    assert await hub.cache.set_if_current("bbox:lgas:new", b"x", 60, generation_key, b"0", index)
    assert raw_redis.type(index) == b"zset" and raw_redis.ttl(index) == -1
    assert set(raw_redis.zrange(index, 0, -1)) == {b"mvt_v8:bbox:lgas:new", b"mvt_v8:bbox:lgas:earlier"}


async def test_plans_are_stored_and_trimmed_without_scripts(redis_user, raw_redis, monkeypatch, caplog):
    from plans import cache as plan_cache
    from plans import settings as plan_settings
    from plans.jobs import Drawn

    monkeypatch.setattr(plan_settings, "MAX_IN_REDIS", 2)
    client = module_client("scripts", redis_user)
    plans = plan_cache.PlanCache(client, memory_bytes=0)
    for n in range(3):
        await plans._store_plan(f"survey_plan:png:test:{n}", Drawn(body=b"png %d" % n, headers={"ETag": str(n)}))
        await asyncio.sleep(0.01)
    assert sorted(raw_redis.zrange(plan_cache.STORED, 0, -1)) == [b"survey_plan:png:test:1", b"survey_plan:png:test:2"]
    assert not raw_redis.exists("survey_plan:png:test:0")
    assert (await plans.get("survey_plan:png:test:2")).body == b"png 2"
    assert len([r for r in caplog.records if r.message.startswith("Redis runs no scripts for the survey plan")]) == 1
    await client.aclose()
