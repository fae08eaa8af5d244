"""What the tile scripts share: zoom ranges and areas as arguments, the tiles that cover an
area, and a progress line."""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Iterator, Sequence
from typing import TextIO

import project  # noqa: F401  (puts the host's modules on the import path)
from helpers.utils import latlon_to_xyz

MIN_ZOOM, MAX_ZOOM = 1, 20  # the zooms the tile service answers
MAX_LATITUDE = 85.05  # inside Web Mercator's 85.0511
Box = tuple[float, float, float, float]  # minlon, minlat, maxlon, maxlat in degrees
Tile = tuple[int, int, int]


def zoom_range(value: str) -> range:
    """An argparse type: one zoom or a rising range "N-M", within 1-20."""
    low, _, high = value.partition("-")
    try:
        zooms = range(int(low), int(high or low) + 1)
    except ValueError:
        raise argparse.ArgumentTypeError(f"zooms must be N or N-M, not {value!r}") from None
    if not zooms or zooms.start < MIN_ZOOM or zooms.stop > MAX_ZOOM + 1:
        raise argparse.ArgumentTypeError(f"zooms must lie within {MIN_ZOOM}-{MAX_ZOOM} and rise, not {value!r}")
    return zooms


def bounding_box(value: str) -> Box:
    """An argparse type: MINLON,MINLAT,MAXLON,MAXLAT in degrees, each minimum below its maximum."""
    try:
        minlon, minlat, maxlon, maxlat = (float(part) for part in value.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"bbox must be MINLON,MINLAT,MAXLON,MAXLAT, not {value!r}") from None
    if not (-180 <= minlon < maxlon <= 180 and -MAX_LATITUDE <= minlat < maxlat <= MAX_LATITUDE):
        raise argparse.ArgumentTypeError(f"bbox must have MIN < MAX within the world's bounds, not {value!r}")
    return minlon, minlat, maxlon, maxlat


def tile_ranges(zooms: range, bbox: Box) -> Iterator[tuple[int, range, range]]:
    """For each zoom, the columns and rows of the tiles that cover the box."""
    minlon, minlat, maxlon, maxlat = bbox
    for z in zooms:
        top_left, bottom_right = latlon_to_xyz(maxlat, minlon, z), latlon_to_xyz(minlat, maxlon, z)
        yield z, range(top_left["x"], bottom_right["x"] + 1), range(top_left["y"], bottom_right["y"] + 1)


def tile_count(zooms: range, bbox: Box) -> int:
    return sum(len(xs) * len(ys) for _, xs, ys in tile_ranges(zooms, bbox))


def tile_addresses(zooms: range, bbox: Box) -> Iterator[Tile]:
    """Every tile of the zooms that covers the box: zoom by zoom, row by row."""
    for z, xs, ys in tile_ranges(zooms, bbox):
        for y in ys:
            for x in xs:
                yield z, x, y


class Progress:
    """One status line: a bar, tiles done of the total, the share, the rate, the time left and the
    count of each outcome. Redrawn in place on a terminal (at most five times a second), written
    as a new line every 5 s elsewhere, and always once more at the end."""

    def __init__(self, total: int, outcomes: Sequence[str], *, free: Sequence[str] = (),
                 stream: TextIO | None = None, width: int = 30) -> None:
        self.total, self.width = total, width
        self.counts = dict.fromkeys(outcomes, 0)
        self.free = frozenset(free)  # outcomes that cost no request, left out of the rate
        self.stream = stream or sys.stderr
        self.tty = self.stream.isatty()
        self.started = time.monotonic()
        self.shown = 0.0

    @property
    def done(self) -> int:
        return sum(self.counts.values())

    def add(self, outcome: str) -> None:
        self.counts[outcome] += 1
        now = time.monotonic()
        if self.done == self.total or now - self.shown >= (0.2 if self.tty else 5.0):
            self.shown = now
            self.show(now)

    def line(self, now: float) -> str:
        worked = self.done - sum(self.counts[outcome] for outcome in self.free)
        rate = worked / max(now - self.started, 1e-9)
        eta = (self.total - self.done) / rate if rate > 0 else 0.0
        total = max(self.total, 1)
        filled = self.width * self.done // total
        counts = ", ".join(f"{outcome} {count}" for outcome, count in self.counts.items())
        return (f"[{'#' * filled}{'.' * (self.width - filled)}] {self.done}/{self.total} "
                f"{100 * self.done // total:3d}%  {rate:5.1f} tiles/s  "
                f"ETA {int(eta) // 60}m{int(eta) % 60:02d}s  ({counts})")

    def show(self, now: float) -> None:
        end = "\r" if self.tty and self.done < self.total else "\n"
        print(self.line(now).ljust(100 if self.tty else 0), end=end, file=self.stream, flush=True)
