"""The reference host application: mounts the tile router and serves a start page.

    cd api && uvicorn main:app --port 8000

Configuration comes from the environment (and a dotenv file): DATABASE_URL for PostGIS,
REDIS_HOST / REDIS_PORT / REDIS_DB / REDIS_PASSWORD / REDIS_USERNAME for Redis, and
VEXA_ADMIN_TOKEN, the bearer token the cache invalidation route requires (without it
configured, that route refuses every call).
"""

from __future__ import annotations

import os
import secrets

from fastapi import APIRouter, Depends, FastAPI, HTTPException
from fastapi.responses import HTMLResponse
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer

from vexa.maptile_hub import LAYER_CONFIG, maptileHub

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
    app.include_router(admin, dependencies=[Depends(require_admin)])


app = FastAPI(
    title="vexa map back end",
    description="Vector tiles of the cadastral layers, cached in Redis, and survey plans.",
    version="0.1.0",
)
mount_tiles(app)


@app.get("/", response_class=HTMLResponse, include_in_schema=False)
async def index() -> str:
    """Where to point a map client."""
    layers = "".join(
        f"<li><code>/gis/{name}/{{z}}/{{x}}/{{y}}.pbf</code> (from zoom {layer['min_zoom']})</li>"
        for name, layer in LAYER_CONFIG.items()
    )
    return (
        "<!doctype html><meta charset=utf-8><title>vexa map back end</title>"
        "<h1>vexa map back end</h1><p>Mapbox Vector Tiles for a map client (MapLibre, OpenLayers, QGIS):</p>"
        f"<ul>{layers}</ul><p>API documentation: <a href=/docs>/docs</a></p>"
    )
