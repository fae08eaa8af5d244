"""Loading the tile module: its console lines, Redis settings, dotenv and environment."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import services

API = services.ROOT / "api"
LINES = [
    "\u2713 Binary Redis cache initialized (no UTF-8 decoding)",
    "  - Namespace: mvt_v8",
    None,  # the Redis line, checked per case
    "  - decode_responses: False (handles binary data)",
]

PROBE = textwrap.dedent(
    """
    import vexa.maptile_hub as hub
    kw = hub.redis_client.connection_pool.connection_kwargs
    print("KW", kw["host"], kw["port"], kw["db"], kw.get("password"), kw.get("username"),
          kw["socket_connect_timeout"], kw["socket_timeout"], hub.redis_client.get_encoder().decode_responses)
    """
)


def load(tmp_path: Path, env: dict[str, str], script: str = PROBE, as_file: bool = True):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("REDIS_")}
    environment.update(env)
    environment["PYTHONPATH"] = str(API)
    environment["PYTHONIOENCODING"] = "utf-8"
    if as_file:
        (tmp_path / "probe.py").write_text(script)
        command = [sys.executable, "probe.py"]
    else:
        command = [sys.executable, "-c", script]
    return subprocess.run(command, cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=60)


def test_defaults_without_any_redis_setting(tmp_path):
    result = load(tmp_path, {})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:4] == [LINES[0], LINES[1], "  - Redis: localhost:6379/0", LINES[3]]
    assert lines[4] == "KW localhost 6379 0 None None 5 5 False"


def test_environment_settings_and_empty_password(tmp_path):
    result = load(tmp_path, {"REDIS_HOST": "10.1.2.3", "REDIS_PORT": "7001", "REDIS_DB": "4",
                             "REDIS_PASSWORD": "", "REDIS_USERNAME": "tiles"})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[2] == "  - Redis: 10.1.2.3:7001/4"
    assert lines[4] == "KW 10.1.2.3 7001 4  tiles 5 5 False"  # empty password stays empty text


@pytest.mark.parametrize("as_file", [True, False], ids=["script", "stdin-like"])
def test_dotenv_file_is_honoured(tmp_path, as_file):
    (tmp_path / ".env").write_text("REDIS_PORT=6390\nREDIS_DB=2\n")
    result = load(tmp_path, {}, as_file=as_file)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[2] == "  - Redis: localhost:6390/2"


@pytest.mark.parametrize("variable", ["REDIS_PORT", "REDIS_DB"])
def test_non_decimal_setting_fails_the_import(tmp_path, variable):
    result = load(tmp_path, {variable: "abc"})
    assert result.returncode != 0
    assert "invalid literal for int() with base 10: 'abc'" in result.stderr


def test_no_command_reaches_redis_at_import(tmp_path):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        listener.settimeout(0.5)
        port = listener.getsockname()[1]
        result = load(tmp_path, {"REDIS_HOST": "127.0.0.1", "REDIS_PORT": str(port)})
        assert result.returncode == 0, result.stderr
        with pytest.raises(TimeoutError):
            listener.accept()


def test_module_objects(hub):
    assert hub.logger.name == "vexa.maptile_hub"
    assert hub.maptileHub.prefix == "/gis" and hub.maptileHub.tags == ["GIS Tiles"]
    assert (hub.DEFAULT_CENTROID_ZOOM, hub.MAX_BBOX_AREA_WGS84, hub.MAX_FEATURES_GLOBAL,
            hub.CACHE_TTL_SHORT, hub.CACHE_TTL_LONG) == (16, 1.0, 15000, 1800, 7200)
    assert isinstance(hub.MAX_BBOX_AREA_WGS84, float)
    assert hub.cache.namespace == "mvt_v8" and hub.cache.redis is hub.redis_client
    assert hub.aioredis.__name__ == "redis.asyncio"


def test_pool_size_setting(tmp_path):
    probe = ("import vexa.maptile_hub as hub\n"
             "pool = hub.redis_client.connection_pool\n"
             "print('POOL', type(pool).__name__, pool.max_connections, pool.timeout)\n")
    assert load(tmp_path, {}, probe).stdout.splitlines()[4] == "POOL BlockingConnectionPool 128 1.0"
    assert load(tmp_path, {"REDIS_MAX_CONNECTIONS": "7"}, probe).stdout.splitlines()[4] == \
        "POOL BlockingConnectionPool 7 1.0"
    refused = load(tmp_path, {"REDIS_MAX_CONNECTIONS": "0"}, probe)
    assert refused.returncode != 0
    assert "REDIS_MAX_CONNECTIONS must be a positive integer, not 0" in refused.stderr
