"""scripts/seed_tiles.py: the cache filled through the tile handler, resumable, renewing."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest
import services

pytestmark = pytest.mark.usefixtures("demo_cadastre")

SEED = services.ROOT / "scripts" / "seed_tiles.py"


def seed(*args: str, state) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(SEED), *args, "--state", str(state)], capture_output=True,
                          text=True, timeout=120, env=dict(os.environ))


def test_seeding_fills_renews_and_resumes(raw_redis, tmp_path):
    state = tmp_path / "seed.state"
    first = seed("--layer", "districts", "--zooms", "9-10", state=state)
    assert first.returncode == 0, first.stderr
    keys = sorted(k.decode() for k in raw_redis.keys("mvt_v8:districts:*"))
    assert keys and {k.split(":")[2] for k in keys} == {"9", "10"}
    assert all(7000 < raw_redis.ttl(k) <= 7200 for k in keys)  # the zoom's own lifetime
    last_line = first.stderr.strip().splitlines()[-1]
    assert "tiles/s" in last_line and "ETA" in last_line and "failed 0" in last_line
    assert f"stored {len(keys)}" in last_line

    raw_redis.delete(keys[0])  # as if the first run had stopped before this tile
    raw_redis.expire(keys[1], 100)  # and this one were about to expire
    again = seed("--layer", "districts", "--zooms", "9-10", "--refresh-below", "600", state=state)
    assert again.returncode == 0, again.stderr
    assert "stored 2," in again.stderr.strip().splitlines()[-1]
    assert raw_redis.ttl(keys[0]) > 7000 and raw_redis.ttl(keys[1]) > 7000


def test_empty_tiles_are_remembered_and_bad_arguments_refused(raw_redis, tmp_path):
    state = tmp_path / "seed.state"
    empty_area = ("--layer", "lgas", "--zooms", "6", "--bbox=-10,-10,-9,-9")  # open sea, no LGA
    first = seed(*empty_area, state=state)
    assert first.returncode == 0 and "empty 1," in first.stderr, first.stderr
    assert raw_redis.keys("mvt_v8:*") == [] and "lgas:6:" in state.read_text()
    assert "kept 1," in seed(*empty_area, state=state).stderr

    for bad in (["--zooms", "12-8"], ["--zooms", "x"], ["--bbox", "1,2,3"], ["--rate", "45"],
                ["--bbox", "10,10,5,5"]):
        refused = seed("--layer", "lgas", "--zooms", "6", *bad, state=state)
        assert refused.returncode == 2 and "error" in refused.stderr
    unknown = seed("--layer", "roads", "--zooms", "6", state=state)
    assert unknown.returncode != 0 and "unknown layer 'roads'" in unknown.stderr
