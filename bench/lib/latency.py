"""Latencies: timed concurrent jobs, the nearest-rank percentile, and the line that prints them."""

from __future__ import annotations

import asyncio
import math
import statistics
import time
from collections.abc import Awaitable, Callable, Iterable, Sequence


def percentile(values: Iterable[float], percent: float) -> float:
    """The nearest-rank percentile: the smallest of the values with at least `percent` % of them
    at or below it (nan when there are none)."""
    ordered = sorted(values)
    if not ordered:
        return math.nan
    rank = max(1, math.ceil(len(ordered) * percent / 100))
    return ordered[rank - 1]


def latency_line(ms: Sequence[float], digits: int = 1, width: int = 7, sep: str = "   ", with_max: bool = False,
                 none: str = "no values") -> str:
    """The median as p50, the p99 (and the max) of latencies in milliseconds: "p50 12.3 ms   p99 45.6 ms";
    `none` when there are none."""
    if not ms:
        return none
    figures = [("p50", statistics.median(ms)), ("p99", percentile(ms, 99))] + ([("max", max(ms))] if with_max else [])
    return sep.join(f"{name} {value:{width}.{digits}f} ms" for name, value in figures)


def summary(name: str, wall: float, latencies: list[float], unit: str = "requests", width: int = 30) -> dict[str, float]:
    """Rate, p50 and p99 of a run of `wall` seconds, printed as one line."""
    figures = {"rate": len(latencies) / wall, "p50": statistics.median(latencies), "p99": percentile(latencies, 99)}
    print(f"  {name:<{width}} {figures['rate']:9.1f} {unit}/s   {latency_line(latencies, 2)}")
    return figures


async def timed(jobs: list[Callable[[], Awaitable[object]]], concurrency: int) -> tuple[float, list[float]]:
    """Run the jobs `concurrency` at a time; wall seconds and per-job latencies in ms."""
    latencies: list[float] = []
    queue = list(reversed(jobs))

    async def worker() -> None:
        while queue:
            job = queue.pop()
            started = time.perf_counter()
            await job()
            latencies.append((time.perf_counter() - started) * 1000)

    started = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(concurrency)))
    return time.perf_counter() - started, latencies
