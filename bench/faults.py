#!/usr/bin/env python3
"""The tile service while its Redis or its PostgreSQL fails, against a live uvicorn.

    python bench/faults.py [--plots 20000] [--lanes 8] [--port 18500] [--only frozen,flood,postgres,stopped]

Runs the host app under uvicorn on the loopback and loads the demo cadastre (at the given size
when the database holds fewer plots). The floor is the cold-cache rate: every plot tile of a
fixed list requested once with the tile cache emptied, `--lanes` requests at a time. Then:

- frozen: Redis stopped with SIGSTOP for 6 s under the lanes of cached-tile requests: requests
  completed in those 6 s, their rate beside the cold-cache rate, p50/p99, answers >= 500;
- flood: one source address with 160 parallel connections for 5 s: tiles served per second
  (the limit is 40 per second and address);
- postgres: PostgreSQL restarted under a load of uncached tiles: failures before, during and
  after the restart;
- stopped: Redis shut down for 10 s and started again under load: the cache status the health
  check reports (its cache_status, healthy or unhealthy), failures, and when a tile is answered
  from the cache again.

Lanes spread their requests over many loopback source addresses, so the rate limit is only
what the flood measures. Every request goes to 127.0.0.1; every loop is bounded in time.
"""

from __future__ import annotations

import argparse
import asyncio
import time
from collections import Counter
from dataclasses import dataclass, field

import httpx
import redis.asyncio as aioredis

from lib import ROOT, services
from lib.cadastre import Tile, ensure_cadastre, plot_tiles
from lib.clients import addresses, client, redis_client
from lib.latency import latency_line, percentile
from lib.servers import host


@dataclass
class Outcome:
    started: float
    seconds: float
    status: int  # 0 for a transport error
    cached: bool


@dataclass
class Lanes:
    """`lanes` workers requesting tiles in turn until told to stop, every outcome kept."""

    clients: list[httpx.AsyncClient]
    tiles: list[Tile]
    lanes: int
    outcomes: list[Outcome] = field(default_factory=list)
    _stop: asyncio.Event = field(default_factory=asyncio.Event)
    _next: int = 0

    async def _worker(self) -> None:
        while not self._stop.is_set() and self._next < len(self.tiles) * 1000:
            n = self._next
            self._next += 1
            z, x, y = self.tiles[n % len(self.tiles)]
            http = self.clients[n % len(self.clients)]
            started = time.monotonic()
            try:
                response = await http.get(f"/gis/plots/{z}/{x}/{y}.pbf")
                status, cached = response.status_code, response.headers.get("x-cache") == "HIT"
            except httpx.TransportError:
                status, cached = 0, False
            self.outcomes.append(Outcome(started, time.monotonic() - started, status, cached))

    def start(self) -> asyncio.Future:
        self._stop.clear()
        return asyncio.gather(*(self._worker() for _ in range(self.lanes)))

    def stop(self) -> None:
        self._stop.set()

    def between(self, start: float, end: float) -> list[Outcome]:
        return [o for o in self.outcomes if start <= o.started < end]


def failures(outcomes: list[Outcome]) -> str:
    """Answers >= 500, and requests the server never answered."""
    errors, lost = sum(1 for o in outcomes if o.status >= 500), sum(1 for o in outcomes if o.status == 0)
    return f"{errors}" + (f" (+{lost} unanswered)" if lost else "")


async def cache_status(http: httpx.AsyncClient) -> str:
    """The cache status GET /gis/health/ reports: healthy, or unhealthy when its read of Redis failed."""
    try:
        return (await http.get("/gis/health/", timeout=5)).json().get("cache_status", "not in the answer")
    except httpx.TransportError:
        return "no answer"


async def cold_rate(lanes: Lanes, redis: aioredis.Redis) -> float:
    """Tiles per second with every request a cache miss (the second of two passes: warm buffers)."""
    rate = 0.0
    for _ in range(2):
        await redis.flushdb()
        lanes.outcomes.clear()
        started = time.monotonic()
        rate = len(await one_pass(lanes)) / (time.monotonic() - started)
    return rate


