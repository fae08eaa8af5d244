#!/usr/bin/env python3
"""Fair shares under abuse: legitimate map viewers beside floods of the expensive routes, as users
meet them, at the largest sizes the limits allow, against a live uvicorn with one worker and with two.

    python bench/abuse.py [--plots 20000] [--workers 1,2] [--seconds 12] [--viewer-seconds 10]
                          [--viewer-rate 15] [--flood-connections 120] [--flood-addresses 40] [--forms A,B]
                          [--walk-plots N | --walk-plots all | --walk-plots 0] [--walk-concurrency 8]

For each worker count of `--workers` in turn, runs the host app under uvicorn with that many
workers on a free loopback port, on a demo cadastre of `--plots` plots in a database of its own
(vexa_scale_<size>, loaded once, shared with the other benches) and on a Redis database of its
own (`--redis-db`, emptied at the start, so that no survey plan has been drawn before). Before any measurement, every
drawing process draws 16 plans (PNGs and PDFs of plots the floods do not ask for), as on a server
that has run for a while: a drawing process's size depends on the plans it has drawn, and a flood
measured against processes that have drawn almost nothing shows their first plans as growth. Then:

1. Viewers alone: six addresses (127.0.0.2 to .7), each asking `--viewer-rate` requests a second at
   a steady pace (a browser's six connections each), for `--viewer-seconds`: plot tiles of zooms
   14-16 warmed into the cache first, and every eighth request the layer list (/gis/layers/).
   Printed: rate, p50, p99, failures (anything but 200/204, or no answer).
2. The same viewers during a flood of `--seconds`, from a process of its own: every connection asks
   in turn for a survey plan PNG and a PDF of a plot not drawn before, a bounding-box tile of a box
   not asked before at the limits (plots and beacons; just under the area limit of 1 square degree,
   `max_features` at its maximum of 15,000) and a plot search of one letter or digit, as fast as
   it is answered, whatever it is answered. Form A: one address with `--flood-connections`
   connections; form B: `--flood-addresses` addresses sharing as many connections between them.
3. For each flood: the viewers' p50/p99 and failures beside their unloaded figures and the goal
   (p99 <= 3 x unloaded p99 + 50 ms, no failure); the flood's answers by route and status and
   whether every 429 and 503 carried Retry-After; GET /gis/health/ straight after the flood (goal:
   within 1 s); the RSS of the server's processes (uvicorn, its workers and their children) before,
   at the peak and after, and whether it stays bounded: no process larger, in the flood's last
   third and what it left to answer, than 10 % over the largest of its kind (web worker, drawing
   process, ...) before (earlier in the run, or in the flood's first two thirds; a flood of less
   than about 6 s is all ramp and fails it). Process by process, since each drawing process takes
   tens of MB more while it draws than between plans: the sum over four of them rises and falls
   with how many draw at one moment, while a process that grows shows apart from that.
4. The walk: every plot's plan PNG in ID order (`--walk-plots` of them; all by default), from
   `--walk-addresses` addresses with `--walk-concurrency` requests in flight, each refusal waited
   out as its Retry-After says. Printed as it goes: Redis used_memory against its maxmemory,
   evictions and the server's RSS. A sample of the warmed tiles is read every `--touch-seconds`
   meanwhile (tiles in use, as viewers would; 0: only at the end); a sample tile found missing
   before its lifetime (Cache-Control max-age) has run out was evicted. At the end: X-Cache HIT on
   the sample, and whether each process's RSS peak in the walk's second half stayed within 10 %
   of the largest of its kind in the first half.
5. Every goal, met or not, for each worker count. The walk runs once, on the last server.

How long: the server's start, the warming, the viewers alone and both floods take about 3 minutes
for each worker count.
The walk draws plans as fast as the service does: about 6 a second on a two-core machine (each
tenth of the walk prints its rate), so some 55 minutes for 20,000 plots; `--walk-plots 300`
for a quick look (too short for its memory check: the web workers' plan caches are still
filling), `--walk-plots 0` to skip it. Run it on a quiet machine: the bench's own processes
share the cores with the server. Each server's log is kept in test-artifacts/abuse-uvicorn-<N>w.log;
its warnings and errors are counted after its round. Exit status 1 when a goal is not met.
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import multiprocessing
import random
import re
import statistics
import time
from collections import Counter
from dataclasses import dataclass, field

import httpx
import psutil
import redis.asyncio as aioredis

from lib import ROOT
from lib.cadastre import Tile, cadastre_database, fetch, plot_tiles
from lib.clients import address, addresses, client, redis_client
from lib.latency import latency_line, percentile
from lib.servers import host

VIEWERS = [f"127.0.0.{n}" for n in range(2, 8)]
TOUCHING = "127.0.0.8"  # reads the sample of warmed tiles during the walk
CHECKING = "127.0.0.9"  # the health check after a flood
FLOOD_A = ["127.0.40.1"]
KINDS = ("png", "pdf", "bbox", "search")
BOX_LAYERS = ("plots", "beacons")
BOX_AREA = 0.99  # square degrees: the largest boxes the limit (1) lets through, not rounded past it
MAX_FEATURES = 15_000  # the tile module's MAX_FEATURES_GLOBAL
LAYERS_EVERY = 8  # a viewer's every eighth request is the layer list
WARM_DRAWINGS = 16  # plans each drawing process draws before any measurement (first_plans)
SERVED = (200, 204)
REFUSED = (429, 503)
HEALTH_GOAL_MS = 1000.0
GOALS: list[tuple[str, bool]] = []


def goal(text: str, met: bool) -> str:
    """A goal judged: kept for the closing list, and its verdict for the line that shows it."""
    GOALS.append((text, met))
    return "met" if met else "NOT met"


# --- what is measured ------------------------------------------------------------------------------


@dataclass
class Sample:
    kind: str
    ms: float
    outcome: str  # the status as text, or the transport error's name

    @property
    def failed(self) -> bool:
        return not self.outcome.isdigit() or int(self.outcome) not in SERVED


def samples_line(samples: list[Sample]) -> str:
    ms = [s.ms for s in samples]
    return latency_line(ms, none="no requests")


class RssWatch:
    """The resident memory of the server's processes (uvicorn, its workers and their children),
    sampled in the background: in all, and the largest process of each kind (uvicorn, web worker,
    drawing process, resource tracker)."""

    def __init__(self, pid: int, every_s: float = 0.2) -> None:
        self.root = psutil.Process(pid)
        self.every_s = every_s
        self.samples: list[tuple[float, int, dict[str, int]]] = []
        self.processes = 1
        self._roles: dict[int, str] = {}

    def _role(self, process: psutil.Process) -> str:
        if (role := self._roles.get(process.pid)) is None:
            if process.pid == self.root.pid:
                role = "uvicorn"
            elif "resource_tracker" in " ".join(process.cmdline()):
                role = "resource tracker"
            else:
                role = "web worker" if process.ppid() == self.root.pid else "drawing process"
            self._roles[process.pid] = role
        return role

    def now(self) -> int:
        processes = [self.root, *self.root.children(recursive=True)]
        self.processes = len(processes)
        total, largest = 0, {}
        for process in processes:
            try:
                rss, role = process.memory_info().rss, self._role(process)
            except psutil.NoSuchProcess:
                continue
            total += rss
            largest[role] = max(largest.get(role, 0), rss)
        self.samples.append((time.monotonic(), total, largest))
        return total

    def count(self, role: str) -> int:
        """How many of the server's processes are of kind `role` now."""
        return sum(self._role(process) == role for process in self.root.children(recursive=True))

    async def watch(self) -> None:
        while True:
            await asyncio.to_thread(self.now)
            await asyncio.sleep(self.every_s)

    def peak(self, start: float, end: float) -> int:
        return max((total for t, total, _ in self.samples if start <= t <= end), default=0)

    def largest(self, start: float, end: float) -> dict[str, int]:
        """The largest process of each kind between `start` and `end`."""
        found: dict[str, int] = {}
        for t, _, largest in self.samples:
            if start <= t <= end:
                for role, rss in largest.items():
                    found[role] = max(found.get(role, 0), rss)
        return found

    def bounded(self, earlier: tuple[float, float], later: tuple[float, float]) -> tuple[bool, str]:
        """Whether no process grew later past 10 % over the largest of its kind earlier, and the
        figures: the largest of each kind later against earlier."""
        before, after = self.largest(*earlier), self.largest(*later)
        met = all(rss <= before.get(role, 0) * 1.10 for role, rss in after.items())
        return met, ", ".join(f"{role} {mb(rss)} against {mb(before.get(role, 0))}" for role, rss in sorted(after.items()))


