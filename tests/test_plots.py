"""The survey plan renderer: start-up, scale, north arrow, scale bar, beacons, roads, the plan."""

from __future__ import annotations

import base64
import gc
import io
import math
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import services
from PIL import Image
from recording import RecordingAxes, RecordingPyplot
from shapely.geometry import GeometryCollection, LineString, MultiLineString, Point, Polygon, box, mapping

pytestmark = pytest.mark.filterwarnings("ignore:The 'shapely.ops.transform:DeprecationWarning")


@pytest.fixture(scope="session")
def plots():
    import vexa.plots as plots

    return plots


@pytest.fixture
def flat(plots, monkeypatch):
    """Geometries taken as plan metres as they are: projection replaced by the identity."""
    monkeypatch.setattr(plots, "project_geometry", lambda geometry: geometry)
    return plots


# --- start-up and projection --------------------------------------------------------------


def test_import_sets_up_matplotlib_logger_and_transformer():
    script = textwrap.dedent(
        """
        import logging
        logging.basicConfig(level=logging.INFO, format="%(name)s|%(message)s")
        import vexa.plots as plots
        import matplotlib
        print(matplotlib.get_backend(), matplotlib.rcParams["font.family"], matplotlib.rcParams["font.serif"][:4])
        print(plots.SRC_CRS.to_epsg(), plots.DST_CRS.to_epsg(), plots.logger.name)
        print(sorted(n for n in ("io", "base64", "math", "np", "mpl", "plt", "patches", "Polygon", "LineString",
                                 "shape", "transform", "Transformer", "CRS", "get_logger") if hasattr(plots, n)) == sorted(
              ("io", "base64", "math", "np", "mpl", "plt", "patches", "Polygon", "LineString", "shape", "transform",
               "Transformer", "CRS", "get_logger")))
        """
    )
    result = subprocess.run([sys.executable, "-c", script], cwd=services.ROOT / "api", capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "Agg ['serif'] ['DejaVu Serif', 'Liberation Serif', 'Times New Roman', 'serif']",
        "3857 26332 vexa",
        "True",
    ]
    assert "vexa|Loaded plots.py module" in result.stderr


def test_project_geometry(plots, monkeypatch):
    point = plots.project_geometry(Point(0, 0))
    assert (point.x, point.y) == plots.TRANSFORMER.transform(0, 0)
    outer = [(829000, 1000000), (829100, 1000000), (829100, 1000100), (829000, 1000100)]
    hole = [(829040, 1000040), (829060, 1000040), (829060, 1000060)]
    polygon = Polygon(outer, [hole])
    projected = plots.project_geometry(polygon)
    assert projected.geom_type == "Polygon" and len(projected.interiors) == 1
    assert projected.interiors[0].coords[0] == pytest.approx(plots.TRANSFORMER.transform(*hole[0]))
    assert polygon.exterior.coords[0] == outer[0]  # the input is left alone
    with pytest.raises(Exception):
        plots.project_geometry("not a geometry")
    shift = type("Shift", (), {"transform": staticmethod(lambda x, y: (np.add(x, 1), np.add(y, 2)))})()
    monkeypatch.setattr(plots, "TRANSFORMER", shift)  # read when called
    assert plots.project_geometry(Point(10, 20)).coords[0] == (11, 22)


# --- scale ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((0, 50), 1000), ((5, -1), 1000), ((100, 100), 1000), ((1, 1), 250), ((10, 245), 1000),
        ((186.2, 10), 1500), ((300, 200, 190, 160), 2000), ((4655, 10), 25000), ((4655.1, 10), 26000),
        ((5000, 10), 27000), ((6000, 1), 33000), ((np.float64(100.0), 100), 1000), ((10**6, 1), 5_371_000),
    ],
)
def test_recommended_scale(plots, args, expected):
    result = plots.get_recommended_scale(*args)
    assert result == expected and type(result) is int


def test_recommended_scale_bad_input(plots):
    with pytest.raises(TypeError):
        plots.get_recommended_scale("wide", 10)
    with pytest.raises(ZeroDivisionError):
        plots.get_recommended_scale(10, 10, 0, 250)
    with pytest.raises(ValueError):
        plots.get_recommended_scale(math.nan, 10)
    with pytest.raises(OverflowError):
        plots.get_recommended_scale(math.inf, 10)


# --- north arrow and scale bar ----------------------------------------------------------------


def test_north_arrow(plots):
    ax = RecordingAxes()
    plots.add_north_arrow(ax)
    text, arrow = ax.calls
    assert text.name == "text" and text.args == (0.85, pytest.approx(0.96), "N")
    assert text.kwargs == {"transform": ax.transAxes, "ha": "center", "va": "bottom", "fontsize": 12,
                           "fontweight": "bold", "zorder": 10}
    assert arrow.name == "annotate" and arrow.args == ("",)
    assert arrow.kwargs == {"xy": (0.85, pytest.approx(0.95)), "xytext": (0.85, 0.85), "xycoords": "axes fraction",
                            "zorder": 10, "arrowprops": {"facecolor": "black", "width": 3, "headwidth": 10,
                                                         "headlength": 12}}
    ax = RecordingAxes()
    plots.add_north_arrow(ax, loc=[0.1, 0.2], size=0.05)
    assert ax.calls[0].args[:2] == (0.1, pytest.approx(0.26))
    assert ax.calls[1].kwargs["xy"] == (0.1, pytest.approx(0.25)) and ax.calls[1].kwargs["xytext"] == (0.1, 0.2)


