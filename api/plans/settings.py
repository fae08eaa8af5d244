"""The survey plans' settings from the environment: the render pool's processes and queue, and the
budgets of the plan cache in Redis and in memory. Read once, as this module loads; a value that is
not a whole number where one is due stops the load with a ValueError that names the variable."""

from __future__ import annotations

import os


def whole_setting(name: str, default: int, least: int = 1) -> int:
    """A whole number of at least `least` from the environment variable `name`, `default` when unset."""
    text = os.getenv(name, "").strip()
    if not text:
        return default
    if not text.isdigit() or int(text) < least:
        raise ValueError(f"{name} must be a whole number of at least {least}, not {text!r}")
    return int(text)


PROCESSES = whole_setting("VEXA_RENDER_PROCESSES", max(1, os.cpu_count() or 1))  # drawing processes per web worker
WAITING_PER_PROCESS = whole_setting("VEXA_RENDER_WAITING", 2, least=0)  # drawings queued behind each
MAX_IN_REDIS = whole_setting("VEXA_PLANS_IN_REDIS", 200)  # about 40 to 100 MB at 0.2 to 0.5 MB a plan
MEMORY_BYTES = int(float(os.getenv("VEXA_PLAN_MEMORY_MB", "64")) * 2**20)  # recent plans kept per process
