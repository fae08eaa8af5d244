"""The web map in a real browser: Debian's Chromium, headless, driven by playwright-core."""

from __future__ import annotations

import io
import json
import os
import shutil
import subprocess

import pytest
import services
from PIL import Image
from served_app import ARTIFACTS

SCRIPT = services.ROOT / "tests" / "browser" / "check_map.mjs"


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
