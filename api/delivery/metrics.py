"""Prometheus metrics of the host at GET /metrics: tiles by layer, zoom band and outcome, tile
latency per layer, refusals (429 and 503) per endpoint, the Redis breaker's state, survey plans
served and drawn.

Requests are told apart by the route that answered them (the framework's matched route), never
by parsing the path. Tile outcomes are read from the answer (status and X-Cache); the survey plan
routes count their own outcomes, which only they know. Labels are bounded: a layer name the
catalogue does not know is counted as "unknown", a zoom as its band ("1-6" ... "17-20",
"invalid"), never a column or a row. Under several worker processes,
set PROMETHEUS_MULTIPROC_DIR (an empty directory) before the workers start: every worker then
writes its samples there and a scrape of any worker reports the sum over all of them.
"""

from __future__ import annotations

import functools
import os
import re
import time
from collections.abc import Iterator
from typing import Any

from fastapi import FastAPI, Response
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Histogram, generate_latest
from prometheus_client.core import GaugeMetricFamily
from prometheus_client.multiprocess import MultiProcessCollector
from prometheus_client.registry import Collector

import vexa.maptile_hub as hub

XYZ_TILE = "/gis/{layer_name}/{z}/{x}/{y}.pbf"
ALL_LAYERS_TILE = "/gis/all/{z}/{x}/{y}.pbf"
BBOX_TILE = "/gis/{layer_name}/bbox/"
ZOOM = re.compile(r"-?\d{1,3}")  # a zoom of more digits is invalid however it reads

ZOOM_BANDS = [(6, "1-6"), (10, "7-10"), (14, "11-14"), (16, "15-16"), (20, "17-20")]
BREAKER_STATES = ("closed", "open", "half_open")

REGISTRY = CollectorRegistry()
TILES = Counter("vexa_tiles", "Tile requests by layer, zoom band and outcome",
                ["layer", "zoom_band", "outcome"], registry=REGISTRY)
TILE_SECONDS = Histogram("vexa_tile_duration_seconds", "Time to answer a tile request, by layer", ["layer"],
                         buckets=(0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30), registry=REGISTRY)
REFUSALS = Counter("vexa_rate_limit_refusals", "Requests refused by the per-address rate limit (429)",
                   ["endpoint"], registry=REGISTRY)
BUSY = Counter("vexa_busy_refusals", "Requests refused for want of the worker's capacity (503 with Retry-After)",
               ["endpoint"], registry=REGISTRY)
PLANS = Counter("vexa_plans",
                "Survey plan requests by format and outcome (rendered, cached, not_modified, busy, 4xx, 5xx)",
                ["format", "outcome"], registry=REGISTRY)
PLAN_RENDERS = Counter("vexa_plan_renders", "Survey plans actually drawn (not answered from a cache), by format",
                       ["format"], registry=REGISTRY)


@functools.lru_cache(maxsize=256)
def zoom_band(z: str | int) -> str:
    z = str(z)  # the path's text, or the integer a route made of it
    if not ZOOM.fullmatch(z) or int(z) < 1:
        return "invalid"
    return next((band for top, band in ZOOM_BANDS if int(z) <= top), "invalid")


def layer_label(name: str) -> str:
    return name if name in hub.LAYER_CONFIG else "unknown"


def tile_outcome(status: int, cache: str | None) -> str:
    if status == 200:
        return "hit" if cache == "HIT" else "miss"
    if status == 304:
        return "not_modified"
    if status == 204:
        return "empty"
    if status == 408:
        return "408"
    return "5xx" if status >= 500 else "4xx"


class RedisBreaker(Collector):
    """The tile module's Redis breaker state, read at each scrape, once the module has a breaker."""

    def collect(self) -> Iterator[GaugeMetricFamily]:
        state_of = getattr(hub, "redis_breaker_state", None)
        if state_of is None:
            return
        try:
            state = state_of()
        except Exception:  # a scrape reports what it can
            return
        family = GaugeMetricFamily("vexa_redis_breaker_state", "Redis circuit breaker: 1 for its current state",
                                   labels=["state"])
        for name in BREAKER_STATES:
            family.add_metric([name], 1.0 if state == name else 0.0)
        yield family


REGISTRY.register(RedisBreaker())


# The tile metrics' children by their labels (a bounded set: see above), so that counting a tile
# does not look them up by their labels each time.
_tile_series: dict[tuple[str, str, str], tuple[Any, Any]] = {}


def count_tile(layer: str, band: str, outcome: str, seconds: float) -> None:
    series = _tile_series.get((layer, band, outcome))
    if series is None:
        series = _tile_series[layer, band, outcome] = TILES.labels(layer, band, outcome), TILE_SECONDS.labels(layer)
    series[0].inc()
    series[1].observe(seconds)


def record(route: str | None, params: dict[str, str], status: int, cache: str | None, seconds: float) -> None:
    """Count one answered request of the route `route` (a path template), if it is a tile's."""
    if route == XYZ_TILE or route == ALL_LAYERS_TILE:
        layer = "all" if route == ALL_LAYERS_TILE else layer_label(params.get("layer_name", ""))
        count_tile(layer, zoom_band(params.get("z", "")), tile_outcome(status, cache), seconds)
        endpoint = "xyz"
    elif route == BBOX_TILE:
        count_tile(layer_label(params.get("layer_name", "")), "bbox", tile_outcome(status, cache), seconds)
        endpoint = "bbox"
    elif route is not None:
        endpoint = route
    else:
        return
    if status == 429:
        REFUSALS.labels(endpoint).inc()
    elif status == 503 and route is not None:
        BUSY.labels(endpoint).inc()


class MetricsMiddleware:
    """Pure ASGI: notes the status and X-Cache header of each answer, and its time."""

    def __init__(self, app: Any) -> None:
        self.app = app

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        answer: dict[str, Any] = {"status": 500, "cache": None, "recorded": False}

        def count() -> None:
            if not answer["recorded"]:
                answer["recorded"] = True
                route = scope.get("route")  # set by the framework once it has matched one
                record(getattr(route, "path_format", None), scope.get("path_params", {}), answer["status"], answer["cache"],
                       time.perf_counter() - started)

        async def noting_send(message: dict) -> None:
            if message["type"] == "http.response.start":
                answer["status"] = message["status"]
                for name, value in message.get("headers", ()):
                    if name.lower() == b"x-cache":
                        answer["cache"] = value.decode("latin-1")
            elif message["type"] == "http.response.body" and not message.get("more_body", False):
                # Counted before the last of the body goes out: a client that has its answer and
                # then scrapes (any worker) finds the answer counted.
                count()
            await send(message)

        try:
            await self.app(scope, receive, noting_send)
        finally:
            count()


def exposition() -> bytes:
    if os.environ.get("PROMETHEUS_MULTIPROC_DIR"):
        registry = CollectorRegistry()
        MultiProcessCollector(registry)
        registry.register(RedisBreaker())
        return generate_latest(registry)
    return generate_latest(REGISTRY)


def install(app: FastAPI) -> None:
    """The middleware and the GET /metrics route."""
    app.add_middleware(MetricsMiddleware)

    @app.get("/metrics", include_in_schema=False)
    async def metrics() -> Response:
        return Response(exposition(), media_type=CONTENT_TYPE_LATEST)
