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
- bare endpoint: bench/bare_tiles.py under uvicorn, the cached bytes of the same URLs from Redis.

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
import logging
import math
import os
import random
import sys
import time
from collections import Counter, deque
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field

import asyncpg
import mapbox_vector_tile
import redis.asyncio as aioredis

import peer_servers
from common import API, REDIS_PORT, cadastre_database, percentile, pg_url, tile_module, tile_statement, zone_plots_for
from peer_servers import TileServer

sys.path.insert(0, str(API))

Tile = tuple[int, int, int]
Fetch = Callable[[int, int, Tile], Awaitable[int]]  # user, lane, tile -> HTTP status (0: no answer)

REDIS_DB = 4
IN_FLIGHT = 4  # requests a user has in flight
FLOOR_CONNECTIONS = 8
ZOOMS = range(14, 19)
SAMPLE_ZOOMS = range(14, 18)
SAMPLES_PER_ZOOM = 3
VIEW_PIXELS = (1280, 800)
VIEW_TILES = (6, 4)  # columns and rows of tiles such a view shows
USERS_PER_PLACE = 4
ZOOM_SHARE = 0.3  # of the moves between views; the others are pans
PAN_PIXELS = (384, 1024)
START_JITTER = 384  # pixels around the user's place
ADDRESSES = 256  # source addresses in all, at least
TILE_LIMIT = 40  # the tile module's tiles a second per address
RATE_WINDOW_S = 1.0  # the tile module's rate window
REQUEST_TIMEOUT = 60.0
WORLD = 20037508.342789244  # half the Web Mercator world, metres


# The replay --------------------------------------------------------------------------------------

def view(z: int, px: float, py: float) -> list[Tile]:
    """The tiles of a view centred on world pixel (px, py) at zoom z, the nearest to the centre first."""
    x0, y0 = math.floor((px - VIEW_PIXELS[0] / 2) / 256), math.floor((py - VIEW_PIXELS[1] / 2) / 256)
    tiles = [(z, x, y) for x in range(x0, x0 + VIEW_TILES[0]) for y in range(y0, y0 + VIEW_TILES[1])]
    return sorted(tiles, key=lambda t: (t[1] + 0.5 - px / 256) ** 2 + (t[2] + 0.5 - py / 256) ** 2)


def viewport_plan(extent: tuple[float, float, float, float], users: int, views: int, seed: int) -> list[list[Tile]]:
    """Each user's tile requests in order: `views` views, panning and zooming from a shared place."""
    rng = random.Random(seed)
    west, south, east, north = extent
    places = [(rng.uniform(west, east), rng.uniform(south, north)) for _ in range(math.ceil(users / USERS_PER_PLACE))]
    plan = []
    for user in range(users):
        x, y = places[user // USERS_PER_PLACE]
        z = rng.choice(ZOOMS)
        scale = 256 * 2**z / (2 * WORLD)
        px = (x + WORLD) * scale + rng.uniform(-START_JITTER, START_JITTER)
        py = (WORLD - y) * scale + rng.uniform(-START_JITTER, START_JITTER)
        requests: list[Tile] = []
        for _ in range(views):
            requests += view(z, px, py)
            if rng.random() < ZOOM_SHARE:
                step = 1 if z == ZOOMS[0] else -1 if z == ZOOMS[-1] else rng.choice((-1, 1))
                z, px, py = z + step, px * 2**step, py * 2**step
            else:
                angle, distance = rng.uniform(0, 2 * math.pi), rng.uniform(*PAN_PIXELS)
                px, py = px + distance * math.cos(angle), py + distance * math.sin(angle)
        plan.append(requests)
    return plan


def addresses_per_lane(users: int) -> int:
    return max(1, math.ceil(ADDRESSES / (users * IN_FLIGHT)))


def source_address(index: int) -> str:
    return f"127.0.{40 + index // 250}.{1 + index % 250}"


# A lean HTTP/1.1 client: the client's own cost stays small beside the servers' ---------------------

class Connection:
    """One keep-alive HTTP/1.1 connection to 127.0.0.1:`port` from `address`, opened on first use
    and again when the server has closed it."""

    def __init__(self, port: int, address: str) -> None:
        self.port, self.address = port, address
        self.reader: asyncio.StreamReader | None = None
        self.writer: asyncio.StreamWriter | None = None

    async def get(self, path: str) -> tuple[int, bytes]:
        request = (f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n"
                   "Accept-Encoding: identity\r\n\r\n").encode()
        reused = self.writer is not None
        if not reused:
            await self.open()
        try:
            self.writer.write(request)
            return await self.answer()
        except (ConnectionError, asyncio.IncompleteReadError):
            self.close()
            if not reused:
                raise
        await self.open()  # a kept-alive connection the server closed meanwhile: once more on a new one
        self.writer.write(request)
        return await self.answer()

    async def open(self) -> None:
        self.reader, self.writer = await asyncio.open_connection("127.0.0.1", self.port, local_addr=(self.address, 0))

    async def answer(self) -> tuple[int, bytes]:
        head = (await self.reader.readuntil(b"\r\n\r\n")).decode("latin-1").split("\r\n")
        status = int(head[0].split(" ", 2)[1])
        headers = dict((k.strip().lower(), v.strip().lower()) for k, _, v in (line.partition(":") for line in head[1:] if line))
        if status in (204, 304) or status < 200:
            body = b""
        elif "content-length" in headers:
            body = await self.reader.readexactly(int(headers["content-length"]))
        elif headers.get("transfer-encoding") == "chunked":
            body = await self.chunks()
        else:
            body = await self.reader.read()
            headers["connection"] = "close"
        if headers.get("connection") == "close":
            self.close()
        return status, body

    async def chunks(self) -> bytes:
        parts = []
        while size := int((await self.reader.readuntil(b"\r\n")).split(b";")[0], 16):
            parts.append(await self.reader.readexactly(size))
            await self.reader.readexactly(2)
        while await self.reader.readuntil(b"\r\n") != b"\r\n":  # trailers
            pass
        return b"".join(parts)

    def close(self) -> None:
        if self.writer is not None:
            self.writer.close()
        self.reader = self.writer = None


class Clients:
    """The connections of every user's lanes to one server: each lane takes its addresses in turn."""

    def __init__(self, server: TileServer, users: int) -> None:
        self.server, per_lane = server, addresses_per_lane(users)
        self.lanes = [[[Connection(server.port, source_address((user * IN_FLIGHT + lane) * per_lane + k))
                        for k in range(per_lane)] for lane in range(IN_FLIGHT)] for user in range(users)]
        self.turns = Counter()
        self.asked = Counter()  # requests per address
        self.spare = users * IN_FLIGHT * per_lane  # the next fresh address

    async def fetch(self, user: int, lane: int, tile: Tile) -> int:
        ring = self.lanes[user][lane]
        turn = self.turns[user, lane] % len(ring)
        self.turns[user, lane] += 1
        connection = ring[turn]
        if self.asked[connection.address] >= TILE_LIMIT - 2:  # room for the two warm-up requests
            connection.close()
            connection = ring[turn] = Connection(self.server.port, source_address(self.spare))
            self.spare += 1
        self.asked[connection.address] += 1
        try:
            status, _ = await asyncio.wait_for(connection.get(self.server.path(*tile)), REQUEST_TIMEOUT)
        except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError, ValueError):
            connection.close()
            return 0
        return status

    def close(self) -> None:
        for lanes in self.lanes:
            for ring in lanes:
                for connection in ring:
                    connection.close()


