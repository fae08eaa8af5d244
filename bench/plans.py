#!/usr/bin/env python3
"""Survey plan rendering speed and memory, beside its floor measured in the same run.

    python bench/plans.py [--plans 200] [--rounds 12] [--port 18550] [--first-plot 12000]

The floor of a plan is matplotlib drawing the same artists: each plan's pyplot and axes calls
are recorded once (tests/recording.py) and replayed on real matplotlib, so the plan minus the
replay is the renderer's own cost. Plan and replay run in alternation, `--rounds` times each,
for the sample plan and three demo plots of the cadastre in PostGIS (the smallest, the median
and the largest by area); printed are the medians and the ratio plan / replay, then where the
replay's time goes (artists made, text layout, Agg rasterising, PNG encoding).

The plan endpoint is then measured under uvicorn on 127.0.0.1:`--port`: a repeated request of
a plan already drawn (digest of the records, the plan from the process's memory, answer), its
304 revalidation, and as the floors the same digest statement made directly in this process and
a bare request of the same server (its OpenAPI document); beside them, what reading the plan
from Redis would have cost.

Plans beside tiles: a cached tile is asked for 20 times a second from one address, alone (the
floor) and while another address asks for 24 distinct PNGs at once, then 12 distinct PDFs at
once; printed are the tile's latencies and how the plans were answered (drawn, or 503 when the
render pool's queue stayed full).

Memory: a typical parcel (8 beacons, 30 neighbours, 5 roads) is drawn `--plans` times in a
row. Printed are the peak of
Python allocations (tracemalloc), resident memory before, once it has settled (the allocator
keeps the freed 17 MB image buffers of the first plans) and after the last plan, with the
count of live Python objects: a leak would show as growth between the last two. The peak is taken in a separate pass of
ten plans, since tracing slows the renderer down.
"""

from __future__ import annotations

import argparse
import asyncio
import cProfile
import contextlib
import gc
import io
import pstats
import resource
import statistics
import time
import tracemalloc
import warnings
from collections.abc import Awaitable, Callable

import asyncpg
import psutil

from lib import settings
from lib.cadastre import load, pg_url
from lib.clients import client, redis_client
from lib.latency import percentile, timed
from lib.servers import host

warnings.filterwarnings("ignore", category=DeprecationWarning)

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.image  # noqa: E402
import matplotlib.patches as mpatches  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
from plans import records as survey_plans  # noqa: E402  the host's, on the path lib puts it on
from recording import Call, RecordingAxes, RecordingPyplot  # noqa: E402  tests/recording.py, likewise

from vexa import plots  # noqa: E402

PG_URL = pg_url()


def typical_parcel():
    parcels, selected, roads = survey_plans.sample_records()
    neighbours = [p for p in parcels if p["parcel_number"] != selected]
    assert len(neighbours) >= 29
    parcels = [parcels[0]] + neighbours[:30]
    while len(parcels) < 31:  # top the ring of neighbours up to thirty
        parcels.append(dict(neighbours[len(parcels) % len(neighbours)], parcel_number=f"extra-{len(parcels)}"))
    roads = roads + roads[:2]
    assert len(parcels[0]["boundary"]) == 8 and len(parcels) == 31 and len(roads) == 5
    return parcels, selected, roads


def quietly(fn, *args):
    with contextlib.redirect_stdout(io.StringIO()):  # the renderer prints the scale of every plan
        return fn(*args)


# --- the floor: the same drawing calls replayed on matplotlib ---------------------------------


class RecordingPatches:
    """patches.Rectangle recorded as a call, made anew at every replay."""

    @staticmethod
    def Rectangle(*args, **kwargs):
        return Call("Rectangle", args, kwargs)


def record(records):
    """The figure of one plan as its calls: (figure kwargs, axes rect, axes calls, savefig kwargs)."""
    pyplot = RecordingPyplot()
    real_plt, real_patches = plots.plt, plots.patches
    plots.plt, plots.patches = pyplot, RecordingPatches
    try:
        quietly(plots.generate_plot, *records)
    finally:
        plots.plt, plots.patches = real_plt, real_patches
    (fig,) = pyplot.figures
    return fig.kwargs, fig.rect, fig.axes.calls, pyplot.saved[0]


