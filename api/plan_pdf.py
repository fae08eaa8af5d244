"""The host's printable survey plan: GET /plans/{plot_id}.pdf, one page of the plan's paper size.

The plan's PNG (300 dpi) is placed on the page at 100 %, pixel for pixel at 300 dpi, so the scale
bar measures true when the page is printed at actual size.
"""

from __future__ import annotations

import base64
import io

import numpy as np
from database import get_db
from fastapi import APIRouter, Depends, HTTPException, Path, Response
from matplotlib.backends.backend_pdf import FigureCanvasPdf
from matplotlib.figure import Figure
from PIL import Image
from sqlalchemy.ext.asyncio import AsyncSession
from starlette.concurrency import run_in_threadpool

import metrics
import survey_plans
from plan_routes import asyncpg_connection

router = APIRouter(tags=["Survey plans"])

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
            responses={200: {"content": {"application/pdf": {}}}, 404: {"description": "No such plot"}})
async def printable_plan(plot_id: int = Path(..., ge=1, le=2**31 - 1, description="The plot's ID"),
                         db: AsyncSession = Depends(get_db)) -> Response:
    """The survey plan of one plot as a one-page PDF at true scale (print at actual size)."""
    from vexa import plots

    try:
        parcels, selected, roads = await survey_plans.records_from_database(await asyncpg_connection(db), plot_id)
    except survey_plans.PlotNotFound:
        raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found") from None
    finally:
        await db.close()
    image64, paper_mm, scale, _ = await run_in_threadpool(plots.generate_plot, parcels, selected, roads)
    metrics.PLAN_RENDERS.labels("pdf").inc()
    pdf = await run_in_threadpool(plan_pdf, base64.b64decode(image64), paper_mm,
                                  f"Survey plan of {parcels[0]['name']}, 1:{scale}")
    return Response(content=pdf, media_type="application/pdf",
                    headers={"X-Plan-Scale": f"1:{scale}", "Cache-Control": "no-cache",
                             "Content-Disposition": f'inline; filename="plan-{plot_id}.pdf"'})
