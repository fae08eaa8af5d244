"""The layer catalogue, zoom bands and the vector-tile statement."""

from __future__ import annotations

import re

import pytest

PLOTS_Z14 = """
    SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT "ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no",
            "ID" AS feature_id,
            ST_AsMVTGeom(ST_SimplifyPreserveTopology("GEOMETRY", 10),
                         ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857), 4096, 64, true) AS mvt_geom
        FROM "GIS"."PLOT"
        WHERE "GEOMETRY" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
          AND ST_Intersects("GEOMETRY", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))
        ORDER BY ST_Area("GEOMETRY") DESC
        LIMIT 15000
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL
"""


def normalised(sql: str) -> str:
    """`sql` with its white space made single blanks, none inside brackets."""
    return re.sub(r"\(\s+", "(", re.sub(r"\s+\)", ")", " ".join(sql.split())))


def test_catalogue_is_plain_python_data_in_order(hub):
    config = hub.LAYER_CONFIG
    assert type(config) is dict
    assert list(config) == ["plots", "beacons", "cadzones", "districts", "lgas"]
    assert config["plots"] == {
        "table": '"GIS"."PLOT"', "id_col": '"ID"', "geom_col": '"GEOMETRY"',
        "properties": ['"ID"', '"PLOT_NO"', '"STATUS"', '"AREA_SYSTEM"', '"GENERAL_LU"', '"CADZONE"',
                       '"DETAIL_LU"', '"file_no"'],
        "min_zoom": 8,
    }
    assert all(type(layer["properties"]) is list for layer in config.values())


# The bands themselves are the C++ tests' (tile_rules_test.cpp); these are what the Python
# function adds: the layer's minimum read from LAYER_CONFIG (none for an unknown layer), the
# lifetime read from the module, None, and integers of any size.
@pytest.mark.parametrize(
    ("zoom", "layer", "expected"),
    [
        (7, "plots", None),
        (8, "plots", (250, 5000, 256, 7200)),
        (11, "plots", (50, 10000, 256, 1800)),
        (0, "roads", (1000, 2000, 512, 7200)),
        (-3, "roads", None),
        (10**40, "plots", (0, 30000, 8, 1800)),
    ],
)
def test_zoom_config_for_a_layer(hub, zoom, layer, expected):
    config = hub.get_zoom_config(zoom, layer)
    if expected is None:
        assert config is None
    else:
        assert config == dict(zip(["tolerance", "feature_limit", "buffer", "cache_ttl"], expected))
        assert list(config) == ["tolerance", "feature_limit", "buffer", "cache_ttl"]


def test_zoom_config_is_fresh_and_reads_the_lifetimes_at_call_time(hub, monkeypatch):
    first = hub.get_zoom_config(12, "plots")
    first["buffer"] = -1
    assert hub.get_zoom_config(12, "plots")["buffer"] == 256
    monkeypatch.setattr(hub, "CACHE_TTL_SHORT", 99)
    assert hub.get_zoom_config(12, "plots")["cache_ttl"] == 99


def test_plots_statement_built_once_per_zoom_band_from_the_catalogue_as_bound(hub, monkeypatch):
    sql, config = hub.generate_mvt_sql("plots", 14)
    assert normalised(sql) == normalised(PLOTS_Z14)
    assert config == {"tolerance": 10, "feature_limit": 15000, "buffer": 64, "cache_ttl": 1800}
    assert hub.generate_mvt_sql("plots", 13)[0] is sql  # one band, one statement
    assert hub.generate_mvt_sql("plots", 15)[0] != sql
    layers = {**hub.LAYER_CONFIG, "plots": {**hub.LAYER_CONFIG["plots"], "table": '"GIS"."PLOT_ARCHIVE"'}}
    monkeypatch.setattr(hub, "LAYER_CONFIG", layers)
    assert 'FROM "GIS"."PLOT_ARCHIVE"' in hub.generate_mvt_sql("plots", 14)[0]


def test_statement_takes_the_global_cap_and_filters_exactly_above_zoom_six(hub, monkeypatch):
    plots16, config = hub.generate_mvt_sql("plots", 16)
    assert config["feature_limit"] == 20000 and "LIMIT 15000\n" in plots16  # MAX_FEATURES_GLOBAL
    monkeypatch.setattr(hub, "MAX_FEATURES_GLOBAL", 500)
    assert "LIMIT 500\n" in hub.generate_mvt_sql("plots", 16)[0]
    assert "ST_Intersects" not in hub.generate_mvt_sql("districts", 6)[0]
    assert "ST_Intersects" in hub.generate_mvt_sql("districts", 7)[0]


def test_statement_errors(hub):
    with pytest.raises(ValueError, match=r"^Layer plots not available at zoom level 7$"):
        hub.generate_mvt_sql("plots", 7)
    with pytest.raises(ValueError, match=r"^Unknown layer: roads$"):
        hub.generate_mvt_sql("roads", 7)
    with pytest.raises(ValueError, match=r"^Unknown layer: roads$"):
        hub.generate_mvt_sql("roads", None)


def test_absent_zoom_means_ten_throughout(hub):
    assert hub.generate_mvt_sql("plots") == hub.generate_mvt_sql("plots", 10)
    # Zoom 0 takes the configuration of zoom 10 but keeps the bounding-box-only filter.
    sql0, config0 = hub.generate_mvt_sql("plots", 0)
    assert config0 == hub.get_zoom_config(10, "plots") and "ST_Intersects" not in sql0
