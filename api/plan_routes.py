"""The host's survey plan endpoint: GET /plans/{plot_id}.png draws a plot of the cadastre."""

from __future__ import annotations

import base64

from database import get_db
from fastapi import APIRouter, Depends, HTTPException, Path, Response
from sqlalchemy.ext.asyncio import AsyncSession
from starlette.concurrency import run_in_threadpool

import survey_plans

router = APIRouter(tags=["Survey plans"])


async def asyncpg_connection(db: AsyncSession):
    """The asyncpg connection under the request's session."""
    connection = await db.connection()
    raw = await connection.get_raw_connection()
    return raw.driver_connection


@router.get("/plans/{plot_id}.png", response_class=Response,
            responses={200: {"content": {"image/png": {}}}, 404: {"description": "No such plot"}})
async def survey_plan(plot_id: int = Path(..., ge=1, le=2**31 - 1, description="The plot's ID"),
                      db: AsyncSession = Depends(get_db)) -> Response:
    """The survey plan of one plot as a PNG (190 mm x 160 mm at 300 dpi, at a standard scale)."""
    from vexa import plots

    try:
        records = await survey_plans.records_from_database(await asyncpg_connection(db), plot_id)
    except survey_plans.PlotNotFound:
        raise HTTPException(status_code=404, detail=f"Plot {plot_id} not found") from None
    finally:
        await db.close()
    parcels, selected, roads = records
    # Drawing takes a few hundred milliseconds of CPU: off the event loop, in the thread pool.
    image64, _, scale, _ = await run_in_threadpool(plots.generate_plot, parcels, selected, roads)
    return Response(content=base64.b64decode(image64), media_type="image/png",
                    headers={"X-Plan-Scale": f"1:{scale}", "Cache-Control": "no-cache"})
