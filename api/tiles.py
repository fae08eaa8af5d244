"""The tile router as this host mounts it: its routes in their order, the invalidation route behind
the administrator token, and the XYZ tile route called without the framework's dependency
machinery where it adds nothing.

The XYZ route is the one map clients call hundreds of times a second, mostly for cached tiles.
For it the framework would validate three integers and a text, make the request object, open a
session through get_db's generator and its exit stack: a tenth of a cached tile's cost. So when
nothing overrides get_db and the address is plain decimal integers, the route calls the tile
module's handler itself, with the same arguments (a session made only if the tile is not
cached); anything else takes the framework's way, so the answers are the same either way.
"""

from __future__ import annotations

import os
import re
import secrets

from fastapi import APIRouter, Depends, FastAPI, HTTPException
from fastapi.routing import APIRoute
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from starlette.requests import Request
from starlette.types import ASGIApp, Receive, Scope, Send

import database
from vexa.maptile_hub import maptileHub

ADMIN_ROUTE_PREFIX = "/gis/cache/invalidate/"
XYZ_ROUTE = "/gis/{layer_name}/{z}/{x}/{y}.pbf"
PLAIN_INTEGER = re.compile(r"-?[0-9]{1,9}")  # what the framework would read as the same integer
ERROR = {"application/json": {"schema": {"type": "object", "properties": {"detail": {"type": "string"}},
                                         "required": ["detail"]}}}

bearer = HTTPBearer(auto_error=False, description="Administrator token (VEXA_ADMIN_TOKEN)")


async def require_admin(credentials: HTTPAuthorizationCredentials | None = Depends(bearer)) -> None:
    """Only an administrator may clear the tile cache."""
    expected = os.environ.get("VEXA_ADMIN_TOKEN", "")
    given = credentials.credentials if credentials else ""
    if not expected or not given or not secrets.compare_digest(given.encode(), expected.encode()):
        raise HTTPException(status_code=401, detail="Administrator token required",
                            headers={"WWW-Authenticate": "Bearer"})


def direct_xyz(app: FastAPI, route: APIRoute) -> ASGIApp:
    """The XYZ route's ASGI app: the tile module's handler called directly, or the framework's
    own app when get_db is overridden or the address is not plain integers."""
    framework, endpoint = route.app, route.endpoint

    async def serve(scope: Scope, receive: Receive, send: Send) -> None:
        params = scope["path_params"]
        z, x, y = params["z"], params["x"], params["y"]
        if app.dependency_overrides or not (PLAIN_INTEGER.fullmatch(z) and PLAIN_INTEGER.fullmatch(x)
                                            and PLAIN_INTEGER.fullmatch(y)):
            await framework(scope, receive, send)
            return
        session = database.LazySession()
        try:
            response = await endpoint(params["layer_name"], int(z), int(x), int(y), Request(scope, receive, send),
                                      session)
        finally:
            await session.close()
        await response(scope, receive, send)

    return serve


def mount_tiles(app: FastAPI) -> None:
    """The tile router's routes in their order."""
    for route in maptileHub.routes:
        router = APIRouter()
        router.routes.append(route)
        if route.path.startswith(ADMIN_ROUTE_PREFIX):
            app.include_router(router, dependencies=[Depends(require_admin)],
                               responses={401: {"description": "Administrator token required", "content": ERROR}})
        else:
            app.include_router(router)
    for mounted in app.router.routes:
        if isinstance(mounted, APIRoute) and mounted.path == XYZ_ROUTE:
            mounted.app = direct_xyz(app, mounted)
