"""The reference host application: the tile router, survey plans and a web map at "/".

    cd api && uvicorn main:app --port 8000

Configuration comes from the environment (and a dotenv file): DATABASE_URL for PostGIS,
REDIS_HOST / REDIS_PORT / REDIS_DB / REDIS_PASSWORD / REDIS_USERNAME for Redis,
REDIS_MAX_CONNECTIONS for the size of the tile module's Redis pool (default 128), and
VEXA_ADMIN_TOKEN, the bearer token the cache invalidation route requires (without it
configured, that route refuses every call), and VEXA_CHANGE_LISTENER=0 to keep this process
from following the database's edits (by default every worker runs the tile module's change
listener; one of them per database applies the edits, the others stand by). VEXA_WORKERS says
how many web workers serve on this machine (`scripts/dev.sh serve` sets it; a plain uvicorn is
one): each starts its share of the cores as drawing processes, and the start fails unless the
database admits every worker's connections (VEXA_TILE_POOL_SIZE, VEXA_READ_POOL_SIZE and the
change listener's, see database.py). FastAPI's own OpenTelemetry is on where an OTEL_ setting is
in the environment, off otherwise.
"""

from __future__ import annotations

import asyncio
import contextlib
import gc
import inspect
import logging
import os
from collections.abc import AsyncIterator
from pathlib import Path

from fastapi import Depends, FastAPI
from fastapi.responses import FileResponse
from fastapi.staticfiles import StaticFiles

import vexa.maptile_hub as hub

import database
import serving
from delivery import metrics
from delivery.compression import Compressor, GzipTiles
from delivery.fair_share import FairShare, Work
from plans import pool as render_pool
from plans import routes as plan_routes
from search import routes as plot_search
from tiles.direct import DirectTiles
from tiles.router import ERROR, mount_tiles

WEB = Path(__file__).resolve().parents[1] / "web"
MAPLIBRE = WEB / "node_modules" / "maplibre-gl" / "dist"
PMTILES = WEB / "node_modules" / "pmtiles" / "dist"

# What each worker gives the expensive routes at once (beyond that, a short wait, then 503), the
# rates a client may ask for them at and its budget of work on them (beyond either, 429). Their
# statements also take one of the host's slots of database work, shared by every worker (the tile
# module's HOST_DATABASE_SLOTS: a core fewer than the machine has). Cached tiles are bound by
# none of these: they always have room.
# The tile module bounds its bounding-box tiles itself (BBOX_QUERY_SLOTS, BBOX_QUERY_WAIT_S), as
# many at once as the machine has cores; plot searches get as many.
DATABASE_WORK = Work("database queries", slots=hub.BBOX_QUERY_SLOTS, wait_s=0.5)  # plot search
PLAN_WORK = Work("survey plans", slots=8, wait_s=2.0)  # their records, and waiting for the drawing
SEARCH_SHARE = FairShare("search", per_second=10, work=DATABASE_WORK, cost=True)
# A client's plan requests a second (a map user asks for one or two at a click, and revalidates
# them); beyond that a request is refused before it reads anything. Its rate of new drawings,
# lower still, is the plans' own (plans/routes.py).
PLAN_SHARE = FairShare("survey plan", per_second=10, work=PLAN_WORK, cost=True)
logger = logging.getLogger("vexa.main")
LISTENER_RESTART_S = 1.0


class ChangeListener:
    """The tile module's change listener as a task of the app's loop. The listener itself never
    ends but by cancellation; should it end otherwise all the same (a fault of the module, or a
    cancellation that is not the app's), that is logged and it starts again a second later. Its
    stop (the app's) cancels it for good."""

    def __init__(self) -> None:
        self.task: asyncio.Task | None = None
        self.restart: asyncio.TimerHandle | None = None
        self.stopping = False

    def start(self) -> None:
        self.restart = None
        self.task = asyncio.create_task(hub.listen_for_tile_changes(database.change_connection),
                                        name="tile change listener")
        self.task.add_done_callback(self._ended)

    def _ended(self, task: asyncio.Task) -> None:
        if self.stopping:
            return
        error = None if task.cancelled() else task.exception()
        cause = "it was cancelled" if task.cancelled() else repr(error) if error is not None else "it returned"
        logger.error("the tile change listener ended (%s); starting it again in %g s", cause, LISTENER_RESTART_S,
                     exc_info=error)
        self.restart = asyncio.get_running_loop().call_later(LISTENER_RESTART_S, self.start)

    async def stop(self) -> None:
        self.stopping = True
        if self.restart is not None:
            self.restart.cancel()
        if self.task is not None and not self.task.done():
            self.task.cancel()
            await asyncio.wait([self.task], timeout=5)  # it ends at once when cancelled


