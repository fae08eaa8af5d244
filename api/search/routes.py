"""The host's plot search: GET /plots/search?q=TEXT finds plots by the start of their number or file number."""

from __future__ import annotations

import logging

import database
from delivery import fair_share
from fastapi import APIRouter, HTTPException, Query, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse

router = APIRouter(tags=["Plot search"])
logger = logging.getLogger("vexa.search")

MAX_QUERY_LENGTH = 64
DEFAULT_LIMIT = 10
MAX_LIMIT = 50

# A prefix match as a range of the lower-cased key in byte order ("C" collation), which the
# indexes plot_no_search and plot_file_no_search serve in every plan, prepared or not:
# key >= lower(q) AND key < lower(q) || U+10FFFF (q is $1) holds for exactly the keys that start with
# lower(q) (no plot number carries the non-character U+10FFFF, and q may not). LIKE wildcards
# play no part, so "%" and "_" in q are matched as themselves. Each key yields at most `limit` ($2)
# candidates in its own order; an exact match sorts first among the keys it starts, so none is
# lost to the limit. Exact plot numbers rank first, exact file numbers next, then key order.
SEARCH_SQL = """
WITH hits AS (
    (SELECT "ID", lower("PLOT_NO") COLLATE "C" AS key,
            CASE WHEN lower("PLOT_NO") COLLATE "C" = lower($1::text) THEN 0 ELSE 2 END AS rank
     FROM "GIS"."PLOT"
     WHERE lower("PLOT_NO") COLLATE "C" >= lower($1::text) AND lower("PLOT_NO") COLLATE "C" < lower($1::text) || chr(1114111)
     ORDER BY lower("PLOT_NO") COLLATE "C" LIMIT $2)
    UNION ALL
    (SELECT "ID", lower(file_no) COLLATE "C" AS key,
            CASE WHEN lower(file_no) COLLATE "C" = lower($1::text) THEN 1 ELSE 2 END AS rank
     FROM "GIS"."PLOT"
     WHERE lower(file_no) COLLATE "C" >= lower($1::text) AND lower(file_no) COLLATE "C" < lower($1::text) || chr(1114111)
     ORDER BY lower(file_no) COLLATE "C" LIMIT $2)
), ranked AS (
    SELECT "ID", min(rank) AS rank, min(key) AS key FROM hits GROUP BY "ID"
)
SELECT p."ID", p."PLOT_NO", p.file_no, p."CADZONE",
       ST_XMin(e.box) AS min_lon, ST_YMin(e.box) AS min_lat, ST_XMax(e.box) AS max_lon, ST_YMax(e.box) AS max_lat
FROM ranked r
JOIN "GIS"."PLOT" p ON p."ID" = r."ID"
CROSS JOIN LATERAL (SELECT ST_Transform(ST_Envelope(p."GEOMETRY"), 4326) AS box) AS e
ORDER BY r.rank, r.key, p."ID"
LIMIT $2
"""


def refused(q: str, message: str) -> RequestValidationError:
    """A refusal of q in the framework's own 422 shape, as for a q that is too long."""
    return RequestValidationError([{"type": "value_error", "loc": ("query", "q"), "msg": message, "input": q}])


def search_text(q: str) -> str:
    """The text to look for, or a 422 that says what is wrong with it."""
    wanted = q.strip()
    if not wanted:
        raise refused(q, "q must not be empty")
    if any(ord(c) < 32 or ord(c) == 127 or 0xD800 <= ord(c) <= 0xDFFF or ord(c) == 0x10FFFF for c in wanted):
        raise refused(q, "q must not contain control characters")
    return wanted


@router.get("/plots/search", response_class=JSONResponse,
            responses={200: {"description": "The matching plots, each with ID, PLOT_NO, file_no, CADZONE and bbox "
                                            "([min lon, min lat, max lon, max lat] in degrees)"},
                       422: {"description": "Empty, blank or over-long q, control characters in q, or limit out of range"},
                       503: {"description": "The database could not be read"}})
async def search_plots(
    request: Request,
    q: str = Query(..., max_length=MAX_QUERY_LENGTH,
                   description="The start of a plot number or file number, any case"),
    limit: int = Query(DEFAULT_LIMIT, ge=1, le=MAX_LIMIT, description="Most matches to answer"),
) -> JSONResponse:
    """Plots whose PLOT_NO or file_no starts with q, any case: exact plot numbers first, then exact
    file numbers, then the others in the order of the matching key."""
    wanted = search_text(q)
    # One read-only statement on the host's read pool: asyncpg's prepared statement, one round
    # trip, no session.
    try:
        async with fair_share.host_database_work(request), database.read_connection() as connection:
            rows = await connection.fetch(SEARCH_SQL, wanted, limit)
    except database.READ_FAILURES as error:
        logger.error("plot search for %r failed: %r", wanted, error)
        raise HTTPException(status_code=503, detail="Plot search is unavailable") from None
    # Plain JSON types already: answered as they are, without the framework's model encoding.
    return JSONResponse([{
        "ID": row["ID"],
        "PLOT_NO": row["PLOT_NO"],
        "file_no": row["file_no"],
        "CADZONE": row["CADZONE"],
        "bbox": [row["min_lon"], row["min_lat"], row["max_lon"], row["max_lat"]],
    } for row in rows])
