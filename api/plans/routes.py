"""The host's survey plan routes: GET /plans/{plot_id}.png draws a plot of the cadastre,
GET /plans/{plot_id}.pdf prints it at true scale.

Every request reads the digest of the plot's records (one statement); a client that holds the
plan of that digest gets 304, a cached plan is answered from memory or Redis, and only a new one
is drawn, in the render pool's processes (pool.py). Each answer is counted by format and
outcome: rendered, cached, not_modified, busy (the pool's queue was full), 4xx, 5xx. A client may
have two distinct plans drawn a second.
"""

from __future__ import annotations

import logging

from database import READ_FAILURES, read_connection
from fastapi import APIRouter, Header, HTTPException, Path, Request, Response

from delivery import fair_share, metrics
from delivery.revalidation import not_modified
from plans import cache as plan_cache
from plans import jobs, records
from plans import pool as render_pool
from plans.jobs import Drawn

router = APIRouter(tags=["Survey plans"])
logger = logging.getLogger("vexa.plans")

CACHE_CONTROL = "no-cache"  # cacheable, revalidated with the ETag every time
DRAWINGS_PER_SECOND = 2
CLIENT_GONE = 499  # as proxies log it: the client closed the request before its plan was drawn
ANSWERS = {304: {"description": "The client's copy is current"}, 404: {"description": "No such plot"},
           429: {"description": "Too many plans to draw from this client (see Retry-After)"},
           500: {"description": "The plan could not be drawn"},
           503: {"description": "The plot's records could not be read, or the plans are busy (see Retry-After)"}}


async def within_drawing_rate(request: Request | None, key: str) -> None:
    """A client may have DRAWINGS_PER_SECOND distinct plans drawn a second (429 beyond): plans it
    holds or that are cached cost little and are not counted, nor is the same plan asked for again
    while it is drawn; a drawing costs about a second of a core."""
    address = request.client.host if request is not None and request.client else "unknown"
    if not await fair_share.COUNTER.admit(f"rate_limit:plans:{address}", DRAWINGS_PER_SECOND, member=key):
        raise HTTPException(status_code=429, detail="Too many survey plans to draw. Please slow down.",
                            headers={"Retry-After": "1"})


def job_of(kind: str):
    """The render pool's job that draws a plan of `kind`."""
    return jobs.pdf_plan if kind == "pdf" else jobs.png_plan


async def cached_plan(plot_id: int, kind: str, request: Request | None,
                      if_none_match: str | None) -> tuple[Drawn | None, str, str]:
    """(drawn plan or None for 304, ETag, outcome) of plot `plot_id`: the digest of its records
    read, then the client's copy, the cache, or a drawing, in that order. A plan to draw has its
    records and their digest read in one snapshot, so it is stored under the digest of the
    records it was drawn from."""
    cache = plan_cache.plan_cache()
    # Drawing takes a second or so: the connection, and the host's slot of database work, go back
    # before it starts.
    async with fair_share.host_database_work(request), read_connection() as conn:
        if (digest := await records.records_digest(conn, plot_id)) is None:
            raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found")
        first_key = plan_cache.plan_key(kind, digest)
        tag = plan_cache.etag(first_key)
        if not_modified(if_none_match, tag):
            return None, tag, "not_modified"
        if (drawn := await cache.get(first_key)) is not None:
            return drawn, tag, "cached"
        # The client's drawing rate before the records: a refused drawing costs no statement.
        counted = not cache.drawing(first_key)  # joining a drawing under way is no new one
        if counted:
            await within_drawing_rate(request, first_key)
        async with conn.transaction(isolation="repeatable_read", readonly=True):
            if (digest := await records.records_digest(conn, plot_id)) is None:
                raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found")
            plot_records = await records.records_from_database(conn, plot_id)
    key = plan_cache.plan_key(kind, digest)
    # Counted again only if the records changed meanwhile, or the drawing joined above has ended.
    drawn, rendered = await cache.draw(key, job_of(kind), plot_records, request,
                                       before_drawing=None if counted and key == first_key
                                       else lambda: within_drawing_rate(request, key))
    return drawn, plan_cache.etag(key), "rendered" if rendered else "cached"


