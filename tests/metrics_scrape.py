"""GET /metrics read back as numbers, to compare before and after."""

from __future__ import annotations

import httpx
from prometheus_client.parser import text_string_to_metric_families


async def scrape(client: httpx.AsyncClient) -> dict[tuple, float]:
    """Every sample of the answer, keyed by (name, sorted labels); the _created samples left out."""
    response = await client.get("/metrics")
    assert response.status_code == 200 and response.headers["content-type"].startswith("text/plain")
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(response.text) for s in family.samples
            if not s.name.endswith("_created")}