@pytest.mark.parametrize(
    ("scale", "step"),
    [(250, 2), (500, 5), (1000, 10), (1500, 20), (2000, 25), (2500, 25), (5000, 50), (7500, 100), (10000, 100),
     (20000, 200), (25000, 300), (3000, 25), (1200, 10), (30000, 400), (100000, 1200)],
)
def test_scale_bar_steps(plots, scale, step):
    ax = RecordingAxes((0, 1000), (0, 500))
    plots.add_scale_bar(ax, scale)
    labels = [c.args[2] for c in ax.named("text")]
    assert labels == [str(2 * step), str(step), "0", str(step), str(2 * step), "m"]
    outline = ax.named("add_patch")[0].args[0]
    assert outline.get_width() == 4 * step


def test_scale_bar_placement(plots):
    ax = RecordingAxes((0, 1000), (0, 500))
    plots.add_scale_bar(ax, 1000, position=(0.1, 0.9))  # the position changes nothing
    patches = [c.args[0] for c in ax.named("add_patch")]
    outline, black = patches[0], patches[1:]
    assert outline.get_xy() == pytest.approx((910, 10)) and outline.get_width() == 40
    assert outline.get_height() == pytest.approx(7.5)
    assert outline.get_facecolor()[:3] == (1, 1, 1) and outline.get_zorder() == 10
    assert [p.get_x() for p in black] == pytest.approx([910, 930])
    assert all(p.get_width() == 10 and p.get_zorder() == 11 and p.get_linewidth() == 0 for p in black)
    lines = ax.named("plot")
    divisions, ticks = lines[:4], lines[4:]
    assert [c.args[0][0] for c in divisions] == pytest.approx([920, 930, 940, 950])
    assert [c.args[0][0] for c in ticks] == pytest.approx([910, 920, 930, 940, 950])
    assert all(c.args[1] == pytest.approx([17.5, 21.25]) for c in ticks)
    assert all(c.kwargs == {"color": "black", "linewidth": 1, "zorder": 12} for c in lines)
    texts = ax.named("text")
    assert all(c.args[1] == pytest.approx(22.0) for c in texts)
    assert texts[-1].args[:3] == (pytest.approx(960), pytest.approx(22.0), "m")
    assert texts[-1].kwargs == {"ha": "left", "va": "bottom", "fontsize": 9, "fontweight": "bold", "zorder": 13}
    assert texts[0].kwargs == {"ha": "center", "va": "bottom", "fontsize": 9, "fontweight": "bold", "zorder": 13}


# --- beacons --------------------------------------------------------------------------------


def beacon(x, y, name, deg=None, minutes=None, distance=None):
    record = {"geometry": {"type": "Point", "coordinates": (x, y)}, "beacon_name": name}
    if deg is not None:
        record["bearing_deg_to_next"] = deg
    if minutes is not None:
        record["bearing_min_to_next"] = minutes
    if distance is not None:
        record["distance_to_next"] = distance
    return record


def run_pass(plots, beacons, polygon, scale=1000, fontsize=10):
    ax, schedule = RecordingAxes(), []
    plots.draw_beacon_labels(ax, beacons, polygon, polygon.centroid, scale, fontsize, schedule)
    return ax, schedule


