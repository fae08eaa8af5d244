"""The tile module in the benchmark's own process: imported quietly on the project's servers, and
its own statement of a tile, as asyncpg takes it."""

from __future__ import annotations

import contextlib
import io
import logging
import os
import re
import sys
from types import ModuleType

from settings import project_environment

BOUND_HOLES = {"min_x": "$1", "min_y": "$2", "max_x": "$3", "max_y": "$4"}


def tile_module(redis_db: int = 0) -> ModuleType:
    """vexa.maptile_hub on the project's database and Redis database `redis_db` (the settings it
    reads when first imported; later calls return the module as it is), without the lines it
    prints on standard output then, and with httpx's INFO lines (at the module's level) silenced."""
    if "vexa.maptile_hub" not in sys.modules:
        os.environ.update(project_environment(redis_db=redis_db))
    with contextlib.redirect_stdout(io.StringIO()):
        import vexa.maptile_hub as hub
    logging.getLogger("httpx").setLevel(logging.WARNING)
    return hub


def tile_statement(layer: str, z: int, x: int, y: int) -> tuple[str, float, float, float, float]:
    """The tile module's own statement of one XYZ tile with its bounds ($1 to $4)."""
    from helpers.utils import xyz_to_bbox_web_mercator

    sql, _ = tile_module().generate_mvt_sql(layer, z)
    sql = re.sub(r":(min_x|min_y|max_x|max_y)\b", lambda m: BOUND_HOLES[m.group(1)], sql)
    bounds = xyz_to_bbox_web_mercator(z, x, y)
    return sql, bounds["minx"], bounds["miny"], bounds["maxx"], bounds["maxy"]
