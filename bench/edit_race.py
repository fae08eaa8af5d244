#!/usr/bin/env python3
"""The race of a slow tile against an edit: whether a tile made while an edit commits stays cached stale.

    python bench/edit_race.py --baseline /work/wt-fresh-base      # the full run, with the control
    python bench/edit_race.py --plots 20000 --rounds 3            # a quick check

On the host of lib/freshness.py, `--rounds` rounds with the change listener off (only the
invalidation route and the checked write act), then on, and with `--baseline` against that code
(no checked write: the control, which should show stale tiles). A round asks for an uncached plot
tile of zoom 8, 9 or 10 (the tiles in turn), commits an edit of the STATUS of the tile's largest
plot 20 ms after the tile's statement shows as running in pg_stat_activity, then POSTs
/gis/cache/invalidate/plots; 1.5 s after the tile's answer it reads the tile again: stale when the
plot's STATUS is not the committed one (goal: none). Counted too: the rounds whose tile was made
before the edit, the ones that test the checked write. About 2 minutes a setting on 2 cores.
"""

from __future__ import annotations

import asyncio
import secrets
import sys
import time
from collections import Counter
from dataclasses import dataclass

import asyncpg
import httpx
import redis.asyncio as aioredis

from lib.cadastre import Tile, pg_url
from lib.clients import address, client
from lib.freshness import (EDIT_SQL, RACE_BLOCK, Decoder, Host, Setting, answer_note, changes_applied, listener_active,
                           parsed, parser, plot_feature, prepared, restore, save_originals, seconds_line, tile_body,
                           tile_name, tile_path)
from lib.replay import WORLD, plot_ids
from lib.tile_module import tile_module, tile_statement

RACE_ZOOMS = (8, 9, 10)
RACE_READ_AFTER_S = 1.5
# From seeing the tile's statement in pg_stat_activity to the COMMIT: the statement shows as
# running from its Parse on, and its snapshot is taken later, at its execution.
RACE_COMMIT_DELAY_S = 0.02

LARGEST_SQL = """
    SELECT "ID" FROM "GIS"."PLOT" WHERE "ID" = ANY($1::int[]) ORDER BY ST_Area("GEOMETRY") DESC LIMIT 1
"""
TILE_QUERY_RUNNING_SQL = """
    SELECT count(*) FROM pg_stat_activity
    WHERE datname = current_database() AND state = 'active' AND pid <> pg_backend_pid()
      AND query LIKE '%ST_AsMVT(mvt_data, ''plots''%'
"""


def tiles_over(extent: tuple[float, float, float, float], z: int) -> list[Tile]:
    """The tiles of zoom z over an extent in EPSG:3857 metres."""
    west, south, east, north = extent
    n = 2**z

    def column(mx: float) -> int:
        return min(n - 1, int((mx + WORLD) / (2 * WORLD) * n))

    def row(my: float) -> int:
        return min(n - 1, int((WORLD - my) / (2 * WORLD) * n))

    return [(z, x, y) for x in range(column(west), column(east) + 1) for y in range(row(north), row(south) + 1)]


@dataclass
class Round:
    tile: Tile
    plot: int
    first_cache: str = ""
    tile_s: float = 0.0
    caught: bool = False  # the tile's statement was seen running before the COMMIT
    inside: bool = False  # ... and still running after it
    raced: bool = False  # the tile answered was made before the edit (the plot's old STATUS)
    invalidation_status: int = 0
    invalidated_first: bool = False  # the invalidation's answer came before the tile's
    read_cache: str = ""
    read_status: str = ""  # fresh, stale, missing (the plot not in the tile) or the answer's status
    read_note: str = ""

    def describe(self) -> str:
        return (f"tile {tile_name(self.tile)} read {RACE_READ_AFTER_S} s after its answer is {self.read_status} "
                f"({self.read_note}); the commit {'landed inside' if self.inside else 'was not seen inside'} the "
                f"tile query, whose answer {'did not show' if self.raced else 'showed'} the edit, the invalidation answered {self.invalidation_status} "
                f"{'before' if self.invalidated_first else 'after'} the tile")


async def race_tiles(pool: asyncpg.Pool, extent: tuple, decoder: Decoder) -> list[tuple[Tile, int]]:
    """The plot tiles of zooms 8 to 10 over the plots, each with its largest plot that the tile shows."""
    found = []
    for z in RACE_ZOOMS:
        for tile in tiles_over(extent, z):
            body = await pool.fetchval(*tile_statement("plots", *tile))
            plots = await decoder(plot_ids, body or b"")
            if plots:
                found.append((tile, await pool.fetchval(LARGEST_SQL, list(plots))))
    return found


async def race(setting: Setting, label: str, host: Host, tiles: list[tuple[Tile, int]]) -> list[Round]:
    args, pool, redis, decoder = setting.args, setting.pool, setting.redis, setting.decoder
    namespace = tile_module().cache.namespace
    rounds: list[Round] = []
    tag = secrets.token_hex(3)
    originals = await save_originals(pool, sorted({plot for _, plot in tiles}))
    print(f"  {label}: {args.rounds} rounds", flush=True)
    async with host.server() as server:
        host.describe(server)
        if host.listener:
            await listener_active(server)
        editor, watcher = await asyncpg.connect(pg_url(host.database)), await asyncpg.connect(pg_url(host.database))
        asker, admin = client(server.port, address(RACE_BLOCK, 0)), client(server.port, address(RACE_BLOCK, 1))
        reader = client(server.port, address(RACE_BLOCK, 2))
        try:
            for n in range(args.rounds):
                tile, plot = tiles[n % len(tiles)]
                rounds.append(await race_round(n, tile, plot, f"Race {tag} {n}", namespace, host.token, editor,
                                               watcher, asker, admin, reader, redis, decoder))
                if rounds[-1].read_status != "fresh" and not host.baseline:
                    print(f"  !!! {label}, round {n}: {rounds[-1].describe()}", flush=True)
        finally:
            for http in (asker, admin, reader):
                await http.aclose()
            await editor.close()
            await watcher.close()
            await restore(pool, originals)
            if host.listener:
                await changes_applied(pool)
    return rounds


