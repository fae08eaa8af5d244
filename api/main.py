"""The reference host application: mounts the tile router and serves a start page.

    cd api && uvicorn main:app --port 8000

Configuration comes from the environment (and a dotenv file): DATABASE_URL for PostGIS,
REDIS_HOST / REDIS_PORT / REDIS_DB / REDIS_PASSWORD / REDIS_USERNAME for Redis.
"""

from __future__ import annotations

from fastapi import FastAPI
from fastapi.responses import HTMLResponse

from vexa.maptile_hub import LAYER_CONFIG, maptileHub

app = FastAPI(
    title="vexa map back end",
    description="Vector tiles of the cadastral layers, cached in Redis, and survey plans.",
    version="0.1.0",
)
app.include_router(maptileHub)


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
