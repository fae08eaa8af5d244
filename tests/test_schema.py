"""Property-based run of the host app's OpenAPI document against a live server on the demo
cadastre: every operation, no answer in the 5xx range, no answer that breaks the schema."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import time

import httpx
import pytest
import schemathesis
import services
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from schemathesis.checks import not_a_server_error
from schemathesis.specs.openapi.checks import response_schema_conformance


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def live_app(demo_cadastre):
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "uvicorn", "main:app", "--host", "127.0.0.1", "--port", str(port),
         "--log-level", "warning"],
        cwd=services.ROOT / "api", env=dict(os.environ), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    base = f"http://127.0.0.1:{port}"
    for _ in range(150):
        try:
            httpx.get(base + "/gis/layers/", timeout=1)
            break
        except httpx.TransportError:
            time.sleep(0.1)
    yield base
    server.terminate()
    server.wait(10)


LAYERS = ["plots", "beacons", "cadzones", "districts", "lgas", "all", None]


def operations(base: str):
    schema = schemathesis.openapi.from_url(base + "/openapi.json")
    return [result.ok() for result in schema.get_all_operations()]


def test_no_server_errors_and_no_schema_breaks(live_app):
    headers = {"Authorization": f"Bearer {services.ADMIN_TOKEN}"}
    found = operations(live_app)
    assert len(found) == 7
    for operation in found:

        @settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck), database=None)
        @given(case=operation.as_strategy(), layer=st.sampled_from(LAYERS))
        def run(case, layer):
            # Mostly real layers, so that generated values get past the layer check.
            if layer is not None and case.path_parameters and "layer_name" in case.path_parameters:
                case.path_parameters["layer_name"] = layer
            time.sleep(0.06)  # stay under the per-address rate limits (40 and 20 per second)
            case.call_and_validate(base_url=live_app, headers=headers,
                                   checks=[not_a_server_error, response_schema_conformance])

        run()
