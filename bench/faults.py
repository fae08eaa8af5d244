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
- stopped: Redis shut down for 10 s and started again under load: the breaker state the health
  check reports, failures, and when a tile is answered from the cache again.

Lanes spread their requests over many loopback source addresses, so the rate limit is only
what the flood measures. Every request goes to 127.0.0.1; every loop is bounded in time.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import signal
import statistics
import subprocess
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import httpx
import redis.asyncio as aioredis

from common import (REDIS_PORT, ROOT, ensure_cadastre, host_environment, loopback_addresses, percentile, plot_tiles,
                    Tile, stop, until_serving, uvicorn)

STATE = Path(os.environ.get("VEXA_STATE_DIR", ROOT / ".local"))
SERVICES = ROOT / "scripts" / "services.sh"
PG_CTL = "/usr/lib/postgresql/15/bin/pg_ctl"


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
            client = self.clients[n % len(self.clients)]
            started = time.monotonic()
            try:
                response = await client.get(f"/gis/plots/{z}/{x}/{y}.pbf")
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


def services(*args: str) -> None:
    subprocess.run([str(SERVICES), *args], check=True, capture_output=True, env=host_environment())


def redis_pid() -> int:
    return int((STATE / "redis.pid").read_text().strip())


async def breaker_state(client: httpx.AsyncClient) -> str:
    try:
        return (await client.get("/gis/health/", timeout=5)).json().get("redis_breaker", "n/a")
    except httpx.TransportError:
        return "no answer"


async def cold_rate(lanes: Lanes, redis: aioredis.Redis) -> float:
    """Tiles per second with every request a cache miss (the second of two passes: warm buffers)."""
    rate = 0.0
    for _ in range(2):
        await redis.flushdb()
        lanes.outcomes.clear()
        started = time.monotonic()
        one_pass = Lanes(lanes.clients, lanes.tiles, lanes.lanes)
        one_pass._next = len(lanes.tiles) * 999  # exactly one pass over the list
        await one_pass.start()
        rate = len(one_pass.outcomes) / (time.monotonic() - started)
    return rate


async def frozen(lanes: Lanes, redis: aioredis.Redis, cold: float) -> None:
    print("Redis frozen (SIGSTOP) 6 s under load of cached tiles")
    await warm_cache(lanes)
    lanes.outcomes.clear()
    running = lanes.start()
    await asyncio.sleep(2)
    pid = redis_pid()
    t0 = time.monotonic()
    os.kill(pid, signal.SIGSTOP)
    try:
        await asyncio.sleep(3)
        state = await breaker_state(lanes.clients[0])
        await asyncio.sleep(max(0.0, 6 - (time.monotonic() - t0)))
    finally:
        os.kill(pid, signal.SIGCONT)
    t1 = time.monotonic()
    await asyncio.sleep(2)
    lanes.stop()
    await running
    overlapping = [o for o in lanes.outcomes if o.started < t1 and o.started + o.seconds > t0]
    completed = [o for o in overlapping if o.started + o.seconds <= t1]
    seconds = [o.seconds for o in overlapping]
    rate = len(completed) / (t1 - t0)
    print(f"  completed in the 6 s: {len(completed)} ({rate:.1f}/s, cold-cache rate {cold:.1f}/s, x{rate / cold:.2f})")
    print(f"  latency of the requests in flight during the 6 s: p50 {1000 * statistics.median(seconds):.0f} ms, "
          f"p99 {1000 * percentile(seconds, 99):.0f} ms, max {1000 * max(seconds):.0f} ms")
    print(f"  answers >= 500: {failures(overlapping)}; breaker at +3 s: {state}")
    after = lanes.between(t1 + 1, t1 + 2)
    print(f"  1-2 s after: {len(after)} requests, {sum(o.cached for o in after)} from the cache")


