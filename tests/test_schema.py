"""Property-based run of the host app's OpenAPI document against a live server on the demo
cadastre: every operation, no answer in the 5xx range, no answer that breaks the schema, no status code the document does not list."""

from __future__ import annotations

import time

import schemathesis
import services
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from schemathesis.checks import not_a_server_error
from schemathesis.specs.openapi.checks import response_schema_conformance, status_code_conformance

LAYERS = ["plots", "beacons", "cadzones", "districts", "lgas", "all", None]


def operations(base: str):
    schema = schemathesis.openapi.from_url(base + "/openapi.json")
    return [result.ok() for result in schema.get_all_operations()]


def test_no_server_errors_and_no_schema_breaks(live_app):
    headers = {"Authorization": f"Bearer {services.ADMIN_TOKEN}"}
    found = operations(live_app)
    # The tile router's eleven, the host's survey plan (PNG, PDF) and plot search.
    assert len(found) == 14
    for operation in found:
        if operation.path == "/gis/tile-versions":
            continue  # a stream that never ends; test_freshness.py reads it
        # A plan takes a second or so to draw: the PDF, drawn as the PNG is and checked beside it
        # in test_plan_pdf.py, gets a few examples only.
        examples = 4 if operation.path == "/plans/{plot_id}.pdf" else 60

        @settings(max_examples=examples, deadline=None, suppress_health_check=list(HealthCheck), database=None)
        @given(case=operation.as_strategy(), layer=st.sampled_from(LAYERS))
        def run(case, layer):
            # Mostly real layers, so that generated values get past the layer check.
            if layer is not None and case.path_parameters and "layer_name" in case.path_parameters:
                case.path_parameters["layer_name"] = layer
            # Stay under the per-address rate limits: 40 tiles, 20 boxes, 10 searches, 5 plans a second.
            time.sleep(0.25 if operation.path.startswith("/plans/") else 0.12 if operation.path == "/plots/search"
                       else 0.06)
            case.call_and_validate(base_url=live_app, headers=headers,
                                   checks=[not_a_server_error, response_schema_conformance, status_code_conformance])

        run()
