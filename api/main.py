"""The reference host application: the tile router, survey plans and a web map at "/".

    cd api && uvicorn main:app --port 8000

Configuration comes from the environment (and a dotenv file): DATABASE_URL for PostGIS,
REDIS_HOST / REDIS_PORT / REDIS_DB / REDIS_PASSWORD / REDIS_USERNAME for Redis,
REDIS_MAX_CONNECTIONS for the size of the tile module's Redis pool (default 128), and
VEXA_ADMIN_TOKEN, the bearer token the cache invalidation route requires (without it
configured, that route refuses every call), and VEXA_CHANGE_LISTENER=0 to keep this process
from following the database's edits (by default every worker runs the tile module's change
listener; one of them per database applies the edits, the others stand by).
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import secrets
from collections.abc import AsyncIterator
from pathlib import Path

from fastapi import APIRouter, Depends, FastAPI, HTTPException
from fastapi.responses import FileResponse
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from fastapi.staticfiles import StaticFiles

import database
import metrics
import search_routes
from plans import render as plan_render
from plans import routes as plan_routes
from compression import GzipTiles
from vexa.maptile_hub import listen_for_tile_changes, maptileHub

WEB = Path(__file__).resolve().parents[1] / "web"
MAPLIBRE = WEB / "node_modules" / "maplibre-gl" / "dist"
PMTILES = WEB / "node_modules" / "pmtiles" / "dist"

ADMIN_ROUTE_PREFIX = "/gis/cache/invalidate/"
bearer = HTTPBearer(auto_error=False, description="Administrator token (VEXA_ADMIN_TOKEN)")


def require_admin(credentials: HTTPAuthorizationCredentials | None = Depends(bearer)) -> None:
    """Only an administrator may clear the tile cache."""
    expected = os.environ.get("VEXA_ADMIN_TOKEN", "")
    given = credentials.credentials if credentials else ""
    if not expected or not given or not secrets.compare_digest(given.encode(), expected.encode()):
        raise HTTPException(status_code=401, detail="Administrator token required",
                            headers={"WWW-Authenticate": "Bearer"})


def mount_tiles(app: FastAPI) -> None:
    """The tile router's routes in their order, the invalidation route behind the token."""
    public, admin = APIRouter(), APIRouter()
    for route in maptileHub.routes:
        (admin if route.path.startswith(ADMIN_ROUTE_PREFIX) else public).routes.append(route)
    app.include_router(public)
    app.include_router(admin, dependencies=[Depends(require_admin)],
                       responses={401: {"description": "Administrator token required",
                                        "content": {"application/json": {"schema": {
                                            "type": "object", "properties": {"detail": {"type": "string"}},
                                            "required": ["detail"]}}}}})


@contextlib.asynccontextmanager
async def lifespan(app: FastAPI) -> AsyncIterator[None]:
    """The tile module's change listener runs for as long as the app serves; the survey plans'
    drawing processes end with it."""
    listener = None
    if os.environ.get("VEXA_CHANGE_LISTENER", "1") != "0":
        listener = asyncio.create_task(listen_for_tile_changes(database.change_connection), name="tile change listener")
    try:
        yield
    finally:
        plan_render.shutdown()
        if listener is not None:
            listener.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await listener


app = FastAPI(
    title="vexa map back end",
    description="Vector tiles of the cadastral layers, cached in Redis, and survey plans.",
    version="0.1.0",
    lifespan=lifespan,
)
app.add_middleware(GzipTiles)  # tiles and JSON gzipped for clients that accept it
metrics.install(app)
mount_tiles(app)
app.include_router(plan_routes.router)
app.include_router(search_routes.router)
app.mount("/static", StaticFiles(directory=WEB / "static"), name="static")
if MAPLIBRE.is_dir():  # installed from the npm registry by the set-up script
    app.mount("/vendor/maplibre", StaticFiles(directory=MAPLIBRE), name="maplibre")
if PMTILES.is_dir():  # the offline tile reader, from the npm registry too
    app.mount("/vendor/pmtiles", StaticFiles(directory=PMTILES), name="pmtiles")


@app.get("/", include_in_schema=False)
async def index() -> FileResponse:
    """The web map."""
    return FileResponse(WEB / "static" / "index.html")