def mb(size: float) -> str:
    return f"{size / 2**20:,.0f} MB"


async def redis_memory(redis: aioredis.Redis) -> tuple[int, int, int]:
    """Redis's used_memory, maxmemory and evicted keys so far."""
    memory, stats = await redis.info("memory"), await redis.info("stats")
    return memory["used_memory"], memory["maxmemory"], stats["evicted_keys"]


# --- legitimate viewers --------------------------------------------------------------------------


@dataclass
class Viewers:
    """The six viewer addresses, each asking `rate` requests a second at a steady pace (however
    long the answers take) from up to six connections, as a browser does."""

    port: int
    tiles: list[Tile]
    rate: float

    async def run(self, seconds: float) -> list[Sample]:
        samples: list[Sample] = []
        clients = [client(self.port, source, 6) for source in VIEWERS]
        started = time.monotonic()

        async def one(http: httpx.AsyncClient, kind: str, path: str) -> None:
            began = time.perf_counter()
            try:
                outcome = str((await http.get(path)).status_code)
            except httpx.TransportError as error:
                outcome = type(error).__name__
            samples.append(Sample(kind, (time.perf_counter() - began) * 1000, outcome))

        async def viewer(n: int, http: httpx.AsyncClient) -> None:
            asked: set[asyncio.Task] = set()
            offset = n / (self.rate * len(VIEWERS))  # the viewers' requests interleaved
            for k in itertools.count():
                at = started + offset + k / self.rate
                if at >= started + seconds:
                    break
                await asyncio.sleep(max(0.0, at - time.monotonic()))
                if k % LAYERS_EVERY == LAYERS_EVERY - 1:
                    kind, path = "layers", "/gis/layers/"
                else:
                    z, x, y = self.tiles[(n * 37 + k) % len(self.tiles)]
                    kind, path = "tile", f"/gis/plots/{z}/{x}/{y}.pbf"
                task = asyncio.create_task(one(http, kind, path))
                asked.add(task)
                task.add_done_callback(asked.discard)
            await asyncio.gather(*asked)

        try:
            await asyncio.gather(*(viewer(n, http) for n, http in enumerate(clients)))
        finally:
            for http in clients:
                await http.aclose()
        return samples


