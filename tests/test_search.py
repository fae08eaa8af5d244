"""Plot search by number or file number: ranking, limits and refusals, on the real PostGIS."""

from __future__ import annotations

import time

import asyncpg
import pytest
import services
from pyproj import Transformer

pytestmark = pytest.mark.usefixtures("demo_cadastre")

TO_WGS84 = Transformer.from_crs(3857, 4326, always_xy=True)
FIRST_ID = 2_100_000_001  # far above the demo cadastre's IDs


def square(i: int) -> tuple[float, float, float, float]:
    """The i-th test plot, a 4 m square in the first street reserve of the demo fabric's first zone:
    inside the fabric's extent (which the layer's centroid estimate follows and which a deleted
    row far away would stretch for good), on no plot."""
    x, y = 815_205.0, 998_030.0 + 6 * i
    return x, y, x + 4, y + 4

# (PLOT_NO, file_no) of the plots the tests look for, besides 60 of "ZL/001" to "ZL/060".
PLOTS = [
    ("ZQ-70", None), ("zq-7", "FCT/ZQ/1"), ("ZQ-7A", None), ("ZQ-71", "zq-7"), ("X9", "ZQ-7"),
    ("ZQ%1", None), ("ZQ_1", None), ("ZQA1", None), ("ZQ'1", None), ('ZQ"1', None), ("ZQ\\1", None),
    ("ZQ-É1", None),
]


@pytest.fixture(scope="module")
async def search_plots():
    """The plots above, each a small square (see `square`); removed again after the module."""
    rows = PLOTS + [(f"ZL/{n:03d}", None) for n in range(1, 61)]
    conn = await asyncpg.connect(services.PG_DSN)
    try:
        await conn.executemany(
            'INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "file_no", "CADZONE", "GEOMETRY") '
            "VALUES ($1, $2, $3, 'ZZ9', ST_MakeEnvelope($4, $5, $6, $7, 3857))",
            [(FIRST_ID + i, plot_no, file_no, *square(i)) for i, (plot_no, file_no) in enumerate(rows)])
        yield {plot_no: FIRST_ID + i for i, (plot_no, _) in enumerate(rows)}
    finally:
        await conn.execute('DELETE FROM "GIS"."PLOT" WHERE "ID" >= $1', FIRST_ID)
        await conn.close()


async def found(client_for, q: str, **params) -> list[str]:
    response = await client_for().get("/plots/search", params={"q": q, **params})
    assert response.status_code == 200, response.text
    return [hit["PLOT_NO"] for hit in response.json()]


async def test_exact_matches_first_then_key_order_any_case(client_for, search_plots):
    # Exact on PLOT_NO ("zq-7"), then on file_no ("zq-7", "ZQ-7", by ID), any case, then the prefixes.
    assert await found(client_for, "ZQ-7") == ["zq-7", "ZQ-71", "X9", "ZQ-70", "ZQ-7A"]
    assert await found(client_for, "fct/zq") == ["zq-7"]
    assert await found(client_for, "zq-é") == ["ZQ-É1"]
    assert await found(client_for, "ZQ-7", limit=2) == ["zq-7", "ZQ-71"]


async def test_answer_carries_ids_zone_and_box_in_degrees(client_for, search_plots):
    (hit,) = (await client_for().get("/plots/search", params={"q": "ZQA1"})).json()
    x0, y0, x1, y1 = square(search_plots["ZQA1"] - FIRST_ID)
    west, south = TO_WGS84.transform(x0, y0)
    east, north = TO_WGS84.transform(x1, y1)
    assert list(hit) == ["ID", "PLOT_NO", "file_no", "CADZONE", "bbox"]
    assert (hit["ID"], hit["PLOT_NO"], hit["file_no"], hit["CADZONE"]) == (search_plots["ZQA1"], "ZQA1", None, "ZZ9")
    assert hit["bbox"] == pytest.approx([west, south, east, north], abs=1e-9)


@pytest.mark.parametrize(("q", "expected"), [
    ("zq%", ["ZQ%1"]), ("zq_", ["ZQ_1"]), ("%", []), ("_", []), ("zq'", ["ZQ'1"]), ('zq"', ['ZQ"1']),
    ("zq\\", ["ZQ\\1"]), ("' OR '1'='1", []), ("ZQ-7'; DROP TABLE \"GIS\".\"PLOT\"; --", []),
    ("  zq%1  ", ["ZQ%1"]),
])
async def test_wildcards_quotes_and_backslashes_are_plain_text(client_for, search_plots, q, expected):
    assert await found(client_for, q) == expected


async def test_limits(client_for, search_plots):
    listed = [f"ZL/{n:03d}" for n in range(1, 61)]
    assert await found(client_for, "zl/") == listed[:10]
    assert await found(client_for, "zl/", limit=50) == listed[:50]
    assert await found(client_for, "zl/0", limit=1) == listed[:1]
    assert await found(client_for, "no such plot") == []


@pytest.mark.parametrize(("params", "message"), [
    ({"q": ""}, "q must not be empty"),
    ({"q": "   "}, "q must not be empty"),
    ({"q": "ZL\x00"}, "q must not contain control characters"),
    ({"q": "ZL\n1"}, "q must not contain control characters"),
    ({"q": "Z" * 65}, "String should have at most 64 characters"),
    ({"q": "ZL", "limit": 0}, "Input should be greater than or equal to 1"),
    ({"q": "ZL", "limit": 51}, "Input should be less than or equal to 50"),
    ({"q": "ZL", "limit": "ten"}, "Input should be a valid integer, unable to parse string as an integer"),
    ({}, "Field required"),
])
async def test_refusals(client_for, search_plots, params, message):
    response = await client_for().get("/plots/search", params=params)
    assert response.status_code == 422, response.text
    (error,) = response.json()["detail"]  # one shape for every refusal, the framework's
    assert error["msg"] == message
    assert error["loc"] == ["query", "limit" if "limit" in params else "q"]


async def test_prefix_is_one_range_of_each_index(search_plots):
    """Prepared, as the host runs it, the search reads two index ranges and never the whole table."""
    from search.routes import SEARCH_SQL

    sql = SEARCH_SQL
    conn = await asyncpg.connect(services.PG_DSN)
    try:
        await conn.execute("SET plan_cache_mode = force_generic_plan")
        await conn.execute(f"PREPARE search(text, int) AS {sql}")
        plan = "\n".join(r[0] for r in await conn.fetch("EXPLAIN EXECUTE search('zl/', 10)"))
    finally:
        await conn.close()
    assert "plot_no_search" in plan and "plot_file_no_search" in plan, plan
    assert 'Seq Scan on "PLOT"' not in plan and "Seq Scan on PLOT" not in plan, plan


async def test_a_runaway_statement_is_stopped_and_answered_503(client_for, search_plots, monkeypatch, caplog):
    """The read pool's statements have a time limit: one that runs away does not hold its
    connection and its request for ever."""
    import database
    from search import routes as plot_search

    monkeypatch.setattr(database, "READ_STATEMENT_TIMEOUT_S", 0.3)
    monkeypatch.setattr(database, "_pools", type(database._pools)())  # a pool opened with that limit
    monkeypatch.setattr(plot_search, "SEARCH_SQL", "SELECT pg_sleep(5), $1::text, $2::int")
    started = time.monotonic()
    response = await client_for().get("/plots/search", params={"q": "A01"})
    assert time.monotonic() - started < 2
    assert (response.status_code, response.json()) == (503, {"detail": "Plot search is unavailable"})
    assert "canceling statement due to statement timeout" in caplog.text or "TimeoutError" in caplog.text
