"""A byte-bounded least-recently-used table, safe to share between threads: the host keeps its
recent gzip bodies (delivery/compression.py) and its recent survey plans (plans/cache.py) in one each."""

from __future__ import annotations

import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable
from typing import Generic, TypeVar

K = TypeVar("K", bound=Hashable)
V = TypeVar("V")


class RecentBytes(Generic[K, V]):
    """Values by key, at most `capacity_bytes` of them as `size_of` counts, the least recently
    used dropped first. A value larger than the whole budget is never kept; a key already held
    keeps its value (keys name their content, so the value would be the same)."""

    def __init__(self, capacity_bytes: int, size_of: Callable[[V], int] = len) -> None:
        self.capacity_bytes = capacity_bytes
        self.size_of = size_of
        self.size = 0
        self.hits = self.misses = 0
        self._table: OrderedDict[K, V] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: K) -> V | None:
        with self._lock:
            found = self._table.get(key)
            if found is None:
                self.misses += 1
                return None
            self._table.move_to_end(key)
            self.hits += 1
            return found

    def put(self, key: K, value: V) -> None:
        size = self.size_of(value)
        if size > self.capacity_bytes:
            return
        with self._lock:
            if key in self._table:
                return
            self._table[key] = value
            self.size += size
            while self.size > self.capacity_bytes:
                _, dropped = self._table.popitem(last=False)
                self.size -= self.size_of(dropped)
