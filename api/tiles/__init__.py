"""The host's tiles: the tile module's router as this host mounts it (router.py)."""