def test_square_parcel_labels_and_edges(flat):
    square = Polygon([(0, 0), (40, 0), (40, 40), (0, 40)])
    beacons = [beacon(0, 0, "A", "90°", "00'", 40), beacon(40, 0, "B", "0°", "00'", 40),
               beacon(40, 40, "C", "270°", "00'", 40), beacon(0, 40, "D", "180°", "00'", 40.004)]
    ax, schedule = run_pass(flat, beacons, square)
    assert schedule == []
    markers = ax.named("plot")
    assert [(c.args, c.kwargs) for c in markers] == [
        ((x, y), {"marker": "o", "color": "black", "markersize": 3, "zorder": 6})
        for x, y in [(0, 0), (40, 0), (40, 40), (0, 40)]]
    texts = ax.named("text")
    assert [c.args[2] for c in texts] == ["A", "90°", "00'", "40.00m", "B", "0°", "00'", "40.00m",
                                          "C", "270°", "00'", "40.00m", "D", "180°", "00'", "40.00m"]
    name_a, deg_ab, min_ab, dist_ab = texts[:4]
    d = 9 / math.sqrt(2)  # 9 mm at 1:1000, along the corner's bisector, outside the parcel
    assert name_a.args[:2] == (pytest.approx(-d), pytest.approx(-d))
    assert name_a.kwargs == {"fontsize": 10, "ha": "center", "va": "center", "rotation": pytest.approx(45),
                             "rotation_mode": "anchor", "zorder": 7}
    assert deg_ab.args[:2] == (pytest.approx(10), pytest.approx(-2)) and min_ab.args[:2] == (pytest.approx(30), pytest.approx(-2))
    assert dist_ab.args[:2] == (pytest.approx(20), pytest.approx(2))
    assert dist_ab.kwargs == {"fontsize": 9, "ha": "center", "va": "center", "rotation": pytest.approx(0),
                              "rotation_mode": "anchor", "fontweight": "bold", "zorder": 7}
    assert deg_ab.kwargs == {"fontsize": 9, "ha": "center", "va": "center", "rotation": pytest.approx(0),
                             "rotation_mode": "anchor", "zorder": 7}
    # B -> C runs north: rotation 90, not turned.
    assert texts[5].kwargs["rotation"] == pytest.approx(90) and texts[5].args[:2] == (pytest.approx(42), pytest.approx(10))
    # C -> D runs west: turned to 0, so the degrees go to the far quarter point.
    deg_cd, min_cd, dist_cd = texts[9:12]
    assert deg_cd.kwargs["rotation"] % 360 == pytest.approx(0)  # 180 turned by 180: the same as 0
    assert deg_cd.args[:2] == (pytest.approx(10), pytest.approx(42)) and min_cd.args[:2] == (pytest.approx(30), pytest.approx(42))
    assert dist_cd.args[:2] == (pytest.approx(20), pytest.approx(38))
    # D -> A runs south: -90 stays.
    assert texts[13].kwargs["rotation"] == pytest.approx(-90)


def test_short_edges_go_to_the_schedule(flat):
    polygon = Polygon([(0, 0), (15, 0), (15.01, 40), (0, 40)])
    beacons = [beacon(0, 0, "A", "90°", "00'", 15.0), beacon(15, 0, "B", "0°", "01'"),
               beacon(15.01, 40, "C", distance=15.01), beacon(0, 40, "D", "180°", "00'", 40.0)]
    # C -> D is 15.01 m: annotated. A -> B is exactly 15 m at 1:1000: scheduled.
    ax, schedule = run_pass(flat, beacons, polygon)
    assert schedule == [{"from": "A", "to": "B", "bearing": "90° 00'", "distance": "15.00"}]
    assert list(schedule[0]) == ["from", "to", "bearing", "distance"]
    texts = ax.texts()
    assert "15.00m" not in texts and texts.count("15.01m") == 1
    assert texts[texts.index("C") + 1: texts.index("C") + 4] == ["", "", "15.01m"]
    assert texts[texts.index("B") + 3] == "0.00m"  # missing distance
    polygon = Polygon([(0, 0), (10, 0), (10, 40), (0, 40)])
    _, schedule = run_pass(flat, [beacon(0, 0, "A"), beacon(10, 0, "B", "1°"), beacon(10, 40, "C"), beacon(0, 40, "D")],
                           polygon)
    assert schedule == [{"from": "A", "to": "B", "bearing": " ", "distance": "0.00"},
                        {"from": "C", "to": "D", "bearing": " ", "distance": "0.00"}]


def test_degenerate_beacons(flat):
    polygon = Polygon([(0, 0), (40, 0), (20, 30)])
    ax, schedule = run_pass(flat, [beacon(5, 5, "A")], polygon)
    assert [c.name for c in ax.calls] == ["plot"] and schedule == []
    ax, schedule = run_pass(flat, [beacon(0, 0, "A", distance=1), beacon(0, 0, "B"), beacon(40, 0, "C"),
                                   beacon(20, 30, "D")], polygon)
    assert len(ax.named("plot")) == 4
    # A and B are one corner: named once, by B, whose edge to C keeps its texts.
    assert "A" not in ax.texts() and ax.texts().count("B") == 1 and schedule == []
    collinear = Polygon([(0, 0), (20, 0), (40, 0), (20, 30)])
    ax, _ = run_pass(flat, [beacon(0, 0, "A"), beacon(20, 0, "B"), beacon(40, 0, "C"), beacon(20, 30, "D")], collinear)
    name_b = ax.named("text")[[c.args[2] for c in ax.named("text")].index("B")]
    assert name_b.args[:2] == (pytest.approx(20), pytest.approx(-9))  # left normal was inside: reversed
    assert name_b.kwargs["rotation"] == pytest.approx(-90)