async def race_round(n: int, tile: Tile, plot: int, value: str, namespace: str, token: str,
                     editor: asyncpg.Connection, watcher: asyncpg.Connection, asker: httpx.AsyncClient,
                     admin: httpx.AsyncClient, reader: httpx.AsyncClient, redis: aioredis.Redis,
                     decoder: Decoder) -> Round:
    result = Round(tile, plot)
    await redis.delete(f"{namespace}:plots:{tile[0]}:{tile[1]}:{tile[2]}")  # the tile uncached
    transaction = editor.transaction()
    await transaction.start()
    try:
        await editor.execute(EDIT_SQL["STATUS"], plot, value)
        asked = time.perf_counter()
        request = asyncio.create_task(asker.get(tile_path(tile)))
        while not request.done() and time.perf_counter() - asked < 30:
            if await watcher.fetchval(TILE_QUERY_RUNNING_SQL):
                result.caught = True
                await asyncio.sleep(RACE_COMMIT_DELAY_S)
                break
        await transaction.commit()
    except BaseException:
        await transaction.rollback()
        raise
    result.inside = result.caught and not request.done() and bool(await watcher.fetchval(TILE_QUERY_RUNNING_SQL))
    invalidation = await admin.post("/gis/cache/invalidate/plots", headers={"Authorization": f"Bearer {token}"})
    invalidated = time.perf_counter()
    result.invalidation_status = invalidation.status_code
    response = await request
    ended = time.perf_counter()
    result.tile_s = ended - asked
    result.first_cache = response.headers.get("x-cache", "MISS")
    result.invalidated_first = invalidated < ended
    answered = await decoder(plot_feature, tile_body(response), plot)
    result.raced = answered is not None and answered["properties"].get("STATUS") != value
    await asyncio.sleep(max(0.0, ended + RACE_READ_AFTER_S - time.perf_counter()))
    read = await reader.get(tile_path(tile))
    result.read_cache = read.headers.get("x-cache", "MISS")
    body = tile_body(read)
    feature = await decoder(plot_feature, body, plot)
    result.read_status = (f"HTTP {read.status_code}" if body is None else "missing" if feature is None else
                          "fresh" if feature["properties"].get("STATUS") == value else "stale")
    result.read_note = (f"{answer_note(read)}: plot {plot} has STATUS "
                        f"{feature and feature['properties'].get('STATUS')!r}, committed {value!r}")
    return result


def report_race(name: str, rounds: list[Round]) -> int:
    stale = sum(r.read_status == "stale" for r in rounds)
    other = Counter(r.read_status for r in rounds if r.read_status not in ("fresh", "stale"))
    print(f"  {name}: stale {stale}/{len(rounds)}" + (f", reads neither fresh nor stale {dict(other)}" if other else ""))
    print(f"      the tile made before the edit (its answer showed the old STATUS) {sum(r.raced for r in rounds)}, "
          f"of which the invalidation answered before the tile {sum(r.raced and r.invalidated_first for r in rounds)}; "
          f"the commit seen inside the tile query {sum(r.inside for r in rounds)}, the statement not seen running "
          f"before the commit {sum(not r.caught for r in rounds)}")
    print(f"      invalidation answers {dict(Counter(r.invalidation_status for r in rounds))}; tile request "
          f"{seconds_line([r.tile_s for r in rounds])} (X-Cache {dict(Counter(r.first_cache for r in rounds))}); "
          f"the read after it: X-Cache {dict(Counter(r.read_cache for r in rounds))}")
    return stale + sum(other.values())


async def main() -> int:
    options = parser(__doc__, baseline="a checkout of the code before the freshness feature, with its .venv built")
    options.add_argument("--rounds", type=int, default=50, help="rounds of the race, per listener setting")
    args = parsed(options, "rounds")
    async with prepared(args) as setting:
        tiles = await race_tiles(setting.pool, setting.extent, setting.decoder)
        print(f"\nthe race: {args.rounds} rounds with the listener off, then on"
              + (", then the baseline (no listener, no checked write: what the race catches)" if args.baseline else "")
              + "; the tiles in turn, each with its largest plot: "
              + ", ".join(f"{tile_name(t)} plot {p}" for t, p in tiles), flush=True)
        results = {"listener off": await race(setting, "listener off", setting.new_host(False, True), tiles),
                   "listener on": await race(setting, "listener on", setting.new_host(True, True), tiles)}
        if args.baseline:
            results["baseline"] = await race(setting, "baseline", setting.baseline_host(True), tiles)
    bad = sum(report_race(name, rounds) for name, rounds in results.items() if name != "baseline")
    if "baseline" in results:
        report_race("baseline", results["baseline"])
    print(f"  goal (no stale tile, listener off and on): {'met' if not bad else 'not met'}")
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
