"""scripts/dev.sh as an operator meets it: the servers it serves with, the administrator token it keeps."""

from __future__ import annotations

import os
import stat
import subprocess

import services

SCRIPT = services.ROOT / "scripts" / "dev.sh"


def run(*args: str, **env: str) -> subprocess.CompletedProcess:
    environment = {k: v for k, v in os.environ.items() if k not in ("DATABASE_URL", "REDIS_HOST")}
    return subprocess.run([str(SCRIPT), *args], env={**environment, **env}, capture_output=True, text=True, timeout=60)


def test_serve_refuses_one_server_of_its_own_and_one_of_the_project():
    for given in ({"DATABASE_URL": "postgresql+asyncpg://app@db.example/registry"}, {"REDIS_HOST": "cache.example"}):
        result = run("serve", **given)
        assert result.returncode == 2
        assert "set both DATABASE_URL and REDIS_HOST" in result.stderr and next(iter(given)) in result.stderr


def test_the_administrator_token_is_readable_by_its_owner_only(tmp_path):
    first = run("token", VEXA_STATE_DIR=str(tmp_path))
    token_file = tmp_path / "admin-token"
    assert first.returncode == 0 and first.stdout.strip() == token_file.read_text().strip()
    assert len(first.stdout.strip()) >= 32
    assert stat.S_IMODE(token_file.stat().st_mode) == 0o600
    token_file.chmod(0o644)  # a file an earlier version made readable by everyone
    again = run("token", VEXA_STATE_DIR=str(tmp_path))
    assert again.stdout == first.stdout and stat.S_IMODE(token_file.stat().st_mode) == 0o600
