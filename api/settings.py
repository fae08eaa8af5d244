"""The project's own servers (scripts/services.sh) and where everything finds them: the host, the
tests, the scripts and the benchmarks read their addresses here and nowhere else; and the host's
one reading of the Redis settings, as the tile module reads them (REDIS_HOST, REDIS_PORT,
REDIS_DB, REDIS_PASSWORD, REDIS_USERNAME), with a client made from them."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import redis.asyncio as aioredis

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


@dataclass(frozen=True)
class RedisSettings:
    """Where the host's own Redis clients (the plan cache, the rate counter) connect, and as whom."""

    host: str
    port: int
    db: int
    password: str | None
    username: str | None

    @classmethod
    def from_environment(cls) -> RedisSettings:
        """The settings of the environment (a dotenv file already loaded); port and database must
        be decimal integer text (ValueError otherwise, as the tile module fails to load)."""
        return cls(host=os.getenv("REDIS_HOST", "localhost"), port=int(os.getenv("REDIS_PORT", "6379")),
                   db=int(os.getenv("REDIS_DB", "0")), password=os.getenv("REDIS_PASSWORD"),
                   username=os.getenv("REDIS_USERNAME"))

    def client(self, timeout_s: float, max_connections: int | None = None) -> aioredis.Redis:
        """An asyncio client that keeps replies as bytes, with `timeout_s` to connect and to read."""
        return aioredis.Redis(host=self.host, port=self.port, db=self.db, password=self.password,
                              username=self.username, decode_responses=False, socket_timeout=timeout_s,
                              socket_connect_timeout=timeout_s, max_connections=max_connections)