def test_a_beacon_recorded_twice_keeps_every_real_edge(flat):
    square = Polygon([(0, 0), (40, 0), (40, 40), (0, 40)])
    once = [beacon(0, 0, "A", "90°", "00'", 40), beacon(40, 0, "B", "0°", "00'", 40),
            beacon(40, 40, "C", "270°", "00'", 40), beacon(0, 40, "D", "180°", "00'", 40)]
    plain, _ = run_pass(flat, once, square)
    texts = [(c.args, c.kwargs) for c in plain.named("text")]
    # B recorded again with its edge to C; the boundary closed by repeating A at its end.
    doubled = once[:1] + [beacon(40, 0, "B", "0°", "00'", 0)] + once[1:] + [beacon(0, 0, "A")]
    ax, schedule = run_pass(flat, doubled, square)
    assert len(ax.named("plot")) == 6 and schedule == []
    assert [(c.args, c.kwargs) for c in ax.named("text")] == texts  # every name once, every edge once
    # A short edge leaving a doubled beacon goes to the schedule, once.
    near = Polygon([(0, 0), (40, 0), (40, 10), (0, 40)])
    ax, schedule = run_pass(flat, [beacon(0, 0, "A"), beacon(40, 0, "B"), beacon(40, 0, "B", "0°", "00'", 10),
                                   beacon(40, 10, "C"), beacon(0, 40, "D")], near)
    assert schedule == [{"from": "B", "to": "C", "bearing": "0° 00'", "distance": "10.00"}]
    assert ax.texts().count("B") == 1


def test_label_distance_grows_with_the_name(flat):
    square = Polygon([(0, 0), (40, 0), (40, 40), (0, 40)])
    ax, _ = run_pass(flat, [beacon(0, 0, "AB"), beacon(40, 0, "ABCDEFGHIJ"), beacon(40, 40, "C"), beacon(0, 40, "D")],
                     square, scale=500)
    texts = {c.args[2]: c.args[:2] for c in ax.named("text")}
    assert math.dist(texts["AB"], (0, 0)) == pytest.approx(4.5)
    assert math.dist(texts["ABCDEFGHIJ"], (40, 0)) == pytest.approx(9.0)


def test_two_beacons_annotate_the_segment_from_each_end(flat):
    triangle = Polygon([(0, 0), (40, 0), (20, 30)])
    ax, _ = run_pass(flat, [beacon(0, 0, "A", "90°", "00'", 40.0), beacon(40, 0, "B", "270°", "00'", 39.99)], triangle)
    assert [t for t in ax.texts() if t.endswith("m")] == ["40.00m", "39.99m"]


def test_bad_beacon_records_raise(flat):
    square = Polygon([(0, 0), (40, 0), (40, 40), (0, 40)])
    with pytest.raises(KeyError):
        run_pass(flat, [{"beacon_name": "A"}], square)
    with pytest.raises(TypeError):
        run_pass(flat, [beacon(0, 0, 7), beacon(40, 0, "B"), beacon(40, 40, "C")], square)
    with pytest.raises(ValueError):
        run_pass(flat, [beacon(0, 0, "A", distance="far"), beacon(40, 0, "B"), beacon(40, 40, "C")], square)


# --- the plan, drawn on a recording pyplot ---------------------------------------------------


def square_parcel(number="P1", **extra):
    record = {"parcel_number": number, "geometry": mapping(box(0, 0, 40, 40)), "name": "Plot 1", "area": 523.4}
    record.update(extra)
    return record


class NestedRoad:
    """A road whose clip comes out as collections nested in collections."""

    geom_type = "GeometryCollection"

    def intersection(self, viewport):
        inner = GeometryCollection([LineString([(0, 50), (10, 50)]), Point(1, 1)])
        return GeometryCollection([GeometryCollection([inner, Polygon([(50, 50), (55, 50), (55, 55)])]), Point(2, 2)])


@pytest.fixture
def recorded(flat, monkeypatch):
    pyplot = RecordingPyplot()
    monkeypatch.setattr(flat, "plt", pyplot)
    real_shape = flat.shape
    monkeypatch.setattr(flat, "shape", lambda g: g if not isinstance(g, dict) else real_shape(g))
    return flat, pyplot


