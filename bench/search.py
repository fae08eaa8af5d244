#!/usr/bin/env python3
"""Plot search speed through HTTP, beside its floors measured in the same run.

    python bench/search.py [--database vexa] [--plots 1000000] [--requests 2000] [--concurrency 8]

Runs the host app under uvicorn on a free port of the loopback and sends GET /plots/search (from
250 loopback addresses in turn, each well under the search's rate limit per address) for a
fixed list of what clerks type: starts of plot numbers and file numbers of plots spread over the
whole cadastre (3 characters up to the whole number, upper and lower case), and texts that find
nothing. The demo cadastre is loaded into the database at the given size when it holds fewer
plots. Floors, in the same run and at the same concurrency:

- SQL: the search statement run directly through an asyncpg pool, with the same texts;
- HTTP: GET /gis/layers/, an answer of the same app that touches no database.

Printed: requests per second with p50/p99 latency for each, the ratios to the floors, and
whether the search's p50 stays within 20 ms.
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import sys
from collections.abc import Awaitable

import asyncpg

from lib.cadastre import ensure_cadastre, fetch, pg_url
from lib.clients import addresses, client
from lib.latency import summary, timed
from lib.servers import host

TARGET_P50_MS = 20.0


async def typed_texts(database: str, count: int) -> list[str]:
    """`count` texts: prefixes of plot and file numbers of plots spread evenly over the IDs, and misses."""
    rows = await fetch(
        'SELECT "PLOT_NO", file_no FROM "GIS"."PLOT" WHERE "ID" % greatest(1, (SELECT count(*) FROM "GIS"."PLOT") / 300) = 0 '
        'ORDER BY "ID" LIMIT 300', database=database)
    misses = itertools.cycle(["ZZZ", "q%_", "a01/9", "fct/xyz/", "' or 1=1 --"])
    texts = []
    for row in rows:
        plot_no, file_no = row["PLOT_NO"], row["file_no"] or "FCT/GAR/00"
        texts += [plot_no[:3].lower(), plot_no[:6], plot_no, plot_no.lower(), file_no[:9], file_no[:-2].lower(), file_no,
                  next(misses)]
    return list(itertools.islice(itertools.cycle(texts), count))


async def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--database", default="vexa", help="database on the project's PostGIS (default vexa)")
    parser.add_argument("--plots", type=int, default=1_000_000)
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--concurrency", type=int, default=8)
    parser.add_argument("--limit", type=int, default=10)
    args = parser.parse_args()

    from search.routes import SEARCH_SQL

    plots = await ensure_cadastre(args.plots, args.database)
    texts = await typed_texts(args.database, args.requests)
    async with host(args.database) as server:
        return await measure(args, plots, texts, server.port, SEARCH_SQL)


async def measure(args: argparse.Namespace, plots: int, texts: list[str], port: int, sql: str) -> int:
    pool = await asyncpg.create_pool(pg_url(args.database), min_size=args.concurrency, max_size=args.concurrency)
    layers_client = client(port, connections=args.concurrency)
    searchers = [client(port, source) for source in addresses(10, 250)]
    turns = itertools.count()
    try:
        found = 0

        async def search(q: str) -> None:
            nonlocal found
            searcher = searchers[next(turns) % len(searchers)]
            response = await searcher.get("/plots/search", params={"q": q, "limit": args.limit})
            response.raise_for_status()
            found += bool(response.json())

        def query(q: str) -> Awaitable[object]:
            return pool.fetch(sql, q, args.limit)

        async def layers() -> None:
            (await layers_client.get("/gis/layers/")).raise_for_status()

        # Every address's connection, prepared statements, the index pages.
        warm = list(itertools.islice(itertools.cycle(texts), max(args.concurrency * 10, len(searchers))))
        await timed([lambda q=q: search(q) for q in warm], args.concurrency)
        await timed([lambda q=q: query(q) for q in warm], args.concurrency)
        found = 0

        print(f"plot search over {plots:,} plots: {len(texts)} requests, {args.concurrency} at a time, limit {args.limit}")
        measured = summary("GET /plots/search", *await timed([lambda q=q: search(q) for q in texts], args.concurrency))
        sql_floor = summary("floor: the SQL through asyncpg", *await timed([lambda q=q: query(q) for q in texts],
                                                                           args.concurrency))
        http_floor = summary("floor: GET /gis/layers/", *await timed([layers] * len(texts), args.concurrency))
        print(f"  {found} of {len(texts)} texts found plots")
        print(f"  p50 x{measured['p50'] / sql_floor['p50']:.2f} of the SQL floor, "
              f"x{measured['p50'] / http_floor['p50']:.2f} of the HTTP floor; "
              f"throughput x{sql_floor['rate'] / measured['rate']:.2f} below the SQL floor")
        verdict = "within" if measured["p50"] <= TARGET_P50_MS else "ABOVE"
        print(f"  p50 {measured['p50']:.2f} ms: {verdict} the {TARGET_P50_MS:.0f} ms target")
        return 0 if measured["p50"] <= TARGET_P50_MS else 1
    finally:
        for http in (layers_client, *searchers):
            await http.aclose()
        await pool.close()


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