def report_viewers(title: str, samples: list[Sample], seconds: float) -> dict[str, float]:
    failed = [s for s in samples if s.failed]
    how = f" {dict(Counter(s.outcome for s in failed))}" if failed else ""
    print(f"  {title:<22} {len(samples) / seconds:7.1f} requests/s   {samples_line(samples)}   "
          f"failed {len(failed)} of {len(samples)}{how}")
    for kind, name in (("tile", "cached tiles"), ("layers", "layer list")):
        print(f"    {name:<20} {samples_line([s for s in samples if s.kind == kind])}")
    ms = [s.ms for s in samples]
    return {"p50": statistics.median(ms), "p99": percentile(ms, 99), "failed": len(failed)}


# --- the flood, in a process of its own ----------------------------------------------------------


@dataclass
class Flood:
    """What a flood asks for: its addresses, connections per address, and the plans, boxes and
    texts it goes through (each once, unless it runs out of them)."""

    name: str
    port: int
    addresses: list[str]
    per_address: int
    seconds: float
    png_ids: list[int]
    pdf_ids: list[int]
    boxes: list[tuple[str, dict[str, float]]]
    texts: list[str]


@dataclass
class FloodResult:
    name: str
    statuses: dict[str, Counter] = field(default_factory=lambda: {kind: Counter() for kind in KINDS})
    without_retry_after: Counter = field(default_factory=Counter)  # (kind, status)
    details: Counter = field(default_factory=Counter)  # (kind, status, detail) of every answer >= 400
    failures: list[str] = field(default_factory=list)  # a few answers >= 500 other than 503, in full
    asked: Counter = field(default_factory=Counter)
    ended: float = 0.0  # when the flood stopped asking
    last_answer: float = 0.0


def flood_process(flood: Flood, ready, go, results) -> None:
    results.put(asyncio.run(run_flood(flood, ready, go)))


async def run_flood(flood: Flood, ready, go) -> FloodResult:
    result = FloodResult(f"flood {flood.name}")
    clients = [client(flood.port, source, flood.per_address) for source in flood.addresses]
    sources = {"png": itertools.cycle(flood.png_ids), "pdf": itertools.cycle(flood.pdf_ids),
               "bbox": itertools.cycle(flood.boxes), "search": itertools.cycle(flood.texts)}

    def request(kind: str) -> tuple[str, dict]:
        item = next(sources[kind])
        if kind in ("png", "pdf"):
            return f"/plans/{item}.{kind}", {}
        if kind == "bbox":
            layer, box = item
            return f"/gis/{layer}/bbox/", box
        return "/plots/search", {"q": item}

    async def connection(http: httpx.AsyncClient, n: int, end: float) -> None:
        for kind in itertools.islice(itertools.cycle(KINDS), n % len(KINDS), None):
            if time.monotonic() >= end:
                return
            path, params = request(kind)
            result.asked[kind] += 1
            try:
                response = await http.get(path, params=params)
            except httpx.TransportError as error:
                result.statuses[kind][type(error).__name__] += 1
                await asyncio.sleep(0.01)
                continue
            finally:
                result.last_answer = time.monotonic()
            status = response.status_code
            result.statuses[kind][str(status)] += 1
            if status in REFUSED and "retry-after" not in response.headers:
                result.without_retry_after[(kind, status)] += 1
            if status >= 400:
                try:
                    detail = str(response.json().get("detail"))[:100]
                except ValueError:
                    detail = response.text[:100]
                result.details[(kind, status, detail)] += 1
            if status >= 500 and status != 503 and len(result.failures) < 5:
                result.failures.append(f"{status} GET {response.request.url}: {response.text[:300]}")

    ready.set()
    await asyncio.to_thread(go.wait)
    end = time.monotonic() + flood.seconds
    try:
        await asyncio.gather(*(connection(http, n, end) for http in clients for n in range(flood.per_address)))
    finally:
        for http in clients:
            await http.aclose()
    result.ended = end
    return result