def build(recorded):
    """Figure, axes and every artist of the recorded plan, on real matplotlib."""
    fig_kwargs, rect, calls, _ = recorded
    fig = plt.figure(**fig_kwargs)
    ax = fig.add_axes(rect)
    for call in calls:
        args = tuple(mpatches.Rectangle(*a.args, **a.kwargs) if isinstance(a, Call) else a for a in call.args)
        kwargs = {k: ax.transAxes if v is RecordingAxes.transAxes else v for k, v in call.kwargs.items()}
        getattr(ax, call.name)(*args, **kwargs)
    return fig


def replay(recorded) -> None:
    fig = build(recorded)
    fig.savefig(io.BytesIO(), **recorded[3])
    plt.close(fig)


def alternating(plan, floor, rounds: int) -> tuple[float, float, float]:
    """Medians of the CPU ms of `plan` and `floor`, and the median of their ratio round by round.
    The two run in alternation, in turn first (plan-floor, floor-plan, ...), so that a change of
    the machine's speed during the run falls on both: drawing is one thread's work, and on a shared
    machine CPU time is what other processes leave alone."""
    a, b = [], []
    for i in range(rounds):
        order = ((plan, a), (floor, b)) if i % 2 == 0 else ((floor, b), (plan, a))
        for fn, out in order:
            started = time.process_time()
            fn()
            out.append((time.process_time() - started) * 1000)
    return statistics.median(a), statistics.median(b), statistics.median(x / y for x, y in zip(a, b))


def breakdown(recorded, rounds: int = 5) -> dict[str, float]:
    """Where a replay's time goes, in ms: artists made; the Agg draw, of which text layout and
    text rasterising (from a profile of the draw, as shares); PNG encoding of the drawn canvas."""
    made, drawn, encoded, shares = [], [], [], []
    for _ in range(rounds):
        t0 = time.process_time()
        fig = build(recorded)
        t1 = time.process_time()
        fig.canvas.draw()
        t2 = time.process_time()
        matplotlib.image.imsave(io.BytesIO(), fig.canvas.buffer_rgba(), format="png", dpi=300,
                                metadata={"Software": f"Matplotlib version{matplotlib.__version__}, https://matplotlib.org/"})
        t3 = time.process_time()
        plt.close(fig)
        made.append(t1 - t0), drawn.append(t2 - t1), encoded.append(t3 - t2)
        fig = build(recorded)
        profile = cProfile.Profile()
        profile.enable()
        fig.canvas.draw()
        profile.disable()
        plt.close(fig)
        stats = pstats.Stats(profile).stats
        total = sum(v[2] for v in stats.values())  # own times
        def cumulative(name):
            return sum(v[3] for k, v in stats.items() if k[2] == name)
        layout = cumulative("_get_layout")
        raster = cumulative("draw_text")
        shares.append((layout / total, raster / total))
    ms = lambda xs: statistics.median(xs) * 1000  # noqa: E731
    draw = ms(drawn)
    layout_share = statistics.median(s[0] for s in shares)
    raster_share = statistics.median(s[1] for s in shares)
    return {"artists made": ms(made), "Agg draw": draw, "  text layout": draw * layout_share,
            "  text rasterising": draw * raster_share,
            "  paths and the rest": draw * (1 - layout_share - raster_share), "PNG encoding": ms(encoded)}


