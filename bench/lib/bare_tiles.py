"""A bare tile endpoint: the bytes the tile cache holds for a tile URL, straight from Redis.

The floor of a cache hit through HTTP: the tile module's URLs and cache keys, and nothing of its
work (no rate limit, no checks, no query on a miss: an absent key answers 204). It reads Redis's
address as the tile module does (REDIS_HOST, REDIS_PORT, REDIS_DB), the project's by default:

    uvicorn lib.bare_tiles:app --app-dir bench
"""

from __future__ import annotations

import os

import redis.asyncio as aioredis
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from settings import LOOPBACK, REDIS_PORT  # lib (the package of this file) puts api/ on the path

CACHE_NAMESPACE = "mvt_v8"  # the tile module's cache namespace
MEDIA_TYPE = "application/vnd.mapbox-vector-tile"

# A blocking pool of the tile module's default size, as the tile module has: a plain pool of
# redis-py 8 refuses requests beyond its bound ("Too many connections") instead of waiting.
redis = aioredis.Redis(connection_pool=aioredis.BlockingConnectionPool(
    host=os.environ.get("REDIS_HOST", LOOPBACK), port=int(os.environ.get("REDIS_PORT", str(REDIS_PORT))),
    db=int(os.environ.get("REDIS_DB", "0")), max_connections=int(os.environ.get("REDIS_MAX_CONNECTIONS", "128"))))


async def cached_tile(request: Request) -> Response:
    p = request.path_params
    body = await redis.get(f"{CACHE_NAMESPACE}:{p['layer']}:{p['z']}:{p['x']}:{p['y']}")
    return Response(body, media_type=MEDIA_TYPE) if body else Response(status_code=204)


app = Starlette(routes=[Route("/gis/{layer}/{z:int}/{x:int}/{y:int}.pbf", cached_tile)])
