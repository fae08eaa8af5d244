"""The host's one reading of the Redis settings, as the tile module reads them (REDIS_HOST,
REDIS_PORT, REDIS_DB, REDIS_PASSWORD, REDIS_USERNAME), and a client made from them."""

from __future__ import annotations

import os
from dataclasses import dataclass

import redis.asyncio as aioredis


@dataclass(frozen=True)
class RedisSettings:
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
