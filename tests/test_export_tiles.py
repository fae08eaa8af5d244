"""The offline export: a PMTiles v3 archive of the module's own tiles, read back and decoded."""

from __future__ import annotations

import gzip
import importlib.util
import subprocess
import sys

import mapbox_vector_tile
import pytest
import services
from demo_tiles import OFFLINE_AREA, OFFLINE_CENTRE, tile_at
from pmtiles.reader import MmapSource, Reader
from pmtiles.tile import Compression, TileType

SCRIPT = services.ROOT / "scripts" / "export_tiles.py"


def load_script():
    spec = importlib.util.spec_from_file_location("export_tiles", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


async def test_archive_holds_the_services_tiles(offline_tiles, client_for, raw_redis):
    path, run = offline_tiles
    assert "100%" in run.stderr and "tiles written to" in run.stdout
    with open(path, "rb") as f:
        reader = Reader(MmapSource(f))
        header, metadata = reader.header(), reader.metadata()
        assert (header["tile_type"], header["tile_compression"]) == (TileType.MVT, Compression.GZIP)
        assert (header["min_zoom"], header["max_zoom"]) == (14, 16)
        assert [layer["id"] for layer in metadata["vector_layers"]] == ["plots", "beacons", "cadzones"]
        _, x, y = tile_at(OFFLINE_CENTRE, 16)
        stored = reader.get(16, x, y)
        assert reader.get(16, x + 40, y) is None  # outside the area
    decoded = mapbox_vector_tile.decode(gzip.decompress(stored))
    assert set(decoded) == {"plots", "beacons", "cadzones"}
    async with client_for() as client:
        for layer in decoded:
            served = await client.get(f"/gis/{layer}/16/{x}/{y}.pbf")
            assert served.status_code == 200
            assert mapbox_vector_tile.decode(served.content)[layer] == decoded[layer]


@pytest.mark.parametrize("argv, message", [
    (["--layers", "plots,roads", "--zooms", "14", "--bbox", OFFLINE_AREA], "unknown layers ['roads']"),
    (["--layers", "plots", "--zooms", "16-14", "--bbox", OFFLINE_AREA], "zooms must lie within 1-20"),
    (["--layers", "plots", "--zooms", "0-3", "--bbox", OFFLINE_AREA], "zooms must lie within 1-20"),
    (["--layers", "plots", "--zooms", "a-b", "--bbox", OFFLINE_AREA], "zooms must be N or N-M"),
    (["--layers", "plots", "--zooms", "14", "--bbox", "7.4,8.9,7.3,9.0"], "bbox must have MIN < MAX"),
    (["--layers", "plots", "--zooms", "14", "--bbox", "7.3,8.9"], "bbox must be MINLON,MINLAT,MAXLON,MAXLAT"),
    (["--layers", "plots", "--zooms", "1-20", "--bbox=-180,-85,180,85"], "choose a smaller area"),
])
def test_bad_arguments_are_refused(argv, message, tmp_path, capsys):
    with pytest.raises(SystemExit) as exit_:
        load_script().main([*argv, "--output", str(tmp_path / "x.pmtiles")])
    assert exit_.value.code == 2 and message in capsys.readouterr().err
    assert not (tmp_path / "x.pmtiles").exists()


def test_area_without_features_writes_nothing(demo_cadastre, tmp_path):
    output = tmp_path / "empty.pmtiles"
    result = subprocess.run([sys.executable, str(SCRIPT), "--layers", "plots", "--zooms", "14", "--bbox",
                             "0.001,0.001,0.002,0.002", "--output", str(output)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 1 and "nothing written" in result.stderr
    assert not output.exists() and not list(tmp_path.iterdir())