def test_plan_calls_in_order_with_their_styles(recorded, capsys):
    plots, pyplot = recorded
    holed = Polygon([(-25, 45), (-5, 45), (-5, 58), (-25, 58)], [[(-20, 50), (-10, 50), (-10, 55)]])
    roads = [
        {"geometry": mapping(LineString([(-100, -10), (100, -10)]))},
        {"geometry": mapping(LineString([(-20, -15), (-20, -100), (60, -100), (60, -15)]))},
        {"geometry": mapping(holed)},
        {"geometry": mapping(Point(-1000, -1000))},  # outside: skipped
        {"geometry": NestedRoad()},
    ]
    neighbours = [{"parcel_number": "P2", "geometry": mapping(box(40, 0, 80, 40))},
                  {"parcel_number": "P3", "geometry": mapping(box(5000, 0, 5040, 40))}]
    beacons = [beacon(0, 0, "A", "90°", "00'", 40), beacon(40, 0, "B", "0°", "00'", 40),
               beacon(40, 40, "C", "270°", "00'", 40), beacon(0, 40, "D", "180°", "00'", 40)]
    result = plots.generate_plot([neighbours[0], square_parcel(boundary=beacons), neighbours[1]], "P1", roads)
    assert capsys.readouterr().out == "500\n"
    assert result == (base64.b64encode(b"\x89PNG recorded").decode(), (190, 160), 500, [])
    (fig,) = pyplot.figures
    assert pyplot.closed == [fig]
    assert fig.kwargs == {"figsize": (pytest.approx(190 / 25.4), pytest.approx(160 / 25.4)), "dpi": 300}
    assert list(fig.rect) == [0, 0, 1, 1]
    assert pyplot.saved == [{"format": "png", "dpi": 300, "transparent": False}]
    calls = fig.axes.calls
    assert [(c.name, c.args) for c in calls[:4]] == [
        ("set_aspect", ("equal",)), ("set_xlim", ((-27.5, 67.5),)), ("set_ylim", ((-20.0, 60.0),)), ("axis", ("off",))]
    band = {"color": "gray", "linewidth": 3, "alpha": 0.3, "zorder": 1}
    fill = {"color": "#e6e6e6", "linewidth": 0, "zorder": 1}
    outline = {"color": "#999999", "linewidth": 0.5, "zorder": 2}
    road_calls = calls[4:12]
    assert [(c.name, c.kwargs) for c in road_calls] == [
        ("plot", band), ("plot", band), ("plot", band), ("fill", fill), ("plot", outline),  # line, two parts, holed area
        ("plot", band), ("fill", fill), ("plot", outline)]  # the nested collection: its line and its polygon
    assert list(road_calls[0].args[0]) == [-27.5, 67.5]
    assert len(road_calls[3].args[0]) == 5  # the outer ring only: the hole is neither cut nor outlined
    neighbour, parcel = calls[12], calls[13]
    assert neighbour.name == "fill" and neighbour.kwargs == {"color": "#f5f5f5", "edgecolor": "#888888",
                                                             "linewidth": 0.5, "zorder": 3}
    assert parcel.name == "fill" and parcel.kwargs == {"color": (1, 0.9, 0.9, 1), "edgecolor": "red",
                                                       "linewidth": 1.5, "zorder": 5}
    assert min(parcel.args[0]) == 0 and max(parcel.args[0]) == 40
    texts = [c for c in calls if c.name == "text"]
    name, area = [t for t in texts if t.args[2] in ("Plot 1", "523.4 m\u00b2")]
    assert name.args[:2] == (20, pytest.approx(21.0))
    assert name.kwargs == {"fontsize": 12, "fontweight": "bold", "ha": "center", "va": "bottom", "zorder": 8}
    assert area.args[:2] == (20, pytest.approx(19.25))
    assert area.kwargs == {"fontsize": 8, "ha": "center", "va": "top", "zorder": 8}
    tail = [c.name for c in calls[calls.index(area) + 1:]]
    assert tail[:2] == ["text", "annotate"] and tail[2] == "add_patch" and tail[-1] == "text"  # arrow, then bar


def test_plan_reaches_the_module_names_bound_when_it_runs(recorded, monkeypatch):
    plots, pyplot = recorded
    seen = []
    log = type("Log", (), {"info": lambda self, message: seen.append(("log", message))})()
    monkeypatch.setattr(plots, "logger", log)
    monkeypatch.setattr(plots, "get_recommended_scale", lambda *args: seen.append(("scale", *args)) or 2000)
    monkeypatch.setattr(plots, "draw_beacon_labels", lambda ax, beacons, target, centroid, scale, fontsize, schedule:
                        seen.append(("beacons", beacons, scale, fontsize)))
    monkeypatch.setattr(plots, "add_north_arrow", lambda ax: seen.append(("arrow", ax)))
    monkeypatch.setattr(plots, "add_scale_bar", lambda ax, scale: seen.append(("bar", ax, scale)))
    boundary = [beacon(0, 0, "A")]
    assert plots.generate_plot([square_parcel(boundary=boundary)], "P1", [])[2] == 2000
    ax = pyplot.figures[-1].axes
    assert seen == [("log", "Generating plot for parcel_number=P1"), ("scale", 70, 70, 190, 160),
                    ("beacons", boundary, 2000, 9), ("arrow", ax), ("bar", ax, 2000)]
    assert ax.xlim == (-170, 210)  # 380 m of ground at 1:2000