# Runs ----------------------------------------------------------------------------------------------

@dataclass
class Run:
    name: str
    wall: float
    latencies: list[float] = field(repr=False)
    statuses: Counter
    client_cpu: float  # seconds of this process's CPU, the load generator's (and for the SQL floor asyncpg's)

    @property
    def rate(self) -> float:
        return len(self.latencies) / self.wall

    def p(self, q: float) -> float:
        return percentile(self.latencies, q * 100)

    @property
    def failed(self) -> int:
        return sum(n for status, n in self.statuses.items() if status not in (200, 204))

    def print(self) -> None:
        other = ", ".join(f"{n} x {status or 'no answer'}" for status, n in sorted(self.statuses.items())
                          if status not in (200, 204))
        print(f"  {self.name:<34} {self.rate:9.1f} {self.p(0.5):9.1f} {self.p(0.9):9.1f} {self.p(0.99):9.1f}"
              f" {self.failed:12d} {100 * self.client_cpu / self.wall:9.0f}{'   (' + other + ')' if other else ''}",
              flush=True)


async def replay(name: str, plan: list[list[Tile]], fetch: Fetch) -> Run:
    """Every user's requests in order, IN_FLIGHT at a time per user, all users at once."""
    latencies: list[float] = []
    statuses: Counter = Counter()
    queues = [deque(requests) for requests in plan]

    async def lane(user: int, number: int) -> None:
        queue = queues[user]
        while queue:
            tile = queue.popleft()
            started = time.perf_counter()
            status = await fetch(user, number, tile)
            latencies.append((time.perf_counter() - started) * 1000)
            statuses[status] += 1

    started, cpu = time.perf_counter(), time.process_time()
    await asyncio.gather(*(lane(user, number) for user in range(len(plan)) for number in range(IN_FLIGHT)))
    run = Run(name, time.perf_counter() - started, latencies, statuses, time.process_time() - cpu)
    run.print()
    return run


async def warm_up(server: TileServer, samples: list[Tile], users: int) -> None:
    """Every lane asks for a sample tile at once, twice, uncounted: the server opens its database
    connections before the run rather than during it."""
    clients = Clients(server, users)
    try:
        for _ in range(2):
            await asyncio.gather(*(clients.fetch(user, lane, samples[(user * IN_FLIGHT + lane) % len(samples)])
                                   for user in range(users) for lane in range(IN_FLIGHT)))
    finally:
        clients.close()


