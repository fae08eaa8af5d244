#!/usr/bin/env python3
"""Survey plan rendering speed and memory, beside its floor measured in the same run.

    python bench/plans.py [--plans 200]

A typical parcel (8 beacons, 30 neighbours, 5 roads) is drawn on 190 x 160 mm at 300 dpi,
`--plans` times in a row. The floor is saving an empty figure of the same size and dpi to PNG
in memory. Prints milliseconds per plan, the ratio to the floor, and memory: the peak of
Python allocations (tracemalloc), resident memory before, once it has settled (the allocator
keeps the freed 17 MB image buffers of the first plans) and after the last plan, with the
count of live Python objects: a leak would show as growth between the last two. The peak is taken in a separate pass of
ten plans, since tracing slows the renderer down.
"""

from __future__ import annotations

import argparse
import gc
import io
import resource
import statistics
import sys
import time
import tracemalloc
import warnings
from pathlib import Path

import psutil

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "api"))
warnings.filterwarnings("ignore", category=DeprecationWarning)

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import survey_plans  # noqa: E402

from vexa import plots  # noqa: E402


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


def floor_once() -> None:
    fig = plt.figure(figsize=(190 / 25.4, 160 / 25.4), dpi=300)
    fig.add_axes([0, 0, 1, 1]).axis("off")
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=300, transparent=False)
    plt.close(fig)


def timed(fn, n: int) -> list[float]:
    out = []
    for _ in range(n):
        started = time.perf_counter()
        fn()
        out.append((time.perf_counter() - started) * 1000)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plans", type=int, default=200)
    args = parser.parse_args()
    parcels, selected, roads = typical_parcel()
    stdout = sys.stdout

    def plan_once() -> None:
        sys.stdout = io.StringIO()  # the renderer prints the scale of every plan
        try:
            plots.generate_plot(parcels, selected, roads)
        finally:
            sys.stdout = stdout

    for _ in range(3):  # warm fonts and caches
        floor_once()
        plan_once()
    floor = timed(floor_once, max(20, args.plans // 4))
    process = psutil.Process()
    rss_before = process.memory_info().rss
    settle = min(50, args.plans // 2)
    plan = timed(plan_once, settle)
    gc.collect()
    rss_settled, objects_settled = process.memory_info().rss, len(gc.get_objects())
    plan += timed(plan_once, args.plans - settle)
    gc.collect()
    rss_end, objects_end = process.memory_info().rss, len(gc.get_objects())
    peak_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    tracemalloc.start()  # slows everything down: a separate, untimed pass
    timed(plan_once, 10)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    f, p = statistics.median(floor), statistics.median(plan)
    print(f"typical plan (8 beacons, 30 neighbours, 5 roads), 190 x 160 mm at 300 dpi, {args.plans} plans")
    print(f"  floor: empty figure saved as PNG   {f:8.1f} ms (median)")
    print(f"  plan                               {p:8.1f} ms (median), p99 {sorted(plan)[int(len(plan) * 0.99) - 1]:.1f} ms")
    print(f"  ratio plan / floor                 {p / f:8.2f}")
    print(f"  Python allocation peak             {peak / 2**20:8.1f} MiB")
    print(f"  resident memory                    {rss_before / 2**20:8.1f} MiB before, {rss_settled / 2**20:.1f} MiB after "
          f"{settle} plans, {rss_end / 2**20:.1f} MiB after {args.plans}; peak {peak_rss / 2**20:.1f} MiB")
    print(f"  live Python objects                {objects_settled} after {settle} plans, {objects_end} after {args.plans};"
          f" open figures afterwards: {len(plt.get_fignums())}")


if __name__ == "__main__":
    main()