def test_lopsided_parcel_stays_on_its_plan(recorded, capsys):
    plots, pyplot = recorded
    # A right triangle: its centroid sits a third of the way in, so a view of the size that fits
    # its bounds (186 m at 1:1000), centred there, would leave the east corner 9 m outside.
    triangle = {"parcel_number": "T", "geometry": mapping(Polygon([(0, 0), (156, 0), (0, 100)])), "name": "T"}
    _, _, scale, _ = plots.generate_plot([triangle], "T", [])
    assert scale == 1500 and capsys.readouterr().out == "1500\n"
    calls = pyplot.figures[-1].axes.calls
    (xlim,), (ylim,) = calls[1].args, calls[2].args
    assert sum(xlim) / 2 == pytest.approx(52) and sum(ylim) / 2 == pytest.approx(100 / 3)  # centred on the centroid
    assert xlim[1] - xlim[0] == pytest.approx(285) and ylim[1] - ylim[0] == pytest.approx(240)  # 1:1500
    assert xlim[0] <= -15 and xlim[1] >= 156 + 15 and ylim[0] <= -15 and ylim[1] >= 100 + 15
    bar = pyplot.figures[-1].axes.named("add_patch")[0].args[0]
    assert bar.get_width() == 80  # the scale bar of 1:1500
    # Where the centred view already holds the parcel with its margin, it stays as it was.
    mild = dict(triangle, geometry=mapping(Polygon([(0, 0), (100, 0), (0, 60)])))
    assert plots.generate_plot([mild], "T", [])[2] == 1000


def test_plan_records_and_arguments(recorded):
    plots, pyplot = recorded
    with pytest.raises(ValueError, match=r"^Parcel with parcel_number=7 not found\.$"):
        plots.generate_plot([square_parcel("7")], 7, None)
    assert pyplot.figures == []  # nothing drawn
    with pytest.raises(ValueError, match=r"^Parcel with plot=P9 not found\.$"):
        plots.generate_plot([{"plot": "P1", "geometry": mapping(box(0, 0, 1, 1))}], "P9", [], columnname="plot")
    first, second = square_parcel(), square_parcel(area=1, name="Second")
    second["geometry"] = mapping(box(100, 100, 110, 110))
    image, paper, scale, schedule = plots.generate_plot([first, second], "P1", [], "parcel_number", None, 190.0, 160.0)
    fills = pyplot.figures[-1].axes.named("fill")
    assert len(fills) == 1  # the second "P1" is neither the parcel nor a neighbour
    assert paper == (190.0, 160.0) and scale == 500 and schedule == []
    no_area = {k: v for k, v in square_parcel().items() if k != "area"}
    plots.generate_plot([no_area], "P1", None)
    assert "0 m\u00b2" in pyplot.figures[-1].axes.texts()
    with pytest.raises(TypeError):
        plots.generate_plot([square_parcel()], "P1")
    with pytest.raises(TypeError):
        plots.generate_plot([square_parcel()], "P1", [], colour="red")
    with pytest.raises(KeyError):
        plots.generate_plot([{"parcel_number": "P1", "geometry": mapping(box(0, 0, 1, 1))}], "P1", [])  # no name


def test_figure_is_closed_when_drawing_fails(recorded):
    plots, pyplot = recorded
    bad = square_parcel(boundary=[beacon(0, 0, "A", distance="far"), beacon(40, 0, "B"), beacon(40, 40, "C")])
    with pytest.raises(ValueError):
        plots.generate_plot([bad], "P1", [])
    assert pyplot.closed == pyplot.figures and len(pyplot.figures) == 1
    pyplot.fail_in_savefig = True
    with pytest.raises(OSError, match="disk full"):
        plots.generate_plot([square_parcel()], "P1", [])
    assert pyplot.closed == pyplot.figures and len(pyplot.figures) == 2


# --- real images ----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def sample():
    from plans import records as survey_plans

    return survey_plans.sample_records()


def decode_png(image64: str) -> Image.Image:
    data = base64.b64decode(image64, validate=True)
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return Image.open(io.BytesIO(data))


def test_real_plan_image(plots, sample):
    import matplotlib.pyplot as plt

    parcels, selected, roads = sample
    image64, paper, scale, schedule = plots.generate_plot(parcels, selected, roads)
    assert "\n" not in image64 and paper == (190, 160) and scale == 500
    assert schedule == [{"from": "PB 4713", "to": "PB 4714", "bearing": "333\u00b0 26'", "distance": "1.57"}]
    fig = plt.figure(figsize=(190 / 25.4, 160 / 25.4), dpi=300)
    expected_size = fig.canvas.get_width_height()
    plt.close(fig)
    image = decode_png(image64)
    assert image.size == expected_size == (2244, 1889)
    pixels = np.asarray(image.convert("RGBA"))
    assert (pixels[..., 3] == 255).all()  # opaque
    rgb = pixels[..., :3].astype(int)
    w, h = image.size
    # The parcel lies at the centre: its pale fill and its red outline are there.
    centre = rgb[int(h * 0.42):int(h * 0.58), int(w * 0.35):int(w * 0.65)]
    pale = (np.abs(centre - [255, 230, 230]) <= 3).all(axis=-1)
    assert pale.mean() > 0.5
    red = (rgb[..., 0] > 200) & (rgb[..., 1] < 60) & (rgb[..., 2] < 60)
    ys, xs = np.nonzero(red)
    assert red.sum() > 2000 and 0.2 * w < xs.mean() < 0.8 * w and 0.2 * h < ys.mean() < 0.8 * h
    black = (rgb < 40).all(axis=-1)
    assert black[int(h * 0.03):int(h * 0.16), int(w * 0.83):int(w * 0.87)].mean() > 0.1  # north arrow
    assert black[int(h * 0.95):, int(w * 0.72):int(w * 0.96)].mean() > 0.1  # scale bar
    assert black[int(h * 0.9):, : int(w * 0.5)].mean() < 0.01  # nothing of the bar on the left


