"""The XYZ tile route answered ahead of the framework: the one map clients call hundreds of times
a second, mostly for tiles the cache holds.

On the framework's way a cached tile passes its error and telemetry layers, the body limit, the
host's metrics and gzip middleware, the exception middleware, its exit stack, the router, and the
route's dependencies (three integers and a text validated, a session opened through get_db's
generator): together more than the tile module's own work on a cache hit. DirectTiles sits in
front of all of them. For a plain tile address (GET, a layer other than "all", decimal integers
the framework would read as the same numbers) it calls the tile module's handler itself with
the arguments the framework would give it (a session made only if the tile is not cached), turns
the HTTP errors it raises into the answers the app's own handlers give, and sends the answer
through the same Compressor (ETag, 304, gzip) and the same metrics as the middleware would.
Anything else, and everything while get_db is overridden or the app has its own handler for
unexpected errors, takes the framework's way: the answers are the same either way.

    app = FastAPI(...)
    DirectTiles.install(app, handler, compressor)
"""

from __future__ import annotations

import inspect
import re
import time
from collections.abc import Awaitable, Callable

from fastapi import FastAPI
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import get_route_path
from starlette.types import ASGIApp, Receive, Scope, Send

import database
from delivery import metrics
from delivery.compression import Compressor, compressible

ALL_LAYERS = "all"  # /gis/all/{z}/{x}/{y}.pbf is the module's tile of every layer, on its own route
# The framework reads a path segment as {layer_name} up to the next "/"; plain decimal digits,
# short enough for any tile address, are the integers it would read (longer or signed ones are
# left to its own route and its own answers).
TILE_PATH = re.compile(r"/gis/([^/]+)/([0-9]{1,9})/([0-9]{1,9})/([0-9]{1,9})\.pbf")


class DirectTiles:
    """ASGI: the app's middleware stack, with plain XYZ tile requests answered in front of it."""

    def __init__(self, app: FastAPI, stack: ASGIApp, handler: Callable[..., Awaitable[Response]],
                 compressor: Compressor) -> None:
        self.app, self.stack, self.handler, self.compressor = app, stack, handler, compressor

    @staticmethod
    def install(app: FastAPI, handler: Callable[..., Awaitable[Response]], compressor: Compressor) -> None:
        """Put DirectTiles in front of `app`'s middleware stack, whenever the framework builds it."""
        build = app.build_middleware_stack
        app.build_middleware_stack = lambda: DirectTiles(app, build(), handler, compressor)

    def takes(self, scope: Scope) -> re.Match[str] | None:
        if scope["type"] != "http" or scope["method"] != "GET" or self.app.dependency_overrides:
            return None
        handlers = self.app.exception_handlers
        if 500 in handlers or Exception in handlers:
            return None
        match = TILE_PATH.fullmatch(get_route_path(scope))
        return None if match is None or match[1] == ALL_LAYERS else match

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        match = self.takes(scope)
        if match is None:
            await self.stack(scope, receive, send)
            return
        started = time.perf_counter()
        layer_name, z, x, y = match.groups()
        params = scope["path_params"] = {"layer_name": layer_name, "z": z, "x": x, "y": y}
        request = Request(scope, receive)
        try:
            try:
                session = database.LazySession()
                try:
                    response = await self.handler(layer_name, int(z), int(x), int(y), request, session)
                finally:
                    await session.close()
            except HTTPException as error:
                response = await self.error_answer(request, error)
        except Exception:
            # Answered 500 by the server, as the framework's outermost layer would have it
            metrics.record(metrics.XYZ_TILE, params, 500, None, time.perf_counter() - started)
            raise
        await self.send_answer(scope, response, params, started, send)

    async def error_answer(self, request: Request, error: HTTPException) -> Response:
        """The answer the app's own handler for `error` gives, as its exception layer would pick it."""
        handlers = self.app.exception_handlers
        handler = handlers.get(error.status_code)
        if handler is None:
            handler = next((handlers[kind] for kind in type(error).__mro__ if kind in handlers), None)
        if handler is None:
            raise error
        if inspect.iscoroutinefunction(handler) or inspect.iscoroutinefunction(getattr(handler, "__call__", None)):
            return await handler(request, error)
        return await run_in_threadpool(handler, request, error)

    async def send_answer(self, scope: Scope, response: Response, params: dict[str, str], started: float,
                          send: Send) -> None:
        start = {"type": "http.response.start", "status": response.status_code, "headers": response.raw_headers}
        body = response.body
        if compressible(start):
            start, body = await self.compressor.finish(scope["headers"], start, body)
        cache = None
        for name, value in start["headers"]:
            if name == b"x-cache":
                cache = value.decode("latin-1")
        # Counted before the body goes out, as the metrics middleware counts: a client that has
        # its answer and then scrapes finds it counted.
        metrics.record(metrics.XYZ_TILE, params, start["status"], cache, time.perf_counter() - started)
        await send(start)
        await send({"type": "http.response.body", "body": body, "more_body": False})
        if response.background is not None:
            await response.background()

