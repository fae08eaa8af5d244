"""A stand-in for matplotlib's axes and pyplot that records every drawing call, in order."""

from __future__ import annotations

import io
from typing import Any


class Call:
    def __init__(self, name: str, args: tuple, kwargs: dict) -> None:
        self.name, self.args, self.kwargs = name, args, kwargs

    def __repr__(self) -> str:
        return f"{self.name}{self.args}{self.kwargs}"


class RecordingAxes:
    transAxes = object()

    def __init__(self, xlim=(0.0, 1.0), ylim=(0.0, 1.0)) -> None:
        self.calls: list[Call] = []
        self.xlim, self.ylim = tuple(xlim), tuple(ylim)

    def _record(name):
        def method(self, *args, **kwargs):
            self.calls.append(Call(name, args, kwargs))
        return method

    text = _record("text")
    annotate = _record("annotate")
    plot = _record("plot")
    fill = _record("fill")
    add_patch = _record("add_patch")
    set_aspect = _record("set_aspect")
    axis = _record("axis")

    def set_xlim(self, lim):
        self.calls.append(Call("set_xlim", (lim,), {}))
        self.xlim = tuple(lim)

    def set_ylim(self, lim):
        self.calls.append(Call("set_ylim", (lim,), {}))
        self.ylim = tuple(lim)

    def get_xlim(self):
        return self.xlim

    def get_ylim(self):
        return self.ylim

    def named(self, name: str) -> list[Call]:
        return [c for c in self.calls if c.name == name]

    def texts(self) -> list[str]:
        return [c.args[2] for c in self.named("text")]


class RecordingFigure:
    def __init__(self, pyplot: "RecordingPyplot", kwargs: dict) -> None:
        self.pyplot, self.kwargs = pyplot, kwargs
        self.axes: RecordingAxes | None = None

    def add_axes(self, rect):
        self.rect = rect
        self.axes = RecordingAxes()
        return self.axes

    def savefig(self, buf: io.BytesIO, **kwargs):
        if self.pyplot.fail_in_savefig:
            raise OSError("disk full")
        self.pyplot.saved.append(kwargs)
        buf.write(b"\x89PNG recorded")


class RecordingPyplot:
    """Enough of pyplot for a plan: figure (whose savefig writes a marker), close."""

    def __init__(self, fail_in_savefig: bool = False) -> None:
        self.figures: list[RecordingFigure] = []
        self.closed: list[RecordingFigure] = []
        self.saved: list[dict[str, Any]] = []
        self.fail_in_savefig = fail_in_savefig

    def figure(self, **kwargs):
        fig = RecordingFigure(self, kwargs)
        self.figures.append(fig)
        return fig

    def close(self, fig):
        self.closed.append(fig)
