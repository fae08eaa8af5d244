"""The web map in a real browser: Debian's Chromium, headless, driven by playwright-core."""

from __future__ import annotations

import asyncio
import io
import json
import os
import shutil
import subprocess
import time

import asyncpg
import pytest
import services
from PIL import Image
from served_app import ARTIFACTS

SCRIPT = services.ROOT / "tests" / "browser" / "check_map.mjs"
FRESHNESS_SCRIPT = services.ROOT / "tests" / "browser" / "check_freshness.mjs"


def test_map_layers_click_search_and_plan(live_app):
    import httpx

    chromium = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    assert os.path.exists(chromium), "Chromium is installed by scripts/dev.sh (Debian package chromium)"
    assert shutil.which("node"), "Node.js is installed by scripts/dev.sh"
    # A plot in another zone than the one the map opens on, so that finding it moves the map.
    (wanted,) = httpx.get(live_app + "/plots/search", params={"q": "S05/00012", "limit": 1}, timeout=30).json()
    result = subprocess.run(["node", str(SCRIPT), live_app, str(ARTIFACTS), wanted["PLOT_NO"]],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["consoleErrors"] == []
    for layer in ["lgas", "districts", "cadzones", "plots", "beacons", "labels"]:
        assert report["layers"][layer]["rendered"] > 0, (layer, report["layers"])
    assert report["layers"]["labels-below-17"]["rendered"] == 0
    assert report["layers"]["labels"]["distinct"] == report["layers"]["labels"]["rendered"]  # one label a plot
    assert report["clicked"] is not None
    assert "PLOT_NO" in report["details"] and "GENERAL_LU" in report["details"]
    assert report["plan"]["src"] == f"/plans/{report['clicked']['id']}.png"
    assert (report["plan"]["width"], report["plan"]["height"]) == (2244, 1889)
    assert report["plan"]["status"] == 200
    plan = Image.open(io.BytesIO((ARTIFACTS / "plan.png").read_bytes()))
    assert plan.format == "PNG" and plan.size == (2244, 1889)
    for shot in ["map.png", "map-detail.png", "map-with-plan.png", "map-searched.png"]:
        assert Image.open(ARTIFACTS / shot).size == (1400, 900)

    search = report["search"]
    assert len(search["typing"]) == 8 and all(n.startswith(wanted["PLOT_NO"][:-1]) for n in search["typing"])
    assert search["suggestions"][0] == wanted["PLOT_NO"]  # the exact match leads
    west, south, east, north = wanted["bbox"]
    (lon0, lat0), (lon1, lat1) = search["before"]["center"], search["after"]["center"]
    assert abs(lon1 - lon0) + abs(lat1 - lat0) > 0.01, "the map did not move to the plot"
    assert west <= lon1 <= east and south <= lat1 <= north, (search["after"], wanted)
    assert search["after"]["zoom"] > 17
    assert search["after"]["selected"] == wanted["ID"]
    assert wanted["PLOT_NO"] in search["details"] and "GENERAL_LU" in search["details"]
    assert search["plan"] == {"src": f"/plans/{wanted['ID']}.png", "width": 2244, "height": 1889,
                              "pdf": f"/plans/{wanted['ID']}.pdf", "pdfText": "Print (PDF)"}
    # The view is in the address: the same link in a new page opens the same place.
    assert search["after"]["hash"].startswith("#") and report["link"]["url"].endswith(search["after"]["hash"])
    assert report["link"]["zoom"] == pytest.approx(search["after"]["zoom"], abs=0.01)
    assert report["link"]["center"] == pytest.approx(search["after"]["center"], abs=1e-5)
    for layer, state in report["switches"].items():
        plots_layer = layer.startswith("plots-")
        assert state["visibility"] == ("none" if plots_layer else "visible"), (layer, state)
        assert (state["rendered"] == 0) == plots_layer, (layer, state)


def test_unknown_plot_is_404(live_app):
    import httpx

    response = httpx.get(live_app + "/plans/2147483000.png", timeout=30)
    assert (response.status_code, response.json()) == (404, {"detail": "Plot 2147483000 not found"})
    assert httpx.get(live_app + "/plans/0.png", timeout=30).status_code == 422
    page = httpx.get(live_app + "/", timeout=30)
    assert page.status_code == 200 and "maplibre-gl.js" in page.text
    assert httpx.get(live_app + "/vendor/maplibre/maplibre-gl.js", timeout=30).status_code == 200


def test_offline_file_is_drawn_without_the_service(live_app, offline_tiles):
    path, _ = offline_tiles
    result = subprocess.run(["node", str(services.ROOT / "tests" / "browser" / "check_offline.mjs"), live_app,
                             str(path), str(ARTIFACTS / "offline.png")], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["consoleErrors"] == []
    assert report["sources"] == ["offline"] and report["serviceTileRequests"] == []
    assert report["opened"] == {"layers": ["plots", "beacons", "cadzones"], "minZoom": 14, "maxZoom": 16}
    assert report["label"] == "Offline: field.pmtiles (zooms 14\u201316)"
    assert all(report["layers"][layer] > 0 for layer in ["plots", "beacons", "cadzones"]), report["layers"]
    assert Image.open(ARTIFACTS / "offline.png").size == (1400, 900)


# The plot the freshness test edits, where it lies in degrees, and what it is.
EDITED_PLOT_SQL = """
    SELECT "ID", "STATUS", "GENERAL_LU", "GEOMETRY"::text AS geometry,
           ST_Y(ST_Transform(ST_Centroid("GEOMETRY"), 4326)) AS lat, ST_X(ST_Transform(ST_Centroid("GEOMETRY"), 4326)) AS lon
    FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 1 OFFSET 130
"""
MOVE_PLOT_SQL = """
    WITH moved AS (
        UPDATE "GIS"."PLOT" SET "GEOMETRY" = ST_Translate("GEOMETRY", 6, 4) WHERE "ID" = $1
        RETURNING ST_Transform("GEOMETRY", 4326) AS b
    )
    SELECT ST_XMin(b) AS w, ST_YMin(b) AS s, ST_XMax(b) AS e, ST_YMax(b) AS n FROM moved
"""
RESTORE_PLOT_SQL = """
    UPDATE "GIS"."PLOT" SET "STATUS" = $2, "GENERAL_LU" = $3, "GEOMETRY" = $4::text::geometry WHERE "ID" = $1
"""


def nearest_land_use(pixel: tuple[int, ...], colours: dict[str, str]) -> str:
    """The land use of the legend whose colour is nearest to a screenshot's pixel."""
    def rgb(css: str) -> tuple[int, ...]:
        return tuple(int(v) for v in css[css.index("(") + 1:css.index(")")].split(",")[:3])

    return min(colours, key=lambda use: sum((a - b) ** 2 for a, b in zip(rgb(colours[use]), pixel[:3])))


async def test_open_map_draws_committed_edits_without_reload(live_app):
    """An edit committed in PostgreSQL reaches the open map by itself: the plot's new land use
    and status, then its new outline, are drawn within a few seconds and the selected plot's
    details and plan follow, the view staying where it was; an edit made while the versions
    stream was broken is drawn once the map has connected again."""
    conn = await asyncpg.connect(services.PG_DSN)
    plot = await conn.fetchrow(EDITED_PLOT_SQL)
    new_use = "Recreational" if plot["GENERAL_LU"] != "Recreational" else "Commercial"
    browser_log = ARTIFACTS / "freshness-browser.log"
    with open(browser_log, "wb") as log:
        script = await asyncio.create_subprocess_exec(
            "node", str(FRESHNESS_SCRIPT), live_app, str(ARTIFACTS), str(plot["ID"]), str(plot["lat"]), str(plot["lon"]),
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE, stderr=log)

    async def report() -> dict:
        line = await asyncio.wait_for(script.stdout.readline(), 120)
        assert line, browser_log.read_text()
        return json.loads(line)

    async def step(name: str, **fields) -> None:
        script.stdin.write((json.dumps({"step": name, **fields}) + "\n").encode())
        await script.stdin.drain()

    steps = {}
    try:
        steps["ready"] = ready = await report()
        assert ready["drawn"]["properties"]["GENERAL_LU"] == plot["GENERAL_LU"]
        assert ready["panels"]["selected"] == plot["ID"] and ready["panels"]["plan"]["width"] > 0

        await conn.execute('UPDATE "GIS"."PLOT" SET "STATUS" = $2, "GENERAL_LU" = $3 WHERE "ID" = $1',
                           plot["ID"], "Revoked", new_use)
        await step("attributes", committed=time.time() * 1000, expect={"STATUS": "Revoked", "GENERAL_LU": new_use})
        steps["attributes"] = await report()

        box = await conn.fetchrow(MOVE_PLOT_SQL, plot["ID"])
        await step("geometry", committed=time.time() * 1000, expect={"bbox": [box["w"], box["s"], box["e"], box["n"]]})
        steps["geometry"] = await report()

        await step("drop")
        await report()
        await conn.execute('UPDATE "GIS"."PLOT" SET "STATUS" = $2 WHERE "ID" = $1', plot["ID"], "Disputed")
        await asyncio.sleep(1.5)  # the change is announced while the map cannot hear it
        await step("restore", expect={"STATUS": "Disputed"})
        steps["restore"] = await report()

        await step("done")
        steps["done"] = done = await report()
    finally:
        await conn.execute(RESTORE_PLOT_SQL, plot["ID"], plot["STATUS"], plot["GENERAL_LU"], plot["geometry"])
        await conn.close()
        if script.returncode is None:
            script.kill()
        await script.wait()
    (ARTIFACTS / "freshness.json").write_text(json.dumps(steps, indent=1))

    attributes, geometry, restore = steps["attributes"], steps["geometry"], steps["restore"]
    for name, seen in [("attributes", attributes), ("geometry", geometry), ("restore", restore)]:
        assert seen["afterMs"] is not None, f"{name}: the edit was not drawn within 5 s: {seen['drawn']}"
        assert seen["view"] == ready["view"], (name, seen["view"], ready["view"])  # the view did not move
    print("edit drawn after (ms):", {name: steps[name]["afterMs"] for name in ["attributes", "geometry", "restore"]})

    # The new land use is drawn in its own colour, and the selected plot's details say what changed.
    def colour_at(shot: str, at: dict) -> tuple[int, ...]:
        return Image.open(ARTIFACTS / shot).convert("RGB").getpixel((at["x"], at["y"]))

    assert nearest_land_use(colour_at("fresh-before.png", ready["point"]), ready["colours"]) == plot["GENERAL_LU"]
    assert nearest_land_use(colour_at("fresh-attributes.png", attributes["point"]), ready["colours"]) == new_use
    assert "Revoked" in attributes["panels"]["details"] and new_use in attributes["panels"]["details"]
    assert attributes["panels"]["selected"] == plot["ID"]
    # The new outline is where the database put it (6 m east, 4 m north), and the plan is drawn again.
    assert geometry["drawn"]["bbox"] == pytest.approx([box["w"], box["s"], box["e"], box["n"]], abs=2e-6)
    assert geometry["drawn"]["bbox"][0] - ready["drawn"]["bbox"][0] > 4e-5
    for seen in (attributes, geometry):
        assert seen["planReplaced"] and seen["panels"]["plan"]["width"] == 2244, seen["panels"]
    assert "Disputed" in restore["panels"]["details"]
    # The stream broke, its reconnection was refused, and the one the map opened again caught up.
    assert [status for _, status in restore["streamAnswers"]] == [503, 200], restore["streamAnswers"]

    assert done["loads"] == 1 and done["view"]["samePage"], done  # never reloaded
    assert done["consoleErrors"] == []
    # Each plan asked for once: the first, and one after each change of the plot.
    assert [r.split("?")[0] for r in done["planRequests"]] == [f"/plans/{plot['ID']}.png"] * 4, done["planRequests"]
