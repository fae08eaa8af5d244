"""The host's logger."""

from __future__ import annotations

import logging

LOGGER_NAME = "vexa"


def get_logger() -> logging.Logger:
    """The application logger; handlers and level follow the process's logging setup."""
    return logging.getLogger(LOGGER_NAME)
