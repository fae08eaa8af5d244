"""How this host is served, from the environment: the web workers that share its machine
(VEXA_WORKERS, which `scripts/dev.sh serve` sets for the workers it starts), the cores each may
give its drawing processes, whether it follows the database's edits, and `whole_setting`, how the
host reads a whole number from the environment. It imports nothing but `os`: the drawing
processes import it too."""

from __future__ import annotations

import os


def whole_setting(name: str, default: int, least: int = 1) -> int:
    """A whole number of at least `least` from the environment variable `name`, `default` when unset;
    any other text stops the load with a ValueError that names the variable."""
    text = os.getenv(name, "").strip()
    if not text:
        return default
    if not text.isdigit() or int(text) < least:
        raise ValueError(f"{name} must be a whole number of at least {least}, not {text!r}")
    return int(text)


# The web workers serving on this machine, each a process with its own pools: one unless the
# environment says more (a host that runs `uvicorn --workers N` itself sets VEXA_WORKERS=N).
WORKERS = whole_setting("VEXA_WORKERS", 1)


def cores() -> int:
    """The cores this process may run on (its affinity, as a container or taskset sets it)."""
    return len(os.sched_getaffinity(0))


def cores_per_worker() -> int:
    """One web worker's share of the machine's cores, at least one."""
    return max(1, cores() // WORKERS)


def follows_changes() -> bool:
    """Whether this process runs the tile module's change listener (unless VEXA_CHANGE_LISTENER=0)."""
    return os.environ.get("VEXA_CHANGE_LISTENER", "1") != "0"
