"""Survey plans of one parcel, drawn with matplotlib at a standard scale, as Base64 PNG."""

import logging
from collections.abc import Mapping, Sequence
from typing import Any

from pyproj import CRS, Transformer

logger: logging.Logger
SRC_CRS: CRS
DST_CRS: CRS
TRANSFORMER: Transformer

ScheduleEntry = dict[str, str]
PlotResult = tuple[str, tuple[Any, Any], int, list[ScheduleEntry]]

def project_geometry(geometry: Any) -> Any: ...
def get_recommended_scale(
    survey_width_m: float, survey_height_m: float, max_width_mm: float = 190, max_height_mm: float = 250
) -> int: ...
def add_north_arrow(ax: Any, loc: Sequence[float] = (0.85, 0.85), size: float = 0.1) -> None: ...
def add_scale_bar(ax: Any, scale: float, position: Sequence[float] = (0.5, 0.05)) -> None: ...
def draw_beacon_labels(
    ax: Any,
    beacons: Sequence[Mapping[str, Any]],
    target_geom: Any,
    centroid: Any,
    scale: float,
    fontsize: int,
    schedule: list[ScheduleEntry],
) -> None: ...
def generate_plot(
    parcel_data: Sequence[Mapping[str, Any]],
    selected_parcel_number: Any,
    road_data: Sequence[Mapping[str, Any]] | None,
    columnname: str = "parcel_number",
    bounding_box: Any = None,
    max_width_mm: float = 190,
    max_height_mm: float = 160,
) -> PlotResult: ...
