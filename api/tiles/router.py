"""The tile router as this host mounts it: its routes in their order, and the invalidation route
behind the administrator token. Plain XYZ tile requests are answered ahead of the framework
(tiles/direct.py); its route here documents them and answers the rest.
"""

from __future__ import annotations

import os
import secrets
from collections.abc import Awaitable, Callable

from fastapi import APIRouter, Depends, FastAPI, HTTPException
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from starlette.responses import Response

from vexa.maptile_hub import maptileHub

ADMIN_ROUTE_PREFIX = "/gis/cache/invalidate/"
XYZ_ROUTE = "/gis/{layer_name}/{z}/{x}/{y}.pbf"
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


def mount_tiles(app: FastAPI) -> Callable[..., Awaitable[Response]]:
    """The tile router's routes in their order; gives the XYZ route's handler."""
    for route in maptileHub.routes:
        router = APIRouter()
        router.routes.append(route)
        if route.path.startswith(ADMIN_ROUTE_PREFIX):
            app.include_router(router, dependencies=[Depends(require_admin)],
                               responses={401: {"description": "Administrator token required", "content": ERROR}})
        else:
            app.include_router(router)
    return next(route.endpoint for route in maptileHub.routes if route.path == XYZ_ROUTE)
