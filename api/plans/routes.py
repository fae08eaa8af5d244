"""The host's survey plan routes: GET /plans/{plot_id}.png draws a plot of the cadastre,
GET /plans/{plot_id}.pdf prints it at true scale.

Every request reads the digest of the plot's records (one statement); a client that holds the
plan of that digest gets 304, a cached plan is answered from Redis, and only a new one is drawn.
"""

from __future__ import annotations

import base64
import logging

from database import READ_FAILURES, read_connection
from fastapi import APIRouter, Header, HTTPException, Path, Response
from starlette.concurrency import run_in_threadpool

import metrics
from plans import cache as plan_cache
from plans import records as survey_plans
from plans.pdf import plan_pdf
from revalidation import not_modified

router = APIRouter(tags=["Survey plans"])
logger = logging.getLogger("vexa.plans")

CACHE_CONTROL = "no-cache"  # cacheable, revalidated with the ETag every time


def png_of(records) -> plan_cache.Drawn:
    """Draw the plan of `records` as PNG (190 mm x 160 mm at 300 dpi)."""
    from vexa import plots

    parcels, selected, roads = records
    image64, _, scale, _ = plots.generate_plot(parcels, selected, roads)
    return plan_cache.Drawn(body=base64.b64decode(image64), headers={"X-Plan-Scale": f"1:{scale}"})


def answer(drawn: plan_cache.Drawn, tag: str, media_type: str) -> Response:
    return Response(content=drawn.body, media_type=media_type,
                    headers={**drawn.headers, "ETag": tag, "Cache-Control": CACHE_CONTROL})


async def cached_plan(plot_id: int, kind: str, draw, if_none_match: str | None):
    """(drawn plan or None for 304, ETag) of plot `plot_id`: the digest of its records read, then
    the client's copy, the cache, or a drawing by `draw(records)`, in that order. A plan to draw
    has its records and their digest read in one snapshot, so it is stored under the digest of
    the records it was drawn from."""
    cache = plan_cache.plan_cache()
    # Drawing takes a few hundred milliseconds: the connection goes back before it starts.
    async with read_connection() as conn:
        if (digest := await survey_plans.records_digest(conn, plot_id)) is None:
            raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found")
        tag = plan_cache.etag(plan_cache.plan_key(kind, digest))
        if not_modified(if_none_match, tag):
            return None, tag
        if (drawn := await cache.get(plan_cache.plan_key(kind, digest))) is not None:
            return drawn, tag
        async with conn.transaction(isolation="repeatable_read", readonly=True):
            if (digest := await survey_plans.records_digest(conn, plot_id)) is None:
                raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found")
            records = await survey_plans.records_from_database(conn, plot_id)
    key = plan_cache.plan_key(kind, digest)
    return await cache.draw(key, lambda: draw(records)), plan_cache.etag(key)


@router.get("/plans/{plot_id}.png", response_class=Response,
            responses={200: {"content": {"image/png": {}}}, 304: {"description": "The client's copy is current"},
                       404: {"description": "No such plot"}, 500: {"description": "The plan could not be drawn"},
                       503: {"description": "The plot's records could not be read"}})
async def survey_plan(plot_id: int = Path(..., ge=1, le=2**31 - 1, description="The plot's ID"),
                      if_none_match: str | None = Header(None)) -> Response:
    """The survey plan of one plot as a PNG (190 mm x 160 mm at 300 dpi, at a standard scale)."""
    try:
        drawn, tag = await cached_plan(plot_id, "png", png_of, if_none_match)
    except plan_cache.DrawingFailed as failure:
        logger.error("survey plan of plot %s could not be drawn", plot_id, exc_info=failure.__cause__)
        raise HTTPException(status_code=500,
                            detail=f"Survey plan of plot {plot_id} could not be drawn ({failure})") from None
    except READ_FAILURES as error:
        logger.error("records of plot %s could not be read: %r", plot_id, error)
        raise HTTPException(status_code=503, detail=f"Records of plot {plot_id} could not be read") from None
    if drawn is None:
        return Response(status_code=304, headers={"ETag": tag, "Cache-Control": CACHE_CONTROL})
    return answer(drawn, tag, "image/png")


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
