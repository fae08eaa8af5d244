#!/usr/bin/env python3
"""vexa's tile path beside two general tile servers, TiPg and MapServer, on one viewport replay.

    python bench/peers.py --install-peers      # once: TiPg and MapServer into bench/.peers/, then the run
    python bench/peers.py [--plots 1000000] [--workers 2] [--users 32] [--views 12] [--seed 127]
    python bench/peers.py --plots 20000 --users 4 --views 3     # a quick check on a small cadastre

The replay: each user opens a view (the 6 x 4 tiles a 1280 x 800 map shows, the nearest to its
centre first) at a zoom of 14 to 18 and then pans (1.5 to 4 tiles in any direction) or zooms in
or out, `--views` views in all, with 4 requests in flight. Users start in fours at the same places
(seeded, within the plots' extent), so they ask for some of each other's tiles; at the defaults
that makes 9,216 requests for about 3,850 distinct tiles (58 % of the requests repeat a tile
asked before). The sequence depends only on the seed and the plots' extent. The requests of
each lane (a user's request in flight) come from loopback addresses of its own (127.0.40.1 and
on, about 256 in all, each used in turn). A lane may take most of its user's requests while the
other lanes wait on slow ones, so an address that has asked for 38 tiles in a replay is retired
for a fresh one: no address ever asks for more than the tile module's limit of 40 tiles a
second, and a second passes between the cold and the warm run for the same reason.

The database is a demo cadastre of `--plots` plots in a database of its own (vexa_scale_1m at
the defaults, shared with bench/scale.py and loaded once). First the database is warmed with
one pass over the distinct tiles. Then every server is asked for a sample of tiles at zooms 14
to 17 and the plot IDs of each decoded tile are compared with those of the tile module's own
statement; a difference stops the run. Then, one after another, with `--workers` processes each
(every server first answering two uncounted bursts of the sample tiles, one request from every
user's every lane, so that it opens its database connections before the run and not in it):

- SQL floor: the tile module's statements (generate_mvt_sql) run through asyncpg on 8
  connections, every request a query;
- TiPg (tipg 1.x under uvicorn) and MapServer 8 (MVT output, FastCGI under lighttpd), serving
  the same table, the plots that intersect each tile (MapServer with an edge buffer of 4
  pixels, the tile module's at zoom 14), no cache;
- vexa cold: the host app (api/main.py) under uvicorn, Redis emptied first;
- vexa warm: the same replay again on the cache the cold run filled;
- bare endpoint: bench/lib/bare_tiles.py under uvicorn, the cached bytes of the same URLs from Redis.

Every request asks for identity encoding (no server compresses). Printed for each: tiles per
second, p50, p90 and p99 latency, answers other than 200 and 204, and the CPU this process spent
meanwhile as a share of one core (the load generator; for the SQL floor asyncpg's side too);
then the ratios against the goals (warm >= 0.8 x bare endpoint; cold >= 2 x SQL floor,
>= 2.5 x MapServer, >= 4 x TiPg; cold p99 below MapServer's), each met or not (not met too when
either run had other answers).

--install-peers puts tipg 1.6.1 (with uvicorn, uvloop and httptools, as the host has them) into a
virtual environment in bench/.peers/tipg (git-ignored) and installs mapserver-bin, cgi-mapserver
and lighttpd with apt-get (as root, or through sudo); the mapfile, MapServer's configuration and
lighttpd's are written into bench/.peers/mapserver/ at each run, the servers' logs into
bench/.peers/logs/. Without the yardsticks installed their runs are skipped, and said to be.

How long a full run takes on a 2-core machine (estimated from the tile statements' times on a
smaller load laid out alike, whose full tiles cost what they cost at a million plots: about
35 ms at zoom 14, 6 at 15, 2 at 16, under 1 above): loading the million plots, once, a couple of
minutes; then 5 to 10 minutes, mostly the three runs without a cache (SQL floor, TiPg,
MapServer), each 9,216 tile statements, of which 1,368 at zoom 14.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
from collections import Counter

import asyncpg

from lib import yardsticks
from lib.cadastre import Tile, cadastre_database, pg_url, plot_extent
from lib.clients import address, redis_client
from lib.replay import (IN_FLIGHT, REPLAY_BLOCK, REQUEST_TIMEOUT, TABLE_HEAD, Connection, Plan, Run, SqlFloor,
                        addresses_per_lane, http_replay, plot_ids, replay, viewport_plan, warm_up)
from lib.servers import Server, bare_endpoint, host
from lib.tile_module import tile_module

REDIS_DB = 4
FLOOR_CONNECTIONS = 8
SAMPLE_ZOOMS = range(14, 18)
SAMPLES_PER_ZOOM = 3
RATE_WINDOW_S = 1.0  # the tile module's rate window


# The feature check ---------------------------------------------------------------------------------

def at_zoom(tile: Tile, z: int) -> Tile:
    """The tile at zoom z that holds `tile` (a lower z) or the middle of it (a higher z)."""
    zt, x, y = tile
    if zt >= z:
        return z, x >> (zt - z), y >> (zt - z)
    k = 1 << (z - zt)
    return z, x * k + k // 2, y * k + k // 2


async def sample_tiles(plan: Plan, floor: SqlFloor) -> list[Tile]:
    """Per zoom 14 to 17, the tiles that hold plots where the replay's users look most, at that zoom
    or at another."""
    requests = [tile for user in plan for tile in user]
    samples = []
    for z in SAMPLE_ZOOMS:
        looked = Counter(at_zoom(tile, z) for tile in requests)
        candidates = sorted(looked, key=lambda t: (-looked[t], t))[:10 * SAMPLES_PER_ZOOM]
        holding = [t for t in candidates if await floor.tile(t)]
        samples += holding[:SAMPLES_PER_ZOOM] or candidates[:1]
    return samples


async def server_features(server: Server, samples: list[Tile]) -> dict[Tile, set[int] | str]:
    connection = Connection(server.port, address(REPLAY_BLOCK, 5000))  # 127.0.60.1, no lane's
    try:
        out: dict[Tile, set[int] | str] = {}
        for tile in samples:
            try:
                status, body = await asyncio.wait_for(connection.get(server.path(*tile)), REQUEST_TIMEOUT)
            except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError, ValueError) as e:
                out[tile] = f"no answer ({type(e).__name__})"
                connection.close()
                continue
            out[tile] = plot_ids(body) if status in (200, 204) else f"HTTP {status}"
        return out
    finally:
        connection.close()


def check_features(samples: list[Tile], found: dict[str, dict[Tile, set[int] | str]]) -> bool:
    """Print the feature counts per sample tile; say loudly where a server differs from the SQL floor."""
    names = list(found)
    print("\nfeatures per sample tile (plot IDs compared with the tile module's own statement):")
    print(f"  {'tile':<18}" + "".join(f" {name:>14}" for name in names))
    for tile in samples:
        cells = [found[name][tile] for name in names]
        print(f"  {'/'.join(map(str, tile)):<18}" + "".join(f" {c if isinstance(c, str) else len(c):>14}" for c in cells))
    mismatches = []
    for name in names[1:]:
        for tile in samples:
            expected, got = found[names[0]][tile], found[name][tile]
            if got != expected:
                detail = got if isinstance(got, str) else (f"{len(expected - got)} missing, {len(got - expected)} extra, "
                                                           f"e.g. {sorted(expected ^ got)[:5]}")
                mismatches.append(f"{name} at {'/'.join(map(str, tile))}: {detail}")
    for line in mismatches:
        print(f"!!! FEATURE MISMATCH: {line}")
    if mismatches:
        print("!!! The servers do not answer the same features: no figures are comparable. Run stopped.")
    return not mismatches


# The report ----------------------------------------------------------------------------------------

def goals(runs: dict[str, Run], skipped: list[str]) -> None:
    print("\nratios against the goals:")
    rows = [("vexa cold / SQL floor", "vexa cold", "SQL floor", 2.0),
            ("vexa warm / bare endpoint", "vexa warm", "bare endpoint", 0.8),
            ("vexa cold / MapServer", "vexa cold", "MapServer", 2.5),
            ("vexa cold / TiPg", "vexa cold", "TiPg", 4.0)]
    for label, measured, floor, goal in rows:
        if floor in skipped:
            print(f"  {label:<34} skipped ({floor} not installed)")
            continue
        a, b = runs[measured], runs[floor]
        ratio = a.rate / b.rate
        print(f"  {label:<34} x{ratio:<7.2f} goal >= {goal:<4}  {verdict(ratio >= goal, runs, measured, floor)}")
    if "MapServer" in skipped:
        print(f"  {'vexa cold p99 vs MapServer p99':<34} skipped (MapServer not installed)")
    else:
        a, b = runs["vexa cold"], runs["MapServer"]
        print(f"  {'vexa cold p99 vs MapServer p99':<34} {a.p(0.99):.1f} ms vs {b.p(0.99):.1f} ms   goal below   "
              f"{verdict(a.p(0.99) < b.p(0.99), runs, 'vexa cold', 'MapServer')}")


def verdict(holds: bool, runs: dict[str, Run], *names: str) -> str:
    failed = [name for name in names if runs[name].failed]
    if failed:
        return f"not met (answers other than 200/204 in {', '.join(failed)})"
    return "met" if holds else "not met"


# Main ----------------------------------------------------------------------------------------------

def describe(plan: Plan, args: argparse.Namespace, database: str) -> set[Tile]:
    requests = [tile for user in plan for tile in user]
    distinct = set(requests)
    zooms = Counter(z for z, _, _ in requests)
    print(f"{args.plots:,} plots ({database}); {args.users} users x {args.views} views, {IN_FLIGHT} requests in flight"
          f" each, seed {args.seed}: {len(requests):,} requests for {len(distinct):,} distinct tiles"
          f" ({100 * (1 - len(distinct) / len(requests)):.1f} % repeat a tile asked before)")
    print(f"  requests per zoom: {', '.join(f'{z}: {n}' for z, n in sorted(zooms.items()))}; "
          f"{args.users * IN_FLIGHT * addresses_per_lane(args.users)} source addresses; {args.workers} worker(s) per server")
    return distinct


async def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plots", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=2, help="processes of each server")
    parser.add_argument("--users", type=int, default=32)
    parser.add_argument("--views", type=int, default=12, help="views per user")
    parser.add_argument("--seed", type=int, default=127)
    parser.add_argument("--install-peers", action="store_true",
                        help="install TiPg (PyPI, into bench/.peers/) and MapServer with lighttpd (apt-get) first")
    args = parser.parse_args()
    if min(args.plots, args.workers, args.users, args.views) < 1:
        parser.error("--plots, --workers, --users and --views must be at least 1")

    if args.install_peers:
        yardsticks.install_peers()
    database = await cadastre_database(args.plots)
    plan = viewport_plan(await plot_extent(database), args.users, args.views, args.seed)
    distinct = describe(plan, args, database)
    installed = yardsticks.installed_peers()
    skipped = [name for name in ("TiPg", "MapServer") if name not in installed]
    for name in skipped:
        print(f"  {name}: not installed, its runs are skipped (--install-peers installs it)")

    tile_module(REDIS_DB)  # for its statements
    servers = {"TiPg": yardsticks.tipg(database, args.workers),
               "MapServer": yardsticks.mapserver(database, args.workers),
               "vexa": host(database, REDIS_DB, args.workers, log_path=yardsticks.LOGS / "vexa.log"),
               "bare endpoint": bare_endpoint(args.workers, REDIS_DB, yardsticks.LOGS / "bare.log")}
    for name in skipped:
        del servers[name]
    pool = await asyncpg.create_pool(pg_url(database), min_size=FLOOR_CONNECTIONS, max_size=FLOOR_CONNECTIONS)
    redis = redis_client(REDIS_DB)
    try:
        floor = SqlFloor(pool, distinct)
        print(f"  database warmed: {len(distinct):,} tiles in {await floor.warm(distinct):.1f} s", flush=True)

        samples = await sample_tiles(plan, floor)
        await redis.flushdb()  # no tile of another database cached under the same address
        found = {"SQL floor": {t: plot_ids(await floor.tile(t)) for t in samples}}
        for name, server in servers.items():  # vexa fills the cache the bare endpoint then reads
            async with server:
                found[name] = await server_features(server, samples)
        if not check_features(samples, found):
            return 1

        workers = f"{args.workers} worker{'s' if args.workers > 1 else ''}"
        print(f"\n{TABLE_HEAD}")
        runs = {"SQL floor": await replay(f"SQL floor ({FLOOR_CONNECTIONS} connections)", plan, floor.fetch)}
        for name in ("TiPg", "MapServer"):
            if name in servers:
                async with servers[name] as server:
                    await warm_up(server, samples, args.users)
                    runs[name] = await http_replay(f"{name} ({workers})", server, plan)
        async with servers["vexa"] as server:
            await warm_up(server, samples, args.users)
            await redis.flushdb()
            runs["vexa cold"] = await http_replay(f"vexa cold ({workers})", server, plan)
            await asyncio.sleep(RATE_WINDOW_S)  # the cold run's rate windows end before the warm run's begin
            runs["vexa warm"] = await http_replay("vexa warm", server, plan)
        async with servers["bare endpoint"] as server:
            await warm_up(server, samples, args.users)
            runs["bare endpoint"] = await http_replay(f"bare endpoint ({workers})", server, plan)
        goals(runs, skipped)
        return 0
    finally:
        await redis.aclose()
        await pool.close()


if __name__ == "__main__":
    try:
        import uvloop
    except ImportError:
        sys.exit(asyncio.run(main()))
    sys.exit(uvloop.run(main()))
