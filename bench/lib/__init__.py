"""The bench kit: what more than one benchmark needs, in one place.

Importing it puts the host's modules (api/) and the tests' helpers (tests/) first on the path, the
host's before the benchmarks' own folder, so that its packages (plans, search, tiles) win over the
benchmarks of the same names. The project's servers are controlled by the tests' own functions
(tests/services.py, `lib.services`) and found at the addresses api/settings.py gives.
"""

from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
API, TESTS = ROOT / "api", ROOT / "tests"
for folder in (str(TESTS), str(API)):
    if folder in sys.path:
        sys.path.remove(folder)
    sys.path.insert(0, folder)

import services  # noqa: E402  tests/services.py: start, stop, pause the project's servers
import settings  # noqa: E402  api/settings.py: their addresses

__all__ = ["API", "ROOT", "TESTS", "services", "settings"]