def test_dollar_signs_in_record_texts_are_drawn_as_they_stand(plots, monkeypatch):
    """matplotlib reads a text holding "$...$" as math and fails on math it cannot parse: the
    texts a plan takes from its records are drawn literally, and only those holding "$" change."""
    x0, y0 = 829000, 1000000
    plain = "".join(["PB", " 4713"])  # a text of its own, not an interned one
    beacons = [beacon(x0, y0, "B$\\frac$", "$x^$", "00'", 40), beacon(x0 + 40, y0, plain, "90°", "1$", 40),
               beacon(x0 + 40, y0 + 40, "C", "0°", "00'", 40), beacon(x0, y0 + 40, "D", "270°", "00'", 40)]
    record = {"parcel_number": "P1", "geometry": mapping(box(x0, y0, x0 + 40, y0 + 40)), "name": "Plot $x^$",
              "area": "$12$", "boundary": beacons}
    image64, _, scale, _ = plots.generate_plot([record], "P1", [])  # real matplotlib: it draws
    assert decode_png(image64).size == (2244, 1889) and scale == 500
    pyplot = RecordingPyplot()
    monkeypatch.setattr(plots, "plt", pyplot)
    plots.generate_plot([record], "P1", [])
    texts = pyplot.figures[0].axes.named("text")
    drawn = [c.args[2] for c in texts]
    assert drawn[:8] == ["B\\$\\frac\\$", "\\$x^\\$", "00'", "40.00m", plain, "90°", "1\\$", "40.00m"]
    assert "Plot \\$x^\\$" in drawn and "\\$12\\$ m\u00b2" in drawn
    assert texts[4].args[2] is plain  # a name without "$" is passed on as it is


def test_bounding_box_changes_nothing(plots, sample):
    parcels, selected, roads = sample
    assert plots.generate_plot(parcels, selected, roads)[0] == plots.generate_plot(
        parcels, selected, roads, "parcel_number", (0, 0, 1, 1))[0]


def test_far_records_read_in_one_batch_draw_the_same_plan(plots, sample, monkeypatch):
    """Neighbours and roads far from the view are judged from their coordinates alone; the
    plan is the one drawn when every record is built and projected as a geometry."""
    parcels, selected, roads = sample
    far = [  # well formed but far away, and odd ones that must go the ordinary way
        {"parcel_number": "far", "geometry": {"type": "Polygon", "coordinates": [[(8.3e5, 1.1e6), (8.31e5, 1.1e6),
                                                                                  (8.31e5, 1.11e6), (8.3e5, 1.1e6)]]}},
        {"parcel_number": "multi", "geometry": {"type": "MultiPolygon", "coordinates": [
            [[[8.2e5, 1.0e6], [8.21e5, 1.0e6], [8.21e5, 1.01e6], [8.2e5, 1.0e6]]]]}},
        {"parcel_number": "3d", "geometry": {"type": "Polygon", "coordinates": [[[8.2e5, 1.0e6, 5], [8.21e5, 1.0e6, 5],
                                                                                 [8.21e5, 1.01e6, 5], [8.2e5, 1.0e6, 5]]]}},
    ]
    far_roads = [{"geometry": {"type": "LineString", "coordinates": [[8.0e5, 9.0e5], [8.01e5, 9.0e5]]}},
                 {"geometry": {"type": "MultiLineString", "coordinates": [[[8.0e5, 9.0e5], [8.01e5, 9.0e5]]]}},
                 {"geometry": {"type": "Point", "coordinates": [8.0e5, 9.0e5]}}]
    args = (parcels[:1] + far + parcels[1:], selected, far_roads + roads)
    batched = plots.generate_plot(*args)
    real = plots.project_geometry
    monkeypatch.setattr(plots, "project_geometry", lambda geometry: real(geometry))  # every record built
    assert plots.generate_plot(*args) == batched
    broken = {"parcel_number": "bad", "geometry": {"type": "Polygon", "coordinates": [[(0, 0), (1, 1)]]}}
    monkeypatch.setattr(plots, "project_geometry", real)
    with pytest.raises(ValueError):  # a ring of two positions is not read in the batch: shapely refuses it
        plots.generate_plot(parcels + [broken], selected, roads)