async def http_replay(name: str, server: TileServer, plan: list[list[Tile]]) -> Run:
    clients = Clients(server, len(plan))
    try:
        return await replay(name, plan, clients.fetch)
    finally:
        clients.close()


class SqlFloor:
    """The tile module's statements straight through asyncpg, every request a query."""

    def __init__(self, pool: asyncpg.Pool, tiles: set[Tile]) -> None:
        self.pool = pool
        self.statements = {tile: tile_statement("plots", *tile) for tile in tiles}

    async def tile(self, tile: Tile) -> bytes:
        if tile not in self.statements:
            self.statements[tile] = tile_statement("plots", *tile)
        async with self.pool.acquire() as conn:
            return await conn.fetchval(*self.statements[tile]) or b""

    async def fetch(self, user: int, lane: int, tile: Tile) -> int:
        try:
            return 200 if await self.tile(tile) else 204
        except (asyncpg.PostgresError, OSError):
            return 0


# The feature check ---------------------------------------------------------------------------------

def plot_ids(body: bytes) -> set[int]:
    if not body:
        return set()
    layers = mapbox_vector_tile.decode(body).values()
    return {int(f["properties"].get("ID", f.get("id"))) for layer in layers for f in layer["features"]}


def at_zoom(tile: Tile, z: int) -> Tile:
    """The tile at zoom z that holds `tile` (a lower z) or the middle of it (a higher z)."""
    zt, x, y = tile
    if zt >= z:
        return z, x >> (zt - z), y >> (zt - z)
    k = 1 << (z - zt)
    return z, x * k + k // 2, y * k + k // 2


async def sample_tiles(plan: list[list[Tile]], floor: SqlFloor) -> list[Tile]:
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


async def server_features(server: TileServer, samples: list[Tile]) -> dict[Tile, set[int] | str]:
    connection = Connection(server.port, source_address(5000))  # 127.0.60.1, no lane's
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

async def plot_extent(database: str) -> tuple[float, float, float, float]:
    conn = await asyncpg.connect(pg_url(database))
    try:
        box = await conn.fetchrow('SELECT ST_XMin(e) AS w, ST_YMin(e) AS s, ST_XMax(e) AS e, ST_YMax(e) AS n '
                                  'FROM (SELECT ST_Extent("GEOMETRY") AS e FROM "GIS"."PLOT") AS x')
    finally:
        await conn.close()
    return box["w"], box["s"], box["e"], box["n"]


def import_tile_module() -> None:
    """The tile module, for its statements (quietly: it prints its cache settings on import)."""
    os.environ.update(REDIS_HOST="127.0.0.1", REDIS_PORT=str(REDIS_PORT), REDIS_DB=str(REDIS_DB))
    tile_module()
    logging.getLogger("httpx").setLevel(logging.WARNING)  # the module logs at INFO, httpx with it


def describe(plan: list[list[Tile]], args: argparse.Namespace, database: str) -> set[Tile]:
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
        peer_servers.install_peers()
    database = await cadastre_database(args.plots, zone_plots_for(args.plots))
    plan = viewport_plan(await plot_extent(database), args.users, args.views, args.seed)
    distinct = describe(plan, args, database)
    installed = peer_servers.installed_peers()
    skipped = [name for name in ("TiPg", "MapServer") if name not in installed]
    for name in skipped:
        print(f"  {name}: not installed, its runs are skipped (--install-peers installs it)")

    import_tile_module()
    servers = {"TiPg": peer_servers.tipg(database, args.workers),
               "MapServer": peer_servers.mapserver(database, args.workers),
               "vexa": peer_servers.vexa(database, args.workers, REDIS_DB),
               "bare endpoint": peer_servers.bare_endpoint(args.workers, REDIS_DB)}
    for name in skipped:
        del servers[name]
    pool = await asyncpg.create_pool(pg_url(database), min_size=FLOOR_CONNECTIONS, max_size=FLOOR_CONNECTIONS)
    redis = aioredis.Redis(host="127.0.0.1", port=REDIS_PORT, db=REDIS_DB)
    try:
        floor = SqlFloor(pool, distinct)
        started = time.perf_counter()
        await asyncio.gather(*(floor.tile(t) for t in distinct))  # the database's pages into memory, uncounted
        print(f"  database warmed: {len(distinct):,} tiles in {time.perf_counter() - started:.1f} s", flush=True)

        samples = await sample_tiles(plan, floor)
        await redis.flushdb()  # no tile of another database cached under the same address
        found = {"SQL floor": {t: plot_ids(await floor.tile(t)) for t in samples}}
        for name, server in servers.items():  # vexa fills the cache the bare endpoint then reads
            async with server:
                found[name] = await server_features(server, samples)
        if not check_features(samples, found):
            return 1

        workers = f"{args.workers} worker{'s' if args.workers > 1 else ''}"
        print(f"\n  {'':<34} {'tiles/s':>9} {'p50 ms':>9} {'p90 ms':>9} {'p99 ms':>9} {'not 200/204':>12} {'client %':>9}")
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
