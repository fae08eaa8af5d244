"""GET /metrics: tile outcomes by layer and zoom band, latency, refusals, plans, breaker state."""

from __future__ import annotations

from demo_tiles import OFFLINE_CENTRE, tile_at
from metrics_scrape import scrape


def tiles(layer: str, band: str, outcome: str) -> tuple:
    return ("vexa_tiles_total", (("layer", layer), ("outcome", outcome), ("zoom_band", band)))


async def test_tile_outcomes_and_bounded_labels(client_for, raw_redis, demo_cadastre):
    _, x, y = tile_at(OFFLINE_CENTRE, 16)
    client = client_for()
    before = await scrape(client)
    for path in [f"/gis/plots/16/{x}/{y}.pbf"] * 2 + [
            "/gis/roads/3/0/0.pbf", "/gis/plots/3/9/1.pbf", "/gis/plots/0/0/0.pbf", "/gis/plots/21/0/0.pbf",
            "/gis/plots/12/0/0.pbf", "/gis/plots/bbox/?minx=0&miny=0&maxx=0.01&maxy=0.01",
            "/gis/plots/" + "9" * 5000 + "/0/0.pbf"]:  # more digits than Python's int() takes from text
        assert (await client.get(path)).status_code < 500
    after = await scrape(client)
    delta = {key: after[key] - before.get(key, 0) for key in after if after[key] != before.get(key, 0)}
    assert delta == {
        tiles("plots", "15-16", "miss"): 1, tiles("plots", "15-16", "hit"): 1, tiles("unknown", "1-6", "4xx"): 1,
        tiles("plots", "1-6", "4xx"): 1, tiles("plots", "invalid", "4xx"): 3, tiles("plots", "11-14", "empty"): 1,
        tiles("plots", "bbox", "empty"): 1,
        ("vexa_tile_duration_seconds_count", (("layer", "plots"),)): 8,
        ("vexa_tile_duration_seconds_count", (("layer", "unknown"),)): 1,
    } | {key: value for key, value in delta.items() if key[0] in {"vexa_tile_duration_seconds_bucket",
                                                                   "vexa_tile_duration_seconds_sum"}}
    assert not any(dict(labels).keys() - {"layer", "zoom_band", "outcome", "endpoint", "format", "state", "le"}
                   for _, labels in after)


async def test_refusals_plans_and_breaker_state(hub, client_for, raw_redis, monkeypatch):
    client = client_for()
    before = await scrape(client)
    for _ in range(42):
        await client.get("/gis/roads/5/0/0.pbf")
    await client.get("/plans/2147483000.png")
    after = await scrape(client)
    refusals = ("vexa_rate_limit_refusals_total", (("endpoint", "xyz"),))
    plans = ("vexa_plans_total", (("format", "png"), ("outcome", "4xx")))
    assert after[refusals] - before.get(refusals, 0) == 2 and after[plans] - before.get(plans, 0) == 1
    monkeypatch.delattr(hub, "redis_breaker_state", raising=False)  # a module without a breaker
    assert not any(name == "vexa_redis_breaker_state" for name, _ in await scrape(client))

    monkeypatch.setattr(hub, "redis_breaker_state", lambda: "half_open", raising=False)
    states = {dict(labels)["state"]: value for (name, labels), value in (await scrape(client)).items()
              if name == "vexa_redis_breaker_state"}
    assert states == {"closed": 0, "open": 0, "half_open": 1}