def test_calls_keep_no_reference_to_what_they_read(plots, monkeypatch):
    """Whatever a call reads (the records, their geometries and coordinates, the texts and numbers
    it is given) is referenced only while it runs, whether it returns or raises: many calls, far
    records read in the batch among them, leave every reference count as it was."""
    pyplot = RecordingPyplot()
    monkeypatch.setattr(plots, "plt", pyplot)
    x0, y0 = 829000.0, 1000000.0
    far_ring = [[x0 + 900, y0], [x0 + 940, y0], [x0 + 940, y0 + 40], [x0 + 900, y0]]
    far = {"parcel_number": "far", "geometry": {"type": "Polygon", "coordinates": [far_ring]}}
    road_line = [(x0 - 100, y0 - 10), (x0 + 100, y0 - 10)]
    road = {"geometry": {"type": "LineString", "coordinates": road_line}}
    corners = [beacon(x0, y0, "A", "90°", "00'", 40), beacon(x0 + 40, y0, "B", "0°", "00'", 40),
               beacon(x0 + 40, y0 + 40, "C", "270°", "00'", 40), beacon(x0, y0 + 40, "D", "180°", "00'", 40)]
    parcel = {"parcel_number": "P1", "geometry": mapping(box(x0, y0, x0 + 40, y0 + 40)), "name": "Plot $1$",
              "area": 1600.5, "boundary": corners}
    unnamed = dict(parcel, boundary=[beacon(x0, y0, float("7.5")), *corners[1:]])  # a name without a length
    missing, width, fontsize = "".join(["P", "404"]), float("12.5"), "".join(["ten", "pt"])
    square = Polygon([(0, 0), (40, 0), (40, 40), (0, 40)])
    calls = [
        (lambda: plots.generate_plot([far, parcel], "P1", [road]), None),
        (lambda: plots.generate_plot([far, parcel], missing, [road]), ValueError),
        (lambda: plots.generate_plot([far, unnamed], "P1", [road]), TypeError),
        (lambda: plots.get_recommended_scale(width, width, 0, 250), ZeroDivisionError),
        (lambda: plots.add_scale_bar(RecordingAxes(), math.nan), ValueError),
        (lambda: plots.draw_beacon_labels(RecordingAxes(), corners, square, square.centroid, 1000, fontsize, []),
         TypeError),
    ]
    watched = [far, far["geometry"], far_ring, *far_ring, road, road_line, *road_line, parcel, parcel["geometry"],
               corners, *corners, unnamed, unnamed["boundary"][0]["beacon_name"], missing, width, fontsize]

    def run_all():
        for call, error in calls:
            if error is None:
                assert call()[2] == 500
            else:
                with pytest.raises(error):
                    call()
        for drawn in (pyplot.figures, pyplot.closed, pyplot.saved):  # they keep what was drawn
            drawn.clear()

    run_all()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(20):
        run_all()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_logs_the_plan(plots, sample, caplog):
    parcels, selected, roads = sample
    with caplog.at_level("INFO", logger="vexa"):
        plots.generate_plot(parcels, selected, [])
    assert ("vexa", 20, "Generating plot for parcel_number=CZ-A05/0117") in caplog.record_tuples


def test_concurrent_plans_are_independent(plots, sample):
    import matplotlib.pyplot as plt

    parcels, _, roads = sample
    parcels = [dict(p, name=p.get("name", "Plot " + p["parcel_number"])) for p in parcels]
    jobs = [(parcels, "CZ-A05/0117", roads, 190, 160), (parcels, "CZ-A05/0117", [], 150, 150),
            (parcels, parcels[5]["parcel_number"], roads, 190, 160), (parcels, parcels[-1]["parcel_number"], [], 120, 200)]

    def render(job):
        data, number, road_data, w, h = job
        return plots.generate_plot(data, number, road_data, "parcel_number", None, w, h)

    serial = [render(job) for job in jobs]
    assert len({r[0] for r in serial}) == len(jobs)
    open_before = len(plt.get_fignums())
    with ThreadPoolExecutor(max_workers=4) as pool:
        concurrent = list(pool.map(render, jobs * 5))
    assert concurrent == serial * 5
    assert len(plt.get_fignums()) == open_before


def test_pyplot_section_is_serialised(flat, monkeypatch):
    """From figure() to close() no two plans are inside pyplot at once (pyplot's figure registry
    and current figure are process-wide), while the rest of a plan runs in parallel."""
    import threading

    pyplot = RecordingPyplot()
    guard = threading.Lock()
    state = {"inside": 0, "most": 0}
    make_figure = pyplot.figure

    def figure(**kwargs):
        with guard:
            state["inside"] += 1
            state["most"] = max(state["most"], state["inside"])
        fig = make_figure(**kwargs)
        real_save = fig.savefig

        def slow_save(buf, **kw):
            time.sleep(0.05)  # lets other threads run, as a real PNG encoding does
            real_save(buf, **kw)

        fig.savefig = slow_save
        return fig

    def close(fig):
        with guard:
            state["inside"] -= 1
        pyplot.closed.append(fig)

    pyplot.figure, pyplot.close = figure, close
    monkeypatch.setattr(flat, "plt", pyplot)
    parcel = square_parcel()
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(lambda _: flat.generate_plot([parcel], "P1", []), range(12)))
    assert len(results) == 12 and len(pyplot.closed) == 12
    assert state == {"inside": 0, "most": 1}