BUSY = {503: {"description": "Too busy now: ask again after Retry-After", "content": ERROR}}
LIMITED = {**BUSY, 429: {"description": "Too many requests from this client: ask again after Retry-After",
                         "content": ERROR}}


@contextlib.asynccontextmanager
async def lifespan(app: FastAPI) -> AsyncIterator[None]:
    """The tile module's change listener runs for as long as the app serves; the survey plans'
    drawing processes and the database pools open as it starts (in the background), once the
    database is known to admit every worker's connections, and the drawing processes end with it."""
    # Every worker's pools must fit the database's connections; a start that cannot fails here,
    # before anything is opened, with what to change.
    following = serving.follows_changes()
    await database.check_connection_budget(serving.WORKERS, listener=following)
    # What the app made as it loaded lives as long as the worker: set aside from the collector
    # (gc.freeze), whose full passes would walk all of it again and again. Under a flood of
    # requests, each such pass held a worker for 130-160 ms, and every request with it.
    gc.collect()
    gc.freeze()
    render_pool.start()
    opening = asyncio.create_task(database.open_pools(), name="database pools")
    listener = ChangeListener()
    if following:
        listener.start()
    try:
        yield
    finally:
        opening.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await opening
        await render_pool.close()
        await listener.stop()


def telemetry_wanted() -> bool:
    """Whether this deployment uses OpenTelemetry (an OTEL_ setting in the environment)."""
    return any(name.startswith("OTEL_") for name in os.environ) or bool(os.environ.get("FASTAPI_OTEL_AUTO_CONFIGURE"))


def framework_telemetry() -> dict[str, object]:
    """FastAPI's own OpenTelemetry: as the framework has it where this deployment uses
    OpenTelemetry (an OTEL_ setting in the environment), off otherwise. Left on, the framework
    asks OpenTelemetry for its providers at every request, which reads the environment each time
    (about 5 % of a cached tile's CPU here); the host counts its requests itself (/metrics)."""
    if "telemetry" not in inspect.signature(FastAPI.__init__).parameters:
        return {}  # a framework without it
    if telemetry_wanted():
        return {}
    return {"telemetry": {"tracing": False, "metrics": False, "logs": False}}


app = FastAPI(
    title="vexa map back end",
    description="Vector tiles of the cadastral layers, cached in Redis, and survey plans.",
    version="0.1.0",
    lifespan=lifespan,
    **framework_telemetry(),
)
compressor = Compressor()
app.add_middleware(GzipTiles, compressor=compressor)  # tiles and JSON gzipped for clients that accept it
metrics.install(app)
tile_handler = mount_tiles(app)
if not telemetry_wanted():  # where it is, every tile request passes the framework's telemetry
    DirectTiles.install(app, tile_handler, compressor)
app.include_router(plan_routes.router, dependencies=[Depends(PLAN_SHARE)], responses=BUSY)
app.include_router(plot_search.router, dependencies=[Depends(SEARCH_SHARE)], responses=LIMITED)
app.mount("/static", StaticFiles(directory=WEB / "static"), name="static")
if MAPLIBRE.is_dir():  # installed from the npm registry by the set-up script
    app.mount("/vendor/maplibre", StaticFiles(directory=MAPLIBRE), name="maplibre")
if PMTILES.is_dir():  # the offline tile reader, from the npm registry too
    app.mount("/vendor/pmtiles", StaticFiles(directory=PMTILES), name="pmtiles")


@app.get("/", include_in_schema=False)
async def index() -> FileResponse:
    """The web map."""
    return FileResponse(WEB / "static" / "index.html")
