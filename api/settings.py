"""The project's own servers (scripts/services.sh) and where everything finds them: the host, the
tests, the scripts and the benchmarks read their addresses here and nowhere else."""

from __future__ import annotations

import os
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
STATE_DIR = Path(os.environ.get("VEXA_STATE_DIR", ROOT / ".local"))  # the servers' data and pid files
LOOPBACK = "127.0.0.1"
PG_PORT = int(os.environ.get("VEXA_PG_PORT", "55432"))
REDIS_PORT = int(os.environ.get("VEXA_REDIS_PORT", "56379"))
DATABASE = "vexa"


def project_database_url(database: str = DATABASE, *, user: str = "postgres", port: int = PG_PORT,
                         driver: str = "postgresql+asyncpg") -> str:
    """A database of the project's PostgreSQL as a URL: SQLAlchemy's asyncpg form unless another
    driver is named ("postgresql" is the form asyncpg.connect takes)."""
    return f"{driver}://{user}@{LOOPBACK}:{port}/{database}"


def database_url() -> str:
    """The host's database: DATABASE_URL, or the project's own when it names none."""
    return os.environ.get("DATABASE_URL", project_database_url())


def database_dsn() -> str:
    """The host's database as asyncpg takes it (DATABASE_URL in either form)."""
    return database_url().replace("postgresql+asyncpg://", "postgresql://", 1)


def project_environment(database: str = DATABASE, redis_db: int = 0) -> dict[str, str]:
    """The variables that point the host and the tile module at `database` and at Redis database
    `redis_db` of the project's servers."""
    return {"DATABASE_URL": project_database_url(database), "REDIS_HOST": LOOPBACK,
            "REDIS_PORT": str(REDIS_PORT), "REDIS_DB": str(redis_db)}
