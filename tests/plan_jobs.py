"""Drawing jobs for the render pool's tests, run in its worker processes and steered through files
of a folder: each notes its start ("started": plot and process, a line each) and then waits while
the file "hold" exists."""

from __future__ import annotations

import gc
import os
import time
import weakref
from pathlib import Path

from plans.jobs import Drawn


def held(folder: str, records) -> Drawn:
    """A stand-in plan of `records`' plot, drawn once the test lets go of it."""
    control = Path(folder)
    selected = records[1]
    with open(control / "started", "a") as started:
        started.write(f"{selected} {os.getpid()}\n")
    while (control / "hold").exists():
        time.sleep(0.02)
    return Drawn(body=f"plan of plot {selected}".encode(), headers={"X-Plan-Scale": "1:500"})


def started(folder: Path) -> list[tuple[int, int]]:
    """(plot, process) of every job started so far, in order."""
    path = folder / "started"
    lines = path.read_text().splitlines() if path.exists() else []
    return [tuple(int(v) for v in line.split()) for line in lines]


class _Node:
    pass


_left: weakref.ref | None = None


def cycle_left() -> None:
    """Leaves a reference cycle behind, old enough that only a full pass of the collector frees it."""
    global _left
    node = _Node()
    node.itself = node
    _left = weakref.ref(node)
    gc.collect()  # it survives this one, alive, into the oldest generation


def cycle_freed() -> tuple[bool, int]:
    """Whether the cycle `cycle_left` left has been freed, and how many objects are set aside."""
    return _left is not None and _left() is None, gc.get_freeze_count()
