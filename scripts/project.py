"""What the scripts share about the project: where it lies, the host's modules on the import
path, and the database they work on."""

from __future__ import annotations

import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
API = ROOT / "api"
if str(API) not in sys.path:
    sys.path.insert(0, str(API))  # the host's modules: database, helpers, plans

# The project's own PostGIS (scripts/services.sh), as the host takes it when DATABASE_URL is unset.
PROJECT_DATABASE_URL = f"postgresql+asyncpg://postgres@127.0.0.1:{os.environ.get('VEXA_PG_PORT', '55432')}/vexa"


def database_dsn() -> str:
    """The database of DATABASE_URL (either form), or the project's own, as asyncpg takes it."""
    url = os.environ.get("DATABASE_URL", PROJECT_DATABASE_URL)
    return url.replace("postgresql+asyncpg://", "postgresql://")
