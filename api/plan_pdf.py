"""The host's printable survey plan: GET /plans/{plot_id}.pdf, one page of the plan's paper size.

The plan's PNG (300 dpi) is placed on the page at 100 %, pixel for pixel at 300 dpi, so the scale
bar measures true when the page is printed at actual size.
"""

from __future__ import annotations

import base64
import io
import logging

import numpy as np
from database import READ_FAILURES, read_connection
from fastapi import APIRouter, HTTPException, Path, Response
from matplotlib.backends.backend_pdf import FigureCanvasPdf
from matplotlib.figure import Figure
from PIL import Image
from starlette.concurrency import run_in_threadpool

import metrics
import survey_plans

router = APIRouter(tags=["Survey plans"])
logger = logging.getLogger("vexa.plans")

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


@router.get("/plans/{plot_id}.pdf", response_class=Response,
            responses={200: {"content": {"application/pdf": {}}}, 404: {"description": "No such plot"},
                       503: {"description": "The plot's records could not be read"}})
async def printable_plan(plot_id: int = Path(..., ge=1, le=2**31 - 1, description="The plot's ID")) -> Response:
    """The survey plan of one plot as a one-page PDF at true scale (print at actual size)."""
    from vexa import plots

    try:
        async with read_connection() as conn:
            parcels, selected, roads = await survey_plans.records_from_database(conn, plot_id)
    except survey_plans.PlotNotFound:
        raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found") from None
    except READ_FAILURES as error:
        logger.error("records of plot %s could not be read: %r", plot_id, error)
        raise HTTPException(status_code=503, detail=f"Records of plot {plot_id} could not be read") from None
    image64, paper_mm, scale, _ = await run_in_threadpool(plots.generate_plot, parcels, selected, roads)
    metrics.PLAN_RENDERS.labels("pdf").inc()
    pdf = await run_in_threadpool(plan_pdf, base64.b64decode(image64), paper_mm,
                                  f"Survey plan of {parcels[0]['name']}, 1:{scale}")
    return Response(content=pdf, media_type="application/pdf",
                    headers={"X-Plan-Scale": f"1:{scale}", "Cache-Control": "no-cache",
                             "Content-Disposition": f'inline; filename="plan-{plot_id}.pdf"'})