def report_flood(result: FloodResult) -> None:
    print(f"  flood answers       {'asked':>7} {'200':>7} {'304':>7} {'429':>7} {'503':>7}   others")
    total: Counter = Counter()
    for kind in KINDS:
        counts = result.statuses[kind]
        total.update(counts)
        others = {k: v for k, v in counts.items() if k not in ("200", "304", "429", "503")}
        print(f"    {kind:<17} {result.asked[kind]:7} {counts['200']:7} {counts['304']:7} {counts['429']:7} "
              f"{counts['503']:7}   {others or ''}")
    others = {k: v for k, v in total.items() if k not in ("200", "304", "429", "503")}
    print(f"    {'all':<17} {sum(result.asked.values()):7} {total['200']:7} {total['304']:7} {total['429']:7} "
          f"{total['503']:7}   {others or ''}")
    for (kind, status, detail), count in sorted(result.details.items(), key=lambda item: -item[1])[:8]:
        print(f"    {count:7} x {kind} {status}: {detail}")
    missing = sum(result.without_retry_after.values())
    refusals = total["429"] + total["503"]
    print(f"  every 429 and 503 carried Retry-After ({refusals} refusals"
          + (f", without it: {dict(result.without_retry_after)}" if missing else "") + "): "
          + goal(f"{result.name}: every 429 and 503 carries Retry-After", missing == 0))
    broken = sum(v for k, v in total.items() if not k.isdigit() or (int(k) >= 500 and k != "503"))
    print("  no flood request failed otherwise (an answer >= 500 but 503, or none within 30 s): "
          + goal(f"{result.name}: no 500 or lost request among the flood's", broken == 0)
          + (f" ({broken})" if broken else ""))
    for failure in result.failures:
        print(f"    {failure}")


async def health(port: int) -> tuple[float, str]:
    """GET /gis/health/ on a fresh connection: milliseconds and the status (or the error's name)."""
    async with client(port, CHECKING, 1) as http:
        began = time.perf_counter()
        try:
            outcome = str((await http.get("/gis/health/")).status_code)
        except httpx.TransportError as error:
            outcome = type(error).__name__
        return (time.perf_counter() - began) * 1000, outcome


async def flood_phase(flood: Flood, title: str, viewers: Viewers, alone: dict[str, float],
                      rss: RssWatch, settle_s: float) -> None:
    print(f"\nflood {flood.name}: {title}, {flood.seconds:g} s")
    context = multiprocessing.get_context("spawn")
    ready, go, results = context.Event(), context.Event(), context.Queue()
    process = context.Process(target=flood_process, args=(flood, ready, go, results), daemon=True)
    process.start()
    try:
        if not await asyncio.to_thread(ready.wait, 120):
            raise RuntimeError("the flood process did not start")
        before_at = time.monotonic()
        before = rss.now()
        go.set()
        started = time.monotonic()
        watching = asyncio.create_task(viewers.run(flood.seconds))
        await asyncio.sleep(max(0.0, started + flood.seconds - time.monotonic()))
        health_ms, health_outcome = await health(viewers.port)
        samples = await watching
        result: FloodResult = await asyncio.to_thread(results.get, True, 300)
        await asyncio.to_thread(process.join, 30)
    finally:
        if process.is_alive():
            process.kill()
    await asyncio.sleep(settle_s)
    after = rss.now()
    peak = rss.peak(before_at, time.monotonic())
    # Bounded: in the flood's end (its last third and what it left to answer) no process of the
    # server is larger, by over 10 %, than the largest of its kind had already been, earlier in
    # the run or in the flood's first two thirds. Process by process: the drawing processes each
    # take tens of MB more while they draw than between plans, so their sum rises and falls with
    # how many draw at one moment; a process that grows shows apart from that.
    two_thirds = started + 2 * flood.seconds / 3
    bounded, figures = rss.bounded((0, two_thirds), (two_thirds, time.monotonic()))

    loaded = report_viewers("viewers in the flood", samples, flood.seconds)
    print(f"  {'viewers alone':<22} {'':20} p50 {alone['p50']:7.1f} ms   p99 {alone['p99']:7.1f} ms")
    bound = 3 * alone["p99"] + 50
    print(f"  viewers' p99 {loaded['p99']:.1f} ms against at most 3 x {alone['p99']:.1f} + 50 = {bound:.1f} ms: "
          + goal(f"flood {flood.name}: viewers' p99 <= 3 x unloaded p99 + 50 ms", loaded["p99"] <= bound))
    print("  no viewer request failed: " + goal(f"flood {flood.name}: no viewer request fails", loaded["failed"] == 0))
    report_flood(result)
    print(f"  the flood's last answer came {result.last_answer - result.ended:.1f} s after it stopped asking")
    print(f"  health check straight after the flood: {health_ms:.0f} ms ({health_outcome}), goal within "
          f"{HEALTH_GOAL_MS:.0f} ms: " + goal(f"flood {flood.name}: GET /gis/health/ within 1 s after the flood",
                                              health_ms <= HEALTH_GOAL_MS and health_outcome == "200"))
    print(f"  server RSS ({rss.processes} processes): before {mb(before)}, peak {mb(peak)}, "
          f"{settle_s:g} s after {mb(after)}")
    print(f"  server RSS stays bounded (the largest process of each kind in the flood's last third and after, "
          f"within 10 % of the largest of its kind before: {figures}): "
          + goal(f"flood {flood.name}: server RSS stays bounded", bounded))


