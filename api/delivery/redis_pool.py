"""A Redis client's own pool out of free connections, told apart from Redis failing: the host's
Redis users (the rate counter, the plan cache) do without Redis for that call alone, never
leave Redis alone for it, and say so at most once a second rather than once a call."""

from __future__ import annotations

import logging
import time

from redis import exceptions

LOG_INTERVAL_S = 1.0

# A plain pool's error (MaxConnectionsError since redis-py 6, a bare ConnectionError with this
# text before) and a blocking pool's once its wait for a connection ran out.
_POOL_TEXTS = ("Too many connections", "No connection available.")
_MAX_CONNECTIONS_ERROR = getattr(exceptions, "MaxConnectionsError", None)


def pool_exhausted(error: BaseException) -> bool:
    """Whether `error` is the client's pool having no free connection, raised before anything was
    sent: every connection is out on a call of this process, and Redis may answer them all."""
    if _MAX_CONNECTIONS_ERROR is not None and isinstance(error, _MAX_CONNECTIONS_ERROR):
        return True
    return isinstance(error, exceptions.ConnectionError) and str(error) in _POOL_TEXTS


class PoolShortage:
    """The calls of one use (`use`, as the log line names it) that found the pool without a free
    connection: one WARNING at most every LOG_INTERVAL_S, with the calls since the last."""

    def __init__(self, logger: logging.Logger, use: str) -> None:
        self.logger, self.use = logger, use
        self._logged_at: float | None = None
        self._unlogged = 0

    def note(self, client) -> None:
        """One more call that went without Redis for want of a connection of `client`'s pool."""
        self._unlogged += 1
        now = time.monotonic()
        if self._logged_at is not None and now - self._logged_at < LOG_INTERVAL_S:
            return
        size = getattr(getattr(client, "connection_pool", None), "max_connections", "its")
        self.logger.warning("Redis connection pool exhausted for %s: %d call(s) since the last such line found all "
                            "%s connections of this process's pool in use and went without Redis; Redis is not "
                            "backed off from", self.use, self._unlogged, size)
        self._logged_at, self._unlogged = now, 0