async def answered(plot_id: int, kind: str, media_type: str, request: Request, if_none_match: str | None,
                   headers: dict[str, str]) -> Response:
    """The plan of `kind` as an answer with `headers` besides its own, counted by its outcome."""
    try:
        drawn, tag, outcome = await cached_plan(plot_id, kind, request, if_none_match)
    except HTTPException:  # no such plot
        metrics.PLANS.labels(kind, "4xx").inc()
        raise
    except plan_cache.DrawingFailed as failure:
        metrics.PLANS.labels(kind, "5xx").inc()
        logger.error("survey plan of plot %s could not be drawn", plot_id, exc_info=failure.__cause__)
        raise HTTPException(status_code=500,
                            detail=f"Survey plan of plot {plot_id} could not be drawn ({failure})") from None
    except render_pool.PoolBusy as busy:
        metrics.PLANS.labels(kind, "busy").inc()
        logger.warning("survey plan of plot %s refused: %s", plot_id, busy)
        raise HTTPException(status_code=503,
                            detail=f"Survey plans are busy; try again in {render_pool.RETRY_AFTER_S} s",
                            headers={"Retry-After": str(render_pool.RETRY_AFTER_S)}) from None
    except render_pool.DrawingTimedOut as late:
        metrics.PLANS.labels(kind, "5xx").inc()
        logger.error("survey plan of plot %s abandoned: %s", plot_id, late)
        raise HTTPException(status_code=503,
                            detail=f"Survey plan of plot {plot_id} took too long to draw and was abandoned; "
                                   f"try again later",
                            headers={"Retry-After": str(render_pool.RETRY_AFTER_S)}) from None
    except render_pool.RendererLost as lost:
        metrics.PLANS.labels(kind, "5xx").inc()
        logger.error("survey plan of plot %s: its drawing process stopped (%s)", plot_id, lost)
        raise HTTPException(status_code=503,
                            detail=f"Survey plan of plot {plot_id} could not be drawn now; try again",
                            headers={"Retry-After": "1"}) from None
    except render_pool.NotWanted:
        metrics.PLANS.labels(kind, "4xx").inc()
        raise HTTPException(status_code=CLIENT_GONE, detail="Client closed the request") from None
    except READ_FAILURES as error:
        metrics.PLANS.labels(kind, "5xx").inc()
        logger.error("records of plot %s could not be read: %r", plot_id, error)
        raise HTTPException(status_code=503, detail=f"Records of plot {plot_id} could not be read") from None
    metrics.PLANS.labels(kind, outcome).inc()
    if drawn is None:
        return Response(status_code=304, headers={"ETag": tag, "Cache-Control": CACHE_CONTROL})
    return Response(content=drawn.body, media_type=media_type,
                    headers={**drawn.headers, **headers, "ETag": tag, "Cache-Control": CACHE_CONTROL})


@router.get("/plans/{plot_id}.png", response_class=Response,
            responses={200: {"content": {"image/png": {}}}, **ANSWERS})
async def survey_plan(request: Request, plot_id: int = Path(..., ge=1, le=2**31 - 1, description="The plot's ID"),
                      if_none_match: str | None = Header(None)) -> Response:
    """The survey plan of one plot as a PNG (190 mm x 160 mm at 300 dpi, at a standard scale)."""
    return await answered(plot_id, "png", "image/png", request, if_none_match, {})


@router.get("/plans/{plot_id}.pdf", response_class=Response,
            responses={200: {"content": {"application/pdf": {}}}, **ANSWERS})
async def printable_plan(request: Request, plot_id: int = Path(..., ge=1, le=2**31 - 1, description="The plot's ID"),
                         if_none_match: str | None = Header(None)) -> Response:
    """The survey plan of one plot as a one-page PDF at true scale (print at actual size)."""
    return await answered(plot_id, "pdf", "application/pdf", request, if_none_match,
                          {"Content-Disposition": f'inline; filename="plan-{plot_id}.pdf"'})
