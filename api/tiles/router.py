"""The tile router as this host mounts it: its routes in their order, the invalidation route behind
the administrator token, and the XYZ tile route called without the framework's dependency
machinery where it adds nothing.

The XYZ route is the one map clients call hundreds of times a second, mostly for cached tiles.
For it the framework would solve the route's dependencies (validate three integers and a text,
open a session through get_db's generator and its exit stack): a tenth of a cached tile's cost.
So a plain route ahead of the framework's calls the tile module's handler itself, with the same
arguments, when nothing overrides get_db and the address is plain decimal integers (a session
is made only if the tile is not cached); anything else takes the framework's way, so the answers
are the same either way.
"""

from __future__ import annotations

import os
import secrets
from collections.abc import Awaitable, Callable

from fastapi import APIRouter, Depends, FastAPI, HTTPException
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from starlette.convertors import Convertor, register_url_convertor
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Match, Route
from starlette.types import Scope

import database
from vexa.maptile_hub import maptileHub

ADMIN_ROUTE_PREFIX = "/gis/cache/invalidate/"
XYZ_ROUTE = "/gis/{layer_name}/{z}/{x}/{y}.pbf"
ALL_LAYERS = "all"  # /gis/all/{z}/{x}/{y}.pbf is the module's tile of every layer
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


class TileInteger(Convertor[int]):
    """A path segment the framework would read as the same integer: plain decimal digits, short
    enough for any tile address (longer or signed ones are left to the framework's own route)."""

    regex = "[0-9]{1,9}"

    def convert(self, value: str) -> int:
        return int(value)

    def to_string(self, value: int) -> str:
        return str(value)


register_url_convertor("tile_integer", TileInteger())


class DirectTileRoute(Route):
    """The XYZ tile route ahead of the framework's: the tile module's handler called with the
    arguments the framework would give it (a session made only if the tile is not cached). It
    steps aside (matches nothing) when get_db is overridden, for the layer "all" (whose route is
    the module's own), and for addresses that are not plain integers; the framework's route,
    which documents the operation, then answers as it always does."""

    def __init__(self, app: FastAPI, handler: Callable[..., Awaitable[Response]]) -> None:
        super().__init__(XYZ_ROUTE.replace("{z}", "{z:tile_integer}").replace("{x}", "{x:tile_integer}")
                         .replace("{y}", "{y:tile_integer}"), self.serve, methods=["GET"], include_in_schema=False)
        self.fastapi, self.handler = app, handler

    def matches(self, scope: Scope) -> tuple[Match, Scope]:
        if self.fastapi.dependency_overrides:
            return Match.NONE, {}
        match, child_scope = super().matches(scope)
        if match is Match.NONE or child_scope["path_params"]["layer_name"] == ALL_LAYERS:
            return Match.NONE, {}
        return match, {**child_scope, "route": self}

    async def serve(self, request: Request) -> Response:
        params = request.path_params
        session = database.LazySession()
        try:
            return await self.handler(params["layer_name"], params["z"], params["x"], params["y"], request, session)
        finally:
            await session.close()


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
    handler = next(route.endpoint for route in maptileHub.routes if route.path == XYZ_ROUTE)
    app.router.routes.insert(0, DirectTileRoute(app, handler))
