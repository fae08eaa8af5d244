"""Drawing jobs for the render pool's tests, run in its worker processes and steered through files
of a folder: each notes its start ("started": plot and process, a line each) and then waits while
the file "hold" exists."""

from __future__ import annotations

import os
import time
from pathlib import Path

from plans.render import Drawn


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