async def demo_plots() -> list[tuple[str, tuple]]:
    """Records of the smallest, the median and the largest plot of the demo cadastre."""
    conn = await asyncpg.connect(PG_URL)
    try:
        if not await conn.fetchval('SELECT EXISTS (SELECT 1 FROM "GIS"."PLOT")'):
            load(settings.DATABASE, "--plots", "20000")
        rows = await conn.fetch('SELECT "ID", "AREA_SYSTEM" FROM "GIS"."PLOT" WHERE "AREA_SYSTEM" > 0 '
                                'ORDER BY "AREA_SYSTEM", "ID"')
        picks = [("smallest", rows[0]), ("median", rows[len(rows) // 2]), ("largest", rows[-1])]
        return [(f"demo plot {row['ID']} ({which}, {row['AREA_SYSTEM']:.0f} m2)",
                 survey_plans.drawable(await survey_plans.records_from_database(conn, row["ID"])))
                for which, row in picks]
    finally:
        await conn.close()


def speed(rounds: int) -> None:
    cases = [("sample plan", survey_plans.sample_records())] + asyncio.run(demo_plots())
    print(f"plan against replay (the same matplotlib calls), 190 x 160 mm at 300 dpi, CPU time, {rounds} rounds each;")
    print("ratio: the median of plan / replay over the rounds")
    print(f"  {'':44} {'parcels':>7} {'roads':>5} {'plan ms':>8} {'replay ms':>9} {'ratio':>6}")
    worst = 0.0
    for name, records in cases:
        recorded = record(records)
        plan_once = lambda: quietly(plots.generate_plot, *records)  # noqa: E731
        for _ in range(2):  # warm fonts and caches
            plan_once(), replay(recorded)
        p, r, ratio = alternating(plan_once, lambda: replay(recorded), rounds)
        worst = max(worst, ratio)
        print(f"  {name:44} {len(records[0]):7} {len(records[2]):5} {p:8.1f} {r:9.1f} {ratio:6.3f}")
    print(f"  worst ratio plan / replay {worst:.3f}")
    print("where the replay of the largest demo plot goes (CPU ms, median of 5):")
    for part, value in breakdown(record(cases[-1][1])).items():
        print(f"  {part:24} {value:8.1f}")


# --- the host's plan endpoint -------------------------------------------------------------------


async def endpoint(port: int, requests: int) -> None:
    async with host(port=port, access_log=True) as server, client(server.port, timeout=60) as http:
        plot = 10_000
        first = await http.get(f"/plans/{plot}.png")  # drawn and cached
        assert first.status_code == 200, first.text
        tag = first.headers["ETag"]

        async def one_at_a_time(fn: Callable[[], Awaitable[object]]) -> list[float]:
            return (await timed([fn] * requests, 1))[1]

        async def repeated():
            assert (await http.get(f"/plans/{plot}.png")).status_code == 200

        async def revalidated():
            assert (await http.get(f"/plans/{plot}.png", headers={"If-None-Match": tag})).status_code == 304

        conn = await asyncpg.connect(PG_URL)
        rds = redis_client()
        key = (await rds.keys("survey_plan:png:*"))[0]

        async def digest():
            await survey_plans.records_digest(conn, plot)

        async def redis_read():
            await rds.hmget(key, ["body", "headers"])

        async def bare():
            assert (await http.get("/openapi.json")).status_code == 200

        hit, not_modified = await one_at_a_time(repeated), await one_at_a_time(revalidated)
        floor, from_redis, bare_http = (await one_at_a_time(digest), await one_at_a_time(redis_read),
                                        await one_at_a_time(bare))
        await conn.close()
        await rds.aclose()
    p = lambda xs: f"{statistics.median(xs):6.2f} ms (median), p99 {percentile(xs, 99):6.2f} ms"  # noqa: E731
    print(f"plan endpoint under uvicorn, plot {plot} ({len(first.content)} bytes), {requests} requests each")
    print(f"  repeated request (200, plan in memory)  {p(hit)}")
    print(f"  revalidation (If-None-Match -> 304)     {p(not_modified)}")
    print(f"  floor: the digest statement             {p(floor)}")
    print(f"  floor: a bare request (/openapi.json)   {p(bare_http)}")
    print(f"  (a Redis read of the plan, not made     {p(from_redis)})")
    print(f"  repeated request / (digest + bare)      "
          f"{statistics.median(hit) / (statistics.median(floor) + statistics.median(bare_http)):6.2f}")


# --- plans beside tiles --------------------------------------------------------------------------


async def beside_tiles(port: int, plot: int) -> None:
    """A cached tile's latency from one address, alone (the floor) and while another address asks
    for distinct plans (24 PNGs at once, then 12 PDFs at once), and how those plans were answered."""
    tile = "/gis/plots/16/34101/31135.pbf"

    async def tiles(until: asyncio.Event | float, out: list[float]) -> None:
        async with client(server.port, "127.0.10.1", timeout=120) as c:  # 20 a second, under the address's limit of 40
            while not (until.is_set() if isinstance(until, asyncio.Event) else time.perf_counter() > until):
                started = time.perf_counter()
                assert (await c.get(tile)).status_code == 200
                out.append((time.perf_counter() - started) * 1000)
                await asyncio.sleep(max(0.0, 0.05 - (time.perf_counter() - started)))

    rds = redis_client()
    if keys := [key async for key in rds.scan_iter("survey_plan*")]:  # the plans and their index: all drawn anew
        await rds.unlink(*keys)
    await rds.aclose()
    async with host(port=port) as server, client(server.port, "127.0.11.1", timeout=120) as plans:
        assert (await plans.get(tile)).status_code == 200 and (await plans.get(f"/plans/{plot}.png")).status_code == 200
        alone: list[float] = []
        await tiles(time.perf_counter() + 3, alone)
        figure = lambda xs: f"p50 {statistics.median(xs):7.1f}  p99 {percentile(xs, 99):7.1f}  max {max(xs):7.1f} ms"  # noqa: E731
        print("a cached tile beside distinct plans asked for at once from another address (uvicorn, one worker)")
        print(f"  {'tile alone (floor)':34} {figure(alone)}")
        for name, paths in (("24 PNGs", [f"/plans/{plot + 1 + i}.png" for i in range(24)]),
                            ("12 PDFs", [f"/plans/{plot + 101 + i}.pdf" for i in range(12)])):
            done, meanwhile, answers = asyncio.Event(), [], []
            ticking = asyncio.create_task(tiles(done, meanwhile))
            started = time.perf_counter()

            async def one(path: str) -> None:
                begun = time.perf_counter()
                answers.append(((await plans.get(path)).status_code, (time.perf_counter() - begun) * 1000))

            await asyncio.gather(*[one(p) for p in paths])
            wall = time.perf_counter() - started
            done.set()
            await ticking
            by_status = {code: [ms for c, ms in answers if c == code] for code in sorted({c for c, _ in answers})}
            print(f"  {'tile while ' + name:34} {figure(meanwhile)}  p99 / floor {percentile(meanwhile, 99) / percentile(alone, 99):5.1f}")
            print(f"  {name} in {wall:5.1f} s: " + ", ".join(f"{len(ms)} x {code} (median {statistics.median(ms):6.0f} ms)"
                                                        for code, ms in by_status.items()))


# --- memory ---------------------------------------------------------------------------------------


def memory(n_plans: int) -> None:
    parcels, selected, roads = typical_parcel()
    plan_once = lambda: quietly(plots.generate_plot, parcels, selected, roads)  # noqa: E731

    def timed(n: int) -> None:
        for _ in range(n):
            plan_once()

    process = psutil.Process()
    rss_before = process.memory_info().rss
    settle = min(50, n_plans // 2)
    timed(settle)
    gc.collect()
    rss_settled, objects_settled = process.memory_info().rss, len(gc.get_objects())
    timed(n_plans - settle)
    gc.collect()
    rss_end, objects_end = process.memory_info().rss, len(gc.get_objects())
    peak_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    tracemalloc.start()  # slows everything down: a separate pass
    timed(10)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(f"memory of a typical plan (8 beacons, 30 neighbours, 5 roads), {n_plans} plans")
    print(f"  Python allocation peak             {peak / 2**20:8.1f} MiB")
    print(f"  resident memory                    {rss_before / 2**20:8.1f} MiB before, {rss_settled / 2**20:.1f} MiB after "
          f"{settle} plans, {rss_end / 2**20:.1f} MiB after {n_plans}; peak {peak_rss / 2**20:.1f} MiB")
    print(f"  live Python objects                {objects_settled} after {settle} plans, {objects_end} after {n_plans};"
          f" open figures afterwards: {len(plt.get_fignums())}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plans", type=int, default=200, help="plans drawn for the memory figures")
    parser.add_argument("--rounds", type=int, default=20, help="plans and replays timed per case")
    parser.add_argument("--requests", type=int, default=200, help="requests timed per endpoint figure")
    parser.add_argument("--port", type=int, default=18550, help="port of the uvicorn the endpoint is measured on")
    parser.add_argument("--first-plot", type=int, default=12_000,
                        help="plots from this ID on are drawn beside the tiles (plans not yet in Redis)")
    args = parser.parse_args()
    speed(args.rounds)
    asyncio.run(endpoint(args.port, args.requests))
    asyncio.run(beside_tiles(args.port, args.first_plot))
    memory(args.plans)


if __name__ == "__main__":
    main()