async def flood(port: int, tiles: list[Tile]) -> None:
    print("one address, 160 parallel connections, 5 s")
    transport = httpx.AsyncHTTPTransport(local_address="127.0.30.1",
                                         limits=httpx.Limits(max_connections=160, max_keepalive_connections=160))
    statuses: Counter[int] = Counter()
    served_at: list[float] = []
    async with httpx.AsyncClient(base_url=f"http://127.0.0.1:{port}", transport=transport, timeout=30) as client:
        await asyncio.sleep(1.1)  # a fresh window for this address
        end = time.monotonic() + 5

        async def connection(n: int) -> None:
            while time.monotonic() < end:
                z, x, y = tiles[n % len(tiles)]
                try:
                    response = await client.get(f"/gis/plots/{z}/{x}/{y}.pbf")
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
    command = [PG_CTL, "-D", str(STATE / "pg"), "-l", str(STATE / "run" / "postgres.log"), "-m", "fast", "-w",
               "restart"]
    if os.geteuid() == 0:
        command = ["runuser", "-u", "postgres", "--", *command]
    await asyncio.to_thread(subprocess.run, command, check=True, capture_output=True)
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
    await warm_cache(lanes)
    lanes.outcomes.clear()
    running = lanes.start()
    health = lanes.clients[-1]
    states: list[tuple[float, str]] = []
    await asyncio.sleep(1)
    t0 = time.monotonic()
    await asyncio.to_thread(services, "stop-redis")
    while time.monotonic() - t0 < 10:
        states.append((time.monotonic() - t0, await breaker_state(health)))
        await asyncio.sleep(0.5)
    await asyncio.to_thread(services, "start-redis")
    t1 = time.monotonic()
    closed_at = hit_at = None
    while time.monotonic() - t1 < 40 and (closed_at is None or hit_at is None):
        state = await breaker_state(health)
        states.append((time.monotonic() - t0, state))
        if closed_at is None and state == "closed":
            closed_at = time.monotonic() - t1
        if hit_at is None and any(o.cached for o in lanes.between(t1, time.monotonic())):
            hit_at = min(o.started + o.seconds for o in lanes.between(t1, time.monotonic()) if o.cached) - t1
        await asyncio.sleep(0.25)
    lanes.stop()
    await running
    changes = [(t, s) for n, (t, s) in enumerate(states) if n == 0 or states[n - 1][1] != s]
    print(f"  breaker (s since the stop: state): {', '.join(f'{t:.1f}: {s}' for t, s in changes)}")
    during = lanes.between(t0, t1)
    print(f"  while stopped: {len(during)} requests, {failures(during)} failed, "
          f"p99 {1000 * percentile([o.seconds for o in during], 99):.0f} ms")
    closed = "never" if closed_at is None else f"{closed_at:.1f} s"
    hit = "never" if hit_at is None else f"{hit_at:.1f} s"
    print(f"  after the start: breaker closed after {closed}, first cache hit after {hit}; "
          f"failures after {failures(lanes.between(t1, time.monotonic()))}")


async def warm_cache(lanes: Lanes) -> None:
    one_pass = Lanes(lanes.clients, lanes.tiles, lanes.lanes)
    one_pass._next = len(lanes.tiles) * 999
    await one_pass.start()


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
    (ROOT / "test-artifacts").mkdir(exist_ok=True)
    log = open(ROOT / "test-artifacts" / "faults-uvicorn.log", "wb")
    server = uvicorn(args.port, host_environment(), log=log)
    redis = aioredis.Redis(host="127.0.0.1", port=REDIS_PORT)
    clients = [httpx.AsyncClient(base_url=f"http://127.0.0.1:{args.port}", timeout=30,
                                 transport=httpx.AsyncHTTPTransport(local_address=a))
               for a in loopback_addresses()]
    try:
        await until_serving(clients[0])
        # Few enough source addresses that each connection is reused within the server's 5 s
        # keep-alive (a connection it has just closed would count as a failure of the service).
        lanes = Lanes(clients[:64], tiles, args.lanes)
        cold = await cold_rate(lanes, redis)
        print(f"{len(tiles)} plot tiles at zooms 14-16, {args.lanes} lanes; cold-cache rate {cold:.1f} tiles/s")
        if "frozen" in scenarios:
            await frozen(lanes, redis, cold)
        if "flood" in scenarios:
            await warm_cache(lanes)
            await flood(args.port, tiles)
        if "postgres" in scenarios:
            await postgres(Lanes(clients[:64], uncached, args.lanes), redis)
        if "stopped" in scenarios:
            await stopped(lanes)
    finally:
        for client in clients:
            await client.aclose()
        try:
            await redis.aclose()
        except Exception:
            pass
        stop(server)
        log.close()


if __name__ == "__main__":
    asyncio.run(main())
