"""The viewport replay (its plan is described in bench/peers.py): map users with IN_FLIGHT requests
in flight each, played on a lean HTTP/1.1 client from loopback addresses that never meet the tile
module's rate limit; and its floor, the tile module's statements straight through asyncpg."""

from __future__ import annotations

import asyncio
import math
import random
import time
from collections import Counter, deque
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field

import asyncpg
import mapbox_vector_tile
from settings import LOOPBACK

from lib.cadastre import Tile
from lib.clients import address
from lib.latency import percentile
from lib.servers import Server
from lib.tile_module import tile_statement

Fetch = Callable[[int, int, Tile], Awaitable[int]]  # user, lane, tile -> HTTP status (0: no answer)
Plan = list[list[Tile]]  # each user's tile requests in order

IN_FLIGHT = 4  # requests a user has in flight
ZOOMS = range(14, 19)
VIEW_PIXELS = (1280, 800)
VIEW_TILES = (6, 4)  # columns and rows of tiles such a view shows
USERS_PER_PLACE = 4
ZOOM_SHARE = 0.3  # of the moves between views; the others are pans
PAN_PIXELS = (384, 1024)
START_JITTER = 384  # pixels around the user's place
REPLAY_BLOCK = 40  # the lanes' source addresses: 127.0.40.1 and on
ADDRESSES = 256  # source addresses in all, at least
TILE_LIMIT = 40  # the tile module's tiles a second per address
REQUEST_TIMEOUT = 60.0
WORLD = 20037508.342789244  # half the Web Mercator world, metres
TABLE_HEAD = (f"  {'':<34} {'tiles/s':>9} {'p50 ms':>9} {'p90 ms':>9} {'p99 ms':>9} {'not 200/204':>12} "
              f"{'client %':>9}")


def view(z: int, px: float, py: float) -> list[Tile]:
    """The tiles of a view centred on world pixel (px, py) at zoom z, the nearest to the centre first."""
    x0, y0 = math.floor((px - VIEW_PIXELS[0] / 2) / 256), math.floor((py - VIEW_PIXELS[1] / 2) / 256)
    tiles = [(z, x, y) for x in range(x0, x0 + VIEW_TILES[0]) for y in range(y0, y0 + VIEW_TILES[1])]
    return sorted(tiles, key=lambda t: (t[1] + 0.5 - px / 256) ** 2 + (t[2] + 0.5 - py / 256) ** 2)


def viewport_plan(extent: tuple[float, float, float, float], users: int, views: int, seed: int) -> Plan:
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


def plot_ids(body: bytes) -> set[int]:
    """The plot IDs of a decoded tile."""
    if not body:
        return set()
    layers = mapbox_vector_tile.decode(body).values()
    return {int(f["properties"].get("ID", f.get("id"))) for layer in layers for f in layer["features"]}


class Connection:
    """One keep-alive HTTP/1.1 connection to 127.0.0.1:`port` from `source`, opened on first use
    and again when the server has closed it."""

    def __init__(self, port: int, source: str) -> None:
        self.port, self.address = port, source
        self.reader: asyncio.StreamReader | None = None
        self.writer: asyncio.StreamWriter | None = None

    async def get(self, path: str) -> tuple[int, bytes]:
        request = (f"GET {path} HTTP/1.1\r\nHost: {LOOPBACK}:{self.port}\r\n"
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
        self.reader, self.writer = await asyncio.open_connection(LOOPBACK, self.port, local_addr=(self.address, 0))

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

    def __init__(self, server: Server, users: int) -> None:
        self.server, per_lane = server, addresses_per_lane(users)
        self.lanes = [[[Connection(server.port, address(REPLAY_BLOCK, (user * IN_FLIGHT + lane) * per_lane + k))
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
            connection = ring[turn] = Connection(self.server.port, address(REPLAY_BLOCK, self.spare))
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


@dataclass
class Run:
    """One replay's figures, printed as a row of TABLE_HEAD."""

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


async def replay(name: str, plan: Plan, fetch: Fetch) -> Run:
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


async def warm_up(server: Server, samples: list[Tile], users: int) -> None:
    """Every lane asks for a sample tile at once, twice, uncounted: the server opens its database
    connections before the run rather than during it."""
    clients = Clients(server, users)
    try:
        for _ in range(2):
            await asyncio.gather(*(clients.fetch(user, lane, samples[(user * IN_FLIGHT + lane) % len(samples)])
                                   for user in range(users) for lane in range(IN_FLIGHT)))
    finally:
        clients.close()


async def http_replay(name: str, server: Server, plan: Plan) -> Run:
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

    async def warm(self, tiles: list[Tile] | set[Tile]) -> float:
        """Every tile's statement once, uncounted (the database's pages into memory): the seconds it took."""
        started = time.perf_counter()
        await asyncio.gather(*(self.tile(t) for t in tiles))
        return time.perf_counter() - started