async def frozen(lanes: Lanes, redis: aioredis.Redis, cold: float) -> None:
    print("Redis frozen (SIGSTOP) 6 s under load of cached tiles")
    await one_pass(lanes)
    lanes.outcomes.clear()
    running = lanes.start()
    await asyncio.sleep(2)
    with services.redis_paused():
        t0 = time.monotonic()
        await asyncio.sleep(3)
        state = await cache_status(lanes.clients[0])
        await asyncio.sleep(max(0.0, 6 - (time.monotonic() - t0)))
    t1 = time.monotonic()
    await asyncio.sleep(2)
    lanes.stop()
    await running
    overlapping = [o for o in lanes.outcomes if o.started < t1 and o.started + o.seconds > t0]
    completed = [o for o in overlapping if o.started + o.seconds <= t1]
    seconds = [o.seconds for o in overlapping]
    rate = len(completed) / (t1 - t0)
    print(f"  completed in the 6 s: {len(completed)} ({rate:.1f}/s, cold-cache rate {cold:.1f}/s, x{rate / cold:.2f})")
    print(f"  latency of the requests in flight during the 6 s: "
          f"{latency_line([1000 * s for s in seconds], 0, 0, ', ', with_max=True)}")
    print(f"  answers >= 500: {failures(overlapping)}; cache status at +3 s: {state}")
    after = lanes.between(t1 + 1, t1 + 2)
    print(f"  1-2 s after: {len(after)} requests, {sum(o.cached for o in after)} from the cache")


async def flood(port: int, tiles: list[Tile]) -> None:
    print("one address, 160 parallel connections, 5 s")
    statuses: Counter[int] = Counter()
    served_at: list[float] = []
    async with client(port, "127.0.30.1", 160) as http:
        await asyncio.sleep(1.1)  # a fresh window for this address
        end = time.monotonic() + 5

        async def connection(n: int) -> None:
            while time.monotonic() < end:
                z, x, y = tiles[n % len(tiles)]
                try:
                    response = await http.get(f"/gis/plots/{z}/{x}/{y}.pbf")
                    statuses[response.status_code] += 1
                    if response.status_code in (200, 204):
                        served_at.append(time.monotonic())
                except httpx.TransportError:
                    statuses[0] += 1

        started = time.monotonic()
        await asyncio.gather(*(connection(n) for n in range(160)))
        wall = time.monotonic() - started
    per_second = Counter(int(t - started) for t in served_at if t - started < 5)
    print(f"  served {len(served_at)} in {wall:.1f} s = {len(served_at) / wall:.1f}/s "
          f"(per whole second: {[per_second[s] for s in range(5)]}); answers: {dict(sorted(statuses.items()))}")


async def postgres(lanes: Lanes, redis: aioredis.Redis) -> None:
    print("PostgreSQL restarted under a load of uncached tiles")
    await redis.flushdb()
    lanes.outcomes.clear()
    running = lanes.start()
    await asyncio.sleep(3)
    down = time.monotonic()
    await asyncio.to_thread(services.restart_postgres)
    back = time.monotonic()
    await asyncio.sleep(5)
    lanes.stop()
    await running
    ended_before = [o for o in lanes.outcomes if o.started + o.seconds < down]
    before, after = ended_before, lanes.between(back, time.monotonic())
    during = [o for o in lanes.between(0, back) if o.started + o.seconds >= down]
    print(f"  restart took {back - down:.1f} s; failures among requests ended before it {failures(before)}/{len(before)}, "
          f"in flight or started during it {failures(during)}/{len(during)}, started after it {failures(after)}/{len(after)}")
    codes = Counter(o.status for o in during + after if o.status >= 500 or o.status == 0)
    print(f"  failed answers by status (0 = no answer): {dict(codes)}")


