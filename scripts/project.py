"""What the scripts share about the project: where it lies, the host's modules on the import
path, and the database they work on."""

from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
API = ROOT / "api"
if str(API) not in sys.path:
    sys.path.insert(0, str(API))  # the host's modules: database, helpers, plans

from settings import database_dsn  # noqa: E402  (the database the scripts work on)

__all__ = ["API", "ROOT", "database_dsn"]