# --- the walk over every plot's plan -------------------------------------------------------------


@dataclass
class TileSample:
    """Warmed tiles read now and then: a miss before a tile's lifetime has run out is an eviction."""

    port: int
    tiles: list[Tile]
    warmed_at: float  # no later than any of them was cached
    lifetime: dict[Tile, float]  # from their cached answers' max-age
    cached_at: dict[Tile, float] = field(default_factory=dict)
    reads: Counter = field(default_factory=Counter)  # hit, expired, evicted, failed

    async def read(self) -> Counter:
        """One read of every tile of the sample (a miss stores it again)."""
        now: Counter = Counter()
        async with client(self.port, TOUCHING, 4) as http:
            for tile in self.tiles:
                z, x, y = tile
                answer = await http.get(f"/gis/plots/{z}/{x}/{y}.pbf")
                if answer.status_code != 200:
                    kind = "failed"
                elif answer.headers.get("x-cache") == "HIT":
                    kind = "hit"
                else:  # stored again by this request
                    lived = time.monotonic() - self.cached_at.get(tile, self.warmed_at)
                    kind = "evicted" if lived < self.lifetime.get(tile, 0.0) - 2 else "expired"
                    self.cached_at[tile] = time.monotonic()
                now[kind] += 1
                await asyncio.sleep(0.05)  # well under the address's 40 tiles a second
        self.reads.update(now)
        return now