async def stopped(lanes: Lanes) -> None:
    print("Redis stopped 10 s, then started again, under load of cached tiles")
    await one_pass(lanes)
    lanes.outcomes.clear()
    running = lanes.start()
    health = lanes.clients[-1]
    states: list[tuple[float, str]] = []
    await asyncio.sleep(1)
    t0 = time.monotonic()
    await asyncio.to_thread(services.stop_redis)
    while time.monotonic() - t0 < 10:
        states.append((time.monotonic() - t0, await cache_status(health)))
        await asyncio.sleep(0.5)
    await asyncio.to_thread(services.start_redis)
    t1 = time.monotonic()
    healthy_at = hit_at = None
    while time.monotonic() - t1 < 40 and (healthy_at is None or hit_at is None):
        state = await cache_status(health)
        states.append((time.monotonic() - t0, state))
        if healthy_at is None and state == "healthy":
            healthy_at = time.monotonic() - t1
        if hit_at is None and any(o.cached for o in lanes.between(t1, time.monotonic())):
            hit_at = min(o.started + o.seconds for o in lanes.between(t1, time.monotonic()) if o.cached) - t1
        await asyncio.sleep(0.25)
    lanes.stop()
    await running
    changes = [(t, s) for n, (t, s) in enumerate(states) if n == 0 or states[n - 1][1] != s]
    print(f"  cache status (s since the stop: status): {', '.join(f'{t:.1f}: {s}' for t, s in changes)}")
    during = lanes.between(t0, t1)
    print(f"  while stopped: {len(during)} requests, {failures(during)} failed, "
          f"p99 {1000 * percentile([o.seconds for o in during], 99):.0f} ms")
    healthy = "never" if healthy_at is None else f"{healthy_at:.1f} s"
    hit = "never" if hit_at is None else f"{hit_at:.1f} s"
    print(f"  after the start: cache healthy after {healthy}, first cache hit after {hit}; "
          f"failures after {failures(lanes.between(t1, time.monotonic()))}")


async def one_pass(lanes: Lanes) -> list[Outcome]:
    """Every tile of the list requested once, on the lanes' clients: the outcomes."""
    single = Lanes(lanes.clients, lanes.tiles, lanes.lanes)
    single._next = len(lanes.tiles) * 999  # exactly one pass: the workers stop at the 1000th
    await single.start()
    return single.outcomes


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plots", type=int, default=20_000)
    parser.add_argument("--lanes", type=int, default=8)
    parser.add_argument("--port", type=int, default=18500)
    parser.add_argument("--only", default="frozen,flood,postgres,stopped")
    args = parser.parse_args()
    scenarios = args.only.split(",")

    await ensure_cadastre(args.plots)
    tiles = await plot_tiles(range(14, 17), 80)  # the cached-tile load
    uncached = await plot_tiles(range(17, 19), 2000)  # more tiles than a restart needs
    redis = redis_client()
    async with host(port=args.port, log_path=ROOT / "test-artifacts" / "faults-uvicorn.log") as server:
        clients = [client(server.port, a) for a in addresses(10, 500)]
        try:
            # Few enough source addresses that each connection is reused within the server's 5 s
            # keep-alive (a connection it has just closed would count as a failure of the service).
            lanes = Lanes(clients[:64], tiles, args.lanes)
            cold = await cold_rate(lanes, redis)
            print(f"{len(tiles)} plot tiles at zooms 14-16, {args.lanes} lanes; cold-cache rate {cold:.1f} tiles/s")
            if "frozen" in scenarios:
                await frozen(lanes, redis, cold)
            if "flood" in scenarios:
                await one_pass(lanes)
                await flood(server.port, tiles)
            if "postgres" in scenarios:
                await postgres(Lanes(clients[:64], uncached, args.lanes), redis)
            if "stopped" in scenarios:
                await stopped(lanes)
        finally:
            for http in clients:
                await http.aclose()
            try:
                await redis.aclose()
            except Exception:
                pass


if __name__ == "__main__":
    asyncio.run(main())
