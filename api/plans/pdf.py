"""The printable survey plan: one PDF page of the plan's paper size.

The plan's PNG (300 dpi) is placed on the page at 100 %, pixel for pixel at 300 dpi, so the scale
bar measures true when the page is printed at actual size.
"""

from __future__ import annotations

import io

import numpy as np
from matplotlib.backends.backend_pdf import FigureCanvasPdf
from matplotlib.figure import Figure
from PIL import Image

PLAN_DPI = 300
MM_PER_INCH = 25.4


def plan_pdf(png: bytes, paper_mm: tuple[float, float], title: str) -> bytes:
    """One PDF page of `paper_mm` with the 300 dpi image `png` at its lower left corner, unscaled."""
    pixels = np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))
    figure = Figure(figsize=(paper_mm[0] / MM_PER_INCH, paper_mm[1] / MM_PER_INCH), dpi=PLAN_DPI)
    figure.figimage(pixels, xo=0, yo=0, origin="upper", resize=False)
    buffer = io.BytesIO()
    FigureCanvasPdf(figure)
    figure.savefig(buffer, format="pdf", dpi=PLAN_DPI, metadata={"Title": title, "Creator": "vexa"})
    return buffer.getvalue()
