"""Python twins of the tile module's classes: the same steps run through them show what CPython
itself does, which is what the native classes must do."""

from __future__ import annotations

import asyncio
from typing import Any


class PythonBinaryRedisCache:
    """BinaryRedisCache's read as plain Python: the key put in the namespace, the client's get
    awaited in place."""

    def __init__(self, redis_client: Any, namespace: str = "mvt") -> None:
        self.redis = redis_client
        self.namespace = namespace

    def _make_key(self, key: str) -> str:
        return f"{self.namespace}:{key}"

    async def get(self, key: str) -> bytes | None:
        return await self.redis.get(self._make_key(key))


def future_state(future: asyncio.Future) -> str:
    """"cancelled", "done" or "pending"."""
    if future.cancelled():
        return "cancelled"
    return "done" if future.done() else "pending"
