"""What the render pool's worker processes run: a plan drawn as PNG or PDF from its records, the
sample plan each process warms up with, and every job timed and its garbage freed as it ends.

Imported in each worker process as the pool spawns it, so it imports nothing of the host at load:
the renderer, the records and the page are imported where a job first needs them.
"""

from __future__ import annotations

import base64
import gc
import os
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Drawn:
    """A drawn plan: its bytes and the headers that describe it (its scale, ...)."""

    body: bytes
    headers: dict[str, str]


@dataclass(frozen=True)
class Drawing:
    """What a worker process sends back: the result of its job, who drew it and how long it took."""

    result: Any
    pid: int
    niceness: int
    seconds: float


def _png(records) -> tuple[bytes, tuple[float, float], int]:
    from vexa import plots

    from plans.records import drawable

    parcels, selected, roads = drawable(records)
    image64, paper_mm, scale, _ = plots.generate_plot(parcels, selected, roads)
    return base64.b64decode(image64), paper_mm, scale


def png_plan(records) -> Drawn:
    """The plan of `records` as PNG (190 mm x 160 mm at 300 dpi)."""
    png, _, scale = _png(records)
    return Drawn(body=png, headers={"X-Plan-Scale": f"1:{scale}"})


def pdf_plan(records) -> Drawn:
    """The plan of `records` as a one-page PDF at true scale: the PNG drawn, then the page."""
    from plans.pdf import plan_pdf

    png, paper_mm, scale = _png(records)
    title = f"Survey plan of {records[0][0]['name']}, 1:{scale}"
    return Drawn(body=plan_pdf(png, paper_mm, title), headers={"X-Plan-Scale": f"1:{scale}"})


def warm() -> None:
    """The built-in sample plan drawn and dropped: a process's first plan pays for the renderer's
    fonts and first drawing (0.9 s, against 0.2 s for the next), so the pool's processes pay it
    as they start, not a client."""
    from plans.records import sample_records

    png_plan(sample_records())


def run(job: Callable[..., Any], *args: Any) -> Drawing:
    """`job(*args)` in this worker process, timed, with what it left freed once it ends."""
    started = time.perf_counter()
    try:
        result = job(*args)
    finally:
        _collect()
    return Drawing(result, os.getpid(), os.nice(0), time.perf_counter() - started)


def _collect() -> None:
    """The drawing's garbage freed now. A drawn figure is a web of reference cycles (figure,
    canvas, axes, artists) holding its 17 MB image buffers, which only the collector frees.
    Left to its own pace, the collector's full pass came seldom, and the garbage of several plans
    piled up between two: a drawing process's resting memory climbed by 17 MB a plan, from 116 to
    237 MB over its first seven (peaks of 278 MB), and in a long run its peak reached 307 MB. What
    the first drawing leaves (the renderer's fonts and caches) is set aside (gc.freeze) so that
    the pass after each later drawing walks that drawing's objects alone: about 2.5 ms, against
    170 ms for the quickest plan. The process then rests at 101 MB and peaks at 118 MB (PNG) and
    157 MB (PDF), plan after plan."""
    gc.collect()
    if not gc.get_freeze_count():  # this process's first drawing
        gc.freeze()