async def walk(port: int, ids: list[int], addresses: int, concurrency: int, redis: aioredis.Redis, rss: RssWatch,
               sample: TileSample, touch_s: float) -> None:
    print(f"\nwalk: the plan PNG of {len(ids):,} plots (IDs {ids[0]} to {ids[-1]}), {addresses} addresses, "
          f"{concurrency} requests in flight; the {len(sample.tiles)} sample tiles read every {touch_s:g} s")
    clients = [client(port, address(50, n), max(1, concurrency // addresses) + 1) for n in range(addresses)]
    pending = iter(ids)
    outcomes: Counter = Counter()
    waits: Counter = Counter()  # refusals waited out, by status
    without_retry_after: Counter = Counter()
    failures: list[str] = []
    done = 0
    started = time.monotonic()
    used0, maxmemory, evicted0 = await redis_memory(redis)
    peak_used = used0
    rss0 = rss.now()
    step = max(1, len(ids) // 10)

    def progress() -> str:
        elapsed = time.monotonic() - started
        return (f"{done:7,} plans {elapsed:7.0f} s {done / elapsed:5.1f}/s   Redis {mb(used):>9} of {mb(maxmemory)}, "
                f"{evicted - evicted0:7,} evicted   server RSS {mb(rss.now()):>9}")

    async def walker(n: int) -> None:
        nonlocal done
        http = clients[n % len(clients)]
        for plot_id in pending:
            for attempt in itertools.count():
                try:
                    answer = await http.get(f"/plans/{plot_id}.png")
                except httpx.TransportError as error:
                    if attempt < 3:
                        await asyncio.sleep(1)
                        continue
                    outcomes[type(error).__name__] += 1
                    break
                if answer.status_code in REFUSED:
                    waits[answer.status_code] += 1
                    if "retry-after" not in answer.headers:
                        without_retry_after[answer.status_code] += 1
                    await asyncio.sleep(float(answer.headers.get("retry-after", "1")))
                    continue
                outcomes[str(answer.status_code)] += 1
                if answer.status_code != 200 and len(failures) < 5:
                    failures.append(f"{answer.status_code} GET {answer.request.url}: {answer.text[:300]}")
                break
            done += 1
            if done % step == 0 or done == len(ids):
                print(f"  {progress()}", flush=True)

    async def watch_redis() -> None:
        nonlocal used, evicted, peak_used
        while True:
            used, _, evicted = await redis_memory(redis)
            peak_used = max(peak_used, used)
            await asyncio.sleep(0.5)

    async def touch() -> None:
        while True:
            await asyncio.sleep(touch_s)
            await sample.read()

    used, evicted = used0, evicted0
    watching = asyncio.create_task(watch_redis())
    touching = asyncio.create_task(touch()) if touch_s > 0 else None
    try:
        await asyncio.gather(*(walker(n) for n in range(concurrency)))
    finally:
        for task in (watching, touching):
            if task is not None:
                task.cancel()
        for http in clients:
            await http.aclose()
    wall = time.monotonic() - started
    used, _, evicted = await redis_memory(redis)
    peak_used = max(peak_used, used)
    at_end = await sample.read()

    print(f"  {done:,} plans in {wall:.0f} s ({done / wall:.1f}/s): answers {dict(outcomes)}; refusals waited out "
          f"{dict(waits) or 'none'}")
    for failure in failures:
        print(f"    {failure}")
    print("  every plan served: " + goal("walk: every plot's plan is served", set(outcomes) <= {"200"}))
    if waits:
        print("  every refusal carried Retry-After: "
              + goal("walk: every 429 and 503 carries Retry-After", not without_retry_after))
    print(f"  Redis used_memory: {mb(used0)} before, peak {mb(peak_used)}, {mb(used)} after; "
          f"maxmemory {mb(maxmemory)}; {evicted - evicted0:,} keys evicted")
    within = maxmemory > 0 and peak_used <= maxmemory * 1.02
    print("  Redis stays within its maxmemory (2 % over for the write that makes it evict): "
          + goal("walk: Redis used_memory stays within maxmemory", within))
    halfway = started + wall / 2
    first, second = rss.peak(started, halfway), rss.peak(halfway, time.monotonic())
    bounded, figures = rss.bounded((started, halfway), (halfway, time.monotonic()))
    print(f"  server RSS: {mb(rss0)} before, peak {mb(max(first, second))}, {mb(rss.now())} after; peak in the "
          f"walk's first half {mb(first)}, second half {mb(second)}")
    print(f"  the largest process of each kind in the second half, against the first: {figures}: "
          + goal("walk: server RSS stays bounded (no process's peak in the second half over 10 % above the "
                 "largest of its kind in the first)", bounded))
    reads = sample.reads
    print(f"  sample tiles read during and after the walk: {reads['hit']} hits, {reads['expired']} misses after "
          f"their lifetime, {reads['evicted']} misses before it (evicted), {reads['failed']} failed")
    kept = reads["evicted"] == 0 and reads["failed"] == 0 and at_end["hit"] + at_end["expired"] == len(sample.tiles)
    print(f"  at the end: {at_end['hit']} of {len(sample.tiles)} sample tiles X-Cache: HIT "
          f"({at_end['expired']} past their lifetime, {at_end['evicted']} evicted, {at_end['failed']} failed): "
          + goal("walk: warmed tiles are still served from the cache (no sample tile evicted, none failed)", kept))


def log_summary(path) -> None:
    """The server log's warnings, errors and tracebacks, counted by message (numbers masked)."""
    lines = path.read_text(errors="replace").splitlines()
    notable = Counter(re.sub(r"\d+", "N", line.strip())[:140] for line in lines
                      if re.search(r"WARNING|ERROR|CRITICAL|Traceback|Exception", line))
    print(f"\nserver log ({path.relative_to(ROOT)}): {len(lines)} lines, {sum(notable.values())} warnings, errors or "
          "tracebacks" + (":" if notable else ""))
    for line, count in notable.most_common(6):
        print(f"  {count:6} x {line}")


# --- what the floods ask for ---------------------------------------------------------------------


async def flood_material(seed: int, database: str) -> tuple[list[int], list[tuple[str, dict[str, float]]], list[str]]:
    """The plot IDs shuffled, boxes at the limits (just under MAX_BBOX_AREA_WGS84, MAX_FEATURES_GLOBAL
    features) over the plots' extent, and one-letter search texts, all in a seeded order."""
    numbers = await fetch('SELECT "ID" FROM "GIS"."PLOT" ORDER BY "ID"', database=database)
    ids = [row["ID"] for row in numbers]
    extent, = await fetch('SELECT ST_XMin(e) AS x0, ST_YMin(e) AS y0, ST_XMax(e) AS x1, ST_YMax(e) AS y1 FROM '
                          '(SELECT ST_Extent(ST_Transform("GEOMETRY", 4326))::geometry AS e FROM "GIS"."PLOT") AS s',
                          database=database)
    rng = random.Random(seed)
    rng.shuffle(ids)
    boxes = []
    for n in range(40_000):
        # 0.99 square degrees, of any shape from 0.66 x 1.5 to 1.5 x 0.66, somewhere over the plots
        w = rng.uniform(0.66, 1.5)
        h = BOX_AREA / w
        x = rng.uniform(extent["x0"] - w / 2, extent["x1"] - w / 2)
        y = rng.uniform(extent["y0"] - h / 2, extent["y1"] - h / 2)
        boxes.append((BOX_LAYERS[n % 2], {"minx": round(x, 6), "miny": round(y, 6), "maxx": round(x + w, 6),
                                          "maxy": round(y + h, 6), "max_features": MAX_FEATURES}))
    texts = list("0123456789abcdefghijklmnopqrstuvwxyz")
    rng.shuffle(texts)
    return ids, boxes, texts


def max_age(answer: httpx.Response) -> float | None:
    """The lifetime a cached tile's answer gives it (a miss's answer gives none)."""
    match = re.search(r"max-age=(\d+)", answer.headers.get("cache-control", ""))
    return float(match.group(1)) if match else None


async def warm(port: int, tiles: list[Tile]) -> dict[Tile, float]:
    """Every tile asked once, over many addresses (each well under its rate), then checked a hit:
    the tiles' lifetimes in the cache."""
    clients = [client(port, source, 2) for source in addresses(10, len(tiles) // 10 + 1)]
    try:
        for rounds in range(2):
            answers = await asyncio.gather(*(clients[n // 10].get(f"/gis/plots/{z}/{x}/{y}.pbf")
                                             for n, (z, x, y) in enumerate(tiles)))
            bad = [a for a in answers if a.status_code != 200]
            if bad:
                raise RuntimeError(f"warming the tiles: {len(bad)} answers not 200, e.g. "
                                   f"{bad[0].status_code} {bad[0].text[:200]}")
            await asyncio.sleep(1.1)  # the addresses' next window
        misses = sum(a.headers.get("x-cache") != "HIT" for a in answers)
        if misses:
            raise RuntimeError(f"{misses} of {len(tiles)} warmed tiles were not answered from the cache")
        return {tile: max_age(answer) or 0.0 for tile, answer in zip(tiles, answers)}
    finally:
        for http in clients:
            await http.aclose()


async def first_plans(port: int, ids: list[int]) -> None:
    """The plan PNG and PDF of every plot of `ids`, drawn before any measurement: at least
    WARM_DRAWINGS for each drawing process. A drawing process's size depends on the plans it has
    drawn (the first loads the renderer's fonts; some plots take more memory than others), so a
    flood measured against processes that have drawn almost nothing shows their first plans as
    growth (218 MB in flood A's last third against 176 MB before, in one run). Each from
    an address of its own (127.0.60.1 and on), since a client may have only two distinct plans
    drawn a second, a few at a time, a refusal waited out as its Retry-After says."""
    paths = [f"/plans/{plot_id}.{kind}" for plot_id in ids for kind in ("png", "pdf")]
    at_once = asyncio.Semaphore(6)

    async def draw(n: int, path: str) -> httpx.Response:
        async with at_once, client(port, address(60, n), 1) as http:
            while (answer := await http.get(path)).status_code in REFUSED:
                await asyncio.sleep(float(answer.headers.get("retry-after", "1")))
            return answer

    answers = await asyncio.gather(*(draw(n, path) for n, path in enumerate(paths)))
    bad = [a for a in answers if a.status_code != 200]
    if bad:
        raise RuntimeError(f"first plans: {bad[0].status_code} {bad[0].text[:200]}")


async def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plots", type=int, default=20_000, help="demo cadastre size (loaded when fewer)")
    parser.add_argument("--workers", default="1,2", help="worker counts to run the server with, in turn")
    parser.add_argument("--seconds", type=float, default=12, help="length of each flood")
    parser.add_argument("--viewer-seconds", type=float, default=10, help="length of the viewers' run alone")
    parser.add_argument("--viewer-rate", type=float, default=15, help="requests a second of each viewer address")
    parser.add_argument("--flood-connections", type=int, default=120, help="connections of each flood")
    parser.add_argument("--flood-addresses", type=int, default=40, help="addresses of flood B")
    parser.add_argument("--forms", default="A,B", help="floods to run: A (one address), B (many)")
    parser.add_argument("--walk-plots", default="all", help="plans to walk in ID order: a number, all, or 0 for none")
    parser.add_argument("--walk-addresses", type=int, default=4)
    parser.add_argument("--walk-concurrency", type=int, default=8)
    parser.add_argument("--touch-seconds", type=float, default=60, help="sample tiles read this often in the walk")
    parser.add_argument("--settle", type=float, default=5, help="seconds after a flood before the next step")
    parser.add_argument("--redis-db", type=int, default=4, help="the server's Redis database (emptied first)")
    parser.add_argument("--port", type=int, default=0, help="the server's port (a free one when 0)")
    args = parser.parse_args()
    forms = [form.strip().upper() for form in args.forms.split(",") if form.strip()]

    worker_counts = [int(n) for n in args.workers.split(",") if n.strip()]
    database = await cadastre_database(args.plots)
    tiles = await plot_tiles(range(14, 17), 80, database=database)
    all_ids, boxes, texts = await flood_material(seed=19, database=database)
    redis = redis_client(args.redis_db)
    try:
        for round_number, workers in enumerate(worker_counts):
            log_path = ROOT / "test-artifacts" / f"abuse-uvicorn-{workers}w.log"
            last = round_number == len(worker_counts) - 1
            await redis.flushdb()  # no plan drawn before, no tile cached
            # Each round its own plots, boxes and texts: nothing the round before asked for is cached.
            ids = all_ids[round_number::len(worker_counts)]
            round_boxes = boxes[round_number::len(worker_counts)]
            async with host(database, redis_db=args.redis_db, workers=workers, log_path=log_path,
                            port=args.port) as server:
                port = server.port
                rss = RssWatch(server.process.pid)
                warmed = max(1, rss.count("drawing process")) * WARM_DRAWINGS // 2  # a PNG and a PDF each
                spare, ids = ids[:warmed], ids[warmed:]
                half = len(ids) // 2
                await first_plans(port, spare)
                warmed_at = time.monotonic()
                lifetimes = await warm(port, tiles)
                watching = asyncio.create_task(rss.watch())
                label = f"{workers} worker{'s' if workers > 1 else ''}"
                print(f"\n=== {label} ===\n{len(all_ids):,} plots in {database}; uvicorn with {label} on "
                      f"127.0.0.1:{port}, Redis database {args.redis_db}; {len(tiles)} plot tiles of zooms 14-16 "
                      f"warmed; server RSS {mb(rss.now())} ({rss.processes} processes)")

                viewers = Viewers(port, tiles, args.viewer_rate)
                print(f"\nviewers alone: {len(VIEWERS)} addresses x {args.viewer_rate:g} requests/s, "
                      f"{args.viewer_seconds:g} s")
                alone = report_viewers("viewers alone", await viewers.run(args.viewer_seconds), args.viewer_seconds)
                if alone["failed"]:
                    print("  (viewers fail without any flood: the floods' figures below are not comparable)")

                per_b = max(1, args.flood_connections // args.flood_addresses)
                plans = {"A": ids[:half], "B": ids[half:]}
                for form in forms:
                    own = plans[form]
                    shared = dict(port=port, seconds=args.seconds, png_ids=own[0::2], pdf_ids=own[1::2],
                                  boxes=round_boxes[0::2] if form == "A" else round_boxes[1::2],
                                  texts=texts[0::2] if form == "A" else texts[1::2])
                    if form == "A":
                        flood = Flood(f"A, {label}", addresses=FLOOD_A, per_address=args.flood_connections, **shared)
                        title = f"one address with {args.flood_connections} connections"
                    else:
                        flood = Flood(f"B, {label}",
                                      addresses=[f"127.0.41.{n}" for n in range(1, args.flood_addresses + 1)],
                                      per_address=per_b, **shared)
                        title = f"{args.flood_addresses} addresses with {per_b} connections each"
                    await flood_phase(flood, title, viewers, alone, rss, args.settle)

                walk_ids = sorted(spare + ids)
                if args.walk_plots != "all":
                    walk_ids = walk_ids[:int(args.walk_plots)]
                if walk_ids and last:
                    sample = TileSample(port, tiles[::len(tiles) // 30 or 1][:30], warmed_at, lifetimes)
                    await walk(port, walk_ids, args.walk_addresses, args.walk_concurrency, redis, rss, sample,
                               args.touch_seconds)
                watching.cancel()
            log_summary(log_path)
    finally:
        await redis.aclose()

    print("\ngoals:")
    for text, met in GOALS:
        print(f"  {'met    ' if met else 'NOT met'}  {text}")
    return 0 if all(met for _, met in GOALS) else 1


if __name__ == "__main__":
    raise SystemExit(asyncio.run(main()))
